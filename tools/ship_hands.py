"""Writes the real manufacturer hands shipped with kova: each one made by `kova init` from its
maker's URDF (the byte-for-byte copies in tests/data/robots), with its three configurations and
its licence.

    python tools/ship_hands.py [RESOURCES_DIR]   (default: the package's resources)

Per hand NAME it writes assets/robots/hands/NAME/{NAME.urdf, LICENSE, SOURCE.md} and
configs/{position,vector,dexpilot}/NAME.yml, whose urdf_path is NAME/NAME.urdf (found through
the shipped hands folder) and whose kova.source_urdf names the maker's file. Only hands whose
licence allows redistribution are listed; a hand that `kova init` gets wrong is fixed in
`kova init`, never here.
"""

from __future__ import annotations

import re
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

from kova_rs.hand_init import METHODS, init_hand

ROOT = Path(__file__).resolve().parent.parent
RESOURCES = ROOT / "python" / "kova_rs" / "resources"
ROBOTS = ROOT / "tests" / "data" / "robots"


@dataclass(frozen=True)
class Source:
    title: str
    repository: str
    commit: str
    path: str
    licence: str
    texts: tuple[str, ...]  # under tests/data/robots/LICENSES


ALLEGRO = ("https://github.com/simlabrobotics/allegro_hand_ros",
           "296ef6bae4b535ffb91420237cdc8a87f6e9f6df")
UNITREE_ROS = ("https://github.com/unitreerobotics/unitree_ros",
           "d6f13aad60320ce1d60a07b82a76b5a553f2a0a9")
SHADOW = ("https://github.com/shadow-robot/sr_common", "efa7d38707acc6eef1b1f1cfd45e9ef478dd910c")
ABILITY = ("https://github.com/psyonicinc/ability-hand-api",
           "34c9a9324d3739d976e6de441e56ccefafd0000b")
INSPIRE_DIR = "robots/g1_description/inspire_hand/"
ALLEGRO_BSD = "BSD, as declared by the maker's repository (manifest.xml), which names no text"
UNITREE_BSD = "BSD-3-Clause, Copyright 2016-2022 HangZhou YuShu Technology (Unitree Robotics)"
SHADOW_BSD = "BSD-3-Clause, Copyright 2022 Shadow Robot Company Ltd"
ABILITY_MIT = "MIT, Copyright 2024 PSYONIC, Inc."

# name -> (file under tests/data/robots, where it comes from)
SHIPPED: dict[str, tuple[str, Source]] = {
    "allegro_right": ("allegro/allegro_hand_description_right.urdf", Source(
        "Wonik Allegro Hand, right", *ALLEGRO,
        "allegro_hand_description/allegro_hand_description_right.urdf", ALLEGRO_BSD,
        ("BSD-allegro.txt",))),
    "allegro_left": ("allegro/allegro_hand_description_left.urdf", Source(
        "Wonik Allegro Hand, left", *ALLEGRO,
        "allegro_hand_description/allegro_hand_description_left.urdf", ALLEGRO_BSD,
        ("BSD-allegro.txt",))),
    "leap_right": ("leap/robot.urdf", Source(
        "LEAP Hand, right", "https://github.com/leap-hand/LEAP_Hand_Sim",
        "150bc3d4b61fd6619193ba5a8ef209f3609ced89", "assets/leap_hand/robot.urdf",
        "MIT, Copyright 2023 Ananye Agarwal", ("MIT-leap.txt",))),
    "inspire_dfq_right": ("inspire/DFQ_right_hand.urdf", Source(
        "Inspire RH56DFQ, right", *UNITREE_ROS, INSPIRE_DIR + "DFQ_right_hand.urdf",
        UNITREE_BSD, ("BSD-3-Clause-unitree.txt",))),
    "inspire_dfq_left": ("inspire/DFQ_left_hand.urdf", Source(
        "Inspire RH56DFQ, left", *UNITREE_ROS, INSPIRE_DIR + "DFQ_left_hand.urdf",
        UNITREE_BSD, ("BSD-3-Clause-unitree.txt",))),
    "inspire_ftp_right": ("inspire/FTP_right_hand.urdf", Source(
        "Inspire FTP, right", *UNITREE_ROS, INSPIRE_DIR + "FTP_right_hand.urdf",
        UNITREE_BSD, ("BSD-3-Clause-unitree.txt",))),
    "inspire_ftp_left": ("inspire/FTP_left_hand.urdf", Source(
        "Inspire FTP, left", *UNITREE_ROS, INSPIRE_DIR + "FTP_left_hand.urdf",
        UNITREE_BSD, ("BSD-3-Clause-unitree.txt",))),
    "shadow_right": ("shadow/shadowhand_motor.urdf", Source(
        "Shadow Dexterous Hand (motor), right", *SHADOW,
        "sr_description/mujoco_models/urdfs/shadowhand_motor.urdf", SHADOW_BSD,
        ("BSD-3-Clause-shadow.txt",))),
    "shadow_left": ("shadow/shadowhand_motor_left.urdf", Source(
        "Shadow Dexterous Hand (motor), left", *SHADOW,
        "sr_description/mujoco_models/urdfs/shadowhand_motor_left.urdf", SHADOW_BSD,
        ("BSD-3-Clause-shadow.txt",))),
    "ability_right": ("ability/ability_hand_right_large.urdf", Source(
        "PSYONIC Ability Hand (large), right", *ABILITY, "URDF/ability_hand_right_large.urdf",
        ABILITY_MIT, ("MIT-ability.txt",))),
    "ability_left": ("ability/ability_hand_left_large.urdf", Source(
        "PSYONIC Ability Hand (large), left", *ABILITY, "URDF/ability_hand_left_large.urdf",
        ABILITY_MIT, ("MIT-ability.txt",))),
    "unitree_dex3_right": ("unitree_dex3/dex3_1_r.urdf", Source(
        "Unitree Dex3-1, right", *UNITREE_ROS,
        "robots/dexterous_hand_description/dex3_1/dex3_1_r.urdf", UNITREE_BSD,
        ("BSD-3-Clause-unitree.txt",))),
    "schunk_svh_right": ("schunk_svh/svh.urdf", Source(
        "SCHUNK SVH, right", "https://github.com/fzi-forschungszentrum-informatik/schunk_svh_driver",
        "5d847eba5dcaedd6c759b20b6745b5fe2705e290", "description/urdf/svh.urdf",
        "LGPL (the maker's repository names no version; the texts of version 3 are given)",
        ("LGPL-3.0.txt", "GPL-3.0.txt"))),
}


