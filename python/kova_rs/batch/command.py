"""The ``kova batch`` command: its arguments, signals and exit statuses."""

from __future__ import annotations

import argparse
import contextlib
import signal
import sys
import threading
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

from kova_rs.batch.cluster import CONNECT_TIMEOUT, TlsFiles
from kova_rs.batch.jobs import (
    DEFAULT_BACKEND,
    EXIT_FAILED,
    EXIT_OK,
    EXIT_USAGE,
    Backend,
    BatchUsageError,
)
from kova_rs.batch.runner import run_batch

EXIT_INTERRUPTED, EXIT_TERMINATED = 130, 143


class Terminated(KeyboardInterrupt):
    """SIGTERM, handled like Ctrl-C: the workers are stopped before the batch exits."""


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not 0 < value < 86400:
        raise argparse.ArgumentTypeError(f"must be between 0 and 86400 seconds, got {text}")
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
    parser.add_argument("--force", action="store_true",
                        help="redo every recording, also those with a complete output")
    parser.add_argument("--no-progress", dest="progress", action="store_false",
                        help="no progress bar")
    dask = parser.add_argument_group("Dask cluster (needs kova_rs[dask])")
    dask.add_argument("--scheduler", default=None, metavar="ADDRESS",
                      help="run on the Dask cluster at ADDRESS (tls://host:8786, or tcp:// on a "
                           "trusted network) instead of local processes")
    dask.add_argument("--connect-timeout", type=_seconds, default=CONNECT_TIMEOUT,
                      metavar="SECONDS", help="give up on the scheduler after this long "
                                              f"(default {CONNECT_TIMEOUT:g})")
    dask.add_argument("--tls-ca", metavar="FILE",
                      help="certificate authority of the cluster (default: Dask's configuration)")
    dask.add_argument("--tls-cert", metavar="FILE", help="this client's certificate")
    dask.add_argument("--tls-key", metavar="FILE", help="this client's private key")
    return parser


def add_parser(subparsers: Any) -> argparse.ArgumentParser:
    """Registers ``batch`` on the ``kova`` command's subparsers."""
    parser: argparse.ArgumentParser = subparsers.add_parser(
        "batch", help="retarget every recording under a directory",
        description="Retarget every recording under a directory, in parallel. Resumable: "
                    "recordings whose complete output was made by the same kova version, "
                    "configuration, robot and input are skipped.")
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


def _terminate(signum: int, frame: object) -> None:
    raise Terminated()


@contextlib.contextmanager
def _sigterm_like_ctrl_c() -> Iterator[None]:
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


def run(args: argparse.Namespace, backend: Backend = DEFAULT_BACKEND) -> int:
    """Runs ``kova batch``; returns the exit status (0 nothing failed, 1 some recording failed,
    2 a usage mistake, 130 interrupted, 143 terminated)."""
    if args.scheduler and args.workers:
        print("kova batch: --workers is ignored with --scheduler (the cluster sets the workers)",
              file=sys.stderr)
    tls = TlsFiles(getattr(args, "tls_ca", None), getattr(args, "tls_cert", None),
                   getattr(args, "tls_key", None))
    try:
        with _sigterm_like_ctrl_c():
            summary = run_batch(find_config(args.config), args.inputs, args.output,
                                workers=args.workers, scheduler=args.scheduler, backend=backend,
                                progress=args.progress, force=getattr(args, "force", False),
                                tls=tls, connect_timeout=getattr(args, "connect_timeout",
                                                                 CONNECT_TIMEOUT))
    except BatchUsageError as exc:
        print(f"kova batch: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt as exc:
        what = "terminated" if isinstance(exc, Terminated) else "interrupted"
        print(f"kova batch: {what}; run the same command again to resume", file=sys.stderr)
        return EXIT_TERMINATED if isinstance(exc, Terminated) else EXIT_INTERRUPTED
    print(f"kova batch: {summary.line()}")
    return EXIT_FAILED if summary.failed else EXIT_OK


def main(argv: Sequence[str] | None = None) -> int:
    parser = configure_parser(argparse.ArgumentParser(
        prog="kova batch", description="Retarget every recording under a directory."))
    return run(parser.parse_args(argv))
