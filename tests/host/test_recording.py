"""Recording and replay through the capture command: the replayed picture is
the recorded one in both file layouts, --keep keeps exactly the newest files,
the timing lives inside the files, and damaged or truncated recordings end
with an error or a clean report instead of a wrong picture."""
import os
import shutil
import struct
import unittest

import tessera

from tessera_capture import recording as capture_recording
from tessera_capture.decoder import Decoder
from tessera_capture.sources.replay import ReplaySource
from host_common import TempDir, pattern_rgb, read_png, run_capture, summary_frames

W, H = 320, 240
HEADER = struct.Struct('<iiii')
MARK = b'\x89TRC\r\n\x1a\x02'
FRAME = struct.Struct('<Iq')


def chunk_numbers(dirname):
    return sorted(int(n[:-4]) for n in os.listdir(dirname) if n.endswith('.out'))


def file_frames(path):
    """[(offset, arrival time in microseconds, chunk bytes)] of a recording file,
    read as docs/recording.md describes it."""
    with open(path, 'rb') as f:
        data = f.read()
    assert data[:8] == MARK, 'no version mark in %s' % path
    at, frames = 8, []
    while at < len(data):
        length, micros = FRAME.unpack_from(data, at)
        frames.append((at, micros, data[at + 12:at + 12 + length]))
        at += 12 + length
    assert at == len(data), '%s ends inside a chunk' % path
    return frames


def recorded_chunks(dirname):
    """[(arrival time in microseconds, chunk bytes)] of a whole recording."""
    return [frame[1:] for n in chunk_numbers(dirname)
            for frame in file_frames(os.path.join(dirname, '%d.out' % n))]


def write_old_layout(chunks, dirname):
    """The recording as the one-chunk-per-file recorder wrote it: each chunk
    its own file, timed by its modification time."""
    os.mkdir(dirname)
    for number, (micros, chunk) in enumerate(chunks):
        path = os.path.join(dirname, '%d.out' % number)
        with open(path, 'wb') as f:
            f.write(chunk)
        os.utime(path, (micros / 1e6, micros / 1e6))
    with open(os.path.join(dirname, 'rechead'), 'wb') as f:
        f.write(struct.pack('<III', 0, len(chunks), 1000))


def replay_in_process(dirname):
    """Plays a recording as fast as possible; the source at its end, and the
    arrival times of the chunks played."""
    source = ReplaySource(dirname, fast=True)
    decoder = Decoder()
    times = []
    while True:
        raw = source.read(lambda: False)
        if raw is None:
            return source, times
        if source.frame_size != decoder.size:
            decoder.resize(source.frame_size)
        decoder.feed(raw, source.chunk)
        times.append(source.timestamp)


