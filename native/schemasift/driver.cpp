// The selection driver: SchemaSift, select_metadata and the stage methods.
#include "schemasift/core.hpp"

#include "common/json.hpp"
#include "common/pytext.hpp"
#include "common/record.hpp"
#include "common/sha256.hpp"
#include "common/unicode.hpp"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace sift {
using aw::Ref;

extern PyTypeObject* SelectorConfigType;
extern PyTypeObject* ScoredColumnType;
extern PyTypeObject* ScoredTableType;
extern PyTypeObject* SelectionMetricsType;
extern PyTypeObject* MetadataSelectionResultType;
extern PyObject* TfidfBackendType;
extern PyObject* EmbeddingBackendType;
PyObject* SchemaSiftType;

namespace {

PyObject* g_module;  // borrowed: the module owns everything created here

// --------------------------------------------------------------- helpers

bool settings_of(PyObject* self, Settings& s) {
    Ref config(PyObject_GetAttr(self, KEY("config")));
    return config && s.read(config.get());
}

// Similarities of every table and column document, looked up by id.
struct VectorScores {
    std::vector<double> table, column;
    bool any = false;
};

bool lookup_scores(const CatalogData& c, PyObject* map, VectorScores& out) {
    out.table.assign(c.tables.size(), 0.0);
    out.column.assign(c.columns.size(), 0.0);
    if (!PyDict_Check(map)) {
        PyErr_Format(PyExc_TypeError, "score maps must be dicts, not %.200s", Py_TYPE(map)->tp_name);
        return false;
    }
    out.any = PyDict_GET_SIZE(map) > 0;
    if (!out.any) return true;
    std::string id;
    auto get = [&](double& dst) {
        Ref key(aw::new_str(id));
        if (!key) return false;
        Ref v(Py_XNewRef(PyDict_GetItemWithError(map, key.get())));  // held: float() may run code
        if (!v) return !PyErr_Occurred();
        dst = PyFloat_AsDouble(v.get());
        return !(dst == -1.0 && PyErr_Occurred());
    };
    for (size_t t = 0; t < c.tables.size(); ++t) {
        const TableData& td = c.tables[t];
        id = "table::";
        id += c.text(td.name);
        if (!get(out.table[t])) return false;
        for (uint32_t k = td.col_begin; k < td.col_end; ++k) {
            id = "column::";
            id += c.text(td.name);
            id += '.';
            id += c.text(c.columns[k].name);
            if (!get(out.column[k])) return false;
        }
    }
    return true;
}

int contains(PyObject* set, PyObject* key) { return set ? PySet_Contains(set, key) : 0; }

// The table scores of one selection; col_lex caches every column's lexical score.
bool score_tables(const CatalogData& c, const Query& q, const Settings& s, const VectorScores& tf,
                  const VectorScores& em, PyObject* required, std::vector<double>& scores,
                  std::vector<double>& col_lex, std::vector<char>& is_required) {
    scores.assign(c.tables.size(), 0.0);
    col_lex.assign(c.columns.size(), 0.0);
    is_required.assign(c.tables.size(), 0);
    for (size_t t = 0; t < c.tables.size(); ++t) {
        int req = contains(required, c.tables[t].name_obj);
        if (req < 0) return false;
        is_required[t] = static_cast<char>(req);
    }
    auto run = [&]() {
        Scratch scratch;
        for (size_t t = 0; t < c.tables.size(); ++t) {
            const TableData& td = c.tables[t];
            double lex = lexical_table(c, td, q, s, scratch, nullptr);
            double score = blend_scores(s, lex, tf.table[t], em.table[t]);
            double best = 0.0;
            for (uint32_t k = td.col_begin; k < td.col_end; ++k) {
                col_lex[k] = lexical_column(c, c.columns[k], q, s, scratch, nullptr);
                if (col_lex[k] > best) best = col_lex[k];
            }
            double evidence = best * 0.2;
            score += 0.3 < evidence ? 0.3 : evidence;
            if (is_required[t]) score += 100.0;
            scores[t] = score;
        }
    };
    // The scoring reads only native data and strings the catalog data holds
    // references to: other threads may run meanwhile on large catalogs.
    if (c.columns.size() >= 256) {
        aw::without_gil(run);
    } else {
        run();
    }
    return true;
}

// Reasons of one table, as _score_tables records them.
Reasons table_reasons(const CatalogData& c, const TableData& t, const Query& q, const Settings& s, bool required) {
    Scratch scratch;
    Reasons r;
    lexical_table(c, t, q, s, scratch, &r);
    if (required) r.push_back("required table");
    return r;
}

// Equal records count as one value when choosing ("already selected").
int same_record(std::string_view name_i, std::string_view name_j, PyObject* a, PyObject* b) {
    if (name_i != name_j) return 0;
    return PyObject_RichCompareBool(a, b, Py_EQ);
}

struct ColumnChoice {
    std::vector<size_t> chosen;  // indices into CatalogData::columns
    std::vector<double> scores;  // final score per chosen column
    std::vector<Reasons> reasons;
};

// _score_and_choose_columns for table t. lex: cached lexical scores or null.
bool choose_table_columns(const CatalogData& c, size_t t, const Query& q, const Settings& s, const VectorScores& tf,
                          const VectorScores& em, PyObject* required, PyObject* excluded, const double* lex,
                          bool with_reasons, ColumnChoice& out) {
    const TableData& td = c.tables[t];
    std::vector<size_t> cols;
    std::vector<double> scores;
    std::vector<char> req;
    std::vector<Role> roles;
    std::vector<int> names;
    Scratch scratch;
    for (uint32_t k = td.col_begin; k < td.col_end; ++k) {
        const ColumnData& col = c.columns[k];
        int ex = contains(excluded, col.name_obj);
        if (ex < 0) return false;
        if (ex) continue;
        int rq = contains(required, col.name_obj);
        if (rq < 0) return false;
        double l = lex ? lex[k] : lexical_column(c, col, q, s, scratch, nullptr);
        double score = blend_scores(s, l, tf.column[k], em.column[k]);
        score = column_bonuses(col, rq, q, s, score, nullptr);
        cols.push_back(k);
        scores.push_back(score);
        req.push_back(static_cast<char>(rq));
        roles.push_back(col.role);
        names.push_back(col.name_id);
    }
    bool failed;
    std::vector<size_t> picked = choose_columns(
        scores, req, roles, names, q.flags, s,
        [&](size_t i, size_t j) {
            const ColumnData &a = c.columns[cols[i]], &b = c.columns[cols[j]];
            return same_record(c.text(a.name), c.text(b.name), a.rec, b.rec);
        },
        &failed);
    if (failed) return false;
    out.chosen.clear();
    out.scores.clear();
    out.reasons.clear();
    for (size_t i : picked) {
        out.chosen.push_back(cols[i]);
        out.scores.push_back(scores[i]);
        if (with_reasons) {
            Reasons r;
            const ColumnData& col = c.columns[cols[i]];
            lexical_column(c, col, q, s, scratch, &r);
            column_bonuses(col, req[i], q, s, 0.0, &r);
            out.reasons.push_back(std::move(r));
        }
    }
    return true;
}

PyObject* round_score(PyObject* v) {
    if (PyFloat_CheckExact(v)) return PyFloat_FromDouble(round6(PyFloat_AS_DOUBLE(v)));
    Ref builtins(PyImport_ImportModule("builtins"));
    return builtins ? PyObject_CallMethod(builtins.get(), "round", "Oi", v, 6) : nullptr;
}

inline PyObject* attr(PyObject* o, PyObject* name) { return PyObject_GetAttr(o, name); }

bool put(PyObject* d, PyObject* key, PyObject* v) {  // steals v
    Ref hold(v);
    return v && PyDict_SetItem(d, key, v) == 0;
}

// One column entry of the selected metadata.
PyObject* column_entry(PyObject* col, PyObject* score, const Settings& s) {
    auto attr = [col](PyObject* name) {
        static const std::pair<PyObject*, int> slots[] = {
            {KEY("name"), C_NAME}, {KEY("type"), C_TYPE}, {KEY("role"), C_ROLE}, {KEY("description"), C_DESCRIPTION},
            {KEY("synonyms"), C_SYNONYMS}, {KEY("is_primary_key"), C_IS_PK}, {KEY("is_foreign_key"), C_IS_FK},
            {KEY("sample_values"), C_SAMPLE_VALUES}};
        if (Py_IS_TYPE(col, ColumnMetaType))
            for (auto& [k, i] : slots)
                if (k == name) {
                    PyObject* v = aw::rec_get(col, i);
                    return v ? Py_NewRef(v) : nullptr;
                }
        return PyObject_GetAttr(col, name);
    };
    Ref d(PyDict_New());
    if (!d || !put(d.get(), KEY("name"), attr(KEY("name"))) || !put(d.get(), KEY("type"), attr(KEY("type"))) ||
        !put(d.get(), KEY("role"), attr(KEY("role"))) || !put(d.get(), KEY("score"), round_score(score)))
        return nullptr;
    if (s.include_descriptions) {
        Ref desc(attr(KEY("description")));
        int p = desc ? aw::is_present(desc.get()) : -1;
        if (p < 0 || (p && !put(d.get(), KEY("description"), desc.release()))) return nullptr;
    }
    if (s.include_synonyms) {
        Ref syn(attr(KEY("synonyms")));
        int p = syn ? aw::is_present(syn.get()) : -1;
        if (p < 0 || (p && !put(d.get(), KEY("synonyms"), PySequence_List(syn.get())))) return nullptr;
    }
    for (PyObject* flag : {KEY("is_primary_key"), KEY("is_foreign_key")}) {
        Ref v(attr(flag));
        int p = v ? PyObject_IsTrue(v.get()) : -1;
        if (p < 0 || (p && !put(d.get(), flag, Py_NewRef(Py_True)))) return nullptr;
    }
    if (s.include_sample_values) {
        Ref samples(attr(KEY("sample_values")));
        int p = samples ? aw::is_present(samples.get()) : -1;
        if (p < 0) return nullptr;
        if (p) {
            long long n = s.max_sample_values_per_column;
            Py_ssize_t stop = n > PY_SSIZE_T_MAX ? PY_SSIZE_T_MAX : n < -PY_SSIZE_T_MAX ? -PY_SSIZE_T_MAX
                                                                                          : static_cast<Py_ssize_t>(n);
            if (stop < 0) stop = 0;  // a negative limit keeps no samples
            Ref cut(PySequence_GetSlice(samples.get(), 0, stop));
            if (!cut || !put(d.get(), KEY("sample_values"), PySequence_List(cut.get()))) return nullptr;
        }
    }
    return d.release();
}

// One table entry; columns is a list of (column record, score object) pairs.
PyObject* table_entry(PyObject* table, PyObject* score, const std::vector<std::pair<PyObject*, PyObject*>>& columns,
                      const Settings& s) {
    auto attr = [table](PyObject* name) {
        static const std::pair<PyObject*, int> slots[] = {
            {KEY("table_name"), T_TABLE_NAME}, {KEY("business_name"), T_BUSINESS_NAME},
            {KEY("description"), T_DESCRIPTION}, {KEY("default_date_column"), T_DEFAULT_DATE},
            {KEY("default_metric_column"), T_DEFAULT_METRIC}, {KEY("row_count"), T_ROW_COUNT}};
        if (Py_IS_TYPE(table, TableMetaType))
            for (auto& [k, i] : slots)
                if (k == name) {
                    PyObject* v = aw::rec_get(table, i);
                    return v ? Py_NewRef(v) : nullptr;
                }
        return PyObject_GetAttr(table, name);
    };
    Ref d(PyDict_New());
    if (!d || !put(d.get(), KEY("table_name"), attr(KEY("table_name"))) || !put(d.get(), KEY("score"), round_score(score)))
        return nullptr;
    Ref cols(PyList_New(0));
    if (!cols) return nullptr;
    for (auto& [col, sc] : columns) {
        Ref e(column_entry(col, sc, s));
        if (!e || PyList_Append(cols.get(), e.get()) < 0) return nullptr;
    }
    if (!put(d.get(), KEY("columns"), cols.release())) return nullptr;
    struct Opt { PyObject* key; bool when; };
    const Opt opts[] = {{KEY("business_name"), true}, {KEY("description"), s.include_descriptions},
                        {KEY("default_date_column"), true}, {KEY("default_metric_column"), true}};
    for (const Opt& o : opts) {
        if (!o.when) continue;
        Ref v(attr(o.key));
        int p = v ? aw::is_present(v.get()) : -1;
        if (p < 0 || (p && !put(d.get(), o.key, v.release()))) return nullptr;
    }
    Ref rows(attr(KEY("row_count")));
    if (!rows || (rows.get() != Py_None && !put(d.get(), KEY("row_count"), rows.release()))) return nullptr;
    return d.release();
}

PyObject* selected_metadata(PyObject* catalog, PyObject* tables, PyObject* relationships) {
    Ref d(PyDict_New());
    if (!d || !put(d.get(), KEY("database"), attr(catalog, KEY("database"))) || PyDict_SetItem(d.get(), KEY("tables"), tables) < 0)
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
    if (PyErr_Occurred() || !put(d.get(), KEY("relationships"), rels.release())) return nullptr;
    return d.release();
}

PyObject* select_relationships(PyObject* catalog, PyObject* names, const Settings& s) {
    Ref out(PyList_New(0));
    if (!out || !s.include_relationships) return out.release();
    Ref rels(attr(catalog, KEY("relationships")));
    Ref list(rels ? PySequence_List(rels.get()) : nullptr);
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
bool json_size(PyObject* value, aw::JsonBuf& text, Py_ssize_t& size) {
    aw::JsonOptions opt;
    opt.ensure_ascii = false;
    opt.default_str = true;
    text.clear();
    if (!aw::json_write(text, value, opt)) return false;
    size = static_cast<Py_ssize_t>(aw::count_code_points(text.view()));
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

PyObject* apply_output_budget(PyObject* selected, const Settings& s) {
    if (!PyDict_Check(selected)) {
        PyErr_Format(PyExc_TypeError, "selected_metadata must be a dict, not %.200s", Py_TYPE(selected)->tp_name);
        return nullptr;
    }
    PyObject* budget = s.max_output_chars.get();
    int present = aw::is_present(budget);
    if (present <= 0) return present < 0 ? nullptr : Py_NewRef(selected);
    aw::JsonBuf text;
    Py_ssize_t size;
    if (!json_size(selected, text, size)) return nullptr;
    int ok = fits(size, budget);
    if (ok) return ok < 0 ? nullptr : Py_NewRef(selected);
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
        if (!json_size(copy.get(), text, size)) return -1;
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

// ------------------------------------------------------------ doc texts

// The searchable texts, as the records render them, keyed by document id.
PyObject* build_doc_texts(PyObject* catalog) {
    Ref docs(PyDict_New());
    Ref tables(docs ? attr(catalog, KEY("tables")) : nullptr);
    Ref list(tables ? PySequence_List(tables.get()) : nullptr);
    if (!list) return nullptr;
    std::string text, id;
    // f"{prefix}{a}" or f"{prefix}{a}.{b}"
    auto make_id = [&](const char* prefix, PyObject* a, PyObject* b) -> PyObject* {
        id = prefix;
        PyObject* parts[2] = {a, b};
        for (int k = 0; k < 2 && parts[k]; ++k) {
            PyObject* part = parts[k];
            if (k) id.push_back('.');
            Ref shown(PyUnicode_CheckExact(part) ? Py_NewRef(part) : PyObject_Format(part, nullptr));
            if (!shown) return nullptr;
            aw::append_str(id, shown.get());
        }
        return aw::new_str(id);
    };
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        PyObject* t = PyList_GET_ITEM(list.get(), i);
        Ref name(attr(t, KEY("table_name")));
        Ref business(name ? attr(t, KEY("business_name")) : nullptr);
        if (!business) return nullptr;
        // Our own records are rendered directly; a subclass may render itself.
        Ref rendered;
        if (Py_IS_TYPE(t, TableMetaType)) {
            text.clear();
            if (table_searchable_text(t, text)) rendered = Ref(aw::new_str(text));
        } else {
            rendered = Ref(PyObject_CallMethod(t, "searchable_text", nullptr));
        }
        Ref tid(rendered ? make_id("table::", name.get(), nullptr) : nullptr);
        if (!tid || PyDict_SetItem(docs.get(), tid.get(), rendered.get()) < 0) return nullptr;
        Ref cols(attr(t, KEY("columns")));
        Ref clist(cols ? PySequence_List(cols.get()) : nullptr);
        if (!clist) return nullptr;
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(clist.get()); ++k) {
            PyObject* col = PyList_GET_ITEM(clist.get(), k);
            Ref cname(attr(col, KEY("name")));
            if (!cname) return nullptr;
            Ref ctext;
            if (Py_IS_TYPE(col, ColumnMetaType)) {
                text.clear();
                if (column_searchable_text(col, name.get(), business.get(), text)) ctext = Ref(aw::new_str(text));
            } else {
                ctext = Ref(PyObject_CallMethod(col, "searchable_text", "OO", name.get(), business.get()));
            }
            Ref cid(ctext ? make_id("column::", name.get(), cname.get()) : nullptr);
            if (!cid || PyDict_SetItem(docs.get(), cid.get(), ctext.get()) < 0) return nullptr;
        }
    }
    return docs.release();
}

// _get_tfidf_scores / _get_embedding_scores. docs may be null: built on demand
// only once a backend turns out to be usable.
PyObject* vector_scores(PyObject* catalog, PyObject* question, PyObject*& docs, const Settings& s, bool embedding) {
    Strategy own = embedding ? STRATEGY_EMBEDDING : STRATEGY_TFIDF;
    if ((s.strategy != own && s.strategy != STRATEGY_HYBRID) ||
        !(embedding ? s.use_embeddings_if_available : s.use_tfidf_if_available))
        return PyDict_New();
    PyObject* cls = PyObject_GetAttrString(g_module, embedding ? "OptionalEmbeddingBackend" : "OptionalTfidfBackend");
    Ref cls_ref(cls);
    Ref backend(cls ? (embedding ? PyObject_CallOneArg(cls, s.embedding_model_name_or_path.get())
                                 : PyObject_CallNoArgs(cls))
                    : nullptr);
    Ref avail(backend ? attr(backend.get(), KEY("available")) : nullptr);
    int ok = avail ? PyObject_IsTrue(avail.get()) : -1;
    if (ok <= 0) return ok < 0 ? nullptr : PyDict_New();
    if (!docs && !(docs = build_doc_texts(catalog))) return nullptr;
    Ref built(PyObject_CallMethod(backend.get(), "build", "O", docs));
    return built ? PyObject_CallMethod(backend.get(), "score", "O", question) : nullptr;
}

// ---------------------------------------------------------------- select

bool check_kind(PyObject* v, bool ok, const char* name, const char* kind) {
    if (v == Py_None || ok) return true;
    PyErr_Format(PyExc_TypeError, "%s must be %s or None, not %.200s", name, kind, Py_TYPE(v)->tp_name);
    return false;
}

bool is_blank(PyObject* question) {
    std::string q = aw::to_utf8(question);
    size_t i = 0;
    while (i < q.size()) {
        uint32_t cp;
        i += aw::utf8_next(q, i, cp);
        if (!aw::is_space(cp)) return false;
    }
    return true;
}

// set(values or [])
PyObject* set_of(PyObject* values) {
    int p = aw::is_present(values);
    if (p < 0) return nullptr;
    return p ? PySet_New(values) : PySet_New(nullptr);
}

// A required/excluded column map's entry for one table, as a set (or null when empty).
bool column_set(PyObject* map, PyObject* table_name, Ref& out) {
    out = Ref();
    if (!map) return true;
    Ref v(Py_XNewRef(PyDict_GetItemWithError(map, table_name)));  // held while iterated
    if (!v) return !PyErr_Occurred();
    out = Ref(PySet_New(v.get()));
    return bool(out);
}

// Hashes and measures the catalog's JSON text piece by piece; other threads
// run while it works on a large piece.
struct HashSink : JsonSink {
    aw::Sha256 sha;
    size_t code_points = 0;
    void consume(std::string_view piece) override {
        if (piece.size() < (1u << 16)) {
            take(piece);
            return;
        }
        aw::without_gil([&] { take(piece); });
    }
    void take(std::string_view piece) {
        sha.update(piece);
        code_points += aw::count_code_points(piece);
    }
};

PyObject* run_select(PyObject* self, PyObject* question, PyObject* catalog_arg, PyObject* database,
                     PyObject* req_tables, PyObject* req_cols, PyObject* exc_tables, PyObject* exc_cols) {
    if (!PyUnicode_Check(question)) {
        PyErr_Format(PyExc_TypeError, "question must be str, not %.200s", Py_TYPE(question)->tp_name);
        return nullptr;
    }
    if (!check_kind(database, PyUnicode_Check(database), "database", "str") ||
        !check_kind(req_tables, PyList_Check(req_tables), "required_tables", "a list") ||
        !check_kind(exc_tables, PyList_Check(exc_tables), "excluded_tables", "a list") ||
        !check_kind(req_cols, PyDict_Check(req_cols), "required_columns", "a dict") ||
        !check_kind(exc_cols, PyDict_Check(exc_cols), "excluded_columns", "a dict"))
        return nullptr;
    Settings s;
    if (!settings_of(self, s)) return nullptr;
    if (is_blank(question)) {
        PyErr_SetString(PyExc_ValueError, "question is required");
        return nullptr;
    }
    // Normalization, database name and table exclusion write into a caller's record.
    Ref catalog;
    if (aw::rec_check(catalog_arg, MetadataCatalogType)) {
        catalog = Ref::borrow(catalog_arg);
    } else {
        Ref normalizer(PyObject_GetAttrString(g_module, "CatalogNormalizer"));
        catalog = Ref(normalizer ? PyObject_CallMethod(normalizer.get(), "normalize", "OO", catalog_arg, database)
                                 : nullptr);
        if (!catalog) return nullptr;
    }
    int db_present = aw::is_present(database);
    if (db_present < 0 || (db_present && PyObject_SetAttrString(catalog.get(), "database", database) < 0))
        return nullptr;
    Ref required_set(set_of(req_tables));
    Ref excluded_set(required_set ? set_of(exc_tables) : nullptr);
    if (!excluded_set) return nullptr;
    PyObject* required_cols = aw::is_present(req_cols) > 0 ? req_cols : nullptr;
    PyObject* excluded_cols = aw::is_present(exc_cols) > 0 ? exc_cols : nullptr;
    {
        Ref tables(attr(catalog.get(), KEY("tables")));
        Ref it(tables ? PyObject_GetIter(tables.get()) : nullptr);
        Ref kept(it ? PyList_New(0) : nullptr);
        if (!kept) return nullptr;
        while (PyObject* t = PyIter_Next(it.get())) {
            Ref hold(t);
            Ref name(field_of(t, TableMetaType, T_TABLE_NAME, "table_name"));
            int ex = name ? PySet_Contains(excluded_set.get(), name.get()) : -1;
            if (ex < 0 || (!ex && PyList_Append(kept.get(), t) < 0)) return nullptr;
        }
        if (PyErr_Occurred() || PyObject_SetAttrString(catalog.get(), "tables", kept.get()) < 0) return nullptr;
    }

    // Intent.
    Intent intent;
    parse_intent(aw::to_utf8(question), intent);
    Ref intent_obj(intent_to_py(question, intent));
    if (!intent_obj) return nullptr;
    Query q;
    {
        std::vector<std::string> words(intent.tokens.begin(), intent.tokens.end());
        q.tokens.build(std::move(words));
        q.lowered = intent.lowered;
        q.flags = {intent.has_time_filter, intent.wants_trend, intent.wants_metric, intent.wants_grouping};
        q.finish();
    }

    // Input size and hash, straight from the records. Sorting keys only
    // reorders members, so the sorted text has the size of the unsorted one.
    aw::JsonBuf json;
    Ref catalog_hash;
    Py_ssize_t input_chars;
    {
        HashSink sink;
        if (!catalog_prompt_json(catalog.get(), true, json, &sink)) return nullptr;
        sink.consume(json.view());
        json.clear();
        input_chars = static_cast<Py_ssize_t>(sink.code_points);
        catalog_hash = Ref(aw::new_str(std::string_view(sink.sha.hex()).substr(0, 16)));
        if (!catalog_hash) return nullptr;
    }

    // The catalog, read once.
    CatalogData c;
    {
        Ref tables(attr(catalog.get(), KEY("tables")));
        Ref list(tables ? PySequence_List(tables.get()) : nullptr);
        if (!list) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i)
            if (!c.add_table(PyList_GET_ITEM(list.get(), i))) return nullptr;
        c.hold.push_back(std::move(list));
    }

    // Vector evidence.
    PyObject* docs = nullptr;
    Ref tf_map(vector_scores(catalog.get(), question, docs, s, false));
    Ref em_map(tf_map ? vector_scores(catalog.get(), question, docs, s, true) : nullptr);
    Py_XDECREF(docs);
    if (!em_map) return nullptr;
    VectorScores tf, em;
    if (!lookup_scores(c, tf_map.get(), tf) || !lookup_scores(c, em_map.get(), em)) return nullptr;

    // Tables, then columns of the chosen ones.
    std::vector<double> table_scores, col_lex;
    std::vector<char> is_required;
    PyObject* req_set = PySet_GET_SIZE(required_set.get()) ? required_set.get() : nullptr;
    if (!score_tables(c, q, s, tf, em, req_set, table_scores, col_lex, is_required)) return nullptr;
    bool failed;
    std::vector<size_t> chosen = choose_tables(
        table_scores, is_required, s.top_k_tables, s.min_table_score,
        [&](size_t i, size_t j) {
            return same_record(c.text(c.tables[i].name), c.text(c.tables[j].name), c.tables[i].rec, c.tables[j].rec);
        },
        &failed);
    if (failed) return nullptr;
    std::vector<ColumnChoice> choices(chosen.size());
    for (size_t i = 0; i < chosen.size(); ++i) {
        Ref rq, ex;
        if (!column_set(required_cols, c.tables[chosen[i]].name_obj, rq) ||
            !column_set(excluded_cols, c.tables[chosen[i]].name_obj, ex) ||
            !choose_table_columns(c, chosen[i], q, s, tf, em, rq.get(), ex.get(), col_lex.data(), s.include_debug,
                                  choices[i]))
            return nullptr;
    }

    // Output map.
    Ref entries(PyList_New(0));
    Ref names(entries ? PyList_New(0) : nullptr);
    if (!names) return nullptr;
    for (size_t i = 0; i < chosen.size(); ++i) {
        const TableData& td = c.tables[chosen[i]];
        std::vector<Ref> score_refs;
        std::vector<std::pair<PyObject*, PyObject*>> cols;
        for (size_t k = 0; k < choices[i].chosen.size(); ++k) {
            score_refs.emplace_back(PyFloat_FromDouble(choices[i].scores[k]));
            if (!score_refs.back()) return nullptr;
            cols.emplace_back(c.columns[choices[i].chosen[k]].rec, score_refs.back().get());
        }
        Ref score(PyFloat_FromDouble(table_scores[chosen[i]]));
        Ref e(score ? table_entry(td.rec, score.get(), cols, s) : nullptr);
        if (!e || PyList_Append(entries.get(), e.get()) < 0 || PyList_Append(names.get(), td.name_obj) < 0)
            return nullptr;
    }
    Ref rels(select_relationships(catalog.get(), names.get(), s));
    Ref built(rels ? selected_metadata(catalog.get(), entries.get(), rels.get()) : nullptr);
    Ref selected(built ? apply_output_budget(built.get(), s) : nullptr);
    if (!selected) return nullptr;

    // Metrics.
    Py_ssize_t output_chars;
    if (!json_size(selected.get(), json, output_chars)) return nullptr;
    Py_ssize_t in_tables = static_cast<Py_ssize_t>(c.tables.size());
    Py_ssize_t in_cols = static_cast<Py_ssize_t>(c.columns.size());
    Py_ssize_t out_tables = 0, out_cols = 0;
    if (PyDict_Check(selected.get())) {
        Ref ts(Py_XNewRef(PyDict_GetItemWithError(selected.get(), KEY("tables"))));
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
    Ref tpct(reduction_percent(it_.get(), ot_.get()));
    Ref cpct(tpct ? reduction_percent(ic_.get(), oc_.get()) : nullptr);
    Ref chpct(cpct ? reduction_percent(ich_.get(), och_.get()) : nullptr);
    Ref tokpct(chpct ? reduction_percent(in_tok.get(), out_tok.get()) : nullptr);
    if (!tokpct) return nullptr;
    Ref ratio;
    int zero_out = PyObject_Not(out_tok.get());
    if (zero_out < 0) return nullptr;
    ratio = zero_out ? Ref(PyFloat_FromDouble(0.0)) : Ref(PyNumber_TrueDivide(in_tok.get(), out_tok.get()));
    if (!ratio) return nullptr;
    Ref metrics(aw::rec_new(SelectionMetricsType,
                            {it_.release(), ic_.release(), ot_.release(), oc_.release(), ich_.release(),
                             och_.release(), in_tok.release(), out_tok.release(), tpct.release(), cpct.release(),
                             chpct.release(), tokpct.release(), ratio.release(), catalog_hash.release()}));
    if (!metrics) return nullptr;

    // Debug rankings.
    Ref debug(PyDict_New());
    if (!debug) return nullptr;
    if (s.include_debug) {
        std::vector<size_t> ranked = rank_by_score(table_scores);
        if (ranked.size() > 20) ranked.resize(20);
        Ref rankings(PyList_New(0));
        if (!rankings) return nullptr;
        for (size_t t : ranked) {
            Ref e(PyDict_New());
            Reasons r = table_reasons(c, c.tables[t], q, s, is_required[t]);
            if (!e || PyDict_SetItem(e.get(), KEY("table_name"), c.tables[t].name_obj) < 0 ||
                !put(e.get(), KEY("score"), PyFloat_FromDouble(round6(table_scores[t]))) ||
                !put(e.get(), KEY("reasons"), reasons_to_list(r, 10)) || PyList_Append(rankings.get(), e.get()) < 0)
                return nullptr;
        }
        Ref columns(PyDict_New());
        if (!columns) return nullptr;
        for (size_t i = 0; i < chosen.size(); ++i) {
            Ref list(PyList_New(0));
            if (!list) return nullptr;
            for (size_t k = 0; k < choices[i].chosen.size(); ++k) {
                const ColumnData& col = c.columns[choices[i].chosen[k]];
                Ref e(PyDict_New());
                if (!e || PyDict_SetItem(e.get(), KEY("column_name"), col.name_obj) < 0 ||
                    !put(e.get(), KEY("score"), PyFloat_FromDouble(round6(choices[i].scores[k]))) ||
                    !put(e.get(), KEY("role"), attr(col.rec, KEY("role"))) ||
                    !put(e.get(), KEY("reasons"), reasons_to_list(choices[i].reasons[k], 10)) ||
                    PyList_Append(list.get(), e.get()) < 0)
                    return nullptr;
            }
            if (PyDict_SetItem(columns.get(), c.tables[chosen[i]].name_obj, list.get()) < 0) return nullptr;
        }
        if (!put(debug.get(), KEY("table_rankings"), rankings.release()) ||
            !put(debug.get(), KEY("selected_column_rankings"), columns.release()) ||
            PyDict_SetItem(debug.get(), KEY("strategy"), s.strategy_obj.get()) < 0 ||
            !put(debug.get(), KEY("tfidf_available"), PyBool_FromLong(tf.any)) ||
            !put(debug.get(), KEY("embedding_available"), PyBool_FromLong(em.any)))
            return nullptr;
    }
    return aw::rec_new(MetadataSelectionResultType,
                       {selected.release(), metrics.release(), intent_obj.release(), debug.release()});
}

// --------------------------------------------------- Python-facing stages

#define PARSE(fmt, ...)                                                                                     \
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, fmt, const_cast<char**>(kw), __VA_ARGS__)) return nullptr

