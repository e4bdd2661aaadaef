"""The viewer in a real headless Chromium (Debian's chromium and
chromium-driver, driven by Selenium). Screenshots are kept in
build/test-artifacts/viewer/. Without the browser these tests skip, unless
QUORVEX_REQUIRE_BROWSER=1 (`make test-browser`) makes that a failure."""
import dataclasses
import http.server
import io
import os
import re
import runpy
import shutil
import subprocess
import sys
import threading
import time
import types
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("aiohttp")
webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import Select  # noqa: E402

import quorvex  # noqa: E402
from quorvex import colormap  # noqa: E402
from quorvex.viewer import ServerThread, Viewer  # noqa: E402
from quorvex.viewer.playback import Playback  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
ARTIFACTS = ROOT / "build" / "test-artifacts" / "viewer"
DOWNLOADS = ARTIFACTS / "downloads"
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
DRIVER = shutil.which("chromedriver") or "/usr/bin/chromedriver"
REBIND = "rebind.test"  # a foreign name the browser resolves to this machine


def _browser_missing():
    missing = [p for p in (CHROMIUM, DRIVER) if not os.path.exists(p)]
    if missing:
        if os.environ.get("QUORVEX_REQUIRE_BROWSER") == "1":
            pytest.fail(f"headless browser missing: {missing} (tools/setup.sh chromium chromium-driver)")
        pytest.skip(f"headless browser missing: {missing}")


def start_browser():
    _browser_missing()
    opts = webdriver.ChromeOptions()
    opts.binary_location = CHROMIUM
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
              "--window-size=1400,1000", f"--host-resolver-rules=MAP {REBIND} 127.0.0.1"):
        opts.add_argument(a)
    opts.add_experimental_option("prefs", {"download.default_directory": str(DOWNLOADS),
                                           "download.prompt_for_download": False})
    driver = webdriver.Chrome(options=opts, service=webdriver.ChromeService(executable_path=DRIVER))
    driver.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "allow", "downloadPath": str(DOWNLOADS)})
    return driver


@pytest.fixture(scope="module")
def browser():
    DOWNLOADS.mkdir(parents=True, exist_ok=True)
    driver = start_browser()
    driver.set_page_load_timeout(30)
    yield driver
    driver.quit()


def wait_for(predicate, seconds=60.0, what="condition"):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = predicate()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


def frames_drawn(driver):
    return int(driver.find_element(By.TAG_NAME, "body").get_attribute("data-frames") or 0)


def open_viewer(driver, viewer, n_frames=3):
    driver.get(viewer.url("127.0.0.1"))
    wait_for(lambda: frames_drawn(driver) >= n_frames, 60, "frames drawn by the page")


def canvas_pixels(driver, name, canvas="depth"):
    from PIL import Image  # matplotlib's dependency

    element = driver.find_element(By.ID, canvas)
    driver.execute_script("arguments[0].scrollIntoView({block: 'center'});", element)
    png = element.screenshot_as_png
    (ARTIFACTS / name).write_bytes(png)
    return np.asarray(Image.open(io.BytesIO(png)).convert("RGB"), dtype=np.int16)


