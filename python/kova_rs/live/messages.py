"""What travels over the wire: tracker frames in, joint commands out, as JSON or binary.

Frames (one per datagram or ZeroMQ message), JSON::

    {"seq": 17, "t": 12.345, "keypoints": [[x, y, z], ...]}
    {"seq": 17, "t": 12.345, "poses": [[16 numbers, row after row], ...]}

one row per joint of the layout, in its joint order; ``null`` values or an empty or absent list
mean the tracker lost the hand (the last command is held). ``{"request": "joint_names"}`` asks
for the joint names with the next command.

Frames, binary (little-endian)::

    offset  size  field
    0       4     magic b"KVF1"
    4       1     bytes per value: 4 (float32) or 8 (float64)
    5       1     values per joint: 3 (positions) or 16 (poses, row-major)
    6       2     joints (uint16): the layout's joint count, or 0 when the hand is lost
    8       8     seq (uint64)
    16      8     t (float64, seconds)
    24      ...   joints x values per joint values

Commands, JSON::

    {"seq": 17, "t": 12.345, "t_recv": ..., "t_solve": ..., "qpos": [...], "error": 0.004,
     "status": "ok", "t_send": ...}

``seq`` and ``t`` are those of the frame answered; ``t_recv`` (frame received) and ``t_send``
(command encoded, handed to the transport) are ``time.time()`` seconds, so that
``t_send - t_recv - t_solve`` is what kova added outside the solve (all but the send itself);
``t_solve`` the seconds spent solving; ``error``
the mean distance of the targets from their human reference, metres; ``status`` "ok" (solved)
or "held" (the frame had no hand: the last command repeated). ``joint_names`` is added to the
first command and after each request.

Commands, binary (little-endian): magic b"KVC1", status (uint8: 0 ok, 1 held), a zero byte,
joint count (uint16), seq (uint64), then t, t_recv, t_send, t_solve, error (float64 each) and
the joint values (float64 each). Joint names are sent as the JSON object
``{"joint_names": [...]}`` in a message of their own (first byte ``{``).
"""

from __future__ import annotations

import json
import math
import struct
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from kova_rs import _core

FloatArray = npt.NDArray[np.float64]

#: larger messages are refused unread: 26 poses of 16 numbers in JSON take about 9 kB
MAX_MESSAGE_BYTES = 32768
FRAME_MAGIC = b"KVF1"
COMMAND_MAGIC = b"KVC1"
FRAME_HEADER = struct.Struct("<4sBBHQd")
COMMAND_HEADER = struct.Struct("<4sBxHQddddd")
STATUS_CODES = {"ok": 0, "held": 1}
STATUS_NAMES = {code: name for name, code in STATUS_CODES.items()}
_UINT64 = 1 << 64


class MalformedMessage(ValueError):
    """A message that is not a frame, a request or a command; it is counted and skipped."""


@dataclass
class Frame:
    """One tracker frame: ``values`` (joints, 3) positions or (joints, 16) poses, or None when
    the tracker reports no hand."""

    seq: int
    t: float
    values: FloatArray | None
    t_recv: float = math.nan


@dataclass(frozen=True)
class Request:
    """``{"request": "joint_names"}``."""

    what: str


def decode(data: bytes | bytearray | memoryview) -> Frame | Request:
    """A frame or a request from one message; MalformedMessage says why not."""
    if len(data) > MAX_MESSAGE_BYTES:
        raise MalformedMessage(f"message of {len(data)} bytes; at most {MAX_MESSAGE_BYTES}")
    if bytes(data[:4]) == FRAME_MAGIC:
        return _decode_binary(data)
    # JSON is read in C++ (a strict reader of exactly these messages): Python's json module
    # and NumPy's list conversion took most of the time kova spends on a frame outside the solve
    try:
        message = _core.read_frame_json(data if isinstance(data, bytes) else bytes(data))
    except ValueError as err:
        raise MalformedMessage(str(err)) from None
    if message is None:
        return Request("joint_names")
    seq, t, values = message
    return Frame(seq, t, values)