bool need(bool ok, const char* name, const char* kind, PyObject* v) {
    if (!ok) PyErr_Format(PyExc_TypeError, "%s must be %s, not %.200s", name, kind, Py_TYPE(v)->tp_name);
    return ok;
}

bool is_number(PyObject* v) { return PyFloat_Check(v) || PyLong_Check(v); }

PyObject* m_init(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"self", "config", nullptr};
    PyObject *self, *config = Py_None;
    PARSE("O|O:__init__", &self, &config);
    Ref cfg;
    if (config == Py_None) cfg = Ref(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(SelectorConfigType)));
    else if (need(aw::rec_check(config, SelectorConfigType), "config", "a SelectorConfig or None", config))
        cfg = Ref::borrow(config);
    if (!cfg) return nullptr;
    Ref parser_cls(PyObject_GetAttrString(g_module, "IntentParser"));
    Ref parser(parser_cls ? PyObject_CallNoArgs(parser_cls.get()) : nullptr);
    if (!parser || PyObject_SetAttrString(self, "config", cfg.get()) < 0 ||
        PyObject_SetAttrString(self, "intent_parser", parser.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* m_select(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"self", "question", "catalog", "database", "required_tables", "required_columns",
                               "excluded_tables", "excluded_columns", nullptr};
    PyObject *self, *question, *catalog, *database = Py_None, *rt = Py_None, *rc = Py_None, *et = Py_None,
                                                  *ec = Py_None;
    PARSE("OOO|$OOOOO:select", &self, &question, &catalog, &database, &rt, &rc, &et, &ec);
    return run_select(self, question, catalog, database, rt, rc, et, ec);
}

PyObject* m_build_doc_texts(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"self", "catalog", nullptr};
    PyObject *self, *catalog;
    PARSE("OO:_build_doc_texts", &self, &catalog);
    return build_doc_texts(catalog);
}

