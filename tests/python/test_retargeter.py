"""The keypoint API against the native API fed by hand."""

import os
import re
from pathlib import Path

import numpy as np
import pytest
from kova_rs import ConfigError, _native
from kova_rs._core import dexpilot_vectors, fingertip_landmarks
from kova_rs.retargeter import Retargeter, RetargetResult, shipped_config, shipped_hands
from tool_support import METHODS, config_path, demo_motion  # noqa: F401 (fixture)

FRAMES = slice(0, 60, 3)  # open hand, closing into the fist, opening again


def variant(config, **overrides):
    """A copy of a native configuration with some keys changed."""
    keys = ["target_link_human_indices", "wrist_link_name", "target_link_names",
            "target_joint_names", "target_origin_link_names", "target_task_link_names",
            "finger_tip_link_names", "scaling_factor", "normal_delta", "huber_delta",
            "project_dist", "escape_dist", "has_joint_limits", "ignore_mimic_joint",
            "low_pass_alpha", "urdf_dir", "add_dummy_free_joint"]
    args = {k: getattr(config, k) for k in keys}
    args.update(overrides)
    return _native.RetargetingConfig(config.type_, config.urdf_path, **args)


def dexpilot_indices(tips):
    """Flat human indices (origins, then tasks) that the core derives for these fingertips."""
    landmarks = [0] + fingertip_landmarks(tips)
    vectors = dexpilot_vectors(len(tips))
    return [landmarks[o] for _, o in vectors] + [landmarks[t] for t, _ in vectors]


def rows_by_hand(config, kp):
    """Reference rows written out longhand from the configuration."""
    idx = config.target_link_human_indices
    if config.type_ == "position":
        return [list(kp[i]) for i in idx]
    if config.type_ == "vector":
        n = len(config.target_origin_link_names)
        return [list(kp[idx[n + k]] - kp[idx[k]]) for k in range(n)]
    # dexpilot without indices: fingertip names -> landmarks, pairs then wrist vectors
    tip_landmark = {"th": 4, "thumb": 4, "ff": 8, "index": 8, "mf": 12, "middle": 12,
                    "rf": 16, "ring": 16, "lf": 20, "pinky": 20, "little": 20}
    tips = []
    for name in config.finger_tip_link_names:
        words = name.replace("right_hand_", "").split("_")
        tips.append(tip_landmark[words[0]])
    rows = []
    for i in range(len(tips)):
        for j in range(i + 1, len(tips)):
            rows.append(list(kp[tips[i]] - kp[tips[j]]))
    for i in range(len(tips)):
        rows.append(list(kp[tips[i]] - kp[0]))
    return rows


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("hand", ["kova_five_finger_24dof", "kova_linkage_12dof",
                                  "kova_coupled_20dof"])
def test_keypoint_api_matches_native_api_fed_by_hand(method, hand, demo_motion):
    config = _native.RetargetingConfig.from_file(str(config_path(method, hand)))
    retargeter = Retargeter(config)
    native = config.build()
    for kp in demo_motion[FRAMES]:
        flat = [v for row in rows_by_hand(config, kp) for v in row]
        np.testing.assert_array_equal(retargeter.reference(kp).ravel(), flat)
        np.testing.assert_array_equal(retargeter.retarget(kp), native.retarget(flat))
    assert retargeter.joint_names == list(native.joint_names)
    assert retargeter.dof == len(native.joint_names)


@pytest.mark.parametrize("method", METHODS)
def test_sequence_equals_frame_by_frame(method, demo_motion):
    path = config_path(method, "kova_compact_10dof")
    one, many = Retargeter.from_config(path), Retargeter.from_config(path)
    result = many.retarget_sequence(demo_motion[FRAMES])
    expected = np.stack([one.retarget(kp) for kp in demo_motion[FRAMES]])
    np.testing.assert_array_equal(result.qpos, expected)
    assert result.qpos.shape == (len(expected), one.dof)
    assert result.joint_names == one.joint_names
    assert result.method == method
    assert result.errors.shape == (len(expected), len(result.target_names))


