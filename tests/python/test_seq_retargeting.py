"""SeqRetargeting end to end on a real robot, for the three retargeting types."""

from __future__ import annotations

import math
import random

import numpy as np
import pytest

from conftest import ALLEGRO_PALM, ALLEGRO_TIPS, MAKERS, row_count, write_yaml
from kova_rs import SeqRetargeting, load_from_file

KINDS = list(MAKERS)
# A low_pass_alpha outside [0, 1] configures no filter.
UNFILTERED = -1.0


def reference(seq: SeqRetargeting, kind: str, qpos) -> list[float]:
    """One frame of reference rows that the robot itself reaches at `qpos`."""
    tips = seq.link_positions(qpos, ALLEGRO_TIPS)
    palm = seq.link_positions(qpos, [ALLEGRO_PALM])[0]
    if kind == "position":
        rows = tips
    elif kind == "vector":
        rows = [tuple(t[i] - palm[i] for i in range(3)) for t in tips]
    else:  # finger pairs first, then wrist to fingertip
        pairs = [(i, j) for i in range(4) for j in range(i + 1, 4)]
        rows = [tuple(tips[j][k] - tips[i][k] for k in range(3)) for i, j in pairs]
        rows += [tuple(t[k] - palm[k] for k in range(3)) for t in tips]
        assert len(rows) == row_count("dexpilot")
    return [value for row in rows for value in row]


def random_frames(count: int, kind: str, seed: int) -> list[list[float]]:
    rng = random.Random(seed)
    return [[rng.uniform(-0.1, 0.1) for _ in range(3 * row_count(kind))] for _ in range(count)]


@pytest.fixture(params=KINDS)
def kind(request):
    return request.param


@pytest.fixture
def seq(allegro, kind) -> SeqRetargeting:
    return MAKERS[kind](allegro).build()


def test_properties(seq):
    assert seq.joint_names[:4] == ["joint_0.0", "joint_1.0", "joint_2.0", "joint_3.0"]
    assert len(seq.joint_names) == 16
    assert seq.link_names[0] == "base_link" and len(seq.link_names) == 21
    assert seq.target_dof == 16 and seq.fixed_dof == 0
    assert type(seq.target_dof) is int and type(seq.fixed_dof) is int


def test_properties_return_fresh_lists(seq):
    names = seq.joint_names
    names.clear()
    assert len(seq.joint_names) == 16


def test_properties_are_read_only(seq):
    for name in ("joint_names", "link_names", "fixed_dof", "target_dof"):
        with pytest.raises(AttributeError):
            setattr(seq, name, 1)


def test_retarget_returns_a_full_configuration(seq, kind):
    q = seq.retarget(random_frames(1, kind, 1)[0])
    assert type(q) is list and len(q) == 16
    assert all(type(v) is float and math.isfinite(v) for v in q)


def test_retarget_reaches_a_reachable_pose(allegro, kind):
    seq = MAKERS[kind](allegro, low_pass_alpha=UNFILTERED).build()
    # A pose inside the joint limits; joints are named, since the DOF order is the hand's own.
    pose = {f"joint_{i}.0": (0.1 if i % 4 == 0 else 0.5) for i in range(16)}
    pose["joint_12.0"] = 1.0
    truth = [pose[name] for name in seq.joint_names]
    target = reference(seq, kind, truth)
    for _ in range(30):
        q = seq.retarget(target)
    if kind == "position":
        reached = [c for p in seq.link_positions(q, ALLEGRO_TIPS) for c in p]
        assert max(abs(a - b) for a, b in zip(reached, target)) < 0.01
    else:
        assert reference(seq, kind, q)[-12:] == pytest.approx(target[-12:], abs=0.02)


def test_retarget_fixed_qpos_forms_agree(allegro, kind):
    frame = random_frames(1, kind, 2)[0]
    results = []
    for call in (lambda s: s.retarget(frame), lambda s: s.retarget(frame, None),
                 lambda s: s.retarget(frame, []), lambda s: s.retarget(ref_value=frame),
                 lambda s: s.retarget(ref_value=frame, fixed_qpos=None),
                 lambda s: s.retarget(fixed_qpos=[], ref_value=frame)):
        results.append(call(MAKERS[kind](allegro).build()))
    assert all(r == results[0] for r in results)


def test_list_tuple_and_numpy_inputs_identical(allegro, kind):
    frames = random_frames(5, kind, 3)
    forms = [
        lambda f: f, tuple, np.array, lambda f: np.array(f)[::1],
        lambda f: np.repeat(np.array(f), 2)[::2],  # strided view: the item-by-item path
        lambda f: [np.float64(v) for v in f], memoryview_of,
    ]
    reference_run = None
    for form in forms:
        seq = MAKERS[kind](allegro).build()
        run = [seq.retarget(form(f)) for f in frames]
        run.append(seq.get_qpos(form([0.0] * 0)))
        seq.set_qpos(form(run[0]))
        run.append(seq.get_qpos())
        run.append(seq.link_positions(form(run[1]), ALLEGRO_TIPS))
        if reference_run is None:
            reference_run = run
        assert run == reference_run, form


