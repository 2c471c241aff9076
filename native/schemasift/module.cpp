// The askweave.schemasift extension module: schema selection.
#include "schemasift/schemasift.hpp"

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "askweave.schemasift",
    "Schema selection: pick the slice of a database catalog that matters for a question.",
    -1,
    sift::text_functions,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_schemasift(void) {
    aw::Ref m(PyModule_Create(&module_def));
    if (!m) return nullptr;
    if (!sift::init_text(m.get()) || !sift::init_catalog(m.get()) || !sift::init_intent(m.get()) ||
        !sift::init_results(m.get()) || !sift::init_vector(m.get()) || !sift::init_driver(m.get()) ||
        PyModule_AddFunctions(m.get(), sift::driver_functions) < 0)
        return nullptr;
    return m.release();
}
