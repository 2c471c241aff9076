// Text utilities and the module's vocabulary: identifier splitting,
// tokenization, compaction of any value to one line, overlap score, token
// estimate, clock, word sets, phrase lists, alias maps and patterns.
#include "turnlens/turnlens.hpp"

#include "common/json.hpp"
#include "common/pytext.hpp"
#include "core/unicode.hpp"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <unordered_map>

namespace tl {
using aw::Ref;

namespace {

const char* const kStopwords[] = {
    "a", "an", "the", "and", "or", "of", "for", "to", "by", "in", "on", "at", "from", "with", "without",
    "show", "give", "get", "find", "list", "display", "make", "change", "convert", "it", "this", "that",
    "those", "these", "one", "same", "also", "please", "can", "could", "would", "me", "we", "i", "you",
    "based", "wise", "consider", "use", "using", "as", "into", "instead", "rather"};
const char* const kFollowupTerms[] = {
    "it", "this", "that", "same", "previous", "last", "above", "earlier", "before", "again", "also",
    "too", "these", "those", "one", "ones", "result", "chart", "table", "query", "answer", "output"};
const char* const kModifyTerms[] = {
    "make", "change", "convert", "replace", "switch", "instead", "consider", "use", "remove", "exclude",
    "include", "add", "sort", "filter", "group", "compare", "show", "split", "break", "drill", "drilldown"};
const char* const kSuggestionPhrases[] = {
    "what else", "what more", "other insights", "suggest", "recommend", "possible analysis",
    "possible analyses", "what can", "what all", "what are the options", "next analysis", "more charts",
    "other charts", "more questions", "what else we get", "what else can we get"};
const char* const kClarificationRiskPhrases[] = {
    "that one", "this one", "the other one", "same one", "do that", "do this", "change that",
    "compare that", "like that", "for that", "that side", "other side"};

struct AliasSpec {
    const char* key;
    std::initializer_list<const char*> forms;
};
const AliasSpec kGranularity[] = {
    {"hour", {"hour", "hourly", "hr"}},
    {"day", {"day", "daily", "date wise", "date-wise", "day wise", "day-wise"}},
    {"week", {"week", "weekly", "week wise", "week-wise"}},
    {"month", {"month", "monthly", "month wise", "month-wise"}},
    {"quarter", {"quarter", "quarterly", "quarter wise", "quarter-wise"}},
    {"year", {"year", "yearly", "annual", "year wise", "year-wise"}},
};
const AliasSpec kAggregation[] = {
    {"sum", {"sum", "total", "overall", "aggregate"}},
    {"count", {"count", "number of", "how many", "total records", "record count"}},
    {"avg", {"avg", "average", "mean"}},
    {"min", {"min", "minimum", "least", "lowest"}},
    {"max", {"max", "maximum", "highest", "largest"}},
};
const char* const kOrdinals[] = {"first", "second", "third",   "fourth", "fifth",
                                 "sixth", "seventh", "eighth", "ninth",  "tenth"};

const char* const kTurnWords = "question|query|answer|result|chart|table|card|widget";

Vocabulary* g_vocab = nullptr;
Patterns* g_patterns = nullptr;

}  // namespace

const Vocabulary& vocab() { return *g_vocab; }
const Patterns& patterns() { return *g_patterns; }

std::string re_escape(std::string_view text) {
    static const std::string_view special = "()[]{}?*+-|^$\\.&~# \t\n\r\v\f";
    std::string out;
    out.reserve(text.size() * 2);
    for (char c : text) {
        if (special.find(c) != std::string_view::npos) out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

// ------------------------------------------------------------ text utilities

namespace {

// Runs fn with the interpreter's limit on int/str digit conversion lifted,
// then restores the limit; fn's own error, if any, is kept.
template <class F>
bool without_digit_limit(F&& fn) {
    Ref sys(PyImport_ImportModule("sys"));
    Ref old(sys ? PyObject_CallMethod(sys.get(), "get_int_max_str_digits", nullptr) : nullptr);
    if (!old) return false;
    Ref lifted(PyObject_CallMethod(sys.get(), "set_int_max_str_digits", "i", 0));
    if (!lifted) return false;
    bool ok = fn();
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref restored(PyObject_CallMethod(sys.get(), "set_int_max_str_digits", "O", old.get()));
    if (!restored) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        return false;
    }
    PyErr_Restore(type, value, tb);
    return ok;
}

// True when the pending error is the interpreter's digit-limit ValueError.
bool digit_limit_error() {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    bool hit = false;
    if (value) {
        Ref text(PyObject_Str(value));
        const char* u = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
        hit = u && std::string_view(u).find("integer string conversion") != std::string_view::npos;
    }
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    return hit;
}

}  // namespace

bool plain_text_append(std::string& out, PyObject* v) {
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (!overflow) {
            out += std::to_string(x);
            return true;
        }
        Ref text(PyLong_Type.tp_repr(v));
        if (!text && digit_limit_error()) {
            PyErr_Clear();
            if (!without_digit_limit([&] { return bool(text = Ref(PyLong_Type.tp_repr(v))); })) return false;
        }
        if (!text) return false;
        aw::append_str(out, text.get());
        return true;
    }
    return aw::append_plain_text(out, v);
}

PyObject* plain_text(PyObject* v) {
    if (PyUnicode_CheckExact(v)) return Py_NewRef(v);
    std::string out;
    return plain_text_append(out, v) ? aw::new_str(out) : nullptr;
}

bool compact_value(PyObject* value, Py_ssize_t max_chars, std::string& out) {
    if (value == Py_None) return true;
    if (PyUnicode_Check(value)) {
        TextView tv(value);
        aw::compact(tv.view, max_chars, out);
        return true;
    }
    aw::JsonOptions opt;
    opt.ensure_ascii = false;
    opt.default_str = true;
    std::string json;
    if (!aw::json_write(json, value, opt)) {
        // Integers beyond the interpreter's digit limit are written in full.
        if (!digit_limit_error()) return false;
        PyErr_Clear();
        json.clear();
        if (!without_digit_limit([&] { return aw::json_write(json, value, opt); })) return false;
    }
    aw::compact(json, max_chars, out);
    return true;
}

double overlap(const std::vector<std::string_view>& a, const std::vector<std::string_view>& b) {
    std::unordered_set<std::string_view> sa(a.begin(), a.end()), sb(b.begin(), b.end());
    if (sa.empty() || sb.empty()) return 0.0;
    const auto& small = sa.size() <= sb.size() ? sa : sb;
    const auto& large = sa.size() <= sb.size() ? sb : sa;
    size_t common = 0;
    for (std::string_view w : small) common += large.count(w);
    return static_cast<double>(common) / static_cast<double>(std::max<size_t>(1, small.size()));
}

long long now_ms() {
    // time.time() * 1000, truncated, with the host's own float steps
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    long long ns = static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
    double secs = (ns % 1000000000LL == 0) ? static_cast<double>(ns / 1000000000LL) : static_cast<double>(ns) / 1e9;
    return static_cast<long long>(secs * 1000.0);
}

PyObject* str_list(const std::vector<std::string_view>& items) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < items.size(); ++i) {
        PyObject* s = aw::new_str(items[i]);
        if (!s) return nullptr;
        PyList_SET_ITEM(list.get(), i, s);
    }
    return list.release();
}

