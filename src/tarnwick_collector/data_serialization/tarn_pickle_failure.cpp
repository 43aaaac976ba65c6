// What is written in place of an object that failed: whether a refusal is
// contained (special cases, replacements), failure_reducer(obj) called
// within the bounds of its walk over the object's attributes, and the
// fallbacks when the failure reducer fails as well.
#include "tarn_pickle_internal.hpp"

namespace tw_tarn_pickle {

// ------------------------------------------------------------ containment

// 1 when the object being asked about is, or lies inside, an object being
// written as a failure reducer's value, or an instance of a class for
// which special_cases is true; 0 when not; -1 on an error that must leave
// the dump. Called with no exception pending.
static int contained(DumpState *st)
{
    const std::vector<Pending> &pending = st->work->pending;
    for (const Pending &p : pending)
        if (p.replaced)
            return 1;
    if (st->special_cases == nullptr)
        return 0;
    if (st->special_known == nullptr) {
        st->special_known = PyDict_New();
        if (st->special_known == nullptr)
            return -1;
    }
    for (const Pending &p : pending) {
        PyObject *known =
            PyDict_GetItemWithError(st->special_known, p.type.get());
        if (known == nullptr) {
            if (PyErr_Occurred())
                return -1;
            tw::Ref r = tw::Ref::steal(
                PyObject_CallOneArg(st->special_cases, p.type.get()));
            int truth = 0;
            if (!r) {
                if (!tw::containable())
                    return -1;
                PyErr_Clear();  // a class it cannot judge is not special
            } else {
                truth = PyObject_IsTrue(r.get());
                r.reset();
                if (truth < 0) {
                    if (!tw::containable())
                        return -1;
                    PyErr_Clear();
                    truth = 0;
                }
            }
            known = truth ? Py_True : Py_False;
            if (PyDict_SetItem(st->special_known, p.type.get(), known) < 0)
                return -1;
        }
        if (known == Py_True)
            return 1;
    }
    return 0;
}

// The reduce value of None: what is written, inside a special case, for an
// object whose failure reducer failed too. New reference.
static PyObject *none_reduce()
{
    PyObject *none_type = reinterpret_cast<PyObject *>(Py_TYPE(Py_None));
    tw::Ref empty = tw::Ref::steal(PyTuple_New(0));
    if (!empty)
        return nullptr;
    return PyTuple_Pack(2, none_type, empty.get());
}

// A failure reducer's value without its state (and state setter): what is
// written for an object met where the interpreter's recursion limit is
// near, so that writing it goes no deeper. Steals `rv`; new reference.
static PyObject *without_state(PyObject *rv_in)
{
    tw::Ref rv = tw::Ref::steal(rv_in);
    if (!PyTuple_Check(rv.get()) || PyTuple_GET_SIZE(rv.get()) < 3)
        return rv.release();
    const Py_ssize_t size = PyTuple_GET_SIZE(rv.get());
    tw::Ref copy = tw::Ref::steal(PyTuple_New(size));
    if (!copy)
        return nullptr;
    for (Py_ssize_t i = 0; i < size; i++) {
        PyObject *v =
            (i == 2 || i == 5) ? Py_None : PyTuple_GET_ITEM(rv.get(), i);
        PyTuple_SET_ITEM(copy.get(), i, Py_NewRef(v));
    }
    return copy.release();
}

// How many more nested calls the interpreter allows on this thread before
// it raises RecursionError, as the C pickler counts them.
int recursion_left()
{
    return tw_recursion_left();
}

// ------------------------------------------- bounds of the failure reducer

// Placeholders nested inside this many placeholders are written without
// reading their attributes (the walk of a value's failure replacements
// goes that many levels deep).
constexpr int kWalkDepth = 4;

// The bounds of the failure reducer call running on this thread.
static thread_local tw::TarnWalk *current_walk = nullptr;

tw::TarnWalk *current_walk_entry()
{
    return current_walk;
}

// Whether `module` (a function's __module__) is a module of the
// interpreter's standard library.
static bool stdlib_module(ModState *ms, PyObject *module)
{
    if (ms->stdlib_names == nullptr || module == nullptr ||
        !PyUnicode_Check(module))
        return false;
    const Py_ssize_t dot =
        PyUnicode_FindChar(module, '.', 0, PyUnicode_GET_LENGTH(module), 1);
    if (dot == -2) {
        PyErr_Clear();
        return false;
    }
    tw::Ref top = dot < 0
                      ? tw::Ref::borrow(module)
                      : tw::Ref::steal(PyUnicode_Substring(module, 0, dot));
    if (!top) {
        PyErr_Clear();
        return false;
    }
    const int in = PySet_Contains(ms->stdlib_names, top.get());
    if (in < 0)
        PyErr_Clear();
    return in > 0;
}

// Whether reducing `obj` the C pickler's way (own_reduce) runs only code
// of the interpreter and of its standard library: its pickling methods,
// as the reduction finds them, are native or standard-library functions
// (a socket's __getstate__). 1, 0, or -1 with an exception set. Reading
// them runs no code of the program where its class keeps the generic
// attribute lookup, which is required.
static int runs_no_program_code(ModState *ms, PyObject *obj)
{
    if (Py_TYPE(obj)->tp_getattro != PyObject_GenericGetAttr)
        return 0;
    PyObject *names[] = {TW_STR("__reduce_ex__"), TW_STR("__reduce__"),
                         TW_STR("__getstate__"), TW_STR("__getnewargs_ex__"),
                         TW_STR("__getnewargs__")};
    for (PyObject *name : names) {
        if (name == nullptr)
            return -1;
        // Looked up on the class first: a name it does not have is looked
        // up on the instance only where one could be found there.
        PyObject *found = _PyType_Lookup(Py_TYPE(obj), name);
        PyObject *f = nullptr;
        tw::Ref held;
        if (found != nullptr && !PyFunction_Check(found) &&
            (Py_IS_TYPE(found, &PyMethodDescr_Type) ||
             Py_IS_TYPE(found, &PyWrapperDescr_Type) ||
             Py_IS_TYPE(found, &PyClassMethodDescr_Type))) {
            f = found;  // a native method of the class
        } else {
            const int r = tw::optional_attr(obj, name, held);
            if (r < 0)
                return -1;
            if (r == 0)
                continue;
            PyObject *v = held.get();
            f = PyMethod_Check(v) ? PyMethod_GET_FUNCTION(v) : v;
        }
        if (PyCFunction_Check(f) || Py_IS_TYPE(f, &PyMethodDescr_Type) ||
            Py_IS_TYPE(f, &PyWrapperDescr_Type) ||
            Py_IS_TYPE(f, &PyClassMethodDescr_Type) ||
            Py_IS_TYPE(
                f, reinterpret_cast<PyTypeObject *>(ms->method_wrapper_type)))
            continue;
        if (PyFunction_Check(f) &&
            stdlib_module(
                ms, reinterpret_cast<PyFunctionObject *>(f)->func_module))
            continue;
        return 0;
    }
    return 1;
}

// Units of small_value(): each atom, each class or function, each
// container, and each character or byte of a str or bytes costs one.
constexpr Py_ssize_t kSmallReduceUnits = 512;

// Whether `v` is made only of atoms, classes and functions (written by
// reference) and tuples, frozensets and dicts of them, within `*units`
// (which it uses up) and three levels of nesting.
static bool small_value(PyObject *v, Py_ssize_t *units, int level = 0)
{
    if (--*units < 0 || level > 3)
        return false;
    PyTypeObject *t = Py_TYPE(v);
    if (v == Py_None || t == &PyBool_Type || t == &PyFloat_Type ||
        t == &PyComplex_Type || t == &PyType_Type || t == &PyFunction_Type ||
        t == &PyCFunction_Type)
        return true;
    if (t == &PyLong_Type)
        return (*units -= static_cast<Py_ssize_t>(_PyLong_NumBits(v) / 64)) >=
               0;
    if (t == &PyUnicode_Type)
        return (*units -= PyUnicode_GET_LENGTH(v)) >= 0;
    if (t == &PyBytes_Type)
        return (*units -= PyBytes_GET_SIZE(v)) >= 0;
    if (t == &PyTuple_Type) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); i++)
            if (!small_value(PyTuple_GET_ITEM(v, i), units, level + 1))
                return false;
        return true;
    }
    if (t == &PyDict_Type) {
        Py_ssize_t pos = 0;
        PyObject *k, *item;
        while (PyDict_Next(v, &pos, &k, &item))
            if (!small_value(k, units, level + 1) ||
                !small_value(item, units, level + 1))
                return false;
        return true;
    }
    return false;
}

