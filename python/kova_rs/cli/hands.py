"""``kova hands``: the shipped robot hands and their configurations."""

from __future__ import annotations

import argparse
from typing import Any

from kova_rs.cli.common import DEMO_HAND, METHODS
from kova_rs.shipped import resources_dir, shipped_hands


def run(args: argparse.Namespace) -> int:
    root = resources_dir()
    print(f"Robot hands shipped with kova ({root / 'assets' / 'robots' / 'hands'}):")
    for hand in shipped_hands():
        methods = [m for m in METHODS if (root / "configs" / m / f"{hand}.yml").is_file()]
        print(f"  {hand:26s} configs: {', '.join(f'{m}/{hand}' for m in methods)}")
    print(f"Use one with: kova retarget --config position/{DEMO_HAND} --input MOTION")
    return 0


def add_parser(sub: Any) -> None:
    hands = sub.add_parser("hands", help="list the shipped robot hands and configurations")
    hands.set_defaults(func=run)
