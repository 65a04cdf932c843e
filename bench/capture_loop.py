"""The Python capture loop against the same work done in C++.

Usage (CTest runs it, label bench, and with --rounds 1 --frames 1 as a smoke
test, with the usbdevfs stand-in preloaded):
    capture_loop.py LIBCAPTURE_BASELINE [--json OUT] [--rounds N] [--frames N]

Each figure is the best time of one frame (or of one read, over batches)
across interleaved rounds of one run: other work on a shared machine only ever
adds time, and a frame takes a few milliseconds, short enough to run
undisturbed now and then. For a 1920x1080 full-frame update (every tile a
pixel packet) at scale 1 and 0.5 it compares
  - the Python loop: readVideo, videoSink, getChanges, toRGBString;
  - the C++ decode and export alone, on the same bytes in memory;
  - the C++ decode and export reading the same transfers through the bulk
    ring and the stand-in, so that only what Python adds is left over;
and readVideo per call with the same read in C++ and with a call of a
trivial module method. The goal for the loop is at most 1.3 times the decode
and export work it drives. Not a pass/fail test: it fails only if the loop
itself breaks.
"""
import argparse
import ctypes
import json
import os
import time

import sluice64
import tessera
from tessera_capture import tilestream
import usbfs_standin

W, H = 1920, 1080
TILES_WIDE, TILES_HIGH = (W + 15) // 16, (H + 15) // 16
READ_CALLS = 64  # a batch of reads


def full_frame_transfers():
    """A frame in which every tile is a pixel packet, as bulk transfers."""
    pixels = (ctypes.c_uint16 * (W * H)).from_buffer_copy(os.urandom(W * H * 2))
    enc = tilestream.Encoder(W, H)
    enc.put_frame(pixels)
    return enc.transfers()


def best_of(times):
    return min(times)


