// Shared declarations of the turnlens extension module.
#pragma once
#include "common/py.hpp"
#include "common/pytext.hpp"
#include "common/record.hpp"
#include "core/regex.hpp"

#include <deque>
#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace tl {

// A reference held for the life of the process. It is never released:
// static destructors run after the interpreter has gone.
class Keep {
public:
    Keep& operator=(aw::Ref r) {
        o_ = r.release();
        return *this;
    }
    PyObject* get() const { return o_; }
    explicit operator bool() const { return o_ != nullptr; }

private:
    PyObject* o_ = nullptr;
};

// ------------------------------------------------------------ vocabulary

using aw::WordSet;

struct AliasGroup {
    std::string key;
    std::vector<std::string> forms;  // the key itself first
};

// The module's constant vocabulary, built once at load (C++ side of the
// Python constants of the same names).
struct Vocabulary {
    WordSet stopwords;       // STOPWORDS
    WordSet followup_terms;  // FOLLOWUP_TERMS
    WordSet modify_terms;    // MODIFY_TERMS
    std::vector<std::string> suggestion_phrases;          // SUGGESTION_PHRASES
    std::vector<std::string> clarification_risk_phrases;  // CLARIFICATION_RISK_PHRASES
    std::vector<AliasGroup> granularity_aliases;          // GRANULARITY_ALIASES, in order
    std::vector<AliasGroup> aggregation_aliases;          // AGGREGATION_ALIASES, in order
    std::vector<std::pair<std::string, long>> ordinal_words;  // ORDINAL_WORDS, in order
    std::string duration_units_pattern;                   // _DURATION_UNITS_PATTERN
};
const Vocabulary& vocab();

// Native twins of the module's compiled patterns (same text and flags).
struct Patterns {
    aw::rx::Regex word, camel, top_n, bottom_n, turn_ref, backref_numeric, ordinal_suffix, generic_number;
    // One per ORDINAL_WORDS entry, in order: \b<word>\s+(question|...|widget)\b
    std::vector<aw::rx::Regex> ordinal;
    // Parallel to vocab().aggregation_aliases[k].forms: the metric-hint
    // pattern of each alias.
    std::vector<std::vector<aw::rx::Regex>> metric;
};
const Patterns& patterns();

// The host's re.escape.
std::string re_escape(std::string_view text);

// ------------------------------------------------------------ text utilities

using aw::require_str;
using aw::TextView;

// The plain text form, str(v), except that exact ints are written in full
// decimal whatever their length (the interpreter refuses beyond its digit
// limit). False with a Python error set.
bool plain_text_append(std::string& out, PyObject* v);
PyObject* plain_text(PyObject* v);


// compact_text of any value; false with a Python error set.
bool compact_value(PyObject* value, Py_ssize_t max_chars, std::string& out);

// Overlap coefficient of two token collections (duplicates ignored).
double overlap(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b);

long long now_ms();

// A list of new str objects.
PyObject* str_list(const std::vector<std::string_view>& items);

// A size limit read from a setting: absent keeps everything, negative keeps
// nothing.
struct Limit {
    bool unlimited = true;
    Py_ssize_t n = 0;
    size_t keep(size_t size) const {
        if (unlimited) return size;
        if (n <= 0) return 0;
        return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size;
    }
};

// _limit_query_terms on UTF-8 text.
std::string limit_query_terms(std::string_view text, const Limit& limit);

// ------------------------------------------------------------ records

extern PyTypeObject* TurnContextCardType;
extern PyTypeObject* ContextCandidateType;
extern PyTypeObject* IntentDeltaType;
extern PyTypeObject* ContextResolutionType;
extern PyTypeObject* ResolverConfigType;

