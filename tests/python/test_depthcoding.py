"""Depth and plane coding: RVL streams read by a decoder written here from
the published description (not from our coder), the compressedDepth
payload's byte layout, the precision kept, damaged payloads refused, and
depth-coded frames over a recording's reader and over the network."""
import socket
import struct
import zlib

import numpy as np
import pytest

from quorvex import _native, depthcoding, rosmsg


def reference_rvl_decode(data, pixels):
    """RVL as published: 32-bit words, nibbles from each word's top; a value
    is 3-bit groups, least significant first, each with a continuation bit;
    the stream alternates a zero-run length and a non-zero-run length, the
    latter followed by the zig-zag deltas of its values to the previous
    non-zero value."""
    words = struct.unpack(f"<{len(data) // 4}I", data)
    nibbles = [(w >> (28 - 4 * k)) & 0xF for w in words for k in range(8)]
    pos = 0

    def vle():
        nonlocal pos
        value, shift = 0, 0
        while True:
            n = nibbles[pos]
            pos += 1
            value |= (n & 7) << shift
            shift += 3
            if not n & 8:
                return value

    out, previous = [], 0
    while len(out) < pixels:
        out += [0] * vle()
        for _ in range(vle()):
            z = vle()
            previous += (z >> 1) ^ -(z & 1)
            out.append(previous)
    assert len(out) == pixels and not any(nibbles[pos:])
    return np.array(out, dtype=np.uint16)


def reference_rvl_encode(values):
    """The inverse of reference_rvl_decode, from the same description."""
    nibbles = []

    def vle(value):
        while True:
            group, value = value & 7, value >> 3
            nibbles.append(group | (8 if value else 0))
            if not value:
                return

    values, i, previous = [int(v) for v in values], 0, 0
    while i < len(values):
        zeros = 0
        while i < len(values) and values[i] == 0:
            zeros, i = zeros + 1, i + 1
        run = []
        while i < len(values) and values[i] != 0:
            run.append(values[i])
            i += 1
        vle(zeros)
        vle(len(run))
        for v in run:
            d = v - previous
            vle((d << 1) ^ (d >> 31) if d >= 0 else ((-d) << 1) - 1)
            previous = v
    nibbles += [0] * (-len(nibbles) % 8)
    words = [sum(n << (28 - 4 * k) for k, n in enumerate(nibbles[j:j + 8]))
             for j in range(0, len(nibbles), 8)]
    return struct.pack(f"<{len(words)}I", *words)


def images():
    rng = np.random.default_rng(31)
    noisy = (1000 + rng.normal(0, 4, (18, 24))).round().astype(np.uint16)
    holes = noisy.copy()
    holes[rng.random(holes.shape) < 0.3] = 0
    return {
        "all zero": np.zeros((3, 5), np.uint16),
        "all one value": np.full((4, 4), 777, np.uint16),
        "extremes side by side": np.array([[65535, 1, 65535, 0, 1, 65535]], np.uint16),
        "runs of 7, 8, 63, 64, 512": np.concatenate(
            [np.zeros(7), np.ones(8), np.zeros(63), np.full(64, 3), np.zeros(512), [9]]).astype(np.uint16)[None],
        "noise with holes": holes,
        "random 16-bit": rng.integers(0, 65536, (20, 30)).astype(np.uint16),
        "one pixel": np.array([[5]], np.uint16),
    }


@pytest.mark.parametrize("name", list(images()))
def test_rvl_streams_decode_by_the_published_description(name):
    image = images()[name]
    stream = _native.rvl_encode(image)
    assert len(stream) % 4 == 0
    assert np.array_equal(reference_rvl_decode(stream, image.size), image.ravel())
    assert np.array_equal(_native.rvl_decode(stream, image.size), image.ravel())
    # The ROS payload: int32 format 0, float32 0 and 0, uint32 columns and rows, the stream.
    payload = _native.encode_depth16(image)
    fmt, qa, qb, cols, rows = struct.unpack_from("<iffII", payload)
    assert (fmt, qa, qb, cols, rows) == (0, 0.0, 0.0, image.shape[1], image.shape[0])
    assert payload[20:] == stream
    kept = depthcoding.decode_depth(payload, image.shape[1], image.shape[0])
    assert kept.dtype == np.float32 and np.array_equal(kept, image)


