"""Contextual composition, search query and constraints of askweave.turnlens,
checked against the plain-Python rendering of the same rules."""
import copy
import math
import pathlib
import sys

import pytest
from hypothesis import given, settings, strategies as st

import askweave.turnlens as tl

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from pyref import turnlens as ref  # noqa: E402


def lens(mod, **cfg):
    return mod.TurnLens(mod.ResolverConfig(**cfg))


class NumberLens(tl.TurnLens):
    """Rewrites numbers with the reference rule, so composition can be
    checked on its own."""

    def _apply_numeric_override(self, parts, delta):
        ref.TurnLens()._apply_numeric_override(parts, delta)


def card(mod, shape):
    return mod.TurnContextCard(**copy.deepcopy(shape))


def cand(mod, shape):
    turn_id, score, card_shape = shape
    return mod.ContextCandidate(turn_id, score, card=None if card_shape is None else card(mod, card_shape))


def plain(value):
    if hasattr(value, "to_dict") and not isinstance(value, type):
        return value.to_dict()
    if isinstance(value, tuple):
        return tuple(plain(v) for v in value)
    return value


def outcome(fn):
    try:
        return ("ok", plain(fn()))
    except Exception as exc:  # the kind of failure must agree
        return ("err", type(exc))


# ---------------------------------------------------------------- strategies

names = st.sampled_from(["revenue", "Region", "order_date", "Month", "DAY", "WEE\u212a", "caf\u00e9", "", " ",
                         "a\nb", "x", "sales_orders", "Revenue", "status = failed", "\u0130d", "day",
                         "it's", 'say "hi"', "a\\b", "both'\"", "IT'S"])
scalars = names | st.integers(-3, 3) | st.booleans() | st.none() | st.floats(allow_nan=False, width=16)
filter_keys = st.sampled_from(["column", "function", "field", "operator", "operation", "value", "values"])
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=4) | st.tuples(inner) | st.dictionaries(filter_keys, inner, max_size=4),
    max_leaves=8)
state_keys = st.sampled_from(["aggregation", "metrics", "dimensions", "group_by", "filters", "granularity",
                              "active_tables", "tables", "active_columns", "columns", "date_columns", "sort", "limit",
                              "required_columns", "columns_by_table"])
states = st.dictionaries(state_keys, values, max_size=6)
texts = names | st.text(max_size=12)
card_shapes = st.fixed_dictionaries(
    {"turn_id": st.integers(0, 5)},
    optional={"resolved_question": texts | st.integers(0, 2), "user_question": texts,
              "query_state": states | st.none(), "topic_keywords": st.lists(names, max_size=3),
              "entities": st.lists(names, max_size=3) | st.tuples(names),
              "selected_metadata_ids": st.lists(st.sampled_from(["table:sales_orders", "column:sales_orders.region",
                                                                 "caf\u00e9"]), max_size=3),
              "task_type": names, "artifact_id": st.none() | names, "is_active": st.booleans()})
scores = st.sampled_from([0.9, 0.8, 0.8, 0.1, 0.58, 1.3, -0.2, 0.96, 0, 1, 0.5])
cand_shapes = st.tuples(st.integers(0, 5), scores, st.none() | card_shapes)
hint = st.none() | names | st.sampled_from(["north region", "by bank", "month", "compare with last year"])
delta_shapes = st.fixed_dictionaries(
    {}, optional={"operation": st.sampled_from(["none", "replace_group_by", "add_granularity", "set_top_n"]),
                  "granularity": hint, "dimension_hint": hint, "metric_hint": hint, "filter_hint": hint,
                  "compare_hint": hint, "top_n": st.none() | st.integers(0, 12) | st.just(10 ** 5000),
                  "bottom_n": st.none() | st.integers(0, 12)})
message_words = st.sampled_from(["make", "it", "monthly", "top", "5", "bottom", "3", "show", "the", "previous",
                                 "metric", "last", "6", "months", "by", "region", "only", "north", "compare",
                                 "that", "one", "list", "count", "revenue", "for", "Same", "LAST", "quarter"])
messages = st.lists(message_words, max_size=8).map(" ".join) | st.text(max_size=15)


# ---------------------------------------------------------------- differential

@settings(max_examples=400, deadline=None)
@given(base_question=texts | st.integers(), state=states)
def test_state_parts_and_filters_match_reference(base_question, state):
    before = copy.deepcopy(state)
    assert outcome(lambda: tl.TurnLens()._state_to_question_parts(base_question, state)) == outcome(
        lambda: ref.TurnLens()._state_to_question_parts(base_question, copy.deepcopy(state)))
    assert state == before
    filters = state.get("filters")
    assert outcome(lambda: tl.TurnLens()._filters_to_text(filters)) == outcome(
        lambda: ref.TurnLens()._filters_to_text(copy.deepcopy(filters)))