std::string limit_query_terms(std::string_view text, const Limit& limit) {
    std::string buf;
    std::vector<std::string_view> tokens;
    aw::tokenize(text, &vocab().stopwords, buf, tokens);
    if (tokens.empty()) aw::tokenize(text, nullptr, buf, tokens);
    std::unordered_map<std::string_view, size_t> index;
    std::vector<std::pair<std::string_view, size_t>> ordered;  // token, count
    for (std::string_view t : tokens) {
        auto [it, fresh] = index.emplace(t, ordered.size());
        if (fresh) ordered.emplace_back(t, 1);
        else ++ordered[it->second].second;
    }
    bool trim = !limit.unlimited && (limit.n < 0 || ordered.size() > static_cast<size_t>(limit.n));
    if (trim) {
        std::stable_sort(ordered.begin(), ordered.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
        ordered.resize(limit.keep(ordered.size()));
    }
    std::string out;
    for (size_t i = 0; i < ordered.size(); ++i) {
        if (i) out.push_back(' ');
        out.append(ordered[i].first);
    }
    return out;
}

namespace {

// ------------------------------------------------------------ module functions


// An integer argument as Py_ssize_t, clamped on overflow.
bool index_arg(PyObject* v, const char* fn, const char* arg, Py_ssize_t& out) {
    if (!PyIndex_Check(v)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be int, not %.200s", fn, arg, Py_TYPE(v)->tp_name);
        return false;
    }
    Ref i(PyNumber_Index(v));
    if (!i) return false;
    out = PyNumber_AsSsize_t(i.get(), nullptr);  // clamps
    return !PyErr_Occurred();
}

PyObject* py_split_identifier(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"value", nullptr};
    PyObject* value;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:split_identifier", const_cast<char**>(kw), &value))
        return nullptr;
    if (!require_str(value, "split_identifier", "value")) return nullptr;
    TextView tv(value);
    std::string out;
    aw::split_identifier_append(tv.view, out);
    return aw::new_str(out);
}

PyObject* py_tokenize(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"text", "stopwords", nullptr};
    PyObject *text, *stopwords = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:tokenize", const_cast<char**>(kw), &text, &stopwords))
        return nullptr;
    if (stopwords != Py_None && !PyAnySet_Check(stopwords)) {
        PyErr_Format(PyExc_TypeError, "tokenize() argument 'stopwords' must be a set or None, not %.200s",
                     Py_TYPE(stopwords)->tp_name);
        return nullptr;
    }
    if (text == Py_None) return PyList_New(0);
    std::string plain;
    if (!plain_text_append(plain, text)) return nullptr;
    WordSet custom;
    const WordSet* stop = &vocab().stopwords;
    if (stopwords != Py_None) {
        if (!aw::load_words(stopwords, custom)) return nullptr;
        stop = &custom;
    }
    std::string buf;
    std::vector<std::string_view> tokens;
    aw::tokenize(plain, stop, buf, tokens);
    return str_list(tokens);
}

