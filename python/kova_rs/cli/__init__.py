"""The ``kova`` command line: one module per command, each registering itself in COMMANDS.

A user mistake (a missing or unreadable file, a bad configuration, an unknown link, a recording
of the wrong shape) prints one line ``kova: error: <file>: <problem>`` on stderr and exits with
status 2.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from kova_rs import __version__
from kova_rs.cli import batch, check, demo, hands, info, init, live, render, retarget, view
from kova_rs.cli.common import EXIT_USER_ERROR, Parser, UserError

# Each module's add_parser(subparsers) registers its command; the order is the order of --help.
COMMANDS = (demo, retarget, view, render, init, check, info, hands, batch, live)


def build_parser() -> argparse.ArgumentParser:
    parser = Parser(prog="kova", description="Retarget human hand motion onto robot hands.")
    parser.add_argument("--version", action="version", version=f"kova {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=Parser)
    sub.required = True
    for command in COMMANDS:
        command.add_parser(sub)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    try:
        args = build_parser().parse_args(argv)
        return int(args.func(args))
    except UserError as err:
        print(f"kova: error: {err}", file=sys.stderr)
        return EXIT_USER_ERROR
    except KeyboardInterrupt:
        print("kova: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # output piped into a program that stopped reading (kova info ... | head)
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    raise SystemExit(main())
