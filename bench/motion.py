"""The benchmark motion: a smooth joint trajectory inside the limits, turned into reference rows
by forward kinematics, plus a little noise. Every contender gets the same rows."""

from __future__ import annotations

from typing import Callable, Sequence

import numpy as np

from hands import Hand, UrdfJoints, dexpilot_vectors, position_links, vector_links

FRAMES = 1000
NOISE = 0.0005  # metres, standard deviation of the noise added to every reference number

# fk(q of the actuated joints in target order, link names) -> (len(names), 3) positions
ForwardKinematics = Callable[[np.ndarray, Sequence[str]], np.ndarray]


def joint_trajectory(joints: UrdfJoints, frames: int = FRAMES, seed: int = 7) -> np.ndarray:
    """frames x len(actuated): two sines per joint with random phases, kept inside 5-95 % of the
    joint's range."""
    rng = np.random.default_rng(seed)
    names = joints.actuated
    t = np.linspace(0.0, 1.0, frames)[:, None]
    lower = np.array([joints.limits[n][0] for n in names])
    upper = np.array([joints.limits[n][1] for n in names])
    unlimited = (upper - lower) > 1000.0
    lower = np.where(unlimited, -1.0, lower)
    upper = np.where(unlimited, 1.0, upper)
    mid, half = 0.5 * (lower + upper), 0.5 * (upper - lower)
    f1 = rng.uniform(2.0, 5.0, len(names))
    f2 = rng.uniform(5.0, 9.0, len(names))
    p1 = rng.uniform(0.0, 2.0 * np.pi, len(names))
    p2 = rng.uniform(0.0, 2.0 * np.pi, len(names))
    wave = 0.65 * np.sin(2.0 * np.pi * f1 * t + p1) + 0.25 * np.sin(2.0 * np.pi * f2 * t + p2)
    return mid + 0.95 * half * wave


def reference_rows(hand: Hand, method: str, positions: np.ndarray, names: Sequence[str],
                   seed: int = 11) -> np.ndarray:
    """frames x (3 * rows) reference values from link positions (frames x links x 3)."""
    index = {n: i for i, n in enumerate(names)}
    if method == "position":
        rows = positions[:, [index[n] for n in position_links(hand)], :]
    else:
        origins, tasks = vector_links(hand) if method == "vector" else dexpilot_vectors(hand)
        rows = (positions[:, [index[n] for n in tasks], :]
                - positions[:, [index[n] for n in origins], :])
    rng = np.random.default_rng(seed)
    rows = rows + rng.normal(0.0, NOISE, rows.shape)
    return np.ascontiguousarray(rows.reshape(rows.shape[0], -1))


def needed_links(hand: Hand) -> list[str]:
    return [hand.wrist, *hand.tips, *hand.middles]


def link_trajectory(hand: Hand, trajectory: np.ndarray, fk: ForwardKinematics) -> np.ndarray:
    names = needed_links(hand)
    return np.stack([fk(q, names) for q in trajectory])
