"""Checks of the plain-Python reference itself on worked examples."""

import pathlib
import re
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from pyref import schemasift as ref  # noqa: E402
from pyref.schemasift import (  # noqa: E402
    CatalogNormalizer,
    ColumnMeta,
    IntentParser,
    MetadataCatalog,
    RelationshipMeta,
    SchemaSift,
    ScoredTable,
    SelectionMetrics,
    SelectorConfig,
    TableMeta,
)


def test_reference_is_independent_of_native_module():
    src = pathlib.Path(ref.__file__).read_text()
    assert not re.search(r"^\s*(import|from)\s+askweave", src, re.M)


# -- text utilities ---------------------------------------------------------


@pytest.mark.parametrize(
    "value,expected",
    [
        ("orderDate", "order date"),
        ("OrderDate", "order date"),
        ("order_date", "order date"),
        ("order-date", "order date"),
        ("order.date", "order date"),
        ("Order_Date", "order  date"),
    ],
)
def test_split_identifier(value, expected):
    assert ref._split_identifier(value) == expected


def test_tokenize_examples():
    q = "Show total revenue by region for last 6 months"
    assert ref.tokenize(q) == ["total", "revenue", "region", "last", "6", "months"]
    assert ref.tokenize(q, stopwords=set()) == ["show", "total", "revenue", "by", "region", "for", "last", "6", "months"]
    assert ref.tokenize("Order_Date") == ["order", "date"]
    assert ref.tokenize("SKU") == ["s", "k", "u"]
    assert ref.tokenize("customerID") == ["customer", "i", "d"]
    assert ref.tokenize("caf\u00e9bar") == ["caf", "bar"]
    assert ref.tokenize("") == []
    with pytest.raises(TypeError):
        ref.tokenize(None)
    with pytest.raises(TypeError):
        ref.tokenize("x", stopwords=["a"])


def test_estimate_tokens_and_hash_and_safe_float():
    assert ref.estimate_tokens("") == 0
    assert ref.estimate_tokens("a") == 1
    assert [ref.estimate_tokens("x" * n) for n in (4, 5, 8, 9)] == [1, 2, 2, 3]
    h1 = ref.stable_hash({"a": 1, "b": [1, 2]})
    assert h1 == ref.stable_hash({"b": [1, 2], "a": 1})
    assert re.fullmatch(r"[0-9a-f]{16}", h1)
    assert re.fullmatch(r"[0-9a-f]{16}", ref.stable_hash({"s": "\ud800"}))
    assert ref.safe_float("12.5") == 12.5
    assert ref.safe_float(" 7 ") == 7.0
    assert ref.safe_float("abc", 3) == 3
    assert ref.safe_float(None, -1.5) == -1.5
    assert ref.safe_float(True) == 1.0
    with pytest.raises(TypeError):
        ref.safe_float("1", default="0")


def test_normalize_text():
    assert ref.normalize_text(None) == ""
    assert ref.normalize_text({"a": [1, 2]}) == "a 1 2"
    assert ref.normalize_text({"k": []}) == "k "


# -- catalog records ----------------------------------------------------------


def test_table_searchable_text_of_bare_table():
    assert TableMeta("t").searchable_text() == (
        "table t business name  description  tags  columns  column descriptions  "
        "column synonyms  default date column  default metric column "
    )


def test_searchable_text_caps():
    cols = [ColumnMeta(f"c{i}", description=f"d{i}", synonyms=[f"s{i}"]) for i in range(60)]
    text = TableMeta("t", columns=cols).searchable_text()
    assert "c59" in text and "d49" in text and "d50" not in text and "s50" not in text
    col = ColumnMeta("x", sample_values=[3, 2.5, None] + list(range(9)))
    assert col.searchable_text("t", "T").endswith("sample values 3 2.5 None 0 1 2 3 4 5 6")


def test_relationship_membership_and_prompt_dict():
    r = RelationshipMeta("a", "x", "a", "y")
    assert r.involves(["a"]) and not r.touches([]) and not r.touches(["A"])
    cat = MetadataCatalog()
    assert cat.to_prompt_dict() == {"database": "", "tables": [], "relationships": []}
    t = TableMeta("t", tags=["secret"], row_count=0)
    d = MetadataCatalog("db", [t]).to_prompt_dict()
    assert list(d["tables"][0]) == [
        "table_name", "business_name", "description", "columns",
        "default_date_column", "default_metric_column", "row_count",
    ]
    assert "secret" not in str(d)


# -- normalizer ---------------------------------------------------------------


