"""A small parametric model of a human right hand, and the demo recording made with it.

The model places the 21 landmarks of the common hand convention (0 wrist; 1-4 thumb CMC, MCP,
IP, tip; 5-8 index MCP, PIP, DIP, tip; 9-12 middle; 13-16 ring; 17-20 little finger) from a
handful of joint angles. Coordinates are in the hand frame of :mod:`kova_rs.hand_frame`: wrist
at the origin, x towards the middle-finger knuckle, y towards the little-finger side, z out of
the palm (the side the fingers curl towards). Lengths are in metres and follow adult averages
(metacarpals 53-68 mm, phalanges 17-45 mm).

Regenerate the shipped recording with ``python -m kova_rs.human_hand [OUT.npy]``.
"""

from __future__ import annotations

import math
import sys
from dataclasses import dataclass, field, replace
from pathlib import Path

import numpy as np
import numpy.typing as npt

Vec3 = tuple[float, float, float]
FloatArray = npt.NDArray[np.float64]

FINGERS = ("index", "middle", "ring", "little")
#: landmark of each finger's knuckle (MCP); the next three are PIP, DIP and the tip
FINGER_BASE_LANDMARK = {"index": 5, "middle": 9, "ring": 13, "little": 17}
THUMB_TIP, INDEX_TIP, MIDDLE_TIP, RING_TIP, LITTLE_TIP = 4, 8, 12, 16, 20
FINGERTIP_LANDMARKS = {
    "thumb": THUMB_TIP,
    "index": INDEX_TIP,
    "middle": MIDDLE_TIP,
    "ring": RING_TIP,
    "little": LITTLE_TIP,
}
DEMO_FPS = 30.0


@dataclass(frozen=True)
class HandShape:
    """Bone geometry of one hand, in metres, in the hand frame."""

    knuckles: dict[str, Vec3] = field(
        default_factory=lambda: {
            "index": (0.082, -0.024, 0.0),
            "middle": (0.086, 0.0, 0.0),
            "ring": (0.079, 0.020, 0.0),
            "little": (0.069, 0.038, 0.0),
        }
    )
    #: proximal, middle and distal phalanx of each finger
    phalanges: dict[str, Vec3] = field(
        default_factory=lambda: {
            "index": (0.040, 0.023, 0.018),
            "middle": (0.045, 0.027, 0.019),
            "ring": (0.042, 0.026, 0.019),
            "little": (0.033, 0.018, 0.017),
        }
    )
    #: direction of each finger in the palm plane at zero spread, radians towards +y
    finger_splay: dict[str, float] = field(
        default_factory=lambda: {"index": -0.10, "middle": 0.0, "ring": 0.08, "little": 0.17}
    )
    thumb_cmc: Vec3 = (0.028, -0.026, 0.010)
    #: metacarpal, proximal and distal phalanx of the thumb
    thumb_bones: Vec3 = (0.045, 0.032, 0.027)

    def scaled(self, factor: float) -> HandShape:
        """The same hand with every length multiplied by ``factor``."""
        return replace(
            self,
            knuckles={k: _scaled(v, factor) for k, v in self.knuckles.items()},
            phalanges={k: _scaled(v, factor) for k, v in self.phalanges.items()},
            thumb_cmc=_scaled(self.thumb_cmc, factor),
            thumb_bones=_scaled(self.thumb_bones, factor),
        )


def _scaled(v: Vec3, factor: float) -> Vec3:
    return (factor * v[0], factor * v[1], factor * v[2])


@dataclass(frozen=True)
class HandPose:
    """Joint angles in radians. Flexion curls towards the palm; spread opens the fingers."""

    #: per finger: (MCP flexion, PIP flexion, DIP flexion)
    flexion: dict[str, Vec3] = field(
        default_factory=lambda: {f: (0.05, 0.08, 0.05) for f in FINGERS}
    )
    #: common spread of the four fingers (each finger gets a share, the middle finger none)
    spread: float = 0.0
    #: thumb: rotation across the palm, abduction away from the index, then CMC, MCP, IP flexion
    thumb_opposition: float = 0.2
    thumb_abduction: float = 0.0
    thumb_flexion: Vec3 = (0.0, 0.05, 0.05)

    def as_vector(self) -> FloatArray:
        values = [v for f in FINGERS for v in self.flexion[f]]
        values += [self.spread, self.thumb_opposition, self.thumb_abduction, *self.thumb_flexion]
        return np.asarray(values, dtype=float)

    @staticmethod
    def from_vector(values: npt.ArrayLike) -> HandPose:
        v = [float(x) for x in np.asarray(values, dtype=float)]
        flexion = {f: (v[3 * i], v[3 * i + 1], v[3 * i + 2]) for i, f in enumerate(FINGERS)}
        return HandPose(flexion, v[12], v[13], v[14], (v[15], v[16], v[17]))


