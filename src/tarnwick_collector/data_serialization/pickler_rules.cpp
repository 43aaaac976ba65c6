// SafePickler's rules: which objects the base pickler must not meet as they
// are and what SafePickler.reducer_override writes for them instead.
//
// reducer_override runs for every object the base pickler meets, so its
// common path is kept cheap: exact-type fast paths for the atoms and
// containers first, attribute probes that report a missing attribute
// without raising, and no exception raised only to be swallowed when the
// outcome is known beforehand.
#include "pickler_internal.hpp"
#include "tw/owner.hpp"

#include <cstring>
#include <string_view>

namespace tw_pickler {

// Calls `fn(item)` for each item of `iterable` until fn returns nonzero;
// returns that value (1 or -1) or 0. Sets are walked in place, without an
// iterator object.
template <typename F> static int for_each(PyObject *iterable, F fn)
{
#if PY_VERSION_HEX < 0x030D0000
    if (PyAnySet_CheckExact(iterable)) {
        Py_ssize_t pos = 0;
        PyObject *key;
        Py_hash_t hash;
        while (_PySet_NextEntry(iterable, &pos, &key, &hash)) {
            Ref item = Ref::borrow(key);  // the callback may run user code
            int r = fn(item.get());
            if (r != 0)
                return r;
        }
        return 0;
    }
#endif
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    if (!it)
        return -1;
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item)
            return PyErr_Occurred() ? -1 : 0;
        int r = fn(item.get());
        if (r != 0)
            return r;
    }
}
// ---------------------------------------------------- module predicates

// isinstance(getattr(method, "__self__", None), type)
int is_classmethod_impl(PyObject *method)
{
    Ref self;
    int r = lookup(method, TW_STR("__self__"), &self);
    if (r < 0)
        return -1;
    if (r == 0)
        return 0;  // None is no class
    return PyObject_IsInstance(self.get(),
                               reinterpret_cast<PyObject *>(&PyType_Type));
}

// hasattr(obj, CODE_STR)
int is_obj_python_based_impl(PyObject *mod, PyObject *obj)
{
    Ref name = GLOBAL(mod, "CODE_STR");
    if (!name)
        return -1;
    return lookup(obj, name.get(), nullptr);
}

// is_obj_python_based(obj.__getattr__) when obj has a __getattr__.
int has_python_getattr_impl(PyObject *mod, PyObject *obj)
{
    Ref name = GLOBAL(mod, "GETATTR_STR");
    if (!name)
        return -1;
    int r = lookup(obj, name.get(), nullptr);
    if (r <= 0)
        return r;
    Ref getattr_fn = Ref::steal(PyObject_GetAttr(obj, name.get()));
    if (!getattr_fn)
        return -1;
    return is_obj_python_based_impl(mod, getattr_fn.get());
}

// ------------------------------------------------------ SafePickler rules

// `marker in text` for a str `text` and the str `marker` whose value is
// the ASCII `literal`: 1, 0 or -1. A string of one-byte characters is
// searched in place: an ASCII byte there is the same character.
static int str_contains(PyObject *text, PyObject *marker, const char *literal)
{
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0)
        return -1;
#endif
    if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND) {
        std::string_view chars(
            reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(text)),
            static_cast<size_t>(PyUnicode_GET_LENGTH(text)));
        return chars.find(literal) != std::string_view::npos;
    }
    Py_ssize_t at = PyUnicode_Find(text, marker, 0, PY_SSIZE_T_MAX, 1);
    return at == -2 ? -1 : at >= 0;
}

// Static types' text is "<class 'tp_name'>"; a heap class's text is
// "<class 'module.qualname'>", or "<class 'name'>" for builtins or a
// missing module. The two markers hold no quote, dot, space or bracket, so
// they occur in the text exactly when they occur in one of its parts.
static int heap_text_has_marker(PyTypeObject *t, PyObject *marker,
                                const char *literal)
{
    PyObject *module = nullptr;
    if (t->tp_dict != nullptr) {
        module = PyDict_GetItemWithError(t->tp_dict, TW_STR("__module__"));
        if (module == nullptr && PyErr_Occurred())
            PyErr_Clear();  // the text then uses tp_name, as type's repr does
    }
    if (module != nullptr && PyUnicode_Check(module) &&
        PyUnicode_CompareWithASCIIString(module, "builtins") != 0) {
        int r = str_contains(module, marker, literal);
        if (r != 0)
            return r;
        PyObject *qualname =
            reinterpret_cast<PyHeapTypeObject *>(t)->ht_qualname;
        return str_contains(qualname, marker, literal);
    }
    return std::strstr(t->tp_name, literal) != nullptr;
}

// What the text of a heap class holds, per known marker (-1: not known
// yet), remembered while the class keeps its valid version tag: its
// module, qualified name and name change only through setattr on the
// class, which takes the tag away.
struct TextMarks {
    PyTypeObject *type = nullptr;
    unsigned int tag = 0;
    signed char has[2] = {-1, -1};
};
static TextMarks text_marks[64];

