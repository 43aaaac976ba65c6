// marrowick's name-load hooks: each global-name load (load_global_hook) and
// attribute load (load_attr_hook) a recorded function executes, the
// identities of the objects reached from its globals that are followed
// (IDS_TO_FOLLOW, with the type each was added for), the attributes read of
// them (used_attributes), and the filtering of a function's used globals
// (filter_modules_and_function_from_globals).
#include "marrowick_internal.hpp"
#include "tw/owner.hpp"

namespace tw_marrowick {

PyObject *g_used_names = nullptr;
PyObject *g_followed_types = nullptr;
PyObject *g_enum_meta = nullptr;

namespace {

// ------------------------------------------------------- followed identities

// `id(obj) in ids`: 1, 0, or -1 with an exception.
int id_in(PyObject *ids, PyObject *obj)
{
#ifdef MARROWICK_SCRATCH_KEY
    if (PyAnySet_CheckExact(ids)) {
        PyObject *key = scratch_key(
            static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(obj)));
        if (key != nullptr) {
            ScratchLookup busy;
            return PySet_Contains(ids, key);
        }
    }
#endif
    Ref key = Ref::steal(PyLong_FromVoidPtr(obj));
    if (!key)
        return -1;
    return PySequence_Contains(ids, key.get());
}

// Notes the type of the object a followed identity was added for; a
// failure only leaves the identity without a type.
void note_followed_type(PyObject *key, PyObject *obj)
{
    if (g_followed_types == nullptr)
        return;
    PyObject *ref =
        PyWeakref_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(obj)), nullptr);
    if (ref == nullptr || PyDict_SetItem(g_followed_types, key, ref) < 0)
        PyErr_Clear();
    Py_XDECREF(ref);
}

// Whether the followed identity `key` (of `obj`) was added for an object of
// obj's type. When not, it was another object's, which is gone: the
// identity stops being followed. Never fails.
bool followed_for(PyObject *ids, PyObject *key, PyObject *obj)
{
    if (g_followed_types == nullptr)
        return true;
    PyObject *ref = PyDict_GetItemWithError(g_followed_types, key);
    if (ref == nullptr) {
        PyErr_Clear();
        return true;  // added by someone else
    }
    if (tw::owner_is(ref, reinterpret_cast<PyObject *>(Py_TYPE(obj))))
        return true;
    if (PyDict_DelItem(g_followed_types, key) < 0)
        PyErr_Clear();
    if (Py_TYPE(ids) == &PySet_Type && PySet_Discard(ids, key) < 0)
        PyErr_Clear();
    return false;
}

// `IDS_TO_FOLLOW.add(id(obj))`; 0 or -1.
int follow(PyObject *m, PyObject *obj)
{
    Ref ids = G("IDS_TO_FOLLOW");
    if (!ids)
        return -1;
    Ref key = Ref::steal(PyLong_FromVoidPtr(obj));
    if (!key)
        return -1;
    if (add_to(ids.get(), key.get()) < 0)
        return -1;
    note_followed_type(key.get(), obj);
    return 0;
}

// A new entry of used_attributes for `obj` holding `attr`: a UsedNames
// that knows its object; new reference.
Ref new_used_names(PyObject *obj, PyObject *attr)
{
    Ref names;
    if (g_used_names != nullptr) {
        names = Ref::steal(PyObject_CallNoArgs(g_used_names));
        if (names) {
            Ref owner = Ref::steal(tw::owner_of(obj));
            if (!owner || PyObject_SetAttr(names.get(), TW_STR("owner"),
                                           owner.get()) < 0)
                return nullptr;
        }
    } else {
        names = Ref::steal(PySet_New(nullptr));
    }
    if (!names || PySet_Add(names.get(), attr) < 0)
        return nullptr;
    return names;
}

// Keeps on a UsedNames entry the value the program loaded under `attr` when
// it is an atom (and forgets an older one when it is not). Never fails.
void keep_loaded(PyObject *names, PyObject *attr, PyObject *result)
{
    if (g_used_names == nullptr ||
        reinterpret_cast<PyObject *>(Py_TYPE(names)) != g_used_names)
        return;
    Ref kept = tw::getattr(names, TW_STR("kept"));
    if (kept && PyDict_CheckExact(kept.get())) {
        if (tw::keepable_atom(result, g_enum_meta)) {
            if (PyDict_SetItem(kept.get(), attr, result) < 0)
                PyErr_Clear();
        } else if (PyDict_GET_SIZE(kept.get()) != 0 &&
                   PyDict_DelItem(kept.get(), attr) < 0) {
            PyErr_Clear();
        }
    }
    if (PyErr_Occurred())
        PyErr_Clear();
}

}  // namespace

// ----------------------------------------------------------------- name loads

