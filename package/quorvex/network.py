"""Frames over Zenoh: `Publisher` sends each frame of any source under a key
prefix, `subscribe` returns a source that yields the same `Frame`s elsewhere.

Under a prefix such as `quorvex/camera`:

    PREFIX/depth, PREFIX/amplitude, PREFIX/confidence   sensor_msgs/msg/Image, 32FC1 (mm)
    PREFIX/raw                                         sensor_msgs/msg/Image, 16UC1
    PREFIX/camera_info                                 sensor_msgs/msg/CameraInfo
    PREFIX/info                                        the StreamInfo as JSON (put once, and
                                                       answered to queries)

Images are standard CDR-encoded ROS 2 messages (`quorvex.rosmsg`). Each sample
carries an attachment, `FRAME_HEADER`, with the frame's sequence number,
module timestamp, drop count and size, so that a subscriber can rebuild the
Frame exactly and tell which planes belong together.

With `compression="depth"` the planes are `sensor_msgs/msg/CompressedImage`s
instead, coded as `quorvex.depthcoding` describes (depth as compressedDepth
RVL in whole millimetres, the others as 16-bit planes), and the attachment is
of version 2: the version 1 layout with the coding in the byte after the
height (`CODING_FLOAT32` 0, `CODING_DEPTH` 1). Subscribers that know only
version 1 refuse such samples as malformed instead of misreading them.
Publishers now send version 3: the version 2 layout followed by the frame's
estimated capture time (int64 ns of the system clock), which also stamps
the images' headers; versions 1 and 2 (module time in the headers) still
decode.

Private by default: a session listens only on the endpoints it is given,
scouts by no multicast, and uses no shared memory (so what is measured on
one machine is what crosses a network).
"""
import json
import random
import re
import struct
import threading
import time

import zenoh

from . import depthcoding, planeformats, rosmsg, sources
from .errors import CameraError
from .frame import Frame, StreamInfo, clock_pair, system_time_ns
from .geometry import intrinsics_from_dict, intrinsics_to_dict

DEFAULT_KEY = sources.DEFAULT_KEY
PLANES = planeformats.PLANES
_PLANE_BITS = {name: 1 << i for i, name in enumerate(PLANES)}

# magic, version, plane mask, width, height, publisher id, sequence,
# timestamp_ms, sent time (ns since the epoch), dropped, reserved.
FRAME_HEADER = struct.Struct("<4sBBHH2xQQqqII")
_MAGIC = b"QVXF"
_VERSION = 1
# Version 2 adds the planes' coding at this offset (a padding byte, zero, in
# version 1); float32 frames keep version 1, which every subscriber reads.
_VERSION_CODED = 2
_CODING_OFFSET = 10
# Version 3 appends the capture time on the system clock.
_VERSION_CAPTURE = 3
FRAME_HEADER_V3 = struct.Struct(FRAME_HEADER.format + "q")
CODING_FLOAT32 = 0
CODING_DEPTH = 1
COMPRESSIONS = ("none", "depth")
_CODINGS = {"none": CODING_FLOAT32, "depth": CODING_DEPTH}
# How far a publisher's sequence can move between two of its frames that
# arrive here: what it drops (a slow link, a busy board) grows with the
# time in between, at no more than this rate, over a margin. A larger jump
# is not the publisher's: a peer forging its identity must not make every
# real frame after it look like a straggler.
_MAX_FRAME_RATE = 1000
_SEQUENCE_MARGIN = 256
# How long a subscription waits for its publisher by default: the two sides
# start in any order, a board may still be booting.
INFO_TIMEOUT = 20.0


