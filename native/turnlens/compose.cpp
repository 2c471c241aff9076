// Composition of a contextual resolution: the resolved question written from
// the base turn's stored state with the requested change applied, and the
// question put to the user when the base turn is ambiguous.
#include "turnlens/turnlens.hpp"
#include "turnlens/modes.hpp"

#include "common/pytext.hpp"
#include "core/unicode.hpp"

#include <algorithm>
#include <cmath>
#include <tuple>
#include <unordered_set>

namespace tl {
using aw::Ref;

namespace {

const char* const kListKeys[] = {"active_tables", "tables",       "active_columns", "columns", "metrics",
                                 "dimensions",    "date_columns", "group_by",       "filters"};
const char* const kScalarKeys[] = {"granularity", "aggregation", "sort", "limit"};
// Time units are said by the granularity, never as a grouping.
const char* const kTimeGrains[] = {"month", "day", "week", "year", "quarter", "hour"};

void lower_into(std::string_view text, std::string& out) {
    out.clear();
    if (aw::is_ascii(text)) {
        out.assign(text);
        for (char& c : out)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    } else {
        aw::lower_append(text, out);
    }
}

// f"{v}": exact ints in full whatever their length.
bool format_append(std::string& out, PyObject* v) {
    if (PyUnicode_CheckExact(v)) {
        aw::append_str(out, v);
        return true;
    }
    if (PyLong_CheckExact(v)) return plain_text_append(out, v);
    Ref s(PyObject_Format(v, nullptr));
    if (!s) return false;
    aw::append_str(out, s.get());
    return true;
}

// `a or b`: a new reference to v when it is true, else to otherwise.
PyObject* or_else(PyObject* v, PyObject* otherwise) {
    if (!v || !otherwise) return nullptr;
    int t = PyObject_IsTrue(v);
    if (t < 0) return nullptr;
    return Py_NewRef(t ? v : otherwise);
}

PyObject* get_or(PyObject* map, const char* k, PyObject* otherwise) {
    Ref kk = Ref::borrow(aw::interned(k));
    Ref v(kk ? state_lookup(map, kk.get()) : nullptr);
    Ref o(otherwise);
    return or_else(v.get(), o.get());
}

PyObject* empty_str() { return PyUnicode_New(0, 0); }

// repr() of plain data (printable ASCII text, small integers, reals, None,
// booleans, and lists, tuples and maps of them) without running any caller
// code; false (out unspecified) for anything else.
bool simple_repr(std::string& out, PyObject* v, int depth) {
    if (PyUnicode_CheckExact(v)) {
        if (!PyUnicode_IS_ASCII(v)) return false;
        const unsigned char* p = PyUnicode_1BYTE_DATA(v);
        Py_ssize_t n = PyUnicode_GET_LENGTH(v);
        bool single = false, dbl = false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (p[i] < 0x20 || p[i] == 0x7f) return false;
            single |= p[i] == '\'';
            dbl |= p[i] == '"';
        }
        char quote = single && !dbl ? '"' : '\'';
        out.push_back(quote);
        for (Py_ssize_t i = 0; i < n; ++i) {
            char c = static_cast<char>(p[i]);
            if (c == quote || c == '\\') out.push_back('\\');
            out.push_back(c);
        }
        out.push_back(quote);
        return true;
    }
    if (v == Py_None || v == Py_True || v == Py_False) {
        out += v == Py_None ? "None" : v == Py_True ? "True" : "False";
        return true;
    }
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (overflow) return false;
        out += std::to_string(x);
        return true;
    }
    if (PyFloat_CheckExact(v)) {
        aw::append_float_repr(out, PyFloat_AS_DOUBLE(v));
        return true;
    }
    if (depth >= 3) return false;
    if (PyList_CheckExact(v) || PyTuple_CheckExact(v)) {
        bool list = PyList_CheckExact(v);
        Py_ssize_t n = list ? PyList_GET_SIZE(v) : PyTuple_GET_SIZE(v);
        out.push_back(list ? '[' : '(');
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (i) out += ", ";
            if (!simple_repr(out, list ? PyList_GET_ITEM(v, i) : PyTuple_GET_ITEM(v, i), depth + 1)) return false;
        }
        if (!list && n == 1) out.push_back(',');
        out.push_back(list ? ']' : ')');
        return true;
    }
    if (PyDict_CheckExact(v)) {
        out.push_back('{');
        Py_ssize_t pos = 0;
        PyObject *k, *val;
        bool first = true;
        while (PyDict_Next(v, &pos, &k, &val)) {
            if (!first) out += ", ";
            first = false;
            if (!simple_repr(out, k, depth + 1)) return false;
            out += ": ";
            if (!simple_repr(out, val, depth + 1)) return false;
        }
        out.push_back('}');
        return true;
    }
    return false;
}

// ------------------------------------------------------------ filters

// A filter value of 0 or False is a value; only nothing and empty texts,
// lists and maps are missing.
int has_filter_value(PyObject* v) {
    if (v == Py_None) return 0;
    if (PyUnicode_Check(v) || PyList_Check(v) || PyDict_Check(v)) {
        Py_ssize_t n = PyObject_Size(v);
        if (n < 0) return -1;
        return n != 0;
    }
    return 1;
}

