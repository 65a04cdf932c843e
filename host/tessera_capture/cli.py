"""The command line of the capture host: options into Settings, and the run."""
import argparse
import functools
import sys

from . import app, devices
from .decoder import tile_edge
from .errors import COMMAND, UsageError
from .settings import DEFAULT_SIZE, Settings
from .sinks.v4l2 import DEFAULT_FORMAT as DEFAULT_CAMERA_FORMAT
from .sinks.v4l2 import FORMATS as CAMERA_FORMATS
from .sinks.video import DEFAULT_FPS
from .sources.usb import parse_vid_pid
from .view import view_address

PROG_NAME = COMMAND
DESCRIPTION = """\
The reference capture host: reads a grabber's tile stream (a USB device, a
recording, or the built-in synthetic grabber), decodes it with tessera, keeps
the picture up to date from the changed tiles, and writes snapshots,
recordings and status lines."""

HELP_EPILOG = """\
Devices: --list shows the attached USB devices that have a bulk IN endpoint
(bus, port, VID:PID, manufacturer and product, the node) and whether you may
open them, and why not. Opening a node needs root or a udev rule: --udev-rule
VID:PID prints one for that device (the logged-in user may open it, and so
may the group plugdev on a machine nobody logs in to) and says on stderr where
it goes and how to reload udev. Neither starts a capture.

Sources: without --device, --find or --replay the built-in synthetic grabber
sends an animated test pattern through the tile-stream encoder.

Recording (--record DIR, --keep K) and replay (--replay DIR, --fast): the
files and what each option does are described in docs/recording.md.

Video (--video FILE): every completed frame, at the --scale, --crop and --grey
settings, goes through ffmpeg (found on PATH, or --ffmpeg PATH) into FILE,
which is overwritten. The video follows the capture's time on a grid of --fps
frames a second (default 30): each frame takes the slot nearest the time it
arrived (a replay's recorded time, also with --fast) and shows until the next
frame's slot; of frames that share a slot the last is kept, and the last
captured frame is the video's last, for one slot. Each frame is sent to ffmpeg
and stored once, at its slot's time: the file has a variable rate (a tool that
needs a constant one repeats frames: ffmpeg -i FILE -vf fps=FPS ...).
Encoders by the file's extension (chosen for CPU a frame at 1080p):
  .mkv .nut             H.264 in RGB, lossless (-c:v libx264rgb -preset
                        ultrafast -qp 0 -pix_fmt bgr0)
  .mp4 .m4v             H.264 4:2:0, High profile, moov first: plays in
                        browsers, phones and TVs (-c:v libx264 -preset
                        ultrafast -x264-params cabac=1:8x8dct=1 -profile:v
                        high -crf 18 -pix_fmt yuv420p -movflags +faststart);
                        an odd width or height is padded with black to even
  .avi .mov             FFV1, lossless (-c:v ffv1 -level 3 -slices 4
                        -slicecrc 1 -pix_fmt bgr0)
  .webm                 VP9 4:2:0 as browsers play it (-c:v libvpx-vp9
                        -deadline realtime -cpu-used 8 -row-mt 1 -crf 30
                        -b:v 0 -pix_fmt yuv420p)
  -                     lossless H.264 in RGB, Matroska on the standard output
  any other             ffmpeg's own choice for that format
--codec ARGS replaces them, split as a shell would (write --codec=ARGS when
ARGS is one word), e.g. --codec '-c:v ffv1 -level 3 -pix_fmt bgr0' for an
FFV1 archive; a -vf in ARGS runs before the padding. With --crop
the borders are measured on the first frame and kept for the whole video.
--raw FILE, or - for the standard output: every completed frame as width x
height x 4 bytes (R, G, B, A, with A 255); the size goes to stderr first:
  capture.py --raw - | ffmpeg -f rawvideo -pix_fmt rgba -s WxH -i - ...
A live capture never waits for ffmpeg or the reader of --raw: when they fall
behind, frames are dropped and counted on the status line (a video keeps its
length; the frame before is shown longer). A replay waits for them instead.
ffmpeg and the threads that feed it run 10 steps nicer than the capture.

Camera (--v4l2 DEVICE): every frame, at the --scale, --crop and --grey
settings, goes to a v4l2loopback device, which video calls, browsers, OBS and
ffplay then open as a camera. Make one (Debian package v4l2loopback-dkms):
  sudo modprobe v4l2loopback exclusive_caps=1 devices=1 video_nr=9 \\
      card_label="Tessera capture"
  capture.py --find VID:PID --v4l2 /dev/video9
The camera offers a steady --fps (default 30), the last picture again while
the grabber sends nothing (also while --reconnect waits for it); a picture is
stamped with its capture time, a repeat a tick after the buffer before.
--v4l2-format YUYV (4:2:2, BT.601 limited range, the format cameras have and
every reader takes) or RGB3 (exact R, G, B); an odd width is padded to an
even one for YUYV. The camera never holds up the capture, and readers may
come and go.

A frame counts at each first-tile flag, also when several frames arrive in one
transfer; those are exported together. A run ends after --frames N frames
(when frame N+1 begins, or the stream ends), after --seconds S, or at Ctrl-C
or SIGTERM (at the end of the current frame), and prints a summary.

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


def _option(parse):
    """An option type from a parser whose ValueError says what is wrong."""
    def typed(text):
        try:
            return parse(text)
        except ValueError as e:
            raise argparse.ArgumentTypeError(str(e))
    return typed


view_value = _option(view_address)
vid_pid = _option(parse_vid_pid)


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


def parser(prog):
    p = argparse.ArgumentParser(
        prog=prog, description=DESCRIPTION, epilog=HELP_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    listed = p.add_argument_group('devices (instead of a capture)').add_mutually_exclusive_group()
    listed.add_argument('--list', action='store_true',
                        help='list the attached USB devices with a bulk IN endpoint')
    listed.add_argument('--udev-rule', type=vid_pid, metavar='VID:PID',
                        help='print a udev rule that lets users open this device')
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
                     help='frames a second of the video and the camera (default %g)' %
                     DEFAULT_FPS)
    out.add_argument('--codec', metavar='ARGS',
                     help='ffmpeg encoder arguments instead of the default for the extension')
    out.add_argument('--ffmpeg', metavar='PATH', help='the ffmpeg program (default: from PATH)')
    out.add_argument('--raw', metavar='FILE',
                     help='every frame as raw RGBA to FILE (- for stdout)')
    out.add_argument('--view', type=view_value, metavar='[HOST:]PORT',
                     help='show the picture live in a browser at http://HOST:PORT/ (HOST '
                     '127.0.0.1 unless given; any other than 127.0.0.1, ::1 or localhost '
                     'needs the token printed with the URL); after a capture that ended by '
                     'itself the last frame is shown until Ctrl-C')
    out.add_argument('--v4l2', metavar='DEVICE',
                     help='be a camera: every frame to a v4l2loopback device, e.g. /dev/video9; '
                     'see below')
    out.add_argument('--v4l2-format', choices=CAMERA_FORMATS, metavar='FORMAT',
                     help='pixel format of the camera: %s (default %s)' %
                     (' or '.join(CAMERA_FORMATS), DEFAULT_CAMERA_FORMAT))
    return p


def _list(out, err):
    return devices.list_devices(out)


def _device_command(p, args):
    """--list or --udev-rule as a function of (stdout, stderr) giving the
    exit status, or None for a capture."""
    given = vars(args)  # the namespace itself: what is popped is not a setting
    listing, ids = given.pop('list'), given.pop('udev_rule')
    if ids is not None:
        command = functools.partial(devices.print_udev_rule, ids)
    elif listing:
        command = _list
    else:
        return None
    for name, value in given.items():
        if value != p.get_default(name):
            p.error('--%s is for a capture, not for --list or --udev-rule' %
                    name.replace('_', '-'))
    return command


def parse_args(argv, prog=PROG_NAME):
    """(parser, the Settings of a capture, None) or, for --list and
    --udev-rule, (parser, None, the command); exits with status 2 for a
    command line that cannot work."""
    p = parser(prog)
    args = p.parse_args(argv)
    command = _device_command(p, args)
    if command:
        return p, None, command
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
    if args.fps is not None and not (args.video or args.v4l2):
        p.error('--fps is for --video and --v4l2')
    for name in ('codec', 'ffmpeg'):
        if getattr(args, name) is not None and not args.video:
            p.error('--%s is for --video' % name)
    if args.v4l2_format and not args.v4l2:
        p.error('--v4l2-format is for --v4l2')
    if args.video == '-' and args.raw == '-':
        p.error('--video - and --raw - cannot both have the standard output')
    return p, Settings(**vars(args)), None


def main(argv=None, prog=PROG_NAME, out=sys.stderr):
    """Runs a command line; its exit status."""
    p, settings, command = parse_args(sys.argv[1:] if argv is None else argv, prog)
    if command:
        return command(sys.stdout, out)
    try:
        plan = app.prepare(settings)
    except UsageError as e:
        if e.usage:
            p.error(str(e))
        p.exit(2, '%s: error: %s\n' % (p.prog, e))
    return app.run(plan, out)
