# examples/select_metadata.py
from askweave import schemasift

catalog = {
    "database": "shop",
    "tables": {
        "orders": {
            "default_date_column": "order_date",
            "columns": {
                "order_date": {"type": "Date"},
                "region": {"type": "LowCardinality(String)", "synonyms": ["zone"]},
                "revenue": {"type": "Decimal(18,2)", "description": "Order value"},
            },
        },
        "customers": {"columns": {"customer_id": {"type": "Int64", "primary_key": True}}},
    },
}

result = schemasift.select_metadata("Show total revenue by region for last 6 months", catalog,
                                    strategy="lexical")
prompt_context = result.selected_metadata      # plain dict for the model's prompt
print(result.metrics.summary())                 # tables 2 → 1 (50.0% cut), columns ...
print(result.metrics.catalog_hash)              # stable: a cache key for the catalog

# Full control: a reusable, thread-safe selector with its configuration.
sifter = schemasift.SchemaSift(schemasift.SelectorConfig(strategy="lexical", top_k_tables=2))
result = sifter.select("monthly revenue", catalog,
                       required_tables=["orders"], required_columns={"orders": ["region"]})
