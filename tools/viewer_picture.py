"""The README's picture of the viewer, taken from the page itself: the
simulated module's sphere scene in the realistic world, served by the
viewer and shown in headless Chromium (make test-browser installs it).

    PYTHONPATH=package:build/native/python .venv/bin/python tools/viewer_picture.py \
        --size 1400x1000 --out docs/viewer.png
"""
import argparse
import pathlib
import shutil
import sys
import tempfile
import time

import quorvex
from quorvex.viewer import ServerThread, Viewer


def size(text):
    w, _, h = text.partition("x")
    return int(w), int(h)


def take(out, width, height, frames=30, timeout=120.0):
    from selenium import webdriver
    from selenium.webdriver.common.by import By

    opts = webdriver.ChromeOptions()
    opts.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
              "--hide-scrollbars", f"--window-size={width},{height}"):
        opts.add_argument(a)
    driver = webdriver.Chrome(options=opts, service=webdriver.ChromeService(
        executable_path=shutil.which("chromedriver") or "/usr/bin/chromedriver"))
    try:
        # --window-size sets the window; the page gets what is left of it.
        driver.set_window_size(width, height)
        inner = driver.execute_script("return [window.innerWidth, window.innerHeight];")
        driver.set_window_size(2 * width - inner[0], 2 * height - inner[1])
        with tempfile.TemporaryDirectory() as tmp:
            cfg = pathlib.Path(tmp) / "sphere.cfg"
            cfg.write_text("scene = sphere\nphysics = realistic\n")
            with quorvex.Camera(config=cfg, filters=None) as cam, \
                    ServerThread(Viewer(cam, port=0, filters="default")) as server:
                driver.get(server.viewer.url("127.0.0.1"))
                end = time.monotonic() + timeout
                body = driver.find_element(By.TAG_NAME, "body")
                while int(body.get_attribute("data-frames") or 0) < frames:
                    if time.monotonic() > end:
                        raise SystemExit("the page drew too few frames")
                    time.sleep(0.1)
                driver.save_screenshot(str(out))
    finally:
        driver.quit()


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--size", type=size, default=(1400, 1000), help="the page's size, WxH (default 1400x1000)")
    p.add_argument("--out", default="docs/viewer.png")
    args = p.parse_args()
    take(args.out, *args.size)
    print(f"wrote {args.out}", file=sys.stderr)


if __name__ == "__main__":
    main()
