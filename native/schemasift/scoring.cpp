// Lexical scoring, score blending and table/column choice: the native rules.
#include "schemasift/core.hpp"

#include "common/pytext.hpp"
#include "common/record.hpp"
#include "core/unicode.hpp"

#include <charconv>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace sift {
using aw::Ref;

// ----------------------------------------------------------------- scoring

namespace {

// Byte classes of the ASCII token scan: one table load a byte.
enum ByteClass : unsigned char { BYTE_SEP, BYTE_LOWER, BYTE_UPPER, BYTE_HIGH };
struct ByteClasses {
    unsigned char of[256] = {};
    constexpr ByteClasses() {
        for (int c = 0; c < 256; ++c)
            of[c] = c >= 0x80                                             ? BYTE_HIGH
                    : (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ? BYTE_LOWER
                    : c >= 'A' && c <= 'Z'                             ? BYTE_UPPER
                                                                       : BYTE_SEP;
    }
};
constexpr ByteClasses kBytes;

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
        const unsigned char cls = kBytes.of[p[i]];
        if (cls == BYTE_SEP) {
            ++i;
            continue;
        }
        if (cls == BYTE_HIGH) goto general;
        const size_t start = i++;
        while (i < n && kBytes.of[p[i]] == BYTE_LOWER) ++i;
        if (i < n && kBytes.of[p[i]] == BYTE_HIGH) goto general;
        const size_t len = i - start;
        const unsigned char first = cls == BYTE_UPPER ? static_cast<unsigned char>(p[start] + 32) : p[start];
        if (!q.may_contain(len, first)) continue;
        int k;
        if (cls == BYTE_LOWER) {  // already lowercase: looked up in place
            k = q.find(std::string_view(reinterpret_cast<const char*>(p + start), len));
        } else {
            scratch.assign(reinterpret_cast<const char*>(p + start), len);
            scratch[0] = static_cast<char>(first);
            k = q.find(scratch);
        }
        if (k >= 0) bits.set(static_cast<size_t>(k));
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
    double contribution = overlap_score(n, q.size(), weight);
    if (reasons) {
        std::string& r = reasons->text();
        r += label;
        r += " overlap: ";
        size_t shown = 0;
        for (size_t i = 0; i < q.size() && shown < 8; ++i)
            if (bits.test(i)) {
                if (shown++) r += ", ";
                r += q.at(i);
            }
        reasons->end();
    }
    return contribution;
}

double field_overlap(std::string_view text, const Query& q, double weight, Scratch& s, Reasons* reasons,
                     const char* label) {
    s.bits.reset(q.tokens.size());
    mark_tokens(text, q.tokens, s.bits, s.buf);
    return s.bits.any() ? overlap(s.bits, q.tokens, weight, reasons, label) : 0.0;
}

double items_overlap(const CatalogData& c, uint32_t begin, uint32_t end, const Query& q, double weight, Scratch& s,
                     Reasons* reasons, const char* label) {
    s.bits.reset(q.tokens.size());
    for (uint32_t i = begin; i < end; ++i) mark_tokens(c.text(c.items[i]), q.tokens, s.bits, s.buf);
    return s.bits.any() ? overlap(s.bits, q.tokens, weight, reasons, label) : 0.0;
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
    if (!name.empty() && !(name.size() > q.lowered.size() && aw::is_ascii(name)) && q.may_hold_phrase(name)) {
        std::string& phrase = scratch.buf;
        phrase.clear();
        aw::split_identifier_append(name, phrase);
        if (contains(q.lowered, phrase)) {
            score += s.exact_phrase_bonus;
            if (reasons) reasons->push_back("exact table phrase");
        }
    }
    std::string_view business = c.text(t.business);
    if (!business.empty() && !(business.size() > q.lowered.size() && aw::is_ascii(business)) &&
        q.may_hold_phrase(business)) {
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
    if (!name.empty() && !(name.size() > q.lowered.size() && aw::is_ascii(name)) && q.may_hold_phrase(name)) {
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
        if (syn.empty() || (syn.size() > q.lowered.size() && aw::is_ascii(syn)) || !q.may_hold_phrase(syn)) continue;
        std::string& lowered = scratch.buf;
        lowered.clear();
        aw::lower_append(syn, lowered);
        if (!lowered.empty() && contains(q.lowered, lowered)) {
            score += s.exact_phrase_bonus;
            if (reasons) {
                reasons->text() += "exact synonym phrase: ";
                reasons->push_back(c.text(c.items[i]));
            }
        }
    }
    return normalize_lexical(column_role_score(c, col, q, s, score, scratch, reasons));
}

double column_role_score(const CatalogData& c, const ColumnData& col, const Query& q, const Settings& s,
                         double score, Scratch& scratch, Reasons* reasons) {
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
    return score;
}

// How much the best column's lexical score lifts its table, and the most it may.
constexpr double kColumnEvidenceWeight = 0.2;
constexpr double kColumnEvidenceCap = 0.3;
// A required table or column outranks every other one.
constexpr double kRequiredBonus = 100.0;
constexpr double kKeyBonus = 0.05;
constexpr double kDefaultColumnBonus = 0.5;

double table_score(const Settings& s, double lexical, double tfidf, double embedding, double best_column_lexical,
                   bool required) {
    double score = blend_scores(s, lexical, tfidf, embedding);
    double evidence = best_column_lexical * kColumnEvidenceWeight;
    score += kColumnEvidenceCap < evidence ? kColumnEvidenceCap : evidence;
    if (required) score += kRequiredBonus;
    return score;
}

double column_bonuses(const ColumnData& col, bool required, const Query& q, const Settings& s, double score,
                      Reasons* reasons) {
    auto add = [&](double v, const char* why) {
        score += v;
        if (reasons) reasons->push_back(why);
    };
    if (required) add(kRequiredBonus, "required column");
    if (s.include_primary_keys && (col.is_pk || col.role == ROLE_PRIMARY_KEY)) add(kKeyBonus, "primary key included");
    if (s.include_foreign_keys && (col.is_fk || col.role == ROLE_FOREIGN_KEY)) add(kKeyBonus, "foreign key included");
    if (s.include_default_date_on_time_intent && q.flags.has_time_filter && col.is_default_date)
        add(kDefaultColumnBonus, "default date column for time intent");
    if (s.include_default_metric_on_metric_intent && q.flags.wants_metric && col.is_default_metric)
        add(kDefaultColumnBonus, "default metric column for metric intent");
    return score;
}

// The host's sum(): exact while the items are ints, then float additions,
// from 3.12 with the rounding compensated (Neumaier; ints too from 3.14).
struct HostSum {
    bool whole = true;
    long long i = 0;
    double hi = 0.0, lo = 0.0;
    void compensated(double x) {
        double t = hi + x;
        lo += std::fabs(hi) >= std::fabs(x) ? (hi - t) + x : (x - t) + hi;
        hi = t;
    }
    void add(double x, bool is_int) {
        if (whole && is_int && std::fabs(x) < 9.0e15) {  // exact in a double and in i
            i += static_cast<long long>(x);
            return;
        }
        if (whole) { whole = false; hi = static_cast<double>(i) + x; return; }
#if PY_VERSION_HEX >= 0x030E0000
        compensated(x);
#elif PY_VERSION_HEX >= 0x030C0000
        if (is_int) hi += x; else compensated(x);
#else
        hi += x;
#endif
    }
    double value() const {
        if (whole) return static_cast<double>(i);
        return lo != 0.0 && std::isfinite(lo) ? hi + lo : hi;
    }
};

double blend_scores(const Settings& s, double lexical, double tfidf, double embedding) {
    switch (s.strategy) {
        case STRATEGY_LEXICAL: return lexical;
        case STRATEGY_TFIDF: return tfidf != 0.0 ? tfidf : lexical;
        case STRATEGY_EMBEDDING: return embedding != 0.0 ? embedding : lexical;
        default: break;
    }
    double weights[3] = {s.lexical_alpha, 0, 0}, scores[3] = {lexical, 0, 0};
    bool ints[3] = {s.alpha_is_int[0], false, false};
    int n = 1;
    if (tfidf != 0.0) { weights[n] = s.tfidf_alpha; ints[n] = s.alpha_is_int[1]; scores[n++] = tfidf; }
    if (embedding != 0.0) { weights[n] = s.embedding_alpha; ints[n] = s.alpha_is_int[2]; scores[n++] = embedding; }
    HostSum total, sum;
    for (int i = 0; i < n; ++i) {
        total.add(weights[i], ints[i]);
        sum.add(weights[i] * scores[i], false);
    }
    double t = total.value();
    if (t == 0.0) t = 1.0;
    return sum.value() / t;
}

// ------------------------------------------------------------------ choice

std::vector<size_t> rank_by_score(const std::vector<double>& scores) {
    std::vector<size_t> order(scores.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return scores[a] > scores[b]; });
    return order;
}

std::vector<size_t> rank_top(const std::vector<double>& scores, size_t m) {
    bool plain = m < scores.size();
    for (size_t i = 0; plain && i < scores.size(); ++i) plain = !std::isnan(scores[i]);
    if (!plain) {
        std::vector<size_t> order = rank_by_score(scores);
        if (order.size() > m) order.resize(m);
        return order;
    }
    // Without NaN the stable order is (score descending, position ascending).
    std::vector<size_t> order(scores.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(m), order.end(),
                      [&](size_t a, size_t b) { return scores[a] > scores[b] || (scores[a] == scores[b] && a < b); });
    order.resize(m);
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
                                  long long top_k, double min_score, const Same& same, bool* failed,
                                  bool distinct_names) {
    *failed = false;
    size_t n_required = 0;
    for (char r : required) n_required += r != 0;
    // The ranking is read from the top; with distinct names no table is
    // skipped as already chosen, so a short prefix usually decides.
    const size_t want = keep_count(top_k) + n_required + 1;
    std::vector<size_t> ranked = distinct_names && want < scores.size() ? rank_top(scores, want)
                                                                         : rank_by_score(scores);
    auto extend = [&]() { if (ranked.size() < scores.size()) ranked = rank_by_score(scores); };
    std::vector<size_t> selected;
    selected.reserve(std::min(scores.size(), keep_count(top_k) + n_required));
    if (n_required) {
        extend();
        for (size_t i : ranked)
            if (required[i]) selected.push_back(i);
    }
    for (size_t p = 0; p < scores.size(); ++p) {
        if (p == ranked.size()) {
            // Below the minimum from here on: nothing more is chosen.
            if (distinct_names && p && scores[ranked[p - 1]] < min_score) break;
            extend();
        }
        size_t i = ranked[p];
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
    // Name ids are positions within the table: a flag per position marks the
    // names already selected.
    int top = -1;
    for (int id : name_ids) top = std::max(top, id);
    std::vector<char> taken(static_cast<size_t>(top + 1), 0);
    for (size_t i : selected) taken[static_cast<size_t>(name_ids[i])] = 1;
    auto add_best_role = [&](Role a, Role b) {
        for (size_t i : ranked) {
            if (roles[i] != a && roles[i] != b) continue;
            char& t = taken[static_cast<size_t>(name_ids[i])];
            if (!t) {
                t = 1;
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
    selected.reserve(ranked.size() + 4);  // the intent columns may add a few
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

namespace {

// The reasons that are always the same text, as one shared str each: debug
// lists repeat them, and most of a list's reasons are these.
PyObject* reason_str(std::string_view r) {
    static constexpr std::string_view kFixed[] = {
        "dimension role matches grouping intent", "primary key included", "exact column phrase",
        "exact business phrase", "exact table phrase", "id column useful for count intent",
        "date role matches time/trend intent", "metric role matches metric intent",
        "common dimension keyword match", "foreign key included", "required table", "required column",
        "default date column for time intent", "default metric column for metric intent"};
    static PyObject* made[std::size(kFixed)] = {};
    for (size_t i = 0; i < std::size(kFixed); ++i)
        if (r == kFixed[i]) {
            if (!made[i]) made[i] = aw::interned(kFixed[i].data());  // a literal's: ends in a NUL
            return made[i] ? Py_NewRef(made[i]) : nullptr;
        }
    return aw::new_str(r);
}

}  // namespace

PyObject* reasons_to_list(const Reasons& r, size_t begin, size_t end) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(end - begin)));
    if (!list) return nullptr;
    for (size_t i = 0; i < end - begin; ++i) {
        PyObject* s = reason_str(r[begin + i]);
        if (!s) return nullptr;
        PyList_SET_ITEM(list.get(), i, s);
    }
    return list.release();
}

}  // namespace sift
