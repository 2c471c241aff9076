"""Catalogs from live databases: ``reflect_catalog`` reads a database's own description.

Needs SQLAlchemy (``pip install "askweave[sql]"``) and the database's driver. The
catalog is built as a loose dictionary and read by
:meth:`askweave.schemasift.CatalogNormalizer.normalize`, so column roles come
from the normalizer's own inference, exactly as for a hand-written catalog.

What is read:

* tables, then views (marked ``extra["table_type"] == "view"`` or
  ``"materialized_view"``), in the order the database lists them;
* columns with their types as the dialect names them (SQLite and DuckDB: the
  declared type text), nullability, primary keys (every column of a composite
  key), and foreign keys as relationships, one per column pair (a composite key's
  relationships carry all of its columns in ``extra``);
* table and column comments as descriptions. SQLite has no comments; there a
  ``--`` comment after a column definition (or on its own line just before it)
  describes that column, and one on the ``CREATE TABLE`` line the table;
* only when asked: up to ``sample_values`` distinct non-null values per column
  and row counts. Both are read with bounded queries: samples from the first
  :data:`SAMPLE_SCAN_ROWS` rows of a table, counts up to
  :data:`ROW_COUNT_LIMIT` rows (beyond it, the database's own estimate where it
  keeps one, marked ``extra["row_count_estimated"]``). Sample values end up in a
  model's prompt; they are never read unless asked for.

Connection URLs are only ever shown with their password masked.
"""
from __future__ import annotations

import datetime
import decimal
import logging
import os
import sys
import time
import uuid
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterable, Sequence, TextIO

from askweave import schemasift

if TYPE_CHECKING:
    from sqlalchemy.engine import URL, Connection, Engine

__all__ = ["reflect_catalog", "mask_url", "file_url", "ddl_comments", "SAMPLE_SCAN_ROWS", "ROW_COUNT_LIMIT"]

log = logging.getLogger("askweave")

SAMPLE_SCAN_ROWS = 10_000
"""Rows read per table when sampling column values."""
ROW_COUNT_LIMIT = 1_000_000
"""Rows counted per table at most; larger tables report an estimate or this bound."""
SAMPLE_TEXT_CHARS = 100
"""Longest sample text kept; longer values are cut and end in "..."."""
# Tables reflected per inspector call: small enough for a moving progress bar,
# large enough that a catalog query is not issued per table.
_BATCH = 200
# Types whose values are useless or unsafe as prompt samples, or that some
# engines cannot compare for DISTINCT.
_UNSAMPLED_TYPES = ("BLOB", "BYTEA", "BINARY", "JSON", "XML", "GEOMETRY", "GEOGRAPHY", "[]", "ARRAY",
                    "STRUCT", "MAP(", "UNION(", "TSVECTOR", "IMAGE", "RAW")
# Dialects whose SQLAlchemy plugin is a separate package.
_DIALECT_PACKAGES = {"duckdb": "duckdb-engine", "snowflake": "snowflake-sqlalchemy",
                     "bigquery": "sqlalchemy-bigquery", "clickhouse": "clickhouse-sqlalchemy",
                     "databricks": "databricks-sqlalchemy", "trino": "trino", "redshift": "sqlalchemy-redshift"}
_DRIVER_PACKAGES = {"psycopg2": "psycopg2-binary", "psycopg": "psycopg[binary]", "pymysql": "PyMySQL",
                    "MySQLdb": "mysqlclient", "pyodbc": "pyodbc", "oracledb": "oracledb", "asyncpg": "asyncpg",
                    "pg8000": "pg8000", "duckdb": "duckdb", "pymssql": "pymssql"}
_SECRET_QUERY_KEYS = ("password", "passwd", "pwd", "secret", "token", "key", "credential")


def _sqlalchemy() -> Any:
    try:
        import sqlalchemy
    except ImportError:
        raise ImportError('askweave.sql needs SQLAlchemy: pip install "askweave[sql]"') from None
    return sqlalchemy


def mask_url(url: "str | URL") -> str:
    """The URL as text with its password, and query values that look like secrets, masked.

    A text that is not a URL is not shown at all (it may hold a secret): the
    result is then ``"<unparsable URL>"``. Takes a text or a SQLAlchemy ``URL``.

    Raises:
        AttributeError: url is neither a str nor a ``URL`` (it lacks the
            ``URL`` attributes read, such as ``query``).
        ImportError: SQLAlchemy is not installed.
    """
    sa = _sqlalchemy()
    try:
        parsed = sa.engine.make_url(url) if isinstance(url, str) else url
    except Exception:
        return "<unparsable URL>"
    marker = "askweavemaskedvalue"
    query = {k: (marker if any(s in k.lower() for s in _SECRET_QUERY_KEYS) else v) for k, v in parsed.query.items()}
    if query != dict(parsed.query):
        parsed = parsed.set(query=query)
    return str(parsed.render_as_string(hide_password=True)).replace(marker, "***")


