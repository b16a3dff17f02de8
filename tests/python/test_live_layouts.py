"""Every tracker layout through `kova live` gives the commands of the 21-landmark frames."""

from __future__ import annotations

import numpy as np
import pytest
from kova_rs.live.layouts import layout_info, layout_names
from live_support import LiveProcess, demo_motion

FRAMES = 8


def rotation(axis, angle: float) -> np.ndarray:
    x, y, z = np.asarray(axis) / np.linalg.norm(axis)
    k = np.array([[0.0, -z, y], [z, 0.0, -x], [-y, x, 0.0]])
    return np.eye(3) + np.sin(angle) * k + (1.0 - np.cos(angle)) * (k @ k)


# The demo motion is in the hand frame; a tracker sees it turned and moved.
TURN = rotation((0.3, -1.0, 0.6), 2.1)
SHIFT = np.array([0.31, 1.42, -0.57])


def seen_by_tracker(motion: np.ndarray) -> np.ndarray:
    return motion @ TURN.T + SHIFT


def wrist_axes(layout: str) -> np.ndarray:
    """The wrist orientation a tracker reports, by its documented convention (right hand)."""
    fingers, back = TURN[:, 0], -TURN[:, 2]
    if layout == "visionpro":  # +x towards the fingers, +y out of the back, z = x cross y
        return np.column_stack([fingers, back, np.cross(fingers, back)])
    z = -fingers  # openxr, webxr: -z towards the fingers, +y out of the back, x = y cross z
    return np.column_stack([np.cross(back, z), back, z])


def tracker_frames(layout: str, landmarks: np.ndarray, poses: bool) -> np.ndarray:
    info = layout_info(layout)
    rng = np.random.default_rng(3)
    frames = rng.normal(size=(len(landmarks), info.joint_count, 3))  # joints nobody reads
    frames[:, info.landmark_joint] = landmarks
    if not poses:
        return frames
    out = np.zeros(frames.shape[:2] + (4, 4))
    out[..., :3, :3] = rotation((1.0, 2.0, 0.5), 0.4)
    if info.has_wrist_orientation:
        out[:, info.landmark_joint[0], :3, :3] = wrist_axes(layout)
    out[..., :3, 3] = frames
    out[..., 3, 3] = 1.0
    return out.reshape(len(landmarks), info.joint_count, 16)


def commands(frames: list[np.ndarray], *args: str) -> np.ndarray:
    with LiveProcess(*args) as live:
        answers = [live.exchange(i, frame)["qpos"] for i, frame in enumerate(frames)]
        live.stop()
    return np.asarray(answers)


def poses_then_positions(layout: str) -> list[np.ndarray]:
    landmarks = seen_by_tracker(demo_motion(FRAMES))
    return [*tracker_frames(layout, landmarks, True), *tracker_frames(layout, landmarks, False)]


@pytest.fixture(scope="module")
def expected() -> np.ndarray:
    """Commands for the 21 landmarks as a tracker sees them, as poses and then as positions."""
    return commands(poses_then_positions("mediapipe"), "--layout", "mediapipe")


@pytest.mark.parametrize("layout", [n for n in layout_names() if n != "mediapipe"])
def test_each_layout_gives_the_commands_of_its_landmarks(layout, expected):
    got = commands(poses_then_positions(layout), "--layout", layout)
    np.testing.assert_array_equal(got, expected)  # the same numbers: the same commands


@pytest.mark.parametrize("layout", [n for n in ("openxr", "visionpro") if n in layout_names()])
def test_the_tracker_wrist_orientation_gives_the_same_hand(layout, expected):
    got = commands(poses_then_positions(layout)[:FRAMES], "--layout", layout,
                   "--hand-frame", "tracker")
    # the tracker's axes agree with the palm: equal to rounding
    np.testing.assert_allclose(got, expected[:FRAMES], atol=1e-6)
