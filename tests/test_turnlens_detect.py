"""Reference and signal detection of askweave.turnlens, against the plain-Python rules."""
import inspect
import sys

import pytest
from hypothesis import given, settings, strategies as st

import askweave.turnlens as tl
from pyref import turnlens as ref

LENS, REF = tl.TurnLens(), ref.TurnLens()

DETECTORS = ["_detect_explicit_turn_reference", "_detect_artifact_reference", "_is_suggestion_request",
             "_has_followup_signal", "_has_pronoun_followup", "_has_ambiguous_reference",
             "_looks_like_complete_question"]

# Trigger words and phrases of the vocabulary, the detectors and the delta
# extraction, mixed below with random words, numbers, punctuation and Unicode.
TRIGGERS = (
    sorted(tl.FOLLOWUP_TERMS | tl.MODIFY_TERMS) + list(tl.SUGGESTION_PHRASES) + list(tl.CLARIFICATION_RISK_PHRASES)
    + [f for forms in tl.GRANULARITY_ALIASES.values() for f in forms]
    + [f for forms in tl.AGGREGATION_ALIASES.values() for f in forms] + list(tl.ORDINAL_WORDS)
    + ["turn", "question", "query", "card", "widget", "#", "st", "nd", "rd", "th", "top", "bottom", "by", "group by",
       "based", "wise", "only ", "where ", "filter by", "remove filter", "clear filter", "desc", "vs", "growth",
       "change from", "of", "for", "with", "from", "next", "current", "order", "limit", "months", "last 6 months",
       "previous quarter", "report_7", "Widget_12", "chart#7", "status = 'failed'", "show ", "list ", "count ",
       "summarize ", "compare ", "find ", "ShowIt", "MakeIt"])
OTHER = ["revenue", "region", "bank", "threshold", "today", "summary", "north", "Show", "LAST", "İt", "ſame",
         "\u212aelvin", "Σ", "straße", "é", "\u0663", "\uff15", "\u00b2", "7", "05", "3.5", "$1,200", "12%",
         "\u00a0", "\t", "\n", "\u2003", " ", "  ", ",", ".", "?", "!", "-", "_", "'", "=", "\ud800", "😀"]
pieces = st.sampled_from(TRIGGERS) | st.sampled_from(OTHER) | st.text(max_size=4) | st.integers(0, 10 ** 6).map(str)
messages = st.lists(pieces, max_size=12).map(lambda p: " ".join(p) if len(p) % 2 else "".join(p))


def card_pair(**fields):
    return tl.TurnContextCard(**fields), ref.TurnContextCard(**fields)


def test_signatures():
    for name in DETECTORS:
        assert str(inspect.signature(getattr(tl.TurnLens, name))) == "(self, /, question)"
    assert str(inspect.signature(tl.TurnLens._artifact_matches)) == "(self, /, ref, card)"
    assert str(inspect.signature(tl.TurnLens._has_modify_signal)) == "(self, /, question, delta)"


@given(messages)
def test_detectors_agree_with_the_rules(message):
    for name in DETECTORS:
        assert getattr(LENS, name)(message) == getattr(REF, name)(message), (name, message)
    for operation in ("none", "add_filter"):
        assert LENS._has_modify_signal(message, tl.IntentDelta(operation)) == REF._has_modify_signal(
            message, ref.IntentDelta(operation))


@given(messages, st.integers(1, 12), st.booleans())
def test_complete_question_follows_the_setting(message, min_tokens, as_float):
    value = float(min_tokens) if as_float else min_tokens
    ours = tl.TurnLens(tl.ResolverConfig(fresh_question_min_tokens=value))
    theirs = ref.TurnLens(ref.ResolverConfig(fresh_question_min_tokens=value))
    assert ours._looks_like_complete_question(message) == theirs._looks_like_complete_question(message)


@given(messages, st.sampled_from(["chart", "table", "Widget", "unknown", "", "#x"]), st.integers(-3, 12),
       st.sampled_from([None, "", "chart_7", "Sales#Chart", "turn_7", 7]))
def test_artifact_match_agrees(message, kind, turn_id, artifact_id):
    ours, theirs = card_pair(turn_id=turn_id, artifact_type=kind, artifact_id=artifact_id, artifact_label="Q#1")
    found = REF._detect_artifact_reference(message)
    for reference in [found or "", "chart_7", "CHART#_7", "turn_7", "q1", "salesChart"]:
        assert LENS._artifact_matches(reference, ours) == REF._artifact_matches(reference, theirs)


