"""Text utilities and vocabulary of askweave.turnlens against the host's own rules."""
import json
import math
import re
import time
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given, settings, strategies as st

import askweave.turnlens as tl

STOPWORDS = {
    "a", "an", "the", "and", "or", "of", "for", "to", "by", "in", "on", "at", "from", "with", "without", "show",
    "give", "get", "find", "list", "display", "make", "change", "convert", "it", "this", "that", "those", "these",
    "one", "same", "also", "please", "can", "could", "would", "me", "we", "i", "you", "based", "wise", "consider",
    "use", "using", "as", "into", "instead", "rather"}


# Direct renderings of the rules with the host's re, json and math.
def ref_split_identifier(value):
    value = value.replace("_", " ").replace("-", " ").replace(".", " ")
    return re.sub(r"(?<!^)(?=[A-Z])", " ", value).lower()


def ref_tokenize(text, stopwords=None):
    if text is None:
        return []
    stop = STOPWORDS if stopwords is None else stopwords
    words = (w.lower() for w in re.findall(r"[a-zA-Z0-9_]+", ref_split_identifier(str(text))))
    return [w for w in words if w not in stop]


def ref_compact_text(value, max_chars=500):
    if value is None:
        return ""
    text = value if isinstance(value, str) else json.dumps(value, ensure_ascii=False, default=str)
    text = re.sub(r"\s+", " ", text).strip()
    if len(text) > max_chars:
        return text[: max(0, max_chars - 3)].rstrip() + "..."  # a limit below 3 keeps nothing
    return text


def ref_overlap(a, b):
    sa, sb = set(a), set(b)
    if not sa or not sb:
        return 0.0
    return len(sa & sb) / max(1, min(len(sa), len(sb)))


class Odd:
    def __str__(self):
        return "odd\u2003 value\n"


SPACES = st.sampled_from([" ", "\t", "\n", "\r\n", "\x0b", "\x1c", "\x85", "\u00a0", "\u2003", "\u3000", "  "])
WORDS = st.sampled_from(["Show", "totalRevenue", "by", "region_name", "last-6.months", "HTTPServer", "\u212a",
                         "\u0130stanbul", "stra\u00dfe", "\u03a3\u03a3", "caf\u00e9", "it", "\ud800", "x9_Y"])
texts = st.lists(WORDS | SPACES | st.text(max_size=4), max_size=12).map("".join)
keys = st.text(max_size=5) | st.integers(-5, 5) | st.booleans() | st.none() | st.floats(allow_nan=False)
scalars = (st.none() | st.booleans() | st.integers() | st.integers(min_value=10**20) | texts
           | st.floats() | st.sampled_from([1e16, 1e-05, -0.0, float("inf")]))
values = st.recursive(
    scalars | st.builds(Odd) | st.just(Decimal("1.50")) | st.just(Fraction(1, 3)) | st.just(b"by\x00tes"),
    lambda kids: st.lists(kids, max_size=4) | st.lists(kids, max_size=3).map(tuple)
    | st.dictionaries(keys, kids, max_size=4),
    max_leaves=12)


def test_vocabulary_constants():
    assert isinstance(tl.STOPWORDS, set) and tl.STOPWORDS == STOPWORDS and len(STOPWORDS) == 49
    assert isinstance(tl.FOLLOWUP_TERMS, set) and len(tl.FOLLOWUP_TERMS) == 22 and "drilldown" in tl.MODIFY_TERMS
    assert len(tl.MODIFY_TERMS) == 21
    assert tl.SUGGESTION_PHRASES[0] == "what else" and tl.SUGGESTION_PHRASES[-1] == "what else can we get"
    assert len(tl.SUGGESTION_PHRASES) == 16 and len(tl.CLARIFICATION_RISK_PHRASES) == 12
    assert list(tl.GRANULARITY_ALIASES) == ["hour", "day", "week", "month", "quarter", "year"]
    assert tl.GRANULARITY_ALIASES["day"] == ["day", "daily", "date wise", "date-wise", "day wise", "day-wise"]
    assert list(tl.AGGREGATION_ALIASES) == ["sum", "count", "avg", "min", "max"]
    assert tl.AGGREGATION_ALIASES["count"] == ["count", "number of", "how many", "total records", "record count"]
    assert list(tl.ORDINAL_WORDS.items())[::9] == [("first", 1), ("tenth", 10)]
    for forms in list(tl.GRANULARITY_ALIASES.items()) + list(tl.AGGREGATION_ALIASES.items()):
        assert forms[1][0] == forms[0]


def test_examples_of_each_text_rule():
    assert tl.tokenize(None) == [] and tl.tokenize(42) == ["42"]
    assert tl.tokenize("Show total revenue by region for last 6 months") == [
        "total", "revenue", "region", "last", "6", "months"]
    assert tl.tokenize("make it category based") == ["category"]
    assert tl.tokenize("what else we get?") == ["what", "else"]
    assert tl.split_identifier("sales_orders.order_date") == "sales orders order date"
    assert tl.compact_text(None) == "" and tl.compact_text("  a\nb  ") == "a b"
    assert tl.compact_text({"k": [1, 2]}) == '{"k": [1, 2]}'
    cut = tl.compact_text("x" * 600)
    assert len(cut) == 500 and cut.endswith("...")
    assert tl.overlap_score("abc", "bcde") == 2 / 3 and tl.overlap_score([], "a") == 0.0
    assert tl.overlap_score(["a", "b"], ["a", "b", "c"]) == 1.0
    assert tl.estimate_tokens("") == 0 and tl.estimate_tokens("123456789") == 3


