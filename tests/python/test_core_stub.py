"""The committed type stub of kova_rs._core is what nanobind's stubgen writes for the built module
(`make stubs` writes it anew)."""

import subprocess
import sys
from pathlib import Path

import kova_rs


def test_the_committed_stub_matches_the_module(tmp_path):
    written = tmp_path / "_core.pyi"
    subprocess.run([sys.executable, "-m", "nanobind.stubgen", "-q", "-m", "kova_rs._core",
                    "-o", str(written)], check=True, timeout=120)
    committed = Path(kova_rs.__file__).with_name("_core.pyi")
    assert committed.read_text() == written.read_text(), "run `make stubs` and commit the stub"
