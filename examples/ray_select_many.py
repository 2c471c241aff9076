# examples/ray_select_many.py
"""Many questions on many machines: a CatalogIndex shipped to Ray Data workers.

The index is pickled once on the driver and put in Ray's object store; every
worker (an actor of the map_batches pool) unpickles it once, in its __init__,
and then answers batch after batch with select_many. The results come back in
input order, as select_many gives them on one machine.
"""
import json
import os
import pickle
from collections.abc import Sequence
from typing import Any

import numpy as np
import ray
import ray.data

from askweave import schemasift

# No usage report leaves the machine.
os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")


class SelectTables:
    """One per worker: the index is unpickled once, then asked batch after batch."""

    def __init__(self, index_ref: "ray.ObjectRef[bytes]") -> None:
        self.index: schemasift.CatalogIndex = pickle.loads(ray.get(index_ref))

    def __call__(self, batch: dict[str, np.ndarray[Any, Any]]) -> dict[str, np.ndarray[Any, Any]]:
        # Ray already runs one worker per CPU: one thread each.
        results = self.index.select_many([str(q) for q in batch["question"]], threads=1)
        return {
            "position": batch["position"],
            "result": np.array([json.dumps(r.to_dict(True)) for r in results]),
        }


def select_with_ray(index: schemasift.CatalogIndex, questions: Sequence[str], *,
                    workers: int = 2, batch_size: int = 64) -> list[dict[str, Any]]:
    """Every question's result as to_dict(True), in input order, from `workers` Ray actors.

    Needs a running Ray instance (ray.init()).
    """
    items = [{"position": i, "question": q} for i, q in enumerate(questions)]
    rows = (
        ray.data.from_items(items)
        .map_batches(SelectTables, fn_constructor_kwargs={"index_ref": ray.put(pickle.dumps(index))},
                     batch_size=batch_size, batch_format="numpy",
                     compute=ray.data.ActorPoolStrategy(size=workers), num_cpus=1)
        .take_all()
    )
    rows.sort(key=lambda row: int(row["position"]))  # Ray may hand batches back in any order
    out: list[dict[str, Any]] = [json.loads(row["result"]) for row in rows]
    return out


if __name__ == "__main__":
    catalog: dict[str, Any] = {
        "tables": [
            {"name": "orders", "columns": [{"name": c} for c in ("order_id", "customer_id", "region", "revenue")]},
            {"name": "customers", "columns": [{"name": c} for c in ("customer_id", "name", "signup_date")]},
        ],
        "relationships": [{"from_table": "orders", "from_column": "customer_id",
                           "to_table": "customers", "to_column": "customer_id"}],
    }
    index = schemasift.CatalogIndex(catalog, schemasift.SelectorConfig(strategy="lexical"), database="shop")
    questions = ["monthly revenue by region", "which customers signed up last week?"] * 50
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    ray.data.DataContext.get_current().enable_progress_bars = False
    try:
        results = select_with_ray(index, questions)
    finally:
        ray.shutdown()
    assert results == [json.loads(json.dumps(r.to_dict(True))) for r in index.select_many(questions)]
    for question, result in zip(questions[:2], results):
        print(question, "->", [t["table_name"] for t in result["selected_metadata"]["tables"]])
