"""Schema selection: pick the slice of a database catalog that matters for a question.

The one-call entry is `select_metadata`; `SchemaSift` is the reusable,
configurable selector (`SelectorConfig`). A catalog is given as records
(`MetadataCatalog`, `TableMeta`, `ColumnMeta`, `RelationshipMeta`) or as a
loose dict that `CatalogNormalizer.normalize` reads. A selection returns a
`MetadataSelectionResult`: the selected slice as a plain dict for a model's
prompt, `SelectionMetrics`, the parsed `QueryIntent` and debug rankings.

Records are mutable value records: fields in a fixed order, construction by
position or keyword (list and dict defaults are fresh per instance), equality
field by field, copy and pickle support, no validation on construction (a
TypeError only for an unknown or repeated field name, too many positional
arguments or a missing required field).

Strategies ("lexical", "tfidf", "embedding", "hybrid", the default) choose the
score sources. "hybrid" blends TF-IDF similarity in only when scikit-learn can
be imported, and sentence-embedding similarity only when embeddings are
switched on and a model is named; otherwise selection is lexical.

Diagnostics go to the logger "askweave" (never printed): a strategy "tfidf"
without scikit-learn, embeddings switched on without a model name, a model
that failed to load, and an output budget that could not be met are warnings;
the default strategy's quiet fallback to lexical scores is a debug message.
Results are the same whether or not anything is logged.

Type labels: `ColumnRole` and `Strategy` are `typing.Literal` types.
"""
import os
import re
from typing import TYPE_CHECKING, Any, ClassVar, Iterable, Literal, final

if TYPE_CHECKING:
    from typing_extensions import disjoint_base
else:  # the API reference tool executes stubs: a stand-in for the checker-only marker
    def disjoint_base(cls: type) -> type:
        return cls

ColumnRole = Literal[
    "metric", "dimension", "date", "datetime", "id", "primary_key", "foreign_key", "text", "boolean", "unknown"
]
"""The semantic role of a column (a type label; nothing checks it at run time)."""
Strategy = Literal["lexical", "tfidf", "embedding", "hybrid"]
"""Which score sources a selection combines (a type label; nothing checks it at run time)."""

COLUMN_ROLES: tuple[ColumnRole, ...]
"""The ten `ColumnRole` values in declaration order."""
DEFAULT_STOPWORDS: set[str]
"""The 39 words `tokenize` drops unless it is given its own stopwords."""
METRIC_TERMS: set[str]
"""Words that make a question want a metric ("total", "revenue", "count", ...)."""
DIMENSION_TERMS: set[str]
"""Words that make a question want a grouping ("category", "region", "status", ...)."""
DATE_TERMS: set[str]
"""Words that give a question a time filter ("month", "last", "daily", ...)."""
TOP_N_RE: re.Pattern[str]
"""`\\btop\\s+(\\d+)\\b`, ignoring case: the count of "top 5"."""
BOTTOM_N_RE: re.Pattern[str]
"""`\\bbottom\\s+(\\d+)\\b`, ignoring case: the count of "bottom 3"."""
_WORD_RE: re.Pattern[str]
_CAMEL_RE: re.Pattern[str]

@disjoint_base
class ColumnMeta:
    """One column of a table.

    Attributes:
        name: Column name as stored in the database. Required.
        type: Data type text as the catalog gives it, e.g. "Decimal(18,2)".
            Default "".
        description: Free-text description. Default "".
        synonyms: Business words that also denote the column. Default [].
        role: Semantic role (a ColumnRole value). Default "unknown"; the
            normalizer infers it from hints, key flags, the name and the type.
        tags: Free labels. Default [].
        nullable: Whether the column admits nulls, None when unknown.
            Default None.
        is_primary_key: The column is (part of) the primary key. Default False.
        is_foreign_key: The column refers to another table. Default False.
        sample_values: Example values; they reach the output only with
            SelectorConfig.include_sample_values. Default [].
        extra: Further attributes kept from the source. Default {}.
    """

    __match_args__ = (
        "name", "type", "description", "synonyms", "role", "tags", "nullable", "is_primary_key",
        "is_foreign_key", "sample_values", "extra",
    )
    __hash__: ClassVar[None] = None  # type: ignore[assignment]

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
    def searchable_text(self, table_name: str = "", table_business_name: str = "") -> str:
        """One line of search text for this column, labelled segment by segment.

        The segments "table", "table business name", "column", "type",
        "description", "synonyms", "role", "tags" and "sample values" (the
        first 10, as str()) are joined by single spaces. Scoring compares the
        question with this text. table_name and table_business_name fill the
        first two segments (default "": the labels alone).

        Raises:
            TypeError: a synonym or tag is not a str.
        """