def test_live_page_readout_and_range_control(browser):
    with quorvex.Camera() as cam, ServerThread(Viewer(cam, port=0)) as server:
        open_viewer(browser, server.viewer)
        browser.save_screenshot(str(ARTIFACTS / "page.png"))
        # Offered: range and skipping; the USB HQVGA module has no frame-rate control.
        assert browser.find_elements(By.ID, "ctl-range") and browser.find_elements(By.ID, "ctl-skip")
        assert not browser.find_elements(By.ID, "ctl-frame_rate")
        assert float(browser.find_element(By.ID, "fps-camera").text.split()[0]) > 0  # a rate, whatever the load

        # The depth under the mouse at the image centre, where the wall stands 1500 mm away.
        canvas = browser.find_element(By.ID, "depth")
        rect = canvas.rect
        u, v = 120, 90
        dx = round((u + 0.5) * rect["width"] / 240 - rect["width"] / 2)
        dy = round((v + 0.5) * rect["height"] / 180 - rect["height"] / 2)
        ActionChains(browser).move_to_element_with_offset(canvas, dx, dy).perform()
        readout = browser.find_element(By.ID, "readout")
        wait_for(lambda: readout.get_attribute("data-mm"), 60, "a readout")
        assert abs(int(readout.get_attribute("data-u")) - u) <= 1
        assert abs(int(readout.get_attribute("data-v")) - v) <= 1
        assert abs(int(readout.get_attribute("data-mm")) - 1500) <= 15, readout.text
        assert readout.text.endswith(" mm")

        # The point cloud, drawn from the start, through the nominal lens.
        assert browser.find_element(By.ID, "points-on").is_selected()
        assert browser.find_element(By.ID, "lens-note").text == "nominal lens, not a calibration"
        n = frames_drawn(browser)
        wait_for(lambda: frames_drawn(browser) >= n + 3, 60)
        lit = canvas_pixels(browser, "points.png", "points").sum(axis=2) > 0
        assert lit.mean() > 0.05, lit.mean()

        # Range from the page reaches the camera.
        assert cam.get_control("range") == 4000
        Select(browser.find_element(By.ID, "ctl-range")).select_by_value("2000")
        wait_for(lambda: cam.get_control("range") == 2000, 60, "the camera's range to change")
        wait_for(lambda: frames_drawn(browser) > 0, 60)
        browser.save_screenshot(str(ARTIFACTS / "page-range-2000.png"))


def fixed_colour_range(browser, low, high):
    """Sets the page's colour range to `low`..`high` mm and waits until
    frames drawn with it are on the page."""
    browser.find_element(By.ID, "cmode-fixed").click()
    for el, value in (("cmin", low), ("cmax", high)):
        box = browser.find_element(By.ID, el)
        box.clear()
        box.send_keys(str(value))
    n = frames_drawn(browser)
    wait_for(lambda: frames_drawn(browser) >= n + 2, 60)


def test_depth_picture_follows_the_moving_scene(browser, tmp_path):
    cfg = tmp_path / "moving.cfg"
    cfg.write_text("motion = 5\nmotion_period = 200\n")
    with quorvex.Camera(config=cfg) as cam, ServerThread(Viewer(cam, port=0)) as server:
        open_viewer(browser, server.viewer)
        # A fixed colour range: in automatic mode a wall moving as a whole keeps its colours.
        fixed_colour_range(browser, 1000, 3000)
        first = canvas_pixels(browser, "depth-1.png")
        n = frames_drawn(browser)
        wait_for(lambda: frames_drawn(browser) >= n + 12, 60, "a dozen more frames")
        second = canvas_pixels(browser, "depth-2.png")
        assert first.shape == second.shape
        assert np.abs(first - second).mean() > 2.0


def test_refusals_in_the_browser(browser, tmp_path):
    said = []
    with quorvex.Camera() as cam, ServerThread(Viewer(cam, port=0, log=said.append)) as server:
        v = server.viewer
        # Wrong token.
        browser.get(f"http://127.0.0.1:{v.port}/?token=wrong")
        assert "refused: wrong token" in browser.find_element(By.TAG_NAME, "body").text
        # A foreign name resolving to this machine (a re-pointed DNS name).
        browser.get(f"http://{REBIND}:{v.port}/?token={v.token}")
        assert "refused: unknown Host" in browser.find_element(By.TAG_NAME, "body").text
        # A page of another origin trying the WebSocket.
        (tmp_path / "index.html").write_text(
            "<!DOCTYPE html><title>waiting</title><script>"
            f"const ws = new WebSocket('ws://127.0.0.1:{v.port}/ws?token={v.token}');"
            "ws.onopen = () => document.title = 'open';"
            "ws.onerror = () => document.title = 'refused';</script>")
        handler = lambda *a, **k: http.server.SimpleHTTPRequestHandler(*a, directory=str(tmp_path), **k)  # noqa: E731
        other = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=other.serve_forever, daemon=True).start()
        try:
            browser.get(f"http://127.0.0.1:{other.server_address[1]}/")
            assert wait_for(lambda: browser.title if browser.title != "waiting" else None, 60) == "refused"
            # The browser may ask for an icon of the refused pages meanwhile: only the
            # WebSocket's refusal is counted here.
            sockets = [line for line in said if line.startswith("refused GET /ws ")]
            assert len(sockets) == 1 and sockets[0].endswith("foreign Origin"), said
        finally:
            other.shutdown()
            other.server_close()
        # The viewer still serves its own page.
        open_viewer(browser, v)
        browser.save_screenshot(str(ARTIFACTS / "after-refusals.png"))


