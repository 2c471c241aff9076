"""Candidate ranking, base choice and intent delta extraction of askweave.turnlens."""
import inspect
import math
import sys

import pytest
from hypothesis import assume, given, strategies as st

import askweave.turnlens as tl
from pyref import turnlens as ref
from test_turnlens_detect import messages

LENS, REF = tl.TurnLens(), ref.TurnLens()
QUESTION = "Show total revenue by region for last 6 months"
DELTA_FIELDS = ["operation", "granularity", "dimension_hint", "metric_hint", "filter_hint", "sort_hint",
                "compare_hint", "top_n", "bottom_n", "replace_numeric_value", "raw_hints"]


def fields(delta):
    return [getattr(delta, f) for f in DELTA_FIELDS]


def same_float(a, b):
    return repr(a) == repr(b)


def position(items, item):
    return next(i for i, x in enumerate(items) if x is item)


def rank(lens, cards, question="", explicit=None, artifact=None, active=None, task=None):
    return lens._rank_candidates(current_question=question, cards=cards, explicit_turn_id=explicit,
                                 explicit_artifact_ref=artifact, active_turn_id=active, preferred_task_type=task)


# ------------------------------------------------------------ ranking

WORDS = ["revenue", "region", "sales", "orders", "bank", "monthly", "chart", "it", "Order_Date", "sales.orders",
         "table:sales", "column:sales.region", "\u00e9t\u00e9", "6", "months", "count"]
card_fields = st.fixed_dictionaries({
    "turn_id": st.integers(0, 6),
    "user_question": st.lists(st.sampled_from(WORDS), max_size=6).map(" ".join),
    "task_type": st.sampled_from(["text_to_sql", "rag", "unknown"]),
    "artifact_type": st.sampled_from(["chart", "table", "unknown"]),
    "entities": st.lists(st.sampled_from(WORDS), max_size=4),
    "topic_keywords": st.lists(st.sampled_from(WORDS), max_size=3),
    "selected_metadata_ids": st.lists(st.sampled_from(WORDS), max_size=3),
    "query_state": st.sampled_from([{}, {"tables": ["sales"], "metrics": ["revenue"]}]),
    "quality_score": st.sampled_from([1.0, 0.5, 0.0, -1.0, 2.0, 0.3, float("nan"), 1, 0, True]),
    "is_active": st.booleans(),
})
weights = st.sampled_from([0.0, 0.1, 0.25, 1, 2.0, 1e-9, 3.7])


@given(st.lists(card_fields, max_size=7), st.lists(st.sampled_from(WORDS), max_size=6).map(" ".join),
       st.sampled_from([None, 0, 3, 5, True]), st.sampled_from([None, "", "chart_3", "turn_2", "table_5"]),
       st.sampled_from([None, 1, 4]), st.sampled_from([None, "", "rag", "text_to_sql"]),
       st.dictionaries(st.sampled_from(["recency_weight", "keyword_overlap_weight", "entity_overlap_weight",
                                        "active_card_bonus", "explicit_reference_weight"]), weights))
def test_ranking_agrees_bit_for_bit(drafts, question, explicit, artifact, active, task, settings_):
    ours = [tl.TurnContextCard(**s) for s in drafts]
    theirs = [ref.TurnContextCard(**s) for s in drafts]
    got = rank(tl.TurnLens(tl.ResolverConfig(**settings_)), ours, question, explicit, artifact, active, task)
    want = rank(ref.TurnLens(ref.ResolverConfig(**settings_)), theirs, question, explicit, artifact, active, task)
    assert [(c.turn_id, c.reasons) for c in got] == [(c.turn_id, c.reasons) for c in want]
    assert all(same_float(a.score, b.score) for a, b in zip(got, want))
    # the cards themselves, not copies, in the same places
    assert [position(ours, c.card) for c in got] == [position(theirs, c.card) for c in want]


@given(st.lists(card_fields, min_size=1, max_size=6), st.lists(st.sampled_from(WORDS), max_size=6).map(" ".join),
       st.floats(-2, 3) | st.sampled_from([float("nan"), 0.0, 1.0]))
