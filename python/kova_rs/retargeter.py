"""Retargeting with NumPy: human hand keypoints in, robot joint trajectories out.

:class:`Retargeter` wraps one configuration and one native ``SeqRetargeting``. It turns each
frame of the 21 hand landmarks (0 wrist; 1-4 thumb; 5-8 index; 9-12 middle; 13-16 ring; 17-20
little finger) into the reference rows the configured method expects, calls the native solver
and returns joint vectors together with their joint names.

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
from collections.abc import Sequence
from dataclasses import dataclass, field

import numpy as np

from kova_rs import _native
from kova_rs.shipped import resources_dir, shipped_config, shipped_hands  # noqa: F401

#: human fingertip landmarks of the 21-landmark convention
FINGERTIP_LANDMARK = {"thumb": 4, "index": 8, "middle": 12, "ring": 16, "little": 20}
WRIST_LANDMARK = 0
_FINGER_WORDS = {
    "thumb": ("thumb", "th"),
    "index": ("index", "ff", "first", "fore", "forefinger"),
    "middle": ("middle", "mf"),
    "ring": ("ring", "rf"),
    "little": ("little", "pinky", "pinkie", "lf"),
}
_POSITIONAL_ORDER = ("thumb", "index", "middle", "ring", "little")


def fingertip_landmarks(fingertip_link_names: Sequence[str]) -> list:
    """Human fingertip landmark of each robot fingertip link, in the links' order.

    A link is matched to a finger by a word of its name (split at anything that is not a
    letter, and at lower-to-upper case changes): "thumb"/"th", "index"/"ff"/"first"/"fore",
    "middle"/"mf", "ring"/"rf", "little"/"pinky"/"lf". When some link names no finger, or two
    links name the same finger, the links are taken in the order thumb, index, middle, ring,
    little instead.
    """
    fingers = []
    for name in fingertip_link_names:
        words = {w.lower() for w in re.findall(r"[A-Z]?[a-z]+|[A-Z]+(?![a-z])", name)}
        found = [f for f, keys in _FINGER_WORDS.items() if words & set(keys)]
        fingers.append(found[0] if len(found) == 1 else None)
    if None in fingers or len(set(fingers)) != len(fingers):
        if len(fingertip_link_names) > len(_POSITIONAL_ORDER):
            raise ValueError("DexPilot takes at most five fingertips")
        fingers = list(_POSITIONAL_ORDER[: len(fingertip_link_names)])
    return [FINGERTIP_LANDMARK[f] for f in fingers]


def dexpilot_vectors(finger_count: int) -> list:
    """(task, origin) of each DexPilot vector over link numbers 0 = wrist, 1..n = fingertips.

    Every fingertip pair (i, j > i) as fingertip j to fingertip i, then the wrist to each
    fingertip; the order in which the native solver reads its reference rows.
    """
    pairs = [(i, j) for i in range(1, finger_count) for j in range(i + 1, finger_count + 1)]
    return pairs + [(i, 0) for i in range(1, finger_count + 1)]


def dexpilot_indices(fingertip_link_names: Sequence[str]) -> list:
    """Flat human indices (origins, then tasks) for a DexPilot configuration without them."""
    landmarks = [WRIST_LANDMARK] + fingertip_landmarks(fingertip_link_names)
    vectors = dexpilot_vectors(len(fingertip_link_names))
    return [landmarks[o] for _, o in vectors] + [landmarks[t] for t, _ in vectors]


@dataclass
class RetargetResult:
    """A retargeted sequence: joint trajectories with their names, and per-frame errors."""

    qpos: np.ndarray  #: (N, dof) joint positions in ``joint_names`` order
    joint_names: list  #: DOF joint names
    errors: np.ndarray  #: (N, targets) retargeting error per frame and target, metres
    method: str = ""  #: "position", "vector" or "dexpilot"
    target_names: list = field(default_factory=list)  #: one label per error column

    def __len__(self) -> int:
        return int(self.qpos.shape[0])

    @property
    def mean_error(self) -> float:
        return float(np.mean(self.errors)) if self.errors.size else 0.0

    def joint(self, name: str) -> np.ndarray:
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
    """

    def __init__(self, config):
        if not isinstance(config, _native.RetargetingConfig):
            raise TypeError(
                f"expected a RetargetingConfig, got {type(config).__name__}; "
                "use Retargeter.from_config for files"
            )
        self._config = config
        self._seq = config.build()
        self._method = config.type_
        self._joint_names = list(self._seq.joint_names)
        self._plan_reference()

    @classmethod
    def from_config(cls, config) -> "Retargeter":
        """From a ``RetargetingConfig`` or the path (str or PathLike) of a YAML file."""
        if isinstance(config, _native.RetargetingConfig):
            return cls(config)
        if isinstance(config, (str, os.PathLike)):
            return cls(_native.RetargetingConfig.from_file(os.fspath(config)))
        raise TypeError(
            f"expected a RetargetingConfig or a path, got {type(config).__name__}"
        )

    # -- reference rows ---------------------------------------------------------------------

    def _plan_reference(self) -> None:
        """Precompute which keypoints make each reference row."""
        c = self._config
        indices = c.target_link_human_indices
        if self._method == "position":
            self._origins = None
            self._tasks = np.asarray(indices, dtype=np.intp)
            self._target_names = list(c.target_link_names)
            self._target_links = list(c.target_link_names)
            return
        if self._method == "vector":
            origin_links = list(c.target_origin_link_names)
            task_links = list(c.target_task_link_names)
        else:
            tips = list(c.finger_tip_link_names)
            links = [c.wrist_link_name] + tips
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

    @property
    def _needed_landmarks(self) -> int:
        used = [self._tasks] + ([self._origins] if self._origins is not None else [])
        return int(max((int(a.max()) for a in used if a.size), default=-1)) + 1

    def _check_keypoints(self, keypoints, batched: bool) -> np.ndarray:
        kp = np.asarray(keypoints, dtype=np.float64)
        want = "(N, 21, 3)" if batched else "(21, 3)"
        ndim = 3 if batched else 2
        if kp.ndim != ndim or kp.shape[-1] != 3:
            raise ValueError(f"keypoints must have shape {want}, got {tuple(kp.shape)}")
        if kp.shape[-2] < self._needed_landmarks:
            raise ValueError(
                f"keypoints have {kp.shape[-2]} landmarks but the configuration uses landmark "
                f"{self._needed_landmarks - 1}"
            )
        if not np.all(np.isfinite(kp)):
            raise ValueError("keypoints contain NaN or infinite values")
        return kp

    def reference(self, keypoints) -> np.ndarray:
        """Reference rows (rows, 3) of one (21, 3) frame, in the configured order."""
        kp = self._check_keypoints(keypoints, batched=False)
        return self._rows(kp)

    def _rows(self, kp: np.ndarray) -> np.ndarray:
        if self._origins is None:
            return kp[..., self._tasks, :]
        return kp[..., self._tasks, :] - kp[..., self._origins, :]

    # -- retargeting ------------------------------------------------------------------------

    @property
    def config(self):
        """The native ``RetargetingConfig``."""
        return self._config

    @property
    def method(self) -> str:
        return self._method

    @property
    def joint_names(self) -> list:
        """DOF joint names, the order of every joint vector this retargeter returns."""
        return list(self._joint_names)

    @property
    def dof(self) -> int:
        return len(self._joint_names)

    @property
    def target_names(self) -> list:
        """One label per reference row and per error column."""
        return list(self._target_names)

    @property
    def fixed_dof(self) -> int:
        return int(self._seq.fixed_dof)

    @property
    def native(self):
        """The native ``SeqRetargeting`` (for ``link_positions``, ``set_qpos``, ...)."""
        return self._seq

    def _fixed(self, fixed_qpos):
        if fixed_qpos is None:
            return None
        fixed = np.asarray(fixed_qpos, dtype=np.float64)
        if fixed.ndim != 1 or fixed.shape[0] != self.fixed_dof:
            raise ValueError(
                f"fixed_qpos must hold {self.fixed_dof} values (one per fixed joint), "
                f"got shape {tuple(fixed.shape)}"
            )
        return fixed

    def retarget(self, keypoints, fixed_qpos=None) -> np.ndarray:
        """Joint positions (dof,) for one (21, 3) frame, continuing the current sequence."""
        rows = self.reference(keypoints)
        fixed = self._fixed(fixed_qpos)
        q = self._seq.retarget(rows.ravel(), None if fixed is None else fixed)
        return np.asarray(q, dtype=np.float64)

    def retarget_sequence(self, keypoints, *, fixed_qpos=None, progress: bool = False
                          ) -> RetargetResult:
        """Retarget a whole recording (N, 21, 3), continuing the current sequence.

        ``fixed_qpos``: None, one vector for every frame, or (N, fixed_dof). ``progress``
        shows a tqdm progress bar when tqdm is installed.
        """
        kp = self._check_keypoints(keypoints, batched=True)
        n = kp.shape[0]
        fixed = None if fixed_qpos is None else np.asarray(fixed_qpos, dtype=np.float64)
        if fixed is not None:
            if fixed.ndim == 1:
                self._fixed(fixed)
                fixed = np.broadcast_to(fixed, (n, fixed.shape[0]))
            elif fixed.shape != (n, self.fixed_dof):
                raise ValueError(
                    f"fixed_qpos must have shape ({self.fixed_dof},) or ({n}, {self.fixed_dof}),"
                    f" got {tuple(fixed.shape)}"
                )
        rows = self._rows(kp).reshape(n, 3 * self._tasks.size)  # also for zero frames
        qpos = np.empty((n, self.dof))
        frames = range(n)
        if progress:
            frames = _progress(frames, n, self._method)
        for i in frames:
            f = None if fixed is None else fixed[i]
            qpos[i] = self._seq.retarget(rows[i], f)
        return RetargetResult(qpos, self.joint_names, self.errors(kp, qpos), self._method,
                              self.target_names)

    def reset(self) -> None:
        """Start a new sequence: the warm start goes back to the middle of the joint limits."""
        self._seq.reset()

    # -- evaluation -------------------------------------------------------------------------

    def link_positions(self, qpos, link_names: Sequence[str]) -> np.ndarray:
        """World positions (len(link_names), 3), or (N, len, 3) for a trajectory (N, dof)."""
        q = np.asarray(qpos, dtype=np.float64)
        names = list(link_names)
        if q.ndim == 1:
            return np.asarray(self._seq.link_positions(q, names), dtype=np.float64).reshape(-1, 3)
        if q.ndim != 2:
            raise ValueError(f"qpos must be (dof,) or (N, dof), got shape {tuple(q.shape)}")
        out = np.empty((q.shape[0], len(names), 3))
        for i, row in enumerate(q):
            out[i] = np.asarray(self._seq.link_positions(row, names)).reshape(-1, 3)
        return out

    def errors(self, keypoints, qpos) -> np.ndarray:
        """Per-frame error (N, targets), metres.

        position: distance of each target link to its keypoint; vector and dexpilot: length of
        the difference between each robot vector and the human vector times scaling_factor.
        """
        kp = np.asarray(keypoints, dtype=np.float64)
        q = np.asarray(qpos, dtype=np.float64)
        if kp.ndim == 2:
            kp, q = kp[None], q[None]
        rows = self._rows(kp)
        if self._origins is None:
            robot = self.link_positions(q, self._target_links)
            return np.linalg.norm(robot - rows, axis=-1)
        distinct = list(dict.fromkeys(self._origin_links + self._task_links))
        where = {name: i for i, name in enumerate(distinct)}
        pos = self.link_positions(q, distinct)
        robot = (pos[:, [where[t] for t in self._task_links]]
                 - pos[:, [where[o] for o in self._origin_links]])
        return np.linalg.norm(robot - self._config.scaling_factor * rows, axis=-1)


def _progress(frames, total: int, label: str):
    try:
        from tqdm import tqdm
    except ImportError:
        return frames
    return tqdm(frames, total=total, desc=f"retargeting ({label})", unit="frame", leave=False)
