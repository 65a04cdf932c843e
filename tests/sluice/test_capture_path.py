"""The capture path end to end: the stand-in sends frames made by the tile-stream
encoder, and readVideo, videoSink, getChanges and toRGBString rebuild them."""
import errno
import os
import subprocess
import sys
import tempfile
import unittest

import sluice64
import tessera
from tessera_capture import tilestream
import usbfs_standin


def tile_rows(pixels, w, h, tx, ty):
    """The rows of tile (tx, ty) inside a w x h frame of 4-byte pixels."""
    x0, x1 = tx * 64, min(w, tx * 16 + 16) * 4
    return [pixels[y * w * 4 + x0:y * w * 4 + x1] for y in range(ty * 16, min(h, ty * 16 + 16))]


class CapturePathTest(unittest.TestCase):
    def capture(self, w, h, frames):
        enc = tilestream.Encoder(w, h)
        tw, th = enc.tiles_wide, enc.tiles_high
        tessera.createBuffer(w, h)
        canvas = bytearray(tw * 64 * th * 16)  # whole tiles, as the export delivers them
        pitch = tw * 64
        with usbfs_standin.Device() as dev:
            handle = sluice64.attach(dev.fd, 0x81)
            previous = None
            for n in range(frames):
                expected = tilestream.expand(tilestream.test_pattern(w, h, n))
                tiles = set((tx, ty) for ty in range(th) for tx in range(tw)
                            if previous is None or tile_rows(previous, w, h, tx, ty) !=
                            tile_rows(expected, w, h, tx, ty))
                mask = None if previous is None else bytearray(
                    (tx, ty) in tiles for ty in range(th) for tx in range(tw))
                enc.put_frame(tilestream.test_pattern(w, h, n), mask)
                transfers = enc.transfers()
                for t in transfers:
                    dev.feed(t)
                for i, sent in enumerate(transfers):
                    buf = sluice64.readVideo(handle)
                    self.assertEqual(bytes(buf), sent)
                    self.assertEqual(tessera.videoSink(buf)[1], int(i == 0), (n, i))
                reported = set()
                for ty in range(th):
                    for start, count in tessera.getChanges(ty, tw):
                        pixels, (nw, nh) = tessera.toRGBString(start, ty, count, 1, 1.0)
                        self.assertEqual((nw, nh), (count * 16, 16))
                        for y in range(16):
                            at = (ty * 16 + y) * pitch + start * 64
                            canvas[at:at + nw * 4] = pixels[y * nw * 4:(y + 1) * nw * 4]
                        reported.update((tx, ty) for tx in range(start, start + count))
                self.assertEqual(reported, tiles, n)
                for y in range(h):
                    self.assertEqual(canvas[y * pitch:y * pitch + w * 4],
                                     expected[y * w * 4:(y + 1) * w * 4], (n, y))
                previous = expected
            sluice64.detach(handle)
            self.assertEqual(dev.held(), 0)

    def test_frames_are_rebuilt_exactly(self):
        self.capture(160, 96, 6)
        self.capture(200, 120, 4)  # partial tiles at the right and bottom edges

    def test_full_hd(self):
        self.capture(1920, 1080, 2)

    def test_device_node_named_by_the_environment(self):
        script = '\n'.join([
            'import os, sluice64, tessera',
            'from tessera_capture import tilestream',
            'tessera.createBuffer(96, 64)',
            'h = sluice64.attach(os.open(os.environ["USBFS_STANDIN_DEVICE"], os.O_RDWR), 0x81)',
            'frames = 0',
            'while True:',
            '    try:',
            '        frames += tessera.videoSink(sluice64.readVideo(h))[1]',
            '    except IOError as e:',
            '        err = e.errno',
            '        break',
            'sluice64.detach(h)',
            'last = tilestream.expand(tilestream.test_pattern(96, 64, 4))',
            'print("%d %d %s" % (frames, err, tessera.toRGBString(0, 0, 6, 4)[0] == last))',
        ])
        # A FIFO: pollable like a device node, so the reader can watch it.
        tmp = tempfile.mkdtemp()
        node = os.path.join(tmp, 'node')
        os.mkfifo(node)
        try:
            env = dict(os.environ, USBFS_STANDIN_DEVICE=node,
                       USBFS_STANDIN_STREAM='synthetic:96x64:5', USBFS_STANDIN_FPS='200',
                       USBFS_STANDIN_AT_END='unplug')
            p = subprocess.Popen([sys.executable, '-c', script], env=env, universal_newlines=True,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            out, err = p.communicate()
        finally:
            os.remove(node)
            os.rmdir(tmp)
        self.assertEqual((p.returncode, out.split()), (0, ['5', str(errno.ESHUTDOWN), 'True']),
                         err)


if __name__ == '__main__':
    unittest.main()
