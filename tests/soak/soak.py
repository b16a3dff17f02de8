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


ROBOTS = pathlib.Path(__file__).resolve().parents[1] / "data" / "robots"
ALLEGRO = ROBOTS / "allegro" / "allegro_hand_description_right.urdf"
ALLEGRO_TIPS = ["link_3.0_tip", "link_7.0_tip", "link_11.0_tip", "link_15.0_tip"]


def make_frames(base):
    """Reference rows that circle a few centimetres around the given points."""
    def frame_ref(i):
        t = i * 0.011
        ref = []
        for k, (x, y, z) in enumerate(base):
            phase = t + 0.9 * k
            ref += [x + 0.015 * math.sin(phase), y + 0.015 * math.cos(1.3 * phase),
                    z + 0.01 * math.sin(0.7 * phase)]
        return ref
    return frame_ref


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
    parser.add_argument("--builds", type=int, default=20000)
    parser.add_argument("--samples", type=int, default=40)
    parser.add_argument("--robot", choices=["allegro", "toy"],
                        default="allegro" if ALLEGRO.exists() else "toy",
                        help="the Allegro hand of the test data (default) or a small robot")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="kova-soak-") as tmp:
        if args.robot == "allegro":
            urdf, palm, tips = ALLEGRO, "base_link", ALLEGRO_TIPS
        else:
            urdf, palm, tips = pathlib.Path(tmp) / "toy.urdf", "palm", ["a2", "b2"]
            urdf.write_text(TWO_FINGER_URDF)
        n = len(tips)
        configs = [
            _native.RetargetingConfig("position", str(urdf), target_link_names=tips,
                                      target_link_human_indices=list(range(n))),
            _native.RetargetingConfig("vector", str(urdf), target_origin_link_names=[palm] * n,
                                      target_task_link_names=tips,
                                      target_link_human_indices=[[0] * n, list(range(n))]),
            _native.RetargetingConfig("dexpilot", str(urdf), wrist_link_name=palm,
                                      finger_tip_link_names=tips),
        ]
        print(f"robot: {urdf.name}, targets {tips}")

        seq = configs[0].build()
        frame_ref = make_frames(seq.link_positions(seq.get_qpos(), tips))
        dexpilot_rows = n * (n - 1) // 2 + n
        every = max(1, args.frames // args.samples)
        samples = []
        start = time.perf_counter()
        for i in range(args.frames):
            q = seq.retarget(frame_ref(i))
            if i % every == 0:
                if not all(math.isfinite(v) for v in q):
                    sys.exit(f"frame {i}: non-finite joint values {q}")
                seq.get_qpos()
                seq.link_positions(q, tips)
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
            ref = frame_ref(i)
            built.retarget((ref * dexpilot_rows)[: 3 * dexpilot_rows])
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
