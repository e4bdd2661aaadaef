"""Frames over Zenoh on loopback TCP: the simulated module at fps = 0 (as fast
as it is read), HQVGA and VGA depth, one publisher (this process) and one
subscriber process, default (newest frame wins) and lossless delivery.

    python bench/network_bench.py BUILD_DIR

Figures: frames/s and MB/s of image payload delivered, latency from `put`
to the frame leaving `frames()` (median, 99th percentile; one machine, so
one clock), and CPU time per frame on each side: each process as a whole
(the publisher's includes the simulated module) and the calling thread's
time in `put` (encoding and handing over to Zenoh). Baselines
from the same run: the camera read alone (the publisher's CPU less it is
what publishing costs) and the same bytes through a plain loopback TCP
socket between two processes (what the transport could do at best).
"""
import json
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from bench_figures import figure, key

SECONDS = 5.0
VARIANTS = {"hqvga": "variant = hqvga\nfps = 0\n",
            "vga": "variant = vga\nwidth = 640\nheight = 480\nfps = 0\n"}


def free_endpoint():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return f"tcp/127.0.0.1:{s.getsockname()[1]}"


def subscriber(key, ep, lossless):
    import quorvex
    from quorvex.errors import CameraError
    latency, count, nbytes = [], 0, 0
    with quorvex.subscribe(key, connect=[ep], lossless=lossless, queue=4, info_timeout=1.0) as sub:
        for _ in range(200):
            try:
                sub.info
                break
            except CameraError:
                pass
        print("ready", flush=True)
        cpu0 = time.process_time()
        try:
            for f in sub.frames(stall_timeout=2.0):
                latency.append((time.time_ns() - sub.sent_time_ns) / 1e6)
                count += 1
                nbytes += f.depth.nbytes + f.amplitude.nbytes + f.confidence.nbytes
                if count == 1:
                    t0, cpu0 = time.monotonic(), time.process_time()
                t1, cpu1 = time.monotonic(), time.process_time()
        except CameraError:
            pass
    print(json.dumps({"count": count, "bytes": nbytes, "seconds": t1 - t0, "cpu": cpu1 - cpu0,
                      "latency": latency, "dropped_at_queue": sub.received - count}))


def tcp_sink(port, size):
    with socket.create_connection(("127.0.0.1", port)) as s:
        buf, got, frames = bytearray(size), 0, 0
        view = memoryview(buf)
        while True:
            n = s.recv_into(view[got:])
            if n == 0:
                break
            got += n
            if got == size:
                got, frames = 0, frames + 1
    print(frames)


def tcp_baseline(size):
    """MB/s of frames of `size` bytes through one loopback TCP connection."""
    with socket.socket() as srv:
        srv.bind(("127.0.0.1", 0))
        srv.listen(1)
        sink = subprocess.Popen([sys.executable, __file__, "--tcp-sink", str(srv.getsockname()[1]),
                                 str(size)], stdout=subprocess.PIPE, text=True)
        conn, _ = srv.accept()
        payload, sent = bytes(size), 0
        start = time.monotonic()
        while time.monotonic() - start < 2.0:
            conn.sendall(payload)
            sent += 1
        conn.close()
        seconds = time.monotonic() - start
        sink.communicate(timeout=30)
    return sent * size / seconds / 1e6


def camera_alone(config):
    import quorvex
    with quorvex.Camera(config=config) as cam:
        n, cpu0, t0 = 0, time.process_time(), time.monotonic()
        for _ in cam.frames():
            n += 1
            if time.monotonic() - t0 > 2.0:
                break
        return (time.process_time() - cpu0) / n, n / (time.monotonic() - t0)


def run(variant, config, lossless):
    import quorvex
    from quorvex import network
    ep, key = free_endpoint(), f"bench/{variant}"
    with quorvex.Camera(config=config) as cam, \
            network.Publisher(cam.info, key=key, listen=[ep], lossless=lossless) as pub:
        peer = subprocess.Popen([sys.executable, __file__, "--subscriber", key, ep,
                                 "1" if lossless else "0"], stdout=subprocess.PIPE, text=True)
        assert peer.stdout.readline().strip() == "ready"
        put_cpu = 0.0
        cpu0, t0 = time.process_time(), time.monotonic()
        for frame in cam.frames():
            c = time.thread_time()
            pub.put(frame)
            put_cpu += time.thread_time() - c
            if time.monotonic() - t0 > SECONDS:
                break
        pub_cpu, pub_seconds = time.process_time() - cpu0, time.monotonic() - t0
        published = pub.published
    sub = json.loads(peer.communicate(timeout=60)[0].splitlines()[-1])
    return published / pub_seconds, pub_cpu / published, put_cpu / published, sub


def main():
    build = Path(sys.argv[1] if len(sys.argv) > 1 else "build/native")
    sys.path.insert(0, str(build / "python"))
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "package"))
    try:
        import zenoh  # noqa: F401
    except ImportError:
        print("network bench skipped: eclipse-zenoh is not installed (the 'network' extra)")
        return
    with tempfile.TemporaryDirectory() as tmp:
        for variant, text in VARIANTS.items():
            config = Path(tmp) / f"{variant}.cfg"
            config.write_text(text)
            cam_cpu, cam_fps = camera_alone(config)
            for lossless in (False, True):
                pub_fps, pub_cpu, put_cpu, sub = run(variant, config, lossless)
                if not sub["count"]:
                    print(f"{variant} {'lossless' if lossless else 'newest-wins'}: nothing delivered")
                    continue
                frame_bytes = sub["bytes"] / sub["count"]
                mbps = sub["bytes"] / sub["seconds"] / 1e6
                lat = sorted(sub["latency"])
                p99 = lat[min(len(lat) - 1, int(0.99 * len(lat)))]
                mode = "lossless" if lossless else "newest-wins"
                where = f"network.{key(mode)}.{key(variant)}"
                figure(f"{where}.delivered_fps", sub["count"] / sub["seconds"])
                figure(f"{where}.latency_median_ms", statistics.median(lat))
                figure(f"{where}.latency_p99_ms", p99)
                figure(f"{where}.publisher_cpu_ms", pub_cpu * 1e3)
                figure(f"{where}.put_cpu_ms", put_cpu * 1e3)
                print(f"{variant:5s} {mode:11s} published {pub_fps:6.1f} frames/s (camera alone "
                      f"{cam_fps:6.1f}); delivered {sub['count'] / sub['seconds']:6.1f} frames/s, "
                      f"{mbps:6.1f} MB/s; latency median {statistics.median(lat):6.1f} ms, "
                      f"p99 {p99:6.1f} ms")
                print(f"{'':17s} CPU per frame: publisher process {pub_cpu * 1e3:5.1f} ms (camera "
                      f"alone {cam_cpu * 1e3:5.1f} ms; put itself {put_cpu * 1e3:5.1f} ms), "
                      f"subscriber process {sub['cpu'] / sub['count'] * 1e3:5.1f} ms")
            base = tcp_baseline(int(frame_bytes))
            figure(f"network.lossless.{key(variant)}.ratio_to_tcp", mbps / base)
            print(f"{'':17s} plain loopback TCP, same frame size: {base:6.1f} MB/s "
                  f"(lossless delivery is {mbps / base:.2f} of it)")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--subscriber":
        subscriber(sys.argv[2], sys.argv[3], sys.argv[4] == "1")
    elif len(sys.argv) > 1 and sys.argv[1] == "--tcp-sink":
        tcp_sink(int(sys.argv[2]), int(sys.argv[3]))
    else:
        main()
