# examples/conversation.py
from askweave import schemasift, turnlens

catalog = {
    "database": "shop",
    "tables": [
        {"table_name": "sales_orders", "default_date_column": "order_date", "columns": [
            {"name": "order_id", "type": "String", "is_primary_key": True},
            {"name": "order_date", "type": "Date"},
            {"name": "region", "type": "String", "synonyms": ["zone"]},
            {"name": "category", "type": "String"},
            {"name": "revenue", "type": "Float64", "synonyms": ["sales", "amount"]},
        ]},
        {"table_name": "customers", "columns": [
            {"name": "customer_id", "type": "String", "is_primary_key": True},
            {"name": "age_group", "type": "String"},
        ]},
    ],
}
sifter = schemasift.SchemaSift(schemasift.SelectorConfig(strategy="lexical"))
lens = turnlens.TurnLens()
cards: list[turnlens.TurnContextCard] = []  # one card per answered turn, kept by the host


def ask(message: str) -> tuple[turnlens.ContextResolution, schemasift.MetadataSelectionResult | None]:
    resolution = lens.resolve(message, cards, active_turn_id=cards[-1].turn_id if cards else None)
    if resolution.route == "clarify":
        return resolution, None  # show resolution.clarification_question to the user
    result = sifter.select(
        resolution.metadata_search_query or resolution.resolved_question,
        catalog,
        required_tables=resolution.required_tables or None,
        required_columns=resolution.required_columns or None,
    )
    tables = result.selected_metadata["tables"]
    # ... the model answers from result.selected_metadata; then remember the turn:
    cards.append(turnlens.TurnContextCard(
        turn_id=len(cards) + 1,
        user_question=message,
        resolved_question=resolution.resolved_question,
        selected_metadata_ids=[f"table:{t['table_name']}" for t in tables],
        query_state={
            "active_tables": [t["table_name"] for t in tables],
            "metrics": ["revenue"],
            "group_by": ["region"],
            "aggregation": {"function": "sum", "column": "revenue"},
        },
    ))
    return resolution, result


first, _ = ask("Show total revenue by region for last 6 months")
follow_up, selection = ask("make it category based")
print(first.context_type, "->", follow_up.context_type)  # fresh_question -> modify_previous_query
print(follow_up.resolved_question)                       # Show sum revenue by category
