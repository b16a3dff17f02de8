"""Recording a live session: every frame answered, with its command, written at the end.

The archive (.npz) holds ``frames`` (N, joints, 3 or 16) as received (NaN where the tracker
sent no hand), ``layout``, ``seq``, ``t``, ``t_recv``, ``t_send``, ``t_solve``, ``status``,
``qpos`` (N, joints published) with ``joint_names``, and ``error``. ``kova live --source`` replays
it with its own timing. Memory grows with the session (about 3.5 kB per frame of 26 poses).
"""

from __future__ import annotations

import math
import os
import tempfile
from pathlib import Path
from typing import Any

import numpy as np

from kova_rs.live.messages import Command, Frame


class Recorder:
    def __init__(self, path: Path, layout: str, joint_names: list[str],
                 provenance: dict[str, str] | None = None) -> None:
        self.path = path
        self._layout = layout
        self._joint_names = list(joint_names)
        self._provenance = dict(provenance or {})
        self._width: int | None = None
        self._frames: list[np.ndarray] = []
        self._commands: list[Command] = []

    def __len__(self) -> int:
        return len(self._commands)

    def add(self, frame: Frame, command: Command, joints: int) -> None:
        values = frame.values
        if self._width is None:
            self._width = 3 if values is None else values.shape[1]
        if values is None or values.shape[1] != self._width:
            # no hand, or the other encoding than the session started with
            values = np.full((joints, self._width), math.nan)
        self._frames.append(np.array(values, dtype=np.float64))
        self._commands.append(command)

    def save(self) -> Path:
        """Write the archive atomically (a temporary file in the same folder, then renamed)."""
        commands = self._commands
        width = self._width or 3
        arrays: dict[str, Any] = {
            "frames": (np.stack(self._frames) if self._frames
                       else np.zeros((0, 0, width))),
            "layout": np.asarray(self._layout),
            "seq": np.asarray([c.seq for c in commands], dtype=np.int64),
            "t": np.asarray([c.t for c in commands], dtype=np.float64),
            "t_recv": np.asarray([c.t_recv for c in commands], dtype=np.float64),
            "t_send": np.asarray([c.t_send for c in commands], dtype=np.float64),
            "t_solve": np.asarray([c.t_solve for c in commands], dtype=np.float64),
            "status": np.asarray([c.status for c in commands], dtype=str),
            "qpos": (np.stack([c.qpos for c in commands]) if commands
                     else np.zeros((0, len(self._joint_names)))),
            "error": np.asarray([c.error for c in commands], dtype=np.float64),
            "joint_names": np.asarray(self._joint_names, dtype=str),
        }
        arrays.update({key: np.asarray(value) for key, value in self._provenance.items()})
        folder = self.path.parent if str(self.path.parent) else Path(".")
        handle, temporary = tempfile.mkstemp(prefix=f".{self.path.name}.", suffix=".npz",
                                             dir=folder)
        try:
            with os.fdopen(handle, "wb") as out:
                np.savez(out, **arrays)
            os.replace(temporary, self.path)
        except BaseException:
            Path(temporary).unlink(missing_ok=True)
            raise
        return self.path
