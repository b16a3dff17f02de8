"""Finding fingers, thumb, side, hand frame and tips from the tree and the geometry alone, on
generated awkward hands and on real hands renamed and turned."""

from pathlib import Path

import numpy as np
import pytest
from conftest import ROBOTS
from hand_builder import build_hand, random_rotation, renamed
from kova_rs import _core
from kova_rs.hand_detect import NotAHandError, detect_hand


def detect(text: str, side: str | None = None):
    return detect_hand(_core.RobotModel.from_string(text), Path("."), side)


def angle_deg(a: np.ndarray, b: np.ndarray) -> float:
    r = a[:3, :3].T @ b[:3, :3]
    return float(np.degrees(np.arccos(np.clip((np.trace(r) - 1) / 2, -1, 1))))


@pytest.mark.parametrize(("options", "tip_from"), [
    ({}, "link"),
    ({"left": True}, "link"),
    ({"thumb_palm_side": True}, "link"),
    ({"fingers": ("thumb", "index", "middle", "ring")}, "link"),
    ({"fingers": ("thumb", "index", "middle")}, "link"),
    ({"tip_links": False, "tip_geometry": True}, "geometry"),
    ({"tip_links": False}, "estimated"),
    ({"palm_at_knuckles": True}, "link"),
])
@pytest.mark.parametrize("seed", [1, 7])
def test_awkward_hands_give_their_fingers_side_frame_and_tips(options, tip_from, seed):
    built = build_hand(seed=seed, **options)
    hand = detect(built.text)
    assert {f.name: f.joints[0] for f in hand.fingers} == built.first_joint
    assert hand.side == ("left" if options.get("left") else "right")
    assert angle_deg(hand.hand_frame, built.frame) < 1.0
    # the wrist: from the palm link, or estimated from the finger length when the palm link
    # sits among the knuckles and the root 0.2 m behind them
    wrist_error = np.linalg.norm(hand.hand_frame[:3, 3] - built.frame[:3, 3])
    assert wrist_error < (0.01 if options.get("palm_at_knuckles") else 1e-6)
    assert (hand.wrist_from == "estimated") == bool(options.get("palm_at_knuckles"))
    assert {f.tip_from for f in hand.fingers} == {tip_from}
    # tips 20 mm (tip link), 30 mm (box end) or one phalanx (30 mm) past the last joint
    index = hand.finger("index")
    expected = 0.02 if tip_from == "link" else 0.03
    to_frame = np.linalg.inv(built.frame)
    tip = to_frame[:3, :3] @ index.tip + to_frame[:3, 3]
    assert tip[0] == pytest.approx(0.09 + 0.07 + expected, abs=1e-6)
    warned = any("tip estimated" in w for w in hand.warnings)
    assert warned == (tip_from == "estimated")


def test_grippers_and_forced_sides():
    two = detect(build_hand(fingers=("thumb", "index"), seed=2).text)
    assert [f.name for f in two.fingers] == ["thumb", "index"]
    assert any("which one is the thumb is a guess" in w for w in two.warnings)
    with pytest.raises(NotAHandError, match="not a hand: 1 moving finger"):
        detect(build_hand(fingers=("index",)).text)
    # two fingers of 3000 links each: no recursion limit reached
    chain = "".join(
        f"<link name='{f}{i}'/><joint name='{f}j{i}' type='revolute'><parent link='"
        f"{f'{f}{i - 1}' if i else 'p'}'/><child link='{f}{i}'/><origin xyz='0.001 0 0'/>"
        f"<axis xyz='0 1 0'/><limit lower='0' upper='0.01'/></joint>"
        for f in "ab" for i in range(3000))
    long = detect(f"<robot name='r'><link name='p'/>{chain}</robot>")
    assert len(long.fingers) == 2
    forced = detect(build_hand(seed=4).text, side="left")
    assert forced.side == "left"
    assert [f.name for f in forced.fingers] == ["thumb", "index", "middle", "ring", "little"]
    assert any("--side left given" in w for w in forced.warnings)
    built = build_hand(seed=4)
    assert forced.finger("index").joints == detect(built.text).finger("index").joints


