"""Batch retargeting runs on local worker processes, with a stand-in retargeter: results,
resuming, failures, worker deaths and the command line's exit statuses."""

from __future__ import annotations

import argparse
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import numpy as np
import pytest

from kova_rs import batch
from kova_rs.result_file import is_complete
from batch_fakes import FAKE, expected_qpos
from batch_helpers import (
    alive,
    fake_config,
    make_dataset,
    output_for,
    recording,
    wait_for,
    write_recording,
)

TESTS_DIR = Path(__file__).resolve().parent


def _args(config, inputs, output, workers=2, scheduler=None):
    return argparse.Namespace(config=str(config), inputs=str(inputs), output=str(output),
                              workers=workers, scheduler=scheduler, progress=False)


def _log_lines(path: Path) -> list[str]:
    return path.read_text().splitlines() if path.exists() else []


def _check_outputs(output: Path, made: dict[str, np.ndarray], dof: int = 4) -> None:
    for relative, data in made.items():
        path = output_for(output, relative)
        assert is_complete(path, len(data)), relative
        with np.load(path) as result:
            np.testing.assert_array_equal(result["qpos"], expected_qpos(data, dof))
            assert list(result["joint_names"]) == [f"joint_{i}" for i in range(dof)]
            np.testing.assert_array_equal(result["errors"],
                                          np.linalg.norm(data[:, [4, 8], :], axis=2))
            assert str(result["source"]) == relative


def test_two_workers_retarget_every_recording_into_the_mirrored_tree(tmp_path):
    made = make_dataset(tmp_path / "in", 7, frames=4)
    builds = tmp_path / "builds.log"
    config = fake_config(tmp_path / "fake.json", builds=str(builds))
    summary = batch.run_batch(config, tmp_path / "in", tmp_path / "out", workers=2,
                              backend=FAKE, progress=False)
    assert (summary.done, summary.skipped, summary.failed) == (7, 0, [])
    assert summary.frames == 7 * 4 and summary.frames_per_second > 0
    _check_outputs(tmp_path / "out", made)
    # one build in the parent (the config check) and at most one in each of the two workers
    pids = _log_lines(builds)
    assert pids[0] == str(os.getpid())
    assert len(pids[1:]) == len(set(pids[1:])) and 1 <= len(pids[1:]) <= 2


def test_results_do_not_depend_on_the_number_of_workers(tmp_path):
    make_dataset(tmp_path / "in", 5)
    config = fake_config(tmp_path / "fake.json")
    for workers in (1, 2):
        batch.run_batch(config, tmp_path / "in", tmp_path / f"out{workers}", workers=workers,
                        backend=FAKE, progress=False)
    for path in (tmp_path / "out1").rglob("*.npz"):
        twin = tmp_path / "out2" / path.relative_to(tmp_path / "out1")
        with np.load(path) as one, np.load(twin) as two:
            for key in one.files:
                np.testing.assert_array_equal(one[key], two[key])


def test_a_second_run_skips_every_complete_output_and_redoes_the_rest(tmp_path):
    made = make_dataset(tmp_path / "in", 6)
    log = tmp_path / "retargeted.log"
    config = fake_config(tmp_path / "fake.json", log=str(log))
    batch.run_batch(config, tmp_path / "in", tmp_path / "out", workers=2, backend=FAKE,
                    progress=False)
    assert len(_log_lines(log)) == 6
    relatives = sorted(made)
    output_for(tmp_path / "out", relatives[0]).unlink()            # lost
    output_for(tmp_path / "out", relatives[1]).write_bytes(b"PK")   # broken
    write_recording(tmp_path / "in" / relatives[2], recording(2, frames=9))  # grew
    log.unlink()
    summary = batch.run_batch(config, tmp_path / "in", tmp_path / "out", workers=2,
                              backend=FAKE, progress=False)
    assert (summary.done, summary.skipped, len(summary.failed)) == (3, 3, 0)
    assert len(_log_lines(log)) == 3
    made[relatives[2]] = recording(2, frames=9)
    _check_outputs(tmp_path / "out", made)


def test_a_corrupt_recording_is_reported_and_the_others_are_done(tmp_path, capsys):
    made = make_dataset(tmp_path / "in", 4)
    (tmp_path / "in" / "broken.csv").write_text("1,2,3\nnot,a,number\n")
    np.save(tmp_path / "in" / "wrong_shape.npy", np.zeros((3, 20, 3)))
    config = fake_config(tmp_path / "fake.json")
    status = batch.run(_args(config, tmp_path / "in", tmp_path / "out"), backend=FAKE)
    assert status == batch.EXIT_FAILED
    out, err = capsys.readouterr()
    assert "4 done, 0 skipped, 2 failed of 6 recordings" in out
    assert "failed broken.csv:" in err and "failed wrong_shape.npy:" in err
    assert "(N, 21, 3)" in err
    _check_outputs(tmp_path / "out", made)
    assert not output_for(tmp_path / "out", "broken.csv").exists()
    # the failures are tried again on the next run; the good ones are skipped
    status = batch.run(_args(config, tmp_path / "in", tmp_path / "out"), backend=FAKE)
    assert status == batch.EXIT_FAILED
    assert "0 done, 4 skipped, 2 failed" in capsys.readouterr().out