def _decode_binary(data: bytes | bytearray | memoryview) -> Frame:
    if len(data) < FRAME_HEADER.size:
        raise MalformedMessage(f"binary frame of {len(data)} bytes, shorter than its "
                               f"{FRAME_HEADER.size}-byte header")
    _, size, width, joints, seq, t = FRAME_HEADER.unpack_from(data)
    if size not in (4, 8) or width not in (3, 16):
        raise MalformedMessage("binary frame: bytes per value must be 4 or 8 and values per "
                               "joint 3 or 16")
    expected = FRAME_HEADER.size + joints * width * size
    if len(data) != expected:
        raise MalformedMessage(f"binary frame of {len(data)} bytes; its header announces "
                               f"{expected}")
    if not math.isfinite(t):
        raise MalformedMessage("t must be a finite number of seconds")
    if joints == 0:
        return Frame(seq, t, None)
    values = np.frombuffer(data, dtype="<f4" if size == 4 else "<f8", offset=FRAME_HEADER.size)
    if size == 4:
        values = values.astype(np.float64)
    return Frame(seq, t, values.reshape(joints, width))  # float64: a view of the message


def encode_frame(seq: int, t: float, values: npt.ArrayLike | None, *, binary: bool = False,
                 float32: bool = False) -> bytes:
    """A frame message, for trackers written in Python (and the tests and the benchmark)."""
    if values is None:
        if binary:
            return FRAME_HEADER.pack(FRAME_MAGIC, 4 if float32 else 8, 3, 0, seq, t)
        return json.dumps({"seq": seq, "t": t, "keypoints": []}).encode()
    array = np.asarray(values, dtype=np.float64)
    array = array.reshape(array.shape[0], -1)
    width = array.shape[1]
    if width not in (3, 16):
        raise ValueError(f"values must be (joints, 3) positions or (joints, 16) poses, got "
                         f"{tuple(np.shape(values))}")
    if binary:
        body = array.astype("<f4" if float32 else "<f8").tobytes()
        return FRAME_HEADER.pack(FRAME_MAGIC, 4 if float32 else 8, width, array.shape[0],
                                 seq, t) + body
    key = "poses" if width == 16 else "keypoints"
    rows = [[None if math.isnan(v) else v for v in row] for row in array.tolist()]
    return json.dumps({"seq": seq, "t": t, key: rows}).encode()


@dataclass
class Command:
    """The answer to one frame."""

    seq: int
    t: float
    t_recv: float
    qpos: FloatArray  #: in the published joint order
    error: float
    status: str  #: "ok" or "held"
    t_solve: float = 0.0
    t_send: float = math.nan


def encode_command(command: Command, joint_names: list[str] | None = None,
                   clock: Callable[[], float] = time.time) -> bytes:
    """JSON command, ``joint_names`` added when given. ``t_send`` is stamped (and set on the
    command) once everything else is encoded, so that it covers the encoding too."""
    head = _core.command_json_head(command.seq, command.t, command.t_recv, command.t_solve,
                                   command.qpos, command.error, command.status)
    if joint_names is not None:
        head += b', "joint_names": ' + json.dumps(joint_names).encode()
    command.t_send = clock()
    return head + b', "t_send": ' + repr(command.t_send).encode() + b"}"


def encode_command_binary(command: Command, clock: Callable[[], float] = time.time) -> bytes:
    """Binary command; ``t_send`` stamped last, as by :func:`encode_command`."""
    qpos = np.ascontiguousarray(command.qpos, dtype="<f8").tobytes()
    command.t_send = clock()
    return COMMAND_HEADER.pack(COMMAND_MAGIC, STATUS_CODES[command.status],
                               len(qpos) // 8, command.seq, command.t, command.t_recv,
                               command.t_send, command.t_solve, command.error) + qpos


def encode_joint_names(joint_names: list[str]) -> bytes:
    return json.dumps({"joint_names": joint_names}).encode()


def decode_command(data: bytes | bytearray | memoryview) -> dict[str, Any]:
    """A command (JSON or binary) as a dict, for consumers written in Python."""
    if bytes(data[:4]) == COMMAND_MAGIC:
        if len(data) < COMMAND_HEADER.size:
            raise MalformedMessage("binary command shorter than its header")
        _, status, dof, seq, t, t_recv, t_send, t_solve, error = COMMAND_HEADER.unpack_from(data)
        if len(data) != COMMAND_HEADER.size + 8 * dof:
            raise MalformedMessage("binary command of the wrong length")
        qpos = np.frombuffer(data, dtype="<f8", offset=COMMAND_HEADER.size).copy()
        return {"seq": seq, "t": t, "t_recv": t_recv, "t_send": t_send, "t_solve": t_solve,
                "qpos": qpos, "error": error, "status": STATUS_NAMES.get(status, "?")}
    try:
        message = json.loads(bytes(data))
    except ValueError:
        raise MalformedMessage("not a command") from None
    if not isinstance(message, dict):
        raise MalformedMessage("not a command")
    return message
