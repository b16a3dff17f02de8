"""Retargeting with NumPy: human hand keypoints in, robot joint trajectories out.

:class:`Retargeter` holds one configuration and one native retargeter (``kova_rs._core``). The
native side turns each frame of the 21 hand landmarks (0 wrist; 1-4 thumb; 5-8 index; 9-12
middle; 13-16 ring; 17-20 little finger) into the reference rows of the configured method,
solves whole sequences in C++ without holding the interpreter lock, and reports the error of
each target; this module checks what it is given and returns NumPy arrays with their names.

Reference rows per method, from the configuration's ``target_link_human_indices``:

- position: one row per target link, the keypoint with the given index;
- vector: the indices hold the vector origins in their first half and the vector tasks in their
  second half; row i is ``keypoints[task_i] - keypoints[origin_i]``;
- dexpilot: the same layout over the DexPilot vectors (every fingertip pair, then the wrist to
  each fingertip; :func:`kova_rs._core.dexpilot_vectors`). Without configured indices they are
  derived from the wrist landmark (0) and the fingertip landmark of the finger each fingertip
  link names (:func:`kova_rs._core.fingertip_landmarks`).
"""

from __future__ import annotations

import os
import stat
from collections.abc import Iterable, Iterator, Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from kova_rs import _core, _native
from kova_rs.result import RetargetResult
from kova_rs.shipped import resources_dir, shipped_config, shipped_hands  # noqa: F401

FloatArray = npt.NDArray[np.float64]
LANDMARKS = _core.LANDMARKS
#: the solvers a Retargeter can use (the core's names for them), and the one used unless chosen
SOLVERS = ("slsqp", "lm")
DEFAULT_SOLVER = "slsqp"
#: frames per native call when a progress bar is shown
_PROGRESS_CHUNK = 64
#: a configuration file is a few kilobytes; anything far larger is not one
_MAX_CONFIG_BYTES = 1 << 20
#: the fields of a configuration that the native retargeter is built from
_CONFIG_FIELDS = (
    "urdf_dir", "add_dummy_free_joint", "target_link_human_indices", "wrist_link_name",
    "target_link_names", "target_joint_names", "target_origin_link_names",
    "target_task_link_names", "finger_tip_link_names", "scaling_factor", "normal_delta",
    "huber_delta", "project_dist", "escape_dist", "has_joint_limits", "ignore_mimic_joint",
    "low_pass_alpha",
)


def check_solver(solver: str | None) -> None:
    """ConfigError naming the valid choices unless ``solver`` is one of SOLVERS or None."""
    if solver is not None and solver not in SOLVERS:
        shown = repr(solver) if isinstance(solver, str) else type(solver).__name__
        raise _core.ConfigError(f"solver: unknown solver {shown}; valid solvers: "
                                f"{', '.join(SOLVERS)}")


def read_config_text(path: Path) -> str:
    """The text of a configuration file; ConfigError naming the file otherwise."""
    try:
        info = path.stat()
    except OSError as err:
        raise _core.ConfigError(f"{path}: cannot be read ({err.strerror or err})") from None
    if not stat.S_ISREG(info.st_mode):
        raise _core.ConfigError(f"{path}: not a regular file")
    if info.st_size > _MAX_CONFIG_BYTES:
        raise _core.ConfigError(f"{path}: {info.st_size} bytes, more than a configuration holds "
                                f"(at most {_MAX_CONFIG_BYTES})")
    try:
        return path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as err:
        raise _core.ConfigError(f"{path}: cannot be read as UTF-8 text ({err})") from None


