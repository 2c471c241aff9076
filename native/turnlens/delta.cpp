// Intent delta extraction: the change a follow-up message asks for.
#include "turnlens/turnlens.hpp"

#include "common/pytext.hpp"
#include "core/bigint.hpp"
#include "core/text.hpp"
#include "core/unicode.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace tl {
using aw::Ref;

namespace {

struct HintPatterns {
    std::vector<aw::rx::Regex> dimension, filter;
    aw::rx::Regex cut{R"(\b(for|with|from|last|previous|current|next|top|bottom|sort|order|limit)\b.*$)", 0};
    HintPatterns() {
        for (const char* p : {R"(\bby\s+([a-zA-Z0-9_\- ]{2,60}))", R"(\bgroup\s+by\s+([a-zA-Z0-9_\- ]{2,60}))",
                              R"(\bmake\s+(?:it\s+)?([a-zA-Z0-9_\- ]{2,60})\s+(?:based|wise))",
                              R"(\b([a-zA-Z0-9_\- ]{2,60})\s+(?:based|wise)\b)"})
            dimension.emplace_back(p, 0);
        for (const char* p : {R"(\bonly\s+([a-zA-Z0-9_\- =']{2,80}))", R"(\binclude\s+([a-zA-Z0-9_\- =']{2,80}))",
                              R"(\bwhere\s+([a-zA-Z0-9_\- =']{2,80}))",
                              R"(\bfilter\s+(?:by\s+)?([a-zA-Z0-9_\- =']{2,80}))"})
            filter.emplace_back(p, 0);
    }
};
const HintPatterns& hint_patterns() {
    static const HintPatterns* p = new HintPatterns();  // kept for the process
    return *p;
}

const char* const kFilterTriggers[] = {"only ", "include ", "where ", "filter "};
const char* const kFilterRemoval[] = {"remove filter", "without filter", "clear filter", "ignore filter"};
const char* const kSortPhrases[] = {"sort", "highest", "lowest", "ascending", "descending", "desc", "asc"};
const char* const kComparePhrases[] = {"compare", "vs", "versus", "difference", "growth", "change from"};

template <size_t N>
bool contains_any(std::string_view text, const char* const (&phrases)[N]) {
    for (const char* p : phrases)
        if (text.find(p) != std::string_view::npos) return true;
    return false;
}


PyObject* limbs_to_int(const std::vector<uint64_t>& v) {
    std::vector<unsigned char> bytes(v.size() * 8 + 1, 0);  // a zero top byte keeps it non-negative
    for (size_t i = 0; i < v.size(); ++i)
        for (int k = 0; k < 8; ++k) bytes[i * 8 + k] = static_cast<unsigned char>(v[i] >> (8 * k));
    return _PyLong_FromByteArray(bytes.data(), bytes.size(), 1, 0);
}

// First cleaned non-empty capture of the patterns, or empty.
std::string first_hint(const std::vector<aw::rx::Regex>& list, std::string_view q) {
    aw::rx::Match m;
    for (const aw::rx::Regex& rx : list) {
        if (!rx.search(q, m)) continue;
        std::string hint = clean_hint(m.group(q, 1));
        if (!hint.empty()) return hint;
    }
    return std::string();
}

// _extract_metric_hint: found is false when no alias is contained.
std::string metric_hint(std::string_view q, bool& found) {
    const auto& groups = vocab().aggregation_aliases;
    for (size_t k = 0; k < groups.size(); ++k)
        for (size_t j = 0; j < groups[k].forms.size(); ++j) {
            const std::string& alias = groups[k].forms[j];
            if (q.find(alias) == std::string_view::npos) continue;
            found = true;
            aw::rx::Match m;
            if (patterns().metric[k][j].search(q, m)) {
                std::string hint = clean_hint(m.group(q, 1));
                if (!hint.empty()) return hint;
            }
            return alias;
        }
    found = false;
    return std::string();
}

bool append_new_str(PyObject* list, std::string_view s) {
    Ref o(aw::new_str(s));
    return o && PyList_Append(list, o.get()) == 0;
}

PyObject* optional_str(const std::string& s) {
    if (s.empty()) Py_RETURN_NONE;
    return aw::new_str(s);
}

// lens._clean_hint(text): its answer is used whatever it is.
PyObject* clean_hint_stage(PyObject* lens, std::string_view text) {
    Ref hint(aw::new_str(text));
    if (!hint) return nullptr;
    return run_stage(lens, STAGE_CLEAN_HINT, {hint.get()}, [&] { return aw::new_str(clean_hint(text)); });
}

// The first true answer of _clean_hint for a capture of the patterns in q, else None.
PyObject* first_hint_stage(PyObject* lens, const std::vector<aw::rx::Regex>& list, std::string_view q) {
    aw::rx::Match m;
    for (const aw::rx::Regex& rx : list) {
        if (!rx.search(q, m)) continue;
        Ref hint(clean_hint_stage(lens, m.group(q, 1)));
        int t = hint ? PyObject_IsTrue(hint.get()) : -1;
        if (t) return t < 0 ? nullptr : hint.release();
    }
    Py_RETURN_NONE;
}

PyObject* metric_hint_stage(PyObject* lens, std::string_view q) {
    const auto& groups = vocab().aggregation_aliases;
    for (size_t k = 0; k < groups.size(); ++k)
        for (size_t j = 0; j < groups[k].forms.size(); ++j) {
            const std::string& alias = groups[k].forms[j];
            if (q.find(alias) == std::string_view::npos) continue;
            aw::rx::Match m;
            if (patterns().metric[k][j].search(q, m)) {
                Ref hint(clean_hint_stage(lens, m.group(q, 1)));
                int t = hint ? PyObject_IsTrue(hint.get()) : -1;
                if (t) return t < 0 ? nullptr : hint.release();
            }
            return aw::new_str(alias);
        }
    Py_RETURN_NONE;
}

// TurnLens's own hint stage s of q, calling _clean_hint where the rules do.
PyObject* own_hint(PyObject* lens, Stage s, std::string_view q) {
    int own_clean = own_stage(lens, STAGE_CLEAN_HINT);
    if (own_clean < 0) return nullptr;
    const HintPatterns& H = hint_patterns();
    if (s == STAGE_EXTRACT_METRIC_HINT) {
        bool found;
        return own_clean ? optional_str(metric_hint(q, found)) : metric_hint_stage(lens, q);
    }
    const auto& list = s == STAGE_EXTRACT_DIMENSION_HINT ? H.dimension : H.filter;
    return own_clean ? optional_str(first_hint(list, q)) : first_hint_stage(lens, list, q);
}

// lens.<hint stage>(q); q_obj is q as a str, made when first needed.
PyObject* hint_stage(PyObject* lens, Stage s, std::string_view q, Ref& q_obj) {
    int own = own_stage(lens, s);
    if (own) return own < 0 ? nullptr : own_hint(lens, s, q);
    if (!q_obj) q_obj = Ref(aw::new_str(q));
    return q_obj ? call_stage(lens, s, {q_obj.get()}) : nullptr;
}

}  // namespace

