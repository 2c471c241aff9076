#include "common/record.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <structmember.h>

namespace aw {
namespace {

struct RecordDef {
    PyTypeObject* type = nullptr;
    std::vector<FieldSpec> fields;
    std::vector<PyMemberDef> members;
    std::vector<PyMethodDef> methods;
    std::vector<PyGetSetDef> getsets;
    int deferrable = -1;  // the field that may hold a Deferred in its place
    std::vector<std::string> field_docs;  // the members' docstrings point into these
    std::string qualname, name, doc;
    PyObject* names = nullptr;  // the field names as a tuple; lives with the type
};

// Defs live for the life of the process: the types point into them.
std::deque<RecordDef>& registry() {
    static std::deque<RecordDef> defs;
    return defs;
}

const RecordDef* find_def(PyTypeObject* t) {
    for (; t; t = t->tp_base)
        for (const RecordDef& d : registry())
            if (d.type == t) return &d;
    return nullptr;
}

inline RecordObject* R(PyObject* o) { return reinterpret_cast<RecordObject*>(o); }

// The maker of a deferred value: a slot past the fields of a type with a
// deferrable field (null when there is none).
Deferred* maker_of(PyObject* self, const RecordDef& d) {
    Deferred* m;
    std::memcpy(&m, &R(self)->f[d.fields.size()], sizeof m);
    return m;
}
void set_maker(PyObject* self, const RecordDef& d, Deferred* m) {
    std::memcpy(&R(self)->f[d.fields.size()], &m, sizeof m);
}

void release(Deferred* m) {
    if (m && --m->refs == 0) delete m;
}

void drop_maker(PyObject* self, const RecordDef* d) {
    if (!d || d->deferrable < 0) return;
    Deferred* m = maker_of(self, *d);
    set_maker(self, *d, nullptr);
    release(m);  // may run code (its objects go): the slot is empty first
}

PyObject* no_field(PyObject* self, const RecordDef* d, int i) {
    PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%s'", Py_TYPE(self)->tp_name,
                 d ? d->fields[static_cast<size_t>(i)].name : "?");
    return nullptr;
}

// Makes field i's deferred value and puts it in its place; borrowed. Making
// it may run code that reads, sets or deletes the field meanwhile: what that
// left stands.
PyObject* make_deferred(PyObject* self, const RecordDef& d, int i) {
    Deferred* m = maker_of(self, d);
    ++m->refs;  // ours while it makes
    PyObject* v = m->make();
    if (v && maker_of(self, d) == m && !R(self)->f[i]) {
        R(self)->f[i] = v;
        set_maker(self, d, nullptr);
        release(m);  // the record's
    } else {
        Py_XDECREF(v);
    }
    release(m);
    if (!v) return nullptr;
    return R(self)->f[i] ? R(self)->f[i] : no_field(self, &d, i);
}

PyObject* get_deferrable(PyObject* self, void* closure) {
    return Py_XNewRef(rec_get(self, static_cast<int>(reinterpret_cast<intptr_t>(closure))));
}

int set_deferrable(PyObject* self, PyObject* value, void* closure) {
    const int i = static_cast<int>(reinterpret_cast<intptr_t>(closure));
    const RecordDef* d = find_def(Py_TYPE(self));
    if (!d) {
        PyErr_SetString(PyExc_TypeError, "not a record type");
        return -1;
    }
    Deferred* m = maker_of(self, *d);
    PyObject* old = R(self)->f[i];
    if (!value && !old && !m) {
        PyErr_SetString(PyExc_AttributeError, d->fields[static_cast<size_t>(i)].name);
        return -1;
    }
    set_maker(self, *d, nullptr);
    R(self)->f[i] = Py_XNewRef(value);
    Py_XDECREF(old);
    release(m);
    return 0;
}

PyObject* default_value(const FieldSpec& f) {
    switch (f.kind) {
        case FieldSpec::NewList: return PyList_New(0);
        case FieldSpec::NewDict: return PyDict_New();
        case FieldSpec::Value: return Py_NewRef(f.value);
        default: return nullptr;
    }
}

int rec_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    const RecordDef* d = find_def(Py_TYPE(self));
    if (!d) { PyErr_SetString(PyExc_TypeError, "not a record type"); return -1; }
    const size_t n = d->fields.size();
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (static_cast<size_t>(nargs) > n) {
        PyErr_Format(PyExc_TypeError, "%s.__init__() takes at most %zd positional arguments but %zd were given",
                     d->name.c_str(), static_cast<Py_ssize_t>(n), nargs);
        return -1;
    }
    // held: allocating defaults may run a collection, and finalizers may change kwargs
    std::vector<Ref> vals(n);
    for (Py_ssize_t i = 0; i < nargs; ++i) vals[static_cast<size_t>(i)] = Ref::borrow(PyTuple_GET_ITEM(args, i));
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(kwargs, &pos, &k, &v)) {
            size_t idx = n;
            if (PyUnicode_Check(k))
                for (size_t i = 0; i < n; ++i)
                    if (PyUnicode_CompareWithASCIIString(k, d->fields[i].name) == 0) { idx = i; break; }
            if (idx == n) {
                PyErr_Format(PyExc_TypeError, "%s.__init__() got an unexpected keyword argument '%S'",
                             d->name.c_str(), k);
                return -1;
            }
            if (vals[idx]) {
                PyErr_Format(PyExc_TypeError, "%s.__init__() got multiple values for argument '%s'",
                             d->name.c_str(), d->fields[idx].name);
                return -1;
            }
            vals[idx] = Ref::borrow(v);
        }
    }
    for (size_t i = 0; i < n; ++i)
        if (!vals[i] && d->fields[i].kind == FieldSpec::Required) {
            PyErr_Format(PyExc_TypeError, "%s.__init__() missing required argument: '%s'", d->name.c_str(),
                         d->fields[i].name);
            return -1;
        }
    for (size_t i = 0; i < n; ++i) {
        PyObject* v = vals[i] ? Py_NewRef(vals[i].get()) : default_value(d->fields[i]);
        if (!v) return -1;
        Py_XSETREF(R(self)->f[i], v);
    }
    drop_maker(self, d);
    return 0;
}