def _scrub(text: str, url: "URL") -> str:
    """First line of a driver message, without the password should the driver echo it."""
    line = (text.strip().splitlines() or [""])[0].strip()
    secrets = [url.password] + [v for k, v in url.query.items()
                                if any(s in k.lower() for s in _SECRET_QUERY_KEYS)]
    for secret in secrets:
        if isinstance(secret, str) and secret:
            line = line.replace(secret, "***")
    return line


def file_url(path: "str | os.PathLike[str]") -> str:
    """The URL of a database file: DuckDB when the file says so, else SQLite.

    Raises:
        FileNotFoundError: the file cannot be read (the message names it).
    """
    path = os.fspath(path)
    try:
        with open(path, "rb") as f:
            head = f.read(16)
    except OSError as exc:
        raise FileNotFoundError(f"cannot read database file {path!r}: {exc.strerror}") from None
    if head[8:12] == b"DUCK":
        return f"duckdb:///{os.path.abspath(path)}"
    return f"sqlite:///{os.path.abspath(path)}"


def _open_engine(engine_or_url: Any) -> "tuple[Engine, bool]":
    """The engine to use and whether it is ours to dispose."""
    sa = _sqlalchemy()
    if isinstance(engine_or_url, sa.engine.Engine):
        return engine_or_url, False
    if isinstance(engine_or_url, os.PathLike) or (isinstance(engine_or_url, str) and "://" not in engine_or_url
                                                  and Path(engine_or_url).is_file()):
        engine_or_url = file_url(engine_or_url)
    if not isinstance(engine_or_url, (str, sa.engine.URL)):
        raise TypeError(f"engine_or_url must be a SQLAlchemy Engine, a URL or a URL text, "
                        f"not {type(engine_or_url).__name__}")
    try:
        url = sa.engine.make_url(engine_or_url)
    except Exception:
        raise ValueError("not a database URL (expected dialect[+driver]://user:password@host/database, "
                         "or sqlite:///path/to/file.db)") from None
    shown = mask_url(url)
    backend = url.get_backend_name()
    database = url.database or ""
    if backend in ("sqlite", "duckdb") and database and database != ":memory:" \
            and not database.startswith("file:") and "mode=memory" not in str(url.query):
        # both engines would silently create an empty database at a mistyped path
        if not Path(database).is_file():
            raise FileNotFoundError(f"no {backend} database file at {database!r} ({shown})")
    try:
        return sa.create_engine(url), True
    except sa.exc.NoSuchModuleError:
        package = _DIALECT_PACKAGES.get(backend)
        hint = f": pip install {package}" if package else ""
        raise ValueError(f"unknown database type {url.drivername!r} in {shown}: "
                         f"no SQLAlchemy dialect of that name is installed{hint}") from None
    except ImportError as exc:
        module = (getattr(exc, "name", None) or url.get_driver_name() or "").split(".")[0]
        package = _DRIVER_PACKAGES.get(module, module)
        raise ImportError(f"the {module!r} driver for {backend} URLs is not installed "
                          f"(pip install {package}); needed for {shown}") from None


