"""Checks of the plain-Python turn-context reference on worked examples."""

import copy
import json
import pathlib
import pickle
import re
import sys
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from pyref import turnlens as ref  # noqa: E402
from pyref.turnlens import (  # noqa: E402
    ContextCandidate,
    ContextResolution,
    IntentDelta,
    ResolverConfig,
    TurnContextCard,
    TurnLens,
    resolve_context,
)

SAMPLE_Q = "Show total revenue by region for last 6 months"


def lens(**settings):
    return TurnLens(ResolverConfig(**settings))


def cand(turn_id, score, card=True, state=None):
    c = TurnContextCard(turn_id=turn_id, query_state=state or {}) if card else None
    return ContextCandidate(turn_id=turn_id, score=score, card=c)


def test_reference_is_independent_of_native_module():
    src = pathlib.Path(ref.__file__).read_text()
    assert not re.search(r"^\s*(import|from)\s+askweave", src, re.M)


# -- vocabulary and patterns --------------------------------------------------


def test_vocabulary_sizes_and_orders():
    assert len(ref.STOPWORDS) == 49
    assert len(ref.FOLLOWUP_TERMS) == 22
    assert len(ref.MODIFY_TERMS) == 21
    assert len(ref.SUGGESTION_PHRASES) == 16
    assert len(ref.CLARIFICATION_RISK_PHRASES) == 12
    assert list(ref.GRANULARITY_ALIASES) == ["hour", "day", "week", "month", "quarter", "year"]
    assert list(ref.AGGREGATION_ALIASES) == ["sum", "count", "avg", "min", "max"]
    assert list(ref.ORDINAL_WORDS.items())[0] == ("first", 1)
    assert list(ref.ORDINAL_WORDS.items())[-1] == ("tenth", 10)
    assert ref.CONTEXT_TYPES[0] == "fresh_question" and len(ref.OPERATION_TYPES) == 15
    assert len(ref.TASK_TYPES) == 8 and len(ref.ARTIFACT_TYPES) == 8


def test_pattern_texts():
    assert ref._DURATION_UNITS_PATTERN == "hour|day|week|month|quarter|year"
    assert ref.BACKREF_NUMERIC_RE.pattern == r"\b(?:last|previous)\s+(?:\d+\s*)?(?:hour|day|week|month|quarter|year)s?\b"
    assert ref.BACKREF_NUMERIC_RE.flags & re.IGNORECASE
    assert ref.TOP_N_RE.flags & re.IGNORECASE and not ref.GENERIC_NUMBER_RE.flags & re.IGNORECASE
    assert ref.BACKREF_NUMERIC_RE.search("last 6 months")
    assert ref.BACKREF_NUMERIC_RE.search("Previous Quarter")
    assert not ref.BACKREF_NUMERIC_RE.search("last time")


@pytest.mark.parametrize(
    "text,number",
    [("turn 3", "3"), ("chart #2", "2"), ("#5", "5"), ("2nd chart", "2"), ("top 5 products", None)],
)
def test_turn_ref_re(text, number):
    m = ref.TURN_REF_RE.search(text)
    found = next((g for g in m.groups() if g), None) if m else None
    assert found == number


# -- text utilities -------------------------------------------------------------


def test_tokenize_examples():
    assert ref.tokenize(None) == []
    assert ref.tokenize(42) == ["42"]
    assert ref.tokenize(SAMPLE_Q) == ["total", "revenue", "region", "last", "6", "months"]
    assert ref.tokenize("make it category based") == ["category"]
    assert ref.tokenize("what else we get?") == ["what", "else"]
    assert ref.tokenize("show it", set()) == ["show", "it"]
    with pytest.raises(TypeError):
        ref.tokenize("x", ["a"])


def test_split_identifier():
    assert ref.split_identifier("sales_orders.order_date") == "sales orders order date"
    assert ref.split_identifier("Order_Date") == "order  date"
    assert ref.split_identifier("") == ""
    with pytest.raises(TypeError):
        ref.split_identifier(None)


def test_compact_text():
    assert ref.compact_text(None) == ""
    assert ref.compact_text("  a\nb  ") == "a b"
    assert ref.compact_text({"k": [1, 2]}) == '{"k": [1, 2]}'
    long = ref.compact_text("x" * 600)
    assert len(long) == 500 and long.endswith("...")
    assert ref.compact_text({"s": {1, 2}}) == '{"s": "{1, 2}"}'
    assert ref.compact_text({"é": True, "n": None, "f": 0.5}) == '{"é": true, "n": null, "f": 0.5}'
    assert ref.compact_text([10 ** 5000], 6000) == "[" + "1" + "0" * 5000 + "]"
    loop = []
    loop.append(loop)
    with pytest.raises(ValueError):
        ref.compact_text(loop)
    with pytest.raises(TypeError):
        ref.compact_text("x", 5.0)


def test_overlap_and_estimate():
    assert ref.overlap_score("abc", "bcde") == pytest.approx(2 / 3)
    assert ref.overlap_score([], ["a"]) == 0.0
    assert ref.overlap_score(["a", "b"], ["a", "b", "c"]) == 1.0
    assert ref.estimate_tokens("") == 0
    assert ref.estimate_tokens("a") == 1
    assert ref.estimate_tokens("123456789") == 3
    with pytest.raises(ZeroDivisionError):
        ref.estimate_tokens("a", 0)
    assert abs(ref.now_ms() - time.time() * 1000) < 5000


# -- records ------------------------------------------------------------------------


