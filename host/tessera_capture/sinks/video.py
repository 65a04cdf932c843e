"""Video out for the capture host: every completed frame, at the capture's
scale, crop and grey settings, to a video file through ffmpeg (--video) and
as raw RGBA frames to a file or a pipe (--raw).

ffmpeg runs as a child process that reads a Matroska stream on its standard
input. The video follows the capture's time at --fps frames a second: each
frame takes the slot nearest its capture time and shows until the next one's
slot, of frames that share a slot the last one is kept, and the last captured
frame is the video's last and lasts one slot, so that a minute of capture
plays for a minute. Each frame that keeps a slot is piped and encoded once,
stamped with its slot's time: the file is variable-rate on a grid of --fps,
which a player that needs a constant rate fills by repeating frames. (At a
constant rate every repeat would cost the encoder two thirds of a frame.)

Each output is written by a thread of its own from a bounded queue, so the
capture loop never waits on ffmpeg or on a slow reader of the pipe: when the
queue is full a frame is dropped and counted instead (the frame before it
lasts longer). A replay, which loses nothing by waiting, waits for room
instead, so a converted recording is whole.
"""
import math
import os
import re
import shlex
import shutil
import subprocess
import tempfile

from ..errors import PROG, UsageError
from . import matroska
from .files import unwritable
from .frame_queue import FrameQueue, write_all

DEFAULT_FPS = 30.0

# Encoder arguments by the output's extension, chosen for CPU a frame on
# 1080p captures. Lossless H.264 in RGB costs a quarter of FFV1's time and
# files a tenth of its size (bench/video_cpu.py); of the orders x264 takes,
# B, G, R, X costs it least.
LOSSLESS = ('-c:v', 'libx264rgb', '-preset', 'ultrafast', '-qp', '0', '-pix_fmt', 'bgr0')
# FFV1 for archives that want it; version 3 codes slices in parallel and
# checks each with a CRC.
FFV1 = ('-c:v', 'ffv1', '-level', '3', '-slices', '4', '-slicecrc', '1', '-pix_fmt', 'bgr0')
# H.264 4:2:0 in the High profile, which phones, TVs and browsers play: the
# fastest preset with CABAC and 8x8 transforms back on; moov ahead of the
# frames, so that playback starts before the whole file has arrived.
PLAYABLE = ('-c:v', 'libx264', '-preset', 'ultrafast', '-x264-params', 'cabac=1:8x8dct=1',
            '-profile:v', 'high', '-crf', '18', '-pix_fmt', 'yuv420p', '-movflags', '+faststart')
# VP9 4:2:0 as browsers play it, as fast as libvpx goes.
VP9 = ('-c:v', 'libvpx-vp9', '-deadline', 'realtime', '-cpu-used', '8', '-row-mt', '1',
       '-crf', '30', '-b:v', '0', '-pix_fmt', 'yuv420p')
ENCODERS = {'.mkv': LOSSLESS, '.nut': LOSSLESS, '.avi': FFV1, '.mov': FFV1,
            '.mp4': PLAYABLE, '.m4v': PLAYABLE, '.webm': VP9}
# Any other extension gets ffmpeg's own choice for that format.

# Pixel formats whose chroma is halved both ways: x264 takes even sizes only.
HALVED_CHROMA = ('yuv420p', 'yuvj420p', 'nv12')
# Formats that take the time scale of their video track as an option.
MP4_FAMILY = ('.mp4', '.m4v', '.mov')
# The options of the encoder arguments that the command takes apart.
FILTER_OPTIONS = ('-vf', '-filter:v')


def default_encoder(path):
    """Encoder arguments for an output file; '-' is Matroska on stdout."""
    if path == '-':
        return list(LOSSLESS)
    return list(ENCODERS.get(os.path.splitext(path)[1].lower(), ()))


def option(arguments, name):
    """The value given last to option `name` in `arguments`, or None."""
    values = [arguments[i + 1] for i in range(len(arguments) - 1) if arguments[i] == name]
    return values[-1] if values else None


def even_size(encoder, size):
    """The size the video is padded to: `size`, or the next even one when
    the encoder's pixel format halves the chroma."""
    if option(encoder, '-pix_fmt') not in HALVED_CHROMA:
        return size
    return tuple(n + n % 2 for n in size)


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
    """ffmpeg reading the Matroska stream of frames of `size` on its
    standard input, writing with the `encoder` arguments to `output` ('-':
    Matroska on its standard output), each frame at its time on the grid of
    `fps`."""
    filters, rest, i = [], [], 0
    while i < len(encoder):
        if encoder[i] in FILTER_OPTIONS and i + 1 < len(encoder):
            filters.append(encoder[i + 1])
            i += 2
        else:
            rest.append(encoder[i])
            i += 1
    padded = even_size(encoder, size)
    if padded != size:
        filters.append('pad=%d:%d' % padded)
    timing = ['-fps_mode', 'passthrough']
    if os.path.splitext(output)[1].lower() in MP4_FAMILY:
        # The edit list would be as long as the frames' durations, and the
        # encoder gives the last frame none: a video of one frame would show
        # nothing.
        timing += ['-use_editlist', '0']
        if fps == int(fps):
            # A tick a slot: the last frame, which the muxer gives one tick,
            # then lasts one slot.
            timing += ['-video_track_timescale', '%d' % fps]
    target = ['-f', 'matroska', 'pipe:1'] if output == '-' else [output]
    return ([ffmpeg, '-hide_banner', '-nostats', '-loglevel', 'error', '-y',
             '-f', 'matroska', '-i', 'pipe:0'] + (['-vf', ','.join(filters)] if filters else []) +
            timing + rest + target)


