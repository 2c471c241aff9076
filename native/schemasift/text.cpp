// Text utilities: identifier splitting, tokenization, flattening, token
// estimates, stable hashing and forgiving number conversion.
#include "schemasift/schemasift.hpp"

#include "common/json.hpp"
#include "common/pytext.hpp"
#include "core/sha256.hpp"
#include "core/unicode.hpp"

#include <cmath>

namespace sift {
using aw::Ref;

namespace {
const char* const kDefaultStopwords[] = {
    "a", "an", "the", "and", "or", "of", "for", "to", "by", "in", "on", "at", "from",
    "with", "without", "show", "give", "get", "find", "list", "display", "me", "all", "data",
    "records", "record", "table", "tables", "column", "columns", "wise", "based", "using", "as",
    "per", "each", "every", "details", "detail"};


bool flatten(PyObject* v, std::string& out);

bool flatten_items(PyObject* iterable, std::string& out) {
    Ref it(PyObject_GetIter(iterable));
    if (!it) return false;
    bool first = true;
    while (PyObject* item = PyIter_Next(it.get())) {
        Ref hold(item);
        if (!first) out.push_back(' ');
        first = false;
        if (!flatten(item, out)) return false;
    }
    return !PyErr_Occurred();
}

bool flatten(PyObject* v, std::string& out) {
    if (v == Py_None) return true;
    if (PyList_Check(v) || PyTuple_Check(v) || PyAnySet_Check(v)) {
        aw::RecursionGuard guard(" while flattening text");
        return guard.ok() && flatten_items(v, out);
    }
    if (PyDict_Check(v)) {
        aw::RecursionGuard guard(" while flattening text");
        if (!guard.ok()) return false;
        Ref items(PyMapping_Items(v));
        if (!items) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
            PyObject* pair = PyList_GET_ITEM(items.get(), i);
            if (i) out.push_back(' ');
            if (!aw::append_plain_text(out, PyTuple_GET_ITEM(pair, 0))) return false;
            out.push_back(' ');
            if (!flatten(PyTuple_GET_ITEM(pair, 1), out)) return false;
        }
        return true;
    }
    if (PyUnicode_Check(v)) { aw::append_str(out, v); return true; }
    return aw::append_plain_text(out, v);
}

PyObject* make_list(const std::vector<std::string_view>& tokens) {
    Ref list(PyList_New(static_cast<Py_ssize_t>(tokens.size())));
    if (!list) return nullptr;
    for (size_t i = 0; i < tokens.size(); ++i) {
        PyObject* s = aw::new_str(tokens[i]);
        if (!s) return nullptr;
        PyList_SET_ITEM(list.get(), i, s);
    }
    return list.release();
}

PyObject* py_split_identifier(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"value", nullptr};
    PyObject* value;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:_split_identifier", const_cast<char**>(kw), &value))
        return nullptr;
    if (!require_str(value, "_split_identifier", "value")) return nullptr;
    TextView tv(value);
    std::string out;
    aw::split_identifier_append(tv.view, out);
    return aw::new_str(out);
}

PyObject* py_tokenize(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"text", "stopwords", nullptr};
    PyObject *text, *stopwords = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:tokenize", const_cast<char**>(kw), &text, &stopwords))
        return nullptr;
    if (!require_str(text, "tokenize", "text")) return nullptr;
    if (stopwords != Py_None && !PyAnySet_Check(stopwords)) {
        PyErr_Format(PyExc_TypeError, "tokenize() argument 'stopwords' must be a set or None, not %.200s",
                     Py_TYPE(stopwords)->tp_name);
        return nullptr;
    }
    if (PyUnicode_GET_LENGTH(text) == 0) return PyList_New(0);
    aw::WordSet custom;
    const aw::WordSet* stop = &default_stopwords();
    if (stopwords != Py_None) {
        if (!aw::load_words(stopwords, custom)) return nullptr;
        stop = &custom;
    }
    TextView tv(text);
    std::string buf;
    std::vector<std::string_view> tokens;
    aw::tokenize(tv.view, stop, buf, tokens);
    return make_list(tokens);
}

PyObject* py_normalize_text(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"text", nullptr};
    PyObject* text;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:normalize_text", const_cast<char**>(kw), &text))
        return nullptr;
    if (PyUnicode_CheckExact(text)) return Py_NewRef(text);
    std::string out;
    if (!flatten(text, out)) return nullptr;
    return aw::new_str(out);
}

}  // namespace

