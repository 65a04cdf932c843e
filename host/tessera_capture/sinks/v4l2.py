"""The camera: every frame to a V4L2 output device, in practice one of the
v4l2loopback module, whose capture side video calls, browsers, OBS, ffplay
and GStreamer open as a camera.

The device gets a steady --fps from a thread of its own: the newest frame at
each tick, converted once into one of the device's mmap buffers and queued;
while no new frame arrives, the buffer that holds the last one is queued
again, so that readers keep getting frames (a repeat costs two ioctls). The
capture loop only hands frames over and never waits on the device or a
reader. A buffer carries its frame's capture time (seconds since the epoch);
a repeat, the time of the one before plus a tick, as readers that drop
buffers with a time already seen would otherwise show nothing while the
grabber is quiet.

The writing goes through mmap buffers (REQBUFS, QBUF, DQBUF, STREAMON), not
write(): after a writer that used write() the module refuses the next one's
format until it is reloaded.
"""
import errno
import fcntl
import mmap
import os
import stat
import struct
import threading
import time

from ..errors import PROG, OutputError, UsageError

FORMATS = ('YUYV', 'RGB3')
DEFAULT_FORMAT = 'YUYV'
DEFAULT_FPS = 30.0
LOAD_HINT = ('to make one: sudo modprobe v4l2loopback exclusive_caps=1 card_label="Tessera '
             'capture" (Debian package v4l2loopback-dkms)')
# The name the v4l2loopback module gives in QUERYCAP.
LOOPBACK_DRIVER = 'v4l2 loopback'
BUFFERS = 4


# ---------------------------------------------------------------- the ioctls (x86-64)

def _ioc(direction, nr, size):
    return direction << 30 | size << 16 | ord('V') << 8 | nr


_W, _R = 1, 2
CAPABILITY = struct.Struct('<16s32s32sIII12x')
# struct v4l2_format holding a v4l2_pix_format: the union starts 8-aligned.
PIX_FORMAT = struct.Struct('<I4x12I152x')
REQUESTBUFFERS = struct.Struct('<IIII4x')
# struct v4l2_buffer: index, type, bytesused, flags, field, timestamp (sec,
# usec), timecode, sequence, memory, m.offset, length, reserved2, request_fd.
BUFFER = struct.Struct('<5I4xqq16s3I4x3I4x')
VIDIOC_QUERYCAP = _ioc(_R, 0, CAPABILITY.size)
VIDIOC_G_FMT = _ioc(_R | _W, 4, PIX_FORMAT.size)
VIDIOC_S_FMT = _ioc(_R | _W, 5, PIX_FORMAT.size)
VIDIOC_REQBUFS = _ioc(_R | _W, 8, REQUESTBUFFERS.size)
VIDIOC_QUERYBUF = _ioc(_R | _W, 9, BUFFER.size)
VIDIOC_QBUF = _ioc(_R | _W, 15, BUFFER.size)
VIDIOC_DQBUF = _ioc(_R | _W, 17, BUFFER.size)
VIDIOC_STREAMON = _ioc(_W, 18, 4)
VIDIOC_STREAMOFF = _ioc(_W, 19, 4)

CAP_VIDEO_CAPTURE = 0x1
CAP_VIDEO_OUTPUT = 0x2
CAP_STREAMING = 0x04000000
CAP_DEVICE_CAPS = 0x80000000
BUF_TYPE_VIDEO_OUTPUT = 2
FIELD_NONE = 1
MEMORY_MMAP = 1
COLORSPACE = {'YUYV': 1, 'RGB3': 8}  # SMPTE 170M (BT.601), sRGB
YCBCR_ENC_601 = 1
QUANTIZATION_LIM_RANGE = 2


def fourcc_name(code):
    return struct.pack('<I', code).decode('latin-1')


