"""Where frames come from and where commands go: UDP, ZeroMQ, recordings.

Endpoints:

- ``udp://HOST:PORT``: as a source, frames are datagrams sent to this address (kova binds it);
  as a sink, commands are datagrams sent to it (from a port of kova's own, which also takes
  ``{"request": "joint_names"}`` datagrams from the consumer).
- ``zmq+tcp://HOST:PORT`` (needs pyzmq, ``pip install kova_rs[live]``): as a source, a SUB
  socket connected to the tracker's PUB socket at that address (every topic; a message may have
  a topic part before the frame); as a sink, a PUB socket bound to the address.
- a recording (``.npy``, ``.npz``, ``.csv``; ``file:PATH`` works too), as a source only: replayed
  at its frame rate (see :class:`RecordingSource`).
- ``camera:N`` or ``video:PATH``, as a source only: images through MediaPipe's hand landmarker
  (:mod:`kova_rs.live.camera`).

Nothing here waits for a consumer: a command that a transport cannot take at once is counted
and dropped. Receiving is bounded: a datagram is read into a fixed buffer, ZeroMQ queues hold
at most QUEUE_MESSAGES messages of at most MAX_ZMQ_MESSAGE bytes, and one wake-up takes at most
MAX_BATCH messages.
"""

from __future__ import annotations

import errno
import socket
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from kova_rs.extras import require
from kova_rs.live.messages import Frame

MAX_DATAGRAM = 65536
MAX_ZMQ_MESSAGE = 1 << 20
QUEUE_MESSAGES = 64
MAX_BATCH = 1024
SCHEMES = ("udp", "zmq+tcp")


@dataclass(frozen=True)
class Endpoint:
    scheme: str  #: "udp", "zmq+tcp", "file" or "camera" (host: "camera:N" or "video:PATH")
    host: str = ""
    port: int = 0
    path: Path | None = None

    def __str__(self) -> str:
        if self.scheme in ("file", "camera"):
            return str(self.path) if self.scheme == "file" else self.host
        return f"{self.scheme}://{self.host}:{self.port}"


def parse_endpoint(text: str, *, files: bool = True) -> Endpoint:
    """``udp://HOST:PORT``, ``zmq+tcp://HOST:PORT`` or (with ``files``) a recording's path."""
    if "://" in text:
        scheme, _, rest = text.partition("://")
        if scheme not in SCHEMES:
            raise ValueError(f"{text}: unknown transport {scheme!r}; use "
                             + ", ".join(f"{s}://HOST:PORT" for s in SCHEMES))
        host, sep, port = rest.rpartition(":")
        host = host.strip("[]")
        if not sep or not host or not port.isdigit() or not 0 < int(port) < 65536:
            raise ValueError(f"{text}: expected {scheme}://HOST:PORT with a port from 1 to 65535")
        return Endpoint(scheme, host, int(port))
    if not files:
        raise ValueError(f"{text}: expected udp://HOST:PORT or zmq+tcp://HOST:PORT")
    if text.startswith(("camera:", "video:")):
        return Endpoint("camera", host=text)
    path = Path(text.removeprefix("file:"))
    if not path.is_file():
        raise ValueError(f"{text}: no such recording (sources are udp://HOST:PORT, "
                         "zmq+tcp://HOST:PORT or a recording file)")
    return Endpoint("file", path=path)


#: one received message: its bytes (or a frame already decoded), where to answer a request
#: (None: no way back) and when it arrived (time.time())
Incoming = tuple[bytes | Frame, Any, float]


def _udp_family(host: str) -> socket.AddressFamily:
    return socket.AF_INET6 if ":" in host else socket.AF_INET


class UdpSource:
    """Datagrams sent to HOST:PORT."""

    def __init__(self, endpoint: Endpoint) -> None:
        self.socket = socket.socket(_udp_family(endpoint.host), socket.SOCK_DGRAM)
        try:
            self.socket.bind((endpoint.host, endpoint.port))
        except OSError as err:
            self.socket.close()
            raise ValueError(f"{endpoint}: cannot listen there ({err.strerror or err})") \
                from None
        self.socket.setblocking(False)
        self._buffer = bytearray(MAX_DATAGRAM)
        self._view = memoryview(self._buffer)
        self.pollable: Any = self.socket

    def receive(self) -> list[Incoming]:
        return _drain_udp(self.socket, self._view)

    def reply(self, address: Any, data: bytes) -> None:
        _send_udp(self.socket, data, address)

    def close(self) -> None:
        self.socket.close()


