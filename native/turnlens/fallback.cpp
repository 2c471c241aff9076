// The caller's language-model fallback: when it is asked, what it receives,
// and how its answer becomes a resolution. Whatever goes wrong inside the
// callback or with its answer leaves the rule-based resolution in place.
#include "turnlens/turnlens.hpp"

#include "common/pytext.hpp"

namespace tl {
using aw::Ref;

namespace {

// Swallows an ordinary error (returning None) and logs it; interruptions and
// exit requests keep propagating.
#if PY_VERSION_HEX >= 0x030C0000
// From 3.12 a raise extends the instance's own traceback in place: take off
// the entries of frames run under this call (each one's f_back the previous).
void drop_added_traceback(PyObject* exc, PyFrameObject* caller) {
    PyObject* tb = PyException_GetTraceback(exc);
    PyObject* keep = tb;
    PyFrameObject* prev = caller;
    while (keep && keep != Py_None) {
        PyFrameObject* f = reinterpret_cast<PyTracebackObject*>(keep)->tb_frame;
        PyFrameObject* back = PyFrame_GetBack(f);
        Py_XDECREF(back);
        if (back != prev) break;
        prev = f;
        keep = reinterpret_cast<PyObject*>(reinterpret_cast<PyTracebackObject*>(keep)->tb_next);
    }
    if (keep != tb) PyException_SetTraceback(exc, keep ? keep : Py_None);
    Py_XDECREF(tb);
}
#endif

PyObject* absorbed(const char* what, PyFrameObject* caller) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    aw::log_at_exc(aw::LOG_WARNING, "language-model fallback %s; the rule-based resolution stands", what);
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (exc) drop_added_traceback(exc, caller);
    Py_XDECREF(exc);
#else
    (void)caller;
    PyErr_Clear();
#endif
    Py_RETURN_NONE;
}

// The first max_cards_for_llm_fallback cards: all when absent, none when
// negative.
PyObject* cards_to_summarize(PyObject* config, PyObject* cards) {
    Ref limit(config_field(config, CFG_MAX_CARDS_FOR_LLM_FALLBACK));
    if (!limit) return nullptr;
    if (limit.get() == Py_None) return PySequence_List(cards);
    Ref zero(PyLong_FromLong(0));
    int negative = zero ? PyObject_RichCompareBool(limit.get(), zero.get(), Py_LT) : -1;
    if (negative < 0) return nullptr;
    if (negative) return PyList_New(0);
    if (!PyIndex_Check(limit.get())) {
        PyErr_SetString(PyExc_TypeError, "slice indices must be integers or None or have an __index__ method");
        return nullptr;
    }
    Ref i(PyNumber_Index(limit.get()));
    Py_ssize_t n = i ? PyNumber_AsSsize_t(i.get(), nullptr) : -1;
    if (PyErr_Occurred()) return nullptr;
    Ref head(PySequence_GetSlice(cards, 0, n));
    return head ? PySequence_List(head.get()) : nullptr;
}

// data[key] after data.get(key) said it is there (one read for exact dicts).
PyObject* item(PyObject* data, PyObject* key, PyObject* got) {
    if (PyDict_CheckExact(data)) return Py_NewRef(got);
    return PyObject_GetItem(data, key);
}

}  // namespace

