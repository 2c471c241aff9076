"""Plain-Python schema selection.

A straightforward rendering of the schema-selection rules with nothing but the
standard library (scikit-learn and sentence-transformers are imported inside
the vector backends, only when a selection asks for them).  It serves as the
oracle for differential tests of the native ``askweave.schemasift`` module and
as the plain-Python baseline in benchmarks.  It must never import askweave.
"""

from __future__ import annotations

import copy
import decimal
import hashlib
import json
import math
import numbers
import re
from dataclasses import asdict, dataclass, field
from typing import Any, Dict, Iterable, List, Literal, Optional, Set, Tuple

__all__ = [
    "ColumnRole",
    "Strategy",
    "ColumnMeta",
    "TableMeta",
    "RelationshipMeta",
    "MetadataCatalog",
    "DEFAULT_STOPWORDS",
    "METRIC_TERMS",
    "DIMENSION_TERMS",
    "DATE_TERMS",
    "TOP_N_RE",
    "BOTTOM_N_RE",
    "tokenize",
    "normalize_text",
    "estimate_tokens",
    "stable_hash",
    "safe_float",
    "CatalogNormalizer",
    "QueryIntent",
    "IntentParser",
    "SelectorConfig",
    "ScoredColumn",
    "ScoredTable",
    "SelectionMetrics",
    "MetadataSelectionResult",
    "OptionalTfidfBackend",
    "OptionalEmbeddingBackend",
    "SchemaSift",
    "select_metadata",
    "demo_catalog",
    "demo",
]

# ---------------------------------------------------------------------------
# Catalog records
# ---------------------------------------------------------------------------

ColumnRole = Literal[
    "metric",
    "dimension",
    "date",
    "datetime",
    "id",
    "primary_key",
    "foreign_key",
    "text",
    "boolean",
    "unknown",
]

_COLUMN_ROLES = (
    "metric",
    "dimension",
    "date",
    "datetime",
    "id",
    "primary_key",
    "foreign_key",
    "text",
    "boolean",
    "unknown",
)


@dataclass
class ColumnMeta:
    name: str
    type: str = ""
    description: str = ""
    synonyms: List[str] = field(default_factory=list)
    role: ColumnRole = "unknown"
    tags: List[str] = field(default_factory=list)
    nullable: Optional[bool] = None
    is_primary_key: bool = False
    is_foreign_key: bool = False
    sample_values: List[Any] = field(default_factory=list)
    extra: Dict[str, Any] = field(default_factory=dict)

    def searchable_text(self, table_name: str = "", table_business_name: str = "") -> str:
        parts = [
            f"table {table_name}",
            f"table business name {table_business_name}",
            f"column {self.name}",
            f"type {self.type}",
            f"description {self.description}",
            "synonyms " + " ".join(self.synonyms),
            f"role {self.role}",
            "tags " + " ".join(self.tags),
            "sample values " + " ".join(str(v) for v in self.sample_values[:10]),
        ]
        return " ".join(parts)


@dataclass
class TableMeta:
    table_name: str
    business_name: str = ""
    description: str = ""
    tags: List[str] = field(default_factory=list)
    columns: List[ColumnMeta] = field(default_factory=list)
    default_date_column: Optional[str] = None
    default_metric_column: Optional[str] = None
    row_count: Optional[int] = None
    extra: Dict[str, Any] = field(default_factory=dict)

    def searchable_text(self) -> str:
        head = self.columns[:50]
        parts = [
            f"table {self.table_name}",
            f"business name {self.business_name}",
            f"description {self.description}",
            "tags " + " ".join(self.tags),
            "columns " + " ".join(c.name for c in self.columns),
            "column descriptions " + " ".join(c.description for c in head),
            "column synonyms " + " ".join(" ".join(c.synonyms) for c in head),
            f"default date column {self.default_date_column or ''}",
            f"default metric column {self.default_metric_column or ''}",
        ]
        return " ".join(parts)


@dataclass
class RelationshipMeta:
    from_table: str
    from_column: str
    to_table: str
    to_column: str
    relationship_type: str = "many_to_one"
    description: str = ""
    extra: Dict[str, Any] = field(default_factory=dict)

    def involves(self, table_names: Iterable[str]) -> bool:
        names = set(table_names)
        return self.from_table in names and self.to_table in names

    def touches(self, table_names: Iterable[str]) -> bool:
        names = set(table_names)
        return self.from_table in names or self.to_table in names


@dataclass
class MetadataCatalog:
    database: str = ""
    tables: List[TableMeta] = field(default_factory=list)
    relationships: List[RelationshipMeta] = field(default_factory=list)
    extra: Dict[str, Any] = field(default_factory=dict)

    def to_prompt_dict(self) -> Dict[str, Any]:
        return {
            "database": self.database,
            "tables": [
                {
                    "table_name": t.table_name,
                    "business_name": t.business_name,
                    "description": t.description,
                    "columns": [asdict(c) for c in t.columns],
                    "default_date_column": copy.deepcopy(t.default_date_column),
                    "default_metric_column": copy.deepcopy(t.default_metric_column),
                    "row_count": copy.deepcopy(t.row_count),
                }
                for t in self.tables
            ],
            "relationships": [asdict(r) for r in self.relationships],
        }


# ---------------------------------------------------------------------------
# Text utilities
# ---------------------------------------------------------------------------

_WORD_RE = re.compile(r"[a-zA-Z0-9_]+")
_CAMEL_RE = re.compile(r"(?<!^)(?=[A-Z])")

DEFAULT_STOPWORDS = {
    "a", "an", "the", "and", "or", "of", "for", "to", "by", "in", "on", "at",
    "from", "with", "without", "show", "give", "get", "find", "list", "display",
    "me", "all", "data", "records", "record", "table", "tables", "column",
    "columns", "wise", "based", "using", "as", "per", "each", "every",
    "details", "detail",
}

_SET_TYPES = (set, frozenset)


def _split_identifier(value: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"value must be str, not {type(value).__name__}")
    value = value.replace("_", " ").replace("-", " ").replace(".", " ")
    value = _CAMEL_RE.sub(" ", value)
    return value.lower()


def tokenize(text: str, *, stopwords: Optional[Set[str]] = None) -> List[str]:
    if not isinstance(text, str):
        raise TypeError(f"text must be str, not {type(text).__name__}")
    if stopwords is not None and not isinstance(stopwords, _SET_TYPES):
        raise TypeError(f"stopwords must be a set or None, not {type(stopwords).__name__}")
    if not text:
        return []
    stop = DEFAULT_STOPWORDS if stopwords is None else stopwords
    tokens = []
    for match in _WORD_RE.findall(_split_identifier(text)):
        token = match.lower()
        if token not in stop:
            tokens.append(token)
    return tokens


