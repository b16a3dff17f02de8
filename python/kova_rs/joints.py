"""Joint vectors travel with their joint names; this moves them into another name order."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt


def reorder_joints(qpos: npt.ArrayLike, from_names: Sequence[str], to_names: Sequence[str], *,
                   fill: float | None = None) -> npt.NDArray[np.float64]:
    """Reorder a joint vector (dof,) or trajectory (N, dof) from ``from_names`` to ``to_names``.

    Column ``j`` of the result is the column of ``qpos`` named ``to_names[j]``. A name of
    ``to_names`` that ``from_names`` lacks is an error unless ``fill`` is given, in which case
    that column is filled with ``fill``. Names of ``from_names`` not wanted are dropped.
    """
    from_names, to_names = [str(n) for n in from_names], [str(n) for n in to_names]
    q = np.asarray(qpos, dtype=np.float64)
    if q.ndim not in (1, 2):
        raise ValueError(f"qpos must be (dof,) or (N, dof), got shape {tuple(q.shape)}")
    if q.shape[-1] != len(from_names):
        raise ValueError(
            f"qpos has {q.shape[-1]} joints but {len(from_names)} source names were given"
        )
    position: dict[str, int] = {}
    for i, name in enumerate(from_names):
        if name in position:
            raise ValueError(f"joint name {name!r} appears twice in the source names")
        position[name] = i
    missing = [n for n in to_names if n not in position]
    if missing and fill is None:
        raise ValueError(
            "unknown joint name(s) " + ", ".join(repr(n) for n in missing)
            + "; known: " + ", ".join(from_names)
        )
    out = np.full(q.shape[:-1] + (len(to_names),), np.nan if fill is None else fill)
    for j, name in enumerate(to_names):
        if name in position:
            out[..., j] = q[..., position[name]]
    return out
