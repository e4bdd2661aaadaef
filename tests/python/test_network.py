"""Frames over Zenoh within one process and one short-lived publisher
process: the payload as an independent ROS 2 decoder reads it, frames
rebuilt exactly, sequence gaps as drops, foreign payloads counted and
skipped, and nothing exposed by default. Loopback only, explicit endpoints."""
import os
import shutil
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

zenoh = pytest.importorskip("zenoh")
pytest.importorskip("mcap_ros2")

import quorvex  # noqa: E402
from quorvex import depthcoding, network, planeformats, rosmsg  # noqa: E402
from quorvex.errors import CameraError  # noqa: E402
from quorvex.frame import Frame, StreamInfo  # noqa: E402
from quorvex.geometry import nominal_intrinsics  # noqa: E402

W, H = 240, 180


def free_endpoint():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"tcp/127.0.0.1:{s.getsockname()[1]}"


def stream_info(output="depth"):
    return StreamInfo(source="test", variant="hqvga", width=W, height=H, output=output,
                      intrinsics=nominal_intrinsics(W, H), controls={"range": 4000}, version="t")


def depth_frame(sequence, rng, dropped=0):
    f = Frame(sequence=sequence, timestamp_ms=1000 + 33 * sequence, host_time_ns=0, dropped=dropped,
              width=W, height=H, output="depth")
    f.depth, f.amplitude, f.confidence = (rng.random((H, W), dtype=np.float32) * 4000
                                          for _ in range(3))
    return f


def wait_until(condition, seconds=30.0):
    """Polls until `condition` holds; the bound only ends a test that would
    otherwise hang, so it is generous for an emulated, loaded machine."""
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)
    return condition()


def wait_matched(publishers, seconds=30.0):
    """Waits until every Zenoh publisher of `publishers` (a `Publisher`, or
    Zenoh publishers) sees a subscriber: a put before that is lost, however
    long a fixed sleep had waited."""
    if isinstance(publishers, network.Publisher):
        publishers = list(publishers._publishers.values())
    assert wait_until(lambda: all(p.matching_status.matching for p in publishers), seconds), \
        "no subscriber matched"


def stranger_publishers(stranger, key):
    """Publishers of another session on the planes of `key`, once the
    subscription's declaration has reached them."""
    # Blocking: a loaded machine's full send queue must not drop what the
    # test then counts.
    pubs = {plane: stranger.declare_publisher(f"{key}/{plane}",
                                              congestion_control=zenoh.CongestionControl.BLOCK)
            for plane in ("depth", "amplitude", "confidence")}
    wait_matched(list(pubs.values()))
    return pubs


def test_images_are_standard_ros2_messages():
    typestore = pytest.importorskip("rosbags.typesys")
    store = typestore.get_typestore(typestore.Stores.ROS2_HUMBLE)
    depth = np.arange(H * W, dtype=np.float32).reshape(H, W) / 7
    raw = (np.arange(2405 * 640) % 4096).astype(np.uint16).reshape(2405, 640)
    for array, encoding in ((depth, "32FC1"), (raw, "16UC1")):
        data = rosmsg.encode(rosmsg.IMAGE, rosmsg.image_message(array, 12_345, "cam_optical_frame"))
        m = store.deserialize_cdr(data, "sensor_msgs/msg/Image")
        assert (m.header.stamp.sec, m.header.stamp.nanosec) == (12, 345_000_000)
        assert (m.height, m.width, m.encoding, m.is_bigendian) == (*array.shape, encoding, 0)
        assert m.step == array.shape[1] * array.itemsize
        np.testing.assert_array_equal(np.frombuffer(m.data.tobytes(), array.dtype).reshape(array.shape),
                                      array)
        back = rosmsg.image_array(rosmsg.decode(rosmsg.IMAGE, data), encoding)
        assert back.dtype == array.dtype and np.array_equal(back, array)
    intr = nominal_intrinsics(W, H)
    data = rosmsg.encode(rosmsg.CAMERA_INFO, rosmsg.camera_info_message(intr, 5, "cam"))
    m = store.deserialize_cdr(data, "sensor_msgs/msg/CameraInfo")
    assert list(m.k) == [intr.fx, 0, intr.cx, 0, intr.fy, intr.cy, 0, 0, 1]
    assert list(m.p[:4]) == [intr.fx, 0, intr.cx, 0] and m.distortion_model == "plumb_bob"


