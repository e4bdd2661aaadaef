"""`Camera`: a live camera as a context manager and a source of frames.

Waits free the interpreter (other threads run, Ctrl-C interrupts within
50 ms); every frame is copied out and given back to the camera before the
caller sees it, so nothing can leak or be released twice.
"""
import collections
import numbers
import os
import sys
import threading
import time

import QuorvexDepthCamera as _q

from . import _native
from ._version import __version__
from .errors import CameraError, is_library_notice, native_stderr
from .filters import StreamFilter
from .frame import Frame, StreamInfo
from .geometry import Intrinsics, nominal_intrinsics

_OK = _q.TOFErrorCode.QuorvexSuccess
_OUTPUTS = {"depth": _q.TOFOutput.DEPTH, "raw": _q.TOFOutput.RAW}
_CONNECTS = {"usb": _q.TOFConnect.USB, "csi": _q.TOFConnect.CSI}
_PLANES = ("depth", "amplitude", "confidence")
# The controls a stream description lists, when the module answers them.
_INFO_CONTROLS = ("RANGE", "FRAME_RATE", "SKIP_FRAME", "SKIP_FRAME_LOOP")
_INT_MAX = 2**31 - 1  # the extension's controls and indexes are C ints
# What each integer control accepts before the module has a say: the
# module refuses more (a frame rate above its bound, a skip loop whose low
# byte is 0), but a negative or out-of-range value never reaches it, where
# a C int would wrap or the binding would reject it with its own message.
_CONTROL_VALUES = {
    "RANGE": (1, _INT_MAX, "millimetres"),
    "FMT_WIDTH": (1, _INT_MAX, "pixels"),
    "FMT_HEIGHT": (1, _INT_MAX, "rows"),
    "MODE": (0, len(_q.TofWorkMode.__members__) - 1, "a TofWorkMode value"),
    "FRAME_MODE": (0, len(_q.TofFrameWorkMode.__members__) - 1, "a TofFrameWorkMode value"),
    "EXPOSURE": (0, _INT_MAX, "the module's exposure units"),
    "FRAME_RATE": (1, _INT_MAX, "frames per second, up to the module's bound"),
    "SKIP_FRAME": (0, _INT_MAX, "frames dropped per skip loop"),
    "SKIP_FRAME_LOOP": (1, _INT_MAX, "frames per skip loop"),
}

# The HQVGA module's two modulation frequencies, by the range they reach.
_HQVGA_RANGES = (2000, 4000)


def _calibration(calibration):
    if calibration is None or isinstance(calibration, Intrinsics):
        return calibration
    if not isinstance(calibration, (str, os.PathLike)):
        raise ValueError(f"calibration must be a path or an Intrinsics, not {calibration!r}")
    from .calibration import load_calibration
    return load_calibration(calibration)


def _check(status, what):
    if status != _OK:
        raise CameraError(f"{what}: {status.str()} ({int(status)})", code=status)


