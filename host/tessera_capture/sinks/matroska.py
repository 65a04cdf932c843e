"""ffmpeg's input as a Matroska stream of uncompressed frames, each block
stamped with its capture time, so that ffmpeg gets every frame once and
places it on the output's timeline itself."""
import struct

# Blocks are timed in milliseconds.
TIMESTAMP_SCALE = 1000000
# A segment whose end is not known: it ends with the stream.
UNKNOWN_SIZE = b'\x01\xff\xff\xff\xff\xff\xff\xff'
# The fourcc ffmpeg reads as 4-byte pixels R, G, B and an ignored byte.
PIXELS_RGB0 = b'RGB\0'


def _size(n):
    """An element's size as an EBML variable-length integer, 8 bytes long."""
    return struct.pack('>Q', n | (1 << 56))


def _element(ident, payload):
    return ident + _size(len(payload)) + payload


def _uint(ident, value):
    return _element(ident, struct.pack('>Q', value))


def header(width, height, fourcc=PIXELS_RGB0):
    """The stream up to its first frame: one video track of width x height
    frames of 4-byte pixels in the order `fourcc` names."""
    ebml = _element(b'\x1a\x45\xdf\xa3', b''.join((
        _uint(b'\x42\x86', 1), _uint(b'\x42\xf7', 1),  # EBML version, read version
        _uint(b'\x42\xf2', 4), _uint(b'\x42\xf3', 8),  # longest id, longest size
        _element(b'\x42\x82', b'matroska'), _uint(b'\x42\x87', 4), _uint(b'\x42\x85', 2))))
    info = _element(b'\x15\x49\xa9\x66', _uint(b'\x2a\xd7\xb1', TIMESTAMP_SCALE) +
                    _element(b'\x4d\x80', b'tessera capture') +
                    _element(b'\x57\x41', b'tessera capture'))
    video = _element(b'\xe0', _uint(b'\xb0', width) + _uint(b'\xba', height) +
                     _element(b'\x2e\xb5\x24', fourcc))
    track = _element(b'\xae', b''.join((
        _uint(b'\xd7', 1), _uint(b'\x73\xc5', 1), _uint(b'\x83', 1),  # number, uid, video
        _uint(b'\x9c', 0), _element(b'\x86', b'V_UNCOMPRESSED'), video)))
    return ebml + b'\x18\x53\x80\x67' + UNKNOWN_SIZE + info + _element(b'\x16\x54\xae\x6b', track)


def _block(ident, flags, frame_bytes):
    head = b'\x81\x00\x00' + flags  # track 1, at the cluster's time
    return ident + _size(len(head) + frame_bytes) + head


def frame_prefix(milliseconds, frame_bytes, duration=None):
    """What goes before a frame's bytes: a cluster of its own at its time
    holding the frame (a block's time within its cluster has only 16 bits, a
    cluster's has 64). A frame with a `duration` (ms) goes in a block group,
    which carries one; the others in a simple block, a keyframe."""
    if duration is None:
        block = _block(b'\xa3', b'\x80', frame_bytes)
    else:
        inner = _uint(b'\x9b', duration) + _block(b'\xa1', b'\x00', frame_bytes)
        block = b'\xa0' + _size(len(inner) + frame_bytes) + inner
    cluster = _uint(b'\xe7', milliseconds) + block
    return b'\x1f\x43\xb6\x75' + _size(len(cluster) + frame_bytes) + cluster
