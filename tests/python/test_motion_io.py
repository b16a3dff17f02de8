"""Reading recordings and writing results: formats, and one clear message per mistake."""

import os
import re
import zipfile

import numpy as np
import pytest

from kova_rs import safe_read
from kova_rs.motion_io import load_motion, load_result, save_result
from kova_rs.retargeter import RetargetResult
from unprivileged import as_unprivileged, shared_folder


@pytest.fixture
def motion():
    return np.random.default_rng(0).normal(size=(4, 21, 3))


class TestFormats:
    def test_npy_round_trip(self, tmp_path, motion):
        np.save(tmp_path / "m.npy", motion)
        out = load_motion(tmp_path / "m.npy")
        assert out.dtype == np.float64
        np.testing.assert_array_equal(out, motion)

    def test_flat_rows_of_63_are_accepted(self, tmp_path, motion):
        np.save(tmp_path / "m.npy", motion.reshape(4, 63).astype(np.float32))
        np.testing.assert_allclose(load_motion(str(tmp_path / "m.npy")), motion, rtol=1e-6)

    def test_single_frame_becomes_a_sequence_of_one(self, tmp_path, motion):
        np.save(tmp_path / "one.npy", motion[0])
        assert load_motion(tmp_path / "one.npy").shape == (1, 21, 3)

    def test_npz_with_one_array_or_a_keypoints_array(self, tmp_path, motion):
        np.savez(tmp_path / "a.npz", anything=motion)
        np.testing.assert_array_equal(load_motion(tmp_path / "a.npz"), motion)
        np.savez(tmp_path / "b.npz", keypoints=motion, fps=np.array(30.0))
        np.testing.assert_array_equal(load_motion(tmp_path / "b.npz"), motion)

    def test_csv_with_header_comments_and_blank_lines(self, tmp_path, motion):
        lines = ["# recorded by a test", ",".join(f"c{i}" for i in range(63))]
        for frame in motion:
            lines += [",".join(repr(float(v)) for v in frame.ravel()), ""]
        (tmp_path / "m.csv").write_text("\n".join(lines))
        np.testing.assert_array_equal(load_motion(tmp_path / "m.csv"), motion)

    def test_csv_separated_by_blanks(self, tmp_path, motion):
        text = "\n".join(" ".join(repr(float(v)) for v in f.ravel()) for f in motion)
        (tmp_path / "m.csv").write_text(text)
        np.testing.assert_array_equal(load_motion(tmp_path / "m.csv"), motion)


class TestMistakes:
    def check(self, path, pattern):
        with pytest.raises(ValueError) as info:
            load_motion(path)
        message = str(info.value)
        assert message.startswith(str(path)), message
        assert "\n" not in message
        assert pytest.importorskip("re").search(pattern, message), message

    def test_missing_file(self, tmp_path):
        self.check(tmp_path / "nope.npy", "no such file")

    def test_directory(self, tmp_path):
        (tmp_path / "d.npy").mkdir()
        self.check(tmp_path / "d.npy", "is a directory")

    def test_unsupported_suffix(self, tmp_path):
        (tmp_path / "m.txt").write_text("1 2 3")
        self.check(tmp_path / "m.txt", r"unsupported motion format '\.txt'")

    def test_wrong_shape(self, tmp_path):
        np.save(tmp_path / "m.npy", np.zeros((5, 20, 3)))
        self.check(tmp_path / "m.npy", r"shape \(N, 21, 3\).*got \(5, 20, 3\)")

    def test_empty_recording(self, tmp_path):
        np.save(tmp_path / "m.npy", np.zeros((0, 21, 3)))
        self.check(tmp_path / "m.npy", "no frames")

    def test_text_array(self, tmp_path):
        np.save(tmp_path / "m.npy", np.array(["a", "b"]))
        self.check(tmp_path / "m.npy", "expected numbers")

    def test_not_finite(self, tmp_path, motion):
        motion[2, 7, 1] = np.nan
        np.save(tmp_path / "m.npy", motion)
        self.check(tmp_path / "m.npy", "frame 2, landmark 7 is not a finite number")

    def test_corrupt_npy(self, tmp_path):
        (tmp_path / "m.npy").write_bytes(b"definitely not numpy")
        self.check(tmp_path / "m.npy", "not a readable .npy file")

    def test_corrupt_npz(self, tmp_path):
        (tmp_path / "m.npz").write_bytes(b"PK\x03\x04broken")
        self.check(tmp_path / "m.npz", "not a readable .npz file")

    def test_npz_with_several_unnamed_arrays(self, tmp_path, motion):
        np.savez(tmp_path / "m.npz", a=motion, b=motion)
        self.check(tmp_path / "m.npz", "holds arrays a, b; name the recording 'keypoints'")

    def test_csv_with_a_short_line(self, tmp_path):
        (tmp_path / "m.csv").write_text(",".join(["0"] * 63) + "\n" + ",".join(["0"] * 62))
        self.check(tmp_path / "m.csv", "line 2 has 62 numbers, expected 63")

    def test_csv_with_a_word_in_the_data(self, tmp_path):
        (tmp_path / "m.csv").write_text(",".join(["0"] * 63) + "\n" + "x," * 62 + "0")
        self.check(tmp_path / "m.csv", "line 2 holds something that is not a number")

    def test_csv_without_frames(self, tmp_path):
        (tmp_path / "m.csv").write_text("# nothing\n\n")
        self.check(tmp_path / "m.csv", "no frames")


