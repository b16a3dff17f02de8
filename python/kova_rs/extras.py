"""Optional dependencies: each belongs to an extra of the kova_rs package, and a missing one is
reported with the command that installs it."""

from __future__ import annotations

import importlib
from types import ModuleType

#: module -> (extra that installs it, what needs it)
EXTRAS = {
    "matplotlib": ("plot", "plotting needs matplotlib"),
    "tqdm": ("progress", "progress bars need tqdm"),
    "distributed": ("dask", "running on a Dask cluster needs Dask distributed"),
    "zmq": ("live", "zmq+tcp:// transports need pyzmq"),
    "mediapipe": ("mediapipe", "camera and video sources need MediaPipe"),
    "cv2": ("mediapipe", "camera and video sources need OpenCV"),
    "viser": ("view", "the viewer needs viser"),
    "trimesh": ("view", "the viewer needs trimesh"),
    "PIL": ("plot", "GIF animations need Pillow, which matplotlib brings"),
}


class MissingExtra(ImportError):
    """An optional dependency is not installed; the message says how to install it."""


def install_hint(module: str) -> str:
    extra, need = EXTRAS[module]
    return f"{need}: pip install 'kova_rs[{extra}]'"


def require(module: str) -> ModuleType:
    """``module`` imported, or :class:`MissingExtra` naming the extra that provides it."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise MissingExtra(install_hint(module)) from None


def available(module: str) -> bool:
    try:
        require(module)
    except MissingExtra:
        return False
    return True