PyObject* digits_to_int(std::string_view digits) {
    std::string canonical = aw::decimal_digits(digits);
    if (canonical.size() <= 4000) return PyLong_FromString(canonical.c_str(), nullptr, 10);
    return limbs_to_int(aw::decimal_to_limbs(canonical));
}

std::string clean_hint(std::string_view hint) {
    std::string cut;
    hint_patterns().cut.sub_append(hint, "", cut, 1);
    // white-space runs become one blank
    std::string text;
    text.reserve(cut.size());
    bool in_space = false;
    for (size_t i = 0; i < cut.size();) {
        uint32_t cp;
        size_t len = aw::utf8_next(cut, i, cp);
        if (aw::is_space(cp)) {
            if (!in_space) text.push_back(' ');
            in_space = true;
        } else {
            text.append(cut, i, len);
            in_space = false;
        }
        i += len;
    }
    auto strip_char = [](char c) { return c == ' ' || c == '?' || c == '.' || c == ','; };
    size_t b = 0, e = text.size();
    while (b < e && strip_char(text[b])) ++b;
    while (e > b && strip_char(text[e - 1])) --e;
    std::string_view out(text.data() + b, e - b);
    if (aw::count_code_points(out) < 2 || out == "it" || out == "this" || out == "that" || out == "same" ||
        out == "one")
        return std::string();
    return std::string(out);
}

