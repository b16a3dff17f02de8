"""The robot's shape, link by link, as triangle meshes in each link's frame: the visual geometry
of its URDF file (meshes read by trimesh when their files are found, ``package://`` references
resolved through ROS_PACKAGE_PATH; boxes, cylinders, spheres and capsules as given), and capsules
along the links for a link without any.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from kova_rs import _core

FloatArray = npt.NDArray[np.float64]
#: the colour of a link whose file gives none
ROBOT_COLOUR = (150, 165, 195)
#: a mesh file larger than this is not read (a hand's meshes are a few megabytes at most)
MAX_MESH_BYTES = 64 * 1024**2


@dataclass(frozen=True)
class LinkMesh:
    """One piece of a link's shape: a triangle mesh in the link's frame."""

    vertices: npt.NDArray[np.float32]  #: (V, 3), metres, in the link frame
    faces: npt.NDArray[np.uint32]  #: (F, 3)
    colour: tuple[int, int, int] = ROBOT_COLOUR
    opacity: float = 1.0
    what: str = ""  #: "box", "mesh palm.stl", "capsule", ...


@dataclass
class RobotShape:
    """Every link's meshes, and what could not be drawn as the file says."""

    meshes: dict[str, list[LinkMesh]]
    #: one line per visual drawn otherwise (a mesh file not found or not readable)
    problems: list[str] = field(default_factory=list)


def _trimesh() -> Any:
    import trimesh

    return trimesh


def _placed(mesh: Any, origin: FloatArray, colour: tuple[int, int, int], opacity: float,
            what: str) -> LinkMesh:
    mesh = mesh.copy()
    mesh.apply_transform(origin)
    return LinkMesh(np.asarray(mesh.vertices, dtype=np.float32),
                    np.asarray(mesh.faces, dtype=np.uint32), colour, opacity, what)


def capsule_between(start: FloatArray, end: FloatArray, radius: float,
                    colour: tuple[int, int, int] = ROBOT_COLOUR) -> LinkMesh | None:
    """A capsule from ``start`` to ``end`` (link frame); None when they are one point."""
    trimesh = _trimesh()
    axis = np.asarray(end, dtype=np.float64) - np.asarray(start, dtype=np.float64)
    length = float(np.linalg.norm(axis))
    if length < 1e-6:
        return None
    mesh = trimesh.creation.capsule(height=length, radius=radius, count=[10, 10])
    mesh.apply_translation([0.0, 0.0, length / 2])  # trimesh centres it on the origin
    rotation = trimesh.geometry.align_vectors([0.0, 0.0, 1.0], axis / length)
    rotation[:3, 3] = start
    return _placed(mesh, rotation, colour, 1.0, "capsule")


def link_capsules(model: _core.RobotModel, radius: float | None = None
                  ) -> dict[str, list[LinkMesh]]:
    """Capsules from each link's origin to the origin of each child joint, and a ball at each
    leaf: the shape of a robot file without geometry."""
    trimesh = _trimesh()
    offsets: dict[str, list[FloatArray]] = {}
    for joint in model.joints:
        offsets.setdefault(joint.parent, []).append(np.asarray(joint.origin)[:3, 3])
    lengths = [float(np.linalg.norm(o)) for os_ in offsets.values() for o in os_]
    lengths = [x for x in lengths if x > 1e-6]
    if radius is None:  # an eighth of a typical bone, within what suits a hand
        radius = float(np.clip(0.12 * np.median(lengths), 0.003, 0.008)) if lengths else 0.005
    out: dict[str, list[LinkMesh]] = {}
    for link in model.link_names:
        pieces = [c for c in (capsule_between(np.zeros(3), o, radius)
                              for o in offsets.get(link, [])) if c is not None]
        if not pieces:
            ball = trimesh.creation.icosphere(subdivisions=2, radius=radius * 1.1)
            pieces = [_placed(ball, np.eye(4), ROBOT_COLOUR, 1.0, "ball")]
        out[link] = pieces
    return out


