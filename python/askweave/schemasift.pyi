"""Schema selection: pick the slice of a database catalog that matters for a question."""
import re
from typing import Any, Iterable, Literal

ColumnRole = Literal[
    "metric", "dimension", "date", "datetime", "id", "primary_key", "foreign_key", "text", "boolean", "unknown"
]
Strategy = Literal["lexical", "tfidf", "embedding", "hybrid"]

COLUMN_ROLES: tuple[str, ...]
DEFAULT_STOPWORDS: set[str]
METRIC_TERMS: set[str]
DIMENSION_TERMS: set[str]
DATE_TERMS: set[str]
TOP_N_RE: re.Pattern[str]
BOTTOM_N_RE: re.Pattern[str]
_WORD_RE: re.Pattern[str]
_CAMEL_RE: re.Pattern[str]

class ColumnMeta:
    name: str
    type: str
    description: str
    synonyms: list[str]
    role: ColumnRole
    tags: list[str]
    nullable: bool | None
    is_primary_key: bool
    is_foreign_key: bool
    sample_values: list[Any]
    extra: dict[str, Any]
    def __init__(
        self,
        name: str,
        type: str = "",
        description: str = "",
        synonyms: list[str] = ...,
        role: ColumnRole = "unknown",
        tags: list[str] = ...,
        nullable: bool | None = None,
        is_primary_key: bool = False,
        is_foreign_key: bool = False,
        sample_values: list[Any] = ...,
        extra: dict[str, Any] = ...,
    ) -> None: ...
    def searchable_text(self, table_name: str = "", table_business_name: str = "") -> str: ...

class TableMeta:
    table_name: str
    business_name: str
    description: str
    tags: list[str]
    columns: list[ColumnMeta]
    default_date_column: str | None
    default_metric_column: str | None
    row_count: int | None
    extra: dict[str, Any]
    def __init__(
        self,
        table_name: str,
        business_name: str = "",
        description: str = "",
        tags: list[str] = ...,
        columns: list[ColumnMeta] = ...,
        default_date_column: str | None = None,
        default_metric_column: str | None = None,
        row_count: int | None = None,
        extra: dict[str, Any] = ...,
    ) -> None: ...
    def searchable_text(self) -> str: ...

class RelationshipMeta:
    from_table: str
    from_column: str
    to_table: str
    to_column: str
    relationship_type: str
    description: str
    extra: dict[str, Any]
    def __init__(
        self,
        from_table: str,
        from_column: str,
        to_table: str,
        to_column: str,
        relationship_type: str = "many_to_one",
        description: str = "",
        extra: dict[str, Any] = ...,
    ) -> None: ...
    def involves(self, table_names: Iterable[str]) -> bool: ...
    def touches(self, table_names: Iterable[str]) -> bool: ...

class MetadataCatalog:
    database: str
    tables: list[TableMeta]
    relationships: list[RelationshipMeta]
    extra: dict[str, Any]
    def __init__(
        self,
        database: str = "",
        tables: list[TableMeta] = ...,
        relationships: list[RelationshipMeta] = ...,
        extra: dict[str, Any] = ...,
    ) -> None: ...
    def to_prompt_dict(self) -> dict[str, Any]: ...

class CatalogNormalizer:
    """Accepts flexible catalog shapes and converts them to MetadataCatalog."""
    @staticmethod
    def normalize(catalog: dict[str, Any], database: str | None = None) -> MetadataCatalog: ...
    @staticmethod
    def _infer_role(raw_col: dict[str, Any]) -> ColumnRole: ...
    @staticmethod
    def _normalize_relationships(obj: dict[str, Any]) -> list[RelationshipMeta]: ...

def _split_identifier(value: str) -> str: ...
def tokenize(text: str, *, stopwords: set[str] | frozenset[str] | None = None) -> list[str]: ...
def normalize_text(text: Any) -> str: ...
def estimate_tokens(text: str, chars_per_token: float = 4.0) -> int: ...
def stable_hash(value: Any) -> str: ...
def safe_float(value: Any, default: float = 0.0) -> float: ...
def _json_dumps(
    value: Any, *, ensure_ascii: bool = True, sort_keys: bool = False, indent: int | None = None,
    default_str: bool = False,
) -> str: ...

