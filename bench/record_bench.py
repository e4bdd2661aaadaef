"""Recording: frames of the simulated module into MCAP files, each compression.

    python bench/record_bench.py BUILD_DIR [SECONDS]

For HQVGA at 30 fps and VGA as fast as the simulated module goes here:
1. Streaming alone, the baseline: frames per second and process CPU per frame
   (capture thread included).
2. Recording the live camera: frames, dropped, CPU per frame and its ratio
   to the baseline, MB/s written.
3. Recording a replay of the camera's frames at the rate it streamed, from a
   source that sleeps between frames: the recorder's own capacity and CPU
   per frame, apart from how the camera's wait shares the interpreter.
4. The writer alone: frames in memory written as fast as it can.
"""
import dataclasses
import sys
import tempfile
import time
from pathlib import Path

from bench_figures import figure, key

SECONDS = 5.0


def stream(quorvex, cfg, output, seconds):
    with quorvex.Camera(config=cfg, output=output) as cam:
        n = 0
        for _ in cam.frames(max_frames=3):  # started and warm
            pass
        cpu, begin = time.process_time(), time.monotonic()
        for _ in cam.frames():
            n += 1
            if time.monotonic() - begin >= seconds:
                break
        return n, time.monotonic() - begin, time.process_time() - cpu


def record(quorvex, recording, cfg, output, compression, path, seconds):
    with quorvex.Camera(config=cfg, output=output) as cam:
        for _ in cam.frames(max_frames=3):
            pass
        cpu = time.process_time()
        result = recording.record(cam, path, seconds=seconds, compression=compression)
        return result, time.process_time() - cpu


class Replay:
    """The frames of a camera again, at a given rate, sleeping in between."""

    def __init__(self, frames, info, fps):
        self.live, self.info, self.fps = frames, info, fps

    def frames(self, max_frames=None):
        begin = time.monotonic()
        i = 0
        while max_frames is None or i < max_frames:
            wait = begin + i / self.fps - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            f = self.live[i % len(self.live)]
            yield dataclasses.replace(f, sequence=i, host_time_ns=time.monotonic_ns())
            i += 1


def writer_alone(quorvex, recording, cfg, output, compression, path, frames=60):
    with quorvex.Camera(config=cfg, output=output) as cam:
        live = list(cam.frames(max_frames=frames))
        info = cam.info
    cpu, begin = time.process_time(), time.monotonic()
    with recording.RecordingWriter(path, info, compression=compression, queue_frames=frames) as rec:
        for f in live:
            rec.offer(f)
    wall, cpu = time.monotonic() - begin, time.process_time() - cpu
    return frames / wall, cpu / frames, rec.stats.bytes_written / wall / 1e6


def main():
    build = Path(sys.argv[1] if len(sys.argv) > 1 else "build/native")
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else SECONDS
    sys.path.insert(0, str(build / "python"))
    try:
        import quorvex
        from quorvex import recording
        import mcap  # noqa: F401
    except ImportError as e:
        print(f"record bench skipped: {e}")
        return
    with tempfile.TemporaryDirectory(dir=".") as tmp:
        tmp = Path(tmp)
        # HQVGA with sensor noise, as a real module has: the simulated scene
        # alone compresses far better than anything a camera sees. VGA
        # without: simulating its noise takes most of a core, and VGA is here
        # for the rate.
        configs = {"HQVGA 30 fps": "variant = hqvga\nfps = 30\nscene = sphere\nnoise = 20\n",
                   "VGA fastest": "variant = vga\nfps = 0\nscene = sphere\n"}
        for name, text in configs.items():
            size = key(name.split()[0])
            cfg = tmp / (name.split()[0] + ".cfg")
            cfg.write_text(text)
            n, wall, cpu = stream(quorvex, str(cfg), "depth", seconds)
            base = cpu / n
            figure(f"record.stream_alone.{size}.cpu_ms", base * 1e3)
            print(f"{name}, depth: streaming alone {n / wall:.1f} fps, {base * 1e3:.2f} ms CPU/frame")
            for compression in recording.COMPRESSIONS:
                path = tmp / f"{name.split()[0]}-{compression}.mcap"
                result, cpu = record(quorvex, recording, str(cfg), "depth", compression, path, seconds)
                s = result.stats
                taken = s.frames_written + s.dropped_by_recorder
                per = cpu / max(1, taken)
                figure(f"record.{key(compression)}.{size}.cpu_ratio_to_streaming", per / base)
                figure(f"record.{key(compression)}.{size}.kb_per_frame",
                       s.bytes_written / max(1, s.frames_written) / 1e3)
                figure(f"record.{key(compression)}.{size}.dropped_by_recorder", s.dropped_by_recorder)
                print(f"  record {compression:5}: {taken / result.seconds:5.1f} fps, {s.frames_written} written, "
                      f"dropped {s.dropped} ({s.dropped_by_recorder} by the recorder), "
                      f"{per * 1e3:.2f} ms CPU/frame ({per / base:.2f} x streaming), "
                      f"{s.bytes_written / result.seconds / 1e6:.1f} MB/s, "
                      f"{s.bytes_written / max(1, s.frames_written) / 1e3:.0f} kB/frame")
                path.unlink()
            with quorvex.Camera(config=str(cfg)) as cam:
                replay = Replay(list(cam.frames(max_frames=30)), cam.info, round(n / wall, 1))
            for compression in recording.COMPRESSIONS:
                path = tmp / "replay.mcap"
                cpu = time.process_time()
                result = recording.record(replay, path, seconds=seconds, compression=compression)
                s = result.stats
                per = (time.process_time() - cpu) / max(1, s.frames_written)
                print(f"  record a {replay.fps} fps replay, {compression:5}: {s.frames_written} written, "
                      f"dropped {s.dropped_by_recorder}, {per * 1e3:.2f} ms CPU/frame, "
                      f"{s.bytes_written / result.seconds / 1e6:.1f} MB/s")
                path.unlink()
            for compression in recording.COMPRESSIONS:
                path = tmp / "alone.mcap"
                rate, per, mbs = writer_alone(quorvex, recording, str(cfg), "depth", compression, path)
                figure(f"record.writer_alone.{size}.{key(compression)}_cpu_ms", per * 1e3)
                print(f"  writer alone {compression:5}: {rate:6.1f} frames/s, {per * 1e3:.2f} ms CPU/frame, "
                      f"{mbs:.1f} MB/s")
                path.unlink()


if __name__ == "__main__":
    main()
