"""kova: retargets human hand motion onto robot hands."""

from kova_rs._native import __version__

__all__ = ["__version__"]
