// Resolver settings, the callback type, the vocabularies as type labels, the
// TurnLens object, card preparation and the plain fresh and clarification
// outcomes.
#include "turnlens/turnlens.hpp"

#include "common/pytext.hpp"

#include <algorithm>
#include <structmember.h>

namespace tl {
using aw::Ref;

PyTypeObject* ResolverConfigType;
PyTypeObject* TurnLensType;

const char* const kConfigFieldNames[CFG_COUNT] = {
    "max_recent_cards", "max_cards_for_llm_fallback", "followup_threshold", "clarification_margin",
    "fresh_question_min_tokens", "recency_weight", "keyword_overlap_weight", "entity_overlap_weight",
    "artifact_match_weight", "explicit_reference_weight", "active_card_bonus", "task_type_match_weight",
    "prefer_latest_for_pronoun_followup", "ask_clarification_when_ambiguous", "use_llm_fallback",
    "llm_fallback_confidence_ceiling", "max_metadata_query_terms", "include_previous_required_columns",
    "include_anchor_metadata_ids", "include_debug_candidates"};

namespace {

Keep s_fresh_question, s_clarification_needed, s_generate, s_clarify, s_turn_id_getter;
Keep s_partial;  // functools.partial

inline LensObject* L(PyObject* o) { return reinterpret_cast<LensObject*>(o); }


// 1: true, 0: false, -1: error (truth value of card.is_active).
int card_is_active(PyObject* card) {
    Ref v(card_field(card, CARD_IS_ACTIVE));
    return v ? PyObject_IsTrue(v.get()) : -1;
}

}  // namespace

PyObject* lens_config(PyObject* self) {
    PyObject* c = L(self)->config;
    if (!c) PyErr_SetString(PyExc_AttributeError, "'TurnLens' object has no attribute 'config'");
    return Py_XNewRef(c);
}

PyObject* lens_fallback(PyObject* self) {
    PyObject* f = L(self)->llm_fallback;
    return Py_NewRef(f ? f : Py_None);
}

bool read_limit(PyObject* config, ConfigField f, Limit& out) {
    Ref v(config_field(config, f));
    if (!v) return false;
    out = Limit();
    if (v.get() == Py_None) return true;
    out.unlimited = false;
    if (!PyLong_CheckExact(v.get())) {
        // Any value below zero keeps nothing; only a cut needs an integer.
        Ref zero(PyLong_FromLong(0));
        int negative = zero ? PyObject_RichCompareBool(v.get(), zero.get(), Py_LT) : -1;
        if (negative < 0) return false;
        if (negative) {
            out.n = -1;
            return true;
        }
        if (!PyIndex_Check(v.get())) {
            PyErr_SetString(PyExc_TypeError, "slice indices must be integers or None or have an __index__ method");
            return false;
        }
    }
    Ref i(PyNumber_Index(v.get()));
    if (!i) return false;
    out.n = PyNumber_AsSsize_t(i.get(), nullptr);  // clamps
    return !PyErr_Occurred();
}

// ------------------------------------------------------------ stages

namespace {

const char* const kStageNames[STAGE_COUNT] = {
    "_normalize_cards", "_recent_cards", "_latest_active_turn_id", "_limit_query_terms", "_clarify",
    "_detect_explicit_turn_reference", "_detect_artifact_reference", "_extract_intent_delta",
    "_is_suggestion_request", "_has_followup_signal", "_has_pronoun_followup", "_has_modify_signal",
    "_looks_like_complete_question", "_has_ambiguous_reference", "_rank_candidates",
    "_choose_base_for_contextual_request", "_build_contextual_resolution", "_compose_resolved_question",
    "_merge_top_candidate_states", "_state_to_question_parts", "_apply_numeric_override", "_render_question_parts",
    "_compose_metadata_search_query", "_constraints_from_base", "_try_llm_fallback", "_build_ambiguity_question",
    "_fresh", "_finalize_resolution", "_artifact_matches", "_extract_dimension_hint", "_extract_filter_hint",
    "_extract_metric_hint", "_clean_hint", "_filters_to_text", "_resolution_from_llm_dict"};
Keep s_stage_names[STAGE_COUNT];
Keep s_own_methods[STAGE_COUNT];  // TurnLens's own descriptors, as the type was made

static_assert(STAGE_COUNT < 64, "one bit per stage");
constexpr uint64_t kAllStages = (uint64_t{1} << STAGE_COUNT) - 1;

uint64_t replaced_by_type(PyTypeObject* tp) {
    const bool tagged = PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG);
    if (tagged && tp == last_type_stages.type && tp->tp_version_tag == last_type_stages.tag)
        return last_type_stages.replaced;
    uint64_t replaced = 0;
    if (tp->tp_getattro != PyObject_GenericGetAttr) {
        replaced = kAllStages;  // its own attribute lookup decides every call
    } else {
        for (int i = 0; i < STAGE_COUNT; ++i)
            if (_PyType_Lookup(tp, s_stage_names[i].get()) != s_own_methods[i].get()) replaced |= uint64_t{1} << i;
    }
    if (PyType_HasFeature(tp, Py_TPFLAGS_VALID_VERSION_TAG))  // the lookups give the type a tag
        last_type_stages = {tp, tp->tp_version_tag, replaced};
    return replaced;
}

}  // namespace

