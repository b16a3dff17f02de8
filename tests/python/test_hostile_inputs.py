"""Hostile data through the Python module: non-finite numbers, over-long references, empty and
very large robots, hostile files. Each gives a clear exception or a well-defined result."""

import math
import os

import pytest

from kova_rs import _native
from hostile_support import REF, TWO_FINGER_URDF, position_config, write_robot

NAN = float("nan")
INF = float("inf")


def finite(values):
    return all(math.isfinite(v) for v in values)


@pytest.mark.parametrize("bad", [NAN, INF, -INF])
def test_non_finite_reference_gives_a_full_frame_then_recovers(tmp_path, bad):
    seq = position_config(_native, write_robot(tmp_path)).build()
    assert finite(seq.retarget(REF))
    q = seq.retarget([bad] + REF[1:])
    assert len(q) == len(seq.joint_names)
    assert finite(seq.retarget(REF))


@pytest.mark.parametrize("bad", [NAN, INF])
def test_non_finite_fixed_and_set_qpos(tmp_path, bad):
    seq = position_config(_native, write_robot(tmp_path), target_joint_names=["ja1", "jb1"]).build()
    assert seq.fixed_dof == 1
    q = seq.retarget(REF, [bad])
    assert len(q) == 4
    seq.set_qpos([bad] * 4)
    assert finite(seq.retarget(REF, [0.0]))
    assert len(seq.get_qpos([bad])) == 4
    positions = seq.link_positions([bad] * 4, ["palm", "b2"])
    assert positions[0] == (0.0, 0.0, 0.0)
    assert all(math.isnan(v) for v in positions[1])


@pytest.mark.parametrize("bad", [NAN, INF, -INF])
def test_non_finite_configuration_numbers(tmp_path, bad):
    urdf = write_robot(tmp_path)
    numbers = dict(scaling_factor=bad, normal_delta=bad, huber_delta=bad, project_dist=bad,
                   escape_dist=bad, low_pass_alpha=bad)
    configs = [
        position_config(_native, urdf, **numbers),
        _native.RetargetingConfig("dexpilot", str(urdf), wrist_link_name="palm",
                                  finger_tip_link_names=["a2", "b2"], **numbers),
    ]
    assert "scaling_factor=" + ("NaN" if math.isnan(bad) else repr(bad)) in repr(configs[0])
    for config in configs:
        seq = config.build()
        for _ in range(3):
            assert len(seq.retarget(REF + [0.0, 0.0, 0.05])) == 4


def test_non_finite_numbers_in_a_yaml_configuration(tmp_path):
    write_robot(tmp_path)
    path = tmp_path / "config.yml"
    path.write_text("retargeting:\n  type: position\n  urdf_path: toy.urdf\n"
                    "  target_link_names: [a2, b2]\n  target_link_human_indices: [4, 8]\n"
                    "  scaling_factor: .nan\n  huber_delta: -.inf\n  low_pass_alpha: .inf\n")
    config = _native.RetargetingConfig.from_file(str(path))
    assert math.isnan(config.scaling_factor)
    assert config.huber_delta == -INF
    seq = config.build()
    assert len(seq.retarget(REF)) == 4


def test_reference_far_longer_than_needed(tmp_path):
    urdf = write_robot(tmp_path)
    exact = position_config(_native, urdf).build()
    padded = position_config(_native, urdf).build()
    assert padded.retarget(REF + [NAN] * 1_000_000) == exact.retarget(REF)


def test_reference_too_short_poisons_the_object(tmp_path):
    seq = position_config(_native, write_robot(tmp_path)).build()
    with pytest.raises(BaseException) as raised:
        seq.retarget(REF[:-1])
    assert type(raised.value).__name__ == "PanicException"
    assert not isinstance(raised.value, Exception)
    with pytest.raises(RuntimeError, match="^SeqRetargeting lock poisoned$"):
        seq.target_dof


@pytest.mark.parametrize("text", ["<robot/>", "<robot name='x'><!-- nothing --></robot>"])
def test_empty_robot_fails_the_build(tmp_path, text):
    config = position_config(_native, write_robot(tmp_path, text))
    with pytest.raises(RuntimeError, match="^No root link found$"):
        config.build()


def test_robot_without_joints(tmp_path):
    urdf = write_robot(tmp_path, "<robot><link name='palm'/></robot>")
    seq = position_config(_native, urdf, target_link_names=["palm"],
                          target_link_human_indices=[0]).build()
    assert seq.retarget([0.1, 0.2, 0.3]) == []
    assert seq.joint_names == [] and seq.target_dof == 0
    assert seq.link_positions([], ["palm"]) == [(0.0, 0.0, 0.0)]


def chain_urdf(n):
    parts = ['<robot name="chain"><link name="l0"/>']
    for i in range(1, n + 1):
        parts.append(f'<link name="l{i}"/><joint name="j{i}" type="revolute">'
                     f'<parent link="l{i - 1}"/><child link="l{i}"/><origin xyz="0.01 0 0"/>'
                     f'<axis xyz="0 0 1"/><limit lower="-1" upper="1"/></joint>')
    return "".join(parts) + "</robot>"


