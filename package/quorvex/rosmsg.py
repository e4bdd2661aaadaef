"""Frames as ROS 2 messages: the one place that knows their definitions,
how each plane of a Frame becomes a `sensor_msgs/msg/Image` and back, and
their CDR encoding. The recorder (through the `mcap_ros2` writer and
decoder) and the network (through `encode`/`decode` here) both build on it.

Planes: amplitude and confidence are `32FC1` in the module's units, raw
samples `16UC1`. Depth is `32FC1` in one of two units, chosen by the tool:
metres with NaN where there is no measurement, as ROS depth images are
(recordings, which ROS tools open), or millimetres with 0 for no
measurement, as a Frame holds it (the network, whose frames must arrive bit
for bit: millimetres to metres and back is not the identity in float32).

    data = rosmsg.encode(rosmsg.IMAGE, rosmsg.image_message(frame.depth, stamp_ms, "cam"))
    msg = rosmsg.decode(rosmsg.IMAGE, data)
    depth = rosmsg.image_array(msg)

Encoding is done by `mcap_ros2` (package `mcap-ros2-support`) from the
definition texts below, imported only when first needed so the package
imports without it; nothing is hand-packed here."""
import functools

import numpy as np

from .frame import Frame

IMAGE = "sensor_msgs/msg/Image"
COMPRESSED_IMAGE = "sensor_msgs/msg/CompressedImage"
CAMERA_INFO = "sensor_msgs/msg/CameraInfo"
FRAME_INFO = "quorvex_msgs/msg/FrameInfo"

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
}

# numpy dtype of each image encoding we write or accept (little-endian
# samples; `is_bigendian` is honoured on reading).
_ENCODINGS = {"32FC1": np.dtype("<f4"), "mono16": np.dtype("<u2"), "16UC1": np.dtype("<u2")}
# What each plane of a Frame is sent as, and which planes each output has.
PLANE_ENCODINGS = {"depth": "32FC1", "amplitude": "32FC1", "confidence": "32FC1", "raw": "16UC1"}
OUTPUT_PLANES = {"depth": ("depth", "amplitude", "confidence"), "raw": ("raw",)}

_MM_PER_M = np.float32(1000)


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


def depth_to_metres(depth_mm):
    """float32 millimetres (0 = invalid) -> float32 metres (NaN = invalid).
    One correctly rounded float32 division: the way back is then within one
    float32 step of the original, and exact for about 98 % of values."""
    depth_mm = np.asarray(depth_mm, dtype=np.float32)
    with np.errstate(invalid="ignore", divide="ignore"):
        metres = depth_mm / _MM_PER_M
    metres[depth_mm == 0] = np.nan
    return metres


def depth_to_millimetres(depth_m):
    with np.errstate(invalid="ignore"):
        mm = np.asarray(depth_m, dtype=np.float32) * _MM_PER_M
    mm[np.isnan(mm)] = 0
    return mm


def image_message(array, timestamp_ms, frame_id, encoding=None, stamp_ns=None):
    """`sensor_msgs/msg/Image` fields of a 2-D float32 or uint16 array,
    little-endian whatever the host."""
    if array.ndim != 2:
        raise ValueError(f"an image is 2-D, not of shape {array.shape}")
    if encoding is None:
        encoding = "32FC1" if array.dtype == np.float32 else "16UC1"
    dtype = _ENCODINGS[encoding]
    data = np.ascontiguousarray(array, dtype=dtype)
    height, width = data.shape
    return {"header": header(timestamp_ms, frame_id, stamp_ns),
            "height": height, "width": width, "encoding": encoding, "is_bigendian": 0,
            "step": width * dtype.itemsize, "data": data.tobytes()}


def plane_messages(frame, frame_id, depth_in_metres, stamp_ns=None):
    """(plane name, Image fields) of each plane a frame carries."""
    for name in OUTPUT_PLANES[frame.output]:
        array = getattr(frame, name)
        if name == "depth" and depth_in_metres:
            array = depth_to_metres(array)
        yield name, image_message(array, frame.timestamp_ms, frame_id, PLANE_ENCODINGS[name], stamp_ns)


def compressed_plane_messages(frame, frame_id, stamp_ns=None):
    """(plane name, CompressedImage fields) of each plane a frame carries,
    coded as `quorvex.depthcoding` describes: depth in whole millimetres
    (the same payload whether recorded or sent), the others as 16-bit
    planes."""
    from . import depthcoding

    h = header(frame.timestamp_ms, frame_id, stamp_ns)
    for name in OUTPUT_PLANES[frame.output]:
        array = getattr(frame, name)
        if name == "depth":
            fmt, data = depthcoding.DEPTH_FORMAT, depthcoding.encode_depth(array)
        elif name == "confidence" and np.array_equal(array, frame.amplitude):
            fmt, data = depthcoding.SAME_AS_AMPLITUDE, b""
        else:
            # Raw samples are phase images stacked with the frame's
            # metadata lines: there the fitted predictor wins a few per cent
            # on one module and loses as much on the other, so they stay
            # deflated.
            fmt = depthcoding.DEFLATE_FORMAT if name == "raw" else depthcoding.PLANE_FORMAT
            data = depthcoding.encode_plane(array, fmt)
        yield name, {"header": h, "format": fmt, "data": data}


