"""Without the optional packages (their import made to fail here): each feature that needs one
says which extra installs it, and what works without it still works."""

from __future__ import annotations

import io
import sys

import numpy as np
import pytest

from kova_rs import cli, plots
from kova_rs.batch import progress
from kova_rs.extras import MissingExtra
from kova_rs.retargeter import Retargeter
from tool_support import RESOURCES, config_path


class Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


@pytest.fixture
def motion(tmp_path):
    path = tmp_path / "m.npy"
    np.save(path, np.load(RESOURCES / "motions" / "demo_motion.npy")[:4])
    return path


def without(monkeypatch, *modules):
    for module in modules:
        monkeypatch.setitem(sys.modules, module, None)  # the import raises ImportError


def test_with_tqdm_progress_is_a_tqdm_bar():
    pytest.importorskip("tqdm", reason="progress bars need the progress extra (tqdm)")
    assert isinstance(progress.progress(3, Terminal(), True), progress.TqdmProgress)


def test_without_tqdm_progress_is_a_plain_counter_and_retargeting_is_unchanged(monkeypatch):
    keypoints = np.load(RESOURCES / "motions" / "demo_motion.npy")[:5]
    config = config_path("position", "kova_compact_10dof")
    expected = Retargeter.from_config(config).retarget_sequence(keypoints).qpos
    without(monkeypatch, "tqdm")
    bar = progress.progress(3, Terminal(), True)
    assert isinstance(bar, progress.PlainProgress)
    bar.update()
    assert bar.stream.getvalue() == "\rkova batch: 1/3 recordings"
    result = Retargeter.from_config(config).retarget_sequence(keypoints, progress=True)
    np.testing.assert_array_equal(result.qpos, expected)


def test_kova_retarget_without_tqdm_or_matplotlib(monkeypatch, capsys, tmp_path, motion):
    base = ["retarget", "--config", "position/kova_compact_10dof", "--input", str(motion),
            "--output", str(tmp_path / "q.npz")]
    without(monkeypatch, "tqdm", "matplotlib")
    assert cli.main([*base, "--progress"]) == 0
    err = capsys.readouterr().err
    assert err == "kova: warning: progress bars need tqdm: pip install 'kova_rs[progress]'\n"
    assert cli.main([*base, "--plot", str(tmp_path / "p.png")]) == 2
    assert capsys.readouterr().err == (f"kova: error: {tmp_path / 'p.png'}: plotting needs "
                                       "matplotlib: pip install 'kova_rs[plot]'\n")
    with pytest.raises(MissingExtra, match=r"pip install 'kova_rs\[plot\]'"):
        plots.plot_errors(object(), tmp_path / "e.png")


def test_kova_demo_without_matplotlib_writes_the_trajectories(monkeypatch, capsys, tmp_path):
    without(monkeypatch, "matplotlib")
    assert cli.main(["demo", "--output", str(tmp_path), "--quiet"]) == 0
    assert "(plots skipped: plotting needs matplotlib: pip install 'kova_rs[plot]')" in \
        capsys.readouterr().out
    assert sorted(p.suffix for p in tmp_path.iterdir()) == [".npz"] * 3
