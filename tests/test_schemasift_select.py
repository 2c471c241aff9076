"""Schema selection end to end and stage by stage.

The native module is compared with the plain-Python rendering in tests/pyref
on generated catalogs, questions and configurations, on the Spider catalogs,
and on the edge cases of the selection rules.  Results are compared exactly:
same keys in the same order, same floats bit for bit, same reasons.
"""
import copy
import decimal
import fractions
import importlib.util
import inspect
import json
import pathlib
import pickle
import sys
import threading

import pytest
from hypothesis import given, strategies as st

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "bench"))

from askweave import schemasift as ss  # noqa: E402
from pyref import schemasift as ref  # noqa: E402

import catalog_gen  # noqa: E402

SPIDER = HERE.parent.parent / "shared" / "data" / "spider"


# ---------------------------------------------------------------------------
# Exact comparison and mirroring of records between the two implementations
# ---------------------------------------------------------------------------


def _fields(obj):
    fields = getattr(type(obj), "__match_args__", None)
    return None if fields is None or isinstance(obj, tuple) else fields


def exact(x):
    """A comparable form that keeps key order, container kinds, int/bool/float kinds and float bits."""
    fields = _fields(x)
    if fields is not None:
        return (type(x).__name__, [(f, exact(getattr(x, f))) for f in fields])
    if isinstance(x, dict):
        return ("dict", [(exact(k), exact(v)) for k, v in x.items()])
    if isinstance(x, (list, tuple)):
        return (type(x).__name__, [exact(v) for v in x])
    if isinstance(x, (set, frozenset)):
        return (type(x).__name__, sorted(repr(exact(v)) for v in x))
    if isinstance(x, float):
        return ("float", repr(x))
    if isinstance(x, (bool, int)):
        return (type(x).__name__, x)
    return x


def mirror(obj, mod, memo=None):
    """Rebuild ``obj`` with the records of module ``mod``, keeping shared objects shared."""
    if memo is None:
        memo = {}
    if id(obj) in memo:
        return memo[id(obj)]
    fields = _fields(obj)
    if fields is not None:
        cls = getattr(mod, type(obj).__name__)
        out = cls(*[mirror(getattr(obj, f), mod, memo) for f in fields])
    elif isinstance(obj, dict):
        out = {mirror(k, mod, memo): mirror(v, mod, memo) for k, v in obj.items()}
    elif isinstance(obj, list):
        out = [mirror(v, mod, memo) for v in obj]
    elif isinstance(obj, tuple):
        out = tuple(mirror(v, mod, memo) for v in obj)
    elif isinstance(obj, (set, frozenset)):
        out = type(obj)(mirror(v, mod, memo) for v in obj)
    else:
        return obj
    memo[id(obj)] = out
    return out


def outcome(fn):
    try:
        return ("ok", fn())
    except Exception as exc:  # the kind of error is part of the behaviour
        return ("error", type(exc).__name__, str(exc) if isinstance(exc, ValueError) else "")


def _short(value, limit=400):
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + "..."


def first_difference(a, b, path="$"):
    if type(a) is not type(b) or not isinstance(a, (tuple, list)):
        return None if a == b else f"{path}: {_short(a)} != {_short(b)}"
    if len(a) != len(b):
        return f"{path}: length {len(a)} != {len(b)}: {_short(a)} != {_short(b)}"
    for i, (x, y) in enumerate(zip(a, b)):
        label = x[0] if isinstance(x, tuple) and len(x) == 2 and isinstance(x[0], (str, tuple)) else i
        found = first_difference(x, y, f"{path}/{label}")
        if found:
            return found
    return None


def assert_same(native, oracle):
    n, r = exact(native), exact(oracle)
    if n != r:
        raise AssertionError("native differs from reference at " + str(first_difference(n, r)))


def result_view(res):
    return {
        "full": res.to_dict(include_debug=True),
        "short": res.to_dict(),
        "summary": res.metrics.summary(),
        "selected_metadata": res.selected_metadata,
        "debug": res.debug,
    }


def run_select(question, catalog, config, *, as_record=False, via_function=None, **kwargs):
    """Run one selection on both sides; returns (native, oracle) outcomes plus the catalogs afterwards."""
    sides = []
    for mod in (ss, ref):
        if as_record:
            cat = mirror(ref.CatalogNormalizer.normalize(copy.deepcopy(catalog)), mod)
        else:
            cat = copy.deepcopy(catalog)
        kw = copy.deepcopy(kwargs)
        if via_function is not None:
            res = outcome(lambda: mod.select_metadata(question, cat, **via_function, **kw))
        else:
            sift = mod.SchemaSift(mirror(config, mod))
            res = outcome(lambda: sift.select(question, cat, **kw))
        if res[0] == "ok":
            res = ("ok", result_view(res[1]))
        sides.append((res, cat))
    (n_res, n_cat), (r_res, r_cat) = sides
    return n_res, r_res, n_cat, r_cat


def check_select(question, catalog, config, **kwargs):
    n_res, r_res, n_cat, r_cat = run_select(question, catalog, config, **kwargs)
    assert_same(n_res, r_res)
    assert_same(n_cat, r_cat)
    return n_res


# ---------------------------------------------------------------------------
# Generated catalogs, questions and configurations
# ---------------------------------------------------------------------------

BUSINESS_WORDS = [
    "order", "orders", "sales", "revenue", "customer", "customers", "region", "status", "type",
    "category", "amount", "total", "date", "created", "month", "product", "price", "qty", "count",
    "id", "name", "user", "zone", "city", "country", "value", "score", "time", "year", "store",
    "item", "line", "payment", "profit", "segment", "channel", "trend", "daily", "last",
]
UNICODE_WORDS = [
    "Umsatz", "straße", "ÄRGER", "ΟΔΟΣ", "İstanbul", "名前", "café", "ǅemal", "ﬁle", "Ⅻ", "٣", "x²", "ΣΑΣ",
]
TRIGGERS = [
    "top 5", "TOP 3", "top  10", "bottom 2", "Bottom 7", "top5", "top 5th", "top ٣", "bottom\u00a04",
    "by", "BY", "monthly", "weekly", "trend", "count", "total", "status", "type", "category",
    "show records", "all records", "raw data", "last", "daily", "sum", "average", "per",
    "the", "of", "and", "for", "table view", "orders", "sales orders", "order date",
]
COLUMN_TYPES = [
    "Int64", "String", "Date", "DateTime", "Float64", "varchar(20)", "bool", "timestamp", "",
    "Decimal(18,2)", "LowCardinality(String)", "text", "number",
]
ROLES = list(ref._COLUMN_ROLES) + ["measure", "category", "timestamp", "Metric ", "bogus", None, ""]

piece = st.one_of(
    st.sampled_from(BUSINESS_WORDS),
    st.sampled_from(UNICODE_WORDS),
    st.text(st.characters(codec="utf-8", categories=("L", "N")), min_size=1, max_size=5),
)


@st.composite
def identifiers(draw):
    parts = draw(st.lists(piece, min_size=1, max_size=3))
    style = draw(st.sampled_from(["_", "", "camel", "-", ".", " ", "__"]))
    if style == "camel":
        name = parts[0] + "".join(p[:1].upper() + p[1:] for p in parts[1:])
    else:
        name = style.join(parts)
    case = draw(st.sampled_from(["as", "upper", "title", "lower"]))
    name = {"as": name, "upper": name.upper(), "title": name.title(), "lower": name.lower()}[case]
    if draw(st.booleans()):
        name += str(draw(st.integers(0, 99)))
    return name


phrases = st.lists(st.one_of(st.sampled_from(BUSINESS_WORDS), identifiers()), min_size=1, max_size=3).map(" ".join)
sample_values = st.lists(
    st.one_of(st.integers(-5, 10**6), st.floats(allow_nan=False, width=32), st.sampled_from(["EU", "Nord", "Ü"]),
              st.none(), st.booleans()),
    max_size=7,
)


def maybe(strategy):
    return st.one_of(st.none(), strategy)


@st.composite
def loose_columns(draw, pool):
    cols = []
    for _ in range(draw(st.integers(0, 7))):
        col = {}
        name = draw(st.sampled_from(pool))
        col[draw(st.sampled_from(["name", "name", "column_name", "column"]))] = name
        if draw(st.booleans()):
            col[draw(st.sampled_from(["type", "data_type"]))] = draw(st.sampled_from(COLUMN_TYPES))
        if draw(st.booleans()):
            col[draw(st.sampled_from(["description", "comment"]))] = draw(phrases)
        if draw(st.booleans()):
            col[draw(st.sampled_from(["synonyms", "aliases"]))] = draw(st.lists(phrases, max_size=3))
        if draw(st.booleans()):
            col["role"] = draw(st.sampled_from(ROLES))
        if draw(st.booleans()):
            col["tags"] = draw(st.lists(phrases, max_size=2))
        if draw(st.integers(0, 3)) == 0:
            col[draw(st.sampled_from(["is_primary_key", "primary_key"]))] = draw(st.sampled_from([True, 1, False]))
        if draw(st.integers(0, 3)) == 0:
            col[draw(st.sampled_from(["is_foreign_key", "foreign_key"]))] = True
        if draw(st.booleans()):
            col[draw(st.sampled_from(["sample_values", "samples"]))] = draw(sample_values)
        if draw(st.integers(0, 5)) == 0:
            col["pii"] = draw(st.sampled_from(["low", 3, None]))
        cols.append(col)
    if cols and draw(st.integers(0, 4)) == 0:
        keyed = {}
        for col in cols:
            c = dict(col)
            key = c.pop("name", None) or c.pop("column_name", None) or c.pop("column", None)
            if key:
                keyed[key] = c
        return keyed
    return cols


