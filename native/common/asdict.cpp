#include "common/asdict.hpp"

#include "common/record.hpp"

namespace aw {

namespace {

PyObject* module_attr(PyObject*& cache, const char* module) {  // kept for the process
    if (!cache) cache = PyImport_ImportModule(module);
    return cache;
}
PyObject* g_copy = nullptr;
PyObject* g_dataclasses = nullptr;

}  // namespace

PyObject* AsDict::convert(PyObject* v) {
    if (PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || v == Py_None || PyBool_Check(v))
        return Py_NewRef(v);
    RecursionGuard guard(where_);
    if (!guard.ok()) return nullptr;
    if (is_record(v)) return nested(v, [&] { return record(v); });
    if (PyList_Check(v) || PyTuple_Check(v) || PyDict_Check(v)) return nested(v, [&] { return rebuild(v); });
    Ref fields(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(v)), KEY("__dataclass_fields__")));
    if (fields) return nested(v, [&] { return dataclass(v); });
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    return deep_copy(v);
}

// A value met again on its own path would recurse until the host's limit:
// say so at once, with the same error.
template <class F>
PyObject* AsDict::nested(PyObject* v, F&& f) {
    for (size_t i = 0; i < depth_; ++i)
        if ((i < kInline ? path_[i] : deep_path_[i - kInline]) == v) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where_);
            return nullptr;
        }
    if (depth_ < kInline) path_[depth_] = v;
    else deep_path_.push_back(v);
    ++depth_;
    PyObject* r = f();
    if (--depth_ >= kInline) deep_path_.pop_back();
    return r;
}

PyObject* AsDict::record(PyObject* rec, int skip) {
    // the declared names, not __match_args__: a subclass may set anything there
    PyObject* names = rec_field_names(rec);
    if (!names) return PyErr_Format(PyExc_TypeError, "expected a record, got %.200s", Py_TYPE(rec)->tp_name);
    const Py_ssize_t n = PyTuple_GET_SIZE(names);
    Ref out(n > 5 ? _PyDict_NewPresized(n) : PyDict_New());  // sized at once: no regrowing
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        // held: converting may run code that deletes or replaces the field
        Ref fv = Ref::borrow(rec_get(rec, static_cast<int>(i)));
        Ref c(!fv ? nullptr : i == skip ? Py_NewRef(Py_None) : convert(fv.get()));
        if (!c || PyDict_SetItem(out.get(), PyTuple_GET_ITEM(names, i), c.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* AsDict::dataclass(PyObject* v) {
    PyObject* dc = module_attr(g_dataclasses, "dataclasses");
    Ref fields(dc ? PyObject_CallMethod(dc, "fields", "O", v) : nullptr);
    Ref it(fields ? PyObject_GetIter(fields.get()) : nullptr);
    Ref out(it ? PyDict_New() : nullptr);
    if (!out) return nullptr;
    while (PyObject* f = PyIter_Next(it.get())) {
        Ref hold(f);
        Ref name(PyObject_GetAttr(f, KEY("name")));
        Ref value(name ? PyObject_GetAttr(v, name.get()) : nullptr);
        Ref c(value ? convert(value.get()) : nullptr);
        if (!c || PyDict_SetItem(out.get(), name.get(), c.get()) < 0) return nullptr;
    }
    return PyErr_Occurred() ? nullptr : out.release();
}

PyObject* AsDict::rebuild(PyObject* v) {
    // empty exact containers (most extra maps): a fresh empty one, as below
    if (PyDict_CheckExact(v) && PyDict_GET_SIZE(v) == 0) return PyDict_New();
    if (PyList_CheckExact(v) && PyList_GET_SIZE(v) == 0) return PyList_New(0);
    const bool is_dict = PyDict_Check(v);
    // our own list, which no code that converting runs can reach: its size stays
    Ref items(untracked(is_dict ? PyMapping_Items(v) : PySequence_List(v)));
    if (!items) return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    if (PyDict_CheckExact(v)) {
        Ref out(PyDict_New());
        if (!out) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);  // exact dicts give exact pairs
            Ref k(convert(PyTuple_GET_ITEM(pair, 0)));
            Ref val(k ? convert(PyTuple_GET_ITEM(pair, 1)) : nullptr);
            if (!val || PyDict_SetItem(out.get(), k.get(), val.get()) < 0) return nullptr;
        }
        return out.release();
    }
    Ref copied(untracked(PyList_New(n)));
    if (!copied) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        PyObject* c;
        if (is_dict) {
            Ref key, value;
            Ref k(unpack_pair(item, key, value) ? convert(key.get()) : nullptr);
            Ref val(k ? convert(value.get()) : nullptr);
            c = val ? PyTuple_Pack(2, k.get(), val.get()) : nullptr;
        } else {
            c = convert(item);
        }
        if (!c) return nullptr;
        PyList_SET_ITEM(copied.get(), i, c);
    }
    tracked(copied.get());
    if (PyList_CheckExact(v)) return copied.release();
    if (PyTuple_CheckExact(v)) return PyList_AsTuple(copied.get());
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(v));
    Ref named;  // hasattr(v, "_fields"), which hides only AttributeError
    if (PyTuple_Check(v)) {
        named = Ref(PyObject_GetAttr(v, KEY("_fields")));
        if (!named && !PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
    }
    if (named) {
        Ref args(PyList_AsTuple(copied.get()));
        return args ? PyObject_CallObject(type, args.get()) : nullptr;
    }
    return PyObject_CallOneArg(type, copied.get());
}

PyObject* deep_copy(PyObject* v) {
    if (PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || v == Py_None || PyBool_Check(v))
        return Py_NewRef(v);
    PyObject* copy = module_attr(g_copy, "copy");
    return copy ? PyObject_CallMethod(copy, "deepcopy", "O", v) : nullptr;
}

}  // namespace aw
