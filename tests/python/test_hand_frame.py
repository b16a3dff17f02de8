"""Hand frame and mirroring: keypoints from any tracker frame end up in the hand's own frame."""

import numpy as np
import pytest

from kova_rs.hand_frame import hand_frame, mirror, to_hand_frame
from kova_rs.human_hand import fist, landmarks, open_hand, pinch


def random_rotation(rng) -> np.ndarray:
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    q = q * np.sign(np.diag(r))
    if np.linalg.det(q) < 0:
        q[:, 0] *= -1
    return q


def in_tracker_frame(kp, rotation, shift):
    return kp @ rotation.T + shift


class TestHandFrame:
    def test_model_hand_is_already_in_its_frame(self):
        kp = landmarks(pinch("ring"))
        np.testing.assert_allclose(to_hand_frame(kp), kp, atol=1e-12)

    def test_undoes_any_rigid_motion_of_the_tracker(self):
        rng = np.random.default_rng(7)
        kp = landmarks(fist())
        for _ in range(5):
            rot, shift = random_rotation(rng), rng.normal(size=3)
            np.testing.assert_allclose(to_hand_frame(in_tracker_frame(kp, rot, shift)), kp,
                                       atol=1e-12)

    def test_axes_follow_the_documented_convention(self):
        rng = np.random.default_rng(1)
        kp = in_tracker_frame(landmarks(open_hand()), random_rotation(rng), rng.normal(size=3))
        hand = to_hand_frame(kp)
        np.testing.assert_allclose(hand[0], 0.0, atol=1e-12)  # wrist at the origin
        assert hand[9, 0] > 0.05 and abs(hand[9, 1]) < 1e-12 and abs(hand[9, 2]) < 1e-12
        assert hand[17, 1] > hand[5, 1]  # little finger on +y, index on -y
        assert abs(hand[5, 2]) < 1e-12 and abs(hand[17, 2]) < 1e-12  # knuckles span x-y
        curled = to_hand_frame(landmarks(fist()))
        assert np.all(curled[[8, 12, 16, 20], 2] > 0.01)  # fingers curl towards +z

    def test_rotation_is_proper_and_orthonormal(self):
        rng = np.random.default_rng(3)
        kp = in_tracker_frame(landmarks(open_hand()), random_rotation(rng), np.zeros(3))
        rot, origin = hand_frame(kp)
        np.testing.assert_allclose(rot.T @ rot, np.eye(3), atol=1e-12)
        assert np.linalg.det(rot) == pytest.approx(1.0)
        np.testing.assert_allclose(origin, kp[0])

    def test_sequence_gets_one_frame_per_sample(self):
        rng = np.random.default_rng(11)
        frames = [landmarks(open_hand()), landmarks(fist()), landmarks(pinch("index"))]
        moved = np.stack([in_tracker_frame(f, random_rotation(rng), rng.normal(size=3))
                          for f in frames])
        out = to_hand_frame(moved)
        assert out.shape == (3, 21, 3)
        for i, f in enumerate(frames):
            np.testing.assert_allclose(out[i], f, atol=1e-12)
            np.testing.assert_allclose(out[i], to_hand_frame(moved[i]), atol=1e-14)

    @pytest.mark.parametrize("shape", [(21,), (20, 3), (21, 2), (2, 2, 21, 3)])
    def test_wrong_shapes_are_refused(self, shape):
        with pytest.raises(ValueError, match="shape"):
            to_hand_frame(np.zeros(shape))

    def test_degenerate_palm_is_refused(self):
        kp = landmarks(open_hand())
        collapsed = kp.copy()
        collapsed[9] = collapsed[0]
        with pytest.raises(ValueError, match="coincide"):
            to_hand_frame(collapsed)
        flat = kp.copy()
        flat[5] = 0.5 * flat[9]
        flat[17] = 1.5 * flat[9]
        with pytest.raises(ValueError, match="line"):
            to_hand_frame(flat)

    def test_degenerate_frame_of_a_sequence_is_named(self):
        frames = np.stack([landmarks(open_hand())] * 4)
        frames[2, 9] = frames[2, 0]
        with pytest.raises(ValueError, match="coincide in frame 2"):
            to_hand_frame(frames)

    def test_unknown_side_is_refused(self):
        with pytest.raises(ValueError, match="side"):
            to_hand_frame(landmarks(open_hand()), side="both")


class TestMirror:
    def test_left_hand_maps_onto_the_right_model(self):
        rng = np.random.default_rng(5)
        right = landmarks(pinch("middle"))
        left = mirror(right, axis="x")  # a left hand, in some tracker frame
        left = in_tracker_frame(left, random_rotation(rng), rng.normal(size=3))
        np.testing.assert_allclose(to_hand_frame(left, side="left"), right, atol=1e-12)

    def test_left_hand_without_mirroring_comes_out_inside_out(self):
        right = landmarks(fist())
        left = mirror(right)
        wrong = to_hand_frame(left, side="right")
        # the frame's z flips with the chirality: the fingers curl towards -z
        assert np.all(wrong[[8, 12, 16, 20], 2] < 0)

    def test_mirror_is_an_involution_and_copies(self):
        kp = landmarks(open_hand())
        once = mirror(kp)
        np.testing.assert_allclose(once[:, 1], -kp[:, 1])
        np.testing.assert_allclose(once[:, [0, 2]], kp[:, [0, 2]])
        np.testing.assert_allclose(mirror(once), kp)
        assert once is not kp and kp[17, 1] > 0  # input untouched

    def test_unknown_axis_is_refused(self):
        with pytest.raises(ValueError, match="axis"):
            mirror(np.zeros((21, 3)), axis="w")
