"""Catalog records and the loose-catalog normalizer."""
import copy
import inspect
import pathlib
import pickle
import sys

import pytest
from hypothesis import given, strategies as st

from askweave import schemasift as ss
from askweave.schemasift import CatalogNormalizer as N, ColumnMeta, MetadataCatalog, RelationshipMeta, TableMeta

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from pyref import schemasift as ref  # noqa: E402


def test_records_behave_as_value_records():
    a, b = ColumnMeta("id"), ColumnMeta(name="id")
    assert a == b and a.synonyms is not b.synonyms and a.extra is not b.extra
    assert a.role == "unknown" and a.nullable is None and a.is_primary_key is False
    a.tags.append("x")
    assert a != b and ColumnMeta("id").tags == []
    # no validation: any value is kept as given, by identity
    odd = object()
    c = ColumnMeta(5, odd, sample_values=odd)
    assert c.name == 5 and c.type is odd and c.sample_values is odd
    r = RelationshipMeta("a", "b", "c", "d")
    assert r.relationship_type == "many_to_one"
    assert repr(r).startswith("RelationshipMeta(from_table='a', from_column='b'")
    with pytest.raises(TypeError):
        RelationshipMeta("a", "b", "c")
    with pytest.raises(TypeError):
        TableMeta("t", nope=1)
    with pytest.raises(TypeError):
        TableMeta("t", table_name="u")
    assert list(inspect.signature(TableMeta).parameters)[:3] == ["table_name", "business_name", "description"]
    cat = MetadataCatalog("db", [TableMeta("t", columns=[ColumnMeta("c", sample_values=[1, [2]])])], [r])
    for clone in (pickle.loads(pickle.dumps(cat)), copy.deepcopy(cat), copy.copy(cat)):
        assert clone == cat and clone is not cat
    assert copy.copy(cat).tables is cat.tables and copy.deepcopy(cat).tables is not cat.tables
    # a record that reaches itself still copies, pickles and prints
    loop = TableMeta("t")
    loop.extra["me"] = loop
    assert "extra={'me': ...}" in repr(loop)
    assert copy.deepcopy(loop).extra["me"] is not loop
    with pytest.raises(TypeError):
        hash(a)


def test_search_texts():
    assert TableMeta("t").searchable_text() == (
        "table t business name  description  tags  columns  column descriptions  column synonyms  "
        "default date column  default metric column "
    )
    cols = [ColumnMeta(f"c{i}", description=f"d{i}", synonyms=[f"s{i}", "x"]) for i in range(60)]
    text = TableMeta("t", columns=cols, default_date_column="").searchable_text()
    assert "c59" in text and "d49" in text and "d50" not in text and "s49 x" in text and "s50" not in text
    col = ColumnMeta("amt", "Decimal", sample_values=list(range(12)) + [2.5, None])
    assert col.searchable_text("orders", "Orders").endswith("sample values 0 1 2 3 4 5 6 7 8 9")
    col = ColumnMeta("x", sample_values=[3, 2.5, None, True, 1e16])
    assert col.searchable_text().endswith("sample values 3 2.5 None True 1e+16")
    with pytest.raises(TypeError):
        ColumnMeta("x", synonyms=[1]).searchable_text()
    with pytest.raises(TypeError):
        TableMeta("t", columns=[ColumnMeta(1)]).searchable_text()


def test_relationship_membership():
    r = RelationshipMeta("a", "x", "a", "y")
    assert r.involves(["a"]) and r.touches({"a"}) and not r.touches([]) and not r.involves(("A",))
    r = RelationshipMeta("a", "x", "b", "y")
    assert not r.involves({"a"}) and r.touches(iter(["b"])) and r.involves(["b", "a"])


