"""Recordings: frames of the simulated module into MCAP files of ROS 2
messages and back, read also by an independent ROS 2 bag reader, and what
is left of a file after a kill, a full disk or damage."""
import errno
import os
import resource
import signal
import subprocess
import sys
import time
import warnings
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("mcap")
pytest.importorskip("mcap_ros2")

import quorvex  # noqa: E402
from quorvex import recording, rosmsg  # noqa: E402

ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))


def config(tmp_path, **keys):
    path = tmp_path / "module.cfg"
    path.write_text("".join(f"{k} = {v}\n" for k, v in keys.items()))
    return str(path)


class Tee:
    """A source that keeps what it passes on, to compare with playback."""

    def __init__(self, source):
        self.source, self.info, self.seen = source, source.info, []

    def frames(self, max_frames=None):
        for f in self.source.frames(max_frames=max_frames):
            self.seen.append(f)
            yield f


def record_frames(tmp_path, name, n, output="depth", compression="zstd", **cfg):
    path = tmp_path / name
    with quorvex.Camera(config=config(tmp_path, **cfg), output=output) as cam:
        tee = Tee(cam)
        result = recording.record(tee, path, max_frames=n, compression=compression)
    assert result.stats.frames_written == n and result.stats.dropped_by_recorder == 0
    return path, tee.seen


def bits(a):
    return np.ascontiguousarray(a).view(np.uint8)


def assert_same_frames(live, played, coded=False):
    """Bit for bit (depth through metres), or with `coded` as 16-bit
    planes keep them: the nearest whole value of each."""
    assert len(played) == len(live)
    for i, (a, b) in enumerate(zip(live, played)):
        assert b.sequence == i
        assert (b.timestamp_ms, b.dropped, b.width, b.height, b.output) == \
               (a.timestamp_ms, a.dropped, a.width, a.height, a.output)
        if a.output == "raw":
            assert b.raw.dtype == np.uint16 and np.array_equal(bits(a.raw), bits(b.raw))
            assert b.depth is None and b.amplitude is None
            continue
        if coded:
            for plane in ("depth", "amplitude", "confidence"):
                kept, was = getattr(b, plane), getattr(a, plane)
                assert kept.dtype == np.float32
                assert np.array_equal(kept, np.rint(was)), plane
                assert np.abs(kept - was).max() <= 0.5
            assert np.array_equal(a.depth == 0, b.depth == 0)
            continue
        for plane in ("amplitude", "confidence"):
            assert getattr(b, plane).dtype == np.float32
            assert np.array_equal(bits(getattr(a, plane)), bits(getattr(b, plane)))
        # Depth goes through metres: back within one float32 step, invalid stays 0.
        assert b.depth.dtype == np.float32 and b.raw is None
        assert np.array_equal(a.depth == 0, b.depth == 0)
        steps = np.abs(a.depth.view(np.int32).astype(np.int64) - b.depth.view(np.int32))
        assert steps.max() <= 1


@pytest.mark.parametrize("output", ["depth", "raw"])
@pytest.mark.parametrize("compression", recording.COMPRESSIONS)
def test_round_trip_of_each_output_and_compression(tmp_path, output, compression):
    path, live = record_frames(tmp_path, "rt.mcap", 4, output=output, compression=compression,
                               fps=0, noise=20, scene="sphere")
    with quorvex.open_recording(path, realtime=False) as rec:
        assert rec.info.output == output and (rec.info.width, rec.info.height) == (240, 180)
        assert rec.info.source == f"recording:{path}"
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            played = list(rec.frames())
        assert_same_frames(live, played, coded=compression == "depth")
        assert len(list(rec.frames(max_frames=2))) == 2  # again from the start


