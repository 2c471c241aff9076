#include "common/py.hpp"

#include <cstdarg>
#include <unordered_map>

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

namespace {

// The "askweave" logger, looked up once (borrowed; null with an error set).
// As a library's logger it gets a NullHandler: without logging configured by
// the application nothing reaches standard error.
PyObject* askweave_logger() {
    static PyObject* logger = nullptr;
    if (!logger) {
        Ref logging(PyImport_ImportModule("logging"));
        logger = logging ? PyObject_CallMethod(logging.get(), "getLogger", "s", "askweave") : nullptr;
        Ref null(logger ? PyObject_CallMethod(logging.get(), "NullHandler", nullptr) : nullptr);
        Ref added(null ? PyObject_CallMethod(logger, "addHandler", "O", null.get()) : nullptr);
        if (logger && !added) PyErr_Clear();  // still usable, only without the NullHandler
    }
    return logger;
}

// Called with no exception pending; leaves none pending.
bool enabled_for(int level) {
    PyObject* logger = askweave_logger();
    Ref on(logger ? PyObject_CallMethod(logger, "isEnabledFor", "i", level) : nullptr);
    int t = on ? PyObject_IsTrue(on.get()) : -1;
    PyErr_Clear();
    return t > 0;
}

// exc: the exception to report along (borrowed), or null. Called with no
// exception pending, once the logger is known to be enabled for level.
void emit(int level, PyObject* exc, const char* fmt, va_list va) {
    Ref msg(PyUnicode_FromFormatV(fmt, va));
    if (msg && exc) {
        Ref text(PyObject_Str(exc));
        if (!text) PyErr_Clear();
        msg = Ref(text ? PyUnicode_FromFormat("%U: %s: %U", msg.get(), Py_TYPE(exc)->tp_name, text.get())
                       : PyUnicode_FromFormat("%U: %s", msg.get(), Py_TYPE(exc)->tp_name));
    }
    Ref log(msg ? PyObject_GetAttrString(askweave_logger(), "log") : nullptr);
    Ref args(log ? Py_BuildValue("(isO)", level, "%s", msg.get()) : nullptr);
    Ref kwargs(args && exc ? Py_BuildValue("{s:O}", "exc_info", exc) : nullptr);
    if (args && (kwargs || !exc)) Ref done(PyObject_Call(log.get(), args.get(), kwargs.get()));
    PyErr_Clear();  // logging's own failures are not the caller's
}

// Runs emit with the pending exception (if any) set aside and put back after.
void log_v(int level, bool with_exception, const char* fmt, va_list va) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* saved = PyErr_GetRaisedException();
    if (enabled_for(level)) emit(level, with_exception ? saved : nullptr, fmt, va);
    PyErr_SetRaisedException(saved);
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (enabled_for(level)) {
        PyObject* exc = nullptr;
        Ref before;  // the instance's own traceback, put back after: an instance raised
                     // again would otherwise grow its traceback with every raise
        if (with_exception && type) {
            PyErr_NormalizeException(&type, &value, &tb);
            if (value && PyExceptionInstance_Check(value)) {
                exc = value;
                before = Ref(PyException_GetTraceback(exc));
                if (tb) PyException_SetTraceback(exc, tb);
            }
        }
        emit(level, exc, fmt, va);
        if (exc) PyException_SetTraceback(exc, before ? before.get() : Py_None);
        PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
#endif
}

}  // namespace

bool log_enabled(int level) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* saved = PyErr_GetRaisedException();
    bool on = enabled_for(level);
    PyErr_SetRaisedException(saved);
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    bool on = enabled_for(level);
    PyErr_Restore(type, value, tb);
#endif
    return on;
}

void log_at(int level, const char* fmt, ...) noexcept {
    va_list va;
    va_start(va, fmt);
    log_v(level, false, fmt, va);
    va_end(va);
}

void log_warning(const char* fmt, ...) noexcept {
    va_list va;
    va_start(va, fmt);
    log_v(LOG_WARNING, false, fmt, va);
    va_end(va);
}

void log_at_exc(int level, const char* fmt, ...) noexcept {
    va_list va;
    va_start(va, fmt);
    log_v(level, true, fmt, va);
    va_end(va);
}

