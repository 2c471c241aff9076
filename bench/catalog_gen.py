"""Seeded synthetic catalogs and questions for schema-selection benchmarks.

    make_catalog(n_tables, n_columns, seed=0) -> loose catalog dict
    make_questions(catalog, n, seed=0)        -> list of business questions
    load_spider_merged()                      -> every Spider database in one loose catalog

The catalogs use the loose shapes the normalizer accepts (alternative key names,
explicit and inferred roles, joins declared at catalog and at table level), so a
benchmark exercises normalization as well as scoring.  Everything is driven by
``random.Random(seed)``: the same arguments always give the same catalog.
"""

from __future__ import annotations

import json
import random
from pathlib import Path
from typing import Any, Dict, List, Optional, Tuple

SPIDER_CATALOGS = Path(__file__).resolve().parent.parent / ".." / "shared" / "data" / "spider" / "catalogs.json"

# ---------------------------------------------------------------------------
# Vocabulary
# ---------------------------------------------------------------------------

# name, type, kind, description, synonyms, tags
Col = Tuple[str, str, str, str, List[str], List[str]]

METRICS: List[Col] = [
    ("revenue", "Decimal(18,2)", "metric", "Recognised revenue in the reporting currency", ["sales", "income", "turnover"], ["finance", "kpi"]),
    ("net_amount", "Decimal(18,2)", "metric", "Amount after discounts and before tax", ["net value", "net sales"], ["finance"]),
    ("gross_amount", "Decimal(18,2)", "metric", "Amount before discounts and tax", ["gross value", "gross sales"], ["finance"]),
    ("discount_amount", "Decimal(12,2)", "metric", "Total discount granted", ["discount", "markdown"], ["pricing"]),
    ("tax_amount", "Decimal(12,2)", "metric", "Sales tax or VAT charged", ["tax", "vat"], ["finance"]),
    ("quantity", "Int32", "metric", "Number of units", ["qty", "units", "volume"], []),
    ("unit_price", "Decimal(12,4)", "metric", "Price per unit at the time of sale", ["price", "list price"], ["pricing"]),
    ("cost", "Decimal(18,2)", "metric", "Cost of goods", ["cogs", "cost of goods"], ["finance"]),
    ("margin", "Float64", "metric", "Gross margin ratio", ["gross margin", "margin percent"], ["finance", "kpi"]),
    ("profit", "Decimal(18,2)", "metric", "Revenue minus cost", ["earnings", "net profit"], ["finance", "kpi"]),
    ("shipping_cost", "Decimal(10,2)", "metric", "Freight charged by the carrier", ["freight", "delivery cost"], ["logistics"]),
    ("balance", "Decimal(18,2)", "metric", "Outstanding balance", ["open balance", "amount due"], ["finance"]),
    ("credit_limit", "Decimal(18,2)", "metric", "Approved credit limit", ["limit"], ["risk"]),
    ("duration_seconds", "UInt32", "metric", "Duration in seconds", ["duration", "time spent"], []),
    ("hours_worked", "Float32", "metric", "Hours booked on the timesheet", ["hours", "working hours"], ["hr"]),
    ("salary", "Decimal(12,2)", "metric", "Annual base salary", ["pay", "base pay", "compensation"], ["hr", "pii"]),
    ("bonus_amount", "Decimal(12,2)", "metric", "Bonus paid in the period", ["bonus", "incentive"], ["hr"]),
    ("rating", "Float32", "metric", "Average rating from 1 to 5", ["stars", "review score"], ["quality"]),
    ("nps_score", "Int8", "metric", "Net promoter score answer", ["nps", "promoter score"], ["quality", "kpi"]),
    ("clicks", "UInt64", "metric", "Ad clicks", ["click count"], ["marketing"]),
    ("impressions", "UInt64", "metric", "Ad impressions served", ["views", "ad views"], ["marketing"]),
    ("conversions", "UInt32", "metric", "Attributed conversions", ["conversion count", "sign ups"], ["marketing", "kpi"]),
    ("spend", "Decimal(14,2)", "metric", "Media spend", ["ad spend", "marketing cost"], ["marketing"]),
    ("budget_amount", "Decimal(14,2)", "metric", "Planned budget", ["budget", "plan"], ["finance"]),
    ("stock_on_hand", "Int64", "metric", "Units available in stock", ["inventory", "on hand", "stock"], ["inventory"]),
    ("reorder_level", "Int32", "metric", "Stock level that triggers a reorder", ["reorder point"], ["inventory"]),
    ("weight_kg", "Float64", "metric", "Shipment weight in kilograms", ["weight"], ["logistics"]),
    ("distance_km", "Float64", "metric", "Distance travelled in kilometres", ["distance", "mileage"], ["logistics"]),
    ("page_views", "UInt64", "metric", "Page views in the session", ["views", "pageviews"], ["web"]),
    ("session_count", "UInt32", "metric", "Number of sessions", ["sessions", "visits"], ["web"]),
    ("churn_probability", "Float64", "metric", "Model score for churn risk", ["churn risk", "churn score"], ["ml"]),
    ("lifetime_value", "Decimal(18,2)", "metric", "Predicted customer lifetime value", ["ltv", "clv"], ["ml", "kpi"]),
    ("mrr", "Decimal(14,2)", "metric", "Monthly recurring revenue", ["monthly recurring revenue", "recurring revenue"], ["saas", "kpi"]),
    ("refund_amount", "Decimal(12,2)", "metric", "Amount refunded to the customer", ["refund", "refunds"], ["finance"]),
    ("resolution_minutes", "UInt32", "metric", "Minutes until the ticket was resolved", ["resolution time", "time to resolve"], ["support", "kpi"]),
]