def test_depth_conversion_is_within_one_step_over_every_float32_of_a_binade():
    # One binade of millimetres near the module's range, every value in it.
    u = np.arange(np.float32(1024).view(np.uint32), np.float32(2048).view(np.uint32), dtype=np.uint32)
    mm = u.view(np.float32)
    metres = rosmsg.depth_to_metres(mm)
    back = rosmsg.depth_to_millimetres(metres)
    assert np.abs(back.view(np.uint32).astype(np.int64) - u).max() <= 1
    # Recording a played-back recording again changes no depth bit.
    assert np.array_equal(rosmsg.depth_to_metres(back), metres)
    zero = rosmsg.depth_to_metres(np.zeros(3, np.float32))
    assert np.isnan(zero).all() and not rosmsg.depth_to_millimetres(zero).any()


def test_playback_keeps_the_recorded_pace(tmp_path):
    path, live = record_frames(tmp_path, "pace.mcap", 6, fps=30)
    span = (live[-1].timestamp_ms - live[0].timestamp_ms) / 1000
    with quorvex.open_recording(path) as rec:
        begin = time.monotonic()
        played = list(rec.frames())
        elapsed = time.monotonic() - begin
    assert len(played) == 6 and elapsed >= span * 0.9
    assert all(b.host_time_ns > a.host_time_ns for a, b in zip(played, played[1:]))


def test_an_independent_ros2_reader_decodes_images_info_and_frame_info(tmp_path):
    highlevel = pytest.importorskip("rosbags.highlevel")
    path, live = record_frames(tmp_path, "bag.mcap", 3, fps=0)
    intr = quorvex.open_recording(path).info.intrinsics
    got, logged = {}, {}
    with highlevel.AnyReader([path]) as reader:
        for conn, log_time, raw in reader.messages(connections=reader.connections):
            got.setdefault(conn.topic, []).append(reader.deserialize(raw, conn.msgtype))
            logged.setdefault(conn.topic, []).append(log_time)
    assert {t: len(m) for t, m in got.items()} == {
        "/quorvex/depth/image": 3, "/quorvex/amplitude/image": 3, "/quorvex/confidence/image": 3,
        "/quorvex/camera_info": 3, "/quorvex/frame_info": 3}
    for frame, img, amp, ci, fi, arrived in zip(live, got["/quorvex/depth/image"], got["/quorvex/amplitude/image"],
                                                got["/quorvex/camera_info"], got["/quorvex/frame_info"],
                                                logged["/quorvex/frame_info"]):
        assert (img.encoding, img.height, img.width) == ("32FC1", 180, 240)
        # Headers hold the capture time on the system clock: the arrival
        # (log time, on the wall clock) a little later; the module's own
        # stamp is kept in the frame's info.
        stamp = img.header.stamp.sec * 10**9 + img.header.stamp.nanosec
        assert 0 <= arrived - stamp < 10**9
        assert {(m.header.stamp.sec, m.header.stamp.nanosec) for m in (img, amp, ci, fi)} == {
            (img.header.stamp.sec, img.header.stamp.nanosec)}
        assert (fi.module_stamp_ms, fi.capture_ns) == (frame.timestamp_ms, frame.capture_ns)
        metres = np.frombuffer(img.data.tobytes(), "<f4").reshape(180, 240)
        assert np.array_equal(bits(metres), bits(rosmsg.depth_to_metres(frame.depth)))
        valid = frame.depth > 0
        assert np.isnan(metres[~valid]).all()
        assert np.allclose(metres[valid] * 1000, frame.depth[valid], rtol=1e-6)
        assert np.array_equal(np.frombuffer(amp.data.tobytes(), "<f4").reshape(180, 240), frame.amplitude)
        assert list(ci.k) == [intr.fx, 0, intr.cx, 0, intr.fy, intr.cy, 0, 0, 1]
        assert (fi.sequence, fi.dropped_by_recorder, fi.output) == (frame.sequence, 0, "depth")


def run_module(*args, **kw):
    return subprocess.run([sys.executable, "-m", "quorvex", *args], env=ENV, capture_output=True,
                          text=True, timeout=60, **kw)


