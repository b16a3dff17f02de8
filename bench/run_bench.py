"""Runs the whole benchmark and prints one table.

    python bench/run_bench.py --build build/bench [--frames 1000] [--repetitions 3] [--smoke]

For every hand of hands.py and every method, on the same motion: kova through the Python API
and through the C++ API (kova_frame_timing), the solver's floor (recorded objective values
replayed into the same SLSQP runs), and the Python baseline of baseline.py when pinocchio and
nlopt can be imported. Each contender runs the motion `repetitions` times from a fresh
retargeter; a frame's time is its minimum over the repetitions, and the table gives the
median and 99th percentile over the frames. Then the kinematics benchmark (kova against
pinocchio's C++), when it was built. --smoke runs a few frames once and checks nothing about
time.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import struct
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))

from hands import (METHODS, LOW_PASS_ALPHA, Hand, available_hands, config_kwargs,  # noqa: E402
                   config_yaml, read_joints)
from motion import (FRAMES, joint_trajectory, link_trajectory, needed_links,  # noqa: E402
                    reference_rows)

import kova_rs  # noqa: E402

try:
    import baseline  # noqa: E402

    BASELINE_ERROR = None
except ImportError as error:  # pinocchio or nlopt missing: the baseline is skipped
    baseline = None
    BASELINE_ERROR = str(error)


def kova_forward_kinematics(hand: Hand, target_joints: list[str], yaml_path: Path):
    """fk(x in target order, link names) through kova's own link_positions."""
    seq = kova_rs.RetargetingConfig.from_file(str(yaml_path)).build()
    names = seq.joint_names
    where = [names.index(n) for n in target_joints]

    def fk(x, links):
        q = np.zeros(len(names))
        q[where] = x
        return np.array(seq.link_positions(q, list(links)))

    return fk


def write_rows(path: Path, rows: np.ndarray) -> None:
    with open(path, "wb") as out:
        out.write(struct.pack("<QQ", rows.shape[0], rows.shape[1]))
        out.write(np.ascontiguousarray(rows, dtype="<f8").tobytes())


def time_frames(make, rows: np.ndarray, repetitions: int):
    """Per-frame minimum over repetitions (ns) and the outputs of the first repetition."""
    best = np.full(len(rows), np.iinfo(np.int64).max, dtype=np.int64)
    first = []
    clock = time.thread_time_ns  # CPU time of this thread: the machine may be shared
    for rep in range(repetitions):
        step = make()
        for i, row in enumerate(rows):
            t0 = clock()
            out = step(row)
            t1 = clock()
            if t1 - t0 < best[i]:
                best[i] = t1 - t0
            if rep == 0:
                first.append(out)
    return best, first


def stats(ns) -> tuple[float, float]:
    ns = np.asarray(ns, dtype=float) / 1000.0  # microseconds
    return float(np.median(ns)), float(np.percentile(ns, 99))


def run_case(hand: Hand, method: str, rows: np.ndarray, yaml_path: Path, args, work: Path) -> dict:
    joints = read_joints(hand.urdf_path)
    targets = joints.actuated
    rows_path = work / f"{hand.name}_{method}.bin"
    out_path = work / f"{hand.name}_{method}.json"
    write_rows(rows_path, rows)
    subprocess.run([str(args.timing), str(yaml_path), str(rows_path), str(out_path),
                    str(args.repetitions)], check=True)
    cpp = json.loads(out_path.read_text())
    names = cpp["joint_names"]
    cpp_q = np.array(cpp["qpos"])

    def make_kova():
        seq = kova_rs.RetargetingConfig.from_file(str(yaml_path)).build()
        return seq.retarget

    py_ns, py_q = time_frames(make_kova, rows, args.repetitions)
    py_q = np.array(py_q)
    result = {
        "hand": hand.name, "method": method, "dof": len(names), "opt_dof": len(targets),
        "kova_py": stats(py_ns), "kova_cpp": stats(cpp["kova_ns"]),
        "floor": stats(cpp["floor_ns"]),
        "evaluations": float(np.mean(cpp["evaluations"])),
        "py_vs_cpp": float(np.max(np.abs(py_q - cpp_q))),
    }
    if baseline is not None and not args.no_baseline:
        def make_baseline():
            r = baseline.make_retargeter(hand, method, joints, targets, LOW_PASS_ALPHA)
            return r.retarget

        base_ns, base_out = time_frames(make_baseline, rows, args.baseline_repetitions)
        base_q = np.array([[frame[n] for n in names] for frame in base_out])
        diff = np.abs(base_q - cpp_q)
        result["baseline"] = stats(base_ns)
        result["max_qpos_diff"] = float(diff.max())
        result["frames_over_1e-6"] = int(np.sum(diff.max(axis=1) > 1e-6))
    return result


