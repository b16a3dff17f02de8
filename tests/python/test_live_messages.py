"""The JSON frames and commands of the live loop, read and written by the core."""

from __future__ import annotations

import json
import math

import numpy as np
import pytest
from kova_rs.live import Command
from kova_rs.live.messages import MalformedMessage, Request, decode, encode_command

ROW = "[0.1, -2, 3e-1]"
FRAME = '{"seq": 4, "t": 1.5, "keypoints": [' + ", ".join([ROW] * 21) + "]}"


def test_frames_read_as_pythons_json_module_reads_them():
    pose = [[1, 0, 0, 0.5], [0, 1, 0, -1e-3], [0, 0, 1, 2E2], [0, 0, 0, 1]]
    cases = [
        FRAME,
        ' \n{"t": 2, "x": {"a": [1, "\\u00e9\\n"]}, "keypoints": [[NaN, null, -Infinity],'
        ' [1e999, -0.0, 5e-400]], "seq": 18446744073709551615}\t',
        json.dumps({"seq": 0, "t": 0.25, "poses": [pose, sum(pose, [])]}),
    ]
    for text in cases:
        frame = decode(text.encode())
        expected = json.loads(text)
        rows = expected.get("keypoints", expected.get("poses"))
        assert (frame.seq, frame.t) == (expected["seq"], expected["t"])
        want = np.array([np.ravel(np.array(r, dtype=np.float64)) for r in rows])
        np.testing.assert_array_equal(frame.values, want)
    assert decode(b'{"seq": 1, "t": 1, "keypoints": []}').values is None
    assert decode(b'{"seq": 1, "t": 1, "poses": null}').values is None
    assert decode(b'{"seq": 1, "t": 1}').values is None
    assert decode(b'{"request": "joint_names", "seq": "any"}') == Request("joint_names")


@pytest.mark.parametrize("text, why", [
    (FRAME[:-9], "not JSON"),  # truncated
    (FRAME + "}", "extra data"),
    (FRAME.replace("[0.1", "[0.1,", 1), "not JSON"),
    ('{"seq": 1, "t": 1, "keypoints": [[1, 2, 3], [1, 2]]}', "rows of 3 numbers"),
    ('{"seq": 1, "t": 1, "keypoints": [[1, 2, 3, 4]]}', "rows of 3 numbers"),
    ('{"seq": 1, "t": 1, "keypoints": [[1, true, 3]]}', "rows of 3 numbers"),
    ('{"seq": 1, "t": 1, "keypoints": [["1", 2, 3]]}', "rows of 3 numbers"),
    ('{"seq": 1, "t": 1, "keypoints": [1, 2, 3]}', "rows of 3 numbers"),
    ('{"seq": 1, "t": 1, "poses": [[[1, 2, 3, 4], 5]]}', "rows of 16 numbers"),
    ('{"seq": 1, "t": 1, "keypoints": [], "poses": []}', "not both"),
    ('{"seq": 1, "t": 1, "seq": 2}', "appears twice"),
    ('{"seq": 1.0, "t": 1}', "seq must be an integer"),
    ('{"seq": -1, "t": 1}', "seq must be an integer"),
    ('{"seq": 18446744073709551616, "t": 1}', "seq must be an integer"),
    ('{"t": 1}', "seq must be an integer"),
    ('{"seq": 1, "t": "now"}', "t must be a finite"),
    ('{"seq": 1, "t": NaN}', "t must be a finite"),
    ('{"seq": 1, "t": 1e400}', "t must be a finite"),
    ('{"seq": 1, "t": ' + "9" * 400 + "}", "t must be a finite"),  # json + float() raised here
    ('{"seq": 1, "t": 1, "junk": [[[[1]]]]}', "nested deeper"),
    ('{"seq": 1, "t": 1, "keypoints": [[[[[1]]]]]}', "nested deeper"),
    ("[" * 30000, "must be an object"),
    ('{"seq": 1, "t": 01}', "not JSON"),
    ('{"seq": 1, "t": -Nan}', "not JSON"),
    ('{"seq": 1, "t": 1, "k": "a\x01"}', "control character"),
    ('{"request": "everything"}', "unknown request"),
    ('{"request": 7}', "unknown request"),
    (b'{"seq": 1, "t": 1, "k": "\xff"}', "UTF-8"),
    (b" " * 40000, "at most"),  # huge
])
def test_malformed_frames_are_refused_with_the_reason(text, why):
    with pytest.raises(MalformedMessage, match=why):
        decode(text if isinstance(text, bytes) else text.encode())


def test_commands_are_written_as_pythons_json_module_writes_them():
    rng = np.random.default_rng(3)
    specials = [0.0, -0.0, 1.0, 0.1, 1e-5, 1e-4, 1e15, 1e16, 5e-324, 1.7976931348623157e308,
                123456.789, -math.pi, math.nan, math.inf]
    values = np.concatenate([specials, rng.normal(size=200), 10 ** rng.uniform(-30, 30, 200)])
    for qpos in np.split(values, 18):
        for error, status in ((float(qpos[0]), "ok"), (math.nan, "held")):
            command = Command(2**64 - 1, float(qpos[1]), float(qpos[2]), qpos, error, status,
                              float(qpos[-1]))
            text = encode_command(command, ["a", "é"], clock=lambda: 1.25)
            expected = json.dumps({
                "seq": command.seq, "t": command.t, "t_recv": command.t_recv,
                "t_solve": command.t_solve, "qpos": qpos.tolist(),
                "error": None if math.isnan(error) else error, "status": status,
                "joint_names": ["a", "é"], "t_send": 1.25})
            assert text == expected.encode()