@pytest.mark.parametrize("method", METHODS)
def test_a_sequence_of_zero_frames_gives_an_empty_result(method):
    retargeter = Retargeter.from_config(config_path(method, "kova_compact_10dof"))
    result = retargeter.retarget_sequence(np.zeros((0, 21, 3)))
    assert result.qpos.shape == (0, retargeter.dof)
    assert result.errors.shape == (0, len(result.target_names)) and result.mean_error == 0.0


def test_position_errors_are_distances_to_the_keypoints(demo_motion):
    config = _native.RetargetingConfig.from_file(
        str(config_path("position", "kova_five_finger_24dof")))
    r = Retargeter(config)
    result = r.retarget_sequence(demo_motion[:5])
    links = config.target_link_names
    native = config.build()
    for f in range(5):
        robot = native.link_positions(list(result.qpos[f]), links)
        for k, (link, human) in enumerate(zip(robot, config.target_link_human_indices)):
            assert result.errors[f, k] == pytest.approx(
                np.linalg.norm(np.array(link) - demo_motion[f, human]), abs=1e-12)


def test_vector_errors_compare_with_the_scaled_human_vector(demo_motion):
    config = _native.RetargetingConfig.from_file(
        str(config_path("vector", "kova_coupled_20dof")))
    r = Retargeter(config)
    q = r.retarget(demo_motion[30])
    errors = r.errors(demo_motion[30], q)[0]
    idx = config.target_link_human_indices
    n = len(config.target_origin_link_names)
    for k in range(n):
        o, t = config.build().link_positions(list(q), [config.target_origin_link_names[k],
                                                       config.target_task_link_names[k]])
        human = demo_motion[30, idx[n + k]] - demo_motion[30, idx[k]]
        want = np.linalg.norm(np.subtract(t, o) - config.scaling_factor * human)
        assert errors[k] == pytest.approx(want, abs=1e-12)


def test_retargeting_tracks_the_demo_closely(demo_motion):
    result = Retargeter.from_config(
        config_path("position", "kova_five_finger_24dof")).retarget_sequence(demo_motion)
    assert result.mean_error < 0.006  # metres; measured about 3.4 mm
    assert np.all(np.isfinite(result.qpos))


@pytest.mark.parametrize("method", METHODS)
def test_reset_starts_a_fresh_sequence_filter_and_pinches_included(method, demo_motion):
    # The shipped configurations smooth their output (low_pass_alpha 0.7), and the thumb and
    # index tips of frames 10-12 pinch (DexPilot projects the pair) while in frame 13 they are
    # between the pinch distances, where a kept pinch would hold: both carry over unless reset
    # forgets them.
    path = config_path(method, "kova_five_finger_24dof")
    r = Retargeter.from_config(path)
    assert 0.0 < r.config.low_pass_alpha < 1.0
    first = r.retarget_sequence(demo_motion[:40]).qpos
    r.retarget_sequence(demo_motion[:13])
    r.reset()
    np.testing.assert_array_equal(r.retarget(demo_motion[13]),
                                  Retargeter.from_config(path).retarget(demo_motion[13]))
    r.reset()
    np.testing.assert_array_equal(r.retarget_sequence(demo_motion[:40]).qpos, first)
    later = r.retarget(demo_motion[0])  # warm-started from frame 39, not from scratch
    assert not np.array_equal(later, first[0])


def test_sequences_report_how_each_frame_was_solved(retargeter, demo_motion):
    result = retargeter.retarget_sequence(demo_motion[:4])
    assert len(result.reports) == 4
    assert all(r.solver == "slsqp" and r.evaluations > 0 and r.stop_reason for r in result.reports)
    assert retargeter.last_report.evaluations == result.reports[-1].evaluations
    chunked = Retargeter.from_config(config_path("vector", "kova_five_finger_24dof"))
    assert len(chunked.retarget_sequence(demo_motion[:70], progress=True).reports) == 70


