"""Shared pieces of the capture host's tests: running the command, reading
its PNG files back, and the pictures it should produce, computed from the
test pattern without the modules."""
import os
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

from tessera_capture import tilestream

HERE = os.path.dirname(os.path.abspath(__file__))


def capture_command():
    """The command the suites run, as a list: the tree's launcher, or the one
    TESSERA_CAPTURE_COMMAND names (`tessera-capture`, a path, or words such as
    `python3 -m tessera_capture`), its program resolved now so that tests
    that narrow PATH still reach it."""
    given = shlex.split(os.environ.get('TESSERA_CAPTURE_COMMAND', ''))
    if not given:
        root = os.path.dirname(os.path.dirname(HERE))
        return [sys.executable, os.path.join(root, 'tools', 'python', 'capture.py')], 'capture.py'
    program = shutil.which(given[0])
    if program is None:
        raise RuntimeError('TESSERA_CAPTURE_COMMAND: %s not found' % given[0])
    return [os.path.abspath(program)] + given[1:], 'tessera-capture'


# PROG is the name the command's usage errors start with.
CAPTURE, PROG = capture_command()
# Generous: under the sanitizers the modules run several times slower.
RUN_LIMIT = 120


def start_capture(args, env=None, text=True):
    """The capture as a child; `text` False keeps its output as bytes."""
    return subprocess.Popen(CAPTURE + list(args), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env, universal_newlines=text)


def finish(process, limit=RUN_LIMIT):
    """(exit status, stdout, stderr); a process still running after `limit`
    seconds is killed and the test fails instead of hanging."""
    timer = threading.Timer(limit, process.kill)
    timer.start()
    try:
        out, err = process.communicate()
    finally:
        timer.cancel()
    if process.returncode == -signal.SIGKILL:
        raise AssertionError('%s did not end within %d s:\n%s' % (PROG, limit, err))
    return process.returncode, out, err


def run_capture(args, env=None, limit=RUN_LIMIT, text=True):
    return finish(start_capture(args, env, text), limit)


def wait_for_line(stream, text, limit):
    """Reads lines of a child's stream until one contains `text`."""
    deadline = time.time() + limit
    seen = []
    while time.time() < deadline:
        line = stream.readline()
        if not line:
            break
        seen.append(line)
        if text in line:
            return seen
    raise AssertionError('no line with %r within %d s; got %r' % (text, limit, seen))


class TempDir(object):
    def __init__(self):
        self.path = tempfile.mkdtemp(prefix='capture-test-')

    def __call__(self, *names):
        return os.path.join(self.path, *names)

    def remove(self):
        for root, dirs, files in os.walk(self.path, topdown=False):
            for name in files:
                os.remove(os.path.join(root, name))
            for name in dirs:
                os.rmdir(os.path.join(root, name))
        os.rmdir(self.path)


def read_png(path):
    """(width, height, RGB bytes) of an 8-bit RGB PNG, checking every chunk's
    CRC. Only the unfiltered rows that the capture host writes are accepted."""
    with open(path, 'rb') as f:
        data = f.read()
    assert data[:8] == b'\x89PNG\r\n\x1a\n', 'not a PNG file'
    pos, idat, header = 8, [], None
    while pos < len(data):
        length, = struct.unpack('>I', data[pos:pos + 4])
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]
        crc, = struct.unpack('>I', data[pos + 8 + length:pos + 12 + length])
        assert crc == zlib.crc32(kind + body) & 0xFFFFFFFF, 'bad CRC in %s' % kind
        if kind == b'IHDR':
            header = struct.unpack('>IIBBBBB', body)
        elif kind == b'IDAT':
            idat.append(body)
        elif kind == b'IEND':
            break
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = header
    assert (depth, colour, interlace) == (8, 2, 0), header
    raw = bytearray(zlib.decompress(b''.join(idat)))
    line = width * 3
    assert len(raw) == height * (line + 1)
    rows = []
    for r in range(height):
        assert raw[r * (line + 1)] == 0, 'row %d is filtered' % r
        rows.append(bytes(raw[r * (line + 1) + 1:(r + 1) * (line + 1)]))
    return width, height, b''.join(rows)


def pattern_rgb(width, height, number):
    """The test pattern's frame `number` as the decoder paints it, as RGB bytes."""
    pixels = tilestream.expand(tilestream.test_pattern(width, height, number))
    rgb = bytearray(width * height * 3)
    for c in range(3):
        rgb[c::3] = pixels[c::4]
    return bytes(rgb)


def shrink_half(rgb, width, height):
    """RGB halved both ways as the box filter does it at scale 0.5: each pass
    averages two samples and truncates."""
    src = bytearray(rgb)
    half_w, half_h = width // 2, height // 2
    across = bytearray(half_w * height * 3)
    for y in range(height):
        for x in range(half_w):
            for c in range(3):
                a = src[(y * width + 2 * x) * 3 + c]
                b = src[(y * width + 2 * x + 1) * 3 + c]
                across[(y * half_w + x) * 3 + c] = (a + b) >> 1
    out = bytearray(half_w * half_h * 3)
    for y in range(half_h):
        for i in range(half_w * 3):
            out[y * half_w * 3 + i] = (across[2 * y * half_w * 3 + i] +
                                       across[(2 * y + 1) * half_w * 3 + i]) >> 1
    return bytes(out)


def grey(rgb):
    out = bytearray(rgb)
    for i in range(0, len(out), 3):
        out[i] = out[i + 1] = out[i + 2] = (out[i] + out[i + 1] + out[i + 2]) // 3
    return bytes(out)


def is_black(rgb, i):
    """`rgb`: a bytearray, whose items are ints under 2.7 and 3."""
    return rgb[i] < 32 and rgb[i + 1] < 32 and rgb[i + 2] < 64


def black_edges(rgb, width, height, limit=75):
    """(left, right, top, bottom) black lines around the picture, as many as
    75 a side; a pair that reaches 75 counts as none."""
    rgb = bytearray(rgb)
    def row(y):
        return all(is_black(rgb, (y * width + x) * 3) for x in range(width))

    def column(x):
        return all(is_black(rgb, (y * width + x) * 3) for y in range(height))

    def count(test, lines):
        n = 0
        while n < limit and test(lines[n]):
            n += 1
        return n
    top, bottom = count(row, range(height)), count(row, range(height - 1, -1, -1))
    left, right = count(column, range(width)), count(column, range(width - 1, -1, -1))
    if left == limit or right == limit:
        left = right = 0
    if top == limit or bottom == limit:
        top = bottom = 0
    return left, right, top, bottom


def crop(rgb, width, x, y, w, h):
    return b''.join(rgb[((y + r) * width + x) * 3:((y + r) * width + x + w) * 3] for r in range(h))


def summary_frames(stderr):
    """The frame count of the run's summary line."""
    for line in stderr.splitlines():
        if ' frames in ' in line:
            return int(line.split(' frames in ')[0].rsplit(' ', 1)[1])
    raise AssertionError('no summary in:\n' + stderr)