PyObject* vector_method(PyObject* args, PyObject* kwargs, bool embedding) {
    static const char* kw[] = {"self", "question", "doc_text_by_id", nullptr};
    PyObject *self, *question, *docs;
    PARSE("OOO:_get_scores", &self, &question, &docs);
    Settings s;
    if (!settings_of(self, s)) return nullptr;
    PyObject* d = Py_NewRef(docs);
    Ref out(vector_scores(nullptr, question, d, s, embedding));
    Py_DECREF(d);
    return out.release();
}
PyObject* m_tfidf(PyObject*, PyObject* a, PyObject* k) { return vector_method(a, k, false); }
PyObject* m_embedding(PyObject*, PyObject* a, PyObject* k) { return vector_method(a, k, true); }

PyObject* m_blend(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"self", "lexical", "tfidf", "embedding", nullptr};
    PyObject *self, *l, *t, *e;
    PARSE("OOOO:_blend_scores", &self, &l, &t, &e);
    for (PyObject* v : {l, t, e})
        if (!need(is_number(v), "scores", "int or float", v)) return nullptr;
    Settings s;
    if (!settings_of(self, s)) return nullptr;
    double lv = PyFloat_AsDouble(l), tv = PyFloat_AsDouble(t), ev = PyFloat_AsDouble(e);
    if (PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(blend_scores(s, lv, tv, ev));
}

