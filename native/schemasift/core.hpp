// Native working data of one selection: the catalog read once from Python
// records, the question's tokens and intent, the settings, and the scoring
// and choice rules that run on them.
#pragma once
#include "schemasift/schemasift.hpp"

#include "common/record.hpp"
#include "core/text.hpp"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sift {

extern PyTypeObject* SelectorConfigType;

// ------------------------------------------------------------- text arena

// Text of the catalog, viewed in place: an ASCII str's own characters, or its
// cached UTF-8 form; only strings with lone surrogates are copied. The arena
// holds a reference to every str it views, so the views stay valid even when
// the interpreter lock is released.
using Span = std::string_view;

class Arena {
public:
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena() {
        for (PyObject* o : refs_) Py_DECREF(o);
    }
    Span add_str(PyObject* str);  // nullptr-free: str must be a str
    std::string_view view(Span s) const { return s; }
    void reserve(size_t strs) { refs_.reserve(strs); }
    // Texts read from now on are copied into blocks of their own rather than
    // read in place: the text of a str shares a cache line with its
    // reference count, which the thread building results keeps writing
    // while other threads read the texts. One copy a str (catalogs repeat
    // their column names, and many copies would crowd the caches).
    void copy_texts() { copy_ = true; }
    // Once reading is over: the map from each str to its copy is let go (a
    // str read later is copied again).
    void copies_done() { std::unordered_map<PyObject*, Span>().swap(copied_); }

private:
    Span copy(std::string_view text);
    std::vector<PyObject*> refs_;
    std::deque<std::string> copies_;
    bool copy_ = false;
    std::unordered_map<PyObject*, Span> copied_;  // the strs of refs_ copied
    std::vector<std::unique_ptr<char[]>> blocks_;
    size_t block_left_ = 0;
    char* block_at_ = nullptr;
};

// ------------------------------------------------------------ loose maps

// The field values the normalizing rules give one record, read from a loose
// map once. Empty lists and maps stay null until a record is made, so that
// reading makes no Python objects the selection will not return.
template <int N>
struct Fields {
    aw::Ref f[N];
    aw::Ref& operator[](int i) { return f[i]; }
    const aw::Ref& operator[](int i) const { return f[i]; }
};
using ColumnFields = Fields<C_COUNT>;
using TableFields = Fields<T_COUNT>;  // T_COLUMNS stays null: columns are below
using RelationshipFields = Fields<R_COUNT>;

struct LooseTable {
    TableFields fields;
    std::vector<ColumnFields> columns;
};

// The copies a call makes of a loose catalog's lists and of its maps of
// unknown keys. Past the first few they are hidden from the collector until
// the call ends: a large catalog's would be promoted by the collections the
// call sets off and start full collections of the caller's whole heap.
struct ReadCopies {
    aw::HiddenResults hidden;
    size_t seen = 0;
    void add(PyObject* copy) {
        if (++seen > 256) hidden.hide(copy);
    }
};

struct LooseCatalog {
    ReadCopies copies;  // first: tracked again once the fields below let go
    aw::Ref database;
    std::vector<LooseTable> tables;
    std::vector<RelationshipFields> relationships;
    aw::Ref extra;
};

// CatalogNormalizer.normalize's reading of a loose catalog map, with its
// errors; false with a Python error set.
bool read_loose_catalog(PyObject* catalog, PyObject* database, LooseCatalog& out);
// catalog_prompt_json, sorted, of the catalog normalize would make from a
// loose map, keeping the tables at the given positions.
bool loose_prompt_json(const LooseCatalog& catalog, const std::vector<size_t>& tables, aw::JsonBuf& out,
                       JsonSink* sink);
// Records made from fields (new references).
PyObject* make_column(const ColumnFields& f);
PyObject* make_table(const TableFields& f, PyObject* columns);
PyObject* make_relationship(const RelationshipFields& f);

// ----------------------------------------------------------------- catalog

