// Optional vector backends: TF-IDF similarity (scikit-learn) and sentence
// embeddings (sentence-transformers), imported through the host at call time.
#include "schemasift/core.hpp"
#include "schemasift/pipeline.hpp"

#include "common/pytext.hpp"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace sift {
using aw::Ref;

PyObject* import_attr(const char* module, const char* name) {
    Ref m(PyImport_ImportModule(module));
    return m ? PyObject_GetAttrString(m.get(), name) : nullptr;
}

namespace {

bool set_attr(PyObject* self, const char* name, PyObject* value) {
    return PyObject_SetAttrString(self, name, value) == 0;
}

// True when the pending error is an ordinary exception (then cleared).
bool swallow() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return true;
}

// "not self.available or <attr> is None"
int unusable(PyObject* self, const char* a, const char* b) {
    Ref avail(PyObject_GetAttrString(self, "available"));
    if (!avail) return -1;
    int t = PyObject_IsTrue(avail.get());
    if (t <= 0) return t < 0 ? -1 : 1;
    for (const char* name : {a, b}) {
        if (!name) continue;
        Ref v(PyObject_GetAttrString(self, name));
        if (!v) return -1;
        if (v.get() == Py_None) return 1;
    }
    return 0;
}

// {doc_id: float(sim)} pairing doc_ids with sims in order.
PyObject* pair_scores(PyObject* doc_ids, PyObject* sims) {
    // An array row gives its numbers as floats in one call (the same values
    // float() gives one by one, without a scalar object each).
    Ref plain;
    if (!PyList_CheckExact(sims) && !PyTuple_CheckExact(sims)) {
        Ref tolist(PyObject_GetAttrString(sims, "tolist"));
        plain = tolist ? Ref(PyObject_CallNoArgs(tolist.get())) : Ref();
        if (plain && !PyList_CheckExact(plain.get())) plain = Ref();
        if (!plain) PyErr_Clear();
    }
    Ref out(PyDict_New());
    Ref ids(out ? PyObject_GetIter(doc_ids) : nullptr);
    Ref values(ids ? PyObject_GetIter(plain ? plain.get() : sims) : nullptr);
    if (!values) return nullptr;
    for (;;) {
        Ref id(PyIter_Next(ids.get()));
        if (!id) break;
        Ref v(PyIter_Next(values.get()));
        if (!v) break;
        Ref f(PyNumber_Float(v.get()));
        if (!f || PyDict_SetItem(out.get(), id.get(), f.get()) < 0) return nullptr;
    }
    return PyErr_Occurred() ? nullptr : out.release();
}

// Sets doc_ids and returns the texts of a {doc_id: text} map.
PyObject* take_docs(PyObject* self, PyObject* docs) {
    Ref keys(PyDict_Keys(docs));
    Ref values(keys ? PyDict_Values(docs) : nullptr);
    if (!values || !set_attr(self, "doc_ids", keys.get())) return nullptr;
    return values.release();
}

bool check_docs(PyObject* docs) {
    if (PyDict_Check(docs)) return true;
    PyErr_Format(PyExc_TypeError, "doc_text_by_id must be a dict, not %.200s", Py_TYPE(docs)->tp_name);
    return false;
}

bool check_question(PyObject* q) {
    if (PyUnicode_Check(q)) return true;
    PyErr_Format(PyExc_TypeError, "question must be str, not %.200s", Py_TYPE(q)->tp_name);
    return false;
}

// ------------------------------------------------------------------ TF-IDF