TypeStages last_type_stages;

PyObject* stage_name(Stage s) { return s_stage_names[s].get(); }

int own_stage_lookup(PyObject* lens, Stage s) {
    PyTypeObject* tp = Py_TYPE(lens);
    if (replaced_by_type(tp) & (uint64_t{1} << s)) return 0;
    if (tp->tp_dictoffset == 0 && !PyType_HasFeature(tp, Py_TPFLAGS_MANAGED_DICT)) return 1;
    // An instance attribute comes before a method of the type.
    PyObject** slot = _PyObject_GetDictPtr(lens);
    if (!slot) return 0;  // cannot tell: looked up by name
    if (!*slot || PyDict_GET_SIZE(*slot) == 0) return 1;
    Ref dict = Ref::borrow(*slot);
    PyObject* v = PyDict_GetItemWithError(dict.get(), s_stage_names[s].get());
    if (v) return 0;
    return PyErr_Occurred() ? -1 : 1;
}

PyObject* call_stage(PyObject* lens, Stage s, std::initializer_list<PyObject*> args,
                     std::initializer_list<std::pair<const char*, PyObject*>> kw) {
    PyObject* argv[16];
    size_t n = 0;
    argv[n++] = lens;
    for (PyObject* a : args) argv[n++] = a;
    Ref names;
    if (kw.size()) {
        names = Ref(PyTuple_New(static_cast<Py_ssize_t>(kw.size())));
        if (!names) return nullptr;
        Py_ssize_t i = 0;
        for (auto& [k, v] : kw) {
            PyObject* key = Py_XNewRef(aw::interned(k));
            if (!key) return nullptr;
            PyTuple_SET_ITEM(names.get(), i++, key);
            argv[n++] = v;
        }
    }
    return PyObject_VectorcallMethod(s_stage_names[s].get(), argv, (1 + args.size()) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     names.get());
}

int stage_truth(PyObject* lens, Stage s, std::initializer_list<PyObject*> args) {
    Ref r(call_stage(lens, s, args));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// ------------------------------------------------------------ preparation

PyObject* normalize_cards(PyObject* cards) {
    Ref out(PyList_New(0));
    Ref it(out ? PyObject_GetIter(cards) : nullptr);
    if (!it) return nullptr;
    while (PyObject* item = PyIter_Next(it.get())) {
        Ref hold(item);
        Ref card;
        if (aw::rec_check(item, TurnContextCardType)) card = Ref::borrow(item);
        else if (PyDict_Check(item)) card = Ref(card_from_map(item));
        else continue;
        if (!card || PyList_Append(out.get(), card.get()) < 0) return nullptr;
    }
    return PyErr_Occurred() ? nullptr : out.release();
}

PyObject* recent_cards(PyObject* config, PyObject* cards) {
    Ref items(aw::private_list(cards));  // our own copy: attribute reads may run code that changes cards
    if (!items) return nullptr;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    std::vector<PyObject*> chosen;  // borrowed from items
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* c = PySequence_Fast_GET_ITEM(items.get(), i);
        int active = card_is_active(c);
        if (active < 0) return nullptr;
        if (active) chosen.push_back(c);
    }
    if (chosen.empty())  // inactive cards serve only when none is active
        for (Py_ssize_t i = 0; i < n; ++i) chosen.push_back(PySequence_Fast_GET_ITEM(items.get(), i));
    // Newest first, stable; native when every turn_id is a plain int.
    std::vector<std::pair<long long, PyObject*>> keyed;
    keyed.reserve(chosen.size());
    bool native = true;
    for (PyObject* c : chosen) {
        Ref id(card_field(c, CARD_TURN_ID));
        if (!id) return nullptr;
        int overflow = 0;
        long long k = PyLong_CheckExact(id.get()) ? PyLong_AsLongLongAndOverflow(id.get(), &overflow) : 0;
        if (!PyLong_CheckExact(id.get()) || overflow) native = false;
        keyed.emplace_back(k, c);
    }
    Ref sorted(PyList_New(static_cast<Py_ssize_t>(keyed.size())));
    if (!sorted) return nullptr;
    if (native)
        std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (size_t i = 0; i < keyed.size(); ++i) PyList_SET_ITEM(sorted.get(), i, Py_NewRef(keyed[i].second));
    if (!native) {
        Ref sort(PyObject_GetAttrString(sorted.get(), "sort"));
        Ref args(sort ? PyTuple_New(0) : nullptr);
        Ref kw(args ? Py_BuildValue("{sOsO}", "key", s_turn_id_getter.get(), "reverse", Py_True) : nullptr);
        Ref r(kw ? PyObject_Call(sort.get(), args.get(), kw.get()) : nullptr);
        if (!r) return nullptr;
    }
    Limit limit;  // read after sorting, as a failing sort reports first
    if (!read_limit(config, CFG_MAX_RECENT_CARDS, limit)) return nullptr;
    size_t keep = limit.keep(keyed.size());
    if (keep == keyed.size()) return sorted.release();
    return PyList_GetSlice(sorted.get(), 0, static_cast<Py_ssize_t>(keep));
}