def test_a_clean_run_exits_zero_and_prints_the_summary(tmp_path, capsys):
    make_dataset(tmp_path / "in", 3)
    config = fake_config(tmp_path / "fake.json")
    assert batch.run(_args(config, tmp_path / "in", tmp_path / "out"), backend=FAKE) == 0
    out = capsys.readouterr().out
    assert "3 done, 0 skipped, 0 failed of 3 recordings; 15 frames retargeted" in out
    assert "frames/s" in out


# ----------------------------------------------------------------------------- usage mistakes


@pytest.mark.parametrize("mistake, message", [
    ("no_inputs", "inputs directory .* does not exist"),
    ("inputs_is_file", "is not a directory"),
    ("no_config", "config file .* does not exist"),
    ("bad_config", "config .*: target_link_names and target_link_human_indices differ"),
    ("output_is_file", "exists and is not a directory"),
    ("output_is_inputs", "must not be the inputs directory"),
    ("empty", "no recordings"),
    ("config_is_device", "config /dev/null is a character device, not a configuration file"),
    ("output_loop", "output .*out: is a loop of symbolic links"),
    ("output_under_file", "output .*fake.json/out: a part of the path is not a folder"),
])
def test_a_usage_mistake_prints_one_line_and_exits_2(tmp_path, capsys, mistake, message):
    inputs, output = tmp_path / "in", tmp_path / "out"
    config = fake_config(tmp_path / "fake.json", invalid=(mistake == "bad_config"))
    if mistake != "empty":
        make_dataset(inputs, 2)
    else:
        inputs.mkdir()
    if mistake == "no_inputs":
        inputs = tmp_path / "nowhere"
    elif mistake == "inputs_is_file":
        inputs = config
    elif mistake == "no_config":
        config = tmp_path / "missing.yaml"
    elif mistake == "output_is_file":
        output.write_text("")
    elif mistake == "output_is_inputs":
        output = inputs
    elif mistake == "config_is_device":
        config = "/dev/null"
    elif mistake == "output_loop":
        output.symlink_to(output)
    elif mistake == "output_under_file":
        output = config / "out"
    status = batch.run(_args(config, inputs, output), backend=FAKE)
    assert status == batch.EXIT_USAGE
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and err[0].startswith("kova batch: error: ")
    import re
    assert re.search(message, err[0]), err[0]
    if mistake != "output_is_file":
        assert not output.exists() or output == inputs


def test_scheduler_without_dask_is_a_usage_error(tmp_path, capsys, monkeypatch):
    make_dataset(tmp_path / "in", 1)
    config = fake_config(tmp_path / "fake.json")
    monkeypatch.setitem(sys.modules, "distributed", None)  # import fails as if not installed
    status = batch.run(_args(config, tmp_path / "in", tmp_path / "out",
                             workers=None, scheduler="tcp://127.0.0.1:1"), backend=FAKE)
    assert status == batch.EXIT_USAGE
    assert "pip install 'kova_rs[dask]'" in capsys.readouterr().err


@pytest.mark.parametrize("text", ["0", "-1", "two"])
def test_workers_must_be_a_positive_whole_number(text, capsys):
    with pytest.raises(SystemExit) as exit_info:
        batch.main(["--config", "c", "--inputs", "i", "--output", "o", "--workers", text])
    assert exit_info.value.code == 2
    assert "--workers" in capsys.readouterr().err


# ----------------------------------------------------------------------------- interruptions

RUNNER = textwrap.dedent("""
    import sys
    sys.path.insert(0, {tests!r})
    from batch_fakes import FAKE
    from kova_rs import batch
    summary = batch.run_batch({config!r}, {inputs!r}, {output!r}, workers=2, backend=FAKE,
                              progress=False)
    print(summary.line())
""")


