// Lexical scoring, score blending and table/column choice: the native rules,
// and the SchemaSift stage methods that expose them to Python.
#include "schemasift/core.hpp"

#include "common/pytext.hpp"
#include "common/record.hpp"
#include "common/unicode.hpp"

#include <charconv>

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sift {
using aw::Ref;

// ------------------------------------------------------------- extraction

Span Arena::add_str(PyObject* str) {
    Py_INCREF(str);
    refs_.push_back(str);
    if (PyUnicode_IS_ASCII(str))
        return Span(static_cast<const char*>(PyUnicode_DATA(str)), static_cast<size_t>(PyUnicode_GET_LENGTH(str)));
    Py_ssize_t n;
    const char* utf8 = PyUnicode_AsUTF8AndSize(str, &n);
    if (utf8) return Span(utf8, static_cast<size_t>(n));
    PyErr_Clear();  // lone surrogates: keep our own UTF-8 form
    copies_.push_back(aw::to_utf8(str));
    return copies_.back();
}

namespace {

bool need_str(PyObject* v, const char* what) {
    if (PyUnicode_Check(v)) return true;
    PyErr_Format(PyExc_TypeError, "%s must be str, not %.200s", what, Py_TYPE(v)->tp_name);
    return false;
}

inline PyObject* field(PyObject* rec, PyTypeObject* type, int index, const char* name) {
    return field_of(rec, type, index, name);
}

// The str items of a list-like field, as " ".join would take them.
bool add_items(CatalogData& c, PyObject* seq, uint32_t& begin, uint32_t& end) {
    begin = static_cast<uint32_t>(c.items.size());
    Ref fast(PySequence_Fast(seq, "can only join an iterable"));
    if (!fast) return false;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(fast.get(), i);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "sequence item %zd: expected str instance, %.80s found", i,
                         Py_TYPE(item)->tp_name);
            return false;
        }
        c.items.push_back(c.arena.add_str(item));
    }
    end = static_cast<uint32_t>(c.items.size());
    return true;
}

}  // namespace

Role role_code(PyObject* role) {
    static const char* names[] = {"metric", "dimension", "date", "datetime", "id", "primary_key",
                                  "foreign_key", "text", "boolean", "unknown"};
    if (!PyUnicode_Check(role) || !PyUnicode_IS_ASCII(role)) return ROLE_OTHER;
    std::string_view r(static_cast<const char*>(PyUnicode_DATA(role)), static_cast<size_t>(PyUnicode_GET_LENGTH(role)));
    for (int i = 0; i < 10; ++i)
        if (r == names[i]) return static_cast<Role>(i);
    return ROLE_OTHER;
}

