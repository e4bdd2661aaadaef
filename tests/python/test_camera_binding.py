"""The camera class as Python sees it: signatures, conversions, exceptions."""
import pytest

import QuorvexDepthCamera as q

DOCS = {
    "open": "Initialize the camera configuration and turn on the camera, set the initialization frame "
            "according to the mode.\n\n- mode Specify the connection method.\n- index Device node, the "
            "default value is video0.",
    "openWithFile": "Initialize the camera configuration and turn on the camera, set the initialization "
                    "frame according to the mode.\n\n- path Specify the config file path.\n- index Device "
                    "node, the default value is video0.",
    "close": "Close the camera",
    "start": "Start the camera stream and start processing.",
    "stop": "Stop camera stream and processing.",
    "setControl": "Set camera parameters.",
    "getControl": "Get camera parameters.",
    "getCameraInfo": "Get camera information.",
    "requestFrame": "Request a frame of data from the frame processing thread.",
    "releaseFrame": "Free the memory space of the frame.",
}
SIGNATURES = {
    "open": "open(self: QuorvexDepthCamera.QuorvexCamera, mode: QuorvexDepthCamera.TOFConnect, index: int = 0)"
            " -> QuorvexDepthCamera.TOFErrorCode",
    "openWithFile": "openWithFile(self: QuorvexDepthCamera.QuorvexCamera, path: str, index: int = 0)"
                    " -> QuorvexDepthCamera.TOFErrorCode",
    "start": "start(self: QuorvexDepthCamera.QuorvexCamera, type: QuorvexDepthCamera.TOFOutput)"
             " -> QuorvexDepthCamera.TOFErrorCode",
    "getControl": "getControl(self: QuorvexDepthCamera.QuorvexCamera, ctrl: QuorvexDepthCamera.TOFControl) -> int",
    "getCameraInfo": "getCameraInfo(self: QuorvexDepthCamera.QuorvexCamera) -> QuorvexDepthCamera.QuorvexInfo",
    "requestFrame": "requestFrame(self: QuorvexDepthCamera.QuorvexCamera, timeout: int)"
                    " -> QuorvexDepthCamera.QuorvexFrame",
    "releaseFrame": "releaseFrame(self: QuorvexDepthCamera.QuorvexCamera, frame: QuorvexDepthCamera.QuorvexFrame)"
                    " -> QuorvexDepthCamera.TOFErrorCode",
}
FRAME_DOCS = {
    ("RawData", "getRawData"): ("getRawData(self: QuorvexDepthCamera.QuorvexFrame) -> "
                                "numpy.ndarray[numpy.int16]", "Get raw data from the frame"),
    ("DepthData", "getDepthData"): ("getDepthData(self: QuorvexDepthCamera.DepthData) -> "
                                    "numpy.ndarray[numpy.float32]", "Get depth data from the frame"),
    ("DepthData", "getAmplitudeData"): ("getAmplitudeData(self: QuorvexDepthCamera.DepthData) -> "
                                        "numpy.ndarray[numpy.float32]", "Get amplitude data from the frame"),
    ("DepthData", "getFrameFormat"): ("getFrameFormat(self: QuorvexDepthCamera.DepthData) -> "
                                      "QuorvexDepthCamera.QuorvexFormat", "Get the information of this frame"),
}


def test_methods_in_order_with_their_docstrings_and_signatures():
    methods = [n for n in vars(q.QuorvexCamera) if not n.startswith("_")]
    assert methods == list(DOCS)
    for name, doc in DOCS.items():
        text = getattr(q.QuorvexCamera, name).__doc__.rstrip("\n")  # pybind11 ends it with a newline
        assert text.endswith(doc), name
        if name in SIGNATURES:
            assert text.startswith(SIGNATURES[name] + "\n\n" + doc), name
    for (cls, name), (signature, doc) in FRAME_DOCS.items():
        assert getattr(getattr(q, cls), name).__doc__ == f"{signature}\n\n{doc}\n"
    assert q.QuorvexCamera.__doc__ is None


def test_no_instance_dictionary():
    cam = q.QuorvexCamera()
    with pytest.raises(AttributeError):
        cam.anything = 1


@pytest.mark.parametrize("call", [
    lambda c: c.open(0),                                  # an integer is not a member
    lambda c: c.open(q.TOFOutput.RAW),                    # a member of another enumeration
    lambda c: c.open(q.TOFConnect.USB, 2 ** 31),          # index outside 32 bits
    lambda c: c.open(q.TOFConnect.USB, 1.0),
    lambda c: c.start(2),
    lambda c: c.requestFrame(),
    lambda c: c.requestFrame(40000),                      # timeout outside 16 bits
    lambda c: c.requestFrame(-32769),
    lambda c: c.requestFrame(200.0),
    lambda c: c.setControl(6, 30),
    lambda c: c.setControl(q.TOFControl.FRAME_RATE, 2 ** 31),
    lambda c: c.getControl(q.TofWorkMode.SINGLE_FREQ),
    lambda c: c.openWithFile(42),
    lambda c: c.releaseFrame(q.TOFOutput.RAW),
    lambda c: q.QuorvexCamera.close(q.TOFOutput.RAW),    # self of the wrong class
])
def test_unconvertible_arguments_raise_type_error(call):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call(q.QuorvexCamera())


