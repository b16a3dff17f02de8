"""Reading human hand recordings and writing retargeted joint trajectories.

Recordings hold N frames of the 21 hand landmarks, in metres:

- ``.npy``: one array (N, 21, 3), or (N, 63) with x, y, z of landmark 0, then landmark 1, ...;
- ``.npz``: one such array; with several arrays the one named ``keypoints`` is used;
- ``.csv``: one frame per line, 63 numbers separated by commas (or blanks); blank lines and
  lines starting with ``#`` are skipped, and so is a first line of names (a header: a line
  without a single number; a line mixing numbers and words is an error). A UTF-8 byte-order
  mark is ignored.

Recordings are read up to 1,000,000 frames and 2 GiB (see :mod:`kova_rs.safe_read`); an array's
header is checked before its data is read. Every problem raises ValueError naming the file and
the problem, on one line. Results are written and read by :mod:`kova_rs.result_file`.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import IO

import numpy as np

from kova_rs.result_file import load_result, write_result
from kova_rs.safe_read import (
    MAX_FRAMES,
    ArrayProblem,
    FileProblem,
    file_size,
    npz_names,
    open_npz,
    open_regular,
    read_lines,
    read_npy,
    read_npz_array,
)

LANDMARKS = 21
VALUES = 3 * LANDMARKS
SUFFIXES = (".npy", ".npz", ".csv")

__all__ = ["LANDMARKS", "SUFFIXES", "load_motion", "load_result", "save_result"]


def _motion_shape(shape: tuple[int, ...], dtype: np.dtype) -> None:
    """Refuses, from an array's header alone, anything that is not a recording."""
    if dtype.kind not in "biuf":
        raise ArrayProblem(f"holds {dtype} data, expected numbers")
    if shape not in ((LANDMARKS, 3),) and not (
            (len(shape) == 3 and shape[1:] == (LANDMARKS, 3))
            or (len(shape) == 2 and shape[1] == VALUES)):
        raise ArrayProblem(f"expected an array of shape (N, 21, 3) or (N, 63), got {shape}")
    if shape[0] > MAX_FRAMES and shape != (LANDMARKS, 3):
        raise ArrayProblem(f"holds {shape[0]} frames; recordings are read up to {MAX_FRAMES} "
                           "frames")


def _as_motion(path: Path, array: np.ndarray) -> np.ndarray:
    a = np.asarray(array)
    if a.shape == (LANDMARKS, 3):
        a = a[None]
    a = a.reshape(a.shape[0], LANDMARKS, 3)
    if a.shape[0] == 0:
        raise FileProblem(path, "holds no frames")
    a = a.astype(np.float64, copy=False)
    bad = np.argwhere(~np.isfinite(a))
    if bad.size:
        frame, landmark = int(bad[0][0]), int(bad[0][1])
        raise FileProblem(path, f"frame {frame}, landmark {landmark} is not a finite number")
    return a


def _numbers(fields: list[str]) -> list[float | None]:
    values: list[float | None] = []
    for field in fields:
        try:
            values.append(float(field))
        except ValueError:
            values.append(None)
    return values


def _read_csv(path: Path, handle: IO[bytes]) -> np.ndarray:
    frames = np.empty((64, VALUES))
    count, first = 0, True
    for number, line in read_lines(handle, path):
        stripped = line.strip()
        if not stripped or stripped.startswith("#"):
            continue
        fields = stripped.replace(",", " ").replace(";", " ").split()
        if count == len(frames):
            frames = np.concatenate([frames, np.empty_like(frames)])
        try:
            if len(fields) != VALUES:
                raise ValueError
            frames[count] = fields  # NumPy parses the numbers
        except ValueError:
            values = _numbers(fields)
            if None in values:
                if first and all(v is None for v in values):
                    first = False
                    continue  # a header line of column names
                word = fields[values.index(None)]
                raise FileProblem(path, f"line {number} holds something that is not a number "
                                        f"({word[:40]!r})") from None
            raise FileProblem(path, f"line {number} has {len(values)} numbers, expected "
                                    f"{VALUES}") from None
        first = False
        count += 1
        if count > MAX_FRAMES:
            raise FileProblem(path, f"holds more than {MAX_FRAMES} frames; recordings are read "
                                    f"up to {MAX_FRAMES} frames")
    return frames[:count]


def _read_array(path: Path, handle: IO[bytes], suffix: str) -> np.ndarray:
    if suffix == ".npy":
        try:
            return read_npy(handle, file_size(handle), _motion_shape)
        except ArrayProblem as err:
            raise FileProblem(path, str(err)) from None
    with open_npz(handle, path) as archive:
        names = npz_names(archive)
        if not names:
            raise FileProblem(path, "holds no arrays")
        if len(names) == 1:
            name = names[0]
        elif "keypoints" in names:
            name = "keypoints"
        else:
            raise FileProblem(path, f"holds arrays {', '.join(names)}; name the recording "
                                    "'keypoints'")
        return read_npz_array(archive, name, path, _motion_shape)


def load_motion(path: str | os.PathLike[str]) -> np.ndarray:
    """Read a recording (.npy, .npz or .csv) as a float64 array (N, 21, 3)."""
    path = Path(os.fspath(path))
    suffix = path.suffix.lower()
    if suffix not in SUFFIXES:
        raise FileProblem(path, f"unsupported motion format {suffix or '(no suffix)'!r}; "
                                "use .npy, .npz or .csv")
    try:
        with open_regular(path, "motion file") as handle:
            if suffix == ".csv":
                array = _read_csv(path, handle)
            else:
                array = _read_array(path, handle, suffix)
    except OSError as err:  # a read error after opening (an I/O error, a vanished mount)
        raise FileProblem(path, f"cannot be read ({err.strerror or err})") from None
    return _as_motion(path, array)


def save_result(path: str | os.PathLike[str], result: object) -> Path:
    """Write a :class:`~kova_rs.result.RetargetResult` to ``path`` (.npz), atomically.

    The archive holds ``qpos`` (N, dof), ``joint_names`` (dof,) and ``errors`` (N, targets),
    plus what the result knows of its making (method, fps, configuration, recording; see
    :mod:`kova_rs.result_file` for the schema). Returns the path written.
    """
    return write_result(path, result)
