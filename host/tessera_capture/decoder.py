"""The frame store and its decoder, as the rest of the host sees them. This is
the only module that imports tessera: the store is one per process, and every
call into it goes through here."""
import struct

import tessera

# A recorded chunk's header; one of zeros resets the held-packet state.
CHUNK_HEADER = struct.Struct('<iiii')
# getBlackEdges needs an active area at least this large.
BLACK_EDGE_MIN = 75


def tile_edge(scale):
    """Pixels per tile edge that toRGBString makes of `scale`: its single-precision
    product with 16, truncated, never above 16."""
    single = struct.unpack('f', struct.pack('f', scale))[0]
    return min(16, int(single * 16))


def find_recording_head(data):
    """(first, count, seconds) of a recording's head record."""
    return tessera.findrechead(data)


def remove_recording_files(dirname, first, last):
    """Removes DIR/<first>.out up to DIR/<last - 1>.out, missing ones skipped."""
    tessera.removefiles(dirname, first, last, 1)


class Decoder(object):
    """Buffers in, a frame store that follows them, and its changed runs out.

    Live buffers continue from the store's own held-packet state; a replayed
    chunk carries the state it was recorded with. A chunk whose held packet is
    not the one the store holds cannot be completed: the rest of that packet
    is dropped (`dropped_packets` when its beginning is not in the recording,
    `cut_packets` when the recorded stream stopped before its end)."""

    def __init__(self):
        self.size = None
        self.dropped_packets = 0
        self.cut_packets = 0

    def resize(self, size):
        tessera.createBuffer(*size)
        self.size = size

    def held(self, chunk=None):
        """The held-packet pair the decoding of the next buffer starts from."""
        return (chunk.needed, chunk.held) if chunk is not None else tessera.record()

    def restart(self):
        """The stream starts over (a device came back): a packet held from
        before would be completed from unrelated bytes."""
        self._reset(*self.size)

    def _reset(self, width, height):
        tessera.playvideo(CHUNK_HEADER.pack(0, 0, width, height))

    def feed(self, raw, chunk=None):
        """Decodes a buffer into the store; the first-tile flag."""
        if chunk is None:
            return tessera.videoSink(raw)[1]
        if tessera.record() == (chunk.needed, chunk.held):
            tessera.playvideo(chunk.data)
            return tessera.videoSink(b'')[1]  # the flag that playvideo leaves raised
        # Completing the held packet from whatever the store holds would paint
        # a garbage tile; padding still counts from the buffer's start.
        self.dropped_packets += chunk.needed != 0
        self.cut_packets += tessera.record()[0] != 0
        self._reset(chunk.width, chunk.height)
        return tessera.videoSink(raw, min(chunk.needed - chunk.held, len(raw)))[1]

    def grey(self):
        """The whole store in grey, marking nothing: tiles painted since arrive
        in colour and are greyed with the next call."""
        tessera.toGreyscale(0)

    def changes(self, tiles):
        """Every changed run of the grid, row-major; consumes the marks."""
        return tessera.getChanges(0, tiles)

    def export(self, tx, ty, width, scale):
        """(pixels, (w, h)) of `width` tiles of tile row `ty` from column `tx`."""
        return tessera.toRGBString(tx, ty, width, 1, scale)

    def black_edges(self):
        """(left, right, top, bottom) black tiles, or None for a store too small."""
        width, height = self.size
        if width < BLACK_EDGE_MIN or height < BLACK_EDGE_MIN:
            return None
        return tessera.getBlackEdges(width, height)

    def stats(self):
        """(padding, bogus) since the last call."""
        padding, bogus = tessera.getStats()
        return padding & 0xFFFFFFFF, bogus & 0xFFFFFFFF
