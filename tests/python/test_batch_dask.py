"""Batch retargeting on a Dask cluster (a LocalCluster of two worker processes)."""

from __future__ import annotations

import numpy as np
import pytest

from kova_rs import batch
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
        assert batch.output_is_complete(path, len(data))
        with np.load(path) as result:
            np.testing.assert_array_equal(result["qpos"], expected_qpos(data))
    # resuming works the same way on the cluster
    summary = batch.run_batch(config, tmp_path / "in", tmp_path / "out",
                              scheduler=cluster.scheduler_address, backend=FAKE, progress=False)
    assert (summary.done, summary.skipped, len(summary.failed)) == (0, 6, 1)
    assert len(log.read_text().splitlines()) == 6


def test_an_unreachable_scheduler_is_a_usage_error(tmp_path, monkeypatch):
    monkeypatch.setattr(batch, "SCHEDULER_TIMEOUT", "1s")
    make_dataset(tmp_path / "in", 1)
    config = fake_config(tmp_path / "fake.json")
    with pytest.raises(batch.BatchUsageError, match="cannot reach the Dask scheduler"):
        batch.run_batch(config, tmp_path / "in", tmp_path / "out",
                        scheduler="tcp://127.0.0.1:9", backend=FAKE, progress=False)
