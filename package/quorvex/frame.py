"""The one frame type every source yields (live camera, recording, network
subscription), and the description of a stream that comes with it."""
from dataclasses import dataclass, field
from typing import Dict, Optional

import numpy as np

from .geometry import Intrinsics


@dataclass
class Frame:
    """One frame as plain data; owns its arrays.

    Times: `timestamp_ms` is the module's own clock (milliseconds, as the
    camera reports it); `host_time_ns` is the host's monotonic clock
    (`time.monotonic_ns()`) when the frame reached Python. The two are
    never mixed.
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
