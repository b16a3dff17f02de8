"""Where a live frame's time goes outside the solve, step by step, in one process.

For one layout (positions, or poses with --poses) this times each step the live loop takes for
a frame of the demo motion: reading the JSON or binary frame, converting the layout, the
reference rows, the target error, writing the command; and, for comparison, Python's json
module on the same messages. Best of five rounds, microseconds per frame.

    .venv/bin/python bench/live_profile.py [--layout openxr] [--poses]
"""

from __future__ import annotations

import argparse
import json
import time
from collections.abc import Callable

import numpy as np
from kova_rs.cli.common import find_config, load_retargeter
from kova_rs.live import Bridge, encode_command, encode_frame
from kova_rs.live.layouts import make_converter
from kova_rs.live.messages import decode, encode_command_binary
from kova_rs.shipped import resources_dir
from live_latency import tracker_frames


def per_call_us(step: Callable[[int], object], count: int, calls: int = 2000) -> float:
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        for i in range(calls):
            step(i % count)
        best = min(best, (time.perf_counter() - start) / calls)
    return 1e6 * best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--config", default="dexpilot/kova_five_finger_24dof")
    parser.add_argument("--layout", default="mediapipe")
    parser.add_argument("--poses", action="store_true")
    args = parser.parse_args()
    motion = np.load(resources_dir() / "motions" / "demo_motion.npy")
    frames = tracker_frames(motion, args.layout, args.poses)
    retargeter = load_retargeter(find_config(args.config))
    bridge = Bridge(retargeter, layout=args.layout)
    texts = [encode_frame(i, time.time(), f) for i, f in enumerate(frames)]
    binaries = [encode_frame(i, time.time(), f, binary=True) for i, f in enumerate(frames)]
    decoded = [decode(t) for t in texts]
    converter = make_converter(args.layout, args.poses, "keypoints", "right")
    landmarks = np.empty((len(frames), 21, 3))
    for frame, out in zip(decoded, landmarks):
        converter.convert_into(frame.values, out)
    native = retargeter.native
    rows = [native.reference(x) for x in landmarks]
    qpos = [native.retarget(r) for r in rows]
    commands = []
    for frame in decoded:
        frame.t_recv = time.time()
        commands.append(bridge.process(frame))
    n = len(frames)
    steps = {
        "read JSON frame": lambda i: decode(texts[i]),
        "  (Python's json.loads alone)": lambda i: json.loads(texts[i]),
        "read binary frame": lambda i: decode(binaries[i]),
        "convert the layout": lambda i: converter.convert_into(decoded[i].values, landmarks[i]),
        "reference rows": lambda i: native.reference(landmarks[i]),
        "target error": lambda i: native.errors(rows[i], qpos[i]).tolist(),
        "write JSON command": lambda i: encode_command(commands[i]),
        "  (Python's json.dumps alone)": lambda i: json.dumps(
            {"seq": i, "t": 1.0, "qpos": commands[i].qpos.tolist(), "status": "ok"}),
        "write binary command": lambda i: encode_command_binary(commands[i]),
    }
    layout = args.layout + (" poses" if args.poses else "")
    print(f"Per frame outside the solve, {layout} ({len(texts[0])} bytes of JSON), us:")
    for name, step in steps.items():
        print(f"  {name:32s} {per_call_us(step, n):6.1f}")


if __name__ == "__main__":
    main()
