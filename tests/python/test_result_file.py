"""The one result-file writer: atomic, umask-respecting, the completion and provenance check."""

from __future__ import annotations

import os
import stat
from types import SimpleNamespace

import numpy as np
import pytest

from kova_rs import result_file
from kova_rs.atomic_write import write_atomically

MADE_BY = {"kova_version": "0.4.0", "solver": "slsqp", "config_sha256": "c" * 64,
           "urdf_sha256": "u" * 64, "input_sha256": "i" * 64}


def _result(frames: int = 3, dof: int = 2) -> SimpleNamespace:
    return SimpleNamespace(qpos=np.ones((frames, dof)), joint_names=["a", "b"][:dof],
                           errors=np.zeros((frames, 2)))


def _arrays(frames: int = 3) -> dict[str, np.ndarray]:
    return result_file.result_arrays(_result(frames), frames=frames, source="x.npy")


def test_a_written_output_is_complete_for_its_frame_count_and_provenance_only(tmp_path):
    path = tmp_path / "out.npz"
    result_file.write_result(path, _result(3), frames=3, source="x.npy", provenance=MADE_BY)
    assert result_file.is_complete(path, 3)
    assert result_file.is_complete(path, 3, MADE_BY)
    assert not result_file.is_complete(path, 4)
    for key in MADE_BY:  # anything else made it: not the output this run would make
        assert not result_file.is_complete(path, 3, MADE_BY | {key: "other"}), key
    with np.load(path) as data:
        assert data["qpos"].shape == (3, 2)
        assert list(data["joint_names"]) == ["a", "b"]
        assert data["errors"].shape == (3, 2)
        assert int(data["frames"]) == 3
        assert str(data["config_sha256"]) == "c" * 64
    assert os.listdir(path.parent) == ["out.npz"]  # no temporary file left behind


@pytest.mark.parametrize("content", ["missing", "truncated", "garbage", "no_marker", "short_qpos"])
def test_anything_but_a_finished_output_is_not_complete(tmp_path, content):
    path = tmp_path / "out.npz"
    if content == "truncated":
        result_file.write_result(path, _result(3))
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
    assert not result_file.is_complete(path, 3)


def test_a_failed_write_leaves_neither_output_nor_temporary_file(tmp_path):
    class Unsaveable:
        def __array__(self, *args, **kwargs):
            raise RuntimeError("disk full")

    arrays = _arrays()
    arrays["qpos"] = Unsaveable()
    with pytest.raises(RuntimeError, match="disk full"):
        write_atomically(tmp_path / "out.npz", lambda handle: np.savez(handle, **arrays))
    assert os.listdir(tmp_path) == []


def test_a_rewrite_replaces_the_old_file_and_clears_stale_partials(tmp_path):
    path = tmp_path / "out.npz"
    stale = tmp_path / ".out.npz.abc123.partial"
    stale.write_bytes(b"half a file from a killed run")
    result_file.write_result(path, _result(2), clear_stale=True)
    result_file.write_result(path, _result(5))
    assert result_file.is_complete(path, 5)
    assert sorted(os.listdir(tmp_path)) == ["out.npz"]


@pytest.mark.parametrize("qpos_shape, errors_shape", [((3, 3), (3, 2)), ((2, 2), (3, 2)),
                                                      ((3, 2), (4, 2)), ((3,), (3, 2))])
def test_a_result_that_does_not_fit_the_recording_is_refused(qpos_shape, errors_shape):
    result = SimpleNamespace(qpos=np.zeros(qpos_shape), joint_names=["a", "b"],
                             errors=np.zeros(errors_shape))
    with pytest.raises(ValueError, match="retargeting returned"):
        result_file.result_arrays(result, frames=3, source="x.npy")


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o002])
def test_outputs_get_the_mode_the_umask_gives(tmp_path, umask):
    previous = os.umask(umask)
    try:
        path = result_file.write_result(tmp_path / "out.npz", _result())
    finally:
        os.umask(previous)
    assert stat.S_IMODE(path.stat().st_mode) == 0o666 & ~umask


def test_a_named_pipe_or_folder_at_the_output_name_is_refused_without_blocking(tmp_path):
    os.mkfifo(tmp_path / "pipe.npz")
    (tmp_path / "dir.npz").mkdir()
    for name, kind in (("pipe.npz", "a named pipe"), ("dir.npz", "a directory")):
        with pytest.raises(ValueError, match=f"exists and is {kind}"):
            result_file.write_result(tmp_path / name, _result())
    assert stat.S_ISFIFO(os.stat(tmp_path / "pipe.npz").st_mode)
