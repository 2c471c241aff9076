// The output of a selection: the selected metadata map (table and column
// entries, relationships), the output budget, the metrics and debug rankings.
#include "schemasift/pipeline.hpp"

#include "common/pytext.hpp"
#include "common/record.hpp"
#include "core/unicode.hpp"

#include <algorithm>

namespace sift {
using aw::Ref;

namespace {
inline PyObject* attr(PyObject* o, PyObject* name) { return PyObject_GetAttr(o, name); }
}  // namespace

PyObject* round_score(PyObject* v) {
    if (PyFloat_CheckExact(v)) return PyFloat_FromDouble(round6(PyFloat_AS_DOUBLE(v)));
    Ref builtins(PyImport_ImportModule("builtins"));
    return builtins ? PyObject_CallMethod(builtins.get(), "round", "Oi", v, 6) : nullptr;
}


bool put(PyObject* d, PyObject* key, PyObject* v) {  // steals v
    Ref hold(v);
    return v && PyDict_SetItem(d, key, v) == 0;
}

namespace {

// A dict being built key by key (each key once) with its JSON size.
class SizedDict {
public:
    SizedDict(Py_ssize_t expected, OutputSize* size)
        : d_(expected > 5 ? _PyDict_NewPresized(expected) : PyDict_New()), size_(size) {}
    explicit operator bool() const { return bool(d_); }
    PyObject* get() const { return d_.get(); }
    PyObject* release() { return d_.release(); }
    // d[key] = v, stealing v. owned_levels: how many levels of v we made
    // (the caller's lists could change before the map is done).
    bool put(PyObject* key, PyObject* v, int owned_levels = 0) {
        if (!sift::put(d_.get(), key, v)) return false;
        if (size_ && size_->known) {
            size_t n;
            if (aw::json_plain_size(v, n, owned_levels)) add(key, n);
            else size_->known = false;
        }
        return true;
    }
    // d[key] = v for a value whose size the caller adds (see add)
    bool put_sized(PyObject* key, PyObject* v, const OutputSize& inner) {
        if (!sift::put(d_.get(), key, v)) return false;
        if (size_ && size_->known) {
            if (inner.known) add(key, inner.chars);
            else size_->known = false;
        }
        return true;
    }
    // the braces, once all is put
    void close() {
        if (size_ && size_->known) size_->chars += 2;
    }

private:
    // "key": value, after ", " from the second item on; our keys are ASCII
    // with nothing to escape
    void add(PyObject* key, size_t value_chars) {
        size_->chars += static_cast<size_t>(PyUnicode_GET_LENGTH(key)) + 4 + value_chars + (items_++ ? 2 : 0);
    }