PyObject* m_overlap(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"self", "q_tokens", "doc_tokens", "weight", "reasons", "reason_label", nullptr};
    PyObject *self, *q, *d, *w, *reasons, *label;
    PARSE("OOOOOO:_token_overlap_score", &self, &q, &d, &w, &reasons, &label);
    if (!need(PyAnySet_Check(q), "q_tokens", "a set", q) || !need(PyAnySet_Check(d), "doc_tokens", "a set", d) ||
        !need(is_number(w), "weight", "int or float", w) || !need(PyList_Check(reasons), "reasons", "a list", reasons) ||
        !need(PyUnicode_Check(label), "reason_label", "str", label))
        return nullptr;
    double weight = PyFloat_AsDouble(w);
    if (weight == -1.0 && PyErr_Occurred()) return nullptr;
    if (PySet_GET_SIZE(q) == 0 || PySet_GET_SIZE(d) == 0) return PyFloat_FromDouble(0.0);
    Ref both(PyNumber_And(q, d));
    if (!both) return nullptr;
    Py_ssize_t n = PyObject_Length(both.get());
    if (n <= 0) return n < 0 ? nullptr : PyFloat_FromDouble(0.0);
    double contribution = static_cast<double>(n) / static_cast<double>(PySet_GET_SIZE(q)) * weight;
    Ref sorted(PySequence_List(both.get()));
    if (!sorted || PyList_Sort(sorted.get()) < 0) return nullptr;
    Ref first(PyList_GetSlice(sorted.get(), 0, 8));
    Ref sep(first ? PyUnicode_FromString(", ") : nullptr);
    Ref joined(sep ? PyUnicode_Join(sep.get(), first.get()) : nullptr);
    Ref reason(joined ? PyUnicode_FromFormat("%U overlap: %U", label, joined.get()) : nullptr);
    if (!reason || PyList_Append(reasons, reason.get()) < 0) return nullptr;
    return PyFloat_FromDouble(contribution);
}

