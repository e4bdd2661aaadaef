"""Lossless-as-stored coding of frames for recordings and streams
(`--compression depth`): depth as ROS's compressed depth images, the other
planes as 16-bit images coded losslessly.

Depth: `sensor_msgs/msg/CompressedImage` of format `16UC1; compressedDepth
rvl`: a 12-byte configuration (int32 0, float32 0, float32 0; other
writers leave the two floats, which apply to float depth only, as they
happen to be, and they are ignored on reading), uint32 columns, uint32
rows, then the RVL stream as little-endian 32-bit words.
Precision: whole millimetres, rounded to nearest (ties to even), so a kept
value is within 0.5 mm of the float depth; 0 is no reading, and so is any
float 16 bits cannot hold as a reading (NaN, below 0.5 mm, 65535.5 mm and
beyond: outside every module's range).

Amplitude and confidence: `CompressedImage` of format `16UC1; linear
rice`: uint32 columns, uint32 rows, five int16 prediction weights fitted
to the image, then adaptive Rice codes of each value's zig-zag difference
to its prediction, with runs where the neighbourhood is flat (the layout
in full: codec/LinearRice.h). On noisy planes it takes about a tenth
fewer bytes than delta deflate below, at about its cost.
Raw samples: format `16UC1; delta deflate`: uint32 columns, uint32 rows,
then a zlib stream of the plane's residuals (each value less the mean of
its left and upper neighbours, modulo 2^16, zig-zag mapped; all low bytes,
then all high bytes); recordings of earlier versions hold amplitude and
confidence in it too, and read as before. Precision: amplitude and
confidence are rounded to whole units (ties to even) and clamped to
0 ... 65535; raw samples are kept exactly.
Where a frame's confidence equals its amplitude (the HQVGA module's do),
the confidence image is of format `16UC1; same as amplitude` and empty.

    payload = depthcoding.encode_depth(frame.depth)
    depth_mm = depthcoding.decode_depth(payload, frame.width, frame.height)
"""
import struct
import zlib

import numpy as np

from . import _native

DEPTH_FORMAT = "16UC1; compressedDepth rvl"
# What ROS's compressed-depth transport writes by default (and, without the
# last word, before it knew RVL): read, never written.
DEPTH_PNG_FORMATS = ("16UC1; compressedDepth png", "16UC1; compressedDepth")
PLANE_FORMAT = "16UC1; linear rice"
DEFLATE_FORMAT = "16UC1; delta deflate"
PLANE_FORMATS = (PLANE_FORMAT, DEFLATE_FORMAT)
SAME_AS_AMPLITUDE = "16UC1; same as amplitude"
# The step of the depth kept, in millimetres: a kept value is within half
# of it of the float.
DEPTH_STEP_MM = 1.0

_SIZE = struct.Struct("<II")
# Run-length coding of long zero runs (the residuals' high bytes) at a
# fraction of deflate's default cost, and smaller here too.
_LEVEL = 1
_STRATEGY = zlib.Z_RLE
# No frame of any module has more pixels: a larger claim is damage.
_MAX_PIXELS = 1 << 24


class CodingError(ValueError):
    """A payload is not a well-formed coded image of the expected size."""


def _check_plane(plane):
    if plane.ndim != 2:
        raise CodingError(f"a plane must be a 2-D image, not of shape {plane.shape}")
    if plane.size == 0:
        # No reader takes an image without pixels back.
        raise CodingError(f"a plane of shape {plane.shape} has no pixels")


def encode_depth(depth_mm):
    """compressedDepth payload of float32 millimetres (0 = no reading)."""
    depth_mm = np.asarray(depth_mm, dtype=np.float32)
    _check_plane(depth_mm)
    return _native.encode_depth(depth_mm)


def decode_depth(data, width, height):
    """float32 millimetres of a compressedDepth payload that must be
    width x height; CodingError otherwise."""
    try:
        return _native.decode_depth(data, int(width), int(height))
    except ValueError as e:
        raise CodingError(str(e)) from None


_PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
_CHUNK = struct.Struct(">I4s")
_IHDR = struct.Struct(">IIBBBBB")
_CONFIG_BYTES = 12