@st.composite
def loose_relationships(draw, names):
    rels = []
    for _ in range(draw(st.integers(0, 4))):
        left, right = draw(st.sampled_from(["from", "left", "source"])), draw(st.sampled_from(["to", "right", "target"]))
        rel = {
            f"{left}_table": draw(st.sampled_from(names)),
            f"{left}_column": draw(st.sampled_from(["id", "customer_id", "order_id", "x"])),
            f"{right}_table": draw(st.sampled_from(names)),
            f"{right}_column": draw(st.sampled_from(["id", "customer_id", "order_id"])),
        }
        if draw(st.booleans()):
            rel[draw(st.sampled_from(["relationship_type", "type"]))] = draw(st.sampled_from(["one_to_many", "one_to_one", ""]))
        if draw(st.booleans()):
            rel["description"] = draw(phrases)
        if draw(st.integers(0, 4)) == 0:
            rel["confidence"] = draw(st.sampled_from([0.5, [1, 2], {"k": "v"}]))
        rels.append(rel)
    return rels


@st.composite
def loose_catalogs(draw):
    table_pool = draw(st.lists(identifiers(), min_size=1, max_size=6))
    column_pool = draw(st.lists(identifiers(), min_size=1, max_size=8)) + ["id", "order_date", "status", "revenue"]
    tables = []
    for _ in range(draw(st.integers(0, 6))):
        t = {}
        name = draw(st.sampled_from(table_pool))
        t[draw(st.sampled_from(["table_name", "table_name", "name", "table", "source"]))] = name
        if draw(st.booleans()):
            t[draw(st.sampled_from(["business_name", "display_name"]))] = draw(phrases)
        if draw(st.booleans()):
            t[draw(st.sampled_from(["description", "comment"]))] = draw(phrases)
        if draw(st.booleans()):
            t["tags"] = draw(st.lists(phrases, max_size=3))
        t["columns"] = draw(loose_columns(column_pool))
        for key in ("default_date_column", "default_metric_column"):
            if draw(st.booleans()):
                t[key] = draw(st.one_of(st.sampled_from(column_pool), st.sampled_from(["", None, 0])))
        if draw(st.booleans()):
            t["row_count"] = draw(st.one_of(st.none(), st.integers(0, 10**9)))
        if draw(st.integers(0, 3)) == 0:
            t[draw(st.sampled_from(["joins", "relationships"]))] = draw(loose_relationships(table_pool))
        if draw(st.integers(0, 5)) == 0:
            t["owner"] = "team ä"
        tables.append(t)
    catalog = {}
    if draw(st.booleans()):
        catalog[draw(st.sampled_from(["database", "database_name", "db"]))] = draw(st.sampled_from(["shop", "Lager", ""]))
    if tables and draw(st.integers(0, 4)) == 0:
        keyed = {}
        for t in tables:
            t = dict(t)
            key = t.pop("table_name", None) or t.pop("name", None) or t.pop("table", None) or t.pop("source", None)
            keyed[key] = t
        catalog["tables"] = keyed
    else:
        catalog["tables"] = tables
    if draw(st.booleans()):
        catalog[draw(st.sampled_from(["relationships", "joins"]))] = draw(loose_relationships(table_pool))
    return catalog, table_pool, column_pool


def catalog_words(catalog):
    words = []

    def walk(x):
        if isinstance(x, str):
            words.append(x)
        elif isinstance(x, dict):
            for k, v in x.items():
                walk(k)
                walk(v)
        elif isinstance(x, list):
            for v in x:
                walk(v)

    walk(catalog)
    return words or ["orders"]


@st.composite
def questions(draw, catalog):
    words = catalog_words(catalog)
    parts = draw(st.lists(st.one_of(st.sampled_from(words), st.sampled_from(TRIGGERS), st.sampled_from(BUSINESS_WORDS)),
                          min_size=1, max_size=8))
    q = " ".join(parts)
    q = draw(st.sampled_from([q, q.lower(), q.upper(), " " + q + "  ", q.title()]))
    return q


weights = st.one_of(st.sampled_from([0.0, 1.0, 2.0, 4.0, 8.0, 10.0, -1.5, 0.1]), st.integers(0, 12))


@st.composite
def configs(draw, strategy=None):
    cfg = ref.SelectorConfig()
    cfg.strategy = strategy or draw(st.sampled_from(["lexical", "lexical", "tfidf", "embedding", "hybrid", "other"]))
    # vector scores stay off here so that the comparison needs no optional library
    # (a strategy outside the four fits nothing, so TF-IDF may be switched on for it too)
    cfg.use_tfidf_if_available = cfg.strategy in ("lexical", "other") and draw(st.booleans())
    cfg.use_embeddings_if_available = False
    cfg.top_k_tables = draw(st.integers(0, 5))
    cfg.max_columns_per_table = draw(st.integers(0, 30))
    cfg.min_table_score = draw(st.sampled_from([0.03, 0.0, 0.2, 0.5, 1, -1.0, 100.0]))
    cfg.min_column_score = draw(st.sampled_from([0.02, 0.0, 0.3, 0.6, 1, -1.0]))
    for flag in ("include_relationships", "include_neighbor_tables_for_joins", "include_primary_keys",
                 "include_foreign_keys", "include_default_date_on_time_intent",
                 "include_default_metric_on_metric_intent", "include_descriptions", "include_synonyms",
                 "include_sample_values", "include_debug"):
        setattr(cfg, flag, draw(st.booleans()))
    cfg.max_output_chars = draw(st.one_of(st.none(), st.just(0), st.integers(1, 600), st.just(10**6), st.just(-3)))
    cfg.token_chars_per_token = draw(st.sampled_from([4.0, 1, 2.5, 3.3]))
    cfg.max_sample_values_per_column = draw(st.integers(-2, 6))
    if draw(st.booleans()):
        for w in ("table_name_weight", "table_business_name_weight", "table_tag_weight", "table_description_weight",
                  "column_name_weight", "column_synonym_weight", "column_tag_weight", "column_description_weight",
                  "role_intent_weight", "exact_phrase_bonus"):
            setattr(cfg, w, draw(weights))
    if draw(st.booleans()):
        cfg.lexical_alpha = draw(st.sampled_from([0.7, 0.0, 1, 0.33]))
    return cfg


@st.composite
def constraints(draw, table_pool, column_pool):
    kw = {}
    names = table_pool + ["missing_table"]
    if draw(st.booleans()):
        kw["required_tables"] = draw(st.lists(st.sampled_from(names), max_size=4))
    if draw(st.booleans()):
        kw["excluded_tables"] = draw(st.lists(st.sampled_from(names), max_size=2))
    for key in ("required_columns", "excluded_columns"):
        if draw(st.booleans()):
            kw[key] = draw(st.dictionaries(st.sampled_from(names), st.lists(st.sampled_from(column_pool), max_size=3),
                                           max_size=3))
    if draw(st.booleans()):
        kw["database"] = draw(st.sampled_from(["", "warehouse", "Größe"]))
    return kw


@given(st.data())
def test_select_matches_reference_on_generated_catalogs(data):
    catalog, table_pool, column_pool = data.draw(loose_catalogs())
    question = data.draw(questions(catalog))
    config = data.draw(configs())
    kwargs = data.draw(constraints(table_pool, column_pool))
    as_record = data.draw(st.booleans())
    res = check_select(question, catalog, config, as_record=as_record, **kwargs)
    assert res[0] == "ok" or res[1] in ("TypeError", "ValueError")


@given(st.data())
def test_select_metadata_matches_reference_on_generated_catalogs(data):
    catalog, _, _ = data.draw(loose_catalogs())
    question = data.draw(questions(catalog))
    options = {
        "strategy": "lexical",
        "top_k_tables": data.draw(st.one_of(st.integers(-1, 5), st.floats(0, 5), st.booleans(),
                                            st.just(fractions.Fraction(7, 2)), st.just(decimal.Decimal("2.9")))),
        "max_columns_per_table": data.draw(st.integers(0, 30)),
        "max_output_chars": data.draw(st.one_of(st.none(), st.integers(0, 500), st.just(10**6), st.just(250.7))),
        "include_debug": data.draw(st.sampled_from([True, False, 0, "yes"])),
        "use_embeddings": data.draw(st.booleans()),
    }
    database = data.draw(st.sampled_from([None, "", "dw"]))
    n_res, r_res, n_cat, r_cat = run_select(question, catalog, None, via_function=options, database=database)
    assert_same(n_res, r_res)


ODD_VALUES = [5, None, 2.5, ["x"], ("a", "b"), b"x", True, "", "ΟΔΟΣ", {"k": 1}]
TABLE_FIELDS = ["table_name", "business_name", "description", "tags", "columns", "default_date_column",
                "default_metric_column", "row_count", "extra"]
COLUMN_FIELDS = ["name", "type", "description", "synonyms", "role", "tags", "nullable", "is_primary_key",
                 "is_foreign_key", "sample_values", "extra"]