PyObject* m_normalize(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"self", "score", nullptr};
    PyObject *self, *score;
    PARSE("OO:_normalize_lexical", &self, &score);
    if (!need(is_number(score), "score", "int or float", score)) return nullptr;
    double v = PyFloat_AsDouble(score);
    if (v == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(normalize_lexical(v));
}

PyObject* score_pair(double score, const Reasons& r) {
    Ref list(reasons_to_list(r));
    return list ? Py_BuildValue("(dO)", score, list.get()) : nullptr;
}

PyObject* m_lex_table(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"self", "question", "table", "intent", nullptr};
    PyObject *self, *question, *table, *intent;
    PARSE("OOOO:_lexical_score_table", &self, &question, &table, &intent);
    Settings s;
    Query q;
    CatalogData c;
    if (!read_query(question, intent, q) || !settings_of(self, s) || !c.add_table(table)) return nullptr;
    Scratch scratch;
    Reasons r;
    double score = lexical_table(c, c.tables[0], q, s, scratch, &r);
    return score_pair(score, r);
}

PyObject* m_lex_column(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"self", "question", "table", "col", "intent", nullptr};
    PyObject *self, *question, *table, *col, *intent;
    PARSE("OOOOO:_lexical_score_column", &self, &question, &table, &col, &intent);
    Settings s;
    Query q;
    CatalogData c;
    if (!read_query(question, intent, q) || !settings_of(self, s)) return nullptr;
    if (!need(aw::rec_check(col, ColumnMetaType), "col", "a ColumnMeta", col) || !c.add_column(col, nullptr, nullptr))
        return nullptr;
    Scratch scratch;
    Reasons r;
    double score = lexical_column(c, c.columns[0], q, s, scratch, &r);
    return score_pair(score, r);
}

