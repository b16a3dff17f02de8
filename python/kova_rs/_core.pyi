"""
kova's native API: robot models, retargeters and reference maps on NumPy arrays.
"""

from collections.abc import Sequence
import os
import pathlib
from typing import Annotated

import numpy
import numpy.typing
from numpy.typing import NDArray


class ConfigError(ValueError):
    """
    A mistake in a retargeting configuration. The message names the key, what was found, what is expected and, for names, the closest match and the valid choices.
    """

class ConfigIssue:
    """One problem found in a configuration."""

    @property
    def severity(self) -> str:
        """"error" (must be fixed) or "warning" (works, probably not as meant)."""

    @property
    def key(self) -> str:
        """
        Where: "retargeting.scaling_factor", "kova.solver"; empty for the document.
        """

    @property
    def message(self) -> str:
        """A whole sentence that says what to do."""

    @property
    def found(self) -> str:
        """What the configuration holds there."""

    @property
    def expected(self) -> str:
        """What would be accepted there."""

    @property
    def closest(self) -> str:
        """The valid choice closest to what was found, or ""."""

    @property
    def choices(self) -> list[str]:
        """The valid choices, for names."""

    @property
    def line(self) -> int:
        """1-based line in the document; 0 if not known."""

    def __str__(self) -> str: ...

def config_issues(document: str) -> list[ConfigIssue]:
    """
    Every problem of a configuration document (its YAML text): syntax, sections, unknown keys and values of the wrong kind.
    """

def check_config_text(document: str) -> None:
    """
    Raises ConfigError naming the first error of config_issues(document) (and how many more there are).
    """

def config_file_issues(document: str, path: str | os.PathLike) -> list[ConfigIssue]:
    """
    Every problem of a configuration file before anything is built: those of config_issues(document) (document: the file's text), then, for the record the core's reader reads from path, values out of range, names its robot does not have (with the closest one), mimic joints whose source is not driven and the fingertip links the kova section records.
    """

def check_config_file(document: str, path: str | os.PathLike) -> list[ConfigIssue]:
    """
    Raises ConfigError naming the first error of config_file_issues(document, path) (and how many more there are); returns the warnings when there is no error.
    """

def config_solver(document: str) -> str:
    """
    The solver a configuration document chooses (kova.solver; "slsqp" unset).
    """

def config_side(document: str) -> str | None:
    """
    The hand a configuration document says the robot is (kova.side: "right" or "left"), None when it does not say.
    """

def config_fingertips(document: str) -> dict[str, str]:
    """
    finger -> robot link of each fingertip a configuration document records in kova.fingers.<finger>.tip (kova init writes them); empty when it records none.
    """

def config_fingers(document: str) -> list[tuple[str, list[str], str]]:
    """
    (finger, links, tip) of each finger the kova.fingers section lists, thumb first; empty without the section. tip is "" when the section names none.
    """

def canonical_config(document: str) -> str:
    """
    The document's values as compact JSON with sorted keys: comments, layout and quoting that does not change a value leave it unchanged.
    """

def config_urdf_file(path: str) -> str:
    """
    The robot file a configuration file's urdf_path resolves to, as the build finds it.
    """

LANDMARKS: int = 21

def to_hand_frame(keypoints: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], side: str = 'right') -> Annotated[NDArray[numpy.float64], dict(order='C')]:
    """
    Keypoints (21, 3) or (N, 21, 3), each frame expressed in its own hand frame (wrist at the origin, x to the middle knuckle, y towards the little finger, z out of the palm). side='left' mirrors a left hand first so that it drives a right-hand model.
    """

def hand_frame(keypoints: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)]) -> tuple[Annotated[NDArray[numpy.float64], dict(order='C')], Annotated[NDArray[numpy.float64], dict(order='C')]]:
    """
    (rotation, origin) of the hand frame: (3, 3) whose columns are the hand's axes and (3,) the wrist, or (N, 3, 3) and (N, 3) for N frames.
    """

def mirror(points: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], axis: str = 'y') -> Annotated[NDArray[numpy.float64], dict(order='C')]:
    """
    Points (..., 3) reflected across the plane normal to axis ('x', 'y' or 'z').
    """

