"""What a user finds on `_kernels` after importing it."""

import importlib
import pathlib
import shutil
import subprocess
import sys

import pytest

import _kernels

EXPECTED_ALL = ["eikonal_solve", "synthesise_pulses", "circulant_draw"]


def test_docstring_is_empty_not_none():
    assert _kernels.__doc__ == ""


def test_registered_functions_in_their_fixed_order():
    assert _kernels.__all__ == EXPECTED_ALL
    star = {}
    exec("from _kernels import *", star)
    assert sorted(k for k in star if k != "__builtins__") == sorted(EXPECTED_ALL)
    for name in EXPECTED_ALL:
        f = getattr(_kernels, name)
        assert type(f).__name__ == "builtin_function_or_method"
        assert repr(f).startswith(f"<built-in function {name}")
        assert f.__self__ is None and f.__module__ == "_kernels" and f.__qualname__ == name
    assert _kernels.eikonal_solve.__text_signature__ == "(slowness, spacing_km, seeds)"
    assert "eikonal_solve(" not in _kernels.eikonal_solve.__doc__


def test_import_does_not_import_numpy(python):
    result = python("import sys, _kernels; print('numpy' in sys.modules)")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "False\n"


def test_reimport_makes_a_new_module():
    first = sys.modules.pop("_kernels")
    try:
        second = importlib.import_module("_kernels")
        assert second is not first
        assert second.__all__ == EXPECTED_ALL
        assert second.eikonal_solve is not first.eikonal_solve
    finally:
        sys.modules["_kernels"] = first


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm is not installed")
def test_only_the_init_function_is_exported():
    symbols = subprocess.run(
        ["nm", "-D", "--defined-only", _kernels.__file__], capture_output=True, text=True, check=True
    ).stdout.split()
    exported = [s for s in symbols if len(s) > 1 and not all(c in "0123456789abcdef" for c in s)]
    assert [s for s in exported if s not in ("T",)] == ["PyInit__kernels"]


def test_functions_carry_the_dotted_name_of_a_submodule(tmp_path, python):
    package = tmp_path / "rupture"
    package.mkdir()
    (package / "__init__.py").write_text("")
    shutil.copy(_kernels.__file__, package / pathlib.Path(_kernels.__file__).name)
    result = python(
        f"import sys; sys.path.insert(0, {str(tmp_path)!r})\n"
        "from rupture import _kernels as k\n"
        "print(k.__name__, sorted({getattr(k, n).__module__ for n in k.__all__}))\n"
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "rupture._kernels ['rupture._kernels']\n"
