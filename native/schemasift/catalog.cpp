// Catalog records (columns, tables, relationships, catalog), their search
// texts and prompt dictionary, and the normalizer for loose catalog maps.
#include "schemasift/schemasift.hpp"

#include "common/json.hpp"
#include "common/pytext.hpp"
#include "common/record.hpp"
#include "common/unicode.hpp"

#include <cstring>

namespace sift {
using aw::Ref;
using aw::rec_get;

PyTypeObject* ColumnMetaType;
PyTypeObject* TableMetaType;
PyTypeObject* RelationshipMetaType;
PyTypeObject* MetadataCatalogType;

namespace {

// ---------------------------------------------------------------- helpers

// Module-lifetime objects: never released, since C++ static destructors would
// run after the interpreter is gone.
PyObject *s_space, *s_empty, *s_many_to_one, *s_copy_module;

PyObject* format_value(PyObject* v) { return PyObject_Format(v, s_empty); }  // f"{v}"

PyObject* join(PyObject* iterable) { return PyUnicode_Join(s_space, iterable); }

// Attribute of a record element, fast for our own record type.
PyObject* attr(PyObject* obj, PyTypeObject* type, int index, const char* name) {
    if (Py_IS_TYPE(obj, type)) {
        PyObject* v = rec_get(obj, index);
        return v ? Py_NewRef(v) : nullptr;
    }
    return PyObject_GetAttrString(obj, name);
}

// The searchable texts are built as UTF-8 and become one str at the end.

// Appends label + f"{v}".
bool put_format(std::string& out, const char* label, PyObject* v) {
    out += label;
    if (PyUnicode_CheckExact(v)) {
        aw::append_str(out, v);
        return true;
    }
    Ref s(format_value(v));
    if (!s) return false;
    aw::append_str(out, s.get());
    return true;
}

// Appends label + " ".join(items).
bool put_join(std::string& out, const char* label, PyObject* items) {
    out += label;
    if (PyList_CheckExact(items)) {
        Py_ssize_t n = PyList_GET_SIZE(items), i = 0;
        while (i < n && PyUnicode_CheckExact(PyList_GET_ITEM(items, i))) ++i;
        if (i == n) {
            for (i = 0; i < n; ++i) {
                if (i) out.push_back(' ');
                aw::append_str(out, PyList_GET_ITEM(items, i));
            }
            return true;
        }
    }
    Ref s(join(items));
    if (!s) return false;
    aw::append_str(out, s.get());
    return true;
}

// ------------------------------------------------------ ColumnMeta methods

}  // namespace

bool column_searchable_text(PyObject* self, PyObject* table_name, PyObject* table_business_name, std::string& out) {
    Ref f[C_COUNT];  // held: formatting may run code that replaces fields
    for (int i = 0; i < C_COUNT; ++i)
        if (!(f[i] = Ref(Py_XNewRef(rec_get(self, i))))) return false;
    if (!put_format(out, "table ", table_name)) return false;
    if (!put_format(out, " table business name ", table_business_name)) return false;
    if (!put_format(out, " column ", f[C_NAME].get())) return false;
    if (!put_format(out, " type ", f[C_TYPE].get())) return false;
    if (!put_format(out, " description ", f[C_DESCRIPTION].get())) return false;
    if (!put_join(out, " synonyms ", f[C_SYNONYMS].get())) return false;
    if (!put_format(out, " role ", f[C_ROLE].get())) return false;
    if (!put_join(out, " tags ", f[C_TAGS].get())) return false;
    out += " sample values ";
    Ref samples(PySequence_GetSlice(f[C_SAMPLE_VALUES].get(), 0, 10));
    Ref it(samples ? PyObject_GetIter(samples.get()) : nullptr);
    if (!it) return false;
    bool first = true;
    while (PyObject* v = PyIter_Next(it.get())) {
        Ref hold(v);
        if (!first) out.push_back(' ');
        first = false;
        if (!aw::append_plain_text(out, v)) return false;
    }
    return !PyErr_Occurred();
}

bool table_searchable_text(PyObject* self, std::string& out) {
    Ref f[T_COUNT];  // held: formatting may run code that replaces fields
    for (int i = 0; i < T_COUNT; ++i)
        if (!(f[i] = Ref(Py_XNewRef(rec_get(self, i))))) return false;
    Ref columns(PySequence_List(f[T_COLUMNS].get()));
    if (!columns) return false;
    const Py_ssize_t n = PyList_GET_SIZE(columns.get()), head = n < 50 ? n : 50;
    // " ".join(<field> of each column), the field read from every column first
    auto put_fields = [&](const char* label, Py_ssize_t count, int index, const char* name, bool joined) {
        Ref values(PyList_New(count));
        if (!values) return false;
        std::string text;
        for (Py_ssize_t i = 0; i < count; ++i) {
            Ref v(attr(PyList_GET_ITEM(columns.get(), i), ColumnMetaType, index, name));
            if (v && joined) {  // " ".join(c.synonyms)
                text.clear();
                v = put_join(text, "", v.get()) ? Ref(aw::new_str(text)) : Ref();
            }
            if (!v) return false;
            PyList_SET_ITEM(values.get(), i, v.release());
        }
        return put_join(out, label, values.get());
    };
    auto or_empty = [&](const char* label, PyObject* v) {  // label + f"{v or ''}"
        int present = aw::is_present(v);
        if (present == 0) out += label;
        return present > 0 ? put_format(out, label, v) : present == 0;
    };
    if (!put_format(out, "table ", f[T_TABLE_NAME].get())) return false;
    if (!put_format(out, " business name ", f[T_BUSINESS_NAME].get())) return false;
    if (!put_format(out, " description ", f[T_DESCRIPTION].get())) return false;
    if (!put_join(out, " tags ", f[T_TAGS].get())) return false;
    if (!put_fields(" columns ", n, C_NAME, "name", false)) return false;
    if (!put_fields(" column descriptions ", head, C_DESCRIPTION, "description", false)) return false;
    if (!put_fields(" column synonyms ", head, C_SYNONYMS, "synonyms", true)) return false;
    if (!or_empty(" default date column ", f[T_DEFAULT_DATE].get())) return false;
    return or_empty(" default metric column ", f[T_DEFAULT_METRIC].get());
}

namespace {

PyObject* py_column_searchable_text(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"table_name", "table_business_name", nullptr};
    PyObject* table_name = s_empty;
    PyObject* table_business_name = s_empty;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:searchable_text", const_cast<char**>(kw), &table_name,
                                     &table_business_name))
        return nullptr;
    std::string out;
    return column_searchable_text(self, table_name, table_business_name, out) ? aw::new_str(out) : nullptr;
}