def keypoint_layouts() -> list[str]:
    """
    Names of the keypoint layouts trackers report: mediapipe, openxr, webxr, visionpro, mano.
    """

class KeypointLayout:
    """
    The joints a tracker reports, in its order, and where the 21 hand landmarks are among them.
    """

    def __init__(self, name: str) -> None:
        """By name; ValueError names the closest layout and every valid one."""

    @property
    def name(self) -> str: ...

    @property
    def joint_names(self) -> list[str]:
        """The tracker's joints, in the order it sends them."""

    @property
    def joint_count(self) -> int: ...

    @property
    def landmark_joint(self) -> list[int]:
        """
        Landmark i (0 wrist ... 20 little fingertip) is the tracker's joint landmark_joint[i].
        """

    @property
    def has_wrist_orientation(self) -> bool:
        """Whether the hand frame can come from the tracker's wrist pose."""

    def __repr__(self) -> str: ...

class KeypointConverter:
    """
    Tracker frames of one layout -> the 21 hand landmarks, optionally in the hand frame.
    """

    def __init__(self, layout: str, *, poses: bool = False, hand_frame: str = 'keypoints', side: str = 'right') -> None:
        """
        poses: frames hold 4 x 4 joint poses (16 values, row-major) instead of positions. hand_frame: 'keypoints' (from the palm landmarks), 'tracker' (the wrist pose's orientation; needs poses) or 'none'. side 'left' mirrors a left hand onto a right hand.
        """

    @property
    def layout(self) -> str: ...

    @property
    def joint_count(self) -> int: ...

    @property
    def poses(self) -> bool: ...

    @property
    def hand_frame(self) -> str: ...

    @property
    def side(self) -> str: ...

    def convert(self, frames: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)]) -> Annotated[NDArray[numpy.float64], dict(order='C')]:
        """
        One frame -> (21, 3), or a sequence (N, joints, ...) -> (N, 21, 3). ValueError names the first frame and joint that give no landmarks (not finite, not a pose, ...).
        """

    def convert_into(self, frame: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], out: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu')]) -> tuple[str, str] | None:
        """
        One frame into out (21, 3), for live streams: None when done, otherwise (kind, message) with kind 'lost' (no hand: values not finite, palm collapsed) or 'malformed'.
        """

def resolve_package_uri(uri: str) -> pathlib.Path:
    """
    The file a "package://NAME/PATH" reference names, its package found through ROS_PACKAGE_PATH, then AMENT_PREFIX_PATH. ValueError names the package and where it was looked for.
    """

class Mimic:
    """A joint that follows another: q = multiplier * q_joint + offset."""

    @property
    def joint(self) -> str:
        """The joint followed."""

    @property
    def multiplier(self) -> float: ...

    @property
    def offset(self) -> float: ...

class Joint:
    """A joint of the robot description, as the solver reads it."""

    @property
    def name(self) -> str: ...

    @property
    def type(self) -> str:
        """As written in the file."""

    @property
    def parent(self) -> str:
        """Parent link."""

    @property
    def child(self) -> str:
        """Child link."""

    @property
    def origin(self) -> Annotated[NDArray[numpy.float64], dict(order='C')]:
        """Parent link frame -> joint frame, (4, 4)."""

    @property
    def axis(self) -> Annotated[NDArray[numpy.float64], dict(order='C')]:
        """As written (not normalised), (3,)."""

    @property
    def limit(self) -> tuple[float, float] | None:
        """(lower, upper) of its <limit> element, or None without one."""

    @property
    def mimic(self) -> Mimic | None:
        """The joint it follows, or None."""