def normalize_text(text: Any) -> str:
    if text is None:
        return ""
    if isinstance(text, (list, tuple, set, frozenset)):
        return " ".join(normalize_text(item) for item in text)
    if isinstance(text, dict):
        return " ".join(f"{key} {normalize_text(value)}" for key, value in text.items())
    if isinstance(text, str):
        return text
    return str(text)


def estimate_tokens(text: str, chars_per_token: float = 4.0) -> int:
    if not isinstance(text, str):
        raise TypeError(f"text must be str, not {type(text).__name__}")
    if not isinstance(chars_per_token, numbers.Real):
        raise TypeError("chars_per_token must be a real number")
    if not text:
        return 0
    return max(1, int(math.ceil(len(text) / chars_per_token)))


def _dumps(value: Any, **kwargs: Any) -> str:
    # Compact-ish JSON used for every size measurement: default separators,
    # non-ASCII kept as is, anything JSON cannot represent written as str().
    return json.dumps(value, ensure_ascii=False, default=str, **kwargs)


def stable_hash(value: Any) -> str:
    raw = _dumps(value, sort_keys=True)
    return hashlib.sha256(raw.encode("utf-8", "surrogatepass")).hexdigest()[:16]


def safe_float(value: Any, default: float = 0.0) -> float:
    if not isinstance(default, (int, float)):
        raise TypeError(f"default must be int or float, not {type(default).__name__}")
    if value is None:
        return default
    try:
        return float(value)
    except Exception:
        return default


# ---------------------------------------------------------------------------
# Catalog normalizer
# ---------------------------------------------------------------------------

_CATALOG_KEYS = {"database", "database_name", "db", "tables", "relationships"}
_TABLE_KEYS = {
    "table_name", "name", "table", "source", "business_name", "display_name",
    "description", "comment", "tags", "columns", "default_date_column",
    "default_metric_column", "row_count",
}
_COLUMN_KEYS = {
    "name", "column_name", "column", "type", "data_type", "description",
    "comment", "synonyms", "aliases", "role", "tags", "nullable",
    "is_primary_key", "primary_key", "is_foreign_key", "foreign_key",
    "sample_values", "samples",
}
_RELATIONSHIP_KEYS = {
    "from_table", "left_table", "source_table", "from_column", "left_column",
    "source_column", "to_table", "right_table", "target_table", "to_column",
    "right_column", "target_column", "relationship_type", "type", "description",
}


def _first_present(obj: Dict[str, Any], keys: Tuple[str, ...]) -> Any:
    for key in keys:
        value = obj.get(key)
        if value:
            return value
    return None


def _text_or(value: Any, fallback: str) -> str:
    return str(value) if value else fallback


def _require_map(value: Any, what: str) -> Dict[str, Any]:
    if not isinstance(value, dict):
        raise TypeError(f"{what} must be a dict, not {type(value).__name__}")
    return value


def _keyed_entries(raw: Any, key_field: str, what: str) -> Any:
    """Turn a map keyed by name into a list of maps; pass anything else through."""
    if not isinstance(raw, dict):
        return raw
    items = []
    for key, info in raw.items():
        item: Dict[str, Any] = {key_field: key}
        if info:
            item.update(_require_map(info, what))
        items.append(item)
    return items


class CatalogNormalizer:
    """Accepts flexible catalog shapes and converts them to MetadataCatalog."""

    @staticmethod
    def normalize(catalog: Dict[str, Any], database: Optional[str] = None) -> MetadataCatalog:
        _require_map(catalog, "catalog")
        if database is not None and not isinstance(database, str):
            raise TypeError(f"database must be str or None, not {type(database).__name__}")

        db_name = database or _first_present(catalog, ("database", "database_name", "db")) or ""

        raw_tables = catalog["tables"] if "tables" in catalog else []
        raw_tables = list(_keyed_entries(raw_tables, "table_name", "table info"))

        tables: List[TableMeta] = []
        for raw_table in raw_tables:
            _require_map(raw_table, "table")
            table_name = _first_present(raw_table, ("table_name", "name", "table", "source"))
            if not table_name:
                continue
            raw_columns = raw_table["columns"] if "columns" in raw_table else []
            raw_columns = _keyed_entries(raw_columns, "name", "column info")

            columns: List[ColumnMeta] = []
            for raw_col in raw_columns:
                _require_map(raw_col, "column")
                col_name = _first_present(raw_col, ("name", "column_name", "column"))
                if not col_name:
                    continue
                role = CatalogNormalizer._infer_role(raw_col)
                columns.append(
                    ColumnMeta(
                        name=str(col_name),
                        type=_text_or(_first_present(raw_col, ("type", "data_type")), ""),
                        description=_text_or(_first_present(raw_col, ("description", "comment")), ""),
                        synonyms=list(_first_present(raw_col, ("synonyms", "aliases")) or []),
                        role=role,
                        tags=list(raw_col.get("tags") or []),
                        nullable=raw_col.get("nullable"),
                        is_primary_key=bool(_first_present(raw_col, ("is_primary_key", "primary_key"))),
                        is_foreign_key=bool(_first_present(raw_col, ("is_foreign_key", "foreign_key"))),
                        sample_values=list(_first_present(raw_col, ("sample_values", "samples")) or []),
                        extra={k: v for k, v in raw_col.items() if k not in _COLUMN_KEYS},
                    )
                )

            tables.append(
                TableMeta(
                    table_name=str(table_name),
                    business_name=_text_or(_first_present(raw_table, ("business_name", "display_name")), ""),
                    description=_text_or(_first_present(raw_table, ("description", "comment")), ""),
                    tags=list(raw_table.get("tags") or []),
                    columns=columns,
                    default_date_column=raw_table.get("default_date_column"),
                    default_metric_column=raw_table.get("default_metric_column"),
                    row_count=raw_table.get("row_count"),
                    extra={k: v for k, v in raw_table.items() if k not in _TABLE_KEYS},
                )
            )

        relationships = CatalogNormalizer._normalize_relationships(catalog)
        for raw_table in raw_tables:
            relationships.extend(CatalogNormalizer._normalize_relationships(raw_table))

        return MetadataCatalog(
            database=str(db_name),
            tables=tables,
            relationships=relationships,
            extra={k: v for k, v in catalog.items() if k not in _CATALOG_KEYS},
        )

    @staticmethod
    def _infer_role(raw_col: Dict[str, Any]) -> str:
        _require_map(raw_col, "column")
        explicit = _first_present(raw_col, ("role",))
        if explicit:
            role = str(explicit).lower().strip()
            if role in ("measure", "amount", "numeric"):
                return "metric"
            if role in ("category", "group", "label"):
                return "dimension"
            if role == "timestamp":
                return "datetime"
            if role in _COLUMN_ROLES:
                return role

        name = _text_or(_first_present(raw_col, ("name", "column_name")), "").lower()
        dtype = _text_or(_first_present(raw_col, ("type", "data_type")), "").lower()

        if _first_present(raw_col, ("is_primary_key", "primary_key")):
            return "primary_key"
        if _first_present(raw_col, ("is_foreign_key", "foreign_key")):
            return "foreign_key"
        if "date" in name or "time" in name or "date" in dtype or "time" in dtype:
            if "time" in dtype or "datetime" in dtype or "timestamp" in dtype:
                return "datetime"
            return "date"
        if name.endswith("_id") or name == "id":
            return "id"
        if any(t in dtype for t in ("int", "float", "decimal", "double", "numeric")):
            return "metric"
        if "bool" in dtype:
            return "boolean"
        if any(t in dtype for t in ("string", "varchar", "text", "lowcardinality")):
            return "dimension"
        return "unknown"

    @staticmethod
    def _normalize_relationships(obj: Dict[str, Any]) -> List[RelationshipMeta]:
        _require_map(obj, "catalog or table")
        raw_rels = _first_present(obj, ("relationships",)) or _first_present(obj, ("joins",)) or []
        rels: List[RelationshipMeta] = []
        for raw in raw_rels:
            _require_map(raw, "relationship")
            from_table = _first_present(raw, ("from_table", "left_table", "source_table"))
            from_column = _first_present(raw, ("from_column", "left_column", "source_column"))
            to_table = _first_present(raw, ("to_table", "right_table", "target_table"))
            to_column = _first_present(raw, ("to_column", "right_column", "target_column"))
            if not (from_table and from_column and to_table and to_column):
                continue
            rels.append(
                RelationshipMeta(
                    from_table=str(from_table),
                    from_column=str(from_column),
                    to_table=str(to_table),
                    to_column=str(to_column),
                    relationship_type=_text_or(_first_present(raw, ("relationship_type", "type")), "many_to_one"),
                    description=_text_or(raw.get("description"), ""),
                    extra={k: v for k, v in raw.items() if k not in _RELATIONSHIP_KEYS},
                )
            )
        return rels


