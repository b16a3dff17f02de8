"""A whole batch: checks, the output folder's lock, the jobs on local workers or a Dask cluster,
progress and the summary."""

from __future__ import annotations

import dataclasses
import os
import sys
import time
from typing import TextIO

from kova_rs.batch.cluster import CONNECT_TIMEOUT, NO_TLS, TlsFiles, run_dask
from kova_rs.batch.discovery import check_paths, discover
from kova_rs.batch.folder_lock import OutputFolderLock
from kova_rs.batch.jobs import (
    DEFAULT_BACKEND,
    DONE,
    RECORDING_SUFFIXES,
    SKIPPED,
    Backend,
    BatchUsageError,
    Outcome,
    RunSettings,
    describe_error,
)
from kova_rs.batch.local import run_local
from kova_rs.batch.progress import progress as make_progress
from kova_rs.provenance import kova_version
from kova_rs.safe_read import describe_os_error


@dataclasses.dataclass
class Summary:
    total: int = 0
    done: int = 0
    skipped: int = 0
    failed: list[Outcome] = dataclasses.field(default_factory=list)
    frames: int = 0
    seconds: float = 0.0
    cpu_seconds: float = 0.0  # processor time the workers spent on the recordings done

    @property
    def frames_per_second(self) -> float:
        return self.frames / self.seconds if self.seconds > 0 else 0.0

    def line(self) -> str:
        return (f"{self.done} done, {self.skipped} skipped, {len(self.failed)} failed "
                f"of {self.total} recordings; {self.frames} frames retargeted in "
                f"{self.seconds:.1f} s ({self.frames_per_second:.1f} frames/s)")


def _default_workers() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def _check_config(config: str, shown: object, backend: Backend) -> dict[str, str]:
    """Builds the configuration once (a bad one fails here, not once per recording) and returns
    the provenance of results made with it."""
    try:
        backend.build(config)
        return {"kova_version": kova_version()} | backend.describe(config)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:
        raise BatchUsageError(f"config {shown}: {describe_error(exc)}") from None


def run_batch(config: str | os.PathLike[str], inputs: str | os.PathLike[str],
              output: str | os.PathLike[str], *, workers: int | None = None,
              scheduler: str | None = None, backend: Backend = DEFAULT_BACKEND,
              progress: bool = True, force: bool = False, tls: TlsFiles = NO_TLS,
              connect_timeout: float = CONNECT_TIMEOUT, err: TextIO | None = None) -> Summary:
    """Retargets every recording under ``inputs`` into ``output``; returns the summary.

    A recording whose output is complete and was made by exactly this (kova version, solver,
    configuration, robot, input) is skipped, unless ``force``. Raises :class:`BatchUsageError`
    for a mistake in the request (missing directories, a config that does not build, no
    recordings, an output folder in use by another batch, an unreachable scheduler, a Dask
    worker that does not see the files) before any output is written, or when the mistake shows.
    """
    err = sys.stderr if err is None else err
    check_paths(os.fspath(config), os.fspath(inputs), os.fspath(output))
    # Absolute paths: Dask workers (and anything else) resolve them the same way as this client.
    config_path, inputs_path, output_path = (os.path.abspath(p) for p in (config, inputs, output))
    provenance = _check_config(config_path, config, backend)
    found = discover(inputs_path, output_path)
    if not found.jobs and not found.failures:
        raise BatchUsageError(f"no recordings ({', '.join(RECORDING_SUFFIXES)}) under {inputs}")
    try:
        os.makedirs(output_path, exist_ok=True)
    except OSError as exc:
        raise BatchUsageError(f"output {output}: cannot create the folder "
                              f"({describe_os_error(exc)})") from None
    # Longest first: the last recordings to finish are short ones, so workers end together.
    jobs = sorted(found.jobs, key=lambda job: -job.size)

    summary = Summary(total=len(jobs) + len(found.failures))
    bar = make_progress(summary.total, err, progress)

    def report(outcome: Outcome) -> None:
        if outcome.status == DONE:
            summary.done += 1
            summary.frames += outcome.frames
            summary.cpu_seconds += outcome.cpu_seconds
        elif outcome.status == SKIPPED:
            summary.skipped += 1
        else:
            summary.failed.append(outcome)
            bar.write(f"kova batch: failed {outcome.relative}: {outcome.reason}")
        bar.update(1)

    start = time.perf_counter()
    try:
        with OutputFolderLock(output_path) as lock:
            for failure in found.failures:
                report(failure)
            run = RunSettings(config_path, backend, provenance, output_path, force=force)
            if scheduler:
                run = dataclasses.replace(run, marker=lock.place_marker())
                run_dask(jobs, run, scheduler, report, tls=tls, timeout=connect_timeout,
                         err=err)
            elif jobs:
                count = workers if workers else _default_workers()
                run_local(jobs, run, max(1, min(count, len(jobs))), report)
    finally:
        summary.seconds = time.perf_counter() - start
        bar.close()
    return summary
