"""Schema selection under hostile, huge and concurrent use: errors, never crashes."""
import gc
import threading

import pytest

from askweave import schemasift as ss
from askweave.demos.schemasift import demo_catalog
from harness import assert_flat, run_in_threads

LEXICAL = ss.SelectorConfig(strategy="lexical")


def wide_catalog(n_tables, n_columns):
    return {
        "tables": [
            {"name": f"t{t}_orders", "columns": [{"name": f"c{c}_amount", "type": "Int64"} for c in range(n_columns)]}
            for t in range(n_tables)
        ]
    }


class _FalsyFails(dict):
    def __bool__(self):
        raise ZeroDivisionError("truth")

    __len__ = __bool__


@pytest.mark.parametrize("arg", ["required_columns", "excluded_columns"])
def test_column_map_whose_truth_test_raises(arg):
    with pytest.raises(ZeroDivisionError):
        ss.SchemaSift(LEXICAL).select("revenue by region", demo_catalog(), **{arg: _FalsyFails(sales_orders=["x"])})


def test_ten_megabyte_question_and_names():
    big = "Revenue by Region " * 600_000  # about 10 MB
    result = ss.SchemaSift(LEXICAL).select(big, demo_catalog())
    assert result.selected_metadata["tables"]
    name = "x" * 10_000_000
    catalog = {"tables": [{"name": name, "columns": [{"name": name}]}]}
    result = ss.SchemaSift(LEXICAL).select("revenue", catalog)
    assert result.selected_metadata["tables"][0]["table_name"] == name


def test_hundred_thousand_columns():
    catalog = wide_catalog(1000, 100)
    result = ss.SchemaSift(LEXICAL).select("t7 orders c3 amount", catalog)
    assert result.metrics.input_columns == 100_000
    assert result.selected_metadata["tables"][0]["table_name"] == "t7_orders"


def test_one_table_of_hundred_thousand_columns():
    # every column matches the question: choosing among them must stay linear
    catalog = wide_catalog(1, 100_000)
    result = ss.SchemaSift(ss.SelectorConfig(strategy="lexical", max_columns_per_table=5)).select(
        "trend of c3 amount by region", catalog)
    assert result.metrics.input_columns == 100_000
    assert result.selected_metadata["tables"][0]["columns"][0]["name"] == "c3_amount"


def test_deep_and_self_referencing_values_raise():
    deep = []
    for _ in range(100_000):
        deep = [deep]
    loop = {}
    loop["self"] = loop
    for value in (deep, loop):
        catalog = {"tables": [{"name": "t", "extra_info": value, "columns": [{"name": "c", "sample_values": [value]}]}]}
        with pytest.raises((RecursionError, ValueError)):
            ss.SchemaSift(LEXICAL).select("c", catalog)
        record = ss.CatalogNormalizer.normalize(catalog)
        with pytest.raises(RecursionError):
            record.to_prompt_dict()


def test_odd_text_in_names_and_questions():
    names = ["\x00", "\ud800", "a\udfffb", "\U0010ffff", "Σ_ΣΣ", "İstanbul", "\u212aelvin", "\u200b", "\t\n"]
    catalog = {
        "tables": [{"name": n, "description": n, "tags": [n], "columns": [{"name": n, "synonyms": [n]}]} for n in names]
    }
    for q in names + ["".join(names)]:
        result = ss.SchemaSift(LEXICAL).select(q + " x", catalog)
        assert isinstance(result.metrics.catalog_hash, str)


@pytest.mark.parametrize("value", [10**400, float("nan"), float("inf"), -0.0, 5e-324, True, None, b"\xff", object()])
def test_numbers_and_objects_at_the_edges(value):
    catalog = {"tables": [{"name": "t", "row_count": value, "columns": [{"name": "c", "sample_values": [value]}]}]}
    config = ss.SelectorConfig(strategy="lexical", include_sample_values=True)
    result = ss.SchemaSift(config).select("c", catalog)
    assert result.selected_metadata["tables"][0]["columns"][0]["sample_values"] == [value] or value != value


def test_shared_selector_across_threads_gives_single_thread_results():
    sifter = ss.SchemaSift(LEXICAL)
    catalogs = [wide_catalog(30, 20), demo_catalog(), wide_catalog(300, 10)]
    questions = ["t3 orders amount", "Show total revenue by region", "c7 amount in t12", "top 5 t1"]
    jobs = [(q, c) for q in questions for c in range(len(catalogs))]
    expected = {(q, c): sifter.select(q, catalogs[c]).to_dict(include_debug=True) for q, c in jobs}
    failures = []

    def work(seed):
        for i in range(60):
            q, c = jobs[(seed + i) % len(jobs)]
            if sifter.select(q, catalogs[c]).to_dict(include_debug=True) != expected[(q, c)]:
                failures.append((q, c))

    run_in_threads(work)
    assert failures == []