namespace {

int truth(PyObject* rec, PyTypeObject* type, int index, const char* name) {
    Ref v(field(rec, type, index, name));
    return v ? PyObject_IsTrue(v.get()) : -1;
}

// name == default, when the default is present; -1 on error.
int equals_default(PyObject* name, PyObject* dflt) {
    if (!dflt) return 0;
    int present = aw::is_present(dflt);
    if (present <= 0) return present;
    return PyObject_RichCompareBool(name, dflt, Py_EQ);
}

// Plain values whose str() and format() cannot fail.
bool plain_scalar(PyObject* v) {
    return PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyBool_Check(v) ||
           v == Py_None;
}

// The search text of every column is built on every selection; only values
// outside the plain kinds could make that fail, and then the record's own
// method is asked so that the same error is raised.
bool check_search_text(PyObject* col, PyObject* table_name, PyObject* business) {
    if (!table_name) return true;  // single-column calls build no search text
    bool plain = true;
    for (int i : {C_TYPE, C_ROLE}) {
        PyObject* v = aw::rec_get(col, i);
        if (!v) return false;
        plain = plain && plain_scalar(v);
    }
    PyObject* samples = aw::rec_get(col, C_SAMPLE_VALUES);
    if (!samples) return false;
    if (PyList_CheckExact(samples) || PyTuple_CheckExact(samples)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(samples);
        for (Py_ssize_t i = 0; i < n && i < 10 && plain; ++i) plain = plain_scalar(PySequence_Fast_GET_ITEM(samples, i));
    } else {
        plain = false;
    }
    if (plain) return true;
    Ref text(PyObject_CallMethod(col, "searchable_text", "OO", table_name, business));
    return bool(text);
}

bool read_column(CatalogData& c, PyObject* col, PyObject* default_date, PyObject* default_metric,
                 PyObject* table_name = nullptr, PyObject* business = nullptr) {
    ColumnData d;
    d.rec = col;
    Ref name(field(col, ColumnMetaType, C_NAME, "name"));
    if (!name || !need_str(name.get(), "column name")) return false;
    d.name_obj = name.get();
    d.name = c.arena.add_str(name.get());
    Ref desc(field(col, ColumnMetaType, C_DESCRIPTION, "description"));
    if (!desc || !need_str(desc.get(), "column description")) return false;
    d.description = c.arena.add_str(desc.get());
    Ref syn(field(col, ColumnMetaType, C_SYNONYMS, "synonyms"));
    if (!syn || !add_items(c, syn.get(), d.syn_begin, d.syn_end)) return false;
    Ref tags(field(col, ColumnMetaType, C_TAGS, "tags"));
    if (!tags || !add_items(c, tags.get(), d.tag_begin, d.tag_end)) return false;
    Ref role(field(col, ColumnMetaType, C_ROLE, "role"));
    if (!role) return false;
    d.role = role_code(role.get());
    int pk = truth(col, ColumnMetaType, C_IS_PK, "is_primary_key");
    int fk = pk < 0 ? -1 : truth(col, ColumnMetaType, C_IS_FK, "is_foreign_key");
    int dd = fk < 0 ? -1 : equals_default(name.get(), default_date);
    int dm = dd < 0 ? -1 : equals_default(name.get(), default_metric);
    if (dm < 0) return false;
    d.is_pk = pk, d.is_fk = fk, d.is_default_date = dd, d.is_default_metric = dm;
    if (Py_IS_TYPE(col, ColumnMetaType) && !check_search_text(col, table_name, business)) return false;
    c.hold.push_back(std::move(name));
    c.columns.push_back(d);
    return true;
}

// Gives equal names within [begin, end) the same id: the position of the
// first column of that name.
void assign_name_ids(CatalogData& c, size_t begin, size_t end) {
    std::unordered_map<std::string_view, int> first;
    first.reserve(end - begin);
    for (size_t i = begin; i < end; ++i) {
        ColumnData& col = c.columns[i];
        col.name_id = first.emplace(c.text(col.name), static_cast<int>(i - begin)).first->second;
    }
}

}  // namespace