def session_config(config_file=None, connect=(), listen=()):
    """A Zenoh configuration: `config_file` (Zenoh's own JSON5 format, for
    TLS, access control, routers, ...) or Zenoh's defaults, made private
    where the file says nothing: no listening unless an endpoint is named,
    no multicast scouting. Then `connect`/`listen` endpoints are added."""
    conf = zenoh.Config.from_file(str(config_file)) if config_file else zenoh.Config()
    if json.loads(conf.get_json("mode")) is None:
        conf.insert_json5("mode", '"peer"')
    # Unset, Zenoh would listen on every interface and announce itself.
    if isinstance(json.loads(conf.get_json("listen/endpoints")), dict):
        conf.insert_json5("listen/endpoints", "[]")
    if json.loads(conf.get_json("scouting/multicast/enabled")) is None:
        conf.insert_json5("scouting/multicast/enabled", "false")
    if not config_file:
        # What one machine measures is then what crosses a network.
        conf.insert_json5("transport/shared_memory/enabled", "false")
        # A frame is some 64 KiB batches; room for a few frames per link lets
        # a subscriber that is busy for a moment catch up instead of losing
        # frames (Zenoh's default, two batches, is less than one plane).
        conf.insert_json5("transport/link/tx/queue/size/data", "16")
    if json.loads(conf.get_json("connect/retry")) is None:
        # A publisher that comes back is found again quickly, and for ever.
        conf.insert_json5("connect/retry", '{"period_init_ms": 250, "period_max_ms": 500, '
                                           '"period_increase_factor": 1.5}')
    if json.loads(conf.get_json("connect/exit_on_failure")) is None:
        conf.insert_json5("connect/exit_on_failure", "false")
    if json.loads(conf.get_json("connect/timeout_ms")) is None:
        conf.insert_json5("connect/timeout_ms", "-1")
    if connect:
        conf.insert_json5("connect/endpoints", json.dumps(list(connect)))
    if listen:
        conf.insert_json5("listen/endpoints", json.dumps(list(listen)))
    return conf


def _open(config_file, connect, listen):
    try:
        return zenoh.open(session_config(config_file, connect, listen))
    except zenoh.ZError as e:
        raise CameraError(f"cannot open a Zenoh session: {zenoh_message(e)}") from None


# Zenoh's errors end with the place in Zenoh's own sources that raised them
# (a path on the machine that built the library), and wrap JSON5 errors in
# a debug dump: neither says anything to a user.
_RUST_PLACE = re.compile(r"\s+at\s+\S+\.rs:\d+(?::\d+)?\.?")
_DEBUG_WRAP = re.compile(r'^\w+\(Message \{ msg: "(.*?)", location: .*\}\)$', re.S)


def zenoh_message(error):
    """A Zenoh error as its message only, on one line."""
    text = _RUST_PLACE.sub("", str(error)).strip()
    wrapped = _DEBUG_WRAP.match(text)
    if wrapped:
        text = wrapped.group(1)
    return " ".join(text.split())


def _check_key(key):
    key = key.rstrip("/")
    try:
        zenoh.KeyExpr(key + "/depth")
    except Exception as e:  # Zenoh's own error type for a malformed key
        raise ValueError(f"{key!r} is not a usable key prefix: {zenoh_message(e)}") from None
    if any(c in key for c in "*$?#"):
        raise ValueError(f"a key prefix names one stream; {key!r} has wildcards")
    return key


def _frame_id(key):
    return key.rsplit("/", 1)[-1] + "_optical_frame"


def info_to_json(info):
    d = {k: getattr(info, k) for k in ("source", "variant", "width", "height", "output",
                                       "controls", "version", "filters")}
    i = info.intrinsics
    d["intrinsics"] = intrinsics_to_dict(i)
    return json.dumps(d)


def info_from_json(text):
    d = json.loads(text)
    d["intrinsics"] = intrinsics_from_dict(d["intrinsics"])
    d["controls"] = {str(k): int(v) for k, v in d.get("controls", {}).items()}
    return StreamInfo(**d)


class _SessionUser:
    """Closes its Zenoh session on `close()` and at the end of `with`."""

    _session = None

    def close(self):
        if self._session is not None:
            self._session.close()
            self._session = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


