"""RetargetingConfig.from_file and load_from_file: YAML configurations and their messages."""

from __future__ import annotations

import pathlib

import pytest

from conftest import ALLEGRO_TIPS, write_yaml
from kova_rs import RetargetingConfig, load_from_file

LOADERS = [RetargetingConfig.from_file, load_from_file]

POSITION_YAML = """\
    retargeting:
      type: Position
      urdf_path: {urdf}
      target_link_names: [link_3.0_tip, link_7.0_tip, link_11.0_tip, link_15.0_tip]
      target_link_human_indices: [4, 8, 12, 16]
      scaling_factor: 1.5
      low_pass_alpha: 0.2
    """


@pytest.mark.parametrize("load", LOADERS)
def test_reads_a_configuration(tmp_path, load):
    path = write_yaml(tmp_path, POSITION_YAML.format(urdf="hand.urdf"))
    config = load(str(path))
    assert isinstance(config, RetargetingConfig)
    assert config.type_ == "position"
    assert config.urdf_path == "hand.urdf"
    assert config.target_link_names == ALLEGRO_TIPS
    assert config.target_link_human_indices == [4, 8, 12, 16]
    assert config.scaling_factor == 1.5
    assert config.low_pass_alpha == 0.2
    assert config.huber_delta == 0.02  # default
    assert config.urdf_dir == str(tmp_path)  # the configuration's directory


@pytest.mark.parametrize("load", LOADERS)
def test_keyword_argument(tmp_path, load):
    path = write_yaml(tmp_path, POSITION_YAML.format(urdf="hand.urdf"))
    assert load(path=str(path)).urdf_path == "hand.urdf"


@pytest.mark.parametrize("load", LOADERS)
@pytest.mark.parametrize("value", [pathlib.Path("config.yml"), b"config.yml", 3, None])
def test_path_must_be_str(load, value):
    with pytest.raises(TypeError) as info:
        load(value)
    assert str(info.value).startswith("argument 'path': ")
    assert isinstance(info.value.__cause__, TypeError)


@pytest.mark.parametrize("load", LOADERS)
def test_argument_count(load):
    with pytest.raises(TypeError):
        load()
    with pytest.raises(TypeError):
        load("a.yml", "b.yml")
    with pytest.raises(TypeError, match="unexpected keyword argument 'file'"):
        load(file="a.yml")


@pytest.mark.parametrize("load", LOADERS)
def test_missing_file(tmp_path, load):
    with pytest.raises(ValueError) as info:
        load(str(tmp_path / "absent.yml"))
    assert len(info.value.args) == 1
    assert info.value.args[0].startswith("Failed to read config: ")


@pytest.mark.parametrize("load", LOADERS)
@pytest.mark.parametrize("text, message", [
    ("retargeting: [unclosed\n", "YAML parse error: "),
    ("a: 1\na: 2\n", "YAML parse error: "),
    ("other: 1\n", "Missing 'retargeting' key in config"),
    ("- 1\n", "Missing 'retargeting' key in config"),
    ("retargeting:\n  urdf_path: x.urdf\n", "Missing 'type' in retargeting config"),
    ("retargeting:\n  type: 3\n", "Missing 'type' in retargeting config"),
    ("retargeting:\n  type: Fingers\n", "Unknown retargeting type: fingers"),
    ("retargeting:\n  type: position\n", "retargeting config: urdf_path must not be empty"),
    ("retargeting:\n  type: position\n  urdf_path: x.urdf\n",
     "position retargeting requires non-empty target_link_names"),
    ("retargeting:\n  type: dexpilot\n  urdf_path: x.urdf\n  finger_tip_link_names: [a, b]\n",
     "dexpilot retargeting requires wrist_link_name"),
])
def test_messages(tmp_path, load, text, message):
    path = write_yaml(tmp_path, text)
    with pytest.raises(ValueError) as info:
        load(str(path))
    assert len(info.value.args) == 1
    if message.endswith(": "):
        assert info.value.args[0].startswith(message)
    else:
        assert info.value.args[0] == message


def test_invalid_utf8_file(tmp_path):
    path = tmp_path / "bad.yml"
    path.write_bytes(b"retargeting:\n  type: \xff\n")
    with pytest.raises(ValueError, match="^Failed to read config: "):
        load_from_file(str(path))


def test_both_loaders_agree(tmp_path):
    path = str(write_yaml(tmp_path, POSITION_YAML.format(urdf="x.urdf")))
    assert repr(load_from_file(path)) == repr(RetargetingConfig.from_file(path))
    assert RetargetingConfig.from_file(path).target_link_names == \
        load_from_file(path).target_link_names
