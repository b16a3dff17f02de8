"""Finding the hand in a robot description: its fingers, thumb, fingertips, side and hand frame.

Link and joint names often say nothing ("fingertip_2", "q", "j1_wrist"), so the detection works
from the kinematic tree and the geometry; names only break near ties:

- the palm is the first rigid body (links joined by fixed joints) below the root from which two
  or more moving joints leave; moving joints above it (a wrist) belong to no finger;
- a finger is a chain from the palm to a leaf; where it branches the longest branch is kept;
- the thumb is the finger whose base lies farthest off the line of the other bases;
- the palm normal is the direction the other fingertips move when their joints go from the open
  end of their range (nearer zero) to the closed end; x runs along those fingers, y across them;
- the other fingers are ordered across the palm from the thumb: index, middle, ring, little;
- the side follows from where the thumb lies (right hand: thumb at -y with z = palm normal);
- the wrist (hand frame origin) lies behind the middle knuckle along -x.

Frame convention (kova_rs.hand_frame): x from the wrist towards the middle knuckle, y towards the
little finger, z = x cross y. For a right hand z points out of the palm (the side the fingers curl
to); for a left hand the same formula makes z point out of the back of the hand, which is what
left-hand keypoints give when expressed by the same formula (without mirroring).
"""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import numpy.typing as npt

from kova_rs import _core

FloatArray = npt.NDArray[np.float64]
FINGERS = ("thumb", "index", "middle", "ring", "little")
MOVING = ("revolute", "continuous", "prismatic")
# Human proportion of the wrist-to-middle-knuckle distance over the middle finger's length
# (knuckle to tip), used when the file has no wrist point.
PALM_OVER_FINGER = 0.95
# A margin below this fraction of the hand's size makes a decision a guess worth a warning.
SMALL_MARGIN = 0.25
# How far towards the closed end of their ranges the fingers are moved to find the curl.
CURL_FRACTION = 0.2
# A fixed link closer than this to its parent's origin is no fingertip (metres).
TIP_LINK_MIN = 0.003


class NotAHandError(ValueError):
    """The robot has fewer than two moving fingers."""


@dataclass
class Finger:
    name: str
    links: list[str]          # from the first moving joint's child to the tip link
    joints: list[str]         # moving joints, palm outwards
    tip_parent: str           # link the fingertip is fixed to
    tip_offset: FloatArray    # fingertip in tip_parent's frame
    tip_link: str | None      # an existing link at the tip, when the file has one
    tip_from: str             # "link", "geometry", "mesh" or "estimated"
    base: FloatArray = field(default_factory=lambda: np.zeros(3))  # first joint, root frame
    knuckle: FloatArray = field(default_factory=lambda: np.zeros(3))  # where the last three
    # phalanges start (joints at one place counted once), root frame
    tip: FloatArray = field(default_factory=lambda: np.zeros(3))   # fingertip, root frame


@dataclass
class Hand:
    side: str
    fingers: list[Finger]
    hand_frame: FloatArray        # (4, 4) pose of the hand frame in the root frame
    palm_link: str
    wrist_joints: list[str]       # moving joints above the palm
    wrist_from: str               # how the origin was found
    warnings: list[str]

    def finger(self, name: str) -> Finger | None:
        return next((f for f in self.fingers if f.name == name), None)


class _Tree:
    def __init__(self, model: _core.RobotModel) -> None:
        self.model = model
        self.joints = {j.child: j for j in model.joints}  # child link -> joint
        self.children: dict[str, list[_core.Joint]] = {name: [] for name in model.link_names}
        for j in model.joints:
            self.children[j.parent].append(j)
        self.index = {name: i for i, name in enumerate(model.link_names)}

    def body(self, link: str) -> list[str]:
        """Links held rigidly with `link` below it (through fixed joints)."""
        out, todo = [], [link]
        while todo:
            here = todo.pop()
            out.append(here)
            todo += [j.child for j in self.children[here] if j.type not in MOVING]
        return out

    def moving_out(self, body: Iterable[str]) -> list[_core.Joint]:
        return [j for b in body for j in self.children[b] if j.type in MOVING]

    def leaves(self, link: str) -> list[str]:
        out, todo = [], [link]
        while todo:
            here = todo.pop()
            kids = self.children[here]
            if not kids:
                out.append(here)
            todo += [j.child for j in kids]
        return out

    def path(self, top: str, leaf: str) -> list[_core.Joint]:
        """Joints from `top` (exclusive) down to `leaf`."""
        out = []
        link = leaf
        while link != top:
            joint = self.joints[link]
            out.append(joint)
            link = joint.parent
        return out[::-1]


