"""Hostile Python arguments: numbers whose conversion raises or returns the wrong type, sequences
that change while they are read, text that is not encodable. Each raises a clear exception (or
gives a well-defined result) and leaves the retargeter usable."""

import math
import warnings

import pytest

from kova_rs import _native
from hostile_support import REF, position_config, write_robot


@pytest.fixture
def seq(tmp_path):
    return position_config(_native, write_robot(tmp_path)).build()


class Boom(Exception):
    pass


class FloatRaises:
    def __float__(self):
        raise Boom("no float today")


class FloatReturnsText:
    def __float__(self):
        return "1.0"


class IndexRaises:
    def __index__(self):
        raise Boom("no index today")


class IndexReturnsFloat:
    def __index__(self):
        return 1.5


class FloatSubclass(float):
    pass


class FloatReturnsSubclass:
    def __float__(self):
        return FloatSubclass(0.5)


class GoodNumber:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return float(self.value)


class GoodIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def assert_usable(seq):
    q = seq.retarget(REF)
    assert len(q) == len(seq.joint_names)
    assert all(math.isfinite(v) for v in q)


def test_float_that_raises_propagates_unchanged(seq):
    with pytest.raises(Boom, match="no float today"):
        seq.retarget(REF[:-1] + [FloatRaises()])
    assert_usable(seq)


def test_float_returning_text_is_a_type_error(seq):
    with pytest.raises(TypeError, match=r"^argument 'ref_value': .*__float__ returned non-float"):
        seq.retarget(REF[:-1] + [FloatReturnsText()])
    with pytest.raises(TypeError, match=r"^argument 'robot_qpos': "):
        seq.set_qpos([FloatReturnsText()] * len(seq.joint_names))
    assert_usable(seq)


def test_float_returning_a_float_subclass_warns_then_converts(seq):
    with pytest.warns(DeprecationWarning):
        q = seq.retarget(REF[:-1] + [FloatReturnsSubclass()])
    assert len(q) == len(seq.joint_names)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            seq.retarget(REF[:-1] + [FloatReturnsSubclass()])
    assert_usable(seq)


def test_objects_defining_float_or_index_are_numbers(tmp_path):
    urdf = write_robot(tmp_path)
    fresh = lambda: position_config(_native, urdf).build()  # noqa: E731
    assert fresh().retarget([GoodNumber(v) for v in REF]) == fresh().retarget(REF)
    assert fresh().retarget([GoodIndex(0)] * 6) == fresh().retarget([0.0] * 6)


def test_index_that_raises_or_returns_a_float(tmp_path):
    urdf = write_robot(tmp_path)
    with pytest.raises(TypeError, match=r"^argument 'target_link_human_indices': "
                                        r"failed to extract enum IndicesInput") as raised:
        position_config(_native, urdf, target_link_human_indices=[IndexRaises(), 8])
    assert "Boom: no index today" in str(raised.value)
    with pytest.raises(TypeError, match=r"__index__ returned non-int"):
        position_config(_native, urdf, target_link_human_indices=[IndexReturnsFloat(), 8])
    config = position_config(_native, urdf, target_link_human_indices=[GoodIndex(4), GoodIndex(8)])
    assert config.target_link_human_indices == [4, 8]


def test_float_parameter_that_raises(tmp_path):
    urdf = write_robot(tmp_path)
    with pytest.raises(Boom):
        position_config(_native, urdf, scaling_factor=FloatRaises())
    with pytest.raises(TypeError, match=r"^argument 'huber_delta': "):
        position_config(_native, urdf, huber_delta=FloatReturnsText())
    with pytest.raises(TypeError, match=r"^argument 'low_pass_alpha': "):
        position_config(_native, urdf, low_pass_alpha=IndexReturnsFloat())


