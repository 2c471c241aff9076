"""recommended_config: the recommended settings as a plain SelectorConfig, and
the table choice they reach on the Spider dev questions."""
import copy
import os
import pathlib
import sys

import pytest

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "bench"))

from askweave import schemasift as ss  # noqa: E402
from harness import assert_flat  # noqa: E402
from pyref import schemasift as ref  # noqa: E402
from test_schemasift_select import assert_same, mirror, result_view  # noqa: E402

import spider_modes  # noqa: E402

SPIDER = HERE.parent.parent / "shared" / "data" / "spider"

NO_MODEL = dict(strategy="hybrid", min_table_score=0.0, use_tfidf_if_available=True,
                use_embeddings_if_available=False, embedding_model_name_or_path=None,
                lexical_alpha=0.25, tfidf_alpha=0.75, embedding_alpha=0.0)
WITH_MODEL = dict(NO_MODEL, use_embeddings_if_available=True, lexical_alpha=0.2, tfidf_alpha=0.2,
                  embedding_alpha=0.6)


class StrPath(str):
    pass


class FsPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize("kwargs, expected", [
    ({}, dict(NO_MODEL, top_k_tables=3)),
    ({"top_k_tables": 1}, dict(NO_MODEL, top_k_tables=1)),
    ({"top_k_tables": 10**30}, dict(NO_MODEL, top_k_tables=10**30)),
    ({"embedding_model_name_or_path": None, "top_k_tables": 2}, dict(NO_MODEL, top_k_tables=2)),
    ({"embedding_model_name_or_path": "all-MiniLM-L6-v2"},
     dict(WITH_MODEL, top_k_tables=3, embedding_model_name_or_path="all-MiniLM-L6-v2")),
    ({"embedding_model_name_or_path": pathlib.Path("/models/minilm"), "top_k_tables": 2},
     dict(WITH_MODEL, top_k_tables=2, embedding_model_name_or_path="/models/minilm")),
    ({"embedding_model_name_or_path": StrPath("m")}, dict(WITH_MODEL, top_k_tables=3, embedding_model_name_or_path="m")),
    ({"embedding_model_name_or_path": FsPath("m2")}, dict(WITH_MODEL, top_k_tables=3, embedding_model_name_or_path="m2")),
])
def test_recommended_values_on_a_plain_config(kwargs, expected):
    config = ss.recommended_config(**kwargs)
    assert type(config) is ss.SelectorConfig
    assert config == ss.SelectorConfig(**expected)
    # every field not named keeps its default, and names and numbers have their plain types
    defaults = ss.SelectorConfig()
    for field in ss.SelectorConfig.__match_args__:
        value = getattr(config, field)
        if field not in expected:
            assert value == getattr(defaults, field), field
        assert type(value) is type(expected.get(field, getattr(defaults, field))), field
    # a fresh record each call: editing one leaves the next untouched
    config.lexical_alpha = 9.0
    assert ss.recommended_config(**kwargs) == ss.SelectorConfig(**expected)


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((3,), {}, TypeError, "positional"),
    ((), {"top_k": 3}, TypeError, "top_k"),
    ((), {"top_k_tables": 0}, ValueError, "top_k_tables must be at least 1, not 0"),
    ((), {"top_k_tables": -2}, ValueError, "at least 1"),
    ((), {"top_k_tables": True}, TypeError, "top_k_tables must be an int, not bool"),
    ((), {"top_k_tables": 2.0}, TypeError, "not float"),
    ((), {"top_k_tables": "3"}, TypeError, "not str"),
    ((), {"top_k_tables": None}, TypeError, "not NoneType"),
    ((), {"embedding_model_name_or_path": ""}, ValueError, "must not be empty"),
    ((), {"embedding_model_name_or_path": FsPath("")}, ValueError, "must not be empty"),
    ((), {"embedding_model_name_or_path": b"model"}, TypeError, "not bytes"),
    ((), {"embedding_model_name_or_path": FsPath(b"model")}, TypeError, "not bytes"),
    ((), {"embedding_model_name_or_path": 3}, TypeError, "str, an os.PathLike or None, not int"),
    ((), {"embedding_model_name_or_path": FsPath(3)}, TypeError, None),
])
def test_bad_arguments_raise_clear_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        ss.recommended_config(*args, **kwargs)
    if message:
        assert message in str(info.value)


