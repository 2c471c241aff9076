// Reading the native working data once per call: catalog records (or the
// field values a loose catalog map yields) and the question's tokens.
#include "schemasift/core.hpp"

#include "common/pytext.hpp"
#include "common/record.hpp"
#include "core/unicode.hpp"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace sift {
using aw::Ref;

// ------------------------------------------------------------- extraction

Span Arena::add_str(PyObject* str) {
    Py_INCREF(str);
    refs_.push_back(str);
    if (copy_) {
        auto found = copied_.find(str);
        if (found != copied_.end()) return found->second;
    }
    Span text;
    if (PyUnicode_IS_ASCII(str)) {
        text = Span(static_cast<const char*>(PyUnicode_DATA(str)), static_cast<size_t>(PyUnicode_GET_LENGTH(str)));
    } else {
        Py_ssize_t n;
        const char* utf8 = PyUnicode_AsUTF8AndSize(str, &n);
        if (!utf8) {
            PyErr_Clear();  // lone surrogates: keep our own UTF-8 form
            copies_.push_back(aw::to_utf8(str));
            return copies_.back();
        }
        text = Span(utf8, static_cast<size_t>(n));
    }
    if (!copy_) return text;
    const Span own = copy(text);
    copied_.emplace(str, own);
    return own;
}

Span Arena::copy(std::string_view text) {
    constexpr size_t kBlock = 64 * 1024;
    if (text.size() > block_left_) {
        const size_t size = text.size() > kBlock / 4 ? text.size() : kBlock;
        std::unique_ptr<char[]> block(new char[size]);
        blocks_.push_back(std::move(block));
        if (size != kBlock) return Span(static_cast<char*>(memcpy(blocks_.back().get(), text.data(), text.size())),
                                        text.size());
        block_at_ = blocks_.back().get();
        block_left_ = kBlock;
    }
    char* at = block_at_;
    if (!text.empty()) memcpy(at, text.data(), text.size());
    block_at_ += text.size();
    block_left_ -= text.size();
    return Span(at, text.size());
}

namespace {

bool need_str(PyObject* v, const char* what) {
    if (PyUnicode_Check(v)) return true;
    PyErr_Format(PyExc_TypeError, "%s must be str, not %.200s", what, Py_TYPE(v)->tp_name);
    return false;
}

// The str items of a list-like field, as " ".join would take them.
bool add_items(CatalogData& c, PyObject* seq, uint32_t& begin, uint32_t& end) {
    begin = static_cast<uint32_t>(c.items.size());
    if (PyList_CheckExact(seq) && PyList_GET_SIZE(seq) == 0) {  // most tag and synonym lists
        end = begin;
        return true;
    }
    if (!aw::for_each_join_item(seq, [&](Py_ssize_t, PyObject* item) { c.items.push_back(c.arena.add_str(item)); }))
        return false;
    end = static_cast<uint32_t>(c.items.size());
    return true;
}

}  // namespace

Role role_code(PyObject* role) {
    static const char* names[] = {"metric", "dimension", "date", "datetime", "id", "primary_key",
                                  "foreign_key", "text", "boolean", "unknown"};
    if (!PyUnicode_Check(role) || !PyUnicode_IS_ASCII(role)) return ROLE_OTHER;
    std::string_view r(static_cast<const char*>(PyUnicode_DATA(role)), static_cast<size_t>(PyUnicode_GET_LENGTH(role)));
    for (int i = 0; i < 10; ++i)
        if (r == names[i]) return static_cast<Role>(i);
    return ROLE_OTHER;
}

