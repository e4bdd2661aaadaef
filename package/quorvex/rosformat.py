"""How frames become ROS 2 messages in a recording, and back: topics,
message definitions and the conversions of each plane. Pure functions of
frames and dicts; the MCAP writing and reading live in recording.py.

Depth is stored as ROS depth images are (`32FC1`, metres, NaN where there is
no measurement); amplitude and confidence as `32FC1` in the module's units;
raw samples as `16UC1`. Every frame ends with a `quorvex_msgs/msg/FrameInfo`
message: it carries what an Image cannot (sequence, drops, host time) and
marks the frame complete, so a reader of a cut file never assembles a frame
from part of its planes."""
import numpy as np

from .frame import Frame

FORMAT_VERSION = "1"
FRAME_ID = "quorvex_optical_frame"
METADATA_NAME = "quorvex"

TOPIC_PREFIX = "/quorvex"
PLANE_TOPICS = {
    "depth": "/quorvex/depth/image",
    "amplitude": "/quorvex/amplitude/image",
    "confidence": "/quorvex/confidence/image",
    "raw": "/quorvex/raw/image",
}
CAMERA_INFO_TOPIC = "/quorvex/camera_info"
FRAME_INFO_TOPIC = "/quorvex/frame_info"
PLANES = {"depth": ("depth", "amplitude", "confidence"), "raw": ("raw",)}

_SEP = "=" * 80 + "\n"
_HEADER_DEFS = (_SEP + "MSG: std_msgs/Header\nbuiltin_interfaces/Time stamp\nstring frame_id\n"
                + _SEP + "MSG: builtin_interfaces/Time\nint32 sec\nuint32 nanosec\n")

IMAGE_TYPE = "sensor_msgs/msg/Image"
IMAGE_DEF = ("std_msgs/Header header\nuint32 height\nuint32 width\nstring encoding\n"
             "uint8 is_bigendian\nuint32 step\nuint8[] data\n" + _HEADER_DEFS)

CAMERA_INFO_TYPE = "sensor_msgs/msg/CameraInfo"
CAMERA_INFO_DEF = ("std_msgs/Header header\nuint32 height\nuint32 width\nstring distortion_model\n"
                   "float64[] d\nfloat64[9] k\nfloat64[9] r\nfloat64[12] p\nuint32 binning_x\n"
                   "uint32 binning_y\nsensor_msgs/RegionOfInterest roi\n" + _HEADER_DEFS
                   + _SEP + "MSG: sensor_msgs/RegionOfInterest\nuint32 x_offset\nuint32 y_offset\n"
                   "uint32 height\nuint32 width\nbool do_rectify\n")

FRAME_INFO_TYPE = "quorvex_msgs/msg/FrameInfo"
FRAME_INFO_DEF = ("# One per frame, written after the frame's images.\n"
                  "std_msgs/Header header\n"
                  "uint64 sequence             # the source's frame sequence\n"
                  "uint32 dropped_by_source    # frames the source lost before this one\n"
                  "uint32 dropped_by_recorder  # frames the recorder could not write before this one\n"
                  "int64 host_time_ns          # host monotonic clock at arrival\n"
                  "uint32 width                # the frame's width and height as the source gave them\n"
                  "uint32 height\n"
                  "string output               # depth or raw\n" + _HEADER_DEFS)

SCHEMAS = {IMAGE_TYPE: IMAGE_DEF, CAMERA_INFO_TYPE: CAMERA_INFO_DEF, FRAME_INFO_TYPE: FRAME_INFO_DEF}

_ENCODINGS = {"32FC1": np.dtype("<f4"), "16UC1": np.dtype("<u2")}
_MM_PER_M = np.float32(1000)


def stamp_of(timestamp_ms):
    """builtin_interfaces/Time of a module timestamp in milliseconds (exact)."""
    sec, ms = divmod(int(timestamp_ms), 1000)
    return {"sec": sec, "nanosec": ms * 1_000_000}


def timestamp_ms_of(stamp):
    return int(stamp.sec) * 1000 + int(stamp.nanosec) // 1_000_000


def header(timestamp_ms):
    return {"stamp": stamp_of(timestamp_ms), "frame_id": FRAME_ID}


def depth_to_metres(depth_mm):
    """float32 millimetres (0 = invalid) -> float32 metres (NaN = invalid).
    One correctly rounded float32 division: the way back is then within one
    float32 step of the original, and exact for about 98 % of values."""
    with np.errstate(invalid="ignore", divide="ignore"):
        metres = np.asarray(depth_mm, dtype=np.float32) / _MM_PER_M
    metres[depth_mm == 0] = np.nan
    return metres


