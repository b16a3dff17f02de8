"""Each constructor parameter: the forms it accepts and the errors for the forms it refuses."""

from __future__ import annotations

import array
import fractions
import os
import pathlib

import numpy as np
import pytest

from kova_rs import RetargetingConfig

BASE = dict(target_link_names=["a", "b"], target_link_human_indices=[4, 8])


def make(**overrides):
    kwargs = dict(BASE)
    kwargs.update(overrides)
    return RetargetingConfig("position", "hand.urdf", **kwargs)


def refused(name, value, *, reason_start=""):
    """Constructs with `name=value`; checks the prefixed TypeError and its chained cause."""
    with pytest.raises(TypeError) as info:
        make(**{name: value})
    message = str(info.value)
    assert message.startswith(f"argument '{name}': {reason_start}"), message
    cause = info.value.__cause__
    assert isinstance(cause, TypeError)
    assert message == f"argument '{name}': {cause}"
    assert info.value.args == (message,)
    return message


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Floaty:
    def __float__(self):
        return 2.5


# --- type and urdf_path -----------------------------------------------------------------------

@pytest.mark.parametrize("text, canonical", [("position", "position"), ("Position", "position"),
                                             ("POSITION", "position")])
def test_type_text_is_case_insensitive(text, canonical):
    assert RetargetingConfig(text, "hand.urdf", **BASE).type_ == canonical


def test_type_must_be_str():
    with pytest.raises(TypeError) as info:
        RetargetingConfig(1, "hand.urdf", **BASE)
    assert str(info.value) == "argument 'type': must be str, not int"


def test_unknown_type_is_value_error_with_lower_cased_text():
    with pytest.raises(ValueError) as info:
        RetargetingConfig("Fingers", "hand.urdf")
    assert info.value.args == ("Unknown retargeting type: fingers",)


def test_type_error_comes_before_any_validation():
    # urdf_path is empty, which validation would refuse; the type is reported first.
    with pytest.raises(ValueError, match="^Unknown retargeting type: x$"):
        RetargetingConfig("x", "")


def test_conversion_errors_come_before_the_type_text():
    with pytest.raises(TypeError, match="^argument 'scaling_factor'"):
        RetargetingConfig("nonsense", "hand.urdf", scaling_factor="1")


@pytest.mark.parametrize("value", [pathlib.Path("hand.urdf"), b"hand.urdf", None])
def test_urdf_path_must_be_str(value):
    with pytest.raises(TypeError, match="^argument 'urdf_path': "):
        RetargetingConfig("position", value, **BASE)


def test_empty_urdf_path_is_refused_by_validation():
    with pytest.raises(ValueError) as info:
        RetargetingConfig("position", "", **BASE)
    assert info.value.args == ("retargeting config: urdf_path must not be empty",)


# --- argument binding -------------------------------------------------------------------------

def test_keywords_for_the_positional_parameters():
    config = RetargetingConfig(urdf_path="hand.urdf", type="position", **BASE)
    assert (config.type_, config.urdf_path) == ("position", "hand.urdf")


def test_type_given_twice():
    with pytest.raises(TypeError, match="multiple values for argument 'type'"):
        RetargetingConfig("position", "hand.urdf", type="vector", **BASE)


def test_keyword_only_parameter_given_positionally():
    with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
        RetargetingConfig("position", "hand.urdf", 1.0, **BASE)


def test_missing_required_arguments():
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'urdf_path'"):
        RetargetingConfig("position", **BASE)
    with pytest.raises(TypeError,
                       match="missing 2 required positional arguments: 'type' and 'urdf_path'"):
        RetargetingConfig()


def test_unknown_keyword():
    with pytest.raises(TypeError, match="unexpected keyword argument 'scale'"):
        RetargetingConfig("position", "hand.urdf", scale=2.0, **BASE)


# --- booleans ---------------------------------------------------------------------------------

BOOLS = ["add_dummy_free_joint", "has_joint_limits", "ignore_mimic_joint"]