// rec.name, read straight from the slot for an exact record type.
inline PyObject* field_of(PyObject* rec, PyTypeObject* type, int index, const char* name) {
    if (Py_IS_TYPE(rec, type)) {
        PyObject* v = aw::rec_get(rec, index);
        return v ? Py_NewRef(v) : nullptr;
    }
    return PyObject_GetAttrString(rec, name);
}
inline PyObject* field_of(PyObject* rec, PyTypeObject* type, int index, PyObject* name) {
    if (Py_IS_TYPE(rec, type)) {
        PyObject* v = aw::rec_get(rec, index);
        return v ? Py_NewRef(v) : nullptr;
    }
    return PyObject_GetAttr(rec, name);
}

// Where a record's fields are read: the record, or the fields a loose map
// gave (an empty list stands as the empty tuple: nothing is made for it).
struct Source {
    PyObject* rec;
    const aw::Ref* fields;
    PyObject* get(PyTypeObject* type, int index, const char* name) const {
        if (!fields) return field_of(rec, type, index, name);
        return loose(index);
    }
    PyObject* get(PyTypeObject* type, int index, PyObject* name) const {
        if (!fields) return field_of(rec, type, index, name);
        return loose(index);
    }

private:
    PyObject* loose(int index) const {
        PyObject* v = fields[index].get();
        return v ? Py_NewRef(v) : PyTuple_New(0);
    }
};

enum Role : uint8_t { ROLE_METRIC, ROLE_DIMENSION, ROLE_DATE, ROLE_DATETIME, ROLE_ID, ROLE_PRIMARY_KEY,
                      ROLE_FOREIGN_KEY, ROLE_TEXT, ROLE_BOOLEAN, ROLE_UNKNOWN, ROLE_OTHER };

struct ColumnData {
    // The record, borrowed (CatalogData::hold keeps it alive); read from a
    // loose map, made from fields only when asked for (CatalogData::column_record).
    mutable PyObject* rec = nullptr;
    const ColumnFields* fields = nullptr;
    PyObject* name_obj = nullptr;  // borrowed
    Span name, description;
    uint32_t syn_begin = 0, syn_end = 0, tag_begin = 0, tag_end = 0;  // into CatalogData::items
    Role role = ROLE_OTHER;
    bool is_pk = false, is_fk = false, is_default_date = false, is_default_metric = false;
    int name_id = 0;  // equal names within a table share an id
};

struct TableData {
    mutable PyObject* rec = nullptr;  // as ColumnData::rec
    const TableFields* fields = nullptr;
    PyObject* name_obj = nullptr;
    Span name, business, description;
    uint32_t tag_begin = 0, tag_end = 0;
    uint32_t col_begin = 0, col_end = 0;  // into CatalogData::columns
};

struct CatalogData {
    Arena arena;
    std::vector<Span> items;  // synonyms and tags
    std::vector<ColumnData> columns;
    std::vector<TableData> tables;
    mutable std::vector<aw::Ref> hold;

    std::string_view text(Span s) const { return arena.view(s); }
    // Room for this many tables and columns (reading needs none).
    void reserve(size_t n_tables, size_t n_columns) {
        tables.reserve(n_tables);
        columns.reserve(n_columns);
        items.reserve(n_columns);
        hold.reserve(n_columns);
        arena.reserve(3 * n_tables + 2 * n_columns);
    }
    // Reads one TableMeta (and its columns); false with a Python error set.
    bool add_table(PyObject* table);
    // Reads one table of a loose catalog; t must outlive this data.
    bool add_table(const LooseTable& t);
    // The record of a column or table (borrowed), made on first use for loose
    // catalogs; null with a Python error set.
    PyObject* column_record(size_t k) const;
    PyObject* table_record(size_t t) const;
    // Where their fields are read, without making a record.
    Source column_source(size_t k) const;
    Source table_source(size_t t) const;
    // Reads one ColumnMeta as a column of no table (for single-column calls).
    bool add_column(PyObject* column, PyObject* default_date, PyObject* default_metric);
};