def test_scores_scale_by_clamped_quality(drafts, question, quality):
    plain = [tl.TurnContextCard(**dict(s, quality_score=1.0)) for s in drafts]
    scaled = [tl.TurnContextCard(**dict(s, quality_score=quality)) for s in drafts]
    factor = max(0.0, min(1.0, quality))
    before = {position(plain, c.card): c for c in rank(LENS, plain, question)}
    after = {position(scaled, c.card): c for c in rank(LENS, scaled, question)}
    for i, c in after.items():
        assert same_float(c.score, before[i].score * factor) and c.reasons == before[i].reasons


@given(st.lists(card_fields, min_size=2, max_size=7))
def test_equal_scores_keep_recency_order(drafts):
    cards = [tl.TurnContextCard(**s) for s in drafts]
    got = rank(LENS, cards)
    recency = sorted(cards, key=lambda c: c.turn_id, reverse=True)
    for a, b in zip(got, got[1:]):
        assert a.score >= b.score or math.isnan(a.score) or math.isnan(b.score)
        if a.score == b.score:
            assert position(recency, a.card) < position(recency, b.card)


def test_ranking_scores_and_reasons_on_sample_cards():
    one = tl.TurnContextCard(1, user_question=QUESTION)
    [c] = rank(LENS, [one], "what else we get?")
    assert (c.turn_id, c.score, c.reasons, c.card) == (1, 0.15 + 0.15 + 0.25, ["active card", "latest active turn",
                                                                                  "recent turn"], one)
    assert c.card is one
    four, five = tl.TurnContextCard(4), tl.TurnContextCard(5)
    got = rank(LENS, [four, five], "zzz")
    assert [(c.turn_id, c.score, c.reasons) for c in got] == [
        (5, 0.55, ["active card", "latest active turn", "recent turn"]), (4, 0.15 + 0.25 * 0.5, ["active card"])]
    ten = rank(LENS, [tl.TurnContextCard(i) for i in range(1, 11)], "zzz")
    assert [("recent turn" in c.reasons) for c in ten] == [True] * 5 + [False] * 5
    got = rank(LENS, [tl.TurnContextCard(i) for i in range(1, 6)], "zzz", explicit=3)
    assert got[0].turn_id == 3 and got[0].reasons[0] == "explicit turn reference: 3"
    assert got[0].score == 2.0 + 0.15 + 0.25 * 0.6
    top = rank(LENS, [tl.TurnContextCard(i) for i in range(1, 4)], "zzz", active=3)[0]
    assert top.reasons == ["active card", "active turn id match", "latest active turn", "recent turn"]
    zero = rank(LENS, [tl.TurnContextCard(2, quality_score=0.0)], "zzz")[0]
    assert zero.score == 0.0 and zero.reasons == ["active card", "latest active turn", "recent turn"]
    assert rank(LENS, [tl.TurnContextCard(2, quality_score=2.0)], "zzz")[0].score == 0.55
    same = rank(LENS, [tl.TurnContextCard(3, is_active=False), tl.TurnContextCard(3, is_active=False)], "zzz")
    assert same[0].reasons == same[1].reasons == [] and same[0].score == same[1].score  # shared last position
    overlap = rank(LENS, [tl.TurnContextCard(1, user_question=QUESTION, entities=["region"])], "revenue by region",
                   task="unknown", artifact="turn_1")[0]
    assert overlap.reasons == ["artifact reference match: turn_1", "active card", "latest active turn", "recent turn",
                               "keyword overlap 1.00", "entity/metadata overlap 1.00", "task type match: unknown"]
    eighth = rank(LENS, [tl.TurnContextCard(1, user_question="a1 a2 a3 a4 a5 a6 a7 a8")], "a1 b2")[0]
    assert "keyword overlap 0.50" in eighth.reasons
    assert rank(LENS, [], "anything") == []


