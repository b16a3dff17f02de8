"""A stand-in retargeter for the batch tests: deterministic, fast, steered by its JSON config.

Worker processes import this module by name, so it stays importable on its own (no pytest).
Config keys: ``dof``; ``delay`` seconds per recording; ``log`` a file that gets one line per
retargeted recording; ``builds`` a file that gets one line per retargeter built; ``pid_dir`` where
a worker announces the recording it works on; ``die_on`` a recording name whose retargeting kills
the worker process; ``stall_after`` a count of lines in ``log`` from which recordings take a
minute (a run that only an interrupt ends); ``invalid`` makes building fail like a bad configuration.
"""

from __future__ import annotations

import hashlib
import json
import os
import time
from pathlib import Path
from types import SimpleNamespace

import numpy as np

from kova_rs.batch import Backend


def load(path: str) -> np.ndarray:
    if path.endswith(".npy"):
        data = np.load(path, allow_pickle=False)
    elif path.endswith(".npz"):
        with np.load(path, allow_pickle=False) as archive:
            data = archive[archive.files[0]]
    else:
        data = np.loadtxt(path, delimiter=",", ndmin=2)
        if data.shape[1] != 63:
            raise ValueError(f"{path}: expected 63 numbers per line, got {data.shape[1]}")
        data = data.reshape(-1, 21, 3)
    if data.ndim != 3 or data.shape[1:] != (21, 3):
        raise ValueError(f"{path}: expected an array of shape (N, 21, 3), got {data.shape}")
    return data


def _append(path: str | None, line: str) -> None:
    if path:
        with open(path, "a", encoding="utf-8") as handle:
            handle.write(line + "\n")


def _lines(path: str) -> int:
    try:
        return len(Path(path).read_text(encoding="utf-8").splitlines())
    except FileNotFoundError:
        return 0


class FakeRetargeter:
    def __init__(self, settings: dict):
        self.settings = settings
        self.dof = int(settings.get("dof", 4))
        self.joint_names = [f"joint_{i}" for i in range(self.dof)]

    def __call__(self, keypoints: np.ndarray) -> SimpleNamespace:
        settings = self.settings
        tag = f"{keypoints.shape[0]}:{float(keypoints[0, 0, 0]):.6f}"
        if settings.get("pid_dir"):
            Path(settings["pid_dir"], f"{os.getpid()}").write_text(tag)
        if settings.get("die_on") is not None and float(keypoints[0, 0, 0]) == settings["die_on"]:
            os._exit(3)
        stall_after = settings.get("stall_after")
        stalls = stall_after is not None and _lines(settings["log"]) >= stall_after
        time.sleep(60.0 if stalls else float(settings.get("delay", 0.0)))
        qpos = np.stack([keypoints[:, j + 1, :].sum(axis=1) for j in range(self.dof)], axis=1)
        errors = np.linalg.norm(keypoints[:, [4, 8], :], axis=2)
        _append(settings.get("log"), tag)
        return SimpleNamespace(qpos=qpos, joint_names=list(self.joint_names), errors=errors)


def build(config: str) -> FakeRetargeter:
    settings = json.loads(Path(config).read_text(encoding="utf-8"))
    if settings.get("invalid"):
        raise ValueError("target_link_names and target_link_human_indices differ in length")
    _append(settings.get("builds"), str(os.getpid()))
    return FakeRetargeter(settings)


def describe(config: str) -> dict[str, str]:
    """Provenance of a stand-in configuration: the hash of its file."""
    digest = hashlib.sha256(Path(config).read_bytes()).hexdigest()
    return {"solver": "fake", "config_sha256": digest, "urdf_sha256": ""}


FAKE = Backend(load=load, build=build, describe=describe)


def expected_qpos(keypoints: np.ndarray, dof: int = 4) -> np.ndarray:
    return np.stack([keypoints[:, j + 1, :].sum(axis=1) for j in range(dof)], axis=1)
