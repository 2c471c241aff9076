# examples/catalog_index.py
import pickle
from typing import Any

from askweave import schemasift

catalog: dict[str, Any] = {
    "tables": [
        {"name": "orders", "columns": [{"name": c} for c in ("order_id", "customer_id", "region", "revenue")]},
        {"name": "customers", "columns": [{"name": c} for c in ("customer_id", "name", "signup_date")]},
    ],
    "relationships": [{"from_table": "orders", "from_column": "customer_id",
                       "to_table": "customers", "to_column": "customer_id"}],
}
config = schemasift.SelectorConfig(strategy="lexical")
index = schemasift.CatalogIndex(catalog, config, database="shop")  # a snapshot, indexed once
questions = ["monthly revenue by region", "which customers signed up last week?"]
results = index.select_many(questions, threads=2)                  # in input order
assert results[0] == schemasift.SchemaSift(config).select(questions[0], catalog, database="shop")
again = pickle.loads(pickle.dumps(index))                          # with its fits, for other processes
for question, result in zip(questions, again.select_many(questions)):
    print(question, "->", [t["table_name"] for t in result.selected_metadata["tables"]])