def test_card_defaults_and_fresh_containers():
    a, b = TurnContextCard(1), TurnContextCard(turn_id=1)
    assert a.task_type == a.artifact_type == "unknown"
    assert a.is_active is True and a.quality_score == 1.0
    assert abs(a.created_at_ms - ref.now_ms()) < 5000
    a.topic_keywords.append("x")
    a.query_state["k"] = 1
    assert b.topic_keywords == [] and b.query_state == {}
    assert copy.deepcopy(a) == a and pickle.loads(pickle.dumps(a)) == a
    with pytest.raises(TypeError):
        TurnContextCard(**{"turn_id": 1, "bogus": 2})
    with pytest.raises(TypeError):
        TurnContextCard(**{"user_question": "x"})


def test_card_searchable_text_and_tokens():
    card = TurnContextCard(turn_id=1, user_question=SAMPLE_Q)
    assert card.searchable_text() == SAMPLE_Q + " unknown unknown"
    assert card.tokens() == ["total", "revenue", "region", "last", "6", "months", "unknown", "unknown"]
    card = TurnContextCard(turn_id=1, query_state={"tables": ["t"]}, topic_keywords=["k1", "k2"])
    assert card.searchable_text() == 'unknown unknown k1 k2 {"tables": ["t"]}'
    with pytest.raises(TypeError):
        TurnContextCard(turn_id=1, entities=["a", 3]).searchable_text()


def test_card_state_methods():
    card = TurnContextCard(turn_id=1, query_state={"active_tables": [], "tables": ["orders"]})
    assert card.active_tables() == ["orders"]
    assert TurnContextCard(turn_id=1).active_tables() == []
    assert TurnContextCard(turn_id=1, query_state={"tables": "ab"}).active_tables() == ["a", "b"]
    card = TurnContextCard(turn_id=1, query_state={"required_columns": {"orders": None}})
    assert card.required_columns_by_table() == {"orders": []}
    card = TurnContextCard(turn_id=1, query_state={"tables": ["orders"], "columns": ["a", "b"]})
    assert card.required_columns_by_table() == {"orders": ["a", "b"]}
    card = TurnContextCard(turn_id=1, query_state={"tables": ["o", "p"], "columns": ["a"]})
    assert card.required_columns_by_table() == {}
    card = TurnContextCard(turn_id=1, query_state={"columns_by_table": {1: ("x",)}})
    assert card.required_columns_by_table() == {"1": ["x"]}


def test_compact_state_and_summary():
    state = {"sort": None, "other": 1, "tables": ["t"]}
    out = TurnContextCard._compact_state(state)
    assert list(out.items()) == [("tables", ["t"]), ("sort", None)]
    with pytest.raises(TypeError):
        TurnContextCard._compact_state([])
    card = TurnContextCard(turn_id=3, user_question="q" * 300, topic_keywords=[str(i) for i in range(25)])
    summary = card.to_resolver_summary()
    assert list(summary) == [
        "turn_id", "task_type", "artifact_type", "artifact_id", "user_question", "resolved_question",
        "assistant_answer_summary", "topic_keywords", "entities", "selected_metadata_ids",
        "query_state", "retrieval_state", "output_state",
    ]
    assert summary["topic_keywords"] == [str(i) for i in range(20)]
    assert len(summary["user_question"]) <= 180 and summary["user_question"].endswith("...")
    assert card.to_resolver_summary(7) == summary
    with pytest.raises(TypeError):
        card.to_resolver_summary(None)
    with pytest.raises(TypeError):
        TurnContextCard(turn_id=1, query_state=None).to_resolver_summary()


def test_candidate_and_resolution_dicts():
    c = ContextCandidate(turn_id=1, score=0.1234567, reasons=["r"], card=TurnContextCard(1))
    d = c.to_dict()
    assert d == {"turn_id": 1, "score": 0.123457, "reasons": ["r"]} and d["reasons"] is c.reasons
    res = ContextResolution("fresh_question", "q", "q", "q", candidates=[c])
    keys = list(res.to_dict())
    assert keys.index("candidates") == keys.index("clarification_question") + 1
    assert keys[keys.index("candidates") + 1] == "route" and len(keys) == 17
    assert res.to_dict()["candidates"] == [d]
    assert "candidates" not in res.to_dict(False)
    assert "candidates" not in res.to_dict(include_candidates=0)
    assert list(res.to_dict()["intent_delta"]) == [f.name for f in ref.fields(IntentDelta)]
    inner = res.to_dict()
    inner["required_columns"]["x"] = 1
    assert res.required_columns == {}


# -- card preparation and plain outcomes ---------------------------------------------


def test_card_preparation():
    tl = TurnLens()
    inactive = [TurnContextCard(turn_id=i, is_active=False) for i in (1, 2)]
    assert [c.turn_id for c in tl._recent_cards(inactive)] == [2, 1]
    assert tl._normalize_cards([None, 3, "x", 2.5]) == []
    twelve = [TurnContextCard(turn_id=i) for i in range(1, 13)]
    assert [c.turn_id for c in tl._recent_cards(twelve)] == list(range(12, 2, -1))
    a, b = TurnContextCard(turn_id=5, user_question="a"), TurnContextCard(turn_id=5, user_question="b")
    assert tl._recent_cards([a, b])[0] is a
    cards = tl._normalize_cards([{"turn_id": 1, "user_question": SAMPLE_Q}, a])
    assert cards[0].user_question == SAMPLE_Q and cards[1] is a
    with pytest.raises(TypeError):
        tl._normalize_cards([{"turn_id": 1, "nope": 1}])
    assert tl._latest_active_turn_id([None, TurnContextCard(9, is_active=False), TurnContextCard(4)]) == 4
    assert tl._latest_active_turn_id(inactive) is None


