"""The opt-in modes of TurnLens: the topic gate and merged follow-ups.

Off, a lens gives what the rules give (the plain-Python rendering is the
oracle); on, the gate keeps new topics fresh and keeps real follow-ups as
follow-ups, and merging rewrites the earlier question with the change asked
for. The follow-up protocol on the real triples checks the figures."""
import copy
import importlib.util
import os
import pathlib
import pickle
import sys

import pytest
from hypothesis import given, strategies as st

import askweave.turnlens as tl

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from pyref import turnlens as ref  # noqa: E402
from test_turnlens_resolve import configs, entries, messages, outcome  # noqa: E402

DATA = HERE.parent.parent / "shared" / "data" / "followup"
EARLIER = "Show total revenue by region for last 6 months"


def card(question=EARLIER, turn_id=1, **fields):
    return tl.TurnContextCard(turn_id=turn_id, user_question=question, resolved_question=question,
                              task_type="text_to_sql", artifact_type="sql", **fields)


def resolve(message, earlier=EARLIER, active=1, **modes):
    return tl.TurnLens(**modes).resolve(message, [card(earlier)], active_turn_id=active)


# ------------------------------------------------------------ defaults

@given(messages, st.lists(entries, max_size=4), configs, st.sampled_from([None, 1, 2]))
def test_modes_off_are_the_rules(message, items, cfg, active):
    want = outcome(ref, message, items, cfg, None, active_turn_id=active)
    off = {"topic_gate": False, "merge_followups": False}
    assert outcome(tl, message, items, cfg, None, active_turn_id=active, **off) == want
    cards = [copy.deepcopy(e[1]) if e[0] == "map" else e[1] for e in items]
    cards = [tl.TurnContextCard(**c) if e[0] == "card" else c for e, c in zip(items, cards)]
    try:
        got = ("ok", tl.TurnLens(tl.ResolverConfig(**cfg), None, **off)
               .resolve(message, cards, active_turn_id=active).to_dict())
    except Exception as exc:
        got = ("err", type(exc).__name__)
    assert got == want


def test_construction():
    lens = tl.TurnLens()
    assert (lens.topic_gate, lens.merge_followups) == (False, False)
    cfg = tl.ResolverConfig(max_recent_cards=3)
    lens = tl.TurnLens(cfg, None, topic_gate=True)
    assert lens.config is cfg and (lens.topic_gate, lens.merge_followups) == (True, False)
    assert tl.TurnLens(merge_followups=1).merge_followups is True
    with pytest.raises(TypeError):
        tl.TurnLens(None, None, True)  # keyword-only
    with pytest.raises(AttributeError):
        lens.topic_gate = False  # read-only
    # copies and pickles keep the modes; without modes the form is unchanged
    assert tl.TurnLens().__reduce__() == (tl.TurnLens, (tl.TurnLens().config, None))
    for modes in ({"topic_gate": True}, {"merge_followups": True}, {"topic_gate": True, "merge_followups": True}):
        lens = tl.TurnLens(cfg, **modes)
        for twin in (copy.copy(lens), copy.deepcopy(lens), pickle.loads(pickle.dumps(lens))):
            assert type(twin) is tl.TurnLens and twin.config == cfg
            assert (twin.topic_gate, twin.merge_followups) == (lens.topic_gate, lens.merge_followups)


# ------------------------------------------------------------ topic gate

# Complete questions about something else, many with edit or follow-up words
# the rules read as a change of the earlier query.
NEW_TOPICS = [
    "how many home wins did pittsburgh steelers have ?",
    "Show failed payment count by bank",
    "which driver has the most laps in the 1998 season ?",
    "sort the players by their height in descending order",
    "compare the attendance of game 1 and game 2",
    "list the episodes directed by paris barclay after 2011",
    "make a list of all schools founded before 1900 in ohio",
    "what is the average weight of the players from canada ?",
    "group the universities by state and count them by enrollment size",
]


@pytest.mark.parametrize("message", NEW_TOPICS)
def test_gate_keeps_new_topics_fresh(message):
    r = resolve(message, topic_gate=True)
    assert r.context_type == "fresh_question"
    assert r.resolved_question == message and r.base_turn_id is None and r.route == "generate"
    assert r.reason == "Question shares nothing with the earlier turns."
    # the rules alone take most of these as a change of the earlier query
    assert resolve(message, topic_gate=True, merge_followups=True).context_type == "fresh_question"


