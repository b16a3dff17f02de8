"""Batch retargeting of whole datasets: ``kova batch``.

Every recording under an input directory is retargeted into a mirrored ``.npz`` under the output
directory. A recording is always solved frame after frame by one retargeter (warm starts); the
recordings themselves run in parallel, on local worker processes or on a Dask cluster. Each worker
reads the configuration once and retargets every recording it is given as a sequence of its own,
so a result is the same whichever worker computed it and whatever it computed before.

Safe on real datasets: an output is written under a temporary name in its own directory and renamed
into place, so a file at the final name is always whole; a run skips the recordings whose output is
already complete, so an interrupted run resumes where it stopped; a recording that fails is reported
with its reason and the others go on.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import signal
import sys
import tempfile
import threading
import time
from collections import deque
from collections.abc import Callable, Iterable, Sequence
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from pathlib import Path
from typing import Any, TextIO

import numpy as np

RECORDING_SUFFIXES = (".npy", ".npz", ".csv")

# Keys of an output file. ``complete`` and ``frames`` are written with the data in one atomic
# rename; a file without them (or with a different frame count) is not taken as a finished output.
COMPLETE_KEY = "complete"
FRAMES_KEY = "frames"
PARTIAL_SUFFIX = ".partial"

DONE, SKIPPED, FAILED = "done", "skipped", "failed"

EXIT_OK, EXIT_FAILED, EXIT_USAGE = 0, 1, 2

# How long to keep trying to reach a Dask scheduler before giving up.
SCHEDULER_TIMEOUT = "15s"


class BatchUsageError(Exception):
    """A mistake in how the batch was asked for (paths, configuration, scheduler): exit status 2."""


# --------------------------------------------------------------------------------------------
# What the workers run: loading, retargeting and writing one recording.


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


@dataclasses.dataclass(frozen=True)
class Backend:
    """How a worker loads a recording and builds a retargeter for a configuration.

    Both are module-level functions so that the backend pickles into worker processes.
    ``build(config)`` returns a function that retargets one whole recording ``(N, 21, 3)`` and
    returns an object with ``qpos`` (N, dof), ``joint_names`` and ``errors`` (N, targets).
    """

    load: Callable[[str], np.ndarray] = _load_motion
    build: Callable[[str], RetargetFn] = _build_retargeter


DEFAULT_BACKEND = Backend()


@dataclasses.dataclass(frozen=True)
class Job:
    """One recording: where it is read from and where its result goes."""

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


# One retargeter per configuration in each worker thread: a Dask worker may run several tasks at
# once in threads, and a retargeter need not be safe to share between them.
_local = threading.local()


def _retargeter_for(config: str, backend: Backend) -> RetargetFn:
    cache = getattr(_local, "retargeters", None)
    if cache is None:
        cache = _local.retargeters = {}
    key = (config, backend)
    if key not in cache:
        cache[key] = backend.build(config)
    retarget: RetargetFn = cache[key]
    return retarget


def _forget_retargeter(config: str, backend: Backend) -> None:
    getattr(_local, "retargeters", {}).pop((config, backend), None)


def describe_error(exc: BaseException) -> str:
    text = str(exc).strip()
    if isinstance(exc, (ValueError, OSError)) and text:
        return text
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def output_is_complete(path: str | os.PathLike[str], frames: int) -> bool:
    """True when ``path`` is a finished output of a recording with ``frames`` frames."""
    try:
        # Opened here rather than by np.load, which leaks the handle when the zip is truncated.
        with open(path, "rb") as handle, np.load(handle, allow_pickle=False) as data:
            if COMPLETE_KEY not in data.files or FRAMES_KEY not in data.files:
                return False
            if not bool(data[COMPLETE_KEY]) or int(data[FRAMES_KEY]) != frames:
                return False
            return all(
                name in data.files and data[name].shape[:1] == (frames,)
                for name in ("qpos", "errors")
            ) and "joint_names" in data.files
    except Exception:  # missing, truncated, not a zip, wrong dtypes: not complete
        return False


def result_arrays(result: Any, frames: int, source: str) -> dict[str, np.ndarray]:
    """The arrays of an output file, after checking that the result fits the recording."""
    qpos = np.asarray(result.qpos, dtype=np.float64)
    errors = np.asarray(result.errors, dtype=np.float64)
    names = np.asarray(list(result.joint_names), dtype=str)
    if qpos.ndim != 2 or qpos.shape != (frames, names.shape[0]):
        raise ValueError(
            f"retargeting returned qpos of shape {qpos.shape} for {frames} frames "
            f"and {names.shape[0]} joints"
        )
    if errors.ndim != 2 or errors.shape[0] != frames:
        raise ValueError(f"retargeting returned errors of shape {errors.shape} for {frames} frames")
    arrays = {"qpos": qpos, "joint_names": names, "errors": errors}
    method = getattr(result, "method", None)
    if method:
        arrays["method"] = np.asarray(str(method))
    return arrays | {
        "source": np.asarray(source),
        FRAMES_KEY: np.asarray(frames, dtype=np.int64),
        COMPLETE_KEY: np.asarray(True),
    }


def _remove_stale_partials(final: Path) -> None:
    prefix = "." + final.name + "."
    try:
        for entry in os.scandir(final.parent):
            if entry.name.startswith(prefix) and entry.name.endswith(PARTIAL_SUFFIX):
                os.unlink(entry.path)
    except OSError:
        pass  # litter from an earlier run is harmless: never matched as a recording or output


def write_output_atomically(path: str | os.PathLike[str], arrays: dict[str, np.ndarray]) -> None:
    """Writes ``arrays`` as an npz at ``path``: a temporary file beside it, then a rename."""
    final = Path(path)
    final.parent.mkdir(parents=True, exist_ok=True)
    _remove_stale_partials(final)
    fd, tmp = tempfile.mkstemp(dir=final.parent, prefix="." + final.name + ".",
                               suffix=PARTIAL_SUFFIX)
    try:
        with os.fdopen(fd, "wb") as handle:
            np.savez(handle, **arrays)  # type: ignore[arg-type]  # numpy's stub misreads **kwds
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(tmp, final)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    try:  # make the rename itself durable
        dir_fd = os.open(final.parent, os.O_RDONLY)
        try:
            os.fsync(dir_fd)
        finally:
            os.close(dir_fd)
    except OSError:
        pass


def process_recording(job: Job, config: str, backend: Backend = DEFAULT_BACKEND) -> Outcome:
    """Retargets one recording unless its output is already complete. Never raises for a bad
    recording: the reason goes into the outcome."""
    start, cpu_start = time.perf_counter(), time.process_time()
    try:
        keypoints = backend.load(job.source)
        frames = int(np.shape(keypoints)[0])
        if output_is_complete(job.output, frames):
            return Outcome(job.relative, SKIPPED, frames, time.perf_counter() - start)
        retarget = _retargeter_for(config, backend)
        try:
            result = retarget(keypoints)
        except BaseException:
            # A retargeter that failed mid-sequence may be poisoned: the next recording gets a
            # fresh one.
            _forget_retargeter(config, backend)
            raise
        write_output_atomically(job.output, result_arrays(result, frames, job.relative))
        return Outcome(job.relative, DONE, frames, time.perf_counter() - start,
                       cpu_seconds=time.process_time() - cpu_start)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # includes the extension's internal-fault exception
        return Outcome(job.relative, FAILED, seconds=time.perf_counter() - start,
                       reason=describe_error(exc))


# --------------------------------------------------------------------------------------------
# Finding the recordings.


def _same_dir(a: Path, b: Path) -> bool:
    try:
        return a.resolve() == b.resolve()
    except OSError:
        return False


def discover(inputs: str | os.PathLike[str], output: str | os.PathLike[str]) -> list[Job]:
    """Every recording under ``inputs`` (recursively, hidden files and the output directory left
    out), paired with its output ``<output>/<relative path with suffix .npz>``."""
    root = Path(inputs)
    out_root = Path(output)
    out_resolved = out_root.resolve()
    jobs: list[Job] = []
    for dirpath, dirnames, filenames in os.walk(root):
        here = Path(dirpath)
        dirnames[:] = sorted(
            d for d in dirnames
            if not d.startswith(".") and (here / d).resolve() != out_resolved
        )
        for name in sorted(filenames):
            if name.startswith(".") or not name.lower().endswith(RECORDING_SUFFIXES):
                continue
            source = here / name
            if not source.is_file():
                continue
            relative = source.relative_to(root)
            try:
                size = source.stat().st_size
            except OSError:
                size = 0
            jobs.append(Job(str(source), relative.as_posix(),
                            str(out_root / relative.with_suffix(".npz")), size))
    _check_outputs(jobs)
    return jobs


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


# --------------------------------------------------------------------------------------------
# Running the jobs: local processes or a Dask cluster.


Report = Callable[[Outcome], None]


def _ignore_interrupts() -> None:
    # Ctrl-C goes to the whole process group; only the parent acts on it.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _pool_context() -> Any:
    import multiprocessing

    if "forkserver" not in multiprocessing.get_all_start_methods():
        return multiprocessing.get_context("spawn")
    context = multiprocessing.get_context("forkserver")
    # The fork server imports these once; every worker forked from it starts with them loaded.
    context.set_forkserver_preload(["kova_rs.batch", "kova_rs.retargeter"])
    return context


def _terminate(pool: ProcessPoolExecutor) -> None:
    processes = list(getattr(pool, "_processes", {}).values())
    pool.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        if process.is_alive():
            process.terminate()


def run_local(jobs: Iterable[Job], config: str, backend: Backend, workers: int,
              report: Report) -> None:
    """Runs the jobs on ``workers`` local processes. A worker that dies (killed, out of memory, a
    crash in native code) takes its pool down: the recordings it may have held are run again one
    at a time in a fresh pool, so the one that kills its worker is failed and the others finish."""
    pending = deque(jobs)
    suspects: set[Job] = set()
    limit = 2 * workers  # keeps every worker busy without queueing the whole dataset
    context = _pool_context()
    while pending:
        pool = ProcessPoolExecutor(max_workers=workers, mp_context=context,
                                   initializer=_ignore_interrupts)
        in_flight: dict[Future[Outcome], Job] = {}
        broken = False
        try:
            while pending or in_flight:
                while pending and not broken and len(in_flight) < limit:
                    if in_flight and (pending[0] in suspects or
                                      any(job in suspects for job in in_flight.values())):
                        break  # a suspect runs alone
                    job = pending.popleft()
                    in_flight[pool.submit(process_recording, job, config, backend)] = job
                if not in_flight:
                    break
                done, _ = wait(in_flight, return_when=FIRST_COMPLETED)
                for future in done:
                    job = in_flight.pop(future)
                    try:
                        report(future.result())
                    except BrokenProcessPool:
                        broken = True
                        if job in suspects:
                            report(Outcome(job.relative, FAILED,
                                           reason="the worker process died while retargeting it"))
                        else:
                            suspects.add(job)
                            pending.appendleft(job)
                    except Exception as exc:  # the job could not be sent or its result not read
                        report(Outcome(job.relative, FAILED, reason=describe_error(exc)))
        except BaseException:
            _terminate(pool)
            raise
        pool.shutdown(wait=True)


def run_dask(jobs: Sequence[Job], config: str, backend: Backend, scheduler: str,
             report: Report) -> None:
    """Runs the jobs as tasks on the Dask cluster whose scheduler is at ``scheduler``. The
    workers must see the configuration, the inputs and the output directory under the same
    paths (a shared file system)."""
    try:
        from distributed import Client, as_completed
    except ImportError:
        raise BatchUsageError(
            "--scheduler needs Dask distributed: pip install 'kova_rs[dask]'") from None
    try:
        client = Client(scheduler, timeout=SCHEDULER_TIMEOUT)
    except (OSError, TimeoutError, ValueError) as exc:
        raise BatchUsageError(f"cannot reach the Dask scheduler at {scheduler}: "
                              f"{describe_error(exc)}") from None
    with client:
        futures = {}
        for job in jobs:
            future = client.submit(process_recording, job, config, backend, pure=False)
            futures[future] = job
        try:
            for future in as_completed(list(futures)):
                job = futures.pop(future)
                try:
                    report(future.result())
                except Exception as exc:  # the task was lost with its workers (KilledWorker)
                    report(Outcome(job.relative, FAILED, reason=describe_error(exc)))
                future.release()
        except BaseException:
            client.cancel(list(futures))
            raise


# --------------------------------------------------------------------------------------------
# The whole batch: checks, progress, summary.


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


class _PlainProgress:
    """A counter on the terminal when tqdm is not installed."""

    def __init__(self, total: int, stream: TextIO, enabled: bool):
        self.total, self.count, self.stream = total, 0, stream
        self.enabled = enabled and stream.isatty()

    def update(self, n: int = 1) -> None:
        self.count += n
        if self.enabled:
            self.stream.write(f"\rkova batch: {self.count}/{self.total} recordings")
            self.stream.flush()

    def write(self, text: str) -> None:
        if self.enabled:
            self.stream.write("\r\033[K")
        self.stream.write(text + "\n")
        self.stream.flush()

    def close(self) -> None:
        if self.enabled:
            self.stream.write("\n")
            self.stream.flush()


class _TqdmProgress:
    """A tqdm bar (shown on terminals only); messages go to the bar's stream, above the bar."""

    def __init__(self, tqdm: Any, total: int, stream: TextIO, enabled: bool):
        self.stream = stream
        self.bar = tqdm(total=total, unit="rec", desc="kova batch", file=stream,
                        disable=None if enabled else True, dynamic_ncols=True)

    def update(self, n: int = 1) -> None:
        self.bar.update(n)

    def write(self, text: str) -> None:
        self.bar.write(text, file=self.stream)

    def close(self) -> None:
        self.bar.close()


