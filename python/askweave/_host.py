"""The host loop of a conversation: resolve the message, select the catalog slice, store a card.

Shared by ``askweave chat`` and the tour. A real host stores in each card what
its model's answer used (the query's metric, grouping, filters). Without a
model, :func:`query_state_for` reads that state from the resolved question and
the selected slice, which is what the answer would have been built from.
"""
from __future__ import annotations

import dataclasses
import re
from typing import Any

from askweave import schemasift, turnlens

_AGGREGATIONS = {
    "total": "sum", "sum": "sum", "average": "avg", "avg": "avg", "mean": "avg", "count": "count",
    "number": "count", "many": "count", "maximum": "max", "max": "max", "highest": "max",
    "minimum": "min", "min": "min", "lowest": "min",
}
_GRANULARITY = {
    "hourly": "hour", "daily": "day", "weekly": "week", "monthly": "month", "quarterly": "quarter",
    "yearly": "year", "annually": "year", "annual": "year",
}
_UNITS = {"hour", "day", "week", "month", "quarter", "year"}
_GROUP_START = {"by", "per", "each"}
_GROUP_STOP = {"for", "in", "over", "during", "where", "with", "last", "from", "since", "top", "bottom", "and",
               "only", "of", "this", "past", "between", "to", "excluding", "including", "when"}
_LAST_N = re.compile(r"\b(last|past|previous)\s+(\d+)\s+(hour|day|week|month|quarter|year)s?\b", re.I)
_WORD = re.compile(r"[a-z0-9_]+")


@dataclasses.dataclass
class Turn:
    """One message through the loop: its resolution, the selection (None on a clarification) and its card."""

    message: str
    resolution: turnlens.ContextResolution
    result: schemasift.MetadataSelectionResult | None
    card: turnlens.TurnContextCard | None

    @property
    def tables(self) -> list[str]:
        if self.result is None:
            return []
        return [t["table_name"] for t in self.result.selected_metadata["tables"]]


class Conversation:
    """A catalog, a selector, a resolver and the cards of the answered turns."""

    def __init__(self, catalog: schemasift.MetadataCatalog | dict[str, Any],
                 config: schemasift.SelectorConfig | None = None,
                 resolver_config: turnlens.ResolverConfig | None = None) -> None:
        if isinstance(catalog, dict):
            catalog = schemasift.CatalogNormalizer.normalize(catalog)
        self.catalog = catalog
        self.sifter = schemasift.SchemaSift(config)
        self.lens = turnlens.TurnLens(resolver_config)
        self.cards: list[turnlens.TurnContextCard] = []

    def ask(self, message: str) -> Turn:
        cards = self.cards
        resolution = self.lens.resolve(message, cards, active_turn_id=cards[-1].turn_id if cards else None)
        if resolution.route == "clarify":
            return Turn(message, resolution, None, None)
        result = self.sifter.select(
            resolution.metadata_search_query or resolution.resolved_question,
            self.catalog,
            required_tables=resolution.required_tables or None,
            required_columns=resolution.required_columns or None,
        )
        base = next((c for c in cards if c.turn_id == resolution.base_turn_id), None) \
            if resolution.use_previous_state else None
        state = query_state_for(resolution.resolved_question, result, base.query_state if base else None)
        active = [f"table:{t}" for t in state["active_tables"]]
        active += [f"column:{state['active_tables'][0]}.{c}" for c in state["active_columns"]] \
            if len(state["active_tables"]) == 1 else []
        card = turnlens.TurnContextCard(
            turn_id=len(cards) + 1,
            user_question=message,
            resolved_question=resolution.resolved_question,
            task_type="text_to_sql",
            artifact_type="sql",
            topic_keywords=_words(resolution.resolved_question)[:12],
            entities=list(state["active_tables"]) + list(state["active_columns"]),
            selected_metadata_ids=active,
            query_state=state,
        )
        cards.append(card)
        return Turn(message, resolution, result, card)


def _words(text: str) -> list[str]:
    return schemasift.tokenize(text)


def _name_words(name: str) -> set[str]:
    return set(_WORD.findall(schemasift.normalize_text(name)))