int rec_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const RecordDef* d = find_def(Py_TYPE(self));
    if (!d) return 0;
    for (size_t i = 0; i < d->fields.size(); ++i) Py_VISIT(R(self)->f[i]);
    if (d->deferrable >= 0)
        if (const Deferred* m = maker_of(self, *d)) return m->traverse(visit, arg);
    return 0;
}

int rec_clear(PyObject* self) {
    const RecordDef* d = find_def(Py_TYPE(self));
    if (d)
        for (size_t i = 0; i < d->fields.size(); ++i) Py_CLEAR(R(self)->f[i]);
    drop_maker(self, d);
    return 0;
}

void rec_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // Records nested in records would otherwise free recursively on the C
    // stack; the guard recognises the type by the slot actually installed.
    Py_TRASHCAN_BEGIN(self, (&Entry<rec_dealloc>::call))
    rec_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
    Py_TRASHCAN_END
}

PyObject* rec_repr(PyObject* self) {
    const RecordDef* d = find_def(Py_TYPE(self));
    int rc = Py_ReprEnter(self);
    if (rc != 0) return rc > 0 ? PyUnicode_FromString("...") : nullptr;
    Ref qual(PyType_GetQualName(Py_TYPE(self)));
    Ref out;
    if (qual) {
        Ref parts(PyList_New(0));
        bool ok = bool(parts);
        for (size_t i = 0; ok && i < d->fields.size(); ++i) {
            Ref v(Py_XNewRef(rec_get(self, static_cast<int>(i))));  // held: its repr may replace the field
            Ref r(v ? PyObject_Repr(v.get()) : nullptr);
            Ref p(r ? PyUnicode_FromFormat("%s=%U", d->fields[i].name, r.get()) : nullptr);
            ok = p && PyList_Append(parts.get(), p.get()) == 0;
        }
        Ref sep(ok ? PyUnicode_FromString(", ") : nullptr);
        Ref body(sep ? PyUnicode_Join(sep.get(), parts.get()) : nullptr);
        if (body) out = Ref(PyUnicode_FromFormat("%U(%U)", qual.get(), body.get()));
    }
    Py_ReprLeave(self);
    return out.release();
}

PyObject* fields_tuple(PyObject* self, size_t n) {
    Ref t(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!t) return nullptr;
    for (size_t i = 0; i < n; ++i) {
        PyObject* v = rec_get(self, static_cast<int>(i));
        if (!v) return nullptr;
        PyTuple_SET_ITEM(t.get(), i, Py_NewRef(v));
    }
    return t.release();
}

PyObject* rec_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
    const RecordDef* d = find_def(Py_TYPE(self));
    Ref a(fields_tuple(self, d->fields.size()));
    if (!a) return nullptr;
    Ref b(fields_tuple(other, d->fields.size()));
    if (!b) return nullptr;
    return PyObject_RichCompare(a.get(), b.get(), op);
}

