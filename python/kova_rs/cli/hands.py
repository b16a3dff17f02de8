"""``kova hands``: the shipped robot hands and their configurations."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from kova_rs.cli.common import DEMO_HAND, METHODS
from kova_rs.shipped import resources_dir, shipped_hands


def _title(hand_dir: Path) -> str | None:
    """What a real hand is, from the first line of the SOURCE.md shipped beside it."""
    note = hand_dir / "SOURCE.md"
    if not note.is_file():
        return None
    first = note.read_text(encoding="utf-8").splitlines()[0]
    return first.partition(": ")[2] or None


def run(args: argparse.Namespace) -> int:
    root = resources_dir()
    hands_dir = root / "assets" / "robots" / "hands"
    print(f"Robot hands shipped with kova ({hands_dir}):")
    real: list[str] = []
    own: list[str] = []
    for hand in shipped_hands():
        methods = [m for m in METHODS if (root / "configs" / m / f"{hand}.yml").is_file()]
        line = f"  {hand:26s} configs: {', '.join(f'{m}/{hand}' for m in methods)}"
        title = _title(hands_dir / hand)
        if title is None:
            own.append(line)
        else:
            real.append(f"{line}\n  {'':26s} {title}; origin and licence in {hand}/SOURCE.md, "
                        f"{hand}/LICENSE")
    for heading, lines in (("Makers' hands, made ready by kova init:", real),
                           ("kova's own test hands (one per joint-naming scheme):", own)):
        if lines:
            print(heading)
            print("\n".join(lines))
    print(f"Use one with: kova retarget --config dexpilot/{DEMO_HAND} --input demo")
    return 0


def add_parser(sub: Any) -> None:
    hands = sub.add_parser("hands", help="list the shipped robot hands and configurations")
    hands.set_defaults(func=run)