@pytest.mark.parametrize("name", BOOLS)
@pytest.mark.parametrize("value", [True, False, np.bool_(True), np.bool_(False)])
def test_bool_accepts_bool_and_numpy_bool(name, value):
    got = getattr(make(**{name: value}), name)
    assert type(got) is bool and got == bool(value)


@pytest.mark.parametrize("name", BOOLS)
@pytest.mark.parametrize("value", [1, 0, None, "true", 1.0, np.int64(1), np.array([True])])
def test_bool_refuses_everything_else(name, value):
    message = refused(name, value, reason_start="must be bool, not ")
    assert message.endswith(type(value).__name__)


# --- numbers ----------------------------------------------------------------------------------

FLOATS = ["scaling_factor", "normal_delta", "huber_delta", "project_dist", "escape_dist",
          "low_pass_alpha"]


@pytest.mark.parametrize("name", FLOATS)
@pytest.mark.parametrize("value, expected", [
    (0.25, 0.25), (3, 3.0), (True, 1.0), (np.float32(0.5), 0.5), (np.float64(1.5), 1.5),
    (np.int64(7), 7.0), (Index(4), 4.0), (Floaty(), 2.5), (fractions.Fraction(1, 4), 0.25),
    (float("nan"), None), (float("-inf"), float("-inf")),
])
def test_number_forms(name, value, expected):
    got = getattr(make(**{name: value}), name)
    assert type(got) is float
    if expected is None:
        assert got != got
    else:
        assert got == expected


@pytest.mark.parametrize("name", FLOATS)
@pytest.mark.parametrize("value", ["1.0", None, [1.0], 1j])
def test_number_refuses_non_numbers(name, value):
    refused(name, value)


def test_int_too_large_for_a_float_raises_overflow_error_unchanged():
    with pytest.raises(OverflowError) as info:
        make(scaling_factor=10**400)
    assert not str(info.value).startswith("argument")


# --- sequences of names -----------------------------------------------------------------------

NAME_LISTS = ["target_link_names", "target_joint_names", "target_origin_link_names",
              "target_task_link_names", "finger_tip_link_names"]


def dexpilot(**overrides):
    kwargs = dict(wrist_link_name="palm", finger_tip_link_names=["t1", "t2"])
    kwargs.update(overrides)
    return RetargetingConfig("dexpilot", "hand.urdf", **kwargs)


@pytest.mark.parametrize("name", NAME_LISTS)
@pytest.mark.parametrize("value", [["a", "b"], ("a", "b"), np.array(["a", "b"])])
def test_name_sequences_accept_any_sequence_of_str(name, value):
    got = getattr(dexpilot(**{name: value}), name)
    assert got == ["a", "b"] and type(got) is list


@pytest.mark.parametrize("name", NAME_LISTS)
def test_name_sequence_refuses_a_single_str(name):
    message = refused(name, "ab")
    assert message == f"argument '{name}': Can't extract `str` to `Vec`"


@pytest.mark.parametrize("name", NAME_LISTS)
@pytest.mark.parametrize("value", [["a", 1], [b"a"], {"a", "b"}, 5, iter(["a"])])
def test_name_sequence_refuses_non_sequences_and_non_str_items(name, value):
    refused(name, value)


def test_names_with_unicode_round_trip():
    config = dexpilot(finger_tip_link_names=["dé", "指"], wrist_link_name="ß")
    assert config.finger_tip_link_names == ["dé", "指"]
    assert config.wrist_link_name == "ß"


@pytest.mark.parametrize("value", [1, ["palm"], b"palm"])
def test_wrist_link_name_must_be_str(value):
    with pytest.raises(TypeError, match="^argument 'wrist_link_name': must be str"):
        dexpilot(wrist_link_name=value)