# ---------------------------------------------------------------------------
# Intent parser
# ---------------------------------------------------------------------------

METRIC_TERMS = {
    "total", "sum", "amount", "revenue", "sales", "income", "cost", "price",
    "profit", "loss", "count", "average", "avg", "mean", "minimum", "maximum",
    "min", "max", "volume", "quantity", "qty", "rate", "ratio", "score",
    "value", "measure", "metric",
}
DIMENSION_TERMS = {
    "by", "group", "grouped", "wise", "category", "region", "zone", "area",
    "status", "type", "name", "city", "state", "country", "product",
    "customer", "user", "department", "branch", "segment", "source", "channel",
}
DATE_TERMS = {
    "date", "day", "daily", "week", "weekly", "month", "monthly", "quarter",
    "quarterly", "year", "yearly", "today", "yesterday", "tomorrow", "last",
    "next", "current", "previous", "trend", "time", "timeline", "period",
    "created", "updated", "modified", "timestamp", "datetime",
}
TOP_N_RE = re.compile(r"\btop\s+(\d+)\b", re.IGNORECASE)
BOTTOM_N_RE = re.compile(r"\bbottom\s+(\d+)\b", re.IGNORECASE)

_TREND_TERMS = {"trend", "daily", "weekly", "monthly", "yearly"}
_TABLE_ROW_PHRASES = (
    "show records",
    "show rows",
    "list records",
    "list rows",
    "raw data",
    "detailed table",
    "table view",
    "show table",
    "all records",
)


@dataclass
class QueryIntent:
    raw_question: str
    tokens: List[str] = field(default_factory=list)
    has_time_filter: bool = False
    wants_trend: bool = False
    wants_metric: bool = False
    wants_grouping: bool = False
    wants_table_rows: bool = False
    top_n: Optional[int] = None
    bottom_n: Optional[int] = None
    metric_terms: List[str] = field(default_factory=list)
    dimension_terms: List[str] = field(default_factory=list)
    date_terms: List[str] = field(default_factory=list)


class IntentParser:
    """Small rule-based parser. No external dependency."""

    def parse(self, question: str) -> QueryIntent:
        if not isinstance(question, str):
            raise TypeError(f"question must be str, not {type(question).__name__}")
        tokens = tokenize(question)
        token_set = set(tokens)
        q_lower = question.lower()
        top = TOP_N_RE.search(question)
        bottom = BOTTOM_N_RE.search(question)

        metric_terms = sorted(token_set & METRIC_TERMS)
        dimension_terms = sorted(token_set & DIMENSION_TERMS)
        date_terms = sorted(token_set & DATE_TERMS)
        wants_table_rows = any(phrase in q_lower for phrase in _TABLE_ROW_PHRASES)

        return QueryIntent(
            raw_question=question,
            tokens=tokens,
            has_time_filter=bool(date_terms),
            wants_trend=any(word in token_set for word in _TREND_TERMS),
            wants_metric=bool(metric_terms) or top is not None or bottom is not None,
            wants_grouping=bool(dimension_terms) or " by " in f" {q_lower} ",
            wants_table_rows=wants_table_rows,
            top_n=int(top.group(1)) if top else None,
            bottom_n=int(bottom.group(1)) if bottom else None,
            metric_terms=metric_terms,
            dimension_terms=dimension_terms,
            date_terms=date_terms,
        )


# ---------------------------------------------------------------------------
# Selector configuration and result records
# ---------------------------------------------------------------------------

Strategy = Literal["lexical", "tfidf", "embedding", "hybrid"]


