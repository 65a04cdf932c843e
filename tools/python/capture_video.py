"""Video out for the capture host: every completed frame, at the capture's
scale, crop and grey settings, to a video file through ffmpeg (--video) and
as raw RGBA frames to a file or a pipe (--raw).

ffmpeg runs as a child process that reads raw frames on its standard input.
The video has a constant frame rate (--fps): each frame takes the output slot
nearest its capture time, a frame is repeated until the next one's slot, and
of frames that share a slot the last one is kept, so that a minute of capture
plays for a minute and the last captured frame is the video's last frame.

Each output is written by a thread of its own from a bounded queue, so the
capture loop never waits on ffmpeg or on a slow reader of the pipe: when the
queue is full a frame is dropped and counted instead. A replay, which loses
nothing by waiting, waits for room instead, so a converted recording is whole.
"""
from __future__ import absolute_import, division, print_function

import collections
import errno
import fcntl
import math
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import threading

PROG = 'capture'
DEFAULT_FPS = 30.0
# The queue holds at most this many frames, and no more bytes than this.
QUEUE_FRAMES = 60
QUEUE_BYTES = 128 << 20
# ffmpeg reads 4-byte pixels and ignores the fourth byte, which in a scaled
# export is an average rather than an opacity.
INPUT_PIXELS = 'rgb0'

# Encoder arguments by the output's extension. FFV1 is lossless and goes into
# every container here that carries it; version 3 codes slices in parallel
# and checks each with a CRC.
FFV1 = ('-c:v', 'ffv1', '-level', '3', '-slices', '4', '-slicecrc', '1', '-pix_fmt', 'bgr0')
# H.264 at quantiser 0 in 4:4:4: lossless but for the RGB to YUV rounding.
X264 = ('-c:v', 'libx264', '-preset', 'ultrafast', '-qp', '0', '-pix_fmt', 'yuv444p')
# Lossless VP9 in planar RGB, as fast as libvpx goes.
VP9 = ('-c:v', 'libvpx-vp9', '-lossless', '1', '-deadline', 'realtime', '-cpu-used', '8',
       '-row-mt', '1', '-pix_fmt', 'gbrp')
ENCODERS = {'.mkv': FFV1, '.avi': FFV1, '.nut': FFV1, '.mov': FFV1,
            '.mp4': X264, '.m4v': X264, '.webm': VP9}
# Any other extension gets ffmpeg's own choice for that format.

PROBE_SIZE = (64, 64)
# fcntl's name for it arrived in Python 3.10; the value is Linux's.
F_SETPIPE_SZ = 1031
PIPE_BYTES = 1 << 20


class VideoError(Exception):
    """A video or raw output that cannot be written."""


def default_encoder(path):
    """Encoder arguments for an output file; '-' is Matroska on stdout."""
    if path == '-':
        return list(FFV1)
    return list(ENCODERS.get(os.path.splitext(path)[1].lower(), ()))


def find_program(name):
    """The path of an executable: `name` itself when it holds a slash, else
    the first match on PATH; None when there is none."""
    if os.sep in name:
        candidates = [name]
    else:
        candidates = [os.path.join(d or '.', name)
                      for d in os.environ.get('PATH', os.defpath).split(os.pathsep)]
    for path in candidates:
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    return None


def ffmpeg_command(ffmpeg, size, fps, encoder, output):
    """ffmpeg reading raw frames of `size` on its standard input at `fps`,
    writing with the `encoder` arguments to `output` ('-': Matroska on its
    standard output)."""
    target = ['-f', 'matroska', 'pipe:1'] if output == '-' else [output]
    return ([ffmpeg, '-hide_banner', '-nostats', '-loglevel', 'error', '-y',
             '-f', 'rawvideo', '-pix_fmt', INPUT_PIXELS, '-video_size', '%dx%d' % size,
             '-framerate', '%.10g' % fps, '-i', 'pipe:0'] + encoder + target)


# The "[mp4 @ 0x55d0c0a8e540] " in front of a message of one of ffmpeg's parts.
CONTEXT = re.compile(r'^(\[[^]]* @ 0x[0-9a-f]+\] )+')


def ffmpeg_message(log, first=False):
    """The last line (or the first, which names the cause of a refusal) that
    ffmpeg wrote to its error log, a file; '' when there is none."""
    log.seek(0)
    lines = [CONTEXT.sub('', l).strip()
             for l in log.read().decode('utf-8', 'replace').splitlines()]
    lines = [l for l in lines if l]
    return lines[0 if first else -1] if lines else ''


