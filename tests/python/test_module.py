import QuorvexDepthCamera


def test_version():
    assert QuorvexDepthCamera.__version__ == "dev"


def test_first_array_call_on_a_daemon_thread_at_exit_does_not_abort():
    # A daemon thread's first array call is held inside numpy's import (by
    # an import hook, let go by an exit handler) while the main thread leaves
    # the interpreter. When numpy's set-up happened at that call, the thread
    # was caught inside it by finalisation and the process died ("terminate
    # called without an active exception"), in most runs but not all; done
    # at import, the call has nothing left to set up.
    import os
    import subprocess
    import sys
    script = """
import atexit, sys, threading
import QuorvexDepthCamera as q

held = threading.Event()
leave = threading.Event()

class HoldNumpyImport:
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] == "numpy" and threading.current_thread() is not threading.main_thread():
            held.set()
            leave.wait(10)
        return None

sys.meta_path.insert(0, HoldNumpyImport())
atexit.register(leave.set)
cam = q.QuorvexCamera()
assert cam.open(q.TOFConnect.USB) == q.TOFErrorCode.QuorvexSuccess
assert cam.start(q.TOFOutput.DEPTH) == q.TOFErrorCode.QuorvexSuccess
frame = cam.requestFrame(5000)
assert frame is not None
worker = threading.Thread(target=frame.getDepthData, daemon=True)
worker.start()
for _ in range(1000):
    if held.is_set() or not worker.is_alive():
        break
    worker.join(0.01)
print("leaving")
"""
    from conftest import require_child_interpreter
    require_child_interpreter()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    for _ in range(5):
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60, env=env)
        assert result.returncode == 0, (result.returncode, result.stderr[-2000:])
        assert result.stdout == "leaving\n"
