"""``kova info``: links, the DOF order of every joint vector, limits and mimic joints."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from kova_rs.cli.common import UserError, fault_types, one_line


def run(args: argparse.Namespace) -> int:
    from kova_rs.urdf_info import dof_joint_names, read_urdf

    path = Path(args.urdf)
    try:
        model = read_urdf(path)
        dofs = dof_joint_names(path)
    except ValueError as err:
        message = one_line(err)
        raise UserError(message if message.startswith(str(path.resolve())) or
                        message.startswith(str(path)) else f"{path}: {message}") from None
    except BaseException as err:
        faults = fault_types()
        if faults and isinstance(err, faults):
            raise UserError(f"{path}: {one_line(err)}") from None
        raise
    print(f"robot {model.name} ({path})")
    print(f"root link: {model.root_link}")
    print(f"links ({len(model.links)}): {', '.join(model.links)}")
    print(f"degrees of freedom ({len(dofs)}), in the order of every joint vector:")
    width = max((len(n) for n in dofs), default=4)
    for i, name in enumerate(dofs):
        joint = model.joint(name)
        if joint.mimic is not None:
            limits = "follows " + joint.mimic[0]
        elif joint.limit is None:
            limits = "no limits (±10000)"
        else:
            limits = f"[{joint.limit[0]:+.3f}, {joint.limit[1]:+.3f}]"
        print(f"  {i:3d}  {name:<{width}}  {joint.type:<10s} {limits}")
    mimics = model.mimic_joints
    print(f"mimic joints ({len(mimics)}):" if mimics else "mimic joints: none")
    for j in mimics:
        src, mult, off = j.mimic
        print(f"  {j.name} = {mult:g} * {src} {'+' if off >= 0 else '-'} {abs(off):g}")
    return 0


def add_parser(sub: Any) -> None:
    info = sub.add_parser("info", help="links, joints in order, limits and mimic joints")
    info.add_argument("urdf", metavar="URDF")
    info.set_defaults(func=run)