PyObject* py_compact_text(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"value", "max_chars", nullptr};
    PyObject* value;
    PyObject* max_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:compact_text", const_cast<char**>(kw), &value, &max_obj))
        return nullptr;
    Py_ssize_t max_chars = 500;
    if (max_obj && !index_arg(max_obj, "compact_text", "max_chars", max_chars)) return nullptr;
    std::string out;
    if (!compact_value(value, max_chars, out)) return nullptr;
    return aw::new_str(out);
}

// max(1, ceil(q)) with the host's integer conversion.
PyObject* py_estimate_tokens(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"text", "chars_per_token", nullptr};
    PyObject* text;
    PyObject* cpt = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:estimate_tokens", const_cast<char**>(kw), &text, &cpt))
        return nullptr;
    if (!require_str(text, "estimate_tokens", "text")) return nullptr;
    return aw::estimate_tokens_for(PyUnicode_GET_LENGTH(text), cpt);
}

PyObject* py_overlap_score(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"a", "b", nullptr};
    PyObject *a, *b;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:overlap_score", const_cast<char**>(kw), &a, &b))
        return nullptr;
    Ref sa(PySet_New(a));
    if (!sa) return nullptr;
    Ref sb(PySet_New(b));
    if (!sb) return nullptr;
    Py_ssize_t na = PySet_GET_SIZE(sa.get()), nb = PySet_GET_SIZE(sb.get());
    if (na == 0 || nb == 0) return PyFloat_FromDouble(0.0);
    PyObject* small = na <= nb ? sa.get() : sb.get();
    PyObject* large = na <= nb ? sb.get() : sa.get();
    Py_ssize_t common = 0;
    Ref it(PyObject_GetIter(small));
    if (!it) return nullptr;
    while (PyObject* key = PyIter_Next(it.get())) {
        Ref hold(key);
        int r = PySet_Contains(large, key);
        if (r < 0) return nullptr;
        common += r;
    }
    if (PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(static_cast<double>(common) /
                              static_cast<double>(std::max<Py_ssize_t>(1, std::min(na, nb))));
}