def test_prompt_dict_is_a_deep_copy():
    assert MetadataCatalog().to_prompt_dict() == {"database": "", "tables": [], "relationships": []}
    col = ColumnMeta("c", sample_values=[[1]], extra={"k": {"n": [1]}})
    t = TableMeta("t", tags=["hidden"], columns=[col], row_count=[5], extra={"x": 1})
    cat = MetadataCatalog("db", [t], [RelationshipMeta("t", "c", "u", "d", extra={"e": [1]})])
    d = cat.to_prompt_dict()
    assert list(d["tables"][0]) == [
        "table_name", "business_name", "description", "columns",
        "default_date_column", "default_metric_column", "row_count",
    ]
    assert list(d["tables"][0]["columns"][0]) == [
        "name", "type", "description", "synonyms", "role", "tags", "nullable",
        "is_primary_key", "is_foreign_key", "sample_values", "extra",
    ]
    d["tables"][0]["columns"][0]["sample_values"][0].append(2)
    d["tables"][0]["columns"][0]["extra"]["k"]["n"].append(2)
    d["tables"][0]["row_count"].append(6)
    d["relationships"][0]["extra"]["e"].append(2)
    assert col.sample_values == [[1]] and col.extra == {"k": {"n": [1]}} and t.row_count == [5]
    assert cat.relationships[0].extra == {"e": [1]}


def test_normalizer_shapes_and_keys():
    loose = {
        "db": "shop",
        "owner": "bi",
        "tables": {
            "orders": {
                "display_name": "Orders",
                "comment": 7,
                "columns": {"id": {"type": "int"}, "order_date": {"data_type": "String", "aliases": "ab"}},
                "joins": [{"left_table": "orders", "left_column": "cid", "right_table": "customers",
                           "right_column": "id", "kind": "fk"}],
                "row_count": 0,
            },
            "customers": None,
        },
        "joins": [{"source_table": "orders", "source_column": "cid", "target_table": "customers",
                   "target_column": "id", "type": "one_to_many"}],
    }
    cat = N.normalize(loose)
    assert cat.database == "shop" and cat.extra == {"owner": "bi", "joins": loose["joins"]}
    assert cat.extra["joins"] is loose["joins"]
    orders, customers = cat.tables
    assert (orders.table_name, orders.business_name, orders.description, orders.row_count) == ("orders", "Orders", "7", 0)
    assert orders.default_date_column is None and orders.extra == {"joins": loose["tables"]["orders"]["joins"]}
    assert [(c.name, c.role) for c in orders.columns] == [("id", "id"), ("order_date", "date")]
    assert orders.columns[1].synonyms == ["a", "b"]
    assert customers.columns == []
    assert [(r.from_table, r.relationship_type, r.extra) for r in cat.relationships] == [
        ("orders", "one_to_many", {}), ("orders", "many_to_one", {"kind": "fk"})]
    assert N.normalize(loose, database="other").database == "other"
    assert N.normalize({}) == MetadataCatalog()


def test_normalizer_list_form_and_skips():
    loose = {
        "database_name": 12,
        "relationships": [{"from_table": "a", "from_column": "b", "to_table": "c"}],
        "tables": [
            {"columns": [{"name": "x"}], "relationships": [
                {"from_table": "t", "from_column": "c", "to_table": "u", "to_column": "d"}]},
            {"table": "t", "columns": [{"column": "created", "type": "int"}, {"type": "int"},
                                        {"column_name": "n", "primary_key": "yes", "nullable": False,
                                         "samples": (1, 2), "extra_key": 1}]},
        ],
    }
    cat = N.normalize(loose)
    assert cat.database == "12" and [t.table_name for t in cat.tables] == ["t"]
    created, n = cat.tables[0].columns
    assert created.name == "created" and created.role == "metric"  # "column" is not seen by inference
    assert n.is_primary_key is True and n.role == "primary_key" and n.nullable is False
    assert n.sample_values == [1, 2] and n.extra == {"extra_key": 1}
    assert [(r.from_table, r.to_table) for r in cat.relationships] == [("t", "u")]
    same = {"from_table": "a", "from_column": "b", "to_table": "c", "to_column": "d"}
    twice = N.normalize({"relationships": [same], "tables": [{"name": "a", "relationships": [same]}]})
    assert len(twice.relationships) == 2


