"""low_pass_alpha as a cutoff frequency."""

import math

import numpy as np
import pytest

from kova_rs.lowpass import alpha_for_cutoff, cutoff_for_alpha


def test_round_trip():
    for fs in (30.0, 90.0, 120.0):
        for fc in (0.5, 2.0, 5.0, 12.0):
            assert cutoff_for_alpha(alpha_for_cutoff(fc, fs), fs) == pytest.approx(fc)


def test_known_values():
    assert alpha_for_cutoff(0.0, 30.0) == 0.0
    assert cutoff_for_alpha(0.7, 30.0) == pytest.approx(30.0 * math.log(1 / 0.3) / (2 * math.pi))


def test_filter_attenuates_a_sine_at_its_cutoff_like_a_first_order_filter():
    fs, fc = 90.0, 5.0
    alpha = alpha_for_cutoff(fc, fs)
    t = np.arange(0, 20, 1 / fs)
    x, y, out = np.sin(2 * np.pi * fc * t), 0.0, []
    for v in x:
        y = y + alpha * (v - y)
        out.append(y)
    gain = np.ptp(out[len(out) // 2:]) / 2
    assert 0.62 < gain < 0.78  # about 1/sqrt(2) at the cutoff of a first-order filter


def test_refuses_nonsense():
    with pytest.raises(ValueError):
        alpha_for_cutoff(5.0, 0.0)
    with pytest.raises(ValueError):
        cutoff_for_alpha(1.0, 30.0)