def depth_to_millimetres(depth_m):
    with np.errstate(invalid="ignore"):
        mm = np.asarray(depth_m, dtype=np.float32) * _MM_PER_M
    mm[np.isnan(mm)] = 0
    return mm


def image_message(timestamp_ms, array, encoding):
    """sensor_msgs/Image of a 2-D array, little-endian whatever the host."""
    data = np.ascontiguousarray(array, dtype=_ENCODINGS[encoding])
    height, width = data.shape
    return {"header": header(timestamp_ms), "height": height, "width": width,
            "encoding": encoding, "is_bigendian": 0, "step": width * data.itemsize,
            "data": data.tobytes()}


def plane_messages(frame):
    """(topic, message) of each image plane a frame carries."""
    ts = frame.timestamp_ms
    if frame.output == "depth":
        yield PLANE_TOPICS["depth"], image_message(ts, depth_to_metres(frame.depth), "32FC1")
        yield PLANE_TOPICS["amplitude"], image_message(ts, frame.amplitude, "32FC1")
        yield PLANE_TOPICS["confidence"], image_message(ts, frame.confidence, "32FC1")
    else:
        yield PLANE_TOPICS["raw"], image_message(ts, frame.raw, "16UC1")


def camera_info_message(timestamp_ms, intrinsics):
    """sensor_msgs/CameraInfo of pinhole intrinsics with no distortion."""
    i = intrinsics
    return {"header": header(timestamp_ms), "height": i.height, "width": i.width,
            "distortion_model": "plumb_bob", "d": [0.0] * 5,
            "k": [i.fx, 0.0, i.cx, 0.0, i.fy, i.cy, 0.0, 0.0, 1.0],
            "r": [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0],
            "p": [i.fx, 0.0, i.cx, 0.0, 0.0, i.fy, i.cy, 0.0, 0.0, 0.0, 1.0, 0.0],
            "binning_x": 0, "binning_y": 0,
            "roi": {"x_offset": 0, "y_offset": 0, "height": 0, "width": 0, "do_rectify": False}}


def frame_info_message(frame, dropped_by_recorder):
    return {"header": header(frame.timestamp_ms), "sequence": int(frame.sequence),
            "dropped_by_source": int(frame.dropped), "dropped_by_recorder": int(dropped_by_recorder),
            "host_time_ns": int(frame.host_time_ns), "width": int(frame.width),
            "height": int(frame.height), "output": frame.output}


class FormatError(ValueError):
    """A message that does not hold what a recording's message must."""


def image_array(msg, what):
    """The array of a decoded sensor_msgs/Image, checked against its own
    header fields (a foreign or damaged writer may disagree with itself)."""
    dtype = _ENCODINGS.get(msg.encoding)
    if dtype is None:
        raise FormatError(f"{what}: encoding {msg.encoding!r}, expected one of {sorted(_ENCODINGS)}")
    if msg.is_bigendian:
        dtype = dtype.newbyteorder(">")
    h, w, step = int(msg.height), int(msg.width), int(msg.step)
    if step != w * dtype.itemsize or len(msg.data) != h * step:
        raise FormatError(f"{what}: {len(msg.data)} bytes for {w} x {h} with step {step}")
    # A native-order copy: the frame owns writable arrays like a live one's.
    return np.frombuffer(msg.data, dtype=dtype).reshape(h, w).astype(dtype.newbyteorder("="))


def frame_from_messages(info_msg, planes, output, sequence, dropped, host_time_ns):
    """A Frame from a FrameInfo message and the decoded images of its planes
    ({plane name: Image}); raises FormatError when a plane is missing or
    its size disagrees with the others."""
    names = PLANES.get(output)
    if names is None:
        raise FormatError(f"frame of output {output!r}")
    missing = [n for n in names if n not in planes]
    if missing:
        raise FormatError(f"frame {info_msg.sequence} lacks its {', '.join(missing)} image")
    arrays = {n: image_array(planes[n], n) for n in names}
    if output == "depth":
        shapes = {a.shape for a in arrays.values()}
        if len(shapes) != 1:
            raise FormatError(f"frame {info_msg.sequence}: planes of sizes {sorted(shapes)}")
        arrays["depth"] = depth_to_millimetres(arrays["depth"])
    return Frame(sequence=sequence, timestamp_ms=timestamp_ms_of(info_msg.header.stamp),
                 host_time_ns=host_time_ns, dropped=dropped, width=int(info_msg.width),
                 height=int(info_msg.height),
                 output=output, **arrays)