def decode_depth_png(data, width, height):
    """float32 millimetres of a `16UC1; compressedDepth png` payload (what
    ROS's compressed-depth transport writes by default: the 12-byte
    configuration, then a PNG of 16-bit grey levels), which must be width x
    height; CodingError otherwise. Read only: our own writers use RVL."""
    view = memoryview(data)
    if len(view) < _CONFIG_BYTES + len(_PNG_SIGNATURE) or struct.unpack_from("<i", view)[0] != 0:
        raise CodingError("compressedDepth png payload: no 16-bit depth configuration")
    pos = _CONFIG_BYTES
    if bytes(view[pos:pos + 8]) != _PNG_SIGNATURE:
        raise CodingError("compressedDepth png payload: not a PNG after its configuration")
    pos += 8
    idat, size = [], None
    while True:
        if pos + 12 > len(view):
            raise CodingError("compressedDepth png payload: cut short")
        length, kind = _CHUNK.unpack_from(view, pos)
        body = view[pos + 8:pos + 8 + length]
        if len(body) != length or pos + 12 + length > len(view):
            raise CodingError("compressedDepth png payload: cut short")
        if zlib.crc32(kind + body) != struct.unpack_from(">I", view, pos + 8 + length)[0]:
            raise CodingError(f"compressedDepth png payload: damaged {kind.decode('latin-1')} chunk")
        pos += 12 + length
        if kind == b"IHDR":
            w, h, depth, colour, method, filtering, interlace = _IHDR.unpack(body)
            if (depth, colour, method, filtering, interlace) != (16, 0, 0, 0, 0):
                raise CodingError("compressedDepth png payload: not a plain 16-bit grey PNG")
            if (w, h) != (width, height):
                raise CodingError(f"compressedDepth png payload of {w} x {h}, expected {width} x {height}")
            size = (w, h)
        elif kind == b"IDAT":
            idat.append(bytes(body))
        elif kind == b"IEND":
            break
    if size is None or not idat:
        raise CodingError("compressedDepth png payload: no image")
    row = 2 * width + 1
    inflater = zlib.decompressobj()
    try:
        # Never more than the image holds, whatever the stream claims.
        raw = inflater.decompress(b"".join(idat), row * height)
    except zlib.error as e:
        raise CodingError(f"compressedDepth png payload is damaged ({e})") from None
    if len(raw) != row * height:
        raise CodingError("compressedDepth png payload: fewer rows than its size")
    rows = np.frombuffer(raw, np.uint8).reshape(height, row)
    image = np.zeros((height, 2 * width), np.uint8)
    prior = np.zeros(2 * width, np.uint8)
    for y in range(height):
        image[y] = prior = _unfilter(int(rows[y, 0]), rows[y, 1:], prior)
    return image.view(">u2").astype(np.float32)


def _unfilter(kind, r, prior):
    """One PNG row of 2-byte pixels without its filter."""
    if kind == 0:
        return r
    if kind == 1:
        return np.cumsum(r.reshape(-1, 2), axis=0, dtype=np.uint8).ravel()
    if kind == 2:
        return r + prior
    if kind not in (3, 4):
        raise CodingError(f"compressedDepth png payload: unknown row filter {kind}")
    # Each byte depends on the one just decoded: byte by byte.
    out, up = bytearray(r.tobytes()), prior.tolist()
    for i in range(len(out)):
        a, b = (out[i - 2] if i >= 2 else 0), up[i]
        if kind == 3:
            out[i] = (out[i] + ((a + b) >> 1)) & 0xFF
        else:
            c = up[i - 2] if i >= 2 else 0
            p = a + b - c
            pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            out[i] = (out[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
    return np.frombuffer(bytes(out), np.uint8)


def encode_plane(plane, format=PLANE_FORMAT):
    """Payload of `format` of a float32 plane (rounded to whole units) or a
    uint16 plane (exact)."""
    plane = np.asarray(plane)
    _check_plane(plane)
    if format == PLANE_FORMAT:
        if plane.dtype == np.uint16:
            return _native.encode_rice16(plane)
        return _native.encode_rice(plane.astype(np.float32, copy=False))
    if format != DEFLATE_FORMAT:
        raise CodingError(f"unknown plane format {format!r}")
    if plane.dtype == np.uint16:
        residual = _native.plane_residual16(plane)
    else:
        residual = _native.plane_residual(plane.astype(np.float32, copy=False))
    height, width = plane.shape
    coder = zlib.compressobj(_LEVEL, zlib.DEFLATED, 15, 9, _STRATEGY)
    return _SIZE.pack(width, height) + coder.compress(residual) + coder.flush()


def plane_size(data):
    """(width, height) a plane payload claims."""
    if len(data) < _SIZE.size:
        raise CodingError(f"plane payload of {len(data)} bytes: shorter than its header")
    return _SIZE.unpack_from(data)


def decode_plane(data, width=None, height=None, dtype=np.float32, format=PLANE_FORMAT):
    """The plane of a payload of `format`, as float32 (whole values) or
    uint16; when width and height are given the payload must be of that
    size. CodingError when it is damaged, decodes beyond or short of its
    size, or has bytes after its end."""
    if format not in PLANE_FORMATS:
        raise CodingError(f"unknown plane format {format!r}")
    w, h = plane_size(data)
    if (width is not None and w != width) or (height is not None and h != height):
        raise CodingError(f"plane payload of {w} x {h}, expected {width} x {height}")
    if w == 0 or h == 0 or w * h > _MAX_PIXELS:
        raise CodingError(f"plane payload of {w} x {h} pixels")
    if format == PLANE_FORMAT:
        try:
            if dtype == np.uint16:
                return _native.decode_rice16(data, w, h)
            return _native.decode_rice(data, w, h)
        except ValueError as e:
            raise CodingError(str(e)) from None
    want = 2 * w * h
    inflater = zlib.decompressobj()
    try:
        residual = inflater.decompress(memoryview(data)[_SIZE.size:], want)
    except zlib.error as e:
        raise CodingError(f"plane payload is damaged ({e})") from None
    if len(residual) != want or not inflater.eof or inflater.unconsumed_tail or inflater.unused_data:
        raise CodingError(f"plane payload of {w} x {h} does not inflate to exactly its {want} bytes")
    if dtype == np.uint16:
        return _native.plane_from_residual16(residual, w, h)
    return _native.plane_from_residual(residual, w, h)


__all__ = ["DEPTH_FORMAT", "DEPTH_PNG_FORMATS", "decode_depth_png", "PLANE_FORMAT", "DEFLATE_FORMAT", "PLANE_FORMATS", "SAME_AS_AMPLITUDE",
           "DEPTH_STEP_MM", "CodingError", "encode_depth", "decode_depth", "encode_plane", "decode_plane",
           "plane_size"]