class RobotModel:
    """
    A robot description as the solver reads it: links, joints, the order of the degrees of freedom, limits and kinematics. Immutable; threads may share it.
    """

    @staticmethod
    def from_file(path: str | os.PathLike) -> RobotModel:
        """Reads a URDF file."""

    @staticmethod
    def from_string(text: str) -> RobotModel:
        """Parses URDF text."""

    @property
    def name(self) -> str: ...

    @property
    def root_link(self) -> str:
        """The first link that is no joint's child."""

    @property
    def link_names(self) -> list[str]:
        """Every link in file order: the order of forward_kinematics' output."""

    @property
    def joints(self) -> list[Joint]:
        """Every joint in file order."""

    @property
    def dof(self) -> int:
        """Length of every joint vector."""

    @property
    def dof_joint_names(self) -> list[str]:
        """The movable joints in the order of every joint vector."""

    @property
    def joint_limits(self) -> Annotated[NDArray[numpy.float64], dict(order='C')]:
        """
        (dof, 2): (lower, upper) per DOF joint as the solver bounds it; (-10000, 10000) without a <limit> element and for mimic joints.
        """

    def joint(self, name: str) -> Joint:
        """A joint by name."""

    def children(self, link: str) -> list[str]:
        """Child links of a link, in joint order."""

    def forward_kinematics(self, qpos: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)]) -> Annotated[NDArray[numpy.float64], dict(order='C')]:
        """
        Link transforms for a joint vector (dof,) -> (links, 4, 4), or for joint vectors (N, dof) -> (N, links, 4, 4), in link_names order. Mimic joints take the values given.
        """

    def link_positions(self, qpos: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], link_names: Sequence[str]) -> Annotated[NDArray[numpy.float64], dict(order='C')]:
        """Positions of the named links: (dof,) -> (L, 3), (N, dof) -> (N, L, 3)."""

    def link_jacobians(self, qpos: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], link_names: Sequence[str]) -> Annotated[NDArray[numpy.float64], dict(order='C')]:
        """
        Position Jacobians d(link origin)/d(qpos) of the named links: (dof,) -> (L, 3, dof), (N, dof) -> (N, L, 3, dof).
        """

    def visuals(self, link: str) -> list[Geometry]:
        """The link's visual shapes, in file order."""

    def collisions(self, link: str) -> list[Geometry]:
        """The link's collision shapes, in file order."""

    def follow_mimic(self, qpos: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)]) -> Annotated[NDArray[numpy.float64], dict(order='C')]:
        """
        The joint vector (dof,) with every mimic joint set from its source (a mimic of a mimic after its source).
        """

class Geometry:
    """One <visual> or <collision> shape of a link, as the file gives it."""

    @property
    def kind(self) -> str:
        """"box", "cylinder", "sphere", "capsule" or "mesh"."""

    @property
    def name(self) -> str:
        """Its name attribute, "" when absent."""

    @property
    def origin(self) -> Annotated[NDArray[numpy.float64], dict(order='C')]:
        """Link frame -> shape frame, (4, 4)."""

    @property
    def size(self) -> Annotated[NDArray[numpy.float64], dict(order='C')] | None:
        """A box's full edge lengths (3,); None for other shapes."""

    @property
    def radius(self) -> float | None:
        """Radius of a cylinder, sphere or capsule; None otherwise."""

    @property
    def length(self) -> float | None:
        """
        Length along z of a cylinder or a capsule's straight part; None otherwise.
        """

    @property
    def filename(self) -> str | None:
        """A mesh's file reference as written; None for primitives."""

    @property
    def scale(self) -> Annotated[NDArray[numpy.float64], dict(order='C')] | None:
        """A mesh's scale (3,); None for primitives."""

    @property
    def rgba(self) -> list[float] | None:
        """
        A visual's colour (inline or from its named material); None when it has none and for collision shapes.
        """

class SolveReport:
    """How the solver ended one frame."""

    @property
    def solver(self) -> str:
        """"slsqp" or "lm"."""

    @property
    def status(self) -> int:
        """
        The solver's own code (SLSQP: NLopt's result code; 0: nothing was solved).
        """

    @property
    def stop_reason(self) -> str:
        """Why the solver stopped, in words."""

    @property
    def iterations(self) -> int:
        """Solver iterations (SLSQP reports evaluations only: the same number)."""

    @property
    def evaluations(self) -> int:
        """Objective evaluations."""

    @property
    def objective(self) -> float:
        """The final objective value."""

    def __repr__(self) -> str: ...