def _open_closed(model: _core.RobotModel) -> tuple[FloatArray, FloatArray]:
    """Joint vectors of the open and the closed hand.

    Open is zero (straight) clipped into the range; closing goes towards the end farther from
    zero; a range almost symmetric about zero (a spread joint) stays open in both.
    """
    limits = model.joint_limits
    lower, upper = limits[:, 0], limits[:, 1]
    lower = np.where(np.isfinite(lower), lower, -np.pi / 2)
    upper = np.where(np.isfinite(upper), upper, np.pi / 2)
    flexes = np.abs(lower + upper) > 0.2 * (upper - lower)
    far = np.where(np.abs(lower) < np.abs(upper), upper, lower)
    middle = np.clip(0.0, lower, upper)
    open_q = middle  # straight where the range allows it
    # A fifth of the way to the closed end: fingertips still move across the finger there,
    # where a fully closed finger (curled past a half turn) would have moved mostly back.
    closed_q = open_q + CURL_FRACTION * (np.where(flexes, far, middle) - open_q)
    return model.follow_mimic(open_q), model.follow_mimic(closed_q)


def _shape_points(geometry: _core.Geometry, urdf_dir: Path) -> tuple[FloatArray, str] | None:
    """Points bounding a shape in its link frame, and "geometry" or "mesh"."""
    if geometry.kind == "mesh":
        assert geometry.filename is not None and geometry.scale is not None
        try:
            path = Path(_core.resolve_mesh(geometry.filename, urdf_dir))
            local = _mesh_vertices(path) * geometry.scale
        except (ValueError, OSError):
            return None
        kind = "mesh"
    else:
        if geometry.kind == "box":
            assert geometry.size is not None
            corners = np.array([[x, y, z] for x in (-1, 1) for y in (-1, 1) for z in (-1, 1)])
            local = corners * geometry.size / 2
        elif geometry.kind == "sphere":
            assert geometry.radius is not None
            local = np.vstack([np.eye(3), -np.eye(3)]) * geometry.radius
        else:  # cylinder or capsule along z
            assert geometry.radius is not None and geometry.length is not None
            angles = np.linspace(0, 2 * np.pi, 16, endpoint=False)
            ring = np.stack([np.cos(angles), np.sin(angles), np.zeros_like(angles)], 1)
            ends = [-geometry.length / 2, geometry.length / 2]
            local = np.vstack([ring * geometry.radius + [0, 0, e] for e in ends])
            if geometry.kind == "capsule":
                local = np.vstack([local, [[0, 0, -geometry.length / 2 - geometry.radius],
                                           [0, 0, geometry.length / 2 + geometry.radius]]])
        kind = "geometry"
    origin = geometry.origin
    return local @ origin[:3, :3].T + origin[:3, 3], kind


def _mesh_vertices(path: Path) -> FloatArray:
    """Vertices of an STL (binary or text) or OBJ file; ValueError for other formats."""
    data = path.read_bytes()
    suffix = path.suffix.lower()
    if suffix == ".obj":
        rows = [line.split()[1:4] for line in data.decode("utf-8", "replace").splitlines()
                if line.startswith("v ")]
        return np.array(rows, dtype=np.float64).reshape(-1, 3)
    if suffix == ".stl":
        if data[:5] == b"solid" and b"vertex" in data[:2048]:
            rows = [line.split()[1:4] for line in data.decode("ascii", "replace").splitlines()
                    if line.strip().startswith("vertex")]
            return np.array(rows, dtype=np.float64).reshape(-1, 3)
        count = int(np.frombuffer(data[80:84], dtype="<u4")[0])
        if len(data) < 84 + 50 * count:
            raise ValueError(f"{path}: truncated STL")
        records = np.frombuffer(data[84:84 + 50 * count], dtype=np.dtype(
            [("normal", "<f4", 3), ("v", "<f4", (3, 3)), ("attr", "<u2")]))
        return records["v"].reshape(-1, 3).astype(np.float64)
    raise ValueError(f"{path}: mesh format {suffix} not read")