def query_state_for(question: str, result: schemasift.MetadataSelectionResult,
                    base_state: dict[str, Any] | None = None) -> dict[str, Any]:
    """The query state an answer to ``question`` over the selected slice would have used.

    Metric: the best selected metric column named (or described) in the
    question, aggregated by the question's word for it (sum by default; a count
    of the table's key for "count"/"how many"). Grouping: the selected column
    named after "by"/"per". Granularity from "monthly", "by month", ...; a time
    filter from "last N months". Active tables: the tables these columns belong
    to, else the selected ones. A follow-up (``base_state``, the state of the
    turn it builds on) keeps every part of that state it does not change.
    """
    lowered = question.lower()
    raw = _WORD.findall(lowered)
    words = set(raw)
    tables = result.selected_metadata["tables"]
    columns = [(t["table_name"], c) for t in tables for c in t["columns"]]

    function = next((_AGGREGATIONS[w] for w in raw if w in _AGGREGATIONS), None)
    if "how many" in lowered or "number of" in lowered:
        function = "count"
    metric = None
    for table, col in columns:
        if col["role"] != "metric":
            continue
        names = _name_words(col["name"]) | {w for s in col.get("synonyms", []) for w in _name_words(s)}
        described = set(_words(col.get("description", "")))
        if names & words or (described & words and not metric):
            if names & words:
                metric = (table, col["name"])
                break
            metric = (table, col["name"])
    if function == "count" and (metric is None or not (_name_words(metric[1]) & words)):
        key = next(((t, c["name"]) for t, c in columns if c.get("is_primary_key")), None)
        metric = key or metric

    tail: list[str] = []
    for i, w in enumerate(raw):
        if w in _GROUP_START:
            for nxt in raw[i + 1:]:
                if nxt in _GROUP_STOP or nxt in _GROUP_START:
                    break
                tail.append(nxt)
    granularity = next((_GRANULARITY[w] for w in raw if w in _GRANULARITY), None)
    if granularity is None:
        granularity = next((w for w in tail if w in _UNITS), None)
    group_by = None
    best = 0
    for table, col in columns:
        if col["role"] == "metric" or (metric and (table, col["name"]) == metric):
            continue
        overlap = len(_name_words(col["name"]) & set(tail) - _UNITS)
        if overlap > best:
            best, group_by = overlap, (table, col["name"])

    home = metric[0] if metric else (group_by[0] if group_by else None)
    date_col = None
    last = _LAST_N.search(question)
    if last or granularity:
        date_col = next(((t, c["name"]) for t, c in columns if c["role"] in ("date", "datetime") and t == home),
                        None) or next(((t, c["name"]) for t, c in columns if c["role"] in ("date", "datetime")), None)

    group_text = None
    if group_by is None:
        # grouped by something outside the slice: keep the words, a join the answer would make
        words_left = [w for w in tail if w not in _UNITS and w not in schemasift.DEFAULT_STOPWORDS]
        group_text = " ".join(words_left) or None

    used = [x for x in (metric, group_by, date_col) if x]
    active_tables = list(dict.fromkeys(t for t, _ in used))
    state: dict[str, Any] = {
        "active_tables": active_tables,
        "active_columns": list(dict.fromkeys(c for _, c in used)),
        "metrics": [metric[1]] if metric else [],
        "dimensions": [group_by[1]] if group_by else ([group_text] if group_text else []),
        "date_columns": [date_col[1]] if date_col else [],
        "group_by": [group_by[1]] if group_by else ([group_text] if group_text else []),
        "filters": [],
        "aggregation": {"function": function or "sum", "column": metric[1]} if metric else {},
        "granularity": granularity,
    }
    if last and date_col:
        state["filters"].append({"column": date_col[1],
                                 "operation": f"last_{last.group(2)}_{last.group(3).lower()}s"})
    if base_state:
        _carry(state, base_state, function is not None, bool(tail))
    if not state["active_tables"]:
        state["active_tables"] = [t["table_name"] for t in tables]
    return state


def _carry(state: dict[str, Any], base: dict[str, Any], named_function: bool, named_grouping: bool) -> None:
    """A follow-up keeps what it does not change from the answer it builds on."""
    if not state["metrics"] and base.get("metrics"):
        state["metrics"] = list(base["metrics"])
        if base.get("aggregation"):
            state["aggregation"] = dict(base["aggregation"])
    elif named_function is False and base.get("aggregation") and state["aggregation"]:
        state["aggregation"]["function"] = base["aggregation"].get("function") or "sum"
    if not named_grouping:
        state["group_by"] = list(base.get("group_by") or [])
        state["dimensions"] = list(base.get("dimensions") or [])
    if not state["granularity"]:
        state["granularity"] = base.get("granularity")
    if not state["filters"]:
        state["filters"] = list(base.get("filters") or [])
    if not state["date_columns"]:
        state["date_columns"] = list(base.get("date_columns") or [])
    for key in ("active_tables", "active_columns"):
        state[key] = list(dict.fromkeys(list(state[key]) + list(base.get(key) or [])))
    for key in ("sort", "limit"):
        if key in base and key not in state:
            state[key] = base[key]