enum CardField {
    CARD_TURN_ID, CARD_SESSION_ID, CARD_TENANT_ID, CARD_USER_QUESTION, CARD_RESOLVED_QUESTION,
    CARD_ANSWER_SUMMARY, CARD_TASK_TYPE, CARD_ARTIFACT_TYPE, CARD_ARTIFACT_ID, CARD_ARTIFACT_LABEL,
    CARD_TOPIC_KEYWORDS, CARD_ENTITIES, CARD_SELECTED_METADATA_IDS, CARD_QUERY_STATE, CARD_RETRIEVAL_STATE,
    CARD_OUTPUT_STATE, CARD_SQL, CARD_CONFIG, CARD_ANSWER_EXCERPT, CARD_CREATED_AT_MS, CARD_QUALITY_SCORE,
    CARD_IS_ACTIVE, CARD_EXTRA, CARD_COUNT
};
enum CandidateField { CAND_TURN_ID, CAND_SCORE, CAND_REASONS, CAND_CARD, CAND_COUNT };
enum DeltaField {
    DELTA_OPERATION, DELTA_GRANULARITY, DELTA_DIMENSION_HINT, DELTA_METRIC_HINT, DELTA_FILTER_HINT,
    DELTA_SORT_HINT, DELTA_COMPARE_HINT, DELTA_TOP_N, DELTA_BOTTOM_N, DELTA_REPLACE_NUMERIC_VALUE,
    DELTA_RAW_HINTS, DELTA_COUNT
};
enum ResolutionField {
    RES_CONTEXT_TYPE, RES_CURRENT_QUESTION, RES_RESOLVED_QUESTION, RES_METADATA_SEARCH_QUERY, RES_BASE_TURN_ID,
    RES_USE_PREVIOUS_STATE, RES_INTENT_DELTA, RES_REQUIRED_TABLES, RES_REQUIRED_COLUMNS, RES_ANCHOR_METADATA_IDS,
    RES_ALLOW_RELATED_TABLES, RES_CONFIDENCE, RES_REASON, RES_CLARIFICATION_QUESTION, RES_CANDIDATES, RES_ROUTE,
    RES_EXTRA, RES_COUNT
};
enum ConfigField {
    CFG_MAX_RECENT_CARDS, CFG_MAX_CARDS_FOR_LLM_FALLBACK, CFG_FOLLOWUP_THRESHOLD, CFG_CLARIFICATION_MARGIN,
    CFG_FRESH_QUESTION_MIN_TOKENS, CFG_RECENCY_WEIGHT, CFG_KEYWORD_OVERLAP_WEIGHT, CFG_ENTITY_OVERLAP_WEIGHT,
    CFG_ARTIFACT_MATCH_WEIGHT, CFG_EXPLICIT_REFERENCE_WEIGHT, CFG_ACTIVE_CARD_BONUS, CFG_TASK_TYPE_MATCH_WEIGHT,
    CFG_PREFER_LATEST_FOR_PRONOUN_FOLLOWUP, CFG_ASK_CLARIFICATION_WHEN_AMBIGUOUS, CFG_USE_LLM_FALLBACK,
    CFG_LLM_FALLBACK_CONFIDENCE_CEILING, CFG_MAX_METADATA_QUERY_TERMS, CFG_INCLUDE_PREVIOUS_REQUIRED_COLUMNS,
    CFG_INCLUDE_ANCHOR_METADATA_IDS, CFG_INCLUDE_DEBUG_CANDIDATES, CFG_COUNT
};

extern const char* const kCardFieldNames[CARD_COUNT];
extern const char* const kConfigFieldNames[CFG_COUNT];

// Sets a record field, stealing v (which must not be null).
void rec_set(PyObject* rec, int i, PyObject* v);

// A field of a record of the given type, or the attribute of that name of
// any other object. New reference; nullptr with an error set.
PyObject* field(PyObject* obj, PyTypeObject* type, int index, const char* name);
inline PyObject* card_field(PyObject* card, CardField f) {
    return field(card, TurnContextCardType, f, kCardFieldNames[f]);
}
inline PyObject* config_field(PyObject* config, ConfigField f) {
    return field(config, ResolverConfigType, f, kConfigFieldNames[f]);
}

// TurnContextCard(**map): TypeError for a non-str or unknown key or a
// missing "turn_id".
PyObject* card_from_map(PyObject* map);
PyObject* new_intent_delta();
// A record as a plain nested map, converted as ContextResolution.to_dict does.
PyObject* record_to_plain(PyObject* rec);
// A ContextResolution with every field at its default; the caller sets the
// four required fields (rec_set) before the record is used.
PyObject* new_resolution();