def _fingertip(tree: _Tree, chain: list[_core.Joint], poses: FloatArray, urdf_dir: Path
               ) -> tuple[str, FloatArray, str | None, str]:
    """(parent link, offset in its frame, existing tip link or None, how it was found)."""
    model = tree.model
    moving = [j for j in chain if j.type in MOVING]
    last_moving = moving[-1]
    start = poses[tree.index[moving[0].child], :3, 3]
    # A fixed link past the last moving joint, away from it, is the file's own fingertip.
    after = chain[chain.index(last_moving) + 1:]
    if after:
        leaf = after[-1].child
        leaf_at = poses[tree.index[leaf], :3, 3]
        parent_at = poses[tree.index[last_moving.child], :3, 3]
        if np.linalg.norm(leaf_at - parent_at) > TIP_LINK_MIN:
            return leaf, np.zeros(3), leaf, "link"
    links = [last_moving.child] + [j.child for j in after]
    last_at = poses[tree.index[last_moving.child], :3, 3]
    direction = last_at - start
    if np.linalg.norm(direction) < 1e-9:
        direction = last_at - poses[tree.index[chain[0].parent], :3, 3]
    direction = direction / max(float(np.linalg.norm(direction)), 1e-12)
    best: tuple[float, str, FloatArray, str] | None = None
    for link in links:
        pose = poses[tree.index[link]]
        for getter in (model.collisions, model.visuals):
            for shape in getter(link):
                found = _shape_points(shape, urdf_dir)
                if found is None:
                    continue
                local, kind = found
                world = local @ pose[:3, :3].T + pose[:3, 3]
                reach = (world - start) @ direction
                k = int(np.argmax(reach))
                if best is None or reach[k] > best[0]:
                    # the farthest point, brought onto the finger's axis through its last joint
                    point = last_at + ((world[k] - last_at) @ direction) * direction
                    best = (float(reach[k]), link, point, kind)
        if best is not None:
            break
    parent = last_moving.child
    parent_pose = poses[tree.index[parent]]
    if best is not None and best[0] > (last_at - start) @ direction + TIP_LINK_MIN:
        offset = parent_pose[:3, :3].T @ (best[2] - parent_pose[:3, 3])
        return parent, offset, None, best[3]
    # The last phalanx as long as the one before it.
    positions = [poses[tree.index[j.child], :3, 3] for j in moving]
    length = np.linalg.norm(positions[-1] - positions[-2]) if len(positions) > 1 else 0.02
    length = max(length, 0.01)
    offset = parent_pose[:3, :3].T @ (direction * length)
    return parent, offset, None, "estimated"


def _find_palm(tree: _Tree) -> tuple[list[str], list[str]]:
    """The palm's rigid body and the moving joints above it."""
    body = tree.body(tree.model.root_link)
    above: list[str] = []
    while True:
        out = tree.moving_out(body)
        # A joint whose subtree holds no further moving joint and no length is no finger; the
        # palm is where two chains leave.
        if len(out) >= 2 or not out:
            return body, above
        above.append(out[0].name)
        body = tree.body(out[0].child)


def _chains(tree: _Tree, palm: list[str], poses: FloatArray) -> list[list[_core.Joint]]:
    """One joint path per finger: a chain that branches into several moving branches (ring and
    little finger on one spread joint) gives one finger per branch."""
    # Whether a moving joint lies below each link: children before parents, no recursion (a
    # file may hold a chain of any length).
    order, todo = [], [tree.model.root_link]
    while todo:
        order.append(todo.pop())
        todo += [j.child for j in tree.children[order[-1]]]
    moves: dict[str, bool] = {}
    for link in reversed(order):
        moves[link] = any(j.type in MOVING or moves[j.child] for j in tree.children[link])

    def finger_leaves(top: str, start: FloatArray) -> list[str]:
        leaves, todo = [], [top]
        while todo:
            link = todo.pop()
            branches = [j.child for j in tree.children[link] if j.type in MOVING or moves[j.child]]
            if branches:
                todo += branches
                continue
            # the end of a finger: its farthest leaf (a tip link, a sensor)
            leaves.append(max(tree.leaves(link), key=lambda leaf: float(
                np.linalg.norm(poses[tree.index[leaf], :3, 3] - start))))
        return leaves[::-1]

    chains = []
    for first in tree.moving_out(palm):
        start = poses[tree.index[first.child], :3, 3]
        chains += [tree.path(first.parent, leaf) for leaf in finger_leaves(first.child, start)]
    return chains


def _unit(v: FloatArray) -> FloatArray:
    n = float(np.linalg.norm(v))
    return v / n if n > 1e-12 else v


