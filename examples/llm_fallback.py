"""A language-model fallback for context resolution, typed as the stubs declare it.

The callback is asked only for hard cases (see TurnLens's documentation): here
a plain rule stands in for the model, so the example runs offline. A failing
callback leaves the rule-based resolution in place and is reported through
logging, on the logger "askweave".

    python examples/llm_fallback.py
"""
import logging
from typing import Any

from askweave import turnlens

QUESTION = "Show total revenue by region for last 6 months"


def ask_model(message: str, cards: list[dict[str, Any]], signals: dict[str, Any]) -> dict[str, Any] | None:
    """A stand-in for a model call: continue the newest card, or keep the rules' result.

    A real callback turns the three arguments into a prompt, calls its model and
    parses the reply into this dict; returning None (or {}) keeps the rules' result.
    """
    if not cards or signals["suggestion"]:
        return None
    newest = cards[0]  # summaries come newest first
    return {
        "context_type": "modify_previous_query",
        "base_turn_id": newest["turn_id"],
        "resolved_question": f"{newest['resolved_question']}, monthly",
        "confidence": 0.7,
        "reason": "model: a change to the latest result",
    }


def unreachable_model(message: str, cards: list[dict[str, Any]], signals: dict[str, Any]) -> dict[str, Any] | None:
    raise TimeoutError("the model did not answer")


def main() -> None:
    logging.basicConfig(format="%(name)s %(levelname)s: %(message)s")
    card = turnlens.TurnContextCard(
        turn_id=1,
        user_question=QUESTION,
        resolved_question=QUESTION,
        query_state={"active_tables": ["sales_orders"], "active_columns": ["revenue", "region", "order_date"]},
    )
    config = turnlens.ResolverConfig(use_llm_fallback=True)
    callback: turnlens.ResolverLLMFallback
    for callback in (ask_model, unreachable_model):
        lens = turnlens.TurnLens(config, callback)
        # "consider monthly?" carries a change but no word pointing back: the rules
        # find no clear base turn, so the callback is asked before the user is.
        resolution = lens.resolve("consider monthly?", [card])
        print(f"{callback.__name__}: {resolution.context_type} ({resolution.route}): {resolution.resolved_question}")
        print(f"    required tables {resolution.required_tables}, reason: {resolution.reason}")


if __name__ == "__main__":
    main()