def test_results_of_a_camera_that_was_never_opened():
    cam = q.QuorvexCamera()
    assert cam.start(q.TOFOutput.DEPTH) == q.TOFErrorCode.QuorvexUnkownError
    assert isinstance(cam.start(q.TOFOutput.DEPTH), q.TOFErrorCode)
    assert cam.requestFrame(0) is None
    assert cam.requestFrame(-1) is None  # nothing streams: no endless wait
    assert cam.releaseFrame(None) == q.TOFErrorCode.QuorvexUnkownError
    value = cam.getControl(q.TOFControl.FRAME_RATE)
    assert type(value) is int and value == 0
    # Held by the camera itself: answered before any open.
    assert cam.setControl(q.TOFControl.SKIP_FRAME_LOOP, 3) == q.TOFErrorCode.QuorvexSuccess
    assert cam.getControl(q.TOFControl.SKIP_FRAME_LOOP) == 3
    assert cam.setControl(q.TOFControl(9), 0) == q.TOFErrorCode.QuorvexSuccess  # AUTO_FRAME_RATE
    assert cam.getControl(q.TOFControl(9)) == 0
    # A null path is refused by the camera, not by the binding.
    assert cam.openWithFile(None) == q.TOFErrorCode.QuorvexUnkownError


def test_stop_without_a_running_stream_raises_runtime_error():
    cam = q.QuorvexCamera()
    with pytest.raises(RuntimeError):
        cam.stop()
    with pytest.raises(RuntimeError):
        cam.stop()


def test_short_usb_configuration_path_raises_index_error():
    cam = q.QuorvexCamera()
    for path in ("a.b", b"a.b", bytearray(b"a.b")):
        with pytest.raises(IndexError):
            cam.openWithFile(path)


def test_camera_info_is_a_range_checked_copy():
    cam = q.QuorvexCamera()
    info = cam.getCameraInfo()
    assert isinstance(info, q.QuorvexInfo)
    info.width = 2 ** 32 - 1
    assert info.width == 2 ** 32 - 1
    assert cam.getCameraInfo().width != info.width or info.width == 0
    for bad in (-1, 2 ** 32, 1.5, "1"):
        with pytest.raises(TypeError):
            info.height = bad
    with pytest.raises(TypeError):
        info.connect = 1
    info.connect = q.TOFConnect.USB
    assert info.connect == q.TOFConnect.USB and info.connect.value == 1
    # An enumeration read from a field views it: it follows later assignments.
    kind = info.type
    info.type = q.TOFOutput.CACHE
    assert kind == q.TOFOutput.CACHE
    assert [n for n in vars(q.QuorvexInfo) if not n.startswith("_")] == [
        "index", "connect", "device_type", "type", "width", "height", "bit_width", "bpp"]
    assert [n for n in vars(q.QuorvexFormat) if not n.startswith("_")] == ["width", "height", "timestamp", "type"]


def run_python(script, timeout=60):
    """Runs `script` in a fresh interpreter that finds the module as this one does."""
    import os
    import subprocess
    import sys
    from conftest import require_child_interpreter
    require_child_interpreter()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout, env=env)


def test_every_method_of_an_uninitialised_camera_raises_type_error():
    # In a child: on a missing camera a method used to crash the interpreter.
    script = """
import QuorvexDepthCamera as q
c = q.QuorvexCamera.__new__(q.QuorvexCamera)
calls = {
    "open": lambda: c.open(q.TOFConnect.USB),
    "openWithFile": lambda: c.openWithFile("x.cfg"),
    "close": lambda: c.close(),
    "start": lambda: c.start(q.TOFOutput.DEPTH),
    "stop": lambda: c.stop(),
    "setControl": lambda: c.setControl(q.TOFControl.RANGE, 5),
    "getControl": lambda: c.getControl(q.TOFControl.RANGE),
    "getCameraInfo": lambda: c.getCameraInfo(),
    "requestFrame": lambda: c.requestFrame(0),
    "releaseFrame": lambda: c.releaseFrame(None),
}
for name, call in calls.items():
    try:
        call()
        print(name, "returned")
    except TypeError:
        print(name, "TypeError")
del c
print("done")
"""
    result = run_python(script)
    assert result.returncode == 0, result.stderr
    names = [n for n in vars(q.QuorvexCamera) if not n.startswith("_")]
    assert result.stdout.split("\n") == [f"{n} TypeError" for n in names] + ["done", ""]


def test_paths_with_a_nul_are_refused_never_cut_short(tmp_path):
    good = tmp_path / "module.cfg"
    good.write_text("fps = 0\n")
    cam = q.QuorvexCamera()
    for path in (str(good) + "\0/does/not/exist", str(good).encode() + b"\0/x", bytearray(str(good).encode() + b"\0")):
        with pytest.raises(ValueError, match="NUL"):
            cam.openWithFile(path)
    # Nothing was opened by the refused calls.
    assert cam.start(q.TOFOutput.DEPTH) == q.TOFErrorCode.QuorvexUnkownError
    assert cam.openWithFile(str(good)) == q.TOFErrorCode.QuorvexSuccess
    assert cam.openWithFile(bytearray(str(good).encode())) == q.TOFErrorCode.QuorvexSuccess
    assert cam.close() == q.TOFErrorCode.QuorvexSuccess