def test_negative_and_absent_limits():
    cards = [TurnContextCard(turn_id=i) for i in range(1, 4)]
    assert lens(max_recent_cards=-1)._recent_cards(cards) == []
    assert len(lens(max_recent_cards=None)._recent_cards(cards)) == 3
    assert lens(max_metadata_query_terms=-2)._limit_query_terms("revenue region") == ""
    assert lens(max_metadata_query_terms=None)._limit_query_terms("revenue region") == "revenue region"


def test_turnlens_construction_type_errors():
    with pytest.raises(TypeError):
        TurnLens(config={})
    with pytest.raises(TypeError):
        TurnLens(None, llm_fallback=5)
    assert TurnLens().config == ResolverConfig()


def test_fresh_and_clarify():
    tl = TurnLens()
    fresh = tl._fresh("Show revenue", reason="r")
    assert fresh.required_tables == [] and fresh.required_columns == {} and fresh.anchor_metadata_ids == []
    assert fresh.allow_related_tables is True and fresh.intent_delta == IntentDelta()
    assert fresh.confidence == 0.95 and fresh.metadata_search_query == "revenue"
    three = [cand(i, 0.5) for i in (1, 2, 3)]
    assert len(tl._clarify("q", three, "r", "?").candidates) == 3
    clar = lens(include_debug_candidates=False)._clarify("q", three, "r", "?")
    assert clar.candidates == [] and clar.confidence == 0.0 and clar.route == "clarify"


# -- detectors ------------------------------------------------------------------------


def signals(tl, q):
    delta = tl._extract_intent_delta(q)
    return dict(
        turn=tl._detect_explicit_turn_reference(q),
        artifact=tl._detect_artifact_reference(q),
        suggestion=tl._is_suggestion_request(q),
        followup=tl._has_followup_signal(q),
        modify=tl._has_modify_signal(q, delta),
        pronoun=tl._has_pronoun_followup(q),
        ambiguous=tl._has_ambiguous_reference(q),
        complete=tl._looks_like_complete_question(q),
    )


def test_detector_examples():
    tl = TurnLens()
    s = signals(tl, "consider monthly?")
    assert s == dict(turn=None, artifact=None, suggestion=False, followup=False, modify=True,
                     pronoun=False, ambiguous=False, complete=False)
    s = signals(tl, "make it category based")
    assert s["followup"] and s["modify"] and s["pronoun"] and s["ambiguous"] and not s["complete"]
    s = signals(tl, "what else we get?")
    assert s["suggestion"] and not s["complete"]
    s = signals(tl, "Show failed payment count by bank")
    assert s["complete"] and not s["followup"] and s["modify"]
    s = signals(tl, "show the previous metric")
    assert s["followup"] and s["pronoun"] and s["complete"]
    s = signals(tl, "revenue for the last 6 months by region")
    assert not s["pronoun"] and s["followup"]
    assert tl._has_pronoun_followup("the last chart")
    assert tl._has_pronoun_followup("same for the last 6 months")
    assert not tl._has_pronoun_followup("sales for the last 6 months")


def test_reference_detection():
    tl = TurnLens()
    assert tl._detect_artifact_reference("see report_7") == "report_7"
    assert tl._detect_artifact_reference("Widget_12 please") == "widget__12"
    assert tl._detect_artifact_reference("use the previous chart") is None
    assert tl._detect_artifact_reference("chart for march") == "chart_for"
    assert tl._detect_artifact_reference("chart #2") == "chart_2"
    chart7 = TurnContextCard(turn_id=7, artifact_type="chart")
    assert tl._artifact_matches("chart_7", chart7)
    assert tl._artifact_matches("turn_7", TurnContextCard(turn_id=7))
    assert not tl._artifact_matches("Chart#7", chart7)
    assert tl._artifact_matches("Chart_#7", chart7)
    for text, number in [("use chart #2", 2), ("compare with turn 3", 3), ("the 2nd table", 2),
                         ("the second chart", 2), ("top 5 products", None), ("top 5 chart", 5),
                         ("the third result", 3), ("third quarter results", None)]:
        assert tl._detect_explicit_turn_reference(text) == number, text
    with pytest.raises(TypeError):
        tl._detect_explicit_turn_reference(None)


def test_huge_numbers_are_read_and_written_in_full():
    tl = TurnLens()
    digits = "9" * 5000
    assert tl._detect_explicit_turn_reference("turn " + digits) == 10 ** 5000 - 1
    delta = tl._extract_intent_delta("top " + digits)
    assert delta.top_n == 10 ** 5000 - 1 and delta.raw_hints == ["top " + digits]
    card = TurnContextCard(turn_id=10 ** 5000 - 1)
    ranked = tl._rank_candidates(current_question="turn " + digits, cards=[card], explicit_turn_id=10 ** 5000 - 1,
                                 explicit_artifact_ref=None, active_turn_id=None, preferred_task_type=None)
    assert ranked[0].reasons[0] == "explicit turn reference: " + digits
    res = tl.resolve("turn " + digits, [card])
    assert res.context_type == "follow_up_specific_turn" and res.base_turn_id == 10 ** 5000 - 1
    # a value with no integer form is written as the float's own text
    delta = tl._extract_intent_delta("what if it was " + "9" * 400)
    parts = {"filter": "amount > 5"}
    tl._apply_numeric_override(parts, delta)
    assert parts["filter"] == "amount > inf"