bool filter_piece(PyObject* entry, std::string& piece) {
    if (!PyDict_Check(entry)) return plain_text_append(piece, entry);
    Ref empty(empty_str());
    if (!empty) return false;
    // `a or b or ""`, written out for the two pairs of keys
    auto pick = [&](const char* a, const char* b) -> PyObject* {
        Ref first(get_or(entry, a, Py_NewRef(Py_None)));
        if (!first) return nullptr;
        if (first.get() != Py_None) return first.release();
        return get_or(entry, b, Py_NewRef(empty.get()));
    };
    Ref col(pick("column", "field"));
    Ref op(col ? pick("operation", "operator") : nullptr);
    if (!op) return false;
    Ref value;
    for (const char* k : {"value", "values"}) {
        Ref kk = Ref::borrow(aw::interned(k));
        Ref v(kk ? state_lookup(entry, kk.get()) : nullptr);
        if (!v) return false;
        int has = has_filter_value(v.get());
        if (has < 0) return false;
        if (has) {
            value = v;
            break;
        }
    }
    int op_true = PyObject_IsTrue(op.get());
    if (op_true < 0) return false;
    if (!plain_text_append(piece, col.get())) return false;
    piece.push_back(' ');
    if (!plain_text_append(piece, op.get())) return false;
    if (!(op_true && !value)) {
        piece.push_back(' ');
        if (value && !plain_text_append(piece, value.get())) return false;
    }
    piece = std::string(aw::strip(piece));
    return true;
}

// ------------------------------------------------------------ sorting candidates

// Candidates whose card is present, best score first, equal scores in input
// order (the host's stable sort, also for scores of any kind).
PyObject* ranked_candidates(PyObject* candidates) {
    Ref ranked(PyList_New(0));
    if (!ranked) return nullptr;
    if (!for_each_item(candidates, [&](PyObject* c) {
            Ref card(field(c, ContextCandidateType, CAND_CARD, "card"));
            if (!card) return -1;
            if (card.get() == Py_None) return 1;
            return PyList_Append(ranked.get(), c) < 0 ? -1 : 1;
        }))
        return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(ranked.get());
    std::vector<std::pair<double, PyObject*>> keyed;
    keyed.reserve(static_cast<size_t>(n));
    bool native = true;
    for (Py_ssize_t i = 0; i < n && native; ++i) {
        PyObject* c = PyList_GET_ITEM(ranked.get(), i);
        Ref s(field(c, ContextCandidateType, CAND_SCORE, "score"));
        if (!s) return nullptr;
        double x;
        if (PyFloat_CheckExact(s.get())) {
            x = PyFloat_AS_DOUBLE(s.get());
            if (std::isnan(x)) native = false;
        } else if (PyLong_CheckExact(s.get())) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(s.get(), &overflow);
            native = !overflow && v < (1LL << 53) && v > -(1LL << 53);
            x = static_cast<double>(v);
        } else {
            native = false;
            x = 0;
        }
        keyed.emplace_back(x, c);
    }
    if (native) {
        std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
        Ref out(PyList_New(n));
        if (!out) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(out.get(), i, Py_NewRef(keyed[static_cast<size_t>(i)].second));
        return out.release();
    }
    Ref op(PyImport_ImportModule("operator"));
    Ref getter(op ? PyObject_CallMethod(op.get(), "attrgetter", "s", "score") : nullptr);
    Ref sort(getter ? PyObject_GetAttrString(ranked.get(), "sort") : nullptr);
    Ref args(sort ? PyTuple_New(0) : nullptr);
    Ref kw(args ? Py_BuildValue("{sOsO}", "key", getter.get(), "reverse", Py_True) : nullptr);
    Ref r(kw ? PyObject_Call(sort.get(), args.get(), kw.get()) : nullptr);
    return r ? ranked.release() : nullptr;
}

// max(1, top_n) as a slice bound.
bool top_count(PyObject* top_n, Py_ssize_t& out) {
    if (PyIndex_Check(top_n)) {
        Ref i(PyNumber_Index(top_n));
        if (!i) return false;
        out = PyNumber_AsSsize_t(i.get(), nullptr);
        if (PyErr_Occurred()) return false;
        out = std::max<Py_ssize_t>(1, out);
        return true;
    }
    Ref one(PyLong_FromLong(1));
    int gt = one ? PyObject_RichCompareBool(top_n, one.get(), Py_GT) : -1;
    if (gt < 0) return false;
    if (gt) {
        PyErr_SetString(PyExc_TypeError, "slice indices must be integers or None or have an __index__ method");
        return false;
    }
    out = 1;
    return true;
}

}  // namespace

// ------------------------------------------------------------ entry points