def test_empty_sequences(retargeter):
    result = retargeter.retarget_sequence(np.zeros((0, 21, 3)))
    assert result.qpos.shape == (0, retargeter.dof)
    assert result.errors.shape == (0, len(retargeter.target_names))
    assert len(result) == 0 and result.mean_error == 0.0


def test_fixed_joints_take_the_given_values(demo_motion):
    config = _native.RetargetingConfig.from_file(
        str(config_path("position", "kova_compact_10dof")))
    config = variant(config, target_joint_names=["index_q1", "index_q2", "thumb_q1",
                                                 "thumb_q2"])
    r = Retargeter(config)
    assert r.fixed_dof == 6
    fixed = np.linspace(0.1, 0.6, 6)
    q = r.retarget(demo_motion[0], fixed_qpos=fixed)
    free = {"index_q1", "index_q2", "thumb_q1", "thumb_q2"}
    fixed_positions = [i for i, n in enumerate(r.joint_names) if n not in free]
    np.testing.assert_allclose(q[fixed_positions], fixed)
    seq = r.retarget_sequence(demo_motion[:3], fixed_qpos=np.tile(fixed, (3, 1)))
    np.testing.assert_allclose(seq.qpos[:, fixed_positions], np.tile(fixed, (3, 1)))
    with pytest.raises(ValueError, match=r"fixed_qpos must have shape \(6,\) \(one value"):
        r.retarget(demo_motion[0], fixed_qpos=[0.0] * 5)  # never padded with zeros
    with pytest.raises(ValueError, match=r"fixed_qpos must have shape \(6,\) or \(3, 6\)"):
        r.retarget_sequence(demo_motion[:3], fixed_qpos=np.zeros((2, 6)))
    with pytest.raises(ValueError, match=r"fixed_qpos must have shape \(6,\)"):
        r.retarget(demo_motion[0], fixed_qpos=np.zeros((1, 6)))


@pytest.fixture(scope="module")
def retargeter():
    return Retargeter.from_config(config_path("vector", "kova_five_finger_24dof"))


