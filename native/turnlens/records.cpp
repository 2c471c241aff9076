// Turn context records: the memory card of an earlier turn, the ranked
// candidate, the intent delta and the resolution, with their conversions.
#include "turnlens/turnlens.hpp"

#include "common/asdict.hpp"

#include "common/pytext.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unordered_set>

namespace tl {
using aw::Ref;

PyTypeObject* TurnContextCardType;
PyTypeObject* ContextCandidateType;
PyTypeObject* IntentDeltaType;
PyTypeObject* ContextResolutionType;

const char* const kCardFieldNames[CARD_COUNT] = {
    "turn_id", "session_id", "tenant_id", "user_question", "resolved_question", "assistant_answer_summary",
    "task_type", "artifact_type", "artifact_id", "artifact_label", "topic_keywords", "entities",
    "selected_metadata_ids", "query_state", "retrieval_state", "output_state", "sql", "config",
    "answer_excerpt", "created_at_ms", "quality_score", "is_active", "extra"};

void rec_set(PyObject* rec, int i, PyObject* v) {
    Py_XSETREF(reinterpret_cast<aw::RecordObject*>(rec)->f[i], v);
}

PyObject* field(PyObject* obj, PyTypeObject* type, int index, const char* name) {
    if (type && aw::rec_check(obj, type)) {
        PyObject* v = aw::rec_get(obj, index);
        return v ? Py_NewRef(v) : nullptr;
    }
    return PyObject_GetAttrString(obj, name);
}

namespace {

Keep s_candidates, s_to_dict;
Keep s_active_tables, s_tables, s_active_columns, s_columns, s_required_columns, s_columns_by_table;
Keep s_round;
Keep s_empty_tuple;
initproc g_record_init = nullptr;

const char* const kStateKeys[] = {
    "active_tables", "tables", "metrics", "dimensions", "date_columns", "active_columns", "group_by", "filters",
    "granularity", "aggregation", "sort", "limit", "document_type", "document_subtype", "project_name", "topics",
    "source_chunk_ids", "chart_type", "x_axis", "y_axis", "series"};
Keep s_state_keys[std::size(kStateKeys)];

// ------------------------------------------------------------ construction

// 1 when the call gave the field (by position or by name), 0 when not, -1 on error.
int supplied(PyObject* args, PyObject* kwargs, int index, PyObject* name) {
    if (PyTuple_GET_SIZE(args) > index) return 1;
    return kwargs ? PyDict_Contains(kwargs, name) : 0;
}

// Records whose default is computed per instance: the shared record
// constructor runs first, then the default replaces its placeholder.
int card_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (g_record_init(self, args, kwargs) < 0) return -1;
    int given = supplied(args, kwargs, CARD_CREATED_AT_MS, KEY("created_at_ms"));
    if (given < 0) return -1;
    if (!given) {
        PyObject* now = PyLong_FromLongLong(now_ms());
        if (!now) return -1;
        rec_set(self, CARD_CREATED_AT_MS, now);
    }
    return 0;
}

int resolution_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (g_record_init(self, args, kwargs) < 0) return -1;
    int given = supplied(args, kwargs, RES_INTENT_DELTA, KEY("intent_delta"));
    if (given < 0) return -1;
    if (!given) {
        PyObject* delta = new_intent_delta();
        if (!delta) return -1;
        rec_set(self, RES_INTENT_DELTA, delta);
    }
    return 0;
}

PyObject* wrap_init(PyObject* self, PyObject* args, void* wrapped, PyObject* kwargs) {
    if (reinterpret_cast<initproc>(wrapped)(self, args, kwargs) < 0) return nullptr;
    Py_RETURN_NONE;
}

struct wrapperbase g_init_base = {
    "__init__", offsetof(PyTypeObject, tp_init), nullptr,
    reinterpret_cast<wrapperfunc>(reinterpret_cast<void*>(wrap_init)),
    "Initialize self.  See help(type(self)) for accurate signature.", PyWrapperFlag_KEYWORDS, nullptr};

// Replaces the type's constructor, for direct calls and for __init__ alike.
bool install_init(PyTypeObject* type, initproc init) {
    g_record_init = type->tp_init;
    type->tp_init = init;
    Ref descr(PyDescr_NewWrapper(type, &g_init_base, reinterpret_cast<void*>(init)));
    if (!descr || PyDict_SetItemString(type->tp_dict, "__init__", descr.get()) < 0) return false;
    PyType_Modified(type);
    return true;
}

