"""The yardstick: the three retargeting methods written in plain Python the way a Python user
would, on pinocchio (forward kinematics, frame placements, frame Jacobians) and NLopt's Python
binding (SLSQP). Same objectives, exact gradients, solver settings and sequencing as kova.

Joint vectors here are in pinocchio's order; `PinHand.to_names` maps them by joint name.
"""

from __future__ import annotations

from typing import Sequence

import nlopt
import numpy as np
import pinocchio as pin

from hands import Hand, UrdfJoints, dexpilot_vectors, position_links, vector_links

MARGIN = 0.001


class PinHand:
    """A pinocchio model plus the optimised joints (in the given order) and the mimic joints."""

    def __init__(self, hand: Hand, joints: UrdfJoints, target_joints: Sequence[str]):
        self.model = pin.buildModelFromUrdf(str(hand.urdf_path))
        self.data = self.model.createData()
        model = self.model
        q_of, v_of = {}, {}
        for j in range(1, model.njoints):
            q_of[model.names[j]] = model.joints[j].idx_q
            v_of[model.names[j]] = model.joints[j].idx_v
        self.joint_names = [model.names[j] for j in range(1, model.njoints)]
        self.q_of = q_of
        self.target_q = np.array([q_of[n] for n in target_joints], dtype=int)
        self.target_v = np.array([v_of[n] for n in target_joints], dtype=int)
        position = {n: i for i, n in enumerate(target_joints)}
        self.mimic = [(q_of[m], q_of[s], v_of[m], position[s], mult, off)
                      for m, s, mult, off in joints.mimic]
        self.limits = np.array([joints.limits[n] for n in target_joints], dtype=float)

    def frame(self, link: str) -> int:
        return self.model.getFrameId(link, pin.BODY)

    def full_q(self, x: np.ndarray) -> np.ndarray:
        q = np.zeros(self.model.nq)
        q[self.target_q] = x
        for mq, sq, _mv, _pos, mult, off in self.mimic:
            q[mq] = q[sq] * mult + off
        return q

    def kinematics(self, x: np.ndarray, with_jacobians: bool) -> None:
        q = self.full_q(x)
        if with_jacobians:
            pin.computeJointJacobians(self.model, self.data, q)
        else:
            pin.forwardKinematics(self.model, self.data, q)
        pin.updateFramePlacements(self.model, self.data)

    def position(self, frame: int) -> np.ndarray:
        return self.data.oMf[frame].translation

    def jacobian(self, frame: int) -> np.ndarray:
        """3 x opt_dof: d(frame origin)/dx, mimic columns folded onto their sources."""
        full = pin.getFrameJacobian(self.model, self.data, frame, pin.LOCAL_WORLD_ALIGNED)[:3]
        jac = full[:, self.target_v]
        for _mq, _sq, mv, pos, mult, _off in self.mimic:
            jac[:, pos] += mult * full[:, mv]
        return jac

    def to_names(self, x: np.ndarray) -> dict[str, float]:
        q = self.full_q(x)
        return {n: float(q[self.q_of[n]]) for n in self.joint_names}


def solve(objective, x0: np.ndarray, lower: np.ndarray, upper: np.ndarray, maxeval: int,
          ftol_abs: float) -> np.ndarray:
    opt = nlopt.opt(nlopt.LD_SLSQP, len(x0))
    opt.set_exceptions_enabled(False)  # the last iterate is the answer whatever the status
    opt.set_lower_bounds(lower)
    opt.set_upper_bounds(upper)
    opt.set_min_objective(objective)
    opt.set_maxeval(maxeval)
    opt.set_ftol_abs(ftol_abs)
    opt.set_ftol_rel(0.0)
    opt.set_xtol_rel(0.0)
    return opt.optimize(x0)


