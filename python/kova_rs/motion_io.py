"""Reading human hand recordings and writing retargeted joint trajectories.

Recordings hold N frames of the 21 hand landmarks, in metres:

- ``.npy``: one array (N, 21, 3), or (N, 63) with x, y, z of landmark 0, then landmark 1, ...;
- ``.npz``: one such array; with several arrays the one named ``keypoints`` is used;
- ``.csv``: one frame per line, 63 numbers separated by commas (or blanks); blank lines and
  lines starting with ``#`` are skipped, and so is a first line that is a header of names.

Every problem raises ValueError naming the file and the problem.
"""

from __future__ import annotations

import os
import zipfile
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any, NoReturn

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from kova_rs.result import RetargetResult

FloatArray = npt.NDArray[np.float64]
PathArg = str | os.PathLike[str]

LANDMARKS = 21
SUFFIXES = (".npy", ".npz", ".csv")


def _fail(path: Path, problem: str) -> NoReturn:
    raise ValueError(f"{path}: {problem}")


def _as_motion(path: Path, array: npt.ArrayLike) -> FloatArray:
    a = np.asarray(array)
    if a.dtype == object or not (np.issubdtype(a.dtype, np.number) or a.dtype == bool):
        _fail(path, f"holds {a.dtype} data, expected numbers")
    if a.ndim == 2 and a.shape[1] == 3 * LANDMARKS:
        a = a.reshape(a.shape[0], LANDMARKS, 3)
    elif a.ndim == 2 and a.shape == (LANDMARKS, 3):
        a = a[None]
    if a.ndim != 3 or a.shape[1:] != (LANDMARKS, 3):
        _fail(path, f"expected an array of shape (N, 21, 3) or (N, 63), got {tuple(a.shape)}")
    if a.shape[0] == 0:
        _fail(path, "holds no frames")
    a = a.astype(np.float64)
    bad = np.argwhere(~np.isfinite(a))
    if bad.size:
        frame, landmark = int(bad[0][0]), int(bad[0][1])
        _fail(path, f"frame {frame}, landmark {landmark} is not a finite number")
    return a


def _read_csv(path: Path) -> FloatArray:
    rows: list[list[float]] = []
    header_allowed = True
    try:
        text = path.read_text(encoding="utf-8")
    except UnicodeDecodeError:
        _fail(path, "is not a UTF-8 text file")
    for number, line in enumerate(text.splitlines(), start=1):
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        fields = [f for f in stripped.replace(",", " ").replace(";", " ").split()]
        try:
            values = [float(f) for f in fields]
        except ValueError:
            if header_allowed:
                header_allowed = False
                continue  # a header line of column names
            _fail(path, f"line {number} holds something that is not a number")
        header_allowed = False
        if len(values) != 3 * LANDMARKS:
            _fail(path, f"line {number} has {len(values)} numbers, expected {3 * LANDMARKS}")
        rows.append(values)
    if not rows:
        _fail(path, "holds no frames")
    return np.asarray(rows, dtype=np.float64)


def load_motion(path: PathArg) -> FloatArray:
    """Read a recording (.npy, .npz or .csv) as a float64 array (N, 21, 3)."""
    path = Path(os.fspath(path))
    suffix = path.suffix.lower()
    if suffix not in SUFFIXES:
        _fail(path, f"unsupported motion format {suffix or '(no suffix)'!r}; "
                    "use .npy, .npz or .csv")
    if not path.exists():
        _fail(path, "no such file")
    if path.is_dir():
        _fail(path, "is a directory, not a motion file")
    if suffix == ".csv":
        return _as_motion(path, _read_csv(path))
    try:
        with open(path, "rb") as handle:
            return _as_motion(path, _read_array(path, handle, suffix))
    except OSError as err:
        _fail(path, f"cannot be read ({err.strerror or err})")


def _read_array(path: Path, handle: IO[bytes], suffix: str) -> npt.NDArray[Any]:
    try:
        loaded = np.load(handle, allow_pickle=False)
    except (OSError, ValueError, EOFError, zipfile.BadZipFile) as err:
        reason = str(err).splitlines()[0] if str(err) else type(err).__name__
        _fail(path, f"not a readable {suffix} file ({reason})")
    if not isinstance(loaded, np.lib.npyio.NpzFile):
        return np.asarray(loaded)
    with loaded as archive:
        names = list(archive.files)
        if not names:
            _fail(path, "holds no arrays")
        if len(names) == 1:
            name = names[0]
        elif "keypoints" in names:
            name = "keypoints"
        else:
            _fail(path, f"holds arrays {', '.join(names)}; name the recording 'keypoints'")
        try:
            return np.asarray(archive[name])
        except (ValueError, OSError, zipfile.BadZipFile) as err:
            _fail(path, f"array {name!r} cannot be read ({err})")


