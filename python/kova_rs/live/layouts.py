"""Tracker keypoint layouts for the live path (the conversion itself is the core's)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Protocol

import numpy as np
import numpy.typing as npt

from kova_rs.hand_frame import to_hand_frame

FloatArray = npt.NDArray[np.float64]
HAND_FRAMES = ("keypoints", "tracker", "none")


class Converter(Protocol):
    """One tracker frame (joints, 3 or 16) -> the 21 landmarks (21, 3), written into ``out``."""

    joint_count: int

    def convert_into(self, frame: FloatArray, out: FloatArray) -> tuple[str, str] | None:
        """None, or (kind, message): kind "lost" (no hand in the frame) or "malformed"."""
        ...


@dataclass
class LayoutInfo:
    name: str
    joint_names: list[str]
    landmark_joint: list[int]  #: landmark i is joint landmark_joint[i] of a frame

    @property
    def joint_count(self) -> int:
        return len(self.joint_names)


_MEDIAPIPE = LayoutInfo("mediapipe", [f"landmark_{i}" for i in range(21)], list(range(21)))


def layout_names() -> list[str]:
    return [_MEDIAPIPE.name]


def layout_info(name: str) -> LayoutInfo:
    if name != _MEDIAPIPE.name:
        raise ValueError(f"unknown keypoint layout {name!r}. Valid layouts: mediapipe.")
    return _MEDIAPIPE


class _Identity:
    joint_count = 21

    def __init__(self, hand_frame: str, side: str) -> None:
        self._hand_frame, self._side = hand_frame, side

    def convert_into(self, frame: FloatArray, out: FloatArray) -> tuple[str, str] | None:
        if not np.all(np.isfinite(frame)):
            return ("lost", "not a finite number")
        if self._hand_frame == "none":
            out[...] = frame
            return None
        try:
            out[...] = to_hand_frame(frame, side=self._side)
        except ValueError as err:
            return ("lost", str(err))
        return None


def make_converter(layout: str, poses: bool, hand_frame: str, side: str) -> Converter:
    """Raises ValueError for a combination that cannot work (named in the message)."""
    layout_info(layout)
    if poses or hand_frame == "tracker":
        raise ValueError("poses need the native layouts")
    return _Identity(hand_frame, side)