@pytest.mark.parametrize("params", [
    struct.pack("<ff", 0.0, 0.0),
    struct.pack("<ff", 0.5, 10.0),        # a writer's quantisation settings, meant for float depth
    b"\xcd\xcd\xcd\xcd\xff\xff\xc0\x7f",  # left as the writer's memory happened to be
])
def test_16_bit_compressed_depth_of_another_writer_reads_whatever_its_depth_parameters(params):
    from quorvex import planeformats

    image = images()["noise with holes"]
    h, w = image.shape
    stream = reference_rvl_encode(image.ravel())
    assert np.array_equal(reference_rvl_decode(stream, image.size), image.ravel())
    payload = struct.pack("<i", 0) + params + struct.pack("<II", w, h) + stream
    assert np.array_equal(depthcoding.decode_depth(payload, w, h), image)
    msg = type("Msg", (), {"format": "16UC1; compressedDepth rvl", "data": payload})
    assert np.array_equal(planeformats.plane_array(msg, "depth", w, h), image)
    # Our own payloads keep the parameters at zero.
    assert depthcoding.encode_depth(image.astype(np.float32))[4:12] == bytes(8)


def hand_built_png(image, row_filter):
    """A 16-bit grey PNG of `image`, every row filtered with `row_filter`
    (0 ... 4), built by hand from the PNG format's published rules."""
    x = image.astype(">u2").view(np.uint8).reshape(image.shape[0], -1).astype(np.int32)
    rows = []
    for y in range(x.shape[0]):
        up = x[y - 1] if y else np.zeros_like(x[y])
        left = np.concatenate([[0, 0], x[y, :-2]])
        upleft = np.concatenate([[0, 0], up[:-2]])
        if row_filter == 4:
            p = left + up - upleft
            pa, pb, pc = np.abs(p - left), np.abs(p - up), np.abs(p - upleft)
            pred = np.where((pa <= pb) & (pa <= pc), left, np.where(pb <= pc, up, upleft))
        else:
            pred = [0, left, up, (left + up) // 2][row_filter]
        rows.append(bytes([row_filter]) + ((x[y] - pred) % 256).astype(np.uint8).tobytes())

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    ihdr = struct.pack(">IIBBBBB", image.shape[1], image.shape[0], 16, 0, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(b"".join(rows)))
            + chunk(b"IEND", b""))


def pillow_png(image):
    pil = pytest.importorskip("PIL.Image")
    import io

    out = io.BytesIO()
    pil.fromarray(image.astype(np.uint16)).save(out, format="PNG")
    return out.getvalue()


@pytest.mark.parametrize("writer", ["pillow", 0, 1, 2, 3, 4])
def test_compressed_depth_as_png_from_other_writers_reads(writer):
    from quorvex import planeformats

    image = images()["noise with holes"]
    image[0, 0], image[-1, -1] = 65535, 300  # both bytes of a sample in play
    h, w = image.shape
    png = pillow_png(image) if writer == "pillow" else hand_built_png(image, writer)
    payload = struct.pack("<iff", 0, 0.5, 10.0) + png
    for fmt in ("16UC1; compressedDepth png", "16UC1; compressedDepth"):
        msg = type("Msg", (), {"format": fmt, "data": payload})
        kept = planeformats.plane_array(msg, "depth", w, h)
        assert kept.dtype == np.float32 and np.array_equal(kept, image)
    with pytest.raises(depthcoding.CodingError, match="expected"):
        depthcoding.decode_depth_png(payload, w + 1, h)
    for damaged in (payload[:-20], payload[:40] + bytes([payload[40] ^ 0xFF]) + payload[41:], struct.pack("<i", 1) + payload[4:]):
        with pytest.raises(depthcoding.CodingError):
            depthcoding.decode_depth_png(damaged, w, h)


@pytest.mark.parametrize("shape", [(5, 0), (0, 5), (0, 0)])
@pytest.mark.parametrize("dtype", [np.float32, np.uint16])
def test_planes_without_pixels_are_refused(shape, dtype):
    empty = np.zeros(shape, dtype)
    for fmt in depthcoding.PLANE_FORMATS:
        with pytest.raises(depthcoding.CodingError, match="no pixels"):
            depthcoding.encode_plane(empty, fmt)
    with pytest.raises(depthcoding.CodingError, match="no pixels"):
        depthcoding.encode_depth(empty)


def test_a_stream_worked_by_hand():
    # [0, 0, 5, 5]: zeros 2, non-zeros 2, deltas 5 (zig-zag 10 = groups 2, 1) and 0.
    stream = bytes.fromhex("0000a122")
    assert _native.rvl_encode(np.array([0, 0, 5, 5], np.uint16)) == stream
    assert _native.rvl_decode(stream, 4).tolist() == [0, 0, 5, 5]


