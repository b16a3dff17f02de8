"""What a batch is made of: jobs (one recording each), their outcomes, the backend that loads and
retargets a recording, and the run's settings that every worker receives."""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Mapping
from typing import Any

import numpy as np

RECORDING_SUFFIXES = (".npy", ".npz", ".csv")

DONE, SKIPPED, FAILED = "done", "skipped", "failed"
# A Dask worker that does not see the client's files: the whole run stops.
WRONG_SITE = "wrong site"

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2


class BatchUsageError(Exception):
    """A mistake in how the batch was asked for (paths, configuration, scheduler): exit status 2."""


RetargetFn = Callable[[np.ndarray], Any]


def _load_motion(path: str) -> np.ndarray:
    from kova_rs.motion_io import load_motion

    return load_motion(path)


class _FreshSequence:
    """Retargets each recording as a sequence of its own, so that a result never depends on which
    recordings the worker did before. The configuration is read once; each recording gets a new
    sequence built from it (well under a millisecond), because a sequence's low-pass filter keeps
    its history across ``reset()`` and would blend the previous recording into the next one."""

    def __init__(self, config: str):
        from kova_rs import _native
        from kova_rs.retargeter import Retargeter

        self.make = Retargeter
        self.config = _native.RetargetingConfig.from_file(config)
        self.make(self.config)  # a configuration that does not build fails here, once

    def __call__(self, keypoints: np.ndarray) -> Any:
        return self.make(self.config).retarget_sequence(keypoints)


def _build_retargeter(config: str) -> RetargetFn:
    return _FreshSequence(config)


def _describe_config(config: str) -> dict[str, str]:
    from kova_rs.provenance import describe_config

    return describe_config(config)


@dataclasses.dataclass(frozen=True)
class Backend:
    """How a worker loads a recording and builds a retargeter for a configuration, and what a
    configuration's provenance is.

    All three are module-level functions so that the backend pickles into worker processes.
    ``build(config)`` returns a function that retargets one whole recording ``(N, 21, 3)`` and
    returns an object with ``qpos`` (N, dof), ``joint_names`` and ``errors`` (N, targets).
    ``describe(config)`` returns the provenance entries of results made with it (solver and
    hashes, see :mod:`kova_rs.provenance`).
    """

    load: Callable[[str], np.ndarray] = _load_motion
    build: Callable[[str], RetargetFn] = _build_retargeter
    describe: Callable[[str], dict[str, str]] = _describe_config


DEFAULT_BACKEND = Backend()


@dataclasses.dataclass(frozen=True)
class Job:
    """One recording: where it is read from and where its result goes (absolute paths)."""

    source: str
    relative: str
    output: str
    size: int = 0


@dataclasses.dataclass(frozen=True)
class Outcome:
    relative: str
    status: str
    frames: int = 0
    seconds: float = 0.0  # wall-clock time in the worker
    reason: str = ""
    cpu_seconds: float = 0.0  # processor time of the worker for this recording


@dataclasses.dataclass(frozen=True)
class RunSettings:
    """What every job of one run shares; sent to each worker with its jobs."""

    config: str  #: absolute path of the configuration
    backend: Backend
    provenance: Mapping[str, str]  #: of the configuration; each output adds its input's hash
    output_root: str  #: absolute path of the output folder
    marker: str = ""  #: a file in the output folder that workers must see (Dask), or ""
    force: bool = False  #: redo every recording, complete outputs too

    @property
    def retargeter_key(self) -> tuple[Any, ...]:
        """Identifies a retargeter a worker may keep between runs: the same configuration path
        with other content (or another robot) must not reuse it."""
        return (self.config, self.backend, tuple(sorted(self.provenance.items())))


def describe_error(exc: BaseException) -> str:
    text = " ".join(str(exc).split())
    if isinstance(exc, (ValueError, OSError)) and text:
        return text
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__

