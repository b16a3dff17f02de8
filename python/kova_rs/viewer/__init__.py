"""The browser viewer of retargeted motions (viser and trimesh: the ``view`` extra)."""

from kova_rs.viewer.browser_viewer import Viewer, view

__all__ = ["Viewer", "view"]