// Whether the text of the class `t` holds the known marker number `which`
// (its value `marker`, the ASCII `literal`): 1, 0 or -1.
static int type_text_has_marker(PyTypeObject *t, int which, PyObject *marker,
                                const char *literal)
{
    if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE))
        return std::strstr(t->tp_name, literal) != nullptr;
    if (!TW_VALID_VERSION_TAG(t))
        return heap_text_has_marker(t, marker, literal);
    TextMarks &m = text_marks[(reinterpret_cast<uintptr_t>(t) >> 4) % 64];
    if (m.type != t || m.tag != t->tp_version_tag) {
        m.type = t;
        m.tag = t->tp_version_tag;
        m.has[0] = m.has[1] = -1;
    }
    if (m.has[which] < 0) {
        int r = heap_text_has_marker(t, marker, literal);
        if (r < 0)
            return -1;
        m.has[which] = static_cast<signed char>(r);
    }
    return m.has[which];
}

// `marker in str(obj_type)`; `known` is the marker number `which` as the
// module defines it, whose value is the ASCII `literal`: while the module
// keeps that value and the metaclass keeps type's own str() and repr(),
// the parts of the text are read in place.
static int type_text_contains(PyObject *obj_type, PyObject *marker, int which,
                              PyObject *known, const char *literal)
{
    if (marker == known && PyType_Check(obj_type) &&
        Py_TYPE(obj_type)->tp_str == PyType_Type.tp_str &&
        Py_TYPE(obj_type)->tp_repr == PyType_Type.tp_repr)
        return type_text_has_marker(reinterpret_cast<PyTypeObject *>(obj_type),
                                    which, marker, literal);
    Ref text = Ref::steal(PyObject_Str(obj_type));
    if (!text)
        return -1;
    return PySequence_Contains(text.get(), marker);
}

int is_obj_function_impl(PyObject *mod, PyObject *obj_type)
{
    Ref function_types = GLOBAL(mod, "FUNCTIONS_TYPES");
    if (!function_types)
        return -1;
    int r = contains(function_types.get(), obj_type);
    if (r != 0)
        return r;
    Ref marker = GLOBAL(mod, "CLASS_METHOD_DESCRIPTOR");
    if (!marker)
        return -1;
    r = type_text_contains(obj_type, marker.get(), 0,
                           TW_STR("classmethod_descriptor"),
                           "classmethod_descriptor");
    if (r != 0)
        return r;
    marker = GLOBAL(mod, "BUILTIN_METHOD");
    if (!marker)
        return -1;
    return type_text_contains(obj_type, marker.get(), 1,
                              TW_STR("builtin_method"), "builtin_method");
}

// The factory name for `obj`, or None:
// SafePickler.full_names_to_rebuild_functions_dict.get(full_name) when
// "<type module>.<type name>.<obj name>" is in full_names_to_run_functions.
// `obj_name` is obj.__name__ when the caller has read it already, else
// NULL. New reference.
Ref rebuild_function_for(PyObject *mod, PyObject *obj, PyObject *obj_type,
                         PyObject *obj_name_in)
{
    Ref dot = GLOBAL(mod, "DOT");
    if (!dot)
        return nullptr;
    Ref type_module = ATTR(obj_type, "__module__");
    if (!type_module)
        return nullptr;
    Ref type_name = ATTR(obj_type, "__name__");
    if (!type_name)
        return nullptr;
    Ref obj_name = obj_name_in != nullptr ? Ref::borrow(obj_name_in)
                                          : ATTR(obj, "__name__");
    if (!obj_name)
        return nullptr;
    Ref parts = Ref::steal(PyList_New(3));
    if (!parts)
        return nullptr;
    PyList_SET_ITEM(parts.get(), 0, type_module.release());
    PyList_SET_ITEM(parts.get(), 1, type_name.release());
    PyList_SET_ITEM(parts.get(), 2, obj_name.release());
    Ref full_name =
        PyUnicode_CheckExact(dot.get())
            ? Ref::steal(PyUnicode_Join(dot.get(), parts.get()))
            : tw::call_method(dot.get(), TW_STR("join"), parts.get());
    if (!full_name)
        return nullptr;
    int r = IN_TABLE(mod, "full_names_to_run_functions", full_name.get());
    if (r < 0)
        return nullptr;
    if (!r)
        return Ref::borrow(Py_None);
    Ref factories = TABLE(mod, "full_names_to_rebuild_functions_dict");
    if (!factories)
        return nullptr;
    return mapping_get(factories.get(), full_name.get(), nullptr);
}

using tw::class_of;