DIMENSIONS: List[Col] = [
    ("region", "LowCardinality(String)", "dimension", "Sales region or zone", ["zone", "area", "territory"], ["geo"]),
    ("country", "LowCardinality(String)", "dimension", "ISO country name", ["nation", "market"], ["geo"]),
    ("city", "String", "dimension", "City name", ["town", "location"], ["geo"]),
    ("state", "LowCardinality(String)", "dimension", "State or province", ["province"], ["geo"]),
    ("channel", "LowCardinality(String)", "dimension", "Sales channel such as web, store or partner", ["sales channel", "medium"], []),
    ("status", "LowCardinality(String)", "dimension", "Current lifecycle status", ["state", "stage"], []),
    ("payment_method", "LowCardinality(String)", "dimension", "Card, transfer, wallet or cash", ["payment type", "tender"], ["finance"]),
    ("category", "LowCardinality(String)", "dimension", "Product category", ["product category", "department"], ["catalog"]),
    ("subcategory", "LowCardinality(String)", "dimension", "Product subcategory", ["product subcategory"], ["catalog"]),
    ("brand", "LowCardinality(String)", "dimension", "Brand name", ["label", "make"], ["catalog"]),
    ("segment", "LowCardinality(String)", "dimension", "Customer segment", ["customer segment", "cohort"], ["crm"]),
    ("tier", "LowCardinality(String)", "dimension", "Loyalty or pricing tier", ["level", "plan tier"], ["crm"]),
    ("department", "LowCardinality(String)", "dimension", "Organisational department", ["team", "division"], ["hr"]),
    ("job_title", "String", "dimension", "Job title of the employee", ["title", "position", "role"], ["hr"]),
    ("priority", "LowCardinality(String)", "dimension", "Ticket priority", ["urgency"], ["support"]),
    ("severity", "Enum8('low' = 1, 'medium' = 2, 'high' = 3)", "dimension", "Incident severity", ["impact"], ["support"]),
    ("carrier_name", "LowCardinality(String)", "dimension", "Shipping carrier", ["carrier", "courier", "shipper"], ["logistics"]),
    ("warehouse_code", "LowCardinality(String)", "dimension", "Warehouse or fulfilment centre code", ["warehouse", "depot", "dc"], ["inventory"]),
    ("currency", "FixedString(3)", "dimension", "ISO 4217 currency code", ["currency code"], ["finance"]),
    ("plan_name", "LowCardinality(String)", "dimension", "Subscription plan", ["plan", "package"], ["saas"]),
    ("device_type", "LowCardinality(String)", "dimension", "Desktop, mobile or tablet", ["device", "platform"], ["web"]),
    ("traffic_source", "LowCardinality(String)", "dimension", "Acquisition source", ["source", "utm source", "referrer"], ["marketing"]),
    ("campaign_name", "String", "dimension", "Marketing campaign name", ["campaign"], ["marketing"]),
    ("product_name", "String", "dimension", "Name of the product", ["product", "item", "article"], ["catalog"]),
    ("customer_name", "String", "dimension", "Full customer name", ["client name", "buyer"], ["crm", "pii"]),
    ("email", "String", "dimension", "Contact e-mail address", ["e-mail", "mail"], ["pii"]),
    ("phone_number", "Nullable(String)", "dimension", "Contact phone number", ["phone", "telephone"], ["pii"]),
    ("gender", "LowCardinality(Nullable(String))", "dimension", "Self-reported gender", ["sex"], ["pii"]),
    ("age_group", "LowCardinality(String)", "dimension", "Age band such as 25-34", ["age", "age band"], ["crm"]),
    ("language", "LowCardinality(String)", "dimension", "Preferred language", ["locale"], []),
    ("order_type", "LowCardinality(String)", "dimension", "New, repeat or replacement order", ["type of order"], ["sales"]),
    ("return_reason", "String", "dimension", "Reason given for the return", ["reason"], ["logistics"]),
    ("account_type", "LowCardinality(String)", "dimension", "Business or consumer account", ["customer type"], ["crm"]),
    ("sku", "String", "dimension", "Stock keeping unit", ["article number", "item code"], ["catalog"]),
    ("notes", "String", "text", "Free-text notes", ["comments", "remarks"], []),
]

