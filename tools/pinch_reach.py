"""How close each finger's tip can come to the thumb's tip anywhere in the robot's joint range.

    python tools/pinch_reach.py CONFIG [CONFIG ...]

CONFIG is a configuration whose ``kova.fingers.<finger>.tip`` names the tip links (``kova init``
and tools/make_handmade.py write them). A pinch no setup closes is one the robot cannot make:
the figure here is the floor under any configuration's pinch gap. Searched by random joint
vectors over the limits (mimic joints following their sources), then a projected gradient
descent from the best of them.
"""

from __future__ import annotations

import argparse
import re
from pathlib import Path

import numpy as np
import numpy.typing as npt
from kova_rs import Retargeter, _core

SAMPLES = 20000
STEPS = 400


def closest_approach(retargeter: Retargeter, model: _core.RobotModel, thumb: str, finger: str,
                     rng: np.random.Generator) -> float:
    """The smallest thumb-tip to finger-tip distance found over the joint range, metres."""
    limits = np.asarray(model.joint_limits, dtype=np.float64)
    low, high = limits[:, 0], limits[:, 1]
    free = (low > -1e3) & (high < 1e3)  # mimic joints and unlimited ones follow or stay at 0
    low, high = np.where(free, low, 0.0), np.where(free, high, 0.0)
    qpos = rng.uniform(low, high, size=(SAMPLES, len(low)))
    tips = retargeter.link_positions(qpos, [thumb, finger])
    gaps = np.linalg.norm(tips[:, 0] - tips[:, 1], axis=1)
    best: npt.NDArray[np.float64] = qpos[int(np.argmin(gaps))]
    best_gap = float(gaps.min())
    step = 0.05 * (high - low)
    for _ in range(STEPS):  # coordinate probes with a shrinking step
        trial = np.clip(best + rng.normal(0.0, 1.0, len(best)) * step, low, high)
        pos = retargeter.link_positions(trial, [thumb, finger])
        gap = float(np.linalg.norm(pos[0] - pos[1]))
        if gap < best_gap:
            best, best_gap = trial, gap
        else:
            step *= 0.995
    return best_gap


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("configs", nargs="+", type=Path, metavar="CONFIG")
    args = parser.parse_args(argv)
    rng = np.random.default_rng(0)
    fingers = ("index", "middle", "ring", "little")
    print("| hand | " + " | ".join(f"{finger} (mm)" for finger in fingers) + " |")
    print("|---|" + "---:|" * len(fingers))
    for config in args.configs:
        retargeter = Retargeter.from_config(config)
        tips = retargeter.fingertip_links
        urdf = re.search(r"urdf_path:\s*\"?([^\"\n]+)", config.read_text())
        assert urdf is not None, f"{config}: no urdf_path"
        model = _core.RobotModel.from_file(config.parent / urdf.group(1).strip())
        assert list(model.dof_joint_names) == list(retargeter.native.joint_names)
        gaps = {finger: closest_approach(retargeter, model, tips["thumb"], tips[finger], rng)
                for finger in fingers if finger in tips}
        cells = [f"{1000 * gaps[f]:.0f}" if f in gaps else "-" for f in fingers]
        print(f"| {config.parent.name} | " + " | ".join(cells) + " |")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