// Whether getattr(a, name) and getattr(b, name) are surely one object, for
// two classes whose metaclass is `type` (which has no data descriptor of
// that name): both find the same function or method descriptor in their
// MROs, and either reads as itself on a class. False says nothing.
static bool same_class_attr(PyObject *a, PyObject *b, PyObject *name)
{
    if (!Py_IS_TYPE(a, &PyType_Type) || !Py_IS_TYPE(b, &PyType_Type) ||
        tw::has_data_descriptor(&PyType_Type, name))
        return false;
    PyObject *found =
        _PyType_Lookup(reinterpret_cast<PyTypeObject *>(a), name);
    if (found == nullptr ||
        found != _PyType_Lookup(reinterpret_cast<PyTypeObject *>(b), name))
        return false;
    return Py_IS_TYPE(found, &PyMethodDescr_Type) ||
           Py_IS_TYPE(found, &PyFunction_Type);
}

// cls.__qualname__ == allowed: 1, 0 or -1. A heap class whose metaclass is
// `type` and whose qualified name is a plain str compared with a plain
// str needs no lookup.
static int qualname_equals(PyObject *cls, PyObject *allowed)
{
    if (Py_IS_TYPE(cls, &PyType_Type) && PyUnicode_CheckExact(allowed) &&
        (reinterpret_cast<PyTypeObject *>(cls)->tp_flags &
         Py_TPFLAGS_HEAPTYPE)) {
        PyObject *qualname =
            reinterpret_cast<PyHeapTypeObject *>(cls)->ht_qualname;
        if (PyUnicode_CheckExact(qualname))
            return PyUnicode_Compare(qualname, allowed) == 0;
    }
    Ref qualname = ATTR(cls, "__qualname__");
    if (!qualname)
        return -1;
    return compare(qualname.get(), allowed, Py_EQ);
}

// Whether `obj` has the pickle method `name` beyond what `base` gives it:
// it has the attribute, and `base` has none or its class's is another one.
// A str subclass thus does not count str's own __getnewargs__, which every
// str has. 1, 0 or -1.
static int adds_pickle_method(PyObject *obj, PyObject *cls, PyObject *base,
                              PyObject *name)
{
    int r = lookup(obj, name, nullptr);
    if (r <= 0)
        return r;
    Ref theirs;
    r = lookup(base, name, &theirs);
    if (r <= 0)
        return r < 0 ? -1 : 1;
    Ref mine;
    r = lookup(cls, name, &mine);
    if (r <= 0)
        return r < 0 ? -1 : 1;  // only the object itself has it
    r = compare(mine.get(), theirs.get(), Py_EQ);
    return r < 0 ? -1 : !r;
}

// A base class with a __reduce__ or __reduce_ex__ of its own (Enum,
// Exception): its instances pickle through it, and the copy protocol's
// __getnewargs_ex__, __getnewargs__ and __getinitargs__ are never asked. A
// class that keeps those reducers pickles as the base does whatever a
// mixed-in type brings (int's __getnewargs__ in an IntEnum). Classes
// themselves (the base `type`) are always written by reference: what
// hasattr finds on a class for those names are its instances' methods.
static bool reduces_by_itself(PyObject *base)
{
    if (!PyType_Check(base))
        return false;
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(base);
    PyObject *const methods[] = {TW_STR("__reduce__"),
                                 TW_STR("__reduce_ex__")};
    for (PyObject *method : methods) {
        PyObject *found = _PyType_Lookup(type, method);
        if (found != nullptr &&
            found != _PyType_Lookup(&PyBaseObject_Type, method))
            return true;
    }
    return false;
}

// First rule of is_subclass_for_skip: the class pickles as `base` does.
#if PY_VERSION_HEX < 0x030B0000
// Whether `f` is enum._reduce_ex_by_name: before 3.11 Enum._convert_ gives
// the enums it makes (socket.AddressFamily, signal.Signals) that reduction,
// which pickles a member by its global name, as 3.11+ Enum does for them.
static bool enum_reduce_by_name(PyObject *f)
{
    PyObject *enum_module = PyImport_GetModule(TW_STR("enum"));
    if (enum_module == nullptr) {
        PyErr_Clear();
        return false;
    }
    PyObject *by_name =
        PyObject_GetAttrString(enum_module, "_reduce_ex_by_name");
    Py_DECREF(enum_module);
    if (by_name == nullptr) {
        PyErr_Clear();
        return false;
    }
    const bool same = by_name == f;
    Py_DECREF(by_name);
    return same;
}
#endif