REL_FIELDS = ["from_table", "from_column", "to_table", "to_column", "relationship_type", "description", "extra"]


def holds_columns(table):
    # an earlier draw may have replaced the column list with an odd value
    return isinstance(table.columns, list) and table.columns and all(
        isinstance(c, ref.ColumnMeta) for c in table.columns)


@given(st.data())
def test_select_on_records_holding_odd_values_matches_reference(data):
    loose, table_pool, column_pool = data.draw(loose_catalogs())
    catalog = ref.CatalogNormalizer.normalize(loose)
    for _ in range(data.draw(st.integers(1, 3))):
        where = data.draw(st.sampled_from(["table", "column", "relationship", "list item"]))
        value = data.draw(st.sampled_from(ODD_VALUES))
        if where == "table" and catalog.tables:
            setattr(data.draw(st.sampled_from(catalog.tables)), data.draw(st.sampled_from(TABLE_FIELDS)), value)
        elif where == "column" and any(map(holds_columns, catalog.tables)):
            table = data.draw(st.sampled_from([t for t in catalog.tables if holds_columns(t)]))
            field = data.draw(st.sampled_from(COLUMN_FIELDS))
            if field == "role" and isinstance(value, (list, dict)):
                value = 5  # a role is compared against sets of role texts: it must at least be hashable
            if field == "sample_values" and not isinstance(value, (list, tuple, str, bytes)):
                value = ("a", "b")  # sample lists that cannot be cut: test_documents_are_built_on_every_call
            setattr(data.draw(st.sampled_from(table.columns)), field, value)
        elif where == "relationship" and catalog.relationships:
            setattr(data.draw(st.sampled_from(catalog.relationships)), data.draw(st.sampled_from(REL_FIELDS)), value)
        elif where == "list item":
            catalog.tables.append(ref.TableMeta("t9", tags=[value], columns=[ref.ColumnMeta("c", synonyms=[value])]))
    question = data.draw(questions(loose))
    config = data.draw(configs(strategy="lexical"))
    kwargs = data.draw(constraints(table_pool, column_pool))
    results = []
    for mod in (ss, ref):
        cat = mirror(catalog, mod)
        res = outcome(lambda: mod.SchemaSift(mirror(config, mod)).select(question, cat, **copy.deepcopy(kwargs)))
        results.append(((res[0], result_view(res[1])) if res[0] == "ok" else res, cat))
    assert_same(results[0], results[1])


def test_generated_business_catalogs_match_reference():
    for seed in range(3):
        catalog = catalog_gen.make_catalog(40, 15, seed=seed)
        for i, question in enumerate(catalog_gen.make_questions(catalog, 25, seed=seed)):
            config = ref.SelectorConfig(strategy="lexical", top_k_tables=1 + i % 5, max_output_chars=[None, 3000, 400][i % 3])
            required = [catalog["tables"][i]["table_name"]] if i % 4 == 0 and "table_name" in catalog["tables"][i] else None
            check_select(question, catalog, config, required_tables=required)


def test_catalog_hash_and_size_of_a_catalog_of_several_megabytes():
    # written and hashed in pieces: every piece boundary must be invisible
    catalog = catalog_gen.make_catalog(700, 20, seed=5)
    for i in range(0, 700, 37):
        catalog["tables"][i]["description"] = "\u00fcn\u00efc\u00f8d\u00e9 \ud800 \U0001f600 \x00 " * (i % 90)
    config = ref.SelectorConfig(strategy="lexical")
    got = ss.SchemaSift(mirror(config, ss)).select("revenue by region", catalog).metrics
    want = ref.SchemaSift(config).select("revenue by region", catalog).metrics
    assert want.input_chars > 2_000_000
    assert (got.catalog_hash, got.input_chars, got.input_estimated_tokens) == (
        want.catalog_hash, want.input_chars, want.input_estimated_tokens)


def test_catalog_hash_of_catalogs_asked_in_turn():
    # the digest of the last catalog text is kept: a change in any piece of
    # the text, a longer or shorter text, and calls from several threads must
    # each still hash their own text
    base = catalog_gen.make_catalog(120, 20, seed=7)  # several pieces of text

    def changed(i, text):
        c = copy.deepcopy(base)
        c["tables"][i]["description"] = text
        return c

    longer = copy.deepcopy(base)
    longer["tables"].append(copy.deepcopy(base["tables"][0]))
    catalogs = [base, base, changed(0, "x"), changed(-1, "y"), changed(60, "\u00e9"), longer, base,
                ref.demo_catalog(), ref.demo_catalog(), changed(60, "z"), base]

    def want(catalog):
        d = ref.CatalogNormalizer.normalize(catalog).to_prompt_dict()
        return ref.stable_hash(d), len(ref._dumps(d))

    expected = [want(c) for c in catalogs]
    assert len(set(expected)) == 7 and expected[0][1] > 600_000
    sifter = ss.SchemaSift(ss.SelectorConfig(strategy="lexical"))

    def got(catalog):
        m = sifter.select("revenue by region", catalog).metrics
        return m.catalog_hash, m.input_chars

    for catalog, w in zip(catalogs, expected):
        assert got(catalog) == w
        assert got(ss.CatalogNormalizer.normalize(catalog)) == w
    seen = {i: [] for i in range(2)}

    def work(i):
        for k in range(12):
            j = (k + i) % 3 + 4
            seen[i].append((j, got(catalogs[j])))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(h == expected[j] for i in seen for j, h in seen[i]) and len(seen[0]) == len(seen[1]) == 12


# ---------------------------------------------------------------------------
# Spider catalogs
# ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def spider():
    if not (SPIDER / "catalogs.json").exists() or not (SPIDER / "dev.jsonl").exists():
        pytest.skip("Spider data not present")
    catalogs = json.loads((SPIDER / "catalogs.json").read_text(encoding="utf-8"))
    rows = [json.loads(line) for line in (SPIDER / "dev.jsonl").read_text(encoding="utf-8").splitlines() if line.strip()]
    return catalogs, rows


def test_every_spider_dev_question_on_its_database(spider):
    catalogs, rows = spider
    assert len(rows) == 1034
    config = ref.SelectorConfig(strategy="lexical")
    for row in rows:
        check_select(row["question"], catalogs[row["db_id"]], config)


def test_spider_sample_on_merged_catalog(spider):
    _, rows = spider
    merged = catalog_gen.load_spider_merged(SPIDER / "catalogs.json")
    native_cat = ss.CatalogNormalizer.normalize(merged)
    oracle_cat = ref.CatalogNormalizer.normalize(merged)
    for i, row in enumerate(rows[::37]):
        config = ref.SelectorConfig(strategy="lexical", top_k_tables=3 + i % 4, max_output_chars=[None, 2500][i % 2])
        n = ss.SchemaSift(mirror(config, ss)).select(row["question"], native_cat)
        r = ref.SchemaSift(config).select(row["question"], oracle_cat)
        assert_same(result_view(n), result_view(r))
        assert n.metrics.input_tables == 876 and n.metrics.input_columns == 4503


# ---------------------------------------------------------------------------
# Stages, one by one, with the same inputs on both sides
# ---------------------------------------------------------------------------


def both_sift(config):
    return ss.SchemaSift(mirror(config, ss)), ref.SchemaSift(config)


def call_both(method, config, *args, **kwargs):
    """Call ``method`` on both selectors with mirrored arguments; returns both outcomes and the arguments."""
    n_sift, r_sift = both_sift(config)
    n_args, n_kwargs = mirror((list(args), kwargs), ss)
    r_args, r_kwargs = copy.deepcopy((list(args), kwargs))
    n = outcome(lambda: getattr(n_sift, method)(*n_args, **n_kwargs))
    r = outcome(lambda: getattr(r_sift, method)(*r_args, **r_kwargs))
    return n, r, (n_args, n_kwargs), (r_args, r_kwargs)


def score_maps(draw, catalog):
    ids = list(ref.SchemaSift()._build_doc_texts(catalog))
    values = st.one_of(st.floats(-1, 1, allow_nan=False), st.just(0.0), st.integers(0, 1))
    return tuple(
        {doc: draw(values) for doc in ids if draw(st.booleans())} if ids and draw(st.booleans()) else {}
        for _ in range(2)
    )