PyObject* merge_top_candidate_states(PyObject* base_candidate, PyObject* candidates, PyObject* top_n) {
    if (!PyList_Check(candidates)) {
        PyErr_Format(PyExc_TypeError, "candidates must be a list, not %.200s", Py_TYPE(candidates)->tp_name);
        return nullptr;
    }
    Ref ranked(ranked_candidates(candidates));
    Py_ssize_t n;
    if (!ranked || !top_count(top_n, n)) return nullptr;
    std::vector<Ref> top;
    for (Py_ssize_t i = 0; i < std::min(n, PyList_GET_SIZE(ranked.get())); ++i)
        top.push_back(Ref::borrow(PyList_GET_ITEM(ranked.get(), i)));
    Ref base_card(field(base_candidate, ContextCandidateType, CAND_CARD, "card"));
    if (!base_card) return nullptr;
    if (base_card.get() != Py_None) {
        bool all_other = true;
        for (const Ref& c : top) {
            Ref id(field(c.get(), ContextCandidateType, CAND_TURN_ID, "turn_id"));
            Ref base_id(id ? field(base_candidate, ContextCandidateType, CAND_TURN_ID, "turn_id") : nullptr);
            int ne = base_id ? aw::py_compare(id.get(), base_id.get(), Py_NE) : -1;
            if (ne < 0) return nullptr;
            if (!ne) {
                all_other = false;
                break;
            }
        }
        if (all_other) top.insert(top.begin(), Ref::borrow(base_candidate));
    }

    Ref merged(PyDict_New());
    if (!merged) return nullptr;
    // The state of a candidate's card, or nullptr-free None when it has no card.
    auto state_of = [](PyObject* c, Ref& state) -> bool {
        Ref card(field(c, ContextCandidateType, CAND_CARD, "card"));
        if (!card) return false;
        state = card.get() == Py_None ? Ref() : Ref(card_state(card.get()));
        return card.get() == Py_None || bool(state);
    };
    std::string marker, low;
    for (const char* k : kListKeys) {
        Ref kk = Ref::borrow(aw::interned(k));
        Ref items(kk ? PyList_New(0) : nullptr);
        if (!items) return nullptr;
        std::unordered_set<std::string> seen;  // states may hold very long lists
        for (const Ref& c : top) {
            Ref state;
            if (!state_of(c.get(), state)) return nullptr;
            if (!state) continue;
            Ref value(state_lookup(state.get(), kk.get()));
            if (!value) return nullptr;
            int t = PyObject_IsTrue(value.get());
            if (t < 0) return nullptr;
            if (!t) continue;
            if (!PyList_Check(value.get())) {
                PyObject* one = PyList_New(1);
                if (!one) return nullptr;
                PyList_SET_ITEM(one, 0, value.release());
                value = Ref(one);
            }
            if (!for_each_item(value.get(), [&](PyObject* item) {
                    marker.clear();
                    if (!((PyList_CheckExact(item) || PyTuple_CheckExact(item) || PyDict_CheckExact(item)) &&
                          simple_repr(marker, item, 0))) {
                        marker.clear();
                        if (!plain_text_append(marker, item)) return -1;
                    }
                    lower_into(marker, low);
                    if (!seen.insert(low).second) return 1;
                    return PyList_Append(items.get(), item) < 0 ? -1 : 1;
                }))
                return nullptr;
        }
        if (PyList_GET_SIZE(items.get()) && PyDict_SetItem(merged.get(), kk.get(), items.get()) < 0) return nullptr;
    }
    for (const char* k : kScalarKeys) {
        Ref kk = Ref::borrow(aw::interned(k));
        if (!kk) return nullptr;
        for (const Ref& c : top) {
            Ref state;
            if (!state_of(c.get(), state)) return nullptr;
            if (!state) continue;
            Ref value(state_lookup(state.get(), kk.get()));
            if (!value) return nullptr;
            int t = PyObject_IsTrue(value.get());
            if (t < 0) return nullptr;
            if (t) {
                if (PyDict_SetItem(merged.get(), kk.get(), value.get()) < 0) return nullptr;
                break;
            }
        }
    }
    return merged.release();
}

bool filters_to_text(PyObject* filters, std::string& out) {
    int t = PyObject_IsTrue(filters);
    if (t <= 0) return t == 0;
    if (!PyList_Check(filters)) return compact_value(filters, 120, out);
    Ref head(PySequence_GetSlice(filters, 0, 5));
    if (!head) return false;
    bool first = true;
    std::string piece;
    return for_each_item(head.get(), [&](PyObject* entry) {
        piece.clear();
        if (!filter_piece(entry, piece)) return -1;
        if (piece.empty()) return 1;
        if (!first) out += ", ";
        out += piece;
        first = false;
        return 1;
    });
}

