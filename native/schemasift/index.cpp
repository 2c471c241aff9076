// CatalogIndex: one catalog read, hashed, indexed and fitted once, then asked
// many questions with the results select() gives on that catalog.
#include "schemasift/lexindex.hpp"
#include "core/text.hpp"
#include "core/workers.hpp"

#include "common/asdict.hpp"
#include "common/pytext.hpp"
#include "common/record.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace sift {
using aw::Ref;

namespace {

// Catalogs at least this large are scored without the interpreter lock.
constexpr size_t kReleaseGilColumns = 256;

// Embedding models by name, loaded once per process for every index.
PyObject* g_models;  // dict, owned by the module

PyObject* cached_model(PyObject* name) {
    PyObject* model = PyDict_GetItemWithError(g_models, name);
    if (model || PyErr_Occurred()) return Py_XNewRef(model);
    return nullptr;
}

// TF-IDF similarity of a question to every document, natively: the fitted
// matrix's rows normalized as sklearn's normalize() does, kept by term, and the
// question's row multiplied in the order scipy's sparse product adds, so every
// similarity is the value cosine_similarity gives, to the bit.
struct TfidfRows {
    bool ready = false;
    size_t docs = 0;
    Ref vectorizer;
    std::vector<uint32_t> begin;  // per term
    std::vector<std::pair<uint32_t, double>> cells;  // (document, normalized value)
    // The question's row made natively (without the interpreter), where the
    // vectorizer is scikit-learn's own with the backend's settings: its terms
    // and their idf weights.
    bool native = false;
    std::unordered_map<std::string, uint32_t> terms;
    std::vector<double> idf;
};

// The values of a 1-d numpy array (or any sequence) as doubles / indices.
bool doubles_of(PyObject* array, std::vector<double>& out) {
    Ref list(PyObject_CallMethod(array, "tolist", nullptr));
    if (!list || !PyList_Check(list.get())) return false;
    out.resize(static_cast<size_t>(PyList_GET_SIZE(list.get())));
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = PyFloat_AsDouble(PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(i)));
        if (out[i] == -1.0 && PyErr_Occurred()) return false;
    }
    return true;
}
bool indices_of(PyObject* array, std::vector<long long>& out) {
    Ref list(PyObject_CallMethod(array, "tolist", nullptr));
    if (!list || !PyList_Check(list.get())) return false;
    out.resize(static_cast<size_t>(PyList_GET_SIZE(list.get())));
    for (size_t i = 0; i < out.size(); ++i) {
        out[i] = PyLong_AsLongLong(PyList_GET_ITEM(list.get(), static_cast<Py_ssize_t>(i)));
        if (out[i] == -1 && PyErr_Occurred()) return false;
    }
    return true;
}

// sklearn's inplace_csr_row_normalize_l2 on one row.
void normalize_row(double* data, size_t n) {
    double sum = 0.0;
    for (size_t j = 0; j < n; ++j) sum += data[j] * data[j];
    if (sum == 0.0) return;
    sum = std::sqrt(sum);
    for (size_t j = 0; j < n; ++j) data[j] /= sum;
}

// The CSR parts of a scipy matrix; false (no error) when it is anything else.
bool csr_parts(PyObject* m, std::vector<double>& data, std::vector<long long>& indices, std::vector<long long>& indptr,
               long long& rows, long long& cols) {
    Ref format(PyObject_GetAttrString(m, "format"));
    if (!format || !PyUnicode_Check(format.get()) || PyUnicode_CompareWithASCIIString(format.get(), "csr") != 0)
        return false;
    Ref dtype(PyObject_GetAttrString(m, "dtype"));
    Ref kind(dtype ? PyObject_GetAttrString(dtype.get(), "str") : nullptr);
    if (!kind || !PyUnicode_Check(kind.get()) || PyUnicode_CompareWithASCIIString(kind.get(), "<f8") != 0) return false;
    Ref shape(PyObject_GetAttrString(m, "shape"));
    if (!shape || !PyTuple_Check(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 2) return false;
    rows = PyLong_AsLongLong(PyTuple_GET_ITEM(shape.get(), 0));
    cols = PyLong_AsLongLong(PyTuple_GET_ITEM(shape.get(), 1));
    Ref d(PyObject_GetAttrString(m, "data")), i(PyObject_GetAttrString(m, "indices")),
        p(PyObject_GetAttrString(m, "indptr"));
    return d && i && p && doubles_of(d.get(), data) && indices_of(i.get(), indices) && indices_of(p.get(), indptr) &&
           !PyErr_Occurred() && indptr.size() == static_cast<size_t>(rows) + 1 && indices.size() == data.size();
}

// Whether vec is scikit-learn's TfidfVectorizer itself, set as our backend
// makes it: word unigrams and bigrams of str.lower()'s text, the default token
// pattern, counts times idf, l2-normalized.
bool plain_vectorizer(PyObject* vec) {
    Ref cls(import_attr("sklearn.feature_extraction.text", "TfidfVectorizer"));
    if (!cls || reinterpret_cast<PyObject*>(Py_TYPE(vec)) != cls.get()) return false;
    Ref params(PyObject_CallMethod(vec, "get_params", "O", Py_False));
    Ref want(Py_BuildValue("{s:s,s:O,s:s,s:O,s:(ii),s:s,s:O,s:O,s:O,s:O,s:s,s:O,s:O}", "analyzer", "word", "binary",
                           Py_False, "input", "content", "lowercase", Py_True, "ngram_range", 1, 2, "norm", "l2",
                           "preprocessor", Py_None, "stop_words", Py_None, "strip_accents", Py_None, "sublinear_tf",
                           Py_False, "token_pattern", "(?u)\\b\\w\\w+\\b", "tokenizer", Py_None, "use_idf", Py_True));
    Ref float64(import_attr("numpy", "float64"));
    if (!params || !want || !float64 || !PyDict_Check(params.get())) return false;
    PyObject* dtype = PyDict_GetItemString(params.get(), "dtype");
    if (dtype != float64.get()) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(want.get(), &pos, &key, &value)) {
        Ref have = Ref::borrow(PyDict_GetItemWithError(params.get(), key));  // held: == may run code
        if (!have || PyObject_RichCompareBool(have.get(), value, Py_EQ) != 1) return false;
    }
    return true;
}

// The vectorizer's terms and idf weights, for questions made natively.
void read_terms(PyObject* vec, TfidfRows& rows) {
    if (!plain_vectorizer(vec)) return;
    Ref vocabulary(PyObject_GetAttrString(vec, "vocabulary_"));
    Ref idf(vocabulary ? PyObject_GetAttrString(vec, "idf_") : nullptr);
    std::vector<double> weights;
    const size_t n = rows.begin.size() - 1;
    if (!idf || !PyDict_CheckExact(vocabulary.get()) || !doubles_of(idf.get(), weights) || weights.size() != n ||
        static_cast<size_t>(PyDict_GET_SIZE(vocabulary.get())) != n)
        return;
    std::unordered_map<std::string, uint32_t> terms;
    terms.reserve(n);
    Py_ssize_t pos = 0;
    PyObject *term, *index;
    while (PyDict_Next(vocabulary.get(), &pos, &term, &index)) {
        if (!PyUnicode_CheckExact(term) || !PyLong_CheckExact(index)) return;
        const long long j = PyLong_AsLongLong(index);
        if (j < 0 || static_cast<size_t>(j) >= n) return;
        terms.emplace(aw::to_utf8(term), static_cast<uint32_t>(j));
    }
    rows.terms = std::move(terms);
    rows.idf = std::move(weights);
    rows.native = true;
}

