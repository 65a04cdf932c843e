"""The capture command on a simulated grabber (the usbdevfs stand-in, preloaded):
the picture arrives through sluice64, the interface is claimed and released,
frames are counted however they fall into transfers, a stall is cleared and
read through, an unplugged device is waited for with --reconnect, and a device
that stalls again and again, falls silent or goes away ends the run with a
clear message and a non-zero exit instead of a hang; Ctrl-C ends even a silent
one."""
import os
import signal
import time
import unittest

from host_common import (TempDir, finish, pattern_rgb, read_png, run_capture, start_capture,
                         summary_frames, wait_for_line)

W, H = 320, 240
CLAIM, RELEASE = 'req=0x8004550f', 'req=0x80045510'
CLEAR_HALT = 'req=0x80045515'


class DeviceTest(unittest.TestCase):
    def setUp(self):
        self.tmp = TempDir()
        self.node = self.tmp('node')
        os.mkfifo(self.node)  # pollable like a device node, so sluice64 can watch it
        self.log = self.tmp('log')

    def tearDown(self):
        self.tmp.remove()

    def env(self, stream, **settings):
        env = dict(os.environ, USBFS_STANDIN_DEVICE=self.node, USBFS_STANDIN_STREAM=stream,
                   USBFS_STANDIN_LOG=self.log)
        env.update(('USBFS_STANDIN_' + k.upper(), str(v)) for k, v in settings.items())
        return env

    def args(self, *extra):
        # The stand-in's node has no descriptors to read: name the endpoint.
        return ['--device', self.node, '--endpoint', '0x81', '--interface', '0',
                '--size', '%dx%d' % (W, H)] + list(extra)

    def log_lines(self):
        with open(self.log) as f:
            return f.read().splitlines()

    def test_frames_arrive_whole(self):
        # Paced frames end their last transfer short, as a grabber's do.
        shot = self.tmp('shot.png')
        status, _, err = run_capture(self.args('--frames', '5', '--snapshot', shot),
                                     self.env('synthetic:%dx%d' % (W, H), fps=200))
        self.assertEqual(status, 0, err)
        self.assertEqual(summary_frames(err), 5)
        self.assertTrue(read_png(shot)[2] == pattern_rgb(W, H, 4))
        log = self.log_lines()
        self.assertIn(CLAIM, log[0])
        self.assertIn(RELEASE, log[-1])
        self.assertEqual(sum('SUBMITURB' in l for l in log[:17]), 16)

    def test_continuous_stream_gives_whole_tiles_of_two_frames(self):
        # Unpaced, transfers are full and a frame begins inside one: the picture
        # is the last frame with the first tiles of the next one.
        shot = self.tmp('shot.png')
        status, _, err = run_capture(self.args('--frames', '3', '--snapshot', shot),
                                     self.env('synthetic:%dx%d' % (W, H), update='full'))
        self.assertEqual(status, 0, err)
        rgb = read_png(shot)[2]
        frames = (pattern_rgb(W, H, 2), pattern_rgb(W, H, 3))
        for ty in range(H // 16):
            for tx in range(W // 16):
                tile = [rgb[((ty * 16 + y) * W + tx * 16) * 3:][:48] for y in range(16)]
                self.assertTrue(any(tile == [f[((ty * 16 + y) * W + tx * 16) * 3:][:48]
                                             for y in range(16)] for f in frames),
                                'tile (%d, %d) is from neither frame' % (tx, ty))

    def test_frames_packed_several_to_a_transfer(self):
        # Unpaced, small frames of changed tiles share transfers: every one counts.
        status, _, err = run_capture(self.args(), self.env('synthetic:%dx%d:40' % (W, H),
                                                           at_end='unplug'))
        self.assertEqual(status, 1, err)
        self.assertEqual(summary_frames(err), 40)
        shot = self.tmp('shot.png')
        status, _, err = run_capture(self.args('--frames', '10', '--every', '4', '--snapshot',
                                               shot), self.env('synthetic:%dx%d' % (W, H)))
        self.assertEqual(status, 0, err)
        self.assertEqual(summary_frames(err), 10)
        self.assertEqual(sorted(os.listdir(self.tmp.path)),
                         ['log', 'node', 'shot-000004.png', 'shot-000008.png', 'shot.png'])

    def test_stall_in_mid_stream_is_cleared(self):
        shot = self.tmp('shot.png')
        status, _, err = run_capture(self.args('--frames', '60', '--snapshot', shot),
                                     self.env('synthetic:%dx%d:61' % (W, H), fps=200,
                                              stall_after=40))
        self.assertEqual(status, 0, err)
        self.assertIn('endpoint 0x81 of %s stalled (Broken pipe); halt cleared' % self.node, err)
        self.assertEqual(summary_frames(err), 60)
        self.assertIn('stalls 1', err)
        self.assertTrue(read_png(shot)[2] == pattern_rgb(W, H, 59))
        self.assertEqual(sum(CLEAR_HALT in l for l in self.log_lines()), 1)

    def test_stalls_in_a_burst_end_the_run(self):
        status, _, err = run_capture(self.args(), self.env('synthetic:%dx%d' % (W, H), fps=200,
                                                           stall_after='10,12,14,16'))
        self.assertEqual(status, 1, err)
        self.assertIn('error: endpoint 0x81 of %s stalled 4 times within 10 s; giving up '
                      '(Broken pipe)' % self.node, err)
        self.assertIn('stalls 3', err)
        # The last halt is cleared too, so that the next run finds the endpoint working.
        log = self.log_lines()
        self.assertEqual(sum(CLEAR_HALT in l for l in log), 4)
        self.assertIn(RELEASE, log[-1])

    def test_unplug_and_replug_with_reconnect(self):
        shot, replayed, rec = self.tmp('shot.png'), self.tmp('replay.png'), self.tmp('rec')
        # The frames of the transfers in flight at the unplug are lost: as many
        # as the ring holds (16) when the capture lags, so the stream has that
        # many to spare and the last frame is one of the next 16.
        status, _, err = run_capture(
            self.args('--reconnect', '--frames', '50', '--snapshot', shot, '--record', rec),
            self.env('synthetic:%dx%d:67' % (W, H), fps=100, replug='20:1500'))
        self.assertEqual(status, 0, err)
        self.assertIn('waiting for device', err)
        self.assertIn('%s is back after' % self.node, err)
        self.assertIn('reconnects 1', err)
        self.assertEqual(summary_frames(err), 50)
        last = read_png(shot)[2]
        self.assertIn(last, [pattern_rgb(W, H, n) for n in range(49, 66)])
        # One recording across the reconnect, replayed to the same picture.
        status, _, err = run_capture(['--replay', rec, '--fast', '--snapshot', replayed])
        self.assertEqual(status, 0, err)
        self.assertTrue(read_png(replayed)[2] == last)

    def test_replay_says_an_unplug_cut_a_packet(self):
        # Whole frames span transfers, so the unplug cuts a pixel packet: in the
        # replay its end is missing, not its beginning.
        shot, replayed, rec = self.tmp('shot.png'), self.tmp('replay.png'), self.tmp('rec')
        status, _, err = run_capture(
            self.args('--reconnect', '--frames', '6', '--snapshot', shot, '--record', rec),
            self.env('synthetic:%dx%d:20' % (W, H), fps=100, update='full', replug='15:300'))
        self.assertEqual(status, 0, err)
        self.assertIn('reconnects 1', err)
        status, _, err = run_capture(['--replay', rec, '--fast', '--snapshot', replayed])
        self.assertEqual(status, 0, err)
        self.assertIn('dropped 1 packet(s) whose end is not in the recording: the stream '
                      'stopped there (device gone)', err)
        self.assertNotIn('beginning', err)
        self.assertEqual(read_png(replayed), read_png(shot))

    def test_silent_device_times_out(self):
        began = time.time()
        status, _, err = run_capture(self.args('--timeout', '1'),
                                     self.env('synthetic:%dx%d:3' % (W, H), fps=50))
        self.assertEqual(status, 1, err)
        self.assertIn('error: no data from the device for 1.', err)
        self.assertNotIn('stall', err)
        self.assertEqual(summary_frames(err), 3)
        self.assertLess(time.time() - began, 60)

    def test_unplugged_device(self):
        status, _, err = run_capture(self.args(), self.env('synthetic:%dx%d:2' % (W, H),
                                                           at_end='unplug'))
        self.assertEqual(status, 1, err)
        self.assertIn('the device was disconnected', err)

    def test_ctrl_c_and_time_limit_end_a_silent_device(self):
        shot = self.tmp('shot.png')
        child = start_capture(self.args('--timeout', '0', '--snapshot', shot),
                              self.env('synthetic:%dx%d:2' % (W, H)))
        wait_for_line(child.stderr, 'reading %s, interface 0, endpoint 0x81' % self.node, 60)
        time.sleep(1)  # both frames sent; the read now blocks in the kernel
        child.send_signal(signal.SIGINT)
        status, _, err = finish(child, limit=30)
        self.assertEqual(status, 0, err)
        self.assertIn('stopped after Ctrl-C', err)
        self.assertEqual(summary_frames(err), 2)
        self.assertTrue(read_png(shot)[2] == pattern_rgb(W, H, 1))

        status, _, err = run_capture(self.args('--timeout', '0', '--seconds', '1'),
                                     self.env('synthetic:%dx%d:1' % (W, H)), limit=30)
        self.assertEqual(status, 0, err)
        self.assertIn('stopped after 1 seconds', err)

        # While an unplugged device is waited for.
        child = start_capture(self.args('--reconnect'),
                              self.env('synthetic:%dx%d' % (W, H), fps=50, replug='40:600000'))
        wait_for_line(child.stderr, 'went away; waiting for %s' % self.node, 60)
        child.send_signal(signal.SIGINT)
        status, _, err = finish(child, limit=30)
        self.assertEqual(status, 0, err)
        self.assertIn('waiting for device, stopped after Ctrl-C', err)


if __name__ == '__main__':
    unittest.main()
