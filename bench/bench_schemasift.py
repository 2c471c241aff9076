"""Benchmark of schema selection.

    python bench/bench_schemasift.py            # native only
    python bench/bench_schemasift.py --python   # also the plain-Python rendering of the same rules

Times `select` on records (catalog normalized once beforehand) and on loose
catalogs, for strategy "lexical" and the default "hybrid" (TF-IDF when
scikit-learn is installed), reports how much of a hybrid call is spent
inside scikit-learn's own calls, and how calls scale over two threads
(--threads-only for that table alone), and the calls with per-call targets
beside their plain-Python medians (--targets-only for that table alone).
"""
import argparse
import functools
import os
import statistics
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import catalog_gen  # noqa: E402

from askweave import schemasift as native  # noqa: E402

QUESTIONS = [
    "Show total revenue by region for last 6 months",
    "How many singers do we have?",
    "top 5 customers by order amount this year",
    "monthly trend of active users per country",
]


def timeit(fn, min_time=0.5, max_runs=10_000):
    fn()
    runs = []
    start = time.perf_counter()
    while len(runs) < max_runs and (time.perf_counter() - start < min_time or len(runs) < 3):
        t0 = time.perf_counter()
        fn()
        runs.append(time.perf_counter() - t0)
    return statistics.median(runs)


def fmt(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:8.1f} us"
    if seconds < 1:
        return f"{seconds * 1e3:8.2f} ms"
    return f"{seconds:8.2f} s "


class SklearnClock:
    """Adds up the time spent inside scikit-learn's vectorizer and similarity calls."""

    def __init__(self):
        self.spent = 0.0
        self.saved = []

    def __enter__(self):
        from sklearn.feature_extraction import text
        from sklearn.metrics import pairwise

        def wrap(owner, name):
            original = getattr(owner, name)

            @functools.wraps(original)  # scikit-learn reads __init__'s signature
            def timed(*args, **kwargs):
                t0 = time.perf_counter()
                try:
                    return original(*args, **kwargs)
                finally:
                    self.spent += time.perf_counter() - t0

            self.saved.append((owner, name, original))
            setattr(owner, name, timed)

        wrap(text.TfidfVectorizer, "__init__")
        wrap(text.TfidfVectorizer, "fit_transform")
        wrap(text.TfidfVectorizer, "transform")
        wrap(pairwise, "cosine_similarity")
        return self

    def __exit__(self, *exc):
        for owner, name, original in reversed(self.saved):
            setattr(owner, name, original)


