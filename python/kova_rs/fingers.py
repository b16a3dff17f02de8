"""Which robot links and joints belong to which finger, so that every picture gives a finger the
same colour on the robot and on the human hand.

The fingers come from the configuration's ``kova.fingers`` section when it has one (``kova init``
writes it). Otherwise they are derived from the targets: each target's human landmark names its
finger (1-4 thumb, 5-8 index, 9-12 middle, 13-16 ring, 17-20 little; 0 is the wrist), and the
finger takes the target link's chain towards the root up to where it meets another finger's
chain, a wrist target's link or the root (a robot with a single finger target has that finger
up to the root's child), plus every link below it.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path

from kova_rs import _core

FINGERS = ("thumb", "index", "middle", "ring", "little")
#: one colour per finger (and grey for the palm and everything else), RGB 0-255
FINGER_COLOURS: dict[str | None, tuple[int, int, int]] = {
    "thumb": (214, 39, 40),
    "index": (255, 127, 14),
    "middle": (44, 160, 44),
    "ring": (31, 119, 180),
    "little": (148, 103, 189),
    None: (110, 110, 110),
}
FINGERTIP_LANDMARKS = {finger: 4 * (i + 1) for i, finger in enumerate(FINGERS)}
#: the bones of the 21-landmark hand: each finger's chain from the wrist, and the palm's knuckles
HAND_BONES: tuple[tuple[int, int], ...] = tuple(
    (a, b) for finger in range(5)
    for a, b in zip((0, *range(4 * finger + 1, 4 * finger + 4)),
                    range(4 * finger + 1, 4 * finger + 5))
) + ((5, 9), (9, 13), (13, 17))


def landmark_finger(landmark: int) -> str | None:
    """The finger a hand landmark lies on; None for the wrist (0)."""
    if not 0 <= landmark <= 20:
        raise ValueError(f"hand landmarks are 0 to 20, got {landmark}")
    return None if landmark == 0 else FINGERS[(landmark - 1) // 4]


def colour(finger: str | None) -> tuple[float, float, float]:
    """The finger's colour as matplotlib takes it (0-1)."""
    r, g, b = FINGER_COLOURS[finger]
    return (r / 255.0, g / 255.0, b / 255.0)


@dataclass(frozen=True)
class FingerMap:
    """The finger of every robot link and DOF joint (None: palm, wrist or unassigned)."""

    links: dict[str, str | None]
    joints: dict[str, str | None]
    #: the link at each finger's tip, for the fingers that have one
    tips: dict[str, str]
    #: "configuration" (the kova.fingers section) or "targets" (derived)
    source: str

    def joints_by_finger(self, joint_names: Sequence[str]) -> list[tuple[str | None, list[int]]]:
        """Positions in ``joint_names`` grouped by finger, thumb first, the rest last."""
        groups: list[tuple[str | None, list[int]]] = []
        for finger in (*FINGERS, None):
            members = [i for i, name in enumerate(joint_names) if self.joints.get(name) == finger]
            if members:
                groups.append((finger, members))
        return groups


def finger_map(model: _core.RobotModel,
               target_rows: Sequence[tuple[str | None, str, int | None, int]],
               config_fingers: Iterable[tuple[str, list[str], str]] = ()) -> FingerMap:
    """Fingers of ``model``'s links from ``config_fingers`` (``_core.config_fingers``) when it
    lists any, else from ``target_rows`` (``_core.Retargeter.target_rows``)."""
    parent = {j.child: j.parent for j in model.joints}
    children: dict[str, list[str]] = {}
    for j in model.joints:
        children.setdefault(j.parent, []).append(j.child)
    links: dict[str, str | None] = {name: None for name in model.link_names}
    tips: dict[str, str] = {}
    listed = list(config_fingers)
    if listed:
        for finger, names, tip in listed:
            for name in names:
                if name in links:
                    links[name] = finger
            if tip in links:
                tips[finger] = tip
                links[tip] = finger
        source = "configuration"
    else:
        _fingers_from_targets(links, parent, target_rows, tips)
        source = "targets"
    _extend_down(links, children, model.root_link)
    tips = {finger: tips[finger] for finger in FINGERS if finger in tips}
    dof_joints = set(model.dof_joint_names)
    joints = {j.name: links.get(j.child) for j in model.joints if j.name in dof_joints}
    return FingerMap(links, joints, tips, source)


def _fingers_from_targets(links: dict[str, str | None], parent: dict[str, str],
                          rows: Sequence[tuple[str | None, str, int | None, int]],
                          tips: dict[str, str]) -> None:
    seeds: dict[str, str | None] = {}  # link -> finger its landmark names (None: the wrist)
    for origin, task, origin_landmark, task_landmark in rows:
        for link, landmark in ((origin, origin_landmark), (task, task_landmark)):
            if link is None or landmark is None or link in seeds:
                continue
            finger = landmark_finger(landmark)
            seeds[link] = finger
            if finger is not None and landmark == FINGERTIP_LANDMARKS[finger]:
                tips.setdefault(finger, link)
    stops = {link for link, finger in seeds.items() if finger is None}
    # Every link on a finger target's way to the root (up to a wrist target) votes for it.
    votes: dict[str, set[str]] = {}
    for link, finger in seeds.items():
        if finger is None:
            continue
        at: str | None = link
        while at is not None and at not in stops:
            votes.setdefault(at, set()).add(finger)
            at = parent.get(at)
    for link, fingers in votes.items():
        if len(fingers) == 1 and link in parent:  # the root is never a finger
            links[link] = next(iter(fingers))


def _extend_down(links: dict[str, str | None], children: dict[str, list[str]], root: str) -> None:
    """Links below a finger's link (tips, sensors, geometry links) belong to that finger."""
    order = [root]
    for name in order:
        order.extend(children.get(name, []))
    for name in order:
        finger = links.get(name)
        if finger is None:
            continue
        for child in children.get(name, []):
            if links.get(child) is None:
                links[child] = finger


def fingers_of_config(path: str | os.PathLike[str] | None) -> list[tuple[str, list[str], str]]:
    """The ``kova.fingers`` section of a configuration file (empty without a file or section)."""
    if path is None:
        return []
    return _core.config_fingers(Path(os.fspath(path)).read_text(encoding="utf-8"))
