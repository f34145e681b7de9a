#!/usr/bin/python3
"""Local stand-in for the Ferrydesk web service and its FTP server, for demos and tests.

Usage:
  /usr/bin/python3 standin/ferrystandin.py --scenario FILE.json [--http-port N]
      [--https-port N] [--ftp-port N] [--state-dir DIR] [--parent-pid PID]

Port 0 picks a free port. Everything binds to 127.0.0.1 only. When all servers listen it prints
one line to stdout:
  READY http=<port> https=<port> ftp=<port> ca=<absolute path of the PEM certificate>
and runs until SIGTERM or SIGINT.
"""

import argparse
import os
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import standin_answers  # noqa: E402
import standin_ftp  # noqa: E402
import standin_http  # noqa: E402
from standin_model import Service, load_scenario  # noqa: E402


def make_certificate(state_dir):
    cert = os.path.join(state_dir, "cert.pem")
    key = os.path.join(state_dir, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                    "-keyout", key, "-out", cert, "-days", "3650", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return os.path.abspath(cert), os.path.abspath(key)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description="Ferrydesk stand-in service")
    parser.add_argument("--scenario", required=True, help="scenario JSON file")
    parser.add_argument("--http-port", type=int, default=0)
    parser.add_argument("--https-port", type=int, default=0)
    parser.add_argument("--ftp-port", type=int, default=0)
    parser.add_argument("--state-dir", help="folder for certificate, files and FTP homes "
                        "(default: a temporary folder removed at exit)")
    parser.add_argument("--parent-pid", type=int, default=0,
                        help="stop when this process is gone (a test that crashed)")
    return parser.parse_args(argv)


def main(argv):
    args = parse_arguments(argv)
    scenario = load_scenario(args.scenario)
    own_state_dir = args.state_dir is None
    state_dir = tempfile.mkdtemp(prefix="ferrystandin-") if own_state_dir \
        else os.path.abspath(args.state_dir)
    os.makedirs(state_dir, exist_ok=True)

    stopping = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stopping.set())
    signal.signal(signal.SIGINT, lambda *_: stopping.set())
    try:
        cert, key = make_certificate(state_dir)
        service = Service(scenario, state_dir)

        ftp_server = standin_ftp.make_server(service, args.ftp_port)
        service.ftp_port = ftp_server.address[1]
        http_server = standin_http.StandInHTTPServer(args.http_port, service, stopping)
        service.http_port = http_server.server_address[1]
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        https_server = standin_http.StandInHTTPServer(args.https_port, service, stopping,
                                                      context)
        service.https_port = https_server.server_address[1]

        if scenario.get("prebuilt_listings"):
            standin_answers.prebuild_listings(service)
        standin_ftp.serve(ftp_server)
        standin_http.serve(http_server)
        standin_http.serve(https_server)
        sys.stdout.write("READY http=%d https=%d ftp=%d ca=%s\n" % (
            service.http_port, https_server.server_address[1], service.ftp_port, cert))
        sys.stdout.flush()

        # A test that crashed would leave us holding its output pipe, and its runner waiting.
        while not stopping.wait(0.5):
            if args.parent_pid and os.getppid() != args.parent_pid:
                break
        http_server.shutdown()
        https_server.shutdown()
        http_server.server_close()
        https_server.server_close()
        ftp_server._exit.set()
    finally:
        stopping.set()
        if own_state_dir:
            shutil.rmtree(state_dir, ignore_errors=True)
    sys.stdout.flush()
    sys.stderr.flush()
    # Open FTP sessions and stalled downloads live on daemon threads; leave without them.
    os._exit(0)


if __name__ == "__main__":
    main(sys.argv[1:])
