"""Plain-Python conversation context resolution.

A straightforward rendering of the turn-context rules with nothing but the
standard library: turn cards and result records, text utilities and the
module vocabulary, card preparation, the signal detectors, candidate ranking,
intent delta extraction, composition of the resolved question and of the
schema search text, the optional language-model fallback, the resolution
driver and the demonstration.  It serves as the oracle for differential tests
of the native ``askweave.turnlens`` module and as the plain-Python baseline in
benchmarks.  It must never import askweave.

Numbers read from a message (turn numbers, top/bottom counts) may have any
number of digits: they are read without the interpreter's limit on integer
text conversion and written back in full decimal.
"""

from __future__ import annotations

import copy
import io
import json
import json.encoder
import math
import numbers
import re
import time
from dataclasses import dataclass, field, fields, is_dataclass
from typing import Any, Callable, Dict, Iterable, List, Literal, Optional, Sequence, Set, Tuple

__all__ = [
    "ContextType",
    "OperationType",
    "TaskType",
    "ArtifactType",
    "STOPWORDS",
    "FOLLOWUP_TERMS",
    "MODIFY_TERMS",
    "SUGGESTION_PHRASES",
    "CLARIFICATION_RISK_PHRASES",
    "GRANULARITY_ALIASES",
    "AGGREGATION_ALIASES",
    "ORDINAL_WORDS",
    "TOP_N_RE",
    "BOTTOM_N_RE",
    "TURN_REF_RE",
    "BACKREF_NUMERIC_RE",
    "ORDINAL_SUFFIX_RE",
    "GENERIC_NUMBER_RE",
    "split_identifier",
    "tokenize",
    "compact_text",
    "estimate_tokens",
    "overlap_score",
    "now_ms",
    "TurnContextCard",
    "ContextCandidate",
    "IntentDelta",
    "ContextResolution",
    "ResolverConfig",
    "ResolverLLMFallback",
    "TurnLens",
    "resolve_context",
    "demo_card",
    "demo",
]

# ---------------------------------------------------------------------------
# Vocabularies
# ---------------------------------------------------------------------------

ContextType = Literal[
    "fresh_question",
    "follow_up_latest",
    "follow_up_specific_turn",
    "modify_previous_query",
    "suggestion_request",
    "clarification_needed",
]

OperationType = Literal[
    "none",
    "add_granularity",
    "replace_granularity",
    "replace_group_by",
    "add_group_by",
    "replace_metric",
    "add_filter",
    "remove_filter",
    "change_sort",
    "set_top_n",
    "set_bottom_n",
    "compare",
    "suggest",
    "replace_numeric_value",
    "unknown_modify",
]

TaskType = Literal[
    "text_to_sql",
    "text_to_config",
    "document_qa",
    "rag",
    "chart_generation",
    "report_generation",
    "general_answer",
    "unknown",
]

ArtifactType = Literal[
    "sql",
    "json_config",
    "text_answer",
    "chart",
    "table",
    "document_summary",
    "retrieval_answer",
    "unknown",
]

# The values of each vocabulary in declaration order (handy for checks).
CONTEXT_TYPES: Tuple[str, ...] = ContextType.__args__  # type: ignore[attr-defined]
OPERATION_TYPES: Tuple[str, ...] = OperationType.__args__  # type: ignore[attr-defined]
TASK_TYPES: Tuple[str, ...] = TaskType.__args__  # type: ignore[attr-defined]
ARTIFACT_TYPES: Tuple[str, ...] = ArtifactType.__args__  # type: ignore[attr-defined]

# ---------------------------------------------------------------------------
# Word sets, phrase lists, alias maps
# ---------------------------------------------------------------------------

STOPWORDS: Set[str] = {
    "a", "an", "the", "and", "or", "of", "for", "to", "by", "in", "on", "at",
    "from", "with", "without", "show", "give", "get", "find", "list", "display",
    "make", "change", "convert", "it", "this", "that", "those", "these", "one",
    "same", "also", "please", "can", "could", "would", "me", "we", "i", "you",
    "based", "wise", "consider", "use", "using", "as", "into", "instead", "rather",
}

FOLLOWUP_TERMS: Set[str] = {
    "it", "this", "that", "same", "previous", "last", "above", "earlier", "before",
    "again", "also", "too", "these", "those", "one", "ones", "result", "chart",
    "table", "query", "answer", "output",
}

MODIFY_TERMS: Set[str] = {
    "make", "change", "convert", "replace", "switch", "instead", "consider", "use",
    "remove", "exclude", "include", "add", "sort", "filter", "group", "compare",
    "show", "split", "break", "drill", "drilldown",
}

SUGGESTION_PHRASES: List[str] = [
    "what else",
    "what more",
    "other insights",
    "suggest",
    "recommend",
    "possible analysis",
    "possible analyses",
    "what can",
    "what all",
    "what are the options",
    "next analysis",
    "more charts",
    "other charts",
    "more questions",
    "what else we get",
    "what else can we get",
]

CLARIFICATION_RISK_PHRASES: List[str] = [
    "that one",
    "this one",
    "the other one",
    "same one",
    "do that",
    "do this",
    "change that",
    "compare that",
    "like that",
    "for that",
    "that side",
    "other side",
]

GRANULARITY_ALIASES: Dict[str, List[str]] = {
    "hour": ["hour", "hourly", "hr"],
    "day": ["day", "daily", "date wise", "date-wise", "day wise", "day-wise"],
    "week": ["week", "weekly", "week wise", "week-wise"],
    "month": ["month", "monthly", "month wise", "month-wise"],
    "quarter": ["quarter", "quarterly", "quarter wise", "quarter-wise"],
    "year": ["year", "yearly", "annual", "year wise", "year-wise"],
}

AGGREGATION_ALIASES: Dict[str, List[str]] = {
    "sum": ["sum", "total", "overall", "aggregate"],
    "count": ["count", "number of", "how many", "total records", "record count"],
    "avg": ["avg", "average", "mean"],
    "min": ["min", "minimum", "least", "lowest"],
    "max": ["max", "maximum", "highest", "largest"],
}

ORDINAL_WORDS: Dict[str, int] = {
    "first": 1,
    "second": 2,
    "third": 3,
    "fourth": 4,
    "fifth": 5,
    "sixth": 6,
    "seventh": 7,
    "eighth": 8,
    "ninth": 9,
    "tenth": 10,
}

# ---------------------------------------------------------------------------
# Patterns
# ---------------------------------------------------------------------------

_WORD_RE = re.compile(r"[a-zA-Z0-9_]+")
_CAMEL_RE = re.compile(r"(?<!^)(?=[A-Z])")
TOP_N_RE = re.compile(r"\btop\s+(\d+)\b", re.IGNORECASE)
BOTTOM_N_RE = re.compile(r"\bbottom\s+(\d+)\b", re.IGNORECASE)
TURN_REF_RE = re.compile(
    r"(?:turn|question|query|answer|result|chart|table|card|widget)\s*#?\s*(\d+)"
    r"|#\s*(\d+)"
    r"|\b(\d+)\s*(?:st|nd|rd|th)?\s+(?:question|query|answer|result|chart|table|card|widget)\b",
    re.IGNORECASE,
)
_DURATION_UNITS_PATTERN = "|".join(GRANULARITY_ALIASES.keys())
BACKREF_NUMERIC_RE = re.compile(
    r"\b(?:last|previous)\s+(?:\d+\s*)?(?:" + _DURATION_UNITS_PATTERN + r")s?\b",
    re.IGNORECASE,
)
ORDINAL_SUFFIX_RE = re.compile(r"\d+\s*(?:st|nd|rd|th)\b", re.IGNORECASE)
GENERIC_NUMBER_RE = re.compile(r"\$?\d+(?:\.\d+)?%?")

