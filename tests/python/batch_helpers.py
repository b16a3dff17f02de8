"""Small datasets for the batch tests."""

from __future__ import annotations

import json
import os
import time
from pathlib import Path

import numpy as np


def recording(tag: int, frames: int = 5) -> np.ndarray:
    """A recording whose first number is ``tag``, so the fake retargeter can tell them apart."""
    rng = np.random.default_rng(tag)
    data = rng.normal(scale=0.05, size=(frames, 21, 3))
    data[0, 0, 0] = float(tag)
    return data


def write_recording(path: Path, data: np.ndarray) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    if path.suffix == ".npy":
        np.save(path, data)
    elif path.suffix == ".npz":
        np.savez(path, keypoints=data)
    else:
        np.savetxt(path, data.reshape(len(data), 63), delimiter=",")
    return path


def make_dataset(root: Path, count: int, frames: int = 5) -> dict[str, np.ndarray]:
    """``count`` recordings over nested folders and all three formats: relative path -> data."""
    formats = (".npy", ".npz", ".csv")
    made = {}
    for i in range(count):
        relative = f"subject_{i % 3}/take_{i:03d}{formats[i % 3]}"
        made[relative] = recording(i, frames)
        write_recording(root / relative, made[relative])
    return made


def fake_config(path: Path, **settings) -> Path:
    path.write_text(json.dumps(settings), encoding="utf-8")
    return path


def output_for(output: Path, relative: str) -> Path:
    return output / Path(relative).with_suffix(".npz")


def wait_for(condition, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return False


def alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # a zombie not yet reaped by init counts as gone
    try:
        return Path(f"/proc/{pid}/stat").read_text().split()[2] != "Z"
    except OSError:
        return False