bool CatalogData::add_table(PyObject* table) {
    if (!aw::rec_check(table, TableMetaType)) {
        PyErr_Format(PyExc_TypeError, "catalog tables must be TableMeta, not %.200s", Py_TYPE(table)->tp_name);
        return false;
    }
    TableData t;
    t.rec = table;
    hold.push_back(Ref::borrow(table));
    Ref name(field(table, TableMetaType, T_TABLE_NAME, "table_name"));
    if (!name || !need_str(name.get(), "table name")) return false;
    t.name_obj = name.get();
    t.name = arena.add_str(name.get());
    hold.push_back(std::move(name));
    Ref business(field(table, TableMetaType, T_BUSINESS_NAME, "business_name"));
    if (!business || !need_str(business.get(), "business name")) return false;
    t.business = arena.add_str(business.get());
    Ref desc(field(table, TableMetaType, T_DESCRIPTION, "description"));
    if (!desc || !need_str(desc.get(), "table description")) return false;
    t.description = arena.add_str(desc.get());
    Ref tags(field(table, TableMetaType, T_TAGS, "tags"));
    if (!tags || !add_items(*this, tags.get(), t.tag_begin, t.tag_end)) return false;
    Ref dd(field(table, TableMetaType, T_DEFAULT_DATE, "default_date_column"));
    Ref dm(dd ? field(table, TableMetaType, T_DEFAULT_METRIC, "default_metric_column") : nullptr);
    if (dm && !(plain_scalar(dd.get()) && plain_scalar(dm.get()))) {
        Ref text(PyObject_CallMethod(table, "searchable_text", nullptr));  // same error as the search text
        if (!text) return false;
    }
    Ref cols(dm ? field(table, TableMetaType, T_COLUMNS, "columns") : nullptr);
    Ref list(cols ? PySequence_List(cols.get()) : nullptr);  // a snapshot keeps the records alive
    if (!list) return false;
    t.col_begin = static_cast<uint32_t>(columns.size());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        PyObject* col = PyList_GET_ITEM(list.get(), i);
        if (!aw::rec_check(col, ColumnMetaType)) {
            PyErr_Format(PyExc_TypeError, "table columns must be ColumnMeta, not %.200s", Py_TYPE(col)->tp_name);
            return false;
        }
        if (!read_column(*this, col, dd.get(), dm.get(), t.name_obj, business.get())) return false;
    }
    t.col_end = static_cast<uint32_t>(columns.size());
    assign_name_ids(*this, t.col_begin, t.col_end);
    hold.push_back(std::move(list));
    tables.push_back(t);
    return true;
}

bool CatalogData::add_column(PyObject* column, PyObject* default_date, PyObject* default_metric) {
    hold.push_back(Ref::borrow(column));
    return read_column(*this, column, default_date, default_metric);
}

// ---------------------------------------------------------------- question

namespace {
inline uint64_t fnv(std::string_view s) {
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ULL;
    return h;
}
}  // namespace

void QueryTokens::build(std::vector<std::string> tokens) {
    std::sort(tokens.begin(), tokens.end());
    tokens.erase(std::unique(tokens.begin(), tokens.end()), tokens.end());
    words_ = std::move(tokens);
    size_t cap = 16;
    while (cap < words_.size() * 2) cap *= 2;
    mask_ = cap - 1;
    slots_.assign(cap, -1);
    len_mask_ = 0;
    for (auto& m : first_mask_) m = 0;
    for (const std::string& w : words_) {
        len_mask_ |= uint64_t(1) << (w.size() < 63 ? w.size() : 63);
        unsigned char f = w.empty() ? 0 : static_cast<unsigned char>(w[0]);
        first_mask_[f >> 6] |= uint64_t(1) << (f & 63);
    }
    for (size_t i = 0; i < words_.size(); ++i) {
        size_t h = fnv(words_[i]) & mask_;
        while (slots_[h] >= 0) h = (h + 1) & mask_;
        slots_[h] = static_cast<int32_t>(i);
    }
}

int QueryTokens::find(std::string_view w) const {
    if (words_.empty()) return -1;
    size_t h = fnv(w) & mask_;
    while (slots_[h] >= 0) {
        if (words_[static_cast<size_t>(slots_[h])] == w) return slots_[h];
        h = (h + 1) & mask_;
    }
    return -1;
}

void Query::finish() {
    count_or_total = tokens.contains("count") || tokens.contains("total");
    status_type_category = tokens.contains("status") || tokens.contains("type") || tokens.contains("category");
}

bool read_query(PyObject* question, PyObject* intent, Query& q) {
    if (!need_str(question, "question")) return false;
    Ref toks(PyObject_GetAttrString(intent, "tokens"));
    Ref it(toks ? PyObject_GetIter(toks.get()) : nullptr);
    if (!it) return false;
    std::vector<std::string> words;
    while (PyObject* t = PyIter_Next(it.get())) {
        Ref hold(t);
        // Only texts can equal a document token, and never a stopword: documents
        // are tokenized with the default stopwords. Stand-ins keep the set's size.
        if (PyUnicode_Check(t)) {
            std::string w = aw::to_utf8(t);
            if (default_stopwords().contains(w)) w.insert(0, "\xfe");
            words.push_back(std::move(w));
        } else words.push_back(std::string("\xff", 1) + std::to_string(words.size()));  // never matches
    }
    if (PyErr_Occurred()) return false;
    // the set's size counts non-text members too
    q.tokens.build(std::move(words));
    if (!read_intent(intent, q.flags)) return false;
    q.lowered.clear();
    aw::lower_append(aw::to_utf8(question), q.lowered);
    q.finish();
    return true;
}