@disjoint_base
class TableMeta:
    """One table or view of the catalog.

    Attributes:
        table_name: Table name as stored in the database. Required.
        business_name: Human name of the table. Default "".
        description: Free-text description. Default "".
        tags: Free labels. Default [].
        columns: The table's columns (ColumnMeta) in catalog order. Default [].
        default_date_column: Column to use for time filters and trends; it is
            favoured when the question has a time filter. Default None.
        default_metric_column: Column to aggregate by default; it is favoured
            when the question wants a metric. Default None.
        row_count: Approximate number of rows. Default None.
        extra: Further attributes kept from the source. Default {}.
    """

    __match_args__ = (
        "table_name", "business_name", "description", "tags", "columns", "default_date_column",
        "default_metric_column", "row_count", "extra",
    )
    __hash__: ClassVar[None] = None  # type: ignore[assignment]

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
    def searchable_text(self) -> str:
        """One line of search text for this table and its columns.

        The segments "table", "business name", "description", "tags",
        "columns" (every column name), "column descriptions" and "column
        synonyms" (the first 50 columns), "default date column" and "default
        metric column" are joined by single spaces.

        Raises:
            TypeError: a tag, synonym, column name or description is not a str.
        """

@disjoint_base
class RelationshipMeta:
    """One join path between two tables.

    Attributes:
        from_table: Referencing table. Required.
        from_column: Referencing column. Required.
        to_table: Referenced table. Required.
        to_column: Referenced column. Required.
        relationship_type: Cardinality label, free text. Default "many_to_one".
        description: Free-text description. Default "".
        extra: Further attributes kept from the source. Default {}.
    """

    __match_args__ = (
        "from_table", "from_column", "to_table", "to_column", "relationship_type", "description", "extra",
    )
    __hash__: ClassVar[None] = None  # type: ignore[assignment]

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
    def involves(self, table_names: Iterable[str]) -> bool:
        """True when both ends lie in table_names (exact, case-sensitive names).

        Raises:
            TypeError: table_names is not iterable or holds unhashable items.
        """
    def touches(self, table_names: Iterable[str]) -> bool:
        """True when either end lies in table_names (exact, case-sensitive names).

        Raises:
            TypeError: table_names is not iterable or holds unhashable items.
        """

@disjoint_base
class MetadataCatalog:
    """The whole catalog: tables and relationships.

    Attributes:
        database: Database name. Default "".
        tables: Tables (TableMeta) in catalog order. Default [].
        relationships: Relationships (RelationshipMeta) in catalog order.
            Default [].
        extra: Further attributes kept from the source. Default {}.
    """

    __match_args__ = ("database", "tables", "relationships", "extra")
    __hash__: ClassVar[None] = None  # type: ignore[assignment]

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
    def to_prompt_dict(self) -> dict[str, Any]:
        """The catalog as a plain dict (deep copies of column and relationship maps).

        Keys "database", "tables" (each with "table_name", "business_name",
        "description", "columns" with every ColumnMeta field,
        "default_date_column", "default_metric_column", "row_count") and
        "relationships" (every RelationshipMeta field). Table tags and extras
        and the catalog's extra are left out. The metrics' catalog_hash is
        stable_hash of this dict.

        Raises:
            TypeError, AttributeError: a table, column or relationship is not a
                record of its kind.
            RecursionError: a copied value contains itself.
        """

@final
class CatalogNormalizer:
    """Accepts flexible catalog shapes and converts them to MetadataCatalog.

    Tables and columns may be lists of maps or maps keyed by name; several key
    names are read for one field ("table_name"/"name"/"table"/"source",
    "description"/"comment", "type"/"data_type", "primary_key", ...);
    relationships may be declared at catalog level, at table level or both
    ("relationships", else "joins"). Unknown keys are kept in the records'
    extra. Column roles are taken from a "role" hint when it names a role
    (or "measure", "category", "timestamp", ...), otherwise inferred from the
    key flags, the name and the type.
    """

    @staticmethod
    def normalize(catalog: dict[str, Any], database: str | None = None) -> MetadataCatalog:
        """Build a MetadataCatalog from a loose catalog dict.

        Args:
            catalog: The loose catalog; it is never modified.
            database: Names the catalog when given and non-empty, else the
                catalog's own "database", "database_name" or "db" is used.

        Returns:
            A new catalog; tables without a name, columns without a name and
            relationships missing an endpoint are skipped.

        Raises:
            TypeError: catalog is not a dict, database is not a str or None,
                "tables" or "columns" is not a list or map, or an element is
                not a map.
        """
    @staticmethod
    def _infer_role(raw_col: dict[str, Any]) -> ColumnRole: ...
    @staticmethod
    def _normalize_relationships(obj: dict[str, Any]) -> list[RelationshipMeta]: ...