// Reads a built TF-IDF backend of our own; leaves rows not ready when the
// fit is not the plain one (then its score() is used).
void read_tfidf(PyObject* backend, TfidfRows& rows) {
    Ref vec(PyObject_GetAttrString(backend, "vectorizer"));
    Ref matrix(vec ? PyObject_GetAttrString(backend, "matrix") : nullptr);
    std::vector<double> data;
    std::vector<long long> indices, indptr;
    long long n = 0, terms = 0;
    if (!matrix || matrix.get() == Py_None || !csr_parts(matrix.get(), data, indices, indptr, n, terms)) {
        PyErr_Clear();
        return;
    }
    for (long long r = 0; r < n; ++r)
        normalize_row(data.data() + indptr[r], static_cast<size_t>(indptr[r + 1] - indptr[r]));
    rows.begin.assign(static_cast<size_t>(terms) + 1, 0);
    for (long long j : indices) {
        if (j < 0 || j >= terms) return;
        rows.begin[static_cast<size_t>(j) + 1]++;
    }
    for (size_t j = 0; j < static_cast<size_t>(terms); ++j) rows.begin[j + 1] += rows.begin[j];
    rows.cells.resize(data.size());
    std::vector<uint32_t> fill(rows.begin.begin(), rows.begin.end() - 1);
    for (long long r = 0; r < n; ++r)
        for (long long k = indptr[r]; k < indptr[r + 1]; ++k)
            rows.cells[fill[static_cast<size_t>(indices[k])]++] = {static_cast<uint32_t>(r), data[k]};
    rows.docs = static_cast<size_t>(n);
    rows.vectorizer = std::move(vec);
    rows.ready = true;
    read_terms(rows.vectorizer.get(), rows);
    PyErr_Clear();  // then each question goes through transform()
}

// The question's row as transform() makes it (terms and values in term
// order, l2-normalized), natively: its words and each two neighbours joined
// by a space, counted and weighted.
void question_row(const TfidfRows& rows, std::string_view question, std::vector<long long>& indices,
                  std::vector<double>& data) {
    std::string text;
    std::vector<std::string_view> words;
    aw::lowered_words(question, text, words);
    std::vector<uint32_t> found;
    std::string term;
    auto count = [&]() {
        auto it = rows.terms.find(term);
        if (it != rows.terms.end()) found.push_back(it->second);
    };
    for (std::string_view w : words) {
        term.assign(w);
        count();
    }
    for (size_t i = 0; i + 1 < words.size(); ++i) {
        term.assign(words[i]).append(" ").append(words[i + 1]);
        count();
    }
    std::sort(found.begin(), found.end());
    indices.clear();
    data.clear();
    for (size_t i = 0; i < found.size();) {
        size_t k = i;
        while (k < found.size() && found[k] == found[i]) ++k;
        indices.push_back(found[i]);
        data.push_back(static_cast<double>(k - i) * rows.idf[found[i]]);
        i = k;
    }
    normalize_row(data.data(), data.size());
}

// The product of a question's row with every document's, in the order
// scipy's sparse product adds (the row normalized once more, as
// cosine_similarity does).
void row_similarities(const TfidfRows& rows, const std::vector<long long>& indices, std::vector<double>& data,
                      std::vector<double>& out) {
    normalize_row(data.data(), data.size());
    out.assign(rows.docs, 0.0);
    for (size_t jj = 0; jj < data.size(); ++jj) {
        const size_t j = static_cast<size_t>(indices[jj]);
        if (j + 1 >= rows.begin.size()) continue;
        const double v = data[jj];
        for (uint32_t c = rows.begin[j]; c < rows.begin[j + 1]; ++c) out[rows.cells[c].first] += v * rows.cells[c].second;
    }
}

// The question's similarity to every document; empty when the transform
// fails as score() would swallow it.
bool tfidf_similarities(const TfidfRows& rows, PyObject* question, std::vector<double>& out) {
    out.clear();
    Ref qlist(PyList_New(1));
    if (!qlist) return false;
    PyList_SET_ITEM(qlist.get(), 0, Py_NewRef(question));
    Ref qvec(PyObject_CallMethod(rows.vectorizer.get(), "transform", "O", qlist.get()));
    std::vector<double> data;
    std::vector<long long> indices, indptr;
    long long n = 0, terms = 0;
    if (!qvec || !csr_parts(qvec.get(), data, indices, indptr, n, terms) || n != 1) {
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) return false;
        PyErr_Clear();
        return true;
    }
    row_similarities(rows, indices, data, out);
    return true;
}

struct Index {
    Ref config, database, catalog, sifter;
    Settings s;
    CatalogData c;
    Ref hash;
    Py_ssize_t input_chars = 0;
    LexicalIndex lex;
    RelationshipEnds ends;
    bool has_ends = false, distinct_names = false;
    bool join_paths = false, route_schemas = false;
    JoinGraph joins;
    SchemaRouter router;
    // Built backends (null when not asked for or not usable), and the
    // position of every table and column document in their doc_ids.
    Ref tfidf, embedding;
    TfidfRows tfidf_rows;
    SplitProduct embedding_split;
    std::vector<Py_ssize_t> table_pos, column_pos;
    // Without vector backends or join paths a question without constraints
    // is planned natively, without the interpreter (zeros: the absent scores).
    bool plan_ahead = false;
    VectorScores zeros;
    // Entries of results, made on first use (with the interpreter lock).
    mutable EntryTemplates kept_entries;
    // Whether each question's TF-IDF row is made natively, when it is prepared.
    bool native_tfidf() const { return tfidf && tfidf_rows.native; }
};

struct IndexObject {
    PyObject_HEAD
    Index* index;
};

PyTypeObject* IndexType;

Index* index_of(PyObject* self) {
    Index* ix = reinterpret_cast<IndexObject*>(self)->index;
    if (!ix) PyErr_SetString(PyExc_RuntimeError, "CatalogIndex is not initialized");
    return ix;
}

PyObject* call_copy(const char* fn, PyObject* v) {
    Ref copy(PyImport_ImportModule("copy"));
    return copy ? PyObject_CallMethod(copy.get(), fn, "O", v) : nullptr;
}

// A copy no later edit of the original reaches: our catalog records and
// plain lists and dicts are rebuilt around their (immutable) scalars, anything
// else is copy.deepcopy'd. Much cheaper than deepcopy of a large catalog.
PyObject* snapshot(PyObject* v, int depth = 0) {
    if (v == Py_None || PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyBool_Check(v))
        return Py_NewRef(v);
    if (depth > 100) return aw::deep_copy(v);  // deep or cyclic: the host's own copy
    PyTypeObject* type = Py_TYPE(v);
    if (type == MetadataCatalogType || type == TableMetaType || type == ColumnMetaType ||
        type == RelationshipMetaType) {
        const Py_ssize_t n = PyTuple_GET_SIZE(aw::rec_field_names(v));
        Ref out(type->tp_alloc(type, 0));
        if (!out) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* f = reinterpret_cast<aw::RecordObject*>(v)->f[i];
            if (!f) continue;  // a deleted field stays deleted
            Ref hold(Py_NewRef(f));
            PyObject* copy = snapshot(f, depth + 1);
            if (!copy) return nullptr;
            reinterpret_cast<aw::RecordObject*>(out.get())->f[i] = copy;
        }
        return out.release();
    }
    if (PyList_CheckExact(v)) {
        // filled while no other code can reach it (copying may run the
        // caller's code), then tracked as the snapshot's own list
        Ref items(aw::private_list(v));
        if (!items) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* copy = snapshot(PyList_GET_ITEM(items.get(), i), depth + 1);
            if (!copy || PyList_SetItem(items.get(), i, copy) < 0) return nullptr;
        }
        return aw::tracked(items.release());
    }
    if (PyDict_CheckExact(v)) {
        Ref items(aw::untracked(PyDict_Items(v)));  // ours alone while its pairs are copied
        Ref out(items ? PyDict_New() : nullptr);
        if (!out) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            Ref key(aw::deep_copy(PyTuple_GET_ITEM(pair, 0)));
            Ref copy(key ? snapshot(PyTuple_GET_ITEM(pair, 1), depth + 1) : nullptr);
            if (!copy || PyDict_SetItem(out.get(), key.get(), copy.get()) < 0) return nullptr;
        }
        return out.release();
    }
    return aw::deep_copy(v);
}