int tfidf_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":__init__", const_cast<char**>(kw))) return -1;
    Ref empty(PyList_New(0));
    if (!empty || !set_attr(self, "available", Py_False) || !set_attr(self, "vectorizer", Py_None) ||
        !set_attr(self, "matrix", Py_None) || !set_attr(self, "doc_ids", empty.get()))
        return -1;
    Ref cls(import_attr("sklearn.feature_extraction.text", "TfidfVectorizer"));
    Ref kwds(cls ? Py_BuildValue("{s:(ii),s:O}", "ngram_range", 1, 2, "lowercase", Py_True) : nullptr);
    Ref noargs(kwds ? PyTuple_New(0) : nullptr);
    Ref vec(noargs ? PyObject_Call(cls.get(), noargs.get(), kwds.get()) : nullptr);
    if (!vec && PyErr_ExceptionMatches(PyExc_Exception))  // debug: the default strategy only tries it
        aw::log_at_exc(aw::LOG_DEBUG, "TF-IDF similarity unavailable (scikit-learn)");
    if (!vec) return swallow() ? 0 : -1;
    return set_attr(self, "vectorizer", vec.get()) && set_attr(self, "available", Py_True) ? 0 : -1;
}

PyObject* tfidf_build(PyObject* self, PyObject* docs) {
    if (!check_docs(docs)) return nullptr;
    int skip = unusable(self, "vectorizer", nullptr);
    if (skip) return skip < 0 ? nullptr : Py_NewRef(Py_None);
    Ref texts(take_docs(self, docs));
    // Nothing to fit (the vectorizer would raise): no vector evidence.
    if (texts && PyList_GET_SIZE(texts.get()) == 0) Py_RETURN_NONE;
    Ref vec(texts ? PyObject_GetAttrString(self, "vectorizer") : nullptr);
    Ref matrix(vec ? PyObject_CallMethod(vec.get(), "fit_transform", "O", texts.get()) : nullptr);
    if (!matrix || !set_attr(self, "matrix", matrix.get())) return nullptr;
    Py_RETURN_NONE;
}

// The similarity row of the question to every document (any sequence), or
// None when the backend is not usable.
PyObject* tfidf_row(PyObject* self, PyObject* question) {
    int skip = unusable(self, "vectorizer", "matrix");
    if (skip) return skip < 0 ? nullptr : Py_NewRef(Py_None);
    Ref cosine(import_attr("sklearn.metrics.pairwise", "cosine_similarity"));
    Ref vec(cosine ? PyObject_GetAttrString(self, "vectorizer") : nullptr);
    Ref qlist(vec ? PyList_New(1) : nullptr);
    if (qlist) PyList_SET_ITEM(qlist.get(), 0, Py_NewRef(question));
    Ref qvec(qlist ? PyObject_CallMethod(vec.get(), "transform", "O", qlist.get()) : nullptr);
    Ref matrix(qvec ? PyObject_GetAttrString(self, "matrix") : nullptr);
    Ref sims(matrix ? PyObject_CallFunctionObjArgs(cosine.get(), qvec.get(), matrix.get(), nullptr) : nullptr);
    Ref zero(sims ? PyLong_FromLong(0) : nullptr);
    return zero ? PyObject_GetItem(sims.get(), zero.get()) : nullptr;
}

PyObject* tfidf_score(PyObject* self, PyObject* question) {
    if (!check_question(question)) return nullptr;
    Ref row(tfidf_row(self, question));
    if (row && row.get() == Py_None) return PyDict_New();
    Ref ids(row ? PyObject_GetAttrString(self, "doc_ids") : nullptr);
    Ref out(ids ? pair_scores(ids.get(), row.get()) : nullptr);
    if (!out) return swallow() ? PyDict_New() : nullptr;
    return out.release();
}

// --------------------------------------------------------------- embeddings