DATES: List[Col] = [
    ("created_at", "DateTime", "datetime", "When the row was created", ["creation time", "created"], ["audit"]),
    ("updated_at", "DateTime64(3)", "datetime", "When the row was last changed", ["modified", "last update"], ["audit"]),
    ("event_time", "DateTime64(6)", "datetime", "Time of the event", ["timestamp", "event timestamp"], []),
    ("due_date", "Date", "date", "Payment due date", ["due", "deadline"], ["finance"]),
    ("closed_at", "Nullable(DateTime)", "datetime", "When the record was closed", ["close time", "closed"], []),
    ("valid_from", "Date", "date", "First day the record is valid", ["effective date", "start date"], ["scd"]),
    ("valid_to", "Date", "date", "Last day the record is valid", ["end date", "expiry"], ["scd"]),
]

FLAGS: List[Col] = [
    ("is_active", "Bool", "boolean", "Whether the record is active", ["active"], []),
    ("is_deleted", "UInt8", "boolean", "Soft-delete flag", ["deleted"], ["audit"]),
    ("is_test", "Bool", "boolean", "Test or internal record", ["test flag"], ["quality"]),
    ("is_refunded", "Bool", "boolean", "Whether the order was refunded", ["refunded"], ["finance"]),
    ("has_discount", "Bool", "boolean", "Whether a discount was applied", ["discounted"], ["pricing"]),
]

