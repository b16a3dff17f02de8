"""An internal fault inside a SeqRetargeting call poisons that object, and only that object."""

from __future__ import annotations

import pytest

from conftest import ALLEGRO_TIPS, MAKERS, row_count
from kova_rs import PanicException

POISONED = "SeqRetargeting lock poisoned"


def poison(seq, kind):
    """Retargets a reference one row short; returns the internal fault."""
    short = [0.01] * (3 * row_count(kind) - 3)
    with pytest.raises(PanicException) as info:
        try:
            seq.retarget(short)
        except Exception as error:  # the fault must not be an Exception
            pytest.fail(f"caught by except Exception: {error!r}")
    return info.value


MEMBERS = {
    "retarget": lambda s, kind: s.retarget([0.0] * (3 * row_count(kind))),
    "reset": lambda s, kind: s.reset(),
    "set_qpos": lambda s, kind: s.set_qpos([0.0] * 16),
    "get_qpos": lambda s, kind: s.get_qpos(),
    "joint_names": lambda s, kind: s.joint_names,
    "link_names": lambda s, kind: s.link_names,
    "link_positions": lambda s, kind: s.link_positions([0.0] * 16, ["base_link"]),
    "fixed_dof": lambda s, kind: s.fixed_dof,
    "target_dof": lambda s, kind: s.target_dof,
}


@pytest.mark.parametrize("kind", list(MAKERS))
def test_short_reference_is_an_internal_fault(allegro, kind):
    fault = poison(MAKERS[kind](allegro).build(), kind)
    assert len(fault.args) == 1 and isinstance(fault.args[0], str) and fault.args[0]


@pytest.mark.parametrize("kind", list(MAKERS))
def test_empty_reference_is_an_internal_fault(allegro, kind):
    seq = MAKERS[kind](allegro).build()
    with pytest.raises(PanicException):
        seq.retarget([])


@pytest.mark.parametrize("member", list(MEMBERS))
@pytest.mark.parametrize("kind", list(MAKERS))
def test_every_member_refuses_after_a_fault(allegro, kind, member):
    seq = MAKERS[kind](allegro).build()
    poison(seq, kind)
    for _ in range(2):  # stays poisoned
        with pytest.raises(RuntimeError) as info:
            MEMBERS[member](seq, kind)
        assert info.value.args == (POISONED,)


def test_argument_errors_still_come_first_on_a_poisoned_object(allegro):
    seq = MAKERS["position"](allegro).build()
    poison(seq, "position")
    with pytest.raises(TypeError, match="^argument 'ref_value': "):
        seq.retarget("x")
    with pytest.raises(TypeError, match="missing 1 required positional argument"):
        seq.set_qpos()


def test_reported_errors_do_not_poison(allegro):
    seq = MAKERS["position"](allegro).build()
    for _ in range(3):
        with pytest.raises(ValueError):
            seq.link_positions([0.0] * 16, ["nope"])
        with pytest.raises(ValueError):
            seq.link_positions([0.0] * 3, ALLEGRO_TIPS)
        with pytest.raises(TypeError):
            seq.retarget("x")
    assert len(seq.retarget([0.0] * 12)) == 16


def test_poisoning_is_per_object(allegro):
    config = MAKERS["position"](allegro)
    poisoned, healthy = config.build(), config.build()
    poison(poisoned, "position")
    assert len(healthy.retarget([0.0] * 12)) == 16
    assert len(config.build().get_qpos()) == 16
    with pytest.raises(RuntimeError, match=f"^{POISONED}$"):
        poisoned.get_qpos()
