"""Benchmark of context resolution.

    python bench/bench_turnlens.py            # native only
    python bench/bench_turnlens.py --python   # also the plain-Python rendering of the same rules
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


def timeit(fn, min_time=1.0):
    fn()
    runs = []
    start = time.perf_counter()
    while time.perf_counter() - start < min_time or len(runs) < 5:
        t0 = time.perf_counter()
        for _ in range(20):
            fn()
        runs.append((time.perf_counter() - t0) / 20)
    return statistics.median(runs)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--python", action="store_true")
    args = ap.parse_args()
    python = None
    if args.python:
        from pyref import turnlens as python
    for n_cards in (10, 100):
        cards = make_cards(native, n_cards)
        lens = native.TurnLens()
        t_native = statistics.mean(
            timeit(lambda m=m: lens.resolve(m, cards, active_turn_id=n_cards)) for m in MESSAGES)
        line = f"resolve with {n_cards:3} cards (kept: {min(n_cards, 10)}): native {t_native * 1e6:7.1f} us"
        if python is not None:
            py_cards = make_cards(python, n_cards)
            py_lens = python.TurnLens()
            t_py = statistics.mean(
                timeit(lambda m=m: py_lens.resolve(m, py_cards, active_turn_id=n_cards), 0.3) for m in MESSAGES)
            line += f", python {t_py * 1e6:7.1f} us ({t_py / t_native:.1f}x)"
        print(line)


if __name__ == "__main__":
    main()