def test_a_killed_run_resumes_without_redoing_finished_recordings(tmp_path):
    made = make_dataset(tmp_path / "in", 10)
    log = tmp_path / "retargeted.log"
    config = fake_config(tmp_path / "fake.json", log=str(log), delay=0.15)
    output = tmp_path / "out"
    script = RUNNER.format(tests=str(TESTS_DIR), config=str(config), inputs=str(tmp_path / "in"),
                           output=str(output))
    runner = subprocess.Popen([sys.executable, "-c", script], start_new_session=True,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        assert wait_for(lambda: len(list(output.rglob("*.npz"))) >= 3)
    finally:
        os.killpg(runner.pid, signal.SIGKILL)  # the runner and its workers, mid-way
        runner.wait()
    first = {p: p.stat().st_mtime_ns for p in output.rglob("*.npz")}
    assert 3 <= len(first) < 10
    for path in first:  # whatever carries the final name is whole
        assert is_complete(path, 5), path
    time.sleep(0.01)
    log.unlink()
    summary = batch.run_batch(config, tmp_path / "in", output, workers=2, backend=FAKE,
                              progress=False)
    assert summary.failed == [] and summary.skipped == len(first)
    assert summary.done == 10 - len(first) == len(_log_lines(log))
    _check_outputs(output, made)
    for path, mtime in first.items():
        assert path.stat().st_mtime_ns == mtime, f"{path} was written again"
    assert not [p for p in output.rglob("*") if p.name.endswith(".partial")]


def test_a_killed_worker_does_not_lose_its_recordings(tmp_path):
    made = make_dataset(tmp_path / "in", 8)
    pid_dir = tmp_path / "pids"
    pid_dir.mkdir()
    log = tmp_path / "retargeted.log"
    config = fake_config(tmp_path / "fake.json", pid_dir=str(pid_dir), delay=0.2, log=str(log))
    killed = []

    def kill_one_worker():
        if wait_for(lambda: any(pid_dir.iterdir())):
            pid = int(next(pid_dir.iterdir()).name)
            os.kill(pid, signal.SIGKILL)  # a worker process of this test's own pool
            killed.append(pid)

    killer = threading.Thread(target=kill_one_worker)
    killer.start()
    summary = batch.run_batch(config, tmp_path / "in", tmp_path / "out", workers=2,
                              backend=FAKE, progress=False)
    killer.join()
    assert killed
    assert summary.failed == [] and summary.done + summary.skipped == 8
    _check_outputs(tmp_path / "out", made)
    # and a run after that finds everything complete and redoes nothing
    log.unlink()
    summary = batch.run_batch(config, tmp_path / "in", tmp_path / "out", workers=2,
                              backend=FAKE, progress=False)
    assert (summary.done, summary.skipped, summary.failed) == (0, 8, [])
    assert not log.exists()


def test_a_recording_that_kills_its_worker_fails_alone(tmp_path):
    made = make_dataset(tmp_path / "in", 6)
    config = fake_config(tmp_path / "fake.json", die_on=3.0)  # recording 3 crashes its worker
    summary = batch.run_batch(config, tmp_path / "in", tmp_path / "out", workers=2,
                              backend=FAKE, progress=False)
    killer = "subject_0/take_003.npy"
    assert [(o.relative, o.reason) for o in summary.failed] == [
        (killer, "the worker process died while retargeting it")]
    # a recording finished just before the pool broke is found complete when retried
    assert summary.done + summary.skipped == 5
    del made[killer]
    _check_outputs(tmp_path / "out", made)


# The child acts on SIGINT even when this test runs with SIGINT ignored (a background job, some
# CI runners), which a child would otherwise inherit.
INTERRUPTIBLE = textwrap.dedent("""
    import argparse, signal, sys
    signal.signal(signal.SIGINT, signal.default_int_handler)
    sys.path.insert(0, {tests!r})
    from batch_fakes import FAKE
    from kova_rs import batch
    args = argparse.Namespace(config={config!r}, inputs={inputs!r}, output={output!r}, workers=2,
                              scheduler=None, progress=False)
    sys.exit(batch.run(args, backend=FAKE))
""")


def test_ctrl_c_stops_the_workers_and_exits_130(tmp_path):
    make_dataset(tmp_path / "in", 12)
    pid_dir = tmp_path / "pids"
    pid_dir.mkdir()
    # after two recordings the others stall, so the run is still going when the interrupt comes
    config = fake_config(tmp_path / "fake.json", delay=0.1, stall_after=2, pid_dir=str(pid_dir),
                         log=str(tmp_path / "log"))
    output = tmp_path / "out"
    script = INTERRUPTIBLE.format(tests=str(TESTS_DIR), config=str(config),
                                  inputs=str(tmp_path / "in"), output=str(output))
    runner = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    try:
        assert wait_for(lambda: len(list(output.rglob("*.npz"))) >= 2)
        runner.send_signal(signal.SIGINT)  # the parent only, as a terminal sends it to the group
        out, err = runner.communicate(timeout=30)
    finally:
        if runner.poll() is None:
            runner.kill()
            runner.wait()
    assert runner.returncode == 130, err
    assert "interrupted; run the same command again to resume" in err
    workers = [int(p.name) for p in pid_dir.iterdir()]
    assert workers and wait_for(lambda: not any(alive(pid) for pid in workers), timeout=10)
    for path in output.rglob("*.npz"):
        assert is_complete(path, 5), path

