#!/usr/bin/env python3
"""Builds images that try to make the second pass slow: a header the classifier takes for the
start of a file at every 4 KiB cluster, the rest noise.

  make-adversarial-image.py KIND SIZE_MIB OUT [SEED]

KIND:
  noise     random bytes only (the yardstick)
  ooxml     a "[Content_Types].xml" ZIP local header at every cluster, random sizes up to 200 MiB
  zipchain  a ZIP local header at every cluster whose stored size reaches the next one
  storedchain  the same with the sizes agreeing, so that only each entry's CRC-32 fails
  ole2      a compound-file header at every cluster whose FAT sectors lie far ahead
  mixed     every cluster begins with a JPEG, OLE2, ZIP local header or PNG signature
"""
import random
import struct
import sys

CLUSTER = 4096
MIB = 1 << 20


def local_header(name: bytes, size: int, rng: random.Random, method: int = 8, plain_size=None) -> bytes:
    return struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, method, 0, 0, rng.getrandbits(32), size,
                       rng.getrandbits(32) if plain_size is None else plain_size, len(name), 0) + name


def ole2_header(rng: random.Random, far_sectors: int) -> bytes:
    h = bytearray(512)
    h[0:8] = bytes.fromhex("D0CF11E0A1B11AE1")
    struct.pack_into("<HHH", h, 0x18, 0x3E, 3, 0xFFFE)
    struct.pack_into("<HH", h, 0x1E, 9, 6)
    struct.pack_into("<I", h, 0x2C, 1)              # one FAT sector...
    struct.pack_into("<I", h, 0x30, rng.randrange(1, 64))  # directory
    struct.pack_into("<I", h, 0x38, 4096)
    struct.pack_into("<IIII", h, 0x3C, 0xFFFFFFFE, 0, 0xFFFFFFFE, 0)
    for i in range(109):
        struct.pack_into("<I", h, 0x4C + 4 * i, 0xFFFFFFFF)
    struct.pack_into("<I", h, 0x4C, rng.randrange(far_sectors // 2, far_sectors))  # ...far ahead
    return bytes(h)


def header_for(kind: str, rng: random.Random, offset: int, size: int) -> bytes:
    if kind == "ooxml":
        return local_header(b"[Content_Types].xml", rng.randrange(0, 200 * MIB), rng)
    if kind == "zipchain":
        name = b"part.bin"
        return local_header(name, CLUSTER - 30 - len(name), rng, method=0)
    if kind == "storedchain":
        name = b"part.bin"
        return local_header(name, CLUSTER - 30 - len(name), rng, method=0, plain_size=CLUSTER - 30 - len(name))
    if kind == "ole2":
        return ole2_header(rng, max(1024, (size - offset) // 512))
    if kind == "mixed":
        pick = rng.randrange(4)
        if pick == 0:
            return bytes.fromhex("FFD8FFE000104A46494600")
        if pick == 1:
            return ole2_header(rng, max(1024, (size - offset) // 512))
        if pick == 2:
            return local_header(b"[Content_Types].xml", rng.randrange(0, 200 * MIB), rng)
        return bytes.fromhex("89504E470D0A1A0A0000000D49484452")
    raise SystemExit("unknown kind " + kind)


def main() -> None:
    if len(sys.argv) < 4:
        raise SystemExit(__doc__)
    kind, size_mib, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    rng = random.Random(int(sys.argv[4]) if len(sys.argv) > 4 else 1)
    size = size_mib * MIB
    with open(out, "wb") as f:
        for start in range(0, size, 16 * MIB):
            block = bytearray(rng.randbytes(min(16 * MIB, size - start)))
            if kind != "noise":
                for at in range(0, len(block), CLUSTER):
                    h = header_for(kind, rng, start + at, size)
                    block[at:at + len(h)] = h
            f.write(block)


if __name__ == "__main__":
    main()
