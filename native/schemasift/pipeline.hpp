// The stages of one selection, shared by the native pipeline (select.cpp),
// the output builders (output.cpp) and the Python-facing stage methods
// (stages.cpp).
#pragma once
#include "schemasift/core.hpp"

#include "common/json.hpp"
#include "core/sha256.hpp"

#include <algorithm>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sift {

extern PyTypeObject* ScoredColumnType;
extern PyTypeObject* ScoredTableType;
extern PyTypeObject* SelectionMetricsType;
extern PyTypeObject* MetadataSelectionResultType;
extern PyObject* SchemaSiftType;
extern PyObject* g_module;  // borrowed: the module owns everything created here

// ----------------------------------------------------------- pipeline.cpp

bool settings_of(PyObject* self, Settings& s);

// Similarities of every table and column document, looked up by id.
struct VectorScores {
    std::vector<double> table, column;
    bool any = false;
};
bool lookup_scores(const CatalogData& c, PyObject* map, VectorScores& out);

// The searchable texts, as the records render them, keyed by document id.
PyObject* build_doc_texts(PyObject* catalog);
// _get_tfidf_scores / _get_embedding_scores. docs may be null: built from
// catalog on demand only once a backend turns out to be usable.
PyObject* vector_scores(PyObject* catalog, PyObject* question, PyObject*& docs, const Settings& s, bool embedding);

// Lexical scores of every table and column, worked out ahead (by an index).
struct LexicalScores {
    std::vector<double> table, column;
};

// The module's own backend classes (vector.cpp).
extern PyObject* TfidfBackendType;
extern PyObject* EmbeddingBackendType;
// An embedding product computed in pieces that give the whole product's bits
// (plan_split_product); empty: the whole product.
struct SplitProduct {
    aw::Ref of;      // the embeddings it was planned on
    aw::Ref pieces;  // list of row views of them
    aw::Ref dim;     // their width
};
// Plans the pieces for our own embedding backend's embeddings; false only on
// an error that is not an ordinary exception.
bool plan_split_product(PyObject* backend, SplitProduct& split);
// A built backend's similarity of the question to each of its documents, in
// the order of its doc_ids, as floats; empty when unusable or on an ordinary
// error (as score() gives no scores then).
PyObject* backend_similarities(PyObject* backend, PyObject* question, bool embedding,
                               const SplitProduct* split = nullptr);
// module.name, imported (a new reference; null with an error set).
PyObject* import_attr(const char* module, const char* name);
// build() without a progress bar.
bool embedding_build_quiet(PyObject* backend, PyObject* docs);
// Whether a vector backend may be asked, so that its documents are needed.
bool wants_vectors(const Settings& s);

// The reasons of a list of items, one group per item: item k's are
// all[begin(k), end(k)).
struct ReasonGroups {
    Reasons all;
    std::vector<size_t> ends;
    void close() { ends.push_back(all.size()); }  // ends the current item's group
    void reserve(size_t items) {  // a few reasons of some 40 bytes an item
        ends.reserve(items);
        all.reserve(4 * items, 160 * items);
    }
    size_t begin(size_t k) const { return k ? ends[k - 1] : 0; }
    size_t end(size_t k) const { return ends[k]; }
    // The first limit reasons of item k, as a list.
    PyObject* list(size_t k, size_t limit) const {
        return reasons_to_list(all, begin(k), begin(k) + std::min(end(k) - begin(k), limit));
    }
    void append_to(size_t k, Reasons& out) const { out.append(all, begin(k), end(k)); }
};
// The reasons of every table's and column's lexical score, kept by the
// scoring pass on small catalogs: the debug output then scores nothing twice.
struct LexicalReasons {
    static constexpr size_t kMaxItems = 512;  // tables and columns; beyond, the few shown are scored again
    ReasonGroups tables, columns;
};

// The table scores of one selection; col_lex caches every column's lexical
// score. lexical: the lexical scores when known already (taken), else null.
// why: filled with the lexical reasons when not null and lexical is null.
bool score_tables(const CatalogData& c, const Query& q, const Settings& s, const VectorScores& tf,
                  const VectorScores& em, PyObject* required, LexicalScores* lexical,
                  std::vector<double>& scores, std::vector<double>& col_lex, std::vector<char>& is_required,
                  LexicalReasons* why = nullptr);
// Appends the reasons of one table, as _score_tables records them (from why
// when it holds them).
void table_reasons(const CatalogData& c, size_t t, const Query& q, const Settings& s, bool required,
                   const LexicalReasons* why, Reasons& out);

struct ColumnChoice {
    std::vector<size_t> chosen;  // indices into CatalogData::columns
    std::vector<double> scores;  // final score per chosen column
    ReasonGroups reasons;        // per chosen column
};
// _score_and_choose_columns for table t. lex: cached lexical scores or null;
// why: their reasons, or null.
bool choose_table_columns(const CatalogData& c, size_t t, const Query& q, const Settings& s, const VectorScores& tf,
                          const VectorScores& em, PyObject* required, PyObject* excluded, const double* lex,
                          const LexicalReasons* why, bool with_reasons, bool native_only, ColumnChoice& out);

