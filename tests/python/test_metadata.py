"""The installed distribution describes itself: one version everywhere, the licence shipped."""

import subprocess
import sys
from importlib import metadata
from pathlib import Path

import kova_rs
from kova_rs import _native

ROOT = Path(__file__).resolve().parents[2]


def test_one_version_from_the_version_file():
    version = (ROOT / "VERSION").read_text(encoding="utf-8").strip()
    assert metadata.version("kova_rs") == version
    assert _native.__version__ == version
    assert kova_rs.__version__ == version
    run = subprocess.run([sys.executable, "-m", "kova_rs", "--version"], check=False,
                         capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout, run.stderr) == (0, f"kova {version}\n", "")


def test_licence_and_extras_in_the_metadata():
    dist = metadata.distribution("kova_rs")
    assert dist.metadata["License-Expression"] == "BSD-3-Clause"
    licence = next(f for f in dist.files if f.name == "LICENSE")
    assert licence.read_text() == (ROOT / "LICENSE").read_text(encoding="utf-8")
    assert {"plot", "progress", "dask", "view", "live", "all"} <= set(
        dist.metadata.get_all("Provides-Extra"))
    # plots and progress bars are optional: only NumPy is required
    assert [r for r in dist.requires if "extra ==" not in r] == ["numpy>=1.23"]
