#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets (fuzz/corpus/<target>/seed-*).

The seeds are committed; run this again only when the input format of a target changes.
The other files in the corpus folders (named by their SHA-1) are inputs the fuzzers found
that reach code the seeds do not (scripts/fuzz.sh --update-corpus merges them in).
Each seed is a small scenario in the target's command language (see the comment at the
top of each fuzz_<target>.cpp).
"""
import os
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def crc(body: bytes) -> bytes:
    return zlib.crc32(body).to_bytes(4, "big")


def frame(hexbody: str) -> bytes:
    body = bytes.fromhex(hexbody)
    return body + crc(body)


def write(target: str, name: str, data: bytes) -> None:
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(data)


# --- framer: 0x00|n append n bytes, 0x40 quiet, 0x80 take, 0xC0|(n-1) unit count long append
def chunks(data: bytes, *cuts: int) -> bytes:
    out = b""
    points = [0, *cuts, len(data)]
    for a, b in zip(points, points[1:]):
        piece = data[a:b]
        while piece:
            out += bytes([len(piece[:63])]) + piece[:63]
            piece = piece[63:]
    return out


QUIET, TAKE = b"\x40", b"\x80"
accepted = frame("F1 81 00 00")
ack = frame("F1 82 00 05 01")
padded_ack = frame("F1 82 01 2C 02 00 00 00")
package = frame("F1 02 00 00" + "5A" * 1024)

write("framer", "ack-whole", chunks(ack) + QUIET)
write("framer", "ack-three-reads", chunks(ack, 2, 5) + QUIET)
write("framer", "ack-split-by-gap", chunks(ack[:4]) + QUIET + chunks(ack[4:]) + QUIET)
write("framer", "two-frames-merged", chunks(accepted + ack) + QUIET)
write("framer", "noise-before", chunks(b"\x00" + ack) + QUIET)
write("framer", "seven-bytes-with-crc", chunks(frame("F1 81 00")) + QUIET)
write("framer", "eight-bytes", chunks(accepted) + QUIET + QUIET + QUIET)
write("framer", "take-partial-then-complete",
      chunks(padded_ack[:6]) + TAKE + chunks(padded_ack[6:]) + TAKE + QUIET)
write("framer", "take-then-garbage", chunks(ack) + TAKE + chunks(b"\xF1\x82") + QUIET)
write("framer", "overflow-then-frame",
      b"\xFF" + b"\xA5" * 64 + b"\xFF" + chunks(ack) + QUIET + chunks(ack) + QUIET)
# 64 bytes repeated 64 * 16 times: exactly the 64 KiB limit, kept; one byte more overflows.
write("framer", "at-limit", b"\xFF" + b"\x11" * 64 + b"\x3F" + QUIET)
write("framer", "one-past-limit", b"\xFF" + b"\x11" * 64 + b"\x3F" + chunks(b"\x00") + TAKE
      + QUIET + chunks(accepted) + TAKE)
write("framer", "long-package", chunks(package, 500) + QUIET)
write("framer", "empty-quiets", QUIET * 4 + chunks(b"") + QUIET)


# --- engine: header (size hi, size lo, waitLimit, seed), then commands
TICK, ACCEPT, START, CANCEL = b"\x00", b"\x03\x00", b"\x06", b"\x07"


def ticks(n: int) -> bytes:
    return b"\x02" + bytes([n - 1])


def ack_current(status: int) -> bytes:
    return b"\x04\x01" + bytes([status, 0])


def ack_prev(status: int) -> bytes:
    return b"\x04\x00" + bytes([status, 0])


def ack_index(index: int, status: int, corrupt: bool = False) -> bytes:
    mode = 0xC1 if corrupt else 0xC0
    return b"\x04" + bytes([mode, index >> 8, index & 0xFF, status, 0])


def header(size: int, wait_limit: int = 3, seed: int = 7) -> bytes:
    return bytes([size >> 8, size & 0xFF, wait_limit, seed])


def full_run(size: int) -> bytes:
    total = (size + 1023) // 1024
    out = TICK + ACCEPT + TICK
    for _ in range(total):
        out += ack_current(1) + TICK
    return out + TICK


for size in (1, 1023, 1024, 1025, 1500, 4100):
    write("engine", "run-%d" % size, header(size) + full_run(size))

write("engine", "errors-and-timeouts",
      header(3000) + TICK + ticks(3) + ACCEPT + TICK
      + ack_current(2) + TICK + ack_current(3) + TICK + ack_current(0) + TICK + TICK
      + ack_current(1) + TICK + ack_current(1) + TICK  # on the short final package
      + ticks(10) + ack_current(2) + TICK + ack_current(1) + TICK + TICK)
write("engine", "stale-and-foreign-acks",
      header(2500, 2) + TICK + ACCEPT + TICK + ack_current(1) + TICK
      + ack_prev(1) + TICK + ack_index(7, 1) + TICK + ack_index(1, 1, corrupt=True) + ticks(4)
      + ack_current(1) + TICK + ack_current(1) + TICK)
write("engine", "cancel-and-restart",
      header(2048) + TICK + ACCEPT + TICK + ack_current(1) + TICK + CANCEL + ticks(5)
      + START + TICK + TICK + ACCEPT + TICK + ack_current(1) + TICK + ack_current(1) + TICK)
write("engine", "empty-image", header(0) + TICK + ACCEPT + TICK + START + TICK)
write("engine", "accept-during-transfer",
      header(1200, 1) + TICK + ACCEPT + TICK + ACCEPT + ticks(3) + b"\x05\x03\xF1\x82\x00"
      + TICK + b"\x85\x05\xF1\x82\x00\x00\x01" + TICK + ack_current(1) + TICK
      + ack_current(1) + TICK)
write("engine", "restart-after-finish",
      header(100) + full_run(100) + START + full_run(100))


# --- loader: mode byte (0xE5: extend to a size picked by the next byte), contents
write("loader", "small", b"\x00hello firmware")
write("loader", "empty", b"\x00")
write("loader", "one-package", b"\x00" + bytes(range(256)) * 4)
write("loader", "one-package-and-a-byte", b"\x00" + bytes(range(256)) * 4 + b"\x01")
write("loader", "limit-minus-one", b"\xE5\x00abc")
write("loader", "at-limit", b"\xE5\x01abc")
write("loader", "limit-plus-one", b"\xE5\x02abc")
write("loader", "four-gib-wrap", b"\xE5\x04abc")
write("loader", "two-gib", b"\xE5\x05abc")
write("loader", "over-limit", b"\xE5\x06abc")
write("loader", "few-zero-packages", b"\xE5\x07" + b"\xEE" * 100)


# --- device: capacity byte (256 << (b % 16)), write-failure byte, then the line
def dev_request(size: int, total: int = -1) -> bytes:
    if total < 0:
        total = (size + 1023) // 1024
    return frame("F101%08x%04x" % (size, total))


def dev_package(image: bytes, index: int, short: bool = False) -> bytes:
    payload = image[index * 1024:(index + 1) * 1024]
    if not short:
        payload += bytes(1024 - len(payload))
    return frame("F102%04x" % index + payload.hex())


def dev_image(size: int) -> bytes:
    return bytes((i * 7 + 3) & 0xFF for i in range(size))


IDLE = b"\xFF\xFF\xFF"
small = dev_image(1500)
write("device", "short-final", b"\x04\x00" + dev_request(1500) + dev_package(small, 0)
      + dev_package(small, 1, True))
write("device", "full-final-and-repeat", b"\x04\x00" + dev_request(1500) + dev_package(small, 0)
      + dev_package(small, 1) + dev_package(small, 1, True))
write("device", "noise-and-truncation", b"\x04\x00\x00\xF1\xF1\x02" + dev_request(1500)
      + dev_package(small, 0)[:300] + dev_package(small, 0) + b"\xF1\x01\x00"
      + dev_package(small, 1, True))
write("device", "damaged-short-at-idle", b"\x04\x00" + dev_request(1500) + dev_package(small, 0)
      + dev_package(small, 1, True)[:-1] + b"\x00" + IDLE + dev_package(small, 1))
write("device", "failing-writes", b"\x04\x81" + dev_request(1500) + dev_package(small, 0)
      + dev_package(small, 0) + dev_package(small, 1, True) + dev_package(small, 1))
write("device", "refused-requests", b"\x00\x00" + dev_request(1500) + dev_request(10, 2)
      + dev_request(0, 0) + dev_request(67107840, 65535) + dev_request(10)
      + dev_package(small, 0))
write("device", "restart", b"\x04\x00" + dev_request(1500) + dev_package(small, 0)
      + dev_request(1500) + dev_package(small, 1) + dev_package(small, 0))
