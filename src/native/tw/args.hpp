// Argument parsing for METH_FASTCALL | METH_KEYWORDS functions.
//
// Parameters are positional-or-keyword, matched by name, with the
// interpreter's own messages for wrong counts and keywords. A parameter may
// carry an exact-type rule (str, tuple, dict, bytes, type): the argument
// must be an instance of exactly that type or None, otherwise
// TypeError "Argument '<name>' has incorrect type (expected <t>, got <u>)".
//
// For a function that becomes a method, name the receiver as the first
// parameter ("self"): counts then include it, as Python's messages do.
#pragma once

#include <cstring>
#include <string>

#include "ref.hpp"

namespace tw {

enum class Kind : unsigned char { Any, Str, Tuple, Dict, Bytes, Type };

struct Param {
    const char *name;
    Kind kind = Kind::Any;
    bool optional = false;  // absent optional arguments come back as NULL
};

// A parameter with a default (the caller substitutes its value for NULL).
constexpr Param opt(const char *name, Kind kind = Kind::Any)
{
    return Param{name, kind, true};
}

inline const char *kind_name(Kind k)
{
    switch (k) {
    case Kind::Str:
        return "str";
    case Kind::Tuple:
        return "tuple";
    case Kind::Dict:
        return "dict";
    case Kind::Bytes:
        return "bytes";
    case Kind::Type:
        return "type";
    default:
        return "object";
    }
}

inline PyTypeObject *kind_type(Kind k)
{
    switch (k) {
    case Kind::Str:
        return &PyUnicode_Type;
    case Kind::Tuple:
        return &PyTuple_Type;
    case Kind::Dict:
        return &PyDict_Type;
    case Kind::Bytes:
        return &PyBytes_Type;
    case Kind::Type:
        return &PyType_Type;
    default:
        return nullptr;
    }
}

// The exact-type rule on its own: 0 when `value` passes, -1 with TypeError.
inline int check_exact(PyObject *value, const char *param, Kind kind)
{
    PyTypeObject *t = kind_type(kind);
    if (t == nullptr || value == Py_None || Py_IS_TYPE(value, t))
        return 0;
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, "
                 "got %.200s)",
                 param, kind_name(kind), Py_TYPE(value)->tp_name);
    return -1;
}

namespace detail {

// The name the interpreter prints for a function: its qualified name from
// 3.10 on, its bare name before.
inline const char *display_name(const char *qualname)
{
#if PY_VERSION_HEX < 0x030A0000
    const char *dot = std::strrchr(qualname, '.');
    return dot ? dot + 1 : qualname;
#else
    return qualname;
#endif
}

inline void counted_error(const char *name, const char *bound,
                          Py_ssize_t expected, Py_ssize_t given)
{
    PyErr_Format(PyExc_TypeError,
                 "%.200s() takes %.8s %zd positional argument%.1s "
                 "(%zd given)",
                 name, bound, expected, expected == 1 ? "" : "s", given);
}

}  // namespace detail

// Parses `args`/`kwnames` (vectorcall form) against the `n` parameters
// `params`. On success `out[i]` holds the borrowed argument for params[i],
// or NULL for an absent optional one, and 0 is returned; on failure -1 with
// TypeError set. `qualname` is the function's qualified name, e.g.
// "FunctionCall.__init__".
//
// With `counted_name` set, wrong counts are reported in the compiled-module
// style that some of the package's functions keep, e.g.
// "__init__() takes exactly 3 positional arguments (4 given)" ("at most" /
// "at least" when some parameters are optional), a surplus before any
// keyword problem and a shortfall counting the arguments supplied in order
// before the first missing one.
inline int parse_n(const char *qualname, const Param *params, Py_ssize_t n,
                   PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                   PyObject **out, const char *counted_name = nullptr)
{
    const char *fname = detail::display_name(qualname);
    Py_ssize_t required = 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        out[i] = nullptr;
        if (!params[i].optional)
            required++;
    }
    if (counted_name != nullptr && nargs > n) {
        detail::counted_error(counted_name,
                              required < n ? "at most" : "exactly", n, nargs);
        return -1;
    }
    // Keyword problems are reported before a surplus of positional
    // arguments, in the interpreter's order.
    for (Py_ssize_t i = 0; i < nargs && i < n; i++)
        out[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; k++) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t found = -1;
            for (Py_ssize_t i = 0; i < n; i++) {
                if (PyUnicode_CompareWithASCIIString(key, params[i].name) ==
                    0) {
                    found = i;
                    break;
                }
            }
            if (found < 0) {
                PyErr_Format(PyExc_TypeError,
                             "%s() got an unexpected keyword argument '%S'",
                             fname, key);
                return -1;
            }
            if (out[found] != nullptr) {
                PyErr_Format(PyExc_TypeError,
                             "%s() got multiple values for argument '%s'",
                             fname, params[found].name);
                return -1;
            }
            out[found] = args[nargs + k];
        }
    }
    if (nargs > n) {
        if (required < n)
            PyErr_Format(PyExc_TypeError,
                         "%s() takes from %zd to %zd positional arguments "
                         "but %zd %s given",
                         fname, required, n, nargs,
                         nargs == 1 ? "was" : "were");
        else
            PyErr_Format(PyExc_TypeError,
                         "%s() takes %zd positional argument%s but %zd %s "
                         "given",
                         fname, n, n == 1 ? "" : "s", nargs,
                         nargs == 1 ? "was" : "were");
        return -1;
    }
    std::string names;
    int nmissing = 0;
    for (Py_ssize_t i = 0; i < n; i++) {
        if (out[i] != nullptr || params[i].optional)
            continue;
        if (counted_name != nullptr) {
            detail::counted_error(counted_name,
                                  required < n ? "at least" : "exactly",
                                  required, i);
            return -1;
        }
        nmissing++;
    }
    if (nmissing > 0) {
        int seen = 0;
        for (Py_ssize_t i = 0; i < n; i++) {
            if (out[i] != nullptr || params[i].optional)
                continue;
            if (seen > 0)
                names += nmissing == 2
                             ? " and "
                             : (seen == nmissing - 1 ? ", and " : ", ");
            names += '\'';
            names += params[i].name;
            names += '\'';
            seen++;
        }
        PyErr_Format(PyExc_TypeError,
                     "%s() missing %d required positional argument%s: %s",
                     fname, nmissing, nmissing == 1 ? "" : "s", names.c_str());
        return -1;
    }
    for (Py_ssize_t i = 0; i < n; i++)
        if (out[i] != nullptr &&
            check_exact(out[i], params[i].name, params[i].kind) < 0)
            return -1;
    return 0;
}

