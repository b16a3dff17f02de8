"""Finding the recordings of a batch, and checking the paths it was given."""

from __future__ import annotations

import dataclasses
import os
import stat
from collections.abc import Sequence
from pathlib import Path

from kova_rs.batch.jobs import FAILED, RECORDING_SUFFIXES, BatchUsageError, Job, Outcome
from kova_rs.safe_read import describe_os_error, kind_of


@dataclasses.dataclass
class Found:
    jobs: list[Job]
    #: folders that could not be listed and recording names that are no readable file
    failures: list[Outcome]


def _kind(path: str) -> tuple[int | None, str]:
    """(st_mode, "") of ``path``, or (None, the problem) when it cannot be examined."""
    try:
        return os.stat(path).st_mode, ""
    except OSError as err:
        return None, describe_os_error(err)


def check_paths(config: str, inputs: str, output: str) -> None:
    """Refuses, before anything is written, paths that cannot make a batch (named in messages
    as the user gave them)."""
    mode, problem = _kind(config)
    if mode is None:
        raise BatchUsageError(f"config file {config} does not exist" if problem == "no such file"
                              else f"config {config}: {problem}")
    if not stat.S_ISREG(mode):
        raise BatchUsageError(f"config {config} is {kind_of(mode)}, not a configuration file")
    mode, problem = _kind(inputs)
    if mode is None:
        raise BatchUsageError(f"inputs directory {inputs}: {problem}" if problem != "no such file"
                              else f"inputs directory {inputs} does not exist")
    if not stat.S_ISDIR(mode):
        raise BatchUsageError(f"inputs {inputs} is not a directory")
    try:
        os.scandir(inputs).close()
    except OSError as err:
        raise BatchUsageError(f"inputs directory {inputs}: {describe_os_error(err)}") from None
    mode, problem = _kind(output)
    if mode is None and problem != "no such file":
        raise BatchUsageError(f"output {output}: {problem}")
    if mode is not None and not stat.S_ISDIR(mode):
        raise BatchUsageError(f"output {output} exists and is not a directory")
    if os.path.realpath(inputs) == os.path.realpath(output):
        raise BatchUsageError("the output directory must not be the inputs directory")


def discover(inputs: str | os.PathLike[str], output: str | os.PathLike[str]) -> Found:
    """Every recording under ``inputs`` (recursively, hidden files and the output directory left
    out), paired with its output ``<output>/<relative path with suffix .npz>``. A folder that
    cannot be listed, or a recording name that is not a readable regular file, is a failure."""
    root = Path(os.path.abspath(inputs))
    out_root = Path(os.path.abspath(output))
    out_real = os.path.realpath(out_root)
    jobs: list[Job] = []
    failures: list[Outcome] = []

    def unreadable(err: OSError) -> None:
        where = Path(err.filename or root)
        relative = where.relative_to(root).as_posix() if where != root else "."
        failures.append(Outcome(relative + "/", FAILED,
                                reason=f"the folder cannot be read ({describe_os_error(err)})"))

    for dirpath, dirnames, filenames in os.walk(root, onerror=unreadable):
        here = Path(dirpath)
        dirnames[:] = sorted(
            d for d in dirnames
            if not d.startswith(".") and os.path.realpath(here / d) != out_real
        )
        for name in sorted(filenames):
            if name.startswith(".") or not name.lower().endswith(RECORDING_SUFFIXES):
                continue
            source = here / name
            relative = source.relative_to(root).as_posix()
            try:
                info = os.stat(source)
            except OSError as err:
                failures.append(Outcome(relative, FAILED, reason=describe_os_error(err)))
                continue
            if not stat.S_ISREG(info.st_mode):
                failures.append(Outcome(relative, FAILED,
                                        reason=f"is {kind_of(info.st_mode)}, not a recording"))
                continue
            jobs.append(Job(str(source), relative,
                            str(out_root / Path(relative).with_suffix(".npz")), info.st_size))
    _check_outputs(jobs)
    return Found(jobs, failures)


def _check_outputs(jobs: Sequence[Job]) -> None:
    by_output: dict[str, Job] = {}
    sources = {os.path.realpath(job.source): job for job in jobs}
    for job in jobs:
        key = os.path.realpath(job.output)
        if key in by_output:
            raise BatchUsageError(
                f"{by_output[key].relative} and {job.relative} would both be written to "
                f"{job.output}"
            )
        by_output[key] = job
        if key in sources:
            raise BatchUsageError(f"the output of {job.relative} would overwrite the input "
                                  f"{sources[key].relative}")