PyObject* py_now_ms(PyObject*, PyObject*) { return PyLong_FromLongLong(now_ms()); }

// ------------------------------------------------------------ native pattern probe

// Exposes the native engine to the test suite, which compares it with the
// host's re on generated texts. Spans are in code points, as the host's.
struct ProbeObject {
    PyObject_HEAD
    aw::rx::Regex* rx;
};
PyTypeObject* ProbeType = nullptr;

// Byte offset -> code point offset for one text.
struct Offsets {
    std::vector<Py_ssize_t> map;
    bool ascii;
    explicit Offsets(std::string_view s) : ascii(aw::is_ascii(s)) {
        if (ascii) return;
        map.assign(s.size() + 1, 0);
        Py_ssize_t cp = 0;
        for (size_t i = 0; i < s.size(); ++i) {
            map[i] = cp;
            if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) ++cp;
        }
        map[s.size()] = cp;
    }
    Py_ssize_t operator()(ptrdiff_t b) const { return b < 0 ? -1 : ascii ? b : map[static_cast<size_t>(b)]; }
};

PyObject* regs_tuple(const aw::rx::Match& m, int groups, const Offsets& off) {
    Ref t(PyTuple_New(groups + 1));
    if (!t) return nullptr;
    for (int g = 0; g <= groups; ++g) {
        PyObject* pair = Py_BuildValue("(nn)", off(m.start(g)), off(m.end(g)));
        if (!pair) return nullptr;
        PyTuple_SET_ITEM(t.get(), g, pair);
    }
    return t.release();
}

PyObject* probe_search(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"text", "pos", nullptr};
    PyObject* text;
    Py_ssize_t pos = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|n:search", const_cast<char**>(kw), &text, &pos))
        return nullptr;
    auto* rx = reinterpret_cast<ProbeObject*>(self)->rx;
    TextView tv(text);
    size_t from = 0;
    Py_ssize_t len = PyUnicode_GET_LENGTH(text);
    pos = std::clamp<Py_ssize_t>(pos, 0, len);
    for (Py_ssize_t k = 0; k < pos; ++k) {
        uint32_t cp;
        from += aw::utf8_next(tv.view, from, cp);
    }
    aw::rx::Match m;
    if (!rx->search(tv.view, from, m)) Py_RETURN_NONE;
    return regs_tuple(m, rx->groups(), Offsets(tv.view));
}

PyObject* probe_finditer(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"text", nullptr};
    PyObject* text;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:finditer", const_cast<char**>(kw), &text)) return nullptr;
    auto* rx = reinterpret_cast<ProbeObject*>(self)->rx;
    TextView tv(text);
    Offsets off(tv.view);
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    bool ok = true;
    rx->for_each(tv.view, [&](const aw::rx::Match& m) {
        Ref regs(regs_tuple(m, rx->groups(), off));
        ok = regs && PyList_Append(out.get(), regs.get()) == 0;
        return ok;
    });
    return ok ? out.release() : nullptr;
}

PyObject* probe_sub(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"repl", "text", "count", nullptr};
    PyObject *repl, *text;
    Py_ssize_t count = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UU|n:sub", const_cast<char**>(kw), &repl, &text, &count))
        return nullptr;
    auto* rx = reinterpret_cast<ProbeObject*>(self)->rx;
    TextView tv(text), rv(repl);
    std::string out;
    rx->sub_append(tv.view, rv.view, out, count < 0 ? 0 : static_cast<size_t>(count));
    return aw::new_str(out);
}

