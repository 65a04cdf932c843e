"""The capture command end to end on the synthetic grabber: the snapshot is the
pattern's frame exactly, at full size and scaled, grey and cropped, and the run
ends cleanly on a frame count, a time limit and Ctrl-C."""
import os
import signal
import unittest

from host_common import (TempDir, black_edges, crop, finish, grey, pattern_rgb, read_png,
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
                     ['--view', 'x'], ['--view', '65536'], ['--view', '::1:80']):
            status, _, err = run_capture(args)
            self.assertEqual(status, 2, (args, err))
            self.assertNotIn('Traceback', err)

    def test_scale_above_one_is_full_size(self):
        path = self.tmp('big.png')
        status, _, err = run_capture(['--size', '64x48', '--frames', '1', '--scale', 'inf',
                                      '--snapshot', path])
        self.assertEqual(status, 0, err)
        self.assertTrue(read_png(path)[2] == pattern_rgb(64, 48, 0))

    def test_snapshot_that_cannot_be_written(self):
        path = self.tmp('no', 'such', 'dir.png')
        status, _, err = run_capture(['--size', '64x48', '--frames', '2', '--snapshot', path])
        self.assertEqual(status, 1)
        self.assertIn('cannot write %s' % path, err)
        self.assertEqual(summary_frames(err), 2)


if __name__ == '__main__':
    unittest.main()