def _source_url(source: Source) -> str:
    return f"{source.repository}/blob/{source.commit}/{source.path}"


def _shipped_config(text: str, name: str, source: Source) -> str:
    """The config kova init wrote, pointing at the shipped URDF and at the maker's file."""
    text, urdfs = re.subn(r"(?m)^  urdf_path: .*$", f'  urdf_path: "{name}/{name}.urdf"', text)
    text, sources = re.subn(r"(?m)^  source_urdf: .*$", f'  source_urdf: "{_source_url(source)}"',
                            text)
    if (urdfs, sources) != (1, 1):
        raise RuntimeError(f"{name}: kova init's configuration changed its layout; update "
                           "tools/ship_hands.py")
    return text


def _source_note(name: str, source: Source, warnings: list[str]) -> str:
    lines = [f"# {name}: {source.title}", "",
             f"Made by `kova init` from the maker's robot description, {_source_url(source)}",
             "(copied byte for byte; meshes are not included).", "",
             f"Licence: {source.licence}. The text is in `LICENSE` beside this file.", "",
             "What `kova init` had to guess:", ""]
    lines += [f"- {w}" for w in warnings] or ["- nothing"]
    return "\n".join(lines) + "\n"


def ship(name: str, resources: Path) -> None:
    relative, source = SHIPPED[name]
    hand_dir = resources / "assets" / "robots" / "hands" / name
    with tempfile.TemporaryDirectory() as scratch:
        made = init_hand(ROBOTS / relative, Path(scratch), name=name, renders=False)
        hand_dir.mkdir(parents=True, exist_ok=True)
        (hand_dir / f"{name}.urdf").write_text(made.urdf.read_text(encoding="utf-8"),
                                               encoding="utf-8")
        for method in METHODS:
            config = resources / "configs" / method / f"{name}.yml"
            config.parent.mkdir(parents=True, exist_ok=True)
            text = made.configs[method].read_text(encoding="utf-8")
            config.write_text(_shipped_config(text, name, source), encoding="utf-8")
    licence = "\n\n".join((ROBOTS / "LICENSES" / t).read_text(encoding="utf-8").rstrip()
                          for t in source.texts)
    (hand_dir / "LICENSE").write_text(licence + "\n", encoding="utf-8")
    # the scratch folder's path is in a warning about meshes: say only what is not found
    warnings = [re.sub(r"\(kept as written\), e\.g\. \S+:", "(not shipped):", w)
                for w in made.warnings]
    (hand_dir / "SOURCE.md").write_text(_source_note(name, source, warnings), encoding="utf-8")


def main(resources: Path = RESOURCES) -> None:
    for name in SHIPPED:
        ship(name, resources)
        print("wrote", resources / "assets" / "robots" / "hands" / name)


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else RESOURCES)
