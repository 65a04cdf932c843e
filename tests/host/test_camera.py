"""The camera (--v4l2): refusals of nodes that are no V4L2 output, on this
machine, which has no v4l2loopback; and the sink against a stand-in of the
device's output queue: conversion once per picture, repeats at the rate,
capture times, the buffer shown last never written, odd widths padded, and
a substituted format refused."""
import io
import mmap
import os
import random
import time
import unittest

from tessera_capture.errors import OutputError, UsageError
from tessera_capture.frame import Frame, Picture
from tessera_capture.sinks import frame_convert, v4l2
from host_common import TempDir, run_capture


class QueueStandIn:
    """A V4L2 output node as the camera sees it: the format is kept as asked
    unless `offer` replaces it; each queued buffer's bytes are kept."""

    caps = v4l2.CAP_VIDEO_OUTPUT | v4l2.CAP_STREAMING
    offer = None  # (fourcc, width, height) the device gives instead
    queued = []  # (index, bytesused, timestamp, bytes) of every QBUF, shared by instances

    def __init__(self, path):
        self.path = path
        self.buffers = []
        self.streaming = None

    def capabilities(self):
        return v4l2.LOOPBACK_DRIVER, 'stand-in', self.caps

    def set_format(self, fourcc, width, height, bytesperline, colorspace):
        if self.offer:
            fourcc, width, height = self.offer
        self.stride = bytesperline
        return fourcc, width, height, bytesperline, -(-bytesperline * height // 4096) * 4096

    def request_buffers(self, count):
        return count

    def map_buffer(self, index):
        self.buffers.append(mmap.mmap(-1, 1 << 20))
        return self.buffers[-1]

    def queue(self, index, bytesused, timestamp):
        assert self.streaming, 'QBUF before STREAMON'
        self.queued.append((index, bytesused, timestamp, self.buffers[index][:bytesused]))

    def dequeue(self):
        return self.queued[-1][0]

    def stream(self, on):
        self.streaming = on

    def close(self):
        pass


def frame(number, width, height, seed):
    picture = Picture((width, height), 16)
    rng = random.Random(seed)
    picture.pixels[:] = bytes(rng.getrandbits(8) for _ in range(len(picture.pixels)))
    return Frame(number, 1000.0 + number, 1, picture, (), (0, 0, width, height), True)


def device(**attrs):
    QueueStandIn.queued = []
    return type('StandIn', (QueueStandIn,), attrs)


class Refusals(unittest.TestCase):
    def test_nodes_that_are_no_camera_output(self):
        """A missing node, /dev/null (a character device without V4L2), a
        regular file and a FIFO (which would block an open): exit 2 before
        the capture starts, one line that says how to make a camera."""
        tmp = TempDir()
        self.addCleanup(tmp.remove)
        plain, fifo = tmp('file'), tmp('fifo')
        open(plain, 'w').close()
        os.mkfifo(fifo)
        for node, words in (('/dev/video-none', 'does not exist'),
                            ('/dev/null', 'is not a V4L2 device'),
                            (plain, 'is not a V4L2 device'),
                            (fifo, 'is not a V4L2 device')):
            with self.subTest(node=node):
                status, out, err = run_capture(['--seconds', '5', '--v4l2', node], limit=30)
                self.assertEqual(status, 2)
                self.assertEqual(err.count('\n'), 1, err)
                self.assertIn('%s %s' % (node, words), err)
                self.assertIn('sudo modprobe v4l2loopback exclusive_caps=1', err)
                self.assertIn('v4l2loopback-dkms', err)
                self.assertNotIn('frames in', err)

    def test_device_without_output(self):
        """A node that is a camera, or a loopback device another writer owns."""
        with self.assertRaises(UsageError) as cm:
            v4l2.Camera('/dev/null', device_class=device(caps=v4l2.CAP_VIDEO_CAPTURE))
        self.assertIn('offers no video output', str(cm.exception))

    def test_listing_passes_over_other_nodes(self):
        """Nodes that are missing or not V4L2 are left out, not fatal."""
        self.assertEqual(v4l2.loopback_devices(['/dev/video-none', '/dev/null']), [])

    def test_options_need_the_camera(self):
        status, _, err = run_capture(['--v4l2-format', 'RGB3'], limit=30)
        self.assertEqual(status, 2)
        self.assertIn('--v4l2-format is for --v4l2', err)


class Sink(unittest.TestCase):
    def camera(self, fmt='YUYV', fps=100.0, **attrs):
        out = io.StringIO()
        # /dev/null passes the node checks; the stand-in answers the ioctls.
        return v4l2.Camera('/dev/null', fmt, fps, out, device(**attrs)), out

    def wait_for(self, count):
        deadline = time.time() + 30
        while len(QueueStandIn.queued) < count:
            self.assertLess(time.time(), deadline, 'the camera queued too little')
            time.sleep(0.01)

    def test_pictures_and_repeats(self):
        """Each picture is converted once into a buffer other than the one
        shown, and queued again while nothing new arrives; a picture is
        stamped with its capture time, a repeat a tick later than the buffer
        before; the bytes are the conversion of the frame."""
        camera, out = self.camera()
        first = frame(1, 64, 32, 1)
        camera.add(first)
        self.wait_for(5)
        second = frame(2, 64, 32, 2)
        camera.add(second)
        self.wait_for(len(QueueStandIn.queued) + 5)
        camera.close()
        queued = QueueStandIn.queued
        want = [frame_convert.convert('YUYV', f.pixels, 64 * 4, 64, 32) for f in (first, second)]
        indices = [q[0] for q in queued]
        switch = indices.index(1)
        self.assertEqual(indices, [0] * switch + [1] * (len(queued) - switch))
        for index, used, _, data in queued:
            self.assertEqual(used, 64 * 2 * 32)
            self.assertEqual(data, want[index])
        stamps = [q[2] for q in queued]
        self.assertEqual(stamps[0], 1001.0)
        self.assertEqual(stamps[switch], 1002.0)
        for n, stamp in enumerate(stamps[1:], 1):
            if n != switch:
                self.assertAlmostEqual(stamp - stamps[n - 1], 0.01)
        self.assertEqual(camera.pictures, 2)
        self.assertIn('2 pictures in %d frames' % len(queued), out.getvalue())

    def test_rgb_exact_and_fixed_size(self):
        """RGB3 is the frame's R, G, B; a later, larger picture is cut to the
        first one's size."""
        camera, _ = self.camera('RGB3')
        camera.add(frame(1, 48, 16, 3))
        self.wait_for(1)
        larger = frame(2, 64, 32, 4)
        camera.add(larger)
        deadline = time.time() + 30
        while QueueStandIn.queued[-1][0] != 1:
            self.assertLess(time.time(), deadline)
            time.sleep(0.01)
        camera.close()
        rgba = larger.cut((0, 0, 48, 16))
        rgb = b''.join(bytes(rgba[i:i + 3]) for i in range(0, len(rgba), 4))
        self.assertEqual(QueueStandIn.queued[-1][3], rgb)

    def test_odd_width_padded_once(self):
        """YUYV needs an even width: the last column is doubled, and the
        padding said once."""
        camera, out = self.camera()
        camera.add(frame(1, 33, 8, 5))
        self.wait_for(3)
        camera.close()
        self.assertEqual(out.getvalue().count('33x8 padded to 34x8 for YUYV'), 1)
        padded = frame(1, 34, 8, 5)
        pixels = bytearray(padded.pixels)
        for row in range(8):
            at = row * 34 * 4
            pixels[at + 33 * 4:at + 34 * 4] = pixels[at + 32 * 4:at + 33 * 4]
        self.assertEqual(QueueStandIn.queued[0][3],
                         frame_convert.convert('YUYV', bytes(pixels), 34 * 4, 34, 8))

    def test_substituted_format_refused(self):
        """A device that puts another format in place of the one asked for
        ends the run instead of showing wrong pixels."""
        camera, _ = self.camera(offer=(0x34524742, 64, 32))  # BGR4
        camera.add(frame(1, 64, 32, 6))
        camera.thread.join(30)
        with self.assertRaises(OutputError) as cm:
            camera.add(frame(2, 64, 32, 7))
        self.assertIn('offers 64x32 BGR4', str(cm.exception))
        self.assertEqual(QueueStandIn.queued, [])
        camera.close()  # raised once already


if __name__ == '__main__':
    unittest.main()