// "table::name" and "column::table.column", as the documents are keyed.
bool doc_positions(Index& ix, PyObject* doc_ids) {
    Ref pos(PyDict_New());
    Ref ids(pos ? aw::private_list(doc_ids) : nullptr);
    if (!ids) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ids.get()); ++i) {
        Ref n(PyLong_FromSsize_t(i));
        if (!n || PyDict_SetItem(pos.get(), PyList_GET_ITEM(ids.get(), i), n.get()) < 0) return false;
    }
    std::string id;
    auto find = [&](Py_ssize_t& out) {
        Ref key(aw::new_str(id));
        if (!key) return false;
        PyObject* v = PyDict_GetItemWithError(pos.get(), key.get());
        out = v ? PyLong_AsSsize_t(v) : -1;
        return !PyErr_Occurred();
    };
    const CatalogData& c = ix.c;
    ix.table_pos.assign(c.tables.size(), -1);
    ix.column_pos.assign(c.columns.size(), -1);
    for (size_t t = 0; t < c.tables.size(); ++t) {
        const TableData& td = c.tables[t];
        id = "table::";
        id += c.text(td.name);
        if (!find(ix.table_pos[t])) return false;
        for (uint32_t k = td.col_begin; k < td.col_end; ++k) {
            id = "column::";
            id += c.text(td.name);
            id += '.';
            id += c.text(c.columns[k].name);
            if (!find(ix.column_pos[k])) return false;
        }
    }
    return true;
}

bool own_backend(PyObject* backend, bool embedding) {
    return reinterpret_cast<PyObject*>(Py_TYPE(backend)) == (embedding ? EmbeddingBackendType : TfidfBackendType);
}

// Similarities by document, as scores by catalog position.
void by_position(const Index& ix, const std::vector<double>& sims, VectorScores& out) {
    const size_t n = sims.size();
    auto at = [&](Py_ssize_t p) { return p >= 0 && static_cast<size_t>(p) < n ? sims[static_cast<size_t>(p)] : 0.0; };
    out.table.resize(ix.c.tables.size());
    out.column.resize(ix.c.columns.size());
    for (size_t t = 0; t < out.table.size(); ++t) out.table[t] = at(ix.table_pos[t]);
    for (size_t k = 0; k < out.column.size(); ++k) out.column[k] = at(ix.column_pos[k]);
    out.any = n > 0;
}

// The similarities of one backend for a question, by catalog position.
bool similarities(const Index& ix, PyObject* backend, PyObject* question, bool embedding, VectorScores& out) {
    if (!backend) {
        out.table.assign(ix.c.tables.size(), 0.0);
        out.column.assign(ix.c.columns.size(), 0.0);
        return true;
    }
    if (!embedding && backend == ix.tfidf.get() && ix.tfidf_rows.ready) {
        std::vector<double> sims;
        if (!tfidf_similarities(ix.tfidf_rows, question, sims)) return false;
        by_position(ix, sims, out);
        return true;
    }
    if (!own_backend(backend, embedding)) {  // a replaced backend class: its own score()
        Ref map(PyObject_CallMethod(backend, "score", "O", question));
        return map && lookup_scores(ix.c, map.get(), out);
    }
    Ref row(backend_similarities(backend, question, embedding, embedding ? &ix.embedding_split : nullptr));
    Ref ids(row ? PyObject_GetAttrString(backend, "doc_ids") : nullptr);
    Py_ssize_t n_ids = ids ? PyObject_Length(ids.get()) : -1;
    if (n_ids < 0) return false;
    const Py_ssize_t n = std::min(n_ids, PyList_GET_SIZE(row.get()));
    auto at = [&](Py_ssize_t p) { return p >= 0 && p < n ? PyFloat_AS_DOUBLE(PyList_GET_ITEM(row.get(), p)) : 0.0; };
    out.table.resize(ix.c.tables.size());
    out.column.resize(ix.c.columns.size());
    for (size_t t = 0; t < out.table.size(); ++t) out.table[t] = at(ix.table_pos[t]);
    for (size_t k = 0; k < out.column.size(); ++k) out.column[k] = at(ix.column_pos[k]);
    out.any = n > 0;
    return true;
}

// The backends select() would build on this catalog, built once.
bool fit_backends(Index& ix) {
    const Settings& s = ix.s;
    if (!wants_vectors(s)) return true;
    Ref docs;
    auto documents = [&]() {
        if (!docs) docs = Ref(build_doc_texts(ix.catalog.get()));
        return bool(docs);
    };
    if ((s.strategy == STRATEGY_TFIDF || s.strategy == STRATEGY_HYBRID) && s.use_tfidf_if_available) {
        Ref cls(PyObject_GetAttrString(g_module, "OptionalTfidfBackend"));
        Ref backend(cls ? PyObject_CallNoArgs(cls.get()) : nullptr);
        Ref avail(backend ? PyObject_GetAttrString(backend.get(), "available") : nullptr);
        int ok = avail ? PyObject_IsTrue(avail.get()) : -1;
        if (ok < 0) return false;
        if (ok) {
            Ref built(documents() ? PyObject_CallMethod(backend.get(), "build", "O", docs.get()) : nullptr);
            if (!built) return false;
            if (own_backend(backend.get(), false)) read_tfidf(backend.get(), ix.tfidf_rows);
            ix.tfidf = std::move(backend);
        }
    }
    if ((s.strategy == STRATEGY_EMBEDDING || s.strategy == STRATEGY_HYBRID) && s.use_embeddings_if_available) {
        Ref cls(PyObject_GetAttrString(g_module, "OptionalEmbeddingBackend"));
        if (!cls) return false;
        Ref backend;
        PyObject* name = s.embedding_model_name_or_path.get();
        Ref model(cls.get() == EmbeddingBackendType && PyUnicode_Check(name) ? cached_model(name) : nullptr);
        if (PyErr_Occurred()) return false;
        if (model) {  // our backend around a model loaded before
            Ref empty(PyList_New(0));
            backend = Ref(empty ? PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__new__", "O",
                                                      cls.get())
                                : nullptr);
            if (!backend || PyObject_SetAttrString(backend.get(), "available", Py_True) < 0 ||
                PyObject_SetAttrString(backend.get(), "model", model.get()) < 0 ||
                PyObject_SetAttrString(backend.get(), "doc_ids", empty.get()) < 0 ||
                PyObject_SetAttrString(backend.get(), "embeddings", Py_None) < 0 ||
                PyObject_SetAttrString(backend.get(), "model_name_or_path", name) < 0)
                return false;
        } else {
            backend = Ref(PyObject_CallOneArg(cls.get(), name));
        }
        Ref avail(backend ? PyObject_GetAttrString(backend.get(), "available") : nullptr);
        int ok = avail ? PyObject_IsTrue(avail.get()) : -1;
        if (ok < 0) return false;
        if (ok) {
            if (!documents()) return false;
            if (own_backend(backend.get(), true)) {
                Ref loaded(PyObject_GetAttrString(backend.get(), "model"));
                if (!loaded || (PyUnicode_Check(name) && PyDict_SetItem(g_models, name, loaded.get()) < 0) ||
                    !embedding_build_quiet(backend.get(), docs.get()) ||
                    !plan_split_product(backend.get(), ix.embedding_split))
                    return false;
            } else {
                Ref built(PyObject_CallMethod(backend.get(), "build", "O", docs.get()));
                if (!built) return false;
            }
            ix.embedding = std::move(backend);
        } else {
            aw::log_warning("CatalogIndex: the embedding model %R could not be loaded; no embedding scores", name);
        }
    }
    if (docs) {
        Ref ids(PyDict_Keys(docs.get()));
        if (!ids || !doc_positions(ix, ids.get())) return false;
    }
    return true;
}

