"""RetargetingConfig.build: returned messages are RuntimeError, optimiser refusals are internal
faults that `except Exception` does not catch, and the configuration is never affected."""

from __future__ import annotations

import shutil

import pytest

from conftest import ALLEGRO_TIPS, MAKERS, dexpilot_config, position_config, vector_config
from kova_rs import PanicException, RetargetingConfig, SeqRetargeting


def build_expecting_fault(config):
    """Builds; fails the test if an `except Exception` clause catches the fault."""
    with pytest.raises(PanicException) as info:
        try:
            config.build()
        except Exception as error:  # the internal fault must not land here
            pytest.fail(f"caught by except Exception: {error!r}")
    assert len(info.value.args) == 1
    return info.value.args[0]


@pytest.mark.parametrize("kind", list(MAKERS))
def test_build_gives_independent_sequencers(allegro, kind):
    config = MAKERS[kind](allegro)
    first, second = config.build(), config.build()
    assert isinstance(first, SeqRetargeting) and first is not second
    assert first.joint_names == second.joint_names
    assert len(first.joint_names) == 16


def test_missing_absolute_urdf_is_runtime_error(tmp_path):
    path = tmp_path / "hand.urdf"
    config = position_config(str(path))
    with pytest.raises(RuntimeError) as info:
        config.build()
    assert info.value.args == (f"URDF path {path} does not exist",)


def test_missing_relative_urdf_lists_the_candidates(tmp_path):
    config = position_config("nowhere/hand.urdf", urdf_dir=str(tmp_path))
    with pytest.raises(RuntimeError) as info:
        config.build()
    message = info.value.args[0]
    assert message.startswith("URDF path nowhere/hand.urdf does not exist (tried ")
    assert str(tmp_path / "nowhere/hand.urdf") in message


def test_config_unchanged_after_failure_and_builds_once_file_exists(tmp_path, allegro):
    path = tmp_path / "hand.urdf"
    config = position_config(str(path))
    before = repr(config), config.target_link_names, config.urdf_dir
    with pytest.raises(RuntimeError, match="^URDF path "):
        config.build()
    assert (repr(config), config.target_link_names, config.urdf_dir) == before
    shutil.copyfile(allegro, path)
    assert len(config.build().joint_names) == 16


def test_relative_urdf_resolved_against_urdf_dir(robots):
    config = position_config("allegro/allegro_hand_description_right.urdf", urdf_dir=str(robots))
    assert len(config.build().link_names) == 21


def test_unreadable_urdf_is_runtime_error(tmp_path):
    path = tmp_path / "broken.urdf"
    path.write_text("<robot name='x'><link name='a'></robot>")
    with pytest.raises(RuntimeError) as info:
        position_config(str(path)).build()
    assert len(info.value.args) == 1 and info.value.args[0]


def test_unknown_target_link_is_internal_fault(allegro):
    config = position_config(allegro, target_link_names=["link_3.0_tip", "no_such_link"],
                             target_link_human_indices=[0, 1])
    assert build_expecting_fault(config) == "Link no_such_link not found"
    # The configuration is unaffected and the same fault repeats.
    assert config.target_link_names == ["link_3.0_tip", "no_such_link"]
    assert build_expecting_fault(config) == "Link no_such_link not found"


def test_unknown_vector_link_is_internal_fault(allegro):
    config = vector_config(allegro, target_origin_link_names=["palm"] * 4)
    assert build_expecting_fault(config) == "Link palm not found"


def test_unknown_target_joint_is_internal_fault(allegro):
    config = position_config(allegro, target_joint_names=["joint_0.0", "joint_x"])
    assert build_expecting_fault(config) == "Joint joint_x not found in robot"


def test_fixed_joint_as_target_joint_is_internal_fault(allegro):
    config = position_config(allegro, target_joint_names=["joint_3.0_tip"])
    assert build_expecting_fault(config) == "Joint joint_3.0_tip not found in robot"


@pytest.mark.parametrize("tips", [ALLEGRO_TIPS[:1], ALLEGRO_TIPS + ["link_0.0", "link_1.0"]])
def test_dexpilot_finger_count_is_internal_fault(allegro, tips):
    config = dexpilot_config(allegro, finger_tip_link_names=tips)
    assert build_expecting_fault(config) == "DexPilot requires 2-5 fingers"


def test_internal_fault_then_normal_use(allegro):
    bad = position_config(allegro, target_link_names=["x", "y"], target_link_human_indices=[0, 1])
    build_expecting_fault(bad)
    seq = position_config(allegro).build()
    assert len(seq.retarget([0.0] * 12)) == 16


def test_build_takes_no_arguments(allegro):
    config = position_config(allegro)
    with pytest.raises(TypeError, match="takes 0 positional arguments but 1 was given"):
        config.build(1)
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        config.build(x=1)


def test_dummy_free_joints_add_six_target_joints(allegro):
    config = position_config(allegro, add_dummy_free_joint=True,
                             target_joint_names=["joint_0.0", "joint_1.0"])
    seq = config.build()
    assert seq.target_dof == 8
    assert len(seq.joint_names) == 22
    assert seq.fixed_dof == 14


def test_mimic_joints_are_not_fixed_once_coupled(robots):
    from conftest import INSPIRE

    urdf = str(robots / INSPIRE)
    probe = RetargetingConfig("position", urdf, target_link_names=["R_thumb_distal"],
                              target_link_human_indices=[0], ignore_mimic_joint=True).build()
    names = probe.joint_names
    # Without coupling every DOF joint is a target joint by default.
    assert probe.target_dof == len(names) and probe.fixed_dof == 0
    assert probe.fixed_dof + probe.target_dof == len(names)
    with open(urdf, encoding="utf-8") as handle:
        text = handle.read()
    mimic_joints = [name for name in names
                    if f'<joint name="{name}"' in text and
                    "<mimic" in text.split(f'<joint name="{name}"', 1)[1].split("</joint>", 1)[0]]
    sources = [name for name in names if name not in mimic_joints]
    assert mimic_joints, "the test robot is expected to have mimic joints"
    coupled = RetargetingConfig("position", urdf, target_link_names=["R_thumb_distal"],
                                target_link_human_indices=[0], target_joint_names=sources)
    seq = coupled.build()
    assert seq.target_dof == len(sources)
    assert seq.fixed_dof == 0  # mimic joints are neither target nor fixed joints
    assert seq.fixed_dof + seq.target_dof < len(seq.joint_names)
