"""The data shipped with kova: robot hands, their configurations and the demo motion."""

from __future__ import annotations

from pathlib import Path


def resources_dir() -> Path:
    """The folder of data shipped with kova (hands, configurations, demo motion)."""
    return Path(__file__).resolve().parent / "resources"


def shipped_hands() -> list[str]:
    """Names of the robot hands shipped with kova."""
    hands = resources_dir() / "assets" / "robots" / "hands"
    return sorted(p.name for p in hands.iterdir() if (p / f"{p.name}.urdf").is_file())


def shipped_config(method: str, hand: str) -> Path:
    """Path of the shipped configuration of ``hand`` for ``method``."""
    path = resources_dir() / "configs" / method / f"{hand}.yml"
    if not path.is_file():
        raise ValueError(
            f"no shipped {method} configuration for hand {hand!r}; hands: "
            + ", ".join(shipped_hands())
        )
    return path


def find_shipped_config(name: str) -> Path | None:
    """The shipped configuration called ``METHOD/HAND`` (``.yml`` optional), if there is one."""
    shipped = resources_dir() / "configs" / name
    for candidate in (shipped, shipped.with_name(shipped.name + ".yml")):
        if candidate.is_file():
            return candidate
    return None