def test_depth_kept_is_within_half_a_millimetre_and_invalid_stays_invalid():
    rng = np.random.default_rng(2)
    depth = np.concatenate([
        rng.random(5000, dtype=np.float32) * 8000,
        np.arange(0, 40, 0.25, dtype=np.float32),                # ties on both sides of 0.5
        [np.nan, -3, 0.49999997, 0.5, 65535.49, 65535.5, 1e9, np.inf],
    ]).astype(np.float32)[None]
    kept = depthcoding.decode_depth(depthcoding.encode_depth(depth), depth.shape[1], 1)
    storable = (depth >= 0.5) & (depth < 65535.5)
    assert np.all(np.abs(kept[storable] - depth[storable]) <= 0.5)
    assert np.array_equal(kept[storable], np.rint(depth[storable]))
    assert np.all(kept[~storable] == 0) and np.all(kept[depth == 0] == 0)


def test_damaged_depth_payloads_are_refused():
    image = images()["noise with holes"]
    good = _native.encode_depth16(image)
    h, w = image.shape
    cases = {
        "truncated": good[:-4],
        "a word too many": good + b"\0\0\0\0",
        "not whole words": good + b"\0",
        "a quantised payload": struct.pack("<i", 1) + good[4:],
        "header only": good[:20],
        "no header": good[:11],
        "runs past the end": good[:20] + _native.rvl_encode(np.ones(w * h + 5, np.uint16)),
    }
    for name, data in cases.items():
        with pytest.raises(depthcoding.CodingError):
            depthcoding.decode_depth(data, w, h)
    with pytest.raises(depthcoding.CodingError, match="expected"):
        depthcoding.decode_depth(good, w + 1, h)


def reference_linear_rice_decode(data):
    """`16UC1; linear rice` from its description: uint32 columns and rows,
    5 int16 weights, then bits from each byte's low end; inside the image
    a weighted prediction, the mean of left and up elsewhere; Rice codes
    with 24-zero escapes, k from per-context sums and counts; runs of the
    left value where the four nearest neighbours agree."""
    cols, rows = struct.unpack_from("<II", data)
    w = struct.unpack_from("<5h", data, 8)
    bits = "".join(f"{b:08b}"[::-1] for b in data[18:])
    pos = 0

    def take(n):
        nonlocal pos
        v = int(bits[pos:pos + n][::-1] or "0", 2)
        assert pos + n <= len(bits)
        pos += n
        return v

    sums, counts = [16] * 38, [1] * 38

    def rice(ctx, escape=16):
        target, k = sums[ctx] // 2, 0
        while counts[ctx] << k < target and k < 15:
            k += 1
        q = bits.index("1", pos, pos + 24) - pos if "1" in bits[pos:pos + 24] else 24
        take(q if q == 24 else q + 1)
        z = take(escape) if q == 24 else q << k | take(k)
        sums[ctx] += z
        counts[ctx] += 1
        if counts[ctx] == 64:
            sums[ctx] //= 2
            counts[ctx] //= 2
        return z

    img = [[0] * cols for _ in range(rows)]

    def prediction(x, y):
        if y < 2 or x < 2 or x + 2 >= cols:
            if y == 0:
                return (img[0][x - 1] if x else 0), 36, False
            if x == 0:
                return img[y - 1][0], 36, False
            return (img[y][x - 1] + img[y - 1][x]) // 2, 36, False
        a, b, c, d = img[y][x - 1], img[y - 1][x], img[y - 1][x - 1], img[y - 1][x + 1]
        n = [b, d, img[y][x - 2], img[y - 2][x], img[y - 1][x - 2]]
        p = a + (sum(wi * (ni - a) for wi, ni in zip(w, n)) + 32) // 64
        g = abs(a - c) + abs(b - c) + abs(d - b)
        v = g + 1
        top = v.bit_length() - 1
        ctx = 0 if top == 0 else 2 * top + (v >> (top - 1) & 1)
        return min(max(p, 0), 65535), ctx, g == 0

    for y in range(rows):
        x = 0
        while x < cols:
            p, ctx, flat = prediction(x, y)
            if flat:
                run = rice(37, 32)
                for _ in range(run):
                    img[y][x] = img[y][x - 1]
                    x += 1
                if x == cols:
                    break
                p, ctx, _ = prediction(x, y)
            z = rice(ctx)
            img[y][x] = (p + ((z >> 1) ^ -(z & 1))) & 0xFFFF
            x += 1
    assert len(bits) - pos < 8 and "1" not in bits[pos:]
    return np.array(img, np.uint16).reshape(rows, cols)