@dataclass
class SelectorConfig:
    strategy: Strategy = "hybrid"
    top_k_tables: int = 3
    max_columns_per_table: int = 25
    min_table_score: float = 0.03
    min_column_score: float = 0.02
    include_relationships: bool = True
    include_neighbor_tables_for_joins: bool = False
    include_primary_keys: bool = True
    include_foreign_keys: bool = True
    include_default_date_on_time_intent: bool = True
    include_default_metric_on_metric_intent: bool = True
    max_output_chars: Optional[int] = None
    token_chars_per_token: float = 4.0
    include_descriptions: bool = True
    include_synonyms: bool = True
    include_sample_values: bool = False
    max_sample_values_per_column: int = 5
    table_name_weight: float = 8.0
    table_business_name_weight: float = 6.0
    table_tag_weight: float = 4.0
    table_description_weight: float = 2.0
    column_name_weight: float = 10.0
    column_synonym_weight: float = 8.0
    column_tag_weight: float = 4.0
    column_description_weight: float = 2.0
    role_intent_weight: float = 4.0
    exact_phrase_bonus: float = 5.0
    use_tfidf_if_available: bool = True
    use_embeddings_if_available: bool = False
    embedding_model_name_or_path: Optional[str] = None
    lexical_alpha: float = 0.7
    tfidf_alpha: float = 0.15
    embedding_alpha: float = 0.15
    include_debug: bool = True


@dataclass
class ScoredColumn:
    column: ColumnMeta
    score: float
    reasons: List[str] = field(default_factory=list)


@dataclass
class ScoredTable:
    table: TableMeta
    score: float
    reasons: List[str] = field(default_factory=list)
    columns: List[ScoredColumn] = field(default_factory=list)


@dataclass
class SelectionMetrics:
    input_tables: int
    input_columns: int
    output_tables: int
    output_columns: int
    input_chars: int
    output_chars: int
    input_estimated_tokens: int
    output_estimated_tokens: int
    table_reduction_percent: float
    column_reduction_percent: float
    char_reduction_percent: float
    token_reduction_percent: float
    compression_ratio: float
    catalog_hash: str

    def summary(self) -> str:
        return (
            f"tables {self.input_tables} → {self.output_tables} "
            f"({self.table_reduction_percent:.1f}% cut), "
            f"columns {self.input_columns} → {self.output_columns} "
            f"({self.column_reduction_percent:.1f}% cut), "
            f"tokens ~{self.input_estimated_tokens} → ~{self.output_estimated_tokens} "
            f"({self.token_reduction_percent:.1f}% cut), "
            f"compression {self.compression_ratio:.2f}x"
        )


@dataclass
class MetadataSelectionResult:
    selected_metadata: Dict[str, Any]
    metrics: SelectionMetrics
    intent: QueryIntent
    debug: Dict[str, Any] = field(default_factory=dict)

    def to_dict(self, include_debug: bool = False) -> Dict[str, Any]:
        out: Dict[str, Any] = {
            "selected_metadata": self.selected_metadata,
            "metrics": asdict(self.metrics),
            "intent": asdict(self.intent),
        }
        if include_debug:
            out["debug"] = self.debug
        return out


# ---------------------------------------------------------------------------
# Vector scoring backends
# ---------------------------------------------------------------------------


class OptionalTfidfBackend:
    def __init__(self) -> None:
        self.available = False
        self.vectorizer = None
        self.matrix = None
        self.doc_ids: List[str] = []
        try:
            from sklearn.feature_extraction.text import TfidfVectorizer

            self.vectorizer = TfidfVectorizer(ngram_range=(1, 2), lowercase=True)
            self.available = True
        except Exception:
            self.available = False

    def build(self, doc_text_by_id: Dict[str, str]) -> None:
        if not isinstance(doc_text_by_id, dict):
            raise TypeError("doc_text_by_id must be a dict")
        if not self.available or self.vectorizer is None:
            return
        if not doc_text_by_id:
            # Fitting on nothing raises inside the vectorizer; no documents
            # simply means no vector evidence.
            return
        self.doc_ids = list(doc_text_by_id.keys())
        self.matrix = self.vectorizer.fit_transform([doc_text_by_id[d] for d in self.doc_ids])

    def score(self, question: str) -> Dict[str, float]:
        if not isinstance(question, str):
            raise TypeError("question must be str")
        if not self.available or self.vectorizer is None or self.matrix is None:
            return {}
        try:
            from sklearn.metrics.pairwise import cosine_similarity

            query_vec = self.vectorizer.transform([question])
            sims = cosine_similarity(query_vec, self.matrix)[0]
            return {doc_id: float(sim) for doc_id, sim in zip(self.doc_ids, sims)}
        except Exception:
            return {}


class OptionalEmbeddingBackend:
    def __init__(self, model_name_or_path: Optional[str] = None) -> None:
        self.available = False
        self.model = None
        self.doc_ids: List[str] = []
        self.embeddings = None
        self.model_name_or_path = model_name_or_path
        if not model_name_or_path:
            return
        try:
            from sentence_transformers import SentenceTransformer

            self.model = SentenceTransformer(model_name_or_path)
            self.available = True
        except Exception:
            self.available = False

    def build(self, doc_text_by_id: Dict[str, str]) -> None:
        if not isinstance(doc_text_by_id, dict):
            raise TypeError("doc_text_by_id must be a dict")
        if not self.available or self.model is None:
            return
        if not doc_text_by_id:
            return
        self.doc_ids = list(doc_text_by_id.keys())
        texts = [doc_text_by_id[d] for d in self.doc_ids]
        self.embeddings = self.model.encode(texts, normalize_embeddings=True)

    def score(self, question: str) -> Dict[str, float]:
        if not isinstance(question, str):
            raise TypeError("question must be str")
        if not self.available or self.model is None or self.embeddings is None:
            return {}
        try:
            query = self.model.encode([question], normalize_embeddings=True)[0]
            sims = self.embeddings @ query
            return {doc_id: float(sim) for doc_id, sim in zip(self.doc_ids, sims)}
        except Exception:
            return {}


# ---------------------------------------------------------------------------
# Selector
# ---------------------------------------------------------------------------

_COUNT_TERMS = ("count", "total")
_COMMON_DIMENSION_KEYWORDS = ("status", "type", "category")


def _check_real(value: Any, what: str) -> float:
    # Whole numbers (bool included, as in the host) are accepted and taken as float.
    if not isinstance(value, (int, float)):
        raise TypeError(f"{what} must be a float, not {type(value).__name__}")
    return float(value)


def _whole_number(value: Any, what: str) -> int:
    if not isinstance(value, (numbers.Real, decimal.Decimal)):
        raise TypeError(f"{what} must be a number, not {type(value).__name__}")
    return int(value)