# entity key: singular, plural business name, domain, grain, date column, metric names, dimension names
ENTITIES: Dict[str, Tuple[str, str, str, str, Tuple[str, str, str], List[str], List[str]]] = {
    "orders": ("order", "Sales Orders", "sales", "order", ("order_date", "Date", "Date the order was placed"), ["revenue", "net_amount", "discount_amount", "tax_amount", "quantity"], ["region", "channel", "status", "order_type", "payment_method"]),
    "order_items": ("order_item", "Order Lines", "sales", "order line", ("order_date", "Date", "Date of the parent order"), ["quantity", "unit_price", "net_amount", "discount_amount", "margin"], ["product_name", "sku", "category", "brand"]),
    "customers": ("customer", "Customers", "crm", "customer", ("signup_date", "Date", "Date the customer signed up"), ["lifetime_value", "credit_limit", "churn_probability"], ["customer_name", "email", "segment", "tier", "country", "city", "age_group", "account_type"]),
    "accounts": ("account", "Accounts", "crm", "account", ("opened_at", "DateTime", "When the account was opened"), ["balance", "credit_limit", "mrr"], ["account_type", "segment", "tier", "country"]),
    "leads": ("lead", "Leads", "marketing", "lead", ("captured_at", "DateTime", "When the lead was captured"), ["churn_probability"], ["traffic_source", "campaign_name", "status", "country", "email"]),
    "invoices": ("invoice", "Invoices", "finance", "invoice", ("invoice_date", "Date", "Date the invoice was issued"), ["gross_amount", "net_amount", "tax_amount", "balance"], ["currency", "status", "payment_method", "region"]),
    "payments": ("payment", "Payments", "finance", "payment", ("paid_at", "DateTime", "When the payment settled"), ["net_amount", "refund_amount"], ["payment_method", "currency", "status", "channel"]),
    "refunds": ("refund", "Refunds", "finance", "refund", ("refunded_at", "DateTime", "When the refund was issued"), ["refund_amount"], ["return_reason", "payment_method", "status"]),
    "expenses": ("expense", "Expenses", "finance", "expense line", ("expense_date", "Date", "Date the expense was incurred"), ["net_amount", "tax_amount", "budget_amount"], ["department", "category", "currency", "status"]),
    "budgets": ("budget", "Budgets", "finance", "budget line", ("period_start", "Date", "First day of the budget period"), ["budget_amount", "spend"], ["department", "region", "category"]),
    "campaigns": ("campaign", "Marketing Campaigns", "marketing", "campaign", ("launch_date", "Date", "Campaign launch date"), ["spend", "impressions", "clicks", "conversions", "budget_amount"], ["campaign_name", "channel", "traffic_source", "region", "status"]),
    "ad_performance": ("ad_stat", "Ad Performance", "marketing", "ad per day", ("stat_date", "Date", "Reporting day"), ["impressions", "clicks", "conversions", "spend"], ["campaign_name", "device_type", "country", "traffic_source"]),
    "web_sessions": ("session", "Web Sessions", "web", "session", ("session_start", "DateTime", "Session start time"), ["page_views", "duration_seconds", "conversions"], ["device_type", "traffic_source", "country", "language"]),
    "products": ("product", "Products", "catalog", "product", ("launched_on", "Date", "Product launch date"), ["unit_price", "cost", "margin", "rating"], ["product_name", "sku", "category", "subcategory", "brand"]),
    "inventory_levels": ("inventory_level", "Inventory Levels", "inventory", "product per warehouse per day", ("snapshot_date", "Date", "Snapshot day"), ["stock_on_hand", "reorder_level", "cost"], ["warehouse_code", "sku", "category"]),
    "suppliers": ("supplier", "Suppliers", "procurement", "supplier", ("onboarded_at", "Date", "Supplier onboarding date"), ["rating", "credit_limit"], ["country", "city", "tier", "status"]),
    "purchase_orders": ("purchase_order", "Purchase Orders", "procurement", "purchase order", ("po_date", "Date", "Purchase order date"), ["gross_amount", "quantity", "unit_price"], ["status", "currency", "warehouse_code"]),
    "shipments": ("shipment", "Shipments", "logistics", "shipment", ("shipped_at", "DateTime", "When the parcel left the warehouse"), ["shipping_cost", "weight_kg", "distance_km"], ["carrier_name", "warehouse_code", "country", "status"]),
    "returns": ("return", "Returns", "logistics", "returned item", ("returned_at", "DateTime", "When the return was received"), ["refund_amount", "quantity"], ["return_reason", "status", "warehouse_code"]),
    "employees": ("employee", "Employees", "hr", "employee", ("hire_date", "Date", "Date of hire"), ["salary", "bonus_amount"], ["department", "job_title", "region", "gender", "status"]),
    "timesheets": ("timesheet", "Timesheets", "hr", "timesheet entry", ("work_date", "Date", "Day worked"), ["hours_worked"], ["department", "status"]),
    "payroll": ("payroll_run", "Payroll", "hr", "payslip", ("pay_date", "Date", "Pay date"), ["salary", "bonus_amount", "tax_amount"], ["department", "currency"]),
    "tickets": ("ticket", "Support Tickets", "support", "ticket", ("opened_at", "DateTime", "When the ticket was opened"), ["resolution_minutes", "nps_score"], ["priority", "severity", "status", "channel", "category"]),
    "csat_surveys": ("survey_response", "Satisfaction Surveys", "support", "survey answer", ("answered_at", "DateTime", "When the survey was answered"), ["nps_score", "rating"], ["channel", "segment", "language"]),
    "subscriptions": ("subscription", "Subscriptions", "saas", "subscription", ("started_at", "Date", "Subscription start"), ["mrr", "churn_probability", "discount_amount"], ["plan_name", "status", "tier", "currency"]),
    "stores": ("store", "Stores", "retail", "store", ("opened_on", "Date", "Store opening date"), ["budget_amount"], ["city", "state", "country", "region", "tier"]),
}