def reflect_catalog(
    engine_or_url: Any,
    *,
    schema: str | None = None,
    include_tables: Iterable[str] | None = None,
    sample_values: int = 0,
    row_counts: bool = False,
    progress: bool | None = None,
) -> schemasift.MetadataCatalog:
    """Read a live database's tables, views, columns, keys and comments into a catalog.

    Args:
        engine_or_url: A SQLAlchemy ``Engine`` (left open), a URL or URL text
            (an engine is made and disposed), or the path of a SQLite or
            DuckDB file.
        schema: The schema to read. Default None: the connection's default.
        include_tables: Only these tables and views, kept in database order.
            Default None: all of them.
        sample_values: Above 0, up to that many distinct non-null values per
            column are read (bounded, see the module notes). Default 0.
        row_counts: Read each table's row count (bounded, see the module
            notes). Default False.
        progress: A progress bar on standard error. Default None: one is
            shown only when standard error is a terminal and reflection takes
            a moment.

    Returns:
        A new MetadataCatalog, read by CatalogNormalizer.normalize; its
        extra holds "dialect" and "schema".

    Raises:
        ValueError: a text that is not a URL, an unknown database type, a
            schema that does not exist, unknown ``include_tables``, or a
            ``sample_values`` that is not a whole number >= 0.
        TypeError: ``schema`` is not a str or None, or ``include_tables`` is a
            single str.
        ImportError: SQLAlchemy or the database's driver is not installed.
        FileNotFoundError: a SQLite or DuckDB file that does not exist.
        ConnectionError: the database refuses the connection.
        RuntimeError: the database refuses to describe itself (not a
            database, no permission).

    Messages show URLs with the password masked.
    """
    if isinstance(sample_values, bool) or not isinstance(sample_values, int) or sample_values < 0:
        raise ValueError(f"sample_values must be a whole number >= 0, not {sample_values!r}")
    if schema is not None and not isinstance(schema, str):
        raise TypeError(f"schema must be a text or None, not {type(schema).__name__}")
    wanted: list[str] | None = None
    if include_tables is not None:
        if isinstance(include_tables, str):
            raise TypeError("include_tables must be a list of table names, not a single text")
        wanted = [str(t) for t in include_tables]
    sa = _sqlalchemy()
    engine, owned = _open_engine(engine_or_url)
    shown = mask_url(engine.url)
    started = time.perf_counter()
    try:
        try:
            conn = engine.connect()
        except sa.exc.DBAPIError as exc:
            raise ConnectionError(f"cannot connect to {shown}: {_scrub(str(exc.orig), engine.url)}") from None
        with conn:
            try:
                reader: _Reader = (_DuckDBReader if engine.dialect.name == "duckdb" else _InspectorReader)(conn)
                schema_name = reader.check_schema(schema, shown)
                objects = reader.objects(schema)
            except sa.exc.DBAPIError as exc:
                # a file that is no database, a catalog the user may not read
                raise RuntimeError(f"cannot read the catalog of {shown}: {_scrub(str(exc.orig), engine.url)}") \
                    from None
            if wanted is not None:
                known = {name for name, _ in objects}
                missing = [t for t in wanted if t not in known]
                if missing:
                    raise ValueError(f"include_tables names tables that do not exist in {shown}"
                                     f"{f' schema {schema!r}' if schema else ''}: {', '.join(missing)}")
                keep = set(wanted)
                objects = [(name, kind) for name, kind in objects if name in keep]
            per_table_queries = bool(sample_values or row_counts)
            bar = _Progress(len(objects) * (2 if per_table_queries else 1),
                            f"reflecting {_database_name(engine.url, reader.database_name) or shown}", progress)
            try:
                loose = _build(reader, conn, schema, objects, sample_values, row_counts, bar)
            except sa.exc.DBAPIError as exc:
                raise RuntimeError(f"cannot read the catalog of {shown}: {_scrub(str(exc.orig), engine.url)}") \
                    from None
            finally:
                bar.close()
    finally:
        if owned:
            engine.dispose()
    loose["database"] = _database_name(engine.url, conn_db=reader.database_name)
    loose["dialect"] = engine.dialect.name
    loose["schema"] = schema_name
    catalog = schemasift.CatalogNormalizer.normalize(loose)
    views = sum(1 for _, kind in objects if kind != "table")
    log.info("reflected %d tables, %d views and %d relationships from %s in %.2f s",
             len(objects) - views, views, len(catalog.relationships), shown, time.perf_counter() - started)
    return catalog


def _database_name(url: "URL", conn_db: str | None) -> str:
    if url.get_backend_name() in ("sqlite", "duckdb"):
        if url.database and url.database != ":memory:" and not url.database.startswith("file:"):
            return Path(url.database).stem
        return conn_db or "memory"
    return url.database or conn_db or ""