@settings(max_examples=300, deadline=None)
@given(parts=st.dictionaries(st.sampled_from(["metric", "grouping", "granularity", "filter", "limit", "compare"]),
                             names | st.integers(0, 2) | st.just("  the   previous metric "), max_size=6),
       fallback=texts)
def test_render_matches_reference(parts, fallback):
    assert outcome(lambda: tl.TurnLens()._render_question_parts(parts, fallback)) == outcome(
        lambda: ref.TurnLens()._render_question_parts(parts, fallback))


@settings(max_examples=300, deadline=None)
@given(base=cand_shapes, shapes=st.lists(cand_shapes, max_size=6), top_n=st.integers(-1, 4))
def test_merge_matches_reference(base, shapes, top_n):
    ours = tl.TurnLens()._merge_top_candidate_states(cand(tl, base), [cand(tl, s) for s in shapes], top_n)
    theirs = ref.TurnLens()._merge_top_candidate_states(cand(ref, base), [cand(ref, s) for s in shapes], top_n)
    assert ours == theirs and list(ours) == list(theirs)


@settings(max_examples=400, deadline=None)
@given(message=messages, shape=card_shapes, delta=delta_shapes, others=st.lists(cand_shapes, max_size=4),
       context_type=st.sampled_from(["follow_up_latest", "modify_previous_query", "suggestion_request",
                                     "follow_up_specific_turn"]),
       cfg=st.fixed_dictionaries({}, optional={"max_metadata_query_terms": st.none() | st.integers(-1, 6),
                                               "include_previous_required_columns": st.booleans(),
                                               "include_anchor_metadata_ids": st.booleans(),
                                               "include_debug_candidates": st.booleans(),
                                               "fresh_question_min_tokens": st.integers(0, 5)}))
def test_contextual_resolution_matches_reference(message, shape, delta, others, context_type, cfg):
    def run(mod, lens_type):
        lens_ = lens_type(mod.ResolverConfig(**cfg))
        base = mod.ContextCandidate(shape["turn_id"], 0.7, card=card(mod, shape))
        cands = [base] + [cand(mod, s) for s in others]
        d = mod.IntentDelta(**delta)
        return (outcome(lambda: lens_._build_contextual_resolution(
                    context_type=context_type, current_question=message, base_candidate=base, intent_delta=d,
                    candidates=cands, route="generate", reason="r")),
                outcome(lambda: lens_._compose_resolved_question(message, base.card, d, context_type)),
                outcome(lambda: lens_._compose_metadata_search_query(message, base.card, d, "Show it by region")),
                outcome(lambda: lens_._constraints_from_base(base.card, d)),
                base.card.query_state)

    ours, theirs = run(tl, tl.TurnLens), run(ref, ref.TurnLens)
    assert ours[:4] == theirs[:4]
    assert ours[4] == shape.get("query_state", {})  # read, never changed


@settings(max_examples=150, deadline=None)
@given(message=messages, state=states, value=st.sampled_from([500.0, 12.5, 0.1, 1e300, 7.0]),
       filter_text=st.sampled_from(["", "amount > $500", "between 10 and 20", "growth 10%"]))
def test_numeric_override_is_applied_before_the_hints(message, state, value, filter_text):
    shape = {"turn_id": 1, "query_state": dict(state, filters=[filter_text]) if filter_text else state}
    theirs = outcome(lambda: ref.TurnLens()._compose_resolved_question(message, card(ref, shape), ref.IntentDelta(
        replace_numeric_value=value, filter_hint="north"), "modify_previous_query"))
    for lens_type in (tl.TurnLens, NumberLens):
        assert outcome(lambda: lens_type()._compose_resolved_question(message, card(tl, shape), tl.IntentDelta(
            replace_numeric_value=value, filter_hint="north"), "modify_previous_query")) == theirs