// Once the backends are known: whether questions may be planned ahead.
void allow_plans(Index& ix) {
    ix.plan_ahead = (!ix.tfidf || ix.native_tfidf()) && !ix.embedding && !(ix.join_paths && ix.has_ends);
    ix.zeros.table.assign(ix.c.tables.size(), 0.0);
    ix.zeros.column.assign(ix.c.columns.size(), 0.0);
    ix.kept_entries.tables.resize(ix.c.tables.size());
    ix.kept_entries.columns.resize(ix.c.columns.size());
}

// Reads the snapshot into native data: records, hash, lexical index.
bool read_snapshot(Index& ix) {
    Ref tables(PyObject_GetAttrString(ix.catalog.get(), "tables"));
    Ref list(tables ? aw::private_list(tables.get()) : nullptr);
    if (!list) return false;
    ix.c.arena.copy_texts();  // the pool's threads read them while this one builds results
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i)
        if (!ix.c.add_table(PyList_GET_ITEM(list.get(), i))) return false;
    ix.c.arena.copies_done();
    ix.c.hold.push_back(std::move(list));
    if (!hash_catalog(ix.catalog.get(), ix.hash, ix.input_chars)) return false;
    {
        std::unordered_set<std::string_view> names;
        for (const TableData& t : ix.c.tables) names.insert(ix.c.text(t.name));
        ix.distinct_names = names.size() == ix.c.tables.size();
    }
    ix.has_ends = read_relationship_ends(ix.catalog.get(), ix.ends);
    if (!ix.has_ends) PyErr_Clear();  // read per question instead
    if (ix.join_paths && ix.has_ends && !ix.joins.build(ix.c, ix.ends)) return false;
    if (ix.route_schemas) ix.router.build(ix.c);
    if (ix.c.columns.size() >= kReleaseGilColumns) aw::without_gil([&] { ix.lex.build(ix.c); });
    else ix.lex.build(ix.c);
    return true;
}

bool start(Index& ix, PyObject* config) {
    Ref given(config == Py_None ? PyObject_CallNoArgs(reinterpret_cast<PyObject*>(SelectorConfigType))
                                : Py_NewRef(config));
    ix.config = Ref(given ? call_copy("copy", given.get()) : nullptr);
    ix.sifter = Ref(ix.config ? PyObject_CallOneArg(SchemaSiftType, ix.config.get()) : nullptr);
    return ix.sifter && settings_of(ix.sifter.get(), ix.s);
}

int index_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"catalog", "config", "database", "join_paths", "route_schemas", nullptr};
    PyObject *catalog, *config = Py_None, *database = Py_None;
    int join_paths = 0, route_schemas = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$Opp:CatalogIndex", const_cast<char**>(kw), &catalog, &config,
                                     &database, &join_paths, &route_schemas))
        return -1;
    if (database != Py_None && !PyUnicode_Check(database)) {
        PyErr_Format(PyExc_TypeError, "database must be str or None, not %.200s", Py_TYPE(database)->tp_name);
        return -1;
    }
    // Threads may be working on the index: it is built once.
    if (reinterpret_cast<IndexObject*>(self)->index) {
        PyErr_SetString(PyExc_RuntimeError, "CatalogIndex is already initialized");
        return -1;
    }
    auto ix = std::make_unique<Index>();
    if (!start(*ix, config)) return -1;
    ix->database = Ref::borrow(database);
    // A snapshot: later edits to the caller's catalog do not reach the index.
    Ref records;
    if (aw::rec_check(catalog, MetadataCatalogType)) {
        records = Ref::borrow(catalog);
    } else {
        Ref normalizer(PyObject_GetAttrString(g_module, "CatalogNormalizer"));
        records = Ref(normalizer ? PyObject_CallMethod(normalizer.get(), "normalize", "OO", catalog, database)
                                 : nullptr);
        if (!records) return -1;
    }
    ix->catalog = Ref(snapshot(records.get()));
    if (!ix->catalog) return -1;
    int db = aw::is_present(database);
    if (db < 0 || (db && PyObject_SetAttrString(ix->catalog.get(), "database", database) < 0)) return -1;
    ix->join_paths = join_paths;
    ix->route_schemas = route_schemas;
    if (!read_snapshot(*ix) || !fit_backends(*ix)) return -1;
    allow_plans(*ix);
    reinterpret_cast<IndexObject*>(self)->index = ix.release();
    return 0;
}

void index_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<IndexObject*>(self)->index;
    type->tp_free(self);
    Py_DECREF(type);
}

Selection selection_of(const Index& ix) {
    return Selection{ix.catalog.get(), ix.c, ix.hash.get(), ix.input_chars, ix.has_ends ? &ix.ends : nullptr,
                     ix.distinct_names, ix.join_paths && ix.has_ends ? &ix.joins : nullptr,
                     ix.route_schemas ? &ix.router : nullptr, nullptr, &ix.kept_entries};
}

// The native part of one question: intent, tokens, lexical scores, TF-IDF
// similarities when the index makes the question's row natively, and the
// plan when it can be made ahead.
struct Prepared {
    Intent intent;
    Query q;
    LexicalScores lexical;
    VectorScores tfidf;
    Plan plan;
    bool planned = false;
    Prepared* next_back = nullptr;  // in a HandedBack list
};

// plan: the question has no constraints; runs without the interpreter then.
void prepare(const Index& ix, const std::string& question, Prepared& p, bool plan) {
    parse_intent(question, p.intent);
    build_query(p.intent, p.q);
    ix.lex.score(ix.c, p.q, ix.s, p.lexical);
    if (ix.native_tfidf()) {
        std::vector<long long> indices;
        std::vector<double> data, sims;
        question_row(ix.tfidf_rows, question, indices, data);
        row_similarities(ix.tfidf_rows, indices, data, sims);
        by_position(ix, sims, p.tfidf);
    }
    if (plan && ix.plan_ahead) {
        Ask ask{nullptr, nullptr, &p.q, nullptr, nullptr, nullptr};
        p.planned = plan_selection(selection_of(ix), ask, ix.s, ix.native_tfidf() ? p.tfidf : ix.zeros, ix.zeros,
                                   &p.lexical, true, p.plan);
        // a plan given up on has used the lexical scores: score again
        if (!p.planned) ix.lex.score(ix.c, p.q, ix.s, p.lexical);
    }
}

