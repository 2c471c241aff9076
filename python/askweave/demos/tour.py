"""A narrated first run: ``python -m askweave.demos.tour`` (or ``askweave tour``).

Reflects the bundled shop database (``shop.db``, built by ``make_shop.py``),
then runs a four-message conversation through the host loop (resolve the
message, select the catalog slice, store a card) and prints one line per
turn. Importing this module prints nothing.
"""
from __future__ import annotations

import os
import shutil
import tempfile

from askweave import schemasift

HERE = os.path.dirname(os.path.abspath(__file__))
SHOP_DB = os.path.join(HERE, "shop.db")
MESSAGES = [
    "Show total revenue by region for last 6 months",
    "make it monthly",
    "make it segment based",
    "Which banks had the most failed payments?",
]


def _catalog() -> tuple[schemasift.MetadataCatalog, str]:
    """The shop catalog and how it was read: reflected when SQLAlchemy is there."""
    try:
        from askweave import sql

        sql._sqlalchemy()
    except ImportError:
        return _catalog_without_sqlalchemy(), "read with the standard library (install askweave[sql] to reflect)"
    # a private copy: the package directory may be read-only
    with tempfile.TemporaryDirectory() as tmp:
        path = shutil.copy(SHOP_DB, os.path.join(tmp, "shop.db"))
        return sql.reflect_catalog(path), "reflected with askweave.sql.reflect_catalog"


def _catalog_without_sqlalchemy() -> schemasift.MetadataCatalog:
    """The same catalog from sqlite3 alone, for an install without the [sql] extra."""
    import sqlite3

    from askweave.sql import ddl_comments

    con = sqlite3.connect(f"file:{SHOP_DB}?mode=ro", uri=True)
    try:
        objects = con.execute("SELECT name, type, sql FROM sqlite_master WHERE type IN ('table', 'view') "
                              "ORDER BY type = 'view', name").fetchall()
        tables, relationships = [], []
        for name, kind, ddl in objects:
            comments = ddl_comments(ddl, kind == "table")
            quoted = '"' + name.replace('"', '""') + '"'
            fks = con.execute(f"PRAGMA foreign_key_list({quoted})").fetchall()
            fk_columns = {row[3] for row in fks}
            info = con.execute(f"PRAGMA table_info({quoted})").fetchall()
            keys = [c for c in info if c[5] > 0]
            rowid = keys[0][1] if len(keys) == 1 and keys[0][2].upper() == "INTEGER" else None
            columns = [{"name": c[1], "type": c[2], "description": comments.get(c[1], ""),
                        "nullable": not c[3] and c[1] != rowid, "is_primary_key": c[5] > 0,
                        "is_foreign_key": c[1] in fk_columns} for c in info]
            table = {"table_name": name, "description": comments.get("", ""), "columns": columns}
            if kind == "view":
                table["table_type"] = "view"
            tables.append(table)
            relationships += [{"from_table": name, "from_column": row[3], "to_table": row[2], "to_column": row[4]}
                              for row in fks]
    finally:
        con.close()
    return schemasift.CatalogNormalizer.normalize({"database": "shop", "tables": tables,
                                                   "relationships": relationships,
                                                   "dialect": "sqlite", "schema": "main"})


def run() -> str:
    """The tour's text."""
    from askweave._host import Conversation

    catalog, how = _catalog()
    views = [t.table_name for t in catalog.tables if t.extra.get("table_type") == "view"]
    lines = [
        "askweave tour: an online shop's database, a four-message conversation.",
        "",
        f"1. The catalog: {len(catalog.tables) - len(views)} tables and {len(views)} view "
        f"({', '.join(t.table_name for t in catalog.tables)}), "
        f"{sum(len(t.columns) for t in catalog.tables)} columns, {len(catalog.relationships)} foreign keys, "
        f"{how}.",
        "   Comments became descriptions; column roles come from names and types.",
        "",
        "2. The conversation. Per message, turnlens decides what it is and rewrites it into a",
        "   self-contained question; schemasift keeps the tables it needs; a card remembers the turn.",
        "",
    ]
    conversation = Conversation(catalog, schemasift.SelectorConfig(strategy="lexical"))
    for number, message in enumerate(MESSAGES, 1):
        turn = conversation.ask(message)
        r = turn.resolution
        if turn.result is None:
            lines.append(f'   [{number}] "{message}" -> {r.context_type}; would ask: {r.clarification_question}')
            continue
        m = turn.result.metrics
        lines.append(f'   [{number}] "{message}"')
        lines.append(f"       taken as {r.context_type}: {r.resolved_question}")
        lines.append(f"       tables kept: {', '.join(turn.tables)} | tables {m.input_tables} -> {m.output_tables}, "
                     f"tokens ~{m.input_estimated_tokens} -> ~{m.output_estimated_tokens} "
                     f"({m.token_reduction_percent:.0f}% cut)")
    lines += [
        "",
        "3. Where to go next:",
        "   askweave select shop.db \"top 5 products by revenue\" --format text   (any SQLite/DuckDB file or URL)",
        "   askweave chat postgresql+psycopg2://user@host/db                     (your own database)",
        "   python -m askweave.demos.schemasift | python -m askweave.demos.turnlens   (each module's raw output)",
        "   README.md: the Python API, the end-to-end host loop, reflecting a database.",
        f"   The shop database used here: {SHOP_DB}",
    ]
    return "\n".join(lines) + "\n"


def main() -> None:
    print(run(), end="")


if __name__ == "__main__":
    main()
