"""Stages replaced on a TurnLens: whichever way a stage method is replaced
(subclass, instance attribute, class attribute set between calls, the
TurnLens class itself), and whether resolve calls it or another stage does,
the replacement is called with the arguments the plain-Python rendering
passes, and what it returns is used as the rendering uses it."""
import inspect
import itertools
import pathlib
import re
import sys

import pytest
from hypothesis import given, strategies as st

import askweave.turnlens as tl

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
from bench_turnlens import MESSAGES, make_cards  # noqa: E402
from harness import plain as plain_value  # noqa: E402
from pyref import turnlens as ref  # noqa: E402
from test_turnlens_resolve import build, configs, entries, messages  # noqa: E402

# Every method the rendering calls on the lens, from resolve or from inside
# another stage.
STAGES = sorted(set(re.findall(r"self\.(_\w+)\(", inspect.getsource(ref.TurnLens))))
# The helpers among them: called from inside other stages, or the outcomes
# resolve ends with.
NESTED = ["_has_pronoun_followup", "_latest_active_turn_id", "_artifact_matches", "_limit_query_terms", "_clarify",
          "_fresh", "_extract_dimension_hint", "_extract_filter_hint", "_extract_metric_hint", "_clean_hint",
          "_filters_to_text", "_finalize_resolution", "_resolution_from_llm_dict", "_constraints_from_base"]
WAYS = ["subclass", "instance", "class_later", "base_class"]
QUESTIONS = MESSAGES + ["hmm", "", "Show revenue by region for 2023", "what about turn 2?", "suggest something",
                        "only north region where amount above 5", "average basket by segment for last 3 months",
                        "show the same for refunds", "use table a2 instead", "filter by bank", "sum of it",
                        "this one", "previous 2 weeks", "total refund amount by product only failed ones"]
CONFIG = {"use_llm_fallback": True, "llm_fallback_confidence_ceiling": 0.95}


def plain(value):
    if hasattr(type(value), "__match_args__"):
        # when a card was made is no part of what a stage does with it
        return (type(value).__name__,
                [(n, plain(getattr(value, n))) for n in type(value).__match_args__ if n != "created_at_ms"])
    if isinstance(value, dict):
        return ("map", [(plain(k), plain(v)) for k, v in value.items()])
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [plain(v) for v in value])
    return plain_value(value)


def recorder(name, original, log, alter=None):
    """A replacement that logs its arguments (by parameter name: a stage may be
    given them either way) and answers with the original's result, altered."""
    signature = inspect.signature(getattr(ref.TurnLens, name))

    def stage(self, *args, **kwargs):
        bound = signature.bind(self, *args, **kwargs)
        log.append((name, plain(list(bound.arguments.items())[1:])))
        result = original(self, *args, **kwargs)
        return result if alter is None else alter(result, bound.arguments)
    return stage


def fallback_into(log):
    def fallback(question, cards, preliminary):
        log.append(("callback", plain(question), plain(cards), plain(preliminary)))
        if len(question) % 2:  # some answers build on a card
            return {"context_type": "follow_up_latest", "base_turn_id": 2, "confidence": 0.4}
        return {"context_type": "fresh_question", "resolved_question": question, "confidence": 0.9}
    return fallback


def outcomes(lens, cards, with_messages=True):
    results = []
    runs = [(q, cards, active) for q in QUESTIONS for active in (None, 3)] + [(q, [], None) for q in QUESTIONS[:12]]
    for q, given_cards, active in runs:
        try:
            results.append(plain(lens.resolve(q, given_cards, active_turn_id=active).to_dict()))
        except Exception as e:  # noqa: BLE001 - compared as the outcome
            results.append((type(e).__name__, str(e)) if with_messages else type(e).__name__)
    return results


def resolve_all(mod, name, way):
    """Results, the replaced stage's calls and the callback's over the messages."""
    log = []
    original = getattr(mod.TurnLens, name)
    replaced = recorder(name, original, log)
    config = mod.ResolverConfig(**CONFIG)
    cards = make_cards(mod, 6)
    fallback = fallback_into(log)
    restore = None
    if way == "subclass":
        lens = type("Lens", (mod.TurnLens,), {name: replaced})(config, fallback)
    elif way == "instance":
        lens = type("Lens", (mod.TurnLens,), {})(config, fallback)
        setattr(lens, name, replaced.__get__(lens))
    elif way == "class_later":
        cls = type("Lens", (mod.TurnLens,), {})
        lens = cls(config, fallback)
        lens.resolve(QUESTIONS[0], cards)  # the type seen before it changes
        setattr(cls, name, replaced)
    else:
        lens = mod.TurnLens(config, fallback)
        lens.resolve(QUESTIONS[0], cards)
        restore = mod.TurnLens.__dict__[name]
        setattr(mod.TurnLens, name, replaced)
    del log[:]
    try:
        results = outcomes(lens, cards)
    finally:
        if restore is not None:
            setattr(mod.TurnLens, name, restore)
    return results, log


def test_every_stage_is_a_method_of_the_lens():
    assert set(NESTED) <= set(STAGES)
    assert all(callable(getattr(tl.TurnLens, name)) for name in STAGES)


@pytest.mark.parametrize("way", WAYS)
@pytest.mark.parametrize("name", STAGES)
def test_a_replaced_stage_is_called_as_the_rendering_calls_it(name, way):
    if way == "base_class" and not isinstance(tl.TurnLens.__dict__[name], type(tl.TurnLens.resolve)):
        pytest.skip("not a method of the type")
    ours, our_calls = resolve_all(tl, name, way)
    theirs, their_calls = resolve_all(ref, name, way)
    assert our_calls == their_calls
    assert ours == theirs


