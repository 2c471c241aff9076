"""Fuzz the module's own pattern matcher against the host's re: the module's
compiled patterns, the patterns the resolver builds and small generated ones,
on generated text (search spans and groups, finditer, sub), with both search
strategies.

    python fuzz/fuzz_patterns.py -max_total_time=60
"""
import re
import sys

import atheris

with atheris.instrument_imports():
    from common import text

import askweave.turnlens as tl

TURN_WORDS = "question|query|answer|result|chart|table|card|widget"
NAMED = ["_WORD_RE", "_CAMEL_RE", "TOP_N_RE", "BOTTOM_N_RE", "TURN_REF_RE", "BACKREF_NUMERIC_RE",
         "ORDINAL_SUFFIX_RE", "GENERIC_NUMBER_RE"]
FIXED = [(getattr(tl, name).pattern, getattr(tl, name).flags) for name in NAMED]
FIXED += [(rf"\b{word}\s+({TURN_WORDS})\b", 0) for word in tl.ORDINAL_WORDS]
FIXED += [(r"\b" + re.escape(alias) + r"\s+(?:of\s+)?([a-zA-Z0-9_\- ]{2,50})", 0)
          for forms in tl.AGGREGATION_ALIASES.values() for alias in forms]
FIXED += [(p, 0) for p in [
    r"\bby\s+([a-zA-Z0-9_\- ]{2,60})", r"\bgroup\s+by\s+([a-zA-Z0-9_\- ]{2,60})",
    r"\bmake\s+(?:it\s+)?([a-zA-Z0-9_\- ]{2,60})\s+(?:based|wise)", r"\b([a-zA-Z0-9_\- ]{2,60})\s+(?:based|wise)\b",
    r"\bonly\s+([a-zA-Z0-9_\- =']{2,80})", r"\binclude\s+([a-zA-Z0-9_\- =']{2,80})",
    r"\bwhere\s+([a-zA-Z0-9_\- =']{2,80})", r"\bfilter\s+(?:by\s+)?([a-zA-Z0-9_\- =']{2,80})",
    r"\b(for|with|from|last|previous|current|next|top|bottom|sort|order|limit)\b.*$",
    r"\b(chart|table|card|widget|result)\s*#?\s*(\w+)\b", r"\b(\w+_\d+)\b", r"\s+"]]

PIECES = ["top", "TOP", "bottom", "turn", "question", "Query", "chart", "table", "card", "widget", "#", "st", "nd",
          "th", "last", "previous", "month", "months", "quarter", "year", "day", "first", "second", "tenth", "by",
          "group", "make", "it", "based", "wise", "only", "include", "where", "filter", "of", "for", "with", "sort",
          "number", "total", "avg", "average", "a", "ab", "k", "s", "i", "x", "$", "%", ".", "_", "-", "'", "=", "0",
          "1", "22", "3.5", "\u0663", "\uff15", "\U0001d7d9", "\u00b2", " ", "\t", "\n", "\u00a0", "\u3000", "\x1c",
          "\x85", "\u00e9", "\u00df", "\u212a", "K", "\u017f", "S", "\u0130", "\u0131", "I", "\u03a3", "\u03c3",
          "\u03c2", "\u01c5", "\u00b5", "\ufb05", "_1", "report_7", "\ud800", "\x00"]
ATOMS = ["a", "b", "k", "s", "i", "K", "\u212a", "\u017f", "\u0130", "\u0131", "1", r"\d", r"\w", r"\s", r"\D",
         r"\W", r"\S", ".", "[a-c]", "[^ab]", r"[\d_]", "[K-S]", r"[^\s]", "[i-j]", r"\.", "#", r"\b", r"\B", "^", "$",
         "(?=a)", "(?!b)", "(?<=a)", r"(?<!\w)", r"\A", r"\Z", "[\u00e0-\u00ff]", "\u03c3", " ", r"\$", "%"]