DOMAIN_PREFIXES = {
    "sales": ["sales", "sls", "commerce"],
    "crm": ["crm", "cust"],
    "marketing": ["mkt", "marketing", "growth"],
    "finance": ["fin", "finance", "acct"],
    "web": ["web", "digital"],
    "catalog": ["catalog", "merch"],
    "inventory": ["inv", "stock"],
    "procurement": ["proc", "purchasing"],
    "logistics": ["ops", "logistics", "fulfil"],
    "hr": ["hr", "people"],
    "support": ["support", "cx"],
    "saas": ["billing", "saas"],
    "retail": ["retail", "store"],
}
UNITS = ["", "", "", "emea", "apac", "na", "latam", "uk", "de", "b2b", "b2c", "online", "wholesale", "partner"]
SUFFIXES = ["", "", "", "daily", "monthly", "fact", "dim", "snapshot", "hist", "v2", "agg", "stg", "curated"]
KIND_BY_SUFFIX = {"daily": "daily aggregate", "monthly": "monthly aggregate", "fact": "fact table", "dim": "dimension table",
                  "snapshot": "daily snapshot", "hist": "history table", "v2": "table (second version)", "agg": "aggregate",
                  "stg": "staging table", "curated": "curated table", "": "table"}
UNIT_WORDS = {"emea": "EMEA", "apac": "APAC", "na": "North America", "latam": "Latin America", "uk": "United Kingdom",
              "de": "Germany", "b2b": "business customers", "b2c": "consumers", "online": "the online shop",
              "wholesale": "wholesale", "partner": "partner sales"}
SAMPLES = {
    "region": ["North", "South", "East", "West", "Central"],
    "country": ["Germany", "France", "India", "Brazil", "Japan", "United States"],
    "status": ["open", "closed", "pending", "cancelled"],
    "channel": ["web", "store", "partner", "phone"],
    "payment_method": ["card", "transfer", "wallet", "cash"],
    "currency": ["EUR", "USD", "GBP", "INR"],
    "priority": ["P1", "P2", "P3"],
    "device_type": ["desktop", "mobile", "tablet"],
    "plan_name": ["free", "starter", "pro", "enterprise"],
}
ROLE_ALIASES = {"metric": ["metric", "measure", "amount", "numeric"], "dimension": ["dimension", "category", "label", "group"],
                "datetime": ["datetime", "timestamp"], "date": ["date"], "boolean": ["boolean"], "text": ["text"],
                "primary_key": ["primary_key"], "foreign_key": ["foreign_key"], "id": ["id"]}

_COL_INDEX = {c[0]: c for c in METRICS + DIMENSIONS + DATES + FLAGS}


def _words(name: str) -> str:
    return name.replace("_", " ")


# ---------------------------------------------------------------------------
# Synthetic catalog
# ---------------------------------------------------------------------------


def _column_map(rng: random.Random, col_def: Col, *, pk: bool = False, fk: bool = False) -> Dict[str, Any]:
    name, typ, kind, desc, syns, tags = col_def
    col: Dict[str, Any] = {}
    # Vary the key names the way different exporters do.
    col["column_name" if rng.random() < 0.15 else "name"] = name
    col["data_type" if rng.random() < 0.1 else "type"] = typ
    r = rng.random()
    if desc and r < 0.85:
        col["comment" if r < 0.1 else "description"] = desc
    if syns and rng.random() < 0.7:
        col["aliases" if rng.random() < 0.1 else "synonyms"] = list(syns[: rng.randint(1, len(syns))])
    if rng.random() < 0.3 and kind in ROLE_ALIASES:
        col["role"] = rng.choice(ROLE_ALIASES[kind])
    if tags and rng.random() < 0.5:
        col["tags"] = list(tags)
    if pk:
        col["primary_key" if rng.random() < 0.2 else "is_primary_key"] = True
        col["nullable"] = False
    elif fk and rng.random() < 0.7:
        col["foreign_key" if rng.random() < 0.2 else "is_foreign_key"] = True
    elif rng.random() < 0.2:
        col["nullable"] = rng.random() < 0.5
    if name in SAMPLES and rng.random() < 0.5:
        col["sample_values"] = rng.sample(SAMPLES[name], k=min(len(SAMPLES[name]), rng.randint(2, 4)))
    if rng.random() < 0.05:
        col["pii_level"] = rng.choice(["none", "low", "high"])
    return col