def test_normalizer_map_shapes_and_relationships():
    cat = CatalogNormalizer.normalize(
        {
            "tables": {
                "orders": {"columns": {"id": {"type": "int"}}, "joins": [
                    {"left_table": "orders", "left_column": "c", "right_table": "c", "right_column": "id"}]},
                "nameless": None,
            },
            "relationships": [
                {"from_table": "orders", "from_column": "c", "to_table": "c", "to_column": "id", "type": "one_to_many"},
                {"from_table": "orders", "from_column": "c", "to_table": "c"},
            ],
        }
    )
    assert [t.table_name for t in cat.tables] == ["orders", "nameless"]
    assert cat.tables[0].columns[0].name == "id" and cat.tables[0].columns[0].role == "id"
    assert [r.relationship_type for r in cat.relationships] == ["one_to_many", "many_to_one"]
    assert cat.tables[0].extra == {"joins": cat.tables[0].extra["joins"]}


def test_normalizer_nameless_table_keeps_its_relationships_and_joins_in_extra():
    rel = {"from_table": "a", "from_column": "x", "to_table": "b", "to_column": "y"}
    cat = CatalogNormalizer.normalize({"tables": [{"relationships": [rel]}], "joins": [rel], "owner": "me"})
    assert cat.tables == []
    assert len(cat.relationships) == 2
    assert list(cat.extra) == ["joins", "owner"]
    empty = CatalogNormalizer.normalize({})
    assert (empty.database, empty.tables, empty.relationships, empty.extra) == ("", [], [], {})


@pytest.mark.parametrize(
    "col,role",
    [
        ({"name": "order_date", "type": "String"}, "date"),
        ({"name": "created_at", "type": "DateTime"}, "datetime"),
        ({"name": "x", "type": "timestamp"}, "datetime"),
        ({"name": "update_count", "type": "Int64"}, "date"),
        ({"name": "revenue", "type": "Decimal(18,2)"}, "metric"),
        ({"name": "region", "type": "LowCardinality(String)"}, "dimension"),
        ({"name": "flag", "type": "Bool"}, "boolean"),
        ({"name": "payload", "type": "JSON"}, "unknown"),
        ({"name": "amount", "role": "  Measure "}, "metric"),
        ({"name": "customer_id", "role": "unknown"}, "unknown"),
        ({"name": "customer_id", "role": "kpi"}, "id"),
        ({"name": "order_date", "primary_key": True}, "primary_key"),
        ({"column": "order_date", "type": "Int64"}, "metric"),
    ],
)
def test_role_inference(col, role):
    assert CatalogNormalizer._infer_role(col) == role


def test_normalizer_oddities():
    cat = CatalogNormalizer.normalize(
        {"tables": [{"name": "t", "columns": [{"column": "order_date", "synonyms": "ab", "primary_key": "yes"}]}]}
    )
    col = cat.tables[0].columns[0]
    assert col.name == "order_date" and col.synonyms == ["a", "b"] and col.is_primary_key is True
    with pytest.raises(TypeError):
        CatalogNormalizer.normalize({"tables": [1]})
    with pytest.raises(TypeError):
        CatalogNormalizer.normalize({"tables": {"t": [1]}})
    with pytest.raises(TypeError):
        CatalogNormalizer.normalize({"tables": None})


# -- intent ---------------------------------------------------------------------


def test_intent_examples():
    i = IntentParser().parse("Show total revenue by region for last 6 months")
    assert i.tokens == ["total", "revenue", "region", "last", "6", "months"]
    assert (i.metric_terms, i.dimension_terms, i.date_terms) == (["revenue", "total"], ["region"], ["last"])
    assert i.has_time_filter and i.wants_metric and i.wants_grouping
    assert not i.wants_trend and not i.wants_table_rows and i.top_n is None and i.bottom_n is None
    p = IntentParser()
    assert p.parse("TOP  5 things top 7").top_n == 5 and p.parse("TOP  5 things").wants_metric
    assert p.parse("top5 x").top_n is None and p.parse("top 5th").top_n is None
    both = p.parse("top 2 and bottom 3")
    assert (both.top_n, both.bottom_n) == (2, 3)
    m = p.parse("monthly")
    assert m.wants_trend and m.has_time_filter
    assert not p.parse("month").wants_trend
    assert p.parse("by region").wants_grouping and p.parse("by x").dimension_terms == []
    assert p.parse("please show records").wants_table_rows and p.parse("all records").wants_table_rows
    e = p.parse("")
    assert e.tokens == [] and not (e.has_time_filter or e.wants_metric or e.wants_grouping or e.wants_trend)


# -- records -----------------------------------------------------------------------


def test_summary_line_and_to_dict():
    m = SelectionMetrics(10, 120, 2, 9, 0, 0, 3000, 250, 80.0, 92.5, 0.0, 91.66666, 12.0, "h")
    assert m.summary() == (
        "tables 10 \u2192 2 (80.0% cut), columns 120 \u2192 9 (92.5% cut), "
        "tokens ~3000 \u2192 ~250 (91.7% cut), compression 12.00x"
    )
    assert SelectorConfig() == SelectorConfig()
    r = ref.MetadataSelectionResult({}, m, IntentParser().parse("x"))
    assert list(r.to_dict()) == ["selected_metadata", "metrics", "intent"]
    assert list(r.to_dict(include_debug=True)) == ["selected_metadata", "metrics", "intent", "debug"]


