"""Stages replaced on a TurnLens: whichever way a stage method is replaced
(subclass, instance attribute, class attribute set between calls, the
TurnLens class itself), resolve calls the replacement with the arguments the
plain-Python rendering passes, and keeps its result."""
import inspect
import pathlib
import sys

import pytest

import askweave.turnlens as tl

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
from bench_turnlens import MESSAGES, make_cards  # noqa: E402
from harness import plain as plain_value  # noqa: E402
from pyref import turnlens as ref  # noqa: E402

# The stages resolve and the contextual composition call on the lens. (The
# few the rendering also calls from inside other stages, such as
# _has_pronoun_followup, _latest_active_turn_id, _limit_query_terms and
# _clarify, run natively there and are left out.)
STAGES = [
    "_normalize_cards", "_recent_cards", "_detect_explicit_turn_reference", "_detect_artifact_reference",
    "_extract_intent_delta", "_is_suggestion_request", "_has_followup_signal", "_has_modify_signal",
    "_looks_like_complete_question", "_has_ambiguous_reference", "_rank_candidates",
    "_choose_base_for_contextual_request", "_build_contextual_resolution", "_compose_resolved_question",
    "_merge_top_candidate_states", "_state_to_question_parts", "_apply_numeric_override",
    "_render_question_parts", "_compose_metadata_search_query", "_constraints_from_base",
    "_try_llm_fallback", "_build_ambiguity_question",
]
WAYS = ["subclass", "instance", "class_later", "base_class"]
QUESTIONS = MESSAGES + ["hmm", "", "Show revenue by region for 2023", "what about turn 2?", "suggest something"]


def plain(value):
    if hasattr(type(value), "__match_args__"):
        return (type(value).__name__, [(n, plain(getattr(value, n))) for n in type(value).__match_args__])
    if isinstance(value, dict):
        return ("map", [(plain(k), plain(v)) for k, v in value.items()])
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [plain(v) for v in value])
    return plain_value(value)


def recorder(name, original, log):
    signature = inspect.signature(getattr(ref.TurnLens, name))

    def stage(self, *args, **kwargs):
        # by parameter name: a stage may be given its arguments either way
        bound = signature.bind(self, *args, **kwargs)
        log.append(plain(list(bound.arguments.items())[1:]))
        return original(self, *args, **kwargs)
    return stage


def fallback(question, cards, preliminary):
    return {"context_type": "fresh_question", "resolved_question": question, "confidence": 0.9}


def resolve_all(mod, name, way):
    """Results and the replaced stage's calls over the messages."""
    log = []
    original = getattr(mod.TurnLens, name)
    replaced = recorder(name, original, log)
    config = mod.ResolverConfig(use_llm_fallback=True, llm_fallback_confidence_ceiling=0.95)
    cards = make_cards(mod, 6)
    results = []
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
    try:
        for q in QUESTIONS:
            for active in (None, 3):
                try:
                    results.append(plain(lens.resolve(q, cards, active_turn_id=active).to_dict()))
                except Exception as e:  # noqa: BLE001 - compared as the outcome
                    results.append((type(e).__name__, str(e)))
    finally:
        if restore is not None:
            setattr(mod.TurnLens, name, restore)
    return results, log


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
