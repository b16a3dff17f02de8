"""What every picture of a retargeted motion shows, computed once per robot and configuration:
the robot's links and bones with their fingers, the targets and how to place the human hand.

Robot poses always come from kova's own forward kinematics (``kova_rs._core``), so a picture
shows exactly the robot the solver saw.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from kova_rs import _core
from kova_rs.fingers import FINGERS, FINGERTIP_LANDMARKS, FingerMap, finger_map, fingers_of_config

if TYPE_CHECKING:
    from kova_rs.retargeter import Retargeter

FloatArray = npt.NDArray[np.float64]
TargetRow = tuple[str | None, str, int | None, int]


@dataclass(frozen=True)
class HandScene:
    """A robot hand with its targets, ready to be drawn for any joint vector and keypoints."""

    model: _core.RobotModel
    method: str
    fingers: FingerMap
    #: per reference row: (origin link, task link, origin landmark, task landmark)
    target_rows: list[TargetRow]
    #: vector targets are the human vectors times this factor
    scaling_factor: float
    #: (parent, child) link positions in ``model.link_names`` of every joint
    bones: list[tuple[int, int]]
    #: the finger of each bone (its child link's)
    bone_fingers: list[str | None]
    _task: list[int]
    _origin: list[int]
    _tips: dict[str, int]

    @classmethod
    def from_retargeter(cls, retargeter: Retargeter,
                        config: str | os.PathLike[str] | None = None) -> HandScene:
        """The scene of ``retargeter``; its fingers from the ``kova.fingers`` section of
        ``config`` (default: the file the retargeter was read from) when there is one."""
        core = retargeter.native
        path = config if config is not None else retargeter.config_file
        return cls.build(retargeter.model, retargeter.method, core.target_rows,
                         core.scaling_factor, fingers_of_config(path))

    @classmethod
    def build(cls, model: _core.RobotModel, method: str, target_rows: list[TargetRow],
              scaling_factor: float,
              config_fingers: list[tuple[str, list[str], str]] | None = None) -> HandScene:
        fingers = finger_map(model, target_rows, config_fingers or [])
        index = {name: i for i, name in enumerate(model.link_names)}
        bones = [(index[j.parent], index[j.child]) for j in model.joints
                 if j.parent in index and j.child in index]
        names = model.link_names
        return cls(model, method, fingers, list(target_rows), float(scaling_factor), bones,
                   [fingers.links.get(names[c]) for _, c in bones],
                   [index[task] for _, task, _, _ in target_rows],
                   [index[origin] if origin is not None else -1
                    for origin, _, _, _ in target_rows],
                   {finger: index[link] for finger, link in fingers.tips.items()})

    @property
    def link_names(self) -> list[str]:
        return self.model.link_names

    @property
    def link_fingers(self) -> list[str | None]:
        return [self.fingers.links.get(name) for name in self.model.link_names]

    @property
    def vectors(self) -> bool:
        """Whether the targets are vectors between links (vector, dexpilot)."""
        return bool(self.target_rows) and self.target_rows[0][0] is not None

    @property
    def human_scale(self) -> float:
        """How much the human hand is scaled about its wrist to be drawn beside the robot: the
        robot follows scaled vectors, positions as they are."""
        return self.scaling_factor if self.vectors else 1.0

    def link_transforms(self, qpos: npt.ArrayLike) -> FloatArray:
        """(links, 4, 4) world transforms of every link for a joint vector, or (N, links, 4, 4)
        for N of them, in ``link_names`` order (kova's forward kinematics)."""
        return self.model.forward_kinematics(np.ascontiguousarray(qpos, dtype=np.float64))

    def link_points(self, qpos: npt.ArrayLike) -> FloatArray:
        """(links, 3) or (N, links, 3) world positions of every link."""
        return np.ascontiguousarray(self.link_transforms(qpos)[..., :3, 3])

    def human_points(self, keypoints: npt.ArrayLike) -> FloatArray:
        """The 21 keypoints (..., 21, 3) as drawn: scaled about the wrist by
        :attr:`human_scale`."""
        kp = np.asarray(keypoints, dtype=np.float64)
        wrist = kp[..., :1, :]
        return np.asarray(wrist + self.human_scale * (kp - wrist), dtype=np.float64)

    def targets(self, link_points: FloatArray, keypoints: npt.ArrayLike
                ) -> tuple[FloatArray, FloatArray]:
        """For one frame: (rows, 3) where each target's robot link is, and (rows, 3) where the
        target asks it to be. Their distance is the target's error: the keypoint itself for
        positions, the origin link plus the scaled human vector for vectors."""
        kp = np.asarray(keypoints, dtype=np.float64)
        robot = link_points[self._task]
        tasks = [task for _, _, _, task in self.target_rows]
        if not self.vectors:
            return robot, kp[tasks]
        origins = [origin or 0 for _, _, origin, _ in self.target_rows]
        wanted = link_points[self._origin] + self.scaling_factor * (kp[tasks] - kp[origins])
        return robot, np.asarray(wanted, dtype=np.float64)

    def pinch_gaps(self, link_points: FloatArray, keypoints: npt.ArrayLike
                   ) -> dict[str, tuple[float, float]]:
        """For one frame: finger -> (robot gap, human gap) in metres between the thumb tip and
        that finger's tip, for each finger the robot has a tip link of. The human gap is
        scaled like the drawn hand."""
        tips = self._tips
        if "thumb" not in tips:
            return {}
        kp = self.human_points(keypoints)
        thumb = link_points[tips["thumb"]]
        gaps: dict[str, tuple[float, float]] = {}
        for finger in FINGERS[1:]:
            if finger in tips:
                robot = float(np.linalg.norm(link_points[tips[finger]] - thumb))
                human = float(np.linalg.norm(kp[FINGERTIP_LANDMARKS[finger]]
                                             - kp[FINGERTIP_LANDMARKS["thumb"]]))
                gaps[finger] = (robot, human)
        return gaps