class QueryIntent:
    raw_question: str
    tokens: list[str]
    has_time_filter: bool
    wants_trend: bool
    wants_metric: bool
    wants_grouping: bool
    wants_table_rows: bool
    top_n: int | None
    bottom_n: int | None
    metric_terms: list[str]
    dimension_terms: list[str]
    date_terms: list[str]
    def __init__(
        self,
        raw_question: str,
        tokens: list[str] = ...,
        has_time_filter: bool = False,
        wants_trend: bool = False,
        wants_metric: bool = False,
        wants_grouping: bool = False,
        wants_table_rows: bool = False,
        top_n: int | None = None,
        bottom_n: int | None = None,
        metric_terms: list[str] = ...,
        dimension_terms: list[str] = ...,
        date_terms: list[str] = ...,
    ) -> None: ...

class IntentParser:
    """Small rule-based parser. No external dependency."""
    def __init__(self) -> None: ...
    def parse(self, question: str) -> QueryIntent: ...

class SelectorConfig:
    strategy: Strategy
    top_k_tables: int
    max_columns_per_table: int
    min_table_score: float
    min_column_score: float
    include_relationships: bool
    include_neighbor_tables_for_joins: bool
    include_primary_keys: bool
    include_foreign_keys: bool
    include_default_date_on_time_intent: bool
    include_default_metric_on_metric_intent: bool
    max_output_chars: int | None
    token_chars_per_token: float
    include_descriptions: bool
    include_synonyms: bool
    include_sample_values: bool
    max_sample_values_per_column: int
    table_name_weight: float
    table_business_name_weight: float
    table_tag_weight: float
    table_description_weight: float
    column_name_weight: float
    column_synonym_weight: float
    column_tag_weight: float
    column_description_weight: float
    role_intent_weight: float
    exact_phrase_bonus: float
    use_tfidf_if_available: bool
    use_embeddings_if_available: bool
    embedding_model_name_or_path: str | None
    lexical_alpha: float
    tfidf_alpha: float
    embedding_alpha: float
    include_debug: bool
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...

class ScoredColumn:
    column: ColumnMeta
    score: float
    reasons: list[str]
    def __init__(self, column: ColumnMeta, score: float, reasons: list[str] = ...) -> None: ...

class ScoredTable:
    table: TableMeta
    score: float
    reasons: list[str]
    columns: list[ScoredColumn]
    def __init__(
        self, table: TableMeta, score: float, reasons: list[str] = ..., columns: list[ScoredColumn] = ...
    ) -> None: ...

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
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def summary(self) -> str: ...

class MetadataSelectionResult:
    selected_metadata: dict[str, Any]
    metrics: SelectionMetrics
    intent: QueryIntent
    debug: dict[str, Any]
    def __init__(
        self, selected_metadata: dict[str, Any], metrics: SelectionMetrics, intent: QueryIntent,
        debug: dict[str, Any] = ...,
    ) -> None: ...
    def to_dict(self, include_debug: bool = False) -> dict[str, Any]: ...

class OptionalTfidfBackend:
    available: bool
    vectorizer: Any
    matrix: Any
    doc_ids: list[str]
    def __init__(self) -> None: ...
    def build(self, doc_text_by_id: dict[str, str]) -> None: ...
    def score(self, question: str) -> dict[str, float]: ...

class OptionalEmbeddingBackend:
    available: bool
    model: Any
    doc_ids: list[str]
    embeddings: Any
    model_name_or_path: str | None
    def __init__(self, model_name_or_path: str | None = None) -> None: ...
    def build(self, doc_text_by_id: dict[str, str]) -> None: ...
    def score(self, question: str) -> dict[str, float]: ...

