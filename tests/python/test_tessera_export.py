"""Region export through the tessera module as a host program uses it: tile
runs fetched with toRGBString, at full size and scaled down."""
import struct
import unittest

import tessera
from tessera_capture import tilestream


def decode(words, w, h):
    """Makes the frame store a w x h picture decoded from a real tile stream."""
    tessera.createBuffer(w, h)
    enc = tilestream.Encoder(w, h)
    enc.put_frame(words)
    for transfer in enc.transfers():
        tessera.videoSink(transfer)


def fill_packet(colour, tx, ty):
    return struct.pack('<HH', colour, tx | ty << 7 | 0x4000)


class ArgumentTest(unittest.TestCase):

    def setUp(self):
        tessera.createBuffer(160, 48)  # 10 x 3 tiles

    def assertRefused(self, message, *args):
        with self.assertRaises(ValueError) as cm:
            tessera.toRGBString(*args)
        self.assertEqual(str(cm.exception), message)

    def test_defaults_give_one_tile_at_full_size(self):
        pixels, size = tessera.toRGBString(0, 0)
        self.assertIsInstance(pixels, bytes)
        self.assertEqual(len(pixels), 1024)
        self.assertEqual(size, (16, 16))

    def test_errors_come_in_order_with_their_messages(self):
        for args in [(10, 0), (-1, 0), (0, 3), (0, -1), (10, 0, 11, 0, 0.0)]:
            self.assertRefused('top-left x,y out of range', *args)
        for args in [(0, 0, 11), (9, 0, 0), (0, 0, 11, 0, 0.0)]:
            self.assertRefused('width out of range', *args)
        for args in [(0, 0, 1, 0), (0, 0, 1, 4, 0.0)]:
            self.assertRefused('height out of range', *args)
        for scale in [0.0, 0.06, -1.0, float('nan'), float('-inf')]:
            self.assertRefused('scale out of range', 0, 0, 1, 1, scale)
        self.assertRaises(TypeError, tessera.toRGBString, 0)
        self.assertRaises(TypeError, tessera.toRGBString, 0, 0, 1, 1, 'half')

    def test_without_a_store_every_tile_is_out_of_range(self):
        tessera.createBuffer(0, 0)
        self.assertRefused('top-left x,y out of range', 0, 0)

    def test_size_follows_the_clipped_width_and_the_scale(self):
        cases = [((8, 0, 5), (32, 16)), ((0, 1, 10, 3), (160, 32)),
                 ((0, 0, 2, 1, 2.0), (32, 16)), ((0, 0, 2, 1, 0.5), (16, 8)),
                 ((0, 0, 2, 1, 0.99), (30, 15)), ((0, 0, 2, 1, 0.3), (8, 4)),
                 ((0, 0, 10, 3, 0.0625), (10, 3))]
        for args, size in cases:
            pixels, got = tessera.toRGBString(*args)
            self.assertEqual(got, size, args)
            self.assertEqual(len(pixels), size[0] * size[1] * 4, args)


class PixelTest(unittest.TestCase):

    def test_runs_reassemble_the_decoded_frame(self):
        # The second size has partial tiles on the right and at the bottom:
        # their part outside the frame comes out as zero words.
        for w, h in [(320, 240), (100, 50)]:
            words = tilestream.test_pattern(w, h, 5)
            decode(words, w, h)
            expected = tilestream.expand(words)
            tiles_w, tiles_h = (w + 15) // 16, (h + 15) // 16
            pitch = tiles_w * 16 * 4
            canvas = bytearray(pitch * tiles_h * 16)
            for ty in range(tiles_h):
                for start, length in tessera.getChanges(ty, tiles_w):
                    pixels, (nw, nh) = tessera.toRGBString(start, ty, length, 1)
                    self.assertEqual((nw, nh), (length * 16, 16))
                    for y in range(16):
                        at = (ty * 16 + y) * pitch + start * 64
                        canvas[at:at + nw * 4] = pixels[y * nw * 4:(y + 1) * nw * 4]
            for y in range(tiles_h * 16):
                row = bytes(canvas[y * pitch:(y + 1) * pitch])
                inside = expected[y * w * 4:(y + 1) * w * 4] if y < h else b''
                self.assertEqual(row, inside + b'\0' * (pitch - len(inside)), (w, h, y))
            for ty in range(tiles_h):
                self.assertEqual(tessera.getChanges(ty, tiles_w), [])

    def test_uniform_tiles_stay_uniform_at_whole_ratios(self):
        tessera.createBuffer(64, 32)
        tessera.videoSink(b''.join(fill_packet(0xFFFF, tx, ty)
                                  for ty in range(2) for tx in range(4)))
        white = b'\xf8\xfc\xf8\xff'
        for scale, edge in [(0.5, 8), (0.25, 4), (0.125, 2), (0.0625, 1)]:
            pixels, size = tessera.toRGBString(0, 0, 4, 2, scale)
            self.assertEqual(size, (4 * edge, 2 * edge))
            self.assertEqual(pixels, white * (8 * edge * edge), scale)

    def test_export_leaves_change_marks_for_getChanges(self):
        tessera.createBuffer(64, 32)
        tessera.setChangedArray()
        tessera.toRGBString(0, 0, 4, 2)
        tessera.toRGBString(1, 1, 2, 1, 0.5)
        self.assertEqual(tessera.getChanges(0, 4), [(0, 4)])
        self.assertEqual(tessera.getChanges(1, 4), [(0, 4)])


if __name__ == '__main__':
    unittest.main()