// ------------------------------------------------------------ the question

// Small bit set over the question's distinct tokens.
class Bits {
public:
    void reset(size_t n) {
        n_ = n;
        small_ = 0;
        if (n > 64) big_.assign((n + 63) / 64, 0);
    }
    void set(size_t i) {
        if (n_ <= 64) small_ |= uint64_t(1) << i;
        else big_[i / 64] |= uint64_t(1) << (i % 64);
    }
    bool test(size_t i) const {
        return n_ <= 64 ? (small_ >> i) & 1 : (big_[i / 64] >> (i % 64)) & 1;
    }
    bool any() const {
        if (n_ <= 64) return small_ != 0;
        for (uint64_t w : big_)
            if (w) return true;
        return false;
    }
    size_t count() const {
        if (n_ <= 64) return popcount(small_);
        size_t c = 0;
        for (uint64_t w : big_) c += popcount(w);
        return c;
    }

private:
    // Inline: the generic x86-64 build has no popcount instruction, and the
    // library call costs more than these few operations.
    static size_t popcount(uint64_t x) {
        x -= (x >> 1) & 0x5555555555555555u;
        x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
        x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fu;
        return static_cast<size_t>((x * 0x0101010101010101u) >> 56);
    }
    size_t n_ = 0;
    uint64_t small_ = 0;
    std::vector<uint64_t> big_;
};

// The set of the question's tokens, sorted by code point.
class QueryTokens {
public:
    void build(std::vector<std::string> tokens);
    int find(std::string_view w) const;
    size_t size() const { return words_.size(); }
    const std::string& at(size_t i) const { return words_[i]; }
    bool contains(std::string_view w) const { return find(w) >= 0; }

    // Cheap test that rules out most words before hashing.
    bool may_contain(size_t len, unsigned char first) const {
        size_t bit = len < 63 ? len : 63;  // one bit stands for every length from 63 up
        return ((len_mask_ >> bit) & 1) && ((first_mask_[first >> 6] >> (first & 63)) & 1);
    }

private:
    std::vector<std::string> words_;
    std::vector<int32_t> slots_;  // open addressing, -1 empty
    size_t mask_ = 0;
    uint64_t len_mask_ = 0, first_mask_[4] = {0, 0, 0, 0};
};

struct Query {
    QueryTokens tokens;
    std::string lowered;  // question.lower()
    IntentFlags flags;
    bool count_or_total = false;
    bool status_type_category = false;
    void finish();  // derives the two token tests above and the byte set below

    // False when text holds an ASCII letter or digit that the lowered
    // question lacks: then no lowered (or identifier-split) form of text can
    // occur in it.
    bool may_hold_phrase(std::string_view text) const {
        for (unsigned char b : text) {
            unsigned c = b;
            if (c - 'A' < 26u) c += 'a' - 'A';
            else if (!(c - 'a' < 26u || c - '0' < 10u)) continue;
            if (!lowered_chars_.has(static_cast<unsigned char>(c))) return false;
        }
        return true;
    }

private:
    aw::AsciiSet lowered_chars_;  // the characters of lowered
};

// --------------------------------------------------------------- settings

// Any other strategy text blends as "hybrid" does but computes no vector scores.
enum Strategy : uint8_t { STRATEGY_LEXICAL, STRATEGY_TFIDF, STRATEGY_EMBEDDING, STRATEGY_HYBRID, STRATEGY_OTHER };