PyObject* state_to_question_parts(PyObject* lens, PyObject* base_question, PyObject* state) {
    if (!PyDict_Check(state)) {
        PyErr_Format(PyExc_TypeError, "state must be a dict, not %.200s", Py_TYPE(state)->tp_name);
        return nullptr;
    }
    // An empty value reads as None here: it behaves as the empty map, list
    // or text it stands for.
    Ref aggregation(get_or(state, "aggregation", Py_NewRef(Py_None)));
    Ref metrics(aggregation ? get_or(state, "metrics", Py_NewRef(Py_None)) : nullptr);
    Ref dimensions(metrics ? get_or(state, "dimensions", Py_NewRef(Py_None)) : nullptr);
    Ref group_by(dimensions ? get_or(state, "group_by", Py_NewRef(Py_None)) : nullptr);
    Ref filters(group_by ? get_or(state, "filters", Py_NewRef(Py_None)) : nullptr);
    Ref granularity(filters ? get_or(state, "granularity", empty_str()) : nullptr);
    if (!granularity) return nullptr;

    std::string metric;
    bool by_aggregation = false;
    Ref column;
    if (PyDict_Check(aggregation.get())) {
        Ref kc = Ref::borrow(aw::interned("column"));
        column = Ref(kc ? state_lookup(aggregation.get(), kc.get()) : nullptr);
        if (!column) return nullptr;
        int t = PyObject_IsTrue(column.get());
        if (t < 0) return nullptr;
        by_aggregation = t;
    }
    if (by_aggregation) {
        Ref function(get_or(aggregation.get(), "function", empty_str()));
        if (!function || !plain_text_append(metric, function.get())) return nullptr;
        metric.push_back(' ');
        if (!plain_text_append(metric, column.get())) return nullptr;
        metric = std::string(aw::strip(metric));
    } else {
        int t = PyObject_IsTrue(metrics.get());
        if (t < 0) return nullptr;
        if (t) {
            Ref entries(as_entries(metrics.get()));
            Ref head(entries ? PySequence_GetSlice(entries.get(), 0, 3) : nullptr);
            if (!head) return nullptr;
            bool first = true;
            if (!for_each_item(head.get(), [&](PyObject* e) {
                    if (!first) metric.push_back(' ');
                    first = false;
                    return plain_text_append(metric, e) ? 1 : -1;
                }))
                return nullptr;
        }
    }

    int use_group_by = PyObject_IsTrue(group_by.get());
    if (use_group_by < 0) return nullptr;
    Ref entries(as_entries(use_group_by ? group_by.get() : dimensions.get()));
    if (!entries) return nullptr;
    std::string grouping, text, low;
    int kept = 0;
    if (!for_each_item(entries.get(), [&](PyObject* e) {
            text.clear();
            if (!plain_text_append(text, e)) return -1;
            lower_into(text, low);
            for (const char* g : kTimeGrains)
                if (low == g) return 1;
            if (kept++ < 5) {
                if (kept > 1) grouping += ", ";
                grouping += text;
            }
            return 1;
        }))
        return nullptr;

    Ref filter;
    int own = own_stage(lens, STAGE_FILTERS_TO_TEXT);
    if (own > 0) {
        std::string text;
        if (filters_to_text(filters.get(), text)) filter = Ref(aw::new_str(text));
    } else if (own == 0) {
        // the rules pass `state.get("filters") or []`
        Ref given(filters.get() == Py_None ? PyList_New(0) : Py_NewRef(filters.get()));
        if (given) filter = Ref(call_stage(lens, STAGE_FILTERS_TO_TEXT, {given.get()}));
    }
    if (!filter) return nullptr;
    std::string gran;
    int has_gran = PyObject_IsTrue(granularity.get());
    if (has_gran < 0 || (has_gran && !plain_text_append(gran, granularity.get()))) return nullptr;

    Ref parts(PyDict_New());
    if (!parts) return nullptr;
    Ref metric_s(aw::new_str(metric)), grouping_s(aw::new_str(grouping)), gran_s(aw::new_str(gran));
    const std::pair<const char*, PyObject*> texts[] = {{"metric", metric_s.get()},
                                                        {"grouping", grouping_s.get()},
                                                        {"filter", filter.get()},
                                                        {"granularity", gran_s.get()}};
    for (const auto& [k, v] : texts) {
        Ref kk(v ? Py_XNewRef(aw::interned(k)) : nullptr);
        if (!kk || PyDict_SetItem(parts.get(), kk.get(), v) < 0) return nullptr;
    }
    Ref kb = Ref::borrow(aw::interned("base_question"));
    if (!kb || PyDict_SetItem(parts.get(), kb.get(), base_question) < 0) return nullptr;
    return parts.release();
}

PyObject* render_question_parts(PyObject* parts, PyObject* fallback) {
    if (!PyDict_Check(parts)) {
        PyErr_Format(PyExc_TypeError, "parts must be a dict, not %.200s", Py_TYPE(parts)->tp_name);
        return nullptr;
    }
    if (!require_str(fallback, "_render_question_parts", "fallback")) return nullptr;
    Ref metric(get_or(parts, "metric", Py_XNewRef(aw::interned("the previous metric"))));
    Ref grouping(metric ? get_or(parts, "grouping", empty_str()) : nullptr);
    Ref granularity(grouping ? get_or(parts, "granularity", empty_str()) : nullptr);
    Ref filter(granularity ? get_or(parts, "filter", empty_str()) : nullptr);
    Ref limit(filter ? get_or(parts, "limit", empty_str()) : nullptr);
    Ref compare(limit ? get_or(parts, "compare", empty_str()) : nullptr);
    if (!compare) return nullptr;

    std::string text = "Show";
    Py_ssize_t index = 1;     // position of the next piece in the joined list
    Py_ssize_t bad_at = -1;   // first piece that is not text (join rejects it)
    PyObject* bad = nullptr;
    auto truthy = [](PyObject* v) { return PyObject_IsTrue(v); };
    auto raw_piece = [&](PyObject* v) {
        if (!PyUnicode_Check(v)) {
            if (bad_at < 0) {
                bad_at = index;
                bad = v;
            }
        } else {
            text.push_back(' ');
            aw::append_str(text, v);
        }
        ++index;
    };
    auto formatted = [&](const char* prefix, PyObject* v) {
        text.push_back(' ');
        text += prefix;
        ++index;
        return format_append(text, v);
    };
    int t = truthy(granularity.get());
    if (t < 0) return nullptr;
    if (t) {
        int day = PyObject_RichCompareBool(granularity.get(), KEY("day"), Py_EQ);
        if (day < 0) return nullptr;
        if (day) {
            text += " daily";
            ++index;
        } else {
            if (!formatted("", granularity.get())) return nullptr;
            text += "ly";
        }
    }
    raw_piece(metric.get());
    struct Opt {
        const char* prefix;
        PyObject* v;
    };
    for (const Opt& o : {Opt{"by ", grouping.get()}, Opt{"where ", filter.get()}, Opt{nullptr, limit.get()},
                         Opt{"and compare ", compare.get()}}) {
        t = truthy(o.v);
        if (t < 0) return nullptr;
        if (!t) continue;
        if (!o.prefix) raw_piece(o.v);
        else if (!formatted(o.prefix, o.v)) return nullptr;
    }
    if (bad_at >= 0) {
        PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", bad_at,
                     Py_TYPE(bad)->tp_name);
        return nullptr;
    }
    std::string out, low;
    aw::compact(text, PY_SSIZE_T_MAX, out);  // strip, then every white-space run to one blank
    lower_into(out, low);
    if (low == "show the previous metric" || low == "show") return Py_NewRef(fallback);
    return aw::new_str(out);
}