@given(st.data())
def test_stage_pipeline_matches_reference(data):
    loose, table_pool, column_pool = data.draw(loose_catalogs())
    try:
        catalog = ref.CatalogNormalizer.normalize(loose)
    except TypeError:
        return
    question = data.draw(questions(loose))
    config = data.draw(configs(strategy=data.draw(st.sampled_from(["lexical", "tfidf", "embedding", "hybrid"]))))
    intent = ref.IntentParser().parse(question)
    assert_same(ss.IntentParser().parse(question), intent)
    # an intent built by the caller may hold stopwords, which no document token equals
    intent.tokens += data.draw(st.lists(st.sampled_from(sorted(ref.DEFAULT_STOPWORDS)), max_size=3))
    tfidf, emb = score_maps(data.draw, catalog)
    required = set(data.draw(st.lists(st.sampled_from(table_pool + ["nope"]), max_size=3)))

    n, r, _, _ = call_both("_build_doc_texts", config, catalog)
    assert_same(n, r)

    for table in catalog.tables:
        n, r, _, _ = call_both("_lexical_score_table", config, question, table, intent)
        assert_same(n, r)
        for col in table.columns:
            n, r, _, _ = call_both("_lexical_score_column", config, question, table, col, intent)
            assert_same(n, r)

    kw = dict(question=question, catalog=catalog, intent=intent, tfidf_scores=tfidf, embedding_scores=emb,
              required_tables=required)
    n_scored, r_scored, _, _ = call_both("_score_tables", config, **kw)
    assert_same(n_scored, r_scored)
    assert n_scored[0] == "ok"
    n_scored, r_scored = n_scored[1], r_scored[1]

    n_sift, r_sift = both_sift(config)
    n_chosen = n_sift._choose_tables(n_scored, mirror(required, ss))
    r_chosen = r_sift._choose_tables(r_scored, required)
    assert_same(n_chosen, r_chosen)
    assert all(any(x is y for y in n_scored) for x in n_chosen)  # the scored records themselves
    assert n_chosen is not n_scored

    req_cols = data.draw(st.dictionaries(st.sampled_from(table_pool), st.lists(st.sampled_from(column_pool), max_size=3), max_size=2))
    exc_cols = data.draw(st.dictionaries(st.sampled_from(table_pool), st.lists(st.sampled_from(column_pool), max_size=3), max_size=2))
    for n_st, r_st in zip(n_chosen, r_chosen):
        kw = dict(question=question, intent=intent, tfidf_scores=tfidf, embedding_scores=emb,
                  required_columns=set(req_cols.get(r_st.table.table_name, [])),
                  excluded_columns=set(exc_cols.get(r_st.table.table_name, [])))
        n_cols = n_sift._score_and_choose_columns(table=n_st.table, **mirror(kw, ss))
        r_cols = r_sift._score_and_choose_columns(table=r_st.table, **kw)
        assert_same(n_cols, r_cols)
        assert all(any(sc.column is c for c in n_st.table.columns) for sc in n_cols)
        n_st.columns, r_st.columns = n_cols, r_cols

    n_native_catalog = mirror(catalog, ss)
    # relationships come from the catalog handed in, as its own records
    n_rels = n_sift._select_relationships(n_native_catalog, n_chosen)
    r_rels = r_sift._select_relationships(catalog, r_chosen)
    assert_same(n_rels, r_rels)
    assert all(any(x is y for y in n_native_catalog.relationships) for x in n_rels)

    n_meta = n_sift._build_selected_metadata(n_native_catalog, n_chosen, n_rels)
    r_meta = r_sift._build_selected_metadata(catalog, r_chosen, r_rels)
    assert_same(n_meta, r_meta)

    before = copy.deepcopy(n_meta)
    n_out = n_sift._apply_output_budget(n_meta)
    r_out = r_sift._apply_output_budget(r_meta)
    assert_same(n_out, r_out)
    assert_same(n_meta, before)  # the argument is never modified
    assert (n_out is n_meta) == (r_out is r_meta)


@given(st.data())
def test_ensure_intent_columns_matches_reference(data):
    names = st.sampled_from(["a", "b", "c", "order_date", "revenue"])
    columns = data.draw(st.lists(st.builds(ref.ColumnMeta, names, role=st.sampled_from(ROLES[:10])), max_size=8))
    table = ref.TableMeta("t", columns=columns)
    ranked = [ref.ScoredColumn(c, data.draw(st.floats(-1, 2)), ["r"]) for c in columns]
    selected = data.draw(st.lists(st.sampled_from(ranked), max_size=4)) if ranked else []
    intent = ref.QueryIntent("q", has_time_filter=data.draw(st.booleans()), wants_trend=data.draw(st.booleans()),
                             wants_metric=data.draw(st.booleans()), wants_grouping=data.draw(st.booleans()))
    n_table, n_ranked, n_selected, n_intent = mirror([table, ranked, selected, intent], ss)
    n_sift, r_sift = both_sift(ref.SelectorConfig())
    n_out = n_sift._ensure_intent_columns(n_table, n_ranked, n_selected, n_intent)
    r_out = r_sift._ensure_intent_columns(table, ranked, selected, intent)
    assert n_out is n_selected  # extended in place and returned
    assert_same(n_out, r_out)
    assert len(n_out) - len(mirror(selected, ss)) <= 3


token_sets = st.sets(st.sampled_from(BUSINESS_WORDS + ["a1", "z_", "0"]), max_size=12)


@given(q=token_sets, doc=st.one_of(token_sets, st.frozensets(st.sampled_from(BUSINESS_WORDS))),
       weight=st.one_of(st.floats(allow_nan=False, allow_infinity=False), st.integers(-3, 20), st.booleans()),
       label=st.sampled_from(["column name", "", "名前"]))
def test_token_overlap_score_matches_reference(q, doc, weight, label):
    n_reasons, r_reasons = ["kept"], ["kept"]
    n = ss.SchemaSift()._token_overlap_score(q, doc, weight, n_reasons, label)
    r = ref.SchemaSift()._token_overlap_score(q, doc, weight, r_reasons, label)
    assert_same((n, n_reasons), (r, r_reasons))


@given(score=st.one_of(st.floats(), st.integers(-10**20, 10**20)))
def test_normalize_lexical_matches_reference(score):
    assert_same(outcome(lambda: ss.SchemaSift()._normalize_lexical(score)),
                outcome(lambda: ref.SchemaSift()._normalize_lexical(score)))


reals = st.one_of(st.floats(-2, 2), st.just(0.0), st.just(-0.0), st.integers(-2, 2), st.booleans())


@given(strategy=st.sampled_from(["lexical", "tfidf", "embedding", "hybrid", "mixed"]),
       alphas=st.tuples(reals, reals, reals), scores=st.tuples(reals, reals, reals))
def test_blend_scores_matches_reference(strategy, alphas, scores):
    config = ref.SelectorConfig(strategy=strategy, lexical_alpha=alphas[0], tfidf_alpha=alphas[1],
                                embedding_alpha=alphas[2])
    n, r, _, _ = call_both("_blend_scores", config, *scores)
    assert_same(n, r)


@given(before=st.one_of(st.integers(-5, 10**6), st.floats(-5, 1e6), st.booleans(), st.just(decimal.Decimal("7.9"))),
       after=st.one_of(st.integers(-5, 10**6), st.just(fractions.Fraction(5, 2))))
def test_reduction_percent_matches_reference(before, after):
    assert_same(outcome(lambda: ss.SchemaSift._reduction_percent(before, after)),
                outcome(lambda: ref.SchemaSift._reduction_percent(before, after)))


spaces = st.sampled_from([" ", "  ", "\t", "\u00a0", "\u3000", "\n", ""])
digits = st.text(st.characters(categories=("Nd",)), min_size=1, max_size=25)


@given(prefix=st.sampled_from(["", "show ", "by ", "x"]), word=st.sampled_from(["top", "TOP", "Top", "bottom", "BOTTOM", "tops"]),
       space=spaces, number=digits, tail=st.sampled_from(["", " items", "th", "5", " by region", " monthly trend"]),
       rest=st.sampled_from(["", " bottom 3", " top 2 top 9", " show records", " last month", "by"]))
def test_intent_parser_matches_reference(prefix, word, space, number, tail, rest):
    question = prefix + word + space + number + tail + rest
    assert_same(ss.IntentParser().parse(question), ref.IntentParser().parse(question))


@given(st.lists(st.sampled_from(list("ab BY tOp0123٣\u00a0\t") + ["monthly", "records", "show "]), max_size=30).map("".join))
def test_intent_parser_matches_reference_on_odd_text(question):
    assert_same(ss.IntentParser().parse(question), ref.IntentParser().parse(question))


metric_values = st.tuples(*[st.integers(0, 10**6)] * 8, *[st.floats(0, 100)] * 4, st.floats(0, 1000), st.text(max_size=8))


@given(metric_values)
def test_metrics_summary_and_result_dict_match_reference(values):
    n = ss.SelectionMetrics(*values)
    r = ref.SelectionMetrics(*values)
    assert n.summary() == r.summary()
    intent = ref.IntentParser().parse("top 5 revenue by region")
    n_res = ss.MetadataSelectionResult({"tables": []}, n, mirror(intent, ss), {"k": [1]})
    r_res = ref.MetadataSelectionResult({"tables": []}, r, intent, {"k": [1]})
    for flag in (False, True, 0, 1, "", "x", None):
        assert_same(n_res.to_dict(flag), r_res.to_dict(flag))


def test_summary_rounds_from_the_binary_value():
    m = ss.SelectionMetrics(10, 120, 2, 9, 0, 0, 3000, 250, 80.0, 92.5, 0.0, 91.66666, 12.0, "h")
    assert m.summary() == (
        "tables 10 → 2 (80.0% cut), columns 120 → 9 (92.5% cut), tokens ~3000 → ~250 (91.7% cut), compression 12.00x"
    )
    # 0.25 and 0.125 are exact ties; 2.675 lies below its decimal spelling
    for pct, ratio in ((0.25, 0.125), (0.35, 2.675), (99.95, 0.005), (0.05, 1.005)):
        m = ss.SelectionMetrics(1, 1, 1, 1, 0, 0, 1, 1, pct, pct, 0.0, pct, ratio, "")
        assert m.summary() == ref.SelectionMetrics(1, 1, 1, 1, 0, 0, 1, 1, pct, pct, 0.0, pct, ratio, "").summary()