    Ref d_;
    OutputSize* size_;
    size_t items_ = 0;
};

// The size of a list of sized items.
void list_size(OutputSize& list, size_t items, const OutputSize& item_sum) {
    if (!item_sum.known) list.known = false;
    else list.chars = (items ? 2 * items : 2) + item_sum.chars;
}

}  // namespace

// One column entry of the selected metadata.
PyObject* column_entry(const Source& col, PyObject* score, const Settings& s, OutputSize* size) {
    auto attr = [&col](int index, PyObject* name) { return col.get(ColumnMetaType, index, name); };
    SizedDict d(8, size);  // entries often outgrow the smallest dict
    if (!d || !d.put(KEY("name"), attr(C_NAME, KEY("name"))) || !d.put(KEY("type"), attr(C_TYPE, KEY("type"))) ||
        !d.put(KEY("role"), attr(C_ROLE, KEY("role"))) || !d.put(KEY("score"), round_score(score)))
        return nullptr;
    if (s.include_descriptions) {
        Ref desc(attr(C_DESCRIPTION, KEY("description")));
        int p = desc ? aw::is_present(desc.get()) : -1;
        if (p < 0 || (p && !d.put(KEY("description"), desc.release()))) return nullptr;
    }
    if (s.include_synonyms) {
        Ref syn(attr(C_SYNONYMS, KEY("synonyms")));
        int p = syn ? aw::is_present(syn.get()) : -1;
        if (p < 0 || (p && !d.put(KEY("synonyms"), PySequence_List(syn.get()), 1))) return nullptr;
    }
    const std::pair<int, PyObject*> flags[] = {{C_IS_PK, KEY("is_primary_key")}, {C_IS_FK, KEY("is_foreign_key")}};
    for (auto [index, flag] : flags) {
        Ref v(attr(index, flag));
        int p = v ? PyObject_IsTrue(v.get()) : -1;
        if (p < 0 || (p && !d.put(flag, Py_NewRef(Py_True)))) return nullptr;
    }
    if (s.include_sample_values) {
        Ref samples(attr(C_SAMPLE_VALUES, KEY("sample_values")));
        int p = samples ? aw::is_present(samples.get()) : -1;
        if (p < 0) return nullptr;
        if (p) {
            long long n = s.max_sample_values_per_column;
            Py_ssize_t stop = n > PY_SSIZE_T_MAX ? PY_SSIZE_T_MAX : n < -PY_SSIZE_T_MAX ? -PY_SSIZE_T_MAX
                                                                                          : static_cast<Py_ssize_t>(n);
            if (stop < 0) stop = 0;  // a negative limit keeps no samples
            Ref cut(PySequence_GetSlice(samples.get(), 0, stop));
            if (!cut || !d.put(KEY("sample_values"), PySequence_List(cut.get()), 1)) return nullptr;
        }
    }
    d.close();
    return d.release();
}

namespace {

// Whether every field of a record an entry may read is plain; lists: the
// fields that must be empty. A field that cannot be read is left to the
// entry's builder (which reads only some).
bool plain_record(const Source& src, PyTypeObject* type, std::initializer_list<std::pair<int, PyObject*>> fields,
                  std::initializer_list<std::pair<int, PyObject*>> lists) {
    if (src.rec && !Py_IS_TYPE(src.rec, type)) return false;  // a subclass's fields may be computed
    auto plain = [&](int index, PyObject* name, bool list) {
        Ref v(src.get(type, index, name));
        PyObject* o = v.get();
        if (!o) PyErr_Clear();
        else if (list) return o == Py_None || (PyList_CheckExact(o) && PyList_GET_SIZE(o) == 0) ||
                              (PyTuple_CheckExact(o) && PyTuple_GET_SIZE(o) == 0);
        else return o == Py_None || PyUnicode_CheckExact(o) || PyBool_Check(o) || PyLong_CheckExact(o) ||
                    PyFloat_CheckExact(o);
        return false;
    };
    for (auto [index, name] : fields)
        if (!plain(index, name, false)) return false;
    for (auto [index, name] : lists)
        if (!plain(index, name, true)) return false;
    return true;
}

// Makes t's template on first use: make(size) builds the entry with the
// placeholders, whose text is placeholder_chars long. False with an error set.
template <class Make>
bool keep(EntryTemplate& t, bool plain, size_t placeholder_chars, Make&& make) {
    if (t.state != EntryTemplate::UNTRIED) return true;
    OutputSize one;
    Ref made(plain ? make(one) : nullptr);
    if (plain && !made) return false;
    // another thread may have made it meanwhile (building can run a collection)
    if (t.state == EntryTemplate::UNTRIED) {
        t.state = made && one.known ? EntryTemplate::KEPT : EntryTemplate::NONE;
        if (made && one.known) {
            t.entry = std::move(made);
            t.chars = one.chars - placeholder_chars;
        }
    }
    return true;
}

// A copy of t's entry with its score (and columns, stolen) set.
PyObject* from_template(const EntryTemplate& t, PyObject* score, PyObject* cols, const OutputSize* cols_size,
                        OutputSize* size) {
    Ref hold(cols);
    Ref rounded(round_score(score));
    Ref e(rounded ? PyDict_Copy(t.entry.get()) : nullptr);
    if (!e || PyDict_SetItem(e.get(), KEY("score"), rounded.get()) < 0 ||
        (cols && PyDict_SetItem(e.get(), KEY("columns"), cols) < 0))
        return nullptr;
    if (size) {
        size_t n;
        if (aw::json_plain_size(rounded.get(), n, 0) && (!cols_size || cols_size->known))
            size->chars += t.chars + n + (cols_size ? cols_size->chars : 0);
        else
            size->known = false;
    }
    return e.release();
}

constexpr size_t kZeroChars = 3;  // "0.0"

PyObject* kept_column_entry(EntryTemplate& t, const Source& col, PyObject* score, const Settings& s,
                            OutputSize* size) {
    const bool plain = t.state == EntryTemplate::UNTRIED &&
                       plain_record(col, ColumnMetaType,
                                    {{C_NAME, KEY("name")}, {C_TYPE, KEY("type")}, {C_ROLE, KEY("role")},
                                     {C_DESCRIPTION, KEY("description")}, {C_IS_PK, KEY("is_primary_key")},
                                     {C_IS_FK, KEY("is_foreign_key")}},
                                    {{C_SYNONYMS, KEY("synonyms")}, {C_SAMPLE_VALUES, KEY("sample_values")}});
    Ref zero(plain ? PyFloat_FromDouble(0.0) : nullptr);
    if ((plain && !zero) ||
        !keep(t, plain, kZeroChars, [&](OutputSize& one) { return column_entry(col, zero.get(), s, &one); }))
        return nullptr;
    if (t.state != EntryTemplate::KEPT) return column_entry(col, score, s, size);
    return from_template(t, score, nullptr, nullptr, size);
}

// The columns list of a table entry (each entry through its template when kept).
PyObject* column_entries(const std::vector<std::pair<Source, PyObject*>>& columns, const Settings& s,
                         KeptEntries* kept, bool sized, OutputSize& list) {
    Ref cols(PyList_New(0));
    if (!cols) return nullptr;
    OutputSize entries;
    for (size_t k = 0; k < columns.size(); ++k) {
        const auto& [col, sc] = columns[k];
        OutputSize one;
        OutputSize* counted = sized ? &one : nullptr;
        Ref e(kept ? kept_column_entry(*kept->columns[k], col, sc, s, counted) : column_entry(col, sc, s, counted));
        if (!e || PyList_Append(cols.get(), e.get()) < 0) return nullptr;
        entries.known = entries.known && one.known;
        entries.chars += one.chars;
    }
    list_size(list, columns.size(), entries);
    return cols.release();
}

// One table entry; its fields are read in this order (a subclass's may run code).
PyObject* build_table_entry(const Source& table, PyObject* score,
                            const std::vector<std::pair<Source, PyObject*>>& columns, const Settings& s,
                            OutputSize* size, KeptEntries* kept) {
    auto attr = [&table](int index, PyObject* name) { return table.get(TableMetaType, index, name); };
    SizedDict d(8, size);
    if (!d || !d.put(KEY("table_name"), attr(T_TABLE_NAME, KEY("table_name"))) ||
        !d.put(KEY("score"), round_score(score)))
        return nullptr;
    OutputSize list;
    PyObject* cols = column_entries(columns, s, kept, size != nullptr, list);
    if (!cols || !d.put_sized(KEY("columns"), cols, list)) return nullptr;
    struct Opt { int index; PyObject* key; bool when; };
    const Opt opts[] = {{T_BUSINESS_NAME, KEY("business_name"), true},
                        {T_DESCRIPTION, KEY("description"), s.include_descriptions},
                        {T_DEFAULT_DATE, KEY("default_date_column"), true},
                        {T_DEFAULT_METRIC, KEY("default_metric_column"), true}};
    for (const Opt& o : opts) {
        if (!o.when) continue;
        Ref v(attr(o.index, o.key));
        int p = v ? aw::is_present(v.get()) : -1;
        if (p < 0 || (p && !d.put(o.key, v.release()))) return nullptr;
    }
    Ref rows(attr(T_ROW_COUNT, KEY("row_count")));
    if (!rows || (rows.get() != Py_None && !d.put(KEY("row_count"), rows.release()))) return nullptr;
    d.close();
    return d.release();
}

}  // namespace

PyObject* table_entry(const Source& table, PyObject* score, const std::vector<std::pair<Source, PyObject*>>& columns,
                      const Settings& s, OutputSize* size, KeptEntries* kept) {
    if (!kept) return build_table_entry(table, score, columns, s, size, nullptr);
    EntryTemplate& t = *kept->table;
    const bool plain = t.state == EntryTemplate::UNTRIED &&
                       plain_record(table, TableMetaType,
                                    {{T_TABLE_NAME, KEY("table_name")}, {T_BUSINESS_NAME, KEY("business_name")},
                                     {T_DESCRIPTION, KEY("description")}, {T_DEFAULT_DATE, KEY("default_date_column")},
                                     {T_DEFAULT_METRIC, KEY("default_metric_column")}, {T_ROW_COUNT, KEY("row_count")}},
                                    {});
    Ref zero(plain ? PyFloat_FromDouble(0.0) : nullptr);
    const std::vector<std::pair<Source, PyObject*>> none;
    if ((plain && !zero) ||
        !keep(t, plain, kZeroChars + 2,  // and "[]"
              [&](OutputSize& one) { return build_table_entry(table, zero.get(), none, s, &one, nullptr); }))
        return nullptr;
    if (t.state != EntryTemplate::KEPT) return build_table_entry(table, score, columns, s, size, kept);
    OutputSize list;
    PyObject* cols = column_entries(columns, s, kept, size != nullptr, list);
    return cols ? from_template(t, score, cols, &list, size) : nullptr;
}

PyObject* selected_metadata(PyObject* catalog, PyObject* tables, PyObject* relationships,
                            const OutputSize* entries, OutputSize* size) {
    OutputSize table_list;
    if (entries) list_size(table_list, static_cast<size_t>(PyList_GET_SIZE(tables)), *entries);
    SizedDict d(3, entries ? size : nullptr);
    if (!d || !d.put(KEY("database"), attr(catalog, KEY("database"))) ||
        !d.put_sized(KEY("tables"), Py_NewRef(tables), table_list))
        return nullptr;
    Ref rels(PyList_New(0));
    Ref it(rels ? PyObject_GetIter(relationships) : nullptr);
    if (!it) return nullptr;
    while (PyObject* r = PyIter_Next(it.get())) {
        Ref hold(r);
        if (!aw::is_record(r)) {
            PyErr_Format(PyExc_TypeError, "expected RelationshipMeta, got %.200s", Py_TYPE(r)->tp_name);
            return nullptr;
        }
        Ref e(record_as_dict(r));
        if (!e || PyList_Append(rels.get(), e.get()) < 0) return nullptr;
    }
    // the list and the maps copied from the records are ours throughout
    if (PyErr_Occurred() || !d.put(KEY("relationships"), rels.release(), 8)) return nullptr;
    d.close();
    return d.release();
}

bool read_relationship_ends(PyObject* catalog, RelationshipEnds& out) {
    Ref rels(attr(catalog, KEY("relationships")));
    out.records = Ref(rels ? aw::private_list(rels.get()) : nullptr);
    if (!out.records) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(out.records.get()); ++i) {
        PyObject* r = PyList_GET_ITEM(out.records.get(), i);
        if (!Py_IS_TYPE(r, RelationshipMetaType)) return false;
        PyObject *from = aw::rec_get(r, R_FROM_TABLE), *to = from ? aw::rec_get(r, R_TO_TABLE) : nullptr;
        if (!to) return false;
        if (!PyUnicode_CheckExact(from) || !PyUnicode_CheckExact(to)) return false;
        // the catalog's own form of a name, lone surrogates included
        out.ends.emplace_back(aw::to_utf8(from), aw::to_utf8(to));
    }
    return true;
}

