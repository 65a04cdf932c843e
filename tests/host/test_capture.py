"""The capture command end to end on the synthetic grabber: the snapshot is the
pattern's frame exactly, at full size and scaled, grey and cropped, and the run
ends cleanly on a frame count, a time limit and Ctrl-C."""
import os
import random
import re
import signal
import struct
import unittest

from tessera_capture import framing as capture_frames
from tessera_capture import tile_format
from host_common import (HERE, TempDir, black_edges, crop, finish, grey, pattern_rgb, read_png,
                         run_capture, shrink_half, start_capture, summary_frames, wait_for_line)

W, H = 320, 240


class SnapshotTest(unittest.TestCase):
    def setUp(self):
        self.tmp = TempDir()

    def tearDown(self):
        self.tmp.remove()

    def capture(self, *args):
        status, _, err = run_capture(['--size', '%dx%d' % (W, H)] + list(args))
        self.assertEqual(status, 0, err)
        return err

    def assertPicture(self, path, width, height, expected):
        w, h, rgb = read_png(path)
        self.assertEqual((w, h), (width, height))
        self.assertTrue(rgb == expected, 'picture differs from the expected frame')

    def test_last_frame_of_changed_tiles_and_of_whole_frames(self):
        # The default sends only the tiles that change, so every frame builds
        # on the ones before; --every-tile sends whole frames.
        for extra in ([], ['--every-tile']):
            path = self.tmp('last.png')
            err = self.capture('--frames', '7', '--snapshot', path, *extra)
            self.assertEqual(summary_frames(err), 7)
            self.assertIn('bogus 0', err)
            self.assertPicture(path, W, H, pattern_rgb(W, H, 6))

    def test_numbered_series(self):
        path = self.tmp('shot.png')
        self.capture('--frames', '5', '--every', '2', '--snapshot', path)
        self.assertEqual(sorted(os.listdir(self.tmp.path)),
                         ['shot-000002.png', 'shot-000004.png', 'shot.png'])
        self.assertPicture(self.tmp('shot-000002.png'), W, H, pattern_rgb(W, H, 1))
        self.assertPicture(self.tmp('shot-000004.png'), W, H, pattern_rgb(W, H, 3))
        self.assertPicture(path, W, H, pattern_rgb(W, H, 4))

    def test_half_scale(self):
        path = self.tmp('half.png')
        self.capture('--frames', '3', '--scale', '0.5', '--snapshot', path)
        self.assertPicture(path, W // 2, H // 2, shrink_half(pattern_rgb(W, H, 2), W, H))

    def test_uneven_scale_keeps_tile_grid(self):
        # 15 pixels a tile edge: 300 x 225, the frame's tiles side by side.
        path = self.tmp('odd.png')
        self.capture('--frames', '2', '--scale', '0.95', '--snapshot', path)
        self.assertEqual(read_png(path)[:2], (W * 15 // 16, H * 15 // 16))

    def test_grey_and_crop(self):
        expected = pattern_rgb(W, H, 3)
        path = self.tmp('grey.png')
        self.capture('--frames', '4', '--grey', '--snapshot', path)
        self.assertPicture(path, W, H, grey(expected))

        left, right, top, bottom = black_edges(expected, W, H)
        self.assertTrue(left and right and top and bottom, 'the pattern has a black border')
        width, height = W - left - right, H - top - bottom
        path = self.tmp('crop.png')
        self.capture('--frames', '4', '--crop', '--snapshot', path)
        self.assertPicture(path, width, height, crop(expected, W, left, top, width, height))

    def test_frame_size_not_a_multiple_of_16(self):
        w, h = 100, 90
        path = self.tmp('odd.png')
        status, _, err = run_capture(['--size', '%dx%d' % (w, h), '--frames', '3',
                                      '--snapshot', path])
        self.assertEqual(status, 0, err)
        got_w, got_h, rgb = read_png(path)
        self.assertEqual((got_w, got_h), (w, h))
        self.assertTrue(rgb == pattern_rgb(w, h, 2))


class RunTest(unittest.TestCase):
    def setUp(self):
        self.tmp = TempDir()

    def tearDown(self):
        self.tmp.remove()

    def test_ctrl_c_ends_at_a_whole_frame_with_a_summary(self):
        path = self.tmp('int.png')
        child = start_capture(['--size', '%dx%d' % (W, H), '--snapshot', path])
        wait_for_line(child.stderr, 'frames/s', 60)  # the first status line: running
        child.send_signal(signal.SIGINT)
        status, _, err = finish(child)
        self.assertEqual(status, 0, err)
        self.assertIn('stopped after Ctrl-C', err)
        frames = summary_frames(err)
        self.assertGreater(frames, 0)
        w, h, rgb = read_png(path)
        self.assertTrue(rgb == pattern_rgb(W, H, frames - 1), 'not the last whole frame')

    def test_seconds_and_status_lines(self):
        status, _, err = run_capture(['--size', '64x48', '--seconds', '2.5'])
        self.assertEqual(status, 0, err)
        status_lines = [l for l in err.splitlines() if 'frames/s' in l and 'tiles/s' in l]
        self.assertGreaterEqual(len(status_lines), 2, err)
        self.assertIn('stopped after 2.5 seconds', err)

    def test_profile_reports_the_native_share(self):
        status, _, err = run_capture(['--size', '64x48', '--frames', '20', '--profile'])
        self.assertEqual(status, 0, err)
        self.assertIn('decode and export (videoSink, getChanges, toRGBString)', err)

    def test_bad_options(self):
        # An endpoint without the IN bit would end the process in sluice64's
        # assertion: it is refused before anything is opened.
        for args in (['--scale', '0.05'], ['--scale', 'nan'], ['--scale', '-inf'],
                     ['--every', '2'], ['--keep', '3'], ['--size', '2000x10'], ['--size', '0x10'],
                     ['--frames', '0'], ['--fast'], ['--device', 'x', '--replay', 'y'],
                     ['--device', 'x', '--endpoint', '0x01'], ['--endpoint', '0x80'],
                     ['--interface', '-1'], ['--timeout', '-1'], ['--replay', 'y', '--every-tile'],
                     ['--find', '12345678'], ['--reconnect'], ['--frames', 'x'],
                     ['--view', 'x'], ['--view', '65536'], ['--view', '::1:80']):
            status, _, err = run_capture(args)
            self.assertEqual(status, 2, (args, err))
            self.assertNotIn('Traceback', err)
            self.assertNotIn('invalid', err)  # argparse naming a type function

    def test_out_of_range_values_in_the_options_words(self):
        for args, words in ((['--scale', '7'], 'argument --scale: scale from 0.0625 (one pixel a '
                              'tile) to 1, not 7'),
                            (['--scale', 'inf'], 'scale from 0.0625'),
                            (['--size', '0x0'], 'argument --size: frame size from 1x1 to '
                             '1920x1600, not 0x0'),
                            (['--find', 'x:1'], 'argument --find: expected VID:PID')):
            status, _, err = run_capture(args)
            self.assertEqual(status, 2, (args, err))
            self.assertIn(words, err)

    def test_snapshot_that_cannot_be_written(self):
        # Found before the run, not after it: nothing is read.
        path = self.tmp('no', 'such', 'dir.png')
        status, _, err = run_capture(['--size', '64x48', '--frames', '2', '--snapshot', path])
        self.assertEqual(status, 1)
        self.assertIn('cannot write %s' % path, err)
        self.assertNotIn(' frames in ', err)
        os.mkdir(self.tmp('no'))
        status, _, err = run_capture(['--size', '64x48', '--frames', '2', '--record',
                                      self.tmp('no', 'rec'), '--snapshot', path])
        self.assertEqual(status, 1)
        self.assertFalse(os.path.exists(self.tmp('no', 'rec', '0.out')), err)


def first_tiles_one_by_one(raw, start, tiles):
    """The decoder's walk, one item at a time: the reference for the counter."""
    pos = read = start
    count = 0
    while len(raw) - pos > 3:
        remaining = len(raw) - pos
        colour, header = struct.unpack_from('<HH', raw, read)
        if (colour, header) == (0xFFFF, 0xFFFF):
            skip = min(512 - pos % 512, remaining)
            pos, read = pos + skip, read + (skip & ~1)
            continue
        fill = header & 0x4000
        if not fill and remaining < 516:
            break
        if header & 0x8000 and header & 0x7F < tiles[0] and (header >> 7) & 0x7F < tiles[1]:
            count += 1
        step = 4 if fill else 516
        pos, read = pos + step, read + step
    return count


class FrameCountTest(unittest.TestCase):
    def test_runs_are_counted_as_item_by_item(self):
        # Random items of every kind (first-tile flags in and out of the grid,
        # padding at odd offsets, 0xFFFF headers of fill packets), walked
        # from random starts, even and odd, to random ends.
        rng = random.Random(14)
        tiles = (20, 15)
        noise = bytes(bytearray(rng.randint(0, 255) for _ in range(4096)))
        for _ in range(2000):
            parts = []
            for _ in range(rng.randint(0, 60)):
                kind = rng.random()
                first = 0x8000 if rng.random() < 0.1 else 0
                where = rng.randint(0, 24) | rng.randint(0, 17) << 7
                if kind < 0.05:
                    parts.append(b'\xff\xff\xff\xff')
                elif kind < 0.07:
                    parts.append(struct.pack('<HH', rng.randint(0, 0xFFFE), 0xFFFF))
                elif kind < 0.6:
                    parts.append(struct.pack('<HH', rng.randint(0, 0xFFFF), first | 0x4000 | where))
                else:
                    at = rng.randint(0, len(noise) - 512)
                    parts.append(struct.pack('<HH', 0, first | where) + noise[at:at + 512])
            raw = b''.join(parts)
            raw = raw[:rng.randint(0, len(raw))]
            start = rng.randint(0, min(len(raw), 40))
            self.assertEqual(capture_frames.count_first_tiles(raw, start, tiles),
                             first_tiles_one_by_one(raw, start, tiles), (raw, start))


class TileFormatTest(unittest.TestCase):
    def test_host_values_are_those_of_the_decoder_and_encoder(self):
        # Every constant of the C++ header, by its name in Python
        # (kFirstTileFlag -> FIRST_TILE_FLAG), with the same value.
        header = os.path.join(os.path.dirname(os.path.dirname(HERE)), 'src', 'core', 'tessera',
                              'tile_format.h')
        with open(header) as f:
            found = re.findall(r'constexpr \w+ k(\w+) = (\w+);', f.read())
        self.assertEqual(len(found), 8)
        for name, value in found:
            python_name = re.sub(r'(?<!^)([A-Z])', r'_\1', name).upper()
            self.assertEqual(getattr(tile_format, python_name), int(value, 0), name)


if __name__ == '__main__':
    unittest.main()
