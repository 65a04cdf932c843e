"""Greyscale, black borders and recording-file housekeeping, through the
tessera module as a host program uses it: pictures arrive as tile streams."""
import ctypes
import os
import shutil
import struct
import sys
import tempfile
import unittest

import tessera
from tessera_capture import tilestream

WHITE = 0xFFFF
BLACK = 0x0000


def rgb565(r5, g6, b5):
    return r5 << 11 | g6 << 5 | b5


def show(words, w, h):
    """Makes the frame store a w x h picture decoded from a real tile stream."""
    tessera.createBuffer(w, h)
    enc = tilestream.Encoder(w, h)
    enc.put_frame(tilestream.frame_from_words(words))
    for transfer in enc.transfers():
        tessera.videoSink(transfer)


def bordered(w, h, left, right, top, bottom, inside=WHITE):
    """A w x h picture of `inside` with black lines on its four sides."""
    words = []
    for y in range(h):
        for x in range(w):
            border = x < left or x >= w - right or y < top or y >= h - bottom
            words.append(BLACK if border else inside)
    return words


def tile_grid(w, h):
    return (w + 15) // 16, (h + 15) // 16


def drain_changes(w, h):
    """Every changed tile of a w x h store, as (tx, ty), clearing the marks."""
    tiles_wide, tiles_high = tile_grid(w, h)
    tiles = []
    for ty in range(tiles_high):
        for start, length in tessera.getChanges(ty, tiles_wide):
            tiles.extend((tx, ty) for tx in range(start, start + length))
    return tiles


class BlackEdgesTest(unittest.TestCase):

    def edges(self, words, w, h, area=None):
        show(words, w, h)
        return tessera.getBlackEdges(*(area or (w, h)))

    def test_sides_in_result_order(self):
        self.assertEqual(self.edges(bordered(320, 240, 20, 0, 10, 5), 320, 240), (20, 0, 10, 5))
        self.assertEqual(self.edges(bordered(320, 240, 1, 2, 3, 4), 320, 240), (1, 2, 3, 4))

    def test_limit_of_75_and_pair_rules(self):
        self.assertEqual(self.edges(bordered(400, 300, 74, 3, 74, 3), 400, 300), (74, 3, 74, 3))
        self.assertEqual(self.edges(bordered(400, 300, 20, 6, 75, 3), 400, 300), (20, 6, 0, 0))
        self.assertEqual(self.edges(bordered(400, 300, 20, 6, 3, 80), 400, 300), (20, 6, 0, 0))
        self.assertEqual(self.edges(bordered(400, 300, 75, 3, 10, 5), 400, 300), (0, 0, 10, 5))
        self.assertEqual(self.edges(bordered(400, 300, 2, 75, 10, 5), 400, 300), (0, 0, 10, 5))

    def test_all_black_area(self):
        self.assertEqual(self.edges([BLACK] * (160 * 120), 160, 120), (0, 0, 0, 0))
        # Never painted: zeroed words count as black too.
        tessera.createBuffer(160, 120)
        self.assertEqual(tessera.getBlackEdges(160, 120), (0, 0, 0, 0))

    def test_active_area_in_a_larger_frame(self):
        # A 200 x 100 area with borders 7, 4, 2, 9 in a white 320 x 240 frame.
        words = [WHITE] * (320 * 240)
        for y in range(100):
            for x in range(200):
                if x < 7 or x >= 196 or y < 2 or y >= 91:
                    words[y * 320 + x] = BLACK
        self.assertEqual(self.edges(words, 320, 240, (200, 100)), (7, 4, 2, 9))

    def test_thresholds_of_each_channel(self):
        # Decoded channels are multiples of 8 (red, blue) and 4 (green):
        # the last black and the first non-black value of each.
        cases = [(rgb565(3, 7, 7), 1),    # 24, 28, 56
                 (rgb565(4, 0, 0), 0),    # red 32
                 (rgb565(0, 8, 0), 0),    # green 32
                 (rgb565(0, 0, 8), 0)]    # blue 64
        for colour, black in cases:
            words = bordered(100, 100, 0, 0, 0, 0)
            words[:100] = [colour] * 100
            top = self.edges(words, 100, 100)[2]
            self.assertEqual(top, black, hex(colour))

    def test_areas_outside_the_frame_are_refused(self):
        show(bordered(100, 80, 1, 1, 1, 1), 100, 80)
        for w, h in [(74, 80), (100, 74), (101, 80), (100, 81), (-5, 80), (0, 0)]:
            with self.assertRaises(ValueError) as caught:
                tessera.getBlackEdges(w, h)
            self.assertEqual(str(caught.exception), 'args are out of range')
        self.assertEqual(tessera.getBlackEdges(75, 75), (1, 0, 1, 0))
        tessera.createBuffer(0, 0)
        self.assertRaises(ValueError, tessera.getBlackEdges, 75, 75)
        self.assertRaises(TypeError, tessera.getBlackEdges, 75)


