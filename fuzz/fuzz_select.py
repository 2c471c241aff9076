"""Fuzz catalog normalization and selection against the plain-Python rendering of the same rules.

    python fuzz/fuzz_select.py -max_total_time=60
"""
import sys

import atheris

with atheris.instrument_imports():
    from common import text, value

from askweave import schemasift as native
from pyref import schemasift as python

EXPECTED = (TypeError, ValueError, RecursionError, OverflowError, ZeroDivisionError, AttributeError)
KEYS = ["name", "table_name", "column_name", "columns", "type", "description", "synonyms", "tags", "role",
        "is_primary_key", "foreign_key", "sample_values", "default_date_column", "row_count", "relationships",
        "from_table", "from_column", "to_table", "to_column", "business_name"]


def loose(fdp, depth=0):
    """A loose catalog-like map: known keys with odd values, nested tables and columns."""
    out = {}
    for _ in range(fdp.ConsumeIntInRange(0, 6)):
        key = KEYS[fdp.ConsumeIntInRange(0, len(KEYS) - 1)] if fdp.ConsumeBool() else text(fdp, 6)
        if key in ("columns", "relationships") and depth < 2:
            out[key] = [loose(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 4))]
        else:
            out[key] = value(fdp, 2)
    return out


def outcome(module, question, catalog, kwargs):
    try:
        return ("ok", module.select_metadata(question, catalog, **kwargs).to_dict(include_debug=True))
    except EXPECTED as e:
        return ("error", type(e).__name__)


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    catalog = {"tables": [loose(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))]}
    if fdp.ConsumeBool():
        catalog["relationships"] = [loose(fdp, 2) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    question = text(fdp, 30)
    kwargs = {"strategy": "lexical", "top_k_tables": fdp.ConsumeIntInRange(-1, 4),
              "max_columns_per_table": fdp.ConsumeIntInRange(-1, 5),
              "max_output_chars": [None, 0, 50, 400, 5000][fdp.ConsumeIntInRange(0, 4)]}
    a = outcome(native, question, catalog, kwargs)
    b = outcome(python, question, catalog, kwargs)
    if a != b and not (a[0] == b[0] == "error"):
        raise AssertionError(f"native {a!r}\npython {b!r}\ncatalog {catalog!r}\nquestion {question!r}")


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