// card.searchable_text() appended as UTF-8.
bool card_searchable_text(PyObject* card, std::string& out);
// card.tokens() as views into buf.
bool card_tokens(PyObject* card, std::string& buf, std::vector<std::string_view>& tokens);

// ------------------------------------------------------------ resolver

struct LensObject {
    PyObject_HEAD
    PyObject* config;
    PyObject* llm_fallback;
    char topic_gate;       // opt-in modes (modes.hpp), off unless asked for
    char merge_followups;
};
extern PyTypeObject* TurnLensType;
// New references to the lens's settings (AttributeError when never set) and
// callback (None when never set): caller code may replace them mid-call.
PyObject* lens_config(PyObject* self);
PyObject* lens_fallback(PyObject* self);

// The stages: TurnLens methods the resolution calls on the lens itself, from
// the driver or from inside another stage, so that a subclass or an instance
// attribute may replace any of them.
enum Stage {
    STAGE_NORMALIZE_CARDS, STAGE_RECENT_CARDS, STAGE_LATEST_ACTIVE_TURN_ID, STAGE_LIMIT_QUERY_TERMS, STAGE_CLARIFY,
    STAGE_DETECT_EXPLICIT_TURN_REFERENCE, STAGE_DETECT_ARTIFACT_REFERENCE, STAGE_EXTRACT_INTENT_DELTA,
    STAGE_IS_SUGGESTION_REQUEST, STAGE_HAS_FOLLOWUP_SIGNAL, STAGE_HAS_PRONOUN_FOLLOWUP, STAGE_HAS_MODIFY_SIGNAL,
    STAGE_LOOKS_LIKE_COMPLETE_QUESTION, STAGE_HAS_AMBIGUOUS_REFERENCE, STAGE_RANK_CANDIDATES, STAGE_CHOOSE_BASE,
    STAGE_BUILD_CONTEXTUAL_RESOLUTION, STAGE_COMPOSE_RESOLVED_QUESTION, STAGE_MERGE_TOP_CANDIDATE_STATES,
    STAGE_STATE_TO_QUESTION_PARTS, STAGE_APPLY_NUMERIC_OVERRIDE, STAGE_RENDER_QUESTION_PARTS,
    STAGE_COMPOSE_METADATA_SEARCH_QUERY, STAGE_CONSTRAINTS_FROM_BASE, STAGE_TRY_LLM_FALLBACK,
    STAGE_BUILD_AMBIGUITY_QUESTION, STAGE_FRESH, STAGE_FINALIZE_RESOLUTION, STAGE_ARTIFACT_MATCHES,
    STAGE_EXTRACT_DIMENSION_HINT, STAGE_EXTRACT_FILTER_HINT, STAGE_EXTRACT_METRIC_HINT, STAGE_CLEAN_HINT,
    STAGE_FILTERS_TO_TEXT, STAGE_RESOLUTION_FROM_LLM_DICT, STAGE_COUNT
};
// The interned method name of a stage (borrowed, kept for the process).
PyObject* stage_name(Stage s);
// The stages a type replaces, one bit each, remembered for the last type
// asked while its version tag (renewed by any change to it or its bases)
// stays the same.
struct TypeStages {
    PyTypeObject* type = nullptr;
    unsigned int tag = 0;
    uint64_t replaced = 0;
};
extern TypeStages last_type_stages;
int own_stage_lookup(PyObject* lens, Stage s);
// 1 when lens.<stage> resolves to TurnLens's own method, so it may run
// natively; 0 when replaced; -1 on error. Asked at each use: caller code may
// replace a method mid-call.
inline int own_stage(PyObject* lens, Stage s) {
    PyTypeObject* tp = Py_TYPE(lens);
    // inline for the usual lens: a type seen before, unchanged, without instance attributes
    if (tp == last_type_stages.type && PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG) &&
        tp->tp_version_tag == last_type_stages.tag && tp->tp_dictoffset == 0 &&
        !PyType_HasFeature(tp, Py_TPFLAGS_MANAGED_DICT))
        return !((last_type_stages.replaced >> s) & 1);
    return own_stage_lookup(lens, s);
}
// lens.<stage>(*args, **kw) by name.
PyObject* call_stage(PyObject* lens, Stage s, std::initializer_list<PyObject*> args,
                     std::initializer_list<std::pair<const char*, PyObject*>> kw = {});
