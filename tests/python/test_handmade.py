"""The hand-made setups of real hands: clean for ``kova check``, and their DexPilot pinches close
as a careful setup must (tools/measure_hands.py reports the same numbers)."""

from pathlib import Path

import pytest
from kova_rs import Retargeter, human_hand
from kova_rs.cli.check import findings
from kova_rs.measures import robot_measures

HANDMADE = Path(__file__).resolve().parents[1] / "data" / "handmade"
HANDS = ("allegro", "shadow")


@pytest.mark.parametrize("hand", HANDS)
def test_a_hand_made_setup_is_clean_and_its_dexpilot_pinches_close(hand):
    for method in ("position", "vector", "dexpilot"):
        found = findings(HANDMADE / hand / f"{method}.yml")
        assert [f for f in found if f.severity != "note"] == [], (method, found)
    retargeter = Retargeter.from_config(HANDMADE / hand / "dexpilot.yml")
    result = retargeter.retarget_sequence(human_hand.demo_motion())
    measures = robot_measures(retargeter, result, human_hand.demo_keyframes())
    assert len(measures.pinch_gaps) == len(retargeter.fingertip_links) - 1
    assert max(measures.pinch_gaps.values()) < 0.010, measures.pinch_gaps
    assert abs(measures.fist_closure - 0.376) < 0.1, measures.fist_closure
