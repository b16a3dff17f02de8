"""The ``kova`` command line: ``kova demo``, ``kova retarget``, ``kova info``, ``kova hands``
and ``kova batch`` (module :mod:`kova_rs.batch`).

A user mistake (a missing or unreadable file, a bad configuration, an unknown link, a recording
of the wrong shape) prints one line ``kova: error: <file>: <problem>`` on stderr and exits with
status 2.
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path

import numpy as np

DEMO_HAND = "kova_five_finger_24dof"
METHODS = ("position", "vector", "dexpilot")
EXIT_USER_ERROR = 2


class UserError(Exception):
    """A mistake in what the user gave us; printed as one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):  # one line instead of usage + message
        raise UserError(f"{message} (see '{self.prog} --help')")


def _one_line(text) -> str:
    return " ".join(str(text).split())


def _fault_types() -> tuple:
    """The native library's internal-fault exception (derived from BaseException)."""
    import kova_rs
    from kova_rs import _native

    found = []
    for owner in (kova_rs, _native):
        fault = getattr(owner, "PanicException", None)
        if isinstance(fault, type) and issubclass(fault, BaseException):
            found.append(fault)
    return tuple(found)


def _resources() -> Path:
    return Path(__file__).resolve().parent / "resources"


def _find_config(value: str) -> Path:
    """A config path as given, or a shipped one named like ``position/kova_compact_10dof``."""
    path = Path(value)
    if path.exists():
        return path
    shipped = _resources() / "configs" / value
    for candidate in (shipped, shipped.with_name(shipped.name + ".yml")):
        if candidate.is_file():
            return candidate
    raise UserError(f"{value}: no such configuration file")


def _load_retargeter(config_path: Path):
    """Read and build a configuration; every failure names the configuration file."""
    from kova_rs import _native
    from kova_rs.retargeter import Retargeter

    if config_path.is_dir():
        raise UserError(f"{config_path}: is a directory, not a configuration file")
    try:
        config = _native.RetargetingConfig.from_file(str(config_path))
    except (ValueError, TypeError, OSError) as err:
        raise UserError(f"{config_path}: {_one_line(err)}") from None
    faults = _fault_types()
    try:
        return Retargeter(config)
    except (ValueError, RuntimeError, TypeError) as err:
        raise UserError(f"{config_path}: {_one_line(err)}") from None
    except BaseException as err:  # the native internal-fault exception: unknown link or joint
        if faults and isinstance(err, faults):
            raise UserError(f"{config_path}: {_one_line(err)}") from None
        raise


def _load_motion(path: Path, hand_frame: bool, left: bool) -> np.ndarray:
    from kova_rs.hand_frame import to_hand_frame
    from kova_rs.motion_io import load_motion

    try:
        motion = load_motion(path)
        if hand_frame or left:
            motion = to_hand_frame(motion, side="left" if left else "right")
    except ValueError as err:
        message = _one_line(err)
        raise UserError(message if message.startswith(str(path)) else f"{path}: {message}") \
            from None
    return motion


def _retarget(retargeter, motion, source: Path, progress: bool):
    faults = _fault_types()
    try:
        return retargeter.retarget_sequence(motion, progress=progress)
    except ValueError as err:
        raise UserError(f"{source}: {_one_line(err)}") from None
    except BaseException as err:
        if faults and isinstance(err, faults):
            raise UserError(f"{source}: {_one_line(err)}") from None
        raise


def _check_output(path: Path, suffixes: tuple) -> Path:
    if path.suffix.lower() not in suffixes:
        raise UserError(f"{path}: the file name must end in {' or '.join(suffixes)}")
    if not path.parent.exists():
        raise UserError(f"{path}: the folder {path.parent} does not exist")
    if path.is_dir():
        raise UserError(f"{path}: is a directory")
    return path


def _plots_available() -> bool:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


# ------------------------------------------------------------------------------------------


