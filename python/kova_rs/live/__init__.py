"""Live retargeting: tracker frames in, joint commands out (``kova live``).

:class:`Bridge` is the loop without a transport, for users who bring their own;
:class:`LiveLoop` runs it over UDP, ZeroMQ or a recording (:mod:`kova_rs.live.transports`).
Message formats: :mod:`kova_rs.live.messages`.
"""

from kova_rs.live.bridge import Bridge, Solver, joint_order_indices
from kova_rs.live.layouts import layout_names
from kova_rs.live.loop import LiveLoop
from kova_rs.live.messages import (
    Command,
    Frame,
    MalformedMessage,
    Request,
    decode,
    decode_command,
    encode_command,
    encode_command_binary,
    encode_frame,
)
from kova_rs.live.record import Recorder
from kova_rs.live.stats import LiveStats

__all__ = [
    "Bridge",
    "Command",
    "Frame",
    "LiveLoop",
    "LiveStats",
    "MalformedMessage",
    "Recorder",
    "Request",
    "Solver",
    "decode",
    "decode_command",
    "encode_command",
    "encode_command_binary",
    "encode_frame",
    "joint_order_indices",
    "layout_names",
]