def _unique(name: str, used: set) -> str:
    if name not in used:
        used.add(name)
        return name
    k = 2
    while f"{name}_{k}" in used:
        k += 1
    used.add(f"{name}_{k}")
    return f"{name}_{k}"


def make_catalog(n_tables: int, n_columns: int, seed: int = 0) -> Dict[str, Any]:
    """A loose catalog of ``n_tables`` tables with ``n_columns`` columns each."""
    rng = random.Random(seed)
    entity_keys = list(ENTITIES)
    used_tables: set = set()
    tables: List[Dict[str, Any]] = []
    catalog_rels: List[Dict[str, Any]] = []
    # (table name, pk column, entity key) of every table made so far
    made: List[Tuple[str, str, str]] = []

    for i in range(n_tables):
        ent = entity_keys[i % len(entity_keys)] if i < len(entity_keys) else rng.choice(entity_keys)
        singular, business, domain, grain, date_def, metric_names, dim_names = ENTITIES[ent]
        unit = "" if i < len(entity_keys) else rng.choice(UNITS)
        suffix = "" if i < len(entity_keys) else rng.choice(SUFFIXES)
        prefix = rng.choice(DOMAIN_PREFIXES[domain]) if rng.random() < 0.6 else ""
        parts = [p for p in (prefix, unit, ent, suffix) if p]
        name = _unique("_".join(parts), used_tables)

        biz = business + (f" ({UNIT_WORDS[unit]})" if unit else "") + (f" {suffix.title()}" if suffix in ("daily", "monthly") else "")
        kind = KIND_BY_SUFFIX.get(suffix, "table")
        desc = f"{business} {kind} of the {domain} domain, one row per {grain}"
        if unit:
            desc += f" for {UNIT_WORDS[unit]}"
        desc += "."

        pk_name = f"{singular}_id"
        used_cols = {pk_name}
        cols: List[Dict[str, Any]] = []
        pk_type = rng.choice(["Int64", "UInt64", "UUID", "String"])
        cols.append(_column_map(rng, (pk_name, pk_type, "primary_key", f"Unique {_words(singular)} identifier", [], []), pk=True))

        # foreign keys to earlier tables
        rels_here: List[Tuple[str, str, str]] = []
        n_fk = min(rng.choice([0, 1, 1, 2, 2, 3]), len(made), max(n_columns - 1, 0))
        for parent_name, parent_pk, parent_ent in rng.sample(made, n_fk) if n_fk else []:
            fk_name = parent_pk if parent_pk not in used_cols else f"{parent_name}_{parent_pk}"
            if fk_name in used_cols:
                continue
            used_cols.add(fk_name)
            fk_type = rng.choice(["Int64", "UInt64", "String"])
            cols.append(_column_map(rng, (fk_name, fk_type, "foreign_key", f"Reference to {ENTITIES[parent_ent][1].lower()}", [], []), fk=True))
            rels_here.append((fk_name, parent_name, parent_pk))

        pool: List[Col] = []
        date_col = (date_def[0], date_def[1], "date" if date_def[1].startswith("Date") and "Time" not in date_def[1] else "datetime",
                    date_def[2], [], ["time"])
        pool.append(date_col)
        pool += [_COL_INDEX[m] for m in metric_names]
        pool += [_COL_INDEX[d] for d in dim_names]
        extra_pool = METRICS + DIMENSIONS + DATES + FLAGS
        rest = [c for c in extra_pool if c[0] not in {p[0] for p in pool}]
        rng.shuffle(rest)
        pool += rest
        k = 0
        while len(cols) < n_columns:
            if k < len(pool):
                col_def = pool[k]
            else:
                n = k - len(pool) + 1
                col_def = (f"attribute_{n}", rng.choice(["String", "Nullable(String)", "Int32", "Float64", "Array(String)", "Map(String, String)"]),
                        "unknown", f"Custom attribute {n}" if rng.random() < 0.5 else "", [], [])
            k += 1
            if col_def[0] in used_cols:
                continue
            used_cols.add(col_def[0])
            cols.append(_column_map(rng, col_def))
        cols = cols[:n_columns]
        names_in_table = {c.get("name") or c.get("column_name") for c in cols}

        table: Dict[str, Any] = {}
        table["name" if rng.random() < 0.1 else "table_name"] = name
        table["display_name" if rng.random() < 0.1 else "business_name"] = biz
        table["comment" if rng.random() < 0.1 else "description"] = desc
        table["tags"] = sorted({domain, ent.split("_")[0]} | ({unit} if unit else set()) | ({"aggregate"} if suffix in ("daily", "monthly", "agg") else set()))
        if date_def[0] in names_in_table and rng.random() < 0.8:
            table["default_date_column"] = date_def[0]
        metric_here = [m for m in metric_names if m in names_in_table]
        if metric_here and rng.random() < 0.7:
            table["default_metric_column"] = metric_here[0]
        if rng.random() < 0.6:
            table["row_count"] = int(10 ** rng.uniform(2, 9))
        if rng.random() < 0.1:
            table["owner"] = rng.choice(["data-platform", "finance-analytics", "growth-team"])
        if rng.random() < 0.05:
            table["columns"] = {c.pop("name", None) or c.pop("column_name"): c for c in cols}
        else:
            table["columns"] = cols

        # joins: mostly catalog level, some at table level, a few at both
        table_joins = []
        for fk_name, parent_name, parent_pk in rels_here:
            r = rng.random()
            rel = {"from_table": name, "from_column": fk_name, "to_table": parent_name, "to_column": parent_pk}
            if r < 0.65 or r >= 0.95:
                catalog_rels.append(dict(rel))
            if r >= 0.65:
                table_joins.append({"left_table": name, "left_column": fk_name, "right_table": parent_name,
                                    "right_column": parent_pk, "type": "many_to_one",
                                    "description": f"{_words(name)} to {_words(parent_name)}"})
        if table_joins:
            table["joins"] = table_joins
        tables.append(table)
        made.append((name, pk_name, ent))

    return {
        "database": f"synthetic_{n_tables}x{n_columns}_s{seed}",
        "tables": tables,
        "relationships": catalog_rels,
        "source_system": "catalog_gen",
    }


