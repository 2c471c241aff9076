"""The pure C++ core builds and passes its own checks with nothing but a C++17
compiler: no Python headers, no interpreter."""
import os
import pathlib
import shutil
import subprocess

import pytest

NATIVE = pathlib.Path(__file__).resolve().parent.parent / "native"


def test_core_builds_without_python_and_passes_its_checks(tmp_path):
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if not compiler:
        pytest.skip("no C++ compiler")
    sources = sorted(str(p) for p in (NATIVE / "core").glob("*.cpp"))
    program = tmp_path / "core_tests"
    # Only the core's own directory is on the include path: a Python header would not be found.
    subprocess.run([compiler, "-std=c++17", "-O1", "-pthread", "-Wall", "-Wextra", "-Werror", "-I",
                    str(NATIVE), *sources, str(NATIVE / "core" / "tests" / "core_tests.cpp"), "-o", str(program)],
                   check=True, capture_output=True, text=True)
    out = subprocess.run([str(program)], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert "all checks passed" in out.stdout