def compressed_plane_array(message, name, width, height, amplitude=None):
    """The pixels of a decoded CompressedImage of plane `name` (see
    `compressed_plane_messages`): depth as float32 millimetres, amplitude
    and confidence as float32, raw as uint16; depth, amplitude and
    confidence must be width x height. `amplitude` is the frame's decoded
    amplitude, for a confidence stored as a copy of it. MessageError when
    the format is not the plane's or the payload is damaged."""
    from . import depthcoding

    fmt, data = message.format, message.data
    try:
        if name == "depth":
            if fmt != depthcoding.DEPTH_FORMAT:
                raise MessageError(f"depth: format {fmt!r}, expected {depthcoding.DEPTH_FORMAT!r}")
            return depthcoding.decode_depth(data, width, height)
        if name == "confidence" and fmt == depthcoding.SAME_AS_AMPLITUDE:
            if amplitude is None or len(data):
                raise MessageError("confidence: a copy of an amplitude the frame lacks")
            return amplitude.copy()
        if fmt not in depthcoding.PLANE_FORMATS:
            raise MessageError(f"{name}: format {fmt!r}, expected one of {depthcoding.PLANE_FORMATS}")
        if name == "raw":
            return depthcoding.decode_plane(data, dtype=np.uint16, format=fmt)
        return depthcoding.decode_plane(data, width, height, format=fmt)
    except depthcoding.CodingError as e:
        raise MessageError(f"{name}: {e}") from None


def image_array(message, expected_encoding=None, what="image"):
    """The pixels of a decoded `sensor_msgs/msg/Image` as a (height, width)
    array of native byte order that owns its memory, checked against the
    message's own fields (a foreign or damaged writer may disagree with
    itself). MessageError when the encoding is unknown (or not
    `expected_encoding`) or the sizes disagree."""
    encoding = message.encoding
    if expected_encoding is not None and encoding != expected_encoding:
        raise MessageError(f"{what}: encoding {encoding!r}, expected {expected_encoding!r}")
    if encoding not in _ENCODINGS:
        raise MessageError(f"{what}: unsupported encoding {encoding!r}")
    dtype = _ENCODINGS[encoding]
    if message.is_bigendian:
        dtype = dtype.newbyteorder(">")
    height, width, step = int(message.height), int(message.width), int(message.step)
    row = width * dtype.itemsize
    if step < row or len(message.data) != step * height or height == 0 or width == 0:
        raise MessageError(f"{what}: {width} x {height} ({encoding}, step {step}) "
                           f"cannot hold {len(message.data)} bytes")
    rows = np.frombuffer(message.data, dtype=np.uint8).reshape(height, step)[:, :row]
    return rows.copy().view(dtype).astype(dtype.newbyteorder("="), copy=False)


def camera_info_message(intrinsics, timestamp_ms, frame_id, stamp_ns=None):
    """`sensor_msgs/msg/CameraInfo` fields of `quorvex.Intrinsics` (a pinhole
    without distortion; the projection equals the camera matrix)."""
    fx, fy, cx, cy = (float(intrinsics.fx), float(intrinsics.fy), float(intrinsics.cx),
                      float(intrinsics.cy))
    return {"header": header(timestamp_ms, frame_id, stamp_ns),
            "height": int(intrinsics.height), "width": int(intrinsics.width),
            "distortion_model": "plumb_bob", "d": [0.0] * 5,
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


def frame_from_messages(info_msg, planes, sequence, dropped, host_time_ns, depth_in_metres):
    """A Frame from a FrameInfo message and the decoded images of its planes
    ({plane name: Image or CompressedImage}); MessageError when a plane is missing, of another
    encoding, or its size disagrees with the others."""
    output = info_msg.output
    names = OUTPUT_PLANES.get(output)
    if names is None:
        raise MessageError(f"frame of output {output!r}")
    missing = [n for n in names if n not in planes]
    if missing:
        raise MessageError(f"frame {info_msg.sequence} lacks its {', '.join(missing)} image")
    arrays = {}
    for n in names:
        msg = planes[n]
        if hasattr(msg, "format"):
            arrays[n] = compressed_plane_array(msg, n, int(info_msg.width), int(info_msg.height),
                                               arrays.get("amplitude"))
        else:
            arrays[n] = image_array(msg, PLANE_ENCODINGS[n], n)
            if n == "depth" and depth_in_metres:
                arrays[n] = depth_to_millimetres(arrays[n])
    if output == "depth":
        shapes = {a.shape for a in arrays.values()}
        size = (int(info_msg.height), int(info_msg.width))
        if shapes != {size}:
            raise MessageError(f"frame {info_msg.sequence} of {size[1]} x {size[0]}: planes of sizes "
                               f"{sorted(shapes)}")
    # Frames written before the header carried the capture time have the
    # module's clock there and no capture time of their own.
    module_ms = getattr(info_msg, "module_stamp_ms", None)
    if module_ms is None:
        timestamp_ms, capture_ns = stamp_ms(info_msg.header.stamp), None
    else:
        # The capture lies as far before this arrival as before the
        # recorded one: a time of this host's clock, not of another boot's.
        timestamp_ms = int(module_ms)
        capture_ns = int(host_time_ns) - (int(info_msg.host_time_ns) - int(info_msg.capture_ns))
    return Frame(sequence=sequence, timestamp_ms=timestamp_ms,
                 host_time_ns=host_time_ns, dropped=dropped, width=int(info_msg.width),
                 height=int(info_msg.height), output=output, capture_ns=capture_ns, **arrays)
