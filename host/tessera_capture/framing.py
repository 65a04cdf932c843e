"""Exact frame counts for the capture host.

videoSink reports at most one first-tile flag per call, so a transfer that
holds the end of one frame and the start of the next, or several small
frames, would be counted as one. FrameCounter counts every first-tile flag
that a call decodes by reading the packet headers the way the decoder walks
them: items from the buffer's start (after the completion of a held packet),
4-byte fill packets, 516-byte pixel packets, padding markers that skip to the
next 512-byte boundary of the buffer, a pixel packet cut off at the end held
until the next buffer, and a flag that counts only on a tile inside the grid.

The walk is needed only when videoSink raised the flag, and there it jumps
over whole runs of packets of one kind at once: the header's high bytes at the
run's stride are taken in one slice and searched in one regular expression
match, so that Python code runs per run, not per packet.
"""
import re
import struct

from .tile_format import (FILL_FLAG, FILL_PACKET_BYTES as FILL_BYTES, FIRST_TILE_FLAG as FIRST_FLAG,
                         PADDING_BLOCK_BYTES as BLOCK, PADDING_WORD as PADDING,
                         PIXEL_PACKET_BYTES as PACKET_BYTES, tile_column, tile_row)

# High byte of a header word: below 0x40 a plain pixel packet, 0x40 to 0x7f a
# plain fill packet; from 0x80 on a first-tile flag or a padding marker. A run
# ends at the first header of another class.
_PIXEL_RUN_END = re.compile(b'[\x40-\xff]')
_FILL_RUN_END = re.compile(b'[\x00-\x3f\x80-\xff]')
_ITEM = struct.Struct('<HH')


def _in_grid(header, tiles):
    return tile_column(header) < tiles[0] and tile_row(header) < tiles[1]


def begins_frame(held, raw, tiles):
    """Whether the buffer starts with the first tile of a frame, read before it
    is decoded: nothing held, and its first item an in-grid packet with the
    first-tile flag."""
    if held != (0, 0) or len(raw) < 4:
        return False
    colour, header = _ITEM.unpack_from(raw, 0)
    if not header & FIRST_FLAG or (colour, header) == (PADDING, PADDING):
        return False
    return _in_grid(header, tiles)


def _run_length(raw, at, step, count, run_end):
    """How many of the `count` items from `at`, `step` bytes apart, have
    headers of the class that `run_end` does not match."""
    highs = bytes(raw[at + 3:at + 3 + step * count:step])
    found = run_end.search(highs)
    return found.start() if found else count


def count_first_tiles(raw, start, tiles):
    """First-tile flags on tiles inside the grid among the packets that the
    decoder completes in `raw` from offset `start`."""
    length = len(raw)
    pos = read = start  # the decoder's two positions, apart after an odd skip
    count = 0
    while length - pos > 3:
        remaining = length - pos
        colour, header = _ITEM.unpack_from(raw, read)
        high = header >> 8
        if high < 0x40:
            if remaining < PACKET_BYTES:
                return count
            run = _run_length(raw, read, PACKET_BYTES, remaining // PACKET_BYTES,
                              _PIXEL_RUN_END)
            pos += run * PACKET_BYTES
            read += run * PACKET_BYTES
        elif high < 0x80:
            run = _run_length(raw, read, FILL_BYTES, remaining // FILL_BYTES, _FILL_RUN_END)
            pos += run * FILL_BYTES
            read += run * FILL_BYTES
        elif header == PADDING and colour == PADDING:
            skip = min(BLOCK - pos % BLOCK, remaining)
            pos += skip
            read += skip & ~1
        else:
            fill = header & FILL_FLAG
            if not fill and remaining < PACKET_BYTES:
                return count
            if _in_grid(header, tiles):
                count += 1
            step = FILL_BYTES if fill else PACKET_BYTES
            pos += step
            read += step
    return count


class FrameCounter(object):
    """Counts the first-tile flags of a live or replayed stream, buffer by
    buffer, from the held-packet state each buffer is decoded from."""

    def __init__(self):
        self.held_first = False  # the held packet's flag, counted once it is completed

    def reset(self):
        """The stream starts over: a held packet will not be completed."""
        self.held_first = False

    def count(self, raw, held, held_after, tiles, flagged):
        """First-tile flags that decoding `raw` took in, from the held state
        `held` before it to `held_after` (tessera.record() after it);
        `flagged` is the flag videoSink returned for it."""
        needed, size = held
        start = 0
        # Stale when the held packet was dropped (a device that started over).
        held_first, self.held_first = self.held_first and needed != 0, False
        if needed:
            start = min(needed - size, len(raw))
            if size + start < needed:
                self.held_first = held_first  # still incomplete: the flag waits
                return 0
        count = held_first + count_first_tiles(raw, start, tiles) if flagged else 0
        if held_after[0]:
            # The buffer's own decoding held a packet cut off at its end.
            colour, header = _ITEM.unpack_from(raw, len(raw) - held_after[1])
            self.held_first = bool(header & FIRST_FLAG) and _in_grid(header, tiles)
        return count