class TestInputs:
    @pytest.mark.parametrize("shape", [(21, 3, 1), (21, 2), (63,), (1, 21, 3)])
    def test_single_frame_shape(self, retargeter, shape):
        with pytest.raises(ValueError, match=r"shape \(21, 3\)"):
            retargeter.retarget(np.zeros(shape))

    def test_sequence_shape(self, retargeter):
        with pytest.raises(ValueError, match=r"shape \(N, 21, 3\)"):
            retargeter.retarget_sequence(np.zeros((21, 3)))

    @pytest.mark.parametrize("landmarks", [12, 20, 22])
    def test_exactly_21_landmarks(self, retargeter, landmarks):
        with pytest.raises(ValueError, match=rf"shape \(21, 3\), got \({landmarks}, 3\)"):
            retargeter.retarget(np.zeros((landmarks, 3)))
        with pytest.raises(ValueError, match=rf"\(N, 21, 3\), got \(2, {landmarks}, 3\)"):
            retargeter.retarget_sequence(np.zeros((2, landmarks, 3)))

    def test_not_finite(self, retargeter):
        kp = np.zeros((21, 3))
        kp[4, 2] = np.inf
        with pytest.raises(ValueError, match="NaN or infinite"):
            retargeter.retarget(kp)

    def test_from_config_accepts_paths_and_configs(self):
        path = config_path("dexpilot", "kova_linkage_12dof")
        for source in (str(path), path, _native.RetargetingConfig.from_file(str(path))):
            r = Retargeter.from_config(source)
            assert r.method == "dexpilot" and r.dof == 12
        assert isinstance(r.config, _native.RetargetingConfig)

    def test_from_config_refuses_other_things(self):
        with pytest.raises(TypeError, match="RetargetingConfig or a path"):
            Retargeter.from_config(42)
        with pytest.raises(TypeError):
            Retargeter("not a config")

    def test_missing_file_is_a_config_error(self, tmp_path):
        with pytest.raises(ConfigError, match="missing.yml: cannot be read") as caught:
            Retargeter.from_config(tmp_path / "missing.yml")
        assert isinstance(caught.value, ValueError)

    def test_robot_files_of_ros_packages(self, tmp_path, monkeypatch):
        shipped = config_path("dexpilot", "kova_linkage_12dof")
        package = tmp_path / "ros" / "my_hand"
        package.mkdir(parents=True)
        (package / "hand.urdf").write_bytes(Retargeter.from_config(shipped).urdf_file.read_bytes())
        config = tmp_path / "config.yml"
        config.write_text(re.sub(r"urdf_path: .*", "urdf_path: package://my_hand/hand.urdf",
                                 shipped.read_text(encoding="utf-8")), encoding="utf-8")
        monkeypatch.setenv("ROS_PACKAGE_PATH", str(tmp_path / "ros"))
        assert Retargeter.from_config(config).urdf_file == package / "hand.urdf"
        monkeypatch.setenv("ROS_PACKAGE_PATH", str(tmp_path))
        with pytest.raises(ConfigError, match="my_hand"):
            Retargeter.from_config(config)

    def test_path_like_objects(self):
        class Where(os.PathLike):
            def __fspath__(self):
                return str(config_path("position", "kova_compact_10dof"))

        assert Retargeter.from_config(Where()).method == "position"

    def test_result_helpers(self, retargeter):
        result = RetargetResult(np.arange(6.0).reshape(2, 3), ["a", "b", "c"],
                                np.array([[0.001, 0.003], [0.002, 0.002]]))
        np.testing.assert_array_equal(result.joint("b"), [1.0, 4.0])
        assert result.mean_error == pytest.approx(0.002)
        assert len(result) == 2
        with pytest.raises(KeyError, match="unknown joint 'z'"):
            result.joint("z")


class TestDexPilotIndices:
    def test_finger_words_decide(self):
        assert fingertip_landmarks(["right_hand_index_tip", "thumbTip", "lf_tip"]) == [8, 4, 20]
        assert fingertip_landmarks(["link_ring", "middle_distal_tip"]) == [16, 12]

    def test_unnamed_tips_are_taken_thumb_first(self):
        assert fingertip_landmarks(["link_3.0_tip", "link_7.0_tip", "link_11.0_tip"]) == \
            [4, 8, 12]

    def test_two_tips_of_one_finger_fall_back_to_the_order(self):
        assert fingertip_landmarks(["index_a", "index_b"]) == [4, 8]

    def test_more_than_five_unnamed_tips_are_refused(self):
        with pytest.raises(ValueError, match="at most 5 fingers"):
            fingertip_landmarks([f"tip{i}" for i in range(6)])

    def test_layout_for_three_fingers(self):
        # vectors: F1-F2, F1-F3, F2-F3, then wrist to F1, F2, F3; origins first, tasks after
        assert dexpilot_indices(["thumb_tip", "index_tip", "middle_tip"]) == \
            [8, 12, 12, 0, 0, 0] + [4, 4, 8, 4, 8, 12]

    def test_configured_indices_win(self, demo_motion):
        base = _native.RetargetingConfig.from_file(
            str(config_path("dexpilot", "kova_compact_10dof")))
        derived = dexpilot_indices(base.finger_tip_link_names)
        swapped = derived[:]
        swapped[-5:] = [20, 16, 12, 8, 4]  # wrist vectors point at the tips in reverse
        r = Retargeter(variant(base, target_link_human_indices=swapped))
        rows = r.reference(demo_motion[0])
        np.testing.assert_array_equal(rows[-1], demo_motion[0, 4] - demo_motion[0, 0])

    def test_wrong_index_count_is_refused(self):
        base = _native.RetargetingConfig.from_file(
            str(config_path("dexpilot", "kova_compact_10dof")))
        with pytest.raises(ConfigError, match="target_link_human_indices"):
            Retargeter(variant(base, target_link_human_indices=[0, 4]))