def body(driver, key):
    return driver.find_element(By.TAG_NAME, "body").get_attribute("data-" + key)


def shown_frame(driver):
    f = driver.execute_script("return window.quorvexView.frame();")
    depth = np.array(f["depth"], np.uint16).reshape(f["height"], f["width"])
    return f, depth, np.array(f["points"], np.float32).reshape(-1, 3)


def pause(driver):
    driver.find_element(By.ID, "pause").click()
    seq = body(driver, "sequence")
    time.sleep(0.3)  # a frame drawn as the button was pressed
    return body(driver, "sequence") if seq is not None else seq


def load_demo():
    # The example is a script, not a module of the package: its functions
    # are taken from a run of its top level (the run name keeps its main
    # part from starting).
    return types.SimpleNamespace(**runpy.run_path(str(ROOT / "examples" / "demo.py"), run_name="demo"))


def sphere_camera(tmp_path):
    cfg = tmp_path / "sphere.cfg"
    cfg.write_text("scene = sphere\n")
    return quorvex.Camera(config=cfg, filters=None)


def test_page_points_follow_a_calibrated_lens(browser, tmp_path):
    # The page undistorts each pixel's ray as depth_to_points does.
    lens = quorvex.Intrinsics(240, 180, 201.0, 199.5, 121.3, 88.4, k1=-0.28, k2=0.09, p1=0.0008, p2=-0.0006)
    cfg = tmp_path / "sphere.cfg"
    cfg.write_text("scene = sphere\nlens_fx = 201\nlens_fy = 199.5\nlens_cx = 121.3\nlens_cy = 88.4\n"
                   "lens_k1 = -0.28\nlens_k2 = 0.09\nlens_p1 = 0.0008\nlens_p2 = -0.0006\n")
    with quorvex.Camera(config=cfg, filters=None, calibration=lens) as cam, \
            ServerThread(Viewer(cam, port=0)) as server:
        open_viewer(browser, server.viewer)
        assert browser.find_element(By.ID, "lens-note").text == "the lens the source or --calibration gives"
        pause(browser)
        f, depth, points = shown_frame(browser)
    expected = quorvex.depth_to_points(depth, lens)
    assert points.shape == expected.shape and len(points) > 0.9 * depth.size
    assert np.abs(points - expected).max() < 1e-3
    # A pinhole of the same focal length puts the edge's points centimetres away.
    pinhole = quorvex.depth_to_points(depth, quorvex.Intrinsics(240, 180, 201.0, 199.5, 121.3, 88.4))
    assert np.abs(points - pinhole).max() > 0.05


