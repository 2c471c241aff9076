"""A subclass of SchemaSift that overrides stages sees them called by select,
with the arguments the plain rules pass, exactly as in the plain-Python rendering."""
import pathlib
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "bench"))

from askweave import schemasift as ss  # noqa: E402
from askweave.demos.schemasift import demo_catalog  # noqa: E402
from pyref import schemasift as ref  # noqa: E402

import catalog_gen  # noqa: E402
from harness import plain  # noqa: E402


def with_overrides(base, stages):
    """A subclass of base overriding the named stages; each logs its call."""
    calls = []

    def score_tables(self, **kwargs):
        calls.append(("_score_tables", sorted(kwargs)))
        scored = base._score_tables(self, **kwargs)
        for st in scored:
            if "order" in st.table.table_name:
                st.score += 0.5
                st.reasons.append("custom order bonus")
        return scored

    def choose_tables(self, scored_tables, required_tables):
        calls.append(("_choose_tables", len(scored_tables), sorted(required_tables)))
        return base._choose_tables(self, scored_tables, required_tables)[:1]

    def score_and_choose_columns(self, **kwargs):
        calls.append(("_score_and_choose_columns", kwargs["table"].table_name, sorted(kwargs["required_columns"])))
        return base._score_and_choose_columns(self, **kwargs)[:2]

    def select_relationships(self, catalog, selected_tables):
        calls.append(("_select_relationships", [st.table.table_name for st in selected_tables]))
        return base._select_relationships(self, catalog, selected_tables)

    def apply_output_budget(self, selected_metadata):
        calls.append(("_apply_output_budget", sorted(selected_metadata)))
        out = dict(base._apply_output_budget(self, selected_metadata))
        out["note"] = "trimmed by a subclass"
        return out

    def build_doc_texts(self, catalog):
        docs = base._build_doc_texts(self, catalog)
        calls.append(("_build_doc_texts", len(docs)))
        return docs

    table = {
        "_score_tables": score_tables,
        "_choose_tables": choose_tables,
        "_score_and_choose_columns": score_and_choose_columns,
        "_select_relationships": select_relationships,
        "_apply_output_budget": apply_output_budget,
        "_build_doc_texts": build_doc_texts,
    }
    cls = type("Custom", (base,), {name: table[name] for name in stages})
    return cls, calls


def result_of(r):
    return plain((r.selected_metadata, r.debug, repr(r.metrics), repr(r.intent)))


STAGE_SETS = [
    ["_score_tables"],
    ["_apply_output_budget"],
    ["_score_tables", "_apply_output_budget"],
    ["_choose_tables", "_score_and_choose_columns", "_select_relationships"],
    ["_build_doc_texts", "_score_tables", "_choose_tables", "_score_and_choose_columns",
     "_select_relationships", "_apply_output_budget"],
]
CATALOGS = {
    "demo": demo_catalog,
    "synthetic": lambda: catalog_gen.make_catalog(30, 12, seed=4),
}


@pytest.mark.parametrize("stages", STAGE_SETS, ids=lambda s: "+".join(s))
@pytest.mark.parametrize("catalog", sorted(CATALOGS))
@pytest.mark.parametrize("records", [False, True], ids=["loose", "records"])
@pytest.mark.parametrize("question", ["Show total revenue by region for last 6 months",
                                      "how many orders per customer status"])
def test_overridden_stages_are_called_as_in_the_plain_rules(stages, catalog, records, question):
    results = []
    for mod in (ss, ref):
        cls, calls = with_overrides(mod.SchemaSift, stages)
        cat = CATALOGS[catalog]()
        if records:
            cat = mod.CatalogNormalizer.normalize(cat)
        sifter = cls(mod.SelectorConfig(strategy="lexical", top_k_tables=3, max_output_chars=4000))
        r = sifter.select(question, cat, required_tables=[], required_columns={"sales_orders": ["order_id"]})
        results.append((result_of(r), calls))
    assert results[0] == results[1]
    assert results[0][1], "the overrides were called"


def test_a_subclass_without_overrides_selects_as_the_class():
    class Plain(ss.SchemaSift):
        pass

    q = "Show total revenue by region for last 6 months"
    config = ss.SelectorConfig(strategy="lexical")
    assert result_of(Plain(config).select(q, demo_catalog())) == result_of(ss.SchemaSift(config).select(q, demo_catalog()))