class DropCounter:
    """Frames lost between two delivered ones, from the module's timestamps.

    The frame period is the shortest interval among the last `window` ones:
    a gap that spans k periods hides k - 1 frames. Millisecond timestamps
    jitter by one, which rounding absorbs. Gaps count only once the period
    is measured (8 intervals) and the stream is regular (most recent
    intervals one period long): a module that sends whenever it is read has
    no period, and its gaps are not losses. A clock that goes backwards (the
    module restarted its clock) starts afresh.

    `period_ms`: the period the module was set to, when known before the
    first frame; gaps then count from the second frame on, for as long as
    the module keeps that period (one that cannot reach its set rate is
    measured instead)."""

    def __init__(self, window=64, period_ms=None):
        self._known = period_ms
        self._last = None
        self._intervals = collections.deque(maxlen=window)
        self._period = None  # min(self._intervals), kept as they change

    def count(self, timestamp_ms):
        last, self._last = self._last, timestamp_ms
        if last is None:
            return 0
        interval = timestamp_ms - last
        intervals = self._intervals
        if interval <= 0:
            intervals.clear()
            self._period = None
            return 0
        period = self._period
        known = self._known
        dropped = 0
        # Only an interval long enough to hide a frame needs the middle of
        # the others (sorting them for every frame costs more than the rest
        # of the frame's bookkeeping).
        if ((known is not None and interval >= 1.5 * known) or
                (period is not None and interval >= 1.5 * period and len(intervals) >= 8)):
            ordered = sorted(intervals)
            # The lower middle: one gap among two intervals does not yet say
            # the module runs slower than it was set to.
            if known is not None and (len(ordered) < 2 or ordered[(len(ordered) - 1) // 2] <= 1.25 * known):
                if interval >= 1.5 * known:
                    dropped = int(interval / known + 0.5) - 1
            elif period is not None and interval >= 1.5 * period and len(intervals) >= 8:
                if ordered[len(ordered) // 2] <= 1.25 * period:
                    dropped = int(interval / period + 0.5) - 1
        if len(intervals) == intervals.maxlen and intervals[0] == period:
            intervals.append(interval)
            self._period = min(intervals)
        else:
            intervals.append(interval)
            if period is None or interval < period:
                self._period = interval
        return dropped


class Camera:
    """A camera opened over USB or CSI, or with a configuration file.

        with quorvex.Camera() as cam:          # USB; the simulated module here
            for frame in cam.frames(max_frames=10):
                print(frame.depth[90, 120])

    `filters`: "default" (the default), "near", "far", a `Filters`, or None
    for the module's raw depth. With filters on, `frame.depth` is the
    filtered depth (0 = invalid); the filters follow the range set with
    `set_control("range", ...)` and start afresh with each stream and
    each change of range.

    Every failing call raises `CameraError` with the extension's code."""

    def __init__(self, connect="usb", index=0, config=None, output="depth", simulated=None,
                 filters="default", calibration=None):
        # simulated: None takes the vendor's library where the system has
        # one and the simulated module elsewhere (QUORVEX_SIMULATED decides
        # when set); True the simulated module only; False the vendor's
        # only. A library stays loaded for the life of the process: a choice
        # that contradicts the loaded one is refused, never ignored.
        if simulated not in (None, True, False):
            raise ValueError(f"simulated must be None, True or False, not {simulated!r}")
        if output not in _OUTPUTS:
            raise ValueError(f"output must be one of {sorted(_OUTPUTS)}, not {output!r}")
        if config is None and connect not in _CONNECTS:
            raise ValueError(f"connect must be one of {sorted(_CONNECTS)}, not {connect!r}")
        if config is not None and not isinstance(config, (str, os.PathLike)):
            raise ValueError(f"config must be a path, not {config!r}")
        _check_int("index", index, 0, _INT_MAX, "the number of the camera's device node")
        # calibration: a camera_info YAML file (or an Intrinsics) for the
        # lens of this module; read before the camera opens, so a bad file
        # costs no open.
        self._calibration = _calibration(calibration)
        self._cam = _q.QuorvexCamera()
        self._output = output
        self._source = f"file:{config}" if config else f"{connect}:{index}"
        self._lock = threading.Lock()
        self._sequence = 0
        self._drops = DropCounter()
        self._stream = StreamFilter(filters)
        self._range_mm = None  # the module's, read again with the next frame when None
        self._filter_lock = threading.Lock()
        try:
            # The libraries say why an open failed on standard error, which
            # keeps what they wrote; the reason goes into the exception too
            # (the notice of the library in use is no reason).
            with native_stderr() as said:
                status, refusal = _native.open(self._cam, _CONNECTS.get(connect, _q.TOFConnect.USB), index,
                                               str(config) if config else "", simulated)
            if said:
                sys.stderr.write("".join(line + "\n" for line in said))
                sys.stderr.flush()
            reasons = [line for line in said if not is_library_notice(line)]
            if refusal:
                raise CameraError(f"opening {self._source}: {refusal}", code=status)
            if status != _OK:
                what = f"opening with {config}" if config else f"opening {self._source}"
                code = f"{status.str()} ({int(status)})"
                error = CameraError(f"{what}: {'; '.join(reasons)} ({code})" if reasons else f"{what}: {code}",
                                    code=status)
                error.library_reasons = reasons
                raise error
        except BaseException:
            self._cam = None
            raise
        self._stream.variant = "vga" if self._is_vga(self._cam) else "hqvga"
        if self._calibration is not None:
            size = self._depth_size(self._cam)
            k = self._calibration
            if (k.width, k.height) != size:
                cam, self._cam = self._cam, None
                cam.close()
                from .calibration import CalibrationError
                what = "the calibration" if isinstance(calibration, Intrinsics) else str(calibration)
                raise CalibrationError(f"{what}: the calibration is for {k.width} x {k.height} images, "
                                  f"this camera's depth images are {size[0]} x {size[1]}; calibrate this "
                                  "camera (python -m quorvex calibrate)")

    @property
    def filters(self):
        """The `Filters` of this camera's depth, None for the raw depth; a
        preset name, a `Filters` or None may be set (the stream starts its
        temporal average afresh)."""
        return self._stream.filters

    @filters.setter
    def filters(self, filters):
        stream = StreamFilter(filters, self._stream.variant)
        with self._filter_lock:
            self._stream = stream

    # Lifetime -------------------------------------------------------------
    @property
    def streaming(self):
        return self._cam is not None and _native.is_streaming(self._cam)

    def start(self, output=None):
        """Starts streaming `output` ("depth" or "raw"; default: the one
        given when opened). Frames of an earlier stream are gone."""
        output = self._output if output is None else output
        if output not in _OUTPUTS:
            raise ValueError(f"output must be one of {sorted(_OUTPUTS)}, not {output!r}")
        cam = self._camera()
        if self.streaming:
            self.stop()
        _check(cam.start(_OUTPUTS[output]), f"starting {output}")
        drops = DropCounter(period_ms=_set_period_ms(cam))
        with self._lock:
            self._output = output
            self._sequence = 0
            self._drops = drops
            self._range_mm = None
        with self._filter_lock:
            self._stream.restart()

    def stop(self):
        """Stops the stream; nothing happens when it is not running."""
        if self.streaming:
            _check(self._cam.stop(), "stopping")

    def close(self):
        """Stops and closes; a closed camera may be closed again."""
        if self._cam is None:
            return
        try:
            self.stop()
        finally:
            cam, self._cam = self._cam, None
            _check(cam.close(), "closing")

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        try:
            self.close()
        except CameraError:
            if exc_type is None:
                raise  # otherwise the first error is the one to see
        return False

    def _camera(self):
        if self._cam is None:
            raise CameraError("the camera is closed")
        return self._cam

    # Controls -------------------------------------------------------------
    def set_control(self, name, value):
        """Sets a control by name ("range", "frame_rate", ...); ValueError
        for a value the control cannot take, CameraError when the module
        refuses it. The VGA module's range is not a setting: it follows the
        frequency mode."""
        ctrl = _control(name)
        if isinstance(value, (_q.TofWorkMode, _q.TofFrameWorkMode)):
            value = int(value)
        accepted = _CONTROL_VALUES.get(ctrl.name)
        if accepted is None:
            raise ValueError(f"{_name(name)} is not an integer control")
        _check_int(_name(name), value, *accepted)
        cam = self._camera()
        if ctrl == _q.TOFControl.RANGE and int(value) not in _HQVGA_RANGES and not self._is_vga(cam):
            # The module takes any value and measures on at one of its two
            # modulations: the echo of another value would mislead the
            # filters and the user alike.
            raise ValueError(f"range must be {' or '.join(map(str, _HQVGA_RANGES))} on the HQVGA module "
                             f"(millimetres: its near and far modulation), not {value!r}")
        status = cam.setControl(ctrl, int(value))
        if status != _OK and ctrl == _q.TOFControl.RANGE and self._is_vga(cam):
            mode, rangemm = self._vga_mode(cam)
            raise CameraError(f"setting range = {value}: the VGA module's range follows its frequency mode "
                              f"and cannot be set: it is {rangemm} mm now ({mode}; single frequency reaches "
                              f"1250 mm, dual 4500 mm)", code=status)
        _check(status, f"setting {_name(name)} = {value}")
        if ctrl in (_q.TOFControl.RANGE, _q.TOFControl.MODE):
            with self._lock:
                self._range_mm = None  # read again with the next frame
        if ctrl in _PACING and self.streaming:
            # The gaps to expect change with the pace: count them anew.
            drops = DropCounter(period_ms=_set_period_ms(self._cam))
            with self._lock:
                self._drops = drops

    def get_control(self, name):
        """Reads a control by name; raises CameraError when the module does
        not answer it (the extension's getControl would give 0)."""
        status, value = _native.get_control(self._camera(), _control(name))
        _check(status, f"reading {_name(name)}")
        return value

    @property
    def controls(self):
        """The controls the module answers, by lower-case name (a `Controls`
        dict: its `read_only` says which cannot be set, and why)."""
        cam = self._camera()
        out = Controls()
        for name in _INFO_CONTROLS:
            status, value = _native.get_control(cam, _q.TOFControl.__members__[name])
            if status == _OK:
                out[name.lower()] = value
        if "range" in out and self._is_vga(cam):
            mode, _ = self._vga_mode(cam)
            out.read_only["range"] = f"set by the frequency mode ({mode})"
        return out

    @property
    def info(self):
        cam = self._camera()
        variant = "vga" if self._is_vga(cam) else "hqvga"
        width, height = self._depth_size(cam)
        filters = self.filters.describe() if self.filters is not None and self._output == "depth" else None
        return StreamInfo(source=self._source, variant=variant, width=width, height=height,
                          output=self._output, intrinsics=self.intrinsics,
                          controls=self.controls, version=__version__,
                          libraries=_native.libraries(), filters=filters)

    @property
    def intrinsics(self):
        """The lens of the depth image: the calibration the camera was
        opened with, or the nominal one (see `nominal_intrinsics`)."""
        if self._calibration is not None:
            self._camera()
            return self._calibration
        return nominal_intrinsics(*self._depth_size(self._camera()))

    @staticmethod
    def _is_vga(cam):
        return cam.getCameraInfo().device_type == _q.TOFDeviceType.VGA

    @staticmethod
    def _depth_size(cam):
        # The camera's record holds the raw layout, which on VGA is many
        # sub-frames tall; the VGA device knows the depth image's size.
        i = cam.getCameraInfo()
        if i.device_type == _q.TOFDeviceType.VGA:
            w_status, width = _native.get_control(cam, _q.TOFControl.FMT_WIDTH)
            h_status, height = _native.get_control(cam, _q.TOFControl.FMT_HEIGHT)
            if w_status == _OK and h_status == _OK:
                return width, height
        return i.width, i.height

    @staticmethod
    def _vga_mode(cam):
        _, mode = _native.get_control(cam, _q.TOFControl.MODE)
        _, rangemm = _native.get_control(cam, _q.TOFControl.RANGE)
        return ("dual frequency" if mode == int(_q.TofWorkMode.DOUBLE_FREQ) else "single frequency"), rangemm

    # Frames ---------------------------------------------------------------
    def read(self, timeout=None, planes=_PLANES):
        """The next frame as a `Frame`, or None after `timeout` seconds
        (None: wait while the stream runs) or when the stream stops while it
        waits. CameraError when the stream is not running: `start()` first
        (`frames()` starts it by itself). Safe to call from several
        threads: each frame reaches exactly one of them."""
        cam = self._camera()
        if not _native.is_streaming(cam):
            raise CameraError("the camera is not streaming: call start() first "
                              "(frames() starts it by itself)")
        ms = -1 if timeout is None else max(0, int(timeout * 1000))
        f = _native.wait_frame(cam, ms)
        return None if f is None else self._take(cam, f, _mask(planes))

    def frames(self, max_frames=None, stall_timeout=3.0, *, planes=_PLANES):
        """Yields `Frame`s until `max_frames` (None: while the stream runs).
        Starts the stream if it is not running. `planes` chooses which depth
        planes are copied (all three by default).

        Raises CameraError when no frame arrives for `stall_timeout` seconds;
        its `reason` is "gone" when the module's reads keep failing (it was
        unplugged or went silent), "stalled" when reads succeed but no frame
        comes through."""
        cam = self._camera()
        mask = _mask(planes)
        if not self.streaming:
            self.start()
        count = 0
        last = time.monotonic()
        while max_frames is None or count < max_frames:
            left = stall_timeout - (time.monotonic() - last)
            f = _native.wait_frame(cam, max(0, int(left * 1000)))
            if f is None:
                if not _native.is_streaming(cam):
                    return  # stopped from elsewhere
                if time.monotonic() - last >= stall_timeout:
                    raise self._stall_error(cam, stall_timeout)
                continue
            frame = self._take(cam, f, mask)
            if frame is None:
                continue
            last = time.monotonic()
            count += 1
            yield frame

    def _stall_error(self, cam, seconds):
        failed, status = _native.read_health(cam)
        if failed:
            return CameraError(f"no frame for {seconds:g} s: the last {failed} reads of the module failed "
                               f"({status.str()}); it is unplugged, gone or silent", code=status,
                               reason="gone")
        return CameraError(f"no frame for {seconds:g} s: the module's reads succeed but no frame arrives",
                           reason="stalled")

    def _take(self, cam, f, mask):
        host = time.monotonic_ns()
        try:
            # The filters read the amplitude even when the caller does not keep it.
            stream = self._stream
            filtering = stream.filters is not None and mask & 1 and self._output == "depth"
            stamp, width, height, depth, amplitude, confidence, raw, capture = _native.take(
                cam, f, mask | 2 if filtering else mask)
        except ValueError:
            return None  # a start on another thread ended the loan: not ours any more
        with self._lock:
            sequence = self._sequence
            self._sequence += 1
            dropped = self._drops.count(stamp)
            range_mm = self._range_mm
        if filtering:
            if range_mm is None:
                status, range_mm = _native.get_control(cam, _q.TOFControl.RANGE)
                _check(status, "reading the range, which the filters need (filters=None gives the raw depth)")
                with self._lock:
                    self._range_mm = range_mm
            # One stream's state: frames taken on several threads pass in turn.
            with self._filter_lock:
                stream.range_mm = range_mm
                depth = stream.filter(depth, amplitude)
            if not mask & 2:
                amplitude = None
        return Frame(sequence, stamp, host, dropped, width, height, self._output, depth, amplitude,
                     confidence, raw, capture_ns=host if capture is None else capture)


def _check_int(what, value, low, high, meaning):
    # bool is an int to Python, but True as a range or an index is a slip.
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or not low <= value <= high:
        raise ValueError(f"{what} must be an integer from {low} to {high} ({meaning}), not {value!r}")


_PACING = (_q.TOFControl.FRAME_RATE, _q.TOFControl.SKIP_FRAME, _q.TOFControl.SKIP_FRAME_LOOP)


def _set_period_ms(cam):
    """The frame period an HQVGA module was set to (a frame rate it
    answers, every frame kept); None when only the frames can tell."""
    if cam.getCameraInfo().device_type != _q.TOFDeviceType.HQVGA:
        return None
    status, fps = _native.get_control(cam, _q.TOFControl.FRAME_RATE)
    if status != _OK or fps <= 0:
        return None
    status, skip = _native.get_control(cam, _q.TOFControl.SKIP_FRAME)
    if status == _OK and skip > 0:
        return None
    return 1000.0 / fps


class Controls(dict):
    """Control values by name; `read_only` maps the names that cannot be
    set to the reason (the VGA range follows the frequency mode)."""

    def __init__(self):
        super().__init__()
        self.read_only = {}

    def __repr__(self):
        shown = ", ".join(f"{k!r}: {v}" + (f" (read-only: {self.read_only[k]})" if k in self.read_only else "")
                          for k, v in self.items())
        return "{" + shown + "}"


def _mask(planes):
    unknown = set(planes) - set(_PLANES)
    if unknown:
        raise ValueError(f"unknown planes {sorted(unknown)}; known: {', '.join(_PLANES)}")
    return sum(1 << _PLANES.index(p) for p in set(planes))


def _name(name):
    return name.name.lower() if isinstance(name, _q.TOFControl) else str(name).lower()


def _control(name):
    if isinstance(name, _q.TOFControl):
        return name
    try:
        return _q.TOFControl.__members__[str(name).upper()]
    except KeyError:
        raise ValueError(f"unknown control {name!r}; known: "
                         f"{', '.join(n.lower() for n in _q.TOFControl.__members__)}") from None
