"""Batch retargeting of whole datasets: ``kova batch``.

Every recording under an input directory is retargeted into a mirrored ``.npz`` under the output
directory. A recording is always solved frame after frame by one retargeter (warm starts); the
recordings themselves run in parallel, on local worker processes or on a Dask cluster. Each worker
reads the configuration once and retargets every recording it is given as a sequence of its own,
so a result is the same whichever worker computed it and whatever it computed before.

Safe on real datasets: an output is written under a temporary name in its own directory and renamed
into place, so a file at the final name is always whole; each output records what made it (kova
version, solver, configuration, robot and input hashes), and a run skips the recordings whose
output is complete and made by exactly that, so an interrupted run resumes where it stopped and a
changed configuration or recording is redone; a recording that fails is reported with its reason
and the others go on; one batch at a time writes into an output folder.

Modules: ``jobs`` (jobs, outcomes, backend), ``discovery`` (finding recordings), ``worker`` (one
recording), ``local`` and ``cluster`` (the runners), ``folder_lock``, ``progress``, ``runner``
(the whole batch) and ``command`` (``kova batch``).
"""

from kova_rs.batch.cluster import CONNECT_TIMEOUT, TlsFiles
from kova_rs.batch.command import add_parser, configure_parser, main, run
from kova_rs.batch.discovery import check_paths, discover
from kova_rs.batch.jobs import (
    DEFAULT_BACKEND,
    DONE,
    EXIT_FAILED,
    EXIT_OK,
    EXIT_USAGE,
    FAILED,
    RECORDING_SUFFIXES,
    SKIPPED,
    Backend,
    BatchUsageError,
    Job,
    Outcome,
)
from kova_rs.batch.runner import Summary, run_batch
from kova_rs.batch.worker import process_recording

__all__ = [
    "CONNECT_TIMEOUT", "DEFAULT_BACKEND", "DONE", "EXIT_FAILED", "EXIT_OK", "EXIT_USAGE", "FAILED",
    "RECORDING_SUFFIXES", "SKIPPED", "Backend", "BatchUsageError", "Job", "Outcome", "Summary",
    "TlsFiles", "add_parser", "check_paths", "configure_parser", "discover", "main",
    "process_recording", "run", "run_batch",
]
