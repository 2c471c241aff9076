"""Schema selection demonstration: ``python -m askweave.demos.schemasift``.

Selects the slice of a two-table sample catalog that matters for one sample
question and prints the selected metadata, the metrics line and the debug
rankings. Importing this module prints nothing.
"""
import json

from askweave.schemasift import select_metadata

QUESTION = "Show total revenue by region for last 6 months"


def demo_catalog() -> dict:
    """The sample catalog, in the loose shape the normalizer reads."""
    return {
        "database": "sales_demo",
        "tables": [
            {
                "table_name": "sales_orders",
                "business_name": "Sales Orders",
                "description": "Order-level sales transactions with revenue, region, product and order date.",
                "tags": ["sales", "orders", "revenue"],
                "default_date_column": "order_date",
                "default_metric_column": "revenue",
                "columns": [
                    {"name": "order_id", "type": "String", "description": "Unique order identifier",
                     "role": "primary_key", "is_primary_key": True},
                    {"name": "order_date", "type": "Date", "description": "Date when the order was created",
                     "synonyms": ["date", "sales date", "created date"], "role": "date"},
                    {"name": "region", "type": "String", "description": "Sales region or zone",
                     "synonyms": ["zone", "area", "location"], "role": "dimension"},
                    {"name": "revenue", "type": "Float64", "description": "Revenue amount or sales amount",
                     "synonyms": ["sales", "amount", "income", "value"], "role": "metric"},
                    {"name": "product_name", "type": "String", "description": "Name of the product sold",
                     "synonyms": ["product", "item"], "role": "dimension"},
                ],
            },
            {
                "table_name": "customers",
                "business_name": "Customers",
                "description": "Customer master data including customer profile and region.",
                "tags": ["customer", "profile"],
                "columns": [
                    {"name": "customer_id", "type": "String", "role": "primary_key", "is_primary_key": True},
                    {"name": "customer_name", "type": "String", "role": "dimension"},
                    {"name": "age_group", "type": "String", "synonyms": ["age", "age band"], "role": "dimension"},
                ],
            },
        ],
        "relationships": [
            {"from_table": "sales_orders", "from_column": "customer_id",
             "to_table": "customers", "to_column": "customer_id"},
        ],
    }


def run() -> str:
    """The demonstration's output text."""
    result = select_metadata(
        QUESTION, demo_catalog(), strategy="hybrid", top_k_tables=2, max_columns_per_table=10
    )
    return "\n".join(
        [
            json.dumps(result.selected_metadata, indent=2),
            result.metrics.summary(),
            json.dumps(result.debug, indent=2),
        ]
    ) + "\n"


def main() -> None:
    print(run(), end="")


if __name__ == "__main__":
    main()
