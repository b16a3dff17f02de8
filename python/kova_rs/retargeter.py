"""Retargeting with NumPy: human hand keypoints in, robot joint trajectories out.

:class:`Retargeter` holds one configuration and one native retargeter (``kova_rs._core``). It
turns each frame of the 21 hand landmarks (0 wrist; 1-4 thumb; 5-8 index; 9-12 middle; 13-16
ring; 17-20 little finger) into the reference rows of the configured method, solves whole
sequences in C++ without holding the interpreter lock, and returns joint vectors with their
joint names.

Reference rows per method, from the configuration's ``target_link_human_indices``:

- position: one row per target link, the keypoint with the given index;
- vector: the indices hold the vector origins in their first half and the vector tasks in their
  second half; row i is ``keypoints[task_i] - keypoints[origin_i]``;
- dexpilot: the same layout over the DexPilot vectors (every fingertip pair, then the wrist to
  each fingertip). Without configured indices they are derived from the wrist landmark (0) and
  the fingertip landmarks (4, 8, 12, 16, 20): each fingertip link is matched to a finger by the
  finger word in its name (see :func:`fingertip_landmarks`).
"""

from __future__ import annotations

import os
import re
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import numpy.typing as npt

from kova_rs import _core, _native
from kova_rs.shipped import resources_dir, shipped_config, shipped_hands  # noqa: F401

FloatArray = npt.NDArray[np.float64]

#: human fingertip landmarks of the 21-landmark convention
FINGERTIP_LANDMARK = {"thumb": 4, "index": 8, "middle": 12, "ring": 16, "little": 20}
WRIST_LANDMARK = 0
LANDMARKS = 21
_FINGER_WORDS = {
    "thumb": ("thumb", "th"),
    "index": ("index", "ff", "first", "fore", "forefinger"),
    "middle": ("middle", "mf"),
    "ring": ("ring", "rf"),
    "little": ("little", "pinky", "pinkie", "lf"),
}
_POSITIONAL_ORDER = ("thumb", "index", "middle", "ring", "little")
#: frames per native call when a progress bar is shown
_PROGRESS_CHUNK = 64
#: the fields of a configuration that the native retargeter is built from
_CONFIG_FIELDS = (
    "urdf_dir", "add_dummy_free_joint", "target_link_human_indices", "wrist_link_name",
    "target_link_names", "target_joint_names", "target_origin_link_names",
    "target_task_link_names", "finger_tip_link_names", "scaling_factor", "normal_delta",
    "huber_delta", "project_dist", "escape_dist", "has_joint_limits", "ignore_mimic_joint",
    "low_pass_alpha",
)


def fingertip_landmarks(fingertip_link_names: Sequence[str]) -> list[int]:
    """Human fingertip landmark of each robot fingertip link, in the links' order.

    A link is matched to a finger by a word of its name (split at anything that is not a
    letter, and at lower-to-upper case changes): "thumb"/"th", "index"/"ff"/"first"/"fore",
    "middle"/"mf", "ring"/"rf", "little"/"pinky"/"lf". When some link names no finger, or two
    links name the same finger, the links are taken in the order thumb, index, middle, ring,
    little instead.
    """
    fingers: list[str | None] = []
    for name in fingertip_link_names:
        words = {w.lower() for w in re.findall(r"[A-Z]?[a-z]+|[A-Z]+(?![a-z])", name)}
        found = [f for f, keys in _FINGER_WORDS.items() if words & set(keys)]
        fingers.append(found[0] if len(found) == 1 else None)
    if None in fingers or len(set(fingers)) != len(fingers):
        if len(fingertip_link_names) > len(_POSITIONAL_ORDER):
            raise ValueError("DexPilot takes at most five fingertips")
        fingers = list(_POSITIONAL_ORDER[: len(fingertip_link_names)])
    return [FINGERTIP_LANDMARK[f] for f in fingers if f is not None]