static int same_reduce_as(PyObject *mod, PyObject *obj, PyObject *base)
{
    Ref cls = class_of(obj);
    if (!cls)
        return -1;
    PyObject *const methods[] = {TW_STR("__reduce__"),
                                 TW_STR("__reduce_ex__")};
    for (PyObject *method : methods) {
        if (same_class_attr(cls.get(), base, method))
            continue;
        Ref mine = Ref::steal(PyObject_GetAttr(cls.get(), method));
        if (!mine)
            return -1;
        Ref theirs = Ref::steal(PyObject_GetAttr(base, method));
        if (!theirs)
            return -1;
        int r = compare(mine.get(), theirs.get(), Py_EQ);
#if PY_VERSION_HEX < 0x030B0000
        if (r == 0 && enum_reduce_by_name(mine.get()))
            continue;
#endif
        if (r <= 0)
            return r;
    }
    if (base == reinterpret_cast<PyObject *>(&PyType_Type) ||
        reduces_by_itself(base))
        return 1;
    PyObject *const names[] = {TW_STR("GET_NEWARGS_EX"), TW_STR("GETNEWARGS"),
                               TW_STR("GET_INITARGS")};
    for (PyObject *global_name : names) {
        Ref name = tw::global(mod, global_name);
        if (!name)
            return -1;
        int r = adds_pickle_method(obj, cls.get(), base, name.get());
        if (r != 0)
            return r < 0 ? -1 : 0;
    }
    return 1;
}

// Second rule: both have a __getstate__ of their own and it is the same.
static int same_getstate_as(PyObject *mod, PyObject *obj, PyObject *base)
{
    Ref name = GLOBAL(mod, "GETSTATE_STR");
    if (!name)
        return -1;
    int r = has_attr_38(obj, name.get());
    if (r <= 0)
        return r;
    r = has_attr_38(base, name.get());
    if (r <= 0)
        return r;
    Ref cls = ATTR(obj, "__class__");
    if (!cls)
        return -1;
    Ref mine = ATTR(cls.get(), "__getstate__");
    if (!mine)
        return -1;
    Ref theirs = ATTR(base, "__getstate__");
    if (!theirs)
        return -1;
    return compare(mine.get(), theirs.get(), Py_EQ);
}

int is_subclass_for_skip_impl(PyObject *mod, PyObject *obj)
{
    Ref bases = TABLE(mod, "subclasses_to_skip");
    if (!bases)
        return -1;
    return for_each(bases.get(), [&](PyObject *base) -> int {
        // type(obj) afresh for each base: the tests of a base may run code
        // that changes the object's class.
        Ref obj_type = Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(obj)));
        int r = is_subclass(obj_type.get(), base);
        if (r <= 0)
            return r;
        r = same_reduce_as(mod, obj, base);
        if (r != 0)
            return r;
        return same_getstate_as(mod, obj, base);
    });
}

// The first true one of the pickle-method tests, or False; new reference.
Ref is_problematic_impl(PyObject *mod, PyObject *obj)
{
    Ref cls = class_of(obj);
    if (!cls)
        return nullptr;
    Ref allowed = GLOBAL(mod, "REDUCE_ALLOWED_QUAL_NAME");
    if (!allowed)
        return nullptr;
    int r = qualname_equals(cls.get(), allowed.get());
    if (r < 0)
        return nullptr;
    if (r) {
        Ref module = ATTR(obj, "__module__");
        if (!module)
            return nullptr;
        allowed = GLOBAL(mod, "REDUCE_ALLOWED_MODULE");
        if (!allowed)
            return nullptr;
        r = compare(module.get(), allowed.get(), Py_EQ);
        if (r < 0)
            return nullptr;
        if (r)
            return Ref::borrow(Py_False);
    }
    PyObject *object_type = reinterpret_cast<PyObject *>(&PyBaseObject_Type);
    PyObject *const methods[] = {TW_STR("__reduce__"),
                                 TW_STR("__reduce_ex__")};
    for (PyObject *method : methods) {
        if (same_class_attr(cls.get(), object_type, method))
            continue;
        Ref mine = Ref::steal(PyObject_GetAttr(cls.get(), method));
        if (!mine)
            return nullptr;
        Ref base = Ref::steal(PyObject_GetAttr(object_type, method));
        if (!base)
            return nullptr;
        Ref differs =
            Ref::steal(PyObject_RichCompare(mine.get(), base.get(), Py_NE));
        if (!differs)
            return nullptr;
        r = PyObject_IsTrue(differs.get());
        if (r < 0)
            return nullptr;
        if (r)
            return differs;
    }
    // lookup() of a name held by a module global (-1 when the global can't
    // be read); each global is read only when the ones before are absent.
    auto defines = [obj](const Ref &method) {
        return method ? lookup(obj, method.get(), nullptr) : -1;
    };
    r = defines(GLOBAL(mod, "GET_NEWARGS_EX"));
    if (r == 0)
        r = defines(GLOBAL(mod, "GETNEWARGS"));
    if (r == 0)
        r = defines(GLOBAL(mod, "GET_INITARGS"));
    if (r != 0)
        return r < 0 ? nullptr : Ref::borrow(Py_True);
    Ref name = GLOBAL(mod, "GETSTATE_STR");
    if (!name)
        return nullptr;
    r = has_attr_38(obj, name.get());
    if (r < 0)
        return nullptr;
    return Ref::borrow(r ? Py_True : Py_False);
}

