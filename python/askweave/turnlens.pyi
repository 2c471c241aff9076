"""Conversation context resolution: decide what a new message means given earlier turns.

The one-call entry is `resolve_context`; `TurnLens` is the reusable resolver
(`ResolverConfig`, an optional language-model callback). The host keeps one
`TurnContextCard` per answered turn and passes them with each new message;
the result is a `ContextResolution`: what the message is (`ContextType`), a
self-contained `resolved_question`, a `metadata_search_query` and the
`required_tables` / `required_columns` for schema selection, and a route:

* "generate": answer `resolved_question`;
* "clarify": put `clarification_question` to the user instead of answering;
* "suggest": offer analyses or next questions.

Resolution is rule-based and deterministic. Situations the rules cannot
settle are results with context type "clarification_needed", never errors.

Records are mutable value records: fields in a fixed order, construction by
position or keyword (list and dict defaults are fresh per instance), equality
field by field, copy and pickle support, no validation on construction (a
TypeError only for an unknown or repeated field name, too many positional
arguments or a missing required field).

A language-model callback that raises or answers with something unusable is
logged as a warning on the logger "askweave" (never printed); the rule-based
resolution stands either way.

Type labels: `ContextType`, `OperationType`, `TaskType` and `ArtifactType`
are `typing.Literal` types; `ResolverLLMFallback` is the callback's type.
"""
import re
from typing import TYPE_CHECKING, Any, Callable, ClassVar, Iterable, Literal, Mapping, Sequence, TypeAlias

if TYPE_CHECKING:
    from typing_extensions import disjoint_base
else:  # the API reference tool executes stubs: a stand-in for the checker-only marker
    def disjoint_base(cls: type) -> type:
        return cls

ContextType = Literal["fresh_question", "follow_up_latest", "follow_up_specific_turn", "modify_previous_query",
                      "suggestion_request", "clarification_needed"]
"""What a message is taken as (a type label; nothing checks it at run time).

"fresh_question": a question of its own; "follow_up_latest": continues an
earlier result; "follow_up_specific_turn": names an earlier turn or artifact
("turn 2", "chart #3"); "modify_previous_query": asks to change an earlier
query (granularity, grouping, metric, filter, sort, top or bottom count, a
number); "suggestion_request": asks for suggestions; "clarification_needed":
the user must be asked.
"""
OperationType = Literal["none", "add_granularity", "replace_granularity", "replace_group_by", "add_group_by",
                        "replace_metric", "add_filter", "remove_filter", "change_sort", "set_top_n", "set_bottom_n",
                        "compare", "suggest", "replace_numeric_value", "unknown_modify"]
"""The kind of change a message asks for (`IntentDelta.operation`).

The rules produce "none", "add_granularity", "set_top_n", "set_bottom_n",
"replace_group_by", "replace_metric", "add_filter", "remove_filter",
"change_sort", "compare", "replace_numeric_value" and, for suggestions,
"suggest"; the other values are for callers and the language-model callback.
"""
TaskType = Literal["text_to_sql", "text_to_config", "document_qa", "rag", "chart_generation", "report_generation",
                   "general_answer", "unknown"]
"""Kinds of task a card may record (cards accept any other text as well)."""
ArtifactType = Literal["sql", "json_config", "text_answer", "chart", "table", "document_summary",
                       "retrieval_answer", "unknown"]
"""Kinds of artifact a card may record (cards accept any other text as well)."""
_Route: TypeAlias = Literal["generate", "clarify", "suggest"]
ResolverLLMFallback = Callable[[str, list[dict[str, Any]], dict[str, Any]], dict[str, Any] | None]
"""The language-model callback: (message, card summaries, preliminary signals) -> answer or None.

See `TurnLens` for when it is called and what its answer may hold.
"""

_WORD_RE: re.Pattern[str]
_CAMEL_RE: re.Pattern[str]
TOP_N_RE: re.Pattern[str]
"""`\\btop\\s+(\\d+)\\b`, ignoring case: "top 5"."""
BOTTOM_N_RE: re.Pattern[str]
"""`\\bbottom\\s+(\\d+)\\b`, ignoring case: "bottom 3"."""
TURN_REF_RE: re.Pattern[str]
"""An explicit reference to an earlier turn: "turn 3", "chart #2", "#5", "2nd chart"."""
BACKREF_NUMERIC_RE: re.Pattern[str]
"""A relative period that is not a value to replace: "last 6 months", "previous quarter"."""
ORDINAL_SUFFIX_RE: re.Pattern[str]
"""A number with an ordinal suffix: "2nd", "3 rd"."""
GENERIC_NUMBER_RE: re.Pattern[str]
"""A number, optionally with "$" before and "%" after it."""
_DURATION_UNITS_PATTERN: str