def detect_hand(model: _core.RobotModel, urdf_dir: Path, side: str | None = None) -> Hand:
    """The hand of `model` (a URDF read from `urdf_dir`); NotAHandError for fewer than two
    moving fingers. `side` forces "right" or "left" (a disagreement becomes a warning)."""
    tree = _Tree(model)
    warnings: list[str] = []
    open_q, closed_q = _open_closed(model)
    poses = model.forward_kinematics(open_q)
    closed = model.forward_kinematics(closed_q)
    palm, above = _find_palm(tree)
    chains = _chains(tree, palm, poses)
    if len(chains) < 2:
        # a single chain of moving joints was walked down as if it were an arm
        count = len(chains) or (1 if above else 0)
        raise NotAHandError(
            f"{model.name} is not a hand: {count} moving finger(s), a hand needs at least two")
    fingers = []
    for chain in chains:
        parent, offset, tip_link, tip_from = _fingertip(tree, chain, poses, urdf_dir)
        pose = poses[tree.index[parent]]
        tip = pose[:3, :3] @ offset + pose[:3, 3]
        moving = [j.name for j in chain if j.type in MOVING]
        links = [j.child for j in chain]
        links = links[:links.index(parent) + 1] if tip_link is None else links
        places: list[FloatArray] = []
        for j in chain:
            at = poses[tree.index[j.child], :3, 3]
            if j.type in MOVING and (not places or np.linalg.norm(at - places[-1]) > 0.002):
                places.append(at)
        knuckle = places[-3] if len(places) >= 3 else places[0]
        fingers.append(Finger("", links, moving, parent, offset, tip_link, tip_from,
                              base=places[0].copy(), knuckle=knuckle.copy(), tip=tip))
    if len(fingers) > 5:
        fingers.sort(key=lambda f: -float(np.linalg.norm(f.tip - f.base)))
        warnings.append(f"{len(fingers)} chains leave the palm: the 5 longest are the fingers")
        fingers = fingers[:5]
    size = max(float(np.linalg.norm(f.tip - f.base)) for f in fingers)

    thumb = _pick_thumb(fingers, size, warnings)
    others = [f for f in fingers if f is not thumb]
    # Curl: how the other fingertips move from open to closed, less their motion along x.
    along = _unit(np.mean([_unit(f.tip - f.base) for f in others], axis=0))
    curl = np.zeros(3)
    for f in others:
        pose = closed[tree.index[f.tip_parent]]
        curl += pose[:3, :3] @ f.tip_offset + pose[:3, 3] - f.tip
    curl -= (curl @ along) * along
    if np.linalg.norm(curl) < 1e-3 * size:
        # joints with no flexing range: the normal from the thumb's side of the knuckle line
        warnings.append("the fingers do not curl over their joint ranges: the palm normal is "
                        "a guess from where the thumb lies")
        curl = np.cross(along, _unit(thumb.base - np.mean([f.base for f in others], axis=0)))
    normal = _unit(curl)
    x = _unit(along - (along @ normal) * normal)
    y_right = np.cross(normal, x)  # towards the little finger on a right hand
    centre = np.mean([f.knuckle for f in others], axis=0)
    # The thumb sits at the index end of the knuckle line: from there y runs to the little
    # finger, and it lies at -y on a right hand (z the palm normal), +y on a left one.
    if len(others) >= 2:
        rest = np.array([f.knuckle for f in others])
        line = np.linalg.svd(rest - centre)[2][0]
        line -= (line @ normal) * normal
        thumb_at = (thumb.base + thumb.knuckle + thumb.tip) / 3
        along_line = float((thumb_at - centre) @ line)
        thumb_y = along_line * float(np.sign(y_right @ line) or 1.0)
    else:
        thumb_y = float((thumb.tip - others[0].tip) @ y_right)
    found_side = "right" if thumb_y < 0 else "left"
    if abs(thumb_y) < 0.1 * size:
        named = _side_from_names(model)
        hint = f"; the names say {named}, taken" if named else "; give --side if it is wrong"
        found_side = named or found_side
        warnings.append(f"side {found_side}: the thumb lies only {abs(thumb_y) * 1000:.0f} mm "
                        f"from the middle of the knuckle line towards the index end{hint}")
    if side is not None and side != found_side:
        warnings.append(f"--side {side} given, but the thumb and the palm normal say "
                        f"{found_side}")
    side = side or found_side
    y = y_right if side == "right" else -y_right
    z = np.cross(x, y)
    # Across the palm from the thumb: index, middle, ring, little. The thumb lies at -y on
    # either side unless --side contradicts a clear finding; where it lies in the middle of the
    # knuckle line its position says nothing, and -y (the side's own convention) decides.
    clear = abs(thumb_y) >= 0.1 * size
    others.sort(key=lambda f: float(f.knuckle @ y),
                reverse=clear and thumb_y * (1 if side == "right" else -1) > 0)
    thumb.name = "thumb"
    for name, f in zip(FINGERS[1:], others, strict=False):
        f.name = name
    ordered = [thumb] + others[:4]
    knuckle = next((f.knuckle for f in others if f.name == "middle"), centre)
    wrist, wrist_from = _wrist(tree, palm, above, poses, knuckle, x, others, warnings)
    frame = np.eye(4)
    frame[:3, :3] = np.stack([x, y, z], axis=1)
    frame[:3, 3] = wrist
    for f in ordered:
        if f.tip_from == "estimated":
            warnings.append(f"{f.name} tip estimated: no tip link and no geometry beyond the "
                            f"last joint of {f.tip_parent}; it is put one phalanx further")
    return Hand(side, ordered, frame, palm[0], above, wrist_from, warnings)


