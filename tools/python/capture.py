#!/usr/bin/env python3
"""The reference capture host: reads a grabber's tile stream (a USB device, a
recording, or the built-in synthetic grabber), decodes it with tessera, keeps
the picture up to date from the changed tiles, and writes snapshots,
recordings and status lines."""
import argparse
import os
import signal
import struct
import sys
import time

_HERE = os.path.dirname(os.path.abspath(__file__))
PROG = 'capture'


def _import_modules():
    """tessera from $TESSERA_BUILD_DIR/python, else as installed, else from the
    project's own build directory; without one, a line that says how to build."""
    build = os.environ.get('TESSERA_BUILD_DIR')
    if build:
        sys.path.insert(0, os.path.join(build, 'python'))
    else:
        sys.path.append(os.path.join(os.path.dirname(os.path.dirname(_HERE)), 'build', 'python'))
    try:
        import tessera  # noqa: F401
    except ImportError as e:
        sys.stderr.write('%s: the modules are not built (%s); run ./build.sh build\n' % (PROG, e))
        sys.exit(1)


_import_modules()
import tessera  # noqa: E402

import capture_frames  # noqa: E402
import capture_png  # noqa: E402
import capture_recording  # noqa: E402
import capture_sources  # noqa: E402
import capture_video  # noqa: E402
import capture_view  # noqa: E402
from capture_recording import RecordingError  # noqa: E402
import capture_usb  # noqa: E402
from capture_sources import STOP_GRACE  # noqa: E402
from capture_usb import DeviceError  # noqa: E402
from capture_video import VideoError  # noqa: E402

DEFAULT_SIZE = (1920, 1080)
BLACK_EDGE_MIN = 75  # getBlackEdges needs an active area at least this large


class OutputError(Exception):
    """A snapshot that cannot be written."""


def tile_edge(scale):
    """Pixels per tile edge that toRGBString makes of `scale`: its single-precision
    product with 16, truncated, never above 16."""
    single = struct.unpack('f', struct.pack('f', scale))[0]
    return min(16, int(single * 16))