PyObject* m_score_tables(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"self", "question", "catalog", "intent", "tfidf_scores", "embedding_scores",
                               "required_tables", nullptr};
    PyObject *self, *question, *catalog, *intent, *tfm, *emm, *required;
    PARSE("O|$OOOOOO:_score_tables", &self, &question, &catalog, &intent, &tfm, &emm, &required);
    if (PyTuple_GET_SIZE(args) != 1 || !kwargs || PyDict_GET_SIZE(kwargs) != 6) {
        PyErr_SetString(PyExc_TypeError, "_score_tables() takes keyword-only arguments question, catalog, intent, "
                                         "tfidf_scores, embedding_scores, required_tables");
        return nullptr;
    }
    if (!need(PyAnySet_Check(required), "required_tables", "a set", required)) return nullptr;
    Settings s;
    Query q;
    CatalogData c;
    if (!read_query(question, intent, q) || !settings_of(self, s)) return nullptr;
    Ref tables(attr(catalog, KEY("tables")));
    Ref list(tables ? PySequence_List(tables.get()) : nullptr);
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i)
        if (!c.add_table(PyList_GET_ITEM(list.get(), i))) return nullptr;
    VectorScores tf, em;
    if (!lookup_scores(c, tfm, tf) || !lookup_scores(c, emm, em)) return nullptr;
    std::vector<double> scores, col_lex;
    std::vector<char> req;
    if (!score_tables(c, q, s, tf, em, required, scores, col_lex, req)) return nullptr;
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    for (size_t t = 0; t < c.tables.size(); ++t) {
        Ref reasons(reasons_to_list(table_reasons(c, c.tables[t], q, s, req[t])));
        Ref st(reasons ? aw::rec_new(ScoredTableType, {Py_NewRef(c.tables[t].rec), PyFloat_FromDouble(scores[t]),
                                                       reasons.release(), PyList_New(0)})
                       : nullptr);
        if (!st || PyList_Append(out.get(), st.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* m_choose_tables(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"self", "scored_tables", "required_tables", nullptr};
    PyObject *self, *scored, *required;
    PARSE("OOO:_choose_tables", &self, &scored, &required);
    if (!need(PyList_Check(scored), "scored_tables", "a list", scored) ||
        !need(PyAnySet_Check(required), "required_tables", "a set", required))
        return nullptr;
    Settings s;
    if (!settings_of(self, s)) return nullptr;
    Ref items(PySequence_List(scored));
    if (!items) return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(items.get());
    std::vector<double> scores(static_cast<size_t>(n));
    std::vector<char> req(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* st = PyList_GET_ITEM(items.get(), i);
        Ref score(attr(st, KEY("score")));
        Ref table(score ? attr(st, KEY("table")) : nullptr);
        Ref name(table ? attr(table.get(), KEY("table_name")) : nullptr);
        if (!name) return nullptr;
        double v = PyFloat_AsDouble(score.get());
        int r = PySet_Contains(required, name.get());
        if ((v == -1.0 && PyErr_Occurred()) || r < 0) return nullptr;
        scores[static_cast<size_t>(i)] = v;
        req[static_cast<size_t>(i)] = static_cast<char>(r);
    }
    bool failed;
    std::vector<size_t> chosen = choose_tables(
        scores, req, s.top_k_tables, s.min_table_score,
        [&](size_t i, size_t j) {
            return PyObject_RichCompareBool(PyList_GET_ITEM(items.get(), i), PyList_GET_ITEM(items.get(), j), Py_EQ);
        },
        &failed);
    if (failed) return nullptr;
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    for (size_t i : chosen)
        if (PyList_Append(out.get(), PyList_GET_ITEM(items.get(), i)) < 0) return nullptr;
    return out.release();
}

PyObject* m_score_columns(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"self", "question", "table", "intent", "tfidf_scores", "embedding_scores",
                               "required_columns", "excluded_columns", nullptr};
    PyObject *self, *question, *table, *intent, *tfm, *emm, *required, *excluded;
    PARSE("O|$OOOOOOO:_score_and_choose_columns", &self, &question, &table, &intent, &tfm, &emm, &required,
          &excluded);
    if (PyTuple_GET_SIZE(args) != 1 || !kwargs || PyDict_GET_SIZE(kwargs) != 7) {
        PyErr_SetString(PyExc_TypeError, "_score_and_choose_columns() takes keyword-only arguments question, table, "
                                         "intent, tfidf_scores, embedding_scores, required_columns, excluded_columns");
        return nullptr;
    }
    if (!need(PyAnySet_Check(required), "required_columns", "a set", required) ||
        !need(PyAnySet_Check(excluded), "excluded_columns", "a set", excluded))
        return nullptr;
    Settings s;
    Query q;
    CatalogData c;
    if (!read_query(question, intent, q) || !settings_of(self, s) || !c.add_table(table)) return nullptr;
    VectorScores tf, em;
    if (!lookup_scores(c, tfm, tf) || !lookup_scores(c, emm, em)) return nullptr;
    ColumnChoice choice;
    if (!choose_table_columns(c, 0, q, s, tf, em, required, excluded, nullptr, true, choice)) return nullptr;
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    for (size_t k = 0; k < choice.chosen.size(); ++k) {
        Ref reasons(reasons_to_list(choice.reasons[k]));
        Ref sc(reasons ? aw::rec_new(ScoredColumnType, {Py_NewRef(c.columns[choice.chosen[k]].rec),
                                                        PyFloat_FromDouble(choice.scores[k]), reasons.release()})
                       : nullptr);
        if (!sc || PyList_Append(out.get(), sc.get()) < 0) return nullptr;
    }
    return out.release();
}

PyObject* m_ensure(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"self", "table", "ranked", "selected", "intent", nullptr};
    PyObject *self, *table, *ranked, *selected, *intent;
    PARSE("OOOOO:_ensure_intent_columns", &self, &table, &ranked, &selected, &intent);
    if (!need(PyList_Check(selected), "selected", "a list", selected)) return nullptr;
    IntentFlags flags;
    if (!read_intent(intent, flags)) return nullptr;
    Ref all(PySequence_List(ranked));
    if (!all) return nullptr;
    Py_ssize_t n_ranked = PyList_GET_SIZE(all.get());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(selected); ++i)
        if (PyList_Append(all.get(), PyList_GET_ITEM(selected, i)) < 0) return nullptr;
    Ref ids(PyDict_New());
    if (!ids) return nullptr;
    std::vector<Role> roles;
    std::vector<int> names;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(all.get()); ++i) {
        Ref col(attr(PyList_GET_ITEM(all.get(), i), KEY("column")));
        Ref name(col ? attr(col.get(), KEY("name")) : nullptr);
        Ref role(name ? attr(col.get(), KEY("role")) : nullptr);
        if (!role) return nullptr;
        PyObject* id = PyDict_GetItemWithError(ids.get(), name.get());
        if (!id) {
            if (PyErr_Occurred()) return nullptr;
            Ref fresh(PyLong_FromSsize_t(PyDict_GET_SIZE(ids.get())));
            if (!fresh || PyDict_SetItem(ids.get(), name.get(), fresh.get()) < 0) return nullptr;
            id = fresh.get();
        }
        names.push_back(static_cast<int>(PyLong_AsLong(id)));
        roles.push_back(role_code(role.get()));
    }
    std::vector<size_t> ranked_idx, selected_idx;
    for (Py_ssize_t i = 0; i < n_ranked; ++i) ranked_idx.push_back(static_cast<size_t>(i));
    for (Py_ssize_t i = n_ranked; i < PyList_GET_SIZE(all.get()); ++i) selected_idx.push_back(static_cast<size_t>(i));
    size_t before = selected_idx.size();
    ensure_intent_columns(ranked_idx, selected_idx, roles, names, flags);
    for (size_t k = before; k < selected_idx.size(); ++k)
        if (PyList_Append(selected, PyList_GET_ITEM(all.get(), selected_idx[k])) < 0) return nullptr;
    return Py_NewRef(selected);
}

