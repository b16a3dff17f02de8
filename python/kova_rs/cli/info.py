"""``kova info``: links, the DOF order of every joint vector, limits and mimic joints.

Everything shown comes from the robot model the solver itself builds, so the order and the
limits are exactly those every retargeter uses.
"""

from __future__ import annotations

import argparse
from typing import Any

from kova_rs.cli.common import UserError, existing_urdf, one_line


def run(args: argparse.Namespace) -> int:
    from kova_rs._core import RobotModel

    path = existing_urdf(args.urdf)
    try:
        model = RobotModel.from_file(path)
    except ValueError as err:
        raise UserError(f"{path}: {one_line(err)}") from None
    dofs = model.dof_joint_names
    print(f"robot {model.name} ({path})")
    print(f"root link: {model.root_link}")
    print(f"links ({len(model.link_names)}): {', '.join(model.link_names)}")
    print(f"degrees of freedom ({len(dofs)}), in the order of every joint vector:")
    width = max((len(n) for n in dofs), default=4)
    for i, (name, (lower, upper)) in enumerate(zip(dofs, model.joint_limits)):
        joint = model.joint(name)
        if joint.mimic is not None:
            limits = "follows " + joint.mimic.joint
        elif joint.limit is None:
            limits = f"no limits ({lower:+g}, {upper:+g})"
        else:
            limits = f"[{lower:+.3f}, {upper:+.3f}]"
        print(f"  {i:3d}  {name:<{width}}  {joint.type:<10s} {limits}")
    mimics = [j for j in model.joints if j.mimic is not None]
    print(f"mimic joints ({len(mimics)}):" if mimics else "mimic joints: none")
    for j in mimics:
        m = j.mimic
        assert m is not None
        sign = "+" if m.offset >= 0 else "-"
        print(f"  {j.name} = {m.multiplier:g} * {m.joint} {sign} {abs(m.offset):g}")
    return 0


def add_parser(sub: Any) -> None:
    info = sub.add_parser("info", help="links, joints in order, limits and mimic joints")
    info.add_argument("urdf", metavar="URDF")
    info.set_defaults(func=run)
