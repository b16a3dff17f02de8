"""What ``kova view`` and ``kova render`` share: a result (or a recording retargeted on the spot)
with its configuration and the human keypoints, every failure one line naming its file."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import TYPE_CHECKING, Any

from kova_rs.cli.common import (
    UserError,
    find_config,
    load_motion,
    load_retargeter,
    one_line,
    retarget,
)

if TYPE_CHECKING:
    from kova_rs.replay import Replay


def add_replay_arguments(parser: Any, *, result_optional: bool) -> None:
    parser.add_argument("result", metavar="RESULT.npz", nargs="?" if result_optional else None,
                        help="a result of kova retarget, demo or batch")
    parser.add_argument("--config", metavar="FILE",
                        help="the configuration (default: the one the result names)")
    parser.add_argument("--input", metavar="MOTION",
                        help="the human recording (default: the one the result names)")
    parser.add_argument("--hand-frame", action="store_true",
                        help="with --input: express its keypoints in the hand's own frame first")
    parser.add_argument("--left", action="store_true",
                        help="with --input: a left hand, mirrored (implies --hand-frame)")


def open_replay(args: argparse.Namespace) -> Replay:
    from kova_rs.replay import replay

    config = find_config(args.config) if args.config else None
    if args.result is None:
        if config is None or not args.input:
            raise UserError("give a result file, or --config and --input to retarget a "
                            "recording first")
        source = Path(args.input)
        motion = load_motion(source, args.hand_frame, args.left)
        retargeter = load_retargeter(config)
        result = retarget(retargeter, motion, source, progress=False)
        result.source = str(source.resolve())
        result.hand_frame = "left" if args.left else "right" if args.hand_frame else ""
        try:
            return replay(result, retargeter=retargeter, keypoints=motion)
        except ValueError as err:
            raise UserError(f"{source}: {one_line(err)}") from None
    path = Path(args.result)
    keypoints: Any = None
    if args.input:
        keypoints = load_motion(Path(args.input), args.hand_frame, args.left)
    given = load_retargeter(config) if config is not None else None
    try:
        return replay(path, retargeter=given, keypoints=keypoints)
    except (ValueError, OSError, RuntimeError) as err:
        message = one_line(err)
        raise UserError(message if message.startswith(str(path)) else f"{path}: {message}") \
            from None
