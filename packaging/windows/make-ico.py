#!/usr/bin/env python3
"""Packs PNG pictures into one Windows icon file (.ico), each as it is.

usage: make-ico.py OUTPUT.ico PICTURE.png...

Windows Vista and later read PNG entries of any size in an icon and scale
the nearest one for the small sizes.
"""
import struct
import sys


def png_size(data: bytes) -> tuple[int, int]:
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        raise ValueError("not a PNG picture")
    return struct.unpack(">II", data[16:24])


def main() -> int:
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    pictures = []
    for path in sys.argv[2:]:
        with open(path, "rb") as f:
            data = f.read()
        width, height = png_size(data)
        if width > 256 or height > 256:
            print(f"{path}: an icon entry is at most 256 x 256", file=sys.stderr)
            return 1
        pictures.append((width, height, data))
    header = struct.pack("<HHH", 0, 1, len(pictures))
    offset = len(header) + 16 * len(pictures)
    entries, images = b"", b""
    for width, height, data in pictures:
        # 256 is written as 0; colour count 0, one plane, 32 bits a pixel.
        entries += struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 32,
                               len(data), offset)
        images += data
        offset += len(data)
    with open(sys.argv[1], "wb") as f:
        f.write(header + entries + images)
    return 0


if __name__ == "__main__":
    sys.exit(main())