namespace {
// select_relationships on ends read ahead; false when a name is not plain.
bool select_by_ends(const RelationshipEnds& ends, PyObject* names, const Settings& s, PyObject* out) {
    std::vector<std::string_view> chosen;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i) {
        PyObject* n = PyList_GET_ITEM(names, i);
        Py_ssize_t size;
        const char* text = PyUnicode_CheckExact(n) ? PyUnicode_AsUTF8AndSize(n, &size) : nullptr;
        if (!text) {
            PyErr_Clear();
            return false;
        }
        chosen.emplace_back(text, static_cast<size_t>(size));
    }
    auto in = [&](const std::string& end) { return std::find(chosen.begin(), chosen.end(), end) != chosen.end(); };
    std::vector<char> taken(ends.ends.size(), 0);
    for (size_t i = 0; i < ends.ends.size(); ++i)
        if (in(ends.ends[i].first) && in(ends.ends[i].second)) taken[i] = 1;
    std::vector<size_t> order;
    for (size_t i = 0; i < taken.size(); ++i)
        if (taken[i]) order.push_back(i);
    if (s.include_neighbor_tables_for_joins) {
        // `r not in selected` compares by value: equal records count as one.
        for (size_t i = 0; i < ends.ends.size(); ++i) {
            if (taken[i] || !(in(ends.ends[i].first) || in(ends.ends[i].second))) continue;
            order.push_back(i | (size_t(1) << 63));
        }
    }
    for (size_t i : order) {
        PyObject* r = PyList_GET_ITEM(ends.records.get(), static_cast<Py_ssize_t>(i & ~(size_t(1) << 63)));
        if (i >> 63) {
            int seen = PySequence_Contains(out, r);
            if (seen < 0) return false;
            if (seen) continue;
        }
        if (PyList_Append(out, r) < 0) return false;
    }
    return true;
}
}  // namespace