def _build(reader: "_Reader", conn: "Connection", schema: str | None, objects: list[tuple[str, str]],
           sample_values: int, row_counts: bool, bar: "_Progress") -> dict[str, Any]:
    tables: list[dict[str, Any]] = []
    relationships: list[dict[str, Any]] = []
    kinds = dict(objects)
    names = [name for name, _ in objects]
    for start in range(0, len(names), _BATCH):
        batch = names[start:start + _BATCH]
        columns = reader.columns(schema, batch)
        pks = reader.primary_keys(schema, batch)
        fks = reader.foreign_keys(schema, [n for n in batch if kinds[n] == "table"])
        uniques = reader.unique_keys(schema, [n for n in batch if kinds[n] == "table"])
        comments = reader.table_comments(schema, batch)
        for name in batch:
            pk = pks.get(name, [])
            fk_columns = {c for fk in fks.get(name, []) for c in fk["constrained_columns"]}
            table: dict[str, Any] = {"table_name": name}
            if comments.get(name):
                table["description"] = comments[name]
            table["columns"] = [
                {"name": col["name"], "type": col["type"], "description": col.get("comment") or "",
                 "nullable": col["nullable"], "is_primary_key": col["name"] in pk,
                 "is_foreign_key": col["name"] in fk_columns}
                for col in columns.get(name, [])
            ]
            if kinds[name] != "table":
                table["table_type"] = kinds[name]
            tables.append(table)
            unique_sets = [set(pk)] + [set(u) for u in uniques.get(name, [])]
            for fk in fks.get(name, []):
                relationships.extend(_relationships(name, schema, fk, unique_sets))
        bar.advance(len(batch))
    if sample_values or row_counts:
        for table in tables:
            if row_counts:
                count, exact = _count_rows(reader, conn, schema, table["table_name"])
                table["row_count"] = count
                if not exact:
                    table["row_count_estimated"] = True
            if sample_values:
                for col in table["columns"]:
                    col["sample_values"] = _samples(conn, schema, table["table_name"], col, sample_values)
            bar.advance(1)
    return {"tables": tables, "relationships": relationships}


def _relationships(table: str, schema: str | None, fk: dict[str, Any],
                   unique_sets: list[set[str]]) -> list[dict[str, Any]]:
    local, remote = list(fk["constrained_columns"]), list(fk["referred_columns"])
    target = fk["referred_table"]
    if fk.get("referred_schema") and fk["referred_schema"] != schema:
        target = f"{fk['referred_schema']}.{target}"
    kind = "one_to_one" if set(local) in unique_sets else "many_to_one"
    out = []
    for a, b in zip(local, remote):
        rel: dict[str, Any] = {"from_table": table, "from_column": a, "to_table": target, "to_column": b,
                               "relationship_type": kind}
        if len(local) > 1:
            rel["constraint_columns"] = local
            rel["referenced_columns"] = remote
        out.append(rel)
    return out


def _table_clause(schema: str | None, table: str, *columns: str) -> Any:
    sa = _sqlalchemy()
    return sa.table(table, *(sa.column(c) for c in columns), schema=schema)


def _count_rows(reader: "_Reader", conn: "Connection", schema: str | None, table: str) -> tuple[int, bool]:
    sa = _sqlalchemy()
    bounded = sa.select(sa.literal_column("1").label("one")).select_from(_table_clause(schema, table)) \
        .limit(ROW_COUNT_LIMIT + 1).subquery()
    try:
        count = int(conn.execute(sa.select(sa.func.count()).select_from(bounded)).scalar_one())
    except sa.exc.DBAPIError as exc:
        conn.rollback()
        log.warning("row count of %s not read: %s", table, _scrub(str(exc.orig), conn.engine.url))
        return 0, False
    if count <= ROW_COUNT_LIMIT:
        return count, True
    estimate = reader.estimated_rows(schema, table)
    return (estimate if estimate and estimate > ROW_COUNT_LIMIT else ROW_COUNT_LIMIT), False


def _samples(conn: "Connection", schema: str | None, table: str, col: dict[str, Any], limit: int) -> list[Any]:
    kind = str(col["type"]).upper()
    if any(marker in kind for marker in _UNSAMPLED_TYPES):
        return []
    sa = _sqlalchemy()
    column = sa.column(col["name"])
    scan = sa.select(column).select_from(_table_clause(schema, table, col["name"])) \
        .where(column.is_not(None)).limit(SAMPLE_SCAN_ROWS).subquery()
    query = sa.select(scan.c[col["name"]]).distinct().limit(limit)
    try:
        rows = conn.execute(query).fetchall()
    except sa.exc.DBAPIError as exc:
        conn.rollback()
        log.debug("no sample values for %s.%s: %s", table, col["name"], _scrub(str(exc.orig), conn.engine.url))
        return []
    out = []
    for (value,) in rows:
        plain = _plain(value)
        if plain is not None:
            out.append(plain)
    return out


