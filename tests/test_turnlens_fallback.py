"""The caller's language-model fallback of askweave.turnlens: when it is
asked, what it receives, and how its answer is read."""
import copy
import gc
import pathlib
import sys

import pytest
from hypothesis import given, settings, strategies as st

import askweave.turnlens as tl

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from pyref import turnlens as ref  # noqa: E402

QUESTION = "Show total revenue by region for last 6 months"
STATE = {"tables": ["sales_orders"], "metrics": ["revenue"], "group_by": ["region"]}


def make_cards(mod, n=3):
    return [mod.TurnContextCard(i, user_question=f"question {i}", selected_metadata_ids=[f"table:t{i}"],
                                query_state=copy.deepcopy(STATE)) for i in range(1, n + 1)]


def enabled(callback, mod=tl, **cfg):
    return mod.TurnLens(mod.ResolverConfig(use_llm_fallback=True, **cfg), callback)


class Recorder:
    def __init__(self, answer=None):
        self.calls, self.answer = [], answer

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.answer() if callable(self.answer) else self.answer


def test_callback_is_asked_only_when_enabled_and_with_exact_arguments():
    rec = Recorder()
    cards = make_cards(tl, 5)
    assert tl.TurnLens(llm_fallback=rec)._try_llm_fallback("q", cards, {}) is None and rec.calls == []
    prelim = {"explicit_turn_id": None, "suggestion": False}
    assert enabled(rec, max_cards_for_llm_fallback=2)._try_llm_fallback("q", cards, prelim) is None
    (args, kwargs), = rec.calls
    assert kwargs == {} and len(args) == 3 and args[0] == "q" and args[2] is prelim
    assert args[1] == [c.to_resolver_summary() for c in cards[:2]]
    for limit, count in [(None, 5), (-1, 0), (0, 0), (7, 5)]:
        rec.calls.clear()
        enabled(rec, max_cards_for_llm_fallback=limit)._try_llm_fallback("q", cards, prelim)
        assert len(rec.calls[0][0][1]) == count
    assert enabled(None)._try_llm_fallback("q", cards, prelim) is None


class Exploding:
    def __bool__(self):
        raise ValueError("no truth value")


@pytest.mark.parametrize("behaviour", [
    lambda: (_ for _ in ()).throw(RuntimeError("model down")), lambda: {}, lambda: [], lambda: None,
    lambda: [("context_type", "fresh_question")], lambda: "fresh_question", lambda: Exploding(),
    lambda: {"intent_delta": {"bogus": 1}}, lambda: {"intent_delta": {1: 1}}, lambda: {"confidence": "high"},
    lambda: {"required_tables": 5}, lambda: {"confidence": [1]}, lambda: {"use_previous_state": Exploding()},
])
def test_unusable_answers_leave_the_rules_in_place(behaviour):
    assert enabled(Recorder(behaviour))._try_llm_fallback("q", make_cards(tl), {}) is None


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_interruptions_propagate(error):
    def callback(*_):
        raise error()

    with pytest.raises(error):
        enabled(callback)._try_llm_fallback("q", make_cards(tl), {})


def test_callback_answer_fields_and_defaults():
    cards = make_cards(tl)
    lt = enabled(Recorder({"base_turn_id": 2, "context_type": "follow_up_specific_turn"}))
    r = lt._try_llm_fallback(QUESTION, cards, {})
    assert (r.context_type, r.resolved_question, r.metadata_search_query, r.base_turn_id) == (
        "follow_up_specific_turn", QUESTION, QUESTION, 2)
    assert (r.use_previous_state, r.confidence, r.reason, r.route, r.allow_related_tables) == (
        True, 0.5, "LLM fallback resolution.", "generate", True)
    assert r.required_tables == ["sales_orders"] and r.required_columns == {"sales_orders": ["region", "revenue"]}
    assert r.anchor_metadata_ids == ["table:t2"] and r.intent_delta == tl.IntentDelta() and r.candidates == []
    assert r.clarification_question is None and r.extra == {}
    fresh = lt._resolution_from_llm_dict(QUESTION, {"base_turn_id": 2, "context_type": "fresh_question"}, cards)
    assert fresh.required_tables == [] and fresh.required_columns == {} and fresh.anchor_metadata_ids == ["table:t2"]
    unknown = lt._resolution_from_llm_dict("q", {"base_turn_id": 42}, cards)
    assert (unknown.base_turn_id, unknown.use_previous_state, unknown.required_tables, unknown.context_type) == (
        42, True, [], "clarification_needed")
    extra, columns = {"k": 1}, {"t": ["c"]}
    full = lt._resolution_from_llm_dict("q", {
        "base_turn_id": 1, "intent_delta": {"operation": "compare", "top_n": 3}, "context_type": "x",
        "resolved_question": "R", "metadata_search_query": "", "required_tables": "ab", "required_columns": columns,
        "use_previous_state": None, "anchor_metadata_ids": ("a",), "allow_related_tables": 0, "confidence": 1.7,
        "reason": "", "clarification_question": "?", "route": "suggest", "extra": extra, "ignored": 1}, cards)
    assert (full.intent_delta.operation, full.intent_delta.top_n, full.context_type, full.resolved_question) == (
        "compare", 3, "x", "R")
    assert (full.metadata_search_query, full.required_tables, full.use_previous_state) == ("R", ["a", "b"], True)
    assert full.required_columns is columns and full.extra is extra and full.anchor_metadata_ids == ["a"]
    assert (full.allow_related_tables, full.confidence, full.reason, full.clarification_question, full.route) == (
        False, 1.7, "", "?", "suggest")
    nones = lt._resolution_from_llm_dict("q", {"confidence": None, "reason": None, "route": None, "extra": None,
                                               "intent_delta": "not a map"}, cards)
    assert (nones.confidence, nones.reason, nones.route, nones.extra, nones.use_previous_state) == (
        0.5, "LLM fallback resolution.", "generate", {}, False)
    assert lt._resolution_from_llm_dict("q", {"confidence": 0}, cards).confidence == 0.0
    assert lt._resolution_from_llm_dict("q", {"confidence": "0.25"}, cards).confidence == 0.25
    with pytest.raises(TypeError):
        lt._resolution_from_llm_dict("q", [("confidence", 1)], cards)


