"""Pictures as the capture builds them, and the frames it hands on.

A `Picture` is the loop's own, updated in place from exported runs. A `Frame`
is what sinks, the view and callers of the API get: immutable, it holds the
changed runs of that frame and, when asked for, a copy of the whole picture
taken at the frame's end."""
from . import png


class Picture(object):
    """The host's copy of the picture, kept from exported runs of changed tiles:
    whole tiles of `edge` pixels, 4 bytes a pixel in the frame store's order."""

    def __init__(self, frame_size, edge, memory=None):
        width, height = frame_size
        self.tiles = ((width + 15) // 16, (height + 15) // 16)
        self.edge = edge
        self.stride, rows = self.layout(frame_size, edge)
        # `memory`, when given, is a writable buffer of at least that size: shared with the view.
        self.pixels = bytearray(self.stride * rows) if memory is None else memory
        # Slice assignment through a memoryview is a plain copy; through the
        # bytearray itself it is many times slower.
        self.view = memoryview(self.pixels)
        # The frame at this scale; the last tile row or column may reach past it.
        self.width = max(1, width * edge // 16)
        self.height = max(1, height * edge // 16)

    @staticmethod
    def layout(frame_size, edge):
        """(bytes a row, rows) of the picture of a frame size at a tile edge."""
        return (frame_size[0] + 15) // 16 * edge * 4, (frame_size[1] + 15) // 16 * edge

    def put(self, tx, ty, data, size):
        width, height = size
        row = width * 4
        start = ty * self.edge * self.stride + tx * self.edge * 4
        if row == self.stride:
            self.view[start:start + row * height] = data
            return
        data = memoryview(data)
        for r in range(height):
            at = start + r * self.stride
            self.view[at:at + row] = data[r * row:(r + 1) * row]

    def apply(self, runs):
        for tx, ty, data, size in runs:
            self.put(tx, ty, data, size)


def cut(image, stride, image_width, image_height, rect, opaque=False):
    """The `rect` (x, y, width, height) of an image of `image_width` x
    `image_height` pixels whose rows lie `stride` bytes apart, as tightly packed bytes (a
    memoryview without a copy when whole rows are taken); what lies outside
    the image is black. With `opaque` every fourth byte is set to 255."""
    x, y, width, height = rect
    row = width * 4
    if x == 0 and row == stride and y + height <= image_height and not opaque:
        return memoryview(image)[y * stride:(y + height) * stride].toreadonly()
    out = bytearray(row * height)
    part = max(0, min(width, image_width - x)) * 4
    source = memoryview(image)
    for r in range(max(0, min(height, image_height - y))):
        at = (y + r) * stride + x * 4
        out[r * row:r * row + part] = source[at:at + part]
    if opaque:
        out[3::4] = b'\xff' * (width * height)
    return bytes(out)


class Frame(object):
    """One completed frame.

    number    frames completed in the run up to this one
    count     frames this one completes: more than 1 when several ended in
              one buffer (they are shown as one), 0 for a picture taken
              after the run
    time      when its last buffer arrived, seconds since the epoch (a
              replay's recorded time)
    picture_size    (width, height) of the picture at the run's scale
    edge      pixels per tile edge at that scale
    runs      the changed runs, (tx, ty, pixels, (w, h)) in tiles of `edge`,
              when the capture keeps them (for a view), else empty
    crop      (x, y, width, height) of the picture without its black borders
              when the run crops, else the whole picture
    width, height   the size of `crop`
    pixels    width x height x 4 bytes (R, G, B, A=255) of `crop`, or None
              when no one asked the capture for pixels"""

    __slots__ = ('number', 'count', 'time', 'picture_size', 'edge', 'runs', 'crop', '_image',
                 '_stride')

    def __init__(self, number, time, count, picture, runs, crop, with_pixels):
        self.number = number
        self.count = count
        self.time = time
        self.picture_size = (picture.width, picture.height)
        self.edge = picture.edge
        self.runs = tuple(runs)
        self.crop = crop
        self._stride = picture.stride
        self._image = bytes(picture.pixels) if with_pixels else None

    def __setattr__(self, name, value):
        if hasattr(self, '_image'):
            raise AttributeError('a Frame cannot be changed')
        object.__setattr__(self, name, value)

    @property
    def width(self):
        return self.crop[2]

    @property
    def height(self):
        return self.crop[3]

    @property
    def pixels(self):
        return self.cut(self.crop)

    def cut(self, rect):
        """The pixels of `rect` (x, y, width, height), black outside the picture."""
        if self._image is None:
            return None
        # A shrunk export's fourth byte is an average, not an opacity.
        return cut(self._image, self._stride, self.picture_size[0], self.picture_size[1], rect,
                   opaque=self.edge < 16)

    def save_png(self, path):
        """Writes the pixels as an RGB PNG."""
        if self._image is None:
            raise ValueError('this frame was taken without its pixels')
        png.write_png(path, self._image, self._stride, *self.crop)

    def __repr__(self):
        return '<Frame %d %dx%d at %.3f>' % (self.number, self.width, self.height, self.time)
