"""The package as a host sees it: imports, module kinds, demonstrations."""
import importlib.machinery
import json
import subprocess
import sys

import pytest


def run_python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout


@pytest.mark.parametrize("name", ["askweave.schemasift", "askweave.turnlens"])
def test_modules_are_extensions_and_import_only_the_standard_library(name):
    out = run_python(
        "import sys, json\n"
        "before = set(sys.modules)\n"
        f"import {name} as m\n"
        "new = sorted(set(sys.modules) - before)\n"
        "print(json.dumps([m.__file__, new]))\n"
    )
    path, new = json.loads(out)
    assert path.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    foreign = [m for m in new if m.split(".")[0] not in sys.stdlib_module_names and m.split(".")[0] != "askweave"]
    assert foreign == []


def test_demonstration_runs_only_as_a_program():
    assert run_python("import askweave.demos.schemasift") == ""
    out = subprocess.run([sys.executable, "-m", "askweave.demos.schemasift"], capture_output=True, text=True,
                         check=True).stdout
    assert '"table_name": "sales_orders"' in out
    assert "tables 2 \u2192 " in out
    # The first block is the selected metadata as indented, ASCII-escaped JSON.
    first = out[: out.index("\ntables ")]
    assert json.loads(first)["database"] == "sales_demo"


def test_interpreter_exits_cleanly_after_copying_odd_values():
    # Module-lifetime objects must outlive the interpreter's own teardown.
    code = (
        "from askweave import schemasift as s\n"
        "class X: pass\n"
        "s.CatalogNormalizer.normalize({'tables': [{'name': 't', 'row_count': X()}]}).to_prompt_dict()\n"
    )
    assert subprocess.run([sys.executable, "-c", code]).returncode == 0


@pytest.mark.parametrize("name", ["schemasift", "turnlens"])
def test_every_public_name_exists_at_run_time_with_its_kind(name):
    import importlib
    import pathlib
    sys.path.insert(0, str(pathlib.Path(__file__).parent))
    native = importlib.import_module(f"askweave.{name}")
    reference = importlib.import_module(f"pyref.{name}")
    for public in reference.__all__:
        if public.startswith("demo"):  # the demonstrations live in askweave.demos
            continue
        value, expected = getattr(native, public), getattr(reference, public)
        if isinstance(expected, type):
            assert isinstance(value, type), public
        elif callable(expected) and not hasattr(expected, "__origin__"):
            assert callable(value), public
        else:  # constants and type labels are the host's own kinds, equal to the rules'
            assert type(value) is type(expected) and value == expected, public
