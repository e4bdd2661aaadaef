"""Depth filters: the native filter chain with plain attributes.

    f = quorvex.Filters("default", max_noise=0.03)
    for frame in source:
        frame = f.apply(frame, range_mm=2000)   # depth filtered, 0 = invalid

A `Filters` object keeps the temporal state of one stream: give each stream
its own. Changing an attribute takes effect with the next frame."""
import dataclasses

import numpy as np

from . import _native

PRESETS = ("default", "near", "far")
# The filters take amplitudes in the 240 x 180 module's units; the VGA
# module reports 1/16 of them for the same surface.
VGA_AMPLITUDE_UNIT = 16.0


def amplitude_unit(info):
    """What the amplitudes of a stream are multiplied by before filtering."""
    return VGA_AMPLITUDE_UNIT if info is not None and info.variant == "vga" else 1.0
_DEFAULTS = _native.filter_params("default")


class Filters:
    """The filter chain of one stream. Parameters (see the README's table)
    are attributes named as `Filters.parameters()` lists; `preset` is the
    set they start from."""

    def __init__(self, preset="default", **params):
        if preset not in PRESETS:
            raise ValueError(f"unknown filter preset {preset!r}; known: {', '.join(PRESETS)}")
        unknown = set(params) - set(_DEFAULTS)
        if unknown:
            raise ValueError(f"unknown filter parameters {sorted(unknown)}; known: {', '.join(_DEFAULTS)}")
        object.__setattr__(self, "_chain", _native.FilterChain(preset, params))
        object.__setattr__(self, "preset", preset)
        object.__setattr__(self, "_values", dict(_native.filter_params(preset), **params))
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
            object.__setattr__(self, "preset", value)
            object.__setattr__(self, "_values", _native.filter_params(value))
        elif name in self._values:
            self._values[name] = type(_DEFAULTS[name])(value)
        else:
            raise AttributeError(f"unknown filter parameter {name!r}; known: {', '.join(_DEFAULTS)}")
        object.__setattr__(self, "_dirty", True)

    def describe(self):
        """What a recording's metadata says about these filters: the preset
        and the parameters that differ from it."""
        base = _native.filter_params(self.preset)
        changed = {k: v for k, v in self._values.items() if v != base[k]}
        return {"preset": self.preset, **({"params": changed} if changed else {})}

    def reset(self):
        """Forgets the temporal state (a new stream)."""
        self._chain.reset()

    def filter(self, depth, amplitude, range_mm):
        """Filtered copy of a depth plane (mm; 0 = invalid) given its
        amplitude plane and the range in force (mm)."""
        if self._dirty:
            self._chain.configure(self.preset, self._values)
            object.__setattr__(self, "_dirty", False)
        if depth is None or amplitude is None:
            raise ValueError("filtering needs the depth and the amplitude planes")
        return self._chain.apply(np.asarray(depth, np.float32), np.asarray(amplitude, np.float32),
                                 float(range_mm))

    def apply(self, frame, range_mm, amplitude_unit=1.0):
        """The frame with its depth filtered (a new Frame; the one given is
        left as it is). `amplitude_unit`: see `amplitude_unit(info)`."""
        amplitude = frame.amplitude if amplitude_unit == 1.0 else frame.amplitude * np.float32(amplitude_unit)
        return dataclasses.replace(frame, depth=self.filter(frame.depth, amplitude, range_mm))

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
    `range_mm`, else the stream's `info.controls["range"]`; `info` also
    tells a VGA stream, whose amplitudes are in other units."""
    f = make_filters(filters)
    unit = amplitude_unit(info)
    if range_mm is None and info is not None:
        range_mm = info.controls.get("range")
    if range_mm is None:
        raise ValueError("filter_depth needs the range of the frames (range_mm, or info with a 'range' control)")
    for frame in frames:
        yield frame if f is None else f.apply(frame, range_mm, unit)


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
        unit = amplitude_unit(info)
        self.filters.reset()
        for frame in self._source.frames(*args, **kwargs):
            yield self.filters.apply(frame, range_mm, unit) if frame.amplitude is not None else frame

    def close(self):
        self._source.close()

    def __getattr__(self, name):
        return getattr(self._source, name)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
