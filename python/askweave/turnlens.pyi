"""Conversation context resolution: decide what a new message means given earlier turns."""
import re
from typing import Any, Callable, Dict, Iterable, List, Literal, Mapping, Optional, Sequence, Set, Tuple, Union

ContextType = Literal["fresh_question", "follow_up_latest", "follow_up_specific_turn", "modify_previous_query",
                      "suggestion_request", "clarification_needed"]
OperationType = Literal["none", "add_granularity", "replace_granularity", "replace_group_by", "add_group_by",
                        "replace_metric", "add_filter", "remove_filter", "change_sort", "set_top_n", "set_bottom_n",
                        "compare", "suggest", "replace_numeric_value", "unknown_modify"]
TaskType = Literal["text_to_sql", "text_to_config", "document_qa", "rag", "chart_generation", "report_generation",
                   "general_answer", "unknown"]
ArtifactType = Literal["sql", "json_config", "text_answer", "chart", "table", "document_summary",
                       "retrieval_answer", "unknown"]
ResolverLLMFallback = Callable[[str, List[Dict[str, Any]], Dict[str, Any]], Optional[Dict[str, Any]]]

_WORD_RE: re.Pattern[str]
_CAMEL_RE: re.Pattern[str]
TOP_N_RE: re.Pattern[str]
BOTTOM_N_RE: re.Pattern[str]
TURN_REF_RE: re.Pattern[str]
BACKREF_NUMERIC_RE: re.Pattern[str]
ORDINAL_SUFFIX_RE: re.Pattern[str]
GENERIC_NUMBER_RE: re.Pattern[str]
_DURATION_UNITS_PATTERN: str

STOPWORDS: Set[str]
FOLLOWUP_TERMS: Set[str]
MODIFY_TERMS: Set[str]
SUGGESTION_PHRASES: List[str]
CLARIFICATION_RISK_PHRASES: List[str]
GRANULARITY_ALIASES: Dict[str, List[str]]
AGGREGATION_ALIASES: Dict[str, List[str]]
ORDINAL_WORDS: Dict[str, int]

def split_identifier(value: str) -> str: ...
def tokenize(text: Any, stopwords: Optional[Union[Set[str], frozenset]] = None) -> List[str]: ...
def compact_text(value: Any, max_chars: int = 500) -> str: ...
def estimate_tokens(text: str, chars_per_token: float = 4.0) -> int: ...
def overlap_score(a: Iterable[str], b: Iterable[str]) -> float: ...
def now_ms() -> int: ...

class _NativePattern:
    def search(self, text: str, pos: int = 0) -> Optional[Tuple[Tuple[int, int], ...]]: ...
    def finditer(self, text: str) -> List[Tuple[Tuple[int, int], ...]]: ...
    def sub(self, repl: str, text: str, count: int = 0) -> str: ...

def _native_pattern(pattern: str, flags: int = 0) -> _NativePattern: ...

class TurnContextCard:
    turn_id: int
    session_id: str
    tenant_id: str
    user_question: str
    resolved_question: str
    assistant_answer_summary: str
    task_type: Union[TaskType, str]
    artifact_type: Union[ArtifactType, str]
    artifact_id: Optional[str]
    artifact_label: Optional[str]
    topic_keywords: List[str]
    entities: List[str]
    selected_metadata_ids: List[str]
    query_state: Dict[str, Any]
    retrieval_state: Dict[str, Any]
    output_state: Dict[str, Any]
    sql: Optional[str]
    config: Optional[Dict[str, Any]]
    answer_excerpt: Optional[str]
    created_at_ms: int
    quality_score: float
    is_active: bool
    extra: Dict[str, Any]
    def __init__(self, turn_id: int, session_id: str = "", tenant_id: str = "", user_question: str = "",
                 resolved_question: str = "", assistant_answer_summary: str = "",
                 task_type: Union[TaskType, str] = "unknown", artifact_type: Union[ArtifactType, str] = "unknown",
                 artifact_id: Optional[str] = None, artifact_label: Optional[str] = None,
                 topic_keywords: List[str] = ..., entities: List[str] = ..., selected_metadata_ids: List[str] = ...,
                 query_state: Dict[str, Any] = ..., retrieval_state: Dict[str, Any] = ...,
                 output_state: Dict[str, Any] = ..., sql: Optional[str] = None,
                 config: Optional[Dict[str, Any]] = None, answer_excerpt: Optional[str] = None,
                 created_at_ms: int = ..., quality_score: float = 1.0, is_active: bool = True,
                 extra: Dict[str, Any] = ...) -> None: ...
    def searchable_text(self) -> str: ...
    def tokens(self) -> List[str]: ...
    def active_tables(self) -> List[str]: ...
    def active_columns(self) -> List[str]: ...
    def required_columns_by_table(self) -> Dict[str, List[str]]: ...
    def to_resolver_summary(self, max_chars: int = 1200) -> Dict[str, Any]: ...
    @staticmethod
    def _compact_state(state: Mapping[str, Any]) -> Dict[str, Any]: ...