def dexpilot_vectors(finger_count: int) -> list[tuple[int, int]]:
    """
    (task, origin) of each DexPilot vector, in the order the optimiser reads its rows, over link numbers 0 = the wrist and 1..n = the fingertips: every fingertip pair (from tip j to tip i, i < j), then the wrist to each fingertip.
    """

def fingertip_landmarks(link_names: Sequence[str]) -> list[int]:
    """
    The human fingertip landmark (4, 8, 12, 16, 20) each robot fingertip link stands for, from the finger word in its name (thumb/th, index/ff/first/fore, middle/mf, ring/rf, little/pinky/lf); in list order (thumb first) when the names do not decide.
    """

class Retargeter:
    """
    Retargets reference rows onto one robot hand, frame after frame (one sequence). Safe to share between threads: calls on one object are serialised, calls on distinct objects run in parallel.
    """

    def __init__(self, type: str, urdf_path: str, *, urdf_dir: str = '.', add_dummy_free_joint: bool = False, target_link_human_indices: Sequence[int] | None = None, wrist_link_name: str | None = None, target_link_names: Sequence[str] | None = None, target_joint_names: Sequence[str] | None = None, target_origin_link_names: Sequence[str] | None = None, target_task_link_names: Sequence[str] | None = None, finger_tip_link_names: Sequence[str] | None = None, scaling_factor: float = 1.0, normal_delta: float = 0.004, huber_delta: float = 0.02, project_dist: float = 0.03, escape_dist: float = 0.05, has_joint_limits: bool = True, ignore_mimic_joint: bool = False, low_pass_alpha: float = 0.1, solver: str = 'slsqp') -> None:
        """
        From the fields of a retargeting configuration (the keys of its YAML section). A relative urdf_path is searched as the configuration file's would be, from urdf_dir. The configuration is checked first: a value out of range, a missing or misspelt link or joint name (with the closest one and the robot's names) raises ConfigError.
        """

    @property
    def type(self) -> str:
        """"position", "vector" or "dexpilot"."""

    @property
    def joint_names(self) -> list[str]:
        """The DOF joint names: the order of every joint vector."""

    @property
    def dof(self) -> int:
        """Length of every joint vector."""

    @property
    def fixed_dof(self) -> int:
        """
        Number of joints neither optimised nor following a mimic source; fixed_qpos holds their values in DOF order.
        """

    @property
    def row_count(self) -> int:
        """
        Reference rows (x, y, z) per frame: one per target link or target vector.
        """

    def retarget(self, rows: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], fixed_qpos: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)] | None = None) -> Annotated[NDArray[numpy.float64], dict(order='C')]:
        """
        One frame (row_count, 3) -> joint vector (dof,), continuing the sequence. fixed_qpos: None (all 0) or (fixed_dof,).
        """

    def retarget_sequence(self, rows: Annotated[numpy.typing.NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], fixed_qpos: Annotated[numpy.typing.NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)] | None = None, out: numpy.typing.NDArray[numpy.float64] | None = None) -> numpy.typing.NDArray[numpy.float64]:
        """
        N frames (N, row_count, 3) -> joint vectors (N, dof), solved one after the other without the interpreter lock, continuing the sequence. fixed_qpos: None, (fixed_dof,) for every frame or (N, fixed_dof). out: an (N, dof) float64 array to write into instead of a new one; it is returned.
        """

    def retarget_sequence_reported(self, rows: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], fixed_qpos: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)] | None = None) -> tuple[Annotated[NDArray[numpy.float64], dict(order='C')], list[SolveReport]]:
        """retarget_sequence, also returning how the solver ended each frame."""

    def last_report(self) -> SolveReport:
        """How the solver ended the most recently solved frame."""

    @property
    def solver(self) -> str:
        """The solver every frame uses: "slsqp" or "lm"."""

    def reference(self, keypoints: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)]) -> Annotated[NDArray[numpy.float64], dict(order='C')]:
        """
        Hand keypoints (21, 3) -> the rows one frame reads (row_count, 3); (N, 21, 3) -> (N, row_count, 3).
        """

    def errors(self, rows: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], qpos: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)]) -> Annotated[NDArray[numpy.float64], dict(order='C')]:
        """
        Error of each target in metres for solved frames: rows (row_count, 3) with qpos (dof,) -> (row_count,), or (N, row_count, 3) with (N, dof) -> (N, row_count). position: distance of the target link to its keypoint; vectors: length of the robot vector minus scaling_factor times the human vector.
        """

    @property
    def target_labels(self) -> list[str]:
        """One label per row: the link (position) or "origin->task" (vectors)."""

    @property
    def target_links(self) -> list[str]:
        """The robot links the targets read, each once, origins first."""

    @property
    def target_rows(self) -> list[tuple[str | None, str, int | None, int]]:
        """
        Per row: (origin link, task link, origin landmark, task landmark); the origins are None for position targets.
        """

    @property
    def scaling_factor(self) -> float:
        """Vector targets are the human vectors times this factor."""

    def link_positions(self, qpos: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], link_names: Sequence[str]) -> Annotated[NDArray[numpy.float64], dict(order='C')]:
        """
        Positions of the named links for joint vectors (dof,) -> (L, 3) or (N, dof) -> (N, L, 3), mimic joints following their sources as in a solved frame. The sequence is not touched.
        """

    @property
    def model(self) -> RobotModel:
        """The robot model the retargeter solves for (shared, immutable)."""

    @property
    def urdf_file(self) -> pathlib.Path:
        """The robot description file the configuration's urdf_path resolved to."""

    def restart(self) -> None:
        """
        Starts a new sequence in every respect: warm start, low-pass filter and DexPilot's pinch state as after construction.
        """

