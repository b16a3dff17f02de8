"""The installed distribution describes itself: one version everywhere, the licence shipped."""

import os
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


def configure_without(tmp_path, *, packages: bool):
    """Configures the source tree with pkg-config's libraries (and CMake packages) out of reach."""
    hide = ["-DCMAKE_FIND_ROOT_PATH=/nonexistent", "-DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY"]
    return subprocess.run(
        ["cmake", "-S", str(ROOT), "-B", str(tmp_path / "build"), "-DKOVA_BUILD_TESTS=OFF",
         "-DKOVA_BUILD_EXAMPLES=OFF", *(hide if packages else [])],
        env={"PATH": os.environ["PATH"], "PKG_CONFIG_LIBDIR": str(tmp_path / "none")},
        check=False, capture_output=True, text=True, timeout=300)


def test_source_build_without_the_libraries_says_what_to_install(tmp_path):
    run = configure_without(tmp_path, packages=True)
    assert run.returncode != 0
    assert run.stderr.count("CMake Error") == 1, run.stderr
    text = " ".join(run.stderr.split())
    assert "not found: Eigen 3, pugixml, NLopt, libyaml." in text
    for command in ("sudo apt-get install libeigen3-dev libpugixml-dev libnlopt-dev libyaml-dev",
                    "sudo dnf install eigen3-devel pugixml-devel NLopt-devel libyaml-devel",
                    "brew install eigen pugixml nlopt libyaml",
                    "conda install -c conda-forge eigen pugixml nlopt yaml"):
        assert command in text


def test_source_build_names_only_what_is_missing(tmp_path):
    run = configure_without(tmp_path, packages=False)
    text = " ".join(run.stderr.split())
    assert "not found: NLopt, libyaml." in text, run.stderr
    assert "sudo apt-get install libnlopt-dev libyaml-dev " in text
