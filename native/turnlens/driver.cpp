// The resolution driver: the order of decisions of TurnLens.resolve, its
// fixed texts, finalization and the module function resolve_context.
#include "turnlens/turnlens.hpp"

#include "common/pytext.hpp"
#include "core/unicode.hpp"
#include "turnlens/modes.hpp"

#include <optional>

namespace tl {
using aw::Ref;

namespace {

// The stripped message, read once for every native detector.
class Message {
public:
    explicit Message(PyObject* q) : q_(q) {}
    // Its text when it is a str (else the stage's TypeError).
    MessageText* text(const char* stage_name) {
        if (!require_str(q_, stage_name, "question")) return nullptr;
        if (!m_) m_.emplace(q_);
        return &*m_;
    }

private:
    PyObject* q_;
    std::optional<MessageText> m_;
};

template <bool (*F)(MessageText&)>
PyObject* flag(Message& msg, const char* stage_name) {
    MessageText* m = msg.text(stage_name);
    return m ? PyBool_FromLong(F(*m)) : nullptr;
}

PyObject* bool_or_error(int r) { return r < 0 ? nullptr : PyBool_FromLong(r); }

PyObject* try_fallback(PyObject* self, PyObject* q, PyObject* cards, PyObject* preliminary) {
    return run_stage(self, STAGE_TRY_LLM_FALLBACK, {q, cards, preliminary},
                     [&] { return try_llm_fallback(self, q, cards, preliminary); });
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
    Ref answer(question ? try_fallback(self, question.get(), cards, copy.get()) : nullptr);
    if (!answer) return nullptr;
    return answer.get() == Py_None ? Py_NewRef(resolution) : answer.release();
}

PyObject* finalize_stage(PyObject* self, PyObject* resolution, PyObject* cards, PyObject* preliminary) {
    return run_stage(self, STAGE_FINALIZE_RESOLUTION, {resolution, cards, preliminary},
                     [&] { return finalize(self, resolution, cards, preliminary); });
}

PyObject* clarify_stage(PyObject* self, PyObject* q, PyObject* candidates, PyObject* reason, PyObject* question) {
    return run_stage(self, STAGE_CLARIFY, {q, candidates, reason, question},
                     [&] { return clarify_resolution(self, q, candidates, reason, question); });
}

// candidates null: the fresh outcome without them.
PyObject* fresh_stage(PyObject* self, PyObject* q, PyObject* candidates, const char* reason) {
    Ref why(str(reason));
    if (!why) return nullptr;
    auto native = [&] { return fresh_resolution(self, q, candidates, why.get()); };
    if (!candidates) return run_stage(self, STAGE_FRESH, {q}, native, {{"reason", why.get()}});
    return run_stage(self, STAGE_FRESH, {q}, native, {{"candidates", candidates}, {"reason", why.get()}});
}

// The model's answer when the fallback gives one, else the clarification.
PyObject* fallback_or_clarify(PyObject* self, PyObject* q, PyObject* cards, PyObject* preliminary,
                              PyObject* candidates, const char* reason) {
    Ref answer(try_fallback(self, q, cards, preliminary));
    if (!answer) return nullptr;
    if (answer.get() != Py_None) return answer.release();
    Ref question(run_stage(self, STAGE_BUILD_AMBIGUITY_QUESTION, {candidates},
                           [&] { return build_ambiguity_question(candidates); }));
    Ref why(question ? str(reason) : nullptr);
    return why ? clarify_stage(self, q, candidates, why.get(), question.get()) : nullptr;
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
    PyObject* given_cards = given ? context_cards : none_given.get();
    Ref normalized(run_stage(self, STAGE_NORMALIZE_CARDS, {given_cards}, [&] { return normalize_cards(given_cards); }));
    Ref cards(normalized ? run_stage(self, STAGE_RECENT_CARDS, {normalized.get()},
                                     [&]() -> PyObject* {
                                         Ref config(lens_config(self));
                                         return config ? recent_cards(config.get(), normalized.get()) : nullptr;
                                     })
                         : nullptr);
    if (!cards) return nullptr;
    Ref q(PyObject_CallMethodNoArgs(current_question, KEY("strip")));
    if (!q) return nullptr;
    Py_ssize_t n_cards = PyObject_Length(cards.get());
    if (n_cards < 0) return nullptr;
    Message msg(q.get());
    auto is_suggestion_stage = [&] {
        return run_stage(self, STAGE_IS_SUGGESTION_REQUEST, {q.get()},
                         [&] { return flag<is_suggestion_request>(msg, "_is_suggestion_request"); });
    };

    // 3. No cards.
    if (n_cards == 0) {
        Ref suggestion(is_suggestion_stage());
        int is_suggestion = suggestion ? PyObject_IsTrue(suggestion.get()) : -1;
        if (is_suggestion < 0) return nullptr;
        if (is_suggestion) {
            Ref r(new_resolution());
            Ref query(r ? limit_terms_stage(self, q.get()) : nullptr);
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
        return fresh_stage(self, q.get(), nullptr, "No previous context cards available.");
    }

    // 4. Signals, all of them, in this order.
    Ref turn(run_stage(self, STAGE_DETECT_EXPLICIT_TURN_REFERENCE, {q.get()}, [&]() -> PyObject* {
        MessageText* m = msg.text("_detect_explicit_turn_reference");
        return m ? detect_explicit_turn_reference(*m) : nullptr;
    }));
    Ref artifact(turn ? run_stage(self, STAGE_DETECT_ARTIFACT_REFERENCE, {q.get()},
                                  [&]() -> PyObject* {
                                      MessageText* m = msg.text("_detect_artifact_reference");
                                      return m ? detect_artifact_reference(*m) : nullptr;
                                  })
                      : nullptr);
    Ref delta(artifact ? run_stage(self, STAGE_EXTRACT_INTENT_DELTA, {q.get()},
                                   [&]() -> PyObject* {
                                       return require_str(q.get(), "_extract_intent_delta", "question")
                                                  ? extract_intent_delta(self, q.get())
                                                  : nullptr;
                                   })
                       : nullptr);
    Ref suggestion(delta ? is_suggestion_stage() : nullptr);
    Ref followup(suggestion ? run_stage(self, STAGE_HAS_FOLLOWUP_SIGNAL, {q.get()},
                                        [&] { return flag<has_followup_signal>(msg, "_has_followup_signal"); })
                            : nullptr);
    Ref modify(followup ? run_stage(self, STAGE_HAS_MODIFY_SIGNAL, {q.get(), delta.get()},
                                    [&]() -> PyObject* {
                                        // never lowercased, so any value is read through its plain text
                                        if (PyUnicode_CheckExact(q.get())) {
                                            MessageText* m = msg.text("_has_modify_signal");
                                            return m ? bool_or_error(has_modify_signal(*m, delta.get())) : nullptr;
                                        }
                                        Ref text(q.get() == Py_None ? aw::new_str("") : plain_text(q.get()));
                                        if (!text) return nullptr;
                                        MessageText m(text.get());
                                        return bool_or_error(has_modify_signal(m, delta.get()));
                                    })
                        : nullptr);
    Ref complete(modify ? run_stage(self, STAGE_LOOKS_LIKE_COMPLETE_QUESTION, {q.get()},
                                    [&]() -> PyObject* {
                                        MessageText* m = msg.text("_looks_like_complete_question");
                                        Ref config(m ? PyObject_GetAttr(self, KEY("config")) : nullptr);
                                        return config ? bool_or_error(looks_like_complete_question(
                                                            self, config.get(), *m, q.get()))
                                                      : nullptr;
                                    })
                        : nullptr);
    Ref ambiguous(complete ? run_stage(self, STAGE_HAS_AMBIGUOUS_REFERENCE, {q.get()},
                                       [&]() -> PyObject* {
                                           MessageText* m = msg.text("_has_ambiguous_reference");
                                           return m ? has_ambiguous_reference(self, *m, q.get()) : nullptr;
                                       })
                           : nullptr);
    if (!ambiguous) return nullptr;

    // 5. Ranking.
    Ref candidates(run_stage(
        self, STAGE_RANK_CANDIDATES, {},
        [&]() -> PyObject* {
            Ref config(PyObject_GetAttr(self, KEY("config")));
            return config ? rank_candidates(self, config.get(), q.get(), cards.get(), turn.get(), artifact.get(),
                                            active_turn_id, preferred_task_type)
                          : nullptr;
        },
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
        Ref k(v ? Py_XNewRef(aw::interned(key)) : nullptr);
        return k && PyDict_SetItem(prelim.get(), k.get(), v) == 0;
    };
    auto candidate_map = [](PyObject* c) -> PyObject* {
        return c == Py_None ? Py_NewRef(Py_None) : PyObject_CallMethodNoArgs(c, KEY("to_dict"));
    };
    if (!put("explicit_turn_id", Py_NewRef(turn.get())) || !put("explicit_artifact_ref", Py_NewRef(artifact.get())) ||
        !put("suggestion", Py_NewRef(suggestion.get())) || !put("followup_signal", Py_NewRef(followup.get())) ||
        !put("modification_signal", Py_NewRef(modify.get())) || !put("complete_question", Py_NewRef(complete.get())) ||
        !put("ambiguous_reference", Py_NewRef(ambiguous.get())) || !put("intent_delta", record_to_plain(delta.get())) ||
        !put("best_candidate", candidate_map(best.get())) || !put("second_candidate", candidate_map(second.get())))
        return nullptr;
    int is_suggestion = PyObject_IsTrue(suggestion.get());
    int is_followup = is_suggestion < 0 ? -1 : PyObject_IsTrue(followup.get());
    int is_modify = is_followup < 0 ? -1 : PyObject_IsTrue(modify.get());
    int is_complete = is_modify < 0 ? -1 : PyObject_IsTrue(complete.get());
    if (is_complete < 0) return nullptr;

    auto choose_base = [&]() {
        return run_stage(self, STAGE_CHOOSE_BASE, {best.get(), second.get(), q.get(), ambiguous.get()},
                         [&]() -> PyObject* {
                             Ref config(PyObject_GetAttr(self, KEY("config")));
                             return config ? tl::choose_base(self, config.get(), best.get(), second.get(), q.get(),
                                                             ambiguous.get())
                                           : nullptr;
                         });
    };
    auto contextual = [&](const char* type, PyObject* base, PyObject* d, const char* route, const char* reason) {
        Ref t(str(type)), r(str(route)), why(str(reason));
        if (!t || !r || !why) return static_cast<PyObject*>(nullptr);
        return run_stage(self, STAGE_BUILD_CONTEXTUAL_RESOLUTION,
                         {t.get(), q.get(), base, d, candidates.get(), r.get(), why.get()}, [&] {
                             return build_contextual_resolution(self, t.get(), q.get(), base, d, candidates.get(),
                                                                r.get(), why.get());
                         });
    };
    auto clarify = [&](const char* reason, const char* question) -> PyObject* {
        Ref why(str(reason)), ask(str(question));
        if (!why || !ask) return nullptr;
        return clarify_stage(self, q.get(), candidates.get(), why.get(), ask.get());
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

    // Opt-in modes. The topic gate keeps a message without any tie to the
    // cards fresh; either mode lets a message that reads as a follow-up
    // continue the best base where the rules would leave it fresh or unresolved.
    const LensObject* lo = reinterpret_cast<LensObject*>(self);
    const bool gate = lo->topic_gate, merging = lo->merge_followups;
    unsigned kinds = 0;
    bool have_kinds = false;
    auto evidence = [&]() -> bool {
        if (have_kinds) return true;
        if (modes::followup_evidence(q.get(), gate ? cards.get() : nullptr, kinds) < 0) return false;
        have_kinds = true;
        return true;
    };
    if (gate && turn.get() == Py_None) {
        if (!evidence()) return nullptr;
        if (!kinds && artifact.get() != Py_None) {
            int matched = modes::reference_matches_any(artifact.get(), cards.get());
            if (matched < 0) return nullptr;
            if (matched) kinds |= modes::EV_REFERENCE;
        }
        if (!kinds)
            return fresh_stage(self, q.get(), candidates.get(), "Question shares nothing with the earlier turns.");
    }
    // A resolution, None when the message is left to the rules, nullptr on error.
    auto promoted = [&]() -> PyObject* {
        if (!gate && !merging) return Py_NewRef(Py_None);
        if (!evidence()) return nullptr;
        if (!(kinds & (gate ? ~0u : modes::kShortFollowup))) return Py_NewRef(Py_None);
        Ref base(choose_base());
        if (!base || base.get() == Py_None) return base.release();
        Ref r(contextual("follow_up_latest", base.get(), delta.get(), "generate",
                         "Message reads as a follow-up of an earlier turn."));
        return r ? finalize_stage(self, r.get(), cards.get(), prelim.get()) : nullptr;
    };

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
        return r ? finalize_stage(self, r.get(), cards.get(), prelim.get()) : nullptr;
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
        return r ? finalize_stage(self, r.get(), cards.get(), prelim.get()) : nullptr;
    }

    // 10. A complete question of its own.
    if (is_complete) {
        Ref follow(promoted());
        if (!follow) return nullptr;
        if (follow.get() != Py_None) return follow.release();
        return fresh_stage(self, q.get(), candidates.get(), "Question appears complete and independent.");
    }

    // 11. Last resort.
    Ref follow(promoted());
    if (!follow) return nullptr;
    if (follow.get() != Py_None) return follow.release();
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
                               "llm_fallback", "topic_gate", "merge_followups", nullptr};
    PyObject *question, *cards = Py_None, *active = Py_None, *preferred = Py_None, *config = Py_None,
                        *fallback = Py_None;
    int topic_gate = 0, merge_followups = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$OOOOpp:resolve_context", const_cast<char**>(kw), &question,
                                     &cards, &active, &preferred, &config, &fallback, &topic_gate, &merge_followups))
        return nullptr;
    Ref lens(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(TurnLensType), config, fallback, nullptr));
    if (lens) {  // the modes, set as the constructor would
        reinterpret_cast<LensObject*>(lens.get())->topic_gate = static_cast<char>(topic_gate);
        reinterpret_cast<LensObject*>(lens.get())->merge_followups = static_cast<char>(merge_followups);
    }
    return lens ? resolve(lens.get(), question, cards, active, preferred) : nullptr;
}


}  // namespace

