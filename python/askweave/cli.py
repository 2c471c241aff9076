"""The ``askweave`` command line (also ``python -m askweave``).

    askweave select CATALOG QUESTION     the catalog slice for a question
    askweave resolve --cards CARDS MESSAGE
                                         what a message means given earlier turns
    askweave chat CATALOG                a conversation: resolve, select, store a card
    askweave hash CATALOG                the catalog hash and size figures
    askweave tour                        a narrated first run

CATALOG is a JSON file, ``-`` for standard input, a SQLite or DuckDB file, or a
database URL (read with ``askweave.sql.reflect_catalog``). Exit status: 0 on
success, 1 when the work failed (a missing file, a refused connection), 2 for
usage errors. Errors are one line on standard error; ``--debug`` shows the
traceback and the "askweave" log.
"""
from __future__ import annotations

import argparse
import json
import logging
import os
import sys
from typing import Any, NoReturn, Sequence, TextIO

from askweave import __version__, schemasift, turnlens

__all__ = ["main", "run", "build_parser", "load_catalog", "load_cards", "render_selection", "describe_turn",
           "catalog_figures", "STRATEGIES", "UsageError"]

log = logging.getLogger("askweave")

STRATEGIES = ("lexical", "tfidf", "embedding", "hybrid")
"""The values of --strategy: SelectorConfig's strategies."""


class UsageError(Exception):
    """A bad argument value found after parsing; exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # one line, with where to look, instead of the usage block
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be at least 0: {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the command line, with its five commands.

    The commands are select, resolve, chat, hash and tour. A parsing error
    ends in SystemExit with status 2 and one line on standard error.
    """
    parser = _Parser(prog="askweave", description="Context preparation for questions over databases.")
    parser.add_argument("--version", action="version", version=f"askweave {__version__}")
    parser.add_argument("--debug", action="store_true", help="show tracebacks and the askweave log")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    def catalog_args(p: argparse.ArgumentParser) -> None:
        p.add_argument("catalog", metavar="CATALOG",
                       help="JSON file, '-' for standard input, SQLite/DuckDB file or database URL")
        g = p.add_argument_group("reading a database")
        g.add_argument("--schema", help="schema to read (default: the connection's)")
        g.add_argument("--sample-values", type=_count, default=0, metavar="N",
                       help="read up to N distinct values per column and show them to the model (default 0)")
        g.add_argument("--row-counts", action="store_true", help="read row counts (bounded)")

    def selector_args(p: argparse.ArgumentParser) -> None:
        g = p.add_argument_group("selection")
        g.add_argument("--strategy", choices=STRATEGIES, default="hybrid",
                       help="score sources (default hybrid: TF-IDF blended in when scikit-learn is installed)")
        g.add_argument("--top-tables", type=_positive, default=3, metavar="N", help="most tables kept (default 3)")
        g.add_argument("--columns-per-table", type=_positive, default=25, metavar="N",
                       help="most columns kept per table (default 25)")
        g.add_argument("--max-output-chars", type=_positive, default=None, metavar="N",
                       help="size budget of the output in characters (default: none)")

    p = commands.add_parser("select", help="the catalog slice for a question",
                            description="Select the slice of a catalog that a question needs.")
    catalog_args(p)
    p.add_argument("question", metavar="QUESTION")
    selector_args(p)
    p.add_argument("--require", action="append", default=[], metavar="TABLE",
                   help="a table the slice must keep (repeat, or separate with commas)")
    p.add_argument("--format", choices=("prompt", "json", "text"), default="prompt",
                   help="prompt: the selected metadata the model gets (default); json: the whole result; "
                        "text: a readable table with scores, reasons and the cut figures")

    p = commands.add_parser("resolve", help="what a message means given earlier turns",
                            description="Resolve a chat message against the memory cards of earlier turns.")
    p.add_argument("--cards", required=True, metavar="CARDS",
                   help="JSON Lines file of turn cards (one object per line, or one JSON list); '-' for stdin")
    p.add_argument("message", metavar="MESSAGE")
    p.add_argument("--active-turn", type=int, default=None, metavar="N", help="the turn the user is looking at")
    p.add_argument("--format", choices=("json", "text"), default="json")

    p = commands.add_parser("chat", help="a conversation over a catalog (reads messages from standard input)",
                            description="Run the host loop on each message read from standard input: resolve "
                                        "it, select the catalog slice, store a card. Prints, per message, what "
                                        "it was taken as, the resolved question and the tables kept.")
    catalog_args(p)
    selector_args(p)
    p.add_argument("--format", choices=("text", "jsonl"), default="text",
                   help="text (default) or one JSON object per message")

    p = commands.add_parser("hash", help="the catalog hash and size figures",
                            description="Print the catalog hash (the selection's cache key) and its size.")
    catalog_args(p)
    p.add_argument("--format", choices=("text", "json"), default="text")

    commands.add_parser("tour", help="a narrated first run on a small shop database",
                        description="A four-message conversation over the bundled shop database.")
    return parser


