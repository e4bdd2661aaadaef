"""The quorvex package's camera: context manager, frames as plain data with
drop counts, controls by name, errors as CameraError with the extension's
code, stalls told apart."""
import numpy as np
import pytest

import QuorvexDepthCamera as q
import quorvex
from quorvex.camera import DropCounter

OK = q.TOFErrorCode.QuorvexSuccess


@pytest.fixture
def module_file(tmp_path):
    def write(text):
        path = tmp_path / "module.cfg"
        path.write_text(text)
        return path
    return write


def test_frames_are_plain_data_of_the_scene():
    with quorvex.Camera() as cam:
        frames = list(cam.frames(max_frames=3))
    assert [f.sequence for f in frames] == [0, 1, 2]
    f = frames[-1]
    assert f.depth.shape == f.amplitude.shape == f.confidence.shape == (180, 240)
    assert f.depth.dtype == np.float32
    # The simulated module's wall stands 1500 mm away at the image centre.
    assert abs(float(np.median(f.depth[88:92, 118:122])) - 1500) < 10
    assert frames[0].timestamp_ms < frames[1].timestamp_ms < frames[2].timestamp_ms
    assert frames[0].host_time_ns < frames[1].host_time_ns < frames[2].host_time_ns


def test_read_before_start_says_so():
    with quorvex.Camera() as cam:
        with pytest.raises(quorvex.CameraError, match="start"):
            cam.read(timeout=0.1)
        cam.start()
        assert cam.read(timeout=5) is not None


def test_raw_frames_and_chosen_planes():
    with quorvex.Camera(output="raw") as cam:
        (f,) = cam.frames(max_frames=1)
        assert f.output == "raw" and f.raw.dtype == np.uint16 and f.raw.shape == (720, 240)
        assert f.depth is None
        cam.start("depth")
        (f,) = cam.frames(max_frames=1, planes=("depth",))
        assert f.depth.shape == (180, 240) and f.amplitude is None and f.confidence is None


def test_every_failing_call_raises_with_the_extensions_code(module_file):
    with pytest.raises(quorvex.CameraError) as e:
        quorvex.Camera(config=module_file("no_such_key = 1\n"))
    assert e.value.code == q.TOFErrorCode.QuorvexUnkownError
    with pytest.raises(quorvex.CameraError) as e:
        quorvex.Camera(config=module_file("fail_start = yes\n")).start()
    assert e.value.code is not None and e.value.code != OK
    with quorvex.Camera() as cam:
        with pytest.raises(ValueError, match="unknown control"):
            cam.get_control("brightness")
        # The default module has no frame-rate control: the extension's
        # getControl would quietly give 0.
        with pytest.raises(quorvex.CameraError) as e:
            cam.get_control("frame_rate")
        assert e.value.code == q.TOFErrorCode.QuorvexNotImplemented
        with pytest.raises(quorvex.CameraError) as e:
            cam.set_control("frame_rate", 10)
        assert e.value.code == q.TOFErrorCode.QuorvexNotImplemented
        assert "frame_rate" not in cam.controls and cam.controls["range"] == cam.get_control("range")
    with pytest.raises(quorvex.CameraError, match="closed"):
        cam.get_control("range")
    cam.close()  # closing again is harmless


def test_context_exit_closes_on_exceptions():
    with pytest.raises(KeyError):
        with quorvex.Camera() as cam:
            next(cam.frames())
            raise KeyError("user code failed")
    assert not cam.streaming
    # The module is free again for the next camera.
    with quorvex.Camera() as cam:
        assert len(list(cam.frames(max_frames=2))) == 2


def test_drop_counter_from_module_timestamps():
    c = DropCounter()
    stamps = [1000, 1033, 1067, 1100, 1133, 1167, 1200, 1233, 1267, 1367, 1400, 1434, 1600, 20, 53, 86]
    assert [c.count(t) for t in stamps] == [0] * 9 + [2, 0, 0, 4, 0, 0, 0]
    # A module paced by its reader has no period: its gaps are no losses.
    c = DropCounter()
    assert [c.count(t) for t in [1023, 1036, 1100, 1154, 1219, 1232, 1335, 1373, 1404, 1440]] == [0] * 10
    # A period set in advance counts from the second frame, until the module
    # shows it runs slower than it was set to.
    c = DropCounter(period_ms=1000 / 30)
    assert [c.count(t) for t in [1000, 1033, 1100, 1133, 1233, 1267]] == [0, 0, 1, 0, 2, 0]
    c = DropCounter(period_ms=1000 / 60)
    assert [c.count(t) for t in [1000, 1033, 1067, 1100, 1133, 1167, 1267]] == [0, 1, 1, 0, 0, 0, 0]


def test_frames_missing_from_the_module_clock_are_counted_as_dropped(module_file):
    # A module at 30 frames/s whose frames 10 and 15 never arrive: its clock
    # runs on, its four images per frame 1 ms apart.
    kept = [j for j in range(20) if j not in (10, 15)]
    stamps = [1000 + round(j * 1000 / 30) + i for j in kept for i in range(4)]
    config = module_file(f"fps = 30\ntimestamps = {', '.join(map(str, stamps))}\n")
    # Raw depth: under emulation the filters alone outlast a 33 ms period,
    # and a reader that falls behind loses frames the module did send.
    with quorvex.Camera(config=config, filters=None) as cam:
        frames = list(cam.frames(max_frames=len(kept)))
    assert [f.timestamp_ms - 3 for f in frames] == stamps[::4]
    assert [f.sequence for f in frames if f.dropped] == [10, 14]
    assert sum(f.dropped for f in frames) == 2


