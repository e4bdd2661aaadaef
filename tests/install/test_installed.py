"""Checks of what a user installs: the package pip built into a fresh
environment, and the wheels made for the boards.

`.ci/run` points them at what it built:
    QUORVEX_INSTALLED_PYTHON  interpreter of an environment holding the package
    QUORVEX_WHEEL_DIR         folder of wheels to inspect
Each check is skipped when its variable is not set.
"""
import os
import pathlib
import re
import subprocess
import textwrap
import zipfile

import pytest

INSTALLED_PYTHON = os.environ.get("QUORVEX_INSTALLED_PYTHON")
WHEEL_DIR = os.environ.get("QUORVEX_WHEEL_DIR")
WHEELS = sorted(pathlib.Path(WHEEL_DIR).glob("*.whl")) if WHEEL_DIR else []
CORE = re.compile(r"(^|/)libquorvex\.so")

needs_installed = pytest.mark.skipif(not INSTALLED_PYTHON, reason="QUORVEX_INSTALLED_PYTHON not set")


def run_installed(code, tmp_path):
    # From outside the source tree, so the installed copy is what loads.
    result = subprocess.run([INSTALLED_PYTHON, "-c", textwrap.dedent(code)], cwd=tmp_path,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


@needs_installed
def test_module_streams_and_has_its_stub(tmp_path):
    run_installed("""
        import pathlib
        import QuorvexDepthCamera as q
        stub = pathlib.Path(q.__file__).with_name("QuorvexDepthCamera.pyi")
        assert stub.is_file(), "type stub not installed beside the module"
        cam = q.QuorvexCamera()
        assert cam.open(q.TOFConnect.USB) == q.TOFErrorCode.QuorvexSuccess
        assert cam.start(q.TOFOutput.DEPTH) == q.TOFErrorCode.QuorvexSuccess
        frame = cam.requestFrame(2000)
        assert frame is not None and frame.getDepthData().shape == (180, 240)
        cam.releaseFrame(frame)
        cam.stop()
        cam.close()
    """, tmp_path)


@needs_installed
def test_package_and_native_module_share_the_distribution_version(tmp_path):
    run_installed("""
        import importlib.metadata
        import quorvex
        from quorvex import _native
        assert quorvex.__version__ == importlib.metadata.version("QuorvexDepthCamera"), quorvex.__version__
        with quorvex.Camera() as cam:
            (frame,) = cam.frames(max_frames=1)
        assert frame.depth.shape == (180, 240)
    """, tmp_path)


@needs_installed
def test_installed_core_is_one_file_under_the_linked_name(tmp_path):
    # A wheel holds no symbolic links: a versioned soname beside its link
    # name would be two full copies, and the module links the plain name.
    platlib = run_installed("import sysconfig; print(sysconfig.get_paths()['platlib'])", tmp_path).strip()
    cores = sorted(p.name for p in pathlib.Path(platlib).rglob("libquorvex.so*"))
    assert cores == ["libquorvex.so"]


@pytest.mark.skipif(not WHEELS, reason="QUORVEX_WHEEL_DIR not set or holds no wheel")
@pytest.mark.parametrize("wheel", WHEELS, ids=[w.name for w in WHEELS])
def test_wheel_holds_the_core_once(wheel):
    with zipfile.ZipFile(wheel) as archive:
        cores = [n for n in archive.namelist() if CORE.search(n)]
    assert [c.rsplit("/", 1)[-1] for c in cores] == ["libquorvex.so"], f"{wheel.name} holds {cores}"