bool parse_fast(const char* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                const char* const* names, PyObject** keys, Py_ssize_t n_names, Py_ssize_t positional,
                Py_ssize_t required, PyObject** out) {
    if (nargs > positional) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", fn, positional,
                     positional == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    constexpr Py_ssize_t kMaxNames = 32;
    bool given[kMaxNames] = {};
    if (n_names > kMaxNames) throw std::logic_error("parse_fast: too many names");
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        out[i] = args[i];
        given[i] = true;
    }
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t j = 0;
        for (; j < n_names; ++j) {  // keywords are usually the interned names themselves
            if (!keys[j] && !(keys[j] = interned(names[j]))) return false;
            if (key == keys[j]) break;
        }
        for (Py_ssize_t m = 0; j == n_names && m < n_names; ++m)
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, names[m]) == 0) j = m;
        if (j == n_names) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", fn, key);
            return false;
        }
        if (given[j]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fn, names[j]);
            return false;
        }
        out[j] = args[nargs + k];
        given[j] = true;
    }
    for (Py_ssize_t j = 0; j < required; ++j)
        if (!given[j]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", fn, names[j]);
            return false;
        }
    return true;
}

PyObject* interned(const char* literal) {
    // keyed by the literal's address: literals live as long as the process
    static auto* made = new std::unordered_map<const char*, PyObject*>();
    auto it = made->find(literal);
    if (it != made->end()) return it->second;
    PyObject* s = PyUnicode_InternFromString(literal);
    if (s) made->emplace(literal, s);
    return s;
}

bool add_literal(PyObject* module, const char* name, std::initializer_list<const char*> values) {
    Ref typing(PyImport_ImportModule("typing"));
    Ref literal(typing ? PyObject_GetAttrString(typing.get(), "Literal") : nullptr);
    Ref tuple(literal ? PyTuple_New(static_cast<Py_ssize_t>(values.size())) : nullptr);
    if (!tuple) return false;
    Py_ssize_t i = 0;
    for (const char* s : values) {
        PyObject* o = Py_XNewRef(interned(s));
        if (!o) return false;
        PyTuple_SET_ITEM(tuple.get(), i++, o);
    }
    Ref type(PyObject_GetItem(literal.get(), tuple.get()));
    return type && PyModule_AddObjectRef(module, name, type.get()) == 0;
}

bool unpack_pair(PyObject* v, Ref& a, Ref& b) {
    if (PyTuple_CheckExact(v) && PyTuple_GET_SIZE(v) == 2) {
        a = Ref::borrow(PyTuple_GET_ITEM(v, 0));
        b = Ref::borrow(PyTuple_GET_ITEM(v, 1));
        return true;
    }
    Ref it(PyObject_GetIter(v));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(v)->tp_iter && !PySequence_Check(v)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(v)->tp_name);
        }
        return false;
    }
    Ref got[2];
    for (int i = 0; i < 2; ++i) {
        got[i] = Ref(PyIter_Next(it.get()));
        if (!got[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            return false;
        }
    }
    Ref extra(PyIter_Next(it.get()));
    if (extra) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    if (PyErr_Occurred()) return false;
    a = std::move(got[0]);
    b = std::move(got[1]);
    return true;
}

// ------------------------------------------------------------ HiddenResults

namespace {
constexpr int kHiddenDepth = 8;  // results nest a few levels; deeper objects stay tracked

// PyObject_IS_GC without the call: most of what a walk meets is strs and floats.
inline bool is_gc(PyObject* o) {
    PyTypeObject* t = Py_TYPE(o);
    return PyType_IS_GC(t) && (!t->tp_is_gc || t->tp_is_gc(o));
}
}

void HiddenResults::hide(PyObject* result) noexcept {
    if (is_gc(result) && PyObject_GC_IsTracked(result)) take(result);
}

bool HiddenResults::take(PyObject* o) noexcept {
    try {
        held_.push_back(o);
    } catch (const std::bad_alloc&) {
        return false;
    }
    Py_INCREF(o);
    PyObject_GC_UnTrack(o);
    if (depth_ >= kHiddenDepth) return true;
    ++depth_;
    const int r = Py_TYPE(o)->tp_traverse(o, visit, this);
    --depth_;
    return r == 0;
}

int HiddenResults::visit(PyObject* o, void* self) {
    // one reference: the container being walked is the only one that has it
    if (Py_REFCNT(o) != 1 || !is_gc(o) || !PyObject_GC_IsTracked(o)) return 0;
    return static_cast<HiddenResults*>(self)->take(o) ? 0 : -1;
}

HiddenResults::~HiddenResults() {
    for (PyObject* o : held_)
        if (!PyObject_GC_IsTracked(o)) PyObject_GC_Track(o);  // a dict may have tracked itself on an insert
    for (PyObject* o : held_) Py_DECREF(o);
}

}  // namespace aw
