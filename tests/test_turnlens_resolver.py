"""Resolver settings, card preparation and the plain outcomes of askweave.turnlens."""
import inspect
import pickle
import subprocess
import sys
from collections import Counter

import pytest
from hypothesis import given, settings, strategies as st

import askweave.turnlens as tl
from test_turnlens_text import ref_tokenize

QUESTION = "Show total revenue by region for last 6 months"


def ref_limit(text, max_terms):
    tokens = ref_tokenize(text) or ref_tokenize(text, set())
    counts = Counter(tokens)
    ordered = list(dict.fromkeys(tokens))
    if max_terms is not None and len(ordered) > max_terms:
        ordered = sorted(ordered, key=lambda t: counts[t], reverse=True)[: max(max_terms, 0)]
    return " ".join(ordered)


def lens(**settings_):
    return tl.TurnLens(tl.ResolverConfig(**settings_))


def test_config_defaults_and_construction():
    cfg = tl.ResolverConfig()
    assert (cfg.max_recent_cards, cfg.max_cards_for_llm_fallback, cfg.followup_threshold,
            cfg.clarification_margin, cfg.fresh_question_min_tokens, cfg.recency_weight,
            cfg.keyword_overlap_weight, cfg.entity_overlap_weight, cfg.artifact_match_weight,
            cfg.explicit_reference_weight, cfg.active_card_bonus, cfg.task_type_match_weight) == (
        10, 5, 0.58, 0.08, 3, 0.25, 0.35, 0.2, 0.5, 2.0, 0.15, 0.1)
    assert (cfg.prefer_latest_for_pronoun_followup, cfg.ask_clarification_when_ambiguous, cfg.use_llm_fallback,
            cfg.llm_fallback_confidence_ceiling, cfg.max_metadata_query_terms,
            cfg.include_previous_required_columns, cfg.include_anchor_metadata_ids,
            cfg.include_debug_candidates) == (True, True, False, None, 40, True, True, True)
    assert tl.TurnLens().config == cfg and tl.TurnLens().llm_fallback is None
    callback = lambda q, cards, signals: None  # noqa: E731
    made = tl.TurnLens(cfg, callback)
    assert made.config is cfg and made.llm_fallback is callback
    assert tl.TurnLens(llm_fallback=print).llm_fallback is print
    clone = pickle.loads(pickle.dumps(tl.TurnLens(tl.ResolverConfig(max_recent_cards=3))))
    assert clone.config == tl.ResolverConfig(max_recent_cards=3) and clone.llm_fallback is None
    for bad in [lambda: tl.TurnLens({"max_recent_cards": 3}), lambda: tl.TurnLens(None, "not callable"),
                lambda: tl.TurnLens(cfg, 5)]:
        with pytest.raises(TypeError):
            bad()
    assert str(inspect.signature(tl.TurnLens._fresh)) == "(self, /, current_question, *, candidates=None, reason)"
    assert str(inspect.signature(tl.TurnLens._clarify)) == "(self, /, current_question, candidates, reason, question)"