// ------------------------------------------------------------ helpers

// `state.get(a) or state.get(b)`; new reference.
PyObject* first_truthy(PyObject* state, const Keep& a, const Keep& b) {
    Ref v(state_lookup(state, a.get()));
    if (!v) return nullptr;
    int t = PyObject_IsTrue(v.get());
    if (t < 0) return nullptr;
    if (t) return v.release();
    return state_lookup(state, b.get());
}

// list(state.get(a) or state.get(b) or [])
PyObject* list_from_state(PyObject* card, const Keep& a, const Keep& b) {
    Ref state(card_state(card));
    Ref v(state ? first_truthy(state.get(), a, b) : nullptr);
    if (!v) return nullptr;
    int t = PyObject_IsTrue(v.get());
    if (t < 0) return nullptr;
    return t ? PySequence_List(v.get()) : PyList_New(0);
}

// " ".join(seq) as UTF-8.
bool join_append(PyObject* seq, std::string& out) {
    return aw::for_each_join_item(seq, [&](Py_ssize_t i, PyObject* item) {
        if (i) out.push_back(' ');
        aw::append_str(out, item);
    });
}

PyObject* round6(PyObject* v) {
    if (PyFloat_CheckExact(v)) {
        double x = PyFloat_AS_DOUBLE(v);
        if (!std::isfinite(x)) return PyFloat_FromDouble(x);
        // correctly rounded decimal text, read back: the host's own method
        char* text = PyOS_double_to_string(x, 'f', 6, 0, nullptr);
        if (!text) return nullptr;
        double rounded = PyOS_string_to_double(text, nullptr, nullptr);
        PyMem_Free(text);
        if (rounded == -1.0 && PyErr_Occurred()) return nullptr;
        return PyFloat_FromDouble(rounded);
    }
    return PyObject_CallFunction(s_round.get(), "Oi", v, 6);
}

// ------------------------------------------------------------ TurnContextCard

PyObject* card_searchable_text_py(PyObject* self, PyObject*) {
    std::string out;
    if (!card_searchable_text(self, out)) return nullptr;
    return aw::new_str(out);
}

PyObject* card_tokens_py(PyObject* self, PyObject*) {
    std::string buf;
    std::vector<std::string_view> tokens;
    if (!card_tokens(self, buf, tokens)) return nullptr;
    return str_list(tokens);
}

PyObject* card_active_tables(PyObject* self, PyObject*) { return list_from_state(self, s_active_tables, s_tables); }
PyObject* card_active_columns(PyObject* self, PyObject*) {
    return list_from_state(self, s_active_columns, s_columns);
}

PyObject* card_required_columns_by_table(PyObject* self, PyObject*) {
    Ref state(card_state(self));
    Ref value(state ? first_truthy(state.get(), s_required_columns, s_columns_by_table) : nullptr);
    if (!value) return nullptr;
    Ref out(PyDict_New());
    if (!out) return nullptr;
    if (PyDict_Check(value.get())) {
        Ref items(PyMapping_Items(value.get()));
        if (!items) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            Ref name, value;
            if (!aw::unpack_pair(PyList_GET_ITEM(items.get(), i), name, value)) return nullptr;
            PyObject* cols = value.get();
            Ref key(plain_text(name.get()));
            if (!key) return nullptr;
            int t = PyObject_IsTrue(cols);
            if (t < 0) return nullptr;
            Ref list(t ? PySequence_List(cols) : PyList_New(0));
            if (!list || PyDict_SetItem(out.get(), key.get(), list.get()) < 0) return nullptr;
        }
        return out.release();
    }
    Ref tables(card_active_tables(self, nullptr));
    Ref columns(tables ? card_active_columns(self, nullptr) : nullptr);
    if (!columns) return nullptr;
    if (PyList_GET_SIZE(tables.get()) == 1 && PyList_GET_SIZE(columns.get()) > 0 &&
        PyDict_SetItem(out.get(), PyList_GET_ITEM(tables.get(), 0), columns.get()) < 0)
        return nullptr;
    return out.release();
}