// Building a result reads what another core prepared; fetched line by line
// as it is read, that made building a quarter slower. The next questions'
// data is fetched ahead in three steps (each reads its addresses from the
// data the step before fetched).
template <class T>
void prefetch_range(const T* p, size_t n) {
    const char* b = reinterpret_cast<const char*>(p);
    const size_t bytes = n * sizeof(T) < 4096 ? n * sizeof(T) : 4096;
    for (size_t k = 0; k < bytes; k += 64) __builtin_prefetch(b + k);
}
template <class V>
void prefetch_vector(const V& v) {
    prefetch_range(v.data(), v.size());
}
void prefetch_groups(const ReasonGroups& g) {
    prefetch_vector(g.ends);
    prefetch_vector(g.all.joined());
    prefetch_vector(g.all.ends());
}
// stage 0: the record itself; 1: its vectors; 2: the vectors they hold
void prefetch(const Prepared& p, int stage) {
    if (stage == 0) return prefetch_range(&p, 1);
    if (stage == 1) {
        prefetch_vector(p.intent.token_buf);
        prefetch_vector(p.intent.tokens);
        prefetch_vector(p.intent.lowered);
        prefetch_vector(p.plan.table_scores);
        prefetch_vector(p.plan.chosen);
        prefetch_vector(p.plan.choices);
        prefetch_vector(p.plan.ranked);
        prefetch_groups(p.plan.ranked_reasons);
        prefetch_groups(p.plan.lexical_why.tables);
        prefetch_groups(p.plan.lexical_why.columns);
        return;
    }
    for (const ColumnChoice& c : p.plan.choices) {
        prefetch_vector(c.chosen);
        prefetch_vector(c.scores);
        prefetch_groups(c.reasons);
    }
}

// Questions a kept pool thread is done with: freed once its job is over, while
// the caller goes on, rather than on the way of the call. Up to some 4 MB of
// scores (a question holds a few per table and column); past it, at once.
constexpr size_t kAsideBytes = size_t(4) << 20, kAsideMax = 512;
thread_local std::vector<std::unique_ptr<Prepared>> t_aside;
thread_local size_t t_aside_room = 0;  // of the current job, with its capacity reserved

size_t aside_room(const CatalogData& c) {
    const size_t per_question = 32 * (c.tables.size() + c.columns.size()) + 1024;
    return std::min(kAsideMax, kAsideBytes / per_question);
}

void put_aside(std::unique_ptr<Prepared> p) {
    if (t_aside.size() < t_aside_room) t_aside.push_back(std::move(p));
}  // else p goes here

// Questions a kept thread handed to the caller, given back to it once built
// and freed by it after its next job: a thread that frees into another's heap
// while that one frees too waits on the heap's lock, and a thread put to
// sleep there costs tens of microseconds to wake, often more on a virtual
// machine (a third of all calls slept so, in some minutes). Pushed by the
// caller, taken whole by the kept thread; it never ends, nor its list.
struct HandedBack {
    std::atomic<Prepared*> head{nullptr};
    void give(std::unique_ptr<Prepared> p) {
        Prepared* q = p.release();
        q->next_back = head.load(std::memory_order_relaxed);
        while (!head.compare_exchange_weak(q->next_back, q, std::memory_order_release, std::memory_order_relaxed)) {
        }
    }
    void free_all() {
        for (Prepared* p = head.exchange(nullptr, std::memory_order_acquire); p;) {
            Prepared* next = p->next_back;
            delete p;
            p = next;
        }
    }
};
thread_local HandedBack t_handed_back;

void free_aside() {
    t_aside.clear();
    t_handed_back.free_all();
}

// Whether the exclusions leave out a table of the catalog.
int excludes_any(const Index& ix, PyObject* excluded) {
    if (PySet_GET_SIZE(excluded) == 0) return 0;
    for (const TableData& t : ix.c.tables) {
        int r = PySet_Contains(excluded, t.name_obj);
        if (r) return r;
    }
    return 0;
}

struct Constraints {
    PyObject *req_tables = Py_None, *req_cols = Py_None, *exc_tables = Py_None, *exc_cols = Py_None;
};

// select() on the snapshot, for exclusions that change the catalog itself
// (its hash, its documents and so its vector fits).
PyObject* select_without_index(const Index& ix, PyObject* question, const Constraints& k) {
    Ref tables(PyObject_GetAttrString(ix.catalog.get(), "tables"));
    Ref list(tables ? PySequence_List(tables.get()) : nullptr);
    Ref rels(list ? PyObject_GetAttrString(ix.catalog.get(), "relationships") : nullptr);
    Ref extra(rels ? PyObject_GetAttrString(ix.catalog.get(), "extra") : nullptr);
    Ref db(extra ? PyObject_GetAttrString(ix.catalog.get(), "database") : nullptr);
    Ref copy(db ? aw::rec_new(MetadataCatalogType, {db.release(), list.release(), rels.release(), extra.release()})
                : nullptr);
    return copy ? run_select(ix.sifter.get(), question, copy.get(), Py_None, k.req_tables, k.req_cols, k.exc_tables,
                             k.exc_cols)
                : nullptr;
}

// The rest of one question once prepared (with the interpreter lock).
PyObject* finish(const Index& ix, PyObject* question, Prepared& p, PyObject* required_set, PyObject* req_cols,
                 PyObject* exc_cols) {
    Ref intent(intent_to_py(question, p.intent));
    if (!intent) return nullptr;
    VectorScores tf, em;
    if ((!ix.native_tfidf() && !similarities(ix, ix.tfidf.get(), question, false, tf)) ||
        !similarities(ix, ix.embedding.get(), question, true, em))
        return nullptr;
    const int has_req = aw::is_present(req_cols);
    const int has_exc = has_req < 0 ? -1 : aw::is_present(exc_cols);
    if (has_exc < 0) return nullptr;
    Ask ask{question, intent.get(), &p.q, required_set, has_req ? req_cols : nullptr, has_exc ? exc_cols : nullptr};
    return select_scored(selection_of(ix), ask, ix.s, ix.native_tfidf() ? p.tfidf : tf, em, &p.lexical,
                         p.planned ? &p.plan : nullptr);
}

PyObject* select_one(const Index& ix, PyObject* question, const Constraints& k) {
    if (!check_select_args(question, Py_None, k.req_tables, k.req_cols, k.exc_tables, k.exc_cols) ||
        !check_question(question))
        return nullptr;
    Ref required(set_of(k.req_tables));
    Ref excluded(required ? set_of(k.exc_tables) : nullptr);
    if (!excluded) return nullptr;
    int changes = excludes_any(ix, excluded.get());
    if (changes < 0) return nullptr;
    if (changes) return select_without_index(ix, question, k);
    Prepared p;
    std::string text = aw::to_utf8(question);
    const bool plain = PySet_GET_SIZE(required.get()) == 0 && k.req_cols == Py_None && k.exc_cols == Py_None;
    if (ix.c.columns.size() >= kReleaseGilColumns) aw::without_gil([&] { prepare(ix, text, p, plain); });
    else prepare(ix, text, p, plain);
    return finish(ix, question, p, required.get(), k.req_cols, k.exc_cols);
}

PyObject* m_select(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"question", "required_tables", "required_columns", "excluded_tables",
                               "excluded_columns", nullptr};
    PyObject* question;
    Constraints k;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOO:select", const_cast<char**>(kw), &question,
                                     &k.req_tables, &k.req_cols, &k.exc_tables, &k.exc_cols))
        return nullptr;
    Index* ix = index_of(self);
    return ix ? select_one(*ix, question, k) : nullptr;
}