def _spawn(command, stdout, log):
    # A session of its own: the terminal's Ctrl-C is for the capture, which
    # ends its frame and then closes the video; ffmpeg must not end first.
    # Only the three standard descriptors are inherited (not the device's).
    if sys.version_info[0] >= 3:
        detach = {'start_new_session': True}  # done without running Python in the child
    else:
        detach = {'preexec_fn': os.setsid}
    return subprocess.Popen(command, stdin=subprocess.PIPE, stdout=stdout, stderr=log,
                            close_fds=True, **detach)


def unwritable(path):
    """The strerror of opening `path` for writing, or None; leaves no file
    behind that was not there before."""
    existed = os.path.exists(path)
    try:
        open(path, 'ab').close()
    except (IOError, OSError) as e:
        return e.strerror
    if not existed:
        os.remove(path)
    return None


def _probe(ffmpeg, encoder, output):
    """Runs ffmpeg once on one small black frame with the run's encoder and
    output format; the message that names the cause when it fails, else None."""
    workdir = tempfile.mkdtemp(prefix='capture-probe-')
    target = os.path.join(workdir, 'probe' + ('.mkv' if output == '-' else
                                              os.path.splitext(output)[1]))
    try:
        with open(os.devnull, 'wb') as devnull, tempfile.TemporaryFile() as log:
            child = _spawn(ffmpeg_command(ffmpeg, PROBE_SIZE, DEFAULT_FPS, encoder, target),
                           devnull, log)
            child.communicate(b'\0' * (PROBE_SIZE[0] * PROBE_SIZE[1] * 4))
            if child.returncode != 0:
                message = ffmpeg_message(log, first=True) or 'exit status %d' % child.returncode
                return message.replace(target, output)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return None


def check_args(parser, args):
    """Refuses, with exit status 2 and before anything starts, video options
    that cannot work: no ffmpeg, encoder arguments or a format ffmpeg refuses,
    files that cannot be written. Leaves the encoder arguments in args.encoder."""
    for name in ('fps', 'codec', 'ffmpeg'):
        if getattr(args, name) is not None and not args.video:
            parser.error('--%s is for --video' % name)
    if args.fps is None:
        args.fps = DEFAULT_FPS
    if args.video == '-' and args.raw == '-':
        parser.error('--video - and --raw - cannot both have the standard output')
    for option, path in (('--video', args.video), ('--raw', args.raw)):
        if path and path != '-':
            problem = unwritable(path)
            if problem:
                parser.error('argument %s: cannot write %s: %s' % (option, path, problem))
    if not args.video:
        return
    try:
        args.encoder = (shlex.split(args.codec) if args.codec is not None else
                        default_encoder(args.video))
    except ValueError as e:
        parser.error('argument --codec: %s' % e)
    found = find_program(args.ffmpeg or 'ffmpeg')
    if found is None:
        parser.exit(2, '%s: error: %s\n' % (parser.prog, (
            'ffmpeg not found on PATH: install the ffmpeg package, or name the program with '
            '--ffmpeg PATH' if args.ffmpeg is None else
            'argument --ffmpeg: %s is not an executable program' % args.ffmpeg)))
    args.ffmpeg = found
    problem = _probe(args.ffmpeg, args.encoder, args.video)
    if problem:
        parser.error('argument %s: ffmpeg cannot write %s with %s: %s' % (
            '--codec' if args.codec is not None else '--video', args.video,
            ' '.join(args.encoder) or "ffmpeg's default encoder", problem))


def _widen_pipe(fd):
    """A frame crosses a 64 KiB pipe in over a hundred turns of writer and
    reader; a wider pipe saves most of them. Anything but a pipe, or a limit
    below the width, keeps what it has."""
    try:
        fcntl.fcntl(fd, F_SETPIPE_SZ, PIPE_BYTES)
    except (IOError, OSError):
        pass


def _write_all(fd, data):
    view = memoryview(data)
    while len(view):
        try:
            view = view[os.write(fd, view):]
        except OSError as e:
            if e.errno != errno.EINTR:
                raise