PyObject* extract_intent_delta(PyObject* lens, PyObject* question) {
    if (!require_str(question, "_extract_intent_delta", "question")) return nullptr;
    TextView tv(question);
    std::string lowered;
    aw::lower_append(tv.view, lowered);
    const std::string_view q = aw::strip(lowered);
    const Patterns& P = patterns();

    Ref delta(new_intent_delta());
    if (!delta) return nullptr;
    // held: a replaced hint stage runs caller code
    Ref hold_hints = Ref::borrow(aw::rec_get(delta.get(), DELTA_RAW_HINTS));
    PyObject* hints = hold_hints.get();
    if (!hints) return nullptr;
    PyObject* op = KEY("none");
    auto set = [&](int f, PyObject* v) {  // steals v
        if (!v) return false;
        rec_set(delta.get(), f, v);
        return true;
    };

    for (const AliasGroup& g : vocab().granularity_aliases) {
        bool hit = false;
        for (const std::string& form : g.forms)
            if (q.find(form) != std::string_view::npos) hit = true;
        if (!hit) continue;
        op = KEY("add_granularity");
        if (!set(DELTA_GRANULARITY, aw::new_str(g.key)) || !append_new_str(hints, g.key)) return nullptr;
        break;
    }

    aw::rx::Match top, bottom;
    const bool any_digit = has_decimal_digit(q);
    bool has_top = any_digit && P.top_n.search(q, top), has_bottom = any_digit && P.bottom_n.search(q, bottom);
    if (has_top) {
        op = KEY("set_top_n");
        std::string_view digits = top.group(q, 1);
        if (!set(DELTA_TOP_N, digits_to_int(digits)) || !append_new_str(hints, "top " + aw::decimal_digits(digits)))
            return nullptr;
    }
    if (has_bottom) {
        op = KEY("set_bottom_n");
        std::string_view digits = bottom.group(q, 1);
        if (!set(DELTA_BOTTOM_N, digits_to_int(digits)) ||
            !append_new_str(hints, "bottom " + aw::decimal_digits(digits)))
            return nullptr;
    }

    // The hints: whatever a (replaced) hint stage answers, when it is true.
    Ref q_obj;  // the lowered message as a str, made for replaced stages only
    auto hint = [&](Stage s, int f, PyObject* operation) {
        Ref h(hint_stage(lens, s, q, q_obj));
        int t = h ? PyObject_IsTrue(h.get()) : -1;
        if (t <= 0) return t == 0;
        if (op == KEY("none")) op = operation;
        return set(f, Py_NewRef(h.get())) && PyList_Append(hints, h.get()) == 0;
    };
    if (!hint(STAGE_EXTRACT_DIMENSION_HINT, DELTA_DIMENSION_HINT, KEY("replace_group_by")) ||
        !hint(STAGE_EXTRACT_METRIC_HINT, DELTA_METRIC_HINT, KEY("replace_metric")))
        return nullptr;
    if (contains_any(q, kFilterTriggers) && !hint(STAGE_EXTRACT_FILTER_HINT, DELTA_FILTER_HINT, KEY("add_filter")))
        return nullptr;
    if (contains_any(q, kFilterRemoval)) op = KEY("remove_filter");
    Ref whole;
    bool sort = contains_any(q, kSortPhrases), compare = contains_any(q, kComparePhrases);
    if (sort || compare) {
        whole = Ref(aw::new_str(q));
        if (!whole) return nullptr;
    }
    if (sort) {
        if (op == KEY("none")) op = KEY("change_sort");
        set(DELTA_SORT_HINT, Py_NewRef(whole.get()));
    }
    if (compare) {
        if (op == KEY("none")) op = KEY("compare");
        set(DELTA_COMPARE_HINT, Py_NewRef(whole.get()));
    }

    // Counts, turn references, time windows and ordinals are not values.
    std::string values(q), next;
    const bool digits = has_decimal_digit(q);
    for (const aw::rx::Regex* rx : {&P.top_n, &P.bottom_n, &P.turn_ref, &P.backref_numeric, &P.ordinal_suffix}) {
        // every pattern but the time window needs a digit; blanking keeps digits out of nothing
        if (rx != &P.backref_numeric && (!digits || (rx == &P.turn_ref && !turn_ref_possible(values)))) continue;
        next.clear();
        rx->sub_append(values, " ", next);
        values.swap(next);
    }
    aw::rx::Match number;
    if (digits && P.generic_number.search(values, number)) {
        std::string_view raw = number.group(values);
        std::string plain;
        for (char c : aw::ascii_digits(raw))
            if (c != '$' && c != '%') plain.push_back(c);
        double value = PyOS_string_to_double(plain.c_str(), nullptr, nullptr);
        if (value == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
            PyErr_Clear();  // not a number after all: the override is dropped
        } else {
            if (!set(DELTA_REPLACE_NUMERIC_VALUE, PyFloat_FromDouble(value)) ||
                !append_new_str(hints, "numeric_override:" + std::string(raw)))
                return nullptr;
            if (op == KEY("none")) op = KEY("replace_numeric_value");
        }
    }
    rec_set(delta.get(), DELTA_OPERATION, Py_NewRef(op));
    return delta.release();
}

