#!/usr/bin/python3
"""Client for the end-to-end figures.

    e2e_client.py rtt HOST PORT SOURCE COUNT MESSAGE_FILE
        COUNT connections one after another, each: connect from SOURCE, send the message, read
        until the peer closes. Prints "median p99 mean" in milliseconds and the last answer's
        length.
    e2e_client.py once HOST PORT SOURCE MESSAGE_FILE
        one such connection; prints the seconds to the complete answer (balanced braces) and
        the answer's length.
"""
import socket
import statistics
import sys
import time

def balanced(data):
    opened = data.count(b"{")
    return opened > 0 and opened == data.count(b"}")


def exchange(host, port, source, message, until_close=True):
    start = time.perf_counter()
    with socket.create_connection((host, port), timeout=30, source_address=(source, 0)) as sock:
        sock.sendall(message)
        data = b""
        while True:
            piece = sock.recv(65536)
            if not piece:
                break
            data += piece
            if not until_close and balanced(data):
                break
    return time.perf_counter() - start, data


def rtt(host, port, source, count, path):
    message = open(path, "rb").read()
    times, answer = [], b""
    for _ in range(count):
        seconds, answer = exchange(host, int(port), source, message)
        times.append(seconds * 1000)
    times.sort()
    p99 = times[min(len(times) - 1, int(round(0.99 * len(times))) - 1)]
    print("%.3f %.3f %.3f %d" % (statistics.median(times), p99, statistics.mean(times), len(answer)))


def once(host, port, source, path):
    seconds, answer = exchange(host, int(port), source, open(path, "rb").read(), until_close=False)
    print("%.3f %d %s" % (seconds, len(answer), answer[:200].decode(errors="replace")))


if __name__ == "__main__":
    mode, args = sys.argv[1], sys.argv[2:]
    if mode == "rtt":
        rtt(args[0], args[1], args[2], int(args[3]), args[4])
    elif mode == "once":
        once(*args)
    else:
        sys.exit(__doc__)
