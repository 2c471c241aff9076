#include "common/py.hpp"

namespace aw {

void set_error_from_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {  // a container asked for more than it can hold
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "askweave internal error: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "askweave internal error");
    }
}

bool add_literal(PyObject* module, const char* name, std::initializer_list<const char*> values) {
    Ref typing(PyImport_ImportModule("typing"));
    Ref literal(typing ? PyObject_GetAttrString(typing.get(), "Literal") : nullptr);
    Ref tuple(literal ? PyTuple_New(static_cast<Py_ssize_t>(values.size())) : nullptr);
    if (!tuple) return false;
    Py_ssize_t i = 0;
    for (const char* s : values) {
        PyObject* o = PyUnicode_InternFromString(s);
        if (!o) return false;
        PyTuple_SET_ITEM(tuple.get(), i++, o);
    }
    Ref type(PyObject_GetItem(literal.get(), tuple.get()));
    return type && PyModule_AddObjectRef(module, name, type.get()) == 0;
}

}  // namespace aw