def memoryview_of(values):
    return memoryview(np.array(values, dtype=np.float64))


def test_float32_arrays_convert_like_their_items(allegro, kind):
    frame = np.array(random_frames(1, kind, 4)[0], dtype=np.float32)
    a = MAKERS[kind](allegro).build().retarget(frame)
    b = MAKERS[kind](allegro).build().retarget([float(v) for v in frame])
    assert a == b


def test_get_qpos_after_build_is_limit_midpoints(allegro, kind):
    seq = MAKERS[kind](allegro).build()
    q = seq.get_qpos()
    assert len(q) == 16
    # The first allegro joint is limited to about [-0.47, 0.47]: its midpoint is near 0.
    assert abs(q[0]) < 0.01
    no_limits = MAKERS[kind](allegro, has_joint_limits=False).build()
    assert no_limits.get_qpos() == [0.0] * 16


def test_set_qpos_then_get_qpos(seq):
    q = [0.01 * i for i in range(16)]
    assert seq.set_qpos(q) is None
    assert seq.get_qpos() == q
    assert seq.get_qpos(None) == q
    assert seq.get_qpos(fixed_qpos=[]) == q


def test_set_qpos_shorter_keeps_the_rest(seq):
    seq.set_qpos([0.2] * 16)
    seq.set_qpos(robot_qpos=[0.1] * 4)
    assert seq.get_qpos() == [0.1] * 4 + [0.2] * 12


def test_reset_restores_the_initial_state(allegro, kind):
    fresh = MAKERS[kind](allegro).build()
    seq = MAKERS[kind](allegro).build()
    for frame in random_frames(3, kind, 5):
        seq.retarget(frame)
    assert seq.get_qpos() != fresh.get_qpos()
    assert seq.reset() is None
    assert seq.get_qpos() == fresh.get_qpos()


def test_sequence_is_deterministic_and_warm_started(allegro, kind):
    frames = random_frames(4, kind, 6)
    a = MAKERS[kind](allegro).build()
    b = MAKERS[kind](allegro).build()
    run_a = [a.retarget(f) for f in frames]
    assert [b.retarget(f) for f in frames] == run_a
    # Warm start: the same frame after a different history gives a different start point.
    c = MAKERS[kind](allegro).build()
    assert c.retarget(frames[-1]) != run_a[-1] or len(frames) == 1


def test_low_pass_filter_blends_outputs(allegro, kind):
    frames = random_frames(2, kind, 7)
    raw = MAKERS[kind](allegro, low_pass_alpha=UNFILTERED).build()
    smooth = MAKERS[kind](allegro, low_pass_alpha=0.5).build()
    q1, q2 = (raw.retarget(f) for f in frames)
    s1, s2 = (smooth.retarget(f) for f in frames)
    assert s1 == q1
    assert s2 == [(b - a) * 0.5 + a for a, b in zip(q1, q2)]
    assert smooth.get_qpos() == raw.get_qpos()  # the unfiltered solution


def test_link_positions(seq):
    positions = seq.link_positions([0.0] * 16, ["base_link", "link_3.0_tip", "base_link"])
    assert type(positions) is list and len(positions) == 3
    assert all(type(p) is tuple and len(p) == 3 and all(type(v) is float for v in p)
               for p in positions)
    assert positions[0] == (0.0, 0.0, 0.0) and positions[2] == positions[0]
    assert positions[1] != positions[0]
    assert seq.link_positions([0.0] * 16, []) == []
    assert seq.link_positions(robot_qpos=[0.0] * 16, link_names=("base_link",)) == [positions[0]]


def test_link_positions_does_not_change_the_state(seq, kind):
    before = seq.get_qpos()
    seq.link_positions([0.3] * 16, ALLEGRO_TIPS)
    assert seq.get_qpos() == before


def test_link_positions_errors(seq):
    with pytest.raises(ValueError) as info:
        seq.link_positions([0.0] * 16, ["base_link", "nope"])
    assert info.value.args == ("Link nope not found",)
    with pytest.raises(ValueError) as info:
        seq.link_positions([0.0] * 15, ["base_link"])
    assert info.value.args == ("Expected qpos length 16, got 15",)
    # Reported errors do not poison the object.
    assert len(seq.get_qpos()) == 16


