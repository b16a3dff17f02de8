"""Small generated robot hands for the detection tests, built to be awkward: meaningless names,
a rotation above the root, a thumb on the palm side, missing tip links, a left hand, a root far
behind the palm. Every hand is laid out in its own hand frame (wrist at the origin, x along the
fingers, y across the palm, z the side the fingers curl to) and then moved by `above`."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from kova_rs import _core

KNUCKLE_Y = {"index": -0.02, "middle": 0.0, "ring": 0.02, "little": 0.04}
PHALANGES = (0.04, 0.03, 0.02)


@dataclass
class BuiltHand:
    text: str
    first_joint: dict[str, str]  # finger -> name of its first joint
    frame: np.ndarray            # the hand frame in the root frame of `text`


def random_rotation(seed: int) -> np.ndarray:
    q = np.random.default_rng(seed).normal(size=4)
    w, x, y, z = q / np.linalg.norm(q)
    return np.array([[1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
                     [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
                     [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)]])


def _rpy(r: np.ndarray) -> str:
    pitch = np.arctan2(-r[2, 0], np.hypot(r[0, 0], r[1, 0]))
    return f"{np.arctan2(r[2, 1], r[2, 2])} {pitch} {np.arctan2(r[1, 0], r[0, 0])}"


def build_hand(fingers: tuple[str, ...] = ("thumb", "index", "middle", "ring", "little"), *,
               left: bool = False, thumb_palm_side: bool = False, tip_links: bool = True,
               tip_geometry: bool = False, palm_at_knuckles: bool = False, seed: int = 0
               ) -> BuiltHand:
    mirror = -1.0 if left else 1.0
    counter = iter(range(10_000))
    links: list[str] = []
    joints: list[str] = []
    first: dict[str, str] = {}

    def name() -> str:
        return f"n{next(counter)}"

    def link(n: str, geometry: str = "") -> None:
        links.append(f"<link name='{n}'>{geometry}</link>")

    def joint(n: str, kind: str, parent: str, child: str, xyz: np.ndarray, rot: np.ndarray,
              axis: str = "0 -1 0", limit: str = "0 1.6") -> None:
        lower, upper = limit.split()
        joints.append(f"<joint name='{n}' type='{kind}'><parent link='{parent}'/>"
                      f"<child link='{child}'/><origin xyz='{xyz[0]} {xyz[1]} {xyz[2]}' "
                      f"rpy='{_rpy(rot)}'/><axis xyz='{axis}'/>"
                      f"<limit lower='{lower}' upper='{upper}' effort='1' velocity='1'/></joint>")

    # The palm link sits at the wrist, or among the knuckles with the root 0.2 m behind them.
    root, palm = name(), name()
    palm_x = 0.09 if palm_at_knuckles else 0.0
    link(root)
    link(palm, "<visual><geometry><box size='0.09 0.08 0.02'/></geometry></visual>")
    root_x = -0.2 if palm_at_knuckles else 0.0
    joint(name(), "fixed", root, palm, np.array([palm_x - root_x, 0, 0]), np.eye(3))
    for finger in fingers:
        if finger == "thumb":
            base = np.array([0.03, -0.035 * mirror, 0.015 if thumb_palm_side else -0.01])
            heading = np.array([1.0, -1.0 * mirror, 0.0]) / np.sqrt(2)
        else:
            base = np.array([0.09, KNUCKLE_Y[finger] * mirror, 0.0])
            heading = np.array([1.0, 0.0, 0.0])
        # The finger's own frame: x along it, y so that positive flexion curls it towards +z.
        fx = heading
        fz = np.array([0.0, 0.0, 1.0])
        fy = np.cross(fz, fx)
        rot = np.stack([fx, fy, fz], axis=1)
        spread, parent = name(), name()
        link(parent)
        first[finger] = spread
        joint(spread, "revolute", palm, parent, base - [palm_x, 0, 0], rot, axis="0 0 1",
              limit="-0.3 0.3")
        at = np.zeros(3)
        for k, length in enumerate(PHALANGES):
            child = name()
            last = k == len(PHALANGES) - 1
            shape = (f"<collision><origin xyz='{length * 0.75} 0 0'/><geometry><box "
                     f"size='{length * 1.5} 0.01 0.01'/></geometry></collision>"
                     if tip_geometry and last else "")
            link(child, shape)
            joint(name(), "revolute", parent, child, at, np.eye(3))
            parent, at = child, np.array([length, 0.0, 0.0])
        if tip_links:
            tip = name()
            link(tip)
            joint(name(), "fixed", parent, tip, at, np.eye(3))
    above = random_rotation(seed)
    frame = np.eye(4)
    frame[:3, :3] = above @ np.diag([1.0, mirror, mirror])
    frame[:3, 3] = above @ np.array([-root_x, 0.0, 0.0])
    text = "<robot name='hand'>" + "".join(links) + "".join(joints) + "</robot>"
    document = _core.UrdfDocument.from_string(text)
    pose = np.eye(4)
    pose[:3, :3] = above
    document.add_root("top", "top_joint", pose)
    return BuiltHand(document.to_string(), first, frame)


def renamed(text: str, model: _core.RobotModel) -> tuple[str, dict[str, str]]:
    """`text` with every link and joint called x<number>, and the renaming."""
    import re

    names = {n: f"x{i}" for i, n in
             enumerate([*model.link_names, *(j.name for j in model.joints)])}

    def swap(match: re.Match[str]) -> str:
        return f"{match.group(1)}={match.group(2)}{names.get(match.group(3), match.group(3))}" \
               f"{match.group(2)}"

    text = re.sub(r"\b(name|link|joint)=(['\"])(.*?)\2", swap, text)
    return re.sub(r"<robot name=(['\"]).*?\1", "<robot name='robot'", text), names