# ---------------------------------------------------------------------------
# Driver edge cases
# ---------------------------------------------------------------------------


def demo_record(mod=ss):
    return mod.CatalogNormalizer.normalize(ref.demo_catalog())


@pytest.mark.parametrize("question", ["", " ", "   \t\n", "\u3000\u00a0", "\x1c\x1d\x1e\x1f", "\x85\u2028\u2029\u200a"])
def test_blank_question_is_rejected_before_the_catalog_is_touched(question):
    cat = demo_record()
    for catalog in (cat, {}, {"tables": "not a list"}):
        with pytest.raises(ValueError, match="^question is required$"):
            ss.SchemaSift().select(question, catalog, excluded_tables=["sales_orders"], database="other")
    assert [t.table_name for t in cat.tables] == ["sales_orders", "customers"] and cat.database == "sales_demo"
    with pytest.raises(ValueError, match="^question is required$"):
        ss.select_metadata(question, {})


def test_select_metadata_binds_arguments_as_its_plain_def_does():
    cat = ref.demo_catalog()
    good = [(("revenue", cat), {"strategy": "lexical"}),
            ((), {"catalog": cat, "question": "revenue", "top_k_tables": 1}),
            (("revenue",), {"catalog": cat, **{"include" + "_debug": False}})]
    for args, kw in good:
        assert exact(ss.select_metadata(*args, **kw)) == exact(ref.select_metadata(*args, **kw))
    bad = [((), {}), (("q",), {}), (("q", cat, None), {}), (("q", cat), {"strategy_": "lexical"}),
           (("q", cat), {"question": "again"}), ((), {"catalog": cat})]
    for args, kw in bad:
        for mod in (ss, ref):
            with pytest.raises(TypeError, match="select_metadata"):
                mod.select_metadata(*args, **kw)


def test_question_padded_with_unicode_space_is_used_unstripped():
    q = "\u3000revenue by region\u2003"
    check_select(q, ref.demo_catalog(), ref.SelectorConfig(strategy="lexical"))
    res = ss.select_metadata(q, ref.demo_catalog(), strategy="lexical")
    assert res.intent.raw_question == q


def test_record_catalog_is_changed_in_place():
    cat = demo_record()
    tables = cat.tables
    res = ss.SchemaSift(ss.SelectorConfig(strategy="lexical")).select(
        "revenue by region", cat, excluded_tables=["customers", "ghost"], database="warehouse")
    assert cat.database == "warehouse"
    assert [t.table_name for t in cat.tables] == ["sales_orders"] and cat.tables is not tables
    assert cat.tables[0] is tables[0] and len(tables) == 2  # the old list itself is left alone
    assert len(cat.relationships) == 1  # relationships are not filtered
    assert res.metrics.input_tables == 1 and res.metrics.input_columns == 5
    # an empty database name leaves the catalog's name
    res = ss.SchemaSift(ss.SelectorConfig(strategy="lexical")).select("revenue", cat, database="")
    assert cat.database == "warehouse" and res.selected_metadata["database"] == "warehouse"
    # the loose path: a non-empty database names the normalized catalog
    loose = ref.demo_catalog()
    res = ss.select_metadata("revenue", loose, database="dw", strategy="lexical")
    assert res.selected_metadata["database"] == "dw" and loose["database"] == "sales_demo"


def test_empty_catalog():
    for catalog in ({}, {"tables": []}, ss.MetadataCatalog()):
        res = ss.select_metadata("total revenue", catalog, strategy="lexical")
        m = res.metrics
        assert (m.input_tables, m.input_columns, m.output_tables, m.output_columns) == (0, 0, 0, 0)
        assert (m.table_reduction_percent, m.column_reduction_percent, m.char_reduction_percent,
                m.token_reduction_percent) == (0.0, 0.0, 0.0, 0.0)
        text = '{"database": "", "tables": [], "relationships": []}'
        assert m.input_chars == m.output_chars == len(text)
        assert m.compression_ratio == 1.0 and m.catalog_hash == ref.stable_hash(json.loads(text))
        assert res.selected_metadata == {"database": "", "tables": [], "relationships": []}
        assert res.debug["table_rankings"] == [] and res.debug["selected_column_rankings"] == {}
    # every table excluded gives the same picture, whatever the strategy
    cat = demo_record()
    res = ss.SchemaSift().select("revenue", cat, excluded_tables=["sales_orders", "customers"])
    assert res.metrics.input_tables == 0 and res.selected_metadata["tables"] == []


def test_rankings_are_cut_at_twenty_with_ties_in_catalog_order():
    cat = {"tables": [{"table_name": f"t{i:02d}"} for i in range(25)] + [{"table_name": "revenue"}]}
    res = ss.select_metadata("revenue", cat, strategy="lexical")
    names = [e["table_name"] for e in res.debug["table_rankings"]]
    assert names == ["revenue"] + [f"t{i:02d}" for i in range(19)]
    assert len(names) == 20
    check_select("revenue", cat, ref.SelectorConfig(strategy="lexical"))
    res = ss.select_metadata("revenue", cat, strategy="lexical", include_debug=False)
    assert res.debug == {} and res.to_dict(include_debug=True)["debug"] == {}


def test_reasons_in_rankings_are_cut_at_ten():
    col = {"name": "x", "synonyms": [f"w{i}" for i in range(14)], "role": "metric"}
    cat = {"tables": [{"table_name": "t", "columns": [col]}]}
    q = " ".join(f"w{i}" for i in range(14)) + " total"
    res = ss.select_metadata(q, cat, strategy="lexical")
    reasons = res.debug["selected_column_rankings"]["t"][0]["reasons"]
    assert len(reasons) == 10 and reasons[0].startswith("column synonym overlap: w0, w1, w10, w11, w12, w13, w2, w3")
    check_select(q, cat, ref.SelectorConfig(strategy="lexical"))


def test_same_table_name_twice_keeps_one_column_ranking_entry():
    cat = {"tables": [{"table_name": "orders", "columns": [{"name": "a"}]},
                      {"table_name": "orders", "columns": [{"name": "b"}]}]}
    res = ss.select_metadata("orders", cat, strategy="lexical")
    assert list(res.debug["selected_column_rankings"]) == ["orders"]
    assert [c["column_name"] for c in res.debug["selected_column_rankings"]["orders"]] == ["b"]
    assert len(res.selected_metadata["tables"]) == 2
    check_select("orders", cat, ref.SelectorConfig(strategy="lexical"))


def test_duplicate_column_names_give_one_document():
    cols = [ss.ColumnMeta("amount", description="first"), ss.ColumnMeta("id"), ss.ColumnMeta("amount", description="second")]
    cat = ss.MetadataCatalog("db", [ss.TableMeta("t", columns=cols), ss.TableMeta("u"), ss.TableMeta("t")])
    docs = ss.SchemaSift()._build_doc_texts(cat)
    assert list(docs) == ["table::t", "column::t.amount", "column::t.id", "table::u"]
    assert "second" in docs["column::t.amount"] and docs["table::t"] == ss.TableMeta("t").searchable_text()
    assert_same(docs, ref.SchemaSift()._build_doc_texts(mirror(cat, ref)))


def test_output_budget_counts_what_remains():
    loose = ref.demo_catalog()
    for budget in (1, 200, 500, 900, 10**6):
        res = check_select("revenue by region and customer name last month", loose,
                           ref.SelectorConfig(strategy="lexical", max_output_chars=budget, top_k_tables=2))
        meta = res[1]["selected_metadata"]
        m = ss.select_metadata("revenue by region and customer name last month", loose, strategy="lexical",
                               top_k_tables=2, max_output_chars=budget).metrics
        assert m.output_tables == len(meta["tables"])
        assert m.output_columns == sum(len(t["columns"]) for t in meta["tables"])
        assert m.output_chars == len(json.dumps(meta, ensure_ascii=False))
    assert len(ss.select_metadata("revenue", loose, max_output_chars=1).selected_metadata["tables"]) == 1


def test_select_metadata_defaults_equal_default_selector():
    a = ss.select_metadata("total revenue by region", ref.demo_catalog())
    b = ss.SchemaSift(ss.SelectorConfig()).select("total revenue by region", ref.demo_catalog())
    assert_same(result_view(a), result_view(b))


def test_required_tables_beyond_top_k_and_below_threshold():
    cat = {"tables": [{"table_name": n, "columns": [{"name": "c"}]} for n in ("a", "b", "c", "d", "revenue")]}
    cfg = ref.SelectorConfig(strategy="lexical", top_k_tables=3)
    res = check_select("revenue", cat, cfg, required_tables=["d", "b", "a", "c"])
    picked = [t["table_name"] for t in res[1]["selected_metadata"]["tables"]]
    assert picked == ["a", "b", "c"]  # equal scores: catalog order; revenue is not required and drops out
    res = check_select("zzz", cat, ref.SelectorConfig(strategy="lexical", top_k_tables=0))
    assert [t["table_name"] for t in res[1]["selected_metadata"]["tables"]] == ["a"]
    res = check_select("revenue", cat, ref.SelectorConfig(strategy="lexical", top_k_tables=0), required_tables=["d", "b"])
    assert [t["table_name"] for t in res[1]["selected_metadata"]["tables"]] == ["b"]


