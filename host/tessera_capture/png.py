"""PNG files of the capture host's picture, written with zlib alone.

The picture arrives as rows of 4-byte pixels in the frame store's byte order
(red, green, blue, fourth byte); the file is 8-bit RGB without the fourth byte,
whose value in a scaled export is an average rather than an opacity.
"""
import os
import struct
import zlib

SIGNATURE = b'\x89PNG\r\n\x1a\n'


def _chunk(kind, data):
    crc = zlib.crc32(kind + data) & 0xFFFFFFFF
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', crc)


def encode_png(pixels, stride, x, y, width, height, level=6):
    """The PNG bytes of the width x height rectangle at (x, y) of `pixels`,
    a buffer of 4-byte pixels whose rows start `stride` bytes apart."""
    if width < 1 or height < 1:
        raise ValueError('empty picture %dx%d' % (width, height))
    if x < 0 or y < 0 or (x + width) * 4 > stride or (y + height) * stride > len(pixels):
        raise ValueError('rectangle outside the picture')
    rgba = bytearray(width * height * 4)
    row = width * 4
    for r in range(height):
        start = (y + r) * stride + x * 4
        rgba[r * row:(r + 1) * row] = pixels[start:start + row]
    rgb = bytearray(width * height * 3)
    for channel in range(3):
        rgb[channel::3] = rgba[channel::4]
    # Every row carries filter type 0 (none) in front of its bytes.
    line = width * 3
    raw = bytearray((line + 1) * height)
    for r in range(height):
        raw[r * (line + 1) + 1:(r + 1) * (line + 1)] = rgb[r * line:(r + 1) * line]
    header = struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0)
    return (SIGNATURE + _chunk(b'IHDR', header) + _chunk(b'IDAT', zlib.compress(bytes(raw), level)) +
            _chunk(b'IEND', b''))


def write_png(path, pixels, stride, x, y, width, height):
    """Writes the rectangle as a PNG file. The file appears whole: it is written
    next to its final name and renamed, so a viewer never reads half of it."""
    data = encode_png(pixels, stride, x, y, width, height)
    temp = '%s.%d.tmp' % (path, os.getpid())
    try:
        with open(temp, 'wb') as f:
            f.write(data)
        os.rename(temp, path)
    except BaseException:
        if os.path.exists(temp):
            os.remove(temp)
        raise