def _drain_udp(sock: socket.socket, view: memoryview) -> list[Incoming]:
    out: list[Incoming] = []
    while len(out) < MAX_BATCH:
        try:
            size, address = sock.recvfrom_into(view)
        except (BlockingIOError, InterruptedError):
            break
        except ConnectionRefusedError:  # an ICMP answer to an earlier send; nothing to read
            continue
        out.append((bytes(view[:size]), address, time.time()))
    return out


def _send_udp(sock: socket.socket, data: bytes, address: Any) -> bool:
    try:
        sock.sendto(data, address)
    except (BlockingIOError, InterruptedError, ConnectionRefusedError):
        return False
    except OSError as err:
        if err.errno in (errno.EMSGSIZE, errno.ENOBUFS, errno.EHOSTUNREACH, errno.ENETUNREACH):
            return False
        raise
    return True


class UdpSink:
    """Commands as datagrams to HOST:PORT; consumers may send requests back to our port."""

    def __init__(self, endpoint: Endpoint) -> None:
        self.endpoint = endpoint
        family = _udp_family(endpoint.host)
        self.socket = socket.socket(family, socket.SOCK_DGRAM)
        self.socket.bind(("::" if family == socket.AF_INET6 else "0.0.0.0", 0))
        self.socket.setblocking(False)
        try:
            info = socket.getaddrinfo(endpoint.host, endpoint.port, family, socket.SOCK_DGRAM)
        except socket.gaierror as err:
            self.socket.close()
            raise ValueError(f"{endpoint}: unknown host ({err})") from None
        self._address = info[0][4]
        self._view = memoryview(bytearray(MAX_DATAGRAM))
        self.pollable: Any = self.socket

    def send(self, data: bytes) -> bool:
        return _send_udp(self.socket, data, self._address)

    def receive(self) -> list[Incoming]:
        return _drain_udp(self.socket, self._view)

    def reply(self, address: Any, data: bytes) -> None:
        _send_udp(self.socket, data, address)

    def close(self) -> None:
        self.socket.close()


def _zmq() -> Any:
    return require("zmq")  # MissingExtra names kova_rs[live]


class ZmqSource:
    """A SUB socket connected to a tracker's PUB socket."""

    def __init__(self, endpoint: Endpoint, context: Any = None) -> None:
        zmq = _zmq()
        self._zmq = zmq
        self._context = context or zmq.Context.instance()
        self.socket = self._context.socket(zmq.SUB)
        self.socket.setsockopt(zmq.LINGER, 0)
        self.socket.setsockopt(zmq.RCVHWM, QUEUE_MESSAGES)
        self.socket.setsockopt(zmq.MAXMSGSIZE, MAX_ZMQ_MESSAGE)
        self.socket.setsockopt(zmq.SUBSCRIBE, b"")
        self.socket.connect(f"tcp://{_zmq_host(endpoint.host)}:{endpoint.port}")
        self.pollable: Any = self.socket

    def receive(self) -> list[Incoming]:
        out: list[Incoming] = []
        while len(out) < MAX_BATCH:
            try:
                parts = self.socket.recv_multipart(self._zmq.NOBLOCK, copy=True)
            except self._zmq.Again:
                break
            out.append((parts[-1], None, time.time()))
        return out

    def reply(self, address: Any, data: bytes) -> None:  # SUB has no way back
        pass

    def close(self) -> None:
        self.socket.close(0)


class ZmqSink:
    """A PUB socket bound to HOST:PORT; consumers connect a SUB socket to it."""

    def __init__(self, endpoint: Endpoint, context: Any = None) -> None:
        zmq = _zmq()
        self._zmq = zmq
        self._context = context or zmq.Context.instance()
        self.socket = self._context.socket(zmq.PUB)
        self.socket.setsockopt(zmq.LINGER, 0)
        self.socket.setsockopt(zmq.SNDHWM, QUEUE_MESSAGES)
        try:
            self.socket.bind(f"tcp://{_zmq_host(endpoint.host)}:{endpoint.port}")
        except zmq.ZMQError as err:
            self.socket.close(0)
            raise ValueError(f"{endpoint}: cannot publish there ({err})") from None
        self.pollable: Any = None

    def send(self, data: bytes) -> bool:
        try:
            self.socket.send(data, self._zmq.NOBLOCK)
        except self._zmq.Again:
            return False
        return True

    def receive(self) -> list[Incoming]:
        return []

    def close(self) -> None:
        self.socket.close(0)