def _plain(value: Any) -> Any:
    """A sample value as a JSON-ready value for the prompt; None drops it."""
    if isinstance(value, bool) or isinstance(value, int):
        return value
    if isinstance(value, float):
        return value if value == value and value not in (float("inf"), float("-inf")) else str(value)
    if isinstance(value, (bytes, bytearray, memoryview)):
        return None
    if isinstance(value, decimal.Decimal):
        text = str(value)
    elif isinstance(value, (datetime.date, datetime.time)):
        text = value.isoformat()
    elif isinstance(value, (str, uuid.UUID, datetime.timedelta)):
        text = str(value)
    else:
        text = str(value)
    return text if len(text) <= SAMPLE_TEXT_CHARS else text[:SAMPLE_TEXT_CHARS] + "..."


class _Reader:
    """What one engine says about its tables; each method covers a batch of tables."""

    database_name: str | None = None

    def __init__(self, conn: "Connection") -> None:
        self.conn = conn

    def check_schema(self, schema: str | None, shown: str) -> str | None:
        raise NotImplementedError

    def objects(self, schema: str | None) -> list[tuple[str, str]]:
        raise NotImplementedError

    def columns(self, schema: str | None, names: Sequence[str]) -> dict[str, list[dict[str, Any]]]:
        raise NotImplementedError

    def primary_keys(self, schema: str | None, names: Sequence[str]) -> dict[str, list[str]]:
        raise NotImplementedError

    def foreign_keys(self, schema: str | None, names: Sequence[str]) -> dict[str, list[dict[str, Any]]]:
        raise NotImplementedError

    def unique_keys(self, schema: str | None, names: Sequence[str]) -> dict[str, list[list[str]]]:
        raise NotImplementedError

    def table_comments(self, schema: str | None, names: Sequence[str]) -> dict[str, str]:
        raise NotImplementedError

    def estimated_rows(self, schema: str | None, table: str) -> int | None:
        return None


