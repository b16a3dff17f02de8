"""kova's two solvers against mink and scipy on the same frames: one table.

    python bench/solver_table.py --build build/bench [--frames 300] [--repetitions 3] [--smoke]

Hands: the shipped 24-DOF hand, Allegro (16 DOF) and Shadow (24 DOF). Motions:

- reachable: the robot's own fingertips along a smooth joint trajectory (motion.py, no noise),
  so that an exact solution exists; kova with normal_delta 0;
- demo: the shipped demo motion. The 24-DOF hand takes it through its shipped configurations
  (position, and kova-only rows for vector and DexPilot); Allegro and Shadow take the human
  fingertips moved onto the robot by the similarity transform that best maps the motion's mean
  fingertips onto the robot's fingertips at mid-range, with the library's default weights.

Every contender gets the same target links and positions per frame, warm-starts from its
previous frame and starts at mid-range; the low-pass filter is off. Contenders:

- kova-SLSQP and kova-LM through the C++ API (kova_solver_table, thread CPU time per frame);
- mink (PyPI, on MuJoCo's own import of the URDF with visuals and collisions stripped; daqp QP
  solver): position tasks on the target links and the joint limits, iterated until the largest
  target error is under 0.1 mm or the step under 1e-7 rad (at most 50 steps), and one step per
  frame;
- scipy's least_squares (dogbox, bounds = joint limits, default tolerances) on pinocchio's
  kinematics and frame Jacobians.

Per frame: median and p99 time (minimum over the repetitions), mean and max fingertip error
(position: distance; vector rows: the wrist-to-fingertip vector's error). "LM obj <= SLSQP" is
the share of frames where the least-squares solver's final objective, solved from the SLSQP
sequence's warm start, is at or below the objective at SLSQP's solution (the configuration's
real objective: Huber loss, regulariser, bounds). --smoke runs a few frames and skips whatever
contender's packages are not installed.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

from hands import HANDS, Hand, read_joints  # noqa: E402
from kova_rs import _core  # noqa: E402
from kova_rs.retargeter import Retargeter, resources_dir, shipped_config  # noqa: E402
from motion import joint_trajectory  # noqa: E402
from run_bench import stats, write_rows  # noqa: E402

FINGERTIPS = (4, 8, 12, 16, 20)  # human fingertip landmarks, thumb first
SHIPPED_24 = "kova_five_finger_24dof"
MINK_TOLERANCE, MINK_STEP, MINK_MAX_STEPS = 1e-4, 1e-7, 50


@dataclass
class Case:
    hand: str
    motion: str
    method: str
    yaml: Path  # kova's configuration (filter off)
    urdf: Path
    targets: list[str]  # target links (position) in row order
    rows: np.ndarray  # (frames, rows, 3), the same for every contender
    tip_columns: list[int]  # error columns that measure a fingertip


def _shipped_24_hand() -> Hand:
    urdf = Retargeter.from_config(shipped_config("position", SHIPPED_24)).native.urdf_file
    tips = ("th_tip", "ff_tip", "mf_tip", "rf_tip", "lf_tip")
    return Hand("kova24", str(urdf), "palm", tips, ())


def _yaml(kw: dict) -> str:
    lines = ["retargeting:"]
    for key, value in kw.items():
        shown = json.dumps(value) if not isinstance(value, float) else repr(value)
        lines.append(f"  {key}: {shown}")
    return "\n".join(lines) + "\n"


def _position_yaml(urdf: Path, targets: Sequence[str], **extra: float) -> str:
    return _yaml({"type": "position", "urdf_path": str(urdf), "target_link_names": list(targets),
                  "target_link_human_indices": [0] * len(targets), "low_pass_alpha": -1.0,
                  **extra})


def _tip_columns(yaml: Path, tips: Sequence[str]) -> list[int]:
    labels = Retargeter.from_config(yaml).target_names
    return [i for i, label in enumerate(labels) if label.split("->")[-1] in tips]


def _mid_range(model: _core.RobotModel) -> np.ndarray:
    limits = model.joint_limits
    finite = np.abs(limits).max(axis=1) < 1000
    return np.where(finite, limits.mean(axis=1), 0.0)


def _similarity(source: np.ndarray, target: np.ndarray) -> tuple[float, np.ndarray, np.ndarray]:
    """(s, R, t) minimising |s R source + t - target| over the points (Umeyama)."""
    mu_s, mu_t = source.mean(axis=0), target.mean(axis=0)
    a, b = source - mu_s, target - mu_t
    u, sigma, vt = np.linalg.svd(b.T @ a / len(a))
    d = np.diag([1.0, 1.0, np.sign(np.linalg.det(u @ vt))])
    rotation = u @ d @ vt
    scale = float(np.trace(np.diag(sigma) @ d) / (a**2).sum(axis=1).mean())
    return scale, rotation, mu_t - scale * rotation @ mu_s


def make_cases(frames: int, work: Path, demo_frames: int | None) -> list[Case]:
    demo = np.load(resources_dir() / "motions" / "demo_motion.npy")[:demo_frames]
    cases = []
    hands = [_shipped_24_hand()] + [h for h in HANDS if h.name in ("allegro", "shadow")]
    for hand in hands:
        urdf = hand.urdf_path
        model = _core.RobotModel.from_file(urdf)
        tips = list(hand.tips)
        # reachable: the fingertips along a smooth trajectory of every joint
        joints = read_joints(urdf)
        trajectory = joint_trajectory(joints, frames)
        where = [model.dof_joint_names.index(n) for n in joints.actuated]
        q = np.tile(_mid_range(model), (frames, 1))
        q[:, where] = trajectory
        rows = model.link_positions(q, tips)
        yaml = work / f"{hand.name}_reachable.yml"
        yaml.write_text(_position_yaml(urdf, tips, normal_delta=0.0))
        cases.append(Case(hand.name, "reachable", "position", yaml, urdf, tips, rows,
                          _tip_columns(yaml, tips)))
        # demo motion
        if hand.name == "kova24":
            for method in ("position", "vector", "dexpilot"):
                text = shipped_config(method, SHIPPED_24).read_text()
                lines = [f"  urdf_path: {urdf}" if ln.strip().startswith("urdf_path:") else
                         "  low_pass_alpha: -1.0" if ln.strip().startswith("low_pass_alpha:")
                         else ln for ln in text.splitlines()]
                yaml = work / f"kova24_demo_{method}.yml"
                yaml.write_text("\n".join(lines) + "\n")
                kova = Retargeter.from_config(yaml)
                targets = kova.target_names if method == "position" else []
                cases.append(Case(hand.name, "demo", method, yaml, urdf, targets,
                                  kova.native.reference(demo), _tip_columns(yaml, tips)))
        else:
            human = demo[:, list(FINGERTIPS[:len(tips)]), :]
            robot = model.link_positions(_mid_range(model), tips)
            scale, rotation, shift = _similarity(human.mean(axis=0), robot)
            rows = np.ascontiguousarray(scale * human @ rotation.T + shift)
            yaml = work / f"{hand.name}_demo.yml"
            yaml.write_text(_position_yaml(urdf, tips))
            cases.append(Case(hand.name, "demo", "position", yaml, urdf, tips, rows,
                              _tip_columns(yaml, tips)))
    return cases


# -- contenders -------------------------------------------------------------------------------

Step = Callable[[np.ndarray], np.ndarray]  # targets (rows, 3) -> joint vector in kova's order


def time_frames(make: Callable[[], Step], rows: np.ndarray, repetitions: int
                ) -> tuple[np.ndarray, np.ndarray]:
    """Per-frame minimum thread CPU time (ns) over repetitions, and the first run's outputs."""
    best = np.full(len(rows), np.iinfo(np.int64).max, dtype=np.int64)
    first = []
    for rep in range(repetitions):
        step = make()
        for i, target in enumerate(rows):
            t0 = time.thread_time_ns()
            q = step(target)
            best[i] = min(best[i], time.thread_time_ns() - t0)
            if rep == 0:
                first.append(q)
    return best, np.array(first)


