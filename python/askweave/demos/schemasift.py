"""Schema selection demonstration: ``python -m askweave.demos.schemasift``."""
import json

from askweave.schemasift import CatalogNormalizer

SAMPLE_CATALOG = {
    "database": "shop",
    "tables": {
        "orders": {
            "description": "One row per customer order",
            "default_date_column": "order_date",
            "columns": {
                "order_id": {"type": "Int64", "is_primary_key": True},
                "customer_id": {"type": "Int64", "foreign_key": True},
                "order_date": {"type": "Date"},
                "region": {"type": "LowCardinality(String)", "synonyms": ["zone", "area"]},
                "revenue": {"type": "Decimal(18,2)", "description": "Order value after discounts"},
            },
        },
        "customers": {
            "columns": [
                {"name": "customer_id", "type": "Int64", "primary_key": True},
                {"name": "segment", "type": "String", "role": "category"},
            ],
        },
    },
    "joins": [
        {"left_table": "orders", "left_column": "customer_id",
         "right_table": "customers", "right_column": "customer_id"},
    ],
}


def main() -> None:
    catalog = CatalogNormalizer.normalize(SAMPLE_CATALOG)
    print(json.dumps(catalog.to_prompt_dict(), indent=2))


if __name__ == "__main__":
    main()