class Picture(object):
    """The host's copy of the picture, kept from exported runs of changed tiles:
    whole tiles of `edge` pixels, 4 bytes a pixel in the frame store's order."""

    def __init__(self, frame_size, edge):
        width, height = frame_size
        self.tiles = ((width + 15) // 16, (height + 15) // 16)
        self.edge = edge
        self.stride = self.tiles[0] * edge * 4
        self.pixels = bytearray(self.stride * self.tiles[1] * edge)
        # Slice assignment through a memoryview is a plain copy; through the
        # bytearray itself it is many times slower.
        self.view = memoryview(self.pixels)
        # The frame at this scale; the last tile row or column may reach past it.
        self.width = max(1, width * edge // 16)
        self.height = max(1, height * edge // 16)

    def put(self, tx, ty, data, size):
        width, height = size
        row = width * 4
        start = ty * self.edge * self.stride + tx * self.edge * 4
        if row == self.stride:
            self.view[start:start + row * height] = data
            return
        data = memoryview(data)
        for r in range(height):
            at = start + r * self.stride
            self.view[at:at + row] = data[r * row:(r + 1) * row]


class Profile(object):
    """Time spent in each step of the loop, for --profile."""

    def __init__(self):
        self.seconds = {}

    def wrap(self, name, function):
        self.seconds[name] = 0.0
        clock = time.time

        def timed(*args):
            began = clock()
            try:
                return function(*args)
            finally:
                self.seconds[name] += clock() - began
        return timed

    def report(self, frames, elapsed, out):
        frames = max(1, frames)
        per_frame = lambda s: 1000.0 * s / frames
        out.write('%s: profile, milliseconds per frame over %d frames:\n' % (PROG, frames))
        accounted = 0.0
        for name in ('source', 'videoSink', 'getChanges', 'toRGBString', 'picture', 'recording'):
            if name in self.seconds:
                accounted += self.seconds[name]
                out.write('  %-12s %8.3f\n' % (name, per_frame(self.seconds[name])))
        out.write('  %-12s %8.3f\n' % ('rest of loop', per_frame(max(0.0, elapsed - accounted))))
        native = sum(self.seconds[n] for n in ('videoSink', 'getChanges', 'toRGBString'))
        host = elapsed - self.seconds['source']
        rate = lambda seconds: frames / max(seconds, 1e-9)
        out.write('%s: decode and export (videoSink, getChanges, toRGBString) %.3f ms a frame, '
                  '%.1f%% of the loop; frames/s: %.1f captured, %.1f without the source, %.1f '
                  'for decode and export alone (%.2fx the capture, %.2fx the loop without the '
                  'source)\n' %
                  (PROG, per_frame(native), 100.0 * native / max(elapsed, 1e-9), rate(elapsed),
                   rate(host), rate(native), elapsed / max(native, 1e-9),
                   host / max(native, 1e-9)))


class Capture(object):
    """The capture loop: every buffer to the decoder, the changed tiles to the
    picture, frames counted at the first-tile flag, snapshots and status."""

    def __init__(self, args, source, recorder, out=sys.stderr, outputs=None, view=None):
        self.args = args
        self.source = source
        self.recorder = recorder
        self.out = out
        self.outputs = outputs  # video and raw frames (capture_video.FrameOutputs)
        self.fed_at = None  # when the buffer last decoded arrived
        self.view = view  # the live view in a browser (capture_view.View)
        self.edge = tile_edge(args.scale)
        self.frame_size = None
        self.picture = None
        self.tiles = (0, 0)
        self.frames_started = 0  # first-tile flags seen
        self.counter = capture_frames.FrameCounter()
        self.frames_done = 0  # frames known to be complete
        self.bytes = 0
        self.changed = 0
        self.padding = 0
        self.bogus = 0
        self.stop_reason = None
        self.stop_asked = None
        self.interval = (0.0, 0, 0, 0)  # time, frames, bytes, tiles at the last status line
        self.profile = Profile() if args.profile else None
        timed = self.profile.wrap if self.profile else lambda name, f: f
        self.read = timed('source', source.read)
        self.feed = timed('videoSink', source.feed)
        self.get_changes = timed('getChanges', tessera.getChanges)
        self.to_rgb = timed('toRGBString', tessera.toRGBString)
        self.place = timed('picture', lambda *a: self.picture.put(*a))
        self.write_chunk = timed('recording', recorder.write) if recorder else None

    # Stopping ------------------------------------------------------------

    def ask_stop(self, reason):
        if self.stop_reason is None:
            self.stop_reason = reason
            self.stop_asked = time.time()
            self.source.stop_at = self.stop_asked

    def must_stop(self, at_frame_end):
        """Whether the run ends now. A frame count ends it at the end of that
        frame; Ctrl-C and --seconds at the end of the current frame, or after a
        short grace when no frame ends."""
        if at_frame_end and self.args.frames and self.frames_done >= self.args.frames:
            self.ask_stop('%d frames' % self.args.frames)
            return True
        if self.stop_reason is None:
            return False
        return at_frame_end or time.time() - self.stop_asked >= STOP_GRACE

    def idle(self):
        """Called while a source waits: status lines go on; True ends the wait."""
        self.tick()
        return self.stop_reason is not None

    # The loop ------------------------------------------------------------

    def resize(self, size):
        tessera.createBuffer(*size)
        self.frame_size = size
        self.picture = Picture(size, self.edge)
        self.tiles = self.picture.tiles
        if self.view:
            self.view.set_picture(self.picture)
            self.view.status(self.view_fields(0.0, 0.0))

    def export_changes(self, count=True):
        """Every changed run, from one getChanges over the whole grid (a window
        that runs on through the rows, row-major), fetched with one toRGBString
        per tile row it covers: a tile row of pixels is small enough to stay in
        the caches on its way to the picture. A view gets the runs, and
        with --grey the picture is grey as it arrives."""
        if self.view and self.args.grey:
            tessera.toGreyscale(0)  # the whole store, marking nothing
        wide, high = self.tiles
        runs = [] if self.view else None
        for start, length in self.get_changes(0, wide * high):
            if count:
                self.changed += length
            end = start + length
            while start < end:
                ty, tx = divmod(start, wide)
                width = min(wide - tx, end - start)
                data, size = self.to_rgb(tx, ty, width, 1, self.args.scale)
                self.place(tx, ty, data, size)
                if runs is not None:
                    runs.append((tx, ty, data, size))
                start += width
        if runs:
            self.view.publish(runs)

    def frames_complete(self, last):
        """The picture takes the changes of frames up to `last` once they are
        whole: far fewer and larger runs than after every buffer, and a picture
        that is never half a frame when the frame begins on a buffer's start.
        Frames that ended together in one buffer are exported together; a
        frame limit is never counted past."""
        self.export_changes()
        if self.args.frames:
            last = min(last, self.args.frames)
        for number in range(self.frames_done + 1, last + 1):
            if self.args.every and number % self.args.every == 0:
                root, ext = os.path.splitext(self.args.snapshot)
                self.snapshot('%s-%06d%s' % (root, number, ext or '.png'))
        self.frames_done = last
        if self.outputs:
            self.outputs.add(self, self.fed_at)

    def run(self):
        self.started = time.time()
        self.interval = (self.started, 0, 0, 0)
        if self.args.seconds:
            self.source.stop_at = self.started + self.args.seconds
        at_frame_end = False
        try:
            at_frame_end = self._loop()
        finally:
            if not at_frame_end:
                # Every first-tile flag counts; the last frame may be partial.
                self.frames_done = self.frames_started
            self.elapsed = time.time() - self.started
            if self.picture is not None:
                self.export_changes()
                if not at_frame_end and self.outputs and self.frames_started:
                    self.outputs.add(self, self.fed_at)  # the last frame, whole or not

    def _loop(self):
        """Runs until the source ends or a stop; True when it stopped at the end
        of a frame."""
        while True:
            raw = self.read(self.idle)
            if raw is None:
                self.tick()  # a stop that the source saw first
                break
            if self.source.frame_size != self.frame_size:
                self.resize(self.source.frame_size)
            held = self.source.held()
            if self.frames_started > 0 and capture_frames.begins_frame(held, raw, self.tiles):
                # The frame in the store is whole; this buffer starts the next.
                self.frames_complete(self.frames_started)
                if self.must_stop(True):
                    return True
            first = self.feed(raw)
            self.fed_at = time.time() if self.source.timestamp is None else self.source.timestamp
            self.bytes += len(raw)
            if self.write_chunk:
                self.write_chunk(held, self.frame_size[0], self.frame_size[1], raw)
            self.frames_started += self.counter.count(raw, held, tessera.record(), self.tiles,
                                                      first)
            if self.frames_started - 1 > self.frames_done:
                # The next frame began inside this buffer, where the last ones ended.
                self.frames_complete(self.frames_started - 1)
                if self.must_stop(True):
                    return True
            self.tick()
            if self.must_stop(False):
                break
        return False

    # Output --------------------------------------------------------------

    def collect_stats(self):
        padding, bogus = tessera.getStats()
        self.padding += padding & 0xFFFFFFFF
        self.bogus += bogus & 0xFFFFFFFF

    def tick(self):
        now = time.time()
        if self.args.seconds and now - self.started >= self.args.seconds:
            self.ask_stop('%g seconds' % self.args.seconds)
        then, frames, nbytes, changed = self.interval
        if now - then < 1.0:
            return
        self.collect_stats()
        dt = now - then
        fps, mbps = (self.frames_started - frames) / dt, (self.bytes - nbytes) / dt / 1e6
        self.out.write('%s: %6.1f s %7.1f frames/s %7.1f MB/s %8d tiles/s  padding %d  '
                       'bogus %d%s\n' % (PROG, now - self.started, fps, mbps,
                                         int((self.changed - changed) / dt), self.padding,
                                         self.bogus, self.extra_status()))
        self.out.flush()
        if self.view:
            self.view.status(self.view_fields(fps, mbps))
        self.interval = (now, self.frames_started, self.bytes, self.changed)
        if self.recorder:
            self.recorder.tick()

    def extra_status(self):
        """What the source (stalls, reconnects, waiting for a device), the
        outputs (frames dropped) and the view (viewers, frames skipped for
        them) add to the status line, each part after two spaces."""
        text = ''.join(part.status() for part in (self.source, self.outputs)
                       if hasattr(part, 'status'))
        if self.view:
            text += '  viewers %d  skipped %d' % self.view.counts()
        return text

    def view_fields(self, fps, mbps, ended=False):
        """The figures of the view's status line."""
        picture = self.picture
        return {'source': self.source.name, 'size': self.frame_size or (0, 0),
                'picture': (picture.width, picture.height) if picture else (0, 0),
                'grey': self.args.grey, 'fps': fps, 'mbps': mbps, 'recording': self.args.record,
                'frames': self.frames_done, 'ended': ended}

    def shown_picture(self):
        """The picture as the outputs show it: in grey when asked."""
        if self.args.grey:
            tessera.toGreyscale()  # marks every tile: the picture takes the grey frame
            self.export_changes(count=False)
        return self.picture

    def crop_rect(self):
        """(x, y, width, height) of the picture that outputs show: without
        its black borders when asked."""
        picture = self.picture
        x, y, width, height = 0, 0, picture.width, picture.height
        w, h = self.frame_size
        if self.args.crop and w >= BLACK_EDGE_MIN and h >= BLACK_EDGE_MIN:
            left, right, top, bottom = tessera.getBlackEdges(w, h)
            edge = picture.edge
            x, y = left * edge // 16, top * edge // 16
            width = max(1, picture.width - right * edge // 16 - x)
            height = max(1, picture.height - bottom * edge // 16 - y)
        return x, y, width, height

    def snapshot(self, path):
        """Writes the picture as it stands, grey and cropped when asked."""
        picture = self.picture
        if picture is None:
            return None
        self.shown_picture()
        x, y, width, height = self.crop_rect()
        try:
            capture_png.write_png(path, picture.pixels, picture.stride, x, y, width, height)
        except (IOError, OSError) as e:
            raise OutputError('cannot write %s: %s' % (path, e.strerror))
        return width, height

    def summary(self):
        elapsed = max(self.elapsed, 1e-9)
        self.collect_stats()
        size = '%dx%d' % self.frame_size if self.frame_size else 'no picture'
        self.out.write('%s: %s, %s: %d frames in %.2f s (%.1f frames/s), %.1f MB (%.1f MB/s), '
                       '%d changed tiles (%d/s), padding %d, bogus %d%s%s\n' %
                       (PROG, self.source.name, size, self.frames_done, elapsed,
                        self.frames_done / elapsed, self.bytes / 1e6, self.bytes / 1e6 / elapsed,
                        self.changed, int(self.changed / elapsed), self.padding, self.bogus,
                        ', '.join(self.extra_status().split('  ')),
                        ', stopped after ' + self.stop_reason if self.stop_reason else ''))
        if getattr(self.source, 'dropped_packets', 0):
            self.out.write('%s: dropped the rest of %d packet(s) whose beginning is not in the '
                           'recording\n' % (PROG, self.source.dropped_packets))
        if getattr(self.source, 'cut_packets', 0):
            self.out.write('%s: dropped %d packet(s) whose end is not in the recording: the '
                           'stream stopped there (device gone)\n' %
                           (PROG, self.source.cut_packets))
        if getattr(self.source, 'cut', None):
            self.out.write('%s: %s; replay ended there after %d chunks\n' %
                           (PROG, self.source.cut, self.source.played))
        if self.profile:
            self.profile.report(self.frames_done, elapsed, self.out)


HELP_EPILOG = """\
Sources: without --device, --find or --replay the built-in synthetic grabber
sends an animated test pattern through the tile-stream encoder.

Recording (--record DIR, --keep K) and replay (--replay DIR, --fast): the
files and what each option does are described in docs/recording.md.

Video (--video FILE): every completed frame, at the --scale, --crop and --grey
settings, goes through ffmpeg (found on PATH, or --ffmpeg PATH) into FILE,
which is overwritten. The video has a constant rate of --fps frames a second
(default 30) that follows the capture's time: frames are repeated or left out
by the time they arrived (a replay's recorded time, also with --fast), and the
last captured frame is the video's last. Encoders by the file's extension:
  .mkv .avi .mov .nut   FFV1, lossless (-c:v ffv1 -level 3 -slices 4
                        -slicecrc 1 -pix_fmt bgr0)
  .mp4 .m4v             H.264, lossless in YUV 4:4:4 (-c:v libx264 -preset
                        ultrafast -qp 0 -pix_fmt yuv444p)
  .webm                 VP9, lossless (-c:v libvpx-vp9 -lossless 1 -deadline
                        realtime -cpu-used 8 -row-mt 1 -pix_fmt gbrp)
  -                     FFV1 in Matroska on the standard output
  any other             ffmpeg's own choice for that format
--codec ARGS replaces them, split as a shell would (write --codec=ARGS when
ARGS is one word), e.g. --codec '-c:v libx264 -pix_fmt yuv420p -crf 18' for
players that know only 4:2:0 (even sizes only). With --crop the
borders are measured on the first frame and kept for the whole video.
--raw FILE, or - for the standard output: every completed frame as width x
height x 4 bytes (R, G, B, A, with A 255); the size goes to stderr first:
  capture.py --raw - | ffmpeg -f rawvideo -pix_fmt rgba -s WxH -i - ...
A live capture never waits for ffmpeg or the reader of --raw: when they fall
behind, frames are dropped and counted on the status line (a video keeps its
length; the frame before is shown longer). A replay waits for them instead.

A frame counts at each first-tile flag, also when several frames arrive in one
transfer; those are exported together. A run ends after --frames N frames
(when frame N+1 begins, or the stream ends), after --seconds S, or at Ctrl-C
(at the end of the current frame), and prints a summary.

A device whose endpoint stalls is cleared (CLEAR_HALT) and read again; a
fourth stall within 10 seconds ends the run. With --reconnect, a device that
is unplugged is waited for (the same VID:PID at the same port) and read again;
a recording goes on in the same directory. Files the run writes are checked
before it starts. Exit status: 0; 1 after a device, recording or snapshot
error, or when ffmpeg or the writing of --raw fails; 2 for bad options, a
missing ffmpeg, or encoder arguments that ffmpeg refuses.
"""


def _number(kind, text):
    """`text` as an int or float, or an option error in words a user knows."""
    try:
        value = kind(text)
    except ValueError:
        raise argparse.ArgumentTypeError('%r is not %s' % (
            text, 'a whole number' if kind is int else 'a number'))
    if value != value:  # NaN
        raise argparse.ArgumentTypeError('%r is not a number' % text)
    return value


def frame_size(text):
    try:
        width, height = [int(v) for v in text.lower().split('x')]
    except ValueError:
        raise argparse.ArgumentTypeError('expected WIDTHxHEIGHT, e.g. 1920x1080, not %r' % text)
    if not (1 <= width <= 1920 and 1 <= height <= 1600):
        raise argparse.ArgumentTypeError('frame size from 1x1 to 1920x1600, not %s' % text)
    return width, height


def positive(kind):
    def above_zero(text):
        value = _number(kind, text)
        if value <= 0:
            raise argparse.ArgumentTypeError('must be above 0, not %s' % text)
        return value
    return above_zero


def view_value(text):
    try:
        return capture_view.view_address(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e))


def in_range(low, high, kind=int):
    def within(text):
        value = _number(kind, text)
        if not low <= value <= high:
            raise argparse.ArgumentTypeError('from %s to %s, not %s' % (low, high, text))
        return value
    return within


def scale(text):
    """Below 0.0625 a tile would have no pixel left."""
    value = _number(float, text)
    if not (0.0625 <= value <= 1.0 and tile_edge(value) >= 1):
        raise argparse.ArgumentTypeError('scale from 0.0625 (one pixel a tile) to 1, not %s' %
                                         text)
    return value


def endpoint(text):
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError('%r is not an endpoint address such as 0x81' % text)
    if not 0x81 <= value <= 0x8F:
        raise argparse.ArgumentTypeError('a bulk IN endpoint, 0x81 to 0x8f, not %s' % text)
    return value


def vid_pid(text):
    try:
        return capture_usb.parse_vid_pid(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e))


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog='capture.py', description=__doc__, epilog=HELP_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    source = p.add_argument_group('source')
    src = source.add_mutually_exclusive_group()
    src.add_argument('--device', metavar='NODE', help='USB device node, /dev/bus/usb/BBB/DDD')
    src.add_argument('--find', type=vid_pid, metavar='VID:PID', help='the first attached device with these ids')
    src.add_argument('--replay', metavar='DIR', help='play a recording back')
    source.add_argument('--size', type=frame_size, default=DEFAULT_SIZE, metavar='WxH',
                   help='frame size of a live source (default %dx%d)' % DEFAULT_SIZE)
    source.add_argument('--every-tile', action='store_true',
                   help='synthetic source: send every tile of every frame')
    source.add_argument('--endpoint', type=endpoint, metavar='EP',
                   help='bulk IN endpoint, e.g. 0x81 (default: the first one)')
    source.add_argument('--interface', type=in_range(0, 255), metavar='N',
                   help='interface to claim (default: the endpoint\'s)')
    source.add_argument('--reconnect', action='store_true',
                        help='when the device goes away, wait for it to come back (the same '
                        'VID:PID at the same port) and go on')
    source.add_argument('--timeout', type=in_range(0.0, 1e6, float), default=5.0, metavar='S',
                   help='give up on a device that sends nothing for S seconds (default 5; 0: '
                   'never)')
    run = p.add_argument_group('run')
    run.add_argument('--frames', type=positive(int), metavar='N', help='stop after N frames')
    run.add_argument('--seconds', type=positive(float), metavar='S', help='stop after S seconds')
    run.add_argument('--fast', action='store_true', help='replay as fast as possible')
    run.add_argument('--profile', action='store_true',
                     help='report the time spent in each step of the loop')
    out = p.add_argument_group('output')
    out.add_argument('--scale', type=scale, default=1.0,
                     help='picture scale, 0.0625 to 1 (default 1)')
    out.add_argument('--snapshot', metavar='FILE.png', help='write the last frame as a PNG')
    out.add_argument('--every', type=positive(int), metavar='N',
                     help='also write FILE-<frame>.png after every N-th frame')
    out.add_argument('--grey', action='store_true',
                     help='snapshots, video and raw frames in greyscale')
    out.add_argument('--crop', action='store_true',
                     help='crop black borders off snapshots, video and raw frames')
    out.add_argument('--record', metavar='DIR', help='record every buffer into DIR')
    out.add_argument('--keep', type=positive(int), metavar='K',
                     help='keep only the newest K files (about K seconds) of the recording')
    out.add_argument('--video', metavar='FILE',
                     help='write a video through ffmpeg (- for stdout); see below')
    out.add_argument('--fps', type=in_range(1.0, 1000.0, float), metavar='N',
                     help='frames a second of the video (default %g)' % capture_video.DEFAULT_FPS)
    out.add_argument('--codec', metavar='ARGS',
                     help='ffmpeg encoder arguments instead of the default for the extension')
    out.add_argument('--ffmpeg', metavar='PATH', help='the ffmpeg program (default: from PATH)')
    out.add_argument('--raw', metavar='FILE',
                     help='every frame as raw RGBA to FILE (- for stdout)')
    out.add_argument('--view', type=view_value, metavar='[HOST:]PORT',
                     help='show the picture live in a browser at http://HOST:PORT/ (HOST '
                     '127.0.0.1 unless given; any other than 127.0.0.1, ::1 or localhost '
                     'needs the token printed with the URL); after the capture the last frame '
                     'is shown until Ctrl-C')
    args = p.parse_args(argv)
    if args.every and not args.snapshot:
        p.error('--every needs --snapshot')
    if args.keep and not args.record:
        p.error('--keep needs --record')
    if args.fast and not args.replay:
        p.error('--fast is for --replay')
    if args.every_tile and (args.device or args.find or args.replay):
        p.error('--every-tile is for the synthetic source')
    if args.reconnect and not (args.device or args.find):
        p.error('--reconnect is for --device and --find')
    capture_video.check_args(p, args)
    return args


def open_source(args, out):
    if args.replay:
        return capture_sources.ReplaySource(args.replay, args.fast)
    path = args.device
    if args.find:
        vid, pid = args.find
        found = capture_usb.find_devices(vid, pid)
        if not found:
            raise DeviceError('no USB device %04x:%04x is attached' % (vid, pid))
        path = found[0]
    if path:
        report = lambda text: out.write('%s: %s\n' % (PROG, text))
        return capture_sources.DeviceSource(path, args.size, args.endpoint, args.interface,
                                            args.timeout, args.reconnect, report)
    return capture_sources.SyntheticSource(args.size[0], args.size[1], args.every_tile)


def report_error(out, error):
    """One line for a failure that ends the run; its exit status."""
    out.write('%s: error: %s\n' % (PROG, error))
    return 1


FAILURES = (DeviceError, RecordingError, OutputError, VideoError, capture_view.ViewError)


def main(argv=None, out=sys.stderr):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    capture = None
    source = recorder = outputs = view = None
    status = 0

    def interrupted(signum, frame):
        # The first Ctrl-C ends the run at the end of the frame; a second one at once.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        if capture is None:
            raise KeyboardInterrupt
        capture.ask_stop('Ctrl-C')

    previous_handler = signal.signal(signal.SIGINT, interrupted)
    try:
        # Every file the run writes is known to be writable before it starts.
        if args.snapshot:
            problem = capture_video.unwritable(args.snapshot)
            if problem:
                raise OutputError('cannot write %s: %s' % (args.snapshot, problem))
        if args.record:
            recorder = capture_recording.RecordingWriter(args.record, args.keep or 0)
        if args.view:
            view = capture_view.View(args.view)
            out.write('%s: view at %s\n' % (PROG, view.url))
        source = open_source(args, out)
        if isinstance(source, capture_sources.DeviceSource):
            device = source.device
            out.write('%s: reading %s, interface %d, endpoint 0x%02x%s\n' %
                      (PROG, device.path, device.interface, device.endpoint,
                       ' (taken from %s)' % device.detached_driver if device.detached_driver
                       else ''))
        if args.replay:
            out.write('%s: replaying %s: %d files from %d.out, about %d s\n' %
                      (PROG, args.replay, source.count, source.first, source.seconds))
        outputs = capture_video.open_outputs(args, out, wait=bool(args.replay))
        capture = Capture(args, source, recorder, out, outputs, view)
        try:
            capture.run()
        except FAILURES as e:
            status = report_error(out, e)
        # What arrived before a failure is still shown and summed up.
        try:
            if args.snapshot and capture.picture is not None:
                size = capture.snapshot(args.snapshot)
                out.write('%s: snapshot %s (%dx%d)\n' % ((PROG, args.snapshot) + size))
            elif args.snapshot:
                out.write('%s: no picture arrived; no snapshot written\n' % PROG)
                status = status or 1
        finally:
            capture.summary()
    except FAILURES as e:
        status = report_error(out, e)
    except KeyboardInterrupt:
        out.write('%s: interrupted\n' % PROG)
        status = 130
    finally:
        signal.signal(signal.SIGINT, previous_handler)
        if source:
            source.close()
        if recorder:
            try:
                recorder.close()
                out.write('%s: recording %s: %d chunks; %d files kept, %d.out to %d.out\n' %
                          (PROG, recorder.dirname, recorder.chunks, recorder.next - recorder.first,
                           recorder.first, recorder.next - 1) if recorder.next else
                          '%s: recording %s: no chunks\n' % (PROG, recorder.dirname))
            except RecordingError as e:
                status = report_error(out, e)
        # After the recording's head: ffmpeg may take a while to finish.
        if outputs:
            try:
                outputs.close()
            except VideoError as e:
                status = report_error(out, e)
            except KeyboardInterrupt:
                # ffmpeg reads to the end of what it was given, and ends the file there.
                out.write('%s: interrupted; the video ends early\n' % PROG)
                status = 130
    if view:
        try:
            if capture and capture.picture is not None and status != 130:
                serve_last_frame(capture, view, out)
        finally:
            view.close()
    return status


def serve_last_frame(capture, view, out):
    elapsed = max(capture.elapsed, 1e-9)
    view.status(capture.view_fields(capture.frames_done / elapsed,
                                    capture.bytes / 1e6 / elapsed, ended=True))
    out.write('%s: capture ended; the view shows its last frame until Ctrl-C\n' % PROG)
    out.flush()
    view.serve_until_interrupted()


if __name__ == '__main__':
    sys.exit(main())
