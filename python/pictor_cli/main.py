"""The `pictor` command: run, play and bench subcommands over the pictor module."""

from __future__ import annotations

import argparse
import io
import sys
from typing import List, NoReturn, Optional

from . import bench, play, run
from .machine import ACCURACIES, CliError

COMMANDS = {"run": run, "play": play, "bench": bench}
SUMMARIES = {
    "run": "emulate frames headless; write PNG, GIF and WAV; print frames per second",
    "play": "play in a window with sound, keyboard and gamepad",
    "bench": "table of frames per second over several runs",
}


class Parser(argparse.ArgumentParser):
    """Reports bad options as one line through CliError instead of usage text and exit."""

    def error(self, message: str) -> NoReturn:
        raise CliError(f"{message} (see '{self.prog} --help')", status=2)


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a whole number") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"{value} is not a positive number")
    return value


def version() -> str:
    from importlib import metadata

    try:
        return metadata.version("pictor")
    except metadata.PackageNotFoundError:
        return "unknown"


def build_parser() -> Parser:
    parser = Parser(
        prog="pictor",
        description="Run, play and benchmark NES cartridges with the pictor emulator module.",
        epilog="With no cartridge, every command uses the demo cartridge that ships with pictor.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    common = Parser(add_help=False)
    common.add_argument(
        "-v", "--verbose", action="store_true", help="show the machine's own diagnostic lines while loading"
    )
    common.add_argument(
        "--accuracy",
        choices=ACCURACIES,
        help="the timing model: standard (the default) or hardware (the console cycle by cycle); "
        "bench measures both side by side unless one is given",
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    for name, module in COMMANDS.items():
        p = sub.add_parser(name, parents=[common], help=SUMMARIES[name], description=module.DESCRIPTION)
        module.add_arguments(p, positive_int)
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    # File names that are not valid text (surrogate escapes) are shown escaped, not as a traceback.
    for stream in (sys.stdout, sys.stderr):
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors="backslashreplace")
    try:
        args, unknown = build_parser().parse_known_args(argv)
        if unknown:  # what the command's own parser left over: its help lists what it takes
            where = f"pictor {args.command}" if args.command else "pictor"
            raise CliError(f"unrecognized arguments: {' '.join(unknown)} (see '{where} --help')", status=2)
        if args.command is None:
            raise CliError("choose a command: run, play or bench (see 'pictor --help')", status=2)
        return COMMANDS[args.command].command(args)
    except CliError as err:
        print(f"pictor: error: {err}", file=sys.stderr)
        return err.status
    except KeyboardInterrupt:
        print("pictor: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