# -- scoring --------------------------------------------------------------------------


def test_lexical_rules():
    s = SchemaSift()
    assert s._normalize_lexical(10.0) == 0.5 and s._normalize_lexical(-1) == 0.0
    reasons = []
    q = {f"t{i}" for i in range(10)}
    assert s._token_overlap_score(q, q, 8.0, reasons, "column name") == 8.0
    assert reasons == ["column name overlap: t0, t1, t2, t3, t4, t5, t6, t7"]
    intent = s.intent_parser.parse("sales orders last week")
    _, why = s._lexical_score_table("sales orders last week", TableMeta("sales_orders"), intent)
    assert "exact table phrase" in why
    col = ColumnMeta("order_date", role="date", synonyms=["orders", "Last Week"])
    _, why = s._lexical_score_column("order date orders last week", TableMeta("t"), col, s.intent_parser.parse("order date orders last week"))
    assert why[-4:] == [
        "exact column phrase",
        "exact synonym phrase: orders",
        "exact synonym phrase: Last Week",
        "date role matches time/trend intent",
    ]


def test_blend():
    s = SchemaSift()
    assert s._blend_scores(0.5, 0.4, 0.0) == (0.7 * 0.5 + 0.15 * 0.4) / 0.85
    assert SchemaSift(SelectorConfig(lexical_alpha=0)). _blend_scores(0.3, 0.0, 0.0) == 0.0
    assert SchemaSift(SelectorConfig(strategy="embedding"))._blend_scores(0.3, 0.2, -0.1) == -0.1
    assert SchemaSift(SelectorConfig(strategy="tfidf"))._blend_scores(0.3, 0.0, 0.9) == 0.3
    assert SchemaSift(SelectorConfig(strategy="lexical"))._blend_scores(0.3, 0.2, 0.1) == 0.3


def _st(name, score):
    return ScoredTable(TableMeta(name), score)


def test_choose_tables():
    s = SchemaSift(SelectorConfig(top_k_tables=0))
    assert [t.table.table_name for t in s._choose_tables([_st("a", 0.0), _st("b", 0.01)], set())] == ["b"]
    s = SchemaSift()
    tables = [_st(n, sc) for n, sc in [("a", 100.1), ("b", 100.4), ("c", 100.2), ("d", 100.3), ("e", 0.9)]]
    assert [t.table.table_name for t in s._choose_tables(tables, {"a", "b", "c", "d"})] == ["b", "d", "c"]
    low = [_st("x", 0.01), _st("y", 0.02), _st("z", 0.02)]
    assert [t.table.table_name for t in s._choose_tables(low, set())] == ["y"]


def test_columns_choice():
    s = SchemaSift(SelectorConfig(strategy="lexical"))
    table = TableMeta(
        "t",
        default_date_column="d",
        columns=[ColumnMeta("a", role="unknown"), ColumnMeta("m", role="metric"), ColumnMeta("d", role="date")],
    )
    intent = s.intent_parser.parse("zzz last")
    out = s._score_and_choose_columns(
        question="zzz last", table=table, intent=intent, tfidf_scores={}, embedding_scores={},
        required_columns={"a"}, excluded_columns={"a"},
    )
    assert [c.column.name for c in out] == ["d"]
    assert out[0].reasons[-1] == "default date column for time intent"
    intent = s.intent_parser.parse("zzz sum")
    out = s._score_and_choose_columns(
        question="zzz sum", table=TableMeta("t", columns=[ColumnMeta("a"), ColumnMeta("m", role="metric")]),
        intent=intent, tfidf_scores={}, embedding_scores={}, required_columns=set(), excluded_columns=set(),
    )
    assert [c.column.name for c in out] == ["m"]


# -- relationships and budget -----------------------------------------------------


def test_reduction_percent():
    assert SchemaSift._reduction_percent(100, 25) == 75.0
    assert SchemaSift._reduction_percent(0, 5) == 0.0
    assert SchemaSift._reduction_percent(10, 12) == 0.0


def _wide_catalog():
    cols = [{"name": f"col_{i}", "type": "String", "description": "some words " * 5, "synonyms": ["alias"]} for i in range(30)]
    return {
        "database": "db",
        "tables": [
            {"table_name": "alpha", "description": "alpha table", "columns": cols, "row_count": 0},
            {"table_name": "beta", "columns": cols},
            {"table_name": "gamma", "columns": cols[:2]},
        ],
        "relationships": [
            {"from_table": "alpha", "from_column": "col_1", "to_table": "beta", "to_column": "col_1"},
            {"from_table": "alpha", "from_column": "col_1", "to_table": "elsewhere", "to_column": "x"},
        ],
    }


