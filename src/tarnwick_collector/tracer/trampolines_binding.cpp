// Putting a module's callables in place of the placeholder constants of its
// instrumented code, and remembering the source each bound code object
// came from.
//
// rewrite.py compiles a module with a placeholder string wherever a
// callable (a trampoline, a Slot, a slot's bind) goes, and keeps a plan of
// where they are: ((constant index, placeholder number), ...) for a code
// object itself and ((constant index, plan), ...) for its nested code that
// holds some. Binding follows the plan. A module read back from the cache
// was just unmarshalled, and no one else holds its constant tuples, so they
// are filled where they are; code just compiled is also written to the
// cache afterwards, so its bound code objects are new ones, made with
// code.replace.
//
// The source of each bound code object is kept in a table keyed by the
// object's address, with a weak reference telling a live entry from one
// whose code object has gone (and whose address may be taken again).
#include "trampolines_internal.hpp"

#include <unordered_map>

namespace tw_trampolines {

using tw::Ref;

namespace {

struct Origin {
    PyObject *code_ref;  // strong: weak reference to the code object
    PyObject *source;    // strong
};

std::unordered_map<PyObject *, Origin> origins;
size_t next_sweep = 4096;

// The object `ref` points to, compared without keeping it: whether it is
// still `code` (NULL: gone).
bool points_to(PyObject *ref, PyObject *code)
{
    PyObject *target = nullptr;
    if (PyWeakref_GetRef(ref, &target) < 0) {
        PyErr_Clear();
        return false;
    }
    Py_XDECREF(target);
    return target != nullptr && target == code;
}

void drop(Origin &o)
{
    Py_CLEAR(o.code_ref);
    Py_CLEAR(o.source);
}

// Forgets the entries whose code object has gone, once the table has
// doubled since the last time.
void sweep()
{
    if (origins.size() < next_sweep)
        return;
    for (auto it = origins.begin(); it != origins.end();) {
        if (!points_to(it->second.code_ref, it->first)) {
            drop(it->second);
            it = origins.erase(it);
        } else {
            ++it;
        }
    }
    next_sweep = origins.size() * 2 > 4096 ? origins.size() * 2 : 4096;
}

int remember(PyObject *code, PyObject *source)
{
    Ref ref = Ref::steal(PyWeakref_NewRef(code, nullptr));
    if (!ref)
        return -1;
    sweep();
    try {
        Origin &o = origins[code];
        drop(o);
        o.code_ref = ref.release();
        o.source = Py_NewRef(source);
    } catch (...) {
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

#if PY_VERSION_HEX >= 0x03090000
bool gc_tracked(PyObject *op)
{
    return PyObject_GC_IsTracked(op);
}
#else
bool gc_tracked(PyObject *op)
{
    return _PyObject_GC_IS_TRACKED(op);
}
#endif

// The (index, value) pairs of `pairs`, a tuple of 2-tuples whose first
// item is a constant index of `n` constants. false with an exception set
// when it is not that.
bool pair_at(PyObject *pairs, Py_ssize_t k, Py_ssize_t n, Py_ssize_t &index,
             PyObject *&value)
{
    PyObject *pair = PyTuple_GET_ITEM(pairs, k);
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
        PyErr_SetString(PyExc_ValueError, "a binding plan holds a non-pair");
        return false;
    }
    index = PyLong_AsSsize_t(PyTuple_GET_ITEM(pair, 0));
    if (index == -1 && PyErr_Occurred())
        return false;
    if (index < 0 || index >= n) {
        PyErr_SetString(PyExc_ValueError,
                        "a binding plan names a constant the code lacks");
        return false;
    }
    value = PyTuple_GET_ITEM(pair, 1);
    return true;
}

Ref bind(PyObject *code, PyObject *plan, PyObject *objects, PyObject *source,
         bool in_place)
{
    if (plan == Py_None)
        return Ref::borrow(code);
    if (!PyCode_Check(code) || !PyTuple_Check(plan) ||
        PyTuple_GET_SIZE(plan) != 2 ||
        !PyTuple_Check(PyTuple_GET_ITEM(plan, 0)) ||
        !PyTuple_Check(PyTuple_GET_ITEM(plan, 1))) {
        PyErr_SetString(PyExc_ValueError, "not a code object and its plan");
        return nullptr;
    }
    PyObject *here = PyTuple_GET_ITEM(plan, 0);
    PyObject *nested = PyTuple_GET_ITEM(plan, 1);
    PyObject *consts = reinterpret_cast<PyCodeObject *>(code)->co_consts;
    const Py_ssize_t n = PyTuple_GET_SIZE(consts);
    // The tuple is filled where it is only when the code object alone
    // holds it.
    const bool fill = in_place && Py_REFCNT(consts) == 1;
    Ref out;
    if (fill) {
        out = Ref::borrow(consts);
    } else {
        out = Ref::steal(PyTuple_New(n));
        if (!out)
            return nullptr;
        for (Py_ssize_t i = 0; i < n; i++)
            PyTuple_SET_ITEM(out.get(), i,
                             Py_NewRef(PyTuple_GET_ITEM(consts, i)));
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(here); k++) {
        Py_ssize_t i;
        PyObject *number;
        if (!pair_at(here, k, n, i, number))
            return nullptr;
        const Py_ssize_t at = PyLong_AsSsize_t(number);
        if (at == -1 && PyErr_Occurred())
            return nullptr;
        if (at < 0 || at >= PyList_GET_SIZE(objects)) {
            PyErr_SetString(PyExc_ValueError,
                            "a binding plan names a placeholder not given");
            return nullptr;
        }
        PyObject *old = PyTuple_GET_ITEM(out.get(), i);
        PyTuple_SET_ITEM(out.get(), i,
                         Py_NewRef(PyList_GET_ITEM(objects, at)));
        Py_DECREF(old);
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(nested); k++) {
        Py_ssize_t i;
        PyObject *inner;
        if (!pair_at(nested, k, n, i, inner))
            return nullptr;
        Ref sub = Ref::borrow(PyTuple_GET_ITEM(out.get(), i));
        Ref bound = bind(sub.get(), inner, objects, source, in_place);
        if (!bound)
            return nullptr;
        if (bound.get() != sub.get()) {
            PyObject *old = PyTuple_GET_ITEM(out.get(), i);
            PyTuple_SET_ITEM(out.get(), i, bound.release());
            Py_DECREF(old);
        }
    }
    Ref result;
    if (fill) {
        // Atoms only, it may have been left out of the collector's
        // tracking; the callables now in it take part in cycles.
        if (!gc_tracked(out.get()))
            PyObject_GC_Track(out.get());
        result = Ref::borrow(code);
    } else {
        Ref replace = tw::getattr(code, TW_STR("replace"));
        if (!replace)
            return nullptr;
        Ref kw = Ref::steal(PyDict_New());
        if (!kw || PyDict_SetItemString(kw.get(), "co_consts", out.get()) < 0)
            return nullptr;
        Ref empty = Ref::steal(PyTuple_New(0));
        if (!empty)
            return nullptr;
        result =
            Ref::steal(PyObject_Call(replace.get(), empty.get(), kw.get()));
        if (!result)
            return nullptr;
    }
    if (remember(result.get(), source) < 0)
        return nullptr;
    return result;
}

}  // namespace

PyObject *mod_bind_code(TW_FASTCALL_ARGS(mod))
{
    (void)mod;
    static const tw::Param params[] = {
        {"code"}, {"plan"}, {"objects"}, {"source"}, {"in_place"}};
    static const tw::ParamNames<5> names(params);
    PyObject *a[5];
    if (tw::parse("bind_code", params, names, args, nargs, kwnames, a) < 0)
        return nullptr;
    if (!PyList_Check(a[2])) {
        PyErr_SetString(PyExc_TypeError, "objects must be a list");
        return nullptr;
    }
    const int in_place = PyObject_IsTrue(a[4]);
    if (in_place < 0)
        return nullptr;
    return bind(a[0], a[1], a[2], a[3], in_place != 0).release();
}

PyObject *mod_code_source(PyObject *, PyObject *code)
{
    auto it = origins.find(code);
    if (it == origins.end() || !points_to(it->second.code_ref, code))
        Py_RETURN_NONE;
    return Py_NewRef(it->second.source);
}

}  // namespace tw_trampolines