PyObject* build_ambiguity_question(PyObject* candidates) {
    if (!PyList_Check(candidates)) {
        PyErr_Format(PyExc_TypeError, "candidates must be a list, not %.200s", Py_TYPE(candidates)->tp_name);
        return nullptr;
    }
    Ref head(PySequence_GetSlice(candidates, 0, 3));
    if (!head) return nullptr;
    std::vector<std::pair<Ref, Ref>> kept;  // candidate, card
    if (!for_each_item(head.get(), [&](PyObject* c) {
            Ref card(field(c, ContextCandidateType, CAND_CARD, "card"));
            if (!card) return -1;
            if (card.get() != Py_None) kept.emplace_back(Ref::borrow(c), card);
            return 1;
        }))
        return nullptr;
    if (kept.empty()) return PyUnicode_FromString("Can you clarify what you want me to use as context?");
    std::string out = "Which previous result should I use? ";
    for (size_t i = 0; i < kept.size(); ++i) {
        PyObject* card = kept[i].second.get();
        Ref label(card_field(card, CARD_RESOLVED_QUESTION));
        int t = label ? PyObject_IsTrue(label.get()) : -1;
        if (t < 0) return nullptr;
        if (!t) {
            label = Ref(card_field(card, CARD_USER_QUESTION));
            t = label ? PyObject_IsTrue(label.get()) : -1;
            if (t < 0) return nullptr;
        }
        if (!t) {
            Ref id(card_field(card, CARD_TURN_ID));
            std::string s = "turn ";
            if (!id || !plain_text_append(s, id.get())) return nullptr;
            label = Ref(aw::new_str(s));
            if (!label) return nullptr;
        }
        Ref cid(field(kept[i].first.get(), ContextCandidateType, CAND_TURN_ID, "turn_id"));
        if (!cid) return nullptr;
        if (i) out += " | ";
        out += "turn ";
        if (!plain_text_append(out, cid.get())) return nullptr;
        out += ": ";
        if (!compact_value(label.get(), 80, out)) return nullptr;
    }
    return aw::new_str(out);
}

