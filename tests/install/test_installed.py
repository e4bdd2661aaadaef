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
import shutil
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


CLOSED = ("libquorvex_evk_sdk.so", "libsi4c.so")


@pytest.mark.skipif(not WHEELS, reason="QUORVEX_WHEEL_DIR not set or holds no wheel")
@pytest.mark.parametrize("wheel", WHEELS, ids=[w.name for w in WHEELS])
def test_wheel_keeps_the_closed_library_names_in_its_private_folder(wheel):
    # At the top of site-packages a stand-in would be what every program's
    # search for the vendor's soname finds.
    with zipfile.ZipFile(wheel) as archive:
        places = sorted(n for n in archive.namelist() if n.rsplit("/", 1)[-1] in CLOSED)
    assert places == [f"quorvex/simulated/{name}" for name in sorted(CLOSED)], f"{wheel.name} holds {places}"


@needs_installed
def test_installed_core_needs_no_closed_library(tmp_path):
    readelf = shutil.which("readelf")
    if not readelf:
        pytest.skip("no readelf")
    platlib = run_installed("import sysconfig; print(sysconfig.get_paths()['platlib'])", tmp_path).strip()
    dynamic = subprocess.run([readelf, "-d", str(pathlib.Path(platlib) / "libquorvex.so")],
                             capture_output=True, text=True, check=True).stdout
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
    assert needed and not set(needed) & set(CLOSED), needed
    # A run path would be searched before the system's folders when the core
    # opens a vendor's soname, and could hide the vendor's library.
    assert "RUNPATH" not in dynamic and "RPATH" not in dynamic, dynamic


@needs_installed
def test_installed_camera_opens_the_vendors_usb_library_on_the_search_path(tmp_path):
    cc = shutil.which("cc")
    if not cc:
        pytest.skip("no C compiler for the test vendor library")
    top = pathlib.Path(__file__).resolve().parents[2]
    fake = tmp_path / "vendor" / "libquorvex_evk_sdk.so"
    fake.parent.mkdir()
    subprocess.run([cc, "-shared", "-fPIC", f"-I{top}", "-o", str(fake), str(top / "tests/fake_vendor/fake_evk.c"),
                    str(top / "tests/fake_vendor/fake_record.c"), "-ldl"], check=True)
    child = "import QuorvexDepthCamera as q; print(int(q.QuorvexCamera().open(q.TOFConnect.USB)))"
    for simulated, status, notice in (("", "-1", f"using the USB module library {fake}"),
                                      ("1", "0", "using the simulated USB module: QUORVEX_SIMULATED=1")):
        log = tmp_path / f"calls{simulated}"
        env = dict(os.environ, LD_LIBRARY_PATH=str(fake.parent), FAKE_VENDOR_LOG=str(log),
                   QUORVEX_SIMULATED=simulated)
        r = subprocess.run([INSTALLED_PYTHON, "-c", child], cwd=tmp_path, env=env, capture_output=True, text=True,
                           timeout=120)
        assert r.stdout.split() == [status] and notice in r.stderr, r.stdout + r.stderr
        assert log.exists() == (status == "-1")
