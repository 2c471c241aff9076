// dataclasses.asdict's conversion, natively, for any value: records and
// dataclass instances become maps, lists, tuples (named ones too) and maps
// are rebuilt with their own types, anything else is copy.deepcopy'd.
#pragma once
#include "common/py.hpp"

#include <vector>

namespace aw {

class AsDict {
public:
    // where: the tail of the RecursionError message for values nested too
    // deeply or containing themselves (the host recurses until its limit).
    explicit AsDict(const char* where) : where_(where) {}

    PyObject* convert(PyObject* v);
    // One of our records as a map in field order; the field at `skip` keeps
    // its place with None.
    PyObject* record(PyObject* rec, int skip = -1);

private:
    template <class F>
    PyObject* nested(PyObject* v, F&& f);
    PyObject* dataclass(PyObject* v);
    PyObject* rebuild(PyObject* v);

    const char* where_;
    // Containers on the current path, outermost first. Paths are short: a
    // scan costs less than a hash set, and the first few need no allocation.
    static constexpr size_t kInline = 16;
    PyObject* path_[kInline];
    std::vector<PyObject*> deep_path_;  // the path beyond kInline
    size_t depth_ = 0;
};

// copy.deepcopy(v); plain scalars are their own copies.
PyObject* deep_copy(PyObject* v);

}  // namespace aw
