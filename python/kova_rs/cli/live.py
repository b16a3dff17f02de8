"""``kova live``: tracker frames in, joint commands out, until Ctrl-C."""

from __future__ import annotations

import argparse
import json
import sys
from pathlib import Path
from typing import Any

from kova_rs.cli.common import DEMO_HAND, UserError, check_output, find_config, load_retargeter
from kova_rs.extras import MissingExtra


def run(args: argparse.Namespace) -> int:
    from kova_rs import __version__
    from kova_rs.live import Bridge, LiveLoop, Recorder
    from kova_rs.live.transports import close_all, open_sink, open_source, parse_endpoint

    config_path = find_config(args.config)
    try:
        source_at = parse_endpoint(args.source)
        sinks_at = [parse_endpoint(s, files=False) for s in args.publish or []]
    except ValueError as err:
        raise UserError(str(err)) from None
    for path in (args.record, args.stats):
        if path:
            check_output(Path(path), (".npz",) if path == args.record else (".json",))
    joint_order = None
    if args.joint_order is not None:
        joint_order = [n.strip() for n in args.joint_order.split(",") if n.strip()]
    retargeter = load_retargeter(config_path)
    opened: list[Any] = []
    try:
        source = open_source(source_at, args.fps, side="left" if args.left else "right",
                             mediapipe_model=Path(args.mediapipe_model)
                             if args.mediapipe_model else None)
        opened.append(source)
        layout = args.layout or getattr(source, "layout", "mediapipe")
        if source_at.scheme == "file" and args.layout and args.layout != source.layout:
            raise UserError(f"{source_at}: recorded in the {source.layout} layout, not "
                            f"{args.layout}")
        bridge = Bridge(retargeter, layout=layout, hand_frame=args.hand_frame,
                        side="left" if args.left else "right", joint_order=joint_order,
                        catch_up=args.catch_up / 1000)
        for endpoint in sinks_at:
            opened.append(open_sink(endpoint))
    except (ValueError, MissingExtra) as err:
        close_all(opened)
        raise UserError(str(err)) from None
    recorder = None
    if args.record:
        recorder = Recorder(Path(args.record), layout, bridge.joint_names,
                            {"kova_version": __version__, "config": str(config_path)})
    loop = LiveLoop(bridge, opened[0], opened[1:], binary=args.format == "binary",
                    recorder=recorder, duration=args.duration)
    targets = ", ".join(str(e) for e in sinks_at) or "nowhere (no --publish)"
    print(f"kova live: {config_path} ({len(bridge.joint_names)} joints), {layout} frames from "
          f"{source_at}, commands to {targets}; Ctrl-C stops", file=sys.stderr, flush=True)
    try:
        stats = loop.run()
    finally:
        close_all(opened)
    print(stats.summary(), flush=True)
    if getattr(opened[0], "problem", ""):
        print(f"kova live: the source stopped early: {opened[0].problem}", file=sys.stderr)
    if stats.last_problem and (stats.malformed or stats.held):
        print(f"last refused or held frame: {stats.last_problem}", file=sys.stderr)
    if recorder is not None:
        print(f"Recording ({len(recorder)} frames): {recorder.save().resolve()}")
    if args.stats:
        Path(args.stats).write_text(json.dumps(stats.as_dict(), indent=2) + "\n",
                                    encoding="utf-8")
    return 0


def add_parser(sub: Any) -> None:
    from kova_rs.live.layouts import HAND_FRAMES, layout_names

    live = sub.add_parser("live", help="retarget a live hand tracker stream")
    live.add_argument("--config", required=True, metavar="FILE",
                      help=f"YAML configuration, or a shipped one such as dexpilot/{DEMO_HAND}")
    live.add_argument("--source", required=True, metavar="SOURCE",
                      help="udp://HOST:PORT, zmq+tcp://HOST:PORT, a recording file, or "
                           "camera:N / video:PATH through MediaPipe (kova_rs[mediapipe])")
    live.add_argument("--layout", choices=layout_names(), default=None,
                      help="joint order of the frames (default: mediapipe, or the recording's)")
    live.add_argument("--publish", action="append", metavar="SINK",
                      help="udp://HOST:PORT or zmq+tcp://HOST:PORT (repeat for several)")
    live.add_argument("--format", choices=("json", "binary"), default="json",
                      help="command messages (default json)")
    live.add_argument("--joint-order", metavar="J1,J2,...",
                      help="publish these joints in this order (default: every joint in the "
                           "retargeter's order)")
    live.add_argument("--hand-frame", choices=HAND_FRAMES, default="keypoints",
                      help="hand frame from the palm keypoints (default), from the tracker's "
                           "wrist pose, or none (frames already in the hand frame)")
    live.add_argument("--catch-up", type=float, default=5.0, metavar="MS",
                      help="frames that waited behind a slow solve are answered too, oldest "
                           "first, as long as that delays the newest by at most this many "
                           "milliseconds (default 5; 0 answers only the newest)")
    live.add_argument("--left", action="store_true", help="the tracked hand is a left hand")
    live.add_argument("--record", metavar="OUT.npz", help="record frames and commands")
    live.add_argument("--fps", type=float, default=None,
                      help="replay rate of a recording without timing (default 30)")
    live.add_argument("--duration", type=float, default=None, metavar="SECONDS",
                      help="stop after this long")
    live.add_argument("--stats", metavar="OUT.json", help="write the final counts and latency")
    live.add_argument("--mediapipe-model", metavar="hand_landmarker.task",
                      help="MediaPipe's hand landmarker model, for camera: and video: sources")
    live.set_defaults(func=run)
