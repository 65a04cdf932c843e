#!/usr/bin/env python3
"""Soak run of the capture path: the capture host (tools/python/capture.py)
reads the usbdevfs stand-in's synthetic grabber through sluice64 for a few
minutes, decodes with tessera, exports every changed tile, records with
--keep (so files are deleted as it goes) and writes a grey, cropped
snapshot now and then. This script samples the host's memory meanwhile and
prints it over time; it fails when the resident set keeps growing after the
warm-up. Not part of CI: it takes minutes.

    tests/leak/soak.py [--minutes 5] [--build build] [--size 1280x720] [--fps 60]
                       [--update full|changed] [--scale 0.5]
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
STATUS_LINE = re.compile(r'capture: +([\d.]+) s +([\d.]+) frames/s +([\d.]+) MB/s +(\d+) tiles/s')


def cache_value(build, name):
    with open(os.path.join(build, 'CMakeCache.txt')) as f:
        for line in f:
            if line.startswith(name + ':'):
                return line.split('=', 1)[1].strip()
    return ''


def proc_status(pid):
    """VmRSS, VmHWM and VmData in bytes, and the number of open descriptors."""
    values = {}
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            key, _, rest = line.partition(':')
            if key in ('VmRSS', 'VmHWM', 'VmData'):
                values[key] = int(rest.split()[0]) * 1024
    values['fds'] = len(os.listdir('/proc/%d/fd' % pid))
    return values


def main():
    p = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    p.add_argument('--minutes', type=float, default=5.0)
    p.add_argument('--build', default=os.path.join(ROOT, 'build'),
                   help='build directory with the modules and the stand-in (default build)')
    p.add_argument('--size', default='1280x720', help='frame size of the synthetic grabber')
    p.add_argument('--fps', type=float, default=60.0, help='frames a second; 0: as fast as read')
    p.add_argument('--update', choices=('full', 'changed'), default='full',
                   help='the grabber sends every tile of every frame, or the changed ones')
    p.add_argument('--scale', default='0.5', help='picture scale of the capture host')
    p.add_argument('--interval', type=float, default=15.0, help='seconds between samples')
    p.add_argument('--warm-up', type=float, default=30.0,
                   help='seconds before the growth is measured (default 30)')
    p.add_argument('--max-growth-mb', type=float, default=4.0,
                   help='resident growth after the warm-up that fails the run (default 4)')
    args = p.parse_args()

    build = os.path.abspath(args.build)
    python = cache_value(build, 'TESSERA_HOST_PYTHON') or sys.executable
    standin = os.path.join(build, 'tests', 'support', 'usbfs_standin', 'libusbfs_standin.so')
    preload = [standin]
    if cache_value(build, 'TESSERA_SANITIZE') == 'ON':
        asan = subprocess.check_output([cache_value(build, 'CMAKE_CXX_COMPILER'),
                                        '-print-file-name=libasan.so'],
                                       universal_newlines=True).strip()
        preload.insert(0, asan)
    tmp = tempfile.mkdtemp(prefix='tessera-soak-')
    node = os.path.join(tmp, 'node')
    os.mkfifo(node)  # pollable like a device node
    path = [os.path.join(build, 'python'), os.path.join(ROOT, 'host'),
            os.path.join(ROOT, 'tests', 'support', 'python')]
    env = dict(os.environ, LD_PRELOAD=':'.join(preload), TESSERA_BUILD_DIR=build,
               PYTHONPATH=':'.join(path),
               USBFS_STANDIN_DEVICE=node, USBFS_STANDIN_STREAM='synthetic:' + args.size,
               USBFS_STANDIN_FPS=str(args.fps), USBFS_STANDIN_UPDATE=args.update,
               PYTHONDONTWRITEBYTECODE='1',
               ASAN_OPTIONS='detect_leaks=0')
    seconds = int(args.minutes * 60)
    cmd = [python, os.path.join(ROOT, 'tools', 'python', 'capture.py'),
           '--device', node, '--endpoint', '0x81', '--interface', '0', '--size', args.size,
           '--seconds', str(seconds), '--scale', args.scale,
           '--record', os.path.join(tmp, 'rec'), '--keep', '3',
           '--snapshot', os.path.join(tmp, 'shot.png'), '--every', '600', '--grey', '--crop']
    print('soak: %s for %d s: %s at %s fps, %s tiles, scale %s, recording with --keep 3, a '
          'grey cropped snapshot every 600 frames' % (
              os.path.basename(cmd[1]), seconds, args.size, args.fps or 'unpaced', args.update,
              args.scale))
    host = subprocess.Popen(cmd, env=env, stderr=subprocess.PIPE, universal_newlines=True)
    last = {}  # the host's latest status line
    tail = []

    def read_status():
        for line in iter(host.stderr.readline, ''):
            m = STATUS_LINE.search(line)
            if m:
                last['line'] = m.groups()
            else:
                tail.append(line.rstrip())
    reader = threading.Thread(target=read_status)
    reader.daemon = True
    reader.start()

    samples = []
    print('%8s %10s %10s %10s %5s %9s %8s' % ('time s', 'RSS MB', 'peak MB', 'data MB', 'fds',
                                               'frames/s', 'MB/s'))
    start = time.time()
    try:
        while host.poll() is None:
            time.sleep(min(args.interval, 1.0) if not samples else args.interval)
            try:
                st = proc_status(host.pid)
            except (IOError, OSError):
                break
            if 'VmRSS' not in st:
                break  # exiting
            t = time.time() - start
            _, fps, mbs, _ = last.get('line', ('0', '0', '0', '0'))
            samples.append((t, st))
            print('%8.0f %10.1f %10.1f %10.1f %5d %9s %8s' % (
                t, st['VmRSS'] / 1e6, st['VmHWM'] / 1e6, st['VmData'] / 1e6, st['fds'], fps, mbs))
            sys.stdout.flush()
    except KeyboardInterrupt:
        host.send_signal(signal.SIGINT)
    status = host.wait()
    reader.join(5)
    shutil.rmtree(tmp, ignore_errors=True)
    for line in tail[-3:]:
        print('host: ' + line)
    if status != 0:
        print('soak: the capture host failed with status %d' % status)
        return 1
    # From the warm-up to the end of the run, not its shutdown.
    settled = [s for s in samples if args.warm_up <= s[0] <= seconds]
    if len(settled) < 2:
        print('soak: too short to measure growth after a %g s warm-up' % args.warm_up)
        return 1
    (t0, first), (t1, final) = settled[0], settled[-1]
    growth = final['VmRSS'] - first['VmRSS']
    minutes = (t1 - t0) / 60.0
    print('soak: after the warm-up RSS went from %.1f MB to %.1f MB in %.1f min '
          '(%+.0f KB, %+.0f KB/min); peak %.1f MB; descriptors %d -> %d' % (
              first['VmRSS'] / 1e6, final['VmRSS'] / 1e6, minutes, growth / 1e3,
              growth / 1e3 / max(minutes, 1e-9), final['VmHWM'] / 1e6, first['fds'],
              final['fds']))
    # The recording file being written holds a descriptor.
    if growth > args.max_growth_mb * 1e6 or final['fds'] > first['fds'] + 2:
        print('soak: FAILED: the host keeps growing')
        return 1
    print('soak: ok')
    return 0


if __name__ == '__main__':
    sys.exit(main())
