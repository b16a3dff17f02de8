"""``kova check``: everything a configuration can get wrong, found before a frame is solved.

One line per finding, each saying what to change: ``kova: error: FILE: KEY: MESSAGE`` (the
configuration cannot be used as it is), ``kova: warning: ...`` (it works, probably not as
meant) on stderr; ``kova: note: ...`` (what the configuration does, for a look) on stdout.
Exit status 0 when clean, 1 with warnings, 2 with errors.

The core finds the configuration's own mistakes (keys, kinds of values, ranges, names against
the robot, mimic joints, how fingertips are matched); this command adds what needs the robot's
kinematics beside the human hand: its size against ``scaling_factor`` and against position
retargeting.
"""

from __future__ import annotations

import argparse
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from kova_rs.cli.common import (
    DEMO_HAND,
    EXIT_USER_ERROR,
    UserError,
    find_config,
    finding_line,
    one_line,
)

EXIT_WARNINGS = 1
#: scaling_factor further than this factor from the measured size ratio is questioned
SCALE_TOLERANCE = 1.25
#: a hand reaching this much farther than a human one cannot follow by position
POSITION_SIZE_LIMIT = 1.3


@dataclass
class Finding:
    severity: str  #: "error", "warning" or "note"
    key: str
    message: str
    line: int = 0

    def text(self, source: Path) -> str:
        return finding_line(self.severity, source, self.key, self.message, self.line)


def findings(path: Path) -> list[Finding]:
    """Every finding about the configuration file at ``path``, errors first."""
    from kova_rs import ConfigError, _core
    from kova_rs.retargeter import Retargeter, read_config_text

    try:
        text = read_config_text(path)
    except ConfigError as err:
        raise UserError(one_line(err)) from None
    found = [Finding(i.severity, i.key, i.message, i.line)
             for i in _core.config_file_issues(text, path)]
    if any(f.severity == "error" for f in found):
        return sorted(found, key=lambda f: f.severity != "error")
    try:
        retargeter = Retargeter.from_config(path)
    except (ValueError, RuntimeError) as err:  # the checks above should have said so
        message = one_line(err).removeprefix(f"{path}: ")
        return [*found, Finding("error", "", message)]
    by_list_order = any(f.key == FINGERTIPS_KEY and f.severity == "warning" for f in found)
    return [*found, *fingertip_notes(retargeter, by_list_order), *size_findings(retargeter)]


#: where the core warns that DexPilot fingertips fell back to list order
FINGERTIPS_KEY = "retargeting.finger_tip_link_names"


def fingertip_notes(retargeter: Any, by_list_order: bool) -> list[Finding]:
    """DexPilot: which keypoint each fingertip link follows, and which the wrist."""
    if retargeter.method != "dexpilot":
        return []
    rows = retargeter.native.target_rows  # (origin link, task link, origin mark, task mark)
    fingers = {4: "thumb", 8: "index", 12: "middle", 16: "ring", 20: "little"}
    matched: dict[str, int] = {}
    for link, landmark in [*((task, mark) for _, task, _, mark in rows),
                           *((origin, mark) for origin, _, mark, _ in rows
                             if origin is not None)]:
        matched.setdefault(link, landmark)
    wrist = retargeter.config.wrist_link_name
    tips = [f"{link} -> keypoint {matched[link]}"
            + (f" ({fingers[matched[link]]})" if matched[link] in fingers else "")
            for link in retargeter.config.finger_tip_link_names]
    how = ("by target_link_human_indices" if retargeter.config.target_link_human_indices
           else "in list order" if by_list_order
           else "by the finger named in each link's name")
    return [Finding("note", FINGERTIPS_KEY,
                    f"fingertips matched {how}: {', '.join(tips)}; wrist {wrist} -> keypoint "
                    f"{matched.get(wrist, 0)}")]


def size_findings(retargeter: Any) -> list[Finding]:
    """The robot's size against scaling_factor (vectors) or position retargeting."""
    from kova_rs.hand_size import hand_size

    size = hand_size(retargeter)
    if size is None:
        return []
    ratio = size.ratio
    robot_mm = 1000 * sum(size.robot.values()) / len(size.robot)
    human_mm = 1000 * sum(size.human.values()) / len(size.human)
    measured = (f"its fingers reach {ratio:.2f} times as far as a human's (wrist to fingertip "
                f"with the joints at the open end of their ranges: {robot_mm:.0f} mm against "
                f"{human_mm:.0f} mm)")
    if retargeter.method == "position":
        if ratio <= POSITION_SIZE_LIMIT:
            return []
        return [Finding("warning", "retargeting.type",
                        "position retargeting puts the robot's fingertips on the human "
                        f"keypoints, but {measured}, so it can only follow with its fingers "
                        "bent; use vector or dexpilot retargeting with scaling_factor: "
                        f"{ratio:.2f}")]
    scale = float(retargeter.config.scaling_factor)
    if ratio / SCALE_TOLERANCE <= scale <= ratio * SCALE_TOLERANCE:
        return []
    return [Finding("warning", "retargeting.scaling_factor",
                    f"scaling_factor is {scale:g}, but {measured}; set scaling_factor: "
                    f"{ratio:.2f}")]


def run(args: argparse.Namespace) -> int:
    path = find_config(args.config)
    if path.is_dir():
        raise UserError(f"{path}: is a directory, not a configuration file")
    result = findings(path)
    for finding in result:
        stream = sys.stdout if finding.severity == "note" else sys.stderr
        print(finding.text(path), file=stream)
    errors = sum(f.severity == "error" for f in result)
    warnings = sum(f.severity == "warning" for f in result)
    if errors or warnings:
        print(f"{path}: {_count(errors, 'error')}, {_count(warnings, 'warning')}")
    else:
        print(f"{path}: no problems found")
    return EXIT_USER_ERROR if errors else EXIT_WARNINGS if warnings else 0


def _count(n: int, what: str) -> str:
    return f"{n} {what}" + ("" if n == 1 else "s")


def add_parser(sub: Any) -> None:
    check = sub.add_parser("check", help="find the mistakes of a configuration before using it")
    check.add_argument("config", metavar="CONFIG",
                       help=f"YAML configuration, or a shipped one such as dexpilot/{DEMO_HAND}")
    check.set_defaults(func=run)
