"""The robot hands and configurations shipped in the package."""

import math
import re
import shutil

import numpy as np
import pytest
from kova_rs import _native, human_hand
from kova_rs._core import RobotModel
from kova_rs.retargeter import Retargeter
from tool_support import (
    CONFIGS_DIR,
    HANDS,
    HANDS_DIR,
    METHODS,
    OWN_HANDS,
    REAL_HANDS,
    RESOURCES,
    config_path,
    urdf_path,
)
from urdf_reference import read_urdf

WRIST_AND_FIVE_FINGERS = (["WRJ2", "WRJ1"] + [f"FFJ{i}" for i in (4, 3, 2, 1)]
                          + [f"LFJ{i}" for i in (5, 4, 3, 2, 1)]
                          + [f"MFJ{i}" for i in (4, 3, 2, 1)] + [f"RFJ{i}" for i in (4, 3, 2, 1)]
                          + [f"THJ{i}" for i in (5, 4, 3, 2, 1)])
OPPOSITION = ["Thumb_Opposition", "Thumb_Flexion", "j3", "j4", "index_spread",
              "Index_Finger_Proximal", "Index_Finger_Distal", "j14", "j5", "Finger_Spread",
              "Pinky", "j13", "j17", "ring_spread", "Ring_Finger", "j12", "j16",
              "Middle_Finger_Proximal", "Middle_Finger_Distal", "j15"]
# the DOF order each hand must get, one hand per joint-naming scheme
EXPECTED_ORDER = {
    "kova_compact_10dof": [f"{f}_q{i}" for f in ("index", "middle", "pinky", "ring", "thumb")
                           for i in (1, 2)],
    "kova_linkage_12dof": ["index_proximal_joint", "index_intermediate_joint",
                           "middle_proximal_joint", "middle_intermediate_joint",
                           "pinky_proximal_joint", "pinky_intermediate_joint",
                           "ring_proximal_joint", "ring_intermediate_joint",
                           "thumb_proximal_yaw_joint", "thumb_proximal_pitch_joint",
                           "thumb_intermediate_joint", "thumb_distal_joint"],
    "kova_four_finger_16dof": [f"joint_{i}.0" for i in
                               (0, 1, 2, 3, 12, 13, 14, 15, 4, 5, 6, 7, 8, 9, 10, 11)],
    "kova_numbered_16dof": [str(i) for i in (1, 0, 2, 3, 12, 13, 14, 15, 5, 4, 6, 7, 9, 8, 10,
                                             11)],
    "kova_five_finger_24dof": WRIST_AND_FIVE_FINGERS,
    "kova_coupled_20dof": ["right_hand_" + n for n in OPPOSITION],
}


def test_the_package_ships_every_hand_and_config():
    assert OWN_HANDS == sorted(EXPECTED_ORDER)
    assert len(REAL_HANDS) >= 8
    for hand in HANDS:
        assert urdf_path(hand).stat().st_size > 1000
        for method in METHODS:
            assert config_path(method, hand).is_file()
    assert (RESOURCES / "motions" / "demo_motion.npy").is_file()


@pytest.mark.parametrize("hand", sorted(EXPECTED_ORDER))
def test_dof_order_follows_the_naming_scheme(hand):
    order = RobotModel.from_file(urdf_path(hand)).dof_joint_names
    assert order == EXPECTED_ORDER[hand]
    in_file = [j.name for j in read_urdf(urdf_path(hand)).movable_joints]
    assert sorted(in_file) == sorted(order)
    assert in_file != order  # the file lists them otherwise: the reordering is exercised


def test_the_set_covers_what_was_promised():
    models = {h: read_urdf(urdf_path(h)) for h in OWN_HANDS}
    with_mimic = [h for h, m in models.items() if m.mimic_joints]
    assert len(with_mimic) >= 1
    four_fingered = [h for h, m in models.items()
                     if sum(link.endswith("tip") for link in m.links) == 4]
    assert len(four_fingered) >= 1
    assert max(len(m.movable_joints) for m in models.values()) >= 20
    for m in models.values():  # joint limits everywhere, anatomically bounded
        for j in m.movable_joints:
            lo, hi = j.limit
            assert -1.0 <= lo < hi <= 2.0, (m.name, j.name)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("hand", HANDS)
def test_every_config_loads_and_builds(method, hand):
    config = _native.RetargetingConfig.from_file(str(config_path(method, hand)))
    assert config.type_ == method
    assert not config.urdf_path.startswith("/")  # relative: found by the search
    retargeter = Retargeter(config)
    if hand in EXPECTED_ORDER:
        assert retargeter.joint_names == EXPECTED_ORDER[hand]
    else:  # a maker's hand drives its own joints in the model's order (a wrist may be held)
        order = RobotModel.from_file(urdf_path(hand)).dof_joint_names
        assert retargeter.joint_names == [j for j in order if j in retargeter.joint_names]