# -- ranking and base choice -------------------------------------------------------------


def rank(tl, question, cards, **kw):
    args = dict(explicit_turn_id=None, explicit_artifact_ref=None, active_turn_id=None, preferred_task_type=None)
    args.update(kw)
    return tl._rank_candidates(current_question=question, cards=cards, **args)


def test_ranking_examples():
    tl = TurnLens()
    [one] = rank(tl, "zzz", [TurnContextCard(turn_id=1, user_question="abc")])
    assert one.score == pytest.approx(0.55) and one.reasons == ["active card", "latest active turn", "recent turn"]
    five, four = rank(tl, "zzz", [TurnContextCard(4), TurnContextCard(5)])
    assert (five.turn_id, four.turn_id) == (5, 4)
    assert five.score == pytest.approx(0.55) and four.score == pytest.approx(0.275)
    assert four.reasons == ["active card"]
    ten = rank(tl, "zzz", [TurnContextCard(i) for i in range(1, 11)])
    assert sum("recent turn" in c.reasons for c in ten) == 5
    ranked = rank(tl, "zzz", [TurnContextCard(i) for i in range(1, 6)], explicit_turn_id=3)
    assert ranked[0].turn_id == 3 and ranked[0].score == pytest.approx(2.3)
    assert ranked[0].reasons[0] == "explicit turn reference: 3"
    [c] = rank(tl, "zzz", [TurnContextCard(1)], active_turn_id=1)
    assert c.score == pytest.approx(0.7) and c.reasons[:3] == ["active card", "active turn id match", "latest active turn"]
    [c] = rank(tl, "zzz", [TurnContextCard(1, quality_score=0.0)])
    assert c.score == 0.0 and c.reasons
    [c] = rank(tl, "zzz", [TurnContextCard(1, quality_score=2.0)])
    assert c.score == pytest.approx(0.55)
    with pytest.raises(TypeError):
        tl._rank_candidates("zzz", [], None, None, None, None)


def test_ranking_overlap_reasons_and_ties():
    tl = TurnLens()
    card = TurnContextCard(1, user_question=SAMPLE_Q, entities=["revenue"], task_type="text_to_sql")
    [c] = rank(tl, "revenue please", [card], preferred_task_type="text_to_sql")
    assert c.reasons[3:] == ["keyword overlap 1.00", "entity/metadata overlap 1.00", "task type match: text_to_sql"]
    a, b = TurnContextCard(2, is_active=False), TurnContextCard(2, is_active=False)
    ranked = rank(tl, "zzz", [a, b])
    # equal turn ids share the position of the last of them (rank 1 of max_rank 1)
    assert ranked[0].card is a and ranked[0].score == pytest.approx(0.125)
    with pytest.raises(TypeError):
        rank(tl, "zzz", [TurnContextCard(1, entities=("a",))])


def test_base_choice():
    tl = TurnLens()
    best, second = ContextCandidate(1, 0.70), ContextCandidate(2, 0.65)
    assert tl._choose_base_for_contextual_request(best, second, "x", True) is None
    assert tl._choose_base_for_contextual_request(best, second, "x", False) is best
    low = ContextCandidate(1, 0.55)
    assert tl._choose_base_for_contextual_request(low, None, "make it category based", True) is low
    assert tl._choose_base_for_contextual_request(low, None, "consider monthly?", False) is None
    assert tl._choose_base_for_contextual_request(ContextCandidate(1, 0.15), None, "make it so", True) is None
    assert tl._choose_base_for_contextual_request(None, None, "x", False) is None


# -- intent delta ------------------------------------------------------------------------------


def delta(q):
    return TurnLens()._extract_intent_delta(q)


def test_delta_examples():
    d = delta("make it monthly")
    assert (d.operation, d.granularity, d.raw_hints, d.dimension_hint) == ("add_granularity", "month", ["month"], None)
    d = delta("top 5 instead")
    assert (d.operation, d.top_n, d.raw_hints, d.replace_numeric_value) == ("set_top_n", 5, ["top 5"], None)
    assert delta("top 05").raw_hints == ["top 5"]
    d = delta("top 5 and bottom 3")
    assert (d.operation, d.top_n, d.bottom_n) == ("set_bottom_n", 5, 3)
    d = delta("make it category based")
    assert (d.operation, d.dimension_hint) == ("replace_group_by", "category")
    assert delta("group by region").dimension_hint == "region"
    assert delta("by it").dimension_hint is None
    d = delta("show failed payment count by bank")
    assert (d.operation, d.dimension_hint, d.metric_hint, d.raw_hints) == (
        "replace_group_by", "bank", "by bank", ["bank", "by bank"])
    d = delta("only north region")
    assert (d.operation, d.filter_hint) == ("add_filter", "north region")
    assert delta("north only").filter_hint is None
    d = delta("remove filter on bank")
    assert (d.operation, d.filter_hint) == ("remove_filter", "on bank")
    d = delta("sort descending")
    assert (d.operation, d.sort_hint) == ("change_sort", "sort descending")
    assert delta("describe it").operation == "change_sort"
    d = delta("compare with last year")
    assert (d.operation, d.granularity, d.compare_hint) == ("add_granularity", "year", "compare with last year")
    d = delta("what if the threshold was 500")
    assert (d.granularity, d.operation, d.replace_numeric_value) == ("hour", "add_granularity", 500.0)
    assert d.raw_hints[-1] == "numeric_override:500"
    d = delta("use $1,200 instead")
    assert d.replace_numeric_value == 1.0 and d.raw_hints == ["numeric_override:$1"]
    d = delta("show the 2nd chart for last 6 months")
    assert d.replace_numeric_value is None and d.granularity == "month"
    assert delta("where status = 'failed'").filter_hint == "status = 'failed'"
    assert delta("show revenue by product category for last month").dimension_hint == "product category"
    assert delta("what is the average").metric_hint == "average"
    assert delta("summary").metric_hint == "sum"
    # "order" is a cut word, so the alias itself is the hint
    assert delta("average of order value").metric_hint == "average"
    assert delta("   ").operation == "none"


