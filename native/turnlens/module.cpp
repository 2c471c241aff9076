// The askweave.turnlens extension module: conversation context resolution.
#include "turnlens/turnlens.hpp"

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "askweave.turnlens",
    "Conversation context resolution: decide what a new message means given earlier turns.",
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