namespace {

// The replacement value as text: an integral value in full decimal,
// anything else as its repr ("inf" for a value too large for an integer).
bool render_number(PyObject* value, std::string& out) {
    if (PyFloat_CheckExact(value)) {
        double x = PyFloat_AS_DOUBLE(value);
        if (std::isfinite(x) && x == std::trunc(x)) {
            if (std::fabs(x) < 9e18) {
                out += std::to_string(static_cast<long long>(x));
                return true;
            }
            Ref whole(PyLong_FromDouble(x));
            return whole && plain_text_append(out, whole.get());
        }
        aw::append_float_repr(out, x);
        return true;
    }
    Ref whole(PyNumber_Long(value));
    if (!whole) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return false;
        PyErr_Clear();
    } else {
        Ref eq(PyObject_RichCompare(whole.get(), value, Py_EQ));
        int t = eq ? PyObject_IsTrue(eq.get()) : -1;
        if (t < 0) return false;
        if (t) return plain_text_append(out, whole.get());
    }
    Ref repr(PyObject_Repr(value));
    if (!repr) return false;
    aw::append_str(out, repr.get());
    return true;
}

}  // namespace

bool apply_numeric_override(PyObject* parts, PyObject* delta) {
    if (!PyDict_Check(parts)) {
        PyErr_Format(PyExc_TypeError, "parts must be a dict, not %.200s", Py_TYPE(parts)->tp_name);
        return false;
    }
    Ref value(field(delta, IntentDeltaType, DELTA_REPLACE_NUMERIC_VALUE, "replace_numeric_value"));
    if (!value) return false;
    if (value.get() == Py_None) return true;
    std::string rendered;
    if (!render_number(value.get(), rendered)) return false;
    for (PyObject* key : {KEY("filter"), KEY("metric")}) {
        Ref text;
        if (PyDict_CheckExact(parts)) {
            PyObject* v = PyDict_GetItemWithError(parts, key);
            if (!v && PyErr_Occurred()) return false;
            text = Ref::borrow(v ? v : Py_None);
        } else {
            text = Ref(PyObject_CallMethod(parts, "get", "O", key));
            if (!text) return false;
        }
        int t = PyObject_IsTrue(text.get());
        if (t < 0) return false;
        if (!t) continue;
        if (!PyUnicode_Check(text.get())) {
            PyErr_Format(PyExc_TypeError, "expected string or bytes-like object, got '%.200s'",
                         Py_TYPE(text.get())->tp_name);
            return false;
        }
        TextView tv(text.get());
        aw::rx::Match last;
        bool any = false;
        patterns().generic_number.for_each(tv.view, [&](const aw::rx::Match& m) {
            last = m;
            any = true;
            return true;
        });
        if (!any) continue;
        std::string_view raw = last.group(tv.view);
        std::string out(tv.view.substr(0, static_cast<size_t>(last.start())));
        if (raw.front() == '$') out.push_back('$');
        out += rendered;
        if (raw.back() == '%') out.push_back('%');
        out.append(tv.view.substr(static_cast<size_t>(last.end())));
        Ref s(aw::new_str(out));
        return s && PyObject_SetItem(parts, key, s.get()) == 0;
    }
    return true;
}

