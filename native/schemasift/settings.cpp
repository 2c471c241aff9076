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

// Field i of the config: its slot in an exact record, its attribute otherwise.
PyObject* config_attr(PyObject* config, int i) {
    if (Py_IS_TYPE(config, SelectorConfigType)) return Py_XNewRef(aw::rec_get(config, i));
    return PyObject_GetAttrString(config, kConfigFields[i]);
}


bool get_double(PyObject* config, int field, double& out) {
    Ref v(config_attr(config, field));
    if (!v) return false;
    out = PyFloat_AsDouble(v.get());
    return !(out == -1.0 && PyErr_Occurred());
}
bool is_int(PyObject* config, int field, bool& out) {
    Ref v(config_attr(config, field));
    if (!v) return false;
    out = PyLong_CheckExact(v.get()) || PyBool_Check(v.get());
    return true;
}
bool get_bool(PyObject* config, int field, bool& out) {
    Ref v(config_attr(config, field));
    int t = v ? PyObject_IsTrue(v.get()) : -1;
    out = t > 0;
    return t >= 0;
}
bool get_count(PyObject* config, int field, long long& out) {
    Ref v(config_attr(config, field));
    Ref i(v ? PyNumber_Index(v.get()) : nullptr);
    if (!i) return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
    if (overflow) out = overflow > 0 ? LLONG_MAX : LLONG_MIN;
    return !(out == -1 && PyErr_Occurred());
}
bool get_obj(PyObject* config, int field, Ref& out) {
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
    if (!get_obj(c, 0, strategy_obj)) return false;
    strategy = STRATEGY_OTHER;
    PyObject* st = strategy_obj.get();
    if (PyUnicode_Check(st)) {
        if (PyUnicode_CompareWithASCIIString(st, "hybrid") == 0) strategy = STRATEGY_HYBRID;
        else if (PyUnicode_CompareWithASCIIString(st, "lexical") == 0) strategy = STRATEGY_LEXICAL;
        else if (PyUnicode_CompareWithASCIIString(st, "tfidf") == 0) strategy = STRATEGY_TFIDF;
        else if (PyUnicode_CompareWithASCIIString(st, "embedding") == 0) strategy = STRATEGY_EMBEDDING;
    }
    return get_count(c, 1, top_k_tables) && get_count(c, 2, max_columns_per_table) &&
           get_double(c, 3, min_table_score) && get_double(c, 4, min_column_score) &&
           get_bool(c, 5, include_relationships) &&
           get_bool(c, 6, include_neighbor_tables_for_joins) &&
           get_bool(c, 7, include_primary_keys) &&
           get_bool(c, 8, include_foreign_keys) &&
           get_bool(c, 9, include_default_date_on_time_intent) &&
           get_bool(c, 10, include_default_metric_on_metric_intent) &&
           get_obj(c, 11, max_output_chars) &&
           get_obj(c, 12, token_chars_per_token) &&
           get_bool(c, 13, include_descriptions) &&
           get_bool(c, 14, include_synonyms) &&
           get_bool(c, 15, include_sample_values) &&
           get_count(c, 16, max_sample_values_per_column) &&
           get_double(c, 17, table_name_weight) &&
           get_double(c, 18, table_business_name_weight) &&
           get_double(c, 19, table_tag_weight) &&
           get_double(c, 20, table_description_weight) &&
           get_double(c, 21, column_name_weight) &&
           get_double(c, 22, column_synonym_weight) &&
           get_double(c, 23, column_tag_weight) &&
           get_double(c, 24, column_description_weight) &&
           get_double(c, 25, role_intent_weight) &&
           get_double(c, 26, exact_phrase_bonus) &&
           get_bool(c, 27, use_tfidf_if_available) &&
           get_bool(c, 28, use_embeddings_if_available) &&
           get_obj(c, 29, embedding_model_name_or_path) &&
           get_double(c, 30, lexical_alpha) && get_double(c, 31, tfidf_alpha) &&
           get_double(c, 32, embedding_alpha) && get_bool(c, 33, include_debug) &&
           is_int(c, 30, alpha_is_int[0]) && is_int(c, 31, alpha_is_int[1]) &&
           is_int(c, 32, alpha_is_int[2]);
}

}  // namespace sift
