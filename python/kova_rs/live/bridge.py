"""The live loop without its transport: tracker frames in, joint commands out.

>>> bridge = Bridge(Retargeter.from_config("dexpilot/kova_five_finger_24dof"), layout="openxr")
>>> command = bridge.process_message(datagram, t_recv=time.time())   # or bridge.process(frame)
>>> if isinstance(command, Command): send(encode_command(command))

Rules, per frame:

- the newest frame wins: a frame whose ``seq`` is not above that of the last frame solved is
  dropped (so a late frame never makes the robot jump back); frames that waited together
  (:meth:`Bridge.process_waiting`) are all answered, oldest first, unless answering them would
  hold up the newest by more than ``catch_up`` seconds: then the older ones left are dropped
  (:meth:`Bridge.process_newest` answers only the newest);
- a frame without a hand (NaN or null values, no rows, a palm collapsed to a point) holds the
  last command: the answer repeats it with status "held" (nothing is answered before the first
  solved frame);
- a message that is not a frame or a request is counted as malformed and skipped.
"""

from __future__ import annotations

import difflib
import math
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

from kova_rs.live.layouts import HAND_FRAMES, Converter, layout_info, make_converter
from kova_rs.live.messages import Command, Frame, MalformedMessage, Request, decode
from kova_rs.live.stats import LiveStats

FloatArray = npt.NDArray[np.float64]
#: seconds that answering frames which waited behind a slow solve may delay the newest one
CATCH_UP = 0.005


class Solver(Protocol):
    """What the bridge drives: (21, 3) keypoints -> one joint vector, frame after frame."""

    @property
    def joint_names(self) -> list[str]: ...

    def retarget(self, keypoints: npt.ArrayLike) -> FloatArray: ...


def joint_order_indices(joint_names: Sequence[str], order: Sequence[str] | None
                        ) -> npt.NDArray[np.intp] | None:
    """Positions in ``joint_names`` of the joints of ``order`` (all of them, or some)."""
    if order is None:
        return None
    names = list(joint_names)
    where = {name: i for i, name in enumerate(names)}
    seen: set[str] = set()
    for name in order:
        if name not in where:
            close = difflib.get_close_matches(name, names, n=1)
            hint = f"; did you mean {close[0]!r}?" if close else "."
            raise ValueError(f"joint order: the robot has no joint {name!r}{hint} "
                             f"Joints: {', '.join(names)}")
        if name in seen:
            raise ValueError(f"joint order: {name!r} is named twice")
        seen.add(name)
    if not order:
        raise ValueError("joint order: name at least one joint")
    return np.asarray([where[name] for name in order], dtype=np.intp)


