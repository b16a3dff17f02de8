"""Writes tests/data/handmade/<hand>/: real hands set up by hand, the reference that kova init's
results are compared with (tools/measure_hands.py measures both).

    python tools/make_handmade.py

For each hand, HANDS below records what was decided by looking at the robot's kinematics: the
hand frame's axes and origin in the robot's root frame, the fingertip links thumb first, the
joints left undriven and the scale (the measured reach ratio, kova_rs.hand_size). The robot file
is the original under tests/data/robots with one fixed joint above its root that puts it in the
hand frame (origin at the wrist, x towards the middle-finger knuckle, y towards the little
finger, z the side the fingers curl to); the three configurations name every landmark
explicitly.
"""

from __future__ import annotations

import re
from pathlib import Path

import numpy as np
import numpy.typing as npt
from kova_rs import _core

REPO = Path(__file__).resolve().parent.parent
ROBOTS = REPO / "tests" / "data" / "robots"
OUT = REPO / "tests" / "data" / "handmade"
FINGERS = ("thumb", "index", "middle", "ring", "little")
HAND_FRAME = "hand_frame"

HANDS = {
    # Fingers along +z, the little finger towards -x, curling towards -y; the wrist joints stay
    # still (the hand frame sits on the forearm), the wrist point is the palm link's origin.
    "shadow": {"urdf": "shadow_2020/shadowhand_motor.urdf", "x": (0, 0, 1), "y": (-1, 0, 0),
               "origin": (0.0, -0.010, 0.247), "scale": 1.21, "still": ("rh_WRJ1", "rh_WRJ2"),
               "tips": ("rh_thtip", "rh_fftip", "rh_mftip", "rh_rftip", "rh_lftip")},
    # Fingers along +z, index at +y and ring at -y, curling towards +x; the wrist point is the
    # base link's origin at the bottom of the palm.
    "allegro": {"urdf": "allegro/allegro_hand_description_right.urdf", "x": (0, 0, 1),
                "y": (0, -1, 0), "origin": (0.0, 0.0, 0.0), "scale": 0.84, "still": (),
                "tips": ("link_15.0_tip", "link_3.0_tip", "link_7.0_tip", "link_11.0_tip")},
    # Fingers along +x, the little finger towards -z, curling towards -y (the root is the
    # arm's wrist link); no tip links: each tip is put at the end of the last phalanx, along
    # its length in the link frame.
    "inspire_dfq": {"urdf": "inspire/DFQ_right_hand.urdf", "x": (1, 0, 0), "y": (0, 0, -1),
                    "origin": (0.118, -0.005, 0.017), "scale": 0.71, "still": (),
                    "tips": ("thumb_end", "index_end", "middle_end", "ring_end", "little_end"),
                    "add": {"thumb_end": ("R_thumb_distal", (0.0205, 0.0096, 0.0016)),
                            "index_end": ("R_index_intermediate", (-0.0026, 0.032, -0.001)),
                            "middle_end": ("R_middle_intermediate", (-0.0024, 0.032, -0.001)),
                            "ring_end": ("R_ring_intermediate", (-0.0024, 0.032, -0.001)),
                            "little_end": ("R_pinky_intermediate", (-0.0024, 0.032, -0.001))}},
    # Same axes as the DFQ; the force-sensor links sit at the fingertips.
    "inspire_ftp": {"urdf": "inspire/FTP_right_hand.urdf", "x": (1, 0, 0), "y": (0, 0, -1),
                    "origin": (0.114, -0.011, 0.026), "scale": 0.99, "still": (),
                    "tips": ("right_thumb_force_sensor_4", "right_index_force_sensor_3",
                             "right_middle_force_sensor_3", "right_ring_force_sensor_3",
                             "right_little_force_sensor_3")},
    # Fingers along +z, the little finger towards +x; the fsr links at the fingertips.
    "ability": {"urdf": "ability/ability_hand_right_large.urdf", "x": (0, 0, 1),
                "y": (1, 0, 0), "origin": (-0.010, -0.008, 0.0), "scale": 1.0, "still": (),
                "tips": ("fsr29", "fsr5", "fsr11", "fsr17", "fsr23")},
    # Fingers along +z, the little finger towards +x; tips at the far end of the last links'
    # collision shapes (one-letter link names: c thumb, t index, s middle, r ring, q little).
    "schunk_svh": {"urdf": "schunk_svh/svh.urdf", "x": (0, 0, 1), "y": (1, 0, 0),
                   "origin": (-0.007, 0.0, 0.0), "scale": 1.17, "still": (),
                   "tips": ("thumb_end", "index_end", "middle_end", "ring_end", "little_end"),
                   "add": {"thumb_end": ("c", (0.0, 0.0, 0.020)),
                           "index_end": ("t", (0.0, 0.0, 0.015)),
                           "middle_end": ("s", (0.0, 0.0, 0.015)),
                           "ring_end": ("r", (0.0007, 0.0, 0.0143)),
                           "little_end": ("q", (0.0033, 0.0, 0.0145))}},
    # Fingers along +x; the index finger at +z, the middle finger at -z (little side), curling
    # towards -y; the thumb in the middle; the wrist behind the middle finger as on a human.
    # Tips one phalanx (45.8 mm) beyond the last joints.
    "unitree_dex3": {"urdf": "unitree_dex3/dex3_1_r.urdf", "x": (1, 0, 0), "y": (0, 0, -1),
                     "origin": (0.0, -0.0016, -0.0285), "scale": 0.96, "still": (),
                     "tips": ("thumb_end", "index_end", "middle_end"),
                     "add": {"thumb_end": ("right_hand_thumb_2_link", (-0.0018, 0.0458, 0.0)),
                             "index_end": ("right_hand_index_1_link", (0.0458, 0.0, 0.0)),
                             "middle_end": ("right_hand_middle_1_link", (0.0458, 0.0, 0.0))}},
    # Fingers along +x, the little-finger side towards -y, curling towards -z; tips at the far
    # end of the fingertip links along their -y.
    "leap": {"urdf": "leap/robot.urdf", "x": (1, 0, 0), "y": (0, -1, 0),
             "origin": (-0.054, -0.037, -0.006), "scale": 0.98, "still": (),
             "tips": ("thumb_end", "index_end", "middle_end", "ring_end"),
             "add": {"thumb_end": ("thumb_fingertip", (0.0075, -0.0452, 0.0085)),
                     "index_end": ("fingertip", (0.0, -0.0361, 0.0)),
                     "middle_end": ("fingertip_2", (0.0, -0.0361, 0.0)),
                     "ring_end": ("fingertip_3", (0.0, -0.0361, 0.0))}},
}