int embedding_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"model_name_or_path", nullptr};
    PyObject* name = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__init__", const_cast<char**>(kw), &name))
        return -1;
    Ref empty(PyList_New(0));
    if (!empty || !set_attr(self, "available", Py_False) || !set_attr(self, "model", Py_None) ||
        !set_attr(self, "doc_ids", empty.get()) || !set_attr(self, "embeddings", Py_None) ||
        !set_attr(self, "model_name_or_path", name))
        return -1;
    int present = aw::is_present(name);
    if (present <= 0) return present;
    Ref cls(import_attr("sentence_transformers", "SentenceTransformer"));
    Ref model(cls ? PyObject_CallOneArg(cls.get(), name) : nullptr);
    if (!model && PyErr_ExceptionMatches(PyExc_Exception))
        aw::log_at_exc(aw::LOG_WARNING, "embedding model %R could not be loaded; no embedding similarity", name);
    if (!model) return swallow() ? 0 : -1;
    return set_attr(self, "model", model.get()) && set_attr(self, "available", Py_True) ? 0 : -1;
}

// numpy.concatenate([piece @ q for piece in pieces])
PyObject* pieces_product(PyObject* pieces, PyObject* q) {
    const Py_ssize_t k = PyList_GET_SIZE(pieces);
    Ref parts(PyList_New(k));
    if (!parts) return nullptr;
    for (Py_ssize_t i = 0; i < k; ++i) {
        PyObject* r = PyNumber_MatrixMultiply(PyList_GET_ITEM(pieces, i), q);
        if (!r) return nullptr;
        PyList_SET_ITEM(parts.get(), i, r);
    }
    Ref concatenate(import_attr("numpy", "concatenate"));
    return concatenate ? PyObject_CallOneArg(concatenate.get(), parts.get()) : nullptr;
}

// Whether two arrays hold the same bytes.
int same_bytes(PyObject* a, PyObject* b) {
    Ref x(PyObject_CallMethod(a, "tobytes", nullptr));
    Ref y(x ? PyObject_CallMethod(b, "tobytes", nullptr) : nullptr);
    return y ? PyObject_RichCompareBool(x.get(), y.get(), Py_EQ) : -1;
}

// The rows a matrix-vector product gives each of t threads (the library's
// rule: an even share, at least 4 rows).
std::vector<std::pair<Py_ssize_t, Py_ssize_t>> thread_split(Py_ssize_t n, int t) {
    std::vector<std::pair<Py_ssize_t, Py_ssize_t>> parts;
    for (Py_ssize_t start = 0, left = n, k = 0; left > 0; ++k) {
        const Py_ssize_t share = t - k > 0 ? t - k : 1;
        Py_ssize_t width = std::min(left, std::max<Py_ssize_t>(4, (left + share - 1) / share));
        parts.emplace_back(start, start + width);
        start += width;
        left -= width;
    }
    return parts;
}

// Row views of emb in pieces of `rows` rows within each thread's share, the
// last of a share taking its leftover rows (a single row would be a dot
// product, summed otherwise).
PyObject* split_views(PyObject* emb, const std::vector<std::pair<Py_ssize_t, Py_ssize_t>>& parts, Py_ssize_t rows) {
    Ref views(PyList_New(0));
    if (!views) return nullptr;
    for (const auto& [a, b] : parts)
        for (Py_ssize_t s = a, e; s < b; s = e) {
            e = b - (s + rows) < 4 ? b : s + rows;
            Ref lo(PyLong_FromSsize_t(s)), hi(PyLong_FromSsize_t(e));
            Ref slice(lo && hi ? PySlice_New(lo.get(), hi.get(), nullptr) : nullptr);
            Ref view(slice ? PyObject_GetItem(emb, slice.get()) : nullptr);
            if (!view || PyList_Append(views.get(), view.get()) < 0) return nullptr;
        }
    return views.release();
}

// quiet: no progress bar (the vectors are the same either way).
PyObject* encode(PyObject* model, PyObject* texts, bool quiet = false) {
    Ref meth(PyObject_GetAttrString(model, "encode"));
    Ref args(meth ? PyTuple_Pack(1, texts) : nullptr);
    Ref kwds(args ? (quiet ? Py_BuildValue("{s:O,s:O}", "normalize_embeddings", Py_True, "show_progress_bar", Py_False)
                           : Py_BuildValue("{s:O}", "normalize_embeddings", Py_True))
                  : nullptr);
    return kwds ? PyObject_Call(meth.get(), args.get(), kwds.get()) : nullptr;
}

