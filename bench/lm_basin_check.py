"""Why kova-LM ends off target on the 24-DOF hand's reachable fingertips (solver table case).

    python bench/lm_basin_check.py [--frames 300]

Runs the solver table's "kova24 reachable position" case (fingertips only, normal_delta 0) with
the least-squares solver and, at the first frame whose fingertip error exceeds 0.5 mm, prints
what tells a solver fault from a local minimum of the warm-started problem: the stop reason, the
joints on the optimiser's bounds with the objective's slope there (finite differences), the
largest slope left after projection onto the bounds, the objective on the straight segment to
the joint values that generated the frame (a rise in between: another basin), and the same frame
solved from a fresh start (mid-range).
"""

from __future__ import annotations

import argparse
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

import solver_table  # noqa: E402
from hands import read_joints  # noqa: E402
from kova_rs import _core  # noqa: E402
from kova_rs.retargeter import Retargeter  # noqa: E402
from motion import joint_trajectory  # noqa: E402

HUBER_DELTA = 0.02  # the library default, which the case's configuration keeps
BOUND_MARGIN = 1e-3  # the optimisers' margin beyond the URDF limits


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--frames", type=int, default=300)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as work:
        cases = solver_table.make_cases(args.frames, Path(work), 5)
        case = next(c for c in cases if c.hand == "kova24" and c.motion == "reachable")
        model = _core.RobotModel.from_file(str(case.urdf))
        seq = Retargeter.from_config(case.yaml, solver="lm").native
        q, reports = seq.retarget_sequence_reported(case.rows)
        errors = seq.errors(case.rows, q)
        fresh = Retargeter.from_config(case.yaml, solver="lm").native
    bad = np.flatnonzero(errors.max(axis=1) > 5e-4)
    print(f"frames over 0.5 mm: {len(bad)} of {len(q)}; mean {1e3 * errors.mean():.4f} mm, "
          f"max {1e3 * errors.max():.3f} mm")
    if len(bad) == 0:
        return 0
    frame, rows, x = int(bad[0]), case.rows[bad[0]], q[bad[0]]
    names = model.dof_joint_names
    joints = read_joints(str(case.urdf))
    truth = solver_table._mid_range(model)
    truth[[names.index(n) for n in joints.actuated]] = joint_trajectory(joints, args.frames)[frame]

    def objective(y: np.ndarray) -> float:
        r = np.abs(model.link_positions(y, case.targets) - rows).ravel()
        huber = np.where(r <= HUBER_DELTA, r * r / 2 / HUBER_DELTA, r - HUBER_DELTA / 2)
        return float(huber.mean())

    step = 1e-6
    slope = np.array([(objective(x + step * e) - objective(x - step * e)) / (2 * step)
                      for e in np.eye(len(x))])
    lower = model.joint_limits[:, 0] - BOUND_MARGIN
    upper = model.joint_limits[:, 1] + BOUND_MARGIN
    at_lower, at_upper = np.abs(x - lower) < 1e-9, np.abs(x - upper) < 1e-9
    projected = np.where(at_lower, np.minimum(slope, 0), np.where(at_upper, np.maximum(slope, 0),
                                                                  slope))
    report = reports[frame]
    print(f"frame {frame}: errors {np.round(1e3 * errors[frame], 4)} mm, objective "
          f"{report.objective:.3e} ({objective(x):.3e} here), stop: {report.stop_reason}")
    print("on a bound (slope):", ", ".join(
        f"{names[i]} {'lower' if at_lower[i] else 'upper'} ({slope[i]:+.1e})"
        for i in np.flatnonzero(at_lower | at_upper)))
    print(f"largest slope: {np.abs(slope).max():.1e}; "
          f"after projection: {np.abs(projected).max():.1e}")
    segment = [objective(x + t * (truth - x)) for t in np.linspace(0.0, 1.0, 11)]
    print("objective from LM's solution to the generating joints:",
          " ".join(f"{v:.2e}" for v in segment))
    y = fresh.retarget(rows)
    print(f"the frame from a fresh start: errors {np.round(1e3 * fresh.errors(rows, y), 4)} mm")
    return 0


if __name__ == "__main__":
    sys.exit(main())
