"""The 3-D viewer in the browser (viser): the robot drawn from its geometry and placed by kova's
own forward kinematics, the human keypoints and bones over or beside it, each target's error as
a line coloured by its size, a timeline, a switch per layer and a readout of the frame's mean
error and pinch gaps.

Scene nodes: ``/robot/link_<i>`` carries the world pose of link ``i`` (``model.link_names``
order) and the link's meshes below it; ``/human`` the keypoints and bones; ``/errors`` the error
lines.
"""

from __future__ import annotations

import threading
from typing import Any

import numpy as np
import numpy.typing as npt

from kova_rs.fingers import FINGER_COLOURS, HAND_BONES, landmark_finger
from kova_rs.replay import Replay
from kova_rs.viewer.robot_geometry import RobotShape, robot_shape

FloatArray = npt.NDArray[np.float64]
SPEEDS = ("0.25x", "0.5x", "1x", "2x")
#: an error line is green at 0, yellow at half of this and red from this size on (metres)
ERROR_RED = 0.02
KEYPOINT_SIZE = 0.006
_GREEN, _YELLOW, _RED = np.array([44, 160, 44]), np.array([240, 200, 0]), np.array([214, 39, 40])
_HUMAN_BONE_FINGERS = [landmark_finger(b) for _, b in HAND_BONES]
_HUMAN_BONE_FINGERS[-3:] = [None, None, None]  # the knuckle line across the palm


def viser_module() -> Any:
    """viser, or :class:`~kova_rs.extras.MissingExtra` saying how to install it (trimesh, which
    reads the robot's meshes, too)."""
    from kova_rs.extras import require

    require("trimesh")
    return require("viser")


def error_colours(errors: FloatArray) -> npt.NDArray[np.uint8]:
    """(rows,) errors in metres -> (rows, 3) RGB: green, yellow at ERROR_RED / 2, red beyond."""
    t = np.clip(np.asarray(errors, dtype=np.float64) / ERROR_RED, 0.0, 1.0)[:, None]
    low = _GREEN + (_YELLOW - _GREEN) * np.clip(2 * t, 0, 1)
    colours = np.where(t < 0.5, low, _YELLOW + (_RED - _YELLOW) * np.clip(2 * t - 1, 0, 1))
    return np.asarray(np.round(colours), dtype=np.uint8)


def link_node(index: int) -> str:
    """The scene node that carries the pose of link ``index`` (``model.link_names`` order)."""
    return f"/robot/link_{index}"