@pytest.mark.parametrize("hand", OWN_HANDS)
def test_default_urdf_dir_finds_the_shipped_hands(hand):
    model = read_urdf(urdf_path(hand))
    tip = next(link for link in model.links if link.endswith("tip"))
    config = _native.RetargetingConfig("position", f"{hand}/{hand}.urdf",
                                       target_link_names=[tip],
                                       target_link_human_indices=[8])
    assert config.urdf_dir.replace("\\", "/").endswith("resources/assets/robots/hands")
    assert len(config.build().joint_names) == len(EXPECTED_ORDER[hand])


def test_a_copied_resources_tree_resolves_by_the_parent_search(tmp_path, monkeypatch):
    copy = tmp_path / "my_project"
    shutil.copytree(RESOURCES / "configs", copy / "configs")
    shutil.copytree(HANDS_DIR, copy / "assets" / "robots" / "hands")
    monkeypatch.chdir(tmp_path)
    config = _native.RetargetingConfig.from_file(
        str(copy / "configs" / "vector" / "kova_compact_10dof.yml"))
    assert Retargeter(config).native.urdf_file.resolve() == \
        (copy / "assets/robots/hands/kova_compact_10dof/kova_compact_10dof.urdf").resolve()
    assert len(config.build().joint_names) == 10


@pytest.mark.parametrize("hand", HANDS)
def test_native_kinematics_agree_with_an_independent_one(hand):
    config = _native.RetargetingConfig.from_file(str(config_path("position", hand)))
    seq = config.build()
    model = read_urdf(urdf_path(hand))
    names = list(seq.joint_names)
    rng = np.random.default_rng(len(hand))
    links = list(seq.link_names)
    for _ in range(3):
        q = np.array([rng.uniform(*model.joint(n).limit) for n in names])
        native = np.array(seq.link_positions(list(q), links))
        # mimic joints follow their source when the configuration couples them
        mine = model.link_positions(dict(zip(names, q)))
        # within 0.1 nm: the two sum a chain under a turned root in another order
        np.testing.assert_allclose(native, np.array([mine[l] for l in links]), atol=1e-10)
        # the model's own forward kinematics takes mimic joints as given: derive them first
        derived = dict(zip(names, q))
        for joint in model.mimic_joints:
            source, multiplier, offset = joint.mimic
            derived[joint.name] = multiplier * derived[source] + offset
        full = np.array([derived[n] for n in names])
        core = RobotModel.from_file(urdf_path(hand))
        assert core.link_names == links
        np.testing.assert_allclose(core.forward_kinematics(full)[:, :3, 3], native, atol=1e-12)


def test_open_robot_hands_point_their_fingers_along_x():
    for hand in OWN_HANDS:
        model = read_urdf(urdf_path(hand))
        pos = model.link_positions({})
        tips = [p for link, p in pos.items() if link.endswith("tip")]
        assert len(tips) in (4, 5)
        fingers = sorted(tips, key=lambda p: p[0])[-3:]  # the three longest reach
        assert all(0.12 < p[0] < 0.25 and abs(p[2]) < 1e-9 for p in fingers), hand


def test_configs_use_relative_paths_resolving_to_the_shipped_urdf():
    for path in CONFIGS_DIR.glob("*/*.yml"):
        config = _native.RetargetingConfig.from_file(str(path))
        hand = path.stem
        assert config.urdf_path == f"{hand}/{hand}.urdf"
        assert Retargeter(config).native.urdf_file.resolve() == urdf_path(hand).resolve()


def test_shipped_files_are_what_the_generator_writes(tmp_path):
    import importlib.util
    import sys
    from pathlib import Path

    generator = Path(__file__).resolve().parents[2] / "tools" / "generate_hands.py"
    if not generator.is_file():
        pytest.skip("tools/generate_hands.py is not beside the tests (installed tests only)")
    spec = importlib.util.spec_from_file_location("generate_hands", generator)
    module = importlib.util.module_from_spec(spec)
    sys.modules["generate_hands"] = module  # dataclasses look their module up
    try:
        spec.loader.exec_module(module)
    finally:
        del sys.modules["generate_hands"]
    module.main(tmp_path)
    made = sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*") if p.is_file())
    shipped = sorted(p.relative_to(RESOURCES) for p in RESOURCES.rglob("*")
                     if p.is_file() and p.suffix in (".urdf", ".yml")
                     and p.stem not in REAL_HANDS)
    assert made == shipped
    for rel in made:
        assert (tmp_path / rel).read_text() == (RESOURCES / rel).read_text(), rel