def _looks_like_url(text: str) -> bool:
    head, sep, _ = text.partition("://")
    return bool(sep) and head.replace("+", "").replace("-", "").replace(".", "").isalnum()


def load_catalog(source: str, args: argparse.Namespace, stdin: TextIO | None = None) -> schemasift.MetadataCatalog:
    """The catalog named on the command line, as records.

    Args:
        source: A JSON catalog file, "-" for standard input, a SQLite or
            DuckDB file, or a database URL (read by askweave.sql.reflect_catalog
            with args.schema, args.sample_values and args.row_counts).
        args: The parsed command line.
        stdin: Where "-" reads from. Default None: sys.stdin.

    Raises:
        UsageError: --schema, --sample-values or --row-counts with a JSON
            catalog.
        FileNotFoundError: no such catalog file.
        IsADirectoryError: source is a directory.
        ValueError: the file is neither JSON nor a database, the JSON is not a
            catalog the normalizer can read, or the catalog has no tables.
        ImportError, ConnectionError, RuntimeError: as reflect_catalog raises
            them for a database.
    """
    if source != "-" and (_looks_like_url(source) or _is_database_file(source)):
        from askweave import sql

        return sql.reflect_catalog(source, schema=args.schema, sample_values=args.sample_values,
                                   row_counts=args.row_counts)
    if args.schema or args.sample_values or args.row_counts:
        raise UsageError("--schema, --sample-values and --row-counts apply to databases, not to JSON catalogs")
    if source == "-":
        text = (stdin or sys.stdin).read()
        where = "standard input"
    else:
        try:
            with open(source, encoding="utf-8") as f:
                text = f.read()
        except FileNotFoundError:
            raise FileNotFoundError(f"no such catalog file: {source}") from None
        except IsADirectoryError:
            raise IsADirectoryError(f"catalog is a directory: {source}") from None
        except UnicodeDecodeError:
            raise ValueError(f"{source}: neither a JSON catalog nor a SQLite/DuckDB database") from None
        where = source
    try:
        data = json.loads(text)
    except json.JSONDecodeError as exc:
        raise ValueError(f"{where}: not valid JSON ({exc.msg} at line {exc.lineno}, column {exc.colno})") from None
    if not isinstance(data, dict):
        raise ValueError(f"{where}: a catalog is a JSON object with a \"tables\" entry, "
                         f"not a JSON {type(data).__name__}")
    try:
        catalog = schemasift.CatalogNormalizer.normalize(data)
    except (TypeError, KeyError, AttributeError) as exc:
        raise ValueError(f"{where}: not a catalog the normalizer can read ({exc})") from None
    if not catalog.tables:
        raise ValueError(f"{where}: the catalog has no tables")
    return catalog


def _is_database_file(path: str) -> bool:
    try:
        with open(path, "rb") as f:
            head = f.read(16)
    except OSError:
        return False
    return head.startswith(b"SQLite format 3\x00") or head[8:12] == b"DUCK"


def _config(args: argparse.Namespace, **extra: Any) -> schemasift.SelectorConfig:
    return schemasift.SelectorConfig(strategy=args.strategy, top_k_tables=args.top_tables,
                                     max_columns_per_table=args.columns_per_table,
                                     max_output_chars=args.max_output_chars,
                                     include_sample_values=bool(getattr(args, "sample_values", 0)), **extra)


