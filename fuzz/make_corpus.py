#!/usr/bin/env python3
"""Writes the seed corpus of each fuzz target into fuzz/corpus/<target>/.

The seeds are small inputs that reach the interesting paths at once; the
fuzzers grow their own corpora from them. Run from anywhere; the files are
rewritten in place.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
SOF = 0x00466F53


def frame(magic=SOF, command=0, length=0, pn=b"", version=0, mode=b"", tscode=0, day=0, fill=0):
    f = bytearray([fill]) * 512
    struct.pack_into("<I", f, 0, magic)
    if pn:
        f[100:120] = pn.ljust(20, b"\0")[:20]
    struct.pack_into("<I", f, 128, version)
    if mode:
        f[132:152] = mode.ljust(20, b"\0")[:20]
    struct.pack_into("<i", f, 152, tscode)
    struct.pack_into("<i", f, 156, day)
    struct.pack_into("<i", f, 504, command)
    struct.pack_into("<i", f, 508, length)
    return bytes(f)


def greeting(pn=b"QV47-02HCAF-123456", tscode=1):
    return frame(pn=pn, version=0x01000078, mode=b"normal unit", tscode=tscode, day=1507)


def block(data):
    return struct.pack("<H", len(data)) + data


RECONNECT = struct.pack("<H", 0xFFFF)
UPLOAD = struct.pack("<H", 0xFFFE)


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def dispatcher():
    for link, prefix in ((0, "usb"), (1, "eth")):
        head = bytes([link])
        write("dispatcher", prefix + "-greeting-reply",
              head + block(greeting()) + block(frame(pn=b"QV47-02HCAF-654321")))
        write("dispatcher", prefix + "-systeminfo-transfer",
              head + block(greeting()) + block(frame(command=0x00300000, length=512)) + block(greeting(tscode=-2147000000)))
        write("dispatcher", prefix + "-image-transfer",
              head + block(greeting()) + block(frame(command=0x30000000, length=1500)) + block(bytes(512)) * 3)
        write("dispatcher", prefix + "-refused-then-reconnect",
              head + block(greeting()) + block(frame(command=0x30000000, length=52429312)) + block(bytes(512)) +
              RECONNECT + block(greeting()) + block(frame(command=0x00300000, length=512)) + block(greeting()))
        write("dispatcher", prefix + "-refused-then-upload",
              head + block(greeting()) + block(frame(command=0x30000000, length=0x7FFFFFFF)) + UPLOAD +
              block(frame(pn=b"QV47-02HCAF-777777")))
        write("dispatcher", prefix + "-announced-before-greeting",
              head + block(frame(command=0x00300000, length=512)) + block(greeting()))
        write("dispatcher", prefix + "-unsupported-unit",
              head + block(greeting(pn=b"QV47-05HCAF-123456")) + block(greeting()))
        write("dispatcher", prefix + "-bad-magic",
              head + block(frame(magic=0x01466F53)) * 22 + block(greeting()))
    # Blocks of other sizes, as the Ethernet path may be handed them.
    write("dispatcher", "eth-odd-sizes",
          bytes([1]) + block(greeting()[:300]) + block(greeting() + bytes(100)) +
          block(frame(command=0x01000000, length=5)) + struct.pack("<H", 0xF000 | 3) + bytes(1536))


def tscode_text():
    for i, text in enumerate([b"0", b"1", b"-1", b"  42", b"+2147483647", b"-2147483648", b"2147483648",
                              b"$80021310", b"0x80021310", b"x7FFFFFFF", b"-$FFFFFFFF", b"0X000000000001",
                              b"12a", b"0x", b"$", b" ", b"", b"-", b"0x123456789", b"99999999999"]):
        write("tscode_text", "text-%02d" % i, text)


def backup_file():
    record = bytearray(greeting())
    write("backup_file", "record-512", bytes(record))
    write("backup_file", "record-513", bytes(record) + b"\x01")
    write("backup_file", "record-1024", bytes(record) * 2)
    write("backup_file", "short-336", bytes(record[:336]))
    write("backup_file", "short-335", bytes(record[:335]))
    write("backup_file", "short-100", bytes(record[:100]))
    write("backup_file", "empty", b"")
    saehan = bytearray(record)
    struct.pack_into("<i", saehan, 152, -2147483648 | 5 << 4 | 3 << 8)
    struct.pack_into("<i", saehan, 248, 32785)
    write("backup_file", "saehan-sla", bytes(saehan))


def tcp_stream():
    def w(n):  # the peer writes n bytes (n < 16384)
        return bytes([(n & 63) << 2, n >> 6])
    POLL_ALL, POLL_ONCE = bytes([2]), bytes([3])
    write("tcp_stream", "whole-frames", bytes([0]) + w(1024) + POLL_ALL)
    write("tcp_stream", "split-frame", bytes([0]) + w(100) + POLL_ALL + w(412) + POLL_ONCE + w(600) + POLL_ALL)
    write("tcp_stream", "large", bytes([0]) + w(16383) * 8 + POLL_ALL + w(16383) * 8 + POLL_ONCE)
    write("tcp_stream", "end-mid-frame", bytes([1]) + w(700) + POLL_ONCE)


def usb_descriptors():
    def blk(b):
        return struct.pack("<H", len(b)) + b
    def string(text, length=None):
        d = bytearray([0, 3]) + text.encode("utf-16-le")
        d[0] = len(d) if length is None else length
        return bytes(d)
    device = bytes([18, 1, 0x00, 0x02, 0xFF, 0, 0, 64, 0x25, 0x05, 0x02, 0x10, 0x00, 0x01, 1, 2, 3, 1])
    iface = lambda n: bytes([9, 4, 0, 0, n, 0xFF, 0, 0, 0])
    ep = lambda addr: bytes([7, 5, addr, 2, 0x00, 0x02, 0])
    def config(*descs, total=None):
        c = bytearray([9, 2, 0, 0, 1, 1, 0, 0x80, 50]) + b"".join(descs)
        t = len(c) if total is None else total
        c[2:4] = struct.pack("<H", t)
        return bytes(c)
    strings = bytes([1]) + blk(string("Tavix")) + bytes([2]) + blk(string("Scanner")) + \
        bytes([3]) + blk(string("00000000051B"))
    write("usb_descriptors", "scanner", bytes([0]) + blk(device) + blk(config(iface(2), ep(0x01), ep(0x82))) + strings)
    write("usb_descriptors", "class-specific", bytes([0x50]) + blk(device) +
          blk(config(iface(2), bytes([5, 0x24, 1, 2, 3]), ep(0x01), ep(0x82))) + strings)
    write("usb_descriptors", "total-longer", bytes([0]) + blk(device) + blk(config(iface(2), ep(0x01), ep(0x82), total=200)) + strings)
    write("usb_descriptors", "short-read", bytes([1]) + blk(device) + blk(config(iface(2), ep(0x01), ep(0x82))) +
          bytes([28]) + strings)
    write("usb_descriptors", "string-odd-length", bytes([0]) + blk(device) + blk(config(iface(1), ep(0x82))) +
          bytes([1]) + blk(string("Tavix", 255)) + bytes([3]) + blk(string("00000000051D", 7)))
    write("usb_descriptors", "zero-length-descriptor", bytes([0]) + blk(device) +
          blk(config(iface(2), bytes([0, 5]), ep(0x82))) + strings)


if __name__ == "__main__":
    dispatcher()
    tscode_text()
    backup_file()
    tcp_stream()
    usb_descriptors()
