"""Read-only attributes of RetargetingConfig, its representation and the default urdf_dir."""

from __future__ import annotations

import sys
import types

import pytest

from kova_rs import RetargetingConfig


def full_config(**overrides):
    kwargs = dict(
        add_dummy_free_joint=True, target_link_human_indices=[[0, 1], [2, 3]],
        wrist_link_name="palm", target_link_names=["l1"], target_joint_names=["j1", "j2"],
        target_origin_link_names=["o1", "o2"], target_task_link_names=["t1", "t2"],
        finger_tip_link_names=["f1", "f2", "f3"], scaling_factor=1.25, normal_delta=0.5,
        huber_delta=0.75, project_dist=0.125, escape_dist=0.25, has_joint_limits=False,
        ignore_mimic_joint=True, low_pass_alpha=0.375, urdf_dir="/robots",
    )
    kwargs.update(overrides)
    return RetargetingConfig("VECTOR", "hands/robot.urdf", **kwargs)


def test_every_getter_reads_back_what_was_given():
    config = full_config()
    assert config.type_ == "vector"
    assert config.urdf_path == "hands/robot.urdf"
    assert config.add_dummy_free_joint is True
    assert config.target_link_human_indices == [0, 1, 2, 3]
    assert config.wrist_link_name == "palm"
    assert config.target_link_names == ["l1"]
    assert config.target_joint_names == ["j1", "j2"]
    assert config.target_origin_link_names == ["o1", "o2"]
    assert config.target_task_link_names == ["t1", "t2"]
    assert config.finger_tip_link_names == ["f1", "f2", "f3"]
    assert config.scaling_factor == 1.25
    assert config.normal_delta == 0.5
    assert config.huber_delta == 0.75
    assert config.project_dist == 0.125
    assert config.escape_dist == 0.25
    assert config.has_joint_limits is False
    assert config.ignore_mimic_joint is True
    assert config.low_pass_alpha == 0.375
    assert config.urdf_dir == "/robots"


def test_defaults():
    config = RetargetingConfig("dexpilot", "r.urdf", wrist_link_name="w",
                               finger_tip_link_names=["a", "b"])
    assert config.add_dummy_free_joint is False
    assert config.target_link_human_indices is None
    assert config.target_link_names is None
    assert config.target_joint_names is None
    assert config.target_origin_link_names is None
    assert config.target_task_link_names is None
    assert (config.scaling_factor, config.normal_delta, config.huber_delta) == (1.0, 0.004, 0.02)
    assert (config.project_dist, config.escape_dist, config.low_pass_alpha) == (0.03, 0.05, 0.1)
    assert config.has_joint_limits is True
    assert config.ignore_mimic_joint is False


def test_present_but_empty_lists_stay_empty_lists():
    config = full_config(target_joint_names=[], target_link_names=())
    assert config.target_joint_names == []
    assert config.target_link_names == []


def test_getters_return_fresh_objects():
    config = full_config()
    for name in ("target_link_human_indices", "target_link_names", "target_joint_names",
                 "target_origin_link_names", "target_task_link_names", "finger_tip_link_names"):
        first = getattr(config, name)
        second = getattr(config, name)
        assert first == second and first is not second
        first.append("changed")
        first.clear()
        assert getattr(config, name) == second


def test_result_types():
    config = full_config()
    assert all(type(i) is int for i in config.target_link_human_indices)
    assert all(type(n) is str for n in config.finger_tip_link_names)
    for name in ("type_", "urdf_path", "wrist_link_name", "urdf_dir"):
        assert type(getattr(config, name)) is str


@pytest.mark.parametrize("name", ["type_", "urdf_path", "scaling_factor", "target_link_names",
                                  "urdf_dir"])
def test_attributes_cannot_be_set_or_deleted(name):
    config = full_config()
    with pytest.raises(AttributeError):
        setattr(config, name, getattr(config, name))
    with pytest.raises(AttributeError):
        delattr(config, name)
    with pytest.raises(AttributeError):
        config.new_attribute = 1


# --- representation ---------------------------------------------------------------------------

def repr_with(scaling_factor, urdf_path="hands/robot.urdf"):
    return repr(RetargetingConfig("Position", urdf_path, target_link_names=["a", "b"],
                                  target_link_human_indices=[4, 8],
                                  scaling_factor=scaling_factor))


