"""What travels between the viewer's server and its page, as pure functions:
the binary frame message, the checks of every message a page sends, the
probe of which controls a camera accepts, and the Host/Origin rules.

Binary frame message (little-endian), one per frame, built once and sent
to every client:

    offset  type     field
    0       4 bytes  magic b"QVF2"
    4       u16      header length (56)
    6       u16      flags (bit 0: an amplitude plane follows; bit 1: a
                     confidence plane follows; bit 2: depth filtered)
    8       u16      width
    10      u16      height
    12      u32      sequence (the source's, wraps at 2**32)
    16      u32      frames dropped before this one
    20      f64      module timestamp, ms
    28      f64      host arrival time, ms of time.monotonic_ns()
    36      f32      frames per second leaving the source
    40      f32      amplitude scale (amplitude plane = amplitude * scale)
    44      f32      confidence scale (confidence plane = confidence * scale)
    48      u32      index of the frame in its recording (0xFFFFFFFF: live)
    52      4 bytes  zero
    56      u16[h*w] depth in whole mm, 0 = invalid
    ...     u8[h*w]  amplitude, scaled into 0..255
    ...     u8[h*w]  confidence, scaled into 0..255
"""
import ipaddress
import json
import struct

import numpy as np

MAGIC = b"QVF2"
HEADER = struct.Struct("<4sHHHHIIddfffI4x")
FLAG_AMPLITUDE = 1
FLAG_CONFIDENCE = 2
FLAG_FILTERED = 4
LIVE = 0xFFFFFFFF  # the position of a frame that is no recording's
MAX_CLIENT_MESSAGE = 256  # bytes; the largest valid message is far smaller

# Ranges of the module's two modulation set-ups, in mm (near, far).
RANGE_CHOICES = (2000, 4000)
MAX_SKIP = 9


class BadMessage(ValueError):
    """A page sent something the protocol does not allow."""


# Frames --------------------------------------------------------------------
def _scaled_plane(plane):
    # A high percentile of a subsample sets the gain: one hot pixel must not
    # make the whole picture black, and a full sort costs too much.
    p = np.nan_to_num(plane, nan=0.0, posinf=0.0, neginf=0.0)
    top = float(np.percentile(p[::4, ::4], 99.5)) if p.size else 0.0
    scale = 255.0 / top if top > 0 else 0.0
    return scale, np.clip(p * scale, 0, 255).astype(np.uint8).tobytes()


def encode_frame(frame, source_fps=0.0, position=None, filtered=False):
    """The binary message of a depth frame; None for a frame without depth
    (raw output), which the page cannot show. `position`: the frame's index
    in its recording (None: a live frame)."""
    if frame.depth is None:
        return None
    h, w = frame.depth.shape
    depth = np.nan_to_num(frame.depth, nan=0.0, posinf=0.0, neginf=0.0)
    depth_mm = np.clip(np.rint(depth), 0, 65535).astype("<u2")
    flags = FLAG_FILTERED if filtered else 0
    amp_scale, amp_bytes, conf_scale, conf_bytes = 0.0, b"", 0.0, b""
    if frame.amplitude is not None:
        amp_scale, amp_bytes = _scaled_plane(frame.amplitude)
        flags |= FLAG_AMPLITUDE
    if frame.confidence is not None:
        conf_scale, conf_bytes = _scaled_plane(frame.confidence)
        flags |= FLAG_CONFIDENCE
    where = LIVE if position is None else min(max(int(position), 0), LIVE - 1)
    header = HEADER.pack(MAGIC, HEADER.size, flags, w, h, frame.sequence & 0xFFFFFFFF,
                         min(max(int(frame.dropped), 0), 0xFFFFFFFF), float(frame.timestamp_ms),
                         frame.host_time_ns / 1e6, float(source_fps), amp_scale, conf_scale, where)
    return b"".join((header, depth_mm.tobytes(), amp_bytes, conf_bytes))