def test_command_records_and_info_summarises(tmp_path):
    out = tmp_path / "cli.mcap"
    cfg = config(tmp_path, fps=0)
    r = run_module("record", str(out), "--frames", "5", "--config", cfg, "--output", "raw",
                   "--compression", "lz4")
    assert r.returncode == 0, r.stderr
    assert "5 frames" in r.stderr and "dropped 0" in r.stderr
    again = run_module("record", str(out), "--frames", "1", "--config", cfg)
    assert again.returncode == 2 and "exists" in again.stderr
    info = run_module("info", str(out))
    assert info.returncode == 0, info.stderr
    assert "frames:       5 " in info.stdout and "raw" in info.stdout and "lz4" in info.stdout
    assert "complete" in info.stdout
    assert quorvex.open_recording(out).info.controls  # the controls in force were kept

    # A recording is a source too: recompressed, the same frames bit for bit.
    copy = tmp_path / "copy.mcap"
    r = run_module("record", str(copy), "--from", str(out), "--compression", "none", "--frames", "4")
    assert r.returncode == 0, r.stderr
    first = list(quorvex.open_recording(out, realtime=False).frames(max_frames=4))
    again = list(quorvex.open_recording(copy, realtime=False).frames())
    assert [bits(f.raw).tobytes() for f in first] == [bits(f.raw).tobytes() for f in again]


def start_recorder(tmp_path, name, *extra, **popen):
    out = tmp_path / name
    proc = subprocess.Popen([sys.executable, "-m", "quorvex", "record", str(out), "--quiet",
                             "--compression", "none", *extra], env=ENV, stderr=subprocess.PIPE,
                            text=True, **popen)
    return proc, out


def wait_for_size(proc, path, size, limit=30):
    end = time.monotonic() + limit
    while time.monotonic() < end and proc.poll() is None:
        if path.exists() and path.stat().st_size >= size:
            return
        time.sleep(0.05)
    raise AssertionError(f"{path} did not reach {size} bytes")


def test_killed_recorder_leaves_every_complete_frame_readable(tmp_path):
    proc, out = start_recorder(tmp_path, "killed.mcap")
    try:
        wait_for_size(proc, out, 4 << 20)
    finally:
        proc.send_signal(signal.SIGKILL)
        proc.communicate(timeout=10)
    with pytest.warns(recording.RecordingWarning, match="did not finish"):
        frames = list(quorvex.open_recording(out, realtime=False).frames())
    assert len(frames) >= 4
    assert [f.sequence for f in frames] == list(range(len(frames)))
    for f in frames:  # the simulated wall, 1.5 m away at the centre: no garbage
        assert abs(float(np.median(f.depth[85:95, 115:125])) - 1500) < 20
        assert f.amplitude.shape == f.confidence.shape == (180, 240)
    info = run_module("info", str(out))
    assert info.returncode == 0 and "not finished" in info.stdout


def test_interrupted_recorder_ends_the_file_cleanly(tmp_path):
    proc, out = start_recorder(tmp_path, "stopped.mcap")
    wait_for_size(proc, out, 1 << 20)
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=20)
    assert proc.returncode == 0, err
    assert "stopped:" in err
    report, counts, stamps = recording.scan_recording(out)
    assert report.finished and not report.problems and len(stamps) > 0
    assert "quorvex.summary" in report.metadata


