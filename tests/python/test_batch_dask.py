"""Batch retargeting on a Dask cluster (a LocalCluster of two worker processes)."""

from __future__ import annotations

import http.server
import io
import socketserver
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from kova_rs import batch
from kova_rs.batch import folder_lock
from kova_rs.batch.jobs import WRONG_SITE, RunSettings
from kova_rs.batch.worker import process_recording
from kova_rs.batch import Job
from kova_rs.result_file import is_complete
from batch_fakes import FAKE, expected_qpos
from batch_helpers import fake_config, make_dataset, output_for

distributed = pytest.importorskip(
    "distributed", reason="Dask distributed is not installed (pip install 'kova_rs[dask]')")


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=50) as local:
        yield local


def test_a_dask_cluster_retargets_every_recording_and_reports_failures(tmp_path, cluster):
    made = make_dataset(tmp_path / "in", 6)
    (tmp_path / "in" / "broken.csv").write_text("garbage\n")
    log = tmp_path / "retargeted.log"
    config = fake_config(tmp_path / "fake.json", log=str(log))
    summary = batch.run_batch(config, tmp_path / "in", tmp_path / "out",
                              scheduler=cluster.scheduler_address, backend=FAKE, progress=False)
    assert (summary.done, summary.skipped) == (6, 0)
    assert [outcome.relative for outcome in summary.failed] == ["broken.csv"]
    for relative, data in made.items():
        path = output_for(tmp_path / "out", relative)
        assert is_complete(path, len(data))
        with np.load(path) as result:
            np.testing.assert_array_equal(result["qpos"], expected_qpos(data))
    # resuming works the same way on the cluster
    summary = batch.run_batch(config, tmp_path / "in", tmp_path / "out",
                              scheduler=cluster.scheduler_address, backend=FAKE, progress=False)
    assert (summary.done, summary.skipped, len(summary.failed)) == (0, 6, 1)
    assert len(log.read_text().splitlines()) == 6


def test_an_unreachable_scheduler_is_a_usage_error(tmp_path):
    make_dataset(tmp_path / "in", 1)
    config = fake_config(tmp_path / "fake.json")
    with pytest.raises(batch.BatchUsageError, match="cannot reach the Dask scheduler"):
        batch.run_batch(config, tmp_path / "in", tmp_path / "out", connect_timeout=1,
                        scheduler="tcp://127.0.0.1:9", backend=FAKE, progress=False)


def _run(tmp_path, scheduler, **options):
    options.setdefault("err", io.StringIO())
    return batch.run_batch(tmp_path / "fake.json", tmp_path / "in", tmp_path / "out",
                           scheduler=scheduler, backend=FAKE, progress=False, **options)


def test_relative_paths_are_the_client_s_and_a_changed_configuration_is_not_cached(
        tmp_path, cluster, monkeypatch):
    made = make_dataset(tmp_path / "in", 4)
    fake_config(tmp_path / "fake.json")
    monkeypatch.chdir(tmp_path)
    err = io.StringIO()
    summary = batch.run_batch("fake.json", "in", "out", scheduler=cluster.scheduler_address,
                              backend=FAKE, progress=False, err=err)
    assert (summary.done, summary.failed) == (4, [])
    assert "warning" not in err.getvalue()  # the scheduler is on this machine
    # the workers keep retargeters between runs: not one made from the old content
    fake_config(tmp_path / "fake.json", dof=3)
    assert _run(tmp_path, cluster.scheduler_address).done == 4
    for relative, data in made.items():
        with np.load(output_for(tmp_path / "out", relative)) as result:
            np.testing.assert_array_equal(result["qpos"], expected_qpos(data, dof=3))