def decode_frame(data):
    """The inverse of encode_frame, for tests and benchmarks: (fields, depth
    uint16 (h, w), amplitude uint8 (h, w) or None, confidence uint8 (h, w)
    or None)."""
    if len(data) < HEADER.size:
        raise BadMessage("frame message shorter than its header")
    (magic, hlen, flags, w, h, seq, dropped, ts, host_ms, fps, amp_scale, conf_scale,
     where) = HEADER.unpack_from(data)
    if magic != MAGIC or hlen != HEADER.size:
        raise BadMessage("not a frame message")
    n = w * h
    planes = [bool(flags & FLAG_AMPLITUDE), bool(flags & FLAG_CONFIDENCE)]
    want = hlen + 2 * n + n * sum(planes)
    if len(data) != want:
        raise BadMessage(f"frame message of {len(data)} bytes, expected {want}")
    depth = np.frombuffer(data, "<u2", n, hlen).reshape(h, w)
    offset, found = hlen + 2 * n, []
    for present in planes:
        found.append(np.frombuffer(data, np.uint8, n, offset).reshape(h, w) if present else None)
        offset += n if present else 0
    fields = dict(sequence=seq, dropped=dropped, timestamp_ms=ts, host_ms=host_ms, fps=fps,
                  amp_scale=amp_scale, conf_scale=conf_scale, width=w, height=h,
                  position=None if where == LIVE else where, filtered=bool(flags & FLAG_FILTERED))
    return fields, depth, found[0], found[1]


# Controls --------------------------------------------------------------------
def probe_controls(source):
    """Which controls the page may offer for this source, each as a dict the
    page renders: {"label", "kind": "choice"|"int", "choices" or "min"/"max",
    "value", "unit"}. A control is offered only when writing its current
    value back succeeds: modules answer what they do not support with an
    error (NotImplemented, InvalidParameter), and a source that is no live
    camera (a recording) has no controls at all."""
    from ..errors import CameraError
    from ..sources import controls_of

    source = controls_of(source)
    if source is None:
        return {}
    offered = {}

    def accepts(name, value):
        try:
            source.set_control(name, value)
            return True
        except (CameraError, ValueError):
            return False

    def read(name):
        try:
            return source.get_control(name)
        except (CameraError, ValueError):
            return None  # the module does not answer it

    current = read("range")
    if current is not None and accepts("range", current):
        offered["range"] = {"label": "Range", "kind": "choice", "choices": list(RANGE_CHOICES),
                            "value": current, "unit": "mm"}
    bound = read("frame_rate")
    if bound is not None and bound > 0 and accepts("frame_rate", bound):
        offered["frame_rate"] = {"label": "Frame rate", "kind": "int", "min": 1, "max": bound,
                                 "value": bound, "unit": "fps"}
    # Skipping is one number for the page (frames dropped between two shown)
    # and two for the camera; no skipping is a loop of one frame.
    if accepts("skip_frame", 0) and accepts("skip_frame_loop", 1):
        offered["skip"] = {"label": "Skip", "kind": "int", "min": 0, "max": MAX_SKIP, "value": 0,
                           "unit": "frames"}
    return offered


def apply_control(source, name, value, previous):
    """Writes one checked page control to the camera (raises CameraError)."""
    if name == "skip":
        # Drop `value` of every `value + 1` frames; the order of the two
        # writes keeps the drop count below the loop length at every moment.
        if value >= previous:
            source.set_control("skip_frame_loop", value + 1)
            source.set_control("skip_frame", value)
        else:
            source.set_control("skip_frame", value)
            source.set_control("skip_frame_loop", value + 1)
    else:
        source.set_control(name, value)


def _is_int(v):
    return isinstance(v, int) and not isinstance(v, bool)