namespace {

PyObject* py_estimate_tokens(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"text", "chars_per_token", nullptr};
    PyObject* text;
    PyObject* cpt = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:estimate_tokens", const_cast<char**>(kw), &text, &cpt))
        return nullptr;
    if (!require_str(text, "estimate_tokens", "text")) return nullptr;
    return aw::estimate_tokens_for(PyUnicode_GET_LENGTH(text), cpt);
}

PyObject* py_stable_hash(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"value", nullptr};
    PyObject* value;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:stable_hash", const_cast<char**>(kw), &value))
        return nullptr;
    aw::JsonOptions opt;
    opt.sort_keys = true;
    opt.ensure_ascii = false;
    opt.default_str = true;
    std::string json;
    if (!aw::json_write(json, value, opt)) return nullptr;
    return hash_json(json);
}

// json.dumps with the settings the module uses; exposed for tests and tools.
PyObject* py_json_dumps(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"value", "ensure_ascii", "sort_keys", "indent", "default_str", nullptr};
    PyObject* value;
    int ensure_ascii = 1, sort_keys = 0, default_str = 0;
    PyObject* indent = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$ppOp:_json_dumps", const_cast<char**>(kw), &value,
                                     &ensure_ascii, &sort_keys, &indent, &default_str))
        return nullptr;
    aw::JsonOptions opt;
    opt.ensure_ascii = ensure_ascii;
    opt.sort_keys = sort_keys;
    opt.default_str = default_str;
    if (indent != Py_None) {
        long n = PyLong_AsLong(indent);
        if (n == -1 && PyErr_Occurred()) return nullptr;
        opt.indent = n < 0 ? 0 : static_cast<int>(n > 64 ? 64 : n);
    }
    std::string out;
    if (!aw::json_write(out, value, opt)) return nullptr;
    return aw::new_str(out);
}

PyObject* py_safe_float(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* kw[] = {"value", "default", nullptr};
    PyObject* value;
    PyObject* dflt = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:safe_float", const_cast<char**>(kw), &value, &dflt))
        return nullptr;
    if (dflt && !PyFloat_Check(dflt) && !PyLong_Check(dflt)) {
        PyErr_Format(PyExc_TypeError, "safe_float() argument 'default' must be a number, not %.200s",
                     Py_TYPE(dflt)->tp_name);
        return nullptr;
    }
    auto fallback = [&]() -> PyObject* { return dflt ? Py_NewRef(dflt) : PyFloat_FromDouble(0.0); };
    if (value == Py_None) return fallback();
    if (PyFloat_CheckExact(value)) return Py_NewRef(value);
    PyObject* r = PyNumber_Float(value);
    if (r) return r;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    PyErr_Clear();
    return fallback();
}

}  // namespace

PyObject* hash_json(std::string_view json) {
    // Lone surrogates are hashed by their 3-byte form (surrogatepass).
    if (json.size() < (1u << 20)) return aw::new_str(std::string_view(aw::sha256_hex(json)).substr(0, 16));
    // Large texts: the host's hashlib, faster on long inputs, reading our
    // buffer in place (and letting other threads run while it hashes).
    static PyObject* sha256 = nullptr;
    if (!sha256) {
        Ref hashlib(PyImport_ImportModule("hashlib"));
        sha256 = hashlib ? PyObject_GetAttrString(hashlib.get(), "sha256") : nullptr;
        if (!sha256) return nullptr;
    }
    Ref view(PyMemoryView_FromMemory(const_cast<char*>(json.data()), static_cast<Py_ssize_t>(json.size()), PyBUF_READ));
    Ref h(view ? PyObject_CallOneArg(sha256, view.get()) : nullptr);
    Ref hex(h ? PyObject_CallMethod(h.get(), "hexdigest", nullptr) : nullptr);
    return hex ? PyUnicode_Substring(hex.get(), 0, 16) : nullptr;
}

const aw::WordSet& default_stopwords() {
    static const aw::WordSet* set = [] {
        auto* s = new aw::WordSet();  // lives as long as the module
        for (const char* w : kDefaultStopwords) s->add(w);
        return s;
    }();
    return *set;
}