# mean demo error in metres, a margin above what the README reports for each hand
DEMO_ERROR_BOUND = {"position": 0.035, "vector": 0.016, "dexpilot": 0.015}


# a makers' hand is not shaped like a human one (three fingers, a thumb that cannot oppose
# every finger): a wrong hand frame is several times worse than this
REAL_HAND_ERROR_BOUND = 0.06


def _demo_for(hand):
    motion = np.load(RESOURCES / "motions" / "demo_motion.npy")
    return human_hand.as_left_hand(motion) if hand.endswith("_left") else motion


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("hand", HANDS)
def test_demo_motion_retargets_onto_every_hand(method, hand):
    result = Retargeter.from_config(config_path(method, hand)).retarget_sequence(_demo_for(hand))
    assert np.all(np.isfinite(result.qpos))
    bound = REAL_HAND_ERROR_BOUND if hand in REAL_HANDS else DEMO_ERROR_BOUND[method]
    assert result.mean_error < bound
    twin = hand.removesuffix("_left") + "_right"
    if hand.endswith("_left") and twin in REAL_HANDS:  # a left hand moves as its right twin
        right = Retargeter.from_config(config_path(method, twin)).retarget_sequence(
            _demo_for(twin))
        assert abs(result.mean_error - right.mean_error) < 1e-3
    # the robot follows the motion: its joints sweep a real range
    assert np.ptp(result.qpos, axis=0).max() > 0.4


def _load_tool(name):
    import importlib.util
    import sys
    from pathlib import Path

    tool = Path(__file__).resolve().parents[2] / "tools" / f"{name}.py"
    if not tool.is_file():
        pytest.skip(f"tools/{name}.py is not beside the tests (installed tests only)")
    spec = importlib.util.spec_from_file_location(name, tool)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module  # dataclasses look their module up
    try:
        spec.loader.exec_module(module)
    finally:
        del sys.modules[name]
    return module


def test_the_makers_hands_are_what_kova_init_makes_of_their_files(tmp_path):
    # a change in kova init that is not shipped (tools/ship_hands.py) fails here
    _load_tool("ship_hands").main(tmp_path)
    made = sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*") if p.is_file())
    shipped = sorted(p.relative_to(RESOURCES) for p in RESOURCES.rglob("*")
                     if p.is_file() and (p.stem in REAL_HANDS or p.parent.name in REAL_HANDS))
    assert made == shipped
    for rel in made:
        assert_same_but_rounding((tmp_path / rel).read_text(), (RESOURCES / rel).read_text(), rel)


NUMBER = re.compile(r"-?\d+\.?\d*(?:[eE][-+]?\d+)?")


def assert_same_but_rounding(made, shipped, what):
    """The same text; numbers equal but for the last digits another build's libm may round
    differently (the frame's trigonometry)."""
    assert NUMBER.split(made) == NUMBER.split(shipped), what
    for a, b in zip(NUMBER.findall(made), NUMBER.findall(shipped), strict=True):
        assert math.isclose(float(a), float(b), rel_tol=1e-9, abs_tol=1e-12), (what, a, b)


@pytest.mark.parametrize("hand", REAL_HANDS)
def test_every_makers_hand_carries_its_origin_and_licence(hand):
    note = (HANDS_DIR / hand / "SOURCE.md").read_text()
    assert note.startswith(f"# {hand}: ") and "https://github.com/" in note
    licence = (HANDS_DIR / hand / "LICENSE").read_text()
    assert any(word in licence for word in ("Redistribution", "Permission is hereby granted",
                                             "GNU LESSER GENERAL PUBLIC LICENSE"))
    for method in METHODS:  # the configuration names the maker's file, not a local path
        assert "source_urdf: \"https://github.com/" in config_path(method, hand).read_text()


def test_the_demo_input_drives_a_left_hand_as_a_left_hand(tmp_path, capsys):
    from kova_rs.cli import main
    from kova_rs.result_file import load_result

    errors = {}
    for hand in ("allegro_left", "allegro_right"):
        out = tmp_path / f"{hand}.npz"
        assert main(["retarget", "--config", f"vector/{hand}", "--input", "demo",
                     "--output", str(out)]) == 0
        errors[hand] = load_result(out).mean_error
    assert "mirrored for this left robot hand" in capsys.readouterr().err
    assert abs(errors["allegro_left"] - errors["allegro_right"]) < 1e-3
