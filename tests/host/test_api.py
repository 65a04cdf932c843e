"""The capture host's Python API, as a program that wants frames uses it."""
import time
import unittest

import tessera_capture
from host_common import TempDir, pattern_rgb, read_png, run_capture, shrink_half


def rgb_of(pixels):
    rgba = bytes(pixels)
    out = bytearray(len(rgba) // 4 * 3)
    for c in range(3):
        out[c::3] = rgba[c::4]
    return bytes(out)


class ApiTest(unittest.TestCase):
    def setUp(self):
        self.tmp = TempDir()

    def tearDown(self):
        self.tmp.remove()

    def test_frames_are_the_pictures_sent(self):
        began = time.time()
        with tessera_capture.open(size=(80, 48), frames=3) as capture:
            frames = list(capture.frames())
        self.assertEqual([f.number for f in frames], [1, 2, 3])
        for n, frame in enumerate(frames):
            self.assertEqual((frame.width, frame.height), (80, 48))
            view = memoryview(frame.pixels)  # a buffer, as numpy.frombuffer takes it
            self.assertEqual((view.nbytes, view.readonly), (80 * 48 * 4, True))
            self.assertEqual(bytes(view[3::4]), b'\xff' * (80 * 48))
            self.assertEqual(rgb_of(view), pattern_rgb(80, 48, n))
            self.assertTrue(began <= frame.time <= time.time())
        with self.assertRaises(AttributeError):
            frames[0].number = 7
        png = self.tmp('last.png')
        frames[-1].save_png(png)
        self.assertEqual(read_png(png), (80, 48, pattern_rgb(80, 48, 2)))

    def test_scaled_frames_are_opaque(self):
        with tessera_capture.open(size=(64, 32), scale=0.5, frames=1) as capture:
            frame = next(iter(capture.frames()))
        self.assertEqual((frame.width, frame.height), (32, 16))
        self.assertEqual(bytes(frame.pixels)[3::4], b'\xff' * (32 * 16))
        self.assertEqual(rgb_of(frame.pixels), shrink_half(pattern_rgb(64, 32, 0), 64, 32))

    def test_a_recording_replays_with_its_times(self):
        rec = self.tmp('rec')
        status, _, err = run_capture(['--size', '64x32', '--frames', '4', '--record', rec])
        self.assertEqual(status, 0, err)
        replayed = time.time()
        with tessera_capture.open(rec, fast=True) as capture:
            self.assertEqual(capture.name, rec)
            frames = list(capture.frames())
        self.assertEqual(len(frames), 4)
        times = [f.time for f in frames]
        self.assertEqual(times, sorted(times))
        self.assertLess(times[-1], replayed)  # when recorded, not when replayed

    def test_errors_are_the_packages_with_the_command_lines_words(self):
        node = '/dev/bus/usb/999/999'
        with self.assertRaises(tessera_capture.DeviceError) as caught:
            tessera_capture.open(node)
        status, _, err = run_capture(['--device', node])
        self.assertEqual((status, 'capture: error: %s\n' % caught.exception), (1, err))
        with self.assertRaises(tessera_capture.UsageError):
            tessera_capture.open('not a source')
        with self.assertRaises(tessera_capture.UsageError):
            tessera_capture.open(scale=2)
        # The frame store is one per process: one capture at a time.
        with tessera_capture.open(size=(32, 32), frames=1):
            with self.assertRaises(tessera_capture.CaptureError):
                tessera_capture.open(size=(32, 32))
        with tessera_capture.open(size=(32, 32), frames=1) as capture:
            self.assertEqual(len(list(capture.frames())), 1)


if __name__ == '__main__':
    unittest.main()