def cmd_demo(args) -> int:
    from kova_rs import human_hand, plots
    from kova_rs.motion_io import save_result
    from kova_rs.retargeter import shipped_config, shipped_hands

    hands = shipped_hands()
    if args.hand not in hands:
        raise UserError(f"{args.hand}: no such shipped hand; choose one of {', '.join(hands)}")
    out = Path(args.output)
    if out.exists() and not out.is_dir():
        raise UserError(f"{out}: exists and is not a folder")
    try:
        out.mkdir(parents=True, exist_ok=True)
    except OSError as err:
        raise UserError(f"{out}: cannot create the folder ({err.strerror or err})") from None
    motion_path = human_hand.default_motion_path()
    if motion_path.is_file():
        motion = np.load(motion_path)
    else:
        motion = human_hand.demo_motion()
    keyframes = human_hand.demo_keyframes()
    chosen = [k for k in keyframes if k[0] in ("fist", "pinch_index", "pinch_little", "spread")]
    can_plot = not args.no_plots and _plots_available()
    print(f"Retargeting the demo motion ({len(motion)} frames, "
          f"{len(motion) / human_hand.DEMO_FPS:.1f} s at {human_hand.DEMO_FPS:g} fps) "
          f"onto {args.hand}:")
    written = []
    for method in METHODS:
        config = shipped_config(method, args.hand)
        retargeter = _load_retargeter(config)
        result = _retarget(retargeter, motion, config, progress=not args.quiet and _tty())
        stem = out / f"{args.hand}_{method}"
        written.append(save_result(stem.with_suffix(".npz"), result))
        if can_plot:
            written.append(plots.plot_joint_angles(result, f"{stem}_joints.png",
                                                   fps=human_hand.DEMO_FPS))
            written.append(plots.plot_errors(result, f"{stem}_errors.png",
                                             fps=human_hand.DEMO_FPS))
            written.append(plots.plot_retargeter_frames(
                retargeter, motion, result, [f for _, f in chosen], f"{stem}_frames.png",
                titles=[f"{name} (frame {f})" for name, f in chosen]))
        what = "distance to keypoints" if method == "position" else "vector error"
        print(f"  {method:9s} {result.qpos.shape[1]} joints, mean {what} "
              f"{1000 * result.mean_error:.1f} mm")
    if not can_plot and not args.no_plots:
        print("  (plots skipped: matplotlib is not installed; pip install matplotlib)")
    print(f"Wrote {len(written)} files to {out.resolve()}:")
    for path in written:
        print(f"  {path.name}")
    return 0


def _tty() -> bool:
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False


def cmd_retarget(args) -> int:
    from kova_rs import plots
    from kova_rs.motion_io import save_result

    config_path = _find_config(args.config)
    source = Path(args.input)
    output = Path(args.output) if args.output else Path(f"{source.stem}_retargeted.npz")
    _check_output(output, (".npz",))
    if args.plot:
        _check_output(Path(args.plot), (".png", ".pdf", ".svg"))
        if not _plots_available():
            raise UserError("--plot needs matplotlib; install it with: pip install matplotlib")
    motion = _load_motion(source, args.hand_frame, args.left)
    retargeter = _load_retargeter(config_path)
    progress = args.progress if args.progress is not None else (len(motion) >= 300 and _tty())
    result = _retarget(retargeter, motion, source, progress)
    try:
        save_result(output, result)
    except ValueError as err:
        raise UserError(_one_line(err)) from None
    print(f"Retargeted {len(result)} frames with {config_path} "
          f"({result.method}, {len(result.joint_names)} joints): mean error "
          f"{1000 * result.mean_error:.1f} mm")
    print(f"Joint trajectories: {output.resolve()}")
    if args.plot:
        plots.plot_summary(result, args.plot, fps=args.fps)
        print(f"Plot: {Path(args.plot).resolve()}")
    return 0


