// The stages of a selection on native data: vector evidence, table scores,
// column choice, and the documents the vector backends index.
#include "schemasift/pipeline.hpp"

#include "common/pytext.hpp"
#include "common/record.hpp"

namespace sift {
using aw::Ref;

PyObject* g_module;

namespace {
inline PyObject* attr(PyObject* o, PyObject* name) { return PyObject_GetAttr(o, name); }
}  // namespace


bool settings_of(PyObject* self, Settings& s) {
    Ref config(PyObject_GetAttr(self, KEY("config")));
    return config && s.read(config.get());
}


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

namespace {
int contains(PyObject* set, PyObject* key) { return set ? PySet_Contains(set, key) : 0; }
}  // namespace

// The table scores of one selection; col_lex caches every column's lexical score.
bool score_tables(const CatalogData& c, const Query& q, const Settings& s, const VectorScores& tf,
                  const VectorScores& em, PyObject* required, LexicalScores* lexical,
                  std::vector<double>& scores, std::vector<double>& col_lex, std::vector<char>& is_required,
                  LexicalReasons* why) {
    scores.assign(c.tables.size(), 0.0);
    col_lex.assign(c.columns.size(), 0.0);
    is_required.assign(c.tables.size(), 0);
    for (size_t t = 0; t < c.tables.size(); ++t) {
        int req = contains(required, c.tables[t].name_obj);
        if (req < 0) return false;
        is_required[t] = static_cast<char>(req);
    }
    if (lexical) {
        col_lex = std::move(lexical->column);
        for (size_t t = 0; t < c.tables.size(); ++t) {
            const TableData& td = c.tables[t];
            double best = 0.0;
            for (uint32_t k = td.col_begin; k < td.col_end; ++k)
                if (col_lex[k] > best) best = col_lex[k];
            scores[t] = table_score(s, lexical->table[t], tf.table[t], em.table[t], best, is_required[t]);
        }
        return true;
    }
    if (why) {
        why->tables.reserve(c.tables.size());
        why->columns.reserve(c.columns.size());
    }
    auto run = [&]() {
        Scratch scratch;
        for (size_t t = 0; t < c.tables.size(); ++t) {
            const TableData& td = c.tables[t];
            double lex = lexical_table(c, td, q, s, scratch, why ? &why->tables.all : nullptr);
            if (why) why->tables.close();
            double best = 0.0;
            for (uint32_t k = td.col_begin; k < td.col_end; ++k) {
                col_lex[k] = lexical_column(c, c.columns[k], q, s, scratch, why ? &why->columns.all : nullptr);
                if (why) why->columns.close();
                if (col_lex[k] > best) best = col_lex[k];
            }
            scores[t] = table_score(s, lex, tf.table[t], em.table[t], best, is_required[t]);
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
void table_reasons(const CatalogData& c, size_t t, const Query& q, const Settings& s, bool required,
                   const LexicalReasons* why, Reasons& out) {
    if (why) {
        why->tables.append_to(t, out);
    } else {
        Scratch scratch;
        lexical_table(c, c.tables[t], q, s, scratch, &out);
    }
    if (required) out.push_back("required table");
}



// _score_and_choose_columns for table t. lex: cached lexical scores or null.
bool choose_table_columns(const CatalogData& c, size_t t, const Query& q, const Settings& s, const VectorScores& tf,
                          const VectorScores& em, PyObject* required, PyObject* excluded, const double* lex,
                          const LexicalReasons* why, bool with_reasons, bool native_only, ColumnChoice& out) {
    const TableData& td = c.tables[t];
    std::vector<size_t> cols;
    std::vector<double> scores;
    std::vector<char> req;
    std::vector<Role> roles;
    std::vector<int> names;
    const size_t n = td.col_end - td.col_begin;
    cols.reserve(n);
    scores.reserve(n);
    req.reserve(n);
    roles.reserve(n);
    names.reserve(n);
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
            if (c.text(c.columns[cols[i]].name) != c.text(c.columns[cols[j]].name)) return 0;
            if (native_only) return -1;
            PyObject *a = c.column_record(cols[i]), *b = a ? c.column_record(cols[j]) : nullptr;
            return b ? PyObject_RichCompareBool(a, b, Py_EQ) : -1;
        },
        &failed);
    if (failed) return false;
    out.chosen.clear();
    out.scores.clear();
    out.reasons = ReasonGroups();
    out.chosen.reserve(picked.size());
    out.scores.reserve(picked.size());
    if (with_reasons) out.reasons.reserve(picked.size());
    for (size_t i : picked) {
        out.chosen.push_back(cols[i]);
        out.scores.push_back(scores[i]);
        if (with_reasons) {
            const ColumnData& col = c.columns[cols[i]];
            if (why) why->columns.append_to(cols[i], out.reasons.all);
            else lexical_column(c, col, q, s, scratch, &out.reasons.all);
            column_bonuses(col, req[i], q, s, 0.0, &out.reasons.all);
            out.reasons.close();
        }
    }
    return true;
}

// ------------------------------------------------------------ doc texts

// The searchable texts, as the records render them, keyed by document id.
PyObject* build_doc_texts(PyObject* catalog) {
    Ref docs(PyDict_New());
    Ref tables(docs ? attr(catalog, KEY("tables")) : nullptr);
    Ref list(tables ? aw::private_list(tables.get()) : nullptr);
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
        Ref clist(cols ? aw::private_list(cols.get()) : nullptr);
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
    if (ok == 0 && !embedding && s.strategy == STRATEGY_TFIDF)
        aw::log_warning("strategy 'tfidf' needs scikit-learn, which could not be used; scores are lexical");
    PyObject* model = s.embedding_model_name_or_path.get();
    if (ok == 0 && embedding && (!model || model == Py_None || (PyUnicode_Check(model) && !PyUnicode_GET_LENGTH(model))))
        aw::log_warning("use_embeddings_if_available is set but embedding_model_name_or_path is not; "
                        "no embedding similarity");
    if (ok <= 0) return ok < 0 ? nullptr : PyDict_New();
    if (!docs && !(docs = build_doc_texts(catalog))) return nullptr;
    Ref built(PyObject_CallMethod(backend.get(), "build", "O", docs));
    return built ? PyObject_CallMethod(backend.get(), "score", "O", question) : nullptr;
}


}  // namespace sift
