"""``kova demo``: the shipped demo motion onto a shipped hand with every method."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

import numpy as np

from kova_rs.cli.common import (
    DEMO_HAND,
    METHODS,
    UserError,
    add_solver_argument,
    load_retargeter,
    made_by,
    one_line,
    plots_available,
    retarget,
    save,
    tty,
)

#: the demo's animations: a third of the recording's frame rate keeps them small and quick
DEMO_GIF_FPS = 10.0


def run(args: argparse.Namespace) -> int:
    from kova_rs import human_hand, plots
    from kova_rs.extras import install_hint
    from kova_rs.hand_scene import HandScene
    from kova_rs.render.animation import render_animation
    from kova_rs.render.hand_views import demo_views, render_frames
    from kova_rs.shipped import shipped_config, shipped_hands

    hands = shipped_hands()
    if args.hand not in hands:
        raise UserError(f"{args.hand}: no such shipped hand; choose one of {', '.join(hands)}")
    out = Path(args.output)
    if out.exists() and not out.is_dir():
        raise UserError(f"{out}: exists and is not a folder")
    try:
        out.mkdir(parents=True, exist_ok=True)
    except OSError as err:
        raise UserError(f"{out}: cannot create the folder ({err.strerror or err})") from None
    motion_path = human_hand.default_motion_path()
    if motion_path.is_file():
        motion = np.load(motion_path)
    else:
        motion = human_hand.demo_motion()
    chosen = demo_views(human_hand.demo_keyframes())
    can_plot = not args.no_plots and plots_available()
    print(f"Retargeting the demo motion ({len(motion)} frames, "
          f"{len(motion) / human_hand.DEMO_FPS:.1f} s at {human_hand.DEMO_FPS:g} fps) "
          f"onto {args.hand}:")
    written: list[Any] = []
    for method in METHODS:
        config = shipped_config(method, args.hand)
        retargeter = load_retargeter(config, args.solver)
        result = retarget(retargeter, motion, config, progress=not args.quiet and tty())
        result.fps = human_hand.DEMO_FPS
        result.source = str(motion_path) if motion_path.is_file() else None
        stem = out / f"{args.hand}_{method}"
        written.append(save(stem.with_suffix(".npz"), result,
                            made_by(config, motion, retargeter.solver)))
        if can_plot:
            scene = HandScene.from_retargeter(retargeter)
            try:
                written.append(plots.plot_joint_angles(result, f"{stem}_joints.png",
                                                       fingers=scene.fingers))
                written.append(plots.plot_errors(result, f"{stem}_errors.png"))
                written.append(render_frames(
                    scene, motion, result.qpos, [f for _, f in chosen], f"{stem}_frames.png",
                    names=[name for name, _ in chosen], errors=result.errors,
                    title=f"{args.hand}, {method}: side and top views"))
                written.append(render_animation(
                    scene, motion, result.qpos, f"{stem}.gif", fps=DEMO_GIF_FPS,
                    source_fps=human_hand.DEMO_FPS, errors=result.errors, title=method))
            except ValueError as err:
                raise UserError(one_line(err)) from None
        what = "distance to keypoints" if method == "position" else "vector error"
        print(f"  {method:9s} {result.qpos.shape[1]} joints, mean {what} "
              f"{1000 * result.mean_error:.1f} mm ({retargeter.solver})")
    if not can_plot and not args.no_plots:
        print(f"  (plots skipped: {install_hint('matplotlib')})")
    print(f"Wrote {len(written)} files to {out.resolve()}:")
    for path in written:
        print(f"  {path.name}")
    return 0


def add_parser(sub: Any) -> None:
    demo = sub.add_parser("demo", help="retarget the shipped demo motion with every method")
    demo.add_argument("--output", default="kova-demo-output", metavar="DIR",
                      help="folder for the trajectories and plots (default: kova-demo-output)")
    demo.add_argument("--hand", default=DEMO_HAND,
                      help=f"shipped hand to drive (default: {DEMO_HAND}; see 'kova hands')")
    demo.add_argument("--quiet", action="store_true", help="no progress bar")
    demo.add_argument("--no-plots", action="store_true", help="write the trajectories only")
    add_solver_argument(demo)
    demo.set_defaults(func=run)