// The threads of one select_many call and what they share. Each thread frees
// the native data of the questions it prepared once their results are built
// (freeing another thread's allocations while it allocates contends for its
// allocator and doubled the cost of building results), except the last few:
// a pool thread with nothing left to prepare hands those to the caller and
// is done, so that the call never waits for a thread the host may not be
// running just then; once built, the caller gives a kept thread's back to it
// (HandedBack) and frees only those of threads that end with the call.
// Each question's flags and data sit on a cache line of their own, apart
// from its neighbours', which the other thread writes.
struct Pipeline {
    enum Owner : uint8_t { BUILDING, BUILT, HANDED };
    struct alignas(64) Slot {
        std::atomic<bool> ready{false};
        bool pooled = false;  // prepared by the pool (set before ready)
        // A pooled question's data: in use, built (its thread frees it), or
        // handed to the caller (which gives it back once built). Set by exchange.
        std::atomic<uint8_t> owner{BUILDING};
        std::unique_ptr<Prepared> prepared;
        HandedBack* back = nullptr;  // of the kept thread that prepared it, if one did
    };
    explicit Pipeline(size_t n) : slots(new Slot[n]) {}
    ~Pipeline() { stop(true); }
    void fail(std::exception_ptr e) {
        std::lock_guard<std::mutex> lock(m);
        if (!failure) failure = e;
        failed.store(true);
    }
    // Ends the pool and waits for it without the interpreter lock; abandon:
    // the pool stops waiting for results to free its data (the slots free
    // what is left).
    void stop(bool abandon) {
        if (!kept && pool.empty()) return;
        next.store(SIZE_MAX / 2);  // nothing is left to claim
        if (abandon) failed.store(true);
        Py_BEGIN_ALLOW_THREADS
        if (kept) kept->wait();
        for (std::thread& t : pool) t.join();
        Py_END_ALLOW_THREADS
        kept.reset();
        pool.clear();
    }
    std::unique_ptr<Slot[]> slots;  // freed after the pool is joined
    alignas(64) std::atomic<size_t> next{0};
    alignas(64) std::atomic<size_t> finished{0};  // questions below have their results
    alignas(64) std::atomic<bool> failed{false};
    std::exception_ptr failure;
    std::mutex m;
    std::optional<aw::KeptJob> kept;  // the process's kept threads, or
    std::vector<std::thread> pool;    // threads of this call when they are busy
};

PyObject* m_select_many(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"questions", "threads", nullptr};
    PyObject *questions, *threads_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:select_many", const_cast<char**>(kw), &questions,
                                     &threads_arg))
        return nullptr;
    Index* ix = index_of(self);
    if (!ix) return nullptr;
    long threads = static_cast<long>(aw::cores());
    if (threads_arg != Py_None) {
        if (!PyLong_Check(threads_arg) || PyBool_Check(threads_arg)) {
            PyErr_Format(PyExc_TypeError, "threads must be an int or None, not %.200s", Py_TYPE(threads_arg)->tp_name);
            return nullptr;
        }
        threads = PyLong_AsLong(threads_arg);
        if (threads == -1 && PyErr_Occurred()) return nullptr;
        if (threads < 1) {
            PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
            return nullptr;
        }
    }
    if (threads < 1) threads = 1;
    // Questions and results are held natively until the end: no other
    // thread can reach them (a list can be, through the collector) while
    // this one lets go of the interpreter lock.
    std::vector<Ref> asked, results;
    {
        Ref list(PySequence_List(questions));
        if (!list) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i)
            asked.push_back(Ref::borrow(PyList_GET_ITEM(list.get(), i)));
    }
    const size_t n = asked.size();
    std::vector<std::string> texts(n);
    for (size_t i = 0; i < n; ++i) {
        PyObject* q = asked[i].get();
        if (!check_select_args(q, Py_None, Py_None, Py_None, Py_None, Py_None) || !check_question(q)) return nullptr;
        texts[i] = aw::to_utf8(q);
    }
    results.reserve(n);
    aw::HiddenResults hidden;  // declared after results: tracks them again before they may go
    auto to_list = [&]() -> PyObject* {
        PyObject* out = PyList_New(static_cast<Py_ssize_t>(n));
        if (out)
            for (size_t i = 0; i < n; ++i) PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), results[i].release());
        return out;
    };
    Ref empty(PySet_New(nullptr));
    if (!empty) return nullptr;
    auto finish_one = [&](size_t i, Prepared& p) {
        Ref r(finish(*ix, asked[i].get(), p, empty.get(), Py_None, Py_None));
        if (!r) return false;
        hidden.hide(r.get());
        results.push_back(std::move(r));
        return true;
    };
    const size_t workers = std::min<size_t>(static_cast<size_t>(threads), n);
    if (workers <= 1) {
        for (size_t i = 0; i < n; ++i) {
            auto p = std::make_unique<Prepared>();
            if (ix->c.columns.size() >= kReleaseGilColumns) aw::without_gil([&] { prepare(*ix, texts[i], *p, true); });
            else prepare(*ix, texts[i], *p, true);
            if (!finish_one(i, *p)) return nullptr;
        }
        return to_list();
    }
    // A pipeline: the pool prepares questions in order without the
    // interpreter lock while this thread builds the results of those ready,
    // preparing the next ones itself whenever the one it needs is not.
    Pipeline line(n);
    Pipeline::Slot* slots = line.slots.get();
    // prepares the next unclaimed question; SIZE_MAX when none is left
    auto claim = [&](bool by_pool, HandedBack* back) {
        const size_t i = line.next++;
        if (i >= n) return SIZE_MAX;
        try {
            prepare(*ix, texts[i], *(slots[i].prepared = std::make_unique<Prepared>()), true);
        } catch (...) {
            line.fail(std::current_exception());
        }
        slots[i].pooled = by_pool;
        slots[i].back = back;
        slots[i].ready.store(true, std::memory_order_release);
        return i;
    };
    auto pool_thread = [&](bool kept) {
        std::vector<size_t> mine;  // prepared here, not yet freed
        size_t freed = 0;
        auto free_finished = [&] {
            const size_t upto = line.finished.load(std::memory_order_acquire);
            for (; freed < mine.size() && mine[freed] < upto; ++freed) put_aside(std::move(slots[mine[freed]].prepared));
        };
        try {
            ready_thread_data();
            const size_t room = aside_room(ix->c);
            t_aside_room = 0;
            try {
                t_aside.reserve(room);
                t_aside_room = room;
            } catch (const std::bad_alloc&) {  // then each is freed at once
            }
            while (!line.failed.load()) {
                free_finished();
                const size_t i = claim(true, kept ? &t_handed_back : nullptr);
                if (i == SIZE_MAX) break;
                mine.push_back(i);
            }
        } catch (...) {  // no room to note it: the slots free it
            line.fail(std::current_exception());
        }
        if (line.failed.load()) return;  // the slots free what is left
        free_finished();
        for (; freed < mine.size(); ++freed) {
            uint8_t building = Pipeline::BUILDING;
            if (!slots[mine[freed]].owner.compare_exchange_strong(building, Pipeline::HANDED))
                put_aside(std::move(slots[mine[freed]].prepared));  // built meanwhile
        }
    };
    const std::function<void()> job([&] { pool_thread(true); });
    // waits for the pool on every way out, before what it runs goes
    struct Join {
        Pipeline& line;
        ~Join() { line.stop(true); }
    } join{line};
    if (line.kept.emplace(workers - 1, job, free_aside).started() == 0) {
        line.kept.reset();
        try {
            for (size_t w = 1; w < workers; ++w) line.pool.emplace_back(pool_thread, false);
        } catch (const std::system_error&) {
            // fewer threads than asked for: this thread prepares the rest
        }
    }
    for (size_t i = 0; i < n; ++i) {
        if (!slots[i].ready.load(std::memory_order_acquire))
            aw::without_gil([&] {
                while (!slots[i].ready.load(std::memory_order_acquire) && !line.failed.load())
                    if (claim(false, nullptr) == SIZE_MAX) std::this_thread::yield();
            });
        if (line.failed.load()) break;
        for (int stage = 0; stage < 3; ++stage) {
            const size_t j = i + 3 - stage;
            // null when its preparing failed (the failure shows at its turn)
            if (j < n && slots[j].ready.load(std::memory_order_acquire) && slots[j].prepared)
                prefetch(*slots[j].prepared, stage);
        }
        if (!finish_one(i, *slots[i].prepared)) return nullptr;  // the pipeline stops and joins on the way out
        uint8_t building = Pipeline::BUILDING;
        if (!slots[i].pooled) {
            slots[i].prepared.reset();  // the caller's own
        } else if (!slots[i].owner.compare_exchange_strong(building, Pipeline::BUILT)) {
            // handed over: back to the kept thread that made it, or freed here
            if (slots[i].back) slots[i].back->give(std::move(slots[i].prepared));
            else slots[i].prepared.reset();
        }
        line.finished.store(i + 1, std::memory_order_release);
    }
    line.stop(false);
    if (line.failure) std::rethrow_exception(line.failure);
    return to_list();
}

