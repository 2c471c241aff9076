// The schema search text of a contextual resolution and the tables and
// columns carried over from the base turn.
#include "turnlens/turnlens.hpp"

#include "common/pytext.hpp"
#include "core/unicode.hpp"

#include <algorithm>
#include <unordered_map>

namespace tl {
using aw::Ref;

namespace {

const char* const kSearchStateKeys[] = {"active_tables", "tables",         "metrics",  "dimensions",
                                        "date_columns",  "active_columns", "group_by", "granularity"};

// An exact str whose repr adds only quotes and backslashes around it, so
// that its words inside a list's text are its own words.
bool plain_ascii(PyObject* s) {
    if (!PyUnicode_CheckExact(s) || !PyUnicode_IS_ASCII(s)) return false;
    const unsigned char* p = PyUnicode_1BYTE_DATA(s);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(s); i < n; ++i)
        if (p[i] < 0x20 || p[i] == 0x7f) return false;
    return true;
}

// Collects the words of values (tokenize with no stopwords, through the
// plain text form) as one blank-separated text.
class WordBag {
public:
    std::string joined;

    bool add(PyObject* v) {
        if (v == Py_None) return true;
        if (PyUnicode_Check(v) && PyUnicode_CheckExact(v)) {
            TextView tv(v);
            add_text(tv.view);
            return true;
        }
        if (PyList_CheckExact(v) || PyTuple_CheckExact(v)) {
            // The common list of names: its text's words are the items' words.
            Ref items(PySequence_Fast(v, ""));
            if (!items) return false;
            Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
            bool simple = true;
            for (Py_ssize_t i = 0; i < n && simple; ++i) simple = plain_ascii(PySequence_Fast_GET_ITEM(items.get(), i));
            if (simple) {
                for (Py_ssize_t i = 0; i < n; ++i) {
                    PyObject* s = PySequence_Fast_GET_ITEM(items.get(), i);
                    add_text(std::string_view(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(s)),
                                              static_cast<size_t>(PyUnicode_GET_LENGTH(s))));
                }
                return true;
            }
        }
        std::string text;
        if (!plain_text_append(text, v)) return false;
        add_text(text);
        return true;
    }

private:
    std::string buf_;
    std::vector<std::string_view> tokens_;

    void add_text(std::string_view text) {
        aw::tokenize(text, nullptr, buf_, tokens_);
        for (std::string_view t : tokens_) push(t);
    }

    void push(std::string_view t) {
        if (!joined.empty()) joined.push_back(' ');
        joined.append(t);
    }
};

// _limit_query_terms of words already cut (lower-case, blank-separated).
std::string limit_words(std::string_view joined, const Limit& limit) {
    std::vector<std::string_view> words, content;
    size_t i = 0;
    while (i < joined.size()) {
        size_t j = joined.find(' ', i);
        if (j == std::string_view::npos) j = joined.size();
        words.push_back(joined.substr(i, j - i));
        i = j + 1;
    }
    for (std::string_view w : words)
        if (!vocab().stopwords.contains(w)) content.push_back(w);
    const std::vector<std::string_view>& tokens = content.empty() ? words : content;
    // distinct tokens in first-seen order with their counts, found through an
    // open-addressing table of their positions (one allocation, not one per word)
    std::vector<std::pair<std::string_view, size_t>> ordered;  // token, count
    ordered.reserve(tokens.size());
    size_t mask = 15;
    while (mask < 2 * tokens.size()) mask = mask * 2 + 1;
    constexpr size_t kEmpty = ~size_t{0};
    std::vector<size_t> slots(mask + 1, kEmpty);
    for (std::string_view t : tokens) {
        size_t at = std::hash<std::string_view>()(t) & mask;
        while (slots[at] != kEmpty && ordered[slots[at]].first != t) at = (at + 1) & mask;
        if (slots[at] == kEmpty) {
            slots[at] = ordered.size();
            ordered.emplace_back(t, 1);
        } else {
            ++ordered[slots[at]].second;
        }
    }
    bool trim = !limit.unlimited && (limit.n < 0 || ordered.size() > static_cast<size_t>(limit.n));
    if (trim) {
        std::stable_sort(ordered.begin(), ordered.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
        ordered.resize(limit.keep(ordered.size()));
    }
    std::string out;
    for (size_t k = 0; k < ordered.size(); ++k) {
        if (k) out.push_back(' ');
        out.append(ordered[k].first);
    }
    return out;
}

// _limit_query_terms of UTF-8 text.
bool limit_text(PyObject* config, const std::string& text, std::string& out) {
    Ref v(config_field(config, CFG_MAX_METADATA_QUERY_TERMS));
    if (!v) return false;
    if (v.get() == Py_None || PyLong_CheckExact(v.get())) {
        Limit limit;
        if (!read_limit(config, CFG_MAX_METADATA_QUERY_TERMS, limit)) return false;
        out = limit_words(text, limit);
        return true;
    }
    Ref s(aw::new_str(text));
    return s && limit_terms(config, s.get(), out);
}

// lens._limit_query_terms of the words. Out of line: inlined, it slows the
// word loop of its caller.
[[gnu::noinline]] PyObject* limited_query(PyObject* lens, const std::string& words) {
    int own = own_stage(lens, STAGE_LIMIT_QUERY_TERMS);
    if (own <= 0) {
        Ref joined(own == 0 ? aw::new_str(words) : nullptr);
        return joined ? call_stage(lens, STAGE_LIMIT_QUERY_TERMS, {joined.get()}) : nullptr;
    }
    Ref config(lens_config(lens));  // str() of stored values may have replaced it
    std::string out;
    if (!config || !limit_text(config.get(), words, out)) return nullptr;
    return aw::new_str(out);
}

// Appends the entries of a stored value to list.
bool extend_entries(PyObject* list, PyObject* state, const char* key) {
    Ref k = Ref::borrow(aw::interned(key));
    Ref value(k ? state_lookup(state, k.get()) : nullptr);
    if (!value) return false;
    Ref entries(as_entries(value.get()));
    if (!entries) return false;
    return for_each_item(entries.get(), [&](PyObject* e) { return PyList_Append(list, e) < 0 ? -1 : 1; });
}


}  // namespace

