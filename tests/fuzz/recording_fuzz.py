"""Coverage-guided fuzzing of the recording reader with atheris: every input
is a file that `open_recording` and `scan_recording` read through. Reading
may refuse a file with CameraError; any other exception, a time-out
(-timeout) or memory beyond -rss_limit_mb is a finding.

    python recording_fuzz.py --corpus DIR            seeds DIR with real recordings
    python recording_fuzz.py [libFuzzer flags] DIR   fuzzes from DIR
"""
import os
import sys
import tempfile
import warnings

import atheris

with atheris.instrument_imports(include=["quorvex", "mcap", "mcap_ros2"]):
    # The reader imports its parsers when first used: imported here so that
    # they are instrumented too.
    import mcap.data_stream
    import mcap.records
    import mcap.stream_reader
    import mcap_ros2.decoder
    import quorvex
    from quorvex import recording
    from quorvex.errors import CameraError

_PATH = os.path.join(tempfile.gettempdir(), f"quorvex-recording-fuzz-{os.getpid()}.mcap")


def test_one_input(data):
    with open(_PATH, "wb") as f:
        f.write(data)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", recording.RecordingWarning)
        for skip in (False, True):
            try:
                rec = quorvex.open_recording(_PATH, realtime=False, skip_corrupt=skip)
                for frame in rec.frames():
                    planes = [p for p in (frame.depth, frame.amplitude, frame.confidence, frame.raw)
                              if p is not None]
                    assert planes, "a frame without planes"
            except CameraError:
                pass
        try:
            recording.scan_recording(_PATH)
        except CameraError:
            pass


def write_corpus(folder):
    """Short real recordings of the simulated module: both outputs, every
    compression (depth coding too), two cut short as a killed recorder leaves them."""
    os.makedirs(folder, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        cfg = os.path.join(tmp, "module.cfg")
        with open(cfg, "w") as f:
            f.write("fps = 0\n")
        for output in ("depth", "raw"):
            for compression in recording.COMPRESSIONS:
                path = os.path.join(folder, f"{output}-{compression}.mcap")
                with quorvex.Camera(config=cfg, output=output) as cam:
                    recording.record(cam, path, max_frames=2, compression=compression, block=True)
        # Float images in coded chunks, and depth-coded images in plain ones.
        for name in ("depth-zstd", "depth-depth"):
            with open(os.path.join(folder, f"{name}.mcap"), "rb") as f:
                data = f.read()
            with open(os.path.join(folder, f"{name}-cut.mcap"), "wb") as f:
                f.write(data[:len(data) * 2 // 3])


def main():
    if sys.argv[1:2] == ["--corpus"]:
        write_corpus(sys.argv[2])
        return
    try:
        atheris.Setup(sys.argv, test_one_input)
        atheris.Fuzz()
    finally:
        if os.path.exists(_PATH):
            os.unlink(_PATH)


if __name__ == "__main__":
    main()