// ------------------------------------------------------- TableMeta methods

PyObject* py_table_searchable_text(PyObject* self, PyObject*) {
    std::string out;
    return table_searchable_text(self, out) ? aw::new_str(out) : nullptr;
}

// ------------------------------------------------ RelationshipMeta methods

// 1: contained, 0: not, -1: error.
int membership(PyObject* self, PyObject* table_names, bool both) {
    // held: building the set and hashing may run code that replaces the fields
    Ref from(Py_XNewRef(rec_get(self, R_FROM_TABLE)));
    Ref to(from ? Py_XNewRef(rec_get(self, R_TO_TABLE)) : nullptr);
    if (!to) return -1;
    Ref names(PySet_New(table_names));
    if (!names) return -1;
    int a = PySet_Contains(names.get(), from.get());
    if (a < 0) return -1;
    if (both ? !a : a) return a;
    return PySet_Contains(names.get(), to.get());
}

PyObject* relationship_involves(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"table_names", nullptr};
    PyObject* names;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:involves", const_cast<char**>(kw), &names)) return nullptr;
    int r = membership(self, names, true);
    return r < 0 ? nullptr : PyBool_FromLong(r);
}

PyObject* relationship_touches(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"table_names", nullptr};
    PyObject* names;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:touches", const_cast<char**>(kw), &names)) return nullptr;
    int r = membership(self, names, false);
    return r < 0 ? nullptr : PyBool_FromLong(r);
}

// ------------------------------------------------- MetadataCatalog methods

}  // namespace

// A deep copy in the manner of dataclasses.asdict: records become maps,
// lists, tuples and maps are rebuilt, anything else is copy.deepcopy'd.
PyObject* deep_copy(PyObject* v) {
    if (PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || v == Py_None ||
        PyBool_Check(v))
        return Py_NewRef(v);
    aw::RecursionGuard guard(" while copying catalog values");
    if (!guard.ok()) return nullptr;
    if (PyList_CheckExact(v)) {
        Ref out(PyList_New(0));
        if (!out) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(v, i));
            Ref c(deep_copy(item.get()));
            if (!c || PyList_Append(out.get(), c.get()) < 0) return nullptr;
        }
        return out.release();
    }
    if (PyDict_CheckExact(v)) {
        Ref items(PyDict_Items(v));
        Ref out(items ? PyDict_New() : nullptr);
        if (!out) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            Ref k(deep_copy(PyTuple_GET_ITEM(pair, 0)));
            Ref val(k ? deep_copy(PyTuple_GET_ITEM(pair, 1)) : nullptr);
            if (!val || PyDict_SetItem(out.get(), k.get(), val.get()) < 0) return nullptr;
        }
        return out.release();
    }
    if (aw::is_record(v)) return record_as_dict(v);
    if (PyList_Check(v) || PyTuple_Check(v) || PyDict_Check(v)) {
        bool is_dict = PyDict_Check(v);
        bool is_named = false;  // hasattr(v, "_fields"), which hides only AttributeError
        if (PyTuple_Check(v)) {
            Ref fields(PyObject_GetAttr(v, KEY("_fields")));
            if (!fields && !PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            is_named = bool(fields);
        }
        Ref items(is_dict ? PyMapping_Items(v) : PySequence_List(v));
        if (!items) return nullptr;
        Ref copied(PyList_New(0));
        if (!copied) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* item = PyList_GET_ITEM(items.get(), i);
            Ref c;
            if (is_dict) {
                Ref k(deep_copy(PyTuple_GET_ITEM(item, 0)));
                Ref val(k ? deep_copy(PyTuple_GET_ITEM(item, 1)) : nullptr);
                if (val) c = Ref(PyTuple_Pack(2, k.get(), val.get()));
            } else {
                c = Ref(deep_copy(item));
            }
            if (!c || PyList_Append(copied.get(), c.get()) < 0) return nullptr;
        }
        if (is_named) {
            Ref args(PyList_AsTuple(copied.get()));
            return args ? PyObject_CallObject(reinterpret_cast<PyObject*>(Py_TYPE(v)), args.get()) : nullptr;
        }
        if (PyTuple_CheckExact(v)) return PyList_AsTuple(copied.get());
        return PyObject_CallOneArg(reinterpret_cast<PyObject*>(Py_TYPE(v)), copied.get());
    }
    if (!s_copy_module && !(s_copy_module = PyImport_ImportModule("copy"))) return nullptr;
    return PyObject_CallMethod(s_copy_module, "deepcopy", "O", v);
}

PyObject* record_as_dict(PyObject* rec) {
    PyObject* fields = aw::rec_field_names(rec);
    if (!fields) {
        PyErr_Format(PyExc_TypeError, "expected a record, got %.200s", Py_TYPE(rec)->tp_name);
        return nullptr;
    }
    Ref out(PyDict_New());
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields); ++i) {
        Ref v(Py_XNewRef(rec_get(rec, static_cast<int>(i))));  // held: copying may run code that replaces it
        Ref c(v ? deep_copy(v.get()) : nullptr);
        if (!c || PyDict_SetItem(out.get(), PyTuple_GET_ITEM(fields, i), c.get()) < 0) return nullptr;
    }
    return out.release();
}