void probe_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    delete reinterpret_cast<ProbeObject*>(self)->rx;
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef probe_methods[] = {
    {"search", AW_KW(probe_search), "search($self, /, text, pos=0)\n--\n\nRegs of the first match, or None."},
    {"finditer", AW_KW(probe_finditer), "finditer($self, /, text)\n--\n\nRegs of every match."},
    {"sub", AW_KW(probe_sub), "sub($self, /, repl, text, count=0)\n--\n\nReplace matches by a literal text."},
    {nullptr, nullptr, 0, nullptr}};

PyObject* py_native_pattern(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"pattern", "flags", "backtracking", nullptr};
    PyObject* pattern;
    int flags = 0, backtracking = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|ip:_native_pattern", const_cast<char**>(kw), &pattern, &flags,
                                     &backtracking))
        return nullptr;
    TextView tv(pattern);
    auto rx = std::make_unique<aw::rx::Regex>();
    if (!rx->compile(tv.view, flags)) {
        PyErr_Format(PyExc_ValueError, "%s", rx->error().c_str());
        return nullptr;
    }
    rx->set_backtracking(backtracking != 0);
    PyObject* obj = ProbeType->tp_alloc(ProbeType, 0);
    if (!obj) return nullptr;
    reinterpret_cast<ProbeObject*>(obj)->rx = rx.release();
    return obj;
}

// ------------------------------------------------------------ constants

template <size_t N>
PyObject* py_set(const char* const (&words)[N]) {
    Ref s(PySet_New(nullptr));
    if (!s) return nullptr;
    for (const char* w : words) {
        Ref o(PyUnicode_FromString(w));
        if (!o || PySet_Add(s.get(), o.get()) < 0) return nullptr;
    }
    return s.release();
}

PyObject* py_str_list(const std::vector<std::string>& items) {
    Ref l(PyList_New(0));
    if (!l) return nullptr;
    for (const std::string& w : items) {
        Ref o(aw::new_str(w));
        if (!o || PyList_Append(l.get(), o.get()) < 0) return nullptr;
    }
    return l.release();
}

PyObject* py_alias_map(const std::vector<AliasGroup>& groups) {
    Ref d(PyDict_New());
    if (!d) return nullptr;
    for (const AliasGroup& g : groups) {
        Ref forms(py_str_list(g.forms));
        if (!forms || PyDict_SetItemString(d.get(), g.key.c_str(), forms.get()) < 0) return nullptr;
    }
    return d.release();
}

bool add(PyObject* module, const char* name, PyObject* value) {
    if (!value) return false;
    int r = PyModule_AddObjectRef(module, name, value);
    Py_DECREF(value);
    return r == 0;
}

bool compile_native(aw::rx::Regex& rx, const std::string& pattern, int flags) {
    if (rx.compile(pattern, flags)) return true;
    PyErr_Format(PyExc_ImportError, "askweave.turnlens: cannot compile %s: %s", pattern.c_str(), rx.error().c_str());
    return false;
}

}  // namespace

