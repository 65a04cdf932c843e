"""Video and raw frames out of the capture command: decoded back with ffmpeg,
the lossless video holds the pattern's frames exactly, placed by capture time,
each piped once; the .mp4 is the 4:2:0 H.264 that players take, and a
browser plays it; the raw frames are every frame; a missing or failing ffmpeg
ends the run cleanly with the recording intact."""
import math
import os
import re
import signal
import stat
import struct
import subprocess
import time
import unittest

from tessera_capture import tilestream

from tessera_capture import recording as capture_recording
from tessera_capture.sinks import video as capture_video
from host_common import (CAPTURE, PROG, TempDir, black_edges, finish, grey, pattern_rgb,
                         read_png, run_capture, shrink_half, summary_frames, wait_for_line)
import browser

FFMPEG = capture_video.find_program('ffmpeg')


def decode(path, width, height, fps=None):
    """The video's frames as RGB byte strings: those stored, or at `fps` as
    a player that needs a constant rate shows them."""
    rate = ['-vf', 'fps=%g:eof_action=pass' % fps] if fps else ['-fps_mode', 'passthrough']
    data = subprocess.check_output([FFMPEG, '-v', 'error', '-i', path] + rate +
                                   ['-f', 'rawvideo', '-pix_fmt', 'rgb24', '-'])
    size = width * height * 3
    assert len(data) % size == 0, 'the video is not %dx%d' % (width, height)
    return [data[i:i + size] for i in range(0, len(data), size)]


def rgb_of(rgba):
    return b''.join(rgba[i:i + 3] for i in range(0, len(rgba), 4))


def elapsed(stderr):
    """Seconds of capture in the run's summary line."""
    line = [l for l in stderr.splitlines() if ' frames in ' in l][0]
    return float(line.split(' frames in ')[1].split(' s ')[0])


def retime(rec, times):
    """Gives every chunk of recording `rec` the arrival time of its frame,
    1e9 + times[frame], in place; the frames the recording holds."""
    frame, number = -1, 0
    while os.path.exists(capture_recording.chunk_path(rec, number)):
        path = capture_recording.chunk_path(rec, number)
        number += 1
        with open(path, 'rb') as f:
            data = bytearray(f.read())
        at = len(capture_recording.FILE_MARK)
        while at < len(data):
            length = struct.unpack_from('<I', data, at)[0]
            chunk = at + 12
            held = struct.unpack_from('<ii', data, chunk)
            if held == (0, 0) and struct.unpack_from('<H', data, chunk + 18)[0] & 0x8000:
                frame += 1
            struct.pack_into('<q', data, at + 4, int(round((1e9 + times[frame]) * 1e6)))
            at = chunk + length
        with open(path, 'wb') as f:
            f.write(data)
    return frame + 1