class RecordReplayTest(unittest.TestCase):
    def setUp(self):
        self.tmp = TempDir()

    def tearDown(self):
        self.tmp.remove()

    def capture(self, *args):
        status, _, err = run_capture(list(args))
        self.assertEqual(status, 0, err)
        return err

    def test_replay_gives_the_recorded_frame(self):
        rec, live, again = self.tmp('rec'), self.tmp('live.png'), self.tmp('again.png')
        self.capture('--size', '%dx%d' % (W, H), '--frames', '6', '--record', rec,
                     '--snapshot', live)
        self.assertEqual(chunk_numbers(rec), [0])
        self.assertEqual(sorted(os.listdir(rec)), ['0.out', 'rechead'])
        chunks = recorded_chunks(rec)
        # Packets cut by the end of a buffer are carried in the chunk headers.
        headers = [HEADER.unpack(chunk[:16]) for _, chunk in chunks]
        self.assertTrue(all(h[2:] == (W, H) for h in headers))
        self.assertTrue(any(h[:2] != (0, 0) for h in headers), 'no chunk holds a packet')
        times = [micros for micros, _ in chunks]
        self.assertEqual(times, sorted(times))
        with open(os.path.join(rec, 'rechead'), 'rb') as f:
            first, count, _ = tessera.findrechead(f.read())
        self.assertEqual((first, count), (0, 1))

        err = self.capture('--replay', rec, '--fast', '--snapshot', again)
        self.assertEqual(summary_frames(err), 6)
        self.assertEqual(read_png(again), read_png(live))
        self.assertTrue(read_png(again)[2] == pattern_rgb(W, H, 5))

        # The same chunks in the older layout replay to the same picture.
        old, shot = self.tmp('old'), self.tmp('old.png')
        write_old_layout(chunks, old)
        err = self.capture('--replay', old, '--fast', '--snapshot', shot)
        self.assertEqual(summary_frames(err), 6)
        self.assertEqual(read_png(shot), read_png(live))

    def test_timing_survives_a_plain_copy(self):
        rec, copy, old = self.tmp('rec'), self.tmp('copy'), self.tmp('old')
        self.capture('--size', '%dx%d' % (W, H), '--frames', '3', '--record', rec)
        os.mkdir(copy)
        for name in os.listdir(rec):
            shutil.copyfile(os.path.join(rec, name), os.path.join(copy, name))
        chunks = recorded_chunks(rec)
        times = replay_in_process(copy)[1]
        self.assertEqual(times, [micros / 1e6 for micros, _ in chunks])
        self.assertGreater(times[-1], times[0])
        self.assertLess(times[-1], os.stat(os.path.join(copy, '0.out')).st_mtime)
        # The older layout's times are the files' own.
        write_old_layout(chunks, old)
        self.assertEqual(replay_in_process(old)[1],
                         [os.stat(os.path.join(old, '%d.out' % n)).st_mtime
                          for n in range(len(chunks))])

    def test_replay_at_recorded_speed(self):
        rec, shot = self.tmp('rec'), self.tmp('shot.png')
        self.capture('--size', '64x48', '--frames', '3', '--record', rec)
        self.capture('--replay', rec, '--snapshot', shot)
        self.assertTrue(read_png(shot)[2] == pattern_rgb(64, 48, 2))

    def test_keep_leaves_the_newest_chunks(self):
        # A file a second: 3.5 s make four files, five at most with the stop's grace.
        rec = self.tmp('rec')
        self.capture('--size', '64x48', '--seconds', '3.5', '--record', rec, '--keep', '3')
        numbers = chunk_numbers(rec)
        total = numbers[-1] + 1
        self.assertIn(total, (4, 5))
        self.assertEqual(numbers, list(range(total - 3, total)))
        self.assertEqual(len(os.listdir(rec)), 4, 'files left over: %s' % os.listdir(rec))
        with open(os.path.join(rec, 'rechead'), 'rb') as f:
            head = f.read()
        self.assertEqual(struct.unpack('<II', head[:8]), (total - 3, 3))
        self.assertEqual(tessera.findrechead(head)[:2], (total - 3, 3))

    def test_replay_of_kept_whole_frames(self):
        # With whole frames sent, the newest files rebuild the last frame, also
        # when the oldest kept chunk begins inside a packet.
        rec, live, shot = self.tmp('rec'), self.tmp('live.png'), self.tmp('shot.png')
        self.capture('--size', '%dx%d' % (W, H), '--seconds', '2.5', '--every-tile', '--record',
                     rec, '--keep', '1', '--snapshot', live)
        self.assertEqual(len(chunk_numbers(rec)), 1)
        self.assertNotEqual(chunk_numbers(rec), [0])
        err = self.capture('--replay', rec, '--fast', '--snapshot', shot)
        self.assertEqual(read_png(shot), read_png(live))
        if HEADER.unpack(recorded_chunks(rec)[0][1][:16])[0]:
            self.assertIn('dropped the rest of 1 packet(s)', err)

    def test_recording_directory_in_use(self):
        rec = self.tmp('rec')
        self.capture('--size', '64x48', '--frames', '1', '--record', rec)
        status, _, err = run_capture(['--size', '64x48', '--frames', '1', '--record', rec])
        self.assertEqual(status, 1)
        self.assertIn('already holds a recording', err)