PyObject* m_select_relationships(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"self", "catalog", "selected_tables", nullptr};
    PyObject *self, *catalog, *selected;
    PARSE("OOO:_select_relationships", &self, &catalog, &selected);
    Settings s;
    if (!settings_of(self, s)) return nullptr;
    Ref names(PyList_New(0));
    Ref it(names ? PyObject_GetIter(selected) : nullptr);
    if (!it) return nullptr;
    while (PyObject* st = PyIter_Next(it.get())) {
        Ref hold(st);
        Ref table(attr(st, KEY("table")));
        Ref name(table ? attr(table.get(), KEY("table_name")) : nullptr);
        if (!name || PyList_Append(names.get(), name.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return select_relationships(catalog, names.get(), s);
}

PyObject* m_build_selected(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"self", "catalog", "selected_tables", "selected_relationships", nullptr};
    PyObject *self, *catalog, *selected, *rels;
    PARSE("OOOO:_build_selected_metadata", &self, &catalog, &selected, &rels);
    Settings s;
    if (!settings_of(self, s)) return nullptr;
    Ref entries(PyList_New(0));
    Ref it(entries ? PyObject_GetIter(selected) : nullptr);
    if (!it) return nullptr;
    while (PyObject* st = PyIter_Next(it.get())) {
        Ref hold(st);
        Ref table(attr(st, KEY("table")));
        Ref score(table ? attr(st, KEY("score")) : nullptr);
        Ref cols(score ? attr(st, KEY("columns")) : nullptr);
        Ref clist(cols ? PySequence_List(cols.get()) : nullptr);
        if (!clist) return nullptr;
        std::vector<Ref> keep;
        std::vector<std::pair<PyObject*, PyObject*>> pairs;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(clist.get()); ++i) {
            PyObject* sc = PyList_GET_ITEM(clist.get(), i);
            keep.emplace_back(attr(sc, KEY("column")));
            keep.emplace_back(keep.back() ? attr(sc, KEY("score")) : nullptr);
            if (!keep.back()) return nullptr;
            pairs.emplace_back(keep[keep.size() - 2].get(), keep.back().get());
        }
        Ref e(table_entry(table.get(), score.get(), pairs, s));
        if (!e || PyList_Append(entries.get(), e.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return selected_metadata(catalog, entries.get(), rels);
}

PyObject* m_budget(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"self", "selected_metadata", nullptr};
    PyObject *self, *selected;
    PARSE("OO:_apply_output_budget", &self, &selected);
    Settings s;
    if (!settings_of(self, s)) return nullptr;
    return apply_output_budget(selected, s);
}

PyObject* m_reduction(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"before", "after", nullptr};
    PyObject *before, *after;
    PARSE("OO:_reduction_percent", &before, &after);
    return reduction_percent(before, after);
}


PyMethodDef schemasift_methods[] = {
    {"__init__", AW_KW(m_init), "__init__($self, /, config=None)\n--\n\n"},
    {"select", AW_KW(m_select),
     "select($self, /, question, catalog, *, database=None, required_tables=None, required_columns=None, "
     "excluded_tables=None, excluded_columns=None)\n--\n\n"
     "Select the slice of catalog that matters for question."},
    {"_build_doc_texts", AW_KW(m_build_doc_texts), "_build_doc_texts($self, /, catalog)\n--\n\n"},
    {"_get_tfidf_scores", AW_KW(m_tfidf), "_get_tfidf_scores($self, /, question, doc_text_by_id)\n--\n\n"},
    {"_get_embedding_scores", AW_KW(m_embedding), "_get_embedding_scores($self, /, question, doc_text_by_id)\n--\n\n"},
    {"_blend_scores", AW_KW(m_blend), "_blend_scores($self, /, lexical, tfidf, embedding)\n--\n\n"},
    {"_token_overlap_score", AW_KW(m_overlap),
     "_token_overlap_score($self, /, q_tokens, doc_tokens, weight, reasons, reason_label)\n--\n\n"},
    {"_normalize_lexical", AW_KW(m_normalize), "_normalize_lexical($self, /, score)\n--\n\n"},
    {"_lexical_score_table", AW_KW(m_lex_table), "_lexical_score_table($self, /, question, table, intent)\n--\n\n"},
    {"_lexical_score_column", AW_KW(m_lex_column),
     "_lexical_score_column($self, /, question, table, col, intent)\n--\n\n"},
    {"_score_tables", AW_KW(m_score_tables),
     "_score_tables($self, /, *, question, catalog, intent, tfidf_scores, embedding_scores, required_tables)\n--\n\n"},
    {"_choose_tables", AW_KW(m_choose_tables), "_choose_tables($self, /, scored_tables, required_tables)\n--\n\n"},
    {"_score_and_choose_columns", AW_KW(m_score_columns),
     "_score_and_choose_columns($self, /, *, question, table, intent, tfidf_scores, embedding_scores, "
     "required_columns, excluded_columns)\n--\n\n"},
    {"_ensure_intent_columns", AW_KW(m_ensure), "_ensure_intent_columns($self, /, table, ranked, selected, intent)\n--\n\n"},
    {"_select_relationships", AW_KW(m_select_relationships),
     "_select_relationships($self, /, catalog, selected_tables)\n--\n\n"},
    {"_build_selected_metadata", AW_KW(m_build_selected),
     "_build_selected_metadata($self, /, catalog, selected_tables, selected_relationships)\n--\n\n"},
    {"_apply_output_budget", AW_KW(m_budget), "_apply_output_budget($self, /, selected_metadata)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef reduction_def = {"_reduction_percent", AW_KW(m_reduction),
                             "_reduction_percent(before, after)\n--\n\nPercent fewer, never negative."};

// select_metadata(question, catalog, *, ...)
// int(v) for any real number (int, bool, float, Fraction, Decimal, ...).
PyObject* whole_arg(PyObject* v, const char* name) {
    if (PyLong_CheckExact(v)) return Py_NewRef(v);
    if (PyNumber_Check(v) && !PyComplex_Check(v)) {
        PyObject* r = PyNumber_Long(v);
        if (r || !PyErr_ExceptionMatches(PyExc_TypeError)) return r;
        PyErr_Clear();
    }
    PyErr_Format(PyExc_TypeError, "%s must be a real number, not %.200s", name, Py_TYPE(v)->tp_name);
    return nullptr;
}

PyObject* py_select_metadata(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"question", "catalog", "database", "strategy", "top_k_tables",
                               "max_columns_per_table", "max_output_chars", "use_embeddings",
                               "embedding_model_name_or_path", "include_debug", nullptr};
    PyObject *question, *catalog, *database = Py_None, *strategy = nullptr, *top_k = nullptr, *max_cols = nullptr,
                                  *max_chars = Py_None, *use_emb = Py_False, *model = Py_None, *debug = Py_True;
    PARSE("OO|$OOOOOOOO:select_metadata", &question, &catalog, &database, &strategy, &top_k, &max_cols, &max_chars,
          &use_emb, &model, &debug);
    if (!need(model == Py_None || PyUnicode_Check(model), "embedding_model_name_or_path", "str or None", model))
        return nullptr;
    Ref k(top_k ? whole_arg(top_k, "top_k_tables") : PyLong_FromLong(3));
    Ref m(k ? (max_cols ? whole_arg(max_cols, "max_columns_per_table") : PyLong_FromLong(25)) : nullptr);
    Ref chars(m ? (max_chars == Py_None ? Py_NewRef(Py_None) : whole_arg(max_chars, "max_output_chars")) : nullptr);
    if (!chars) return nullptr;
    int emb = PyObject_IsTrue(use_emb), dbg = emb < 0 ? -1 : PyObject_IsTrue(debug);
    if (dbg < 0) return nullptr;
    Ref cfg_kwargs(Py_BuildValue("{s:O,s:O,s:O,s:O,s:O,s:O,s:O}", "top_k_tables", k.get(), "max_columns_per_table",
                                 m.get(), "max_output_chars", chars.get(), "use_embeddings_if_available",
                                 emb ? Py_True : Py_False, "embedding_model_name_or_path", model, "include_debug",
                                 dbg ? Py_True : Py_False, "strategy", strategy ? strategy : Py_None));
    if (!cfg_kwargs) return nullptr;
    if (!strategy && PyDict_DelItemString(cfg_kwargs.get(), "strategy") < 0) return nullptr;
    Ref noargs(PyTuple_New(0));
    Ref config(noargs ? PyObject_Call(reinterpret_cast<PyObject*>(SelectorConfigType), noargs.get(), cfg_kwargs.get())
                      : nullptr);
    Ref sifter(config ? PyObject_CallOneArg(SchemaSiftType, config.get()) : nullptr);
    if (!sifter) return nullptr;
    return run_select(sifter.get(), question, catalog, database, Py_None, Py_None, Py_None, Py_None);
}

}  // namespace

