#!/usr/bin/env python3
"""Lays out the seed corpora of the fuzz targets.

The small seeds kept in fuzz/seeds/ are copied as they are. The real robot files of the test data
(tests/data/robots) seed the URDF target directly, and the retargeter target as
configuration + URDF pairs whose link names are taken from each file: the root link as wrist and
origin, up to five leaf links as fingertips and position targets.

usage: make_corpus.py OUT_DIR ROBOTS_DIR
"""
import pathlib
import shutil
import sys
import xml.etree.ElementTree as ET

SEPARATOR = "\n#--urdf--\n"
MAX_ROBOT_BYTES = 96 * 1024


def links_of(text):
    root = ET.fromstring(text)
    links = [e.get("name") for e in root if e.tag == "link" and e.get("name")]
    parents, children = set(), set()
    for joint in (e for e in root if e.tag == "joint"):
        p, c = joint.find("parent"), joint.find("child")
        if p is not None and c is not None:
            parents.add(p.get("link"))
            children.add(c.get("link"))
    roots = [name for name in links if name not in children]
    leaves = [name for name in links if name in children and name not in parents]
    return (roots[0] if roots else None), leaves[:5]


def configs(root, leaves):
    names = "[" + ", ".join(f'"{n}"' for n in leaves) + "]"
    n = len(leaves)
    yield "position", (f"retargeting:\n  type: position\n  urdf_path: r.urdf\n"
                       f"  target_link_names: {names}\n"
                       f"  target_link_human_indices: {list(range(4, 4 + 4 * n, 4))}\n")
    origins = "[" + ", ".join(f'"{root}"' for _ in leaves) + "]"
    yield "vector", (f"retargeting:\n  type: vector\n  urdf_path: r.urdf\n"
                     f"  target_origin_link_names: {origins}\n  target_task_link_names: {names}\n"
                     f"  target_link_human_indices: [{[0] * n}, {list(range(4, 4 + 4 * n, 4))}]\n"
                     f"  scaling_factor: 1.5\n")
    if 2 <= n <= 5:
        yield "dexpilot", (f"retargeting:\n  type: dexpilot\n  urdf_path: r.urdf\n"
                           f"  wrist_link_name: \"{root}\"\n  finger_tip_link_names: {names}\n"
                           f"  add_dummy_free_joint: true\n")


def main():
    out, robots_dir = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    seeds = pathlib.Path(__file__).resolve().parent / "seeds"
    for target in ("urdf", "config", "retarget"):
        directory = out / target
        directory.mkdir(parents=True, exist_ok=True)
        for seed in (seeds / target).iterdir():
            shutil.copyfile(seed, directory / ("seed-" + seed.name))
    robots = sorted(robots_dir.glob("*/*.urdf")) if robots_dir.is_dir() else []
    if not robots:
        print(f"make_corpus: no robot files under {robots_dir}; using the kept seeds only")
    for robot in robots:
        tag = f"{robot.parent.name}-{robot.stem}"
        data = robot.read_bytes()
        shutil.copyfile(robot, out / "urdf" / f"robot-{tag}.urdf")
        if len(data) > MAX_ROBOT_BYTES:
            continue
        text = data.decode("utf-8")
        try:
            root, leaves = links_of(text)
        except ET.ParseError:
            continue
        if root is None or not leaves:
            continue
        for kind, config in configs(root, leaves):
            (out / "retarget" / f"robot-{tag}-{kind}").write_text(config + SEPARATOR + text)
    print(f"make_corpus: {len(robots)} robot files, corpora in {out}")


if __name__ == "__main__":
    main()
