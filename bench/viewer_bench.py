"""Web viewer figures: frames per second reaching headless Chromium pages,
server CPU per frame per page, and frame-to-screen latency, for the HQVGA
module at 30 fps and the VGA module.

CPU is this process's (camera threads, frame reader, server); the browsers
run in processes of their own. Baseline, measured in the same run: the CPU
per frame of reading the same source with no viewer at all. Latency runs
from a frame's arrival at the host to the page's acknowledgement sent
right after drawing it.

Without Chromium (Debian's chromium + chromium-driver) and Selenium the
pages are Python WebSocket clients that acknowledge at once, and the
figures say so.
"""
import asyncio
import json
import os
import shutil
import sys
import tempfile
import threading
import time

import numpy as np

import quorvex
from quorvex.viewer import ServerThread, Viewer

SECONDS = float(os.environ.get("VIEWER_BENCH_SECONDS", "5"))


def cpu_per_frame_of_source(cam, seconds):
    frames = 0
    it = cam.frames()
    next(it)
    c0, t0 = time.process_time(), time.monotonic()
    while time.monotonic() - t0 < seconds:
        next(it)
        frames += 1
    return (time.process_time() - c0) / frames, frames / (time.monotonic() - t0)


class BrowserPage:
    def __init__(self):
        from selenium import webdriver

        opts = webdriver.ChromeOptions()
        opts.binary_location = shutil.which("chromium")
        for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                  "--window-size=1400,900"):
            opts.add_argument(a)
        self.driver = webdriver.Chrome(options=opts, service=webdriver.ChromeService(
            executable_path=shutil.which("chromedriver")))

    def open(self, url):
        self.driver.get(url)
        end = time.monotonic() + 15
        while self.drawn() < 3 and time.monotonic() < end:
            time.sleep(0.05)

    def drawn(self):
        return int(self.driver.execute_script("return Number(document.body.dataset.frames || 0)"))

    def close(self):
        self.driver.quit()


class PythonPage:
    """A page stand-in: receives frames and acknowledges each at once."""

    def __init__(self):
        self.count = 0
        self._stop = threading.Event()
        self._thread = None

    def open(self, url):
        import aiohttp

        async def run():
            async with aiohttp.ClientSession() as s:
                async with s.ws_connect(url.replace("http://", "ws://").replace("/?", "/ws?")) as ws:
                    while not self._stop.is_set():
                        msg = await ws.receive(timeout=5)
                        if msg.type == aiohttp.WSMsgType.BINARY:
                            self.count += 1
                            seq = int.from_bytes(msg.data[12:16], "little")
                            await ws.send_str(json.dumps({"type": "ack", "seq": seq}))
                        elif msg.type != aiohttp.WSMsgType.TEXT:
                            break

        self._thread = threading.Thread(target=lambda: asyncio.run(run()), daemon=True)
        self._thread.start()
        time.sleep(1.0)

    def drawn(self):
        return self.count

    def close(self):
        self._stop.set()
        self._thread.join(10)


def measure(server, pages, seconds):
    """(fps per page, CPU seconds per produced frame, latencies in ms)."""
    v = server.viewer
    for c in server.call(list, v.clients):
        c.latencies_ms.clear()
    drawn0 = [p.drawn() for p in pages]
    f0, c0, t0 = v.frames_in, time.process_time(), time.monotonic()
    time.sleep(seconds)
    f1, c1, t1 = v.frames_in, time.process_time(), time.monotonic()
    fps = [(p.drawn() - d) / (t1 - t0) for p, d in zip(pages, drawn0)]
    lat = [x for c in server.call(list, v.clients) for x in c.latencies_ms]
    return fps, (c1 - c0) / max(1, f1 - f0), lat


def bench_variant(label, config, page_kind):
    with quorvex.Camera(config=config) as cam:
        base_cpu, base_fps = cpu_per_frame_of_source(cam, SECONDS)
        cam.stop()
        print(f"{label}: source alone: {base_fps:.1f} fps, {base_cpu * 1e3:.2f} ms CPU per frame (baseline)")
        with ServerThread(Viewer(cam, port=0)) as server:
            time.sleep(1.0)
            _, cpu0, _ = measure(server, [], SECONDS)
            print(f"{label}: viewer, no page: {cpu0 * 1e3:.2f} ms CPU per frame "
                  f"({cpu0 / base_cpu:.2f}x baseline)")
            pages = []
            try:
                for n in (1, 2):
                    page = page_kind()
                    page.open(server.viewer.url("127.0.0.1"))
                    pages.append(page)
                    fps, cpu, lat = measure(server, pages, SECONDS)
                    per_client = (cpu - cpu0) / n
                    lat_txt = (f"latency median {np.median(lat):.1f} ms, p95 {np.percentile(lat, 95):.1f} ms"
                               if lat else "no latency samples")
                    print(f"{label}: {n} page(s): fps reaching each {', '.join(f'{x:.1f}' for x in fps)}; "
                          f"server CPU per frame per page {per_client * 1e3:.2f} ms "
                          f"({per_client / base_cpu:.2f}x baseline); {lat_txt}")
            finally:
                for p in pages:
                    p.close()


def main():
    have_browser = shutil.which("chromium") and shutil.which("chromedriver")
    try:
        import selenium  # noqa: F401
    except ImportError:
        have_browser = False
    page_kind = BrowserPage if have_browser else PythonPage
    print("pages: " + ("headless Chromium" if have_browser else
                       "Python WebSocket clients (no Chromium/Selenium here)"))
    with tempfile.TemporaryDirectory() as d:
        hqvga = os.path.join(d, "hqvga.cfg")
        with open(hqvga, "w") as f:
            f.write("variant = hqvga\nfps = 30\n")
        vga = os.path.join(d, "vga.cfg")
        with open(vga, "w") as f:
            f.write("variant = vga\n")
        bench_variant("HQVGA 240x180 @30", hqvga, page_kind)
        bench_variant("VGA 640x480", vga, page_kind)


if __name__ == "__main__":
    sys.exit(main())