// The object's own reduction when it runs no code of the program and
// gives a small value (see small_value): 1 with the checked reduce value
// (or NotImplemented, for a write by reference) in `out`; 0 when not; -1
// with an exception that must leave the dump. A refused object met inside
// a failure replacement is written so where it can (a Decimal among a
// placeholder's attributes stays a Decimal).
static int small_own_reduction(DumpState *st, PyObject *obj, tw::Ref &out)
{
    out.reset();
    // Only a class that customises its pickling (natively, as Decimal
    // does) tells how its instances are written; an instance of a plain
    // class refused for other reasons is replaced.
    PyTypeObject *tp = Py_TYPE(obj);
    PyObject *base = reinterpret_cast<PyObject *>(&PyBaseObject_Type);
    bool customised = false;
    for (PyObject *name : {TW_STR("__reduce_ex__"), TW_STR("__reduce__"),
                           TW_STR("__getstate__"), TW_STR("__getnewargs_ex__"),
                           TW_STR("__getnewargs__")}) {
        if (name == nullptr)
            return -1;
        PyObject *found = _PyType_Lookup(tp, name);
        if (found != nullptr &&
            found !=
                _PyType_Lookup(reinterpret_cast<PyTypeObject *>(base), name))
            customised = true;
    }
    if (!customised)
        return 0;
    int r = runs_no_program_code(st->ms, obj);
    tw::Ref own;
    if (r > 0)
        r = own_reduce(st, obj, own);
    else if (r == 0)
        return 0;
    if (r < 0) {
        if (!tw::containable())
            return -1;
        PyErr_Clear();
        return 0;
    }
    if (r == 0) {
        out = tw::Ref::borrow(Py_NotImplemented);
        return 1;
    }
    Py_ssize_t units = kSmallReduceUnits;
    const Py_ssize_t size =
        PyTuple_Check(own.get()) ? PyTuple_GET_SIZE(own.get()) : 0;
    bool small = size >= 2;
    for (Py_ssize_t i = 1; small && i < size; i++) {
        PyObject *v = PyTuple_GET_ITEM(own.get(), i);
        small = i <= 2 ? small_value(v, &units) : v == Py_None;
    }
    if (!small)
        return 0;
    out = std::move(own);
    return 1;
}

