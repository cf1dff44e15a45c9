#!/usr/bin/python3
"""HTTPS server that plays the CS's module download service.

Serves the files under --root (for example ROOT/router_modules/quillmesh.um.v4.tgz) over
TLS with a throwaway self-signed certificate, answers 404 for anything else, and records
each request as one line "METHOD PATH STATUS" in --log. Once it listens it writes its
process number to --ready. It stops on SIGTERM, or by itself after --lifetime seconds.
While the file --stall-flag names exists, it plays a hung server: a request is read and
logged with the status "stalled", and no answer comes; the connection stays open for an hour
or until the client closes it.
"""
import argparse
import http.server
import os
import select
import signal
import ssl
import subprocess
import sys
import tempfile
import threading
import time


def make_certificate(directory):
    cert = os.path.join(directory, "cs_www.crt")
    key = os.path.join(directory, "cs_www.key")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
         "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=quillmesh-test-cs"],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--bind", default="0.0.0.0")
    parser.add_argument("--port", type=int, default=443)
    parser.add_argument("--log", default=None)
    parser.add_argument("--ready", default=None)
    parser.add_argument("--lifetime", type=int, default=600)
    parser.add_argument("--stall-flag", default=None)
    args = parser.parse_args()

    root = os.path.abspath(args.root)
    log_path = args.log

    class Handler(http.server.SimpleHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def __init__(self, *a, **kw):
            super().__init__(*a, directory=root, **kw)

        def list_directory(self, path):
            self.send_error(404, "Not found")
            return None

        def log_request(self, code="-", size="-"):
            if log_path:
                with open(log_path, "a") as out:
                    out.write("%s %s %s\n" % (self.command, self.path, code))

        def log_message(self, fmt, *a):
            pass

        def do_GET(self):
            if not (args.stall_flag and os.path.exists(args.stall_flag)):
                super().do_GET()
                return
            self.log_request("stalled")
            self.close_connection = True
            end = time.monotonic() + 3600
            while time.monotonic() < end:
                if select.select([self.connection], [], [], 1.0)[0]:
                    try:
                        if not self.connection.recv(4096):
                            return
                    except (ssl.SSLError, OSError):
                        return

    with tempfile.TemporaryDirectory() as keys:
        cert, key = make_certificate(keys)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server = http.server.ThreadingHTTPServer((args.bind, args.port), Handler)
        server.socket = context.wrap_socket(server.socket, server_side=True)

        def stop(*_):
            threading.Thread(target=server.shutdown, daemon=True).start()

        signal.signal(signal.SIGTERM, stop)
        timer = threading.Timer(args.lifetime, stop)
        timer.daemon = True
        timer.start()
        if args.ready:
            with open(args.ready + ".tmp", "w") as out:
                out.write("%d\n" % os.getpid())
            os.rename(args.ready + ".tmp", args.ready)
        try:
            server.serve_forever()
        finally:
            server.server_close()
            timer.cancel()
    return 0


if __name__ == "__main__":
    sys.exit(main())