def _zmq_host(host: str) -> str:
    return f"[{host}]" if ":" in host else host


class RecordingSource:
    """A recording replayed at its frame rate.

    A recording written by ``kova live --record`` keeps its layout, its sequence numbers and
    its timing; any other recording of the 21 landmarks (.npy/.npz (N, 21, 3), .csv) is played
    as the mediapipe layout at ``fps`` frames per second. Each frame's ``t`` is the time it is
    due (time.time()).
    """

    pollable: Any = None

    def __init__(self, path: Path, fps: float | None = None,
                 clock: Callable[[], float] = time.time) -> None:
        recording = read_recording(path)
        self.layout, self.frames, self.seq = recording.layout, recording.frames, recording.seq
        if fps is None and recording.offsets is not None:
            self._offsets = recording.offsets
        else:
            rate = 30.0 if fps is None else fps
            if not rate > 0:
                raise ValueError(f"{path}: the frame rate must be positive, got {rate}")
            self._offsets = np.arange(len(self.frames)) / rate
        self._clock = clock
        self._start: float | None = None
        self._next = 0

    @property
    def exhausted(self) -> bool:
        return self._next >= len(self.frames)

    def timeout(self) -> float:
        """Seconds until the next frame is due."""
        if self._start is None:
            self._start = self._clock()
        if self.exhausted:
            return 0.0
        return max(0.0, self._start + float(self._offsets[self._next]) - self._clock())

    def receive(self) -> list[Incoming]:
        if self._start is None:
            self._start = self._clock()
        now = self._clock()
        out: list[Incoming] = []
        while not self.exhausted and self._start + self._offsets[self._next] <= now:
            i = self._next
            values = self.frames[i]
            frame = Frame(int(self.seq[i]), float(self._start + self._offsets[i]),
                          None if np.all(np.isnan(values)) else values, now)
            out.append((frame, None, now))
            self._next += 1
        return out

    def reply(self, address: Any, data: bytes) -> None:
        pass

    def close(self) -> None:
        pass


@dataclass
class Recording:
    layout: str
    frames: np.ndarray  #: (N, joints, 3 or 16)
    seq: np.ndarray  #: (N,)
    offsets: np.ndarray | None  #: (N,) seconds from the first frame, when recorded


def read_recording(path: Path) -> Recording:
    """A recording written by ``kova live --record``, or any recording of the 21 landmarks."""
    if path.suffix.lower() == ".npz":
        try:
            with np.load(path, allow_pickle=False) as archive:
                if "frames" in archive.files and "layout" in archive.files:
                    frames = np.asarray(archive["frames"], dtype=np.float64)
                    seq = np.asarray(archive["seq"], dtype=np.int64)
                    t = np.asarray(archive["t"], dtype=np.float64)
                    layout = str(archive["layout"])
                    if frames.ndim != 3 or len(seq) != len(frames) or len(t) != len(frames):
                        raise ValueError(f"{path}: frames, seq and t do not match")
                    if not len(frames):
                        raise ValueError(f"{path}: holds no frames")
                    return Recording(layout, frames, seq, t - t[0])
        except (OSError, ValueError, KeyError) as err:
            if str(err).startswith(str(path)):
                raise
            raise ValueError(f"{path}: not a readable recording ({err})") from None
    from kova_rs.motion_io import load_motion

    motion = load_motion(path)
    return Recording("mediapipe", motion, np.arange(len(motion)), None)


def open_source(endpoint: Endpoint, fps: float | None = None, *,
                mediapipe_model: Path | None = None, side: str = "right") -> Any:
    if endpoint.scheme == "udp":
        return UdpSource(endpoint)
    if endpoint.scheme == "zmq+tcp":
        return ZmqSource(endpoint)
    if endpoint.scheme == "camera":
        from kova_rs.live.camera import CameraSource

        return CameraSource(endpoint.host, mediapipe_model, side)
    assert endpoint.path is not None
    return RecordingSource(endpoint.path, fps)


def open_sink(endpoint: Endpoint) -> Any:
    if endpoint.scheme == "udp":
        return UdpSink(endpoint)
    return ZmqSink(endpoint)


def close_all(things: list[Any]) -> None:
    for thing in things:
        try:
            thing.close()
        except OSError:
            pass