def luma_psnr(a, b):
    """Peak signal-to-noise ratio of the luma of two RGB byte strings, in dB
    (4:2:0 keeps a quarter of the colour, and so of the test pattern's sharp
    coloured edges)."""
    def luma(rgb):
        return [(rgb[i] * 77 + rgb[i + 1] * 150 + rgb[i + 2] * 29) >> 8
                for i in range(0, len(rgb), 3)]
    error = sum((x - y) ** 2 for x, y in zip(luma(a), luma(b))) / float(len(a) // 3)
    return 10 * math.log10(255 ** 2 / error) if error else float('inf')


def probe(path, entries):
    """ffprobe's `entries` of the first video stream, a dict."""
    out = subprocess.check_output([FFMPEG.replace('ffmpeg', 'ffprobe'), '-v', 'error',
                                   '-select_streams', 'v:0', '-show_entries', entries, '-of',
                                   'default=nw=1', path], universal_newlines=True)
    return dict(line.split('=', 1) for line in out.split())


def top_level_atoms(path):
    """The kinds of an MP4 file's top-level boxes, in order."""
    kinds = []
    with open(path, 'rb') as f:
        while True:
            head = f.read(8)
            if len(head) < 8:
                return kinds
            size, kind = struct.unpack('>I4s', head)
            if size == 1:
                size = struct.unpack('>Q', f.read(8))[0] - 8
            kinds.append(kind)
            f.seek(size - 8, 1)


def wrapper(path, script):
    """An executable shell script that ends by running ffmpeg."""
    with open(path, 'w') as f:
        f.write('#!/bin/sh\n%s\nexec %s "$@"\n' % (script, FFMPEG))
    os.chmod(path, stat.S_IRWXU)
    return path


@unittest.skipUnless(FFMPEG, 'ffmpeg is not on PATH')
class VideoTest(unittest.TestCase):
    def setUp(self):
        self.tmp = TempDir()

    def tearDown(self):
        self.tmp.remove()

    def retimed_recording(self, w, h):
        """A recording of five frames of w x h, which arrived at 0, 0.04,
        0.32, 0.34 and 0.61 s."""
        rec = self.tmp('rec')
        status, _, err = run_capture(['--size', '%dx%d' % (w, h), '--frames', '5',
                                      '--record', rec])
        self.assertEqual(status, 0, err)
        # Frame f completes with its last chunk; give each frame its own time.
        self.assertEqual(retime(rec, [0.0, 0.04, 0.32, 0.34, 0.61]), 5)
        return rec

    def test_recording_converted_by_its_recorded_time(self):
        # 100x90: rows of whole tiles reach past the picture and are cut.
        w, h = 100, 90
        rec, video = self.retimed_recording(w, h), self.tmp('out.mkv')

        status, out, err = run_capture(['--replay', rec, '--fast', '--video', video,
                                        '--fps', '10', '--raw', '-'], text=False)
        err = err.decode('utf-8', 'replace')
        self.assertEqual(status, 0, err)
        self.assertIn('raw frames %dx%d, 4 bytes a pixel' % (w, h), err)
        pattern = [tilestream.expand(tilestream.test_pattern(w, h, n)) for n in range(5)]
        self.assertTrue(out == b''.join(pattern), 'raw frames differ from the pattern')
        # At 10 frames/s: frame 0 yields its slot to frame 1, frame 2 to frame
        # 3; the gaps repeat frames; the last frame ends the video.
        self.assertEqual(decode(video, w, h, 10),
                         [rgb_of(pattern[n]) for n in (1, 1, 1, 3, 3, 3, 4)])

    def test_a_frame_is_piped_and_stored_once_however_long_it_shows(self):
        w, h = 64, 48
        rec, video, piped = self.retimed_recording(w, h), self.tmp('once.mkv'), self.tmp('piped')
        tee = wrapper(self.tmp('ffmpeg'), 'case "$*" in *once.mkv) tee %s | %s "$@"; exit;; '
                      'esac' % (piped, FFMPEG))
        status, _, err = run_capture(['--replay', rec, '--fast', '--video', video, '--fps', '10',
                                      '--ffmpeg', tee])
        self.assertEqual(status, 0, err)
        self.assertIn('7 frames at 10 frames/s (0.70 s) from 5 captured', err)
        # Frames 0 and 2 lose their slots to 1 and 3 and are not piped; each
        # of the others is piped and stored once, at its slot's time.
        pattern = [rgb_of(tilestream.expand(tilestream.test_pattern(w, h, n))) for n in (1, 3, 4)]
        self.assertEqual(decode(piped, w, h), pattern)
        self.assertEqual(decode(video, w, h), pattern)
        times = subprocess.check_output(
            [FFMPEG.replace('ffmpeg', 'ffprobe'), '-v', 'error', '-show_entries',
             'packet=pts_time', '-of', 'csv=p=0', video], universal_newlines=True).split()
        self.assertEqual([float(t) for t in times], [0.0, 0.3, 0.6])

    def test_mkv_ends_with_the_snapshot(self):
        video, shot = self.tmp('last.mkv'), self.tmp('last.png')
        status, _, err = run_capture(['--size', '96x64', '--frames', '7', '--video', video,
                                      '--snapshot', shot])
        self.assertEqual(status, 0, err)
        w, h, rgb = read_png(shot)
        self.assertTrue(decode(video, w, h)[-1] == rgb, 'the last frame is not the snapshot')

    def test_mp4_is_what_players_take(self):
        # An odd size: 4:2:0 halves the chroma both ways, so a column and a
        # row of black are added.
        w, h = 99, 75
        video = self.tmp('odd.mp4')
        status, _, err = run_capture(['--size', '%dx%d' % (w, h), '--frames', '4', '--video',
                                      video])
        self.assertEqual(status, 0, err)
        self.assertEqual(err.count('padded with black to 100x76'), 1, err)
        self.assertEqual(probe(video, 'stream=profile,pix_fmt,width,height'),
                         {'profile': 'High', 'pix_fmt': 'yuv420p', 'width': '100',
                          'height': '76'})
        atoms = top_level_atoms(video)
        self.assertLess(atoms.index(b'moov'), atoms.index(b'mdat'), atoms)
        last = decode(video, 100, 76)[-1]
        picture = b''.join(last[y * 300:y * 300 + w * 3] for y in range(h))
        self.assertGreater(luma_psnr(picture, pattern_rgb(w, h, 3)), 35)
        self.assertLess(max(last[w * 3::300] + last[h * 300:]), 24, 'the padding is not black')

    def test_live_capture_plays_as_long_as_it_ran(self):
        # Ctrl-C from the terminal reaches ffmpeg too (same process group);
        # the capture must still end its frame and close the video itself.
        w, h = 128, 96
        video, raw = self.tmp('live.mkv'), self.tmp('live.rgba')
        child = subprocess.Popen(
            CAPTURE + ['--size', '%dx%d' % (w, h), '--scale', '0.5', '--grey', '--crop',
                       '--video', video, '--fps', '10', '--raw', raw],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=os.setpgrp,
            universal_newlines=True)
        wait_for_line(child.stderr, 'frames/s', 60)
        os.killpg(child.pid, signal.SIGINT)
        status, _, err = finish(child)
        self.assertEqual(status, 0, err)
        self.assertIn('stopped after Ctrl-C', err)

        # The borders are measured once, on the first frame, in grey.
        left, right, top, bottom = black_edges(grey(pattern_rgb(w, h, 0)), w, h)
        last = summary_frames(err) - 1
        x, y = left // 2, top // 2
        cw, ch = w // 2 - right // 2 - x, h // 2 - bottom // 2 - y
        half = shrink_half(grey(pattern_rgb(w, h, last)), w, h)
        expected = b''.join(half[((y + r) * (w // 2) + x) * 3:((y + r) * (w // 2) + x + cw) * 3]
                            for r in range(ch))
        with open(raw, 'rb') as f:
            frames = f.read()
        # An unpaced source outruns the writer: raw frames may be dropped,
        # never the last one.
        summary = [line for line in err.splitlines() if ' frames in ' in line][0]
        dropped = int(re.search(r'raw dropped (\d+)', summary).group(1))
        self.assertEqual(len(frames), (last + 1 - dropped) * cw * ch * 4)
        self.assertTrue(rgb_of(frames[-cw * ch * 4:]) == expected, 'last raw frame differs')
        decoded = decode(video, cw, ch, 10)
        self.assertTrue(decoded[-1] == expected, 'the last frame does not end the video')
        self.assertLessEqual(abs(len(decoded) - elapsed(err) * 10), 1.5)

    def test_ffmpeg_behind_costs_frames_not_length(self):
        video = self.tmp('slow.mkv')
        # Three seconds of frames large enough that the pipe holds only a few
        # outgrow the queue and the pipe however slow the capture runs.
        slow = wrapper(self.tmp('ffmpeg'), 'case "$*" in *slow.mkv) sleep 3;; esac')
        status, _, err = run_capture(['--size', '160x120', '--seconds', '4', '--video', video,
                                      '--fps', '100', '--ffmpeg', slow])
        self.assertEqual(status, 0, err)
        dropped = int(err.split(' dropped while ffmpeg')[0].rsplit(' ', 1)[1])
        self.assertGreater(dropped, 0, err)
        frames = len(decode(video, 160, 120, 100))
        self.assertLess(abs(frames / 100.0 - elapsed(err)), 0.1, (frames, err))

    def test_ffmpeg_killed_mid_run_leaves_the_recording_whole(self):
        pids, rec = self.tmp('pids'), self.tmp('rec')
        killable = wrapper(self.tmp('ffmpeg'), 'echo $$ >> %s' % pids)
        child = subprocess.Popen(CAPTURE + ['--size', '64x48', '--record', rec, '--video',
                                            self.tmp('out.mkv'), '--ffmpeg', killable],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 universal_newlines=True)
        wait_for_line(child.stderr, 'frames/s', 60)
        for _ in range(600):  # the trial run before the capture, then the video's
            with open(pids) as f:
                started = f.read().split()
            if len(started) == 2:
                break
            time.sleep(0.05)
        os.kill(int(started[-1]), signal.SIGKILL)
        status, _, err = finish(child)
        self.assertEqual(status, 1, err)
        self.assertIn('error: ffmpeg was killed by signal 9 while writing', err)
        chunks = len(os.listdir(rec)) - 1
        with open(os.path.join(rec, 'rechead'), 'rb') as f:
            self.assertEqual(struct.unpack('<II', f.read(8)), (0, chunks))
        status, _, err = run_capture(['--replay', rec, '--fast'])
        self.assertEqual(status, 0, err)
        self.assertGreater(summary_frames(err), 0)

    def test_refused_before_the_capture_starts(self):
        rec = self.tmp('rec')
        env = dict(os.environ, PATH=self.tmp.path)
        status, _, err = run_capture(['--video', self.tmp('a.mkv'), '--record', rec], env=env)
        self.assertEqual((status, err), (2, PROG + ': error: ffmpeg not found on PATH: '
                                         'install the ffmpeg package, or name the program with '
                                         '--ffmpeg PATH\n'))
        status, _, err = run_capture(['--video', self.tmp('a.mkv'), '--record', rec,
                                      '--codec', '-c:v nonesuch'])
        self.assertEqual(status, 2, err)
        self.assertIn("argument --codec: ffmpeg cannot write %s with -c:v nonesuch: Unknown "
                      "encoder 'nonesuch'" % self.tmp('a.mkv'), err)
        self.assertFalse(os.path.exists(rec))


@unittest.skipUnless(FFMPEG, 'ffmpeg is not on PATH')
@unittest.skipIf(browser.missing(), browser.missing())
class BrowserPlaysTest(unittest.TestCase):
    def setUp(self):
        self.tmp = TempDir()

    def tearDown(self):
        self.tmp.remove()

    def test_mp4_plays_in_a_video_element(self):
        video = self.tmp('play.mp4')
        status, _, err = run_capture(['--size', '320x240', '--seconds', '1.5', '--video', video])
        self.assertEqual(status, 0, err)
        b = browser.Browser()
        try:
            b.get('file://' + video)  # a page of its own with one <video>
            b.run("var v = document.querySelector('video'); v.muted = true; v.play();")
            size = b.wait_for("var v = document.querySelector('video'); return v.error ? "
                              "'error ' + v.error.code : v.ended && [v.videoWidth, "
                              "v.videoHeight, v.currentTime];")
        finally:
            b.close()
        self.assertEqual(size[:2], [320, 240], size)
        self.assertGreater(size[2], 1.0)


if __name__ == '__main__':
    unittest.main()
