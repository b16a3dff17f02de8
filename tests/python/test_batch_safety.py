"""A batch keeps to its output folder and its own processes: one run per folder, outputs never
outside it and with the umask's mode, unreadable inputs reported, workers that end with it."""

from __future__ import annotations

import os
import signal
import stat
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from kova_rs import batch
from batch_fakes import FAKE
from batch_helpers import alive, fake_config, make_dataset, output_for, wait_for
from unprivileged import as_unprivileged, shared_folder

TESTS_DIR = Path(__file__).resolve().parent
SLOW_RUN = textwrap.dedent("""
    import argparse, signal, sys
    signal.signal(signal.SIGINT, signal.default_int_handler)
    sys.path.insert(0, {tests!r})
    from batch_fakes import FAKE
    from kova_rs import batch
    args = argparse.Namespace(config={config!r}, inputs={inputs!r}, output={output!r}, workers=2,
                              scheduler=None, progress=False)
    sys.exit(batch.run(args, backend=FAKE))
""")


def _start_slow_run(tmp_path: Path, recordings: int = 8) -> tuple[subprocess.Popen, Path]:
    make_dataset(tmp_path / "in", recordings)
    pid_dir = tmp_path / "pids"
    pid_dir.mkdir()
    config = fake_config(tmp_path / "fake.json", delay=0.4, pid_dir=str(pid_dir))
    script = SLOW_RUN.format(tests=str(TESTS_DIR), config=str(config),
                             inputs=str(tmp_path / "in"), output=str(tmp_path / "out"))
    runner = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True)
    assert wait_for(lambda: len(list(pid_dir.iterdir())) >= 2)  # both workers retargeting
    return runner, pid_dir


def test_a_second_batch_on_the_same_output_folder_is_refused(tmp_path):
    runner, _ = _start_slow_run(tmp_path)
    try:
        with pytest.raises(batch.BatchUsageError,
                           match=rf"another kova batch \(process {runner.pid} on .*\) is "
                                 "writing to .*out; wait for it to finish"):
            batch.run_batch(tmp_path / "fake.json", tmp_path / "in", tmp_path / "out",
                            workers=1, backend=FAKE, progress=False)
        out, err = runner.communicate(timeout=60)
    finally:
        if runner.poll() is None:
            runner.kill()
            runner.wait()
    assert runner.returncode == 0, err
    assert "8 done, 0 skipped, 0 failed" in out


@pytest.mark.parametrize("how", [signal.SIGTERM, signal.SIGKILL])
def test_workers_end_with_the_batch_however_it_ends(tmp_path, how):
    runner, pid_dir = _start_slow_run(tmp_path)
    workers = [int(p.name) for p in pid_dir.iterdir()]
    runner.send_signal(how)
    out, err = runner.communicate(timeout=30)
    if how == signal.SIGTERM:  # handled like Ctrl-C
        assert runner.returncode == 143, err
        assert "kova batch: terminated; run the same command again to resume" in err
    assert wait_for(lambda: not any(alive(pid) for pid in workers), timeout=10)


def test_without_the_kernel_a_worker_still_notices_that_its_parent_is_gone():
    script = textwrap.dedent("""
        import os, time
        from kova_rs.batch.local import die_with_parent
        parent = os.getpid()
        child = os.fork()
        if child == 0:
            die_with_parent(parent, use_kernel=False)
            time.sleep(60)
            os._exit(0)
        print(child, flush=True)
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=60, check=True)
    orphan = int(run.stdout)
    assert wait_for(lambda: not alive(orphan), timeout=10)


def test_outputs_never_leave_the_output_folder_through_a_symlinked_subfolder(tmp_path):
    make_dataset(tmp_path / "in", 3)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "subject_1").symlink_to(elsewhere)
    summary = batch.run_batch(fake_config(tmp_path / "fake.json"), tmp_path / "in",
                              tmp_path / "out", workers=1, backend=FAKE, progress=False)
    [failure] = summary.failed
    assert failure.relative == "subject_1/take_001.npz"
    assert "leads outside the output folder" in failure.reason
    assert summary.done == 2 and list(elsewhere.iterdir()) == []


def test_outputs_get_the_mode_that_the_umask_gives(tmp_path):
    make_dataset(tmp_path / "in", 2)
    previous = os.umask(0o027)
    try:
        batch.run_batch(fake_config(tmp_path / "fake.json"), tmp_path / "in", tmp_path / "out",
                        workers=1, backend=FAKE, progress=False)
    finally:
        os.umask(previous)
    for path in (tmp_path / "out").rglob("*.npz"):
        assert stat.S_IMODE(path.stat().st_mode) == 0o640, path


def test_recordings_that_cannot_be_read_are_failures_not_silence(tmp_path):
    made = make_dataset(tmp_path / "in", 2)
    os.mkfifo(tmp_path / "in" / "pipe.npy")
    (tmp_path / "in" / "loop.csv").symlink_to(tmp_path / "in" / "loop.csv")
    summary = batch.run_batch(fake_config(tmp_path / "fake.json"), tmp_path / "in",
                              tmp_path / "out", workers=1, backend=FAKE, progress=False)
    assert (summary.total, summary.done) == (4, 2)
    assert sorted((f.relative, f.reason) for f in summary.failed) == [
        ("loop.csv", "is a loop of symbolic links"),
        ("pipe.npy", "is a named pipe, not a recording")]
    assert all(output_for(tmp_path / "out", relative).exists() for relative in made)


def test_an_unreadable_folder_is_a_failure_and_an_uncreatable_output_a_usage_error():
    with shared_folder() as root:
        make_dataset(root / "in", 3)
        (root / "in" / "subject_1").chmod(0)
        found = as_unprivileged(batch.discover, root / "in", root / "out")
        assert sorted(job.relative for job in found.jobs) == ["subject_0/take_000.npy",
                                                              "subject_2/take_002.csv"]
        assert [(f.relative, f.reason) for f in found.failures] == [
            ("subject_1/", "the folder cannot be read (permission denied)")]
        (root / "in" / "subject_1").chmod(0o755)
        locked = root / "locked"
        locked.mkdir(mode=0o755)
        config = fake_config(root / "fake.json")
        with pytest.raises(batch.BatchUsageError,
                           match=r"output .*locked/out: cannot create the folder \(permission"):
            as_unprivileged(lambda: batch.run_batch(config, root / "in", locked / "out",
                                                    backend=FAKE, progress=False))
