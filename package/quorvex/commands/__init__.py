"""`python -m quorvex COMMAND ...`: a thin layer that parses arguments and
wires a source of frames to a sink. Each command is a module here with
`add_arguments(parser)` and `run(args) -> int`, imported only when it is
the one asked for, so a missing optional extra affects its own command
only. Options shared by several commands are in `options`."""
import argparse
import importlib
import sys

from ..errors import CameraError, _extra_hint

# command -> (module, one-line help); the help is here so that listing the
# commands imports none of them.
COMMANDS = {
    "record": ("quorvex.commands.record", "stream a camera into an MCAP file of ROS 2 messages"),
    "info": ("quorvex.commands.info", "summarise a recording"),
    "view": ("quorvex.commands.view", "serve a live web viewer"),
    "publish": ("quorvex.commands.publish", "publish frames over Zenoh or as ROS 2 topics"),
    "doctor": ("quorvex.commands.doctor", "check what a camera needs on this machine, and say what to do"),
    "calibrate": ("quorvex.commands.calibrate",
                  "calibrate the lens from a printed checkerboard, into a camera_info YAML file"),
}
# The extra a command's libraries come from, when not `tools`, and what to
# do where its wheels do not exist.
EXTRAS = {
    "calibrate": ("calibrate", "; on a 32-bit ARM board (PyPI has no OpenCV for armv7l) apt-get install "
                               "python3-opencv python3-yaml and make a venv with --system-site-packages, "
                               "or calibrate a recording on another machine"),
}


class UsageError(ValueError):
    """Options that are valid alone but do not apply to the source they
    met (known only once it is open): exit status 2, as for argparse's."""


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    parser = argparse.ArgumentParser(prog="python -m quorvex")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    parsers = {name: sub.add_parser(name, help=text, description=text)
               for name, (_, text) in COMMANDS.items()}
    # The top-level parser has no options of its own but -h, so the first
    # word that is not an option is the command.
    name = next((a for a in argv if not a.startswith("-")), None)
    module = None
    if name in COMMANDS:
        try:
            module = importlib.import_module(COMMANDS[name][0])
        except ImportError as e:
            extra, note = EXTRAS.get(name, ("tools", ""))
            print(f"quorvex {name}: not available ({e}); {_extra_hint(extra)}{note}", file=sys.stderr)
            return 2
        module.add_arguments(parsers[name])
    args, unknown = parser.parse_known_args(argv)
    if unknown:
        # argparse hands a subcommand's unknown options up to the top-level
        # parser, whose usage says nothing of the command's own options.
        parsers[args.command].error(f"unrecognized arguments: {' '.join(unknown)}")
    try:
        return module.run(args) or 0
    except KeyboardInterrupt:
        return 130
    except UsageError as e:
        # An option that does not apply to the source it met: refused as
        # argparse refuses a bad one, never silently ignored.
        print(f"quorvex {args.command}: {e}", file=sys.stderr)
        return 2
    except (CameraError, ValueError, OSError) as e:
        # What went wrong at run time, in one line; the options were valid
        # (argparse has answered those with status 2).
        print(f"quorvex {args.command}: {one_line(e)}", file=sys.stderr)
        return 1


def one_line(error):
    text = str(error) or type(error).__name__
    return " ".join(text.split())