// (loadclass, (full_name,)) for a function-like object, or NotImplemented
// for the callables that reduce values name; new reference.
Ref reduce_function_impl(PyObject *mod, PyObject *obj)
{
    Ref loadclass = import_loadclass();
    if (!loadclass)
        return nullptr;
    int r = compare(obj, loadclass.get(), Py_NE);
    if (r <= 0)
        return r < 0 ? nullptr : Ref::borrow(Py_NotImplemented);
    PyObject *const exempt[] = {
        TW_STR("Wraper"), TW_STR("NewFuncWrap"), TW_STR("_reconstructor"),
        TW_STR("wrap_object"), TW_STR("UnpicklableObject")};
    for (PyObject *name : exempt) {
        Ref callable = tw::global(mod, name);
        if (!callable)
            return nullptr;
        r = compare(obj, callable.get(), Py_NE);
        if (r <= 0)
            return r < 0 ? nullptr : Ref::borrow(Py_NotImplemented);
    }
    Ref name = full_name_impl(mod, obj);
    if (!name)
        return nullptr;
    Ref args = tw::tuple(name.get());
    if (!args)
        return nullptr;
    return tw::tuple(loadclass.get(), args.get());
}

// (wrap_object, (obj_type, funcs), attrs); new reference.
Ref reduce_used_attrs_impl(PyObject *mod, PyObject *obj, PyObject *attributes,
                           bool recorded)
{
    Ref obj_type = Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(obj)));
    Ref types = GLOBAL(mod, "types");
    if (!types)
        return nullptr;
    Ref module_type = MODULE_ATTR(types.get(), "ModuleType");
    if (!module_type)
        return nullptr;
    int r = compare(obj_type.get(), module_type.get(), Py_EQ);
    if (r < 0)
        return nullptr;
    if (r) {
        obj_type = GLOBAL(mod, "ModuleWrapper");
        if (!obj_type)
            return nullptr;
    }
    Ref value = attributes_value_impl(mod, obj, attributes, recorded);
    if (!value)
        return nullptr;
    Ref attrs, funcs;
    if (unpack2(value.get(), attrs, funcs) < 0)
        return nullptr;
    Ref wrap_object = GLOBAL(mod, "wrap_object");
    if (!wrap_object)
        return nullptr;
    Ref args = tw::tuple(obj_type.get(), funcs.get());
    if (!args)
        return nullptr;
    return tw::tuple(wrap_object.get(), args.get(), attrs.get());
}

// obj.__dict__ read without making one the object does not have yet: for
// an object whose __dict__ is the generic one kept at its dict offset
// (exceptions), a new empty dict stands for an absent one, so the
// program's object is left as it was (an exception given a __dict__
// pickles differently from then on). Other objects are asked as usual.
// New reference.
Ref existing_dict(PyObject *obj)
{
    PyTypeObject *tp = Py_TYPE(obj);
    bool own_slot =
        tp->tp_getattro == PyObject_GenericGetAttr && tp->tp_dictoffset > 0;
#ifdef Py_TPFLAGS_MANAGED_DICT
    own_slot = own_slot && !(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT);
#endif
    if (own_slot) {
        PyObject *descr = _PyType_Lookup(tp, TW_STR("__dict__"));
        if (descr != nullptr && Py_IS_TYPE(descr, &PyGetSetDescr_Type) &&
            reinterpret_cast<PyGetSetDescrObject *>(descr)->d_getset->get ==
                PyObject_GenericGetDict) {
            PyObject **slot = _PyObject_GetDictPtr(obj);
            if (slot != nullptr && *slot == nullptr)
                return Ref::steal(PyDict_New());
        }
    }
    return ATTR(obj, "__dict__");
}

// (wrap_exception, (full_name, obj.args, obj.__dict__)); new reference.
static Ref reduce_exception(PyObject *mod, PyObject *obj)
{
    Ref name = full_name_impl(mod, obj);
    if (!name)
        return nullptr;
    Ref wrap_exception = GLOBAL(mod, "wrap_exception");
    if (!wrap_exception)
        return nullptr;
    Ref args = ATTR(obj, "args");
    if (!args)
        return nullptr;
    Ref dict = existing_dict(obj);
    if (!dict)
        return nullptr;
    Ref call_args = tw::tuple(name.get(), args.get(), dict.get());
    if (!call_args)
        return nullptr;
    return tw::tuple(wrap_exception.get(), call_args.get());
}

