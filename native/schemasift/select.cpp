// One selection, stage by stage: arguments, catalog, intent, size and hash,
// scores, choice, output and metrics.
#include "schemasift/pipeline.hpp"

#include "common/pytext.hpp"
#include "common/record.hpp"
#include "core/sha256.hpp"
#include "core/unicode.hpp"

#include <cmath>
#include <iterator>
#include <mutex>

namespace sift {
using aw::Ref;

namespace {
inline PyObject* attr(PyObject* o, PyObject* name) { return PyObject_GetAttr(o, name); }


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


}  // namespace

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

namespace {

// Hashes and measures the catalog's JSON text piece by piece; other threads
// run while it works on a large piece.
// The hash and size of the JSON text write() gives: the digest of a big text
// is left to finish on its worker (digest.ready() waits for it).
template <class Write>
bool digest_json(Write write, CatalogDigest& digest) {
    aw::JsonBuf json;
    return write(json, &digest) && digest.end(json);
}

// The stages a subclass may override; select calls them as methods then.
const char* const kStages[] = {"_build_doc_texts", "_get_tfidf_scores", "_get_embedding_scores", "_score_tables",
                               "_choose_tables", "_score_and_choose_columns", "_ensure_intent_columns",
                               "_select_relationships", "_build_selected_metadata", "_apply_output_budget",
                               "_blend_scores", "_token_overlap_score", "_normalize_lexical",
                               "_lexical_score_table", "_lexical_score_column", "_reduction_percent"};

// 1 when type(self) overrides any stage, 0 when not, -1 on error.
int overrides_stages(PyObject* self) { return replaces_any(self, kStages, std::size(kStages)); }

PyObject* normalize_catalog(PyObject* catalog, PyObject* database) {
    Ref normalizer(PyObject_GetAttrString(g_module, "CatalogNormalizer"));
    return normalizer ? PyObject_CallMethod(normalizer.get(), "normalize", "OO", catalog, database) : nullptr;
}

PyObject* call_kw(PyObject* self, const char* method, std::initializer_list<std::pair<const char*, PyObject*>> kw) {
    Ref fn(PyObject_GetAttrString(self, method));
    Ref args(fn ? PyDict_New() : nullptr);
    if (!args) return nullptr;
    for (auto& [k, v] : kw)
        if (PyDict_SetItemString(args.get(), k, v) < 0) return nullptr;
    Ref none(PyTuple_New(0));
    return none ? PyObject_Call(fn.get(), none.get(), args.get()) : nullptr;
}

// The rest of a selection when a subclass overrides a stage: every stage is
// called as a method of self, in order and with the arguments the plain
// rules use, so that an override is called as it would be there.
PyObject* select_through_stages(PyObject* self, PyObject* question, PyObject* catalog, PyObject* intent,
                                PyObject* required_tables, PyObject* required_cols, PyObject* excluded_cols,
                                Py_ssize_t input_chars, PyObject* catalog_hash, const Settings& s) {
    Ref docs(PyObject_CallMethod(self, "_build_doc_texts", "O", catalog));
    Ref tf(docs ? PyObject_CallMethod(self, "_get_tfidf_scores", "OO", question, docs.get()) : nullptr);
    Ref em(tf ? PyObject_CallMethod(self, "_get_embedding_scores", "OO", question, docs.get()) : nullptr);
    Ref scored(em ? call_kw(self, "_score_tables",
                            {{"question", question}, {"catalog", catalog}, {"intent", intent},
                             {"tfidf_scores", tf.get()}, {"embedding_scores", em.get()},
                             {"required_tables", required_tables}})
                  : nullptr);
    Ref chosen(scored ? PyObject_CallMethod(self, "_choose_tables", "OO", scored.get(), required_tables) : nullptr);
    Ref it(chosen ? PyObject_GetIter(chosen.get()) : nullptr);
    if (!it) return nullptr;
    while (PyObject* st = PyIter_Next(it.get())) {
        Ref hold(st);
        Ref table(attr(st, KEY("table")));
        Ref name(table ? attr(table.get(), KEY("table_name")) : nullptr);
        if (!name) return nullptr;
        // set(required_columns_map.get(name, [])): the stage is given a set even when empty
        Ref rq, ex;
        if (!column_set(required_cols, name.get(), rq) || (!rq && !(rq = Ref(PySet_New(nullptr)))) ||
            !column_set(excluded_cols, name.get(), ex) || (!ex && !(ex = Ref(PySet_New(nullptr)))))
            return nullptr;
        Ref cols(call_kw(self, "_score_and_choose_columns",
                              {{"question", question}, {"table", table.get()}, {"intent", intent},
                               {"tfidf_scores", tf.get()}, {"embedding_scores", em.get()},
                               {"required_columns", rq.get()}, {"excluded_columns", ex.get()}}));
        if (!cols || PyObject_SetAttr(st, KEY("columns"), cols.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Ref rels(PyObject_CallMethod(self, "_select_relationships", "OO", catalog, chosen.get()));
    Ref built(rels ? PyObject_CallMethod(self, "_build_selected_metadata", "OOO", catalog, chosen.get(), rels.get())
                   : nullptr);
    Ref selected(built ? PyObject_CallMethod(self, "_apply_output_budget", "O", built.get()) : nullptr);
    if (!selected) return nullptr;

    // Input counts from the records, as the plain rules take them.
    Py_ssize_t in_tables = 0, in_cols = 0;
    {
        Ref tables(attr(catalog, KEY("tables")));
        Ref list(tables ? aw::private_list(tables.get()) : nullptr);
        if (!list) return nullptr;
        in_tables = PyList_GET_SIZE(list.get());
        for (Py_ssize_t i = 0; i < in_tables; ++i) {
            Ref cs(attr(PyList_GET_ITEM(list.get(), i), KEY("columns")));
            Py_ssize_t n = cs ? PyObject_Length(cs.get()) : -1;
            if (n < 0) return nullptr;
            in_cols += n;
        }
    }
    static const char* const kReduction[] = {"_reduction_percent"};
    const int replaced = replaces_any(self, kReduction, 1);
    Ref reduction(replaced > 0 ? PyObject_GetAttrString(self, "_reduction_percent") : nullptr);
    if (replaced < 0 || (replaced && !reduction)) return nullptr;
    Ref metrics(build_metrics(selected.get(), in_tables, in_cols, input_chars, catalog_hash, s, reduction.get()));
    if (!metrics) return nullptr;

    Ref debug(PyDict_New());
    if (!debug) return nullptr;
    if (s.include_debug) {
        Ref ranked(sorted_by_score(scored.get()));
        Ref top(ranked ? PySequence_GetSlice(ranked.get(), 0, 20) : nullptr);
        Ref rankings(top ? PyList_New(0) : nullptr);
        Ref rit(rankings ? PyObject_GetIter(top.get()) : nullptr);
        if (!rit) return nullptr;
        while (PyObject* st = PyIter_Next(rit.get())) {
            Ref hold(st);
            Ref table(attr(st, KEY("table")));
            Ref name(table ? attr(table.get(), KEY("table_name")) : nullptr);
            Ref score(name ? attr(st, KEY("score")) : nullptr);
            Ref reasons(score ? attr(st, KEY("reasons")) : nullptr);
            Ref e(reasons ? PyDict_New() : nullptr);
            if (!e || PyDict_SetItem(e.get(), KEY("table_name"), name.get()) < 0 ||
                !put(e.get(), KEY("score"), round_score(score.get())) ||
                !put(e.get(), KEY("reasons"), PySequence_GetSlice(reasons.get(), 0, 10)) ||
                PyList_Append(rankings.get(), e.get()) < 0)
                return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
        Ref columns(PyDict_New());
        Ref cit(columns ? PyObject_GetIter(chosen.get()) : nullptr);
        if (!cit) return nullptr;
        while (PyObject* st = PyIter_Next(cit.get())) {
            Ref hold(st);
            Ref table(attr(st, KEY("table")));
            Ref name(table ? attr(table.get(), KEY("table_name")) : nullptr);
            Ref cols(name ? attr(st, KEY("columns")) : nullptr);
            Ref list(cols ? PyList_New(0) : nullptr);
            Ref it2(list ? PyObject_GetIter(cols.get()) : nullptr);
            if (!it2) return nullptr;
            while (PyObject* sc = PyIter_Next(it2.get())) {
                Ref hold2(sc);
                Ref col(attr(sc, KEY("column")));
                Ref cname(col ? attr(col.get(), KEY("name")) : nullptr);
                Ref score(cname ? attr(sc, KEY("score")) : nullptr);
                Ref role(score ? attr(col.get(), KEY("role")) : nullptr);
                Ref reasons(role ? attr(sc, KEY("reasons")) : nullptr);
                Ref e(reasons ? PyDict_New() : nullptr);
                if (!e || PyDict_SetItem(e.get(), KEY("column_name"), cname.get()) < 0 ||
                    !put(e.get(), KEY("score"), round_score(score.get())) ||
                    PyDict_SetItem(e.get(), KEY("role"), role.get()) < 0 ||
                    !put(e.get(), KEY("reasons"), PySequence_GetSlice(reasons.get(), 0, 10)) ||
                    PyList_Append(list.get(), e.get()) < 0)
                    return nullptr;
            }
            if (PyErr_Occurred() || PyDict_SetItem(columns.get(), name.get(), list.get()) < 0) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
        int tf_any = PyObject_IsTrue(tf.get()), em_any = tf_any < 0 ? -1 : PyObject_IsTrue(em.get());
        if (em_any < 0 || !put(debug.get(), KEY("table_rankings"), rankings.release()) ||
            !put(debug.get(), KEY("selected_column_rankings"), columns.release()) ||
            PyDict_SetItem(debug.get(), KEY("strategy"), s.strategy_obj.get()) < 0 ||
            !put(debug.get(), KEY("tfidf_available"), PyBool_FromLong(tf_any)) ||
            !put(debug.get(), KEY("embedding_available"), PyBool_FromLong(em_any)))
            return nullptr;
    }
    return aw::rec_new(MetadataSelectionResultType,
                       {selected.release(), metrics.release(), Py_NewRef(intent), debug.release()});
}


// The MetadataCatalog normalize would make of a loose map, kept tables only;
// the tables only when with_tables (their records are made for it).
PyObject* loose_catalog_record(const CatalogData& c, const LooseCatalog& loose, bool with_tables) {
    Ref tables(PyList_New(0));
    if (!tables) return nullptr;
    for (size_t t = 0; with_tables && t < c.tables.size(); ++t) {
        PyObject* rec = c.table_record(t);
        if (!rec || PyList_Append(tables.get(), rec) < 0) return nullptr;
    }
    Ref rels(aw::untracked(PyList_New(static_cast<Py_ssize_t>(loose.relationships.size()))));
    if (!rels) return nullptr;
    for (size_t i = 0; i < loose.relationships.size(); ++i) {
        PyObject* r = make_relationship(loose.relationships[i]);
        if (!r) return nullptr;
        PyList_SET_ITEM(rels.get(), static_cast<Py_ssize_t>(i), r);
    }
    Ref extra(loose.extra ? Py_NewRef(loose.extra.get()) : PyDict_New());
    if (!extra) return nullptr;
    return aw::rec_new(MetadataCatalogType, {Py_NewRef(loose.database.get()), tables.release(),
                                             aw::tracked(rels.release()), extra.release()});
}

}  // namespace

bool wants_vectors(const Settings& s) {
    if (s.strategy == STRATEGY_LEXICAL || s.strategy == STRATEGY_OTHER) return false;
    return s.use_tfidf_if_available || s.use_embeddings_if_available;
}

bool check_select_args(PyObject* question, PyObject* database, PyObject* req_tables, PyObject* req_cols,
                       PyObject* exc_tables, PyObject* exc_cols) {
    if (!PyUnicode_Check(question)) {
        PyErr_Format(PyExc_TypeError, "question must be str, not %.200s", Py_TYPE(question)->tp_name);
        return false;
    }
    return check_kind(database, PyUnicode_Check(database), "database", "str") &&
           check_kind(req_tables, PyList_Check(req_tables), "required_tables", "a list") &&
           check_kind(exc_tables, PyList_Check(exc_tables), "excluded_tables", "a list") &&
           check_kind(req_cols, PyDict_Check(req_cols), "required_columns", "a dict") &&
           check_kind(exc_cols, PyDict_Check(exc_cols), "excluded_columns", "a dict");
}

bool check_question(PyObject* question) {
    if (!is_blank(question)) return true;
    PyErr_SetString(PyExc_ValueError, "question is required");
    return false;
}

void build_query(const Intent& intent, Query& q) {
    std::vector<std::string> words(intent.tokens.begin(), intent.tokens.end());
    q.tokens.build(std::move(words));
    q.lowered = intent.lowered;
    q.flags = {intent.has_time_filter, intent.wants_trend, intent.wants_metric, intent.wants_grouping};
    q.finish();
}

namespace {
// Texts above this size are digested afresh each time rather than kept.
constexpr size_t kKeptTextChars = size_t(1) << 24;
// The last digest made, shared by every thread (and never destroyed, so a
// thread still running at exit finds it).
struct LastDigest {
    std::mutex m;
    std::shared_ptr<const TextDigest> digest;
};
LastDigest& last_digest() {
    static LastDigest* last = new LastDigest;
    return *last;
}
}  // namespace

CatalogDigest::CatalogDigest() {
    LastDigest& last = last_digest();
    std::lock_guard<std::mutex> lock(last.m);
    last_ = last.digest;
}

bool CatalogDigest::same_so_far(std::string_view piece) {
    if (!last_) return false;
    const std::string& kept = last_->text;
    if (kept.size() - matched_ >= piece.size() && std::memcmp(kept.data() + matched_, piece.data(), piece.size()) == 0) {
        matched_ += piece.size();
        return true;
    }
    differ();
    return false;
}

void CatalogDigest::differ() {
    std::string_view prefix(last_->text.data(), matched_);
    keep(prefix);
    if (!prefix.empty()) {
        aw::JsonBuf copy;
        copy.put(prefix);
        handed_ = true;
        worker_.add(copy);
    }
    last_.reset();
}

void CatalogDigest::keep(std::string_view piece) {
    if (!keeping_) return;
    try {
        if (text_.size() + piece.size() > kKeptTextChars) throw std::bad_alloc();
        text_.append(piece);
    } catch (const std::bad_alloc&) {
        keeping_ = false;
        std::string().swap(text_);
    }
}

void CatalogDigest::hand_on(aw::JsonBuf& piece) {
    keep(piece.view());
    handed_ = true;
    worker_.add(piece);
}

void CatalogDigest::consume(aw::JsonBuf& piece) {
    if (same_so_far(piece.view())) piece.clear();
    else hand_on(piece);
    piece.reserve(2 * piece_size);  // room for the next piece without regrowing
}

bool CatalogDigest::end(aw::JsonBuf& last) {
    const bool whole = matched_ == 0 && !handed_;  // the text is this one piece
    if (same_so_far(last.view())) {
        if (matched_ == last_->text.size()) {
            input_chars = static_cast<Py_ssize_t>(last_->code_points);
            hash = Ref(aw::new_str(std::string_view(last_->hex).substr(0, 16)));
            return bool(hash);
        }
        differ();  // a shorter text than the kept one
        return true;
    }
    if (whole) {
        // one piece: a thread would cost more than it saves
        const std::string_view text = last.view();
        keep(text);
        std::string hex;
        auto digest = [&] { hex = aw::sha256_hex(text); };
        if (text.size() < (1u << 16)) digest();
        else aw::without_gil(digest);
        return finish(std::move(hex), aw::count_code_points(text));
    }
    hand_on(last);
    return true;
}

bool CatalogDigest::ready() {
    if (hash) return true;
    size_t chars = 0;
    std::string hex;
    aw::without_gil([&] { hex = worker_.finish(chars); });
    return finish(std::move(hex), chars);
}

bool CatalogDigest::finish(std::string hex, size_t code_points) {
    input_chars = static_cast<Py_ssize_t>(code_points);
    hash = Ref(aw::new_str(std::string_view(hex).substr(0, 16)));
    if (keeping_) {
        try {
            auto made = std::make_shared<TextDigest>(TextDigest{std::move(text_), std::move(hex), code_points});
            LastDigest& last = last_digest();
            std::lock_guard<std::mutex> lock(last.m);
            last.digest = std::move(made);
        } catch (const std::bad_alloc&) {
            // not kept: the next call digests its text afresh
        }
    }
    return bool(hash);
}

bool hash_catalog(PyObject* catalog, Ref& hash, Py_ssize_t& input_chars) {
    CatalogDigest digest;
    if (!digest_json([&](aw::JsonBuf& json, JsonSink* sink) { return catalog_prompt_json(catalog, true, json, sink); },
                     digest) ||
        !digest.ready())
        return false;
    hash = std::move(digest.hash);
    input_chars = digest.input_chars;
    return true;
}

namespace {

// A selection with its settings read; self is only called when staged.
PyObject* select_with(PyObject* self, const Settings& s, bool staged, PyObject* question, PyObject* catalog_arg,
                      PyObject* database, PyObject* req_tables, PyObject* req_cols, PyObject* exc_tables,
                      PyObject* exc_cols) {
    // A record catalog is used as given (normalization, database name and
    // table exclusion write into it); a loose map is read straight into
    // native data, and records are made only for what the output holds.
    Ref catalog;
    LooseCatalog loose;
    const bool is_loose = !staged && !aw::rec_check(catalog_arg, MetadataCatalogType);
    if (is_loose) {
        if (!read_loose_catalog(catalog_arg, database, loose)) return nullptr;
    } else if (aw::rec_check(catalog_arg, MetadataCatalogType)) {
        catalog = Ref::borrow(catalog_arg);
    } else {
        catalog = Ref(normalize_catalog(catalog_arg, database));
        if (!catalog) return nullptr;
    }
    int db_present = aw::is_present(database);
    if (db_present < 0) return nullptr;
    if (db_present) {
        if (is_loose) loose.database = Ref::borrow(database);
        else if (PyObject_SetAttrString(catalog.get(), "database", database) < 0) return nullptr;
    }
    Ref required_set(set_of(req_tables));
    Ref excluded_set(required_set ? set_of(exc_tables) : nullptr);
    if (!excluded_set) return nullptr;
    // `required_columns or {}`: a failing truth test raises
    const int has_req_cols = aw::is_present(req_cols);
    const int has_exc_cols = has_req_cols < 0 ? -1 : aw::is_present(exc_cols);
    if (has_exc_cols < 0) return nullptr;
    PyObject* required_cols = has_req_cols ? req_cols : nullptr;
    PyObject* excluded_cols = has_exc_cols ? exc_cols : nullptr;
    std::vector<size_t> kept_loose;
    if (is_loose) {
        for (size_t i = 0; i < loose.tables.size(); ++i) {
            int ex = PySet_GET_SIZE(excluded_set.get())
                         ? PySet_Contains(excluded_set.get(), loose.tables[i].fields[T_TABLE_NAME].get())
                         : 0;
            if (ex < 0) return nullptr;
            if (!ex) kept_loose.push_back(i);
        }
    } else {
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
    build_query(intent, q);

    // Input size and hash, straight from the records. Sorting keys only
    // reorders members, so the sorted text has the size of the unsorted one.
    CatalogDigest digest;
    if (!(is_loose ? digest_json([&](aw::JsonBuf& json,
                                     JsonSink* sink) { return loose_prompt_json(loose, kept_loose, json, sink); },
                                 digest)
                   : digest_json([&](aw::JsonBuf& json,
                                     JsonSink* sink) { return catalog_prompt_json(catalog.get(), true, json, sink); },
                                 digest)))
        return nullptr;

    if (staged)
        return digest.ready() ? select_through_stages(self, question, catalog.get(), intent_obj.get(),
                                                      required_set.get(), required_cols, excluded_cols,
                                                      digest.input_chars, digest.hash.get(), s)
                              : nullptr;

    // The catalog, read once.
    CatalogData c;
    if (is_loose) {
        size_t n_columns = 0;
        for (size_t i : kept_loose) n_columns += loose.tables[i].columns.size();
        c.reserve(kept_loose.size(), n_columns);
        for (size_t i : kept_loose)
            if (!c.add_table(loose.tables[i])) return nullptr;
        // The stages below read the catalog's database and relationships, and
        // its tables only to build the documents of the vector backends.
        if (!(catalog = Ref(loose_catalog_record(c, loose, wants_vectors(s))))) return nullptr;
    } else {
        Ref tables(attr(catalog.get(), KEY("tables")));
        Ref list(tables ? aw::private_list(tables.get()) : nullptr);
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
    Selection sel{catalog.get(), c, nullptr, 0};
    sel.digest = &digest;
    Ask ask{question, intent_obj.get(), &q, required_set.get(), required_cols, excluded_cols};
    return select_scored(sel, ask, s, tf, em, nullptr);
}

}  // namespace

PyObject* run_select(PyObject* self, PyObject* question, PyObject* catalog_arg, PyObject* database,
                     PyObject* req_tables, PyObject* req_cols, PyObject* exc_tables, PyObject* exc_cols) {
    if (!check_select_args(question, database, req_tables, req_cols, exc_tables, exc_cols)) return nullptr;
    Settings s;
    if (!settings_of(self, s)) return nullptr;
    if (!check_question(question)) return nullptr;
    const int staged = overrides_stages(self);
    if (staged < 0) return nullptr;
    return select_with(self, s, staged, question, catalog_arg, database, req_tables, req_cols, exc_tables, exc_cols);
}

bool plan_selection(const Selection& sel, const Ask& ask, const Settings& s, const VectorScores& tf,
                    const VectorScores& em, LexicalScores* lexical, bool native_only, Plan& p) {
    const CatalogData& c = sel.c;
    const Query& q = *ask.q;
    // Tables, then columns of the chosen ones.
    PyObject* req_set = ask.required_set && PySet_GET_SIZE(ask.required_set) ? ask.required_set : nullptr;
    LexicalReasons* why = nullptr;
    if (s.include_debug && !lexical && c.tables.size() + c.columns.size() <= LexicalReasons::kMaxItems) {
        p.lexical_why = LexicalReasons();
        why = &p.lexical_why;
    }
    if (!score_tables(c, q, s, tf, em, req_set, lexical, p.table_scores, p.col_lex, p.is_required, why))
        return false;
    // Routed: tables outside the likely schema are not chosen (unless required).
    std::vector<double> routed;
    if (sel.router) {
        std::vector<char> allowed;
        sel.router->route(q, p.table_scores, allowed);
        routed = p.table_scores;
        for (size_t t = 0; t < routed.size(); ++t)
            if (!allowed[t] && !p.is_required[t]) routed[t] = -INFINITY;
    }
    // Records of equal names compare by value, in Python: a plan made
    // without the interpreter gives up there.
    bool failed;
    p.chosen = choose_tables(
        sel.router ? routed : p.table_scores, p.is_required, s.top_k_tables, s.min_table_score,
        [&](size_t i, size_t j) {
            if (c.text(c.tables[i].name) != c.text(c.tables[j].name)) return 0;
            if (native_only) return -1;
            PyObject *a = c.table_record(i), *b = a ? c.table_record(j) : nullptr;
            return b ? PyObject_RichCompareBool(a, b, Py_EQ) : -1;
        },
        &failed, sel.distinct_names);
    if (failed) return false;
    p.bridged = sel.joins && add_join_bridge(*sel.joins, c, p.is_required, s.top_k_tables, p.chosen, p.bridge);
    p.choices.assign(p.chosen.size(), ColumnChoice());
    for (size_t i = 0; i < p.chosen.size(); ++i) {
        Ref rq, ex;
        if (!column_set(ask.required_cols, c.tables[p.chosen[i]].name_obj, rq)) return false;
        if (p.bridged && p.chosen[i] == p.bridge.table) {  // the bridge keeps its columns on the path
            if (!rq && !(rq = Ref(PySet_New(nullptr)))) return false;
            for (PyObject* col : p.bridge.key_columns)
                if (PySet_Add(rq.get(), col) < 0) return false;
        }
        if (!column_set(ask.excluded_cols, c.tables[p.chosen[i]].name_obj, ex) ||
            !choose_table_columns(c, p.chosen[i], q, s, tf, em, rq.get(), ex.get(), p.col_lex.data(), why,
                                  s.include_debug, native_only, p.choices[i]))
            return false;
    }
    if (s.include_debug) {
        p.ranked = rank_top(p.table_scores, 20);
        p.ranked_reasons = ReasonGroups();
        p.ranked_reasons.reserve(p.ranked.size());
        for (size_t t : p.ranked) {
            table_reasons(c, t, q, s, p.is_required[t], why, p.ranked_reasons.all);
            p.ranked_reasons.close();
        }
    }
    return true;
}

PyObject* select_scored(const Selection& sel, const Ask& ask, const Settings& s, const VectorScores& tf,
                        const VectorScores& em, LexicalScores* lexical, const Plan* planned) {
    const CatalogData& c = sel.c;
    Plan local;
    if (!planned && !plan_selection(sel, ask, s, tf, em, lexical, false, local)) return nullptr;
    const Plan& p = planned ? *planned : local;
    const std::vector<size_t>& chosen = p.chosen;
    const std::vector<ColumnChoice>& choices = p.choices;

    // Output map, with its JSON size while its values are plain.
    OutputSize entries_size, output_size;
    Ref entries(PyList_New(0));
    Ref names(entries ? PyList_New(0) : nullptr);
    if (!names) return nullptr;
    for (size_t i = 0; i < chosen.size(); ++i) {
        const TableData& td = c.tables[chosen[i]];
        const size_t n = choices[i].chosen.size();
        std::vector<Ref> score_refs;
        std::vector<std::pair<Source, PyObject*>> cols;
        KeptEntries kept{sel.kept_entries ? &sel.kept_entries->tables[chosen[i]] : nullptr, {}};
        score_refs.reserve(n);
        cols.reserve(n);
        if (sel.kept_entries) kept.columns.reserve(n);
        for (size_t k = 0; k < n; ++k) {
            score_refs.emplace_back(PyFloat_FromDouble(choices[i].scores[k]));
            if (!score_refs.back()) return nullptr;
            cols.emplace_back(c.column_source(choices[i].chosen[k]), score_refs.back().get());
            if (sel.kept_entries) kept.columns.push_back(&sel.kept_entries->columns[choices[i].chosen[k]]);
        }
        Ref score(PyFloat_FromDouble(p.table_scores[chosen[i]]));
        OutputSize one;
        Ref e(score ? table_entry(c.table_source(chosen[i]), score.get(), cols, s, &one,
                                  sel.kept_entries ? &kept : nullptr)
                    : nullptr);
        if (!e || PyList_Append(entries.get(), e.get()) < 0 || PyList_Append(names.get(), td.name_obj) < 0)
            return nullptr;
        entries_size.known = entries_size.known && one.known;
        entries_size.chars += one.chars;
    }
    Ref rels(select_relationships(sel.catalog, names.get(), s, sel.ends));
    Ref built(rels ? selected_metadata(sel.catalog, entries.get(), rels.get(), &entries_size, &output_size) : nullptr);
    Ref selected(built ? apply_output_budget(built.get(), s, &output_size) : nullptr);
    if (!selected) return nullptr;
    if (selected.get() != built.get()) output_size.known = false;  // cut to the budget: measured again

    if (sel.digest && !sel.digest->ready()) return nullptr;
    Ref metrics(build_metrics(selected.get(), static_cast<Py_ssize_t>(c.tables.size()),
                              static_cast<Py_ssize_t>(c.columns.size()),
                              sel.digest ? sel.digest->input_chars : sel.input_chars,
                              sel.digest ? sel.digest->hash.get() : sel.catalog_hash, s, nullptr, &output_size));
    if (!metrics) return nullptr;
    // Callers read few debug maps (and one asking thousands of questions
    // seldom any): the result makes its map when first read.
    std::unique_ptr<aw::Deferred> rankings(s.include_debug ? read_debug(c, s, p, tf.any, em.any) : nullptr);
    if (s.include_debug && !rankings) return nullptr;
    Ref result(aw::rec_new(MetadataSelectionResultType, {selected.release(), metrics.release(), Py_NewRef(ask.intent),
                                                         rankings ? Py_NewRef(Py_None) : PyDict_New()}));
    if (result && rankings) aw::rec_defer(result.get(), 3, std::move(rankings));
    return result.release();
}

namespace {

#define PARSE(fmt, ...)                                                                                     \
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, fmt, const_cast<char**>(kw), __VA_ARGS__)) return nullptr

bool need(bool ok, const char* name, const char* kind, PyObject* v) {
    if (!ok) PyErr_Format(PyExc_TypeError, "%s must be %s, not %.200s", name, kind, Py_TYPE(v)->tp_name);
    return ok;
}

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

PyObject* py_select_metadata(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"question", "catalog", "database", "strategy", "top_k_tables",
                                        "max_columns_per_table", "max_output_chars", "use_embeddings",
                                        "embedding_model_name_or_path", "include_debug"};
    static PyObject* keys[10] = {};
    PyObject* a[] = {nullptr, nullptr, Py_None, nullptr, nullptr, nullptr, Py_None, Py_False, Py_None, Py_True};
    if (!aw::parse_fast("select_metadata", args, nargs, kwnames, names, keys, 10, 2, 2, a)) return nullptr;
    PyObject *question = a[0], *catalog = a[1], *database = a[2], *strategy = a[3], *top_k = a[4], *max_cols = a[5],
             *max_chars = a[6], *use_emb = a[7], *model = a[8], *debug = a[9];
    if (!need(model == Py_None || PyUnicode_Check(model), "embedding_model_name_or_path", "str or None", model))
        return nullptr;
    Ref k(top_k ? whole_arg(top_k, "top_k_tables") : PyLong_FromLong(3));
    Ref m(k ? (max_cols ? whole_arg(max_cols, "max_columns_per_table") : PyLong_FromLong(25)) : nullptr);
    Ref chars(m ? (max_chars == Py_None ? Py_NewRef(Py_None) : whole_arg(max_chars, "max_output_chars")) : nullptr);
    if (!chars) return nullptr;
    int emb = PyObject_IsTrue(use_emb), dbg = emb < 0 ? -1 : PyObject_IsTrue(debug);
    if (dbg < 0) return nullptr;
    // SchemaSift(SelectorConfig(...)).select(...), without the instance: the
    // base class replaces no stage, so only its settings matter.
    Ref config(new_config({{CFG_TOP_K_TABLES, k.release()},
                           {CFG_MAX_COLUMNS_PER_TABLE, m.release()},
                           {CFG_MAX_OUTPUT_CHARS, chars.release()},
                           {CFG_USE_EMBEDDINGS_IF_AVAILABLE, Py_NewRef(emb ? Py_True : Py_False)},
                           {CFG_EMBEDDING_MODEL_NAME_OR_PATH, Py_NewRef(model)},
                           {CFG_INCLUDE_DEBUG, Py_NewRef(dbg ? Py_True : Py_False)},
                           {CFG_STRATEGY, Py_XNewRef(strategy)}}));
    Settings s;
    if (!config || !check_select_args(question, database, Py_None, Py_None, Py_None, Py_None) ||
        !s.read(config.get()) || !check_question(question))
        return nullptr;
    return select_with(nullptr, s, false, question, catalog, database, Py_None, Py_None, Py_None, Py_None);
}

}  // namespace

PyMethodDef driver_functions[] = {
    {"select_metadata", AW_FAST(py_select_metadata),
     "select_metadata($module, /, question, catalog, *, database=None, strategy='hybrid', top_k_tables=3, "
     "max_columns_per_table=25, max_output_chars=None, use_embeddings=False, embedding_model_name_or_path=None, "
     "include_debug=True)\n--\n\n"
     "One-call schema selection with the most used settings.\n"
     "\n"
     "Builds SchemaSift(SelectorConfig(...)) from the arguments (use_embeddings\n"
     "sets use_embeddings_if_available; every other field keeps its default)\n"
     "and returns its select(question, catalog, database=database). For\n"
     "required or excluded tables and columns, build a SchemaSift.\n"
     "\n"
     "Each setting defaults as its SelectorConfig field: strategy \"hybrid\",\n"
     "top_k_tables 3, max_columns_per_table 25, max_output_chars None,\n"
     "embedding_model_name_or_path None, include_debug True; use_embeddings\n"
     "defaults to False and database to None.\n"
     "\n"
     "Raises:\n"
     "    ValueError: \"question is required\" for an empty or blank question.\n"
     "    TypeError: an argument of the wrong kind, e.g. a top_k_tables that is\n"
     "        not a number."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace sift
