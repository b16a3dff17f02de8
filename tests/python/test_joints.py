"""Reordering joint vectors between name orders."""

import numpy as np
import pytest

from kova_rs.joints import reorder_joints

NAMES = ["a", "b", "c", "d"]


def test_vector_follows_the_target_order():
    q = np.array([1.0, 2.0, 3.0, 4.0])
    np.testing.assert_array_equal(reorder_joints(q, NAMES, ["d", "a", "c", "b"]),
                                  [4.0, 1.0, 3.0, 2.0])


def test_trajectory_reorders_every_frame():
    q = np.arange(12.0).reshape(3, 4)
    out = reorder_joints(q, NAMES, ["c", "a"])
    np.testing.assert_array_equal(out, q[:, [2, 0]])


def test_round_trip_restores_the_input():
    rng = np.random.default_rng(0)
    q = rng.normal(size=(5, 4))
    other = ["c", "d", "b", "a"]
    np.testing.assert_array_equal(reorder_joints(reorder_joints(q, NAMES, other), other, NAMES), q)


def test_unknown_names_are_listed():
    with pytest.raises(ValueError, match=r"unknown joint name\(s\) 'x', 'y'"):
        reorder_joints(np.zeros(4), NAMES, ["a", "x", "y"])


def test_fill_value_stands_in_for_unknown_names():
    out = reorder_joints([1.0, 2.0, 3.0, 4.0], NAMES, ["b", "gripper"], fill=0.5)
    np.testing.assert_array_equal(out, [2.0, 0.5])


def test_length_mismatch_is_refused():
    with pytest.raises(ValueError, match="3 joints but 4 source names"):
        reorder_joints(np.zeros(3), NAMES, NAMES)


def test_duplicate_source_names_are_refused():
    with pytest.raises(ValueError, match="appears twice"):
        reorder_joints(np.zeros(2), ["a", "a"], ["a"])


def test_three_dimensional_input_is_refused():
    with pytest.raises(ValueError, match="shape"):
        reorder_joints(np.zeros((2, 2, 4)), NAMES, NAMES)
