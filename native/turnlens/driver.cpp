// The resolution driver: the order of decisions of TurnLens.resolve, its
// fixed texts, finalization and the module function resolve_context.
#include "turnlens/turnlens.hpp"

#include "common/pytext.hpp"
#include "common/unicode.hpp"

namespace tl {
using aw::Ref;

namespace {

// self.<name>(*args, **kw): stages are looked up on the resolver, so a
// subclass may replace any of them.
PyObject* stage(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args,
                std::initializer_list<std::pair<const char*, PyObject*>> kw = {}) {
    PyObject* argv[16];
    size_t n = 0;
    argv[n++] = self;
    for (PyObject* a : args) argv[n++] = a;
    Ref names;
    if (kw.size()) {
        names = Ref(PyTuple_New(static_cast<Py_ssize_t>(kw.size())));
        if (!names) return nullptr;
        Py_ssize_t i = 0;
        for (auto& [k, v] : kw) {
            PyObject* key = PyUnicode_InternFromString(k);
            if (!key) return nullptr;
            PyTuple_SET_ITEM(names.get(), i++, key);
            argv[n++] = v;
        }
    }
    size_t positional = 1 + args.size();
    return PyObject_VectorcallMethod(name, argv, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get());
}

bool is_blank(PyObject* text) {
    TextView tv(text);
    size_t i = 0;
    while (i < tv.view.size()) {
        uint32_t cp;
        i += aw::utf8_next(tv.view, i, cp);
        if (!aw::is_space(cp)) return false;
    }
    return true;
}

PyObject* str(const char* s) { return PyUnicode_FromString(s); }

PyObject* truth(PyObject* v) {
    int t = PyObject_IsTrue(v);
    return t < 0 ? nullptr : PyBool_FromLong(t);
}

// The resolution returned for an empty message.
PyObject* empty_message(PyObject* message) {
    Ref r(new_resolution());
    if (!r) return nullptr;
    rec_set(r.get(), RES_CONTEXT_TYPE, str("clarification_needed"));
    rec_set(r.get(), RES_CURRENT_QUESTION, Py_NewRef(message));
    rec_set(r.get(), RES_RESOLVED_QUESTION, str(""));
    rec_set(r.get(), RES_METADATA_SEARCH_QUERY, str(""));
    rec_set(r.get(), RES_CONFIDENCE, PyFloat_FromDouble(1.0));
    rec_set(r.get(), RES_ROUTE, str("clarify"));
    rec_set(r.get(), RES_REASON, str("Empty question."));
    rec_set(r.get(), RES_CLARIFICATION_QUESTION, str("Please enter a question or instruction."));
    return r.release();
}

PyObject* finalize(PyObject* self, PyObject* resolution, PyObject* cards, PyObject* preliminary) {
    Ref config(lens_config(self));
    Ref ceiling(config ? config_field(config.get(), CFG_LLM_FALLBACK_CONFIDENCE_CEILING) : nullptr);
    if (!ceiling) return nullptr;
    if (ceiling.get() == Py_None) return Py_NewRef(resolution);
    Ref confidence(PyObject_GetAttr(resolution, KEY("confidence")));
    int above = confidence ? PyObject_RichCompareBool(confidence.get(), ceiling.get(), Py_GE) : -1;
    if (above) return above < 0 ? nullptr : Py_NewRef(resolution);
    Ref use(config_field(config.get(), CFG_USE_LLM_FALLBACK));
    int on = use ? PyObject_IsTrue(use.get()) : -1;
    if (on < 0) return nullptr;
    Ref callback(lens_fallback(self));
    if (!on || callback.get() == Py_None) return Py_NewRef(resolution);
    Ref copy(PyDict_Copy(preliminary));
    Ref summary(copy ? PyObject_CallMethod(resolution, "to_dict", "O", Py_False) : nullptr);
    if (!summary || PyDict_SetItemString(copy.get(), "preliminary_resolution", summary.get()) < 0) return nullptr;
    Ref question(PyObject_GetAttr(resolution, KEY("current_question")));
    Ref answer(question ? stage(self, KEY("_try_llm_fallback"), {question.get(), cards, copy.get()}) : nullptr);
    if (!answer) return nullptr;
    return answer.get() == Py_None ? Py_NewRef(resolution) : answer.release();
}

// The model's answer when the fallback gives one, else the clarification.
PyObject* fallback_or_clarify(PyObject* self, PyObject* q, PyObject* cards, PyObject* preliminary,
                              PyObject* candidates, const char* reason) {
    Ref answer(stage(self, KEY("_try_llm_fallback"), {q, cards, preliminary}));
    if (!answer) return nullptr;
    if (answer.get() != Py_None) return answer.release();
    Ref question(stage(self, KEY("_build_ambiguity_question"), {candidates}));
    Ref why(question ? str(reason) : nullptr);
    return why ? clarify_resolution(Ref(lens_config(self)).get(), q, candidates, why.get(), question.get()) : nullptr;
}

PyObject* resolve(PyObject* self, PyObject* current_question, PyObject* context_cards, PyObject* active_turn_id,
                  PyObject* preferred_task_type) {
    if (!require_str(current_question, "resolve", "current_question")) return nullptr;
    if (active_turn_id != Py_None && !PyLong_Check(active_turn_id)) {
        PyErr_Format(PyExc_TypeError, "resolve() argument 'active_turn_id' must be int or None, not %.200s",
                     Py_TYPE(active_turn_id)->tp_name);
        return nullptr;
    }
    if (preferred_task_type != Py_None && !PyUnicode_Check(preferred_task_type)) {
        PyErr_Format(PyExc_TypeError, "resolve() argument 'preferred_task_type' must be str or None, not %.200s",
                     Py_TYPE(preferred_task_type)->tp_name);
        return nullptr;
    }
    // 1. Empty message.
    if (is_blank(current_question)) return empty_message(current_question);

    // 2. Cards and the trimmed message.
    int given = aw::is_present(context_cards);
    if (given < 0) return nullptr;
    Ref none_given(given ? nullptr : PyList_New(0));
    if (!given && !none_given) return nullptr;
    // The stages run even without cards: the card limit is read (and checked) there.
    Ref normalized(stage(self, KEY("_normalize_cards"), {given ? context_cards : none_given.get()}));
    Ref cards(normalized ? stage(self, KEY("_recent_cards"), {normalized.get()}) : nullptr);
    if (!cards) return nullptr;
    Ref q(PyObject_CallMethodNoArgs(current_question, KEY("strip")));
    if (!q) return nullptr;
    Py_ssize_t n_cards = PyObject_Length(cards.get());
    if (n_cards < 0) return nullptr;

    // 3. No cards.
    if (n_cards == 0) {
        Ref suggestion(stage(self, KEY("_is_suggestion_request"), {q.get()}));
        int is_suggestion = suggestion ? PyObject_IsTrue(suggestion.get()) : -1;
        if (is_suggestion < 0) return nullptr;
        if (is_suggestion) {
            Ref r(new_resolution());
            Ref query(r ? stage(self, KEY("_limit_query_terms"), {q.get()}) : nullptr);
            Ref prefix(query ? str("Suggest possible analyses or next useful questions for: ") : nullptr);
            Ref resolved(prefix ? PyUnicode_Concat(prefix.get(), q.get()) : nullptr);
            if (!resolved) return nullptr;
            rec_set(r.get(), RES_CONTEXT_TYPE, str("suggestion_request"));
            rec_set(r.get(), RES_CURRENT_QUESTION, Py_NewRef(q.get()));
            rec_set(r.get(), RES_RESOLVED_QUESTION, resolved.release());
            rec_set(r.get(), RES_METADATA_SEARCH_QUERY, query.release());
            rec_set(r.get(), RES_CONFIDENCE, PyFloat_FromDouble(0.9));
            rec_set(r.get(), RES_REASON, str("User asked for suggestions with no prior context to anchor on."));
            rec_set(r.get(), RES_ROUTE, str("suggest"));
            return r.release();
        }
        Ref reason(str("No previous context cards available."));
        return reason ? fresh_resolution(Ref(lens_config(self)).get(), q.get(), nullptr, reason.get()) : nullptr;
    }

    // 4. Signals, all of them, in this order.
    Ref turn(stage(self, KEY("_detect_explicit_turn_reference"), {q.get()}));
    Ref artifact(turn ? stage(self, KEY("_detect_artifact_reference"), {q.get()}) : nullptr);
    Ref delta(artifact ? stage(self, KEY("_extract_intent_delta"), {q.get()}) : nullptr);
    Ref suggestion(delta ? stage(self, KEY("_is_suggestion_request"), {q.get()}) : nullptr);
    Ref followup(suggestion ? stage(self, KEY("_has_followup_signal"), {q.get()}) : nullptr);
    Ref modify(followup ? stage(self, KEY("_has_modify_signal"), {q.get(), delta.get()}) : nullptr);
    Ref complete(modify ? stage(self, KEY("_looks_like_complete_question"), {q.get()}) : nullptr);
    Ref ambiguous(complete ? stage(self, KEY("_has_ambiguous_reference"), {q.get()}) : nullptr);
    if (!ambiguous) return nullptr;

    // 5. Ranking.
    Ref candidates(stage(self, KEY("_rank_candidates"), {},
                         {{"current_question", q.get()}, {"cards", cards.get()}, {"explicit_turn_id", turn.get()},
                          {"explicit_artifact_ref", artifact.get()}, {"active_turn_id", active_turn_id},
                          {"preferred_task_type", preferred_task_type}}));
    if (!candidates) return nullptr;
    Py_ssize_t n_cand = PyObject_Length(candidates.get());
    if (n_cand < 0) return nullptr;
    Ref best(n_cand > 0 ? PySequence_GetItem(candidates.get(), 0) : Py_NewRef(Py_None));
    Ref second(best && n_cand > 1 ? PySequence_GetItem(candidates.get(), 1) : Py_XNewRef(best ? Py_None : nullptr));
    if (!second) return nullptr;

    // 6. Preliminary signals.
    Ref prelim(PyDict_New());
    if (!prelim) return nullptr;
    auto put = [&](const char* key, PyObject* v) {  // steals v
        Ref hold(v);
        return v && PyDict_SetItemString(prelim.get(), key, v) == 0;
    };
    auto candidate_map = [](PyObject* c) -> PyObject* {
        return c == Py_None ? Py_NewRef(Py_None) : PyObject_CallMethodNoArgs(c, KEY("to_dict"));
    };
    if (!put("explicit_turn_id", Py_NewRef(turn.get())) || !put("explicit_artifact_ref", Py_NewRef(artifact.get())) ||
        !put("suggestion", truth(suggestion.get())) || !put("followup_signal", truth(followup.get())) ||
        !put("modification_signal", truth(modify.get())) || !put("complete_question", truth(complete.get())) ||
        !put("ambiguous_reference", truth(ambiguous.get())) || !put("intent_delta", record_to_plain(delta.get())) ||
        !put("best_candidate", candidate_map(best.get())) || !put("second_candidate", candidate_map(second.get())))
        return nullptr;
    int is_suggestion = PyObject_IsTrue(suggestion.get());
    int is_followup = is_suggestion < 0 ? -1 : PyObject_IsTrue(followup.get());
    int is_modify = is_followup < 0 ? -1 : PyObject_IsTrue(modify.get());
    int is_complete = is_modify < 0 ? -1 : PyObject_IsTrue(complete.get());
    if (is_complete < 0) return nullptr;

    auto choose_base = [&]() {
        return stage(self, KEY("_choose_base_for_contextual_request"),
                     {best.get(), second.get(), q.get(), ambiguous.get()});
    };
    auto contextual = [&](const char* type, PyObject* base, PyObject* d, const char* route, const char* reason) {
        Ref t(str(type)), r(str(route)), why(str(reason));
        if (!t || !r || !why) return static_cast<PyObject*>(nullptr);
        return stage(self, KEY("_build_contextual_resolution"),
                     {t.get(), q.get(), base, d, candidates.get(), r.get(), why.get()});
    };
    auto clarify = [&](const char* reason, const char* question) -> PyObject* {
        Ref why(str(reason)), ask(str(question));
        if (!why || !ask) return nullptr;
        return clarify_resolution(Ref(lens_config(self)).get(), q.get(), candidates.get(), why.get(), ask.get());
    };

    // 7. Suggestion.
    if (is_suggestion) {
        Ref base(choose_base());
        if (!base) return nullptr;
        if (base.get() == Py_None)
            return clarify("Suggestion request was detected, but no clear base context was found.",
                           "Should I suggest from the latest result, or do you want suggestions for a new topic?");
        Ref suggest_delta(new_intent_delta());
        if (!suggest_delta) return nullptr;
        rec_set(suggest_delta.get(), DELTA_OPERATION, str("suggest"));
        return contextual("suggestion_request", base.get(), suggest_delta.get(), "suggest",
                          "User asked for suggestions or other possible insights.");
    }

    // 8. Explicit reference (an empty artifact text counts as found).
    if (turn.get() != Py_None || artifact.get() != Py_None) {
        int weak = 1;
        if (best.get() != Py_None) {
            Ref score(PyObject_GetAttr(best.get(), KEY("score")));
            Ref one(score ? PyFloat_FromDouble(1.0) : nullptr);
            weak = one ? PyObject_RichCompareBool(score.get(), one.get(), Py_LT) : -1;
        }
        if (weak < 0) return nullptr;
        if (weak)
            return clarify("Explicit reference was detected but no matching turn/artifact was found.",
                           "I could not find the referenced previous result. Which result should I use?");
        Ref r(contextual(is_modify ? "modify_previous_query" : "follow_up_specific_turn", best.get(), delta.get(),
                         "generate", "User referenced a specific previous turn or artifact."));
        return r ? finalize(self, r.get(), cards.get(), prelim.get()) : nullptr;
    }

    // 9. Follow-up or modification.
    if (is_followup || is_modify) {
        Ref base(choose_base());
        if (!base) return nullptr;
        if (base.get() == Py_None)
            return fallback_or_clarify(self, q.get(), cards.get(), prelim.get(), candidates.get(),
                                       "The question looks contextual, but the base turn is ambiguous.");
        Ref r(contextual(is_modify ? "modify_previous_query" : "follow_up_latest", base.get(), delta.get(), "generate",
                         "User message appears to modify or continue a previous result."));
        return r ? finalize(self, r.get(), cards.get(), prelim.get()) : nullptr;
    }

    // 10. A complete question of its own.
    if (is_complete) {
        Ref reason(str("Question appears complete and independent."));
        return reason ? fresh_resolution(Ref(lens_config(self)).get(), q.get(), candidates.get(), reason.get()) : nullptr;
    }

    // 11. Last resort.
    return fallback_or_clarify(self, q.get(), cards.get(), prelim.get(), candidates.get(),
                               "Question is too short or ambiguous to resolve confidently.");
}

PyObject* py_resolve(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"current_question", "context_cards", "active_turn_id", "preferred_task_type", nullptr};
    PyObject *question, *cards = Py_None, *active = Py_None, *preferred = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$OO:resolve", const_cast<char**>(kw), &question, &cards,
                                     &active, &preferred))
        return nullptr;
    return resolve(self, question, cards, active, preferred);
}