def test_column_choice_edge_cases():
    sift = ss.SchemaSift(ss.SelectorConfig(strategy="lexical", min_column_score=0.99, max_columns_per_table=0))
    cols = [ss.ColumnMeta("qz", role="dimension"), ss.ColumnMeta("b", role="metric"), ss.ColumnMeta("c", role="metric")]
    table = ss.TableMeta("t", columns=cols, default_date_column="qz")
    intent = ss.IntentParser().parse("total")
    kw = dict(question="total", table=table, intent=intent, tfidf_scores={}, embedding_scores={})
    out = sift._score_and_choose_columns(required_columns=set(), excluded_columns=set(), **kw)
    assert [sc.column.name for sc in out] == ["b"]  # metric added although below the threshold; cut to one
    out = sift._score_and_choose_columns(required_columns={"c"}, excluded_columns={"c", "qz", "b"}, **kw)
    assert out == []  # every column excluded; a column both required and excluded never comes back
    out = sift._score_and_choose_columns(required_columns=set(), excluded_columns={"b", "c"}, **kw)
    assert [sc.column.name for sc in out] == ["qz"]  # nothing fits: the best ranked alone
    # time question: the default date column gets 0.5 and its reason
    intent = ss.IntentParser().parse("orders last month")
    out = ss.SchemaSift(ss.SelectorConfig(strategy="lexical"))._score_and_choose_columns(
        question="orders last month", table=table, intent=intent, tfidf_scores={}, embedding_scores={},
        required_columns=set(), excluded_columns=set())
    a = next(sc for sc in out if sc.column.name == "qz")
    assert a.reasons == ["default date column for time intent"] and a.score == 0.5


def test_budget_stages():
    sift = ss.SchemaSift(ss.SelectorConfig(max_output_chars=10**6))
    cols = [{"name": f"c{i}", "type": "t", "role": "unknown", "score": 0.5, "description": "d" * 30,
             "synonyms": ["s"], "sample_values": [1]} for i in range(20)]
    meta = {"database": "db", "tables": [{"table_name": f"t{j}", "score": 1.0, "columns": copy.deepcopy(cols),
                                          "description": "x" * 40} for j in range(3)],
            "relationships": [{"from_table": "t0"}], "note": ("a", decimal.Decimal("1.5"))}
    size = len(json.dumps(meta, ensure_ascii=False, default=str))
    for budget in (size, size + 1, 0, None):
        sift.config.max_output_chars = budget
        assert sift._apply_output_budget(meta) is meta
    stage1 = copy.deepcopy(meta)
    for t in stage1["tables"]:
        del t["description"]
        for c in t["columns"]:
            del c["description"], c["synonyms"], c["sample_values"]
    stage1["note"] = ["a", "1.5"]
    s1 = len(json.dumps(stage1, ensure_ascii=False))
    for budget, max_cols, keep_tables, keep_cols in ((s1, 25, 3, 20), (s1 - 1, 25, 3, 12), (s1 - 1, 4, 3, 3),
                                                     (s1 - 1, 7, 3, 3), (1, 25, 1, 12), (-1, 25, 1, 12)):
        config = ref.SelectorConfig(max_output_chars=budget, max_columns_per_table=max_cols)
        n, r, (n_args, _), _ = call_both("_apply_output_budget", config, meta)
        assert_same(n, r)
        out = n[1]
        assert out is not n_args[0] and len(out["tables"]) == keep_tables
        assert all(len(t["columns"]) == keep_cols for t in out["tables"])
        assert all("description" not in t for t in out["tables"])
        assert out["relationships"] == ([] if keep_tables == 1 else [{"from_table": "t0"}])
        assert out["note"] == ["a", "1.5"]
    # stage three on a payload without tables
    config = ref.SelectorConfig(max_output_chars=5)
    n, r, _, _ = call_both("_apply_output_budget", config, {"database": "a long database name"})
    assert_same(n, r)
    assert n[1] == {"database": "a long database name", "tables": [], "relationships": []}


def test_relationship_selection():
    rels = [ss.RelationshipMeta("a", "x", "b", "y"), ss.RelationshipMeta("a", "x", "z", "y"),
            ss.RelationshipMeta("a", "x", "b", "y"), ss.RelationshipMeta("q", "x", "r", "y")]
    cat = ss.MetadataCatalog("db", [ss.TableMeta("a"), ss.TableMeta("b")], rels)
    chosen = [ss.ScoredTable(ss.TableMeta("a"), 1.0), ss.ScoredTable(ss.TableMeta("b"), 1.0)]
    out = ss.SchemaSift()._select_relationships(cat, chosen)
    assert out == [rels[0], rels[2]] and out[0] is rels[0]
    out = ss.SchemaSift(ss.SelectorConfig(include_neighbor_tables_for_joins=True))._select_relationships(cat, chosen)
    assert out == [rels[0], rels[2], rels[1]]
    assert ss.SchemaSift(ss.SelectorConfig(include_relationships=False))._select_relationships(cat, chosen) == []


def test_output_entries():
    col = ss.ColumnMeta("c", "Int", "desc", ["s"], "metric", is_primary_key=1, is_foreign_key=0, sample_values=[1, 2, 3])
    t = ss.TableMeta("t", "T", "tdesc", columns=[col], default_date_column=0, default_metric_column="c", row_count=0)
    st_ = ss.ScoredTable(t, 0.1234565, columns=[ss.ScoredColumn(col, 2.5e-7)])
    rel = ss.RelationshipMeta("t", "c", "u", "d", extra={"k": [1]})
    cfg = ss.SelectorConfig(include_sample_values=True, max_sample_values_per_column=2)
    meta = ss.SchemaSift(cfg)._build_selected_metadata(ss.MetadataCatalog("db"), [st_], [rel])
    assert meta == {
        "database": "db",
        "tables": [{"table_name": "t", "score": 0.123456, "columns": [
            {"name": "c", "type": "Int", "role": "metric", "score": 0.0, "description": "desc", "synonyms": ["s"],
             "is_primary_key": True, "sample_values": [1, 2]}],
            "business_name": "T", "description": "tdesc", "default_metric_column": "c", "row_count": 0}],
        "relationships": [{"from_table": "t", "from_column": "c", "to_table": "u", "to_column": "d",
                           "relationship_type": "many_to_one", "description": "", "extra": {"k": [1]}}],
    }
    assert list(meta["tables"][0]["columns"][0]) == ["name", "type", "role", "score", "description", "synonyms",
                                                     "is_primary_key", "sample_values"]
    meta["tables"][0]["columns"][0]["synonyms"].append("x")
    meta["relationships"][0]["extra"]["k"].append(2)
    assert col.synonyms == ["s"] and rel.extra == {"k": [1]}
    cfg.max_sample_values_per_column = -1
    cfg.include_descriptions = cfg.include_synonyms = False
    meta = ss.SchemaSift(cfg)._build_selected_metadata(ss.MetadataCatalog("db"), [st_], [])
    assert meta["tables"][0]["columns"][0]["sample_values"] == [] and "description" not in meta["tables"][0]


def test_reduction_percent_examples():
    rp = ss.SchemaSift._reduction_percent
    assert rp(100, 25) == 75.0 and rp(0, 5) == 0.0 and rp(10, 12) == 0.0 and rp(-1, -5) == 0.0
    assert rp(3, 1) == (3 - 1) / 3 * 100 and ss.SchemaSift()._reduction_percent(7.9, 1) == rp(7, 1)
    for bad in ("5", None, [1]):
        with pytest.raises(TypeError):
            rp(bad, 1)
        with pytest.raises(TypeError):
            rp(1, bad)


def test_blend_examples():
    sift = ss.SchemaSift()
    assert sift._blend_scores(0.5, 0.4, 0.0) == (0.7 * 0.5 + 0.15 * 0.4) / (0.7 + 0.15)
    assert ss.SchemaSift(ss.SelectorConfig(lexical_alpha=0))._blend_scores(0.3, 0.0, 0.0) == 0.0
    assert ss.SchemaSift(ss.SelectorConfig(strategy="embedding"))._blend_scores(0.3, 0.9, -0.2) == -0.2
    assert ss.SchemaSift(ss.SelectorConfig(strategy="tfidf"))._blend_scores(0.3, 0.0, 0.9) == 0.3
    out = ss.SchemaSift(ss.SelectorConfig(strategy="lexical"))._blend_scores(1, 0, 0)
    assert out == 1.0 and type(out) is float
    for bad in ("0.5", None, decimal.Decimal(1)):
        with pytest.raises(TypeError):
            sift._blend_scores(bad, 0.0, 0.0)