class _InspectorReader(_Reader):
    """SQLAlchemy's inspector, for every dialect whose inspector reads keys."""

    def __init__(self, conn: "Connection") -> None:
        super().__init__(conn)
        sa = _sqlalchemy()
        self.sa = sa
        self.insp = sa.inspect(conn)
        self.dialect = conn.dialect
        self.kind = sa.engine.reflection.ObjectKind.ANY
        self.sqlite = self.dialect.name == "sqlite"

    def check_schema(self, schema: str | None, shown: str) -> str | None:
        if schema is None:
            return str(self.insp.default_schema_name) if self.insp.default_schema_name else None
        if not self.insp.has_schema(schema):
            known = ", ".join(self.insp.get_schema_names())
            raise ValueError(f"schema {schema!r} does not exist in {shown} (schemas: {known})")
        return schema

    def objects(self, schema: str | None) -> list[tuple[str, str]]:
        out = [(name, "table") for name in self.insp.get_table_names(schema=schema)]
        out += [(name, "view") for name in self.insp.get_view_names(schema=schema)]
        try:
            out += [(name, "materialized_view") for name in self.insp.get_materialized_view_names(schema=schema)]
        except NotImplementedError:
            pass
        return out

    def _multi(self, method: str, schema: str | None, names: Sequence[str]) -> dict[str, Any]:
        if not names:
            return {}
        result = getattr(self.insp, method)(schema=schema, filter_names=list(names), kind=self.kind)
        return {key[1]: value for key, value in result.items()}

    def columns(self, schema: str | None, names: Sequence[str]) -> dict[str, list[dict[str, Any]]]:
        out = {}
        declared = self._sqlite_declared_types(schema, names) if self.sqlite else {}
        comments = self._sqlite_comments(schema, names) if self.sqlite else {}
        for table, cols in self._multi("get_multi_columns", schema, names).items():
            out[table] = [{
                "name": c["name"],
                "type": declared.get(table, {}).get(c["name"], self._type_name(c["type"])),
                "nullable": bool(c.get("nullable", True)),
                "comment": c.get("comment") or comments.get(table, {}).get(c["name"]) or "",
            } for c in cols]
            if self.sqlite:
                keys = [c for c in out[table] if any(k["name"] == c["name"] and k.get("primary_key") for k in cols)]
                if len(keys) == 1 and keys[0]["type"].upper() == "INTEGER":
                    keys[0]["nullable"] = False  # the rowid itself: never NULL
        return out

    def _type_name(self, type_: Any) -> str:
        if isinstance(type_, self.sa.types.NullType):
            return ""
        try:
            return str(type_.compile(dialect=self.dialect))
        except Exception:
            return type(type_).__name__.upper()

    def primary_keys(self, schema: str | None, names: Sequence[str]) -> dict[str, list[str]]:
        return {t: list(pk.get("constrained_columns") or [])
                for t, pk in self._multi("get_multi_pk_constraint", schema, names).items()}

    def foreign_keys(self, schema: str | None, names: Sequence[str]) -> dict[str, list[dict[str, Any]]]:
        default = self.insp.default_schema_name
        out = {}
        for t, fks in self._multi("get_multi_foreign_keys", schema, names).items():
            out[t] = [fk for fk in fks if fk.get("referred_table")]
            if schema is not None and schema != default:
                # the inspector leaves the default schema unnamed; from another schema it must be named
                for fk in out[t]:
                    if fk.get("referred_schema") is None and default:
                        fk["referred_schema"] = default
        return out

    def unique_keys(self, schema: str | None, names: Sequence[str]) -> dict[str, list[list[str]]]:
        try:
            found = self._multi("get_multi_unique_constraints", schema, names)
        except NotImplementedError:
            return {}
        return {t: [list(u.get("column_names") or []) for u in us] for t, us in found.items()}

    def table_comments(self, schema: str | None, names: Sequence[str]) -> dict[str, str]:
        if self.sqlite:
            return {t: c[""] for t, c in self._sqlite_comments(schema, names).items() if c.get("")}
        if not getattr(self.dialect, "supports_comments", False):
            return {}
        try:
            found = self._multi("get_multi_table_comment", schema, names)
        except NotImplementedError:
            return {}
        return {t: c["text"] for t, c in found.items() if c and c.get("text")}

    def estimated_rows(self, schema: str | None, table: str) -> int | None:
        if self.dialect.name != "postgresql":
            return None
        sa = self.sa
        query = sa.text("SELECT c.reltuples FROM pg_catalog.pg_class c JOIN pg_catalog.pg_namespace n "
                        "ON n.oid = c.relnamespace WHERE c.relname = :t AND n.nspname = :s")
        try:
            value = self.conn.execute(query, {"t": table, "s": schema or self.insp.default_schema_name}).scalar()
        except sa.exc.DBAPIError:
            self.conn.rollback()
            return None
        return int(value) if value is not None and value >= 0 else None

    # SQLite keeps the declared type text and the CREATE statement itself.
    def _sqlite_prefix(self, schema: str | None) -> str:
        return f"{self.dialect.identifier_preparer.quote(schema)}." if schema else ""

    def _sqlite_declared_types(self, schema: str | None, names: Sequence[str]) -> dict[str, dict[str, str]]:
        quote = self.dialect.identifier_preparer.quote_identifier
        out = {}
        for table in names:
            rows = self.conn.exec_driver_sql(f"PRAGMA {self._sqlite_prefix(schema)}table_xinfo({quote(table)})")
            out[table] = {row[1]: row[2] or "" for row in rows}
        return out

    def _sqlite_comments(self, schema: str | None, names: Sequence[str]) -> dict[str, dict[str, str]]:
        if not hasattr(self, "_ddl_comments"):
            rows = self.conn.exec_driver_sql(
                f"SELECT name, type, sql FROM {self._sqlite_prefix(schema)}sqlite_master "
                "WHERE type IN ('table', 'view') AND sql IS NOT NULL").fetchall()
            self._ddl_comments = {name: ddl_comments(sql, kind == "table") for name, kind, sql in rows}
        return {t: self._ddl_comments[t] for t in names if t in self._ddl_comments}


