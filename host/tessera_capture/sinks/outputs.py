"""The frame outputs of a run: video and raw frames."""
from ..errors import PROG, VideoError
from .raw import RawOutput
from .video import VideoOutput


class FrameOutputs:
    """The video and raw outputs of a run. They start at the first frame,
    whose picture (after cropping) fixes the size of every frame: a picture
    that later changes size is cut, or filled with black, to it."""

    def __init__(self, video, raw, out, wait):
        self.video_plan = video  # a VideoPlan, or None
        self.raw_path = raw
        self.out = out
        self.wait = wait
        self.rect = None
        self.video = self.raw = None
        self.failed = None  # the output whose failure was raised

    def wants_pixels(self, number, count):
        return True

    def add(self, frame):
        """VideoError when an output has failed."""
        if self.failed:
            return
        if self.rect is None:
            self._start(frame.crop)
        pixels = frame.cut(self.rect)
        if self.raw and not self.raw.add(pixels):
            self._fail(self.raw)
        if self.video and not self.video.add(pixels, frame.time):
            self._fail(self.video)

    def _start(self, rect):
        self.rect = rect
        size = rect[2:]
        if self.video_plan:
            self.video = VideoOutput(self.video_plan, size, self.wait, self.out)
        if self.raw_path:
            self.out.write('%s: raw frames %dx%d, 4 bytes a pixel (R, G, B, A), %d bytes a '
                           'frame\n' % ((PROG,) + size + (size[0] * size[1] * 4,)))
            self.out.flush()
            self.raw = RawOutput(self.raw_path, size, self.wait)

    def _fail(self, output):
        self.failed = output
        raise VideoError(output.failure())

    def status(self):
        """What the status line says of the outputs."""
        return ''.join('  %s dropped %d' % (name, output.queue.dropped)
                       for name, output in (('video', self.video), ('raw', self.raw)) if output)

    def close(self):
        """Finishes every output and reports it; VideoError for a failure not
        raised before."""
        if self.rect is None:
            raise VideoError('no picture arrived; no video or raw frames written')
        failures = []
        for output in (self.raw, self.video):
            if output:
                failure = output.close()
                self.out.write('%s: %s\n' % (PROG, output.summary()))
                if failure and output is not self.failed:
                    failures.append(failure)
        if failures:
            raise VideoError('; '.join(failures))
