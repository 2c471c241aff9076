// Minimal owning reference for the CPython API.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace aw {

class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* o) : o_(o) {}  // steals
    static Ref borrow(PyObject* o) { Py_XINCREF(o); return Ref(o); }
    Ref(const Ref& r) : o_(r.o_) { Py_XINCREF(o_); }
    Ref(Ref&& r) noexcept : o_(r.o_) { r.o_ = nullptr; }
    Ref& operator=(Ref r) noexcept { std::swap(o_, r.o_); return *this; }
    ~Ref() { Py_XDECREF(o_); }
    PyObject* get() const { return o_; }
    PyObject* release() { PyObject* o = o_; o_ = nullptr; return o; }
    explicit operator bool() const { return o_ != nullptr; }

private:
    PyObject* o_ = nullptr;
};

// An interned str made once per call site: KEY("name").
#define KEY(text)                                                         \
    ([]() -> PyObject* {                                                  \
        static PyObject* const key = PyUnicode_InternFromString(text);    \
        return key;                                                       \
    }())

// Guards native recursion with the interpreter's own limit.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) : ok_(Py_EnterRecursiveCall(where) == 0) {}
    ~RecursionGuard() { if (ok_) Py_LeaveRecursiveCall(); }
    bool ok() const { return ok_; }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;

private:
    bool ok_;
};

// Pauses the cyclic garbage collector for a scope that creates many
// acyclic objects; restores the previous state.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable()) {}
    ~GcPause() { if (was_enabled_) PyGC_Enable(); }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    int was_enabled_;
};

// The host's `a <op> b` as 1, 0 or -1: unlike PyObject_RichCompareBool there is
// no identity shortcut, so a NaN is not equal to itself.
inline int py_compare(PyObject* a, PyObject* b, int op) {
    if ((PyLong_CheckExact(a) && PyLong_CheckExact(b)) || (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)))
        return PyObject_RichCompareBool(a, b, op);
    Ref r(PyObject_RichCompare(a, b, op));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

}  // namespace aw
