"""kova_rs._core.RobotModel: the robot as the solver reads it, and its kinematics on arrays."""

import threading

import numpy as np
import pytest
from kova_rs._core import RobotModel
from tool_support import urdf_path

CHAIN = """<robot name='chain'>
  <link name='base'/><link name='a'/><link name='b'/><link name='tip'/><link name='side'/>
  <joint name='j1' type='revolute'><parent link='base'/><child link='a'/>
    <origin xyz='0 0 0.1' rpy='0.1 0 0'/><axis xyz='0 1 0'/><limit lower=' -1.0' upper='1'/>
  </joint>
  <joint name='j2' type='prismatic'><parent link='a'/><child link='b'/>
    <origin xyz='0.05 0 0'/><axis xyz='1 0 0'/></joint>
  <joint name='j3' type='revolute'><parent link='b'/><child link='tip'/>
    <origin xyz='0 0.04 0'/><axis xyz='0 0 1'/><limit lower='-2' upper='2'/>
    <mimic joint='j1' multiplier='2' offset='0.1'/></joint>
  <joint name='fixed_side' type='fixed'><parent link='a'/><child link='side'/></joint>
</robot>"""


@pytest.fixture(scope="module")
def chain():
    return RobotModel.from_string(CHAIN)


def test_structure_and_limits_as_the_solver_reads_them(chain):
    assert (chain.name, chain.root_link, chain.dof) == ("chain", "base", 3)
    assert chain.link_names == ["base", "a", "b", "tip", "side"]
    assert chain.dof_joint_names == ["j1", "j2", "j3"]
    assert chain.children("a") == ["b", "side"] and chain.children("tip") == []
    j1 = chain.joint("j1")
    assert (j1.type, j1.parent, j1.child, j1.limit) == ("revolute", "base", "a", (0.0, 1.0))
    np.testing.assert_array_equal(j1.axis, [0.0, 1.0, 0.0])
    np.testing.assert_array_equal(j1.origin[:3, 3], [0.0, 0.0, 0.1])
    mimic = chain.joint("j3").mimic
    assert (mimic.joint, mimic.multiplier, mimic.offset) == ("j1", 2.0, 0.1)
    # " -1.0" is no number to the solver: lower bound 0; no <limit> and mimic: +-10000
    np.testing.assert_array_equal(chain.joint_limits,
                                  [[0.0, 1.0], [-1e4, 1e4], [-1e4, 1e4]])


def test_batches_equal_single_frames_and_jacobians_the_differences(chain):
    rng = np.random.default_rng(3)
    q = rng.uniform(-1.0, 1.0, (4, chain.dof))
    batch = chain.forward_kinematics(q)
    assert batch.shape == (4, 5, 4, 4)
    for f in range(4):
        np.testing.assert_array_equal(batch[f], chain.forward_kinematics(q[f]))
    np.testing.assert_array_equal(chain.link_positions(q, ["tip", "a"]),
                                  batch[:, [3, 1]][..., :3, 3])
    jac = chain.link_jacobians(q[0], ["tip"])[0]
    step = 1e-7
    for c in range(chain.dof):
        dq = np.zeros(chain.dof)
        dq[c] = step
        diff = (chain.link_positions(q[0] + dq, ["tip"]) - chain.link_positions(q[0] - dq,
                                                                                ["tip"]))
        np.testing.assert_allclose(jac[:, c], diff[0] / (2 * step), atol=1e-7)


def test_mistakes_are_value_errors(chain, tmp_path):
    with pytest.raises(ValueError, match="qpos must have shape \\(3,\\) or \\(N, 3\\), got"):
        chain.forward_kinematics(np.zeros(4))
    with pytest.raises(ValueError, match="Link tipp not found in robot chain"):
        chain.link_positions(np.zeros(3), ["tipp"])
    with pytest.raises(ValueError, match="Joint j9 not found"):
        chain.joint("j9")
    with pytest.raises(ValueError, match="XML parse error"):
        RobotModel.from_string("<robot name='x'><link name='a'></robot>")
    with pytest.raises(ValueError, match="Failed to read URDF"):
        RobotModel.from_file(tmp_path / "missing.urdf")


def test_threads_share_one_model():
    model = RobotModel.from_file(urdf_path("kova_five_finger_24dof"))
    q = np.random.default_rng(4).uniform(-0.3, 0.3, (200, model.dof))
    expected = model.forward_kinematics(q)
    results = [None] * 4

    def work(index):
        results[index] = model.forward_kinematics(q)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(np.array_equal(r, expected) for r in results)
