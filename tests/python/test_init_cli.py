"""`kova init`: a hand URDF made ready to retarget onto, run as a user would."""

import numpy as np
import pytest
import yaml
from conftest import ROBOTS
from hand_builder import build_hand
from kova_rs import Retargeter, _core
from kova_rs.hand_init import demo_motion
from test_cli import assert_user_error, kova

MESH = "<visual><geometry><mesh filename='meshes/palm.stl'/></geometry></visual>"


def hand_with_mesh(tmp_path, **options):
    built = build_hand(seed=5, **options)
    source = tmp_path / "src" / "robot.urdf"
    (source.parent / "meshes").mkdir(parents=True)
    (source.parent / "meshes" / "palm.stl").write_bytes(b"solid palm\nendsolid palm\n")
    source.write_text(built.text.replace('<link name="n1">', '<link name="n1">' + MESH, 1))
    return source, built


def test_writes_a_rerooted_hand_and_three_working_configurations(tmp_path):
    source, built = hand_with_mesh(tmp_path, tip_links=False, tip_geometry=True)
    out = tmp_path / "out" / "hand"
    run = kova("init", source, "--out", out, "--name", "myhand")
    assert run.returncode == 0, run.stdout + run.stderr
    assert "right hand: thumb (geometry tip), index" in run.stdout

    model = _core.RobotModel.from_file(out / "myhand.urdf")
    assert model.root_link == "hand_frame"
    original = _core.RobotModel.from_file(source)
    assert set(original.link_names) < set(model.link_names)
    # the hand frame is the new root: the middle tip lies along +x, 190 mm from the wrist
    tip = model.link_positions(np.zeros(model.dof), ["middle_tip"])[0]
    np.testing.assert_allclose(tip, [0.19, 0.0, 0.0], atol=1e-9)
    mesh = model.visuals("n1")[0].filename
    assert mesh == "../../src/meshes/palm.stl"
    assert _core.resolve_mesh(mesh, out).samefile(source.parent / "meshes" / "palm.stl")

    motion = demo_motion()
    for method in ("position", "vector", "dexpilot"):
        path = out / f"{method}.yml"
        text = path.read_text()
        _core.check_config_text(text)
        section = yaml.safe_load(text)["kova"]
        assert section["side"] == "right"
        assert section["fingers"]["index"]["tip"] == "index_tip"
        assert section["fingers"]["index"]["tip_from"] == "geometry"
        np.testing.assert_allclose(section["hand_frame"], built.frame, atol=1e-5)
        assert section["scale"]["value"] == pytest.approx(0.19 / 0.177, rel=0.01)
        result = Retargeter.from_config(path).retarget_sequence(motion)
        assert np.isfinite(result.qpos).all()
        assert result.mean_error < 0.05, (method, result.mean_error)
    dexpilot = yaml.safe_load((out / "dexpilot.yml").read_text())["retargeting"]
    assert dexpilot["target_link_human_indices"][1][:4] == [4, 4, 4, 4]
    assert "## Warnings\n\n- none" in (out / "report.md").read_text()


def test_guesses_are_warned_and_exit_one(tmp_path):
    source, _ = hand_with_mesh(tmp_path, tip_links=False, palm_at_knuckles=True,
                               fingers=("thumb", "index", "middle", "ring"))
    run = kova("init", source, "--out", tmp_path / "out")
    assert run.returncode == 1, run.stdout + run.stderr
    assert "warning: wrist estimated" in run.stdout
    report = (tmp_path / "out" / "report.md").read_text()
    assert "ring tip estimated" in report
    assert "little" in report.split("Fingers not present:")[1]
    fingers = yaml.safe_load((tmp_path / "out" / "vector.yml").read_text())["kova"]["fingers"]
    assert list(fingers) == ["thumb", "index", "middle", "ring"]


def test_wrist_joints_are_held_and_real_hands_pass(tmp_path):
    run = kova("init", ROBOTS / "shadow_2020/shadowhand_motor.urdf", "--out", tmp_path)
    assert run.returncode == 1, run.stdout + run.stderr
    config = yaml.safe_load((tmp_path / "position.yml").read_text())["retargeting"]
    assert "rh_WRJ1" not in config["target_joint_names"]
    assert "rh_FFJ3" in config["target_joint_names"]
    assert "warning: wrist joints held at 0" in run.stdout


def test_user_mistakes_are_one_line(tmp_path):
    single = tmp_path / "finger.urdf"
    single.write_text(build_hand(fingers=("index",)).text)
    assert_user_error(kova("init", single, "--out", tmp_path / "o"), "is not a hand")
    assert_user_error(kova("init", tmp_path / "none.urdf", "--out", tmp_path), "no such file")
    assert_user_error(kova("init", single, "--out", single), "is not a folder")
    assert_user_error(kova("init", single, "--out", tmp_path, "--name", "a/b"), "plain file")
    before = single.read_text()
    assert_user_error(kova("init", single, "--out", tmp_path), "would replace the source file")
    assert single.read_text() == before


# Measured on the demo motion, as the README's table: position closes LEAP's fist as far as a
# hand-made setup does (0.48; 0.65 with a 5 mm Huber threshold), and DexPilot closes Dex3's two
# pinches (the fingers were swapped when its thumb sits mid-palm: 53 mm mean error).
@pytest.mark.parametrize(("path", "method", "closure", "pinched", "error"), [
    ("leap/robot.urdf", "position", 0.52, (), 0.020),
    ("unitree_dex3/dex3_1_r.urdf", "dexpilot", 0.45, ("index", "middle"), 0.025),
])
def test_real_hands_close_as_far_as_a_handmade_setup(tmp_path, path, method, closure, pinched,
                                                     error):
    from kova_rs import human_hand
    from kova_rs.measures import robot_measures

    run = kova("init", ROBOTS / path, "--out", tmp_path)
    assert run.returncode in (0, 1), run.stdout + run.stderr
    retargeter = Retargeter.from_config(tmp_path / f"{method}.yml")
    result = retargeter.retarget_sequence(human_hand.demo_motion())
    measures = robot_measures(retargeter, result, human_hand.demo_keyframes())
    assert measures.fist_closure < closure
    assert measures.mean_error < error
    assert all(measures.pinch_gaps[finger] < 0.010 for finger in pinched), measures.pinch_gaps


def test_report_measures_each_method_and_renders_each_key_pose(tmp_path, monkeypatch):
    from kova_rs.hand_init import init_hand

    source, _ = hand_with_mesh(tmp_path, fingers=("thumb", "index", "middle"))
    pytest.importorskip("matplotlib", reason="renders need the plot extra (matplotlib)")
    made = init_hand(source, tmp_path / "out")
    report = made.report.read_text()
    for method in ("position", "vector", "dexpilot"):
        table = report.split(f"### {method}\n")[1].split("###")[0]
        assert "| index pinch gap (mm) |" in table and "| fist closure | " in table, method
        assert "ring pinch" not in table
    poses = ["open", "fist", "pinch_index", "pinch_middle"]
    assert [p.name for p in made.renders] == [f"report_{pose}.png" for pose in poses]
    for path in made.renders:
        assert path.stat().st_size > 10_000 and f"]({path.name})" in report
    assert report.index("## Renders") < report.index("## Warnings")

    monkeypatch.setitem(__import__("sys").modules, "matplotlib", None)  # as if not installed
    bare = init_hand(source, tmp_path / "bare")
    assert bare.renders == [] and not list((tmp_path / "bare").glob("*.png"))
    text = bare.report.read_text()
    assert "pip install 'kova_rs[plot]'" in text and "### dexpilot" in text