PyObject* latest_active_turn_id(PyObject* cards) {
    Ref it(PyObject_GetIter(cards));
    if (!it) return nullptr;
    Ref best;
    while (PyObject* c = PyIter_Next(it.get())) {
        Ref hold(c);
        if (c == Py_None) continue;
        int active = card_is_active(c);
        if (active < 0) return nullptr;
        if (!active) continue;
        Ref id(card_field(c, CARD_TURN_ID));
        if (!id) return nullptr;
        if (!best) {
            best = id;
            continue;
        }
        int gt = PyObject_RichCompareBool(id.get(), best.get(), Py_GT);
        if (gt < 0) return nullptr;
        if (gt) best = id;
    }
    if (PyErr_Occurred()) return nullptr;
    return best ? best.release() : Py_NewRef(Py_None);
}

// ------------------------------------------------------------ outcomes

bool limit_terms(PyObject* config, PyObject* text, std::string& out) {
    if (!require_str(text, "_limit_query_terms", "text")) return false;
    Ref v(config_field(config, CFG_MAX_METADATA_QUERY_TERMS));
    if (!v) return false;
    TextView tv(text);
    if (v.get() == Py_None || PyLong_CheckExact(v.get())) {
        Limit limit;
        if (!read_limit(config, CFG_MAX_METADATA_QUERY_TERMS, limit)) return false;
        out = limit_query_terms(tv.view, limit);
        return true;
    }
    // Some other value: the count is compared with it first, and only when
    // it is exceeded is the value read as a cut.
    out = limit_query_terms(tv.view, Limit());
    size_t terms = out.empty() ? 0 : static_cast<size_t>(std::count(out.begin(), out.end(), ' ')) + 1;
    Ref count(PyLong_FromSize_t(terms));
    int gt = count ? PyObject_RichCompareBool(count.get(), v.get(), Py_GT) : -1;
    if (gt <= 0) return gt == 0;
    Limit limit;
    if (!read_limit(config, CFG_MAX_METADATA_QUERY_TERMS, limit)) return false;
    out = limit_query_terms(tv.view, limit);
    return true;
}

PyObject* limit_terms_stage(PyObject* lens, PyObject* text) {
    return run_stage(lens, STAGE_LIMIT_QUERY_TERMS, {text}, [&]() -> PyObject* {
        Ref config(lens_config(lens));
        std::string out;
        if (!config || !limit_terms(config.get(), text, out)) return nullptr;
        return aw::new_str(out);
    });
}

PyObject* fresh_resolution(PyObject* lens, PyObject* message, PyObject* candidates, PyObject* reason) {
    Ref q(limit_terms_stage(lens, message));
    if (!q) return nullptr;
    Ref cands;
    int t = candidates ? PyObject_IsTrue(candidates) : 0;
    if (t < 0) return nullptr;
    cands = t ? Ref::borrow(candidates) : Ref(PyList_New(0));
    Ref conf(cands ? PyFloat_FromDouble(0.95) : nullptr);
    Ref r(conf && cands ? new_resolution() : nullptr);
    if (!r) return nullptr;
    rec_set(r.get(), RES_CONTEXT_TYPE, Py_NewRef(s_fresh_question.get()));
    rec_set(r.get(), RES_CURRENT_QUESTION, Py_NewRef(message));
    rec_set(r.get(), RES_RESOLVED_QUESTION, Py_NewRef(message));
    rec_set(r.get(), RES_METADATA_SEARCH_QUERY, q.release());
    rec_set(r.get(), RES_CONFIDENCE, conf.release());
    rec_set(r.get(), RES_REASON, Py_NewRef(reason));
    rec_set(r.get(), RES_CANDIDATES, cands.release());
    rec_set(r.get(), RES_ROUTE, Py_NewRef(s_generate.get()));
    return r.release();
}

