// Mutable value records: named fields in declaration order, construction by
// position or name, fresh list/dict defaults, field-wise equality, readable
// repr, pickle and copy support. Fields hold whatever Python value they are
// given; nothing is validated.
#pragma once
#include "common/py.hpp"

#include <memory>
#include <string>
#include <vector>

namespace aw {

struct RecordObject {
    PyObject_HEAD
    PyObject* f[1];
};

struct FieldSpec {
    enum Kind { Required, Value, NewList, NewDict };
    const char* name;
    Kind kind;
    PyObject* value;  // Value: the shared immutable default (owned by this FieldSpec)

    static FieldSpec required(const char* n) { return {n, Required, nullptr}; }
    static FieldSpec list(const char* n) { return {n, NewList, nullptr}; }
    static FieldSpec dict(const char* n) { return {n, NewDict, nullptr}; }
    static FieldSpec none(const char* n) { return {n, Value, Py_NewRef(Py_None)}; }
    static FieldSpec boolean(const char* n, bool b) { return {n, Value, Py_NewRef(b ? Py_True : Py_False)}; }
    static FieldSpec str(const char* n, const char* s) { return {n, Value, PyUnicode_FromString(s)}; }
    static FieldSpec integer(const char* n, long v) { return {n, Value, PyLong_FromLong(v)}; }
    static FieldSpec real(const char* n, double v) { return {n, Value, PyFloat_FromDouble(v)}; }
    static FieldSpec object(const char* n, PyObject* v) { return {n, Value, v}; }  // steals
};

// What a field's value is made of, held by the record in its place until the
// value is first read (as an attribute, or by comparison, repr, copy or
// pickle): a value the caller may never read costs nothing to build or free.
// What make() gives must not depend on when it runs.
class Deferred {
public:
    Deferred() = default;
    Deferred(const Deferred&) = delete;
    Deferred& operator=(const Deferred&) = delete;
    virtual ~Deferred() = default;
    virtual PyObject* make() const = 0;  // a new reference, or null with an error set
    // Visits the objects it holds, as tp_traverse does: they may be in cycles.
    virtual int traverse(visitproc visit, void* arg) const = 0;
    size_t refs = 1;  // the record's, and a reader's while it makes the value (with the lock)
};

// Creates the type "module.Name" (qualified_name is "pkg.module.Name"), adds
// it to the module and returns a borrowed reference (nullptr on error).
// deferrable: the index of a field whose value may be deferred, or -1.
PyTypeObject* make_record_type(PyObject* module, const char* qualified_name, const char* doc,
                               std::vector<FieldSpec> fields, const PyMethodDef* methods = nullptr,
                               int deferrable = -1);

// Puts maker in the place of self's deferrable field i (its value, if any,
// is released). With the interpreter lock.
void rec_defer(PyObject* self, int i, std::unique_ptr<Deferred> maker);

// Borrowed field value; nullptr with AttributeError when the field was deleted
// (a deferred value is made then, or its error raised).
PyObject* rec_missing(PyObject* self, int i);
inline PyObject* rec_get(PyObject* self, int i) {
    PyObject* v = reinterpret_cast<struct RecordObject*>(self)->f[i];
    return v ? v : rec_missing(self, i);
}

// A new instance with its fields set from values (references stolen); used
// by native code that builds records directly. A null value (its making
// failed, the error is set) gives null, the other values released.
PyObject* rec_new(PyTypeObject* type, std::initializer_list<PyObject*> values);

// Fills unset fields of a freshly allocated record with their defaults.
bool rec_fill_defaults(PyObject* self);

// True when o is an instance of any record type (as dataclasses.is_dataclass).
bool is_record(PyObject* o);
// The record's field names in declaration order (a borrowed tuple that lives
// as long as the process), or nullptr when o is no record; unlike the type's
// __match_args__, callers cannot change it.
PyObject* rec_field_names(PyObject* o);

// True when o is an instance of the record type t (subclasses included).
inline bool rec_check(PyObject* o, PyTypeObject* t) { return PyObject_TypeCheck(o, t); }

}  // namespace aw