def save_result(path: PathArg, result: RetargetResult) -> Path:
    """Write a :class:`~kova_rs.result.RetargetResult` to ``path`` (.npz).

    The archive holds ``qpos`` (N, dof), ``joint_names`` (dof,) and ``errors`` (N, targets),
    plus what the result knows of its making: ``method``, ``target_names``, ``fps``,
    ``config`` (the configuration file), ``source`` (the recording) and ``hand_frame``.
    Returns the path written.
    """
    path = Path(os.fspath(path))
    if path.suffix.lower() != ".npz":
        _fail(path, "results are written as .npz; give a file name ending in .npz")
    if path.parent and not path.parent.exists():
        _fail(path, f"the folder {path.parent} does not exist")
    arrays: dict[str, npt.NDArray[Any]] = {
        "qpos": np.asarray(result.qpos, dtype=np.float64),
        "joint_names": np.asarray(list(result.joint_names), dtype=str),
        "errors": np.asarray(result.errors, dtype=np.float64),
    }
    arrays.update(_origin_arrays(result))
    try:
        np.savez(path, **arrays)  # type: ignore[arg-type]  # numpy's stub misreads **kwds
    except OSError as err:
        _fail(path, f"cannot be written ({err.strerror or err})")
    return path


def _origin_arrays(result: RetargetResult) -> dict[str, npt.NDArray[Any]]:
    """The optional entries of a result file: where the result came from."""
    arrays: dict[str, npt.NDArray[Any]] = {}
    for key in ("method", "source", "hand_frame"):
        value = getattr(result, key, None)
        if value:
            arrays[key] = np.asarray(str(value))
    if getattr(result, "config", None):
        arrays["config"] = np.asarray(str(result.config))
    if getattr(result, "fps", None):
        arrays["fps"] = np.asarray(float(result.fps), dtype=np.float64)  # type: ignore[arg-type]
    names = list(getattr(result, "target_names", []) or [])
    if names:
        arrays["target_names"] = np.asarray(names, dtype=str)
    return arrays


def load_result(path: PathArg) -> RetargetResult:
    """Read back what :func:`save_result` (or ``kova batch``) wrote, old files included: a
    :class:`~kova_rs.result.RetargetResult` with what the file says of its making."""
    from kova_rs.result import HAND_FRAMES, RetargetResult

    path = Path(os.fspath(path))
    if not path.is_file():
        _fail(path, "no such file")
    try:
        with open(path, "rb") as handle, np.load(handle, allow_pickle=False) as archive:
            data = {name: archive[name] for name in archive.files}
    except (OSError, ValueError, TypeError, AttributeError, zipfile.BadZipFile) as err:
        _fail(path, f"not a readable .npz file ({err})")
    for key in ("qpos", "joint_names"):
        if key not in data:
            _fail(path, f"has no {key!r} array; not a kova result")
    qpos = np.asarray(data["qpos"], dtype=np.float64)
    names = [str(n) for n in np.atleast_1d(data["joint_names"])]
    if qpos.ndim != 2 or qpos.shape[1] != len(names):
        _fail(path, f"qpos of shape {qpos.shape} does not fit {len(names)} joint names")
    errors = np.asarray(data.get("errors", np.zeros((len(qpos), 0))), dtype=np.float64)
    if errors.ndim != 2 or errors.shape[0] != len(qpos):
        _fail(path, f"errors of shape {errors.shape} do not fit {len(qpos)} frames")

    def text(key: str) -> str:
        return str(data[key]) if key in data and data[key].ndim == 0 else ""

    hand_frame = text("hand_frame")
    if hand_frame not in HAND_FRAMES:
        _fail(path, f"hand_frame {hand_frame!r} is none of {', '.join(map(repr, HAND_FRAMES))}")
    fps = float(data["fps"]) if "fps" in data and data["fps"].ndim == 0 else None
    if fps is not None and not (np.isfinite(fps) and fps > 0):
        _fail(path, f"fps {fps} is not a positive number")
    return RetargetResult(
        qpos, names, errors, method=text("method"),
        target_names=[str(n) for n in np.atleast_1d(data.get("target_names", []))],
        fps=fps, config=Path(text("config")) if text("config") else None,
        source=text("source") or None, hand_frame=hand_frame,
        provenance={key: text(key) for key in _PROVENANCE if text(key)},
    )


#: what made a result, as ``kova batch`` records it
_PROVENANCE = ("kova_version", "solver", "config_sha256", "urdf_sha256", "input_sha256")