class Publisher(_SessionUser):
    """Publishes frames under `key`. Newest frame wins by default: a slow or
    stopped subscriber misses frames and never holds `put` back (beyond a
    few milliseconds per plane); `lossless=True` makes `put` wait for every
    subscriber instead."""

    def __init__(self, info, key=DEFAULT_KEY, connect=(), listen=(), config=None,
                 lossless=False, compression="none"):
        if compression not in _CODINGS:
            raise ValueError(f"compression must be one of {', '.join(COMPRESSIONS)}, not {compression!r}")
        self.compression = compression
        self.key = _check_key(key)
        self.info = info
        self.lossless = lossless
        self.published = 0
        self._id = random.getrandbits(64)
        self._frame_id = _frame_id(self.key)
        self._session = _open(config, connect, listen)
        cc = zenoh.CongestionControl.BLOCK if lossless else zenoh.CongestionControl.DROP
        cdr = zenoh.Encoding.APPLICATION_CDR
        self._schema = planeformats.CODINGS[compression].schema
        self._publishers = {
            name: self._session.declare_publisher(
                f"{self.key}/{name}", congestion_control=cc, encoding=cdr.with_schema(self._schema))
            for name in PLANES}
        self._camera_info = self._session.declare_publisher(
            f"{self.key}/camera_info", congestion_control=cc,
            encoding=cdr.with_schema(rosmsg.CAMERA_INFO))
        self._info_json = info_to_json(info)
        self._queryable = self._session.declare_queryable(f"{self.key}/info", self._answer)
        self._session.put(f"{self.key}/info", self._info_json,
                          encoding=zenoh.Encoding.APPLICATION_JSON)

    def _answer(self, query):
        query.reply(f"{self.key}/info", self._info_json, encoding=zenoh.Encoding.APPLICATION_JSON)

    def put(self, frame):
        mask = 0
        for name in planeformats.OUTPUT_PLANES[frame.output]:
            mask |= _PLANE_BITS[name]
        coded = self.compression == "depth"
        captured = frame.host_time_ns if frame.capture_ns is None else frame.capture_ns
        capture_ns = system_time_ns(captured)
        attachment = bytearray(FRAME_HEADER_V3.pack(
            _MAGIC, _VERSION_CAPTURE, mask, frame.width, frame.height, self._id,
            frame.sequence, frame.timestamp_ms, time.time_ns(), frame.dropped, 0, capture_ns))
        if coded:
            attachment[_CODING_OFFSET] = CODING_DEPTH
        attachment = bytes(attachment)
        # Depth stays in millimetres so that frames arrive bit for bit.
        for name, msg in planeformats.plane_messages(frame, self._frame_id, self.compression,
                                                     depth_in_metres=False, stamp_ns=capture_ns):
            self._publishers[name].put(rosmsg.encode(self._schema, msg), attachment=attachment)
        self._camera_info.put(rosmsg.encode(rosmsg.CAMERA_INFO, rosmsg.camera_info_message(
            self.info.intrinsics, frame.timestamp_ms, self._frame_id, capture_ns)), attachment=attachment)
        self.published += 1