class FrameQueue(object):
    """Frames written to a descriptor by a thread of their own, which first
    calls `start` for the descriptor (starting ffmpeg takes a while, which
    the capture loop does not wait out).

    Each entry is a frame and the number of times it is written in a row.
    With the queue full, put() drops the frame and counts it; when
    `keep_time`, the frame queued last takes over its count, so the output
    keeps its length. With `wait`, put() waits for room instead."""

    def __init__(self, start, frame_bytes, keep_time, wait, name):
        self.start = start
        self.limit = max(2, min(QUEUE_FRAMES, QUEUE_BYTES // frame_bytes))
        self.keep_time = keep_time
        self.wait = wait
        self.entries = collections.deque()
        self.changed = threading.Condition()
        self.closing = False
        self.error = None  # the OSError that ended the writing
        self.dropped = 0
        self.written = 0  # frames written, repeats included
        self.thread = threading.Thread(target=self._run, name=name)
        self.thread.daemon = True
        self.thread.start()

    def put(self, frame, count=1):
        """Queues `frame` to be written `count` times; False once the writing
        has failed."""
        with self.changed:
            while self.wait and len(self.entries) >= self.limit and self.error is None:
                self.changed.wait(0.1)
            if self.error is not None:
                return False
            if len(self.entries) < self.limit:
                self.entries.append([frame, count])
                self.changed.notify_all()
            else:
                self.dropped += 1
                if self.keep_time:
                    self.entries[-1][1] += count
        return True

    def pending(self):
        """Frames queued, repeats included."""
        with self.changed:
            return sum(count for _, count in self.entries)

    def _run(self):
        try:
            fd = self.start()
            _widen_pipe(fd)
            while True:
                with self.changed:
                    while not self.entries and not self.closing:
                        self.changed.wait()
                    if not self.entries:
                        return
                    frame, count = self.entries.popleft()
                    self.changed.notify_all()
                for _ in range(count):
                    _write_all(fd, frame)
                    self.written += 1
        except (IOError, OSError) as e:
            with self.changed:
                self.error = e
                self.entries.clear()
                self.changed.notify_all()

    def finish(self):
        """Waits until everything queued is written or the writing failed;
        returns the error, if any."""
        with self.changed:
            self.closing = True
            self.changed.notify_all()
        while self.thread.is_alive():
            self.thread.join(0.1)  # a timeout keeps Ctrl-C deliverable
        return self.error


class VideoOutput(object):
    """ffmpeg writing a video of frames of `size`, each placed on the output's
    constant-rate timeline by its capture time."""

    def __init__(self, args, size, wait, out):
        self.path = args.video
        self.fps = args.fps
        self.out = out
        self.command = ffmpeg_command(args.ffmpeg, size, self.fps, args.encoder, self.path)
        self.log = tempfile.TemporaryFile()
        # With '-' ffmpeg writes the video to the capture's standard output.
        self.devnull = None if self.path == '-' else open(os.devnull, 'wb')
        self.child = None  # started by the writer thread
        self.queue = FrameQueue(self._start, size[0] * size[1] * 4, True, wait, 'video writer')
        self.first_time = None
        self.held = None  # the newest frame and its slot; written once the next slot is known
        self.captured = 0

    def add(self, frame, when):
        """False once ffmpeg has failed."""
        self.captured += 1
        if self.held is None:
            self.first_time, slot = when, 0
        else:
            # Nearest slot; rounding half up the same way under every Python.
            slot = max(self.held[1], int(math.floor((when - self.first_time) * self.fps + 0.5)))
            if slot > self.held[1] and not self.queue.put(self.held[0], slot - self.held[1]):
                return False
        self.held = (frame, slot)
        return True

    def _start(self):
        self.child = _spawn(self.command, self.devnull, self.log)
        return self.child.stdin.fileno()

    def failure(self):
        """Why ffmpeg failed, once it has ended."""
        if self.child is None:
            return 'cannot run %s: %s' % (self.command[0], self.queue.error.strerror)
        status = self.child.wait()
        how = ('was killed by signal %d' % -status if status < 0 else
               'ended with exit status %d' % status if status else 'stopped reading')
        message = ffmpeg_message(self.log)
        return 'ffmpeg %s while writing %s%s' % (how, 'to stdout' if self.path == '-' else
                                                  self.path, ': ' + message if message else '')

    def close(self):
        """Writes the last frame, lets ffmpeg finish the file; a failure
        message or None."""
        if self.held is not None:
            self.queue.wait = True  # the capture is over: the last frame must not be dropped
            self.queue.put(self.held[0])
        behind = self.queue.pending()
        if behind > self.fps:
            self.out.write('%s: waiting for ffmpeg to encode the last %d frames (%.1f s of '
                           'video)\n' % (PROG, behind, behind / self.fps))
            self.out.flush()
        error = self.queue.finish()
        if self.devnull:
            self.devnull.close()
        if self.child is None:
            return self.failure()
        try:
            self.child.stdin.close()
        except (IOError, OSError):
            pass  # a broken pipe: ffmpeg's exit status tells the rest
        return self.failure() if error or self.child.wait() else None

    def summary(self):
        frames = self.queue.written
        return ('video %s: %d frames at %g frames/s (%.2f s) from %d captured, %d dropped '
                'while ffmpeg was behind' % ('to stdout' if self.path == '-' else self.path,
                                             frames, self.fps, frames / self.fps, self.captured,
                                             self.queue.dropped))


class RawOutput(object):
    """Every frame as it is, to a file or the standard output."""

    def __init__(self, path, size, wait):
        self.path = path
        if path == '-':
            self.file = None
            fd = 1
        else:
            try:
                self.file = open(path, 'wb')
            except (IOError, OSError) as e:
                raise VideoError('cannot write %s: %s' % (path, e.strerror))
            fd = self.file.fileno()
        self.queue = FrameQueue(lambda: fd, size[0] * size[1] * 4, False, wait, 'raw writer')
        self.captured = 0
        # The newest frame, queued when the next one comes or at the end: the
        # capture's last frame is then written even when the reader is behind.
        self.held = None

    def name(self):
        return 'stdout' if self.path == '-' else self.path

    def add(self, frame):
        """False once the writing has failed."""
        self.captured += 1
        written = self.held is None or self.queue.put(self.held)
        self.held = frame
        return written

    def failure(self):
        return 'cannot write raw frames to %s: %s' % (self.name(), self.queue.error.strerror)

    def close(self):
        if self.held is not None:
            self.queue.wait = True  # the capture is over: the last frame must not be dropped
            self.queue.put(self.held)
        error = self.queue.finish()
        if self.file:
            try:
                self.file.close()
            except (IOError, OSError) as e:
                self.queue.error = error = error or e
        return self.failure() if error else None

    def summary(self):
        return 'raw frames to %s: %d of %d written, %d dropped while the reader was behind' % (
            self.name(), self.queue.written, self.captured, self.queue.dropped)


class FrameOutputs(object):
    """The video and raw outputs of a run. They start at the first frame,
    whose picture (after cropping) fixes the size of every frame: a picture
    that later changes size is cut, or filled with black, to it."""

    def __init__(self, args, out, wait):
        self.args = args
        self.out = out
        self.wait = wait
        self.rect = None
        self.video = self.raw = None
        self.failed = None  # the output whose failure was raised

    def add(self, capture, when):
        """Takes the capture's picture as a completed frame that arrived at
        `when` (seconds); VideoError when an output has failed."""
        if self.failed:
            return
        picture = capture.shown_picture()
        if self.rect is None:
            self._start(capture.crop_rect() if self.args.crop else
                        (0, 0, picture.width, picture.height))
        frame = self._cut(picture)
        if self.raw:
            frame[3::4] = self.opaque
            if not self.raw.add(frame):
                self._fail(self.raw)
        if self.video and not self.video.add(frame, when):
            self._fail(self.video)

    def _start(self, rect):
        self.rect = rect
        size = rect[2:]
        if self.args.video:
            self.video = VideoOutput(self.args, size, self.wait, self.out)
        if self.args.raw:
            self.out.write('%s: raw frames %dx%d, 4 bytes a pixel (R, G, B, A), %d bytes a '
                           'frame\n' % ((PROG,) + size + (size[0] * size[1] * 4,)))
            self.out.flush()
            self.opaque = b'\xff' * (size[0] * size[1])
            self.raw = RawOutput(self.args.raw, size, self.wait)

    def _cut(self, picture):
        x, y, width, height = self.rect
        stride, row = picture.stride, width * 4
        if x == 0 and row == stride and y + height <= picture.height:
            return bytearray(picture.view[y * stride:(y + height) * stride])
        frame = bytearray(row * height)
        part = max(0, min(width, picture.width - x)) * 4
        for r in range(max(0, min(height, picture.height - y))):
            at = (y + r) * stride + x * 4
            frame[r * row:r * row + part] = picture.view[at:at + part]
        return frame

    def _fail(self, output):
        self.failed = output
        raise VideoError(output.failure())

    def status(self):
        """What the status line says of the outputs."""
        return ''.join('  %s dropped %d' % (name, output.queue.dropped)
                       for name, output in (('video', self.video), ('raw', self.raw)) if output)

    def close(self):
        """Finishes every output and reports it; VideoError for a failure not
        raised before."""
        if self.rect is None:
            raise VideoError('no picture arrived; no video or raw frames written')
        failures = []
        for output in (self.raw, self.video):
            if output:
                failure = output.close()
                self.out.write('%s: %s\n' % (PROG, output.summary()))
                if failure and output is not self.failed:
                    failures.append(failure)
        if failures:
            raise VideoError('; '.join(failures))


def open_outputs(args, out, wait):
    """The run's FrameOutputs, or None without --video and --raw."""
    return FrameOutputs(args, out, wait) if args.video or args.raw else None