def test_clean_hint_and_numeric_override():
    tl = TurnLens()
    assert tl._clean_hint("  region for last 6 months? ") == "region"
    assert tl._clean_hint("a") == "" and tl._clean_hint("that") == ""
    with pytest.raises(TypeError):
        tl._clean_hint(None)
    parts = {"filter": "amount > $500", "metric": "x"}
    tl._apply_numeric_override(parts, IntentDelta(replace_numeric_value=750.0))
    assert parts["filter"] == "amount > $750"
    parts = {"filter": "", "metric": "growth 10%"}
    tl._apply_numeric_override(parts, IntentDelta(replace_numeric_value=12.5))
    assert parts["metric"] == "growth 12.5%"
    parts = {"filter": "between 10 and 20", "metric": "top 3"}
    tl._apply_numeric_override(parts, IntentDelta(replace_numeric_value=750.0))
    assert parts == {"filter": "between 10 and 750", "metric": "top 3"}
    parts = {"filter": "none here"}
    tl._apply_numeric_override(parts, IntentDelta(replace_numeric_value=0.1))
    assert parts == {"filter": "none here"}
    with pytest.raises(TypeError):
        tl._apply_numeric_override([], IntentDelta())


# -- composition ---------------------------------------------------------------------------------

STATE = {"aggregation": {"function": "sum", "column": "revenue"}, "group_by": ["region"]}


def compose(message, state=STATE, context_type="modify_previous_query", tl=None, **card_fields):
    tl = tl or TurnLens()
    card = TurnContextCard(turn_id=1, query_state=state, **card_fields)
    return tl._compose_resolved_question(message, card, tl._extract_intent_delta(message), context_type)


def test_compose_examples():
    assert compose("make it monthly") == "Show monthly sum revenue by region"
    assert compose("top 5") == "Show sum revenue by region top 5"
    assert compose("bottom 3 instead") == "Show sum revenue by region bottom 3"
    assert compose("top 0") == "Show sum revenue by region top 0"
    assert compose("hmm", {"group_by": ["month", "Day"]}, resolved_question="Q") == "Q. Modification: hmm"
    assert compose("hmm", {}) == "the previous request. Modification: hmm"
    assert compose("anything", context_type="suggestion_request", user_question="U") == (
        "Suggest related analyses or next useful questions based on: U")
    assert compose("Show failed payment count by bank") == "Show failed payment count by bank"
    filt = {"filters": ["status = failed"], "metrics": ["revenue"]}
    # three content tokens and no back-reference: the message stands as it is
    assert compose("only north region", filt) == "only north region"
    patient = lens(fresh_question_min_tokens=4)
    assert compose("only north region", filt, tl=patient) == "Show revenue where status = failed, north region"
    assert compose("what if it was 750", {"filters": ["amount > $500"]}) == (
        "Show the previous metric where amount > $750")


def test_text_where_list_expected_is_one_entry():
    tl = TurnLens()
    parts = tl._state_to_question_parts("b", {"metrics": "revenue", "group_by": "region"})
    assert parts == {"metric": "revenue", "grouping": "region", "filter": "", "granularity": "", "base_question": "b"}
    card = TurnContextCard(turn_id=1, query_state={"tables": ["t"], "metrics": "revenue", "date_columns": 7})
    assert tl._constraints_from_base(card, IntentDelta()) == (["t"], {"t": ["7", "revenue"]})


def test_filters_to_text():
    tl = TurnLens()
    filters = [{"field": "status", "operator": "=", "value": "failed"},
               {"column": "amount", "operation": "is not null"}]
    assert tl._filters_to_text(filters) == "status = failed, amount is not null"
    assert tl._filters_to_text({"a": "b" * 200}) == ref.compact_text({"a": "b" * 200}, 120)
    assert tl._filters_to_text([{"column": "amount", "operation": ">", "value": 0}]) == "amount > 0"
    assert tl._filters_to_text([{"column": "ok", "operation": "=", "value": False}]) == "ok = False"
    assert tl._filters_to_text([{"column": "a", "operation": "=", "value": "", "values": ["x", "y"]}]) == (
        "a = ['x', 'y']")
    assert tl._filters_to_text([{"column": 0, "operation": "in", "value": []}]) == "in"
    assert tl._filters_to_text(["x", None, {}]) == "x, None"
    assert tl._filters_to_text(0) == "" and tl._filters_to_text(5) == "5"


def test_merge_top_candidate_states():
    tl = TurnLens()
    c1, c2, c3, c4 = (cand(1, 0.9, state={"tables": ["t1"]}), cand(2, 0.8, state={"tables": ["t2"]}),
                      cand(3, 0.8, state={"tables": ["t3"]}), cand(4, 0.1, state={"tables": ["t4"]}))
    assert tl._merge_top_candidate_states(c4, [c1, c2, c3, c4])["tables"] == ["t4", "t1", "t2", "t3"]
    assert tl._merge_top_candidate_states(c4, [c1, c3, c2, c4])["tables"] == ["t4", "t1", "t3", "t2"]
    a = cand(1, 0.9, state={"tables": ["Sales", "orders"], "granularity": "month"})
    b = cand(2, 0.5, state={"tables": ["sales", "Customers"], "granularity": "day", "limit": 5})
    merged = tl._merge_top_candidate_states(a, [a, b])
    assert merged == {"tables": ["Sales", "orders", "Customers"], "granularity": "month", "limit": 5}


