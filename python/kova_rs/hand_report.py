"""How the configurations ``kova init`` wrote retarget the demo motion, for its report: each
method's measures beside the human's, and side and top views of the open hand, the fist and each
pinch (with matplotlib, the ``plot`` extra; without it the report says how to get them)."""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path

import numpy.typing as npt

from kova_rs import human_hand
from kova_rs.extras import MissingExtra, available, install_hint
from kova_rs.measures import (
    FINGERS,
    HandMeasures,
    MeasuredConfig,
    human_measures,
    measure_config,
    millimetres,
)

#: how each key pose is called in the report
POSE_TITLES = {"open": "open hand", "fist": "fist",
               **{f"pinch_{finger}": f"{finger} pinch" for finger in FINGERS[1:]}}


@dataclass
class MeasuresSection:
    """The report's part on the measures: its Markdown lines and the pictures written."""

    lines: list[str]
    renders: list[Path] = field(default_factory=list)
    #: why there are no renders (None when there are)
    no_renders: str | None = None


def key_poses(keyframes: list[tuple[str, int]], fingers: list[str]) -> list[tuple[str, int]]:
    """(pose, frame) worth a picture: the first open hand, the fist and the pinch of each of
    ``fingers`` (the robot's), in the recording's order."""
    chosen: dict[str, int] = {}
    for name, frame in keyframes:
        wanted = name in ("open", "fist") or (name.startswith("pinch_")
                                              and name[len("pinch_"):] in fingers)
        if wanted:
            chosen.setdefault(name, frame)
    return list(chosen.items())


def measures_section(configs: Mapping[str, Path], motion: npt.ArrayLike, out_dir: Path,
                     renders: bool = True) -> MeasuresSection:
    """Runs each configuration (method -> file) over ``motion``, the demo motion, and returns
    the report's tables; with ``renders`` also writes ``out_dir/report_<pose>.png``."""
    keyframes = human_hand.demo_keyframes()
    human = human_measures(motion, keyframes)
    runs = {method: measure_config(path, motion, keyframes) for method, path in configs.items()}
    count = len(runs[next(iter(runs))].result.qpos) if runs else 0
    lines = ["## The demo motion through each configuration", "",
             f"Each configuration retargets the demo motion ({count} frames, "
             f"{count / human_hand.DEMO_FPS:.1f} s); the human column is the recording's own. "
             "Mean error: over every frame and target (position: fingertip to keypoint; vector "
             "and dexpilot: robot vector to the scaled human vector). Pinch gap: thumb tip to "
             "the finger's tip in the middle of that finger's pinch. Fist closure: the mean "
             "fingertip-to-wrist distance of the fingers (thumb left out) in the fist over the "
             "same in the open hand.", ""]
    for method, run in runs.items():
        lines += [f"### {method}", "", *_table(run.measures, human), ""]
    section = MeasuresSection(lines)
    if not renders:
        section.no_renders = "renders not asked for"
    elif not available("matplotlib"):
        section.no_renders = install_hint("matplotlib")
    else:
        try:
            section.renders = _render(runs, motion, keyframes, out_dir)
        except MissingExtra as err:
            section.no_renders = str(err)
    lines += ["## Renders", ""]
    if section.no_renders is not None:
        lines += [f"No renders ({section.no_renders}); run `kova init` again to make them.", ""]
        return section
    lines += ["Each picture: the side view (from the little finger's side, the back of the hand "
              "up) above the top view (from the back of the hand, the thumb up), a column per "
              "method. The robot is drawn thick, the human thin, scaled by the configuration's "
              "`scaling_factor` for vector and dexpilot (so its pinch gaps there are the "
              "scaled ones the robot is asked for); each finger has one colour on both.",
              ""]
    for path in section.renders:
        pose = path.stem[len("report_"):]
        lines += [f"### {POSE_TITLES.get(pose, pose)}", "",
                  f"![{POSE_TITLES.get(pose, pose)}: side and top views]({path.name})", ""]
    return section


def _table(robot: HandMeasures, human: HandMeasures) -> list[str]:
    rows = ["| | robot | human |", "|---|---:|---:|",
            f"| mean error (mm) | {millimetres(robot.mean_error)} | - |"]
    for finger, gap in robot.pinch_gaps.items():
        rows.append(f"| {finger} pinch gap (mm) | {millimetres(gap)} | "
                    f"{millimetres(human.pinch_gaps.get(finger))} |")
    rows.append(f"| fist closure | {robot.fist_closure:.2f} | {human.fist_closure:.2f} |")
    return rows


def _render(runs: Mapping[str, MeasuredConfig], motion: npt.ArrayLike,
            keyframes: list[tuple[str, int]], out_dir: Path) -> list[Path]:
    import numpy as np

    from kova_rs.hand_scene import HandScene
    from kova_rs.render.hand_views import Column, frame_notes, render_columns

    kp = np.asarray(motion, dtype=np.float64)
    scenes = {method: HandScene.from_retargeter(run.retargeter) for method, run in runs.items()}
    fingers = list(next(iter(scenes.values())).fingers.tips) if scenes else []
    written = []
    for pose, frame in key_poses(keyframes, fingers):
        columns = []
        for method, run in runs.items():
            qpos = run.result.qpos[frame]
            scene = scenes[method]
            notes = frame_notes(scene, qpos, kp[frame], pose, run.result.errors[frame])
            heading = method + (f" (human drawn x{scene.human_scale:.2f})"
                                if scene.human_scale != 1.0 else "")
            columns.append(Column(scene, qpos, kp[frame], "\n".join([heading, *notes])))
        title = f"{POSE_TITLES.get(pose, pose)} (frame {frame} of the demo motion)"
        written.append(render_columns(columns, out_dir / f"report_{pose}.png", title=title))
    return written