def _split_identifier(value: str) -> str: ...
def tokenize(text: str, *, stopwords: set[str] | frozenset[str] | None = None) -> list[str]:
    """Lower-case word tokens of text after identifier splitting, without stopwords.

    Identifiers are split at "_", "-", "." and before ASCII capitals; a token
    is a run of ASCII letters, digits and underscores. Duplicates are kept.

    Args:
        text: The text; an empty text gives [].
        stopwords: Lower-case words to drop instead of DEFAULT_STOPWORDS.

    Raises:
        TypeError: text is not a str or stopwords is not a set.
    """
def normalize_text(text: Any) -> str:
    """Flatten any value (lists, tuples, sets, maps, scalars) to one space-joined text.

    None gives ""; a str is returned as it is; a list, tuple or set gives its
    elements, each flattened; a map gives its key's str(), a space and its
    flattened value per entry. The pieces are joined by single spaces; nothing
    is lowercased or trimmed. Any other value gives its str(), and an error
    raised by that str() propagates.

    Raises:
        RecursionError: text contains itself.
    """
def estimate_tokens(text: str, chars_per_token: float = 4.0) -> int:
    """Rough token count: 0 for empty text, else max(1, ceil(len(text) / chars_per_token)).

    Args:
        text: The text; its length is counted in code points.
        chars_per_token: Characters per token, a real number. Default 4.0.

    Raises:
        TypeError: text is not a str, or chars_per_token is not a real number.
        ZeroDivisionError: chars_per_token is 0 and text is not empty.
        ValueError: chars_per_token is NaN and text is not empty.
        OverflowError: chars_per_token is so small that the count is infinite.
    """
def stable_hash(value: Any) -> str:
    """First 16 hex digits of the SHA-256 of value's sorted-key JSON text.

    Equal content gives the same hash whatever the insertion order; values
    JSON cannot represent are written as their str().

    Raises:
        TypeError: the keys of one map cannot be ordered against each other.
        ValueError: value refers to itself.
    """
def safe_float(value: Any, default: float = 0.0) -> float:
    """float(value), or default when value is None or cannot be converted.

    Args:
        value: Any value. A str is parsed as float() parses it (white space
            around it, "_" between digits, "nan", "inf", "infinity"); an error
            float() raises on value is never passed on.
        default: Returned, as given, for None and for what float() rejects.
            Default 0.0.

    Raises:
        TypeError: default is not an int or a float.
    """
def _json_dumps(
    value: Any, *, ensure_ascii: bool = True, sort_keys: bool = False, indent: int | None = None,
    default_str: bool = False,
) -> str: ...

@disjoint_base
class QueryIntent:
    """What a question asks for, read off its words.

    Attributes:
        raw_question: The question exactly as given. Required.
        tokens: The question's tokens, in order, duplicates kept. Default [].
        has_time_filter: The question uses a date word. Default False.
        wants_trend: The question asks for a development over time
            ("trend", "daily", "monthly", ...). Default False.
        wants_metric: The question names a measure or a top/bottom count.
            Default False.
        wants_grouping: The question asks to break a result down (a
            dimension word or " by "). Default False.
        wants_table_rows: The question asks for raw rows ("show records",
            "raw data", ...). Default False.
        top_n: The number after the first "top", or None. Default None.
        bottom_n: The number after the first "bottom", or None. Default None.
        metric_terms: Metric words found, sorted. Default [].
        dimension_terms: Dimension words found, sorted. Default [].
        date_terms: Date words found, sorted. Default [].
    """

    __match_args__ = (
        "raw_question", "tokens", "has_time_filter", "wants_trend", "wants_metric", "wants_grouping",
        "wants_table_rows", "top_n", "bottom_n", "metric_terms", "dimension_terms", "date_terms",
    )
    __hash__: ClassVar[None] = None  # type: ignore[assignment]

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
    """Small rule-based parser. No external dependency.

    IntentParser() takes no arguments and keeps no state; parse(question)
    reads a QueryIntent off the question's words.
    """

    def __init__(self) -> None: ...
    def parse(self, question: str) -> QueryIntent:
        """Parse a question into a QueryIntent.

        tokens are tokenize(question); metric_terms, dimension_terms and
        date_terms are the distinct tokens found in METRIC_TERMS, DIMENSION_TERMS
        and DATE_TERMS, sorted; top_n and bottom_n come from the first match of
        TOP_N_RE and BOTTOM_N_RE. The flags follow from these, from the trend
        words ("trend", "daily", "weekly", "monthly", "yearly"), from " by " in
        the lowered question (wants_grouping) and from raw-row phrases ("show
        records", "raw data", ...) in it (wants_table_rows).

        Raises:
            TypeError: question is not a str.
        """