PyObject* compose_resolved_question(PyObject* lens, PyObject* current_question, PyObject* base, PyObject* delta,
                                    PyObject* context_type, PyObject* candidates, PyObject* base_candidate) {
    if (!require_str(current_question, "_compose_resolved_question", "current_question")) return nullptr;
    if (candidates && candidates != Py_None && !PyList_Check(candidates)) {
        PyErr_Format(PyExc_TypeError, "candidates must be a list or None, not %.200s", Py_TYPE(candidates)->tp_name);
        return nullptr;
    }
    Ref config(lens_config(lens));  // caller code below may replace the lens's settings
    if (!config) return nullptr;

    Ref base_question(card_field(base, CARD_RESOLVED_QUESTION));
    int t = base_question ? PyObject_IsTrue(base_question.get()) : -1;
    if (t < 0) return nullptr;
    bool asked = true;  // the card holds a question of its own
    if (!t) {
        base_question = Ref(card_field(base, CARD_USER_QUESTION));
        t = base_question ? PyObject_IsTrue(base_question.get()) : -1;
        if (t < 0) return nullptr;
        if (!t) {
            base_question = Ref(PyUnicode_FromString("the previous request"));
            asked = false;
        }
        if (!base_question) return nullptr;
    }

    int suggestion = PyObject_RichCompareBool(context_type, KEY("suggestion_request"), Py_EQ);
    if (suggestion < 0) return nullptr;
    if (suggestion) {
        std::string s = "Suggest related analyses or next useful questions based on: ";
        if (!plain_text_append(s, base_question.get())) return nullptr;
        return aw::new_str(s);
    }

    // Merged follow-ups (an opt-in mode): the card's own question with the
    // message's change applied.
    if (reinterpret_cast<LensObject*>(lens)->merge_followups && asked && PyUnicode_Check(base_question.get())) {
        TextView earlier(base_question.get()), message(current_question);
        std::string merged;
        if (modes::merge_followup(earlier.view, message.view, merged)) return aw::new_str(merged);
    }

    {
        MessageText m(current_question);
        int complete = own_stage(lens, STAGE_LOOKS_LIKE_COMPLETE_QUESTION);
        if (complete > 0) {
            Ref own_config(PyObject_GetAttr(lens, KEY("config")));  // as the method reads it
            complete = own_config ? looks_like_complete_question(lens, own_config.get(), m, current_question) : -1;
        } else if (complete == 0) {
            complete = stage_truth(lens, STAGE_LOOKS_LIKE_COMPLETE_QUESTION, {current_question});
        }
        if (complete < 0) return nullptr;
        int pronoun = complete ? pronoun_followup(lens, m, current_question) : 0;
        if (pronoun < 0) return nullptr;
        if (complete && !pronoun) return Py_NewRef(current_question);
    }

    Ref state;
    int merge = 0;
    if (candidates && candidates != Py_None && base_candidate && base_candidate != Py_None) {
        merge = PyObject_IsTrue(candidates);
        if (merge < 0) return nullptr;
    }
    if (merge) {
        state = Ref(run_stage(lens, STAGE_MERGE_TOP_CANDIDATE_STATES, {base_candidate, candidates},
                              [&]() -> PyObject* {
                                  Ref three(PyLong_FromLong(3));
                                  return three ? merge_top_candidate_states(base_candidate, candidates, three.get())
                                               : nullptr;
                              }));
    } else {
        state = Ref(card_state(base));
    }
    if (!state) return nullptr;
    Ref parts(run_stage(lens, STAGE_STATE_TO_QUESTION_PARTS, {base_question.get(), state.get()},
                        [&] { return state_to_question_parts(lens, base_question.get(), state.get()); }));
    if (!parts) return nullptr;

    // A replacement number goes into the base's filter or metric before the
    // hints below apply.
    Ref overridden(run_stage(lens, STAGE_APPLY_NUMERIC_OVERRIDE, {parts.get(), delta}, [&] {
        return apply_numeric_override(parts.get(), delta) ? Py_NewRef(Py_None) : nullptr;
    }));
    if (!overridden) return nullptr;

    auto hint = [&](DeltaField f, const char* name, Ref& v) -> int {
        v = Ref(field(delta, IntentDeltaType, f, name));
        return v ? PyObject_IsTrue(v.get()) : -1;
    };
    auto put = [&](const char* k, PyObject* v) {
        Ref kk(v ? Py_XNewRef(aw::interned(k)) : nullptr);
        return kk && PyDict_SetItem(parts.get(), kk.get(), v) == 0;
    };
    Ref v;
    static const std::pair<DeltaField, std::pair<const char*, const char*>> replaced[] = {
        {DELTA_GRANULARITY, {"granularity", "granularity"}},
        {DELTA_DIMENSION_HINT, {"dimension_hint", "grouping"}},
        {DELTA_METRIC_HINT, {"metric_hint", "metric"}}};
    for (const auto& [f, names] : replaced) {
        t = hint(f, names.first, v);
        if (t < 0 || (t && !put(names.second, v.get()))) return nullptr;
    }
    t = hint(DELTA_FILTER_HINT, "filter_hint", v);
    if (t < 0) return nullptr;
    if (t) {
        // filters are added to, never replaced
        Ref existing(state_lookup(parts.get(), KEY("filter")));
        int has = existing ? PyObject_IsTrue(existing.get()) : -1;
        if (has < 0) return nullptr;
        if (has) {
            std::string s;
            if (!format_append(s, existing.get())) return nullptr;
            s += ", ";
            if (!format_append(s, v.get())) return nullptr;
            Ref joined(aw::new_str(s));
            if (!put("filter", joined.get())) return nullptr;
        } else if (!put("filter", v.get())) {
            return nullptr;
        }
    }
    // A count of 0 is still a count.
    for (const auto& [f, name, word] : {std::tuple{DELTA_TOP_N, "top_n", "top "},
                                         std::tuple{DELTA_BOTTOM_N, "bottom_n", "bottom "}}) {
        Ref n(field(delta, IntentDeltaType, f, name));
        if (!n) return nullptr;
        if (n.get() == Py_None) continue;
        std::string s = word;
        if (!plain_text_append(s, n.get())) return nullptr;
        Ref limit(aw::new_str(s));
        if (!put("limit", limit.get())) return nullptr;
    }
    t = hint(DELTA_COMPARE_HINT, "compare_hint", v);
    if (t < 0 || (t && !put("compare", v.get()))) return nullptr;

    std::string fallback;
    if (!plain_text_append(fallback, base_question.get())) return nullptr;
    fallback += ". Modification: ";
    aw::append_str(fallback, current_question);
    Ref fb(aw::new_str(fallback));
    if (!fb) return nullptr;
    return run_stage(lens, STAGE_RENDER_QUESTION_PARTS, {parts.get(), fb.get()},
                     [&] { return render_question_parts(parts.get(), fb.get()); });
}