class Retargeter:
    """One sequence: warm start, clamping, regulariser towards the previous solution, low-pass
    filter of the output."""

    maxeval = 500
    ftol_abs = 1e-6

    def __init__(self, hand: PinHand, normal_delta: float, low_pass_alpha: float):
        self.hand = hand
        self.normal_delta = normal_delta
        self.alpha = low_pass_alpha
        self.lower = hand.limits[:, 0] - MARGIN
        self.upper = hand.limits[:, 1] + MARGIN
        self.last = hand.limits.mean(axis=1)
        self.filtered: np.ndarray | None = None
        self.evaluations = 0

    def regulariser(self, x: np.ndarray, grad: np.ndarray, prev: np.ndarray) -> float:
        d = x - prev
        if grad.size:
            grad += 2.0 * self.normal_delta * d
        return self.normal_delta * float(d @ d)

    def retarget(self, ref: np.ndarray) -> dict[str, float]:
        prev = np.clip(self.last, self.hand.limits[:, 0], self.hand.limits[:, 1])
        x0 = np.clip(prev, self.lower, self.upper)
        objective = self.make_objective(ref, prev)

        def counted(x, grad):
            self.evaluations += 1
            return objective(x, grad)

        x = solve(counted, x0, self.lower, self.upper, self.maxeval, self.ftol_abs)
        self.last = x
        q = self.hand.full_q(x)
        if self.filtered is None:
            self.filtered = q.copy()
        else:
            self.filtered = (q - self.filtered) * self.alpha + self.filtered
        return {n: float(self.filtered[self.hand.q_of[n]]) for n in self.hand.joint_names}


class PositionRetargeter(Retargeter):
    maxeval = 200
    ftol_abs = 1e-5

    def __init__(self, hand: PinHand, links: Sequence[str], huber_delta: float = 0.02,
                 normal_delta: float = 4e-3, low_pass_alpha: float = 0.1):
        super().__init__(hand, normal_delta, low_pass_alpha)
        self.frames = [hand.frame(n) for n in links]
        self.delta = huber_delta

    def make_objective(self, ref: np.ndarray, prev: np.ndarray):
        hand, frames, delta = self.hand, self.frames, self.delta
        target = np.asarray(ref, dtype=float)[: 3 * len(frames)]
        count = 3.0 * len(frames)

        def objective(x, grad):
            hand.kinematics(x, grad.size > 0)
            p = np.concatenate([hand.position(f) for f in frames])
            r = p - target
            inside = np.abs(r) <= delta
            f = float(np.sum(np.where(inside, r * r / 2.0 / delta, np.abs(r) - delta / 2.0)))
            f /= count
            if grad.size:
                slope = np.where(inside, r / delta, np.sign(r)) / count
                jac = np.vstack([hand.jacobian(fr) for fr in frames])
                grad[:] = jac.T @ slope
            return f + self.regulariser(x, grad, prev)

        return objective