class ContextCandidate:
    turn_id: int
    score: float
    reasons: List[str]
    card: Optional[TurnContextCard]
    def __init__(self, turn_id: int, score: float, reasons: List[str] = ...,
                 card: Optional[TurnContextCard] = None) -> None: ...
    def to_dict(self) -> Dict[str, Any]: ...

class IntentDelta:
    operation: Union[OperationType, str]
    granularity: Optional[str]
    dimension_hint: Optional[str]
    metric_hint: Optional[str]
    filter_hint: Optional[str]
    sort_hint: Optional[str]
    compare_hint: Optional[str]
    top_n: Optional[int]
    bottom_n: Optional[int]
    replace_numeric_value: Optional[float]
    raw_hints: List[str]
    def __init__(self, operation: Union[OperationType, str] = "none", granularity: Optional[str] = None,
                 dimension_hint: Optional[str] = None, metric_hint: Optional[str] = None,
                 filter_hint: Optional[str] = None, sort_hint: Optional[str] = None,
                 compare_hint: Optional[str] = None, top_n: Optional[int] = None, bottom_n: Optional[int] = None,
                 replace_numeric_value: Optional[float] = None, raw_hints: List[str] = ...) -> None: ...

class ContextResolution:
    context_type: Union[ContextType, str]
    current_question: str
    resolved_question: str
    metadata_search_query: str
    base_turn_id: Optional[int]
    use_previous_state: bool
    intent_delta: IntentDelta
    required_tables: List[str]
    required_columns: Dict[str, List[str]]
    anchor_metadata_ids: List[str]
    allow_related_tables: bool
    confidence: float
    reason: str
    clarification_question: Optional[str]
    candidates: List[ContextCandidate]
    route: str
    extra: Dict[str, Any]
    def __init__(self, context_type: Union[ContextType, str], current_question: str, resolved_question: str,
                 metadata_search_query: str, base_turn_id: Optional[int] = None, use_previous_state: bool = False,
                 intent_delta: IntentDelta = ..., required_tables: List[str] = ...,
                 required_columns: Dict[str, List[str]] = ..., anchor_metadata_ids: List[str] = ...,
                 allow_related_tables: bool = True, confidence: float = 0.0, reason: str = "",
                 clarification_question: Optional[str] = None, candidates: List[ContextCandidate] = ...,
                 route: str = "generate", extra: Dict[str, Any] = ...) -> None: ...
    def to_dict(self, include_candidates: bool = True) -> Dict[str, Any]: ...

class ResolverConfig:
    max_recent_cards: int
    max_cards_for_llm_fallback: int
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
    llm_fallback_confidence_ceiling: Optional[float]
    max_metadata_query_terms: int
    include_previous_required_columns: bool
    include_anchor_metadata_ids: bool
    include_debug_candidates: bool
    def __init__(self, max_recent_cards: int = 10, max_cards_for_llm_fallback: int = 5,
                 followup_threshold: float = 0.58, clarification_margin: float = 0.08,
                 fresh_question_min_tokens: int = 3, recency_weight: float = 0.25,
                 keyword_overlap_weight: float = 0.35, entity_overlap_weight: float = 0.2,
                 artifact_match_weight: float = 0.5, explicit_reference_weight: float = 2.0,
                 active_card_bonus: float = 0.15, task_type_match_weight: float = 0.1,
                 prefer_latest_for_pronoun_followup: bool = True, ask_clarification_when_ambiguous: bool = True,
                 use_llm_fallback: bool = False, llm_fallback_confidence_ceiling: Optional[float] = None,
                 max_metadata_query_terms: int = 40, include_previous_required_columns: bool = True,
                 include_anchor_metadata_ids: bool = True, include_debug_candidates: bool = True) -> None: ...

