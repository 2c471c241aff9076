// Catalog records (columns, tables, relationships, catalog), their search
// texts and prompt dictionary, and the normalizer for loose catalog maps.
#include "schemasift/core.hpp"

#include "common/asdict.hpp"
#include "common/json.hpp"
#include "common/pytext.hpp"
#include "common/record.hpp"
#include "core/unicode.hpp"

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
PyObject *s_space, *s_empty, *s_many_to_one;

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
    Ref columns(aw::private_list(f[T_COLUMNS].get()));
    if (!columns) return false;
    const Py_ssize_t n = PyList_GET_SIZE(columns.get()), head = n < 50 ? n : 50;
    // " ".join(<field> of each column), the field read from every column first
    auto put_fields = [&](const char* label, Py_ssize_t count, int index, const char* name, bool joined) {
        Ref values(aw::untracked(PyList_New(count)));  // filled while fields are read and formatted
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

PyObject* record_as_dict(PyObject* rec) { return aw::AsDict(" while copying catalog values").record(rec); }

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
        Ref c(v ? aw::deep_copy(v.get()) : nullptr);
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

// A loose map and the known keys it may hold. Most maps hold few of the
// keys the rules try, so when reading a map can run no caller code (exact
// str keys, values of built-in kinds) one pass finds the keys it holds and
// the absent ones cost no lookup; otherwise every key is looked up.
struct LooseMap {
    PyObject* map;
    uint64_t present = ~uint64_t(0);
    bool is_scanned = false;
    uint64_t keys_known = 0;    // when scanned: the known keys among its keys
    bool only_known = false;    // when scanned: every key is a known one
    PyObject* values[K_COUNT];  // when scanned: the value of each key present (held)

    LooseMap(PyObject* m) : map(m) {}  // NOLINT: any map may hold every key
    LooseMap(const LooseMap&) = delete;
    LooseMap& operator=(const LooseMap&) = delete;
    ~LooseMap() {
        if (is_scanned)
            for (int k = 0; k < K_COUNT; ++k)
                if (may_hold(k)) Py_DECREF(values[k]);
    }
    bool may_hold(int k) const { return (present >> k) & 1; }
    // The key's value (borrowed), or null with no error when it is missing.
    PyObject* get(int k) const {
        if (!may_hold(k)) return nullptr;
        return is_scanned ? values[k] : PyDict_GetItemWithError(map, K[k]);
    }
};
static_assert(K_COUNT <= 64, "one bit a key");

// The index of a known key equal to the exact str k, or -1.
int known_key(PyObject* k) {
    static int slots[256];
    static Py_hash_t hashes[K_COUNT];
    static bool made = false;
    if (!made) {
        for (int& x : slots) x = -1;
        for (int i = 0; i < K_COUNT; ++i) {
            hashes[i] = PyObject_Hash(K[i]);
            size_t h = static_cast<size_t>(hashes[i]) & 255;
            while (slots[h] >= 0) h = (h + 1) & 255;
            slots[h] = i;
        }
        made = true;
    }
    const Py_hash_t hash = PyObject_Hash(k);  // cached for a str, and no caller code for an exact one
    for (size_t h = static_cast<size_t>(hash) & 255; slots[h] >= 0; h = (h + 1) & 255) {
        const int i = slots[h];
        if (K[i] == k || (hashes[i] == hash && aw::same_text(K[i], k))) return i;
    }
    return -1;
}

bool plain_scalar_value(PyObject* v) {
    return PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyBool_Check(v) ||
           v == Py_None;
}

// A value whose str(), truth and list() run no caller code: a plain scalar,
// or an exact list, tuple or dict of plain scalars (their str() shows items).
bool builtin_value(PyObject* v) {
    if (plain_scalar_value(v)) return true;
    if (PyList_CheckExact(v) || PyTuple_CheckExact(v)) {
        for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(v); i < n; ++i)
            if (!plain_scalar_value(PySequence_Fast_GET_ITEM(v, i))) return false;
        return true;
    }
    if (!PyDict_CheckExact(v)) return false;
    Py_ssize_t pos = 0;
    PyObject *k, *x;
    while (PyDict_Next(v, &pos, &k, &x))
        if (!plain_scalar_value(k) || !plain_scalar_value(x)) return false;
    return true;
}

void scan(LooseMap& m) {
    if (!PyDict_CheckExact(m.map)) return;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    uint64_t bits = 0;
    bool only_known = true;
    // One pass; no caller code runs in it, so the map cannot change meanwhile.
    while (PyDict_Next(m.map, &pos, &k, &v)) {
        if (!PyUnicode_CheckExact(k) || !builtin_value(v)) {
            for (int i = 0; i < K_COUNT; ++i)
                if ((bits >> i) & 1) Py_DECREF(m.values[i]);
            return;
        }
        int i = known_key(k);
        if (i < 0) {
            only_known = false;
            continue;
        }
        bits |= uint64_t(1) << i;
        m.values[i] = Py_NewRef(v);
    }
    m.present = m.keys_known = bits;
    m.only_known = only_known;
    m.is_scanned = true;
}