def test_huge_integers_overflow(seq, tmp_path):
    with pytest.raises(OverflowError):
        seq.retarget(REF[:-1] + [10**400])
    with pytest.raises(TypeError, match="IndicesInput"):
        position_config(_native, write_robot(tmp_path), target_link_human_indices=[2**64, 8])
    assert_usable(seq)


class ShrinkingSequence:
    """Claims a length, then fails part way through: its items vanish while they are read."""

    def __init__(self, items, vanish_at):
        self.items = list(items)
        self.vanish_at = vanish_at

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        if index == self.vanish_at:
            del self.items[index:]
        return self.items[index]


class GrowingSequence:
    """Its length grows every time it is asked."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        self.items.append(0.0)
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


class ClearsListOnFloat:
    """A number that empties the list holding it when it is converted."""

    def __init__(self, owner):
        self.owner = owner

    def __float__(self):
        self.owner.clear()
        return 0.0


def test_sequence_shrinking_while_read_raises_index_error(seq):
    with pytest.raises(IndexError):
        seq.retarget(ShrinkingSequence(REF, vanish_at=3))
    with pytest.raises(IndexError):
        seq.set_qpos(ShrinkingSequence([0.0] * len(seq.joint_names), vanish_at=1))
    assert_usable(seq)


def test_sequence_growing_while_read_uses_the_length_it_reported(seq, tmp_path):
    reference = position_config(_native, write_robot(tmp_path)).build()
    growing = GrowingSequence(REF)
    assert seq.retarget(growing) == reference.retarget(REF + [0.0])
    assert_usable(seq)


def test_list_emptied_by_one_of_its_items(seq):
    ref = list(REF)
    ref[2] = ClearsListOnFloat(ref)
    with pytest.raises(IndexError):
        seq.retarget(ref)
    assert ref == []
    assert_usable(seq)


def test_strings_are_not_sequences(seq):
    with pytest.raises(TypeError, match=r"^argument 'ref_value': Can't extract `str` to `Vec`$"):
        seq.retarget("1.0, 2.0, 3.0")
    with pytest.raises(TypeError, match=r"^argument 'link_names': Can't extract `str` to `Vec`$"):
        seq.link_positions([0.0] * len(seq.joint_names), "a2")
    with pytest.raises(TypeError, match=r"^argument 'ref_value': "):
        seq.retarget([REF[:3], REF[3:]])
    assert_usable(seq)


def test_lone_surrogates_cannot_be_encoded(seq, tmp_path):
    with pytest.raises(UnicodeEncodeError):
        seq.link_positions([0.0] * len(seq.joint_names), ["a2\udcff"])
    with pytest.raises(UnicodeEncodeError):
        _native.RetargetingConfig("position\ud800", "x.urdf")
    # In a path a lone surrogate stands for an undecodable byte of a file name.
    with pytest.raises(ValueError, match="^Failed to read config: No such file or directory$"):
        _native.RetargetingConfig.from_file(str(tmp_path / "config\udcff.yml"))
    assert_usable(seq)


def test_undecodable_file_name_as_urdf_dir_is_accepted(tmp_path):
    # A file-system path that is not UTF-8 is still a path: it is kept as bytes.
    config = position_config(_native, "toy.urdf", urdf_dir=str(tmp_path) + "/\udcff")
    assert config.urdf_dir.endswith("\ufffd")
    with pytest.raises(RuntimeError, match="^URDF path toy.urdf does not exist"):
        config.build()


def test_wrong_kinds_everywhere_leave_no_error_pending(seq):
    for bad in (None, 1.5, object(), {"x": 1.0}, {1.0, 2.0}):
        with pytest.raises(TypeError):
            seq.retarget(bad)
        with pytest.raises(TypeError):
            seq.set_qpos(bad)
    with pytest.raises(TypeError):
        seq.retarget(REF, fixed_qpos="0.0")
    with pytest.raises(TypeError):
        seq.link_positions([0.0] * len(seq.joint_names), [1, 2])
    assert_usable(seq)