# Real hands, every name replaced and the whole hand turned above its root: the same fingers.
@pytest.mark.parametrize(("path", "side", "count"), [
    ("allegro/allegro_hand_description_right.urdf", "right", 4),
    ("allegro/allegro_hand_description_left.urdf", "left", 4),
    ("leap/robot.urdf", "right", 4),
    ("shadow_2020/shadowhand_motor.urdf", "right", 5),
    ("inspire/FTP_right_hand.urdf", "right", 5),
    ("inspire/DFQ_left_hand.urdf", "left", 5),
    ("ability/ability_hand_right_large.urdf", "right", 5),
    ("schunk_svh/svh.urdf", "right", 5),
])
def test_real_hands_renamed_and_turned(path, side, count):
    source = ROBOTS / path
    model = _core.RobotModel.from_file(source)
    plain = detect_hand(model, source.parent)
    text, names = renamed(source.read_text(encoding="utf-8"), model)
    document = _core.UrdfDocument.from_string(text)
    pose = np.eye(4)
    pose[:3, :3] = random_rotation(11)
    pose[:3, 3] = [0.3, -0.1, 0.2]
    document.add_root("x_top", "x_top_joint", pose)
    hidden = detect(document.to_string())
    assert plain.side == hidden.side == side
    assert len(hidden.fingers) == count
    assert [names[f.joints[0]] for f in plain.fingers] == [f.joints[0] for f in hidden.fingers]
    # the same hand frame, turned with the hand
    np.testing.assert_allclose(pose @ plain.hand_frame, hidden.hand_frame, atol=1e-9)


def test_tips_from_meshes_binary_and_text(tmp_path):
    built = build_hand(seed=3, tip_links=False)
    last = {f.name: f.tip_parent for f in detect(built.text).fingers}
    triangle = np.array([[0.0, 0.0, 0.0], [0.03, 0.0, 0.0], [0.0, 0.004, 0.0]], np.float32)
    record = np.zeros(1, [("n", "<f4", 3), ("v", "<f4", (3, 3)), ("a", "<u2")])
    record["v"] = triangle
    (tmp_path / "tip.stl").write_bytes(b"\0" * 80 + np.uint32(1).tobytes() + record.tobytes())
    (tmp_path / "tip.obj").write_text("v 0 0 0\nv 0.025 0 0\nv 0 0.004 0\nf 1 2 3\n")
    text = built.text
    for finger, mesh in (("index", "tip.stl"), ("middle", "tip.obj")):
        text = text.replace(f'<link name="{last[finger]}" />',
                            f'<link name="{last[finger]}"><visual><geometry><mesh '
                            f'filename="{mesh}" scale="1 1 1"/></geometry></visual></link>')
    hand = detect_hand(_core.RobotModel.from_string(text), tmp_path)
    to_frame = np.linalg.inv(built.frame)
    for finger, reach in (("index", 0.03), ("middle", 0.025)):
        found = hand.finger(finger)
        assert found.tip_from == "mesh"
        tip = to_frame[:3, :3] @ found.tip + to_frame[:3, 3]
        assert tip[0] == pytest.approx(0.16 + reach, abs=1e-6)
    assert hand.finger("ring").tip_from == "estimated"


# Dex3's kinematics are their own mirror image across the thumb's plane (the thumb mid-palm,
# the two fingers either side, every axis in or normal to that plane): only names tell its
# side, so renamed the side is a flagged guess, and the fingers follow the side taken.
def test_dex3_side_from_names_and_a_warning_without_them():
    source = ROBOTS / "unitree_dex3/dex3_1_r.urdf"
    model = _core.RobotModel.from_file(source)
    plain = detect_hand(model, source.parent)
    assert plain.side == "right"
    assert [f.joints[0] for f in plain.fingers] == [
        "right_hand_thumb_0_joint", "right_hand_index_0_joint", "right_hand_middle_0_joint"]
    text, names = renamed(source.read_text(encoding="utf-8"), model)
    document = _core.UrdfDocument.from_string(text)
    pose = np.eye(4)
    pose[:3, :3] = random_rotation(5)
    document.add_root("x_top", "x_top_joint", pose)
    hidden = detect(document.to_string())
    assert any(w.startswith(f"side {hidden.side}: the thumb lies only 0 mm")
               and w.endswith("give --side if it is wrong") for w in hidden.warnings)
    mirrored = plain.fingers if hidden.side == "right" else [plain.fingers[i] for i in (0, 2, 1)]
    assert [names[f.joints[0]] for f in mirrored] == [f.joints[0] for f in hidden.fingers]
