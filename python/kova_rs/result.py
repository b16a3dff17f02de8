"""The one result type of a retargeted recording: what :meth:`Retargeter.retarget_sequence`
returns, what :func:`~kova_rs.motion_io.load_result` reads back, and what every plot, render and
the viewer take."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from kova_rs import _core

FloatArray = npt.NDArray[np.float64]

#: what ``hand_frame`` may say about the keypoints the robot followed
HAND_FRAMES = ("", "right", "left")


@dataclass
class RetargetResult:
    """A retargeted sequence: joint trajectories with their names, and per-frame errors.

    Besides the numbers it says where it came from, so that plots, renders and the viewer can
    rebuild the scene: the configuration file, the recording and how its keypoints were taken.
    """

    qpos: FloatArray  #: (N, dof) joint positions in ``joint_names`` order
    joint_names: list[str]  #: DOF joint names
    errors: FloatArray  #: (N, targets) retargeting error per frame and target, metres
    method: str = ""  #: "position", "vector" or "dexpilot"
    target_names: list[str] = field(default_factory=list)  #: one label per error column
    #: how the solver ended each frame (empty for results not made by a Retargeter)
    reports: list[_core.SolveReport] = field(default_factory=list)
    fps: float | None = None  #: frames per second of the recording, when known
    config: Path | None = None  #: the configuration file the result was made with
    source: str | None = None  #: the recording retargeted, when it was a file
    #: "" when the keypoints were used as recorded; "right" or "left" when they were first put
    #: into the hand frame (a left hand mirrored onto a right one)
    hand_frame: str = ""
    #: what made the file: kova version, solver, hashes (read back from a result file)
    provenance: dict[str, str] = field(default_factory=dict)

    def __post_init__(self) -> None:
        if self.hand_frame not in HAND_FRAMES:
            raise ValueError(f"hand_frame must be one of {HAND_FRAMES}, got {self.hand_frame!r}")

    def __len__(self) -> int:
        return int(self.qpos.shape[0])

    def __getitem__(self, key: str) -> Any:
        """The stored arrays by their names in the file (``result["qpos"]``), as
        :func:`~kova_rs.motion_io.load_result` once returned them in a dict."""
        if key not in _FILE_NAMES:
            raise KeyError(key)
        return getattr(self, key)

    @property
    def mean_error(self) -> float:
        return float(np.mean(self.errors)) if self.errors.size else 0.0

    @property
    def frame_errors(self) -> FloatArray:
        """(N,) mean error of each frame over its targets, metres."""
        if not self.errors.size:
            return np.zeros(len(self))
        return np.asarray(self.errors.mean(axis=1), dtype=np.float64)

    def joint(self, name: str) -> FloatArray:
        """Trajectory (N,) of one joint, by name."""
        try:
            return self.qpos[:, self.joint_names.index(name)]
        except ValueError:
            raise KeyError(f"unknown joint {name!r}") from None


_FILE_NAMES = frozenset({"qpos", "joint_names", "errors", "method", "target_names", "fps",
                         "config", "source", "hand_frame"})