PyObject* clarify_resolution(PyObject* lens, PyObject* message, PyObject* candidates, PyObject* reason,
                             PyObject* question) {
    Ref q(limit_terms_stage(lens, message));
    Ref config(q ? lens_config(lens) : nullptr);  // as the query stage left it
    Ref include(config ? config_field(config.get(), CFG_INCLUDE_DEBUG_CANDIDATES) : nullptr);
    int t = include ? PyObject_IsTrue(include.get()) : -1;
    if (t < 0) return nullptr;
    Ref cands(t ? Py_NewRef(candidates) : PyList_New(0));
    Ref conf(cands ? PyFloat_FromDouble(0.0) : nullptr);
    Ref r(conf ? new_resolution() : nullptr);
    if (!r) return nullptr;
    rec_set(r.get(), RES_CONTEXT_TYPE, Py_NewRef(s_clarification_needed.get()));
    rec_set(r.get(), RES_CURRENT_QUESTION, Py_NewRef(message));
    rec_set(r.get(), RES_RESOLVED_QUESTION, Py_NewRef(message));
    rec_set(r.get(), RES_METADATA_SEARCH_QUERY, q.release());
    rec_set(r.get(), RES_CONFIDENCE, conf.release());
    rec_set(r.get(), RES_REASON, Py_NewRef(reason));
    rec_set(r.get(), RES_CLARIFICATION_QUESTION, Py_NewRef(question));
    rec_set(r.get(), RES_CANDIDATES, cands.release());
    rec_set(r.get(), RES_ROUTE, Py_NewRef(s_clarify.get()));
    return r.release();
}

namespace {

// ------------------------------------------------------------ TurnLens methods


PyObject* one_arg(PyObject* args, PyObject* kwargs, const char* fmt, const char* name) {
    const char* kw[] = {name, nullptr};
    PyObject* v;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, fmt, const_cast<char**>(kw), &v)) return nullptr;
    return v;
}

PyObject* py_normalize_cards(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* cards = one_arg(args, kwargs, "O:_normalize_cards", "cards");
    return cards ? normalize_cards(cards) : nullptr;
}

PyObject* py_recent_cards(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* cards = one_arg(args, kwargs, "O:_recent_cards", "cards");
    Ref config(cards ? lens_config(self) : nullptr);
    return config ? recent_cards(config.get(), cards) : nullptr;
}

PyObject* py_latest_active_turn_id(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* cards = one_arg(args, kwargs, "O:_latest_active_turn_id", "cards");
    return cards ? latest_active_turn_id(cards) : nullptr;
}

PyObject* py_limit_query_terms(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* text = one_arg(args, kwargs, "O:_limit_query_terms", "text");
    Ref config(text ? lens_config(self) : nullptr);
    std::string out;
    if (!config || !limit_terms(config.get(), text, out)) return nullptr;
    return aw::new_str(out);
}

PyObject* py_fresh(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"current_question", "candidates", "reason", nullptr};
    PyObject *message, *candidates = Py_None, *reason = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO:_fresh", const_cast<char**>(kw), &message, &candidates,
                                     &reason))
        return nullptr;
    if (!reason) {
        PyErr_SetString(PyExc_TypeError, "_fresh() missing 1 required keyword-only argument: 'reason'");
        return nullptr;
    }
    return fresh_resolution(self, message, candidates, reason);
}

PyObject* py_clarify(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"current_question", "candidates", "reason", "question", nullptr};
    PyObject *message, *candidates, *reason, *question;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:_clarify", const_cast<char**>(kw), &message, &candidates,
                                     &reason, &question))
        return nullptr;
    return clarify_resolution(self, message, candidates, reason, question);
}

// ------------------------------------------------------------ TurnLens type