// The same for a parameter array whose size the compiler knows.
template <size_t N>
int parse(const char *qualname, const Param (&params)[N],
          PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
          PyObject *(&out)[N], const char *counted_name = nullptr)
{
    return parse_n(qualname, params, static_cast<Py_ssize_t>(N), args, nargs,
                   kwnames, out, counted_name);
}

// Interned copies of the names of a parameter array, made once per call
// site: `static const tw::ParamNames<N> names(params);`. A name that could
// not be made is NULL and simply never matches by identity.
template <size_t N> class ParamNames {
  public:
    explicit ParamNames(const Param (&params)[N])
    {
        for (size_t i = 0; i < N; i++) {
            v_[i] = PyUnicode_InternFromString(params[i].name);
            if (v_[i] == nullptr)
                PyErr_Clear();
        }
    }
    PyObject *operator[](size_t i) const { return v_[i]; }

  private:
    PyObject *v_[N];
};

// parse() for hot call sites: keyword names are first matched by identity
// with the interned parameter names (the interpreter interns the keyword
// names of calls written in source, and TW_NAMES makes interned ones too).
// A call this cannot settle at once (a keyword not matched by identity, a
// wrong count, a duplicate, a missing argument) goes through parse(), so
// the outcome and every message are parse()'s own.
template <size_t N>
int parse(const char *qualname, const Param (&params)[N],
          const ParamNames<N> &names, PyObject *const *args, Py_ssize_t nargs,
          PyObject *kwnames, PyObject *(&out)[N],
          const char *counted_name = nullptr)
{
    const Py_ssize_t n = static_cast<Py_ssize_t>(N);
    if (nargs > n)
        return parse(qualname, params, args, nargs, kwnames, out,
                     counted_name);
    for (Py_ssize_t i = 0; i < n; i++)
        out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; k++) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t found = -1;
            for (Py_ssize_t i = 0; i < n; i++) {
                if (names[static_cast<size_t>(i)] == key) {
                    found = i;
                    break;
                }
            }
            if (found < 0 || out[found] != nullptr)
                return parse(qualname, params, args, nargs, kwnames, out,
                             counted_name);
            out[found] = args[nargs + k];
        }
    }
    for (Py_ssize_t i = 0; i < n; i++)
        if (out[i] == nullptr && !params[i].optional)
            return parse(qualname, params, args, nargs, kwnames, out,
                         counted_name);
    for (Py_ssize_t i = 0; i < n; i++)
        if (out[i] != nullptr && params[i].kind != Kind::Any &&
            check_exact(out[i], params[i].name, params[i].kind) < 0)
            return -1;
    return 0;
}

}  // namespace tw

// Signature of a fastcall function as PyMethodDef wants it.
namespace tw {
using FastcallKw = PyObject *(*)(PyObject *, PyObject *const *, Py_ssize_t,
                                 PyObject *);
}
#define TW_FASTCALL(fn)                                                       \
    reinterpret_cast<PyCFunction>(                                            \
        reinterpret_cast<void (*)(void)>(static_cast<tw::FastcallKw>(fn)))
#define TW_FASTCALL_FLAGS (METH_FASTCALL | METH_KEYWORDS)
// The parameters of such a function, its first (the module, or the
// instance) named `self`.
#define TW_FASTCALL_ARGS(self)                                                \
    PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames
