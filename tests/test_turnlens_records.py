"""Turn cards, candidates, deltas and resolutions of askweave.turnlens."""
import copy
import pickle
import time

import pytest
from hypothesis import given, settings, strategies as st

import askweave.turnlens as tl
from test_turnlens_text import ref_compact_text, ref_tokenize

QUESTION = "Show total revenue by region for last 6 months"


def ref_searchable_text(card):
    states = [ref_compact_text(s, 1000) if s else "" for s in
              (card.query_state, card.retrieval_state, card.output_state)]
    parts = [card.user_question, card.resolved_question, card.assistant_answer_summary, card.task_type,
             card.artifact_type, card.artifact_id or "", card.artifact_label or "",
             " ".join(card.topic_keywords), " ".join(card.entities), " ".join(card.selected_metadata_ids), *states]
    return " ".join(str(p) for p in parts if p)


words = st.sampled_from(["", "sales_orders", "Revenue", "column:sales_orders.region", "caf\u00e9", " ", "x y"])
cards = st.builds(
    tl.TurnContextCard, turn_id=st.integers(0, 9), user_question=st.text(max_size=8) | st.integers(0, 3),
    resolved_question=words, task_type=words, artifact_id=st.none() | words | st.integers(0, 2),
    artifact_label=st.none() | words, topic_keywords=st.lists(words, max_size=3),
    entities=st.lists(words, max_size=3).map(tuple), selected_metadata_ids=st.lists(words, max_size=2),
    query_state=st.dictionaries(words, st.lists(words, max_size=2) | st.none(), max_size=3),
    output_state=st.none() | st.dictionaries(words, st.integers(), max_size=2))


def test_card_defaults_and_construction():
    before = int(time.time() * 1000)
    a, b = tl.TurnContextCard(1), tl.TurnContextCard(turn_id=2)
    assert (a.task_type, a.artifact_type, a.is_active, a.quality_score) == ("unknown", "unknown", True, 1.0)
    assert before <= a.created_at_ms <= int(time.time() * 1000)
    assert a.topic_keywords is not b.topic_keywords and a.query_state is not b.query_state
    assert a.extra is not b.extra
    assert tl.TurnContextCard(1, created_at_ms=None).created_at_ms is None
    full = tl.TurnContextCard(*range(23))
    assert full.created_at_ms == 19 and full.extra == 22

    class Sub(tl.TurnContextCard):
        def __init__(self, turn_id):
            super().__init__(turn_id, user_question="q")

    assert isinstance(Sub(3).created_at_ms, int) and Sub(3).user_question == "q"
    resolution = tl.ContextResolution("fresh_question", "q", "q", "q")
    assert resolution.intent_delta == tl.IntentDelta()
    assert resolution.intent_delta is not tl.ContextResolution("a", "b", "c", "d").intent_delta
    with pytest.raises(TypeError):
        tl.TurnContextCard()
    with pytest.raises(TypeError):
        tl.TurnContextCard(1, bogus=2)


def test_records_copy_pickle_repr_and_equality():
    card = tl.TurnContextCard(7, user_question=QUESTION, query_state={"tables": ["t"]}, created_at_ms=5)
    res = tl.ContextResolution("fresh_question", "q", "q", "q",
                               candidates=[tl.ContextCandidate(7, 0.5, ["r"], card)])
    for rec in (card, res, tl.ResolverConfig(), tl.IntentDelta(top_n=3)):
        assert pickle.loads(pickle.dumps(rec)) == rec
        assert copy.deepcopy(rec) == rec and copy.copy(rec) == rec
        assert repr(rec).startswith(type(rec).__name__ + "(")
    assert card != tl.TurnContextCard(7, user_question=QUESTION, created_at_ms=5)
    assert "user_question='Show total" in repr(card)


def test_searchable_text_and_tokens():
    card = tl.TurnContextCard(1, user_question=QUESTION)
    assert card.searchable_text() == QUESTION + " unknown unknown"
    assert card.tokens() == ref_tokenize(QUESTION) + ["unknown", "unknown"]
    rich = tl.TurnContextCard(2, resolved_question="x", task_type="", artifact_type="chart", artifact_id=0,
                              artifact_label="Sales", topic_keywords=["", ""], entities=["orders"],
                              query_state={"tables": ["sales_orders"], "note": "a\n  b"})
    assert rich.searchable_text() == 'x chart Sales   orders {"tables": ["sales_orders"], "note": "a\\n b"}'
    with pytest.raises(TypeError):
        tl.TurnContextCard(3, entities=["ok", 5]).searchable_text()


@settings(max_examples=200, deadline=None)
@given(card=cards)
def test_searchable_text_matches_the_rule(card):
    assert card.searchable_text() == ref_searchable_text(card)
    assert card.tokens() == ref_tokenize(ref_searchable_text(card))


def test_active_tables_columns_and_required_columns():
    card = tl.TurnContextCard
    assert card(1, query_state={"active_tables": [], "tables": ["t"]}).active_tables() == ["t"]
    assert card(1).active_tables() == [] and card(1, query_state={"columns": "ab"}).active_columns() == ["a", "b"]
    stored = ["x"]
    got = card(1, query_state={"active_tables": stored}).active_tables()
    assert got == stored and got is not stored
    assert card(1, query_state={"required_columns": {"t": None, 5: ("a",)}}).required_columns_by_table() == {
        "t": [], "5": ["a"]}
    assert card(1, query_state={"required_columns": {}, "columns_by_table": {}}).required_columns_by_table() == {}
    assert card(1, query_state={"tables": ["t"], "columns": ["a", "b"]}).required_columns_by_table() == {
        "t": ["a", "b"]}
    assert card(1, query_state={"tables": ["t", "u"], "columns": ["a"]}).required_columns_by_table() == {}
    assert card(1, query_state={"tables": ["t"]}).required_columns_by_table() == {}
    assert card(1, query_state=None).active_tables() == [] == card(1, query_state=0).active_columns()
    assert card(1, query_state=None).required_columns_by_table() == {}
    with pytest.raises(AttributeError):
        card(1, query_state=["tables"]).active_tables()


def test_compact_state_and_resolver_summary():
    value = ["sales_orders"]
    state = {"sort": None, "outside": 1, "tables": value}
    compact = tl.TurnContextCard._compact_state(state)
    assert list(compact) == ["tables", "sort"] and compact["tables"] is value and compact["sort"] is None
    with pytest.raises(TypeError):
        tl.TurnContextCard._compact_state([("tables", 1)])
    card = tl.TurnContextCard(4, user_question="q" * 300, resolved_question="  r\n", artifact_id="c1",
                              topic_keywords=[str(i) for i in range(25)], selected_metadata_ids=("a",) * 40,
                              query_state=state, output_state={"chart_type": "bar", "x": 1})
    summary = card.to_resolver_summary()
    assert list(summary) == ["turn_id", "task_type", "artifact_type", "artifact_id", "user_question",
                             "resolved_question", "assistant_answer_summary", "topic_keywords", "entities",
                             "selected_metadata_ids", "query_state", "retrieval_state", "output_state"]
    assert summary["topic_keywords"] == [str(i) for i in range(20)]
    assert summary["selected_metadata_ids"] == ["a"] * 30
    assert len(summary["user_question"]) == 180 and summary["user_question"].endswith("...")
    assert summary["resolved_question"] == "r" and summary["output_state"] == {"chart_type": "bar"}
    assert card.to_resolver_summary(5) == summary == card.to_resolver_summary(max_chars="12")
    with pytest.raises(TypeError):
        card.to_resolver_summary(None)
    with pytest.raises(ValueError):
        card.to_resolver_summary("many")
    with pytest.raises(TypeError):
        tl.TurnContextCard(1, retrieval_state=None).to_resolver_summary()


@settings(max_examples=200, deadline=None)
@given(score=st.floats(allow_nan=False) | st.integers(-10**20, 10**20))
def test_candidate_to_dict(score):
    reasons = ["recent"]
    cand = tl.ContextCandidate(3, score, reasons, tl.TurnContextCard(3))
    d = cand.to_dict()
    assert list(d) == ["turn_id", "score", "reasons"] and d["reasons"] is reasons
    assert d["score"] == round(score, 6) and type(d["score"]) is type(round(score, 6))
    assert tl.ContextCandidate(1, 0.1234567).to_dict()["score"] == 0.123457


def test_resolution_to_dict_order_and_depth():
    fields = ["context_type", "current_question", "resolved_question", "metadata_search_query", "base_turn_id",
              "use_previous_state", "intent_delta", "required_tables", "required_columns", "anchor_metadata_ids",
              "allow_related_tables", "confidence", "reason", "clarification_question", "candidates", "route",
              "extra"]
    card = tl.TurnContextCard(2, query_state={"tables": ["t"]})
    cand = tl.ContextCandidate(2, 0.98765432, ["r"], card)
    extra = {"nested": [{"x": (1, 2)}], "delta": tl.IntentDelta(granularity="month")}
    res = tl.ContextResolution("follow_up_latest", "q", "rq", "m", candidates=[cand], extra=extra)
    d = res.to_dict()
    assert list(d) == fields
    assert d["candidates"] == [{"turn_id": 2, "score": 0.987654, "reasons": ["r"]}]
    assert list(d["intent_delta"]) == ["operation", "granularity", "dimension_hint", "metric_hint", "filter_hint",
                                       "sort_hint", "compare_hint", "top_n", "bottom_n",
                                       "replace_numeric_value", "raw_hints"]
    assert d["extra"]["delta"]["granularity"] == "month" and d["extra"]["nested"] == [{"x": (1, 2)}]
    assert d["extra"]["nested"] is not extra["nested"] and d["required_tables"] is not res.required_tables
    for falsy in (False, 0, ""):
        without = res.to_dict(falsy)
        assert "candidates" not in without and list(without) == [f for f in fields if f != "candidates"]
    assert list(res.to_dict(include_candidates="yes")) == fields
    loop = []
    loop.append(loop)
    with pytest.raises(RecursionError):  # as dataclasses.asdict: a value containing itself never ends
        tl.ContextResolution("a", "b", "c", "d", extra={"loop": loop}).to_dict()
    # candidates are rendered by their own to_dict, never deep-converted
    odd = tl.ContextResolution("a", "b", "c", "d", candidates=[tl.ContextCandidate(1, 0.5, [], loop)])
    assert odd.to_dict()["candidates"] == [{"turn_id": 1, "score": 0.5, "reasons": []}]
    assert "candidates" not in odd.to_dict(False)
