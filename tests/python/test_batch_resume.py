"""Resuming a batch: an output is kept only when it was made by exactly what this run would use."""

from __future__ import annotations

import numpy as np

import kova_rs
from kova_rs import batch
from batch_fakes import FAKE, describe, expected_qpos
from batch_helpers import fake_config, make_dataset, output_for, write_recording


def _run(config, tmp_path, **options):
    return batch.run_batch(config, tmp_path / "in", tmp_path / "out", workers=2, backend=FAKE,
                           progress=False, **options)


def test_another_configuration_a_changed_input_or_force_redo_outputs(tmp_path):
    made = make_dataset(tmp_path / "in", 6)
    config = fake_config(tmp_path / "fake.json")
    assert _run(config, tmp_path).done == 6
    assert (_run(config, tmp_path).done, _run(config, tmp_path).skipped) == (0, 6)

    fake_config(tmp_path / "fake.json", dof=3)  # another configuration under the same name
    summary = _run(config, tmp_path)
    assert (summary.done, summary.skipped) == (6, 0)
    for relative, data in made.items():
        with np.load(output_for(tmp_path / "out", relative)) as result:
            np.testing.assert_array_equal(result["qpos"], expected_qpos(data, dof=3))
            assert str(result["config_sha256"]) == describe(str(config))["config_sha256"]
            assert str(result["kova_version"]) == kova_rs.__version__

    changed = sorted(made)[0]  # new content, same frame count
    write_recording(tmp_path / "in" / changed, made[changed] + 0.01)
    summary = _run(config, tmp_path)
    assert (summary.done, summary.skipped) == (1, 5)

    summary = _run(config, tmp_path, force=True)
    assert (summary.done, summary.skipped) == (6, 0)