struct Settings {
    aw::Ref strategy_obj;
    Strategy strategy = STRATEGY_HYBRID;
    long long top_k_tables = 3, max_columns_per_table = 25, max_sample_values_per_column = 5;
    double min_table_score = 0.03, min_column_score = 0.02;
    bool include_relationships = true, include_neighbor_tables_for_joins = false;
    bool include_primary_keys = true, include_foreign_keys = true;
    bool include_default_date_on_time_intent = true, include_default_metric_on_metric_intent = true;
    aw::Ref max_output_chars;
    aw::Ref token_chars_per_token;
    bool include_descriptions = true, include_synonyms = true, include_sample_values = false;
    double table_name_weight = 8.0, table_business_name_weight = 6.0, table_tag_weight = 4.0,
           table_description_weight = 2.0, column_name_weight = 10.0, column_synonym_weight = 8.0,
           column_tag_weight = 4.0, column_description_weight = 2.0, role_intent_weight = 4.0,
           exact_phrase_bonus = 5.0;
    bool use_tfidf_if_available = true, use_embeddings_if_available = false;
    aw::Ref embedding_model_name_or_path;
    double lexical_alpha = 0.7, tfidf_alpha = 0.15, embedding_alpha = 0.15;
    bool alpha_is_int[3] = {false, false, false};  // lexical, tfidf, embedding
    bool include_debug = true;

    bool read(PyObject* config);  // from a SelectorConfig (or any object with its fields)
};

// SelectorConfig fields, in declaration order.
enum ConfigField : int {
    CFG_STRATEGY, CFG_TOP_K_TABLES, CFG_MAX_COLUMNS_PER_TABLE, CFG_MIN_TABLE_SCORE, CFG_MIN_COLUMN_SCORE,
    CFG_INCLUDE_RELATIONSHIPS, CFG_INCLUDE_NEIGHBOR_TABLES_FOR_JOINS, CFG_INCLUDE_PRIMARY_KEYS,
    CFG_INCLUDE_FOREIGN_KEYS, CFG_INCLUDE_DEFAULT_DATE_ON_TIME_INTENT, CFG_INCLUDE_DEFAULT_METRIC_ON_METRIC_INTENT,
    CFG_MAX_OUTPUT_CHARS, CFG_TOKEN_CHARS_PER_TOKEN, CFG_INCLUDE_DESCRIPTIONS, CFG_INCLUDE_SYNONYMS,
    CFG_INCLUDE_SAMPLE_VALUES, CFG_MAX_SAMPLE_VALUES_PER_COLUMN, CFG_TABLE_NAME_WEIGHT,
    CFG_TABLE_BUSINESS_NAME_WEIGHT, CFG_TABLE_TAG_WEIGHT, CFG_TABLE_DESCRIPTION_WEIGHT, CFG_COLUMN_NAME_WEIGHT,
    CFG_COLUMN_SYNONYM_WEIGHT, CFG_COLUMN_TAG_WEIGHT, CFG_COLUMN_DESCRIPTION_WEIGHT, CFG_ROLE_INTENT_WEIGHT,
    CFG_EXACT_PHRASE_BONUS, CFG_USE_TFIDF_IF_AVAILABLE, CFG_USE_EMBEDDINGS_IF_AVAILABLE,
    CFG_EMBEDDING_MODEL_NAME_OR_PATH, CFG_LEXICAL_ALPHA, CFG_TFIDF_ALPHA, CFG_EMBEDDING_ALPHA, CFG_INCLUDE_DEBUG,
    CFG_COUNT
};
// SelectorConfig(**{field: value}) for the given fields (references stolen;
// a null value leaves the field at its default).
PyObject* new_config(std::initializer_list<std::pair<ConfigField, PyObject*>> values);

// ----------------------------------------------------------------- scoring

struct Scratch {
    std::string buf;
    Bits bits;
};