def plane_images():
    rng = np.random.default_rng(12)
    yy, xx = np.mgrid[0:18, 0:25]
    smooth = 9000 * np.exp(-((xx - 12) ** 2 + (yy - 9) ** 2) / 60) + 200
    return {
        "smooth and noisy": np.clip(smooth + rng.normal(0, 40, smooth.shape), 0, 65535).round().astype(np.uint16),
        "flat with steps": np.where(xx < 9 + yy, 33, np.where(xx % 5, 9, 34)).astype(np.uint16),
        "random 16-bit": rng.integers(0, 65536, (9, 11)).astype(np.uint16),
        "extremes side by side": np.where((xx + yy) % 2, 65535, 0).astype(np.uint16)[:6],
        "one row": rng.integers(0, 70, (1, 30)).astype(np.uint16),
        "one column": rng.integers(0, 70, (13, 1)).astype(np.uint16),
        "all equal": np.full((7, 40), 500, np.uint16),
    }


@pytest.mark.parametrize("name", list(plane_images()))
def test_linear_rice_planes_decode_by_the_format_description(name):
    image = plane_images()[name]
    payload = depthcoding.encode_plane(image)
    assert np.array_equal(reference_linear_rice_decode(payload), image)
    assert np.array_equal(depthcoding.decode_plane(payload, *image.shape[::-1], dtype=np.uint16), image)


def test_a_linear_rice_payload_worked_by_hand():
    # One pixel of 5: no weights to fit; zig-zag 10 with k 3 (sum 16, count
    # 1) is one zero, a one, then 010: bits 01010 from the low end, 0x0A.
    payload = struct.pack("<II5h", 1, 1, *[0] * 5) + b"\x0a"
    assert depthcoding.encode_plane(np.array([[5]], np.uint16)) == payload
    assert depthcoding.decode_plane(payload, 1, 1).tolist() == [[5.0]]


def test_planes_of_the_earlier_format_stay_readable():
    rng = np.random.default_rng(5)
    amp = rng.random((12, 20), dtype=np.float32) * 5000
    old = depthcoding.encode_plane(amp, depthcoding.DEFLATE_FORMAT)
    msg = type("Msg", (), {"format": depthcoding.DEFLATE_FORMAT, "data": old})
    assert np.array_equal(rosmsg.compressed_plane_array(msg, "amplitude", 20, 12), np.rint(amp))
    msg.format = "16UC1; something else"
    with pytest.raises(rosmsg.MessageError, match="format"):
        rosmsg.compressed_plane_array(msg, "amplitude", 20, 12)


def test_planes_keep_whole_units_and_raw_samples_exactly():
    rng = np.random.default_rng(4)
    amp = np.concatenate([rng.random((30, 50), dtype=np.float32) * 20000,
                          np.array([[np.nan, -1, 0.5, 1.5, 65534.6, 70000] + [0] * 44], np.float32)])
    kept = depthcoding.decode_plane(depthcoding.encode_plane(amp), 50, 31)
    assert np.array_equal(kept, np.clip(np.nan_to_num(np.rint(amp), nan=0), 0, 65535))
    raw = rng.integers(0, 65536, (17, 640)).astype(np.uint16)
    for fmt in depthcoding.PLANE_FORMATS:
        good = depthcoding.encode_plane(raw, fmt)
        back = depthcoding.decode_plane(good, dtype=np.uint16, format=fmt)
        assert back.dtype == np.uint16 and np.array_equal(back, raw)
        for data in (good[:-3], good + b"x", good[:8] + zlib.compress(b"\0" * 10), good[:8] + b"junk",
                     struct.pack("<II", 1 << 20, 1 << 20) + good[8:]):
            with pytest.raises(depthcoding.CodingError):
                depthcoding.decode_plane(data, dtype=np.uint16, format=fmt)


def coded_frame(rng, same=True):
    from quorvex.frame import Frame

    f = Frame(sequence=3, timestamp_ms=1234, host_time_ns=0, dropped=0, width=24, height=18, output="depth")
    f.depth = (rng.random((18, 24), dtype=np.float32) * 3000).astype(np.float32)
    f.depth[rng.random(f.depth.shape) < 0.2] = 0
    f.amplitude = rng.random((18, 24), dtype=np.float32) * 900
    f.confidence = f.amplitude.copy() if same else rng.random((18, 24), dtype=np.float32) * 30
    return f


