"""Paths and fixtures shared by the tests of the kova tool (imported by its test modules)."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest

import kova_rs

PACKAGE = Path(kova_rs.__file__).resolve().parent
RESOURCES = PACKAGE / "resources"
HANDS_DIR = RESOURCES / "assets" / "robots" / "hands"
CONFIGS_DIR = RESOURCES / "configs"
METHODS = ("position", "vector", "dexpilot")
HANDS = sorted(p.name for p in HANDS_DIR.iterdir() if p.is_dir())
# makers' hands made ready by kova init carry their origin and licence; the others are kova's own
REAL_HANDS = [h for h in HANDS if (HANDS_DIR / h / "SOURCE.md").is_file()]
OWN_HANDS = [h for h in HANDS if h not in REAL_HANDS]


@pytest.fixture(scope="session")
def demo_motion() -> np.ndarray:
    return np.load(RESOURCES / "motions" / "demo_motion.npy")


def config_path(method: str, hand: str) -> Path:
    return CONFIGS_DIR / method / f"{hand}.yml"


def urdf_path(hand: str) -> Path:
    return HANDS_DIR / hand / f"{hand}.urdf"