def throughput(fn, calls, threads):
    """Seconds for `calls` calls of fn shared out among `threads` threads."""
    barrier = threading.Barrier(threads + 1)

    def work(n):
        barrier.wait()
        for _ in range(n):
            fn()

    pool = [threading.Thread(target=work, args=(calls // threads,)) for _ in range(threads)]
    for t in pool:
        t.start()
    barrier.wait()
    t0 = time.perf_counter()
    for t in pool:
        t.join()
    return time.perf_counter() - t0


def thread_scaling(catalogs):
    """Selection releases the interpreter lock while scoring and hashing large catalogs,
    so one SchemaSift shared by two threads does more calls per second than one thread."""
    print(f"\none SchemaSift shared by threads (lexical, records), {os.cpu_count()} cores:")
    print(f"{'catalog':28} {'1 thread':>12} {'2 threads':>12} {'speed-up':>9}")
    for label, loose in catalogs:
        record = native.CatalogNormalizer.normalize(loose)
        sifter = native.SchemaSift(native.SelectorConfig(strategy="lexical"))
        q = QUESTIONS[1] if "spider" in label else QUESTIONS[0]
        per_call = timeit(lambda: sifter.select(q, record), min_time=0.3)
        calls = max(2, int(2.0 / per_call)) // 2 * 2
        one = min(throughput(lambda: sifter.select(q, record), calls, 1) for _ in range(3))
        two = min(throughput(lambda: sifter.select(q, record), calls, 2) for _ in range(3))
        print(f"{label:28} {fmt(one / calls):>12} {fmt(two / calls):>12} {one / two:8.2f}x")


def target_calls(python):
    """The four calls with per-call targets: (label, native call, plain-Python call or None, target seconds)."""
    from askweave.demos.schemasift import demo_catalog

    union = catalog_gen.load_spider_merged()
    big = catalog_gen.make_catalog(10000, 20, seed=1)
    demo = demo_catalog()
    q_spider, q_sales = QUESTIONS[1], QUESTIONS[0]
    rows = []

    def both(make):
        return make(native), (make(python) if python is not None else None)

    rows.append(("select_metadata, spider merged (loose)",
                 *both(lambda m: lambda: m.select_metadata(q_spider, union, strategy="lexical")), 3.5e-3))

    def on_records(cat, q):
        def make(m):
            sifter = m.SchemaSift(m.SelectorConfig(strategy="lexical"))
            record = m.CatalogNormalizer.normalize(cat)
            return lambda: sifter.select(q, record)
        return make

    rows.append(("select, spider merged (records)", *both(on_records(union, q_spider)), 2e-3))
    rows.append(("select_metadata, demonstration catalog",
                 *both(lambda m: lambda: m.select_metadata(q_sales, demo, strategy="lexical", top_k_tables=2,
                                                           max_columns_per_table=10)), 15e-6))
    rows.append(("select, 10,000 x 20 (records)", *both(on_records(big, q_sales)), 150e-3))
    return rows


def target_table(python):
    print(f"{'call (lexical)':40} {'python':>12} {'native':>12} {'ratio':>8} {'target':>12}")
    for label, fn, py_fn, target in target_calls(python):
        t_native = timeit(fn, min_time=2.0)
        t_py = timeit(py_fn, min_time=2.0, max_runs=30) if py_fn is not None else None
        ratio = f"{t_py / t_native:7.1f}x" if t_py else ""
        print(f"{label:40} {fmt(t_py) if t_py else '':>12} {fmt(t_native):>12} {ratio:>8} {'< ' + fmt(target).strip():>12}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--python", action="store_true", help="also time the plain-Python rendering")
    ap.add_argument("--sizes", default="10,1000,10000")
    ap.add_argument("--threads-only", action="store_true", help="only the thread scaling table")
    ap.add_argument("--targets-only", action="store_true", help="only the table of calls with per-call targets")
    args = ap.parse_args()
    python = None
    if args.python:
        from pyref import schemasift as python

    try:
        import sklearn  # noqa: F401
        have_sklearn = True
    except ImportError:
        have_sklearn = False

    catalogs = [(f"synthetic {n} x 20", catalog_gen.make_catalog(n, 20, seed=1)) for n in map(int, args.sizes.split(","))]
    try:
        catalogs.append(("spider merged 876 / 4503", catalog_gen.load_spider_merged()))
    except FileNotFoundError:
        pass

    if args.threads_only:
        thread_scaling(catalogs)
        return
    if args.targets_only:
        target_table(python)
        return
    print(f"scikit-learn installed: {have_sklearn}")
    print(f"{'catalog':28} {'strategy':8} {'native rec':>12} {'native loose':>12} {'python rec':>12} {'speed-up':>9}")
    for label, loose in catalogs:
        record = native.CatalogNormalizer.normalize(loose)
        strategies = ["lexical"] + (["hybrid"] if have_sklearn and "10000" not in label else [])
        for strategy in strategies:
            sifter = native.SchemaSift(native.SelectorConfig(strategy=strategy))
            q = QUESTIONS[1] if "spider" in label else QUESTIONS[0]
            t_rec = timeit(lambda: sifter.select(q, record), min_time=1.0)
            t_loose = timeit(lambda: sifter.select(q, loose), min_time=1.0)
            t_py = None
            if python is not None and ("10000" not in label or strategy == "lexical"):
                py_record = python.CatalogNormalizer.normalize(loose)
                py_sifter = python.SchemaSift(python.SelectorConfig(strategy=strategy))
                t_py = timeit(lambda: py_sifter.select(q, py_record), min_time=1.0, max_runs=20)
            speed = f"{t_py / t_rec:8.1f}x" if t_py else ""
            print(f"{label:28} {strategy:8} {fmt(t_rec):>12} {fmt(t_loose):>12} {fmt(t_py) if t_py else '':>12} {speed:>9}")
            if strategy == "hybrid":
                with SklearnClock() as clock:
                    runs = 5
                    t0 = time.perf_counter()
                    for _ in range(runs):
                        sifter.select(q, record)
                    total = (time.perf_counter() - t0) / runs
                outside = total - clock.spent / runs
                print(f"{'':28} {'':8} hybrid total {fmt(total)}, outside scikit-learn {fmt(outside)} "
                      f"({100 * outside / total:.1f}%)")

    demo = __import__("askweave.demos.schemasift", fromlist=["demo_catalog"]).demo_catalog()
    q = QUESTIONS[0]
    t_native = timeit(lambda: native.select_metadata(q, demo, strategy="lexical", top_k_tables=2,
                                                     max_columns_per_table=10), min_time=1.0)
    line = f"demonstration catalog, whole select_metadata call (lexical): native {fmt(t_native)}"
    if python is not None:
        t_py = timeit(lambda: python.select_metadata(q, demo, strategy="lexical", top_k_tables=2,
                                                     max_columns_per_table=10), min_time=1.0)
        line += f", python {fmt(t_py)} ({t_py / t_native:.1f}x)"
    print(line)
    print()
    target_table(python)
    thread_scaling(catalogs)


if __name__ == "__main__":
    main()
