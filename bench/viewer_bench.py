"""Web viewer figures: frames per second reaching headless Chromium pages,
server CPU per frame per page, and frame-to-screen latency, for the HQVGA
module at 30 fps and the VGA module.

Server CPU per frame per page is the CPU time of the server's event-loop
thread divided by the frames it sent (to all pages); each frame is encoded
once for every page by the reader thread, shown separately. The browsers run
in processes of their own. Baseline, measured in the same run: the CPU per
frame of reading the same source with no viewer at all. Latency runs from a
frame's arrival at the host to the page's acknowledgement, sent right after
the page drew it.

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

from bench_figures import figure

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
    """Over `seconds`: fps reaching each page, CPU per produced frame of the
    whole process, of encoding (once per frame), and of the server's event
    loop per frame sent to one page; frame-to-screen latencies in ms."""
    v = server.viewer

    def snapshot():
        clients = server.call(list, v.clients)
        return dict(t=time.monotonic(), cpu=time.process_time(), loop=server.call(time.thread_time),
                    frames=v.frames_in, encode=v.encode_cpu_s, sent=sum(c.sent for c in clients),
                    drawn=[p.drawn() for p in pages])

    for c in server.call(list, v.clients):
        c.latencies_ms.clear()
    a = snapshot()
    time.sleep(seconds)
    b = snapshot()
    frames = max(1, b["frames"] - a["frames"])
    return dict(fps=[(y - x) / (b["t"] - a["t"]) for x, y in zip(a["drawn"], b["drawn"])],
                process=(b["cpu"] - a["cpu"]) / frames, encode=(b["encode"] - a["encode"]) / frames,
                loop_per_sent=(b["loop"] - a["loop"]) / max(1, b["sent"] - a["sent"]),
                latencies=[x for c in server.call(list, v.clients) for x in c.latencies_ms])


class SyntheticSource:
    """Frames made in Python at a fixed rate: the viewer's own costs and
    latency without the camera's wait for frames."""

    def __init__(self, width, height, fps):
        self.width, self.height, self.fps = width, height, fps
        self.info = quorvex.StreamInfo(source="synthetic", variant="hqvga", width=width, height=height,
                                       output="depth", intrinsics=quorvex.nominal_intrinsics(width, height))
        yy, xx = np.mgrid[0:height, 0:width]
        self._depth = (1000 + 3 * xx + 2 * yy).astype(np.float32)

    def frames(self, max_frames=None):
        n, t0 = 0, time.monotonic()
        while max_frames is None or n < max_frames:
            wait = t0 + n / self.fps - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            depth = self._depth + (n % 50)
            yield quorvex.Frame(sequence=n, timestamp_ms=int(n * 1000 / self.fps),
                                host_time_ns=time.monotonic_ns(), dropped=0, width=self.width,
                                height=self.height, output="depth", depth=depth, amplitude=depth)
            n += 1

    def stop(self):
        pass

    def close(self):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def bench_variant(label, name, config, page_kind):
    source = SyntheticSource(*config) if isinstance(config, tuple) else quorvex.Camera(config=config)
    with source as cam:
        base_cpu, base_fps = cpu_per_frame_of_source(cam, SECONDS)
        cam.stop()
        print(f"{label}: source alone: {base_fps:.1f} fps, {base_cpu * 1e3:.2f} ms CPU per frame (baseline)")
        with ServerThread(Viewer(cam, port=0)) as server:
            time.sleep(1.0)
            m = measure(server, [], SECONDS)
            figure(f"viewer.no_page.{name}.cpu_ratio_to_source", m["process"] / base_cpu)
            figure(f"viewer.encode.{name}.cpu_ratio_to_source", m["encode"] / base_cpu)
            print(f"{label}: viewer, no page: {m['process'] * 1e3:.2f} ms CPU per frame in all "
                  f"({m['process'] / base_cpu:.2f}x baseline), of which encoding once for every page "
                  f"{m['encode'] * 1e3:.2f} ms ({m['encode'] / base_cpu:.2f}x baseline)")
            pages = []
            try:
                for n in (1, 2):
                    page = page_kind()
                    page.open(server.viewer.url("127.0.0.1"))
                    pages.append(page)
                    m = measure(server, pages, SECONDS)
                    lat = m["latencies"]
                    case = f"viewer.pages_{n}.{name}"
                    figure(f"{case}.server_cpu_per_page_ratio_to_source", m["loop_per_sent"] / base_cpu)
                    figure(f"{case}.fps_slowest_page", min(m["fps"], default=float("nan")))
                    if lat:
                        figure(f"{case}.latency_median_ms", float(np.median(lat)))
                        figure(f"{case}.latency_p95_ms", float(np.percentile(lat, 95)))
                    lat_txt = (f"frame-to-screen latency median {np.median(lat):.1f} ms, "
                               f"p95 {np.percentile(lat, 95):.1f} ms" if lat else "no latency samples")
                    print(f"{label}: {n} page(s): fps reaching each page "
                          f"{', '.join(f'{x:.1f}' for x in m['fps'])}; server CPU per frame per page "
                          f"{m['loop_per_sent'] * 1e3:.3f} ms ({m['loop_per_sent'] / base_cpu:.3f}x baseline); "
                          f"{lat_txt}")
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
        bench_variant("HQVGA 240x180 @30", "hqvga", hqvga, page_kind)
        bench_variant("VGA 640x480", "vga", vga, page_kind)
        bench_variant("synthetic 240x180 @30", "synthetic_hqvga", (240, 180, 30.0), page_kind)
        bench_variant("synthetic 640x480 @30", "synthetic_vga", (640, 480, 30.0), page_kind)


if __name__ == "__main__":
    sys.exit(main())
