"""Exercises an installed kova_rs wheel: the extension, and through it NLopt, libyaml and pugixml.

Run by check_wheel.sh inside a fresh virtual environment, with the system's copies of those
libraries and the compilers made unreadable. Exits non-zero on the first problem.
"""

from __future__ import annotations

import sys
import tempfile
from pathlib import Path

import numpy as np

import kova_rs
import kova_rs._native as native

URDF = """<?xml version="1.0"?>
<robot name="finger">
  <link name="base"/>
  <link name="middle"/>
  <link name="distal"/>
  <link name="tip"/>
  <joint name="j1" type="revolute">
    <parent link="base"/><child link="middle"/>
    <origin xyz="0 0 0.05" rpy="0 0 0"/><axis xyz="1 0 0"/>
    <limit lower="-1.5" upper="1.5" effort="1" velocity="1"/>
  </joint>
  <joint name="j2" type="revolute">
    <parent link="middle"/><child link="distal"/>
    <origin xyz="0 0 0.04" rpy="0 0 0"/><axis xyz="1 0 0"/>
    <limit lower="-1.5" upper="1.5" effort="1" velocity="1"/>
  </joint>
  <joint name="tip_joint" type="fixed">
    <parent link="distal"/><child link="tip"/>
    <origin xyz="0 0 0.03" rpy="0 0 0"/>
  </joint>
</robot>
"""

CONFIG = """retargeting:
  type: position
  urdf_path: finger.urdf
  target_link_names: [tip]
  target_link_human_indices: [8]
  normal_delta: 0.0
  low_pass_alpha: 1.0
"""


def main() -> int:
    print(f"kova_rs {native.__version__} from {Path(native.__file__).parent}, "
          f"numpy {np.__version__}")
    if not hasattr(native, "RetargetingConfig"):
        print("extension without RetargetingConfig yet: import checked only")
        return 0
    with tempfile.TemporaryDirectory() as tmp:
        Path(tmp, "finger.urdf").write_text(URDF)
        config_path = Path(tmp, "config.yml")
        config_path.write_text(CONFIG)
        retargeting = native.RetargetingConfig.from_file(str(config_path)).build()
        target = np.array([0.0, -0.03, 0.105])  # reachable within the joint limits
        [start] = retargeting.link_positions([0.0, 0.0], ["tip"])
        for _ in range(10):  # warm starts carry the solve on from frame to frame
            qpos = retargeting.retarget(target)
        [tip] = retargeting.link_positions(qpos, ["tip"])
        before = float(np.linalg.norm(np.subtract(start, target)))
        after = float(np.linalg.norm(np.subtract(tip, target)))
        print(f"qpos {qpos}: tip {before * 1e3:.1f} mm from the target before, "
              f"{after * 1e3:.1f} mm after")
        if len(qpos) != 2 or not after < before / 3:
            print("the solver did not bring the tip towards a reachable target", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
