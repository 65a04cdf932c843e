"""What a video costs: the capture command on the usbdevfs stand-in paced as a
1920x1080 grabber that sends every tile of every frame, writing .mkv and .mp4
at scale 1 and 0.5, for --seconds each:
  - CPU (user + sys) of the host and all its children (ffmpeg) per second of
    capture, in cores, and the video frames dropped;
  - the checks of the result: the .mkv's last frame against the snapshot, the
    .mp4's pixel format, profile and moov ahead of mdat;
  - the highest rate of such a stream, among a few, that the capture keeps up
    with: every frame captured (but one at either end), no video frame dropped;
  - ffmpeg alone on captured 1080p frames: CPU ms and bytes a frame for the
    lossless encoders Debian's ffmpeg has, and whether they decode back
    byte for byte.
--capture runs another tree's capture.py (the one before a change, say), on
this build's libraries.

Usage (from a build's environment, as ctest runs it):
  bench/video_cpu.py LIBUSBFS_STANDIN [--seconds 15] [--capture PATH] [--json FILE] [--smoke]
"""
import argparse
import json
import os
import re
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CAPTURE = os.path.join(os.path.dirname(HERE), 'tools', 'python', 'capture.py')
SIZE = (1920, 1080)
CODECS = [
    ('ffv1', '-c:v ffv1 -level 3 -slices 4 -slicecrc 1 -pix_fmt bgr0'),
    ('libx264rgb qp0, rgb24', '-c:v libx264rgb -preset ultrafast -qp 0 -pix_fmt rgb24'),
    ('libx264rgb qp0, bgr0', '-c:v libx264rgb -preset ultrafast -qp 0 -pix_fmt bgr0'),
    ('utvideo', '-c:v utvideo -pix_fmt gbrp'),
    ('ffvhuff', '-c:v ffvhuff -pix_fmt bgr0'),
]


def cpu_of(command, env=None, stdout=None):
    """Runs `command`; (exit status, CPU seconds of it and its children, wall
    seconds, its stderr)."""
    with tempfile.TemporaryFile() as err:
        start = time.time()
        child = subprocess.Popen(command, env=env, stdout=stdout or subprocess.DEVNULL,
                                 stderr=err)
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status) if hasattr(
            os, 'waitstatus_to_exitcode') else status >> 8
        wall = time.time() - start
        err.seek(0)
        return (child.returncode, usage.ru_utime + usage.ru_stime, wall,
                err.read().decode('utf-8', 'replace'))


def capture(args, workdir, standin, fps, seconds, scale, ext, capture_py):
    """One capture of the paced full-change stream into a video; a dict of
    figures."""
    node = os.path.join(workdir, 'node')
    if not os.path.exists(node):
        os.mkfifo(node)
    video = os.path.join(workdir, 'out' + ext)
    shot = os.path.join(workdir, 'last.png')
    env = dict(os.environ, LD_PRELOAD=standin, USBFS_STANDIN_DEVICE=node,
               USBFS_STANDIN_STREAM='synthetic:%dx%d' % SIZE, USBFS_STANDIN_UPDATE='full',
               USBFS_STANDIN_FPS=str(fps))
    status, cpu, _, err = cpu_of(
        [sys.executable, capture_py, '--device', node, '--endpoint', '0x81', '--interface', '0',
         '--size', '%dx%d' % SIZE, '--seconds', str(seconds), '--scale', str(scale),
         '--video', video, '--snapshot', shot] + args, env)
    if status != 0:
        raise SystemExit('capture failed (%d): %s' % (status, err[-2000:]))
    line = [l for l in err.splitlines() if ' frames in ' in l][0]
    frames, elapsed = re.search(r'(\d+) frames in ([\d.]+) s', line).groups()
    dropped = int(re.search(r'(\d+) dropped while ffmpeg', err).group(1))
    result = {'ext': ext, 'scale': scale, 'stream_fps': fps, 'captured': int(frames),
              'seconds': float(elapsed), 'cpu_s': round(cpu, 3),
              'cores': round(cpu / float(elapsed), 3), 'dropped': dropped,
              'video_bytes': os.path.getsize(video)}
    result.update(check_mp4(video) if ext == '.mp4' else check_last_frame(video, shot))
    return result


def check_mp4(path):
    probe = subprocess.check_output(['ffprobe', '-v', 'error', '-select_streams', 'v:0',
                                     '-show_entries', 'stream=pix_fmt,profile', '-of',
                                     'default=nw=1', path]).decode()
    fields = dict(l.split('=', 1) for l in probe.splitlines())
    atoms = []
    with open(path, 'rb') as f:
        while True:
            head = f.read(8)
            if len(head) < 8:
                break
            size, kind = struct.unpack('>I4s', head)
            if size == 1:
                size = struct.unpack('>Q', f.read(8))[0] - 8
            atoms.append(kind.decode('ascii', 'replace'))
            f.seek(size - 8, 1)
    return {'pix_fmt': fields.get('pix_fmt'), 'profile': fields.get('profile'),
            'moov_first': 'moov' in atoms and atoms.index('moov') < atoms.index('mdat')}