PyObject* rec_getstate(PyObject* self, PyObject*) {
    const RecordDef* d = find_def(Py_TYPE(self));
    Ref state(PyDict_New());
    if (!state) return nullptr;
    for (size_t i = 0; i < d->fields.size(); ++i) {
        PyObject* v = R(self)->f[i];
        if (!v && static_cast<int>(i) == d->deferrable && maker_of(self, *d)) {
            v = make_deferred(self, *d, static_cast<int>(i));
            if (!v) return nullptr;
        }
        if (v && PyDict_SetItemString(state.get(), d->fields[i].name, v) < 0) return nullptr;
    }
    PyObject** dictptr = _PyObject_GetDictPtr(self);
    if (dictptr && *dictptr && PyDict_Update(state.get(), *dictptr) < 0) return nullptr;
    return state.release();
}

PyObject* rec_setstate(PyObject* self, PyObject* state) {
    if (!PyDict_Check(state)) {
        PyErr_SetString(PyExc_TypeError, "state must be a dict");
        return nullptr;
    }
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(state, &pos, &k, &v)) {
        Ref key = Ref::borrow(k), value = Ref::borrow(v);  // setattr may run code that changes state
        if (PyObject_SetAttr(self, key.get(), value.get()) < 0) return nullptr;
    }
    Py_RETURN_NONE;
}

std::string text_signature(const char* short_name, const std::vector<FieldSpec>& fields) {
    std::string s = short_name;
    s += "(";
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i) s += ", ";
        s += fields[i].name;
        switch (fields[i].kind) {
            case FieldSpec::NewList: s += "=[]"; break;
            case FieldSpec::NewDict: s += "={}"; break;
            case FieldSpec::Value: {
                Ref r(PyObject_Repr(fields[i].value));
                const char* u = r ? PyUnicode_AsUTF8(r.get()) : nullptr;
                if (!u) { PyErr_Clear(); u = "..."; }
                s += "=";
                s += u;
                break;
            }
            default: break;
        }
    }
    return s + ")\n--\n\n";
}

// A field's docstring is its entry in the class's "Attributes:" section
// ("    name: text", continued by lines indented further), so help() on the
// field and on the class cannot disagree. Empty when the class has none.
std::string attribute_doc(const std::string& doc, const char* field) {
    static const char kSection[] = "\nAttributes:\n";
    size_t pos = doc.find(kSection);
    if (pos == std::string::npos) return "";
    pos += sizeof(kSection) - 1;
    const std::string head = std::string("    ") + field + ":";
    std::string out;
    bool inside = false;
    while (pos < doc.size()) {
        size_t end = doc.find('\n', pos);
        if (end == std::string::npos) end = doc.size();
        const std::string line = doc.substr(pos, end - pos);
        pos = end + 1;
        if (line.compare(0, 4, "    ") != 0) break;  // a blank line or a new section ends it
        if (line.compare(0, 8, "        ") == 0) {
            if (inside) out += "\n" + line.substr(8);
            continue;
        }
        if (inside) break;
        if (line.compare(0, head.size(), head) == 0) {
            inside = true;
            size_t text = line.find_first_not_of(' ', head.size());
            out = text == std::string::npos ? "" : line.substr(text);
        }
    }
    return out;
}

}  // namespace

PyObject* rec_missing(PyObject* self, int i) {
    const RecordDef* d = find_def(Py_TYPE(self));
    if (d && i == d->deferrable && maker_of(self, *d)) return make_deferred(self, *d, i);
    return no_field(self, d, i);
}

void rec_defer(PyObject* self, int i, std::unique_ptr<Deferred> maker) {
    const RecordDef* d = find_def(Py_TYPE(self));
    if (!d || i != d->deferrable) return;  // not deferrable: maker goes
    drop_maker(self, d);
    Py_CLEAR(R(self)->f[i]);
    set_maker(self, *d, maker.release());
}

bool is_record(PyObject* o) { return find_def(Py_TYPE(o)) != nullptr; }

PyObject* rec_field_names(PyObject* o) {
    const RecordDef* d = find_def(Py_TYPE(o));
    return d ? d->names : nullptr;
}

bool rec_fill_defaults(PyObject* self) {
    const RecordDef* d = find_def(Py_TYPE(self));
    for (size_t i = 0; i < d->fields.size(); ++i)
        if (!R(self)->f[i] && !(static_cast<int>(i) == d->deferrable && maker_of(self, *d))) {
            if (d->fields[i].kind == FieldSpec::Required) {
                PyErr_Format(PyExc_TypeError, "%s.__init__() missing required argument: '%s'", d->name.c_str(),
                             d->fields[i].name);
                return false;
            }
            R(self)->f[i] = default_value(d->fields[i]);
            if (!R(self)->f[i]) return false;
        }
    return true;
}

