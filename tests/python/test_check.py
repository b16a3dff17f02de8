"""``kova check``: every finding with its fix, the exit status by the worst finding, and the same
errors stopping ``kova retarget`` and ``Retargeter.from_config``."""

import pytest
from conftest import ROBOTS, write_yaml
from kova_rs import ConfigError, Retargeter
from test_cli import kova
from tool_support import config_path

LEAP = ROBOTS / "leap" / "robot.urdf"
INSPIRE_FTP = ROBOTS / "inspire" / "FTP_right_hand.urdf"


def findings(run, severity):
    return [line for line in run.stderr.splitlines() if line.startswith(f"kova: {severity}: ")]


def test_a_clean_configuration_exits_0_and_notes_the_dexpilot_matches():
    run = kova("check", config_path("dexpilot", "kova_five_finger_24dof"))
    assert run.returncode == 0, run.stderr
    assert run.stderr == ""
    assert "ff_tip -> keypoint 8 (index)" in run.stdout
    assert "no problems found" in run.stdout


def test_list_order_fallback_and_a_scale_far_from_the_hand_are_warnings(tmp_path):
    # LEAP's tip links name no finger: matched in list order, said so; its hand is smaller
    # than a human one, so scaling_factor 3 is questioned with the measured ratio.
    path = write_yaml(tmp_path, f"""\
        retargeting:
          type: dexpilot
          urdf_path: {LEAP}
          wrist_link_name: palm_lower
          finger_tip_link_names: [thumb_fingertip, fingertip, fingertip_2, fingertip_3]
          scaling_factor: 3.0
        """)
    run = kova("check", path)
    assert run.returncode == 1, run.stderr
    warned = findings(run, "warning")
    assert len(warned) == 2, run.stderr
    assert "matched in list order: thumb_fingertip -> thumb, fingertip -> index" in warned[0]
    assert "retargeting.scaling_factor: scaling_factor is 3, but" in warned[1]
    assert "set scaling_factor: 0." in warned[1]
    assert "matched in list order" in run.stdout
    assert len(Retargeter.from_config(path).config_warnings) == 1  # the size is the CLI's


def test_position_on_a_hand_much_larger_than_a_human_one_is_a_warning():
    run = kova("check", config_path("position", "kova_four_finger_16dof"))
    assert run.returncode == 1, run.stderr
    [warned] = findings(run, "warning")
    assert "retargeting.type: position retargeting" in warned
    assert "use vector or dexpilot retargeting with scaling_factor: 1.3" in warned


def test_errors_exit_2_with_how_each_value_is_read_and_stop_the_other_entry_points(tmp_path):
    path = write_yaml(tmp_path, f"""\
        retargeting:
          type: position
          urdf_path: {INSPIRE_FTP}
          target_link_names: [right_index_force_sensor_3, right_thumb_44]
          target_link_human_indices: [8, 4]
          scaling_factor: "1.5"
          colour: red
        """)
    run = kova("check", path)
    assert run.returncode == 2, run.stderr
    errors = findings(run, "error")
    assert len(errors) == 3, run.stderr
    assert "retargeting.scaling_factor (line 6): " in errors[0]
    assert "it is read as the default 1.0" in errors[0]
    assert "retargeting.colour (line 7): unknown key 'colour'" in errors[1]
    assert "retargeting.target_link_names[1]: Link 'right_thumb_44' not found" in errors[2]
    assert "did you mean 'right_thumb_4'?" in errors[2]
    with pytest.raises(ConfigError, match="scaling_factor must be a number"):
        Retargeter.from_config(path)
    out = tmp_path / "out.npz"
    retarget = kova("retarget", "--config", path, "--input", "demo", "--output", out)
    assert retarget.returncode == 2
    assert "scaling_factor must be a number" in retarget.stderr
    assert not (tmp_path / "out.npz").exists()


def test_a_mimic_source_left_out_names_the_joint_to_add(tmp_path):
    joints = ["right_thumb_1_joint", "right_thumb_2_joint", "right_index_1_joint",
              "right_middle_1_joint", "right_ring_1_joint", "right_little_1_joint"]
    text = f"""\
        retargeting:
          type: position
          urdf_path: {INSPIRE_FTP}
          target_link_names: [right_index_force_sensor_3]
          target_link_human_indices: [8]
          target_joint_names: [{{joints}}]
        """
    path = write_yaml(tmp_path, text.format(joints=", ".join(joints)))
    run = kova("check", path)
    assert run.returncode == 2
    [error] = findings(run, "error")
    assert "Source joint right_thumb_3_joint not in target joints" in error
    assert "add 'right_thumb_3_joint' to target_joint_names" in error
    fixed = write_yaml(tmp_path, text.format(joints=", ".join([*joints, "right_thumb_3_joint"])))
    assert Retargeter.from_config(fixed).config_warnings == []
