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


def with_helpers(base, helpers):
    """A subclass of base replacing the named per-item helpers; each logs its call
    and changes what it returns, so a helper not called shows in the result."""
    calls = []

    def token_overlap_score(self, q_tokens, doc_tokens, weight, reasons, reason_label):
        calls.append(("_token_overlap_score", reason_label, weight))
        return 2 * base._token_overlap_score(self, q_tokens, doc_tokens, weight, reasons, reason_label)

    def normalize_lexical(self, score):
        calls.append(("_normalize_lexical", score))
        return score / (score + 4.0) if score > 0 else 0

    def lexical_score_table(self, question, table, intent):
        score, reasons = base._lexical_score_table(self, question, table, intent)
        calls.append(("_lexical_score_table", table.table_name, score))
        return [score + (0.25 if "customer" in table.table_name else 0.0), reasons + ["seen"]]

    def lexical_score_column(self, question, table, col, intent):
        score, reasons = base._lexical_score_column(self, question, table, col, intent)
        calls.append(("_lexical_score_column", col.name))
        return score * 1.5, reasons

    def blend_scores(self, lexical, tfidf, embedding):
        calls.append(("_blend_scores", lexical, tfidf, embedding))
        return base._blend_scores(self, lexical, tfidf, embedding) + 0.01

    def ensure_intent_columns(self, table, ranked, selected, intent):
        calls.append(("_ensure_intent_columns", table.table_name, len(ranked), len(selected)))
        return base._ensure_intent_columns(self, table, ranked, selected, intent)[:-1]

    def reduction_percent(before, after):
        calls.append(("_reduction_percent", before, after))
        return round(base._reduction_percent(before, after))

    table = {
        "_token_overlap_score": token_overlap_score,
        "_normalize_lexical": normalize_lexical,
        "_lexical_score_table": lexical_score_table,
        "_lexical_score_column": lexical_score_column,
        "_blend_scores": blend_scores,
        "_ensure_intent_columns": ensure_intent_columns,
        "_reduction_percent": staticmethod(reduction_percent),
    }
    cls = type("Helpers", (base,), {name: table[name] for name in helpers})
    return cls, calls


HELPER_SETS = [[name] for name in ("_token_overlap_score", "_normalize_lexical", "_lexical_score_table",
                                   "_lexical_score_column", "_blend_scores", "_ensure_intent_columns",
                                   "_reduction_percent")]
HELPER_SETS.append([name for [name] in HELPER_SETS])


@pytest.mark.parametrize("helpers", HELPER_SETS, ids=lambda s: "+".join(s) if len(s) == 1 else "all")
@pytest.mark.parametrize("strategy", ["lexical", "hybrid"])
@pytest.mark.parametrize("question", ["Show total revenue by region for last 6 months",
                                      "how many customers per status since 2023"])
def test_replaced_helpers_are_called_where_the_rules_call_them(helpers, strategy, question):
    results = []
    for mod in (ss, ref):
        cls, calls = with_helpers(mod.SchemaSift, helpers)
        sifter = cls(mod.SelectorConfig(strategy=strategy, top_k_tables=2))
        r = sifter.select(question, demo_catalog(), required_columns={"customers": ["region"]})
        results.append((result_of(r), calls))
    assert results[0] == results[1]
    assert results[0][1], "the replaced helpers were called"


BAD_ANSWERS = {
    "none": lambda: None,
    "text": lambda: "0.5",
    "triple": lambda: (0.1, [], 3),
    "single": lambda: (0.1,),
    "nan": lambda: float("nan"),
    "raises": lambda: (_ for _ in ()).throw(LookupError("helper failed")),
}


@pytest.mark.parametrize("answer", sorted(BAD_ANSWERS))
@pytest.mark.parametrize("helper", HELPER_SETS[-1])
def test_misbehaving_helpers_fail_as_in_the_rules(helper, answer):
    outcomes = []
    for mod in (ss, ref):
        def bad(*args, **kwargs):
            return BAD_ANSWERS[answer]()

        cls = type("Bad", (mod.SchemaSift,), {helper: staticmethod(bad) if helper == "_reduction_percent" else bad})
        try:
            r = cls(mod.SelectorConfig(strategy="lexical")).select("how many customers per status", demo_catalog())
            outcomes.append(("ok", result_of(r)))
        except Exception as exc:  # the kind is compared, not the wording
            outcomes.append(("raised", type(exc)))
    assert outcomes[0] == outcomes[1]