// Whether the module that defined the heap type `tp` (its __module__, a
// str) starts with `prefix`.
static bool defined_under(PyTypeObject *tp, const char *prefix)
{
    if (!(tp->tp_flags & Py_TPFLAGS_HEAPTYPE) || tp->tp_dict == nullptr)
        return false;
    PyObject *module =
        PyDict_GetItemWithError(tp->tp_dict, TW_STR("__module__"));
    if (module == nullptr || !PyUnicode_Check(module)) {
        PyErr_Clear();
        return false;
    }
    Py_ssize_t n = 0;
    const char *text = PyUnicode_AsUTF8AndSize(module, &n);
    if (text == nullptr) {
        PyErr_Clear();
        return false;
    }
    const size_t length = std::strlen(prefix);
    return static_cast<size_t>(n) >= length &&
           std::strncmp(text, prefix, length) == 0;
}

// Whether instances of `tp` are the recorder's own (its records, metrics and
// placeholders): never written as "used attributes only", whatever entry
// their address has.
bool recorders_own(PyTypeObject *tp)
{
    return defined_under(tp, "tarnwick_collector.") ||
           defined_under(tp, "tarnwick_common.");
}

bool recorders_record(PyTypeObject *tp)
{
    return defined_under(tp, "tarnwick_collector.data_collection.");
}

// The exact types whose instances are atoms or plain containers: they are
// no function types, have no __name__ and print as plain builtins, so
// only the skip table can decide for them.
static bool is_plain_builtin(PyTypeObject *t)
{
    return t == &PyDict_Type || t == &PyList_Type || t == &PyTuple_Type ||
           t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type ||
           t == &PyBool_Type || t == &PyBytes_Type || t == &PySet_Type ||
           t == &PyFrozenSet_Type || t == &PyByteArray_Type;
}

// For a class whose metaclass is `type`, named `name`: 1 when no entry of
// SafePickler.full_names_to_run_functions can equal its rebuild name
// "builtins.type.<name>" (DOT being "."), told without making that text:
// the table is a set of plain strs and none has that text's length.
// 0 when not told here, -1 on an error.
static int surely_not_run_class(PyObject *mod, PyObject *name)
{
#if PY_VERSION_HEX < 0x030D0000
    if (!PyUnicode_CheckExact(name))
        return 0;
    Ref dot = GLOBAL(mod, "DOT");
    if (!dot)
        return -1;
    if (dot.get() != TW_STR("."))
        return 0;
    Ref names = TABLE(mod, "full_names_to_run_functions");
    if (!names)
        return -1;
    if (!PyAnySet_CheckExact(names.get()))
        return 0;
    const Py_ssize_t length =
        static_cast<Py_ssize_t>(std::strlen("builtins.type.")) +
        PyUnicode_GET_LENGTH(name);
    Py_ssize_t pos = 0;
    PyObject *key;
    Py_hash_t hash;
    while (_PySet_NextEntry(names.get(), &pos, &key, &hash))
        if (!PyUnicode_CheckExact(key) || PyUnicode_GET_LENGTH(key) == length)
            return 0;
    return 1;
#else
    (void)mod;
    (void)name;
    return 0;
#endif
}

// obj.__name__ as `lookup` answers it, except that the __getattr__ of
// obj's class, if it has one, is not run: that hook is always the
// program's own code (the interpreter's types define none), and a proxy's
// hook may forward the question, load what it stands for or count it.
// Such an object has no __name__ of its own in all but name, and it is
// refused a few steps later anyway.
static int read_name_quietly(PyObject *obj, Ref *out)
{
    if (_PyType_Lookup(Py_TYPE(obj), TW_STR("__getattr__")) == nullptr)
        return lookup(obj, TW_STR("__name__"), out);
    PyObject *v = PyObject_GenericGetAttr(obj, TW_STR("__name__"));
    if (v == nullptr) {
        out->reset();
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    out->reset(v);
    return 1;
}

// The rebuild step of reducer_override: a reduce value, None to go on, or
// NULL with an exception that must propagate. Everything an Exception is
// raised for here is swallowed, as the step's try does.
static Ref rebuild_step(PyObject *mod, PyObject *obj, PyObject *obj_type)
{
    // get_dynamic_rebuild_function accepts only an obj_type of exactly type
    // `type`; for a class made by another metaclass it raises a TypeError
    // before reading anything, which the step swallows.
    if (!Py_IS_TYPE(obj_type, &PyType_Type))
        return Ref::borrow(Py_None);
    Ref obj_name;
    int r = read_name_quietly(obj, &obj_name);
    if (r == 0)
        return Ref::borrow(Py_None);
    if (r > 0 && obj_type == reinterpret_cast<PyObject *>(&PyType_Type)) {
        r = surely_not_run_class(mod, obj_name.get());
        if (r > 0)
            return Ref::borrow(Py_None);
        if (r == 0)
            r = 1;
    }
    if (r > 0) {
        Ref factory = rebuild_function_for(mod, obj, obj_type, obj_name.get());
        if (factory) {
            r = PyObject_IsTrue(factory.get());
            if (r == 0)
                return Ref::borrow(Py_None);
            if (r > 0) {
                Ref wrap_function = GLOBAL(mod, "wrap_function");
                Ref args = wrap_function ? tw::tuple(factory.get()) : nullptr;
                Ref reduced = args ? tw::tuple(wrap_function.get(), args.get())
                                   : nullptr;
                if (reduced)
                    return reduced;
            }
        }
    }
    if (!swallow())
        return nullptr;
    return Ref::borrow(Py_None);
}

// isinstance(obj, cls): 1, 0 or -1. For an exact class `cls` that the
// object's type does not derive from, isinstance also asks the object's
// __class__; when that is object's own descriptor under the generic
// lookup, it is the object's type, and the answer is no without asking.
static int is_instance(PyObject *obj, PyObject *cls)
{
    if (PyType_CheckExact(cls) &&
        !PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject *>(cls)) &&
        tw::class_is_type(obj))
        return 0;
    return PyObject_IsInstance(obj, cls);
}