PyObject* state_lookup(PyObject* state, PyObject* key) {
    if (!key) return nullptr;
    if (PyDict_CheckExact(state)) {
        PyObject* v = PyDict_GetItemWithError(state, key);
        if (!v) return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
        return Py_NewRef(v);
    }
    return PyObject_CallMethodOneArg(state, KEY("get"), key);
}

PyObject* card_state(PyObject* card) {
    Ref state(card_field(card, CARD_QUERY_STATE));
    if (!state) return nullptr;
    int t = PyObject_IsTrue(state.get());
    if (t < 0) return nullptr;
    return t ? state.release() : PyDict_New();
}

PyObject* as_entries(PyObject* value) {
    int t = PyObject_IsTrue(value);
    if (t < 0) return nullptr;
    if (!t) return PyList_New(0);
    if (PyList_Check(value)) return Py_NewRef(value);
    PyObject* one = PyList_New(1);
    if (one) PyList_SET_ITEM(one, 0, Py_NewRef(value));
    return one;
}

PyObject* compose_metadata_search_query(PyObject* lens, PyObject* current_question, PyObject* base,
                                        PyObject* delta, PyObject* resolved_question) {
    if (!require_str(current_question, "_compose_metadata_search_query", "current_question") ||
        !require_str(resolved_question, "_compose_metadata_search_query", "resolved_question"))
        return nullptr;
    WordBag bag;
    if (!bag.add(resolved_question) || !bag.add(current_question)) return nullptr;
    static const std::pair<DeltaField, const char*> hints[] = {{DELTA_DIMENSION_HINT, "dimension_hint"},
                                                               {DELTA_METRIC_HINT, "metric_hint"},
                                                               {DELTA_FILTER_HINT, "filter_hint"},
                                                               {DELTA_GRANULARITY, "granularity"}};
    for (const auto& [f, name] : hints) {
        Ref h(field(delta, IntentDeltaType, f, name));
        if (!h) return nullptr;
        int t = PyObject_IsTrue(h.get());
        if (t < 0 || (t && !bag.add(h.get()))) return nullptr;
    }
    Ref state(card_state(base));
    if (!state) return nullptr;
    for (const char* k : kSearchStateKeys) {
        Ref hold_key = Ref::borrow(aw::interned(k));
        PyObject* key = hold_key.get();
        if (!key) return nullptr;
        Ref value;
        if (PyDict_CheckExact(state.get())) {
            PyObject* v = PyDict_GetItemWithError(state.get(), key);
            if (!v) {
                if (PyErr_Occurred()) return nullptr;
                continue;
            }
            value = Ref::borrow(v);
        } else {
            int has = PySequence_Contains(state.get(), key);
            if (has < 0) return nullptr;
            if (!has) continue;
            value = Ref(PyObject_GetItem(state.get(), key));
            if (!value) return nullptr;
        }
        if (!bag.add(value.get())) return nullptr;
    }
    for (CardField f : {CARD_TOPIC_KEYWORDS, CARD_ENTITIES, CARD_SELECTED_METADATA_IDS}) {
        Ref v(card_field(base, f));
        if (!v || !bag.add(v.get())) return nullptr;
    }
    return limited_query(lens, bag.joined);
}