PyObject* compact_state(PyObject* state) {
    if (!PyDict_Check(state)) {
        PyErr_Format(PyExc_TypeError, "state must be a dict, not %.200s", Py_TYPE(state)->tp_name);
        return nullptr;
    }
    Ref out(PyDict_New());
    if (!out) return nullptr;
    bool exact = PyDict_CheckExact(state);
    for (const Keep& key : s_state_keys) {
        Ref v;
        if (exact) {
            PyObject* b = PyDict_GetItemWithError(state, key.get());
            if (!b) {
                if (PyErr_Occurred()) return nullptr;
                continue;
            }
            v = Ref::borrow(b);
        } else {
            int has = PySequence_Contains(state, key.get());
            if (has < 0) return nullptr;
            if (!has) continue;
            v = Ref(PyObject_GetItem(state, key.get()));
            if (!v) return nullptr;
        }
        if (PyDict_SetItem(out.get(), key.get(), v.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* card_compact_state(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"state", nullptr};
    PyObject* state;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_compact_state", const_cast<char**>(kw), &state))
        return nullptr;
    return compact_state(state);
}

PyObject* card_to_resolver_summary(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"max_chars", nullptr};
    PyObject* max_chars = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:to_resolver_summary", const_cast<char**>(kw), &max_chars))
        return nullptr;
    if (max_chars) {
        Ref as_int(PyNumber_Long(max_chars));  // int(max_chars); the result does not depend on it
        if (!as_int) return nullptr;
    }
    Ref f[CARD_COUNT];  // held: str() of a value may run code that deletes or replaces fields
    for (int i = 0; i < CARD_COUNT; ++i)
        if (!(f[i] = Ref::borrow(aw::rec_get(self, i)))) return nullptr;
    Ref d(PyDict_New());
    if (!d) return nullptr;
    auto put = [&](const char* key, PyObject* value) {  // steals value
        Ref hold(value);
        return value && PyDict_SetItemString(d.get(), key, value) == 0;
    };
    auto compact = [&](PyObject* v, Py_ssize_t limit) -> PyObject* {
        std::string s;
        return compact_value(v, limit, s) ? aw::new_str(s) : nullptr;
    };
    auto head = [&](PyObject* v, Py_ssize_t n) -> PyObject* {
        Ref slice(PySequence_GetSlice(v, 0, n));
        if (!slice) return nullptr;
        return PyList_CheckExact(slice.get()) ? slice.release() : PySequence_List(slice.get());
    };
    if (!put("turn_id", Py_NewRef(f[CARD_TURN_ID].get())) ||
        !put("task_type", Py_NewRef(f[CARD_TASK_TYPE].get())) ||
        !put("artifact_type", Py_NewRef(f[CARD_ARTIFACT_TYPE].get())) ||
        !put("artifact_id", Py_NewRef(f[CARD_ARTIFACT_ID].get())) ||
        !put("user_question", compact(f[CARD_USER_QUESTION].get(), 180)) ||
        !put("resolved_question", compact(f[CARD_RESOLVED_QUESTION].get(), 220)) ||
        !put("assistant_answer_summary", compact(f[CARD_ANSWER_SUMMARY].get(), 220)) ||
        !put("topic_keywords", head(f[CARD_TOPIC_KEYWORDS].get(), 20)) ||
        !put("entities", head(f[CARD_ENTITIES].get(), 20)) ||
        !put("selected_metadata_ids", head(f[CARD_SELECTED_METADATA_IDS].get(), 30)) ||
        !put("query_state", compact_state(f[CARD_QUERY_STATE].get())) ||
        !put("retrieval_state", compact_state(f[CARD_RETRIEVAL_STATE].get())) ||
        !put("output_state", compact_state(f[CARD_OUTPUT_STATE].get())))
        return nullptr;
    return d.release();
}

// ------------------------------------------------------------ candidate and resolution

PyObject* candidate_to_dict(PyObject* self, PyObject*) {
    // held: round() of a score may run code that deletes or replaces fields
    Ref turn_id = Ref::borrow(aw::rec_get(self, CAND_TURN_ID));
    Ref score = Ref::borrow(turn_id ? aw::rec_get(self, CAND_SCORE) : nullptr);
    Ref reasons = Ref::borrow(score ? aw::rec_get(self, CAND_REASONS) : nullptr);
    if (!reasons) return nullptr;
    Ref rounded(round6(score.get()));
    Ref d(rounded ? PyDict_New() : nullptr);
    if (!d || PyDict_SetItem(d.get(), KEY("turn_id"), turn_id.get()) < 0 ||
        PyDict_SetItem(d.get(), KEY("score"), rounded.get()) < 0 ||
        PyDict_SetItem(d.get(), KEY("reasons"), reasons.get()) < 0)
        return nullptr;
    return d.release();
}

PyObject* resolution_to_dict(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"include_candidates", nullptr};
    PyObject* include = Py_True;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:to_dict", const_cast<char**>(kw), &include)) return nullptr;
    int inc = PyObject_IsTrue(include);
    if (inc < 0) return nullptr;
    aw::AsDict conv(" while converting a record to a map");
    Ref d(conv.record(self, RES_CANDIDATES));  // candidates are rendered below, never converted
    if (!d) return nullptr;
    if (!inc) {
        if (PyDict_DelItem(d.get(), s_candidates.get()) < 0) return nullptr;
        return d.release();
    }
    Ref candidates = Ref::borrow(aw::rec_get(self, RES_CANDIDATES));  // held across the allocation below
    if (!candidates) return nullptr;
    Ref list(PyList_New(0));
    Ref it(list ? PyObject_GetIter(candidates.get()) : nullptr);
    if (!it) return nullptr;
    while (PyObject* c = PyIter_Next(it.get())) {
        Ref hold(c);
        Ref cd(aw::rec_check(c, ContextCandidateType) ? candidate_to_dict(c, nullptr)
                                                        : PyObject_CallMethodNoArgs(c, s_to_dict.get()));
        if (!cd || PyList_Append(list.get(), cd.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred() || PyDict_SetItem(d.get(), s_candidates.get(), list.get()) < 0) return nullptr;
    return d.release();
}


PyMethodDef card_methods[] = {
    {"searchable_text", AW_FN(card_searchable_text_py), METH_NOARGS,
     "searchable_text($self, /)\n--\n\n"
     "One line of the card's texts, lists and compacted states.\n"
     "\n"
     "The questions, the answer summary, task and artifact type, artifact id and\n"
     "label, the keyword, entity and id lists (each joined by spaces) and the\n"
     "three states (each as compact_text(state, 1000)), empty parts left out,\n"
     "joined by single spaces.\n"
     "\n"
     "Raises:\n"
     "    TypeError: the keyword, entity or id list is not an iterable of str,\n"
     "        or a state has a map key compact_text() cannot write.\n"
     "    ValueError: a state refers to itself."},
    {"tokens", AW_FN(card_tokens_py), METH_NOARGS,
     "tokens($self, /)\n--\n\n"
     "tokenize(searchable_text()): the card's words without STOPWORDS, duplicates kept.\n"
     "\n"
     "Raises:\n"
     "    TypeError, ValueError: as searchable_text() raises them."},
    {"active_tables", AW_FN(card_active_tables), METH_NOARGS,
     "active_tables($self, /)\n--\n\n"
     "The query state's active tables (else its tables) as a new list.\n"
     "\n"
     "The value under \"active_tables\" when it is not empty, else the one under\n"
     "\"tables\", else []; an empty or None query_state gives [].\n"
     "\n"
     "Raises:\n"
     "    AttributeError: query_state is a non-empty value that is not a map.\n"
     "    TypeError: the value found is not iterable."},
    {"active_columns", AW_FN(card_active_columns), METH_NOARGS,
     "active_columns($self, /)\n--\n\n"
     "The query state's active columns (else its columns) as a new list.\n"
     "\n"
     "The value under \"active_columns\" when it is not empty, else the one under\n"
     "\"columns\", else []; an empty or None query_state gives [].\n"
     "\n"
     "Raises:\n"
     "    AttributeError: query_state is a non-empty value that is not a map.\n"
     "    TypeError: the value found is not iterable."},
    {"required_columns_by_table", AW_FN(card_required_columns_by_table), METH_NOARGS,
     "required_columns_by_table($self, /)\n--\n\n"
     "A new map from table name to the columns to keep.\n"
     "\n"
     "From the query state's \"required_columns\" or \"columns_by_table\" (keys as\n"
     "str(), each value as a new list, an empty or None value as []), else\n"
     "its one active table with its active columns, else {}.\n"
     "\n"
     "Raises:\n"
     "    AttributeError: query_state is a non-empty value that is not a map.\n"
     "    TypeError: a value found is not iterable."},
    {"to_resolver_summary", AW_KW(card_to_resolver_summary),
     "to_resolver_summary($self, /, max_chars=1200)\n--\n\n"
     "The compact map sent to the language-model fallback.\n"
     "\n"
     "Keys: \"turn_id\", \"task_type\", \"artifact_type\", \"artifact_id\",\n"
     "\"user_question\" (at most 180 characters), \"resolved_question\" and\n"
     "\"assistant_answer_summary\" (220), \"topic_keywords\" (first 20),\n"
     "\"entities\" (20), \"selected_metadata_ids\" (30) and \"query_state\",\n"
     "\"retrieval_state\", \"output_state\" cut to their known keys.\n"
     "\n"
     "Args:\n"
     "    max_chars: Checked with int() and otherwise unused: the limits above\n"
     "        are fixed. Default 1200.\n"
     "\n"
     "Raises:\n"
     "    TypeError: max_chars cannot be converted with int(), a keyword,\n"
     "        entity or id list cannot be sliced, or a state is not a dict.\n"
     "    ValueError: max_chars is a str that int() rejects."},
    {"_compact_state", AW_KW(card_compact_state) | METH_STATIC,
     "_compact_state(state)\n--\n\nThe known state keys of a state map, in fixed order, values not copied."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef candidate_methods[] = {
    {"to_dict", AW_FN(candidate_to_dict), METH_NOARGS,
     "to_dict($self, /)\n--\n\n"
     "turn_id, score rounded to 6 places, and the candidate's own reasons list.\n"
     "\n"
     "The keys \"turn_id\", \"score\" (round(score, 6)) and \"reasons\" (the list\n"
     "itself, not a copy); the card is left out.\n"
     "\n"
     "Raises:\n"
     "    TypeError: score is not a number round() accepts."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef resolution_methods[] = {
    {"to_dict", AW_KW(resolution_to_dict),
     "to_dict($self, /, include_candidates=True)\n--\n\n"
     "The resolution as a plain nested map; candidates as their to_dict() maps, or left out.\n"
     "\n"
     "One key per field in field order. Records inside (intent_delta, and any\n"
     "record held by another field) become maps of their fields; lists, tuples\n"
     "and maps are copied recursively, other values with copy.deepcopy().\n"
     "\n"
     "Args:\n"
     "    include_candidates: Whether \"candidates\" is kept, in its field\n"
     "        position, as the candidates' to_dict() maps; any true value\n"
     "        counts. When false the key is left out. Default True.\n"
     "\n"
     "Raises:\n"
     "    AttributeError: with include_candidates, a candidate has no to_dict().\n"
     "    TypeError: with include_candidates, candidates is not iterable; or a\n"
     "        value copy.deepcopy() cannot copy.\n"
     "    RecursionError: a field's value contains itself."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

// ------------------------------------------------------------ shared entry points

PyObject* record_to_plain(PyObject* rec) {
    aw::AsDict conv(" while converting a record to a map");
    return conv.convert(rec);
}

bool card_searchable_text(PyObject* card, std::string& out) {
    static const CardField text_fields[] = {CARD_USER_QUESTION, CARD_RESOLVED_QUESTION, CARD_ANSWER_SUMMARY,
                                            CARD_TASK_TYPE,     CARD_ARTIFACT_TYPE,     CARD_ARTIFACT_ID,
                                            CARD_ARTIFACT_LABEL};
    static const CardField list_fields[] = {CARD_TOPIC_KEYWORDS, CARD_ENTITIES, CARD_SELECTED_METADATA_IDS};
    static const CardField state_fields[] = {CARD_QUERY_STATE, CARD_RETRIEVAL_STATE, CARD_OUTPUT_STATE};
    Ref values[CARD_COUNT];
    for (CardField f : text_fields)
        if (!(values[f] = Ref(card_field(card, f)))) return false;
    for (CardField f : list_fields)
        if (!(values[f] = Ref(card_field(card, f)))) return false;
    for (CardField f : state_fields)
        if (!(values[f] = Ref(card_field(card, f)))) return false;
    // Every part is computed before any is dropped, as the parts list is.
    std::string joined[3], states[3];
    for (int k = 0; k < 3; ++k)
        if (!join_append(values[list_fields[k]].get(), joined[k])) return false;
    for (int k = 0; k < 3; ++k) {
        int t = PyObject_IsTrue(values[state_fields[k]].get());
        if (t < 0) return false;
        if (t && !compact_value(values[state_fields[k]].get(), 1000, states[k])) return false;
    }
    bool any = false;
    auto part = [&](std::string_view s) {
        if (any) out.push_back(' ');
        out.append(s);
        any = true;
    };
    for (CardField f : text_fields) {
        PyObject* v = values[f].get();
        int t = PyObject_IsTrue(v);
        if (t < 0) return false;
        if (!t) continue;
        if (any) out.push_back(' ');
        if (!plain_text_append(out, v)) return false;
        any = true;
    }
    for (const std::string& s : joined)
        if (!s.empty()) part(s);
    for (const std::string& s : states)
        if (!s.empty()) part(s);
    return true;
}

bool card_tokens(PyObject* card, std::string& buf, std::vector<std::string_view>& tokens) {
    std::string text;
    if (!card_searchable_text(card, text)) return false;
    aw::tokenize(text, &vocab().stopwords, buf, tokens);
    return true;
}

PyObject* card_from_map(PyObject* map) {
    // A copy even of an exact dict: the constructor borrows the values, and a
    // finalizer run by its allocations may change the caller's map.
    Ref kwargs(PyDict_New());
    if (!kwargs || PyDict_Merge(kwargs.get(), map, 1) < 0) return nullptr;
    return PyObject_Call(reinterpret_cast<PyObject*>(TurnContextCardType), s_empty_tuple.get(), kwargs.get());
}

PyObject* new_intent_delta() {
    Ref d(IntentDeltaType->tp_alloc(IntentDeltaType, 0));
    if (!d || !aw::rec_fill_defaults(d.get())) return nullptr;
    return d.release();
}

PyObject* new_resolution() {
    Ref r(ContextResolutionType->tp_alloc(ContextResolutionType, 0));
    if (!r) return nullptr;
    for (int i : {RES_CONTEXT_TYPE, RES_CURRENT_QUESTION, RES_RESOLVED_QUESTION, RES_METADATA_SEARCH_QUERY})
        rec_set(r.get(), i, Py_NewRef(Py_None));
    if (!aw::rec_fill_defaults(r.get())) return nullptr;
    PyObject* delta = new_intent_delta();
    if (!delta) return nullptr;
    rec_set(r.get(), RES_INTENT_DELTA, delta);
    return r.release();
}

bool init_records(PyObject* module) {
    using aw::FieldSpec;
    s_candidates = Ref::borrow(aw::interned("candidates"));
    s_to_dict = Ref::borrow(aw::interned("to_dict"));
    s_empty_tuple = Ref(PyTuple_New(0));
    if (!s_candidates || !s_to_dict || !s_empty_tuple) return false;
    struct { Keep* slot; const char* text; } keys[] = {
        {&s_active_tables, "active_tables"}, {&s_tables, "tables"}, {&s_active_columns, "active_columns"},
        {&s_columns, "columns"}, {&s_required_columns, "required_columns"}, {&s_columns_by_table, "columns_by_table"}};
    for (auto& k : keys)
        if (!(*k.slot = Ref::borrow(aw::interned(k.text)))) return false;
    for (size_t i = 0; i < std::size(kStateKeys); ++i)
        if (!(s_state_keys[i] = Ref::borrow(aw::interned(kStateKeys[i])))) return false;
    Ref builtins(PyImport_ImportModule("builtins"));
    s_round = Ref(builtins ? PyObject_GetAttrString(builtins.get(), "round") : nullptr);
    if (!s_round) return false;

    IntentDeltaType = aw::make_record_type(
        module, "askweave.turnlens.IntentDelta",
        "The change a follow-up message asks for.\n"
        "\n"
        "Attributes:\n"
        "    operation: The winning change (an OperationType value). Default\n"
        "        \"none\".\n"
        "    granularity: Time granularity named (\"hour\", \"day\", \"week\", \"month\",\n"
        "        \"quarter\", \"year\"). Default None.\n"
        "    dimension_hint: Grouping phrase (\"by region\", \"category based\").\n"
        "        Default None.\n"
        "    metric_hint: Metric phrase after an aggregation word, or that word.\n"
        "        Default None.\n"
        "    filter_hint: Filter phrase (\"only north region\"). Default None.\n"
        "    sort_hint: The whole message when it speaks of sorting. Default None.\n"
        "    compare_hint: The whole message when it speaks of comparing.\n"
        "        Default None.\n"
        "    top_n: The count after \"top\". Default None.\n"
        "    bottom_n: The count after \"bottom\". Default None.\n"
        "    replace_numeric_value: The first free-standing number, to replace\n"
        "        the last number of the earlier filter or metric. Default None.\n"
        "    raw_hints: The hints in the order found. Default [].",
        {FieldSpec::str("operation", "none"), FieldSpec::none("granularity"), FieldSpec::none("dimension_hint"),
         FieldSpec::none("metric_hint"), FieldSpec::none("filter_hint"), FieldSpec::none("sort_hint"),
         FieldSpec::none("compare_hint"), FieldSpec::none("top_n"), FieldSpec::none("bottom_n"),
         FieldSpec::none("replace_numeric_value"), FieldSpec::list("raw_hints")});
    TurnContextCardType = aw::make_record_type(
        module, "askweave.turnlens.TurnContextCard",
        "Memory card of one earlier AI turn. created_at_ms defaults to now_ms() at construction.\n"
        "\n"
        "The host stores one card per answered turn; resolve() also accepts plain\n"
        "maps with these field names. Cards are never modified by the module.\n"
        "\n"
        "Attributes:\n"
        "    turn_id: Identifier of the turn; larger means more recent. Required.\n"
        "    session_id: Conversation the turn belongs to (stored only).\n"
        "        Default \"\".\n"
        "    tenant_id: Tenant the turn belongs to (stored only). Default \"\".\n"
        "    user_question: The user's message of that turn. Default \"\".\n"
        "    resolved_question: The self-contained question it was answered for.\n"
        "        Default \"\".\n"
        "    assistant_answer_summary: Short summary of the answer. Default \"\".\n"
        "    task_type: Kind of task (a TaskType value or any text).\n"
        "        Default \"unknown\".\n"
        "    artifact_type: Kind of artifact produced (an ArtifactType value or any\n"
        "        text). Default \"unknown\".\n"
        "    artifact_id: Identifier of the artifact (a chart id, a table id).\n"
        "        Default None.\n"
        "    artifact_label: Display label of the artifact. Default None.\n"
        "    topic_keywords: Topic words of the turn. Default [].\n"
        "    entities: Business entities, table and column names mentioned.\n"
        "        Default [].\n"
        "    selected_metadata_ids: Catalog items used: \"table:NAME\" or\n"
        "        \"column:TABLE.COLUMN\". Default [].\n"
        "    query_state: State of the query that was run. Read keys:\n"
        "        \"active_tables\"/\"tables\", \"active_columns\"/\"columns\",\n"
        "        \"required_columns\"/\"columns_by_table\" (table to columns),\n"
        "        \"metrics\", \"dimensions\", \"group_by\", \"filters\", \"granularity\",\n"
        "        \"aggregation\" ({\"function\", \"column\"}), \"sort\", \"limit\".\n"
        "        Default {}.\n"
        "    retrieval_state: State of a document retrieval, same conventions.\n"
        "        Default {}.\n"
        "    output_state: State of the produced output (chart settings and the\n"
        "        like). Default {}.\n"
        "    sql: The generated query text (stored only). Default None.\n"
        "    config: A generated configuration (stored only). Default None.\n"
        "    answer_excerpt: An excerpt of the answer (stored only). Default None.\n"
        "    created_at_ms: Creation time in milliseconds (stored only; recency\n"
        "        uses turn_id). Default now_ms() when the card is built.\n"
        "    quality_score: Multiplies the card's ranking score, clamped to 0..1.\n"
        "        Default 1.0.\n"
        "    is_active: Whether the turn may serve as context; inactive cards are\n"
        "        used only when no card is active. Default True.\n"
        "    extra: Free host data. Default {}.",
        {FieldSpec::required("turn_id"), FieldSpec::str("session_id", ""), FieldSpec::str("tenant_id", ""),
         FieldSpec::str("user_question", ""), FieldSpec::str("resolved_question", ""),
         FieldSpec::str("assistant_answer_summary", ""), FieldSpec::str("task_type", "unknown"),
         FieldSpec::str("artifact_type", "unknown"), FieldSpec::none("artifact_id"),
         FieldSpec::none("artifact_label"), FieldSpec::list("topic_keywords"), FieldSpec::list("entities"),
         FieldSpec::list("selected_metadata_ids"), FieldSpec::dict("query_state"),
         FieldSpec::dict("retrieval_state"), FieldSpec::dict("output_state"), FieldSpec::none("sql"),
         FieldSpec::none("config"), FieldSpec::none("answer_excerpt"), FieldSpec::none("created_at_ms"),
         FieldSpec::real("quality_score", 1.0), FieldSpec::boolean("is_active", true), FieldSpec::dict("extra")},
        card_methods);
    ContextCandidateType = aw::make_record_type(
        module, "askweave.turnlens.ContextCandidate",
        "An earlier turn ranked against the new message.\n"
        "\n"
        "Attributes:\n"
        "    turn_id: The card's turn_id. Required.\n"
        "    score: Ranking score. Required.\n"
        "    reasons: Why it scored so (\"active card\", \"recent turn\",\n"
        "        \"keyword overlap 0.50\", ...), in the order added. Default [].\n"
        "    card: The ranked card itself (shared, not copied). Default None.",
        {FieldSpec::required("turn_id"), FieldSpec::required("score"), FieldSpec::list("reasons"),
         FieldSpec::none("card")},
        candidate_methods);
    ContextResolutionType = aw::make_record_type(
        module, "askweave.turnlens.ContextResolution",
        "The result of one resolution. intent_delta defaults to a new IntentDelta().\n"
        "\n"
        "Attributes:\n"
        "    context_type: What the message was taken as (a ContextType value).\n"
        "        Required.\n"
        "    current_question: The message, trimmed. Required.\n"
        "    resolved_question: The self-contained question to answer. Required.\n"
        "    metadata_search_query: The text for schema selection: at most\n"
        "        max_metadata_query_terms distinct lower-case words. Required.\n"
        "    base_turn_id: The earlier turn the answer builds on. Default None.\n"
        "    use_previous_state: Whether that turn's state is reused.\n"
        "        Default False.\n"
        "    intent_delta: The requested change (IntentDelta). Default a new\n"
        "        IntentDelta().\n"
        "    required_tables: Tables the answer must keep using (pass as\n"
        "        SchemaSift.select's required_tables). Default [].\n"
        "    required_columns: Table name to columns to keep (pass as\n"
        "        SchemaSift.select's required_columns). Default {}.\n"
        "    anchor_metadata_ids: Catalog item ids carried over from the base\n"
        "        turn. Default [].\n"
        "    allow_related_tables: Whether tables beyond the required ones may be\n"
        "        added. Default True.\n"
        "    confidence: Confidence of the decision: 1.0 for an empty message,\n"
        "        0.95 for fresh questions, 0.9 for suggestions without context, at\n"
        "        most 0.99 for contextual results from the ranking score, 0.0 for\n"
        "        clarifications; a callback's value as given. Default 0.0.\n"
        "    reason: Why the decision was taken (fixed texts). Default \"\".\n"
        "    clarification_question: What to ask the user when the route is\n"
        "        \"clarify\". Default None.\n"
        "    candidates: The ranked earlier turns, best first (empty when\n"
        "        ResolverConfig.include_debug_candidates is off). Default [].\n"
        "    route: \"generate\" (answer resolved_question), \"clarify\" (ask\n"
        "        clarification_question instead) or \"suggest\" (offer analyses or\n"
        "        next questions). Default \"generate\".\n"
        "    extra: Diagnostics: the base card's task and artifact for contextual\n"
        "        results, the callback's \"extra\" for its results. Default {}.",
        {FieldSpec::required("context_type"), FieldSpec::required("current_question"),
         FieldSpec::required("resolved_question"), FieldSpec::required("metadata_search_query"),
         FieldSpec::none("base_turn_id"), FieldSpec::boolean("use_previous_state", false),
         FieldSpec::none("intent_delta"), FieldSpec::list("required_tables"), FieldSpec::dict("required_columns"),
         FieldSpec::list("anchor_metadata_ids"), FieldSpec::boolean("allow_related_tables", true),
         FieldSpec::real("confidence", 0.0), FieldSpec::str("reason", ""),
         FieldSpec::none("clarification_question"), FieldSpec::list("candidates"), FieldSpec::str("route", "generate"),
         FieldSpec::dict("extra")},
        resolution_methods);
    if (!IntentDeltaType || !TurnContextCardType || !ContextCandidateType || !ContextResolutionType) return false;
    return install_init(TurnContextCardType, &aw::Entry<card_init>::call) &&
           install_init(ContextResolutionType, &aw::Entry<resolution_init>::call);
}

}  // namespace tl
