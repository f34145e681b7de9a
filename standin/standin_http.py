"""HTTP and HTTPS side of the stand-in: "/tool/" requests, direct links, the link check, the
update file and the JSON control API under "/_control/"."""

import base64
import hashlib
import html
import http.server
import json
import os
import socket
import ssl
import sys
import threading
import time
import traceback
import urllib.parse

import standin_answers as answers
from standin_model import PARAM_KINDS, ROOT_ID, ServiceError, decode_payload, split_fields

CHUNK = 256 * 1024


class Dropped(Exception):
    """The connection was closed on purpose (or by the client); nothing more is sent."""


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "FerrydeskStandIn/1.0"
    timeout = 120

    # --- plumbing ---------------------------------------------------------------------------

    @property
    def service(self):
        return self.server.service

    def log_message(self, format, *args):
        pass

    def split_target(self):
        path, _, query = self.path.partition("?")
        return path, query

    def send_body(self, status, body, content_type="text/xml; charset=utf-8", headers=()):
        data = body.encode("utf-8") if isinstance(body, str) else body
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        # One request per connection: a scripted drop must reach the client as a failure
        # instead of being hidden by libcurl's silent retry on a reused connection.
        self.send_header("Connection", "close")
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)
        self.close_connection = True

    def drop(self):
        self.close_connection = True
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        raise Dropped()

    def wait(self, seconds):
        self.server.stopping.wait(max(0.0, float(seconds)))

    def dispatch(self, method):
        try:
            path, query = self.split_target()
            if path.startswith("/_control/"):
                self.control(method, path[len("/_control/"):], query)
            elif method == "POST":
                self.send_body(404, "Not found\n", "text/plain")
            elif path in ("/tool/", "/tool", "/tool/index.php"):
                self.tool(path, query)
            elif path == "/tool/info.php":
                self.check_link(path, query)
            elif path.startswith("/dl/"):
                self.download(path, query)
            elif path.startswith("/update/"):
                self.update_file(path, query)
            elif path.startswith("/f/"):
                self.file_page(path)
            elif path.endswith(".html"):
                self.send_body(200, "<html><body><p>Ferrydesk test service</p></body></html>",
                               "text/html; charset=utf-8")
            else:
                self.send_body(404, "Not found\n", "text/plain")
        except (Dropped, BrokenPipeError, ConnectionResetError, ssl.SSLError, socket.timeout):
            self.close_connection = True

    def do_GET(self):
        self.dispatch("GET")

    def do_HEAD(self):
        self.dispatch("HEAD")

    def do_POST(self):
        self.dispatch("POST")

    # --- "/tool/" requests ------------------------------------------------------------------

    def apply_common_fault(self, fault):
        """drop, delay and refuse work on every request kind. True when the answer is sent."""
        if fault is None:
            return False
        action = fault["action"]
        if action == "drop":
            self.drop()
        if action == "delay":
            self.wait(fault.get("seconds", 1))
            return False
        if action == "refuse":
            self.send_body(200, answers.generic(0, fault.get("text", "Refused")))
            return True
        return False

    def tool(self, path, query):
        if query.startswith("ver="):
            self.version(path, query)
            return
        param, _, value = query.partition("=")
        kind = PARAM_KINDS.get(param, param)
        entry = {"kind": kind, "method": self.command, "path": path, "query": query,
                 "param": param, "range": self.headers.get("Range")}
        try:
            payload = decode_payload(value)
        except (ValueError, UnicodeDecodeError):
            payload = None
        entry["payload"] = payload
        account = None
        fields = []
        user = ""
        if payload is not None and kind != "startup":
            user, account, remainder = self.service.split_credentials(payload)
            if kind == "folder":
                kind = "login" if remainder == "" else "listing"
            fields = split_fields(kind, remainder)
        entry.update({"kind": kind, "user": user, "fields": fields})
        self.service.record(entry)
        file_id = fields[0] if kind in ("dlfile", "dlfile_ok") and fields else None
        fault = self.service.take_fault(kind, user, file_id)
        if self.apply_common_fault(fault):
            return
        # "answer" replaces elements of a dlfile answer (a null value leaves one out).
        self.answer_fields = fault.get("fields", {}) if fault and fault["action"] == "answer" \
            else {}
        if payload is None:
            self.send_body(200, answers.generic(0, "Invalid request"))
            return
        if kind == "startup":
            self.send_body(200, answers.startup(self.service))
            return
        if kind not in PARAM_KINDS.values() and kind not in ("login", "listing"):
            self.send_body(200, answers.generic(0, "Unknown request"))
            return
        if account is None:
            self.send_body(200, answers.generic(0, "Invalid user name or password"))
            return
        try:
            self.send_body(200, self.account_request(kind, account, fields))
        except ServiceError as err:
            self.send_body(200, answers.generic(0, str(err)))

    def field(self, fields, index):
        return fields[index] if index < len(fields) else ""

    def require_modify(self, account):
        if not account.may_modify():
            raise ServiceError(account.values.get("reason1") or "Permission denied")

    def account_request(self, kind, account, fields):
        service = self.service
        f = lambda i: self.field(fields, i)  # noqa: E731
        if kind == "login":
            return answers.login(service, account)
        if kind == "listing":
            folder = service.folder(account, f(0) or ROOT_ID)
            prebuilt = service.listing_cache.get((account.name, folder.id))
            return prebuilt if prebuilt is not None else answers.listing(service, account, folder)
        if kind == "create_folder":
            self.require_modify(account)
            node = service.create_folder(account, f(0), f(1))
            return answers.generic(1, "Folder %s created" % node.name)
        if kind == "rename_f":
            self.require_modify(account)
            service.rename(account, f(0), f(1))
            return answers.generic(1, "Renamed")
        if kind == "move_f":
            self.require_modify(account)
            service.move(account, f(0), f(1))
            return answers.generic(1, "Moved")
        if kind == "delete_f":
            self.require_modify(account)
            service.delete(account, f(0))
            return answers.generic(1, "Deleted")
        if kind == "upload_done":
            self.require_modify(account)
            node = service.register_upload(account, f(0), f(1), f(2), f(3))
            return answers.generic(1, "Upload of %s complete" % node.name)
        if kind == "dlfile":
            return self.direct_link(account, f(0))
        if kind == "dlfile_ok":
            with service.lock:
                node = account.nodes.get(f(0))
            if node is None or not node.is_file:
                raise ServiceError("File not found")
            return answers.generic(1, "OK")
        raise ServiceError("Unknown request")

    def direct_link(self, account, file_id):
        if not account.may_download():
            raise ServiceError(account.values.get("reason2") or "Permission denied")
        with self.service.lock:
            node = account.nodes.get(file_id)
        if node is None or not node.is_file:
            raise ServiceError("File not found")
        token = self.service.make_token(account, node)
        link = "http://127.0.0.1:%d/dl/%s/%s" % (self.service.http_port, token,
                                                 urllib.parse.quote(node.name, safe=""))
        return answers.direct_link(link, node, getattr(self, "answer_fields", {}))

    def version(self, path, query):
        params = urllib.parse.parse_qs(query, keep_blank_values=True)
        sign = params.get("sign", [""])[0]
        self.service.record({"kind": "ver", "method": self.command, "path": path,
                             "query": query, "param": "ver", "fields": [sign],
                             "range": self.headers.get("Range"),
                             "secure": self.server.ssl_context is not None})
        fault = self.service.take_fault("ver")
        if self.apply_common_fault(fault):
            return
        body = answers.version(self.service)
        if fault is not None and fault["action"] == "pad":
            # The same answer behind a comment of `bytes` bytes.
            body = body.replace("<response>", "<!--%s--><response>" % ("x" * int(fault["bytes"])), 1)
        self.send_body(200, body)

    def check_link(self, path, query):
        param, _, value = query.partition("=")
        file_id = urllib.parse.unquote(value)
        self.service.record({"kind": "checklink", "method": self.command, "path": path,
                             "query": query, "param": param, "payload": file_id,
                             "fields": [file_id], "range": self.headers.get("Range")})
        fault = self.service.take_fault("checklink", None, file_id)
        if self.apply_common_fault(fault):
            return
        account, node = self.service.find_file(file_id) if param == "checkAndReturnLink" \
            else (None, None)
        if node is None:
            self.send_body(200, "Error: file not found", "text/plain; charset=utf-8")
            return
        link = self.service.link_of(node)
        if fault is not None and fault["action"] == "foreign":
            link = link.replace("https://%s/" % self.service.host,
                                "https://%s/" % fault.get("host", "files.elsewhere.example"), 1)
        self.send_body(200, link, "text/plain; charset=utf-8")

    def file_page(self, path):
        """The web page of a file link "/f/<id>/<name>.file": its name, size and a download."""
        parts = path.split("/")
        account, node = self.service.find_file(parts[2]) if len(parts) > 2 else (None, None)
        if node is None:
            self.send_body(404, "<html><body><p>File not found</p></body></html>",
                           "text/html; charset=utf-8")
            return
        link = "/dl/%s/%s" % (self.service.make_token(account, node),
                              urllib.parse.quote(node.name, safe=""))
        self.send_body(200, '<html><body><p>%s (%d bytes)</p><p><a href="%s">Download</a></p>'
                       "</body></html>" % (html.escape(node.name), node.size, link),
                       "text/html; charset=utf-8")

    # --- direct links -----------------------------------------------------------------------

    def parse_range(self, size):
        """(first, last) of a single "bytes=" range, "unsatisfiable", or None for no range."""
        header = self.headers.get("Range")
        if not header or not header.startswith("bytes=") or "," in header:
            return None
        first_text, _, last_text = header[len("bytes="):].strip().partition("-")
        try:
            if first_text == "":
                length = int(last_text)
                if length <= 0:
                    return "unsatisfiable"
                return max(0, size - length), size - 1
            first = int(first_text)
            last = int(last_text) if last_text else size - 1
        except ValueError:
            return None
        if first >= size:
            return "unsatisfiable"
        if last < first:
            return None
        return first, min(last, size - 1)

    def download(self, path, query):
        parts = path.split("/")
        token = parts[2] if len(parts) > 2 else ""
        account, node = self.service.resolve_token(token)
        user = account.name if account else ""
        self.service.record({"kind": "download", "method": self.command, "path": path,
                             "query": query, "user": user,
                             "fields": [node.id] if node else [],
                             "range": self.headers.get("Range")})
        name = urllib.parse.unquote(parts[3]) if len(parts) > 3 else ""
        fault = self.service.take_fault("download", user, node.id if node else None)
        if fault is not None and fault["action"] == "refuse":
            self.send_body(403, fault.get("text", "Refused") + "\n", "text/plain")
            return
        self.apply_common_fault(fault)
        if node is None or (fault is not None and fault["action"] == "missing"):
            text = "/files/%s: No such file or directory" % (node.name if node else name)
            self.send_body(404, text + "\n", "text/plain", headers=[("X-Error", text)])
            return
        self.send_file(node.path, node.size, fault)

    def update_file(self, path, query):
        self.service.record({"kind": "update", "method": self.command, "path": path,
                             "query": query, "range": self.headers.get("Range")})
        fault = self.service.take_fault("update")
        if fault is not None and fault["action"] == "redirect":
            self.send_body(302, "", "text/plain", headers=[("Location", fault["to"])])
            return
        if not self.service.update_path:
            self.send_body(404, "Not found\n", "text/plain")
            return
        self.send_file(self.service.update_path, os.path.getsize(self.service.update_path), fault)

    def send_file(self, file_path, size, fault):
        action = fault["action"] if fault else None
        wanted = None if action == "ignore_range" else self.parse_range(size)
        if wanted == "unsatisfiable":
            self.send_body(416, b"", "application/octet-stream",
                           headers=[("Content-Range", "bytes */%d" % size)])
            return
        first, last = wanted if wanted else (0, size - 1)
        length = max(0, last - first + 1)
        if action == "unsatisfiable":
            # 416 without the size the client could check its partial file against.
            self.send_body(416, b"", "application/octet-stream")
            return
        if action == "endless":
            self.send_endless()
            return
        if action == "short":
            # A clean end after `bytes`, the length header agreeing: no transport error at all.
            length = min(length, int(fault.get("bytes", 0)))
            last = first + length - 1
        self.send_response(206 if wanted else 200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("Content-Length", str(length))
        if wanted:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, size))
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        if self.command == "HEAD":
            return
        with open(file_path, "rb") as source:
            self.stream(source, first, length, fault)

    def send_endless(self):
        """200 without a length, then bytes until the client goes away."""
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        block = b"\0" * CHUNK
        while not self.server.stopping.is_set():
            self.connection.sendall(block)

    def stream(self, source, offset, length, fault):
        action = fault["action"] if fault else None
        if action in ("cut", "stall"):
            length = min(length, int(fault.get("bytes", 0)))
        rate = float(fault.get("kbps", 0)) * 1024 if action == "throttle" else 0
        if rate <= 0 and action not in ("cut", "stall"):
            if length > 0:  # sendfile refuses a count of 0
                self.connection.sendfile(source, offset, length)
            return
        source.seek(offset)
        chunk = CHUNK if rate <= 0 else max(1024, min(64 * 1024, int(rate / 20)))
        started = time.monotonic()
        sent = 0
        while sent < length:
            data = source.read(min(chunk, length - sent))
            if not data:
                break
            self.connection.sendall(data)
            sent += len(data)
            if rate > 0:
                ahead = sent / rate - (time.monotonic() - started)
                if ahead > 0:
                    self.wait(ahead)
        if action == "stall":
            self.wait(fault.get("seconds", 30))
        if action in ("cut", "stall"):
            self.drop()

    # --- control API ------------------------------------------------------------------------

    def send_json(self, value, status=200):
        self.send_body(status, json.dumps(value), "application/json")

    def read_json(self):
        length = int(self.headers.get("Content-Length") or 0)
        data = self.rfile.read(length) if length else b""
        return json.loads(data.decode("utf-8")) if data.strip() else {}

    def control(self, method, name, query):
        params = {k: v[0] for k, v in urllib.parse.parse_qs(query, keep_blank_values=True)
                  .items()}
        try:
            body = self.read_json() if method == "POST" else {}
            result = self.control_call(method, name, params, body)
        except ServiceError as err:
            self.send_json({"error": str(err)}, 404)
            return
        except (ValueError, KeyError, TypeError) as err:
            self.send_json({"error": str(err)}, 400)
            return
        if result is None:
            self.send_json({"error": "not found"}, 404)
            return
        self.send_json(result)

    def control_call(self, method, name, params, body):
        service = self.service
        user = body.get("user", params.get("user")) if isinstance(body, dict) \
            else params.get("user")
        if (method, name) == ("GET", "ping"):
            return {"ok": True, "http": service.http_port, "ftp": service.ftp_port}
        if (method, name) == ("GET", "requests"):
            return service.requests(params.get("kind"))
        if (method, name) == ("GET", "faults"):
            with service.lock:
                return list(service.faults)
        if (method, name) == ("POST", "faults"):
            return {"ok": True, "added": service.add_faults(body)}
        if (method, name) == ("POST", "reset"):
            service.reset()
            return {"ok": True}
        if (method, name) == ("GET", "tree"):
            return service.tree_json(service.account(user))
        if (method, name) == ("GET", "files"):
            return service.files_json(service.account(user))
        if (method, name) == ("GET", "account"):
            return service.account_json(service.account(user))
        if (method, name) == ("POST", "account"):
            return service.update_account(user, body)
        if (method, name) == ("POST", "version"):
            return service.update_version(body)
        if (method, name) == ("POST", "update"):
            return service.serve_update(body["path"])
        if name == "ftpfile":
            return self.ftp_file(method, service.account(user), params, body)
        raise ServiceError("unknown control call %s %s" % (method, name))

    def ftp_file(self, method, account, params, body):
        name = body.get("name", params.get("name", "")) if method == "POST" else \
            params.get("name", "")
        if not name or "/" in name or name in (".", ".."):
            raise ValueError("bad file name")
        path = os.path.join(account.ftp_home, name)
        if method == "POST":
            if "base64" in body:
                data = base64.b64decode(body["base64"])
            elif "path" in body:
                with open(body["path"], "rb") as f:
                    data = f.read(int(body["bytes"])) if "bytes" in body else f.read()
            else:
                data = str(body.get("content", "")).encode("utf-8")
            with open(path, "wb") as f:
                f.write(data)
        if not os.path.isfile(path):
            return None
        digest = hashlib.sha256()
        with open(path, "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                digest.update(block)
        return {"name": name, "size": os.path.getsize(path), "sha256": digest.hexdigest()}


class StandInHTTPServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, port, service, stopping, ssl_context=None):
        self.service = service
        self.stopping = stopping
        self.ssl_context = ssl_context
        super().__init__(("127.0.0.1", port), Handler)

    def get_request(self):
        sock, address = super().get_request()
        if self.ssl_context is not None:
            # The handshake happens on the first read, in the request's own thread, so a slow
            # client never holds up the accepting thread.
            sock = self.ssl_context.wrap_socket(sock, server_side=True,
                                                do_handshake_on_connect=False)
        return sock, address

    def handle_error(self, request, client_address):
        # A client that goes away is normal here; anything else is a fault of the stand-in.
        error = sys.exc_info()[1]
        if isinstance(error, (ConnectionError, ssl.SSLError, socket.timeout)):
            return
        traceback.print_exc(file=sys.stderr)


def serve(server):
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                              daemon=True)
    thread.start()
    return thread
