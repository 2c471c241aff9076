// The askweave.turnlens extension module: conversation context resolution.
#include "turnlens/turnlens.hpp"

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "askweave.turnlens",
    "Conversation context resolution: decide what a new message means given earlier turns.\n"
    "\n"
    "The one-call entry is `resolve_context`; `TurnLens` is the reusable resolver\n"
    "(`ResolverConfig`, an optional language-model callback). The host keeps one\n"
    "`TurnContextCard` per answered turn and passes them with each new message;\n"
    "the result is a `ContextResolution`: what the message is (`ContextType`), a\n"
    "self-contained `resolved_question`, a `metadata_search_query` and the\n"
    "`required_tables` / `required_columns` for schema selection, and a route:\n"
    "\n"
    "* \"generate\": answer `resolved_question`;\n"
    "* \"clarify\": put `clarification_question` to the user instead of answering;\n"
    "* \"suggest\": offer analyses or next questions.\n"
    "\n"
    "Resolution is rule-based and deterministic. Situations the rules cannot\n"
    "settle are results with context type \"clarification_needed\", never errors.\n"
    "\n"
    "Records are mutable value records: fields in a fixed order, construction by\n"
    "position or keyword (list and dict defaults are fresh per instance), equality\n"
    "field by field, copy and pickle support, no validation on construction (a\n"
    "TypeError only for an unknown or repeated field name, too many positional\n"
    "arguments or a missing required field).\n"
    "\n"
    "A language-model callback that raises or answers with something unusable is\n"
    "logged as a warning on the logger \"askweave\" (never printed); the rule-based\n"
    "resolution stands either way.\n"
    "\n"
    "Type labels: `ContextType`, `OperationType`, `TaskType` and `ArtifactType`\n"
    "are `typing.Literal` types; `ResolverLLMFallback` is the callback's type.",
    -1,
    tl::text_functions,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_turnlens(void) {
    aw::Ref m(PyModule_Create(&module_def));
    if (!m) return nullptr;
    if (!tl::init_vocab(m.get()) || !tl::init_config(m.get()) || !tl::init_records(m.get()) ||
        !tl::init_lens(m.get(), {tl::lens_preparation_methods, tl::lens_driver_methods,
                                      // composition, search query, fallback
                                      tl::lens_compose_methods, tl::lens_query_methods, tl::lens_fallback_methods,
                                      // detection, ranking, delta extraction
                                      tl::lens_detect_methods, tl::lens_rank_methods, tl::lens_delta_methods}) ||
        PyModule_AddFunctions(m.get(), tl::driver_functions) < 0)
        return nullptr;
    return m.release();
}
