"""Frames as ROS 2 messages (`sensor_msgs/msg/Image`, `sensor_msgs/msg/CameraInfo`) in
their standard CDR encoding: the one place that knows the message layout, so
the recorder and the network publisher write the same bytes.

Encoding and decoding are done by `mcap_ros2` (package `mcap-ros2-support`)
from the message definition texts below; nothing is hand-packed here.

    data = rosmsg.encode(rosmsg.IMAGE, rosmsg.image_message(frame.depth, stamp_ms, "cam"))
    msg = rosmsg.decode(rosmsg.IMAGE, data)
    depth = rosmsg.image_array(msg)
"""
import functools

import numpy as np
from mcap_ros2._dynamic import generate_dynamic, serialize_dynamic

IMAGE = "sensor_msgs/msg/Image"
CAMERA_INFO = "sensor_msgs/msg/CameraInfo"

_SEPARATOR = "=" * 80 + "\n"
_HEADER_DEFS = (
    _SEPARATOR + "MSG: std_msgs/Header\n"
    "builtin_interfaces/Time stamp\n"
    "string frame_id\n"
    + _SEPARATOR + "MSG: builtin_interfaces/Time\n"
    "int32 sec\n"
    "uint32 nanosec\n")

# Definition texts as ROS 2 tools store them (the type's own fields, then
# every type it uses), which is also what an MCAP schema record holds.
MSGDEFS = {
    IMAGE: (
        "std_msgs/Header header\n"
        "uint32 height\n"
        "uint32 width\n"
        "string encoding\n"
        "uint8 is_bigendian\n"
        "uint32 step\n"
        "uint8[] data\n" + _HEADER_DEFS),
    CAMERA_INFO: (
        "std_msgs/Header header\n"
        "uint32 height\n"
        "uint32 width\n"
        "string distortion_model\n"
        "float64[] d\n"
        "float64[9] k\n"
        "float64[9] r\n"
        "float64[12] p\n"
        "uint32 binning_x\n"
        "uint32 binning_y\n"
        "sensor_msgs/RegionOfInterest roi\n" + _HEADER_DEFS
        + _SEPARATOR + "MSG: sensor_msgs/RegionOfInterest\n"
        "uint32 x_offset\n"
        "uint32 y_offset\n"
        "uint32 height\n"
        "uint32 width\n"
        "bool do_rectify\n"),
}

# numpy dtype of each image encoding we write or accept (little-endian
# samples; `is_bigendian` is honoured on reading).
_ENCODINGS = {"32FC1": np.dtype("<f4"), "mono16": np.dtype("<u2"), "16UC1": np.dtype("<u2")}
# What each plane of a Frame is sent as.
PLANE_ENCODINGS = {"depth": "32FC1", "amplitude": "32FC1", "confidence": "32FC1", "raw": "16UC1"}


class MessageError(ValueError):
    """A payload is not a well-formed message of the expected kind."""


@functools.lru_cache(maxsize=None)
def _encoder(schema):
    return serialize_dynamic(schema, MSGDEFS[schema])[schema]


@functools.lru_cache(maxsize=None)
def _decoder(schema):
    return generate_dynamic(schema, MSGDEFS[schema])[schema]


def encode(schema, message):
    """CDR bytes (with the 4-byte encapsulation header) of `message`, a dict
    or object with the fields of `schema`."""
    return _encoder(schema)(message)


def decode(schema, data):
    """The message `data` holds; MessageError when it is not one."""
    try:
        return _decoder(schema)(bytes(data))
    except MessageError:
        raise
    except Exception as e:  # the decoder reports truncation etc. in its own ways
        raise MessageError(f"not a {schema}: {type(e).__name__}: {e}") from None


def stamp(timestamp_ms):
    """`builtin_interfaces/Time` of a module timestamp in milliseconds."""
    ms = int(timestamp_ms)
    return {"sec": ms // 1000, "nanosec": (ms % 1000) * 1_000_000}


def stamp_ms(time):
    """Milliseconds of a `builtin_interfaces/Time` (object or dict)."""
    sec, nanosec = (time["sec"], time["nanosec"]) if isinstance(time, dict) else (time.sec, time.nanosec)
    return sec * 1000 + nanosec // 1_000_000


def image_message(array, timestamp_ms, frame_id, encoding=None):
    """`sensor_msgs/msg/Image` fields of a 2-D float32 or uint16 array."""
    if array.ndim != 2:
        raise ValueError(f"an image is 2-D, not of shape {array.shape}")
    if encoding is None:
        encoding = "32FC1" if array.dtype == np.float32 else "16UC1"
    dtype = _ENCODINGS[encoding]
    data = np.ascontiguousarray(array, dtype=dtype)
    height, width = data.shape
    return {"header": {"stamp": stamp(timestamp_ms), "frame_id": frame_id},
            "height": height, "width": width, "encoding": encoding, "is_bigendian": 0,
            "step": width * dtype.itemsize, "data": data.tobytes()}


def image_array(message, expected_encoding=None):
    """The pixels of a decoded `sensor_msgs/msg/Image` as a (height, width)
    array of native byte order that owns its memory. MessageError when the
    encoding is unknown (or not `expected_encoding`) or the sizes disagree."""
    encoding = message.encoding
    if expected_encoding is not None and encoding != expected_encoding:
        raise MessageError(f"image encoding {encoding!r}, expected {expected_encoding!r}")
    if encoding not in _ENCODINGS:
        raise MessageError(f"unsupported image encoding {encoding!r}")
    dtype = _ENCODINGS[encoding]
    if message.is_bigendian:
        dtype = dtype.newbyteorder(">")
    height, width, step = message.height, message.width, message.step
    row = width * dtype.itemsize
    if step < row or len(message.data) != step * height or height == 0 or width == 0:
        raise MessageError(f"image of {width} x {height} ({encoding}, step {step}) "
                           f"cannot hold {len(message.data)} bytes")
    rows = np.frombuffer(message.data, dtype=np.uint8).reshape(height, step)[:, :row]
    return rows.copy().view(dtype).astype(dtype.newbyteorder("="), copy=False)


def camera_info_message(intrinsics, timestamp_ms, frame_id):
    """`sensor_msgs/msg/CameraInfo` fields of `quorvex.Intrinsics` (a pinhole
    without distortion; the projection equals the camera matrix)."""
    fx, fy, cx, cy = (float(intrinsics.fx), float(intrinsics.fy), float(intrinsics.cx),
                      float(intrinsics.cy))
    return {"header": {"stamp": stamp(timestamp_ms), "frame_id": frame_id},
            "height": int(intrinsics.height), "width": int(intrinsics.width),
            "distortion_model": "plumb_bob", "d": [0.0] * 5,
            "k": [fx, 0.0, cx, 0.0, fy, cy, 0.0, 0.0, 1.0],
            "r": [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0],
            "p": [fx, 0.0, cx, 0.0, 0.0, fy, cy, 0.0, 0.0, 0.0, 1.0, 0.0],
            "binning_x": 0, "binning_y": 0,
            "roi": {"x_offset": 0, "y_offset": 0, "height": 0, "width": 0, "do_rectify": False}}
