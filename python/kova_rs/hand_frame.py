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
side="left")`` does both.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]

WRIST, INDEX_KNUCKLE, MIDDLE_KNUCKLE, LITTLE_KNUCKLE = 0, 5, 9, 17
_AXES = {"x": 0, "y": 1, "z": 2}


def _as_keypoints(keypoints: npt.ArrayLike, name: str = "keypoints") -> FloatArray:
    kp = np.asarray(keypoints, dtype=np.float64)
    if kp.ndim not in (2, 3) or kp.shape[-1] != 3 or kp.shape[-2] < 21:
        raise ValueError(
            f"{name} must have shape (21, 3) or (N, 21, 3), got {tuple(kp.shape)}"
        )
    return kp


def _where(bad: npt.NDArray[np.bool_]) -> str:
    """' in frame i' for the first bad frame of a sequence, '' for a single frame."""
    if bad.ndim == 0:
        return ""
    return f" in frame {int(np.argmax(bad))}"


def hand_frame(keypoints: npt.ArrayLike) -> tuple[FloatArray, FloatArray]:
    """Rotation and origin of the hand frame, in the keypoints' frame.

    Returns ``(rotation, origin)``: ``rotation`` (3, 3) or (N, 3, 3) whose columns are the
    hand's x, y and z axes, and ``origin`` (3,) or (N, 3), the wrist position.
    Raises ValueError when the palm landmarks are degenerate (coincident or collinear).
    """
    kp = _as_keypoints(keypoints)
    origin = kp[..., WRIST, :]
    x = kp[..., MIDDLE_KNUCKLE, :] - origin
    across = kp[..., LITTLE_KNUCKLE, :] - kp[..., INDEX_KNUCKLE, :]
    x_len = np.linalg.norm(x, axis=-1, keepdims=True)
    if np.any(~np.isfinite(x_len)) or np.any(x_len < 1e-9):
        raise ValueError("the wrist and the middle-finger knuckle coincide"
                         f"{_where(~(x_len[..., 0] >= 1e-9))}; no hand frame")
    x = x / x_len
    y = across - np.sum(across * x, axis=-1, keepdims=True) * x
    y_len = np.linalg.norm(y, axis=-1, keepdims=True)
    if np.any(~np.isfinite(y_len)) or np.any(y_len < 1e-9):
        raise ValueError(
            "the index and little-finger knuckles lie on the wrist-middle knuckle line"
            f"{_where(~(y_len[..., 0] >= 1e-9))}; no hand frame"
        )
    y = y / y_len
    z = np.cross(x, y)
    return np.stack([x, y, z], axis=-1), origin


def to_hand_frame(keypoints: npt.ArrayLike, side: str = "right") -> FloatArray:
    """Keypoints (21, 3) or (N, 21, 3) expressed in the hand frame (module docstring).

    ``side="left"`` mirrors a left hand first so that it can drive a right-hand model.
    Each frame gets its own hand frame; the result has the input's shape.
    """
    kp = _as_keypoints(keypoints)
    if side == "left":
        kp = mirror(kp)
    elif side != "right":
        raise ValueError(f"side must be 'right' or 'left', got {side!r}")
    rotation, origin = hand_frame(kp)
    # p_hand = R^T (p - origin), for every landmark of every frame
    return np.asarray(np.einsum("...ji,...kj->...ki", rotation, kp - origin[..., None, :]))


def mirror(keypoints: npt.ArrayLike, axis: str = "y") -> FloatArray:
    """Reflect keypoints across the plane normal to ``axis``: a left hand becomes a right hand.

    Any reflection turns a left hand into a right hand; the default ``axis="y"`` reflects
    across the x-z plane, which leaves keypoints that are already in the hand frame pointing
    along the same fingers with the palm facing the same way.
    """
    if axis not in _AXES:
        raise ValueError(f"axis must be 'x', 'y' or 'z', got {axis!r}")
    kp = np.array(keypoints, dtype=np.float64, copy=True)
    if kp.ndim == 0 or kp.shape[-1] != 3:
        raise ValueError(f"keypoints must end in a dimension of 3, got {tuple(kp.shape)}")
    kp[..., _AXES[axis]] *= -1.0
    return kp