# Real follow-ups, one group per kind of tie to the earlier turn.
FOLLOW_UPS = {
    "pronoun": ["what is its share of the total ?", "sort them by name", "which of those grew the most ?",
                "how did they do in march ?"],
    "fragment": ["which season ?", "the largest ?", "for europe only", "in 2023", "by country"],
    "continuation": ["what about by country?", "how about the north region ?", "what if it were 12 months",
                     "and the average ?", "count orders instead"],
    "shared words": ["what is the revenue of each store in the west region ?",
                     "which region had the highest revenue growth in the last 6 months ?"],
    "turn reference": ["compare it with turn 1", "use the first result and add tax"],
    "edit": ["get rid of the region split", "remove last 6 months"],
}


@pytest.mark.parametrize("message", [m for group in FOLLOW_UPS.values() for m in group])
def test_gate_keeps_follow_ups(message):
    for modes in ({"topic_gate": True}, {"topic_gate": True, "merge_followups": True}):
        r = resolve(message, **modes)
        assert r.context_type in ("follow_up_latest", "modify_previous_query", "follow_up_specific_turn"), r
        assert r.base_turn_id == 1 and r.use_previous_state


def test_gate_only_acts_where_it_should():
    # A follow-up the rules resolve stays exactly as they resolve it.
    for message in ("make it monthly", "top 5 instead", "only north region"):
        assert resolve(message, topic_gate=True).to_dict() == resolve(message).to_dict()
    # Without cards or with a blank message the rules answer first.
    lens = tl.TurnLens(topic_gate=True, merge_followups=True)
    assert lens.resolve(NEW_TOPICS[0]).reason == "No previous context cards available."
    assert lens.resolve("   ", [card()]).context_type == "clarification_needed"
    assert lens.resolve("what else can we get?", [card()], active_turn_id=1).context_type == "suggestion_request"
    # An artifact reference that names a card is a tie; one that names none is not.
    chart = tl.TurnContextCard(turn_id=1, user_question="Show weekly signups", artifact_type="chart",
                               artifact_id="chart_7")
    r = tl.TurnLens(topic_gate=True).resolve("which country tops chart_7 overall", [chart], active_turn_id=1)
    assert r.context_type != "fresh_question"
    r = tl.TurnLens(topic_gate=True).resolve("which country tops chart_9 overall", [chart], active_turn_id=1)
    assert r.context_type == "fresh_question"
    # A promoted follow-up still needs a clear base: none without the active turn.
    r = tl.TurnLens(topic_gate=True).resolve("which season ?", [card(), card("Top bank by fees", 2)])
    assert r.context_type in ("follow_up_latest", "clarification_needed")


def test_gate_reads_every_recent_card():
    cards = [card("list all stadiums with a capacity over 50000", 1), card("show failed payments by bank", 2)]
    r = tl.TurnLens(topic_gate=True).resolve("which stadium is the oldest one ?", cards, active_turn_id=2)
    assert r.context_type != "fresh_question"
    r = tl.TurnLens(topic_gate=True).resolve("which river is the longest in europe ?", cards, active_turn_id=2)
    assert r.context_type == "fresh_question"


# ------------------------------------------------------------ merged follow-ups

MERGES = [
    # a value replaced
    ("what was the position of the player from montreal canadiens ?", "what if from toronto maple leafs ?",
     "what was the position of the player from toronto maple leafs ?"),
    ("what is the earliest year for alabama with a pick under 26 ?", "how is for usc ?",
     "what is the earliest year for usc with a pick under 26 ?"),
    ("what team did Boston Celtics play on april 23 ?", "how about on february 4",
     "what team did Boston Celtics play on february 4 ?"),
    # a number replaced
    ("top 3 attendance by stadium", "5", "top 5 attendance by stadium"),
    ("which buildings are the top 5", "which are top 3 ?", "which buildings are the top 3"),
    # a comparison replaced
    ("Which stadium has a capacity of more than 4000 ?", "how about less than 2000 ?",
     "Which stadium has a capacity of less than 2000 ?"),
    # an order or superlative replaced
    ("list top 2 home arenas ordered by descending number of capacity", "what about ascending",
     "list top 2 home arenas ordered by ascending number of capacity"),
    ("What is the smallest home wins in the list ?", "What about greatest ?",
     "What is the greatest home wins in the list ?"),
    # a column replaced
    ("what is the height of domen lorbek ?", "how about his position ?", "what is the position of domen lorbek ?"),
    ("Which state has the most score in swimsuit ?", "How about in interview ?",
     "Which state has the most score in interview ?"),
    # a column or condition added
    ("what 's the smallest number of bronze medals ?", "also show silver medals",
     "what 's the smallest number of bronze medals and silver medals ?"),
    ("How many states that have interview less than 9.543 ?", "among them, which have swimsuit over 9.4 ?",
     "How many states that have interview less than 9.543, which have swimsuit over 9.4"),
    # what remove / get rid of names dropped
    ("who was the only player that has the pick number 16 after 1975", "remove after 1975",
     "who was the only player that has the pick number 16"),
    ("show the team nickname and team website for all teams", "get rid of team website",
     "show the team nickname for all teams"),
    ("Is robert c. scott both democratic and incumbent ?", "remove incumbent",
     "Is robert c. scott both democratic ?"),
]


