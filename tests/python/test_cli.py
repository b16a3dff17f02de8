"""The kova command line, run as a user would: in a subprocess."""

import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from tool_support import RESOURCES, config_path, urdf_path

PNG = b"\x89PNG\r\n\x1a\n"


def kova(*args, cwd=None, timeout=600):
    return subprocess.run([sys.executable, "-m", "kova_rs", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=timeout)


def assert_user_error(run, *fragments):
    assert run.returncode == 2, (run.returncode, run.stdout, run.stderr)
    lines = run.stderr.strip().splitlines()
    assert len(lines) == 1, run.stderr
    assert lines[0].startswith("kova: error: "), lines[0]
    assert "Traceback" not in run.stderr
    for fragment in fragments:
        assert fragment in lines[0], (fragment, lines[0])


@pytest.fixture(scope="module")
def demo_dir(tmp_path_factory):
    out = tmp_path_factory.mktemp("demo") / "out"
    run = kova("demo", "--output", out, "--quiet")
    assert run.returncode == 0, run.stderr
    return out, run


def needs_matplotlib():
    pytest.importorskip("matplotlib", reason="plots need the plot extra (matplotlib)")


class TestDemo:
    def test_writes_trajectories_for_each_method(self, demo_dir):
        out, run = demo_dir
        motion = np.load(RESOURCES / "motions" / "demo_motion.npy")
        for method in ("position", "vector", "dexpilot"):
            stem = out / f"kova_five_finger_24dof_{method}"
            with np.load(stem.with_suffix(".npz")) as data:
                assert data["qpos"].shape == (len(motion), 24)
                assert len(data["joint_names"]) == 24
                assert np.all(np.isfinite(data["qpos"]))
                assert np.ptp(data["qpos"], axis=0).max() > 0.5  # the hand really moves

    def test_draws_plots_for_each_method(self, demo_dir):
        needs_matplotlib()
        out, run = demo_dir
        for method in ("position", "vector", "dexpilot"):
            stem = out / f"kova_five_finger_24dof_{method}"
            for kind in ("joints", "errors", "frames"):
                image = Path(f"{stem}_{kind}.png")
                assert image.stat().st_size > 10_000
                assert image.read_bytes()[:8] == PNG

    def test_prints_where_the_files_are(self, demo_dir):
        out, run = demo_dir
        assert str(out.resolve()) in run.stdout
        for method in ("position", "vector", "dexpilot"):
            assert method in run.stdout
        assert run.stderr == ""

    def test_other_shipped_hand(self, tmp_path):
        run = kova("demo", "--output", tmp_path, "--hand", "kova_linkage_12dof", "--quiet",
                   "--no-plots")
        assert run.returncode == 0, run.stderr
        with np.load(tmp_path / "kova_linkage_12dof_vector.npz") as data:
            assert data["qpos"].shape[1] == 12
        assert not list(tmp_path.glob("*.png"))

    def test_unknown_hand(self, tmp_path):
        assert_user_error(kova("demo", "--output", tmp_path, "--hand", "robotic_claw"),
                          "robotic_claw", "no such shipped hand")

    def test_output_that_is_a_file(self, tmp_path):
        (tmp_path / "taken").write_text("")
        assert_user_error(kova("demo", "--output", tmp_path / "taken"), "taken",
                          "not a folder")


class TestRetarget:
    @pytest.fixture
    def motion_csv(self, tmp_path):
        motion = np.load(RESOURCES / "motions" / "demo_motion.npy")[:40]
        path = tmp_path / "take1.csv"
        np.savetxt(path, motion.reshape(len(motion), 63), delimiter=",")
        return path, motion

    def test_csv_to_npz_and_plot(self, tmp_path, motion_csv):
        needs_matplotlib()
        path, motion = motion_csv
        out, plot = tmp_path / "q.npz", tmp_path / "q.png"
        run = kova("retarget", "--config", config_path("vector", "kova_compact_10dof"),
                   "--input", path, "--output", out, "--plot", plot, "--fps", 30)
        assert run.returncode == 0, run.stderr
        with np.load(out) as data:
            assert data["qpos"].shape == (40, 10)
            assert list(data["joint_names"])[0] == "index_q1"
            assert data["errors"].shape == (40, 10)
        assert plot.read_bytes()[:8] == PNG and plot.stat().st_size > 10_000
        assert str(out.resolve()) in run.stdout and str(plot.resolve()) in run.stdout

    def test_default_output_and_shipped_config_name(self, tmp_path, motion_csv):
        path, _ = motion_csv
        run = kova("retarget", "--config", "dexpilot/kova_coupled_20dof", "--input", path,
                   cwd=tmp_path)
        assert run.returncode == 0, run.stderr
        with np.load(tmp_path / "take1_retargeted.npz") as data:
            assert data["qpos"].shape == (40, 20)

    def test_left_hand_in_a_tracker_frame(self, tmp_path):
        motion = np.load(RESOURCES / "motions" / "demo_motion.npy")[:20]
        rotation = np.array([[0.0, -1.0, 0.0], [0.0, 0.0, 1.0], [-1.0, 0.0, 0.0]])
        left = (motion * [1.0, -1.0, 1.0]) @ rotation.T + [0.3, -0.1, 1.2]
        np.save(tmp_path / "left.npy", left)
        np.save(tmp_path / "right.npy", motion)
        cfg = config_path("position", "kova_five_finger_24dof")
        a = kova("retarget", "--config", cfg, "--input", tmp_path / "left.npy", "--left",
                 "--output", tmp_path / "a.npz")
        b = kova("retarget", "--config", cfg, "--input", tmp_path / "right.npy",
                 "--output", tmp_path / "b.npz")
        assert a.returncode == 0 and b.returncode == 0, a.stderr + b.stderr
        with np.load(tmp_path / "a.npz") as qa, np.load(tmp_path / "b.npz") as qb:
            np.testing.assert_allclose(qa["qpos"], qb["qpos"], atol=1e-6)


class TestUserMistakes:
    @pytest.fixture
    def motion(self, tmp_path):
        path = tmp_path / "m.npy"
        np.save(path, np.load(RESOURCES / "motions" / "demo_motion.npy")[:3])
        return path

    def write_config(self, tmp_path, text):
        path = tmp_path / "hand.yml"
        path.write_text(text)
        return path

    def test_missing_config(self, tmp_path, motion):
        assert_user_error(kova("retarget", "--config", tmp_path / "none.yml", "--input", motion),
                          "none.yml", "no such configuration file")

    def test_bad_yaml(self, tmp_path, motion):
        cfg = self.write_config(tmp_path, "retargeting: [unclosed\n")
        assert_user_error(kova("retarget", "--config", cfg, "--input", motion),
                          str(cfg), "YAML parse error")

    def test_config_without_retargeting_section(self, tmp_path, motion):
        cfg = self.write_config(tmp_path, "something: else\n")
        assert_user_error(kova("retarget", "--config", cfg, "--input", motion),
                          str(cfg), "unknown key 'something' at the top level",
                          "Known keys: retargeting")

    def test_unknown_link(self, tmp_path, motion):
        urdf = urdf_path("kova_compact_10dof")
        cfg = self.write_config(tmp_path, f"""retargeting:
  type: position
  urdf_path: {urdf}
  target_link_names: [index_tip, no_such_tip]
  target_link_human_indices: [8, 12]
""")
        assert_user_error(kova("retarget", "--config", cfg, "--input", motion),
                          f"{cfg}: retargeting.target_link_names[1]: Link 'no_such_tip' not found",
                          "Links: ")

    def test_missing_urdf(self, tmp_path, motion):
        cfg = self.write_config(tmp_path, """retargeting:
  type: vector
  urdf_path: nowhere/hand.urdf
  target_origin_link_names: [palm]
  target_task_link_names: [tip]
  target_link_human_indices: [0, 8]
""")
        assert_user_error(kova("retarget", "--config", cfg, "--input", motion),
                          str(cfg), "URDF path nowhere/hand.urdf does not exist")

    def test_wrong_array_shape(self, tmp_path):
        bad = tmp_path / "bad.npy"
        np.save(bad, np.zeros((10, 20, 3)))
        assert_user_error(kova("retarget", "--config", "position/kova_compact_10dof",
                               "--input", bad), str(bad), "got (10, 20, 3)")

    def test_missing_input(self, tmp_path):
        assert_user_error(kova("retarget", "--config", "position/kova_compact_10dof",
                               "--input", tmp_path / "gone.npy"), "gone.npy", "no such file")

    def test_unsupported_input(self, tmp_path):
        odd = tmp_path / "m.bvh"
        odd.write_text("HIERARCHY")
        assert_user_error(kova("retarget", "--config", "position/kova_compact_10dof",
                               "--input", odd), "m.bvh", "unsupported motion format")

    def test_output_folder_missing(self, tmp_path, motion):
        assert_user_error(kova("retarget", "--config", "position/kova_compact_10dof",
                               "--input", motion, "--output", tmp_path / "no" / "q.npz"),
                          "q.npz", "does not exist")

    def test_plot_with_unknown_format(self, tmp_path, motion):
        assert_user_error(kova("retarget", "--config", "position/kova_compact_10dof",
                               "--input", motion, "--plot", tmp_path / "p.gif"),
                          "p.gif", ".png")

    def test_missing_argument(self):
        assert_user_error(kova("retarget", "--config", "x.yml"), "--input")

    def test_unknown_command(self):
        assert_user_error(kova("dance"), "dance")

    def test_info_on_missing_urdf(self, tmp_path):
        assert_user_error(kova("info", tmp_path / "hand.urdf"), "hand.urdf", "no such file")

    def test_info_on_broken_urdf(self, tmp_path):
        broken = tmp_path / "broken.urdf"
        broken.write_text("<robot name='x'><link name='a'></robot>")
        assert_user_error(kova("info", broken), "broken.urdf", "XML parse error")


class TestHostileFiles:
    """Files that once blocked the command or ended it with a traceback."""

    @pytest.fixture
    def motion(self, tmp_path):
        path = tmp_path / "m.npy"
        np.save(path, np.load(RESOURCES / "motions" / "demo_motion.npy")[:3])
        return path

    @pytest.mark.parametrize("make, fragment", [
        (lambda p: os.mkfifo(p / "in.npy"), "is a named pipe, not a motion file"),
        (lambda p: (p / "in.npy").symlink_to(p / "in.npy"), "is a loop of symbolic links"),
        (lambda p: (p / "in.npy").write_bytes(b"\x93NUMPY\x01\x00\x40\x00" +
                                              b"{'descr': ('<f8',".ljust(63) + b"\n"),
         "has a damaged .npy header"),
    ])
    def test_bad_inputs_are_one_line_errors(self, tmp_path, make, fragment):
        make(tmp_path)
        assert_user_error(kova("retarget", "--config", "position/kova_compact_10dof", "--input",
                               tmp_path / "in.npy", "--output", tmp_path / "q.npz", timeout=60),
                          "in.npy", fragment)

    def test_outputs_that_are_not_files_are_refused_before_retargeting(self, tmp_path, motion):
        os.mkfifo(tmp_path / "pipe.npz")
        (tmp_path / "full.png").symlink_to("/dev/full")
        base = ("retarget", "--config", "position/kova_compact_10dof", "--input", motion)
        assert_user_error(kova(*base, "--output", tmp_path / "pipe.npz", timeout=60),
                          "pipe.npz", "exists and is a named pipe")
        assert_user_error(kova(*base, "--output", tmp_path / "q.npz", "--plot",
                               tmp_path / "full.png"), "full.png", "is a character device")
        assert not (tmp_path / "q.npz").exists()


class TestInfo:
    def test_lists_dofs_in_order_with_limits_and_mimic_joints(self):
        run = kova("info", urdf_path("kova_linkage_12dof"))
        assert run.returncode == 0, run.stderr
        out = run.stdout
        assert "root link: hand_base_link" in out
        dof_lines = [m.group(1) for m in re.finditer(r"^ +\d+ +(\S+)", out, re.MULTILINE)]
        assert dof_lines[:3] == ["index_proximal_joint", "index_intermediate_joint",
                                 "middle_proximal_joint"]
        assert len(dof_lines) == 12
        assert "[+0.000, +1.470]" in out
        assert "mimic joints (6):" in out
        assert "index_intermediate_joint = 1.08 * index_proximal_joint + 0" in out

    def test_limits_are_those_the_solver_reads(self, tmp_path):
        # The core reads a number with a leading space as malformed and uses the default 0.
        urdf = tmp_path / "spaced.urdf"
        urdf.write_text("<robot name='r'><link name='a'/><link name='b'/><link name='c'/>"
                        "<joint name='j' type='revolute'><parent link='a'/><child link='b'/>"
                        "<limit lower=' -1.0' upper='1.0'/></joint>"
                        "<joint name='k' type='revolute'><parent link='b'/><child link='c'/>"
                        "</joint></robot>")
        run = kova("info", urdf)
        assert run.returncode == 0, run.stderr
        assert re.search(r"0 +j +revolute +\[\+0\.000, \+1\.000\]", run.stdout), run.stdout
        assert re.search(r"1 +k +revolute +no limits \(-10000, \+10000\)", run.stdout)

    def test_robot_without_mimic_joints(self):
        run = kova("info", urdf_path("kova_numbered_16dof"))
        assert run.returncode == 0, run.stderr
        assert "mimic joints: none" in run.stdout
        assert "degrees of freedom (16)" in run.stdout

    def test_hands_lists_every_shipped_hand(self):
        run = kova("hands")
        assert run.returncode == 0
        for hand in ("kova_compact_10dof", "kova_five_finger_24dof", "kova_coupled_20dof"):
            assert hand in run.stdout
        makers, own = run.stdout.split("kova's own test hands")
        # a maker's hand says what robot it is and where its licence is; kova's own do not
        assert "Wonik Allegro Hand, right; origin and licence in allegro_right/SOURCE.md" in makers
        assert "kova_compact_10dof" not in makers and "allegro_right" not in own


def test_console_script_is_installed():
    script = Path(sys.executable).with_name("kova")
    if not script.exists():
        pytest.skip("kova_rs is not pip-installed in this interpreter's environment")
    run = subprocess.run([str(script), "--help"], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0 and "demo" in run.stdout and "retarget" in run.stdout
