#!/usr/bin/python3
"""DS and CS test servers for the device's provisioning dialogue.

One process plays any of three servers:
  DS    TLS 1.3 server answering the CS address query (type 4 -> type 5)
  CS    TLS 1.3 side channel answering registration and credential requests
        (type 21 -> 22, type 6 -> 7)
  UDP   CS approval side channel (type 8 -> type 9)

Both TLS servers require a client certificate (the device's self-signed certificate, re-read
from --client-ca at every connection) and present the certificate that the device pins.
Each connection carries one brace-balanced request and one scripted answer.

Without a script every server answers "good", which serves a whole first start: the DS
hands out --cs-ip and the CS certificate, the CS acknowledges registration, approves, and
sends the three tunnel credential files.

Script (JSON, --script; re-read whenever the file changes, which restarts its queues):
  {"ds": [ANSWER, ...], "cs": [ANSWER, ...], "udp": [ANSWER, ...]}
Each connection (or datagram) takes the next answer of its server's list; the last answer
repeats. An ANSWER is a kind name or an object {"kind": NAME, option: value, ...}.

Kinds:
  good            DS: type 5 with "5-1" and "5-2"; CS: 22 for a 21, 7 for a 6;
                  UDP: type 9 approved ("9-1":1)
  ack             CS: type 22 whatever was asked
  creds           CS: type 7 whatever was asked
  not_validated   UDP: {"9-1":0,"9-2":pause}
  error           error segment of the expected answer type: "ER" er (1), "MG" mg
  unexpected      a segment of type `type` (default 10) with status 0
  malformed       a brace-balanced text that is not JSON
  raw             the text of option "text", verbatim
  silence         read the request and answer nothing; hold the connection for `seconds`
                  (default 60) or until the device closes it
  mute            accept the TCP connection and say nothing, not even the TLS handshake;
                  hold it as silence does
  close           read the request and close without an answer
Options:
  version   "H"."V" of a built answer (113)
  split     send the answer in this many pieces ...
  delay     ... with this pause in seconds between them (0.2); also applies before a
            single-piece answer
  omit      list of payload keys to leave out ("5-2"), or "DT" for no payload at all
  cs_ip     "5-1" of this answer; cert_file: file whose text is "5-2"
  pause     "9-2" of not_validated (30)
  decoy_from  UDP: first send an approval from this (local) address, then the answer
  type, er, mg, text, seconds: see the kinds
  server_cert, server_key: certificate and key that this TLS connection presents

Record (--record): one JSON object per line for every request, handshake failure and
answer: {"server": "ds"|"cs"|"udp", "event": "request"|"handshake_failed"|"incomplete",
"peer": ADDRESS, "request": TEXT, "client_cert": BOOL, "answer": KIND}.

Certificates for tests: ds_cs_server.py gen-certs DIR writes ds, cs, other (a second server
identity), dev (a device identity) and ovpn_ca/ovpn_cert/ovpn_key into DIR.
"""

import argparse
import json
import os
import select
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time

PROTOCOL_VERSION = 113
DEFAULT_CLIENT_CA = "/var/data/quillmesh_certs/certificates/ssl/dev_cert.crt"
READ_LIMIT = 1 << 20
READ_TIMEOUT = 30.0


def read_text(path):
    with open(path, "r", encoding="utf-8") as f:
        return f.read()


class Script:
    """Answer queues per server, reloaded when the script file changes."""

    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.stamp = None
        self.answers = {}
        self.next = {}

    def _reload(self):
        if not self.path:
            return
        try:
            st = os.stat(self.path)
            stamp = (st.st_mtime_ns, st.st_size, st.st_ino)
        except FileNotFoundError:
            stamp = None
        if stamp == self.stamp:
            return
        self.stamp = stamp
        self.answers = {}
        self.next = {}
        if stamp is None:
            return
        data = json.loads(read_text(self.path) or "{}")
        for server, answers in data.items():
            if isinstance(answers, (str, dict)):
                answers = [answers]
            self.answers[server] = [a if isinstance(a, dict) else {"kind": a} for a in answers]

    def take(self, server):
        with self.lock:
            self._reload()
            answers = self.answers.get(server) or [{"kind": "good"}]
            i = self.next.get(server, 0)
            self.next[server] = i + 1
            return dict(answers[min(i, len(answers) - 1)])


