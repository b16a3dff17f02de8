"""Throughput of ``kova batch``: frames per second with 1 and with 2 local worker processes.

A dataset of 20 recordings of 1110 frames each (37 s at 30 fps: the shipped demo motion played
forwards and backwards, each recording with a little noise of its own) is retargeted from scratch
once per worker count; the ratio of the two rates is the scaling. The times are wall-clock times
of whole runs, worker start-up included. "cores used" is the workers' CPU time over the wall
time: on a busy machine it shows how much of the two cores the run actually got.

    .venv/bin/python bench/batch_throughput.py [--config position/kova_five_finger_24dof]
        [--recordings 20] [--frames 1110] [--workers 1 2] [--repeat 1]
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from kova_rs import batch
from kova_rs.retargeter import resources_dir, shipped_config


def make_dataset(root: Path, recordings: int, frames: int, motion: np.ndarray) -> int:
    loop = np.concatenate([motion, motion[::-1]])  # continuous when repeated
    long = np.concatenate([loop] * (frames // len(loop) + 1))[:frames]
    rng = np.random.default_rng(7)
    for i in range(recordings):
        noisy = long + rng.normal(scale=0.002, size=long.shape)
        np.save(root / f"take_{i:03d}.npy", noisy)
    return recordings * frames


def resolve_config(text: str) -> Path:
    if Path(text).is_file():
        return Path(text)
    method, _, hand = text.partition("/")
    return shipped_config(method, hand)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--config", default="position/kova_five_finger_24dof",
                        help="YAML file, or a shipped configuration as METHOD/HAND")
    parser.add_argument("--recordings", type=int, default=20)
    parser.add_argument("--frames", type=int, default=1110, help="frames per recording")
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--repeat", type=int, default=1, help="runs per worker count (best kept)")
    args = parser.parse_args()

    config = resolve_config(args.config)
    motion = np.load(resources_dir() / "motions" / "demo_motion.npy")
    print(f"config {config}")
    print(f"{args.recordings} recordings x {args.frames} frames, cores available: "
          f"{len(os.sched_getaffinity(0))}, load average {os.getloadavg()[0]:.2f}")
    rates: dict[int, float] = {}
    with tempfile.TemporaryDirectory(prefix="kova-batch-bench-") as tmp:
        inputs = Path(tmp, "in")
        inputs.mkdir()
        frames = make_dataset(inputs, args.recordings, args.frames, motion)
        for workers in args.workers:
            best = 0.0
            for run in range(args.repeat):
                output = Path(tmp, f"out-{workers}-{run}")
                start = time.perf_counter()
                summary = batch.run_batch(config, inputs, output, workers=workers,
                                          progress=False)
                wall = time.perf_counter() - start
                cpu = summary.cpu_seconds
                if summary.failed or summary.done != args.recordings:
                    print(f"run failed: {summary.line()}", file=sys.stderr)
                    return 1
                assert summary.frames == frames
                best = max(best, frames / wall)
                print(f"workers {workers} run {run}: {wall:7.2f} s  {frames / wall:9.1f} frames/s"
                      f"  worker CPU {cpu:6.2f} s  cores used {cpu / wall:4.2f}")
            rates[workers] = best
    base = rates[args.workers[0]]
    print()
    print("| workers | frames/s | vs 1 worker |")
    print("|---|---|---|")
    for workers, rate in rates.items():
        print(f"| {workers} | {rate:.1f} | {rate / base:.2f}x |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