# Detector helpers.
_ARTIFACT_WORD_RE = re.compile(r"\b(chart|table|card|widget|result)\s*#?\s*(\w+)\b")
_ARTIFACT_ID_RE = re.compile(r"\b(\w+_\d+)\b")
_ORDINAL_TURN_WORDS = r"\s+(question|query|answer|result|chart|table|card|widget)\b"
_PRONOUN_FOLLOWUP_TERMS = frozenset({"it", "this", "that", "same", "previous", "last", "one"})
_COMPLETE_QUESTION_PREFIXES = ("show ", "list ", "count ", "summarize ", "compare ", "find ")

# Intent delta phrase lists and hint patterns.
_FILTER_TRIGGERS = ["only ", "include ", "where ", "filter "]
_FILTER_REMOVAL_PHRASES = ["remove filter", "without filter", "clear filter", "ignore filter"]
_SORT_PHRASES = ["sort", "highest", "lowest", "ascending", "descending", "desc", "asc"]
_COMPARE_PHRASES = ["compare", "vs", "versus", "difference", "growth", "change from"]

_DIMENSION_PATTERNS = [
    re.compile(r"\bby\s+([a-zA-Z0-9_\- ]{2,60})"),
    re.compile(r"\bgroup\s+by\s+([a-zA-Z0-9_\- ]{2,60})"),
    re.compile(r"\bmake\s+(?:it\s+)?([a-zA-Z0-9_\- ]{2,60})\s+(?:based|wise)"),
    re.compile(r"\b([a-zA-Z0-9_\- ]{2,60})\s+(?:based|wise)\b"),
]
_FILTER_PATTERNS = [
    re.compile(r"\bonly\s+([a-zA-Z0-9_\- =']{2,80})"),
    re.compile(r"\binclude\s+([a-zA-Z0-9_\- =']{2,80})"),
    re.compile(r"\bwhere\s+([a-zA-Z0-9_\- =']{2,80})"),
    re.compile(r"\bfilter\s+(?:by\s+)?([a-zA-Z0-9_\- =']{2,80})"),
]
_METRIC_CAPTURE = r"\s+(?:of\s+)?([a-zA-Z0-9_\- ]{2,50})"


def _ordinal_turn_pattern(word: str) -> str:
    """Pattern text for an ordinal word in front of a turn word ("second chart")."""
    return r"\b" + word + _ORDINAL_TURN_WORDS


def _metric_pattern(alias: str) -> str:
    """Pattern text capturing what follows an aggregation alias ("average of x")."""
    return r"\b" + re.escape(alias) + _METRIC_CAPTURE


_HINT_CUT_RE = re.compile(r"\b(for|with|from|last|previous|current|next|top|bottom|sort|order|limit)\b.*$")
_WHITESPACE_RE = re.compile(r"\s+")
_HINT_STRIP_CHARS = " ?.,"
_REJECTED_HINTS = frozenset({"it", "this", "that", "same", "one"})

# Composition.
_TIME_GRAIN_WORDS = frozenset({"month", "day", "week", "year", "quarter", "hour"})
_MERGE_LIST_KEYS = [
    "active_tables", "tables", "active_columns", "columns", "metrics",
    "dimensions", "date_columns", "group_by", "filters",
]
_MERGE_SCALAR_KEYS = ["granularity", "aggregation", "sort", "limit"]
_SEARCH_STATE_KEYS = [
    "active_tables", "tables", "metrics", "dimensions", "date_columns",
    "active_columns", "group_by", "granularity",
]

_COMPACT_STATE_KEYS = [
    "active_tables", "tables", "metrics", "dimensions", "date_columns",
    "active_columns", "group_by", "filters", "granularity", "aggregation",
    "sort", "limit", "document_type", "document_subtype", "project_name",
    "topics", "source_chunk_ids", "chart_type", "x_axis", "y_axis", "series",
]

_SET_TYPES = (set, frozenset)

# ---------------------------------------------------------------------------
# Whole numbers of any length
# ---------------------------------------------------------------------------

# The interpreter refuses to convert integers of more than 4300 digits to and
# from text.  Numbers read from a message are not bounded, so both directions
# go through these helpers, which split long inputs and never hit the limit.
_CHUNK_DIGITS = 4000
_SMALL_INT_BOUND = 10 ** _CHUNK_DIGITS


def _digits_to_int(digits: str) -> int:
    """Read a run of decimal digits (any Unicode decimal digits) as an int."""
    if len(digits) <= _CHUNK_DIGITS:
        return int(digits)
    half = len(digits) // 2
    low_len = len(digits) - half
    return _digits_to_int(digits[:half]) * 10 ** low_len + _digits_to_int(digits[half:])


def _nonneg_int_text(value: int) -> str:
    if value < _SMALL_INT_BOUND:
        return int.__repr__(value)
    low_len = int(value.bit_length() * 0.30102999566398) // 2
    high, low = divmod(value, 10 ** low_len)
    return _nonneg_int_text(high) + _nonneg_int_text(low).zfill(low_len)


def _int_text(value: int) -> str:
    """Full decimal form of an int, whatever its length."""
    if value < 0:
        return "-" + _nonneg_int_text(-value)
    return _nonneg_int_text(value)


def _plain_text(value: Any) -> str:
    """The plain text form of a value: str(), with ints of any length."""
    if type(value) is int:
        return _int_text(value)
    return str(value)


# ---------------------------------------------------------------------------
# JSON writing
# ---------------------------------------------------------------------------


def _json_int(value: int) -> str:
    # what int.__repr__ writes, without the length limit
    return _int_text(int.__index__(value))


def _json_text(value: Any, *, indent: Optional[int] = None, ensure_ascii: bool = False) -> str:
    """json.dumps(value, ensure_ascii=..., indent=..., default=str) that also
    writes ints longer than 4300 digits in full decimal."""
    encoder = json.JSONEncoder(ensure_ascii=ensure_ascii, indent=indent, default=_plain_text)

    def floatstr(o: float, _repr=float.__repr__, _inf=math.inf, _neginf=-math.inf) -> str:
        if o != o:
            return "NaN"
        if o == _inf:
            return "Infinity"
        if o == _neginf:
            return "-Infinity"
        return _repr(o)

    if indent is not None and not isinstance(indent, str):
        indent = " " * indent
    string_encoder = json.encoder.encode_basestring_ascii if ensure_ascii else json.encoder.encode_basestring
    iterencode = json.encoder._make_iterencode(  # type: ignore[attr-defined]
        {},
        encoder.default,
        string_encoder,
        indent,
        floatstr,
        encoder.key_separator,
        encoder.item_separator,
        False,
        False,
        True,
        _intstr=_json_int,
    )
    return "".join(iterencode(value, 0))


# ---------------------------------------------------------------------------
# Text utilities
# ---------------------------------------------------------------------------


def split_identifier(value: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"value must be str, not {type(value).__name__}")
    value = value.replace("_", " ").replace("-", " ").replace(".", " ")
    value = _CAMEL_RE.sub(" ", value)
    return value.lower()


def tokenize(text: Any, stopwords: Optional[Set[str]] = None) -> List[str]:
    if stopwords is not None and not isinstance(stopwords, _SET_TYPES):
        raise TypeError(f"stopwords must be a set or None, not {type(stopwords).__name__}")
    if text is None:
        return []
    stop = STOPWORDS if stopwords is None else stopwords
    tokens = []
    for match in _WORD_RE.findall(split_identifier(_plain_text(text))):
        token = match.lower()
        if token not in stop:
            tokens.append(token)
    return tokens