STOPWORDS: set[str]
"""The 49 words `tokenize` drops unless it is given its own stopwords."""
FOLLOWUP_TERMS: set[str]
"""Words that point back at an earlier result ("it", "same", "previous", "chart", ...)."""
MODIFY_TERMS: set[str]
"""Words that ask to change an earlier result ("make", "change", "instead", "sort", ...)."""
SUGGESTION_PHRASES: list[str]
"""Phrases that ask for suggestions ("what else", "suggest", "more charts", ...)."""
CLARIFICATION_RISK_PHRASES: list[str]
"""Phrases whose referent is unclear ("that one", "the other one", "do that", ...)."""
GRANULARITY_ALIASES: dict[str, list[str]]
"""Time granularity ("hour" to "year") to the phrases that name it, in order."""
AGGREGATION_ALIASES: dict[str, list[str]]
"""Aggregation ("sum", "count", "avg", "min", "max") to the phrases that name it."""
ORDINAL_WORDS: dict[str, int]
""""first" to "tenth" and their numbers."""

def split_identifier(value: str) -> str:
    """Split an identifier at '_', '-', '.' and before ASCII capitals, then lowercase it.

    Raises:
        TypeError: value is not a str.
    """
def tokenize(text: Any, stopwords: set[str] | frozenset[str] | None = None) -> list[str]:
    """Lower-case word tokens of str(text) after identifier splitting, without stopwords.

    Args:
        text: Any value (converted with str()); None gives [].
        stopwords: Lower-case words to drop instead of STOPWORDS.

    Raises:
        TypeError: stopwords is not a set.
    """