PyObject* rec_new(PyTypeObject* type, std::initializer_list<PyObject*> values) {
    bool made = true;
    for (PyObject* v : values) made = made && v;
    PyObject* self = made ? type->tp_alloc(type, 0) : nullptr;
    size_t i = 0;
    for (PyObject* v : values) {
        if (self) R(self)->f[i] = v;
        else Py_XDECREF(v);
        ++i;
    }
    return self;
}

PyTypeObject* make_record_type(PyObject* module, const char* qualified_name, const char* doc,
                               std::vector<FieldSpec> fields, const PyMethodDef* methods, int deferrable) {
    registry().emplace_back();
    RecordDef& d = registry().back();
    d.fields = std::move(fields);
    d.deferrable = deferrable;
    d.qualname = qualified_name;
    const char* dot = std::strrchr(qualified_name, '.');
    d.name = dot ? dot + 1 : qualified_name;
    d.doc = text_signature(d.name.c_str(), d.fields) + doc;
    for (const FieldSpec& f : d.fields) {
        std::string text = attribute_doc(doc, f.name);
        // a class may say once that all its fields are required; each field says it itself
        if (!text.empty() && f.kind == FieldSpec::Required && text.find("Required") == std::string::npos)
            text += " Required.";
        d.field_docs.push_back(std::move(text));
    }
    for (size_t i = 0; i < d.fields.size(); ++i) {
        const char* field_doc = d.field_docs[i].empty() ? nullptr : d.field_docs[i].c_str();
        if (static_cast<int>(i) == deferrable)
            d.getsets.push_back({d.fields[i].name, reinterpret_cast<getter>(AW_SLOT(get_deferrable)),
                                 reinterpret_cast<setter>(AW_SLOT(set_deferrable)), field_doc,
                                 reinterpret_cast<void*>(static_cast<intptr_t>(i))});
        else
            d.members.push_back({d.fields[i].name, T_OBJECT_EX,
                                 static_cast<Py_ssize_t>(offsetof(RecordObject, f) + i * sizeof(PyObject*)), 0,
                                 field_doc});
    }
    d.members.push_back({nullptr, 0, 0, 0, nullptr});
    d.getsets.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    for (const PyMethodDef* m = methods; m && m->ml_name; ++m) d.methods.push_back(*m);
    d.methods.push_back({"__getstate__", AW_FN(rec_getstate), METH_NOARGS, nullptr});
    d.methods.push_back({"__setstate__", AW_FN(rec_setstate), METH_O, nullptr});
    d.methods.push_back({nullptr, nullptr, 0, nullptr});

    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
        {Py_tp_init, AW_SLOT(rec_init)},
        {Py_tp_dealloc, AW_SLOT(rec_dealloc)},
        {Py_tp_traverse, AW_SLOT(rec_traverse)},
        {Py_tp_clear, AW_SLOT(rec_clear)},
        {Py_tp_repr, AW_SLOT(rec_repr)},
        {Py_tp_richcompare, AW_SLOT(rec_richcompare)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
        {Py_tp_members, d.members.data()},
        {Py_tp_getset, d.getsets.data()},
        {Py_tp_methods, d.methods.data()},
        {Py_tp_doc, const_cast<char*>(d.doc.c_str())},
        {0, nullptr},
    };
    PyType_Spec spec = {
        d.qualname.c_str(),
        static_cast<int>(offsetof(RecordObject, f) + (d.fields.size() + (deferrable >= 0)) * sizeof(PyObject*)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
        slots,
    };
    PyObject* type = PyType_FromSpec(&spec);
    if (!type) return nullptr;
    d.type = reinterpret_cast<PyTypeObject*>(type);
    Ref match(PyTuple_New(static_cast<Py_ssize_t>(d.fields.size())));
    if (!match) return nullptr;
    for (size_t i = 0; i < d.fields.size(); ++i) {
        PyObject* s = PyUnicode_FromString(d.fields[i].name);
        if (!s) return nullptr;
        PyTuple_SET_ITEM(match.get(), i, s);
    }
    if (PyObject_SetAttrString(type, "__match_args__", match.get()) < 0) return nullptr;
    d.names = match.release();
    if (PyModule_AddObjectRef(module, d.name.c_str(), type) < 0) return nullptr;
    Py_DECREF(type);  // the module keeps it alive
    return d.type;
}

}  // namespace aw
