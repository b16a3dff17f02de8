"""kova: retargets human hand motion onto robot hands."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any

from kova_rs._core import ConfigError
from kova_rs._native import (
    PanicException,
    RetargetingConfig,
    SeqRetargeting,
    __version__,
    load_from_file,
)
from kova_rs.hand_frame import mirror, to_hand_frame
from kova_rs.joints import reorder_joints
from kova_rs.lowpass import alpha_for_cutoff, cutoff_for_alpha
from kova_rs.motion_io import load_motion, save_result
from kova_rs.result import RetargetResult
from kova_rs.retargeter import Retargeter
from kova_rs.shipped import shipped_config, shipped_hands

if TYPE_CHECKING:
    from kova_rs.viewer import Viewer


def view(result: RetargetResult | str | os.PathLike[str], retargeter: Retargeter | None = None,
         keypoints: Any = None, **options: Any) -> Viewer:
    """Shows ``result`` in the browser and returns the running viewer (``viewer.url``,
    ``viewer.stop()``); see :func:`kova_rs.viewer.view`. Needs the ``view`` extra."""
    from kova_rs.viewer import view as show

    return show(result, retargeter, keypoints, **options)


__all__ = [
    "ConfigError",
    "PanicException",
    "RetargetingConfig",
    "SeqRetargeting",
    "__version__",
    "load_from_file",
    "Retargeter",
    "RetargetResult",
    "alpha_for_cutoff",
    "cutoff_for_alpha",
    "load_motion",
    "mirror",
    "reorder_joints",
    "save_result",
    "shipped_config",
    "shipped_hands",
    "to_hand_frame",
    "view",
]
