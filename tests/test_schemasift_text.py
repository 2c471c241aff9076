"""Text utilities of schemasift, checked against the host's own facilities."""
import hashlib
import json
import math
import re
from decimal import Decimal

import pytest
from hypothesis import given, strategies as st

from askweave import schemasift as ss

WORD_RE = re.compile(r"[a-zA-Z0-9_]+")
CAMEL_RE = re.compile(r"(?<!^)(?=[A-Z])")


def py_split(value):
    value = value.replace("_", " ").replace("-", " ").replace(".", " ")
    return CAMEL_RE.sub(" ", value).lower()


def py_tokenize(text, stopwords=None):
    if not text:
        return []
    stop = ss.DEFAULT_STOPWORDS if stopwords is None else stopwords
    return [t.lower() for t in WORD_RE.findall(py_split(text)) if t.lower() not in stop]


def py_normalize(v):
    if v is None:
        return ""
    if isinstance(v, (list, tuple, set, frozenset)):
        return " ".join(py_normalize(x) for x in v)
    if isinstance(v, dict):
        return " ".join(f"{str(k)} {py_normalize(x)}" for k, x in v.items())
    return v if isinstance(v, str) else str(v)


def py_hash(v):
    text = json.dumps(v, sort_keys=True, ensure_ascii=False, default=str)
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:16]


# Text that stresses case mapping: capitals, separators, sigma context,
# dotted I, Kelvin sign, lone surrogates, combining marks.
tricky = st.sampled_from(list("AaZz_-. 09Σσς\u0130\u212a\u0307'’ßİıK\ud800\udfff\x00é中😀ǅ"))
texts = st.one_of(
    st.text(),
    st.text(alphabet=st.characters(codec="ascii")),
    st.lists(st.one_of(tricky, st.text(max_size=3)), max_size=30).map("".join),
)
numbers = st.one_of(
    st.integers(),
    st.integers(min_value=-(10**60), max_value=10**60),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([1e16, 1e-05, -0.0, 0.0, 1e15, 123456789012345678.0, 5e-324, 1.7976931348623157e308]),
)
scalars = st.one_of(st.none(), st.booleans(), numbers, texts)
values = st.recursive(
    scalars,
    lambda kids: st.one_of(
        st.lists(kids, max_size=4),
        st.lists(kids, max_size=4).map(tuple),
        st.dictionaries(texts, kids, max_size=4),
    ),
    max_leaves=20,
)


@given(texts)
def test_split_and_tokenize_match_host(text):
    assert ss._split_identifier(text) == py_split(text)
    assert ss.tokenize(text) == py_tokenize(text)
    assert ss.tokenize(text, stopwords=set()) == py_tokenize(text, set())
    custom = frozenset({"order", "a", "k"})
    assert ss.tokenize(text, stopwords=custom) == py_tokenize(text, custom)


# rounded values too: scores are rounded to six places, which has its own path
@given(st.one_of(st.floats(allow_nan=True, allow_infinity=True),
                 st.builds(round, st.floats(min_value=-2e9, max_value=2e9), st.integers(0, 8))))
def test_float_text_is_repr(x):
    assert ss.normalize_text(x) == repr(x)
    assert ss.normalize_text([x]) == str(x)
    assert ss._json_dumps([x, -x]) == json.dumps([x, -x])


@given(values)
def test_normalize_text_matches_host(v):
    assert ss.normalize_text(v) == py_normalize(v)


@given(values)
def test_stable_hash_matches_host(v):
    h = ss.stable_hash(v)
    assert h == py_hash(v)
    assert re.fullmatch(r"[0-9a-f]{16}", h)


@given(texts, st.one_of(st.floats(min_value=0.01, max_value=1e6), st.integers(min_value=1, max_value=10**30)))
def test_estimate_tokens_matches_host(text, cpt):
    expected = 0 if not text else max(1, math.ceil(len(text) / cpt))
    assert ss.estimate_tokens(text, cpt) == expected


@given(st.one_of(scalars, st.text(alphabet=" 0123456789_.eE+-naifNIF\u0660\u00a0"), st.binary(max_size=5)))
def test_safe_float_matches_host(v):
    def py(value, default=0.0):
        if value is None:
            return default
        try:
            return float(value)
        except Exception:
            return default

    got, want = ss.safe_float(v, -1.5), py(v, -1.5)
    assert got == want or (math.isnan(got) and math.isnan(want))


def test_examples_of_each_text_rule():
    assert ss._split_identifier("orderDate") == "order date"
    assert ss._split_identifier("OrderDate") == "order date"
    assert ss._split_identifier("Order_Date") == "order  date"
    assert ss.tokenize("SKU") == ["s", "k", "u"]
    assert ss.tokenize("customerID") == ["customer", "i", "d"]
    q = "Show total revenue by region for last 6 months"
    assert ss.tokenize(q) == ["total", "revenue", "region", "last", "6", "months"]
    assert ss.tokenize(q, stopwords=set())[:1] == ["show"]
    assert ss.tokenize("caf\u00e9bar") == ["caf", "bar"]
    # Kelvin sign lowercases to ASCII k and joins the word; dotted capital I gives i + combining dot
    assert ss.tokenize("aa\u212abb") == ["aakbb"]
    assert ss.tokenize("\u0130stanbul") == ["i", "stanbul"]
    assert [ss.estimate_tokens(t) for t in ("", "a", "abcd", "abcde", "a" * 8, "a" * 9)] == [0, 1, 1, 2, 2, 3]
    assert ss.safe_float("12.5") == 12.5 and ss.safe_float(" 7 ") == 7.0 and ss.safe_float(True) == 1.0
    assert ss.safe_float("abc", 2.0) == 2.0 and ss.safe_float(None) == 0.0
    assert ss.normalize_text(None) == "" and ss.normalize_text({"a": [1, 2]}) == "a 1 2"
    assert ss.stable_hash({"b": 1, "a": 2}) == ss.stable_hash({"a": 2, "b": 1})
    assert len(ss.DEFAULT_STOPWORDS) == 39 and isinstance(ss.DEFAULT_STOPWORDS, set)
    assert ss._WORD_RE.pattern == "[a-zA-Z0-9_]+" and ss._CAMEL_RE.pattern == "(?<!^)(?=[A-Z])"


