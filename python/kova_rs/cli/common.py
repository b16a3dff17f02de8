"""What the commands share: one-line user errors, the configuration lookup, loading a retargeter
and a recording with every failure naming its file, and output checks."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import TYPE_CHECKING, Any, NoReturn

from kova_rs.shipped import find_shipped_config

if TYPE_CHECKING:
    from kova_rs.result import RetargetResult
    from kova_rs.retargeter import FloatArray, Retargeter

DEMO_HAND = "kova_five_finger_24dof"
METHODS = ("position", "vector", "dexpilot")
EXIT_USER_ERROR = 2


class UserError(Exception):
    """A mistake in what the user gave us; printed as one line, exit status 2."""


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:  # one line instead of usage + message
        raise UserError(f"{message} (see '{self.prog} --help')")


def one_line(text: object) -> str:
    return " ".join(str(text).split())


def finding_line(severity: str, source: Path, key: str, message: str, line: int = 0) -> str:
    """``kova: SEVERITY: FILE: KEY (line N): MESSAGE``, the line of each configuration finding."""
    where = key + (f" (line {line})" if line else "")
    return f"kova: {severity}: {source}: " + (f"{where}: " if where else "") + one_line(message)


def find_config(value: str) -> Path:
    """A config path as given, or a shipped one named like ``position/kova_compact_10dof``."""
    path = Path(value)
    if path.exists():
        return path
    shipped = find_shipped_config(value)
    if shipped is None:
        raise UserError(f"{value}: no such configuration file")
    return shipped


def add_solver_argument(parser: argparse.ArgumentParser) -> None:
    """``--solver``, the same on every command that retargets."""
    from kova_rs.retargeter import SOLVERS

    parser.add_argument("--solver", choices=SOLVERS, default=None,
                        help="the solver of every frame (default: the configuration's "
                             "'kova: {solver: ...}', else slsqp)")


def existing_urdf(argument: str) -> Path:
    """The URDF file a command names; UserError unless it is an existing file."""
    path = Path(argument)
    if not path.exists():
        raise UserError(f"{path}: no such file")
    if path.is_dir():
        raise UserError(f"{path}: is a directory, not a URDF file")
    return path


def load_retargeter(config_path: Path, solver: str | None = None) -> Retargeter:
    """Read and build a configuration; every failure names the configuration file. ``solver``
    overrides the configuration's choice."""
    from kova_rs.retargeter import Retargeter

    if config_path.is_dir():
        raise UserError(f"{config_path}: is a directory, not a configuration file")
    try:
        retargeter = Retargeter.from_config(config_path, solver=solver)
    except (ValueError, RuntimeError, TypeError, OSError) as err:
        message = one_line(err)
        named = message.startswith(f"{config_path}: ")
        raise UserError(message if named else f"{config_path}: {message}") from None
    for issue in retargeter.config_warnings:
        print(finding_line("warning", config_path, issue.key, issue.message, issue.line),
              file=sys.stderr)
    return retargeter


def load_motion(path: Path, hand_frame: bool, left: bool) -> FloatArray:
    from kova_rs.hand_frame import to_hand_frame
    from kova_rs.motion_io import load_motion as read_motion

    try:
        motion = read_motion(path)
        if hand_frame or left:
            motion = to_hand_frame(motion, side="left" if left else "right")
    except ValueError as err:
        message = one_line(err)
        raise UserError(message if message.startswith(str(path)) else f"{path}: {message}") \
            from None
    return motion


def retarget(retargeter: Retargeter, motion: FloatArray, source: Path, progress: bool
             ) -> RetargetResult:
    try:
        return retargeter.retarget_sequence(motion, progress=progress)
    except ValueError as err:
        raise UserError(f"{source}: {one_line(err)}") from None


def check_output(path: Path, suffixes: tuple[str, ...]) -> Path:
    from kova_rs.atomic_write import check_writable_target

    if path.suffix.lower() not in suffixes:
        raise UserError(f"{path}: the file name must end in {' or '.join(suffixes)}")
    if not path.parent.is_dir():
        raise UserError(f"{path}: the folder {path.parent} does not exist")
    try:
        check_writable_target(path)  # a folder, a named pipe or a device is never written
    except ValueError as err:
        raise UserError(one_line(err)) from None
    return path


def plots_available() -> bool:
    from kova_rs.extras import available

    return available("matplotlib")


def made_by(config_path: Path, motion: Any, solver: str) -> dict[str, str]:
    """The provenance of a result of ``motion`` retargeted with ``config_path`` by ``solver``."""
    from kova_rs.provenance import describe_config, input_sha256

    try:
        return describe_config(config_path, solver) | {"input_sha256": input_sha256(motion)}
    except ValueError as err:
        message = one_line(err)
        raise UserError(message if message.startswith(str(config_path))
                        else f"{config_path}: {message}") from None


def save(path: Path, result: Any, provenance: dict[str, str]) -> Path:
    """Writes a result file (atomically); a failure is a user error naming the file."""
    from kova_rs.result_file import write_result

    try:
        return write_result(path, result, provenance=provenance)
    except ValueError as err:
        raise UserError(one_line(err)) from None


def tty() -> bool:
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False
