"""kova: retargets human hand motion onto robot hands."""

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
]