def test_render_and_ambiguity_question():
    tl = TurnLens()
    parts = {"metric": "", "grouping": "", "filter": "", "granularity": "day", "base_question": "b"}
    assert tl._render_question_parts(parts, "fb") == "Show daily the previous metric"
    assert tl._render_question_parts({"metric": " "}, "fb") == "fb"
    c7 = ContextCandidate(7, 0.5, card=TurnContextCard(7, user_question="first  question"))
    c8 = ContextCandidate(8, 0.4, card=TurnContextCard(8))
    assert tl._build_ambiguity_question([c7, c8]) == (
        "Which previous result should I use? turn 7: first question | turn 8: turn 8")
    assert tl._build_ambiguity_question([ContextCandidate(1, 0.1)]) == (
        "Can you clarify what you want me to use as context?")


def test_contextual_resolution_confidence_and_fields():
    tl = TurnLens()
    card = TurnContextCard(turn_id=3, selected_metadata_ids=["table:t"], artifact_id="a1")
    for score, expected in [(0.96, 0.99), (1.3, 0.99), (-1.0, 0.05), (0.5, 0.55)]:
        base = ContextCandidate(3, score, card=card)
        res = tl._build_contextual_resolution(
            context_type="follow_up_latest", current_question="and then", base_candidate=base,
            intent_delta=IntentDelta(), candidates=[base], route="generate", reason="r")
        assert res.confidence == pytest.approx(expected)
    base = ContextCandidate(3, -1.0, card=card)
    res = tl._build_contextual_resolution("modify_previous_query", "x", base, IntentDelta(), [base], "generate", "r")
    assert res.confidence == 0.0 and res.anchor_metadata_ids == ["table:t"] and res.use_previous_state
    assert res.extra == {"base_task_type": "unknown", "base_artifact_type": "unknown", "base_artifact_id": "a1"}
    res = lens(include_anchor_metadata_ids=False, include_debug_candidates=False)._build_contextual_resolution(
        "modify_previous_query", "x", base, IntentDelta(), [base], "generate", "r")
    assert res.anchor_metadata_ids == [] and res.candidates == []
    res = tl._build_contextual_resolution("follow_up_latest", "x", ContextCandidate(1, 0.9), IntentDelta(), [], "g", "r")
    assert res.context_type == "clarification_needed" and res.reason == (
        "Internal error: selected candidate had no context card.")
    assert res.clarification_question == "Please rephrase your question."


# -- search query and constraints -----------------------------------------------------------------


def test_search_query():
    tl = TurnLens()
    card = TurnContextCard(turn_id=1)
    q = tl._compose_metadata_search_query("make it monthly", card, IntentDelta(granularity="month"),
                                          "Show monthly revenue by region")
    assert q == "monthly revenue region month"
    assert lens(max_metadata_query_terms=3)._limit_query_terms(
        "revenue region revenue month region revenue") == "revenue region month"
    assert lens(max_metadata_query_terms=2)._limit_query_terms("b a a b c") == "b c"
    assert lens(max_metadata_query_terms=2)._limit_query_terms("bb aa aa bb cc") == "bb aa"
    assert tl._limit_query_terms("show it") == "show it"
    assert tl._limit_query_terms("") == ""
    card = TurnContextCard(turn_id=1, selected_metadata_ids=["column:sales_orders.region"])
    assert tl._compose_metadata_search_query("x", card, IntentDelta(), "") == "x column sales orders region"


def test_constraints():
    tl = TurnLens()
    state = {"active_tables": ["sales_orders"], "metrics": ["revenue"], "date_columns": ["order_date"],
             "group_by": ["region"]}
    card = TurnContextCard(turn_id=1, query_state=state)
    assert tl._constraints_from_base(card, IntentDelta(operation="replace_group_by")) == (
        ["sales_orders"], {"sales_orders": ["order_date", "revenue"]})
    assert tl._constraints_from_base(card, IntentDelta(operation="add_granularity")) == (
        ["sales_orders"], {"sales_orders": ["order_date", "region", "revenue"]})
    kept = dict(state, active_columns=["region"])
    card = TurnContextCard(turn_id=1, query_state=kept)
    assert tl._constraints_from_base(card, IntentDelta(operation="replace_group_by"))[1] == {
        "sales_orders": ["order_date", "region", "revenue"]}
    two = TurnContextCard(turn_id=1, query_state={"tables": ["a", "b"], "metrics": ["m"],
                                                  "required_columns": {"a": ["x"]}})
    assert tl._constraints_from_base(two, IntentDelta()) == (["a", "b"], {"a": ["x"]})
    no_prev = TurnContextCard(turn_id=1, query_state={"tables": ["a"], "metrics": ["m"],
                                                      "required_columns": {"a": ["x", 3]}})
    assert lens(include_previous_required_columns=False)._constraints_from_base(no_prev, IntentDelta()) == (
        ["a"], {"a": ["m"]})
    assert tl._constraints_from_base(no_prev, IntentDelta()) == (["a"], {"a": ["3", "m", "x"]})


# -- language-model fallback ---------------------------------------------------------------------


