"""The ``.npz`` file of a retargeted recording, written by ``kova retarget``, ``kova demo`` and
``kova batch`` alike.

Arrays:

- ``qpos`` (N, dof) float64, ``joint_names`` (dof,) str, ``errors`` (N, targets) float64;
- ``method`` (str) when the result knows it, ``source`` (str) the recording it came from;
- what the viewer and renders need to rebuild the scene, when the result knows it: ``fps``
  (float), ``config`` (str, the configuration file), ``hand_frame`` ("right" or "left": the
  keypoints were put into the hand frame first) and ``target_names`` (str per error column);
- ``frames`` (int) and ``complete`` (True), written in the same rename as the data: a file
  without them, or with another frame count, is not a finished output;
- what made it, when known: ``kova_version``, ``solver``, ``config_sha256``, ``urdf_sha256``,
  ``input_sha256`` (str each; see :mod:`kova_rs.provenance`).

Plain ``numpy.load(path)`` reads it; nothing in it needs pickle.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from kova_rs.atomic_write import remove_stale_partials, write_atomically
from kova_rs.safe_read import FileProblem, npz_names, open_npz, open_regular, read_npz_array

if TYPE_CHECKING:
    from kova_rs.result import RetargetResult

COMPLETE_KEY = "complete"
FRAMES_KEY = "frames"
PROVENANCE_KEYS = ("kova_version", "solver", "config_sha256", "urdf_sha256", "input_sha256")


def result_arrays(result: Any, *, frames: int | None = None, source: str | None = None,
                  provenance: Mapping[str, str] | None = None) -> dict[str, np.ndarray]:
    """The arrays of a result file, after checking that the result is consistent (and, with
    ``frames``, that it has that many frames)."""
    qpos = np.asarray(result.qpos, dtype=np.float64)
    errors = np.asarray(result.errors, dtype=np.float64)
    names = np.asarray(list(result.joint_names), dtype=str)
    if frames is None:
        frames = int(qpos.shape[0]) if qpos.ndim else 0
    if qpos.ndim != 2 or qpos.shape != (frames, names.shape[0]):
        raise ValueError(f"retargeting returned qpos of shape {qpos.shape} for {frames} frames "
                         f"and {names.shape[0]} joints")
    if errors.ndim != 2 or errors.shape[0] != frames:
        raise ValueError(f"retargeting returned errors of shape {errors.shape} for {frames} frames")
    arrays = {"qpos": qpos, "joint_names": names, "errors": errors}
    for key in ("method", "hand_frame", "config"):
        value = getattr(result, key, None)
        if value:
            arrays[key] = np.asarray(str(value))
    fps = getattr(result, "fps", None)
    if fps:
        arrays["fps"] = np.asarray(float(fps), dtype=np.float64)
    targets = list(getattr(result, "target_names", None) or [])
    if targets:
        arrays["target_names"] = np.asarray(targets, dtype=str)
    source = source if source is not None else getattr(result, "source", None)
    if source is not None:
        arrays["source"] = np.asarray(str(source))
    for key, value in (provenance or {}).items():
        if key not in PROVENANCE_KEYS:
            raise ValueError(f"unknown provenance entry {key!r}")
        arrays[key] = np.asarray(str(value))
    arrays[FRAMES_KEY] = np.asarray(frames, dtype=np.int64)
    arrays[COMPLETE_KEY] = np.asarray(True)
    return arrays


def write_result(path: str | os.PathLike[str], result: Any, *, frames: int | None = None,
                 source: str | None = None, provenance: Mapping[str, str] | None = None,
                 clear_stale: bool = False) -> Path:
    """Writes ``result`` (qpos, joint_names, errors, optionally method) to ``path`` atomically.

    ``clear_stale`` removes temporary files of ``path`` left by an interrupted writer first.
    Raises ValueError ``PATH: PROBLEM`` for a wrong name, a missing folder or a failed write.
    """
    final = Path(os.fspath(path))
    if final.suffix.lower() != ".npz":
        raise ValueError(f"{final}: results are written as .npz; give a file name ending in .npz")
    if not final.parent.is_dir():
        raise ValueError(f"{final}: the folder {final.parent} does not exist")
    arrays = result_arrays(result, frames=frames, source=source, provenance=provenance)
    if clear_stale:
        remove_stale_partials(final)
    savez: Any = np.savez  # NumPy's stub types **arrays like its keyword options
    return write_atomically(final, lambda handle: savez(handle, **arrays))


def read_result_arrays(path: str | os.PathLike[str]) -> dict[str, np.ndarray]:
    """Every array of a result file, read within the limits of :mod:`kova_rs.safe_read`."""
    with open_regular(path, "result file") as handle, open_npz(handle, path) as archive:
        return {name: read_npz_array(archive, name, path) for name in npz_names(archive)}


def load_result(path: str | os.PathLike[str]) -> RetargetResult:
    """A result file as a :class:`~kova_rs.result.RetargetResult` with what the file says of
    its making (older files without those entries still read). ValueError ``PATH: PROBLEM``."""
    from kova_rs.result import HAND_FRAMES, RetargetResult

    data = read_result_arrays(path)
    for key in ("qpos", "joint_names"):
        if key not in data:
            raise FileProblem(path, f"has no {key!r} array; not a kova result")
    qpos = np.asarray(data["qpos"], dtype=np.float64)
    names = [str(n) for n in np.atleast_1d(data["joint_names"])]
    if qpos.ndim != 2 or qpos.shape[1] != len(names):
        raise FileProblem(path, f"qpos of shape {qpos.shape} does not fit {len(names)} joint "
                                "names")
    errors = np.asarray(data.get("errors", np.zeros((len(qpos), 0))), dtype=np.float64)
    if errors.ndim != 2 or errors.shape[0] != len(qpos):
        raise FileProblem(path, f"errors of shape {errors.shape} do not fit {len(qpos)} frames")

    def text(key: str) -> str:
        return str(data[key]) if key in data and data[key].ndim == 0 else ""

    hand_frame = text("hand_frame")
    if hand_frame not in HAND_FRAMES:
        raise FileProblem(path, f"hand_frame {hand_frame!r} is none of "
                                f"{', '.join(map(repr, HAND_FRAMES))}")
    fps = float(data["fps"]) if "fps" in data and data["fps"].ndim == 0 else None
    if fps is not None and not (np.isfinite(fps) and fps > 0):
        raise FileProblem(path, f"fps {fps} is not a positive number")
    return RetargetResult(
        qpos, names, errors, method=text("method"),
        target_names=[str(n) for n in np.atleast_1d(data.get("target_names", []))],
        fps=fps, config=Path(text("config")) if text("config") else None,
        source=text("source") or None, hand_frame=hand_frame, provenance=provenance_of(data))


def provenance_of(data: Mapping[str, np.ndarray] | RetargetResult) -> dict[str, str]:
    """What made a result: from a result file's arrays, or a result read back."""
    if not isinstance(data, Mapping):
        return dict(data.provenance)
    return {key: str(data[key]) for key in PROVENANCE_KEYS if key in data}


def is_complete(path: str | os.PathLike[str], frames: int,
                provenance: Mapping[str, str] | None = None) -> bool:
    """True when ``path`` is a finished result of ``frames`` frames (and, with ``provenance``,
    made by exactly that: same kova version, solver, configuration, robot and input)."""
    try:
        data = read_result_arrays(path)
    except (ValueError, OSError):  # missing, truncated, not a zip, too large: not complete
        return False
    try:
        if not bool(data[COMPLETE_KEY]) or int(data[FRAMES_KEY]) != frames:
            return False
        if any(data[key].shape[:1] != (frames,) for key in ("qpos", "errors")):
            return False
        if "joint_names" not in data:
            return False
    except (KeyError, TypeError, ValueError):
        return False
    return provenance is None or provenance_of(data) == dict(provenance)
