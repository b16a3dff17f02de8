"""What a result records about what made it: the hashes follow what retargeting reads."""

from __future__ import annotations

import numpy as np
import pytest

from kova_rs.provenance import describe_config, input_sha256
from tool_support import config_path, urdf_path

HAND = "kova_compact_10dof"


@pytest.fixture
def write(tmp_path):
    shipped = config_path("vector", HAND).read_text()
    base = shipped.replace(f"urdf_path: {HAND}/{HAND}.urdf", f"urdf_path: {urdf_path(HAND)}")
    assert base != shipped

    def write(name, text=base, old="", new=""):
        path = tmp_path / name
        path.write_text(text.replace(old, new) if old else text)
        return describe_config(path)

    write.base = base
    return write


def test_configuration_hash_solver_and_robot_hash(write, tmp_path):
    base = write("base.yml")
    assert base["solver"] == "slsqp" and len(base["config_sha256"]) == 64
    commented = write("commented.yml", "# a comment\n\n" + write.base.replace("\n", "\n\n"))
    assert commented == base  # layout and comments are not content
    changed = write("alpha.yml", old="low_pass_alpha: 0.7", new="low_pass_alpha: 0.6")
    assert changed["config_sha256"] != base["config_sha256"]
    flow = write("flow.yml", write.base + "kova: {solver: lm}\n")
    block = write("block.yml", write.base + "kova:\n  solver: 'lm'  # faster\n")
    assert (flow["solver"], block["solver"]) == ("lm", "lm")
    assert flow["config_sha256"] == block["config_sha256"] != base["config_sha256"]
    robot = tmp_path / "robot.urdf"
    robot.write_text(urdf_path(HAND).read_text() + "<!-- edited -->\n")
    moved = write("robot.yml", old=f"urdf_path: {urdf_path(HAND)}", new=f"urdf_path: {robot}")
    assert moved["urdf_sha256"] != base["urdf_sha256"]


def test_input_hash_is_the_retargeted_values_whatever_their_type():
    frames = np.random.default_rng(1).normal(size=(3, 21, 3))
    assert input_sha256(frames) == input_sha256(frames.astype(np.float64).copy(order="F"))
    assert input_sha256(frames) != input_sha256(frames[:2])
    assert input_sha256(frames) != input_sha256(frames + 1e-12)
