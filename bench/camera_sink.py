"""What the camera (--v4l2) costs: the CPU of this process and its children
per second of capture, with frames of a full-change 1920x1080 source at 6
frames/s handed to the camera at 30 frames/s, against the same frames (taken
without their pixels, as no other sink asks for them) in the same run. The
device is a stand-in of a v4l2loopback output queue: mmap buffers, QBUF and
DQBUF as calls that return at once, as the module's do. Goal: at most 0.10
cores for the camera.

Usage: PYTHONPATH=build/python:host python3 bench/camera_sink.py [--seconds S] [--json OUT]
"""
import argparse
import json
import mmap
import os
import resource
import time

from tessera_capture.frame import Frame, Picture
from tessera_capture.sinks import v4l2

WIDTH, HEIGHT = 1920, 1080
SOURCE_FPS = 6.0
CAMERA_FPS = 30.0


class OutputQueue:
    def __init__(self, path):
        self.buffers = []
        self.queued = 0

    def capabilities(self):
        return v4l2.LOOPBACK_DRIVER, 'stand-in', v4l2.CAP_VIDEO_OUTPUT | v4l2.CAP_STREAMING

    def set_format(self, fourcc, width, height, bytesperline, colorspace):
        return fourcc, width, height, bytesperline, bytesperline * height

    def request_buffers(self, count):
        return count

    def map_buffer(self, index):
        self.buffers.append(mmap.mmap(-1, WIDTH * HEIGHT * 3))
        return self.buffers[-1]

    def queue(self, index, bytesused, timestamp):
        self.queued += 1

    def dequeue(self):
        return 0

    def stream(self, on):
        pass

    def close(self):
        pass


def cpu():
    total = 0.0
    for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN):
        usage = resource.getrusage(who)
        total += usage.ru_utime + usage.ru_stime
    return total


def run(pictures, seconds, camera):
    """(CPU seconds, wall seconds, longest add() in seconds) of frames at the
    source's rate, each a whole new picture."""
    started, used = time.time(), cpu()
    longest = 0.0
    n = 0
    while time.time() - started < seconds:
        picture = pictures[n % len(pictures)]
        frame = Frame(n + 1, time.time(), 1, picture, (), (0, 0, WIDTH, HEIGHT),
                      camera is not None)
        if camera:
            began = time.time()
            camera.add(frame)
            longest = max(longest, time.time() - began)
        n += 1
        time.sleep(max(0.0, started + n / SOURCE_FPS - time.time()))
    return cpu() - used, time.time() - started, longest


def main():
    p = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    p.add_argument('--seconds', type=float, default=10.0, help='per run (default 10)')
    p.add_argument('--format', choices=v4l2.FORMATS, default=v4l2.DEFAULT_FORMAT)
    p.add_argument('--json', metavar='OUT', help='also write the results here')
    args = p.parse_args()
    pictures = []
    for _ in range(2):
        picture = Picture((WIDTH, HEIGHT), 16)
        picture.pixels[:] = os.urandom(len(picture.pixels))
        pictures.append(picture)

    base_cpu, base_wall, _ = run(pictures, args.seconds, None)
    # /dev/null passes the node checks; the stand-in answers the ioctls.
    camera = v4l2.Camera('/dev/null', args.format, CAMERA_FPS, None, OutputQueue)
    cam_cpu, cam_wall, longest = run(pictures, args.seconds, camera)
    camera.close()
    results = {
        'format': args.format,
        'baseline_cores': base_cpu / base_wall,
        'with_camera_cores': cam_cpu / cam_wall,
        'camera_cores': cam_cpu / cam_wall - base_cpu / base_wall,
        'camera_frames_per_s': camera.shown / cam_wall,
        'pictures_per_s': camera.pictures / cam_wall,
        'longest_add_ms': 1000 * longest,
    }
    print('camera %s, %dx%d from %g frames/s at %g frames/s: %.3f cores (%.3f with the camera, '
          '%.3f without); %.1f frames/s shown, %.1f pictures/s converted; add() at most %.2f ms'
          % (args.format, WIDTH, HEIGHT, SOURCE_FPS, CAMERA_FPS, results['camera_cores'],
             results['with_camera_cores'], results['baseline_cores'],
             results['camera_frames_per_s'], results['pictures_per_s'],
             results['longest_add_ms']))
    if args.json:
        with open(args.json, 'w') as f:
            json.dump(results, f, indent=1)


if __name__ == '__main__':
    main()
