// Shared declarations of the schemasift extension module.
#pragma once
#include "common/json.hpp"
#include "common/py.hpp"
#include "common/pytext.hpp"
#include "core/text.hpp"

#include <deque>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace sift {

// Record types, created at module load.
extern PyTypeObject* ColumnMetaType;
extern PyTypeObject* TableMetaType;
extern PyTypeObject* RelationshipMetaType;
extern PyTypeObject* MetadataCatalogType;

// Field indices, in declaration order.
enum ColumnField { C_NAME, C_TYPE, C_DESCRIPTION, C_SYNONYMS, C_ROLE, C_TAGS, C_NULLABLE, C_IS_PK, C_IS_FK,
                   C_SAMPLE_VALUES, C_EXTRA, C_COUNT };
enum TableField { T_TABLE_NAME, T_BUSINESS_NAME, T_DESCRIPTION, T_TAGS, T_COLUMNS, T_DEFAULT_DATE,
                  T_DEFAULT_METRIC, T_ROW_COUNT, T_EXTRA, T_COUNT };
enum RelationshipField { R_FROM_TABLE, R_FROM_COLUMN, R_TO_TABLE, R_TO_COLUMN, R_TYPE, R_DESCRIPTION, R_EXTRA,
                         R_COUNT };
enum CatalogField { M_DATABASE, M_TABLES, M_RELATIONSHIPS, M_EXTRA, M_COUNT };

using aw::estimate_tokens_for;
using aw::require_str;
using aw::TextView;

// The module's stopwords (DEFAULT_STOPWORDS), for aw::tokenize.
const aw::WordSet& default_stopwords();

// Intent of a question, natively (views point into token_buf: not movable).
struct Intent {
    Intent() = default;
    Intent(const Intent&) = delete;
    Intent& operator=(const Intent&) = delete;
    std::string token_buf;
    std::vector<std::string_view> tokens;
    std::vector<uint8_t> kinds;  // term_kinds of each token
    std::string lowered;
    bool has_time_filter = false, wants_trend = false, wants_metric = false, wants_grouping = false,
         wants_table_rows = false, has_top = false, has_bottom = false;
    std::string top_digits, bottom_digits;
};
struct IntentFlags {
    bool has_time_filter = false, wants_trend = false, wants_metric = false, wants_grouping = false;
};
extern PyTypeObject* QueryIntentType;
void parse_intent(std::string_view question, Intent& in);
PyObject* intent_to_py(PyObject* question, const Intent& in);
bool read_intent(PyObject* intent, IntentFlags& out);
// The word lists a token is on: a mask of the TERM_ bits.
enum : uint8_t { TERM_METRIC = 1, TERM_DIMENSION = 2, TERM_DATE = 4, TERM_TREND = 8 };
uint8_t term_kinds(std::string_view w);

// The searchable_text methods of ColumnMeta and TableMeta, appended as UTF-8.
bool column_searchable_text(PyObject* column, PyObject* table_name, PyObject* table_business_name, std::string& out);
bool table_searchable_text(PyObject* table, std::string& out);

// dataclasses.asdict of one of our records (nested values converted alike).
PyObject* record_as_dict(PyObject* rec);

// Takes written JSON text away from a writer in pieces, so that a large text
// need never be held whole.
struct JsonSink {
    virtual ~JsonSink() = default;
    virtual void consume(aw::JsonBuf& piece) = 0;  // takes the text, leaves piece empty
    size_t piece_size = 1 << 18;  // handed over once this much is written
};

// json.dumps(catalog.to_prompt_dict(), ensure_ascii=False, default=str,
// sort_keys=sorted) without building the map. With a sink, text is handed
// to it after whole tables (out keeps only the rest).
bool catalog_prompt_json(PyObject* catalog, bool sorted, aw::JsonBuf& out, JsonSink* sink = nullptr);

// First 16 hex digits of the SHA-256 of a JSON text.
PyObject* hash_json(std::string_view json);

// Module registration of each area.
bool init_text(PyObject* module);
bool init_catalog(PyObject* module);
bool init_intent(PyObject* module);
bool init_results(PyObject* module);
bool init_vector(PyObject* module);
bool init_driver(PyObject* module);
bool init_index(PyObject* module);
extern PyMethodDef text_functions[];
extern PyMethodDef driver_functions[];

}  // namespace sift
