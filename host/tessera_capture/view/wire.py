"""The stream the page reads (GET /stream): one long response of messages.
Each is a little-endian uint32 byte count of what follows, then a 20-byte
header
    kind u8, flags u8, rect count u16, sequence u32 (frames published; 0 in
    a status), host time f64 (seconds since the epoch when the host had the
    changes), picture width u16, height u16,
a table of rects (x, y, w, h as u16, in picture pixels; they may reach past
the picture's right and bottom edges, which the canvas clips), and the rects'
pixels one after another, w*h*4 bytes each, red, green, blue and a fourth
byte that is not an opacity. Kinds: PICTURE (the whole picture, sets the
canvas size), CHANGES (a frame's changed tile runs), STATUS (UTF-8 JSON).
Flag DEFLATE: the pixels or JSON are zlib-compressed as one stream, which the
page asks for with ?deflate=1."""
import struct
import zlib

PICTURE, CHANGES, STATUS = 1, 2, 3
DEFLATE = 1
HEADER = struct.Struct('<IBBHIdHH')  # the byte count, then the 20-byte header
RECT = struct.Struct('<HHHH')
SMALL_MESSAGE = 65536  # messages up to this size go out in one piece


def encode(kind, sequence, stamp, size, rects, payload, deflate):
    """The pieces of one message: the header with its rect table, then the
    payload pieces (bytes-like), deflated as one stream when asked; small
    messages in one piece, so that each is one write."""
    if deflate:
        packer = zlib.compressobj(1)
        payload = [packer.compress(p) for p in payload] + [packer.flush()]
    table = b''.join(RECT.pack(*r) for r in rects)
    length = HEADER.size - 4 + len(table) + sum(len(p) for p in payload)
    head = HEADER.pack(length, kind, DEFLATE if deflate else 0, len(rects),
                       sequence & 0xFFFFFFFF, stamp, size[0], size[1]) + table
    pieces = [head] + [p for p in payload if len(p)]
    if length < SMALL_MESSAGE:
        return [b''.join(pieces)]
    return pieces
