"""Time spent in each step of the capture loop, for --profile."""
import time

from .errors import PROG


class Profile:
    def __init__(self):
        self.seconds = {}

    def wrap(self, name, function):
        self.seconds[name] = 0.0
        clock = time.time

        def timed(*args):
            began = clock()
            try:
                return function(*args)
            finally:
                self.seconds[name] += clock() - began
        return timed

    def report(self, frames, elapsed, out):
        frames = max(1, frames)
        per_frame = lambda s: 1000.0 * s / frames
        out.write('%s: profile, milliseconds per frame over %d frames:\n' % (PROG, frames))
        accounted = 0.0
        for name in ('source', 'videoSink', 'getChanges', 'toRGBString', 'picture', 'recording'):
            if name in self.seconds:
                accounted += self.seconds[name]
                out.write('  %-12s %8.3f\n' % (name, per_frame(self.seconds[name])))
        out.write('  %-12s %8.3f\n' % ('rest of loop', per_frame(max(0.0, elapsed - accounted))))
        native = sum(self.seconds[n] for n in ('videoSink', 'getChanges', 'toRGBString'))
        host = elapsed - self.seconds['source']
        rate = lambda seconds: frames / max(seconds, 1e-9)
        out.write('%s: decode and export (videoSink, getChanges, toRGBString) %.3f ms a frame, '
                  '%.1f%% of the loop; frames/s: %.1f captured, %.1f without the source, %.1f '
                  'for decode and export alone (%.2fx the capture, %.2fx the loop without the '
                  'source)\n' %
                  (PROG, per_frame(native), 100.0 * native / max(elapsed, 1e-9), rate(elapsed),
                   rate(host), rate(native), elapsed / max(native, 1e-9),
                   host / max(native, 1e-9)))