class Subscription(_SessionUser):
    """A source of the frames published under `key`: `.info`, `.frames()`,
    `.close()`, `with`. Frames keep the sender's `sequence` and
    `timestamp_ms`; `dropped` adds the frames the sender lost to those lost
    on the way; `host_time_ns` is this host's arrival time.

    Newest frame wins by default: at most `queue` complete frames wait here,
    older ones make way. `lossless=True` blocks the network instead (the
    publisher must use `lossless` too). Payloads under the key that are not
    well-formed frames, and planes that claim a sequence number no publisher
    could have reached since its last frame, are counted in `malformed` and
    skipped, as are frames larger than any module makes or than the stream
    the publisher describes.

    The publisher may start later: the subscription waits for it up to
    `info_timeout` seconds (None: for ever) when asked for `info` and
    before its first frame; `on_wait`, when set, is called once when that
    wait begins (a tool says that it is waiting).
    `sent_time_ns` is the sender's wall clock (`time.time_ns()`) when the
    frame last yielded was published: its latency, where clocks agree."""

    def __init__(self, key=DEFAULT_KEY, connect=(), listen=(), config=None, lossless=False,
                 queue=4, info_timeout=INFO_TIMEOUT):
        self.key = _check_key(key)
        self.lossless = lossless
        self.info_timeout = info_timeout
        self.on_wait = None
        self.malformed = 0
        self.received = 0           # complete frames that reached this host
        self.sent_time_ns = None
        self._info = None
        self._lock = threading.Lock()
        self._ready = threading.Condition(self._lock)
        self._frames = []           # complete frames waiting: (header, {plane: array}, host ns)
        self._capacity = max(1, int(queue))
        self._pending = {}          # (publisher, sequence) -> (header, planes), oldest first
        self._pending_bytes = 0     # of the planes in _pending
        self._newest = {}           # publisher -> (newest complete sequence, monotonic s)
        self._closed = False
        self._last = None           # (publisher, sequence) of the last frame yielded
        self._first = None          # (publisher, sequence) of its first complete frame
        self._session = _open(config, connect, listen)
        self._subscriber = self._session.declare_subscriber(f"{self.key}/*", self._on_sample)

    # Network thread: a sample counts only once decoded and checked ----------
    def _on_sample(self, sample):
        try:
            name = str(sample.key_expr)[len(self.key) + 1:]
            if name == "info":
                self._on_info(sample.payload.to_bytes())
                return
            if name == "camera_info":
                return
            bit = _PLANE_BITS.get(name)
            attachment = sample.attachment
            header = _parse_header(attachment.to_bytes() if attachment is not None else b"")
            if bit is None or header is None or not header[2] & bit or self._too_large(header):
                self._count_malformed()
                return
            array = _plane_array(header, name, sample.payload.to_bytes())
            if array is None:
                self._count_malformed()
                return
            self._add_plane(header, name, array)
        except Exception:  # never let a bad sample reach Zenoh's thread
            self._count_malformed()

    def _on_info(self, payload):
        try:
            info = info_from_json(payload.decode())
        except Exception:
            self._count_malformed()
            return
        with self._lock:
            self._info = info

    def _too_large(self, header):
        # Before anything of the claimed size is decoded or kept.
        output = "raw" if header[2] & _PLANE_BITS["raw"] else "depth"
        with self._lock:
            info = self._info
        if info is not None and info.output != output:
            info = None  # a publisher restarted with another output, not yet described
        return planeformats.size_problem(output, header[3], header[4], info) is not None

    def _count_malformed(self):
        with self._lock:
            self.malformed += 1

    def _add_plane(self, header, name, array):
        publisher, sequence, mask = header[5], header[6], header[2]
        wanted = [n for n in PLANES if mask & _PLANE_BITS[n]]
        now = time.monotonic()
        with self._lock:
            newest = self._newest.get(publisher)
            if newest is not None:
                if sequence <= newest[0]:
                    return  # a straggler of a frame already given up on
                if sequence - newest[0] > _SEQUENCE_MARGIN + _MAX_FRAME_RATE * (now - newest[1]):
                    self.malformed += 1
                    return
            key = (publisher, sequence)
            entry = self._pending.get(key)
            if entry is None:
                entry = self._pending[key] = (header, {})
            elif entry[0] != header:
                # The publisher sends one attachment with every plane of a
                # frame: planes that disagree are not all its own.
                self.malformed += 1
                return
            if name in entry[1]:
                return  # the same plane again: the first one counts
            entry[1][name] = array
            self._pending_bytes += _nbytes(array)
            if len(entry[1]) < len(wanted):
                # Incomplete frames are kept within a count and a size, the
                # oldest given up first: forged planes must not hold memory.
                while self._pending and (len(self._pending) > 4 * len(PLANES) + self._capacity
                                         or self._pending_bytes > _MAX_PENDING_BYTES):
                    self._drop_pending(next(iter(self._pending)))
                return
            self._drop_pending(key)
            # Older incomplete frames of this publisher will never complete.
            for k in [k for k in self._pending if k[0] == publisher and k[1] < sequence]:
                self._drop_pending(k)
            if publisher not in self._newest:
                # A new publisher (or one restarted) replaces what came before.
                self._first = (publisher, sequence)
                self._newest = {}
                for k in [k for k in self._pending if k[0] != publisher]:
                    self._drop_pending(k)
            self._newest[publisher] = (sequence, now)
            self.received += 1
            item = (header, entry[1], time.monotonic_ns())
            if self.lossless:
                while len(self._frames) >= self._capacity and not self._closed:
                    # Holding Zenoh's thread here is what pushes back on the publisher.
                    self._ready.wait(0.2)
            elif len(self._frames) >= self._capacity:
                del self._frames[0]
            self._frames.append(item)
            self._ready.notify_all()

    def _drop_pending(self, key):
        for array in self._pending.pop(key)[1].values():
            self._pending_bytes -= _nbytes(array)

    # Source ------------------------------------------------------------------
    @property
    def info(self):
        """The publisher's StreamInfo, asked for when none has arrived yet;
        CameraError when no publisher answers within `info_timeout` s."""
        self._wait_for_publisher(frames_will_do=False)
        return self._info

    def _wait_for_publisher(self, frames_will_do):
        """Returns once the publisher has described its stream (or, with
        `frames_will_do`, once a frame of it has come); CameraError after
        `info_timeout` seconds without either."""
        def found():
            with self._lock:
                return self._info is not None or (frames_will_do and bool(self._frames))

        if found():
            return
        timeout = self.info_timeout
        deadline = None if timeout is None else time.monotonic() + timeout
        told = False
        while True:
            # With no route to a publisher yet, a query ends at once unanswered.
            wait = 2.0 if deadline is None else min(2.0, max(0.01, deadline - time.monotonic()))
            for reply in self._session.get(f"{self.key}/info", timeout=wait):
                if reply.ok is not None:
                    self._on_info(reply.ok.payload.to_bytes())
            if found():
                return
            if self._closed:
                raise CameraError("subscription closed")
            if deadline is not None and time.monotonic() >= deadline:
                raise CameraError(f"no publisher of {self.key} answered within {timeout:g} s")
            if not told and self.on_wait is not None:
                told = True
                self.on_wait()
            pause = 0.1 if deadline is None else min(0.1, max(0.0, deadline - time.monotonic()))
            time.sleep(pause)

    def frames(self, max_frames=None, stall_timeout=None):
        """Yields Frames until `max_frames` (None: forever). Waits for the
        publisher first (see `info_timeout`), then raises CameraError when
        nothing arrives for `stall_timeout` seconds (None: waits for ever)."""
        count = 0
        self._wait_for_publisher(frames_will_do=True)
        while max_frames is None or count < max_frames:
            frame = self._frame(*self._next(stall_timeout))
            count += 1
            yield frame

    def _next(self, stall_timeout):
        deadline = None if stall_timeout is None else time.monotonic() + stall_timeout
        with self._lock:
            while not self._frames:
                if self._closed:
                    raise CameraError("subscription closed")
                wait = 0.5 if deadline is None else deadline - time.monotonic()
                if wait <= 0:
                    raise CameraError(f"no frame on {self.key} for {stall_timeout:g} s")
                self._ready.wait(min(wait, 0.5))
            item = self._frames.pop(0)
            self._ready.notify_all()
            return item

    def _frame(self, header, planes, host_ns):
        _, _, mask, width, height, publisher, sequence, timestamp_ms, sent, dropped = header[:10]
        output = "raw" if mask & _PLANE_BITS["raw"] else "depth"
        if planes.get("confidence") is _SAME_AS_AMPLITUDE:
            planes["confidence"] = planes["amplitude"].copy()
        capture_ns = None
        if header[11] is not None:
            # The sender's system clock, on this host's monotonic one.
            mono, system = clock_pair()
            capture_ns = header[11] - system + mono
        frame = Frame(sequence=sequence, timestamp_ms=timestamp_ms, host_time_ns=host_ns,
                      dropped=dropped, width=width, height=height, output=output, capture_ns=capture_ns,
                      **planes)
        # Frames that reached this host but made way for newer ones count as
        # dropped too; those sent before we were listening do not.
        with self._lock:
            first = self._first
        if self._last is not None and self._last[0] == publisher:
            before = self._last[1]
        elif first is not None and first[0] == publisher:
            before = first[1] - 1
        else:
            before = sequence - 1
        if sequence > before:
            frame.dropped += sequence - before - 1
        self._last = (publisher, sequence)
        self.sent_time_ns = sent
        return frame

    def close(self):
        with self._lock:
            self._closed = True
            self._ready.notify_all()
        super().close()


