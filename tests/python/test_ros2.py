"""ROS 2 over DDS: the type descriptions handed to Cyclone DDS, our
publisher as a ROS 2 subscriber on another DDS implementation (Fast DDS)
sees it, and reading what such a peer publishes. Discovery stays on
127.0.0.1 (unicast peers, no multicast) in a domain of this run's own."""
import ctypes
import json
import os
import shutil
import struct
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

from conftest import require_child_interpreter
from quorvex import dds, ros2, rosmsg

ROOT = Path(__file__).resolve().parents[2]
PEER_SOURCE = ROOT / "tests" / "ros2" / "fastdds_peer.cpp"
DOMAIN = 100 + os.getpid() % 100

# The instruction words Cyclone's IDL compiler emits for these types (from
# their IDL), which ours must equal word for word.
IMAGE_OPS = [0x010d0000, 0, 0x00030010, 0x01030000, 16, 0x01030000, 20, 0x01050000, 24,
             0x01010000, 32, 0x01030000, 36, 0x01070100, 40, 0,
             0x010d0000, 0, 0x00030006, 0x01050000, 8, 0,
             0x01030004, 0, 0x01030000, 4, 0]
# Negative jumps: two sequences of a type laid out before them. The
# compiler's bounded strings (string<=256) are plain ones here: the same CDR.
DISCOVERY_OPS_16 = [0x010d0000, 0, 0x00030008, 0x01070a00, 0x10, 0x40, 0x00040009, 0,
                    0x01080100, 0, 16, 0,
                    0x01050000, 0, 0x01050000, 8, 0x01070a00, 0x10, 0x10, 0x0004fff8,
                    0x01070a00, 0x28, 0x10, 0x0004fff4, 0]


def _pointer_bits():
    return ctypes.sizeof(ctypes.c_void_p) * 8


@pytest.mark.skipif(_pointer_bits() != 64, reason="offsets of a 64-bit layout")
@pytest.mark.parametrize("ros_type, text, ops, size, nops", [
    (rosmsg.IMAGE, rosmsg.MSGDEFS[rosmsg.IMAGE], IMAGE_OPS, 64, 14),
    (ros2.PARTICIPANT_INFO, ros2.participant_info_definition("jazzy"), DISCOVERY_OPS_16, 40, 10),
])
def test_descriptor_equals_the_idl_compilers(ros_type, text, ops, size, nops):
    t = dds.MessageType(ros_type, text)
    assert t.ops == ops
    assert (ctypes.sizeof(t.struct), t.descriptor.m_size) == (size, size)
    assert t.descriptor.m_nops == nops


@pytest.mark.parametrize("ros_type", [rosmsg.IMAGE, rosmsg.CAMERA_INFO, rosmsg.COMPRESSED_IMAGE,
                                      rosmsg.POINT_CLOUD2])
def test_layouts_follow_the_definitions(ros_type):
    # Each field of the definition is a member of the C layout, in order,
    # at an offset its alignment allows.
    t = dds.MessageType(ros_type, rosmsg.MSGDEFS[ros_type])
    fields = dds.parse_definitions(ros_type, rosmsg.MSGDEFS[ros_type])
    top = fields[dds._short(ros_type)]
    assert [f for f, _, _ in top] == [name for name, _ in t.struct._fields_]
    offsets = [getattr(t.struct, f).offset for f, _, _ in top]
    assert offsets == sorted(offsets)
    assert t.name == "sensor_msgs::msg::dds_::" + ros_type.rsplit("/", 1)[1] + "_"


@pytest.mark.parametrize("namespace, ok", [
    ("/quorvex", "/quorvex"), ("robot/front/", "/robot/front"), ("/_cam2", "/_cam2"),
    ("/2cam", None), ("/a//b", None), ("/a b", None), ("/", None), ("/é", None)])
def test_namespaces(namespace, ok):
    if ok is None:
        with pytest.raises(ValueError):
            ros2.topics(namespace)
    else:
        assert ros2.topics(namespace)["depth"][0] == ok + "/depth/image"
        assert ros2.dds_topic(ros2.topics(namespace)["depth"][0]) == "rt" + ok + "/depth/image"