QUANTIFIERS = ["", "", "*", "+", "?", "{2}", "{1,3}", "{0,2}", "*?", "+?", "??", "{1,2}?", "{2,}"]
FLAGS = [0, re.I, re.M, re.S, re.I | re.M, re.I | re.S]
STRATEGIES = (True, False)
SUBJECT_LIMIT = 120  # three stacked repeats cost the host's search up to n**4 steps


# Quantifiers that keep a repeated group's ways to match a text few: the host
# backtracks through every split of the text among nested or ambiguous
# repeats, so `(\w+)+$` or `(\w|\d)+$` on a long word takes minutes there.
SAFE_ON_GROUPS = ("", "?", "??")


def pattern(fdp, depth=0):
    """A generated pattern and whether it can match a text in several ways
    (it holds a repeat or an alternation)."""
    kind = fdp.ConsumeIntInRange(0, 4 if depth < 2 else 0)
    if kind <= 1:
        atom, ambiguous = ATOMS[fdp.ConsumeIntInRange(0, len(ATOMS) - 1)], False
    else:
        parts = [pattern(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(2 if kind == 4 else 1, 3))]
        ambiguous = any(a for _, a in parts) or (kind == 2 and len(parts) > 1)
        inner = ("|" if kind == 2 else "").join(p for p, _ in parts)
        if kind == 4:
            return inner, ambiguous
        atom = ("(" if kind == 2 else "(?:") + inner + ")"
    if atom in ("^", "$", r"\A", r"\Z", r"\b", r"\B") or atom.startswith("(?"):
        return atom, ambiguous  # the host refuses repeating these
    quantifier = QUANTIFIERS[fdp.ConsumeIntInRange(0, len(QUANTIFIERS) - 1)]
    if ambiguous and quantifier not in SAFE_ON_GROUPS:
        quantifier = ""
    return atom + quantifier, ambiguous or quantifier != ""


def subject(fdp):
    parts = []
    for _ in range(fdp.ConsumeIntInRange(0, 12)):
        parts.append(PIECES[fdp.ConsumeIntInRange(0, len(PIECES) - 1)] if fdp.ConsumeIntInRange(0, 3) else text(fdp, 6))
    return "".join(parts)


_cache = {}


def compiled(source, flags, backtracking):
    key = (source, flags, backtracking)
    if key not in _cache:
        if len(_cache) > 5000:
            _cache.clear()
        try:
            _cache[key] = tl._native_pattern(source, flags, backtracking)
        except ValueError:
            _cache[key] = None  # a construct the engine refuses at compile time
    return _cache[key]


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeBool():
        source, flags = FIXED[fdp.ConsumeIntInRange(0, len(FIXED) - 1)]
    else:
        source, flags = pattern(fdp)[0], FLAGS[fdp.ConsumeIntInRange(0, len(FLAGS) - 1)]
        if sum(source.count(c) for c in "*+{") > 3:
            return  # the host's backtracking can take minutes on many stacked repeats
        try:
            re.compile(source, flags)
        except re.error:
            return
    ours = {backtracking: compiled(source, flags, backtracking) for backtracking in STRATEGIES}
    if None in ours.values():
        if (source, flags) in FIXED:
            raise AssertionError(f"module pattern refused: {source!r}")
        return  # refused before the host is asked (the host can take exponential time on those)
    host = re.compile(source, flags)
    s = subject(fdp)[:SUBJECT_LIMIT]
    pos = fdp.ConsumeIntInRange(0, len(s) + 1)
    count = fdp.ConsumeIntInRange(0, 2)
    repl = ["", " ", "<\u00e9>", "\\", "\ud800"][fdp.ConsumeIntInRange(0, 4)]
    m = host.search(s, pos)
    want_search = m.regs if m else None
    want_all = [x.regs for x in host.finditer(s)]
    want_sub = host.sub(lambda _: repl, s, count=count)
    for backtracking, engine in ours.items():
        got = engine.search(s, pos)
        assert got == want_search, (source, flags, backtracking, s, pos, got, want_search)
        got = engine.finditer(s)
        assert got == want_all, (source, flags, backtracking, s, got, want_all)
        got = engine.sub(repl, s, count)
        assert got == want_sub, (source, flags, backtracking, s, repl, count, got, want_sub)


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