def test_lexical_rule_examples():
    sift = ss.SchemaSift()
    intent = ss.IntentParser().parse("sales orders by order date last week")
    score, reasons = sift._lexical_score_table("sales orders by order date last week", ss.TableMeta("sales_orders"), intent)
    assert reasons == ["table name overlap: orders, sales", "exact table phrase"]
    assert score == (2 / 6 * 8 + 5) / (2 / 6 * 8 + 5 + 10)
    col = ss.ColumnMeta("order_date", role="date", synonyms=["Order Date", "date", ""])
    score, reasons = sift._lexical_score_column("sales orders by order date last week", None, col, intent)
    assert reasons == ["column name overlap: date, order", "column synonym overlap: date, order", "exact column phrase",
                       "exact synonym phrase: Order Date", "exact synonym phrase: date",
                       "date role matches time/trend intent"]
    assert sift._normalize_lexical(10.0) == 0.5 and sift._normalize_lexical(-1) == 0.0
    assert sift._normalize_lexical(0) == 0.0 and sift._normalize_lexical(float("nan")) == 0.0
    reasons = []
    sift._token_overlap_score(set("abcdefghij"), set("jihgfedcba"), 1, reasons, "x")
    assert reasons == ["x overlap: a, b, c, d, e, f, g, h"]
    # stopword-only question: no overlap, but role rules still fire
    intent = ss.IntentParser().parse("show all by")
    score, reasons = sift._lexical_score_column("show all by", None, ss.ColumnMeta("region", role="text"), intent)
    assert reasons == ["dimension role matches grouping intent"]
    intent = ss.IntentParser().parse("count by status")
    _, reasons = sift._lexical_score_column("count by status", None, ss.ColumnMeta("OrderStatus", role="dimension"), intent)
    assert reasons[-1] == "common dimension keyword match"
    _, reasons = sift._lexical_score_column("count by status", None, ss.ColumnMeta("id", role="id"), intent)
    assert reasons == ["id column useful for count intent"]


def test_intent_examples():
    i = ss.IntentParser().parse("Show total revenue by region for last 6 months")
    assert i.tokens == ["total", "revenue", "region", "last", "6", "months"]
    assert (i.metric_terms, i.dimension_terms, i.date_terms) == (["revenue", "total"], ["region"], ["last"])
    assert (i.has_time_filter, i.wants_metric, i.wants_grouping, i.wants_trend, i.wants_table_rows) == (
        True, True, True, False, False)
    i = ss.IntentParser().parse("TOP   5 and top 7 and bottom 3 by")
    assert (i.top_n, i.bottom_n, i.wants_metric, i.wants_grouping) == (5, 3, True, True)
    assert ss.IntentParser().parse("top5 top 5th").top_n is None
    assert ss.IntentParser().parse("by x").wants_grouping and not ss.IntentParser().parse("bypass").wants_grouping
    i = ss.IntentParser().parse("")
    assert i == ss.QueryIntent("")


# ---------------------------------------------------------------------------
# Argument kinds and signatures
# ---------------------------------------------------------------------------


def test_signatures():
    sig = inspect.signature
    assert str(sig(ss.SchemaSift.select)) == (
        "(self, /, question, catalog, *, database=None, required_tables=None, required_columns=None, "
        "excluded_tables=None, excluded_columns=None)")
    assert str(sig(ss.select_metadata)) == (
        "(question, catalog, *, database=None, strategy='hybrid', top_k_tables=3, max_columns_per_table=25, "
        "max_output_chars=None, use_embeddings=False, embedding_model_name_or_path=None, include_debug=True)")
    for name in ("_score_tables", "_score_and_choose_columns"):
        params = list(sig(getattr(ss.SchemaSift, name)).parameters.values())[1:]
        assert params and all(p.kind is inspect.Parameter.KEYWORD_ONLY for p in params)
        assert [p.name for p in params] == [p.name for p in list(sig(getattr(ref.SchemaSift, name)).parameters.values())[1:]]
    for name in ("_choose_tables", "_ensure_intent_columns", "_token_overlap_score", "_lexical_score_table",
                 "_lexical_score_column", "_blend_scores", "_select_relationships", "_build_selected_metadata",
                 "_apply_output_budget", "_build_doc_texts", "_normalize_lexical"):
        params = list(sig(getattr(ss.SchemaSift, name)).parameters.values())[1:]
        expected = list(sig(getattr(ref.SchemaSift, name)).parameters.values())[1:]
        assert [p.name for p in params] == [p.name for p in expected], name
        assert all(p.kind is not inspect.Parameter.KEYWORD_ONLY for p in params), name
    assert isinstance(inspect.getattr_static(ss.SchemaSift, "_reduction_percent"), staticmethod)
    with pytest.raises(TypeError):
        ss.SchemaSift()._score_tables("q", ss.MetadataCatalog(), ss.QueryIntent("q"), {}, {}, set())


BAD_SELECT_CALLS = [
    (("q", {}, None), {}),
    (("q", {}), {"nope": 1}),
    ((None, {}), {}),
    ((b"q", {}), {}),
    (("q", [1]), {}),
    (("q", None), {}),
    (("q", {}), {"database": 5}),
    (("q", {}), {"required_tables": ("sales_orders",)}),
    (("q", {}), {"excluded_tables": "sales_orders"}),
    (("q", {}), {"required_columns": [("t", ["c"])]}),
    (("q", {}), {"excluded_columns": "c"}),
]


@pytest.mark.parametrize("args,kwargs", BAD_SELECT_CALLS)
def test_wrong_argument_kinds_are_rejected_before_any_work(args, kwargs):
    cat = demo_record()
    args = tuple(cat if a == {} else a for a in args)
    kwargs.setdefault("excluded_tables", ["customers"])
    kwargs.setdefault("database", "changed")
    with pytest.raises(TypeError):
        ss.SchemaSift().select(*args, **kwargs)
    assert [t.table_name for t in cat.tables] == ["sales_orders", "customers"] and cat.database == "sales_demo"
    # a blank question with a wrong-kind argument is a kind error, not a value error
    with pytest.raises(TypeError):
        ss.SchemaSift().select(" ", {}, required_tables=set())


def test_select_metadata_argument_kinds():
    cat = ref.demo_catalog()
    for name in ("top_k_tables", "max_columns_per_table", "max_output_chars"):
        for bad in ("3", [3], b"3", 1j):
            with pytest.raises(TypeError, match=name):
                ss.select_metadata("revenue", cat, **{name: bad})
    for kwargs in ({"embedding_model_name_or_path": 5}, {"database": 1}, {"unknown": 1}):
        with pytest.raises(TypeError):
            ss.select_metadata("revenue", cat, **kwargs)
    with pytest.raises(TypeError):
        ss.select_metadata("revenue", cat, "lexical")
    with pytest.raises(TypeError):
        ss.SchemaSift({"strategy": "lexical"})
    with pytest.raises(TypeError):
        ss.SchemaSift(ref.SelectorConfig())


@pytest.mark.parametrize("value", [2.9, True, fractions.Fraction(7, 2), decimal.Decimal("1.9"), decimal.Decimal("-0.5")])
@pytest.mark.parametrize("name", ["top_k_tables", "max_columns_per_table", "max_output_chars"])
def test_whole_number_arguments_accept_any_real_number(name, value):
    cat = ref.demo_catalog()
    question = "total revenue by region and customer name"
    res = check_select(question, cat, None, via_function={"strategy": "lexical", name: value})
    assert res[0] == "ok"
    got = ss.select_metadata(question, cat, strategy="lexical", **{name: value})
    want = dict(strategy="lexical", **{name: int(value)})
    assert_same(result_view(got), result_view(ss.select_metadata(question, cat, **want)))


@pytest.mark.parametrize("per_token", [3, 2.5, True, fractions.Fraction(5, 2), decimal.Decimal(4), "4", None])
def test_token_estimate_of_any_divisor_kind_matches_reference(per_token):
    # a divisor that is no real number (Decimal included) fails as the host's estimate does
    config = ref.SelectorConfig(strategy="lexical", token_chars_per_token=per_token)
    res = check_select("total revenue by region", ref.demo_catalog(), config)
    assert (res[0] == "ok") == isinstance(per_token, (int, float, fractions.Fraction))


def test_stage_argument_kinds():
    sift = ss.SchemaSift()
    with pytest.raises(TypeError):
        sift._choose_tables((), set())
    with pytest.raises(TypeError):
        sift._choose_tables([], ["a"])
    with pytest.raises(TypeError):
        sift._apply_output_budget([("tables", [])])
    for args in ((["a"], {"a"}, 1.0, [], "l"), ({"a"}, {"a"}, "1", [], "l"), ({"a"}, {"a"}, 1.0, (), "l"),
                 ({"a"}, {"a"}, 1.0, [], None)):
        with pytest.raises(TypeError):
            sift._token_overlap_score(*args)
    for method in ("_lexical_score_table", "_lexical_score_column"):
        extra = (ss.ColumnMeta("c"),) if method == "_lexical_score_column" else ()
        with pytest.raises(TypeError):
            getattr(sift, method)(None, ss.TableMeta("t"), *extra, ss.QueryIntent("q"))
    with pytest.raises(TypeError):
        ss.IntentParser().parse(None)
    kw = dict(question="q", catalog=ss.MetadataCatalog(), intent=ss.QueryIntent("q"), tfidf_scores={},
              embedding_scores={})
    assert sift._score_tables(required_tables=frozenset(), **kw) == []
    for bad in (["a"], {"a": 1}, None):
        with pytest.raises(TypeError):
            sift._score_tables(required_tables=bad, **kw)
    kw = dict(question="q", table=ss.TableMeta("t"), intent=ss.QueryIntent("q"), tfidf_scores={}, embedding_scores={})
    assert sift._score_and_choose_columns(required_columns=frozenset(), excluded_columns=set(), **kw) == []
    for bad in (["a"], None):
        with pytest.raises(TypeError):
            sift._score_and_choose_columns(required_columns=bad, excluded_columns=set(), **kw)
        with pytest.raises(TypeError):
            sift._score_and_choose_columns(required_columns=set(), excluded_columns=bad, **kw)


