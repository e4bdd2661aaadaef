"""Shared test helpers."""
import functools
import os
import signal
import subprocess
import sys

import pytest

# Started in the background of a non-interactive shell (nohup, `cmd &` in a
# CI script), the run inherits SIGINT ignored, and Python leaves an ignored
# SIGINT alone, in this process and in every interpreter it starts: the
# Ctrl-C tests would wait for an interrupt that never comes. A terminal's
# Ctrl-C is what they stand for, so it is delivered as there.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


@functools.lru_cache(maxsize=None)
def _child_interpreter_problem():
    # Under qemu-user with no binfmt handler the target's interpreter cannot
    # start itself again: exec fails with ENOEXEC, or (posix_spawn) the child
    # exits 127 before running a line.
    try:
        r = subprocess.run([sys.executable, "-c", "print('ok')"], capture_output=True, text=True, timeout=60)
    except OSError as e:
        return f"cannot start this interpreter as a child: {e}"
    if r.returncode != 0 or r.stdout.strip() != "ok":
        return f"this interpreter does not start as a child (exit {r.returncode})"
    return None


def require_child_interpreter():
    """Skips the calling test where `sys.executable` cannot run as a child."""
    problem = _child_interpreter_problem()
    if problem:
        pytest.skip(problem)



# Set by tools/qemu-python-tests.sh: the interpreter runs under qemu-user,
# some 30 to 50 times slower than the board it stands for.
EMULATED = os.environ.get("QUORVEX_TEST_EMULATED") == "1"