@disjoint_base
class SelectorConfig:
    """Every weight, limit and switch of a selection.

    All fields have defaults; SelectorConfig() is the default selection.

    Attributes:
        strategy: Score sources: "lexical" (word rules only), "tfidf" (TF-IDF
            similarity where non-zero, else lexical), "embedding" (embedding
            similarity where non-zero, else lexical) or "hybrid" (a weighted
            blend of all available sources). Default "hybrid".
        top_k_tables: Most tables chosen, required tables included; at least
            one is chosen whenever the catalog has a table. Default 3.
        max_columns_per_table: Most columns kept per chosen table (at least
            one). Default 25.
        min_table_score: Lowest score for a table to be chosen beyond the
            required ones. Default 0.03.
        min_column_score: Lowest score for a column to be chosen. Default 0.02.
        include_relationships: Put relationships between chosen tables into
            the output. Default True.
        include_neighbor_tables_for_joins: Also put relationships that touch
            only one chosen table. Default False.
        include_primary_keys: Favour primary-key columns. Default True.
        include_foreign_keys: Favour foreign-key columns. Default True.
        include_default_date_on_time_intent: Favour the table's default date
            column when the question has a time filter. Default True.
        include_default_metric_on_metric_intent: Favour the table's default
            metric column when the question wants a metric. Default True.
        max_output_chars: Size budget of the output's JSON text in
            characters; None or 0 means unlimited. Over budget, descriptions,
            synonyms and sample values go first, then the columns beyond half
            of max_columns_per_table (keeping at least 3), then all but the
            best table and the relationships; a budget still not met is
            logged as a warning. Default None.
        token_chars_per_token: Characters per token for the token estimates.
            Default 4.0.
        include_descriptions: Put descriptions into the output. Default True.
        include_synonyms: Put column synonyms into the output. Default True.
        include_sample_values: Put column sample values into the output.
            Default False.
        max_sample_values_per_column: Most sample values per column in the
            output. Default 5.
        table_name_weight: Lexical weight of table-name matches. Default 8.0.
        table_business_name_weight: Lexical weight of business-name matches.
            Default 6.0.
        table_tag_weight: Lexical weight of table-tag matches. Default 4.0.
        table_description_weight: Lexical weight of table-description
            matches. Default 2.0.
        column_name_weight: Lexical weight of column-name matches.
            Default 10.0.
        column_synonym_weight: Lexical weight of column-synonym matches.
            Default 8.0.
        column_tag_weight: Lexical weight of column-tag matches. Default 4.0.
        column_description_weight: Lexical weight of column-description
            matches. Default 2.0.
        role_intent_weight: Bonus when a column's role fits the question's
            intent. Default 4.0.
        exact_phrase_bonus: Bonus when a whole name or phrase occurs in the
            question. Default 5.0.
        use_tfidf_if_available: Use TF-IDF similarity when scikit-learn can
            be imported. Default True.
        use_embeddings_if_available: Use sentence-embedding similarity when
            sentence-transformers can load embedding_model_name_or_path.
            Default False.
        embedding_model_name_or_path: The embedding model to load; there is
            no default model. Default None.
        lexical_alpha: Blend weight of the lexical score. Default 0.7.
        tfidf_alpha: Blend weight of the TF-IDF score. Default 0.15.
        embedding_alpha: Blend weight of the embedding score. Default 0.15.
        include_debug: Collect debug rankings into the result. Default True.
    """

    __match_args__ = (
        "strategy", "top_k_tables", "max_columns_per_table", "min_table_score", "min_column_score",
        "include_relationships", "include_neighbor_tables_for_joins", "include_primary_keys",
        "include_foreign_keys", "include_default_date_on_time_intent",
        "include_default_metric_on_metric_intent", "max_output_chars", "token_chars_per_token",
        "include_descriptions", "include_synonyms", "include_sample_values", "max_sample_values_per_column",
        "table_name_weight", "table_business_name_weight", "table_tag_weight", "table_description_weight",
        "column_name_weight", "column_synonym_weight", "column_tag_weight", "column_description_weight",
        "role_intent_weight", "exact_phrase_bonus", "use_tfidf_if_available", "use_embeddings_if_available",
        "embedding_model_name_or_path", "lexical_alpha", "tfidf_alpha", "embedding_alpha", "include_debug",
    )
    __hash__: ClassVar[None] = None  # type: ignore[assignment]

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
    def __init__(
        self,
        strategy: Strategy = "hybrid",
        top_k_tables: int = 3,
        max_columns_per_table: int = 25,
        min_table_score: float = 0.03,
        min_column_score: float = 0.02,
        include_relationships: bool = True,
        include_neighbor_tables_for_joins: bool = False,
        include_primary_keys: bool = True,
        include_foreign_keys: bool = True,
        include_default_date_on_time_intent: bool = True,
        include_default_metric_on_metric_intent: bool = True,
        max_output_chars: int | None = None,
        token_chars_per_token: float = 4.0,
        include_descriptions: bool = True,
        include_synonyms: bool = True,
        include_sample_values: bool = False,
        max_sample_values_per_column: int = 5,
        table_name_weight: float = 8.0,
        table_business_name_weight: float = 6.0,
        table_tag_weight: float = 4.0,
        table_description_weight: float = 2.0,
        column_name_weight: float = 10.0,
        column_synonym_weight: float = 8.0,
        column_tag_weight: float = 4.0,
        column_description_weight: float = 2.0,
        role_intent_weight: float = 4.0,
        exact_phrase_bonus: float = 5.0,
        use_tfidf_if_available: bool = True,
        use_embeddings_if_available: bool = False,
        embedding_model_name_or_path: str | None = None,
        lexical_alpha: float = 0.7,
        tfidf_alpha: float = 0.15,
        embedding_alpha: float = 0.15,
        include_debug: bool = True,
    ) -> None: ...