// Whether `holder` (a decision's key in trusted.decisions) is `tp`: the
// type itself, or a live weak reference to it. Never fails.
static bool holds_type(PyObject *holder, PyObject *tp)
{
    if (holder == tp)
        return true;
    if (!PyWeakref_CheckRef(holder))
        return false;
    PyObject *target = nullptr;
    if (PyWeakref_GetRef(holder, &target) < 0) {
        PyErr_Clear();
        return false;
    }
    Py_XDECREF(target);  // only compared
    return target == tp;
}

// trusted.decide(obj_type), read from the decisions it keeps when it has
// made one for this type already; new reference, or NULL.
static Ref trust_decision(PyObject *mod, PyObject *obj_type)
{
    // The user's trusted names are read at each use, as every setting is:
    // when the settings hold other names than the decisions were made
    // for, trusted forgets them first.
    static PyObject *names_seen = nullptr;  // strong
    Ref settings = GLOBAL(mod, "CollectorSettings");
    Ref names =
        settings ? CLASS_ATTR(settings.get(), "trusted_types") : nullptr;
    if (!names)
        return nullptr;
    if (names.get() != names_seen) {
        Ref sync = GLOBAL(mod, "trust_sync");
        if (!sync || !tw::call(sync.get(), names.get()))
            return nullptr;
        Py_XSETREF(names_seen, Py_NewRef(names.get()));
    }
    Ref decisions = GLOBAL(mod, "trusted_decisions");
    if (!decisions)
        return nullptr;
    if (PyDict_CheckExact(decisions.get())) {
        Ref key = Ref::steal(PyLong_FromVoidPtr(obj_type));
        if (!key)
            return nullptr;
        PyObject *entry = PyDict_GetItemWithError(decisions.get(), key.get());
        if (entry == nullptr && PyErr_Occurred())
            return nullptr;
        if (entry != nullptr && PyTuple_CheckExact(entry) &&
            PyTuple_GET_SIZE(entry) == 2 &&
            holds_type(PyTuple_GET_ITEM(entry, 0), obj_type))
            return Ref::borrow(PyTuple_GET_ITEM(entry, 1));
    }
    Ref decide = GLOBAL(mod, "trust_decision");
    if (!decide)
        return nullptr;
    return tw::call(decide.get(), obj_type);
}

// The trusted-types step: NotImplemented when the object's type is trusted
// (stock pickling), the reduce value of the reducer copyreg registers for
// it, None when it is not trusted, or NULL with an exception that must
// propagate. A decision or reducer that fails counts as not trusted.
static Ref trusted_step(PyObject *mod, PyObject *obj, PyObject *obj_type)
{
    Ref decision = trust_decision(mod, obj_type);
    if (!decision)
        return swallow() ? Ref::borrow(Py_None) : nullptr;
    if (decision.get() == Py_False)
        return Ref::borrow(Py_None);
    if (decision.get() == Py_True)
        return Ref::borrow(Py_NotImplemented);
    Ref reduced = tw::call(decision.get(), obj);
    if (!reduced)
        return swallow() ? Ref::borrow(Py_None) : nullptr;
    return reduced;
}

