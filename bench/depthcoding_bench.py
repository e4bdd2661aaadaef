"""Depth coding against the chunk coders: bytes and CPU per frame.

    python bench/depthcoding_bench.py BUILD_DIR

For HQVGA and VGA frames of the simulated module, noisy (noise = 4) and,
where the simulated library has it, of the realistic world, held in memory:
1. The recording writer alone, each --compression: bytes per frame of the
   whole file and process CPU per frame (writer thread included), with the
   ratios the goals name (zstd bytes / depth bytes, depth CPU / lz4 CPU),
   each compression the best of three runs, taken in turn.
2. The coders alone: CPU per frame to encode and to decode the planes, and
   the amplitude plane alone in each plane format side by side.
3. Publishing: bytes per frame of the samples (payloads and attachments) as
   float32 images and depth-coded, and the rate of a 30 fps depth +
   amplitude stream.
With QUORVEX_BENCH_FIGURES set the figures also go to build/bench/results.json
(bench_figures.py): coding.CASE.SIZE.METRIC, CASE `depth` in the realistic
world and `depth_noise4` in the noisy one, e.g.
coding.depth.vga.cpu_ratio_to_lz4 and coding.depth.vga.bytes_ratio_zstd.
"""
import os
import sys
import tempfile
import time
from pathlib import Path

from bench_figures import figure

WORLDS = {
    "HQVGA noise 4": "variant = hqvga\nfps = 0\nscene = sphere\nnoise = 4\n",
    "VGA noise 4": "variant = vga\nfps = 0\nscene = sphere\nnoise = 4\n",
    "HQVGA realistic": "variant = hqvga\nfps = 0\nscene = sphere\nphysics = realistic\n",
    "VGA realistic": "variant = vga\nfps = 0\nscene = sphere\nphysics = realistic\n",
}
FRAMES = {"HQVGA": 30, "VGA": 12}
REPEATS = 3


def capture(quorvex, cfg, n):
    with quorvex.Camera(config=cfg) as cam:
        frames = list(cam.frames(max_frames=n + 2))[2:]
        return frames, cam.info


def writer_alone(recording, frames, info, compression, path):
    cpu = time.process_time()
    with recording.RecordingWriter(path, info, compression=compression, queue_frames=len(frames)) as rec:
        for f in frames:
            rec.offer(f, block=True)
    cpu = time.process_time() - cpu
    return os.path.getsize(path) / len(frames), cpu / len(frames)


def best_of(fn, repeat=3):
    best = None
    for _ in range(repeat):
        t = time.process_time()
        fn()
        t = time.process_time() - t
        best = t if best is None else min(best, t)
    return best


def main():
    build = Path(sys.argv[1] if len(sys.argv) > 1 else "build/native")
    sys.path.insert(0, str(build / "python"))
    try:
        import quorvex
        from quorvex import depthcoding, planeformats, recording, rosmsg
        from quorvex.errors import CameraError
        import mcap  # noqa: F401
        import mcap_ros2  # noqa: F401
    except ImportError as e:
        print(f"depth coding bench skipped: {e}")
        return
    from quorvex import network

    with tempfile.TemporaryDirectory(dir=".") as tmp:
        tmp = Path(tmp)
        for name, text in WORLDS.items():
            cfg = tmp / "world.cfg"
            cfg.write_text(text)
            try:
                frames, info = capture(quorvex, str(cfg), FRAMES[name.split()[0]])
            except (CameraError, ValueError) as e:
                print(f"{name}: skipped ({e})")
                continue
            n = len(frames)
            print(f"{name}: {info.width} x {info.height}, {n} frames in memory")
            size_key, world = name.split()[0].lower(), name.split(maxsplit=1)[1]
            case = "depth" if world == "realistic" else "depth_" + world.replace(" ", "")
            sizes, cpus = {}, {}
            # In turn rather than one compression after the other, so that a
            # burst of load elsewhere on the machine falls on all of them.
            for _ in range(REPEATS):
                for compression in recording.COMPRESSIONS:
                    path = tmp / f"{compression}.mcap"
                    size, cpu = writer_alone(recording, frames, info, compression, path)
                    path.unlink()
                    sizes[compression] = size
                    cpus[compression] = min(cpu, cpus.get(compression, cpu))
            for compression in recording.COMPRESSIONS:
                print(f"  record {compression:5}: {sizes[compression] / 1e3:8.1f} kB/frame, "
                      f"{cpus[compression] * 1e3:6.2f} ms CPU/frame")
            print(f"  depth: {sizes['zstd'] / sizes['depth']:.2f} x fewer bytes than zstd, "
                  f"{cpus['depth'] / cpus['lz4']:.2f} x the CPU of lz4")
            figure(f"coding.{case}.{size_key}.cpu_ratio_to_lz4", cpus["depth"] / cpus["lz4"])
            figure(f"coding.{case}.{size_key}.bytes_ratio_zstd", sizes["zstd"] / sizes["depth"])
            figure(f"coding.{case}.{size_key}.kb_per_frame", sizes["depth"] / 1e3)

            coded = [list(planeformats.plane_messages(f, "cam", "depth")) for f in frames]
            floats = [list(planeformats.plane_messages(f, "cam", "none")) for f in frames]
            enc = best_of(lambda: [list(planeformats.plane_messages(f, "cam", "depth")) for f in frames]) / n

            class Msg:
                def __init__(self, d):
                    self.format, self.data = d["format"], d["data"]

            def decode_all():
                for msgs in coded:
                    amp = None
                    for plane, m in msgs:
                        a = planeformats.plane_array(Msg(m), plane, info.width, info.height, amp)
                        if plane == "amplitude":
                            amp = a

            dec = best_of(decode_all) / n
            print(f"  coders alone: encode {enc * 1e3:.2f} ms/frame, decode {dec * 1e3:.2f} ms/frame")
            figure(f"coding.{case}.{size_key}.encode_ms", enc * 1e3)
            figure(f"coding.{case}.{size_key}.decode_ms", dec * 1e3)
            for fmt in depthcoding.PLANE_FORMATS:
                amps = [depthcoding.encode_plane(f.amplitude, fmt) for f in frames]
                a_enc = best_of(lambda: [depthcoding.encode_plane(f.amplitude, fmt) for f in frames]) / n
                a_dec = best_of(lambda: [depthcoding.decode_plane(a, info.width, info.height, format=fmt)
                                         for a in amps]) / n
                print(f"  amplitude as {fmt!r}: {sum(map(len, amps)) / n / 1e3:.1f} kB/frame, "
                      f"encode {a_enc * 1e3:.2f} ms, decode {a_dec * 1e3:.2f} ms")

            header = network.FRAME_HEADER.size
            float_bytes = sum(len(rosmsg.encode(rosmsg.IMAGE, m)) + header for ms in floats for _, m in ms) / n
            coded_bytes = sum(len(rosmsg.encode(rosmsg.COMPRESSED_IMAGE, m)) + header
                              for ms in coded for _, m in ms) / n
            depth_amp = sum(len(rosmsg.encode(rosmsg.COMPRESSED_IMAGE, m)) + header
                            for ms in coded for p, m in ms if p in ("depth", "amplitude")) / n
            print(f"  publish: float32 {float_bytes / 1e3:.1f} kB/frame, depth-coded {coded_bytes / 1e3:.1f} "
                  f"kB/frame ({sizes['zstd'] / coded_bytes:.2f} x fewer than the zstd recording); "
                  f"depth + amplitude at 30 fps {depth_amp * 30 / 1e6:.2f} MB/s")


if __name__ == "__main__":
    main()