class Recorder:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()

    def __call__(self, **entry):
        if not self.path:
            return
        entry["time"] = round(time.time(), 3)
        with self.lock, open(self.path, "a", encoding="utf-8") as f:
            f.write(json.dumps(entry, separators=(",", ":")) + "\n")
            f.flush()


def envelope(segment, version=PROTOCOL_VERSION):
    return json.dumps({"H": {"V": version}, "B": [segment]}, separators=(",", ":"))


def request_type(text):
    try:
        return int(json.loads(text)["B"][0]["T"])
    except Exception:
        return None


def build_answer(server, answer, request, opts):
    """The answer text for a request, or None for no answer."""
    kind = answer.get("kind", "good")
    version = answer.get("version", PROTOCOL_VERSION)
    if kind in ("silence", "close"):
        return None
    if kind == "raw":
        return answer.get("text", "")
    if kind == "malformed":
        return answer.get("text", '{"H":{"V":113} "B" [not json]}')

    asked = request_type(request)
    if server == "ds":
        expected = 5
    elif server == "udp":
        expected = 9
    else:
        expected = 7 if asked == 6 else 22

    if kind == "error":
        return envelope({"T": answer.get("type", expected), "I": 0, "ER": answer.get("er", 1),
                         "MG": answer.get("mg", "scripted failure")}, version)
    if kind == "unexpected":
        return envelope({"T": answer.get("type", 10), "I": 0, "ER": 0}, version)

    if kind == "good":
        kind = {"ds": "cs_address", "udp": "approve"}.get(server, "creds" if asked == 6 else "ack")
    if kind == "cs_address":
        cert_file = answer.get("cert_file", opts.cs_answer_cert or opts.cs_cert)
        dt = {"5-1": answer.get("cs_ip", opts.cs_ip), "5-2": read_text(cert_file) if cert_file else ""}
        seg = {"T": 5, "I": 0, "ER": 0, "DT": dt}
    elif kind == "ack":
        seg = {"T": 22, "I": 0, "ER": 0}
    elif kind == "creds":
        dt = {"7-1": read_text(opts.ovpn_ca) if opts.ovpn_ca else "CA\n",
              "7-2": read_text(opts.ovpn_cert) if opts.ovpn_cert else "CERT\n",
              "7-3": read_text(opts.ovpn_key) if opts.ovpn_key else "KEY\n"}
        seg = {"T": 7, "I": 0, "ER": 0, "DT": dt}
    elif kind == "approve":
        seg = {"T": 9, "I": 0, "ER": 0, "DT": {"9-1": 1}}
    elif kind == "not_validated":
        seg = {"T": 9, "I": 0, "ER": 0, "DT": {"9-1": 0, "9-2": answer.get("pause", 30)}}
    else:
        raise ValueError("unknown answer kind: %s" % kind)

    omit = answer.get("omit", [])
    if isinstance(omit, str):
        omit = [omit]
    for key in omit:
        if key == "DT":
            seg.pop("DT", None)
        elif "DT" in seg:
            seg["DT"].pop(key, None)
    return envelope(seg, version)