def test_points_message_dense_and_organised():
    from quorvex import nominal_intrinsics
    depth = np.zeros((6, 8), np.float32)
    depth[2, 3] = 1500.0
    depth[4, 5] = 800.0
    intr = nominal_intrinsics(8, 6)
    h = {"stamp": {"sec": 1, "nanosec": 2}, "frame_id": "f"}
    dense = ros2.points_message(depth, intr, h, organised=False)
    assert (dense["height"], dense["width"], dense["is_dense"]) == (1, 2, True)
    pts = np.frombuffer(dense["data"].tobytes(), "<f4").reshape(-1, 3)
    assert np.all(np.isfinite(pts)) and pts[:, 2].min() > 0
    # The radial distance is kept: the norm of each point is the depth.
    np.testing.assert_allclose(sorted(np.linalg.norm(pts, axis=1)), [0.8, 1.5], rtol=1e-5)
    org = ros2.points_message(depth, intr, h, organised=True)
    assert (org["height"], org["width"], org["row_step"], org["is_dense"]) == (6, 8, 96, False)
    grid = np.frombuffer(org["data"].tobytes(), "<f4").reshape(6, 8, 3)
    assert np.isnan(grid[0, 0]).all() and np.isfinite(grid[2, 3]).all()


def test_missing_library_is_one_line(monkeypatch, capsys):
    from quorvex.commands import main
    monkeypatch.setattr(dds, "SONAMES", ("libquorvex-no-such-dds.so",))
    monkeypatch.setattr(dds, "_library", None)
    rc = main(["publish", "--transport", "ros2", "--frames", "1", "--quiet"])
    err = capsys.readouterr().err.strip().splitlines()
    assert rc == 1
    assert len(err) == 1 and "libddsc0debian" in err[0] and "libddsc0t64" in err[0]
    with pytest.raises(ImportError, match="libddsc0debian"):
        import quorvex
        quorvex.subscribe(transport="ros2")


# With the library ----------------------------------------------------------
def _have_dds():
    try:
        dds.library()
        return True
    except dds.DdsUnavailable:
        return False


# `make test-ros2` installs both libraries and sets this: there a missing
# one is a failure, not a skip.
REQUIRED = os.environ.get("QUORVEX_REQUIRE_ROS2") == "1"
_NO_DDS = ("Cyclone DDS's C library (Debian's libddsc0debian / libddsc0t64) is not installed: "
           "`make test-ros2` installs it")
needs_dds = pytest.mark.skipif(not _have_dds() and not REQUIRED, reason=_NO_DDS)


def _unavailable(reason):
    if REQUIRED:
        pytest.fail(reason)
    pytest.skip(reason)


@pytest.fixture
def loopback(monkeypatch):
    monkeypatch.setenv("CYCLONEDDS_URI", dds.loopback_config())
    monkeypatch.setenv("ROS_DOMAIN_ID", str(DOMAIN))


@pytest.fixture(scope="module")
def frames():
    import quorvex
    with quorvex.Camera(filters=None) as cam:
        info = cam.info
        got = list(cam.frames(max_frames=6))
    return info, got


IDL = ROOT / "tests" / "ros2" / "idl"
# Gid's one difference between the releases, under one type name: the
# layouts are generated into C++ namespaces of their own.
GID_LAYOUTS = {"Humble": ("humble", 24), "Jazzy": ("jazzy", 16)}


