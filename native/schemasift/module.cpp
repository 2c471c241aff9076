// The askweave.schemasift extension module: schema selection.
#include "schemasift/schemasift.hpp"

namespace sift {
PyObject* recommended_config(PyObject*, PyObject* args, PyObject* kwargs);
extern const char recommended_config_doc[];
}  // namespace sift

namespace {

PyMethodDef module_functions[] = {
    {"recommended_config", AW_KW(sift::recommended_config), sift::recommended_config_doc},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "askweave.schemasift",
    "Schema selection: pick the slice of a database catalog that matters for a question.\n"
    "\n"
    "The one-call entry is `select_metadata`; `SchemaSift` is the reusable,\n"
    "configurable selector (`SelectorConfig`). A catalog is given as records\n"
    "(`MetadataCatalog`, `TableMeta`, `ColumnMeta`, `RelationshipMeta`) or as a\n"
    "loose dict that `CatalogNormalizer.normalize` reads. A selection returns a\n"
    "`MetadataSelectionResult`: the selected slice as a plain dict for a model's\n"
    "prompt, `SelectionMetrics`, the parsed `QueryIntent` and debug rankings.\n"
    "\n"
    "Records are mutable value records: fields in a fixed order, construction by\n"
    "position or keyword (list and dict defaults are fresh per instance), equality\n"
    "field by field, copy and pickle support, no validation on construction (a\n"
    "TypeError only for an unknown or repeated field name, too many positional\n"
    "arguments or a missing required field).\n"
    "\n"
    "Strategies (\"lexical\", \"tfidf\", \"embedding\", \"hybrid\", the default) choose the\n"
    "score sources. \"hybrid\" blends TF-IDF similarity in only when scikit-learn can\n"
    "be imported, and sentence-embedding similarity only when embeddings are\n"
    "switched on and a model is named; otherwise selection is lexical.\n"
    "\n"
    "Diagnostics go to the logger \"askweave\" (never printed): a strategy \"tfidf\"\n"
    "without scikit-learn, embeddings switched on without a model name, a model\n"
    "that failed to load, and an output budget that could not be met are warnings;\n"
    "the default strategy's quiet fallback to lexical scores is a debug message.\n"
    "Results are the same whether or not anything is logged.\n"
    "\n"
    "Type labels: `ColumnRole` and `Strategy` are `typing.Literal` types.",
    -1,
    sift::text_functions,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_schemasift(void) {
    aw::Ref m(PyModule_Create(&module_def));
    if (!m) return nullptr;
    if (!sift::init_text(m.get()) || !sift::init_catalog(m.get()) || !sift::init_intent(m.get()) ||
        !sift::init_results(m.get()) || !sift::init_vector(m.get()) || !sift::init_driver(m.get()) || !sift::init_index(m.get()) ||
        PyModule_AddFunctions(m.get(), sift::driver_functions) < 0 ||
        PyModule_AddFunctions(m.get(), module_functions) < 0)
        return nullptr;
    return m.release();
}
