"""Diagnostics go to the logger "askweave", and logging never changes a result."""
import logging
import sys

import pytest

from askweave import schemasift, turnlens

QUESTION = "Show total revenue by region for last 6 months"
CATALOG = {
    "database": "shop",
    "tables": [
        {"table_name": "sales_orders", "description": "Orders with revenue by region", "columns": [
            {"name": "order_date", "type": "Date", "description": "When the order was placed"},
            {"name": "region", "type": "String", "synonyms": ["zone", "area"]},
            {"name": "revenue", "type": "Float64", "description": "Order value"},
        ]},
        {"table_name": "customers", "columns": [{"name": "customer_id", "type": "String", "primary_key": True}]},
    ],
}
CARD = turnlens.TurnContextCard(turn_id=1, user_question=QUESTION, resolved_question=QUESTION,
                                query_state={"active_tables": ["sales_orders"]})
# "consider monthly?" finds no clear base turn, so the callback is asked.
CONTEXTUAL = "consider monthly?"


@pytest.fixture
def askweave_logger():
    logger = logging.getLogger("askweave")
    level, disabled, filters = logger.level, logger.disabled, list(logger.filters)
    yield logger
    logger.setLevel(level)
    logger.disabled = disabled
    logger.filters[:] = filters


def warnings(caplog):
    return [r for r in caplog.records if r.name == "askweave" and r.levelno == logging.WARNING]


def quiet(run, logger):
    """run() with the logger switched off: the result logging must not change."""
    logger.disabled = True
    try:
        return run()
    finally:
        logger.disabled = False


def select(**settings):
    return schemasift.SchemaSift(schemasift.SelectorConfig(**settings)).select(QUESTION, CATALOG).to_dict(True)


# ------------------------------------------------------------------ callback

def raises(message, cards, signals):
    raise TimeoutError("the model did not answer")


@pytest.mark.parametrize("answer, what", [
    (raises, "raised"),
    (lambda m, c, s: ["not", "a", "dict"], "gave an unusable answer"),
    (lambda m, c, s: {"intent_delta": {"not_a_field": 1}}, "gave an unusable answer"),
    (lambda m, c, s: {"confidence": "very"}, "gave an unusable answer"),
])
def test_a_failing_callback_is_logged_and_the_rules_result_stands(caplog, askweave_logger, answer, what):
    config = turnlens.ResolverConfig(use_llm_fallback=True)
    expected = turnlens.TurnLens(config).resolve(CONTEXTUAL, [CARD]).to_dict()
    with caplog.at_level(logging.WARNING, logger="askweave"):
        got = turnlens.TurnLens(config, answer).resolve(CONTEXTUAL, [CARD]).to_dict()
    assert got == expected and got["context_type"] == "clarification_needed"
    [record] = warnings(caplog)
    assert f"language-model fallback {what}" in record.getMessage()
    assert record.exc_info and record.exc_info[1] is not None
    if answer is raises:
        assert isinstance(record.exc_info[1], TimeoutError) and "the model did not answer" in record.getMessage()
    assert quiet(lambda: turnlens.TurnLens(config, answer).resolve(CONTEXTUAL, [CARD]).to_dict(),
                 askweave_logger) == expected


@pytest.mark.parametrize("answer", [None, {}])
def test_a_callback_that_declines_is_not_a_failure(caplog, answer):
    config = turnlens.ResolverConfig(use_llm_fallback=True)
    with caplog.at_level(logging.DEBUG, logger="askweave"):
        turnlens.TurnLens(config, lambda m, c, s: answer).resolve(CONTEXTUAL, [CARD])
    assert [r for r in caplog.records if r.name == "askweave"] == []


def test_interruptions_in_the_callback_propagate_unlogged(caplog):
    def interrupted(message, cards, signals):
        raise KeyboardInterrupt
    config = turnlens.ResolverConfig(use_llm_fallback=True)
    with caplog.at_level(logging.WARNING, logger="askweave"), pytest.raises(KeyboardInterrupt):
        turnlens.TurnLens(config, interrupted).resolve(CONTEXTUAL, [CARD])
    assert warnings(caplog) == []


# ------------------------------------------------------------ output budget

class Budget(int):
    """A budget that counts how often it is turned into text."""
    shown = 0

    def __str__(self):
        Budget.shown += 1
        return int.__str__(self)


def test_an_output_budget_that_cannot_be_met_is_logged_with_its_figures(caplog, askweave_logger):
    expected = quiet(lambda: select(max_output_chars=10, strategy="lexical"), askweave_logger)
    with caplog.at_level(logging.WARNING, logger="askweave"):
        got = select(max_output_chars=10, strategy="lexical")
    assert got == expected
    [record] = warnings(caplog)
    smallest = got["metrics"]["output_chars"]
    assert smallest > 10
    assert record.getMessage() == (f"output budget of 10 characters could not be met; "
                                   f"the smallest output has {smallest}")


