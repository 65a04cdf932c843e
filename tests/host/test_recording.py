"""Recording and replay through the capture command: the replayed picture is
the recorded one, --keep keeps exactly the newest chunks, and damaged or
truncated recordings end with an error instead of a wrong picture."""
import os
import struct
import unittest

import tessera

import capture_recording
import capture_sources
from host_common import TempDir, pattern_rgb, read_png, run_capture, summary_frames

W, H = 320, 240
HEADER = struct.Struct('<iiii')


def chunk_numbers(dirname):
    return sorted(int(n[:-4]) for n in os.listdir(dirname) if n.endswith('.out'))


def chunk_header(dirname, number):
    with open(os.path.join(dirname, '%d.out' % number), 'rb') as f:
        return HEADER.unpack(f.read(16))


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
        numbers = chunk_numbers(rec)
        self.assertEqual(numbers, list(range(len(numbers))))
        # Packets cut by the end of a buffer are carried in the chunk headers.
        headers = [chunk_header(rec, n) for n in numbers]
        self.assertTrue(all(h[2:] == (W, H) for h in headers))
        self.assertTrue(any(h[:2] != (0, 0) for h in headers), 'no chunk holds a packet')
        with open(os.path.join(rec, 'rechead'), 'rb') as f:
            first, count, _ = tessera.findrechead(f.read())
        self.assertEqual((first, count), (0, len(numbers)))

        err = self.capture('--replay', rec, '--fast', '--snapshot', again)
        self.assertEqual(summary_frames(err), 6)
        self.assertEqual(read_png(again), read_png(live))
        self.assertTrue(read_png(again)[2] == pattern_rgb(W, H, 5))

    def test_replay_at_recorded_speed(self):
        rec, shot = self.tmp('rec'), self.tmp('shot.png')
        self.capture('--size', '64x48', '--frames', '3', '--record', rec)
        self.capture('--replay', rec, '--snapshot', shot)
        self.assertTrue(read_png(shot)[2] == pattern_rgb(64, 48, 2))

    def test_keep_leaves_the_newest_chunks(self):
        rec, full = self.tmp('rec'), self.tmp('full')
        self.capture('--size', '%dx%d' % (W, H), '--frames', '6', '--record', full)
        total = len(chunk_numbers(full))
        self.capture('--size', '%dx%d' % (W, H), '--frames', '6', '--record', rec,
                     '--keep', '3')
        self.assertEqual(chunk_numbers(rec), list(range(total - 3, total)))
        with open(os.path.join(rec, 'rechead'), 'rb') as f:
            head = f.read()
        self.assertEqual(struct.unpack('<II', head[:8]), (total - 3, 3))
        self.assertEqual(tessera.findrechead(head)[:2], (total - 3, 3))

    def test_replay_of_kept_whole_frames(self):
        # With whole frames sent, the newest chunks rebuild the last frame, also
        # when the oldest kept chunk begins inside a packet.
        rec, shot = self.tmp('rec'), self.tmp('shot.png')
        self.capture('--size', '%dx%d' % (W, H), '--frames', '8', '--every-tile', '--record', rec,
                     '--keep', '12')
        err = self.capture('--replay', rec, '--fast', '--snapshot', shot)
        self.assertTrue(read_png(shot)[2] == pattern_rgb(W, H, 7))
        if chunk_header(rec, chunk_numbers(rec)[0])[0]:
            self.assertIn('dropped the rest of 1 packet(s)', err)

    def test_recording_directory_in_use(self):
        rec = self.tmp('rec')
        self.capture('--size', '64x48', '--frames', '1', '--record', rec)
        status, _, err = run_capture(['--size', '64x48', '--frames', '1', '--record', rec])
        self.assertEqual(status, 1)
        self.assertIn('already holds a recording', err)


class DamagedRecordingTest(unittest.TestCase):
    def setUp(self):
        self.tmp = TempDir()
        self.rec = self.tmp('rec')
        status, _, err = run_capture(['--size', '64x48', '--frames', '4', '--record', self.rec])
        self.assertEqual(status, 0, err)
        self.numbers = chunk_numbers(self.rec)
        self.assertGreater(len(self.numbers), 3)

    def tearDown(self):
        self.tmp.remove()

    def replay(self):
        return run_capture(['--replay', self.rec, '--fast', '--snapshot', self.tmp('x.png')])

    def test_missing_chunk(self):
        os.remove(os.path.join(self.rec, '2.out'))
        status, _, err = self.replay()
        self.assertEqual(status, 1)
        self.assertIn('chunk 2.out is missing', err)

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
        source = capture_sources.ReplaySource(rec, fast=True)
        raw = source.read(lambda: False)
        self.assertEqual(source.held(), (516, 100))
        self.assertEqual(source.feed(raw), 1)
        self.assertEqual(source.dropped_packets, 1)
        self.assertEqual(tessera.getChanges(0, 12), [(1, 1)])
        self.assertEqual(tessera.record(), (0, 0))
        self.assertIsNone(source.read(lambda: False))

    def test_writer_refuses_a_directory_name_too_long_for_removefiles(self):
        name = self.tmp('d' * 200)
        with self.assertRaises(capture_recording.RecordingError):
            capture_recording.RecordingWriter(name, keep=3)


if __name__ == '__main__':
    unittest.main()
