"""What made a result: kova's version, the solver, and hashes of the configuration's effective
content, of the robot file and of the input.

The configuration hash covers the document's values as the core's YAML reader resolves them (the
``retargeting`` settings and the ``kova:`` section), not the file's bytes, so comments and layout
do not count; the robot
hash covers the URDF file's bytes; the input hash covers the keypoints as retargeted (float64
values and shape), whichever file format held them.
"""

from __future__ import annotations

import hashlib
import os

import numpy as np

from kova_rs.safe_read import FileProblem, open_regular

URDF_LIMIT = 256 * 1024**2  # the core's URDF reader stops at the same size
CONFIG_LIMIT = 64 * 1024**2  # and its configuration reader at this one

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


def describe_config(path: str | os.PathLike[str]) -> dict[str, str]:
    """kova's version, the solver and the configuration and robot hashes of a configuration
    file. Raises ValueError ``FILE: PROBLEM`` when the file cannot be read or is not one."""
    from kova_rs import _core

    with open_regular(path, "configuration file", CONFIG_LIMIT) as handle:
        data = handle.read()
    try:
        text = data.decode("utf-8")
        canonical = _core.canonical_config(text)
        solver = _core.config_solver(text)
        urdf = _core.config_urdf_file(os.fspath(path))
    except UnicodeDecodeError:
        raise FileProblem(path, "is not UTF-8 text") from None
    except ValueError as err:
        raise FileProblem(path, str(err)) from None
    return {
        "kova_version": kova_version(),
        "solver": solver,
        "config_sha256": _sha256(canonical.encode()),
        "urdf_sha256": file_sha256(urdf, "URDF file", URDF_LIMIT),
    }


def input_sha256(keypoints: np.ndarray) -> str:
    """The hash of a recording as retargeted: its shape and float64 values."""
    values = np.ascontiguousarray(keypoints, dtype=np.float64)
    digest = hashlib.sha256(repr(values.shape).encode())
    digest.update(values.data)
    return digest.hexdigest()