# ---------------------------------------------------------------------------
# Questions
# ---------------------------------------------------------------------------


def _first(d: Dict[str, Any], *keys: str) -> Any:
    for k in keys:
        if d.get(k):
            return d[k]
    return None


def _table_views(catalog: Dict[str, Any]) -> List[Dict[str, Any]]:
    raw_tables = catalog.get("tables") or []
    if isinstance(raw_tables, dict):
        raw_tables = [{"table_name": k, **(v or {})} for k, v in raw_tables.items()]
    views = []
    for t in raw_tables:
        name = _first(t, "table_name", "name", "table", "source")
        if not name:
            continue
        raw_cols = t.get("columns") or []
        if isinstance(raw_cols, dict):
            raw_cols = [{"name": k, **(v or {})} for k, v in raw_cols.items()]
        metrics, dims, dates = [], [], []
        for c in raw_cols:
            cname = _first(c, "name", "column_name", "column")
            if not cname:
                continue
            ctype = str(_first(c, "type", "data_type") or "").lower()
            lname = str(cname).lower()
            # Short lower-case descriptions are natural names (as in Spider); longer ones are sentences.
            d = c.get("description")
            phrase = d if isinstance(d, str) and d == d.lower() and 0 < len(d.split()) <= 4 else None
            syns = _first(c, "synonyms", "aliases") or []
            words = [phrase or _words(str(cname)).lower()] + [s for s in syns if isinstance(s, str)]
            if _first(c, "is_primary_key", "primary_key", "is_foreign_key", "foreign_key") or lname.endswith("id"):
                continue
            if "date" in ctype or "time" in ctype or "date" in lname:
                dates.append(words)
            elif any(x in ctype for x in ("int", "decimal", "float", "number", "numeric", "double")):
                metrics.append(words)
            elif any(x in ctype for x in ("string", "text", "enum", "varchar")):
                dims.append(words)
        business = _first(t, "business_name", "display_name") or _words(str(name))
        views.append({"name": str(name), "business": str(business).split(" (")[0].lower(), "metrics": metrics, "dims": dims, "dates": dates})
    return views


