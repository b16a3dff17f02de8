"""Keypoints in the hand's own frame, and mirroring a left hand onto a right-hand model.

Trackers (cameras, headsets, gloves) report the 21 landmarks in their own frame. Retargeting
compares them with robot link positions expressed in the robot hand's base frame, so both must
be expressed in the same hand-attached frame first. The convention used by every hand shipped
with kova, and by :func:`to_hand_frame`:

- origin: the wrist (landmark 0);
- x axis: from the wrist towards the middle-finger knuckle (landmark 9), along the fingers;
- y axis: in the palm plane, perpendicular to x, towards the little-finger side (the part of
  the index-knuckle to little-knuckle vector, landmarks 5 to 17, that is orthogonal to x);
- z axis: x cross y, the palm normal, pointing out of the palm, the side the fingers curl to.

For a right hand this is a right-handed frame. A left hand is the mirror image of a right hand,
so :func:`mirror` (a reflection) turns it into a right hand first; ``to_hand_frame(kp,
side="left")`` does both. The frame is computed by the native core (``kova_rs._core``), the one
definition every kova tool uses.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from kova_rs import _core

FloatArray = npt.NDArray[np.float64]


def _as_keypoints(keypoints: npt.ArrayLike) -> FloatArray:
    kp = np.ascontiguousarray(keypoints, dtype=np.float64)
    if kp.ndim not in (2, 3) or kp.shape[-2:] != (_core.LANDMARKS, 3):
        raise ValueError(
            f"keypoints must have shape (21, 3) or (N, 21, 3), got {tuple(kp.shape)}"
        )
    return kp


def hand_frame(keypoints: npt.ArrayLike) -> tuple[FloatArray, FloatArray]:
    """Rotation and origin of the hand frame, in the keypoints' frame.

    Returns ``(rotation, origin)``: ``rotation`` (3, 3) or (N, 3, 3) whose columns are the
    hand's x, y and z axes, and ``origin`` (3,) or (N, 3), the wrist position.
    Raises ValueError when the palm landmarks are degenerate (coincident or collinear).
    """
    return _core.hand_frame(_as_keypoints(keypoints))


def to_hand_frame(keypoints: npt.ArrayLike, side: str = "right") -> FloatArray:
    """Keypoints (21, 3) or (N, 21, 3) expressed in the hand frame (module docstring).

    ``side="left"`` mirrors a left hand first so that it can drive a right-hand model.
    Each frame gets its own hand frame; the result has the input's shape.
    """
    return _core.to_hand_frame(_as_keypoints(keypoints), side)


def mirror(keypoints: npt.ArrayLike, axis: str = "y") -> FloatArray:
    """Reflect keypoints across the plane normal to ``axis``: a left hand becomes a right hand.

    Any reflection turns a left hand into a right hand; the default ``axis="y"`` reflects
    across the x-z plane, which leaves keypoints that are already in the hand frame pointing
    along the same fingers with the palm facing the same way.
    """
    return _core.mirror(np.ascontiguousarray(keypoints, dtype=np.float64), axis)