_SPREAD_SHARE = {"index": -1.0, "middle": 0.0, "ring": 0.8, "little": 1.6}


def _unit(v: npt.ArrayLike) -> FloatArray:
    a = np.asarray(v, dtype=float)
    return np.asarray(a / np.linalg.norm(a), dtype=float)


def _rotation(axis: npt.ArrayLike, angle: float) -> FloatArray:
    """Rotation matrix about a unit axis (Rodrigues)."""
    x, y, z = _unit(axis)
    c, s = math.cos(angle), math.sin(angle)
    k = np.array([[0.0, -z, y], [z, 0.0, -x], [-y, x, 0.0]])
    return np.asarray(np.eye(3) + s * k + (1.0 - c) * (k @ k), dtype=float)


def _chain(start: npt.ArrayLike, direction: FloatArray, curl: FloatArray, lengths: Vec3,
           angles: Vec3) -> list[FloatArray]:
    """Points of a planar finger chain: each joint adds its angle towards ``curl``."""
    points: list[FloatArray] = []
    p, total = np.asarray(start, dtype=float), 0.0
    for length, angle in zip(lengths, angles):
        total += angle
        p = p + length * (math.cos(total) * direction + math.sin(total) * curl)
        points.append(p)
    return points


def landmarks(pose: HandPose, shape: HandShape | None = None) -> FloatArray:
    """The 21 landmarks (21, 3) of ``shape`` in ``pose``, in the hand frame."""
    shape = shape or HandShape()
    out = np.zeros((21, 3))
    palm_normal = np.array([0.0, 0.0, 1.0])
    for finger in FINGERS:
        base = FINGER_BASE_LANDMARK[finger]
        knuckle = np.asarray(shape.knuckles[finger], dtype=float)
        yaw = shape.finger_splay[finger] + _SPREAD_SHARE[finger] * pose.spread
        direction = np.array([math.cos(yaw), math.sin(yaw), 0.0])
        out[base] = knuckle
        out[base + 1 : base + 4] = _chain(
            knuckle, direction, palm_normal, shape.phalanges[finger], pose.flexion[finger]
        )
    # Thumb: the rest direction points forward, out to the thumb side and a little palmar;
    # opposition turns the whole thumb about the hand's long axis towards the palm, abduction
    # swings it away from the index finger about its own curl direction.
    cmc = np.asarray(shape.thumb_cmc, dtype=float)
    along = _unit((0.72, -0.66, 0.20))
    curl = _unit(np.array([0.0, 0.55, 0.85]) - np.dot((0.0, 0.55, 0.85), along) * along)
    turn = _rotation((-1.0, 0.0, 0.0), pose.thumb_opposition)
    along, curl = turn @ along, turn @ curl
    swing = _rotation(curl, -pose.thumb_abduction)
    along = swing @ along
    out[1] = cmc
    out[2:5] = _chain(cmc, along, curl, shape.thumb_bones, pose.thumb_flexion)
    return out


# ----------------------------------------------------------------------------------------
# Key poses of the demo recording


def open_hand() -> HandPose:
    return HandPose()


def fist() -> HandPose:
    return HandPose(
        flexion={f: (1.45, 1.6, 1.1) for f in FINGERS},
        thumb_opposition=1.0,
        thumb_abduction=-0.1,
        thumb_flexion=(0.35, 0.6, 0.5),
    )


def spread_hand() -> HandPose:
    return HandPose(
        flexion={f: (-0.05, 0.02, 0.02) for f in FINGERS},
        spread=0.22,
        thumb_opposition=0.0,
        thumb_abduction=0.45,
        thumb_flexion=(-0.1, 0.0, 0.0),
    )


