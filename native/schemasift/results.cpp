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
     "summary($self, /)\n--\n\n"
     "One line: tables, columns and tokens before and after, and the compression.\n"
     "\n"
     "For example \"tables 2 → 1 (50.0% cut), columns 4 → 3 (25.0% cut),\n"
     "tokens ~180 → ~70 (61.1% cut), compression 2.57x\".\n"
     "\n"
     "Raises:\n"
     "    ValueError, TypeError: a percentage or the ratio cannot be formatted\n"
     "        as a number."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef result_methods[] = {
    {"to_dict", AW_FN(result_to_dict), METH_VARARGS | METH_KEYWORDS,
     "to_dict($self, /, include_debug=False)\n--\n\n"
     "The result as a plain map; \"debug\" only when asked.\n"
     "\n"
     "Keys \"selected_metadata\" (the result's own dict), \"metrics\" and \"intent\"\n"
     "(both as new maps of their fields, values deep-copied), then \"debug\" (the\n"
     "result's own dict) when include_debug is true.\n"
     "\n"
     "Args:\n"
     "    include_debug: Whether the \"debug\" key is added. Default False.\n"
     "\n"
     "Raises:\n"
     "    RecursionError: metrics or intent contains itself."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

bool init_results(PyObject* module) {
    using aw::FieldSpec;
    if (!aw::add_literal(module, "Strategy", {"lexical", "tfidf", "embedding", "hybrid"})) return false;
    SelectorConfigType = aw::make_record_type(
        module, "askweave.schemasift.SelectorConfig",
        "Every weight, limit and switch of a selection.\n"
        "\n"
        "All fields have defaults; SelectorConfig() is the default selection.\n"
        "\n"
        "Attributes:\n"
        "    strategy: Score sources: \"lexical\" (word rules only), \"tfidf\" (TF-IDF\n"
        "        similarity where non-zero, else lexical), \"embedding\" (embedding\n"
        "        similarity where non-zero, else lexical) or \"hybrid\" (a weighted\n"
        "        blend of all available sources). Default \"hybrid\".\n"
        "    top_k_tables: Most tables chosen, required tables included; at least\n"
        "        one is chosen whenever the catalog has a table. Default 3.\n"
        "    max_columns_per_table: Most columns kept per chosen table (at least\n"
        "        one). Default 25.\n"
        "    min_table_score: Lowest score for a table to be chosen beyond the\n"
        "        required ones. Default 0.03.\n"
        "    min_column_score: Lowest score for a column to be chosen. Default 0.02.\n"
        "    include_relationships: Put relationships between chosen tables into\n"
        "        the output. Default True.\n"
        "    include_neighbor_tables_for_joins: Also put relationships that touch\n"
        "        only one chosen table. Default False.\n"
        "    include_primary_keys: Favour primary-key columns. Default True.\n"
        "    include_foreign_keys: Favour foreign-key columns. Default True.\n"
        "    include_default_date_on_time_intent: Favour the table's default date\n"
        "        column when the question has a time filter. Default True.\n"
        "    include_default_metric_on_metric_intent: Favour the table's default\n"
        "        metric column when the question wants a metric. Default True.\n"
        "    max_output_chars: Size budget of the output's JSON text in\n"
        "        characters; None or 0 means unlimited. Over budget, descriptions,\n"
        "        synonyms and sample values go first, then the columns beyond half\n"
        "        of max_columns_per_table (keeping at least 3), then all but the\n"
        "        best table and the relationships; a budget still not met is\n"
        "        logged as a warning. Default None.\n"
        "    token_chars_per_token: Characters per token for the token estimates.\n"
        "        Default 4.0.\n"
        "    include_descriptions: Put descriptions into the output. Default True.\n"
        "    include_synonyms: Put column synonyms into the output. Default True.\n"
        "    include_sample_values: Put column sample values into the output.\n"
        "        Default False.\n"
        "    max_sample_values_per_column: Most sample values per column in the\n"
        "        output. Default 5.\n"
        "    table_name_weight: Lexical weight of table-name matches. Default 8.0.\n"
        "    table_business_name_weight: Lexical weight of business-name matches.\n"
        "        Default 6.0.\n"
        "    table_tag_weight: Lexical weight of table-tag matches. Default 4.0.\n"
        "    table_description_weight: Lexical weight of table-description\n"
        "        matches. Default 2.0.\n"
        "    column_name_weight: Lexical weight of column-name matches.\n"
        "        Default 10.0.\n"
        "    column_synonym_weight: Lexical weight of column-synonym matches.\n"
        "        Default 8.0.\n"
        "    column_tag_weight: Lexical weight of column-tag matches. Default 4.0.\n"
        "    column_description_weight: Lexical weight of column-description\n"
        "        matches. Default 2.0.\n"
        "    role_intent_weight: Bonus when a column's role fits the question's\n"
        "        intent. Default 4.0.\n"
        "    exact_phrase_bonus: Bonus when a whole name or phrase occurs in the\n"
        "        question. Default 5.0.\n"
        "    use_tfidf_if_available: Use TF-IDF similarity when scikit-learn can\n"
        "        be imported. Default True.\n"
        "    use_embeddings_if_available: Use sentence-embedding similarity when\n"
        "        sentence-transformers can load embedding_model_name_or_path.\n"
        "        Default False.\n"
        "    embedding_model_name_or_path: The embedding model to load; there is\n"
        "        no default model. Default None.\n"
        "    lexical_alpha: Blend weight of the lexical score. Default 0.7.\n"
        "    tfidf_alpha: Blend weight of the TF-IDF score. Default 0.15.\n"
        "    embedding_alpha: Blend weight of the embedding score. Default 0.15.\n"
        "    include_debug: Collect debug rankings into the result. Default True.",
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
        module, "askweave.schemasift.ScoredColumn",
        "A column with its final score and the reasons for it.\n"
        "\n"
        "Attributes:\n"
        "    column: The column (ColumnMeta). Required.\n"
        "    score: Its final score. Required.\n"
        "    reasons: Short texts explaining the score, in the order earned.\n"
        "        Default [].",
        {FieldSpec::required("column"), FieldSpec::required("score"), FieldSpec::list("reasons")});
    ScoredTableType = aw::make_record_type(
        module, "askweave.schemasift.ScoredTable",
        "A table with its score, reasons and chosen columns.\n"
        "\n"
        "Attributes:\n"
        "    table: The table (TableMeta). Required.\n"
        "    score: Its final score. Required.\n"
        "    reasons: Short texts explaining the score. Default [].\n"
        "    columns: The chosen columns (ScoredColumn), filled once the table is\n"
        "        chosen. Default [].",
        {FieldSpec::required("table"), FieldSpec::required("score"), FieldSpec::list("reasons"),
         FieldSpec::list("columns")});
    SelectionMetricsType = aw::make_record_type(
        module, "askweave.schemasift.SelectionMetrics",
        "How much smaller the selection is than the catalog.\n"
        "\n"
        "Every field is required. Sizes are those of the JSON texts of the\n"
        "catalog's to_prompt_dict() and of the selected metadata.\n"
        "\n"
        "Attributes:\n"
        "    input_tables: Tables in the catalog (after excluded tables).\n"
        "    input_columns: Columns in the catalog.\n"
        "    output_tables: Tables in the selected metadata.\n"
        "    output_columns: Columns in the selected metadata.\n"
        "    input_chars: Characters of the catalog's JSON text.\n"
        "    output_chars: Characters of the selected metadata's JSON text.\n"
        "    input_estimated_tokens: Token estimate of the catalog's text.\n"
        "    output_estimated_tokens: Token estimate of the output's text.\n"
        "    table_reduction_percent: Percent fewer tables.\n"
        "    column_reduction_percent: Percent fewer columns.\n"
        "    char_reduction_percent: Percent fewer characters.\n"
        "    token_reduction_percent: Percent fewer estimated tokens.\n"
        "    compression_ratio: Input tokens divided by output tokens (0.0 when\n"
        "        there are no output tokens).\n"
        "    catalog_hash: stable_hash of the catalog's to_prompt_dict(): a\n"
        "        cache key for the catalog.",
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
        "The selected slice of the catalog with metrics, the parsed intent and debug rankings.\n"
        "\n"
        "Attributes:\n"
        "    selected_metadata: The slice for the model's prompt, a plain dict:\n"
        "        \"database\", \"tables\" (each with \"table_name\", \"score\", \"columns\"\n"
        "        and, when set, \"business_name\", \"description\",\n"
        "        \"default_date_column\", \"default_metric_column\", \"row_count\";\n"
        "        each column with \"name\", \"type\", \"role\", \"score\" and, when set,\n"
        "        \"description\", \"synonyms\", \"is_primary_key\", \"is_foreign_key\",\n"
        "        \"sample_values\") and \"relationships\". Required.\n"
        "    metrics: The SelectionMetrics. Required.\n"
        "    intent: The parsed question (QueryIntent). Required.\n"
        "    debug: \"table_rankings\" (the best 20 tables with scores and reasons),\n"
        "        \"selected_column_rankings\", \"strategy\", \"tfidf_available\" and\n"
        "        \"embedding_available\"; empty when SelectorConfig.include_debug is\n"
        "        off. A selection's result makes it when it is first read, from what\n"
        "        was read when the question was answered. Default {}.",
        {FieldSpec::required("selected_metadata"), FieldSpec::required("metrics"), FieldSpec::required("intent"),
         FieldSpec::dict("debug")},
        result_methods, 3);
    return SelectorConfigType && ScoredColumnType && ScoredTableType && SelectionMetricsType &&
           MetadataSelectionResultType;
}

}  // namespace sift