def mjcf_from_urdf(urdf: Path) -> str:
    """The URDF as MuJoCo's URDF import takes it: no visuals or collisions (no meshes to find),
    fixed links kept as bodies (the fingertips are often such links), a minimum mass."""
    import xml.etree.ElementTree as ET

    root = ET.parse(urdf).getroot()
    for link in root.iter("link"):
        for child in list(link):
            if child.tag in ("visual", "collision"):
                link.remove(child)
    for old in root.findall("mujoco"):
        root.remove(old)
    extension = ET.SubElement(root, "mujoco")
    ET.SubElement(extension, "compiler", fusestatic="false", discardvisual="true",
                  boundmass="1e-4", boundinertia="1e-9")
    return ET.tostring(root, encoding="unicode")


def mink_stepper(case: Case, kova_names: list[str], iterate: bool) -> Callable[[], Step]:
    import mink
    import mujoco

    model = mujoco.MjModel.from_xml_string(mjcf_from_urdf(case.urdf))
    address = {model.joint(j).name: int(model.jnt_qposadr[j]) for j in range(model.njnt)}
    order = np.array([address[n] for n in kova_names])
    limits = [mink.ConfigurationLimit(model)]
    start = _mid_range(_core.RobotModel.from_file(case.urdf))

    def make() -> Step:
        configuration = mink.Configuration(model)
        q0 = configuration.q.copy()
        q0[order] = start
        configuration.update(q0)
        tasks = [mink.FrameTask(link, "body", position_cost=1.0, orientation_cost=0.0)
                 for link in case.targets]
        bodies = [model.body(link).id for link in case.targets]

        def step(targets: np.ndarray) -> np.ndarray:
            for task, target in zip(tasks, targets):
                task.set_target(mink.SE3.from_translation(target))
            for _ in range(MINK_MAX_STEPS if iterate else 1):
                velocity = mink.solve_ik(configuration, tasks, 1.0, "daqp", 1e-12, limits=limits)
                configuration.integrate_inplace(velocity, 1.0)
                if not iterate:
                    break
                error = np.linalg.norm(configuration.data.xpos[bodies] - targets, axis=1).max()
                if error < MINK_TOLERANCE or np.abs(velocity).max() < MINK_STEP:
                    break
            return configuration.q[order].copy()

        return step

    return make


