"""Context resolution end to end: resolve and resolve_context against the
plain-Python rendering of the same rules, the callback contract, bad input."""
import copy
import pathlib
import sys

import pytest
from hypothesis import given, strategies as st

import askweave.turnlens as tl
from askweave.demos import turnlens as demo

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from pyref import turnlens as ref  # noqa: E402

WORDS = ["make", "it", "monthly", "weekly", "top", "5", "bottom", "3", "show", "the", "previous", "last", "chart",
         "turn", "#2", "2nd", "table", "by", "region", "bank", "category", "based", "what", "else", "we", "get",
         "?", "compare", "with", "year", "only", "north", "instead", "of", "revenue", "count", "average", "sort",
         "desc", "remove", "filter", "status", "=", "failed", "that", "one", "first", "question", "30", "days",
         "6", "months", "$1,200", "10%", "consider", "suggest", "drill", "down", "sql", "same", "again", "Σ", "é"]
messages = st.lists(st.sampled_from(WORDS), max_size=9).map(" ".join) | st.text(max_size=20)

STATES = [
    {"active_tables": ["sales_orders"], "active_columns": ["revenue", "region", "order_date"], "metrics": ["revenue"],
     "dimensions": ["region"], "group_by": ["region"], "filters": [{"column": "order_date", "operation": "last_6_months"}],
     "aggregation": {"function": "sum", "column": "revenue"}},
    {"tables": ["payments"], "columns": ["amount", "bank"], "metrics": "amount", "filters": ["status = failed"],
     "granularity": "day", "limit": 5},
    {},
    {"aggregation": {"function": "count"}, "group_by": [], "filters": [{"field": "amount", "operator": ">", "value": 0}]},
]
card_shapes = st.fixed_dictionaries(
    {"turn_id": st.integers(0, 6)},
    optional={
        "user_question": st.sampled_from(["Show total revenue by region for last 6 months", "failed payments by bank",
                                          "", "top 5 customers"]),
        "task_type": st.sampled_from(["text_to_sql", "chart", "unknown"]),
        "artifact_type": st.sampled_from(["sql", "chart", "table", "unknown"]),
        "artifact_id": st.sampled_from(["c1", "widget__12", None]),
        "topic_keywords": st.lists(st.sampled_from(["sales", "revenue", "bank", "region"]), max_size=3),
        "entities": st.lists(st.sampled_from(["sales_orders", "payments", "revenue", "bank"]), max_size=3),
        "selected_metadata_ids": st.lists(st.sampled_from(["table:sales_orders", "column:sales_orders.revenue"]),
                                          max_size=2),
        "query_state": st.sampled_from(STATES),
        "quality_score": st.sampled_from([1.0, 0.5, 0.0, 1.5]),
        "is_active": st.booleans(),
    },
)
entries = st.one_of(card_shapes.map(lambda s: ("card", s)), card_shapes.map(lambda s: ("map", s)),
                    st.sampled_from([("none", None), ("num", 3)]))
configs = st.fixed_dictionaries({}, optional={
    "max_recent_cards": st.integers(-1, 4), "fresh_question_min_tokens": st.integers(1, 5),
    "include_debug_candidates": st.booleans(), "llm_fallback_confidence_ceiling": st.sampled_from([None, 0.99]),
    "use_llm_fallback": st.booleans(), "max_metadata_query_terms": st.integers(1, 40)})


def build(mod, entry):
    kind, shape = entry
    if kind == "card":
        return mod.TurnContextCard(**copy.deepcopy(shape))
    return copy.deepcopy(shape)


def outcome(mod, message, items, cfg, fallback, **kw):
    cards = [build(mod, e) for e in items]
    try:
        result = mod.resolve_context(message, cards, config=mod.ResolverConfig(**cfg), llm_fallback=fallback, **kw)
        return ("ok", result.to_dict())
    except Exception as exc:
        return ("err", type(exc).__name__)


class Recorder:
    """A callback that records its arguments and answers from a script."""

    def __init__(self, answer):
        self.answer, self.calls = answer, []

    def __call__(self, question, summaries, preliminary):
        self.calls.append((question, summaries, preliminary))
        if isinstance(self.answer, BaseException):
            raise self.answer
        return copy.deepcopy(self.answer)