int lens_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"config", "llm_fallback", "topic_gate", "merge_followups", nullptr};
    PyObject *config = Py_None, *fallback = Py_None;
    int topic_gate = 0, merge_followups = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO$pp:TurnLens", const_cast<char**>(kw), &config, &fallback,
                                     &topic_gate, &merge_followups))
        return -1;
    Ref cfg;
    if (config == Py_None) {
        cfg = Ref(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(ResolverConfigType)));
        if (!cfg) return -1;
    } else if (aw::rec_check(config, ResolverConfigType)) {
        cfg = Ref::borrow(config);
    } else {
        PyErr_Format(PyExc_TypeError, "config must be a ResolverConfig or None, not %.200s", Py_TYPE(config)->tp_name);
        return -1;
    }
    if (fallback != Py_None && !PyCallable_Check(fallback)) {
        PyErr_Format(PyExc_TypeError, "llm_fallback must be callable or None, not %.200s", Py_TYPE(fallback)->tp_name);
        return -1;
    }
    Py_XSETREF(L(self)->config, cfg.release());
    Py_XSETREF(L(self)->llm_fallback, Py_NewRef(fallback));
    L(self)->topic_gate = static_cast<char>(topic_gate);
    L(self)->merge_followups = static_cast<char>(merge_followups);
    return 0;
}

int lens_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(L(self)->config);
    Py_VISIT(L(self)->llm_fallback);
    return 0;
}

int lens_clear(PyObject* self) {
    Py_CLEAR(L(self)->config);
    Py_CLEAR(L(self)->llm_fallback);
    return 0;
}

void lens_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // a long chain of lenses must not exhaust the C stack; the type's slot is the barrier's entry
    Py_TRASHCAN_BEGIN(self, &aw::Entry<lens_dealloc>::call)
    lens_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
    Py_TRASHCAN_END
}

// Rebuilt from its two settings, so that copy and pickle work.
PyObject* lens_reduce(PyObject* self, PyObject*) {
    // held: building the tuples may collect garbage, and a finalizer may replace them
    Ref config = Ref::borrow(L(self)->config ? L(self)->config : Py_None);
    Ref fallback(lens_fallback(self));
    if (!L(self)->topic_gate && !L(self)->merge_followups)
        return Py_BuildValue("(O(OO))", reinterpret_cast<PyObject*>(Py_TYPE(self)), config.get(), fallback.get());
    // the modes are keyword-only: rebuilt through a partial that names them
    Ref kw(Py_BuildValue("{sOsO}", "topic_gate", L(self)->topic_gate ? Py_True : Py_False, "merge_followups",
                         L(self)->merge_followups ? Py_True : Py_False));
    Ref args(kw ? PyTuple_Pack(1, reinterpret_cast<PyObject*>(Py_TYPE(self))) : nullptr);
    Ref maker(args ? PyObject_Call(s_partial.get(), args.get(), kw.get()) : nullptr);
    return maker ? Py_BuildValue("(O(OO))", maker.get(), config.get(), fallback.get()) : nullptr;
}

PyMemberDef lens_members[] = {
    {"config", T_OBJECT_EX, offsetof(LensObject, config), 0, "The ResolverConfig in use."},
    {"llm_fallback", T_OBJECT, offsetof(LensObject, llm_fallback), 0, "The language-model callback, or None."},
    {"topic_gate", T_BOOL, offsetof(LensObject, topic_gate), READONLY, "Whether the topic gate is on."},
    {"merge_followups", T_BOOL, offsetof(LensObject, merge_followups), READONLY,
     "Whether short follow-ups are merged into the earlier question."},
    {nullptr, 0, 0, 0, nullptr}};

}  // namespace

PyMethodDef lens_preparation_methods[] = {
    {"_normalize_cards", AW_KW(py_normalize_cards),
     "_normalize_cards($self, /, cards)\n--\n\nCards kept, maps turned into cards, other items skipped."},
    {"_recent_cards", AW_KW(py_recent_cards),
     "_recent_cards($self, /, cards)\n--\n\nThe active cards (else all), newest first, at most max_recent_cards."},
    {"_latest_active_turn_id", AW_KW(py_latest_active_turn_id),
     "_latest_active_turn_id($self, /, cards)\n--\n\nThe largest turn_id among present active cards, or None."},
    {"_limit_query_terms", AW_KW(py_limit_query_terms),
     "_limit_query_terms($self, /, text)\n--\n\n"
     "The distinct terms of text, cut to max_metadata_query_terms by frequency."},
    {"_fresh", AW_KW(py_fresh),
     "_fresh($self, /, current_question, *, candidates=None, reason)\n--\n\nA fresh-question resolution."},
    {"_clarify", AW_KW(py_clarify),
     "_clarify($self, /, current_question, candidates, reason, question)\n--\n\nA clarification resolution."},
    {nullptr, nullptr, 0, nullptr}};

