"""The grabber's tile stream as the host reads it: the values of
src/core/tessera/tile_format.h, which the decoder and the encoder use (a test
checks that the two agree).

Each packet starts with two little-endian words, a colour and a header; a
pixel packet goes on with the tile's 16x16 RGB565 words."""

# Header bits: the tile's column in bits 0-6 and its row in bits 7-13.
TILE_ROW_SHIFT = 7
TILE_COORDINATE_MASK = 0x7F
# Set: the tile is one colour, the packet's colour word; no pixels follow.
FILL_FLAG = 0x4000
# Set on the first packet of a frame.
FIRST_TILE_FLAG = 0x8000
# Both words of a padding marker: the rest of the 512-byte block is filler.
PADDING_WORD = 0xFFFF

FILL_PACKET_BYTES = 4
PIXEL_PACKET_BYTES = 516
PADDING_BLOCK_BYTES = 512


def tile_column(header):
    return header & TILE_COORDINATE_MASK


def tile_row(header):
    return (header >> TILE_ROW_SHIFT) & TILE_COORDINATE_MASK
