// The scoring stages as method calls, for a subclass that replaces a helper
// they use (_lexical_score_table, _blend_scores, _token_overlap_score, ...):
// each helper is then looked up on self and called where the rules call it,
// with the values the rules pass, and whatever it returns is used as they
// use it. Classes that replace nothing never come here.
#include "schemasift/pipeline.hpp"

#include "common/pytext.hpp"
#include "common/record.hpp"

namespace sift {
using aw::Ref;

int replaces_any(PyObject* self, const char* const* names, size_t count) {
    PyTypeObject* type = Py_TYPE(self);
    if (reinterpret_cast<PyObject*>(type) == SchemaSiftType) return 0;
    PyTypeObject* base = reinterpret_cast<PyTypeObject*>(SchemaSiftType);
    for (size_t i = 0; i < count; ++i) {
        PyObject* key = aw::interned(names[i]);
        if (!key) return -1;
        if (_PyType_Lookup(type, key) != _PyType_Lookup(base, key)) return 1;
    }
    return 0;
}

// sorted(items, key=lambda x: x.score, reverse=True), always a new list: the
// sort is our own list's, whatever the caller's builtins hold.
PyObject* sorted_by_score(PyObject* items) {
    Ref list(PySequence_List(items));
    Ref op(list ? PyImport_ImportModule("operator") : nullptr);
    Ref key(op ? PyObject_CallMethod(op.get(), "attrgetter", "s", "score") : nullptr);
    Ref sort(key ? PyObject_GetAttrString(list.get(), "sort") : nullptr);
    Ref args(sort ? PyTuple_New(0) : nullptr);
    Ref kw(args ? Py_BuildValue("{s:O,s:O}", "key", key.get(), "reverse", Py_True) : nullptr);
    Ref done(kw ? PyObject_Call(sort.get(), args.get(), kw.get()) : nullptr);
    return done ? list.release() : nullptr;
}

namespace {

PyObject* get(PyObject* o, const char* name) {
    PyObject* key = aw::interned(name);
    return key ? PyObject_GetAttr(o, key) : nullptr;
}

template <class... A>
PyObject* call(PyObject* self, const char* method, A... args) {
    PyObject* name = aw::interned(method);
    return name ? PyObject_CallMethodObjArgs(self, name, args..., nullptr) : nullptr;
}

// A module function by name, as the rules find it at call time.
PyObject* module_call(const char* fn, PyObject* arg) {
    Ref f(PyObject_GetAttrString(g_module, fn));
    return f ? PyObject_CallOneArg(f.get(), arg) : nullptr;
}

// set(tokenize(text))
PyObject* token_set(PyObject* text) {
    Ref tokens(module_call("tokenize", text));
    return tokens ? PySet_New(tokens.get()) : nullptr;
}

// set(tokenize(" ".join(items)))
PyObject* joined_token_set(PyObject* items) {
    PyObject* space = aw::interned(" ");
    Ref joined(space ? PyUnicode_Join(space, items) : nullptr);
    return joined ? token_set(joined.get()) : nullptr;
}

bool add_to(Ref& score, PyObject* v) {  // score += v
    if (!v) return false;
    Ref hold(v);
    score = Ref(PyNumber_InPlaceAdd(score.get(), v));
    return bool(score);
}

bool add_float(Ref& score, double v) { return add_to(score, PyFloat_FromDouble(v)); }

bool append(PyObject* list, PyObject* item) {  // list.append(item), as a method call
    if (!item) return false;
    Ref hold(item);
    Ref r(call(list, "append", item));
    return bool(r);
}

bool append_text(PyObject* list, const char* text) { return append(list, PyUnicode_FromString(text)); }

// value in ("a", "b", ...): each text compared with value, in order
int in_texts(PyObject* value, std::initializer_list<const char*> texts) {
    for (const char* t : texts) {
        PyObject* text = aw::interned(t);
        int eq = text ? PyObject_RichCompareBool(text, value, Py_EQ) : -1;
        if (eq) return eq;
    }
    return 0;
}

// any(t in container for t in texts)
int any_in(PyObject* container, std::initializer_list<const char*> texts) {
    for (const char* t : texts) {
        PyObject* text = aw::interned(t);
        int in = text ? PySequence_Contains(container, text) : -1;
        if (in) return in;
    }
    return 0;
}

// What both lexical helpers start from: self.config, set(intent.tokens),
// question.lower(), a score of 0.0 and an empty reason list.
struct Lexical {
    Ref cfg, q_tokens, q_lower, score, reasons;
};
bool start_lexical(PyObject* self, PyObject* question, PyObject* intent, Lexical& l) {
    if (!PyUnicode_Check(question)) {
        PyErr_SetString(PyExc_TypeError, "question must be str");
        return false;
    }
    l.cfg = Ref(get(self, "config"));
    Ref words(l.cfg ? get(intent, "tokens") : nullptr);
    l.q_tokens = Ref(words ? PySet_New(words.get()) : nullptr);
    l.q_lower = Ref(l.q_tokens ? call(question, "lower") : nullptr);
    l.score = Ref(l.q_lower ? PyFloat_FromDouble(0.0) : nullptr);
    l.reasons = Ref(l.score ? PyList_New(0) : nullptr);
    return bool(l.reasons);
}

// The four overlaps of a record (a list field is joined with spaces first):
// every token set is read, then each overlap added in order.
struct Field {
    const char* attr;
    bool joined;
    const char* weight;
    const char* label;
};
bool add_overlaps(PyObject* self, Lexical& l, PyObject* record, const Field (&fields)[4]) {
    Ref tokens[4];
    for (int i = 0; i < 4; ++i) {
        Ref value(get(record, fields[i].attr));
        tokens[i] = Ref(!value ? nullptr : fields[i].joined ? joined_token_set(value.get()) : token_set(value.get()));
        if (!tokens[i]) return false;
    }
    for (int i = 0; i < 4; ++i) {
        Ref weight(get(l.cfg.get(), fields[i].weight));
        Ref label(weight ? PyUnicode_FromString(fields[i].label) : nullptr);
        if (!label || !add_to(l.score, call(self, "_token_overlap_score", l.q_tokens.get(), tokens[i].get(),
                                            weight.get(), l.reasons.get(), label.get())))
            return false;
    }
    return true;
}

// (self._normalize_lexical(score), reasons)
PyObject* normalized_pair(PyObject* self, PyObject* score, PyObject* reasons) {
    Ref norm(call(self, "_normalize_lexical", score));
    return norm ? PyTuple_Pack(2, norm.get(), reasons) : nullptr;
}

// mapping.get(key, 0.0)
PyObject* score_of(PyObject* mapping, PyObject* key) {
    Ref zero(PyFloat_FromDouble(0.0));
    return zero ? call(mapping, "get", key, zero.get()) : nullptr;
}

}  // namespace

PyObject* lexical_table_by_calls(PyObject* self, PyObject* question, PyObject* table, PyObject* intent) {
    static const Field fields[4] = {{"table_name", false, "table_name_weight", "table name"},
                                    {"business_name", false, "table_business_name_weight", "business name"},
                                    {"tags", true, "table_tag_weight", "table tags"},
                                    {"description", false, "table_description_weight", "table description"}};
    Lexical l;
    if (!start_lexical(self, question, intent, l) || !add_overlaps(self, l, table, fields)) return nullptr;
    Ref& cfg = l.cfg;
    Ref& q_lower = l.q_lower;
    Ref& score = l.score;
    Ref& reasons = l.reasons;
    // exact phrases: the split table name, the lower-cased business name
    Ref table_name(get(table, "table_name"));
    int has = table_name ? PyObject_IsTrue(table_name.get()) : -1;
    if (has < 0) return nullptr;
    if (has) {
        Ref phrase(module_call("_split_identifier", table_name.get()));
        int in = phrase ? PySequence_Contains(q_lower.get(), phrase.get()) : -1;
        if (in < 0 || (in && (!add_to(score, get(cfg.get(), "exact_phrase_bonus")) ||
                              !append_text(reasons.get(), "exact table phrase"))))
            return nullptr;
    }
    Ref business_name(get(table, "business_name"));
    has = business_name ? PyObject_IsTrue(business_name.get()) : -1;
    if (has < 0) return nullptr;
    if (has) {
        Ref lower(call(business_name.get(), "lower"));
        int in = lower ? PySequence_Contains(q_lower.get(), lower.get()) : -1;
        if (in < 0 || (in && (!add_to(score, get(cfg.get(), "exact_phrase_bonus")) ||
                              !append_text(reasons.get(), "exact business phrase"))))
            return nullptr;
    }
    return normalized_pair(self, score.get(), reasons.get());
}

PyObject* lexical_column_by_calls(PyObject* self, PyObject* question, PyObject*, PyObject* col, PyObject* intent) {
    static const Field fields[4] = {{"name", false, "column_name_weight", "column name"},
                                    {"synonyms", true, "column_synonym_weight", "column synonym"},
                                    {"tags", true, "column_tag_weight", "column tags"},
                                    {"description", false, "column_description_weight", "column description"}};
    Lexical l;
    if (!start_lexical(self, question, intent, l) || !add_overlaps(self, l, col, fields)) return nullptr;
    Ref& cfg = l.cfg;
    Ref& q_tokens = l.q_tokens;
    Ref& q_lower = l.q_lower;
    Ref& score = l.score;
    Ref& reasons = l.reasons;
    auto bonus = [&](const char* weight, const char* reason) {
        return add_to(score, get(cfg.get(), weight)) && append_text(reasons.get(), reason);
    };
    Ref col_name(get(col, "name"));
    Ref phrase(col_name ? module_call("_split_identifier", col_name.get()) : nullptr);
    int has = phrase ? PyObject_IsTrue(phrase.get()) : -1;
    int in = has > 0 ? PySequence_Contains(q_lower.get(), phrase.get()) : has;
    if (in < 0 || (in && !bonus("exact_phrase_bonus", "exact column phrase"))) return nullptr;
    Ref syns(get(col, "synonyms"));
    Ref it(syns ? PyObject_GetIter(syns.get()) : nullptr);
    if (!it) return nullptr;
    while (PyObject* synonym = PyIter_Next(it.get())) {
        Ref hold(synonym);
        Ref text(PyObject_Str(synonym));
        Ref lower(text ? call(text.get(), "lower") : nullptr);
        int t = lower ? PyObject_IsTrue(lower.get()) : -1;
        int found = t > 0 ? PySequence_Contains(q_lower.get(), lower.get()) : t;
        if (found < 0) return nullptr;
        if (!found) continue;
        Ref shown(PyObject_Format(synonym, nullptr));
        Ref reason(shown ? PyUnicode_FromFormat("exact synonym phrase: %U", shown.get()) : nullptr);
        if (!reason || !add_to(score, get(cfg.get(), "exact_phrase_bonus")) || !append(reasons.get(), reason.release()))
            return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref role(get(col, "role"));
    if (!role) return nullptr;
    auto flag = [&](const char* name) {
        Ref v(get(intent, name));
        return v ? PyObject_IsTrue(v.get()) : -1;
    };
    // role in (...) and (intent flags): the flags are read only when the role matches
    int r = in_texts(role.get(), {"date", "datetime"});
    if (r > 0) {
        r = flag("has_time_filter");
        if (r == 0) r = flag("wants_trend");
    }
    if (r < 0 || (r && !bonus("role_intent_weight", "date role matches time/trend intent"))) return nullptr;
    r = in_texts(role.get(), {"metric"});
    if (r > 0) r = flag("wants_metric");
    if (r < 0 || (r && !bonus("role_intent_weight", "metric role matches metric intent"))) return nullptr;
    r = in_texts(role.get(), {"dimension", "text"});
    if (r > 0) r = flag("wants_grouping");
    if (r < 0 || (r && !bonus("role_intent_weight", "dimension role matches grouping intent"))) return nullptr;
    r = any_in(q_tokens.get(), {"count", "total"});
    if (r > 0) r = in_texts(role.get(), {"id", "primary_key"});
    if (r < 0 || (r && (!add_float(score, 0.8) || !append_text(reasons.get(), "id column useful for count intent"))))
        return nullptr;
    r = any_in(q_tokens.get(), {"status", "type", "category"});
    if (r > 0) r = in_texts(role.get(), {"dimension", "text"});
    if (r > 0) {
        Ref n(get(col, "name"));
        Ref lower(n ? call(n.get(), "lower") : nullptr);
        r = lower ? any_in(lower.get(), {"status", "type", "category"}) : -1;
    }
    if (r < 0 || (r && (!add_float(score, 1.2) || !append_text(reasons.get(), "common dimension keyword match"))))
        return nullptr;
    return normalized_pair(self, score.get(), reasons.get());
}

PyObject* score_tables_by_calls(PyObject* self, PyObject* question, PyObject* catalog, PyObject* intent,
                                PyObject* tfidf, PyObject* embedding, PyObject* required) {
    Ref scored(PyList_New(0));
    Ref tables(scored ? get(catalog, "tables") : nullptr);
    Ref it(tables ? PyObject_GetIter(tables.get()) : nullptr);
    if (!it) return nullptr;
    while (PyObject* table = PyIter_Next(it.get())) {
        Ref hold(table);
        Ref pair(call(self, "_lexical_score_table", question, table, intent));
        Ref lexical, reasons;
        if (!pair || !aw::unpack_pair(pair.get(), lexical, reasons)) return nullptr;
        Ref name(get(table, "table_name"));
        Ref doc_id(name ? PyUnicode_FromFormat("table::%S", name.get()) : nullptr);
        Ref tf(doc_id ? score_of(tfidf, doc_id.get()) : nullptr);
        Ref em(tf ? score_of(embedding, doc_id.get()) : nullptr);
        Ref score(em ? call(self, "_blend_scores", lexical.get(), tf.get(), em.get()) : nullptr);
        Ref best(score ? PyFloat_FromDouble(0.0) : nullptr);
        Ref cols(best ? get(table, "columns") : nullptr);
        Ref cit(cols ? PyObject_GetIter(cols.get()) : nullptr);
        if (!cit) return nullptr;
        while (PyObject* col = PyIter_Next(cit.get())) {
            Ref hold_col(col);
            Ref col_pair(call(self, "_lexical_score_column", question, table, col, intent));
            Ref col_lexical, ignored;
            if (!col_pair || !aw::unpack_pair(col_pair.get(), col_lexical, ignored)) return nullptr;
            int more = PyObject_RichCompareBool(col_lexical.get(), best.get(), Py_GT);  // max(best, col_lexical)
            if (more < 0) return nullptr;
            if (more) best = std::move(col_lexical);
        }
        if (PyErr_Occurred()) return nullptr;
        // score += min(best_column * 0.2, 0.3)
        Ref fifth(PyFloat_FromDouble(0.2)), cap(PyFloat_FromDouble(0.3));
        Ref part(fifth && cap ? PyNumber_Multiply(best.get(), fifth.get()) : nullptr);
        int over = part ? PyObject_RichCompareBool(cap.get(), part.get(), Py_LT) : -1;
        if (over < 0 || !add_to(score, Py_NewRef(over ? cap.get() : part.get()))) return nullptr;
        Ref name_again(get(table, "table_name"));
        int req = name_again ? PySequence_Contains(required, name_again.get()) : -1;
        if (req < 0 || (req && (!add_float(score, 100.0) || !append_text(reasons.get(), "required table"))))
            return nullptr;
        Ref st(aw::rec_new(ScoredTableType,
                           {Py_NewRef(table), score.release(), reasons.release(), PyList_New(0)}));
        if (!st || PyList_Append(scored.get(), st.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return scored.release();
}

PyObject* score_columns_by_calls(PyObject* self, PyObject* question, PyObject* table, PyObject* intent,
                                 PyObject* tfidf, PyObject* embedding, PyObject* required, PyObject* excluded) {
    Ref cfg(get(self, "config"));
    Ref scored(cfg ? PyList_New(0) : nullptr);
    Ref cols(scored ? get(table, "columns") : nullptr);
    Ref it(cols ? PyObject_GetIter(cols.get()) : nullptr);
    if (!it) return nullptr;
    auto truth = [](PyObject* o, const char* name) {
        Ref v(get(o, name));
        return v ? PyObject_IsTrue(v.get()) : -1;
    };
    while (PyObject* col = PyIter_Next(it.get())) {
        Ref hold(col);
        Ref name(get(col, "name"));
        int skip = name ? PySequence_Contains(excluded, name.get()) : -1;
        if (skip) {
            if (skip < 0) return nullptr;
            continue;
        }
        Ref pair(call(self, "_lexical_score_column", question, table, col, intent));
        Ref lexical, reasons;
        if (!pair || !aw::unpack_pair(pair.get(), lexical, reasons)) return nullptr;
        Ref table_name(get(table, "table_name"));
        Ref col_name(table_name ? get(col, "name") : nullptr);
        Ref doc_id(col_name ? PyUnicode_FromFormat("column::%S.%S", table_name.get(), col_name.get()) : nullptr);
        Ref tf(doc_id ? score_of(tfidf, doc_id.get()) : nullptr);
        Ref em(tf ? score_of(embedding, doc_id.get()) : nullptr);
        Ref score(em ? call(self, "_blend_scores", lexical.get(), tf.get(), em.get()) : nullptr);
        if (!score) return nullptr;
        auto bonus = [&](double v, const char* reason) {
            return add_float(score, v) && append_text(reasons.get(), reason);
        };
        Ref n(get(col, "name"));
        int r = n ? PySequence_Contains(required, n.get()) : -1;
        if (r < 0 || (r && !bonus(100.0, "required column"))) return nullptr;
        // cfg flag and (col flag or col.role == role)
        auto key_column = [&](const char* setting, const char* field, const char* role) {
            int v = truth(cfg.get(), setting);
            if (v > 0) {
                v = truth(col, field);
                if (v == 0) {
                    Ref rl(get(col, "role"));
                    v = rl ? PyObject_RichCompareBool(rl.get(), aw::interned(role), Py_EQ) : -1;
                }
            }
            return v;
        };
        r = key_column("include_primary_keys", "is_primary_key", "primary_key");
        if (r < 0 || (r && !bonus(0.05, "primary key included"))) return nullptr;
        r = key_column("include_foreign_keys", "is_foreign_key", "foreign_key");
        if (r < 0 || (r && !bonus(0.05, "foreign key included"))) return nullptr;
        // cfg flag and intent flag and table default and col.name == table default
        auto default_column = [&](const char* setting, const char* intent_flag, const char* field) {
            int v = truth(cfg.get(), setting);
            if (v > 0) v = truth(intent, intent_flag);
            if (v > 0) v = truth(table, field);
            if (v > 0) {
                Ref cn(get(col, "name"));
                Ref dflt(cn ? get(table, field) : nullptr);
                v = dflt ? PyObject_RichCompareBool(cn.get(), dflt.get(), Py_EQ) : -1;
            }
            return v;
        };
        r = default_column("include_default_date_on_time_intent", "has_time_filter", "default_date_column");
        if (r < 0 || (r && !bonus(0.5, "default date column for time intent"))) return nullptr;
        r = default_column("include_default_metric_on_metric_intent", "wants_metric", "default_metric_column");
        if (r < 0 || (r && !bonus(0.5, "default metric column for metric intent"))) return nullptr;
        Ref sc(aw::rec_new(ScoredColumnType, {Py_NewRef(col), score.release(), reasons.release()}));
        if (!sc || PyList_Append(scored.get(), sc.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref ranked(sorted_by_score(scored.get()));
    Ref min_score(ranked ? get(cfg.get(), "min_column_score") : nullptr);
    Ref selected(min_score ? PyList_New(0) : nullptr);
    if (!selected) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ranked.get()); ++i) {
        Ref sc = Ref::borrow(PyList_GET_ITEM(ranked.get(), i));  // a comparison may run Python code
        Ref s(get(sc.get(), "score"));
        int keep = s ? PyObject_RichCompareBool(s.get(), min_score.get(), Py_GE) : -1;
        if (keep < 0 || (keep && PyList_Append(selected.get(), sc.get()) < 0)) return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ranked.get()); ++i) {
        Ref sc = Ref::borrow(PyList_GET_ITEM(ranked.get(), i));
        Ref column(get(sc.get(), "column"));
        Ref name(column ? get(column.get(), "name") : nullptr);
        int r = name ? PySequence_Contains(required, name.get()) : -1;
        if (r > 0) {  // and sc not in selected
            int there = PySequence_Contains(selected.get(), sc.get());
            r = there < 0 ? -1 : !there;
        }
        if (r < 0 || (r && PyList_Append(selected.get(), sc.get()) < 0)) return nullptr;
    }
    Ref ensured(call(self, "_ensure_intent_columns", table, ranked.get(), selected.get(), intent));
    if (!ensured) return nullptr;
    int empty = PyObject_Not(ensured.get());
    if (empty < 0) return nullptr;
    if (empty && PyList_GET_SIZE(ranked.get()) && !append(ensured.get(), Py_NewRef(PyList_GET_ITEM(ranked.get(), 0))))
        return nullptr;
    // ensured[: max(cfg.max_columns_per_table, 1)]
    Ref limit(get(cfg.get(), "max_columns_per_table"));
    Ref one(limit ? PyLong_FromLong(1) : nullptr);
    int bigger = one ? PyObject_RichCompareBool(one.get(), limit.get(), Py_GT) : -1;
    if (bigger < 0) return nullptr;
    Ref slice(PySlice_New(nullptr, bigger ? one.get() : limit.get(), nullptr));
    return slice ? PyObject_GetItem(ensured.get(), slice.get()) : nullptr;
}

}  // namespace sift
