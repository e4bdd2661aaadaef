"""Plane formats: how each plane of a Frame travels in a ROS 2 image
message, in one table keyed by the format string the message carries (an
Image's `encoding`, a CompressedImage's `format`). Recordings, the network
and the viewer take from here which planes an output has, the format each
plane is written in, the topic it goes on, how a payload becomes pixels
again, and how large a frame can be.

    format                       message          transport        planes
    32FC1                        Image            (raw)            depth, amplitude, confidence
    16UC1                        Image            (raw)            raw
    16UC1; compressedDepth rvl   CompressedImage  compressedDepth  depth
    16UC1; compressedDepth png   CompressedImage  compressedDepth  depth (read only)
    16UC1; linear rice           CompressedImage  lossless         amplitude, confidence, raw
    16UC1; delta deflate         CompressedImage  lossless         amplitude, confidence, raw
    16UC1; same as amplitude     CompressedImage  lossless         confidence

The transport is the last part of a plane's topic, as ROS's image
transports name theirs: ROS's compressed-depth transport reads
`/quorvex/depth/image/compressedDepth`; `lossless` carries codings of our
own, which ROS's `compressed` transport (JPEG and PNG) would fail on.
Recordings made before that name hold them under `.../compressed`, and
still read (`plane_topics`).

A coding is how a tool writes every plane of a frame: `none` (Images, as
the frame holds the planes; depth in metres or millimetres as the tool
chooses) or `depth` (CompressedImages coded as `quorvex.depthcoding`
describes).

Depth as an Image is `32FC1` in one of two units: metres with NaN where
there is no measurement, as ROS depth images are (recordings, which ROS
tools open), or millimetres with 0 for no measurement, as a Frame holds it
(the network, whose frames must arrive bit for bit: millimetres to metres
and back is not the identity in float32)."""
from dataclasses import dataclass

import numpy as np

from . import depthcoding
from .frame import Frame
from .rosmsg import COMPRESSED_IMAGE, IMAGE, MessageError, header, stamp_ms

PLANES = ("depth", "amplitude", "confidence", "raw")
OUTPUT_PLANES = {"depth": ("depth", "amplitude", "confidence"), "raw": ("raw",)}

RAW_TRANSPORT = "raw"
# Read only: where recordings of version 0.1 put the planes coded our own way.
LEGACY_TRANSPORT = "compressed"


@dataclass(frozen=True)
class PlaneFormat:
    name: str          # the message's encoding or format string
    schema: str        # the message type that carries it
    transport: str     # the last part of its topic ("raw": none)
    planes: tuple      # the planes it may carry
    dtype: np.dtype    # samples as stored (little-endian)


_U16 = np.dtype("<u2")
FORMATS = {f.name: f for f in (
    PlaneFormat("32FC1", IMAGE, RAW_TRANSPORT, ("depth", "amplitude", "confidence"), np.dtype("<f4")),
    PlaneFormat("16UC1", IMAGE, RAW_TRANSPORT, ("raw",), _U16),
    # Read wherever 16-bit samples are, written by none of our tools.
    PlaneFormat("mono16", IMAGE, RAW_TRANSPORT, (), _U16),
    PlaneFormat(depthcoding.DEPTH_FORMAT, COMPRESSED_IMAGE, "compressedDepth", ("depth",), _U16),
    *(PlaneFormat(name, COMPRESSED_IMAGE, "compressedDepth", ("depth",), _U16)
      for name in depthcoding.DEPTH_PNG_FORMATS),
    PlaneFormat(depthcoding.PLANE_FORMAT, COMPRESSED_IMAGE, "lossless", ("amplitude", "confidence", "raw"), _U16),
    PlaneFormat(depthcoding.DEFLATE_FORMAT, COMPRESSED_IMAGE, "lossless", ("amplitude", "confidence", "raw"), _U16),
    PlaneFormat(depthcoding.SAME_AS_AMPLITUDE, COMPRESSED_IMAGE, "lossless", ("confidence",), _U16),
)}


@dataclass(frozen=True)
class Coding:
    name: str
    schema: str        # the message type of every plane
    formats: dict      # plane -> the format it is written in


CODINGS = {c.name: c for c in (
    Coding("none", IMAGE, {"depth": "32FC1", "amplitude": "32FC1", "confidence": "32FC1", "raw": "16UC1"}),
    # Raw samples are phase images stacked with the frame's metadata lines:
    # there the fitted predictor of linear rice wins a few per cent on one
    # module and loses as much on the other, so they stay deflated.
    Coding("depth", COMPRESSED_IMAGE, {"depth": depthcoding.DEPTH_FORMAT,
                                       "amplitude": depthcoding.PLANE_FORMAT,
                                       "confidence": depthcoding.PLANE_FORMAT,
                                       "raw": depthcoding.DEFLATE_FORMAT}),
)}


