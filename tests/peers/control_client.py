#!/usr/bin/python3
"""Sends one control message to the router's managing socket and prints the answer.

    control_client.py [--source ADDR] [--timeout SECONDS] HOST PORT [MESSAGE]

The message is taken from the command line, or from standard input when MESSAGE is "-" or
missing. The connection is made from ADDR when given (the router answers only the CS address).
Prints the response text on one line, or "no response" when the router closed the connection,
or the time ran out, before a complete message (balanced braces) arrived. Exit status 0 for an
answer, 1 for "no response", 2 when the connection could not be made.
"""
import argparse
import socket
import sys
import time


def complete(data: bytes) -> bool:
    opened = closed = 0
    for byte in data:
        if byte == 0:
            return False
        if byte == ord("{"):
            opened += 1
        elif byte == ord("}"):
            closed += 1
        if opened and opened == closed:
            return True
    return False


def exchange(host: str, port: int, payload: bytes, source: str = "", timeout: float = 90.0,
             half_close: bool = False, pause: float = 0.0) -> bytes:
    """Sends payload (after PAUSE seconds; then shuts the sending side down when HALF_CLOSE) and
    returns what arrived until a complete message, the router's close or the time-out. Raises
    OSError when the connection cannot be made."""
    with socket.create_connection((host, port), timeout=timeout,
                                  source_address=(source, 0) if source else None) as sock:
        try:
            if pause:
                time.sleep(pause)
            sock.sendall(payload)
            if half_close:
                sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass  # the router may close before reading; that shows as no response
        data = b""
        try:
            while not complete(data):
                piece = sock.recv(65536)
                if not piece:
                    break
                data += piece
        except OSError:
            pass
    return data


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--source", default="", help="local address to send from")
    parser.add_argument("--timeout", type=float, default=90.0, help="seconds to wait for the answer")
    parser.add_argument("host")
    parser.add_argument("port", type=int)
    parser.add_argument("message", nargs="?", default="-")
    args = parser.parse_args()

    message = sys.stdin.read() if args.message == "-" else args.message
    try:
        data = exchange(args.host, args.port, message.encode(), args.source, args.timeout)
    except OSError as err:
        print(f"connect failed: {err}", file=sys.stderr)
        return 2
    if not complete(data):
        print("no response")
        return 1
    print(data.decode(errors="replace"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