def test_a_restored_method_runs_natively_again():
    cards = make_cards(tl, 6)
    lens = tl.TurnLens()
    before = [lens.resolve(q, cards).to_dict() for q in QUESTIONS]
    own = tl.TurnLens.__dict__["_rank_candidates"]
    tl.TurnLens._rank_candidates = lambda self, **kw: []
    try:
        emptied = lens.resolve(MESSAGES[0], cards)
    finally:
        tl.TurnLens._rank_candidates = own
    assert emptied.candidates == []
    assert [lens.resolve(q, cards).to_dict() for q in QUESTIONS] == before


# ---------------------------------------------------------------- answers of their own

def _stamp(field, value):
    def alter(result, args):
        setattr(result, field, value)
        return result
    return alter


# A different answer of each nested stage, of the kind the rendering expects
# or one it only takes the truth value of.
ALTERED = {
    "_has_pronoun_followup": lambda r, a: [] if r else "yes",
    "_latest_active_turn_id": lambda r, a: r if r is None else str(r),
    "_artifact_matches": lambda r, a: not r,
    "_limit_query_terms": lambda r, a: r.upper()[:30],
    "_clarify": _stamp("route", "ask"),
    "_fresh": _stamp("confidence", 0.5),
    "_extract_dimension_hint": lambda r, a: None if r else "zone",
    "_extract_filter_hint": lambda r, a: r and r.upper(),
    "_extract_metric_hint": lambda r, a: (r or "") + "_total",
    "_clean_hint": lambda r, a: "" if len(r) % 2 else r + "!",
    "_filters_to_text": lambda r, a: r.upper() if r else None,
    "_finalize_resolution": lambda r, a: a["resolution"],
    "_resolution_from_llm_dict": lambda r, a: None,
    "_constraints_from_base": lambda r, a: [list(r[0])[:1], r[1]],
}


def lens_class(mod, log, replaced):
    """A subclass replacing the named stages: None logs and keeps the result,
    otherwise an alteration of it."""
    body = {name: recorder(name, getattr(mod.TurnLens, name), log, alter) for name, alter in replaced.items()}
    return type("Lens", (mod.TurnLens,), body)


def run_replaced(mod, replaced, with_messages=True):
    log = []
    lens = lens_class(mod, log, replaced)(mod.ResolverConfig(**CONFIG), fallback_into(log))
    return outcomes(lens, make_cards(mod, 6), with_messages), log


@pytest.mark.parametrize("altered", [False, True], ids=["kept", "altered"])
def test_every_nested_stage_replaced_at_once(altered):
    replaced = {name: ALTERED[name] if altered else None for name in NESTED}
    ours, our_calls = run_replaced(tl, replaced)
    theirs, their_calls = run_replaced(ref, replaced)
    assert {name for name, *_ in their_calls} >= set(NESTED)  # each was reached
    assert our_calls == their_calls
    assert ours == theirs


def test_every_stage_replaced_at_once_logs_the_rendering_calls_in_order():
    replaced = {name: None for name in STAGES}
    ours, our_calls = run_replaced(tl, replaced)
    theirs, their_calls = run_replaced(ref, replaced)
    assert our_calls == their_calls
    assert ours == theirs


@pytest.mark.parametrize("name", NESTED)
def test_a_nested_stage_answering_differently_is_used_as_the_rendering_uses_it(name):
    ours, our_calls = run_replaced(tl, {name: ALTERED[name]})
    theirs, their_calls = run_replaced(ref, {name: ALTERED[name]})
    assert our_calls == their_calls
    assert ours == theirs


@given(messages, st.lists(entries, max_size=5), configs,
       st.dictionaries(st.sampled_from(NESTED), st.booleans(), max_size=len(NESTED)))
def test_generated_conversations_with_replaced_nested_stages(message, items, cfg, chosen):
    replaced = {name: ALTERED[name] if alter else None for name, alter in chosen.items()}

    def run(mod):
        log = []
        lens = lens_class(mod, log, replaced)(mod.ResolverConfig(**cfg), fallback_into(log))
        try:
            result = plain(lens.resolve(message, [build(mod, e) for e in items]).to_dict())
        except Exception as e:  # noqa: BLE001 - compared as the outcome
            result = type(e).__name__
        return result, log

    assert run(tl) == run(ref)


# ---------------------------------------------------------------- replacements that misbehave

class Unruly:
    """An answer without a truth value or an equality."""

    def __bool__(self):
        raise ValueError("no truth value")

    def __eq__(self, other):
        raise ValueError("no equality")

    __hash__ = object.__hash__

    def __repr__(self):
        return "Unruly()"


def _raise(result, args):
    raise LookupError("stage down")


MISBEHAVING = {
    "raises": _raise,
    "unruly": lambda r, a: Unruly(),
    "number": lambda r, a: 7,
    "none": lambda r, a: None,
    "triple": lambda r, a: ("a", "b", "c"),
    "endless": lambda r, a: itertools.count(),
    "bytes": lambda r, a: b"by region",
}


@pytest.mark.parametrize("kind", sorted(MISBEHAVING))
@pytest.mark.parametrize("name", NESTED)
def test_a_misbehaving_nested_stage_fails_as_the_rendering_does(name, kind):
    ours, our_calls = run_replaced(tl, {name: MISBEHAVING[kind]}, with_messages=False)
    theirs, their_calls = run_replaced(ref, {name: MISBEHAVING[kind]}, with_messages=False)
    assert our_calls == their_calls
    assert ours == theirs
