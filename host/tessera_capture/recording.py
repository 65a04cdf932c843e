"""The capture host's recordings: files of about a second of chunks each, and
a head record. docs/recording.md describes the layout; recordings of the
older layout (one chunk per file, timed by the file's modification time) are
still read.
"""
import errno
import os
import struct
import threading
import time

import queue

from .decoder import CHUNK_HEADER, find_recording_head, remove_recording_files
from .errors import RecordingError

HEAD_NAME = 'rechead'
HEAD = struct.Struct('<III')
# The version mark of a file of the current layout. Its first four bytes, read
# as a chunk header's first word, are neither 0 nor 516, so it can never pass
# for the start of an older one-chunk file.
FILE_MARK = b'\x89TRC\r\n\x1a\x02'
# In front of each chunk: its length (header included) and its arrival time in
# microseconds since the epoch. The writer packs both with the chunk header.
FRAME = struct.Struct('<Iq')
RECORD = struct.Struct('<Iqiiii')
FILE_SECONDS = 1.0
# Above the 60 MB that a USB 2.0 link can carry in a second, so that a
# recording at link rate still writes a file a second; the limit bounds the
# file (and what replay holds in memory) on anything faster.
FILE_BYTES = 64 << 20
WRITE_BUFFER = 1 << 20
PART_SUFFIX = '.part'
MAX_WIDTH, MAX_HEIGHT = 1920, 1600
PACKET_BYTES = 516
# removefiles builds "DIR/<n>.out" in 200 bytes, NUL included; file numbers
# stay below 2**31, at most 10 digits.
MAX_KEEP_DIR = 199 - len('/') - 10 - len('.out')


def chunk_path(dirname, number):
    return os.path.join(dirname, '%d.out' % number)




def _drop_cached(fd):
    """A finished file's pages, once on disk, are not read again while the
    capture runs: left in the page cache, an hour of recording would crowd it,
    and the kernel would make room at the capture's cost."""
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)