def scipy_stepper(case: Case, kova_names: list[str]) -> Callable[[], Step]:
    import pinocchio as pin
    from scipy.optimize import least_squares

    model = pin.buildModelFromUrdf(str(case.urdf))
    data = model.createData()
    joint_of = {model.names[j]: j for j in range(1, model.njoints)}
    q_index = np.array([model.joints[joint_of[n]].idx_q for n in kova_names])
    v_index = np.array([model.joints[joint_of[n]].idx_v for n in kova_names])
    frames = [model.getFrameId(link, pin.BODY) for link in case.targets]
    limits = _core.RobotModel.from_file(case.urdf).joint_limits
    lower, upper = limits[:, 0], limits[:, 1]
    start = _mid_range(_core.RobotModel.from_file(case.urdf))
    q = pin.neutral(model)

    def kinematics(x: np.ndarray) -> None:
        q[q_index] = x
        pin.computeJointJacobians(model, data, q)
        pin.updateFramePlacements(model, data)

    def make() -> Step:
        previous = [start.copy()]

        def step(targets: np.ndarray) -> np.ndarray:
            flat = targets.reshape(-1)

            def residual(x: np.ndarray) -> np.ndarray:
                kinematics(x)
                return np.concatenate([data.oMf[f].translation for f in frames]) - flat

            def jacobian(x: np.ndarray) -> np.ndarray:
                kinematics(x)
                return np.vstack([pin.getFrameJacobian(model, data, f,
                                                       pin.LOCAL_WORLD_ALIGNED)[:3, v_index]
                                  for f in frames])

            x0 = np.clip(previous[0], lower, upper)
            previous[0] = least_squares(residual, x0, jacobian, bounds=(lower, upper),
                                        method="dogbox").x
            return previous[0].copy()

        return step

    return make


def available(*modules: str) -> str:
    """"" when every module imports, else the reason."""
    for module in modules:
        try:
            __import__(module)
        except ImportError as err:
            return str(err)
    return ""


# -- the table --------------------------------------------------------------------------------

def tip_errors(case: Case, qpos: np.ndarray) -> tuple[float, float]:
    kova = Retargeter.from_config(case.yaml).native
    errors = kova.errors(np.ascontiguousarray(case.rows), np.ascontiguousarray(qpos))
    tips = errors[:, case.tip_columns]
    return 1000 * float(tips.mean()), 1000 * float(tips.max())