def rgb(command):
    return subprocess.check_output(['ffmpeg', '-v', 'error'] + command +
                                   ['-f', 'rawvideo', '-pix_fmt', 'rgb24', '-'])


def check_last_frame(video, shot):
    last = rgb(['-i', shot])
    decoded = rgb(['-sseof', '-1', '-i', video, '-fps_mode', 'passthrough'])
    return {'last_frame_is_snapshot': decoded[-len(last):] == last}


def keeps_up(args, workdir, standin, rates, seconds, ext, capture_py):
    """The highest of `rates` the capture keeps up with, and the runs."""
    best, runs = None, []
    for fps in rates:
        run = capture(args, workdir, standin, fps, seconds, 1, ext, capture_py)
        runs.append(run)
        # A frame at each end may fall outside the run's seconds.
        if run['dropped'] or run['captured'] < fps * run['seconds'] - 2:
            break
        best = fps
    return best, runs


def codec_comparison(workdir, frames, size):
    """ffmpeg alone on `frames` captured frames of `size`, each codec: CPU ms
    and bytes a frame, and whether it decodes back byte for byte."""
    raw = os.path.join(workdir, 'frames.rgba')
    status, _, _, err = cpu_of([sys.executable, CAPTURE, '--size', '%dx%d' % size,
                                '--every-tile', '--frames', str(frames), '--raw', raw])
    if status != 0:
        raise SystemExit('capture of the frames failed: ' + err[-2000:])
    source = ['ffmpeg', '-v', 'error', '-y', '-f', 'rawvideo', '-pix_fmt', 'rgb0', '-s',
              '%dx%d' % size, '-r', '30', '-i', raw]
    # Reading the frames is not the encoder's: a run that only reads them is taken off.
    _, reading, _, _ = cpu_of(source + ['-f', 'null', '-'])
    with open(raw, 'rb') as f:
        original = f.read()
    results = []
    for name, codec in CODECS:
        out = os.path.join(workdir, 'codec.mkv')
        status, cpu, _, err = cpu_of(source + codec.split() + [out])
        if status != 0:
            raise SystemExit('ffmpeg %s failed: %s' % (codec, err))
        back = subprocess.check_output(['ffmpeg', '-v', 'error', '-i', out, '-f', 'rawvideo',
                                        '-pix_fmt', 'rgba', '-'])
        results.append({'codec': name, 'args': codec,
                        'ms_per_frame': round((cpu - reading) * 1000.0 / frames, 1),
                        'bytes_per_frame': os.path.getsize(out) // frames,
                        'lossless': back == original})
    return results


def main():
    p = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    p.add_argument('standin', help='libusbfs_standin.so')
    p.add_argument('--seconds', type=float, default=15)
    p.add_argument('--capture', default=CAPTURE, help='the capture.py to measure')
    p.add_argument('--codec', help='--codec for every capture')
    p.add_argument('--json')
    p.add_argument('--ext', action='append', choices=('.mkv', '.mp4'),
                   help='only this kind of video (repeatable)')
    p.add_argument('--no-codecs', action='store_true', help='leave out the codec comparison')
    p.add_argument('--smoke', action='store_true', help='a few seconds, one of each')
    a = p.parse_args()
    args = ['--codec=' + a.codec] if a.codec else []
    seconds = 2 if a.smoke else a.seconds
    report = {'capture': a.capture, 'codec': a.codec, 'runs': [], 'keeps_up': {}}
    with tempfile.TemporaryDirectory(prefix='video-cpu-') as workdir:
        for ext in a.ext or ('.mkv', '.mp4'):
            for scale in ((1,) if a.smoke else (1, 0.5)):
                run = capture(args, workdir, a.standin, 6, seconds, scale, ext, a.capture)
                report['runs'].append(run)
                print(json.dumps(run), flush=True)
            best, runs = keeps_up(args, workdir, a.standin, (6,) if a.smoke else
                                  (6, 8, 10, 12, 15, 20), 2 if a.smoke else 5, ext, a.capture)
            report['keeps_up'][ext] = {'fps': best, 'runs': runs}
            print('%s keeps up with a full-change 1080p stream at %s frames/s' % (ext, best),
                  flush=True)
        report['codecs'] = [] if a.no_codecs else codec_comparison(
            workdir, 2 if a.smoke else 24, (320, 240) if a.smoke else SIZE)
        for c in report['codecs']:
            print(json.dumps(c), flush=True)
    if a.json:
        with open(a.json, 'w') as f:
            json.dump(report, f, indent=1)
    failed = [r for r in report['runs'] if not (r.get('last_frame_is_snapshot', True) and
                                                 r.get('moov_first', True))]
    return 1 if failed or not all(c['lossless'] for c in report['codecs']) else 0


if __name__ == '__main__':
    sys.exit(main())