PyObject* embedding_build(PyObject* self, PyObject* docs) {
    if (!check_docs(docs)) return nullptr;
    int skip = unusable(self, "model", nullptr);
    if (skip) return skip < 0 ? nullptr : Py_NewRef(Py_None);
    Ref texts(take_docs(self, docs));
    if (texts && PyList_GET_SIZE(texts.get()) == 0) Py_RETURN_NONE;
    Ref model(texts ? PyObject_GetAttrString(self, "model") : nullptr);
    Ref emb(model ? encode(model.get(), texts.get()) : nullptr);
    if (!emb || !set_attr(self, "embeddings", emb.get())) return nullptr;
    Py_RETURN_NONE;
}

// The product's rows as the BLAS library splits them among its threads, each
// piece below the size it runs on threads at: the same bits as the whole
// product, and no library threads woken to spin through the next encoding.
PyObject* split_rows(const SplitProduct& split, PyObject* emb, PyObject* q) {
    Ref dtype(PyObject_GetAttrString(q, "dtype"));
    Ref emb_dtype(dtype ? PyObject_GetAttrString(emb, "dtype") : nullptr);
    Ref shape(emb_dtype ? PyObject_GetAttrString(q, "shape") : nullptr);
    if (!shape) return nullptr;
    // only for the vectors the split was checked with: a row of the same type
    int same = PyObject_RichCompareBool(dtype.get(), emb_dtype.get(), Py_EQ);
    if (same == 1)
        same = PyTuple_CheckExact(shape.get()) && PyTuple_GET_SIZE(shape.get()) == 1
                   ? PyObject_RichCompareBool(PyTuple_GET_ITEM(shape.get(), 0), split.dim.get(), Py_EQ)
                   : 0;
    if (same < 0) return nullptr;
    return same ? pieces_product(split.pieces.get(), q) : PyNumber_MatrixMultiply(emb, q);
}

PyObject* embedding_row(PyObject* self, PyObject* question, const SplitProduct* split = nullptr) {
    int skip = unusable(self, "model", "embeddings");
    if (skip) return skip < 0 ? nullptr : Py_NewRef(Py_None);
    Ref model(PyObject_GetAttrString(self, "model"));
    Ref qlist(model ? PyList_New(1) : nullptr);
    if (qlist) PyList_SET_ITEM(qlist.get(), 0, Py_NewRef(question));
    Ref qemb(qlist ? encode(model.get(), qlist.get()) : nullptr);
    Ref zero(qemb ? PyLong_FromLong(0) : nullptr);
    Ref q(zero ? PyObject_GetItem(qemb.get(), zero.get()) : nullptr);
    Ref emb(q ? PyObject_GetAttrString(self, "embeddings") : nullptr);
    if (emb && split && split->of.get() == emb.get() && Py_TYPE(q.get()) == Py_TYPE(emb.get()))
        return split_rows(*split, emb.get(), q.get());
    return emb ? PyNumber_MatrixMultiply(emb.get(), q.get()) : nullptr;
}

PyObject* embedding_score(PyObject* self, PyObject* question) {
    if (!check_question(question)) return nullptr;
    Ref sims(embedding_row(self, question));
    if (sims && sims.get() == Py_None) return PyDict_New();
    Ref ids(sims ? PyObject_GetAttrString(self, "doc_ids") : nullptr);
    Ref out(ids ? pair_scores(ids.get(), sims.get()) : nullptr);
    if (!out) return swallow() ? PyDict_New() : nullptr;
    return out.release();
}

