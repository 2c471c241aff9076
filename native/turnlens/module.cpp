// The askweave.turnlens extension module: conversation context resolution.
#include "common/py.hpp"

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "askweave.turnlens",
    "Conversation context resolution: decide what a new message means given earlier turns.",
    -1,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_turnlens(void) { return PyModule_Create(&module_def); }