def wide_urdf(n):
    parts = ['<robot name="wide"><link name="root"/>']
    for i in range(n):
        parts.append(f'<link name="c{i}"/><joint name="p{i}" type="prismatic">'
                     f'<parent link="root"/><child link="c{i}"/><origin xyz="{0.001 * i} 0 0"/>'
                     f'<axis xyz="0 1 0"/><limit lower="-1" upper="1"/></joint>')
    return "".join(parts) + "</robot>"


def test_chain_of_thousands_of_links(tmp_path):
    n = 2000
    urdf = write_robot(tmp_path, chain_urdf(n))
    seq = position_config(_native, urdf, target_link_names=[f"l{n}"], target_link_human_indices=[0],
                          target_joint_names=["j1", "j2"]).build()
    assert len(seq.joint_names) == n and seq.fixed_dof == n - 2
    q = seq.retarget([15.0, 10.0, 0.0])
    assert len(q) == n and finite(q)
    (tip,) = seq.link_positions([0.0] * n, [f"l{n}"])
    assert tip == pytest.approx((0.01 * n, 0.0, 0.0))


def test_wide_robot_of_thousands_of_links(tmp_path):
    n = 5000
    urdf = write_robot(tmp_path, wide_urdf(n))
    seq = position_config(_native, urdf, target_link_names=["c0", f"c{n - 1}"],
                          target_joint_names=["p0", f"p{n - 1}"]).build()
    q = seq.retarget([0.0, 0.25, 0.0, 0.001 * (n - 1), -0.5, 0.0])
    assert len(q) == n
    first, last = seq.link_positions(q, ["c0", f"c{n - 1}"])
    assert first[1] == pytest.approx(0.25, abs=0.02)
    assert last[1] == pytest.approx(-0.5, abs=0.02)


def test_tens_of_megabytes_of_urdf(tmp_path):
    padding = "<visual><geometry><mesh filename='" + "m" * 25000 + "'/></geometry></visual>"
    body = TWO_FINGER_URDF.replace('<link name="b2"/>', '<link name="b2">' + padding * 1000 + "</link>")
    urdf = write_robot(tmp_path, body)
    assert urdf.stat().st_size > 20 * 1024 * 1024
    seq = position_config(_native, urdf).build()
    assert finite(seq.retarget(REF))


def test_directory_paths(tmp_path):
    (tmp_path / "toy.urdf").mkdir()
    config = position_config(_native, tmp_path / "toy.urdf")
    with pytest.raises(RuntimeError, match="^Failed to read URDF: Is a directory$"):
        config.build()
    with pytest.raises(ValueError, match="^Failed to read config: Is a directory$"):
        _native.RetargetingConfig.from_file(str(tmp_path))
    with pytest.raises(ValueError, match="^Failed to read config: Is a directory$"):
        _native.load_from_file(str(tmp_path))


def test_fifo_does_not_hang(tmp_path):
    fifo = tmp_path / "pipe.yml"
    os.mkfifo(fifo)
    with pytest.raises(ValueError, match="^Missing 'retargeting' key in config$"):
        _native.RetargetingConfig.from_file(str(fifo))
    config = position_config(_native, fifo)
    with pytest.raises(RuntimeError, match="^XML parse error: "):
        config.build()


def test_invalid_utf8_files(tmp_path):
    config_path = tmp_path / "bad.yml"
    config_path.write_bytes(b"retargeting:\n  type: position\xff\n")
    with pytest.raises(ValueError,
                       match="^Failed to read config: stream did not contain valid UTF-8$"):
        _native.RetargetingConfig.from_file(str(config_path))
    urdf = tmp_path / "bad.urdf"
    urdf.write_bytes(TWO_FINGER_URDF.encode().replace(b"toy", b"t\xc3\x28y"))
    with pytest.raises(RuntimeError,
                       match="^Failed to read URDF: stream did not contain valid UTF-8$"):
        position_config(_native, urdf).build()


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to drop privileges in a child")
def test_unreadable_file_as_another_user(tmp_path):
    # Permission bits do not stop root, so a forked child gives up root and reads the file.
    path = tmp_path / "secret.yml"
    path.write_text("retargeting:\n  type: dexpilot\n")
    path.chmod(0)
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            os.close(read_end)
            os.setgid(65534)
            os.setuid(65534)
            try:
                _native.RetargetingConfig.from_file(str(path))
                message = "(no error)"
            except ValueError as error:
                message = str(error)
            os.write(write_end, message.encode())
            status = 0
        finally:
            os._exit(status)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        message = pipe.read().decode()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert message == "Failed to read config: Permission denied"


def test_yaml_alias_bomb_and_deep_nesting(tmp_path):
    lines = ["a0: &a0 [x, x, x, x, x, x, x, x, x, x]"]
    for i in range(1, 12):
        lines.append(f"a{i}: &a{i} [" + ", ".join([f"*a{i - 1}"] * 10) + "]")
    lines.append("retargeting: {type: dexpilot, urdf_path: x, wrist_link_name: w, "
                 "finger_tip_link_names: [a, b]}")
    bomb = tmp_path / "bomb.yml"
    bomb.write_text("\n".join(lines) + "\n")
    with pytest.raises(ValueError, match="^YAML parse error: "):
        _native.load_from_file(str(bomb))
    deep = tmp_path / "deep.yml"
    deep.write_text("[" * 100000)
    with pytest.raises(ValueError, match="^YAML parse error: "):
        _native.load_from_file(str(deep))