PyObject* constraints_from_base(PyObject* config, PyObject* base, PyObject* delta) {
    Ref tables(PyObject_CallMethodNoArgs(base, KEY("active_tables")));
    if (!tables) return nullptr;
    Ref include(config_field(config, CFG_INCLUDE_PREVIOUS_REQUIRED_COLUMNS));
    int inc = include ? PyObject_IsTrue(include.get()) : -1;
    if (inc < 0) return nullptr;
    Ref columns(inc ? PyObject_CallMethodNoArgs(base, KEY("required_columns_by_table")) : PyDict_New());
    if (!columns) return nullptr;
    Ref state(card_state(base));
    Ref important(state ? PyList_New(0) : nullptr);
    if (!important || !extend_entries(important.get(), state.get(), "metrics") ||
        !extend_entries(important.get(), state.get(), "date_columns"))
        return nullptr;
    Ref op(field(delta, IntentDeltaType, DELTA_OPERATION, "operation"));
    int keeps_grouping = op ? PyObject_RichCompareBool(op.get(), KEY("replace_group_by"), Py_NE) : -1;
    if (keeps_grouping < 0) return nullptr;
    if (keeps_grouping && (!extend_entries(important.get(), state.get(), "dimensions") ||
                           !extend_entries(important.get(), state.get(), "group_by")))
        return nullptr;

    int has_tables = PyObject_IsTrue(tables.get());
    if (has_tables < 0) return nullptr;
    bool single = false;
    if (has_tables && PyList_GET_SIZE(important.get()) > 0) {
        Py_ssize_t n = PyObject_Size(tables.get());
        if (n < 0) return nullptr;
        single = n == 1;
    }
    if (single) {
        Ref table(PySequence_GetItem(tables.get(), 0));
        if (!table) return nullptr;
        Ref existing;
        if (PyDict_CheckExact(columns.get())) {
            PyObject* v = PyDict_GetItemWithError(columns.get(), table.get());
            if (!v && PyErr_Occurred()) return nullptr;
            existing = v ? Ref::borrow(v) : Ref(PyList_New(0));
        } else {
            Ref empty(PyList_New(0));
            existing = Ref(empty ? PyObject_CallMethodObjArgs(columns.get(), KEY("get"), table.get(), empty.get(),
                                                              nullptr)
                                 : nullptr);
        }
        Ref keep(existing ? PySet_New(nullptr) : nullptr);
        if (!keep) return nullptr;
        // Names are compared as text, so a non-text name cannot upset the sort.
        auto add_text = [&](PyObject* v) {
            Ref s(plain_text(v));
            return s && PySet_Add(keep.get(), s.get()) == 0 ? 1 : -1;
        };
        if (!for_each_item(existing.get(), add_text)) return nullptr;
        if (!for_each_item(important.get(), [&](PyObject* e) {
                int t = PyObject_IsTrue(e);
                return t < 0 ? -1 : t ? add_text(e) : 1;
            }))
            return nullptr;
        Ref sorted(PySequence_List(keep.get()));
        if (!sorted || PyList_Sort(sorted.get()) < 0 || PyObject_SetItem(columns.get(), table.get(), sorted.get()) < 0)
            return nullptr;
    }
    return PyTuple_Pack(2, tables.get(), columns.get());
}

namespace {


PyObject* py_compose_metadata_search_query(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"current_question", "base", "delta", "resolved_question", nullptr};
    PyObject *cq, *base, *delta, *resolved;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO:_compose_metadata_search_query", const_cast<char**>(kw), &cq,
                                     &base, &delta, &resolved))
        return nullptr;
    return compose_metadata_search_query(self, cq, base, delta, resolved);
}

PyObject* py_constraints_from_base(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"base", "delta", nullptr};
    PyObject *base, *delta;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:_constraints_from_base", const_cast<char**>(kw), &base, &delta))
        return nullptr;
    Ref config(lens_config(self));  // the card's methods may run caller code
    return config ? constraints_from_base(config.get(), base, delta) : nullptr;
}

}  // namespace

PyMethodDef lens_query_methods[] = {
    {"_compose_metadata_search_query", AW_KW(py_compose_metadata_search_query),
     "_compose_metadata_search_query($self, /, current_question, base, delta, resolved_question)\n--\n\n"
     "The schema search text: distinct words of the questions, the delta's hints and the base card."},
    {"_constraints_from_base", AW_KW(py_constraints_from_base),
     "_constraints_from_base($self, /, base, delta)\n--\n\n"
     "(required_tables, required_columns) carried over from the base card."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace tl