def test_a_subclass_replaces_stages():
    calls = []

    class Custom(tl.TurnLens):
        def _constraints_from_base(self, base, delta):
            calls.append("constraints")
            return [["t"], {"t": ["c"]}]

        def _render_question_parts(self, parts, fallback):
            calls.append(dict(parts))
            return "rendered"

        def _latest_active_turn_id(self, cards):
            return 1

        def _looks_like_complete_question(self, question):
            return False

    base = tl.ContextCandidate(1, 0.5, card=tl.TurnContextCard(1, query_state={"metrics": ["m"]}))
    r = Custom()._build_contextual_resolution("follow_up_latest", "Show failed payment count by bank", base,
                                              tl.IntentDelta(), [base], "generate", "r")
    assert (r.resolved_question, r.required_tables, r.required_columns, r.confidence) == (
        "rendered", ["t"], {"t": ["c"]}, 0.55)
    assert calls[0]["metric"] == "m" and calls[1] == "constraints"
    orphan = Custom()._build_contextual_resolution("follow_up_latest", "q", tl.ContextCandidate(1, 0.5),
                                                   tl.IntentDelta(), [], "generate", "r")
    assert orphan.route == "clarify"


@settings(max_examples=200, deadline=None)
@given(shapes=st.lists(cand_shapes, max_size=5))
def test_ambiguity_question_matches_reference(shapes):
    assert tl.TurnLens()._build_ambiguity_question([cand(tl, s) for s in shapes]) == \
        ref.TurnLens()._build_ambiguity_question([cand(ref, s) for s in shapes])


# ---------------------------------------------------------------- worked cases

SUM_BY_REGION = {"aggregation": {"function": "sum", "column": "revenue"}, "group_by": ["region"]}


def compose(message, state=SUM_BY_REGION, **delta):
    c = tl.TurnContextCard(1, resolved_question="Show total revenue by region", query_state=state)
    return tl.TurnLens()._compose_resolved_question(message, c, tl.IntentDelta(**delta), "modify_previous_query")


def test_resolved_question_templates():
    assert compose("make it monthly", granularity="month") == "Show monthly sum revenue by region"
    assert compose("top 5", top_n=5) == "Show sum revenue by region top 5"
    assert compose("bottom 3 instead", top_n=None, bottom_n=3) == "Show sum revenue by region bottom 3"
    assert compose("bottom 3", top_n=4, bottom_n=3) == "Show sum revenue by region bottom 3"
    assert compose("top 0", top_n=0) == "Show sum revenue by region top 0"
    assert compose("top", top_n=10 ** 5000).endswith(" top 1" + "0" * 5000)
    assert compose("it", state={"group_by": ["month", "Day"]}, granularity="day") == "Show daily the previous metric"
    assert compose("it", state={"dimensions": ["month", "Day"]}) == \
        "Show total revenue by region. Modification: it"
    assert compose("it", state={"filters": ["status = failed"]}, filter_hint="north region") == \
        "Show the previous metric where status = failed, north region"
    assert compose("it", state={"metrics": "revenue", "group_by": "region"}) == "Show revenue by region"
    anonymous = tl.TurnContextCard(3)
    assert tl.TurnLens()._compose_resolved_question("it", anonymous, tl.IntentDelta(), "follow_up_latest") == \
        "the previous request. Modification: it"
    assert tl.TurnLens()._compose_resolved_question("anything at all", anonymous, tl.IntentDelta(),
                                                    "suggestion_request") == \
        "Suggest related analyses or next useful questions based on: the previous request"
    complete = "Show failed payment count by bank"
    assert compose(complete, granularity="month") == complete


def test_filters_text():
    lt = tl.TurnLens()
    assert lt._filters_to_text([{"field": "status", "operator": "=", "value": "failed"},
                                {"column": "amount", "operation": "is not null"}]) == \
        "status = failed, amount is not null"
    assert lt._filters_to_text([{"column": "amount", "operation": ">", "value": 0},
                                {"column": "paid", "operation": "=", "value": False},
                                {"column": "tag", "operation": "in", "value": [], "values": ["a", "b"]}]) == \
        "amount > 0, paid = False, tag in ['a', 'b']"
    assert lt._filters_to_text({"status": "x" * 200}) == ('{"status": "' + "x" * 200)[:117] + "..."
    assert lt._filters_to_text(0) == "" == lt._filters_to_text(None)
    assert lt._filters_to_text([None, "", {"column": "", "value": 5}] + ["f"] * 9) == "None, 5, f, f"