def compact_text(value: Any, max_chars: int = 500) -> str:
    if not isinstance(max_chars, int):
        raise TypeError(f"max_chars must be int, not {type(max_chars).__name__}")
    if value is None:
        return ""
    if isinstance(value, str):
        text = value
    else:
        text = _json_text(value)
    text = _WHITESPACE_RE.sub(" ", text).strip()
    if len(text) > max_chars:
        return text[: max(0, max_chars - 3)].rstrip() + "..."
    return text


def estimate_tokens(text: str, chars_per_token: float = 4.0) -> int:
    if not isinstance(text, str):
        raise TypeError(f"text must be str, not {type(text).__name__}")
    if not isinstance(chars_per_token, numbers.Real):
        raise TypeError("chars_per_token must be a real number")
    if not text:
        return 0
    return max(1, int(math.ceil(len(text) / chars_per_token)))


def overlap_score(a: Iterable[str], b: Iterable[str]) -> float:
    set_a = set(a)
    set_b = set(b)
    if not set_a or not set_b:
        return 0.0
    return len(set_a & set_b) / max(1, min(len(set_a), len(set_b)))


def now_ms() -> int:
    return int(time.time() * 1000)


def _require_text(value: Any, name: str) -> None:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be str, not {type(value).__name__}")


def _keep_first(items: Sequence[Any], limit: Optional[int]) -> List[Any]:
    """The first ``limit`` items; no limit keeps all, a negative one none."""
    if limit is None:
        return list(items)
    if limit < 0:
        return []
    return list(items[:limit])


def _as_entries(value: Any) -> List[Any]:
    """Entries of a stored state value: a list as is, nothing for an empty
    value, any other value as a single entry."""
    if not value:
        return []
    if isinstance(value, list):
        return value
    return [value]


def _deep_convert(obj: Any) -> Any:
    # Same conversion as dataclasses.asdict, applied to any value.
    if is_dataclass(obj) and not isinstance(obj, type):
        return {f.name: _deep_convert(getattr(obj, f.name)) for f in fields(obj)}
    if isinstance(obj, tuple) and hasattr(obj, "_fields"):
        return type(obj)(*[_deep_convert(v) for v in obj])
    if isinstance(obj, (list, tuple)):
        return type(obj)(_deep_convert(v) for v in obj)
    if isinstance(obj, dict):
        return type(obj)((_deep_convert(k), _deep_convert(v)) for k, v in obj.items())
    return copy.deepcopy(obj)


# ---------------------------------------------------------------------------
# Records
# ---------------------------------------------------------------------------


@dataclass
class TurnContextCard:
    turn_id: int
    session_id: str = ""
    tenant_id: str = ""
    user_question: str = ""
    resolved_question: str = ""
    assistant_answer_summary: str = ""
    task_type: str = "unknown"
    artifact_type: str = "unknown"
    artifact_id: Optional[str] = None
    artifact_label: Optional[str] = None
    topic_keywords: List[str] = field(default_factory=list)
    entities: List[str] = field(default_factory=list)
    selected_metadata_ids: List[str] = field(default_factory=list)
    query_state: Dict[str, Any] = field(default_factory=dict)
    retrieval_state: Dict[str, Any] = field(default_factory=dict)
    output_state: Dict[str, Any] = field(default_factory=dict)
    sql: Optional[str] = None
    config: Optional[Dict[str, Any]] = None
    answer_excerpt: Optional[str] = None
    created_at_ms: int = field(default_factory=now_ms)
    quality_score: float = 1.0
    is_active: bool = True
    extra: Dict[str, Any] = field(default_factory=dict)

    def searchable_text(self) -> str:
        parts = [
            self.user_question,
            self.resolved_question,
            self.assistant_answer_summary,
            self.task_type,
            self.artifact_type,
            self.artifact_id or "",
            self.artifact_label or "",
            " ".join(self.topic_keywords),
            " ".join(self.entities),
            " ".join(self.selected_metadata_ids),
            compact_text(self.query_state, 1000) if self.query_state else "",
            compact_text(self.retrieval_state, 1000) if self.retrieval_state else "",
            compact_text(self.output_state, 1000) if self.output_state else "",
        ]
        return " ".join(_plain_text(part) for part in parts if part)

    def tokens(self) -> List[str]:
        return tokenize(self.searchable_text())

    def active_tables(self) -> List[str]:
        state = self.query_state or {}
        return list(state.get("active_tables") or state.get("tables") or [])

    def active_columns(self) -> List[str]:
        state = self.query_state or {}
        return list(state.get("active_columns") or state.get("columns") or [])

    def required_columns_by_table(self) -> Dict[str, List[str]]:
        state = self.query_state or {}
        value = state.get("required_columns") or state.get("columns_by_table")
        if isinstance(value, dict):
            return {_plain_text(table): list(cols) if cols else [] for table, cols in value.items()}
        tables = self.active_tables()
        columns = self.active_columns()
        if len(tables) == 1 and columns:
            return {tables[0]: columns}
        return {}

    def to_resolver_summary(self, max_chars: int = 1200) -> Dict[str, Any]:
        int(max_chars)  # accepted for compatibility; the summary has fixed limits
        return {
            "turn_id": self.turn_id,
            "task_type": self.task_type,
            "artifact_type": self.artifact_type,
            "artifact_id": self.artifact_id,
            "user_question": compact_text(self.user_question, 180),
            "resolved_question": compact_text(self.resolved_question, 220),
            "assistant_answer_summary": compact_text(self.assistant_answer_summary, 220),
            "topic_keywords": list(self.topic_keywords[:20]),
            "entities": list(self.entities[:20]),
            "selected_metadata_ids": list(self.selected_metadata_ids[:30]),
            "query_state": self._compact_state(self.query_state),
            "retrieval_state": self._compact_state(self.retrieval_state),
            "output_state": self._compact_state(self.output_state),
        }

    @staticmethod
    def _compact_state(state: Dict[str, Any]) -> Dict[str, Any]:
        if not isinstance(state, dict):
            raise TypeError(f"state must be a dict, not {type(state).__name__}")
        return {key: state[key] for key in _COMPACT_STATE_KEYS if key in state}


@dataclass
class ContextCandidate:
    turn_id: int
    score: float
    reasons: List[str] = field(default_factory=list)
    card: Optional[TurnContextCard] = None

    def to_dict(self) -> Dict[str, Any]:
        return {"turn_id": self.turn_id, "score": round(self.score, 6), "reasons": self.reasons}


@dataclass
class IntentDelta:
    operation: str = "none"
    granularity: Optional[str] = None
    dimension_hint: Optional[str] = None
    metric_hint: Optional[str] = None
    filter_hint: Optional[str] = None
    sort_hint: Optional[str] = None
    compare_hint: Optional[str] = None
    top_n: Optional[int] = None
    bottom_n: Optional[int] = None
    replace_numeric_value: Optional[float] = None
    raw_hints: List[str] = field(default_factory=list)


@dataclass
class ContextResolution:
    context_type: str
    current_question: str
    resolved_question: str
    metadata_search_query: str
    base_turn_id: Optional[int] = None
    use_previous_state: bool = False
    intent_delta: IntentDelta = field(default_factory=IntentDelta)
    required_tables: List[str] = field(default_factory=list)
    required_columns: Dict[str, List[str]] = field(default_factory=dict)
    anchor_metadata_ids: List[str] = field(default_factory=list)
    allow_related_tables: bool = True
    confidence: float = 0.0
    reason: str = ""
    clarification_question: Optional[str] = None
    candidates: List[ContextCandidate] = field(default_factory=list)
    route: str = "generate"
    extra: Dict[str, Any] = field(default_factory=dict)

    def to_dict(self, include_candidates: bool = True) -> Dict[str, Any]:
        data: Dict[str, Any] = {}
        for f in fields(self):
            if f.name == "candidates":
                if include_candidates:
                    data["candidates"] = [candidate.to_dict() for candidate in self.candidates]
                continue
            data[f.name] = _deep_convert(getattr(self, f.name))
        return data


