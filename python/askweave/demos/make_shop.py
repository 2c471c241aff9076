"""Builds the tour's sample database, an online shop: ``python -m askweave.demos.make_shop [PATH]``.

Writes ``shop.db`` next to this file unless a path is given. The rows come from
a fixed seed, so every build holds the same data. SQLite keeps no comments, so
the descriptions are ``--`` comments in the CREATE statements, which
``askweave.sql.reflect_catalog`` reads.
"""
from __future__ import annotations

import datetime
import os
import random
import sqlite3
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_PATH = os.path.join(HERE, "shop.db")

SCHEMA = """
CREATE TABLE customers ( -- People who have bought from the shop at least once
  customer_id INTEGER PRIMARY KEY, -- Unique customer identifier
  full_name TEXT NOT NULL,          -- Customer's full name
  email TEXT NOT NULL UNIQUE,       -- Contact e-mail address
  region TEXT NOT NULL,             -- Sales region of the shipping address (north, south, east, west)
  segment TEXT NOT NULL,            -- Customer segment: consumer, small business or corporate
  signup_date DATE NOT NULL         -- Day the customer account was created
);

CREATE TABLE products ( -- The shop's catalog of products
  product_id INTEGER PRIMARY KEY, -- Unique product identifier
  product_name TEXT NOT NULL,     -- Product name as shown in the shop
  category TEXT NOT NULL,         -- Product category (books, electronics, garden, kitchen, toys)
  unit_price DECIMAL(10,2) NOT NULL -- Current list price per unit
);

CREATE TABLE orders ( -- One row per customer order
  order_id INTEGER PRIMARY KEY,   -- Unique order identifier
  customer_id INTEGER NOT NULL REFERENCES customers(customer_id), -- Customer who placed the order
  order_date DATE NOT NULL,       -- Day the order was placed
  status TEXT NOT NULL,           -- Order status: placed, shipped, delivered, cancelled
  revenue DECIMAL(12,2) NOT NULL  -- Order value: the revenue of the order, sum of its lines
);

CREATE TABLE order_items ( -- Order lines: which products an order contains
  order_id INTEGER NOT NULL REFERENCES orders(order_id), -- Order the line belongs to
  line_no INTEGER NOT NULL,       -- Position of the line within its order
  product_id INTEGER NOT NULL REFERENCES products(product_id), -- Product ordered
  quantity INTEGER NOT NULL,      -- Units ordered
  unit_price DECIMAL(10,2) NOT NULL, -- Price per unit at the time of the order
  PRIMARY KEY (order_id, line_no)
);

CREATE TABLE payments ( -- Payment attempts for orders, failed ones included
  payment_id INTEGER PRIMARY KEY, -- Unique payment identifier
  order_id INTEGER NOT NULL REFERENCES orders(order_id), -- Order being paid
  paid_at TIMESTAMP NOT NULL,     -- Time of the payment attempt
  method TEXT NOT NULL,           -- Payment method: card, bank transfer, wallet
  bank TEXT,                      -- Issuing bank of the card or account
  amount DECIMAL(12,2) NOT NULL,  -- Amount charged
  status TEXT NOT NULL            -- Outcome of the attempt: succeeded or failed
);

CREATE VIEW monthly_revenue AS -- Revenue per calendar month, for reporting
  SELECT strftime('%Y-%m', order_date) AS month, SUM(revenue) AS revenue, COUNT(*) AS orders
  FROM orders WHERE status != 'cancelled' GROUP BY 1;
"""

FIRST = ["Ada", "Ben", "Chloe", "Dev", "Ema", "Felix", "Gita", "Hugo", "Ines", "Jon", "Kira", "Liam"]
LAST = ["Berg", "Costa", "Diaz", "Evans", "Fischer", "Garcia", "Hansen", "Ito", "Jensen", "Kowalski"]
REGIONS = ["north", "south", "east", "west"]
SEGMENTS = ["consumer", "small business", "corporate"]
PRODUCTS = {
    "books": ["Field Guide to Birds", "Bread Baking Basics", "Short Stories", "Atlas of Rivers"],
    "electronics": ["USB-C Charger", "Wireless Earbuds", "E-Reader", "Desk Lamp"],
    "garden": ["Pruning Shears", "Seed Starter Kit", "Watering Can"],
    "kitchen": ["Chef's Knife", "Cast Iron Pan", "Coffee Grinder", "Salad Spinner"],
    "toys": ["Wooden Train Set", "Puzzle 1000 Pieces", "Kite"],
}
BANKS = ["Northbank", "Civic Savings", "Harbor Trust", "Union Credit"]


def build(path: str = DEFAULT_PATH) -> str:
    """Writes the database to ``path`` (replacing it) and returns the path."""
    if os.path.exists(path):
        os.remove(path)
    rng = random.Random(20240601)
    con = sqlite3.connect(path)
    try:
        con.executescript(SCHEMA)
        customers = []
        for cid in range(1, 61):
            name = f"{rng.choice(FIRST)} {rng.choice(LAST)}"
            signup = datetime.date(2023, 1, 1) + datetime.timedelta(days=rng.randrange(500))
            customers.append((cid, name, f"customer{cid}@example.com", rng.choice(REGIONS),
                              rng.choice(SEGMENTS), signup.isoformat()))
        con.executemany("INSERT INTO customers VALUES (?, ?, ?, ?, ?, ?)", customers)
        products: list[tuple[int, str, str, float]] = []
        for category, names in PRODUCTS.items():
            for name in names:
                products.append((len(products) + 1, name, category, rng.randrange(500, 12000) / 100))
        con.executemany("INSERT INTO products VALUES (?, ?, ?, ?)", products)
        payment_id = 0
        for oid in range(1, 401):
            day = datetime.date(2024, 1, 1) + datetime.timedelta(days=rng.randrange(540))
            status = rng.choices(["delivered", "shipped", "placed", "cancelled"], [70, 12, 10, 8])[0]
            lines = []
            for line_no in range(1, rng.randint(1, 4) + 1):
                product = rng.choice(products)
                lines.append((oid, line_no, product[0], rng.randint(1, 3), product[3]))
            revenue = round(sum(q * p for _, _, _, q, p in lines), 2)
            con.execute("INSERT INTO orders VALUES (?, ?, ?, ?, ?)",
                        (oid, rng.randrange(1, 61), day.isoformat(), status, revenue))
            con.executemany("INSERT INTO order_items VALUES (?, ?, ?, ?, ?)", lines)
            attempts = 2 if rng.random() < 0.15 else 1
            for attempt in range(attempts):
                payment_id += 1
                method = rng.choice(["card", "card", "bank transfer", "wallet"])
                when = datetime.datetime.combine(day, datetime.time(rng.randrange(24), rng.randrange(60)))
                con.execute("INSERT INTO payments VALUES (?, ?, ?, ?, ?, ?, ?)",
                            (payment_id, oid, when.isoformat(sep=" "), method,
                             None if method == "wallet" else rng.choice(BANKS), revenue,
                             "failed" if attempt + 1 < attempts else "succeeded"))
        con.commit()
    finally:
        con.close()
    return path


def main(argv: list[str] | None = None) -> None:
    args = sys.argv[1:] if argv is None else argv
    print(build(args[0] if args else DEFAULT_PATH))


if __name__ == "__main__":
    main()