TEMPLATES = [
    "Show total {metric} by {dim} for last {k} months",
    "What was the average {metric} per {dim} last quarter?",
    "Top {k} {dim} by {metric} this year",
    "Bottom {k} {dim} by {metric} in the last 30 days",
    "How many {entity} were created last week?",
    "Monthly trend of {metric} for {entity}",
    "Daily {metric} of {entity} since January",
    "List records of {entity} where {dim} is {value}",
    "Compare {metric} across {dim} and {dim2}",
    "Which {dim} had the highest {metric} yesterday?",
    "Count of {entity} by {dim}",
    "{metric} breakdown by {dim} for {value}",
    "show me {entity} details with {dim} and {metric}",
    "total {metric} and {metric2} by {dim} weekly",
    "what is the {metric} per {dim} in {entity} for the current year",
    "year over year change in {metric} by {dim}",
    "{entity} with {metric} above {num} grouped by {dim}",
    "raw data of {entity} for {dim} {value}",
]
VALUES = ["Germany", "EMEA", "the online channel", "premium customers", "Q3", "North", "enterprise plan", "store 12", "mobile"]


def make_questions(catalog: Dict[str, Any], n: int, seed: int = 0) -> List[str]:
    """``n`` business questions phrased over the given loose catalog."""
    rng = random.Random(seed)
    views = [v for v in _table_views(catalog) if v["metrics"] or v["dims"]]
    if not views:
        return [rng.choice(["Show total revenue by region for last 6 months", "How many orders last week?"]) for _ in range(n)]

    def pick(options: List[List[str]], fallback: str) -> str:
        if not options:
            return fallback
        return rng.choice(rng.choice(options))

    out = []
    for _ in range(n):
        v = rng.choice(views)
        metric = pick(v["metrics"], "count")
        metric2 = pick(v["metrics"], "amount")
        dim = pick(v["dims"], "region")
        dim2 = pick(v["dims"], "status")
        q = rng.choice(TEMPLATES).format(
            metric=metric, metric2=metric2, dim=dim, dim2=dim2, entity=v["business"],
            value=rng.choice(VALUES), k=rng.choice([3, 5, 10, 12, 20]), num=rng.choice([100, 1000, 5000]),
        )
        out.append(q[0].upper() + q[1:] if rng.random() < 0.7 else q)
    return out


# ---------------------------------------------------------------------------
# Real catalog
# ---------------------------------------------------------------------------

SPIDER_SEPARATOR = "__"


def load_spider_merged(path: Optional[Path] = None) -> Dict[str, Any]:
    """All Spider databases as one loose catalog; table names become ``<db_id>__<table>``."""
    src = Path(path) if path else SPIDER_CATALOGS.resolve()
    with open(src, encoding="utf-8") as fh:
        dbs = json.load(fh)
    tables: List[Dict[str, Any]] = []
    rels: List[Dict[str, Any]] = []
    for db_id, cat in dbs.items():
        def q(name: str) -> str:
            return f"{db_id}{SPIDER_SEPARATOR}{name}"

        for t in cat.get("tables") or []:
            t2 = dict(t)
            t2["table_name"] = q(t["table_name"])
            tables.append(t2)
        for r in cat.get("relationships") or []:
            r2 = dict(r)
            r2["from_table"] = q(r["from_table"])
            r2["to_table"] = q(r["to_table"])
            rels.append(r2)
    return {"database": "spider_merged", "tables": tables, "relationships": rels}


if __name__ == "__main__":  # quick look
    import sys

    nt, nc = (int(a) for a in sys.argv[1:3]) if len(sys.argv) >= 3 else (5, 12)
    cat = make_catalog(nt, nc)
    print(json.dumps(cat, indent=2)[:4000])
    for question in make_questions(cat, 10):
        print(question)