// -------------------------------------------------------------- pickling

// (model name, doc ids, embeddings) of our own embedding backend; the model
// itself is loaded again by name, once per process.
PyObject* embedding_state(PyObject* backend) {
    if (!own_backend(backend, true)) return Py_NewRef(backend);
    Ref name(PyObject_GetAttrString(backend, "model_name_or_path"));
    Ref ids(name ? PyObject_GetAttrString(backend, "doc_ids") : nullptr);
    Ref emb(ids ? PyObject_GetAttrString(backend, "embeddings") : nullptr);
    return emb ? PyTuple_Pack(3, name.get(), ids.get(), emb.get()) : nullptr;
}

PyObject* m_reduce(PyObject* self, PyObject*) {
    Index* ix = index_of(self);
    if (!ix) return nullptr;
    Ref emb(ix->embedding ? embedding_state(ix->embedding.get()) : Py_NewRef(Py_None));
    Ref restore(emb ? PyObject_GetAttrString(g_module, "_restore_catalog_index") : nullptr);
    if (!restore) return nullptr;
    return Py_BuildValue("O(OOOOOOO)", restore.get(), ix->config.get(), ix->database.get(), ix->catalog.get(),
                         ix->tfidf ? ix->tfidf.get() : Py_None, emb.get(), ix->join_paths ? Py_True : Py_False,
                         ix->route_schemas ? Py_True : Py_False);
}

PyObject* restore_embedding(PyObject* state) {
    if (!PyTuple_CheckExact(state) || PyTuple_GET_SIZE(state) != 3) return Py_NewRef(state);
    PyObject *name = PyTuple_GET_ITEM(state, 0), *ids = PyTuple_GET_ITEM(state, 1),
             *emb = PyTuple_GET_ITEM(state, 2);
    Ref model(PyUnicode_Check(name) ? cached_model(name) : nullptr);
    if (!model) {
        if (PyErr_Occurred()) return nullptr;
        Ref loaded(PyObject_CallOneArg(EmbeddingBackendType, name));
        if (!loaded) return nullptr;
        model = Ref(PyObject_GetAttrString(loaded.get(), "model"));
        if (!model) return nullptr;
        if (model.get() == Py_None) {
            aw::log_warning("CatalogIndex: the embedding model %R could not be loaded; no embedding scores", name);
            return Py_NewRef(Py_None);
        }
        if (PyUnicode_Check(name) && PyDict_SetItem(g_models, name, model.get()) < 0) return nullptr;
    }
    Ref backend(PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__new__", "O",
                                    EmbeddingBackendType));
    if (!backend || PyObject_SetAttrString(backend.get(), "available", Py_True) < 0 ||
        PyObject_SetAttrString(backend.get(), "model", model.get()) < 0 ||
        PyObject_SetAttrString(backend.get(), "doc_ids", ids) < 0 ||
        PyObject_SetAttrString(backend.get(), "embeddings", emb) < 0 ||
        PyObject_SetAttrString(backend.get(), "model_name_or_path", name) < 0)
        return nullptr;
    return backend.release();
}

PyObject* py_restore(PyObject*, PyObject* args) {
    PyObject *config, *database, *catalog, *tfidf, *emb;
    int join_paths = 0, route_schemas = 0;
    if (!PyArg_ParseTuple(args, "OOOOO|pp:_restore_catalog_index", &config, &database, &catalog, &tfidf, &emb,
                          &join_paths, &route_schemas))
        return nullptr;
    if (!aw::rec_check(catalog, MetadataCatalogType)) {
        PyErr_SetString(PyExc_TypeError, "_restore_catalog_index: not a CatalogIndex state");
        return nullptr;
    }
    Ref self(PyType_GenericAlloc(IndexType, 0));
    if (!self) return nullptr;
    auto ix = std::make_unique<Index>();
    if (!start(*ix, config)) return nullptr;
    ix->database = Ref::borrow(database);
    ix->catalog = Ref::borrow(catalog);
    ix->join_paths = join_paths;
    ix->route_schemas = route_schemas;
    if (!read_snapshot(*ix)) return nullptr;
    if (tfidf != Py_None) {
        ix->tfidf = Ref::borrow(tfidf);
        if (own_backend(tfidf, false)) read_tfidf(tfidf, ix->tfidf_rows);
    }
    if (emb != Py_None) {
        ix->embedding = Ref(restore_embedding(emb));
        if (!ix->embedding) return nullptr;
        if (ix->embedding.get() == Py_None) ix->embedding = Ref();
        else if (own_backend(ix->embedding.get(), true) && !plan_split_product(ix->embedding.get(), ix->embedding_split))
            return nullptr;
    }
    for (PyObject* b : {ix->tfidf.get(), ix->embedding.get()}) {
        if (!b || !own_backend(b, b == ix->embedding.get())) continue;
        Ref ids(PyObject_GetAttrString(b, "doc_ids"));
        if (!ids || !doc_positions(*ix, ids.get())) return nullptr;
        break;
    }
    allow_plans(*ix);
    reinterpret_cast<IndexObject*>(self.get())->index = ix.release();
    return self.release();
}

// ----------------------------------------------------------- attributes

PyObject* get_config(PyObject* self, void*) {
    Index* ix = index_of(self);
    return ix ? Py_NewRef(ix->config.get()) : nullptr;
}
PyObject* get_hash(PyObject* self, void*) {
    Index* ix = index_of(self);
    return ix ? Py_NewRef(ix->hash.get()) : nullptr;
}
PyObject* get_tables(PyObject* self, void*) {
    Index* ix = index_of(self);
    return ix ? PyLong_FromSize_t(ix->c.tables.size()) : nullptr;
}
PyObject* get_columns(PyObject* self, void*) {
    Index* ix = index_of(self);
    return ix ? PyLong_FromSize_t(ix->c.columns.size()) : nullptr;
}
PyObject* get_join_paths(PyObject* self, void*) {
    Index* ix = index_of(self);
    return ix ? PyBool_FromLong(ix->join_paths) : nullptr;
}
PyObject* get_route_schemas(PyObject* self, void*) {
    Index* ix = index_of(self);
    return ix ? PyBool_FromLong(ix->route_schemas) : nullptr;
}
PyObject* get_database(PyObject* self, void*) {
    Index* ix = index_of(self);
    return ix ? Py_NewRef(ix->database.get()) : nullptr;
}

