"""The installed package imports its extension module."""

import importlib


def test_extension_module_imports_and_reports_its_version():
    native = importlib.import_module("kova_rs._native")
    assert native.__version__ == "0.4.0"


def test_package_reexports_the_version():
    import kova_rs

    assert kova_rs.__version__ == "0.4.0"
