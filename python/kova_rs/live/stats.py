"""What a live session counts and how long its frames took."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np

#: latency percentiles are over the last this many frames answered
LATENCY_WINDOW = 65536


class LatencyWindow:
    """The last LATENCY_WINDOW samples (seconds), in fixed memory."""

    def __init__(self, capacity: int = LATENCY_WINDOW) -> None:
        self._samples = np.zeros(capacity)
        self._count = 0

    def add(self, seconds: float) -> None:
        self._samples[self._count % self._samples.size] = seconds
        self._count += 1

    def __len__(self) -> int:
        return min(self._count, self._samples.size)

    def summary(self) -> dict[str, float]:
        """p50, p99 and max in microseconds (NaN before the first sample)."""
        if not len(self):
            return {"p50_us": math.nan, "p99_us": math.nan, "max_us": math.nan}
        samples = self._samples[: len(self)]
        p50, p99 = np.percentile(samples, [50, 99])
        return {"p50_us": 1e6 * float(p50), "p99_us": 1e6 * float(p99),
                "max_us": 1e6 * float(samples.max())}


@dataclass
class LiveStats:
    """Counters of a live session.

    Every well-formed frame is counted in ``frames_in`` and then exactly once as ``solved``,
    ``dropped`` (older than the last frame solved, or superseded by a newer frame that arrived
    before it was solved, when catching up would have delayed the newer one too long) or
    ``held`` (no hand in it: the last command was repeated).
    """

    messages: int = 0  #: messages received, of any kind
    malformed: int = 0  #: messages that were neither a frame nor a request, skipped
    requests: int = 0  #: joint name requests
    frames_in: int = 0
    solved: int = 0
    dropped: int = 0
    held: int = 0
    sent: int = 0  #: commands handed to the transports
    send_failures: int = 0  #: commands a transport could not take at once (never waited for)
    last_problem: str = ""  #: why the last malformed message or held frame was refused
    #: receipt of a frame to its command sent
    latency: LatencyWindow = field(default_factory=LatencyWindow)
    #: the same without the solve, nor the time the frame waited for earlier frames to be
    #: answered (frames that came together): parse, convert, publish
    overhead: LatencyWindow = field(default_factory=LatencyWindow)

    def as_dict(self) -> dict[str, Any]:
        counters = {name: getattr(self, name) for name in (
            "messages", "malformed", "requests", "frames_in", "solved", "dropped", "held",
            "sent", "send_failures")}
        return {**counters, "latency": self.latency.summary(),
                "overhead": self.overhead.summary()}

    def summary(self) -> str:
        """A few lines for the end of a session."""
        lat, over = self.latency.summary(), self.overhead.summary()
        lines = [
            (f"frames in {self.frames_in}: solved {self.solved}, dropped {self.dropped}, "
             f"held {self.held}; malformed messages {self.malformed}"),
            (f"latency (frame received to command sent) p50 {lat['p50_us']:.0f} us, "
             f"p99 {lat['p99_us']:.0f} us, max {lat['max_us']:.0f} us"),
            (f"of which outside the solve p50 {over['p50_us']:.0f} us, "
             f"p99 {over['p99_us']:.0f} us, max {over['max_us']:.0f} us"),
        ]
        if self.send_failures:
            lines.append(f"commands not sent (transport busy or unreachable): "
                         f"{self.send_failures}")
        return "\n".join(lines)