class Recorder:
    def __init__(self, answer=None, error=None):
        self.answer, self.error, self.calls = answer, error, []

    def __call__(self, question, summaries, preliminary):
        self.calls.append((question, summaries, preliminary))
        if self.error:
            raise self.error
        return self.answer


def two_cards():
    return [TurnContextCard(turn_id=2, selected_metadata_ids=["table:t2"], query_state={"tables": ["t2"]}),
            TurnContextCard(turn_id=1)]


def test_fallback_mapping():
    tl = TurnLens(ResolverConfig(use_llm_fallback=True), Recorder())
    res = tl._resolution_from_llm_dict("q?", {"base_turn_id": 2, "context_type": "follow_up_specific_turn"},
                                       two_cards())
    assert (res.resolved_question, res.metadata_search_query, res.use_previous_state) == ("q?", "q?", True)
    assert (res.required_tables, res.required_columns, res.anchor_metadata_ids) == (["t2"], {}, ["table:t2"])
    assert (res.confidence, res.reason, res.route) == (0.5, "LLM fallback resolution.", "generate")
    res = tl._resolution_from_llm_dict("q", {"base_turn_id": 2, "context_type": "fresh_question"}, two_cards())
    assert res.required_tables == [] and res.required_columns == {}
    assert tl._resolution_from_llm_dict("q", {"confidence": 1.7}, []).confidence == 1.7
    assert tl._resolution_from_llm_dict("q", {"confidence": 0}, []).confidence == 0.0
    assert tl._resolution_from_llm_dict("q", {"confidence": None}, []).confidence == 0.5
    assert tl._resolution_from_llm_dict("q", {"x": 1}, []).context_type == "clarification_needed"
    res = tl._resolution_from_llm_dict("q", {"base_turn_id": 9, "use_previous_state": None, "reason": "",
                                             "intent_delta": "junk"}, [])
    assert res.base_turn_id == 9 and res.use_previous_state is True and res.reason == ""
    assert res.intent_delta == IntentDelta()
    with pytest.raises(TypeError):
        tl._resolution_from_llm_dict("q", {"intent_delta": {"bogus": 1}}, [])
    with pytest.raises(ValueError):
        tl._resolution_from_llm_dict("q", {"confidence": "high"}, [])


def test_fallback_guarded_call():
    cards = [TurnContextCard(turn_id=i) for i in range(5, 0, -1)]
    for answer in ({}, [], [1], {"intent_delta": {"bogus": 1}}, {"confidence": "x"}):
        assert TurnLens(ResolverConfig(use_llm_fallback=True), Recorder(answer))._try_llm_fallback("q", cards, {}) is None
    assert TurnLens(ResolverConfig(use_llm_fallback=True),
                    Recorder(error=RuntimeError()))._try_llm_fallback("q", cards, {}) is None
    with pytest.raises(KeyboardInterrupt):
        TurnLens(ResolverConfig(use_llm_fallback=True),
                 Recorder(error=KeyboardInterrupt()))._try_llm_fallback("q", cards, {})
    rec = Recorder({"context_type": "fresh_question"})
    assert TurnLens(ResolverConfig(), rec)._try_llm_fallback("q", cards, {}) is None and rec.calls == []
    rec = Recorder({"context_type": "fresh_question"})
    tl = TurnLens(ResolverConfig(use_llm_fallback=True, max_cards_for_llm_fallback=2), rec)
    assert tl._try_llm_fallback("q", cards, {"p": 1}).context_type == "fresh_question"
    assert [s["turn_id"] for s in rec.calls[0][1]] == [5, 4] and rec.calls[0][2] == {"p": 1}
    rec = Recorder({"context_type": "fresh_question"})
    TurnLens(ResolverConfig(use_llm_fallback=True, max_cards_for_llm_fallback=-1), rec)._try_llm_fallback("q", cards, {})
    assert rec.calls[0][1] == []
    rec = Recorder({"context_type": "fresh_question"})
    TurnLens(ResolverConfig(use_llm_fallback=True, max_cards_for_llm_fallback=None), rec)._try_llm_fallback(
        "q", cards, {})
    assert len(rec.calls[0][1]) == 5


# -- driver --------------------------------------------------------------------------------------------


def test_driver_plain_paths():
    res = resolve_context("   ", [ref.demo_card()])
    assert (res.context_type, res.confidence, res.current_question) == ("clarification_needed", 1.0, "   ")
    assert res.clarification_question == "Please enter a question or instruction." and res.reason == "Empty question."
    res = resolve_context("what else we get?")
    assert (res.context_type, res.route, res.confidence) == ("suggestion_request", "suggest", 0.9)
    assert res.resolved_question == "Suggest possible analyses or next useful questions for: what else we get?"
    res = resolve_context(" Show failed payment count by bank ", [None, 3])
    assert (res.context_type, res.confidence, res.reason) == ("fresh_question", 0.95, "No previous context cards available.")
    assert res.resolved_question == res.current_question == "Show failed payment count by bank"
    with pytest.raises(TypeError):
        resolve_context(None)
    with pytest.raises(TypeError):
        resolve_context("x", active_turn_id="1")
    with pytest.raises(TypeError):
        resolve_context("x", preferred_task_type=3)
    with pytest.raises(TypeError):
        resolve_context("x", [{"turn_id": 1, "bad": 2}])