@pytest.mark.parametrize("budget", [None, 0, 100_000, 400])
def test_a_met_or_absent_budget_logs_nothing(caplog, budget):
    with caplog.at_level(logging.DEBUG, logger="askweave"):
        select(max_output_chars=budget, strategy="lexical")
    assert [r for r in caplog.records if r.name == "askweave"] == []


def test_nothing_is_formatted_while_the_logger_is_off(askweave_logger):
    Budget.shown = 0
    askweave_logger.setLevel(logging.ERROR)
    select(max_output_chars=Budget(10), strategy="lexical")
    assert Budget.shown == 0
    askweave_logger.setLevel(logging.WARNING)
    select(max_output_chars=Budget(10), strategy="lexical")
    assert Budget.shown == 1


# ----------------------------------------------------- optional backends

@pytest.fixture
def no_sklearn(monkeypatch):
    monkeypatch.setitem(sys.modules, "sklearn.feature_extraction.text", None)


@pytest.fixture
def no_sentence_transformers(monkeypatch):
    monkeypatch.setitem(sys.modules, "sentence_transformers", None)


def lexical_result():
    result = select(strategy="lexical")
    del result["debug"]["strategy"]
    return result


@pytest.mark.usefixtures("no_sklearn")
def test_tfidf_asked_for_without_scikit_learn_is_a_warning(caplog):
    with caplog.at_level(logging.DEBUG, logger="askweave"):
        got = select(strategy="tfidf")
    assert got["debug"]["tfidf_available"] is False
    del got["debug"]["strategy"]
    assert got == lexical_result()
    assert [r.getMessage() for r in warnings(caplog)] == [
        "strategy 'tfidf' needs scikit-learn, which could not be used; scores are lexical"]
    [debug] = [r for r in caplog.records if r.levelno == logging.DEBUG]
    assert debug.getMessage().startswith("TF-IDF similarity unavailable (scikit-learn): ")


@pytest.mark.usefixtures("no_sklearn")
def test_the_default_strategy_falls_back_to_lexical_scores_quietly(caplog):
    with caplog.at_level(logging.INFO, logger="askweave"):
        got = select()
    assert got["debug"]["tfidf_available"] is False
    assert [r for r in caplog.records if r.name == "askweave"] == []


def test_embeddings_asked_for_without_a_model_name_are_a_warning(caplog):
    with caplog.at_level(logging.WARNING, logger="askweave"):
        got = select(strategy="embedding", use_embeddings_if_available=True)
    assert got["debug"]["embedding_available"] is False
    assert [r.getMessage() for r in warnings(caplog)] == [
        "use_embeddings_if_available is set but embedding_model_name_or_path is not; no embedding similarity"]


@pytest.mark.usefixtures("no_sentence_transformers")
def test_a_model_that_cannot_be_loaded_is_a_warning_with_its_cause(caplog, askweave_logger):
    settings = dict(strategy="embedding", use_embeddings_if_available=True, embedding_model_name_or_path="m-1")
    with caplog.at_level(logging.WARNING, logger="askweave"):
        got = select(**settings)
    assert got == quiet(lambda: select(**settings), askweave_logger)
    [record] = warnings(caplog)
    assert record.getMessage().startswith("embedding model 'm-1' could not be loaded; no embedding similarity: ")
    assert isinstance(record.exc_info[1], ImportError)


# ------------------------------------------------- logging itself failing

class Explodes(logging.Filter):
    def filter(self, record):
        raise RuntimeError("a broken log filter")


def test_a_failing_logging_setup_changes_nothing(askweave_logger):
    expected_budget = quiet(lambda: select(max_output_chars=10, strategy="lexical"), askweave_logger)
    config = turnlens.ResolverConfig(use_llm_fallback=True)
    expected_resolution = turnlens.TurnLens(config).resolve(CONTEXTUAL, [CARD]).to_dict()
    askweave_logger.setLevel(logging.DEBUG)
    askweave_logger.addFilter(Explodes())
    assert select(max_output_chars=10, strategy="lexical") == expected_budget
    # the callback's error is pending while the warning is written; it is still absorbed
    assert turnlens.TurnLens(config, raises).resolve(CONTEXTUAL, [CARD]).to_dict() == expected_resolution


def test_without_logging_configured_nothing_is_printed(tmp_path):
    import subprocess
    code = (
        "from askweave import schemasift, turnlens\n"
        "def raises(m, c, s): raise TimeoutError('x')\n"
        "card = turnlens.TurnContextCard(turn_id=1, user_question='Show total revenue by region')\n"
        "lens = turnlens.TurnLens(turnlens.ResolverConfig(use_llm_fallback=True), raises)\n"
        "lens.resolve('consider monthly?', [card])\n"
        "schemasift.select_metadata('revenue', {'tables': {'t': {'columns': {'revenue': {}}}}},\n"
        "                           strategy='lexical', max_output_chars=5)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert (done.stdout, done.stderr) == ("", "")
