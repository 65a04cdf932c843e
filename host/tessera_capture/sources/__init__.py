"""Where the tile stream comes from: the built-in synthetic grabber, a USB
device read through sluice64, or a recording.

Every source has the same small surface for the capture loop:
  name          what the status lines call it
  frame_size    (width, height) of the frame store the stream is meant for
  stop_at       set by the loop to the time a stop was asked for
  read(idle)    the next buffer, or None when the stream has ended, or when
                the source has nothing to give and idle() says to stop waiting
  chunk         the recorded chunk of that buffer (a replay), else None
  timestamp     when that buffer arrived, as recorded; None for a live
                source, whose buffers arrive as they are read
  reconnects    times the stream started over (a device came back)
  close()
"""
from ..errors import DeviceError
from .usb import find_devices


def open_source(settings, report):
    """The source that `settings` name; `report` takes a device's news."""
    if settings.replay:
        from .replay import ReplaySource
        return ReplaySource(settings.replay, settings.fast)
    path = settings.device
    if settings.find:
        vid, pid = settings.find
        found = find_devices(vid, pid)
        if not found:
            raise DeviceError('no USB device %04x:%04x is attached' % (vid, pid))
        path = found[0]
    if path:
        from .device import DeviceSource
        return DeviceSource(path, settings.size, settings.endpoint, settings.interface,
                            settings.timeout, settings.reconnect, report)
    from .synthetic import SyntheticSource
    return SyntheticSource(settings.size[0], settings.size[1], settings.every_tile)
