"""The viewer in a real headless Chromium (Debian's chromium and
chromium-driver, driven by Selenium). Screenshots are kept in
build/test-artifacts/viewer/. Without the browser these tests skip, unless
QUORVEX_REQUIRE_BROWSER=1 (`make test-browser`) makes that a failure."""
import http.server
import io
import os
import shutil
import threading
import time
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("aiohttp")
webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.common.action_chains import ActionChains  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import Select  # noqa: E402

import quorvex  # noqa: E402
from quorvex.viewer import ServerThread, Viewer  # noqa: E402

ARTIFACTS = Path(__file__).resolve().parents[2] / "build" / "test-artifacts" / "viewer"
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
              "--window-size=1200,900", f"--host-resolver-rules=MAP {REBIND} 127.0.0.1"):
        opts.add_argument(a)
    return webdriver.Chrome(options=opts, service=webdriver.ChromeService(executable_path=DRIVER))


@pytest.fixture(scope="module")
def browser():
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    driver = start_browser()
    driver.set_page_load_timeout(30)
    yield driver
    driver.quit()


def wait_for(predicate, seconds=10.0, what="condition"):
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
    wait_for(lambda: frames_drawn(driver) >= n_frames, 15, "frames drawn by the page")


def canvas_pixels(driver, name, canvas="depth"):
    from PIL import Image  # matplotlib's dependency

    png = driver.find_element(By.ID, canvas).screenshot_as_png
    (ARTIFACTS / name).write_bytes(png)
    return np.asarray(Image.open(io.BytesIO(png)).convert("RGB"), dtype=np.int16)


def test_live_page_readout_and_range_control(browser):
    with quorvex.Camera() as cam, ServerThread(Viewer(cam, port=0)) as server:
        open_viewer(browser, server.viewer)
        browser.save_screenshot(str(ARTIFACTS / "page.png"))
        # Offered: range and skipping; the USB HQVGA module has no frame-rate control.
        assert browser.find_elements(By.ID, "ctl-range") and browser.find_elements(By.ID, "ctl-skip")
        assert not browser.find_elements(By.ID, "ctl-frame_rate")
        assert float(browser.find_element(By.ID, "fps-camera").text.split()[0]) > 10

        # The depth under the mouse at the image centre, where the wall stands 1500 mm away.
        canvas = browser.find_element(By.ID, "depth")
        rect = canvas.rect
        u, v = 120, 90
        dx = round((u + 0.5) * rect["width"] / 240 - rect["width"] / 2)
        dy = round((v + 0.5) * rect["height"] / 180 - rect["height"] / 2)
        ActionChains(browser).move_to_element_with_offset(canvas, dx, dy).perform()
        readout = browser.find_element(By.ID, "readout")
        wait_for(lambda: readout.get_attribute("data-mm"), 5, "a readout")
        assert abs(int(readout.get_attribute("data-u")) - u) <= 1
        assert abs(int(readout.get_attribute("data-v")) - v) <= 1
        assert abs(int(readout.get_attribute("data-mm")) - 1500) <= 15, readout.text
        assert readout.text.endswith(" mm")

        # The point cloud, drawn once asked for.
        browser.find_element(By.ID, "points-on").click()
        n = frames_drawn(browser)
        wait_for(lambda: frames_drawn(browser) >= n + 3, 5)
        lit = canvas_pixels(browser, "points.png", "points").sum(axis=2) > 0
        assert lit.mean() > 0.05, lit.mean()

        # Range from the page reaches the camera.
        assert cam.get_control("range") == 4000
        Select(browser.find_element(By.ID, "ctl-range")).select_by_value("2000")
        wait_for(lambda: cam.get_control("range") == 2000, 5, "the camera's range to change")
        wait_for(lambda: frames_drawn(browser) > 0, 5)
        browser.save_screenshot(str(ARTIFACTS / "page-range-2000.png"))


def test_depth_picture_follows_the_moving_scene(browser, tmp_path):
    cfg = tmp_path / "moving.cfg"
    cfg.write_text("motion = 5\nmotion_period = 200\n")
    with quorvex.Camera(config=cfg) as cam, ServerThread(Viewer(cam, port=0)) as server:
        open_viewer(browser, server.viewer)
        # A fixed colour range: in automatic mode a wall moving as a whole keeps its colours.
        browser.find_element(By.ID, "cmode-fixed").click()
        for el, value in (("cmin", "1000"), ("cmax", "3000")):
            box = browser.find_element(By.ID, el)
            box.clear()
            box.send_keys(value)
        n = frames_drawn(browser)
        wait_for(lambda: frames_drawn(browser) >= n + 2, 5)
        first = canvas_pixels(browser, "depth-1.png")
        n = frames_drawn(browser)
        wait_for(lambda: frames_drawn(browser) >= n + 12, 10, "a dozen more frames")
        second = canvas_pixels(browser, "depth-2.png")
        assert first.shape == second.shape
        assert np.abs(first - second).mean() > 2.0


def test_refusals_in_the_browser(browser, tmp_path):
    with quorvex.Camera() as cam, ServerThread(Viewer(cam, port=0)) as server:
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
            refused = v.refused
            browser.get(f"http://127.0.0.1:{other.server_address[1]}/")
            assert wait_for(lambda: browser.title if browser.title != "waiting" else None, 10) == "refused"
            assert v.refused == refused + 1
        finally:
            other.shutdown()
            other.server_close()
        # The viewer still serves its own page.
        open_viewer(browser, v)
        browser.save_screenshot(str(ARTIFACTS / "after-refusals.png"))
