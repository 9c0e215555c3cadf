#!/usr/bin/env python3
"""Pictures for the Windows end-to-end test, without an imaging library.

  picture.py png OUT.png RRGGBB SIZE   writes a SIZE x SIZE picture of one colour
  picture.py count SHOT.ppm RRGGBB     prints how many pixels of a binary PPM
                                       screenshot have exactly that colour
"""
import re
import struct
import sys
import zlib


def write_png(path: str, rgb: bytes, size: int) -> None:
    def chunk(kind: bytes, data: bytes) -> bytes:
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    rows = b"".join(b"\x00" + rgb * size for _ in range(size))
    header = struct.pack(">IIBBBBB", size, size, 8, 2, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def read_ppm(path: str) -> bytes:
    with open(path, "rb") as f:
        data = f.read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos)
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    if fields[0] != b"P6" or fields[3] != b"255":
        raise ValueError(f"{path}: not an 8-bit binary PPM")
    return data[pos + 1:]


def count(path: str, rgb: bytes) -> int:
    pixels = read_ppm(path)
    # Overlapping matches count too; only those on a pixel boundary are pixels.
    return sum(1 for m in re.finditer(b"(?=" + re.escape(rgb) + b")", pixels)
               if m.start() % 3 == 0)


def main() -> int:
    if len(sys.argv) >= 4 and sys.argv[1] == "png":
        write_png(sys.argv[2], bytes.fromhex(sys.argv[3]), int(sys.argv[4]))
        return 0
    if len(sys.argv) == 4 and sys.argv[1] == "count":
        print(count(sys.argv[2], bytes.fromhex(sys.argv[3])))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
