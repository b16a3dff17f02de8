"""The browser viewer: the robot's shape from its file, the scene placed by kova's own forward
kinematics, and `kova view` serving it."""

import io
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.request

import numpy as np
import pytest
from kova_rs.motion_io import save_result
from kova_rs.retargeter import Retargeter
from test_cli import assert_user_error, kova
from tool_support import config_path, demo_motion  # noqa: F401

pytest.importorskip("viser", reason="the viewer needs the view extra (viser)")
trimesh = pytest.importorskip("trimesh", reason="the viewer needs the view extra (trimesh)")

HAND = "kova_five_finger_24dof"

URDF = """<robot name="shapes">
  <link name="base"><visual><geometry><box size="0.04 0.02 0.01"/></geometry>
    <material name="red"><color rgba="1 0 0 0.5"/></material></visual></link>
  <link name="found"><visual><origin xyz="0 0 0.01"/>
    <geometry><mesh filename="package://parts/meshes/part.stl" scale="2 2 2"/></geometry>
  </visual></link>
  <link name="lost"><visual><geometry><mesh filename="meshes/nothere.stl"/></geometry></visual>
  </link>
  <link name="bare"/>
  <joint name="a" type="revolute"><parent link="base"/><child link="found"/>
    <origin xyz="0.03 0 0"/><axis xyz="0 0 1"/><limit lower="-1" upper="1"/></joint>
  <joint name="b" type="fixed"><parent link="found"/><child link="lost"/>
    <origin xyz="0.03 0 0"/></joint>
  <joint name="c" type="fixed"><parent link="lost"/><child link="bare"/>
    <origin xyz="0.02 0 0"/></joint>
</robot>"""


def test_robot_shape_from_its_file(tmp_path, monkeypatch):
    from kova_rs import _core
    from kova_rs.viewer.robot_geometry import robot_shape

    part = tmp_path / "ros" / "parts"
    (part / "meshes").mkdir(parents=True)
    (part / "package.xml").write_text("<package><name>parts</name></package>")
    trimesh.creation.box(extents=(0.01, 0.01, 0.01)).export(part / "meshes" / "part.stl")
    monkeypatch.setenv("ROS_PACKAGE_PATH", str(tmp_path / "ros"))
    (tmp_path / "robot.urdf").write_text(URDF)
    model = _core.RobotModel.from_file(tmp_path / "robot.urdf")
    [box] = model.visuals("base")
    assert (box.kind, list(box.size), box.rgba) == ("box", [0.04, 0.02, 0.01],
                                                    [1.0, 0.0, 0.0, 0.5])
    shape = robot_shape(model, tmp_path / "robot.urdf")
    [base], [found] = shape.meshes["base"], shape.meshes["found"]
    np.testing.assert_allclose(np.ptp(base.vertices, axis=0), [0.04, 0.02, 0.01], atol=1e-6)
    assert (base.colour, base.opacity) == ((255, 0, 0), 0.5)
    # the mesh read through ROS_PACKAGE_PATH, scaled and placed at its origin
    np.testing.assert_allclose(found.vertices.min(axis=0), [-0.01, -0.01, 0.0], atol=1e-6)
    assert found.what == "mesh part.stl"
    # a missing file: capsules instead, and said so; a link without visuals stays invisible
    assert [p.what for p in shape.meshes["lost"]] == ["capsule"]
    assert len(shape.problems) == 1 and "nothere.stl" in shape.problems[0]
    assert shape.meshes["bare"] == []
    with pytest.raises(ValueError, match="nowhere"):
        model.visuals("nowhere")


def test_robot_without_geometry_is_drawn_as_capsules(demo_motion):  # noqa: F811
    from kova_rs.viewer.robot_geometry import robot_shape

    retargeter = Retargeter.from_config(config_path("vector", HAND))
    shape = robot_shape(retargeter.model, retargeter.native.urdf_file)
    assert set(shape.meshes) == set(retargeter.model.link_names) and not shape.problems
    assert all(shape.meshes[link] for link in retargeter.model.link_names)


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="module")
def viewer(demo_motion):  # noqa: F811
    from kova_rs import view

    retargeter = Retargeter.from_config(config_path("vector", HAND))
    result = retargeter.retarget_sequence(demo_motion[:60])
    with view(result, retargeter, demo_motion[:60], port=_free_port()) as running:
        yield running


