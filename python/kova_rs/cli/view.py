"""``kova view``: a result, or a recording retargeted on the spot, in the browser."""

from __future__ import annotations

import argparse
import signal
import sys
from typing import Any

from kova_rs.cli.common import UserError, one_line
from kova_rs.cli.replay_args import add_replay_arguments, open_replay


def run(args: argparse.Namespace) -> int:
    try:
        from kova_rs.viewer import Viewer
        from kova_rs.viewer.browser_viewer import viser_module

        viser_module()
    except ImportError as err:
        raise UserError(str(err)) from None
    if not 0 <= args.port <= 65535:
        raise UserError(f"--port {args.port}: a port is 0 to 65535")
    replay = open_replay(args)
    try:
        viewer = Viewer(replay, host=args.host, port=args.port)
    except OSError as err:
        raise UserError(f"{args.host}:{args.port}: cannot serve there ({one_line(err)})") \
            from None
    if replay.missing:
        print(f"kova: warning: no human keypoints: {replay.missing}", file=sys.stderr)
    for problem in viewer.shape.problems:
        print(f"kova: warning: drawn as capsules: {problem}", file=sys.stderr)
    signal.signal(signal.SIGTERM, lambda *_: viewer.stop())
    print(f"kova view: {viewer.url} (Ctrl-C to stop)", flush=True)
    try:
        viewer.wait()
    except KeyboardInterrupt:
        viewer.stop()
    return 0


def add_parser(sub: Any) -> None:
    view = sub.add_parser("view", help="show a result in the browser (3-D, with a timeline)")
    add_replay_arguments(view, result_optional=True)
    view.add_argument("--port", type=int, default=8080, help="port to serve on (default 8080)")
    view.add_argument("--host", default="127.0.0.1",
                      help="address to serve on (default 127.0.0.1: this machine only)")
    view.set_defaults(func=run)
