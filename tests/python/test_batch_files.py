"""Batch retargeting: finding recordings and checking where their outputs go."""

from __future__ import annotations

import os
from pathlib import Path

import numpy as np
import pytest

from kova_rs import batch
from batch_helpers import make_dataset, recording, write_recording

# ----------------------------------------------------------------------------- discovery


def test_discover_mirrors_every_recording_under_the_inputs(tmp_path):
    made = make_dataset(tmp_path / "in", 6)
    jobs = batch.discover(tmp_path / "in", tmp_path / "out").jobs
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
    jobs = batch.discover(root, tmp_path / "out").jobs
    assert sorted(job.relative for job in jobs) == ["B.NPY", "a.npy"]


def test_discover_skips_the_output_directory_when_it_lies_inside_the_inputs(tmp_path):
    root = tmp_path / "data"
    write_recording(root / "a.npy", recording(0))
    (root / "results").mkdir()
    np.savez(root / "results" / "a.npz", qpos=np.zeros((1, 1)))
    jobs = batch.discover(root, root / "results").jobs
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