# ---------------------------------------------------------------------------
# Settings
# ---------------------------------------------------------------------------


@dataclass
class ResolverConfig:
    max_recent_cards: int = 10
    max_cards_for_llm_fallback: int = 5
    followup_threshold: float = 0.58
    clarification_margin: float = 0.08
    fresh_question_min_tokens: int = 3
    recency_weight: float = 0.25
    keyword_overlap_weight: float = 0.35
    entity_overlap_weight: float = 0.2
    artifact_match_weight: float = 0.5
    explicit_reference_weight: float = 2.0
    active_card_bonus: float = 0.15
    task_type_match_weight: float = 0.1
    prefer_latest_for_pronoun_followup: bool = True
    ask_clarification_when_ambiguous: bool = True
    use_llm_fallback: bool = False
    llm_fallback_confidence_ceiling: Optional[float] = None
    max_metadata_query_terms: int = 40
    include_previous_required_columns: bool = True
    include_anchor_metadata_ids: bool = True
    include_debug_candidates: bool = True


ResolverLLMFallback = Callable[[str, List[Dict[str, Any]], Dict[str, Any]], Optional[Dict[str, Any]]]


# ---------------------------------------------------------------------------
# Resolver
# ---------------------------------------------------------------------------


class TurnLens:
    def __init__(
        self,
        config: Optional[ResolverConfig] = None,
        llm_fallback: Optional[ResolverLLMFallback] = None,
    ) -> None:
        if config is not None and not isinstance(config, ResolverConfig):
            raise TypeError(f"config must be a ResolverConfig or None, not {type(config).__name__}")
        if llm_fallback is not None and not callable(llm_fallback):
            raise TypeError("llm_fallback must be callable or None")
        self.config = config if config is not None else ResolverConfig()
        self.llm_fallback = llm_fallback

    # -- driver ------------------------------------------------------------

    def resolve(
        self,
        current_question: str,
        context_cards: Optional[Sequence[Any]] = None,
        *,
        active_turn_id: Optional[int] = None,
        preferred_task_type: Optional[str] = None,
    ) -> ContextResolution:
        _require_text(current_question, "current_question")
        if active_turn_id is not None and not isinstance(active_turn_id, int):
            raise TypeError(f"active_turn_id must be int or None, not {type(active_turn_id).__name__}")
        if preferred_task_type is not None and not isinstance(preferred_task_type, str):
            raise TypeError(f"preferred_task_type must be str or None, not {type(preferred_task_type).__name__}")

        if not current_question.strip():
            return ContextResolution(
                context_type="clarification_needed",
                current_question=current_question,
                resolved_question="",
                metadata_search_query="",
                confidence=1.0,
                reason="Empty question.",
                clarification_question="Please enter a question or instruction.",
                route="clarify",
            )

        cards = self._recent_cards(self._normalize_cards(context_cards or []))
        question = current_question.strip()

        if not cards:
            if self._is_suggestion_request(question):
                return ContextResolution(
                    context_type="suggestion_request",
                    current_question=question,
                    resolved_question="Suggest possible analyses or next useful questions for: " + question,
                    metadata_search_query=self._limit_query_terms(question),
                    confidence=0.9,
                    reason="User asked for suggestions with no prior context to anchor on.",
                    route="suggest",
                )
            return self._fresh(question, reason="No previous context cards available.")

        explicit_turn_id = self._detect_explicit_turn_reference(question)
        explicit_artifact_ref = self._detect_artifact_reference(question)
        intent_delta = self._extract_intent_delta(question)
        suggestion = self._is_suggestion_request(question)
        followup = self._has_followup_signal(question)
        modification = self._has_modify_signal(question, intent_delta)
        complete = self._looks_like_complete_question(question)
        ambiguous = self._has_ambiguous_reference(question)

        candidates = self._rank_candidates(
            current_question=question,
            cards=cards,
            explicit_turn_id=explicit_turn_id,
            explicit_artifact_ref=explicit_artifact_ref,
            active_turn_id=active_turn_id,
            preferred_task_type=preferred_task_type,
        )
        best = candidates[0] if candidates else None
        second = candidates[1] if len(candidates) > 1 else None

        preliminary: Dict[str, Any] = {
            "explicit_turn_id": explicit_turn_id,
            "explicit_artifact_ref": explicit_artifact_ref,
            "suggestion": suggestion,
            "followup_signal": followup,
            "modification_signal": modification,
            "complete_question": complete,
            "ambiguous_reference": ambiguous,
            "intent_delta": _deep_convert(intent_delta),
            "best_candidate": best.to_dict() if best is not None else None,
            "second_candidate": second.to_dict() if second is not None else None,
        }

        if suggestion:
            base = self._choose_base_for_contextual_request(best, second, question, ambiguous)
            if base is None:
                return self._clarify(
                    question,
                    candidates,
                    "Suggestion request was detected, but no clear base context was found.",
                    "Should I suggest from the latest result, or do you want suggestions for a new topic?",
                )
            return self._build_contextual_resolution(
                context_type="suggestion_request",
                current_question=question,
                base_candidate=base,
                intent_delta=IntentDelta(operation="suggest"),
                candidates=candidates,
                route="suggest",
                reason="User asked for suggestions or other possible insights.",
            )

        if explicit_turn_id is not None or explicit_artifact_ref is not None:
            if best is None or best.score < 1.0:
                return self._clarify(
                    question,
                    candidates,
                    "Explicit reference was detected but no matching turn/artifact was found.",
                    "I could not find the referenced previous result. Which result should I use?",
                )
            resolution = self._build_contextual_resolution(
                context_type="modify_previous_query" if modification else "follow_up_specific_turn",
                current_question=question,
                base_candidate=best,
                intent_delta=intent_delta,
                candidates=candidates,
                route="generate",
                reason="User referenced a specific previous turn or artifact.",
            )
            return self._finalize_resolution(resolution, cards, preliminary)

        if followup or modification:
            base = self._choose_base_for_contextual_request(best, second, question, ambiguous)
            if base is None:
                fallback = self._try_llm_fallback(question, cards, preliminary)
                if fallback is not None:
                    return fallback
                return self._clarify(
                    question,
                    candidates,
                    "The question looks contextual, but the base turn is ambiguous.",
                    self._build_ambiguity_question(candidates),
                )
            resolution = self._build_contextual_resolution(
                context_type="modify_previous_query" if modification else "follow_up_latest",
                current_question=question,
                base_candidate=base,
                intent_delta=intent_delta,
                candidates=candidates,
                route="generate",
                reason="User message appears to modify or continue a previous result.",
            )
            return self._finalize_resolution(resolution, cards, preliminary)

        if complete:
            return self._fresh(question, candidates=candidates, reason="Question appears complete and independent.")

        fallback = self._try_llm_fallback(question, cards, preliminary)
        if fallback is not None:
            return fallback
        return self._clarify(
            question,
            candidates,
            "Question is too short or ambiguous to resolve confidently.",
            self._build_ambiguity_question(candidates),
        )

    def _finalize_resolution(
        self,
        resolution: ContextResolution,
        cards: List[TurnContextCard],
        preliminary: Dict[str, Any],
    ) -> ContextResolution:
        ceiling = self.config.llm_fallback_confidence_ceiling
        if ceiling is None:
            return resolution
        if resolution.confidence >= ceiling:
            return resolution
        if not self.config.use_llm_fallback or self.llm_fallback is None:
            return resolution
        payload = dict(preliminary)
        payload["preliminary_resolution"] = resolution.to_dict(include_candidates=False)
        fallback = self._try_llm_fallback(resolution.current_question, cards, payload)
        return fallback if fallback is not None else resolution

    # -- card preparation ---------------------------------------------------

    def _normalize_cards(self, cards: Iterable[Any]) -> List[TurnContextCard]:
        normalized: List[TurnContextCard] = []
        for item in cards:
            if isinstance(item, TurnContextCard):
                normalized.append(item)
            elif isinstance(item, dict):
                normalized.append(TurnContextCard(**item))
        return normalized

    def _recent_cards(self, cards: List[TurnContextCard]) -> List[TurnContextCard]:
        pool = [card for card in cards if card.is_active]
        if not pool:
            pool = list(cards)
        pool = sorted(pool, key=lambda card: card.turn_id, reverse=True)
        return _keep_first(pool, self.config.max_recent_cards)

    def _latest_active_turn_id(self, cards: Iterable[Optional[TurnContextCard]]) -> Optional[int]:
        turn_ids = [card.turn_id for card in cards if card is not None and card.is_active]
        return max(turn_ids) if turn_ids else None

    # -- plain outcomes -----------------------------------------------------

    def _fresh(
        self,
        current_question: str,
        *,
        candidates: Optional[List[ContextCandidate]] = None,
        reason: str,
    ) -> ContextResolution:
        return ContextResolution(
            context_type="fresh_question",
            current_question=current_question,
            resolved_question=current_question,
            metadata_search_query=self._limit_query_terms(current_question),
            base_turn_id=None,
            use_previous_state=False,
            confidence=0.95,
            reason=reason,
            candidates=candidates or [],
            route="generate",
        )

    def _clarify(
        self,
        current_question: str,
        candidates: List[ContextCandidate],
        reason: str,
        question: str,
    ) -> ContextResolution:
        return ContextResolution(
            context_type="clarification_needed",
            current_question=current_question,
            resolved_question=current_question,
            metadata_search_query=self._limit_query_terms(current_question),
            confidence=0.0,
            reason=reason,
            clarification_question=question,
            candidates=candidates if self.config.include_debug_candidates else [],
            route="clarify",
        )

    # -- detectors ----------------------------------------------------------

    def _detect_explicit_turn_reference(self, question: str) -> Optional[int]:
        _require_text(question, "question")
        q = question.lower()
        match = TURN_REF_RE.search(q)
        if match:
            for group in match.groups():
                if group and group.isdigit():
                    return _digits_to_int(group)
        for word, number in ORDINAL_WORDS.items():
            if re.search(_ordinal_turn_pattern(word), q):
                return number
        return None

    def _detect_artifact_reference(self, question: str) -> Optional[str]:
        _require_text(question, "question")
        q = question.lower()
        match = _ARTIFACT_WORD_RE.search(q)
        if match:
            return f"{match.group(1)}_{match.group(2)}"
        match = _ARTIFACT_ID_RE.search(q)
        if match:
            return match.group(1)
        return None

    def _artifact_matches(self, ref: str, card: TurnContextCard) -> bool:
        _require_text(ref, "ref")
        wanted = ref.lower().replace("#", "")
        identities = [
            card.artifact_id,
            card.artifact_label,
            f"{_plain_text(card.artifact_type)}_{_plain_text(card.turn_id)}",
            f"turn_{_plain_text(card.turn_id)}",
        ]
        for identity in identities:
            if identity and _plain_text(identity).lower().replace("#", "") == wanted:
                return True
        return False

    def _is_suggestion_request(self, question: str) -> bool:
        _require_text(question, "question")
        q = question.lower()
        return any(phrase in q for phrase in SUGGESTION_PHRASES)

    def _has_followup_signal(self, question: str) -> bool:
        _require_text(question, "question")
        if set(tokenize(question, set())) & FOLLOWUP_TERMS:
            return True
        q = question.lower()
        return any(phrase in q for phrase in CLARIFICATION_RISK_PHRASES)

    def _has_pronoun_followup(self, question: str) -> bool:
        _require_text(question, "question")
        kept = set(tokenize(question, set())) & _PRONOUN_FOLLOWUP_TERMS
        if ("last" in kept or "previous" in kept) and BACKREF_NUMERIC_RE.search(question.lower()):
            kept -= {"last", "previous"}
        return bool(kept)

    def _has_modify_signal(self, question: str, delta: IntentDelta) -> bool:
        if set(tokenize(question, set())) & MODIFY_TERMS:
            return True
        return delta.operation != "none"

    def _has_ambiguous_reference(self, question: str) -> bool:
        _require_text(question, "question")
        q = question.lower()
        if any(phrase in q for phrase in CLARIFICATION_RISK_PHRASES):
            return True
        return self._has_pronoun_followup(question)

    def _looks_like_complete_question(self, question: str) -> bool:
        _require_text(question, "question")
        content_tokens = tokenize(question)
        if len(content_tokens) >= self.config.fresh_question_min_tokens and not self._has_pronoun_followup(question):
            return True
        return question.lower().startswith(_COMPLETE_QUESTION_PREFIXES)

    # -- ranking ------------------------------------------------------------

    def _rank_candidates(
        self,
        *,
        current_question: str,
        cards: List[TurnContextCard],
        explicit_turn_id: Optional[int],
        explicit_artifact_ref: Optional[str],
        active_turn_id: Optional[int],
        preferred_task_type: Optional[str],
    ) -> List[ContextCandidate]:
        cfg = self.config
        question_tokens = tokenize(current_question)
        question_set = set(question_tokens)
        latest_active = self._latest_active_turn_id(cards)

        ordered = sorted(cards, key=lambda card: card.turn_id, reverse=True)
        max_rank = max(len(ordered) - 1, 1)
        # Cards sharing a turn id all get the position of the last of them.
        rank_by_turn = {card.turn_id: position for position, card in enumerate(ordered)}

        candidates: List[ContextCandidate] = []
        for card in ordered:
            score = 0.0
            reasons: List[str] = []

            if explicit_turn_id is not None and explicit_turn_id == card.turn_id:
                score += cfg.explicit_reference_weight
                reasons.append(f"explicit turn reference: {_plain_text(explicit_turn_id)}")

            if explicit_artifact_ref is not None and self._artifact_matches(explicit_artifact_ref, card):
                score += cfg.artifact_match_weight
                reasons.append(f"artifact reference match: {explicit_artifact_ref}")

            if card.is_active:
                score += cfg.active_card_bonus
                reasons.append("active card")

            if active_turn_id is not None and active_turn_id == card.turn_id:
                score += cfg.active_card_bonus
                reasons.append("active turn id match")

            if latest_active is not None and latest_active == card.turn_id:
                score += cfg.active_card_bonus
                reasons.append("latest active turn")

            recency = 1.0 - rank_by_turn[card.turn_id] / (max_rank + 1)
            score += recency * cfg.recency_weight
            if recency > 0.5:
                reasons.append("recent turn")

            keyword_overlap = overlap_score(question_tokens, card.tokens())
            if keyword_overlap:
                score += keyword_overlap * cfg.keyword_overlap_weight
                reasons.append(f"keyword overlap {keyword_overlap:.2f}")

            for name in ("entities", "topic_keywords", "selected_metadata_ids"):
                if not isinstance(getattr(card, name), list):
                    raise TypeError(f"card.{name} must be a list, not {type(getattr(card, name)).__name__}")
            entity_text = " ".join(card.entities + card.topic_keywords + card.selected_metadata_ids)
            entity_overlap = overlap_score(question_set, set(tokenize(entity_text)))
            if entity_overlap:
                score += entity_overlap * cfg.entity_overlap_weight
                reasons.append(f"entity/metadata overlap {entity_overlap:.2f}")

            if preferred_task_type and preferred_task_type == card.task_type:
                score += cfg.task_type_match_weight
                reasons.append(f"task type match: {preferred_task_type}")

            quality = max(0.0, min(1.0, card.quality_score))
            score *= quality

            candidates.append(ContextCandidate(turn_id=card.turn_id, score=score, reasons=reasons, card=card))

        return sorted(candidates, key=lambda candidate: candidate.score, reverse=True)

    def _choose_base_for_contextual_request(
        self,
        best: Optional[ContextCandidate],
        second: Optional[ContextCandidate],
        current_question: str,
        ambiguous_reference: bool,
    ) -> Optional[ContextCandidate]:
        cfg = self.config
        if best is None:
            return None
        if best.score >= cfg.followup_threshold:
            if (
                cfg.ask_clarification_when_ambiguous
                and second is not None
                and best.score - second.score < cfg.clarification_margin
                and ambiguous_reference
            ):
                return None
            return best
        if (
            cfg.prefer_latest_for_pronoun_followup
            and self._has_pronoun_followup(current_question)
            and best.score >= 0.2
        ):
            return best
        return None

    # -- intent delta -------------------------------------------------------

    def _extract_intent_delta(self, question: str) -> IntentDelta:
        _require_text(question, "question")
        q = question.lower().strip()
        delta = IntentDelta()

        for key, aliases in GRANULARITY_ALIASES.items():
            if any(alias in q for alias in aliases):
                delta.operation = "add_granularity"
                delta.granularity = key
                delta.raw_hints.append(key)
                break

        top = TOP_N_RE.search(q)
        bottom = BOTTOM_N_RE.search(q)
        if top:
            delta.operation = "set_top_n"
            delta.top_n = _digits_to_int(top.group(1))
            delta.raw_hints.append(f"top {_int_text(delta.top_n)}")
        if bottom:
            delta.operation = "set_bottom_n"
            delta.bottom_n = _digits_to_int(bottom.group(1))
            delta.raw_hints.append(f"bottom {_int_text(delta.bottom_n)}")

        dimension = self._extract_dimension_hint(q)
        if dimension:
            if delta.operation == "none":
                delta.operation = "replace_group_by"
            delta.dimension_hint = dimension
            delta.raw_hints.append(dimension)

        metric = self._extract_metric_hint(q)
        if metric:
            if delta.operation == "none":
                delta.operation = "replace_metric"
            delta.metric_hint = metric
            delta.raw_hints.append(metric)

        if any(trigger in q for trigger in _FILTER_TRIGGERS):
            filter_hint = self._extract_filter_hint(q)
            if filter_hint:
                if delta.operation == "none":
                    delta.operation = "add_filter"
                delta.filter_hint = filter_hint
                delta.raw_hints.append(filter_hint)

        if any(phrase in q for phrase in _FILTER_REMOVAL_PHRASES):
            delta.operation = "remove_filter"

        if any(phrase in q for phrase in _SORT_PHRASES):
            if delta.operation == "none":
                delta.operation = "change_sort"
            delta.sort_hint = q

        if any(phrase in q for phrase in _COMPARE_PHRASES):
            if delta.operation == "none":
                delta.operation = "compare"
            delta.compare_hint = q

        # Numbers that are counts, turn references, time windows or ordinals
        # are not values to substitute.
        values_only = q
        for pattern in (TOP_N_RE, BOTTOM_N_RE, TURN_REF_RE, BACKREF_NUMERIC_RE, ORDINAL_SUFFIX_RE):
            values_only = pattern.sub(" ", values_only)
        numbers = GENERIC_NUMBER_RE.findall(values_only)
        if numbers:
            raw = numbers[0]
            try:
                value = float(raw.replace("$", "").replace("%", ""))
            except ValueError:
                return delta
            delta.replace_numeric_value = value
            delta.raw_hints.append(f"numeric_override:{raw}")
            if delta.operation == "none":
                delta.operation = "replace_numeric_value"

        return delta

    def _extract_dimension_hint(self, q: str) -> Optional[str]:
        _require_text(q, "q")
        for pattern in _DIMENSION_PATTERNS:
            match = pattern.search(q)
            if match:
                hint = self._clean_hint(match.group(1))
                if hint:
                    return hint
        return None

    def _extract_filter_hint(self, q: str) -> Optional[str]:
        _require_text(q, "q")
        for pattern in _FILTER_PATTERNS:
            match = pattern.search(q)
            if match:
                hint = self._clean_hint(match.group(1))
                if hint:
                    return hint
        return None

    def _extract_metric_hint(self, q: str) -> Optional[str]:
        _require_text(q, "q")
        for aliases in AGGREGATION_ALIASES.values():
            for alias in aliases:
                if alias in q:
                    match = re.search(_metric_pattern(alias), q)
                    if match:
                        hint = self._clean_hint(match.group(1))
                        if hint:
                            return hint
                    return alias
        return None

    def _clean_hint(self, hint: str) -> str:
        _require_text(hint, "hint")
        text = _HINT_CUT_RE.sub("", hint, count=1)
        text = _WHITESPACE_RE.sub(" ", text)
        text = text.strip(_HINT_STRIP_CHARS)
        if len(text) < 2 or text in _REJECTED_HINTS:
            return ""
        return text

    def _apply_numeric_override(self, parts: Dict[str, str], delta: IntentDelta) -> None:
        if not isinstance(parts, dict):
            raise TypeError(f"parts must be a dict, not {type(parts).__name__}")
        value = delta.replace_numeric_value
        if value is None:
            return
        rendered = _render_number(value)
        for key in ("filter", "metric"):
            text = parts.get(key)
            if not text:
                continue
            matches = list(GENERIC_NUMBER_RE.finditer(text))
            if not matches:
                continue
            last = matches[-1]
            raw = last.group(0)
            dollar = "$" if raw.startswith("$") else ""
            percent = "%" if raw.endswith("%") else ""
            parts[key] = text[: last.start()] + dollar + rendered + percent + text[last.end():]
            return

    # -- composition --------------------------------------------------------

    def _build_contextual_resolution(
        self,
        context_type: str,
        current_question: str,
        base_candidate: ContextCandidate,
        intent_delta: IntentDelta,
        candidates: List[ContextCandidate],
        route: str,
        reason: str,
    ) -> ContextResolution:
        _require_text(current_question, "current_question")
        if not isinstance(candidates, list):
            raise TypeError(f"candidates must be a list, not {type(candidates).__name__}")
        card = base_candidate.card
        if card is None:
            return self._clarify(
                current_question,
                candidates,
                "Internal error: selected candidate had no context card.",
                "Please rephrase your question.",
            )

        resolved_question = self._compose_resolved_question(
            current_question,
            card,
            intent_delta,
            context_type,
            candidates=candidates,
            base_candidate=base_candidate,
        )
        metadata_search_query = self._compose_metadata_search_query(current_question, card, intent_delta, resolved_question)
        required_tables, required_columns = self._constraints_from_base(card, intent_delta)
        anchors = list(card.selected_metadata_ids) if self.config.include_anchor_metadata_ids else []

        confidence = max(0.0, min(0.99, base_candidate.score))
        if context_type == "follow_up_latest":
            latest = self._latest_active_turn_id([c.card for c in candidates if c.card is not None])
            if card.turn_id == latest:
                confidence = min(confidence + 0.05, 0.99)

        return ContextResolution(
            context_type=context_type,
            current_question=current_question,
            resolved_question=resolved_question,
            metadata_search_query=metadata_search_query,
            base_turn_id=card.turn_id,
            use_previous_state=True,
            intent_delta=intent_delta,
            required_tables=required_tables,
            required_columns=required_columns,
            anchor_metadata_ids=anchors,
            allow_related_tables=True,
            confidence=confidence,
            reason=reason,
            candidates=candidates if self.config.include_debug_candidates else [],
            route=route,
            extra={
                "base_task_type": card.task_type,
                "base_artifact_type": card.artifact_type,
                "base_artifact_id": card.artifact_id,
            },
        )

    def _compose_resolved_question(
        self,
        current_question: str,
        base: TurnContextCard,
        delta: IntentDelta,
        context_type: str,
        candidates: Optional[List[ContextCandidate]] = None,
        base_candidate: Optional[ContextCandidate] = None,
    ) -> str:
        _require_text(current_question, "current_question")
        if candidates is not None and not isinstance(candidates, list):
            raise TypeError(f"candidates must be a list or None, not {type(candidates).__name__}")
        base_question = base.resolved_question or base.user_question or "the previous request"

        if context_type == "suggestion_request":
            return f"Suggest related analyses or next useful questions based on: {_plain_text(base_question)}"

        if self._looks_like_complete_question(current_question) and not self._has_pronoun_followup(current_question):
            return current_question

        if candidates and base_candidate is not None:
            state = self._merge_top_candidate_states(base_candidate, candidates)
        else:
            state = base.query_state or {}

        parts = self._state_to_question_parts(base_question, state)
        self._apply_numeric_override(parts, delta)

        if delta.granularity:
            parts["granularity"] = delta.granularity
        if delta.dimension_hint:
            parts["grouping"] = delta.dimension_hint
        if delta.metric_hint:
            parts["metric"] = delta.metric_hint
        if delta.filter_hint:
            if parts.get("filter"):
                parts["filter"] = f"{parts['filter']}, {delta.filter_hint}"
            else:
                parts["filter"] = delta.filter_hint
        if delta.top_n is not None:
            parts["limit"] = f"top {_plain_text(delta.top_n)}"
        if delta.bottom_n is not None:
            parts["limit"] = f"bottom {_plain_text(delta.bottom_n)}"
        if delta.compare_hint:
            parts["compare"] = delta.compare_hint

        fallback = f"{_plain_text(base_question)}. Modification: {current_question}"
        return self._render_question_parts(parts, fallback)

    def _merge_top_candidate_states(
        self,
        base_candidate: ContextCandidate,
        candidates: List[ContextCandidate],
        top_n: int = 3,
    ) -> Dict[str, Any]:
        if not isinstance(candidates, list):
            raise TypeError(f"candidates must be a list, not {type(candidates).__name__}")
        ranked = sorted(
            [candidate for candidate in candidates if candidate.card is not None],
            key=lambda candidate: candidate.score,
            reverse=True,
        )
        top = ranked[: max(1, top_n)]
        if base_candidate.card is not None and all(c.turn_id != base_candidate.turn_id for c in top):
            top = [base_candidate] + top

        merged: Dict[str, Any] = {}
        for key in _MERGE_LIST_KEYS:
            seen: Set[str] = set()
            items: List[Any] = []
            for candidate in top:
                if candidate.card is None:
                    continue
                state = candidate.card.query_state or {}
                value = state.get(key)
                if not value:
                    continue
                if not isinstance(value, list):
                    value = [value]
                for item in value:
                    marker = _plain_text(item).lower()
                    if marker in seen:
                        continue
                    seen.add(marker)
                    items.append(item)
            if items:
                merged[key] = items

        for key in _MERGE_SCALAR_KEYS:
            for candidate in top:
                if candidate.card is None:
                    continue
                state = candidate.card.query_state or {}
                value = state.get(key)
                if value:
                    merged[key] = value
                    break

        return merged

    def _state_to_question_parts(self, base_question: str, state: Dict[str, Any]) -> Dict[str, str]:
        if not isinstance(state, dict):
            raise TypeError(f"state must be a dict, not {type(state).__name__}")
        aggregation = state.get("aggregation") or {}
        metrics = state.get("metrics") or []
        dimensions = state.get("dimensions") or []
        group_by = state.get("group_by") or []
        filters = state.get("filters") or []
        granularity = state.get("granularity") or ""

        metric = ""
        if isinstance(aggregation, dict) and aggregation.get("column"):
            function = aggregation.get("function") or ""
            metric = f"{_plain_text(function)} {_plain_text(aggregation.get('column'))}".strip()
        elif metrics:
            metric = " ".join(_plain_text(entry) for entry in _as_entries(metrics)[:3])

        kept = []
        for entry in _as_entries(group_by or dimensions):
            text = _plain_text(entry)
            if text.lower() not in _TIME_GRAIN_WORDS:
                kept.append(text)
        grouping = ", ".join(kept[:5])

        return {
            "metric": metric,
            "grouping": grouping,
            "filter": self._filters_to_text(filters),
            "granularity": _plain_text(granularity) if granularity else "",
            "base_question": base_question,
        }

    def _filters_to_text(self, filters: Any) -> str:
        if not filters:
            return ""
        if not isinstance(filters, list):
            return compact_text(filters, 120)
        pieces = []
        for entry in filters[:5]:
            if isinstance(entry, dict):
                column = entry.get("column") or entry.get("field") or ""
                operation = entry.get("operation") or entry.get("operator") or ""
                if _has_filter_value(entry.get("value")):
                    value = entry.get("value")
                elif _has_filter_value(entry.get("values")):
                    value = entry.get("values")
                else:
                    value = None
                if operation and value is None:
                    piece = f"{_plain_text(column)} {_plain_text(operation)}".strip()
                else:
                    value_text = "" if value is None else _plain_text(value)
                    piece = f"{_plain_text(column)} {_plain_text(operation)} {value_text}".strip()
            else:
                piece = _plain_text(entry)
            if piece:
                pieces.append(piece)
        return ", ".join(pieces)

    def _render_question_parts(self, parts: Dict[str, str], fallback: str) -> str:
        if not isinstance(parts, dict):
            raise TypeError(f"parts must be a dict, not {type(parts).__name__}")
        _require_text(fallback, "fallback")
        metric = parts.get("metric") or "the previous metric"
        grouping = parts.get("grouping") or ""
        granularity = parts.get("granularity") or ""
        filter_text = parts.get("filter") or ""
        limit = parts.get("limit") or ""
        compare = parts.get("compare") or ""

        pieces = ["Show"]
        if granularity:
            pieces.append("daily" if granularity == "day" else f"{granularity}ly")
        pieces.append(metric)
        if grouping:
            pieces.append(f"by {grouping}")
        if filter_text:
            pieces.append(f"where {filter_text}")
        if limit:
            pieces.append(limit)
        if compare:
            pieces.append(f"and compare {compare}")

        text = " ".join(piece for piece in pieces if piece).strip()
        text = _WHITESPACE_RE.sub(" ", text)
        if text.lower() in ("show the previous metric", "show"):
            return fallback
        return text

    def _build_ambiguity_question(self, candidates: List[ContextCandidate]) -> str:
        if not isinstance(candidates, list):
            raise TypeError(f"candidates must be a list, not {type(candidates).__name__}")
        shortlisted = [candidate for candidate in candidates[:3] if candidate.card is not None]
        if not shortlisted:
            return "Can you clarify what you want me to use as context?"
        options = []
        for candidate in shortlisted:
            card = candidate.card
            label = card.resolved_question or card.user_question or f"turn {_plain_text(card.turn_id)}"
            options.append(f"turn {_plain_text(candidate.turn_id)}: {compact_text(label, 80)}")
        return "Which previous result should I use? " + " | ".join(options)

    # -- search query and constraints ---------------------------------------

    def _compose_metadata_search_query(
        self,
        current_question: str,
        base: TurnContextCard,
        delta: IntentDelta,
        resolved_question: str,
    ) -> str:
        _require_text(current_question, "current_question")
        _require_text(resolved_question, "resolved_question")
        no_stopwords: Set[str] = set()
        words: List[str] = []
        words.extend(tokenize(resolved_question, no_stopwords))
        words.extend(tokenize(current_question, no_stopwords))
        for hint in (delta.dimension_hint, delta.metric_hint, delta.filter_hint, delta.granularity):
            words.extend(tokenize(hint or "", no_stopwords))
        state = base.query_state or {}
        for key in _SEARCH_STATE_KEYS:
            if key in state:
                words.extend(tokenize(state[key], no_stopwords))
        words.extend(tokenize(base.topic_keywords, no_stopwords))
        words.extend(tokenize(base.entities, no_stopwords))
        words.extend(tokenize(base.selected_metadata_ids, no_stopwords))
        return self._limit_query_terms(" ".join(words))

    def _limit_query_terms(self, text: str) -> str:
        _require_text(text, "text")
        tokens = tokenize(text)
        if not tokens:
            tokens = tokenize(text, set())
        counts: Dict[str, int] = {}
        for token in tokens:
            counts[token] = counts.get(token, 0) + 1
        ordered = list(counts)  # first-occurrence order
        limit = self.config.max_metadata_query_terms
        if limit is not None and len(ordered) > limit:
            ordered = sorted(ordered, key=lambda token: counts[token], reverse=True)
            ordered = _keep_first(ordered, limit)
        return " ".join(ordered)

    def _constraints_from_base(
        self, base: TurnContextCard, delta: IntentDelta
    ) -> Tuple[List[str], Dict[str, List[str]]]:
        tables = base.active_tables()
        columns = base.required_columns_by_table() if self.config.include_previous_required_columns else {}
        state = base.query_state or {}

        important: List[Any] = []
        important.extend(_as_entries(state.get("metrics")))
        important.extend(_as_entries(state.get("date_columns")))
        if delta.operation != "replace_group_by":
            important.extend(_as_entries(state.get("dimensions")))
            important.extend(_as_entries(state.get("group_by")))

        if tables and important and len(tables) == 1:
            table = tables[0]
            keep = {_plain_text(column) for column in columns.get(table, [])}
            keep.update(_plain_text(entry) for entry in important if entry)
            columns[table] = sorted(keep)

        return tables, columns

    # -- language-model fallback --------------------------------------------

    def _try_llm_fallback(
        self,
        current_question: str,
        cards: List[TurnContextCard],
        preliminary: Dict[str, Any],
    ) -> Optional[ContextResolution]:
        if not self.config.use_llm_fallback or self.llm_fallback is None:
            return None
        summaries = [card.to_resolver_summary() for card in _keep_first(cards, self.config.max_cards_for_llm_fallback)]
        try:
            answer = self.llm_fallback(current_question, summaries, preliminary)
        except Exception:
            return None
        if not answer:
            return None
        try:
            return self._resolution_from_llm_dict(current_question, answer, cards)
        except Exception:
            return None

    def _resolution_from_llm_dict(
        self,
        current_question: str,
        data: Dict[str, Any],
        cards: List[TurnContextCard],
    ) -> ContextResolution:
        if not isinstance(data, dict):
            raise TypeError(f"fallback answer must be a dict, not {type(data).__name__}")

        def given(key: str) -> bool:
            return data.get(key) is not None

        base_turn_id = data.get("base_turn_id")
        base_card = None
        if base_turn_id is not None:
            base_card = next((card for card in cards if card.turn_id == base_turn_id), None)

        raw_delta = data.get("intent_delta")
        delta = IntentDelta(**raw_delta) if isinstance(raw_delta, dict) else IntentDelta()

        context_type = data.get("context_type") or "clarification_needed"
        required_tables = list(data.get("required_tables") or [])
        required_columns = data.get("required_columns") or {}
        if base_card is not None and not required_tables and context_type != "fresh_question":
            required_tables, required_columns = self._constraints_from_base(base_card, delta)

        if given("use_previous_state"):
            use_previous_state = bool(data["use_previous_state"])
        else:
            use_previous_state = base_turn_id is not None

        if data.get("anchor_metadata_ids"):
            anchors = list(data["anchor_metadata_ids"])
        elif base_card is not None and base_card.selected_metadata_ids:
            anchors = list(base_card.selected_metadata_ids)
        else:
            anchors = []

        return ContextResolution(
            context_type=context_type,
            current_question=current_question,
            resolved_question=data.get("resolved_question") or current_question,
            metadata_search_query=(
                data.get("metadata_search_query") or data.get("resolved_question") or current_question
            ),
            base_turn_id=base_turn_id,
            use_previous_state=use_previous_state,
            intent_delta=delta,
            required_tables=required_tables,
            required_columns=required_columns,
            anchor_metadata_ids=anchors,
            allow_related_tables=bool(data["allow_related_tables"]) if given("allow_related_tables") else True,
            confidence=float(data["confidence"]) if given("confidence") else 0.5,
            reason=data["reason"] if given("reason") else "LLM fallback resolution.",
            clarification_question=data.get("clarification_question"),
            route=data["route"] if given("route") else "generate",
            extra=data["extra"] if given("extra") else {},
        )


