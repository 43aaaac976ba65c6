// A recorded function's metadata is extracted at every call. For a plain
// function, its module name, full name, signature and code digest depend
// only on the function's module and qualified names, code, defaults,
// keyword-only defaults and annotations (their items too), and on its own
// namespace setting no signature; while each of these is the same object as
// when the parts were worked out, the parts are the same. They are then
// taken from here instead of calling the four functions again, provided the
// module still uses the functions it imported (a test may put others in).
//
// Entries are keyed by the function's address and hold strong references
// to what they were made from, never to the function: a function made
// later at the same address finds its entry only when it is made of the
// very same objects, in which case the parts are its own too.
#include "ostrelle_known.hpp"

#include <tsl/robin_map.h>

namespace ostrelle_known {

namespace {

// The module globals holding the working-out functions, and the functions
// they held when the module was imported (strong, for the process).
const char *const kMakers[] = {"get_function_module", "get_function_full_name",
                               "get_signature", "get_hash"};
constexpr int kNumMakers = 4;
PyObject *maker_names[kNumMakers] = {};  // interned, for the process
PyObject *originals[kNumMakers] = {};

struct Known {
    tw::Ref module, qualname, code, defaults, kwdefaults, annotations;
    tw::Ref items;  // the annotations' keys and values, in turn
    Parts parts;
};

// Kept for the process and never destroyed: its references must not be
// dropped after the interpreter has finalized.
tsl::robin_map<PyObject *, Known> &known =
    *new tsl::robin_map<PyObject *, Known>();

PyFunctionObject *as_function(PyObject *fn)
{
    return reinterpret_cast<PyFunctionObject *>(fn);
}

bool makers_in_place(PyObject *module)
{
    PyObject *globals = PyModule_GetDict(module);
    for (int i = 0; i < kNumMakers; i++) {
        PyObject *now = PyDict_GetItemWithError(globals, maker_names[i]);
        if (now == nullptr || now != originals[i]) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// The keys and values of `annotations` (a dict, or NULL) in turn; NULL
// with an exception when they cannot be taken.
tw::Ref annotation_items(PyObject *annotations)
{
    if (annotations == nullptr || !PyDict_Check(annotations))
        return tw::Ref::steal(PyTuple_New(0));
    const Py_ssize_t n = PyDict_GET_SIZE(annotations);
    tw::Ref items = tw::Ref::steal(PyTuple_New(2 * n));
    if (!items)
        return nullptr;
    Py_ssize_t pos = 0, at = 0;
    PyObject *key, *value;
    while (PyDict_Next(annotations, &pos, &key, &value) && at + 1 < 2 * n) {
        PyTuple_SET_ITEM(items.get(), at++, Py_NewRef(key));
        PyTuple_SET_ITEM(items.get(), at++, Py_NewRef(value));
    }
    return items;
}

void copy(Parts &to, const Parts &from)
{
    to.module_name = tw::Ref::borrow(from.module_name.get());
    to.full_name = tw::Ref::borrow(from.full_name.get());
    to.signature = tw::Ref::borrow(from.signature.get());
    to.code_hash = tw::Ref::borrow(from.code_hash.get());
}

bool same_items(PyObject *annotations, PyObject *items)
{
    const Py_ssize_t n = annotations != nullptr && PyDict_Check(annotations)
                             ? PyDict_GET_SIZE(annotations)
                             : 0;
    if (2 * n != PyTuple_GET_SIZE(items))
        return false;
    Py_ssize_t pos = 0, at = 0;
    PyObject *key, *value;
    while (n > 0 && PyDict_Next(annotations, &pos, &key, &value)) {
        if (PyTuple_GET_ITEM(items, at) != key ||
            PyTuple_GET_ITEM(items, at + 1) != value)
            return false;
        at += 2;
    }
    return true;
}

}  // namespace

int take_originals(PyObject *module)
{
    PyObject *globals = PyModule_GetDict(module);
    for (int i = 0; i < kNumMakers; i++) {
        if (maker_names[i] == nullptr &&
            (maker_names[i] = PyUnicode_InternFromString(kMakers[i])) ==
                nullptr)
            return -1;
        PyObject *fn = PyDict_GetItemWithError(globals, maker_names[i]);
        if (fn == nullptr) {
            if (PyErr_Occurred())
                return -1;
            PyErr_Format(PyExc_ImportError, "%s was not imported", kMakers[i]);
            return -1;
        }
        Py_XSETREF(originals[i], Py_NewRef(fn));
    }
    return 0;
}

bool rememberable(PyObject *fn)
{
    if (!PyFunction_Check(fn))  // the type cannot be subclassed
        return false;
    PyObject *ns = as_function(fn)->func_dict;
    if (ns == nullptr)
        return true;
    if (!PyDict_CheckExact(ns))
        return false;
    // What inspect would read before the function itself.
    if (PyDict_GET_SIZE(ns) == 0)
        return true;
    const bool own =
        PyDict_GetItemWithError(ns, TW_STR("__signature__")) != nullptr ||
        PyDict_GetItemWithError(ns, TW_STR("_partialmethod")) != nullptr;
    PyErr_Clear();
    return !own;
}

bool recall(PyObject *module, PyObject *fn, Parts &out)
{
    if (!rememberable(fn))
        return false;
    auto it = known.find(fn);
    if (it == known.end())
        return false;
    const Known &k = it->second;
    PyFunctionObject *f = as_function(fn);
    if (k.module.get() != f->func_module ||
        k.qualname.get() != f->func_qualname || k.code.get() != f->func_code ||
        k.defaults.get() != f->func_defaults ||
        k.kwdefaults.get() != f->func_kwdefaults ||
        k.annotations.get() != f->func_annotations ||
        !same_items(f->func_annotations, k.items.get()) ||
        !makers_in_place(module))
        return false;
    copy(out, k.parts);
    return true;
}

int learn(PyObject *module, PyObject *fn, const Parts &parts)
{
    if (!rememberable(fn) || !makers_in_place(module))
        return 0;
    PyFunctionObject *f = as_function(fn);
    Known k;
    k.items = annotation_items(f->func_annotations);
    if (!k.items)
        return -1;
    k.module = tw::Ref::borrow(f->func_module);
    k.qualname = tw::Ref::borrow(f->func_qualname);
    k.code = tw::Ref::borrow(f->func_code);
    k.defaults = tw::Ref::borrow(f->func_defaults);
    k.kwdefaults = tw::Ref::borrow(f->func_kwdefaults);
    k.annotations = tw::Ref::borrow(f->func_annotations);
    copy(k.parts, parts);
    // The entry it replaces lets go of its references last: that may run
    // code, which may come back here.
    Known old;
    auto it = known.find(fn);
    if (it != known.end()) {
        old = std::move(it.value());
        it.value() = std::move(k);
    } else {
        known.emplace(fn, std::move(k));
    }
    return 0;
}

void forget(PyObject *fn)
{
    auto it = known.find(fn);
    if (it == known.end())
        return;
    // Its references go last: letting go of them may run code.
    Known gone = std::move(it.value());
    known.erase(it);
}

}  // namespace ostrelle_known
