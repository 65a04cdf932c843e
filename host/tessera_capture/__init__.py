"""tessera_capture: the capture host of the tessera grabber, as a program
(`tessera-capture`, `python -m tessera_capture`) and as an API:

    import tessera_capture
    with tessera_capture.open('/dev/bus/usb/001/004', scale=0.5) as capture:
        for frame in capture.frames():
            print(frame.width, frame.height, frame.time)
            frame.save_png('last.png')

A camera for other programs, fed with the frames (see sinks/v4l2.py):

    camera = tessera_capture.Camera('/dev/video9', fmt='YUYV', fps=30)
    try:
        for frame in capture.frames():
            camera.add(frame)
    finally:
        camera.close()

The submodules load when first used, so the encoder's binding (tilestream)
also serves the modules' own Python 2.7 suites.
"""

__version__ = '1.0.0'

__all__ = ['open', 'Frame', 'Camera', 'CaptureError', 'DeviceError', 'RecordingError',
           'OutputError', 'VideoError', 'ViewError', 'UsageError']


def open(source=None, **options):  # noqa: A001 -- the API's name for it
    """A capture of `source`: see tessera_capture.api.open."""
    from . import api
    return api.open(source, **options)


def __getattr__(name):
    if name == 'Frame':
        from .frame import Frame
        return Frame
    if name == 'Camera':
        from .sinks.v4l2 import Camera
        return Camera
    if name in __all__:
        from . import errors
        return getattr(errors, name)
    raise AttributeError(name)
