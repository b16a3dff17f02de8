"""Measures each hand's configurations on the demo motion, for the README's table of real hands.

    python tools/measure_hands.py [HAND_DIR | SHIPPED_HAND ...]

A hand directory holds position.yml, vector.yml and dexpilot.yml (those present are measured);
a name that is no directory is a hand shipped with kova (`kova hands`), measured by its shipped
configurations METHOD/NAME; the default is every hand under tests/data/handmade. Prints one
Markdown row per hand and method: the mean error, the thumb-to-finger gap at each pinch and the
fist closure, as kova_rs.measures defines them, below the human's own values.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from kova_rs import human_hand
from kova_rs.measures import FINGERS, HandMeasures, human_measures, measure_config, millimetres
from kova_rs.shipped import find_shipped_config

REPO = Path(__file__).resolve().parent.parent
HANDMADE = REPO / "tests" / "data" / "handmade"
METHODS = ("position", "vector", "dexpilot")
PINCHED = FINGERS[1:]


def row(hand: str, method: str, measures: HandMeasures) -> str:
    gaps = " | ".join(millimetres(measures.pinch_gaps.get(finger)) for finger in PINCHED)
    return (f"| {hand} | {method} | {millimetres(measures.mean_error)} | {gaps} | "
            f"{measures.fist_closure:.2f} |")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("hands", nargs="*", type=Path, metavar="HAND_DIR | SHIPPED_HAND")
    args = parser.parse_args(argv)
    hands = args.hands or sorted(p for p in HANDMADE.iterdir() if p.is_dir())
    motion = human_hand.demo_motion()
    keyframes = human_hand.demo_keyframes()
    print("| hand | method | mean error (mm) | "
          + " | ".join(f"{finger} pinch gap (mm)" for finger in PINCHED) + " | fist closure |")
    print("|---|---|---:|" + "---:|" * len(PINCHED) + "---:|")
    print(row("human", "-", human_measures(motion, keyframes)))
    for hand in hands:
        for method in METHODS:
            config = (hand / f"{method}.yml" if hand.is_dir()
                      else find_shipped_config(f"{method}/{hand}"))
            if config is None or not config.is_file():
                continue
            print(row(hand.name, method, measure_config(config, motion, keyframes).measures))
            sys.stdout.flush()
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
