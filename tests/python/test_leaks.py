"""No leaks: 100,000 calls of each method, successful or failing, leave memory flat.

Python objects are counted exactly with sys.getallocatedblocks(); native memory shows in the
resident set size read from /proc/self/statm. A tiny two-joint robot keeps the solves cheap."""

from __future__ import annotations

import gc
import os
import sys

import numpy as np
import pytest

from kova_rs import PanicException, RetargetingConfig, load_from_file

CALLS = 100_000
# Failing calls unwind through C++ exceptions and cost more; fewer of them still show a leak of
# one object per call many times over.
ERROR_CALLS = 20_000
# A leak of one small object per call would add 100,000 blocks; the slack covers caches.
BLOCK_SLACK = 500
RSS_SLACK = 2 * 1024 * 1024

TINY_URDF = """<robot name="tiny">
  <link name="base"/><link name="l1"/><link name="tip"/>
  <joint name="j1" type="revolute"><parent link="base"/><child link="l1"/>
    <origin xyz="0 0 0.1"/><axis xyz="0 1 0"/><limit lower="-1" upper="1"/></joint>
  <joint name="j2" type="revolute"><parent link="l1"/><child link="tip"/>
    <origin xyz="0 0 0.1"/><axis xyz="0 1 0"/><limit lower="-1" upper="1"/></joint>
</robot>
"""

pytestmark = pytest.mark.skipif(not os.path.exists("/proc/self/statm"),
                                reason="needs /proc/self/statm to read the resident set size")