Ref filter_modules_and_function_from_globals_impl(PyObject *m,
                                                  PyObject *function_globals,
                                                  PyObject *func_full_name)
{
    if (tw::check_exact(func_full_name, "func_full_name", tw::Kind::Str) < 0)
        return nullptr;
    Ref used = Ref::steal(PyDict_New());
    if (!used)
        return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(function_globals));
    if (!it)
        return nullptr;
    for (;;) {
        Ref key = Ref::steal(PyIter_Next(it.get()));
        if (!key) {
            if (PyErr_Occurred())
                return nullptr;
            break;
        }
        Ref value = Ref::steal(PyObject_GetItem(function_globals, key.get()));
        if (!value)
            return nullptr;
        Ref types_mod = G("types");
        Ref module_type =
            types_mod ? tw::getattr(types_mod.get(), TW_STR("ModuleType"))
                      : nullptr;
        if (!module_type)
            return nullptr;
        int is_module = type_equals(value.get(), module_type.get());
        if (is_module < 0)
            return nullptr;
        if (is_module) {
            Ref attrs = G("used_attributes");
            if (!attrs)
                return nullptr;
            int r = id_in(attrs.get(), value.get());
            if (r < 0)
                return nullptr;
            if (r && PyDict_SetItem(used.get(), key.get(), value.get()) < 0)
                return nullptr;
            continue;
        }
        int t = size_too_big(m, value.get());
        if (t < 0)
            return nullptr;
        if (t) {
            Ref sent = call_fn(m, F_create_size_too_big_metric,
                               TW_STR("create_size_too_big_metric"),
                               create_size_too_big_metric_impl, func_full_name,
                               key.get(), TW_STR("globals"));
            if (!sent)
                return nullptr;
            if (set_current(m, Py_None) < 0)
                return nullptr;
            return none_ref();
        }
        if (PyDict_SetItem(used.get(), key.get(), value.get()) < 0)
            return nullptr;
    }
    return used;
}

// ------------------------------------------------------------ the hooks

PyObject *py_load_attr_hook(TW_FASTCALL_ARGS(m))
{
    PyObject *obj, *attr, *result;
    if (nargs == 3 && kwnames == nullptr) {
        obj = args[0];
        attr = args[1];
        result = args[2];
        if (tw::check_exact(attr, "attr", tw::Kind::Str) < 0)
            return nullptr;
    } else {
        static const tw::Param params[] = {
            {"obj"}, {"attr", tw::Kind::Str}, {"result"}};
        PyObject *a[3];
        if (tw::parse("load_attr_hook", params, args, nargs, kwnames, a) < 0)
            return nullptr;
        obj = a[0];
        attr = a[1];
        result = a[2];
    }
    // Guarded: whatever fails here is dropped, the user's load goes on.
    do {
        Ref ids = G("IDS_TO_FOLLOW");
        if (!ids)
            break;
        int r = id_in(ids.get(), obj);
        if (r <= 0)
            break;
        Ref key = Ref::steal(PyLong_FromVoidPtr(obj));
        if (!key)
            break;
        // An identity followed for an object of another type was that
        // object's: this one was never reached from a global.
        if (!followed_for(ids.get(), key.get(), obj))
            break;
        Ref attrs = G("used_attributes");
        if (!attrs)
            break;
        r = PySequence_Contains(attrs.get(), key.get());
        if (r < 0)
            break;
        // An entry made for an earlier object at this address is replaced.
        Ref names;
        if (r) {
            names = Ref::steal(PyObject_GetItem(attrs.get(), key.get()));
            if (!names)
                break;
            if (!tw::entry_applies(names.get(), obj))
                names.reset();
        }
        if (names) {
            if (follow(m, result) < 0)
                break;
            // A UsedNames is a set whose `add` is the set's own.
            if ((g_used_names != nullptr &&
                         reinterpret_cast<PyObject *>(Py_TYPE(names.get())) ==
                             g_used_names
                     ? PySet_Add(names.get(), attr)
                     : add_to(names.get(), attr)) < 0)
                break;
            keep_loaded(names.get(), attr, result);
        } else {
            names = new_used_names(obj, attr);
            if (!names)
                break;
            attrs = G("used_attributes");
            if (!attrs ||
                PyObject_SetItem(attrs.get(), key.get(), names.get()) < 0)
                break;
            keep_loaded(names.get(), attr, result);
            follow(m, result);
        }
    } while (false);
    if (PyErr_Occurred())
        PyErr_Clear();
    Py_RETURN_NONE;
}

PyObject *py_load_global_hook(TW_FASTCALL_ARGS(m))
{
    PyObject *global_obj, *name;
    if (nargs == 2 && kwnames == nullptr) {
        global_obj = args[0];
        name = args[1];
        if (tw::check_exact(name, "name", tw::Kind::Str) < 0)
            return nullptr;
    } else {
        static const tw::Param params[] = {{"global_obj"},
                                           {"name", tw::Kind::Str}};
        PyObject *a[2];
        if (tw::parse("load_global_hook", params, args, nargs, kwnames, a) < 0)
            return nullptr;
        global_obj = a[0];
        name = a[1];
    }
    Ref tracker = current_tracker(m);
    if (!tracker)
        return nullptr;
    if (tracker.get() == Py_None)
        Py_RETURN_NONE;
    int t = truth(tracker.get());
    if (t < 0)
        return nullptr;
    if (t) {
        Ref globals = tw::getattr(tracker.get(), TW_STR("globals"));
        if (!globals || PyObject_SetItem(globals.get(), name, global_obj) < 0)
            return nullptr;
        if (follow(m, global_obj) < 0)
            return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace tw_marrowick