def test_ranking_with_huge_ids_and_odd_kinds():
    huge = 10 ** 5000
    got = rank(LENS, [tl.TurnContextCard(huge), tl.TurnContextCard(1)], "zzz", explicit=huge)
    old = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    try:
        assert got[0].reasons[0] == "explicit turn reference: " + str(huge)
    finally:
        sys.set_int_max_str_digits(old)
    # ids that are not plain ints sort and rank through the host's own rules
    cards = [tl.TurnContextCard(2.5), tl.TurnContextCard(True), tl.TurnContextCard(1)]
    theirs = [ref.TurnContextCard(2.5), ref.TurnContextCard(True), ref.TurnContextCard(1)]
    got, want = rank(LENS, cards, "x"), rank(REF, theirs, "x")
    assert [(c.turn_id, c.score, c.reasons) for c in got] == [(c.turn_id, c.score, c.reasons) for c in want]
    with pytest.raises(TypeError):
        rank(LENS, [tl.TurnContextCard(1), tl.TurnContextCard("2")])
    with pytest.raises(TypeError, match="card.entities must be a list"):
        rank(LENS, [tl.TurnContextCard(1, entities=("a",))])
    with pytest.raises(TypeError):
        rank(LENS, [tl.TurnContextCard(1, topic_keywords=[1])])
    with pytest.raises(TypeError):
        rank(LENS, [tl.TurnContextCard(1, quality_score="high")])
    with pytest.raises(TypeError):
        rank(LENS, [tl.TurnContextCard(1)], artifact=5)
    with pytest.raises(OverflowError):
        rank(tl.TurnLens(tl.ResolverConfig(active_card_bonus=10 ** 400)), [tl.TurnContextCard(1)])
    # a weight of another number kind is used through its own arithmetic
    from fractions import Fraction
    cfg = dict(active_card_bonus=Fraction(1, 3))
    [a] = rank(tl.TurnLens(tl.ResolverConfig(**cfg)), [tl.TurnContextCard(1)])
    [b] = rank(ref.TurnLens(ref.ResolverConfig(**cfg)), [ref.TurnContextCard(1)])
    assert a.score == b.score and type(a.score) is type(b.score)


def test_rank_arguments_are_keyword_only_and_required():
    assert str(inspect.signature(tl.TurnLens._rank_candidates)) == (
        "(self, /, *, current_question, cards, explicit_turn_id, explicit_artifact_ref, active_turn_id, "
        "preferred_task_type)")
    with pytest.raises(TypeError):
        LENS._rank_candidates("q", [], None, None, None, None)
    with pytest.raises(TypeError):
        LENS._rank_candidates(current_question="q", cards=[], explicit_turn_id=None, explicit_artifact_ref=None,
                              active_turn_id=None)


# ------------------------------------------------------------ base choice

def cand(score, turn_id=1):
    return tl.ContextCandidate(turn_id, score)


def test_base_choice():
    choose = LENS._choose_base_for_contextual_request
    best, second = cand(0.70), cand(0.65, 2)
    assert choose(best, second, "x", True) is None
    assert choose(best, second, "x", False) is best
    assert choose(best, None, "x", True) is best
    low = cand(0.55)
    assert choose(low, None, "make it category based", False) is low
    assert choose(low, None, "consider monthly?", False) is None
    assert choose(cand(0.15), None, "make it category based", False) is None
    assert choose(cand(0.2), None, "that", False) is not None
    assert choose(None, second, "x", True) is None
    never_ask = tl.TurnLens(tl.ResolverConfig(ask_clarification_when_ambiguous=False))
    assert never_ask._choose_base_for_contextual_request(best, second, "x", True) is best
    no_latest = tl.TurnLens(tl.ResolverConfig(prefer_latest_for_pronoun_followup=False))
    assert no_latest._choose_base_for_contextual_request(low, None, "make it", False) is None
    with pytest.raises(TypeError):  # the message is read only when needed
        choose(low, None, None, False)
    assert choose(best, second, None, False) is best


@given(st.floats(-1, 3) | st.integers(0, 2), st.none() | st.floats(-1, 3), messages, st.booleans(),
       st.booleans(), st.booleans())
def test_base_choice_agrees(best, second, message, ambiguous, ask, prefer):
    cfg = dict(ask_clarification_when_ambiguous=ask, prefer_latest_for_pronoun_followup=prefer)
    ours = tl.TurnLens(tl.ResolverConfig(**cfg))._choose_base_for_contextual_request(
        cand(best), None if second is None else cand(second, 2), message, ambiguous)
    theirs = ref.TurnLens(ref.ResolverConfig(**cfg))._choose_base_for_contextual_request(
        ref.ContextCandidate(1, best), None if second is None else ref.ContextCandidate(2, second), message, ambiguous)
    assert (ours is None) == (theirs is None)


# ------------------------------------------------------------ delta extraction

@given(messages)
def test_delta_agrees_with_the_rules(message):
    assert fields(LENS._extract_intent_delta(message)) == fields(REF._extract_intent_delta(message))
    q = message.lower().strip()
    for name in ["_extract_dimension_hint", "_extract_filter_hint", "_extract_metric_hint", "_clean_hint"]:
        assert getattr(LENS, name)(q) == getattr(REF, name)(q), (name, q)
        assert getattr(LENS, name)(message) == getattr(REF, name)(message), (name, message)