def _rpy(rotation: npt.NDArray[np.float64]) -> tuple[float, float, float]:
    """URDF roll, pitch, yaw of a rotation matrix (R = Rz(yaw) Ry(pitch) Rx(roll))."""
    pitch = float(np.arcsin(-rotation[2, 0]))
    return (float(np.arctan2(rotation[2, 1], rotation[2, 2])), pitch,
            float(np.arctan2(rotation[1, 0], rotation[0, 0])))


def wrapped_urdf(text: str, root: str, hand: dict) -> str:
    """The robot below a fixed joint that puts its root where it is in the hand frame."""
    x, y = np.array(hand["x"], float), np.array(hand["y"], float)
    axes = np.column_stack([x, y, np.cross(x, y)])  # hand axes in the root frame
    rotation, offset = axes.T, -axes.T @ np.array(hand["origin"], float)
    roll, pitch, yaw = _rpy(rotation)
    joint = (f'\n  <!-- the hand frame: origin at the wrist, x to the middle-finger knuckle, y to '
             f'the little finger, z the side the fingers curl to -->\n'
             f'  <link name="{HAND_FRAME}"/>\n'
             f'  <joint name="{HAND_FRAME}_to_{root}" type="fixed">\n'
             f'    <parent link="{HAND_FRAME}"/>\n    <child link="{root}"/>\n'
             f'    <origin xyz="{offset[0]:.6g} {offset[1]:.6g} {offset[2]:.6g}" '
             f'rpy="{roll:.6g} {pitch:.6g} {yaw:.6g}"/>\n  </joint>\n')
    for tip, (parent, xyz) in hand.get("add", {}).items():  # fingertips the file lacks
        joint += (f'  <link name="{tip}"/>\n  <joint name="{tip}_joint" type="fixed">\n'
                  f'    <parent link="{parent}"/>\n    <child link="{tip}"/>\n'
                  f'    <origin xyz="{xyz[0]} {xyz[1]} {xyz[2]}" rpy="0 0 0"/>\n  </joint>\n')
    start = re.search(r"<robot[^>]*>", text)
    assert start is not None
    return text[: start.end()] + joint + text[start.end():]


def _list(items: object) -> str:
    return "[" + ", ".join(map(str, items)) + "]"  # type: ignore[call-overload]


def configurations(name: str, hand: dict, dof_joints: list[str]) -> dict[str, str]:
    tips = list(hand["tips"])
    landmarks = [0] + [4 * (i + 1) for i in range(len(tips))]  # wrist, then each fingertip
    # The DexPilot rows in the core's order: every fingertip pair, then each fingertip and the
    # wrist; a row's origin is the pair's second link.
    n = len(tips)
    pairs = [(i, j) for i in range(1, n) for j in range(i + 1, n + 1)]
    pairs += [(i, 0) for i in range(1, n + 1)]
    head = f"retargeting:\n  urdf_path: {name}.urdf\n"
    driven = [j for j in dof_joints if j not in hand["still"]]
    common = (f"  target_joint_names: {_list(driven)}\n" if hand["still"] else "")
    common += "  low_pass_alpha: 1.0\n"
    scaled = f"  scaling_factor: {hand['scale']}\n"
    kova = "kova:\n  fingers:\n" + "".join(
        f"    {FINGERS[i]}: {{tip: {tip}}}\n" for i, tip in enumerate(tips))
    return {
        "position": head + "  type: position\n" + f"  target_link_names: {_list(tips)}\n"
        f"  target_link_human_indices: {_list(landmarks[1:])}\n" + common + kova,
        "vector": head + "  type: vector\n"
        f"  target_origin_link_names: {_list([HAND_FRAME] * n)}\n"
        f"  target_task_link_names: {_list(tips)}\n"
        f"  target_link_human_indices: {_list([0] * n + landmarks[1:])}\n"
        + scaled + common + kova,
        "dexpilot": head + f"  type: dexpilot\n  wrist_link_name: {HAND_FRAME}\n"
        f"  finger_tip_link_names: {_list(tips)}\n  target_link_human_indices: "
        f"{_list([landmarks[j] for _, j in pairs] + [landmarks[i] for i, _ in pairs])}\n"
        + scaled + common + kova,
    }


def main() -> int:
    for name, hand in HANDS.items():
        source = ROBOTS / hand["urdf"]
        model = _core.RobotModel.from_file(source)
        out = OUT / name
        out.mkdir(parents=True, exist_ok=True)
        (out / f"{name}.urdf").write_text(wrapped_urdf(source.read_text(), model.root_link, hand))
        for method, text in configurations(name, hand, list(model.dof_joint_names)).items():
            (out / f"{method}.yml").write_text(text)
        print(f"{out}: {name}.urdf and its three configurations")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
