"""Whole sequences in C++ against the per-frame Python path, and two threads against one.

On the shipped 24-DOF hand, for each method, with 1,000 frames of the demo motion (the 222
recorded frames played forwards and backwards until 1,000 frames are reached):

- ``Retargeter.retarget_sequence`` (one native call, the interpreter lock released) against a
  Python loop of ``Retargeter.retarget`` (one native call per frame) and against a Python loop
  of the specified ``_native`` ``SeqRetargeting.retarget`` fed with lists;
- two threads, each calling ``retarget_sequence`` on its own retargeter with 1,000 frames,
  against the same two calls one after the other.

Wall times, best of ``--repeat`` runs; each run starts from fresh retargeters. Run after
installing the package: ``python bench/core_sequence_bench.py``.
"""

from __future__ import annotations

import argparse
import threading
import time
from collections.abc import Callable

import numpy as np
from kova_rs import Retargeter, _native, shipped_config
from kova_rs.shipped import resources_dir

HAND = "kova_five_finger_24dof"
METHODS = ("position", "vector", "dexpilot")


def motion(frames: int) -> np.ndarray:
    recorded = np.load(resources_dir() / "motions" / "demo_motion.npy")
    there_and_back = np.concatenate([recorded, recorded[::-1]])
    repeats = -(-frames // len(there_and_back))
    return np.ascontiguousarray(np.tile(there_and_back, (repeats, 1, 1))[:frames])


def best_of(repeat: int, run: Callable[[], None]) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def measure(config: _native.RetargetingConfig, keypoints: np.ndarray, repeat: int
            ) -> tuple[float, float, float, float, float]:
    """Wall times: sequence, per frame, _native per frame, two in a row, two threads."""
    def sequence() -> None:
        Retargeter(config).retarget_sequence(keypoints)

    def per_frame() -> None:
        r = Retargeter(config)
        for frame in keypoints:
            r.retarget(frame)

    def native_lists() -> None:
        r = Retargeter(config)  # its reference rows, fed to the specified module
        seq = config.build()
        for frame in keypoints:
            seq.retarget(r.reference(frame).ravel().tolist())

    def one_after_the_other() -> None:
        first, second = Retargeter(config), Retargeter(config)
        first.retarget_sequence(keypoints)
        second.retarget_sequence(keypoints)

    def two_threads() -> None:
        pair = [Retargeter(config), Retargeter(config)]
        threads = [threading.Thread(target=r.retarget_sequence, args=(keypoints,))
                   for r in pair]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    return (best_of(repeat, sequence), best_of(repeat, per_frame), best_of(repeat, native_lists),
            best_of(repeat, one_after_the_other), best_of(repeat, two_threads))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    keypoints = motion(args.frames)
    print(f"{HAND}, {args.frames} frames, best of {args.repeat} (wall time)")
    print(f"{'method':<9} {'sequence':>9} {'per frame':>10} {'_native':>9} "
          f"{'speed-up':>9} {'1 thread x2':>12} {'2 threads':>10} {'ratio':>6}")
    for method in METHODS:
        config = _native.RetargetingConfig.from_file(str(shipped_config(method, HAND)))
        t_seq, t_frame, t_native, t_serial, t_parallel = measure(config, keypoints, args.repeat)
        print(f"{method:<9} {t_seq:8.3f}s {t_frame:9.3f}s {t_native:8.3f}s "
              f"{t_frame / t_seq:8.2f}x {t_serial:11.3f}s {t_parallel:9.3f}s "
              f"{t_serial / t_parallel:5.2f}x")


if __name__ == "__main__":
    main()