// Bound-method adapters: the class is a plain Python class whose methods
// receive the instance as their first positional argument.
PyObject* call_init(initproc init, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) < 1) {
        PyErr_SetString(PyExc_TypeError, "__init__() needs an instance");
        return nullptr;
    }
    Ref rest(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
    if (!rest || init(PyTuple_GET_ITEM(args, 0), rest.get(), kwargs) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* call_one(PyObject* (*fn)(PyObject*, PyObject*), const char* name, PyObject* args, PyObject* kwargs,
                   const char* arg) {
    static const char* kw1[] = {"self", "doc_text_by_id", nullptr};
    static const char* kw2[] = {"self", "question", nullptr};
    const char** kw = std::strcmp(arg, "question") == 0 ? kw2 : kw1;
    PyObject *self, *value;
    std::string fmt = std::string("OO:") + name;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, fmt.c_str(), const_cast<char**>(kw), &self, &value))
        return nullptr;
    return fn(self, value);
}

PyObject* py_tfidf_init(PyObject*, PyObject* a, PyObject* k) { return call_init(tfidf_init, a, k); }
PyObject* py_tfidf_build(PyObject*, PyObject* a, PyObject* k) { return call_one(tfidf_build, "build", a, k, "doc_text_by_id"); }
PyObject* py_tfidf_score(PyObject*, PyObject* a, PyObject* k) { return call_one(tfidf_score, "score", a, k, "question"); }
PyObject* py_emb_init(PyObject*, PyObject* a, PyObject* k) { return call_init(embedding_init, a, k); }
PyObject* py_emb_build(PyObject*, PyObject* a, PyObject* k) { return call_one(embedding_build, "build", a, k, "doc_text_by_id"); }
PyObject* py_emb_score(PyObject*, PyObject* a, PyObject* k) { return call_one(embedding_score, "score", a, k, "question"); }