// ----------------------------------------------------------------- scoring

namespace {

inline bool ascii_upper(unsigned char c) { return c >= 'A' && c <= 'Z'; }
inline bool ascii_alnum_lower(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// Marks the question tokens that occur among tokenize(text)'s tokens.
// Stopwords need no filtering: read_query never lets the question's tokens match one.
void mark_tokens(std::string_view text, const QueryTokens& q, Bits& bits, std::string& scratch) {
    if (q.size() == 0) return;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    // ASCII text: a token is a run of letters and digits, and every capital
    // starts a new one (identifier splitting puts a space before it).
    while (i < n) {
        unsigned char c = p[i];
        if (c >= 0x80) goto general;
        if (!ascii_upper(c) && !ascii_alnum_lower(c)) { ++i; continue; }
        {
            size_t start = i++;
            while (i < n && ascii_alnum_lower(p[i])) ++i;
            if (i < n && p[i] >= 0x80) goto general;
            size_t len = i - start;
            unsigned char first = ascii_upper(p[start]) ? static_cast<unsigned char>(p[start] + 32) : p[start];
            if (!q.may_contain(len, first)) continue;
            scratch.assign(reinterpret_cast<const char*>(p + start), len);
            scratch[0] = static_cast<char>(first);
            int k = q.find(scratch);
            if (k >= 0) bits.set(static_cast<size_t>(k));
        }
    }
    return;
general:
    scratch.clear();
    aw::split_identifier_append(text, scratch);
    aw::for_each_word(scratch, [&](std::string_view w) {
        int k = q.find(w);
        if (k >= 0) bits.set(static_cast<size_t>(k));
    });
}

// One weighted overlap rule: the marked tokens against the question's set.
double overlap(const Bits& bits, const QueryTokens& q, double weight, Reasons* reasons, const char* label) {
    size_t n = bits.count();
    if (n == 0) return 0.0;
    double contribution = static_cast<double>(n) / static_cast<double>(q.size()) * weight;
    if (reasons) {
        std::string r = label;
        r += " overlap: ";
        size_t shown = 0;
        for (size_t i = 0; i < q.size() && shown < 8; ++i)
            if (bits.test(i)) {
                if (shown++) r += ", ";
                r += q.at(i);
            }
        reasons->push_back(std::move(r));
    }
    return contribution;
}

double field_overlap(std::string_view text, const Query& q, double weight, Scratch& s, Reasons* reasons,
                     const char* label) {
    s.bits.reset(q.tokens.size());
    mark_tokens(text, q.tokens, s.bits, s.buf);
    return overlap(s.bits, q.tokens, weight, reasons, label);
}

double items_overlap(const CatalogData& c, uint32_t begin, uint32_t end, const Query& q, double weight, Scratch& s,
                     Reasons* reasons, const char* label) {
    s.bits.reset(q.tokens.size());
    for (uint32_t i = begin; i < end; ++i) mark_tokens(c.text(c.items[i]), q.tokens, s.bits, s.buf);
    return overlap(s.bits, q.tokens, weight, reasons, label);
}

bool contains(std::string_view hay, std::string_view needle) { return hay.find(needle) != std::string_view::npos; }

}  // namespace

double normalize_lexical(double score) {
    if (!(score > 0)) return 0.0;
    return score / (score + 10.0);
}

double lexical_table(const CatalogData& c, const TableData& t, const Query& q, const Settings& s, Scratch& scratch,
                     Reasons* reasons) {
    double score = 0.0;
    score += field_overlap(c.text(t.name), q, s.table_name_weight, scratch, reasons, "table name");
    score += field_overlap(c.text(t.business), q, s.table_business_name_weight, scratch, reasons, "business name");
    score += items_overlap(c, t.tag_begin, t.tag_end, q, s.table_tag_weight, scratch, reasons, "table tags");
    score += field_overlap(c.text(t.description), q, s.table_description_weight, scratch, reasons,
                           "table description");
    std::string_view name = c.text(t.name);
    // An ASCII name's phrase is never shorter than the name.
    if (!name.empty() && !(name.size() > q.lowered.size() && aw::is_ascii(name))) {
        std::string& phrase = scratch.buf;
        phrase.clear();
        aw::split_identifier_append(name, phrase);
        if (contains(q.lowered, phrase)) {
            score += s.exact_phrase_bonus;
            if (reasons) reasons->push_back("exact table phrase");
        }
    }
    std::string_view business = c.text(t.business);
    if (!business.empty() && !(business.size() > q.lowered.size() && aw::is_ascii(business))) {
        std::string& lowered = scratch.buf;
        lowered.clear();
        aw::lower_append(business, lowered);
        if (contains(q.lowered, lowered)) {
            score += s.exact_phrase_bonus;
            if (reasons) reasons->push_back("exact business phrase");
        }
    }
    return normalize_lexical(score);
}

double lexical_column(const CatalogData& c, const ColumnData& col, const Query& q, const Settings& s,
                      Scratch& scratch, Reasons* reasons) {
    double score = 0.0;
    score += field_overlap(c.text(col.name), q, s.column_name_weight, scratch, reasons, "column name");
    score += items_overlap(c, col.syn_begin, col.syn_end, q, s.column_synonym_weight, scratch, reasons,
                           "column synonym");
    score += items_overlap(c, col.tag_begin, col.tag_end, q, s.column_tag_weight, scratch, reasons, "column tags");
    score += field_overlap(c.text(col.description), q, s.column_description_weight, scratch, reasons,
                           "column description");
    std::string_view name = c.text(col.name);
    if (!name.empty() && !(name.size() > q.lowered.size() && aw::is_ascii(name))) {
        std::string& phrase = scratch.buf;
        phrase.clear();
        aw::split_identifier_append(name, phrase);
        if (!phrase.empty() && contains(q.lowered, phrase)) {
            score += s.exact_phrase_bonus;
            if (reasons) reasons->push_back("exact column phrase");
        }
    }
    for (uint32_t i = col.syn_begin; i < col.syn_end; ++i) {
        std::string_view syn = c.text(c.items[i]);
        if (syn.empty() || (syn.size() > q.lowered.size() && aw::is_ascii(syn))) continue;
        std::string& lowered = scratch.buf;
        lowered.clear();
        aw::lower_append(syn, lowered);
        if (!lowered.empty() && contains(q.lowered, lowered)) {
            score += s.exact_phrase_bonus;
            if (reasons) reasons->push_back("exact synonym phrase: " + std::string(c.text(c.items[i])));
        }
    }
    const IntentFlags& f = q.flags;
    if ((col.role == ROLE_DATE || col.role == ROLE_DATETIME) && (f.has_time_filter || f.wants_trend)) {
        score += s.role_intent_weight;
        if (reasons) reasons->push_back("date role matches time/trend intent");
    }
    if (col.role == ROLE_METRIC && f.wants_metric) {
        score += s.role_intent_weight;
        if (reasons) reasons->push_back("metric role matches metric intent");
    }
    if ((col.role == ROLE_DIMENSION || col.role == ROLE_TEXT) && f.wants_grouping) {
        score += s.role_intent_weight;
        if (reasons) reasons->push_back("dimension role matches grouping intent");
    }
    if (q.count_or_total && (col.role == ROLE_ID || col.role == ROLE_PRIMARY_KEY)) {
        score += 0.8;
        if (reasons) reasons->push_back("id column useful for count intent");
    }
    if (q.status_type_category && (col.role == ROLE_DIMENSION || col.role == ROLE_TEXT)) {
        std::string& lowered = scratch.buf;
        lowered.clear();
        aw::lower_append(c.text(col.name), lowered);
        if (contains(lowered, "status") || contains(lowered, "type") || contains(lowered, "category")) {
            score += 1.2;
            if (reasons) reasons->push_back("common dimension keyword match");
        }
    }
    return normalize_lexical(score);
}

double column_bonuses(const ColumnData& col, bool required, const Query& q, const Settings& s, double score,
                      Reasons* reasons) {
    auto add = [&](double v, const char* why) {
        score += v;
        if (reasons) reasons->push_back(why);
    };
    if (required) add(100.0, "required column");
    if (s.include_primary_keys && (col.is_pk || col.role == ROLE_PRIMARY_KEY)) add(0.05, "primary key included");
    if (s.include_foreign_keys && (col.is_fk || col.role == ROLE_FOREIGN_KEY)) add(0.05, "foreign key included");
    if (s.include_default_date_on_time_intent && q.flags.has_time_filter && col.is_default_date)
        add(0.5, "default date column for time intent");
    if (s.include_default_metric_on_metric_intent && q.flags.wants_metric && col.is_default_metric)
        add(0.5, "default metric column for metric intent");
    return score;
}

double blend_scores(const Settings& s, double lexical, double tfidf, double embedding) {
    switch (s.strategy) {
        case STRATEGY_LEXICAL: return lexical;
        case STRATEGY_TFIDF: return tfidf != 0.0 ? tfidf : lexical;
        case STRATEGY_EMBEDDING: return embedding != 0.0 ? embedding : lexical;
        default: break;
    }
    double weights[3] = {s.lexical_alpha, 0, 0}, scores[3] = {lexical, 0, 0};
    int n = 1;
    if (tfidf != 0.0) { weights[n] = s.tfidf_alpha; scores[n++] = tfidf; }
    if (embedding != 0.0) { weights[n] = s.embedding_alpha; scores[n++] = embedding; }
    double total = 0.0;
    for (int i = 0; i < n; ++i) total += weights[i];
    if (total == 0.0) total = 1.0;
    double sum = 0.0;
    for (int i = 0; i < n; ++i) sum += weights[i] * scores[i];
    return sum / total;
}

// ------------------------------------------------------------------ choice

std::vector<size_t> rank_by_score(const std::vector<double>& scores) {
    std::vector<size_t> order(scores.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return scores[a] > scores[b]; });
    return order;
}