PyObject* select_relationships(PyObject* catalog, PyObject* names, const Settings& s, const RelationshipEnds* ends) {
    Ref out(PyList_New(0));
    if (!out || !s.include_relationships) return out.release();
    if (ends && PyList_CheckExact(names)) {
        if (select_by_ends(*ends, names, s, out.get())) return out.release();
        if (PyErr_Occurred()) return nullptr;
        out = Ref(PyList_New(0));
        if (!out) return nullptr;
    }
    Ref rels(attr(catalog, KEY("relationships")));
    Ref list(rels ? aw::private_list(rels.get()) : nullptr);
    if (!list) return nullptr;
    Ref set;  // made when a relationship first asks, as the rules make it
    // `end in names` for one end of r, read only when the rules read it
    // (involves: from and to; touches: from or to).
    auto has_end = [&](PyObject* r, bool to_end) {
        if (!set && !(set = Ref(PySet_New(names)))) return -1;
        Ref v(to_end ? field_of(r, RelationshipMetaType, R_TO_TABLE, "to_table")
                     : field_of(r, RelationshipMetaType, R_FROM_TABLE, "from_table"));
        return v ? PySet_Contains(set.get(), v.get()) : -1;
    };
    Py_ssize_t n = PyList_GET_SIZE(list.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* r = PyList_GET_ITEM(list.get(), i);
        int both = has_end(r, false);
        if (both > 0) both = has_end(r, true);
        if (both < 0 || (both && PyList_Append(out.get(), r) < 0)) return nullptr;
    }
    if (s.include_neighbor_tables_for_joins) {
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* r = PyList_GET_ITEM(list.get(), i);
            int either = has_end(r, false);
            if (either == 0) either = has_end(r, true);
            if (either < 0) return nullptr;
            if (!either) continue;
            int seen = PySequence_Contains(out.get(), r);
            if (seen < 0 || (!seen && PyList_Append(out.get(), r) < 0)) return nullptr;
        }
    }
    return out.release();
}