def _dump(value: Any, out: TextIO) -> None:
    out.write(json.dumps(value, indent=2, ensure_ascii=False, default=str) + "\n")


def cmd_select(args: argparse.Namespace, out: TextIO) -> int:
    """``askweave select``: writes the slice of the catalog for the question; returns 0."""
    catalog = load_catalog(args.catalog, args)
    required = [t.strip() for item in args.require for t in item.split(",") if t.strip()]
    names = {t.table_name for t in catalog.tables}
    unknown = [t for t in required if t not in names]
    if unknown:
        raise UsageError(f"--require names tables not in the catalog: {', '.join(unknown)}")
    if not args.question.strip():
        raise UsageError("QUESTION is empty")
    sifter = schemasift.SchemaSift(_config(args, include_debug=args.format != "prompt"))
    result = sifter.select(args.question, catalog, required_tables=required or None)
    if args.format == "prompt":
        _dump(result.selected_metadata, out)
    elif args.format == "json":
        _dump(result.to_dict(include_debug=True), out)
    else:
        out.write(render_selection(args.question, result))
    return 0


def render_selection(question: str, result: schemasift.MetadataSelectionResult) -> str:
    """The readable form of a selection: tables and columns with scores and reasons, then the cut figures.

    The reasons come from result.debug, so a result made without
    SelectorConfig.include_debug shows "-" for them.
    """
    lines = [f"question: {question}", ""]
    reasons = {r["table_name"]: r.get("reasons", []) for r in result.debug.get("table_rankings", [])}
    column_reasons = {
        table: {c["column_name"]: c.get("reasons", []) for c in cols}
        for table, cols in result.debug.get("selected_column_rankings", {}).items()
    }
    for table in result.selected_metadata["tables"]:
        name = table["table_name"]
        why = "; ".join(reasons.get(name, [])) or "-"
        lines.append(f"{name}  (score {table['score']:.3f}: {why})")
        cols = table["columns"]
        width = max((len(c["name"]) for c in cols), default=0)
        type_width = max((len(str(c["type"])) for c in cols), default=0)
        for col in cols:
            why = "; ".join(column_reasons.get(name, {}).get(col["name"], [])) or "-"
            lines.append(f"  {col['name']:<{width}}  {str(col['type']):<{type_width}}  {col['role']:<11}"
                         f"  {col['score']:6.3f}  {why}")
        lines.append("")
    rels = result.selected_metadata["relationships"]
    if rels:
        lines.append("joins:")
        for r in rels:
            lines.append(f"  {r['from_table']}.{r['from_column']} -> {r['to_table']}.{r['to_column']}"
                         f"  ({r['relationship_type']})")
        lines.append("")
    lines.append(result.metrics.summary())
    lines.append(f"catalog hash {result.metrics.catalog_hash}")
    return "\n".join(lines) + "\n"


def load_cards(source: str) -> list[turnlens.TurnContextCard]:
    """Cards from a JSON Lines file (or a JSON list), each a map with the card's field names.

    source is a file name, or "-" for standard input. Blank lines are skipped.

    Raises:
        FileNotFoundError: no such cards file.
        ValueError: a line (or the list) is not valid JSON, a card is not a
            JSON object, or its keys are not card fields or lack "turn_id".
    """
    if source == "-":
        text, where = sys.stdin.read(), "standard input"
    else:
        try:
            with open(source, encoding="utf-8") as f:
                text = f.read()
        except FileNotFoundError:
            raise FileNotFoundError(f"no such cards file: {source}") from None
        where = source
    items: list[tuple[int, Any]] = []
    if text.lstrip().startswith("["):
        try:
            items = list(enumerate(json.loads(text), 1))
        except json.JSONDecodeError as exc:
            raise ValueError(f"{where}: not valid JSON ({exc.msg} at line {exc.lineno})") from None
    else:
        for number, line in enumerate(text.splitlines(), 1):
            if line.strip():
                try:
                    items.append((number, json.loads(line)))
                except json.JSONDecodeError as exc:
                    raise ValueError(f"{where}, line {number}: not valid JSON ({exc.msg})") from None
    cards = []
    for number, item in items:
        if not isinstance(item, dict):
            raise ValueError(f"{where}, card {number}: a card is a JSON object, not {type(item).__name__}")
        try:
            cards.append(turnlens.TurnContextCard(**item))
        except TypeError as exc:
            raise ValueError(f"{where}, card {number}: {exc}") from None
    return cards


