// Settings of one selection, read once from a SelectorConfig.
#include "schemasift/core.hpp"

#include "common/record.hpp"

#include <climits>

namespace sift {
using aw::Ref;

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
static_assert(std::size(kConfigFields) == CFG_COUNT, "a name for every field");

// Field i of the config: its slot in an exact record, its attribute otherwise.
PyObject* config_attr(PyObject* config, ConfigField i) {
    if (Py_IS_TYPE(config, SelectorConfigType)) return Py_XNewRef(aw::rec_get(config, i));
    return PyObject_GetAttrString(config, kConfigFields[i]);
}

bool get_double(PyObject* config, ConfigField field, double& out) {
    Ref v(config_attr(config, field));
    if (!v) return false;
    out = PyFloat_AsDouble(v.get());
    return !(out == -1.0 && PyErr_Occurred());
}
bool is_int(PyObject* config, ConfigField field, bool& out) {
    Ref v(config_attr(config, field));
    if (!v) return false;
    out = PyLong_CheckExact(v.get()) || PyBool_Check(v.get());
    return true;
}
bool get_bool(PyObject* config, ConfigField field, bool& out) {
    Ref v(config_attr(config, field));
    int t = v ? PyObject_IsTrue(v.get()) : -1;
    out = t > 0;
    return t >= 0;
}
bool get_count(PyObject* config, ConfigField field, long long& out) {
    Ref v(config_attr(config, field));
    Ref i(v ? PyNumber_Index(v.get()) : nullptr);
    if (!i) return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
    if (overflow) out = overflow > 0 ? LLONG_MAX : LLONG_MIN;
    return !(out == -1 && PyErr_Occurred());
}
bool get_obj(PyObject* config, ConfigField field, Ref& out) {
    out = Ref(config_attr(config, field));
    return bool(out);
}
}  // namespace

PyObject* new_config(std::initializer_list<std::pair<ConfigField, PyObject*>> values) {
    Ref config(SelectorConfigType->tp_alloc(SelectorConfigType, 0));
    for (auto& [field, v] : values) {
        if (config) reinterpret_cast<aw::RecordObject*>(config.get())->f[field] = v;
        else Py_XDECREF(v);
    }
    return config && aw::rec_fill_defaults(config.get()) ? config.release() : nullptr;
}

bool Settings::read(PyObject* c) {
    if (!get_obj(c, CFG_STRATEGY, strategy_obj)) return false;
    strategy = STRATEGY_OTHER;
    PyObject* st = strategy_obj.get();
    if (PyUnicode_Check(st)) {
        if (PyUnicode_CompareWithASCIIString(st, "hybrid") == 0) strategy = STRATEGY_HYBRID;
        else if (PyUnicode_CompareWithASCIIString(st, "lexical") == 0) strategy = STRATEGY_LEXICAL;
        else if (PyUnicode_CompareWithASCIIString(st, "tfidf") == 0) strategy = STRATEGY_TFIDF;
        else if (PyUnicode_CompareWithASCIIString(st, "embedding") == 0) strategy = STRATEGY_EMBEDDING;
    }
    return get_count(c, CFG_TOP_K_TABLES, top_k_tables) &&
           get_count(c, CFG_MAX_COLUMNS_PER_TABLE, max_columns_per_table) &&
           get_double(c, CFG_MIN_TABLE_SCORE, min_table_score) &&
           get_double(c, CFG_MIN_COLUMN_SCORE, min_column_score) &&
           get_bool(c, CFG_INCLUDE_RELATIONSHIPS, include_relationships) &&
           get_bool(c, CFG_INCLUDE_NEIGHBOR_TABLES_FOR_JOINS, include_neighbor_tables_for_joins) &&
           get_bool(c, CFG_INCLUDE_PRIMARY_KEYS, include_primary_keys) &&
           get_bool(c, CFG_INCLUDE_FOREIGN_KEYS, include_foreign_keys) &&
           get_bool(c, CFG_INCLUDE_DEFAULT_DATE_ON_TIME_INTENT, include_default_date_on_time_intent) &&
           get_bool(c, CFG_INCLUDE_DEFAULT_METRIC_ON_METRIC_INTENT, include_default_metric_on_metric_intent) &&
           get_obj(c, CFG_MAX_OUTPUT_CHARS, max_output_chars) &&
           get_obj(c, CFG_TOKEN_CHARS_PER_TOKEN, token_chars_per_token) &&
           get_bool(c, CFG_INCLUDE_DESCRIPTIONS, include_descriptions) &&
           get_bool(c, CFG_INCLUDE_SYNONYMS, include_synonyms) &&
           get_bool(c, CFG_INCLUDE_SAMPLE_VALUES, include_sample_values) &&
           get_count(c, CFG_MAX_SAMPLE_VALUES_PER_COLUMN, max_sample_values_per_column) &&
           get_double(c, CFG_TABLE_NAME_WEIGHT, table_name_weight) &&
           get_double(c, CFG_TABLE_BUSINESS_NAME_WEIGHT, table_business_name_weight) &&
           get_double(c, CFG_TABLE_TAG_WEIGHT, table_tag_weight) &&
           get_double(c, CFG_TABLE_DESCRIPTION_WEIGHT, table_description_weight) &&
           get_double(c, CFG_COLUMN_NAME_WEIGHT, column_name_weight) &&
           get_double(c, CFG_COLUMN_SYNONYM_WEIGHT, column_synonym_weight) &&
           get_double(c, CFG_COLUMN_TAG_WEIGHT, column_tag_weight) &&
           get_double(c, CFG_COLUMN_DESCRIPTION_WEIGHT, column_description_weight) &&
           get_double(c, CFG_ROLE_INTENT_WEIGHT, role_intent_weight) &&
           get_double(c, CFG_EXACT_PHRASE_BONUS, exact_phrase_bonus) &&
           get_bool(c, CFG_USE_TFIDF_IF_AVAILABLE, use_tfidf_if_available) &&
           get_bool(c, CFG_USE_EMBEDDINGS_IF_AVAILABLE, use_embeddings_if_available) &&
           get_obj(c, CFG_EMBEDDING_MODEL_NAME_OR_PATH, embedding_model_name_or_path) &&
           get_double(c, CFG_LEXICAL_ALPHA, lexical_alpha) && get_double(c, CFG_TFIDF_ALPHA, tfidf_alpha) &&
           get_double(c, CFG_EMBEDDING_ALPHA, embedding_alpha) && get_bool(c, CFG_INCLUDE_DEBUG, include_debug) &&
           is_int(c, CFG_LEXICAL_ALPHA, alpha_is_int[0]) && is_int(c, CFG_TFIDF_ALPHA, alpha_is_int[1]) &&
           is_int(c, CFG_EMBEDDING_ALPHA, alpha_is_int[2]);
}

}  // namespace sift