// The nearest object that encloses the one being asked about (the last of
// `pending`) and is being written as a failure reducer's value, or NULL;
// *depth: how many such objects enclose it.
static const Pending *enclosing_replacement(DumpState *st, int *depth)
{
    const std::vector<Pending> &pending = st->work->pending;
    const Pending *nearest = nullptr;
    *depth = 0;
    if (pending.empty())
        return nullptr;
    for (size_t i = pending.size() - 1; i-- > 0;) {
        if (!pending[i].replaced)
            continue;
        if (nearest == nullptr)
            nearest = &pending[i];
        ++*depth;
    }
    return nearest;
}

// Called with the exception that asking about or reducing `obj` raised.
// Returns the reduce value to write in its place (new reference), or NULL
// with the exception that is to leave the dump. `flat`: write the
// replacement without its state.
PyObject *on_error(DumpState *st, PyObject *obj, bool flat)
{
    if (!tw::containable())
        return nullptr;  // interrupts and exits are never absorbed
    const bool refusal = PyErr_ExceptionMatches(st->ms->problematic);
    tw::SavedError error;
    error.fetch();
    int inside = -1;  // not yet known
    if (refusal) {
        inside = contained(st);
        if (inside < 0)
            return nullptr;
        if (inside == 0) {
            // A refusal stands, unless the object could not be written
            // anyway: then it is an unpicklable object like any other.
            // That is found out only where it runs none of the program's
            // code: the pickling methods of a refused object never run.
            const int plain = runs_no_program_code(st->ms, obj);
            if (plain <= 0) {
                if (plain < 0) {
                    if (!tw::containable())
                        return nullptr;
                    PyErr_Clear();
                }
                error.put_back();
                return nullptr;
            }
            tw::Ref own;
            const int r = own_reduce(st, obj, own);
            own.reset();
            if (r >= 0) {
                error.put_back();
                return nullptr;
            }
            if (!tw::containable())
                return nullptr;
            PyErr_Clear();
        } else {
            // Contained: written by its own reduction where that is
            // harmless and small, else replaced.
            tw::Ref own;
            const int r = small_own_reduction(st, obj, own);
            if (r != 0)
                return r > 0 ? own.release() : nullptr;
        }
    }
    // How far the failure reducer may walk the object's attributes.
    const char *why_flat = nullptr;
    int depth = 0;
    const Pending *outer = enclosing_replacement(st, &depth);
    if (outer != nullptr &&
        outer->type.get() == reinterpret_cast<PyObject *>(Py_TYPE(obj))) {
        // A new object of the type being replaced, read from one of its
        // attributes (a Decimal's .imag, made anew at each read): written
        // once, as a placeholder without attributes, and never walked, or
        // the walk would go on without end.
        why_flat = "(same type: not followed)";
    } else if (depth >= kWalkDepth) {
        why_flat = "(depth limit)";
        st->walk.cut++;
    }

    error.normalize();

    st->walk.flat = why_flat;
    tw::TarnWalk *outer_walk = current_walk;
    current_walk = &st->walk;
    PyObject *rv = PyObject_CallOneArg(st->failure_reducer, obj);
    current_walk = outer_walk;
    st->walk.flat = nullptr;
    if (rv != nullptr && flat)
        rv = without_state(rv);
    if (rv != nullptr)
        rv = check_reduce(st, obj, rv);
    if (rv != nullptr) {
        error.clear();
        // What is written for the replacement is best effort: errors
        // inside it are contained.
        st->work->pending.back().replaced = true;
        return rv;
    }
    // The failure reducer failed as well.
    if (!tw::containable())
        return nullptr;
    tw::SavedError second;
    second.fetch_normalized();
    if (inside < 0)
        inside = contained(st);
    if (inside != 0) {
        second.clear();
        error.clear();
        return inside > 0 ? none_reduce() : nullptr;
    }
    // The dump fails as it would have without a failure reducer, with the
    // failure reducer's own error attached as context.
    if (second.value() != nullptr && error.value() != nullptr &&
        second.value() != error.value())
        PyException_SetContext(error.value(),
                               Py_NewRef(second.value()));  // steals it
    second.clear();
    error.put_back();
    return nullptr;
}

}  // namespace tw_tarn_pickle
