// Minimal owning reference for the CPython API.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <initializer_list>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

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

// The interned str of a string literal, made once and kept for the life of
// the process (static destructors run after the interpreter has gone).
// Borrowed; null with an exception set when it cannot be made. Every key
// and fixed name of both modules is made here.
PyObject* interned(const char* literal);

// interned(text), looked up once per call site: KEY("name").
#define KEY(text)                                             \
    ([]() -> PyObject* {                                      \
        static PyObject* key = nullptr;                       \
        return key ? key : (key = ::aw::interned(text));      \
    }())

// ---------------------------------------------------------- exception barrier

// Sets the Python error for the C++ exception being handled; call only from a
// catch block, with the interpreter lock held.
void set_error_from_exception() noexcept;

// Every function the interpreter calls goes through Entry<fn>::call: no C++
// exception crosses into the interpreter (allocation failure becomes MemoryError).
template <auto F, typename Sig = decltype(F)>
struct Entry;
template <auto F, typename R, typename... A>
struct Entry<F, R (*)(A...)> {
    static R call(A... a) noexcept {
        try {
            return F(a...);
        } catch (...) {
            set_error_from_exception();
            if constexpr (std::is_pointer_v<R>) return nullptr;
            else if constexpr (!std::is_void_v<R>) return static_cast<R>(-1);
        }
    }
};

// A method table entry: AW_FN(fn) for any calling convention, AW_KW(fn) for
// METH_VARARGS | METH_KEYWORDS, AW_FAST(fn) for METH_FASTCALL | METH_KEYWORDS
// (see parse_fast); AW_SLOT(fn) for a type slot.
#define AW_FN(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(&::aw::Entry<fn>::call))
#define AW_KW(fn) AW_FN(fn), METH_VARARGS | METH_KEYWORDS
#define AW_FAST(fn) AW_FN(fn), METH_FASTCALL | METH_KEYWORDS
#define AW_SLOT(fn) reinterpret_cast<void*>(&::aw::Entry<fn>::call)

// The arguments of a METH_FASTCALL | METH_KEYWORDS function, bound as a
// Python def binds them: the first `positional` names may come by position,
// every name by keyword, the first `required` must come. Given ones are
// written to out (borrowed); the others keep what out holds (the defaults).
// False with a TypeError worded like the interpreter's for a def. keys: the
// interned names, filled on first use (a static array of the caller's).
bool parse_fast(const char* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                const char* const* names, PyObject** keys, Py_ssize_t n_names, Py_ssize_t positional,
                Py_ssize_t required, PyObject** out);

// Runs fn with the interpreter lock released; an exception it throws is
// rethrown only after the lock is back.
template <typename Fn>
void without_gil(Fn&& fn) {
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        fn();
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (failure) std::rethrow_exception(failure);
}

// `a, b = v` as the interpreter unpacks: its TypeError for a value that
// cannot be iterated, its ValueError for too few or too many items (an
// endless iterator is read no further than one item too many).
bool unpack_pair(PyObject* v, Ref& a, Ref& b);

// Adds the type label typing.Literal[values...] to module as name.
bool add_literal(PyObject* module, const char* name, std::initializer_list<const char*> values);

// Diagnostics on the logger "askweave" (logging.getLogger("askweave")), never
// printed. fmt and its arguments are PyUnicode_FromFormat's. These never raise:
// a failure inside logging is dropped, and an exception pending before the
// call is pending again after it. When the logger is not enabled for the level
// nothing is formatted. The _exc forms append the pending exception
// ("Type: message") and attach it as exc_info.
enum LogLevel { LOG_DEBUG = 10, LOG_INFO = 20, LOG_WARNING = 30 };
bool log_enabled(int level) noexcept;
void log_at(int level, const char* fmt, ...) noexcept;
void log_warning(const char* fmt, ...) noexcept;
void log_at_exc(int level, const char* fmt, ...) noexcept;

// o, a container just made (or null), out of the collector's lists: no code
// that runs meanwhile (a hook, a finalizer, another thread walking
// gc.get_objects()) can reach it, so none can change it while we hold items
// borrowed from it or see slots not yet filled. Hand it on only through
// tracked(); dropped, it needs nothing.
inline PyObject* untracked(PyObject* o) {
    if (o) PyObject_GC_UnTrack(o);
    return o;
}
// An untracked() container back in the collector's lists, to be handed on.
inline PyObject* tracked(PyObject* o) {
    PyObject_GC_Track(o);
    return o;
}
// list(iterable) for our own reading, untracked().
inline PyObject* private_list(PyObject* iterable) { return untracked(PySequence_List(iterable)); }

// Results a call builds one after another and keeps until it returns, hidden
// from the collector meanwhile: each collection the call's own allocations
// trigger would otherwise walk every earlier result again. hide() takes the
// containers that only the result refers to (so no other code can reach them)
// out of the collector's lists; all of them are tracked again when this goes,
// which must be with the interpreter lock held. Nothing here throws: what
// cannot be recorded stays tracked.
class HiddenResults {
public:
    HiddenResults() = default;
    HiddenResults(const HiddenResults&) = delete;
    HiddenResults& operator=(const HiddenResults&) = delete;
    ~HiddenResults();
    void hide(PyObject* result) noexcept;

private:
    bool take(PyObject* o) noexcept;
    static int visit(PyObject* o, void* self);
    std::vector<PyObject*> held_;  // strong references
    int depth_ = 0;
};

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

// The host's `a <op> b` as 1, 0 or -1: unlike PyObject_RichCompareBool there is
// no identity shortcut, so a NaN is not equal to itself.
inline int py_compare(PyObject* a, PyObject* b, int op) {
    if ((PyLong_CheckExact(a) && PyLong_CheckExact(b)) || (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)))
        return PyObject_RichCompareBool(a, b, op);
    Ref r(PyObject_RichCompare(a, b, op));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

}  // namespace aw
