"""Reads assets/tarnquill.ico back with struct, independently of any project code."""
import pathlib
import struct
import unittest
import zlib

ROOT = pathlib.Path(__file__).resolve().parents[2]
ICON = ROOT / "assets" / "tarnquill.ico"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def read_directory(data: bytes):
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    entries = [struct.unpack_from("<BBBBHHII", data, 6 + 16 * i) for i in range(count)]
    return reserved, kind, entries


class ShippedIcon(unittest.TestCase):
    def setUp(self):
        self.data = ICON.read_bytes()
        self.reserved, self.kind, self.entries = read_directory(self.data)

    def test_is_an_icon_with_nine_images_of_the_listed_sizes(self):
        self.assertEqual((self.reserved, self.kind), (0, 1))
        sides = [256 if e[0] == 0 else e[0] for e in self.entries]
        self.assertEqual(sides, [16, 20, 24, 32, 40, 48, 64, 128, 256])
        self.assertEqual([e[0] for e in self.entries], [e[1] for e in self.entries])

    def test_directory_entries_have_planes_zero_and_32_bits_per_pixel(self):
        for width, _, colours, reserved, planes, bpp, _, _ in self.entries:
            with self.subTest(width=width):
                self.assertEqual((colours, reserved, planes, bpp), (0, 0, 0, 32))

    def test_every_image_is_a_complete_rgba_png_of_its_entry_size(self):
        end = 6 + 16 * len(self.entries)
        for width, height, _, _, _, _, size, offset in self.entries:
            with self.subTest(width=width):
                self.assertGreaterEqual(offset, end, "images follow the directory")
                self.assertLessEqual(offset + size, len(self.data))
                png = self.data[offset : offset + size]
                self.assertEqual(png[:8], PNG_SIGNATURE)
                length, chunk = struct.unpack_from(">I4s", png, 8)
                self.assertEqual(chunk, b"IHDR")
                w, h, depth, colour_type = struct.unpack_from(">IIBB", png, 16)
                self.assertEqual((w, h), (width or 256, height or 256))
                self.assertEqual((depth, colour_type), (8, 6), "8-bit RGBA is 32 bpp")
                crc = struct.unpack_from(">I", png, 16 + length)[0]
                self.assertEqual(crc, zlib.crc32(png[12 : 16 + length]))
                self.assertEqual(png[-12:], b"\x00\x00\x00\x00IEND\xaeB`\x82")

    def test_images_do_not_overlap(self):
        spans = sorted((e[7], e[7] + e[6]) for e in self.entries)
        for (_, first_end), (second_start, _) in zip(spans, spans[1:]):
            self.assertLessEqual(first_end, second_start)


if __name__ == "__main__":
    unittest.main()