class _DuckDBReader(_Reader):
    """DuckDB's own catalog functions: exact type names, comments and keys in one query each."""

    def __init__(self, conn: "Connection") -> None:
        super().__init__(conn)
        self.sa = _sqlalchemy()
        self.database_name = conn.exec_driver_sql("SELECT current_database()").scalar()

    def _schema(self, schema: str | None) -> str:
        return schema if schema is not None else str(self.conn.exec_driver_sql("SELECT current_schema()").scalar())

    def check_schema(self, schema: str | None, shown: str) -> str | None:
        rows = self.conn.execute(self.sa.text(
            "SELECT schema_name FROM duckdb_schemas() WHERE database_name = :db ORDER BY schema_name"),
            {"db": self.database_name}).scalars().all()
        if schema is not None and schema not in rows:
            raise ValueError(f"schema {schema!r} does not exist in {shown} (schemas: {', '.join(rows)})")
        return self._schema(schema)

    def _query(self, sql: str, schema: str | None, names: Sequence[str] | None = None) -> list[Any]:
        params: dict[str, Any] = {"db": self.database_name, "schema": self._schema(schema)}
        if names is not None:
            params["names"] = list(names)
        return list(self.conn.execute(self.sa.text(sql), params))

    def objects(self, schema: str | None) -> list[tuple[str, str]]:
        tables = self._query("SELECT table_name FROM duckdb_tables() WHERE database_name = :db "
                             "AND schema_name = :schema AND NOT temporary ORDER BY table_name", schema)
        views = self._query("SELECT view_name FROM duckdb_views() WHERE database_name = :db "
                            "AND schema_name = :schema AND NOT internal AND NOT temporary ORDER BY view_name", schema)
        return [(r[0], "table") for r in tables] + [(r[0], "view") for r in views]

    def columns(self, schema: str | None, names: Sequence[str]) -> dict[str, list[dict[str, Any]]]:
        out: dict[str, list[dict[str, Any]]] = {}
        for table, name, type_, nullable, comment in self._query(
                "SELECT table_name, column_name, data_type, is_nullable, comment FROM duckdb_columns() "
                "WHERE database_name = :db AND schema_name = :schema AND list_contains(:names, table_name) "
                "ORDER BY table_name, column_index", schema, names):
            out.setdefault(table, []).append(
                {"name": name, "type": type_, "nullable": bool(nullable), "comment": comment or ""})
        return out

    def _constraints(self, kind: str, schema: str | None, names: Sequence[str]) -> list[Any]:
        return self._query(
            "SELECT table_name, constraint_column_names, referenced_table, referenced_column_names "
            "FROM duckdb_constraints() WHERE database_name = :db AND schema_name = :schema "
            f"AND constraint_type = '{kind}' AND list_contains(:names, table_name) "
            "ORDER BY table_name, constraint_index", schema, names)

    def primary_keys(self, schema: str | None, names: Sequence[str]) -> dict[str, list[str]]:
        return {r[0]: list(r[1]) for r in self._constraints("PRIMARY KEY", schema, names)}

    def foreign_keys(self, schema: str | None, names: Sequence[str]) -> dict[str, list[dict[str, Any]]]:
        out: dict[str, list[dict[str, Any]]] = {}
        for table, local, target, remote in self._constraints("FOREIGN KEY", schema, names):
            out.setdefault(table, []).append({"constrained_columns": list(local), "referred_table": target,
                                              "referred_columns": list(remote), "referred_schema": None})
        return out

    def unique_keys(self, schema: str | None, names: Sequence[str]) -> dict[str, list[list[str]]]:
        out: dict[str, list[list[str]]] = {}
        for table, cols, _, _ in self._constraints("UNIQUE", schema, names):
            out.setdefault(table, []).append(list(cols))
        return out

    def table_comments(self, schema: str | None, names: Sequence[str]) -> dict[str, str]:
        rows = self._query("SELECT table_name, comment FROM duckdb_tables() WHERE database_name = :db "
                           "AND schema_name = :schema AND list_contains(:names, table_name) UNION ALL "
                           "SELECT view_name, comment FROM duckdb_views() WHERE database_name = :db "
                           "AND schema_name = :schema AND list_contains(:names, view_name)", schema, names)
        return {r[0]: r[1] for r in rows if r[1]}

    def estimated_rows(self, schema: str | None, table: str) -> int | None:
        rows = self.conn.execute(self.sa.text(
            "SELECT estimated_size FROM duckdb_tables() WHERE database_name = :db "
            "AND schema_name = :schema AND table_name = :t"),
            {"db": self.database_name, "schema": self._schema(schema), "t": table}).fetchall()
        return int(rows[0][0]) if rows and rows[0][0] is not None else None


