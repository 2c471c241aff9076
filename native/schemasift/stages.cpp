// The SchemaSift class: its Python-facing stage methods, each a thin binding
// over the native stage it names.
#include "schemasift/pipeline.hpp"

#include "common/pytext.hpp"
#include "common/record.hpp"

namespace sift {
using aw::Ref;

PyObject* SchemaSiftType;

namespace {
inline PyObject* attr(PyObject* o, PyObject* name) { return PyObject_GetAttr(o, name); }

// --------------------------------------------------- Python-facing stages

// The helpers each scoring stage calls, directly or through another helper:
// when a subclass replaces one, the stage runs through method calls.
const char* const kOverlapHelpers[] = {"_token_overlap_score", "_normalize_lexical"};
const char* const kTableHelpers[] = {"_lexical_score_table", "_blend_scores", "_lexical_score_column",
                                     "_token_overlap_score", "_normalize_lexical"};
const char* const kColumnHelpers[] = {"_lexical_score_column", "_blend_scores", "_ensure_intent_columns",
                                      "_token_overlap_score", "_normalize_lexical"};
template <size_t N>
int replaces(PyObject* self, const char* const (&names)[N]) {
    return replaces_any(self, names, N);
}

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
    if (int by_calls = replaces(self, kOverlapHelpers))
        return by_calls < 0 ? nullptr : lexical_table_by_calls(self, question, table, intent);
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
    if (int by_calls = replaces(self, kOverlapHelpers))
        return by_calls < 0 ? nullptr : lexical_column_by_calls(self, question, table, col, intent);
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
    if (int by_calls = replaces(self, kTableHelpers))
        return by_calls < 0 ? nullptr : score_tables_by_calls(self, question, catalog, intent, tfm, emm, required);
    Settings s;
    Query q;
    CatalogData c;
    if (!read_query(question, intent, q) || !settings_of(self, s)) return nullptr;
    Ref tables(attr(catalog, KEY("tables")));
    Ref list(tables ? aw::private_list(tables.get()) : nullptr);
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i)
        if (!c.add_table(PyList_GET_ITEM(list.get(), i))) return nullptr;
    VectorScores tf, em;
    if (!lookup_scores(c, tfm, tf) || !lookup_scores(c, emm, em)) return nullptr;
    std::vector<double> scores, col_lex;
    std::vector<char> req;
    if (!score_tables(c, q, s, tf, em, required, nullptr, scores, col_lex, req)) return nullptr;
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    for (size_t t = 0; t < c.tables.size(); ++t) {
        Reasons r;
        table_reasons(c, t, q, s, req[t], nullptr, r);
        Ref reasons(reasons_to_list(r));
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
    Ref items(aw::private_list(scored));
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
    if (int by_calls = replaces(self, kColumnHelpers))
        return by_calls < 0 ? nullptr
                            : score_columns_by_calls(self, question, table, intent, tfm, emm, required, excluded);
    Settings s;
    Query q;
    CatalogData c;
    if (!read_query(question, intent, q) || !settings_of(self, s) || !c.add_table(table)) return nullptr;
    VectorScores tf, em;
    if (!lookup_scores(c, tfm, tf) || !lookup_scores(c, emm, em)) return nullptr;
    ColumnChoice choice;
    if (!choose_table_columns(c, 0, q, s, tf, em, required, excluded, nullptr, nullptr, true, false, choice)) return nullptr;
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    for (size_t k = 0; k < choice.chosen.size(); ++k) {
        Ref reasons(choice.reasons.list(k, SIZE_MAX));
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
    Ref all(aw::private_list(ranked));
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
        Ref clist(cols ? aw::private_list(cols.get()) : nullptr);
        if (!clist) return nullptr;
        std::vector<Ref> keep;
        std::vector<std::pair<Source, PyObject*>> pairs;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(clist.get()); ++i) {
            PyObject* sc = PyList_GET_ITEM(clist.get(), i);
            keep.emplace_back(attr(sc, KEY("column")));
            keep.emplace_back(keep.back() ? attr(sc, KEY("score")) : nullptr);
            if (!keep.back()) return nullptr;
            pairs.emplace_back(Source{keep[keep.size() - 2].get(), nullptr}, keep.back().get());
        }
        Ref e(table_entry(Source{table.get(), nullptr}, score.get(), pairs, s));
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
     "Select the slice of catalog that matters for question.\n"
     "\n"
     "Args:\n"
     "    question: The business question (or a resolution's\n"
     "        metadata_search_query).\n"
     "    catalog: A MetadataCatalog, or a loose dict read by\n"
     "        CatalogNormalizer.normalize. A MetadataCatalog is used in\n"
     "        place: its database is set and excluded tables are removed\n"
     "        from its tables list.\n"
     "    database: Names the catalog when given and non-empty. Default None.\n"
     "    required_tables: Tables that must be chosen (ranked first, still\n"
     "        limited by top_k_tables). Default None.\n"
     "    required_columns: Table name to columns that must be kept.\n"
     "        Default None.\n"
     "    excluded_tables: Tables removed before anything else. Default None.\n"
     "    excluded_columns: Table name to columns that are never chosen.\n"
     "        Default None.\n"
     "\n"
     "Returns:\n"
     "    The selected metadata, its metrics, the parsed intent and, with\n"
     "    config.include_debug, the debug rankings.\n"
     "\n"
     "Raises:\n"
     "    ValueError: \"question is required\" for an empty or blank question.\n"
     "    TypeError: an argument of the wrong kind (question not a str,\n"
     "        catalog not a dict or MetadataCatalog, the lists and maps\n"
     "        not list or dict)."},
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


}  // namespace

bool init_driver(PyObject* module) {
    g_module = module;
    Ref ns(PyDict_New());
    Ref modname(ns ? PyUnicode_FromString("askweave.schemasift") : nullptr);
    Ref doc(modname ? PyUnicode_FromString(
                          "Selects the slice of a catalog that matters for a question.\n"
                          "\n"
                          "Stateless from the caller's point of view: every select() call builds its\n"
                          "own index (documents, optional TF-IDF and embedding vectors) and drops it\n"
                          "afterwards. Callers with very large catalogs can wrap it in a cache keyed\n"
                          "by the result's catalog_hash.\n"
                          "\n"
                          "A subclass may override the underscore stages (_build_doc_texts,\n"
                          "_get_tfidf_scores, _get_embedding_scores, _score_tables, _choose_tables,\n"
                          "_score_and_choose_columns, _select_relationships,\n"
                          "_build_selected_metadata, _apply_output_budget, ...). select() then calls\n"
                          "the stages as methods, in order and with the same arguments as the plain\n"
                          "rules, so each override is called; the scoring stages likewise call\n"
                          "replaced helpers (_lexical_score_table, _lexical_score_column,\n"
                          "_token_overlap_score, _normalize_lexical, _blend_scores,\n"
                          "_ensure_intent_columns, _reduction_percent) where the rules call them.\n"
                          "Whether a class replaces any is decided once per call, from the class;\n"
                          "without replacements select() runs natively.\n"
                          "\n"
                          "One instance may serve any number of calls, from several threads at once,\n"
                          "as long as they do not pass the same MetadataCatalog object concurrently.\n"
                          "\n"
                          "Attributes:\n"
                          "    config: The SelectorConfig (SchemaSift(config=None) uses the\n"
                          "        defaults).\n"
                          "    intent_parser: The IntentParser used for questions.\n"
                          "\n"
                          "Raises:\n"
                          "    TypeError: config is not a SelectorConfig or None.")
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