class TurnLens:
    """Resolves what a new message means given the cards of earlier turns.

    resolve works in stages, the underscore methods. Each stage that resolve, the
    contextual composition and the fallback call is looked up on the lens when it is
    reached: a replacement (by a subclass, an instance attribute or a change to the
    class) is called by name, with the arguments TurnLens's own would get. A stage
    that is TurnLens's own runs natively, without a Python call.
    """
    config: ResolverConfig
    llm_fallback: Optional[ResolverLLMFallback]
    def __init__(self, config: Optional[ResolverConfig] = None,
                 llm_fallback: Optional[ResolverLLMFallback] = None) -> None: ...
    def _normalize_cards(self, cards: Iterable[Union[TurnContextCard, Mapping[str, Any], Any]]) -> List[TurnContextCard]: ...
    def _recent_cards(self, cards: Sequence[TurnContextCard]) -> List[TurnContextCard]: ...
    def _latest_active_turn_id(self, cards: Iterable[Optional[TurnContextCard]]) -> Optional[int]: ...
    def _limit_query_terms(self, text: str) -> str: ...
    def _fresh(self, current_question: str, *, candidates: Optional[List[ContextCandidate]] = None,
               reason: str) -> ContextResolution: ...
    def _clarify(self, current_question: str, candidates: List[ContextCandidate], reason: str,
                 question: str) -> ContextResolution: ...
    # -- detection, ranking and base choice, intent delta extraction
    def _detect_explicit_turn_reference(self, question: str) -> Optional[int]: ...
    def _detect_artifact_reference(self, question: str) -> Optional[str]: ...
    def _artifact_matches(self, ref: str, card: TurnContextCard) -> bool: ...
    def _is_suggestion_request(self, question: str) -> bool: ...
    def _has_followup_signal(self, question: str) -> bool: ...
    def _has_pronoun_followup(self, question: str) -> bool: ...
    def _has_modify_signal(self, question: str, delta: IntentDelta) -> bool: ...
    def _has_ambiguous_reference(self, question: str) -> bool: ...
    def _looks_like_complete_question(self, question: str) -> bool: ...
    def _rank_candidates(self, *, current_question: str, cards: List[TurnContextCard],
                         explicit_turn_id: Optional[int], explicit_artifact_ref: Optional[str],
                         active_turn_id: Optional[int],
                         preferred_task_type: Optional[str]) -> List[ContextCandidate]: ...
    def _choose_base_for_contextual_request(self, best: Optional[ContextCandidate],
                                            second: Optional[ContextCandidate], current_question: str,
                                            ambiguous_reference: bool) -> Optional[ContextCandidate]: ...
    def _extract_intent_delta(self, question: str) -> IntentDelta: ...
    def _extract_dimension_hint(self, q: str) -> Optional[str]: ...
    def _extract_filter_hint(self, q: str) -> Optional[str]: ...
    def _extract_metric_hint(self, q: str) -> Optional[str]: ...
    def _clean_hint(self, hint: str) -> str: ...
    def _apply_numeric_override(self, parts: Dict[str, str], delta: IntentDelta) -> None: ...
    # -- composition, search query and constraints, language-model fallback
    def _build_contextual_resolution(self, context_type: Union[ContextType, str], current_question: str,
                                     base_candidate: ContextCandidate, intent_delta: IntentDelta,
                                     candidates: List[ContextCandidate], route: str,
                                     reason: str) -> ContextResolution: ...
    def _compose_resolved_question(self, current_question: str, base: TurnContextCard, delta: IntentDelta,
                                   context_type: Union[ContextType, str],
                                   candidates: Optional[List[ContextCandidate]] = None,
                                   base_candidate: Optional[ContextCandidate] = None) -> str: ...
    def _merge_top_candidate_states(self, base_candidate: ContextCandidate, candidates: List[ContextCandidate],
                                    top_n: int = 3) -> Dict[str, Any]: ...
    def _state_to_question_parts(self, base_question: str, state: Dict[str, Any]) -> Dict[str, str]: ...
    def _filters_to_text(self, filters: Any) -> str: ...
    def _render_question_parts(self, parts: Dict[str, str], fallback: str) -> str: ...
    def _build_ambiguity_question(self, candidates: List[ContextCandidate]) -> str: ...
    def _compose_metadata_search_query(self, current_question: str, base: TurnContextCard, delta: IntentDelta,
                                       resolved_question: str) -> str: ...
    def _constraints_from_base(self, base: TurnContextCard,
                               delta: IntentDelta) -> Tuple[List[str], Dict[str, List[str]]]: ...
    def _try_llm_fallback(self, current_question: str, cards: List[TurnContextCard],
                          preliminary: Dict[str, Any]) -> Optional[ContextResolution]: ...
    def _resolution_from_llm_dict(self, current_question: str, data: Dict[str, Any],
                                  cards: List[TurnContextCard]) -> ContextResolution: ...
