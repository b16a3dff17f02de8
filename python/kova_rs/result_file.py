"""The ``.npz`` file of a retargeted recording, written by ``kova retarget``, ``kova demo`` and
``kova batch`` alike.

Arrays:

- ``qpos`` (N, dof) float64, ``joint_names`` (dof,) str, ``errors`` (N, targets) float64;
- ``method`` (str) when the result knows it, ``source`` (str) the recording it came from;
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
from typing import Any

import numpy as np

from kova_rs.atomic_write import remove_stale_partials, write_atomically
from kova_rs.safe_read import FileProblem, npz_names, open_npz, open_regular, read_npz_array

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
    method = getattr(result, "method", None)
    if method:
        arrays["method"] = np.asarray(str(method))
    if source is not None:
        arrays["source"] = np.asarray(source)
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


def load_result(path: str | os.PathLike[str]) -> dict[str, Any]:
    """A result file as a dict of arrays, ``joint_names`` as a list of str."""
    data: dict[str, Any] = dict(read_result_arrays(path))
    for key in ("qpos", "joint_names"):
        if key not in data:
            raise FileProblem(path, f"has no {key!r} array; not a kova result")
    data["joint_names"] = [str(n) for n in data["joint_names"]]
    return data


def provenance_of(data: Mapping[str, np.ndarray]) -> dict[str, str]:
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