namespace {

PyObject* checked_as_dict(PyObject* v, PyTypeObject* type) {
    if (!aw::rec_check(v, type)) {
        PyErr_Format(PyExc_TypeError, "expected %s, got %.200s", type->tp_name, Py_TYPE(v)->tp_name);
        return nullptr;
    }
    return record_as_dict(v);
}

// Appends f(item) for every item of an iterable to a new list.
template <class F>
PyObject* map_list(PyObject* iterable, F&& f) {
    Ref out(PyList_New(0));
    Ref it(out ? PyObject_GetIter(iterable) : nullptr);
    if (!it) return nullptr;
    while (PyObject* item = PyIter_Next(it.get())) {
        Ref hold(item);
        Ref v(f(item));
        if (!v || PyList_Append(out.get(), v.get()) < 0) return nullptr;
    }
    return PyErr_Occurred() ? nullptr : out.release();
}

PyObject* table_prompt_dict(PyObject* t) {
    static const char* keys[] = {"table_name", "business_name", "description"};
    Ref d(PyDict_New());
    if (!d) return nullptr;
    for (int i = 0; i < 3; ++i) {
        Ref v(attr(t, TableMetaType, i, keys[i]));  // T_TABLE_NAME, T_BUSINESS_NAME, T_DESCRIPTION
        if (!v || PyDict_SetItemString(d.get(), keys[i], v.get()) < 0) return nullptr;
    }
    Ref cols(attr(t, TableMetaType, T_COLUMNS, "columns"));
    Ref col_dicts(cols ? map_list(cols.get(), [](PyObject* c) { return checked_as_dict(c, ColumnMetaType); })
                       : nullptr);
    if (!col_dicts || PyDict_SetItemString(d.get(), "columns", col_dicts.get()) < 0) return nullptr;
    static const char* opt[] = {"default_date_column", "default_metric_column", "row_count"};
    static const int idx[] = {T_DEFAULT_DATE, T_DEFAULT_METRIC, T_ROW_COUNT};
    for (int i = 0; i < 3; ++i) {
        Ref v(attr(t, TableMetaType, idx[i], opt[i]));
        Ref c(v ? deep_copy(v.get()) : nullptr);
        if (!c || PyDict_SetItemString(d.get(), opt[i], c.get()) < 0) return nullptr;
    }
    return d.release();
}

PyObject* catalog_to_prompt_dict(PyObject* self, PyObject*) {
    Ref f[M_COUNT];  // held: copying may run code that replaces the fields
    for (int i = 0; i < M_COUNT; ++i)
        if (!(f[i] = Ref(Py_XNewRef(rec_get(self, i))))) return nullptr;
    Ref d(PyDict_New());
    if (!d || PyDict_SetItemString(d.get(), "database", f[M_DATABASE].get()) < 0) return nullptr;
    Ref tables(map_list(f[M_TABLES].get(), table_prompt_dict));
    if (!tables || PyDict_SetItemString(d.get(), "tables", tables.get()) < 0) return nullptr;
    Ref rels(map_list(f[M_RELATIONSHIPS].get(), [](PyObject* r) { return checked_as_dict(r, RelationshipMetaType); }));
    if (!rels || PyDict_SetItemString(d.get(), "relationships", rels.get()) < 0) return nullptr;
    return d.release();
}

// ------------------------------------------------------------ normalizer

// Interned keys, looked up by position in this table.
enum Key {
    K_DATABASE, K_DATABASE_NAME, K_DB, K_TABLES, K_RELATIONSHIPS, K_JOINS,
    K_TABLE_NAME, K_NAME, K_TABLE, K_SOURCE, K_BUSINESS_NAME, K_DISPLAY_NAME, K_DESCRIPTION, K_COMMENT,
    K_TAGS, K_COLUMNS, K_DEFAULT_DATE, K_DEFAULT_METRIC, K_ROW_COUNT,
    K_COLUMN_NAME, K_COLUMN, K_TYPE, K_DATA_TYPE, K_SYNONYMS, K_ALIASES, K_ROLE, K_NULLABLE,
    K_IS_PK, K_PK, K_IS_FK, K_FK, K_SAMPLE_VALUES, K_SAMPLES,
    K_FROM_TABLE, K_LEFT_TABLE, K_SOURCE_TABLE, K_FROM_COLUMN, K_LEFT_COLUMN, K_SOURCE_COLUMN,
    K_TO_TABLE, K_RIGHT_TABLE, K_TARGET_TABLE, K_TO_COLUMN, K_RIGHT_COLUMN, K_TARGET_COLUMN,
    K_RELATIONSHIP_TYPE, K_COUNT
};
const char* const kKeyNames[K_COUNT] = {
    "database", "database_name", "db", "tables", "relationships", "joins",
    "table_name", "name", "table", "source", "business_name", "display_name", "description", "comment",
    "tags", "columns", "default_date_column", "default_metric_column", "row_count",
    "column_name", "column", "type", "data_type", "synonyms", "aliases", "role", "nullable",
    "is_primary_key", "primary_key", "is_foreign_key", "foreign_key", "sample_values", "samples",
    "from_table", "left_table", "source_table", "from_column", "left_column", "source_column",
    "to_table", "right_table", "target_table", "to_column", "right_column", "target_column",
    "relationship_type"};
PyObject* K[K_COUNT];

const std::vector<int> kCatalogKnown = {K_DATABASE, K_DATABASE_NAME, K_DB, K_TABLES, K_RELATIONSHIPS};
const std::vector<int> kTableKnown = {K_TABLE_NAME, K_NAME, K_TABLE, K_SOURCE, K_BUSINESS_NAME, K_DISPLAY_NAME,
                                      K_DESCRIPTION, K_COMMENT, K_TAGS, K_COLUMNS, K_DEFAULT_DATE,
                                      K_DEFAULT_METRIC, K_ROW_COUNT};
const std::vector<int> kColumnKnown = {K_NAME, K_COLUMN_NAME, K_COLUMN, K_TYPE, K_DATA_TYPE, K_DESCRIPTION,
                                       K_COMMENT, K_SYNONYMS, K_ALIASES, K_ROLE, K_TAGS, K_NULLABLE, K_IS_PK,
                                       K_PK, K_IS_FK, K_FK, K_SAMPLE_VALUES, K_SAMPLES};
const std::vector<int> kRelationshipKnown = {
    K_FROM_TABLE, K_LEFT_TABLE, K_SOURCE_TABLE, K_FROM_COLUMN, K_LEFT_COLUMN, K_SOURCE_COLUMN,
    K_TO_TABLE, K_RIGHT_TABLE, K_TARGET_TABLE, K_TO_COLUMN, K_RIGHT_COLUMN, K_TARGET_COLUMN,
    K_RELATIONSHIP_TYPE, K_TYPE, K_DESCRIPTION};

// Sets out to the first present value among keys, or leaves it empty. The
// value is held: truth tests and later str() calls may run code that changes
// the map.
bool first_present(PyObject* map, std::initializer_list<int> keys, Ref& out) {
    out = Ref();
    for (int k : keys) {
        Ref v(Py_XNewRef(PyDict_GetItemWithError(map, K[k])));
        if (!v) {
            if (PyErr_Occurred()) return false;
            continue;
        }
        int present = aw::is_present(v.get());
        if (present < 0) return false;
        if (present) {
            out = std::move(v);
            return true;
        }
    }
    return true;
}

// str() of the first present value, or fallback (a new reference) when none.
PyObject* text_of(PyObject* map, std::initializer_list<int> keys, PyObject* fallback) {
    Ref v;
    if (!first_present(map, keys, v)) return nullptr;
    return v ? PyObject_Str(v.get()) : Py_XNewRef(fallback);
}

// list() of the first present value, or a new empty list.
PyObject* list_of(PyObject* map, std::initializer_list<int> keys) {
    Ref v;
    if (!first_present(map, keys, v)) return nullptr;
    return v ? PySequence_List(v.get()) : PyList_New(0);
}

// The key's value even when not present; None when the key is missing.
PyObject* raw_value(PyObject* map, int key) {
    PyObject* v = PyDict_GetItemWithError(map, K[key]);
    if (!v && PyErr_Occurred()) return nullptr;
    return Py_NewRef(v ? v : Py_None);
}

// Known keys of each map kind, as frozensets for fast membership.
PyObject* kKnownSets[4];
enum KnownKind { KNOWN_CATALOG, KNOWN_TABLE, KNOWN_COLUMN, KNOWN_RELATIONSHIP };

PyObject* extra_of(PyObject* map, KnownKind kind) {
    Ref extra(PyDict_New());
    if (!extra) return nullptr;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(map, &pos, &k, &v)) {
        // held: a str subclass key hashes and compares in Python code, which may change the map
        Ref key = Ref::borrow(k), value = Ref::borrow(v);
        int is_known = PyUnicode_Check(k) ? PySet_Contains(kKnownSets[kind], k) : 0;
        if (is_known < 0) return nullptr;
        if (!is_known && PyDict_SetItem(extra.get(), k, v) < 0) return nullptr;
    }
    return extra.release();
}

