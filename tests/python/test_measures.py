"""The measures that judge a retargeting, on geometry whose answers are known."""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np
import pytest
from conftest import write_yaml
from kova_rs import human_hand
from kova_rs.measures import human_measures, robot_fingertips, robot_measures, robot_wrist
from kova_rs.retargeter import Retargeter, RetargetResult

# Two sliders on a palm: the thumb tip moves along y from (0.1, 0, 0), the index tip along x
# from (0.1, 0.03, 0); the index slider also carries a wrist marker.
SLIDERS = """<robot name="sliders">
  <link name="palm"/><link name="thumb_link"/><link name="thumb_end"/>
  <link name="index_link"/><link name="index_end"/><link name="wrist_mark"/>
  <joint name="thumb" type="prismatic"><parent link="palm"/><child link="thumb_link"/>
    <axis xyz="0 1 0"/><limit lower="-1" upper="1" effort="1" velocity="1"/></joint>
  <joint name="thumb_tip_joint" type="fixed"><parent link="thumb_link"/><child link="thumb_end"/>
    <origin xyz="0.1 0 0"/></joint>
  <joint name="index" type="prismatic"><parent link="palm"/><child link="index_link"/>
    <axis xyz="1 0 0"/><limit lower="-1" upper="1" effort="1" velocity="1"/></joint>
  <joint name="index_tip_joint" type="fixed"><parent link="index_link"/><child link="index_end"/>
    <origin xyz="0.1 0.03 0"/></joint>
  <joint name="wrist_joint" type="fixed"><parent link="palm"/><child link="wrist_mark"/>
    <origin xyz="0 0 0.05"/></joint>
</robot>
"""
KEYFRAMES = [("open", 0), ("fist", 1), ("pinch_index", 2), ("open", 3)]


def slider_retargeter(tmp_path: Path, body: str, kova: str = "") -> Retargeter:
    (tmp_path / "sliders.urdf").write_text(SLIDERS, encoding="utf-8")
    text = f"retargeting:\n  urdf_path: sliders.urdf\n{body}{kova}"
    return Retargeter.from_config(write_yaml(tmp_path, text))


POSITION = """  type: position
  target_link_names: [thumb_end, index_end]
  target_link_human_indices: [4, 8]
"""
VECTOR = """  type: vector
  target_origin_link_names: [wrist_mark, wrist_mark]
  target_task_link_names: [thumb_end, index_end]
  target_link_human_indices: [[0, 0], [4, 8]]
"""


def test_human_measures_on_a_drawn_hand() -> None:
    kp = np.zeros((4, 21, 3))
    kp[:, 0] = (0.0, 0.0, 0.01)  # the wrist, off the origin
    for frame, reach in enumerate((0.2, 0.05, 0.1, 0.1)):
        kp[frame, [8, 12, 16, 20], 0] = reach
        kp[frame, 4, 0] = 1.0  # the thumb: far away, and left out of the closure
    kp[2, 4] = (0.1, 0.0, 0.014)  # 5 mm from the index tip, 4 mm from its height
    kp[:, [8, 12, 16, 20], 2] = 0.01
    measures = human_measures(kp, KEYFRAMES)
    assert math.isnan(measures.mean_error)
    assert measures.pinch_gaps == {"index": pytest.approx(0.004)}
    # reach in the fist 0.05, in the two open poses 0.2 and 0.1
    assert measures.fist_closure == pytest.approx(0.05 / 0.15)


def test_human_measures_of_the_demo_motion() -> None:
    measures = human_measures(human_hand.demo_motion(), human_hand.demo_keyframes())
    assert set(measures.pinch_gaps) == {"index", "middle", "ring", "little"}
    assert all(gap == pytest.approx(0.008, abs=1e-4) for gap in measures.pinch_gaps.values())
    assert measures.fist_closure == pytest.approx(0.37, abs=0.01)


def test_human_measures_refuse_what_they_cannot_measure() -> None:
    kp = np.zeros((4, 21, 3))
    with pytest.raises(ValueError, match="outside the 4 frames"):
        human_measures(kp, [("open", 0), ("fist", 4)])
    with pytest.raises(ValueError, match="'fist' and an 'open'"):
        human_measures(kp, [("open", 0), ("pinch_index", 1)])
    with pytest.raises(ValueError, match=r"shape \(N, 21, 3\)"):
        human_measures(kp[:, :20], KEYFRAMES)


def test_robot_measures_from_the_links_the_targets_name(tmp_path: Path) -> None:
    r = slider_retargeter(tmp_path, POSITION)
    assert robot_fingertips(r) == {"thumb": "thumb_end", "index": "index_end"}
    assert robot_wrist(r) is None  # the root's origin is the wrist
    # index reach from the root's origin: 0.2, 0.05, 0.1, 0.1 (its tip sits at y = 0.03)
    qpos = np.zeros((4, 2))
    index_column = r.joint_names.index("index")
    qpos[:, index_column] = [0.2 - 0.1, 0.05 - 0.1, 0.0, 0.0]
    qpos[2, 1 - index_column] = 0.03  # the thumb tip meets the index tip in the pinch
    result = RetargetResult(qpos, r.joint_names, np.full((4, 2), 0.002))
    measures = robot_measures(r, result, KEYFRAMES)
    assert measures.mean_error == pytest.approx(0.002)
    assert measures.pinch_gaps == {"index": pytest.approx(0.0)}
    reach = [math.hypot(x, 0.03) for x in (0.2, 0.05, 0.1, 0.1)]
    assert measures.fist_closure == pytest.approx(reach[1] / ((reach[0] + reach[3]) / 2))


def test_robot_wrist_and_recorded_tips(tmp_path: Path) -> None:
    recorded = "kova:\n  fingers:\n    index: {tip: index_link}\n    thumb: {tip: thumb_link}\n"
    r = slider_retargeter(tmp_path, VECTOR, recorded)
    assert robot_wrist(r) == "wrist_mark"
    # the recorded tips win over the target links, in finger order
    assert list(robot_fingertips(r).items()) == [("thumb", "thumb_link"), ("index", "index_link")]
    result = r.retarget_sequence(human_hand.demo_motion())
    measures = robot_measures(r, result, human_hand.demo_keyframes())
    # the recorded tips are the sliders' own origins: (0, thumb, 0) and (index, 0, 0)
    pinch = dict(human_hand.demo_keyframes())["pinch_index"]
    thumb, index = (result.joint(name)[pinch] for name in ("thumb", "index"))
    assert measures.pinch_gaps == {"index": pytest.approx(math.hypot(thumb, index))}
    with pytest.raises(ValueError, match=r"shape \(N, 2\)"):
        robot_measures(r, RetargetResult(np.zeros((3, 3)), [], np.zeros((3, 2))), KEYFRAMES)