// len(json.dumps(value, ensure_ascii=False, default=str)), and the text.
aw::JsonOptions size_options() {
    aw::JsonOptions opt;
    opt.ensure_ascii = false;
    opt.default_str = true;
    return opt;
}

// len(json.dumps(value, ensure_ascii=False, default=str)), and the text.
bool json_size(PyObject* value, aw::JsonBuf& text, Py_ssize_t& size) {
    text.clear();
    if (!aw::json_write(text, value, size_options())) return false;
    size = static_cast<Py_ssize_t>(aw::count_code_points(text.view()));
    return true;
}

// The same length, without the text.
bool json_size(PyObject* value, Py_ssize_t& size) {
    size_t n;
    if (!aw::json_size(value, size_options(), n)) return false;
    size = static_cast<Py_ssize_t>(n);
    return true;
}

// size <= budget, by the host's comparison
int fits(Py_ssize_t size, PyObject* budget) {
    Ref n(PyLong_FromSsize_t(size));
    return n ? PyObject_RichCompareBool(n.get(), budget, Py_LE) : -1;
}

PyObject* list_of_key(PyObject* d, PyObject* key) {
    PyObject* v = PyDict_GetItemWithError(d, key);
    if (v) return Py_NewRef(v);
    return PyErr_Occurred() ? nullptr : PyList_New(0);
}

PyObject* apply_output_budget(PyObject* selected, const Settings& s, const OutputSize* known) {
    if (!PyDict_Check(selected)) {
        PyErr_Format(PyExc_TypeError, "selected_metadata must be a dict, not %.200s", Py_TYPE(selected)->tp_name);
        return nullptr;
    }
    PyObject* budget = s.max_output_chars.get();
    int present = aw::is_present(budget);
    if (present <= 0) return present < 0 ? nullptr : Py_NewRef(selected);
    aw::JsonBuf text;
    Py_ssize_t size;
    const bool sized = known && known->known;  // then the text is written only to be cut
    if (sized) size = static_cast<Py_ssize_t>(known->chars);
    else if (!json_size(selected, text, size)) return nullptr;
    int ok = fits(size, budget);
    if (ok) return ok < 0 ? nullptr : Py_NewRef(selected);
    if (sized && !json_size(selected, text, size)) return nullptr;
    static PyObject* loads = nullptr;
    if (!loads) {
        Ref json(PyImport_ImportModule("json"));
        loads = json ? PyObject_GetAttrString(json.get(), "loads") : nullptr;
        if (!loads) return nullptr;
    }
    Ref s_text(aw::new_str(text.view()));
    Ref copy(s_text ? PyObject_CallOneArg(loads, s_text.get()) : nullptr);
    if (!copy) return nullptr;
    if (!PyDict_Check(copy.get())) return copy.release();
    auto tables_of = [&]() { return Ref(list_of_key(copy.get(), KEY("tables"))); };
    auto each_dict = [](PyObject* list, auto&& fn) {
        Ref it(PyObject_GetIter(list));
        if (!it) return false;
        while (PyObject* item = PyIter_Next(it.get())) {
            Ref hold(item);
            if (PyDict_Check(item) && !fn(item)) return false;
        }
        return !PyErr_Occurred();
    };
    auto pop = [](PyObject* d, PyObject* key) {  // d.pop(key, None)
        int has = PyDict_Contains(d, key);
        return has == 0 || (has > 0 && PyDict_DelItem(d, key) == 0);
    };
    auto check = [&]() -> int {
        if (!json_size(copy.get(), size)) return -1;
        return fits(size, budget);
    };
    // Stage 1: drop descriptions, synonyms and sample values.
    Ref tables = tables_of();
    if (!tables || !each_dict(tables.get(), [&](PyObject* t) {
            if (!pop(t, KEY("description"))) return false;
            Ref cols(list_of_key(t, KEY("columns")));
            return cols && each_dict(cols.get(), [&](PyObject* c) {
                       return pop(c, KEY("description")) && pop(c, KEY("synonyms")) && pop(c, KEY("sample_values"));
                   });
        }))
        return nullptr;
    ok = check();
    if (ok) return ok < 0 ? nullptr : copy.release();
    // Stage 2: fewer columns per table.
    long long half = s.max_columns_per_table >= 0 ? s.max_columns_per_table / 2
                                                   : -((-s.max_columns_per_table + 1) / 2);
    Py_ssize_t keep = half < 3 ? 3 : (half > PY_SSIZE_T_MAX ? PY_SSIZE_T_MAX : static_cast<Py_ssize_t>(half));
    if (!each_dict(tables.get(), [&](PyObject* t) {
            Ref cols(list_of_key(t, KEY("columns")));
            Ref cut(cols ? PySequence_GetSlice(cols.get(), 0, keep) : nullptr);
            return cut && PyDict_SetItem(t, KEY("columns"), cut.get()) == 0;
        }))
        return nullptr;
    ok = check();
    if (ok) return ok < 0 ? nullptr : copy.release();
    // Stage 3: the best table alone, no relationships.
    Ref first(PySequence_GetSlice(tables.get(), 0, 1));
    Ref none(first ? PyList_New(0) : nullptr);
    if (!none || PyDict_SetItem(copy.get(), KEY("tables"), first.get()) < 0 ||
        PyDict_SetItem(copy.get(), KEY("relationships"), none.get()) < 0)
        return nullptr;
    if (aw::log_enabled(aw::LOG_WARNING)) {  // measured only for the message
        ok = check();
        if (ok == 0)
            aw::log_warning("output budget of %S characters could not be met; the smallest output has %zd",
                            budget, size);
        if (ok < 0) PyErr_Clear();
    }
    return copy.release();
}