bool require_map(PyObject* v, const char* what) {
    if (PyDict_Check(v)) return true;
    PyErr_Format(PyExc_TypeError, "%s must be a map, not %.200s", what, Py_TYPE(v)->tp_name);
    return false;
}

// The list of element maps under key: a list/iterable as given, or a map of
// name -> info turned into maps with name_key first.
PyObject* element_list(PyObject* owner, int key, int name_key, const char* what) {
    Ref raw(Py_XNewRef(PyDict_GetItemWithError(owner, K[key])));  // held while iterated
    if (!raw) return PyErr_Occurred() ? nullptr : PyList_New(0);
    if (!PyDict_Check(raw.get())) {
        if (raw.get() == Py_None) {
            PyErr_Format(PyExc_TypeError, "'%s' must be a list or a map, not None", kKeyNames[key]);
            return nullptr;
        }
        return PySequence_List(raw.get());
    }
    Ref items(PyDict_Items(raw.get()));
    Ref out(items ? PyList_New(0) : nullptr);
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        PyObject* info = PyTuple_GET_ITEM(pair, 1);
        Ref m(PyDict_New());
        if (!m || PyDict_SetItem(m.get(), K[name_key], PyTuple_GET_ITEM(pair, 0)) < 0) return nullptr;
        int present = aw::is_present(info);
        if (present < 0) return nullptr;
        if (present) {
            if (!require_map(info, what) || PyDict_Update(m.get(), info) < 0) return nullptr;
        }
        if (PyList_Append(out.get(), m.get()) < 0) return nullptr;
    }
    return out.release();
}