PyObject* build_contextual_resolution(PyObject* lens, PyObject* context_type, PyObject* current_question,
                                      PyObject* base_candidate, PyObject* intent_delta, PyObject* candidates,
                                      PyObject* route, PyObject* reason) {
    if (!require_str(current_question, "_build_contextual_resolution", "current_question")) return nullptr;
    if (!PyList_Check(candidates)) {
        PyErr_Format(PyExc_TypeError, "candidates must be a list, not %.200s", Py_TYPE(candidates)->tp_name);
        return nullptr;
    }
    Ref config(lens_config(lens));
    if (!config) return nullptr;
    Ref card(field(base_candidate, ContextCandidateType, CAND_CARD, "card"));
    if (!card) return nullptr;
    if (card.get() == Py_None) {
        Ref why(PyUnicode_FromString("Internal error: selected candidate had no context card."));
        Ref ask(why ? PyUnicode_FromString("Please rephrase your question.") : nullptr);
        if (!ask) return nullptr;
        return run_stage(lens, STAGE_CLARIFY, {current_question, candidates, why.get(), ask.get()},
                         [&] { return clarify_resolution(lens, current_question, candidates, why.get(), ask.get()); });
    }
    Ref resolved, query, tables, columns;
    int own = own_stage(lens, STAGE_COMPOSE_RESOLVED_QUESTION);
    if (own > 0) {
        resolved = Ref(compose_resolved_question(lens, current_question, card.get(), intent_delta, context_type,
                                                 candidates, base_candidate));
    } else if (own == 0) {
        // keyword arguments for the optional two, as the caller would name them
        Ref names(Py_BuildValue("(ss)", "candidates", "base_candidate"));
        PyObject* argv[] = {lens, current_question, card.get(), intent_delta, context_type, candidates, base_candidate};
        resolved = Ref(names ? PyObject_VectorcallMethod(stage_name(STAGE_COMPOSE_RESOLVED_QUESTION), argv,
                                                         5 | PY_VECTORCALL_ARGUMENTS_OFFSET, names.get())
                             : nullptr);
    }
    if (!resolved) return nullptr;
    query = Ref(run_stage(lens, STAGE_COMPOSE_METADATA_SEARCH_QUERY,
                          {current_question, card.get(), intent_delta, resolved.get()}, [&] {
                              return compose_metadata_search_query(lens, current_question, card.get(), intent_delta,
                                                                   resolved.get());
                          }));
    if (!query) return nullptr;
    own = own_stage(lens, STAGE_CONSTRAINTS_FROM_BASE);
    Ref constraints;
    if (own > 0) {
        Ref own_config(lens_config(lens));
        constraints = Ref(own_config ? constraints_from_base(own_config.get(), card.get(), intent_delta) : nullptr);
    } else if (own == 0) {
        constraints = Ref(call_stage(lens, STAGE_CONSTRAINTS_FROM_BASE, {card.get(), intent_delta}));
    }
    if (!constraints || !unpack_pair(constraints.get(), tables, columns)) return nullptr;

    Ref include(config_field(config.get(), CFG_INCLUDE_ANCHOR_METADATA_IDS));
    int t = include ? PyObject_IsTrue(include.get()) : -1;
    if (t < 0) return nullptr;
    Ref anchors;
    if (t) {
        Ref ids(card_field(card.get(), CARD_SELECTED_METADATA_IDS));
        anchors = Ref(ids ? PySequence_List(ids.get()) : nullptr);
    } else {
        anchors = Ref(PyList_New(0));
    }
    if (!anchors) return nullptr;

    // confidence = max(0.0, min(0.99, score)), with the host's comparisons
    Ref score(field(base_candidate, ContextCandidateType, CAND_SCORE, "score"));
    if (!score) return nullptr;
    Ref confidence;
    if (PyFloat_CheckExact(score.get())) {
        double x = PyFloat_AS_DOUBLE(score.get());
        double m = x < 0.99 ? x : 0.99;
        confidence = Ref(PyFloat_FromDouble(m > 0.0 ? m : 0.0));
    } else {
        Ref top(PyFloat_FromDouble(0.99)), bottom(PyFloat_FromDouble(0.0));
        if (!top || !bottom) return nullptr;
        int lt = PyObject_RichCompareBool(score.get(), top.get(), Py_LT);
        if (lt < 0) return nullptr;
        Ref m = lt ? score : top;
        int gt = PyObject_RichCompareBool(m.get(), bottom.get(), Py_GT);
        if (gt < 0) return nullptr;
        confidence = gt ? m : bottom;
    }
    if (!confidence) return nullptr;
    int latest_type = PyObject_RichCompareBool(context_type, KEY("follow_up_latest"), Py_EQ);
    if (latest_type < 0) return nullptr;
    if (latest_type) {
        Ref cards(PyList_New(0));
        if (!cards || !for_each_item(candidates, [&](PyObject* c) {
                Ref cc(field(c, ContextCandidateType, CAND_CARD, "card"));
                if (!cc) return -1;
                return cc.get() == Py_None || PyList_Append(cards.get(), cc.get()) == 0 ? 1 : -1;
            }))
            return nullptr;
        Ref latest(run_stage(lens, STAGE_LATEST_ACTIVE_TURN_ID, {cards.get()},
                             [&] { return latest_active_turn_id(cards.get()); }));
        Ref id(latest ? card_field(card.get(), CARD_TURN_ID) : nullptr);
        int same = id ? aw::py_compare(id.get(), latest.get(), Py_EQ) : -1;
        if (same < 0) return nullptr;
        if (same) {
            // min(confidence + 0.05, 0.99)
            Ref bonus(PyFloat_FromDouble(0.05)), top(PyFloat_FromDouble(0.99));
            Ref sum(bonus && top ? PyNumber_Add(confidence.get(), bonus.get()) : nullptr);
            int over = sum ? PyObject_RichCompareBool(top.get(), sum.get(), Py_LT) : -1;
            if (over < 0) return nullptr;
            confidence = over ? top : sum;
        }
    }

    Ref include_candidates(config_field(config.get(), CFG_INCLUDE_DEBUG_CANDIDATES));
    t = include_candidates ? PyObject_IsTrue(include_candidates.get()) : -1;
    if (t < 0) return nullptr;
    Ref shown(t ? Py_NewRef(candidates) : PyList_New(0));
    Ref extra(shown ? PyDict_New() : nullptr);
    if (!extra) return nullptr;
    for (const auto& [f, k] : {std::pair{CARD_TASK_TYPE, "base_task_type"},
                               std::pair{CARD_ARTIFACT_TYPE, "base_artifact_type"},
                               std::pair{CARD_ARTIFACT_ID, "base_artifact_id"}}) {
        Ref v(card_field(card.get(), f));
        Ref kk(v ? Py_XNewRef(aw::interned(k)) : nullptr);
        if (!kk || PyDict_SetItem(extra.get(), kk.get(), v.get()) < 0) return nullptr;
    }
    Ref turn_id(card_field(card.get(), CARD_TURN_ID));
    Ref r(turn_id ? new_resolution() : nullptr);
    if (!r) return nullptr;
    PyObject* rec = r.get();
    rec_set(rec, RES_CONTEXT_TYPE, Py_NewRef(context_type));
    rec_set(rec, RES_CURRENT_QUESTION, Py_NewRef(current_question));
    rec_set(rec, RES_RESOLVED_QUESTION, resolved.release());
    rec_set(rec, RES_METADATA_SEARCH_QUERY, query.release());
    rec_set(rec, RES_BASE_TURN_ID, turn_id.release());
    rec_set(rec, RES_USE_PREVIOUS_STATE, Py_NewRef(Py_True));
    rec_set(rec, RES_INTENT_DELTA, Py_NewRef(intent_delta));
    rec_set(rec, RES_REQUIRED_TABLES, tables.release());
    rec_set(rec, RES_REQUIRED_COLUMNS, columns.release());
    rec_set(rec, RES_ANCHOR_METADATA_IDS, anchors.release());
    rec_set(rec, RES_ALLOW_RELATED_TABLES, Py_NewRef(Py_True));
    rec_set(rec, RES_CONFIDENCE, confidence.release());
    rec_set(rec, RES_REASON, Py_NewRef(reason));
    rec_set(rec, RES_CANDIDATES, shown.release());
    rec_set(rec, RES_ROUTE, Py_NewRef(route));
    rec_set(rec, RES_EXTRA, extra.release());
    return r.release();
}

