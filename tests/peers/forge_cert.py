#!/usr/bin/python3
"""Forges a pinned certificate for impostor tests.

  forge_cert.py PINNED.crt KEY_SOURCE.crt OUT.crt

OUT is PINNED with its public key (SubjectPublicKeyInfo) replaced by the one of KEY_SOURCE, and
everything else kept byte for byte: subject, issuer, serial, extensions (key identifiers
included), signature algorithm and signature bytes. Nothing is signed again, so the signature
no longer fits; a client that matches a pinned certificate by subject or key identifier and by
its signature bytes, without checking that signature, takes OUT for PINNED. Whoever holds the
key of KEY_SOURCE can then present OUT and prove its possession in the handshake.
"""

import base64
import sys


def read_der(path):
    text = open(path, encoding="ascii").read()
    body = text.split("-----BEGIN CERTIFICATE-----")[1].split("-----END CERTIFICATE-----")[0]
    return base64.b64decode("".join(body.split()))


def tlv(data, at):
    """(tag, start of content, end of content) of the DER element at `at`."""
    tag, first = data[at], data[at + 1]
    at += 2
    if first < 0x80:
        length = first
    else:
        count = first & 0x7F
        length = int.from_bytes(data[at:at + count], "big")
        at += count
    return tag, at, at + length


def encode(tag, content):
    n = len(content)
    if n < 0x80:
        head = bytes([n])
    else:
        size = n.to_bytes((n.bit_length() + 7) // 8, "big")
        head = bytes([0x80 | len(size)]) + size
    return bytes([tag]) + head + content


def children(data, start, end):
    """The raw DER elements between start and end."""
    out = []
    while start < end:
        _, _, stop = tlv(data, start)
        out.append(data[start:stop])
        start = stop
    return out


def tbs_fields(cert):
    _, start, end = tlv(cert, 0)
    tbs, sig_alg, signature = children(cert, start, end)
    _, tbs_start, tbs_end = tlv(tbs, 0)
    return tbs, children(tbs, tbs_start, tbs_end), sig_alg, signature


def spki_index(fields):
    # version [0] is optional: serial, signature, issuer, validity, subject come before the key.
    return 6 if fields[0][0] == 0xA0 else 5


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: forge_cert.py PINNED.crt KEY_SOURCE.crt OUT.crt")
    _, fields, sig_alg, signature = tbs_fields(read_der(sys.argv[1]))
    _, source_fields, _, _ = tbs_fields(read_der(sys.argv[2]))
    fields[spki_index(fields)] = source_fields[spki_index(source_fields)]
    forged = encode(0x30, encode(0x30, b"".join(fields)) + sig_alg + signature)
    b64 = base64.b64encode(forged).decode("ascii")
    with open(sys.argv[3], "w", encoding="ascii") as f:
        f.write("-----BEGIN CERTIFICATE-----\n")
        for i in range(0, len(b64), 64):
            f.write(b64[i:i + 64] + "\n")
        f.write("-----END CERTIFICATE-----\n")


if __name__ == "__main__":
    main()
