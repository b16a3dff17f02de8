"""What a worker runs for one job: check that it sees the run's files, load the recording, skip
it when its output was made by exactly this, otherwise retarget it and write the output."""

from __future__ import annotations

import os
import socket
import threading
import time
from pathlib import Path

from kova_rs.batch.jobs import (
    DONE,
    FAILED,
    SKIPPED,
    WRONG_SITE,
    Job,
    Outcome,
    RetargetFn,
    RunSettings,
    describe_error,
)
from kova_rs.provenance import input_sha256
from kova_rs.result_file import is_complete, write_result

# One retargeter per configuration in each worker thread: a Dask worker may run several tasks at
# once in threads, and a retargeter need not be safe to share between them.
_local = threading.local()


def _retargeter_for(run: RunSettings) -> RetargetFn:
    cache: dict[object, RetargetFn] | None = getattr(_local, "retargeters", None)
    if cache is None:
        cache = _local.retargeters = {}
    key = run.retargeter_key
    if key not in cache:
        cache[key] = run.backend.build(run.config)
    return cache[key]


def _forget_retargeter(run: RunSettings) -> None:
    getattr(_local, "retargeters", {}).pop(run.retargeter_key, None)


def _site_problem(job: Job, run: RunSettings) -> str:
    """Why this worker cannot take part in the run ("" when it can): it must see the output
    folder the client made (the marker file in it) and the recording the client found."""
    where = f"worker {socket.gethostname()} (process {os.getpid()})"
    if not os.path.exists(run.marker):
        return (f"{where} does not see the output folder {run.output_root} that the client "
                f"sees (no {os.path.basename(run.marker)} in it); every worker must see the "
                "output folder under the same path (a shared file system)")
    if not os.path.lexists(job.source):
        return (f"{where} does not see the recording {job.source}; every worker must see the "
                "inputs under the same path (a shared file system)")
    return ""


def _output_folder(job: Job, run: RunSettings) -> Path:
    """Creates the folder of a job's output, which must lie inside the output folder (a symbolic
    link in the output tree may not lead the output elsewhere)."""
    root = os.path.realpath(run.output_root)
    folder = os.path.dirname(job.output)

    def inside() -> bool:
        real = os.path.realpath(folder)
        return real == root or real.startswith(root + os.sep)

    if not inside():
        raise ValueError(f"{folder} leads outside the output folder {run.output_root} (through "
                         "a symbolic link); nothing was written")
    os.makedirs(folder, exist_ok=True)
    if not inside():  # replaced by a link while it was created
        raise ValueError(f"{folder} leads outside the output folder {run.output_root}")
    return Path(folder)


def process_recording(job: Job, run: RunSettings) -> Outcome:
    """Retargets one recording unless its output is complete and made by exactly this run's
    configuration, robot, solver, kova version and input. Never raises for a bad recording: the
    reason goes into the outcome."""
    start, cpu_start = time.perf_counter(), time.process_time()
    try:
        if run.marker:
            problem = _site_problem(job, run)
            if problem:
                return Outcome(job.relative, WRONG_SITE, reason=problem)
        keypoints = run.backend.load(job.source)
        frames = int(keypoints.shape[0])
        provenance = dict(run.provenance) | {"input_sha256": input_sha256(keypoints)}
        if not run.force and is_complete(job.output, frames, provenance):
            return Outcome(job.relative, SKIPPED, frames, time.perf_counter() - start)
        folder = _output_folder(job, run)
        retarget = _retargeter_for(run)
        try:
            result = retarget(keypoints)
        except BaseException:
            # A retargeter that failed mid-sequence may be poisoned: the next recording gets a
            # fresh one.
            _forget_retargeter(run)
            raise
        write_result(folder / os.path.basename(job.output), result, frames=frames,
                     source=job.relative, provenance=provenance, clear_stale=True)
        return Outcome(job.relative, DONE, frames, time.perf_counter() - start,
                       cpu_seconds=time.process_time() - cpu_start)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # includes the extension's internal-fault exception
        return Outcome(job.relative, FAILED, seconds=time.perf_counter() - start,
                       reason=describe_error(exc))
