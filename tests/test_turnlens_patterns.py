"""The module's patterns and its own matcher, checked against the host's re."""
import re

import pytest
from hypothesis import given, settings, strategies as st

import askweave.turnlens as tl

TURN_WORDS = "question|query|answer|result|chart|table|card|widget"

NAMED = ["_WORD_RE", "_CAMEL_RE", "TOP_N_RE", "BOTTOM_N_RE", "TURN_REF_RE", "BACKREF_NUMERIC_RE",
         "ORDINAL_SUFFIX_RE", "GENERIC_NUMBER_RE"]

# Patterns the resolver builds from the vocabulary, and the hint patterns
# that the delta extraction and composition stages search with.
ORDINAL = [(rf"\b{w}\s+({TURN_WORDS})\b", 0) for w in tl.ORDINAL_WORDS]
METRIC = [(r"\b" + re.escape(alias) + r"\s+(?:of\s+)?([a-zA-Z0-9_\- ]{2,50})", 0)
          for forms in tl.AGGREGATION_ALIASES.values() for alias in forms]
HINTS = [
    (r"\bby\s+([a-zA-Z0-9_\- ]{2,60})", 0),
    (r"\bgroup\s+by\s+([a-zA-Z0-9_\- ]{2,60})", 0),
    (r"\bmake\s+(?:it\s+)?([a-zA-Z0-9_\- ]{2,60})\s+(?:based|wise)", 0),
    (r"\b([a-zA-Z0-9_\- ]{2,60})\s+(?:based|wise)\b", 0),
    (r"\bonly\s+([a-zA-Z0-9_\- =']{2,80})", 0),
    (r"\binclude\s+([a-zA-Z0-9_\- =']{2,80})", 0),
    (r"\bwhere\s+([a-zA-Z0-9_\- =']{2,80})", 0),
    (r"\bfilter\s+(?:by\s+)?([a-zA-Z0-9_\- =']{2,80})", 0),
    (r"\b(for|with|from|last|previous|current|next|top|bottom|sort|order|limit)\b.*$", 0),
    (r"\b(chart|table|card|widget|result)\s*#?\s*(\w+)\b", 0),
    (r"\b(\w+_\d+)\b", 0),
    (r"\s+", 0),
]
# Engine corner cases: priorities, empty matches, anchors, lookaround and
# the host's case-insensitive equivalences.
ENGINE = [
    (r"x*", 0), (r"a|ab|abc", 0), (r"(a|ab)(c|bcd)(d*)", 0), (r"(a)|b", 0), (r"\d{2,3}?", 0),
    (r".+?x", re.S), (r"^\s*$", re.M), (r"$", 0), (r"^", re.M), (r"(?:a?){3}", 0),
    (r"\w+\b", 0), (r"\B", 0), (r"(?<=a)b", 0), (r"(?<![a-z])\d", re.I), (r"(?=\d)\w", 0), (r"(?!a)\w", 0),
    (r"[a-z]+", re.I), (r"[^k]+", re.I), (r"ſ|K", re.I), (r"(?i)straße", 0), (r"i", re.I), (r"[i]", re.I),
    (r"[s-t]+", re.I), (r"[\u00b5]", re.I), (r"\u03bc+", re.I), (r"[\W\d]+", re.I), (r"[^\s\w]", 0),
    (r"[-a]\]{1}\.[]x]", 0), (r"(?i:top)\s+(?-i:TOP)", 0), (r"\x41\u00e9\n?\t*", re.I),
]
ALL = [(getattr(tl, n).pattern, getattr(tl, n).flags) for n in NAMED] + ORDINAL + METRIC + HINTS + ENGINE

PIECES = [
    "top", "TOP", "Top", "bottom", "turn", "question", "Query", "answer", "result", "chart", "table", "card",
    "widget", "#", "st", "nd", "rd", "th", "last", "previous", "Previous", "month", "months", "quarter", "hours",
    "year", "day", "first", "second", "tenth", "by", "group", "make", "it", "based", "wise", "only", "include",
    "where", "filter", "of", "for", "with", "sort", "limit", "number", "how", "many", "total", "records", "count",
    "avg", "average", "straße", "a", "ab", "bcd", "x", "$", "%", ".", ",", "_", "-", "'", "=", "?", "]",
    "0", "1", "22", "05", "3.5", "\u0663", "\uff15", "\U0001d7d9", "\u00b2",
    " ", "  ", "\t", "\n", "\u00a0", "\u2003", "\u3000", "\x1c", "\x85",
    "\u00e9", "\u00df", "\u212a", "K", "k", "\u017f", "S", "s", "\u0130", "\u0131", "i", "I", "\u03a3", "\u01c5",
    "\u00b5", "\u039c", "\ufb05", "\ufb06", "\u02bc", "_1", "x_2", "report_7", "Widget_12", "\ud800",
]
texts = st.lists(st.sampled_from(PIECES) | st.text(max_size=3), max_size=14).map("".join)

_native_cache = {}


def native(pattern, flags, backtracking=True):
    key = (pattern, flags, backtracking)
    if key not in _native_cache:
        _native_cache[key] = tl._native_pattern(pattern, flags, backtracking)
    return _native_cache[key]


def assert_same(pattern, flags, text, pos=0):
    host = re.compile(pattern, flags)
    m = host.search(text, pos)
    for backtracking in (True, False):  # short texts use one strategy, long texts the other
        ours = native(pattern, flags, backtracking)
        assert ours.search(text, pos) == (m.regs if m else None), (pattern, text, pos)
        assert ours.finditer(text) == [m.regs for m in host.finditer(text)], (pattern, text)
        assert ours.sub("<\u00e9>", text) == host.sub(lambda _: "<\u00e9>", text), (pattern, text)
        assert ours.sub("", text, 1) == host.sub(lambda _: "", text, count=1), (pattern, text)


