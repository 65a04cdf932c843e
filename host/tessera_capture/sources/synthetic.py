"""The built-in grabber: the encoder's animated test pattern as a tile stream."""
import ctypes

from .. import tilestream


def _first_difference(a, b, start, length):
    """Offset from `start` of the first byte where a and b differ within
    `length` bytes; they are known to differ somewhere in that range."""
    lo, hi = 0, length  # a prefix of lo bytes is equal, one of hi bytes is not
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if a[start:start + mid] == b[start:start + mid]:
            lo = mid
        else:
            hi = mid
    return hi - 1


def _last_difference(a, b, start, length):
    lo, hi = 0, length  # a suffix of lo bytes is equal, one of hi bytes is not
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if a[start + length - mid:start + length] == b[start + length - mid:start + length]:
            lo = mid
        else:
            hi = mid
    return length - hi


def changed_tiles(previous, current, width, height):
    """One byte per tile, 1 where the RGB565 frames `previous` and `current`
    (memoryviews of byte strings) may differ. Per tile row it marks the span of columns from
    the leftmost to the rightmost differing pixel, a superset of the changed
    tiles that costs a few comparisons per changed line only."""
    tiles_wide, tiles_high = (width + 15) // 16, (height + 15) // 16
    mask = bytearray(tiles_wide * tiles_high)
    line = width * 2
    for ty in range(tiles_high):
        top, bottom = ty * 16 * line, min(height, ty * 16 + 16) * line
        if previous[top:bottom] == current[top:bottom]:
            continue
        left, right = line, -1
        for start in range(top, bottom, line):
            if previous[start:start + line] == current[start:start + line]:
                continue
            left = min(left, _first_difference(previous, current, start, line))
            right = max(right, _last_difference(previous, current, start, line))
        first, last = left // 32, right // 32  # 16 pixels of 2 bytes a tile
        mask[ty * tiles_wide + first:ty * tiles_wide + last + 1] = b'\1' * (last - first + 1)
    return bytes(mask)


class SyntheticSource:
    """The built-in grabber: the encoder's animated test pattern, one frame at
    a time, cut into 16 KiB transfers with fill packets, pixel packets, padding
    and the first-tile flag. A frame's last transfer is short, as a device ends
    a transfer when its frame is out, so every frame starts a new buffer. Only
    the tiles that differ from the previous frame are sent, or every tile of
    every frame with `every_tile`."""

    name = 'synthetic grabber'
    stop_at = None
    timestamp = None
    chunk = None
    reconnects = 0

    def __init__(self, width, height, every_tile=False):
        self.encoder = tilestream.Encoder(width, height)
        self.frame_size = (width, height)
        self.every_tile = every_tile
        self.number = -1  # test-pattern number of the frame being sent
        self.previous = None

    def _queue_next_frame(self):
        self.number += 1
        width, height = self.frame_size
        frame = tilestream.test_pattern(width, height, self.number)
        if self.every_tile:
            self.encoder.put_frame(frame)
            return
        current = memoryview(ctypes.string_at(ctypes.addressof(frame), ctypes.sizeof(frame)))
        mask = None if self.previous is None else changed_tiles(self.previous, current, width,
                                                                height)
        self.encoder.put_frame(frame, mask)
        self.previous = current

    def read(self, idle):
        if not self.encoder.pending():
            self._queue_next_frame()
        return self.encoder.take()



    def close(self):
        pass