PyObject* index_repr(PyObject* self) {
    Index* ix = index_of(self);
    if (!ix) return nullptr;
    return PyUnicode_FromFormat("CatalogIndex(%zu tables, %zu columns, catalog_hash=%R)", ix->c.tables.size(),
                                ix->c.columns.size(), ix->hash.get());
}

PyMethodDef index_methods[] = {
    {"select", AW_KW(m_select),
     "select($self, /, question, *, required_tables=None, required_columns=None, excluded_tables=None, "
     "excluded_columns=None)\n--\n\n"
     "Select the metadata for one question.\n"
     "\n"
     "The result equals SchemaSift(config).select(question, catalog, database=database, ...)\n"
     "on the catalog as it was when the index was built. Exclusions that leave out a\n"
     "table change the catalog itself (its hash and vector documents): that call\n"
     "runs select() on the snapshot, at per-call speed. The keyword arguments are\n"
     "SchemaSift.select's, each None by default.\n"
     "\n"
     "Raises:\n"
     "    ValueError: \"question is required\" for an empty or blank question.\n"
     "    TypeError: an argument of the wrong kind."},
    {"select_many", AW_KW(m_select_many),
     "select_many($self, /, questions, *, threads=None)\n--\n\n"
     "Select for every question, results in input order.\n"
     "\n"
     "The native part of each question (intent, tokens, lexical scores) runs\n"
     "without the interpreter lock on a pool of `threads` (default: the CPU count)\n"
     "while the calling thread builds the results; the results are those of\n"
     "select() one by one. The pool's threads are kept for later calls; a call\n"
     "made while another uses them, or asking for more threads than the machine\n"
     "has cores, starts threads of its own.\n"
     "\n"
     "Raises:\n"
     "    ValueError: a blank question, or threads < 1.\n"
     "    TypeError: a question that is not a str, threads not an int."},
    {"__reduce__", AW_FN(m_reduce), METH_NOARGS, "Pickle support: the snapshot and the fitted backends."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef index_getset[] = {
    {"config", reinterpret_cast<getter>(AW_SLOT(get_config)), nullptr, "The SelectorConfig the index was built with (a copy).", nullptr},
    {"catalog_hash", reinterpret_cast<getter>(AW_SLOT(get_hash)), nullptr, "The catalog hash every result reports.", nullptr},
    {"table_count", reinterpret_cast<getter>(AW_SLOT(get_tables)), nullptr, "Number of tables in the snapshot.", nullptr},
    {"column_count", reinterpret_cast<getter>(AW_SLOT(get_columns)), nullptr, "Number of columns in the snapshot.", nullptr},
    {"join_paths", reinterpret_cast<getter>(AW_SLOT(get_join_paths)), nullptr,
     "Whether a bridge table joins the two leading chosen tables when no relationship does.", nullptr},
    {"route_schemas", reinterpret_cast<getter>(AW_SLOT(get_route_schemas)), nullptr,
     "Whether tables are chosen within the likely schema of qualified table names.", nullptr},
    {"database", reinterpret_cast<getter>(AW_SLOT(get_database)), nullptr, "The database name given at build (or None).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

const char kIndexDoc[] =
    "CatalogIndex(catalog, config=None, *, database=None, join_paths=False, route_schemas=False)\n--\n\n"
    "One catalog prepared for many questions.\n"
    "\n"
    "The catalog (a loose dict or a MetadataCatalog) is copied, normalized, hashed\n"
    "and indexed once: every field's words go into an inverted index and every\n"
    "phrase into a trie, TF-IDF is fitted once on the documents, and document\n"
    "embeddings are encoded once (without progress bars; the model is loaded once\n"
    "per process). Each select() then only works on the question, and gives the\n"
    "result SchemaSift(config).select(question, catalog, database=database) gives.\n"
    "A question's TF-IDF row is made without the interpreter (lowercasing, words\n"
    "and word pairs as scikit-learn's vectorizer finds them, to the bit) when the\n"
    "vectorizer is scikit-learn's own as the backend makes it; otherwise by its\n"
    "transform().\n"
    "The question's embedding is multiplied with the documents' in the pieces\n"
    "numpy's BLAS library would give its threads, each on the calling thread:\n"
    "the same bits (checked when the index is built or unpickled; otherwise the\n"
    "whole product is used), without waking the library's threads, which keep\n"
    "spinning through the next question's encoding.\n"
    "\n"
    "The index is a snapshot: later edits to the caller's catalog or config do not\n"
    "reach it. One index may be shared by any number of threads. It pickles with\n"
    "its fits (no refitting; an embedding model is loaded by name once per process\n"
    "where it is unpickled).\n"
    "\n"
    "Args:\n"
    "    catalog: The catalog, as select() takes it.\n"
    "    config: A SelectorConfig (None: the defaults). Default None.\n"
    "    database: The database name, as select()'s database argument.\n"
    "        Default None.\n"
    "    join_paths: Opt-in. When the two leading chosen tables are not joined by a\n"
    "        relationship and exactly one table joins them both, that bridge table\n"
    "        is chosen second (in place of the lowest-ranked table not required\n"
    "        once top_k_tables are chosen; no bridge when that table is joined to\n"
    "        the leading one), with its columns on the path; the\n"
    "        debug map lists it under \"join_paths\" with the reason\n"
    "        \"join path: a -> bridge -> b\". Results then differ from select().\n"
    "        Default False.\n"
    "    route_schemas: Opt-in, for table names qualified as \"schema.table\". The\n"
    "        likely schema is chosen first: the share of the question's words its\n"
    "        table and column names cover (each word weighted by how few schemas\n"
    "        have it; a plural \"s\" ignored) plus its best table score. Tables\n"
    "        are then chosen within it; required tables always stay. Results then\n"
    "        differ from select(). Default False.\n"
    "\n"
    "Raises:\n"
    "    TypeError, ValueError: the catalog's or config's errors, as select()\n"
    "        raises them.";

PyType_Slot index_slots[] = {{Py_tp_init, AW_SLOT(index_init)},
                             {Py_tp_new, reinterpret_cast<void*>(PyType_GenericNew)},
                             {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
                             {Py_tp_repr, AW_SLOT(index_repr)},
                             {Py_tp_methods, index_methods},
                             {Py_tp_getset, index_getset},
                             {Py_tp_doc, const_cast<char*>(kIndexDoc)},
                             {0, nullptr}};

PyType_Spec index_spec = {"askweave.schemasift.CatalogIndex", sizeof(IndexObject), 0,
                          Py_TPFLAGS_DEFAULT, index_slots};

PyMethodDef restore_def = {"_restore_catalog_index", AW_FN(py_restore), METH_VARARGS,
                           "Rebuild a CatalogIndex from its pickled state."};

}  // namespace

bool init_index(PyObject* module) {
    g_models = PyDict_New();
    if (!g_models || PyModule_AddObjectRef(module, "_embedding_models", g_models) < 0) return false;
    Py_DECREF(g_models);  // the module keeps it
    Ref type(PyType_FromSpec(&index_spec));
    if (!type || PyModule_AddObjectRef(module, "CatalogIndex", type.get()) < 0) return false;
    IndexType = reinterpret_cast<PyTypeObject*>(type.get());
    Ref modname(PyUnicode_FromString("askweave.schemasift"));
    Ref fn(modname ? PyCFunction_NewEx(&restore_def, nullptr, modname.get()) : nullptr);
    return fn && PyModule_AddObjectRef(module, "_restore_catalog_index", fn.get()) == 0;
}

}  // namespace sift