def _sync_dir(dirname):
    fd = os.open(dirname, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _atomic_write(path, data):
    temp = path + '.tmp'
    with open(temp, 'wb') as f:
        f.write(data)
        f.flush()
        os.fsync(f.fileno())
    os.rename(temp, path)


class RecordingWriter:
    """Writes the chunks into a file per second. A file is written under a
    temporary name and gets its number only once it is whole and on disk, so
    a crash or power cut loses at most the file being written. Making a file
    durable can take a good part of a second at link rate: a thread of its
    own does it, and the head record and --keep's deletions that follow,
    while the capture goes on."""

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
        self.first = 0  # oldest file present
        self.next = 0  # files finished: 0.out to <next - 1>.out
        self.chunks = 0
        self.started = None  # arrival time of the first chunk
        self.file = None  # the file being written, number self.opened - 1
        self.opened = 0
        self.file_began = self.file_bytes = self.last = None
        self.failure = None  # what went wrong in the finishing thread
        self.write_head()
        self.finishing = queue.Queue()
        self.finisher = threading.Thread(target=self._finish_files, name='recording files')
        self.finisher.daemon = True
        self.finisher.start()

    def write(self, held, width, height, raw):
        """One buffer as the next chunk; `held` is record()'s pair from before
        the buffer was decoded."""
        now = time.time()
        size = RECORD.size + len(raw)
        # A clock set back ends the file too, as it would not end for long otherwise.
        if self.file is not None and (not 0 <= now - self.file_began < FILE_SECONDS or
                                      self.file_bytes + size > FILE_BYTES):
            self._hand_over()
        if self.file is None:
            self._open(now)
        try:
            self.file.write(RECORD.pack(CHUNK_HEADER.size + len(raw), int(now * 1e6), held[0],
                                        held[1], width, height))
            self.file.write(raw)
        except (IOError, OSError) as e:
            raise RecordingError('cannot write %s: %s' % (self.file.name, e.strerror))
        self.file_bytes += size
        self.chunks += 1
        self.last = now

    def tick(self):
        """Called about once a second: a file is finished after a second also
        when no chunk arrives to end it."""
        if self.file is not None and time.time() - self.file_began >= FILE_SECONDS:
            self._hand_over()
        self._check()

    def close(self):
        """Finishes the file being written, waits for the files to be on disk
        and leaves the head record final."""
        try:
            if self.file is not None:
                self._hand_over()
        finally:
            if self.finisher.is_alive():
                self.finishing.put(None)
                self.finisher.join()
        self._check()
        self.write_head()

    def _check(self):
        if self.failure:
            raise RecordingError(self.failure)

    def _open(self, now):
        self._check()
        path = chunk_path(self.dirname, self.opened) + PART_SUFFIX
        try:
            self.file = open(path, 'wb', WRITE_BUFFER)
            self.file.write(FILE_MARK)
        except (IOError, OSError) as e:
            raise RecordingError('cannot write %s: %s' % (path, e.strerror))
        self.opened += 1
        if self.started is None:
            self.started = now
        self.file_began = now
        self.file_bytes = len(FILE_MARK)

    def _hand_over(self):
        f, self.file = self.file, None
        try:
            f.flush()
        except (IOError, OSError) as e:
            f.close()
            raise RecordingError('cannot write %s: %s' % (f.name, e.strerror))
        self.finishing.put((f, self.last))

    def _finish_files(self):
        while True:
            item = self.finishing.get()
            if item is None:
                return
            f, last = item
            if self.failure:
                f.close()
                continue
            try:
                try:
                    os.fsync(f.fileno())
                    _drop_cached(f.fileno())
                finally:
                    f.close()
                os.rename(f.name, f.name[:-len(PART_SUFFIX)])
                self.next += 1
                # The head record moves past the files to be deleted first, so
                # that it never names a file that is gone.
                first = max(self.first, self.next - self.keep) if self.keep else self.first
                self._write_head(first, last)
                _sync_dir(self.dirname)
                if first > self.first:
                    remove_recording_files(self.dirname, self.first, first)
                    self.first = first
            except (IOError, OSError) as e:
                self.failure = 'cannot finish %s: %s' % (f.name, e.strerror)

    def rate(self, last):
        """Files per second over the recording so far, rounded, at least 1."""
        if not self.next or last is None or last <= self.started:
            return 1
        return max(1, min(0xFFFFFFFF, int(round(self.next / (last - self.started)))))

    def _write_head(self, first, last):
        _atomic_write(os.path.join(self.dirname, HEAD_NAME),
                      HEAD.pack(first, self.next - first, self.rate(last)))

    def write_head(self):
        try:
            self._write_head(self.first, self.last)
        except (IOError, OSError) as e:
            raise RecordingError('cannot write the head record of %s: %s' %
                                 (self.dirname, e.strerror))


def read_head(dirname):
    """(oldest file, file count, seconds covered) of a recording."""
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
    first, count, seconds = find_recording_head(data)
    # The module hands the words over as C ints; file numbers are unsigned.
    return first & 0xFFFFFFFF, count & 0xFFFFFFFF, seconds & 0xFFFFFFFF


class Chunk:
    """One chunk read back: its header fields, the whole chunk and its raw
    buffer (views of the file's bytes), and its arrival time."""

    __slots__ = ('needed', 'held', 'width', 'height', 'data', 'raw', 'time')

    def __init__(self, data, start, length, arrival, path, index=None):
        self.needed, self.held, self.width, self.height = CHUNK_HEADER.unpack_from(data, start)
        # Only what the module itself produces: nothing held, or a pixel packet in part.
        if not ((self.needed, self.held) == (0, 0) or
                (self.needed == PACKET_BYTES and 0 < self.held < PACKET_BYTES)):
            self._damaged(path, index, 'held packet %d of %d bytes' % (self.held, self.needed))
        if not (1 <= self.width <= MAX_WIDTH and 1 <= self.height <= MAX_HEIGHT):
            self._damaged(path, index, 'frame %dx%d' % (self.width, self.height))
        view = memoryview(data)
        self.data = view[start:start + length]
        self.raw = self.data[CHUNK_HEADER.size:]
        self.time = arrival

    @staticmethod
    def _damaged(path, index, what):
        where = path if index is None else '%s, chunk %d' % (path, index)
        raise RecordingError('%s: damaged header (%s)' % (where, what))


class RecordingReader:
    """The chunks of a recording in order, file after file from number
    `first`, in either layout. A file cut short (copied in part, or renamed
    from a crash's leftover) ends the recording after its last whole chunk,
    with `cut` saying so, when no file follows it; with files after it, the
    recording is damaged."""

    def __init__(self, dirname, first, count):
        self.dirname = dirname
        self.first = first
        self.count = count  # files the head record names
        self.number = first  # the next file to read
        self.cut = None
        self.pending = iter(())

    def next_chunk(self):
        """The next Chunk, or None at the end of the recording."""
        while True:
            chunk = next(self.pending, None)
            if chunk is not None or self.cut:
                return chunk
            path = chunk_path(self.dirname, self.number)
            try:
                with open(path, 'rb') as f:
                    data = f.read()
                mtime = os.stat(path).st_mtime
            except (IOError, OSError) as e:
                if e.errno != errno.ENOENT:
                    raise RecordingError('cannot read %s: %s' % (path, e.strerror))
                if self.number - self.first < self.count:
                    raise RecordingError('%s: file %d.out is missing; the recording ends '
                                         'there' % (self.dirname, self.number))
                return None
            self.number += 1
            if data[:len(FILE_MARK)] == FILE_MARK[:len(data)]:
                self.pending = self._file_chunks(path, data)
            else:
                self.pending = iter([self._old_chunk(path, data, mtime)])

    def _old_chunk(self, path, data, mtime):
        if len(data) < CHUNK_HEADER.size:
            raise RecordingError('%s: %d bytes, shorter than a chunk header' % (path, len(data)))
        return Chunk(data, 0, len(data), mtime, path)

    def _file_chunks(self, path, data):
        at, whole = len(FILE_MARK), 0
        while at < len(data):
            if at + FRAME.size <= len(data):
                length, micros = FRAME.unpack_from(data, at)
                if length < CHUNK_HEADER.size:
                    raise RecordingError('%s: damaged chunk %d (length %d)' %
                                         (path, whole, length))
                if at + FRAME.size + length <= len(data):
                    yield Chunk(data, at + FRAME.size, length, micros / 1e6, path, whole)
                    at += FRAME.size + length
                    whole += 1
                    continue
            break
        if at == len(data) and len(data) >= len(FILE_MARK):
            return
        if os.path.exists(chunk_path(self.dirname, self.number)):
            raise RecordingError('%s is cut short after %d chunks, and later files follow' %
                                 (path, whole))
        self.cut = '%s is cut short after %d whole chunks (%d bytes left over)' % (
            path, whole, len(data) - at if at <= len(data) else len(data))