@given(messages)
def test_delta_precedence_and_hint_order(message):
    d = LENS._extract_intent_delta(message)
    q = message.lower().strip()
    removal = any(p in q for p in ["remove filter", "without filter", "clear filter", "ignore filter"])
    ranked = [(removal, "remove_filter"), (d.bottom_n is not None, "set_bottom_n"), (d.top_n is not None, "set_top_n"),
              (d.granularity, "add_granularity"), (d.dimension_hint, "replace_group_by"),
              (d.metric_hint, "replace_metric"), (d.filter_hint, "add_filter"), (d.sort_hint, "change_sort"),
              (d.compare_hint, "compare"), (d.replace_numeric_value is not None, "replace_numeric_value")]
    assert d.operation == next((op for hit, op in ranked if hit), "none")
    numeric = [h for h in d.raw_hints if h.startswith("numeric_override:")]
    expected = [h for h in [d.granularity, d.top_n is not None and f"top {d.top_n}",
                            d.bottom_n is not None and f"bottom {d.bottom_n}", d.dimension_hint, d.metric_hint,
                            d.filter_hint] if h] + numeric
    assert d.raw_hints == expected
    assert d.sort_hint in (None, q) and d.compare_hint in (None, q)
    for hint in [d.dimension_hint, d.metric_hint, d.filter_hint]:
        assert hint is None or hint == hint.lower()


def test_intent_delta_fields_for_sample_messages():
    def d(message, **expected):
        got = dict(zip(DELTA_FIELDS, fields(LENS._extract_intent_delta(message))))
        for k, v in expected.items():
            assert got[k] == v, (message, k, got[k])
        return got

    d("make it monthly", operation="add_granularity", granularity="month", raw_hints=["month"], dimension_hint=None)
    d("top 5 instead", operation="set_top_n", top_n=5, raw_hints=["top 5"], replace_numeric_value=None)
    d("top 05 please", raw_hints=["top 5"])
    d("top 5 and bottom 3", operation="set_bottom_n", top_n=5, bottom_n=3)
    d("make it category based", operation="replace_group_by", dimension_hint="category")
    d("group by region", dimension_hint="region")
    d("by it", dimension_hint=None)
    d("show failed payment count by bank", operation="replace_group_by", dimension_hint="bank", metric_hint="by bank",
      raw_hints=["bank", "by bank"])
    d("only north region", operation="add_filter", filter_hint="north region")
    d("north only", filter_hint=None)
    d("where status = 'failed'", filter_hint="status = 'failed'")
    d("remove filter on bank", operation="remove_filter", filter_hint="on bank")
    d("sort descending", operation="change_sort", sort_hint="sort descending")
    d("describe it", operation="change_sort")
    d("compare with last year", operation="add_granularity", granularity="year", compare_hint="compare with last year")
    d("what if the threshold was 500", granularity="hour", operation="add_granularity", replace_numeric_value=500.0,
      raw_hints=["hour", "numeric_override:500"])
    d("use $1,200 instead", replace_numeric_value=1.0, raw_hints=["numeric_override:$1"])
    d("show the 2nd chart for last 6 months", replace_numeric_value=None, granularity="month")
    d("average of order value", metric_hint="average")  # "order" cuts the capture
    d("what is the average", metric_hint="average")
    d("summary please", metric_hint="sum")
    d("  GROWTH 12.5%  ", operation="compare", compare_hint="growth 12.5%", replace_numeric_value=12.5,
      raw_hints=["numeric_override:12.5%"])
    d("value \u0663.\u0665", replace_numeric_value=3.5, raw_hints=["numeric_override:\u0663.\u0665"])
    d("", operation="none", raw_hints=[])
    assert LENS._clean_hint("  region for last 6 months? ") == "region"
    assert LENS._clean_hint("a") == LENS._clean_hint("that") == ""
    assert LENS._clean_hint("x\t\u2003y..") == "x y"
    assert LENS._clean_hint("region\nfor x\n") == REF._clean_hint("region\nfor x\n")


