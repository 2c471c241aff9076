// Optional vector backends: TF-IDF similarity (scikit-learn) and sentence
// embeddings (sentence-transformers), imported through the host at call time.
#include "schemasift/core.hpp"

#include "common/pytext.hpp"

#include <cstring>

namespace sift {
using aw::Ref;

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

PyObject* import_attr(const char* module, const char* name) {
    Ref m(PyImport_ImportModule(module));
    return m ? PyObject_GetAttrString(m.get(), name) : nullptr;
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

PyObject* embedding_row(PyObject* self, PyObject* question) {
    int skip = unusable(self, "model", "embeddings");
    if (skip) return skip < 0 ? nullptr : Py_NewRef(Py_None);
    Ref model(PyObject_GetAttrString(self, "model"));
    Ref qlist(model ? PyList_New(1) : nullptr);
    if (qlist) PyList_SET_ITEM(qlist.get(), 0, Py_NewRef(question));
    Ref qemb(qlist ? encode(model.get(), qlist.get()) : nullptr);
    Ref zero(qemb ? PyLong_FromLong(0) : nullptr);
    Ref q(zero ? PyObject_GetItem(qemb.get(), zero.get()) : nullptr);
    Ref emb(q ? PyObject_GetAttrString(self, "embeddings") : nullptr);
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

PyObject* backend_similarities(PyObject* backend, PyObject* question, bool embedding) {
    Ref row(embedding ? embedding_row(backend, question) : tfidf_row(backend, question));
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