def test_image_reader_refuses_what_does_not_add_up():
    good = rosmsg.image_message(np.ones((4, 5), np.float32), 0, "f")
    big = dict(good, is_bigendian=1, data=np.ones((4, 5), ">f4").tobytes())
    assert rosmsg.image_array(rosmsg.decode(rosmsg.IMAGE, rosmsg.encode(rosmsg.IMAGE, big))).tolist() \
        == np.ones((4, 5)).tolist()
    padded = dict(good, step=24, data=bytes(24 * 4))
    assert rosmsg.image_array(rosmsg.decode(rosmsg.IMAGE, rosmsg.encode(rosmsg.IMAGE, padded))).shape \
        == (4, 5)
    for bad in (dict(good, height=5), dict(good, step=16), dict(good, encoding="rgb8"),
                dict(good, width=0, height=0, step=0, data=b"")):
        with pytest.raises(rosmsg.MessageError):
            rosmsg.image_array(rosmsg.decode(rosmsg.IMAGE, rosmsg.encode(rosmsg.IMAGE, bad)), "32FC1")
    data = rosmsg.encode(rosmsg.IMAGE, good)
    for cut in (0, 3, 8, 40, len(data) - 1):
        with pytest.raises(rosmsg.MessageError):
            rosmsg.image_array(rosmsg.decode(rosmsg.IMAGE, data[:cut]))


def test_default_session_is_private_and_endpoints_are_only_those_named():
    conf = network.session_config()
    assert conf.get_json("listen/endpoints") == "[]"
    assert conf.get_json("scouting/multicast/enabled") == "false"
    conf = network.session_config(connect=["tcp/127.0.0.1:1"], listen=["tcp/127.0.0.1:2"])
    assert conf.get_json("connect/endpoints") == '["tcp/127.0.0.1:1"]'
    assert conf.get_json("listen/endpoints") == '["tcp/127.0.0.1:2"]'
    for bad in ("quorvex/*", "quorvex//x", ""):
        with pytest.raises(ValueError):
            network.Publisher(stream_info(), key=bad)


def test_frames_arrive_exact_with_gaps_as_drops_and_foreign_payloads_skipped():
    # The "many boards to one" shape: the subscriber listens, publishers connect.
    ep = free_endpoint()
    rng = np.random.default_rng(5)
    with quorvex.subscribe("qtest/cam", listen=[ep], queue=16, info_timeout=0.2) as sub:
        with pytest.raises(CameraError, match="no publisher"):
            sub.info
        with pytest.raises(CameraError, match="no publisher of qtest/cam answered within 0.2 s"):
            next(sub.frames(stall_timeout=5))
        # Foreign and malformed samples under the key, from another session.
        stranger = zenoh.open(network.session_config(connect=[ep]))
        try:
            assert wait_until(lambda: len(list(stranger.info.peers_zid())) == 1)
            stranger_publishers(stranger, "qtest/cam")
            header = network.FRAME_HEADER.pack(b"QVXF", 1, 1, W, H, 7, 0, 0, 0, 0, 0)
            stranger.put("qtest/cam/depth", b"no attachment")
            stranger.put("qtest/cam/depth", b"\x00\x01\x00\x00 not cdr", attachment=header)
            stranger.put("qtest/cam/elsewhere", b"x", attachment=header)
            stranger.put("qtest/cam/depth", b"x", attachment=header[:-1])
            stranger.put("qtest/cam/depth", b"x", attachment=b"QVXF" + header[4:5] + b"\x80" + header[6:])
            stranger.put("qtest/cam/info", b"{not json")
            wrong = rosmsg.encode(rosmsg.IMAGE, rosmsg.image_message(np.zeros((H, W), np.uint16), 0, "f"))
            second = network.FRAME_HEADER.pack(b"QVXF", 1, 1, W, H, 7, 1, 0, 0, 0, 0)
            stranger.put("qtest/cam/depth", wrong, attachment=second)  # 16UC1 where 32FC1 belongs
            # All refused on arrival, the last two once decoded: none is a frame.
            assert wait_until(lambda: sub.malformed == 7)
            with pytest.raises(CameraError):
                next(sub.frames(stall_timeout=0.3))
            assert sub.received == 0
        finally:
            stranger.close()

        # Lossless: this machine's load must not pass for a drop in the network.
        with network.Publisher(stream_info(), key="qtest/cam", connect=[ep], lossless=True) as pub:
            sub.info_timeout = 10.0
            assert sub.info == stream_info()
            sent = [depth_frame(s, rng, dropped=d) for s, d in ((0, 0), (1, 0), (2, 3), (5, 0))]
            for f in sent:
                f.capture_ns = time.monotonic_ns() - 7_000_000
            wait_matched(pub)
            for f in sent:
                pub.put(f)
            got = list(sub.frames(max_frames=4, stall_timeout=5))
        for s, g in zip(sent, got):
            assert (g.sequence, g.timestamp_ms, g.width, g.height, g.output) == \
                (s.sequence, s.timestamp_ms, W, H, "depth")
            for plane in ("depth", "amplitude", "confidence"):
                assert np.array_equal(getattr(g, plane), getattr(s, plane))
            assert g.raw is None and g.host_time_ns > 0
            # Through the system clock and back: the same instant, give or
            # take what the clocks' reads are apart.
            assert abs(g.capture_ns - s.capture_ns) < 50_000_000
        # The sender's own drops, plus the sequence numbers that never came.
        assert [g.dropped for g in got] == [0, 0, 3, 2]
        assert sub.malformed == 7


