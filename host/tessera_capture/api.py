"""Frames from Python: the capture loop without the command line.

    with tessera_capture.open('1234:5678') as capture:
        for frame in capture.frames():
            ...

`source` is None (the built-in synthetic grabber), a device node
/dev/bus/usb/BBB/DDD, 'VID:PID' (the first such device attached) or a
recording directory. Errors are CaptureError and its kinds, with the words
the command line prints."""
import os
import re
import threading

from .decoder import Decoder, tile_edge
from .errors import CaptureError, UsageError
from .loop import Capture
from .settings import DEFAULT_SIZE, Settings
from .sources import open_source
from .sources.usb import parse_vid_pid

_VID_PID = re.compile(r'^[0-9a-fA-F]{1,4}:[0-9a-fA-F]{1,4}$')
# The frame store is one per process.
_open_lock = threading.Lock()
_in_use = [False]


def _source_settings(source):
    if source is None:
        return {}
    source = os.fspath(source)
    if _VID_PID.match(source):
        return {'find': parse_vid_pid(source)}
    if os.path.isdir(source):
        return {'replay': source}
    if source.startswith('/dev/') or os.path.exists(source):
        return {'device': source}
    raise UsageError('no such source: %r (a device node /dev/bus/usb/BBB/DDD, VID:PID or a '
                     'recording directory)' % source)


def _check(settings):
    width, height = settings.size
    if not (1 <= width <= 1920 and 1 <= height <= 1600):
        raise UsageError('frame size from 1x1 to 1920x1600, not %dx%d' % settings.size)
    if not (0.0625 <= settings.scale <= 1.0 and tile_edge(settings.scale) >= 1):
        raise UsageError('scale from 0.0625 (one pixel a tile) to 1, not %s' % settings.scale)
    if settings.endpoint is not None and not 0x81 <= settings.endpoint <= 0x8F:
        raise UsageError('a bulk IN endpoint, 0x81 to 0x8f, not %s' % settings.endpoint)


class CaptureSession:
    """An open source and the loop over it. frames() yields each completed
    frame with its pixels; close() (or the end of the with block) ends it."""

    def __init__(self, settings):
        with _open_lock:
            if _in_use[0]:
                raise CaptureError('a capture is already open in this process')
            _in_use[0] = True
        self.settings = settings
        self.source = None
        try:
            self.source = open_source(settings, lambda text: None)
        except BaseException:
            self.close()
            raise
        self.capture = Capture(settings, self.source, Decoder(),
                               pixels=lambda number, count: True)

    @property
    def name(self):
        """What the source is: its node, recording directory or 'synthetic grabber'."""
        return self.source.name

    def frames(self):
        if self.source is None:
            raise CaptureError('the capture is closed')
        return self.capture.frames()

    def stop(self):
        """Ends frames() at the end of the current frame (from any thread)."""
        self.capture.ask_stop('stop()')

    def close(self):
        if self.source is not None:
            self.source.close()
            self.source = None
        with _open_lock:
            _in_use[0] = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def open(source=None, size=DEFAULT_SIZE, scale=1.0, grey=False, crop=False, endpoint=None,
         interface=None, reconnect=False, timeout=5.0, frames=None, seconds=None, fast=False,
         every_tile=False):
    """A CaptureSession of `source` (see the module's doc string). `size` is
    the frame size of a live source; `scale` 0.0625 to 1 shrinks the picture;
    `grey` and `crop` (black borders off, in each frame's `crop`) as the
    command line's; `frames` and `seconds` end frames() after that many;
    `fast` replays without waiting; `timeout` gives up on a device silent
    that long (0: never)."""
    settings = Settings(size=tuple(size), scale=float(scale), grey=grey, crop=crop,
                        endpoint=endpoint, interface=interface, reconnect=reconnect,
                        timeout=timeout, frames=frames, seconds=seconds, fast=fast,
                        every_tile=every_tile, **_source_settings(source))
    _check(settings)
    if settings.reconnect and not (settings.device or settings.find):
        raise UsageError('reconnect is for a device')
    return CaptureSession(settings)
