"""The two orthographic views of a hand in the hand frame (x from the wrist to the middle
knuckle, y towards the little finger, z out of the palm).

- side: seen from the little finger's side, the back of the hand up, the fingers to the right;
- top: seen from above the back of the hand, the fingers to the right, the thumb up.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]


@dataclass(frozen=True)
class View:
    name: str
    title: str
    #: rows: the screen's right, the screen's up and the direction towards the viewer
    axes: tuple[tuple[float, float, float], tuple[float, float, float], tuple[float, float, float]]
    labels: tuple[str, str]

    def project(self, points: npt.ArrayLike) -> FloatArray:
        """(..., 3) points -> (..., 3): screen x, screen y and nearness to the viewer."""
        return np.asarray(np.asarray(points, dtype=np.float64) @ np.asarray(self.axes).T)


SIDE = View("side", "side", ((1.0, 0.0, 0.0), (0.0, 0.0, -1.0), (0.0, 1.0, 0.0)),
            ("x: towards the fingers [mm]", "back of the hand ↑  [mm]"))
TOP = View("top", "top", ((1.0, 0.0, 0.0), (0.0, -1.0, 0.0), (0.0, 0.0, -1.0)),
           ("x: towards the fingers [mm]", "thumb side ↑  [mm]"))
VIEWS = (SIDE, TOP)