def ddl_comments(sql: str, columns: bool = True) -> dict[str, str]:
    """Descriptions written as ``--`` comments in a CREATE statement.

    The key "" holds the comment on the CREATE line (the table's). With
    ``columns`` (the default), each column definition's trailing comment, or
    the comment lines just before it, is kept under the column's name.
    Needs no SQLAlchemy.

    Raises:
        TypeError: sql is not a str.
    """
    if not isinstance(sql, str):
        raise TypeError(f"sql must be a str, not {type(sql).__name__}")
    out: dict[str, str] = {}
    pending: list[str] = []          # own-line comments waiting for the next definition
    depth = 0
    i, n = 0, len(sql)
    line = 0                          # line number of the current position
    piece: list[str] = []             # text of the definition being read
    piece_line = -1                   # line where it started (first non-blank character)
    last_name, last_line = None, -1   # the definition ended most recently and the line it ended on
    while i < n:
        ch = sql[i]
        if ch == "\n":
            line += 1
            if depth == 1:
                piece.append(" ")
            i += 1
            continue
        if ch == "-" and sql.startswith("--", i):
            end = sql.find("\n", i)
            end = n if end < 0 else end
            text = sql[i + 2:end].strip()
            i = end
            if not text:
                continue
            if line == 0 and (depth == 0 or (not piece and last_name is None)):
                out.setdefault("", text)
                continue
            if not columns:
                continue
            if depth == 0:
                if last_name and last_line == line:
                    out.setdefault(last_name, text)
                continue
            if piece and piece_line == line:
                name = _definition_name("".join(piece))
                if name:
                    out.setdefault(name, text)
            elif last_name and last_line == line:
                out.setdefault(last_name, text)
            else:
                pending.append(text)
            continue
        if ch == "/" and sql.startswith("/*", i):
            end = sql.find("*/", i + 2)
            end = n if end < 0 else end + 2
            line += sql.count("\n", i, end)
            i = end
            continue
        if ch in "'\"`[":
            close = "]" if ch == "[" else ch
            j = i + 1
            while j < n:
                if sql[j] == close:
                    if close != "]" and j + 1 < n and sql[j + 1] == close:
                        j += 2
                        continue
                    break
                j += 1
            token = sql[i:j + 1]
            line += token.count("\n")
            if depth == 1:
                if not piece:
                    piece_line = line
                piece.append(token)
            i = j + 1
            continue
        if ch == "(":
            depth += 1
            if depth == 1:
                i += 1
                continue
        elif ch == ")":
            depth -= 1
            if depth == 0:
                last_name, last_line = _finish(piece, pending, out, line, columns)
                piece = []
                i += 1
                continue
        elif ch == "," and depth == 1:
            last_name, last_line = _finish(piece, pending, out, line, columns)
            piece = []
            i += 1
            continue
        if depth >= 1:
            if not piece and not ch.isspace():
                piece_line = line
            if piece or not ch.isspace():
                piece.append(ch)
        i += 1
    return out


def _finish(piece: list[str], pending: list[str], out: dict[str, str], line: int,
            columns: bool) -> tuple[str | None, int]:
    name = _definition_name("".join(piece)) if piece else None
    if name and columns and pending:
        out.setdefault(name, " ".join(pending))
    pending.clear()
    return name, line


_CONSTRAINT_WORDS = {"constraint", "primary", "foreign", "unique", "check"}


def _definition_name(text: str) -> str | None:
    """The column a definition names; None for table constraints."""
    text = text.strip()
    if not text:
        return None
    first = text[0]
    if first in "\"`[":
        close = "]" if first == "[" else first
        j = 1
        out = []
        while j < len(text):
            if text[j] == close:
                if close != "]" and j + 1 < len(text) and text[j + 1] == close:
                    out.append(close)
                    j += 2
                    continue
                break
            out.append(text[j])
            j += 1
        return "".join(out)
    word = text.split(None, 1)[0]
    return None if word.lower() in _CONSTRAINT_WORDS else word


class _Progress:
    """A one-line progress bar on standard error, cleared when done."""

    def __init__(self, total: int, label: str, enabled: bool | None, stream: TextIO | None = None) -> None:
        self.stream = stream or sys.stderr
        self.total = max(total, 1)
        self.label = label if len(label) <= 48 else label[:45] + "..."
        self.done = 0
        self.started = time.monotonic()
        self.shown_at = 0.0
        self.drawn = False
        if enabled is None:
            try:
                enabled = bool(self.stream.isatty())
            except (AttributeError, ValueError):
                enabled = False
            self.delay = 0.5  # a quick reflection shows nothing
        else:
            self.delay = 0.0
        self.enabled = enabled

    def advance(self, steps: int) -> None:
        self.done = min(self.total, self.done + steps)
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self.started < self.delay or (self.drawn and now - self.shown_at < 0.1 and self.done < self.total):
            return
        self.shown_at = now
        width = 24
        filled = width * self.done // self.total
        self.stream.write(f"\r{self.label} [{'#' * filled}{'.' * (width - filled)}] {self.done}/{self.total}")
        self.stream.flush()
        self.drawn = True

    def close(self) -> None:
        if self.drawn:
            self.stream.write("\r\033[K")
            self.stream.flush()