PyMethodDef lens_driver_methods[] = {
    {"resolve", AW_KW(py_resolve),
     "resolve($self, /, current_question, context_cards=None, *, active_turn_id=None, preferred_task_type=None)\n"
     "--\n\n"
     "Decide what the message is, given the cards of earlier turns, and resolve it.\n"
     "\n"
     "Args:\n"
     "    current_question: The user's new message.\n"
     "    context_cards: Cards of earlier turns, TurnContextCard records or\n"
     "        maps with their field names; other items are skipped. Only\n"
     "        the active cards (all, when none is active) with the newest\n"
     "        max_recent_cards turn ids count. Default None: no cards.\n"
     "    active_turn_id: The turn the user is looking at; its card ranks\n"
     "        higher. Default None.\n"
     "    preferred_task_type: Cards of this task_type rank higher.\n"
     "        Default None.\n"
     "\n"
     "Returns:\n"
     "    A new ContextResolution. A blank message gives\n"
     "    \"clarification_needed\" with route \"clarify\"; without cards a\n"
     "    message is a \"fresh_question\" (or a \"suggestion_request\").\n"
     "\n"
     "Raises:\n"
     "    TypeError: current_question is not a str, active_turn_id is not\n"
     "        an int or None, preferred_task_type is not a str or None, or\n"
     "        a card map has a key that is not a card field or no\n"
     "        \"turn_id\"."},
    {"_finalize_resolution", AW_KW(py_finalize),
     "_finalize_resolution($self, /, resolution, cards, preliminary)\n--\n\n"
     "Let a low-confidence contextual result be replaced by the language model's answer."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef driver_functions[] = {
    {"resolve_context", AW_KW(py_resolve_context),
     "resolve_context($module, /, current_question, context_cards=None, *, active_turn_id=None, "
     "preferred_task_type=None, config=None, llm_fallback=None, topic_gate=False, merge_followups=False)\n--\n\n"
     "One-call context resolution with a fresh TurnLens(config, llm_fallback).\n"
     "\n"
     "The same as TurnLens(config, llm_fallback, topic_gate=...,\n"
     "merge_followups=...).resolve(current_question, context_cards,\n"
     "active_turn_id=..., preferred_task_type=...); see TurnLens.resolve for\n"
     "the arguments and errors and TurnLens for the modes and the callback's\n"
     "contract. context_cards, active_turn_id, preferred_task_type, config and\n"
     "llm_fallback default to None, topic_gate and merge_followups to False."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace tl