# A coded confidence that is a copy of its frame's amplitude, which may
# arrive after it: filled in once the frame is complete.
_SAME_AS_AMPLITUDE = object()
# Incomplete frames hold at most this much (12.3 MB): three VGA depth frames
# in pieces, where a healthy stream has one or two.
_MAX_PENDING_BYTES = 2 * planeformats.MAX_FRAME_BYTES


def _nbytes(array):
    return 0 if array is _SAME_AS_AMPLITUDE else array.nbytes


def _plane_array(header, name, data):
    """The pixels of one plane's sample, checked against the frame its
    attachment describes; None when they are not such a plane."""
    width, height = header[3], header[4]
    try:
        if header[-1] == CODING_DEPTH:
            msg = rosmsg.decode(rosmsg.COMPRESSED_IMAGE, data)
            if name == "confidence" and msg.format == depthcoding.SAME_AS_AMPLITUDE and not len(msg.data):
                if not header[2] & _PLANE_BITS["amplitude"] or not _stamped(msg, header):
                    return None
                return _SAME_AS_AMPLITUDE
        else:
            msg = rosmsg.decode(rosmsg.IMAGE, data)
        array = planeformats.plane_array(msg, name, width, height)
    except rosmsg.MessageError:
        return None
    if not _stamped(msg, header):
        return None
    return array