@disjoint_base
class ScoredColumn:
    """A column with its final score and the reasons for it.

    Attributes:
        column: The column (ColumnMeta). Required.
        score: Its final score. Required.
        reasons: Short texts explaining the score, in the order earned.
            Default [].
    """

    __match_args__ = ("column", "score", "reasons")
    __hash__: ClassVar[None] = None  # type: ignore[assignment]

    column: ColumnMeta
    score: float
    reasons: list[str]
    def __init__(self, column: ColumnMeta, score: float, reasons: list[str] = ...) -> None: ...

@disjoint_base
class ScoredTable:
    """A table with its score, reasons and chosen columns.

    Attributes:
        table: The table (TableMeta). Required.
        score: Its final score. Required.
        reasons: Short texts explaining the score. Default [].
        columns: The chosen columns (ScoredColumn), filled once the table is
            chosen. Default [].
    """

    __match_args__ = ("table", "score", "reasons", "columns")
    __hash__: ClassVar[None] = None  # type: ignore[assignment]

    table: TableMeta
    score: float
    reasons: list[str]
    columns: list[ScoredColumn]
    def __init__(
        self, table: TableMeta, score: float, reasons: list[str] = ..., columns: list[ScoredColumn] = ...
    ) -> None: ...

@disjoint_base
class SelectionMetrics:
    """How much smaller the selection is than the catalog.

    Every field is required. Sizes are those of the JSON texts of the
    catalog's to_prompt_dict() and of the selected metadata.

    Attributes:
        input_tables: Tables in the catalog (after excluded tables).
        input_columns: Columns in the catalog.
        output_tables: Tables in the selected metadata.
        output_columns: Columns in the selected metadata.
        input_chars: Characters of the catalog's JSON text.
        output_chars: Characters of the selected metadata's JSON text.
        input_estimated_tokens: Token estimate of the catalog's text.
        output_estimated_tokens: Token estimate of the output's text.
        table_reduction_percent: Percent fewer tables.
        column_reduction_percent: Percent fewer columns.
        char_reduction_percent: Percent fewer characters.
        token_reduction_percent: Percent fewer estimated tokens.
        compression_ratio: Input tokens divided by output tokens (0.0 when
            there are no output tokens).
        catalog_hash: stable_hash of the catalog's to_prompt_dict(): a
            cache key for the catalog.
    """

    __match_args__ = (
        "input_tables", "input_columns", "output_tables", "output_columns", "input_chars", "output_chars",
        "input_estimated_tokens", "output_estimated_tokens", "table_reduction_percent",
        "column_reduction_percent", "char_reduction_percent", "token_reduction_percent", "compression_ratio",
        "catalog_hash",
    )
    __hash__: ClassVar[None] = None  # type: ignore[assignment]

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
    def __init__(
        self,
        input_tables: int,
        input_columns: int,
        output_tables: int,
        output_columns: int,
        input_chars: int,
        output_chars: int,
        input_estimated_tokens: int,
        output_estimated_tokens: int,
        table_reduction_percent: float,
        column_reduction_percent: float,
        char_reduction_percent: float,
        token_reduction_percent: float,
        compression_ratio: float,
        catalog_hash: str,
    ) -> None: ...
    def summary(self) -> str:
        """One line: tables, columns and tokens before and after, and the compression.

        For example "tables 2 → 1 (50.0% cut), columns 4 → 3 (25.0% cut),
        tokens ~180 → ~70 (61.1% cut), compression 2.57x".

        Raises:
            ValueError, TypeError: a percentage or the ratio cannot be formatted
                as a number.
        """