def test_cards_and_answers_are_not_modified():
    answer = {"base_turn_id": 1, "intent_delta": {"operation": "none"}}
    frozen = copy.deepcopy(answer)
    cards = make_cards(tl)
    before = [copy.deepcopy(c.query_state) for c in cards]
    enabled(Recorder(answer))._try_llm_fallback("q", cards, {})
    assert answer == frozen and [c.query_state for c in cards] == before


def test_reentrant_callback():
    cards = make_cards(tl)
    spare = make_cards(tl, 1)[0]
    holder = {}

    def callback(question, summaries, preliminary):
        lens_ = holder["lens"]
        inner = lens_._try_llm_fallback(question + "!", cards, {}) if len(question) < 4 else None
        lens_.resolve(QUESTION, cards, active_turn_id=1)
        lens_._build_contextual_resolution("follow_up_latest", "it", tl.ContextCandidate(1, 0.9, card=spare),
                                           tl.IntentDelta(), [], "generate", "r")
        # the callback swaps the resolver's settings and itself, and empties the cards
        lens_.config = tl.ResolverConfig(include_previous_required_columns=False)
        lens_.llm_fallback = None
        cards.clear()
        summaries.clear()
        preliminary["mutated"] = True
        gc.collect()
        return {"base_turn_id": 1, "context_type": "follow_up_latest", "extra": {"inner": inner}}

    holder["lens"] = lens_ = enabled(callback)
    r = lens_._try_llm_fallback("q", cards, {})
    # every level cleared the cards before its answer was read
    assert r.extra["inner"].base_turn_id == 1 and r.extra["inner"].extra["inner"].required_tables == []
    assert r.base_turn_id == 1 and r.required_tables == [] and lens_.llm_fallback is None

    kept = make_cards(tl)

    def deep(question, summaries, preliminary):
        return holder["lens2"]._try_llm_fallback(question, kept, preliminary) and None

    holder["lens2"] = enabled(deep)
    # endless re-entry ends in the interpreter's recursion limit, an ordinary error absorbed at each level
    assert holder["lens2"]._try_llm_fallback("q", kept, {}) is None


answer_values = st.one_of(st.none(), st.integers(-1, 3), st.booleans(), st.floats(allow_nan=False, width=16),
                          st.sampled_from(["", "x", "0.5", "fresh_question", "follow_up_latest", "abc"]),
                          st.lists(st.sampled_from(["t", "u", ""]), max_size=3),
                          st.dictionaries(st.sampled_from(["t", "operation", "top_n", "bogus"]),
                                          st.sampled_from(["a", 1, None]), max_size=2))
answers = st.dictionaries(
    st.sampled_from(["base_turn_id", "intent_delta", "context_type", "resolved_question", "metadata_search_query",
                     "required_tables", "required_columns", "use_previous_state", "anchor_metadata_ids",
                     "allow_related_tables", "confidence", "reason", "clarification_question", "route", "extra"]),
    answer_values, max_size=8)


@settings(max_examples=400, deadline=None)
@given(answer=answers, limit=st.none() | st.integers(-1, 4), use=st.booleans())
def test_answers_match_reference(answer, limit, use):
    def run(mod):
        rec = Recorder(lambda: copy.deepcopy(answer))
        lens_ = mod.TurnLens(mod.ResolverConfig(use_llm_fallback=use, max_cards_for_llm_fallback=limit), rec)
        r = lens_._try_llm_fallback("q", make_cards(mod), {"k": 1})
        return (None if r is None else r.to_dict(), [len(a[1]) for a, _ in rec.calls])

    assert run(tl) == run(ref)


def test_a_subclass_reads_answers_its_own_way():
    class Custom(tl.TurnLens):
        def _resolution_from_llm_dict(self, current_question, data, cards):
            if data.get("fail"):
                raise LookupError("unusable")
            return tl.ContextResolution("fresh_question", current_question, data["q"], "")

    lens_ = Custom(tl.ResolverConfig(use_llm_fallback=True), Recorder({"q": "mine"}))
    assert lens_._try_llm_fallback("q", [], {}).resolved_question == "mine"
    assert Custom(tl.ResolverConfig(use_llm_fallback=True), Recorder({"fail": 1}))._try_llm_fallback("q", [], {}) is None