@pytest.mark.parametrize("name", ["wrist_link_name", *NAME_LISTS, "target_link_human_indices"])
def test_none_means_absent(name):
    # A position configuration does not need the DexPilot fields, and the other way round.
    dexpilot_fields = ("wrist_link_name", "finger_tip_link_names")
    config = make(**{name: None}) if name in dexpilot_fields else dexpilot(**{name: None})
    assert getattr(config, name) is None


# --- indices ----------------------------------------------------------------------------------

@pytest.mark.parametrize("value", [
    [4, 8], (4, 8), [[4], [8]], [[4, 8]], [[4], [], [8]], np.array([4, 8]),
    np.array([[4], [8]]), [Index(4), np.int64(8)], range(4, 9, 4), array.array("q", [4, 8]),
])
def test_indices_flat_and_nested_forms(value):
    assert make(target_link_human_indices=value).target_link_human_indices == [4, 8]


def test_indices_rows_of_any_lengths_are_concatenated():
    config = RetargetingConfig("vector", "hand.urdf", target_origin_link_names=["a", "b"],
                               target_task_link_names=["c", "d"],
                               target_link_human_indices=[[0], [1, 2], [3]])
    assert config.target_link_human_indices == [0, 1, 2, 3]


def test_indices_largest_unsigned_value():
    assert make(target_link_human_indices=[2**64 - 1, 0]).target_link_human_indices == [
        2**64 - 1, 0]


@pytest.mark.parametrize("value", [[-1, 8], [4.0, 8], "48", [2**64, 0], [[4], 8], [["4"], [8]],
                                   5, [[[4]], [[8]]]])
def test_indices_fitting_neither_form(value):
    message = refused("target_link_human_indices", value,
                      reason_start="failed to extract enum IndicesInput")
    lines = message.split("\n")
    assert len(lines) == 3
    assert lines[1].startswith("- Flat: ")
    assert lines[2].startswith("- Nested: ")


def test_indices_negative_value_reasons():
    message = refused("target_link_human_indices", [-1, 8])
    assert "- Flat: OverflowError: can't convert negative int to unsigned" in message


def test_indices_count_is_validated():
    with pytest.raises(ValueError) as info:
        make(target_link_human_indices=[4, 8, 12])
    assert info.value.args == (
        "position retargeting: target_link_human_indices has 3 entries but target_link_names "
        "has 2",)


# --- urdf_dir ---------------------------------------------------------------------------------

class StrPath(os.PathLike):
    def __fspath__(self):
        return "/some/where"


class BytesPath(os.PathLike):
    def __fspath__(self):
        return b"/some/where"


@pytest.mark.parametrize("value, expected", [
    ("/some/where", "/some/where"), (pathlib.Path("/some/where"), "/some/where"),
    (StrPath(), "/some/where"), ("relative/dir", "relative/dir"), ("", ""),
])
def test_urdf_dir_accepts_str_and_str_path_likes(value, expected):
    assert make(urdf_dir=value).urdf_dir == expected


@pytest.mark.parametrize("value", [b"/some/where", BytesPath(), 3, ["/x"]])
def test_urdf_dir_refuses_bytes_and_others(value):
    refused("urdf_dir", value)


def test_urdf_dir_undecodable_bytes_are_replaced_when_read_back():
    text = os.fsdecode(b"/tmp/\xff\xfe")
    assert make(urdf_dir=text).urdf_dir == "/tmp/\ufffd\ufffd"


# --- validation -------------------------------------------------------------------------------

def test_vector_without_origin_links_fails_at_construction():
    with pytest.raises(ValueError) as info:
        RetargetingConfig("vector", "hand.urdf", target_task_link_names=["a"],
                          target_link_human_indices=[0, 1])
    assert info.value.args == ("vector retargeting requires non-empty target_origin_link_names",)


def test_dexpilot_without_wrist_fails_at_construction():
    with pytest.raises(ValueError, match="^dexpilot retargeting requires wrist_link_name$"):
        dexpilot(wrist_link_name="")


def test_dexpilot_with_one_fingertip_passes_validation():
    assert dexpilot(finger_tip_link_names=["t"]).finger_tip_link_names == ["t"]
