"""End-to-end latency of ``kova live`` on loopback, measured by a separate client process.

For every transport (UDP, ZeroMQ), frame rate and keypoint layout, this script (the client)
starts ``kova live`` in a process of its own, sends it the shipped demo motion (222 frames,
converted to the layout; the XR layouts also as joint poses) at the given rate, and receives
the commands. Per frame it measures:

- end to end: from just before the frame is sent to the command's arrival (client clock);
- kova outside the solve: ``t_send - t_recv - t_solve`` of the command, i.e. receiving, parsing,
  converting the layout, the hand frame, the reference rows, the error and encoding the
  command (all kova does except the solve and the send call itself); for a frame kova read
  together with earlier ones, from the previous command's ``t_send`` instead of ``t_recv``
  (its wait for their solves is counted apart, as "waited").

The first WARMUP frames of each run are sent but not counted. "lost" counts frames sent but
never answered; at rates the solver cannot keep up with, kova drops older frames on purpose
(newest wins: frames that waited behind a slow solve are answered only while that delays the
newest by at most 5 ms), and those show as lost here.

    .venv/bin/python bench/live_latency.py [--config dexpilot/kova_five_finger_24dof]
        [--rates 90 500] [--transports udp zmq] [--layouts mediapipe openxr ...] [--smoke]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import socket
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
from kova_rs.live import decode_command, encode_frame
from kova_rs.live.layouts import layout_info, layout_names
from kova_rs.shipped import resources_dir

WARMUP = 30
LOCAL = "127.0.0.1"
POSE_LAYOUTS = ("openxr", "visionpro")


def free_port(kind: int) -> int:
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind((LOCAL, 0))
        return int(s.getsockname()[1])


def tracker_frames(motion: np.ndarray, layout: str, poses: bool) -> np.ndarray:
    """The motion as a tracker of `layout` would send it: (N, joints, 3) or (N, joints, 16)."""
    info = layout_info(layout)
    frames = np.repeat(motion[:, :1, :], info.joint_count, axis=1)  # joints kova does not read
    frames[:, info.landmark_joint, :] = motion
    if not poses:
        return frames
    out = np.zeros(frames.shape[:2] + (16,))
    out[..., [0, 5, 10, 15]] = 1.0
    out[..., [3, 7, 11]] = frames
    return out


class UdpClient:
    def __init__(self, source_port: int) -> None:
        self.rx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.rx.bind((LOCAL, 0))
        self.tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.target = (LOCAL, source_port)
        self.sink = f"udp://{LOCAL}:{self.rx.getsockname()[1]}"
        self.source = f"udp://{LOCAL}:{source_port}"

    def send(self, data: bytes) -> None:
        self.tx.sendto(data, self.target)

    def poll(self, timeout: float) -> bytes | None:
        self.rx.settimeout(max(timeout, 0.0) or 1e-6)
        try:
            return self.rx.recv(1 << 16)
        except (TimeoutError, BlockingIOError):
            return None

    def close(self) -> None:
        self.rx.close()
        self.tx.close()


class ZmqClient:
    def __init__(self, source_port: int) -> None:
        import zmq

        self.context = zmq.Context()
        self.pub = self.context.socket(zmq.PUB)
        self.pub.bind(f"tcp://{LOCAL}:{source_port}")
        sink_port = free_port(socket.SOCK_STREAM)
        self.sub = self.context.socket(zmq.SUB)
        self.sub.setsockopt(zmq.SUBSCRIBE, b"")
        self.sub_address = f"tcp://{LOCAL}:{sink_port}"
        self.source = f"zmq+tcp://{LOCAL}:{source_port}"
        self.sink = f"zmq+tcp://{LOCAL}:{sink_port}"
        self._connected = False

    def send(self, data: bytes) -> None:
        if not self._connected:  # kova's PUB socket exists once kova has started
            self.sub.connect(self.sub_address)
            self._connected = True
        self.pub.send(data)

    def poll(self, timeout: float) -> bytes | None:
        if self.sub.poll(max(timeout, 0.0) * 1000):
            return self.sub.recv()
        return None

    def close(self) -> None:
        self.pub.close(0)
        self.sub.close(0)
        self.context.term()


@dataclass
class Case:
    transport: str
    rate: float
    layout: str
    poses: bool


def run_case(case: Case, config: str, motion: np.ndarray, work: Path, binary: bool
             ) -> dict[str, Any]:
    frames = tracker_frames(motion, case.layout, case.poses)
    kind = socket.SOCK_DGRAM if case.transport == "udp" else socket.SOCK_STREAM
    client: Any = (UdpClient if case.transport == "udp" else ZmqClient)(free_port(kind))
    stats = work / "stats.json"
    command = [sys.executable, "-m", "kova_rs", "live", "--config", config, "--source",
               client.source, "--publish", client.sink, "--layout", case.layout,
               "--stats", str(stats)] + (["--format", "binary"] if binary else [])
    kova = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        ready = kova.stderr.readline() if kova.stderr else ""
        if "Ctrl-C stops" not in ready:
            raise RuntimeError(f"kova live did not start: {ready}{kova.communicate()[1]}")
        sent, received = exchange(client, frames, case.rate, binary)
    finally:
        kova.send_signal(2)
        kova.communicate(timeout=30)
        client.close()
    end_to_end, outside = [], []
    waited = 0
    previous_send = -math.inf
    for seq, (arrival, message) in sorted(received.items()):
        # a frame that kova read together with earlier ones waited for their answers first:
        # that wait is the solve of the others, not kova's work on this frame
        began = max(message["t_recv"], previous_send)
        previous_send = message["t_send"]
        if seq >= WARMUP:
            end_to_end.append(arrival - sent[seq])
            outside.append(message["t_send"] - began - message["t_solve"])
            waited += began > message["t_recv"]
    counted = len(frames)
    kova_stats = json.loads(stats.read_text()) if stats.exists() else {}
    return {"case": case, "e2e": percentiles(end_to_end), "outside": percentiles(outside),
            "answered": len(end_to_end), "sent": counted, "waited": waited,
            "lost": counted - len(end_to_end),
            "kova": kova_stats}


def exchange(client: Any, frames: np.ndarray, rate: float, binary: bool = False
             ) -> tuple[dict[int, float], dict[int, tuple[float, dict[str, Any]]]]:
    """Send WARMUP + all frames at `rate`, collecting commands in between."""
    sequence = np.concatenate([frames[:WARMUP], frames])
    # ZeroMQ subscriptions take a moment: probe frames (each newer than the last, as a repeated
    # frame would be dropped) until a command comes back
    deadline = time.monotonic() + 20
    base = 0
    while True:
        client.send(encode_frame(base, time.time(), sequence[0]))
        base += 1
        data = client.poll(0.05)
        if data is not None and "qpos" in decode_command(data):
            break
        if time.monotonic() > deadline:
            raise RuntimeError("no command came back")
    _collect(client, {}, time.monotonic() + 0.1)  # answers to the other probes
    sent: dict[int, float] = {}
    received: dict[int, tuple[float, dict[str, Any]]] = {}
    period = 1.0 / rate
    start = time.monotonic() + 0.05
    for i, values in enumerate(sequence):
        due = start + i * period
        _collect(client, received, due)
        t = time.time()
        sent[i] = t
        client.send(encode_frame(base + i, t, values, binary=binary))
    _collect(client, received, time.monotonic() + 0.5)
    return sent, {seq - base: answer for seq, answer in received.items() if seq >= base}


def _collect(client: Any, received: dict[int, tuple[float, dict[str, Any]]],
             until: float) -> None:
    while True:
        left = until - time.monotonic()
        if left <= 0:
            return
        data = client.poll(left)
        if data is None:
            continue
        arrival = time.time()
        message = decode_command(data)
        if "qpos" in message:
            received[int(message["seq"])] = (arrival, message)


def percentiles(seconds: list[float]) -> tuple[float, float, float]:
    if not seconds:
        return (float("nan"),) * 3
    us = 1e6 * np.asarray(seconds)
    p50, p99 = np.percentile(us, [50, 99])
    return float(p50), float(p99), float(us.max())


def cases(args: argparse.Namespace) -> list[Case]:
    out = []
    for transport in args.transports:
        for rate in args.rates:
            for layout in args.layouts:
                out.append(Case(transport, rate, layout, False))
                if layout in POSE_LAYOUTS and layout in layout_names():
                    out.append(Case(transport, rate, layout, True))
    return out


def print_table(results: list[dict[str, Any]], config: str, binary: bool) -> None:
    print()
    print(f"Live latency on loopback ({config}; demo motion, {WARMUP} warm-up frames not "
          f"counted; microseconds; {os.cpu_count()} cores, load average "
          f"{os.getloadavg()[0]:.1f})")
    print(f"{'Binary' if binary else 'JSON'} frames and commands. Frames not answered were "
          "dropped by kova as superseded (newest wins, 5 ms catch-up) or lost on the way.")
    print("| transport | rate | layout | end to end p50 / p99 / max | kova outside the solve "
          "p50 / p99 / max | kova incl. send p99 | answered / sent (kova's drops, warm-up "
          "included) | waited |")
    print("|---|---|---|---|---|---|---|---|")
    for r in results:
        c = r["case"]
        e, o = r["e2e"], r["outside"]
        layout = c.layout + (" poses" if c.poses else "")
        whole = r["kova"].get("overhead", {}).get("p99_us", float("nan"))
        print(f"| {c.transport} | {c.rate:g} Hz | {layout} | {e[0]:.0f} / {e[1]:.0f} / "
              f"{e[2]:.0f} | {o[0]:.0f} / {o[1]:.0f} / {o[2]:.0f} | {whole:.0f} | "
              f"{r['answered']} / {r['sent']} ({r['kova'].get('dropped', '?')}) | "
              f"{r['waited']} |")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--config", default="dexpilot/kova_five_finger_24dof")
    parser.add_argument("--rates", type=float, nargs="+", default=[90.0, 500.0])
    parser.add_argument("--transports", nargs="+", default=["udp", "zmq"],
                        choices=["udp", "zmq"])
    parser.add_argument("--layouts", nargs="+", default=None)
    parser.add_argument("--binary", action="store_true", help="binary frames and commands")
    parser.add_argument("--smoke", action="store_true", help="one short run per transport")
    args = parser.parse_args(argv)
    args.layouts = args.layouts or layout_names()
    motion = np.load(resources_dir() / "motions" / "demo_motion.npy")
    if args.smoke:
        motion, args.rates, args.layouts = motion[:40], [90.0], args.layouts[:1]
    try:
        import zmq  # noqa: F401
    except ImportError:
        if "zmq" in args.transports:
            print("(ZeroMQ skipped: pyzmq is not installed; pip install 'kova_rs[live]')")
            args.transports = [t for t in args.transports if t != "zmq"]
    work = Path(os.environ.get("TMPDIR", "/tmp")) / f"kova-live-bench-{os.getpid()}"
    work.mkdir(parents=True, exist_ok=True)
    results = []
    for case in cases(args):
        print(f"live {case.transport} {case.rate:g} Hz {case.layout}"
              f"{' poses' if case.poses else ''} ...", flush=True)
        results.append(run_case(case, args.config, motion, work, args.binary))
    print_table(results, args.config, args.binary)
    return 0


if __name__ == "__main__":
    sys.exit(main())