def test_catalog_changed_by_another_thread_during_selection():
    # Selection lets other threads run while it hashes large pieces of the
    # catalog's text; one that rebuilds the catalog meanwhile must not crash it.
    record = ss.CatalogNormalizer.normalize(wide_catalog(400, 20))
    tables = list(record.tables)
    stop = threading.Event()

    def meddle():
        i = 0
        while not stop.is_set():
            i += 1
            record.tables = tables[: 400 - i % 300]
            record.relationships = [ss.RelationshipMeta("t1_orders", f"c{i % 20}_amount", "t2_orders", "c0_amount")]
            record.database = f"db{i}"
            tables[i % 400].columns = list(reversed(tables[i % 400].columns))

    thread = threading.Thread(target=meddle)
    thread.start()
    try:
        for _ in range(30):
            result = ss.SchemaSift(LEXICAL).select("t7 orders c3 amount", record)
            assert result.metrics.input_tables >= 100
    finally:
        stop.set()
        thread.join()


def test_lists_of_records_cleared_through_the_collector_during_selection():
    # While a selection lets other threads run, they can reach any tracked list
    # through gc.get_objects(); one that empties every list of tables, columns
    # and relationships (the caller's and any the selection made) must not free
    # records the selection still reads, in a per-call selection or an index.
    stop = threading.Event()
    mark = "made to be emptied"  # only this test's lists are touched
    kinds = (ss.TableMeta, ss.ColumnMeta, ss.RelationshipMeta)

    def meddle():
        while not stop.is_set():
            for o in gc.get_objects():
                if type(o) is list and o and type(o[0]) in kinds and o[0].description is mark:
                    o.clear()

    def catalog(k):
        record = ss.CatalogNormalizer.normalize(wide_catalog(150, 20))
        record.database = f"db{k}"  # a text of its own: hashed anew, the lock let go meanwhile
        for table in record.tables:
            table.description = mark
            for column in table.columns:
                column.description = mark
        record.relationships = [ss.RelationshipMeta(f"t{i}_orders", "c0_amount", f"t{i + 1}_orders", "c0_amount",
                                                    description=mark) for i in range(0, 20, 2)]
        return record

    thread = threading.Thread(target=meddle)
    thread.start()
    try:
        for k in range(12):
            # the caller's lists may be emptied at any point: any count is an answer
            result = ss.SchemaSift(LEXICAL).select("t7 orders c3 amount", catalog(k))
            assert 0 <= result.metrics.input_tables <= 150
            index = ss.CatalogIndex(catalog(k), LEXICAL)
            tables = index.table_count
            for result in index.select_many(["t7 orders c3 amount"] * 40, threads=2):
                assert result.metrics.input_tables == tables
    finally:
        stop.set()
        thread.join()


def test_copy_hooks_that_empty_lists_found_through_the_collector():
    # Values of the output are copied as asdict copies them, running their
    # __deepcopy__; one that empties every list holding its neighbour (the
    # caller's, and any copy being made) must not make the copy read missing
    # or unfilled items.
    mark = object()

    class Wrecker:
        def __deepcopy__(self, memo):
            for o in gc.get_objects():
                if type(o) is list and len(o) == 3 and o[1] is mark:
                    o.clear()
            return "copied"

    catalog = ss.CatalogNormalizer.normalize(demo_catalog())
    rel = catalog.relationships[0]
    rel.extra = {"k": [Wrecker(), mark, 3]}
    result = ss.SchemaSift(LEXICAL).select("revenue by customer", catalog)
    got = result.selected_metadata["relationships"][0]["extra"]["k"]
    assert got[0] == "copied" and type(got[1]) is object and got[1] is not mark and got[2] == 3