def kinematics_table(args) -> list[dict]:
    binary = args.build / "bench" / "kinematics_pinocchio_bench"
    if not binary.exists():
        return []
    extra = ["--benchmark_min_time=0.01"] if args.smoke else [
        "--benchmark_min_time=0.2", "--benchmark_repetitions=5"]
    out = subprocess.run([str(binary), "--benchmark_format=json", *extra], check=True,
                         capture_output=True, text=True).stdout
    times: dict[str, dict[str, list[float]]] = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("run_type") == "aggregate":
            continue
        who, hand = b["run_name"].split("/") if "run_name" in b else b["name"].split("/")[:2]
        times.setdefault(hand, {}).setdefault(who, []).append(b["cpu_time"])
    return [{"hand": h, "kova": min(t.get("kova", [float("nan")])),
             "pinocchio": min(t.get("pinocchio", [float("nan")]))} for h, t in times.items()]


def print_tables(results: list[dict], kin: list[dict], args) -> None:
    have_base = any("baseline" in r for r in results)
    print()
    print(f"Per frame, thread CPU microseconds (median / p99 over {args.frames} frames, each "
          f"the minimum of {args.repetitions} runs, {args.baseline_repetitions} for the baseline); "
          f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores")
    head = ("| hand | method | dof (opt) | kova Py med / p99 | kova C++ med / p99 | evals/frame "
            "| floor med | baseline med | max abs dq base-kova | base / kova Py | kova C++ / floor |")
    print(head)
    print("|---" * 11 + "|")
    for r in results:
        py, cpp, fl = r["kova_py"], r["kova_cpp"], r["floor"]
        if "baseline" in r:
            base = f"{r['baseline'][0]:.0f}"
            dq = f"{r['max_qpos_diff']:.1e}"
            ratio = f"{r['baseline'][0] / py[0]:.1f}x"
        else:
            base, dq, ratio = "-", "-", "-"
        print(f"| {r['hand']} | {r['method']} | {r['dof']} ({r['opt_dof']}) "
              f"| {py[0]:.0f} / {py[1]:.0f} | {cpp[0]:.0f} / {cpp[1]:.0f} | {r['evaluations']:.1f} "
              f"| {fl[0]:.0f} | {base} | {dq} | {ratio} | {cpp[0] / fl[0]:.2f} |")
    if not have_base:
        print(f"(baseline skipped: {BASELINE_ERROR or 'disabled'})")
    if kin:
        print()
        print("Forward kinematics + five Jacobians and positions (CPU ns per call)")
        print("| hand | kova | pinocchio C++ | kova / pinocchio |")
        print("|---|---|---|---|")
        for k in kin:
            print(f"| {k['hand']} | {k['kova']:.0f} | {k['pinocchio']:.0f} "
                  f"| {k['kova'] / k['pinocchio']:.2f} |")
    else:
        print("(kinematics_pinocchio_bench not built: pinocchio's C++ package was not found)")


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", type=Path, default=Path("build/bench"))
    parser.add_argument("--frames", type=int, default=FRAMES)
    parser.add_argument("--repetitions", type=int, default=3)
    parser.add_argument("--baseline-repetitions", type=int, default=None,
                        help="repetitions of the (slow) Python baseline; default: --repetitions")
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--no-baseline", action="store_true")
    parser.add_argument("--no-live", action="store_true", help="skip the live latency table")
    args = parser.parse_args()
    if args.smoke:
        args.frames, args.repetitions = min(args.frames, 20), 1
    if args.baseline_repetitions is None:
        args.baseline_repetitions = args.repetitions
    args.timing = args.build / "bench" / "kova_frame_timing"
    work = args.build / "runs"
    work.mkdir(parents=True, exist_ok=True)

    hands = available_hands()
    if not hands:
        print("no hand with at least 16 degrees of freedom found: robot files missing?")
        return 0
    results = []
    for hand in hands:
        joints = read_joints(hand.urdf_path)
        targets = joints.actuated
        trajectory = joint_trajectory(joints, args.frames)
        paths = {}
        for method in METHODS:
            paths[method] = work / f"{hand.name}_{method}.yml"
            paths[method].write_text(config_yaml(config_kwargs(hand, method, targets)))
        fk = kova_forward_kinematics(hand, targets, paths["position"])
        positions = link_trajectory(hand, trajectory, fk)
        for method in METHODS:
            rows = reference_rows(hand, method, positions, needed_links(hand))
            print(f"{hand.name} {method} ...", flush=True)
            results.append(run_case(hand, method, rows, paths[method], args, work))
    kin = kinematics_table(args)
    (args.build / "results.json").write_text(json.dumps({"frames": results, "kinematics": kin},
                                                        indent=1))
    print_tables(results, kin, args)
    if not args.no_live:
        import live_latency

        live_latency.main(["--smoke"] if args.smoke else [])
    return 0


if __name__ == "__main__":
    sys.exit(main())