class SchemaSift:
    """Selects the slice of a catalog that matters for a question.

    Stateless from the caller's point of view: every select() call builds its
    own index and drops it afterwards; callers with very large catalogs can
    wrap it in a cache keyed by the result's catalog_hash.

    A subclass may override the underscore stages (_build_doc_texts,
    _get_tfidf_scores, _get_embedding_scores, _score_tables, _choose_tables,
    _score_and_choose_columns, _select_relationships,
    _build_selected_metadata, _apply_output_budget, ...). select() then calls
    the stages as methods, in order and with the same arguments as the plain
    rules, so each override is called; without overrides it runs natively.
    """

    config: SelectorConfig
    intent_parser: IntentParser
    def __init__(self, config: SelectorConfig | None = None) -> None: ...
    def select(
        self,
        question: str,
        catalog: MetadataCatalog | dict[str, Any],
        *,
        database: str | None = None,
        required_tables: list[str] | None = None,
        required_columns: dict[str, list[str]] | None = None,
        excluded_tables: list[str] | None = None,
        excluded_columns: dict[str, list[str]] | None = None,
    ) -> MetadataSelectionResult: ...
    def _build_doc_texts(self, catalog: MetadataCatalog) -> dict[str, str]: ...
    def _get_tfidf_scores(self, question: str, doc_text_by_id: dict[str, str]) -> dict[str, float]: ...
    def _get_embedding_scores(self, question: str, doc_text_by_id: dict[str, str]) -> dict[str, float]: ...
    def _blend_scores(self, lexical: float, tfidf: float, embedding: float) -> float: ...
    def _token_overlap_score(
        self, q_tokens: set[str], doc_tokens: set[str], weight: float, reasons: list[str], reason_label: str
    ) -> float: ...
    def _normalize_lexical(self, score: float) -> float: ...
    def _lexical_score_table(self, question: str, table: TableMeta, intent: QueryIntent) -> tuple[float, list[str]]: ...
    def _lexical_score_column(
        self, question: str, table: TableMeta, col: ColumnMeta, intent: QueryIntent
    ) -> tuple[float, list[str]]: ...
    def _score_tables(
        self, *, question: str, catalog: MetadataCatalog, intent: QueryIntent, tfidf_scores: dict[str, float],
        embedding_scores: dict[str, float], required_tables: set[str],
    ) -> list[ScoredTable]: ...
    def _choose_tables(self, scored_tables: list[ScoredTable], required_tables: set[str]) -> list[ScoredTable]: ...
    def _score_and_choose_columns(
        self, *, question: str, table: TableMeta, intent: QueryIntent, tfidf_scores: dict[str, float],
        embedding_scores: dict[str, float], required_columns: set[str], excluded_columns: set[str],
    ) -> list[ScoredColumn]: ...
    def _ensure_intent_columns(
        self, table: TableMeta, ranked: list[ScoredColumn], selected: list[ScoredColumn], intent: QueryIntent
    ) -> list[ScoredColumn]: ...
    def _select_relationships(
        self, catalog: MetadataCatalog, selected_tables: list[ScoredTable]
    ) -> list[RelationshipMeta]: ...
    def _build_selected_metadata(
        self, catalog: MetadataCatalog, selected_tables: list[ScoredTable],
        selected_relationships: list[RelationshipMeta],
    ) -> dict[str, Any]: ...
    def _apply_output_budget(self, selected_metadata: dict[str, Any]) -> dict[str, Any]: ...
    @staticmethod
    def _reduction_percent(before: int, after: int) -> float: ...

def select_metadata(
    question: str,
    catalog: MetadataCatalog | dict[str, Any],
    *,
    database: str | None = None,
    strategy: Strategy = "hybrid",
    top_k_tables: int = 3,
    max_columns_per_table: int = 25,
    max_output_chars: int | None = None,
    use_embeddings: bool = False,
    embedding_model_name_or_path: str | None = None,
    include_debug: bool = True,
) -> MetadataSelectionResult: ...
