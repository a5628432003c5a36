"""What a user finds on `_kernels` after importing it."""

import importlib
import shutil
import subprocess
import sys

import pytest

import _kernels

EXPECTED_ALL = ["eikonal_solve", "synthesise_pulses", "circulant_draw"]


def test_docstring_is_empty_not_none():
    assert _kernels.__doc__ == ""


def test_registered_names_keep_their_fixed_order():
    present = getattr(_kernels, "__all__", [])
    assert present == [name for name in EXPECTED_ALL if name in present]
    for name in present:
        f = getattr(_kernels, name)
        assert f.__self__ is None and f.__module__ == "_kernels" and f.__qualname__ == name


def test_import_does_not_import_numpy(python):
    result = python("import sys, _kernels; print('numpy' in sys.modules)")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "False\n"


def test_reimport_makes_a_new_module():
    first = sys.modules.pop("_kernels")
    try:
        second = importlib.import_module("_kernels")
        assert second is not first
        assert getattr(second, "__all__", []) == getattr(first, "__all__", [])
    finally:
        sys.modules["_kernels"] = first


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_only_the_init_function_is_exported():
    symbols = subprocess.run(
        ["nm", "-D", "--defined-only", _kernels.__file__], capture_output=True, text=True, check=True
    ).stdout.split()
    exported = [s for s in symbols if len(s) > 1 and not all(c in "0123456789abcdef" for c in s)]
    assert [s for s in exported if s not in ("T",)] == ["PyInit__kernels"]