def pinch(finger: str, gap: float = 0.008, shape: HandShape | None = None) -> HandPose:
    """Thumb tip and the tip of ``finger`` ``gap`` metres apart; the other fingers relaxed.

    The thumb and the finger angles are found by a damped Gauss-Newton search on the model
    itself, so the pinch holds for any hand shape.
    """
    if finger not in FINGERS:
        raise ValueError(f"unknown finger {finger!r}; expected one of {', '.join(FINGERS)}")
    shape = shape or HandShape()
    base = HandPose()
    # free parameters: finger MCP and PIP flexion (DIP follows at 0.7 of PIP), thumb
    # opposition, abduction, CMC and MCP flexion (IP follows at 0.8 of MCP)
    natural = np.array([0.6, 0.7, 0.8, 0.0, 0.1, 0.3])
    x = natural.copy()
    lower = np.array([0.0, 0.0, 0.0, -0.3, -0.2, 0.0])
    upper = np.array([1.5, 1.7, 1.6, 0.5, 0.6, 0.9])
    order = FINGERS.index(finger)
    tip = FINGERTIP_LANDMARKS[finger]
    # the other fingers curl a little more the further they are from the pinching one
    others = {
        f: (0.15 + 0.15 * abs(i - order), 0.25 + 0.15 * abs(i - order), 0.15)
        for i, f in enumerate(FINGERS)
    }

    def make(p: FloatArray) -> HandPose:
        flexion = dict(others)
        flexion[finger] = (p[0], p[1], 0.7 * p[1])
        return replace(
            base,
            flexion=flexion,
            thumb_opposition=p[2],
            thumb_abduction=p[3],
            thumb_flexion=(p[4], p[5], 0.8 * p[5]),
        )

    def residual(p: FloatArray) -> FloatArray:
        pts = landmarks(make(p), shape)
        d = pts[tip] - pts[THUMB_TIP]
        dist = float(np.linalg.norm(d))
        # gap error as a vector, plus a weak pull towards a natural pose
        return np.concatenate([d * (1.0 - gap / max(dist, 1e-9)), 1e-3 * (p - natural)])

    for _ in range(100):
        r = residual(x)
        jac = np.empty((r.size, x.size))
        for j in range(x.size):
            step = np.zeros_like(x)
            step[j] = 1e-6
            jac[:, j] = (residual(x + step) - r) / 1e-6
        delta = np.linalg.solve(jac.T @ jac + 1e-6 * np.eye(x.size), -jac.T @ r)
        x = np.clip(x + delta, lower, upper)
        if np.linalg.norm(residual(x)[:3]) < 1e-5:
            break
    return make(x)


def _ease(t: float) -> float:
    return 0.5 - 0.5 * math.cos(math.pi * t)


def demo_keyposes(shape: HandShape | None = None) -> list[tuple[str, HandPose]]:
    """(name, pose) of the demo recording, in order."""
    poses = [("open", open_hand()), ("fist", fist()), ("open", open_hand())]
    for finger in FINGERS:
        poses += [(f"pinch_{finger}", pinch(finger, shape=shape)), ("open", open_hand())]
    poses += [("spread", spread_hand()), ("open", open_hand())]
    return poses


def demo_motion(
    fps: float = DEMO_FPS,
    move_seconds: float = 0.4,
    hold_seconds: float = 0.2,
    shape: HandShape | None = None,
) -> FloatArray:
    """The demo recording (N, 21, 3): open hand, fist, a pinch of each finger, spread.

    Every key pose is held for ``hold_seconds`` and reached from the previous one in
    ``move_seconds`` with a smooth (cosine) blend of the joint angles.
    """
    if fps <= 0 or move_seconds <= 0 or hold_seconds < 0:
        raise ValueError("fps and move_seconds must be positive and hold_seconds non-negative")
    shape = shape or HandShape()
    keys = [pose.as_vector() for _, pose in demo_keyposes(shape)]
    move = max(1, round(move_seconds * fps))
    hold = round(hold_seconds * fps)
    frames = [keys[0]] * hold
    for a, b in zip(keys, keys[1:]):
        frames += [a + (b - a) * _ease((i + 1) / move) for i in range(move)]
        frames += [b] * hold
    return np.stack([landmarks(HandPose.from_vector(v), shape) for v in frames])


def demo_keyframes(
    fps: float = DEMO_FPS, move_seconds: float = 0.4, hold_seconds: float = 0.2
) -> list[tuple[str, int]]:
    """(name, frame) of the middle of each key pose's hold in :func:`demo_motion`."""
    move = max(1, round(move_seconds * fps))
    hold = round(hold_seconds * fps)
    names = [name for name, _ in demo_keyposes()]
    out = [(names[0], hold // 2)]
    for k in range(1, len(names)):
        out.append((names[k], hold + k * move + (k - 1) * hold + hold // 2))
    return out


def as_left_hand(motion: FloatArray) -> FloatArray:
    """A right hand's keypoints in its hand frame as the mirror-image left hand's, in the left
    hand's own frame (x and y kept, z = x cross y out of the back): z changes sign."""
    from kova_rs import _core

    return _core.mirror(np.ascontiguousarray(motion, dtype=np.float64), axis="z")


def default_motion_path() -> Path:
    return Path(__file__).resolve().parent / "resources" / "motions" / "demo_motion.npy"


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    out = Path(args[0]) if args else default_motion_path()
    out.parent.mkdir(parents=True, exist_ok=True)
    motion = demo_motion()
    np.save(out, motion)
    print(f"wrote {motion.shape[0]} frames ({motion.shape[0] / DEMO_FPS:.1f} s at "
          f"{DEMO_FPS:g} fps) to {out}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