PyMethodDef text_functions[] = {
    {"split_identifier", AW_KW(py_split_identifier),
     "split_identifier($module, /, value)\n--\n\n"
     "Split an identifier at '_', '-', '.' and before ASCII capitals, then lowercase it.\n"
     "\n"
     "Raises:\n"
     "    TypeError: value is not a str."},
    {"tokenize", AW_KW(py_tokenize),
     "tokenize($module, /, text, stopwords=None)\n--\n\n"
     "Lower-case word tokens of str(text) after identifier splitting, without stopwords.\n"
     "\n"
     "Args:\n"
     "    text: Any value (converted with str()); None gives [].\n"
     "    stopwords: Lower-case words to drop instead of STOPWORDS.\n"
     "\n"
     "Raises:\n"
     "    TypeError: stopwords is not a set."},
    {"compact_text", AW_KW(py_compact_text),
     "compact_text($module, /, value, max_chars=500)\n--\n\n"
     "Any value as one short line: JSON for non-text, white space collapsed, cut with '...'.\n"
     "\n"
     "None gives \"\"; a str is used as it is; any other value is written as JSON\n"
     "(keys in insertion order, non-ASCII kept, values JSON cannot write as\n"
     "their str()). Runs of white space become one space and both ends are\n"
     "trimmed. A result longer than max_chars keeps its first max_chars - 3\n"
     "characters, trailing white space removed, and ends in \"...\" (with a\n"
     "max_chars below 3, the result is just \"...\").\n"
     "\n"
     "Args:\n"
     "    value: Any value.\n"
     "    max_chars: The longest result. Default 500.\n"
     "\n"
     "Raises:\n"
     "    TypeError: max_chars is not an int, or a map key is not a str, int,\n"
     "        float, bool or None.\n"
     "    ValueError: value refers to itself."},
    {"estimate_tokens", AW_KW(py_estimate_tokens),
     "estimate_tokens($module, /, text, chars_per_token=4.0)\n--\n\n"
     "Rough token count: 0 for empty text, else max(1, ceil(len(text) / chars_per_token)).\n"
     "\n"
     "Args:\n"
     "    text: The text; its length is counted in code points.\n"
     "    chars_per_token: Characters per token, a real number. Default 4.0.\n"
     "\n"
     "Raises:\n"
     "    TypeError: text is not a str, or chars_per_token is not a real number.\n"
     "    ZeroDivisionError: chars_per_token is 0 and text is not empty.\n"
     "    ValueError: chars_per_token is NaN and text is not empty.\n"
     "    OverflowError: chars_per_token is so small that the count is infinite."},
    {"overlap_score", AW_KW(py_overlap_score),
     "overlap_score($module, /, a, b)\n--\n\n"
     "Overlap coefficient of two word collections: |A & B| / min(|A|, |B|), 0.0 when either is empty.\n"
     "\n"
     "Raises:\n"
     "    TypeError: an element is not hashable."},
    {"now_ms", AW_FN(py_now_ms), METH_NOARGS,
     "now_ms($module, /)\n--\n\nCurrent wall-clock time in whole milliseconds since the Unix epoch."},
    {"_native_pattern", AW_KW(py_native_pattern),
     "_native_pattern($module, /, pattern, flags=0, backtracking=True)\n--\n\n"
     "The module's own matcher for a pattern (used by the test suite)."},
    {nullptr, nullptr, 0, nullptr},
};