def compact_text(value: Any, max_chars: int = 500) -> str:
    """Any value as one short line: JSON for non-text, white space collapsed, cut with '...'.

    None gives ""; a str is used as it is; any other value is written as JSON
    (keys in insertion order, non-ASCII kept, values JSON cannot write as
    their str()). Runs of white space become one space and both ends are
    trimmed. A result longer than max_chars keeps its first max_chars - 3
    characters, trailing white space removed, and ends in "..." (with a
    max_chars below 3, the result is just "...").

    Args:
        value: Any value.
        max_chars: The longest result. Default 500.

    Raises:
        TypeError: max_chars is not an int, or a map key is not a str, int,
            float, bool or None.
        ValueError: value refers to itself.
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
def overlap_score(a: Iterable[str], b: Iterable[str]) -> float:
    """Overlap coefficient of two word collections: |A & B| / min(|A|, |B|), 0.0 when either is empty.

    Raises:
        TypeError: an element is not hashable.
    """
def now_ms() -> int:
    """Current wall-clock time in whole milliseconds since the Unix epoch."""

class _NativePattern:
    def search(self, text: str, pos: int = 0) -> tuple[tuple[int, int], ...] | None: ...
    def finditer(self, text: str) -> list[tuple[tuple[int, int], ...]]: ...
    def sub(self, repl: str, text: str, count: int = 0) -> str: ...

def _native_pattern(pattern: str, flags: int = 0, backtracking: bool = True) -> _NativePattern: ...

@disjoint_base
class TurnContextCard:
    """Memory card of one earlier AI turn. created_at_ms defaults to now_ms() at construction.

    The host stores one card per answered turn; resolve() also accepts plain
    maps with these field names. Cards are never modified by the module.

    Attributes:
        turn_id: Identifier of the turn; larger means more recent. Required.
        session_id: Conversation the turn belongs to (stored only).
            Default "".
        tenant_id: Tenant the turn belongs to (stored only). Default "".
        user_question: The user's message of that turn. Default "".
        resolved_question: The self-contained question it was answered for.
            Default "".
        assistant_answer_summary: Short summary of the answer. Default "".
        task_type: Kind of task (a TaskType value or any text).
            Default "unknown".
        artifact_type: Kind of artifact produced (an ArtifactType value or any
            text). Default "unknown".
        artifact_id: Identifier of the artifact (a chart id, a table id).
            Default None.
        artifact_label: Display label of the artifact. Default None.
        topic_keywords: Topic words of the turn. Default [].
        entities: Business entities, table and column names mentioned.
            Default [].
        selected_metadata_ids: Catalog items used: "table:NAME" or
            "column:TABLE.COLUMN". Default [].
        query_state: State of the query that was run. Read keys:
            "active_tables"/"tables", "active_columns"/"columns",
            "required_columns"/"columns_by_table" (table to columns),
            "metrics", "dimensions", "group_by", "filters", "granularity",
            "aggregation" ({"function", "column"}), "sort", "limit".
            Default {}.
        retrieval_state: State of a document retrieval, same conventions.
            Default {}.
        output_state: State of the produced output (chart settings and the
            like). Default {}.
        sql: The generated query text (stored only). Default None.
        config: A generated configuration (stored only). Default None.
        answer_excerpt: An excerpt of the answer (stored only). Default None.
        created_at_ms: Creation time in milliseconds (stored only; recency
            uses turn_id). Default now_ms() when the card is built.
        quality_score: Multiplies the card's ranking score, clamped to 0..1.
            Default 1.0.
        is_active: Whether the turn may serve as context; inactive cards are
            used only when no card is active. Default True.
        extra: Free host data. Default {}.
    """

    __match_args__ = (
        "turn_id", "session_id", "tenant_id", "user_question", "resolved_question", "assistant_answer_summary",
        "task_type", "artifact_type", "artifact_id", "artifact_label", "topic_keywords", "entities",
        "selected_metadata_ids", "query_state", "retrieval_state", "output_state", "sql", "config",
        "answer_excerpt", "created_at_ms", "quality_score", "is_active", "extra",
    )
    __hash__: ClassVar[None] = None  # type: ignore[assignment]

    turn_id: int
    session_id: str
    tenant_id: str
    user_question: str
    resolved_question: str
    assistant_answer_summary: str
    task_type: TaskType | str
    artifact_type: ArtifactType | str
    artifact_id: str | None
    artifact_label: str | None
    topic_keywords: list[str]
    entities: list[str]
    selected_metadata_ids: list[str]
    query_state: dict[str, Any]
    retrieval_state: dict[str, Any]
    output_state: dict[str, Any]
    sql: str | None
    config: dict[str, Any] | None
    answer_excerpt: str | None
    created_at_ms: int
    quality_score: float
    is_active: bool
    extra: dict[str, Any]
    def __init__(
        self,
        turn_id: int,
        session_id: str = "",
        tenant_id: str = "",
        user_question: str = "",
        resolved_question: str = "",
        assistant_answer_summary: str = "",
        task_type: TaskType | str = "unknown",
        artifact_type: ArtifactType | str = "unknown",
        artifact_id: str | None = None,
        artifact_label: str | None = None,
        topic_keywords: list[str] = ...,
        entities: list[str] = ...,
        selected_metadata_ids: list[str] = ...,
        query_state: dict[str, Any] = ...,
        retrieval_state: dict[str, Any] = ...,
        output_state: dict[str, Any] = ...,
        sql: str | None = None,
        config: dict[str, Any] | None = None,
        answer_excerpt: str | None = None,
        created_at_ms: int = ...,
        quality_score: float = 1.0,
        is_active: bool = True,
        extra: dict[str, Any] = ...,
    ) -> None: ...
    def searchable_text(self) -> str:
        """One line of the card's texts, lists and compacted states.

        The questions, the answer summary, task and artifact type, artifact id and
        label, the keyword, entity and id lists (each joined by spaces) and the
        three states (each as compact_text(state, 1000)), empty parts left out,
        joined by single spaces.

        Raises:
            TypeError: the keyword, entity or id list is not an iterable of str,
                or a state has a map key compact_text() cannot write.
            ValueError: a state refers to itself.
        """
    def tokens(self) -> list[str]:
        """tokenize(searchable_text()): the card's words without STOPWORDS, duplicates kept.

        Raises:
            TypeError, ValueError: as searchable_text() raises them.
        """
    def active_tables(self) -> list[str]:
        """The query state's active tables (else its tables) as a new list.

        The value under "active_tables" when it is not empty, else the one under
        "tables", else []; an empty or None query_state gives [].

        Raises:
            AttributeError: query_state is a non-empty value that is not a map.
            TypeError: the value found is not iterable.
        """
    def active_columns(self) -> list[str]:
        """The query state's active columns (else its columns) as a new list.

        The value under "active_columns" when it is not empty, else the one under
        "columns", else []; an empty or None query_state gives [].

        Raises:
            AttributeError: query_state is a non-empty value that is not a map.
            TypeError: the value found is not iterable.
        """
    def required_columns_by_table(self) -> dict[str, list[str]]:
        """A new map from table name to the columns to keep.

        From the query state's "required_columns" or "columns_by_table" (keys as
        str(), each value as a new list, an empty or None value as []), else
        its one active table with its active columns, else {}.

        Raises:
            AttributeError: query_state is a non-empty value that is not a map.
            TypeError: a value found is not iterable.
        """
    def to_resolver_summary(self, max_chars: int = 1200) -> dict[str, Any]:
        """The compact map sent to the language-model fallback.

        Keys: "turn_id", "task_type", "artifact_type", "artifact_id",
        "user_question" (at most 180 characters), "resolved_question" and
        "assistant_answer_summary" (220), "topic_keywords" (first 20),
        "entities" (20), "selected_metadata_ids" (30) and "query_state",
        "retrieval_state", "output_state" cut to their known keys.

        Args:
            max_chars: Checked with int() and otherwise unused: the limits above
                are fixed. Default 1200.

        Raises:
            TypeError: max_chars cannot be converted with int(), a keyword,
                entity or id list cannot be sliced, or a state is not a dict.
            ValueError: max_chars is a str that int() rejects.
        """
    @staticmethod
    def _compact_state(state: Mapping[str, Any]) -> dict[str, Any]: ...

@disjoint_base
class ContextCandidate:
    """An earlier turn ranked against the new message.

    Attributes:
        turn_id: The card's turn_id. Required.
        score: Ranking score. Required.
        reasons: Why it scored so ("active card", "recent turn",
            "keyword overlap 0.50", ...), in the order added. Default [].
        card: The ranked card itself (shared, not copied). Default None.
    """

    __match_args__ = ("turn_id", "score", "reasons", "card")
    __hash__: ClassVar[None] = None  # type: ignore[assignment]

    turn_id: int
    score: float
    reasons: list[str]
    card: TurnContextCard | None
    def __init__(self, turn_id: int, score: float, reasons: list[str] = ...,
                 card: TurnContextCard | None = None) -> None: ...
    def to_dict(self) -> dict[str, Any]:
        """turn_id, score rounded to 6 places, and the candidate's own reasons list.

        The keys "turn_id", "score" (round(score, 6)) and "reasons" (the list
        itself, not a copy); the card is left out.

        Raises:
            TypeError: score is not a number round() accepts.
        """

@disjoint_base
class IntentDelta:
    """The change a follow-up message asks for.

    Attributes:
        operation: The winning change (an OperationType value). Default
            "none".
        granularity: Time granularity named ("hour", "day", "week", "month",
            "quarter", "year"). Default None.
        dimension_hint: Grouping phrase ("by region", "category based").
            Default None.
        metric_hint: Metric phrase after an aggregation word, or that word.
            Default None.
        filter_hint: Filter phrase ("only north region"). Default None.
        sort_hint: The whole message when it speaks of sorting. Default None.
        compare_hint: The whole message when it speaks of comparing.
            Default None.
        top_n: The count after "top". Default None.
        bottom_n: The count after "bottom". Default None.
        replace_numeric_value: The first free-standing number, to replace
            the last number of the earlier filter or metric. Default None.
        raw_hints: The hints in the order found. Default [].
    """

    __match_args__ = (
        "operation", "granularity", "dimension_hint", "metric_hint", "filter_hint", "sort_hint",
        "compare_hint", "top_n", "bottom_n", "replace_numeric_value", "raw_hints",
    )
    __hash__: ClassVar[None] = None  # type: ignore[assignment]

    operation: OperationType
    granularity: str | None
    dimension_hint: str | None
    metric_hint: str | None
    filter_hint: str | None
    sort_hint: str | None
    compare_hint: str | None
    top_n: int | None
    bottom_n: int | None
    replace_numeric_value: float | None
    raw_hints: list[str]
    def __init__(self, operation: OperationType = "none", granularity: str | None = None,
                 dimension_hint: str | None = None, metric_hint: str | None = None,
                 filter_hint: str | None = None, sort_hint: str | None = None,
                 compare_hint: str | None = None, top_n: int | None = None, bottom_n: int | None = None,
                 replace_numeric_value: float | None = None, raw_hints: list[str] = ...) -> None: ...

@disjoint_base
class ContextResolution:
    """The result of one resolution. intent_delta defaults to a new IntentDelta().

    Attributes:
        context_type: What the message was taken as (a ContextType value).
            Required.
        current_question: The message, trimmed. Required.
        resolved_question: The self-contained question to answer. Required.
        metadata_search_query: The text for schema selection: at most
            max_metadata_query_terms distinct lower-case words. Required.
        base_turn_id: The earlier turn the answer builds on. Default None.
        use_previous_state: Whether that turn's state is reused.
            Default False.
        intent_delta: The requested change (IntentDelta). Default a new
            IntentDelta().
        required_tables: Tables the answer must keep using (pass as
            SchemaSift.select's required_tables). Default [].
        required_columns: Table name to columns to keep (pass as
            SchemaSift.select's required_columns). Default {}.
        anchor_metadata_ids: Catalog item ids carried over from the base
            turn. Default [].
        allow_related_tables: Whether tables beyond the required ones may be
            added. Default True.
        confidence: Confidence of the decision: 1.0 for an empty message,
            0.95 for fresh questions, 0.9 for suggestions without context, at
            most 0.99 for contextual results from the ranking score, 0.0 for
            clarifications; a callback's value as given. Default 0.0.
        reason: Why the decision was taken (fixed texts). Default "".
        clarification_question: What to ask the user when the route is
            "clarify". Default None.
        candidates: The ranked earlier turns, best first (empty when
            ResolverConfig.include_debug_candidates is off). Default [].
        route: "generate" (answer resolved_question), "clarify" (ask
            clarification_question instead) or "suggest" (offer analyses or
            next questions). Default "generate".
        extra: Diagnostics: the base card's task and artifact for contextual
            results, the callback's "extra" for its results. Default {}.
    """

    __match_args__ = (
        "context_type", "current_question", "resolved_question", "metadata_search_query", "base_turn_id",
        "use_previous_state", "intent_delta", "required_tables", "required_columns", "anchor_metadata_ids",
        "allow_related_tables", "confidence", "reason", "clarification_question", "candidates", "route",
        "extra",
    )
    __hash__: ClassVar[None] = None  # type: ignore[assignment]

    context_type: ContextType
    current_question: str
    resolved_question: str
    metadata_search_query: str
    base_turn_id: int | None
    use_previous_state: bool
    intent_delta: IntentDelta
    required_tables: list[str]
    required_columns: dict[str, list[str]]
    anchor_metadata_ids: list[str]
    allow_related_tables: bool
    confidence: float
    reason: str
    clarification_question: str | None
    candidates: list[ContextCandidate]
    route: _Route
    extra: dict[str, Any]
    def __init__(self, context_type: ContextType, current_question: str, resolved_question: str,
                 metadata_search_query: str, base_turn_id: int | None = None, use_previous_state: bool = False,
                 intent_delta: IntentDelta = ..., required_tables: list[str] = ...,
                 required_columns: dict[str, list[str]] = ..., anchor_metadata_ids: list[str] = ...,
                 allow_related_tables: bool = True, confidence: float = 0.0, reason: str = "",
                 clarification_question: str | None = None, candidates: list[ContextCandidate] = ...,
                 route: _Route = "generate", extra: dict[str, Any] = ...) -> None: ...
    def to_dict(self, include_candidates: bool = True) -> dict[str, Any]:
        """The resolution as a plain nested map; candidates as their to_dict() maps, or left out.

        One key per field in field order. Records inside (intent_delta, and any
        record held by another field) become maps of their fields; lists, tuples
        and maps are copied recursively, other values with copy.deepcopy().

        Args:
            include_candidates: Whether "candidates" is kept, in its field
                position, as the candidates' to_dict() maps; any true value
                counts. When false the key is left out. Default True.

        Raises:
            AttributeError: with include_candidates, a candidate has no to_dict().
            TypeError: with include_candidates, candidates is not iterable; or a
                value copy.deepcopy() cannot copy.
            RecursionError: a field's value contains itself.
        """

@disjoint_base
class ResolverConfig:
    """Settings of one resolver.

    All fields have defaults; ResolverConfig() is the default resolver.

    Attributes:
        max_recent_cards: Most cards considered, newest turn_id first.
            Default 10.
        max_cards_for_llm_fallback: Most card summaries given to the
            language-model callback (None: all). Default 5.
        followup_threshold: Ranking score from which the best card is a
            clear base for a contextual message. Default 0.58.
        clarification_margin: With an ambiguous reference, a lead of the best
            card over the second smaller than this asks the user.
            Default 0.08.
        fresh_question_min_tokens: Content words from which a message can
            read as a complete question. Default 3.
        recency_weight: Ranking weight of recency. Default 0.25.
        keyword_overlap_weight: Ranking weight of word overlap with the
            card. Default 0.35.
        entity_overlap_weight: Ranking weight of overlap with the card's
            entities, keywords and catalog ids. Default 0.2.
        artifact_match_weight: Ranking bonus for a matching artifact
            reference. Default 0.5.
        explicit_reference_weight: Ranking bonus for an explicitly named
            turn. Default 2.0.
        active_card_bonus: Ranking bonus for an active card, for the
            active_turn_id and for the latest active turn, each.
            Default 0.15.
        task_type_match_weight: Ranking bonus when the card's task_type is
            the preferred_task_type. Default 0.1.
        prefer_latest_for_pronoun_followup: Let a back-reference word ("it",
            "this", ...) use a best card below followup_threshold (from 0.2).
            Default True.
        ask_clarification_when_ambiguous: Ask the user when two cards score
            close and the reference is ambiguous. Default True.
        use_llm_fallback: Call TurnLens's llm_fallback at all. Default False.
        llm_fallback_confidence_ceiling: Also offer contextual results with a
            confidence below this to the callback; None never does.
            Default None.
        max_metadata_query_terms: Most words in metadata_search_query.
            Default 40.
        include_previous_required_columns: Carry the base turn's columns into
            required_columns. Default True.
        include_anchor_metadata_ids: Carry the base card's
            selected_metadata_ids into anchor_metadata_ids. Default True.
        include_debug_candidates: Keep the ranked candidates in results.
            Default True.
    """

    __match_args__ = (
        "max_recent_cards", "max_cards_for_llm_fallback", "followup_threshold", "clarification_margin",
        "fresh_question_min_tokens", "recency_weight", "keyword_overlap_weight", "entity_overlap_weight",
        "artifact_match_weight", "explicit_reference_weight", "active_card_bonus", "task_type_match_weight",
        "prefer_latest_for_pronoun_followup", "ask_clarification_when_ambiguous", "use_llm_fallback",
        "llm_fallback_confidence_ceiling", "max_metadata_query_terms", "include_previous_required_columns",
        "include_anchor_metadata_ids", "include_debug_candidates",
    )
    __hash__: ClassVar[None] = None  # type: ignore[assignment]

    max_recent_cards: int
    max_cards_for_llm_fallback: int | None
    followup_threshold: float
    clarification_margin: float
    fresh_question_min_tokens: int
    recency_weight: float
    keyword_overlap_weight: float
    entity_overlap_weight: float
    artifact_match_weight: float
    explicit_reference_weight: float
    active_card_bonus: float
    task_type_match_weight: float
    prefer_latest_for_pronoun_followup: bool
    ask_clarification_when_ambiguous: bool
    use_llm_fallback: bool
    llm_fallback_confidence_ceiling: float | None
    max_metadata_query_terms: int
    include_previous_required_columns: bool
    include_anchor_metadata_ids: bool
    include_debug_candidates: bool
    def __init__(self, max_recent_cards: int = 10, max_cards_for_llm_fallback: int | None = 5,
                 followup_threshold: float = 0.58, clarification_margin: float = 0.08,
                 fresh_question_min_tokens: int = 3, recency_weight: float = 0.25,
                 keyword_overlap_weight: float = 0.35, entity_overlap_weight: float = 0.2,
                 artifact_match_weight: float = 0.5, explicit_reference_weight: float = 2.0,
                 active_card_bonus: float = 0.15, task_type_match_weight: float = 0.1,
                 prefer_latest_for_pronoun_followup: bool = True, ask_clarification_when_ambiguous: bool = True,
                 use_llm_fallback: bool = False, llm_fallback_confidence_ceiling: float | None = None,
                 max_metadata_query_terms: int = 40, include_previous_required_columns: bool = True,
                 include_anchor_metadata_ids: bool = True, include_debug_candidates: bool = True) -> None: ...

@disjoint_base
class TurnLens:
    """Resolves what a new message means given the cards of earlier turns.

    TurnLens(config=None, llm_fallback=None, *, topic_gate=False,
    merge_followups=False): config defaults to ResolverConfig(); llm_fallback
    is an optional ResolverLLMFallback; the two opt-in modes are described
    below. A lens keeps nothing between calls and may serve any number of them.

    resolve works in stages, the underscore methods. Each stage is looked up on the
    lens where it is called, by resolve or from inside another stage: a replacement
    (by a subclass, an instance attribute or a change to the class) is called by
    name, with the arguments TurnLens's own would get, and its answer is used as
    TurnLens's own would be. A stage that is TurnLens's own runs natively, without a
    Python call.

    Opt-in modes, keyword-only and off by default (then every result is the
    rules' own). topic_gate=True: a message that shows no tie to an earlier turn
    (no pronoun leaning on one, no fragment, no "what about", "how about" or
    "instead", no explicit turn number or matching artifact reference, no
    share of its content words on a card) is a "fresh_question", whatever edit
    words it carries; one that does show a tie and would otherwise be fresh or
    unresolved is a "follow_up_latest" on the base the base choice gives.
    merge_followups=True: the resolved question of a follow-up or modification is
    the base card's question with the message's change applied (a value,
    column, comparison or order replaced, a filter added, what "remove" or
    "get rid of" names dropped) instead of the template sentence; short
    follow-ups (a fragment, a pronoun, "what about ...") that would otherwise be
    fresh or unresolved become follow-ups too. The modes act in resolve and in
    TurnLens's own _compose_resolved_question: a replaced
    _compose_resolved_question or _build_contextual_resolution is called as
    before and composes as it likes; the other replaced stages still feed
    the modes their results.

    Language-model fallback. The callback is called only when
    config.use_llm_fallback is true and llm_fallback is set, synchronously on
    the caller's thread (no timeout, retry or cache around it), in three
    cases: a message that looks contextual but has no clear base turn, and a
    message too short or ambiguous to resolve (instead of asking the user);
    and, when config.llm_fallback_confidence_ceiling is set, a follow-up or
    modification whose confidence is below it.

    It gets three arguments: the trimmed message; a list of card summaries
    (TurnContextCard.to_resolver_summary() of the first
    config.max_cards_for_llm_fallback recent cards, newest first); and a dict
    of what the rules found: "explicit_turn_id", "explicit_artifact_ref",
    "suggestion", "followup_signal", "modification_signal",
    "complete_question", "ambiguous_reference", "intent_delta" (a map of
    IntentDelta fields), "best_candidate" and "second_candidate"
    (ContextCandidate.to_dict() or None) and, in the third case,
    "preliminary_resolution" (the rule-based result's to_dict() without
    candidates).

    It returns None or {} to keep the rule-based result, or a dict whose keys
    become the resolution (others are ignored, values are not checked):
    "context_type" (default "clarification_needed"), "resolved_question"
    (default the message), "metadata_search_query" (default the resolved
    question), "base_turn_id", "intent_delta" (a map of IntentDelta fields),
    "required_tables" and "required_columns" (default: the base card's, unless
    the context type is "fresh_question"), "use_previous_state" (default:
    whether base_turn_id is given), "anchor_metadata_ids" (default: the base
    card's), "allow_related_tables" (default True), "confidence" (default
    0.5, not clamped), "reason" (default "LLM fallback resolution."),
    "clarification_question", "route" (default "generate") and "extra".

    When it raises an Exception, or answers with something unusable (not a
    dict, an "intent_delta" key that is not an IntentDelta field, a
    "confidence" that is not a number, ...), the rule-based resolution stands
    and a warning with the error is logged on the logger "askweave".
    KeyboardInterrupt and SystemExit propagate.

    Attributes:
        config: The ResolverConfig in use.
        llm_fallback: The language-model callback, or None.
        topic_gate: Whether the topic gate is on (read-only).
        merge_followups: Whether short follow-ups are merged into the earlier
            question (read-only).

    Raises:
        TypeError: config is not a ResolverConfig or None, or llm_fallback is
            not callable or None.
    """

    config: ResolverConfig
    llm_fallback: ResolverLLMFallback | None
    @property
    def topic_gate(self) -> bool: ...
    @property
    def merge_followups(self) -> bool: ...
    def __init__(self, config: ResolverConfig | None = None,
                 llm_fallback: ResolverLLMFallback | None = None, *, topic_gate: bool = False,
                 merge_followups: bool = False) -> None: ...
    def resolve(self, current_question: str,
                context_cards: Iterable[TurnContextCard | Mapping[str, Any]] | None = None, *,
                active_turn_id: int | None = None, preferred_task_type: str | None = None) -> ContextResolution:
        """Decide what the message is, given the cards of earlier turns, and resolve it.

        Args:
            current_question: The user's new message.
            context_cards: Cards of earlier turns, TurnContextCard records or
                maps with their field names; other items are skipped. Only
                the active cards (all, when none is active) with the newest
                max_recent_cards turn ids count. Default None: no cards.
            active_turn_id: The turn the user is looking at; its card ranks
                higher. Default None.
            preferred_task_type: Cards of this task_type rank higher.
                Default None.

        Returns:
            A new ContextResolution. A blank message gives
            "clarification_needed" with route "clarify"; without cards a
            message is a "fresh_question" (or a "suggestion_request").

        Raises:
            TypeError: current_question is not a str, active_turn_id is not
                an int or None, preferred_task_type is not a str or None, or
                a card map has a key that is not a card field or no
                "turn_id".
        """
    def _finalize_resolution(self, resolution: ContextResolution, cards: list[TurnContextCard],
                             preliminary: dict[str, Any]) -> ContextResolution: ...
    def _normalize_cards(self, cards: Iterable[TurnContextCard | Mapping[str, Any] | Any]) -> list[TurnContextCard]: ...
    def _recent_cards(self, cards: Sequence[TurnContextCard]) -> list[TurnContextCard]: ...
    def _latest_active_turn_id(self, cards: Iterable[TurnContextCard | None]) -> int | None: ...
    def _limit_query_terms(self, text: str) -> str: ...
    def _fresh(self, current_question: str, *, candidates: list[ContextCandidate] | None = None,
               reason: str) -> ContextResolution: ...
    def _clarify(self, current_question: str, candidates: list[ContextCandidate], reason: str,
                 question: str) -> ContextResolution: ...
    # -- detection, ranking and base choice, intent delta extraction
    def _detect_explicit_turn_reference(self, question: str) -> int | None: ...
    def _detect_artifact_reference(self, question: str) -> str | None: ...
    def _artifact_matches(self, ref: str, card: TurnContextCard) -> bool: ...
    def _is_suggestion_request(self, question: str) -> bool: ...
    def _has_followup_signal(self, question: str) -> bool: ...
    def _has_pronoun_followup(self, question: str) -> bool: ...
    def _has_modify_signal(self, question: str, delta: IntentDelta) -> bool: ...
    def _has_ambiguous_reference(self, question: str) -> bool: ...
    def _looks_like_complete_question(self, question: str) -> bool: ...
    def _rank_candidates(self, *, current_question: str, cards: list[TurnContextCard],
                         explicit_turn_id: int | None, explicit_artifact_ref: str | None,
                         active_turn_id: int | None,
                         preferred_task_type: str | None) -> list[ContextCandidate]: ...
    def _choose_base_for_contextual_request(self, best: ContextCandidate | None,
                                            second: ContextCandidate | None, current_question: str,
                                            ambiguous_reference: bool) -> ContextCandidate | None: ...
    def _extract_intent_delta(self, question: str) -> IntentDelta: ...
    def _extract_dimension_hint(self, q: str) -> str | None: ...
    def _extract_filter_hint(self, q: str) -> str | None: ...
    def _extract_metric_hint(self, q: str) -> str | None: ...
    def _clean_hint(self, hint: str) -> str: ...
    def _apply_numeric_override(self, parts: dict[str, str], delta: IntentDelta) -> None: ...
    # -- composition, search query and constraints, language-model fallback
    def _build_contextual_resolution(self, context_type: ContextType, current_question: str,
                                     base_candidate: ContextCandidate, intent_delta: IntentDelta,
                                     candidates: list[ContextCandidate], route: _Route,
                                     reason: str) -> ContextResolution: ...
    def _compose_resolved_question(self, current_question: str, base: TurnContextCard, delta: IntentDelta,
                                   context_type: ContextType,
                                   candidates: list[ContextCandidate] | None = None,
                                   base_candidate: ContextCandidate | None = None) -> str: ...
    def _merge_top_candidate_states(self, base_candidate: ContextCandidate, candidates: list[ContextCandidate],
                                    top_n: int = 3) -> dict[str, Any]: ...
    def _state_to_question_parts(self, base_question: str, state: dict[str, Any]) -> dict[str, str]: ...
    def _filters_to_text(self, filters: Any) -> str: ...
    def _render_question_parts(self, parts: dict[str, str], fallback: str) -> str: ...
    def _build_ambiguity_question(self, candidates: list[ContextCandidate]) -> str: ...
    def _compose_metadata_search_query(self, current_question: str, base: TurnContextCard, delta: IntentDelta,
                                       resolved_question: str) -> str: ...
    def _constraints_from_base(self, base: TurnContextCard,
                               delta: IntentDelta) -> tuple[list[str], dict[str, list[str]]]: ...
    def _try_llm_fallback(self, current_question: str, cards: list[TurnContextCard],
                          preliminary: dict[str, Any]) -> ContextResolution | None: ...
    def _resolution_from_llm_dict(self, current_question: str, data: dict[str, Any],
                                  cards: list[TurnContextCard]) -> ContextResolution: ...

def resolve_context(current_question: str,
                    context_cards: Iterable[TurnContextCard | Mapping[str, Any]] | None = None, *,
                    active_turn_id: int | None = None, preferred_task_type: str | None = None,
                    config: ResolverConfig | None = None,
                    llm_fallback: ResolverLLMFallback | None = None, topic_gate: bool = False,
                    merge_followups: bool = False) -> ContextResolution:
    """One-call context resolution with a fresh TurnLens(config, llm_fallback).

    The same as TurnLens(config, llm_fallback, topic_gate=...,
    merge_followups=...).resolve(current_question, context_cards,
    active_turn_id=..., preferred_task_type=...); see TurnLens.resolve for
    the arguments and errors and TurnLens for the modes and the callback's
    contract. context_cards, active_turn_id, preferred_task_type, config and
    llm_fallback default to None, topic_gate and merge_followups to False.
    """