def _generate_types(gen):
    """Fast DDS's IDL compiler's types for the peer, from ROS's definitions
    in tests/ros2/idl; returns the sources to compile."""
    idls = sorted(p for p in IDL.rglob("*.idl") if p.name != "ParticipantEntitiesInfo.idl")
    layouts = []
    text = (IDL / "rmw_dds_common" / "msg" / "ParticipantEntitiesInfo.idl").read_text()
    for suffix, (module, size) in GID_LAYOUTS.items():
        path = gen / "idl" / "rmw_dds_common" / "msg" / f"ParticipantEntitiesInfo{suffix}.idl"
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(f"#define GID_LAYOUT {module}\n#define GID_BYTES {size}\n" + text)
        layouts.append(path)
    sources = []
    for idl in idls + layouts:
        package = idl.parent.relative_to(idl.parents[2])
        out = gen / package
        out.mkdir(parents=True, exist_ok=True)
        r = subprocess.run(["fastddsgen", "-replace", "-I", str(IDL), "-d", str(out), str(idl)],
                           capture_output=True, text=True)
        if r.returncode != 0 or not (out / f"{idl.stem}PubSubTypes.cxx").exists():
            pytest.fail(f"fastddsgen failed on {idl.name}: {r.stdout}{r.stderr}")
        sources += [out / f"{idl.stem}.cxx", out / f"{idl.stem}PubSubTypes.cxx"]
    return sources


@pytest.fixture(scope="module")
def peer_program():
    """The Fast DDS peer with its generated types, built when Fast DDS and
    its IDL compiler are installed."""
    if not Path("/usr/include/fastdds").is_dir() or shutil.which("g++") is None:
        _unavailable("Fast DDS (Debian's libfastrtps-dev) is not installed: `make test-ros2` "
                     "installs it")
    if shutil.which("fastddsgen") is None:
        _unavailable("Fast DDS's IDL compiler (Debian's fastddsgen) is not installed: "
                     "`make test-ros2` installs it")
    build = ROOT / "build" / "ros2"
    out = build / "fastdds_peer"
    inputs = [PEER_SOURCE, *IDL.rglob("*.idl")]
    if out.exists() and out.stat().st_mtime >= max(p.stat().st_mtime for p in inputs):
        return out
    gen = build / "gen"
    shutil.rmtree(gen, ignore_errors=True)
    sources = [PEER_SOURCE, *_generate_types(gen)]
    compiler = ["ccache", "g++"] if shutil.which("ccache") else ["g++"]
    objects, jobs = [], []
    for src in sources:
        obj = gen / "obj" / (src.stem + ".o")
        obj.parent.mkdir(parents=True, exist_ok=True)
        objects.append(obj)
        jobs.append(subprocess.Popen(compiler + ["-std=c++17", "-O1", "-I", str(gen), "-c", str(src),
                                                "-o", str(obj)]))
        # Two at a time: the machine is shared.
        if len(jobs) >= 2:
            assert jobs.pop(0).wait() == 0
    assert all(j.wait() == 0 for j in jobs)
    subprocess.run(["g++", *map(str, objects), "-o", str(out), "-lfastrtps", "-lfastcdr"], check=True)
    return out