@pytest.mark.parametrize("coding", ["none", "depth"])
@pytest.mark.parametrize("missing", ["amplitude", "confidence"])
def test_frames_with_fewer_planes_send_those_they_carry(coding, missing):
    from quorvex import planeformats
    f = coded_frame(np.random.default_rng(3), same=False)
    setattr(f, missing, None)
    msgs = dict(planeformats.plane_messages(f, "cam", coding))
    assert sorted(msgs) == sorted({"depth", "amplitude", "confidence"} - {missing})


@pytest.mark.parametrize("same", [True, False])
def test_compressed_images_are_standard_ros2_messages(same):
    pytest.importorskip("mcap_ros2")
    typestore = pytest.importorskip("rosbags.typesys")
    store = typestore.get_typestore(typestore.Stores.ROS2_HUMBLE)
    f = coded_frame(np.random.default_rng(8), same)
    msgs = dict(rosmsg.compressed_plane_messages(f, "cam"))
    formats = {n: m["format"] for n, m in msgs.items()}
    assert formats["depth"] == "16UC1; compressedDepth rvl"
    assert formats["amplitude"] == depthcoding.PLANE_FORMAT
    assert formats["confidence"] == (depthcoding.SAME_AS_AMPLITUDE if same else depthcoding.PLANE_FORMAT)
    decoded = {}
    for n, m in msgs.items():
        data = rosmsg.encode(rosmsg.COMPRESSED_IMAGE, m)
        ros = store.deserialize_cdr(data, "sensor_msgs/msg/CompressedImage")
        assert ros.format == m["format"] and ros.data.tobytes() == m["data"]
        assert (ros.header.stamp.sec, ros.header.stamp.nanosec) == (1, 234_000_000)
        decoded[n] = rosmsg.decode(rosmsg.COMPRESSED_IMAGE, data)
    depth = reference_rvl_decode(msgs["depth"]["data"][20:], 24 * 18).reshape(18, 24)
    assert np.array_equal(depth, np.rint(f.depth))
    amp = rosmsg.compressed_plane_array(decoded["amplitude"], "amplitude", 24, 18)
    conf = rosmsg.compressed_plane_array(decoded["confidence"], "confidence", 24, 18, amp)
    assert np.array_equal(amp, np.rint(f.amplitude)) and np.array_equal(conf, np.rint(f.confidence))


def test_depth_coded_frames_over_the_network_and_the_header_version():
    pytest.importorskip("mcap_ros2")
    pytest.importorskip("zenoh")
    import quorvex
    from quorvex import network
    from quorvex.frame import StreamInfo
    from quorvex.geometry import nominal_intrinsics

    # Version 2 keeps every version 1 field where it was; only the version
    # byte and the coding byte differ, and an unknown coding is refused.
    v1 = network.FRAME_HEADER.pack(b"QVXF", 1, 7, 24, 18, 9, 3, 1234, 5, 0, 0)
    v2 = bytearray(v1)
    v2[4], v2[10] = 2, network.CODING_DEPTH
    assert network._parse_header(bytes(v2))[2:11] == network._parse_header(v1)[2:11]
    assert network._parse_header(bytes(v2))[-1] == network.CODING_DEPTH
    v2[10] = 9
    assert network._parse_header(bytes(v2)) is None

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        ep = f"tcp/127.0.0.1:{s.getsockname()[1]}"
    rng = np.random.default_rng(6)
    info = StreamInfo(source="test", variant="hqvga", width=24, height=18, output="depth",
                      intrinsics=nominal_intrinsics(24, 18))
    sent = [coded_frame(rng, same) for same in (True, False)]
    for i, f in enumerate(sent):
        f.sequence, f.timestamp_ms = i, 1000 + 33 * i
    with quorvex.subscribe("qtest/coded", listen=[ep], queue=8) as sub:
        with network.Publisher(info, key="qtest/coded", connect=[ep], lossless=True,
                               compression="depth") as pub:
            assert sub.info.width == 24
            from test_network import wait_matched
            wait_matched(pub)
            for f in sent:
                pub.put(f)
            got = list(sub.frames(max_frames=2, stall_timeout=5))
    for s_, g in zip(sent, got):
        for plane in ("depth", "amplitude", "confidence"):
            assert np.array_equal(getattr(g, plane), np.rint(getattr(s_, plane))), plane
    assert sub.malformed == 0
