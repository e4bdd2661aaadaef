"""The contract every source of frames keeps: a live camera
(`quorvex.Camera`), a recording (`quorvex.open_recording`), a network
subscription (`quorvex.subscribe`), or a class of your own. The recorder,
the viewer and the publisher take any of them and rely on nothing more.

    info          a StreamInfo: what the frames will be (size, output,
                  intrinsics, controls in force); asking may wait for the
                  source (a subscription asks its publisher)
    frames(max_frames=None, stall_timeout=...)
                  yields Frames until `max_frames` (None: until the source
                  ends: a recording's last frame, a camera stopped from
                  elsewhere); raises CameraError when no frame comes for
                  `stall_timeout` seconds (None: waits for ever; each source
                  has its own default). Options of one kind of source only
                  follow as keywords (a camera's `planes`, a recording's
                  `realtime`).
    close()       releases the source; a second close does nothing.
    with          closes at the end of the block.

A source whose controls can be changed while it streams (a live camera)
also keeps `Controls`."""
from typing import Iterator, Optional

try:
    from typing import Protocol, runtime_checkable
except ImportError:  # Python 3.7 has no typing.Protocol: the same check by hand
    class _Structural(type):
        def __instancecheck__(cls, obj):
            return all(callable(getattr(obj, name, None)) for name, member in vars(cls).items()
                       if not name.startswith("_") and callable(member))

    class Protocol(metaclass=_Structural):
        pass

    def runtime_checkable(cls):
        return cls

DEFAULT_KEY = "quorvex/camera"


class FrameSource(Protocol):
    """A source of `quorvex.Frame`s (see the module's description)."""

    @property
    def info(self):
        ...

    def frames(self, max_frames: Optional[int] = None,
               stall_timeout: Optional[float] = None) -> Iterator:
        ...

    def close(self) -> None:
        ...

    def __enter__(self):
        ...

    def __exit__(self, *exc):
        ...


@runtime_checkable
class Controls(Protocol):
    """Controls by lower-case name ("range", "frame_rate", "skip_frame",
    "skip_frame_loop"): `get_control` reads one, `set_control` writes one;
    both raise CameraError when the module refuses and ValueError for a
    name it does not know. Only methods, so that checking a source for them
    never asks the source anything."""

    def get_control(self, name) -> int:
        ...

    def set_control(self, name, value) -> None:
        ...


def controls_of(source):
    """The source's controls (the source itself), or None when it has none
    (a recording, a subscription)."""
    return source if isinstance(source, Controls) else None


class WithIntrinsics:
    """A source whose frames are seen through another lens: `info` gives
    `intrinsics` in place of the source's own; everything else is the
    source's. What `--calibration` makes of a recording or a
    subscription."""

    def __init__(self, source, intrinsics):
        self._source = source
        self._intrinsics = intrinsics

    @property
    def info(self):
        import dataclasses

        info = self._source.info
        k = self._intrinsics
        if (k.width, k.height) != (info.width, info.height):
            from .errors import CameraError
            raise CameraError(f"the calibration is for {k.width} x {k.height} images, the source's are "
                              f"{info.width} x {info.height}; calibrate this camera")
        return dataclasses.replace(info, intrinsics=k)

    def frames(self, *args, **kwargs):
        return self._source.frames(*args, **kwargs)

    def close(self):
        self._source.close()

    def __getattr__(self, name):
        return getattr(self._source, name)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
