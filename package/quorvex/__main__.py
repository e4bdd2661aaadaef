"""`python -m quorvex COMMAND ...`: a thin layer that parses arguments and
wires a source of frames to a sink. Each command lives in a module of its
own with `add_arguments(parser)` and `run(args) -> int`; it is imported only
when used, so a missing optional extra only affects its own command."""
import argparse
import importlib
import sys

# command -> (module, one-line help)
COMMANDS = {
    "record": ("quorvex.record", "stream a camera into an MCAP file of ROS 2 messages"),
    "info": ("quorvex.record_info", "summarise a recording"),
    "view": ("quorvex.viewer", "serve a live web viewer"),
    "publish": ("quorvex.network", "publish frames over Zenoh"),
    "doctor": ("quorvex.doctor", "check what a camera needs on this machine, and say what to do"),
}


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m quorvex")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True
    modules = {}
    for name, (module_name, help_text) in COMMANDS.items():
        p = sub.add_parser(name, help=help_text, description=help_text)
        try:
            module = importlib.import_module(module_name)
        except ImportError as e:
            missing = e
            p.set_defaults(_missing=missing)
            continue
        module.add_arguments(p)
        modules[name] = module
    args = parser.parse_args(argv)
    if args.command not in modules:
        from .errors import _extra_hint
        print(f"quorvex {args.command}: not available ({getattr(args, '_missing', 'not installed')}); "
              f"{_extra_hint('tools')}", file=sys.stderr)
        return 2
    try:
        return modules[args.command].run(args) or 0
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
