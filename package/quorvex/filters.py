"""Depth filters: the native filter chain with plain attributes.

    f = quorvex.Filters("default", max_noise=0.03)
    for frame in source:
        frame = f.apply(frame, range_mm=2000)   # depth filtered, 0 = invalid

A `Filters` object keeps the temporal state of one stream: give each stream
its own (sharing one between threads is safe, but mixes their averages).
Changing an attribute takes effect with the next frame."""
import dataclasses
import threading

import numpy as np

from . import _native

PRESETS = ("default", "near", "far")
_DEFAULTS = _native.filter_params("default")
# The chain's amplitudes are the 240 x 180 module's; the VGA module reports
# 1/16 of them for the same surface (both modules before the same scene).
_AMPLITUDE_UNITS = {"vga": 16.0}


def amplitude_unit(variant):
    """What a module variant's amplitudes ("hqvga", "vga") are multiplied
    by before filtering."""
    return _AMPLITUDE_UNITS.get(variant, 1.0)


class Filters:
    """The filter chain of one stream. Parameters (see the README's table)
    are attributes named as `Filters.parameters()` lists; `preset` is the
    set they start from. Each value is checked where it is given: a
    `ValueError` names the parameter and what it accepts.

    One object may be used from several threads (calls are serialised),
    but its temporal state is one stream's: give each stream its own."""

    def __init__(self, preset="default", **params):
        if preset not in PRESETS:
            raise ValueError(f"unknown filter preset {preset!r}; known: {', '.join(PRESETS)}")
        unknown = set(params) - set(_DEFAULTS)
        if unknown:
            raise ValueError(f"unknown filter parameters {sorted(unknown)}; known: {', '.join(_DEFAULTS)}")
        values = dict(_native.filter_params(preset))
        values.update({k: _native.filter_param(k, v) for k, v in params.items()})
        object.__setattr__(self, "_lock", threading.RLock())
        object.__setattr__(self, "_chain", _native.FilterChain(preset, values))
        object.__setattr__(self, "preset", preset)
        object.__setattr__(self, "_values", values)
        object.__setattr__(self, "_dirty", False)

    @staticmethod
    def parameters(preset="default"):
        """The parameters of `preset` as a dict."""
        return _native.filter_params(preset)

    def __getattr__(self, name):
        values = object.__getattribute__(self, "_values")
        if name in values:
            return values[name]
        raise AttributeError(name)

    def __setattr__(self, name, value):
        if name == "preset":
            if value not in PRESETS:
                raise ValueError(f"unknown filter preset {value!r}; known: {', '.join(PRESETS)}")
            with self._lock:
                object.__setattr__(self, "preset", value)
                object.__setattr__(self, "_values", _native.filter_params(value))
                object.__setattr__(self, "_dirty", True)
        elif name in self._values:
            value = _native.filter_param(name, value)
            with self._lock:
                self._values[name] = value
                object.__setattr__(self, "_dirty", True)
        else:
            raise AttributeError(f"unknown filter parameter {name!r}; known: {', '.join(_DEFAULTS)}")

    def describe(self):
        """What a recording's metadata says about these filters: the preset
        and the parameters that differ from it."""
        base = _native.filter_params(self.preset)
        changed = {k: v for k, v in self._values.items() if v != base[k]}
        return {"preset": self.preset, **({"params": changed} if changed else {})}

    def reset(self):
        """Forgets the temporal state (a new stream)."""
        self._chain.reset()

    def _configure(self):
        # The flag is cleared before the values are read, and both under the
        # lock that setters take: a value set meanwhile marks the chain
        # stale again instead of being lost.
        with self._lock:
            if self._dirty:
                object.__setattr__(self, "_dirty", False)
                self._chain.configure(self.preset, dict(self._values))

    def filter(self, depth, amplitude, range_mm):
        """Filtered copy of a depth plane (mm; 0 = invalid) given its
        amplitude plane and the range in force (mm)."""
        self._configure()
        if depth is None or amplitude is None:
            raise ValueError("filtering needs the depth and the amplitude planes")
        return self._chain.apply(np.asarray(depth, np.float32), np.asarray(amplitude, np.float32),
                                 float(range_mm))

    def apply(self, frame, range_mm):
        """The frame with its depth filtered (a new Frame; the one given is
        left as it is)."""
        return dataclasses.replace(frame, depth=self.filter(frame.depth, frame.amplitude, range_mm))

    def __repr__(self):
        return f"Filters({self.describe()!r})"


def make_filters(filters):
    """A `Filters` from what a caller passes: a preset name, None (no
    filtering) or a `Filters` (used as it is)."""
    if filters is None or isinstance(filters, Filters):
        return filters
    if isinstance(filters, str):
        return Filters(filters)
    raise ValueError(f"filters must be a preset name ({', '.join(PRESETS)}), None or a Filters, not {filters!r}")


