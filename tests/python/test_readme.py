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


def transcript_outputs(command):
    """(README line, the lines shown under `$ COMMAND ...`) for each such
    command in the README's transcripts."""
    lines = README.read_text().splitlines()
    found = []
    for i, line in enumerate(lines):
        if line.startswith(f"$ {command}"):
            shown = []
            for following in lines[i + 1:]:
                if following.startswith("$ ") or following.startswith("```"):
                    break
                shown.append(following)
            found.append((i + 1, line[2:].split("#")[0].strip(), shown))
    return found


def shape(line):
    # Counts, sizes and times differ from run to run; names and layout do not.
    return re.sub(r"\d+(\.\d+)?", "N", line.rstrip())


def test_the_info_sample_is_what_info_prints(tmp_path):
    require_child_interpreter()
    pytest.importorskip("mcap")
    samples = transcript_outputs("python -m quorvex info")
    assert samples, "the README shows no info sample"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    for line_no, command, shown in samples:
        name = command.split()[-1]
        made = subprocess.run([sys.executable, "-m", "quorvex", "record", name, "--frames", "30", "--quiet"],
                              cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
        assert made.returncode == 0, made.stderr
        r = subprocess.run([sys.executable, "-m", "quorvex", *command.split()[3:]], cwd=tmp_path, env=env,
                           capture_output=True, text=True, timeout=120)
        assert r.returncode == 0, r.stderr
        assert [shape(s) for s in shown] == [shape(s) for s in r.stdout.splitlines()], \
            f"README line {line_no}: the sample differs from what info prints:\n{r.stdout}"
        (tmp_path / name).unlink()