def test_viewer_places_the_robot_by_kovas_kinematics(viewer):
    from viser.transforms import SO3

    model = viewer.replay.retargeter.model
    for frame in (0, 31, 59):
        viewer.show_frame(frame)
        assert viewer.frame == frame and viewer._slider.value == frame
        poses = model.forward_kinematics(viewer.replay.result.qpos[frame])
        for node, pose in zip(viewer._nodes, poses):
            np.testing.assert_allclose(node.position, pose[:3, 3], atol=1e-9)
            np.testing.assert_allclose(SO3(np.asarray(node.wxyz)).as_matrix(), pose[:3, :3],
                                       atol=1e-9)
        human = viewer.replay.scene.human_points(viewer.replay.keypoints[frame])
        # viser keeps point clouds in half precision: 0.1 mm
        np.testing.assert_allclose(viewer._keypoints.points, human, atol=1e-4)
    assert "Mean vector error" in viewer._readout.content
    assert "thumb–index" in viewer._readout.content


def test_viewer_serves_its_page(viewer):
    with urllib.request.urlopen(viewer.url, timeout=30) as page:
        assert page.status == 200 and b"<html" in page.read().lower()


def test_kova_view_serves_until_stopped(tmp_path, demo_motion):  # noqa: F811
    np.save(tmp_path / "m.npy", demo_motion[:20])
    result = Retargeter.from_config(config_path("position", HAND)).retarget_sequence(
        demo_motion[:20])
    result.source = str(tmp_path / "m.npy")
    save_result(tmp_path / "r.npz", result)
    port = _free_port()
    with subprocess.Popen([sys.executable, "-m", "kova_rs", "view", str(tmp_path / "r.npz"),
                           "--port", str(port)], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True) as server:
        try:
            lines = iter(server.stdout.readline, "")
            assert any(line.startswith("kova view: http://127.0.0.1:") for line in lines)
            with urllib.request.urlopen(f"http://127.0.0.1:{port}", timeout=30) as page:
                assert page.status == 200
        finally:
            server.send_signal(signal.SIGTERM)
        assert server.wait(timeout=30) == 0, server.stderr.read()
    assert_user_error(kova("view", tmp_path / "nothere.npz"), "nothere.npz")
    assert_user_error(kova("view", "--port", "70000", tmp_path / "r.npz"), "--port 70000")


def _scene_pixels(page):
    from PIL import Image

    shot = Image.open(io.BytesIO(page.screenshot())).convert("RGB")
    # left of the control panel, below the browser's notices
    return np.asarray(shot, dtype=np.int32)[160:, :560]


def _robot_pixels(pixels):
    # the robot's lit blue-grey, which neither the white page nor the grey grid has
    r, g, b = pixels[..., 0], pixels[..., 1], pixels[..., 2]
    return int(((b - r >= 15) & (b - g >= 8) & (r > 100)).sum())


def test_browser_draws_robot_and_keypoints_and_follows_the_timeline(viewer):
    """A real headless browser (Debian's chromium, `make browser-deps`); the screenshots are
    kept under build/ for whoever wants to look."""
    from conftest import REPO
    from kova_rs.fingers import FINGER_COLOURS, FINGERS

    sync_api = pytest.importorskip("playwright.sync_api", reason="needs playwright")
    chromium = shutil.which("chromium")
    if chromium is None:
        pytest.skip("needs Debian's chromium (make browser-deps)")
    shots = REPO / "build" / "view"
    shots.mkdir(parents=True, exist_ok=True)
    viewer.show_frame(0)
    with sync_api.sync_playwright() as playwright:
        browser = playwright.chromium.launch(
            executable_path=chromium,
            args=["--no-sandbox", "--use-gl=swiftshader", "--enable-unsafe-swiftshader"])
        try:
            page = browser.new_page(viewport={"width": 900, "height": 650})
            page.goto(viewer.url)
            deadline = time.monotonic() + 120
            while _robot_pixels(first := _scene_pixels(page)) < 1000:
                assert time.monotonic() < deadline, "the scene was not drawn in 120 s"
                time.sleep(1)
            time.sleep(2)  # the keypoints arrive after the meshes
            first = _scene_pixels(page)
            page.screenshot(path=shots / "frame0.png")
            near = {f: int((np.abs(first - FINGER_COLOURS[f]).max(axis=-1) < 40).sum())
                    for f in FINGERS}
            assert sum(count > 50 for count in near.values()) >= 4, near
            viewer.show_frame(30)
            while np.count_nonzero(np.abs(_scene_pixels(page) - first).max(axis=-1) > 30) < 2000:
                assert time.monotonic() < deadline, "the picture did not follow the timeline"
                time.sleep(0.5)
            page.screenshot(path=shots / "frame30.png")
        finally:
            browser.close()
