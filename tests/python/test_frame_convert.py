"""The frame conversion of the V4L2 output sink as the host calls it, checked
against ffmpeg's own conversion of the same pictures."""
import math
import mmap
import os
import shutil
import subprocess
import tempfile
import unittest

from tessera_capture import tilestream
from tessera_capture.sinks import frame_convert


def picture(w, h):
    """The tile-stream test pattern as the capture's RGBX pixels."""
    return tilestream.expand(tilestream.test_pattern(w, h, 3))


def psnr(a, b):
    assert len(a) == len(b)
    se = sum((x - y) * (x - y) for x, y in zip(a, b))
    return float('inf') if se == 0 else 10 * math.log10(255.0 * 255 * len(a) / se)


@unittest.skipIf(shutil.which('ffmpeg') is None, 'ffmpeg is not installed')
class AgainstFfmpeg(unittest.TestCase):

    def ffmpeg_yuyv(self, rgbx, w, h):
        with tempfile.TemporaryDirectory() as tmp:
            src, out = os.path.join(tmp, 'in.raw'), os.path.join(tmp, 'out.raw')
            with open(src, 'wb') as f:
                f.write(rgbx)
            subprocess.run(['ffmpeg', '-v', 'error', '-nostdin', '-f', 'rawvideo', '-pix_fmt',
                            'rgb0', '-s', '%dx%d' % (w, h), '-i', src, '-pix_fmt', 'yuyv422',
                            '-f', 'rawvideo', '-y', out], check=True)
            with open(out, 'rb') as f:
                return f.read()

    def test_psnr(self):
        for w, h in ((1920, 1080), (33, 17)):
            rgbx = picture(w, h)
            ours = frame_convert.convert('YUYV', rgbx, w * 4, w, h)
            theirs = self.ffmpeg_yuyv(rgbx, w, h)
            db = psnr(ours, theirs)
            print('YUYV %dx%d (%s rows): PSNR %.2f dB against ffmpeg'
                  % (w, h, frame_convert.KERNEL, db))
            self.assertGreaterEqual(db, 40.0)


class Buffers(unittest.TestCase):

    def test_into_mmap_with_strides(self):
        # A source with padded rows, read from a writable buffer in place, into
        # a mapping with padded rows; the padding is left alone.
        w, h = 17, 3
        rgbx = picture(w, h)
        padded = bytearray(b''.join(rgbx[y * w * 4:(y + 1) * w * 4] + b'\x07' * 8
                                    for y in range(h)))
        packed, row = frame_convert.frame_bytes('RGB3', w, h)
        self.assertEqual((packed, row), (w * h * 3, w * 3))
        out = mmap.mmap(-1, (row + 3) * h)
        out.write(b'\xee' * len(out))
        frame_convert.convert_into('RGB3', padded, w * 4 + 8, w, h, out, row + 3)
        want = frame_convert.convert('RGB3', rgbx, w * 4, w, h)
        for y in range(h):
            self.assertEqual(out[y * (row + 3):(y + 1) * (row + 3)],
                             want[y * row:(y + 1) * row] + b'\xee' * 3)
        self.assertEqual(want[:6], bytes(rgbx[0:3] + rgbx[4:7]))

    def test_refusals(self):
        rgbx = picture(4, 2)
        with self.assertRaises(ValueError):
            frame_convert.convert('NV12', rgbx, 16, 4, 2)
        with self.assertRaises(ValueError):  # one row more than the pixels hold
            frame_convert.convert('YUYV', rgbx, 16, 4, 3)
        with self.assertRaises(ValueError):
            frame_convert.convert_into('YUYV', rgbx, 16, 4, 2, bytearray(15), 8)
        with self.assertRaises(TypeError):
            frame_convert.convert_into('YUYV', rgbx, 16, 4, 2, bytes(16), 8)
        frame = bytearray(rgbx)
        with self.assertRaises(ValueError):  # in place
            frame_convert.convert_into('YUYV', frame, 16, 4, 2, frame, 8)
        self.assertEqual(frame, bytearray(rgbx))
        self.assertEqual(frame_convert.convert('YUYV', memoryview(rgbx), 16, 4, 2),
                         frame_convert.convert('YUYV', rgbx, 16, 4, 2))


if __name__ == '__main__':
    unittest.main()
