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


# --- streamframer: 0x00|n read of n bytes, 0x40|n frame of 0xF1 + n bytes + CRC,
#     0x80|(n-1) run of n start bytes cut into reads of the next byte, 0xC0|(n-1) unit repeated
def reads(data: bytes, *cuts: int) -> bytes:
    return chunks(data, *cuts)


def framed(hexbody: str) -> bytes:
    body = bytes.fromhex(hexbody)
    assert body[0] == 0xF1 and len(body) - 1 < 64
    return bytes([0x40 | (len(body) - 1)]) + body[1:]


write("streamframer", "ack-whole", reads(ack))
write("streamframer", "ack-byte-by-byte", reads(ack, *range(1, len(ack))))
write("streamframer", "noise-before", reads(b"\x00\x11" + ack))
write("streamframer", "noise-between", reads(accepted + b"\x12\x34" + ack))
write("streamframer", "noise-after", reads(ack + b"\xFF\xEE\xF1"))
write("streamframer", "start-byte-in-noise", reads(b"\x00\xF1\xAB\x82\xF1" + ack, 3))
write("streamframer", "two-frames-one-read", reads(accepted + ack))
write("streamframer", "padded-ack", reads(padded_ack, 4, 9))
write("streamframer", "seven-bytes-with-crc", reads(frame("F1 81 00")))
write("streamframer", "built-frames", framed("F1 82 00 05 01") + framed("F1 81 00 00")
      + b"\x02\xF1\x00" + framed("F1 80 00 00 00 00 00 00 00"))
write("streamframer", "start-run-then-frame", b"\xBF\x03" + b"\x84\x01" + framed("F1 82 00 07 01"))
write("streamframer", "long-noise-then-frame",
      b"\xC3\xF1\x00\x00\x00\x1F" + reads(ack))
write("streamframer", "bad-trailer-then-frame", reads(ack[:-1] + b"\x00" + accepted))
write("streamframer", "echoed-request-and-package",
      reads(frame("F1 01 00 00 13 88 00 05") + package[:300], 20) + reads(ack))


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


# --- formats: mode byte (bits 0-1: 0 detect, 1 HEX, 2 S-record, 3 ELF; bit 2: 4-byte start
# address follows), piece-size byte, then the file
def ihex(rtype: int, address: int, data: bytes) -> bytes:
    body = bytes([len(data), address >> 8 & 0xFF, address & 0xFF, rtype]) + data
    return b":" + (body + bytes([-sum(body) & 0xFF])).hex().upper().encode() + b"\n"


def srec(rtype: int, address: int, data: bytes) -> bytes:
    width = {0: 2, 1: 2, 2: 3, 3: 4, 5: 2, 6: 3, 7: 4, 8: 3, 9: 2}[rtype]
    body = bytes([width + len(data) + 1]) + address.to_bytes(width, "big") + data
    return b"S" + str(rtype).encode() + (body + bytes([~sum(body) & 0xFF])).hex().upper().encode() + b"\n"


def elf(wide: bool, big: bool, segments, payload: bytes) -> bytes:
    order = "big" if big else "little"
    word = 8 if wide else 4
    ehsize, phentsize = (64, 56) if wide else (52, 32)
    head = bytearray(ehsize)
    head[0:7] = b"\x7FELF" + bytes([2 if wide else 1, 2 if big else 1, 1])
    head[16:18] = (2).to_bytes(2, order)
    head[(32 if wide else 28):(32 if wide else 28) + word] = ehsize.to_bytes(word, order)
    head[(54 if wide else 42):(54 if wide else 42) + 2] = phentsize.to_bytes(2, order)
    head[(56 if wide else 44):(56 if wide else 44) + 2] = len(segments).to_bytes(2, order)
    base = ehsize + phentsize * len(segments)
    out = bytes(head)
    for ptype, paddr, offset, size in segments:
        ph = bytearray(phentsize)
        ph[0:4] = ptype.to_bytes(4, order)
        if wide:
            ph[8:16] = (base + offset).to_bytes(8, order)
            ph[16:24] = (paddr + 0x1000).to_bytes(8, order)
            ph[24:32] = paddr.to_bytes(8, order)
            ph[32:40] = size.to_bytes(8, order)
            ph[40:48] = size.to_bytes(8, order)
        else:
            ph[4:8] = (base + offset).to_bytes(4, order)
            ph[8:12] = (paddr + 0x1000).to_bytes(4, order)
            ph[12:16] = paddr.to_bytes(4, order)
            ph[16:20] = size.to_bytes(4, order)
            ph[20:24] = size.to_bytes(4, order)
        out += bytes(ph)
    return out + payload


DATA = bytes(range(48))
HEX = (ihex(4, 0, b"\x08\x00") + ihex(0, 0, DATA[:16]) + ihex(0, 0x10, DATA[16:32])
       + ihex(0, 0x40, DATA[32:]) + ihex(5, 0, b"\x08\x00\x01\x01") + ihex(1, 0, b""))
SREC = (srec(0, 0, b"seed") + srec(3, 0x08000000, DATA[:16]) + srec(3, 0x08000010, DATA[16:])
        + srec(5, 2, b"") + srec(7, 0x08000000, b""))
write("formats", "hex", b"\x00\x40" + HEX)
write("formats", "hex-crlf-lower-small-pieces", b"\x00\x02" + HEX.replace(b"\n", b"\r\n").lower())
write("formats", "hex-segment", b"\x01\xFF" + ihex(2, 0, b"\x10\x00") + ihex(0, 0xFFF8, DATA[:16])
      + ihex(1, 0, b""))
