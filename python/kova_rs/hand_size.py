"""How large a robot hand is beside the human hand of :mod:`kova_rs.human_hand`.

A hand's size here is the reach of each finger: the distance from the wrist to the fingertip
with the finger stretched out. For the robot that is its joints at the open end of their ranges
(found by trying each limited joint at its lower end, its upper end and zero, keeping what
reaches farthest), its fingertips and wrist as :mod:`kova_rs.measures` finds them; for the
human, the model hand with every joint straight. The thumb is compared only on a hand that has
no other finger: where a thumb's base sits says more about the design than about the size.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from kova_rs.human_hand import FINGERTIP_LANDMARKS, HandPose, HandShape, landmarks
from kova_rs.measures import robot_fingertips, robot_wrist
from kova_rs.retargeter import Retargeter

FloatArray = npt.NDArray[np.float64]
#: a joint whose range reaches this far has no real limit (the solver's bound without one)
_UNLIMITED = 1e3
_SWEEPS = 3


@dataclass
class HandSize:
    """Reach of each compared finger, metres, and the robot's over the human's."""

    robot: dict[str, float]
    human: dict[str, float]

    @property
    def ratio(self) -> float:
        """Mean robot reach over mean human reach of the compared fingers."""
        return float(np.mean(list(self.robot.values())) / np.mean(list(self.human.values())))


def human_reach(shape: HandShape | None = None) -> dict[str, float]:
    """finger -> wrist-to-fingertip distance of the model hand with every joint straight."""
    straight = HandPose(flexion={f: (0.0, 0.0, 0.0) for f in ("index", "middle", "ring",
                                                               "little")},
                        thumb_opposition=0.0, thumb_flexion=(0.0, 0.0, 0.0))
    points = landmarks(straight, shape)
    return {finger: float(np.linalg.norm(points[landmark] - points[0]))
            for finger, landmark in FINGERTIP_LANDMARKS.items()}


def open_pose(retargeter: Retargeter) -> FloatArray:
    """The joint vector (dof,) that stretches the robot's fingers out farthest."""
    tips = robot_fingertips(retargeter)
    fingers = [f for f in tips if f != "thumb"] or list(tips)
    limits = retargeter.model.joint_limits
    qpos = np.clip(np.zeros(retargeter.dof), limits[:, 0], limits[:, 1])
    if not fingers:
        return qpos
    limited = [j for j in range(retargeter.dof)
               if np.all(np.isfinite(limits[j])) and np.all(np.abs(limits[j]) < _UNLIMITED)]
    for _ in range(_SWEEPS):
        for j in limited:
            candidates = np.repeat(qpos[None], 3, axis=0)
            candidates[:, j] = [limits[j, 0], limits[j, 1], np.clip(0.0, *limits[j])]
            reach = _reach(retargeter, candidates, [tips[f] for f in fingers]).sum(axis=1)
            qpos = candidates[int(np.argmax(reach))]
    return qpos


def robot_reach(retargeter: Retargeter) -> dict[str, float]:
    """finger -> wrist-to-fingertip distance with the joints at the open end of their ranges."""
    tips = robot_fingertips(retargeter)
    reach = _reach(retargeter, open_pose(retargeter)[None], list(tips.values()))[0]
    return {finger: float(r) for finger, r in zip(tips, reach)}


def hand_size(retargeter: Retargeter) -> HandSize | None:
    """The robot's reach beside the human's, or None when the robot has no fingertip."""
    robot = robot_reach(retargeter)
    compared = [f for f in robot if f != "thumb"] or list(robot)
    if not compared:
        return None
    human = human_reach()
    return HandSize({f: robot[f] for f in compared}, {f: human[f] for f in compared})


def _reach(retargeter: Retargeter, qpos: FloatArray, tips: list[str]) -> FloatArray:
    """(N, len(tips)) wrist-to-tip distances for joint vectors (N, dof)."""
    wrist = robot_wrist(retargeter)
    positions = retargeter.link_positions(qpos, [*tips, *([wrist] if wrist else [])])
    origin = positions[:, -1:] if wrist else np.zeros((len(qpos), 1, 3))
    return np.asarray(np.linalg.norm(positions[:, : len(tips)] - origin, axis=2))