PyMethodDef driver_functions[] = {
    {"select_metadata", AW_KW(py_select_metadata),
     "select_metadata($module, /, question, catalog, *, database=None, strategy='hybrid', top_k_tables=3, "
     "max_columns_per_table=25, max_output_chars=None, use_embeddings=False, embedding_model_name_or_path=None, "
     "include_debug=True)\n--\n\nOne-call schema selection with the most used settings."},
    {nullptr, nullptr, 0, nullptr}};

bool init_driver(PyObject* module) {
    g_module = module;
    Ref ns(PyDict_New());
    Ref modname(ns ? PyUnicode_FromString("askweave.schemasift") : nullptr);
    Ref doc(modname ? PyUnicode_FromString(
                          "Selects the slice of a catalog that matters for a question.\n\n"
                          "Stateless from the caller's point of view: every select() call builds its own index "
                          "(documents, optional TF-IDF and embedding vectors) and drops it afterwards. Callers with "
                          "very large catalogs can wrap it in a cache keyed by the result's catalog_hash.")
                    : nullptr);
    if (!doc || PyDict_SetItem(ns.get(), KEY("__module__"), modname.get()) < 0 ||
        PyDict_SetItem(ns.get(), KEY("__doc__"), doc.get()) < 0)
        return false;
    for (PyMethodDef* m = schemasift_methods; m->ml_name; ++m) {
        Ref fn(PyCFunction_NewEx(m, nullptr, modname.get()));
        Ref bound(fn ? PyInstanceMethod_New(fn.get()) : nullptr);
        if (!bound || PyDict_SetItemString(ns.get(), m->ml_name, bound.get()) < 0) return false;
    }
    Ref fn(PyCFunction_NewEx(&reduction_def, nullptr, modname.get()));
    Ref stat(fn ? PyStaticMethod_New(fn.get()) : nullptr);
    if (!stat || PyDict_SetItem(ns.get(), KEY("_reduction_percent"), stat.get()) < 0) return false;
    Ref type(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", "SchemaSift",
                                   reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns.get()));
    if (!type || PyModule_AddObjectRef(module, "SchemaSift", type.get()) < 0) return false;
    SchemaSiftType = type.get();
    return true;
}

}  // namespace sift
