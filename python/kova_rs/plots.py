"""Pictures of a retargeted motion (matplotlib, drawn off-screen with the Agg backend).

- :func:`plot_joint_angles`: every joint's angle over time, one panel per finger;
- :func:`plot_errors`: the per-frame retargeting error of each target;
- :func:`plot_frames`: human keypoints beside the robot's link positions, in 3-D, for chosen
  frames;
- :func:`plot_summary`: joint angles and errors in one picture.

matplotlib (the ``plot`` extra) is imported only when a plot is made; without it an ImportError
says how to install it. Pictures are written atomically, like every file kova writes.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from kova_rs.fingers import FingerMap
    from kova_rs.result import RetargetResult
    from kova_rs.retargeter import FloatArray, Retargeter

from kova_rs.atomic_write import write_atomically
from kova_rs.extras import require

# landmark chains of the 21-landmark hand, for drawing
HAND_CHAINS = [(0, 1, 2, 3, 4), (0, 5, 6, 7, 8), (0, 9, 10, 11, 12), (0, 13, 14, 15, 16),
               (0, 17, 18, 19, 20), (5, 9, 13, 17)]


def _pyplot() -> Any:
    matplotlib = require("matplotlib")  # MissingExtra (an ImportError) names the extra
    matplotlib.use("Agg", force=True)
    import matplotlib.pyplot as plt

    return plt


def _save(fig: Figure, path: str | os.PathLike[str]) -> Path:
    """Writes the figure atomically; ValueError ``PATH: PROBLEM`` when it cannot be written."""
    path = Path(os.fspath(path))
    try:
        if not path.parent.is_dir():
            raise ValueError(f"{path}: the folder {path.parent} does not exist")
        fmt = path.suffix[1:].lower() or "png"
        write_atomically(path, lambda handle: fig.savefig(handle, format=fmt, dpi=110,
                                                          bbox_inches="tight"))
    finally:
        _pyplot().close(fig)
    return path


def _time(n: int, fps: float | None) -> tuple[FloatArray, str]:
    if fps:
        return np.arange(n) / fps, "time [s]"
    return np.arange(n, dtype=float), "frame"


def _draw_joint_angles(ax: Axes, result: RetargetResult, fps: float | None) -> None:
    t, label = _time(len(result.qpos), fps)
    names = list(result.joint_names)
    cmap = _pyplot().get_cmap("tab20")
    for j, name in enumerate(names):
        ax.plot(t, result.qpos[:, j], lw=1.2, color=cmap(j % 20), label=name,
                ls="-" if j < 20 else "--")
    ax.set_xlabel(label)
    ax.set_ylabel("joint position [rad or m]")
    ax.set_title(f"Joint trajectories ({result.method or 'retargeting'}, {len(names)} DOF)")
    ax.grid(alpha=0.3)
    ax.legend(fontsize=7, ncol=1 + len(names) // 14, loc="upper left",
              bbox_to_anchor=(1.01, 1.0), frameon=False)


def _draw_errors(ax: Axes, result: RetargetResult, fps: float | None) -> None:
    t, label = _time(len(result.errors), fps)
    errors_mm = 1000.0 * np.asarray(result.errors)
    names = list(result.target_names) or [f"target {i}" for i in range(errors_mm.shape[1])]
    for k in range(errors_mm.shape[1]):
        ax.plot(t, errors_mm[:, k], lw=0.9, alpha=0.7, label=names[k])
    ax.plot(t, errors_mm.mean(axis=1), color="black", lw=2.0, label="mean")
    what = "distance to keypoint" if result.method == "position" else "vector error length"
    ax.set_xlabel(label)
    ax.set_ylabel(f"{what} [mm]")
    ax.set_title(f"Retargeting error per frame (mean {errors_mm.mean():.1f} mm)")
    ax.grid(alpha=0.3)
    ax.legend(fontsize=6, ncol=1 + len(names) // 14, loc="upper left",
              bbox_to_anchor=(1.01, 1.0), frameon=False)


def _finger_groups(result: RetargetResult, fingers: FingerMap | None
                   ) -> list[tuple[str | None, list[int]]] | None:
    """The result's joints grouped by finger: from ``fingers``, else from the configuration the
    result names (None when neither is there, or the configuration cannot be read)."""
    if fingers is None and result.config is not None:
        from kova_rs.hand_scene import HandScene
        from kova_rs.retargeter import Retargeter

        try:
            fingers = HandScene.from_retargeter(Retargeter.from_config(result.config)).fingers
        except (ValueError, OSError, RuntimeError):
            return None
    if fingers is None:
        return None
    return fingers.joints_by_finger(list(result.joint_names))


def _draw_finger_joints(axes: Sequence[Axes], groups: list[tuple[str | None, list[int]]],
                        result: RetargetResult, fps: float | None) -> None:
    from kova_rs.fingers import colour

    t, label = _time(len(result.qpos), fps)
    names = list(result.joint_names)
    for ax, (finger, members) in zip(axes, groups):
        base = np.asarray(colour(finger))
        for k, j in enumerate(members):
            # shades of the finger's colour, from the palm outwards
            shade = 0.55 + 0.9 * k / max(1, len(members) - 1) if len(members) > 1 else 1.0
            ax.plot(t, result.qpos[:, j], lw=1.4, color=np.clip(base * shade, 0, 1),
                    label=names[j])
        ax.set_title(f"{finger or 'other joints'} ({len(members)})", fontsize=9,
                     color=colour(finger), loc="left")
        ax.grid(alpha=0.3)
        ax.tick_params(labelsize=7)
        ax.legend(fontsize=6.5, loc="upper left", bbox_to_anchor=(1.0, 1.0), frameon=False)
    for ax in axes[len(groups):]:
        ax.set_visible(False)
    for ax in axes:
        ax.set_xlabel(label, fontsize=7)


def _joint_figure(result: RetargetResult, groups: list[tuple[str | None, list[int]]],
                  fps: float | None, extra_rows: int = 0) -> tuple[Figure, list[Axes]]:
    plt = _pyplot()
    rows = (len(groups) + 1) // 2
    fig = plt.figure(figsize=(12, 2.3 * rows + 3.2 * extra_rows), constrained_layout=True)
    grid = fig.add_gridspec(rows + extra_rows, 2)
    axes = [fig.add_subplot(grid[i // 2, i % 2]) for i in range(2 * rows)]
    for ax in axes[1:]:
        ax.sharex(axes[0])
    _draw_finger_joints(axes, groups, result, fps)
    fig.suptitle(f"Joint positions per finger [rad or m] ({result.method or 'retargeting'}, "
                 f"{len(result.joint_names)} DOF)", fontsize=10)
    extra = [fig.add_subplot(grid[rows + i, :]) for i in range(extra_rows)]
    return fig, extra


def plot_joint_angles(result: RetargetResult, path: str | os.PathLike[str],
                      fps: float | None = None, fingers: FingerMap | None = None) -> Path:
    """Every joint of ``result`` over time, one panel per finger (from ``fingers``, else from
    the result's configuration), written to ``path``."""
    fps = fps or result.fps
    groups = _finger_groups(result, fingers)
    if groups is None:
        plt = _pyplot()
        fig, ax = plt.subplots(figsize=(11, 5))
        _draw_joint_angles(ax, result, fps)
        return _save(fig, path)
    fig, _ = _joint_figure(result, groups, fps)
    return _save(fig, path)


def plot_errors(result: RetargetResult, path: str | os.PathLike[str],
                fps: float | None = None) -> Path:
    """Per-frame retargeting error of each target and their mean, written to ``path``."""
    plt = _pyplot()
    fig, ax = plt.subplots(figsize=(11, 4.5))
    _draw_errors(ax, result, fps or result.fps)
    return _save(fig, path)


def plot_summary(result: RetargetResult, path: str | os.PathLike[str],
                 fps: float | None = None, fingers: FingerMap | None = None) -> Path:
    """Joint positions (per finger when known) above, errors below, in one picture."""
    fps = fps or result.fps
    groups = _finger_groups(result, fingers)
    if groups is None:
        plt = _pyplot()
        fig, (top, bottom) = plt.subplots(2, 1, figsize=(11, 8.5), sharex=True)
        _draw_joint_angles(top, result, fps)
        _draw_errors(bottom, result, fps)
        return _save(fig, path)
    fig, (bottom,) = _joint_figure(result, groups, fps, extra_rows=1)
    _draw_errors(bottom, result, fps)
    return _save(fig, path)


def plot_frames(keypoints: npt.ArrayLike, link_positions: npt.ArrayLike, frames: Iterable[int],
                path: str | os.PathLike[str], *,
                edges: Sequence[tuple[int, int]] | None = None,
                link_names: Sequence[str] | None = None,
                targets: Sequence[int] | None = None,
                titles: Sequence[str] | None = None) -> Path:
    """Human keypoints (N, 21, 3) beside robot link positions (N, links, 3) for ``frames``.

    ``edges``: (i, j) pairs of link indices drawn as bones of the robot; ``targets``: indices
    of the links that are retargeting targets (drawn larger); ``titles``: one per frame.
    """
    plt = _pyplot()
    human_points = np.asarray(keypoints, dtype=float)
    links = np.asarray(link_positions, dtype=float)
    frames = list(frames)
    if not frames:
        raise ValueError("no frames to draw")
    fig = plt.figure(figsize=(4.6 * len(frames), 5.0))
    everything = np.concatenate([human_points[frames].reshape(-1, 3),
                                 links[frames].reshape(-1, 3)])
    centre = 0.5 * (everything.max(axis=0) + everything.min(axis=0))
    half = 0.5 * float(np.max(everything.max(axis=0) - everything.min(axis=0))) + 0.01
    for col, f in enumerate(frames):
        ax = fig.add_subplot(1, len(frames), col + 1, projection="3d")
        human = human_points[f]
        for chain in HAND_CHAINS:
            ax.plot(*human[list(chain)].T, color="tab:orange", lw=2)
        ax.scatter(*human.T, color="tab:orange", s=10, label="human keypoints")
        robot = links[f]
        for i, j in edges or []:
            ax.plot(*robot[[i, j]].T, color="tab:blue", lw=1.5)
        ax.scatter(*robot.T, color="tab:blue", s=6, label="robot links")
        if targets is not None and len(targets):
            ax.scatter(*robot[list(targets)].T, color="navy", s=28, marker="^",
                       label="robot targets")
        for axis, c in zip("xyz", centre):
            getattr(ax, f"set_{axis}lim")(c - half, c + half)
            getattr(ax, f"set_{axis}label")(f"{axis} [m]", fontsize=7)
        ax.tick_params(labelsize=6)
        ax.view_init(elev=32, azim=-62)
        ax.set_box_aspect((1, 1, 1))
        ax.set_title(titles[col] if titles else f"frame {f}", fontsize=9)
        if col == 0:
            ax.legend(fontsize=7, loc="upper left")
    return _save(fig, path)


def plot_retargeter_frames(retargeter: Retargeter, keypoints: npt.ArrayLike,
                           result: RetargetResult, frames: Iterable[int],
                           path: str | os.PathLike[str], *,
                           titles: Sequence[str] | None = None) -> Path:
    """:func:`plot_frames` for a :class:`~kova_rs.retargeter.Retargeter` and its result."""
    model = retargeter.model
    link_names = model.link_names
    shown = list(frames)
    positions = np.zeros((len(result.qpos), len(link_names), 3))
    positions[shown] = retargeter.link_positions(result.qpos[shown], link_names)
    where = {n: i for i, n in enumerate(link_names)}
    edges = [(where[j.parent], where[j.child]) for j in model.joints
             if j.parent in where and j.child in where]
    wanted = set(retargeter.target_links)
    targets = [i for i, n in enumerate(link_names) if n in wanted]
    return plot_frames(keypoints, positions, shown, path, edges=edges, targets=targets,
                       titles=titles)