def dexpilot_vectors(finger_count: int) -> list[tuple[int, int]]:
    """(task, origin) of each DexPilot vector over link numbers 0 = wrist, 1..n = fingertips.

    Every fingertip pair (i, j > i) as fingertip j to fingertip i, then the wrist to each
    fingertip; the order in which the native solver reads its reference rows.
    """
    pairs = [(i, j) for i in range(1, finger_count) for j in range(i + 1, finger_count + 1)]
    return pairs + [(i, 0) for i in range(1, finger_count + 1)]


def dexpilot_indices(fingertip_link_names: Sequence[str]) -> list[int]:
    """Flat human indices (origins, then tasks) for a DexPilot configuration without them."""
    landmarks = [WRIST_LANDMARK] + fingertip_landmarks(fingertip_link_names)
    vectors = dexpilot_vectors(len(fingertip_link_names))
    return [landmarks[o] for _, o in vectors] + [landmarks[t] for t, _ in vectors]


@dataclass
class RetargetResult:
    """A retargeted sequence: joint trajectories with their names, and per-frame errors."""

    qpos: FloatArray  #: (N, dof) joint positions in ``joint_names`` order
    joint_names: list[str]  #: DOF joint names
    errors: FloatArray  #: (N, targets) retargeting error per frame and target, metres
    method: str = ""  #: "position", "vector" or "dexpilot"
    target_names: list[str] = field(default_factory=list)  #: one label per error column

    def __len__(self) -> int:
        return int(self.qpos.shape[0])

    @property
    def mean_error(self) -> float:
        return float(np.mean(self.errors)) if self.errors.size else 0.0

    def joint(self, name: str) -> FloatArray:
        """Trajectory (N,) of one joint, by name."""
        try:
            return self.qpos[:, self.joint_names.index(name)]
        except ValueError:
            raise KeyError(f"unknown joint {name!r}") from None