class TestResults:
    def result(self):
        rng = np.random.default_rng(2)
        return RetargetResult(rng.normal(size=(6, 3)), ["j1", "j2", "j3"],
                              rng.random(size=(6, 2)), "vector", ["a->b", "a->c"])

    def test_save_and_load_round_trip(self, tmp_path):
        result = self.result()
        written = save_result(tmp_path / "r.npz", result)
        data = load_result(written)
        np.testing.assert_array_equal(data["qpos"], result.qpos)
        np.testing.assert_array_equal(data["errors"], result.errors)
        assert data["joint_names"] == ["j1", "j2", "j3"]
        assert str(data["method"]) == "vector"

    def test_plain_numpy_reads_the_archive(self, tmp_path):
        save_result(tmp_path / "r.npz", self.result())
        with np.load(tmp_path / "r.npz", allow_pickle=False) as archive:
            assert list(archive["joint_names"]) == ["j1", "j2", "j3"]
            assert archive["qpos"].shape == (6, 3)

    def test_missing_folder_and_wrong_suffix(self, tmp_path):
        with pytest.raises(ValueError, match="does not exist"):
            save_result(tmp_path / "no" / "r.npz", self.result())
        with pytest.raises(ValueError, match="ending in .npz"):
            save_result(tmp_path / "r.npy", self.result())

    def test_load_result_refuses_other_archives(self, tmp_path):
        np.savez(tmp_path / "x.npz", keypoints=np.zeros((1, 21, 3)))
        with pytest.raises(ValueError, match="no 'qpos' array"):
            load_result(tmp_path / "x.npz")


def refused(path, pattern):
    """load_motion refuses ``path`` with one line ``PATH: PROBLEM`` matching ``pattern``."""
    with pytest.raises(ValueError) as info:
        load_motion(path)
    message = str(info.value)
    assert message.startswith(f"{path}: ") and "\n" not in message, message
    assert re.search(pattern, message), message


def npy_with_header(path, header: str, data: bytes = b""):
    text = header.ljust(118) + "\n"
    path.write_bytes(b"\x93NUMPY\x01\x00" + len(text).to_bytes(2, "little") + text.encode() + data)
    return path


