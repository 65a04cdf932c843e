"""What the capture host's exact frame count costs, against videoSink on the
same buffers, for three kinds of stream at 1920x1080:
  - whole frames (every tile): a first-tile flag once in hundreds of buffers;
  - a mostly still picture (40 changed tiles a frame): about 1.5 frames a buffer;
  - a nearly still one (4 changed tiles a frame): about 10 frames a buffer.
Each figure is the best of several rounds. The cost per second is given at the
USB 2.0 rate of 53 MB/s; a real grabber sends at most some tens of frames a
second, so at that rate only the first kind occurs, and the others bound the
cost of a buffer that holds frame starts.

Usage: PYTHONPATH=build/python:host python3 bench/frame_count.py [--smoke]
"""
from __future__ import print_function

import argparse
import random
import struct
import time

from tessera_capture import framing as capture_frames
import tessera
from tessera_capture import tilestream

WIDTH, HEIGHT = 1920, 1080
USB2_MB_S = 53.0


def stream(frames, changed_tiles):
    enc = tilestream.Encoder(WIDTH, HEIGHT)
    tiles = enc.tiles_wide * enc.tiles_high
    rng = random.Random(1)
    for n in range(frames):
        mask = None
        if changed_tiles:
            marks = bytearray(tiles)
            for i in rng.sample(range(tiles), changed_tiles):
                marks[i] = 1
            mask = bytes(marks)
        enc.put_frame(tilestream.test_pattern(WIDTH, HEIGHT, n), mask)
    return enc.transfers(), (enc.tiles_wide, enc.tiles_high)


def measure(buffers, tiles, frames):
    """(seconds in videoSink, seconds counting) over the buffers."""
    clock = time.time
    counter = capture_frames.FrameCounter()
    tessera.playvideo(struct.pack('<iiii', 0, 0, WIDTH, HEIGHT))
    decode = count = 0.0
    total = 0
    for raw in buffers:
        began = clock()
        held = tessera.record()
        first = tessera.videoSink(raw)[1]
        decoded = clock()
        total += counter.count(raw, held, tessera.record(), tiles, first)
        decode += decoded - began
        count += clock() - decoded
    assert total == frames, (total, frames)
    return decode, count


def main():
    p = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    p.add_argument('--smoke', action='store_true',
                   help='a hundredth of the frames, one round: shows that it runs, '
                   'measures nothing')
    args = p.parse_args()
    rounds = 1 if args.smoke else 7
    tessera.createBuffer(WIDTH, HEIGHT)
    for name, frames, changed in (('whole frames', 6, 0), ('40 changed tiles a frame', 3000, 40),
                                  ('4 changed tiles a frame', 20000, 4)):
        if args.smoke:
            frames = max(2, frames // 100)
        buffers, tiles = stream(frames, changed)
        megabytes = sum(len(b) for b in buffers) / 1e6
        best = [min(pair) for pair in zip(*[measure(buffers, tiles, frames)
                                            for _ in range(rounds)])]
        decode, count = best
        print('%-26s %5.1f frames a buffer: counting %6.1f us a buffer, %.2fx videoSink; '
              '%5.1f%% of a core at %g MB/s' %
              (name, float(frames) / len(buffers), 1e6 * count / len(buffers), count / decode,
               100 * count * USB2_MB_S / megabytes, USB2_MB_S))


if __name__ == '__main__':
    main()