def run_case(case: Case, args: argparse.Namespace, work: Path) -> list[dict]:
    rows_path, out_path = work / f"{case.yaml.stem}.bin", work / f"{case.yaml.stem}.json"
    write_rows(rows_path, case.rows.reshape(len(case.rows), -1))
    subprocess.run([str(args.build / "bench" / "kova_solver_table"), str(case.yaml),
                    str(rows_path), str(out_path), str(args.repetitions)], check=True)
    cpp = json.loads(out_path.read_text())
    names = cpp["joint_names"]
    f_slsqp, f_lm = np.array(cpp["objective_slsqp"]), np.array(cpp["objective_lm"])
    base = {"hand": case.hand, "motion": case.motion, "method": case.method,
            "dof": len(names), "frames": len(case.rows)}
    out = []
    for solver in ("slsqp", "lm"):
        run = cpp[solver]
        row = base | {"solver": f"kova-{'SLSQP' if solver == 'slsqp' else 'LM'}",
                      "time": stats(run["ns"]), "errors": tip_errors(case, np.array(run["qpos"])),
                      "iterations": float(np.mean(run["iterations"]))}
        if solver == "lm":
            row["at_or_below"] = float(np.mean(f_lm <= f_slsqp))
            row["max_excess"] = float(np.max(f_lm - f_slsqp))
        out.append(row)
    if case.method != "position":
        return out
    contenders: list[tuple[str, str, Callable[[], Callable[[], Step]]]] = [
        ("mink, iterated", available("mink", "mujoco", "daqp"),
         lambda: mink_stepper(case, names, iterate=True)),
        ("mink, 1 step", available("mink", "mujoco", "daqp"),
         lambda: mink_stepper(case, names, iterate=False)),
        ("scipy least_squares", available("scipy", "pinocchio"),
         lambda: scipy_stepper(case, names)),
    ]
    for label, missing, stepper in contenders:
        if missing:
            out.append(base | {"solver": label, "skipped": missing})
            continue
        ns, qpos = time_frames(stepper(), case.rows, args.repetitions)
        out.append(base | {"solver": label, "time": stats(ns), "errors": tip_errors(case, qpos)})
    return out


def print_table(results: list[dict], args: argparse.Namespace) -> None:
    print()
    print(f"Per frame: thread CPU microseconds (median / p99, each frame the minimum of "
          f"{args.repetitions} runs), fingertip error in mm; "
          f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores")
    print("| hand | motion | method | dof | solver | median / p99 us | tip error mean / max mm "
          "| LM obj <= SLSQP (max excess) |")
    print("|---|---|---|---|---|---|---|---|")
    skipped = {r["solver"]: r["skipped"] for r in results if "skipped" in r}
    for r in results:
        if "skipped" in r:
            continue
        head = f"| {r['hand']} | {r['motion']} | {r['method']} | {r['dof']} | {r['solver']} |"
        share = (f"{100 * r['at_or_below']:.2f} % ({r['max_excess']:.1e})"
                 if "at_or_below" in r else "")
        print(f"{head} {r['time'][0]:.1f} / {r['time'][1]:.1f} | "
              f"{r['errors'][0]:.4f} / {r['errors'][1]:.4f} | {share} |")
    for solver, reason in skipped.items():
        print(f"({solver} skipped: {reason})")


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", type=Path, default=Path("build/bench"))
    parser.add_argument("--frames", type=int, default=300, help="frames of the reachable motion")
    parser.add_argument("--repetitions", type=int, default=3)
    parser.add_argument("--smoke", action="store_true")
    args = parser.parse_args()
    demo_frames = None
    if args.smoke:
        args.frames, args.repetitions, demo_frames = 4, 1, 4
    with tempfile.TemporaryDirectory(prefix="kova-solver-table-") as tmp:
        work = Path(tmp)
        results = []
        for case in make_cases(args.frames, work, demo_frames):
            print(f"{case.hand} {case.motion} {case.method} ...", flush=True)
            results += run_case(case, args, work)
    (args.build / "solver_table.json").write_text(json.dumps(results, indent=1))
    print_table(results, args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