PyObject* py_finalize(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"resolution", "cards", "preliminary", nullptr};
    PyObject *resolution, *cards, *preliminary;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:_finalize_resolution", const_cast<char**>(kw), &resolution,
                                     &cards, &preliminary))
        return nullptr;
    if (!PyDict_Check(preliminary)) {
        PyErr_Format(PyExc_TypeError, "preliminary must be a dict, not %.200s", Py_TYPE(preliminary)->tp_name);
        return nullptr;
    }
    return finalize(self, resolution, cards, preliminary);
}

PyObject* py_resolve_context(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"current_question", "context_cards", "active_turn_id", "preferred_task_type", "config",
                               "llm_fallback", nullptr};
    PyObject *question, *cards = Py_None, *active = Py_None, *preferred = Py_None, *config = Py_None,
                        *fallback = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$OOOO:resolve_context", const_cast<char**>(kw), &question,
                                     &cards, &active, &preferred, &config, &fallback))
        return nullptr;
    Ref lens(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(TurnLensType), config, fallback, nullptr));
    return lens ? resolve(lens.get(), question, cards, active, preferred) : nullptr;
}


}  // namespace

PyMethodDef lens_driver_methods[] = {
    {"resolve", AW_KW(py_resolve),
     "resolve($self, /, current_question, context_cards=None, *, active_turn_id=None, preferred_task_type=None)\n"
     "--\n\nDecide what the message is, given the cards of earlier turns, and resolve it."},
    {"_finalize_resolution", AW_KW(py_finalize),
     "_finalize_resolution($self, /, resolution, cards, preliminary)\n--\n\n"
     "Let a low-confidence contextual result be replaced by the language model's answer."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef driver_functions[] = {
    {"resolve_context", AW_KW(py_resolve_context),
     "resolve_context($module, /, current_question, context_cards=None, *, active_turn_id=None, "
     "preferred_task_type=None, config=None, llm_fallback=None)\n--\n\n"
     "One-call context resolution with a fresh TurnLens(config, llm_fallback)."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace tl
