"""Batch retargeting: finding recordings, output files, the completion check."""

from __future__ import annotations

import os
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

from kova_rs import batch
from batch_helpers import make_dataset, recording, write_recording


def _arrays(frames: int = 3, dof: int = 2) -> dict[str, np.ndarray]:
    result = SimpleNamespace(qpos=np.ones((frames, dof)), joint_names=["a", "b"][:dof],
                             errors=np.zeros((frames, 2)))
    return batch.result_arrays(result, frames, "x.npy")


# ----------------------------------------------------------------------------- discovery


def test_discover_mirrors_every_recording_under_the_inputs(tmp_path):
    made = make_dataset(tmp_path / "in", 6)
    jobs = batch.discover(tmp_path / "in", tmp_path / "out")
    assert sorted(job.relative for job in jobs) == sorted(made)
    for job in jobs:
        assert Path(job.source) == tmp_path / "in" / job.relative
        assert Path(job.output) == (tmp_path / "out" / job.relative).with_suffix(".npz")
        assert job.size == os.path.getsize(job.source)


def test_discover_leaves_out_other_files_hidden_files_and_upper_case_is_accepted(tmp_path):
    root = tmp_path / "in"
    write_recording(root / "a.npy", recording(0))
    write_recording(root / "B.NPY", recording(1))
    (root / "notes.txt").write_text("not a recording")
    write_recording(root / ".hidden.npy", recording(2))
    write_recording(root / ".cache" / "c.npy", recording(3))
    (root / "dir.npy").mkdir()  # a directory named like a recording
    jobs = batch.discover(root, tmp_path / "out")
    assert sorted(job.relative for job in jobs) == ["B.NPY", "a.npy"]


def test_discover_skips_the_output_directory_when_it_lies_inside_the_inputs(tmp_path):
    root = tmp_path / "data"
    write_recording(root / "a.npy", recording(0))
    (root / "results").mkdir()
    np.savez(root / "results" / "a.npz", qpos=np.zeros((1, 1)))
    jobs = batch.discover(root, root / "results")
    assert [job.relative for job in jobs] == ["a.npy"]


def test_two_recordings_with_the_same_output_are_a_usage_error(tmp_path):
    write_recording(tmp_path / "in" / "take.npy", recording(0))
    write_recording(tmp_path / "in" / "take.csv", recording(1))
    with pytest.raises(batch.BatchUsageError, match=r"take.csv and take.npy|take.npy and take.csv"):
        batch.discover(tmp_path / "in", tmp_path / "out")


def test_an_output_that_would_overwrite_an_input_is_a_usage_error(tmp_path):
    # inputs out/raw inside the output out: raw/a.npy is written to out/raw/a.npz, an input
    write_recording(tmp_path / "out" / "raw" / "a.npz", recording(0))
    write_recording(tmp_path / "out" / "raw" / "raw" / "a.npy", recording(1))
    with pytest.raises(batch.BatchUsageError, match="overwrite the input a.npz"):
        batch.discover(tmp_path / "out" / "raw", tmp_path / "out")

# ----------------------------------------------------------------------------- output files


def test_a_written_output_is_complete_for_its_frame_count_only(tmp_path):
    path = tmp_path / "deep" / "out.npz"
    batch.write_output_atomically(path, _arrays(frames=3))
    assert batch.output_is_complete(path, 3)
    assert not batch.output_is_complete(path, 4)
    with np.load(path) as data:
        assert data["qpos"].shape == (3, 2)
        assert list(data["joint_names"]) == ["a", "b"]
        assert data["errors"].shape == (3, 2)
        assert int(data["frames"]) == 3
    assert os.listdir(path.parent) == ["out.npz"]  # no temporary file left behind


@pytest.mark.parametrize("content", ["missing", "truncated", "garbage", "no_marker", "short_qpos"])
def test_anything_but_a_finished_output_is_not_complete(tmp_path, content):
    path = tmp_path / "out.npz"
    if content == "truncated":
        batch.write_output_atomically(path, _arrays(frames=3))
        data = path.read_bytes()
        path.write_bytes(data[: len(data) // 2])
    elif content == "garbage":
        path.write_bytes(b"\x00" * 100)
    elif content == "no_marker":
        arrays = _arrays(frames=3)
        del arrays["complete"]
        np.savez(path, **arrays)
    elif content == "short_qpos":
        arrays = _arrays(frames=3)
        arrays["qpos"] = arrays["qpos"][:2]
        np.savez(path, **arrays)
    assert not batch.output_is_complete(path, 3)


def test_a_failed_write_leaves_neither_output_nor_temporary_file(tmp_path):
    class Unsaveable:
        def __array__(self, *args, **kwargs):
            raise RuntimeError("disk full")

    arrays = _arrays()
    arrays["qpos"] = Unsaveable()
    with pytest.raises(RuntimeError, match="disk full"):
        batch.write_output_atomically(tmp_path / "out.npz", arrays)
    assert os.listdir(tmp_path) == []


def test_a_rewrite_replaces_the_old_file_and_clears_stale_partials(tmp_path):
    path = tmp_path / "out.npz"
    stale = tmp_path / ".out.npz.abc123.partial"
    stale.write_bytes(b"half a file from a killed run")
    batch.write_output_atomically(path, _arrays(frames=2))
    batch.write_output_atomically(path, _arrays(frames=5))
    assert batch.output_is_complete(path, 5)
    assert sorted(os.listdir(tmp_path)) == ["out.npz"]


@pytest.mark.parametrize("qpos_shape, errors_shape", [((3, 3), (3, 2)), ((2, 2), (3, 2)),
                                                      ((3, 2), (4, 2)), ((3,), (3, 2))])
def test_a_result_that_does_not_fit_the_recording_is_refused(qpos_shape, errors_shape):
    result = SimpleNamespace(qpos=np.zeros(qpos_shape), joint_names=["a", "b"],
                             errors=np.zeros(errors_shape))
    with pytest.raises(ValueError, match="retargeting returned"):
        batch.result_arrays(result, 3, "x.npy")