PROBE_SIZE = (64, 64)


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
    return subprocess.Popen(command, stdin=subprocess.PIPE, stdout=stdout, stderr=log,
                            close_fds=True, start_new_session=True)


def _probe(ffmpeg, encoder, output):
    """Runs ffmpeg once on one small black frame with the run's encoder and
    output format; the message that names the cause when it fails, else None."""
    workdir = tempfile.mkdtemp(prefix='capture-probe-')
    target = os.path.join(workdir, 'probe' + ('.mkv' if output == '-' else
                                              os.path.splitext(output)[1]))
    frame_bytes = PROBE_SIZE[0] * PROBE_SIZE[1] * 4
    try:
        with open(os.devnull, 'wb') as devnull, tempfile.TemporaryFile() as log:
            child = _spawn(ffmpeg_command(ffmpeg, PROBE_SIZE, DEFAULT_FPS, encoder, target),
                           devnull, log)
            child.communicate(matroska.header(*PROBE_SIZE) + matroska.frame_prefix(0, frame_bytes)
                              + b'\0' * frame_bytes)
            if child.returncode != 0:
                message = ffmpeg_message(log, first=True) or 'exit status %d' % child.returncode
                return message.replace(target, output)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return None


class VideoPlan:
    """What a run's video is written with, settled before the capture starts:
    the output path, the frame rate, the ffmpeg program and the encoder's
    arguments."""

    def __init__(self, path, fps, ffmpeg, encoder):
        self.path, self.fps, self.ffmpeg, self.encoder = path, fps, ffmpeg, encoder


def plan_video(path, fps=None, codec=None, ffmpeg=None):
    """Refuses (UsageError), before anything starts, a video that cannot be
    written: no ffmpeg, encoder arguments or a format ffmpeg refuses, a file
    that cannot be written. The VideoPlan otherwise."""
    if path != '-':
        problem = unwritable(path)
        if problem:
            raise UsageError('argument --video: cannot write %s: %s' % (path, problem))
    try:
        encoder = shlex.split(codec) if codec is not None else default_encoder(path)
    except ValueError as e:
        raise UsageError('argument --codec: %s' % e)
    found = find_program(ffmpeg or 'ffmpeg')
    if found is None:
        raise UsageError(
            'ffmpeg not found on PATH: install the ffmpeg package, or name the program with '
            '--ffmpeg PATH' if ffmpeg is None else
            'argument --ffmpeg: %s is not an executable program' % ffmpeg, usage=False)
    problem = _probe(found, encoder, path)
    if problem:
        raise UsageError('argument %s: ffmpeg cannot write %s with %s: %s' % (
            '--codec' if codec is not None else '--video', path,
            ' '.join(encoder) or "ffmpeg's default encoder", problem))
    return VideoPlan(path, fps or DEFAULT_FPS, found, encoder)


class VideoOutput:
    """ffmpeg writing a video of frames of `size`, each placed on the output's
    constant-rate timeline by its capture time."""

    def __init__(self, plan, size, wait, out):
        self.path = plan.path
        self.fps = plan.fps
        self.out = out
        self.size = size
        padded = even_size(plan.encoder, size)
        if padded != size:
            out.write('%s: video %dx%d padded with black to %dx%d: its pixel format takes even '
                      'sizes only\n' % ((PROG,) + size + padded))
            out.flush()
        self.command = ffmpeg_command(plan.ffmpeg, size, self.fps, plan.encoder, self.path)
        self.log = tempfile.TemporaryFile()
        # With '-' ffmpeg writes the video to the capture's standard output.
        self.devnull = None if self.path == '-' else open(os.devnull, 'wb')
        self.child = None  # started by the writer thread
        self.queue = FrameQueue(self._start, size[0] * size[1] * 4, wait, 'video writer')
        self.first_time = None
        # The newest frame and its slot, queued once a later frame takes a
        # later slot (of frames that share one, only the last is piped) or at
        # the end: the capture's last frame then ends the video even when
        # ffmpeg is behind.
        self.held = None
        self.captured = 0

    def add(self, frame, when):
        """False once ffmpeg has failed."""
        self.captured += 1
        if self.held is None:
            self.first_time, slot = when, 0
        else:
            # Nearest slot; rounding half up the same way under every Python.
            slot = max(self.held[1], int(math.floor((when - self.first_time) * self.fps + 0.5)))
            if slot > self.held[1] and not self._put():
                return False
        self.held = (frame, slot)
        return True

    def _put(self, last=False):
        """Queues the held frame at its slot's time; the last one lasts a slot."""
        frame, slot = self.held
        prefix = matroska.frame_prefix(int(round(slot * 1000.0 / self.fps)), len(frame),
                                       int(round(1000.0 / self.fps)) if last else None)
        return self.queue.put((prefix, frame), slot)

    def _start(self):
        self.child = _spawn(self.command, self.devnull, self.log)
        fd = self.child.stdin.fileno()
        write_all(fd, matroska.header(*self.size))
        return fd

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
            self._put(last=True)
        behind, oldest = self.queue.pending()
        if oldest is not None and self.held[1] - oldest >= self.fps:
            self.out.write('%s: waiting for ffmpeg to encode the last %d frames (%.1f s of '
                           'video)\n' % (PROG, behind, (self.held[1] + 1 - oldest) / self.fps))
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
        frames = self.held[1] + 1 if self.held else 0
        return ('video %s: %d frames at %g frames/s (%.2f s) from %d captured, %d dropped '
                'while ffmpeg was behind' % ('to stdout' if self.path == '-' else self.path,
                                             frames, self.fps, frames / self.fps, self.captured,
                                             self.queue.dropped))