// Sets out to the first present value among keys, or leaves it empty. The
// value is held: truth tests and later str() calls may run code that changes
// the map.
bool first_present(const LooseMap& m, std::initializer_list<int> keys, Ref& out) {
    out = Ref();
    if (m.is_scanned) {  // plain values: their truth runs no caller code
        for (int k : keys) {
            if (!m.may_hold(k)) continue;
            const int present = aw::is_present(m.values[k]);
            if (present < 0) return false;
            if (present) {
                out = Ref::borrow(m.values[k]);
                return true;
            }
        }
        return true;
    }
    for (int k : keys) {
        Ref v(Py_XNewRef(m.get(k)));
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
PyObject* text_of(const LooseMap& map, std::initializer_list<int> keys, PyObject* fallback) {
    Ref v;
    if (!first_present(map, keys, v)) return nullptr;
    return v ? PyObject_Str(v.get()) : Py_XNewRef(fallback);
}


// The key's value even when not present; None when the key is missing.
PyObject* raw_value(const LooseMap& m, int key) {
    PyObject* v = m.get(key);
    if (!v && PyErr_Occurred()) return nullptr;
    return Py_NewRef(v ? v : Py_None);
}

// Known keys of each map kind, as frozensets for fast membership.
PyObject* kKnownSets[4];
uint64_t kKnownMasks[4];
enum KnownKind { KNOWN_CATALOG, KNOWN_TABLE, KNOWN_COLUMN, KNOWN_RELATIONSHIP };


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
        return aw::private_list(raw.get());
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

// Lowercased text with the set of ASCII letters it holds, so that most
// substring tests fail without a search.
struct Lowered {
    std::string text;
    aw::AsciiSet chars;
    void done() { chars = aw::AsciiSet(text); }
};

bool contains(const Lowered& s, std::string_view needle, const aw::AsciiSet& needle_chars) {
    return s.chars.covers(needle_chars) && s.text.find(needle) != std::string::npos;
}
#define CONTAINS(s, lit) contains(s, lit, [] { constexpr aw::AsciiSet k{std::string_view(lit)}; return k; }())

bool ends_with(const std::string& s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Appends str(v).lower(). false on error.
bool lower_str(PyObject* v, std::string& out) {
    Ref t(PyUnicode_CheckExact(v) ? Ref::borrow(v) : Ref(PyObject_Str(v)));  // str() of a str is itself
    if (!t) return false;
    aw::TextView text(t.get());
    aw::lower_append(text.view, out);
    return true;
}

// Lowercased str() of the first present value, "" when none. false on error.
bool lowered_text(const LooseMap& map, std::initializer_list<int> keys, std::string& out) {
    Ref v;
    if (!first_present(map, keys, v)) return false;
    out.clear();
    return !v || lower_str(v.get(), out);
}

const char* const kRoles[] = {"metric", "dimension", "date", "datetime", "id", "primary_key", "foreign_key",
                              "text", "boolean", "unknown"};

// role (one of kRoles) as a str, made once.
PyObject* role_str(const char* role) {
    static PyObject* made[std::size(kRoles)];  // interned: they live as long as the process
    for (size_t i = 0; i < std::size(kRoles); ++i)
        if (kRoles[i] == role) return Py_XNewRef(made[i] ? made[i] : (made[i] = aw::interned(role)));
    return PyUnicode_FromString(role);
}

// Returns a static role name, or nullptr with an error set.
const char* infer_role(const LooseMap& col) {
    Ref role;
    if (!first_present(col, {K_ROLE}, role)) return nullptr;
    // `if explicit:` tests the value found once more, then reads str() of it
    const int explicit_role = role ? aw::is_present(role.get()) : 0;
    if (explicit_role < 0) return nullptr;
    if (explicit_role) {
        std::string lowered;
        if (!lower_str(role.get(), lowered)) return nullptr;
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
        const std::string_view r = std::string_view(lowered).substr(b, e - b);
        if (r == "measure" || r == "amount" || r == "numeric") return "metric";
        if (r == "category" || r == "group" || r == "label") return "dimension";
        if (r == "timestamp") return "datetime";
        for (const char* known : kRoles)
            if (r == std::string_view(known)) return known;
    }
    Lowered name, type;
    if (!lowered_text(col, {K_NAME, K_COLUMN_NAME}, name.text) || !lowered_text(col, {K_TYPE, K_DATA_TYPE}, type.text))
        return nullptr;
    name.done();
    type.done();
    Ref flag;
    if (!first_present(col, {K_IS_PK, K_PK}, flag)) return nullptr;
    if (flag) return "primary_key";
    if (!first_present(col, {K_IS_FK, K_FK}, flag)) return nullptr;
    if (flag) return "foreign_key";
    if (CONTAINS(name, "date") || CONTAINS(name, "time") || CONTAINS(type, "date") || CONTAINS(type, "time"))
        return (CONTAINS(type, "time") || CONTAINS(type, "datetime") || CONTAINS(type, "timestamp")) ? "datetime"
                                                                                                     : "date";
    if (ends_with(name.text, "_id") || name.text == "id") return "id";
    if (CONTAINS(type, "int") || CONTAINS(type, "float") || CONTAINS(type, "decimal") || CONTAINS(type, "double") ||
        CONTAINS(type, "numeric"))
        return "metric";
    if (CONTAINS(type, "bool")) return "boolean";
    if (CONTAINS(type, "string") || CONTAINS(type, "varchar") || CONTAINS(type, "text") ||
        CONTAINS(type, "lowcardinality"))
        return "dimension";
    return "unknown";
}

// The readers below give the field values of each record in the order the
// normalizing rules read the map (str(), truth tests and list() may run
// caller code); empty lists and maps stay null, see Fields.

// list() of the first present value; null when none. The copy is ours alone
// until the call ends.
bool items_of(const LooseMap& map, std::initializer_list<int> keys, Ref& out, ReadCopies& copies) {
    Ref v;
    if (!first_present(map, keys, v)) return false;
    out = v ? Ref(PySequence_List(v.get())) : Ref();
    if (out) copies.add(out.get());
    return !v || bool(out);
}

// The map of unknown keys; null while there are none. Like a list read, it is
// ours alone until the call ends.
bool extra_of(const LooseMap& m, KnownKind kind, Ref& out, ReadCopies& copies) {
    out = Ref();
    // a scanned map of known keys only, all known to its kind, has none
    if (m.is_scanned && m.only_known && (m.keys_known & ~kKnownMasks[kind]) == 0) return true;
    PyObject* map = m.map;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(map, &pos, &k, &v)) {
        // held: a str subclass key hashes and compares in Python code, which may change the map
        Ref key = Ref::borrow(k), value = Ref::borrow(v);
        int is_known = PyUnicode_Check(k) ? PySet_Contains(kKnownSets[kind], k) : 0;
        if (is_known < 0) return false;
        if (is_known) continue;
        if (!out && !(out = Ref(PyDict_New()))) return false;
        if (PyDict_SetItem(out.get(), k, v) < 0) return false;
    }
    if (out) copies.add(out.get());
    return true;
}

bool read_column(const LooseMap& raw, PyObject* name_value, ColumnFields& f, ReadCopies& copies) {
    const char* role = infer_role(raw);
    if (!role) return false;
    Ref pk, fk;
    if (!first_present(raw, {K_IS_PK, K_PK}, pk) || !first_present(raw, {K_IS_FK, K_FK}, fk)) return false;
    f[C_NAME] = Ref(PyObject_Str(name_value));
    if (!f[C_NAME] || !(f[C_TYPE] = Ref(text_of(raw, {K_TYPE, K_DATA_TYPE}, s_empty))) ||
        !(f[C_DESCRIPTION] = Ref(text_of(raw, {K_DESCRIPTION, K_COMMENT}, s_empty))) ||
        !items_of(raw, {K_SYNONYMS, K_ALIASES}, f[C_SYNONYMS], copies) || !(f[C_ROLE] = Ref(role_str(role))) ||
        !items_of(raw, {K_TAGS}, f[C_TAGS], copies) || !(f[C_NULLABLE] = Ref(raw_value(raw, K_NULLABLE))))
        return false;
    f[C_IS_PK] = Ref::borrow(pk ? Py_True : Py_False);
    f[C_IS_FK] = Ref::borrow(fk ? Py_True : Py_False);
    return items_of(raw, {K_SAMPLE_VALUES, K_SAMPLES}, f[C_SAMPLE_VALUES], copies) &&
           extra_of(raw, KNOWN_COLUMN, f[C_EXTRA], copies);
}

// Appends the relationships declared in one map to out.
bool read_relationships(PyObject* obj, std::vector<RelationshipFields>& out, ReadCopies& copies) {
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
        LooseMap m(item);
        scan(m);
        Ref ft, fc, tt, tc;
        if (!first_present(m, {K_FROM_TABLE, K_LEFT_TABLE, K_SOURCE_TABLE}, ft) ||
            !first_present(m, {K_FROM_COLUMN, K_LEFT_COLUMN, K_SOURCE_COLUMN}, fc) ||
            !first_present(m, {K_TO_TABLE, K_RIGHT_TABLE, K_TARGET_TABLE}, tt) ||
            !first_present(m, {K_TO_COLUMN, K_RIGHT_COLUMN, K_TARGET_COLUMN}, tc))
            return false;
        if (!ft || !fc || !tt || !tc) continue;
        RelationshipFields f;
        if (!(f[R_FROM_TABLE] = Ref(PyObject_Str(ft.get()))) || !(f[R_FROM_COLUMN] = Ref(PyObject_Str(fc.get()))) ||
            !(f[R_TO_TABLE] = Ref(PyObject_Str(tt.get()))) || !(f[R_TO_COLUMN] = Ref(PyObject_Str(tc.get()))) ||
            !(f[R_TYPE] = Ref(text_of(m, {K_RELATIONSHIP_TYPE, K_TYPE}, s_many_to_one))) ||
            !(f[R_DESCRIPTION] = Ref(text_of(m, {K_DESCRIPTION}, s_empty))) ||
            !extra_of(m, KNOWN_RELATIONSHIP, f[R_EXTRA], copies))
            return false;
        out.push_back(std::move(f));
    }
    return !PyErr_Occurred();
}

bool read_table(PyObject* raw, PyObject* name_value, LooseTable& t, ReadCopies& copies) {
    Ref raw_columns(element_list(raw, K_COLUMNS, K_NAME, "column info"));
    if (!raw_columns) return false;
    t.columns.reserve(static_cast<size_t>(PyList_GET_SIZE(raw_columns.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw_columns.get()); ++i) {
        PyObject* col = PyList_GET_ITEM(raw_columns.get(), i);
        if (!require_map(col, "column")) return false;
        LooseMap m(col);
        scan(m);
        Ref name;
        if (!first_present(m, {K_NAME, K_COLUMN_NAME, K_COLUMN}, name)) return false;
        if (!name) continue;
        t.columns.emplace_back();
        if (!read_column(m, name.get(), t.columns.back(), copies)) return false;
    }
    // scanned only now: reading the columns may have run code that changed the map
    LooseMap table(raw);
    scan(table);
    TableFields& f = t.fields;
    f[T_TABLE_NAME] = Ref(PyObject_Str(name_value));
    return f[T_TABLE_NAME] &&
           (f[T_BUSINESS_NAME] = Ref(text_of(table, {K_BUSINESS_NAME, K_DISPLAY_NAME}, s_empty))) &&
           (f[T_DESCRIPTION] = Ref(text_of(table, {K_DESCRIPTION, K_COMMENT}, s_empty))) &&
           items_of(table, {K_TAGS}, f[T_TAGS], copies) && (f[T_DEFAULT_DATE] = Ref(raw_value(table, K_DEFAULT_DATE))) &&
           (f[T_DEFAULT_METRIC] = Ref(raw_value(table, K_DEFAULT_METRIC))) &&
           (f[T_ROW_COUNT] = Ref(raw_value(table, K_ROW_COUNT))) && extra_of(table, KNOWN_TABLE, f[T_EXTRA], copies);
}

// A field value for a record: null (an empty list or map) becomes a fresh one.
PyObject* value_for_record(const Ref& v, bool is_map) {
    if (v) return Py_NewRef(v.get());
    return is_map ? PyDict_New() : PyList_New(0);
}

}  // namespace

bool read_loose_catalog(PyObject* catalog, PyObject* database, LooseCatalog& out) {
    if (!PyDict_Check(catalog)) {
        PyErr_Format(PyExc_TypeError, "catalog must be a dict, not %.200s", Py_TYPE(catalog)->tp_name);
        return false;
    }
    if (database != Py_None && !PyUnicode_Check(database)) {
        PyErr_Format(PyExc_TypeError, "database must be str or None, not %.200s", Py_TYPE(database)->tp_name);
        return false;
    }
    int present = aw::is_present(database);
    if (present < 0) return false;
    if (present) out.database = Ref(PyObject_Str(database));
    else out.database = Ref(text_of(catalog, {K_DATABASE, K_DATABASE_NAME, K_DB}, s_empty));
    if (!out.database) return false;
    Ref raw_tables(element_list(catalog, K_TABLES, K_TABLE_NAME, "table info"));
    if (!raw_tables) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw_tables.get()); ++i) {
        PyObject* raw = PyList_GET_ITEM(raw_tables.get(), i);
        if (!require_map(raw, "table")) return false;
        Ref name;
        if (!first_present(raw, {K_TABLE_NAME, K_NAME, K_TABLE, K_SOURCE}, name)) return false;
        if (!name) continue;
        out.tables.emplace_back();
        if (!read_table(raw, name.get(), out.tables.back(), out.copies)) return false;
    }
    if (!read_relationships(catalog, out.relationships, out.copies)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(raw_tables.get()); ++i)
        if (!read_relationships(PyList_GET_ITEM(raw_tables.get(), i), out.relationships, out.copies)) return false;
    return extra_of(catalog, KNOWN_CATALOG, out.extra, out.copies);
}