def _side_from_names(model: _core.RobotModel) -> str | None:
    """"right" or "left" when the robot's and links' names all say one of them."""
    import re

    words = {"right": re.compile(r"(^|[^a-z])(right|r|rh)([^a-z]|$)"),
             "left": re.compile(r"(^|[^a-z])(left|l|lh)([^a-z]|$)")}
    names = [model.name.lower(), *(n.lower() for n in model.link_names)]
    said = {side for side, pattern in words.items() if any(pattern.search(n) for n in names)}
    return said.pop() if len(said) == 1 else None


def _pick_thumb(fingers: list[Finger], size: float, warnings: list[str]) -> Finger:
    """The finger whose base lies farthest from the line through the other bases."""
    if len(fingers) == 2:
        named = [f for f in fingers if "th" in " ".join(f.links).lower()]
        warnings.append("two fingers: which one is the thumb is a guess"
                        + (" (from its link names)" if named else ""))
        return named[0] if named else fingers[0]
    # The thumb's base lies off the line of the other knuckles, and without it those knuckles
    # lie on a line: both count.
    scores = []
    for f in fingers:
        rest = np.array([g.knuckle for g in fingers if g is not f])
        centre = rest.mean(axis=0)
        line = np.linalg.svd(rest - centre)[2][0]
        def off_line(p: FloatArray, c: FloatArray = centre, d: FloatArray = line) -> float:
            return float(np.linalg.norm((p - c) - ((p - c) @ d) * d))
        scores.append(off_line(f.base) - 2 * max(off_line(p) for p in rest))
    order = np.argsort(scores)[::-1]
    best, second = scores[order[0]], scores[order[1]]
    thumb = fingers[int(order[0])]
    if best - second < 0.1 * size:
        named = [f for f in fingers if any("thumb" in link.lower() for link in f.links)]
        if named and named[0] is not thumb and named[0] is fingers[int(order[1])]:
            thumb = named[0]
        warnings.append(f"thumb: its base is only {(best - second) * 1000:.0f} mm farther off "
                        "the line of the other knuckles than the next finger's")
    return thumb


def _wrist(tree: _Tree, palm: list[str], above: list[str], poses: FloatArray,
           knuckle: FloatArray, x: FloatArray, others: list[Finger], warnings: list[str]
           ) -> tuple[FloatArray, str]:
    middle = next((f for f in others if f.name == "middle"), others[0])
    finger_length = float(np.linalg.norm(middle.tip - middle.knuckle))
    expected = PALM_OVER_FINGER * finger_length
    candidates: list[tuple[float, FloatArray, str]] = []
    if above:
        at = poses[tree.index[palm[0]], :3, 3]
        candidates.append((0.0, at, f"the wrist joint {above[-1]}"))
    for link in palm:
        at = poses[tree.index[link], :3, 3]
        back = float((knuckle - at) @ x)
        side = np.linalg.norm((knuckle - at) - back * x)
        if 0.5 * expected < back < 1.6 * expected and side < 0.5 * expected:
            candidates.append((abs(back - expected), at, f"the origin of link {link}"))
    if candidates:
        _, at, how = min(candidates, key=lambda c: c[0])
        back = float((knuckle - at) @ x)
        if back > 0.2 * expected:
            return knuckle - back * x, how
    warnings.append(f"wrist estimated: no wrist link behind the knuckles; put "
                    f"{expected * 1000:.0f} mm behind the middle knuckle (the middle finger's "
                    "length)")
    return knuckle - expected * x, "estimated"
