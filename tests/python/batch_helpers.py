"""Small datasets for the batch tests."""

from __future__ import annotations

import json
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