PyObject* resolution_from_llm_dict(PyObject* lens, PyObject* current_question, PyObject* data, PyObject* cards) {
    if (!PyDict_Check(data)) {
        PyErr_Format(PyExc_TypeError, "fallback answer must be a dict, not %.200s", Py_TYPE(data)->tp_name);
        return nullptr;
    }
    auto get = [&](const char* k, Ref& out) {
        Ref key = Ref::borrow(aw::interned(k));
        out = Ref(key ? state_lookup(data, key.get()) : nullptr);
        return bool(out);
    };
    auto given = [&](const char* k, Ref& out) -> int {  // present and not None: data[k] in out
        Ref got;
        if (!get(k, got)) return -1;
        if (got.get() == Py_None) return 0;
        Ref key = Ref::borrow(aw::interned(k));
        out = Ref(key ? item(data, key.get(), got.get()) : nullptr);
        return out ? 1 : -1;
    };
    auto truthy_or = [](Ref& v, PyObject* otherwise) -> bool {  // v = v or otherwise (steals otherwise)
        Ref o(otherwise);
        int t = PyObject_IsTrue(v.get());
        if (t < 0 || !o) return false;
        if (!t) v = o;
        return true;
    };

    Ref base_turn_id;
    if (!get("base_turn_id", base_turn_id)) return nullptr;
    Ref base_card;
    if (base_turn_id.get() != Py_None &&
        !for_each_item(cards, [&](PyObject* card) {
            Ref id(card_field(card, CARD_TURN_ID));
            int eq = id ? aw::py_compare(id.get(), base_turn_id.get(), Py_EQ) : -1;
            if (eq > 0) base_card = Ref::borrow(card);
            return eq < 0 ? -1 : eq ? 0 : 1;
        }))
        return nullptr;

    Ref raw_delta, delta;
    if (!get("intent_delta", raw_delta)) return nullptr;
    if (PyDict_Check(raw_delta.get())) {
        // IntentDelta(**raw_delta): an unknown key makes the answer unusable
        Ref kwargs(PyDict_New());
        Ref args(kwargs ? PyTuple_New(0) : nullptr);
        if (!args || PyDict_Merge(kwargs.get(), raw_delta.get(), 1) < 0) return nullptr;
        delta = Ref(PyObject_Call(reinterpret_cast<PyObject*>(IntentDeltaType), args.get(), kwargs.get()));
    } else {
        delta = Ref(new_intent_delta());
    }
    if (!delta) return nullptr;

    Ref context_type, tables, columns;
    if (!get("context_type", context_type) || !truthy_or(context_type, PyUnicode_FromString("clarification_needed")))
        return nullptr;
    if (!get("required_tables", tables) || !truthy_or(tables, PyList_New(0))) return nullptr;
    tables = Ref(PySequence_List(tables.get()));
    if (!tables || !get("required_columns", columns) || !truthy_or(columns, PyDict_New())) return nullptr;
    if (base_card && PyList_GET_SIZE(tables.get()) == 0) {
        int other = PyObject_RichCompareBool(context_type.get(), KEY("fresh_question"), Py_NE);
        if (other < 0) return nullptr;
        if (other) {
            Ref pair(run_stage(lens, STAGE_CONSTRAINTS_FROM_BASE, {base_card.get(), delta.get()},
                               [&]() -> PyObject* {
                                   Ref config(lens_config(lens));  // as the callback left it
                                   return config ? constraints_from_base(config.get(), base_card.get(), delta.get())
                                                 : nullptr;
                               }));
            if (!pair || !unpack_pair(pair.get(), tables, columns)) return nullptr;
        }
    }

    Ref v;
    int g = given("use_previous_state", v);
    if (g < 0) return nullptr;
    int use_previous = g ? PyObject_IsTrue(v.get()) : base_turn_id.get() != Py_None;
    if (use_previous < 0) return nullptr;

    Ref anchors;
    if (!get("anchor_metadata_ids", v)) return nullptr;
    int t = PyObject_IsTrue(v.get());
    if (t < 0) return nullptr;
    if (t) {
        Ref key = Ref::borrow(aw::interned("anchor_metadata_ids"));
        Ref ids(key ? item(data, key.get(), v.get()) : nullptr);
        anchors = Ref(ids ? PySequence_List(ids.get()) : nullptr);
    } else if (base_card) {
        Ref ids(card_field(base_card.get(), CARD_SELECTED_METADATA_IDS));
        t = ids ? PyObject_IsTrue(ids.get()) : -1;
        if (t < 0) return nullptr;
        anchors = Ref(t ? PySequence_List(ids.get()) : PyList_New(0));
    } else {
        anchors = Ref(PyList_New(0));
    }
    if (!anchors) return nullptr;

    Ref resolved, query;
    if (!get("resolved_question", resolved) || !truthy_or(resolved, Py_NewRef(current_question))) return nullptr;
    if (!get("metadata_search_query", query)) return nullptr;
    t = PyObject_IsTrue(query.get());
    if (t < 0) return nullptr;
    if (!t && (!get("resolved_question", query) || !truthy_or(query, Py_NewRef(current_question)))) return nullptr;

    Ref allow, confidence, reason, clarification, route, extra;
    g = given("allow_related_tables", v);
    if (g < 0) return nullptr;
    int allow_t = g ? PyObject_IsTrue(v.get()) : 1;
    if (allow_t < 0) return nullptr;
    g = given("confidence", v);
    if (g < 0) return nullptr;
    confidence = Ref(g ? PyNumber_Float(v.get()) : PyFloat_FromDouble(0.5));
    if (!confidence) return nullptr;
    g = given("reason", reason);
    if (g < 0) return nullptr;
    if (!g) reason = Ref(PyUnicode_FromString("LLM fallback resolution."));
    if (!reason || !get("clarification_question", clarification)) return nullptr;
    g = given("route", route);
    if (g < 0) return nullptr;
    if (!g) route = Ref(PyUnicode_FromString("generate"));
    g = route ? given("extra", extra) : -1;
    if (g < 0) return nullptr;
    if (!g) extra = Ref(PyDict_New());
    if (!extra) return nullptr;

    Ref r(new_resolution());
    if (!r) return nullptr;
    PyObject* rec = r.get();
    rec_set(rec, RES_CONTEXT_TYPE, context_type.release());
    rec_set(rec, RES_CURRENT_QUESTION, Py_NewRef(current_question));
    rec_set(rec, RES_RESOLVED_QUESTION, resolved.release());
    rec_set(rec, RES_METADATA_SEARCH_QUERY, query.release());
    rec_set(rec, RES_BASE_TURN_ID, base_turn_id.release());
    rec_set(rec, RES_USE_PREVIOUS_STATE, PyBool_FromLong(use_previous));
    rec_set(rec, RES_INTENT_DELTA, delta.release());
    rec_set(rec, RES_REQUIRED_TABLES, tables.release());
    rec_set(rec, RES_REQUIRED_COLUMNS, columns.release());
    rec_set(rec, RES_ANCHOR_METADATA_IDS, anchors.release());
    rec_set(rec, RES_ALLOW_RELATED_TABLES, PyBool_FromLong(allow_t));
    rec_set(rec, RES_CONFIDENCE, confidence.release());
    rec_set(rec, RES_REASON, reason.release());
    rec_set(rec, RES_CLARIFICATION_QUESTION, clarification.release());
    rec_set(rec, RES_ROUTE, route.release());
    rec_set(rec, RES_EXTRA, extra.release());
    return r.release();
}

