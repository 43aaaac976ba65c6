// tarnwick_collector.data_serialization.pickler: the safe pickler.
//
// SafePickler writes any value the collector records without giving up on
// what stock pickling refuses: functions, methods and some classes by dotted
// name (a call of jsonpickle's loadclass), modules, exceptions and objects
// reduced to their used attributes as the wrapper objects of
// tarnwick_common.utils.object_wrapper (built on load through this module's
// wrap_* functions), and whatever the base pickler still fails on through
// the failure reducer UnpicklableHelpers.__reduce__.
//
// Module-level data (tables, constants, imported names) is read from the
// module namespace at each use; calls between this module's own functions
// and methods go straight to their C++ bodies.
//
// This file is the module body: the Python entry points (module functions,
// the methods of SafePickler, UnpicklableHelpers and the by-name wrapper
// classes), the module's constants and classes, and its init. The rest is
// one concern a file, declared in pickler_internal.hpp: the remembered
// lookups (pickler_lookups.cpp), SafePickler's rules (pickler_rules.cpp),
// used attributes (pickler_used_attrs.cpp), naming (pickler_naming.cpp),
// the failure reducer (pickler_failure.cpp), safe_pickle and its reusable
// pickler (pickler_reuse.cpp) and redaction (pickler_redact.cpp).
#include "pickler_internal.hpp"
#include "pickler_redact.hpp"

#include <initializer_list>
#include <utility>
#include <vector>

namespace tw_pickler {

// ======================================================= Python entry points

// ---- module functions

static PyObject *is_classmethod(PyObject *, PyObject *method)
{
    return to_bool(is_classmethod_impl(method));
}

static PyObject *wrap_object(TW_FASTCALL_ARGS(mod))
{
    static const tw::Param params[] = {{"cls"}, {"funcs"}};
    PyObject *a[2];
    if (tw::parse("wrap_object", params, args, nargs, kwnames, a) < 0)
        return nullptr;
    Ref cls = GLOBAL(mod, "ObjectWrapper");
    if (!cls)
        return nullptr;
    return tw::call(cls.get(), a[0], a[1]).release();
}

static PyObject *wrap_module(PyObject *mod, PyObject *full_name)
{
    Ref cls = GLOBAL(mod, "ModuleWrapper");
    if (!cls)
        return nullptr;
    return tw::call(cls.get(), full_name).release();
}

static PyObject *wrap_function(PyObject *mod, PyObject *full_name)
{
    Ref cls = GLOBAL(mod, "SpecialWrapper");
    if (!cls)
        return nullptr;
    return tw::call(cls.get(), full_name).release();
}

static PyObject *wrap_exception(TW_FASTCALL_ARGS(mod))
{
    static const tw::Param params[] = {{"exception_full_name", tw::Kind::Str},
                                       {"exception_args"},
                                       {"exception_dunder_dict"}};
    PyObject *a[3];
    if (tw::parse("wrap_exception", params, args, nargs, kwnames, a) < 0)
        return nullptr;
    Ref cls = GLOBAL(mod, "ExceptionWrapper");
    if (!cls)
        return nullptr;
    return tw::call(cls.get(), a[0], a[1], a[2]).release();
}

static PyObject *get_attributes_value(TW_FASTCALL_ARGS(mod))
{
    static const tw::Param params[] = {{"obj"}, {"attributes"}};
    PyObject *a[2];
    if (tw::parse("get_attributes_value", params, args, nargs, kwnames, a) < 0)
        return nullptr;
    return attributes_value_impl(mod, a[0], a[1]).release();
}

static PyObject *is_obj_python_based(PyObject *mod, PyObject *obj)
{
    return to_bool(is_obj_python_based_impl(mod, obj));
}

static PyObject *obj_has_getattr_that_is_python_based(PyObject *mod,
                                                      PyObject *obj)
{
    return to_bool(has_python_getattr_impl(mod, obj));
}

static PyMethodDef is_classmethod_def = {
    "is_classmethod", is_classmethod, METH_O,
    "Whether `method` is bound to a class (a class method)."};
static PyMethodDef wrap_object_def = {
    "wrap_object", TW_FASTCALL(wrap_object), TW_FASTCALL_FLAGS,
    "ObjectWrapper(cls, funcs): an object reduced to its used attributes."};
static PyMethodDef wrap_module_def = {
    "wrap_module", wrap_module, METH_O,
    "ModuleWrapper(full_name): a module, by name."};
static PyMethodDef wrap_function_def = {
    "wrap_function", wrap_function, METH_O,
    "SpecialWrapper(full_name): a class rebuilt by the named factory."};
static PyMethodDef wrap_exception_def = {
    "wrap_exception", TW_FASTCALL(wrap_exception), TW_FASTCALL_FLAGS,
    "ExceptionWrapper(exception_full_name, exception_args, "
    "exception_dunder_dict): an exception instance."};
static PyMethodDef get_attributes_value_def = {
    "get_attributes_value", TW_FASTCALL(get_attributes_value),
    TW_FASTCALL_FLAGS,
    "(attributes_data, funcs): the values and the methods among the named "
    "attributes of `obj`; missing attributes are left out."};
static PyMethodDef is_obj_python_based_def = {
    "is_obj_python_based", is_obj_python_based, METH_O,
    "Whether `obj` carries Python byte code (has __code__)."};
static PyMethodDef obj_has_getattr_that_is_python_based_def = {
    "obj_has_getattr_that_is_python_based",
    obj_has_getattr_that_is_python_based, METH_O,
    "Whether `obj` has a __getattr__ written in Python."};

// ---- NewFuncWrap and Wraper

static PyObject *by_name_init(const char *qualname, PyObject *const *args,
                              Py_ssize_t nargs, PyObject *kwnames)
{
    static const tw::Param params[] = {{"self"}, {"name"}};
    PyObject *a[2];
    if (tw::parse(qualname, params, args, nargs, kwnames, a) < 0)
        return nullptr;
    if (PyObject_SetAttr(a[0], TW_STR("name"), a[1]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

static PyObject *by_name_reduce(const char *qualname, PyObject *const *args,
                                Py_ssize_t nargs, PyObject *kwnames)
{
    static const tw::Param params[] = {{"self"}};
    PyObject *a[1];
    if (tw::parse(qualname, params, args, nargs, kwnames, a) < 0)
        return nullptr;
    Ref loadclass = import_loadclass();
    if (!loadclass)
        return nullptr;
    Ref name = ATTR(a[0], "name");
    if (!name)
        return nullptr;
    Ref call_args = tw::tuple(name.get());
    if (!call_args)
        return nullptr;
    return tw::tuple(loadclass.get(), call_args.get()).release();
}

static PyObject *NewFuncWrap_init(TW_FASTCALL_ARGS(mod))
{
    (void)mod;
    return by_name_init("NewFuncWrap.__init__", args, nargs, kwnames);
}
static PyObject *NewFuncWrap_reduce(TW_FASTCALL_ARGS(mod))
{
    (void)mod;
    return by_name_reduce("NewFuncWrap.__reduce__", args, nargs, kwnames);
}
static PyObject *Wraper_init(TW_FASTCALL_ARGS(mod))
{
    (void)mod;
    return by_name_init("Wraper.__init__", args, nargs, kwnames);
}
static PyObject *Wraper_reduce(TW_FASTCALL_ARGS(mod))
{
    (void)mod;
    return by_name_reduce("Wraper.__reduce__", args, nargs, kwnames);
}

static PyMethodDef NewFuncWrap_init_def = {
    "__init__", TW_FASTCALL(NewFuncWrap_init), TW_FASTCALL_FLAGS, nullptr};
static PyMethodDef NewFuncWrap_reduce_def = {
    "__reduce__", TW_FASTCALL(NewFuncWrap_reduce), TW_FASTCALL_FLAGS, nullptr};
static PyMethodDef Wraper_init_def = {"__init__", TW_FASTCALL(Wraper_init),
                                      TW_FASTCALL_FLAGS, nullptr};
static PyMethodDef Wraper_reduce_def = {
    "__reduce__", TW_FASTCALL(Wraper_reduce), TW_FASTCALL_FLAGS, nullptr};

// ---- SafePickler

PyMethodDef SafePickler_init_def = {"__init__", TW_FASTCALL(SafePickler_init),
                                    TW_FASTCALL_FLAGS, nullptr};

// SafePickler as this module built it (a strong reference kept for the
// process), or NULL before that.
static PyObject *built_safe_pickler = nullptr;

// The class whose body defined this __init__ (what the __class__ cell of a
// Python method holds): the class in type(self).__mro__ whose __init__ it
// is, else, when the class's __init__ has been replaced and this one is
// called from the replacement, SafePickler as built. Borrowed.
static PyObject *defining_class(PyObject *self)
{
    PyObject *mro = Py_TYPE(self)->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); i++) {
        auto *klass =
            reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i));
        if (klass->tp_dict == nullptr)
            continue;
        PyObject *init =
            PyDict_GetItemWithError(klass->tp_dict, TW_STR("__init__"));
        if (init == nullptr) {
            if (PyErr_Occurred())
                return nullptr;
            continue;
        }
        if (!PyInstanceMethod_Check(init))
            continue;
        PyObject *fn = PyInstanceMethod_GET_FUNCTION(init);
        if (PyCFunction_Check(fn) &&
            reinterpret_cast<PyCFunctionObject *>(fn)->m_ml ==
                &SafePickler_init_def)
            return reinterpret_cast<PyObject *>(klass);
    }
    if (built_safe_pickler != nullptr &&
        PyType_IsSubtype(Py_TYPE(self),
                         reinterpret_cast<PyTypeObject *>(built_safe_pickler)))
        return built_safe_pickler;
    PyErr_SetString(PyExc_TypeError,
                    "super(type, obj): obj must be an instance or subtype of "
                    "type");
    return nullptr;
}

