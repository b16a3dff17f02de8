"""What made a result: kova's version, the solver, and hashes of the configuration's effective
content, of the robot file and of the input.

The configuration hash covers what retargeting reads (every setting of the parsed configuration
and the ``kova:`` section), not the file's bytes, so comments and layout do not count; the robot
hash covers the URDF file's bytes; the input hash covers the keypoints as retargeted (float64
values and shape), whichever file format held them.
"""

from __future__ import annotations

import hashlib
import json
import os
from typing import Any

import numpy as np

from kova_rs.project_settings import read_project_settings
from kova_rs.safe_read import open_regular

URDF_LIMIT = 256 * 1024**2  # the core's URDF reader stops at the same size

# Every setting of a parsed configuration that changes what retargeting computes. urdf_dir is
# left out: where the configuration lies does not matter, the robot file's content does.
_CONFIG_FIELDS = (
    "type_", "urdf_path", "add_dummy_free_joint", "target_link_human_indices",
    "wrist_link_name", "target_link_names", "target_joint_names", "target_origin_link_names",
    "target_task_link_names", "finger_tip_link_names", "scaling_factor", "normal_delta",
    "huber_delta", "project_dist", "escape_dist", "has_joint_limits", "ignore_mimic_joint",
    "low_pass_alpha",
)


def kova_version() -> str:
    from kova_rs import __version__

    return str(__version__)


def _sha256(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def file_sha256(path: str | os.PathLike[str], what: str, limit: int) -> str:
    digest = hashlib.sha256()
    with open_regular(path, what, limit) as handle:
        for chunk in iter(lambda: handle.read(1024**2), b""):
            digest.update(chunk)
    return digest.hexdigest()


def _canonical(value: Any) -> Any:
    if isinstance(value, float):
        return repr(value)  # every bit of a float, also NaN and infinities
    if isinstance(value, (list, tuple)):
        return [_canonical(v) for v in value]
    return value


def urdf_file_of(config: Any) -> str:
    """Where the core finds the robot file of a parsed configuration."""
    from kova_rs.urdf_info import resolve_urdf_path

    return str(resolve_urdf_path(config))


def describe_config(path: str | os.PathLike[str]) -> dict[str, str]:
    """kova's version, the solver and the configuration and robot hashes of a configuration
    file. Raises ValueError when the file cannot be read."""
    from kova_rs import _native

    config = _native.RetargetingConfig.from_file(os.fspath(path))
    settings = read_project_settings(path)
    content = {
        "retargeting": {name: _canonical(getattr(config, name)) for name in _CONFIG_FIELDS},
        "kova": list(settings.text),
    }
    canonical = json.dumps(content, sort_keys=True, ensure_ascii=False)
    return {
        "kova_version": kova_version(),
        "solver": settings.solver,
        "config_sha256": _sha256(canonical.encode()),
        "urdf_sha256": file_sha256(urdf_file_of(config), "URDF file", URDF_LIMIT),
    }


def input_sha256(keypoints: np.ndarray) -> str:
    """The hash of a recording as retargeted: its shape and float64 values."""
    values = np.ascontiguousarray(keypoints, dtype=np.float64)
    digest = hashlib.sha256(repr(values.shape).encode())
    digest.update(values.data)
    return digest.hexdigest()
