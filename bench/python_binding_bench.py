"""Cost of the Python binding per call: argument conversion (list versus contiguous float64
array), result lists and the per-object lock, on a real robot hand.

Run after installing the package: python bench/python_binding_bench.py [path/to/robot.urdf]
"""

from __future__ import annotations

import sys
import timeit
from pathlib import Path

import numpy as np

from kova_rs import RetargetingConfig

DEFAULT_URDF = (Path(__file__).resolve().parents[1].parent / "shared" / "robots" / "allegro" /
                "allegro_hand_description_right.urdf")
TIPS = ["link_3.0_tip", "link_7.0_tip", "link_11.0_tip", "link_15.0_tip"]


def per_call(statement, number: int) -> float:
    best = min(timeit.repeat(statement, number=number, repeat=5))
    return best / number * 1e6


def main() -> None:
    urdf = sys.argv[1] if len(sys.argv) > 1 else str(DEFAULT_URDF)
    seq = RetargetingConfig("position", urdf, target_link_names=TIPS,
                            target_link_human_indices=[4, 8, 12, 16]).build()
    q = seq.get_qpos()
    frame = [c for p in seq.link_positions(q, TIPS) for c in p]
    frame_array = np.array(frame)
    long_list = [0.0] * 30_000
    long_array = np.zeros(30_000)
    rows = [
        ("retarget(list), converged frame", lambda: seq.retarget(frame), 2_000),
        ("retarget(ndarray), converged frame", lambda: seq.retarget(frame_array), 2_000),
        ("get_qpos()", seq.get_qpos, 100_000),
        ("set_qpos(list of 16)", lambda: seq.set_qpos(q), 100_000),
        ("link_positions(q, 4 tips)", lambda: seq.link_positions(q, TIPS), 50_000),
        ("joint_names", lambda: seq.joint_names, 100_000),
        ("get_qpos(list of 30000)", lambda: seq.get_qpos(long_list), 500),
        ("get_qpos(ndarray of 30000)", lambda: seq.get_qpos(long_array), 500),
    ]
    for name, statement, number in rows:
        print(f"{name:40s} {per_call(statement, number):10.2f} us")


if __name__ == "__main__":
    main()