def test_type_labels_import_nothing_outside_the_standard_library():
    import typing
    assert typing.get_args(tl.ContextType)[0] == "fresh_question" and len(typing.get_args(tl.OperationType)) == 15
    assert typing.get_args(tl.TaskType)[-1] == "unknown" and "json_config" in typing.get_args(tl.ArtifactType)
    assert typing.get_origin(tl.ResolverLLMFallback).__name__ == "Callable"
    code = ("import sys; before = set(sys.modules); import askweave.turnlens; "
            "print(sorted(m for m in set(sys.modules) - before if m.split('.')[0] not in sys.stdlib_module_names))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "['askweave', 'askweave.turnlens']"


def test_normalize_cards():
    card = tl.TurnContextCard(5)
    out = tl.TurnLens()._normalize_cards([None, card, 3, "text", {"turn_id": 1, "user_question": QUESTION}])
    assert out[0] is card and out[1].user_question == QUESTION and len(out) == 2
    assert tl.TurnLens()._normalize_cards((None, 2.5)) == []

    class Map(dict):
        pass

    assert tl.TurnLens()._normalize_cards([Map(turn_id=8)])[0].turn_id == 8
    for bad in [{"turn_id": 1, "user_question": QUESTION, "bogus": 1}, {"user_question": QUESTION},
                {1: 1, "turn_id": 1}]:
        with pytest.raises(TypeError):
            tl.TurnLens()._normalize_cards([bad])


def test_recent_cards():
    twelve = [tl.TurnContextCard(i) for i in range(1, 13)]
    assert [c.turn_id for c in tl.TurnLens()._recent_cards(twelve)] == list(range(12, 2, -1))
    inactive = [tl.TurnContextCard(i, is_active=False) for i in (1, 3, 2)]
    assert [c.turn_id for c in tl.TurnLens()._recent_cards(inactive)] == [3, 2, 1]
    mixed = inactive + [tl.TurnContextCard(0)]
    assert [c.turn_id for c in tl.TurnLens()._recent_cards(mixed)] == [0]
    a, b = tl.TurnContextCard(4, user_question="a"), tl.TurnContextCard(4, user_question="b")
    assert tl.TurnLens()._recent_cards([a, b]) == [a, b]
    assert tl.TurnLens()._recent_cards([b, a])[0] is b
    floats = [tl.TurnContextCard(t) for t in (1.5, 3, 2.5, 3.0)]
    assert [c.turn_id for c in tl.TurnLens()._recent_cards(floats)] == [3, 3.0, 2.5, 1.5]
    assert len(lens(max_recent_cards=None)._recent_cards(twelve)) == 12
    assert lens(max_recent_cards=-2)._recent_cards(twelve) == [] == lens(max_recent_cards=0)._recent_cards(twelve)
    assert len(lens(max_recent_cards=10**30)._recent_cards(twelve)) == 12
    with pytest.raises(TypeError):
        lens(max_recent_cards=2.0)._recent_cards(twelve)


def test_latest_active_turn_id():
    lt = tl.TurnLens()
    assert lt._latest_active_turn_id([None, tl.TurnContextCard(9, is_active=False), tl.TurnContextCard(4)]) == 4
    assert lt._latest_active_turn_id([tl.TurnContextCard(9, is_active=False)]) is None
    assert lt._latest_active_turn_id([]) is None
    assert lt._latest_active_turn_id([tl.TurnContextCard(2), tl.TurnContextCard(10**40)]) == 10**40


def test_limit_query_terms_examples():
    assert lens(max_metadata_query_terms=3)._limit_query_terms(
        "revenue region revenue month region revenue") == "revenue region month"
    assert lens(max_metadata_query_terms=2)._limit_query_terms("bank year year bank card") == "bank year"
    assert lens(max_metadata_query_terms=2)._limit_query_terms("b a a b c") == "b c"
    assert tl.TurnLens()._limit_query_terms("show it") == "show it"
    assert tl.TurnLens()._limit_query_terms("") == ""
    assert lens(max_metadata_query_terms=-1)._limit_query_terms("a b c") == ""
    assert lens(max_metadata_query_terms=None)._limit_query_terms("x y z") == "x y z"
    assert lens(max_metadata_query_terms=5.0)._limit_query_terms("x y z") == "x y z"
    with pytest.raises(TypeError):
        lens(max_metadata_query_terms=2.0)._limit_query_terms("x y z")
    with pytest.raises(TypeError):
        tl.TurnLens()._limit_query_terms(None)


@settings(max_examples=200, deadline=None)
@given(words=st.lists(st.sampled_from(["rev", "Region", "x", "show", "it", "by", "a", "orderDate", "9", "\u00e9"]),
                      max_size=30),
       limit=st.none() | st.integers(-2, 8))
def test_limit_query_terms_matches_the_rule(words, limit):
    text = " ".join(words)
    assert lens(max_metadata_query_terms=limit)._limit_query_terms(text) == ref_limit(text, limit)


def test_fresh_and_clarify():
    lt = tl.TurnLens()
    fresh = lt._fresh(QUESTION, reason="No usable context.")
    assert (fresh.context_type, fresh.current_question, fresh.resolved_question, fresh.route) == (
        "fresh_question", QUESTION, QUESTION, "generate")
    assert fresh.metadata_search_query == "total revenue region last 6 months"
    assert (fresh.confidence, fresh.reason, fresh.base_turn_id, fresh.use_previous_state) == (
        0.95, "No usable context.", None, False)
    assert (fresh.required_tables, fresh.required_columns, fresh.anchor_metadata_ids, fresh.candidates) == (
        [], {}, [], [])
    assert fresh.allow_related_tables is True and fresh.intent_delta == tl.IntentDelta()
    assert fresh.clarification_question is None and fresh.extra == {}
    cands = [tl.ContextCandidate(i, 0.5) for i in range(3)]
    assert lt._fresh("q", candidates=cands, reason="r").candidates is cands
    assert lt._fresh("q", candidates=[], reason="r").candidates == []
    with pytest.raises(TypeError):
        lt._fresh("q")
    with pytest.raises(TypeError):
        lt._fresh("q", [], reason="r")
    with pytest.raises(TypeError):
        lt._fresh(42, reason="r")

    ask = lt._clarify("make it that one", cands, "Ambiguous.", "Which result?")
    assert (ask.context_type, ask.route, ask.confidence, ask.clarification_question, ask.reason) == (
        "clarification_needed", "clarify", 0.0, "Which result?", "Ambiguous.")
    assert ask.candidates is cands and ask.metadata_search_query == "make it that one"
    hidden = lens(include_debug_candidates=False)._clarify("q", cands, "r", "?")
    assert hidden.candidates == [] and hidden.confidence == 0.0
