"""The settings of a run, as the command line and the API give them."""
from dataclasses import dataclass, fields
from typing import Optional, Tuple

DEFAULT_SIZE = (1920, 1080)


@dataclass(frozen=True)
class Settings:
    # Source
    device: Optional[str] = None  # a device node
    find: Optional[Tuple[int, int]] = None  # (vid, pid) of the first such device
    replay: Optional[str] = None  # a recording directory
    size: Tuple[int, int] = DEFAULT_SIZE
    every_tile: bool = False
    endpoint: Optional[int] = None
    interface: Optional[int] = None
    reconnect: bool = False
    timeout: float = 5.0
    # Run
    frames: Optional[int] = None
    seconds: Optional[float] = None
    fast: bool = False
    profile: bool = False
    # Output
    scale: float = 1.0
    snapshot: Optional[str] = None
    every: Optional[int] = None
    grey: bool = False
    crop: bool = False
    record: Optional[str] = None
    keep: Optional[int] = None
    video: Optional[str] = None
    fps: Optional[float] = None
    codec: Optional[str] = None
    ffmpeg: Optional[str] = None
    raw: Optional[str] = None
    view: Optional[Tuple[str, int]] = None
    v4l2: Optional[str] = None  # a V4L2 output device node
    v4l2_format: Optional[str] = None  # YUYV when None

    @classmethod
    def names(cls):
        return [f.name for f in fields(cls)]
