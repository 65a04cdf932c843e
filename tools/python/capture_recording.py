"""The capture host's recordings: one chunk file per bulk buffer and a head record.

A recording is a directory:

  DIR/<n>.out   chunk number n (decimal, from 0, no leading zeros): a 16-byte
                header of four little-endian signed 32-bit words, then the raw
                buffer exactly as the device sent it.
                  0  held-packet total  } what tessera.record() returned just
                  4  held-packet bytes  } before the buffer went to videoSink
                  8  frame width in pixels
                 12  frame height in pixels
                The file's modification time is the buffer's arrival time;
                replay at recorded speed keeps the gaps between them.
  DIR/rechead   the head record: three little-endian unsigned 32-bit words,
                  0  number of the oldest chunk file present
                  4  number of chunk files present (numbered consecutively)
                  8  chunks per second over the whole recording (at least 1)
                so tessera.findrechead() returns (oldest chunk, chunk count,
                seconds covered by the chunks present). It is rewritten once a
                second while recording and when the recording ends.

With --keep K only the newest K chunk files are kept; older ones are deleted
with tessera.removefiles() as new ones are written.
"""
import errno
import os
import struct
import time

import tessera
from byteview import byte_view

HEAD_NAME = 'rechead'
CHUNK_HEADER = struct.Struct('<iiii')
HEAD = struct.Struct('<III')
MAX_WIDTH, MAX_HEIGHT = 1920, 1600
PACKET_BYTES = 516
# removefiles builds "DIR/<n>.out" in 200 bytes, NUL included; chunk numbers
# stay below 2**31, at most 10 digits.
MAX_KEEP_DIR = 199 - len('/') - 10 - len('.out')


class RecordingError(Exception):
    """A recording that cannot be written, or read back as written."""


def chunk_path(dirname, number):
    return os.path.join(dirname, '%d.out' % number)


def _atomic_write(path, data):
    temp = path + '.tmp'
    with open(temp, 'wb') as f:
        f.write(data)
    os.rename(temp, path)


class RecordingWriter(object):
    """Writes chunk files and keeps the head record up to date."""

    def __init__(self, dirname, keep=0):
        if keep and len(dirname) > MAX_KEEP_DIR:
            raise RecordingError('recording directory name too long for --keep '
                                 '(at most %d characters): %s' % (MAX_KEEP_DIR, dirname))
        try:
            os.makedirs(dirname)
        except OSError as e:
            if e.errno != errno.EEXIST or not os.path.isdir(dirname):
                raise RecordingError('cannot create %s: %s' % (dirname, e.strerror))
        if os.path.exists(os.path.join(dirname, HEAD_NAME)):
            raise RecordingError('%s already holds a recording' % dirname)
        self.dirname = dirname
        self.keep = keep
        self.first = 0  # oldest chunk present
        self.next = 0  # number of the next chunk
        self.bytes = 0
        self.started = None
        self.last = None
        self.write_head()

    def write(self, held, width, height, raw):
        """One buffer as the next chunk; `held` is record()'s pair from before
        the buffer was decoded."""
        now = time.time()
        if self.started is None:
            self.started = now
        self.last = now
        path = chunk_path(self.dirname, self.next)
        try:
            with open(path, 'wb') as f:
                f.write(CHUNK_HEADER.pack(held[0], held[1], width, height))
                f.write(raw)
        except (IOError, OSError) as e:
            raise RecordingError('cannot write %s: %s' % (path, e.strerror))
        self.next += 1
        self.bytes += CHUNK_HEADER.size + len(raw)
        if self.keep and self.next - self.first > self.keep:
            tessera.removefiles(self.dirname, self.first, self.next - self.keep, 1)
            self.first = self.next - self.keep

    def rate(self):
        """Chunks per second over the recording so far, rounded, at least 1."""
        if not self.next or self.last <= self.started:
            return 1
        return max(1, min(0xFFFFFFFF, int(round(self.next / (self.last - self.started)))))

    def write_head(self):
        try:
            _atomic_write(os.path.join(self.dirname, HEAD_NAME),
                          HEAD.pack(self.first, self.next - self.first, self.rate()))
        except (IOError, OSError) as e:
            raise RecordingError('cannot write the head record of %s: %s' %
                                 (self.dirname, e.strerror))


def read_head(dirname):
    """(oldest chunk, chunk count, seconds covered) of a recording."""
    path = os.path.join(dirname, HEAD_NAME)
    try:
        with open(path, 'rb') as f:
            data = f.read(HEAD.size)
    except IOError as e:
        raise RecordingError('%s is not a recording: %s' % (dirname, e.strerror))
    if len(data) < HEAD.size:
        raise RecordingError('%s: head record of %d bytes, expected %d' % (path, len(data),
                                                                            HEAD.size))
    if HEAD.unpack(data)[2] == 0:
        raise RecordingError('%s: damaged head record (rate 0)' % path)
    first, count, seconds = tessera.findrechead(data)
    # The module hands the words over as C ints; chunk numbers are unsigned.
    return first & 0xFFFFFFFF, count & 0xFFFFFFFF, seconds & 0xFFFFFFFF


class Chunk(object):
    """One chunk file read back: its header fields, raw buffer and arrival time."""

    def __init__(self, path):
        try:
            with open(path, 'rb') as f:
                self.data = f.read()
            self.mtime = os.stat(path).st_mtime
        except (IOError, OSError) as e:
            raise RecordingError('cannot read %s: %s' % (path, e.strerror))
        if len(self.data) < CHUNK_HEADER.size:
            raise RecordingError('%s: %d bytes, shorter than a chunk header' %
                                 (path, len(self.data)))
        self.needed, self.held, self.width, self.height = CHUNK_HEADER.unpack_from(self.data)
        # Only what the module itself produces: nothing held, or a pixel packet in part.
        if not ((self.needed, self.held) == (0, 0) or
                (self.needed == PACKET_BYTES and 0 < self.held < PACKET_BYTES)):
            raise RecordingError('%s: damaged header (held packet %d of %d bytes)' %
                                 (path, self.held, self.needed))
        if not (1 <= self.width <= MAX_WIDTH and 1 <= self.height <= MAX_HEIGHT):
            raise RecordingError('%s: damaged header (frame %dx%d)' %
                                 (path, self.width, self.height))
        self.raw = byte_view(self.data, CHUNK_HEADER.size)


def chunks(dirname, first):
    """Paths of the chunk files from number `first` on, while they exist."""
    number = first
    while os.path.exists(chunk_path(dirname, number)):
        yield chunk_path(dirname, number)
        number += 1
