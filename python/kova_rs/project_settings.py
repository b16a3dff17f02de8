"""The ``kova:`` section of a configuration file: project settings the core does not read.

    retargeting:
      ...
    kova:
      solver: lm          # or, on one line: kova: {solver: lm}

Read here: which solver the section names (``slsqp`` when it names none) and the section's text,
which goes into the configuration's hash. Checking the section's other settings is left to the
configuration checker; this reader only has to find the solver and notice any change.
"""

from __future__ import annotations

import dataclasses
import os
import re
from collections.abc import Iterable

from kova_rs.safe_read import open_regular, read_lines

DEFAULT_SOLVER = "slsqp"
CONFIG_LIMIT = 64 * 1024**2  # the core's configuration reader stops at the same size

_SECTION = re.compile(r"kova\s*:(.*)")
_VALUE = r"""(?P<value>'[^']*'|"[^"]*"|[^,}\s#]+)"""
_FLOW_SOLVER = re.compile(r"[{,]\s*solver\s*:\s*" + _VALUE)  # kova: {solver: lm}
_BLOCK_SOLVER = re.compile(r"solver\s*:\s*" + _VALUE + r"\s*(?:#.*)?")  #   solver: lm


@dataclasses.dataclass(frozen=True)
class ProjectSettings:
    solver: str = DEFAULT_SOLVER
    text: tuple[str, ...] = ()  #: the section's lines, blank and comment lines left out


def _solver_in(match: re.Match[str] | None, where: str) -> str | None:
    if match is None:
        return None
    value = match.group("value").strip("'\"")
    if not value:
        raise ValueError(f"{where}: solver is empty in the kova: section")
    return value


def parse_kova_section(lines: Iterable[tuple[int, str]], source: object) -> ProjectSettings:
    """The ``kova:`` section of numbered configuration lines (the defaults without one)."""
    section: list[str] = []
    solver: str | None = None
    indent: int | None = None  # of the section's first-level entries
    inside = False
    for number, line in lines:
        where = f"{source}: line {number}"
        text = line.rstrip()
        body = text.strip()
        if not body or body.startswith("#"):
            continue
        if not text[0].isspace():  # a top-level key ends the section
            inside = False
            match = _SECTION.fullmatch(text)
            if match is None:
                continue
            inside = True  # the YAML reader refuses a second one
            section.append(text)
            solver = _solver_in(_FLOW_SOLVER.search(match.group(1)), where)
            continue
        if not inside:
            continue
        section.append(text)
        depth = len(text) - len(text.lstrip())
        indent = depth if indent is None else indent
        if depth == indent and solver is None:
            solver = _solver_in(_BLOCK_SOLVER.fullmatch(body), where)
    return ProjectSettings(solver or DEFAULT_SOLVER, tuple(section))


def read_project_settings(path: str | os.PathLike[str]) -> ProjectSettings:
    """The ``kova:`` section of the configuration file ``path``; ValueError ``FILE: PROBLEM``."""
    with open_regular(path, "configuration file", CONFIG_LIMIT) as handle:
        return parse_kova_section(read_lines(handle, path), path)