namespace {

int truth(const Source& src, PyTypeObject* type, int index, const char* name) {
    Ref v(src.get(type, index, name));
    return v ? PyObject_IsTrue(v.get()) : -1;
}

// name == default, when the default is present; -1 on error.
int equals_default(PyObject* name, PyObject* dflt) {
    if (!dflt) return 0;
    int present = aw::is_present(dflt);
    if (present <= 0) return present;
    if (PyUnicode_CheckExact(name) && PyUnicode_CheckExact(dflt)) return aw::same_text(name, dflt);
    return PyObject_RichCompareBool(name, dflt, Py_EQ);
}

// Plain values whose str() and format() cannot fail.
bool plain_scalar(PyObject* v) {
    return PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyBool_Check(v) ||
           v == Py_None;
}

// The search text of every column is built on every selection; only values
// outside the plain kinds could make that fail, and then the record's own
// method is asked so that the same error is raised.
bool check_search_text(PyObject* col, PyObject* table_name, PyObject* business) {
    if (!table_name) return true;  // single-column calls build no search text
    bool plain = true;
    for (int i : {C_TYPE, C_ROLE}) {
        PyObject* v = aw::rec_get(col, i);
        if (!v) return false;
        plain = plain && plain_scalar(v);
    }
    PyObject* samples = aw::rec_get(col, C_SAMPLE_VALUES);
    if (!samples) return false;
    if (PyList_CheckExact(samples) || PyTuple_CheckExact(samples)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(samples);
        for (Py_ssize_t i = 0; i < n && i < 10 && plain; ++i) plain = plain_scalar(PySequence_Fast_GET_ITEM(samples, i));
    } else {
        plain = false;
    }
    if (plain) return true;
    Ref text(PyObject_CallMethod(col, "searchable_text", "OO", table_name, business));
    return bool(text);
}

bool check_search_text(const ColumnFields& f, PyObject* table_name, PyObject* business) {
    if (!table_name) return true;
    bool plain = plain_scalar(f[C_TYPE].get()) && plain_scalar(f[C_ROLE].get());
    if (PyObject* samples = f[C_SAMPLE_VALUES].get()) {
        Py_ssize_t n = PyList_GET_SIZE(samples);
        for (Py_ssize_t i = 0; i < n && i < 10 && plain; ++i) plain = plain_scalar(PyList_GET_ITEM(samples, i));
    }
    if (plain) return true;
    Ref col(make_column(f));
    return col && check_search_text(col.get(), table_name, business);
}

bool read_column(CatalogData& c, const Source& col, PyObject* default_date, PyObject* default_metric,
                 PyObject* table_name = nullptr, PyObject* business = nullptr) {
    ColumnData d;
    d.rec = col.rec;
    d.fields = reinterpret_cast<const ColumnFields*>(col.fields);
    Ref name(col.get(ColumnMetaType, C_NAME, "name"));
    if (!name || !need_str(name.get(), "column name")) return false;
    d.name_obj = name.get();
    d.name = c.arena.add_str(name.get());
    Ref desc(col.get(ColumnMetaType, C_DESCRIPTION, "description"));
    if (!desc || !need_str(desc.get(), "column description")) return false;
    d.description = c.arena.add_str(desc.get());
    Ref syn(col.get(ColumnMetaType, C_SYNONYMS, "synonyms"));
    if (!syn || !add_items(c, syn.get(), d.syn_begin, d.syn_end)) return false;
    Ref tags(col.get(ColumnMetaType, C_TAGS, "tags"));
    if (!tags || !add_items(c, tags.get(), d.tag_begin, d.tag_end)) return false;
    Ref role(col.get(ColumnMetaType, C_ROLE, "role"));
    if (!role) return false;
    d.role = role_code(role.get());
    int pk = truth(col, ColumnMetaType, C_IS_PK, "is_primary_key");
    int fk = pk < 0 ? -1 : truth(col, ColumnMetaType, C_IS_FK, "is_foreign_key");
    int dd = fk < 0 ? -1 : equals_default(name.get(), default_date);
    int dm = dd < 0 ? -1 : equals_default(name.get(), default_metric);
    if (dm < 0) return false;
    d.is_pk = pk, d.is_fk = fk, d.is_default_date = dd, d.is_default_metric = dm;
    if (col.fields ? !check_search_text(*d.fields, table_name, business)
                   : Py_IS_TYPE(col.rec, ColumnMetaType) && !check_search_text(col.rec, table_name, business))
        return false;
    c.hold.push_back(std::move(name));
    c.columns.push_back(d);
    return true;
}

// Gives equal names within [begin, end) the same id: the position of the
// first column of that name.
void assign_name_ids(CatalogData& c, size_t begin, size_t end) {
    if (end - begin <= 32) {  // most tables: a scan costs less than a hash map
        for (size_t i = begin; i < end; ++i) {
            ColumnData& col = c.columns[i];
            const std::string_view name = c.text(col.name);
            size_t j = begin;
            while (j < i && c.text(c.columns[j].name) != name) ++j;
            col.name_id = static_cast<int>(j - begin);
        }
        return;
    }
    std::unordered_map<std::string_view, int> first;
    first.reserve(end - begin);
    for (size_t i = begin; i < end; ++i) {
        ColumnData& col = c.columns[i];
        col.name_id = first.emplace(c.text(col.name), static_cast<int>(i - begin)).first->second;
    }
}

}  // namespace

bool CatalogData::add_table(PyObject* table) {
    if (!aw::rec_check(table, TableMetaType)) {
        PyErr_Format(PyExc_TypeError, "catalog tables must be TableMeta, not %.200s", Py_TYPE(table)->tp_name);
        return false;
    }
    TableData t;
    t.rec = table;
    hold.push_back(Ref::borrow(table));
    Ref name(field_of(table, TableMetaType, T_TABLE_NAME, "table_name"));
    if (!name || !need_str(name.get(), "table name")) return false;
    t.name_obj = name.get();
    t.name = arena.add_str(name.get());
    hold.push_back(std::move(name));
    Ref business(field_of(table, TableMetaType, T_BUSINESS_NAME, "business_name"));
    if (!business || !need_str(business.get(), "business name")) return false;
    t.business = arena.add_str(business.get());
    Ref desc(field_of(table, TableMetaType, T_DESCRIPTION, "description"));
    if (!desc || !need_str(desc.get(), "table description")) return false;
    t.description = arena.add_str(desc.get());
    Ref tags(field_of(table, TableMetaType, T_TAGS, "tags"));
    if (!tags || !add_items(*this, tags.get(), t.tag_begin, t.tag_end)) return false;
    Ref dd(field_of(table, TableMetaType, T_DEFAULT_DATE, "default_date_column"));
    Ref dm(dd ? field_of(table, TableMetaType, T_DEFAULT_METRIC, "default_metric_column") : nullptr);
    if (dm && !(plain_scalar(dd.get()) && plain_scalar(dm.get()))) {
        Ref text(PyObject_CallMethod(table, "searchable_text", nullptr));  // same error as the search text
        if (!text) return false;
    }
    Ref cols(dm ? field_of(table, TableMetaType, T_COLUMNS, "columns") : nullptr);
    // a snapshot keeps the records alive; unreachable by other code, and no
    // collection need walk it
    Ref list(cols ? aw::private_list(cols.get()) : nullptr);
    if (!list) return false;
    t.col_begin = static_cast<uint32_t>(columns.size());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        PyObject* col = PyList_GET_ITEM(list.get(), i);
        if (!aw::rec_check(col, ColumnMetaType)) {
            PyErr_Format(PyExc_TypeError, "table columns must be ColumnMeta, not %.200s", Py_TYPE(col)->tp_name);
            return false;
        }
        if (!read_column(*this, Source{col, nullptr}, dd.get(), dm.get(), t.name_obj, business.get())) return false;
    }
    t.col_end = static_cast<uint32_t>(columns.size());
    assign_name_ids(*this, t.col_begin, t.col_end);
    hold.push_back(std::move(list));
    tables.push_back(t);
    return true;
}

bool CatalogData::add_table(const LooseTable& loose) {
    const TableFields& f = loose.fields;
    TableData t;
    t.fields = &f;
    // Names, descriptions and tags are str objects already: str() made them.
    t.name_obj = f[T_TABLE_NAME].get();
    t.name = arena.add_str(t.name_obj);
    t.business = arena.add_str(f[T_BUSINESS_NAME].get());
    t.description = arena.add_str(f[T_DESCRIPTION].get());
    Ref tags(Source{nullptr, f.f}.get(TableMetaType, T_TAGS, "tags"));
    if (!tags || !add_items(*this, tags.get(), t.tag_begin, t.tag_end)) return false;
    PyObject* dd = f[T_DEFAULT_DATE].get();
    PyObject* dm = f[T_DEFAULT_METRIC].get();
    if (!(plain_scalar(dd) && plain_scalar(dm))) {  // same error as the search text
        Ref cols(PyList_New(0));
        if (!cols) return false;
        for (const ColumnFields& col : loose.columns) {
            Ref c(make_column(col));
            if (!c || PyList_Append(cols.get(), c.get()) < 0) return false;
        }
        Ref rec(make_table(f, cols.get()));
        Ref text(rec ? PyObject_CallMethod(rec.get(), "searchable_text", nullptr) : nullptr);
        if (!text) return false;
    }
    t.col_begin = static_cast<uint32_t>(columns.size());
    tables.push_back(t);
    for (const ColumnFields& col : loose.columns)
        if (!read_column(*this, Source{nullptr, col.f}, dd, dm, t.name_obj, f[T_BUSINESS_NAME].get())) return false;
    tables.back().col_end = static_cast<uint32_t>(columns.size());
    assign_name_ids(*this, t.col_begin, tables.back().col_end);
    return true;
}