// ------------------------------------------------------------- output.cpp

bool put(PyObject* d, PyObject* key, PyObject* v);  // steals v
PyObject* round_score(PyObject* v);
// The JSON size of an output map (len(json.dumps(m, ensure_ascii=False)),
// all json.dumps would measure), added up while it is built; unknown once a
// value is not plain (then the map is measured when done).
struct OutputSize {
    size_t chars = 0;
    bool known = true;
};
// An index's entry of one table or column in the selected metadata, made
// once and copied with each result's score (and columns). Kept only when the
// record's fields are plain values (exact str, int, float, bool or None; no
// synonyms or samples): reading them runs no code and gives the same entry
// each time. Filled and read with the interpreter lock.
struct EntryTemplate {
    enum State : uint8_t { UNTRIED, KEPT, NONE };
    State state = UNTRIED;
    aw::Ref entry;     // with a score of 0.0 (and no columns)
    size_t chars = 0;  // its JSON size without those
};
struct EntryTemplates {
    std::vector<EntryTemplate> tables, columns;  // by catalog position
};
// One table entry; columns is a list of (column, score object) pairs. kept:
// the table's template and its columns', for an index.
struct KeptEntries {
    EntryTemplate* table;
    std::vector<EntryTemplate*> columns;
};
PyObject* table_entry(const Source& table, PyObject* score, const std::vector<std::pair<Source, PyObject*>>& columns,
                      const Settings& s, OutputSize* size = nullptr, KeptEntries* kept = nullptr);
// entries: the summed sizes of the table entries, when known; then size
// is set to the map's.
PyObject* selected_metadata(PyObject* catalog, PyObject* tables, PyObject* relationships,
                            const OutputSize* entries = nullptr, OutputSize* size = nullptr);
// The ends of every relationship of a catalog as text, read once by an index
// when every relationship is our own record and every end a plain str (then
// `end in names` is equality of text).
struct RelationshipEnds {
    aw::Ref records;  // the relationship list
    std::vector<std::pair<std::string, std::string>> ends;
};
// False without an error when the relationships are not all plain.
bool read_relationship_ends(PyObject* catalog, RelationshipEnds& out);
PyObject* select_relationships(PyObject* catalog, PyObject* names, const Settings& s,
                               const RelationshipEnds* ends = nullptr);
// known: the map's size when added up already (then it is not measured again).
PyObject* apply_output_budget(PyObject* selected, const Settings& s, const OutputSize* known = nullptr);
PyObject* reduction_percent(PyObject* before, PyObject* after);
// reduction: a callable replacing _reduction_percent (null: the rule's own).
// output_size: the selected map's size when known ahead.
PyObject* build_metrics(PyObject* selected, Py_ssize_t input_tables, Py_ssize_t input_columns,
                        Py_ssize_t input_chars, PyObject* catalog_hash, const Settings& s,
                        PyObject* reduction = nullptr, const OutputSize* output_size = nullptr);
struct Plan;
// What a result's debug map is made of, read now; its make() builds the map
// (when the result's field is first read). Null with an error set.
std::unique_ptr<aw::Deferred> read_debug(const CatalogData& c, const Settings& s, const Plan& p,
                                         bool tfidf_available, bool embedding_available);

// ------------------------------------------------------------- select.cpp

// Argument checks of select, with its messages.
bool check_select_args(PyObject* question, PyObject* database, PyObject* req_tables, PyObject* req_cols,
                       PyObject* exc_tables, PyObject* exc_cols);
bool check_question(PyObject* question);  // ValueError when blank
PyObject* set_of(PyObject* values);       // set(values or [])
// A required/excluded column map's entry for one table, as a set (or null when absent).
bool column_set(PyObject* map, PyObject* table_name, aw::Ref& out);
void build_query(const Intent& intent, Query& q);
// The catalog hash and input size of a MetadataCatalog.
bool hash_catalog(PyObject* catalog, aw::Ref& hash, Py_ssize_t& input_chars);

// The digest and code points of a catalog text, with the text itself.
struct TextDigest {
    std::string text, hex;
    size_t code_points = 0;
};

// The hash and input size of a catalog's prompt text, written into it piece by
// piece. Callers ask many questions of one catalog, so the digest of the last
// text is kept: a text that equals it is only compared. Otherwise a big text
// is digested on a worker thread while the selection goes on; ready() waits
// for it.
struct CatalogDigest : JsonSink {
    CatalogDigest();
    aw::Ref hash;
    Py_ssize_t input_chars = 0;
    void consume(aw::JsonBuf& piece) override;
    bool end(aw::JsonBuf& last);      // the text's last piece
    bool ready();                     // false with an exception set

private:
    bool same_so_far(std::string_view piece);  // compares with the kept text
    void differ();                             // digests what was compared
    void keep(std::string_view piece);         // the text, to be kept after
    void hand_on(aw::JsonBuf& piece);
    bool finish(std::string hex, size_t code_points);  // keeps the text's digest
    std::shared_ptr<const TextDigest> last_;   // the kept digest, while the text equals it
    size_t matched_ = 0;
    std::string text_;
    bool keeping_ = true, handed_ = false;
    aw::BackgroundDigest worker_;
};

