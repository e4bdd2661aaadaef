"""The one frame type every source yields (live camera, recording, network
subscription), and the description of a stream that comes with it."""
import time
from dataclasses import dataclass, field
from typing import Dict, Optional

import numpy as np

from .geometry import Intrinsics


@dataclass
class Frame:
    """One frame as plain data; owns its arrays.

    Times: `timestamp_ms` is the module's own clock (milliseconds, as the
    camera reports it); `host_time_ns` is the host's monotonic clock
    (`time.monotonic_ns()`) when the frame reached Python; `capture_ns` is
    the estimated instant the module captured the frame, on that same
    monotonic clock (the library maps the module's clock onto the host's;
    `system_time_ns(frame.capture_ns)` gives it on `time.time_ns()`'s clock).
    None on a frame built without it. The times are never mixed.
    `sequence` counts frames delivered by this source, from 0; `dropped`
    is how many frames the module sent before this one that never arrived
    (from the module's timestamps and frame period)."""

    sequence: int
    timestamp_ms: int
    host_time_ns: int
    dropped: int
    width: int
    height: int
    output: str  # "depth" or "raw"
    depth: Optional[np.ndarray] = None       # float32 (height, width), millimetres, 0 = invalid
    amplitude: Optional[np.ndarray] = None   # float32 (height, width)
    confidence: Optional[np.ndarray] = None  # float32 (height, width)
    raw: Optional[np.ndarray] = None         # uint16 (rows, width): the raw frame's samples
    capture_ns: Optional[int] = None         # estimated capture instant, time.monotonic_ns() clock


def system_time_ns(monotonic_ns, now=None):
    """A time of `time.monotonic_ns()`'s clock on `time.time_ns()`'s clock
    (the system clock, whose epoch ROS stamps use), through the offset
    between the two clocks now (`now`: a (monotonic, system) pair read
    together). The system clock may be stepped meanwhile; the monotonic one
    never is, so times are kept monotonic and converted where they leave."""
    if now is None:
        now = clock_pair()
    mono, system = now
    return int(monotonic_ns) - mono + system


def clock_pair():
    """(monotonic ns, system ns) read as close together as the two reads
    allow: the system clock read between two monotonic reads, the closest
    of three tries."""
    best = None
    for _ in range(3):
        a = time.monotonic_ns()
        s = time.time_ns()
        b = time.monotonic_ns()
        if best is None or b - a < best[0]:
            best = (b - a, (a + b) // 2, s)
    return best[1], best[2]


@dataclass
class StreamInfo:
    """What a source streams: enough to record, show or send its frames."""

    source: str          # e.g. "usb:0", "csi:0", "file:PATH", "recording:PATH"
    variant: str         # "hqvga" or "vga"
    width: int           # depth image size
    height: int
    output: str          # "depth" or "raw"
    intrinsics: Intrinsics
    controls: Dict[str, int] = field(default_factory=dict)  # the controls in force
    version: str = ""    # library version that produced the stream
    # vendor library soname -> "simulated" or the path of the vendor's build in use
    libraries: Dict[str, str] = field(default_factory=dict)
    # The depth filters applied to the frames ({"preset": ..., "params":
    # {...}}), None for raw depth.
    filters: Optional[dict] = None