def test_driver_with_sample_card():
    cards = [ref.demo_card()]
    assert resolve_context("make it category based", cards).context_type == "modify_previous_query"
    for message in ("consider monthly?", "Show failed payment count by bank"):
        res = resolve_context(message, cards)
        assert res.reason == "The question looks contextual, but the base turn is ambiguous."
    assert resolve_context("what else we get?", cards).reason == (
        "Suggestion request was detected, but no clear base context was found.")
    res = resolve_context("consider monthly?", cards, active_turn_id=1)
    assert (res.context_type, res.base_turn_id, res.intent_delta.granularity) == ("modify_previous_query", 1, "month")
    assert res.confidence == pytest.approx(0.7)
    assert res.resolved_question == "Show monthly sum revenue by region where order_date last_6_months"
    res = resolve_context("use turn 7 instead", cards)
    assert res.reason == "Explicit reference was detected but no matching turn/artifact was found."
    res = resolve_context("redo turn 1", cards)
    assert (res.context_type, res.base_turn_id) == ("follow_up_specific_turn", 1)
    # the map form of a card gives the same result
    as_map = {f.name: getattr(cards[0], f.name) for f in ref.fields(TurnContextCard)}
    assert resolve_context("make it category based", [as_map]) == resolve_context("make it category based", cards)


def test_driver_fallback_call_sites():
    cards = [ref.demo_card()]
    rec = Recorder()
    res = TurnLens(ResolverConfig(use_llm_fallback=False), rec).resolve("consider monthly?", cards)
    assert rec.calls == [] and res.context_type == "clarification_needed"
    res = TurnLens(ResolverConfig(use_llm_fallback=True), rec).resolve("consider monthly?", cards)
    assert len(rec.calls) == 1 and "preliminary_resolution" not in rec.calls[0][2]
    prelim = rec.calls[0][2]
    assert list(prelim) == ["explicit_turn_id", "explicit_artifact_ref", "suggestion", "followup_signal",
                            "modification_signal", "complete_question", "ambiguous_reference", "intent_delta",
                            "best_candidate", "second_candidate"]
    assert prelim["intent_delta"]["granularity"] == "month" and prelim["second_candidate"] is None
    assert prelim["best_candidate"] == {"turn_id": 1, "score": 0.55,
                                        "reasons": ["active card", "latest active turn", "recent turn"]}
    rec = Recorder({"context_type": "follow_up_latest", "base_turn_id": 1, "confidence": 0.8})
    res = TurnLens(ResolverConfig(use_llm_fallback=True), rec).resolve("hmm", cards)
    assert (res.context_type, res.required_tables, res.confidence) == ("follow_up_latest", ["sales_orders"], 0.8)
    # finishing step: only with a ceiling, only below it
    rec = Recorder()
    cfg = ResolverConfig(use_llm_fallback=True, llm_fallback_confidence_ceiling=0.99)
    res = TurnLens(cfg, rec).resolve("make it category based", cards)
    assert res.context_type == "modify_previous_query" and len(rec.calls) == 1
    assert "candidates" not in rec.calls[0][2]["preliminary_resolution"]
    assert rec.calls[0][2]["preliminary_resolution"]["confidence"] == res.confidence
    rec = Recorder({"context_type": "fresh_question"})
    cfg = ResolverConfig(use_llm_fallback=True, llm_fallback_confidence_ceiling=0.5)
    res = TurnLens(cfg, rec).resolve("make it category based", cards)
    assert rec.calls == [] and res.context_type == "modify_previous_query"
    rec = Recorder({"context_type": "fresh_question"})
    cfg = ResolverConfig(use_llm_fallback=True, llm_fallback_confidence_ceiling=0.8)
    assert TurnLens(cfg, rec).resolve("make it category based", cards).context_type == "fresh_question"


def test_cards_are_not_modified():
    card = ref.demo_card()
    before = copy.deepcopy(card)
    for message in ref.DEMO_MESSAGES + ["top 5 only north where x = 3", "what if it was 9"]:
        resolve_context(message, [card], active_turn_id=1)
    assert card == before


# -- demonstration ----------------------------------------------------------------------------------


def test_demo_outcomes():
    text = ref.demo()
    chunks = text.split("\nQUESTION: ")[1:]
    assert [c.split("\n", 1)[0] for c in chunks] == ref.DEMO_MESSAGES
    results = [json.loads(c.split("\n", 1)[1]) for c in chunks]
    types = [r["context_type"] for r in results]
    assert types == ["clarification_needed", "modify_previous_query", "clarification_needed", "clarification_needed"]
    for r in results:
        assert r["candidates"] == [{"turn_id": 1, "score": 0.55,
                                    "reasons": ["active card", "latest active turn", "recent turn"]}]
    modify = results[1]
    assert modify["base_turn_id"] == 1 and modify["intent_delta"]["operation"] == "replace_group_by"
    assert modify["intent_delta"]["dimension_hint"] == "category"
    assert modify["resolved_question"] == "Show sum revenue by category where order_date last_6_months"
    assert modify["required_tables"] == ["sales_orders"]
    assert modify["required_columns"] == {"sales_orders": ["order_date", "region", "revenue"]}
    assert modify["anchor_metadata_ids"] == ref.demo_card().selected_metadata_ids
    assert modify["extra"] == {"base_task_type": "text_to_sql", "base_artifact_type": "sql", "base_artifact_id": None}
    assert results[0]["reason"] == results[3]["reason"] == (
        "The question looks contextual, but the base turn is ambiguous.")
    assert results[2]["reason"] == "Suggestion request was detected, but no clear base context was found."
    assert text.startswith("\nQUESTION: consider monthly?\n{\n  \"context_type\"")
    assert text.endswith("}\n")
    d = TurnLens()._extract_intent_delta("Show failed payment count by bank")
    assert (d.dimension_hint, d.metric_hint) == ("bank", "by bank")
