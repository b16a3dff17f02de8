"""The parametric human hand and the shipped demo recording."""

import numpy as np
import pytest

from kova_rs import human_hand as hh

from tool_support import RESOURCES, demo_motion  # noqa: F401 (fixture)

BONES = [(0, 1), (1, 2), (2, 3), (3, 4), (5, 6), (6, 7), (7, 8), (9, 10), (10, 11), (11, 12),
         (13, 14), (14, 15), (15, 16), (17, 18), (18, 19), (19, 20), (0, 5), (0, 9), (0, 13),
         (0, 17)]


def bone_lengths(frames):
    return np.stack([np.linalg.norm(frames[..., b, :] - frames[..., a, :], axis=-1)
                     for a, b in BONES], axis=-1)


def test_shipped_recording_is_what_the_generator_makes(demo_motion):
    np.testing.assert_allclose(demo_motion, hh.demo_motion(), atol=1e-12)


def test_recording_length_and_shape(demo_motion):
    assert demo_motion.shape[1:] == (21, 3)
    seconds = demo_motion.shape[0] / hh.DEMO_FPS
    assert 3.0 <= seconds <= 12.0


def test_bones_keep_their_length_in_every_frame(demo_motion):
    lengths = bone_lengths(demo_motion)
    np.testing.assert_allclose(lengths, lengths[:1].repeat(len(lengths), axis=0), atol=1e-12)


def test_bone_lengths_are_adult_sized():
    lengths = bone_lengths(hh.landmarks(hh.open_hand()))
    assert np.all(lengths > 0.015) and np.all(lengths < 0.10)
    # middle finger: proximal phalanx longer than middle, middle longer than distal
    assert lengths[7] > lengths[8] > lengths[9]


@pytest.mark.parametrize("finger", hh.FINGERS)
def test_each_pinch_closes_the_thumb_on_its_finger(finger):
    pts = hh.landmarks(hh.pinch(finger))
    tips = {f: np.linalg.norm(pts[hh.FINGERTIP_LANDMARKS[f]] - pts[hh.THUMB_TIP])
            for f in hh.FINGERS}
    assert tips[finger] == pytest.approx(0.008, abs=1e-4)
    assert all(d > 0.03 for f, d in tips.items() if f != finger)


def test_keyframes_point_at_the_key_poses(demo_motion):
    poses = dict(hh.demo_keyposes())
    for name, frame in hh.demo_keyframes():
        np.testing.assert_allclose(demo_motion[frame], hh.landmarks(poses[name]), atol=1e-12)
    names = [n for n, _ in hh.demo_keyframes()]
    assert {"fist", "spread", "pinch_index", "pinch_middle", "pinch_ring",
            "pinch_little"} <= set(names)


def test_fist_brings_fingertips_to_the_palm():
    pts = hh.landmarks(hh.fist())
    assert np.all(np.linalg.norm(pts[[8, 12, 16, 20]], axis=1) < 0.09)


def test_bigger_shape_scales_every_landmark():
    small = hh.landmarks(hh.open_hand())
    big = hh.landmarks(hh.open_hand(), hh.HandShape().scaled(1.2))
    np.testing.assert_allclose(big, 1.2 * small, atol=1e-12)


def test_generator_writes_a_file(tmp_path):
    assert hh.main([str(tmp_path / "m.npy")]) == 0
    assert np.load(tmp_path / "m.npy").shape == hh.demo_motion().shape


def test_bad_timing_is_refused():
    with pytest.raises(ValueError):
        hh.demo_motion(fps=0)
    with pytest.raises(ValueError, match="unknown finger"):
        hh.pinch("thumb")


def test_demo_motion_file_exists():
    assert (RESOURCES / "motions" / "demo_motion.npy").stat().st_size > 1000