def test_page_geometry_and_colours_are_the_packages(browser, tmp_path):
    pytest.importorskip("matplotlib")
    with sphere_camera(tmp_path) as cam, ServerThread(Viewer(cam, port=0)) as server:
        open_viewer(browser, server.viewer)
        pause(browser)
        f, depth, points = shown_frame(browser)
        k = cam.info.intrinsics
        browser.save_screenshot(str(ARTIFACTS / "page-sphere.png"))
        pixels = canvas_pixels(browser, "depth-sphere.png")
        lit = canvas_pixels(browser, "points-sphere.png", "points").sum(axis=2) > 0
    # Every valid pixel where depth_to_points puts it (radial distance), within 1 mm.
    expected = quorvex.depth_to_points(depth, k)
    assert points.shape == expected.shape and len(points) > 0.9 * depth.size
    assert np.abs(points - expected).max() < 1e-3
    # Near the corners the ray is 19 degrees off axis: z alone would be 6 % too deep there.
    assert abs(points[0, 2] - depth[0, 0] / 1000 * k.fx / np.hypot(np.hypot(k.cx, k.cy), k.fx)) < 1e-3
    assert lit.mean() > 0.05
    # The page's automatic range is the package's, and so are its colours.
    assert tuple(f["range"]) == colormap.auto_range(depth) and f["map"] == "turbo"
    picture = colormap.colorize(depth)
    scale = pixels.shape[1] / depth.shape[1]
    for v, u in ((5, 5), (90, 120), (170, 230), (60, 80)):
        seen = pixels[int((v + 0.5) * scale), int((u + 0.5) * scale)]
        assert np.abs(seen - picture[v, u]).max() <= 3, (u, v, seen, picture[v, u])
    # The demo's picture of the same frame shows the wall in the page's colour.
    from PIL import Image

    demo = load_demo()
    frame = quorvex.Frame(sequence=0, timestamp_ms=0, host_time_ns=0, dropped=0, width=depth.shape[1],
                          height=depth.shape[0], output="depth", depth=depth.astype(np.float32),
                          amplitude=np.ones(depth.shape, np.float32))
    demo.save_images(frame, str(tmp_path))
    png = np.asarray(Image.open(tmp_path / "depth.png").convert("RGB"), np.int16)
    top, left, bottom, right = picture_box(png)
    for v, u in ((5, 5), (90, 120), (170, 230), (60, 80)):
        at = png[top + int((v + 0.5) * (bottom - top) / depth.shape[0]),
                 left + int((u + 0.5) * (right - left) / depth.shape[1])]
        seen = pixels[int((v + 0.5) * scale), int((u + 0.5) * scale)]
        assert np.abs(at - seen).max() <= 3, (u, v, at, seen)


def longest_run(flags):
    best, start = (0, 0), None
    for i, f in enumerate(list(flags) + [False]):
        if f and start is None:
            start = i
        elif not f and start is not None:
            best = max(best, (start, i), key=lambda r: r[1] - r[0])
            start = None
    return best


def picture_box(png):
    """Where the image stands in a matplotlib figure saved with its axes off:
    the widest band of coloured columns, then its tallest band of rows."""
    coloured = np.abs(png - 255).max(axis=2) > 8
    left, right = longest_run(coloured.mean(axis=0) > 0.5)
    top, bottom = longest_run(coloured[:, left:right].mean(axis=1) > 0.9)
    return top, left, bottom, right


def test_pause_step_and_snapshots(browser, tmp_path):
    plyfile = pytest.importorskip("plyfile")
    for old in DOWNLOADS.glob("quorvex-*"):
        old.unlink()
    with sphere_camera(tmp_path) as cam, ServerThread(Viewer(cam, port=0)) as server:
        open_viewer(browser, server.viewer)
        seq = pause(browser)
        frames = frames_drawn(browser)
        time.sleep(1.0)
        assert body(browser, "sequence") == seq and frames_drawn(browser) == frames
        assert browser.find_element(By.ID, "sequence").text == seq
        browser.find_element(By.ID, "step").click()
        wait_for(lambda: frames_drawn(browser) == frames + 1, 60, "one step")
        time.sleep(0.5)
        assert frames_drawn(browser) == frames + 1 and int(body(browser, "sequence")) > int(seq)
        f, depth, _ = shown_frame(browser)
        browser.find_element(By.ID, "snap-png").click()
        browser.find_element(By.ID, "snap-ply").click()
        png = wait_for(lambda: next(DOWNLOADS.glob(f"quorvex-{f['seq']}.png"), None), 60, "the PNG")
        ply = wait_for(lambda: next(DOWNLOADS.glob(f"quorvex-{f['seq']}.ply"), None), 60, "the PLY")
        wait_for(lambda: not list(DOWNLOADS.glob("*.crdownload")), 60, "downloads to finish")
        k = cam.info.intrinsics
    from PIL import Image

    with Image.open(png) as image:
        assert image.format == "PNG" and image.size[0] == 2 * 240 + 72 + 8
        shot = np.asarray(image.convert("RGB"), np.int16)
    assert np.abs(shot[11, 11] - colormap.colorize(depth)[5, 5]).max() <= 3
    data = plyfile.PlyData.read(str(ply))["vertex"]
    got = np.stack([data["x"], data["y"], data["z"]], axis=1)
    expected = quorvex.depth_to_points(depth, k)
    assert got.shape == expected.shape and np.abs(got - expected).max() < 1e-3
    # Byte for byte what save_ply writes for these points in the map's colours.
    colours = colormap.colorize(depth)[depth > 0]
    quorvex.save_ply(tmp_path / "same.ply", expected, colors=colours)
    assert ply.read_bytes() == (tmp_path / "same.ply").read_bytes()