// Short texts explaining scores, in the order earned, end to end in one
// buffer: a string each would cost an allocation per reason. The reasons of
// one table or column are a range of indices.
class Reasons {
public:
    void push_back(std::string_view r) {
        text_.append(r);
        end();
    }
    // A reason written in pieces: append to text(), then end().
    std::string& text() { return text_; }
    void end() { ends_.push_back(text_.size()); }
    void reserve(size_t count, size_t bytes) {
        ends_.reserve(count);
        text_.reserve(bytes);
    }
    // from's reasons [begin, end), their text copied at once.
    void append(const Reasons& from, size_t begin, size_t end) {
        if (begin == end) return;
        const size_t first = begin ? from.ends_[begin - 1] : 0, shift = text_.size();
        text_.append(from.text_, first, from.ends_[end - 1] - first);
        for (size_t i = begin; i < end; ++i) ends_.push_back(from.ends_[i] - first + shift);
    }
    size_t size() const { return ends_.size(); }
    const std::string& joined() const { return text_; }
    const std::vector<size_t>& ends() const { return ends_; }
    std::string_view operator[](size_t i) const {
        const size_t begin = i ? ends_[i - 1] : 0;
        return std::string_view(text_).substr(begin, ends_[i] - begin);
    }

private:
    std::string text_;
    std::vector<size_t> ends_;
};

double normalize_lexical(double score);
// One field's overlap: the share of the question's tokens found in it, weighted.
inline double overlap_score(size_t found, size_t question_tokens, double weight) {
    return found == 0 ? 0.0 : static_cast<double>(found) / static_cast<double>(question_tokens) * weight;
}
double blend_scores(const Settings& s, double lexical, double tfidf, double embedding);
double lexical_table(const CatalogData& c, const TableData& t, const Query& q, const Settings& s, Scratch& scratch,
                     Reasons* reasons);
double lexical_column(const CatalogData& c, const ColumnData& col, const Query& q, const Settings& s,
                      Scratch& scratch, Reasons* reasons);
// The role and intent bonuses of a column, added to score (before normalizing).
double column_role_score(const CatalogData& c, const ColumnData& col, const Query& q, const Settings& s,
                         double score, Scratch& scratch, Reasons* reasons);
// A table's score: its blended lexical and vector scores, lifted by its best
// column's lexical score, and by the required-table bonus.
double table_score(const Settings& s, double lexical, double tfidf, double embedding, double best_column_lexical,
                   bool required);
// Bonuses of column choice (required, keys, default columns), added to score.
double column_bonuses(const ColumnData& col, bool required, const Query& q, const Settings& s, double score,
                      Reasons* reasons);

// Choice rules on plain scores; they return indices into the inputs.
std::vector<size_t> rank_by_score(const std::vector<double>& scores);
// same(i, j): 1 when items i and j are equal values (the "already selected"
// test compares by value), 0 when not, -1 on a Python error.
using Same = std::function<int(size_t, size_t)>;
// Empty with *failed set when same() failed.
// distinct_names: no two tables share a name (same() is then never 1), so
// the ranking below the minimum score need not be read.
std::vector<size_t> choose_tables(const std::vector<double>& scores, const std::vector<char>& required,
                                  long long top_k, double min_score, const Same& same, bool* failed,
                                  bool distinct_names = false);
// The first m of rank_by_score(scores).
std::vector<size_t> rank_top(const std::vector<double>& scores, size_t m);
// Appends to selected (positions in ranked order are indices into roles/name_ids).
void ensure_intent_columns(const std::vector<size_t>& ranked, std::vector<size_t>& selected,
                           const std::vector<Role>& roles, const std::vector<int>& name_ids,
                           const IntentFlags& flags);
std::vector<size_t> choose_columns(const std::vector<double>& scores, const std::vector<char>& required,
                                   const std::vector<Role>& roles, const std::vector<int>& name_ids,
                                   const IntentFlags& flags, const Settings& s, const Same& same, bool* failed);

Role role_code(PyObject* role);
double round6(double x);
// A list of the reasons [begin, end).
PyObject* reasons_to_list(const Reasons& r, size_t begin, size_t end);
inline PyObject* reasons_to_list(const Reasons& r) { return reasons_to_list(r, 0, r.size()); }

// Python-facing stages implemented in scoring.cpp and used by the driver.
bool read_query(PyObject* question, PyObject* intent, Query& q);

}  // namespace sift