def test_stall_says_gone_and_a_new_camera_streams_again(module_file):
    path = module_file("fps = 30\nunplug_after = 48\n")
    for _ in range(2):
        with quorvex.Camera(config=path) as cam:
            got = dropped = 0
            # Long enough for an emulated host's slowest frame.
            with pytest.raises(quorvex.CameraError) as e:
                for frame in cam.frames(stall_timeout=1.5):
                    got += 1
                    dropped += frame.dropped
            assert e.value.reason == "gone" and "failed" in str(e.value)
            # 12 frames before the unplug: a reader a loaded machine holds
            # back sees fewer (the rest recycled), never more.
            assert 1 <= got <= 12, (got, dropped)


def test_stall_says_stalled_when_reads_succeed():
    with quorvex.Camera() as cam:
        # Skip every frame: the module delivers, nothing comes through.
        cam.set_control("skip_frame_loop", 1)
        cam.set_control("skip_frame", 1)
        with pytest.raises(quorvex.CameraError) as e:
            next(cam.frames(stall_timeout=0.4))
        assert e.value.reason == "stalled" and e.value.code is None


# The VGA module's depth image, not its raw layout of (H + 1) * 5 or * 10
# rows, is what the package, recordings and points describe; a dual module
# measures past the single frequency's 1250 mm. Truth: the simulated flat
# wall's distance at the image centre.
@pytest.mark.parametrize("keys, size, mode, distance", [
    ("distance = 1000\n", (640, 480), "single", 1000),
    ("frequency = dual\ndistance = 3000\n", (640, 480), "dual", 3000),
    ("width = 320\nheight = 240\nfrequency = dual\ndistance = 4000\n", (320, 240), "dual", 4000),
    ("width = 320\nheight = 240\ndistance = 1100\n", (320, 240), "single", 1100),
])
def test_vga_is_described_by_its_depth_image(module_file, tmp_path, keys, size, mode, distance):
    cfg = module_file("variant = vga\nfps = 0\nscene = flat\n" + keys)
    with quorvex.Camera(config=cfg, filters=None) as cam:
        info = cam.info
        w, h = size
        assert (info.variant, info.width, info.height) == ("vga", w, h)
        assert (cam.intrinsics.width, cam.intrinsics.height) == size
        assert (info.intrinsics.width, info.intrinsics.height) == size
        controls = cam.controls
        assert controls["range"] == (4500 if mode == "dual" else 1250)
        assert mode in controls.read_only["range"] and "read-only" in repr(controls)
        with pytest.raises(quorvex.CameraError, match="follows its frequency mode"):
            cam.set_control("range", 2000)
        # A VGA frame takes seconds to decode under emulation.
        (f,) = cam.frames(max_frames=1, stall_timeout=60)
        assert f.depth.shape == (h, w)
        assert abs(float(np.median(f.depth[h // 2 - 2:h // 2 + 2, w // 2 - 2:w // 2 + 2])) - distance) < 25
        points = quorvex.depth_to_points(f.depth, cam.intrinsics)
        assert len(points) > 0.9 * w * h
        pytest.importorskip("mcap")  # the record extra, which a board's own Python may lack
        result = quorvex.recording.record(cam, str(tmp_path / "vga.mcap"), max_frames=2)
    with quorvex.open_recording(result.path) as rec:
        assert (rec.info.width, rec.info.height) == size
        assert (rec.info.intrinsics.width, rec.info.intrinsics.height) == size
        assert all(fr.depth.shape == (h, w) for fr in rec.frames())
    network = pytest.importorskip("quorvex.network")
    sent = network.info_from_json(network.info_to_json(info))
    assert (sent.width, sent.height, sent.intrinsics) == (w, h, info.intrinsics)


def test_control_values_and_camera_arguments_are_checked_before_the_extension():
    with quorvex.Camera() as cam:
        cam.set_control("range", 2000)
        cases = [("range", 2**31), ("range", 2**64), ("range", -1), ("range", 0), ("range", 2.9),
                 ("range", True), ("range", "2000"), ("frame_rate", -30), ("skip_frame", -1),
                 ("skip_frame_loop", 0), ("mode", 12), ("frame_mode", -1)]
        for name, value in cases:
            with pytest.raises(ValueError, match=rf"^{name} must be an integer from \d+ to \d+"):
                cam.set_control(name, value)
        assert cam.get_control("range") == 2000  # nothing refused reached the module
        with pytest.raises(ValueError, match="config_dir_ext is not an integer control"):
            cam.set_control("config_dir_ext", 1)
        cam.set_control("range", np.int64(4000))
        assert cam.get_control("range") == 4000
        # The HQVGA module measures at 2000 or 4000 mm and nothing between.
        for value in (12345, 1000, 3000, 1999, 4001):
            with pytest.raises(ValueError, match=r"^range must be 2000 or 4000 on the HQVGA module"):
                cam.set_control("range", value)
        assert cam.get_control("range") == 4000
    for value in (10**20, -1, 0.0, True):
        with pytest.raises(ValueError, match="^index must be an integer from 0 to 2147483647"):
            quorvex.Camera(index=value)
