"""kova_rs.live.Bridge on its own, as users with their own transport drive it."""

from __future__ import annotations

import math

import numpy as np
import pytest
from kova_rs import Retargeter
from kova_rs.cli.common import find_config
from kova_rs.live import Bridge, Frame, encode_frame
from live_support import DEXPILOT, demo_motion


@pytest.fixture
def retargeter() -> Retargeter:
    return Retargeter.from_config(find_config(DEXPILOT))


def test_the_newest_of_waiting_frames_wins_and_late_frames_drop(retargeter):
    motion = demo_motion(10)
    bridge = Bridge(retargeter)
    assert bridge.process(Frame(0, 0.0, motion[0])).status == "ok"
    waiting = [Frame(5, 5.0, motion[5]), Frame(7, 7.0, motion[7]), Frame(6, 6.0, motion[6])]
    command = bridge.process_newest(waiting)
    assert command is not None and command.seq == 7 and command.status == "ok"
    assert bridge.process(Frame(6, 6.0, motion[6])) is None  # older than the last solved
    held = bridge.process(Frame(8, 8.0, np.full((21, 3), math.nan)))
    assert held.status == "held" and np.array_equal(held.qpos, command.qpos)
    s = bridge.stats
    assert (s.frames_in, s.solved, s.dropped, s.held) == (6, 2, 3, 1)
    assert s.frames_in == s.solved + s.dropped + s.held


def test_nothing_is_held_before_the_first_solved_frame(retargeter):
    bridge = Bridge(retargeter)
    assert bridge.process_message(encode_frame(0, 0.0, None)) is None
    assert bridge.process_message(b"\x00" * 30) is None
    assert bridge.process_message(encode_frame(1, 0.0, np.zeros((22, 3)))) is None  # wrong count
    assert (bridge.stats.held, bridge.stats.malformed, bridge.stats.frames_in) == (1, 2, 1)


def test_joint_order_picks_and_orders_the_published_joints(retargeter):
    motion = demo_motion(1)
    names = retargeter.joint_names
    everything = Bridge(retargeter).process(Frame(0, 0.0, motion[0]))
    order = [names[5], names[0], names[17]]
    some = Bridge(Retargeter.from_config(find_config(DEXPILOT)), joint_order=order)
    assert some.joint_names == order
    np.testing.assert_array_equal(some.process(Frame(0, 0.0, motion[0])).qpos,
                                  everything.qpos[[5, 0, 17]])
    with pytest.raises(ValueError, match="did you mean 'MFJ3'"):
        Bridge(retargeter, joint_order=["MFJ33"])
    with pytest.raises(ValueError, match="named twice"):
        Bridge(retargeter, joint_order=[names[0], names[0]])
    with pytest.raises(ValueError, match="hand_frame must be"):
        Bridge(retargeter, hand_frame="wrist")


def test_frames_that_waited_together_are_all_answered_unless_that_takes_too_long(retargeter):
    motion = demo_motion(10)
    bridge = Bridge(retargeter, catch_up=10.0)
    bridge.process(Frame(0, 0.0, motion[0]))
    waiting = [Frame(5, 5.0, motion[5]), Frame(3, 3.0, motion[3]), Frame(4, 4.0, motion[4]),
               Frame(4, 4.5, motion[4]), Frame(0, 0.0, motion[0])]
    answered = [(f.t, c.seq, c.status) for f, c in bridge.process_waiting(waiting)]
    assert answered == [(3.0, 3, "ok"), (4.5, 4, "ok"), (5.0, 5, "ok")]  # the later 4 counts
    s = bridge.stats
    assert (s.frames_in, s.solved, s.dropped) == (6, 4, 2)
    hurried = Bridge(Retargeter.from_config(find_config(DEXPILOT)), catch_up=0.0)
    answered = [c.seq for _, c in hurried.process_waiting(waiting)]
    assert answered == [5] and hurried.stats.dropped == 4
    with pytest.raises(ValueError, match="catch-up time"):
        Bridge(retargeter, catch_up=-1.0)


def test_the_overhead_leaves_out_the_wait_behind_frames_read_earlier(retargeter):
    motion = demo_motion(3)
    now = [100.0]
    bridge = Bridge(retargeter, clock=lambda: now[0], catch_up=10.0)
    together = [Frame(1, 1.0, motion[1], t_recv=100.0), Frame(2, 2.0, motion[2], t_recv=100.0)]
    for _, command in bridge.process_waiting(together):
        now[0] += 0.010  # each command out 10 ms after the one before
        bridge.answered(command)
    assert bridge.stats.latency.summary()["max_us"] == pytest.approx(20000)
    assert bridge.stats.overhead.summary()["max_us"] < 10000  # not the 20 ms the second waited