def resolve_mesh_file(filename: str, urdf_dir: Path) -> Path:
    """The file a URDF mesh reference names: ``package://NAME/PATH`` through the ROS package
    search, ``file://PATH``, or a path relative to the URDF file's folder. ValueError when it
    is not there."""
    if filename.startswith("package://"):
        return Path(_core.resolve_package_uri(filename))
    path = Path(filename[len("file://"):] if filename.startswith("file://") else filename)
    path = path if path.is_absolute() else urdf_dir / path
    if not path.is_file():
        raise ValueError(f"{filename}: no such file ({path})")
    return path


def load_mesh(path: Path, scale: Sequence[float]) -> Any:
    """A mesh file read by trimesh, scaled; ValueError when it cannot be read."""
    trimesh = _trimesh()
    try:
        size = os.stat(path).st_size
    except OSError as err:
        raise ValueError(f"{path}: cannot be read ({err.strerror or err})") from None
    if size > MAX_MESH_BYTES:
        raise ValueError(f"{path}: {size} bytes, more than a robot mesh has "
                         f"(at most {MAX_MESH_BYTES})")
    try:
        mesh = trimesh.load(str(path), force="mesh")
    except Exception as err:  # trimesh raises whatever its readers raise
        raise ValueError(f"{path}: not a mesh trimesh can read ({err})") from None
    if not len(getattr(mesh, "faces", ())):
        raise ValueError(f"{path}: holds no triangles")
    mesh.apply_scale(np.asarray(scale, dtype=np.float64))
    return mesh


def _primitive(visual: Any) -> Any:
    trimesh = _trimesh()
    kind = visual.kind
    if kind == "box":
        return trimesh.creation.box(extents=np.asarray(visual.size, dtype=np.float64))
    if kind == "cylinder":
        return trimesh.creation.cylinder(radius=visual.radius, height=visual.length, sections=24)
    if kind == "sphere":
        return trimesh.creation.icosphere(subdivisions=2, radius=visual.radius)
    if kind == "capsule":  # centred on the origin, along z, as trimesh makes it
        return trimesh.creation.capsule(height=visual.length, radius=visual.radius,
                                        count=[12, 12])
    return None


def robot_shape(model: _core.RobotModel, urdf_file: Path,
                visuals: Callable[[str], Sequence[Any]] | None = None) -> RobotShape:
    """The meshes of every link of ``model`` (read from ``urdf_file``'s folder).

    ``visuals(link)`` lists a link's visual elements (default: the model's own). A robot
    without any gets capsules along its links; a link whose visuals cannot be drawn (a mesh
    file missing) gets capsules instead, and the problem is listed.
    """
    lookup = visuals if visuals is not None else getattr(model, "visuals", None)
    listed = {link: list(lookup(link)) if lookup is not None else [] for link in model.link_names}
    # A robot drawn by its file leaves links without visuals (frames, tips) invisible.
    drawn_by_file = any(listed.values())
    capsules = link_capsules(model)
    shape = RobotShape({})
    for link in model.link_names:
        pieces: list[LinkMesh] = []
        for visual in listed[link]:
            colour = _colour(visual)
            origin = np.asarray(visual.origin, dtype=np.float64)
            opacity = float(visual.rgba[3]) if visual.rgba is not None else 1.0
            if visual.kind == "mesh":
                try:
                    mesh = load_mesh(resolve_mesh_file(visual.filename, urdf_file.parent),
                                     visual.scale)
                except ValueError as err:
                    shape.problems.append(f"{link}: {err}")
                    continue
                pieces.append(_placed(mesh, origin, colour, opacity,
                                      f"mesh {Path(visual.filename).name}"))
                continue
            mesh = _primitive(visual)
            if mesh is not None:
                pieces.append(_placed(mesh, origin, colour, opacity, visual.kind))
        if pieces or (drawn_by_file and not listed[link]):
            shape.meshes[link] = pieces
        else:
            shape.meshes[link] = capsules[link]
    return shape


def _colour(visual: Any) -> tuple[int, int, int]:
    if visual.rgba is None:
        return ROBOT_COLOUR
    r, g, b = (int(round(255 * float(np.clip(c, 0.0, 1.0)))) for c in visual.rgba[:3])
    return (r, g, b)
