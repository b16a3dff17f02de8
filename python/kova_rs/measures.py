"""How we judge a retargeting: the error, how far each pinch closes and how far the fist closes.

The same three numbers are taken from a human recording and from a robot's retargeted
trajectory of it, at the key poses of the recording (:func:`kova_rs.human_hand.demo_keyframes`):

- ``mean_error``: the retargeter's mean target error over the whole sequence (metres; NaN for
  a human, who is the reference);
- ``pinch_gaps``: per finger, the distance from the thumb tip to that finger's tip in the middle
  of its pinch (``pinch_index`` ... ``pinch_little``), metres;
- ``fist_closure``: the mean distance from the wrist to the tips of the four fingers in the fist
  divided by the same in the open hand (the mean over every ``open`` key pose). The thumb is
  left out: in a fist it lies across the fingers instead of folding onto the palm, so its
  distance says little about how far the hand closed. A human hand closes to about 0.37.

A robot's fingertips are the links its configuration records in ``kova.fingers.<finger>.tip``
(``kova init`` writes them) or, without those, the links its targets match to the fingertip
landmarks 4, 8, 12, 16 and 20. Its wrist is the link matched to landmark 0, else the origin of
the robot's root frame.
"""

from __future__ import annotations

import math
import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

from kova_rs.human_hand import FINGERTIP_LANDMARKS
from kova_rs.result import RetargetResult
from kova_rs.retargeter import Retargeter

FloatArray = npt.NDArray[np.float64]
FINGERS = ("thumb", "index", "middle", "ring", "little")
WRIST_LANDMARK = 0
_FINGER_OF_LANDMARK = {landmark: finger for finger, landmark in FINGERTIP_LANDMARKS.items()}


@dataclass
class HandMeasures:
    """The measures of one hand (human or robot) on one recording."""

    mean_error: float  #: metres; NaN for a human
    #: finger -> gap between the thumb tip and its tip in the middle of its pinch, metres
    pinch_gaps: dict[str, float] = field(default_factory=dict)
    #: mean wrist-to-fingertip distance (thumb left out) in the fist over the open hand
    fist_closure: float = float("nan")


def robot_fingertips(retargeter: Retargeter) -> dict[str, str]:
    """finger -> the robot link at its tip, thumb to little finger, for the fingers it has."""
    recorded = retargeter.fingertip_links
    if recorded:
        return {finger: recorded[finger] for finger in FINGERS if finger in recorded}
    rows = retargeter.native.target_rows  # (origin link, task link, origin mark, task mark)
    found: dict[str, str] = {}
    pairs = [*((mark, link) for _, link, _, mark in rows),
             *((mark, link) for link, _, mark, _ in rows if link is not None and mark is not None)]
    for landmark, link in pairs:
        finger = _FINGER_OF_LANDMARK.get(landmark)
        if finger is not None:
            found.setdefault(finger, link)
    return {finger: found[finger] for finger in FINGERS if finger in found}


def robot_wrist(retargeter: Retargeter) -> str | None:
    """The link matched to the wrist landmark (0), or None: then the root frame's origin."""
    rows = retargeter.native.target_rows
    pairs = [*((mark, link) for link, _, mark, _ in rows if link is not None),
             *((mark, link) for _, link, _, mark in rows)]
    return next((link for landmark, link in pairs if landmark == WRIST_LANDMARK), None)


def human_measures(keypoints: npt.ArrayLike, keyframes: Sequence[tuple[str, int]]
                   ) -> HandMeasures:
    """The measures of a human recording (N, 21, 3) at its key poses."""
    kp = np.asarray(keypoints, dtype=np.float64)
    if kp.ndim != 3 or kp.shape[1:] != (21, 3):
        raise ValueError(f"keypoints must have shape (N, 21, 3), got {tuple(kp.shape)}")
    frames = _frames(keyframes, len(kp))
    tips = {finger: kp[frames, landmark] for finger, landmark in FINGERTIP_LANDMARKS.items()}
    return _measures(float("nan"), tips, kp[frames, WRIST_LANDMARK], keyframes)