namespace {
size_t keep_count(long long limit) { return limit < 1 ? 1 : static_cast<size_t>(limit); }
}  // namespace

namespace {
// index of i in selected by value, or -1 (error: -2)
int find_same(const std::vector<size_t>& selected, size_t i, const Same& same) {
    for (size_t j : selected) {
        if (i == j) return 1;
        int eq = same(i, j);
        if (eq) return eq < 0 ? -1 : 1;
    }
    return 0;
}
}  // namespace

std::vector<size_t> choose_tables(const std::vector<double>& scores, const std::vector<char>& required,
                                  long long top_k, double min_score, const Same& same, bool* failed) {
    *failed = false;
    std::vector<size_t> ranked = rank_by_score(scores), selected;
    for (size_t i : ranked)
        if (required[i]) selected.push_back(i);
    for (size_t i : ranked) {
        int in = find_same(selected, i, same);
        if (in < 0) { *failed = true; return {}; }
        if (in) continue;
        if (static_cast<long long>(selected.size()) >= top_k) break;
        if (scores[i] >= min_score) selected.push_back(i);
    }
    if (selected.empty() && !ranked.empty()) selected.push_back(ranked[0]);
    if (selected.size() > keep_count(top_k)) selected.resize(keep_count(top_k));
    return selected;
}