def lookup(name, plane=None):
    """The PlaneFormat of a format string; MessageError when it is unknown,
    or is not one that `plane` travels in."""
    fmt = FORMATS.get(name)
    if fmt is None:
        raise MessageError(f"{plane or 'image'}: unknown format {name!r}")
    if plane is not None and plane not in fmt.planes:
        allowed = [f.name for f in FORMATS.values() if plane in f.planes]
        raise MessageError(f"{plane}: format {name!r}, expected one of {allowed}")
    return fmt


# Topics -------------------------------------------------------------------
def topic(base, plane, fmt):
    """The topic of `plane` written in format `fmt` under `base` (e.g.
    "/quorvex"): `BASE/PLANE/image`, then the transport unless raw."""
    transport = lookup(fmt).transport
    t = f"{base}/{plane}/image"
    return t if transport == RAW_TRANSPORT else f"{t}/{transport}"


def plane_topics(base):
    """{topic: plane} of every topic a plane may be read from under `base`,
    those of earlier versions included."""
    transports = {f.transport for f in FORMATS.values()} | {LEGACY_TRANSPORT}
    found = {}
    for plane in PLANES:
        for transport in transports:
            t = f"{base}/{plane}/image"
            found[t if transport == RAW_TRANSPORT else f"{t}/{transport}"] = plane
    return found


# Sizes --------------------------------------------------------------------
# No module makes a larger frame: the VGA module's 640 x 480 depth, and its
# raw frame in the dual-frequency mode, (480 + 1) * 10 rows of 640 samples.
MAX_WIDTH, MAX_HEIGHT = 640, 480


def raw_rows_limit(height):
    """The most rows of the raw frame of a module whose depth is `height`
    rows high (the VGA module's dual-frequency mode; the HQVGA module's 4 x
    height is fewer)."""
    return (height + 1) * 10


MAX_FRAME_BYTES = MAX_WIDTH * raw_rows_limit(MAX_HEIGHT) * 2


def size_problem(output, width, height, info=None):
    """None when a frame of `output` claiming `width` x `height` (the raw
    frame's rows for raw output) can be one a module makes, and one of the
    stream `info` describes where it is given; else why not. Checked before
    anything of that size is allocated."""
    limit_w, limit_h = MAX_WIDTH, MAX_HEIGHT
    if info is not None:
        limit_w, limit_h = min(limit_w, int(info.width)), min(limit_h, int(info.height))
    if output == "raw":
        limit_h = raw_rows_limit(limit_h)
    if 0 < width <= limit_w and 0 < height <= limit_h:
        return None
    of = "" if info is None else f" of a {info.width} x {info.height} stream"
    return f"a {output} frame of {width} x {height}: larger than any{of} ({limit_w} x {limit_h} at most)"


# Depth units ----------------------------------------------------------------
_MM_PER_M = np.float32(1000)


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


# Images -------------------------------------------------------------------
def image_message(array, timestamp_ms, frame_id, encoding=None, stamp_ns=None):
    """`sensor_msgs/msg/Image` fields of a 2-D float32 or uint16 array,
    little-endian whatever the host."""
    if array.ndim != 2:
        raise ValueError(f"an image is 2-D, not of shape {array.shape}")
    if encoding is None:
        encoding = "32FC1" if array.dtype == np.float32 else "16UC1"
    dtype = lookup(encoding).dtype
    data = np.ascontiguousarray(array, dtype=dtype)
    height, width = data.shape
    return {"header": header(timestamp_ms, frame_id, stamp_ns),
            "height": height, "width": width, "encoding": encoding, "is_bigendian": 0,
            "step": width * dtype.itemsize, "data": data.tobytes()}


def image_array(message, expected_encoding=None, what="image"):
    """The pixels of a decoded `sensor_msgs/msg/Image` as a (height, width)
    array of native byte order that owns its memory, checked against the
    message's own fields (a foreign or damaged writer may disagree with
    itself). MessageError when the encoding is unknown (or not
    `expected_encoding`) or the sizes disagree."""
    encoding = message.encoding
    if expected_encoding is not None and encoding != expected_encoding:
        raise MessageError(f"{what}: encoding {encoding!r}, expected {expected_encoding!r}")
    fmt = FORMATS.get(encoding)
    if fmt is None or fmt.schema != IMAGE:
        raise MessageError(f"{what}: unsupported encoding {encoding!r}")
    dtype = fmt.dtype
    if message.is_bigendian:
        dtype = dtype.newbyteorder(">")
    height, width, step = int(message.height), int(message.width), int(message.step)
    row = width * dtype.itemsize
    if step < row or len(message.data) != step * height or height == 0 or width == 0:
        raise MessageError(f"{what}: {width} x {height} ({encoding}, step {step}) "
                           f"cannot hold {len(message.data)} bytes")
    rows = np.frombuffer(message.data, dtype=np.uint8).reshape(height, step)[:, :row]
    return rows.copy().view(dtype).astype(dtype.newbyteorder("="), copy=False)