class Retargeter:
    """Retargets (21, 3) hand keypoints onto the robot hand of one configuration.

    >>> r = Retargeter.from_config("configs/position/kova_five_finger_24dof.yml")
    >>> qpos = r.retarget(keypoints)            # (dof,), in r.joint_names order
    >>> result = r.retarget_sequence(motion)    # motion (N, 21, 3)

    One object is one sequence: every call continues from the previous frame (warm start,
    low-pass filter, DexPilot's pinch state) until :meth:`reset`. Objects may be shared by
    threads (calls on one object are serialised); distinct objects solve in parallel.
    """

    def __init__(self, config: _native.RetargetingConfig, *, solver: str = DEFAULT_SOLVER,
                 fingertip_links: Mapping[str, str] | None = None) -> None:
        if not isinstance(config, _native.RetargetingConfig):
            raise TypeError(
                f"expected a RetargetingConfig, got {type(config).__name__}; "
                "use Retargeter.from_config for files"
            )
        check_solver(solver)
        self._config = config
        self._method = config.type_
        fields: dict[str, Any] = {key: getattr(config, key) for key in _CONFIG_FIELDS}
        self._core = _core.Retargeter(config.type_, config.urdf_path, **fields, solver=solver)
        self._joint_names = list(self._core.joint_names)
        self._fingertip_links = dict(fingertip_links or {})
        self._config_warnings: list[_core.ConfigIssue] = []
        self._config_file: Path | None = None
        self._side: str | None = None

    @classmethod
    def from_config(cls, config: str | os.PathLike[str] | _native.RetargetingConfig,
                    solver: str | None = None) -> Retargeter:
        """From a ``RetargetingConfig`` or the path (str or PathLike) of a YAML file.

        A file is checked strictly first, by the errors of ``kova check``: a misspelt or
        unknown key, a value of the wrong kind (``scaling_factor: '3.0'``,
        ``has_joint_limits: no``), a name its robot does not have, a mimic joint whose source
        is not driven, all raise :class:`kova_rs.ConfigError` naming the key, what was found
        and what is expected; warnings do not stop it (:attr:`config_warnings` lists them).
        Its ``kova:`` section may choose the solver (``kova: {solver: lm}``).

        ``solver``: ``"slsqp"`` or ``"lm"`` overrides the file's choice; None keeps it (and
        for a ``RetargetingConfig``, which has no ``kova:`` section, means the default).
        """
        check_solver(solver)
        if isinstance(config, _native.RetargetingConfig):
            return cls(config) if solver is None else cls(config, solver=solver)
        if not isinstance(config, (str, os.PathLike)):
            raise TypeError(
                f"expected a RetargetingConfig or a path, got {type(config).__name__}"
            )
        path = Path(os.fspath(config))
        text = read_config_text(path)
        try:
            warnings = _core.check_config_file(text, path)
            chosen = _core.config_solver(text)
            fingertips = _core.config_fingertips(text)
            side = _core.config_side(text)
        except _core.ConfigError as err:
            raise _core.ConfigError(f"{path}: {err}") from None
        try:
            native = _native.RetargetingConfig.from_file(str(path))
        except ValueError as err:
            raise _core.ConfigError(str(err)) from None
        try:
            made = cls(native, solver=chosen if solver is None else solver,
                       fingertip_links=fingertips)
        except _core.ConfigError as err:
            raise _core.ConfigError(f"{path}: {err}") from None
        made._config_warnings = warnings
        made._config_file = path.resolve()
        made._side = side
        return made

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
        return self._core.reference(self._check_keypoints(keypoints, batched=False))

    # -- retargeting ------------------------------------------------------------------------

    @property
    def config(self) -> _native.RetargetingConfig:
        """The ``RetargetingConfig`` this retargeter was built from."""
        return self._config

    @property
    def config_file(self) -> Path | None:
        """The configuration file this retargeter was read from (None when built from a
        ``RetargetingConfig``)."""
        return self._config_file

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
        return self._core.target_labels

    @property
    def target_links(self) -> list[str]:
        """The robot links the targets read, each once (origins first, then tasks)."""
        return self._core.target_links

    @property
    def solver(self) -> str:
        """The solver every frame uses ("slsqp" or "lm")."""
        return self._core.solver

    @property
    def last_report(self) -> _core.SolveReport:
        """How the solver ended the most recently solved frame."""
        return self._core.last_report()

    @property
    def urdf_file(self) -> Path:
        """The robot file solved for, wherever the configuration's ``urdf_path`` found it
        (a ``package://NAME/PATH`` path through ``ROS_PACKAGE_PATH``)."""
        return Path(self._core.urdf_file)

    @property
    def model(self) -> _core.RobotModel:
        """The robot model solved for: links, joints, limits, kinematics."""
        return self._core.model

    @property
    def fingertip_links(self) -> dict[str, str]:
        """finger -> robot link at its tip, as the configuration's ``kova.fingers`` records
        (``kova init`` writes them); empty when it records none."""
        return dict(self._fingertip_links)

    @property
    def side(self) -> str | None:
        """"right" or "left": which hand the robot is, as the configuration's ``kova.side``
        records (``kova init`` writes it); None when it does not say. A left hand's
        configuration takes a left hand's keypoints in its own hand frame."""
        return self._side

    @property
    def config_warnings(self) -> list[_core.ConfigIssue]:
        """What the checks of :meth:`from_config` warned about (empty for a record)."""
        return list(self._config_warnings)

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
        rows = self._core.reference(kp)
        if not progress:
            qpos, reports = self._core.retarget_sequence_reported(rows, fixed)
        else:
            qpos, reports = np.empty((n, self.dof)), []
            for start in _progress(range(0, n, _PROGRESS_CHUNK), n, self._method):
                stop = min(start + _PROGRESS_CHUNK, n)
                part = fixed if fixed is None or fixed.ndim == 1 else fixed[start:stop]
                qpos[start:stop], done = self._core.retarget_sequence_reported(rows[start:stop],
                                                                                part)
                reports += done
        return RetargetResult(qpos, self.joint_names, self._core.errors(rows, qpos),
                              self._method, self.target_names, reports,
                              config=self._config_file)

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
        q = q[None] if q.ndim == 1 else q
        if len(q) != len(kp):
            raise ValueError(f"{len(kp)} frames of keypoints but {len(q)} joint vectors")
        return self._core.errors(self._core.reference(kp), q)


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