def test_merge_order_and_dedup():
    def c(turn, score, state):
        return tl.ContextCandidate(turn, score, card=tl.TurnContextCard(turn, query_state=state))

    one, two, three, four = (c(1, 0.9, {"tables": ["Sales", "orders"], "limit": 0}),
                             c(2, 0.8, {"tables": ["sales", "Customers"], "sort": "desc"}),
                             c(3, 0.8, {"tables": ["Regions"], "sort": "asc"}),
                             c(4, 0.1, {"tables": ["t4"], "granularity": "month", "limit": 5}))
    merged = tl.TurnLens()._merge_top_candidate_states(four, [one, two, three, four])
    assert merged == {"tables": ["t4", "Sales", "orders", "Customers", "Regions"], "granularity": "month",
                      "sort": "desc", "limit": 5}
    assert tl.TurnLens()._merge_top_candidate_states(four, [one, three, two, four])["sort"] == "asc"
    assert merged["tables"][1] is one.card.query_state["tables"][0]
    assert list(tl.TurnLens()._merge_top_candidate_states(one, [one, two], top_n=0)) == ["tables"]
    nan = [c(1, float("nan"), {"tables": ["a"]}), c(2, 0.5, {"tables": ["b"]}), c(3, 0.9, {"tables": ["c"]})]
    assert tl.TurnLens()._merge_top_candidate_states(nan[0], nan, 2) == \
        ref.TurnLens()._merge_top_candidate_states(
            *(lambda rs: (rs[0], rs))([ref.ContextCandidate(x.turn_id, x.score, card=ref.TurnContextCard(
                x.turn_id, query_state=x.card.query_state)) for x in nan]), 2)


def test_confidence_and_latest_bonus():
    def conf(score, context_type="follow_up_latest", turn=2):
        cards = [tl.TurnContextCard(1), tl.TurnContextCard(turn)]
        base = tl.ContextCandidate(2, score, card=cards[1])
        cands = [base, tl.ContextCandidate(1, 0.1, card=cards[0]), tl.ContextCandidate(9, 0.1)]
        return tl.TurnLens()._build_contextual_resolution(
            context_type=context_type, current_question="make it monthly", base_candidate=base,
            intent_delta=tl.IntentDelta(), candidates=cands, route="generate", reason="r").confidence

    assert conf(0.96) == 0.99 and conf(1.3) == 0.99 and conf(-0.5) == 0.05
    assert conf(0.5) == 0.55 and conf(0.5, "modify_previous_query") == 0.5
    assert conf(-0.5, "modify_previous_query") == 0.0 and conf(0.5, turn=0) == 0.5
    assert conf(float("nan"), "modify_previous_query") == 0.99 and conf(1) == 0.99


def test_contextual_resolution_fields():
    state = {"tables": ["sales_orders"], "metrics": ["revenue"], "date_columns": ["order_date"],
             "group_by": ["region"]}
    base_card = tl.TurnContextCard(1, resolved_question="Show total revenue by region", task_type="text_to_sql",
                                   artifact_type="sql", artifact_id="q1", selected_metadata_ids=["table:sales_orders"],
                                   query_state=state)
    base = tl.ContextCandidate(1, 0.7, card=base_card)
    delta = tl.IntentDelta(operation="replace_group_by", dimension_hint="category")
    cands = [base]
    r = tl.TurnLens()._build_contextual_resolution("modify_previous_query", "make it category based", base, delta,
                                                   cands, "generate", "because")
    assert (r.context_type, r.resolved_question, r.base_turn_id, r.use_previous_state, r.allow_related_tables) == (
        "modify_previous_query", "Show revenue by category", 1, True, True)
    assert r.intent_delta is delta and r.candidates is cands and r.reason == "because"
    assert r.required_tables == ["sales_orders"] and r.required_columns == {"sales_orders": ["order_date", "revenue"]}
    assert r.anchor_metadata_ids == ["table:sales_orders"] and r.anchor_metadata_ids is not base_card.selected_metadata_ids
    assert r.extra == {"base_task_type": "text_to_sql", "base_artifact_type": "sql", "base_artifact_id": "q1"}
    assert base_card.query_state == {"tables": ["sales_orders"], "metrics": ["revenue"],
                                     "date_columns": ["order_date"], "group_by": ["region"]}
    hidden = lens(tl, include_anchor_metadata_ids=False, include_debug_candidates=False)._build_contextual_resolution(
        "follow_up_latest", "it", base, delta, cands, "generate", "r")
    assert hidden.anchor_metadata_ids == [] and hidden.candidates == []
    orphan = tl.TurnLens()._build_contextual_resolution("follow_up_latest", "it", tl.ContextCandidate(1, 0.9), delta,
                                                        cands, "generate", "r")
    assert (orphan.context_type, orphan.reason, orphan.clarification_question, orphan.route) == (
        "clarification_needed", "Internal error: selected candidate had no context card.",
        "Please rephrase your question.", "clarify")