class TestConfigErrors:
    """Mistakes in a configuration are ConfigErrors naming the key, what was found and the fix,
    found before anything is built (never the internal fault)."""

    @pytest.fixture()
    def write(self, tmp_path):
        shipped = config_path("dexpilot", "kova_five_finger_24dof").read_text()
        hands = Path(shipped_config("dexpilot", "kova_five_finger_24dof")).parents[2]
        base = shipped.replace("urdf_path: kova_five_finger_24dof/",
                               f"urdf_path: {hands}/assets/robots/hands/kova_five_finger_24dof/")

        def write(old, new):
            assert old in base
            path = tmp_path / "config.yml"
            path.write_text(base.replace(old, new))
            return path
        return write

    @pytest.mark.parametrize("old, new, fragments", [
        ("[th_tip,", "[th_tipp,", ["retargeting.finger_tip_link_names[0]",
                                   "Link 'th_tipp' not found in kova_five_finger_24dof.urdf",
                                   "did you mean 'th_tip'?", "Links: forearm, wrist, palm"]),
        ("scaling_factor: 1", "scaling_factor: '3.0'", ["retargeting.scaling_factor (line",
                                                        "must be a number", "'3.0'"]),
        ("low_pass_alpha: 0.7", "low_pass_alpha: 0.7x", ["retargeting.low_pass_alpha", "0.7x"]),
        ("normal_delta: 0.001", "has_joint_limits: no", ["retargeting.has_joint_limits", "no"]),
        ("scaling_factor: 1", "scaling_factr: 1", ["unknown key 'scaling_factr'",
                                                   "did you mean 'scaling_factor'?"]),
        ("[th_tip,", "[3, th_tip,", ["retargeting.finger_tip_link_names[0]"]),
        ("retargeting:", "kova: {solver: fast}\nretargeting:", ["kova.solver", "fast",
                                                                 "slsqp"]),
    ])
    def test_file_mistakes(self, write, old, new, fragments):
        with pytest.raises(ConfigError) as caught:
            Retargeter.from_config(write(old, new))
        message = str(caught.value)
        assert message.startswith(str(write(old, new)) + ": ")
        for fragment in fragments:
            assert fragment in message, (fragment, message)

    def test_every_issue_of_a_document_is_listed_with_its_parts(self):
        from kova_rs._core import config_issues

        issues = config_issues("retargeting:\n  type: vectr\n  scaling_factr: 2\n")
        by_key = {issue.key: issue for issue in issues}
        kind = by_key["retargeting.type"]
        assert (kind.severity, kind.found, kind.closest, kind.line) == ("error", "vectr",
                                                                        "vector", 2)
        assert kind.choices == ["vector", "position", "dexpilot"]
        assert by_key["retargeting.scaling_factr"].closest == "scaling_factor"

    def test_names_are_checked_for_configurations_made_in_code(self):
        base = _native.RetargetingConfig.from_file(
            str(config_path("position", "kova_five_finger_24dof")))
        links = list(base.target_link_names)
        links[1] = links[1] + "x"
        with pytest.raises(ConfigError, match=rf"'{links[1]}' not found.*did you mean"):
            Retargeter(variant(base, target_link_names=links))
        with pytest.raises(ConfigError, match="Joint 'WRJ3' not found.*did you mean 'WRJ2'"):
            Retargeter(variant(base, target_joint_names=["WRJ3"]))


def test_shipped_helpers():
    assert "kova_five_finger_24dof" in shipped_hands()
    assert shipped_config("vector", "kova_linkage_12dof").is_file()
    with pytest.raises(ValueError, match="no shipped vector configuration"):
        shipped_config("vector", "nope")
    assert isinstance(shipped_config("position", "kova_compact_10dof"), Path)