// super(klass, self).__init__(*argv[1:], **kw) in vectorcall form (`npos`
// positional arguments, then the keyword values named by `kwnames`), done
// as super does it: the first __init__ in type(self).__mro__ after `klass`,
// bound to self. A function, instance method or method descriptor is
// called with self in front (argv[0]) instead of being bound first. New
// reference.
static Ref call_next_init(PyObject *klass, PyObject *self, PyObject **argv,
                          Py_ssize_t npos, PyObject *kwnames)
{
    PyTypeObject *start = Py_TYPE(self);
    Ref mro = Ref::borrow(start->tp_mro);
    const Py_ssize_t n = mro ? PyTuple_GET_SIZE(mro.get()) : 0;
    Py_ssize_t i = 0;
    while (i < n && PyTuple_GET_ITEM(mro.get(), i) != klass)
        i++;
    for (i++; i < n; i++) {
        PyObject *dict =
            reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro.get(), i))
                ->tp_dict;
        if (dict == nullptr)
            continue;
        PyObject *found = PyDict_GetItemWithError(dict, TW_STR("__init__"));
        if (found == nullptr) {
            if (PyErr_Occurred())
                return nullptr;
            continue;
        }
        Ref descr = Ref::borrow(found);
        PyObject *fn = nullptr;
        if (PyInstanceMethod_Check(found))
            fn = PyInstanceMethod_GET_FUNCTION(found);
        else if (PyFunction_Check(found) ||
                 (Py_TYPE(found)->tp_flags & Py_TPFLAGS_METHOD_DESCRIPTOR))
            fn = found;
        if (fn != nullptr) {
            argv[0] = self;
            return Ref::steal(PyObject_Vectorcall(
                fn, argv, static_cast<size_t>(npos + 1), kwnames));
        }
        descrgetfunc get = Py_TYPE(found)->tp_descr_get;
        Ref bound = get != nullptr
                        ? Ref::steal(get(found, self,
                                         reinterpret_cast<PyObject *>(start)))
                        : std::move(descr);
        if (!bound)
            return nullptr;
        return Ref::steal(PyObject_Vectorcall(
            bound.get(), argv + 1,
            static_cast<size_t>(npos) | PY_VECTORCALL_ARGUMENTS_OFFSET,
            kwnames));
    }
    // Not found after klass: what super itself then gives.
    Ref sup =
        tw::call(reinterpret_cast<PyObject *>(&PySuper_Type), klass, self);
    Ref init = sup ? ATTR(sup.get(), "__init__") : nullptr;
    if (!init)
        return nullptr;
    return Ref::steal(PyObject_Vectorcall(
        init.get(), argv + 1,
        static_cast<size_t>(npos) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// SafePickler(object_wrapper, *args, **kwargs): every argument but
// object_wrapper goes to the base pickler unchanged.
PyObject *SafePickler_init(TW_FASTCALL_ARGS(mod))
{
    (void)mod;
    const char *fname = tw::detail::display_name("SafePickler.__init__");
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Py_ssize_t kw_at = -1;
    for (Py_ssize_t k = 0; k < nkw; k++)
        if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, k),
                                             "object_wrapper") == 0)
            kw_at = k;
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError,
                     "%s() missing %d required positional argument%s: %s",
                     fname, kw_at < 0 ? 2 : 1, kw_at < 0 ? "s" : "",
                     kw_at < 0 ? "'self' and 'object_wrapper'" : "'self'");
        return nullptr;
    }
    if (nargs >= 2 && kw_at >= 0) {
        PyErr_Format(PyExc_TypeError,
                     "%s() got multiple values for argument 'object_wrapper'",
                     fname);
        return nullptr;
    }
    if (nargs < 2 && kw_at < 0) {
        PyErr_Format(PyExc_TypeError,
                     "%s() missing 1 required positional argument: "
                     "'object_wrapper'",
                     fname);
        return nullptr;
    }
    PyObject *self = args[0];
    PyObject *object_wrapper = kw_at >= 0 ? args[nargs + kw_at] : args[1];
    if (PyObject_SetAttr(self, TW_STR("object_wrapper"), object_wrapper) < 0)
        return nullptr;

    // super().__init__(*args, **kwargs)
    PyObject *klass = defining_class(self);
    if (klass == nullptr)
        return nullptr;
    const Py_ssize_t first = kw_at >= 0 ? 1 : 2;
    const Py_ssize_t npos = nargs - first;
    const Py_ssize_t nrest = kw_at >= 0 ? nkw - 1 : nkw;
    // argv[0] is free for the receiver (vectorcall's offset slot).
    PyObject *small[8];
    std::vector<PyObject *> large;
    PyObject **argv = small;
    if (1 + npos + nrest > 8) {
        large.resize(static_cast<size_t>(1 + npos + nrest));
        argv = large.data();
    }
    for (Py_ssize_t i = 0; i < npos; i++)
        argv[1 + i] = args[first + i];
    Ref names;
    if (kw_at < 0) {
        // The keywords go on as they came.
        for (Py_ssize_t k = 0; k < nkw; k++)
            argv[1 + npos + k] = args[nargs + k];
        names = Ref::borrow(kwnames);
    } else if (nrest > 0) {
        names = Ref::steal(PyTuple_New(nrest));
        if (!names)
            return nullptr;
        Py_ssize_t n = 0;
        for (Py_ssize_t k = 0; k < nkw; k++) {
            if (k == kw_at)
                continue;
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            PyTuple_SET_ITEM(names.get(), n, Py_NewRef(key));
            argv[1 + npos + n] = args[nargs + k];
            n++;
        }
    }
    Ref done = call_next_init(klass, self, argv, npos, names.get());
    if (!done)
        return nullptr;
    // No reducer registered globally through copyreg is consulted.
    Ref table_dict = Ref::steal(PyDict_New());
    if (!table_dict ||
        PyObject_SetAttr(self, TW_STR("dispatch_table"), table_dict.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

static PyObject *SafePickler_is_subclass_for_skip(PyObject *mod, PyObject *obj)
{
    return to_bool(is_subclass_for_skip_impl(mod, obj));
}

// (self, obj_type) methods
template <int (*Impl)(PyObject *, PyObject *)>
static PyObject *type_predicate(const char *qualname, PyObject *mod,
                                PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames)
{
    static const tw::Param params[] = {{"self"}, {"obj_type"}};
    PyObject *a[2];
    if (tw::parse(qualname, params, args, nargs, kwnames, a) < 0)
        return nullptr;
    return to_bool(Impl(mod, a[1]));
}

static int is_magic_mock_type_impl(PyObject *mod, PyObject *obj_type)
{
    return IN_TABLE(mod, "specific_type_for_magic_mock", obj_type);
}

static int is_type_to_skip_impl(PyObject *mod, PyObject *obj_type)
{
    return IN_TABLE(mod, "types_to_skip", obj_type);
}

static PyObject *SafePickler_is_obj_function(TW_FASTCALL_ARGS(mod))
{
    return type_predicate<is_obj_function_impl>("SafePickler.is_obj_function",
                                                mod, args, nargs, kwnames);
}

static PyObject *
SafePickler_is_obj_type_specific_type_for_magic_mock(TW_FASTCALL_ARGS(mod))
{
    return type_predicate<is_magic_mock_type_impl>(
        "SafePickler.is_obj_type_specific_type_for_magic_mock", mod, args,
        nargs, kwnames);
}

static PyObject *SafePickler_is_obj_type_to_skip(TW_FASTCALL_ARGS(mod))
{
    return type_predicate<is_type_to_skip_impl>(
        "SafePickler.is_obj_type_to_skip", mod, args, nargs, kwnames);
}

static PyObject *
SafePickler_get_dynamic_rebuild_function(TW_FASTCALL_ARGS(mod))
{
    static const tw::Param params[] = {
        {"self"}, {"obj"}, {"obj_type", tw::Kind::Type}};
    PyObject *a[3];
    if (tw::parse("SafePickler.get_dynamic_rebuild_function", params, args,
                  nargs, kwnames, a) < 0)
        return nullptr;
    return rebuild_function_for(mod, a[1], a[2], nullptr).release();
}

static PyObject *SafePickler_is_problematic_pickle(TW_FASTCALL_ARGS(mod))
{
    static const tw::Param params[] = {{"self"}, {"obj"}};
    PyObject *a[2];
    if (tw::parse("SafePickler.is_problematic_pickle", params, args, nargs,
                  kwnames, a) < 0)
        return nullptr;
    return is_problematic_impl(mod, a[1]).release();
}

static PyObject *SafePickler_reduce_used_attrs(TW_FASTCALL_ARGS(mod))
{
    static const tw::Param params[] = {{"self"}, {"obj"}, {"attributes"}};
    PyObject *a[3];
    if (tw::parse("SafePickler.reduce_used_attrs", params, args, nargs,
                  kwnames, a) < 0)
        return nullptr;
    return reduce_used_attrs_impl(mod, a[1], a[2]).release();
}

static PyObject *SafePickler_reduce_function(TW_FASTCALL_ARGS(mod))
{
    static const tw::Param params[] = {{"self"}, {"obj"}};
    PyObject *a[2];
    if (tw::parse("SafePickler.reduce_function", params, args, nargs, kwnames,
                  a) < 0)
        return nullptr;
    return reduce_function_impl(mod, a[1]).release();
}

static PyObject *SafePickler_reducer_override(TW_FASTCALL_ARGS(mod))
{
    PyObject *self, *obj;
    if (kwnames == nullptr && nargs == 2) {
        self = args[0];
        obj = args[1];
    } else {
        static const tw::Param params[] = {{"self"}, {"obj"}};
        PyObject *a[2];
        if (tw::parse("SafePickler.reducer_override", params, args, nargs,
                      kwnames, a) < 0)
            return nullptr;
        self = a[0];
        obj = a[1];
    }
    Ref reduced = reducer_override_impl(mod, self, obj);
    if (pickler_redact::on())
        reduced = pickler_redact::reduction(self, obj, std::move(reduced));
    return reduced.release();
}

static PyMethodDef SafePickler_is_subclass_for_skip_def = {
    "is_subclass_for_skip", SafePickler_is_subclass_for_skip, METH_O,
    "Whether the class of `obj` derives from one of subclasses_to_skip "
    "without changing how it pickles."};
static PyMethodDef SafePickler_is_obj_function_def = {
    "is_obj_function", TW_FASTCALL(SafePickler_is_obj_function),
    TW_FASTCALL_FLAGS, "Whether `obj_type` is a function or method type."};
static PyMethodDef SafePickler_is_obj_type_specific_type_for_magic_mock_def = {
    "is_obj_type_specific_type_for_magic_mock",
    TW_FASTCALL(SafePickler_is_obj_type_specific_type_for_magic_mock),
    TW_FASTCALL_FLAGS,
    "Whether `obj_type` is written as an empty object wrapper."};
static PyMethodDef SafePickler_is_obj_type_to_skip_def = {
    "is_obj_type_to_skip", TW_FASTCALL(SafePickler_is_obj_type_to_skip),
    TW_FASTCALL_FLAGS, "Whether the base pickler writes `obj_type` unaided."};
static PyMethodDef SafePickler_get_dynamic_rebuild_function_def = {
    "get_dynamic_rebuild_function",
    TW_FASTCALL(SafePickler_get_dynamic_rebuild_function), TW_FASTCALL_FLAGS,
    "The dotted name of the factory that rebuilds `obj`, or None."};
static PyMethodDef SafePickler_is_problematic_pickle_def = {
    "is_problematic_pickle", TW_FASTCALL(SafePickler_is_problematic_pickle),
    TW_FASTCALL_FLAGS,
    "Whether the class of `obj` has pickle methods of its own."};
static PyMethodDef SafePickler_reduce_used_attrs_def = {
    "reduce_used_attrs", TW_FASTCALL(SafePickler_reduce_used_attrs),
    TW_FASTCALL_FLAGS,
    "(wrap_object, (cls, funcs), attrs) for the used `attributes` of `obj`."};
static PyMethodDef SafePickler_reduce_function_def = {
    "reduce_function", TW_FASTCALL(SafePickler_reduce_function),
    TW_FASTCALL_FLAGS,
    "(loadclass, (full_name,)) for a function-like `obj`, or "
    "NotImplemented."};
static PyMethodDef SafePickler_reducer_override_def = {
    "reducer_override", TW_FASTCALL(SafePickler_reducer_override),
    TW_FASTCALL_FLAGS,
    "How `obj` is written: NotImplemented or a reduce value."};

// ---- UnpicklableHelpers

static PyObject *UnpicklableHelpers_get_full_name(PyObject *mod, PyObject *obj)
{
    return full_name_impl(mod, obj).release();
}

static PyObject *UnpicklableHelpers_should_use_getattr(TW_FASTCALL_ARGS(mod))
{
    static const tw::Param params[] = {
        {"obj"}, {"obj_property"}, {"object_dir"}, {"class_dir"}};
    PyObject *a[4];
    if (tw::parse("UnpicklableHelpers.should_use_getattr", params, args, nargs,
                  kwnames, a) < 0)
        return nullptr;
    return to_bool(should_use_getattr_impl(mod, a[0], a[1], a[2], a[3]));
}

static PyObject *UnpicklableHelpers_reduce(PyObject *mod, PyObject *obj)
{
    Ref reduced = failure_reduce_impl(mod, obj);
    if (pickler_redact::on())
        reduced = pickler_redact::reduction(nullptr, obj, std::move(reduced));
    return reduced.release();
}

static PyObject *UnpicklableHelpers_special_cases(PyObject *mod, PyObject *obj)
{
    Ref name = ATTR(obj, "__name__");
    if (!name)
        return nullptr;
    Ref table_dict = GLOBAL(mod, "TYPES_TO_CONTINUE_PICKLE_ON_ERROR");
    if (!table_dict)
        return nullptr;
    Ref module = ATTR(obj, "__module__");
    if (!module)
        return nullptr;
    Ref empty = Ref::steal(PyList_New(0));
    if (!empty)
        return nullptr;
    Ref names = mapping_get(table_dict.get(), module.get(), empty.get());
    if (!names)
        return nullptr;
    return to_bool(PySequence_Contains(names.get(), name.get()));
}

static PyMethodDef UnpicklableHelpers_get_full_name_def = {
    "get_full_name", UnpicklableHelpers_get_full_name, METH_O,
    "The dotted name under which a function, method or class can be "
    "imported again."};
static PyMethodDef UnpicklableHelpers_should_use_getattr_def = {
    "should_use_getattr", TW_FASTCALL(UnpicklableHelpers_should_use_getattr),
    TW_FASTCALL_FLAGS,
    "Whether `obj_property` is read with getattr (else from the instance "
    "__dict__)."};
static PyMethodDef UnpicklableHelpers_reduce_def = {
    "__reduce__", UnpicklableHelpers_reduce, METH_O,
    "The failure reducer: (UnpicklableObject, (type text, funcs), state) "
    "for an object the base pickler could not write."};
static PyMethodDef UnpicklableHelpers_special_cases_def = {
    "special_cases", UnpicklableHelpers_special_cases, METH_O,
    "Whether pickling goes on after an error in an object of class `obj`."};

// =============================================================== module body

const char *const kSafePicklerDoc =
    "\n    This class is a pickle.Pickler that overrides the default pickle "
    "reducer.\n    ";
const char *const kUnpicklableHelpersDoc =
    "\n    This class contains functions to help with pickling objects that "
    "are generaly unpicklable.\n    Its main functionality is the failure "
    "reducer that is being called when pickle fails to pickle an object.\n"
    "    ";

// A set of the given borrowed items; new reference.
static Ref make_set(std::initializer_list<PyObject *> items)
{
    Ref s = Ref::steal(PySet_New(nullptr));
    if (!s)
        return nullptr;
    for (PyObject *item : items)
        if (item == nullptr || PySet_Add(s.get(), item) < 0)
            return nullptr;
    return s;
}

static int imports(PyObject *m)
{
    static const char *const modules[] = {"datetime", "uuid",   "pathlib",
                                          "random",   "os",     "copyreg",
                                          "types",    "inspect"};
    for (const char *name : modules)
        if (tw::import_module(m, name) < 0)
            return -1;
    if (tw::import_module(
            m, "tarnwick_collector.data_serialization.tarn_pickle") < 0)
        return -1;
    struct From {
        const char *module, *name, *asname;
    };
    static const From early[] = {
        {"collections", "OrderedDict", nullptr},
        {"collections", "defaultdict", nullptr},
        {"tarnwick_common.name_extractor", "get_function_module", nullptr},
        {"tarnwick_common.utils.object_wrapper", "ObjectWrapper", nullptr},
        {"tarnwick_common.utils.object_wrapper", "ModuleWrapper", nullptr},
        {"tarnwick_common.utils.object_wrapper", "UnpicklableObject", nullptr},
        {"tarnwick_common.utils.object_wrapper", "FunctionWrapper", nullptr},
        {"tarnwick_common.utils.object_wrapper", "SpecialWrapper", nullptr},
        {"tarnwick_common.utils.object_wrapper", "ExceptionWrapper", nullptr},
        {"tarnwick_collector.data_collection.ostrelle", "Ostrelle", nullptr},
        {"tarnwick_collector.data_serialization.utils", "MAIN_STR", nullptr},
        {"tarnwick_collector.data_serialization.utils",
         "replace__main__with_real_name", nullptr},
        {"tarnwick_collector.exceptions", "ProblematicPickleException",
         nullptr},
        {"tarnwick_collector.configs.collector_settings", "CollectorSettings",
         nullptr},
        {"enum", "Enum", nullptr},
        {"logging", "Logger", nullptr},
        {"tarnwick_collector.data_serialization.trusted", "decisions",
         "trusted_decisions"},
        {"tarnwick_collector.data_serialization.trusted", "decide",
         "trust_decision"},
        {"tarnwick_collector.data_serialization.trusted", "STDLIB_TRUSTED",
         nullptr},
        {"tarnwick_collector.data_serialization.trusted", "_sync",
         "trust_sync"},
    };
    for (const From &f : early)
        if (tw::import_from(m, f.module, f.name, f.asname) < 0)
            return -1;
    if (tw::import_module(m, "_pickle", "cPickle") < 0)
        return -1;
    // PyYAML is optional: any failure to import its compiled part leaves
    // has_yaml false.
    if (tw::set_global(m, "has_yaml", Py_True) < 0)
        return -1;
    if (tw::import_module(m, "yaml._yaml") < 0) {
        PyErr_Clear();
        if (tw::set_global(m, "has_yaml", Py_False) < 0)
            return -1;
    }
    static const From late[] = {
        {"io", "BytesIO", nullptr},
        {"typing", "Any", nullptr},
        {"typing", "Dict", nullptr},
        {"typing", "List", nullptr},
        {"typing", "Tuple", nullptr},
        {"pydantic", "BaseModel", nullptr},
        {"tarnwick_collector.data_collection.used_attributes_collector",
         "used_attributes", nullptr},
    };
    for (const From &f : late)
        if (tw::import_from(m, f.module, f.name, f.asname) < 0)
            return -1;
    return 0;
}

static int constants(PyObject *m)
{
    if (tw::set_global(m, "DOT", TW_STR(".")) < 0 ||
        tw::set_global(m, "DICT_DUNDER", TW_STR("__dict__")) < 0 ||
        tw::set_global(m, "REDUCE_ALLOWED_QUAL_NAME",
                       TW_STR("FunctionWrapper")) < 0 ||
        tw::set_global(m, "REDUCE_ALLOWED_MODULE",
                       TW_STR("tarnwick_common.utils.object_wrapper")) < 0)
        return -1;
    Ref sessions = Ref::steal(
        Py_BuildValue("{s:[s]}", "sqlalchemy.orm.session", "Session"));
    if (!sessions || tw::set_global(m, "TYPES_TO_CONTINUE_PICKLE_ON_ERROR",
                                    sessions.get()) < 0)
        return -1;
    if (tw::set_global(m, "GET_INITARGS", TW_STR("__getinitargs__")) < 0 ||
        tw::set_global(m, "GET_NEWARGS_EX", TW_STR("__getnewargs_ex__")) < 0 ||
        tw::set_global(m, "GETNEWARGS", TW_STR("__getnewargs__")) < 0 ||
        tw::set_global(m, "GETSTATE_STR", TW_STR("__getstate__")) < 0 ||
        tw::set_global(m, "REDUCE_STR", TW_STR("__reduce__")) < 0 ||
        tw::set_global(m, "INIT_STR", TW_STR("__init__")) < 0 ||
        tw::set_global(m, "FUNC_STR", TW_STR("__func__")) < 0 ||
        tw::set_global(m, "SELF_STR", TW_STR("__self__")) < 0 ||
        tw::set_global(m, "GETATTR_STR", TW_STR("__getattr__")) < 0 ||
        tw::set_global(m, "CODE_STR", TW_STR("__code__")) < 0 ||
        tw::set_global(m, "CLASS_METHOD_DESCRIPTOR",
                       TW_STR("classmethod_descriptor")) < 0 ||
        tw::set_global(m, "BUILTIN_METHOD", TW_STR("builtin_method")) < 0)
        return -1;
    Ref types = GLOBAL(m, "types");
    if (!types)
        return -1;
    Ref function_type = ATTR(types.get(), "FunctionType");
    Ref method_descriptor_type = ATTR(types.get(), "MethodDescriptorType");
    Ref method_type = ATTR(types.get(), "MethodType");
    Ref builtin_function_type = ATTR(types.get(), "BuiltinFunctionType");
    Ref builtin_method_type = ATTR(types.get(), "BuiltinMethodType");
    Ref function_types = make_set(
        {function_type.get(), method_descriptor_type.get(), method_type.get(),
         builtin_function_type.get(), builtin_method_type.get()});
    if (!function_types ||
        tw::set_global(m, "FUNCTIONS_TYPES", function_types.get()) < 0)
        return -1;
    Ref method_types =
        make_set({method_descriptor_type.get(), method_type.get(),
                  builtin_method_type.get()});
    if (!method_types ||
        tw::set_global(m, "METHOD_TYPES", method_types.get()) < 0)
        return -1;
    Ref copyreg = GLOBAL(m, "copyreg");
    Ref reconstructor =
        copyreg ? ATTR(copyreg.get(), "_reconstructor") : nullptr;
    if (!reconstructor ||
        tw::set_global(m, "_reconstructor", reconstructor.get()) < 0)
        return -1;
    Ref ostrelle = GLOBAL(m, "Ostrelle");
    Ref extract =
        ostrelle ? ATTR(ostrelle.get(), "extract_function_metadata") : nullptr;
    if (!extract || tw::set_global(m, "EXTRACT_METADATA", extract.get()) < 0)
        return -1;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero || tw::set_global(m, "FUNCTION_META_DATA_INDEX", zero.get()) < 0)
        return -1;
    return 0;
}

static int module_functions(PyObject *m)
{
    PyMethodDef *defs[] = {
        &is_classmethod_def,      &wrap_object_def,
        &wrap_module_def,         &wrap_function_def,
        &wrap_exception_def,      &get_attributes_value_def,
        &is_obj_python_based_def, &obj_has_getattr_that_is_python_based_def,
        &own_objects_written_def};
    for (PyMethodDef *def : defs)
        if (tw::add_function(m, def) < 0)
            return -1;
    return 0;
}

static int by_name_classes(PyObject *m)
{
    Ref new_func_wrap = tw::ClassBuilder(m, "NewFuncWrap", nullptr)
                            .method(&NewFuncWrap_init_def)
                            .method(&NewFuncWrap_reduce_def)
                            .build(nullptr, nullptr, "NewFuncWrap");
    if (!new_func_wrap)
        return -1;
    Ref wraper = tw::ClassBuilder(m, "Wraper", nullptr)
                     .method(&Wraper_init_def)
                     .method(&Wraper_reduce_def)
                     .build(nullptr, nullptr, "Wraper");
    return wraper ? 0 : -1;
}

// Attribute `attr` of the module-level name `name`; new reference.
#define GLOBAL_ATTR(m, name, attr)                                            \
    tw::global_attr((m), TW_STR(name), TW_STR(attr))

static int safe_pickler_class(PyObject *m)
{
    Ref wrap_object = GLOBAL(m, "wrap_object");
    if (!wrap_object)
        return -1;
    Ref refs[] = {
        GLOBAL(m, "OrderedDict"),
        GLOBAL(m, "defaultdict"),
        GLOBAL_ATTR(m, "types", "FunctionType"),
        GLOBAL_ATTR(m, "types", "MethodType"),
        GLOBAL_ATTR(m, "datetime", "datetime"),
        GLOBAL_ATTR(m, "datetime", "time"),
        GLOBAL_ATTR(m, "datetime", "date"),
        GLOBAL_ATTR(m, "datetime", "timedelta"),
        GLOBAL_ATTR(m, "datetime", "tzinfo"),
        GLOBAL_ATTR(m, "datetime", "timezone"),
        GLOBAL_ATTR(m, "random", "Random"),
        GLOBAL_ATTR(m, "random", "SystemRandom"),
        GLOBAL_ATTR(m, "pathlib", "Path"),
        GLOBAL_ATTR(m, "pathlib", "PurePath"),
        GLOBAL_ATTR(m, "pathlib", "PurePosixPath"),
        GLOBAL_ATTR(m, "pathlib", "PosixPath"),
        GLOBAL_ATTR(m, "inspect", "FullArgSpec"),
        GLOBAL_ATTR(m, "uuid", "UUID"),
    };
    for (Ref &r : refs)
        if (!r)
            return -1;
    auto T = [](PyTypeObject &t) { return reinterpret_cast<PyObject *>(&t); };
    Ref types_to_skip =
        make_set({T(PyType_Type),
                  T(PyBool_Type),
                  T(PyLong_Type),
                  T(PyFloat_Type),
                  T(PyBytes_Type),
                  T(PyUnicode_Type),
                  T(PyDict_Type),
                  T(PySet_Type),
                  T(PyFrozenSet_Type),
                  T(PyList_Type),
                  T(PyTuple_Type),
                  T(PyByteArray_Type),
                  reinterpret_cast<PyObject *>(Py_TYPE(wrap_object.get())),
                  refs[0].get(),
                  refs[1].get(),
                  refs[2].get(),
                  refs[3].get(),
                  refs[4].get(),
                  refs[5].get(),
                  refs[6].get(),
                  refs[7].get(),
                  refs[8].get(),
                  refs[9].get(),
                  refs[10].get(),
                  refs[11].get(),
                  refs[12].get(),
                  refs[13].get(),
                  refs[14].get(),
                  refs[15].get(),
                  refs[16].get(),
                  refs[17].get()});
    if (!types_to_skip)
        return -1;

    // The second table, of types whose pickling is trusted: the standard
    // library's by module and name (the rest are decided per class).
    Ref trusted_types = GLOBAL(m, "STDLIB_TRUSTED");
    if (!trusted_types)
        return -1;

    Ref enum_type = GLOBAL(m, "Enum");
    Ref base_model = GLOBAL(m, "BaseModel");
    if (!enum_type || !base_model)
        return -1;
    Ref subclasses_to_skip =
        make_set({T(PyType_Type), T(PyUnicode_Type), enum_type.get(),
                  base_model.get(), PyExc_Exception});
    if (!subclasses_to_skip)
        return -1;

    PyObject *declarative_base =
        TW_STR("sqlalchemy.orm.decl_api.DeclarativeMeta.Base");
    Ref full_names_to_run_functions = make_set({declarative_base});
    if (!full_names_to_run_functions)
        return -1;
    Ref factories = Ref::steal(PyDict_New());
    if (!factories ||
        PyDict_SetItem(factories.get(), declarative_base,
                       TW_STR("sqlalchemy.ext.declarative.declarative_base")) <
            0)
        return -1;

    Ref logger = GLOBAL(m, "Logger");
    if (!logger)
        return -1;
    Ref magic_mock_types = make_set({logger.get()});
    if (!magic_mock_types)
        return -1;
    Ref has_yaml = GLOBAL(m, "has_yaml");
    if (!has_yaml)
        return -1;
    int r = PyObject_IsTrue(has_yaml.get());
    if (r < 0)
        return -1;
    if (r) {
        Ref yaml = GLOBAL(m, "yaml");
        Ref compiled = yaml ? ATTR(yaml.get(), "_yaml") : nullptr;
        Ref mark = compiled ? ATTR(compiled.get(), "Mark") : nullptr;
        if (!mark || PySet_Add(magic_mock_types.get(), mark.get()) < 0)
            return -1;
    }

    Ref base = GLOBAL(m, "tarnwick_collector");
    for (const char *part : {"data_serialization", "tarn_pickle", "Pickler"})
        if (base)
            base = Ref::steal(PyObject_GetAttrString(base.get(), part));
    if (!base)
        return -1;
    Ref bases = tw::tuple(base.get());
    if (!bases)
        return -1;

    Ref cls =
        tw::ClassBuilder(m, "SafePickler", kSafePicklerDoc)
            .attr("types_to_skip", types_to_skip.get())
            .attr("subclasses_to_skip", subclasses_to_skip.get())
            .attr("trusted_types", trusted_types.get())
            .attr("full_names_to_run_functions",
                  full_names_to_run_functions.get())
            .attr("full_names_to_rebuild_functions_dict", factories.get())
            .attr("specific_type_for_magic_mock", magic_mock_types.get())
            .method(&SafePickler_init_def)
            .staticmethod(&SafePickler_is_subclass_for_skip_def)
            .method(&SafePickler_is_obj_function_def)
            .method(&SafePickler_is_obj_type_specific_type_for_magic_mock_def)
            .method(&SafePickler_is_obj_type_to_skip_def)
            .method(&SafePickler_get_dynamic_rebuild_function_def)
            .method(&SafePickler_is_problematic_pickle_def)
            .method(&SafePickler_reduce_used_attrs_def)
            .method(&SafePickler_reduce_function_def)
            .method(&SafePickler_reducer_override_def)
            .build(bases.get(), nullptr, "SafePickler");
    if (!cls)
        return -1;
    safe_pickler_tp_init =
        reinterpret_cast<PyTypeObject *>(cls.get())->tp_init;
    PyObject *previous = built_safe_pickler;
    built_safe_pickler = cls.new_ref();
    Py_XDECREF(previous);
    return 0;
}

static int unpicklable_helpers_class(PyObject *m)
{
    Ref cls = tw::ClassBuilder(m, "UnpicklableHelpers", kUnpicklableHelpersDoc)
                  .staticmethod(&UnpicklableHelpers_get_full_name_def)
                  .staticmethod(&UnpicklableHelpers_should_use_getattr_def)
                  .staticmethod(&UnpicklableHelpers_reduce_def)
                  .staticmethod(&UnpicklableHelpers_special_cases_def)
                  .build(nullptr, nullptr, "UnpicklableHelpers");
    return cls ? 0 : -1;
}

static int exec_module(PyObject *m)
{
    if (imports(m) < 0 || constants(m) < 0 || module_functions(m) < 0 ||
        by_name_classes(m) < 0 || safe_pickler_class(m) < 0 ||
        unpicklable_helpers_class(m) < 0 || capture_originals(m) < 0 ||
        capture_names(m) < 0)
        return -1;
    if (tw::add_function(m, &safe_pickle_def) < 0 ||
        tw::add_function(m, &safe_pickle_loads_def) < 0)
        return -1;
    return 0;
}

}  // namespace tw_pickler

TW_MODULE(pickler,
          "The safe pickler: writes any recorded value, rewriting functions, "
          "modules, exceptions, objects with known used attributes and "
          "unpicklable objects into forms that load elsewhere.",
          nullptr, tw_pickler::exec_module)