namespace {

// ------------------------------------------------------------ TurnLens methods


PyObject* text_arg(PyObject* args, PyObject* kwargs, const char* fmt, const char* fn, const char* name) {
    const char* kw[] = {name, nullptr};
    PyObject* v;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, fmt, const_cast<char**>(kw), &v)) return nullptr;
    return require_str(v, fn, name) ? v : nullptr;
}

PyObject* py_extract(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* q = text_arg(args, kwargs, "O:_extract_intent_delta", "_extract_intent_delta", "question");
    return q ? extract_intent_delta(self, q) : nullptr;
}

PyObject* hint_method(PyObject* self, PyObject* args, PyObject* kwargs, const char* fmt, const char* fn, Stage s) {
    PyObject* q = text_arg(args, kwargs, fmt, fn, "q");
    if (!q) return nullptr;
    TextView tv(q);
    return own_hint(self, s, tv.view);
}

PyObject* py_dimension(PyObject* self, PyObject* args, PyObject* kwargs) {
    return hint_method(self, args, kwargs, "O:_extract_dimension_hint", "_extract_dimension_hint",
                       STAGE_EXTRACT_DIMENSION_HINT);
}

PyObject* py_filter(PyObject* self, PyObject* args, PyObject* kwargs) {
    return hint_method(self, args, kwargs, "O:_extract_filter_hint", "_extract_filter_hint", STAGE_EXTRACT_FILTER_HINT);
}

PyObject* py_metric(PyObject* self, PyObject* args, PyObject* kwargs) {
    return hint_method(self, args, kwargs, "O:_extract_metric_hint", "_extract_metric_hint", STAGE_EXTRACT_METRIC_HINT);
}

PyObject* py_clean(PyObject*, PyObject* args, PyObject* kwargs) {
    PyObject* hint = text_arg(args, kwargs, "O:_clean_hint", "_clean_hint", "hint");
    if (!hint) return nullptr;
    TextView tv(hint);
    return aw::new_str(clean_hint(tv.view));
}

PyObject* py_override(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"parts", "delta", nullptr};
    PyObject *parts, *delta;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:_apply_numeric_override", const_cast<char**>(kw), &parts,
                                     &delta))
        return nullptr;
    if (!apply_numeric_override(parts, delta)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef lens_delta_methods[] = {
    {"_extract_intent_delta", AW_KW(py_extract),
     "_extract_intent_delta($self, /, question)\n--\n\nThe change the message asks for, as an IntentDelta."},
    {"_extract_dimension_hint", AW_KW(py_dimension),
     "_extract_dimension_hint($self, /, q)\n--\n\nThe cleaned grouping phrase of a lowered message, or None."},
    {"_extract_filter_hint", AW_KW(py_filter),
     "_extract_filter_hint($self, /, q)\n--\n\nThe cleaned filter phrase of a lowered message, or None."},
    {"_extract_metric_hint", AW_KW(py_metric),
     "_extract_metric_hint($self, /, q)\n--\n\nThe metric phrase after the first aggregation word, or that word."},
    {"_clean_hint", AW_KW(py_clean),
     "_clean_hint($self, /, hint)\n--\n\nA captured phrase cut at its first stop word and trimmed, or ''."},
    {"_apply_numeric_override", AW_KW(py_override),
     "_apply_numeric_override($self, /, parts, delta)\n--\n\n"
     "Replace the last number of the filter (else metric) part by the delta's value."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace tl