// ------------------------------------------------------------- replaced.cpp

// 1 when type(self) replaces any of the named SchemaSift methods, 0 when not,
// -1 on error.
int replaces_any(PyObject* self, const char* const* names, size_t count);
// sorted(items, key=lambda x: x.score, reverse=True)
PyObject* sorted_by_score(PyObject* items);
// The stages through method calls, for a subclass that replaces a helper they
// call: each helper is called where the rules call it.
PyObject* lexical_table_by_calls(PyObject* self, PyObject* question, PyObject* table, PyObject* intent);
PyObject* lexical_column_by_calls(PyObject* self, PyObject* question, PyObject* table, PyObject* col,
                                  PyObject* intent);
PyObject* score_tables_by_calls(PyObject* self, PyObject* question, PyObject* catalog, PyObject* intent,
                                PyObject* tfidf, PyObject* embedding, PyObject* required);
PyObject* score_columns_by_calls(PyObject* self, PyObject* question, PyObject* table, PyObject* intent,
                                 PyObject* tfidf, PyObject* embedding, PyObject* required, PyObject* excluded);

// The relationship graph of a catalog for join paths (joinpath.cpp); the
// columns are borrowed from the relationship records the ends hold.
struct JoinGraph {
    struct Edge {
        size_t table;
        PyObject* own_column;    // this table's column of the relationship
        PyObject* other_column;
    };
    std::vector<std::vector<Edge>> neighbors;
    bool build(const CatalogData& c, const RelationshipEnds& ends);  // false with a Python error set
};
struct JoinBridge {
    size_t table = SIZE_MAX;
    std::string reason;                 // "join path: a -> bridge -> b"
    std::vector<PyObject*> key_columns;  // the bridge's columns on the path
};
// When the two leading chosen tables are not joined and exactly one table
// joins them both, puts it second in chosen (in place of the lowest-ranked
// table not required when chosen is full). True when a bridge was added.
bool add_join_bridge(const JoinGraph& g, const CatalogData& c, const std::vector<char>& is_required, long long top_k,
                     std::vector<size_t>& chosen, JoinBridge& out);

// Chooses the likely schema of a catalog whose table names are qualified
// ("schema.table"), so that tables are chosen within it (route.cpp).
struct SchemaRouter {
    std::vector<uint32_t> table_schema;
    size_t schemas = 0;
    std::unordered_map<std::string, std::vector<uint32_t>> stem_schemas;
    void build(const CatalogData& c);
    void route(const Query& q, const std::vector<double>& table_scores, std::vector<char>& allowed) const;
};

// A catalog read for selection, with its size and hash (all borrowed).
struct Selection {
    PyObject* catalog;  // the MetadataCatalog the relationship and output stages read
    const CatalogData& c;
    PyObject* catalog_hash;
    Py_ssize_t input_chars;
    const RelationshipEnds* ends = nullptr;
    bool distinct_names = false;  // no two tables share a name
    const JoinGraph* joins = nullptr;  // join paths are added when given
    const SchemaRouter* router = nullptr;  // tables are chosen within the likely schema when given
    CatalogDigest* digest = nullptr;       // when given, the hash and input size come from it
    EntryTemplates* kept_entries = nullptr;  // an index's
};
// One question and the caller's constraints (borrowed; the maps null when absent).
struct Ask {
    PyObject* question;
    PyObject* intent;
    const Query* q;
    PyObject* required_set;
    PyObject* required_cols;
    PyObject* excluded_cols;
};
// The native part of a selection: scores, the chosen tables and their
// columns, and the reasons the debug output shows.
struct Plan {
    std::vector<double> table_scores, col_lex;
    std::vector<char> is_required;
    std::vector<size_t> chosen;
    std::vector<ColumnChoice> choices;
    bool bridged = false;
    JoinBridge bridge;
    std::vector<size_t> ranked;  // the leading tables of the debug rankings, with their reasons
    ReasonGroups ranked_reasons;
    LexicalReasons lexical_why;
};
// native_only: without the interpreter (the caller holds none of the
// constraint sets, no join graph): false where Python would be needed,
// with no error set. Otherwise false means a Python error is set.
bool plan_selection(const Selection& sel, const Ask& ask, const Settings& s, const VectorScores& tf,
                    const VectorScores& em, LexicalScores* lexical, bool native_only, Plan& p);
// Scores, choice, output, metrics and debug of one question on a read
// catalog; planned: its native part, made ahead.
PyObject* select_scored(const Selection& sel, const Ask& ask, const Settings& s, const VectorScores& tf,
                        const VectorScores& em, LexicalScores* lexical, const Plan* planned = nullptr);

PyObject* run_select(PyObject* self, PyObject* question, PyObject* catalog, PyObject* database,
                     PyObject* req_tables, PyObject* req_cols, PyObject* exc_tables, PyObject* exc_cols);

}  // namespace sift
