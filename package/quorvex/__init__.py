"""Pythonic layer over the QuorvexDepthCamera extension: cameras as context
managers, frames as plain data, errors as exceptions, point clouds, and the
tools (record, view, publish) that take any source of frames."""
import pkgutil

# In a build tree the private native module lives in another folder of the
# same package name; extend_path lets both halves import as one package.
__path__ = pkgutil.extend_path(__path__, __name__)

from ._version import __version__  # noqa: E402
from .errors import CameraError, _extra_hint  # noqa: E402
from .frame import Frame, StreamInfo, system_time_ns  # noqa: E402
from .geometry import Intrinsics, depth_to_points, nominal_intrinsics, save_ply  # noqa: E402
from .filters import Filters, filter_depth  # noqa: E402
from .calibration import load_calibration  # noqa: E402
from .camera import Camera  # noqa: E402
from .recording import open_recording  # noqa: E402  (needs the record extra only when called)

try:  # the `network` extra
    from .network import subscribe as _subscribe_zenoh  # noqa: E402,F401
except ImportError as _missing:
    def _subscribe_zenoh(*args, _why=str(_missing), **kwargs):
        raise ImportError(f"quorvex.subscribe needs the 'network' extra ({_why}): {_extra_hint('network')}")


def subscribe(key=None, *args, transport="zenoh", **kwargs):
    """A source of the frames published elsewhere: under a Zenoh key prefix
    (`quorvex.network.subscribe`), or with transport="ros2" the ROS 2 depth
    images under the namespace `key` (default /quorvex) from any ROS 2
    publisher (`quorvex.ros2.RosSubscription`: namespace, domain, qos,
    info_timeout, depth_topic)."""
    if transport == "ros2":
        from .ros2 import DEFAULT_NAMESPACE, RosSubscription
        from .dds import library
        library()  # DdsUnavailable (an ImportError) names the package to install
        return RosSubscription(key or DEFAULT_NAMESPACE, *args, **kwargs)
    if transport != "zenoh":
        raise ValueError(f"transport {transport!r}: zenoh or ros2")
    return _subscribe_zenoh(*((key,) if key is not None else ()) + args, **kwargs)

__all__ = ["Camera", "Filters", "filter_depth", "CameraError", "open_recording", "subscribe", "Frame", "StreamInfo", "system_time_ns", "Intrinsics", "nominal_intrinsics", "load_calibration",
           "depth_to_points", "save_ply", "__version__"]