bool contains(const std::string& s, const char* needle) { return s.find(needle) != std::string::npos; }
bool ends_with(const std::string& s, const char* suffix) {
    size_t n = std::strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Lowercased str() of the first present value, "" when none. false on error.
bool lowered_text(PyObject* map, std::initializer_list<int> keys, std::string& out) {
    Ref t(text_of(map, keys, s_empty));
    if (!t) return false;
    std::string raw = aw::to_utf8(t.get());
    aw::lower_append(raw, out);
    return true;
}

const char* const kRoles[] = {"metric", "dimension", "date", "datetime", "id", "primary_key", "foreign_key",
                              "text", "boolean", "unknown"};

// Returns a static role name, or nullptr with an error set.
const char* infer_role(PyObject* col) {
    Ref role;
    if (!first_present(col, {K_ROLE}, role)) return nullptr;
    if (role) {
        std::string lowered;
        if (!lowered_text(col, {K_ROLE}, lowered)) return nullptr;
        // str.strip(): trim white space in the host's sense
        size_t b = 0, e = lowered.size();
        uint32_t cp;
        while (b < e) {
            size_t len = aw::utf8_next(lowered, b, cp);
            if (!aw::is_space(cp)) break;
            b += len;
        }
        while (e > b) {
            size_t k = e - 1;
            while (k > b && (static_cast<unsigned char>(lowered[k]) & 0xC0) == 0x80) --k;
            aw::utf8_next(lowered, k, cp);
            if (!aw::is_space(cp)) break;
            e = k;
        }
        std::string r = lowered.substr(b, e - b);
        if (r == "measure" || r == "amount" || r == "numeric") return "metric";
        if (r == "category" || r == "group" || r == "label") return "dimension";
        if (r == "timestamp") return "datetime";
        for (const char* known : kRoles)
            if (r == known) return known;
    }
    std::string name, type;
    if (!lowered_text(col, {K_NAME, K_COLUMN_NAME}, name) || !lowered_text(col, {K_TYPE, K_DATA_TYPE}, type))
        return nullptr;
    Ref flag;
    if (!first_present(col, {K_IS_PK, K_PK}, flag)) return nullptr;
    if (flag) return "primary_key";
    if (!first_present(col, {K_IS_FK, K_FK}, flag)) return nullptr;
    if (flag) return "foreign_key";
    if (contains(name, "date") || contains(name, "time") || contains(type, "date") || contains(type, "time"))
        return (contains(type, "time") || contains(type, "datetime") || contains(type, "timestamp")) ? "datetime"
                                                                                                     : "date";
    if (ends_with(name, "_id") || name == "id") return "id";
    for (const char* t : {"int", "float", "decimal", "double", "numeric"})
        if (contains(type, t)) return "metric";
    if (contains(type, "bool")) return "boolean";
    for (const char* t : {"string", "varchar", "text", "lowcardinality"})
        if (contains(type, t)) return "dimension";
    return "unknown";
}

PyObject* build_column(PyObject* raw, PyObject* name_value) {
    const char* role = infer_role(raw);
    if (!role) return nullptr;
    Ref pk, fk;
    if (!first_present(raw, {K_IS_PK, K_PK}, pk) || !first_present(raw, {K_IS_FK, K_FK}, fk)) return nullptr;
    Ref name(PyObject_Str(name_value));
    Ref type(name ? text_of(raw, {K_TYPE, K_DATA_TYPE}, s_empty) : nullptr);
    Ref desc(type ? text_of(raw, {K_DESCRIPTION, K_COMMENT}, s_empty) : nullptr);
    Ref syn(desc ? list_of(raw, {K_SYNONYMS, K_ALIASES}) : nullptr);
    Ref role_s(syn ? PyUnicode_FromString(role) : nullptr);
    Ref tags(role_s ? list_of(raw, {K_TAGS}) : nullptr);
    Ref nullable(tags ? raw_value(raw, K_NULLABLE) : nullptr);
    Ref samples(nullable ? list_of(raw, {K_SAMPLE_VALUES, K_SAMPLES}) : nullptr);
    Ref extra(samples ? extra_of(raw, KNOWN_COLUMN) : nullptr);
    if (!extra) return nullptr;
    return aw::rec_new(ColumnMetaType, {name.release(), type.release(), desc.release(), syn.release(),
                                        role_s.release(), tags.release(), nullable.release(),
                                        Py_NewRef(pk ? Py_True : Py_False), Py_NewRef(fk ? Py_True : Py_False),
                                        samples.release(), extra.release()});
}

// Appends the relationships declared in one map to out.
bool collect_relationships(PyObject* obj, PyObject* out) {
    if (!require_map(obj, "relationship owner")) return false;
    Ref rels;
    if (!first_present(obj, {K_RELATIONSHIPS}, rels)) return false;
    if (!rels && !first_present(obj, {K_JOINS}, rels)) return false;
    if (!rels) return true;
    Ref it(PyObject_GetIter(rels.get()));
    if (!it) return false;
    while (PyObject* item = PyIter_Next(it.get())) {
        Ref raw(item);
        if (!require_map(item, "relationship")) return false;
        Ref ft, fc, tt, tc;
        if (!first_present(item, {K_FROM_TABLE, K_LEFT_TABLE, K_SOURCE_TABLE}, ft) ||
            !first_present(item, {K_FROM_COLUMN, K_LEFT_COLUMN, K_SOURCE_COLUMN}, fc) ||
            !first_present(item, {K_TO_TABLE, K_RIGHT_TABLE, K_TARGET_TABLE}, tt) ||
            !first_present(item, {K_TO_COLUMN, K_RIGHT_COLUMN, K_TARGET_COLUMN}, tc))
            return false;
        if (!ft || !fc || !tt || !tc) continue;
        Ref a(PyObject_Str(ft.get())), b(a ? PyObject_Str(fc.get()) : nullptr), c(b ? PyObject_Str(tt.get()) : nullptr),
            d(c ? PyObject_Str(tc.get()) : nullptr);
        Ref type(d ? text_of(item, {K_RELATIONSHIP_TYPE, K_TYPE}, s_many_to_one) : nullptr);
        Ref desc(type ? text_of(item, {K_DESCRIPTION}, s_empty) : nullptr);
        Ref extra(desc ? extra_of(item, KNOWN_RELATIONSHIP) : nullptr);
        if (!extra) return false;
        Ref rel(aw::rec_new(RelationshipMetaType, {a.release(), b.release(), c.release(), d.release(),
                                                   type.release(), desc.release(), extra.release()}));
        if (!rel || PyList_Append(out, rel.get()) < 0) return false;
    }
    return !PyErr_Occurred();
}

PyObject* build_table(PyObject* raw, PyObject* name_value) {
    Ref raw_columns(element_list(raw, K_COLUMNS, K_NAME, "column info"));
    if (!raw_columns) return nullptr;
    Ref columns(PyList_New(0));
    if (!columns) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw_columns.get()); ++i) {
        PyObject* col = PyList_GET_ITEM(raw_columns.get(), i);
        if (!require_map(col, "column")) return nullptr;
        Ref name;
        if (!first_present(col, {K_NAME, K_COLUMN_NAME, K_COLUMN}, name)) return nullptr;
        if (!name) continue;
        Ref c(build_column(col, name.get()));
        if (!c || PyList_Append(columns.get(), c.get()) < 0) return nullptr;
    }
    Ref name(PyObject_Str(name_value));
    Ref business(name ? text_of(raw, {K_BUSINESS_NAME, K_DISPLAY_NAME}, s_empty) : nullptr);
    Ref desc(business ? text_of(raw, {K_DESCRIPTION, K_COMMENT}, s_empty) : nullptr);
    Ref tags(desc ? list_of(raw, {K_TAGS}) : nullptr);
    Ref date(tags ? raw_value(raw, K_DEFAULT_DATE) : nullptr);
    Ref metric(date ? raw_value(raw, K_DEFAULT_METRIC) : nullptr);
    Ref rows(metric ? raw_value(raw, K_ROW_COUNT) : nullptr);
    Ref extra(rows ? extra_of(raw, KNOWN_TABLE) : nullptr);
    if (!extra) return nullptr;
    return aw::rec_new(TableMetaType, {name.release(), business.release(), desc.release(), tags.release(),
                                       columns.release(), date.release(), metric.release(), rows.release(),
                                       extra.release()});
}