class SchemaSift:
    """Selects the tables, columns and relationships a question needs.

    The selector is stateless from the caller's point of view: it builds an
    index per select() call and can be wrapped in a cache keyed by
    catalog_hash.
    """

    def __init__(self, config: Optional[SelectorConfig] = None) -> None:
        if config is not None and not isinstance(config, SelectorConfig):
            raise TypeError(f"config must be a SelectorConfig or None, not {type(config).__name__}")
        self.config = config if config is not None else SelectorConfig()
        self.intent_parser = IntentParser()

    # -- driver ------------------------------------------------------------

    def select(
        self,
        question: str,
        catalog: Any,
        *,
        database: Optional[str] = None,
        required_tables: Optional[List[str]] = None,
        required_columns: Optional[Dict[str, List[str]]] = None,
        excluded_tables: Optional[List[str]] = None,
        excluded_columns: Optional[Dict[str, List[str]]] = None,
    ) -> MetadataSelectionResult:
        if not isinstance(question, str):
            raise TypeError(f"question must be str, not {type(question).__name__}")
        if not isinstance(catalog, (MetadataCatalog, dict)):
            raise TypeError(f"catalog must be a MetadataCatalog or a dict, not {type(catalog).__name__}")
        if database is not None and not isinstance(database, str):
            raise TypeError("database must be str or None")
        for name, value in (("required_tables", required_tables), ("excluded_tables", excluded_tables)):
            if value is not None and not isinstance(value, list):
                raise TypeError(f"{name} must be a list or None")
        for name, value in (("required_columns", required_columns), ("excluded_columns", excluded_columns)):
            if value is not None and not isinstance(value, dict):
                raise TypeError(f"{name} must be a dict or None")

        cfg = self.config

        # 1. question
        if not question.strip():
            raise ValueError("question is required")

        # 2. catalog
        if not isinstance(catalog, MetadataCatalog):
            catalog = CatalogNormalizer.normalize(catalog, database)

        # 3. database name
        if database:
            catalog.database = database

        # 4. constraints
        required_tables_set = set(required_tables or [])
        excluded_tables_set = set(excluded_tables or [])
        required_columns_map = required_columns or {}
        excluded_columns_map = excluded_columns or {}

        # 5. table exclusion
        catalog.tables = [t for t in catalog.tables if t.table_name not in excluded_tables_set]

        # 6. intent
        intent = self.intent_parser.parse(question)

        # 7. input size and hash
        catalog_dict_before = catalog.to_prompt_dict()
        input_json = _dumps(catalog_dict_before)
        catalog_hash = stable_hash(catalog_dict_before)

        # 8. documents
        doc_texts = self._build_doc_texts(catalog)

        # 9. vector scores
        tfidf_scores = self._get_tfidf_scores(question, doc_texts)
        embedding_scores = self._get_embedding_scores(question, doc_texts)

        # 10-11. tables
        scored_tables = self._score_tables(
            question=question,
            catalog=catalog,
            intent=intent,
            tfidf_scores=tfidf_scores,
            embedding_scores=embedding_scores,
            required_tables=required_tables_set,
        )
        selected_tables = self._choose_tables(scored_tables, required_tables_set)

        # 12. columns
        for st in selected_tables:
            name = st.table.table_name
            st.columns = self._score_and_choose_columns(
                question=question,
                table=st.table,
                intent=intent,
                tfidf_scores=tfidf_scores,
                embedding_scores=embedding_scores,
                required_columns=set(required_columns_map.get(name, [])),
                excluded_columns=set(excluded_columns_map.get(name, [])),
            )

        # 13-15. relationships, output, budget
        relationships = self._select_relationships(catalog, selected_tables)
        selected_metadata = self._build_selected_metadata(catalog, selected_tables, relationships)
        selected_metadata = self._apply_output_budget(selected_metadata)

        # 16. output size
        output_json = _dumps(selected_metadata)

        # 17. metrics
        input_tables = len(catalog.tables)
        input_columns = sum(len(t.columns) for t in catalog.tables)
        out_tables = selected_metadata.get("tables", [])
        output_tables = len(out_tables)
        output_columns = sum(len(t.get("columns", [])) for t in out_tables)
        input_tokens = estimate_tokens(input_json, cfg.token_chars_per_token)
        output_tokens = estimate_tokens(output_json, cfg.token_chars_per_token)

        metrics = SelectionMetrics(
            input_tables=input_tables,
            input_columns=input_columns,
            output_tables=output_tables,
            output_columns=output_columns,
            input_chars=len(input_json),
            output_chars=len(output_json),
            input_estimated_tokens=input_tokens,
            output_estimated_tokens=output_tokens,
            table_reduction_percent=self._reduction_percent(input_tables, output_tables),
            column_reduction_percent=self._reduction_percent(input_columns, output_columns),
            char_reduction_percent=self._reduction_percent(len(input_json), len(output_json)),
            token_reduction_percent=self._reduction_percent(input_tokens, output_tokens),
            compression_ratio=float(input_tokens / output_tokens) if output_tokens else 0.0,
            catalog_hash=catalog_hash,
        )

        # 18. debug
        debug: Dict[str, Any] = {}
        if cfg.include_debug:
            ranked = sorted(scored_tables, key=lambda s: s.score, reverse=True)[:20]
            debug = {
                "table_rankings": [
                    {
                        "table_name": st.table.table_name,
                        "score": round(st.score, 6),
                        "reasons": st.reasons[:10],
                    }
                    for st in ranked
                ],
                "selected_column_rankings": {
                    st.table.table_name: [
                        {
                            "column_name": sc.column.name,
                            "score": round(sc.score, 6),
                            "role": sc.column.role,
                            "reasons": sc.reasons[:10],
                        }
                        for sc in st.columns
                    ]
                    for st in selected_tables
                },
                "strategy": cfg.strategy,
                "tfidf_available": bool(tfidf_scores),
                "embedding_available": bool(embedding_scores),
            }

        return MetadataSelectionResult(
            selected_metadata=selected_metadata,
            metrics=metrics,
            intent=intent,
            debug=debug,
        )

    def _build_doc_texts(self, catalog: MetadataCatalog) -> Dict[str, str]:
        docs: Dict[str, str] = {}
        for table in catalog.tables:
            docs[f"table::{table.table_name}"] = table.searchable_text()
            for col in table.columns:
                docs[f"column::{table.table_name}.{col.name}"] = col.searchable_text(
                    table.table_name, table.business_name
                )
        return docs

    # -- lexical scoring -----------------------------------------------------

    def _token_overlap_score(
        self,
        q_tokens: Set[str],
        doc_tokens: Set[str],
        weight: float,
        reasons: List[str],
        reason_label: str,
    ) -> float:
        if not isinstance(q_tokens, _SET_TYPES) or not isinstance(doc_tokens, _SET_TYPES):
            raise TypeError("token collections must be sets")
        weight = _check_real(weight, "weight")
        if not isinstance(reasons, list):
            raise TypeError("reasons must be a list")
        if not isinstance(reason_label, str):
            raise TypeError("reason_label must be str")
        if not q_tokens or not doc_tokens:
            return 0.0
        overlap = q_tokens & doc_tokens
        if not overlap:
            return 0.0
        contribution = len(overlap) / max(len(q_tokens), 1) * weight
        reasons.append(f"{reason_label} overlap: " + ", ".join(sorted(overlap)[:8]))
        return contribution

    def _normalize_lexical(self, score: float) -> float:
        if not score > 0:
            return 0.0
        return score / (score + 10.0)

    def _lexical_score_table(self, question: str, table: TableMeta, intent: QueryIntent) -> Tuple[float, List[str]]:
        if not isinstance(question, str):
            raise TypeError("question must be str")
        cfg = self.config
        q_tokens = set(intent.tokens)
        q_lower = question.lower()
        score = 0.0
        reasons: List[str] = []

        name_tokens = set(tokenize(table.table_name))
        business_tokens = set(tokenize(table.business_name))
        tag_tokens = set(tokenize(" ".join(table.tags)))
        desc_tokens = set(tokenize(table.description))

        score += self._token_overlap_score(q_tokens, name_tokens, cfg.table_name_weight, reasons, "table name")
        score += self._token_overlap_score(
            q_tokens, business_tokens, cfg.table_business_name_weight, reasons, "business name"
        )
        score += self._token_overlap_score(q_tokens, tag_tokens, cfg.table_tag_weight, reasons, "table tags")
        score += self._token_overlap_score(
            q_tokens, desc_tokens, cfg.table_description_weight, reasons, "table description"
        )

        if table.table_name and _split_identifier(table.table_name) in q_lower:
            score += cfg.exact_phrase_bonus
            reasons.append("exact table phrase")
        if table.business_name and table.business_name.lower() in q_lower:
            score += cfg.exact_phrase_bonus
            reasons.append("exact business phrase")

        return self._normalize_lexical(score), reasons

    def _lexical_score_column(
        self, question: str, table: TableMeta, col: ColumnMeta, intent: QueryIntent
    ) -> Tuple[float, List[str]]:
        if not isinstance(question, str):
            raise TypeError("question must be str")
        cfg = self.config
        q_tokens = set(intent.tokens)
        q_lower = question.lower()
        score = 0.0
        reasons: List[str] = []

        name_tokens = set(tokenize(col.name))
        synonym_tokens = set(tokenize(" ".join(col.synonyms)))
        tag_tokens = set(tokenize(" ".join(col.tags)))
        desc_tokens = set(tokenize(col.description))

        score += self._token_overlap_score(q_tokens, name_tokens, cfg.column_name_weight, reasons, "column name")
        score += self._token_overlap_score(
            q_tokens, synonym_tokens, cfg.column_synonym_weight, reasons, "column synonym"
        )
        score += self._token_overlap_score(q_tokens, tag_tokens, cfg.column_tag_weight, reasons, "column tags")
        score += self._token_overlap_score(
            q_tokens, desc_tokens, cfg.column_description_weight, reasons, "column description"
        )

        phrase = _split_identifier(col.name)
        if phrase and phrase in q_lower:
            score += cfg.exact_phrase_bonus
            reasons.append("exact column phrase")

        for synonym in col.synonyms:
            syn_lower = str(synonym).lower()
            if syn_lower and syn_lower in q_lower:
                score += cfg.exact_phrase_bonus
                reasons.append(f"exact synonym phrase: {synonym}")

        role = col.role
        if role in ("date", "datetime") and (intent.has_time_filter or intent.wants_trend):
            score += cfg.role_intent_weight
            reasons.append("date role matches time/trend intent")
        if role == "metric" and intent.wants_metric:
            score += cfg.role_intent_weight
            reasons.append("metric role matches metric intent")
        if role in ("dimension", "text") and intent.wants_grouping:
            score += cfg.role_intent_weight
            reasons.append("dimension role matches grouping intent")

        if any(t in q_tokens for t in _COUNT_TERMS) and role in ("id", "primary_key"):
            score += 0.8
            reasons.append("id column useful for count intent")

        if (
            any(t in q_tokens for t in _COMMON_DIMENSION_KEYWORDS)
            and role in ("dimension", "text")
            and any(t in col.name.lower() for t in _COMMON_DIMENSION_KEYWORDS)
        ):
            score += 1.2
            reasons.append("common dimension keyword match")

        return self._normalize_lexical(score), reasons

    # -- vector scoring and blending -----------------------------------------

    def _get_tfidf_scores(self, question: str, doc_text_by_id: Dict[str, str]) -> Dict[str, float]:
        cfg = self.config
        if cfg.strategy not in ("tfidf", "hybrid"):
            return {}
        if not cfg.use_tfidf_if_available:
            return {}
        backend = OptionalTfidfBackend()
        if not backend.available:
            return {}
        backend.build(doc_text_by_id)
        return backend.score(question)

    def _get_embedding_scores(self, question: str, doc_text_by_id: Dict[str, str]) -> Dict[str, float]:
        cfg = self.config
        if cfg.strategy not in ("embedding", "hybrid"):
            return {}
        if not cfg.use_embeddings_if_available:
            return {}
        backend = OptionalEmbeddingBackend(cfg.embedding_model_name_or_path)
        if not backend.available:
            return {}
        backend.build(doc_text_by_id)
        return backend.score(question)

    def _blend_scores(self, lexical: float, tfidf: float, embedding: float) -> float:
        lexical = _check_real(lexical, "lexical")
        tfidf = _check_real(tfidf, "tfidf")
        embedding = _check_real(embedding, "embedding")
        cfg = self.config
        strategy = cfg.strategy
        if strategy == "lexical":
            return lexical
        if strategy == "tfidf":
            return tfidf if tfidf else lexical
        if strategy == "embedding":
            return embedding if embedding else lexical
        pairs = [(cfg.lexical_alpha, lexical)]
        if tfidf:
            pairs.append((cfg.tfidf_alpha, tfidf))
        if embedding:
            pairs.append((cfg.embedding_alpha, embedding))
        total_weight = sum(w for w, _ in pairs) or 1.0
        return sum(w * s for w, s in pairs) / total_weight

    # -- table and column choice ---------------------------------------------

    def _score_tables(
        self,
        *,
        question: str,
        catalog: MetadataCatalog,
        intent: QueryIntent,
        tfidf_scores: Dict[str, float],
        embedding_scores: Dict[str, float],
        required_tables: Set[str],
    ) -> List[ScoredTable]:
        if not isinstance(required_tables, _SET_TYPES):
            raise TypeError("required_tables must be a set")
        scored: List[ScoredTable] = []
        for table in catalog.tables:
            lexical, reasons = self._lexical_score_table(question, table, intent)
            doc_id = f"table::{table.table_name}"
            score = self._blend_scores(
                lexical, tfidf_scores.get(doc_id, 0.0), embedding_scores.get(doc_id, 0.0)
            )
            best_column = 0.0
            for col in table.columns:
                col_lexical, _ = self._lexical_score_column(question, table, col, intent)
                best_column = max(best_column, col_lexical)
            score += min(best_column * 0.2, 0.3)
            if table.table_name in required_tables:
                score += 100.0
                reasons.append("required table")
            scored.append(ScoredTable(table, score, reasons))
        return scored

    def _choose_tables(self, scored_tables: List[ScoredTable], required_tables: Set[str]) -> List[ScoredTable]:
        if not isinstance(scored_tables, list):
            raise TypeError("scored_tables must be a list")
        if not isinstance(required_tables, _SET_TYPES):
            raise TypeError("required_tables must be a set")
        cfg = self.config
        ranked = sorted(scored_tables, key=lambda s: s.score, reverse=True)
        selected: List[ScoredTable] = []
        for st in ranked:
            if st.table.table_name in required_tables:
                selected.append(st)
        for st in ranked:
            if st in selected:
                continue
            if len(selected) >= cfg.top_k_tables:
                break
            if st.score >= cfg.min_table_score:
                selected.append(st)
        if not selected and ranked:
            selected.append(ranked[0])
        return selected[: max(cfg.top_k_tables, 1)]

    def _score_and_choose_columns(
        self,
        *,
        question: str,
        table: TableMeta,
        intent: QueryIntent,
        tfidf_scores: Dict[str, float],
        embedding_scores: Dict[str, float],
        required_columns: Set[str],
        excluded_columns: Set[str],
    ) -> List[ScoredColumn]:
        if not isinstance(required_columns, _SET_TYPES) or not isinstance(excluded_columns, _SET_TYPES):
            raise TypeError("required_columns and excluded_columns must be sets")
        cfg = self.config
        scored: List[ScoredColumn] = []
        for col in table.columns:
            if col.name in excluded_columns:
                continue
            lexical, reasons = self._lexical_score_column(question, table, col, intent)
            doc_id = f"column::{table.table_name}.{col.name}"
            score = self._blend_scores(
                lexical, tfidf_scores.get(doc_id, 0.0), embedding_scores.get(doc_id, 0.0)
            )
            if col.name in required_columns:
                score += 100.0
                reasons.append("required column")
            if cfg.include_primary_keys and (col.is_primary_key or col.role == "primary_key"):
                score += 0.05
                reasons.append("primary key included")
            if cfg.include_foreign_keys and (col.is_foreign_key or col.role == "foreign_key"):
                score += 0.05
                reasons.append("foreign key included")
            if (
                cfg.include_default_date_on_time_intent
                and intent.has_time_filter
                and table.default_date_column
                and col.name == table.default_date_column
            ):
                score += 0.5
                reasons.append("default date column for time intent")
            if (
                cfg.include_default_metric_on_metric_intent
                and intent.wants_metric
                and table.default_metric_column
                and col.name == table.default_metric_column
            ):
                score += 0.5
                reasons.append("default metric column for metric intent")
            scored.append(ScoredColumn(col, score, reasons))

        ranked = sorted(scored, key=lambda s: s.score, reverse=True)
        selected = [sc for sc in ranked if sc.score >= cfg.min_column_score]
        for sc in ranked:
            if sc.column.name in required_columns and sc not in selected:
                selected.append(sc)
        selected = self._ensure_intent_columns(table, ranked, selected, intent)
        if not selected and ranked:
            selected.append(ranked[0])
        return selected[: max(cfg.max_columns_per_table, 1)]

    def _ensure_intent_columns(
        self,
        table: TableMeta,
        ranked: List[ScoredColumn],
        selected: List[ScoredColumn],
        intent: QueryIntent,
    ) -> List[ScoredColumn]:
        selected_names = {sc.column.name for sc in selected}

        def add_best_role(roles: Set[str]) -> None:
            for sc in ranked:
                if sc.column.name not in selected_names and sc.column.role in roles:
                    selected.append(sc)
                    selected_names.add(sc.column.name)
                    return

        if intent.has_time_filter or intent.wants_trend:
            add_best_role({"date", "datetime"})
        if intent.wants_metric:
            add_best_role({"metric"})
        if intent.wants_grouping:
            add_best_role({"dimension", "text"})
        return selected

    # -- relationships, output and budget ------------------------------------

    def _select_relationships(
        self, catalog: MetadataCatalog, selected_tables: List[ScoredTable]
    ) -> List[RelationshipMeta]:
        cfg = self.config
        if not cfg.include_relationships:
            return []
        table_names = [st.table.table_name for st in selected_tables]
        rels = [r for r in catalog.relationships if r.involves(table_names)]
        if cfg.include_neighbor_tables_for_joins:
            for r in catalog.relationships:
                if r.touches(table_names) and r not in rels:
                    rels.append(r)
        return rels

    def _build_selected_metadata(
        self,
        catalog: MetadataCatalog,
        selected_tables: List[ScoredTable],
        selected_relationships: List[RelationshipMeta],
    ) -> Dict[str, Any]:
        cfg = self.config
        sample_limit = max(cfg.max_sample_values_per_column, 0)
        tables: List[Dict[str, Any]] = []
        for st in selected_tables:
            t = st.table
            columns: List[Dict[str, Any]] = []
            for sc in st.columns:
                c = sc.column
                entry: Dict[str, Any] = {
                    "name": c.name,
                    "type": c.type,
                    "role": c.role,
                    "score": round(sc.score, 6),
                }
                if cfg.include_descriptions and c.description:
                    entry["description"] = c.description
                if cfg.include_synonyms and c.synonyms:
                    entry["synonyms"] = list(c.synonyms)
                if c.is_primary_key:
                    entry["is_primary_key"] = True
                if c.is_foreign_key:
                    entry["is_foreign_key"] = True
                if cfg.include_sample_values and c.sample_values:
                    entry["sample_values"] = list(c.sample_values)[:sample_limit]
                columns.append(entry)

            table_entry: Dict[str, Any] = {
                "table_name": t.table_name,
                "score": round(st.score, 6),
                "columns": columns,
            }
            if t.business_name:
                table_entry["business_name"] = t.business_name
            if cfg.include_descriptions and t.description:
                table_entry["description"] = t.description
            if t.default_date_column:
                table_entry["default_date_column"] = t.default_date_column
            if t.default_metric_column:
                table_entry["default_metric_column"] = t.default_metric_column
            if t.row_count is not None:
                table_entry["row_count"] = t.row_count
            tables.append(table_entry)

        return {
            "database": catalog.database,
            "tables": tables,
            "relationships": [asdict(r) for r in selected_relationships],
        }

    def _apply_output_budget(self, selected_metadata: Dict[str, Any]) -> Dict[str, Any]:
        if not isinstance(selected_metadata, dict):
            raise TypeError("selected_metadata must be a dict")
        cfg = self.config
        budget = cfg.max_output_chars
        if not budget:
            return selected_metadata

        def size(payload: Any) -> int:
            return len(_dumps(payload))

        if size(selected_metadata) <= budget:
            return selected_metadata

        payload = json.loads(_dumps(selected_metadata))

        # Stage 1: drop free text.
        for table in payload.get("tables", []):
            table.pop("description", None)
            for col in table.get("columns", []):
                col.pop("description", None)
                col.pop("synonyms", None)
                col.pop("sample_values", None)
        if size(payload) <= budget:
            return payload

        # Stage 2: fewer columns per table.
        keep = max(cfg.max_columns_per_table // 2, 3)
        for table in payload.get("tables", []):
            table["columns"] = table.get("columns", [])[:keep]
        if size(payload) <= budget:
            return payload

        # Stage 3: best table only, no joins.
        payload["tables"] = payload.get("tables", [])[:1]
        payload["relationships"] = []
        return payload

    @staticmethod
    def _reduction_percent(before: int, after: int) -> float:
        if not isinstance(before, numbers.Number) or not isinstance(after, numbers.Number):
            raise TypeError("before and after must be numbers")
        before = int(before)
        after = int(after)
        if before <= 0:
            return 0.0
        value = float((before - after) / before * 100)
        return value if value > 0 else 0.0


def select_metadata(
    question: str,
    catalog: Any,
    *,
    database: Optional[str] = None,
    strategy: Strategy = "hybrid",
    top_k_tables: int = 3,
    max_columns_per_table: int = 25,
    max_output_chars: Optional[int] = None,
    use_embeddings: bool = False,
    embedding_model_name_or_path: Optional[str] = None,
    include_debug: bool = True,
) -> MetadataSelectionResult:
    top_k = _whole_number(top_k_tables, "top_k_tables")
    max_cols = _whole_number(max_columns_per_table, "max_columns_per_table")
    max_chars = None if max_output_chars is None else _whole_number(max_output_chars, "max_output_chars")
    if embedding_model_name_or_path is not None and not isinstance(embedding_model_name_or_path, str):
        raise TypeError("embedding_model_name_or_path must be str or None")
    config = SelectorConfig(
        strategy=strategy,
        top_k_tables=top_k,
        max_columns_per_table=max_cols,
        max_output_chars=max_chars,
        use_embeddings_if_available=bool(use_embeddings),
        embedding_model_name_or_path=embedding_model_name_or_path,
        include_debug=bool(include_debug),
    )
    return SchemaSift(config).select(question, catalog, database=database)


# ---------------------------------------------------------------------------
# Demonstration
# ---------------------------------------------------------------------------

DEMO_QUESTION = "Show total revenue by region for last 6 months"


def demo_catalog(database: str = "sales_demo") -> Dict[str, Any]:
    """The two-table sample catalog, in the loose shape the normalizer reads."""
    return {
        "database": database,
        "tables": [
            {
                "table_name": "sales_orders",
                "business_name": "Sales Orders",
                "description": "Order-level sales transactions with revenue, region, product and order date.",
                "tags": ["sales", "orders", "revenue"],
                "default_date_column": "order_date",
                "default_metric_column": "revenue",
                "columns": [
                    {
                        "name": "order_id",
                        "type": "String",
                        "description": "Unique order identifier",
                        "role": "primary_key",
                        "is_primary_key": True,
                    },
                    {
                        "name": "order_date",
                        "type": "Date",
                        "description": "Date when the order was created",
                        "synonyms": ["date", "sales date", "created date"],
                        "role": "date",
                    },
                    {
                        "name": "region",
                        "type": "String",
                        "description": "Sales region or zone",
                        "synonyms": ["zone", "area", "location"],
                        "role": "dimension",
                    },
                    {
                        "name": "revenue",
                        "type": "Float64",
                        "description": "Revenue amount or sales amount",
                        "synonyms": ["sales", "amount", "income", "value"],
                        "role": "metric",
                    },
                    {
                        "name": "product_name",
                        "type": "String",
                        "description": "Name of the product sold",
                        "synonyms": ["product", "item"],
                        "role": "dimension",
                    },
                ],
            },
            {
                "table_name": "customers",
                "business_name": "Customers",
                "description": "Customer master data including customer profile and region.",
                "tags": ["customer", "profile"],
                "columns": [
                    {
                        "name": "customer_id",
                        "type": "String",
                        "role": "primary_key",
                        "is_primary_key": True,
                    },
                    {"name": "customer_name", "type": "String", "role": "dimension"},
                    {
                        "name": "age_group",
                        "type": "String",
                        "synonyms": ["age", "age band"],
                        "role": "dimension",
                    },
                ],
            },
        ],
        "relationships": [
            {
                "from_table": "sales_orders",
                "from_column": "customer_id",
                "to_table": "customers",
                "to_column": "customer_id",
            }
        ],
    }


def demo(database: str = "sales_demo") -> str:
    """Run the sample selection and return exactly the text the demo prints."""
    result = select_metadata(
        DEMO_QUESTION,
        demo_catalog(database),
        strategy="hybrid",
        top_k_tables=2,
        max_columns_per_table=10,
    )
    return (
        json.dumps(result.selected_metadata, indent=2)
        + "\n"
        + result.metrics.summary()
        + "\n"
        + json.dumps(result.debug, indent=2)
        + "\n"
    )


if __name__ == "__main__":
    print(demo(), end="")