write("formats", "hex-out-of-order", b"\x00\x10" + ihex(0, 0x20, DATA[:8]) + ihex(0, 0, DATA[:8])
      + ihex(0, 0x10, DATA[:8]) + ihex(1, 0, b""))
write("formats", "hex-overlap", b"\x00\x40" + ihex(0, 0, DATA[:16]) + ihex(0, 8, DATA[:16])
      + ihex(1, 0, b""))
write("formats", "hex-gap", b"\x00\x40" + ihex(0, 0, DATA[:4]) + ihex(4, 0, b"\x00\x20")
      + ihex(0, 0, DATA[:4]) + ihex(1, 0, b""))
write("formats", "hex-no-end", b"\x00\x40" + ihex(0, 0, DATA[:16]))
write("formats", "hex-base", b"\x04\x40\x07\xFF\xFF\xF0" + HEX)
write("formats", "srec", b"\x00\x40" + SREC)
write("formats", "srec-s1-s2", b"\x02\x07" + srec(1, 0x100, DATA[:16]) + srec(2, 0x10110, DATA[:8])
      + srec(6, 2, b"") + srec(8, 0, b""))
write("formats", "srec-bad-count", b"\x00\x40" + srec(1, 0, DATA[:16]) + srec(5, 7, b"")
      + srec(9, 0, b""))
write("formats", "elf32-le", b"\x00\x00" + elf(False, False, [(1, 0x08000000, 0, 32),
                                                            (1, 0x08000040, 32, 16)], DATA))
write("formats", "elf32-be", b"\x03\x00" + elf(False, True, [(1, 0x1000, 0, 48)], DATA))
write("formats", "elf64-le", b"\x00\x00" + elf(True, False, [(1, 0x20000000, 16, 32),
                                                           (4, 0, 0, 8)], DATA))
write("formats", "elf64-be-out-of-order", b"\x00\x00" + elf(True, True, [(1, 0x2020, 0, 16),
                                                                        (1, 0x2000, 16, 16)], DATA))
write("formats", "elf-outside", b"\x00\x00" + elf(False, False, [(1, 0, 40, 64)], DATA))
write("formats", "raw-colon", b"\x00\x40:\x00\x01\x02binary")
write("formats", "raw-elf-magic", b"\x00\x40\x7FELF\x07\x07")
write("formats", "hex-cr-only", b"\x00\x05" + HEX.replace(b"\n", b"\r"))
write("formats", "hex-nul-on-line-1", b"\x00\x40" + HEX.replace(b"\n", b"\x00\n", 1))
write("formats", "hex-utf16", b"\x00\x40\xFF\xFE" + b"".join(bytes([c, 0]) for c in HEX))
write("formats", "srec-lower-case", b"\x00\x40" + SREC.lower())
write("formats", "hex-past-4-gib", b"\x00\x40" + ihex(4, 0, b"\xFF\xFF") + ihex(0, 0xFFF8, DATA[:16])
      + ihex(1, 0, b""))
write("formats", "hex-downwards", b"\x00\x40" + ihex(0, 0x20, DATA[:16]) + ihex(0, 0x10, DATA[16:32])
      + ihex(0, 0, DATA[32:]) + ihex(1, 0, b""))
write("formats", "elf-filesz-over-memsz", b"\x00\x00" + elf(False, False, [(1, 0x1000, 0, 48)],
                                                            DATA).replace(b"\x30\x00\x00\x00\x30",
                                                                          b"\x30\x00\x00\x00\x10"))


# --- device: capacity byte (256 << (b % 16)), behaviour byte (0x80 failing writes, 0x40
#     failing finish, 0x20 no read-back, 0x10 interrupts inside callbacks), then the line
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
CAPABILITIES = frame("F1 03 00 00")
VERIFY = frame("F1 04 00 00")
write("device", "questions", b"\x04\x00" + CAPABILITIES + VERIFY + dev_request(1500) + VERIFY
      + dev_package(small, 0) + dev_package(small, 1, True) + VERIFY + CAPABILITIES)
write("device", "questions-without-read", b"\x04\x20" + CAPABILITIES + dev_request(1500)
      + dev_package(small, 0) + dev_package(small, 1, True) + VERIFY)
write("device", "finish-fails", b"\x04\x40" + dev_request(1500) + dev_package(small, 0)
      + dev_package(small, 1, True) + dev_package(small, 1) + VERIFY)
write("device", "interrupts-inside-callbacks", b"\x04\x10" + dev_request(1500)
      + dev_package(small, 0) + IDLE + dev_package(small, 1, True) + VERIFY)
inner = bytearray(small)
inner[1024 + 10:1024 + 22] = dev_request(10)
inner = bytes(inner)
damaged = bytearray(dev_package(inner, 1, True))
damaged[6] ^= 0x40
write("device", "request-inside-a-damaged-package", b"\x04\x00" + dev_request(1500)
      + dev_package(inner, 0) + bytes(damaged) + dev_package(inner, 1, True)[1:]
      + dev_package(inner, 1, True) + dev_request(10) + dev_request(10))
write("device", "start-byte-noise", b"\x04\x00" + dev_request(1500) + b"\xF1\x02" * 1500
      + dev_package(small, 0))
