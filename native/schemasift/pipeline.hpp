// The stages of one selection, shared by the native pipeline (select.cpp),
// the output builders (output.cpp) and the Python-facing stage methods
// (stages.cpp).
#pragma once
#include "schemasift/core.hpp"

#include "common/json.hpp"

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

// The table scores of one selection; col_lex caches every column's lexical score.
bool score_tables(const CatalogData& c, const Query& q, const Settings& s, const VectorScores& tf,
                  const VectorScores& em, PyObject* required, std::vector<double>& scores,
                  std::vector<double>& col_lex, std::vector<char>& is_required);
// Reasons of one table, as _score_tables records them.
Reasons table_reasons(const CatalogData& c, const TableData& t, const Query& q, const Settings& s, bool required);

struct ColumnChoice {
    std::vector<size_t> chosen;  // indices into CatalogData::columns
    std::vector<double> scores;  // final score per chosen column
    std::vector<Reasons> reasons;
};
// _score_and_choose_columns for table t. lex: cached lexical scores or null.
bool choose_table_columns(const CatalogData& c, size_t t, const Query& q, const Settings& s, const VectorScores& tf,
                          const VectorScores& em, PyObject* required, PyObject* excluded, const double* lex,
                          bool with_reasons, ColumnChoice& out);

// ------------------------------------------------------------- output.cpp

bool put(PyObject* d, PyObject* key, PyObject* v);  // steals v
PyObject* round_score(PyObject* v);
// One table entry; columns is a list of (column record, score object) pairs.
PyObject* table_entry(PyObject* table, PyObject* score, const std::vector<std::pair<PyObject*, PyObject*>>& columns,
                      const Settings& s);
PyObject* selected_metadata(PyObject* catalog, PyObject* tables, PyObject* relationships);
PyObject* select_relationships(PyObject* catalog, PyObject* names, const Settings& s);
PyObject* apply_output_budget(PyObject* selected, const Settings& s);
PyObject* reduction_percent(PyObject* before, PyObject* after);
PyObject* build_metrics(PyObject* selected, Py_ssize_t input_tables, Py_ssize_t input_columns,
                        Py_ssize_t input_chars, PyObject* catalog_hash, const Settings& s);
PyObject* build_debug(const CatalogData& c, const Query& q, const Settings& s,
                      const std::vector<double>& table_scores, const std::vector<char>& is_required,
                      const std::vector<size_t>& chosen, const std::vector<ColumnChoice>& choices,
                      bool tfidf_available, bool embedding_available);

// ------------------------------------------------------------- select.cpp

PyObject* run_select(PyObject* self, PyObject* question, PyObject* catalog, PyObject* database,
                     PyObject* req_tables, PyObject* req_cols, PyObject* exc_tables, PyObject* exc_cols);

}  // namespace sift
