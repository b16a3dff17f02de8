"""The live loop on one thread: wait for messages, answer the newest frame, publish.

Frames that arrive while a frame is being solved wait in the transport's bounded queue; the
next turn reads all of them and answers them oldest first, each command published as soon as
it is solved, dropping older ones only when catching up would delay the newest too long (see
:meth:`~kova_rs.live.Bridge.process_waiting`).
Publishing never waits. SIGINT and SIGTERM end the loop after the current frame.
"""

from __future__ import annotations

import gc
import signal
import threading
import time
from collections.abc import Sequence
from typing import Any

from kova_rs.live.bridge import Bridge
from kova_rs.live.messages import (
    Command,
    Frame,
    Request,
    encode_command,
    encode_command_binary,
    encode_joint_names,
)
from kova_rs.live.record import Recorder
from kova_rs.live.stats import LiveStats

#: the longest wait between looks at the stop flag, seconds
_TICK = 0.1


class _Poller:
    """Waits on plain sockets, and on ZeroMQ sockets when there are any."""

    def __init__(self, items: Sequence[Any]) -> None:
        self._items = [item for item in items if item is not None]
        zmq_sockets = [i for i in self._items if type(i).__module__.startswith("zmq")]
        if zmq_sockets:
            import zmq

            self._zmq: Any = zmq.Poller()
            for item in self._items:
                self._zmq.register(item, zmq.POLLIN)
            self._selector: Any = None
        else:
            import selectors

            self._zmq = None
            self._selector = selectors.DefaultSelector()
            for item in self._items:
                self._selector.register(item, selectors.EVENT_READ)

    def wait(self, timeout: float) -> set[Any]:
        if not self._items:
            time.sleep(timeout)
            return set()
        if self._zmq is not None:
            return {item for item, _ in self._zmq.poll(1000 * timeout)}
        return {key.fileobj for key, _ in self._selector.select(timeout)}

    def close(self) -> None:
        if self._selector is not None:
            self._selector.close()


class LiveLoop:
    """One source, any number of sinks, one bridge."""

    def __init__(self, bridge: Bridge, source: Any, sinks: Sequence[Any], *,
                 binary: bool = False, recorder: Recorder | None = None,
                 duration: float | None = None) -> None:
        self.bridge = bridge
        self.source = source
        self.sinks = list(sinks)
        self.binary = binary
        self.recorder = recorder
        self.duration = duration
        self.stop = threading.Event()
        self._send_names = True

    @property
    def stats(self) -> LiveStats:
        return self.bridge.stats

    def run(self) -> LiveStats:
        """Until stopped (stop event, SIGINT, SIGTERM, the end of a recording, ``duration``)."""
        restore = self._install_signal_handlers()
        # What exists now lives as long as the loop: keep it out of the collector's scans, so
        # that a collection in the middle of a session costs microseconds, not milliseconds.
        gc.collect()
        gc.freeze()
        poller = _Poller([self.source.pollable] + [s.pollable for s in self.sinks])
        deadline = None if self.duration is None else time.monotonic() + self.duration
        try:
            while not self.stop.is_set():
                timeout = _TICK
                if hasattr(self.source, "timeout"):
                    timeout = min(timeout, self.source.timeout())
                if deadline is not None:
                    timeout = max(0.0, min(timeout, deadline - time.monotonic()))
                ready = poller.wait(timeout)
                self.turn(ready)
                if getattr(self.source, "exhausted", False):
                    break
                if deadline is not None and time.monotonic() >= deadline:
                    break
        finally:
            gc.unfreeze()
            poller.close()
            restore()
        return self.stats

    def turn(self, ready: set[Any]) -> Command | None:
        """Read what is waiting, answer it, publish the commands; the last one published."""
        frames: list[Frame] = []
        if self.source.pollable is None or self.source.pollable in ready:
            self._read(self.source, frames)
        for sink in self.sinks:
            if sink.pollable is not None and sink.pollable in ready:
                self._read(sink, frames)
        last = None
        for frame, command in self.bridge.process_waiting(frames):
            self._publish(command)
            if self.recorder is not None:
                self.recorder.add(frame, command, self.bridge.joint_count)
            last = command
        return last

    def _read(self, endpoint: Any, frames: list[Frame]) -> None:
        for data, address, t_recv in endpoint.receive():
            message = data if isinstance(data, Frame) else self.bridge.decode(data, t_recv)
            if isinstance(message, Request):
                self._send_names = True
                if address is not None:
                    endpoint.reply(address, encode_joint_names(self.bridge.joint_names))
            elif message is not None:
                if isinstance(data, Frame):
                    self.bridge.stats.messages += 1
                frames.append(message)

    def _publish(self, command: Command) -> None:
        bridge = self.bridge
        names = bridge.joint_names if self._send_names else None
        if self.binary:
            messages = [encode_command_binary(command)]
            if names is not None:
                messages.insert(0, encode_joint_names(names))
        else:
            messages = [encode_command(command, names)]
        for sink in self.sinks:
            ok = all(sink.send(m) for m in messages)
            bridge.sent(command, ok)
        self._send_names = False
        bridge.answered(command)

    def _install_signal_handlers(self) -> Any:
        if threading.current_thread() is not threading.main_thread():
            return lambda: None
        previous = {sig: signal.getsignal(sig) for sig in (signal.SIGINT, signal.SIGTERM)}

        def stop(signum: int, frame: Any) -> None:
            self.stop.set()

        for sig in previous:
            signal.signal(sig, stop)

        def restore() -> None:
            for sig, handler in previous.items():
                signal.signal(sig, handler)

        return restore
