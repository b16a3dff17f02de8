"""A result made ready to be shown again: the result, the retargeter of its configuration and the
human keypoints the robot followed (read back from the recording the result names, put into the
hand frame again when the result says it was)."""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt

from kova_rs.hand_scene import HandScene
from kova_rs.result import RetargetResult
from kova_rs.retargeter import Retargeter

FloatArray = npt.NDArray[np.float64]
#: frames per second assumed for a result that does not record it
DEFAULT_FPS = 30.0


@dataclass
class Replay:
    result: RetargetResult
    retargeter: Retargeter
    scene: HandScene
    #: (N, 21, 3) as the robot followed them, or None when they could not be had
    keypoints: FloatArray | None
    #: why there are no keypoints (empty when there are)
    missing: str = ""

    @property
    def fps(self) -> float:
        return self.result.fps or DEFAULT_FPS


def replay(result: RetargetResult | str | os.PathLike[str], *,
           retargeter: Retargeter | None = None,
           config: str | os.PathLike[str] | None = None,
           keypoints: npt.ArrayLike | str | os.PathLike[str] | None = None) -> Replay:
    """A :class:`Replay` of ``result`` (a RetargetResult or a result file).

    The retargeter: ``retargeter``, else one built from ``config``, else from the configuration
    the result names. The keypoints: ``keypoints`` (an array (N, 21, 3) or a recording file),
    else the recording the result names, if it is still there. ValueError names what is
    missing or does not fit.
    """
    from kova_rs.motion_io import load_result

    if not isinstance(result, RetargetResult):
        result = load_result(result)
    if retargeter is None:
        chosen = config if config is not None else result.config
        if chosen is None:
            raise ValueError("the result does not name its configuration; give the "
                             "configuration it was made with (--config)")
        retargeter = Retargeter.from_config(chosen)
    if list(retargeter.joint_names) != list(result.joint_names):
        raise ValueError(f"the result's {len(result.joint_names)} joints are not the "
                         f"{retargeter.dof} joints of the configuration's robot "
                         f"({', '.join(retargeter.joint_names[:4])}, ...): give the "
                         "configuration the result was made with")
    kp, missing = _keypoints(result, keypoints)
    return Replay(result, retargeter, HandScene.from_retargeter(retargeter, config), kp, missing)


def _keypoints(result: RetargetResult,
               given: npt.ArrayLike | str | os.PathLike[str] | None
               ) -> tuple[FloatArray | None, str]:
    from kova_rs.hand_frame import to_hand_frame
    from kova_rs.motion_io import load_motion

    frames = len(result)
    if given is None:
        if not result.source:
            return None, "the result names no recording (give one with --input)"
        if not Path(result.source).is_file():
            return None, f"the recording {result.source} is not there any more"
        given = result.source
        side = result.hand_frame
    else:
        side = result.hand_frame if isinstance(given, (str, os.PathLike)) else ""
    if isinstance(given, (str, os.PathLike)):
        kp = load_motion(given)
        if side:
            kp = to_hand_frame(kp, side=side)
    else:
        kp = np.asarray(given, dtype=np.float64)
    if kp.shape != (frames, 21, 3):
        raise ValueError(f"the keypoints have shape {kp.shape}, the result {frames} frames: "
                         f"expected ({frames}, 21, 3)")
    return np.ascontiguousarray(kp, dtype=np.float64), ""