PyMethodDef tfidf_methods[] = {
    {"__init__", AW_KW(py_tfidf_init), "__init__($self, /)\n--\n\n"},
    {"build", AW_KW(py_tfidf_build),
     "build($self, /, doc_text_by_id)\n--\n\n"
     "Fit the vectorizer on the documents.\n"
     "\n"
     "Does nothing when the backend is unavailable or there are no\n"
     "documents. Errors raised while fitting propagate.\n"
     "\n"
     "Raises:\n"
     "    TypeError: doc_text_by_id is not a dict."},
    {"score", AW_KW(py_tfidf_score),
     "score($self, /, question)\n--\n\n"
     "Cosine similarity of the question to every document.\n"
     "\n"
     "Returns:\n"
     "    Document id to similarity, in document order; {} when the backend\n"
     "    is unavailable, not built, or scoring fails.\n"
     "\n"
     "Raises:\n"
     "    TypeError: question is not a str."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef embedding_methods[] = {
    {"__init__", AW_KW(py_emb_init), "__init__($self, /, model_name_or_path=None)\n--\n\n"},
    {"build", AW_KW(py_emb_build),
     "build($self, /, doc_text_by_id)\n--\n\n"
     "Encode every document.\n"
     "\n"
     "Does nothing when the backend is unavailable or there are no\n"
     "documents. Errors raised while encoding propagate.\n"
     "\n"
     "Raises:\n"
     "    TypeError: doc_text_by_id is not a dict."},
    {"score", AW_KW(py_emb_score),
     "score($self, /, question)\n--\n\n"
     "Dot product of the question's embedding with every document's.\n"
     "\n"
     "Returns:\n"
     "    Document id to similarity (the cosine: embeddings are normalized),\n"
     "    in document order; {} when unavailable, not built, or scoring\n"
     "    fails.\n"
     "\n"
     "Raises:\n"
     "    TypeError: question is not a str."},
    {nullptr, nullptr, 0, nullptr}};

// type(name, (object,), namespace) with the functions above as methods.
PyObject* make_backend_type(PyObject* module, const char* name, const char* doc, PyMethodDef* methods) {
    Ref ns(PyDict_New());
    Ref modname(ns ? PyUnicode_FromString("askweave.schemasift") : nullptr);
    Ref docstr(modname ? PyUnicode_FromString(doc) : nullptr);
    if (!docstr || PyDict_SetItemString(ns.get(), "__module__", modname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", docstr.get()) < 0)
        return nullptr;
    for (PyMethodDef* m = methods; m->ml_name; ++m) {
        Ref fn(PyCFunction_NewEx(m, nullptr, modname.get()));
        Ref bound(fn ? PyInstanceMethod_New(fn.get()) : nullptr);
        if (!bound || PyDict_SetItemString(ns.get(), m->ml_name, bound.get()) < 0) return nullptr;
    }
    Ref type(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", name,
                                   reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns.get()));
    if (!type || PyModule_AddObjectRef(module, name, type.get()) < 0) return nullptr;
    return type.get();
}

}  // namespace

PyObject* TfidfBackendType;
PyObject* EmbeddingBackendType;

PyObject* backend_similarities(PyObject* backend, PyObject* question, bool embedding, const SplitProduct* split) {
    Ref row(embedding ? embedding_row(backend, question, split) : tfidf_row(backend, question));
    if (!row) return swallow() ? PyList_New(0) : nullptr;
    if (row.get() == Py_None) return PyList_New(0);
    if (PyList_CheckExact(row.get())) return row.release();
    // floats as pair_scores takes them: the array's own list, else float() of each
    Ref tolist(PyObject_GetAttrString(row.get(), "tolist"));
    Ref plain(tolist ? PyObject_CallNoArgs(tolist.get()) : nullptr);
    if (plain && PyList_CheckExact(plain.get())) return plain.release();
    PyErr_Clear();
    Ref list(aw::private_list(row.get()));  // ours alone while float() runs the values' code
    if (!list) return swallow() ? PyList_New(0) : nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        PyObject* f = PyNumber_Float(PyList_GET_ITEM(list.get(), i));
        if (!f || PyList_SetItem(list.get(), i, f) < 0) return swallow() ? PyList_New(0) : nullptr;
    }
    return aw::tracked(list.release());
}

bool plan_split_product(PyObject* backend, SplitProduct& split) {
    split = SplitProduct();
    auto no_split = [] { return swallow(); };
    Ref emb(PyObject_GetAttrString(backend, "embeddings"));
    Ref ndarray(emb ? import_attr("numpy", "ndarray") : nullptr);
    if (!ndarray) return no_split();
    if (Py_TYPE(emb.get()) != reinterpret_cast<PyTypeObject*>(ndarray.get())) return true;
    Ref shape(PyObject_GetAttrString(emb.get(), "shape"));
    if (!shape) return no_split();
    if (!PyTuple_CheckExact(shape.get()) || PyTuple_GET_SIZE(shape.get()) != 2) return true;
    const Py_ssize_t n = PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), 0));
    const Py_ssize_t dim = PyLong_AsSsize_t(PyTuple_GET_ITEM(shape.get(), 1));
    if (PyErr_Occurred()) return no_split();
    // Rows of a piece: a multiple of the kernels' 4 rows, with room for a
    // share's leftover, below the size from which the library uses its
    // threads (4 x 115,200 elements; 4 x 2,304 in older releases). None
    // fits: one thread does the whole product anyway.
    std::vector<Py_ssize_t> sizes;
    for (Py_ssize_t below : {Py_ssize_t(4) * 115200, Py_ssize_t(4) * 2304}) {
        const Py_ssize_t rows = dim > 0 ? (((below - 1) / dim) & ~Py_ssize_t(3)) - 4 : 0;
        if (rows >= 4 && n > rows) sizes.push_back(rows);
    }
    if (sizes.empty()) return true;
    // Checked on three of its own rows: the library's split for some thread
    // count gives the whole product's bits, or the whole product is used.
    Ref probes[3], whole[3];
    const Py_ssize_t at[3] = {0, n / 2, n - 1};
    for (int i = 0; i < 3; ++i) {
        probes[i] = Ref(PySequence_GetItem(emb.get(), at[i]));
        whole[i] = Ref(probes[i] ? PyNumber_MatrixMultiply(emb.get(), probes[i].get()) : nullptr);
        if (!whole[i]) return no_split();
    }
    for (Py_ssize_t rows : sizes) {
        std::vector<std::pair<Py_ssize_t, Py_ssize_t>> tried;
        for (int t = 1; t <= 64; ++t) {
            auto parts = thread_split(n, t);
            if (parts == tried) continue;
            tried = parts;
            Ref pieces(split_views(emb.get(), parts, rows));
            if (!pieces) return no_split();
            int same = 1;
            for (int i = 0; i < 3 && same == 1; ++i) {
                Ref got(pieces_product(pieces.get(), probes[i].get()));
                same = got ? same_bytes(got.get(), whole[i].get()) : -1;
            }
            if (same < 0) return no_split();
            if (same) {
                aw::log_at(aw::LOG_DEBUG,
                           "CatalogIndex: the embedding product runs in %zd pieces (the split of %d threads)",
                           PyList_GET_SIZE(pieces.get()), t);
                split.of = std::move(emb);
                split.pieces = std::move(pieces);
                split.dim = Ref::borrow(PyTuple_GET_ITEM(shape.get(), 1));
                return true;
            }
        }
    }
    aw::log_at(aw::LOG_DEBUG, "CatalogIndex: the embedding product is not split (no thread split gives its bits)");
    return true;
}