def _has_filter_value(value: Any) -> bool:
    # 0 and False are values; only nothing, "" and empty lists or maps are not.
    if value is None:
        return False
    if isinstance(value, (str, list, dict)) and len(value) == 0:
        return False
    return True


def _render_number(value: Any) -> str:
    try:
        whole = int(value)
    except (OverflowError, ValueError):
        whole = None
    if whole is not None and whole == value:
        return _int_text(whole)
    return repr(value)


def resolve_context(
    current_question: str,
    context_cards: Optional[Sequence[Any]] = None,
    *,
    active_turn_id: Optional[int] = None,
    preferred_task_type: Optional[str] = None,
    config: Optional[ResolverConfig] = None,
    llm_fallback: Optional[ResolverLLMFallback] = None,
) -> ContextResolution:
    return TurnLens(config, llm_fallback).resolve(
        current_question,
        context_cards,
        active_turn_id=active_turn_id,
        preferred_task_type=preferred_task_type,
    )


# ---------------------------------------------------------------------------
# Demonstration
# ---------------------------------------------------------------------------

DEMO_MESSAGES = [
    "consider monthly?",
    "make it category based",
    "what else we get?",
    "Show failed payment count by bank",
]


def demo_card(database: str = "sales_demo") -> TurnContextCard:
    """The sample card the demonstration stores after its first answer."""
    question = "Show total revenue by region for last 6 months"
    return TurnContextCard(
        turn_id=1,
        user_question=question,
        resolved_question=question,
        assistant_answer_summary="Generated SQL for total revenue grouped by region for the last 6 months.",
        task_type="text_to_sql",
        artifact_type="sql",
        topic_keywords=["sales", "revenue", "region", "last 6 months"],
        entities=["sales_orders", "revenue", "region", "order_date"],
        selected_metadata_ids=[
            "table:sales_orders",
            "column:sales_orders.revenue",
            "column:sales_orders.region",
            "column:sales_orders.order_date",
        ],
        query_state={
            "active_tables": ["sales_orders"],
            "active_columns": ["revenue", "region", "order_date"],
            "metrics": ["revenue"],
            "dimensions": ["region"],
            "date_columns": ["order_date"],
            "group_by": ["region"],
            "filters": [{"column": "order_date", "operation": "last_6_months"}],
            "aggregation": {"function": "sum", "column": "revenue"},
            "granularity": None,
        },
        sql=(
            f"SELECT region, SUM(revenue) AS total_revenue FROM {database}.sales_orders "
            "WHERE order_date >= CURRENT_DATE - INTERVAL '6 months' GROUP BY region"
        ),
    )


def demo() -> str:
    """Run the demonstration and return exactly the text it prints."""
    cards = [demo_card()]
    lens = TurnLens()
    out = io.StringIO()
    for message in DEMO_MESSAGES:
        result = lens.resolve(message, cards)
        print("\nQUESTION:", message, file=out)
        print(_json_text(result.to_dict(), indent=2, ensure_ascii=True), file=out)
    return out.getvalue()


if __name__ == "__main__":
    print(demo(), end="")