def test_named_patterns_have_their_exact_text_and_flags():
    assert tl._DURATION_UNITS_PATTERN == "hour|day|week|month|quarter|year"
    for name in NAMED:
        assert isinstance(getattr(tl, name), re.Pattern)
    assert tl.TOP_N_RE.pattern == r"\btop\s+(\d+)\b" and tl.TOP_N_RE.flags & re.I
    assert tl.BACKREF_NUMERIC_RE.pattern == (
        r"\b(?:last|previous)\s+(?:\d+\s*)?(?:hour|day|week|month|quarter|year)s?\b")
    assert tl.TURN_REF_RE.pattern == (rf"(?:turn|{TURN_WORDS})\s*#?\s*(\d+)|#\s*(\d+)|"
                                      rf"\b(\d+)\s*(?:st|nd|rd|th)?\s+(?:{TURN_WORDS})\b")
    assert not tl.GENERIC_NUMBER_RE.flags & re.I and not tl._CAMEL_RE.flags & re.I


def test_back_reference_and_turn_number_patterns_on_samples():
    back = native(tl.BACKREF_NUMERIC_RE.pattern, tl.BACKREF_NUMERIC_RE.flags)
    assert back.search("last 6 months") and back.search("Previous Quarter") and not back.search("last time")
    ref = native(tl.TURN_REF_RE.pattern, tl.TURN_REF_RE.flags)
    for text, number in [("turn 3", "3"), ("chart #2", "2"), ("#5", "5"), ("2nd chart", "2")]:
        regs = ref.search(text)
        assert [text[a:b] for a, b in regs[1:] if a >= 0] == [number]
    assert ref.search("top 5 products") is None


@pytest.mark.parametrize("pattern,flags", ALL)
@settings(max_examples=60, deadline=None)
@given(text=texts, data=st.data())
def test_matches_the_host(pattern, flags, text, data):
    pos = data.draw(st.integers(0, len(text)))
    assert_same(pattern, flags, text, pos)


@pytest.mark.parametrize("pattern,flags", ALL[:8] + HINTS[:4])
@settings(max_examples=40, deadline=None)
@given(text=st.text(max_size=40))
def test_matches_the_host_on_any_text(pattern, flags, text):
    assert_same(pattern, flags, text)


ATOMS = ["a", "b", "k", "s", "i", "K", "\u212a", "\u017f", "\u0130", "\u0131", "1", r"\d", r"\w", r"\s", r"\D",
         r"\W", ".", "[a-c]", "[^ab]", r"[\d_]", "[K-S]", r"[^\s]", "[i-j]", r"\.", "#", r"\b", r"\B", "^", "$",
         "(?=a)", "(?!b)", "(?<=a)", r"(?<!\w)", r"\A", r"\Z", "[\u00e0-\u00ff]", "\u03c3"]
QUANTIFIERS = ["*", "+", "?", "{2}", "{1,3}", "{0,2}", "*?", "+?", "??", "{1,2}?"]
patterns = st.recursive(
    st.sampled_from(ATOMS),
    lambda kids: st.lists(kids, min_size=2, max_size=3).map("".join)
    | st.lists(kids, min_size=2, max_size=3).map(lambda ks: "(" + "|".join(ks) + ")")
    | st.tuples(kids, st.sampled_from(QUANTIFIERS)).map(lambda kq: "(?:" + kq[0] + ")" + kq[1]),
    max_leaves=8)
ALPHABET = ["a", "b", "k", "s", "i", "K", "S", "I", "\u212a", "\u017f", "\u0130", "\u0131", "1", "\u0663", " ",
            "\n", "#", ".", "_", "\u00e9", "\u00c9", "\u03a3", "\u03c3", "\u03c2", "x"]


@settings(max_examples=400, deadline=None)
@given(pattern=patterns, flags=st.sampled_from([0, re.I, re.M, re.S, re.I | re.M]),
       texts_=st.lists(st.lists(st.sampled_from(ALPHABET), max_size=10).map("".join), min_size=1, max_size=4))
def test_generated_patterns_match_the_host_or_are_refused(pattern, flags, texts_):
    try:
        re.compile(pattern, flags)
        tl._native_pattern(pattern, flags)
    except (re.error, ValueError):
        return  # invalid for the host, or a construct the engine refuses at compile time
    for text in texts_:
        assert_same(pattern, flags, text)


@pytest.mark.parametrize("pattern", [
    r"(a)\1", r"a**", r"*a", r"(?P=x)", r"a*+", r"(?>a)", r"(?<=a+)b", r"(?:a*)*", r"[z-a]", r"(a", r"a)",
    r"\q", r"(?x)a", r"(?:a?){1,2}",
])
def test_unsupported_or_malformed_patterns_are_refused(pattern):
    with pytest.raises(ValueError):
        tl._native_pattern(pattern, 0)


def test_ten_megabyte_texts_finish():
    text = "aaaa " * 2_000_000
    for pattern, flags in [HINTS[3], HINTS[8], (tl.TURN_REF_RE.pattern, tl.TURN_REF_RE.flags)]:
        assert native(pattern, flags).search(text) is None
    big = "x" * 10_000_000 + " top 7"
    top = native(tl.TOP_N_RE.pattern, tl.TOP_N_RE.flags)
    assert top.search(big) == ((10_000_001, 10_000_006), (10_000_005, 10_000_006))
    assert len(native(r"\s+", 0).sub(" ", "a \t" * 1_000_000)) == 3_000_000 - 1_000_000
