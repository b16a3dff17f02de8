"""Making a robot hand ready to retarget onto: the URDF re-rooted at its hand frame with a tip link
per finger, three configurations and a report of every guess (``kova init``)."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from kova_rs import _core
from kova_rs.hand_detect import FINGERS, FloatArray, Hand, detect_hand
from kova_rs.hand_report import MeasuresSection, measures_section
from kova_rs.shipped import resources_dir

# The landmark of each fingertip in the 21-point hand layout.
TIP_LANDMARK = {"thumb": 4, "index": 8, "middle": 12, "ring": 16, "little": 20}
WRIST_LANDMARK = 0
HAND_LINK = "hand_frame"
METHODS = ("position", "vector", "dexpilot")


@dataclass
class InitResult:
    urdf: Path
    configs: dict[str, Path]
    report: Path
    hand: Hand
    scale: float
    warnings: list[str]
    #: the report's pictures (report_<pose>.png)
    renders: list[Path] = field(default_factory=list)
    #: why there are no pictures (matplotlib missing, not asked for), else None
    no_renders: str | None = None


def demo_motion() -> FloatArray:
    motion: FloatArray = np.load(resources_dir() / "motions" / "demo_motion.npy")
    return motion


def human_hand_length(motion: FloatArray) -> float:
    """Wrist to middle fingertip of the most open frame of a recording (metres)."""
    lengths = np.linalg.norm(motion[:, TIP_LANDMARK["middle"]] - motion[:, WRIST_LANDMARK], axis=1)
    return float(lengths.max())


def _free_name(taken: set[str], name: str) -> str:
    candidate, n = name, 1
    while candidate in taken:
        n += 1
        candidate = f"{name}_{n}"
    return candidate


def _flow(values: list[str] | list[int]) -> str:
    return "[" + ", ".join(str(v) for v in values) + "]"


def _kova_section(hand: Hand, source: Path, tips: dict[str, str], scale: float,
                  measured: str) -> str:
    lines = ["kova:", f"  source_urdf: {_quote(str(source))}", f"  side: {hand.side}",
             "  hand_frame:"]
    lines += [f"    - {_flow([_num(v) for v in row])}" for row in hand.hand_frame]
    lines.append("  fingers:")
    for f in hand.fingers:
        links = [*f.links, tips[f.name]] if tips[f.name] not in f.links else f.links
        lines += [f"    {f.name}:", f"      links: {_flow([_quote(x) for x in links])}",
                  f"      tip: {_quote(tips[f.name])}", f"      tip_from: {f.tip_from}"]
    lines += ["  scale:", f"    value: {_num(scale)}", f"    measured: {_quote(measured)}"]
    return "\n".join(lines) + "\n"


def _num(value: float) -> str:
    text = f"{value:.6g}"
    return "0" if text == "-0" else text


def _quote(text: str) -> str:
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _configs(hand: Hand, urdf_name: str, hand_link: str, tips: dict[str, str],
             driven: list[str] | None, scale: float) -> dict[str, str]:
    names = [f.name for f in hand.fingers]
    tip_links = [_quote(tips[n]) for n in names]
    landmarks = [TIP_LANDMARK[n] for n in names]
    common = [f"  urdf_path: {_quote(urdf_name)}", "  low_pass_alpha: 0.7",
              "  normal_delta: 0.001"]
    if driven is not None:
        common.append(f"  target_joint_names: {_flow([_quote(j) for j in driven])}")
    # Position targets are not scaled: a hand of another size keeps centimetre residuals, where
    # a few-millimetre Huber threshold makes the loss linear and the solve stops short of the
    # fist (LEAP: fist closure 0.65 instead of 0.48); the reader's default (20 mm) is kept.
    position = ["retargeting:", "  type: position", *common,
                f"  target_link_names: {_flow(tip_links)}",
                f"  target_link_human_indices: {_flow(landmarks)}"]
    vector = ["retargeting:", "  type: vector", *common, f"  scaling_factor: {_num(scale)}",
              "  huber_delta: 0.005",
              f"  target_origin_link_names: {_flow([_quote(hand_link)] * len(names))}",
              f"  target_task_link_names: {_flow(tip_links)}",
              "  target_link_human_indices:",
              f"    - {_flow([WRIST_LANDMARK] * len(names))}", f"    - {_flow(landmarks)}"]
    points = [WRIST_LANDMARK, *landmarks]
    pairs = _core.dexpilot_vectors(len(names))
    dexpilot = ["retargeting:", "  type: dexpilot", *common, f"  scaling_factor: {_num(scale)}",
                f"  wrist_link_name: {_quote(hand_link)}",
                f"  finger_tip_link_names: {_flow(tip_links)}",
                "  target_link_human_indices:",
                f"    - {_flow([points[origin] for _, origin in pairs])}",
                f"    - {_flow([points[task] for task, _ in pairs])}"]
    return {"position": "\n".join(position) + "\n", "vector": "\n".join(vector) + "\n",
            "dexpilot": "\n".join(dexpilot) + "\n"}


def init_hand(urdf: Path, out_dir: Path, side: str | None = None, name: str | None = None,
              renders: bool = True) -> InitResult:
    """Writes out_dir/NAME.urdf, position.yml, vector.yml, dexpilot.yml and report.md with the
    measures of each configuration on the demo motion and (``renders``, with matplotlib) side
    and top views of its key poses in report_<pose>.png.

    Raises NotAHandError (a ValueError) when the robot has fewer than two moving fingers, and
    ValueError for a file that is no robot description."""
    name = name or urdf.stem
    target = out_dir / f"{name}.urdf"
    if target.exists() and target.resolve() == urdf.resolve():
        raise ValueError(f"writing {target} would replace the source file: choose another --out "
                         "or --name")
    model = _core.RobotModel.from_file(urdf)
    hand = detect_hand(model, urdf.parent, side)
    warnings = list(hand.warnings)
    out_dir.mkdir(parents=True, exist_ok=True)

    document = _core.UrdfDocument.from_file(urdf)
    taken = set(model.link_names) | {j.name for j in model.joints}
    hand_link = _free_name(taken, HAND_LINK)
    document.add_root(hand_link, _free_name(taken, hand_link + "_joint"),
                      np.asarray(np.linalg.inv(hand.hand_frame), dtype=np.float64))
    tips: dict[str, str] = {}
    for f in hand.fingers:
        wanted = f"{f.name}_tip"
        if wanted == f.tip_link:
            tips[f.name] = wanted
            continue
        tips[f.name] = _free_name(taken, wanted)
        if tips[f.name] != wanted:
            warnings.append(f"the robot already has a link {wanted} that is not the {f.name} "
                            f"tip: the tip link is called {tips[f.name]}")
        document.add_fixed_link(f.tip_parent, tips[f.name], _free_name(taken, wanted + "_joint"),
                                f.tip_offset)
        taken |= {tips[f.name], wanted + "_joint"}
    missing = [c.written for c in document.rewrite_mesh_paths(urdf.parent.resolve(), out_dir)
               if not c.found]
    if missing:
        warnings.append(f"{len(missing)} mesh file(s) not found (kept as written), e.g. "
                        f"{missing[0]}: renders and geometry tips cannot use them")
    urdf_out = target

    # The scale: wrist to middle fingertip (else the longest finger) of the open hand.
    reach_finger = hand.finger("middle") or max(
        hand.fingers[1:], key=lambda f: float(np.linalg.norm(f.tip - hand.hand_frame[:3, 3])))
    robot_length = float(np.linalg.norm(reach_finger.tip - hand.hand_frame[:3, 3]))
    human_length = human_hand_length(demo_motion())
    scale = robot_length / human_length
    measured = (f"wrist to {reach_finger.name} fingertip, open hand: robot "
                f"{robot_length * 1000:.0f} mm / human {human_length * 1000:.0f} mm "
                "(demo motion)")
    # Joints above the palm (a wrist) are held still: everything else is driven.
    driven = None
    if hand.wrist_joints:
        driven = [j for j in model.dof_joint_names if j not in hand.wrist_joints]
        warnings.append("wrist joints held at 0 (left out of target_joint_names): "
                        + ", ".join(hand.wrist_joints))
    section = _kova_section(hand, urdf.resolve(), tips, scale, measured)
    configs: dict[str, Path] = {}
    header = (f"# {name}: written by kova init from {urdf.name}. Keypoints in the hand frame "
              "(wrist at the origin,\n# x along the fingers, y towards the little finger, "
              "z = x cross y), in metres.\n")
    texts = {method: header + text + section for method, text in
             _configs(hand, urdf_out.name, hand_link, tips, driven, scale).items()}
    for text in texts.values():
        _core.check_config_text(text)  # all checked before any file is written
    urdf_out.write_text(document.to_string(), encoding="utf-8")
    for method, text in texts.items():
        configs[method] = out_dir / f"{method}.yml"
        configs[method].write_text(text, encoding="utf-8")
    report = out_dir / "report.md"
    measures = measures_section(configs, demo_motion(), out_dir, renders)
    report.write_text(_report(name, urdf, hand, tips, scale, measured, warnings, measures),
                      encoding="utf-8")
    return InitResult(urdf_out, configs, report, hand, scale, warnings, measures.renders,
                      measures.no_renders)


def _report(name: str, urdf: Path, hand: Hand, tips: dict[str, str], scale: float,
            measured: str, warnings: list[str], section: MeasuresSection) -> str:
    lines = [f"# {name}", "", f"Made by `kova init` from `{urdf}`.", "",
             f"- side: **{hand.side}**",
             f"- palm link: `{hand.palm_link}`; wrist (hand frame origin): {hand.wrist_from}",
             f"- scale: {scale:.3f} ({measured})", "",
             "| finger | first moving joint | tip link | tip from |", "|---|---|---|---|"]
    for f in hand.fingers:
        lines.append(f"| {f.name} | `{f.joints[0]}` | `{tips[f.name]}` | {f.tip_from} |")
    missing = [n for n in FINGERS if hand.finger(n) is None]
    if missing:
        lines += ["", "Fingers not present: " + ", ".join(missing) + "."]
    lines += ["", "Hand frame in the source root frame (row-major):", "", "```"]
    lines += ["  ".join(f"{v:9.5f}" for v in row) for row in hand.hand_frame]
    lines += ["```", "", *section.lines, "## Warnings", ""]
    lines += [f"- {w}" for w in warnings] or ["- none"]
    lines.append("")
    if hand.side == "left":
        lines += ["## Driving a left hand", "",
                  "Drive it from left-hand recordings expressed in the hand frame without "
                  "mirroring (`kova retarget --hand-frame`, not `--left`): this robot's frame "
                  "follows the same formula (x to the middle knuckle, y to the little finger, "
                  "z = x cross y, out of the back of a left hand).", ""]
    return "\n".join(lines)
