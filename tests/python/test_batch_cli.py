"""``kova batch`` end to end: the real retargeter, a shipped hand, the command line."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

retargeter = pytest.importorskip("kova_rs.retargeter",
                                 reason="the keypoint retargeter (kova_rs.retargeter) is missing")
from kova_rs.motion_io import load_result  # noqa: E402
from kova_rs.provenance import describe_config, input_sha256  # noqa: E402
from kova_rs.result_file import provenance_of  # noqa: E402

HAND = "kova_compact_10dof"


@pytest.fixture(scope="module")
def demo_motion() -> np.ndarray:
    return np.load(retargeter.resources_dir() / "motions" / "demo_motion.npy")


def kova(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "kova_rs", *args], capture_output=True,
                          text=True, timeout=300)


def test_kova_batch_matches_retargeting_each_recording_alone(tmp_path, demo_motion):
    config = retargeter.shipped_config("position", HAND)
    recordings = {
        "a/first.npy": demo_motion[:12],
        "a/second.npy": demo_motion[40:50],
        "b/third.csv": demo_motion[100:108],
    }
    for relative, motion in recordings.items():
        path = tmp_path / "in" / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        if path.suffix == ".npy":
            np.save(path, motion)
        else:
            np.savetxt(path, motion.reshape(len(motion), 63), delimiter=",")
    (tmp_path / "in" / "b" / "corrupt.npy").write_bytes(b"\x93NUMPY not really")

    run = kova("batch", "--config", str(config), "--inputs", str(tmp_path / "in"),
               "--output", str(tmp_path / "out"), "--workers", "2")
    assert run.returncode == 1, run.stderr
    assert "3 done, 0 skipped, 1 failed of 4 recordings; 30 frames retargeted" in run.stdout
    [failure] = [line for line in run.stderr.splitlines() if "failed" in line]
    assert "b/corrupt.npy" in failure

    # every recording as if retargeted on its own by a fresh retargeter, whatever the worker
    for relative, motion in recordings.items():
        expected = retargeter.Retargeter.from_config(config).retarget_sequence(motion)
        saved = load_result(tmp_path / "out" / Path(relative).with_suffix(".npz"))
        np.testing.assert_array_equal(saved["qpos"], expected.qpos)
        np.testing.assert_array_equal(saved["errors"], expected.errors)
        assert saved["joint_names"] == expected.joint_names
        assert str(saved["method"]) == "position"

    again = kova("batch", "--config", str(config), "--inputs", str(tmp_path / "in"),
                 "--output", str(tmp_path / "out"), "--workers", "2")
    assert again.returncode == 1
    assert "0 done, 3 skipped, 1 failed of 4 recordings" in again.stdout


def test_kova_batch_with_a_config_that_does_not_build_exits_2(tmp_path, demo_motion):
    np.save(tmp_path / "one.npy", demo_motion[:2])
    config = tmp_path / "bad.yml"
    config.write_text("retargeting:\n  type: position\n  urdf_path: nowhere/hand.urdf\n"
                      "  target_link_names: [tip]\n  target_link_human_indices: [8]\n")
    run = kova("batch", "--config", str(config), "--inputs", str(tmp_path),
               "--output", str(tmp_path / "out"))
    assert run.returncode == 2
    lines = run.stderr.strip().splitlines()
    assert len(lines) == 1 and "URDF path" in lines[0] and "bad.yml" in lines[0]
    assert not (tmp_path / "out").exists()


def test_kova_batch_takes_a_shipped_configuration_by_name(tmp_path, demo_motion):
    np.save(tmp_path / "in.npy", demo_motion[:3])
    run = kova("batch", "--config", f"vector/{HAND}", "--inputs", str(tmp_path),
               "--output", str(tmp_path / "out"), "--workers", "1")
    assert run.returncode == 0, run.stderr
    assert str(load_result(tmp_path / "out" / "in.npz")["method"]) == "vector"


@pytest.mark.parametrize("argv, message", [
    (["--workers", "0"], "--workers: must be at least 1, got 0"),
    (["--inputs", "nowhere"], "inputs directory nowhere does not exist"),
])
def test_kova_batch_usage_mistakes_are_one_line_and_exit_2(tmp_path, argv, message):
    base = {"--config": f"position/{HAND}", "--inputs": str(tmp_path), "--output":
            str(tmp_path / "out")}
    for flag, value in zip(argv[::2], argv[1::2]):
        base[flag] = value
    run = kova("batch", *[item for pair in base.items() for item in pair])
    assert run.returncode == 2
    lines = run.stderr.strip().splitlines()
    assert len(lines) == 1 and message in lines[0], run.stderr


def test_kova_batch_redoes_the_outputs_of_another_hand(tmp_path, demo_motion):
    (tmp_path / "in").mkdir()
    np.save(tmp_path / "in" / "a.npy", demo_motion[:5])
    args = ("--inputs", str(tmp_path / "in"), "--output", str(tmp_path / "out"), "--workers", "1")
    assert kova("batch", "--config", f"position/{HAND}", *args).returncode == 0
    other = retargeter.shipped_config("position", "kova_five_finger_24dof")
    again = kova("batch", "--config", str(other), *args)
    assert "1 done, 0 skipped, 0 failed of 1 recordings" in again.stdout, again.stderr
    saved = load_result(tmp_path / "out" / "a.npz")
    assert len(saved["joint_names"]) == 24
    assert provenance_of(saved) == describe_config(other) | {
        "input_sha256": input_sha256(demo_motion[:5])}