def test_repr_layout():
    assert repr_with(1.0) == \
        "RetargetingConfig(type='position', urdf_path='hands/robot.urdf', scaling_factor=1)"


@pytest.mark.parametrize("value, text", [
    (1.0, "1"), (0.5, "0.5"), (1e-7, "0.0000001"), (-2.0, "-2"), (0.1, "0.1"), (1.25, "1.25"),
    (123456789.0, "123456789"), (1e21, "1000000000000000000000"), (1.5e22, "15000000000000000000000"),
    (2.5e-10, "0.00000000025"), (0.30000000000000004, "0.30000000000000004"), (0.0, "0"),
    (-0.0, "-0"), (float("nan"), "NaN"), (float("inf"), "inf"), (float("-inf"), "-inf"),
    (5e-324, "0." + "0" * 323 + "5"), (1 / 3, "0.3333333333333333"),
])
def test_repr_number_is_shortest_round_trip_without_exponent(value, text):
    assert repr_with(value).endswith(f", scaling_factor={text})")
    if text not in ("NaN", "inf", "-inf"):
        assert float(text) == value and "e" not in text


def test_repr_number_round_trips_for_many_values():
    import random

    rng = random.Random(7)
    for _ in range(2000):
        value = rng.uniform(-1, 1) * 10 ** rng.randint(-30, 30)
        text = repr_with(value).rsplit("scaling_factor=", 1)[1][:-1]
        assert "e" not in text and float(text) == value
        # Shortest: Python's repr has the same significant digits.
        digits = repr(value).lstrip("-").split("e")[0].replace(".", "").strip("0")
        assert text.lstrip("-").replace(".", "").strip("0") == digits


def test_repr_shows_urdf_path_unescaped():
    assert "urdf_path='it's\\here\n'" in repr_with(1.0, urdf_path="it's\\here\n")


# --- default urdf_dir -------------------------------------------------------------------------

def make_default():
    return RetargetingConfig("position", "r.urdf", target_link_names=["a"],
                             target_link_human_indices=[0])


def test_default_urdf_dir_falls_back_to_current_directory(tmp_path, monkeypatch):
    # A module file with no resources directory beside it.
    fake = types.ModuleType("kova_rs._native")
    fake.__file__ = str(tmp_path / "_native.so")
    monkeypatch.setitem(sys.modules, "kova_rs._native", fake)
    assert make_default().urdf_dir == "."


def test_default_urdf_dir_uses_resources_beside_the_module(tmp_path, monkeypatch):
    hands = tmp_path / "resources" / "assets" / "robots" / "hands"
    hands.mkdir(parents=True)
    fake = types.ModuleType("kova_rs._native")
    fake.__file__ = str(tmp_path / "_native.so")
    monkeypatch.setitem(sys.modules, "kova_rs._native", fake)
    assert make_default().urdf_dir == str(hands)


def test_default_urdf_dir_of_a_bare_file_name_is_relative(tmp_path, monkeypatch):
    (tmp_path / "resources" / "assets" / "robots" / "hands").mkdir(parents=True)
    monkeypatch.chdir(tmp_path)
    fake = types.ModuleType("kova_rs._native")
    fake.__file__ = "_native.so"
    monkeypatch.setitem(sys.modules, "kova_rs._native", fake)
    assert make_default().urdf_dir == "resources/assets/robots/hands"


@pytest.mark.parametrize("file", [None, 42, b"/tmp/_native.so", "", "/", "_native.so",
                                  "/no/such/dir/_native.so"])
def test_default_urdf_dir_failures_fall_back_silently(tmp_path, monkeypatch, file):
    monkeypatch.chdir(tmp_path)
    fake = types.ModuleType("kova_rs._native")
    if file is not None:
        fake.__file__ = file
    monkeypatch.setitem(sys.modules, "kova_rs._native", fake)
    assert make_default().urdf_dir == "."
    assert sys.exc_info() == (None, None, None)


def test_default_urdf_dir_import_failure_falls_back_silently(monkeypatch):
    monkeypatch.setitem(sys.modules, "kova_rs._native", None)  # import raises ImportError
    config = make_default()
    assert config.urdf_dir == "."
    # No exception is left pending: a following call works normally.
    assert config.type_ == "position"


def test_default_urdf_dir_not_used_when_given(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "kova_rs._native", None)
    assert RetargetingConfig("position", "r.urdf", target_link_names=["a"],
                             target_link_human_indices=[0], urdf_dir="given").urdf_dir == "given"
