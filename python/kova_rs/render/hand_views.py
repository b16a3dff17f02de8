"""Side and top views of the robot hand and the human hand, each finger in its own colour on
both: the robot's bones thick, the human's thin with dots at the keypoints.

:func:`render_frames` writes one picture of chosen frames (a column per frame, the side view
above the top view); :class:`HandArtists` draws one view and can be updated frame after frame
(animations).
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from kova_rs.fingers import FINGERS, HAND_BONES, colour, landmark_finger
from kova_rs.hand_scene import HandScene
from kova_rs.render.projection import VIEWS, View

if TYPE_CHECKING:
    from matplotlib.axes import Axes

    from kova_rs.retargeter import Retargeter

FloatArray = npt.NDArray[np.float64]

ROBOT_WIDTH = 5.0
HUMAN_WIDTH = 1.6
HUMAN_SHADE = 0.6
_HUMAN_BONE_FINGERS = [landmark_finger(b) for _, b in HAND_BONES]
_HUMAN_BONE_FINGERS[-3:] = [None, None, None]  # the knuckle line across the palm
_KEYPOINT_FINGERS = [landmark_finger(i) for i in range(21)]
MM = 1000.0


def scene_for(source: Retargeter | HandScene) -> HandScene:
    return source if isinstance(source, HandScene) else HandScene.from_retargeter(source)


class HandArtists:
    """The robot and the human hand in one view on ``ax``; :meth:`update` moves them."""

    def __init__(self, ax: Axes, view: View, scene: HandScene) -> None:
        from matplotlib.collections import LineCollection

        self.ax, self.view, self.scene = ax, view, scene
        self._robot_colours = np.array([colour(f) for f in scene.bone_fingers]).reshape(-1, 3)
        # the human's thin lines darker than the robot's bands, so that both read where they meet
        self._human_colours = np.array([colour(f) for f in _HUMAN_BONE_FINGERS]) * HUMAN_SHADE
        self.robot = LineCollection([], linewidths=ROBOT_WIDTH, capstyle="round", alpha=0.6,
                                    zorder=2)
        self.human = LineCollection([], linewidths=HUMAN_WIDTH, zorder=4)
        ax.add_collection(self.robot)
        ax.add_collection(self.human)
        self.joints = ax.scatter([], [], s=7, color="0.15", zorder=3, linewidths=0)
        self.keypoints = ax.scatter([], [], s=10, zorder=5, linewidths=0.4, edgecolors="white")
        self._keypoint_colours = np.array([colour(f) for f in _KEYPOINT_FINGERS]) * HUMAN_SHADE
        tip_index = {name: i for i, name in enumerate(scene.link_names)}
        self._tips = [tip_index[scene.fingers.tips[f]] for f in FINGERS if f in scene.fingers.tips]
        self.tips = ax.scatter([], [], s=34, zorder=3, linewidths=0.8, edgecolors="0.1")
        self._tip_colours = [colour(f) for f in FINGERS if f in scene.fingers.tips]
        ax.set_aspect("equal", adjustable="box")
        ax.grid(alpha=0.25, lw=0.5)
        ax.tick_params(labelsize=6, length=2, pad=1)

    @property
    def moving(self) -> list[Any]:
        """The artists :meth:`update` changes."""
        return [self.robot, self.human, self.joints, self.keypoints, self.tips]

    def update(self, link_points: FloatArray, keypoints: FloatArray | None) -> None:
        robot = self.view.project(link_points) * MM
        self._set_segments(self.robot, robot, self.scene.bones, self._robot_colours)
        self.joints.set_offsets(robot[:, :2])
        if self._tips:
            self.tips.set_offsets(robot[self._tips, :2])
            self.tips.set_facecolor(self._tip_colours)
        if keypoints is None:
            self.human.set_segments([])
            self.keypoints.set_offsets(np.zeros((0, 2)))
            return
        human = self.view.project(self.scene.human_points(keypoints)) * MM
        self._set_segments(self.human, human, HAND_BONES, self._human_colours)
        order = np.argsort(human[:, 2])
        self.keypoints.set_offsets(human[order, :2])
        self.keypoints.set_facecolor(self._keypoint_colours[order].tolist())

    @staticmethod
    def _set_segments(lines: Any, points: FloatArray, bones: Sequence[tuple[int, int]],
                      colours: FloatArray) -> None:
        if not bones:
            lines.set_segments([])
            return
        pairs = np.asarray(bones)
        segments = points[pairs]  # (bones, 2, 3)
        long_enough = np.linalg.norm(segments[:, 1, :2] - segments[:, 0, :2], axis=1) > 1e-3
        # far bones first, so that near ones are drawn over them
        order = [i for i in np.argsort(segments[:, :, 2].mean(axis=1)) if long_enough[i]]
        lines.set_segments(segments[order, :, :2])
        lines.set_color(colours[order])


def limits(points: Sequence[FloatArray], view: View, pad_mm: float = 10.0
           ) -> tuple[tuple[float, float], tuple[float, float]]:
    """Screen limits (mm) that hold every point set in ``view``."""
    flat = np.concatenate([view.project(p.reshape(-1, 3)) for p in points]) * MM
    low, high = flat.min(axis=0) - pad_mm, flat.max(axis=0) + pad_mm
    return (float(low[0]), float(high[0])), (float(low[1]), float(high[1]))


def legend_handles(scene: HandScene, human_scale: float | None = None) -> list[Any]:
    """The legend: the fingers, robot and human (with the scale the human is drawn at;
    ``human_scale`` overrides the scene's, 1.0 leaves it out)."""
    from matplotlib.lines import Line2D

    scale = scene.human_scale if human_scale is None else human_scale
    present = {f for f in scene.fingers.links.values() if f is not None}
    handles = [Line2D([], [], color=colour(f), lw=ROBOT_WIDTH, label=f)
               for f in FINGERS if f in present]
    handles.append(Line2D([], [], color="0.45", lw=ROBOT_WIDTH, alpha=0.6, label="robot"))
    handles.append(Line2D([], [], color="0.2", lw=HUMAN_WIDTH, marker="o", markersize=3,
                          label="human" + (f" (x{scale:g})" if scale != 1.0 else "")))
    return handles


@dataclass(frozen=True)
class Column:
    """One column of a picture: a robot pose (and the human keypoints it followed) drawn in
    the side view above the top view."""

    scene: HandScene
    qpos: FloatArray  #: (dof,)
    keypoints: FloatArray | None  #: (21, 3), or None: the robot alone
    title: str


def render_columns(columns: Sequence[Column], path: str | os.PathLike[str], *,
                   title: str | None = None) -> Path:
    """Side and top views of each column, on the same scale, written to ``path`` (PNG, SVG or
    PDF). The columns may show different configurations of one robot."""
    from kova_rs.plots import _pyplot, _save

    if not columns:
        raise ValueError("no frames to draw")
    links = [c.scene.link_points(c.qpos) for c in columns]
    humans = [c.scene.human_points(c.keypoints) for c in columns if c.keypoints is not None]
    # framed on the hand: the fingers, the wrist (origin) and the human, so that an arm or a
    # forearm above the palm (Shadow's 250 mm) runs out of the picture instead of shrinking it
    on_finger = np.array([f is not None for f in columns[0].scene.link_fingers])
    framed = [p[on_finger] if on_finger.any() else p for p in links]
    boxes = [limits([*framed, np.zeros((1, 3)), *humans], view) for view in VIEWS]
    # each row as tall as its content at the columns' width, so that no row is left with a
    # band of white around a flattened hand
    heights = [(y[1] - y[0]) / (x[1] - x[0]) for x, y in boxes]
    plt = _pyplot()
    fig, axes = plt.subplots(2, len(columns), squeeze=False, constrained_layout=True,
                             figsize=(2.5 * len(columns) + 0.6,
                                      min(2.5 * sum(heights), 9.0) + 1.6),
                             gridspec_kw={"height_ratios": heights})
    for row, (view, (xlim, ylim)) in enumerate(zip(VIEWS, boxes)):
        for col, column in enumerate(columns):
            ax = axes[row][col]
            HandArtists(ax, view, column.scene).update(links[col], column.keypoints)
            ax.set_xlim(*xlim)
            ax.set_ylim(*ylim)
            if col == 0:
                ax.set_ylabel(f"{view.title}\n{view.labels[1]}", fontsize=7)
            if row == 1:
                ax.set_xlabel(view.labels[0], fontsize=6)
            if row == 0:
                ax.set_title(column.title, fontsize=7.5)
    scales = {c.scene.human_scale for c in columns}
    fig.legend(handles=legend_handles(columns[0].scene, scales.pop() if len(scales) == 1
                                      else 1.0),
               loc="outside lower center", ncol=8, fontsize=7, frameon=False)
    if title:
        fig.suptitle(title, fontsize=9)
    return _save(fig, path)


def render_frames(source: Retargeter | HandScene, keypoints: npt.ArrayLike | None,
                  qpos: npt.ArrayLike, frames: Sequence[int], path: str | os.PathLike[str], *,
                  names: Sequence[str] | None = None, errors: npt.ArrayLike | None = None,
                  title: str | None = None) -> Path:
    """Side and top views of ``frames`` of a motion, written to ``path`` (PNG, SVG or PDF).

    ``source``: the retargeter (or its :class:`HandScene`); ``keypoints`` (N, 21, 3) the human
    motion it followed (None: the robot alone), ``qpos`` (N, dof) the robot's joint vectors.
    ``names``: one per frame, such as ``demo_keyframes`` gives ("fist", "pinch_index"); a
    pinch's column also shows the thumb-to-finger gap of robot and human. ``errors`` (N,
    targets): each column shows its frame's mean error.
    """
    scene = scene_for(source)
    q = np.asarray(qpos, dtype=np.float64)
    kp = None if keypoints is None else np.asarray(keypoints, dtype=np.float64)
    chosen = [int(f) for f in frames]
    if not chosen:
        raise ValueError("no frames to draw")
    if q.ndim != 2 or q.shape[1] != scene.model.dof:
        raise ValueError(f"qpos must have shape (N, {scene.model.dof}), got {q.shape}")
    count = len(q)
    if kp is not None and kp.shape != (count, 21, 3):
        raise ValueError(f"keypoints must have shape ({count}, 21, 3) like qpos, got {kp.shape}")
    bad = [f for f in chosen if not 0 <= f < count]
    if bad:
        raise ValueError(f"frame {bad[0]} is not in the motion (0 to {count - 1})")
    if names is not None and len(names) != len(chosen):
        raise ValueError(f"{len(names)} names for {len(chosen)} frames")
    columns = []
    for col, frame in enumerate(chosen):
        name = names[col] if names else None
        human = None if kp is None else kp[frame]
        heading = f"{name.replace('_', ' ')} (frame {frame})" if name else f"frame {frame}"
        lines = frame_notes(scene, q[frame], human, name,
                            None if errors is None else np.asarray(errors)[frame])
        columns.append(Column(scene, q[frame], human, "\n".join([heading, *lines])))
    return render_columns(columns, path, title=title)


def frame_notes(scene: HandScene, qpos: FloatArray, keypoints: FloatArray | None,
                pose: str | None, errors: npt.ArrayLike | None) -> list[str]:
    """What a column's title says of its frame: the mean of the frame's target ``errors`` and,
    at a pinch (``pose`` "pinch_<finger>"), the thumb-to-finger gap of robot and human."""
    lines = []
    if errors is not None:
        row = np.asarray(errors, dtype=np.float64)
        if row.size:
            lines.append(f"mean error {MM * float(row.mean()):.1f} mm")
    if pose and pose.startswith("pinch_") and keypoints is not None:
        finger = pose[len("pinch_"):]
        gap = scene.pinch_gaps(scene.link_points(qpos), keypoints).get(finger)
        if gap is not None:
            lines.append(f"gap robot {MM * gap[0]:.0f} mm, human {MM * gap[1]:.0f} mm")
    return lines


def demo_views(keyframes: Sequence[tuple[str, int]]) -> list[tuple[str, int]]:
    """The frames worth a picture among ``demo_keyframes()``: the open hand (once), the fist,
    each pinch and the spread hand."""
    seen: set[str] = set()
    chosen = []
    for name, frame in keyframes:
        if name not in seen:
            seen.add(name)
            chosen.append((name, frame))
    return chosen


def telling_frames(frame_errors: npt.ArrayLike, count: int = 5) -> list[int]:
    """Frames worth a picture in a recording without named poses: ``count`` evenly spaced from
    the first to the last, and the one with the largest mean error."""
    errors = np.asarray(frame_errors, dtype=np.float64)
    n = len(errors)
    if n == 0:
        return []
    chosen = {int(round(x)) for x in np.linspace(0, n - 1, min(count, n))}
    chosen.add(int(np.argmax(errors)))
    return sorted(chosen)