PyObject* try_llm_fallback(PyObject* lens, PyObject* current_question, PyObject* cards, PyObject* preliminary) {
    // Strong references to everything used across the call: the callback
    // may call back into the resolver or replace its settings.
    Ref config(lens_config(lens));
    if (!config) return nullptr;
    Ref callback(lens_fallback(lens));
    Ref use(config_field(config.get(), CFG_USE_LLM_FALLBACK));
    int on = use ? PyObject_IsTrue(use.get()) : -1;
    if (on < 0) return nullptr;
    if (!on || callback.get() == Py_None) Py_RETURN_NONE;

    Ref hold_q = Ref::borrow(current_question), hold_cards = Ref::borrow(cards), hold_pre = Ref::borrow(preliminary);
    Ref chosen(cards_to_summarize(config.get(), cards));
    Ref summaries(chosen ? PyList_New(0) : nullptr);
    if (!summaries || !for_each_item(chosen.get(), [&](PyObject* card) {
            Ref s(PyObject_CallMethodNoArgs(card, KEY("to_resolver_summary")));
            return s && PyList_Append(summaries.get(), s.get()) == 0 ? 1 : -1;
        }))
        return nullptr;

    PyObject* argv[] = {current_question, summaries.get(), preliminary};
    PyFrameObject* caller = PyEval_GetFrame();
    Ref answer(PyObject_Vectorcall(callback.get(), argv, 3, nullptr));
    if (!answer) return absorbed("raised", caller);
    // An answer whose truth value cannot even be taken is as unusable as
    // any other.
    int t = PyObject_IsTrue(answer.get());
    if (t < 0) return absorbed("gave an answer without a truth value", caller);
    if (!t) Py_RETURN_NONE;
    PyObject* r = run_stage(lens, STAGE_RESOLUTION_FROM_LLM_DICT, {current_question, answer.get(), cards},
                            [&] { return resolution_from_llm_dict(lens, current_question, answer.get(), cards); });
    return r ? r : absorbed("gave an unusable answer", caller);
}

namespace {


PyObject* py_try_llm_fallback(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"current_question", "cards", "preliminary", nullptr};
    PyObject *cq, *cards, *preliminary;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:_try_llm_fallback", const_cast<char**>(kw), &cq, &cards,
                                     &preliminary))
        return nullptr;
    return try_llm_fallback(self, cq, cards, preliminary);
}

PyObject* py_resolution_from_llm_dict(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"current_question", "data", "cards", nullptr};
    PyObject *cq, *data, *cards;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:_resolution_from_llm_dict", const_cast<char**>(kw), &cq,
                                     &data, &cards))
        return nullptr;
    return resolution_from_llm_dict(self, cq, data, cards);
}

}  // namespace

PyMethodDef lens_fallback_methods[] = {
    {"_try_llm_fallback", AW_KW(py_try_llm_fallback),
     "_try_llm_fallback($self, /, current_question, cards, preliminary)\n--\n\n"
     "The callback's resolution, or None when it is off, missing, fails or gives nothing usable."},
    {"_resolution_from_llm_dict", AW_KW(py_resolution_from_llm_dict),
     "_resolution_from_llm_dict($self, /, current_question, data, cards)\n--\n\n"
     "A resolution from the callback's answer; raises on unusable data."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace tl
