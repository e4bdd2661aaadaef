"""The main job runs end to end on the simulated module and writes real pictures."""
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_depth_example_streams_and_writes_png_pictures(tmp_path):
    result = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "depth_example.py"), "--seconds", "1", "--out", str(tmp_path)],
        capture_output=True, text=True, timeout=120, env=dict(os.environ, MPLBACKEND="Agg"))
    assert result.returncode == 0, result.stderr
    assert "frames" in result.stdout and "fps" in result.stdout and "dropped" in result.stdout
    for name in ("depth.png", "amplitude.png"):
        data = (tmp_path / name).read_bytes()
        assert data.startswith(b"\x89PNG\r\n\x1a\n")
        from PIL import Image  # matplotlib depends on Pillow
        with Image.open(tmp_path / name) as image:
            image.verify()
            assert image.size[0] > 100 and image.size[1] > 100


def test_raw_example_prints_the_frame_geometry():
    result = subprocess.run([sys.executable, str(ROOT / "examples" / "raw_example.py")],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert "raw frame 240 x 720" in result.stdout
