"""Writes the robot hands shipped with kova and their retargeting configurations.

Every hand is built here from a few measurements: knuckle positions on the palm, phalanx
lengths, joint limits. All hands share one base frame (the hand frame of kova_rs.hand_frame):
origin at the wrist, x along the fingers, y towards the little-finger side, z out of the palm.
Fingers flex towards +z. Together the hands use every joint-naming scheme whose DOF order
kova fixes, so they double as a test bed for that ordering.

Run:  python tools/generate_hands.py [RESOURCES_DIR]   (default: the package's resources)
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
RESOURCES = ROOT / "python" / "kova_rs" / "resources"

FLEX, ABD, ROT, CUP = "flex", "abd", "rot", "cup"
AXES = {FLEX: (0, -1, 0), ABD: (0, 0, 1), ROT: (-1, 0, 0), CUP: (1, 0, 0)}
THUMB_ALONG = np.array([0.72, -0.66, 0.20]) / np.linalg.norm([0.72, -0.66, 0.20])
_c = np.array([0.0, 0.55, 0.85]) - np.dot([0.0, 0.55, 0.85], THUMB_ALONG) * THUMB_ALONG
THUMB_CURL = _c / np.linalg.norm(_c)
# human landmarks of each finger: knuckle (MCP), PIP, DIP, tip; thumb: CMC, MCP, IP, tip
LANDMARKS = {
    "thumb": (1, 2, 3, 4),
    "index": (5, 6, 7, 8),
    "middle": (9, 10, 11, 12),
    "ring": (13, 14, 15, 16),
    "little": (17, 18, 19, 20),
}


def rpy_of(rotation: np.ndarray) -> tuple:
    """Roll, pitch, yaw with R = Rz(yaw) Ry(pitch) Rx(roll)."""
    pitch = -math.asin(max(-1.0, min(1.0, rotation[2, 0])))
    roll = math.atan2(rotation[2, 1], rotation[2, 2])
    yaw = math.atan2(rotation[1, 0], rotation[0, 0])
    return roll, pitch, yaw


def thumb_frame_rpy() -> tuple:
    x, z = THUMB_ALONG, THUMB_CURL
    y = np.cross(z, x)
    return rpy_of(np.stack([x, y, z], axis=1))


def fmt(values) -> str:
    return " ".join(f"{v:.6g}" if abs(v) > 1e-12 else "0" for v in values)


@dataclass
class Joint:
    name: str
    kind: str
    lower: float
    upper: float
    child: str
    xyz: tuple = (0.0, 0.0, 0.0)
    rpy: tuple = (0.0, 0.0, 0.0)
    mimic: tuple | None = None  # (source, multiplier, offset)
    parent: str = ""


@dataclass
class Hand:
    name: str
    root: str
    description: str
    joints: list = field(default_factory=list)
    tips: list = field(default_factory=list)  # (tip link, parent link, xyz)
    extra_links: list = field(default_factory=list)
    joint_order: list | None = None  # order in which joints are written to the file
    #: finger -> (link at the human knuckle-or-PIP landmark used by configs, landmark)
    middle_links: dict = field(default_factory=dict)
    tip_links: dict = field(default_factory=dict)
    actuated: list | None = None
    scale: float = 1.0

    def finger(self, finger: str, parent: str, knuckle, yaw: float, specs, lengths,
               links, tip: str, middle_landmark: int):
        """A finger chain. ``specs``: (joint name, kind, lower, upper, mimic) per joint; a
        flex joint after the first flex joint sits one phalanx further along x."""
        flex_seen, length_index = False, 0
        prev = parent
        for (name, kind, lower, upper, mimic), child in zip(specs, links):
            xyz, rpy = (0.0, 0.0, 0.0), (0.0, 0.0, 0.0)
            if prev == parent:
                xyz, rpy = tuple(knuckle), (0.0, 0.0, yaw)
            if kind == FLEX and flex_seen:
                xyz = (lengths[length_index], 0.0, 0.0)
                length_index += 1
            if kind == FLEX:
                flex_seen = True
            self.joints.append(Joint(name, kind, lower, upper, child, xyz, rpy, mimic, prev))
            prev = child
        assert length_index == len(lengths) - 1, f"{tip}: bone lengths do not match the joints"
        self.tips.append((tip, prev, (lengths[length_index], 0.0, 0.0)))
        self.tip_links[finger] = tip
        self.middle_links[finger] = (links[-1], middle_landmark)

    def thumb(self, parent: str, cmc, specs, lengths, links, tip: str, middle_landmark: int,
              first_offset: float = 0.0):
        """Thumb: a rotation about the palm's long axis at the CMC, then joints in the
        thumb's own frame (x along the thumb, z towards the palm). The first flexion joint
        sits ``first_offset`` along the thumb (0: at the CMC), each later one a bone further."""
        prev, flex_seen, length_index = parent, False, 0
        for i, ((name, kind, lower, upper, mimic), child) in enumerate(zip(specs, links)):
            xyz, rpy = (0.0, 0.0, 0.0), (0.0, 0.0, 0.0)
            if i == 0:
                xyz = tuple(cmc)
            if i == 1:
                rpy = thumb_frame_rpy()
            if kind == FLEX and flex_seen:
                xyz = (lengths[length_index], 0.0, 0.0)
                length_index += 1
            elif kind == FLEX:
                # offset along the thumb; in the parent frame when this joint also turns
                # the frame into the thumb's
                along = THUMB_ALONG if i == 1 else np.array([1.0, 0.0, 0.0])
                xyz = tuple(first_offset * along)
            if kind == FLEX:
                flex_seen = True
            self.joints.append(Joint(name, kind, lower, upper, child, xyz, rpy, mimic, prev))
            prev = child
        assert length_index == len(lengths) - 1, f"{tip}: bone lengths do not match the joints"
        self.tips.append((tip, prev, (lengths[length_index], 0.0, 0.0)))
        self.tip_links["thumb"] = tip
        self.middle_links["thumb"] = (links[-1], middle_landmark)

    def urdf(self) -> str:
        links = [self.root] + self.extra_links + [j.child for j in self.joints]
        links += [t[0] for t in self.tips]
        out = ['<?xml version="1.0"?>',
               f"<!-- {self.name}: {self.description} Generated by tools/generate_hands.py;"
               " kinematics only, no meshes. -->",
               f'<robot name="{self.name}">']
        out += [f'  <link name="{name}"/>' for name in links]
        joints = self.joints
        if self.joint_order:
            by_name = {j.name: j for j in joints}
            joints = [by_name[n] for n in self.joint_order]
        for j in joints:
            out.append(f'  <joint name="{j.name}" type="revolute">')
            out.append(f'    <parent link="{j.parent}"/>')
            out.append(f'    <child link="{j.child}"/>')
            out.append(f'    <origin xyz="{fmt(j.xyz)}" rpy="{fmt(j.rpy)}"/>')
            out.append(f'    <axis xyz="{fmt(AXES[j.kind])}"/>')
            out.append(f'    <limit lower="{j.lower:.4g}" upper="{j.upper:.4g}" effort="1"'
                       ' velocity="3"/>')
            if j.mimic:
                src, mult, off = j.mimic
                out.append(f'    <mimic joint="{src}" multiplier="{mult:g}" offset="{off:g}"/>')
            out.append("  </joint>")
        for tip, parent, xyz in self.tips:
            out.append(f'  <joint name="{tip}_joint" type="fixed">')
            out.append(f'    <parent link="{parent}"/>')
            out.append(f'    <child link="{tip}"/>')
            out.append(f'    <origin xyz="{fmt(xyz)}" rpy="0 0 0"/>')
            out.append("  </joint>")
        out.append("</robot>")
        return "\n".join(out) + "\n"


def s(values, scale):
    return tuple(scale * v for v in values)


def J(name, kind, lower, upper, mimic=None):
    return (name, kind, lower, upper, mimic)


# ------------------------------------------------------------------------------------------
# The hands


def compact_10dof() -> Hand:
    """Five fingers, two joints each, named <finger>_q1 / _q2."""
    k = 1.05
    h = Hand("kova_compact_10dof", "palm", "five fingers, two joints each (10 DOF)", scale=k)
    fingers = [
        ("index", (0.080, -0.025, 0.0), -0.08, (0.044, 0.046), 7),
        ("middle", (0.084, 0.0, 0.0), 0.0, (0.048, 0.050), 11),
        ("ring", (0.078, 0.021, 0.0), 0.07, (0.045, 0.048), 15),
        ("pinky", (0.068, 0.039, 0.0), 0.15, (0.036, 0.038), 19),
    ]
    h.thumb("palm", s((0.027, -0.027, 0.008), k),
            [J("thumb_q1", ROT, 0.0, 1.6), J("thumb_q2", FLEX, -0.2, 1.0)],
            s((0.058,), k), ["thumb_base", "thumb_proximal"], "thumb_tip", 2,
            first_offset=0.047 * k)
    for finger, knuckle, yaw, lengths, _ in fingers:
        h.finger("little" if finger == "pinky" else finger, "palm", s(knuckle, k), yaw,
                 [J(f"{finger}_q1", FLEX, 0.0, 1.6), J(f"{finger}_q2", FLEX, 0.0, 1.75)],
                 s(lengths, k), [f"{finger}_proximal", f"{finger}_distal"],
                 f"{finger}_tip", LANDMARKS["little" if finger == "pinky" else finger][1])
    return h


def linkage_12dof() -> Hand:
    """Six actuators; intermediate phalanges follow their proximal joint (mimic joints)."""
    k = 1.0
    h = Hand("kova_linkage_12dof", "hand_base_link",
             "six actuators, twelve joints coupled by linkages (mimic joints)", scale=k)
    h.thumb("hand_base_link", s((0.030, -0.024, 0.008), k),
            [J("thumb_proximal_yaw_joint", ROT, -0.1, 1.3),
             J("thumb_proximal_pitch_joint", FLEX, 0.0, 0.6),
             J("thumb_intermediate_joint", FLEX, 0.0, 0.8,
               ("thumb_proximal_pitch_joint", 1.3, 0.0)),
             J("thumb_distal_joint", FLEX, 0.0, 1.2, ("thumb_proximal_pitch_joint", 1.6, 0.0))],
            s((0.044, 0.033, 0.030), k),
            ["thumb_proximal_base", "thumb_proximal", "thumb_intermediate", "thumb_distal"],
            "thumb_tip", 3)
    for finger, landmark, knuckle, yaw, lengths in [
        ("index", 6, (0.080, -0.023, 0.0), -0.06, (0.036, 0.042)),
        ("middle", 10, (0.083, 0.0, 0.0), 0.0, (0.038, 0.046)),
        ("ring", 14, (0.079, 0.021, 0.0), 0.06, (0.036, 0.042)),
        ("pinky", 18, (0.071, 0.040, 0.0), 0.12, (0.032, 0.036)),
    ]:
        h.finger("little" if finger == "pinky" else finger, "hand_base_link", s(knuckle, k),
                 yaw,
                 [J(f"{finger}_proximal_joint", FLEX, 0.0, 1.47),
                  J(f"{finger}_intermediate_joint", FLEX, 0.0, 1.6,
                    (f"{finger}_proximal_joint", 1.08, 0.0))],
                 s(lengths, k), [f"{finger}_proximal", f"{finger}_intermediate"],
                 f"{finger}_tip", landmark)
    h.actuated = ["thumb_proximal_yaw_joint", "thumb_proximal_pitch_joint", "index_proximal_joint",
                  "middle_proximal_joint", "ring_proximal_joint", "pinky_proximal_joint"]
    return h


def _four_finger(name, description, names, k, file_order=None) -> Hand:
    """Four fingers (no little finger), four joints each: abduction and three flexions."""
    h = Hand(name, "palm_link", description, scale=k)
    idx = names  # finger -> four joint names in chain order
    h.thumb("palm_link", s((0.022, -0.030, 0.010), k),
            [J(idx["thumb"][0], ROT, 0.0, 1.7), J(idx["thumb"][1], ABD, -0.35, 0.55),
             J(idx["thumb"][2], FLEX, -0.2, 1.2), J(idx["thumb"][3], FLEX, -0.2, 1.5)],
            s((0.034, 0.036), k),
            ["thumb_base", "thumb_knuckle", "thumb_proximal", "thumb_distal"], "thumb_tip", 3,
            first_offset=0.046 * k)
    for finger, knuckle, yaw, lengths in [
        ("index", (0.082, -0.028, 0.0), -0.05, (0.044, 0.027, 0.036)),
        ("middle", (0.087, 0.0, 0.0), 0.0, (0.048, 0.030, 0.038)),
        ("ring", (0.081, 0.027, 0.0), 0.05, (0.045, 0.028, 0.036)),
    ]:
        h.finger(finger, "palm_link", s(knuckle, k), yaw,
                 [J(idx[finger][0], ABD, -0.4, 0.4), J(idx[finger][1], FLEX, -0.2, 1.6),
                  J(idx[finger][2], FLEX, -0.2, 1.75), J(idx[finger][3], FLEX, -0.2, 1.6)],
                 s(lengths, k),
                 [f"{finger}_knuckle", f"{finger}_proximal", f"{finger}_middle",
                  f"{finger}_distal"], f"{finger}_tip", LANDMARKS[finger][2])
    h.joint_order = file_order
    return h


def four_finger_16dof() -> Hand:
    names = {"index": [f"joint_{i}.0" for i in range(0, 4)],
             "middle": [f"joint_{i}.0" for i in range(4, 8)],
             "ring": [f"joint_{i}.0" for i in range(8, 12)],
             "thumb": [f"joint_{i}.0" for i in range(12, 16)]}
    order = [f"joint_{i}.0" for i in range(16)]
    return _four_finger("kova_four_finger_16dof",
                        "four fingers, four joints each, numbered joint_0.0 to joint_15.0",
                        names, 1.2, order)


def numbered_16dof() -> Hand:
    # chain order abduction, flexion: joint "1" before "0" on the index finger, and so on
    names = {"index": ["1", "0", "2", "3"], "middle": ["5", "4", "6", "7"],
             "ring": ["9", "8", "10", "11"], "thumb": ["12", "13", "14", "15"]}
    order = [str(i) for i in range(16)]
    return _four_finger("kova_numbered_16dof",
                        "four fingers, four joints each, joints named 0 to 15", names, 1.12,
                        order)


def five_finger_24dof() -> Hand:
    """Two wrist joints, 4 joints per finger, 5 on the little finger and the thumb."""
    k = 1.0
    h = Hand("kova_five_finger_24dof", "forearm",
             "two wrist joints and five fingers (24 DOF)", extra_links=[], scale=k)
    h.joints.append(Joint("WRJ2", ABD, -0.5, 0.17, "wrist", parent="forearm"))
    h.joints.append(Joint("WRJ1", FLEX, -0.7, 0.5, "palm", parent="wrist"))
    h.thumb("palm", s((0.029, -0.025, 0.009), k),
            [J("THJ5", ROT, -0.2, 1.2), J("THJ4", ABD, -0.5, 0.7), J("THJ3", FLEX, -0.2, 0.9),
             J("THJ2", FLEX, -0.3, 0.9), J("THJ1", FLEX, -0.2, 1.4)],
            s((0.046, 0.033, 0.028), k),
            ["th_base", "th_knuckle", "th_proximal", "th_middle", "th_distal"], "th_tip", 3)
    for prefix, finger, knuckle, yaw, lengths in [
        ("FF", "index", (0.083, -0.024, 0.0), -0.09, (0.041, 0.024, 0.019)),
        ("MF", "middle", (0.087, 0.0, 0.0), 0.0, (0.046, 0.028, 0.020)),
        ("RF", "ring", (0.080, 0.021, 0.0), 0.08, (0.043, 0.027, 0.020)),
    ]:
        p = prefix.lower()
        h.finger(finger, "palm", s(knuckle, k), yaw,
                 [J(f"{prefix}J4", ABD, -0.35, 0.35), J(f"{prefix}J3", FLEX, -0.26, 1.57),
                  J(f"{prefix}J2", FLEX, 0.0, 1.75), J(f"{prefix}J1", FLEX, 0.0, 1.57)],
                 s(lengths, k), [f"{p}_knuckle", f"{p}_proximal", f"{p}_middle", f"{p}_distal"],
                 f"{p}_tip", LANDMARKS[finger][2])
    # the little finger sits on a metacarpal that cups the palm (LFJ5)
    h.joints.append(Joint("LFJ5", CUP, 0.0, 0.7, "lf_metacarpal", (0.012, 0.014, 0.0),
                          parent="palm"))
    h.finger("little", "lf_metacarpal", s((0.057, 0.025, 0.0), k), 0.16,
             [J("LFJ4", ABD, -0.35, 0.35), J("LFJ3", FLEX, -0.26, 1.57),
              J("LFJ2", FLEX, 0.0, 1.75), J("LFJ1", FLEX, 0.0, 1.57)],
             s((0.034, 0.019, 0.018), k), ["lf_knuckle", "lf_proximal", "lf_middle", "lf_distal"],
             "lf_tip", LANDMARKS["little"][2])
    # Joints of a finger chain are attached to the finger's first link; the little finger's
    # first joint therefore hangs from lf_metacarpal with the knuckle offset above.
    return h


def coupled_20dof() -> Hand:
    """Eight actuators drive twenty joints; names carry a right_hand_ prefix."""
    k = 1.08
    P = "right_hand_"
    h = Hand("kova_coupled_20dof", P + "base",
             "eight actuators coupled to twenty joints (mimic joints)", scale=k)
    h.thumb(P + "base", s((0.026, -0.026, 0.009), k),
            [J(P + "Thumb_Opposition", ROT, 0.0, 1.5),
             J(P + "j5", ABD, 0.0, 0.4, (P + "Thumb_Opposition", 0.25, 0.0)),
             J(P + "Thumb_Flexion", FLEX, -0.1, 0.9),
             J(P + "j3", FLEX, 0.0, 1.8, (P + "Thumb_Flexion", 1.0, 0.0)),
             J(P + "j4", FLEX, 0.0, 1.8, (P + "Thumb_Flexion", 0.9, 0.0))],
            s((0.045, 0.032, 0.028), k),
            [P + "thumb_base", P + "thumb_metacarpal", P + "thumb_proximal",
             P + "thumb_middle", P + "thumb_distal"], P + "thumb_tip", 3)
    chains = [
        ("index", (0.081, -0.024, 0.0), -0.09, (0.040, 0.024, 0.019),
         [J(P + "index_spread", ABD, -0.3, 0.3),
          J(P + "Index_Finger_Proximal", FLEX, 0.0, 1.5),
          J(P + "Index_Finger_Distal", FLEX, 0.0, 1.8, (P + "Index_Finger_Proximal", 1.1, 0.0)),
          J(P + "j14", FLEX, 0.0, 1.8, (P + "Index_Finger_Proximal", 0.8, 0.0))]),
        ("middle", (0.085, 0.0, 0.0), 0.0, (0.044, 0.028, 0.020),
         [J(P + "Middle_Finger_Proximal", FLEX, 0.0, 1.5),
          J(P + "Middle_Finger_Distal", FLEX, 0.0, 1.8, (P + "Middle_Finger_Proximal", 1.1, 0.0)),
          J(P + "j15", FLEX, 0.0, 1.8, (P + "Middle_Finger_Proximal", 0.8, 0.0))]),
        ("ring", (0.078, 0.020, 0.0), 0.08, (0.042, 0.026, 0.019),
         [J(P + "ring_spread", ABD, -0.05, 0.2, (P + "Finger_Spread", 0.5, 0.0)),
          J(P + "Ring_Finger", FLEX, 0.0, 1.5),
          J(P + "j12", FLEX, 0.0, 1.8, (P + "Ring_Finger", 1.1, 0.0)),
          J(P + "j16", FLEX, 0.0, 1.8, (P + "Ring_Finger", 0.8, 0.0))]),
        ("little", (0.068, 0.037, 0.0), 0.16, (0.033, 0.019, 0.017),
         [J(P + "Finger_Spread", ABD, -0.1, 0.4),
          J(P + "Pinky", FLEX, 0.0, 1.5),
          J(P + "j13", FLEX, 0.0, 1.8, (P + "Pinky", 1.1, 0.0)),
          J(P + "j17", FLEX, 0.0, 1.8, (P + "Pinky", 0.8, 0.0))]),
    ]
    for finger, knuckle, yaw, lengths, specs in chains:
        n = len(specs)
        links = [P + f"{finger}_{part}" for part in
                 ("knuckle", "proximal", "middle", "distal")[4 - n:]]
        h.finger(finger, P + "base", s(knuckle, k), yaw, specs, s(lengths, k), links,
                 P + f"{finger}_tip", LANDMARKS[finger][2])
    h.actuated = [P + n for n in ("Thumb_Opposition", "Thumb_Flexion", "index_spread",
                                  "Index_Finger_Proximal", "Middle_Finger_Proximal",
                                  "Ring_Finger", "Finger_Spread", "Pinky")]
    return h


HANDS = [compact_10dof, linkage_12dof, four_finger_16dof, numbered_16dof, five_finger_24dof,
         coupled_20dof]
FINGER_ORDER = ("thumb", "index", "middle", "ring", "little")


def yaml_list(values) -> str:
    return "[" + ", ".join(str(v) for v in values) + "]"


def configs(hand: Hand) -> dict:
    fingers = [f for f in FINGER_ORDER if f in hand.tip_links]
    tips = [hand.tip_links[f] for f in fingers]
    tip_landmarks = [LANDMARKS[f][3] for f in fingers]
    mids = [hand.middle_links[f][0] for f in fingers]
    mid_landmarks = [hand.middle_links[f][1] for f in fingers]
    urdf = f"{hand.name}/{hand.name}.urdf"
    header = (f"# {hand.name}: {hand.description}.\n"
              "# Keypoints are expected in the hand frame (wrist at the origin, x along the\n"
              "# fingers, y towards the little finger, z out of the palm), in metres.\n")
    common = f"  urdf_path: {urdf}\n"
    if hand.actuated:
        common += f"  target_joint_names: {yaml_list(hand.actuated)}\n"
    common += "  low_pass_alpha: 0.7\n  normal_delta: 0.001\n"
    position = (header + "retargeting:\n  type: position\n" + common
                + f"  target_link_names: {yaml_list(tips + mids)}\n"
                + f"  target_link_human_indices: {yaml_list(tip_landmarks + mid_landmarks)}\n"
                + "  huber_delta: 0.005\n")
    root = hand.root if hand.name != "kova_five_finger_24dof" else "palm"
    n = len(tips)
    vector = (header + "retargeting:\n  type: vector\n" + common
              + f"  scaling_factor: {hand.scale:g}\n  huber_delta: 0.005\n"
              + f"  target_origin_link_names: {yaml_list([root] * (2 * n))}\n"
              + f"  target_task_link_names: {yaml_list(tips + mids)}\n"
              + "  target_link_human_indices:\n"
              + f"    - {yaml_list([0] * (2 * n))}\n"
              + f"    - {yaml_list(tip_landmarks + mid_landmarks)}\n")
    dexpilot = (header + "# Human indices are derived from the wrist and the fingertips.\n"
                + "retargeting:\n  type: dexpilot\n" + common
                + f"  scaling_factor: {hand.scale:g}\n"
                + f"  wrist_link_name: {root}\n"
                + f"  finger_tip_link_names: {yaml_list(tips)}\n")
    return {"position": position, "vector": vector, "dexpilot": dexpilot}


def main(resources: Path = RESOURCES) -> None:
    """Write every hand and configuration under ``resources`` (the package's by default)."""
    hands_dir, configs_dir = resources / "assets" / "robots" / "hands", resources / "configs"
    for make in HANDS:
        hand = make()
        out = hands_dir / hand.name / f"{hand.name}.urdf"
        out.parent.mkdir(parents=True, exist_ok=True)
        out.write_text(hand.urdf())
        for method, text in configs(hand).items():
            cfg = configs_dir / method / f"{hand.name}.yml"
            cfg.parent.mkdir(parents=True, exist_ok=True)
            cfg.write_text(text)
        print("wrote", out)


if __name__ == "__main__":
    import sys

    main(Path(sys.argv[1]) if len(sys.argv) > 1 else RESOURCES)
