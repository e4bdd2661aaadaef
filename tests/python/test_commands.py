"""The command layer: commands imported only when used, the same option
rules in every command that streams, and each run-time failure as one
line with exit status 1 (argument errors: 2). Loopback only."""
import argparse
import importlib
import io
import os
import socket
import subprocess
import sys

import pytest

import quorvex
from quorvex.commands import options
from quorvex.commands.progress import Progress

ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
STREAMING = ("record", "view", "publish")


def run_module(*args, timeout=60):
    from conftest import require_child_interpreter
    require_child_interpreter()
    return subprocess.run([sys.executable, "-m", "quorvex", *args], env=ENV, capture_output=True,
                          text=True, timeout=timeout)


def parser_of(command):
    try:
        module = importlib.import_module(f"quorvex.commands.{command}")
    except ImportError as e:
        pytest.skip(f"{command} needs an extra: {e}")
    parser = argparse.ArgumentParser(prog=command)
    module.add_arguments(parser)
    return (lambda argv: parser.parse_args((["out.mcap"] if command == "record" else []) + argv))


def test_listing_or_one_command_imports_no_other():
    from conftest import require_child_interpreter
    require_child_interpreter()
    code = ("import sys\nfrom quorvex.commands import main\n"
            "for argv in (['--help'], ['info', '--help']):\n"
            "    try:\n        main(argv)\n    except SystemExit:\n        pass\n"
            "print(sorted(m for m in sys.modules if m.startswith('quorvex.commands.') or m == 'aiohttp'))")
    r = subprocess.run([sys.executable, "-c", code], env=ENV, capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip().splitlines()[-1] == "['quorvex.commands.info']"


@pytest.mark.parametrize("command", STREAMING)
def test_every_streaming_command_refuses_the_same_arguments(command, capsys):
    parse = parser_of(command)
    for argv in (["--frames", "0"], ["--frames", "1.5"], ["--seconds", "0"], ["--seconds", "nan"],
                 ["--seconds", "1", "--frames", "2"], ["--camera", "gige"],
                 ["--config", "a", "--recording", "b"]):
        with pytest.raises(SystemExit) as e:
            parse(argv)
        err = capsys.readouterr().err
        assert e.value.code == 2 and err.splitlines()[-1].startswith(f"{command}: error: "), (argv, err)


@pytest.mark.parametrize("command", STREAMING)
def test_every_streaming_command_names_its_source_alike(command):
    parse = parser_of(command)
    for argv in (["--camera", "csi"], ["--connect-camera", "csi"], ["--connect", "csi"]):
        args = parse(argv)
        assert (args.connect_camera, args.connect) == ("csi", []), argv
    for flag in ("--recording", "--from", "--play"):
        assert parse([flag, "r.mcap"]).recording == "r.mcap"
    assert [parse(a).simulated for a in ([], ["--simulated"], ["--no-simulated"])] == [None, True, False]
    args = parse(["--seconds", "2.5"])
    assert (args.seconds, args.frames) == (2.5, None)


@pytest.mark.parametrize("command, argv, simulated, filters", [
    ("publish", [], None, None),
    ("publish", ["--no-simulated"], False, None),
    ("publish", ["--simulated", "--filters", "near"], True, "near"),
    ("record", ["--filters", "default"], None, "default"),
    ("view", ["--filters", "far"], None, None),   # the viewer filters the raw depth by itself
])
def test_the_camera_gets_the_options_as_given(monkeypatch, command, argv, simulated, filters):
    calls = []

    class Camera:
        def __init__(self, connect="usb", index=0, config=None, output="depth", simulated=None,
                     filters="default", calibration=None):
            calls.append((simulated, filters))

    monkeypatch.setattr(quorvex, "Camera", Camera)
    args = parser_of(command)(argv)
    if command == "view":
        importlib.import_module("quorvex.commands.view").open_source(args)
    else:
        options.open_source(args, realtime=True, subscribing=False, filters=args.filters)
    assert calls == [(simulated, filters)]


@pytest.mark.parametrize("transport", ["zenoh", "ros2"])
def test_publish_hands_its_filters_to_the_source_on_every_transport(monkeypatch, transport):
    # The command itself, not open_source alone: each transport opens its
    # source on a path of its own.
    if transport == "zenoh":
        pytest.importorskip("zenoh")
    publish = importlib.import_module("quorvex.commands.publish")
    from quorvex import dds

    given = []

    class Opened(Exception):
        pass

    def open_source(args, realtime, subscribing=True, physics=None, filters="none"):
        given.append(filters)
        raise Opened

    monkeypatch.setattr(options, "open_source", open_source)
    monkeypatch.setattr(dds, "library", lambda: None)
    args = parser_of("publish")(["--transport", transport, "--filters", "near"])
    with pytest.raises(Opened):
        publish.run(args)
    assert given == ["near"]


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("stream, expected", [
    # A terminal: redrawn in place (every 0.25 s), the end of a longer line wiped.
    (Terminal(), "\rframe 0\rframe 10\rf 20    \n"),
    # A log file: whole lines, one every 10 s.
    (io.StringIO(), "frame 10\n"),
])
def test_progress_redraws_only_on_a_terminal(stream, expected):
    now = [0.0]
    progress = Progress(stream=stream, clock=lambda: now[0])
    for t, text in ((0.0, "frame 0"), (0.1, "frame 1"), (10.0, "frame 10"), (10.2, "frame 11"),
                    (19.0, "f 20")):
        now[0] = t
        progress.update(text)
    progress.close()
    assert stream.getvalue() == expected


@pytest.fixture
def busy_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        s.listen(1)
        yield s.getsockname()[1]


def test_run_time_failures_are_one_line_and_status_1(tmp_path, busy_port):
    pytest.importorskip("aiohttp")
    bad = tmp_path / "bad.cfg"
    bad.write_text("scene = nowhere\n")
    cases = [
        (["view", "--port", "99999"], "cannot serve on 127.0.0.1:99999: a port is a number"),
        (["view", "--port", str(busy_port)], f"cannot serve on 127.0.0.1:{busy_port}: the port is in use"),
        (["view", "--config", str(bad), "--port", "0"], f"cannot open the camera with {bad}: "),
    ]
    try:
        import zenoh  # noqa: F401
        cases.append((["publish", "--listen", "nonsense", "--frames", "1"],
                      "cannot open a Zenoh session: Endpoints must be of the form"))
    except ImportError:
        pass
    for argv, message in cases:
        r = run_module(*argv)
        errors = [line for line in r.stderr.splitlines() if line.startswith("quorvex ")]
        assert r.returncode == 1 and len(errors) == 1 and message in errors[0], (argv, r.stderr)
        assert "Traceback" not in r.stderr and ".rs:" not in r.stderr, r.stderr
    # What the library said of the file, and the next step, in that one line.
    r = run_module("view", "--config", str(bad), "--port", "0")
    assert r.stderr.count("\n") == 1 and "nowhere" in r.stderr and "correct the file" in r.stderr


@pytest.mark.parametrize("argv, out", [
    (["view", "--port", "0", "--frames", "5"], "open http://127.0.0.1:"),
    (["publish", "--seconds", "1"], "publishing hqvga depth"),
])
def test_a_length_ends_every_streaming_command(argv, out):
    pytest.importorskip({"view": "aiohttp", "publish": "zenoh"}[argv[0]])
    r = run_module(*argv)
    assert r.returncode == 0 and out in r.stdout, r.stderr


def test_a_misspelt_option_shows_the_commands_own_usage():
    pytest.importorskip("mcap")
    r = run_module("record", "x.mcap", "--compresion", "lz4")
    assert r.returncode == 2 and r.stderr.startswith("usage: python -m quorvex record "), r.stderr
    assert r.stderr.splitlines()[-1] == ("python -m quorvex record: error: unrecognized arguments: "
                                         "--compresion lz4")


@pytest.fixture(scope="module")
def recordings(tmp_path_factory):
    """A depth recording and a raw one of the simulated module."""
    pytest.importorskip("mcap")
    from quorvex.recording import record

    folder = tmp_path_factory.mktemp("recordings")
    made = {}
    for output in ("depth", "raw"):
        made[output] = folder / f"{output}.mcap"
        with quorvex.Camera(output=output, filters=None) as cam:
            record(cam, made[output], max_frames=3, compression="none")
    return made


@pytest.mark.parametrize("argv, message", [
    (["--config", "{cfg}", "--physics", "ideal"], "--physics sets the world of the simulated module opened "
                                                  "over USB without --config; it does not apply to --config"),
    (["--from", "{depth}", "--physics", "ideal"], "does not apply to a recording"),
    (["--camera", "csi", "--physics", "ideal"], "does not apply to --camera csi"),
    (["--from", "{depth}", "--output", "raw"], "--output raw: {depth} holds depth frames"),
    (["--from", "{raw}", "--filters", "default"], "--filters default filters depth: {raw} holds raw frames"),
    (["--output", "raw", "--filters", "near"], "--filters near filters depth; raw samples (--output raw)"),
    (["--subscribe", "quorvex/x"], "--subscribe quorvex/x needs the publisher's address: give --connect"),
])
def test_an_option_the_source_would_ignore_is_refused_in_one_line(tmp_path, recordings, argv, message):
    names = {"cfg": tmp_path / "module.cfg", "depth": recordings["depth"], "raw": recordings["raw"]}
    names["cfg"].write_text("scene = sphere\n")
    argv = [a.format(**names) for a in argv]
    r = run_module("record", str(tmp_path / "out.mcap"), *argv)
    lines = r.stderr.strip().splitlines()
    assert r.returncode == 2 and len(lines) == 1 and lines[0].startswith("quorvex record: "), r.stderr
    assert message.format(**names) in lines[0] and not (tmp_path / "out.mcap").exists()


def test_what_the_user_gave_is_honoured_or_named(tmp_path, recordings):
    # The same depth recording with --output depth is what it holds: honoured.
    r = run_module("record", str(tmp_path / "copy.mcap"), "--from", str(recordings["depth"]),
                   "--output", "depth", "--quiet")
    assert r.returncode == 0, r.stderr
    # A subscription whose Zenoh configuration names endpoints needs no --connect; one that
    # names none is refused as a bare --subscribe is.
    for text, refused in (('{ connect: { endpoints: ["tcp/127.0.0.1:9"] } }', False),
                          ('{ mode: "peer" }', True)):
        (tmp_path / "z.json5").write_text(text)
        args = parser_of("record")(["--subscribe", "k", "--zenoh-config", str(tmp_path / "z.json5")])
        if refused:
            with pytest.raises(options.UsageError, match="needs the publisher's address"):
                options._refuse_ignored(args, None, False)
        else:
            options._refuse_ignored(args, None, False)
    # The notice of the library in use names the option given, not a variable never set.
    r = run_module("record", str(tmp_path / "sim.mcap"), "--simulated", "--frames", "2", "--quiet")
    assert r.returncode == 0 and "using the simulated USB module: --simulated" in r.stderr, r.stderr
    assert "QUORVEX_SIMULATED" not in r.stderr and "simulated=True" not in r.stderr


def test_a_failed_open_says_why_in_the_exception(tmp_path, capfd):
    missing = tmp_path / "missing.cfg"
    with pytest.raises(quorvex.CameraError) as e:
        quorvex.Camera(config=missing)
    assert f"{missing}: cannot open configuration file" in str(e.value) and "(Unknown error (-1))" in str(e.value)
    assert e.value.library_reasons and all("using the" not in r for r in e.value.library_reasons)
    # Standard error keeps what the libraries wrote, once.
    assert capfd.readouterr().err.count("cannot open configuration file") == 1