def cmd_resolve(args: argparse.Namespace, out: TextIO) -> int:
    """``askweave resolve``: writes what the message means given the cards; returns 0."""
    cards = load_cards(args.cards)
    resolution = turnlens.TurnLens().resolve(args.message, cards, active_turn_id=args.active_turn)
    if args.format == "json":
        _dump(resolution.to_dict(), out)
        return 0
    rows = [
        ("context type", resolution.context_type),
        ("route", resolution.route),
        ("confidence", f"{resolution.confidence:.2f}"),
        ("resolved question", resolution.resolved_question),
        ("search query", resolution.metadata_search_query),
        ("base turn", "-" if resolution.base_turn_id is None else str(resolution.base_turn_id)),
        ("required tables", ", ".join(resolution.required_tables) or "-"),
        ("required columns", "; ".join(f"{t}: {', '.join(c)}" for t, c in resolution.required_columns.items())
         or "-"),
        ("reason", resolution.reason),
    ]
    if resolution.clarification_question:
        rows.append(("ask the user", resolution.clarification_question))
    width = max(len(k) for k, _ in rows)
    out.write("".join(f"{k:<{width}}  {v}\n" for k, v in rows))
    return 0


def describe_turn(number: int, turn: Any) -> str:
    """Two lines for one chat turn: what the message was taken as and what the selection kept.

    turn has the turn's resolution (a ContextResolution), result (a
    MetadataSelectionResult, or None when the user is asked instead: then
    one line with the question) and tables (the table names kept).
    """
    r = turn.resolution
    head = f"[{number}] {r.context_type}"
    if turn.result is None:
        return f"{head} -> ask: {r.clarification_question}\n"
    metrics = turn.result.metrics
    return (f"{head}: {r.resolved_question}\n"
            f"    tables kept: {', '.join(turn.tables) or '-'} | {metrics.summary()}\n")


def cmd_chat(args: argparse.Namespace, out: TextIO, stdin: TextIO | None = None) -> int:
    """``askweave chat``: one line a message read from stdin (resolve, select, store a card); returns 0."""
    from askweave._host import Conversation

    stdin = stdin or sys.stdin
    if args.catalog == "-":
        raise UsageError("chat reads its messages from standard input; give CATALOG as a file or URL")
    catalog = load_catalog(args.catalog, args)
    conversation = Conversation(catalog, _config(args))
    interactive = stdin.isatty() and out.isatty()
    if interactive:
        try:
            import readline  # noqa: F401  (line editing and history for input())
        except ImportError:
            pass
        out.write(f"askweave chat over {catalog.database or 'the catalog'} ({len(catalog.tables)} tables). "
                  "Ask a question; 'quit' or Ctrl-D ends.\n")
        out.flush()
    number = 0
    while True:
        try:
            message = input("you> ") if interactive else stdin.readline()
        except EOFError:
            break
        if not interactive and message == "":
            break
        message = message.strip()
        if not message:
            continue
        if message.lower() in ("quit", "exit", ":q"):
            break
        number += 1
        turn = conversation.ask(message)
        if args.format == "jsonl":
            record = {"turn": number, "message": message, "context_type": turn.resolution.context_type,
                      "route": turn.resolution.route, "resolved_question": turn.resolution.resolved_question,
                      "clarification_question": turn.resolution.clarification_question,
                      "tables": turn.tables,
                      "metrics": None if turn.result is None else
                      {"summary": turn.result.metrics.summary(),
                       "catalog_hash": turn.result.metrics.catalog_hash}}
            out.write(json.dumps(record, ensure_ascii=False) + "\n")
        else:
            out.write(describe_turn(number, turn))
        out.flush()
    if interactive:
        out.write("\n")
    return 0