PyObject* normalize(PyObject* catalog, PyObject* database) {
    if (!PyDict_Check(catalog)) {
        PyErr_Format(PyExc_TypeError, "catalog must be a dict, not %.200s", Py_TYPE(catalog)->tp_name);
        return nullptr;
    }
    if (database != Py_None && !PyUnicode_Check(database)) {
        PyErr_Format(PyExc_TypeError, "database must be str or None, not %.200s", Py_TYPE(database)->tp_name);
        return nullptr;
    }
    Ref db;
    int present = aw::is_present(database);
    if (present) db = Ref(PyObject_Str(database));
    else db = Ref(text_of(catalog, {K_DATABASE, K_DATABASE_NAME, K_DB}, s_empty));
    if (!db) return nullptr;
    Ref raw_tables(element_list(catalog, K_TABLES, K_TABLE_NAME, "table info"));
    if (!raw_tables) return nullptr;
    Ref tables(PyList_New(0));
    if (!tables) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw_tables.get()); ++i) {
        PyObject* raw = PyList_GET_ITEM(raw_tables.get(), i);
        if (!require_map(raw, "table")) return nullptr;
        Ref name;
        if (!first_present(raw, {K_TABLE_NAME, K_NAME, K_TABLE, K_SOURCE}, name)) return nullptr;
        if (!name) continue;
        Ref t(build_table(raw, name.get()));
        if (!t || PyList_Append(tables.get(), t.get()) < 0) return nullptr;
    }
    Ref rels(PyList_New(0));
    if (!rels || !collect_relationships(catalog, rels.get())) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw_tables.get()); ++i)
        if (!collect_relationships(PyList_GET_ITEM(raw_tables.get(), i), rels.get())) return nullptr;
    Ref extra(extra_of(catalog, KNOWN_CATALOG));
    if (!extra) return nullptr;
    return aw::rec_new(MetadataCatalogType, {db.release(), tables.release(), rels.release(), extra.release()});
}

PyObject* py_normalize(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"catalog", "database", nullptr};
    PyObject *catalog, *database = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:normalize", const_cast<char**>(kw), &catalog, &database))
        return nullptr;
    return normalize(catalog, database);
}

PyObject* py_infer_role(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"raw_col", nullptr};
    PyObject* col;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_infer_role", const_cast<char**>(kw), &col)) return nullptr;
    if (!require_map(col, "raw_col")) return nullptr;
    const char* role = infer_role(col);
    return role ? PyUnicode_FromString(role) : nullptr;
}

PyObject* py_normalize_relationships(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"obj", nullptr};
    PyObject* obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_normalize_relationships", const_cast<char**>(kw), &obj))
        return nullptr;
    Ref out(PyList_New(0));
    if (!out || !collect_relationships(obj, out.get())) return nullptr;
    return out.release();
}