bool embedding_build_quiet(PyObject* backend, PyObject* docs) {
    int skip = unusable(backend, "model", nullptr);
    if (skip) return skip > 0;
    Ref texts(take_docs(backend, docs));
    if (texts && PyList_GET_SIZE(texts.get()) == 0) return true;
    Ref model(texts ? PyObject_GetAttrString(backend, "model") : nullptr);
    Ref emb(model ? encode(model.get(), texts.get(), true) : nullptr);
    return emb && set_attr(backend, "embeddings", emb.get());
}

bool init_vector(PyObject* module) {
    TfidfBackendType = make_backend_type(
        module, "OptionalTfidfBackend",
        "TF-IDF similarity through scikit-learn, when it can be imported.\n"
        "\n"
        "Built by SchemaSift for each select() call that uses TF-IDF. When\n"
        "scikit-learn cannot be imported or the vectorizer cannot be made,\n"
        "available stays False and score() returns {}.\n"
        "\n"
        "Attributes:\n"
        "    available: Whether the vectorizer could be created.\n"
        "    vectorizer: The TfidfVectorizer (word unigrams and bigrams), or None.\n"
        "    matrix: The document-term matrix after build(), or None.\n"
        "    doc_ids: Document ids in matrix row order.",
        tfidf_methods);
    EmbeddingBackendType = make_backend_type(
        module, "OptionalEmbeddingBackend",
        "Sentence-embedding similarity through sentence-transformers, when a model can be loaded.\n"
        "\n"
        "The model is loaded once, in the constructor, by name or path\n"
        "(OptionalEmbeddingBackend(model_name_or_path=None)); without a\n"
        "name, or when sentence-transformers cannot be imported or the model\n"
        "cannot be loaded (logged as a warning on \"askweave\"), available stays\n"
        "False and score() returns {}.\n"
        "\n"
        "Attributes:\n"
        "    available: Whether the model could be loaded.\n"
        "    model: The SentenceTransformer, or None.\n"
        "    doc_ids: Document ids in embedding row order.\n"
        "    embeddings: The document embeddings after build(), or None.\n"
        "    model_name_or_path: The model asked for.",
        embedding_methods);
    return TfidfBackendType && EmbeddingBackendType;
}

}  // namespace sift
