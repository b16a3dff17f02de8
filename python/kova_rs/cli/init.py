"""``kova init``: a robot hand made ready to retarget onto, from any hand URDF.

Writes DIR/NAME.urdf (re-rooted at the hand frame, a tip link per finger), position.yml,
vector.yml and dexpilot.yml, and report.md with every guess it had to make, how each
configuration retargets the demo motion (mean error, pinch gaps, fist closure beside the
human's) and side and top views of its open hand, fist and pinches (report_<pose>.png).
"""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from kova_rs.cli.common import UserError, existing_urdf, one_line


def run(args: argparse.Namespace) -> int:
    from kova_rs.hand_init import init_hand

    path = existing_urdf(args.urdf)
    out = Path(args.out)
    if out.exists() and not out.is_dir():
        raise UserError(f"{out}: exists and is not a folder")
    if args.name is not None and (not args.name or Path(args.name).name != args.name):
        raise UserError(f"--name {args.name!r}: give a plain file name without folders")
    print("kova init: finding the hand, then retargeting the demo motion with each "
          "configuration for the report (a few seconds)", flush=True)
    try:
        result = init_hand(path, out, side=args.side, name=args.name,
                           renders=not args.no_report_renders)
    except ValueError as err:
        raise UserError(f"{path}: {one_line(err)}") from None
    except OSError as err:
        raise UserError(f"{out}: {one_line(err)}") from None
    fingers = ", ".join(f"{f.name} ({f.tip_from} tip)" for f in result.hand.fingers)
    print(f"{result.hand.side} hand: {fingers}; scale {result.scale:.3f}")
    print(f"wrote {result.urdf}, " + ", ".join(str(p) for p in result.configs.values())
          + f", {result.report}")
    if result.renders:
        print("renders: " + ", ".join(p.name for p in result.renders))
    elif result.no_renders:
        print(f"no renders: {result.no_renders}")
    for warning in result.warnings:
        print(f"warning: {warning}")
    return 1 if result.warnings else 0


def add_parser(sub: Any) -> None:
    init = sub.add_parser("init", help="make a robot hand ready: frame, tips, configurations")
    init.add_argument("urdf", metavar="URDF")
    init.add_argument("--out", required=True, metavar="DIR", help="folder to write into")
    init.add_argument("--side", choices=("right", "left"),
                      help="the hand's side, when the detection should not decide it")
    init.add_argument("--name", help="name of the written URDF (default: the source's)")
    init.add_argument("--no-report-renders", action="store_true",
                      help="no pictures in the report (its measures are still taken)")
    init.set_defaults(func=run)
