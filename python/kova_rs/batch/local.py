"""Running the jobs on worker processes of this machine.

Workers die with the batch: they ignore Ctrl-C (the terminal sends it to the whole process group
and only the parent acts on it, stopping them), and each asks the kernel to kill it when its
parent dies, however the parent died (``PR_SET_PDEATHSIG`` on Linux; elsewhere a thread checks
the parent every second). Workers are started fresh (``spawn``), so that they are children of the
batch itself and not of a helper process that outlives it.
"""

from __future__ import annotations

import multiprocessing
import os
import signal
import sys
import threading
import time
from collections import deque
from collections.abc import Callable, Iterable
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool

from kova_rs.batch.jobs import FAILED, Job, Outcome, RunSettings, describe_error
from kova_rs.batch.worker import process_recording

Report = Callable[[Outcome], None]

PR_SET_PDEATHSIG = 1  # from <sys/prctl.h>
PARENT_CHECK_SECONDS = 1.0


def _kernel_kills_orphans() -> bool:
    """Asks the kernel to SIGKILL this process when its parent dies; False where it cannot."""
    if not sys.platform.startswith("linux"):
        return False
    import ctypes

    try:
        prctl = ctypes.CDLL(None, use_errno=True).prctl
    except (OSError, AttributeError):
        return False
    return bool(prctl(PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0) == 0)


def _exit_when_orphaned(parent: int) -> None:
    while True:
        time.sleep(PARENT_CHECK_SECONDS)
        if os.getppid() != parent:
            os._exit(1)


def die_with_parent(parent: int, use_kernel: bool = True) -> None:
    """Makes this process end when the process ``parent`` (its parent) does."""
    if not (use_kernel and _kernel_kills_orphans()):
        threading.Thread(target=_exit_when_orphaned, args=(parent,), daemon=True,
                         name="kova-parent-check").start()
    if os.getppid() != parent:  # the parent died before the request above
        os._exit(1)


def _start_worker(parent: int) -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    die_with_parent(parent)


def _terminate(pool: ProcessPoolExecutor) -> None:
    processes = list(getattr(pool, "_processes", {}).values())
    pool.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        if process.is_alive():
            process.terminate()


def run_local(jobs: Iterable[Job], run: RunSettings, workers: int, report: Report) -> None:
    """Runs the jobs on ``workers`` local processes. A worker that dies (killed, out of memory, a
    crash in native code) takes its pool down: the recordings it may have held are run again one
    at a time in a fresh pool, so the one that kills its worker is failed and the others finish."""
    pending = deque(jobs)
    suspects: set[Job] = set()
    limit = 2 * workers  # keeps every worker busy without queueing the whole dataset
    context = multiprocessing.get_context("spawn")
    while pending:
        pool = ProcessPoolExecutor(max_workers=workers, mp_context=context,
                                   initializer=_start_worker, initargs=(os.getpid(),))
        in_flight: dict[Future[Outcome], Job] = {}
        broken = False
        try:
            while pending or in_flight:
                while pending and not broken and len(in_flight) < limit:
                    if in_flight and (pending[0] in suspects or
                                      any(job in suspects for job in in_flight.values())):
                        break  # a suspect runs alone
                    job = pending.popleft()
                    in_flight[pool.submit(process_recording, job, run)] = job
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