def _progress(total: int, stream: TextIO, enabled: bool) -> _PlainProgress | _TqdmProgress:
    try:
        from tqdm import tqdm
    except ImportError:
        return _PlainProgress(total, stream, enabled)
    return _TqdmProgress(tqdm, total, stream, enabled)


def check_paths(config: str | os.PathLike[str], inputs: str | os.PathLike[str],
                output: str | os.PathLike[str]) -> None:
    config_path, inputs_path, output_path = Path(config), Path(inputs), Path(output)
    if not config_path.is_file():
        raise BatchUsageError(f"config file {config} does not exist")
    if not inputs_path.exists():
        raise BatchUsageError(f"inputs directory {inputs} does not exist")
    if not inputs_path.is_dir():
        raise BatchUsageError(f"inputs {inputs} is not a directory")
    if output_path.exists() and not output_path.is_dir():
        raise BatchUsageError(f"output {output} exists and is not a directory")
    if _same_dir(inputs_path, output_path):
        raise BatchUsageError("the output directory must not be the inputs directory")


def run_batch(config: str | os.PathLike[str], inputs: str | os.PathLike[str],
              output: str | os.PathLike[str], *, workers: int | None = None,
              scheduler: str | None = None, backend: Backend = DEFAULT_BACKEND,
              progress: bool = True, err: TextIO | None = None) -> Summary:
    """Retargets every recording under ``inputs`` into ``output``; returns the summary.

    Raises :class:`BatchUsageError` for a mistake in the request (missing directories, a config
    that does not build, no recordings, an unreachable scheduler) before any output is written.
    """
    err = sys.stderr if err is None else err
    check_paths(config, inputs, output)
    config_text = str(Path(config).resolve())
    try:
        backend.build(config_text)  # a bad config fails here once, not once per recording
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:
        raise BatchUsageError(f"config {config}: {str(exc).strip() or type(exc).__name__}"
                              ) from None
    jobs = discover(inputs, output)
    if not jobs:
        raise BatchUsageError(f"no recordings ({', '.join(RECORDING_SUFFIXES)}) under {inputs}")
    Path(output).mkdir(parents=True, exist_ok=True)
    # Longest first: the last recordings to finish are short ones, so workers end together.
    jobs.sort(key=lambda job: -job.size)

    summary = Summary(total=len(jobs))
    bar = _progress(len(jobs), err, progress)

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
        if scheduler:
            run_dask(jobs, config_text, backend, scheduler, report)
        else:
            count = workers if workers else _default_workers()
            run_local(jobs, config_text, backend, max(1, min(count, len(jobs))), report)
    finally:
        summary.seconds = time.perf_counter() - start
        bar.close()
    return summary