class StillSource:
    """One raw frame over and over at 25 fps (for a minute at most)."""

    def __init__(self, frame, info):
        self.frame, self.info = frame, info

    def frames(self, max_frames=None):
        for i in range(1500):
            time.sleep(0.04)
            yield dataclasses.replace(self.frame, sequence=i, host_time_ns=time.monotonic_ns())


def test_filter_toggle_and_threshold_from_the_page(browser, tmp_path):
    (tmp_path / "sphere.cfg").write_text("scene = sphere\nphysics = realistic\n")
    with quorvex.Camera(config=tmp_path / "sphere.cfg", filters=None) as cam:
        info, frame = cam.info, list(cam.frames(max_frames=3))[-1]
    # What the package's filters give for that frame, by default and at 4 per mille.
    raw, default, strict = [np.rint(frame.depth)] + [np.rint(next(quorvex.filter_depth(
        [frame], quorvex.Filters("default", **p), info=info)).depth) for p in ({}, {"max_noise": 0.004})]
    counts = [int((d == 0).sum()) for d in (raw, default, strict)]
    assert counts[0] < counts[1] < counts[2] < raw.size

    def shown_when(invalid, what):
        wait_for(lambda: body(browser, "invalid") == str(invalid), 60, what)
        return shown_frame(browser)[1]

    with ServerThread(Viewer(StillSource(frame, info), port=0, filters="default")) as server:
        open_viewer(browser, server.viewer)
        assert browser.find_element(By.ID, "depth-kind").text == "filtered (default)"
        assert np.abs(shown_when(counts[1], "the default chain").astype(np.int32) - default).max() <= 1
        slider = browser.find_element(By.ID, "ctl-confidence")
        browser.execute_script("arguments[0].value = 4; arguments[0].dispatchEvent(new Event('change'));", slider)
        np.testing.assert_array_equal(shown_when(counts[2], "the stricter threshold") == 0, strict == 0)
        browser.save_screenshot(str(ARTIFACTS / "page-filters.png"))
        pixels = canvas_pixels(browser, "depth-filtered-strict.png")
        scale = pixels.shape[1] / raw.shape[1]
        for v, u in np.argwhere((strict == 0) & (raw > 0))[::500]:  # dropped by the filters
            seen = pixels[int((v + 0.5) * scale), int((u + 0.5) * scale)]
            assert np.abs(seen - colormap.invalid_colour()).max() <= 3, (u, v, seen)
        browser.find_element(By.ID, "ctl-filtered").click()
        np.testing.assert_array_equal(shown_when(counts[0], "the raw depth"), raw)
        assert browser.find_element(By.ID, "depth-kind").text == "raw" and not slider.is_enabled()
        # Without the token the page watches and may change nothing.
        browser.get(server.viewer.url("127.0.0.1", with_token=False))
        wait_for(lambda: frames_drawn(browser) >= 1, 60, "a frame without the token")
        assert not browser.find_element(By.ID, "ctl-filtered").is_enabled()


