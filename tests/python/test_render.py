"""Renders of a result: the scene they draw is kova's own (forward kinematics, errors), the
fingers keep one colour on robot and human, and the files written are what was asked for."""

from dataclasses import replace

import numpy as np
import pytest
from kova_rs.fingers import FINGER_COLOURS, FINGERS
from kova_rs.hand_scene import HandScene
from kova_rs.motion_io import load_result, save_result
from kova_rs.retargeter import Retargeter
from test_cli import assert_user_error, kova
from tool_support import config_path, demo_motion, urdf_path  # noqa: F401

pytest.importorskip("matplotlib", reason="renders need the plot extra (matplotlib)")

HAND = "kova_five_finger_24dof"
FRAMES = 40


@pytest.fixture(scope="module", params=["position", "vector", "dexpilot"])
def made(request, demo_motion, tmp_path_factory):  # noqa: F811
    config = config_path(request.param, HAND)
    if request.param == "vector":  # vectors scaled, so that the drawn targets must scale too
        text = config.read_text().replace("scaling_factor: 1\n", "scaling_factor: 1.2\n")
        text = text.replace(f"urdf_path: {HAND}/{HAND}.urdf", f"urdf_path: {urdf_path(HAND)}")
        config = tmp_path_factory.mktemp("scaled") / "vector.yml"
        config.write_text(text)
    retargeter = Retargeter.from_config(config)
    assert retargeter.native.scaling_factor == (1.2 if request.param == "vector" else 1.0)
    motion = demo_motion[:FRAMES]
    return retargeter, motion, retargeter.retarget_sequence(motion)


def test_scene_is_kovas_own_kinematics_and_errors(made):
    retargeter, motion, result = made
    scene = HandScene.from_retargeter(retargeter)
    for frame in (0, FRAMES // 2, FRAMES - 1):
        points = scene.link_points(result.qpos[frame])
        np.testing.assert_allclose(
            points, retargeter.model.link_positions(result.qpos[frame], scene.link_names))
        robot, wanted = scene.targets(points, motion[frame])
        # the error lines drawn are exactly the errors the solver reports
        np.testing.assert_allclose(np.linalg.norm(robot - wanted, axis=1),
                                   result.errors[frame], atol=1e-9)


def test_every_finger_has_its_tip_and_joints(made):
    retargeter, _, _ = made
    fingers = HandScene.from_retargeter(retargeter).fingers
    assert list(fingers.tips) == list(FINGERS)
    for finger, tip in fingers.tips.items():
        assert fingers.links[tip] == finger
    groups = fingers.joints_by_finger(retargeter.joint_names)
    assert [f for f, _ in groups][:5] == list(FINGERS)
    assert sorted(i for _, members in groups for i in members) == list(range(retargeter.dof))


def _has_colour(pixels, rgb, tolerance=40):
    return bool((np.abs(pixels[..., :3] * 255 - np.asarray(rgb)).max(axis=-1) < tolerance).any())


def test_side_and_top_views_show_every_finger(tmp_path, made):
    from kova_rs.render.hand_views import render_frames
    from matplotlib.image import imread

    retargeter, motion, result = made
    path = render_frames(retargeter, motion, result.qpos, [0, FRAMES - 1], tmp_path / "v.png",
                         names=["open", "pinch_index"], errors=result.errors)
    pixels = imread(path)
    for finger in FINGERS:
        assert _has_colour(pixels, FINGER_COLOURS[finger]), finger
    with pytest.raises(ValueError, match=f"frame {FRAMES} is not in the motion"):
        render_frames(retargeter, motion, result.qpos, [FRAMES], tmp_path / "w.png")
    with pytest.raises(ValueError, match=r"keypoints must have shape \(40, 21, 3\)"):
        render_frames(retargeter, motion[:3], result.qpos, [0], tmp_path / "w.png")


def test_gif_keeps_the_motion_speed(tmp_path, made, monkeypatch):
    from kova_rs.render import animation
    from PIL import Image

    retargeter, motion, result = made
    path = animation.render_animation(retargeter, motion, result.qpos, tmp_path / "a.gif",
                                      fps=10, source_fps=30, frames=range(0, 30))
    with Image.open(path) as gif:
        assert (gif.n_frames, gif.info["duration"]) == (10, 100)
    assert not list(tmp_path.glob(".*partial"))
    monkeypatch.setattr(animation, "ffmpeg", lambda: None)
    with pytest.raises(ValueError, match="MP4 needs ffmpeg"):
        animation.render_animation(retargeter, motion, result.qpos, tmp_path / "a.mp4")
    assert not (tmp_path / "a.mp4").exists()


@pytest.mark.parametrize(("text", "expected"), [
    (None, range(10)), ("2:5", range(2, 5)), (":3", range(3)), ("-2:", range(8, 10))])
def test_frame_ranges(text, expected):
    from kova_rs.render.animation import frame_range

    assert frame_range(text, 10) == expected


@pytest.mark.parametrize(("text", "problem"), [
    ("5", "expected A:B"), ("a:3", "whole numbers"), ("7:7", "select nothing")])
def test_bad_frame_ranges(text, problem):
    from kova_rs.render.animation import frame_range

    with pytest.raises(ValueError, match=problem):
        frame_range(text, 10)


def test_result_file_remembers_what_rebuilds_the_scene(tmp_path, made):
    result = replace(made[2], fps=30.0, source=str(tmp_path / "m.npy"), hand_frame="left")
    back = load_result(save_result(tmp_path / "r.npz", result))
    assert (back.method, back.fps, back.source, back.hand_frame) == (
        result.method, 30.0, result.source, "left")
    assert back.config == result.config and back.target_names == result.target_names
    np.testing.assert_array_equal(back.qpos, result.qpos)


def test_kova_render_writes_a_gif_of_a_result(tmp_path, made):
    from PIL import Image

    retargeter, motion, result = made
    np.save(tmp_path / "motion.npy", motion)
    save_result(tmp_path / "r.npz", replace(result, source=str(tmp_path / "motion.npy"),
                                            fps=30.0))
    run = kova("render", tmp_path / "r.npz", "--out", tmp_path / "clip.gif", "--frames", "0:20")
    assert run.returncode == 0, run.stderr
    with Image.open(tmp_path / "clip.gif") as gif:
        assert gif.n_frames == 10  # 15 fps of a 30 fps recording
    assert_user_error(kova("render", tmp_path / "r.npz", "--out", tmp_path / "c.gif",
                           "--frames", "30:99x"), "whole numbers")
    save_result(tmp_path / "gone.npz", replace(result, source=str(tmp_path / "gone.npy")))
    run = kova("render", tmp_path / "gone.npz", "--out", tmp_path / "robot.gif", "--frames", ":2")
    assert run.returncode == 0 and "no human keypoints" in run.stderr, run.stderr
    save_result(tmp_path / "bare.npz", replace(result, config=None))
    assert_user_error(kova("render", tmp_path / "bare.npz", "--out", tmp_path / "c.gif"),
                      "bare.npz", "--config")
    assert not (tmp_path / "c.gif").exists()


def test_missing_pillow_names_the_extra(tmp_path, monkeypatch, made):
    import sys

    from kova_rs.extras import MissingExtra
    from kova_rs.render.animation import render_animation

    retargeter, motion, result = made
    monkeypatch.setitem(sys.modules, "PIL", None)  # import PIL now fails
    with pytest.raises(MissingExtra, match=r"pip install 'kova_rs\[plot\]'"):
        render_animation(retargeter, motion, result.qpos, tmp_path / "a.gif")
