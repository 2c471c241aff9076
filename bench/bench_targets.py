"""The per-call figures of both modules as one table, the plain-Python rendering
of the same rules beside each native figure.

    python bench/bench_targets.py [--min-time 1.0]

Medians of repeated calls in one process; the targets are those of a quiet
2-core machine.
"""
import argparse
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import bench_turnlens  # noqa: E402
import catalog_gen  # noqa: E402
from pyref import schemasift as py_sift  # noqa: E402
from pyref import turnlens as py_lens  # noqa: E402

from askweave import schemasift, turnlens  # noqa: E402
from askweave.demos.schemasift import demo_catalog  # noqa: E402

SPIDER_QUESTION = "How many singers do we have?"
DEMO_QUESTION = "Show total revenue by region for last 6 months"


def median_time(fn, min_time, batch=1):
    fn()
    runs = []
    start = time.perf_counter()
    while time.perf_counter() - start < min_time or len(runs) < 5:
        t0 = time.perf_counter()
        for _ in range(batch):
            fn()
        runs.append((time.perf_counter() - t0) / batch)
    return statistics.median(runs)


def fmt(seconds):
    if seconds is None:
        return ""
    return f"{seconds * 1e6:.1f} us" if seconds < 1e-3 else f"{seconds * 1e3:.2f} ms"


def rows(min_time):
    union = catalog_gen.load_spider_merged()
    lexical = dict(strategy="lexical")
    yield ("select_metadata, merged Spider catalog (loose dict, lexical)",
           lambda: schemasift.select_metadata(SPIDER_QUESTION, union, **lexical),
           lambda: py_sift.select_metadata(SPIDER_QUESTION, union, **lexical), 3.5e-3, 1)

    records = schemasift.CatalogNormalizer.normalize(union)
    py_records = py_sift.CatalogNormalizer.normalize(union)
    sifter = schemasift.SchemaSift(schemasift.SelectorConfig(strategy="lexical"))
    py_sifter = py_sift.SchemaSift(py_sift.SelectorConfig(strategy="lexical"))
    yield ("select, merged Spider catalog (records, lexical)",
           lambda: sifter.select(SPIDER_QUESTION, records),
           lambda: py_sifter.select(SPIDER_QUESTION, py_records), 2e-3, 1)

    demo = demo_catalog()
    demo_kw = dict(strategy="lexical", top_k_tables=2, max_columns_per_table=10)
    yield ("select_metadata, demonstration catalog (loose dict)",
           lambda: schemasift.select_metadata(DEMO_QUESTION, demo, **demo_kw),
           lambda: py_sift.select_metadata(DEMO_QUESTION, demo, **demo_kw), 15e-6, 50)

    cards = bench_turnlens.make_cards(turnlens, 10)
    py_cards = bench_turnlens.make_cards(py_lens, 10)
    lens, plain_lens = turnlens.TurnLens(), py_lens.TurnLens()
    messages = bench_turnlens.MESSAGES

    def each(resolver, card_list):
        return lambda: [resolver.resolve(m, card_list, active_turn_id=10) for m in messages]

    per = len(messages)
    yield ("TurnLens().resolve, 10 realistic cards (per message)",
           each(lens, cards), each(plain_lens, py_cards), 20e-6 * per, 20, per)

    wide = catalog_gen.make_catalog(10_000, 20, seed=1)
    wide_records = schemasift.CatalogNormalizer.normalize(wide)
    yield ("select, 10,000 tables of 20 columns (records, lexical)",
           lambda: sifter.select(DEMO_QUESTION, wide_records), None, 150e-3, 1)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--min-time", type=float, default=1.0)
    args = ap.parse_args()
    print(f"{'call':62} {'plain Python':>13} {'askweave':>11} {'ratio':>7} {'target':>10}")
    for label, native_fn, python_fn, target, batch, *per in rows(args.min_time):
        n = per[0] if per else 1
        t_native = median_time(native_fn, args.min_time, batch) / n
        t_python = median_time(python_fn, args.min_time / 2) / n if python_fn else None
        ratio = f"{t_python / t_native:6.1f}x" if t_python else ""
        print(f"{label:62} {fmt(t_python):>13} {fmt(t_native):>11} {ratio:>7} {'< ' + fmt(target / n):>10}")


if __name__ == "__main__":
    main()