def test_recording_waits_for_a_page_then_plays_pauses_seeks_and_ends(browser, tmp_path):
    pytest.importorskip("mcap")
    pytest.importorskip("mcap_ros2")
    path = tmp_path / "scene.mcap"
    with sphere_camera(tmp_path) as cam:
        quorvex.recording.record(cam, path, max_frames=90, compression="none")
    proc = subprocess.Popen([sys.executable, "-m", "quorvex", "view", "--play", str(path), "--port", "0",
                             "--exit-at-end"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = re.search(r"http://\S+", proc.stdout.readline()).group(0)
        time.sleep(3.0)
        browser.get(url)
        wait_for(lambda: frames_drawn(browser) >= 1, 60, "the first frame")
        assert body(browser, "first-position") == "0"
        wait_for(lambda: body(browser, "position") == "89", 60, "the last frame")
        assert proc.wait(15) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    with quorvex.open_recording(path, realtime=False) as rec, \
            ServerThread(Viewer(Playback(rec), port=0)) as server:
        open_viewer(browser, server.viewer, 1)
        wait_for(lambda: body(browser, "status") == "end of the recording", 60, "the end shown")
        assert "end" in browser.find_element(By.ID, "playback-note").text
        browser.save_screenshot(str(ARTIFACTS / "recording-end.png"))
        slider = browser.find_element(By.ID, "ctl-position")
        browser.execute_script("arguments[0].value = 10; arguments[0].dispatchEvent(new Event('change'));",
                               slider)
        wait_for(lambda: body(browser, "position") == "10", 60, "the frame sought")
        time.sleep(0.5)  # paused at the end: the frame sought is shown, and stays
        assert body(browser, "position") == "10"
        browser.find_element(By.ID, "ctl-playing").click()
        wait_for(lambda: int(body(browser, "position")) > 15, 60, "playing again")
        browser.find_element(By.ID, "ctl-playing").click()
        wait_for(lambda: server.viewer.controls["playing"]["value"] == 0, 60)
        time.sleep(0.3)
        at = body(browser, "position")
        time.sleep(0.7)
        assert body(browser, "position") == at and at != "89"


def shell_source(radius_mm=2000):
    """Every pixel at the same distance: a shell round the camera, nearer
    than where the z axis ends."""
    k = quorvex.nominal_intrinsics(240, 180)
    info = quorvex.StreamInfo(source="test", variant="hqvga", width=240, height=180, output="depth",
                              intrinsics=k, controls={})
    frame = quorvex.Frame(sequence=0, timestamp_ms=0, host_time_ns=0, dropped=0, width=240, height=180,
                          output="depth", depth=np.full((180, 240), radius_mm, np.float32),
                          amplitude=np.full((180, 240), 1000, np.float32))
    return StillSource(frame, info)


def inked_runs(pixels, columns):
    """Runs of rows with any dark pixel in `columns` (text, ticks)."""
    inked = (pixels[:, columns].min(axis=2) < 160).any(axis=1)
    return [r for r in np.split(np.arange(len(inked)), np.flatnonzero(np.diff(inked)) + 1) if inked[r[0]]]


def test_axes_are_hidden_behind_the_points_and_bar_titles_clear_the_ticks(browser):
    with ServerThread(Viewer(shell_source(2000), port=0)) as server:
        open_viewer(browser, server.viewer)
        points = browser.find_element(By.ID, "points")
        wait_for(lambda: points.get_attribute("data-labels"), 60, "the axes' labels")
        labels = points.get_attribute("data-labels").split()
        # The z axis runs on to 3 m: its ticks behind the shell at 2 m are hidden.
        assert "z:0.5" in labels and "y:0.5" in labels, labels
        assert "z:2.5" not in labels and "z:3" not in labels, labels
        # A round top tick: the title above the bar stays clear of its label.
        fixed_colour_range(browser, 1000, 3000)
        bar = canvas_pixels(browser, "colourbar-round-top.png", "colourbar")
        runs = inked_runs(bar[:40], slice(22, 72))
        assert len(runs) >= 2 and runs[1][0] > runs[0][-1] + 1, [(r[0], r[-1]) for r in runs]


@pytest.mark.parametrize("size", [(1280, 800), (1400, 1000), (1920, 1080)])
def test_the_3d_view_is_in_the_first_screenful(browser, size):
    with ServerThread(Viewer(shell_source(), port=0)) as server:
        browser.set_window_size(*size)
        try:
            inner = browser.execute_script("return [window.innerWidth, window.innerHeight];")
            browser.set_window_size(2 * size[0] - inner[0], 2 * size[1] - inner[1])
            open_viewer(browser, server.viewer)
            browser.save_screenshot(str(ARTIFACTS / f"page-{size[0]}x{size[1]}.png"))
            box = browser.execute_script(
                "const r = document.getElementById('points').getBoundingClientRect();"
                "return [r.left, r.top, r.right, r.bottom, window.innerWidth, window.innerHeight];")
        finally:
            browser.set_window_size(1400, 1000)
    left, top, right, bottom, width, height = box
    assert 0 <= left and right <= width and 0 <= top and bottom <= height, box
    assert right - left >= 400, box


def test_one_pause_for_a_recording_and_counters_that_read_right(browser, tmp_path):
    pytest.importorskip("mcap")
    pytest.importorskip("mcap_ros2")
    path = tmp_path / "scene.mcap"
    with sphere_camera(tmp_path) as cam:
        quorvex.recording.record(cam, path, max_frames=60, compression="none")
    with quorvex.open_recording(path, realtime=False) as rec, \
            ServerThread(Viewer(Playback(rec), port=0)) as server:
        playing = lambda: server.viewer.controls["playing"]["value"]  # noqa: E731
        open_viewer(browser, server.viewer, 2)
        assert browser.find_element(By.ID, "rate-label").text == "source"
        assert browser.find_element(By.ID, "dropped-label").text == "dropped by the source"
        # The toolbar's Pause is the recording's: the server stops, the Play box follows.
        browser.find_element(By.ID, "pause").click()
        wait_for(lambda: playing() == 0, 60, "the recording paused")
        box = browser.find_element(By.ID, "ctl-playing")
        wait_for(lambda: not box.is_selected(), 60, "the Play box unticked")
        assert browser.find_element(By.ID, "fps-shown").text == "paused"
        assert browser.find_element(By.ID, "pause").text == "Resume"
        time.sleep(0.5)
        at = body(browser, "position")
        # One frame number: the table's is the slider's.
        assert browser.find_element(By.ID, "sequence").text == f"{at} of 60"
        assert browser.find_element(By.ID, "val-position").text == at
        # Step shows the recording's next frame.
        browser.find_element(By.ID, "step").click()
        wait_for(lambda: body(browser, "position") == str(int(at) + 1), 60, "one step")
        # The Play box resumes the same pause; the toolbar follows.
        box.click()
        wait_for(lambda: playing() == 1, 60, "playing again")
        wait_for(lambda: browser.find_element(By.ID, "pause").text == "Pause", 60, "the toolbar's Pause")
        wait_for(lambda: int(body(browser, "position")) > int(at) + 1, 60, "frames after the pause")
        # At the end the box, focused since its click, shows what the server says.
        wait_for(lambda: body(browser, "status") == "end of the recording", 120, "the end")
        wait_for(lambda: not box.is_selected(), 60, "the Play box unticked at the end")
        assert browser.switch_to.active_element == box
        box.click()  # one click plays again, from the start
        wait_for(lambda: playing() == 1, 60, "playing from the start")


def test_frames_missed_while_paused_are_not_skipped_ones(browser, tmp_path):
    with sphere_camera(tmp_path) as cam, ServerThread(Viewer(cam, port=0)) as server:
        open_viewer(browser, server.viewer)
        skipped = int(browser.find_element(By.ID, "skipped").text)
        pause(browser)
        assert browser.find_element(By.ID, "fps-shown").text == "paused"
        arrived = server.viewer.frames_in
        wait_for(lambda: server.viewer.frames_in >= arrived + 30, 120, "frames while paused")
        n = frames_drawn(browser)
        browser.find_element(By.ID, "pause").click()
        wait_for(lambda: frames_drawn(browser) >= n + 2, 60, "frames after the pause")
        assert int(browser.find_element(By.ID, "skipped").text) - skipped < 30
        assert browser.find_element(By.ID, "fps-shown").text != "paused"