@pytest.mark.parametrize("earlier, message, merged", MERGES)
def test_merge_applies_the_change(earlier, message, merged):
    for modes in ({"merge_followups": True}, {"topic_gate": True, "merge_followups": True}):
        r = resolve(message, earlier, **modes)
        assert r.base_turn_id == 1 and r.resolved_question == merged
        # the search words follow the merged question
        assert set(tl.tokenize(merged)) >= set(r.metadata_search_query.split()) - set(tl.tokenize(message))


def test_merge_keeps_the_rest_of_the_resolution():
    plain = resolve("make it monthly").to_dict()
    merged = resolve("make it monthly", merge_followups=True).to_dict()
    assert merged.pop("resolved_question") == "Show total revenue by region for last 6 months monthly"
    assert merged.pop("metadata_search_query") and plain.pop("resolved_question") and plain.pop("metadata_search_query")
    assert merged == plain
    # suggestions and cards without a question keep the template
    r = resolve("what else can we get?", merge_followups=True)
    assert r.resolved_question.startswith("Suggest related analyses or next useful questions based on: ")
    bare = tl.TurnContextCard(turn_id=1, query_state={"aggregation": {"function": "sum", "column": "revenue"}})
    r = tl.TurnLens(merge_followups=True).resolve("make it monthly", [bare], active_turn_id=1)
    assert r.resolved_question == "Show monthly sum revenue"


def test_replaced_stages_with_modes_on():
    class Own(tl.TurnLens):
        def _compose_resolved_question(self, current_question, base, delta, context_type, candidates=None,
                                       base_candidate=None):
            return "own: " + current_question

    r = Own(merge_followups=True).resolve("what about greatest ?", [card("what is the smallest wins ?")],
                                          active_turn_id=1)
    assert r.resolved_question == "own: what about greatest ?"

    class Detectors(tl.TurnLens):  # replaced detectors still feed the gate
        def _looks_like_complete_question(self, question):
            return True

        def _has_modify_signal(self, question, delta):
            return False

    assert Detectors(topic_gate=True).resolve("sort them by name", [card()], active_turn_id=1).base_turn_id == 1
    assert Detectors(topic_gate=True).resolve(NEW_TOPICS[0], [card()]).context_type == "fresh_question"


# ------------------------------------------------------------ hostile input

LONG = "revenue by region " * 20_000
HOSTILE_TEXTS = ["", " ", "?", "remove", "get rid of", "his", "among them", "also", "\x00\x00", "\ud800 what about \udfff",
                 "İstanbul ΣΑΣ what about ǅ", "1,2,3-4–5 ..//", "'s 's 's", "what about " * 500, LONG,
                 "remove " + LONG, "among them " + LONG, EARLIER]


@pytest.mark.parametrize("message", HOSTILE_TEXTS)
@pytest.mark.parametrize("earlier", [EARLIER, "", "?", "\ud800", LONG, "top 5 top 5 " * 300, "the the the"])
def test_hostile_texts(message, earlier):
    for modes in ({"topic_gate": True}, {"merge_followups": True}, {"topic_gate": True, "merge_followups": True}):
        r = resolve(message, earlier, **modes)
        assert isinstance(r.resolved_question, str)
        r = tl.resolve_context(message, [{"turn_id": 1, "resolved_question": earlier}], active_turn_id=1, **modes)
        assert isinstance(r.resolved_question, str)


PIECES = ["what", "about", "how", "remove", "get rid of", "also", "among them", "his", "it", "the", "top", "5",
          "1,769", "0-10", "less", "than", "more", "by", "of", "for", "?", ",", "'s", "ascending", "largest", "and",
          "show", "which", "İ", "Σ", "\ud800", "\x00", " "]
texts = st.lists(st.sampled_from(PIECES), max_size=14).map(" ".join) | st.text(max_size=30)