class V4L2Device:
    """An open video node and the ioctls of an output stream, one method
    each; failures are OSError."""

    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_CLOEXEC)

    def _ioctl(self, request, layout, *values):
        buf = bytearray(layout.pack(*values))
        fcntl.ioctl(self.fd, request, buf)
        return layout.unpack(buf)

    def capabilities(self):
        """(driver, card, capabilities of this node)."""
        driver, card, _, _, caps, device_caps = self._ioctl(
            VIDIOC_QUERYCAP, CAPABILITY, b'', b'', b'', 0, 0, 0)
        name = lambda raw: raw.split(b'\0', 1)[0].decode('utf-8', 'replace')
        return name(driver), name(card), device_caps if caps & CAP_DEVICE_CAPS else caps

    def set_format(self, fourcc, width, height, bytesperline, colorspace):
        """S_FMT on the output queue, then the format as G_FMT reads it back:
        (fourcc, width, height, bytesperline, sizeimage)."""
        self._ioctl(VIDIOC_S_FMT, PIX_FORMAT, BUF_TYPE_VIDEO_OUTPUT, width, height, fourcc,
                    FIELD_NONE, bytesperline, bytesperline * height, colorspace, 0, 0,
                    YCBCR_ENC_601, QUANTIZATION_LIM_RANGE, 0)
        got = self._ioctl(VIDIOC_G_FMT, PIX_FORMAT, BUF_TYPE_VIDEO_OUTPUT, *([0] * 12))
        _, width, height, fourcc, _, bytesperline, sizeimage = got[:7]
        return fourcc, width, height, bytesperline, sizeimage

    def request_buffers(self, count):
        """The number of mmap buffers granted."""
        return self._ioctl(VIDIOC_REQBUFS, REQUESTBUFFERS, count, BUF_TYPE_VIDEO_OUTPUT,
                           MEMORY_MMAP, 0)[0]

    def map_buffer(self, index):
        """Buffer `index` mapped, as an mmap of its length."""
        got = self._ioctl(VIDIOC_QUERYBUF, BUFFER, index, BUF_TYPE_VIDEO_OUTPUT, 0, 0, 0, 0, 0,
                          b'', 0, MEMORY_MMAP, 0, 0, 0, 0)
        offset, length = got[10], got[11]
        return mmap.mmap(self.fd, length, mmap.MAP_SHARED, mmap.PROT_READ | mmap.PROT_WRITE,
                         offset=offset)

    def queue(self, index, bytesused, timestamp):
        sec = int(timestamp)
        self._ioctl(VIDIOC_QBUF, BUFFER, index, BUF_TYPE_VIDEO_OUTPUT, bytesused, 0, FIELD_NONE,
                    sec, int((timestamp - sec) * 1e6), b'', 0, MEMORY_MMAP, 0, 0, 0, 0)

    def dequeue(self):
        """The index of a buffer the device is done with."""
        return self._ioctl(VIDIOC_DQBUF, BUFFER, 0, BUF_TYPE_VIDEO_OUTPUT, 0, 0, 0, 0, 0, b'', 0,
                           MEMORY_MMAP, 0, 0, 0, 0)[0]

    def stream(self, on):
        fcntl.ioctl(self.fd, VIDIOC_STREAMON if on else VIDIOC_STREAMOFF,
                    struct.pack('<I', BUF_TYPE_VIDEO_OUTPUT))

    def close(self):
        os.close(self.fd)


def _converter():
    """The frame conversion's binding, loaded when a camera is made."""
    try:
        from . import frame_convert
    except ImportError as e:
        raise UsageError('argument --v4l2: %s' % e, usage=False)
    return frame_convert


def check_camera(path, device_class=V4L2Device):
    """Refuses (UsageError, one line) a node that is missing, not V4L2, or
    offers no video output, and a missing conversion library; a FIFO or a
    regular file is never opened."""
    _converter()
    try:
        mode = os.stat(path).st_mode
    except OSError as e:
        if e.errno == errno.ENOENT:
            raise UsageError('argument --v4l2: %s does not exist; %s' % (path, LOAD_HINT),
                             usage=False)
        raise UsageError('argument --v4l2: %s: %s' % (path, e.strerror), usage=False)
    if not stat.S_ISCHR(mode):
        raise UsageError('argument --v4l2: %s is not a V4L2 device; %s' % (path, LOAD_HINT),
                         usage=False)
    try:
        device = device_class(path)
    except OSError as e:
        raise UsageError('argument --v4l2: cannot open %s: %s' % (path, e.strerror), usage=False)
    try:
        _, card, caps = device.capabilities()
    except OSError:
        raise UsageError('argument --v4l2: %s is not a V4L2 device; %s' % (path, LOAD_HINT),
                         usage=False)
    finally:
        device.close()
    if not caps & CAP_VIDEO_OUTPUT or not caps & CAP_STREAMING:
        # With exclusive_caps=1 a loopback device that has a writer offers only capture.
        raise UsageError('argument --v4l2: %s (%s) offers no video output: it is a camera, or '
                         'another program writes to it; %s' % (path, card, LOAD_HINT),
                         usage=False)


def loopback_devices(nodes=None):
    """(node, card) of every v4l2loopback device among `nodes` (default:
    /dev/video*), in the order of their numbers."""
    if nodes is None:
        names = [n for n in os.listdir('/dev') if n.startswith('video') and n[5:].isdigit()]
        nodes = ['/dev/' + n for n in sorted(names, key=lambda n: int(n[5:]))]
    found = []
    for node in nodes:
        try:
            device = V4L2Device(node)
        except OSError:
            continue
        try:
            driver, card, _ = device.capabilities()
        except OSError:
            continue
        finally:
            device.close()
        if driver == LOOPBACK_DRIVER:
            found.append((node, card))
    return found


# ---------------------------------------------------------------- the sink

