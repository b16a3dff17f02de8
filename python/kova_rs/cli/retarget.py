"""``kova retarget``: one recording with one configuration."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

from kova_rs.cli.common import (
    DEMO_HAND,
    UserError,
    add_solver_argument,
    check_output,
    find_config,
    load_motion,
    load_retargeter,
    made_by,
    one_line,
    plots_available,
    retarget,
    save,
    tty,
)

#: --input naming the shipped demo motion (a file of that name, if there is one, wins)
DEMO_INPUT = "demo"


def run(args: argparse.Namespace) -> int:
    from kova_rs import human_hand, plots
    from kova_rs.extras import available, install_hint
    from kova_rs.hand_scene import HandScene
    from kova_rs.render.hand_views import render_frames, telling_frames

    config_path = find_config(args.config)
    source = Path(args.input)
    if args.input == DEMO_INPUT and not source.exists():
        source = human_hand.default_motion_path()
    output = Path(args.output) if args.output else Path(f"{source.stem}_retargeted.npz")
    check_output(output, (".npz",))
    if args.plot:
        check_output(Path(args.plot), (".png", ".pdf", ".svg"))
        if not plots_available():
            raise UserError(f"{args.plot}: {install_hint('matplotlib')}")
    motion = load_motion(source, args.hand_frame, args.left)
    retargeter = load_retargeter(config_path, args.solver)
    if source == human_hand.default_motion_path() and retargeter.side == "left":
        motion = human_hand.as_left_hand(motion)
        print("kova: the demo motion is a right hand: mirrored for this left robot hand",
              file=sys.stderr)
    progress = args.progress if args.progress is not None else (len(motion) >= 300 and tty())
    if args.progress and not available("tqdm"):
        print(f"kova: warning: {install_hint('tqdm')}", file=sys.stderr)
        progress = False
    result = retarget(retargeter, motion, source, progress)
    result.fps = args.fps
    result.source = str(source.resolve())
    result.hand_frame = "left" if args.left else "right" if args.hand_frame else ""
    result.config = config_path.resolve()
    save(output, result, made_by(config_path, motion, retargeter.solver))
    print(f"Retargeted {len(result)} frames with {config_path} "
          f"({result.method}, {len(result.joint_names)} joints, {retargeter.solver}): mean error "
          f"{1000 * result.mean_error:.1f} mm")
    print(f"Joint trajectories: {output.resolve()}")
    if args.plot:
        plot = Path(args.plot)
        scene = HandScene.from_retargeter(retargeter)
        views = plot.with_name(f"{plot.stem}_frames{plot.suffix}")
        frames = telling_frames(result.frame_errors)
        try:
            plots.plot_summary(result, plot, fingers=scene.fingers)
            render_frames(scene, motion, result.qpos, frames, views, errors=result.errors,
                          title=f"{source.name}, {result.method}: side and top views")
        except ValueError as err:
            raise UserError(one_line(err)) from None
        print(f"Plots: {plot.resolve()}, {views.resolve()}")
    return 0


def add_parser(sub: Any) -> None:
    ret = sub.add_parser("retarget", help="retarget a recording with one configuration")
    ret.add_argument("--config", required=True, metavar="FILE",
                     help="YAML configuration, or a shipped one such as position/"
                          f"{DEMO_HAND}")
    ret.add_argument("--input", required=True, metavar="MOTION",
                     help="recording: .npy/.npz (N, 21, 3) or .csv (63 numbers per line); "
                          f"'{DEMO_INPUT}' for the demo motion shipped with kova")
    ret.add_argument("--output", metavar="OUT.npz",
                     help="joint trajectories (default: <input name>_retargeted.npz here)")
    ret.add_argument("--plot", metavar="OUT.png",
                     help="also draw joint angles per finger and errors (OUT.png), and side and "
                          "top views of a few frames (OUT_frames.png)")
    ret.add_argument("--hand-frame", action="store_true",
                     help="express the keypoints in the hand's own frame first")
    ret.add_argument("--left", action="store_true",
                     help="the recording is a left hand: mirror it (implies --hand-frame)")
    ret.add_argument("--fps", type=float, default=None, help="frame rate, for the plot's time axis")
    group = ret.add_mutually_exclusive_group()
    group.add_argument("--progress", dest="progress", action="store_true", default=None,
                       help="always show a progress bar")
    group.add_argument("--no-progress", dest="progress", action="store_false",
                       help="never show a progress bar")
    add_solver_argument(ret)
    ret.set_defaults(func=run)
