// Function metadata extraction: classifies a callable as a user function or
// an external one, builds its metadata record, caches it by the callable's
// identity and reports external functions as metrics.
//
// The cache lives in the native object map (c_extension/map.h), which stores
// raw pointers only. This module gives every entry one reference to its
// value, and keeps its key from being freed while the entry exists, so that
// its address cannot be taken by another object meanwhile. A later store
// replaces the value. A Python function or a class written in Python is held
// by a weak reference, and its entry is taken out as it is freed (before
// its memory can be reused): held strongly, every function and class the
// program made and dropped (a closure made per call, a class made again by
// a decorator) stayed alive for the process, with whatever it held, and
// weak references to them never died. Any other callable (a builtin, a
// native type) is held strongly, and its entry is never removed.
#include <cstring>
#include <initializer_list>
#include <unordered_map>
#include <utility>

#include "tw.hpp"

#include "c_extension/map.h"
#include "ostrelle_known.hpp"

namespace {

// The built-in `open` and `input` as found when the module was imported;
// strong references for the life of the process.
PyObject *g_builtin_open = nullptr;
PyObject *g_builtin_input = nullptr;

using tw::truth;

// Truth value of an optional argument (NULL: absent, taken as `dflt`).
inline int flag(PyObject *o, bool dflt)
{
    return o == nullptr ? static_cast<int>(dflt) : truth(o);
}

// Generic attribute lookup, as object.__getattribute__ performs it: data
// descriptors of the type, then the instance __dict__, then the rest of the
// type. No __getattr__ or __getattribute__ of the object's class runs. A
// missing attribute leaves `out` empty without an exception (and, where the
// interpreter allows it, without creating one). 0, or -1 with an exception
// set for any other failure. `out` receives a new reference.
int probe(PyObject *obj, PyObject *name, tw::Ref &out)
{
#if PY_VERSION_HEX < 0x030D0000
    PyObject *r = _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
#else
    PyObject *r = PyObject_GenericGetAttr(obj, name);
#endif
    if (r == nullptr && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
    }
    out = tw::Ref::steal(r);
    return 0;
}

// `a != b` or `a == b` as a truth value: 1, 0, or -1 with an exception.
inline int compare(PyObject *a, PyObject *b, int op, tw::Ref &value)
{
    value = tw::Ref::steal(PyObject_RichCompare(a, b, op));
    if (!value)
        return -1;
    return truth(value.get());
}

// `object.__init__`; new reference.
inline tw::Ref object_init()
{
    return tw::getattr(reinterpret_cast<PyObject *>(&PyBaseObject_Type),
                       TW_STR("__init__"));
}

// The weak references of the keys held weakly (strong references to the
// weak reference objects), by key, and the keys by weak reference.
std::unordered_map<PyObject *, PyObject *> g_weak_of_key;
std::unordered_map<PyObject *, PyObject *> g_key_of_weak;
PyObject *g_forget = nullptr;  // the weak references' callback

bool held_weakly(PyObject *key)
{
    return PyFunction_Check(key) ||
           (PyType_Check(key) &&
            PyType_HasFeature(reinterpret_cast<PyTypeObject *>(key),
                              Py_TPFLAGS_HEAPTYPE));
}

// Holds a new entry's key: weakly where it can be, else strongly.
void hold_key(PyObject *key)
{
    if (g_forget != nullptr && held_weakly(key)) {
        PyObject *ref = PyWeakref_NewRef(key, g_forget);
        if (ref != nullptr) {
            try {
                g_weak_of_key.emplace(key, ref);
                g_key_of_weak.emplace(ref, key);
                return;
            } catch (...) {
                g_weak_of_key.erase(key);
                Py_DECREF(ref);
            }
        }
        PyErr_Clear();
    }
    Py_INCREF(key);
}

// The callback of a key's weak reference: its callable is being freed, and
// its entry goes with it.
PyObject *forget_key(PyObject *, PyObject *ref)
{
    auto it = g_key_of_weak.find(ref);
    if (it == g_key_of_weak.end())
        Py_RETURN_NONE;
    PyObject *key = it->second;
    g_key_of_weak.erase(it);
    g_weak_of_key.erase(key);
    PyObject *value = pop_pyobject_to_pyobject_item(key);
    ostrelle_known::forget(key);
    Py_DECREF(ref);
    Py_XDECREF(value);
    Py_RETURN_NONE;
}

PyMethodDef forget_key_def = {"forget_metadata_of", forget_key, METH_O,
                              nullptr};

// Stores `value` under the identity of `key` in the object map. The entry
// owns one reference to its value and holds its key (see above); a
// replaced value's reference is released. Borrows both arguments. 0, or -1
// with MemoryError.
int cache_store(PyObject *key, PyObject *value)
{
    PyObject *old = get_pyobject_to_pyobject_item(key);
    if (set_pyobject_to_pyobject_item(key, value) < 0) {
        PyErr_NoMemory();
        return -1;
    }
    Py_INCREF(value);
    if (old == nullptr)
        hold_key(key);  // a new entry
    else
        Py_DECREF(old);  // last, as it may run arbitrary code
    return 0;
}

// A method object that each attribute access makes afresh, binding a
// builtin method to its receiver (`[].append`, `f.write`, `(1).__add__`,
// `dict.fromkeys`). Its identity never comes back, so an entry for it could
// never be found again, and it would keep the receiver (a list, a file, a
// socket) alive for the rest of the process: such keys are not stored.
bool is_transient_binding(PyObject *obj)
{
    if (PyCFunction_Check(obj)) {
        PyObject *receiver = PyCFunction_GET_SELF(obj);
        return receiver != nullptr && !PyModule_Check(receiver);
    }
    return std::strcmp(Py_TYPE(obj)->tp_name, "method-wrapper") == 0;
}

// Calls the module-level function `name` (interned) with borrowed
// arguments; new reference.
template <typename... A>
tw::Ref call_global(PyObject *module, PyObject *name, A... args)
{
    tw::Ref fn = tw::global(module, name);
    if (!fn)
        return nullptr;
    return tw::call(fn.get(), args...);
}

// ------------------------------------------------------------ extraction

const char kExtractName[] = "extract_function_metadata";

// Parameters of extract_function_metadata: one to four, by position or by
// keyword, counts reported in the compiled-module style.
const tw::Param kExtractParams[4] = {{"function_obj"},
                                     tw::opt("is_external_call"),
                                     tw::opt("dont_cache"),
                                     tw::opt("collect_signature")};

// The record of a user function; `module_name` and `code` (the probed
// __code__) are borrowed. New reference.
tw::Ref user_metadata(PyObject *module, PyObject *function_obj,
                      PyObject *module_name, PyObject *code,
                      PyObject *collect_signature,
                      ostrelle_known::Parts *made = nullptr)
{
    tw::Ref full_name = call_global(module, TW_STR("get_function_full_name"),
                                    module_name, function_obj);
    if (!full_name)
        return nullptr;
    const int has_code = truth(code);
    if (has_code < 0)
        return nullptr;
    if (!has_code) {
        // Built-in and other native callables: nothing to hash or inspect.
        tw::Ref cls = tw::global(module, TW_STR("UserFunctionMetadata"));
        if (!cls)
            return nullptr;
        tw::Ref unhashable = tw::global(module, TW_STR("UNHASHABLE_STR"));
        if (!unhashable)
            return nullptr;
        tw::Ref unknown = tw::global(module, TW_STR("UNKNOWN_PATH_STR"));
        if (!unknown)
            return nullptr;
        return tw::call(cls.get(), module_name, full_name.get(),
                        unhashable.get(), unknown.get(), Py_None, Py_None,
                        Py_False);
    }

    // Coroutine test on the code flags.
    tw::Ref code_obj = tw::getattr(function_obj, TW_STR("__code__"));
    if (!code_obj)
        return nullptr;
    tw::Ref flags = tw::getattr(code_obj.get(), TW_STR("co_flags"));
    if (!flags)
        return nullptr;
    tw::Ref coro_flag = tw::global(module, TW_STR("CO_COROUTINE"));
    if (!coro_flag)
        return nullptr;
    tw::Ref masked =
        tw::Ref::steal(PyNumber_And(flags.get(), coro_flag.get()));
    if (!masked)
        return nullptr;
    const int is_coro = truth(masked.get());
    if (is_coro < 0)
        return nullptr;

    tw::Ref signature;
    const int want_signature = flag(collect_signature, true);
    if (want_signature < 0)
        return nullptr;
    if (want_signature) {
        signature = call_global(module, TW_STR("get_signature"), function_obj);
        if (!signature)
            return nullptr;
    } else {
        signature = tw::Ref::borrow(Py_None);
    }

    tw::Ref cls = tw::global(module, TW_STR("UserFunctionMetadata"));
    if (!cls)
        return nullptr;
    tw::Ref code_hash = call_global(module, TW_STR("get_hash"), function_obj);
    if (!code_hash)
        return nullptr;
    code_obj = tw::getattr(function_obj, TW_STR("__code__"));
    if (!code_obj)
        return nullptr;
    tw::Ref filename = tw::getattr(code_obj.get(), TW_STR("co_filename"));
    if (!filename)
        return nullptr;
    code_obj = tw::getattr(function_obj, TW_STR("__code__"));
    if (!code_obj)
        return nullptr;
    tw::Ref names = tw::getattr(code_obj.get(), TW_STR("co_names"));
    if (!names)
        return nullptr;
    if (made != nullptr) {
        made->module_name = tw::Ref::borrow(module_name);
        made->full_name = tw::Ref::borrow(full_name.get());
        made->signature = tw::Ref::borrow(signature.get());
        made->code_hash = tw::Ref::borrow(code_hash.get());
    }
    return tw::call(cls.get(), module_name, full_name.get(), code_hash.get(),
                    filename.get(), names.get(), signature.get(),
                    is_coro ? Py_True : Py_False);
}

// The record of a plain function from the parts remembered for it (see
// ostrelle_known.cpp); what else it holds is read from its code. New
// reference.
tw::Ref recalled_user_metadata(PyObject *module, PyObject *function_obj,
                               const ostrelle_known::Parts &parts)
{
    PyObject *code = PyFunction_GET_CODE(function_obj);
    tw::Ref cls = tw::global(module, TW_STR("UserFunctionMetadata"));
    if (!cls)
        return nullptr;
    tw::Ref filename = tw::getattr(code, TW_STR("co_filename"));
    if (!filename)
        return nullptr;
    tw::Ref names = tw::getattr(code, TW_STR("co_names"));
    if (!names)
        return nullptr;
    const bool is_coro =
        (reinterpret_cast<PyCodeObject *>(code)->co_flags & CO_COROUTINE) != 0;
    return tw::call(cls.get(), parts.module_name.get(), parts.full_name.get(),
                    parts.code_hash.get(), filename.get(), names.get(),
                    parts.signature.get(), is_coro ? Py_True : Py_False);
}

// Sends one ExternalFunction metric for the external record `item` when its
// full name is set. Borrows `item`. 0, or -1 with an exception set.
int report_external_function(PyObject *module, PyObject *item)
{
    tw::Ref full_name = tw::getattr(item, TW_STR("full_name"));
    if (!full_name)
        return -1;
    const int named = truth(full_name.get());
    if (named <= 0)
        return named;

    tw::Ref metric_cls = tw::global(module, TW_STR("ExternalFunction"));
    if (!metric_cls)
        return -1;
    tw::Ref settings = tw::global(module, TW_STR("CollectorSettings"));
    if (!settings)
        return -1;
    tw::Ref tenant = tw::getattr(settings.get(), TW_STR("tenant_id"));
    if (!tenant)
        return -1;
    tw::Ref project = tw::getattr(settings.get(), TW_STR("project_id"));
    if (!project)
        return -1;
    tw::Ref python = tw::getattr(settings.get(), TW_STR("python_version"));
    if (!python)
        return -1;
    tw::Ref lib = tw::getattr(settings.get(), TW_STR("lib_version"));
    if (!lib)
        return -1;
    full_name = tw::getattr(item, TW_STR("full_name"));
    if (!full_name)
        return -1;
    tw::Ref metric = tw::call(metric_cls.get(), tenant.get(), project.get(),
                              python.get(), lib.get(), full_name.get());
    if (!metric)
        return -1;

    // The channel's send_message is taken before the serializer runs.
    settings = tw::global(module, TW_STR("CollectorSettings"));
    if (!settings)
        return -1;
    tw::Ref channel =
        tw::getattr(settings.get(), TW_STR("metrics_subprocess"));
    if (!channel)
        return -1;
    tw::Ref send = tw::getattr(channel.get(), TW_STR("send_message"));
    if (!send)
        return -1;
    tw::Ref serializer = tw::getattr(settings.get(), TW_STR("serializer"));
    if (!serializer)
        return -1;
    tw::Ref data =
        tw::call_method(serializer.get(), TW_STR("serialize"), metric.get());
    if (!data)
        return -1;
    tw::Ref sent = tw::call(send.get(), data.get());
    return sent ? 0 : -1;
}

// The metadata of `function_obj` worked out afresh: a user function's
// record, or an external function's pair. `made` receives a user
// function's parts. New reference.
tw::Ref fresh_metadata(PyObject *module, PyObject *function_obj,
                       PyObject *is_external_call, PyObject *collect_signature,
                       ostrelle_known::Parts *made)
{
    tw::Ref is_method, code;
    {
        tw::Ref name = tw::global(module, TW_STR("SELF_CONST"));
        if (!name || probe(function_obj, name.get(), is_method) < 0)
            return nullptr;
        name = tw::global(module, TW_STR("CODE_DUNDER"));
        if (!name || probe(function_obj, name.get(), code) < 0)
            return nullptr;
    }
    PyObject *const is_method_arg = is_method ? is_method.get() : Py_None;
    PyObject *const code_arg = code ? code.get() : Py_None;

    tw::Ref module_name = call_global(module, TW_STR("get_function_module"),
                                      function_obj, is_method_arg);
    if (!module_name)
        return nullptr;

    const int external = flag(is_external_call, false);
    if (external < 0)
        return nullptr;
    tw::Ref result;
    if (!external) {
        result = user_metadata(module, function_obj, module_name.get(),
                               code_arg, collect_signature, made);
    } else {
        tw::Ref extract =
            tw::global_attr(module, TW_STR("Ostrelle"),
                            TW_STR("_extract_external_function_metadata"));
        if (!extract)
            return nullptr;
        result = tw::call(extract.get(), module_name.get(), function_obj);
    }
    return result;
}

// What follows the working out: the cache write and, for an external
// function, its metric. Returns `result`.
PyObject *finish_extraction(PyObject *module, PyObject *function_obj,
                            tw::Ref result, PyObject *is_external_call,
                            PyObject *dont_cache)
{
    int no_store = flag(dont_cache, false);
    if (no_store < 0)
        return nullptr;
    if (!no_store && !is_transient_binding(function_obj) &&
        cache_store(function_obj, result.get()) < 0)
        return nullptr;

    int report = flag(is_external_call, false);
    if (report < 0)
        return nullptr;
    if (report) {
        no_store = flag(dont_cache, false);
        if (no_store < 0)
            return nullptr;
        report = !no_store;
    }
    if (report) {
        tw::Ref item = tw::Ref::steal(PySequence_GetItem(result.get(), 0));
        if (!item || report_external_function(module, item.get()) < 0)
            return nullptr;
    }
    return result.release();
}

// Ostrelle.extract_function_metadata(function_obj, is_external_call=False,
// dont_cache=False, collect_signature=True). `self` is the module.
// A cached lookup (dont_cache true, entry present) costs the read of
// FUNC_STR, one generic lookup on the callable and one native map lookup,
// and allocates nothing.
PyObject *extract_function_metadata(PyObject *module, PyObject *const *args,
                                    Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[4];
    if (tw::parse(kExtractName, kExtractParams, args, nargs, kwnames, a,
                  kExtractName) < 0)
        return nullptr;
    PyObject *const is_external_call = a[1];
    PyObject *const dont_cache = a[2];
    PyObject *const collect_signature = a[3];
    tw::Ref function_obj = tw::Ref::borrow(a[0]);

    // A class stands for its own initializer, when it has one of its own
    // or inherits a custom one.
    if (PyType_Check(function_obj.get())) {
        tw::Ref init = tw::getattr(function_obj.get(), TW_STR("__init__"));
        if (!init)
            return nullptr;
        tw::Ref base_init = object_init();
        if (!base_init)
            return nullptr;
        tw::Ref ne;
        const int custom = compare(init.get(), base_init.get(), Py_NE, ne);
        if (custom < 0)
            return nullptr;
        if (custom) {
            tw::Ref name = tw::global(module, TW_STR("INIT_STR"));
            if (!name)
                return nullptr;
            function_obj = tw::Ref::steal(
                PyObject_GenericGetAttr(function_obj.get(), name.get()));
            if (!function_obj)
                return nullptr;
        }
    }

    // A bound method stands for its function (one level).
    {
        tw::Ref name = tw::global(module, TW_STR("FUNC_STR"));
        if (!name)
            return nullptr;
        tw::Ref func_tmp;
        if (probe(function_obj.get(), name.get(), func_tmp) < 0)
            return nullptr;
        if (func_tmp) {
            const int t = truth(func_tmp.get());
            if (t < 0)
                return nullptr;
            if (t)
                function_obj = std::move(func_tmp);
        }
    }

    int no_store = flag(dont_cache, false);
    if (no_store < 0)
        return nullptr;
    if (no_store) {
        PyObject *hit = get_pyobject_to_pyobject_item(function_obj.get());
        if (hit != nullptr)
            return Py_NewRef(hit);
    }

    // A plain function recorded again, as the recording core asks for it.
    const bool rememberable =
        (is_external_call == nullptr || is_external_call == Py_False) &&
        (collect_signature == nullptr || collect_signature == Py_True) &&
        ostrelle_known::rememberable(function_obj.get());
    ostrelle_known::Parts parts;
    tw::Ref result;
    if (rememberable &&
        ostrelle_known::recall(module, function_obj.get(), parts)) {
        result = recalled_user_metadata(module, function_obj.get(), parts);
        if (!result)
            return nullptr;
    } else {
        result =
            fresh_metadata(module, function_obj.get(), is_external_call,
                           collect_signature, rememberable ? &parts : nullptr);
        if (!result)
            return nullptr;
        if (rememberable && parts.full_name &&
            ostrelle_known::learn(module, function_obj.get(), parts) < 0)
            return nullptr;
    }
    return finish_extraction(module, function_obj.get(), std::move(result),
                             is_external_call, dont_cache);
}

// Ostrelle._extract_external_function_metadata(module, function_obj):
// the pair (ExternalFunctionMetadata, is_function_for_recording).
PyObject *extract_external_function_metadata(PyObject *module,
                                             PyObject *const *args,
                                             Py_ssize_t nargs,
                                             PyObject *kwnames)
{
    static const tw::Param params[] = {{"module", tw::Kind::Str},
                                       {"function_obj"}};
    PyObject *a[2];
    if (tw::parse("Ostrelle._extract_external_function_metadata", params, args,
                  nargs, kwnames, a) < 0)
        return nullptr;
    PyObject *const module_name = a[0];
    PyObject *const function_obj = a[1];

    tw::Ref full_name = tw::Ref::steal(PyUnicode_FromString(""));
    if (!full_name)
        return nullptr;

    // (not a class, or a class with a custom initializer) and (not of
    // "builtins", or the built-in open or input), with the values of
    // Python's `and` / `or`.
    tw::Ref recording;
    int is_recording;
    if (!PyType_Check(function_obj)) {
        recording = tw::Ref::borrow(Py_True);
        is_recording = 1;
    } else {
        tw::Ref init = tw::getattr(function_obj, TW_STR("__init__"));
        if (!init)
            return nullptr;
        tw::Ref base_init = object_init();
        if (!base_init)
            return nullptr;
        is_recording = compare(init.get(), base_init.get(), Py_NE, recording);
        if (is_recording < 0)
            return nullptr;
    }
    if (is_recording) {
        is_recording =
            compare(module_name, TW_STR("builtins"), Py_NE, recording);
        if (is_recording == 0)
            is_recording =
                compare(function_obj, g_builtin_open, Py_EQ, recording);
        if (is_recording == 0)
            is_recording =
                compare(function_obj, g_builtin_input, Py_EQ, recording);
        if (is_recording < 0)
            return nullptr;
    }

    if (is_recording) {
        full_name = call_global(module, TW_STR("get_function_full_name"),
                                module_name, function_obj);
        if (!full_name)
            return nullptr;
    }
    tw::Ref cls = tw::global(module, TW_STR("ExternalFunctionMetadata"));
    if (!cls)
        return nullptr;
    tw::Ref record = tw::call(cls.get(), module_name, full_name.get(),
                              Py_False, recording.get());
    if (!record)
        return nullptr;
    return tw::tuple(record.get(), recording.get()).release();
}

// get_attribute_full_name(obj): "<module>.<qualified name>" of obj's class.
PyObject *get_attribute_full_name(PyObject *, PyObject *const *args,
                                  Py_ssize_t nargs, PyObject *kwnames)
{
    static const tw::Param params[] = {{"obj"}};
    PyObject *a[1];
    if (tw::parse("get_attribute_full_name", params, args, nargs, kwnames, a) <
        0)
        return nullptr;
    tw::Ref klass = tw::class_of(a[0]);
    if (!klass)
        return nullptr;
    tw::Ref mod = tw::getattr(klass.get(), TW_STR("__module__"));
    if (!mod)
        return nullptr;
    tw::Ref qualname;
    if (probe(klass.get(), TW_STR("__qualname__"), qualname) < 0)
        return nullptr;
    int use_qualname = 0;
    if (qualname) {
        use_qualname = truth(qualname.get());
        if (use_qualname < 0)
            return nullptr;
    }
    tw::Ref name =
        tw::getattr(klass.get(), use_qualname ? TW_STR("__qualname__")
                                              : TW_STR("__name__"));
    if (!name)
        return nullptr;
    tw::Ref empty = tw::Ref::steal(PyUnicode_FromString(""));
    if (!empty)
        return nullptr;
    tw::Ref mod_text = tw::Ref::steal(PyObject_Format(mod.get(), empty.get()));
    if (!mod_text)
        return nullptr;
    tw::Ref name_text =
        tw::Ref::steal(PyObject_Format(name.get(), empty.get()));
    if (!name_text)
        return nullptr;
    return PyUnicode_FromFormat("%U.%U", mod_text.get(), name_text.get());
}

PyMethodDef extract_def = {
    "extract_function_metadata", TW_FASTCALL(extract_function_metadata),
    TW_FASTCALL_FLAGS,
    "\n        This function extracts function meta data from "
    "function_object\n"
    "        :param function_obj: callable to extract module from.\n"
    "        :type function_obj: Callable.\n"
    "        :param is_external_call: Is the callable an external function\n"
    "        :type is_external_call: bool.\n"
    "        :param dont_cache: Should the function be cached.\n"
    "        :type dont_cache: bool.\n"
    "        :param collect_signature: Should the function signature be "
    "collected.\n"
    "        :type collect_signature: bool.\n"
    "        :return: the function metadata.\n"
    "        :rtype: Any.\n"
    "        "};

PyMethodDef extract_external_def = {
    "_extract_external_function_metadata",
    TW_FASTCALL(extract_external_function_metadata), TW_FASTCALL_FLAGS,
    "\n        This function extracts metadata about an external callable.\n"
    "        Returns a tuple of function_metadata_obj and "
    "is_function_for_recording as\n"
    "        an optimization.\n"
    "        :param module: module name.\n"
    "        :type module: str.\n"
    "        :param function_obj: callable to analyze.\n"
    "        :type function_obj: Callable\n"
    "        :return: tuple of function metadata and if it's for recording.\n"
    "        :rtype: Tuple[ExternalFunctionMetadata, bool]\n"
    "        "};

PyMethodDef get_attribute_full_name_def = {
    "get_attribute_full_name", TW_FASTCALL(get_attribute_full_name),
    TW_FASTCALL_FLAGS,
    "\n    This function returns the full name of an object.\n"
    "    :param obj: object to get full name from.\n"
    "    :type obj: Any.\n"
    "    :return: The object full name.\n"
    "    :rtype: str.\n"
    "    "};

// ------------------------------------------------------------ module body

// Binds getattr(<module-level name>, attr) under `as`. 0 or -1.
int set_from_global(PyObject *m, const char *as, const char *name,
                    const char *attr)
{
    tw::Ref obj = tw::Ref::steal(PyObject_GetAttrString(m, name));
    if (!obj)
        return -1;
    tw::Ref v = tw::Ref::steal(PyObject_GetAttrString(obj.get(), attr));
    if (!v)
        return -1;
    return tw::set_global(m, as, v.get());
}

// Drops the references one cache entry owns.
void release_entry(PyObject *key, PyObject *value)
{
    auto it = g_weak_of_key.find(key);
    if (it != g_weak_of_key.end()) {
        PyObject *ref = it->second;
        g_weak_of_key.erase(it);
        g_key_of_weak.erase(ref);
        ostrelle_known::forget(key);
        Py_DECREF(ref);  // its callback is never called now
    } else {
        Py_DECREF(key);
    }
    Py_XDECREF(value);
}

// Run at interpreter exit: the cache lets go of every callable it holds.
// A cached function keeps its module's globals alive; held past exit, the
// objects there (an open file with buffered data) would never be finalized
// as they are when nothing is recorded. Entries made after this (by exit
// handlers that run later) work as before.
PyObject *release_cache_at_exit(PyObject *, PyObject *)
{
    drain_pyobject_to_pyobject_map(release_entry);
    Py_RETURN_NONE;
}

PyMethodDef release_cache_def = {"release_metadata_cache_at_exit",
                                 release_cache_at_exit, METH_NOARGS, nullptr};

// Registers release_cache_at_exit with atexit without adding a module-level
// name. 0 or -1.
int register_cache_release(PyObject *m)
{
    tw::Ref atexit = tw::Ref::steal(PyImport_ImportModule("atexit"));
    if (!atexit)
        return -1;
    tw::Ref release = tw::module_function(m, &release_cache_def);
    if (!release)
        return -1;
    return tw::call_method(atexit.get(), TW_STR("register"), release.get())
               ? 0
               : -1;
}

int ostrelle_exec(PyObject *m)
{
    if (register_cache_release(m) < 0)
        return -1;
    if (g_forget == nullptr) {
        // For the process: weak references made by any instance of the
        // module call it.
        g_forget = PyCFunction_New(&forget_key_def, nullptr);
        if (g_forget == nullptr)
            return -1;
    }
    if (tw::import_module(m, "threading") < 0 ||
        tw::import_module(m, "os") < 0 || tw::import_module(m, "inspect") < 0)
        return -1;
    for (const char *name : {"Any", "AnyStr", "Callable", "Optional", "Tuple"})
        if (tw::import_from(m, "typing", name) < 0)
            return -1;
    if (tw::import_from(m, "tarnwick_collector.configs.collector_settings",
                        "CollectorSettings") < 0 ||
        tw::import_from(m, "tarnwick_collector.data_collection.metrics",
                        "ExternalFunction") < 0 ||
        tw::import_from(m, "tarnwick_collector.data_collection.pellory",
                        "ExternalFunctionMetadata") < 0 ||
        tw::import_from(m, "tarnwick_collector.data_collection.pellory",
                        "UserFunctionMetadata") < 0 ||
        tw::import_from(m, "tarnwick_common.name_extractor",
                        "get_function_full_name") < 0 ||
        tw::import_from(m, "tarnwick_common.name_extractor",
                        "get_function_module") < 0 ||
        tw::import_from(m, "tarnwick_common.utils.hash", "get_hash") < 0 ||
        tw::import_from(m, "tarnwick_common.utils.functions_data",
                        "get_signature") < 0 ||
        ostrelle_known::take_originals(m) < 0)
        return -1;

    if (tw::set_str(m, "CODE_DUNDER", "__code__") < 0 ||
        set_from_global(m, "CO_COROUTINE", "inspect", "CO_COROUTINE") < 0 ||
        tw::set_str(m, "UNKNOWN_PATH_STR", "unknown_path") < 0 ||
        tw::set_str(m, "UNHASHABLE_STR", "unhashable") < 0 ||
        tw::set_str(m, "SELF_CONST", "__self__") < 0 ||
        tw::set_str(m, "INIT_STR", "__init__") < 0 ||
        tw::set_str(m, "FUNC_STR", "__func__") < 0 ||
        tw::set_str(m, "MAIN_STR", "__main__") < 0 ||
        set_from_global(m, "threading_get_ident", "threading", "get_ident") <
            0 ||
        tw::set_str(m, "BUILTINS", "builtins") < 0)
        return -1;
    {
        tw::Ref reported = tw::Ref::steal(PySet_New(nullptr));
        if (!reported ||
            tw::set_global(m, "reported_modules", reported.get()) < 0)
            return -1;
        tw::Ref path = tw::Ref::steal(PyImport_ImportModule("os.path"));
        if (!path)
            return -1;
        tw::Ref relpath =
            tw::Ref::steal(PyObject_GetAttrString(path.get(), "relpath"));
        if (!relpath || tw::set_global(m, "relative_path", relpath.get()) < 0)
            return -1;
    }

    {
        tw::Ref builtins = tw::Ref::steal(PyImport_ImportModule("builtins"));
        if (!builtins)
            return -1;
        tw::Ref open = tw::getattr(builtins.get(), TW_STR("open"));
        tw::Ref input = tw::getattr(builtins.get(), TW_STR("input"));
        if (!open || !input)
            return -1;
        Py_XSETREF(g_builtin_open, open.release());
        Py_XSETREF(g_builtin_input, input.release());
    }

    if (tw::add_function(m, &get_attribute_full_name_def) < 0)
        return -1;
    tw::Ref cls =
        tw::ClassBuilder(m, "Ostrelle",
                         "\n    This class is responsible for extracting "
                         "function meta data.\n    ")
            .attr_steal("FUNCTION_DATA", PyDict_New())
            .staticmethod(&extract_def)
            .staticmethod(&extract_external_def)
            .build(nullptr, nullptr, "Ostrelle");
    return cls ? 0 : -1;
}

}  // namespace

TW_MODULE(ostrelle,
          "Function metadata extraction, with an identity-keyed cache in the "
          "native object map.",
          nullptr, ostrelle_exec)