def cmd_info(args) -> int:
    from kova_rs.urdf_info import dof_joint_names, read_urdf

    path = Path(args.urdf)
    try:
        model = read_urdf(path)
        dofs = dof_joint_names(path)
    except ValueError as err:
        message = _one_line(err)
        raise UserError(message if message.startswith(str(path.resolve())) or
                        message.startswith(str(path)) else f"{path}: {message}") from None
    except BaseException as err:
        faults = _fault_types()
        if faults and isinstance(err, faults):
            raise UserError(f"{path}: {_one_line(err)}") from None
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


def cmd_hands(args) -> int:
    from kova_rs.retargeter import shipped_hands

    root = _resources()
    print(f"Robot hands shipped with kova ({root / 'assets' / 'robots' / 'hands'}):")
    for hand in shipped_hands():
        methods = [m for m in METHODS if (root / "configs" / m / f"{hand}.yml").is_file()]
        print(f"  {hand:26s} configs: {', '.join(f'{m}/{hand}' for m in methods)}")
    print(f"Use one with: kova retarget --config position/{DEMO_HAND} --input MOTION")
    return 0


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="kova", description="Retarget human hand motion onto robot hands.")
    from kova_rs import __version__

    parser.add_argument("--version", action="version", version=f"kova {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    demo = sub.add_parser("demo", help="retarget the shipped demo motion with every method")
    demo.add_argument("--output", default="kova-demo-output", metavar="DIR",
                      help="folder for the trajectories and plots (default: kova-demo-output)")
    demo.add_argument("--hand", default=DEMO_HAND,
                      help=f"shipped hand to drive (default: {DEMO_HAND}; see 'kova hands')")
    demo.add_argument("--quiet", action="store_true", help="no progress bar")
    demo.add_argument("--no-plots", action="store_true", help="write the trajectories only")
    demo.set_defaults(func=cmd_demo)

    ret = sub.add_parser("retarget", help="retarget a recording with one configuration")
    ret.add_argument("--config", required=True, metavar="FILE",
                     help="YAML configuration, or a shipped one such as position/"
                          f"{DEMO_HAND}")
    ret.add_argument("--input", required=True, metavar="MOTION",
                     help="recording: .npy/.npz (N, 21, 3) or .csv (63 numbers per line)")
    ret.add_argument("--output", metavar="OUT.npz",
                     help="joint trajectories (default: <input name>_retargeted.npz here)")
    ret.add_argument("--plot", metavar="OUT.png", help="also draw joint angles and errors")
    ret.add_argument("--hand-frame", action="store_true",
                     help="express the keypoints in the hand's own frame first")
    ret.add_argument("--left", action="store_true",
                     help="the recording is a left hand: mirror it (implies --hand-frame)")
    ret.add_argument("--fps", type=float, default=None, help="frame rate, for the plot's time axis")
    group = ret.add_mutually_exclusive_group()
    group.add_argument("--progress", dest="progress", action="store_true", default=None,
                       help="always show a progress bar")
    group.add_argument("--no-progress", dest="progress", action="store_false",
                       help="never show a progress bar")
    ret.set_defaults(func=cmd_retarget)

    info = sub.add_parser("info", help="links, joints in order, limits and mimic joints")
    info.add_argument("urdf", metavar="URDF")
    info.set_defaults(func=cmd_info)

    hands = sub.add_parser("hands", help="list the shipped robot hands and configurations")
    hands.set_defaults(func=cmd_hands)

    from kova_rs import batch  # kova batch lives in its own module

    batch.add_parser(sub)
    return parser


def main(argv=None) -> int:
    try:
        args = build_parser().parse_args(argv)
        return args.func(args)
    except UserError as err:
        print(f"kova: error: {err}", file=sys.stderr)
        return EXIT_USER_ERROR
    except KeyboardInterrupt:
        print("kova: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # output piped into a program that stopped reading (kova info ... | head)
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1


if __name__ == "__main__":
    raise SystemExit(main())