def test_forged_samples_under_a_real_publishers_name_do_not_silence_it():
    ep = free_endpoint()
    rng = np.random.default_rng(9)
    with quorvex.subscribe("qtest/forged", listen=[ep], queue=16, info_timeout=10) as sub, \
            network.Publisher(stream_info(), key="qtest/forged", connect=[ep], lossless=True) as pub:
        assert sub.info.output == "depth"
        wait_matched(pub)
        pub.put(depth_frame(0, rng))
        assert wait_until(lambda: sub.received == 1)
        stranger = zenoh.open(network.session_config(connect=[ep]))
        try:
            assert wait_until(lambda: len(list(stranger.info.peers_zid())) >= 1)
            stranger_pubs = stranger_publishers(stranger, "qtest/forged")
            good = rosmsg.encode(rosmsg.IMAGE, rosmsg.image_message(np.ones((H, W), np.float32), 0, "f"))
            small = rosmsg.encode(rosmsg.IMAGE, rosmsg.image_message(np.ones((H, W - 1), np.float32), 0, "f"))
            forged = [(b"\x00\x01\x00\x00 not an image", 10**6, 0),  # undecodable, far ahead
                      (good, 10**6 + 1, 0),                            # well formed, far ahead
                      (small, 1, 0),                                   # not of the frame's size
                      (good, 1, 5),                                    # stamped with another time
                      (good, 1, -1)]                                   # before the module's clock
            for payload, sequence, stamp in forged:
                attachment = network.FRAME_HEADER.pack(b"QVXF", 1, 7, W, H, pub._id, sequence, stamp,
                                                       0, 0, 0)
                for plane in ("depth", "amplitude", "confidence"):
                    stranger_pubs[plane].put(payload, attachment=attachment)
            assert wait_until(lambda: sub.malformed == 15)
        finally:
            stranger.close()
        sent = [depth_frame(s, rng) for s in (1, 2, 3)]
        for f in sent:
            pub.put(f)
        got = list(sub.frames(max_frames=4, stall_timeout=5))
    assert [g.sequence for g in got] == [0, 1, 2, 3] and [g.dropped for g in got] == [0, 0, 0, 0]
    assert all(np.array_equal(g.depth, s.depth) for g, s in zip(got[1:], sent))
    assert sub.malformed == 15


def test_raw_frames_and_newest_frame_wins_for_a_slow_reader():
    ep = free_endpoint()
    rows = 727
    with network.Publisher(stream_info("raw"), key="qtest/raw", listen=[ep], lossless=True) as pub, \
            quorvex.subscribe("qtest/raw", connect=[ep], queue=2) as sub:
        assert sub.info.output == "raw"
        wait_matched(pub)
        sent = []
        for s in range(10):
            f = Frame(sequence=s, timestamp_ms=s, host_time_ns=0, dropped=0, width=240, height=rows,
                      output="raw")
            f.raw = ((np.arange(rows * 240) * 7 + s) % 4096).astype(np.uint16).reshape(rows, 240)
            sent.append(f)
            pub.put(f)
        assert wait_until(lambda: sub.received == 10)
        got = list(sub.frames(max_frames=2, stall_timeout=5))
    # Only the newest two waited; the eight before them show as dropped.
    assert [g.sequence for g in got] == [8, 9]
    assert got[0].dropped == 8 and got[1].dropped == 0
    assert np.array_equal(got[1].raw, sent[9].raw) and (got[1].width, got[1].height) == (240, rows)
    assert got[1].depth is None