PyMethodDef column_methods[] = {
    {"searchable_text", AW_KW(py_column_searchable_text),
     "searchable_text($self, /, table_name='', table_business_name='')\n--\n\n"
     "One line of search text for this column, labelled segment by segment."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef table_methods[] = {
    {"searchable_text", AW_FN(py_table_searchable_text), METH_NOARGS,
     "searchable_text($self, /)\n--\n\nOne line of search text for this table and its columns."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef relationship_methods[] = {
    {"involves", AW_KW(relationship_involves),
     "involves($self, /, table_names)\n--\n\nTrue when both ends lie in table_names."},
    {"touches", AW_KW(relationship_touches),
     "touches($self, /, table_names)\n--\n\nTrue when either end lies in table_names."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef catalog_methods[] = {
    {"to_prompt_dict", AW_FN(catalog_to_prompt_dict), METH_NOARGS,
     "to_prompt_dict($self, /)\n--\n\nThe catalog as a plain map (deep copies of column and relationship maps)."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef normalizer_methods[] = {
    {"normalize", AW_KW(py_normalize) | METH_STATIC,
     "normalize(catalog, database=None)\n--\n\nBuild a MetadataCatalog from a loose catalog map."},
    {"_infer_role", AW_KW(py_infer_role) | METH_STATIC,
     "_infer_role(raw_col)\n--\n\nThe ColumnRole of one loose column map."},
    {"_normalize_relationships", AW_KW(py_normalize_relationships) | METH_STATIC,
     "_normalize_relationships(obj)\n--\n\nThe RelationshipMeta records declared in one map."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

bool init_catalog(PyObject* module) {
    using aw::FieldSpec;
    s_space = PyUnicode_InternFromString(" ");
    s_empty = PyUnicode_InternFromString("");
    s_many_to_one = PyUnicode_InternFromString("many_to_one");
    if (!s_space || !s_empty || !s_many_to_one) return false;
    if (!aw::add_literal(module, "ColumnRole", {"metric", "dimension", "date", "datetime", "id", "primary_key",
                                                 "foreign_key", "text", "boolean", "unknown"}))
        return false;
    for (int i = 0; i < K_COUNT; ++i)
        if (!(K[i] = PyUnicode_InternFromString(kKeyNames[i]))) return false;
    const std::vector<int>* known[] = {&kCatalogKnown, &kTableKnown, &kColumnKnown, &kRelationshipKnown};
    for (int kind = 0; kind < 4; ++kind) {
        Ref set(PyFrozenSet_New(nullptr));
        if (!set) return false;
        for (int key : *known[kind])
            if (PySet_Add(set.get(), K[key]) < 0) return false;
        kKnownSets[kind] = set.release();
    }

    ColumnMetaType = aw::make_record_type(
        module, "askweave.schemasift.ColumnMeta", "One column of a table.",
        {FieldSpec::required("name"), FieldSpec::str("type", ""), FieldSpec::str("description", ""),
         FieldSpec::list("synonyms"), FieldSpec::str("role", "unknown"), FieldSpec::list("tags"),
         FieldSpec::none("nullable"), FieldSpec::boolean("is_primary_key", false),
         FieldSpec::boolean("is_foreign_key", false), FieldSpec::list("sample_values"), FieldSpec::dict("extra")},
        column_methods);
    TableMetaType = aw::make_record_type(
        module, "askweave.schemasift.TableMeta", "One table or view of the catalog.",
        {FieldSpec::required("table_name"), FieldSpec::str("business_name", ""), FieldSpec::str("description", ""),
         FieldSpec::list("tags"), FieldSpec::list("columns"), FieldSpec::none("default_date_column"),
         FieldSpec::none("default_metric_column"), FieldSpec::none("row_count"), FieldSpec::dict("extra")},
        table_methods);
    RelationshipMetaType = aw::make_record_type(
        module, "askweave.schemasift.RelationshipMeta", "One join path between two tables.",
        {FieldSpec::required("from_table"), FieldSpec::required("from_column"), FieldSpec::required("to_table"),
         FieldSpec::required("to_column"), FieldSpec::str("relationship_type", "many_to_one"),
         FieldSpec::str("description", ""), FieldSpec::dict("extra")},
        relationship_methods);
    MetadataCatalogType = aw::make_record_type(
        module, "askweave.schemasift.MetadataCatalog", "The whole catalog: tables and relationships.",
        {FieldSpec::str("database", ""), FieldSpec::list("tables"), FieldSpec::list("relationships"),
         FieldSpec::dict("extra")},
        catalog_methods);
    if (!ColumnMetaType || !TableMetaType || !RelationshipMetaType || !MetadataCatalogType) return false;

    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Accepts flexible catalog shapes and converts them to MetadataCatalog.")},
        {Py_tp_methods, normalizer_methods},
        {0, nullptr}};
    static PyType_Spec spec = {"askweave.schemasift.CatalogNormalizer", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                               slots};
    Ref normalizer(PyType_FromSpec(&spec));
    if (!normalizer || PyModule_AddObjectRef(module, "CatalogNormalizer", normalizer.get()) < 0) return false;
    Ref roles(PyTuple_New(10));
    if (!roles) return false;
    for (int i = 0; i < 10; ++i) PyTuple_SET_ITEM(roles.get(), i, PyUnicode_FromString(kRoles[i]));
    return PyModule_AddObjectRef(module, "COLUMN_ROLES", roles.get()) == 0;
}

}  // namespace sift

namespace sift {

namespace {
PyObject* json_convert(PyObject* v) { return aw::is_record(v) ? record_as_dict(v) : nullptr; }

// A map with fixed keys: the written prefix of each member ("{"name": ",
// ", "type": ", ...) is prepared once per call, in the requested key order.
struct FixedMap {
    std::vector<std::string> prefix;
    std::vector<int> field;
    FixedMap(const char* const* names, const int* order, int n) {
        for (int k = 0; k < n; ++k) {
            prefix.push_back(std::string(k ? ", \"" : "{\"") + names[order[k]] + "\": ");
            field.push_back(order[k]);
        }
    }
};

bool write_value(aw::JsonBuf& out, PyObject* v, const aw::JsonOptions& opt) {
    return aw::json_write_simple(out, v, false) || aw::json_write(out, v, opt);
}

bool write_record(aw::JsonBuf& out, PyObject* rec, PyTypeObject* type, const FixedMap& m,
                  const aw::JsonOptions& opt) {
    if (!aw::rec_check(rec, type)) {
        PyErr_Format(PyExc_TypeError, "expected %s, got %.200s", type->tp_name, Py_TYPE(rec)->tp_name);
        return false;
    }
    for (size_t k = 0; k < m.field.size(); ++k) {
        Ref v(Py_XNewRef(aw::rec_get(rec, m.field[k])));  // held: a default=str hook may replace it
        if (!v) return false;
        out.put(m.prefix[k]);
        if (!write_value(out, v.get(), opt)) return false;
    }
    out.put('}');
    return true;
}

// Writes the items of an iterable with fn, as a JSON list.
template <class Fn>
bool write_list(aw::JsonBuf& out, PyObject* iterable, Fn&& fn) {
    Ref list(PyList_CheckExact(iterable) ? Ref::borrow(iterable) : Ref(PySequence_List(iterable)));
    if (!list) return false;
    out.put('[');
    // A default=str hook may run Python code: re-read the size, hold the item.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        if (i) out.put(", ", 2);
        Ref item = Ref::borrow(PyList_GET_ITEM(list.get(), i));
        if (!fn(item.get())) return false;
    }
    out.put(']');
    return true;
}
}  // namespace

bool catalog_prompt_json(PyObject* catalog, bool sorted, aw::JsonBuf& out, JsonSink* sink) {
    static const char* const col_names[] = {"name", "type", "description", "synonyms", "role", "tags", "nullable",
                                            "is_primary_key", "is_foreign_key", "sample_values", "extra"};
    static const int col_plain[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    static const int col_sorted[] = {C_DESCRIPTION, C_EXTRA, C_IS_FK, C_IS_PK, C_NAME, C_NULLABLE, C_ROLE,
                                     C_SAMPLE_VALUES, C_SYNONYMS, C_TAGS, C_TYPE};
    static const char* const rel_names[] = {"from_table", "from_column", "to_table", "to_column",
                                            "relationship_type", "description", "extra"};
    static const int rel_plain[] = {0, 1, 2, 3, 4, 5, 6};
    static const int rel_sorted[] = {R_DESCRIPTION, R_EXTRA, R_FROM_COLUMN, R_FROM_TABLE, R_TYPE, R_TO_COLUMN,
                                     R_TO_TABLE};
    static const char* const table_names[] = {"table_name", "business_name", "description", "tags", "columns",
                                              "default_date_column", "default_metric_column", "row_count", "extra"};
    static const int table_plain[] = {T_TABLE_NAME, T_BUSINESS_NAME, T_DESCRIPTION, T_COLUMNS, T_DEFAULT_DATE,
                                      T_DEFAULT_METRIC, T_ROW_COUNT};
    static const int table_sorted[] = {T_BUSINESS_NAME, T_COLUMNS, T_DEFAULT_DATE, T_DEFAULT_METRIC,
                                       T_DESCRIPTION, T_ROW_COUNT, T_TABLE_NAME};
    aw::JsonOptions opt;
    opt.ensure_ascii = false;
    opt.default_str = true;
    opt.sort_keys = sorted;
    opt.convert = json_convert;
    opt.cycles_as_recursion = true;  // the prompt map is a deep copy first
    static const FixedMap col_maps[2] = {{col_names, col_plain, 11}, {col_names, col_sorted, 11}};
    static const FixedMap rel_maps[2] = {{rel_names, rel_plain, 7}, {rel_names, rel_sorted, 7}};
    static const FixedMap table_maps[2] = {{table_names, table_plain, 7}, {table_names, table_sorted, 7}};
    const FixedMap& cols = col_maps[sorted];
    const FixedMap& rels_map = rel_maps[sorted];
    const FixedMap& tables_map = table_maps[sorted];

    auto table = [&](PyObject* t) {
        if (!aw::rec_check(t, TableMetaType)) {
            PyErr_Format(PyExc_TypeError, "expected TableMeta, got %.200s", Py_TYPE(t)->tp_name);
            return false;
        }
        for (size_t k = 0; k < tables_map.field.size(); ++k) {
            Ref v(Py_XNewRef(aw::rec_get(t, tables_map.field[k])));  // held, as in write_record
            if (!v) return false;
            out.put(tables_map.prefix[k]);
            bool ok = tables_map.field[k] == T_COLUMNS
                          ? write_list(out, v.get(), [&](PyObject* c) { return write_record(out, c, ColumnMetaType, cols, opt); })
                          : write_value(out, v.get(), opt);
            if (!ok) return false;
        }
        out.put('}');
        // Between tables we hold only our own references: a sink may let
        // other threads run.
        if (sink && out.size() >= sink->piece_size) {
            sink->consume(out.view());
            out.clear();
        }
        return true;
    };
    auto relationships = [&](PyObject* rels) {
        return write_list(out, rels, [&](PyObject* r) { return write_record(out, r, RelationshipMetaType, rels_map, opt); });
    };
    // Held: Python code run while writing (or by other threads) may replace them.
    Ref db(Py_XNewRef(aw::rec_get(catalog, M_DATABASE)));
    Ref tables(db ? Py_XNewRef(aw::rec_get(catalog, M_TABLES)) : nullptr);
    Ref rels(tables ? Py_XNewRef(aw::rec_get(catalog, M_RELATIONSHIPS)) : nullptr);
    if (!rels) return false;
    out.reserve(1 << 16);
    out.put("{\"database\": ");
    if (!write_value(out, db.get(), opt)) return false;
    if (sorted) {
        out.put(", \"relationships\": ");
        if (!relationships(rels.get())) return false;
        out.put(", \"tables\": ");
        if (!write_list(out, tables.get(), table)) return false;
    } else {
        out.put(", \"tables\": ");
        if (!write_list(out, tables.get(), table)) return false;
        out.put(", \"relationships\": ");
        if (!relationships(rels.get())) return false;
    }
    out.put('}');
    return true;
}

}  // namespace sift