class VectorRetargeter(Retargeter):
    def __init__(self, hand: PinHand, origins: Sequence[str], tasks: Sequence[str],
                 huber_delta: float = 0.02, normal_delta: float = 4e-3,
                 scaling_factor: float = 1.0, low_pass_alpha: float = 0.1):
        super().__init__(hand, normal_delta, low_pass_alpha)
        distinct = list(dict.fromkeys([*origins, *tasks]))
        self.frames = [hand.frame(n) for n in distinct]
        self.origin = np.array([distinct.index(n) for n in origins])
        self.task = np.array([distinct.index(n) for n in tasks])
        self.delta = huber_delta
        self.scaling = scaling_factor

    def targets(self, ref: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        rows = np.asarray(ref, dtype=float)[: 3 * len(self.origin)].reshape(-1, 3)
        return self.scaling * rows, np.ones(len(rows))

    def make_objective(self, ref: np.ndarray, prev: np.ndarray):
        hand, frames, delta = self.hand, self.frames, self.delta
        origin, task = self.origin, self.task
        target, weight = self.targets(ref)
        count = float(len(origin))

        def objective(x, grad):
            hand.kinematics(x, grad.size > 0)
            p = np.array([hand.position(f) for f in frames])
            e = p[task] - p[origin] - target
            d = np.linalg.norm(e, axis=1)
            inside = d <= delta
            loss = np.where(inside, d * d / 2.0 / delta, d - delta / 2.0)
            f = float(np.sum(weight * loss)) / count
            if grad.size:
                slope = np.where(inside, d / delta, 1.0) * weight / count
                safe = d > 1e-12
                dvec = np.zeros_like(e)
                dvec[safe] = e[safe] * (slope[safe] / d[safe])[:, None]
                per_link = np.zeros_like(p)
                np.add.at(per_link, task, dvec)
                np.subtract.at(per_link, origin, dvec)
                jac = np.vstack([hand.jacobian(fr) for fr in frames])
                grad[:] = jac.T @ per_link.ravel()
            return f + self.regulariser(x, grad, prev)

        return objective


class DexPilotRetargeter(VectorRetargeter):
    def __init__(self, hand: PinHand, tips: Sequence[str], wrist: str, normal_delta: float = 4e-3,
                 project_dist: float = 0.03, escape_dist: float = 0.05,
                 scaling_factor: float = 1.0, low_pass_alpha: float = 0.1):
        fake = Hand("", "", wrist, tuple(tips), ())
        origins, tasks = dexpilot_vectors(fake)
        super().__init__(hand, origins, tasks, 0.03, normal_delta, scaling_factor,
                         low_pass_alpha)
        n = len(tips)
        self.pairs = n * (n - 1) // 2
        self.lead = n - 1
        self.project_dist, self.escape_dist = project_dist, escape_dist
        self.projected = np.zeros(self.pairs, dtype=bool)
        self.slot_a, self.slot_b = [], []
        for a in range(n - 2):
            for b in range(a + 1, n - 1):
                self.slot_b.append(b)
                self.slot_a.append(a)
        self.lengths = np.array([1e-4] * self.lead + [0.03] * (self.pairs - self.lead))
        self.wrist_weight = float(self.pairs + n)

    def targets(self, ref: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        rows = np.asarray(ref, dtype=float)[: 3 * len(self.origin)].reshape(-1, 3)
        dist = np.linalg.norm(rows, axis=1)
        lead, pairs = self.lead, self.pairs
        for k in range(lead):
            if dist[k] < self.project_dist:
                self.projected[k] = True
            if dist[k] > self.escape_dist:
                self.projected[k] = False
        for m, (a, b) in enumerate(zip(self.slot_a, self.slot_b)):
            self.projected[lead + m] = (self.projected[b] and self.projected[a]
                                        and dist[lead + m] <= 0.03)
        weight = np.full(len(rows), self.wrist_weight)
        weight[:pairs] = 1.0
        weight[:lead][self.projected[:lead]] = 200.0
        weight[lead:pairs][self.projected[lead:]] = 400.0
        target = self.scaling * rows
        for k in np.flatnonzero(self.projected):
            target[k] = rows[k] / (dist[k] + 1e-6) * self.lengths[k]
        return target, weight


def make_retargeter(hand_spec: Hand, method: str, joints: UrdfJoints,
                    target_joints: Sequence[str], low_pass_alpha: float) -> Retargeter:
    hand = PinHand(hand_spec, joints, target_joints)
    if method == "position":
        return PositionRetargeter(hand, position_links(hand_spec), low_pass_alpha=low_pass_alpha)
    if method == "vector":
        origins, tasks = vector_links(hand_spec)
        return VectorRetargeter(hand, origins, tasks, low_pass_alpha=low_pass_alpha)
    return DexPilotRetargeter(hand, hand_spec.tips, hand_spec.wrist,
                              low_pass_alpha=low_pass_alpha)


def pin_forward_kinematics(hand_spec: Hand, joints: UrdfJoints, target_joints: Sequence[str]):
    """fk(x, link names) -> positions, for making the motion without kova."""
    hand = PinHand(hand_spec, joints, target_joints)

    def fk(x: np.ndarray, names: Sequence[str]) -> np.ndarray:
        hand.kinematics(np.asarray(x, dtype=float), False)
        return np.array([hand.position(hand.frame(n)) for n in names])

    return fk