def _stamped(msg, header):
    """Whether an image carries its frame's stamp: the capture time from
    version 3 on, the module's time before."""
    if header[11] is not None:
        return rosmsg.stamp_of_ns(header[11]) == {"sec": msg.header.stamp.sec, "nanosec": msg.header.stamp.nanosec}
    return rosmsg.stamp_ms(msg.header.stamp) == header[7]


def _parse_header(data):
    """The attachment's fields, with the planes' coding appended; None when
    it is not a frame header of a version known here."""
    if len(data) == FRAME_HEADER_V3.size:
        header = FRAME_HEADER_V3.unpack(data)
        if header[1] != _VERSION_CAPTURE:
            return None
    elif len(data) == FRAME_HEADER.size:
        header = FRAME_HEADER.unpack(data) + (None,)
        if header[1] not in (_VERSION, _VERSION_CODED):
            return None
    else:
        return None
    if header[0] != _MAGIC or header[2] == 0 or header[2] >> len(PLANES):
        return None
    if header[1] == _VERSION:
        coding = CODING_FLOAT32
    elif data[_CODING_OFFSET] in _CODINGS.values():
        coding = data[_CODING_OFFSET]
    else:
        return None
    header = header + (coding,)
    if header[7] < 0:
        return None  # a module's clock starts at 0; a recorder could not store it
    return header


def subscribe(key=DEFAULT_KEY, connect=(), listen=(), config=None, lossless=False, queue=4,
              info_timeout=INFO_TIMEOUT):
    """A source of the frames published under `key` (see `Subscription`).

        with quorvex.subscribe("quorvex/camera", connect=["tcp/192.0.2.10:7447"]) as sub:
            for frame in sub.frames():
                print(frame.sequence, frame.dropped, frame.depth[90, 120])
    """
    return Subscription(key, connect=connect, listen=listen, config=config, lossless=lossless,
                        queue=queue, info_timeout=info_timeout)

