// The reduction the C pickler would compute for an object (dispatch table,
// by-reference write of classes and functions, `__reduce_ex__`), and the
// checks that a reduce value handed back by the hook will be written
// without error: it is well formed, its callable (or the class of a
// __newobj__) can be written by reference, its list and dict items can be
// iterated.
#include "tarn_pickle_internal.hpp"

namespace tw_tarn_pickle {

// The subclass's reducer_override(obj); new reference.
PyObject *call_user(DumpState *st, PyObject *obj)
{
    if (st->user_unbound) {
        PyObject *argv[] = {nullptr, st->pickler, obj};
        return PyObject_Vectorcall(
            st->user, argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }
    return PyObject_CallOneArg(st->user, obj);
}

bool is_singleton_type(PyObject *obj)
{
    return obj == reinterpret_cast<PyObject *>(Py_TYPE(Py_None)) ||
           obj == reinterpret_cast<PyObject *>(Py_TYPE(Py_Ellipsis)) ||
           obj == reinterpret_cast<PyObject *>(Py_TYPE(Py_NotImplemented));
}

static void mark_writable(DumpState *st, PyObject *obj)
{
    auto added = st->work->writable.try_emplace(obj);
    if (added.second)
        added.first->second = tw::Ref::borrow(obj);
}

// ------------------------------------------------------- by-reference writes

// getattr(obj, name) when the generic attribute lookup of its class
// surely runs no code for it: the class has nothing of that name along its
// MRO, so the value is the instance __dict__'s entry, or absent. 1 and a
// borrowed reference in *out (NULL when absent); 0 when not told so.
static int plain_instance_attr(PyObject *obj, PyObject *name, PyObject **out)
{
    *out = nullptr;
    PyTypeObject *tp = Py_TYPE(obj);
    if (tp->tp_getattro != PyObject_GenericGetAttr ||
        _PyType_Lookup(tp, name) != nullptr)
        return 0;
    bool has_dict = tp->tp_dictoffset != 0;
#ifdef Py_TPFLAGS_MANAGED_DICT
    has_dict = has_dict || (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT);
#endif
    if (!has_dict)
        return 1;
    PyObject *dict = PyObject_GenericGetDict(obj, nullptr);
    if (dict == nullptr) {
        PyErr_Clear();
        return 0;
    }
    PyObject *v = PyDict_GetItemWithError(dict, name);
    Py_DECREF(dict);  // the instance keeps it, and the entry
    if (v == nullptr && PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    *out = v;
    return 1;
}

// Whether the import system takes sys.modules' entry `mod` as it stands:
// its __spec__._initializing is not true, so no wait for another thread's
// import is due. Told only where reading that runs no code (a plain
// module holding its __spec__, a spec whose class keeps the generic
// lookup, an absent or bool _initializing); false otherwise.
static bool module_ready(PyObject *mod)
{
    // A plain module's own attribute is the entry of its namespace (the
    // module type has nothing of that name); only a missing one would
    // make it ask the module's __getattr__.
    PyObject *name = TW_STR("__spec__");
    if (!PyModule_CheckExact(mod) ||
        _PyType_Lookup(&PyModule_Type, name) != nullptr)
        return false;
    PyObject *spec = PyDict_GetItemWithError(PyModule_GetDict(mod), name);
    if (spec == nullptr) {
        PyErr_Clear();
        return false;
    }
    PyObject *initializing;
    if (plain_instance_attr(spec, TW_STR("_initializing"), &initializing) == 0)
        return false;
    return initializing == nullptr || initializing == Py_False;
}

// PyImport_Import(name) for a module imported already, without the call of
// __import__ it goes through: 1 and a new reference in `out`; 0 when that
// shortcut does not apply (the caller calls PyImport_Import, which does
// it all again); -1 with an exception set where PyImport_Import fails too.
//
// PyImport_Import calls the __import__ of the builtins of the current
// globals with an empty fromlist. While that is the interpreter's own
// __import__, the call takes the module and, for a dotted name, its top
// package from sys.modules, each once it is not being imported by another
// thread, and imports only what is missing there; PyImport_Import then
// returns sys.modules[name]. The same is done here for modules found
// ready in sys.modules; anything else is left to PyImport_Import.
static int imported_module(ModState *ms, PyObject *name, tw::Ref &out)
{
    out.reset();
    PyObject *globals = PyEval_GetGlobals();
    if (ms->builtin_import == nullptr || globals == nullptr ||
        !PyDict_CheckExact(globals) || !PyUnicode_CheckExact(name))
        return 0;
    PyObject *builtins =
        PyDict_GetItemWithError(globals, TW_STR("__builtins__"));
    if (builtins == nullptr) {
        PyErr_Clear();
        return 0;
    }
    PyObject *bdict = PyDict_CheckExact(builtins) ? builtins
                      : PyModule_CheckExact(builtins)
                          ? PyModule_GetDict(builtins)
                          : nullptr;
    if (bdict == nullptr ||
        PyDict_GetItemWithError(bdict, TW_STR("__import__")) !=
            ms->builtin_import) {
        PyErr_Clear();
        return 0;
    }
    PyObject *modules = PyImport_GetModuleDict();
    if (modules == nullptr || !PyDict_CheckExact(modules))
        return 0;
    const Py_ssize_t dot =
        PyUnicode_FindChar(name, '.', 0, PyUnicode_GET_LENGTH(name), 1);
    if (dot == -2)
        return -1;
    if (dot == 0)
        return 0;
    tw::Ref mod = tw::Ref::borrow(PyDict_GetItemWithError(modules, name));
    if (!mod || !module_ready(mod.get())) {
        PyErr_Clear();
        return 0;
    }
    if (dot > 0) {
        tw::Ref front = tw::Ref::steal(PyUnicode_Substring(name, 0, dot));
        if (!front)
            return -1;
        PyObject *top = PyDict_GetItemWithError(modules, front.get());
        if (top == nullptr || !module_ready(top)) {
            PyErr_Clear();
            return 0;
        }
    }
    out = std::move(mod);
    return 1;
}

// A heap class whose metaclass is `type`: its __qualname__ and __module__
// are type's own data descriptors, which read the class's qualified name
// and its namespace's __module__ entry.
static bool plain_heap_class(PyObject *obj)
{
    return Py_IS_TYPE(obj, &PyType_Type) &&
           (reinterpret_cast<PyTypeObject *>(obj)->tp_flags &
            Py_TPFLAGS_HEAPTYPE);
}

// getattr(obj, "__qualname__", getattr(obj, "__name__", NULL)): 1 and a
// new reference, 0 when neither is there, -1 on an error.
static int qualified_name(PyObject *obj, tw::Ref &out)
{
    if (plain_heap_class(obj)) {
        out = tw::Ref::borrow(
            reinterpret_cast<PyHeapTypeObject *>(obj)->ht_qualname);
        return 1;
    }
    int r = tw::optional_attr(obj, TW_STR("__qualname__"), out);
    if (r == 0)
        r = tw::optional_attr(obj, TW_STR("__name__"), out);
    return r;
}

// getattr(obj, "__module__", NULL) as tw::optional_attr answers it.
static int module_attr(PyObject *obj, tw::Ref &out)
{
    if (plain_heap_class(obj)) {
        PyObject *d = reinterpret_cast<PyTypeObject *>(obj)->tp_dict;
        PyObject *v =
            d ? PyDict_GetItemWithError(d, TW_STR("__module__")) : nullptr;
        if (v != nullptr) {
            out = tw::Ref::borrow(v);
            return 1;
        }
        if (PyErr_Occurred())
            return -1;
    }
    return tw::optional_attr(obj, TW_STR("__module__"), out);
}

// 0 when the C pickler can write `obj` by reference under `name` (its
// qualified name when NULL): the name is not local, its module imports and
// the dotted name found there is `obj` itself. -1 with an exception set
// otherwise (the messages are the C pickler's own).
static int check_global(DumpState *st, PyObject *obj, PyObject *name)
{
    tw::Ref qual;
    if (name != nullptr) {
        qual = tw::Ref::borrow(name);
    } else {
        if (qualified_name(obj, qual) < 0)
            return -1;
        if (!qual) {
            PyErr_Format(st->ms->pickling_error,
                         "Can't pickle %R: it has no name", obj);
            return -1;
        }
    }
    if (!PyUnicode_Check(qual.get())) {
        PyErr_Format(st->ms->pickling_error,
                     "Can't pickle %R: its name is not a string", obj);
        return -1;
    }
    // The dotted parts of the name: the name itself when it has no dot.
    const Py_ssize_t dot = PyUnicode_FindChar(
        qual.get(), '.', 0, PyUnicode_GET_LENGTH(qual.get()), 1);
    if (dot == -2)
        return -1;
    tw::Ref parts;
    if (dot >= 0) {
        parts = tw::Ref::steal(PyUnicode_Split(qual.get(), TW_STR("."), -1));
        if (!parts)
            return -1;
    }
    const Py_ssize_t n = parts ? PyList_GET_SIZE(parts.get()) : 1;
    auto part = [&](Py_ssize_t i) {
        return parts ? PyList_GET_ITEM(parts.get(), i) : qual.get();
    };
    for (Py_ssize_t i = 0; i < n; i++) {
        if (PyUnicode_CompareWithASCIIString(part(i), "<locals>") == 0) {
            PyErr_Format(PyExc_AttributeError, "Can't pickle local object %R",
                         obj);
            return -1;
        }
    }
    tw::Ref module_name;
    if (module_attr(obj, module_name) < 0)
        return -1;
    if (!module_name || module_name.get() == Py_None) {
        module_name = tw::call(st->ms->whichmodule, obj, qual.get());
        if (!module_name)
            return -1;
    }
    if (!PyUnicode_Check(module_name.get())) {
        PyErr_Format(st->ms->pickling_error,
                     "Can't pickle %R: its module name is not a string", obj);
        return -1;
    }
    tw::Ref module;
    int got = imported_module(st->ms, module_name.get(), module);
    if (got == 0)
        module = tw::Ref::steal(PyImport_Import(module_name.get()));
    if (!module) {
        PyErr_Clear();
        PyErr_Format(st->ms->pickling_error,
                     "Can't pickle %R: import of module %R failed", obj,
                     module_name.get());
        return -1;
    }
    tw::Ref found = std::move(module);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *next = PyObject_GetAttr(found.get(), part(i));
        if (next == nullptr) {
            PyErr_Clear();
            PyErr_Format(st->ms->pickling_error,
                         "Can't pickle %R: attribute lookup %S on %S failed",
                         obj, qual.get(), module_name.get());
            return -1;
        }
        found = tw::Ref::steal(next);
    }
    if (found.get() != obj) {
        PyErr_Format(st->ms->pickling_error,
                     "Can't pickle %R: it's not the same object as %S.%S", obj,
                     module_name.get(), qual.get());
        return -1;
    }
    if (st->proto < 3 && (!PyUnicode_IS_ASCII(module_name.get()) ||
                          !PyUnicode_IS_ASCII(qual.get()))) {
        PyErr_Format(st->ms->pickling_error,
                     "can't pickle global identifier '%S.%S' using pickle "
                     "protocol %i",
                     module_name.get(), qual.get(), st->proto);
        return -1;
    }
    return 0;
}

// check_global for a class or function, remembered for the rest of the dump.
int check_global_cached(DumpState *st, PyObject *obj)
{
    if (st->work->writable.count(obj) != 0)
        return 0;
    if (check_global(st, obj, nullptr) < 0)
        return -1;
    mark_writable(st, obj);
    return 0;
}

// 0 when `c`, named by a reduce value as its callable (or as the class of a
// __newobj__), will be written without error; -1 with an exception set
// otherwise. Asks the subclass's reducer_override first, as writing `c`
// will.
static int check_callable(DumpState *st, PyObject *c)
{
    if (st->work->writable.count(c) != 0)
        return 0;
    if (st->user != nullptr) {
        tw::Ref r = tw::Ref::steal(call_user(st, c));
        if (!r)
            return -1;
        const bool replaced = r.get() != Py_NotImplemented;
        // Kept for the hook call that writing `c` makes, so that the
        // subclass is asked once per object.
        auto added = st->work->answers.try_emplace(c);
        if (added.second)
            added.first->second = Held{tw::Ref::borrow(c), std::move(r)};
        if (replaced) {
            mark_writable(st, c);
            return 0;
        }
    }
    PyTypeObject *t = Py_TYPE(c);
    if (t == &PyType_Type || t == &PyFunction_Type ||
        PyType_IsSubtype(t, &PyType_Type)) {
        if (!is_singleton_type(c) && check_global(st, c, nullptr) < 0)
            return -1;
    } else if (PyCFunction_Check(c)) {
        tw::Ref rv =
            tw::call_method(c, TW_STR("__reduce_ex__"), st->proto_obj);
        if (!rv)
            return -1;
        if (PyUnicode_Check(rv.get()) && check_global(st, c, rv.get()) < 0)
            return -1;
    }
    mark_writable(st, c);
    return 0;
}

// ------------------------------------------------------- reduce-value checks

// getattr(callable, "__name__", NULL) as tw::optional_attr answers it: 1 and a
// new reference, 0 when absent, -1 on an error. A Python function's
// __name__ is its type's own data descriptor, which gives the function's
// name: read in place.
static int callable_name(PyObject *callable, tw::Ref &out)
{
    if (PyFunction_Check(callable)) {
        out = tw::Ref::borrow(
            reinterpret_cast<PyFunctionObject *>(callable)->func_name);
        return 1;
    }
    return tw::optional_attr(callable, TW_STR("__name__"), out);
}

// text == the ASCII `literal`, whose interned str is `interned`.
static bool str_is(PyObject *text, PyObject *interned, const char *literal)
{
    return text == interned ||
           PyUnicode_CompareWithASCIIString(text, literal) == 0;
}

static int has_item(PyObject *tuple, Py_ssize_t from, PyObject *obj)
{
    for (Py_ssize_t i = from; i < PyTuple_GET_SIZE(tuple); i++)
        if (PyTuple_GET_ITEM(tuple, i) == obj)
            return 1;
    return 0;
}

// The items of a reduce value's list or dict iterator, gathered now so that
// the C pickler cannot fail while it pumps them; new reference to a fresh
// iterator over them.
static PyObject *gather_items(DumpState *st, PyObject *it, bool pairs)
{
    tw::Ref items = tw::Ref::steal(PySequence_List(it));
    if (!items)
        return nullptr;
    if (pairs) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); i++) {
            PyObject *p = PyList_GET_ITEM(items.get(), i);
            if (!PyTuple_Check(p) || PyTuple_GET_SIZE(p) != 2) {
                PyErr_SetString(st->ms->pickling_error,
                                "dict items iterator must return 2-tuples");
                return nullptr;
            }
        }
    }
    return PyObject_GetIter(items.get());
}