def robot_measures(retargeter: Retargeter, result: RetargetResult,
                   keyframes: Sequence[tuple[str, int]]) -> HandMeasures:
    """The measures of a retargeted sequence at the key poses of the recording it came from."""
    qpos = np.asarray(result.qpos, dtype=np.float64)
    if qpos.ndim != 2 or qpos.shape[1] != retargeter.dof:
        raise ValueError(f"result.qpos must have shape (N, {retargeter.dof}) for this "
                         f"retargeter, got {tuple(qpos.shape)}")
    frames = _frames(keyframes, len(qpos))
    tips = robot_fingertips(retargeter)
    wrist = robot_wrist(retargeter)
    links = [*tips.values(), *([wrist] if wrist is not None else [])]
    positions = retargeter.link_positions(qpos[frames], links)  # (keyframes, links, 3)
    at_tips = {finger: positions[:, i] for i, finger in enumerate(tips)}
    at_wrist = positions[:, -1] if wrist is not None else np.zeros((len(frames), 3))
    return _measures(result.mean_error, at_tips, at_wrist, keyframes)


def _frames(keyframes: Sequence[tuple[str, int]], length: int) -> list[int]:
    frames = [int(frame) for _, frame in keyframes]
    outside = [f for f in frames if not 0 <= f < length]
    if outside:
        raise ValueError(f"keyframe {outside[0]} is outside the {length} frames of the sequence")
    return frames


def _measures(mean_error: float, tips: Mapping[str, FloatArray], wrist: FloatArray,
              keyframes: Sequence[tuple[str, int]]) -> HandMeasures:
    """``tips`` and ``wrist``: positions (K, 3) at the K key poses, in ``keyframes`` order."""
    names = [name for name, _ in keyframes]
    gaps: dict[str, float] = {}
    if "thumb" in tips:
        for finger in FINGERS[1:]:
            pose = f"pinch_{finger}"
            if finger in tips and pose in names:
                k = names.index(pose)
                gaps[finger] = float(np.linalg.norm(tips[finger][k] - tips["thumb"][k]))
    return HandMeasures(mean_error, gaps, _fist_closure(tips, wrist, names))


def _fist_closure(tips: Mapping[str, FloatArray], wrist: FloatArray, names: list[str]) -> float:
    fingers = [finger for finger in FINGERS[1:] if finger in tips]
    if not fingers:
        return float("nan")
    if "fist" not in names or "open" not in names:
        raise ValueError("the keyframes must hold a 'fist' and an 'open' pose for the fist "
                         f"closure; found {', '.join(dict.fromkeys(names)) or 'none'}")
    reach = np.stack([np.linalg.norm(tips[f] - wrist, axis=1) for f in fingers])  # (F, K)
    fist = float(np.mean(reach[:, names.index("fist")]))
    opened = float(np.mean(reach[:, [k for k, name in enumerate(names) if name == "open"]]))
    return fist / opened if opened > 0 else float("nan")


@dataclass
class MeasuredConfig:
    """One configuration run over a recording: what ran, what it gave and its measures."""

    retargeter: Retargeter
    result: RetargetResult
    measures: HandMeasures


def measure_config(config: str | os.PathLike[str], keypoints: npt.ArrayLike,
                   keyframes: Sequence[tuple[str, int]]) -> MeasuredConfig:
    """Retargets ``keypoints`` (N, 21, 3) with the configuration file ``config`` and measures
    the result at ``keyframes``."""
    retargeter = Retargeter.from_config(config)
    result = retargeter.retarget_sequence(keypoints)
    return MeasuredConfig(retargeter, result, robot_measures(retargeter, result, keyframes))


def millimetres(value: float | None) -> str:
    """A length in metres as whole millimetres, "-" when there is none."""
    return "-" if value is None or math.isnan(value) else f"{1000 * value:.0f}"
