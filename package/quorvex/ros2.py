"""Frames as ROS 2 topics, spoken directly over DDS (`quorvex.dds`): ROS 2
nodes see them with nothing of ROS installed here.

ROS 2's conventions, kept here: topic `/a/b` is the DDS topic `rt/a/b`,
type `pkg/msg/Name` the DDS type `pkg::msg::dds_::Name_`, plain CDR; a node
appears in `ros2 node list` through the DDS topic `ros_discovery_info`,
written by the participant that holds its writers, whose USER_DATA says
`enclave=/;`.

    with RosPublisher(info, namespace="/quorvex") as pub:
        for frame in source.frames():
            pub.put(frame)
"""
import os
import threading
import time

import numpy as np

from . import dds, rosmsg
from .errors import CameraError
from .frame import Frame, StreamInfo, clock_pair
from .geometry import Intrinsics, depth_to_points

DEFAULT_NAMESPACE = "/quorvex"
DEFAULT_FRAME_ID = "quorvex_optical_frame"
DEFAULT_NODE = "quorvex_camera"
DISTROS = ("humble", "jazzy")
QOS_PROFILES = ("default", "sensor")
DISCOVERY_TOPIC = "ros_discovery_info"
PARTICIPANT_INFO = "rmw_dds_common/msg/ParticipantEntitiesInfo"
# A Gid is 24 bytes up to Humble, 16 (a DDS GUID, unpadded) from Iron on;
# the type keeps its name, so the layout follows the distribution asked for.
GID_BYTES = {"humble": 24, "jazzy": 16}


def participant_info_definition(distro):
    n = GID_BYTES[distro]
    sep = "=" * 80 + "\n"
    return ("Gid gid\nNodeEntitiesInfo[] node_entities_info_seq\n"
            + sep + "MSG: rmw_dds_common/Gid\n" + f"uint8[{n}] data\n"
            + sep + "MSG: rmw_dds_common/NodeEntitiesInfo\n"
            "string<=256 node_namespace\nstring<=256 node_name\n"
            "Gid[] reader_gid_seq\nGid[] writer_gid_seq\n"
            + sep + "MSG: rmw_dds_common/Gid\n" + f"uint8[{n}] data\n")


def dds_topic(name):
    """The DDS topic of a ROS 2 topic name."""
    return "rt" + name if name.startswith("/") else "rt/" + name


def check_namespace(namespace):
    """A topic namespace as ROS 2 accepts one: absolute, no trailing slash,
    names of letters, digits and underscores not starting with a digit."""
    ns = "/" + namespace.strip().strip("/")
    for part in ns.split("/")[1:]:
        if not part or not (part[0].isalpha() or part[0] == "_") or \
                not all(c.isalnum() or c == "_" for c in part) or not part.isascii():
            raise ValueError(f"{namespace!r} is not a ROS 2 namespace (e.g. /quorvex or /robot/front)")
    return ns


def topics(namespace):
    """{what: (ROS topic, ROS type)} of everything a publisher can send."""
    ns = check_namespace(namespace)
    return {"depth": (f"{ns}/depth/image", rosmsg.IMAGE),
            "amplitude": (f"{ns}/amplitude/image", rosmsg.IMAGE),
            "confidence": (f"{ns}/confidence/image", rosmsg.IMAGE),
            "raw": (f"{ns}/raw/image", rosmsg.IMAGE),
            "camera_info": (f"{ns}/camera_info", rosmsg.CAMERA_INFO),
            "compressed_depth": (f"{ns}/depth/image/compressedDepth", rosmsg.COMPRESSED_IMAGE),
            "points": (f"{ns}/points", rosmsg.POINT_CLOUD2)}


_types = {}
_types_lock = threading.Lock()


def message_type(ros_type, text=None):
    """The DDS type of a ROS message (made once per process)."""
    key = (ros_type, text)
    with _types_lock:
        if key not in _types:
            _types[key] = dds.MessageType(ros_type, text or rosmsg.MSGDEFS[ros_type])
        return _types[key]


def qos_profile(name):
    """Image QoS: RELIABLE + VOLATILE, keep last 5, which both reliable and
    best-effort readers receive; `sensor` is ROS's sensor-data profile."""
    if name == "sensor":
        return dds.Qos(reliable=False, depth=5)
    if name == "default":
        return dds.Qos(reliable=True, depth=5)
    raise ValueError(f"QoS profile {name!r}: one of {', '.join(QOS_PROFILES)}")