def test_each_detector_on_sample_messages():
    cases = {
        # message: explicit, artifact, suggestion, follow-up, pronoun, ambiguous, complete
        "consider monthly?": (None, None, False, False, False, False, False),
        "make it category based": (None, None, False, True, True, True, False),
        "what else we get?": (None, None, True, False, False, False, False),
        "Show failed payment count by bank": (None, None, False, False, False, False, True),
        "show the previous metric": (None, None, False, True, True, True, True),
        "revenue for the last 6 months by region": (None, None, False, True, False, False, True),
        "same for the last 6 months": (None, None, False, True, True, True, False),
        "use chart #2": (2, "chart_2", False, True, False, False, False),
        "compare with turn 3": (3, None, False, False, False, False, True),
        "the 2nd table": (2, None, False, True, False, False, False),
        "the second chart": (2, None, False, True, False, False, False),
        "top 5 products": (None, None, False, False, False, False, True),
        "top 5 chart": (5, None, False, True, False, False, True),
        "the third result": (3, None, False, True, False, False, False),
        "third quarter results": (None, "result_s", False, False, False, False, True),
        "see report_7": (None, "report_7", False, False, False, False, True),
        "Widget_12 please": (None, "widget__12", False, False, False, False, False),
        "chart for march": (None, "chart_for", False, True, False, False, False),
        "": (None, None, False, False, False, False, False),
    }
    for message, expected in cases.items():
        got = tuple(getattr(LENS, name)(message) for name in
                    ["_detect_explicit_turn_reference", "_detect_artifact_reference", "_is_suggestion_request",
                     "_has_followup_signal", "_has_pronoun_followup", "_has_ambiguous_reference",
                     "_looks_like_complete_question"])
        assert got[:2] == expected[:2] and got[2:] == expected[2:], message
    assert LENS._has_modify_signal("consider monthly?", tl.IntentDelta())
    assert LENS._has_modify_signal("Show failed payment count by bank", tl.IntentDelta())
    assert not LENS._has_modify_signal("", tl.IntentDelta())
    assert LENS._has_modify_signal("", tl.IntentDelta("set_top_n"))
    # never lowercased: any value is read through its text, the delta only when needed
    assert LENS._has_modify_signal(None, tl.IntentDelta()) is False
    assert LENS._has_modify_signal("make", object()) is True
    # turn words are not bounded on the left; digits are any decimal digits
    assert LENS._detect_explicit_turn_reference("subquery 4") == 4
    assert LENS._detect_explicit_turn_reference("chart \u0663\u0664") == 34
    assert LENS._detect_explicit_turn_reference("TURN 9") == 9


def test_artifact_matches_identities():
    card = tl.TurnContextCard(7, artifact_type="chart")
    assert LENS._artifact_matches("chart_7", card) and LENS._artifact_matches("turn_7", card)
    assert LENS._artifact_matches("CHART_#7", card)
    assert not LENS._artifact_matches("chart7", card) and not LENS._artifact_matches("chart", card)
    assert LENS._artifact_matches("sales#chart", tl.TurnContextCard(1, artifact_label="Sales Chart".replace(" ", "")))
    assert LENS._artifact_matches("12", tl.TurnContextCard(1, artifact_id=12))  # any kind, through its text
    assert not LENS._artifact_matches("", tl.TurnContextCard(1, artifact_id=""))
    assert LENS._artifact_matches("true_true", tl.TurnContextCard(True, artifact_type=True))


def test_huge_turn_numbers_are_read_whole():
    digits = "9" * 5000 + "1"
    value = LENS._detect_explicit_turn_reference("turn 000" + digits)
    old = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    try:
        assert value == int(digits) == REF._detect_explicit_turn_reference("turn 000" + digits)
        wide = "\u0663" * 9000
        assert LENS._detect_explicit_turn_reference("#" + wide) == int("3" * 9000)
    finally:
        sys.set_int_max_str_digits(old)


@settings(max_examples=80)
@given(st.integers(1, 70000), st.randoms(use_true_random=False), st.sampled_from(["0123456789", "9", "0", "10"]))
def test_digit_runs_of_any_length_read_exactly(size, rnd, alphabet):
    digits = "".join(rnd.choice(alphabet) for _ in range(size))
    old = sys.get_int_max_str_digits()
    sys.set_int_max_str_digits(0)
    try:
        assert LENS._detect_explicit_turn_reference("card " + digits) == int(digits)
    finally:
        sys.set_int_max_str_digits(old)


def test_bad_input():
    for name in DETECTORS:
        with pytest.raises(TypeError):
            getattr(LENS, name)(None)
        with pytest.raises(TypeError):
            getattr(LENS, name)(b"turn 3")
    with pytest.raises(TypeError):
        LENS._artifact_matches(7, tl.TurnContextCard(7))
    with pytest.raises(AttributeError):
        LENS._artifact_matches("chart_7", object())
    with pytest.raises(TypeError):
        tl.TurnLens(tl.ResolverConfig(fresh_question_min_tokens=None))._looks_like_complete_question("a b c")


def test_large_message():
    message = ("make it monthly by region for the last 6 months, same as chart #2 " * 16000)[: 1 << 20]
    for name in DETECTORS:
        assert getattr(LENS, name)(message) == getattr(REF, name)(message)
    # long runs without spaces or with huge numbers
    for message in ["x" * (1 << 20), "turn " + "7" * (1 << 18), "#" * (1 << 20)]:
        for name in DETECTORS:
            getattr(LENS, name)(message)