// A stage's result: the replacement called by name, else native(), which
// does what TurnLens's own method does once its arguments are read.
template <class Native>
PyObject* run_stage(PyObject* lens, Stage s, std::initializer_list<PyObject*> args, Native&& native,
                    std::initializer_list<std::pair<const char*, PyObject*>> kw = {}) {
    int own = own_stage(lens, s);
    if (own < 0) return nullptr;
    return own ? native() : call_stage(lens, s, args, kw);
}

// The truth value of lens.<stage>(*args): 1, 0, -1 on error.
int stage_truth(PyObject* lens, Stage s, std::initializer_list<PyObject*> args);
using aw::unpack_pair;

// Reads a limit setting (max_recent_cards, max_metadata_query_terms).
bool read_limit(PyObject* config, ConfigField f, Limit& out);

// Card preparation; every result is a new reference or nullptr with an error.
PyObject* normalize_cards(PyObject* cards);
PyObject* recent_cards(PyObject* config, PyObject* cards);
PyObject* latest_active_turn_id(PyObject* cards);
// _limit_query_terms of a str with the config's max_metadata_query_terms.
bool limit_terms(PyObject* config, PyObject* text, std::string& out);
// lens._limit_query_terms(text).
PyObject* limit_terms_stage(PyObject* lens, PyObject* text);
// The plain outcomes of a lens; candidates may be null (absent) for the fresh one.
PyObject* fresh_resolution(PyObject* lens, PyObject* message, PyObject* candidates, PyObject* reason);
PyObject* clarify_resolution(PyObject* lens, PyObject* message, PyObject* candidates, PyObject* reason,
                             PyObject* question);

// ------------------------------------------------------------ composition, search query, fallback
// (compose.cpp, query.cpp, fallback.cpp). `lens` is a TurnLens; results are
// new references, or nullptr with a Python error set.

// state.get(key) (exact dicts natively); None when missing.
PyObject* state_lookup(PyObject* state, PyObject* key);
// card.query_state, or a new empty dict when that is empty.
PyObject* card_state(PyObject* card);
// Entries of a stored state value: [] when empty, a list as is, else [value].
PyObject* as_entries(PyObject* value);

// Calls fn(item) for every item of seq as a for loop would (an exact list is
// walked by index, live). fn returns >0 to go on, 0 to stop, <0 on error.
template <class F>
bool for_each_item(PyObject* seq, F&& fn) {
    if (PyList_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
            aw::Ref item = aw::Ref::borrow(PyList_GET_ITEM(seq, i));
            int r = fn(item.get());
            if (r <= 0) return r == 0;
        }
        return true;
    }
    aw::Ref it(PyObject_GetIter(seq));
    if (!it) return false;
    while (PyObject* x = PyIter_Next(it.get())) {
        aw::Ref hold(x);
        int r = fn(x);
        if (r <= 0) return r == 0;
    }
    return !PyErr_Occurred();
}

PyObject* build_contextual_resolution(PyObject* lens, PyObject* context_type, PyObject* current_question,
                                      PyObject* base_candidate, PyObject* intent_delta, PyObject* candidates,
                                      PyObject* route, PyObject* reason);
// candidates and base_candidate may be nullptr (absent).
PyObject* compose_resolved_question(PyObject* lens, PyObject* current_question, PyObject* base, PyObject* delta,
                                    PyObject* context_type, PyObject* candidates, PyObject* base_candidate);
PyObject* merge_top_candidate_states(PyObject* base_candidate, PyObject* candidates, PyObject* top_n);
PyObject* state_to_question_parts(PyObject* lens, PyObject* base_question, PyObject* state);
bool filters_to_text(PyObject* filters, std::string& out);
PyObject* render_question_parts(PyObject* parts, PyObject* fallback);
PyObject* build_ambiguity_question(PyObject* candidates);

PyObject* compose_metadata_search_query(PyObject* lens, PyObject* current_question, PyObject* base,
                                        PyObject* delta, PyObject* resolved_question);
// The pair (required_tables, required_columns).
PyObject* constraints_from_base(PyObject* config, PyObject* base, PyObject* delta);