// int(v) for numbers; TypeError for anything else.
PyObject* whole(PyObject* v, const char* name) {
    if (PyLong_Check(v)) return Py_NewRef(v);
    if (!PyUnicode_Check(v) && !PyBytes_Check(v) && !PyByteArray_Check(v) && PyNumber_Check(v))
        return PyNumber_Long(v);
    PyErr_Format(PyExc_TypeError, "%s must be a number, not %.200s", name, Py_TYPE(v)->tp_name);
    return nullptr;
}

PyObject* reduction_percent(PyObject* before_arg, PyObject* after_arg) {
    // Ints a double holds exactly: int / int divides their doubles, correctly
    // rounded, so the host's arithmetic gives this same value.
    if (PyLong_CheckExact(before_arg) && PyLong_CheckExact(after_arg)) {
        constexpr long long kExact = 1LL << 52;
        int over_b = 0, over_a = 0;
        const long long b = PyLong_AsLongLongAndOverflow(before_arg, &over_b);
        const long long a = PyLong_AsLongLongAndOverflow(after_arg, &over_a);
        if (!over_b && !over_a) {
            if (b <= 0) return PyFloat_FromDouble(0.0);
            if (b <= kExact && a >= -kExact && a <= kExact) {
                const double v = static_cast<double>(b - a) / static_cast<double>(b) * 100.0;
                return PyFloat_FromDouble(v > 0 ? v : 0.0);
            }
        }  // too large: the host's arithmetic below
    }
    Ref before(whole(before_arg, "before"));
    Ref after(before ? whole(after_arg, "after") : nullptr);
    if (!after) return nullptr;
    Ref zero(PyLong_FromLong(0));
    int le = PyObject_RichCompareBool(before.get(), zero.get(), Py_LE);
    if (le) return le < 0 ? nullptr : PyFloat_FromDouble(0.0);
    Ref diff(PyNumber_Subtract(before.get(), after.get()));
    Ref ratio(diff ? PyNumber_TrueDivide(diff.get(), before.get()) : nullptr);
    Ref hundred(ratio ? PyLong_FromLong(100) : nullptr);
    Ref pct(hundred ? PyNumber_Multiply(ratio.get(), hundred.get()) : nullptr);
    if (!pct) return nullptr;
    double v = PyFloat_AsDouble(pct.get());
    if (v == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(v > 0 ? v : 0.0);
}


PyObject* build_metrics(PyObject* selected, Py_ssize_t input_tables, Py_ssize_t input_columns,
                        Py_ssize_t input_chars, PyObject* catalog_hash, const Settings& s, PyObject* reduction,
                        const OutputSize* output_size) {
    // a subclass's replacement is called as the rules call it
    auto percent = [reduction](PyObject* before, PyObject* after) {
        return reduction ? PyObject_CallFunctionObjArgs(reduction, before, after, nullptr)
                         : reduction_percent(before, after);
    };
    Py_ssize_t output_chars;
    if (output_size && output_size->known) output_chars = static_cast<Py_ssize_t>(output_size->chars);
    else if (!json_size(selected, output_chars)) return nullptr;
    Py_ssize_t in_tables = input_tables;
    Py_ssize_t in_cols = input_columns;
    Py_ssize_t out_tables = 0, out_cols = 0;
    if (PyDict_Check(selected)) {
        Ref ts(Py_XNewRef(PyDict_GetItemWithError(selected, KEY("tables"))));
        if (!ts && PyErr_Occurred()) return nullptr;
        if (ts) {
            out_tables = PyObject_Length(ts.get());
            if (out_tables < 0) return nullptr;
            Ref it(PyObject_GetIter(ts.get()));
            if (!it) return nullptr;
            while (PyObject* t = PyIter_Next(it.get())) {
                Ref hold(t);
                Ref cs(PyDict_Check(t) ? Py_XNewRef(PyDict_GetItemWithError(t, KEY("columns"))) : nullptr);
                if (!cs && PyErr_Occurred()) return nullptr;
                Py_ssize_t n = cs ? PyObject_Length(cs.get()) : 0;
                if (n < 0) return nullptr;
                out_cols += n;
            }
            if (PyErr_Occurred()) return nullptr;
        }
    }
    Ref in_tok(estimate_tokens_for(input_chars, s.token_chars_per_token.get()));
    Ref out_tok(in_tok ? estimate_tokens_for(output_chars, s.token_chars_per_token.get()) : nullptr);
    if (!out_tok) return nullptr;
    auto num = [](Py_ssize_t v) { return PyLong_FromSsize_t(v); };
    Ref it_(num(in_tables)), ic_(num(in_cols)), ot_(num(out_tables)), oc_(num(out_cols)), ich_(num(input_chars)),
        och_(num(output_chars));
    if (!it_ || !ic_ || !ot_ || !oc_ || !ich_ || !och_) return nullptr;
    Ref tpct(percent(it_.get(), ot_.get()));
    Ref cpct(tpct ? percent(ic_.get(), oc_.get()) : nullptr);
    Ref chpct(cpct ? percent(ich_.get(), och_.get()) : nullptr);
    Ref tokpct(chpct ? percent(in_tok.get(), out_tok.get()) : nullptr);
    if (!tokpct) return nullptr;
    Ref ratio;
    int zero_out = PyObject_Not(out_tok.get());
    if (zero_out < 0) return nullptr;
    ratio = zero_out ? Ref(PyFloat_FromDouble(0.0)) : Ref(PyNumber_TrueDivide(in_tok.get(), out_tok.get()));
    if (!ratio) return nullptr;
    Ref metrics(aw::rec_new(SelectionMetricsType,
                            {it_.release(), ic_.release(), ot_.release(), oc_.release(), ich_.release(),
                             och_.release(), in_tok.release(), out_tok.release(), tpct.release(), cpct.release(),
                             chpct.release(), tokpct.release(), ratio.release(), Py_NewRef(catalog_hash)}));
    return metrics.release();
}

namespace {

// The debug map of one result, from what was read when the question was
// answered: names, roles (a record's field may run code: read then, once),
// rounded scores and the first reasons of each ranked table and chosen
// column.
class DebugRankings final : public aw::Deferred {
public:
    struct Entry {
        Ref name, role;      // role: a column's; null for a table's
        double score;        // rounded
        size_t reasons_end;  // its reasons end there in reasons
    };
    std::vector<Entry> tables, columns;
    std::vector<std::pair<Ref, size_t>> chosen;  // a chosen table's name, and where its columns end
    Reasons reasons;
    Ref strategy;
    bool tfidf = false, embedding = false;
    Ref bridge_table;  // when a join path was added
    std::string bridge_reason;

    void add_reasons(const ReasonGroups& from, size_t k) {  // the first ten, as the map shows them
        const size_t begin = from.begin(k);
        reasons.append(from.all, begin, begin + std::min<size_t>(from.end(k) - begin, 10));
    }
    PyObject* make() const override;
    int traverse(visitproc visit, void* arg) const override {
        for (const std::vector<Entry>* list : {&tables, &columns})
            for (const Entry& e : *list) {
                Py_VISIT(e.name.get());
                Py_VISIT(e.role.get());
            }
        for (const auto& [name, end] : chosen) Py_VISIT(name.get());
        Py_VISIT(strategy.get());
        Py_VISIT(bridge_table.get());
        return 0;
    }

private:
    // One ranking entry: {name_key: name, "score": ..., ["role": ...,] "reasons": [...]}.
    PyObject* entry(const Entry& e, PyObject* name_key, size_t reasons_begin) const {
        Ref score(PyFloat_FromDouble(e.score));
        Ref list(score ? reasons_to_list(reasons, reasons_begin, e.reasons_end) : nullptr);
        Ref out(list ? PyDict_New() : nullptr);
        if (!out || PyDict_SetItem(out.get(), name_key, e.name.get()) < 0 ||
            PyDict_SetItem(out.get(), KEY("score"), score.get()) < 0 ||
            (e.role && PyDict_SetItem(out.get(), KEY("role"), e.role.get()) < 0) ||
            PyDict_SetItem(out.get(), KEY("reasons"), list.get()) < 0)
            return nullptr;
        return out.release();
    }
};

PyObject* DebugRankings::make() const {
    // lists filled while allocations may run a collection: out of its reach until full
    Ref rankings(aw::untracked(PyList_New(static_cast<Py_ssize_t>(tables.size()))));
    if (!rankings) return nullptr;
    size_t begin = 0;
    for (size_t i = 0; i < tables.size(); ++i) {
        PyObject* e = entry(tables[i], KEY("table_name"), begin);
        if (!e) return nullptr;
        PyList_SET_ITEM(rankings.get(), static_cast<Py_ssize_t>(i), e);
        begin = tables[i].reasons_end;
    }
    Ref cols(PyDict_New());
    if (!cols) return nullptr;
    size_t k = 0;
    for (const auto& [name, end] : chosen) {
        Ref list(aw::untracked(PyList_New(static_cast<Py_ssize_t>(end - k))));
        if (!list) return nullptr;
        for (Py_ssize_t at = 0; k < end; ++k, ++at) {
            PyObject* e = entry(columns[k], KEY("column_name"), begin);
            if (!e) return nullptr;
            PyList_SET_ITEM(list.get(), at, e);
            begin = columns[k].reasons_end;
        }
        if (PyDict_SetItem(cols.get(), name.get(), aw::tracked(list.get())) < 0) return nullptr;
    }
    Ref debug(PyDict_New());
    if (!debug || !put(debug.get(), KEY("table_rankings"), aw::tracked(rankings.release())) ||
        !put(debug.get(), KEY("selected_column_rankings"), cols.release()) ||
        PyDict_SetItem(debug.get(), KEY("strategy"), strategy.get()) < 0 ||
        !put(debug.get(), KEY("tfidf_available"), PyBool_FromLong(tfidf)) ||
        !put(debug.get(), KEY("embedding_available"), PyBool_FromLong(embedding)))
        return nullptr;
    if (bridge_table) {
        Ref reason(aw::new_str(bridge_reason));  // table names may hold lone surrogates
        Ref paths(reason ? Py_BuildValue("[{s:O,s:O}]", "table_name", bridge_table.get(), "reason", reason.get())
                         : nullptr);
        if (!paths || PyDict_SetItem(debug.get(), KEY("join_paths"), paths.get()) < 0) return nullptr;
    }
    return debug.release();
}

}  // namespace

std::unique_ptr<aw::Deferred> read_debug(const CatalogData& c, const Settings& s, const Plan& p,
                                         bool tfidf_available, bool embedding_available) {
    auto d = std::make_unique<DebugRankings>();
    size_t columns = 0, reasons = p.ranked_reasons.all.size(), text = p.ranked_reasons.all.joined().size();
    for (size_t i = 0; i < p.chosen.size(); ++i) {
        columns += p.choices[i].chosen.size();
        reasons += p.choices[i].reasons.all.size();
        text += p.choices[i].reasons.all.joined().size();
    }
    d->tables.reserve(p.ranked.size());
    d->columns.reserve(columns);
    d->chosen.reserve(p.chosen.size());
    d->reasons.reserve(reasons, text);
    for (size_t i = 0; i < p.ranked.size(); ++i) {
        const size_t t = p.ranked[i];
        d->add_reasons(p.ranked_reasons, i);
        d->tables.push_back({Ref::borrow(c.tables[t].name_obj), Ref(), round6(p.table_scores[t]), d->reasons.size()});
    }
    for (size_t i = 0; i < p.chosen.size(); ++i) {
        const ColumnChoice& choice = p.choices[i];
        for (size_t k = 0; k < choice.chosen.size(); ++k) {
            const size_t at = choice.chosen[k];
            Ref role(c.column_source(at).get(ColumnMetaType, C_ROLE, KEY("role")));
            if (!role) return nullptr;
            d->add_reasons(choice.reasons, k);
            d->columns.push_back({Ref::borrow(c.columns[at].name_obj), std::move(role), round6(choice.scores[k]),
                                  d->reasons.size()});
        }
        d->chosen.emplace_back(Ref::borrow(c.tables[p.chosen[i]].name_obj), d->columns.size());
    }
    d->strategy = Ref::borrow(s.strategy_obj.get());
    d->tfidf = tfidf_available;
    d->embedding = embedding_available;
    if (p.bridged) {
        d->bridge_table = Ref::borrow(c.tables[p.bridge.table].name_obj);
        d->bridge_reason = p.bridge.reason;
    }
    return d;
}

}  // namespace sift
