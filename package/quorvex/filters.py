"""Depth filters: the native filter chain with plain attributes.

    f = quorvex.Filters("default", max_noise=0.03)
    for frame in source:
        frame = f.apply(frame, range_mm=2000)   # depth filtered, 0 = invalid

A `Filters` object keeps the temporal state of one stream: give each stream
its own (sharing one between threads is safe, but mixes their averages). Changing an attribute takes effect with the next frame."""
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


def filter_depth(frames, filters="default", range_mm=None, info=None):
    """Filters frames from any source (a recording, a subscription, a
    list): yields each frame with its depth filtered. The range is
    `range_mm`, else the stream's `info.controls["range"]`; with `info`
    a VGA module's amplitudes are brought to the chain's units."""
    f = make_filters(filters)
    if range_mm is None and info is not None:
        range_mm = info.controls.get("range")
    if range_mm is None:
        raise ValueError("filter_depth needs the range of the frames (range_mm, or info with a 'range' control)")
    unit = np.float32(1.0 if info is None else amplitude_unit(info.variant))
    for frame in frames:
        if f is None:
            yield frame
        else:
            yield dataclasses.replace(frame, depth=f.filter(frame.depth, frame.amplitude * unit, range_mm))


class FilteredSource:
    """Any source of frames with its depth filtered: frames() yields
    filtered frames, info says which filters, everything else (controls,
    close) is the source's own. Depth already filtered upstream is left
    as it is."""

    def __init__(self, source, filters="default"):
        self._source = source
        self.filters = make_filters(filters)

    @property
    def info(self):
        info = self._source.info
        if info.filters is not None or info.output != "depth":
            return info
        return dataclasses.replace(info, filters=self.filters.describe())

    def frames(self, *args, **kwargs):
        info = self._source.info
        if info.filters is not None or info.output != "depth":
            yield from self._source.frames(*args, **kwargs)
            return
        range_mm = info.controls.get("range", 4000)
        unit = np.float32(amplitude_unit(info.variant))
        self.filters.reset()
        for frame in self._source.frames(*args, **kwargs):
            if frame.amplitude is None:
                yield frame
                continue
            depth = self.filters.filter(frame.depth, frame.amplitude * unit, range_mm)
            yield dataclasses.replace(frame, depth=depth)

    def close(self):
        self._source.close()

    def __getattr__(self, name):
        return getattr(self._source, name)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