def pieces(text, count):
    count = max(1, min(int(count), len(text) or 1))
    size = -(-len(text) // count)
    return [text[i:i + size] for i in range(0, len(text), size)] or [text]


def read_message(conn):
    """Reads until the braces balance; returns (text, complete)."""
    data = b""
    conn.settimeout(READ_TIMEOUT)
    while len(data) < READ_LIMIT:
        try:
            chunk = conn.recv(65536)
        except (socket.timeout, ssl.SSLError, OSError):
            break
        if not chunk:
            break
        data += chunk
        if data.count(b"{") and data.count(b"{") == data.count(b"}"):
            return data.decode("utf-8", "replace"), True
    return data.decode("utf-8", "replace"), False


def hold(conn, seconds):
    """Keeps a connection open without sending until the peer closes or time runs out."""
    end = time.monotonic() + seconds
    while True:
        left = end - time.monotonic()
        if left <= 0:
            return
        r, _, _ = select.select([conn], [], [], min(left, 1.0))
        if r:
            try:
                conn.settimeout(0.5)
                if not conn.recv(4096):
                    return
            except (socket.timeout, ssl.SSLWantReadError):
                continue
            except (ssl.SSLError, OSError):
                return


def send_answer(conn, text, answer, sendall):
    parts = pieces(text, answer.get("split", 1))
    delay = float(answer.get("delay", 0.2 if len(parts) > 1 else 0))
    for i, part in enumerate(parts):
        if delay and (i > 0 or len(parts) == 1):
            time.sleep(delay)
        sendall(part.encode("utf-8"))


class TlsServer:
    def __init__(self, name, port, cert, key, opts, script, record):
        self.name, self.cert, self.key = name, cert, key
        self.opts, self.script, self.record = opts, script, record
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((opts.addr, port))
        self.sock.listen(opts.backlog)

    def context(self, answer):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.minimum_version = ssl.TLSVersion.TLSv1_3
        ctx.maximum_version = ssl.TLSVersion.TLSv1_3
        ctx.load_cert_chain(answer.get("server_cert", self.cert), answer.get("server_key", self.key))
        ctx.verify_mode = ssl.CERT_REQUIRED
        ctx.load_verify_locations(self.opts.client_ca)
        return ctx

    def serve(self):
        while True:
            raw, peer = self.sock.accept()
            threading.Thread(target=self.handle, args=(raw, peer[0]), daemon=True).start()

    def handle(self, raw, peer):
        answer = self.script.take(self.name)
        kind = answer.get("kind", "good")
        try:
            if kind == "mute":
                self.record(server=self.name, event="muted", peer=peer, answer=kind)
                hold(raw, float(answer.get("seconds", 60)))
                return
            raw.settimeout(READ_TIMEOUT)
            # The answer leaves at once, as from a server tuned for it: with Nagle's algorithm it
            # would wait for the device's delayed acknowledgement of the session ticket before it.
            raw.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            try:
                conn = self.context(answer).wrap_socket(raw, server_side=True)
            except (ssl.SSLError, OSError) as e:
                self.record(server=self.name, event="handshake_failed", peer=peer, error=str(e))
                return
            request, complete = read_message(conn)
            self.record(server=self.name, event="request" if complete else "incomplete", peer=peer,
                        request=request, client_cert=bool(conn.getpeercert(binary_form=True)),
                        answer=kind)
            if not complete:
                return
            text = build_answer(self.name, answer, request, self.opts)
            if text is None:
                if kind == "silence":
                    hold(conn, float(answer.get("seconds", 60)))
                return
            send_answer(conn, text, answer, conn.sendall)
            # Let the device read everything before the connection goes away.
            hold(conn, float(answer.get("linger", 5)))
        except Exception as e:  # one bad connection must not stop the server
            self.record(server=self.name, event="server_error", peer=peer, error=repr(e))
        finally:
            try:
                raw.close()
            except OSError:
                pass


class UdpServer:
    name = "udp"

    def __init__(self, port, opts, script, record):
        self.opts, self.script, self.record = opts, script, record
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((opts.addr, port))

    def serve(self):
        while True:
            data, peer = self.sock.recvfrom(65536)
            request = data.decode("utf-8", "replace")
            answer = self.script.take("udp")
            self.record(server="udp", event="request", peer=peer[0], request=request,
                        answer=answer.get("kind", "good"))
            threading.Thread(target=self.answer, args=(answer, request, peer), daemon=True).start()

    def answer(self, answer, request, peer):
        try:
            text = build_answer("udp", answer, request, self.opts)
            if text is None:
                return
            if answer.get("decoy_from"):
                # Another host of the network answers first, approving.
                with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as decoy:
                    decoy.bind((answer["decoy_from"], 0))
                    decoy.sendto(envelope({"T": 9, "I": 0, "ER": 0, "DT": {"9-1": 1}}).encode("utf-8"), peer)
                time.sleep(0.2)
            if answer.get("delay"):
                time.sleep(float(answer["delay"]))
            self.sock.sendto(text.encode("utf-8"), peer)
        except Exception as e:
            self.record(server="udp", event="server_error", peer=peer[0], error=repr(e))


def gen_certs(directory):
    os.makedirs(directory, exist_ok=True)

    def make(name, key_name=None, cn=None):
        key = os.path.join(directory, key_name or name + ".key")
        crt = os.path.join(directory, name + ".crt")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                        "-nodes", "-keyout", key, "-out", crt, "-days", "3650", "-subj",
                        "/CN=" + (cn or "quillmesh-test-" + name)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.chmod(key, 0o600)

    for name in ("ds", "cs", "other", "ovpn_ca", "ovpn_cert"):
        make(name)
    make("dev", key_name="dev.pem", cn="kiv-00.0A.14.81.7A.1B")
    os.replace(os.path.join(directory, "ovpn_cert.key"), os.path.join(directory, "ovpn_key.pem"))


def main():
    if len(sys.argv) >= 2 and sys.argv[1] == "gen-certs":
        if len(sys.argv) != 3:
            sys.exit("usage: ds_cs_server.py gen-certs DIR")
        gen_certs(sys.argv[2])
        return

    p = argparse.ArgumentParser(description="DS and CS test servers (see the module text).")
    p.add_argument("--addr", default="0.0.0.0", help="listen address")
    p.add_argument("--ds-port", type=int, default=0)
    p.add_argument("--ds-cert")
    p.add_argument("--ds-key")
    p.add_argument("--cs-port", type=int, default=0)
    p.add_argument("--cs-cert")
    p.add_argument("--cs-key")
    p.add_argument("--udp-port", type=int, default=0)
    p.add_argument("--backlog", type=int, default=8,
                   help="connections the kernel queues before the server accepts them (a fleet needs more)")
    p.add_argument("--client-ca", default=DEFAULT_CLIENT_CA,
                   help="device certificate that clients must present")
    p.add_argument("--cs-ip", help='"5-1" of the DS answer (default: --addr, else 10.99.0.1)')
    p.add_argument("--cs-answer-cert", help='file whose text is "5-2" (default: --cs-cert)')
    p.add_argument("--ovpn-ca")
    p.add_argument("--ovpn-cert")
    p.add_argument("--ovpn-key")
    p.add_argument("--script")
    p.add_argument("--record")
    p.add_argument("--ready", help="file created once every socket listens")
    opts = p.parse_args()
    if not opts.cs_ip:
        opts.cs_ip = opts.addr if opts.addr != "0.0.0.0" else "10.99.0.1"
    for name in ("ds", "cs"):
        if getattr(opts, name + "_port") and not (getattr(opts, name + "_cert") and getattr(opts, name + "_key")):
            p.error("--%s-port needs --%s-cert and --%s-key" % (name, name, name))
    if not (opts.ds_port or opts.cs_port or opts.udp_port):
        p.error("nothing to serve: give --ds-port, --cs-port or --udp-port")

    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    script, record = Script(opts.script), Recorder(opts.record)
    servers = []
    if opts.ds_port:
        servers.append(TlsServer("ds", opts.ds_port, opts.ds_cert, opts.ds_key, opts, script, record))
    if opts.cs_port:
        servers.append(TlsServer("cs", opts.cs_port, opts.cs_cert, opts.cs_key, opts, script, record))
    if opts.udp_port:
        servers.append(UdpServer(opts.udp_port, opts, script, record))
    for s in servers:
        threading.Thread(target=s.serve, daemon=True).start()
    if opts.ready:
        with open(opts.ready, "w") as f:
            f.write("%d\n" % os.getpid())
    while True:
        time.sleep(3600)


if __name__ == "__main__":
    main()
