"""Plots drawn in-process from synthetic results."""

import numpy as np
import pytest

from kova_rs import plots
from kova_rs.human_hand import fist, landmarks, open_hand
from kova_rs.retargeter import RetargetResult

pytest.importorskip("matplotlib", reason="plots need the plot extra (matplotlib)")

PNG = b"\x89PNG\r\n\x1a\n"


@pytest.fixture
def result():
    t = np.linspace(0, 1, 50)[:, None]
    qpos = np.hstack([np.sin(2 * np.pi * t * k) for k in range(1, 25)])
    return RetargetResult(qpos, [f"J{k}" for k in range(24)], 0.004 + 0.002 * qpos[:, :5] ** 2,
                          "position", [f"tip{k}" for k in range(5)])


@pytest.mark.parametrize("draw", [plots.plot_joint_angles, plots.plot_errors,
                                  plots.plot_summary])
def test_time_plots_write_pngs(tmp_path, result, draw):
    path = draw(result, tmp_path / "p.png", fps=30.0)
    assert path.read_bytes()[:8] == PNG and path.stat().st_size > 10_000


def test_frames_plot(tmp_path):
    human = np.stack([landmarks(open_hand()), landmarks(fist())])
    robot = human[:, [0, 5, 6, 7, 8]] + 0.002
    path = plots.plot_frames(human, robot, [0, 1], tmp_path / "f.png",
                             edges=[(0, 1), (1, 2), (2, 3), (3, 4)], targets=[4],
                             titles=["open", "fist"])
    assert path.read_bytes()[:8] == PNG


def test_frames_plot_needs_frames(tmp_path):
    with pytest.raises(ValueError, match="no frames"):
        plots.plot_frames(np.zeros((1, 21, 3)), np.zeros((1, 2, 3)), [], tmp_path / "f.png")


def test_missing_folder_is_reported(tmp_path, result):
    with pytest.raises(ValueError, match="does not exist"):
        plots.plot_errors(result, tmp_path / "nowhere" / "e.png")