def system_time_ns(frame):
    """The frame's capture time (its arrival where no capture time is
    known) on the system clock. A frame whose times are not of this run's
    monotonic clock (read from a recording made elsewhere) is stamped now."""
    now_mono, now_wall = clock_pair()
    captured = frame.host_time_ns if frame.capture_ns is None else frame.capture_ns
    age = now_mono - int(captured)
    if 0 <= age < 10_000_000_000:
        return now_wall - age
    return now_wall


def _stamp(ns):
    return {"sec": ns // 1_000_000_000, "nanosec": ns % 1_000_000_000}


# Writer-side settings for images of a megabyte and more, under whatever
# CYCLONEDDS_URI says (it comes after, so it overrides): datagrams of up to
# 64 KB carry a frame in a few dozen sends instead of hundreds.
WRITER_CONFIG = os.environ.get("QUORVEX_DDS_WRITER_CONFIG", (
    "<CycloneDDS><Domain><General><MaxMessageSize>65500B</MaxMessageSize>"
    "<FragmentSize>62000B</FragmentSize></General></Domain></CycloneDDS>"))


# Reader-side: a frame of VGA planes is some 3.6 MB arriving at once; a
# receive buffer that holds a frame or two saves retransmitting it (the
# kernel caps it at net.core.rmem_max).
READER_CONFIG = os.environ.get("QUORVEX_DDS_READER_CONFIG", (
    "<CycloneDDS><Domain><Internal><SocketReceiveBufferSize max=\"16MB\"/></Internal>"
    "</Domain></CycloneDDS>"))


def _participant(domain, writer_side=False):
    ours = WRITER_CONFIG if writer_side else READER_CONFIG
    config = None
    if ours:
        config = ",".join(c for c in (ours, os.environ.get("CYCLONEDDS_URI", "")) if c)
    try:
        return dds.Participant(domain=domain, qos=dds.Qos(userdata=b"enclave=/;"), config=config)
    except dds.DdsError as e:
        raise CameraError(f"cannot join ROS 2 domain {domain}: {e}") from None


def _domain(domain):
    try:
        return dds.environment_domain() if domain is None else int(domain)
    except ValueError as e:
        raise CameraError(str(e)) from None


class _ParticipantUser:
    """Closes its DDS participant (and with it every entity it made) on
    `close()` and at the end of `with`."""

    _participant = None

    def close(self):
        if self._participant is not None:
            self._participant.close()
            self._participant = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


class RosPublisher(_ParticipantUser):
    """Publishes each frame on the topics of `topics(namespace)`: the
    planes as `sensor_msgs/msg/Image` (depth `32FC1` in metres, NaN where
    there is no measurement), CameraInfo with every frame, with
    `compression="depth"` the depth as compressedDepth as well, with
    `points` a PointCloud2 ("dense": the valid points, "organised": one
    per pixel, NaN where invalid). The node is announced on
    `ros_discovery_info` in the layout of `distro`."""

    def __init__(self, info, namespace=DEFAULT_NAMESPACE, frame_id=DEFAULT_FRAME_ID,
                 node_name=DEFAULT_NODE, domain=None, qos="default", distro="jazzy",
                 compression="none", points=None):
        if distro not in DISTROS:
            raise ValueError(f"ROS distribution {distro!r}: one of {', '.join(DISTROS)}")
        if points not in (None, "dense", "organised"):
            raise ValueError(f"points {points!r}: dense or organised")
        self.info = info
        self.frame_id = frame_id
        self.node_name = node_name
        self.compression = compression
        self.points = points
        self.published = 0
        self.topics = topics(namespace)
        self.domain = _domain(domain)
        image_qos = qos_profile(qos)
        self._participant = _participant(self.domain, writer_side=True)
        try:
            self._writers = {}
            wanted = list(rosmsg.OUTPUT_PLANES[info.output]) + ["camera_info"]
            if compression == "depth" and info.output == "depth":
                wanted.append("compressed_depth")
            if points and info.output == "depth":
                wanted.append("points")
            for what in wanted:
                name, ros_type = self.topics[what]
                topic = self._participant.topic(dds_topic(name), message_type(ros_type))
                self._writers[what] = self._participant.writer(topic, image_qos)
            self._announce(distro)
        except Exception:
            self._participant.close()
            raise

    def _announce(self, distro):
        n = GID_BYTES[distro]
        kind = message_type(PARTICIPANT_INFO, participant_info_definition(distro))
        topic = self._participant.topic(DISCOVERY_TOPIC, kind)
        self._discovery = self._participant.writer(
            topic, dds.Qos(reliable=True, transient_local=True, depth=1))

        def gid(raw):
            return {"data": raw.ljust(n, b"\0")}
        self.node_namespace = "/"
        self._discovery.write({
            "gid": gid(self._participant.guid),
            "node_entities_info_seq": [{
                "node_namespace": self.node_namespace, "node_name": self.node_name,
                "reader_gid_seq": [],
                "writer_gid_seq": [gid(w.guid) for w in self._writers.values()]}]})

    def matched(self):
        """{what: readers matched now} of each topic."""
        return {what: w.matched() for what, w in self._writers.items()}

    def put(self, frame, stamp_ns=None):
        ns = system_time_ns(frame) if stamp_ns is None else int(stamp_ns)
        header = {"stamp": _stamp(ns), "frame_id": self.frame_id}
        # Depth last: a reader assembles a frame when its depth arrives.
        planes = sorted(rosmsg.plane_messages(frame, self.frame_id, depth_in_metres=True),
                        key=lambda item: item[0] == "depth")
        for name, msg in planes:
            msg["header"] = header
            self._writers[name].write(msg, ns)
        intrinsics = self.info.intrinsics
        cam = rosmsg.camera_info_message(intrinsics, 0, self.frame_id)
        cam["header"] = header
        self._writers["camera_info"].write(cam, ns)
        if "compressed_depth" in self._writers:
            from . import depthcoding
            self._writers["compressed_depth"].write(
                {"header": header, "format": depthcoding.DEPTH_FORMAT,
                 "data": depthcoding.encode_depth(frame.depth)}, ns)
        if "points" in self._writers:
            self._writers["points"].write(points_message(frame.depth, intrinsics, header,
                                                         self.points == "organised"), ns)
        self.published += 1



_POINT_FIELDS = [{"name": n, "offset": 4 * i, "datatype": 7, "count": 1}  # 7: FLOAT32
                 for i, n in enumerate("xyz")]


def points_message(depth_mm, intrinsics, header, organised):
    """`sensor_msgs/msg/PointCloud2` fields of a depth image: float32 x, y,
    z in metres in the optical frame; organised: height x width with NaN
    where the depth is invalid, otherwise one row of the valid points."""
    pts = depth_to_points(depth_mm, intrinsics, organised=organised)
    pts = np.ascontiguousarray(pts, dtype="<f4")
    if organised:
        height, width = pts.shape[:2]
    else:
        height, width = 1, pts.shape[0]
    return {"header": header, "height": height, "width": width, "fields": _POINT_FIELDS,
            "is_bigendian": False, "point_step": 12, "row_step": 12 * width,
            "data": pts.reshape(-1), "is_dense": not organised}


# Reading -------------------------------------------------------------------
def _key(msg):
    return int(msg.header.stamp.sec), int(msg.header.stamp.nanosec)


class RosSubscription(_ParticipantUser):
    """A source of the depth frames any ROS 2 publisher sends: depth images
    (`32FC1` metres or `16UC1` millimetres) on `{namespace}/depth/image`,
    with the amplitude and confidence images and CameraInfo when there are
    any. Frames are yielded as their depth images arrive; the latest
    amplitude and confidence of the same stamp join them. `sequence`
    counts frames received here; `timestamp_ms` is the image's stamp in
    milliseconds; `dropped` is 0 (ROS messages carry no sequence).
    Best effort by default, which every publisher serves; qos="default"
    asks for reliable delivery (from reliable publishers only)."""

    def __init__(self, namespace=DEFAULT_NAMESPACE, domain=None, qos="sensor",
                 info_timeout=5.0, depth_topic=None):
        self.topics = topics(namespace)
        self.domain = _domain(domain)
        self.info_timeout = info_timeout
        self.malformed = 0
        self.received = 0
        self.last_stamp_ns = None   # the stamp of the last frame yielded (system clock, ns)
        self._participant = _participant(self.domain)
        reader_qos = qos_profile(qos)
        reader_qos.depth = 4
        self._readers = {}
        try:
            for what in ("depth", "amplitude", "confidence", "camera_info"):
                name, ros_type = self.topics[what]
                if what == "depth" and depth_topic:
                    name = depth_topic
                topic = self._participant.topic(dds_topic(name), message_type(ros_type))
                self._readers[what] = self._participant.reader(topic, reader_qos)
        except Exception:
            self._participant.close()
            raise
        self._camera_info = None
        self._pending = []
        self._side = {"amplitude": {}, "confidence": {}}
        self._first = None
        self._closed = False
        self._sequence = 0

    def _poll_side(self):
        for what in ("amplitude", "confidence", "camera_info"):
            for msg, info in self._readers[what].take(0):
                if msg is None:
                    continue
                if what == "camera_info":
                    self._camera_info = msg
                else:
                    # Kept by stamp: depth images may wait here while
                    # newer planes arrive.
                    side = self._side[what]
                    side[_key(msg)] = msg
                    while len(side) > 8:
                        del side[next(iter(side))]

    def _next_depth(self, timeout):
        deadline = None if timeout is None else time.monotonic() + timeout
        while not self._closed:
            if self._pending:
                self._poll_side()
                return self._pending.pop(0)
            wait = 0.2 if deadline is None else min(0.2, deadline - time.monotonic())
            if wait <= 0:
                return None
            self._pending.extend(m for m, _ in self._readers["depth"].take(wait) if m is not None)
        return None

    @property
    def info(self):
        if self._first is None:
            self._first = self._next_depth(self.info_timeout)
            if self._first is None:
                raise CameraError(f"no depth image on {self.topics['depth'][0]} within "
                                  f"{self.info_timeout:g} s")
        deadline = time.monotonic() + min(1.0, self.info_timeout)
        while self._camera_info is None and time.monotonic() < deadline:
            self._poll_side()
            time.sleep(0.02)
        first = self._first
        width, height = int(first.width), int(first.height)
        cam = self._camera_info
        if cam is not None and int(cam.width) == width and int(cam.height) == height and cam.k[0]:
            intr = Intrinsics(width=width, height=height, fx=cam.k[0], fy=cam.k[4], cx=cam.k[2],
                              cy=cam.k[5])
        else:
            from .geometry import nominal_intrinsics
            intr = nominal_intrinsics(width, height)
        variant = "vga" if width >= 640 else "hqvga"
        return StreamInfo(source=f"ros2:{self.topics['depth'][0]}", variant=variant, width=width,
                          height=height, output="depth", intrinsics=intr)

    def frames(self, max_frames=None, stall_timeout=None):
        count = 0
        while max_frames is None or count < max_frames:
            if self._first is not None:
                msg, self._first = self._first, None
            else:
                msg = self._next_depth(stall_timeout)
            if msg is None:
                if self._closed:
                    return
                raise CameraError(f"no depth image on {self.topics['depth'][0]} for "
                                  f"{stall_timeout:g} s")
            frame = self._frame(msg)
            if frame is None:
                self.malformed += 1
                continue
            count += 1
            yield frame

    def _frame(self, msg):
        try:
            if msg.encoding == "16UC1":
                depth = rosmsg.image_array(msg, "16UC1", "depth").astype(np.float32)
            else:
                depth = rosmsg.depth_to_millimetres(rosmsg.image_array(msg, "32FC1", "depth"))
        except rosmsg.MessageError:
            return None
        planes = {"depth": depth}
        # The other planes of the frame are sent before its depth, but by
        # other writers: give them a moment when a publisher sends them.
        key = _key(msg)
        end = time.monotonic() + 0.05
        while time.monotonic() < end and any(
                key not in self._side[w] and self._readers[w].matched()
                for w in ("amplitude", "confidence")):
            time.sleep(0.002)
            self._poll_side()
        for what in ("amplitude", "confidence"):
            side = self._side[what].pop(key, None)
            if side is not None:
                try:
                    array = rosmsg.image_array(side, "32FC1", what)
                except rosmsg.MessageError:
                    array = None
                if array is not None and array.shape == depth.shape:
                    planes[what] = array
        for what in ("amplitude", "confidence"):
            planes.setdefault(what, np.zeros_like(depth))
        stamp = msg.header.stamp
        self.last_stamp_ns = int(stamp.sec) * 1_000_000_000 + int(stamp.nanosec)
        # ROS stamps are capture times on the publisher's system clock: on
        # this host's monotonic clock, as every frame's capture time is.
        mono, system = clock_pair()
        frame = Frame(sequence=self._sequence,
                      timestamp_ms=int(stamp.sec) * 1000 + int(stamp.nanosec) // 1_000_000,
                      host_time_ns=time.monotonic_ns(), dropped=0, width=depth.shape[1],
                      height=depth.shape[0], output="depth",
                      capture_ns=self.last_stamp_ns - system + mono, **planes)
        self._sequence += 1
        self.received += 1
        return frame

    def close(self):
        self._closed = True
        super().close()
