#!/usr/bin/env python3
"""Writes the seeds of crl_scope_fuzzer: CRLs of every shape the store's
one-pass reader must read as libcrypto does, and the ones libcrypto refuses.

The CRLs are built field by field in DER; their signatures are not real, as
decoding never checks them.
  usage: make_crl_seeds.py DIR
"""

import os
import sys


def length(n):
    if n < 0x80:
        return bytes([n])
    octets = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(octets)]) + octets


def tlv(tag, inner, long_form=0):
    if long_form:
        return bytes([tag, 0x80 | long_form]) + len(inner).to_bytes(long_form, "big") + inner
    return bytes([tag]) + length(len(inner)) + inner


def content(der):
    """The content of the DER element der."""
    first = der[1]
    if first < 0x80:
        return der[2:]
    return der[2 + (first & 0x7F):]


def indefinite(tag, inner):
    return bytes([tag, 0x80]) + inner + b"\0\0"


def seq(*items):
    return tlv(0x30, b"".join(items))


def integer(n):
    return tlv(0x02, n.to_bytes(max(1, (n.bit_length() + 8) // 8), "big", signed=True))


def oid(dotted):
    parts = [int(p) for p in dotted.split(".")]
    body = bytes([40 * parts[0] + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        p >>= 7
        while p:
            chunk.insert(0, 0x80 | (p & 0x7F))
            p >>= 7
        body += bytes(chunk)
    return tlv(0x06, body)


def utc(text):
    return tlv(0x17, text.encode())


def generalized(text):
    return tlv(0x18, text.encode())


def name(cn):
    return seq(tlv(0x31, seq(oid("2.5.4.3"), tlv(0x0C, cn.encode()))))


def octets(content):
    return tlv(0x04, content)


def extension(dotted, value, critical=False):
    return seq(oid(dotted), *([tlv(0x01, b"\xff")] if critical else []), octets(value))


ECDSA_SHA256 = seq(oid("1.2.840.10045.4.3.2"))
AKID = "2.5.29.35"
CRL_NUMBER = "2.5.29.20"
DELTA = "2.5.29.27"
IDP = "2.5.29.28"
REASON = "2.5.29.21"
INVALIDITY = "2.5.29.24"
CERT_ISSUER = "2.5.29.29"

key_id = seq(tlv(0x80, bytes(range(20))))


def entry(serial, extensions=()):
    return seq(integer(serial), utc("261201000000Z"), *([seq(*extensions)] if extensions else []))


def tbs(entries=None, extensions=None, version=True, next_update=True, issuer="AC"):
    fields = [integer(1)] if version else []
    fields += [ECDSA_SHA256, name(issuer), utc("261210000000Z")]
    if next_update:
        fields.append(generalized("20270110000000Z"))
    if entries is not None:
        fields.append(seq(*entries))
    if extensions is not None:
        fields.append(tlv(0xA0, seq(*extensions)))
    return seq(*fields)


def crl(tbs_bytes):
    return seq(tbs_bytes, ECDSA_SHA256, tlv(0x03, b"\0" + bytes(70)))


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    base_ext = [extension(AKID, key_id), extension(CRL_NUMBER, integer(7))]
    entries = [
        entry(0x1001),
        entry(0x1002, [extension(REASON, tlv(0x0A, b"\x01"))]),
        entry(0x1003, [extension(INVALIDITY, generalized("20261130000000Z"))]),
        entry(0x1004, [extension(CERT_ISSUER, seq(tlv(0xA4, name("Other CA"))), critical=True)]),
    ]
    good = crl(tbs(entries, base_ext))
    seeds = {
        "entry-extensions": good,
        "malformed-entry-extension": crl(tbs(
            [entry(0x2001, [extension(REASON, b"\x30\x03\x02")])], base_ext)),
        "long-form-lengths": tlv(0x30, tlv(0x30, content(tbs(entries, base_ext)), 3)
                                 + ECDSA_SHA256 + tlv(0x03, b"\0" + bytes(70), 2), 4),
        "indefinite-lengths": indefinite(0x30, indefinite(0x30, content(tbs(entries, base_ext)))
                                         + ECDSA_SHA256 + tlv(0x03, b"\0" + bytes(70))),
        "delta": crl(tbs([entry(0x3001)], base_ext + [extension(DELTA, integer(6), critical=True)])),
        "empty-revoked-list": crl(tbs([], base_ext)),
        "version-1-without-extensions": crl(tbs([entry(0x4001)], None, version=False)),
        "no-next-update-no-entries": crl(tbs(None, base_ext, next_update=False)),
        "distribution-point": crl(tbs([entry(0x5001)], base_ext + [
            extension(IDP, seq(tlv(0xA0, tlv(0xA0, tlv(0x86, b"http://pki.example.org/p1.crl")))),
                      critical=True)])),
        # Refused by libcrypto.
        "trailing-byte": good + b"\0",
        "truncated": good[:-5],
        "end-of-contents-in-fields": seq(seq(integer(1), b"\0\0", ECDSA_SHA256, name("AC"),
                                             utc("261210000000Z")), ECDSA_SHA256,
                                         tlv(0x03, b"\0")),
        "primitive-revoked-list": crl(seq(integer(1), ECDSA_SHA256, name("AC"), utc("261210000000Z"),
                                          tlv(0x10, b""))),
        "extensions-not-explicit": crl(seq(integer(1), ECDSA_SHA256, name("AC"), utc("261210000000Z"),
                                           seq(*base_ext))),
        "bad-entry": crl(tbs([entry(0x6001), seq(integer(2))], base_ext)),
        "missing-issuer": crl(seq(integer(1), ECDSA_SHA256)),
        "bit-string-bad-padding": seq(tbs(entries, base_ext), ECDSA_SHA256, tlv(0x03, b"\x09\x00")),
    }
    for file_name, seed in seeds.items():
        with open(os.path.join(out, file_name), "wb") as f:
            f.write(seed)


if __name__ == "__main__":
    main()