bool init_vocab(PyObject* module) {
    // ---- C++ vocabulary
    auto* v = new Vocabulary();  // lives as long as the process, like the types
    for (const char* w : kStopwords) v->stopwords.add(w);
    for (const char* w : kFollowupTerms) v->followup_terms.add(w);
    for (const char* w : kModifyTerms) v->modify_terms.add(w);
    v->suggestion_phrases.assign(std::begin(kSuggestionPhrases), std::end(kSuggestionPhrases));
    v->clarification_risk_phrases.assign(std::begin(kClarificationRiskPhrases), std::end(kClarificationRiskPhrases));
    for (const AliasSpec& a : kGranularity) v->granularity_aliases.push_back({a.key, {a.forms.begin(), a.forms.end()}});
    for (const AliasSpec& a : kAggregation) v->aggregation_aliases.push_back({a.key, {a.forms.begin(), a.forms.end()}});
    for (size_t i = 0; i < std::size(kOrdinals); ++i) v->ordinal_words.emplace_back(kOrdinals[i], static_cast<long>(i + 1));
    for (const AliasGroup& g : v->granularity_aliases) {
        if (!v->duration_units_pattern.empty()) v->duration_units_pattern += "|";
        v->duration_units_pattern += g.key;
    }
    g_vocab = v;

    // ---- pattern texts
    const std::string turn_words = kTurnWords;
    struct Named {
        const char* name;
        std::string text;
        int flags;
        aw::rx::Regex Patterns::*slot;
    };
    const Named named[] = {
        {"_WORD_RE", "[a-zA-Z0-9_]+", 0, &Patterns::word},
        {"_CAMEL_RE", "(?<!^)(?=[A-Z])", 0, &Patterns::camel},
        {"TOP_N_RE", R"(\btop\s+(\d+)\b)", aw::rx::IGNORECASE, &Patterns::top_n},
        {"BOTTOM_N_RE", R"(\bbottom\s+(\d+)\b)", aw::rx::IGNORECASE, &Patterns::bottom_n},
        {"TURN_REF_RE",
         R"((?:turn|)" + turn_words + R"()\s*#?\s*(\d+)|#\s*(\d+)|\b(\d+)\s*(?:st|nd|rd|th)?\s+(?:)" + turn_words +
             R"()\b)",
         aw::rx::IGNORECASE, &Patterns::turn_ref},
        {"BACKREF_NUMERIC_RE",
         R"(\b(?:last|previous)\s+(?:\d+\s*)?(?:)" + v->duration_units_pattern + R"()s?\b)", aw::rx::IGNORECASE,
         &Patterns::backref_numeric},
        {"ORDINAL_SUFFIX_RE", R"(\d+\s*(?:st|nd|rd|th)\b)", aw::rx::IGNORECASE, &Patterns::ordinal_suffix},
        {"GENERIC_NUMBER_RE", R"(\$?\d+(?:\.\d+)?%?)", 0, &Patterns::generic_number},
    };

    // ---- native patterns
    auto* p = new Patterns();
    for (const Named& n : named)
        if (!compile_native(p->*(n.slot), n.text, n.flags)) return false;
    for (const auto& ow : v->ordinal_words) {
        p->ordinal.emplace_back();
        if (!compile_native(p->ordinal.back(), "\\b" + ow.first + "\\s+(" + turn_words + ")\\b", 0)) return false;
    }
    for (const AliasGroup& g : v->aggregation_aliases) {
        p->metric.emplace_back();
        for (const std::string& form : g.forms) {
            p->metric.back().emplace_back();
            std::string text = "\\b" + re_escape(form) + R"(\s+(?:of\s+)?([a-zA-Z0-9_\- ]{2,50}))";
            if (!compile_native(p->metric.back().back(), text, 0)) return false;
        }
    }
    g_patterns = p;

    // ---- Python constants
    Ref re(PyImport_ImportModule("re"));
    if (!re) return false;
    for (const Named& n : named) {
        PyObject* compiled = PyObject_CallMethod(re.get(), "compile", "s#i", n.text.data(),
                                                 static_cast<Py_ssize_t>(n.text.size()), n.flags);
        if (!add(module, n.name, compiled)) return false;
    }
    Ref ordinals(PyDict_New());
    if (!ordinals) return false;
    for (const auto& ow : v->ordinal_words) {
        Ref num(PyLong_FromLong(ow.second));
        if (!num || PyDict_SetItemString(ordinals.get(), ow.first.c_str(), num.get()) < 0) return false;
    }
    static PyType_Slot probe_slots[] = {
        {Py_tp_dealloc, AW_SLOT(probe_dealloc)},
        {Py_tp_methods, probe_methods},
        {Py_tp_doc, const_cast<char*>("A pattern compiled by the module's own matcher.")},
        {0, nullptr}};
    static PyType_Spec probe_spec = {"askweave.turnlens._NativePattern", sizeof(ProbeObject), 0,
                                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, probe_slots};
    ProbeType = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&probe_spec));
    if (!ProbeType) return false;
    return add(module, "STOPWORDS", py_set(kStopwords)) && add(module, "FOLLOWUP_TERMS", py_set(kFollowupTerms)) &&
           add(module, "MODIFY_TERMS", py_set(kModifyTerms)) &&
           add(module, "SUGGESTION_PHRASES", py_str_list(v->suggestion_phrases)) &&
           add(module, "CLARIFICATION_RISK_PHRASES", py_str_list(v->clarification_risk_phrases)) &&
           add(module, "GRANULARITY_ALIASES", py_alias_map(v->granularity_aliases)) &&
           add(module, "AGGREGATION_ALIASES", py_alias_map(v->aggregation_aliases)) &&
           add(module, "ORDINAL_WORDS", ordinals.release()) &&
           add(module, "_DURATION_UNITS_PATTERN", aw::new_str(v->duration_units_pattern));
}

}  // namespace tl