class Camera:
    """Frames to the V4L2 output device `path` in `fmt` (YUYV or RGB3) at
    `fps`. The first frame fixes the size (its crop); later frames are cut,
    or filled with black, to it. `out` takes the camera's lines (None: no
    lines). add() raises OutputError once the device has failed."""

    def __init__(self, path, fmt=DEFAULT_FORMAT, fps=DEFAULT_FPS, out=None,
                 device_class=V4L2Device):
        if fmt not in FORMATS:
            raise UsageError('a camera format is one of %s, not %r' % (', '.join(FORMATS), fmt))
        if not 1.0 <= fps <= 1000.0:
            raise UsageError('camera frames a second from 1 to 1000, not %s' % fps)
        check_camera(path, device_class)
        self.convert = _converter()
        self.path = path
        self.fmt = fmt
        self.interval = 1.0 / fps
        self.out = out
        self.device_class = device_class
        self.rect = None
        self.pending = None  # the newest frame not yet shown
        self.changed = threading.Condition()
        self.closing = False
        self.error = None  # what ended the camera
        self.raised = False
        self.pictures = 0  # frames converted and shown
        self.shown = 0  # buffers queued, repeats included
        self.thread = None

    def wants_pixels(self, number, count):
        # Any frame may be the last before a quiet spell, which the camera
        # then shows for as long as it lasts.
        return True

    def add(self, frame):
        if self.error:
            self.raised = True
            raise OutputError(self.error)
        with self.changed:
            if self.rect is None:
                self.rect = frame.crop
                self.thread = threading.Thread(target=self._run, name='camera')
                self.thread.daemon = True
                self.thread.start()
            self.pending = frame
            self.changed.notify_all()

    def _say(self, text):
        if self.out:
            self.out.write('%s: camera %s: %s\n' % (PROG, self.path, text))
            self.out.flush()

    def _next(self, tick):
        """The frame to convert at the next tick, None for a repeat; False
        when the camera closes."""
        with self.changed:
            while not self.closing:
                wait = tick - time.monotonic()
                if wait <= 0:
                    break
                self.changed.wait(wait)
            if self.closing:
                return False
            frame, self.pending = self.pending, None
            return frame

    def _run(self):
        device = None
        buffers = []
        try:
            device = self.device_class(self.path)
            width, height = self.rect[2:]
            size, stride = self._open(device, width, height, buffers)
            slot, stamp = len(buffers) - 1, 0.0
            tick = time.monotonic()
            while True:
                frame = self._next(tick)
                if frame is False:
                    break
                if frame is not None:
                    # Never the buffer a reader may be reading: the one shown last.
                    slot = (slot + 1) % len(buffers)
                    self.convert.convert_into(self.fmt, frame.cut(self.rect), width * 4, width,
                                               height, buffers[slot], stride)
                    stamp = max(frame.time, stamp + 1e-6)
                    self.pictures += 1
                else:
                    stamp += self.interval
                device.queue(slot, size, stamp)
                device.dequeue()
                self.shown += 1
                # Ticks missed are dropped, not made up in a burst.
                tick = max(tick + self.interval, time.monotonic())
        except OSError as e:
            self.error = 'camera %s: %s' % (self.path, e.strerror or e)
        except ValueError as e:
            self.error = 'camera %s: %s' % (self.path, e)
        finally:
            for buf in buffers:
                buf.close()
            if device is not None:
                try:
                    if buffers:
                        device.stream(False)
                except OSError:
                    pass  # the descriptor's close ends the stream anyway
                device.close()

    def _open(self, device, width, height, buffers):
        """Sets the format and maps the buffers; (frame bytes, row bytes)."""
        # A YUYV pair of pixels needs an even width: the last column is doubled.
        padded = width + (width & 1) if self.fmt == 'YUYV' else width
        if padded != width:
            self._say('%dx%d padded to %dx%d for %s' % (width, height, padded, height, self.fmt))
        _, stride = self.convert.frame_bytes(self.fmt, padded, height)
        code = self.convert.FORMATS[self.fmt]
        got = device.set_format(code, padded, height, stride, COLORSPACE[self.fmt])
        if got[:3] != (code, padded, height) or got[3] < stride:
            raise ValueError('the device offers %dx%d %s (%d bytes a row) instead of %dx%d %s' %
                             (got[1], got[2], fourcc_name(got[0]), got[3], padded, height,
                              self.fmt))
        stride = got[3]
        size = stride * height
        count = device.request_buffers(BUFFERS)
        if count < 1:
            raise ValueError('the device gave no buffers')
        for index in range(count):
            buffers.append(device.map_buffer(index))
            if len(buffers[-1]) < size:
                raise ValueError('buffer %d holds %d bytes, not %d' % (index, len(buffers[-1]),
                                                                      size))
        device.stream(True)
        self._say('%dx%d %s at %g frames/s' % (padded, height, self.fmt, 1.0 / self.interval))
        return size, stride

    def close(self):
        """Stops the stream; OutputError for a failure add() has not raised."""
        with self.changed:
            self.closing = True
            self.changed.notify_all()
        if self.thread:
            while self.thread.is_alive():
                self.thread.join(0.1)  # a timeout keeps Ctrl-C deliverable
        self._say('%d pictures in %d frames' % (self.pictures, self.shown))
        if self.error and not self.raised:
            raise OutputError(self.error)