@given(texts, texts, st.sampled_from([None, 1]))
def test_any_texts_resolve(message, earlier, active):
    for modes in ({"topic_gate": True}, {"merge_followups": True}, {"topic_gate": True, "merge_followups": True}):
        r = resolve(message, earlier, active, **modes)
        assert isinstance(r.resolved_question, str) and isinstance(r.metadata_search_query, str)
        if r.context_type == "fresh_question":
            assert r.resolved_question == message.strip()


class Odd(str):
    def strip(self, *a):
        return self

    def lower(self):
        raise RuntimeError("not here")


@pytest.mark.parametrize("value", [None, 5, ["a", "list"], {"k": "v"}, Odd("what about x"), 1.5, b"bytes"])
def test_odd_card_values(value):
    lens = tl.TurnLens(topic_gate=True, merge_followups=True)
    for field in ("user_question", "resolved_question", "artifact_id", "topic_keywords"):
        c = tl.TurnContextCard(turn_id=1, **{field: value})
        try:
            r = lens.resolve("what about the north ?", [c], active_turn_id=1)
        except TypeError:
            continue  # the rules' own errors for such fields
        assert isinstance(r.resolved_question, str)


def test_odd_messages_and_stages():
    lens = tl.TurnLens(topic_gate=True, merge_followups=True)
    assert lens.resolve(Odd("what about the north ?"), [card()], active_turn_id=1).base_turn_id == 1

    class Weird(tl.TurnLens):
        def _detect_artifact_reference(self, question):
            return 42  # not a text

        def _recent_cards(self, cards):
            return tuple(cards)

    class Broken(tl.TurnLens):
        def _recent_cards(self, cards):
            return [object()]

    # the modes add no error of their own: a lens fails or answers as without them
    def run(lens_type, **modes):
        try:
            return lens_type(**modes).resolve(NEW_TOPICS[0], [card()]).context_type
        except Exception as exc:
            return type(exc)

    for lens_type in (Weird, Broken):
        want = run(lens_type)
        for modes in ({"topic_gate": True}, {"merge_followups": True}):
            got = run(lens_type, **modes)
            assert got == want or (isinstance(want, str) and got == "fresh_question"), (lens_type, modes, got)


def test_modes_do_not_leak():
    from harness import CALLS, assert_flat

    texts = [m for group in FOLLOW_UPS.values() for m in group] + NEW_TOPICS + HOSTILE_TEXTS[:14]
    earlier = [e for e, _, _ in MERGES] + ["", "\ud800 what about"]
    lenses = [tl.TurnLens(topic_gate=True), tl.TurnLens(merge_followups=True),
              tl.TurnLens(topic_gate=True, merge_followups=True)]

    def round_trip(i):
        cards = [card(earlier[i % len(earlier)]), {"turn_id": 2, "resolved_question": earlier[(i + 3) % len(earlier)]}]
        r = lenses[i % 3].resolve(texts[i % len(texts)], cards, active_turn_id=1 + i % 2)
        r.to_dict()

    assert_flat(round_trip, calls=min(CALLS, 20_000))


# ------------------------------------------------------------ the protocol on real triples

def load_protocol():
    spec = importlib.util.spec_from_file_location("followup_eval", HERE.parent / "bench" / "followup_eval.py")
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    return mod


@pytest.mark.skipif(not (DATA / "train.tsv").exists(), reason="follow-up data set not present")
def test_follow_up_protocol_targets():
    protocol = load_protocol()
    triples = protocol.load(str(DATA))
    assert len(triples) >= 100
    rules = protocol.evaluate(tl.TurnLens(), triples)
    if len(triples) == 800:  # today's figures of the rules: 74.9%, 77.8%, 0.492
        assert (round(rules[0] * 800), round(rules[1] * 800), round(rules[2], 3)) == (599, 622, 0.492)
    for split in ("even", "odd", "all"):
        recognised, unrelated, _ = protocol.evaluate(tl.TurnLens(topic_gate=True), triples, split)
        assert recognised >= 0.85 and unrelated <= 0.10, (split, recognised, unrelated)
        _, _, f1 = protocol.evaluate(tl.TurnLens(merge_followups=True), triples, split)
        assert f1 >= 0.82, (split, f1)
        recognised, unrelated, f1 = protocol.evaluate(tl.TurnLens(topic_gate=True, merge_followups=True), triples,
                                                      split)
        assert recognised >= 0.85 and unrelated <= 0.10 and f1 >= 0.82, (split, recognised, unrelated, f1)
