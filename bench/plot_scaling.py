"""Time per question against catalog size, as a picture: docs/scaling.png.

    PYTHONPATH=python python bench/plot_scaling.py                  # default sizes, writes docs/scaling.png
    PYTHONPATH=python python bench/plot_scaling.py --sizes 10,100,1000 --out /tmp/s.png

Series (strategy "lexical", catalogs from catalog_gen with 20 columns per table,
normalized to records once, so only selection is timed):

- per-call selection: ``SchemaSift.select`` builds its index inside every call;
- index: ``schemasift.CatalogIndex(catalog).select(question)``, the index built once
  per catalog outside the timing (plotted only when the build has ``CatalogIndex``);
- plain Python: the plain-Python rendering of the same rules used by the tests
  (tests/pyref), timed up to the size where one call exceeds ``--python-limit`` seconds.

Each point is the median over the questions of the median of repeated calls.
Needs matplotlib (``pip install "askweave[bench]"``).
"""
import argparse
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import catalog_gen  # noqa: E402

from askweave import schemasift as native  # noqa: E402

DEFAULT_OUT = os.path.join(HERE, "..", "docs", "scaling.png")


def per_question(call, questions, min_time):
    """Median over the questions of the median time of one call."""
    medians = []
    for q in questions:
        call(q)
        runs = []
        start = time.perf_counter()
        while len(runs) < 3 or (time.perf_counter() - start < min_time and len(runs) < 200):
            t0 = time.perf_counter()
            call(q)
            runs.append(time.perf_counter() - t0)
        medians.append(statistics.median(runs))
    return statistics.median(medians)


def measure(sizes, n_questions, min_time, python_limit):
    from pyref import schemasift as python

    series = {"per-call selection": [], "index": [], "plain Python": []}
    python_on = True
    for n in sizes:
        loose = catalog_gen.make_catalog(n, 20, seed=1)
        questions = catalog_gen.make_questions(loose, n_questions, seed=2)
        record = native.CatalogNormalizer.normalize(loose)
        sifter = native.SchemaSift(native.SelectorConfig(strategy="lexical"))
        t = per_question(lambda q: sifter.select(q, record), questions, min_time)
        series["per-call selection"].append((n, t))
        print(f"{n:>7} tables  per-call selection  {t * 1e3:10.3f} ms", flush=True)

        # ---- index series: added by the lead with schemasift.CatalogIndex ----
        if hasattr(native, "CatalogIndex"):
            index = native.CatalogIndex(record)  # built once per catalog; not part of the per-question time
            t = per_question(lambda q: index.select(q), questions, min_time)
            series["index"].append((n, t))
            print(f"{n:>7} tables  index               {t * 1e3:10.3f} ms", flush=True)
        # ----------------------------------------------------------------------

        if python_on:
            py_record = python.CatalogNormalizer.normalize(loose)
            py_sifter = python.SchemaSift(python.SelectorConfig(strategy="lexical"))
            t = per_question(lambda q: py_sifter.select(q, py_record), questions[:2], min_time=0)
            series["plain Python"].append((n, t))
            print(f"{n:>7} tables  plain Python        {t * 1e3:10.3f} ms", flush=True)
            python_on = t < python_limit
    return {name: points for name, points in series.items() if points}


def plot(series, out, sizes):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    styles = {"per-call selection": ("tab:blue", "o"), "index": ("tab:green", "s"),
              "plain Python": ("tab:gray", "^")}
    fig, ax = plt.subplots(figsize=(7.5, 4.6), dpi=120)
    for name, points in series.items():
        color, marker = styles[name]
        xs, ys = zip(*points)
        ax.plot(xs, [y * 1e3 for y in ys], marker=marker, color=color, label=name, linewidth=1.8)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("catalog size (tables, 20 columns each)")
    ax.set_ylabel("time per question (ms)")
    ax.set_title("Schema selection: time per question by catalog size (lexical)")
    ax.grid(True, which="major", linestyle=":", linewidth=0.7)
    ax.set_xticks(sizes)
    ax.set_xticklabels([f"{s:,}" for s in sizes])
    ax.legend()
    fig.tight_layout()
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    fig.savefig(out)
    print(f"wrote {os.path.relpath(out)}")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", default="10,30,100,300,1000,3000,10000", help="table counts, comma-separated")
    ap.add_argument("--questions", type=int, default=4, help="questions per catalog (default 4)")
    ap.add_argument("--min-time", type=float, default=0.3, help="seconds of repeated calls per question")
    ap.add_argument("--python-limit", type=float, default=5.0,
                    help="stop timing the plain-Python rendering after a call this slow (seconds)")
    ap.add_argument("--out", default=DEFAULT_OUT)
    args = ap.parse_args(argv)
    sizes = [int(s) for s in args.sizes.split(",")]
    plot(measure(sizes, args.questions, args.min_time, args.python_limit), args.out, sizes)


if __name__ == "__main__":
    main()