class Viewer:
    """A running viewer of one replay; :meth:`stop` ends it.

    The server runs in threads of its own: from a notebook, open :attr:`url` in a browser and
    keep working; from a program, :meth:`wait` blocks until the viewer is stopped.
    """

    def __init__(self, replay: Replay, *, host: str = "127.0.0.1", port: int = 8080,
                 shape: RobotShape | None = None) -> None:
        viser = viser_module()
        self.replay = replay
        scene = replay.scene
        self._frames = len(replay.result)
        if self._frames == 0:
            raise ValueError("the result has no frames to show")
        self.shape = shape or robot_shape(scene.model, replay.retargeter.native.urdf_file)
        self.server = viser.ViserServer(host=host, port=port, verbose=False)
        self._so3 = viser.transforms.SO3
        self._lock = threading.RLock()
        self._stopped = threading.Event()
        self._playing = False
        self._shown = -1
        self._links = scene.link_points(replay.result.qpos[:: max(1, self._frames // 50)])
        try:
            self._build_scene()
            self._build_gui()
            self.show_frame(0)
        except BaseException:
            self.server.stop()
            raise
        self._player = threading.Thread(target=self._play_loop, name="kova-view-player",
                                        daemon=True)
        self._player.start()

    # -- the scene --------------------------------------------------------------------------

    def _build_scene(self) -> None:
        scene, api = self.replay.scene, self.server.scene
        api.set_up_direction("-z")  # the back of the hand up, the palm down
        size = float(np.ptp(self._links.reshape(-1, 3), axis=0).max()) or 0.2
        api.add_grid("/grid", width=4 * size, height=4 * size, cell_size=0.01,
                     section_size=0.05, position=(0.0, 0.0, 0.6 * size))
        self._nodes = []
        for i, link in enumerate(scene.link_names):
            node = api.add_frame(link_node(i), show_axes=False)
            for k, piece in enumerate(self.shape.meshes.get(link, [])):
                api.add_mesh_simple(f"{link_node(i)}/mesh_{k}", piece.vertices, piece.faces,
                                    color=piece.colour, opacity=piece.opacity
                                    if piece.opacity < 1.0 else None, flat_shading=False)
            self._nodes.append(node)
        self._human = api.add_frame("/human", show_axes=False)
        bones = len(HAND_BONES)
        bone_colours = np.array([FINGER_COLOURS[f] for f in _HUMAN_BONE_FINGERS], dtype=np.uint8)
        self._bones = api.add_line_segments(
            "/human/bones", np.zeros((bones, 2, 3)),
            np.repeat(bone_colours[:, None, :], 2, axis=1), thickness=0.004)
        point_colours = np.array([FINGER_COLOURS[landmark_finger(i)] for i in range(21)],
                                 dtype=np.uint8)
        self._keypoints = api.add_point_cloud("/human/keypoints", np.zeros((21, 3)),
                                              point_colours, point_size=KEYPOINT_SIZE,
                                              point_shape="circle", point_shading="flat")
        rows = max(1, len(scene.target_rows))
        self._errors = api.add_line_segments("/errors", np.zeros((rows, 2, 3)),
                                             np.zeros((rows, 2, 3), dtype=np.uint8),
                                             thickness=0.0015)
        has_human = self.replay.keypoints is not None
        self._human.visible = has_human
        self._errors.visible = has_human
        centre = 0.5 * (self._links.reshape(-1, 3).min(axis=0) +
                        self._links.reshape(-1, 3).max(axis=0))
        self.server.initial_camera.look_at = tuple(centre)
        self.server.initial_camera.position = tuple(centre + size * np.array([-0.45, 0.75, -1.1]))
        self.server.initial_camera.up = (0.0, 0.0, -1.0)

    def _build_gui(self) -> None:
        viser = viser_module()
        gui, result = self.server.gui, self.replay.result
        gui.add_markdown(f"**{result.method or 'retargeting'}** on "
                         f"`{self.replay.retargeter.model.name}`, {len(result)} frames at "
                         f"{self.replay.fps:g} fps")
        with gui.add_folder("Timeline"):
            self._play = gui.add_button("Play", icon=viser.Icon.PLAYER_PLAY)
            self._slider = gui.add_slider("Frame", 0, max(1, self._frames - 1), 1, 0)
            self._step = gui.add_button_group("Step", ("< frame", "frame >"))
            self._speed = gui.add_dropdown("Speed", SPEEDS, initial_value="1x")
        with gui.add_folder("Layers"):
            self._show_robot = gui.add_checkbox("Robot", True)
            self._show_human = gui.add_checkbox("Human keypoints", True,
                                                disabled=self.replay.keypoints is None)
            self._show_errors = gui.add_checkbox("Target errors", True,
                                                 disabled=self.replay.keypoints is None)
            self._beside = gui.add_checkbox("Human beside the robot", False)
        self._readout = gui.add_markdown("")
        if self.replay.missing:
            gui.add_markdown(f"No human keypoints: {self.replay.missing}.")
        if self.shape.problems:
            gui.add_markdown("Drawn as capsules: " + "; ".join(self.shape.problems[:5]))

        self._play.on_click(lambda _: self.toggle_play())
        self._slider.on_update(lambda _: self.show_frame(int(self._slider.value)))
        self._step.on_click(lambda event: self.step(1 if event.target.value == "frame >"
                                                    else -1))
        for box in (self._show_robot, self._show_human, self._show_errors, self._beside):
            box.on_update(lambda _: self._apply_layers())

    def _apply_layers(self) -> None:
        has_human = self.replay.keypoints is not None
        with self._lock, self.server.atomic():
            for node in self._nodes:
                node.visible = bool(self._show_robot.value)
            self._human.visible = has_human and bool(self._show_human.value)
            self._errors.visible = has_human and bool(self._show_errors.value)
            size = float(np.ptp(self._links[..., 1]))
            self._human.position = (0.0, 1.3 * size if self._beside.value else 0.0, 0.0)

    # -- frames -----------------------------------------------------------------------------

    @property
    def url(self) -> str:
        host = self.server.get_host()
        return f"http://{'localhost' if host in ('0.0.0.0', '::') else host}:" \
               f"{self.server.get_port()}"

    @property
    def frame(self) -> int:
        return self._shown

    def show_frame(self, frame: int) -> None:
        """Moves the whole scene to ``frame`` (the timeline follows)."""
        frame = int(np.clip(frame, 0, self._frames - 1))
        replay, scene = self.replay, self.replay.scene
        with self._lock:
            if frame == self._shown:
                return
            self._shown = frame
            transforms = scene.link_transforms(replay.result.qpos[frame])
            points = np.ascontiguousarray(transforms[:, :3, 3])
            with self.server.atomic():
                for node, pose in zip(self._nodes, transforms):
                    node.position = pose[:3, 3]
                    node.wxyz = self._so3.from_matrix(pose[:3, :3]).wxyz
                if replay.keypoints is not None:
                    human = scene.human_points(replay.keypoints[frame])
                    self._keypoints.points = human
                    self._bones.points = human[np.asarray(HAND_BONES)]
                    robot, wanted = scene.targets(points, replay.keypoints[frame])
                    if len(robot):
                        self._errors.points = np.stack([robot, wanted], axis=1)
                        colours = error_colours(replay.result.errors[frame])
                        self._errors.colors = np.repeat(colours[:, None, :], 2, axis=1)
                if int(self._slider.value) != frame:
                    self._slider.value = frame
                self._readout.content = self._readout_text(frame, points)

    def _readout_text(self, frame: int, points: FloatArray) -> str:
        replay = self.replay
        errors = replay.result.errors[frame]
        what = "distance to the keypoints" if not replay.scene.vectors else "vector error"
        lines = [f"**Frame {frame}** of {self._frames} ({frame / replay.fps:.2f} s)",
                 "",
                 f"Mean {what}: **{1000 * float(errors.mean()) if errors.size else 0:.1f} mm**"]
        if replay.keypoints is not None:
            gaps = replay.scene.pinch_gaps(points, replay.keypoints[frame])
            if gaps:
                lines += ["", "| pinch gap | robot | human |", "|---|---:|---:|"]
                lines += [f"| thumb–{finger} | {1000 * r:.0f} mm | {1000 * h:.0f} mm |"
                          for finger, (r, h) in gaps.items()]
        return "\n".join(lines)

    def step(self, by: int) -> None:
        self._set_playing(False)
        self.show_frame(self._shown + by)

    def toggle_play(self) -> None:
        self._set_playing(not self._playing)

    def _set_playing(self, playing: bool) -> None:
        viser = viser_module()
        self._playing = playing
        self._play.label = "Pause" if playing else "Play"
        self._play.icon = viser.Icon.PLAYER_PAUSE if playing else viser.Icon.PLAYER_PLAY

    def _play_loop(self) -> None:
        while not self._stopped.is_set():
            speed = float(str(self._speed.value).rstrip("x"))
            self._stopped.wait(1.0 / (self.replay.fps * speed))
            if self._playing and not self._stopped.is_set():
                self._slider.value = (self._shown + 1) % self._frames

    # -- life -------------------------------------------------------------------------------

    def wait(self) -> None:
        """Blocks until :meth:`stop` (or Ctrl-C, which stops the viewer)."""
        try:
            while not self._stopped.wait(0.5):
                pass
        finally:
            self.stop()

    def stop(self) -> None:
        if self._stopped.is_set():
            return
        self._stopped.set()
        self._player.join(timeout=2.0)
        self.server.stop()

    def __enter__(self) -> Viewer:
        return self

    def __exit__(self, *_: object) -> None:
        self.stop()


def view(result: Any, retargeter: Any = None, keypoints: Any = None, *,
         config: Any = None, host: str = "127.0.0.1", port: int = 8080) -> Viewer:
    """Shows ``result`` (a RetargetResult or a result file) in the browser and returns the
    running :class:`Viewer` (open ``viewer.url``; ``viewer.stop()`` ends it).

    ``retargeter``: the Retargeter that made the result (default: built from ``config`` or the
    configuration the result names); ``keypoints``: the human motion (N, 21, 3) or its file
    (default: the recording the result names).
    """
    from kova_rs.replay import replay

    return Viewer(replay(result, retargeter=retargeter, config=config, keypoints=keypoints),
                  host=host, port=port)