PyObject* make_column(const ColumnFields& f) {
    PyObject* v[C_COUNT];
    for (int i = 0; i < C_COUNT; ++i) v[i] = value_for_record(f[i], i == C_EXTRA);
    return aw::rec_new(ColumnMetaType, {v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9], v[10]});
}

PyObject* make_table(const TableFields& f, PyObject* columns) {
    PyObject* v[T_COUNT];
    for (int i = 0; i < T_COUNT; ++i)
        v[i] = i == T_COLUMNS ? Py_NewRef(columns) : value_for_record(f[i], i == T_EXTRA);
    return aw::rec_new(TableMetaType, {v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8]});
}

PyObject* make_relationship(const RelationshipFields& f) {
    PyObject* v[R_COUNT];
    for (int i = 0; i < R_COUNT; ++i) v[i] = value_for_record(f[i], i == R_EXTRA);
    return aw::rec_new(RelationshipMetaType, {v[0], v[1], v[2], v[3], v[4], v[5], v[6]});
}

namespace {

PyObject* normalize(PyObject* catalog, PyObject* database) {
    LooseCatalog loose;
    if (!read_loose_catalog(catalog, database, loose)) return nullptr;
    Ref tables(PyList_New(0));
    if (!tables) return nullptr;
    for (const LooseTable& t : loose.tables) {
        Ref columns(PyList_New(0));
        if (!columns) return nullptr;
        for (const ColumnFields& c : t.columns) {
            Ref col(make_column(c));
            if (!col || PyList_Append(columns.get(), col.get()) < 0) return nullptr;
        }
        Ref table(make_table(t.fields, columns.get()));
        if (!table || PyList_Append(tables.get(), table.get()) < 0) return nullptr;
    }
    Ref rels(PyList_New(0));
    if (!rels) return nullptr;
    for (const RelationshipFields& r : loose.relationships) {
        Ref rel(make_relationship(r));
        if (!rel || PyList_Append(rels.get(), rel.get()) < 0) return nullptr;
    }
    Ref extra(value_for_record(loose.extra, true));
    if (!extra) return nullptr;
    return aw::rec_new(MetadataCatalogType,
                       {loose.database.release(), tables.release(), rels.release(), extra.release()});
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
    ReadCopies copies;  // outlives the fields
    std::vector<RelationshipFields> rels;
    if (!read_relationships(obj, rels, copies)) return nullptr;
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    for (const RelationshipFields& r : rels) {
        Ref rel(make_relationship(r));
        if (!rel || PyList_Append(out.get(), rel.get()) < 0) return nullptr;
    }
    return out.release();
}


PyMethodDef column_methods[] = {
    {"searchable_text", AW_KW(py_column_searchable_text),
     "searchable_text($self, /, table_name='', table_business_name='')\n--\n\n"
     "One line of search text for this column, labelled segment by segment.\n"
     "\n"
     "The segments \"table\", \"table business name\", \"column\", \"type\",\n"
     "\"description\", \"synonyms\", \"role\", \"tags\" and \"sample values\" (the\n"
     "first 10, as str()) are joined by single spaces. Scoring compares the\n"
     "question with this text. table_name and table_business_name fill the\n"
     "first two segments (default \"\": the labels alone).\n"
     "\n"
     "Raises:\n"
     "    TypeError: a synonym or tag is not a str."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef table_methods[] = {
    {"searchable_text", AW_FN(py_table_searchable_text), METH_NOARGS,
     "searchable_text($self, /)\n--\n\n"
     "One line of search text for this table and its columns.\n"
     "\n"
     "The segments \"table\", \"business name\", \"description\", \"tags\",\n"
     "\"columns\" (every column name), \"column descriptions\" and \"column\n"
     "synonyms\" (the first 50 columns), \"default date column\" and \"default\n"
     "metric column\" are joined by single spaces.\n"
     "\n"
     "Raises:\n"
     "    TypeError: a tag, synonym, column name or description is not a str."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef relationship_methods[] = {
    {"involves", AW_KW(relationship_involves),
     "involves($self, /, table_names)\n--\n\n"
     "True when both ends lie in table_names (exact, case-sensitive names).\n"
     "\n"
     "Raises:\n"
     "    TypeError: table_names is not iterable or holds unhashable items."},
    {"touches", AW_KW(relationship_touches),
     "touches($self, /, table_names)\n--\n\n"
     "True when either end lies in table_names (exact, case-sensitive names).\n"
     "\n"
     "Raises:\n"
     "    TypeError: table_names is not iterable or holds unhashable items."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef catalog_methods[] = {
    {"to_prompt_dict", AW_FN(catalog_to_prompt_dict), METH_NOARGS,
     "to_prompt_dict($self, /)\n--\n\n"
     "The catalog as a plain dict (deep copies of column and relationship maps).\n"
     "\n"
     "Keys \"database\", \"tables\" (each with \"table_name\", \"business_name\",\n"
     "\"description\", \"columns\" with every ColumnMeta field,\n"
     "\"default_date_column\", \"default_metric_column\", \"row_count\") and\n"
     "\"relationships\" (every RelationshipMeta field). Table tags and extras\n"
     "and the catalog's extra are left out. The metrics' catalog_hash is\n"
     "stable_hash of this dict.\n"
     "\n"
     "Raises:\n"
     "    TypeError, AttributeError: a table, column or relationship is not a\n"
     "        record of its kind.\n"
     "    RecursionError: a copied value contains itself."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef normalizer_methods[] = {
    {"normalize", AW_KW(py_normalize) | METH_STATIC,
     "normalize(catalog, database=None)\n--\n\n"
     "Build a MetadataCatalog from a loose catalog dict.\n"
     "\n"
     "Args:\n"
     "    catalog: The loose catalog; it is never modified.\n"
     "    database: Names the catalog when given and non-empty, else the\n"
     "        catalog's own \"database\", \"database_name\" or \"db\" is used.\n"
     "\n"
     "Returns:\n"
     "    A new catalog; tables without a name, columns without a name and\n"
     "    relationships missing an endpoint are skipped.\n"
     "\n"
     "Raises:\n"
     "    TypeError: catalog is not a dict, database is not a str or None,\n"
     "        \"tables\" or \"columns\" is not a list or map, or an element is\n"
     "        not a map."},
    {"_infer_role", AW_KW(py_infer_role) | METH_STATIC,
     "_infer_role(raw_col)\n--\n\nThe ColumnRole of one loose column map."},
    {"_normalize_relationships", AW_KW(py_normalize_relationships) | METH_STATIC,
     "_normalize_relationships(obj)\n--\n\nThe RelationshipMeta records declared in one map."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

bool init_catalog(PyObject* module) {
    using aw::FieldSpec;
    s_space = aw::interned(" ");
    s_empty = aw::interned("");
    s_many_to_one = aw::interned("many_to_one");
    if (!s_space || !s_empty || !s_many_to_one) return false;
    if (!aw::add_literal(module, "ColumnRole", {"metric", "dimension", "date", "datetime", "id", "primary_key",
                                                 "foreign_key", "text", "boolean", "unknown"}))
        return false;
    for (int i = 0; i < K_COUNT; ++i)
        if (!(K[i] = aw::interned(kKeyNames[i]))) return false;
    const std::vector<int>* known[] = {&kCatalogKnown, &kTableKnown, &kColumnKnown, &kRelationshipKnown};
    for (int kind = 0; kind < 4; ++kind) {
        Ref set(PyFrozenSet_New(nullptr));
        if (!set) return false;
        for (int key : *known[kind]) {
            if (PySet_Add(set.get(), K[key]) < 0) return false;
            kKnownMasks[kind] |= uint64_t(1) << key;
        }
        kKnownSets[kind] = set.release();
    }

    ColumnMetaType = aw::make_record_type(
        module, "askweave.schemasift.ColumnMeta",
        "One column of a table.\n"
        "\n"
        "Attributes:\n"
        "    name: Column name as stored in the database. Required.\n"
        "    type: Data type text as the catalog gives it, e.g. \"Decimal(18,2)\".\n"
        "        Default \"\".\n"
        "    description: Free-text description. Default \"\".\n"
        "    synonyms: Business words that also denote the column. Default [].\n"
        "    role: Semantic role (a ColumnRole value). Default \"unknown\"; the\n"
        "        normalizer infers it from hints, key flags, the name and the type.\n"
        "    tags: Free labels. Default [].\n"
        "    nullable: Whether the column admits nulls, None when unknown.\n"
        "        Default None.\n"
        "    is_primary_key: The column is (part of) the primary key. Default False.\n"
        "    is_foreign_key: The column refers to another table. Default False.\n"
        "    sample_values: Example values; they reach the output only with\n"
        "        SelectorConfig.include_sample_values. Default [].\n"
        "    extra: Further attributes kept from the source. Default {}.",
        {FieldSpec::required("name"), FieldSpec::str("type", ""), FieldSpec::str("description", ""),
         FieldSpec::list("synonyms"), FieldSpec::str("role", "unknown"), FieldSpec::list("tags"),
         FieldSpec::none("nullable"), FieldSpec::boolean("is_primary_key", false),
         FieldSpec::boolean("is_foreign_key", false), FieldSpec::list("sample_values"), FieldSpec::dict("extra")},
        column_methods);
    TableMetaType = aw::make_record_type(
        module, "askweave.schemasift.TableMeta",
        "One table or view of the catalog.\n"
        "\n"
        "Attributes:\n"
        "    table_name: Table name as stored in the database. Required.\n"
        "    business_name: Human name of the table. Default \"\".\n"
        "    description: Free-text description. Default \"\".\n"
        "    tags: Free labels. Default [].\n"
        "    columns: The table's columns (ColumnMeta) in catalog order. Default [].\n"
        "    default_date_column: Column to use for time filters and trends; it is\n"
        "        favoured when the question has a time filter. Default None.\n"
        "    default_metric_column: Column to aggregate by default; it is favoured\n"
        "        when the question wants a metric. Default None.\n"
        "    row_count: Approximate number of rows. Default None.\n"
        "    extra: Further attributes kept from the source. Default {}.",
        {FieldSpec::required("table_name"), FieldSpec::str("business_name", ""), FieldSpec::str("description", ""),
         FieldSpec::list("tags"), FieldSpec::list("columns"), FieldSpec::none("default_date_column"),
         FieldSpec::none("default_metric_column"), FieldSpec::none("row_count"), FieldSpec::dict("extra")},
        table_methods);
    RelationshipMetaType = aw::make_record_type(
        module, "askweave.schemasift.RelationshipMeta",
        "One join path between two tables.\n"
        "\n"
        "Attributes:\n"
        "    from_table: Referencing table. Required.\n"
        "    from_column: Referencing column. Required.\n"
        "    to_table: Referenced table. Required.\n"
        "    to_column: Referenced column. Required.\n"
        "    relationship_type: Cardinality label, free text. Default \"many_to_one\".\n"
        "    description: Free-text description. Default \"\".\n"
        "    extra: Further attributes kept from the source. Default {}.",
        {FieldSpec::required("from_table"), FieldSpec::required("from_column"), FieldSpec::required("to_table"),
         FieldSpec::required("to_column"), FieldSpec::str("relationship_type", "many_to_one"),
         FieldSpec::str("description", ""), FieldSpec::dict("extra")},
        relationship_methods);
    MetadataCatalogType = aw::make_record_type(
        module, "askweave.schemasift.MetadataCatalog",
        "The whole catalog: tables and relationships.\n"
        "\n"
        "Attributes:\n"
        "    database: Database name. Default \"\".\n"
        "    tables: Tables (TableMeta) in catalog order. Default [].\n"
        "    relationships: Relationships (RelationshipMeta) in catalog order.\n"
        "        Default [].\n"
        "    extra: Further attributes kept from the source. Default {}.",
        {FieldSpec::str("database", ""), FieldSpec::list("tables"), FieldSpec::list("relationships"),
         FieldSpec::dict("extra")},
        catalog_methods);
    if (!ColumnMetaType || !TableMetaType || !RelationshipMetaType || !MetadataCatalogType) return false;

    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(
            "Accepts flexible catalog shapes and converts them to MetadataCatalog.\n"
            "\n"
            "Tables and columns may be lists of maps or maps keyed by name; several key\n"
            "names are read for one field (\"table_name\"/\"name\"/\"table\"/\"source\",\n"
            "\"description\"/\"comment\", \"type\"/\"data_type\", \"primary_key\", ...);\n"
            "relationships may be declared at catalog level, at table level or both\n"
            "(\"relationships\", else \"joins\"). Unknown keys are kept in the records'\n"
            "extra. Column roles are taken from a \"role\" hint when it names a role\n"
            "(or \"measure\", \"category\", \"timestamp\", ...), otherwise inferred from the\n"
            "key flags, the name and the type.")},
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

// v is borrowed: only the full writer, which may run Python code, gets it held.
bool write_value(aw::JsonBuf& out, PyObject* v, const aw::JsonOptions& opt) {
    return aw::json_write_simple(out, v, false) || aw::json_write_str_list(out, v, false) ||
           aw::json_write(out, Ref::borrow(v).get(), opt);
}

bool write_record(aw::JsonBuf& out, PyObject* rec, PyTypeObject* type, const FixedMap& m,
                  const aw::JsonOptions& opt) {
    if (!aw::rec_check(rec, type)) {
        PyErr_Format(PyExc_TypeError, "expected %s, got %.200s", type->tp_name, Py_TYPE(rec)->tp_name);
        return false;
    }
    for (size_t k = 0; k < m.field.size(); ++k) {
        PyObject* v = aw::rec_get(rec, m.field[k]);
        if (!v) return false;
        out.put(m.prefix[k]);
        if (!write_value(out, v, opt)) return false;
    }
    out.put('}');
    return true;
}

// Writes the items of an iterable with fn, as a JSON list.
template <class Fn>
bool write_list(aw::JsonBuf& out, PyObject* iterable, Fn&& fn) {
    Ref list(PyList_CheckExact(iterable) ? Ref::borrow(iterable) : Ref(aw::private_list(iterable)));
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

namespace {
// Member names and their order, as written and as sorted.
const char* const col_names[] = {"name", "type", "description", "synonyms", "role", "tags", "nullable",
                                        "is_primary_key", "is_foreign_key", "sample_values", "extra"};
const int col_plain[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
const int col_sorted[] = {C_DESCRIPTION, C_EXTRA, C_IS_FK, C_IS_PK, C_NAME, C_NULLABLE, C_ROLE,
                                 C_SAMPLE_VALUES, C_SYNONYMS, C_TAGS, C_TYPE};
const char* const rel_names[] = {"from_table", "from_column", "to_table", "to_column",
                                        "relationship_type", "description", "extra"};
const int rel_plain[] = {0, 1, 2, 3, 4, 5, 6};
const int rel_sorted[] = {R_DESCRIPTION, R_EXTRA, R_FROM_COLUMN, R_FROM_TABLE, R_TYPE, R_TO_COLUMN,
                                 R_TO_TABLE};
const char* const table_names[] = {"table_name", "business_name", "description", "tags", "columns",
                                          "default_date_column", "default_metric_column", "row_count", "extra"};
const int table_plain[] = {T_TABLE_NAME, T_BUSINESS_NAME, T_DESCRIPTION, T_COLUMNS, T_DEFAULT_DATE,
                                  T_DEFAULT_METRIC, T_ROW_COUNT};
const int table_sorted[] = {T_BUSINESS_NAME, T_COLUMNS, T_DEFAULT_DATE, T_DEFAULT_METRIC,
                                   T_DESCRIPTION, T_ROW_COUNT, T_TABLE_NAME};
const FixedMap col_maps[2] = {{col_names, col_plain, 11}, {col_names, col_sorted, 11}};
const FixedMap rel_maps[2] = {{rel_names, rel_plain, 7}, {rel_names, rel_sorted, 7}};
const FixedMap table_maps[2] = {{table_names, table_plain, 7}, {table_names, table_sorted, 7}};

aw::JsonOptions prompt_options(bool sorted) {
    aw::JsonOptions opt;
    opt.ensure_ascii = false;
    opt.default_str = true;
    opt.sort_keys = sorted;
    opt.convert = json_convert;
    opt.cycles_as_recursion = true;  // the prompt map is a deep copy first
    return opt;
}

// Writes the members of a record read from a loose map; a null field is an
// empty list, or an empty map for the last field (extra).
bool write_fields(aw::JsonBuf& out, const aw::Ref* f, int count, const FixedMap& m, const aw::JsonOptions& opt) {
    for (size_t k = 0; k < m.field.size(); ++k) {
        out.put(m.prefix[k]);
        PyObject* v = f[m.field[k]].get();
        if (!v) out.put(m.field[k] == count - 1 ? "{}" : "[]");
        else if (!write_value(out, v, opt)) return false;
    }
    out.put('}');
    return true;
}
}  // namespace

bool catalog_prompt_json(PyObject* catalog, bool sorted, aw::JsonBuf& out, JsonSink* sink) {
    aw::JsonOptions opt = prompt_options(sorted);
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
            sink->consume(out);
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
    out.reserve(4096);  // grows by doubling; a large first block costs small catalogs more than it saves
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

bool loose_prompt_json(const LooseCatalog& catalog, const std::vector<size_t>& tables, aw::JsonBuf& out,
                       JsonSink* sink) {
    const aw::JsonOptions opt = prompt_options(true);
    const FixedMap& cols = col_maps[1];
    const FixedMap& rels = rel_maps[1];
    const FixedMap& table_map = table_maps[1];
    out.reserve(4096);  // grows by doubling; a large first block costs small catalogs more than it saves
    out.put("{\"database\": ");
    if (!write_value(out, catalog.database.get(), opt)) return false;
    out.put(", \"relationships\": [");
    for (size_t i = 0; i < catalog.relationships.size(); ++i) {
        if (i) out.put(", ", 2);
        if (!write_fields(out, catalog.relationships[i].f, R_COUNT, rels, opt)) return false;
    }
    out.put("], \"tables\": [");
    for (size_t i = 0; i < tables.size(); ++i) {
        if (i) out.put(", ", 2);
        const LooseTable& t = catalog.tables[tables[i]];
        for (size_t k = 0; k < table_map.field.size(); ++k) {
            out.put(table_map.prefix[k]);
            if (table_map.field[k] != T_COLUMNS) {
                if (!write_value(out, t.fields[table_map.field[k]].get(), opt)) return false;
                continue;
            }
            out.put('[');
            for (size_t j = 0; j < t.columns.size(); ++j) {
                if (j) out.put(", ", 2);
                if (!write_fields(out, t.columns[j].f, C_COUNT, cols, opt)) return false;
            }
            out.put(']');
        }
        out.put('}');
        if (sink && out.size() >= sink->piece_size) {
            sink->consume(out);
        }
    }
    out.put("]}");
    return true;
}

}  // namespace sift
