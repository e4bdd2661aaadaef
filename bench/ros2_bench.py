"""ROS 2 publishing side by side with Zenoh, on loopback: the same frames of
the simulated module (captured first, so the camera costs nothing during the
run) paced at 30 fps, one publisher (this process) and one reliable reader
process each.

    python bench/ros2_bench.py [BUILD_DIR]

Figures per variant (HQVGA; VGA depth + amplitude + confidence): frames the
reader received of those sent, publish-to-receive latency (median, 99th
percentile; the image stamps, one clock), and the publisher's CPU per
frame: the process as a whole (DDS's or Zenoh's own threads included) and
the calling thread's time in `put`; the ratio ROS 2 / Zenoh is the figure
to watch. Discovery stays on 127.0.0.1 (no multicast).
"""
import dataclasses
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from bench_figures import figure, key

FRAMES = 150
FPS = 30.0
VARIANTS = {"hqvga": "variant = hqvga\n",
            "vga": "variant = vga\nwidth = 640\nheight = 480\n"}
DOMAIN = 200 + os.getpid() % 30


def capture(variant):
    import quorvex
    with tempfile.NamedTemporaryFile("w", suffix=".cfg", delete=False) as f:
        f.write(VARIANTS[variant])
    try:
        with quorvex.Camera(config=f.name, filters=None) as cam:
            return cam.info, list(cam.frames(max_frames=30))
    finally:
        os.unlink(f.name)


def reader(transport, where, count):
    import quorvex
    from quorvex.errors import CameraError
    if transport == "ros2":
        sub = quorvex.subscribe(where, transport="ros2")
    else:
        sub = quorvex.subscribe(where, connect=[], listen=[sys.argv[4]], lossless=True)
    latency, got = [], 0
    with sub:
        print("ready", flush=True)
        try:
            for frame in sub.frames(stall_timeout=15.0, max_frames=count):
                if transport == "ros2":
                    latency.append((time.time_ns() - sub.last_stamp_ns) / 1e6)
                else:
                    latency.append((time.time_ns() - sub.sent_time_ns) / 1e6)
                got += 1
        except CameraError:
            pass
    print(json.dumps({"count": got, "latency": latency}), flush=True)


def run(transport, info, frames, endpoint):
    from quorvex import dds, ros2
    env = dict(os.environ, CYCLONEDDS_URI=dds.loopback_config(), ROS_DOMAIN_ID=str(DOMAIN))
    where = "/bench" if transport == "ros2" else "bench/cam"
    proc = subprocess.Popen([sys.executable, __file__, "--reader", transport, where, endpoint or "",
                             str(FRAMES)], stdout=subprocess.PIPE, text=True, env=env)
    assert proc.stdout.readline().strip() == "ready"
    os.environ.update(CYCLONEDDS_URI=env["CYCLONEDDS_URI"], ROS_DOMAIN_ID=env["ROS_DOMAIN_ID"])
    if transport == "ros2":
        pub = ros2.RosPublisher(info, namespace=where)
        end = time.monotonic() + 30
        while not all(pub.matched().values()) and time.monotonic() < end:
            time.sleep(0.05)
        time.sleep(1.0)  # the reader's side of the matching
    else:
        from quorvex.network import Publisher
        pub = Publisher(info, key=where, connect=[endpoint], lossless=True)
        time.sleep(2.0)
    put_cpu = 0.0
    with pub:
        cpu0, t0 = time.process_time(), time.monotonic()
        for i in range(FRAMES):
            due = t0 + i / FPS
            time.sleep(max(0.0, due - time.monotonic()))
            # Each frame new: a subscriber drops repeats of a sequence; and
            # captured now, since its stamp is its capture time.
            now = time.monotonic_ns()
            frame = dataclasses.replace(frames[i % len(frames)], sequence=i,
                                        host_time_ns=now, capture_ns=now)
            c = time.thread_time()
            pub.put(frame)
            put_cpu += time.thread_time() - c
        cpu = time.process_time() - cpu0
        out, _ = proc.communicate(timeout=120)
    result = json.loads(out.strip().splitlines()[-1])
    lat = sorted(result["latency"]) or [float("nan")]
    return {"received": result["count"], "cpu_ms": 1e3 * cpu / FRAMES,
            "put_ms": 1e3 * put_cpu / FRAMES, "median_ms": statistics.median(lat),
            "p99_ms": lat[min(len(lat) - 1, int(0.99 * len(lat)))]}


def main():
    import socket
    print(f"ROS 2 vs Zenoh publishing, {FRAMES} frames at {FPS:g} fps, loopback, reliable reader")
    try:
        rmem = Path("/proc/sys/net/core/rmem_max").read_text().strip()
    except OSError:
        rmem = "?"
    print(f"net.core.rmem_max = {rmem}")
    for variant in VARIANTS:
        info, frames = capture(variant)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            endpoint = f"tcp/127.0.0.1:{s.getsockname()[1]}"
        results = {t: run(t, info, frames, endpoint) for t in ("zenoh", "ros2")}
        for t, r in results.items():
            size = key(variant)
            figure(f"ros2.{t}.{size}.received_fraction", r["received"] / FRAMES)
            figure(f"ros2.{t}.{size}.latency_median_ms", r["median_ms"])
            figure(f"ros2.{t}.{size}.latency_p99_ms", r["p99_ms"])
            figure(f"ros2.{t}.{size}.cpu_ms", r["cpu_ms"])
            print(f"{variant:6} {t:6} received {r['received']}/{FRAMES}, latency median "
                  f"{r['median_ms']:.2f} ms, p99 {r['p99_ms']:.2f} ms, CPU/frame {r['cpu_ms']:.2f} ms "
                  f"(put {r['put_ms']:.2f} ms)")
        figure(f"ros2.ros2.{key(variant)}.cpu_ratio_to_zenoh", results["ros2"]["cpu_ms"] / results["zenoh"]["cpu_ms"])
        print(f"{variant:6} ROS 2 / Zenoh CPU per frame: "
              f"{results['ros2']['cpu_ms'] / results['zenoh']['cpu_ms']:.2f} "
              f"(put {results['ros2']['put_ms'] / results['zenoh']['put_ms']:.2f})")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--reader":
        reader(sys.argv[2], sys.argv[3], int(sys.argv[5]))
    else:
        main()