def test_json_details_match_host():
    odd = {1: "x", 2.5: [float("nan"), float("inf"), -float("inf")], False: 10**40, 0.1: ()}
    for v in (odd, {None: 1}, {"z": object, "é\n\x7f": 1}, ["\ud800", "😀", "\x1f"], {"k": {3, 1}}):
        assert ss.stable_hash(v) == py_hash(v)


def test_bad_input_raises_not_crashes():
    for fn in (ss.tokenize, ss._split_identifier, ss.estimate_tokens):
        for bad in (None, 1, b"x", ["a"]):
            with pytest.raises(TypeError):
                fn(bad)
    with pytest.raises(TypeError):
        ss.tokenize("a", stopwords=["a"])
    with pytest.raises(TypeError):
        ss.tokenize("a", {"a"})  # keyword-only
    with pytest.raises(TypeError):
        ss.stable_hash({1: 1, "a": 2})  # keys that cannot be ordered
    with pytest.raises(TypeError):
        ss.safe_float("1", default="x")
    with pytest.raises(ZeroDivisionError):
        ss.estimate_tokens("abc", 0)
    with pytest.raises(ZeroDivisionError):
        ss.estimate_tokens("abc", 0.0)
    assert ss.estimate_tokens("", 0) == 0
    for per in ("4", Decimal(4), None):  # checked before the empty text returns 0
        with pytest.raises(TypeError):
            ss.estimate_tokens("", per)
    loop = []
    loop.append(loop)
    with pytest.raises(RecursionError):
        ss.normalize_text(loop)
    with pytest.raises(ValueError):
        ss.stable_hash(loop)
    deep = []
    for _ in range(100_000):
        deep = [deep]
    with pytest.raises(RecursionError):
        ss.normalize_text(deep)
    with pytest.raises(RecursionError):
        ss.stable_hash(deep)
    with pytest.raises(ValueError):
        ss.normalize_text(10**5000)  # the host's int-to-str digit limit


def test_lone_surrogates_are_ordinary_characters():
    s = "ab\ud800Cd\udfff"
    assert ss._split_identifier(s) == py_split(s)
    assert ss.tokenize(s) == ["ab", "cd"]
    assert ss.estimate_tokens(s, 1) == 6
    assert ss.normalize_text([s, 1]) == s + " 1"
    assert ss.stable_hash({"k": s}) == py_hash({"k": s})


def test_big_text_is_linear():
    text = "OrderDate_amountΣ " * 200_000
    assert len(ss.tokenize(text)) == 600_000


json_values = st.recursive(
    st.one_of(scalars, st.integers(min_value=-(10**30), max_value=10**30)),
    lambda kids: st.one_of(
        st.lists(kids, max_size=4),
        st.lists(kids, max_size=3).map(tuple),
        st.dictionaries(texts, kids, max_size=4),
        st.dictionaries(st.one_of(st.integers(), st.floats(), st.booleans()), kids, max_size=3),
    ),
    max_leaves=25,
)


@given(json_values, st.booleans(), st.booleans(), st.sampled_from([None, 2]))
def test_json_writer_matches_json_dumps(v, ensure_ascii, sort_keys, indent):
    try:
        want = json.dumps(v, ensure_ascii=ensure_ascii, sort_keys=sort_keys, indent=indent)
    except TypeError:
        with pytest.raises(TypeError):
            ss._json_dumps(v, ensure_ascii=ensure_ascii, sort_keys=sort_keys, indent=indent)
        return
    assert ss._json_dumps(v, ensure_ascii=ensure_ascii, sort_keys=sort_keys, indent=indent) == want


def test_json_writer_default_and_cycles():
    class Odd:
        def __str__(self):
            return "odd\u00e9"

    v = {"a": Odd(), "b": {1, 2}, "c": [Odd()]}
    assert ss._json_dumps(v, default_str=True) == json.dumps(v, default=str)
    with pytest.raises(TypeError):
        ss._json_dumps(v)
    d = {}
    d["self"] = d
    with pytest.raises(ValueError):
        ss._json_dumps(d)


@given(st.one_of(
    st.floats(allow_nan=False, allow_infinity=False),
    st.floats(min_value=-2000, max_value=2000),
    st.integers(-(10**9), 10**9).map(lambda i: (i + 0.5) / 1e6),  # ties at the sixth decimal
))
def test_output_scores_round_like_host(x):
    sifter = ss.SchemaSift()
    entry = sifter._build_selected_metadata(ss.MetadataCatalog(), [ss.ScoredTable(ss.TableMeta("t"), x)], [])
    got = entry["tables"][0]["score"]
    assert repr(got) == repr(round(x, 6))
