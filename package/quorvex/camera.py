"""`Camera`: a live camera as a context manager and a source of frames.

First cut: waits with the extension's own `requestFrame` in short slices.
"""
import time

import numpy as np

import QuorvexDepthCamera as _q

from ._version import __version__
from .errors import CameraError
from .frame import Frame, StreamInfo
from .geometry import nominal_intrinsics

_OUTPUTS = {"depth": _q.TOFOutput.DEPTH, "raw": _q.TOFOutput.RAW}
_CONNECTS = {"usb": _q.TOFConnect.USB, "csi": _q.TOFConnect.CSI}


def _check(status, what):
    if status != _q.TOFErrorCode.QuorvexSuccess:
        raise CameraError(f"{what}: {status.str()}", code=status)


class Camera:
    """A camera opened over USB or CSI, or with a configuration file.

        with quorvex.Camera() as cam:          # USB; the simulated module here
            for frame in cam.frames(max_frames=10):
                print(frame.depth[90, 120])
    """

    def __init__(self, connect="usb", index=0, config=None, output="depth"):
        self._cam = _q.QuorvexCamera()
        self._output = output
        self._source = f"file:{config}" if config else f"{connect}:{index}"
        if config:
            _check(self._cam.openWithFile(str(config), index), f"opening with {config}")
        else:
            if connect not in _CONNECTS:
                raise ValueError(f"connect must be one of {sorted(_CONNECTS)}, not {connect!r}")
            _check(self._cam.open(_CONNECTS[connect], index), f"opening {self._source}")
        self._streaming = False
        self._sequence = 0

    # Lifetime -------------------------------------------------------------
    def start(self, output=None):
        if output is not None:
            self._output = output
        if self._output not in _OUTPUTS:
            raise ValueError(f"output must be one of {sorted(_OUTPUTS)}, not {self._output!r}")
        _check(self._cam.start(_OUTPUTS[self._output]), f"starting {self._output}")
        self._streaming = True
        self._sequence = 0

    def stop(self):
        if self._streaming:
            self._streaming = False
            _check(self._cam.stop(), "stopping")

    def close(self):
        if self._cam is not None:
            try:
                self.stop()
            finally:
                self._cam.close()
                self._cam = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    # Controls -------------------------------------------------------------
    def set_control(self, name, value):
        ctrl = _control(name)
        _check(self._cam.setControl(ctrl, int(value)), f"setting {name} = {value}")

    def get_control(self, name):
        return self._cam.getControl(_control(name))

    @property
    def info(self):
        i = self._cam.getCameraInfo()
        variant = "hqvga" if i.device_type == _q.TOFDeviceType.HQVGA else "vga"
        controls = {}
        for name in ("RANGE", "FRAME_RATE", "SKIP_FRAME", "SKIP_FRAME_LOOP"):
            controls[name.lower()] = self._cam.getControl(_control(name))
        return StreamInfo(source=self._source, variant=variant, width=i.width, height=i.height,
                          output=self._output, intrinsics=nominal_intrinsics(i.width, i.height),
                          controls=controls, version=__version__)

    # Frames ---------------------------------------------------------------
    def frames(self, max_frames=None, stall_timeout=3.0):
        """Yields `Frame`s until `max_frames` (None: forever). Starts the
        stream if it is not running. Raises CameraError when nothing arrives
        for `stall_timeout` seconds."""
        if not self._streaming:
            self.start()
        count = 0
        last = time.monotonic()
        while max_frames is None or count < max_frames:
            f = self._cam.requestFrame(50)
            if f is None:
                if time.monotonic() - last > stall_timeout:
                    raise CameraError(f"no frame for {stall_timeout:g} s")
                continue
            frame = self._take(f)
            last = time.monotonic()
            count += 1
            yield frame

    def _take(self, f):
        host = time.monotonic_ns()
        try:
            fmt = f.getFrameFormat()
            frame = Frame(sequence=self._sequence, timestamp_ms=int(fmt.timestamp), host_time_ns=host,
                          dropped=0, width=fmt.width, height=fmt.height, output=self._output)
            if self._output == "depth":
                frame.depth = f.getDepthData()
                frame.amplitude = f.getAmplitudeData()
                frame.confidence = f.getConfidenceData()
            else:
                frame.raw = f.getRawData().view(np.uint16)
        finally:
            self._cam.releaseFrame(f)
        self._sequence += 1
        return frame


def _control(name):
    try:
        return _q.TOFControl.__members__[name.upper()]
    except KeyError:
        raise ValueError(f"unknown control {name!r}; known: "
                         f"{', '.join(n.lower() for n in _q.TOFControl.__members__)}") from None
