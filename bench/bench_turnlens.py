"""Benchmark of context resolution.

    python bench/bench_turnlens.py                 # native beside the plain-Python rendering
    python bench/bench_turnlens.py --native-only   # native only

Medians of per-call times over a mix of follow-up messages against realistic
cards; compare runs on a quiet machine (or by instruction counts).
"""
import argparse
import os
import random
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from askweave import turnlens as native  # noqa: E402

TOPICS = [
    ("revenue", "region", "sales_orders", "order_date"),
    ("order count", "channel", "sales_orders", "order_date"),
    ("failed payments", "bank", "payments", "paid_at"),
    ("active users", "country", "sessions", "started_at"),
    ("refund amount", "product", "refunds", "refunded_at"),
    ("average basket", "segment", "baskets", "created_at"),
]
MESSAGES = [
    "make it monthly",
    "now break it down by country instead",
    "only north region",
    "show top 5",
    "compare with last year",
    "what about the second chart?",
    "use 30 days instead of 6 months",
    "what else can we get?",
]


def make_cards(module, n, seed=0):
    rng = random.Random(seed)
    cards = []
    for turn in range(1, n + 1):
        metric, dim, table, date = TOPICS[rng.randrange(len(TOPICS))]
        q = f"Show total {metric} by {dim} for last {rng.choice([3, 6, 12])} months"
        cards.append(module.TurnContextCard(
            turn_id=turn,
            user_question=q,
            resolved_question=q,
            assistant_answer_summary=f"Generated SQL for {metric} grouped by {dim}.",
            task_type="text_to_sql",
            artifact_type=rng.choice(["sql", "chart", "table"]),
            artifact_id=f"a{turn}",
            topic_keywords=[metric, dim, table],
            entities=[table, metric.split()[-1], dim, date],
            selected_metadata_ids=[f"table:{table}", f"column:{table}.{dim}", f"column:{table}.{date}"],
            query_state={
                "active_tables": [table],
                "active_columns": [metric.split()[-1], dim, date],
                "metrics": [metric.split()[-1]],
                "dimensions": [dim],
                "group_by": [dim],
                "filters": [{"column": date, "operation": "last_6_months"}],
                "aggregation": {"function": "sum", "column": metric.split()[-1]},
            },
            created_at_ms=1_700_000_000_000 + turn,
        ))
    return cards


def sample(fn, min_time):
    """Per-call times of fn (seconds), one sample per batch of 20 calls."""
    fn()
    runs = []
    start = time.perf_counter()
    while time.perf_counter() - start < min_time or len(runs) < 15:
        t0 = time.perf_counter()
        for _ in range(20):
            fn()
        runs.append((time.perf_counter() - t0) / 20)
    return runs


def mixed(resolve, min_time):
    """Median time of one call over the message mix: each sample is a batch of
    every message, divided by their number."""
    def one_of_each():
        for m in MESSAGES:
            resolve(m)
    return statistics.median(sample(one_of_each, min_time)) / len(MESSAGES)


# (label, card count, entry point, target)
ROWS = [
    ("TurnLens().resolve(message, cards)", 10, "resolve", "< 20 us (28x)"),
    ("TurnLens().resolve(message, cards)", 100, "resolve", ""),
    ("resolve_context(message, cards)", 10, "resolve_context", ""),
]


def caller(module, entry, n_cards):
    cards = make_cards(module, n_cards)
    if entry == "resolve":
        lens = module.TurnLens()
        return lambda m: lens.resolve(m, cards, active_turn_id=n_cards)
    return lambda m: module.resolve_context(m, cards, active_turn_id=n_cards)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--native-only", action="store_true", help="skip the plain-Python rendering")
    ap.add_argument("--min-time", type=float, default=2.0, help="seconds of sampling per native row")
    args = ap.parse_args()
    python = None
    if not args.native_only:
        from pyref import turnlens as python
    header = f"{'call':40} {'cards':>5} {'python us':>10} {'native us':>10} {'ratio':>7}  target"
    print(header)
    print("-" * len(header))
    for label, n_cards, entry, target in ROWS:
        t_native = mixed(caller(native, entry, n_cards), args.min_time)
        py_text, ratio = "-", "-"
        if python is not None:
            t_py = mixed(caller(python, entry, n_cards), args.min_time / 2)
            py_text, ratio = f"{t_py * 1e6:10.1f}", f"{t_py / t_native:6.1f}x"
        print(f"{label:40} {n_cards:5} {py_text:>10} {t_native * 1e6:10.1f} {ratio:>7}  {target}")


if __name__ == "__main__":
    main()