class TestHostileFiles:
    def test_a_named_pipe_or_a_device_is_refused_without_blocking(self, tmp_path):
        for suffix in (".npy", ".npz", ".csv"):
            os.mkfifo(tmp_path / f"pipe{suffix}")
            refused(tmp_path / f"pipe{suffix}", "is a named pipe, not a motion file")
        (tmp_path / "zero.csv").symlink_to("/dev/zero")
        refused(tmp_path / "zero.csv", "is a character device")

    def test_a_symbolic_link_loop_is_named(self, tmp_path):
        (tmp_path / "loop.npy").symlink_to(tmp_path / "loop.npy")
        refused(tmp_path / "loop.npy", "loop of symbolic links")

    def test_array_headers_are_checked_before_any_data_is_read(self, tmp_path):
        broken = npy_with_header(tmp_path / "broken.npy",
                                 "{'descr': '<f8', 'fortran_order': False, 'shape': (1, 21, 3")
        refused(broken, r"damaged \.npy header")
        huge = npy_with_header(tmp_path / "huge.npy", "{'descr': '<f8', 'fortran_order': False, "
                                                      "'shape': (1000000000, 21, 3), }")
        refused(huge, "holds 1000000000 frames; recordings are read up to 1000000 frames")
        short = npy_with_header(tmp_path / "short.npy", "{'descr': '<f8', 'fortran_order': "
                                                        "False, 'shape': (10, 21, 3), }", b"x" * 80)
        refused(short, "is cut short: its header promises 5040 bytes of data, 80 follow")
        objects = npy_with_header(tmp_path / "objects.npy", "{'descr': '|O', 'fortran_order': "
                                                            "False, 'shape': (2, 63), }")
        refused(objects, "holds object data")
        (tmp_path / "junk.npy").write_bytes(b"\x80\x04 not numpy at all")
        refused(tmp_path / "junk.npy", r"not a readable \.npy file \(no \.npy header\)")

    def test_a_compressed_member_is_not_expanded_beyond_the_limit(self, tmp_path, monkeypatch):
        # a frame over the limit of zeros: 504 MB expanded, a few MB compressed
        frames = 1_000_001
        path = tmp_path / "bomb.npz"
        header = f"{{'descr': '<f8', 'fortran_order': False, 'shape': ({frames}, 21, 3), }}"
        text = header.ljust(118) + "\n"
        with (zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as archive,
              archive.open("keypoints.npy", "w", force_zip64=True) as member):
            member.write(b"\x93NUMPY\x01\x00" + len(text).to_bytes(2, "little") + text.encode())
            zeros = bytes(16 * 1024**2)
            for _ in range(frames * 63 * 8 // len(zeros) + 1):
                member.write(zeros)
        assert path.stat().st_size < 4 * 1024**2
        refused(path, "holds 1000001 frames; recordings are read up to 1000000 frames")
        monkeypatch.setattr(safe_read, "MAX_FILE_BYTES", 10**5)
        np.savez_compressed(tmp_path / "big.npz", keypoints=np.zeros((1000, 21, 3)))
        # the expanded size is what counts, not the few kilobytes it takes compressed
        refused(tmp_path / "big.npz", "array 'keypoints' expands to 504128 bytes")

    def test_csv_byte_order_mark_header_and_typos(self, tmp_path):
        rows = np.arange(2 * 63, dtype=float).reshape(2, 63)
        body = "\n".join(",".join(repr(float(v)) for v in row) for row in rows)
        (tmp_path / "bom.csv").write_bytes(b"\xef\xbb\xbf" + body.encode())
        np.testing.assert_array_equal(load_motion(tmp_path / "bom.csv").reshape(2, 63), rows)
        header = ",".join(f"{axis}{i}" for i in range(21) for axis in "xyz")
        (tmp_path / "named.csv").write_text(header + "\n" + body)
        assert load_motion(tmp_path / "named.csv").shape == (2, 21, 3)
        typo = body.replace("5.0", "5..0", 1)
        (tmp_path / "typo.csv").write_text(typo)
        refused(tmp_path / "typo.csv", r"line 1 holds something that is not a number \('5..0'\)")

    def test_an_unreadable_file_is_a_one_line_error(self):
        with shared_folder() as folder:
            for name in ("m.csv", "m.npy"):
                np.save(folder / "m.npy", np.zeros((2, 21, 3)))
                (folder / "m.csv").write_text(",".join(["0"] * 63))
                (folder / name).chmod(0)
                with pytest.raises(ValueError, match=f"{name}: permission denied$"):
                    as_unprivileged(load_motion, folder / name)