def catalog_figures(catalog: schemasift.MetadataCatalog) -> dict[str, Any]:
    """Hash and size of a catalog, measured as selection measures its input.

    Keys "catalog_hash" (the metrics' catalog_hash), "database", "tables" and
    "views" (views are tables whose extra["table_type"] says so), "columns",
    "relationships", "characters" (of to_prompt_dict()'s JSON text) and
    "estimated_tokens" (estimate_tokens of that text).
    """
    prompt = catalog.to_prompt_dict()
    text = json.dumps(prompt, ensure_ascii=False, default=str)
    views = sum(1 for t in catalog.tables if t.extra.get("table_type") in ("view", "materialized_view"))
    return {
        "catalog_hash": schemasift.stable_hash(prompt),
        "database": catalog.database,
        "tables": len(catalog.tables) - views,
        "views": views,
        "columns": sum(len(t.columns) for t in catalog.tables),
        "relationships": len(catalog.relationships),
        "characters": len(text),
        "estimated_tokens": schemasift.estimate_tokens(text),
    }


def cmd_hash(args: argparse.Namespace, out: TextIO) -> int:
    """``askweave hash``: writes the catalog hash and size figures; returns 0."""
    figures = catalog_figures(load_catalog(args.catalog, args))
    if args.format == "json":
        _dump(figures, out)
        return 0
    rows = [("catalog hash", figures["catalog_hash"]), ("database", figures["database"] or "-"),
            ("tables", f"{figures['tables']}" + (f" (+ {figures['views']} view{'s' if figures['views'] != 1 else ''})" if figures["views"] else "")),
            ("columns", str(figures["columns"])), ("relationships", str(figures["relationships"])),
            ("characters", str(figures["characters"])), ("tokens", f"~{figures['estimated_tokens']}")]
    width = max(len(k) for k, _ in rows)
    out.write("".join(f"{k:<{width}}  {v}\n" for k, v in rows))
    return 0


def cmd_tour(args: argparse.Namespace, out: TextIO) -> int:
    """``askweave tour``: writes the narrated first run; returns 0."""
    from askweave.demos import tour

    out.write(tour.run())
    return 0


COMMANDS = {"select": cmd_select, "resolve": cmd_resolve, "chat": cmd_chat, "hash": cmd_hash, "tour": cmd_tour}


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line on argv (default: sys.argv[1:]); returns the exit status.

    0 on success, 1 when the work failed (one line on stderr), 2 for a usage
    error found while running, 130 on an interrupt. Usage errors found while
    parsing (an unknown command, a missing argument) and ``--help`` or
    ``--version`` end in SystemExit, as argparse does (status 2 and 0).
    """
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.debug:
        logging.basicConfig(level=logging.DEBUG, format="%(name)s: %(levelname)s: %(message)s")
    else:
        logging.basicConfig(level=logging.WARNING, format="askweave: %(levelname)s: %(message)s")
    prog = f"askweave {args.command}"
    try:
        return COMMANDS[args.command](args, sys.stdout)
    except KeyboardInterrupt:
        sys.stderr.write("\n")
        return 130
    except BrokenPipeError:
        # the reader went away (| head): nothing left to say
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except UsageError as exc:
        if args.debug:
            raise
        sys.stderr.write(f"{prog}: error: {exc} (see '{prog} --help')\n")
        return 2
    except Exception as exc:
        if args.debug:
            raise
        sys.stderr.write(f"{prog}: error: {_one_line(exc)}\n")
        return 1


def _one_line(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    message = text[0] if text else type(exc).__name__
    # SQLAlchemy and driver errors start with their class in brackets; other unexpected ones get their class name
    if isinstance(exc, (OSError, ValueError, ImportError, LookupError, RuntimeError)) or message.startswith("("):
        return message
    return f"{type(exc).__name__}: {message}"


def run() -> NoReturn:
    """Entry point of the console script: sys.exit(main()), so it always ends in SystemExit."""
    sys.exit(main())