// ------------------------------------------------------------ TurnLens methods

namespace {


PyObject* py_build_contextual_resolution(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"context_type", "current_question", "base_candidate", "intent_delta",
                               "candidates",   "route",            "reason",         nullptr};
    PyObject *context_type, *cq, *base_candidate, *delta, *candidates, *route, *reason;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOOOO:_build_contextual_resolution", const_cast<char**>(kw),
                                     &context_type, &cq, &base_candidate, &delta, &candidates, &route, &reason))
        return nullptr;
    return build_contextual_resolution(self, context_type, cq, base_candidate, delta, candidates, route, reason);
}

PyObject* py_compose_resolved_question(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"current_question", "base",       "delta", "context_type",
                               "candidates",       "base_candidate", nullptr};
    PyObject *cq, *base, *delta, *context_type, *candidates = Py_None, *base_candidate = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|OO:_compose_resolved_question", const_cast<char**>(kw), &cq,
                                     &base, &delta, &context_type, &candidates, &base_candidate))
        return nullptr;
    return compose_resolved_question(self, cq, base, delta, context_type, candidates, base_candidate);
}

PyObject* py_merge_top_candidate_states(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"base_candidate", "candidates", "top_n", nullptr};
    PyObject *base_candidate, *candidates, *top_n = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:_merge_top_candidate_states", const_cast<char**>(kw),
                                     &base_candidate, &candidates, &top_n))
        return nullptr;
    Ref three;
    if (!top_n) {
        three = Ref(PyLong_FromLong(3));
        if (!three) return nullptr;
        top_n = three.get();
    }
    return merge_top_candidate_states(base_candidate, candidates, top_n);
}

PyObject* py_state_to_question_parts(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"base_question", "state", nullptr};
    PyObject *base_question, *state;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:_state_to_question_parts", const_cast<char**>(kw),
                                     &base_question, &state))
        return nullptr;
    return state_to_question_parts(self, base_question, state);
}

PyObject* py_filters_to_text(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"filters", nullptr};
    PyObject* filters;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_filters_to_text", const_cast<char**>(kw), &filters))
        return nullptr;
    std::string out;
    if (!filters_to_text(filters, out)) return nullptr;
    return aw::new_str(out);
}

PyObject* py_render_question_parts(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"parts", "fallback", nullptr};
    PyObject *parts, *fallback;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:_render_question_parts", const_cast<char**>(kw), &parts,
                                     &fallback))
        return nullptr;
    return render_question_parts(parts, fallback);
}

PyObject* py_build_ambiguity_question(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"candidates", nullptr};
    PyObject* candidates;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_build_ambiguity_question", const_cast<char**>(kw),
                                     &candidates))
        return nullptr;
    return build_ambiguity_question(candidates);
}

}  // namespace

PyMethodDef lens_compose_methods[] = {
    {"_build_contextual_resolution", AW_KW(py_build_contextual_resolution),
     "_build_contextual_resolution($self, /, context_type, current_question, base_candidate, intent_delta, "
     "candidates, route, reason)\n--\n\nA resolution built on the base candidate's card."},
    {"_compose_resolved_question", AW_KW(py_compose_resolved_question),
     "_compose_resolved_question($self, /, current_question, base, delta, context_type, candidates=None, "
     "base_candidate=None)\n--\n\nThe self-contained question: the base's state with the change applied."},
    {"_merge_top_candidate_states", AW_KW(py_merge_top_candidate_states),
     "_merge_top_candidate_states($self, /, base_candidate, candidates, top_n=3)\n--\n\n"
     "The query states of the best candidates (and the base) merged into one map."},
    {"_state_to_question_parts", AW_KW(py_state_to_question_parts),
     "_state_to_question_parts($self, /, base_question, state)\n--\n\n"
     "Metric, grouping, filter and granularity texts of a stored query state."},
    {"_filters_to_text", AW_KW(py_filters_to_text),
     "_filters_to_text($self, /, filters)\n--\n\nStored filters as one line of text."},
    {"_render_question_parts", AW_KW(py_render_question_parts),
     "_render_question_parts($self, /, parts, fallback)\n--\n\n"
     "The question sentence of the parts, or fallback when it would say nothing."},
    {"_build_ambiguity_question", AW_KW(py_build_ambiguity_question),
     "_build_ambiguity_question($self, /, candidates)\n--\n\nThe question asking which earlier result to use."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace tl
