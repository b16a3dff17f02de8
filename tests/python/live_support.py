"""`kova live` in a second process on loopback, with a tracker and a consumer in this one."""

from __future__ import annotations

import os
import re
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path
from typing import Self

import numpy as np
from kova_rs.live import decode_command, encode_frame

DEXPILOT = "dexpilot/kova_five_finger_24dof"
MOTION = Path(__file__).resolve().parents[2] / "python/kova_rs/resources/motions/demo_motion.npy"
LOCAL = "127.0.0.1"


def free_port(kind: int = socket.SOCK_DGRAM) -> int:
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind((LOCAL, 0))
        return int(s.getsockname()[1])


def demo_motion(frames: int | None = None) -> np.ndarray:
    motion = np.load(MOTION)
    return motion if frames is None else motion[:frames]


class LiveProcess:
    """kova live reading UDP frames on a port of its own and publishing to our consumer."""

    def __init__(self, *args: str, config: str = DEXPILOT, publish: bool = True) -> None:
        self.port = free_port()
        self.consumer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.consumer.bind((LOCAL, 0))
        self.consumer.settimeout(10.0)
        self.tracker = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        command = [sys.executable, "-m", "kova_rs", "live", "--config", config,
                   "--source", f"udp://{LOCAL}:{self.port}", *args]
        if publish:
            command += ["--publish", f"udp://{LOCAL}:{self.consumer.getsockname()[1]}"]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True, env={**os.environ, "PYTHONWARNINGS": "error"})
        self.kova_address: tuple[str, int] | None = None  # where commands come from
        line = self.process.stderr.readline() if self.process.stderr else ""
        if "Ctrl-C stops" not in line:
            self.process.kill()
            out, err = self.process.communicate()
            raise AssertionError(f"kova live did not start: {line}{err}{out}")

    def send(self, data: bytes) -> None:
        self.tracker.sendto(data, (LOCAL, self.port))

    def receive(self, timeout: float = 10.0) -> dict | None:
        """The next message from kova, or None after `timeout` seconds."""
        self.consumer.settimeout(timeout)
        try:
            data, self.kova_address = self.consumer.recvfrom(1 << 16)
        except TimeoutError:
            return None
        return decode_command(data)

    def exchange(self, seq: int, values, **options) -> dict:
        """Send one frame and wait for its command (skipping anything older)."""
        self.send(encode_frame(seq, time.time(), values, **options))
        while True:
            message = self.receive()
            assert message is not None, "no command within 10 s"
            if message.get("seq") == seq:
                return message

    def stop(self) -> str:
        """SIGINT, then the summary kova printed; fails unless kova exits with status 0."""
        self.process.send_signal(signal.SIGINT)
        out, err = self.process.communicate(timeout=30)
        self.consumer.close()
        self.tracker.close()
        assert self.process.returncode == 0, err
        return out

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        if self.process.poll() is None:
            self.process.kill()
            self.process.communicate()


def counts(summary: str) -> dict[str, int]:
    """The counters of kova live's summary line."""
    found = re.search(r"frames in (\d+): solved (\d+), dropped (\d+), held (\d+); "
                      r"malformed messages (\d+)", summary)
    assert found, summary
    keys = ("frames_in", "solved", "dropped", "held", "malformed")
    return dict(zip(keys, map(int, found.groups())))


def wait_until(predicate, timeout: float = 10.0) -> None:
    end = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < end, "timed out"
        time.sleep(0.02)