ANSWERS = [None, {}, {"context_type": "follow_up_latest", "base_turn_id": 1, "resolved_question": "x", "confidence": 0.4},
           {"context_type": "fresh_question", "confidence": "bad"}, ValueError("model down"), [1, 2],
           {"context_type": "clarification_needed", "clarification_question": "Which one?", "route": "clarify"}]


@given(messages, st.lists(entries, max_size=5), configs, st.sampled_from(range(len(ANSWERS))),
       st.sampled_from([None, 1, 2, 5]), st.sampled_from([None, "text_to_sql", "chart"]))
def test_resolve_matches_reference(message, items, cfg, answer, active, preferred):
    native_cb, python_cb = Recorder(ANSWERS[answer]), Recorder(ANSWERS[answer])
    kw = {"active_turn_id": active, "preferred_task_type": preferred}
    got = outcome(tl, message, items, cfg, native_cb, **kw)
    want = outcome(ref, message, items, cfg, python_cb, **kw)
    assert got == want
    assert [c[0] for c in native_cb.calls] == [c[0] for c in python_cb.calls]
    assert [c[1] for c in native_cb.calls] == [c[1] for c in python_cb.calls]
    assert [c[2] for c in native_cb.calls] == [c[2] for c in python_cb.calls]
    assert [list(c[2]) for c in native_cb.calls] == [list(c[2]) for c in python_cb.calls]


def test_demonstration_prints_what_the_rules_give():
    assert demo.run() == ref.demo()
    card = demo.demo_card()
    lens = tl.TurnLens()
    r = lens.resolve("make it category based", [card])
    assert (r.context_type, r.base_turn_id) == ("modify_previous_query", 1)
    assert r.resolved_question == "Show sum revenue by category where order_date last_6_months"
    assert r.required_columns == {"sales_orders": ["order_date", "region", "revenue"]}
    r = lens.resolve("consider monthly?", [card], active_turn_id=1)
    assert r.resolved_question == "Show monthly sum revenue by region where order_date last_6_months"


def test_callback_contract():
    card = demo.demo_card()
    cfg = tl.ResolverConfig(use_llm_fallback=True)
    for error in (KeyboardInterrupt(), SystemExit(3)):
        with pytest.raises(type(error)):
            tl.resolve_context("consider monthly?", [card], config=cfg, llm_fallback=Recorder(error))

    # The callback may call back into the library.
    def reentrant(question, summaries, preliminary):
        inner = tl.resolve_context(question, [card])
        return {"context_type": "follow_up_latest", "base_turn_id": 1, "resolved_question": inner.resolved_question}

    r = tl.resolve_context("consider monthly?", [card], config=cfg, llm_fallback=reentrant)
    want = ref.resolve_context("consider monthly?", [demo_card_ref()], config=ref.ResolverConfig(use_llm_fallback=True),
                               llm_fallback=lambda q, s, p: {"context_type": "follow_up_latest", "base_turn_id": 1,
                                                            "resolved_question": ref.resolve_context(q, [demo_card_ref()]).resolved_question})
    assert r.to_dict() == want.to_dict()
    # With the fallback switched off, a callback is never called.
    silent = Recorder(None)
    tl.resolve_context("consider monthly?", [card], llm_fallback=silent)
    assert silent.calls == []


def demo_card_ref():
    return ref.demo_card()


def test_bad_input():
    lens = tl.TurnLens()
    for bad in (None, 1, b"x"):
        with pytest.raises(TypeError):
            lens.resolve(bad)
    with pytest.raises(TypeError):
        lens.resolve("x", [], active_turn_id="1")
    with pytest.raises(TypeError):
        lens.resolve("x", [], preferred_task_type=1)
    with pytest.raises(TypeError):
        lens.resolve("x", [], None)  # keyword-only settings
    cards = [{"turn_id": 1, "user_question": "q"}, {"turn_id": 2, "nope": 1}]
    before = copy.deepcopy(cards)
    with pytest.raises(TypeError):
        lens.resolve("make it monthly", cards)
    assert cards == before
    card = demo.demo_card()
    snapshot = card.to_resolver_summary()
    lens.resolve("make it monthly", [card, None, 5])
    assert card.to_resolver_summary() == snapshot


def test_huge_message_is_fast_enough():
    message = "make it monthly by region " * 40_000  # about 1 MB
    r = tl.TurnLens().resolve(message, [demo.demo_card()])
    assert r.context_type
