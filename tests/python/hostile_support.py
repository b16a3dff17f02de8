"""Shared pieces of the hostile-input tests: a small robot written to a temporary directory and
configurations over it."""

import pathlib

TWO_FINGER_URDF = """<robot name="toy">
  <link name="palm"/><link name="a1"/><link name="a2"/><link name="b1"/><link name="b2"/>
  <joint name="ja1" type="revolute"><parent link="palm"/><child link="a1"/>
    <origin xyz="0.02 0 0.05"/><axis xyz="1 0 0"/><limit lower="-0.5" upper="1.5"/></joint>
  <joint name="ja2" type="revolute"><parent link="a1"/><child link="a2"/>
    <origin xyz="0 0 0.04"/><axis xyz="1 0 0"/><limit lower="0" upper="1.6"/>
    <mimic joint="ja1" multiplier="0.8" offset="0.1"/></joint>
  <joint name="jb1" type="revolute"><parent link="palm"/><child link="b1"/>
    <origin xyz="-0.02 0 0.05"/><axis xyz="0 1 0"/><limit lower="-1" upper="1"/></joint>
  <joint name="jb2" type="prismatic"><parent link="b1"/><child link="b2"/>
    <origin xyz="0 0 0.03"/><axis xyz="0 0 1"/><limit lower="0" upper="0.02"/></joint>
</robot>
"""

# Two targets: the tips of both fingers.
REF = [0.02, 0.03, 0.08, -0.03, 0.0, 0.085]


def write_robot(directory: pathlib.Path, text: str = TWO_FINGER_URDF, name: str = "toy.urdf"):
    path = directory / name
    path.write_text(text)
    return path


def position_config(native, urdf: pathlib.Path, **overrides):
    arguments = dict(target_link_names=["a2", "b2"], target_link_human_indices=[4, 8])
    arguments.update(overrides)
    return native.RetargetingConfig("position", str(urdf), **arguments)
