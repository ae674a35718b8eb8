#!/usr/bin/python3
"""Where a capture's QUIC client Initials carry the server name: one line per client port of a
UDP flow to port 443, "PORT found" when one CRYPTO frame of its Initials holds the whole
server_name extension for NAME, "PORT split" when only the flow's CRYPTO data put together by
offset holds it, "PORT absent" when its Initials do not hold it at all.
Decrypts with OpenSSL through python3-cryptography (header protection by AES-128-ECB, the
payload by AES-128-GCM with its tag checked).
  quic_names.py CAPTURE NAME"""
import hashlib
import hmac
import struct
import sys

from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

SALT_V1 = bytes.fromhex("38762cf7f55934b34d179ae6a4c80cadccbb7f0a")


def expand_label(secret, label, n):
    full = b"tls13 " + label
    info = struct.pack(">HB", n, len(full)) + full + b"\x00\x01"
    return hmac.new(secret, info, hashlib.sha256).digest()[:n]


def varint(b, i):
    n = 1 << (b[i] >> 6)
    v = b[i] & 0x3F
    for k in range(1, n):
        v = v << 8 | b[i + k]
    return v, i + n


def crypto_frames(q):
    """The (offset, data) of each CRYPTO frame of a version 1 client Initial, or []."""
    if len(q) < 7 or q[0] & 0xF0 != 0xC0 or q[1:5] != b"\x00\x00\x00\x01":
        return []
    dcid = q[6:6 + q[5]]
    i = 6 + q[5]
    i += 1 + q[i]
    token, i = varint(q, i)
    length, pn_off = varint(q, i + token)
    secret = expand_label(hmac.new(SALT_V1, dcid, hashlib.sha256).digest(), b"client in", 32)
    hp = Cipher(algorithms.AES(expand_label(secret, b"quic hp", 16)), modes.ECB()).encryptor()
    mask = hp.update(q[pn_off + 4:pn_off + 20])
    first = q[0] ^ (mask[0] & 0x0F)
    pn_len = (first & 3) + 1
    pn = bytes(a ^ b for a, b in zip(q[pn_off:pn_off + pn_len], mask[1:]))
    header = bytes([first]) + q[1:pn_off] + pn
    nonce = bytearray(expand_label(secret, b"quic iv", 12))
    for k, c in enumerate(reversed(pn)):
        nonce[11 - k] ^= c
    aead = AESGCM(expand_label(secret, b"quic key", 16))
    plain = aead.decrypt(bytes(nonce), q[pn_off + pn_len:pn_off + length], header)
    frames, k = [], 0
    while k < len(plain):
        t, k = varint(plain, k)
        if t in (0, 1):
            continue
        if t != 6:
            break
        off, k = varint(plain, k)
        n, k = varint(plain, k)
        frames.append((off, plain[k:k + n]))
        k += n
    return frames


def main():
    capture, name = sys.argv[1], sys.argv[2].encode()
    ext = struct.pack(">HHHBH", 0, len(name) + 5, len(name) + 3, 0, len(name)) + name
    data = open(capture, "rb").read()
    flows = {}
    at = 24
    while at + 16 <= len(data):
        incl = struct.unpack("<I", data[at + 8:at + 12])[0]
        pkt = data[at + 16:at + 16 + incl]
        at += 16 + incl
        if pkt[12:14] != b"\x08\x00" or pkt[14 + 9] != 17:
            continue
        ip = pkt[14:]
        ihl = (ip[0] & 15) * 4
        sport, dport, ulen = struct.unpack(">HHH", ip[ihl:ihl + 6])
        if dport == 443:
            flows.setdefault(sport, []).extend(crypto_frames(ip[ihl + 8:ihl + ulen]))
    for port, frames in flows.items():
        whole = bytearray(max([o + len(d) for o, d in frames], default=0))
        for off, d in frames:
            whole[off:off + len(d)] = d
        verdict = ("found" if any(ext in d for _, d in frames) else
                   "split" if ext in whole else "absent")
        print(port, verdict)


main()
