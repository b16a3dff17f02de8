#!/usr/bin/env python3
"""Soak run: many frames through one retargeter, then many builds and drops of retargeters, with
the resident memory sampled along the way. Fails when memory keeps growing after warm-up.

Not part of CI (it runs for minutes): `make soak`.
"""

import argparse
import math
import pathlib
import sys
import tempfile
import time

from kova_rs import _native

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))
from hostile_support import TWO_FINGER_URDF  # noqa: E402

PAGE = 4096
# Growth allowed between the first sample after warm-up and the last one. A leak of one small
# object per frame over a million frames would be tens of megabytes.
ALLOWED_GROWTH_KIB = 2048


def rss_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE // 1024


def frame_ref(i):
    t = i * 0.011
    return [0.02 + 0.01 * math.sin(t), 0.03 + 0.02 * math.cos(1.3 * t), 0.08,
            -0.03, 0.01 * math.sin(0.7 * t), 0.085 + 0.005 * math.cos(t)]


def report(title, samples):
    print(f"{title}: RSS samples (count, KiB)")
    for count, kib in samples:
        print(f"  {count:>9} {kib:>9}")
    warm = samples[len(samples) // 10] if len(samples) > 10 else samples[0]
    growth = samples[-1][1] - warm[1]
    peak = max(kib for _, kib in samples[samples.index(warm):])
    print(f"  growth after warm-up: {growth} KiB (peak {peak} KiB); allowed {ALLOWED_GROWTH_KIB}")
    return growth <= ALLOWED_GROWTH_KIB and peak - warm[1] <= ALLOWED_GROWTH_KIB


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--frames", type=int, default=1_000_000)
    parser.add_argument("--builds", type=int, default=2000)
    parser.add_argument("--samples", type=int, default=40)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="kova-soak-") as tmp:
        urdf = pathlib.Path(tmp) / "toy.urdf"
        urdf.write_text(TWO_FINGER_URDF)
        configs = [
            _native.RetargetingConfig("position", str(urdf), target_link_names=["a2", "b2"],
                                      target_link_human_indices=[4, 8]),
            _native.RetargetingConfig("vector", str(urdf),
                                      target_origin_link_names=["palm", "palm"],
                                      target_task_link_names=["a2", "b2"],
                                      target_link_human_indices=[[0, 0], [4, 8]]),
            _native.RetargetingConfig("dexpilot", str(urdf), wrist_link_name="palm",
                                      finger_tip_link_names=["a2", "b2"]),
        ]

        seq = configs[0].build()
        every = max(1, args.frames // args.samples)
        samples = []
        start = time.perf_counter()
        for i in range(args.frames):
            q = seq.retarget(frame_ref(i))
            if i % every == 0:
                if not all(math.isfinite(v) for v in q):
                    sys.exit(f"frame {i}: non-finite joint values {q}")
                seq.get_qpos()
                seq.link_positions(q, ["a2", "b2"])
                samples.append((i, rss_kib()))
        samples.append((args.frames, rss_kib()))
        elapsed = time.perf_counter() - start
        print(f"{args.frames} frames in {elapsed:.1f} s ({args.frames / elapsed:.0f} frames/s)")
        frames_flat = report("frames", samples)

        every = max(1, args.builds // args.samples)
        samples = []
        start = time.perf_counter()
        for i in range(args.builds):
            built = configs[i % 3].build()
            built.retarget(frame_ref(i) + [0.05, 0.03, -0.005])
            del built
            if i % every == 0:
                samples.append((i, rss_kib()))
        samples.append((args.builds, rss_kib()))
        elapsed = time.perf_counter() - start
        print(f"{args.builds} builds and drops in {elapsed:.1f} s")
        builds_flat = report("builds", samples)

    if not (frames_flat and builds_flat):
        sys.exit("memory grew during the soak run")
    print("soak: memory flat")


if __name__ == "__main__":
    main()