def parse_client_message(data, controls, pending):
    """Checks one message from a page: a JSON text of at most
    MAX_CLIENT_MESSAGE bytes, either {"type": "ack", "seq": S} for a frame
    sent and not yet acknowledged (S in `pending`), or {"type": "set",
    "control": NAME, "value": V} for an offered control and a value it
    allows. Returns the message as a dict; raises BadMessage."""
    if not isinstance(data, str):
        raise BadMessage("only text messages are accepted")
    if len(data.encode("utf-8", "surrogatepass")) > MAX_CLIENT_MESSAGE:
        raise BadMessage("message too long")
    try:
        msg = json.loads(data)
    except ValueError:
        raise BadMessage("message is not JSON") from None
    if not isinstance(msg, dict):
        raise BadMessage("message is not an object")
    kind = msg.get("type")
    if kind == "ack":
        if set(msg) != {"type", "seq"} or not _is_int(msg["seq"]):
            raise BadMessage("ack needs exactly an integer 'seq'")
        if msg["seq"] not in pending:
            raise BadMessage(f"ack of frame {msg['seq']}, which is not in flight")
        return msg
    if kind == "set":
        if set(msg) != {"type", "control", "value"}:
            raise BadMessage("set needs exactly 'control' and 'value'")
        name, value = msg["control"], msg["value"]
        if not isinstance(name, str) or name not in controls:
            raise BadMessage(f"unknown control {name!r}")
        if not _is_int(value):
            raise BadMessage(f"value of {name} is not an integer")
        c = controls[name]
        ok = value in c["choices"] if c["kind"] == "choice" else c["min"] <= value <= c["max"]
        if not ok:
            raise BadMessage(f"value {value} out of range for {name}")
        return msg
    raise BadMessage(f"unknown message type {kind!r}")


# Host and Origin ---------------------------------------------------------------
LOOPBACK_NAMES = ("localhost", "127.0.0.1", "::1")


def _ip(text):
    try:
        return ipaddress.ip_address(text)
    except ValueError:
        return None


def is_loopback(host):
    ip = _ip(host)
    return host == "localhost" or (ip is not None and ip.is_loopback)


def split_host(value):
    """'name:port', '[v6]:port' or 'name' -> (lower-case name, port or None);
    None for a malformed value."""
    value = value.strip().lower()
    if not value:
        return None
    if value.startswith("["):
        end = value.find("]")
        if end < 0:
            return None
        name, rest = value[1:end], value[end + 1:]
        if rest and not rest.startswith(":"):
            return None
        port = rest[1:] if rest else None
    elif value.count(":") > 1:
        return None  # a bare IPv6 address must be bracketed
    else:
        name, sep, port = value.partition(":")
        port = port if sep else None
    if port is not None and not (port.isdigit() and len(port) <= 5):
        return None
    return name, int(port) if port is not None else None


class HostPolicy:
    """Which `Host` values the server answers: its own port and, for the
    name, loopback names, the address it is bound to, this machine's host
    name, names given with --allow-host, and, when bound to every address,
    any IP literal. A name the server does not know is what a page of
    another site uses after re-pointing its own DNS name at this machine,
    so it is refused; an IP literal cannot be re-pointed."""

    def __init__(self, bind_host, port, extra_names=(), machine_names=()):
        self.port = port
        self.any_ip = bind_host in ("0.0.0.0", "::", "")
        names = set(LOOPBACK_NAMES)
        if bind_host:
            names.add(bind_host.lower())
        if not is_loopback(bind_host):
            names.update(n.lower() for n in machine_names)
        names.update(n.lower() for n in extra_names)
        self.names = names

    def allows(self, host_header):
        parts = split_host(host_header or "")
        if parts is None:
            return False
        name, port = parts
        if (port if port is not None else 80) != self.port:
            return False
        return name in self.names or (self.any_ip and _ip(name) is not None)

    @staticmethod
    def same_origin(origin, host_header):
        """A page's Origin matches only the very address the request was
        sent to (scheme http, same host and port)."""
        return origin.strip().lower() == f"http://{(host_header or '').strip().lower()}"