def test_file_cut_anywhere_reads_back_a_prefix_of_its_frames(tmp_path):
    from mcap.reader import make_reader

    path, _ = record_frames(tmp_path, "whole.mcap", 6, compression="lz4", fps=0)
    whole = list(quorvex.open_recording(path, realtime=False).frames())
    with open(path, "rb") as f:
        first_chunk = make_reader(f).get_summary().chunk_indexes[0].chunk_start_offset
    data = path.read_bytes()
    cut = tmp_path / "cut.mcap"
    seen = set()
    for size in list(range(0, first_chunk, 37)) + list(range(first_chunk, len(data), len(data) // 23)):
        cut.write_bytes(data[:size])
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                frames = list(quorvex.open_recording(cut, realtime=False).frames())
        except quorvex.CameraError as e:
            assert size < first_chunk, f"cut at {size}: {e}"  # only a cut inside the description fails
            continue
        seen.add(len(frames))
        for a, b in zip(whole, frames):
            assert b.timestamp_ms == a.timestamp_ms and np.array_equal(a.depth, b.depth)
    assert len(seen) >= 3


def test_file_size_limit_stops_the_recording_with_a_clear_error(tmp_path):
    limit = 3 << 20

    def limited():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    proc, out = start_recorder(tmp_path, "limited.mcap", "--seconds", "30", preexec_fn=limited)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == 1
    assert "file size limit" in err and "frames before it are readable" in err
    assert out.stat().st_size <= limit
    with pytest.warns(recording.RecordingWarning):
        frames = list(quorvex.open_recording(out, realtime=False).frames())
    assert len(frames) >= 2 and f"the {len(frames)} frames" in err


class SlowOrFullDisk:
    """os.write for the recorder's file: slow, or failing once `budget`
    bytes were written."""

    def __init__(self, delay=0.0, budget=None):
        self.delay, self.budget, self.real = delay, budget, os.write

    def __call__(self, fd, data):
        time.sleep(self.delay)
        if self.budget is not None:
            if self.budget < len(data):
                raise OSError(errno.ENOSPC, "No space left on device")
            self.budget -= len(data)
        return self.real(fd, data)


def test_slow_disk_drops_and_counts_frames_instead_of_queueing(tmp_path, monkeypatch):
    with quorvex.Camera(config=config(tmp_path, fps=0)) as cam:
        live = list(cam.frames(max_frames=40))
        info = cam.info
    monkeypatch.setattr(recording.os, "write", SlowOrFullDisk(delay=0.02))
    path = tmp_path / "slow.mcap"
    begin = time.monotonic()
    with recording.RecordingWriter(path, info, compression="none", queue_frames=2,
                                   chunk_size=1) as rec:
        taken = [rec.offer(f) for f in live]
        offering = time.monotonic() - begin
    monkeypatch.undo()
    assert offering < 0.02 * len(live) * 3  # never waited for the disk per frame
    assert rec.stats.dropped_by_recorder == taken.count(False) > 0
    played = list(quorvex.open_recording(path, realtime=False).frames())
    assert len(played) == taken.count(True) == rec.stats.frames_written
    assert sum(f.dropped for f in played) + taken[::-1].index(True) == taken.count(False)
    summary = recording.scan_recording(path)[0].metadata["quorvex.summary"]
    assert summary["dropped_by_recorder"] == str(taken.count(False))
    kept = [f for f, t in zip(live, taken) if t]
    assert [f.timestamp_ms for f in played] == [f.timestamp_ms for f in kept]

    # A source that can wait (a file) loses nothing to the same slow disk.
    monkeypatch.setattr(recording.os, "write", SlowOrFullDisk(delay=0.02))
    copy = recording.record(quorvex.open_recording(path, realtime=False), tmp_path / "copy.mcap",
                            compression="none", queue_frames=1, block=True)
    monkeypatch.undo()
    assert copy.stats.frames_written == len(played) and copy.stats.dropped_by_recorder == 0


def test_full_disk_stops_with_a_clear_error_and_keeps_the_frames_before(tmp_path, monkeypatch):
    with quorvex.Camera(config=config(tmp_path, fps=0)) as cam:
        live = list(cam.frames(max_frames=12))
        info = cam.info
    monkeypatch.setattr(recording.os, "write", SlowOrFullDisk(budget=2_500_000))
    path = tmp_path / "full.mcap"
    rec = recording.RecordingWriter(path, info, compression="none", queue_frames=len(live))
    with pytest.raises(quorvex.CameraError, match="disk is full"):
        for f in live:
            rec.offer(f)
        rec.close()
    monkeypatch.undo()
    with pytest.warns(recording.RecordingWarning):
        played = list(quorvex.open_recording(path, realtime=False).frames())
    assert 2 <= len(played) == rec.stats.frames_on_disk < len(live)
    assert_same_frames(live[:len(played)], played)


def test_foreign_damaged_and_missing_files_raise_clear_errors(tmp_path):
    from mcap.writer import Writer

    text = tmp_path / "notes.mcap"
    text.write_text("not a recording\n")
    other = tmp_path / "other.mcap"
    with open(other, "wb") as f:
        w = Writer(f)
        w.start()
        schema = w.register_schema("x", "jsonschema", b"{}")
        w.add_message(w.register_channel("/x", "json", schema), 0, b"{}", 0)
        w.finish()
    cases = [(tmp_path / "none.mcap", "cannot open"), (text, "not an MCAP file"),
             (other, "not a quorvex recording")]
    empty = tmp_path / "empty.mcap"
    empty.write_bytes(b"")
    cases.append((empty, "not an MCAP file"))
    for path, message in cases:
        with pytest.raises(quorvex.CameraError, match=message):
            quorvex.open_recording(path)

    path, live = record_frames(tmp_path, "damaged.mcap", 6, compression="none", fps=0)
    data = bytearray(path.read_bytes())
    data[len(data) // 2] ^= 0x55  # inside a chunk: its checksum no longer holds
    path.write_bytes(bytes(data))
    with pytest.raises(quorvex.CameraError, match="damaged record"):
        list(quorvex.open_recording(path, realtime=False).frames())
    with pytest.warns(recording.RecordingWarning, match="skipped"):
        kept = list(quorvex.open_recording(path, realtime=False, skip_corrupt=True).frames())
    assert 0 < len(kept) < 6
    stamps = {f.timestamp_ms for f in live}
    assert all(f.timestamp_ms in stamps for f in kept)

    # Damage anywhere (record headers, metadata, compressed data, the
    # summary) gives frames of the recording or a CameraError, nothing else.
    path, live = record_frames(tmp_path, "flipped.mcap", 3, compression="lz4", fps=0)
    good = path.read_bytes()
    stamps = {f.timestamp_ms for f in live}
    rng = np.random.default_rng(17)
    for at in rng.integers(0, len(good), 40):
        data = bytearray(good)
        data[at] ^= 1 << int(rng.integers(0, 8))
        path.write_bytes(bytes(data))
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                frames = list(quorvex.open_recording(path, realtime=False, skip_corrupt=bool(at % 2)).frames())
        except quorvex.CameraError:
            continue
        assert all(f.timestamp_ms in stamps and f.depth.shape == (180, 240) for f in frames), at


def chunk_record(records_size, crc, data, compression):
    """An MCAP chunk record, as a hostile writer may make one."""
    comp = compression.encode()
    body = (bytes(16) + records_size.to_bytes(8, "little") + crc.to_bytes(4, "little")
            + len(comp).to_bytes(4, "little") + comp + len(data).to_bytes(8, "little") + data)
    return b"\x06" + len(body).to_bytes(8, "little") + body


def zeros_zstd(mib):
    """zstd of `mib` MiB of zeros and their CRC, made a MiB at a time."""
    import zlib

    import zstandard

    block, crc = bytes(1 << 20), 0
    z = zstandard.ZstdCompressor().compressobj()
    out = []
    for _ in range(mib):
        out.append(z.compress(block))
        crc = zlib.crc32(block, crc)
    return b"".join(out) + z.flush(), crc


def test_hostile_chunks_are_refused_before_they_cost_time_or_memory(tmp_path, capsys):
    import tracemalloc
    import zlib

    import zstandard
    from mcap.reader import make_reader

    from quorvex.commands import main

    zeros, zeros_crc = zeros_zstd(64)
    empty_messages = (b"\x05" + (22).to_bytes(8, "little") + bytes(22)) * (8_000_000 // 31)
    hostile = {
        "claims 64 MiB": chunk_record(64 << 20, zeros_crc, zeros, "zstd"),
        "inflates beyond its claim": chunk_record(1 << 20, zeros_crc, zeros, "zstd"),
        "floods empty messages": chunk_record(len(empty_messages), zlib.crc32(empty_messages),
                                              zstandard.ZstdCompressor().compress(empty_messages), "zstd"),
    }
    path, live = record_frames(tmp_path, "whole.mcap", 3, fps=0)
    with open(path, "rb") as f:
        starts = [c.chunk_start_offset for c in make_reader(f).get_summary().chunk_indexes]
    assert len(starts) >= 2
    good = path.read_bytes()
    bad = tmp_path / "hostile.mcap"
    for what, chunk in hostile.items():
        # Where the first frame should be: the recording cannot be opened.
        bad.write_bytes(good[:starts[0]] + chunk + good[starts[0]:])
        tracemalloc.start()
        try:
            with pytest.raises(quorvex.CameraError, match="damaged record"):
                quorvex.open_recording(bad)
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert peak < 16 << 20, f"{what}: {peak} bytes"
        capsys.readouterr()
        assert main(["info", str(bad)]) == 1
        err = capsys.readouterr().err
        assert err.count("\n") == 1 and "damaged record" in err, (what, err)
        # Between frames: `info` names it in one line and the frames around it read back.
        bad.write_bytes(good[:starts[1]] + chunk + good[starts[1]:])
        assert main(["info", str(bad)]) == 0
        problems = [ln for ln in capsys.readouterr().out.splitlines() if ln.startswith("problem:")]
        assert len(problems) == 1 and "damaged record" in problems[0], (what, problems)
        with pytest.warns(recording.RecordingWarning):
            kept = list(quorvex.open_recording(bad, realtime=False, skip_corrupt=True).frames())
        assert [f.timestamp_ms for f in kept] == [f.timestamp_ms for f in live], what


def test_a_drop_count_beyond_what_the_file_holds_saturates_instead_of_ending_the_recording(tmp_path):
    # A subscription adds sequence gaps to the sender's count: it can pass 32 bits.
    with quorvex.Camera(config=config(tmp_path, fps=0)) as cam:
        live = list(cam.frames(max_frames=2))
        info = cam.info
    live[0].dropped = 2**32 + 5
    path = tmp_path / "drops.mcap"
    with recording.RecordingWriter(path, info) as rec:
        for f in live:
            rec.offer(f, block=True)
    played = list(quorvex.open_recording(path, realtime=False).frames())
    assert [f.dropped for f in played] == [2**32 - 1, live[1].dropped]


def _shrink_width(f):
    f.width -= 1


def _huge(f):
    f.width = f.height = 4096


def _raw_of_another_size(f):
    f.raw = f.raw[:5, :5].copy()


def _beyond_the_stream(f):
    f.width += 16  # the metadata says 240 wide


@pytest.mark.parametrize("output, change, why", [
    ("depth", _shrink_width, "frame 1 of 239 x 180: depth: .*240 x 180, expected 239 x 180"),
    ("depth", _huge, "frame 1: a depth frame of 4096 x 4096: larger than any"),
    ("depth", _beyond_the_stream, "frame 1: a depth frame of 256 x 180: larger than any of a 240 x 180 stream"),
    ("raw", _raw_of_another_size, "frame 1 of 240 x 720: raw: .*5 x 5, expected 240 x 720"),
    ("raw", _huge, "frame 1: a raw frame of 4096 x 4096: larger than any"),
])
@pytest.mark.parametrize("compression", ["zstd", "depth"])
def test_a_frame_whose_size_is_not_its_planes_or_beyond_any_module_is_refused(tmp_path, output, change,
                                                                              why, compression):
    with quorvex.Camera(config=config(tmp_path, fps=0), output=output) as cam:
        live = list(cam.frames(max_frames=2))
        info = cam.info
    change(live[1])
    path = tmp_path / "sizes.mcap"
    with recording.RecordingWriter(path, info, compression=compression) as rec:
        for f in live:
            rec.offer(f, block=True)
    with pytest.raises(quorvex.CameraError, match=why):
        list(quorvex.open_recording(path, realtime=False).frames())
    with pytest.warns(recording.RecordingWarning, match="skipped"):
        kept = list(quorvex.open_recording(path, realtime=False, skip_corrupt=True).frames())
    assert [f.timestamp_ms for f in kept] == [live[0].timestamp_ms]


def test_frames_of_recordings_from_before_capture_times_keep_the_module_stamp():
    """A FrameInfo written before the header carried the capture time: its
    header has the module's clock, and no capture time is made up."""
    from types import SimpleNamespace as NS
    planes = {"raw": NS(**rosmsg.image_message(np.zeros((3, 4), np.uint16), 1234, "f", "16UC1"))}
    planes["raw"].header = NS(stamp=NS(sec=1, nanosec=234_000_000))
    old = NS(header=NS(stamp=NS(sec=1, nanosec=234_000_000)), output="raw", width=4, height=3,
             sequence=0, host_time_ns=5)
    frame = rosmsg.frame_from_messages(old, planes, sequence=0, dropped=0, host_time_ns=10**12,
                                       depth_in_metres=True)
    assert (frame.timestamp_ms, frame.capture_ns) == (1234, None)
    # A current one: the module's stamp from the info, the capture as far
    # before this arrival as it was before the recorded one.
    new = NS(**vars(old), module_stamp_ms=1234, capture_ns=2)
    new.header = NS(stamp=NS(sec=1_700_000_000, nanosec=0))
    frame = rosmsg.frame_from_messages(new, planes, sequence=0, dropped=0, host_time_ns=10**12,
                                       depth_in_metres=True)
    assert (frame.timestamp_ms, frame.capture_ns) == (1234, 10**12 - 3)


# The recordings in data/ were written by version 0.1.0's RecordingWriter
# with compression="depth" from these frames, when the planes coded our own
# way went on `.../compressed`.
LEGACY_W, LEGACY_H = 16, 12


def legacy_frames(output):
    rng = np.random.default_rng(37)
    frames = []
    for i in range(3):
        if output == "raw":
            f = quorvex.Frame(sequence=i, timestamp_ms=1000 + 33 * i, host_time_ns=0, dropped=i,
                              width=LEGACY_W, height=4 * LEGACY_H, output="raw")
            f.raw = rng.integers(0, 4096, (4 * LEGACY_H, LEGACY_W), dtype=np.uint16)
        else:
            f = quorvex.Frame(sequence=i, timestamp_ms=1000 + 33 * i, host_time_ns=0, dropped=i,
                              width=LEGACY_W, height=LEGACY_H, output="depth")
            f.depth = np.rint(rng.random((LEGACY_H, LEGACY_W)) * 3000).astype(np.float32)
            f.depth[0, :3] = 0
            f.amplitude = np.rint(rng.random((LEGACY_H, LEGACY_W)) * 900).astype(np.float32)
            f.confidence = (f.amplitude.copy() if i == 0 else
                            np.rint(rng.random((LEGACY_H, LEGACY_W)) * 30).astype(np.float32))
        frames.append(f)
    return frames


@pytest.mark.parametrize("output", ["depth", "raw"])
def test_coded_planes_of_our_own_go_on_lossless_topics_and_older_recordings_still_play(tmp_path, output):
    # ROS's `compressed` transport decodes JPEG and PNG: our codings must not be under its name.
    path, live = record_frames(tmp_path, "coded.mcap", 2, output=output, compression="depth", fps=0)
    _report, counts, _stamps = recording.scan_recording(path)
    planes = {"depth": ["/quorvex/amplitude/image/lossless", "/quorvex/confidence/image/lossless",
                        "/quorvex/depth/image/compressedDepth"],
              "raw": ["/quorvex/raw/image/lossless"]}[output]
    assert sorted(counts) == sorted(planes + ["/quorvex/camera_info", "/quorvex/frame_info"])

    old = Path(__file__).with_name("data") / f"coded-{output}-0.1.mcap"
    _report, counts, _stamps = recording.scan_recording(old)
    assert any(t.endswith("/image/compressed") for t in counts)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        played = list(quorvex.open_recording(old, realtime=False).frames())
    assert_same_frames(legacy_frames(output), played, coded=True)