def test_code_run_mid_call_that_reads_every_list_the_collector_knows():
    # Lists a call is still filling are out of the collector's sight: code it
    # runs (a field property, a replaced stage) that reads every list it can
    # find, as a debugger or leak hunter does, never meets an unfilled slot.
    from askweave import turnlens as tl

    def read_every_list():
        for o in gc.get_objects():
            if type(o) is list:
                o[:]

    class Col(ss.ColumnMeta):
        @property
        def role(self):
            read_every_list()
            return "metric"

        @role.setter
        def role(self, value):
            pass

    catalog = ss.MetadataCatalog(tables=[ss.TableMeta("orders", columns=[Col("revenue"), Col("region"), Col("day")])])
    result = ss.SchemaSift(LEXICAL).select("revenue by region", catalog)
    assert [c["role"] for c in result.debug["selected_column_rankings"]["orders"]] == ["metric"] * 3
    assert "revenue" in ss.TableMeta("orders", columns=[Col("revenue")]).searchable_text()

    class Lens(tl.TurnLens):
        def _artifact_matches(self, ref, card):
            read_every_list()
            return super()._artifact_matches(ref, card)

    cards = [tl.TurnContextCard(turn_id=i, user_question=f"revenue by region {i}") for i in range(1, 6)]
    assert Lens().resolve("show chart 2 again", cards).to_dict() == tl.TurnLens().resolve("show chart 2 again",
                                                                                          cards).to_dict()


def test_formatting_that_replaces_the_fields_being_rendered():
    # A name whose formatting rewrites its own record: the fields read before
    # must stay alive until they are rendered.
    class Rewriting:
        def __init__(self):
            self.record = None

        def __format__(self, spec):
            r = self.record
            for field in ("description", "business_name", "type", "role", "tags", "synonyms", "sample_values",
                          "default_date_column", "columns"):
                if hasattr(r, field):
                    setattr(r, field, None)
            return "rewritten"

    for make in (lambda n: ss.TableMeta(n, "b" * 50, "d" * 50, ["t" * 50], [ss.ColumnMeta("c")], "x" * 50),
                 lambda n: ss.ColumnMeta(n, "T" * 50, "d" * 50, ["s" * 50], "dimension", ["t" * 50],
                                         sample_values=["v" * 50])):
        name = Rewriting()
        record = make(name)
        name.record = record
        text = record.searchable_text()
        assert "rewritten" in text and "d" * 50 in text


def test_output_size_counts_values_changed_later_in_the_call():
    # The truth test of a later field (left out: it is false) grows a list the
    # output already holds: the reported size is that of the finished output.
    import json
    from pyref import schemasift as py

    def catalog(inner):
        class Grows:
            def __bool__(self):
                inner.append("b" * 12)
                return False

            def __str__(self):
                return "grows"

        samples = [inner, ("t", inner), 3]
        return {"tables": [{"table_name": "orders", "default_metric_column": Grows(),
                            "columns": [{"name": "amount", "sample_values": samples}, {"name": "day"}]}]}

    for mod in (ss, py):
        config = mod.SelectorConfig(strategy="lexical", include_sample_values=True)
        result = mod.SchemaSift(config).select("amount by day", catalog(["a"]))
        shown = json.dumps(result.selected_metadata, ensure_ascii=False, default=str)
        assert result.metrics.output_chars == len(shown)


def test_role_truth_tests_run_on_the_value_found():
    # The role found is tested twice (found, then used), and its first test
    # replaces the map's role: the second test and str() see the value found.
    from pyref import schemasift as py

    def catalog():
        col = {"name": "order_date", "type": "Date"}

        class Flips:
            calls = 0

            def __bool__(self):
                Flips.calls += 1
                col["role"] = "metric"
                return Flips.calls == 1

            def __str__(self):
                return "Dimension"

        col["role"] = Flips()
        return {"tables": [{"table_name": "orders", "columns": [col]}]}

    roles = [mod.CatalogNormalizer.normalize(catalog()).tables[0].columns[0].role for mod in (ss, py)]
    assert roles[0] == roles[1] == "date"


def test_repeated_calls_do_not_leak():
    sifter = ss.SchemaSift(ss.SelectorConfig(strategy="lexical", include_sample_values=True, max_output_chars=900))
    catalog = demo_catalog()
    record = ss.CatalogNormalizer.normalize(catalog)
    questions = ["Show total revenue by region", "top 3 customers", "", "   "]

    def round_trip(i):
        q = questions[i % len(questions)]
        try:
            sifter.select(q or "x", catalog if i % 2 else record, required_tables=["customers"]).to_dict(True)
        except ValueError:
            pass
        try:
            sifter.select(q, {"tables": [{"name": "t", "columns": [{"name": 1}]}]})
        except (TypeError, ValueError):
            pass

    assert_flat(round_trip)