def test_yaml_configurations_of_every_type(tmp_path, allegro, kind):
    sections = {
        "position": "target_link_names: [{tips}]\n  target_link_human_indices: [4, 8, 12, 16]",
        "vector": "target_origin_link_names: [{palm}, {palm}, {palm}, {palm}]\n"
                  "  target_task_link_names: [{tips}]\n"
                  "  target_link_human_indices: [[0, 0, 0, 0], [4, 8, 12, 16]]",
        "dexpilot": "wrist_link_name: {palm}\n  finger_tip_link_names: [{tips}]",
    }
    body = sections[kind].format(tips=", ".join(ALLEGRO_TIPS), palm=ALLEGRO_PALM)
    path = write_yaml(tmp_path, f"retargeting:\n  type: {kind}\n  urdf_path: {allegro}\n  {body}\n")
    from_yaml = load_from_file(str(path)).build()
    from_kwargs = MAKERS[kind](allegro).build()
    frame = random_frames(1, kind, 8)[0]
    assert from_yaml.retarget(frame) == from_kwargs.retarget(frame)


def test_fixed_joints_take_given_values(allegro, kind):
    seq = MAKERS[kind](allegro, target_joint_names=[f"joint_{i}.0" for i in range(4, 16)],
                       low_pass_alpha=UNFILTERED).build()
    assert seq.target_dof == 12 and seq.fixed_dof == 4
    fixed = [0.1, 0.2, 0.3, 0.4]
    q = seq.retarget(random_frames(1, kind, 9)[0], fixed)
    assert q[:4] == fixed
    assert seq.get_qpos()[:4] == [0.0] * 4  # fixed values are not remembered
    assert seq.get_qpos(fixed)[:4] == fixed
    assert seq.get_qpos([0.5])[:4] == [0.5, 0.0, 0.0, 0.0]
    assert seq.retarget(random_frames(1, kind, 9)[0], [9.0, 8.0, 7.0, 6.0, 5.0])[:4] == [
        9.0, 8.0, 7.0, 6.0]


# --- argument errors --------------------------------------------------------------------------

def test_retarget_argument_errors(seq, kind):
    frame = random_frames(1, kind, 10)[0]
    with pytest.raises(TypeError) as info:
        seq.retarget("0.1, 0.2")
    assert str(info.value) == "argument 'ref_value': Can't extract `str` to `Vec`"
    assert isinstance(info.value.__cause__, TypeError)
    with pytest.raises(TypeError, match="^argument 'ref_value': "):
        seq.retarget([frame[i:i + 3] for i in range(0, len(frame), 3)])
    with pytest.raises(TypeError, match="^argument 'ref_value': "):
        seq.retarget(np.array(frame).reshape(-1, 3))
    with pytest.raises(TypeError, match="^argument 'ref_value': "):
        seq.retarget(np.array([str(v) for v in frame]))
    with pytest.raises(TypeError, match="^argument 'fixed_qpos': "):
        seq.retarget(frame, "0")
    with pytest.raises(TypeError, match="^argument 'fixed_qpos': "):
        seq.retarget(frame, 0.0)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'ref_value'"):
        seq.retarget()
    with pytest.raises(TypeError, match="takes from 1 to 2 positional arguments but 3 were"):
        seq.retarget(frame, [], [])
    with pytest.raises(TypeError, match="multiple values for argument 'ref_value'"):
        seq.retarget(frame, ref_value=frame)
    with pytest.raises(TypeError, match="unexpected keyword argument 'fixed'"):
        seq.retarget(frame, fixed=[])
    with pytest.raises(OverflowError):
        seq.retarget([10**400] + frame[1:])
    # None of these poisoned the object.
    assert len(seq.retarget(frame)) == 16


def test_argument_errors_leave_the_object_usable(allegro, kind):
    frame = random_frames(1, kind, 11)[0]
    seq = MAKERS[kind](allegro).build()
    for bad in ("x", [None] * len(frame), {"a": 1}, 3):
        with pytest.raises(TypeError):
            seq.retarget(bad)
    assert seq.retarget(frame) == MAKERS[kind](allegro).build().retarget(frame)


def test_other_method_argument_errors(seq):
    with pytest.raises(TypeError, match="^argument 'robot_qpos': Can't extract `str` to `Vec`$"):
        seq.set_qpos("0")
    with pytest.raises(TypeError, match="^argument 'fixed_qpos': "):
        seq.get_qpos([None])
    with pytest.raises(TypeError, match="^argument 'link_names': Can't extract `str` to `Vec`$"):
        seq.link_positions([0.0] * 16, "base_link")
    with pytest.raises(TypeError, match="^argument 'link_names': "):
        seq.link_positions([0.0] * 16, [1])
    with pytest.raises(TypeError, match="^argument 'robot_qpos': "):
        seq.link_positions(None, ["base_link"])
    with pytest.raises(TypeError, match="takes 0 positional arguments but 1 was given"):
        seq.reset(1)
    with pytest.raises(TypeError, match="missing 2 required positional arguments"):
        seq.link_positions()
