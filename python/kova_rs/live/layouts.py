"""Tracker keypoint layouts for the live path; the layouts and their conversion are the core's
(``kova_rs._core.KeypointLayout``, ``KeypointConverter``)."""

from __future__ import annotations

from typing import Protocol

import numpy as np
import numpy.typing as npt

from kova_rs import _core

FloatArray = npt.NDArray[np.float64]
HAND_FRAMES = ("keypoints", "tracker", "none")


class Converter(Protocol):
    """One tracker frame (joints, 3 or 16) -> the 21 landmarks (21, 3), written into ``out``."""

    @property
    def joint_count(self) -> int: ...

    def convert_into(self, frame: FloatArray, out: FloatArray) -> tuple[str, str] | None:
        """None, or (kind, message): kind "lost" (no hand in the frame) or "malformed"."""
        ...


def layout_names() -> list[str]:
    return list(_core.keypoint_layouts())


def layout_info(name: str) -> _core.KeypointLayout:
    """ValueError names the closest layout and every valid one."""
    return _core.KeypointLayout(name)


def make_converter(layout: str, poses: bool, hand_frame: str, side: str) -> Converter:
    """Raises ValueError for a combination that cannot work (named in the message)."""
    return _core.KeypointConverter(layout, poses=poses, hand_frame=hand_frame, side=side)