@disjoint_base
class MetadataSelectionResult:
    """The selected slice of the catalog with metrics, the parsed intent and debug rankings.

    Attributes:
        selected_metadata: The slice for the model's prompt, a plain dict:
            "database", "tables" (each with "table_name", "score", "columns"
            and, when set, "business_name", "description",
            "default_date_column", "default_metric_column", "row_count";
            each column with "name", "type", "role", "score" and, when set,
            "description", "synonyms", "is_primary_key", "is_foreign_key",
            "sample_values") and "relationships". Required.
        metrics: The SelectionMetrics. Required.
        intent: The parsed question (QueryIntent). Required.
        debug: "table_rankings" (the best 20 tables with scores and reasons),
            "selected_column_rankings", "strategy", "tfidf_available" and
            "embedding_available"; empty when SelectorConfig.include_debug is
            off. A selection's result makes it when it is first read, from what
            was read when the question was answered. Default {}.
    """

    __match_args__ = ("selected_metadata", "metrics", "intent", "debug")
    __hash__: ClassVar[None] = None  # type: ignore[assignment]

    selected_metadata: dict[str, Any]
    metrics: SelectionMetrics
    intent: QueryIntent
    debug: dict[str, Any]
    def __init__(
        self, selected_metadata: dict[str, Any], metrics: SelectionMetrics, intent: QueryIntent,
        debug: dict[str, Any] = ...,
    ) -> None: ...
    def to_dict(self, include_debug: bool = False) -> dict[str, Any]:
        """The result as a plain map; "debug" only when asked.

        Keys "selected_metadata" (the result's own dict), "metrics" and "intent"
        (both as new maps of their fields, values deep-copied), then "debug" (the
        result's own dict) when include_debug is true.

        Args:
            include_debug: Whether the "debug" key is added. Default False.

        Raises:
            RecursionError: metrics or intent contains itself.
        """

class OptionalTfidfBackend:
    """TF-IDF similarity through scikit-learn, when it can be imported.

    Built by SchemaSift for each select() call that uses TF-IDF. When
    scikit-learn cannot be imported or the vectorizer cannot be made,
    available stays False and score() returns {}.

    Attributes:
        available: Whether the vectorizer could be created.
        vectorizer: The TfidfVectorizer (word unigrams and bigrams), or None.
        matrix: The document-term matrix after build(), or None.
        doc_ids: Document ids in matrix row order.
    """

    available: bool
    vectorizer: Any
    matrix: Any
    doc_ids: list[str]
    def __init__(self) -> None: ...
    def build(self, doc_text_by_id: dict[str, str]) -> None:
        """Fit the vectorizer on the documents.

        Does nothing when the backend is unavailable or there are no
        documents. Errors raised while fitting propagate.

        Raises:
            TypeError: doc_text_by_id is not a dict.
        """
    def score(self, question: str) -> dict[str, float]:
        """Cosine similarity of the question to every document.

        Returns:
            Document id to similarity, in document order; {} when the backend
            is unavailable, not built, or scoring fails.

        Raises:
            TypeError: question is not a str.
        """

class OptionalEmbeddingBackend:
    """Sentence-embedding similarity through sentence-transformers, when a model can be loaded.

    The model is loaded once, in the constructor, by name or path
    (OptionalEmbeddingBackend(model_name_or_path=None)); without a
    name, or when sentence-transformers cannot be imported or the model
    cannot be loaded (logged as a warning on "askweave"), available stays
    False and score() returns {}.

    Attributes:
        available: Whether the model could be loaded.
        model: The SentenceTransformer, or None.
        doc_ids: Document ids in embedding row order.
        embeddings: The document embeddings after build(), or None.
        model_name_or_path: The model asked for.
    """

    available: bool
    model: Any
    doc_ids: list[str]
    embeddings: Any
    model_name_or_path: str | None
    def __init__(self, model_name_or_path: str | None = None) -> None: ...
    def build(self, doc_text_by_id: dict[str, str]) -> None:
        """Encode every document.

        Does nothing when the backend is unavailable or there are no
        documents. Errors raised while encoding propagate.

        Raises:
            TypeError: doc_text_by_id is not a dict.
        """
    def score(self, question: str) -> dict[str, float]:
        """Dot product of the question's embedding with every document's.

        Returns:
            Document id to similarity (the cosine: embeddings are normalized),
            in document order; {} when unavailable, not built, or scoring
            fails.

        Raises:
            TypeError: question is not a str.
        """

