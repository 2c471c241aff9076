// Intent parser: what kind of answer a question asks for.
#include "schemasift/schemasift.hpp"

#include "common/pytext.hpp"
#include "common/record.hpp"
#include "core/unicode.hpp"

#include <algorithm>

namespace sift {
using aw::Ref;

PyTypeObject* QueryIntentType;

namespace {

constexpr std::string_view kMetricTerms[] = {
    "total", "sum", "amount", "revenue", "sales", "income", "cost", "price", "profit", "loss",
    "count", "average", "avg", "mean", "minimum", "maximum", "min", "max", "volume", "quantity",
    "qty", "rate", "ratio", "score", "value", "measure", "metric"};
constexpr std::string_view kDimensionTerms[] = {
    "by", "group", "grouped", "wise", "category", "region", "zone", "area", "status", "type", "name",
    "city", "state", "country", "product", "customer", "user", "department", "branch", "segment",
    "source", "channel"};
constexpr std::string_view kDateTerms[] = {
    "date", "day", "daily", "week", "weekly", "month", "monthly", "quarter", "quarterly", "year",
    "yearly", "today", "yesterday", "tomorrow", "last", "next", "current", "previous", "trend", "time",
    "timeline", "period", "created", "updated", "modified", "timestamp", "datetime"};
constexpr std::string_view kTrendWords[] = {"trend", "daily", "weekly", "monthly", "yearly"};
constexpr std::string_view kTableRowPhrases[] = {"show records", "show rows", "list records", "list rows", "raw data",
                                        "detailed table", "table view", "show table", "all records"};

// The word lists as sets, made once.
struct TermSets {
    aw::WordSet metric, dimension, date, trend;
    TermSets() {
        for (std::string_view w : kMetricTerms) metric.add(w);
        for (std::string_view w : kDimensionTerms) dimension.add(w);
        for (std::string_view w : kDateTerms) date.add(w);
        for (std::string_view w : kTrendWords) trend.add(w);
    }
};

inline bool is_word_cp(uint32_t cp) { return cp == '_' || aw::is_alnum(cp); }

// Leftmost match of \b<word>\s+(\d+)\b, ignoring ASCII case of word (no other
// code point folds to these letters). Digits of any script count as \d does;
// the value is written as ASCII digits into digits_out.
bool find_count(std::string_view text, const char* word, std::string& digits_out) {
    const size_t wl = std::char_traits<char>::length(word);
    // Most questions lack the word: a byte scan rules it out before decoding.
    const unsigned char w0 = static_cast<unsigned char>(word[0]);
    bool maybe = false;
    for (size_t i = 0; !maybe && i + wl <= text.size(); ++i)
        maybe = (static_cast<unsigned char>(text[i]) | 0x20) == w0 &&
                (static_cast<unsigned char>(text[i + 1]) | 0x20) == static_cast<unsigned char>(word[1]);
    if (!maybe) return false;
    uint32_t prev = 0;
    bool prev_word = false;
    size_t i = 0, n = text.size();
    while (i < n) {
        uint32_t cp;
        size_t len = aw::utf8_next(text, i, cp);
        if (!prev_word && (cp | 0x20) == static_cast<unsigned char>(word[0]) && i + wl <= n) {
            size_t k = 0;
            while (k < wl && (static_cast<unsigned char>(text[i + k]) | 0x20) == static_cast<unsigned char>(word[k]))
                ++k;
            if (k == wl) {
                size_t j = i + wl, spaces = 0;
                uint32_t c;
                while (j < n) {
                    size_t l = aw::utf8_next(text, j, c);
                    if (!aw::is_space(c)) break;
                    j += l;
                    ++spaces;
                }
                std::string digits;
                while (spaces && j < n) {
                    size_t l = aw::utf8_next(text, j, c);
                    if (!aw::is_decimal(c)) break;
                    digits.push_back(static_cast<char>('0' + aw::decimal_value(c)));
                    j += l;
                }
                bool end_ok = true;
                if (j < n) {
                    aw::utf8_next(text, j, c);
                    end_ok = !is_word_cp(c);
                }
                // Runs past the host's int-to-str limit are treated as no match.
                if (!digits.empty() && end_ok && digits.size() <= 4300) {
                    digits_out = std::move(digits);
                    return true;
                }
            }
        }
        prev = cp;
        prev_word = is_word_cp(prev);
        i += len;
    }
    return false;
}

PyObject* sorted_terms(const Intent& in, uint8_t kind) {
    std::vector<std::string_view> hits;
    for (size_t i = 0; i < in.tokens.size(); ++i)
        if (in.kinds[i] & kind) hits.push_back(in.tokens[i]);
    std::sort(hits.begin(), hits.end());
    hits.erase(std::unique(hits.begin(), hits.end()), hits.end());
    Ref list(PyList_New(static_cast<Py_ssize_t>(hits.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < hits.size(); ++i) {
        PyObject* s = aw::new_str(hits[i]);
        if (!s) return nullptr;
        PyList_SET_ITEM(list.get(), i, s);
    }
    return list.release();
}

PyObject* int_or_none(bool found, const std::string& digits) {
    if (!found) Py_RETURN_NONE;
    return PyLong_FromString(digits.c_str(), nullptr, 10);
}

template <size_t N>
PyObject* make_set(const std::string_view (&words)[N]) {
    Ref set(PySet_New(nullptr));
    if (!set) return nullptr;
    for (std::string_view w : words) {
        Ref s(aw::new_str(w));
        if (!s || PySet_Add(set.get(), s.get()) < 0) return nullptr;
    }
    return set.release();
}

PyObject* parse_py(PyObject* question) {
    if (!PyUnicode_Check(question)) {
        PyErr_Format(PyExc_TypeError, "parse() argument 'question' must be str, not %.200s",
                     Py_TYPE(question)->tp_name);
        return nullptr;
    }
    Intent in;
    parse_intent(aw::to_utf8(question), in);
    return intent_to_py(question, in);
}

PyObject* py_parse(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"question", nullptr};
    PyObject* q;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:parse", const_cast<char**>(kw), &q)) return nullptr;
    return parse_py(q);
}

PyMethodDef parser_methods[] = {
    {"parse", AW_FN(py_parse), METH_VARARGS | METH_KEYWORDS,
     "parse($self, /, question)\n--\n\n"
     "Parse a question into a QueryIntent.\n"
     "\n"
     "tokens are tokenize(question); metric_terms, dimension_terms and\n"
     "date_terms are the distinct tokens found in METRIC_TERMS, DIMENSION_TERMS\n"
     "and DATE_TERMS, sorted; top_n and bottom_n come from the first match of\n"
     "TOP_N_RE and BOTTOM_N_RE. The flags follow from these, from the trend\n"
     "words (\"trend\", \"daily\", \"weekly\", \"monthly\", \"yearly\"), from \" by \" in\n"
     "the lowered question (wants_grouping) and from raw-row phrases (\"show\n"
     "records\", \"raw data\", ...) in it (wants_table_rows).\n"
     "\n"
     "Raises:\n"
     "    TypeError: question is not a str."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

uint8_t term_kinds(std::string_view w) {
    static const TermSets sets;
    return static_cast<uint8_t>((sets.metric.contains(w) ? TERM_METRIC : 0) |
                                (sets.dimension.contains(w) ? TERM_DIMENSION : 0) |
                                (sets.date.contains(w) ? TERM_DATE : 0) | (sets.trend.contains(w) ? TERM_TREND : 0));
}

void parse_intent(std::string_view question, Intent& in) {
    in.tokens.clear();
    aw::tokenize(question, &default_stopwords(), in.token_buf, in.tokens);
    in.lowered.clear();
    aw::lower_append(question, in.lowered);
    in.kinds.clear();
    in.kinds.reserve(in.tokens.size());
    uint8_t all = 0;
    for (auto t : in.tokens) {
        in.kinds.push_back(term_kinds(t));
        all |= in.kinds.back();
    }
    const bool metric = all & TERM_METRIC, dimension = all & TERM_DIMENSION, date = all & TERM_DATE,
               trend = all & TERM_TREND;
    in.has_top = find_count(question, "top", in.top_digits);
    in.has_bottom = find_count(question, "bottom", in.bottom_digits);
    in.wants_table_rows = false;
    for (std::string_view p : kTableRowPhrases)
        if (in.lowered.find(p) != std::string::npos) { in.wants_table_rows = true; break; }
    in.has_time_filter = date;
    in.wants_trend = trend;
    in.wants_metric = metric || in.has_top || in.has_bottom;
    // " by " in f" {lowered} "
    const std::string_view low = in.lowered;
    in.wants_grouping = dimension || low == "by" || low.substr(0, 3) == "by " ||
                        (low.size() >= 3 && low.substr(low.size() - 3) == " by") ||
                        low.find(" by ") != std::string_view::npos;
}

PyObject* intent_to_py(PyObject* question, const Intent& in) {
    Ref tokens(PyList_New(static_cast<Py_ssize_t>(in.tokens.size())));
    if (!tokens) return nullptr;
    for (size_t i = 0; i < in.tokens.size(); ++i) {
        PyObject* s = aw::new_str(in.tokens[i]);
        if (!s) return nullptr;
        PyList_SET_ITEM(tokens.get(), i, s);
    }
    Ref top(int_or_none(in.has_top, in.top_digits));
    Ref bottom(top ? int_or_none(in.has_bottom, in.bottom_digits) : nullptr);
    Ref metric(bottom ? sorted_terms(in, TERM_METRIC) : nullptr);
    Ref dimension(metric ? sorted_terms(in, TERM_DIMENSION) : nullptr);
    Ref date(dimension ? sorted_terms(in, TERM_DATE) : nullptr);
    if (!date) return nullptr;
    auto b = [](bool v) { return Py_NewRef(v ? Py_True : Py_False); };
    return aw::rec_new(QueryIntentType,
                       {Py_NewRef(question), tokens.release(), b(in.has_time_filter), b(in.wants_trend),
                        b(in.wants_metric), b(in.wants_grouping), b(in.wants_table_rows), top.release(),
                        bottom.release(), metric.release(), dimension.release(), date.release()});
}

bool read_intent(PyObject* intent, IntentFlags& out) {
    static const char* names[] = {"has_time_filter", "wants_trend", "wants_metric", "wants_grouping"};
    bool* dst[] = {&out.has_time_filter, &out.wants_trend, &out.wants_metric, &out.wants_grouping};
    for (int i = 0; i < 4; ++i) {
        Ref v(PyObject_GetAttrString(intent, names[i]));
        if (!v) return false;
        int t = PyObject_IsTrue(v.get());
        if (t < 0) return false;
        *dst[i] = t;
    }
    return true;
}

bool init_intent(PyObject* module) {
    using aw::FieldSpec;
    QueryIntentType = aw::make_record_type(
        module, "askweave.schemasift.QueryIntent",
        "What a question asks for, read off its words.\n"
        "\n"
        "Attributes:\n"
        "    raw_question: The question exactly as given. Required.\n"
        "    tokens: The question's tokens, in order, duplicates kept. Default [].\n"
        "    has_time_filter: The question uses a date word. Default False.\n"
        "    wants_trend: The question asks for a development over time\n"
        "        (\"trend\", \"daily\", \"monthly\", ...). Default False.\n"
        "    wants_metric: The question names a measure or a top/bottom count.\n"
        "        Default False.\n"
        "    wants_grouping: The question asks to break a result down (a\n"
        "        dimension word or \" by \"). Default False.\n"
        "    wants_table_rows: The question asks for raw rows (\"show records\",\n"
        "        \"raw data\", ...). Default False.\n"
        "    top_n: The number after the first \"top\", or None. Default None.\n"
        "    bottom_n: The number after the first \"bottom\", or None. Default None.\n"
        "    metric_terms: Metric words found, sorted. Default [].\n"
        "    dimension_terms: Dimension words found, sorted. Default [].\n"
        "    date_terms: Date words found, sorted. Default [].",
        {FieldSpec::required("raw_question"), FieldSpec::list("tokens"), FieldSpec::boolean("has_time_filter", false),
         FieldSpec::boolean("wants_trend", false), FieldSpec::boolean("wants_metric", false),
         FieldSpec::boolean("wants_grouping", false), FieldSpec::boolean("wants_table_rows", false),
         FieldSpec::none("top_n"), FieldSpec::none("bottom_n"), FieldSpec::list("metric_terms"),
         FieldSpec::list("dimension_terms"), FieldSpec::list("date_terms")});
    if (!QueryIntentType) return false;
    Ref re(PyImport_ImportModule("re"));
    Ref flag(re ? PyObject_GetAttrString(re.get(), "IGNORECASE") : nullptr);
    Ref top(flag ? PyObject_CallMethod(re.get(), "compile", "sO", "\\btop\\s+(\\d+)\\b", flag.get()) : nullptr);
    Ref bottom(top ? PyObject_CallMethod(re.get(), "compile", "sO", "\\bbottom\\s+(\\d+)\\b", flag.get()) : nullptr);
    Ref metric(bottom ? make_set(kMetricTerms) : nullptr);
    Ref dimension(metric ? make_set(kDimensionTerms) : nullptr);
    Ref date(dimension ? make_set(kDateTerms) : nullptr);
    if (!date) return false;
    if (PyModule_AddObjectRef(module, "TOP_N_RE", top.get()) < 0 ||
        PyModule_AddObjectRef(module, "BOTTOM_N_RE", bottom.get()) < 0 ||
        PyModule_AddObjectRef(module, "METRIC_TERMS", metric.get()) < 0 ||
        PyModule_AddObjectRef(module, "DIMENSION_TERMS", dimension.get()) < 0 ||
        PyModule_AddObjectRef(module, "DATE_TERMS", date.get()) < 0)
        return false;
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("IntentParser()\n--\n\n"
                                      "Small rule-based parser. No external dependency.\n"
                                      "\n"
                                      "IntentParser() takes no arguments and keeps no state; parse(question)\n"
                                      "reads a QueryIntent off the question's words.")},
        {Py_tp_methods, parser_methods},
        {0, nullptr}};
    static PyType_Spec spec = {"askweave.schemasift.IntentParser", sizeof(PyObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
    Ref parser(PyType_FromSpec(&spec));
    return parser && PyModule_AddObjectRef(module, "IntentParser", parser.get()) == 0;
}

}  // namespace sift