def rss_bytes() -> int:
    with open("/proc/self/statm", encoding="ascii") as handle:
        return int(handle.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def assert_flat(call, calls: int = CALLS) -> None:
    for _ in range(max(calls // 100, 100)):  # warm up caches and allocator pools
        call()
    gc.collect()
    blocks, rss = sys.getallocatedblocks(), rss_bytes()
    for _ in range(calls):
        call()
    gc.collect()
    grown_blocks = sys.getallocatedblocks() - blocks
    grown_rss = rss_bytes() - rss
    assert grown_blocks < BLOCK_SLACK, f"{grown_blocks} Python blocks more after {calls} calls"
    assert grown_rss < RSS_SLACK, f"resident set grew by {grown_rss} bytes after {calls} calls"


def expect(error_type, call):
    """A call that must fail with `error_type` (caught without pytest's bookkeeping)."""
    def run():
        try:
            call()
        except error_type:
            return
        raise AssertionError(f"{error_type.__name__} not raised")
    return run


def assert_failing_flat(error_type, call):
    assert_flat(expect(error_type, call), ERROR_CALLS)


@pytest.fixture(scope="module")
def tiny(tmp_path_factory):
    directory = tmp_path_factory.mktemp("tiny")
    (directory / "tiny.urdf").write_text(TINY_URDF, encoding="utf-8")
    return directory


def tiny_config(tiny, kind="position", **overrides):
    kwargs = {
        "position": dict(target_link_names=["tip"], target_link_human_indices=[0]),
        "vector": dict(target_origin_link_names=["base"], target_task_link_names=["tip"],
                       target_link_human_indices=[[0], [1]]),
        "dexpilot": dict(wrist_link_name="base", finger_tip_link_names=["l1", "tip"]),
    }[kind]
    kwargs["urdf_dir"] = tiny
    kwargs.update(overrides)
    return RetargetingConfig(kind, "tiny.urdf", **kwargs)


def test_constructor(tiny):
    assert_flat(lambda: RetargetingConfig(
        "Vector", "tiny.urdf", add_dummy_free_joint=np.bool_(False),
        target_link_human_indices=[[0, 1], [2, 3]], target_origin_link_names=["base", "l1"],
        target_task_link_names=("tip", "tip"), target_joint_names=["j1"], wrist_link_name="w",
        scaling_factor=np.float64(1.5), urdf_dir=tiny))


def test_getters_and_repr(tiny):
    config = tiny_config(tiny, "vector", wrist_link_name="w", finger_tip_link_names=["a"],
                         target_link_names=["x"], target_joint_names=["j1"])
    names = [name for name in dir(RetargetingConfig) if not name.startswith("_")
             and name not in ("build", "from_file")]
    assert len(names) == 19

    def read_all():
        for name in names:
            getattr(config, name)
        repr(config)

    assert_flat(read_all)


def test_from_file_and_load_from_file(tiny):
    path = tiny / "config.yml"
    path.write_text("retargeting:\n  type: position\n  urdf_path: tiny.urdf\n"
                    "  target_link_names: [tip]\n  target_link_human_indices: [[0]]\n",
                    encoding="utf-8")
    text = str(path)
    assert_flat(lambda: (RetargetingConfig.from_file(text), load_from_file(path=text)))


@pytest.mark.parametrize("kind", ["position", "vector", "dexpilot"])
def test_build(tiny, kind):
    config = tiny_config(tiny, kind)
    assert_flat(config.build)


@pytest.mark.parametrize("kind", ["position", "vector", "dexpilot"])
def test_retarget(tiny, kind):
    seq = tiny_config(tiny, kind).build()
    rows = {"position": 1, "vector": 1, "dexpilot": 3}[kind]
    frame = [0.05, 0.0, 0.15] * rows
    array = np.array(frame)
    assert_flat(lambda: (seq.retarget(frame), seq.retarget(array, fixed_qpos=[])))


def test_state_methods_and_properties(tiny):
    seq = tiny_config(tiny).build()
    q = [0.1, 0.2]

    def call():
        seq.get_qpos()
        seq.get_qpos(fixed_qpos=[0.5])
        seq.set_qpos(q)
        seq.reset()
        seq.link_positions(q, ["tip", "base"])
        seq.joint_names
        seq.link_names
        seq.fixed_dof
        seq.target_dof

    assert_flat(call)


def test_conversion_errors(tiny):
    seq = tiny_config(tiny).build()
    assert_failing_flat(TypeError, lambda: seq.retarget([0.0, "x", 0.0]))
    assert_failing_flat(TypeError, lambda: seq.link_positions([0.0, 0.0], "tip"))
    assert_failing_flat(TypeError, lambda: seq.retarget([0.0] * 3, fixed=1))
    assert_failing_flat(TypeError, lambda: tiny_config(tiny, target_link_human_indices=[-1]))
    assert_failing_flat(TypeError, lambda: tiny_config(tiny, has_joint_limits=1))
    assert_failing_flat(OverflowError, lambda: tiny_config(tiny, scaling_factor=10**400))


def test_reported_errors(tiny):
    seq = tiny_config(tiny).build()
    assert_failing_flat(ValueError, lambda: seq.link_positions([0.0, 0.0], ["tip", "nope"]))
    assert_failing_flat(ValueError, lambda: seq.link_positions([0.0], ["tip"]))
    assert_failing_flat(ValueError, lambda: tiny_config(tiny, target_link_human_indices=[0, 1]))
    assert_failing_flat(ValueError, lambda: load_from_file(str(tiny / "absent.yml")))
    missing = tiny_config(tiny, urdf_dir=tiny / "nowhere")
    assert_failing_flat(RuntimeError, missing.build)


def test_internal_faults_and_poisoning(tiny):
    bad_link = tiny_config(tiny, target_link_names=["nope"])
    assert_failing_flat(PanicException, bad_link.build)
    config = tiny_config(tiny)

    def poison_and_use():
        seq = config.build()
        try:
            seq.retarget([])
        except PanicException:
            pass
        try:
            seq.target_dof
        except RuntimeError:
            return
        raise AssertionError("not poisoned")

    assert_flat(poison_and_use, calls=ERROR_CALLS)


@pytest.mark.skipif(sys.version_info >= (3, 12), reason="None, True and False are immortal")
def test_singleton_reference_counts_stay_balanced(tiny):
    config = tiny_config(tiny, "dexpilot")
    seq = config.build()

    def counts():
        return [sys.getrefcount(value) for value in (None, True, False)]

    def call():
        config.add_dummy_free_joint, config.has_joint_limits, config.target_link_names
        seq.reset(), seq.set_qpos([0.0, 0.0])
        try:
            seq.retarget("x")
        except TypeError:
            pass

    call()
    before = counts()
    for _ in range(10_000):
        call()
    # Transient references (the loop's own) are gone again; a leaked or stolen reference per
    # call would move a count by thousands.
    assert all(abs(a - b) < 100 for a, b in zip(counts(), before)), (before, counts())