void ensure_intent_columns(const std::vector<size_t>& ranked, std::vector<size_t>& selected,
                           const std::vector<Role>& roles, const std::vector<int>& name_ids,
                           const IntentFlags& flags) {
    std::unordered_set<int> names;  // a table may have very many selected columns
    for (size_t i : selected) names.insert(name_ids[i]);
    auto add_best_role = [&](Role a, Role b) {
        for (size_t i : ranked) {
            if (roles[i] != a && roles[i] != b) continue;
            if (names.insert(name_ids[i]).second) {
                selected.push_back(i);
                return;
            }
        }
    };
    if (flags.has_time_filter || flags.wants_trend) add_best_role(ROLE_DATE, ROLE_DATETIME);
    if (flags.wants_metric) add_best_role(ROLE_METRIC, ROLE_METRIC);
    if (flags.wants_grouping) add_best_role(ROLE_DIMENSION, ROLE_TEXT);
}

std::vector<size_t> choose_columns(const std::vector<double>& scores, const std::vector<char>& required,
                                   const std::vector<Role>& roles, const std::vector<int>& name_ids,
                                   const IntentFlags& flags, const Settings& s, const Same& same, bool* failed) {
    *failed = false;
    std::vector<size_t> ranked = rank_by_score(scores), selected;
    for (size_t i : ranked)
        if (scores[i] >= s.min_column_score) selected.push_back(i);
    for (size_t i : ranked) {
        if (!required[i]) continue;
        int in = find_same(selected, i, same);
        if (in < 0) { *failed = true; return {}; }
        if (!in) selected.push_back(i);
    }
    ensure_intent_columns(ranked, selected, roles, name_ids, flags);
    if (selected.empty() && !ranked.empty()) selected.push_back(ranked[0]);
    if (selected.size() > keep_count(s.max_columns_per_table)) selected.resize(keep_count(s.max_columns_per_table));
    return selected;
}