class Bench(object):
    def __init__(self, baseline_library, transfers):
        self.transfers = transfers
        self.lib = ctypes.CDLL(baseline_library)
        self.lib.captureBaseline.restype = ctypes.c_double
        self.lib.captureBaseline.argtypes = [
            ctypes.c_char_p, ctypes.POINTER(ctypes.c_int), ctypes.c_int, ctypes.c_int,
            ctypes.c_int, ctypes.c_float, ctypes.c_int, ctypes.c_int]
        self.lib.readBaseline.restype = ctypes.c_double
        self.lib.readBaseline.argtypes = [ctypes.c_int] * 3
        self.stream = b''.join(transfers)
        self.lengths = (ctypes.c_int * len(transfers))(*[len(t) for t in transfers])
        # One device for the module's reader, one for the C++ ring: two
        # readers on one descriptor would take each other's transfers.
        self.dev, self.ring_dev = usbfs_standin.Device(), usbfs_standin.Device()
        for dev in self.dev, self.ring_dev:
            dev.record(False)
        self.handle = sluice64.attach(self.dev.fd, 0x81)

    def close(self):
        sluice64.detach(self.handle)
        self.dev.close()
        self.ring_dev.close()

    def feed(self, dev, frames):
        for _ in range(frames):
            for t in self.transfers:
                dev.feed(t)

    def cpp(self, scale, frames, through_ring):
        """Best seconds of one frame of the work in C++."""
        fd = -1
        if through_ring:
            self.feed(self.ring_dev, frames)
            fd = self.ring_dev.fd
        seconds = self.lib.captureBaseline(self.stream, self.lengths, len(self.transfers),
                                           W, H, scale, frames, fd)
        if seconds < 0:
            raise RuntimeError('C++ capture failed')
        return seconds

    def python(self, scale, frames):
        """Best seconds of one frame of the Python capture loop."""
        tessera.createBuffer(W, H)
        self.feed(self.dev, frames)
        read, sink, changes, fetch = (sluice64.readVideo, tessera.videoSink,
                                      tessera.getChanges, tessera.toRGBString)
        handle, per_frame, clock = self.handle, len(self.transfers), time.time
        times = []
        for _ in range(frames):
            start = clock()
            for _ in range(per_frame):
                sink(read(handle))
            for ty in range(TILES_HIGH):
                for tx, n in changes(ty, TILES_WIDE):
                    fetch(tx, ty, n, 1, scale)
            times.append(clock() - start)
        return best_of(times)

    def python_read(self, batches):
        """Best seconds of one readVideo of a full transfer."""
        run = b'r' * 16384
        for _ in range(batches * READ_CALLS):
            self.dev.feed(run)
        read, handle, clock = sluice64.readVideo, self.handle, time.time
        times = []
        for _ in range(batches):
            start = clock()
            for _ in range(READ_CALLS):
                read(handle)
            times.append((clock() - start) / READ_CALLS)
        return best_of(times)

    def cpp_read(self, batches):
        run = b'r' * 16384
        for _ in range(batches * READ_CALLS):
            self.ring_dev.feed(run)
        seconds = self.lib.readBaseline(self.ring_dev.fd, batches, READ_CALLS)
        if seconds < 0:
            raise RuntimeError('C++ read failed')
        return seconds

    @staticmethod
    def trivial_call(batches):
        record, clock = tessera.record, time.time
        times = []
        for _ in range(batches):
            start = clock()
            for _ in range(READ_CALLS):
                record()
            times.append((clock() - start) / READ_CALLS)
        return best_of(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('baseline_library')
    parser.add_argument('--json')
    parser.add_argument('--rounds', type=int, default=5)
    parser.add_argument('--frames', type=int, default=8)
    args = parser.parse_args()

    bench = Bench(args.baseline_library, full_frame_transfers())
    best = {}

    def keep(name, value):
        best[name] = min(best.get(name, value), value)

    for _ in range(args.rounds):
        for scale in 1.0, 0.5:
            keep('cpp_%g' % scale, bench.cpp(scale, args.frames, False))
            keep('ring_%g' % scale, bench.cpp(scale, args.frames, True))
            keep('python_%g' % scale, bench.python(scale, args.frames))
        keep('python_read', bench.python_read(30))
        keep('cpp_read', bench.cpp_read(30))
        keep('trivial_call', Bench.trivial_call(30))
    bench.close()

    figures = {
        'transfers_per_frame': len(bench.transfers),
        'read_us': best['python_read'] * 1e6,
        'cpp_read_us': best['cpp_read'] * 1e6,
        'read_vs_cpp_read': best['python_read'] / best['cpp_read'],
        'read_vs_trivial_call': best['python_read'] / best['trivial_call'],
    }
    print('%d transfers of up to 16384 bytes per %dx%d frame' % (len(bench.transfers), W, H))
    print('readVideo of a full transfer: %.2f us = %.2f x the same read in C++ (%.2f us) '
          '= %.1f x a trivial method call' % (
              figures['read_us'], figures['read_vs_cpp_read'], figures['cpp_read_us'],
              figures['read_vs_trivial_call']))
    for scale in 1.0, 0.5:
        py, cpp, ring = [best['%s_%g' % (k, scale)] for k in ('python', 'cpp', 'ring')]
        figures.update({
            'python_fps_%g' % scale: 1 / py, 'cpp_fps_%g' % scale: 1 / cpp,
            'ring_fps_%g' % scale: 1 / ring, 'ratio_vs_decode_%g' % scale: py / cpp,
            'ratio_vs_ring_%g' % scale: py / ring})
        print('scale %g: Python loop %.0f fps; C++ decode and export %.0f fps (ratio %.2f, '
              'goal <= 1.3); C++ reading through the ring too %.0f fps (ratio %.2f)' % (
                  scale, 1 / py, 1 / cpp, py / cpp, 1 / ring, py / ring))
    if args.json:
        with open(args.json, 'w') as f:
            json.dump(figures, f, indent=2, sort_keys=True)


if __name__ == '__main__':
    main()
