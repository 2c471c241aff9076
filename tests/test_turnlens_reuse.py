"""The same cards resolved again after changes made in place between calls:
every change shows in the next result exactly as in the plain-Python
rendering (nothing remembered from an earlier call may stand in for it)."""
import pathlib
import sys

import pytest

import askweave.turnlens as tl

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "bench"))
from bench_turnlens import MESSAGES, make_cards  # noqa: E402
from harness import plain  # noqa: E402
from pyref import turnlens as ref  # noqa: E402


class Shown:
    """A stored value whose text is its own."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


def rewrite(card, field, value):
    setattr(card, field, value)


# Each change is applied to the newest card (the one most messages build on)
# and to an older one.
CHANGES = {
    "nested list grows": lambda c: c.query_state["active_columns"].append("discount"),
    "nested list item replaced": lambda c: c.query_state["metrics"].__setitem__(0, "margin"),
    "nested map value replaced": lambda c: c.query_state["filters"][0].__setitem__("operation", "last_year"),
    "state key removed": lambda c: c.query_state.pop("dimensions"),
    "state key re-added last": lambda c: c.query_state.__setitem__("group_by", c.query_state.pop("group_by")),
    "state cleared": lambda c: c.query_state.clear(),
    "state replaced by equal copy": lambda c: rewrite(c, "query_state", dict(c.query_state)),
    "question text replaced": lambda c: rewrite(c, "resolved_question", "Show churn by plan for this week"),
    "question emptied": lambda c: rewrite(c, "resolved_question", ""),
    "text field holds a number": lambda c: rewrite(c, "artifact_label", 12.5),
    "keyword replaced": lambda c: c.topic_keywords.__setitem__(0, "inventory"),
    "entity added": lambda c: c.entities.append("warehouse"),
    "metadata ids cleared": lambda c: c.selected_metadata_ids.clear(),
    "true and one": lambda c: c.query_state.__setitem__("limit", True),
    "one and true": lambda c: c.query_state.__setitem__("limit", 1),
    "negative zero": lambda c: c.query_state.__setitem__("limit", -0.0),
    "tuple in state": lambda c: c.query_state.__setitem__("sort", ("amount", "desc")),
    "value with its own text": lambda c: c.query_state.__setitem__("sort", Shown("amount desc")),
    "own text changes": lambda c: c.query_state.__setitem__("sort", Shown("region asc")),
    "retrieval state set": lambda c: rewrite(c, "retrieval_state", {"topics": ["refunds", "chargebacks"]}),
    "deep nesting": lambda c: c.query_state.__setitem__("sort", [[[[[[[[[[[[[[[[[[[[[[[[[["x"]]]]]]]]]]]]]]]]]]]]]]]]]]),
    "long state": lambda c: c.query_state.__setitem__("topics", [f"t{i}" for i in range(3000)]),
}


def results(lens, cards):
    out = []
    for m in MESSAGES:
        try:
            out.append(plain(lens.resolve(m, cards, active_turn_id=len(cards)).to_dict()))
        except Exception as e:  # noqa: BLE001 - compared as the outcome
            out.append((type(e).__name__, str(e)))
    return out


@pytest.mark.parametrize("which", [-1, 2])
def test_changes_in_place_show_in_the_next_call(which):
    ours, theirs = make_cards(tl, 8), make_cards(ref, 8)
    our_lens, their_lens = tl.TurnLens(), ref.TurnLens()
    assert results(our_lens, ours) == results(their_lens, theirs)
    for name, change in CHANGES.items():
        change(ours[which])
        change(theirs[which])
        assert results(our_lens, ours) == results(their_lens, theirs), name
        # the same again: nothing changed since the previous call
        assert results(our_lens, ours) == results(their_lens, theirs), name