def stream_range(info, range_mm=None):
    """The range a stream's depth was measured with (mm): `range_mm` when
    given, else the stream's `info.controls["range"]`, else None."""
    if range_mm is None and info is not None:
        range_mm = info.controls.get("range")
    return range_mm


class StreamFilter:
    """How the depth of one stream is filtered: every consumer (the camera,
    `filter_depth`, `FilteredSource`, the viewer) goes through one, so that
    the same light gives the same depth whichever way it came.

    `filters`: as `make_filters` takes it (None: frames pass as they are).
    `variant`: the module's ("hqvga", "vga"; None: unknown, taken as the
    chain's own units). `range_mm`: the range in force; it may be set from
    another thread (it is read once per frame).

    The temporal average belongs to one continuous run of filtered frames:
    it starts again with the first frame, after `restart()`, when the range
    or the image size changes, after a frame that passed unfiltered (one
    without depth or amplitude), and where `position` does not follow the
    last one (a seek)."""

    def __init__(self, filters, variant=None, range_mm=None):
        self.filters = make_filters(filters)
        self.variant = variant
        self.range_mm = range_mm
        self._run = None  # (range, shape) the average was built with; None: start afresh
        self._position = None

    @property
    def variant(self):
        return self._variant

    @variant.setter
    def variant(self, variant):
        self._variant = variant
        self._unit = np.float32(amplitude_unit(variant))

    def restart(self):
        """The next frame begins a new run: its average starts afresh."""
        self._run = None
        self._position = None

    def filter(self, depth, amplitude, position=None):
        """Filtered copy of a depth plane given its amplitude plane in the
        module's own units. `position`: the frame's place in a recording
        (None: a live stream, where frames always follow)."""
        range_mm = self.range_mm
        if range_mm is None:
            raise ValueError("filtering needs the range of the frames")
        run = (range_mm, np.shape(depth))
        jumped = position is not None and self._position is not None and position != self._position + 1
        self._position = position
        if run != self._run or jumped:
            self.filters.reset()
            self._run = run
        if self._unit != 1.0:
            amplitude = np.asarray(amplitude, np.float32) * self._unit
        return self.filters.filter(depth, amplitude, range_mm)

    def apply(self, frame, position=None):
        """(frame, whether its depth is filtered): a new Frame with the
        filtered depth, or the frame as it is when there are no filters or
        nothing to judge its depth by."""
        if self.filters is None or frame.depth is None or frame.amplitude is None:
            self.restart()
            return frame, False
        return dataclasses.replace(frame, depth=self.filter(frame.depth, frame.amplitude, position)), True


def filter_depth(frames, filters="default", range_mm=None, info=None):
    """Filters frames from any source (a recording, a subscription, a
    list): yields each frame with its depth filtered. The range is
    `range_mm`, else the stream's `info.controls["range"]`; with `info`
    a VGA module's amplitudes are brought to the chain's units. The frames
    are one stream: a `Filters` given starts its temporal average afresh."""
    stream = StreamFilter(filters, None if info is None else info.variant, stream_range(info, range_mm))
    if stream.range_mm is None:
        raise ValueError("filter_depth needs the range of the frames (range_mm, or info with a 'range' control)")
    for frame in frames:
        yield stream.apply(frame)[0]


class FilteredSource:
    """Any source of frames with its depth filtered: frames() yields
    filtered frames, info says which filters, everything else (controls,
    close) is the source's own. Depth already filtered upstream is left
    as it is. The range is `range_mm`, else the source's info's; one set
    through this object's `set_control` is followed."""

    def __init__(self, source, filters="default", range_mm=None):
        self._source = source
        self._stream = StreamFilter(filters)
        self._range_mm = range_mm

    @property
    def filters(self):
        return self._stream.filters

    def _passes(self, info):
        return self.filters is None or info.filters is not None or info.output != "depth"

    @property
    def info(self):
        info = self._source.info
        if self._passes(info):
            return info
        return dataclasses.replace(info, filters=self.filters.describe())

    def frames(self, *args, **kwargs):
        info = self._source.info
        if self._passes(info):
            yield from self._source.frames(*args, **kwargs)
            return
        stream = self._stream
        stream.variant = info.variant
        stream.range_mm = stream_range(info, self._range_mm)
        if stream.range_mm is None:
            raise ValueError("FilteredSource needs the range of the frames (range_mm, or a source whose "
                             "info has a 'range' control)")
        stream.restart()
        for frame in self._source.frames(*args, **kwargs):
            yield stream.apply(frame)[0]

    def close(self):
        self._source.close()

    def __getattr__(self, name):
        attr = getattr(self._source, name)
        if name != "set_control":
            return attr

        def set_control(control, value):
            attr(control, value)
            # A VGA module's mode sets its range too: the source says which is in force.
            if str(getattr(control, "name", control)).lower() in ("range", "mode"):
                range_mm = stream_range(self._source.info)
                if range_mm is not None:
                    self._stream.range_mm = range_mm
        return set_control

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