class DamagedRecordingTest(unittest.TestCase):
    """Damage to a recording of the older layout (self.rec, one chunk a file)
    and of the current one (self.new)."""

    def setUp(self):
        self.tmp = TempDir()
        self.rec, self.new = self.tmp('rec'), self.tmp('new')
        status, _, err = run_capture(['--size', '64x48', '--frames', '4', '--record', self.new])
        self.assertEqual(status, 0, err)
        write_old_layout(recorded_chunks(self.new), self.rec)
        self.numbers = chunk_numbers(self.rec)
        self.assertGreater(len(self.numbers), 3)

    def tearDown(self):
        self.tmp.remove()

    def replay(self, rec=None):
        return run_capture(['--replay', rec or self.rec, '--fast', '--snapshot',
                            self.tmp('x.png')])

    def test_missing_chunk(self):
        os.remove(os.path.join(self.rec, '2.out'))
        status, _, err = self.replay()
        self.assertEqual(status, 1)
        self.assertIn('2.out is missing', err)

    def test_damaged_chunk_header(self):
        for header, what in ((HEADER.pack(516, 600, 64, 48), 'held packet'),
                             (HEADER.pack(0, 0, 4000, 48), 'frame 4000x48'),
                             (b'\0' * 10, 'shorter than a chunk header')):
            with open(os.path.join(self.rec, '1.out'), 'r+b') as f:
                f.write(header)
                if len(header) < 16:
                    f.truncate(len(header))
            status, _, err = self.replay()
            self.assertEqual(status, 1, err)
            self.assertIn(what, err)
        # The same checks hold for the chunks inside a file, and for their frames.
        path = os.path.join(self.new, '0.out')
        at = file_frames(path)[1][0]
        for frame, what in ((FRAME.pack(16, 0) + HEADER.pack(516, 600, 64, 48),
                             'chunk 1: damaged header (held packet'),
                            (FRAME.pack(15, 0), 'damaged chunk 1 (length 15)')):
            with open(path, 'r+b') as f:
                f.seek(at)
                f.write(frame)
            status, _, err = self.replay(self.new)
            self.assertEqual(status, 1, err)
            self.assertIn(what, err)

    def test_missing_or_short_head_record(self):
        head = os.path.join(self.rec, 'rechead')
        with open(head, 'wb') as f:
            f.write(struct.pack('<II', 0, 4))
        status, _, err = self.replay()
        self.assertEqual(status, 1)
        self.assertIn('head record of 8 bytes', err)
        with open(head, 'wb') as f:
            f.write(struct.pack('<III', 0, 4, 0))
        self.assertEqual(self.replay()[0], 1)
        os.remove(head)
        status, _, err = self.replay()
        self.assertEqual(status, 1)
        self.assertIn('is not a recording', err)