# Planes of a frame ------------------------------------------------------------
def plane_messages(frame, frame_id, coding="none", depth_in_metres=False, stamp_ns=None):
    """(plane name, message fields) of each plane a frame carries, in the
    coding named (see `CODINGS`); the message type is the coding's schema.
    The headers are stamped `stamp_ns` (system clock) when given, else
    with the module's time."""
    c = CODINGS[coding]
    h = header(frame.timestamp_ms, frame_id, stamp_ns)
    for name in OUTPUT_PLANES[frame.output]:
        array = getattr(frame, name)
        # Frames taken with fewer planes (`frames(planes=...)`) send the
        # ones they carry.
        if array is None:
            continue
        fmt = c.formats[name]
        if c.schema == IMAGE:
            if name == "depth" and depth_in_metres:
                array = depth_to_metres(array)
            yield name, image_message(array, frame.timestamp_ms, frame_id, fmt, stamp_ns)
            continue
        # The same payload whether recorded or sent: depth in whole millimetres.
        if name == "depth":
            data = depthcoding.encode_depth(array)
        elif name == "confidence" and np.array_equal(array, frame.amplitude):
            fmt, data = depthcoding.SAME_AS_AMPLITUDE, b""
        else:
            data = depthcoding.encode_plane(array, fmt)
        yield name, {"header": h, "format": fmt, "data": data}


def plane_array(message, name, width, height, amplitude=None, depth_in_metres=False):
    """The pixels of a decoded Image or CompressedImage of plane `name`,
    which must be `width` x `height` (the frame's own size, the raw frame's
    rows for raw): depth as float32 millimetres, amplitude and confidence
    as float32, raw as uint16. `amplitude` is the frame's decoded
    amplitude, for a confidence stored as a copy of it. MessageError when
    the format is not the plane's, the size is another, or the payload is
    damaged."""
    if not hasattr(message, "format"):
        array = image_array(message, CODINGS["none"].formats[name], name)
        if array.shape != (height, width):
            raise MessageError(f"{name}: {array.shape[1]} x {array.shape[0]}, expected {width} x {height}")
        if name == "depth" and depth_in_metres:
            array = depth_to_millimetres(array)
        return array
    fmt, data = message.format, message.data
    lookup(fmt, name)
    try:
        if fmt == depthcoding.DEPTH_FORMAT:
            return depthcoding.decode_depth(data, width, height)
        if fmt in depthcoding.DEPTH_PNG_FORMATS:
            return depthcoding.decode_depth_png(data, width, height)
        if fmt == depthcoding.SAME_AS_AMPLITUDE:
            if amplitude is None or len(data):
                raise MessageError("confidence: a copy of an amplitude the frame lacks")
            return amplitude.copy()
        dtype = np.uint16 if name == "raw" else np.float32
        return depthcoding.decode_plane(data, width, height, dtype=dtype, format=fmt)
    except depthcoding.CodingError as e:
        raise MessageError(f"{name}: {e}") from None


def frame_from_messages(info_msg, planes, sequence, dropped, host_time_ns, depth_in_metres, info=None):
    """A Frame from a FrameInfo message and the decoded images of its planes
    ({plane name: Image or CompressedImage}); MessageError when its size is
    beyond any module's (or the stream `info` describes), a plane is
    missing, of another format, or of another size than the frame."""
    output = info_msg.output
    names = OUTPUT_PLANES.get(output)
    if names is None:
        raise MessageError(f"frame of output {output!r}")
    width, height = int(info_msg.width), int(info_msg.height)
    problem = size_problem(output, width, height, info)
    if problem is not None:
        raise MessageError(f"frame {info_msg.sequence}: {problem}")
    missing = [n for n in names if n not in planes]
    if missing:
        raise MessageError(f"frame {info_msg.sequence} lacks its {', '.join(missing)} image")
    arrays = {}
    try:
        for n in names:
            arrays[n] = plane_array(planes[n], n, width, height, arrays.get("amplitude"), depth_in_metres)
    except MessageError as e:
        raise MessageError(f"frame {info_msg.sequence} of {width} x {height}: {e}") from None
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
                 host_time_ns=host_time_ns, dropped=dropped, width=width, height=height,
                 output=output, capture_ns=capture_ns, **arrays)
