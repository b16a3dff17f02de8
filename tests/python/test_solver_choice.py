"""Choosing the solver: Retargeter.from_config(solver=), the kova: section, --solver on the
commands, and the solver recorded with each result being the one that solved it."""

from __future__ import annotations

import subprocess
import sys

import numpy as np
import pytest
from kova_rs import ConfigError
from kova_rs.motion_io import load_result
from kova_rs.retargeter import Retargeter, resources_dir, shipped_config

HAND = "kova_five_finger_24dof"


@pytest.fixture(scope="module")
def motion() -> np.ndarray:
    return np.load(resources_dir() / "motions" / "demo_motion.npy")[:6]


@pytest.fixture
def lm_config(tmp_path):
    """The shipped position configuration with ``kova: {solver: lm}``."""
    shipped = shipped_config("position", HAND)
    urdf = Retargeter.from_config(shipped).native.urdf_file
    lines = [f"  urdf_path: {urdf}" if line.strip().startswith("urdf_path:") else line
             for line in shipped.read_text().splitlines()]
    path = tmp_path / "lm.yml"
    path.write_text("kova: {solver: lm}\n" + "\n".join(lines) + "\n")
    return path


def kova(*args) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "kova_rs", *map(str, args)],
                          capture_output=True, text=True, timeout=300)


def test_an_explicit_solver_overrides_the_configuration(lm_config, motion):
    shipped = shipped_config("position", HAND)
    assert Retargeter.from_config(lm_config).solver == "lm"
    assert Retargeter.from_config(lm_config, solver="slsqp").solver == "slsqp"
    assert Retargeter.from_config(shipped).solver == "slsqp"
    lm = Retargeter.from_config(shipped, solver="lm")
    assert {r.solver for r in lm.retarget_sequence(motion).reports} == {"lm"}
    native = Retargeter.from_config(shipped).config
    assert Retargeter.from_config(native, solver="lm").solver == "lm"
    assert Retargeter.from_config(native).solver == "slsqp"


@pytest.mark.parametrize("bad", ["LM", "ceres", "", 3])
def test_an_unknown_solver_names_the_valid_ones(bad):
    with pytest.raises(ConfigError, match=r"valid solvers: slsqp, lm"):
        Retargeter.from_config(shipped_config("position", HAND), solver=bad)


def test_retarget_records_the_solver_it_used(lm_config, motion, tmp_path):
    np.save(tmp_path / "in.npy", motion)
    for flag, expected in (([], "lm"), (["--solver", "slsqp"], "slsqp")):
        out = tmp_path / f"{expected}.npz"
        run = kova("retarget", "--config", lm_config, "--input", tmp_path / "in.npy",
                   "--output", out, *flag)
        assert run.returncode == 0, run.stderr
        saved = load_result(out)
        assert saved.provenance["solver"] == expected
        wanted = Retargeter.from_config(lm_config, solver=expected).retarget_sequence(motion)
        np.testing.assert_array_equal(saved["qpos"], wanted.qpos)
    bad = kova("retarget", "--config", lm_config, "--input", tmp_path / "in.npy",
               "--solver", "fast")
    assert bad.returncode == 2 and "choose from 'slsqp', 'lm'" in bad.stderr
    assert len(bad.stderr.strip().splitlines()) == 1


def test_batch_solves_with_the_solver_it_records(lm_config, motion, tmp_path):
    (tmp_path / "in").mkdir()
    np.save(tmp_path / "in" / "a.npy", motion)
    for flag, expected in (([], "lm"), (["--solver", "slsqp"], "slsqp")):
        out = tmp_path / expected
        run = kova("batch", "--config", lm_config, "--inputs", tmp_path / "in", "--output", out,
                   "--workers", "1", "--no-progress", *flag)
        assert run.returncode == 0, run.stderr
        saved = load_result(out / "a.npz")
        assert saved.provenance["solver"] == expected
        wanted = Retargeter.from_config(lm_config, solver=expected).retarget_sequence(motion)
        np.testing.assert_array_equal(saved["qpos"], wanted.qpos)


def test_demo_takes_the_solver(tmp_path):
    run = kova("demo", "--output", tmp_path, "--quiet", "--no-plots", "--solver", "lm")
    assert run.returncode == 0, run.stderr
    assert run.stdout.count("(lm)") == 3
    assert load_result(tmp_path / f"{HAND}_vector.npz").provenance["solver"] == "lm"