// A ContextResolution, or None when the fallback is off, missing or gives
// nothing usable; nullptr only for errors that must propagate.
PyObject* try_llm_fallback(PyObject* lens, PyObject* current_question, PyObject* cards, PyObject* preliminary);
PyObject* resolution_from_llm_dict(PyObject* lens, PyObject* current_question, PyObject* data, PyObject* cards);

extern PyMethodDef lens_compose_methods[];
extern PyMethodDef lens_query_methods[];
extern PyMethodDef lens_fallback_methods[];

// ------------------------------------------------------------ driver

extern PyMethodDef lens_driver_methods[];
extern PyMethodDef driver_functions[];

// ------------------------------------------------------------ detection, ranking, delta
// (detect.cpp, rank.cpp, delta.cpp)

// A message read once for every detector: its UTF-8 text, its host
// lowercasing and its tokens (no stopwords removed), made when first asked.
class MessageText {
public:
    explicit MessageText(PyObject* str) : tv_(str) {}  // str required
    MessageText(const MessageText&) = delete;
    MessageText& operator=(const MessageText&) = delete;
    std::string_view text() const { return tv_.view; }
    const std::string& lowered();
    const std::vector<std::string_view>& tokens();
    size_t content_token_count();  // tokens outside STOPWORDS, duplicates counted

private:
    TextView tv_;
    bool has_lower_ = false, has_tokens_ = false;
    std::string lower_, buf_;
    std::vector<std::string_view> tokens_;
};

// Cheap tests that let a long text skip patterns which cannot match it:
// any Unicode decimal digit; and, for TURN_REF_RE on lowered text, a "#",
// a turn word or a letter the case-blind match treats as "s" or "i".
bool has_decimal_digit(std::string_view text);
bool turn_ref_possible(std::string_view lowered);


// The detectors; results as the TurnLens methods give them. Those taking
// the lens call its _has_pronoun_followup (question: m's str) where the
// rules do.
PyObject* detect_explicit_turn_reference(MessageText& m);  // int or None
PyObject* detect_artifact_reference(MessageText& m);       // str or None
int artifact_matches(PyObject* ref, PyObject* card);       // 1, 0, -1 on error
bool is_suggestion_request(MessageText& m);
bool has_followup_signal(MessageText& m);
bool has_pronoun_followup(MessageText& m);
// The truth of lens._has_pronoun_followup(question); -1 on error.
int pronoun_followup(PyObject* lens, MessageText& m, PyObject* question);
int has_modify_signal(MessageText& m, PyObject* delta);  // -1 on error
PyObject* has_ambiguous_reference(PyObject* lens, MessageText& m, PyObject* question);
int looks_like_complete_question(PyObject* lens, PyObject* config, MessageText& m, PyObject* question);

// _rank_candidates: a new list of ContextCandidate, best first.
PyObject* rank_candidates(PyObject* lens, PyObject* config, PyObject* question, PyObject* cards,
                          PyObject* explicit_turn_id, PyObject* explicit_artifact_ref, PyObject* active_turn_id,
                          PyObject* preferred_task_type);
// _choose_base_for_contextual_request: new reference to best or None.
PyObject* choose_base(PyObject* lens, PyObject* config, PyObject* best, PyObject* second, PyObject* question,
                      PyObject* ambiguous_reference);

// _extract_intent_delta of a str: a new IntentDelta.
PyObject* extract_intent_delta(PyObject* lens, PyObject* question);
// _clean_hint on UTF-8 text; empty when nothing usable is left.
std::string clean_hint(std::string_view hint);
// _apply_numeric_override; false with an error set.
bool apply_numeric_override(PyObject* parts, PyObject* delta);
// A run of Unicode decimal digits as an int of any length.
PyObject* digits_to_int(std::string_view digits);

extern PyMethodDef lens_detect_methods[];
extern PyMethodDef lens_rank_methods[];
extern PyMethodDef lens_delta_methods[];

// ------------------------------------------------------------ registration

extern PyMethodDef text_functions[];
bool init_vocab(PyObject* module);
bool init_records(PyObject* module);
bool init_config(PyObject* module);
// TurnLens gathers its methods from one table per area.
extern PyMethodDef lens_preparation_methods[];
bool init_lens(PyObject* module, std::initializer_list<const PyMethodDef*> method_tables);

}  // namespace tl