class SchemaSift:
    """Selects the slice of a catalog that matters for a question.

    Stateless from the caller's point of view: every select() call builds its
    own index (documents, optional TF-IDF and embedding vectors) and drops it
    afterwards. Callers with very large catalogs can wrap it in a cache keyed
    by the result's catalog_hash.

    A subclass may override the underscore stages (_build_doc_texts,
    _get_tfidf_scores, _get_embedding_scores, _score_tables, _choose_tables,
    _score_and_choose_columns, _select_relationships,
    _build_selected_metadata, _apply_output_budget, ...). select() then calls
    the stages as methods, in order and with the same arguments as the plain
    rules, so each override is called; the scoring stages likewise call
    replaced helpers (_lexical_score_table, _lexical_score_column,
    _token_overlap_score, _normalize_lexical, _blend_scores,
    _ensure_intent_columns, _reduction_percent) where the rules call them.
    Whether a class replaces any is decided once per call, from the class;
    without replacements select() runs natively.

    One instance may serve any number of calls, from several threads at once,
    as long as they do not pass the same MetadataCatalog object concurrently.

    Attributes:
        config: The SelectorConfig (SchemaSift(config=None) uses the
            defaults).
        intent_parser: The IntentParser used for questions.

    Raises:
        TypeError: config is not a SelectorConfig or None.
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
    ) -> MetadataSelectionResult:
        """Select the slice of catalog that matters for question.

        Args:
            question: The business question (or a resolution's
                metadata_search_query).
            catalog: A MetadataCatalog, or a loose dict read by
                CatalogNormalizer.normalize. A MetadataCatalog is used in
                place: its database is set and excluded tables are removed
                from its tables list.
            database: Names the catalog when given and non-empty. Default None.
            required_tables: Tables that must be chosen (ranked first, still
                limited by top_k_tables). Default None.
            required_columns: Table name to columns that must be kept.
                Default None.
            excluded_tables: Tables removed before anything else. Default None.
            excluded_columns: Table name to columns that are never chosen.
                Default None.

        Returns:
            The selected metadata, its metrics, the parsed intent and, with
            config.include_debug, the debug rankings.

        Raises:
            ValueError: "question is required" for an empty or blank question.
            TypeError: an argument of the wrong kind (question not a str,
                catalog not a dict or MetadataCatalog, the lists and maps
                not list or dict).
        """
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

@final
class CatalogIndex:
    """One catalog prepared for many questions.

    The catalog (a loose dict or a MetadataCatalog) is copied, normalized, hashed
    and indexed once: every field's words go into an inverted index and every
    phrase into a trie, TF-IDF is fitted once on the documents, and document
    embeddings are encoded once (without progress bars; the model is loaded once
    per process). Each select() then only works on the question, and gives the
    result SchemaSift(config).select(question, catalog, database=database) gives.
    A question's TF-IDF row is made without the interpreter (lowercasing, words
    and word pairs as scikit-learn's vectorizer finds them, to the bit) when the
    vectorizer is scikit-learn's own as the backend makes it; otherwise by its
    transform().
    The question's embedding is multiplied with the documents' in the pieces
    numpy's BLAS library would give its threads, each on the calling thread:
    the same bits (checked when the index is built or unpickled; otherwise the
    whole product is used), without waking the library's threads, which keep
    spinning through the next question's encoding.

    The index is a snapshot: later edits to the caller's catalog or config do not
    reach it. One index may be shared by any number of threads. It pickles with
    its fits (no refitting; an embedding model is loaded by name once per process
    where it is unpickled).

    Args:
        catalog: The catalog, as select() takes it.
        config: A SelectorConfig (None: the defaults). Default None.
        database: The database name, as select()'s database argument.
            Default None.
        join_paths: Opt-in. When the two leading chosen tables are not joined by a
            relationship and exactly one table joins them both, that bridge table
            is chosen second (in place of the lowest-ranked table not required
            once top_k_tables are chosen; no bridge when that table is joined to
            the leading one), with its columns on the path; the
            debug map lists it under "join_paths" with the reason
            "join path: a -> bridge -> b". Results then differ from select().
            Default False.
        route_schemas: Opt-in, for table names qualified as "schema.table". The
            likely schema is chosen first: the share of the question's words its
            table and column names cover (each word weighted by how few schemas
            have it; a plural "s" ignored) plus its best table score. Tables
            are then chosen within it; required tables always stay. Results then
            differ from select(). Default False.

    Raises:
        TypeError, ValueError: the catalog's or config's errors, as select()
            raises them.
    """

    @property
    def config(self) -> SelectorConfig:
        """The SelectorConfig the index was built with (a copy)."""
    @property
    def catalog_hash(self) -> str:
        """The catalog hash every result reports."""
    @property
    def table_count(self) -> int:
        """Number of tables in the snapshot."""
    @property
    def column_count(self) -> int:
        """Number of columns in the snapshot."""
    @property
    def database(self) -> str | None:
        """The database name given at build (or None)."""
    @property
    def join_paths(self) -> bool:
        """Whether a bridge table joins the two leading chosen tables when no relationship does."""
    @property
    def route_schemas(self) -> bool:
        """Whether tables are chosen within the likely schema of qualified table names."""
    def __init__(self, catalog: MetadataCatalog | dict[str, Any], config: SelectorConfig | None = None, *,
                 database: str | None = None, join_paths: bool = False, route_schemas: bool = False) -> None: ...
    def select(
        self,
        question: str,
        *,
        required_tables: list[str] | None = None,
        required_columns: dict[str, list[str]] | None = None,
        excluded_tables: list[str] | None = None,
        excluded_columns: dict[str, list[str]] | None = None,
    ) -> MetadataSelectionResult:
        """Select the metadata for one question.

        The result equals SchemaSift(config).select(question, catalog, database=database, ...)
        on the catalog as it was when the index was built. Exclusions that leave out a
        table change the catalog itself (its hash and vector documents): that call
        runs select() on the snapshot, at per-call speed. The keyword arguments are
        SchemaSift.select's, each None by default.

        Raises:
            ValueError: "question is required" for an empty or blank question.
            TypeError: an argument of the wrong kind.
        """
    def select_many(self, questions: Iterable[str], *, threads: int | None = None) -> list[MetadataSelectionResult]:
        """Select for every question, results in input order.

        The native part of each question (intent, tokens, lexical scores) runs
        without the interpreter lock on a pool of `threads` (default: the CPU count)
        while the calling thread builds the results; the results are those of
        select() one by one. The pool's threads are kept for later calls; a call
        made while another uses them, or asking for more threads than the machine
        has cores, starts threads of its own.

        Raises:
            ValueError: a blank question, or threads < 1.
            TypeError: a question that is not a str, threads not an int.
        """

def recommended_config(
    *, top_k_tables: int = 3, embedding_model_name_or_path: str | os.PathLike[str] | None = None
) -> SelectorConfig:
    """The settings we recommend, as a plain SelectorConfig.

    A SelectorConfig with every default except these, chosen on the table
    choice of real questions over many databases (tuned on half of them,
    checked on the other half):

    - strategy "hybrid" and min_table_score 0.0: top_k_tables is the budget
      and is always filled, since a missing table costs more than an extra one.
    - with a model: use_embeddings_if_available True, lexical_alpha 0.2,
      tfidf_alpha 0.2, embedding_alpha 0.6. Embedding similarity ranks tables
      best on its own; the lexical and TF-IDF shares keep exact name matches.
    - without one: lexical_alpha 0.25, tfidf_alpha 0.75, embedding_alpha 0.0.
      TF-IDF's rare-word weighting tells apart tables that share generic
      column names; without scikit-learn the same settings are lexical alone.

    The lexical weights keep their defaults: changing them moved nothing
    beyond noise. The result serves SchemaSift and CatalogIndex alike, and
    may be edited like any config.

    Args:
        top_k_tables: Tables to choose, at least 1. Default 3.
        embedding_model_name_or_path: A sentence-transformers model, by name
            or path (str or os.PathLike); None for the settings without one.
            Default None.

    Returns:
        A new SelectorConfig.

    Raises:
        TypeError: a positional argument, a top_k_tables that is not an int
            (bool included), or a model that is not a str, os.PathLike or None.
        ValueError: top_k_tables below 1, or an empty model name.
    """

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
) -> MetadataSelectionResult:
    """One-call schema selection with the most used settings.

    Builds SchemaSift(SelectorConfig(...)) from the arguments (use_embeddings
    sets use_embeddings_if_available; every other field keeps its default)
    and returns its select(question, catalog, database=database). For
    required or excluded tables and columns, build a SchemaSift.

    Each setting defaults as its SelectorConfig field: strategy "hybrid",
    top_k_tables 3, max_columns_per_table 25, max_output_chars None,
    embedding_model_name_or_path None, include_debug True; use_embeddings
    defaults to False and database to None.

    Raises:
        ValueError: "question is required" for an empty or blank question.
        TypeError: an argument of the wrong kind, e.g. a top_k_tables that is
            not a number.
    """