class Retargeter:
    """Retargets (21, 3) hand keypoints onto the robot hand of one configuration.

    >>> r = Retargeter.from_config("configs/position/kova_five_finger_24dof.yml")
    >>> qpos = r.retarget(keypoints)            # (dof,), in r.joint_names order
    >>> result = r.retarget_sequence(motion)    # motion (N, 21, 3)

    One object is one sequence: every call continues from the previous frame (warm start,
    low-pass filter, DexPilot's pinch state) until :meth:`reset`. Objects may be shared by
    threads (calls on one object are serialised); distinct objects solve in parallel.
    """

    def __init__(self, config: _native.RetargetingConfig) -> None:
        if not isinstance(config, _native.RetargetingConfig):
            raise TypeError(
                f"expected a RetargetingConfig, got {type(config).__name__}; "
                "use Retargeter.from_config for files"
            )
        self._config = config
        self._method = config.type_
        self._plan_reference()
        fields: dict[str, Any] = {key: getattr(config, key) for key in _CONFIG_FIELDS}
        self._core = _core.Retargeter(config.type_, config.urdf_path, **fields)
        self._joint_names = list(self._core.joint_names)

    @classmethod
    def from_config(cls, config: str | os.PathLike[str] | _native.RetargetingConfig
                    ) -> Retargeter:
        """From a ``RetargetingConfig`` or the path (str or PathLike) of a YAML file."""
        if isinstance(config, _native.RetargetingConfig):
            return cls(config)
        if isinstance(config, (str, os.PathLike)):
            try:
                native = _native.RetargetingConfig.from_file(os.fspath(config))
            except ValueError as err:
                raise _core.ConfigError(str(err)) from None
            return cls(native)
        raise TypeError(
            f"expected a RetargetingConfig or a path, got {type(config).__name__}"
        )

    # -- reference rows ---------------------------------------------------------------------

    def _plan_reference(self) -> None:
        """Precompute which keypoints make each reference row."""
        c = self._config
        indices = list(c.target_link_human_indices or [])
        self._origin_links: list[str] = []
        if self._method == "position":
            self._origins: npt.NDArray[np.intp] | None = None
            self._tasks = np.asarray(indices, dtype=np.intp)
            self._target_names = list(c.target_link_names or [])
            self._task_links = list(self._target_names)
            return
        if self._method == "vector":
            origin_links = list(c.target_origin_link_names or [])
            task_links = list(c.target_task_link_names or [])
        else:
            tips = list(c.finger_tip_link_names or [])
            links = [c.wrist_link_name or ""] + tips
            vectors = dexpilot_vectors(len(tips))
            origin_links = [links[o] for _, o in vectors]
            task_links = [links[t] for t, _ in vectors]
            if not indices:
                indices = dexpilot_indices(tips)
        count = len(origin_links)
        if len(indices) != 2 * count:
            raise ValueError(
                f"{self._method} retargeting needs {2 * count} target_link_human_indices "
                f"({count} origins, then {count} tasks), got {len(indices)}"
            )
        self._origins = np.asarray(indices[:count], dtype=np.intp)
        self._tasks = np.asarray(indices[count:], dtype=np.intp)
        self._origin_links, self._task_links = origin_links, task_links
        self._target_names = [f"{o}->{t}" for o, t in zip(origin_links, task_links)]

    def _check_keypoints(self, keypoints: npt.ArrayLike, batched: bool) -> FloatArray:
        kp = np.asarray(keypoints, dtype=np.float64)
        want = f"(N, {LANDMARKS}, 3)" if batched else f"({LANDMARKS}, 3)"
        if kp.ndim != (3 if batched else 2) or kp.shape[-2:] != (LANDMARKS, 3):
            raise ValueError(f"keypoints must have shape {want}, got {tuple(kp.shape)}")
        if not np.all(np.isfinite(kp)):
            raise ValueError("keypoints contain NaN or infinite values")
        return kp

    def reference(self, keypoints: npt.ArrayLike) -> FloatArray:
        """Reference rows (rows, 3) of one (21, 3) frame, in the configured order."""
        return self._rows(self._check_keypoints(keypoints, batched=False))

    def _rows(self, kp: FloatArray) -> FloatArray:
        if self._origins is None:
            return np.ascontiguousarray(kp[..., self._tasks, :])
        return np.ascontiguousarray(kp[..., self._tasks, :] - kp[..., self._origins, :])

    # -- retargeting ------------------------------------------------------------------------

    @property
    def config(self) -> _native.RetargetingConfig:
        """The ``RetargetingConfig`` this retargeter was built from."""
        return self._config

    @property
    def method(self) -> str:
        return self._method

    @property
    def joint_names(self) -> list[str]:
        """DOF joint names, the order of every joint vector this retargeter returns."""
        return list(self._joint_names)

    @property
    def dof(self) -> int:
        return len(self._joint_names)

    @property
    def target_names(self) -> list[str]:
        """One label per reference row and per error column."""
        return list(self._target_names)

    @property
    def target_links(self) -> list[str]:
        """The robot links the targets read, each once (origins first, then tasks)."""
        return list(dict.fromkeys(self._origin_links + self._task_links))

    @property
    def model(self) -> _core.RobotModel:
        """The robot model solved for: links, joints, limits, kinematics."""
        return self._core.model

    @property
    def fixed_dof(self) -> int:
        """Joints that are neither optimised nor mimic joints; ``fixed_qpos`` holds theirs."""
        return int(self._core.fixed_dof)

    @property
    def native(self) -> _core.Retargeter:
        """The native retargeter (``kova_rs._core.Retargeter``)."""
        return self._core

    def _fixed(self, fixed_qpos: npt.ArrayLike | None, frames: int | None) -> FloatArray | None:
        if fixed_qpos is None:
            return None
        fixed = np.asarray(fixed_qpos, dtype=np.float64)
        n = self.fixed_dof
        if fixed.shape == (n,) or (frames is not None and fixed.shape == (frames, n)):
            return fixed
        shapes = f"({n},)" if frames is None else f"({n},) or ({frames}, {n})"
        raise ValueError(
            f"fixed_qpos must have shape {shapes} (one value per fixed joint), "
            f"got {tuple(fixed.shape)}"
        )

    def retarget(self, keypoints: npt.ArrayLike, fixed_qpos: npt.ArrayLike | None = None
                 ) -> FloatArray:
        """Joint positions (dof,) for one (21, 3) frame, continuing the current sequence.

        ``fixed_qpos``: None (every fixed joint 0) or the ``fixed_dof`` values of the fixed
        joints, in DOF order.
        """
        rows = self.reference(keypoints)
        return self._core.retarget(rows, self._fixed(fixed_qpos, None))

    def retarget_sequence(self, keypoints: npt.ArrayLike, *,
                          fixed_qpos: npt.ArrayLike | None = None,
                          progress: bool = False) -> RetargetResult:
        """Retarget a whole recording (N, 21, 3), continuing the current sequence.

        The frames are solved one after the other in C++ without the interpreter lock.
        ``fixed_qpos``: None, one vector for every frame, or (N, fixed_dof). ``progress``
        shows a tqdm progress bar when tqdm is installed.
        """
        kp = self._check_keypoints(keypoints, batched=True)
        n = kp.shape[0]
        fixed = self._fixed(fixed_qpos, n)
        rows = self._rows(kp)
        if not progress:
            qpos = self._core.retarget_sequence(rows, fixed)
        else:
            qpos = np.empty((n, self.dof))
            for start in _progress(range(0, n, _PROGRESS_CHUNK), n, self._method):
                stop = min(start + _PROGRESS_CHUNK, n)
                part = fixed if fixed is None or fixed.ndim == 1 else fixed[start:stop]
                self._core.retarget_sequence(rows[start:stop], part, out=qpos[start:stop])
        return RetargetResult(qpos, self.joint_names, self._errors(rows, qpos), self._method,
                              self.target_names)

    def reset(self) -> None:
        """Start a new sequence in every respect.

        The warm start goes back to the middle of the joint limits, the low-pass filter forgets
        its history and DexPilot forgets which pinches it was holding: the next frame is solved
        exactly as by a new retargeter.
        """
        self._core.restart()

    # -- evaluation -------------------------------------------------------------------------

    def link_positions(self, qpos: npt.ArrayLike, link_names: Sequence[str]) -> FloatArray:
        """World positions (len(link_names), 3), or (N, len, 3) for a trajectory (N, dof).

        Mimic joints follow their sources, as in a solved frame.
        """
        return self._core.link_positions(np.asarray(qpos, dtype=np.float64), list(link_names))

    def errors(self, keypoints: npt.ArrayLike, qpos: npt.ArrayLike) -> FloatArray:
        """Per-frame error (N, targets), metres, of keypoints (21, 3) or (N, 21, 3).

        position: distance of each target link to its keypoint; vector and dexpilot: length of
        the difference between each robot vector and the human vector times scaling_factor.
        """
        kp = np.asarray(keypoints, dtype=np.float64)
        q = np.asarray(qpos, dtype=np.float64)
        kp = self._check_keypoints(kp[None] if kp.ndim == 2 else kp, batched=True)
        return self._errors(self._rows(kp), q[None] if q.ndim == 1 else q)

    def _errors(self, rows: FloatArray, qpos: FloatArray) -> FloatArray:
        if len(qpos) != len(rows):
            raise ValueError(f"{len(rows)} frames of keypoints but {len(qpos)} joint vectors")
        if self._origins is None:
            robot = self.link_positions(qpos, self._task_links)
            return np.asarray(np.linalg.norm(robot - rows, axis=-1))
        distinct = self.target_links
        where = {name: i for i, name in enumerate(distinct)}
        pos = self.link_positions(qpos, distinct)
        robot = (pos[:, [where[t] for t in self._task_links]]
                 - pos[:, [where[o] for o in self._origin_links]])
        scaled = self._config.scaling_factor * rows
        return np.asarray(np.linalg.norm(robot - scaled, axis=-1))


def _progress(chunks: range, total: int, label: str) -> Iterable[int]:
    try:
        from tqdm import tqdm
    except ImportError:
        return chunks
    return _ticking(chunks, tqdm(total=total, desc=f"retargeting ({label})", unit="frame",
                                 leave=False))


def _ticking(chunks: range, bar: Any) -> Iterator[int]:
    with bar:
        for start in chunks:
            yield start
            bar.update(min(chunks.step, chunks.stop - start))