def _default_workers() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


# --------------------------------------------------------------------------------------------
# Command line: ``kova batch``.


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def configure_parser(parser: argparse.ArgumentParser) -> argparse.ArgumentParser:
    parser.add_argument("--config", required=True, metavar="FILE",
                        help="retargeting configuration (YAML), or a shipped one such as "
                             "position/kova_five_finger_24dof")
    parser.add_argument("--inputs", required=True, metavar="DIR",
                        help="directory searched recursively for recordings (.npy, .npz, .csv)")
    parser.add_argument("--output", required=True, metavar="DIR",
                        help="results go to DIR/<relative path>.npz (created if missing)")
    parser.add_argument("--workers", type=_positive_int, default=None, metavar="N",
                        help="local worker processes (default: one per available core)")
    parser.add_argument("--scheduler", default=None, metavar="ADDRESS",
                        help="run on the Dask cluster at ADDRESS (e.g. tcp://host:8786) "
                             "instead of local processes; needs kova_rs[dask]")
    parser.add_argument("--no-progress", dest="progress", action="store_false",
                        help="no progress bar")
    return parser


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    """Registers ``batch`` on the ``kova`` command's subparsers."""
    parser: argparse.ArgumentParser = subparsers.add_parser(
        "batch", help="retarget every recording under a directory",
        description="Retarget every recording under a directory, in parallel. Resumable: "
                    "recordings whose complete output exists are skipped.")
    configure_parser(parser)
    parser.set_defaults(func=run)
    return parser