bool init_config(PyObject* module) {
    using aw::FieldSpec;
    s_fresh_question = Ref::borrow(aw::interned("fresh_question"));
    s_clarification_needed = Ref::borrow(aw::interned("clarification_needed"));
    s_generate = Ref::borrow(aw::interned("generate"));
    s_clarify = Ref::borrow(aw::interned("clarify"));
    if (!s_fresh_question || !s_clarification_needed || !s_generate || !s_clarify) return false;
    Ref op(PyImport_ImportModule("operator"));
    s_turn_id_getter = Ref(op ? PyObject_CallMethod(op.get(), "attrgetter", "s", "turn_id") : nullptr);
    if (!s_turn_id_getter) return false;
    Ref functools(PyImport_ImportModule("functools"));
    s_partial = Ref(functools ? PyObject_GetAttrString(functools.get(), "partial") : nullptr);
    if (!s_partial) return false;

    ResolverConfigType = aw::make_record_type(
        module, "askweave.turnlens.ResolverConfig",
        "Settings of one resolver.\n"
        "\n"
        "All fields have defaults; ResolverConfig() is the default resolver.\n"
        "\n"
        "Attributes:\n"
        "    max_recent_cards: Most cards considered, newest turn_id first.\n"
        "        Default 10.\n"
        "    max_cards_for_llm_fallback: Most card summaries given to the\n"
        "        language-model callback (None: all). Default 5.\n"
        "    followup_threshold: Ranking score from which the best card is a\n"
        "        clear base for a contextual message. Default 0.58.\n"
        "    clarification_margin: With an ambiguous reference, a lead of the best\n"
        "        card over the second smaller than this asks the user.\n"
        "        Default 0.08.\n"
        "    fresh_question_min_tokens: Content words from which a message can\n"
        "        read as a complete question. Default 3.\n"
        "    recency_weight: Ranking weight of recency. Default 0.25.\n"
        "    keyword_overlap_weight: Ranking weight of word overlap with the\n"
        "        card. Default 0.35.\n"
        "    entity_overlap_weight: Ranking weight of overlap with the card's\n"
        "        entities, keywords and catalog ids. Default 0.2.\n"
        "    artifact_match_weight: Ranking bonus for a matching artifact\n"
        "        reference. Default 0.5.\n"
        "    explicit_reference_weight: Ranking bonus for an explicitly named\n"
        "        turn. Default 2.0.\n"
        "    active_card_bonus: Ranking bonus for an active card, for the\n"
        "        active_turn_id and for the latest active turn, each.\n"
        "        Default 0.15.\n"
        "    task_type_match_weight: Ranking bonus when the card's task_type is\n"
        "        the preferred_task_type. Default 0.1.\n"
        "    prefer_latest_for_pronoun_followup: Let a back-reference word (\"it\",\n"
        "        \"this\", ...) use a best card below followup_threshold (from 0.2).\n"
        "        Default True.\n"
        "    ask_clarification_when_ambiguous: Ask the user when two cards score\n"
        "        close and the reference is ambiguous. Default True.\n"
        "    use_llm_fallback: Call TurnLens's llm_fallback at all. Default False.\n"
        "    llm_fallback_confidence_ceiling: Also offer contextual results with a\n"
        "        confidence below this to the callback; None never does.\n"
        "        Default None.\n"
        "    max_metadata_query_terms: Most words in metadata_search_query.\n"
        "        Default 40.\n"
        "    include_previous_required_columns: Carry the base turn's columns into\n"
        "        required_columns. Default True.\n"
        "    include_anchor_metadata_ids: Carry the base card's\n"
        "        selected_metadata_ids into anchor_metadata_ids. Default True.\n"
        "    include_debug_candidates: Keep the ranked candidates in results.\n"
        "        Default True.",
        {FieldSpec::integer("max_recent_cards", 10), FieldSpec::integer("max_cards_for_llm_fallback", 5),
         FieldSpec::real("followup_threshold", 0.58), FieldSpec::real("clarification_margin", 0.08),
         FieldSpec::integer("fresh_question_min_tokens", 3), FieldSpec::real("recency_weight", 0.25),
         FieldSpec::real("keyword_overlap_weight", 0.35), FieldSpec::real("entity_overlap_weight", 0.2),
         FieldSpec::real("artifact_match_weight", 0.5), FieldSpec::real("explicit_reference_weight", 2.0),
         FieldSpec::real("active_card_bonus", 0.15), FieldSpec::real("task_type_match_weight", 0.1),
         FieldSpec::boolean("prefer_latest_for_pronoun_followup", true),
         FieldSpec::boolean("ask_clarification_when_ambiguous", true), FieldSpec::boolean("use_llm_fallback", false),
         FieldSpec::none("llm_fallback_confidence_ceiling"), FieldSpec::integer("max_metadata_query_terms", 40),
         FieldSpec::boolean("include_previous_required_columns", true),
         FieldSpec::boolean("include_anchor_metadata_ids", true),
         FieldSpec::boolean("include_debug_candidates", true)});
    if (!ResolverConfigType) return false;

    // Type labels: the vocabularies and the callback type.
    Ref typing(PyImport_ImportModule("typing"));
    PyObject* ns = typing ? PyModule_GetDict(typing.get()) : nullptr;  // borrowed
    if (!ns) return false;
    struct Vocab {
        const char* name;
        std::initializer_list<const char*> values;
    };
    const Vocab vocabularies[] = {
        {"ContextType", {"fresh_question", "follow_up_latest", "follow_up_specific_turn", "modify_previous_query",
                         "suggestion_request", "clarification_needed"}},
        {"OperationType", {"none", "add_granularity", "replace_granularity", "replace_group_by", "add_group_by",
                           "replace_metric", "add_filter", "remove_filter", "change_sort", "set_top_n",
                           "set_bottom_n", "compare", "suggest", "replace_numeric_value", "unknown_modify"}},
        {"TaskType", {"text_to_sql", "text_to_config", "document_qa", "rag", "chart_generation", "report_generation",
                      "general_answer", "unknown"}},
        {"ArtifactType", {"sql", "json_config", "text_answer", "chart", "table", "document_summary",
                          "retrieval_answer", "unknown"}},
    };
    for (const Vocab& v : vocabularies)
        if (!aw::add_literal(module, v.name, v.values)) return false;
    Ref callback(PyRun_String("Callable[[str, List[Dict[str, Any]], Dict[str, Any]], Optional[Dict[str, Any]]]",
                              Py_eval_input, ns, ns));
    return callback && PyModule_AddObjectRef(module, "ResolverLLMFallback", callback.get()) == 0;
}

