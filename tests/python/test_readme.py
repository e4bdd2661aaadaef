"""The README's snippets that need no board run as written, in order, in one
folder: those marked with a readme-test comment before their fence. Python
blocks run in a child interpreter; shell blocks with bash, `python` being
this interpreter; in a transcript (lines starting with "$ ") only the
commands run."""
import os
import pathlib
import re
import subprocess
import sys

import pytest

from conftest import require_child_interpreter

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
MARK = "<!-- readme-test"


def marked_blocks():
    lines = README.read_text().splitlines()
    blocks = []
    for i, line in enumerate(lines):
        if line.startswith(MARK):
            fence = lines[i + 1]
            assert fence.startswith("```"), f"README line {i + 2}: a readme-test mark must precede a fence"
            end = lines.index("```", i + 2)
            blocks.append((i + 2, fence[3:].strip() or "transcript", "\n".join(lines[i + 2:end])))
    return blocks


def test_the_marked_snippets_run_as_written(tmp_path):
    require_child_interpreter()
    pytest.importorskip("mcap")
    blocks = marked_blocks()
    assert {kind for _, kind, _ in blocks} >= {"python", "sh", "transcript"}
    bindir = tmp_path / "bin"
    bindir.mkdir()
    (bindir / "python").symlink_to(sys.executable)
    env = dict(os.environ, PATH=f"{bindir}{os.pathsep}{os.environ.get('PATH', '')}",
               PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    work = tmp_path / "work"
    work.mkdir()
    for line_no, kind, text in blocks:
        if kind == "python":
            cmd = [sys.executable, "-c", text]
        else:
            if kind == "transcript":
                text = "\n".join(re.sub(r"^\$ ", "", ln) for ln in text.splitlines() if ln.startswith("$ "))
            cmd = ["bash", "-euo", "pipefail", "-c", text]
        r = subprocess.run(cmd, cwd=work, env=env, capture_output=True, text=True, timeout=120)
        assert r.returncode == 0, f"README line {line_no} ({kind}):\n{text}\n--- output\n{r.stdout}{r.stderr}"
