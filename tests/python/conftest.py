"""Shared fixtures: the real robot files of tests/data/robots and ready configurations of each type."""

from __future__ import annotations

import textwrap
from pathlib import Path

import pytest

from kova_rs import RetargetingConfig

REPO = Path(__file__).resolve().parents[2]
ROBOTS = REPO / "tests" / "data" / "robots"

ALLEGRO = "allegro/allegro_hand_description_right.urdf"
ALLEGRO_TIPS = ["link_3.0_tip", "link_7.0_tip", "link_11.0_tip", "link_15.0_tip"]
ALLEGRO_PALM = "base_link"
INSPIRE = "inspire/DFQ_right_hand.urdf"


@pytest.fixture(scope="session")
def robots() -> Path:
    # The files are part of the repository: their absence is a broken checkout, not a reason to skip.
    assert (ROBOTS / ALLEGRO).is_file(), f"test robot files missing under {ROBOTS}"
    return ROBOTS


@pytest.fixture(scope="session")
def allegro(robots: Path) -> str:
    return str(robots / ALLEGRO)


def position_config(urdf: str, **overrides) -> RetargetingConfig:
    kwargs = dict(target_link_names=ALLEGRO_TIPS, target_link_human_indices=[4, 8, 12, 16])
    kwargs.update(overrides)
    return RetargetingConfig("position", urdf, **kwargs)


def vector_config(urdf: str, **overrides) -> RetargetingConfig:
    kwargs = dict(
        target_origin_link_names=[ALLEGRO_PALM] * 4,
        target_task_link_names=ALLEGRO_TIPS,
        target_link_human_indices=[[0, 0, 0, 0], [4, 8, 12, 16]],
    )
    kwargs.update(overrides)
    return RetargetingConfig("vector", urdf, **kwargs)


def dexpilot_config(urdf: str, **overrides) -> RetargetingConfig:
    kwargs = dict(wrist_link_name=ALLEGRO_PALM, finger_tip_link_names=ALLEGRO_TIPS)
    kwargs.update(overrides)
    return RetargetingConfig("dexpilot", urdf, **kwargs)


MAKERS = {"position": position_config, "vector": vector_config, "dexpilot": dexpilot_config}


def row_count(kind: str, fingers: int = 4) -> int:
    """Rows of three numbers that one frame of `kind` reads on the four-finger setups above."""
    if kind == "dexpilot":
        return fingers * (fingers - 1) // 2 + fingers
    return 4


def write_yaml(directory: Path, text: str, name: str = "config.yml") -> Path:
    path = directory / name
    path.write_text(textwrap.dedent(text), encoding="utf-8")
    return path