@settings(max_examples=300, deadline=None)
@given(text=texts)
def test_split_and_tokenize_match_the_host(text):
    assert tl.split_identifier(text) == ref_split_identifier(text)
    assert tl.tokenize(text) == ref_tokenize(text)
    assert tl.tokenize(text, set()) == ref_tokenize(text, set())
    assert tl.tokenize(text, stopwords=frozenset({"show", "by", 7})) == ref_tokenize(text, {"show", "by"})


@settings(max_examples=100, deadline=None)
@given(value=scalars | st.builds(Odd))
def test_tokenize_uses_the_plain_text_form(value):
    assert tl.tokenize(value) == ref_tokenize(value)


@settings(max_examples=300, deadline=None)
@given(value=values, max_chars=st.integers(-12, 80) | st.sampled_from([10**30, -10**30, True]))
def test_compact_text_matches_the_host(value, max_chars):
    assert tl.compact_text(value, max_chars) == ref_compact_text(value, max_chars)
    assert tl.compact_text(value) == ref_compact_text(value)


@settings(max_examples=300, deadline=None)
@given(text=st.text(" \t\n\x0b\x0c\r\x1c\x1d\x1e\x1f\x85\xa0ab.", max_size=40), max_chars=st.integers(-2, 45))
def test_compact_text_of_blank_heavy_text_matches_the_host(text, max_chars):
    assert tl.compact_text(text, max_chars) == ref_compact_text(text, max_chars)
    assert tl.compact_text({"k": text}, max_chars) == ref_compact_text({"k": text}, max_chars)


@settings(max_examples=200, deadline=None)
@given(a=st.lists(st.sampled_from("abcdef") | st.integers(0, 3)), b=st.lists(st.sampled_from("abcxyz")),
       text=st.text(), per=st.floats(0.1, 9) | st.integers(1, 9) | st.just(Fraction(3, 2)))
def test_overlap_and_estimate_match_the_host(a, b, text, per):
    assert tl.overlap_score(a, b) == ref_overlap(a, b)
    assert tl.overlap_score(tuple(b), iter(a)) == ref_overlap(tuple(b), a)
    expected = 0 if not text else max(1, math.ceil(len(text) / per))
    assert tl.estimate_tokens(text, per) == expected


def test_now_ms_is_the_wall_clock():
    before = int(time.time() * 1000)
    now = tl.now_ms()
    assert isinstance(now, int) and before <= now <= int(time.time() * 1000)


def test_bad_arguments_raise():
    for call in [lambda: tl.split_identifier(None), lambda: tl.split_identifier(5),
                 lambda: tl.tokenize("a", ["a"]), lambda: tl.compact_text("a", "5"),
                 lambda: tl.compact_text("a", 5.0), lambda: tl.estimate_tokens(5),
                 lambda: tl.overlap_score([["unhashable"]], ["a"]), lambda: tl.compact_text({(1, 2): 1})]:
        with pytest.raises(TypeError):
            call()
    with pytest.raises(ZeroDivisionError):
        tl.estimate_tokens("abc", 0)
    assert tl.estimate_tokens("", 0) == 0
    for per in ("4", Decimal(4), None):
        with pytest.raises(TypeError):
            tl.estimate_tokens("", per)


def test_self_referencing_and_deep_values_raise_instead_of_crashing():
    loop = [1]
    loop.append(loop)
    cyclic = {"a": loop}
    for value in (loop, cyclic):
        with pytest.raises(ValueError):
            tl.compact_text(value)
    deep = []
    for _ in range(100_000):
        deep = [deep]
    with pytest.raises(RecursionError):
        tl.compact_text(deep)
    assert loop[1] is loop  # untouched


def test_integers_beyond_the_digit_limit_are_written_in_full():
    huge = 7 * 10**5000 + 3
    digits = "7" + "0" * 4999 + "3"
    assert tl.tokenize(huge) == [digits] and tl.tokenize(-huge) == [digits]
    assert tl.compact_text({"n": [huge]}, 10**6) == '{"n": [' + digits + ']}'
    assert tl.TurnContextCard(1, user_question=huge).searchable_text() == digits + " unknown unknown"
    card = tl.TurnContextCard(1, query_state={"required_columns": {huge: ["a"]}})
    assert card.required_columns_by_table() == {digits: ["a"]}
    with pytest.raises(ValueError):
        str(huge)  # the interpreter's own limit is left as it was


def test_lone_surrogates_and_huge_texts():
    assert tl.compact_text(["\ud800", "\udfff x"]) == '["\ud800", "\udfff x"]'
    assert tl.tokenize("x\ud800y") == ["x", "y"]
    big = "word " * 2_000_000
    assert tl.compact_text(big, 20) == "word word word wo..."
    assert len(tl.tokenize(big)) == 2_000_000