class MeshPathChange:
    """What became of one mesh reference when a document moved."""

    @property
    def written(self) -> str:
        """The reference as the source had it."""

    @property
    def rewritten(self) -> str:
        """The reference the document now holds (the same when kept)."""

    @property
    def found(self) -> bool:
        """Whether the referenced file exists."""

class UrdfDocument:
    """
    A URDF document that keeps every element it holds while a few are added or changed.
    """

    @staticmethod
    def from_file(path: str | os.PathLike) -> UrdfDocument:
        """Reads a URDF file (the errors of RobotModel.from_file)."""

    @staticmethod
    def from_string(text: str) -> UrdfDocument:
        """Parses URDF text."""

    @property
    def root_link(self) -> str:
        """The first link that is no joint's child."""

    def add_root(self, link: str, joint: str, old_root_pose: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)]) -> None:
        """
        A new root link above the current root, holding it by a fixed joint; old_root_pose (4, 4) is the old root's frame in the new link's frame. ValueError when a name is taken.
        """

    def add_fixed_link(self, parent: str, link: str, joint: str, position: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)]) -> None:
        """
        A link fixed to parent at position (3,) in the parent's frame, axes parallel.
        """

    def rewrite_mesh_paths(self, source_dir: str | os.PathLike, target_dir: str | os.PathLike) -> list[MeshPathChange]:
        """
        Makes every mesh reference of a document read from source_dir resolve from target_dir: relative paths to existing files are rewritten; package:// (found through ROS_PACKAGE_PATH / AMENT_PREFIX_PATH), absolute ones and missing files are kept. One MeshPathChange per mesh element, in file order.
        """

    def to_string(self) -> str:
        """The document as indented XML text."""

def resolve_mesh(reference: str, urdf_dir: str | os.PathLike) -> pathlib.Path:
    """
    The existing file a URDF mesh reference names, seen from a URDF file in urdf_dir (package:// through ROS_PACKAGE_PATH and AMENT_PREFIX_PATH); ValueError when there is none.
    """

def read_frame_json(data: bytes) -> tuple[int, float, numpy.typing.NDArray[numpy.float64] | None] | None:
    """
    One JSON message of a tracker: (seq, t, values) for a frame, values (joints, 3) or (joints, 16) float64 or None without a hand; None for the joint names request. ValueError says why a message is neither.
    """

def command_json_head(seq: int, t: float, t_recv: float, t_solve: float, qpos: Annotated[NDArray[numpy.float64], dict(order='C', device='cpu', writable=False)], error: float, status: str) -> bytes:
    """
    A JSON command up to its status, without the closing brace (numbers as Python's json module writes them, a NaN error as null).
    """
