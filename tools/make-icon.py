#!/usr/bin/env python3
"""Renders assets/icon/tarnquill.svg into assets/tarnquill.ico.

Nine PNG-compressed images (16 to 256 pixels, 32 bits per pixel, RGBA). The
directory entries carry planes 0, as the shipped icon always has.
Needs rsvg-convert (Debian package librsvg2-bin).
"""
import pathlib
import struct
import subprocess
import sys

SIZES = (16, 20, 24, 32, 40, 48, 64, 128, 256)
ROOT = pathlib.Path(__file__).resolve().parent.parent


def render(svg: pathlib.Path, size: int) -> bytes:
    png = subprocess.run(
        ["rsvg-convert", "--width", str(size), "--height", str(size), "--format", "png", str(svg)],
        check=True,
        capture_output=True,
    ).stdout
    # IHDR: bit depth 8 and colour type 6 (RGBA) make 32 bits per pixel.
    if png[24] != 8 or png[25] != 6:
        sys.exit(f"rsvg-convert did not write an 8-bit RGBA PNG for {size} pixels")
    return png


def pack_ico(images: list[tuple[int, bytes]]) -> bytes:
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    entries, data = b"", b""
    for size, png in images:
        side = 0 if size == 256 else size
        entries += struct.pack("<BBBBHHII", side, side, 0, 0, 0, 32, len(png), offset)
        offset += len(png)
        data += png
    return header + entries + data


def main() -> None:
    svg = ROOT / "assets" / "icon" / "tarnquill.svg"
    out = ROOT / "assets" / "tarnquill.ico"
    out.write_bytes(pack_ico([(size, render(svg, size)) for size in SIZES]))
    print(f"wrote {out.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
