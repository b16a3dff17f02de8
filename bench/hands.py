"""The benchmarked hands and the retargeting configuration of each method.

Every hand with at least 16 degrees of freedom among the real robot files of the test data
(`tests/data/robots`) takes part; mirrored copies and re-exports of the same hand are left out.
The link table below is the benchmark's choice of targets: the fingertips (thumb first, so that
DexPilot's lead-finger rules apply to the thumb), one intermediate link per finger and the
wrist or palm.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
ROBOTS = REPO / "tests" / "data" / "robots"


@dataclass(frozen=True)
class Hand:
    name: str
    urdf: str  # relative to ROBOTS
    wrist: str
    tips: tuple[str, ...]  # thumb first
    middles: tuple[str, ...]  # one intermediate link per finger, same finger order

    @property
    def urdf_path(self) -> Path:
        return ROBOTS / self.urdf


HANDS: tuple[Hand, ...] = (
    Hand(
        "allegro",
        "allegro/allegro_hand_description_right.urdf",
        "base_link",
        ("link_15.0_tip", "link_3.0_tip", "link_7.0_tip", "link_11.0_tip"),
        ("link_14.0", "link_2.0", "link_6.0", "link_10.0"),
    ),
    Hand(
        "leap",
        "leap/robot.urdf",
        "palm_lower",
        ("thumb_fingertip", "fingertip", "fingertip_2", "fingertip_3"),
        ("thumb_dip", "dip", "dip_2", "dip_3"),
    ),
    Hand(
        "shadow",
        "shadow_2020/shadowhand_motor.urdf",
        "rh_forearm",
        ("rh_thtip", "rh_fftip", "rh_mftip", "rh_rftip", "rh_lftip"),
        ("rh_thmiddle", "rh_ffmiddle", "rh_mfmiddle", "rh_rfmiddle", "rh_lfmiddle"),
    ),
    Hand(
        "svh",
        "schunk_svh/svh.urdf",
        "base_link",
        ("c", "t", "s", "r", "q"),
        ("b", "p", "o", "n", "m"),
    ),
)

METHODS = ("position", "vector", "dexpilot")
LOW_PASS_ALPHA = 0.2


@dataclass
class UrdfJoints:
    """What the benchmark needs from a robot file: movable joints, limits and mimic relations."""

    movable: list[str] = field(default_factory=list)  # URDF order
    limits: dict[str, tuple[float, float]] = field(default_factory=dict)
    mimic: list[tuple[str, str, float, float]] = field(default_factory=list)  # (joint, source, mult, off)

    @property
    def mimic_names(self) -> set[str]:
        return {m[0] for m in self.mimic}

    @property
    def actuated(self) -> list[str]:
        mimics = self.mimic_names
        return [j for j in self.movable if j not in mimics]


def read_joints(path: Path) -> UrdfJoints:
    """The robot's movable joints, limits and mimic relations, as kova's own model reads them."""
    from kova_rs._core import RobotModel

    model = RobotModel.from_file(path)
    limits = dict(zip(model.dof_joint_names, map(tuple, model.joint_limits.tolist())))
    out = UrdfJoints()
    for joint in model.joints:
        if joint.name not in limits:
            continue
        out.movable.append(joint.name)
        out.limits[joint.name] = limits[joint.name]
        if joint.mimic is not None:
            out.mimic.append((joint.name, joint.mimic.joint, joint.mimic.multiplier,
                              joint.mimic.offset))
    return out


def available_hands(min_dof: int = 16) -> list[Hand]:
    hands = []
    for hand in HANDS:
        if hand.urdf_path.is_file() and len(read_joints(hand.urdf_path).movable) >= min_dof:
            hands.append(hand)
    return hands


def vector_links(hand: Hand) -> tuple[list[str], list[str]]:
    """Origins and tasks of the vector method: wrist to every fingertip and intermediate link."""
    tasks = list(hand.tips) + list(hand.middles)
    return [hand.wrist] * len(tasks), tasks


def position_links(hand: Hand) -> list[str]:
    return list(hand.tips) + list(hand.middles)


def dexpilot_vectors(hand: Hand) -> tuple[list[str], list[str]]:
    """DexPilot's robot vectors as (origin, task) link names, in the optimiser's order (the
    order kova's core defines once)."""
    from kova_rs._core import dexpilot_vectors as vector_pairs

    links = [hand.wrist, *hand.tips]
    pairs = vector_pairs(len(hand.tips))
    return [links[origin] for _, origin in pairs], [links[task] for task, _ in pairs]


def config_kwargs(hand: Hand, method: str, target_joints: list[str]) -> dict:
    """Keyword arguments of `RetargetingConfig` (the same keys as the YAML file)."""
    kw: dict = {
        "type": method,
        "urdf_path": str(hand.urdf_path),
        "target_joint_names": list(target_joints),
        "low_pass_alpha": LOW_PASS_ALPHA,
    }
    if method == "position":
        links = position_links(hand)
        kw["target_link_names"] = links
        kw["target_link_human_indices"] = list(range(len(links)))
    elif method == "vector":
        origins, tasks = vector_links(hand)
        kw["target_origin_link_names"] = origins
        kw["target_task_link_names"] = tasks
        kw["target_link_human_indices"] = [0] * len(origins) + list(range(1, len(tasks) + 1))
    else:
        kw["finger_tip_link_names"] = list(hand.tips)
        kw["wrist_link_name"] = hand.wrist
    return kw


def config_yaml(kw: dict) -> str:
    """The same configuration as a YAML file."""
    lines = ["retargeting:"]
    for key, value in kw.items():
        if isinstance(value, list):
            items = ", ".join(f'"{v}"' if isinstance(v, str) else repr(v) for v in value)
            lines.append(f"  {key}: [{items}]")
        elif isinstance(value, str):
            lines.append(f'  {key}: "{value}"')
        else:
            lines.append(f"  {key}: {value!r}")
    return "\n".join(lines) + "\n"
