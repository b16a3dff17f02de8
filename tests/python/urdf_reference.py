"""An independent reading of URDF files for the tests: links, joints, limits, mimic joints, and a
small forward kinematics of its own, to cross-check what the core computes. (The package itself
reads robots only through the core.)"""

from __future__ import annotations

import math
import os
import xml.etree.ElementTree as ET
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np


@dataclass(frozen=True)
class UrdfJoint:
    name: str
    type: str
    parent: str
    child: str
    xyz: tuple = (0.0, 0.0, 0.0)
    rpy: tuple = (0.0, 0.0, 0.0)
    axis: tuple = (1.0, 0.0, 0.0)
    limit: tuple | None = None  # (lower, upper)
    mimic: tuple | None = None  # (source joint, multiplier, offset)

    @property
    def movable(self) -> bool:
        return self.type != "fixed"


@dataclass
class UrdfModel:
    name: str
    path: Path
    links: list = field(default_factory=list)
    joints: list = field(default_factory=list)

    @property
    def root_link(self) -> str | None:
        children = {j.child for j in self.joints}
        return next((link for link in self.links if link not in children), None)

    @property
    def movable_joints(self) -> list:
        return [j for j in self.joints if j.movable]

    @property
    def mimic_joints(self) -> list:
        return [j for j in self.joints if j.mimic is not None]

    def joint(self, name: str) -> UrdfJoint:
        for j in self.joints:
            if j.name == name:
                return j
        raise KeyError(name)

    def edges(self) -> list:
        """(parent link, child link) of every joint: the robot's skeleton."""
        return [(j.parent, j.child) for j in self.joints]

    def link_positions(self, joint_values: dict) -> dict:
        """World positions of every reachable link for joint values given by name.

        A small independent forward kinematics (revolute, continuous and prismatic joints;
        missing values are 0, mimic joints follow their source). Used to cross-check.
        """
        values = dict(joint_values)
        for j in self.mimic_joints:
            src, mult, off = j.mimic
            values[j.name] = mult * values.get(src, 0.0) + off
        by_parent: dict = {}
        for j in self.joints:
            by_parent.setdefault(j.parent, []).append(j)
        root = self.root_link
        poses = {root: np.eye(4)} if root else {}
        queue = [root] if root else []
        while queue:
            link = queue.pop(0)
            for j in by_parent.get(link, []):
                if j.child in poses:
                    continue
                t = poses[link] @ _origin(j.xyz, j.rpy) @ _motion(j, values.get(j.name, 0.0))
                poses[j.child] = t
                queue.append(j.child)
        return {name: pose[:3, 3].copy() for name, pose in poses.items()}


def _numbers(text: str | None, default: tuple) -> tuple:
    if text is None:
        return default
    parts = text.split()
    values = []
    for p in parts:
        try:
            values.append(float(p))
        except ValueError:
            values.append(0.0)
    return tuple(values[:3]) if len(values) >= 3 else (0.0, 0.0, 0.0)


def _number(text: str | None, default: float) -> float:
    try:
        return float(text) if text is not None else default
    except ValueError:
        return default


def _origin(xyz, rpy) -> np.ndarray:
    r, p, y = rpy
    cr, sr, cp, sp, cy, sy = (math.cos(r), math.sin(r), math.cos(p), math.sin(p),
                              math.cos(y), math.sin(y))
    t = np.eye(4)
    t[:3, :3] = [
        [cy * cp, cy * sp * sr - sy * cr, cy * sp * cr + sy * sr],
        [sy * cp, sy * sp * sr + cy * cr, sy * sp * cr - cy * sr],
        [-sp, cp * sr, cp * cr],
    ]
    t[:3, 3] = xyz
    return t


def _motion(joint: UrdfJoint, q: float) -> np.ndarray:
    t = np.eye(4)
    axis = np.asarray(joint.axis, dtype=float)
    if joint.type in ("revolute", "continuous"):
        n = np.linalg.norm(axis)
        if n > 0:
            x, y, z = axis / n
            k = np.array([[0.0, -z, y], [z, 0.0, -x], [-y, x, 0.0]])
            t[:3, :3] = np.eye(3) + math.sin(q) * k + (1 - math.cos(q)) * (k @ k)
    elif joint.type == "prismatic":
        t[:3, 3] = axis * q
    return t


def _local(tag: str) -> str:
    return tag.rsplit("}", 1)[-1]


def _first(element, name: str):
    return next((c for c in element if _local(c.tag) == name), None)


def read_urdf(path) -> UrdfModel:
    """Parse a URDF file. Raises ValueError naming the file and the problem."""
    path = Path(os.fspath(path))
    if not path.exists():
        raise ValueError(f"{path}: no such file")
    if path.is_dir():
        raise ValueError(f"{path}: is a directory, not a URDF file")
    try:
        root = ET.parse(path).getroot()
    except ET.ParseError as err:
        raise ValueError(f"{path}: not valid XML ({err})") from None
    except (OSError, UnicodeDecodeError) as err:
        raise ValueError(f"{path}: cannot be read ({err})") from None
    if _local(root.tag) != "robot":
        raise ValueError(f"{path}: no <robot> element found")
    model = UrdfModel(root.get("name", "unnamed"), path)
    for element in root:
        kind = _local(element.tag) if isinstance(element.tag, str) else ""
        if kind == "link":
            if element.get("name") is None:
                raise ValueError(f"{path}: a <link> has no name")
            model.links.append(element.get("name"))
        elif kind == "joint":
            name = element.get("name")
            if name is None:
                raise ValueError(f"{path}: a <joint> has no name")
            parent, child = _first(element, "parent"), _first(element, "child")
            if parent is None or parent.get("link") is None:
                raise ValueError(f"{path}: joint {name} has no parent link")
            if child is None or child.get("link") is None:
                raise ValueError(f"{path}: joint {name} has no child link")
            origin, axis = _first(element, "origin"), _first(element, "axis")
            limit, mimic = _first(element, "limit"), _first(element, "mimic")
            model.joints.append(UrdfJoint(
                name=name,
                type=element.get("type", "fixed"),
                parent=parent.get("link"),
                child=child.get("link"),
                xyz=_numbers(origin.get("xyz") if origin is not None else None, (0.0, 0.0, 0.0)),
                rpy=_numbers(origin.get("rpy") if origin is not None else None, (0.0, 0.0, 0.0)),
                axis=_numbers(axis.get("xyz", "1 0 0") if axis is not None else None,
                              (1.0, 0.0, 0.0)),
                limit=None if limit is None else (_number(limit.get("lower"), 0.0),
                                                  _number(limit.get("upper"), 0.0)),
                mimic=None if mimic is None else (mimic.get("joint", ""),
                                                  _number(mimic.get("multiplier"), 1.0),
                                                  _number(mimic.get("offset"), 0.0)),
            ))
    return model