Ref reducer_override_impl(PyObject *mod, PyObject *self, PyObject *obj)
{
    // Held: code run by the steps may change obj's class and so free the
    // one read here, which the later steps still use.
    PyTypeObject *tp = Py_TYPE(obj);
    Ref obj_type_ref = Ref::borrow(reinterpret_cast<PyObject *>(tp));
    PyObject *obj_type = obj_type_ref.get();

    if (is_plain_builtin(tp)) {
        int r = IN_TABLE(mod, "types_to_skip", obj_type);
        if (r < 0)
            return nullptr;
        if (r)
            return Ref::borrow(Py_NotImplemented);
    }

    // Functions, methods and builtins: by name.
    int r = is_obj_function_impl(mod, obj_type);
    if (r < 0)
        return nullptr;
    if (r)
        return reduce_function_impl(mod, obj);

    // Classes rebuilt by a factory function.
    Ref rebuilt = rebuild_step(mod, obj, obj_type);
    if (!rebuilt)
        return nullptr;
    if (rebuilt.get() != Py_None)
        return rebuilt;

    // Types the base pickler writes unaided.
    r = IN_TABLE(mod, "types_to_skip", obj_type);
    if (r == 0)
        r = is_subclass_for_skip_impl(mod, obj);
    if (r < 0)
        return nullptr;
    if (r)
        return Ref::borrow(Py_NotImplemented);
    Ref trusted = trusted_step(mod, obj, obj_type);
    if (!trusted)
        return nullptr;
    if (trusted.get() != Py_None)
        return trusted;

    // Exceptions as wrappers, when they can be named.
    if (PyType_IsSubtype(tp,
                         reinterpret_cast<PyTypeObject *>(PyExc_Exception))) {
        Ref reduced = reduce_exception(mod, obj);
        if (reduced)
            return reduced;
        if (!swallow())
            return nullptr;
    }

    // Modules by name.
    Ref types = GLOBAL(mod, "types");
    if (!types)
        return nullptr;
    Ref module_type = MODULE_ATTR(types.get(), "ModuleType");
    if (!module_type)
        return nullptr;
    r = is_instance(obj, module_type.get());
    if (r < 0)
        return nullptr;
    if (r) {
        Ref wrap_module = GLOBAL(mod, "wrap_module");
        if (!wrap_module)
            return nullptr;
        Ref name = ATTR(obj, "__name__");
        if (!name)
            return nullptr;
        Ref args = tw::tuple(name.get());
        if (!args)
            return nullptr;
        return tw::tuple(wrap_module.get(), args.get());
    }

    // Objects whose used attributes the recording core collected.
    Ref used_attributes = GLOBAL(mod, "used_attributes");
    if (!used_attributes)
        return nullptr;
    Ref used_attrs;
    if (PyDict_CheckExact(used_attributes.get()) &&
        PyDict_GET_SIZE(used_attributes.get()) == 0) {
        used_attrs = Ref::borrow(Py_None);
    } else {
        Ref key = Ref::steal(PyLong_FromVoidPtr(obj));
        if (!key)
            return nullptr;
        used_attrs = mapping_get(used_attributes.get(), key.get(), nullptr);
        if (!used_attrs)
            return nullptr;
        // An entry made for an earlier object at this address is dropped,
        // and the recorder's own records and metrics are written whole.
        if (used_attrs.get() != Py_None &&
            (!tw::entry_applies(used_attrs.get(), obj) || recorders_own(tp))) {
            if (!tw::entry_applies(used_attrs.get(), obj) &&
                PyDict_CheckExact(used_attributes.get()) &&
                PyDict_DelItem(used_attributes.get(), key.get()) < 0)
                PyErr_Clear();
            used_attrs = Ref::borrow(Py_None);
        }
    }
    if (used_attrs.get() != Py_None) {
        Ref object_wrapper = ATTR(self, "object_wrapper");
        if (!object_wrapper)
            return nullptr;
        r = PyObject_IsTrue(object_wrapper.get());
        if (r > 0)
            r = PyObject_IsInstance(
                obj, reinterpret_cast<PyObject *>(&PyType_Type));
        else if (r == 0)
            r = 1;  // not reduced: same as being a class
        if (r < 0)
            return nullptr;
        if (r == 0)
            return reduce_used_attrs_impl(mod, obj, used_attrs.get(), true);
    }

    // Library types written as an empty object wrapper of their type.
    r = IN_TABLE(mod, "specific_type_for_magic_mock", obj_type);
    if (r < 0)
        return nullptr;
    if (r) {
        Ref wrap_object = GLOBAL(mod, "wrap_object");
        if (!wrap_object)
            return nullptr;
        Ref funcs = Ref::steal(PyDict_New());
        Ref state = Ref::steal(PyDict_New());
        if (!funcs || !state)
            return nullptr;
        Ref args = tw::tuple(obj_type, funcs.get());
        if (!args)
            return nullptr;
        return tw::tuple(wrap_object.get(), args.get(), state.get());
    }

    r = has_python_getattr_impl(mod, obj);
    if (r < 0)
        return nullptr;
    if (r)
        return raise_problematic(
            mod, obj_type,
            " cant be pickled because it has __getattr__ method");

    Ref problematic = is_problematic_impl(mod, obj);
    if (!problematic)
        return nullptr;
    r = PyObject_IsTrue(problematic.get());
    if (r < 0)
        return nullptr;
    // Ellipsis and NotImplemented reduce to their own names and are written
    // by reference like any builtin; refusing them would refuse every value
    // that holds one (a frame's builtins, an index with `...`).
    if (r && obj != Py_Ellipsis && obj != Py_NotImplemented)
        return raise_problematic(
            mod, obj_type,
            " cant be pickled because it has one of the pickle methods");
    return Ref::borrow(Py_NotImplemented);
}

}  // namespace tw_pickler