@pytest.mark.parametrize("col, role", [
    ({"name": "order_date", "type": "String"}, "date"),
    ({"name": "created_at", "type": "DateTime"}, "datetime"),
    ({"name": "x", "type": "timestamp"}, "datetime"),
    ({"name": "update_count", "type": "Int64"}, "date"),
    ({"name": "revenue", "type": "Decimal(18,2)"}, "metric"),
    ({"name": "region", "type": "LowCardinality(String)"}, "dimension"),
    ({"name": "flag", "type": "Bool"}, "boolean"),
    ({"name": "doc", "type": "JSON"}, "unknown"),
    ({"name": "amount", "role": "  Measure\u2003"}, "metric"),
    ({"name": "customer_id", "role": "unknown"}, "unknown"),
    ({"name": "customer_id", "role": "kpi"}, "id"),
    ({"name": "order_date", "primary_key": True}, "primary_key"),
    ({"name": "x", "foreign_key": 1, "type": "date"}, "foreign_key"),
    ({"name": "ID"}, "id"),
    ({"name": "x", "role": "Text"}, "text"),
    ({"name": "x", "role": "group"}, "dimension"),
])
def test_role_inference(col, role):
    assert N._infer_role(col) == role


def test_normalizer_rejects_bad_shapes():
    for bad in (
        [],
        {"tables": None},
        {"tables": 5},
        {"tables": ["orders"]},
        {"tables": {"t": ["not", "a", "map"]}},
        {"tables": [{"name": "t", "columns": {"c": 5}}]},
        {"tables": [{"name": "t", "columns": [5]}]},
        {"tables": [{"name": "t", "tags": 5}]},
        {"relationships": [5]},
    ):
        with pytest.raises(TypeError):
            N.normalize(bad)
    with pytest.raises(TypeError):
        N.normalize({}, database=5)
    assert N._normalize_relationships({"relationships": None, "joins": []}) == []


def test_normalizer_never_modifies_input():
    loose = {"tables": {"t": {"columns": {"c": {"tags": ["x"]}}}}}
    before = repr(loose)
    cat = N.normalize(loose)
    cat.tables[0].columns[0].tags.append("y")
    assert repr(loose) == before


class Shown:
    """A value with its own str() and format()."""

    def __str__(self):
        return "shown\ud800"

    def __format__(self, spec):
        return "formatted"


class Text(str):
    def __str__(self):
        return "other"


FIELD_VALUES = ["", "Ünï \ud800 😀", Text("sub"), 7, 2.5, None, True, Shown(), [], ["a", "b"], ["a", 1], ("x", "y"),
                "abc", {"k": "v"}, [Text("t")], 10**5000]


def outcome(fn):
    try:
        return "ok", fn()
    except Exception as e:  # noqa: BLE001 - compared with the rules' own outcome
        return "err", type(e).__name__


@given(st.lists(st.sampled_from(range(len(FIELD_VALUES))), min_size=14, max_size=14), st.integers(0, 3))
def test_search_texts_of_odd_fields_match_the_rules(picks, n_columns):
    v = [FIELD_VALUES[i] for i in picks]

    def build(mod):
        cols = [mod.ColumnMeta(v[0] if k else v[7], v[1], v[2], synonyms=v[3], role=v[4], tags=v[5],
                               sample_values=v[6]) for k in range(n_columns)]
        table = mod.TableMeta(v[7], v[8], v[9], tags=v[10], columns=cols, default_date_column=v[11],
                              default_metric_column=v[12])
        return mod.MetadataCatalog("db", [table]), table, cols

    (cat, table, cols), (rcat, rtable, rcols) = build(ss), build(ref)
    assert outcome(table.searchable_text) == outcome(rtable.searchable_text)
    for col, rcol in zip(cols, rcols):
        assert outcome(lambda: col.searchable_text(v[13], v[7])) == outcome(lambda: rcol.searchable_text(v[13], v[7]))
    sifter, rsifter = ss.SchemaSift(), ref.SchemaSift()
    assert outcome(lambda: sifter._build_doc_texts(cat)) == outcome(lambda: rsifter._build_doc_texts(rcat))