class CutRecordingTest(unittest.TestCase):
    """A recording whose last file is cut short, as a crash's leftover or an
    interrupted copy leaves it, replays up to the cut and says so; a cut file
    with files after it is damage."""

    def setUp(self):
        self.tmp = TempDir()
        rec = self.tmp('rec')
        status, _, err = run_capture(['--size', '%dx%d' % (W, H), '--frames', '4', '--record',
                                      rec])
        self.assertEqual(status, 0, err)
        # Split the single file into two at a chunk boundary.
        with open(os.path.join(rec, '0.out'), 'rb') as f:
            data = f.read()
        frames = file_frames(os.path.join(rec, '0.out'))
        self.assertGreater(len(frames), 5)
        split = frames[3][0]
        self.files = (data[:split], MARK + data[split:])
        self.first_chunks = 3
        self.ends = [at - split + 8 for at, _, _ in frames[3:]] + [len(self.files[1])]
        self.rec = self.tmp('cut')
        os.mkdir(self.rec)
        self.write(0, self.files[0])
        shutil.copyfile(os.path.join(rec, 'rechead'), os.path.join(self.rec, 'rechead'))

    def tearDown(self):
        self.tmp.remove()

    def write(self, number, data):
        with open(os.path.join(self.rec, '%d.out' % number), 'wb') as f:
            f.write(data)

    def test_cut_last_file(self):
        size = len(self.files[1])
        cuts = set(range(0, size, 97))
        for end in [0] + self.ends:  # every edge of the mark, frames and chunk headers
            for edge in (end, end + 12, end + 28):
                cuts.update(c for c in range(edge - 1, edge + 2) if 0 <= c <= size)
        cuts.update(range(0, 9))
        for cut in sorted(cuts):
            self.write(1, self.files[1][:cut])
            source = replay_in_process(self.rec)[0]
            whole = sum(1 for end in self.ends[1:] if end <= cut)
            self.assertEqual(source.played, self.first_chunks + whole, 'cut at %d' % cut)
            self.assertEqual(source.cut is None, cut in self.ends, 'cut at %d' % cut)
            if source.cut:
                self.assertIn('cut short after %d whole chunks' % whole, source.cut)

        self.write(1, self.files[1][:self.ends[2] + 100])
        status, _, err = run_capture(['--replay', self.rec, '--fast'])
        self.assertEqual(status, 0, err)
        self.assertIn('1.out is cut short after 2 whole chunks (100 bytes left over); replay '
                      'ended there after %d chunks' % (self.first_chunks + 2), err)

    def test_cut_file_before_the_last(self):
        self.write(0, self.files[0][:-5])
        self.write(1, self.files[1])
        status, _, err = run_capture(['--replay', self.rec, '--fast'])
        self.assertEqual(status, 1, err)
        self.assertIn('0.out is cut short after 2 chunks, and later files follow', err)


class ReplayMidPacketTest(unittest.TestCase):
    """A recording whose first chunk says a packet is held: its beginning is
    not in the recording, so it must not be completed from stale bytes."""

    def setUp(self):
        self.tmp = TempDir()

    def tearDown(self):
        self.tmp.remove()

    def test_stale_held_bytes_are_not_painted(self):
        w, h = 64, 48
        tessera.createBuffer(w, h)
        # Leave the beginning of a pixel packet for tile (0, 0) in the module's
        # held bytes, then forget it, as a previous replay would.
        tessera.playvideo(HEADER.pack(0, 0, w, h) + struct.pack('<HH', 0, 0) + b'\x55' * 96)
        tessera.playvideo(HEADER.pack(0, 0, w, h))
        tessera.getChanges(0, 12)
        # Chunk 0: the last 416 bytes of a packet, then a fill packet for tile
        # (1, 0) with the first-tile flag.
        rec = self.tmp('rec')
        os.mkdir(rec)
        stream = b'\x77' * 416 + struct.pack('<HH', 0xF800, 0xC000 | 1)
        with open(os.path.join(rec, '0.out'), 'wb') as f:
            f.write(HEADER.pack(516, 100, w, h) + stream)
        with open(os.path.join(rec, 'rechead'), 'wb') as f:
            f.write(struct.pack('<III', 0, 1, 1))
        source = ReplaySource(rec, fast=True)
        decoder = Decoder()
        decoder.size = (w, h)
        raw = source.read(lambda: False)
        self.assertEqual(decoder.held(source.chunk), (516, 100))
        self.assertEqual(decoder.feed(raw, source.chunk), 1)
        self.assertEqual(decoder.dropped_packets, 1)
        self.assertEqual(tessera.getChanges(0, 12), [(1, 1)])
        self.assertEqual(tessera.record(), (0, 0))
        self.assertIsNone(source.read(lambda: False))

    def test_writer_refuses_a_directory_name_too_long_for_removefiles(self):
        name = self.tmp('d' * 200)
        with self.assertRaises(capture_recording.RecordingError):
            capture_recording.RecordingWriter(name, keep=3)


if __name__ == '__main__':
    unittest.main()