# ---------------------------------------------------------------------------
# Records
# ---------------------------------------------------------------------------


def test_config_defaults_and_value_behaviour():
    a, b = ss.SelectorConfig(), ss.SelectorConfig()
    assert a == b and a is not b
    assert_same(a, ref.SelectorConfig())
    assert list(ss.SelectorConfig.__match_args__) == list(ref.SelectorConfig.__match_args__)
    assert repr(a) == repr(ref.SelectorConfig())
    a.top_k_tables = 9
    assert a != b and b.top_k_tables == 3
    c = ss.SelectorConfig("lexical", 2, max_output_chars=100)
    assert (c.strategy, c.top_k_tables, c.max_output_chars, c.include_debug) == ("lexical", 2, 100, True)
    odd = ss.SelectorConfig(strategy=5, top_k_tables="x")  # no validation
    assert odd.strategy == 5 and odd.top_k_tables == "x"
    with pytest.raises(TypeError):
        ss.SelectorConfig(bogus=1)
    for clone in (pickle.loads(pickle.dumps(c)), copy.copy(c), copy.deepcopy(c)):
        assert clone == c and clone is not c


def test_result_records_value_behaviour():
    col, table = ss.ColumnMeta("c"), ss.TableMeta("t")
    s1, s2 = ss.ScoredTable(table, 1.0), ss.ScoredTable(table, 1.0)
    assert s1 == s2 and s1.reasons is not s2.reasons and s1.columns is not s2.columns
    assert s1.reasons == [] and s1.columns == []
    c1, c2 = ss.ScoredColumn(col, 0.5), ss.ScoredColumn(col, 0.5)
    assert c1 == c2 and c1.reasons is not c2.reasons
    assert repr(c1) == "ScoredColumn(column=" + repr(col) + ", score=0.5, reasons=[])"
    assert repr(s1) == repr(ref.ScoredTable(ref.TableMeta("t"), 1.0))
    i1, i2 = ss.QueryIntent("q"), ss.QueryIntent("q")
    assert i1 == i2 and i1.tokens is not i2.tokens and i1.metric_terms is not i2.metric_terms
    assert repr(i1) == repr(ref.QueryIntent("q"))
    with pytest.raises(TypeError):
        ss.SelectionMetrics(*range(13))
    with pytest.raises(TypeError):
        ss.ScoredTable(table)
    m = ss.SelectionMetrics(*range(8), 1.0, 2.0, 3.0, 4.0, 5.0, "h")
    assert repr(m) == repr(ref.SelectionMetrics(*range(8), 1.0, 2.0, 3.0, 4.0, 5.0, "h"))
    r1 = ss.MetadataSelectionResult({}, m, i1)
    r2 = ss.MetadataSelectionResult({}, m, i1)
    assert r1 == r2 and r1.debug == {} and r1.debug is not r2.debug
    r1.debug["x"] = 1
    assert r1 != r2
    for obj in (s1, c1, i1, m, r1):
        for clone in (pickle.loads(pickle.dumps(obj)), copy.copy(obj), copy.deepcopy(obj)):
            assert clone == obj and clone is not obj and type(clone) is type(obj)
    assert copy.deepcopy(s1).table is not table and copy.copy(s1).table is table


def test_result_dict_copies_metrics_and_intent_but_not_metadata_or_debug():
    res = ss.select_metadata("total revenue by region for last 6 months", ref.demo_catalog())
    d = res.to_dict(include_debug=True)
    assert list(d) == ["selected_metadata", "metrics", "intent", "debug"]
    assert list(res.to_dict()) == ["selected_metadata", "metrics", "intent"]
    assert d["selected_metadata"] is res.selected_metadata and d["debug"] is res.debug
    assert d["intent"]["tokens"] == res.intent.tokens and d["intent"]["tokens"] is not res.intent.tokens
    assert list(d["metrics"]) == list(ss.SelectionMetrics.__match_args__)
    assert list(d["intent"]) == list(ss.QueryIntent.__match_args__)
    assert list(res.debug) == ["table_rankings", "selected_column_rankings", "strategy", "tfidf_available",
                               "embedding_available"]
    res.intent.tokens.append([1])
    assert res.to_dict()["intent"]["tokens"][-1] is not res.intent.tokens[-1]


def test_equal_table_entries_count_once_in_the_second_pass():
    for mod in (ss, ref):
        x, y = mod.ScoredTable(mod.TableMeta("a"), 1.0), mod.ScoredTable(mod.TableMeta("a"), 1.0)
        z = mod.ScoredTable(mod.TableMeta("b"), 0.5)
        sift = mod.SchemaSift()
        assert [s.table.table_name for s in sift._choose_tables([x, y, z], set())] == ["a", "b"]
        assert [s.table.table_name for s in sift._choose_tables([x, y, z], {"a"})] == ["a", "a", "b"]
        out = sift._choose_tables([z, x], frozenset({"zz"}))
        assert out[0] is x and out[1] is z


def test_one_selector_serves_several_threads():
    import threading

    sift = ss.SchemaSift(ss.SelectorConfig(strategy="lexical", top_k_tables=2))
    catalog = catalog_gen.make_catalog(30, 10, seed=4)
    questions_ = catalog_gen.make_questions(catalog, 24, seed=4)
    expected = [exact(result_view(sift.select(q, catalog))) for q in questions_]
    got = [None] * len(questions_)

    def work(offset):
        for i in range(offset, len(questions_), 4):
            got[i] = exact(result_view(sift.select(questions_[i], catalog)))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == expected


@pytest.mark.parametrize("strategy", ["lexical", "tfidf", "hybrid"])
@pytest.mark.parametrize("value", [None, 5])
def test_documents_are_built_on_every_call(strategy, value):
    # a caller's record whose sample list cannot be cut fails in the document texts, whatever the strategy
    for mod in (ss, ref):
        cat = mod.MetadataCatalog("db", [mod.TableMeta("t", columns=[mod.ColumnMeta("x", sample_values=value)])])
        with pytest.raises(TypeError):
            mod.SchemaSift(mod.SelectorConfig(strategy=strategy)).select("x", cat)


@pytest.mark.parametrize("neighbors", [False, True])
@pytest.mark.parametrize("field", ["from_table", "to_table"])
def test_relationship_ends_are_read_only_as_far_as_needed(field, neighbors):
    # involves() stops at a missing from-table, touches() at a present one
    loose = {"tables": [{"name": "orders", "columns": [{"name": "id"}]}],
             "relationships": [{"from_table": "orders", "from_column": "id", "to_table": "orders", "to_column": "id"},
                               {"from_table": "other", "from_column": "id", "to_table": "orders", "to_column": "id"}]}
    results = []
    for mod in (ss, ref):
        catalog = mod.CatalogNormalizer.normalize(loose)
        setattr(catalog.relationships[1], field, ["unhashable"])
        config = mod.SelectorConfig(strategy="lexical", include_neighbor_tables_for_joins=neighbors)
        results.append(outcome(lambda: mod.SchemaSift(config).select("orders id", catalog).selected_metadata))
    assert results[0][0] == results[1][0]


def test_a_loose_catalogs_lists_read_by_a_call_stay_out_of_the_collectors_walks():
    # the call's copies of the caller's lists and its maps of unknown keys are
    # its own until it returns: collections it triggers do not walk them, but
    # for the first few (on a large catalog they would be promoted and set off
    # full collections)
    import gc

    words = ["revenue", "region", "order", "customer", "sales", "store", "price", "ship"]
    catalog = {"tables": [{"table_name": f"{words[i % 8]}_{i}", "tags": ["sales", f"t{i}"],
                           "owner": {"team": [f"t{i}"]},  # an unknown key: kept in extra
                           "columns": [{"name": f"{words[(i + k) % 8]}_{k}", "synonyms": [f"{words[k % 8]} alias {i} {k}"]}
                                       for k in range(12)]}
                          for i in range(240)]}
    contents = {tuple(c["synonyms"]) for t in catalog["tables"] for c in t["columns"]}
    contents |= {tuple(t["tags"]) for t in catalog["tables"]}
    originals = {id(c["synonyms"]) for t in catalog["tables"] for c in t["columns"]}
    originals |= {id(t["tags"]) for t in catalog["tables"]}
    walked = []

    def look(phase, info):
        if phase == "start" and len(walked) < 20:
            walked.append(sum(1 for o in gc.get_objects() if type(o) is list and id(o) not in originals
                              and all(type(x) is str for x in o) and tuple(o) in contents))

    sift = ss.SchemaSift(ss.SelectorConfig(strategy="lexical"))
    question = "revenue by region and sales alias"
    old = gc.get_threshold()
    gc.set_threshold(100)
    gc.callbacks.append(look)
    try:
        got = sift.select(question, catalog)
    finally:
        gc.callbacks.remove(look)
        gc.set_threshold(*old)
    def copies_in(o):
        if isinstance(o, dict):
            return sum(copies_in(v) for v in o.values())
        if isinstance(o, list):
            return (all(type(x) is str for x in o) and tuple(o) in contents) + sum(copies_in(v) for v in o)
        return 0

    # a collection may meet those the result itself holds, and the first few
    assert len(walked) > 5 and max(walked) <= copies_in(got.to_dict(True)) + len(contents) // 10
    assert got.to_dict(True) == sift.select(question, ss.CatalogNormalizer.normalize(catalog)).to_dict(True)
