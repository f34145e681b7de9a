"""FTP side of the stand-in: one home per account, passwords accepted only in scrambled form,
resume through SIZE and APPE, and the scripted upload faults."""

import logging
import socket
import threading
import time

from pyftpdlib.authorizers import AuthenticationFailed, DummyAuthorizer
from pyftpdlib.filesystems import FilesystemError
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import ThreadedFTPServer

MAX_CLIENTS_TEXT = ("530 Sorry, the maximum number of clients (1) from your host are already "
                    "connected.")
LOGIN_DENIED_TEXT = "530 Login incorrect."
QUOTA_TEXT = "552 quota exceeded: you have used all your space"


class ScrambledAuthorizer(DummyAuthorizer):
    """The client sends its password scrambled (random key in front, XOR, hex); the plain
    password itself is refused."""

    def __init__(self, service):
        super().__init__()
        self.service = service

    def validate_authentication(self, username, password, handler):
        if not self.has_user(username) or \
                not self.service.check_ftp_password(username, password):
            raise AuthenticationFailed("Login incorrect.")


class StandInDTP(DTPHandler):
    """Receives uploads; cuts or throttles them when the control connection carries a fault.
    Each FTP session runs on its own thread, so sleeping here slows only this client."""

    def handle_read(self):
        fault = getattr(self.cmd_channel, "stor_fault", None)
        if fault is None or not self.receive:
            return super().handle_read()
        action = fault["action"]
        wanted = self.ac_in_buffer_size
        if action == "cut":
            wanted = int(fault.get("bytes", 0)) - self.tot_bytes_received
            if wanted <= 0:
                return self.cut()
        rate = float(fault.get("kbps", 0)) * 1024 if action == "throttle" else 0
        if rate > 0:
            wanted = max(1024, min(wanted, int(rate / 20)))
        try:
            chunk = self.recv(min(wanted, self.ac_in_buffer_size))
        except socket.error:
            return self.handle_error()
        self.tot_bytes_received += len(chunk)
        if not chunk:
            self.transfer_finished = True
            return
        self.file_obj.write(chunk)
        if action == "cut" and self.tot_bytes_received >= int(fault.get("bytes", 0)):
            self.cut()
        elif rate > 0:
            started = getattr(self, "throttle_start", None)
            if started is None:
                started = self.throttle_start = time.monotonic() - len(chunk) / rate
            ahead = self.tot_bytes_received / rate - (time.monotonic() - started)
            if ahead > 0:
                time.sleep(ahead)

    handle_read_event = handle_read

    def cut(self):
        # What arrived stays on the server, as after a real broken connection.
        self.file_obj.flush()
        self._resp = ("426 Connection closed; transfer aborted.", logging.getLogger().info)
        try:
            self.socket.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.close()


class StandInFTPHandler(FTPHandler):
    dtp_handler = StandInDTP
    auth_failed_timeout = 0.1
    banner = "Ferrydesk test FTP server ready."
    use_sendfile = False
    service = None

    def pre_process_command(self, line, cmd, arg):
        shown = "PASS ***" if cmd == "PASS" else line
        self.service.record({"kind": "ftp", "method": cmd, "path": arg or "",
                             "user": self.username or "", "ftp": shown})
        return super().pre_process_command(line, cmd, arg)

    def ftp_PASS(self, line):
        if not self.authenticated and self.username:
            fault = self.service.take_fault("ftp-login", self.username)
            if fault is not None and fault["action"] in ("max_clients", "login_denied"):
                self.respond(MAX_CLIENTS_TEXT if fault["action"] == "max_clients"
                             else LOGIN_DENIED_TEXT)
                self.username = ""
                return
        return super().ftp_PASS(line)

    def ftp_SIZE(self, path):
        fault = self.service.take_fault("ftp-size", self.username)
        if fault is not None and fault["action"] in ("silent", "drop"):
            # Each session has its own thread: only this client waits.
            if fault["action"] == "silent":
                time.sleep(float(fault.get("seconds", 30)))
            self.close()
            return
        # libcurl asks for the size before it switches to binary, so ASCII mode is allowed.
        line = self.fs.fs2ftp(path)
        if not self.fs.isfile(self.fs.realpath(path)):
            self.respond("550 %s is not retrievable." % line)
            return
        try:
            size = self.run_as_current_user(self.fs.getsize, path)
        except (OSError, FilesystemError) as err:
            self.respond("550 %s." % err)
            return
        self.respond("213 %s" % size)

    def ftp_STOR(self, file, mode="w"):
        fault = self.service.take_fault("ftp-stor", self.username)
        self.stor_fault = None
        if fault is not None and fault["action"] == "quota":
            self._restart_position = 0
            self.respond(QUOTA_TEXT)
            if self.data_channel is not None:
                self.data_channel.close()
            self._shutdown_connecting_dtp()
            return None
        if fault is not None and fault["action"] in ("cut", "throttle"):
            self.stor_fault = fault
        return super().ftp_STOR(file, mode)


def make_server(service, port):
    # Only warnings reach stderr: a test that never reads the pipe must not fill it.
    logging.basicConfig(level=logging.WARNING, format="ferrystandin: %(message)s")
    logging.getLogger("pyftpdlib").setLevel(logging.WARNING)
    authorizer = ScrambledAuthorizer(service)
    for name, account in service.accounts.items():
        authorizer.add_user(name, "", account.ftp_home, perm="elradfmwMT")
    handler = type("BoundFTPHandler", (StandInFTPHandler,), {})
    handler.service = service
    handler.authorizer = authorizer
    handler.permit_foreign_addresses = False
    server = ThreadedFTPServer(("127.0.0.1", port), handler)
    server.max_cons = 256
    return server


def serve(server):
    thread = threading.Thread(target=server.serve_forever,
                              kwargs={"timeout": 0.2, "handle_exit": False}, daemon=True)
    thread.start()
    return thread