def _own_sockets(pid):
    inodes = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    found = []
    for table in ("tcp", "tcp6", "udp", "udp6"):
        for line in Path(f"/proc/{pid}/net/{table}").read_text().splitlines()[1:]:
            cols = line.split()
            if cols[9] in inodes:
                found.append((table, cols[1], cols[3]))
    return found


@pytest.mark.skipif(not Path("/proc/self/net/tcp").exists(), reason="needs /proc/net")
def test_publisher_opens_no_port_nobody_asked_for(tmp_path):
    cfg = tmp_path / "cam.cfg"
    cfg.write_text("fps = 30\n")
    proc = subprocess.Popen([sys.executable, "-m", "quorvex", "publish", "--config", str(cfg),
                             "--key", "qtest/private", "--frames", "300"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()
        assert "publishing hqvga depth" in line and "listening on no address" in line
        time.sleep(0.5)
        # No listening TCP socket (state 0A) and no UDP socket (scouting) at all.
        sockets = _own_sockets(proc.pid)
        assert not [s for s in sockets if s[0].startswith("udp") or s[2] == "0A"], sockets
    finally:
        proc.terminate()
        out, err = proc.communicate(timeout=20)
    assert proc.returncode in (0, 130), err
    assert "published" in err


def _certificates(d):
    """A CA, the board's certificate (for 127.0.0.1 and localhost), one for
    the workstation, one for an intruder from the same CA, and one from
    another CA."""
    def run(*args):
        subprocess.run(["openssl", *args], cwd=d, check=True, capture_output=True)

    ext = d / "ext"
    ext.write_text("subjectAltName=DNS:localhost,IP:127.0.0.1\n"
                   "extendedKeyUsage=serverAuth,clientAuth\n")
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    for ca in ("ca", "other-ca"):
        run("req", "-x509", *key, "-keyout", f"{ca}.key", "-out", f"{ca}.pem", "-days", "1",
            "-subj", f"/CN={ca}")
    for name, ca in (("board", "ca"), ("workstation", "ca"), ("intruder", "ca"),
                     ("stranger", "other-ca")):
        run("req", *key, "-keyout", f"{name}.key", "-out", f"{name}.csr", "-subj", f"/CN={name}")
        run("x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.pem", "-CAkey", f"{ca}.key",
            "-CAcreateserial", "-out", f"{name}.pem", "-days", "1", "-extfile", "ext")


@pytest.mark.skipif(shutil.which("openssl") is None, reason="needs openssl to make certificates")
def test_tls_with_access_control_lets_only_the_named_workstation_in(tmp_path):
    _certificates(tmp_path)
    port = free_endpoint().rsplit(":", 1)[1]
    key = "qtest/board1"
    board = tmp_path / "board.json5"
    board.write_text("""{
      listen: { endpoints: ["tls/127.0.0.1:%(port)s"] },
      transport: { link: { tls: {
        root_ca_certificate: "%(d)s/ca.pem", enable_mtls: true,
        listen_certificate: "%(d)s/board.pem", listen_private_key: "%(d)s/board.key" } } },
      access_control: {
        enabled: true, default_permission: "deny",
        rules: [
          { id: "frames-out", permission: "allow", flows: ["egress"],
            messages: ["put", "reply", "declare_queryable"], key_exprs: ["%(key)s/**"] },
          { id: "subscribe-in", permission: "allow", flows: ["ingress"],
            messages: ["declare_subscriber", "query"], key_exprs: ["%(key)s/**"] } ],
        subjects: [{ id: "workstation", cert_common_names: ["workstation"] }],
        policies: [{ rules: ["frames-out", "subscribe-in"], subjects: ["workstation"] }] } }
    """ % {"port": port, "d": tmp_path, "key": key})

    def client(name):
        conf = tmp_path / f"{name}.json5"
        conf.write_text("""{
          connect: { endpoints: ["tls/localhost:%(port)s"] },
          transport: { link: { tls: {
            root_ca_certificate: "%(d)s/ca.pem", enable_mtls: true,
            connect_certificate: "%(d)s/%(name)s.pem",
            connect_private_key: "%(d)s/%(name)s.key" } } } }
        """ % {"port": port, "d": tmp_path, "name": name})
        return conf

    rng = np.random.default_rng(9)
    with network.Publisher(stream_info(), key=key, config=board, lossless=True) as pub:
        with quorvex.subscribe(key, config=client("workstation"), info_timeout=10) as sub:
            assert sub.info == stream_info()
            wait_matched(pub)
            sent = depth_frame(0, rng)
            pub.put(sent)
            got = next(sub.frames(stall_timeout=5))
            assert np.array_equal(got.depth, sent.depth)
        for name in ("intruder", "stranger"):
            with quorvex.subscribe(key, config=client(name), info_timeout=1.5) as sub:
                with pytest.raises(CameraError, match="no publisher"):
                    sub.info
                pub.put(depth_frame(1, rng))
                with pytest.raises(CameraError, match="no publisher"):
                    next(sub.frames(stall_timeout=0.5))


def test_sizes_a_sample_claims_are_bounded_and_incomplete_frames_hold_little():
    ep = free_endpoint()
    with quorvex.subscribe("qtest/sizes", listen=[ep], queue=4) as sub:
        stranger = zenoh.open(network.session_config(connect=[ep]))
        try:
            assert wait_until(lambda: len(list(stranger.info.peers_zid())) == 1)
            time.sleep(0.3)  # the subscription's declaration reaches the stranger

            def put(plane, width, height, sequence, data, version=2, mask=7):
                attachment = bytearray(network.FRAME_HEADER.pack(b"QVXF", version, mask, width, height, 99,
                                                                 sequence, 0, 0, 0, 0))
                if version == 2:
                    attachment[10] = network.CODING_DEPTH
                stranger.put(f"qtest/sizes/{plane}", data, attachment=bytes(attachment))

            def coded_depth(width, height):
                return rosmsg.encode(rosmsg.COMPRESSED_IMAGE, {
                    "header": rosmsg.header(0, "f"), "format": "16UC1; compressedDepth rvl",
                    "data": depthcoding.encode_depth(np.zeros((height, width), np.float32))})

            # Each of these would decode to 64 MB: refused before decoding.
            huge = coded_depth(1, 1)[:-8]
            for s in range(30):
                put("depth", 4096, 4096, s, huge)
            assert wait_until(lambda: sub.malformed == 30)
            # A raw plane must be its frame's size (the raw frame's rows).
            raw = rosmsg.encode(rosmsg.IMAGE, planeformats.image_message(np.zeros((5, 5), np.uint16), 0, "f"))
            put("raw", 240, 720, 0, raw, version=1, mask=8)
            assert wait_until(lambda: sub.malformed == 31)
            # Two planes of each of 30 frames of the largest size, none complete.
            depth, amplitude = coded_depth(640, 480), rosmsg.encode(rosmsg.COMPRESSED_IMAGE, {
                "header": rosmsg.header(0, "f"), "format": "16UC1; linear rice",
                "data": depthcoding.encode_plane(np.zeros((480, 640), np.uint16))})
            for s in range(100, 130):
                put("depth", 640, 480, s, depth)
                put("amplitude", 640, 480, s, amplitude)
            assert wait_until(lambda: 129 in {k[1] for k in sub._pending}, 20)
            held = sum(a.nbytes for _, planes in sub._pending.values() for a in planes.values())
            assert 0 < held <= 16_000_000, held  # a few frames' worth, not gigabytes
        finally:
            stranger.close()
        assert sub.received == 0 and sub.malformed == 31


def test_a_subscription_started_before_its_publisher_waits_for_it():
    ep = free_endpoint()
    rng = np.random.default_rng(3)
    stop = threading.Event()

    def publish_later():
        time.sleep(6)  # later than a subscription used to wait
        with network.Publisher(stream_info(), key="qtest/late", listen=[ep]) as pub:
            for s in range(600):
                if stop.wait(0.1):
                    break
                pub.put(depth_frame(s, rng))

    begin = time.monotonic()
    with quorvex.subscribe("qtest/late", connect=[ep]) as sub:
        assert time.monotonic() - begin < 5  # returns at once: nothing waits here
        told = []
        sub.on_wait = lambda: told.append(time.monotonic())
        publisher = threading.Thread(target=publish_later)
        publisher.start()
        try:
            # Waits for the publisher within info_timeout (20 s), then stalls after 5 s as before.
            frame = next(sub.frames(stall_timeout=5))
            assert frame.width == W and sub.info == stream_info() and len(told) == 1
        finally:
            stop.set()
            publisher.join(30)