double round6(double x) {
    if (!std::isfinite(x)) return x;
    // Fast path: when x * 1e6 is far from a half, the nearest integer of the
    // (slightly inexact) product is the right one, and dividing it by 1e6 gives
    // the double nearest to the rounded decimal.
    double y = x * 1e6;
    if (std::fabs(y) < 1e9) {
        double f = y - std::floor(y);
        if (std::fabs(f - 0.5) > 1e-4) {
            double r = std::nearbyint(y) / 1e6;
            return r == 0.0 ? std::copysign(0.0, x) : r;
        }
    }
    char buf[400];
    // Fixed notation from the exact binary value, ties to even, as round(x, 6).
    auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, 6);
    double out = 0.0;
    std::from_chars(buf, r.ptr, out);
    return out;
}

PyObject* reasons_to_list(const Reasons& r, size_t limit) {
    size_t n = std::min(limit, r.size());
    Ref list(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (size_t i = 0; i < n; ++i) {
        PyObject* s = aw::new_str(r[i]);
        if (!s) return nullptr;
        PyList_SET_ITEM(list.get(), i, s);
    }
    return list.release();
}

// --------------------------------------------------------------- settings

namespace {
// SelectorConfig fields in declaration order: read from the slots of an exact
// record, by attribute otherwise.
const char* const kConfigFields[] = {
    "strategy", "top_k_tables", "max_columns_per_table", "min_table_score", "min_column_score",
    "include_relationships", "include_neighbor_tables_for_joins", "include_primary_keys", "include_foreign_keys",
    "include_default_date_on_time_intent", "include_default_metric_on_metric_intent", "max_output_chars",
    "token_chars_per_token", "include_descriptions", "include_synonyms", "include_sample_values",
    "max_sample_values_per_column", "table_name_weight", "table_business_name_weight", "table_tag_weight",
    "table_description_weight", "column_name_weight", "column_synonym_weight", "column_tag_weight",
    "column_description_weight", "role_intent_weight", "exact_phrase_bonus", "use_tfidf_if_available",
    "use_embeddings_if_available", "embedding_model_name_or_path", "lexical_alpha", "tfidf_alpha",
    "embedding_alpha", "include_debug"};

PyObject* config_attr(PyObject* config, const char* name) {
    if (Py_IS_TYPE(config, SelectorConfigType)) {
        for (int i = 0; i < 34; ++i)
            if (kConfigFields[i] == name) {
                PyObject* v = aw::rec_get(config, i);
                return v ? Py_NewRef(v) : nullptr;
            }
    }
    return PyObject_GetAttrString(config, name);
}

#define F(i) kConfigFields[i]

bool get_double(PyObject* config, const char* name, double& out) {
    Ref v(config_attr(config, name));
    if (!v) return false;
    out = PyFloat_AsDouble(v.get());
    return !(out == -1.0 && PyErr_Occurred());
}
bool get_bool(PyObject* config, const char* name, bool& out) {
    Ref v(config_attr(config, name));
    int t = v ? PyObject_IsTrue(v.get()) : -1;
    out = t > 0;
    return t >= 0;
}
bool get_count(PyObject* config, const char* name, long long& out) {
    Ref v(config_attr(config, name));
    Ref i(v ? PyNumber_Index(v.get()) : nullptr);
    if (!i) return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
    if (overflow) out = overflow > 0 ? LLONG_MAX : LLONG_MIN;
    return !(out == -1 && PyErr_Occurred());
}
bool get_obj(PyObject* config, const char* name, Ref& out) {
    out = Ref(config_attr(config, name));
    return bool(out);
}
}  // namespace

bool Settings::read(PyObject* c) {
    if (!get_obj(c, F(0), strategy_obj)) return false;
    strategy = STRATEGY_OTHER;
    PyObject* st = strategy_obj.get();
    if (PyUnicode_Check(st)) {
        if (PyUnicode_CompareWithASCIIString(st, "hybrid") == 0) strategy = STRATEGY_HYBRID;
        else if (PyUnicode_CompareWithASCIIString(st, "lexical") == 0) strategy = STRATEGY_LEXICAL;
        else if (PyUnicode_CompareWithASCIIString(st, "tfidf") == 0) strategy = STRATEGY_TFIDF;
        else if (PyUnicode_CompareWithASCIIString(st, "embedding") == 0) strategy = STRATEGY_EMBEDDING;
    }
    return get_count(c, F(1), top_k_tables) && get_count(c, F(2), max_columns_per_table) &&
           get_double(c, F(3), min_table_score) && get_double(c, F(4), min_column_score) &&
           get_bool(c, F(5), include_relationships) &&
           get_bool(c, F(6), include_neighbor_tables_for_joins) &&
           get_bool(c, F(7), include_primary_keys) &&
           get_bool(c, F(8), include_foreign_keys) &&
           get_bool(c, F(9), include_default_date_on_time_intent) &&
           get_bool(c, F(10), include_default_metric_on_metric_intent) &&
           get_obj(c, F(11), max_output_chars) &&
           get_obj(c, F(12), token_chars_per_token) &&
           get_bool(c, F(13), include_descriptions) &&
           get_bool(c, F(14), include_synonyms) &&
           get_bool(c, F(15), include_sample_values) &&
           get_count(c, F(16), max_sample_values_per_column) &&
           get_double(c, F(17), table_name_weight) &&
           get_double(c, F(18), table_business_name_weight) &&
           get_double(c, F(19), table_tag_weight) &&
           get_double(c, F(20), table_description_weight) &&
           get_double(c, F(21), column_name_weight) &&
           get_double(c, F(22), column_synonym_weight) &&
           get_double(c, F(23), column_tag_weight) &&
           get_double(c, F(24), column_description_weight) &&
           get_double(c, F(25), role_intent_weight) &&
           get_double(c, F(26), exact_phrase_bonus) &&
           get_bool(c, F(27), use_tfidf_if_available) &&
           get_bool(c, F(28), use_embeddings_if_available) &&
           get_obj(c, F(29), embedding_model_name_or_path) &&
           get_double(c, F(30), lexical_alpha) && get_double(c, F(31), tfidf_alpha) &&
           get_double(c, F(32), embedding_alpha) && get_bool(c, F(33), include_debug);
}

}  // namespace sift