def _wait(cond, seconds=60.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(0.05)
    return False


class Peer:
    def __init__(self, program, mode, topics, path, count=None, best_effort=False, pid=10,
                 seconds=90, distro="jazzy"):
        args = [str(program), mode, "--domain", str(DOMAIN), "--pid", str(pid), "--seconds",
                str(seconds), "--ros-distro", distro, "--file", str(path)]
        if count is not None:
            args += ["--count", str(count)]
        if best_effort:
            args.append("--best-effort")
        args += [f"{t}={ty}" for t, ty in topics]
        self.path = path
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
        # Peers it finds may be announced before it is ready.
        self.said = []
        self.wait_for("ready")

    def wait_for(self, word):
        while True:
            line = self.proc.stdout.readline()
            if not line or line.strip() == word:
                return bool(line)
            self.said.append(line)

    def finish(self, timeout=120):
        out, _ = self.proc.communicate(timeout=timeout)
        return "".join(self.said) + out

    def records(self):
        """(topic index, the message's fields, its byte sequence) of each
        sample the peer took, as its generated types read them."""
        data = Path(self.path).read_bytes()
        out, i = [], 0
        while i < len(data):
            idx, n = struct.unpack_from("<II", data, i)
            fields = json.loads(data[i + 8:i + 8 + n])
            i += 8 + n
            (m,) = struct.unpack_from("<I", data, i)
            out.append((idx, fields, data[i + 4:i + 4 + m]))
            i += 4 + m
        return out

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def _peer_topics(pub, names):
    return [(ros2.dds_topic(pub.topics[n][0]), dds.dds_type_name(pub.topics[n][1])) for n in names]


@needs_dds
@pytest.mark.parametrize("distro", ros2.DISTROS)
def test_fast_dds_reads_every_topic(loopback, frames, peer_program, tmp_path, distro):
    info, got = frames
    names = ["depth", "amplitude", "confidence", "camera_info", "compressed_depth", "points"]
    with ros2.RosPublisher(info, compression="depth", points="dense", distro=distro,
                           node_name="test_node") as pub:
        topics = _peer_topics(pub, names) + [
            (ros2.DISCOVERY_TOPIC, dds.dds_type_name(ros2.PARTICIPANT_INFO) + "@transient_local")]
        n = len(got)
        peer = Peer(peer_program, "sub", topics, tmp_path / "sub.bin", count=n * len(names) + 1,
                    distro=distro)
        try:
            assert peer.wait_for("matched")
            assert _wait(lambda: all(pub.matched().values())), pub.matched()
            stamps = []
            for i, f in enumerate(got):
                stamps.append(1_700_000_000_000_000_000 + i * 33_000_000)
                pub.put(f, stamp_ns=stamps[-1])
            out = peer.finish()
        finally:
            peer.close()
    assert "participant userdata=enclave=/;" in out
    by_topic = {}
    for idx, fields, data in peer.records():
        by_topic.setdefault(idx, []).append((fields, data))
    # Reliable: every frame on every topic, in order.
    assert [len(by_topic.get(i, [])) for i in range(len(names))] == [n] * len(names)
    intr = info.intrinsics
    for i, f in enumerate(got):
        header = {"stamp": {"sec": stamps[i] // 10**9, "nanosec": stamps[i] % 10**9},
                  "frame_id": ros2.DEFAULT_FRAME_ID}
        for topic, plane, scale in ((0, f.depth, 1000.0), (1, f.amplitude, 1.0),
                                    (2, f.confidence, 1.0)):
            image, data = by_topic[topic][i]
            assert image == {"header": header, "height": 180, "width": 240, "encoding": "32FC1",
                             "is_bigendian": 0, "step": 960}, names[topic]
            values = np.frombuffer(data, "<f4").reshape(180, 240)
            if topic == 0:
                np.testing.assert_array_equal(np.isnan(values), plane == 0)
                np.testing.assert_allclose(values[plane > 0], plane[plane > 0] / scale, rtol=1e-6)
            else:
                np.testing.assert_array_equal(values, plane)
        cam, data = by_topic[3][i]
        assert data == b""
        assert cam == {"header": header, "height": 180, "width": 240, "distortion_model": "plumb_bob",
                       "d": [0.0] * 5, "k": [intr.fx, 0, intr.cx, 0, intr.fy, intr.cy, 0, 0, 1],
                       "r": [1, 0, 0, 0, 1, 0, 0, 0, 1],
                       "p": [intr.fx, 0, intr.cx, 0, 0, intr.fy, intr.cy, 0, 0, 0, 1, 0],
                       "binning_x": 0, "binning_y": 0,
                       "roi": {"x_offset": 0, "y_offset": 0, "height": 0, "width": 0,
                               "do_rectify": False}}
        comp, data = by_topic[4][i]
        assert comp == {"header": header, "format": "16UC1; compressedDepth rvl"}
        from quorvex import depthcoding
        np.testing.assert_array_equal(depthcoding.decode_depth(data, 240, 180), np.round(f.depth))
        cloud, data = by_topic[5][i]
        valid = int(np.count_nonzero(f.depth))
        assert cloud == {"header": header, "height": 1, "width": valid,
                         "fields": [{"name": c, "offset": 4 * k, "datatype": 7, "count": 1}
                                    for k, c in enumerate("xyz")],
                         "is_bigendian": False, "point_step": 12, "row_step": 12 * valid,
                         "is_dense": True}
        points = np.frombuffer(data, "<f4").reshape(-1, 3)
        np.testing.assert_allclose(np.sort(np.linalg.norm(points, axis=1)),
                                   np.sort(f.depth[f.depth > 0] / 1000), rtol=1e-5)
    # The node announcement, read with the distribution's layout.
    (node_info, _), = by_topic[len(names)]
    assert len(node_info["gid"]) == ros2.GID_BYTES[distro]
    (node,) = node_info["node_entities_info_seq"]
    assert (node["node_namespace"], node["node_name"]) == ("/", "test_node")
    assert len(node["writer_gid_seq"]) == len(names) and not node["reader_gid_seq"]
    assert all(len(g) == ros2.GID_BYTES[distro] for g in node["writer_gid_seq"])
    # The writers' GIDs are distinct, and of the announcing participant.
    assert len({tuple(g) for g in node["writer_gid_seq"]}) == len(names)
    assert all(g[:12] == node_info["gid"][:12] for g in node["writer_gid_seq"])


@needs_dds
def test_best_effort_reader_receives_from_the_default_writer(loopback, frames, peer_program,
                                                             tmp_path):
    info, got = frames
    with ros2.RosPublisher(info) as pub:
        peer = Peer(peer_program, "sub", _peer_topics(pub, ["depth"]), tmp_path / "be.bin",
                    count=2, best_effort=True)
        try:
            assert peer.wait_for("matched")
            # Best effort may lose some on a loaded machine: send until it has two.
            for i in range(200):
                if peer.proc.poll() is not None:
                    break
                pub.put(got[i % len(got)])
                time.sleep(0.05)
            peer.finish()
        finally:
            peer.close()
    assert len(peer.records()) >= 2


def _cdr(items):
    """Plain little-endian CDR (XCDR1) with its encapsulation header, by
    hand rather than through our encoder; the peer's generated types read
    it before they send it. Items: (struct code, value), ("s", text),
    ("bytes", octets), ("d[]", doubles) a sequence, ("d*", doubles) an array."""
    out = bytearray()

    def align(n):
        out.extend(b"\0" * (-len(out) % n))
    for kind, value in items:
        if kind == "s":
            text = value.encode() + b"\0"
            align(4)
            out += struct.pack("<I", len(text)) + text
        elif kind == "bytes":
            align(4)
            out += struct.pack("<I", len(value)) + value
        elif kind in ("d[]", "d*"):
            if kind == "d[]":
                align(4)
                out += struct.pack("<I", len(value))
            align(8)
            out += struct.pack(f"<{len(value)}d", *value)
        else:
            align(struct.calcsize(kind))
            out += struct.pack("<" + kind, value)
    return b"\0\1\0\0" + bytes(out)


@needs_dds
def test_reading_a_foreign_16uc1_publisher(loopback, peer_program, tmp_path):
    depth_mm = (np.arange(24 * 32, dtype=np.uint16).reshape(24, 32) * 7) % 5000
    path = tmp_path / "pub.bin"
    with open(path, "wb") as f:
        for i in range(3):
            header = [("i", 5), ("I", i * 1_000_000), ("s", "other_camera")]
            image = _cdr(header + [("I", 24), ("I", 32), ("s", "16UC1"), ("B", 0), ("I", 64),
                                   ("bytes", (depth_mm + i).astype("<u2").tobytes())])
            cam = _cdr(header + [("I", 24), ("I", 32), ("s", "plumb_bob"), ("d[]", [0.0] * 5),
                                 ("d*", [30.0, 0, 16, 0, 31.0, 12, 0, 0, 1]),
                                 ("d*", [1.0, 0, 0, 0, 1, 0, 0, 0, 1]),
                                 ("d*", [30.0, 0, 16, 0, 0, 31.0, 12, 0, 0, 0, 1, 0]),
                                 ("I", 0), ("I", 0), ("I", 0), ("I", 0), ("I", 0), ("I", 0),
                                 ("B", 0)])
            for idx, data in ((1, cam), (0, image)):
                f.write(struct.pack("<II", idx, len(data)) + data)
    import quorvex
    with quorvex.subscribe("/other", transport="ros2", info_timeout=60) as sub:
        peer = Peer(peer_program, "pub", [
            ("rt/other/depth/image", "sensor_msgs::msg::dds_::Image_"),
            ("rt/other/camera_info", "sensor_msgs::msg::dds_::CameraInfo_")], path, pid=11)
        try:
            info = sub.info
            got = list(sub.frames(max_frames=3, stall_timeout=60))
            peer.finish()
        finally:
            peer.close()
    assert (info.width, info.height) == (32, 24)
    assert (info.intrinsics.fx, info.intrinsics.cy) == (30.0, 12)
    for i, frame in enumerate(got):
        assert frame.timestamp_ms == 5000 + i
        np.testing.assert_array_equal(frame.depth, (depth_mm + i).astype(np.float32))
        # The stamp is the publisher's capture time: back on the system
        # clock it is the stamp again, give or take what the system clock
        # was adjusted by between the two conversions (1 ms was seen on a
        # loaded CI machine; a wrong clock would be off by decades). Which
        # frame it is, the timestamp above says.
        assert abs(quorvex.system_time_ns(frame.capture_ns) - (5 * 10**9 + i * 10**6)) < 50 * 10**6


@needs_dds
def test_our_publisher_to_our_reader(loopback, frames):
    # The round trip through Cyclone alone: what `record`/`view --transport
    # ros2` read from `publish --transport ros2`.
    info, got = frames
    import quorvex
    with ros2.RosPublisher(info, namespace="/self") as pub, \
            quorvex.subscribe("/self", transport="ros2", qos="default") as sub:
        assert _wait(lambda: all(pub.matched().values())
                     and all(r.matched() for r in sub._readers.values()))
        for f in got[:3]:
            pub.put(f)
        first = next(sub.frames(max_frames=1, stall_timeout=60))
        assert sub.info.intrinsics == info.intrinsics
    np.testing.assert_allclose(first.depth, got[0].depth, atol=0.001)
    np.testing.assert_array_equal(first.amplitude, got[0].amplitude)


@needs_dds
def test_publish_command(loopback, tmp_path, peer_program):
    require_child_interpreter()
    topic = ("rt/cli/camera_info", "sensor_msgs::msg::dds_::CameraInfo_")
    peer = Peer(peer_program, "sub", [topic], tmp_path / "cli.bin", count=1, pid=12)
    try:
        cmd = [sys.executable, "-m", "quorvex", "publish", "--transport", "ros2", "--namespace",
               "/cli", "--seconds", "90", "--quiet"]
        pub = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            peer.finish()
        finally:
            pub.terminate()
            out, err = pub.communicate(timeout=60)
    finally:
        peer.close()
    assert pub.returncode == 0, err
    assert "as ROS 2 node quorvex_camera on /cli/" in out
    # The peer stops once it has one, but takes whatever else came with it.
    records = peer.records()
    assert records and all(r[1]["width"] == 240 and r[1]["height"] == 180 for r in records)


@needs_dds
def test_record_reads_ros2(loopback, frames, tmp_path):
    require_child_interpreter()
    # `record --transport ros2` in another process, fed by our publisher here
    # until it has its frames.
    info, got = frames
    out = tmp_path / "ros.mcap"
    cmd = [sys.executable, "-m", "quorvex", "record", str(out), "--transport", "ros2",
           "--namespace", "/rec", "--qos", "default", "--frames", "3", "--quiet"]
    rec = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        with ros2.RosPublisher(info, namespace="/rec") as pub:
            for i in range(1200):
                if rec.poll() is not None:
                    break
                if all(pub.matched().values()):
                    pub.put(got[i % len(got)])
                time.sleep(0.05)
        _, err = rec.communicate(timeout=60)
    finally:
        if rec.poll() is None:
            rec.kill()
            rec.wait()
    assert rec.returncode == 0, err
    import quorvex
    with quorvex.open_recording(str(out)) as r:
        assert (r.info.width, r.info.height) == (240, 180)
        assert r.info.intrinsics == info.intrinsics
        recorded = list(r.frames())
    assert len(recorded) == 3
    assert any(np.allclose(recorded[0].depth, f.depth, atol=0.001) for f in got)
