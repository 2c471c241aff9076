"""Context resolution demonstration: ``python -m askweave.demos.turnlens``.

Stores one sample turn card, resolves four follow-up messages against it with
default settings and prints each resolution. Importing this module prints
nothing.
"""
import json

from askweave.turnlens import TurnContextCard, TurnLens

QUESTION = "Show total revenue by region for last 6 months"
MESSAGES = ["consider monthly?", "make it category based", "what else we get?", "Show failed payment count by bank"]


def demo_card() -> TurnContextCard:
    """The card a host would store after answering the first question."""
    return TurnContextCard(
        turn_id=1,
        user_question=QUESTION,
        resolved_question=QUESTION,
        assistant_answer_summary="Generated SQL for total revenue grouped by region for the last 6 months.",
        task_type="text_to_sql",
        artifact_type="sql",
        topic_keywords=["sales", "revenue", "region", "last 6 months"],
        entities=["sales_orders", "revenue", "region", "order_date"],
        selected_metadata_ids=[
            "table:sales_orders",
            "column:sales_orders.revenue",
            "column:sales_orders.region",
            "column:sales_orders.order_date",
        ],
        query_state={
            "active_tables": ["sales_orders"],
            "active_columns": ["revenue", "region", "order_date"],
            "metrics": ["revenue"],
            "dimensions": ["region"],
            "date_columns": ["order_date"],
            "group_by": ["region"],
            "filters": [{"column": "order_date", "operation": "last_6_months"}],
            "aggregation": {"function": "sum", "column": "revenue"},
            "granularity": None,
        },
        sql=(
            "SELECT region, SUM(revenue) AS total_revenue FROM sales_demo.sales_orders "
            "WHERE order_date >= CURRENT_DATE - INTERVAL '6 months' GROUP BY region"
        ),
    )


def run() -> str:
    """The demonstration's output text."""
    cards = [demo_card()]
    lens = TurnLens()
    lines = []
    for message in MESSAGES:
        result = lens.resolve(message, cards)
        lines.append(f"\nQUESTION: {message}")
        lines.append(json.dumps(result.to_dict(), indent=2, default=str))
    return "\n".join(lines) + "\n"


def main() -> None:
    print(run(), end="")


if __name__ == "__main__":
    main()