Source CatalogData::column_source(size_t k) const {
    const ColumnData& col = columns[k];
    return col.rec ? Source{col.rec, nullptr} : Source{nullptr, col.fields->f};
}

Source CatalogData::table_source(size_t t) const {
    const TableData& td = tables[t];
    return td.rec ? Source{td.rec, nullptr} : Source{nullptr, td.fields->f};
}

PyObject* CatalogData::column_record(size_t k) const {
    const ColumnData& col = columns[k];
    if (!col.rec) {
        Ref rec(make_column(*col.fields));
        if (!rec) return nullptr;
        col.rec = rec.get();
        hold.push_back(std::move(rec));
    }
    return col.rec;
}

PyObject* CatalogData::table_record(size_t t) const {
    const TableData& td = tables[t];
    if (!td.rec) {
        Ref cols(PyList_New(0));
        if (!cols) return nullptr;
        for (uint32_t k = td.col_begin; k < td.col_end; ++k) {
            PyObject* c = column_record(k);
            if (!c || PyList_Append(cols.get(), c) < 0) return nullptr;
        }
        Ref rec(make_table(*td.fields, cols.get()));
        if (!rec) return nullptr;
        td.rec = rec.get();
        hold.push_back(std::move(rec));
    }
    return td.rec;
}

bool CatalogData::add_column(PyObject* column, PyObject* default_date, PyObject* default_metric) {
    hold.push_back(Ref::borrow(column));
    return read_column(*this, Source{column, nullptr}, default_date, default_metric);
}

// ---------------------------------------------------------------- question

namespace {
inline uint64_t fnv(std::string_view s) {
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ULL;
    return h;
}
}  // namespace

void QueryTokens::build(std::vector<std::string> tokens) {
    std::sort(tokens.begin(), tokens.end());
    tokens.erase(std::unique(tokens.begin(), tokens.end()), tokens.end());
    words_ = std::move(tokens);
    size_t cap = 16;
    while (cap < words_.size() * 2) cap *= 2;
    mask_ = cap - 1;
    slots_.assign(cap, -1);
    len_mask_ = 0;
    for (auto& m : first_mask_) m = 0;
    for (const std::string& w : words_) {
        len_mask_ |= uint64_t(1) << (w.size() < 63 ? w.size() : 63);
        unsigned char f = w.empty() ? 0 : static_cast<unsigned char>(w[0]);
        first_mask_[f >> 6] |= uint64_t(1) << (f & 63);
    }
    for (size_t i = 0; i < words_.size(); ++i) {
        size_t h = fnv(words_[i]) & mask_;
        while (slots_[h] >= 0) h = (h + 1) & mask_;
        slots_[h] = static_cast<int32_t>(i);
    }
}

int QueryTokens::find(std::string_view w) const {
    if (words_.empty()) return -1;
    size_t h = fnv(w) & mask_;
    while (slots_[h] >= 0) {
        if (words_[static_cast<size_t>(slots_[h])] == w) return slots_[h];
        h = (h + 1) & mask_;
    }
    return -1;
}

void Query::finish() {
    count_or_total = tokens.contains("count") || tokens.contains("total");
    status_type_category = tokens.contains("status") || tokens.contains("type") || tokens.contains("category");
    lowered_chars_ = aw::AsciiSet(lowered);
}

bool read_query(PyObject* question, PyObject* intent, Query& q) {
    if (!need_str(question, "question")) return false;
    Ref toks(PyObject_GetAttrString(intent, "tokens"));
    Ref it(toks ? PyObject_GetIter(toks.get()) : nullptr);
    if (!it) return false;
    std::vector<std::string> words;
    while (PyObject* t = PyIter_Next(it.get())) {
        Ref hold(t);
        // Only texts can equal a document token, and never a stopword: documents
        // are tokenized with the default stopwords. Stand-ins keep the set's size.
        if (PyUnicode_Check(t)) {
            std::string w = aw::to_utf8(t);
            if (default_stopwords().contains(w)) w.insert(0, "\xfe");
            words.push_back(std::move(w));
        } else words.push_back(std::string("\xff", 1) + std::to_string(words.size()));  // never matches
    }
    if (PyErr_Occurred()) return false;
    // the set's size counts non-text members too
    q.tokens.build(std::move(words));
    if (!read_intent(intent, q.flags)) return false;
    q.lowered.clear();
    aw::lower_append(aw::to_utf8(question), q.lowered);
    q.finish();
    return true;
}

}  // namespace sift