// Checks a reduce value for `obj` the way the C pickler will use it. Steals
// `rv`; returns it (or a copy with its iterators replaced), or NULL with an
// exception set.
PyObject *check_reduce(DumpState *st, PyObject *obj, PyObject *rv_in)
{
    tw::Ref rv = tw::Ref::steal(rv_in);
    PyObject *err = st->ms->pickling_error;
    if (PyUnicode_Check(rv.get())) {
        if (check_global(st, obj, rv.get()) < 0)
            return nullptr;
        return rv.release();
    }
    if (!PyTuple_Check(rv.get())) {
        PyErr_SetString(err, "__reduce__ must return a string or tuple");
        return nullptr;
    }
    const Py_ssize_t size = PyTuple_GET_SIZE(rv.get());
    if (size < 2 || size > 6) {
        PyErr_SetString(err, "tuple returned by __reduce__ must contain 2 "
                             "through 6 elements");
        return nullptr;
    }
    PyObject *item[6] = {nullptr, nullptr, Py_None, Py_None, Py_None, Py_None};
    for (Py_ssize_t i = 0; i < size; i++)
        item[i] = PyTuple_GET_ITEM(rv.get(), i);
    PyObject *callable = item[0], *argtup = item[1];
    if (!PyCallable_Check(callable)) {
        PyErr_SetString(err, "first item of the tuple returned by "
                             "__reduce__ must be callable");
        return nullptr;
    }
    if (!PyTuple_Check(argtup)) {
        PyErr_SetString(err, "second item of the tuple returned by "
                             "__reduce__ must be a tuple");
        return nullptr;
    }
    if (item[3] != Py_None && !PyIter_Check(item[3])) {
        PyErr_Format(err,
                     "fourth element of the tuple returned by "
                     "__reduce__ must be an iterator, not %s",
                     Py_TYPE(item[3])->tp_name);
        return nullptr;
    }
    if (item[4] != Py_None && !PyIter_Check(item[4])) {
        PyErr_Format(err,
                     "fifth element of the tuple returned by "
                     "__reduce__ must be an iterator, not %s",
                     Py_TYPE(item[4])->tp_name);
        return nullptr;
    }
    if (item[5] != Py_None && !PyCallable_Check(item[5])) {
        PyErr_Format(err,
                     "sixth element of the tuple returned by "
                     "__reduce__ must be a function, not %s",
                     Py_TYPE(item[5])->tp_name);
        return nullptr;
    }

    bool newobj = false, newobj_ex = false;
    if (st->proto >= 2) {
        tw::Ref nm;
        if (callable_name(callable, nm) < 0)
            return nullptr;
        if (nm && PyUnicode_Check(nm.get())) {
            newobj_ex =
                str_is(nm.get(), TW_STR("__newobj_ex__"), "__newobj_ex__");
            newobj = !newobj_ex &&
                     str_is(nm.get(), TW_STR("__newobj__"), "__newobj__");
        }
    }
    bool self_ref;
    if (newobj_ex) {
        if (PyTuple_GET_SIZE(argtup) != 3) {
            PyErr_Format(err,
                         "length of the NEWOBJ_EX argument tuple must "
                         "be exactly 3, not %zd",
                         PyTuple_GET_SIZE(argtup));
            return nullptr;
        }
        PyObject *cls = PyTuple_GET_ITEM(argtup, 0);
        PyObject *args = PyTuple_GET_ITEM(argtup, 1);
        PyObject *kwargs = PyTuple_GET_ITEM(argtup, 2);
        if (!PyType_Check(cls) || !PyTuple_Check(args) ||
            !PyDict_Check(kwargs)) {
            PyErr_SetString(err, "NEWOBJ_EX arguments must be a class, a "
                                 "tuple and a dict");
            return nullptr;
        }
        if (check_callable(st, cls) < 0)
            return nullptr;
        self_ref = has_item(args, 0, obj);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (!self_ref && PyDict_Next(kwargs, &pos, &k, &v))
            self_ref = v == obj;
    } else if (newobj) {
        if (PyTuple_GET_SIZE(argtup) < 1) {
            PyErr_SetString(err, "__newobj__ arglist is empty");
            return nullptr;
        }
        PyObject *cls = PyTuple_GET_ITEM(argtup, 0);
        if (!PyType_Check(cls)) {
            PyErr_SetString(err, "args[0] from __newobj__ args is not a type");
            return nullptr;
        }
        tw::Ref obj_class = tw::class_of(obj);
        if (!obj_class)
            return nullptr;
        if (obj_class.get() != cls) {
            PyErr_SetString(err, "args[0] from __newobj__ args has the wrong "
                                 "class");
            return nullptr;
        }
        if (check_callable(st, cls) < 0)
            return nullptr;
        self_ref = has_item(argtup, 1, obj);
    } else {
        if (check_callable(st, callable) < 0)
            return nullptr;
        self_ref = has_item(argtup, 0, obj);
    }
    if (self_ref) {
        // Writing the arguments would reach the object again before it is
        // memoized, without end.
        PyErr_Format(err,
                     "Can't pickle %R: its reduce arguments hold the "
                     "object itself",
                     obj);
        return nullptr;
    }
    if (item[5] != Py_None && check_callable(st, item[5]) < 0)
        return nullptr;
    if (item[3] == Py_None && item[4] == Py_None)
        return rv.release();

    tw::Ref copy = tw::Ref::steal(PyTuple_New(size));
    if (!copy)
        return nullptr;
    for (Py_ssize_t i = 0; i < size; i++) {
        PyObject *v = item[i];
        if ((i == 3 || i == 4) && v != Py_None) {
            v = gather_items(st, v, i == 4);
            if (v == nullptr)
                return nullptr;
        } else {
            Py_INCREF(v);
        }
        PyTuple_SET_ITEM(copy.get(), i, v);
    }
    return copy.release();
}

}  // namespace tw_tarn_pickle
