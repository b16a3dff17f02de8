"""Several Python threads: distinct objects behave as if run one after another; a shared object
serialises whole calls, so every result is one that some sequential order of the calls gives.

`_native` holds the interpreter lock through every call, so its checks below pass even without
its mutex. `_core` solves without the interpreter lock: its checks fail when the lock is not
released or when calls on one object are not serialised by the object's mutex."""

from __future__ import annotations

import random
import sys
import threading

import numpy as np
import pytest
from conftest import ALLEGRO_PALM, ALLEGRO_TIPS, MAKERS, row_count

THREADS = 4
FRAMES = 8


@pytest.fixture(autouse=True)
def frequent_switches():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def frames_for(kind, seed):
    rng = random.Random(seed)
    return [[rng.uniform(-0.08, 0.08) for _ in range(3 * row_count(kind))]
            for _ in range(FRAMES)]


def run_threads(target, count):
    """Runs target(0 .. count-1) on `count` threads that start together."""
    errors = []
    start = threading.Barrier(count)

    def guarded(index):
        try:
            start.wait()
            target(index)
        except BaseException as error:  # reported to the main thread below
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors


@pytest.mark.parametrize("kind", list(MAKERS))
def test_distinct_objects_match_a_sequential_run(allegro, kind):
    config = MAKERS[kind](allegro)
    inputs = [frames_for(kind, seed) for seed in range(THREADS)]
    expected = []
    for frames in inputs:
        seq = config.build()
        expected.append([seq.retarget(f) for f in frames] + [seq.get_qpos()])

    results = [None] * THREADS
    sequencers = [config.build() for _ in range(THREADS)]

    def work(index):
        seq = sequencers[index]
        out = []
        for frame in inputs[index]:
            out.append(seq.retarget(frame))
            seq.link_positions(out[-1], ["base_link"])
        out.append(seq.get_qpos())
        results[index] = out

    run_threads(work, THREADS)
    assert results == expected


@pytest.mark.parametrize("kind", list(MAKERS))
def test_shared_object_results_follow_some_sequential_order(allegro, kind):
    # Without a filter (and, for DexPilot, with distances that never project a pinch) the whole
    # state is the last solution, which set_qpos can restore.
    extra = dict(project_dist=0.0, escape_dist=0.0) if kind == "dexpilot" else {}
    config = MAKERS[kind](allegro, low_pass_alpha=-1.0, **extra)
    shared = config.build()
    inputs = [frames_for(kind, 100 + seed) for seed in range(THREADS)]
    results = [[] for _ in range(THREADS)]
    order = []

    def work(index):
        for frame in inputs[index]:
            results[index].append(shared.retarget(frame))
            order.append(index)
            assert len(shared.joint_names) == 16

    run_threads(work, THREADS)
    assert order != sorted(order), "the threads did not interleave"

    # Replay: at each step one thread's next call must reproduce its recorded result from the
    # state left by the calls replayed so far.
    replica = config.build()
    position = [0] * THREADS
    for _ in range(THREADS * FRAMES):
        state = replica.get_qpos()
        for index in range(THREADS):
            if position[index] == FRAMES:
                continue
            replica.set_qpos(state)
            if replica.retarget(inputs[index][position[index]]) == results[index][position[index]]:
                position[index] += 1
                break
        else:
            pytest.fail(f"no sequential order explains the results (replayed {position})")
    assert replica.get_qpos() == shared.get_qpos()


def test_concurrent_builds_and_config_reads(allegro):
    config = MAKERS["position"](allegro)
    built = [None] * THREADS

    def work(index):
        seq = config.build()
        for _ in range(20):
            assert repr(config).startswith("RetargetingConfig(type='position'")
            assert config.target_link_names == MAKERS["position"](allegro).target_link_names
        built[index] = seq.retarget([0.0] * 12)

    run_threads(work, THREADS)
    assert all(result == built[0] for result in built)


# kova_rs._core: solves without the interpreter lock, one mutex per object.


def core_dexpilot(allegro):
    from kova_rs import _core

    return _core.Retargeter("dexpilot", allegro, wrist_link_name=ALLEGRO_PALM,
                            finger_tip_link_names=ALLEGRO_TIPS, low_pass_alpha=0.5,
                            project_dist=0.06, escape_dist=0.08)


def core_rows(frames, seed):
    return np.random.default_rng(seed).uniform(-0.09, 0.09, (frames, row_count("dexpilot"), 3))


def test_core_solves_while_other_python_threads_run(allegro):
    # The main thread watches two outputs fill up frame by frame, each written by its own
    # retargeter on its own thread. Holding the interpreter lock through the call, a solve would
    # leave it nothing to see but all-NaN or all-done; a lock shared by the two objects would
    # never let both be half-written at once.
    pair = [core_dexpilot(allegro) for _ in range(2)]
    rows = [core_rows(300, 1), core_rows(300, 2)]
    outs = [np.full((len(r), pair[0].dof), np.nan) for r in rows]
    done = [threading.Event() for _ in pair]
    seen_one, seen_both = False, False

    def solve(index):
        pair[index].retarget_sequence(rows[index], out=outs[index])
        done[index].set()

    workers = [threading.Thread(target=solve, args=(i,)) for i in range(2)]
    for worker in workers:
        worker.start()
    while not all(d.is_set() for d in done):
        partly = [np.isfinite(o[0, 0]) and np.isnan(o[-1, 0]) for o in outs]
        seen_one = seen_one or any(partly)
        seen_both = seen_both or all(partly)
    for worker in workers:
        worker.join()
    assert seen_one, "no other Python thread ran while a sequence was solved"
    assert seen_both, "the two retargeters never solved at the same time"
    assert all(np.all(np.isfinite(o)) for o in outs)


def test_core_calls_on_one_object_follow_a_sequential_order(allegro):
    shared = core_dexpilot(allegro)
    inputs = [core_rows(80, 10 + i) for i in range(2)]
    results = [None, None]

    def work(index):
        results[index] = shared.retarget_sequence(inputs[index])

    run_threads(work, 2)
    orders = []
    for order in ((0, 1), (1, 0)):
        fresh = core_dexpilot(allegro)
        expected = {i: fresh.retarget_sequence(inputs[i]) for i in order}
        orders.append(all(np.array_equal(results[i], expected[i]) for i in order))
    assert any(orders), "the results match neither order of the two calls"