class Bridge:
    """Turns tracker frames of one layout into joint commands for one retargeter.

    ``hand_frame``: "keypoints" (computed from the palm landmarks), "tracker" (the wrist
    orientation of pose frames) or "none" (the frames are already in the hand frame).
    ``side="left"`` mirrors a left hand onto the right-hand model. ``joint_order``: publish
    these joints, in this order, instead of every joint in ``joint_names`` order.
    ``catch_up``: how long, in seconds, answering older frames that waited together may delay
    the newest (see :meth:`process_waiting`).
    """

    def __init__(self, retargeter: Solver, *, layout: str = "mediapipe",
                 hand_frame: str = "keypoints", side: str = "right",
                 joint_order: Sequence[str] | None = None, catch_up: float = CATCH_UP,
                 clock: Callable[[], float] = time.time) -> None:
        if hand_frame not in HAND_FRAMES:
            raise ValueError(f"hand_frame must be one of {', '.join(HAND_FRAMES)}, "
                             f"got {hand_frame!r}")
        if not catch_up >= 0:
            raise ValueError(f"the catch-up time must not be negative, got {catch_up!r}")
        self._catch_up = float(catch_up)
        if side not in ("right", "left"):
            raise ValueError(f"side must be 'right' or 'left', got {side!r}")
        self._retargeter = retargeter
        self._layout = layout_info(layout)
        self._order = joint_order_indices(retargeter.joint_names, joint_order)
        all_names = list(retargeter.joint_names)
        self.joint_names: list[str] = (all_names if self._order is None
                                       else [all_names[i] for i in self._order])
        # positions (3 values per joint) and poses (16): a tracker hand frame needs poses
        self._converters: dict[int, Converter | str] = {}
        for width, poses in ((3, False), (16, True)):
            try:
                self._converters[width] = make_converter(layout, poses, hand_frame, side)
            except ValueError as err:
                self._converters[width] = str(err)
        if all(isinstance(c, str) for c in self._converters.values()):
            raise ValueError(str(self._converters[16]))
        self._errors: Callable[..., Any] | None = getattr(retargeter, "errors", None)
        # kova_rs.Retargeter: rows, solve and errors straight on the native retargeter
        native = getattr(retargeter, "native", None)
        self._native = (native if all(hasattr(native, name) for name in
                                      ("reference", "retarget", "errors")) else None)
        self._landmarks = np.empty((21, 3))
        self._clock = clock
        self.stats = LiveStats()
        self._last: Command | None = None
        self._last_seq: int | None = None
        self._last_answered = -math.inf
        self._perf = time.perf_counter

    @property
    def layout(self) -> str:
        return self._layout.name

    @property
    def joint_count(self) -> int:
        """Rows of a frame: the layout's joints."""
        return self._layout.joint_count

    @property
    def last_command(self) -> Command | None:
        return self._last

    def reset(self) -> None:
        """A new sequence: the retargeter restarts and no earlier frame counts as solved."""
        restart = getattr(self._retargeter, "reset", None)
        if restart is not None:
            restart()
        self._last, self._last_seq = None, None

    # -- frames ------------------------------------------------------------------------------

    def process_message(self, data: bytes | bytearray | memoryview,
                        t_recv: float | None = None) -> Command | Request | None:
        """Decode one message and answer it: a command, a request, or None (nothing to send:
        malformed, dropped, or no hand before the first solved frame)."""
        t_recv = self._clock() if t_recv is None else t_recv
        message = self.decode(data, t_recv)
        if message is None or isinstance(message, Request):
            return message
        return self.process(message)

    def decode(self, data: bytes | bytearray | memoryview, t_recv: float
               ) -> Frame | Request | None:
        """One message as a frame or request; a malformed one is counted and gives None."""
        self.stats.messages += 1
        try:
            message = decode(data)
        except MalformedMessage as err:
            self._malformed(str(err))
            return None
        if isinstance(message, Request):
            self.stats.requests += 1
            return message
        message.t_recv = t_recv
        why = self._converter_for(message)
        if isinstance(why, str):
            self._malformed(why)
            return None
        return message

    def process_waiting(self, frames: Sequence[Frame]) -> Iterator[tuple[Frame, Command]]:
        """Answer frames that waited together (behind a slow solve, or sent in a burst), oldest
        first, yielding each frame with its command as soon as it is solved, so that it can be
        published before the next solve. Every frame newer than the last one solved is
        answered, except once answering them has taken ``catch_up`` seconds: the older frames
        left are then dropped and the newest answered. Of frames with one ``seq`` the later
        counts."""
        if len(frames) == 1:
            command = self.process(frames[0])
            if command is not None:
                yield frames[0], command
            return
        order = sorted(range(len(frames)), key=lambda i: (frames[i].seq, i))
        start = self._perf()
        for k, i in enumerate(order):
            frame = frames[i]
            if k + 1 < len(order) and (frames[order[k + 1]].seq == frame.seq
                                       or self._perf() - start >= self._catch_up):
                self.stats.frames_in += 1
                self.stats.dropped += 1
                continue
            command = self.process(frame)
            if command is not None:
                yield frame, command

    def process_newest(self, frames: Iterable[Frame]) -> Command | None:
        """Answer the newest (highest seq, the later on a tie) of frames that waited together;
        the others are dropped."""
        newest: Frame | None = None
        for frame in frames:
            if newest is not None:
                self.stats.frames_in += 1
                self.stats.dropped += 1
                if frame.seq < newest.seq:
                    continue
            newest = frame
        return None if newest is None else self.process(newest)

    def process(self, frame: Frame) -> Command | None:
        """Answer one frame (see the module docstring); None when there is nothing to send."""
        if math.isnan(frame.t_recv):
            frame.t_recv = self._clock()
        converter = self._converter_for(frame)
        if isinstance(converter, str):
            self._malformed(converter)
            return None
        if self._last_seq is not None and frame.seq <= self._last_seq:
            self.stats.frames_in += 1
            self.stats.dropped += 1
            return None
        if converter is None or frame.values is None:
            self.stats.frames_in += 1
            return self._hold(frame, "no keypoints")
        problem = converter.convert_into(frame.values, self._landmarks)
        if problem is not None and problem[0] != "lost":
            self._malformed(problem[1])
            return None
        self.stats.frames_in += 1
        if problem is not None:
            return self._hold(frame, problem[1])
        qpos, error, t_solve = self._solve(self._landmarks)
        out = qpos if self._order is None else qpos[self._order]
        self._last = Command(frame.seq, frame.t, frame.t_recv, out, error, "ok", t_solve)
        self._last_seq = frame.seq
        self.stats.solved += 1
        return self._last

    def _solve(self, landmarks: FloatArray) -> tuple[FloatArray, float, float]:
        """Joint vector, mean target error (metres) and the seconds the solve took."""
        native = self._native
        if native is not None:
            rows = native.reference(landmarks)
            start = self._perf()
            qpos = native.retarget(rows)
            t_solve = self._perf() - start
            errors = native.errors(rows, qpos).tolist()
            return qpos, math.fsum(errors) / len(errors), t_solve
        start = self._perf()
        qpos = np.asarray(self._retargeter.retarget(landmarks), dtype=np.float64)
        t_solve = self._perf() - start
        error = math.nan
        if self._errors is not None:
            error = float(np.mean(self._errors(landmarks, qpos)))
        return qpos, error, t_solve

    def _converter_for(self, frame: Frame) -> Converter | str | None:
        """The converter for the frame's values (None without values), or why it has none."""
        values = frame.values
        if values is None:
            return None
        converter = self._converters.get(values.shape[1]) if values.ndim == 2 else None
        if converter is None:
            return f"frame of shape {tuple(values.shape)}; expected (joints, 3) or (joints, 16)"
        if values.shape[0] != self._layout.joint_count:
            return (f"frame of {values.shape[0]} joints; the {self._layout.name} layout has "
                    f"{self._layout.joint_count}")
        return converter

    def sent(self, command: Command, ok: bool = True) -> None:
        """Record that a command went out (or could not), for the latency figures."""
        if not ok:
            self.stats.send_failures += 1
            return
        self.stats.sent += 1

    def answered(self, command: Command) -> None:
        """Record the latency of a command once every transport has it."""
        now = self._clock()
        self.stats.latency.add(now - command.t_recv)
        # a frame read together with earlier ones starts its turn once they are answered
        began = max(command.t_recv, self._last_answered)
        self.stats.overhead.add(now - began - command.t_solve)
        self._last_answered = now

    def _hold(self, frame: Frame, why: str) -> Command | None:
        self.stats.held += 1
        self.stats.last_problem = why
        if self._last is None:
            return None
        last = self._last
        return Command(frame.seq, frame.t, frame.t_recv, last.qpos, last.error, "held")

    def _malformed(self, why: str) -> None:
        self.stats.malformed += 1
        self.stats.last_problem = why