bool init_lens(PyObject* module, std::initializer_list<const PyMethodDef*> method_tables) {
    static std::vector<PyMethodDef> methods;  // the type points into it
    methods.push_back({"__reduce__", AW_FN(lens_reduce), METH_NOARGS, nullptr});
    for (const PyMethodDef* table : method_tables)
        for (const PyMethodDef* m = table; m->ml_name; ++m) methods.push_back(*m);
    methods.push_back({nullptr, nullptr, 0, nullptr});
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
        {Py_tp_init, AW_SLOT(lens_init)},
        {Py_tp_dealloc, AW_SLOT(lens_dealloc)},
        {Py_tp_traverse, AW_SLOT(lens_traverse)},
        {Py_tp_clear, AW_SLOT(lens_clear)},
        {Py_tp_members, lens_members},
        {Py_tp_methods, nullptr},
        {Py_tp_doc, const_cast<char*>(
                        "TurnLens(config=None, llm_fallback=None, *, topic_gate=False, merge_followups=False)\n--\n\n"
                        "Resolves what a new message means given the cards of earlier turns.\n"
                        "\n"
                        "TurnLens(config=None, llm_fallback=None, *, topic_gate=False,\n"
                        "merge_followups=False): config defaults to ResolverConfig(); llm_fallback\n"
                        "is an optional ResolverLLMFallback; the two opt-in modes are described\n"
                        "below. A lens keeps nothing between calls and may serve any number of them.\n"
                        "\n"
                        "resolve works in stages, the underscore methods. Each stage is looked up on the\n"
                        "lens where it is called, by resolve or from inside another stage: a replacement\n"
                        "(by a subclass, an instance attribute or a change to the class) is called by\n"
                        "name, with the arguments TurnLens's own would get, and its answer is used as\n"
                        "TurnLens's own would be. A stage that is TurnLens's own runs natively, without a\n"
                        "Python call.\n"
                        "\n"
                        "Opt-in modes, keyword-only and off by default (then every result is the\n"
                        "rules' own). topic_gate=True: a message that shows no tie to an earlier turn\n"
                        "(no pronoun leaning on one, no fragment, no \"what about\", \"how about\" or\n"
                        "\"instead\", no explicit turn number or matching artifact reference, no\n"
                        "share of its content words on a card) is a \"fresh_question\", whatever edit\n"
                        "words it carries; one that does show a tie and would otherwise be fresh or\n"
                        "unresolved is a \"follow_up_latest\" on the base the base choice gives.\n"
                        "merge_followups=True: the resolved question of a follow-up or modification is\n"
                        "the base card's question with the message's change applied (a value,\n"
                        "column, comparison or order replaced, a filter added, what \"remove\" or\n"
                        "\"get rid of\" names dropped) instead of the template sentence; short\n"
                        "follow-ups (a fragment, a pronoun, \"what about ...\") that would otherwise be\n"
                        "fresh or unresolved become follow-ups too. The modes act in resolve and in\n"
                        "TurnLens's own _compose_resolved_question: a replaced\n"
                        "_compose_resolved_question or _build_contextual_resolution is called as\n"
                        "before and composes as it likes; the other replaced stages still feed\n"
                        "the modes their results.\n"
                        "\n"
                        "Language-model fallback. The callback is called only when\n"
                        "config.use_llm_fallback is true and llm_fallback is set, synchronously on\n"
                        "the caller's thread (no timeout, retry or cache around it), in three\n"
                        "cases: a message that looks contextual but has no clear base turn, and a\n"
                        "message too short or ambiguous to resolve (instead of asking the user);\n"
                        "and, when config.llm_fallback_confidence_ceiling is set, a follow-up or\n"
                        "modification whose confidence is below it.\n"
                        "\n"
                        "It gets three arguments: the trimmed message; a list of card summaries\n"
                        "(TurnContextCard.to_resolver_summary() of the first\n"
                        "config.max_cards_for_llm_fallback recent cards, newest first); and a dict\n"
                        "of what the rules found: \"explicit_turn_id\", \"explicit_artifact_ref\",\n"
                        "\"suggestion\", \"followup_signal\", \"modification_signal\",\n"
                        "\"complete_question\", \"ambiguous_reference\", \"intent_delta\" (a map of\n"
                        "IntentDelta fields), \"best_candidate\" and \"second_candidate\"\n"
                        "(ContextCandidate.to_dict() or None) and, in the third case,\n"
                        "\"preliminary_resolution\" (the rule-based result's to_dict() without\n"
                        "candidates).\n"
                        "\n"
                        "It returns None or {} to keep the rule-based result, or a dict whose keys\n"
                        "become the resolution (others are ignored, values are not checked):\n"
                        "\"context_type\" (default \"clarification_needed\"), \"resolved_question\"\n"
                        "(default the message), \"metadata_search_query\" (default the resolved\n"
                        "question), \"base_turn_id\", \"intent_delta\" (a map of IntentDelta fields),\n"
                        "\"required_tables\" and \"required_columns\" (default: the base card's, unless\n"
                        "the context type is \"fresh_question\"), \"use_previous_state\" (default:\n"
                        "whether base_turn_id is given), \"anchor_metadata_ids\" (default: the base\n"
                        "card's), \"allow_related_tables\" (default True), \"confidence\" (default\n"
                        "0.5, not clamped), \"reason\" (default \"LLM fallback resolution.\"),\n"
                        "\"clarification_question\", \"route\" (default \"generate\") and \"extra\".\n"
                        "\n"
                        "When it raises an Exception, or answers with something unusable (not a\n"
                        "dict, an \"intent_delta\" key that is not an IntentDelta field, a\n"
                        "\"confidence\" that is not a number, ...), the rule-based resolution stands\n"
                        "and a warning with the error is logged on the logger \"askweave\".\n"
                        "KeyboardInterrupt and SystemExit propagate.\n"
                        "\n"
                        "Attributes:\n"
                        "    config: The ResolverConfig in use.\n"
                        "    llm_fallback: The language-model callback, or None.\n"
                        "    topic_gate: Whether the topic gate is on (read-only).\n"
                        "    merge_followups: Whether short follow-ups are merged into the earlier\n"
                        "        question (read-only).\n"
                        "\n"
                        "Raises:\n"
                        "    TypeError: config is not a ResolverConfig or None, or llm_fallback is\n"
                        "        not callable or None.")},
        {0, nullptr}};
    slots[6].pfunc = methods.data();
    static PyType_Spec spec = {"askweave.turnlens.TurnLens", sizeof(LensObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE, slots};
    TurnLensType = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (!TurnLensType) return false;
    for (int i = 0; i < STAGE_COUNT; ++i) {
        s_stage_names[i] = Ref::borrow(aw::interned(kStageNames[i]));
        if (!s_stage_names[i]) return false;
        PyObject* own = PyDict_GetItemWithError(TurnLensType->tp_dict, s_stage_names[i].get());
        if (!own) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "TurnLens has no stage %s", kStageNames[i]);
            return false;
        }
        s_own_methods[i] = Ref::borrow(own);
    }
    return PyModule_AddObjectRef(module, "TurnLens", reinterpret_cast<PyObject*>(TurnLensType)) == 0;
}

}  // namespace tl
