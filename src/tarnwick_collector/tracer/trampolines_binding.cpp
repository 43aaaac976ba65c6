// Putting a module's callables in place of the placeholder constants of its
// instrumented code, and remembering the source each instrumented def came
// from.
//
// rewrite.py compiles a module with a placeholder string wherever a
// callable (a trampoline, a Slot, a slot's bind) goes, and keeps a plan of
// where they are, as bytes: unsigned LEB128 numbers, for a code object
// `n, (constant index, placeholder number) * n, m, (constant index, plan of
// that nested code) * m`. Bytes rather than nested tuples, because a
// module read back from the cache unmarshals its plan at every import: the
// tuples were more objects than the module's own code had.
//
// Binding follows the plan. A module read back from the cache was just
// unmarshalled, and no one else holds its constant tuples, so they are
// filled where they are; code just compiled is also written to the cache
// afterwards, so its bound code objects are new ones, made with
// code.replace.
//
// The source a def's code was bound with is kept by its Slot, which is one
// of that code's constants: the code object tells its source for as long as
// it lives, with no table of code objects and weak references to keep (a
// weak reference per code object was a good part of what an import from the
// cache allocated). Other code (a module or class body, a lambda, a
// comprehension) has no digest taken and is not remembered.
#include "trampolines_internal.hpp"

namespace tw_trampolines {

using tw::Ref;

namespace {

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

// Reads a plan's numbers; every read is checked against the end, as a
// cache entry may be damaged.
struct PlanReader {
    const unsigned char *at;
    const unsigned char *end;

    // The next number, or false with ValueError set when the plan ends
    // within it or it does not fit.
    bool next(Py_ssize_t &value)
    {
        size_t v = 0;
        for (int shift = 0; shift < 63; shift += 7) {
            if (at == end)
                break;
            const unsigned char b = *at++;
            v |= static_cast<size_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) {
                if (v > static_cast<size_t>(PY_SSIZE_T_MAX))
                    break;
                value = static_cast<Py_ssize_t>(v);
                return true;
            }
        }
        PyErr_SetString(PyExc_ValueError, "a binding plan is cut short");
        return false;
    }

    // The next number, which must be below `limit`.
    bool index(Py_ssize_t &value, Py_ssize_t limit, const char *what)
    {
        if (!next(value))
            return false;
        if (value >= limit) {
            PyErr_SetString(PyExc_ValueError, what);
            return false;
        }
        return true;
    }
};

Ref bind_node(PyObject *code, PlanReader &plan, PyObject *objects,
              PyObject *source, bool in_place)
{
    if (!PyCode_Check(code)) {
        PyErr_SetString(PyExc_ValueError,
                        "a binding plan names a constant that is not code");
        return nullptr;
    }
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
    static const char kNoConstant[] =
        "a binding plan names a constant the code lacks";
    Py_ssize_t count;
    if (!plan.next(count))
        return nullptr;
    for (Py_ssize_t k = 0; k < count; k++) {
        Py_ssize_t i, at;
        if (!plan.index(i, n, kNoConstant) ||
            !plan.index(at, PyList_GET_SIZE(objects),
                        "a binding plan names a placeholder not given"))
            return nullptr;
        PyObject *obj = PyList_GET_ITEM(objects, at);
        if (is_slot(obj))
            slot_set_source(obj, source);
        PyObject *old = PyTuple_GET_ITEM(out.get(), i);
        PyTuple_SET_ITEM(out.get(), i, Py_NewRef(obj));
        Py_DECREF(old);
    }
    if (!plan.next(count))
        return nullptr;
    for (Py_ssize_t k = 0; k < count; k++) {
        Py_ssize_t i;
        if (!plan.index(i, n, kNoConstant))
            return nullptr;
        Ref sub = Ref::borrow(PyTuple_GET_ITEM(out.get(), i));
        Ref bound = bind_node(sub.get(), plan, objects, source, in_place);
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
        // Only its code object refers to the tuple, and code objects are
        // not tracked by the collector, so no cycle the collector could
        // find goes through it: it is left out of the collector's
        // tracking, as the collector leaves a tuple of atoms, and does not
        // make every later collection visit it and the callables in it.
        if (gc_tracked(out.get()))
            PyObject_GC_UnTrack(out.get());
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
    return result;
}

Ref bind(PyObject *code, PyObject *plan, PyObject *objects, PyObject *source,
         bool in_place)
{
    if (plan == Py_None)
        return Ref::borrow(code);
    if (!PyCode_Check(code) || !PyBytes_Check(plan)) {
        PyErr_SetString(PyExc_ValueError, "not a code object and its plan");
        return nullptr;
    }
    const auto *start =
        reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(plan));
    PlanReader reader{start, start + PyBytes_GET_SIZE(plan)};
    Ref bound = bind_node(code, reader, objects, source, in_place);
    if (bound && reader.at != reader.end) {
        PyErr_SetString(PyExc_ValueError,
                        "a binding plan runs on past its code");
        return nullptr;
    }
    return bound;
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
    if (PyCode_Check(code)) {
        PyObject *consts = reinterpret_cast<PyCodeObject *>(code)->co_consts;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); i++) {
            PyObject *c = PyTuple_GET_ITEM(consts, i);
            if (is_slot(c) && slot_source(c) != nullptr)
                return Py_NewRef(slot_source(c));
        }
    }
    Py_RETURN_NONE;
}

}  // namespace tw_trampolines
