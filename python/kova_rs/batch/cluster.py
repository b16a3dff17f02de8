"""Running the jobs as tasks on a Dask cluster.

Trust: the client unpickles what workers send back, so whoever can join the cluster can run code
as the user of ``kova batch``. A ``tls://`` scheduler address uses Dask's TLS with certificates
(``--tls-ca``, ``--tls-cert``, ``--tls-key``, or the ``distributed.comm.tls`` settings of Dask's
configuration); a plain ``tcp://`` scheduler on another machine is warned about.

Every task first checks that its worker sees the client's files (the output folder's marker and
the recording); a worker that does not stops the run with that reason.
"""

from __future__ import annotations

import dataclasses
import ipaddress
import socket
import threading
from collections.abc import Callable, Sequence
from typing import Any, TextIO

from kova_rs.batch.jobs import (
    FAILED,
    WRONG_SITE,
    BatchUsageError,
    Job,
    Outcome,
    RunSettings,
    describe_error,
)
from kova_rs.batch.worker import process_recording
from kova_rs.extras import MissingExtra, require

Report = Callable[[Outcome], None]

#: seconds to reach a Dask scheduler before giving up (``--connect-timeout``)
CONNECT_TIMEOUT = 15.0
# Dask's own connect timeout does not cover a service that accepts the connection and never
# answers; the client is given this much longer before the batch gives up on it.
_ANSWER_GRACE = 2.0


@dataclasses.dataclass(frozen=True)
class TlsFiles:
    """Certificates for a ``tls://`` scheduler; None takes Dask's configuration."""

    ca: str | None = None
    cert: str | None = None
    key: str | None = None

    def given(self) -> bool:
        return any((self.ca, self.cert, self.key))


NO_TLS = TlsFiles()


def _scheme_and_host(address: str) -> tuple[str, str]:
    from distributed.comm.addressing import parse_address, parse_host_port

    try:
        scheme, location = parse_address(address)
        host = parse_host_port(location, default_port=8786)[0] if location else ""
    except ValueError as exc:
        raise BatchUsageError(f"--scheduler {address}: {describe_error(exc)}") from None
    return scheme.lower(), host


def is_this_machine(host: str) -> bool:
    """True when every address ``host`` names is a loopback or one of this machine's own."""
    try:
        infos = socket.getaddrinfo(host, None)
        own = {info[4][0] for info in socket.getaddrinfo(socket.gethostname(), None)}
    except (OSError, UnicodeError):
        return False
    addresses = {str(info[4][0]) for info in infos}
    return bool(addresses) and all(
        ipaddress.ip_address(a.split("%")[0]).is_loopback or a in own for a in addresses)


def security_for(scheduler: str, tls: TlsFiles, err: TextIO) -> Any:
    """Dask's Security for ``scheduler`` (None for a plain connection); warns about a plain
    connection to another machine."""
    scheme, host = _scheme_and_host(scheduler)
    if scheme != "tls":
        if tls.given():
            raise BatchUsageError("--tls-ca, --tls-cert and --tls-key need a tls:// scheduler "
                                  f"address, got {scheduler}")
        if scheme in ("tcp", "ws") and not is_this_machine(host):
            print(f"kova batch: warning: {scheduler} is reached without encryption or "
                  "authentication; whoever can reach the cluster can run code as you "
                  "(use a tls:// scheduler, see the README)", file=err)
        return None
    from distributed.security import Security

    given = {name: value for name, value in (("tls_ca_file", tls.ca),
                                             ("tls_client_cert", tls.cert),
                                             ("tls_client_key", tls.key)) if value}
    security = Security(require_encryption=True, **given)
    files = {name: getattr(security, name, None)  # set from Dask's configuration too
             for name in ("tls_ca_file", "tls_client_cert", "tls_client_key")}
    if not files["tls_ca_file"]:
        raise BatchUsageError(f"{scheduler}: a tls:// scheduler needs the certificate authority: "
                              "--tls-ca FILE (or distributed.comm.tls.ca-file in Dask's "
                              "configuration)")
    for option, path in (("--tls-ca", files["tls_ca_file"]),
                         ("--tls-cert", files["tls_client_cert"]),
                         ("--tls-key", files["tls_client_key"])):
        if path:
            try:
                with open(path, "rb"):
                    pass
            except OSError as exc:
                raise BatchUsageError(f"{option} {path}: {describe_error(exc)}") from None
    return security


def connect(scheduler: str, security: Any, timeout: float) -> Any:
    """A Dask client of ``scheduler``, or BatchUsageError within ``timeout`` seconds (plus a
    little): also when the service accepts the connection and never answers, where Dask itself
    would wait for ever. The client is built in a thread of its own that is abandoned then."""
    from distributed import Client

    outcome: dict[str, Any] = {}

    def build() -> None:
        try:
            outcome["client"] = Client(scheduler, timeout=f"{timeout}s", security=security,
                                       set_as_default=False)
        except BaseException as exc:  # reported by the caller's thread
            outcome["error"] = exc

    thread = threading.Thread(target=build, name="kova-dask-connect", daemon=True)
    thread.start()
    thread.join(timeout + _ANSWER_GRACE)
    if thread.is_alive():
        raise BatchUsageError(f"cannot reach the Dask scheduler at {scheduler}: no answer within "
                              f"{timeout:g} s (is it a Dask scheduler?)")
    if "error" in outcome:
        raise BatchUsageError(f"cannot reach the Dask scheduler at {scheduler}: "
                              f"{describe_error(outcome['error'])}")
    return outcome["client"]


def run_dask(jobs: Sequence[Job], run: RunSettings, scheduler: str, report: Report, *,
             tls: TlsFiles = NO_TLS, timeout: float = CONNECT_TIMEOUT,
             err: TextIO) -> None:
    """Runs the jobs as tasks on the Dask cluster whose scheduler is at ``scheduler``. The
    workers must see the configuration, the inputs and the output directory under the same
    paths (a shared file system); the first task on a worker that does not stops the run."""
    try:
        distributed = require("distributed")
    except MissingExtra as exc:
        raise BatchUsageError(f"--scheduler: {exc}") from None
    client = connect(scheduler, security_for(scheduler, tls, err), timeout)
    with client:
        futures = {client.submit(process_recording, job, run, pure=False): job for job in jobs}
        try:
            for future in distributed.as_completed(list(futures), loop=client.loop):
                job = futures.pop(future)
                try:
                    outcome = future.result()
                except Exception as exc:  # the task was lost with its workers (KilledWorker)
                    outcome = Outcome(job.relative, FAILED, reason=describe_error(exc))
                future.release()
                if outcome.status == WRONG_SITE:
                    raise BatchUsageError(outcome.reason)
                report(outcome)
        except BaseException:
            client.cancel(list(futures))
            raise
