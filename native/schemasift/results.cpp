// Selector configuration and the records a selection returns.
#include "schemasift/core.hpp"

#include "common/asdict.hpp"
#include "common/pytext.hpp"
#include "common/record.hpp"

namespace sift {
using aw::Ref;

PyTypeObject* SelectorConfigType;
PyTypeObject* ScoredColumnType;
PyTypeObject* ScoredTableType;
PyTypeObject* SelectionMetricsType;
PyTypeObject* MetadataSelectionResultType;

namespace {

enum MetricsField { X_INPUT_TABLES, X_OUTPUT_TABLES = 2, X_INPUT_COLUMNS = 1, X_OUTPUT_COLUMNS = 3,
                    X_INPUT_TOKENS = 6, X_OUTPUT_TOKENS = 7, X_TABLE_PCT = 8, X_COLUMN_PCT = 9,
                    X_TOKEN_PCT = 11, X_RATIO = 12 };

// f"{value:spec}"
bool append_format(std::string& out, PyObject* value, const char* spec) {
    Ref s(PyUnicode_FromString(spec));
    Ref f(s ? PyObject_Format(value, s.get()) : nullptr);
    if (!f) return false;
    aw::append_str(out, f.get());
    return true;
}

PyObject* metrics_summary(PyObject* self, PyObject*) {
    struct Piece { const char* text; int field; const char* spec; };
    static const Piece pieces[] = {
        {"tables ", X_INPUT_TABLES, ""}, {" \xe2\x86\x92 ", X_OUTPUT_TABLES, ""}, {" (", X_TABLE_PCT, ".1f"},
        {"% cut), columns ", X_INPUT_COLUMNS, ""}, {" \xe2\x86\x92 ", X_OUTPUT_COLUMNS, ""},
        {" (", X_COLUMN_PCT, ".1f"}, {"% cut), tokens ~", X_INPUT_TOKENS, ""},
        {" \xe2\x86\x92 ~", X_OUTPUT_TOKENS, ""}, {" (", X_TOKEN_PCT, ".1f"},
        {"% cut), compression ", X_RATIO, ".2f"}};
    std::string out;
    for (const Piece& p : pieces) {
        out += p.text;
        Ref v(Py_XNewRef(aw::rec_get(self, p.field)));  // held: formatting may run code that replaces it
        if (!v || !append_format(out, v.get(), p.spec)) return nullptr;
    }
    out += "x";
    return aw::new_str(out);
}

PyObject* result_to_dict(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"include_debug", nullptr};
    PyObject* include_debug = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:to_dict", const_cast<char**>(kw), &include_debug))
        return nullptr;
    int with_debug = PyObject_IsTrue(include_debug);
    if (with_debug < 0) return nullptr;
    // held: copying may run code that replaces the fields
    Ref selected(Py_XNewRef(aw::rec_get(self, 0)));
    Ref metrics(selected ? Py_XNewRef(aw::rec_get(self, 1)) : nullptr);
    Ref intent(metrics ? Py_XNewRef(aw::rec_get(self, 2)) : nullptr);
    Ref debug(intent ? Py_XNewRef(aw::rec_get(self, 3)) : nullptr);
    if (!debug) return nullptr;
    auto copy = [](PyObject* v) { return aw::is_record(v) ? record_as_dict(v) : aw::deep_copy(v); };
    Ref m(copy(metrics.get()));
    Ref i(m ? copy(intent.get()) : nullptr);
    Ref d(i ? PyDict_New() : nullptr);
    if (!d || PyDict_SetItemString(d.get(), "selected_metadata", selected.get()) < 0 ||
        PyDict_SetItemString(d.get(), "metrics", m.get()) < 0 || PyDict_SetItemString(d.get(), "intent", i.get()) < 0)
        return nullptr;
    if (with_debug && PyDict_SetItemString(d.get(), "debug", debug.get()) < 0) return nullptr;
    return d.release();
}

PyMethodDef metrics_methods[] = {
    {"summary", AW_FN(metrics_summary), METH_NOARGS,
     "summary($self, /)\n--\n\nOne line: tables, columns and tokens before and after, and the compression."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef result_methods[] = {
    {"to_dict", AW_FN(result_to_dict), METH_VARARGS | METH_KEYWORDS,
     "to_dict($self, /, include_debug=False)\n--\n\nThe result as a plain map; \"debug\" only when asked."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

bool init_results(PyObject* module) {
    using aw::FieldSpec;
    if (!aw::add_literal(module, "Strategy", {"lexical", "tfidf", "embedding", "hybrid"})) return false;
    SelectorConfigType = aw::make_record_type(
        module, "askweave.schemasift.SelectorConfig", "Every weight, limit and switch of a selection.",
        {FieldSpec::str("strategy", "hybrid"), FieldSpec::integer("top_k_tables", 3),
         FieldSpec::integer("max_columns_per_table", 25), FieldSpec::real("min_table_score", 0.03),
         FieldSpec::real("min_column_score", 0.02), FieldSpec::boolean("include_relationships", true),
         FieldSpec::boolean("include_neighbor_tables_for_joins", false),
         FieldSpec::boolean("include_primary_keys", true), FieldSpec::boolean("include_foreign_keys", true),
         FieldSpec::boolean("include_default_date_on_time_intent", true),
         FieldSpec::boolean("include_default_metric_on_metric_intent", true), FieldSpec::none("max_output_chars"),
         FieldSpec::real("token_chars_per_token", 4.0), FieldSpec::boolean("include_descriptions", true),
         FieldSpec::boolean("include_synonyms", true), FieldSpec::boolean("include_sample_values", false),
         FieldSpec::integer("max_sample_values_per_column", 5), FieldSpec::real("table_name_weight", 8.0),
         FieldSpec::real("table_business_name_weight", 6.0), FieldSpec::real("table_tag_weight", 4.0),
         FieldSpec::real("table_description_weight", 2.0), FieldSpec::real("column_name_weight", 10.0),
         FieldSpec::real("column_synonym_weight", 8.0), FieldSpec::real("column_tag_weight", 4.0),
         FieldSpec::real("column_description_weight", 2.0), FieldSpec::real("role_intent_weight", 4.0),
         FieldSpec::real("exact_phrase_bonus", 5.0), FieldSpec::boolean("use_tfidf_if_available", true),
         FieldSpec::boolean("use_embeddings_if_available", false), FieldSpec::none("embedding_model_name_or_path"),
         FieldSpec::real("lexical_alpha", 0.7), FieldSpec::real("tfidf_alpha", 0.15),
         FieldSpec::real("embedding_alpha", 0.15), FieldSpec::boolean("include_debug", true)});
    ScoredColumnType = aw::make_record_type(
        module, "askweave.schemasift.ScoredColumn", "A column with its final score and the reasons for it.",
        {FieldSpec::required("column"), FieldSpec::required("score"), FieldSpec::list("reasons")});
    ScoredTableType = aw::make_record_type(
        module, "askweave.schemasift.ScoredTable", "A table with its score, reasons and chosen columns.",
        {FieldSpec::required("table"), FieldSpec::required("score"), FieldSpec::list("reasons"),
         FieldSpec::list("columns")});
    SelectionMetricsType = aw::make_record_type(
        module, "askweave.schemasift.SelectionMetrics", "How much smaller the selection is than the catalog.",
        {FieldSpec::required("input_tables"), FieldSpec::required("input_columns"),
         FieldSpec::required("output_tables"), FieldSpec::required("output_columns"),
         FieldSpec::required("input_chars"), FieldSpec::required("output_chars"),
         FieldSpec::required("input_estimated_tokens"), FieldSpec::required("output_estimated_tokens"),
         FieldSpec::required("table_reduction_percent"), FieldSpec::required("column_reduction_percent"),
         FieldSpec::required("char_reduction_percent"), FieldSpec::required("token_reduction_percent"),
         FieldSpec::required("compression_ratio"), FieldSpec::required("catalog_hash")},
        metrics_methods);
    MetadataSelectionResultType = aw::make_record_type(
        module, "askweave.schemasift.MetadataSelectionResult",
        "The selected slice of the catalog with metrics, the parsed intent and debug rankings.",
        {FieldSpec::required("selected_metadata"), FieldSpec::required("metrics"), FieldSpec::required("intent"),
         FieldSpec::dict("debug")},
        result_methods);
    return SelectorConfigType && ScoredColumnType && ScoredTableType && SelectionMetricsType &&
           MetadataSelectionResultType;
}

}  // namespace sift