class ExportedTestsTest(unittest.TestCase):
    """isBlackLine and isBlackColumn as a C caller of the module sees them."""

    def setUp(self):
        lib = ctypes.CDLL(tessera.__file__)
        self.line, self.column = lib.isBlackLine, lib.isBlackColumn
        for f in (self.line, self.column):
            f.restype = ctypes.c_byte
            f.argtypes = [ctypes.c_int, ctypes.c_int]

    def test_lines_columns_and_any_arguments(self):
        words = [BLACK] * (48 * 32)
        words[5 * 48 + 30] = WHITE
        show(words, 48, 32)
        self.assertEqual(self.line(5, 30), 1)
        self.assertEqual(self.line(5, 31), 0)
        self.assertEqual(self.column(30, 5), 1)
        self.assertEqual(self.column(30, 6), 0)
        self.assertEqual(self.line(0, 0), 1)
        self.assertEqual(self.column(0, -1), 1)
        # Beyond the frame nothing is black, and nothing is read.
        for y, w in [(-1, 1), (32, 1), (0, 49), (0, 2 ** 31 - 1), (-2 ** 31, 5)]:
            self.assertEqual(self.line(y, w), 0, (y, w))
        for x, h in [(-1, 1), (48, 1), (0, 33), (47, 2 ** 31 - 1)]:
            self.assertEqual(self.column(x, h), 0, (x, h))

    def test_answer_fills_the_whole_return_register(self):
        # A caller that declares no result type reads an int: it must see
        # 0 or 1 as well, not a byte on top of leftover register bits.
        lib = ctypes.CDLL(tessera.__file__)
        show([BLACK] * (48 * 32), 48, 32)
        cases = [(lib.isBlackLine, (5, 48), 1), (lib.isBlackLine, (5, 49), 0),
                 (lib.isBlackLine, (5, 0), 1), (lib.isBlackColumn, (30, 32), 1),
                 (lib.isBlackColumn, (30, 33), 0), (lib.isBlackColumn, (48, 1), 0)]
        for f, args, want in cases:
            self.assertEqual(f(*args), want, (f.__name__, args))


class GreyscaleTest(unittest.TestCase):
    W, H = 320, 240

    def setUp(self):
        self.frame = tilestream.test_pattern(self.W, self.H, 3)
        show(list(self.frame), self.W, self.H)

    def pixels(self):
        data, size = tessera.toRGBString(0, 0, *tile_grid(self.W, self.H))
        self.assertEqual(size, (self.W, self.H))
        return data

    def test_every_pixel_averaged_alpha_kept(self):
        colour = tilestream.expand(self.frame)
        tessera.toGreyscale()
        expected = []
        for i in range(0, len(colour), 4):
            r, g, b, a = struct.unpack_from('4B', colour, i)
            grey = (r + g + b) // 3
            expected.append(struct.pack('4B', grey, grey, grey, a))
        self.assertEqual(self.pixels(), b''.join(expected))

    def test_white_stays_white(self):
        show([WHITE] * (16 * 16), 16, 16)
        tessera.toGreyscale(0)
        data, _ = tessera.toRGBString(0, 0)
        # 248 + 252 + 248 = 748, and 748 / 3 truncates to 249.
        self.assertEqual(data, b'\xf9\xf9\xf9\xff' * 256)

    def test_set_flag(self):
        tiles_wide, tiles_high = tile_grid(self.W, self.H)
        all_tiles = sorted((tx, ty) for ty in range(tiles_high) for tx in range(tiles_wide))
        for args in [(), (1,), (7,)]:
            drain_changes(self.W, self.H)
            self.assertIsNone(tessera.toGreyscale(*args))
            self.assertEqual(sorted(drain_changes(self.W, self.H)), all_tiles, args)
        tessera.toGreyscale(0)
        self.assertEqual(drain_changes(self.W, self.H), [])
        self.assertRaises(TypeError, tessera.toGreyscale, 'x')

    def test_empty_store(self):
        tessera.createBuffer(0, 0)
        self.assertIsNone(tessera.toGreyscale())


def head(*words):
    return struct.pack('<%dI' % len(words), *words)