def test_index_like_numbers_are_whole_numbers():
    class Count:
        def __index__(self):
            return 4
    config = ss.recommended_config(top_k_tables=Count())
    assert config.top_k_tables == 4 and type(config.top_k_tables) is int


def test_repeated_calls_do_not_leak():
    calls = [dict(top_k_tables=2), dict(embedding_model_name_or_path=pathlib.Path("m")),
             dict(embedding_model_name_or_path=StrPath("m"), top_k_tables=10**20),
             dict(top_k_tables=0), dict(top_k_tables=1.5), dict(embedding_model_name_or_path=FsPath(b"m")),
             dict(embedding_model_name_or_path="")]

    def round_trip(i):
        try:
            ss.recommended_config(**calls[i % len(calls)])
        except (TypeError, ValueError):
            pass

    assert_flat(round_trip)


def shop_catalog():
    return {
        "database": "shop",
        "tables": [
            {"table_name": "orders", "columns": [{"name": "order_id", "is_primary_key": True},
                                                 {"name": "customer_id"}, {"name": "amount", "type": "decimal"},
                                                 {"name": "order_date", "type": "date"}]},
            {"table_name": "customers", "columns": [{"name": "customer_id", "is_primary_key": True},
                                                    {"name": "region"}, {"name": "segment"}]},
            {"table_name": "products", "columns": [{"name": "product_id"}, {"name": "category"}]},
            {"table_name": "warehouses", "columns": [{"name": "warehouse_code"}, {"name": "city"}]},
        ],
        "relationships": [{"from_table": "orders", "from_column": "customer_id",
                           "to_table": "customers", "to_column": "customer_id"}],
    }


@pytest.mark.parametrize("question", ["total amount of orders by region last month", "warehouse cities",
                                      "zzz qqq"])
@pytest.mark.parametrize("k", [1, 2, 3])
def test_select_takes_the_config_and_fills_every_slot(question, k):
    config = ss.recommended_config(top_k_tables=k)
    native = ss.SchemaSift(config).select(question, shop_catalog())
    oracle = ref.SchemaSift(mirror(config, ref)).select(question, copy.deepcopy(shop_catalog()))
    assert_same(result_view(native), result_view(oracle))
    # minimum score 0: the budget of tables is always used, even without evidence
    assert len(native.selected_metadata["tables"]) == k
    if hasattr(ss, "CatalogIndex"):
        indexed = ss.CatalogIndex(shop_catalog(), config).select(question)
        assert_same(result_view(indexed), result_view(native))


# ---------------------------------------------------------------------------
# The Spider protocol, without a model
# ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def spider():
    if not (SPIDER / "catalogs.json").exists() or not (SPIDER / "dev.jsonl").exists():
        pytest.skip("Spider data not present")
    pytest.importorskip("sklearn")
    return spider_modes.load(SPIDER)


def test_spider_without_a_model_beats_the_rules_and_bm25(spider):
    rows = {m.name: m for m in spider_modes.methods(None)}
    assert not any(m.needs_model for m in rows.values())
    recommended = rows["recommended_config, no model"]
    share = {}
    for name in ("recommended_config, no model", "BM25 over table documents"):
        for k in (2, 3):
            hit, n, per = spider_modes.run_per_database(rows[name], spider, k).hits()
            assert n == 1034
            share[name, k] = 100.0 * hit / n
            if name == recommended.name:  # every slot filled
                assert per == pytest.approx(sum(min(k, len(spider.catalogs[q.db_id]["tables"]))
                                                for q in spider.questions) / n)
    assert share["recommended_config, no model", 3] >= 94.0
    assert share["recommended_config, no model", 2] >= 80.5
    for k in (2, 3):
        assert share["recommended_config, no model", k] > share["BM25 over table documents", k]