def test_search_query_and_constraints():
    lt = tl.TurnLens()
    plain_card = tl.TurnContextCard(1)
    assert lt._compose_metadata_search_query("make it monthly", plain_card, tl.IntentDelta(granularity="month"),
                                             "Show monthly revenue by region") == "monthly revenue region month"
    assert lt._compose_metadata_search_query("show it", plain_card, tl.IntentDelta(), "") == "show it"
    rich = tl.TurnContextCard(1, topic_keywords=["Sales"], selected_metadata_ids=["column:sales_orders.region"],
                              query_state={"tables": ("a\tb",), "granularity": None, "filters": ["skipped"]})
    assert lt._compose_metadata_search_query("", rich, tl.IntentDelta(), "") == "tb sales column orders region"  # "a" is a stop word
    assert lens(tl, max_metadata_query_terms=2)._compose_metadata_search_query(
        "b a a b c", plain_card, tl.IntentDelta(), "") == "b c"

    state = {"active_tables": ["sales_orders"], "metrics": ["revenue"], "date_columns": ["order_date"],
             "group_by": ["region"]}
    c = tl.TurnContextCard(1, query_state=state)
    assert lt._constraints_from_base(c, tl.IntentDelta(operation="replace_group_by")) == (
        ["sales_orders"], {"sales_orders": ["order_date", "revenue"]})
    assert lt._constraints_from_base(c, tl.IntentDelta(operation="add_granularity")) == (
        ["sales_orders"], {"sales_orders": ["order_date", "region", "revenue"]})
    kept = tl.TurnContextCard(1, query_state=dict(state, active_columns=["region"]))
    assert lt._constraints_from_base(kept, tl.IntentDelta(operation="replace_group_by"))[1] == {
        "sales_orders": ["order_date", "region", "revenue"]}
    two = tl.TurnContextCard(1, query_state={"tables": ["a", "b"], "metrics": ["m"],
                                             "required_columns": {"a": ["x"], 5: ("y",)}})
    assert lt._constraints_from_base(two, tl.IntentDelta()) == (["a", "b"], {"a": ["x"], "5": ["y"]})
    assert lens(tl, include_previous_required_columns=False)._constraints_from_base(kept, tl.IntentDelta()) == (
        ["sales_orders"], {"sales_orders": ["order_date", "region", "revenue"]})
    odd = tl.TurnContextCard(1, query_state={"tables": ["t"], "metrics": "revenue", "group_by": 7,
                                             "required_columns": {"t": [3, "a"]}})
    assert lt._constraints_from_base(odd, tl.IntentDelta()) == (["t"], {"t": ["3", "7", "a", "revenue"]})


def test_wrong_kinds_are_rejected():
    lt = tl.TurnLens()
    c = tl.TurnContextCard(1)
    base = tl.ContextCandidate(1, 0.9, card=c)
    for call in [lambda: lt._build_contextual_resolution("follow_up_latest", None, base, tl.IntentDelta(), [],
                                                         "generate", "r"),
                 lambda: lt._build_contextual_resolution("follow_up_latest", "q", base, tl.IntentDelta(), (),
                                                         "generate", "r"),
                 lambda: lt._compose_resolved_question(b"q", c, tl.IntentDelta(), "follow_up_latest"),
                 lambda: lt._compose_resolved_question("q", c, tl.IntentDelta(), "x", candidates=(base,)),
                 lambda: lt._merge_top_candidate_states(base, (base,)),
                 lambda: lt._merge_top_candidate_states(base, [base], 2.5),
                 lambda: lt._state_to_question_parts("q", [("metrics", "x")]),
                 lambda: lt._render_question_parts([], "f"), lambda: lt._render_question_parts({}, None),
                 lambda: lt._render_question_parts({"metric": 5}, "f"),
                 lambda: lt._build_ambiguity_question(None),
                 lambda: lt._compose_metadata_search_query("q", c, tl.IntentDelta(), None),
                 lambda: lt._compose_metadata_search_query(1, c, tl.IntentDelta(), "r"),
                 lambda: lt._compose_resolved_question("it", tl.TurnContextCard(1, query_state=["x"]),
                                                       tl.IntentDelta(), "follow_up_latest")]:
        with pytest.raises(TypeError):
            call()
    assert lt._merge_top_candidate_states(base, [base], 0.5) == {}
    assert lt._build_ambiguity_question([]) == "Can you clarify what you want me to use as context?"
    assert math.isfinite(lt._build_contextual_resolution("follow_up_latest", "q", base, tl.IntentDelta(), [base],
                                                         "generate", "r").confidence)