def test_budget_stages_and_neighbors():
    q = "col alias words"
    full = SchemaSift(SelectorConfig(strategy="lexical")).select(q, _wide_catalog())
    md = full.selected_metadata
    assert md["tables"][0]["row_count"] == 0 and "row_count" not in md["tables"][1]
    assert len(md["relationships"]) == 1
    size = full.metrics.output_chars

    same = SchemaSift(SelectorConfig(strategy="lexical", max_output_chars=size + 1))
    assert same._apply_output_budget(md) is md

    def run(budget, **kw):
        return SchemaSift(SelectorConfig(strategy="lexical", max_output_chars=budget, **kw)).select(q, _wide_catalog())

    r1 = run(size - 1)
    cols = [c for t in r1.selected_metadata["tables"] for c in t["columns"]]
    assert len(cols) == full.metrics.output_columns
    assert not any(k in c for c in cols for k in ("description", "synonyms", "sample_values"))
    r2 = run(int(size * 0.45))
    assert max(len(t["columns"]) for t in r2.selected_metadata["tables"]) == 12
    four = SchemaSift(SelectorConfig(max_columns_per_table=4))
    payload = {"database": "", "tables": [{"table_name": "t", "columns": [{"name": str(i)} for i in range(4)]}], "relationships": []}
    three = {"database": "", "tables": [{"table_name": "t", "columns": [{"name": str(i)} for i in range(3)]}], "relationships": []}
    four.config.max_output_chars = len(ref._dumps(three))
    assert four._apply_output_budget(payload) == three
    r3 = run(10)
    assert r3.metrics.output_tables == 1 and r3.selected_metadata["relationships"] == []
    assert r3.metrics.output_columns == len(r3.selected_metadata["tables"][0]["columns"])
    assert run(None, include_relationships=False).selected_metadata["relationships"] == []
    assert len(run(None, include_neighbor_tables_for_joins=True).selected_metadata["relationships"]) == 2


# -- driver -------------------------------------------------------------------------------


def test_driver_edges():
    with pytest.raises(ValueError, match="question is required"):
        ref.select_metadata("   ", {})
    with pytest.raises(TypeError):
        ref.select_metadata(None, {})
    cat = CatalogNormalizer.normalize(_wide_catalog())
    res = SchemaSift(SelectorConfig(strategy="lexical")).select("x", cat, excluded_tables=["beta"], database="")
    assert [t.table_name for t in cat.tables] == ["alpha", "gamma"] and cat.database == "db"
    assert res.metrics.input_tables == 2
    empty = SchemaSift(SelectorConfig(strategy="lexical")).select("anything", {})
    m = empty.metrics
    assert (m.input_tables, m.output_tables, m.input_columns, m.output_columns) == (0, 0, 0, 0)
    assert (m.table_reduction_percent, m.column_reduction_percent, m.char_reduction_percent, m.token_reduction_percent) == (0.0,) * 4
    assert m.compression_ratio == m.input_estimated_tokens / m.output_estimated_tokens
    many = {"tables": [{"table_name": f"t{i}"} for i in range(25)]}
    dbg = SchemaSift(SelectorConfig(strategy="lexical")).select("q", many).debug
    assert [e["table_name"] for e in dbg["table_rankings"]] == [f"t{i}" for i in range(20)]
    assert SchemaSift(SelectorConfig(strategy="lexical", include_debug=False)).select("q", many).debug == {}
    a = ref.select_metadata("revenue by region", ref.demo_catalog())
    b = SchemaSift().select("revenue by region", ref.demo_catalog())
    assert a == b
    docs = SchemaSift()._build_doc_texts(
        MetadataCatalog(tables=[TableMeta("t", columns=[ColumnMeta("c", description="one"), ColumnMeta("x"), ColumnMeta("c", description="two")])])
    )
    assert list(docs) == ["table::t", "column::t.c", "column::t.x"] and "two" in docs["column::t.c"]


def test_demo():
    res = ref.select_metadata(
        ref.DEMO_QUESTION, ref.demo_catalog(), strategy="lexical", top_k_tables=2, max_columns_per_table=10
    )
    i = res.intent
    assert (i.metric_terms, i.dimension_terms, i.date_terms) == (["revenue", "total"], ["region"], ["last"])
    assert i.has_time_filter and i.wants_metric and i.wants_grouping
    names = [t["table_name"] for t in res.selected_metadata["tables"]]
    assert names == ["sales_orders", "customers"]
    assert res.selected_metadata["relationships"][0]["relationship_type"] == "many_to_one"
    text = ref.demo()
    assert text.count("\n") > 10 and "compression" in text
