"""Frames as ROS 2 messages: the one place that knows their definitions
and their CDR encoding, the stamps, the camera info and the FrameInfo that
ends each recorded frame. The recorder (through the `mcap_ros2` writer and
decoder) and the network (through `encode`/`decode` here) both build on
it; how each plane becomes an image and back is `quorvex.planeformats`.

    data = rosmsg.encode(rosmsg.IMAGE, planeformats.image_message(frame.depth, stamp_ms, "cam"))
    msg = rosmsg.decode(rosmsg.IMAGE, data)
    depth = planeformats.image_array(msg)

Encoding is done by `mcap_ros2` (package `mcap-ros2-support`) from the
definition texts below, imported only when first needed so the package
imports without it; nothing is hand-packed here."""
import functools

IMAGE = "sensor_msgs/msg/Image"
COMPRESSED_IMAGE = "sensor_msgs/msg/CompressedImage"
CAMERA_INFO = "sensor_msgs/msg/CameraInfo"
FRAME_INFO = "quorvex_msgs/msg/FrameInfo"
POINT_CLOUD2 = "sensor_msgs/msg/PointCloud2"

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
    COMPRESSED_IMAGE: (
        "std_msgs/Header header\n"
        "string format\n"
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
    # What an Image cannot carry; in a recording it also marks its frame
    # complete, so a reader of a cut file never assembles part of a frame.
    FRAME_INFO: (
        "# One per frame, written after the frame's images.\n"
        "std_msgs/Header header\n"
        "uint64 sequence             # the source's frame sequence\n"
        "uint32 dropped_by_source    # frames the source lost before this one\n"
        "uint32 dropped_by_recorder  # frames the recorder could not write before this one\n"
        "int64 host_time_ns          # host monotonic clock at arrival\n"
        "uint32 width                # the frame's width and height as the source gave them\n"
        "uint32 height\n"
        "string output               # depth or raw\n"
        "uint64 module_stamp_ms      # the module's own clock (the header has the capture time)\n"
        "int64 capture_ns            # estimated capture, host monotonic clock\n" + _HEADER_DEFS),
    POINT_CLOUD2: (
        "std_msgs/Header header\n"
        "uint32 height\n"
        "uint32 width\n"
        "PointField[] fields\n"
        "bool is_bigendian\n"
        "uint32 point_step\n"
        "uint32 row_step\n"
        "uint8[] data\n"
        "bool is_dense\n" + _HEADER_DEFS
        + _SEPARATOR + "MSG: sensor_msgs/PointField\n"
        "uint8 INT8=1\n"
        "uint8 FLOAT32=7\n"
        "string name\n"
        "uint32 offset\n"
        "uint8 datatype\n"
        "uint32 count\n"),
}

class MessageError(ValueError):
    """A payload is not a well-formed message of the expected kind."""


@functools.lru_cache(maxsize=None)
def _encoder(schema):
    from mcap_ros2._dynamic import serialize_dynamic

    return serialize_dynamic(schema, MSGDEFS[schema])[schema]


@functools.lru_cache(maxsize=None)
def _decoder(schema):
    from mcap_ros2._dynamic import generate_dynamic

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
    """`builtin_interfaces/Time` of a module timestamp in milliseconds (exact)."""
    ms = int(timestamp_ms)
    return {"sec": ms // 1000, "nanosec": (ms % 1000) * 1_000_000}


def stamp_ms(time):
    """Milliseconds of a `builtin_interfaces/Time` (object or dict)."""
    sec, nanosec = (time["sec"], time["nanosec"]) if isinstance(time, dict) else (time.sec, time.nanosec)
    return int(sec) * 1000 + int(nanosec) // 1_000_000


def stamp_of_ns(ns):
    """`builtin_interfaces/Time` of nanoseconds since an epoch (exact)."""
    ns = int(ns)
    return {"sec": ns // 1_000_000_000, "nanosec": ns % 1_000_000_000}


def header(timestamp_ms, frame_id, stamp_ns=None):
    """A header stamped `stamp_ns` (nanoseconds of the system clock) when
    given, else with the module's timestamp."""
    return {"stamp": stamp(timestamp_ms) if stamp_ns is None else stamp_of_ns(stamp_ns), "frame_id": frame_id}


def camera_info_message(intrinsics, timestamp_ms, frame_id, stamp_ns=None):
    """`sensor_msgs/msg/CameraInfo` fields of `quorvex.Intrinsics`: D its
    plumb-bob distortion (zero for a pinhole), K the camera matrix, R the
    identity (a single camera) and P = [K | 0], as the calibration file
    holds them."""
    fx, fy, cx, cy = (float(intrinsics.fx), float(intrinsics.fy), float(intrinsics.cx),
                      float(intrinsics.cy))
    return {"header": header(timestamp_ms, frame_id, stamp_ns),
            "height": int(intrinsics.height), "width": int(intrinsics.width),
            "distortion_model": "plumb_bob",
            "d": [float(v) for v in getattr(intrinsics, "distortion", (0.0,) * 5)],
            "k": [fx, 0.0, cx, 0.0, fy, cy, 0.0, 0.0, 1.0],
            "r": [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0],
            "p": [fx, 0.0, cx, 0.0, 0.0, fy, cy, 0.0, 0.0, 0.0, 1.0, 0.0],
            "binning_x": 0, "binning_y": 0,
            "roi": {"x_offset": 0, "y_offset": 0, "height": 0, "width": 0, "do_rectify": False}}


_UINT32_MAX = 0xFFFFFFFF


def frame_info_message(frame, frame_id, dropped_by_recorder=0, stamp_ns=None):
    # A network source adds the gap in sequence numbers to the sender's own
    # count, which may pass what the field holds: the count saturates
    # rather than ending the recording.
    capture = frame.capture_ns if frame.capture_ns is not None else frame.host_time_ns
    return {"header": header(frame.timestamp_ms, frame_id, stamp_ns), "sequence": int(frame.sequence),
            "dropped_by_source": min(int(frame.dropped), _UINT32_MAX),
            "dropped_by_recorder": min(int(dropped_by_recorder), _UINT32_MAX),
            "host_time_ns": int(frame.host_time_ns), "width": int(frame.width),
            "height": int(frame.height), "output": frame.output,
            "module_stamp_ms": int(frame.timestamp_ms), "capture_ns": int(capture)}


# How planes become images moved to `quorvex.planeformats`; the names stay
# importable from here for programs written before.
_MOVED = ("PLANE_ENCODINGS", "OUTPUT_PLANES", "depth_to_metres", "depth_to_millimetres",
          "image_message", "image_array", "plane_messages", "compressed_plane_messages",
          "compressed_plane_array", "frame_from_messages")


def __getattr__(name):
    if name not in _MOVED:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from . import planeformats

    if name == "PLANE_ENCODINGS":
        return dict(planeformats.CODINGS["none"].formats)
    if name == "plane_messages":
        return lambda frame, frame_id, depth_in_metres, stamp_ns=None: planeformats.plane_messages(
            frame, frame_id, "none", depth_in_metres, stamp_ns)
    if name == "compressed_plane_messages":
        return lambda frame, frame_id, stamp_ns=None: planeformats.plane_messages(
            frame, frame_id, "depth", stamp_ns=stamp_ns)
    if name == "compressed_plane_array":
        return planeformats.plane_array
    return getattr(planeformats, name)
