"""``kova render``: an animation of a result, robot and human in side and top view."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

from kova_rs.cli.common import UserError, check_output, one_line, plots_available
from kova_rs.cli.replay_args import add_replay_arguments, open_replay


def run(args: argparse.Namespace) -> int:
    from kova_rs.extras import MissingExtra, install_hint, require
    from kova_rs.render.animation import FORMATS, ffmpeg, frame_range, render_animation

    out = check_output(Path(args.out), FORMATS)
    if not plots_available():
        raise UserError(f"{out}: {install_hint('matplotlib')}")
    if out.suffix.lower() == ".gif":
        try:
            require("PIL")
        except MissingExtra as err:
            raise UserError(f"{out}: {err}") from None
    if out.suffix.lower() == ".mp4" and ffmpeg() is None:
        raise UserError(f"{out}: MP4 needs ffmpeg, which is not installed (apt-get install "
                        "ffmpeg); or write a .gif")
    if args.fps is not None and not 0 < args.fps <= 120:
        raise UserError(f"--fps {args.fps:g}: give a frame rate above 0 and at most 120")
    replay = open_replay(args)
    if replay.missing:
        print(f"kova: warning: the robot alone, no human keypoints: {replay.missing}",
              file=sys.stderr)
    try:
        frames = frame_range(args.frames, len(replay.result))
        render_animation(replay.scene, replay.keypoints, replay.result.qpos, out, fps=args.fps,
                         source_fps=replay.fps, frames=frames, errors=replay.result.errors,
                         title=replay.result.method)
    except ValueError as err:
        raise UserError(one_line(err)) from None
    print(f"Animation of {len(frames)} frames: {out.resolve()}")
    return 0


def add_parser(sub: Any) -> None:
    render = sub.add_parser("render", help="write an animation (GIF or MP4) of a result")
    add_replay_arguments(render, result_optional=False)
    render.add_argument("--out", required=True, metavar="CLIP",
                        help="clip.gif (Pillow) or clip.mp4 (needs ffmpeg)")
    render.add_argument("--fps", type=float, default=None,
                        help="frame rate of the clip (default: 15 for GIF, the recording's for "
                             "MP4); the motion keeps its speed")
    render.add_argument("--frames", metavar="A:B", help="only frames A to B-1 (e.g. 30:120)")
    render.set_defaults(func=run)