class FindrecheadTest(unittest.TestCase):

    def test_values(self):
        self.assertEqual(tessera.findrechead(head(7, 100, 25)), (7, 100, 4))
        self.assertEqual(tessera.findrechead(head(7, 100, 30)), (7, 100, 3))
        # Unsigned division, signed results.
        self.assertEqual(tessera.findrechead(head(0, 0xFFFFFFFE, 2)), (0, -2, 2 ** 31 - 1))
        self.assertEqual(tessera.findrechead(head(0x80000000, 1, 1)), (-2 ** 31, 1, 1))
        self.assertEqual(tessera.findrechead(head(7, 100, 25, 0xDEADBEEF)), (7, 100, 4))
        # A record from a file read into a read-only buffer (Python 2.7) or
        # any bytes-like object (Python 3).
        read_only = memoryview if sys.version_info[0] >= 3 else buffer  # noqa: F821
        self.assertEqual(tessera.findrechead(read_only(head(9, 10, 5))), (9, 10, 2))

    def test_bad_records(self):
        for n in range(12):
            with self.assertRaises(ValueError) as caught:
                tessera.findrechead(head(7, 100, 25)[:n])
            self.assertEqual(str(caught.exception), 'args are out of range')
        self.assertRaises(ZeroDivisionError, tessera.findrechead, head(7, 100, 0))
        self.assertRaises(TypeError, tessera.findrechead, 12)


class RemovefilesTest(unittest.TestCase):

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='tessera-rec')
        self.rec = os.path.join(self.dir, 'rec')
        os.mkdir(self.rec)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def touch(self, *names):
        for name in names:
            open(os.path.join(self.dir, name), 'w').close()

    def listing(self):
        found = set()
        for root, dirs, files in os.walk(self.dir):
            for name in dirs + files:
                found.add(os.path.relpath(os.path.join(root, name), self.dir))
        return found

    def test_slash_deletes_exactly_the_run(self):
        self.touch('rec/2.out', 'rec/3.out', 'rec/5.out', 'rec/6.out', 'rec/03.out',
                   'rec/3.outx', 'rec/7.out', 'rec\\4.out')
        self.assertEqual(tessera.removefiles(self.rec, 3, 6, 1), (self.rec + '/5.out', 3))
        self.assertEqual(self.listing(), set(['rec', 'rec/2.out', 'rec/6.out', 'rec/03.out',
                                              'rec/3.outx', 'rec/7.out', 'rec\\4.out']))

    def test_backslash_names_ordinary_files(self):
        self.touch('rec\\3.out', 'rec\\4.out', 'rec\\5.out', 'rec\\6.out', 'rec/4.out')
        self.assertEqual(tessera.removefiles(self.rec, 3, 6, 0), (self.rec + '\\5.out', 3))
        self.touch('rec\\4.out')
        self.assertEqual(tessera.removefiles(self.rec, 4, 5, 2), (self.rec + '\\4.out', 1))
        self.assertEqual(self.listing(), set(['rec', 'rec\\6.out', 'rec/4.out']))

    def test_separator_is_doubled(self):
        self.touch('rec/10.out')
        self.assertEqual(tessera.removefiles(self.rec + '/', 10, 11, 1),
                         (self.rec + '//10.out', 1))
        self.assertEqual(self.listing(), set(['rec']))

    def test_no_numbers_tried(self):
        self.touch('rec/3.out', 'rec/4.out', 'rec/5.out')
        self.assertEqual(tessera.removefiles(self.rec, 5, 3, 1), ('', -2))
        self.assertEqual(tessera.removefiles(self.rec, 4, 4, 1), ('', 0))
        self.assertEqual(len(self.listing()), 4)

    def test_refusals_delete_nothing(self):
        self.touch('rec/0.out', 'rec/1.out', 'rec/9.out')
        for prehead, curhead in [(-1, 2), (0, -1), (-5, -3)]:
            with self.assertRaises(ValueError) as caught:
                tessera.removefiles(self.rec, prehead, curhead, 1)
            self.assertEqual(str(caught.exception), 'args are out of range')
        # rec/<long>/9.out has 199 characters, rec/<long>/10.out 200.
        longdir = os.path.join(self.rec, 'd' * (199 - len(self.rec) - 7))
        os.mkdir(longdir)
        self.touch(os.path.join(longdir, '9.out'))
        self.assertEqual(len(longdir + '/9.out'), 199)
        self.assertRaises(ValueError, tessera.removefiles, longdir, 9, 11, 1)
        self.assertTrue(os.path.exists(longdir + '/9.out'))
        self.assertEqual(tessera.removefiles(longdir, 9, 10, 1), (longdir + '/9.out', 1))
        self.assertEqual(len(self.listing()), 5)
        self.assertRaises(TypeError, tessera.removefiles, self.rec, 1, 2)

    def test_name_cut_at_nul(self):
        self.touch('rec/1.out')
        self.assertEqual(tessera.removefiles(self.rec + '\0/junk', 1, 2, 1),
                         (self.rec + '/1.out', 1))
        self.assertEqual(self.listing(), set(['rec']))
        # The directory may be given as bytes too; the path comes back as str.
        self.touch('rec/2.out')
        self.assertEqual(tessera.removefiles(self.rec.encode() + b'\0', 2, 3, 1),
                         (self.rec + '/2.out', 1))
        self.assertEqual(self.listing(), set(['rec']))


if __name__ == '__main__':
    unittest.main()