def test_a_worker_that_does_not_see_the_client_s_files_stops_the_run(
        tmp_path, cluster, monkeypatch):
    make_dataset(tmp_path / "in", 3)
    fake_config(tmp_path / "fake.json")
    elsewhere = str(tmp_path / "out" / ".kova-batch-elsewhere.marker")
    monkeypatch.setattr(folder_lock.OutputFolderLock, "place_marker", lambda self: elsewhere)
    with pytest.raises(batch.BatchUsageError, match=r"worker .* does not see the output folder "
                       r".*out that the client sees .* under the same path"):
        _run(tmp_path, cluster.scheduler_address)
    assert not list((tmp_path / "out").rglob("*.npz"))
    marker = tmp_path / "marker"
    marker.touch()
    run = RunSettings(str(tmp_path / "fake.json"), FAKE, {}, str(tmp_path / "out"), str(marker))
    outcome = process_recording(Job(str(tmp_path / "gone.npy"), "gone.npy", "x.npz"), run)
    assert (outcome.status, "does not see the recording" in outcome.reason) == (WRONG_SITE, True)


class _Silent(socketserver.BaseRequestHandler):
    def handle(self):
        time.sleep(30)  # accepts, reads nothing, never answers


@pytest.mark.parametrize("server", [_Silent, http.server.BaseHTTPRequestHandler])
def test_a_service_that_is_no_scheduler_fails_within_the_timeout(tmp_path, server):
    make_dataset(tmp_path / "in", 1)
    with socketserver.ThreadingTCPServer(("127.0.0.1", 0), server) as service:
        service.daemon_threads = True
        threading.Thread(target=service.serve_forever, daemon=True).start()
        start = time.monotonic()
        run = subprocess.run(
            [sys.executable, "-m", "kova_rs", "batch", "--config", "position/kova_compact_10dof",
             "--inputs", str(tmp_path / "in"), "--output", str(tmp_path / "out"),
             "--scheduler", f"tcp://127.0.0.1:{service.server_address[1]}",
             "--connect-timeout", "1"], capture_output=True, text=True, timeout=60)
        service.shutdown()
    assert time.monotonic() - start < 20
    assert run.returncode == 2, run.stderr
    [line] = run.stderr.strip().splitlines()
    assert line.startswith("kova batch: error: cannot reach the Dask scheduler at tcp://")


def test_a_plain_scheduler_on_another_machine_is_warned_about(tmp_path):
    make_dataset(tmp_path / "in", 1)
    fake_config(tmp_path / "fake.json")
    err = io.StringIO()
    with pytest.raises(batch.BatchUsageError, match="cannot reach the Dask scheduler"):
        _run(tmp_path, "tcp://192.0.2.1:8786", connect_timeout=0.5, err=err)
    assert "warning: tcp://192.0.2.1:8786 is reached without encryption" in err.getvalue()


def _certificates(folder) -> dict[str, str]:
    """A certificate authority and one certificate it signed, for 127.0.0.1 (openssl)."""
    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)

    ec = ("-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes")
    openssl("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
            "-subj", "/CN=kova test authority")
    openssl("req", *ec, "-keyout", "node.key", "-out", "node.csr", "-subj", "/CN=127.0.0.1")
    (folder / "node.ext").write_text("subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                                     "basicConstraints=CA:FALSE\n")
    openssl("x509", "-req", "-in", "node.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", "node.pem", "-days", "2", "-extfile", "node.ext")
    return {name: str(folder / name) for name in ("ca.pem", "node.pem", "node.key")}


def test_a_tls_scheduler_is_reached_with_certificates_and_refused_without(tmp_path):
    made = make_dataset(tmp_path / "in", 2)
    fake_config(tmp_path / "fake.json")
    files = _certificates(tmp_path)
    security = distributed.Security(
        tls_ca_file=files["ca.pem"], require_encryption=True,
        **{f"tls_{role}_{part}": files[f"node.{ext}"] for role in ("scheduler", "worker", "client")
           for part, ext in (("cert", "pem"), ("key", "key"))})
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True,
                                  protocol="tls", host="127.0.0.1", security=security,
                                  dashboard_address=":0", silence_logs=50) as secure:
        address = secure.scheduler_address
        assert address.startswith("tls://")
        with pytest.raises(batch.BatchUsageError, match="needs the certificate authority"):
            _run(tmp_path, address)
        summary = _run(tmp_path, address, tls=batch.TlsFiles(
            files["ca.pem"], files["node.pem"], files["node.key"]))
    assert (summary.done, summary.failed) == (2, [])
    assert all(is_complete(output_for(tmp_path / "out", r), 5) for r in made)