PyMethodDef text_functions[] = {
    {"_split_identifier", AW_FN(py_split_identifier),
     METH_VARARGS | METH_KEYWORDS,
     "_split_identifier($module, /, value)\n--\n\n"
     "Split an identifier at '_', '-', '.' and camel-case capitals, then lowercase it."},
    {"tokenize", AW_FN(py_tokenize), METH_VARARGS | METH_KEYWORDS,
     "tokenize($module, /, text, *, stopwords=None)\n--\n\n"
     "Lower-case word tokens of text after identifier splitting, without stopwords.\n"
     "\n"
     "Identifiers are split at \"_\", \"-\", \".\" and before ASCII capitals; a token\n"
     "is a run of ASCII letters, digits and underscores. Duplicates are kept.\n"
     "\n"
     "Args:\n"
     "    text: The text; an empty text gives [].\n"
     "    stopwords: Lower-case words to drop instead of DEFAULT_STOPWORDS.\n"
     "\n"
     "Raises:\n"
     "    TypeError: text is not a str or stopwords is not a set."},
    {"normalize_text", AW_FN(py_normalize_text),
     METH_VARARGS | METH_KEYWORDS,
     "normalize_text($module, /, text)\n--\n\n"
     "Flatten any value (lists, tuples, sets, maps, scalars) to one space-joined text.\n"
     "\n"
     "None gives \"\"; a str is returned as it is; a list, tuple or set gives its\n"
     "elements, each flattened; a map gives its key's str(), a space and its\n"
     "flattened value per entry. The pieces are joined by single spaces; nothing\n"
     "is lowercased or trimmed. Any other value gives its str(), and an error\n"
     "raised by that str() propagates.\n"
     "\n"
     "Raises:\n"
     "    RecursionError: text contains itself."},
    {"estimate_tokens", AW_FN(py_estimate_tokens),
     METH_VARARGS | METH_KEYWORDS,
     "estimate_tokens($module, /, text, chars_per_token=4.0)\n--\n\n"
     "Rough token count: 0 for empty text, else max(1, ceil(len(text) / chars_per_token)).\n"
     "\n"
     "Args:\n"
     "    text: The text; its length is counted in code points.\n"
     "    chars_per_token: Characters per token, a real number. Default 4.0.\n"
     "\n"
     "Raises:\n"
     "    TypeError: text is not a str, or chars_per_token is not a real number.\n"
     "    ZeroDivisionError: chars_per_token is 0 and text is not empty.\n"
     "    ValueError: chars_per_token is NaN and text is not empty.\n"
     "    OverflowError: chars_per_token is so small that the count is infinite."},
    {"stable_hash", AW_FN(py_stable_hash),
     METH_VARARGS | METH_KEYWORDS,
     "stable_hash($module, /, value)\n--\n\n"
     "First 16 hex digits of the SHA-256 of value's sorted-key JSON text.\n"
     "\n"
     "Equal content gives the same hash whatever the insertion order; values\n"
     "JSON cannot represent are written as their str().\n"
     "\n"
     "Raises:\n"
     "    TypeError: the keys of one map cannot be ordered against each other.\n"
     "    ValueError: value refers to itself."},
    {"safe_float", AW_FN(py_safe_float),
     METH_VARARGS | METH_KEYWORDS,
     "safe_float($module, /, value, default=0.0)\n--\n\n"
     "float(value), or default when value is None or cannot be converted.\n"
     "\n"
     "Args:\n"
     "    value: Any value. A str is parsed as float() parses it (white space\n"
     "        around it, \"_\" between digits, \"nan\", \"inf\", \"infinity\"); an error\n"
     "        float() raises on value is never passed on.\n"
     "    default: Returned, as given, for None and for what float() rejects.\n"
     "        Default 0.0.\n"
     "\n"
     "Raises:\n"
     "    TypeError: default is not an int or a float."},
    {"_json_dumps", AW_FN(py_json_dumps),
     METH_VARARGS | METH_KEYWORDS,
     "_json_dumps($module, /, value, *, ensure_ascii=True, sort_keys=False, indent=None, default_str=False)\n--\n\n"
     "json.dumps(value, ensure_ascii=..., sort_keys=..., indent=..., default=str if default_str else None)."},
    {nullptr, nullptr, 0, nullptr},
};

bool init_text(PyObject* module) {
    Ref re(PyImport_ImportModule("re"));
    if (!re) return false;
    Ref word(PyObject_CallMethod(re.get(), "compile", "s", "[a-zA-Z0-9_]+"));
    Ref camel(PyObject_CallMethod(re.get(), "compile", "s", "(?<!^)(?=[A-Z])"));
    if (!word || !camel) return false;
    if (PyModule_AddObjectRef(module, "_WORD_RE", word.get()) < 0) return false;
    if (PyModule_AddObjectRef(module, "_CAMEL_RE", camel.get()) < 0) return false;
    Ref stop(PySet_New(nullptr));
    if (!stop) return false;
    for (const char* w : kDefaultStopwords) {
        Ref s(PyUnicode_FromString(w));
        if (!s || PySet_Add(stop.get(), s.get()) < 0) return false;
    }
    return PyModule_AddObjectRef(module, "DEFAULT_STOPWORDS", stop.get()) == 0;
}

}  // namespace sift