def test_huge_numbers_are_read_whole_and_written_in_full():
    digits = "0" + "9" * 4400
    got = LENS._extract_intent_delta("top " + digits + " and bottom \u0661" + "0" * 4400)
    old = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    try:
        assert got.top_n == int(digits) and got.bottom_n == 10 ** 4400
        assert got.raw_hints == ["top " + "9" * 4400, "bottom 1" + "0" * 4400]
    finally:
        sys.set_int_max_str_digits(old)
    value = LENS._extract_intent_delta("set it to " + "9" * 400)
    assert value.replace_numeric_value == math.inf and value.raw_hints == ["numeric_override:" + "9" * 400]
    assert value.operation == "replace_numeric_value"


def test_numeric_override():
    def run(value, **parts):
        got = dict(parts)
        LENS._apply_numeric_override(got, tl.IntentDelta(replace_numeric_value=value))
        want = dict(parts)
        REF._apply_numeric_override(want, ref.IntentDelta(replace_numeric_value=value))
        assert got == want, (value, parts)
        return got

    assert run(750.0, filter="amount > $500") == {"filter": "amount > $750"}
    assert run(12.5, metric="growth 10%") == {"metric": "growth 12.5%"}
    assert run(750.0, filter="between 10 and 20")["filter"] == "between 10 and 750"
    assert run(2.5, filter="", metric="top 3 by 4") == {"filter": "", "metric": "top 3 by 2.5"}
    assert run(0.1, filter="no number", metric="x 1")["metric"] == "x 0.1"
    assert run(1e-05, filter="x 1")["filter"] == "x 1e-05"
    assert run(1e22, filter="x 1")["filter"] == "x 10000000000000000000000"
    assert run(-0.0, filter="x 1")["filter"] == "x 0"
    assert run(None, filter="x 1") == {"filter": "x 1"}
    # no integer form: written as the float reads back, the text around it kept
    assert run(math.inf, filter="amount > 500 rows")["filter"] == "amount > inf rows"
    assert run(math.nan, filter="$5%")["filter"] == "$nan%"
    assert run(10 ** 5000, filter="x 1")["filter"] == "x 1" + "0" * 5000
    assert run(7, metric="\u0663 units")["metric"] == "7 units"
    assert run(5.0, filter="x 1", metric="y 2") == {"filter": "x 5", "metric": "y 2"}
    with pytest.raises(TypeError):
        LENS._apply_numeric_override([], tl.IntentDelta(replace_numeric_value=1.0))
    with pytest.raises(TypeError):
        LENS._apply_numeric_override({"filter": 5}, tl.IntentDelta(replace_numeric_value=1.0))
    with pytest.raises(TypeError):
        LENS._apply_numeric_override({"filter": "x 1"}, tl.IntentDelta(replace_numeric_value=[1]))


@given(st.floats(allow_nan=True) | st.integers(-10 ** 30, 10 ** 30), st.sampled_from(["", "a 1 b", "$3.5% x", "n"]),
       st.sampled_from(["", "m 2", "7%"]))
def test_numeric_override_agrees(value, filter_part, metric_part):
    got = {"filter": filter_part, "metric": metric_part}
    want = dict(got)
    LENS._apply_numeric_override(got, tl.IntentDelta(replace_numeric_value=value))
    REF._apply_numeric_override(want, ref.IntentDelta(replace_numeric_value=value))
    assert got == want


def test_delta_bad_input_and_signatures():
    for name, arg in [("_extract_intent_delta", "question"), ("_extract_dimension_hint", "q"),
                      ("_extract_filter_hint", "q"), ("_extract_metric_hint", "q"), ("_clean_hint", "hint")]:
        assert str(inspect.signature(getattr(tl.TurnLens, name))) == f"(self, /, {arg})"
        with pytest.raises(TypeError):
            getattr(LENS, name)(None)
    assert str(inspect.signature(tl.TurnLens._apply_numeric_override)) == "(self, /, parts, delta)"
    a, b = LENS._extract_intent_delta("make it monthly"), LENS._extract_intent_delta("make it monthly")
    assert a == b and a.raw_hints is not b.raw_hints


def test_large_message():
    message = ("top 5 by region where status = 'failed' sort desc vs last 6 months 12.5% " * 14000)[: 1 << 20]
    assert fields(LENS._extract_intent_delta(message)) == fields(REF._extract_intent_delta(message))
    for message in ["9" * (1 << 20), "top " + "9" * 30000, "by " + "x " * (1 << 19)]:
        LENS._extract_intent_delta(message)