def find_config(text: str) -> str:
    """A configuration file as given, or a shipped one such as ``position/kova_compact_10dof``."""
    from kova_rs.shipped import find_shipped_config

    if Path(text).exists():
        return text
    shipped = find_shipped_config(text)
    return text if shipped is None else str(shipped)  # a missing file is reported by the checks


def run(args: argparse.Namespace, backend: Backend = DEFAULT_BACKEND) -> int:
    """Runs ``kova batch``; returns the exit status (0 nothing failed, 1 some recording failed,
    2 a usage mistake, 130 interrupted)."""
    if args.scheduler and args.workers:
        print("kova batch: --workers is ignored with --scheduler (the cluster sets the workers)",
              file=sys.stderr)
    try:
        summary = run_batch(find_config(args.config), args.inputs, args.output,
                            workers=args.workers,
                            scheduler=args.scheduler, backend=backend, progress=args.progress)
    except BatchUsageError as exc:
        print(f"kova batch: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print("kova batch: interrupted; run the same command again to resume", file=sys.stderr)
        return 130
    print(f"kova batch: {summary.line()}")
    return EXIT_FAILED if summary.failed else EXIT_OK


def main(argv: Sequence[str] | None = None) -> int:
    parser = configure_parser(argparse.ArgumentParser(
        prog="kova batch", description="Retarget every recording under a directory."))
    return run(parser.parse_args(argv))


if __name__ == "__main__":
    # Run through the imported module so that worker processes find the functions they unpickle.
    from kova_rs.batch import main as _main

    sys.exit(_main())
