"""The output low-pass filter's ``low_pass_alpha`` as a cutoff frequency, and back.

Each output is ``y = y_prev + alpha * (x - y_prev)``: a first-order (exponential) low-pass
filter sampled at the frame rate ``fs``. Its cutoff frequency ``fc`` and ``alpha`` are related by
``alpha = 1 - exp(-2 * pi * fc / fs)``. An alpha of 1 passes every frame unchanged; an alpha
outside [0, 1] switches the filter off.
"""

from __future__ import annotations

import math


def alpha_for_cutoff(cutoff_hz: float, frame_rate_hz: float) -> float:
    """``low_pass_alpha`` giving a cutoff of ``cutoff_hz`` at ``frame_rate_hz`` frames/s."""
    if not (frame_rate_hz > 0 and cutoff_hz >= 0):
        raise ValueError("the frame rate must be positive and the cutoff non-negative")
    return 1.0 - math.exp(-2.0 * math.pi * cutoff_hz / frame_rate_hz)


def cutoff_for_alpha(alpha: float, frame_rate_hz: float) -> float:
    """Cutoff frequency in Hz of ``low_pass_alpha`` at ``frame_rate_hz`` frames/s."""
    if not frame_rate_hz > 0:
        raise ValueError("the frame rate must be positive")
    if not 0.0 <= alpha < 1.0:
        raise ValueError("alpha must be in [0, 1): 1 passes everything, outside switches off")
    return -math.log1p(-alpha) * frame_rate_hz / (2.0 * math.pi)
