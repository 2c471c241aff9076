"""Follow-up resolution on real follow-up triples.

    python bench/followup_eval.py [--data DIR] [--split all|even|odd]

Reads <DIR>/train.tsv (tab-separated: earlier question, follow-up message, gold
self-contained question, table id; default ../shared/data/followup beside the
repository). For each triple i the lens sees one card made from the earlier
question and resolves the message with active_turn_id=1:

- recognised: the follow-up's context_type is not "fresh_question";
- unrelated: the earlier question of triple (i + 97) % n, sent as the message
  with triple i's card, is counted when its context_type is not
  "fresh_question" (a new topic taken as a follow-up);
- token F1: lower-case [\\w']+ tokens of resolved_question against the gold
  question, as multisets.

--split even/odd keeps every other triple (the unrelated partner is still
drawn from the whole file), to tune on one half and check on the other.
"""
import argparse
import collections
import os
import re
import sys

from askweave.turnlens import TurnContextCard, TurnLens

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_DATA = os.path.normpath(os.path.join(HERE, "..", "..", "shared", "data", "followup"))
WORD = re.compile(r"[\w']+")
PARTNER_OFFSET = 97


def load(data_dir):
    path = os.path.join(data_dir, "train.tsv")
    triples = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if len(fields) >= 3:
                triples.append((fields[0], fields[1], fields[2]))
    return triples


def token_f1(predicted, gold):
    p = collections.Counter(WORD.findall(predicted.lower()))
    g = collections.Counter(WORD.findall(gold.lower()))
    common = sum((p & g).values())
    if not common:
        return 0.0
    precision, recall = common / sum(p.values()), common / sum(g.values())
    return 2 * precision * recall / (precision + recall)


def card(earlier):
    return TurnContextCard(turn_id=1, user_question=earlier, resolved_question=earlier,
                           task_type="text_to_sql", artifact_type="sql")


def indices(n, split):
    if split == "even":
        return range(0, n, 2)
    if split == "odd":
        return range(1, n, 2)
    return range(n)


def evaluate(lens, triples, split="all"):
    """(recognised share, unrelated-taken-as-follow-up share, mean token F1)."""
    n = len(triples)
    recognised = unrelated = 0
    f1 = 0.0
    rows = indices(n, split)
    for i in rows:
        earlier, message, gold = triples[i]
        r = lens.resolve(message, [card(earlier)], active_turn_id=1)
        recognised += r.context_type != "fresh_question"
        f1 += token_f1(r.resolved_question, gold)
        other = triples[(i + PARTNER_OFFSET) % n][0]
        u = lens.resolve(other, [card(earlier)], active_turn_id=1)
        unrelated += u.context_type != "fresh_question"
    count = len(rows)
    return recognised / count, unrelated / count, f1 / count


def baseline_f1(triples, compose, split="all"):
    rows = indices(len(triples), split)
    return sum(token_f1(compose(e, m), g) for e, m, g in (triples[i] for i in rows)) / len(rows)


METHODS = [
    ("the rules (defaults)", {}),
    ("topic_gate=True", {"topic_gate": True}),
    ("merge_followups=True", {"merge_followups": True}),
    ("topic_gate=True, merge_followups=True", {"topic_gate": True, "merge_followups": True}),
]


def table(triples, split="all"):
    """The rows of the follow-up table: (method, recognised, unrelated, F1); None where it does not apply."""
    rows = []
    for name, modes in METHODS[:1]:
        rows.append((name, *evaluate(TurnLens(**modes), triples, split)))
    rows.append(("the message as is", None, None, baseline_f1(triples, lambda e, m: m, split)))
    rows.append(("earlier question + message", None, None, baseline_f1(triples, lambda e, m: e + " " + m, split)))
    for name, modes in METHODS[1:]:
        rows.append((name, *evaluate(TurnLens(**modes), triples, split)))
    return rows


def render(rows, title):
    def pct(x):
        return "" if x is None else f"{100 * x:.1f}%"

    out = [title, "",
           "| Method | follow-ups recognised | unrelated taken as follow-ups | token F1 |",
           "|---|---|---|---|"]
    for name, rec, unrel, f1 in rows:
        out.append(f"| {name} | {pct(rec)} | {pct(unrel)} | {f1:.3f} |")
    return "\n".join(out)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--data", default=DEFAULT_DATA, help="directory holding train.tsv")
    ap.add_argument("--split", choices=["all", "even", "odd"], default="all")
    args = ap.parse_args(argv)
    triples = load(args.data)
    if not triples:
        sys.exit(f"no triples in {args.data}")
    count = len(indices(len(triples), args.split))
    print(render(table(triples, args.split), f"Follow-ups ({args.split}: {count} of {len(triples)} triples)"))


if __name__ == "__main__":
    main()
