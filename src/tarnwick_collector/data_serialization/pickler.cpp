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
// reducer_override runs for every object the base pickler meets, so its
// common path is kept cheap: exact-type fast paths for the atoms and
// containers first, attribute probes that report a missing attribute
// without raising, and no exception raised only to be swallowed when the
// outcome is known beforehand.
//
// Module-level data (tables, constants, imported names) is read from the
// module namespace at each use; calls between this module's own functions
// and methods go straight to their C++ bodies.
#include "tw.hpp"
#include "tw/owner.hpp"
#include "tw/tarn_pickle_api.hpp"
#include "pickler_redact.hpp"

#include <frameobject.h>

#include <cstdint>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using tw::Ref;

// One call site's memory of a module-level name: the value it found and
// the version tag the module namespace had then.
struct GlobalSlot {
    uint64_t version = 0;
    PyObject *value = nullptr;  // borrowed from the namespace
};

// Module-level name `name` of `mod` as a lookup now would find it; new
// reference. Every change of a dict gives it a new version tag, unique in
// the process, so while the namespace keeps the tag it had when `slot` was
// filled the value in `slot` is exactly what the lookup would return. The
// hot path thus reads a dozen names without a dozen dict lookups. (Only
// interpreters that keep the tag; later ones look the name up each time.)
Ref cached_global(PyObject *mod, PyObject *name, GlobalSlot &slot)
{
#if PY_VERSION_HEX < 0x030C0000
    if (name == nullptr)
        return nullptr;
    PyObject *dict = PyModule_GetDict(mod);
    const uint64_t version = reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
    if (slot.value != nullptr && slot.version == version)
        return Ref::borrow(slot.value);
    PyObject *value = PyDict_GetItemWithError(dict, name);
    if (value != nullptr) {
        slot.version = version;
        slot.value = value;
        return Ref::borrow(value);
    }
    if (PyErr_Occurred())
        return nullptr;
#else
    (void)slot;
#endif
    return tw::global(mod, name);
}

// Module-level name of `mod`, as a lookup at this use finds it; new
// reference.
#define GLOBAL(mod, name)                                                     \
    ([&]() -> Ref {                                                           \
        static GlobalSlot slot_;                                              \
        return cached_global((mod), TW_STR(name), slot_);                     \
    }())
// getattr(obj, "name"); new reference.
#define ATTR(obj, name) tw::getattr((obj), TW_STR(name))

// Whether the type `meta` has a data descriptor named `name`, which would
// take an attribute lookup on its instances over their own namespaces.
bool has_data_descriptor(PyTypeObject *meta, PyObject *name)
{
    PyObject *d = _PyType_Lookup(meta, name);
    return d != nullptr && Py_TYPE(d)->tp_descr_set != nullptr;
}

// One call site's memory of an attribute of a class or a module: the
// object it was read from, the version tag that told the value could not
// have changed, and the value (borrowed from a namespace that holds it).
struct AttrSlot {
    PyObject *owner = nullptr;
    uint64_t version = 0;
    PyObject *value = nullptr;
};

// getattr(cls, name) for a class; new reference. For a class whose
// metaclass is `type` the lookup is the class's own MRO walk (type has no
// data descriptor of that name), and every change of the namespace of the
// class or of one of its bases takes its valid version tag away; tags are
// never reused. While the class keeps the tag the slot was filled under,
// the value found then is the one a lookup finds now.
Ref cached_class_attr(PyObject *cls, PyObject *name, AttrSlot &slot)
{
    if (name == nullptr)
        return nullptr;
    if (Py_IS_TYPE(cls, &PyType_Type)) {
        auto *t = reinterpret_cast<PyTypeObject *>(cls);
        PyObject *value = nullptr;
        if ((t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) &&
            slot.owner == cls && slot.version == t->tp_version_tag) {
            value = slot.value;
        } else {
            value = _PyType_Lookup(t, name);
            if (value == nullptr ||
                (Py_TYPE(value)->tp_descr_get != nullptr &&
                 !Py_IS_TYPE(value, &PyStaticMethod_Type)) ||
                has_data_descriptor(&PyType_Type, name) ||
                !(t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG))
                return tw::getattr(cls, name);
            slot.owner = cls;
            slot.version = t->tp_version_tag;
            slot.value = value;
        }
        // Read on the class, a staticmethod gives the callable it wraps.
        if (Py_IS_TYPE(value, &PyStaticMethod_Type))
            return Ref::steal(
                Py_TYPE(value)->tp_descr_get(value, nullptr, cls));
        return Ref::borrow(value);
    }
    return tw::getattr(cls, name);
}

// getattr(module, name) for a module object; new reference. For a plain
// module that is the entry of its namespace (the module type has no data
// descriptor of that name), remembered like a module-level name while the
// namespace keeps its version tag.
Ref cached_module_attr(PyObject *module, PyObject *name, AttrSlot &slot)
{
#if PY_VERSION_HEX < 0x030C0000
    if (name == nullptr)
        return nullptr;
    if (Py_IS_TYPE(module, &PyModule_Type)) {
        PyObject *dict = PyModule_GetDict(module);
        const uint64_t version =
            reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
        if (slot.owner == module && slot.version == version)
            return Ref::borrow(slot.value);
        if (!has_data_descriptor(&PyModule_Type, name)) {
            PyObject *value = PyDict_GetItemWithError(dict, name);
            if (value != nullptr) {
                slot.owner = module;
                slot.version = version;
                slot.value = value;
                return Ref::borrow(value);
            }
            if (PyErr_Occurred())
                return nullptr;
        }
    }
#else
    (void)slot;
#endif
    return tw::getattr(module, name);
}

// getattr(cls, "name") of a class, remembered at this call site; new
// reference.
#define CLASS_ATTR(cls, name)                                                 \
    ([&]() -> Ref {                                                           \
        static AttrSlot slot_;                                                \
        return cached_class_attr((cls), TW_STR(name), slot_);                 \
    }())
// getattr(module, "name") of a module, remembered at this call site; new
// reference.
#define MODULE_ATTR(module, name)                                             \
    ([&]() -> Ref {                                                           \
        static AttrSlot slot_;                                                \
        return cached_module_attr((module), TW_STR(name), slot_);             \
    }())

// ------------------------------------------------------------ small helpers

// getattr(obj, name) where AttributeError means "missing": 1 with the value
// in *out (new reference; `out` may be NULL), 0 when missing, -1 on any
// other error. No exception object is made for a plain missing attribute.
// Whether `obj` surely has no attribute `name` (an interned str) by the
// generic attribute lookup its class keeps: nothing of that name along its
// class's MRO and nothing in its __dict__, so the lookup would find
// nothing and run no code. False says nothing.
bool surely_absent(PyObject *obj, PyObject *name)
{
    PyTypeObject *tp = Py_TYPE(obj);
    if (tp->tp_getattro != PyObject_GenericGetAttr ||
        !PyUnicode_CheckExact(name) || _PyType_Lookup(tp, name) != nullptr)
        return false;
    bool has_dict = tp->tp_dictoffset != 0;
#ifdef Py_TPFLAGS_MANAGED_DICT
    has_dict = has_dict || (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT);
#endif
    if (!has_dict)
        return true;
    PyObject *dict;
    Ref held;
    if (tp->tp_dictoffset > 0) {
        // A __dict__ of its own slot (an exception's) is read where it
        // is: asking for it would make one where there is none yet, and
        // an exception given a __dict__ pickles differently from then on.
        PyObject **slot = _PyObject_GetDictPtr(obj);
        if (slot == nullptr)
            return false;
        if (*slot == nullptr)
            return true;
        held = Ref::borrow(*slot);
        dict = held.get();
    } else {
        // Pickling the object reads its __dict__ in any case, so it is
        // made here at no extra cost when the instance has kept its values
        // apart.
        held = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
        if (!held) {
            PyErr_Clear();
            return false;
        }
        dict = held.get();
    }
    const int in = PyDict_Contains(dict, name);
    if (in < 0) {
        PyErr_Clear();
        return false;
    }
    return in == 0;
}

int lookup(PyObject *obj, PyObject *name, Ref *out)
{
    if (surely_absent(obj, name)) {
        if (out != nullptr)
            out->reset();
        return 0;
    }
    PyObject *v = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    int r = PyObject_GetOptionalAttr(obj, name, &v);
#else
    int r = _PyObject_LookupAttr(obj, name, &v);
#endif
    if (out != nullptr)
        out->reset(v);
    else
        Py_XDECREF(v);
    return r;
}

// `item in container` by the container's own rules: 1, 0 or -1.
int contains(PyObject *container, PyObject *item)
{
    if (PyAnySet_CheckExact(container))
        return PySet_Contains(container, item);
    if (PyDict_CheckExact(container))
        return PyDict_Contains(container, item);
    return PySequence_Contains(container, item);
}

// The truth of `a <op> b` as the operator evaluates it: 1, 0 or -1.
int compare(PyObject *a, PyObject *b, int op)
{
    Ref r = Ref::steal(PyObject_RichCompare(a, b, op));
    if (!r)
        return -1;
    if (r.get() == Py_True)
        return 1;
    if (r.get() == Py_False)
        return 0;
    return PyObject_IsTrue(r.get());
}

// mapping.get(key) or mapping.get(key, dflt); new reference.
Ref mapping_get(PyObject *mapping, PyObject *key, PyObject *dflt)
{
    if (PyDict_CheckExact(mapping)) {
        PyObject *v = PyDict_GetItemWithError(mapping, key);
        if (v != nullptr)
            return Ref::borrow(v);
        if (PyErr_Occurred())
            return nullptr;
        return Ref::borrow(dflt != nullptr ? dflt : Py_None);
    }
    if (dflt != nullptr)
        return tw::call_method(mapping, TW_STR("get"), key, dflt);
    return tw::call_method(mapping, TW_STR("get"), key);
}

// `except Exception: pass`: clears the pending exception and returns true
// when it derives from Exception; leaves it pending and returns false
// otherwise (KeyboardInterrupt and the like go on).
bool swallow()
{
    if (tw::containable()) {
        PyErr_Clear();
        return true;
    }
    return false;
}

// 1/0 to a new reference to True/False, -1 to NULL.
PyObject *to_bool(int r)
{
    if (r < 0)
        return nullptr;
    return PyBool_FromLong(r);
}

// `from <dotted> import <name>` done now; `dotted` is the module's name as
// an interned str. A module already in sys.modules is taken from there, as
// the import statement does; otherwise it is imported. New reference.
Ref from_import(PyObject *dotted, PyObject *name, PyObject *fromlist)
{
    if (dotted == nullptr || fromlist == nullptr)
        return nullptr;
    Ref m = Ref::steal(PyImport_GetModule(dotted));
    if (!m || m.get() == Py_None) {
        if (PyErr_Occurred())
            return nullptr;
        m = Ref::steal(PyImport_ImportModuleLevelObject(
            dotted, nullptr, nullptr, fromlist, 0));
        if (!m)
            return nullptr;
    }
    Ref v;
    int r = lookup(m.get(), name, &v);
    if (r < 0)
        return nullptr;
    if (r == 0) {
        PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U'",
                     name, dotted);
        return nullptr;
    }
    return v;
}

// jsonpickle.unpickler.loadclass, imported at each use; new reference.
Ref import_loadclass()
{
    return from_import(TW_STR("jsonpickle.unpickler"), TW_STR("loadclass"),
                       TW_NAMES("loadclass"));
}

// Splits a 2-item iterable like `a, b = value`; new references in a and b.
int unpack2(PyObject *value, Ref &a, Ref &b)
{
    if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 2) {
        a = Ref::borrow(PyTuple_GET_ITEM(value, 0));
        b = Ref::borrow(PyTuple_GET_ITEM(value, 1));
        return 0;
    }
    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it)
        return -1;
    Ref items[3];
    Py_ssize_t n = 0;
    for (; n < 3; n++) {
        items[n] = Ref::steal(PyIter_Next(it.get()));
        if (!items[n])
            break;
    }
    if (PyErr_Occurred())
        return -1;
    if (n < 2) {
        PyErr_Format(PyExc_ValueError,
                     "not enough values to unpack (expected 2, got %zd)", n);
        return -1;
    }
    if (n > 2) {
        PyErr_SetString(PyExc_ValueError,
                        "too many values to unpack (expected 2)");
        return -1;
    }
    a = std::move(items[0]);
    b = std::move(items[1]);
    return 0;
}

// Raises the module's ProblematicPickleException with one message made of
// "'", str(obj_type) and `tail`; always returns NULL.
Ref raise_problematic(PyObject *mod, PyObject *obj_type,
                            const char *tail)
{
    Ref exc_type = GLOBAL(mod, "ProblematicPickleException");
    if (!exc_type)
        return nullptr;
    Ref text = Ref::steal(PyObject_Str(obj_type));
    if (!text)
        return nullptr;
    Ref msg = Ref::steal(PyUnicode_FromFormat("'%U'%s", text.get(), tail));
    if (!msg)
        return nullptr;
    Ref exc = tw::call(exc_type.get(), msg.get());
    if (!exc)
        return nullptr;
    PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.get())),
                    exc.get());
    return nullptr;
}

// ---------------------------------------------- __getstate__ as in 3.8

// The __getstate__ that `object` itself gives every object from 3.11 on
// (borrowed, lives for the process), or NULL on older interpreters.
PyObject *default_getstate()
{
#if PY_VERSION_HEX >= 0x030B0000
    static PyObject *d =
        _PyType_Lookup(&PyBaseObject_Type, TW_STR("__getstate__"));
    return d;
#else
    return nullptr;
#endif
}

// Whether `value`, read as `obj.__getstate__`, is object's default one:
// the descriptor itself (read on a class) or it bound to `obj`.
bool is_default_getstate(PyObject *obj, PyObject *value, PyObject *dflt)
{
    if (value == dflt)
        return true;
    if (!PyCFunction_Check(value) || PyCFunction_GET_SELF(value) != obj)
        return false;
    auto *descr = reinterpret_cast<PyMethodDescrObject *>(dflt);
    return reinterpret_cast<PyCFunctionObject *>(value)->m_ml ==
           descr->d_method;
}

// hasattr(obj, name) with the meaning it had before every object got a
// default __getstate__: when `name` is "__getstate__", only one defined by
// the object's class or a base other than `object` (or set on the object
// itself) counts. 1, 0 or -1.
int has_attr_38(PyObject *obj, PyObject *name)
{
    PyObject *dflt = default_getstate();
    if (dflt == nullptr || !PyUnicode_Check(name) ||
        PyUnicode_CompareWithASCIIString(name, "__getstate__") != 0)
        return lookup(obj, name, nullptr);
    PyTypeObject *tp = Py_TYPE(obj);
    if (tp->tp_getattro == PyObject_GenericGetAttr &&
        _PyType_Lookup(tp, name) == dflt) {
        // Only an attribute of the instance itself would be found.
        bool has_dict = tp->tp_dictoffset != 0;
#ifdef Py_TPFLAGS_MANAGED_DICT
        has_dict = has_dict || (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT);
#endif
        if (!has_dict)
            return 0;
        if (tp->tp_dictoffset > 0) {
            // A __dict__ of its own slot (an exception's) is read where
            // it is, never made: see surely_absent.
            PyObject **slot = _PyObject_GetDictPtr(obj);
            if (slot == nullptr || *slot == nullptr)
                return 0;
            Ref held = Ref::borrow(*slot);
            return PyDict_Contains(held.get(), name);
        }
        Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
        if (!dict) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                return -1;
            PyErr_Clear();
            return 0;
        }
        return PyDict_Contains(dict.get(), name);
    }
    Ref value;
    int r = lookup(obj, name, &value);
    if (r <= 0)
        return r;
    return is_default_getstate(obj, value.get(), dflt) ? 0 : 1;
}

// issubclass(derived, cls) for a class `derived`. When the metaclass of
// `cls` keeps type's own __subclasscheck__ this is the walk of the MRO that
// the interpreter would end up doing; other checks (ABCMeta) are called.
int is_subclass(PyObject *derived, PyObject *cls)
{
    if (PyType_Check(cls)) {
        static PyObject *type_check =
            _PyType_Lookup(&PyType_Type, TW_STR("__subclasscheck__"));
        if (Py_IS_TYPE(cls, &PyType_Type) ||
            _PyType_Lookup(Py_TYPE(cls), TW_STR("__subclasscheck__")) ==
                type_check)
            return PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(derived),
                                    reinterpret_cast<PyTypeObject *>(cls));
    }
    return PyObject_IsSubclass(derived, cls);
}

// Calls `fn(item)` for each item of `iterable` until fn returns nonzero;
// returns that value (1 or -1) or 0. Sets are walked in place, without an
// iterator object.
template <typename F>
int for_each(PyObject *iterable, F fn)
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

// A class table of SafePickler, read through the class; new reference.
#define TABLE(mod, name)                                                      \
    ([&]() -> Ref {                                                           \
        Ref cls_ = GLOBAL((mod), "SafePickler");                              \
        if (!cls_)                                                            \
            return nullptr;                                                   \
        return CLASS_ATTR(cls_.get(), name);                                  \
    }())

// `item in table`: 1, 0 or -1; consumes the table reference.
int in_table(Ref table, PyObject *item)
{
    if (!table)
        return -1;
    return contains(table.get(), item);
}
// `item in SafePickler.<name>`: 1, 0 or -1.
#define IN_TABLE(mod, name, item) in_table(TABLE((mod), name), (item))

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

// ------------------------------------------------------------- wrappers

int store_value(PyObject *mod, PyObject *attribute, PyObject *value_obj,
                PyObject *data, PyObject *funcs);

// attributes_data[attribute] or funcs[attribute] for one used attribute;
// 0 (stored, or left out when missing), or -1 with the exception pending
// (the caller skips the attribute on AttributeError).
int store_attribute(PyObject *mod, PyObject *obj, PyObject *attribute,
                    PyObject *data, PyObject *funcs)
{
    Ref value;
    int r = lookup(obj, attribute, &value);
    if (r <= 0)
        return r;  // a missing attribute is left out
    return store_value(mod, attribute, value.get(), data, funcs);
}

// ------------------------------------------- attributes read without code

// How an attribute of an object can be read without running code of the
// program: found (the value), missing, or computed (a property, a
// descriptor or __getattr__ written in Python, an own __getattribute__).
enum StaticRead { SR_MISSING = 0, SR_FOUND = 1, SR_COMPUTED = 2 };

// Descriptors whose __get__ is the interpreter's own and runs no code of
// the program: slots, native getters, functions, class and static methods,
// native methods.
bool native_descriptor(PyTypeObject *t)
{
    return t == &PyMemberDescr_Type || t == &PyGetSetDescr_Type ||
           t == &PyFunction_Type || t == &PyClassMethod_Type ||
           t == &PyStaticMethod_Type || t == &PyMethodDescr_Type ||
           t == &PyClassMethodDescr_Type || t == &PyWrapperDescr_Type ||
           t == &PyCFunction_Type;
}

// Whether the class looks attributes up the generic way (a Python
// __getattr__ may still follow a failed lookup).
bool generic_lookup(PyTypeObject *tp)
{
    getattrofunc f = tp->tp_getattro;
    if (f == PyObject_GenericGetAttr || f == PyModule_Type.tp_getattro)
        return true;
    PyObject *own = _PyType_Lookup(tp, TW_STR("__getattribute__"));
    return own != nullptr &&
           (own == _PyType_Lookup(&PyBaseObject_Type,
                                  TW_STR("__getattribute__")) ||
            own == _PyType_Lookup(&PyModule_Type, TW_STR("__getattribute__")));
}

// descr.__get__(obj, type(obj)) of a native descriptor.
int native_get(PyObject *descr, PyObject *obj, Ref &out, const char **kind)
{
    PyObject *v = Py_TYPE(descr)->tp_descr_get(
        descr, obj, reinterpret_cast<PyObject *>(Py_TYPE(obj)));
    if (v == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        *kind = nullptr;
        return SR_MISSING;
    }
    out.reset(v);
    return SR_FOUND;
}

// obj.<name> as the generic lookup finds it, when that runs no code of the
// program: SR_FOUND with the value in `out`, SR_MISSING, or SR_COMPUTED
// with what would run in `kind`; -1 with an exception.
int static_attr(PyObject *obj, PyObject *name, Ref &out, const char **kind)
{
    PyTypeObject *tp = Py_TYPE(obj);
    *kind = "__getattribute__";
    if (!PyUnicode_CheckExact(name) || !generic_lookup(tp))
        return SR_COMPUTED;
    Ref descr = Ref::borrow(_PyType_Lookup(tp, name));
    PyTypeObject *dt = descr ? Py_TYPE(descr.get()) : nullptr;
    *kind = dt == &PyProperty_Type ? "property" : "descriptor";
    if (dt != nullptr && dt->tp_descr_get != nullptr &&
        dt->tp_descr_set != nullptr) {
        if (!native_descriptor(dt))
            return SR_COMPUTED;
        return native_get(descr.get(), obj, out, kind);
    }
    bool has_dict = tp->tp_dictoffset != 0;
#ifdef Py_TPFLAGS_MANAGED_DICT
    has_dict = has_dict || (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT);
#endif
    if (has_dict) {
        PyObject *dict_descr = _PyType_Lookup(tp, TW_STR("__dict__"));
        if (dict_descr != nullptr && !native_descriptor(Py_TYPE(dict_descr)))
            return SR_COMPUTED;
        Ref dict = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
        if (!dict)
            PyErr_Clear();
        else if (PyDict_Check(dict.get())) {
            PyObject *v = PyDict_GetItemWithError(dict.get(), name);
            if (v != nullptr) {
                out = Ref::borrow(v);
                return SR_FOUND;
            }
            if (PyErr_Occurred())
                return -1;
        }
    }
    if (dt != nullptr) {
        if (dt->tp_descr_get == nullptr) {
            out = Ref::borrow(descr.get());
            return SR_FOUND;
        }
        if (!native_descriptor(dt))
            return SR_COMPUTED;
        return native_get(descr.get(), obj, out, kind);
    }
    *kind = "__getattr__";
    if (PyModule_Check(obj)) {
        PyObject *md = PyModule_GetDict(obj);
        if (md != nullptr && PyDict_GetItemWithError(md, TW_STR("__getattr__")))
            return SR_COMPUTED;
        if (PyErr_Occurred())
            return -1;
    }
    if (_PyType_Lookup(tp, TW_STR("__getattr__")) != nullptr)
        return SR_COMPUTED;
    *kind = nullptr;
    return SR_MISSING;
}

// What stands for a computed attribute: the value the program itself last
// loaded under that name, when the entry kept it (an atom), else a
// ComputedAttribute marker naming what computes it. New reference.
Ref computed_value(PyObject *attributes, PyObject *attribute, const char *kind)
{
    if (!PyAnySet_CheckExact(attributes) && !PyList_CheckExact(attributes)) {
        PyObject *kept = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
        int r = PyObject_GetOptionalAttr(attributes, TW_STR("kept"), &kept);
#else
        int r = _PyObject_LookupAttr(attributes, TW_STR("kept"), &kept);
#endif
        if (r < 0)
            PyErr_Clear();
        Ref held = Ref::steal(kept);
        if (held && PyDict_CheckExact(held.get())) {
            PyObject *v = PyDict_GetItemWithError(held.get(), attribute);
            if (v != nullptr)
                return Ref::borrow(v);
            PyErr_Clear();
        }
    }
    static PyObject *marker_cls = nullptr;
    if (marker_cls == nullptr) {
        Ref module = Ref::steal(
            PyImport_ImportModule("tarnwick_common.utils.object_wrapper"));
        if (!module)
            return nullptr;
        marker_cls = PyObject_GetAttrString(module.get(), "ComputedAttribute");
        if (marker_cls == nullptr)
            return nullptr;
    }
    Ref text = Ref::steal(PyUnicode_FromString(kind ? kind : "descriptor"));
    if (!text)
        return nullptr;
    return Ref::steal(PyObject_CallOneArg(marker_cls, text.get()));
}

// store_attribute for the recorder's own writing of a used global: the
// attribute is read only when that runs no code of the program; a computed
// one is written as computed_value gives it.
int store_recorded_attribute(PyObject *mod, PyObject *obj, PyObject *attributes,
                             PyObject *attribute, PyObject *data,
                             PyObject *funcs)
{
    Ref value;
    const char *kind = nullptr;
    int r = static_attr(obj, attribute, value, &kind);
    if (r < 0 || r == SR_MISSING)
        return r;
    if (r == SR_COMPUTED) {
        Ref stand_in = computed_value(attributes, attribute, kind);
        if (!stand_in)
            return -1;
        return PyDict_SetItem(data, attribute, stand_in.get());
    }
    return store_value(mod, attribute, value.get(), data, funcs);
}

// attributes_data[attribute] or funcs[attribute] for the value of one used
// attribute; 0 or -1.
int store_value(PyObject *mod, PyObject *attribute, PyObject *value_obj,
                PyObject *data, PyObject *funcs)
{
    Ref value = Ref::borrow(value_obj);
    int r;
    // Held: the metaclass's hash and comparisons may change value's class.
    Ref held_type =
        Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(value.get())));
    PyObject *value_type = held_type.get();
    Ref method_types = GLOBAL(mod, "METHOD_TYPES");
    if (!method_types)
        return -1;
    r = contains(method_types.get(), value_type);
    if (r < 0)
        return -1;
    if (r) {
        r = is_classmethod_impl(value.get());
        if (r < 0)
            return -1;
        if (!r)
            return PyDict_SetItem(funcs, attribute, value.get());
    }
    Ref os = GLOBAL(mod, "os");
    if (!os)
        return -1;
    Ref environ_type = MODULE_ATTR(os.get(), "_Environ");
    if (!environ_type)
        return -1;
    r = compare(value_type, environ_type.get(), Py_EQ);
    if (r < 0)
        return -1;
    if (r) {
        Ref copy = tw::call(reinterpret_cast<PyObject *>(&PyDict_Type),
                            value.get());
        if (!copy)
            return -1;
        return PyDict_SetItem(data, attribute, copy.get());
    }
    return PyDict_SetItem(data, attribute, value.get());
}

// (attributes_data, funcs) of get_attributes_value; new reference.
// `recorded`: the recorder writes a used global, whose computed attributes
// are not read again (store_recorded_attribute).
Ref attributes_value_impl(PyObject *mod, PyObject *obj, PyObject *attributes,
                          bool recorded = false)
{
    Ref data = Ref::steal(PyDict_New());
    Ref funcs = Ref::steal(PyDict_New());
    if (!data || !funcs)
        return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(attributes));
    if (!it)
        return nullptr;
    for (;;) {
        Ref attribute = Ref::steal(PyIter_Next(it.get()));
        if (!attribute) {
            if (PyErr_Occurred())
                return nullptr;
            break;
        }
        if ((recorded ? store_recorded_attribute(mod, obj, attributes,
                                                 attribute.get(), data.get(),
                                                 funcs.get())
                      : store_attribute(mod, obj, attribute.get(), data.get(),
                                        funcs.get())) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                return nullptr;
            PyErr_Clear();
        }
    }
    return tw::tuple(data.get(), funcs.get());
}

// --------------------------------------------------------- naming

// Names of main-script functions already worked out. os.path.relpath of two
// absolute paths and replace__main__with_real_name are pure functions of
// their arguments, so while both are the ones the module started with, the
// name for (name under __main__, file, project root) is the one found
// before; a relative path would depend on the working directory.
struct MainNames {
    PyObject *relpath = nullptr;  // os.path.relpath when the module was built
    PyObject *replace = nullptr;  // replace__main__with_real_name then
    PyObject *known = nullptr;    // (name, full_path, project_path) -> name
};
MainNames main_names;
constexpr Py_ssize_t kMainNamesKept = 1024;

bool absolute_path(PyObject *path)
{
#ifdef _WIN32
    (void)path;
    return false;
#else
    return PyUnicode_CheckExact(path) && PyUnicode_GET_LENGTH(path) > 0 &&
           PyUnicode_READ_CHAR(path, 0) == '/';
#endif
}

bool main_name_is_pure(PyObject *relpath, PyObject *replace, PyObject *name,
                       PyObject *full_path, PyObject *project_path)
{
    return main_names.known != nullptr && relpath == main_names.relpath &&
           replace == main_names.replace && PyUnicode_CheckExact(name) &&
           absolute_path(full_path) && absolute_path(project_path);
}

// Names of builtin methods bound to an instance (`f.read`, `lock.acquire`):
// a failure reducer's placeholder holds dozens of them, made afresh by each
// attribute read. Such a method object is never in the metadata cache (it
// is never stored there), and its name is made from its receiver's class
// (`__module__`, `__qualname__`) and its method definition alone, by the
// functions the pickler, the metadata module and the name extractor hold
// in their namespaces. So while the class keeps its version tag (every
// assignment to a class attribute takes it away) and the three namespaces
// keep theirs, the name found before is the one the steps would find now.
// Interpreters without namespace version tags take the steps each time.
struct BoundNameKey {
    PyTypeObject *type;  // only compared with: the tag tells a reused address
    PyMethodDef *def;
    bool operator==(const BoundNameKey &o) const
    {
        return type == o.type && def == o.def;
    }
};
struct BoundNameHash {
    size_t operator()(const BoundNameKey &k) const
    {
        return std::hash<void *>()(k.type) * 31u ^ std::hash<void *>()(k.def);
    }
};
struct BoundName {
    unsigned int type_tag = 0;
    uint64_t namespace_tags[3] = {0, 0, 0};
    PyObject *name = nullptr;  // strong
};
struct BoundNames {
    // Strong: the namespaces the naming steps read, as at the module's
    // making: the pickler's, the metadata module's, the name extractor's.
    PyObject *namespaces[3] = {nullptr, nullptr, nullptr};
    std::unordered_map<BoundNameKey, BoundName, BoundNameHash> known;
};
BoundNames bound_names;
constexpr size_t kBoundNamesKept = 4096;

// The key for `obj` when it is a builtin method bound to an instance and
// its name may be remembered; false otherwise.
bool bound_name_key(PyObject *mod, PyObject *obj, BoundNameKey &key)
{
#if PY_VERSION_HEX < 0x030C0000
    bool builtin = Py_IS_TYPE(obj, &PyCFunction_Type);
#if PY_VERSION_HEX >= 0x03090000
    builtin = builtin || Py_IS_TYPE(obj, &PyCMethod_Type);
#endif
    if (!builtin || bound_names.namespaces[0] == nullptr ||
        PyModule_GetDict(mod) != bound_names.namespaces[0])
        return false;
    auto *f = reinterpret_cast<PyCFunctionObject *>(obj);
    PyObject *receiver = f->m_self;
    if (receiver == nullptr || f->m_module != nullptr ||
        PyModule_Check(receiver) || PyType_Check(receiver))
        return false;
    PyTypeObject *type = Py_TYPE(receiver);
    if (!Py_IS_TYPE(type, &PyType_Type))
        return false;
    key = {type, f->m_ml};
    return true;
#else
    (void)mod;
    (void)obj;
    (void)key;
    return false;
#endif
}

// The tags the namespaces and the class have now; false when the class has
// no valid tag.
bool bound_name_tags(const BoundNameKey &key, BoundName &now)
{
#if PY_VERSION_HEX < 0x030C0000
    if (!(key.type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG))
        return false;
    now.type_tag = key.type->tp_version_tag;
    for (int i = 0; i < 3; i++)
        now.namespace_tags[i] = reinterpret_cast<PyDictObject *>(
            bound_names.namespaces[i])->ma_version_tag;
    return true;
#else
    (void)key;
    (void)now;
    return false;
#endif
}

PyObject *known_bound_name(const BoundNameKey &key)
{
    BoundName now;
    if (!bound_name_tags(key, now))
        return nullptr;
    auto found = bound_names.known.find(key);
    if (found == bound_names.known.end())
        return nullptr;
    const BoundName &was = found->second;
    if (was.type_tag != now.type_tag ||
        std::memcmp(was.namespace_tags, now.namespace_tags,
                    sizeof now.namespace_tags) != 0)
        return nullptr;
    return was.name;
}

void remember_bound_name(const BoundNameKey &key, const BoundName &before,
                         PyObject *name)
{
    BoundName now;
    if (!PyUnicode_CheckExact(name) || !bound_name_tags(key, now) ||
        now.type_tag != before.type_tag ||
        std::memcmp(before.namespace_tags, now.namespace_tags,
                    sizeof now.namespace_tags) != 0)
        return;  // something changed while the name was being found
    if (bound_names.known.size() >= kBoundNamesKept) {
        for (auto &entry : bound_names.known)
            Py_CLEAR(entry.second.name);
        bound_names.known.clear();
    }
    BoundName &slot = bound_names.known[key];
    PyObject *old = slot.name;
    slot = now;
    Py_INCREF(name);
    slot.name = name;
    Py_XDECREF(old);  // a str: frees nothing that runs code
}

// The importable dotted name of a function, method or class (the body of
// UnpicklableHelpers.get_full_name); new reference.
Ref full_name_steps(PyObject *mod, PyObject *obj_in, bool &plain);

Ref full_name_impl(PyObject *mod, PyObject *obj)
{
    BoundNameKey key;
    BoundName before;
    bool keyed = bound_name_key(mod, obj, key);
    if (keyed) {
        // Gives the class a tag if it has none yet.
        (void)_PyType_Lookup(key.type, TW_STR("__qualname__"));
        keyed = bound_name_tags(key, before);
    }
    if (keyed) {
        if (PyObject *known = known_bound_name(key))
            return Ref::borrow(known);
    }
    bool plain = false;
    Ref name = full_name_steps(mod, obj, plain);
    if (name && keyed && plain)
        remember_bound_name(key, before, name.get());
    return name;
}

// The steps of get_full_name; `plain` tells that the name came from the
// metadata record as it is (neither the main-script nor the empty-name
// case). New reference.
Ref full_name_steps(PyObject *mod, PyObject *obj_in, bool &plain)
{
    Ref obj = Ref::borrow(obj_in);
    int r = PyObject_IsInstance(obj.get(),
                                reinterpret_cast<PyObject *>(&PyType_Type));
    if (r < 0)
        return nullptr;
    if (r) {
        // The class's own __init__, else the metaclass's bound to it.
        Ref init_name = GLOBAL(mod, "INIT_STR");
        if (!init_name)
            return nullptr;
        obj = Ref::steal(PyObject_GenericGetAttr(obj.get(), init_name.get()));
        if (!obj)
            return nullptr;
    }
    Ref func_name = GLOBAL(mod, "FUNC_STR");
    if (!func_name)
        return nullptr;
    r = lookup(obj.get(), func_name.get(), nullptr);
    if (r < 0)
        return nullptr;
    if (r) {
        obj = Ref::steal(PyObject_GetAttr(obj.get(), func_name.get()));
        if (!obj)
            return nullptr;
    }
    Ref self_name = GLOBAL(mod, "SELF_STR");
    if (!self_name)
        return nullptr;
    r = lookup(obj.get(), self_name.get(), nullptr);
    if (r < 0)
        return nullptr;
    PyObject *is_method = r ? Py_True : Py_False;
    Ref get_module = GLOBAL(mod, "get_function_module");
    if (!get_module)
        return nullptr;
    Ref module_of = tw::call(get_module.get(), obj.get(), is_method);
    if (!module_of)
        return nullptr;
    Ref extract = GLOBAL(mod, "EXTRACT_METADATA");
    if (!extract)
        return nullptr;
    // Only the names and the path of the record are read here, so the
    // signature, the dearest part of a record built afresh, is not asked for.
    Ref metadata =
        tw::call_kw(extract.get(), TW_NAMES("dont_cache", "collect_signature"),
                    obj.get(), Py_True, Py_False);
    if (!metadata)
        return nullptr;
    if (PyTuple_CheckExact(metadata.get())) {
        Ref index = GLOBAL(mod, "FUNCTION_META_DATA_INDEX");
        if (!index)
            return nullptr;
        metadata = Ref::steal(PyObject_GetItem(metadata.get(), index.get()));
        if (!metadata)
            return nullptr;
    }
    Ref name = ATTR(metadata.get(), "full_name");
    if (!name)
        return nullptr;
    r = PyObject_IsTrue(name.get());
    if (r < 0)
        return nullptr;
    const bool named = r != 0;
    if (!r) {
        // The recording core caches callables it does not record (builtins
        // such as `len`) with an empty name; an empty name would load back
        // as nothing, so name the object from its module instead.
        Ref extractor =
            Ref::steal(PyImport_ImportModule("tarnwick_common.name_extractor"));
        if (!extractor)
            return nullptr;
        Ref full_name = ATTR(extractor.get(), "get_function_full_name");
        if (!full_name)
            return nullptr;
        name = tw::call(full_name.get(), module_of.get(), obj.get());
        if (!name)
            return nullptr;
    }
    Ref module_name = ATTR(metadata.get(), "module_name");
    if (!module_name)
        return nullptr;
    Ref main_str = GLOBAL(mod, "MAIN_STR");
    if (!main_str)
        return nullptr;
    r = compare(module_name.get(), main_str.get(), Py_EQ);
    if (r < 0)
        return nullptr;
    plain = named && r == 0;
    if (r) {
        // A function of the script run as __main__: the name its file has
        // when imported from the project root.
        Ref os = GLOBAL(mod, "os");
        if (!os)
            return nullptr;
        Ref path = MODULE_ATTR(os.get(), "path");
        if (!path)
            return nullptr;
        Ref relpath = MODULE_ATTR(path.get(), "relpath");
        if (!relpath)
            return nullptr;
        Ref full_path = ATTR(metadata.get(), "full_path");
        if (!full_path)
            return nullptr;
        Ref settings = GLOBAL(mod, "CollectorSettings");
        if (!settings)
            return nullptr;
        Ref project_path = ATTR(settings.get(), "project_path");
        if (!project_path)
            return nullptr;
        Ref replace = GLOBAL(mod, "replace__main__with_real_name");
        if (!replace)
            return nullptr;
        Ref key;
        if (main_name_is_pure(relpath.get(), replace.get(), name.get(),
                              full_path.get(), project_path.get())) {
            key = tw::tuple(name.get(), full_path.get(), project_path.get());
            if (!key)
                return nullptr;
            PyObject *known = PyDict_GetItemWithError(main_names.known, key.get());
            if (known != nullptr)
                return Ref::borrow(known);
            if (PyErr_Occurred())
                return nullptr;
        }
        Ref file_path =
            tw::call(relpath.get(), full_path.get(), project_path.get());
        if (!file_path)
            return nullptr;
        name = tw::call(replace.get(), name.get(), file_path.get());
        if (name && key && PyUnicode_CheckExact(name.get())) {
            if (PyDict_GET_SIZE(main_names.known) >= kMainNamesKept)
                PyDict_Clear(main_names.known);
            if (PyDict_SetItem(main_names.known, key.get(), name.get()) < 0)
                return nullptr;
        }
    }
    return name;
}

// ------------------------------------------------------ SafePickler rules

// `marker in text` for a str `text` and the str `marker` whose value is
// the ASCII `literal`: 1, 0 or -1. A string of one-byte characters is
// searched in place: an ASCII byte there is the same character.
int str_contains(PyObject *text, PyObject *marker, const char *literal)
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
int heap_text_has_marker(PyTypeObject *t, PyObject *marker,
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
TextMarks text_marks[64];

// Whether the text of the class `t` holds the known marker number `which`
// (its value `marker`, the ASCII `literal`): 1, 0 or -1.
int type_text_has_marker(PyTypeObject *t, int which, PyObject *marker,
                         const char *literal)
{
    if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE))
        return std::strstr(t->tp_name, literal) != nullptr;
    if (!(t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG))
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
int type_text_contains(PyObject *obj_type, PyObject *marker, int which,
                       PyObject *known, const char *literal)
{
    if (marker == known && PyType_Check(obj_type) &&
        Py_TYPE(obj_type)->tp_str == PyType_Type.tp_str &&
        Py_TYPE(obj_type)->tp_repr == PyType_Type.tp_repr)
        return type_text_has_marker(
            reinterpret_cast<PyTypeObject *>(obj_type), which, marker,
            literal);
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
    Ref full_name = PyUnicode_CheckExact(dot.get())
                        ? Ref::steal(PyUnicode_Join(dot.get(), parts.get()))
                        : tw::call_method(dot.get(), TW_STR("join"),
                                          parts.get());
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

// obj.__class__; new reference. When the object's type keeps the generic
// attribute lookup and object's own __class__ descriptor (a data
// descriptor: nothing in the instance can shadow it), that is type(obj),
// taken without a lookup.
Ref class_of(PyObject *obj)
{
    static PyObject *object_class =
        _PyType_Lookup(&PyBaseObject_Type, TW_STR("__class__"));
    PyTypeObject *tp = Py_TYPE(obj);
    if (object_class != nullptr && tp->tp_getattro == PyObject_GenericGetAttr &&
        _PyType_Lookup(tp, TW_STR("__class__")) == object_class)
        return Ref::borrow(reinterpret_cast<PyObject *>(tp));
    return ATTR(obj, "__class__");
}

// Whether getattr(a, name) and getattr(b, name) are surely one object, for
// two classes whose metaclass is `type` (which has no data descriptor of
// that name): both find the same function or method descriptor in their
// MROs, and either reads as itself on a class. False says nothing.
bool same_class_attr(PyObject *a, PyObject *b, PyObject *name)
{
    if (!Py_IS_TYPE(a, &PyType_Type) || !Py_IS_TYPE(b, &PyType_Type) ||
        has_data_descriptor(&PyType_Type, name))
        return false;
    PyObject *found = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(a), name);
    if (found == nullptr ||
        found != _PyType_Lookup(reinterpret_cast<PyTypeObject *>(b), name))
        return false;
    return Py_IS_TYPE(found, &PyMethodDescr_Type) ||
           Py_IS_TYPE(found, &PyFunction_Type);
}

// cls.__qualname__ == allowed: 1, 0 or -1. A heap class whose metaclass is
// `type` and whose qualified name is a plain str compared with a plain
// str needs no lookup.
int qualname_equals(PyObject *cls, PyObject *allowed)
{
    if (Py_IS_TYPE(cls, &PyType_Type) && PyUnicode_CheckExact(allowed) &&
        (reinterpret_cast<PyTypeObject *>(cls)->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
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
int adds_pickle_method(PyObject *obj, PyObject *cls, PyObject *base,
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
bool reduces_by_itself(PyObject *base)
{
    if (!PyType_Check(base))
        return false;
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(base);
    PyObject *const methods[] = {TW_STR("__reduce__"), TW_STR("__reduce_ex__")};
    for (PyObject *method : methods) {
        PyObject *found = _PyType_Lookup(type, method);
        if (found != nullptr &&
            found != _PyType_Lookup(&PyBaseObject_Type, method))
            return true;
    }
    return false;
}

// First rule of is_subclass_for_skip: the class pickles as `base` does.
int same_reduce_as(PyObject *mod, PyObject *obj, PyObject *base)
{
    Ref cls = class_of(obj);
    if (!cls)
        return -1;
    PyObject *const methods[] = {TW_STR("__reduce__"), TW_STR("__reduce_ex__")};
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
int same_getstate_as(PyObject *mod, PyObject *obj, PyObject *base)
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
        Ref obj_type =
            Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(obj)));
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
    PyObject *const methods[] = {TW_STR("__reduce__"), TW_STR("__reduce_ex__")};
    for (PyObject *method : methods) {
        if (same_class_attr(cls.get(), object_type, method))
            continue;
        Ref mine = Ref::steal(PyObject_GetAttr(cls.get(), method));
        if (!mine)
            return nullptr;
        Ref base = Ref::steal(PyObject_GetAttr(object_type, method));
        if (!base)
            return nullptr;
        Ref differs = Ref::steal(
            PyObject_RichCompare(mine.get(), base.get(), Py_NE));
        if (!differs)
            return nullptr;
        r = PyObject_IsTrue(differs.get());
        if (r < 0)
            return nullptr;
        if (r)
            return differs;
    }
    Ref name = GLOBAL(mod, "GET_NEWARGS_EX");
    if (!name)
        return nullptr;
    r = lookup(obj, name.get(), nullptr);
    if (r != 0)
        return r < 0 ? nullptr : Ref::borrow(Py_True);
    name = GLOBAL(mod, "GETNEWARGS");
    if (!name)
        return nullptr;
    r = lookup(obj, name.get(), nullptr);
    if (r != 0)
        return r < 0 ? nullptr : Ref::borrow(Py_True);
    name = GLOBAL(mod, "GET_INITARGS");
    if (!name)
        return nullptr;
    r = lookup(obj, name.get(), nullptr);
    if (r != 0)
        return r < 0 ? nullptr : Ref::borrow(Py_True);
    name = GLOBAL(mod, "GETSTATE_STR");
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
    PyObject *const exempt[] = {TW_STR("Wraper"), TW_STR("NewFuncWrap"),
                                TW_STR("_reconstructor"), TW_STR("wrap_object"),
                                TW_STR("UnpicklableObject")};
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
                          bool recorded = false)
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
    bool own_slot = tp->tp_getattro == PyObject_GenericGetAttr &&
                    tp->tp_dictoffset > 0;
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
Ref reduce_exception(PyObject *mod, PyObject *obj)
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

// Whether instances of `tp` are the recorder's own (its records, metrics and
// placeholders): never written as "used attributes only", whatever entry
// their address has.
bool recorders_own(PyTypeObject *tp)
{
    if (!(tp->tp_flags & Py_TPFLAGS_HEAPTYPE) || tp->tp_dict == nullptr)
        return false;
    PyObject *module = PyDict_GetItemWithError(tp->tp_dict, TW_STR("__module__"));
    if (module == nullptr) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(module))
        return false;
    Py_ssize_t n = PyUnicode_GET_LENGTH(module);
    static const char *const kOwn[] = {"tarnwick_collector.", "tarnwick_common."};
    for (const char *prefix : kOwn) {
        Ref p = Ref::steal(PyUnicode_FromString(prefix));
        if (!p) {
            PyErr_Clear();
            return false;
        }
        if (n >= PyUnicode_GET_LENGTH(p.get()) &&
            PyUnicode_Tailmatch(module, p.get(), 0, n, -1) == 1)
            return true;
    }
    PyErr_Clear();
    return false;
}

// The exact types whose instances are atoms or plain containers: they are
// no function types, have no __name__ and print as plain builtins, so
// only the skip table can decide for them.
bool is_plain_builtin(PyTypeObject *t)
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
int surely_not_run_class(PyObject *mod, PyObject *name)
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
int read_name_quietly(PyObject *obj, Ref *out)
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
Ref rebuild_step(PyObject *mod, PyObject *obj, PyObject *obj_type)
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
        Ref factory =
            rebuild_function_for(mod, obj, obj_type, obj_name.get());
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
int is_instance(PyObject *obj, PyObject *cls)
{
    if (PyType_CheckExact(cls) &&
        !PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject *>(cls))) {
        static PyObject *object_class =
            _PyType_Lookup(&PyBaseObject_Type, TW_STR("__class__"));
        PyTypeObject *tp = Py_TYPE(obj);
        if (object_class != nullptr &&
            tp->tp_getattro == PyObject_GenericGetAttr &&
            _PyType_Lookup(tp, TW_STR("__class__")) == object_class)
            return 0;
    }
    return PyObject_IsInstance(obj, cls);
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

    // Exceptions as wrappers, when they can be named.
    if (PyType_IsSubtype(tp, reinterpret_cast<PyTypeObject *>(PyExc_Exception))) {
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
            (!tw::entry_applies(used_attrs.get(), obj) ||
             recorders_own(tp))) {
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
            r = PyObject_IsInstance(obj,
                                    reinterpret_cast<PyObject *>(&PyType_Type));
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
            mod, obj_type, " cant be pickled because it has __getattr__ method");

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

// ------------------------------------------------ UnpicklableHelpers rules

// Whether DICT_DUNDER is in the two dir() lists of one failure-reducer
// walk, found once for the whole walk: the lists are the walk's own and
// hold plain strs only, so the answer stays the same for as long as
// DICT_DUNDER is the same str.
struct DirMarks {
    PyObject *dunder = nullptr;  // borrowed; NULL: not found beforehand
    int in_object = 0;
    int in_class = 0;
};

// Whether every item of `list` (a list) is a plain str.
bool all_plain_strs(PyObject *list)
{
    if (!PyList_CheckExact(list))
        return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++)
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(list, i)))
            return false;
    return true;
}

// Fills `marks` for the dir() lists of a walk when it can; whatever goes
// wrong here is left for each attribute's own test to meet again.
void find_dir_marks(PyObject *mod, PyObject *object_dir, PyObject *class_dir,
                    Ref &dunder, DirMarks &marks)
{
    dunder = GLOBAL(mod, "DICT_DUNDER");
    if (!dunder) {
        PyErr_Clear();
        return;
    }
    if (!PyUnicode_CheckExact(dunder.get()) || !all_plain_strs(object_dir) ||
        !all_plain_strs(class_dir))
        return;
    marks.in_object = PySequence_Contains(object_dir, dunder.get());
    marks.in_class = PySequence_Contains(class_dir, dunder.get());
    if (marks.in_object < 0 || marks.in_class < 0) {
        PyErr_Clear();
        return;
    }
    marks.dunder = dunder.get();
}

// inspect.isroutine as the module found it, and the tests it is made of:
// while inspect's namespace has the version tag it had when these were
// last seen there, they are the ones a call would run.
struct Routines {
    PyObject *namespace_ = nullptr;  // strong: inspect's __dict__
    PyObject *isroutine = nullptr;   // strong
    PyObject *parts[5] = {};         // strong: isbuiltin, isfunction,
                                     // ismethod, ismethoddescriptor, isclass
    uint64_t tag = 0;                // of namespace_ when they were checked
};
Routines routines;
const char *const kRoutineParts[5] = {"isbuiltin", "isfunction", "ismethod",
                                      "ismethoddescriptor", "isclass"};

// inspect.isroutine(value) for the kinds of class attributes a failure
// reducer meets by the dozen, answered without the call when `isroutine`
// is the function the module started with and inspect's tests are its
// own: 1 or 0, or -1 when the call must be made. Functions, builtins,
// bound methods and the method descriptors of native classes, staticmethod
// and classmethod objects are routines; numbers, strings, bytes, None and
// the plain containers are not.
int known_routine(PyObject *inspect, PyObject *isroutine, PyObject *value)
{
#if PY_VERSION_HEX < 0x030C0000
    if (routines.isroutine == nullptr || isroutine != routines.isroutine ||
        !PyModule_Check(inspect) ||
        PyModule_GetDict(inspect) != routines.namespace_)
        return -1;
    auto *dict = reinterpret_cast<PyDictObject *>(routines.namespace_);
    if (dict->ma_version_tag != routines.tag) {
        for (int i = 0; i < 5; i++) {
            PyObject *now = PyDict_GetItemString(routines.namespace_,
                                                 kRoutineParts[i]);
            if (now != routines.parts[i])
                return -1;
        }
        routines.tag = dict->ma_version_tag;
    }
    PyTypeObject *t = Py_TYPE(value);
    if (t == &PyFunction_Type || t == &PyCFunction_Type ||
#if PY_VERSION_HEX >= 0x03090000
        t == &PyCMethod_Type ||
#endif
        t == &PyMethod_Type || t == &PyMethodDescr_Type ||
        t == &PyClassMethodDescr_Type || t == &PyWrapperDescr_Type ||
        t == &PyStaticMethod_Type || t == &PyClassMethod_Type)
        return 1;
    if (value == Py_None || t == &PyLong_Type || t == &PyBool_Type ||
        t == &PyFloat_Type || t == &PyUnicode_Type || t == &PyBytes_Type ||
        t == &PyTuple_Type || t == &PyList_Type || t == &PyDict_Type ||
        t == &PySet_Type || t == &PyFrozenSet_Type)
        return 0;
#else
    (void)inspect;
    (void)isroutine;
    (void)value;
#endif
    return -1;
}

// Fills `routines` from the inspect module; 0 or -1.
int capture_routines(PyObject *inspect)
{
    Ref isroutine = tw::getattr(inspect, TW_STR("isroutine"));
    if (!isroutine)
        return -1;
    PyObject *ns = PyModule_GetDict(inspect);
    for (int i = 0; i < 5; i++) {
        PyObject *part = PyDict_GetItemString(ns, kRoutineParts[i]);
        if (part == nullptr)
            return 0;  // not the module this knows: every answer is asked
        Py_INCREF(part);
        Py_XSETREF(routines.parts[i], part);
    }
    Py_INCREF(ns);
    Py_XSETREF(routines.namespace_, ns);
    Py_XSETREF(routines.isroutine, isroutine.release());
#if PY_VERSION_HEX < 0x030C0000
    routines.tag = reinterpret_cast<PyDictObject *>(ns)->ma_version_tag;
#endif
    return 0;
}

int should_use_getattr_impl(PyObject *mod, PyObject *obj, PyObject *prop,
                            PyObject *object_dir, PyObject *class_dir,
                            const DirMarks *marks = nullptr)
{
    Ref dict_dunder = GLOBAL(mod, "DICT_DUNDER");
    if (!dict_dunder)
        return -1;
    const bool known = marks != nullptr && marks->dunder == dict_dunder.get();
    int r = known ? marks->in_object
                  : PySequence_Contains(object_dir, dict_dunder.get());
    if (r <= 0)
        return r < 0 ? -1 : 1;
    r = known ? marks->in_class
              : PySequence_Contains(class_dir, dict_dunder.get());
    if (r <= 0)
        return r < 0 ? -1 : 1;
    Ref cls = ATTR(obj, "__class__");
    if (!cls)
        return -1;
    Ref class_dict = ATTR(cls.get(), "__dict__");
    if (!class_dict)
        return -1;
    r = PySequence_Contains(class_dict.get(), prop);
    if (r <= 0)
        return r < 0 ? -1 : 1;
    Ref own_dict = existing_dict(obj);
    if (!own_dict)
        return -1;
    r = PySequence_Contains(own_dict.get(), prop);
    if (r != 0)
        return r;
    Ref from_class = Ref::steal(PyObject_GetItem(class_dict.get(), prop));
    if (!from_class)
        return -1;
    r = PyObject_IsInstance(from_class.get(),
                            reinterpret_cast<PyObject *>(&PyProperty_Type));
    if (r != 0)
        return r;
    // Other data descriptors (a native type's getters, the slots of a class
    // that has a __dict__ too) read the instance's own state as a property
    // does; the instance __dict__ never holds those values.
    if (Py_TYPE(from_class.get())->tp_descr_set != nullptr)
        return 1;
    Ref inspect = GLOBAL(mod, "inspect");
    if (!inspect)
        return -1;
    Ref isroutine = MODULE_ATTR(inspect.get(), "isroutine");
    if (!isroutine)
        return -1;
    const int answer = known_routine(inspect.get(), isroutine.get(),
                                     from_class.get());
    if (answer >= 0)
        return answer;
    Ref routine = tw::call(isroutine.get(), from_class.get());
    if (!routine)
        return -1;
    return PyObject_IsTrue(routine.get());
}

// funcs[prop] = FunctionWrapper(get_full_name(fn)); 0 or -1.
int store_function_wrapper(PyObject *mod, PyObject *funcs, PyObject *prop,
                           PyObject *fn)
{
    Ref wrapper_type = GLOBAL(mod, "FunctionWrapper");
    if (!wrapper_type)
        return -1;
    Ref name = full_name_impl(mod, fn);
    if (!name)
        return -1;
    Ref wrapper = tw::call(wrapper_type.get(), name.get());
    if (!wrapper)
        return -1;
    return PyDict_SetItem(funcs, prop, wrapper.get());
}

// The module whose namespace `value` is (an imported module's __dict__, as
// a frame's f_globals and f_builtins are), or None; new reference. The
// failure reducer stores the module itself in place of its namespace, so
// it is written by name like any module: a generator's placeholder then
// does not carry its module's whole namespace by value.
Ref namespace_module(PyObject *value)
{
    if (!PyDict_CheckExact(value))
        return Ref::borrow(Py_None);
    PyObject *name = PyDict_GetItemWithError(value, TW_STR("__name__"));
    if (name == nullptr) {
        if (PyErr_Occurred())
            return nullptr;
        return Ref::borrow(Py_None);
    }
    if (!PyUnicode_Check(name))
        return Ref::borrow(Py_None);
    // Held: a str subclass's hash or comparison may change the dict.
    Ref held_name = Ref::borrow(name);
    Ref module = Ref::steal(PyImport_GetModule(held_name.get()));
    if (!module) {
        if (PyErr_Occurred())
            return nullptr;
        return Ref::borrow(Py_None);
    }
    if (!PyModule_Check(module.get()) ||
        PyModule_GetDict(module.get()) != value)
        return Ref::borrow(Py_None);
    return module;
}

// One attribute of the failure reducer's walk: into `state` or `funcs`.
// 0 (done or skipped), -1 with an exception that must propagate.
int reduce_one_attribute(PyObject *mod, PyObject *obj, PyObject *prop,
                         PyObject *object_dir, PyObject *class_dir,
                         const DirMarks &marks, PyObject *state,
                         PyObject *funcs)
{
    Ref method;
    int r = should_use_getattr_impl(mod, obj, prop, object_dir, class_dir,
                                    &marks);
    if (r > 0) {
        method = Ref::steal(PyObject_GetAttr(obj, prop));
    } else if (r == 0) {
        Ref own_dict = existing_dict(obj);
        if (own_dict)
            method = Ref::steal(PyObject_GetItem(own_dict.get(), prop));
    }
    if (!method)
        return swallow() ? 0 : -1;

    Ref types = GLOBAL(mod, "types");
    if (!types)
        return -1;
    Ref method_type = MODULE_ATTR(types.get(), "MethodType");
    if (!method_type)
        return -1;
    r = compare(reinterpret_cast<PyObject *>(Py_TYPE(method.get())),
                method_type.get(), Py_NE);
    if (r < 0)
        return -1;
    if (r) {
        Ref module = namespace_module(method.get());
        if (!module)
            return -1;
        return PyDict_SetItem(state, prop,
                              module.get() != Py_None ? module.get()
                                                      : method.get());
    }

    Ref func = ATTR(method.get(), "__func__");
    if (func && store_function_wrapper(mod, funcs, prop, func.get()) == 0)
        return 0;
    if (!swallow())
        return -1;
    // The function as found on the class of the bound object.
    Ref bound = ATTR(method.get(), "__self__");
    Ref cls = bound ? ATTR(bound.get(), "__class__") : nullptr;
    Ref name = cls ? ATTR(method.get(), "__name__") : nullptr;
    Ref fn = name ? Ref::steal(PyObject_GetAttr(cls.get(), name.get()))
                  : nullptr;
    if (fn && store_function_wrapper(mod, funcs, prop, fn.get()) == 0)
        return 0;
    return swallow() ? 0 : -1;
}

// Whether `prop` is a dunder name other than __enter__ and __exit__.
int is_left_out(PyObject *prop)
{
    if (PyUnicode_CheckExact(prop)) {
        Py_ssize_t r = PyUnicode_Tailmatch(prop, TW_STR("__"), 0,
                                           PY_SSIZE_T_MAX, -1);
        if (r <= 0)
            return r < 0 ? -1 : 0;
    } else {
        Ref starts = tw::call_method(prop, TW_STR("startswith"), TW_STR("__"));
        if (!starts)
            return -1;
        int r = PyObject_IsTrue(starts.get());
        if (r <= 0)
            return r;
    }
    int r = compare(prop, TW_STR("__enter__"), Py_NE);
    if (r <= 0)
        return r;
    return compare(prop, TW_STR("__exit__"), Py_NE);
}

// dir() of classes, for the failure reducer's walk. dir(cls) is the sorted
// names of the class's namespace merged with its bases' ones, and so is
// dir(obj) of an instance without instance attributes, under the
// interpreter's own __dir__, __class__ and __dict__ lookups. For a class
// whose whole MRO has the metaclass `type`, every change to one of those
// namespaces takes the class's version tag away, so the list made under a
// tag is the list dir() makes while the class keeps it.
struct KnownDir {
    unsigned int tag = 0;
    PyObject *names = nullptr;  // strong: a list of str, never handed out
};
std::unordered_map<PyTypeObject *, KnownDir> known_dir_lists;
constexpr size_t kKnownDirsKept = 1024;

// Whether attribute reads on `obj` and dir() of it and of its class run
// only the interpreter's own code, as described above.
bool plain_dir_reads(PyObject *obj)
{
    static PyObject *object_dir = nullptr;    // object.__dict__["__dir__"]
    static PyObject *object_class = nullptr;  // object.__dict__["__class__"]
    static PyObject *type_dir = nullptr;      // type.__dict__["__dir__"]
    if (object_dir == nullptr) {
        object_dir = _PyType_Lookup(&PyBaseObject_Type, TW_STR("__dir__"));
        object_class = _PyType_Lookup(&PyBaseObject_Type, TW_STR("__class__"));
        type_dir = _PyType_Lookup(&PyType_Type, TW_STR("__dir__"));
        if (object_dir == nullptr || object_class == nullptr ||
            type_dir == nullptr)
            return false;
    }
    PyTypeObject *t = Py_TYPE(obj);
    if (t->tp_getattro != PyObject_GenericGetAttr ||
        _PyType_Lookup(t, TW_STR("__dir__")) != object_dir ||
        _PyType_Lookup(t, TW_STR("__class__")) != object_class)
        return false;
    PyObject *dict_descr = _PyType_Lookup(t, TW_STR("__dict__"));
    if (dict_descr != nullptr && !Py_IS_TYPE(dict_descr, &PyGetSetDescr_Type))
        return false;
    PyObject *mro = t->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro))
        return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); i++)
        if (!Py_IS_TYPE(PyTuple_GET_ITEM(mro, i), &PyType_Type))
            return false;
    return true;
}

// Fills dir(obj), obj.__class__ and dir(obj.__class__) from the class's
// known list when the reads are plain and the instance has no attributes
// of its own: 1; 0 to take the ordinary way; -1 with an exception set.
int known_dirs(PyObject *obj, Ref &object_dir, Ref &cls, Ref &class_dir)
{
    if (!plain_dir_reads(obj))
        return 0;
    PyTypeObject *t = Py_TYPE(obj);
    Ref held;
    if (_PyType_Lookup(t, TW_STR("__dict__")) != nullptr) {
        held = existing_dict(obj);
        if (!held) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                return -1;
            PyErr_Clear();
        }
    }
    PyObject *own = held.get();
    if (own != nullptr && (!PyDict_Check(own) || PyDict_GET_SIZE(own) != 0))
        return 0;
    if (!(t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG))
        return 0;
    const unsigned int tag = t->tp_version_tag;
    auto found = known_dir_lists.find(t);
    if (found == known_dir_lists.end() || found->second.tag != tag) {
        Ref names = Ref::steal(PyObject_Dir(reinterpret_cast<PyObject *>(t)));
        if (!names)
            return -1;
        if (!PyList_CheckExact(names.get()) ||
            !(t->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ||
            t->tp_version_tag != tag)
            return 0;
        if (known_dir_lists.size() >= kKnownDirsKept) {
            for (auto &entry : known_dir_lists)
                Py_CLEAR(entry.second.names);
            known_dir_lists.clear();
        }
        KnownDir &slot = known_dir_lists[t];
        PyObject *old = slot.names;
        slot.tag = tag;
        slot.names = names.release();
        Py_XDECREF(old);  // a list of str: runs no code
        found = known_dir_lists.find(t);
    }
    object_dir = Ref::borrow(found->second.names);
    class_dir = Ref::borrow(found->second.names);
    cls = Ref::borrow(reinterpret_cast<PyObject *>(t));
    return 1;
}

// The bounds of the failure reducer call running on this thread inside a
// dump of the base pickler (see tw::TarnWalk), or NULL; set at import.
tw::TarnCurrentWalk current_walk = nullptr;

// state[TW_TARN_WALK_MARK] = why: the mark of a placeholder cut short.
int mark_cut(PyObject *state, const char *why)
{
    Ref text = Ref::steal(PyUnicode_FromString(why));
    if (!text)
        return -1;
    return PyDict_SetItemString(state, TW_TARN_WALK_MARK, text.get());
}

// The failure reducer: (UnpicklableObject, (str(type(obj)), funcs), state).
//
// Inside a dump its walk is bounded (see tw::TarnWalk): each walk and each
// attribute it reads costs one unit of the dump's budget; a placeholder
// whose walk the dump rules out, or that finds the budget spent, carries
// the reason under TW_TARN_WALK_MARK instead of (the rest of) its
// attributes.
Ref failure_reduce_impl(PyObject *mod, PyObject *obj)
{
    Ref state = Ref::steal(PyDict_New());
    Ref funcs = Ref::steal(PyDict_New());
    if (!state || !funcs)
        return nullptr;
    // Held: reading attributes may change obj's class.
    Ref obj_type = Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(obj)));
    tw::TarnWalk *walk = current_walk != nullptr ? current_walk() : nullptr;
    int r = 0;
    if (walk != nullptr && (walk->flat != nullptr || walk->left <= 0)) {
        if (walk->flat == nullptr)
            walk->cut++;
        if (mark_cut(state.get(),
                     walk->flat != nullptr ? walk->flat : "(size limit)") < 0)
            return nullptr;
        r = 1;  // nothing of the object is read
    } else {
        if (walk != nullptr)
            walk->left--;
        r = has_python_getattr_impl(mod, obj);
        if (r < 0)
            return nullptr;
    }
    if (r == 0) {
        Ref object_dir, cls, class_dir;
        r = known_dirs(obj, object_dir, cls, class_dir);
        if (r < 0)
            return nullptr;
        if (r == 0) {
            object_dir = Ref::steal(PyObject_Dir(obj));
            if (!object_dir)
                return nullptr;
            cls = ATTR(obj, "__class__");
            if (!cls)
                return nullptr;
            class_dir = Ref::steal(PyObject_Dir(cls.get()));
            if (!class_dir)
                return nullptr;
        }
        Ref dunder;
        DirMarks marks;
        find_dir_marks(mod, object_dir.get(), class_dir.get(), dunder, marks);
        Ref it = Ref::steal(PyObject_GetIter(object_dir.get()));
        if (!it)
            return nullptr;
        for (;;) {
            Ref prop = Ref::steal(PyIter_Next(it.get()));
            if (!prop) {
                if (PyErr_Occurred())
                    return nullptr;
                break;
            }
            r = is_left_out(prop.get());
            if (r < 0)
                return nullptr;
            if (r)
                continue;
            if (PyFrame_Check(obj) && PyUnicode_Check(prop.get()) &&
                PyUnicode_CompareWithASCIIString(prop.get(), "f_back") == 0) {
                // A frame's callers are not part of the value that holds
                // it (a traceback, a frame a function kept): following
                // f_back would write the whole stack of the program, and
                // with it the recorder's own frames, into every record.
                if (PyDict_SetItem(state.get(), prop.get(), Py_None) < 0)
                    return nullptr;
                continue;
            }
            if (walk != nullptr && walk->left-- <= 0) {
                walk->cut++;
                if (mark_cut(state.get(), "(size limit)") < 0)
                    return nullptr;
                break;
            }
            if (reduce_one_attribute(mod, obj, prop.get(), object_dir.get(),
                                     class_dir.get(), marks, state.get(),
                                     funcs.get()) < 0)
                return nullptr;
        }
    }
    Ref unpicklable = GLOBAL(mod, "UnpicklableObject");
    if (!unpicklable)
        return nullptr;
    Ref text = Ref::steal(PyObject_Str(obj_type.get()));
    if (!text)
        return nullptr;
    Ref args = tw::tuple(text.get(), funcs.get());
    if (!args)
        return nullptr;
    return tw::tuple(unpicklable.get(), args.get(), state.get());
}

// ======================================================= Python entry points

#define FASTCALL_ARGS                                                          \
    PyObject *mod, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames

// ---- module functions

PyObject *is_classmethod(PyObject *, PyObject *method)
{
    return to_bool(is_classmethod_impl(method));
}

PyObject *wrap_object(FASTCALL_ARGS)
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

PyObject *wrap_module(PyObject *mod, PyObject *full_name)
{
    Ref cls = GLOBAL(mod, "ModuleWrapper");
    if (!cls)
        return nullptr;
    return tw::call(cls.get(), full_name).release();
}

PyObject *wrap_function(PyObject *mod, PyObject *full_name)
{
    Ref cls = GLOBAL(mod, "SpecialWrapper");
    if (!cls)
        return nullptr;
    return tw::call(cls.get(), full_name).release();
}

PyObject *wrap_exception(FASTCALL_ARGS)
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

PyObject *get_attributes_value(FASTCALL_ARGS)
{
    static const tw::Param params[] = {{"obj"}, {"attributes"}};
    PyObject *a[2];
    if (tw::parse("get_attributes_value", params, args, nargs, kwnames, a) < 0)
        return nullptr;
    return attributes_value_impl(mod, a[0], a[1]).release();
}

PyObject *is_obj_python_based(PyObject *mod, PyObject *obj)
{
    return to_bool(is_obj_python_based_impl(mod, obj));
}

PyObject *obj_has_getattr_that_is_python_based(PyObject *mod, PyObject *obj)
{
    return to_bool(has_python_getattr_impl(mod, obj));
}

PyMethodDef is_classmethod_def = {
    "is_classmethod", is_classmethod, METH_O,
    "Whether `method` is bound to a class (a class method)."};
PyMethodDef wrap_object_def = {
    "wrap_object", TW_FASTCALL(wrap_object), TW_FASTCALL_FLAGS,
    "ObjectWrapper(cls, funcs): an object reduced to its used attributes."};
PyMethodDef wrap_module_def = {
    "wrap_module", wrap_module, METH_O,
    "ModuleWrapper(full_name): a module, by name."};
PyMethodDef wrap_function_def = {
    "wrap_function", wrap_function, METH_O,
    "SpecialWrapper(full_name): a class rebuilt by the named factory."};
PyMethodDef wrap_exception_def = {
    "wrap_exception", TW_FASTCALL(wrap_exception), TW_FASTCALL_FLAGS,
    "ExceptionWrapper(exception_full_name, exception_args, "
    "exception_dunder_dict): an exception instance."};
PyMethodDef get_attributes_value_def = {
    "get_attributes_value", TW_FASTCALL(get_attributes_value),
    TW_FASTCALL_FLAGS,
    "(attributes_data, funcs): the values and the methods among the named "
    "attributes of `obj`; missing attributes are left out."};
PyMethodDef is_obj_python_based_def = {
    "is_obj_python_based", is_obj_python_based, METH_O,
    "Whether `obj` carries Python byte code (has __code__)."};
PyMethodDef obj_has_getattr_that_is_python_based_def = {
    "obj_has_getattr_that_is_python_based",
    obj_has_getattr_that_is_python_based, METH_O,
    "Whether `obj` has a __getattr__ written in Python."};

// ---- NewFuncWrap and Wraper

PyObject *by_name_init(const char *qualname, PyObject *const *args,
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

PyObject *by_name_reduce(const char *qualname, PyObject *const *args,
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

PyObject *NewFuncWrap_init(FASTCALL_ARGS)
{
    (void)mod;
    return by_name_init("NewFuncWrap.__init__", args, nargs, kwnames);
}
PyObject *NewFuncWrap_reduce(FASTCALL_ARGS)
{
    (void)mod;
    return by_name_reduce("NewFuncWrap.__reduce__", args, nargs, kwnames);
}
PyObject *Wraper_init(FASTCALL_ARGS)
{
    (void)mod;
    return by_name_init("Wraper.__init__", args, nargs, kwnames);
}
PyObject *Wraper_reduce(FASTCALL_ARGS)
{
    (void)mod;
    return by_name_reduce("Wraper.__reduce__", args, nargs, kwnames);
}

PyMethodDef NewFuncWrap_init_def = {"__init__", TW_FASTCALL(NewFuncWrap_init),
                                    TW_FASTCALL_FLAGS, nullptr};
PyMethodDef NewFuncWrap_reduce_def = {
    "__reduce__", TW_FASTCALL(NewFuncWrap_reduce), TW_FASTCALL_FLAGS, nullptr};
PyMethodDef Wraper_init_def = {"__init__", TW_FASTCALL(Wraper_init),
                               TW_FASTCALL_FLAGS, nullptr};
PyMethodDef Wraper_reduce_def = {"__reduce__", TW_FASTCALL(Wraper_reduce),
                                 TW_FASTCALL_FLAGS, nullptr};

// ---- SafePickler

PyObject *SafePickler_init(FASTCALL_ARGS);
PyMethodDef SafePickler_init_def = {"__init__", TW_FASTCALL(SafePickler_init),
                                    TW_FASTCALL_FLAGS, nullptr};

// SafePickler as this module built it (a strong reference kept for the
// process), or NULL before that.
PyObject *built_safe_pickler = nullptr;

// The class whose body defined this __init__ (what the __class__ cell of a
// Python method holds): the class in type(self).__mro__ whose __init__ it
// is, else, when the class's __init__ has been replaced and this one is
// called from the replacement, SafePickler as built. Borrowed.
PyObject *defining_class(PyObject *self)
{
    PyObject *mro = Py_TYPE(self)->tp_mro;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); i++) {
        auto *klass = reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i));
        if (klass->tp_dict == nullptr)
            continue;
        PyObject *init = PyDict_GetItemWithError(klass->tp_dict,
                                                 TW_STR("__init__"));
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
Ref call_next_init(PyObject *klass, PyObject *self, PyObject **argv,
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
    Ref sup = tw::call(reinterpret_cast<PyObject *>(&PySuper_Type), klass, self);
    Ref init = sup ? ATTR(sup.get(), "__init__") : nullptr;
    if (!init)
        return nullptr;
    return Ref::steal(PyObject_Vectorcall(
        init.get(), argv + 1,
        static_cast<size_t>(npos) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// SafePickler(object_wrapper, *args, **kwargs): every argument but
// object_wrapper goes to the base pickler unchanged.
PyObject *SafePickler_init(FASTCALL_ARGS)
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

PyObject *SafePickler_is_subclass_for_skip(PyObject *mod, PyObject *obj)
{
    return to_bool(is_subclass_for_skip_impl(mod, obj));
}

// (self, obj_type) methods
template <int (*Impl)(PyObject *, PyObject *)>
PyObject *type_predicate(const char *qualname, PyObject *mod,
                         PyObject *const *args, Py_ssize_t nargs,
                         PyObject *kwnames)
{
    static const tw::Param params[] = {{"self"}, {"obj_type"}};
    PyObject *a[2];
    if (tw::parse(qualname, params, args, nargs, kwnames, a) < 0)
        return nullptr;
    return to_bool(Impl(mod, a[1]));
}

int is_magic_mock_type_impl(PyObject *mod, PyObject *obj_type)
{
    return IN_TABLE(mod, "specific_type_for_magic_mock", obj_type);
}

int is_type_to_skip_impl(PyObject *mod, PyObject *obj_type)
{
    return IN_TABLE(mod, "types_to_skip", obj_type);
}

PyObject *SafePickler_is_obj_function(FASTCALL_ARGS)
{
    return type_predicate<is_obj_function_impl>(
        "SafePickler.is_obj_function", mod, args, nargs, kwnames);
}

PyObject *SafePickler_is_obj_type_specific_type_for_magic_mock(FASTCALL_ARGS)
{
    return type_predicate<is_magic_mock_type_impl>(
        "SafePickler.is_obj_type_specific_type_for_magic_mock", mod, args,
        nargs, kwnames);
}

PyObject *SafePickler_is_obj_type_to_skip(FASTCALL_ARGS)
{
    return type_predicate<is_type_to_skip_impl>(
        "SafePickler.is_obj_type_to_skip", mod, args, nargs, kwnames);
}

PyObject *SafePickler_get_dynamic_rebuild_function(FASTCALL_ARGS)
{
    static const tw::Param params[] = {
        {"self"}, {"obj"}, {"obj_type", tw::Kind::Type}};
    PyObject *a[3];
    if (tw::parse("SafePickler.get_dynamic_rebuild_function", params, args,
                  nargs, kwnames, a) < 0)
        return nullptr;
    return rebuild_function_for(mod, a[1], a[2], nullptr).release();
}

PyObject *SafePickler_is_problematic_pickle(FASTCALL_ARGS)
{
    static const tw::Param params[] = {{"self"}, {"obj"}};
    PyObject *a[2];
    if (tw::parse("SafePickler.is_problematic_pickle", params, args, nargs,
                  kwnames, a) < 0)
        return nullptr;
    return is_problematic_impl(mod, a[1]).release();
}

PyObject *SafePickler_reduce_used_attrs(FASTCALL_ARGS)
{
    static const tw::Param params[] = {{"self"}, {"obj"}, {"attributes"}};
    PyObject *a[3];
    if (tw::parse("SafePickler.reduce_used_attrs", params, args, nargs,
                  kwnames, a) < 0)
        return nullptr;
    return reduce_used_attrs_impl(mod, a[1], a[2]).release();
}

PyObject *SafePickler_reduce_function(FASTCALL_ARGS)
{
    static const tw::Param params[] = {{"self"}, {"obj"}};
    PyObject *a[2];
    if (tw::parse("SafePickler.reduce_function", params, args, nargs, kwnames,
                  a) < 0)
        return nullptr;
    return reduce_function_impl(mod, a[1]).release();
}

PyObject *SafePickler_reducer_override(FASTCALL_ARGS)
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

PyMethodDef SafePickler_is_subclass_for_skip_def = {
    "is_subclass_for_skip", SafePickler_is_subclass_for_skip, METH_O,
    "Whether the class of `obj` derives from one of subclasses_to_skip "
    "without changing how it pickles."};
PyMethodDef SafePickler_is_obj_function_def = {
    "is_obj_function", TW_FASTCALL(SafePickler_is_obj_function),
    TW_FASTCALL_FLAGS, "Whether `obj_type` is a function or method type."};
PyMethodDef SafePickler_is_obj_type_specific_type_for_magic_mock_def = {
    "is_obj_type_specific_type_for_magic_mock",
    TW_FASTCALL(SafePickler_is_obj_type_specific_type_for_magic_mock),
    TW_FASTCALL_FLAGS,
    "Whether `obj_type` is written as an empty object wrapper."};
PyMethodDef SafePickler_is_obj_type_to_skip_def = {
    "is_obj_type_to_skip", TW_FASTCALL(SafePickler_is_obj_type_to_skip),
    TW_FASTCALL_FLAGS, "Whether the base pickler writes `obj_type` unaided."};
PyMethodDef SafePickler_get_dynamic_rebuild_function_def = {
    "get_dynamic_rebuild_function",
    TW_FASTCALL(SafePickler_get_dynamic_rebuild_function), TW_FASTCALL_FLAGS,
    "The dotted name of the factory that rebuilds `obj`, or None."};
PyMethodDef SafePickler_is_problematic_pickle_def = {
    "is_problematic_pickle", TW_FASTCALL(SafePickler_is_problematic_pickle),
    TW_FASTCALL_FLAGS,
    "Whether the class of `obj` has pickle methods of its own."};
PyMethodDef SafePickler_reduce_used_attrs_def = {
    "reduce_used_attrs", TW_FASTCALL(SafePickler_reduce_used_attrs),
    TW_FASTCALL_FLAGS,
    "(wrap_object, (cls, funcs), attrs) for the used `attributes` of `obj`."};
PyMethodDef SafePickler_reduce_function_def = {
    "reduce_function", TW_FASTCALL(SafePickler_reduce_function),
    TW_FASTCALL_FLAGS,
    "(loadclass, (full_name,)) for a function-like `obj`, or "
    "NotImplemented."};
PyMethodDef SafePickler_reducer_override_def = {
    "reducer_override", TW_FASTCALL(SafePickler_reducer_override),
    TW_FASTCALL_FLAGS,
    "How `obj` is written: NotImplemented or a reduce value."};

// ---- UnpicklableHelpers

PyObject *UnpicklableHelpers_get_full_name(PyObject *mod, PyObject *obj)
{
    return full_name_impl(mod, obj).release();
}

PyObject *UnpicklableHelpers_should_use_getattr(FASTCALL_ARGS)
{
    static const tw::Param params[] = {
        {"obj"}, {"obj_property"}, {"object_dir"}, {"class_dir"}};
    PyObject *a[4];
    if (tw::parse("UnpicklableHelpers.should_use_getattr", params, args,
                  nargs, kwnames, a) < 0)
        return nullptr;
    return to_bool(should_use_getattr_impl(mod, a[0], a[1], a[2], a[3]));
}

PyObject *UnpicklableHelpers_reduce(PyObject *mod, PyObject *obj)
{
    Ref reduced = failure_reduce_impl(mod, obj);
    if (pickler_redact::on())
        reduced = pickler_redact::reduction(nullptr, obj, std::move(reduced));
    return reduced.release();
}

PyObject *UnpicklableHelpers_special_cases(PyObject *mod, PyObject *obj)
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

PyMethodDef UnpicklableHelpers_get_full_name_def = {
    "get_full_name", UnpicklableHelpers_get_full_name, METH_O,
    "The dotted name under which a function, method or class can be "
    "imported again."};
PyMethodDef UnpicklableHelpers_should_use_getattr_def = {
    "should_use_getattr", TW_FASTCALL(UnpicklableHelpers_should_use_getattr),
    TW_FASTCALL_FLAGS,
    "Whether `obj_property` is read with getattr (else from the instance "
    "__dict__)."};
PyMethodDef UnpicklableHelpers_reduce_def = {
    "__reduce__", UnpicklableHelpers_reduce, METH_O,
    "The failure reducer: (UnpicklableObject, (type text, funcs), state) "
    "for an object the base pickler could not write."};
PyMethodDef UnpicklableHelpers_special_cases_def = {
    "special_cases", UnpicklableHelpers_special_cases, METH_O,
    "Whether pickling goes on after an error in an object of class `obj`."};

// ---- safe_pickle, safe_pickle_loads

// tp_init of SafePickler as the class was built (the slot that calls the
// class's __init__).
initproc safe_pickler_tp_init = nullptr;

// Whether `init`, found as __init__ on a class, is SafePickler's own.
bool is_own_init(PyObject *init)
{
    if (init == nullptr || !PyInstanceMethod_Check(init))
        return false;
    PyObject *fn = PyInstanceMethod_GET_FUNCTION(init);
    return PyCFunction_Check(fn) &&
           reinterpret_cast<PyCFunctionObject *>(fn)->m_ml ==
               &SafePickler_init_def;
}

// cls(object_wrapper, file, failure_reducer=..., special_cases=...); new
// reference. For SafePickler (or a subclass) as built here, whose
// metaclass is `type`, whose instances are allocated generically and whose
// __init__ is this module's, the two steps of the class call are made
// directly: a new instance, then __init__ on it.
Ref new_safe_pickler(PyObject *cls, PyObject *object_wrapper, PyObject *file,
                     PyObject *failure_reducer, PyObject *special_cases)
{
    PyObject *kwnames = TW_NAMES("failure_reducer", "special_cases");
    if (kwnames == nullptr)
        return nullptr;
    if (Py_IS_TYPE(cls, &PyType_Type)) {
        auto *tp = reinterpret_cast<PyTypeObject *>(cls);
        if (tp->tp_new == PyType_GenericNew && safe_pickler_tp_init != nullptr &&
            tp->tp_init == safe_pickler_tp_init &&
            is_own_init(_PyType_Lookup(tp, TW_STR("__init__")))) {
            static PyObject *no_args = PyTuple_New(0);
            if (no_args == nullptr)
                return nullptr;
            Ref self = Ref::steal(PyType_GenericNew(tp, no_args, nullptr));
            if (!self)
                return nullptr;
            PyObject *argv[] = {self.get(), object_wrapper, file,
                                failure_reducer, special_cases};
            Ref done = Ref::steal(SafePickler_init(nullptr, argv, 3, kwnames));
            if (!done)
                return nullptr;
            return self;
        }
    }
    return tw::call_kw(cls, kwnames, object_wrapper, file, failure_reducer,
                       special_cases);
}

// ---- the reusable pickler of safe_pickle
//
// A SafePickler is made, used for one dump and dropped at every call of
// safe_pickle: most of the cost of a small value. While the class is one
// whose instances all start out alike and whose construction calls
// nothing but this package's own code and the C pickler's (checked once
// per version tag of the class, see reusable_class), one made pickler can
// stand in for a fresh one: before each dump it is given the arguments a
// fresh one would get, and after it the state a dump leaves (the memo,
// the written bytes, the references to the call's arguments) is dropped,
// as dropping the pickler would. It writes into a Sink instead of a
// BytesIO, which is only possible while the module's BytesIO is io's own
// (whose making and writing run no other code). A nested or concurrent
// call, made while that pickler is busy, makes its own as before.

// The C pickler's output file: keeps the bytes it is given.
struct Sink {
    PyObject_HEAD
    PyObject *first;    // strong or NULL: the first chunk (bytes)
    PyObject *rest;     // strong or NULL: list of the later chunks
    Py_ssize_t size;    // bytes kept
};

// write(data): keeps a snapshot of `data` (any contiguous buffer, as
// BytesIO.write takes).
PyObject *Sink_write(PyObject *self, PyObject *data)
{
    Sink *s = reinterpret_cast<Sink *>(self);
    PyObject *chunk;
    if (PyBytes_CheckExact(data)) {
        chunk = Py_NewRef(data);
    } else {
        Py_buffer view;
        if (PyObject_GetBuffer(data, &view, PyBUF_CONTIG_RO) < 0)
            return nullptr;
        chunk = PyBytes_FromStringAndSize(static_cast<const char *>(view.buf),
                                          view.len);
        PyBuffer_Release(&view);
        if (chunk == nullptr)
            return nullptr;
    }
    const Py_ssize_t n = PyBytes_GET_SIZE(chunk);
    if (s->first == nullptr) {
        s->first = chunk;
    } else {
        if (s->rest == nullptr) {
            s->rest = PyList_New(0);
            if (s->rest == nullptr) {
                Py_DECREF(chunk);
                return nullptr;
            }
        }
        const int r = PyList_Append(s->rest, chunk);
        Py_DECREF(chunk);
        if (r < 0)
            return nullptr;
    }
    s->size += n;
    return PyLong_FromSsize_t(n);
}

// Everything written so far as one bytes object (new reference), the sink
// left empty; NULL with an exception set (the sink is emptied anyway).
PyObject *sink_take(Sink *s)
{
    PyObject *first = s->first;
    PyObject *rest = s->rest;
    const Py_ssize_t size = s->size;
    s->first = nullptr;
    s->rest = nullptr;
    s->size = 0;
    if (rest == nullptr)
        return first != nullptr ? first : PyBytes_FromStringAndSize("", 0);
    Ref hold_first = Ref::steal(first);
    Ref hold_rest = Ref::steal(rest);
    PyObject *out = PyBytes_FromStringAndSize(nullptr, size);
    if (out == nullptr)
        return nullptr;
    char *at = PyBytes_AS_STRING(out);
    std::memcpy(at, PyBytes_AS_STRING(first), PyBytes_GET_SIZE(first));
    at += PyBytes_GET_SIZE(first);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rest); i++) {
        PyObject *c = PyList_GET_ITEM(rest, i);
        std::memcpy(at, PyBytes_AS_STRING(c), PyBytes_GET_SIZE(c));
        at += PyBytes_GET_SIZE(c);
    }
    return out;
}

void Sink_dealloc(PyObject *self)
{
    Sink *s = reinterpret_cast<Sink *>(self);
    PyTypeObject *tp = Py_TYPE(self);
    Py_CLEAR(s->first);
    Py_CLEAR(s->rest);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef Sink_methods[] = {
    {"write", Sink_write, METH_O, "Keeps a copy of the bytes given."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot Sink_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(Sink_dealloc)},
    {Py_tp_methods, Sink_methods},
    {Py_tp_doc, const_cast<char *>("Output file of safe_pickle's pickler.")},
    {0, nullptr},
};

PyType_Spec Sink_spec = {
    "tarnwick_collector.data_serialization.pickler._Sink", sizeof(Sink), 0,
    Py_TPFLAGS_DEFAULT, Sink_slots};

// Objects of the interpreter and of the base classes, as the module found
// them when it was built (strong references for the process).
struct Originals {
    PyObject *sink_type = nullptr;       // Sink
    PyObject *bytes_io = nullptr;        // io.BytesIO
    PyObject *c_pickler = nullptr;       // _pickle.Pickler
    PyObject *persistent_id = nullptr;   // its descriptors, from its __dict__
    PyObject *dispatch_table = nullptr;
    PyObject *memo = nullptr;
    PyObject *clear_memo = nullptr;      // its clear_memo method descriptor
    PyObject *tarn_init = nullptr;       // tarn_pickle.Pickler.__dict__["__init__"]
    PyObject *tarn_module = nullptr;     // _tarn_pickle
    PyObject *tarn_dump = nullptr;       // the function of its pickler_dump
    tw::TarnDumpPrepared dump_prepared = nullptr;  // its C entry of that
    PyObject *failure_reducer = nullptr; // UnpicklableHelpers.__reduce__
    PyObject *special_cases = nullptr;   // UnpicklableHelpers.special_cases
    PyObject *empty_memo = nullptr;      // {} (never handed out)
};
Originals originals;

// The one reusable pickler.
struct Reuse {
    // The class last judged, only compared with (not kept alive: a kept
    // pickler keeps its class; and version tags are never given twice, so
    // another class at the same address does not pass for it).
    PyObject *cls = nullptr;
    unsigned int tag = 0;         // its version tag when found reusable
    bool ok = false;              // reusable under that tag
    PyObject *dump = nullptr;     // strong: called as dump(pickler, obj)
    PyObject *pickler = nullptr;  // strong or NULL: made under cls and tag
    PyObject *dict = nullptr;     // strong: the pickler's __dict__
    PyObject *sink = nullptr;     // strong: the pickler's file
    Py_ssize_t entries = 0;       // len(__dict__) of the pickler when made
    bool busy = false;            // a dump of it is running
};
Reuse reuse;

void drop_pickler()
{
    Py_CLEAR(reuse.dict);
    PyTypeObject *tp = reuse.pickler ? Py_TYPE(reuse.pickler) : nullptr;
    if (tp != nullptr &&
        (tp->tp_finalize != nullptr || tp->tp_del != nullptr)) {
        // Its class has been given a finalizer since it was made: freeing
        // it would run the finalizer for an instance no call of
        // safe_pickle made, so it is kept (its memo is empty and it refers
        // to nothing of any call).
        reuse.pickler = nullptr;
    }
    Py_CLEAR(reuse.pickler);
    Py_CLEAR(reuse.sink);
}

// The function that `cls.dump` binds to instances, or NULL.
PyObject *unbound_dump(PyTypeObject *tp)
{
    PyObject *d = _PyType_Lookup(tp, TW_STR("dump"));
    if (d == nullptr)
        return nullptr;
    if (PyInstanceMethod_Check(d))
        return PyInstanceMethod_GET_FUNCTION(d);
    if (PyFunction_Check(d))
        return d;
    return nullptr;
}

// Whether one instance of `cls` made by new_safe_pickler, with a Sink as
// its file, stands for every other one: its class call is type's own,
// __new__ generic, __init__ SafePickler's, going on to tarn_pickle's and to
// the C pickler's; no class attribute takes the names that construction
// sets or reads (so they live in the instance __dict__, or are the C
// pickler's own descriptors); attribute access is generic; no finalizer
// runs when an instance goes; `dump` is a plain function or method. Judged
// once per version tag of the class: any change of its namespace or of a
// base's takes the tag away.
bool reusable_class(PyObject *cls)
{
    if (!Py_IS_TYPE(cls, &PyType_Type))
        return false;
    auto *tp = reinterpret_cast<PyTypeObject *>(cls);
    if (reuse.cls == cls && (tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) &&
        reuse.tag == tp->tp_version_tag)
        return reuse.ok;
    // Judged anew: a pickler made before does not stand for the class now.
    if (reuse.busy)
        return false;
    drop_pickler();
    Py_CLEAR(reuse.dump);
    reuse.cls = cls;
    reuse.ok = false;
    reuse.tag = 0;
    if (originals.sink_type == nullptr || originals.c_pickler == nullptr ||
        originals.tarn_init == nullptr ||
        !PyType_IsSubtype(tp, reinterpret_cast<PyTypeObject *>(
                                  originals.c_pickler)) ||
        tp->tp_new != PyType_GenericNew || safe_pickler_tp_init == nullptr ||
        tp->tp_init != safe_pickler_tp_init ||
        tp->tp_getattro != PyObject_GenericGetAttr ||
        tp->tp_setattro != PyObject_GenericSetAttr ||
        tp->tp_finalize != nullptr || tp->tp_del != nullptr)
        return false;
    // __init__ along the MRO: SafePickler's, then tarn_pickle's.
    PyObject *mro = tp->tp_mro;
    int seen = 0;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); i++) {
        PyObject *dict =
            reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        if (dict == nullptr)
            continue;
        PyObject *init = PyDict_GetItemWithError(dict, TW_STR("__init__"));
        if (init == nullptr) {
            if (PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
            continue;
        }
        if (seen == 0 && is_own_init(init)) {
            seen = 1;
            continue;
        }
        if (seen == 1 && init == originals.tarn_init)
            seen = 2;
        break;
    }
    if (seen != 2)
        return false;
    PyObject *absent[] = {TW_STR("object_wrapper"), TW_STR("_tarn_protocol"),
                          TW_STR("failure_reducer"), TW_STR("special_cases")};
    for (PyObject *name : absent)
        if (name == nullptr || _PyType_Lookup(tp, name) != nullptr)
            return false;
    if (_PyType_Lookup(tp, TW_STR("persistent_id")) != originals.persistent_id ||
        _PyType_Lookup(tp, TW_STR("dispatch_table")) !=
            originals.dispatch_table)
        return false;
    PyObject *dump = unbound_dump(tp);
    if (dump == nullptr || !(tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG))
        return false;
    reuse.dump = Py_NewRef(dump);
    reuse.tag = tp->tp_version_tag;
    reuse.ok = true;
    return true;
}

// The entries of the pickler's __dict__ that take a call's arguments, with
// the object each holds (borrowed from the __dict__, which nothing but this
// code changes: the pickler is never handed out, and its dump only adds
// and takes out again its hook).
struct ArgumentEntry {
    PyObject *key;
    PyObject *now;
};

ArgumentEntry argument_entries[3];

// The pickler's _tarn_protocol entry (borrowed from its __dict__), and
// whether its dump can be run through _tarn_pickle's C entry with what
// this code knows of the pickler (its class's dump is tarn_pickle's, and
// its __dict__ has no reducer_override of its own).
PyObject *kept_protocol = nullptr;
bool kept_prepared = false;

// Fills argument_entries, kept_protocol and kept_prepared from the
// __dict__ of a pickler just made. 0 or -1.
int read_argument_entries()
{
    kept_protocol = PyDict_GetItemWithError(reuse.dict, TW_STR("_tarn_protocol"));
    if (kept_protocol == nullptr && PyErr_Occurred())
        return -1;
    const int own_override =
        PyDict_Contains(reuse.dict, TW_STR("reducer_override"));
    if (own_override < 0)
        return -1;
    kept_prepared = kept_protocol != nullptr && own_override == 0 &&
                    originals.dump_prepared != nullptr &&
                    reuse.dump == originals.tarn_dump;
    PyObject *keys[] = {TW_STR("object_wrapper"), TW_STR("failure_reducer"),
                        TW_STR("special_cases")};
    for (int i = 0; i < 3; i++) {
        if (keys[i] == nullptr)
            return -1;
        PyObject *v = PyDict_GetItemWithError(reuse.dict, keys[i]);
        if (v == nullptr) {
            if (!PyErr_Occurred())
                PyErr_SetObject(PyExc_KeyError, keys[i]);
            return -1;
        }
        argument_entries[i] = ArgumentEntry{keys[i], v};
    }
    return 0;
}

// Entry `i` set to `value`, as a fresh pickler's __init__ would have set
// it. 0 or -1.
int set_argument(int i, PyObject *value)
{
    ArgumentEntry &e = argument_entries[i];
    if (e.now == value)
        return 0;
    if (PyDict_SetItem(reuse.dict, e.key, value) < 0)
        return -1;
    e.now = value;
    return 0;
}

// After a dump: the entries let go of what a dropped pickler would no
// longer hold (None, True and False, and the failure reducer and
// special-cases predicate the module holds for the process, are kept).
// 0 or -1.
int release_arguments()
{
    PyObject *kept[] = {nullptr, originals.failure_reducer,
                        originals.special_cases};
    for (int i = 0; i < 3; i++) {
        PyObject *v = argument_entries[i].now;
        if (v == Py_None || v == Py_True || v == Py_False || v == kept[i])
            continue;
        if (set_argument(i, Py_None) < 0)
            return -1;
    }
    return 0;
}

// Outputs shorter than this hold at most five memoized objects (each
// costs at least two bytes, besides the three of the protocol header and
// the stop, and the nine of a frame header from four bytes of frame on):
// too few for the C pickler to have grown its memo table.
constexpr Py_ssize_t kSmallMemoBelow = 24;

// The C pickler's memo emptied back to a new pickler's: cleared in place
// after an output too short to have grown it, else replaced by a new
// table. 0 or -1.
int reset_memo(PyObject *pickler, Py_ssize_t output_size)
{
    if (output_size < kSmallMemoBelow && originals.clear_memo != nullptr) {
        Ref r = Ref::steal(PyObject_CallOneArg(originals.clear_memo, pickler));
        return r ? 0 : -1;
    }
    PyObject *d = originals.memo;
    if (d == nullptr || !Py_IS_TYPE(d, &PyGetSetDescr_Type) ||
        originals.empty_memo == nullptr)
        return -1;
    PyGetSetDef *gs = reinterpret_cast<PyGetSetDescrObject *>(d)->d_getset;
    if (gs->set == nullptr)
        return -1;
    return gs->set(pickler, originals.empty_memo, gs->closure);
}

// Output above this size may have grown the C pickler's buffer: such a
// pickler is dropped rather than kept with it.
constexpr Py_ssize_t kKeepOutputBelow = 4000;

// safe_pickle's work with the reusable pickler of `cls` (reusable_class
// true). New reference.
Ref pickle_reusing(PyObject *cls, PyObject *obj, PyObject *object_wrapper,
                   PyObject *failure_reducer, PyObject *special_cases)
{
    if (reuse.pickler == nullptr) {
        Ref sink = Ref::steal(PyType_GenericAlloc(
            reinterpret_cast<PyTypeObject *>(originals.sink_type), 0));
        if (!sink)
            return nullptr;
        Ref made = new_safe_pickler(cls, object_wrapper, sink.get(),
                                    failure_reducer, special_cases);
        if (!made)
            return nullptr;
        Ref dict = Ref::steal(PyObject_GenericGetDict(made.get(), nullptr));
        if (!dict)
            return nullptr;
        reuse.entries = PyDict_GET_SIZE(dict.get());
        reuse.pickler = made.release();
        reuse.dict = dict.release();
        reuse.sink = sink.release();
        if (read_argument_entries() < 0) {
            drop_pickler();
            return nullptr;
        }
    } else if (set_argument(0, object_wrapper) < 0 ||
               set_argument(1, failure_reducer) < 0 ||
               set_argument(2, special_cases) < 0) {
        drop_pickler();
        return nullptr;
    }
    // Held for the call: a dump may replace the class's dump function.
    Ref dump = Ref::borrow(reuse.dump);
    Ref pickler = Ref::borrow(reuse.pickler);
    Ref sink = Ref::borrow(reuse.sink);
    reuse.busy = true;
    Ref done;
    if (kept_prepared && argument_entries[1].now != Py_None) {
        // What the dump would read from the pickler is what was set here.
        Ref dict = Ref::borrow(reuse.dict);
        done = Ref::steal(originals.dump_prepared(
            originals.tarn_module, pickler.get(), dict.get(), obj,
            argument_entries[1].now, argument_entries[2].now, kept_protocol));
    } else {
        PyObject *argv[] = {pickler.get(), obj};
        done = Ref::steal(PyObject_Vectorcall(dump.get(), argv, 2, nullptr));
    }
    reuse.busy = false;
    auto *s = reinterpret_cast<Sink *>(sink.get());
    const Py_ssize_t size = s->size;
    Ref pickled = Ref::steal(sink_take(s));
    const bool kept = reuse.pickler == pickler.get();
    if (!done || !pickled) {
        if (kept)
            drop_pickler();
        return nullptr;
    }
    if (kept) {
        // A __dict__ that has changed (a hook the dump could not take out
        // again) is not the one a new pickler has.
        if (size >= kKeepOutputBelow ||
            PyDict_GET_SIZE(reuse.dict) != reuse.entries ||
            reset_memo(pickler.get(), size) < 0 || release_arguments() < 0) {
            PyErr_Clear();
            drop_pickler();
        }
    }
    return pickled;
}

// CollectorSettings.redact_patterns, compiled for the dump about to run
// (a settings class without it: no redaction). 0 or -1.
int refresh_redaction(PyObject *mod)
{
    Ref settings = GLOBAL(mod, "CollectorSettings");
    if (!settings)
        return -1;
    Ref patterns = CLASS_ATTR(settings.get(), "redact_patterns");
    if (!patterns) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
    }
    return pickler_redact::refresh(patterns.get());
}

PyObject *safe_pickle(FASTCALL_ARGS)
{
    static const tw::Param params[] = {{"obj"}, tw::opt("object_wrapper")};
    static const tw::ParamNames<2> names(params);
    PyObject *a[2];
    if (tw::parse("safe_pickle", params, names, args, nargs, kwnames, a) < 0)
        return nullptr;
    // Values under secret-looking names are written as the marker: the
    // pickler writes a redacted copy, the program's value stays as it is.
    if (refresh_redaction(mod) < 0)
        return nullptr;
    Ref redacted = pickler_redact::value(a[0]);
    if (!redacted)
        return nullptr;
    a[0] = redacted.get();
    PyObject *object_wrapper = a[1] != nullptr ? a[1] : Py_True;
    Ref bytes_io = GLOBAL(mod, "BytesIO");
    if (!bytes_io)
        return nullptr;
    // io's own BytesIO runs no code when made, so it is made only when it
    // is used below.
    const bool own_bytes_io =
        originals.bytes_io != nullptr && bytes_io.get() == originals.bytes_io;
    Ref pickle_data;
    if (!own_bytes_io) {
        pickle_data = tw::call(bytes_io.get());
        if (!pickle_data)
            return nullptr;
    }
    Ref pickler_type = GLOBAL(mod, "SafePickler");
    if (!pickler_type)
        return nullptr;
    Ref helpers = GLOBAL(mod, "UnpicklableHelpers");
    if (!helpers)
        return nullptr;
    Ref failure_reducer = CLASS_ATTR(helpers.get(), "__reduce__");
    if (!failure_reducer)
        return nullptr;
    Ref special_cases = CLASS_ATTR(helpers.get(), "special_cases");
    if (!special_cases)
        return nullptr;
    if (own_bytes_io && !reuse.busy && reusable_class(pickler_type.get())) {
        Ref pickled = pickle_reusing(pickler_type.get(), a[0], object_wrapper,
                                     failure_reducer.get(),
                                     special_cases.get());
        return pickled.release();
    }
    if (!pickle_data) {
        pickle_data = tw::call(bytes_io.get());
        if (!pickle_data)
            return nullptr;
    }
    Ref pickler = new_safe_pickler(pickler_type.get(), object_wrapper,
                                   pickle_data.get(), failure_reducer.get(),
                                   special_cases.get());
    if (!pickler)
        return nullptr;
    if (!tw::call_method(pickler.get(), TW_STR("dump"), a[0]))
        return nullptr;
    Ref pickled = tw::call_method(pickle_data.get(), TW_STR("getvalue"));
    if (!pickled)
        return nullptr;
    if (pickled.get() != Py_None && !PyBytes_CheckExact(pickled.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "bytes",
                     Py_TYPE(pickled.get())->tp_name);
        return nullptr;
    }
    return pickled.release();
}

PyObject *safe_pickle_loads(PyObject *mod, PyObject *data)
{
    Ref package = GLOBAL(mod, "tarnwick_collector");
    Ref sub = package ? ATTR(package.get(), "data_serialization") : nullptr;
    Ref base = sub ? ATTR(sub.get(), "tarn_pickle") : nullptr;
    Ref loads = base ? ATTR(base.get(), "loads") : nullptr;
    Ref unpickled = loads ? tw::call(loads.get(), data) : nullptr;
    if (unpickled)
        return unpickled.release();
    if (!swallow())
        return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef safe_pickle_def = {
    "safe_pickle", TW_FASTCALL(safe_pickle), TW_FASTCALL_FLAGS,
    "The pickle of `obj` as bytes, written by SafePickler; `object_wrapper` "
    "writes objects with recorded used attributes as object wrappers."};
PyMethodDef safe_pickle_loads_def = {
    "safe_pickle_loads", safe_pickle_loads, METH_O,
    "The object unpickled from `data`, or None when that fails."};

// =============================================================== module body

const char *const kSafePicklerDoc =
    "\n    This class is a pickle.Pickler that overrides the default pickle "
    "reducer.\n    ";
const char *const kUnpicklableHelpersDoc =
    "\n    This class contains functions to help with pickling objects that "
    "are generaly unpicklable.\n    Its main functionality is the failure "
    "reducer that is being called when pickle fails to pickle an object.\n"
    "    ";

int set_str(PyObject *m, const char *name, PyObject *interned)
{
    return interned == nullptr ? -1 : tw::set_global(m, name, interned);
}

// A set of the given borrowed items; new reference.
Ref make_set(std::initializer_list<PyObject *> items)
{
    Ref s = Ref::steal(PySet_New(nullptr));
    if (!s)
        return nullptr;
    for (PyObject *item : items)
        if (item == nullptr || PySet_Add(s.get(), item) < 0)
            return nullptr;
    return s;
}

int imports(PyObject *m)
{
    static const char *const modules[] = {"datetime", "uuid",    "pathlib",
                                          "random",   "os",      "copyreg",
                                          "types",    "inspect"};
    for (const char *name : modules)
        if (tw::import_module(m, name) < 0)
            return -1;
    if (tw::import_module(m, "tarnwick_collector.data_serialization.tarn_pickle") < 0)
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

int constants(PyObject *m)
{
    if (set_str(m, "DOT", TW_STR(".")) < 0 ||
        set_str(m, "DICT_DUNDER", TW_STR("__dict__")) < 0 ||
        set_str(m, "REDUCE_ALLOWED_QUAL_NAME", TW_STR("FunctionWrapper")) < 0 ||
        set_str(m, "REDUCE_ALLOWED_MODULE",
                TW_STR("tarnwick_common.utils.object_wrapper")) < 0)
        return -1;
    Ref sessions = Ref::steal(Py_BuildValue("{s:[s]}", "sqlalchemy.orm.session",
                                            "Session"));
    if (!sessions ||
        tw::set_global(m, "TYPES_TO_CONTINUE_PICKLE_ON_ERROR", sessions.get()) < 0)
        return -1;
    if (set_str(m, "GET_INITARGS", TW_STR("__getinitargs__")) < 0 ||
        set_str(m, "GET_NEWARGS_EX", TW_STR("__getnewargs_ex__")) < 0 ||
        set_str(m, "GETNEWARGS", TW_STR("__getnewargs__")) < 0 ||
        set_str(m, "GETSTATE_STR", TW_STR("__getstate__")) < 0 ||
        set_str(m, "REDUCE_STR", TW_STR("__reduce__")) < 0 ||
        set_str(m, "INIT_STR", TW_STR("__init__")) < 0 ||
        set_str(m, "FUNC_STR", TW_STR("__func__")) < 0 ||
        set_str(m, "SELF_STR", TW_STR("__self__")) < 0 ||
        set_str(m, "GETATTR_STR", TW_STR("__getattr__")) < 0 ||
        set_str(m, "CODE_STR", TW_STR("__code__")) < 0 ||
        set_str(m, "CLASS_METHOD_DESCRIPTOR",
                TW_STR("classmethod_descriptor")) < 0 ||
        set_str(m, "BUILTIN_METHOD", TW_STR("builtin_method")) < 0)
        return -1;
    Ref types = GLOBAL(m, "types");
    if (!types)
        return -1;
    Ref function_type = ATTR(types.get(), "FunctionType");
    Ref method_descriptor_type = ATTR(types.get(), "MethodDescriptorType");
    Ref method_type = ATTR(types.get(), "MethodType");
    Ref builtin_function_type = ATTR(types.get(), "BuiltinFunctionType");
    Ref builtin_method_type = ATTR(types.get(), "BuiltinMethodType");
    Ref function_types =
        make_set({function_type.get(), method_descriptor_type.get(),
                  method_type.get(), builtin_function_type.get(),
                  builtin_method_type.get()});
    if (!function_types ||
        tw::set_global(m, "FUNCTIONS_TYPES", function_types.get()) < 0)
        return -1;
    Ref method_types = make_set({method_descriptor_type.get(),
                                 method_type.get(), builtin_method_type.get()});
    if (!method_types ||
        tw::set_global(m, "METHOD_TYPES", method_types.get()) < 0)
        return -1;
    Ref copyreg = GLOBAL(m, "copyreg");
    Ref reconstructor = copyreg ? ATTR(copyreg.get(), "_reconstructor") : nullptr;
    if (!reconstructor ||
        tw::set_global(m, "_reconstructor", reconstructor.get()) < 0)
        return -1;
    Ref ostrelle = GLOBAL(m, "Ostrelle");
    Ref extract = ostrelle ? ATTR(ostrelle.get(), "extract_function_metadata")
                           : nullptr;
    if (!extract || tw::set_global(m, "EXTRACT_METADATA", extract.get()) < 0)
        return -1;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero || tw::set_global(m, "FUNCTION_META_DATA_INDEX", zero.get()) < 0)
        return -1;
    return 0;
}

int module_functions(PyObject *m)
{
    PyMethodDef *defs[] = {&is_classmethod_def,
                           &wrap_object_def,
                           &wrap_module_def,
                           &wrap_function_def,
                           &wrap_exception_def,
                           &get_attributes_value_def,
                           &is_obj_python_based_def,
                           &obj_has_getattr_that_is_python_based_def};
    for (PyMethodDef *def : defs)
        if (tw::add_function(m, def) < 0)
            return -1;
    return 0;
}

int by_name_classes(PyObject *m)
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
#define GLOBAL_ATTR(m, name, attr) tw::global_attr((m), TW_STR(name), TW_STR(attr))

int safe_pickler_class(PyObject *m)
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
    Ref types_to_skip = make_set({
        T(PyType_Type), T(PyBool_Type), T(PyLong_Type), T(PyFloat_Type),
        T(PyBytes_Type), T(PyUnicode_Type), T(PyDict_Type), T(PySet_Type),
        T(PyFrozenSet_Type), T(PyList_Type), T(PyTuple_Type),
        T(PyByteArray_Type),
        reinterpret_cast<PyObject *>(Py_TYPE(wrap_object.get())),
        refs[0].get(), refs[1].get(), refs[2].get(), refs[3].get(),
        refs[4].get(), refs[5].get(), refs[6].get(), refs[7].get(),
        refs[8].get(), refs[9].get(), refs[10].get(), refs[11].get(),
        refs[12].get(), refs[13].get(), refs[14].get(), refs[15].get(),
        refs[16].get(), refs[17].get()});
    if (!types_to_skip)
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

    Ref cls = tw::ClassBuilder(m, "SafePickler", kSafePicklerDoc)
                  .attr("types_to_skip", types_to_skip.get())
                  .attr("subclasses_to_skip", subclasses_to_skip.get())
                  .attr("full_names_to_run_functions",
                        full_names_to_run_functions.get())
                  .attr("full_names_to_rebuild_functions_dict",
                        factories.get())
                  .attr("specific_type_for_magic_mock",
                        magic_mock_types.get())
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
    safe_pickler_tp_init = reinterpret_cast<PyTypeObject *>(cls.get())->tp_init;
    PyObject *previous = built_safe_pickler;
    built_safe_pickler = cls.new_ref();
    Py_XDECREF(previous);
    return 0;
}

int unpicklable_helpers_class(PyObject *m)
{
    Ref cls = tw::ClassBuilder(m, "UnpicklableHelpers", kUnpicklableHelpersDoc)
                  .staticmethod(&UnpicklableHelpers_get_full_name_def)
                  .staticmethod(&UnpicklableHelpers_should_use_getattr_def)
                  .staticmethod(&UnpicklableHelpers_reduce_def)
                  .staticmethod(&UnpicklableHelpers_special_cases_def)
                  .build(nullptr, nullptr, "UnpicklableHelpers");
    return cls ? 0 : -1;
}

// `owner.__dict__[name]` of a class; new reference (KeyError when absent).
Ref own_class_entry(PyObject *owner, const char *name)
{
    if (!PyType_Check(owner)) {
        PyErr_Format(PyExc_TypeError, "%R is not a class", owner);
        return nullptr;
    }
    PyObject *dict = reinterpret_cast<PyTypeObject *>(owner)->tp_dict;
    PyObject *v = dict ? PyDict_GetItemString(dict, name) : nullptr;
    if (v == nullptr) {
        PyErr_SetString(PyExc_KeyError, name);
        return nullptr;
    }
    return Ref::borrow(v);
}

// Fills `originals` (see the reusable pickler) from what the module body
// has just bound and imported. 0 or -1.
int capture_originals(PyObject *m)
{
    if (originals.sink_type == nullptr) {
        originals.sink_type = PyType_FromSpec(&Sink_spec);
        if (originals.sink_type == nullptr)
            return -1;
    }
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    Ref bytes_io = io ? ATTR(io.get(), "BytesIO") : nullptr;
    Ref c_module = Ref::steal(PyImport_ImportModule("_pickle"));
    Ref c_pickler = c_module ? ATTR(c_module.get(), "Pickler") : nullptr;
    Ref tarn = Ref::steal(PyImport_ImportModule(
        "tarnwick_collector.data_serialization._tarn_pickle"));
    Ref tarn_init = tarn ? ATTR(tarn.get(), "pickler_init") : nullptr;
    Ref tarn_dump = tarn ? ATTR(tarn.get(), "pickler_dump") : nullptr;
    if (tarn_dump && PyInstanceMethod_Check(tarn_dump.get()))
        tarn_dump = Ref::borrow(PyInstanceMethod_GET_FUNCTION(tarn_dump.get()));
    Ref helpers = GLOBAL(m, "UnpicklableHelpers");
    if (!bytes_io || !c_pickler || !tarn_init || !tarn_dump || !helpers)
        return -1;
    auto *prepared = static_cast<const tw::TarnDumpPrepared *>(
        PyCapsule_Import(TW_TARN_DUMP_PREPARED_CAPSULE, 0));
    if (prepared == nullptr)
        return -1;
    auto *walk_entry = static_cast<const tw::TarnCurrentWalk *>(
        PyCapsule_Import(TW_TARN_CURRENT_WALK_CAPSULE, 0));
    if (walk_entry == nullptr)
        return -1;
    current_walk = *walk_entry;
    Ref persistent_id = own_class_entry(c_pickler.get(), "persistent_id");
    Ref dispatch_table = own_class_entry(c_pickler.get(), "dispatch_table");
    Ref memo = own_class_entry(c_pickler.get(), "memo");
    Ref clear_memo = own_class_entry(c_pickler.get(), "clear_memo");
    Ref failure_reducer = ATTR(helpers.get(), "__reduce__");
    Ref special_cases = ATTR(helpers.get(), "special_cases");
    Ref empty_memo = Ref::steal(PyDict_New());
    Ref os = GLOBAL(m, "os");
    Ref os_path = os ? ATTR(os.get(), "path") : nullptr;
    Ref relpath = os_path ? ATTR(os_path.get(), "relpath") : nullptr;
    Ref replace_main = GLOBAL(m, "replace__main__with_real_name");
    if (!persistent_id || !dispatch_table || !memo || !clear_memo ||
        !failure_reducer || !special_cases || !empty_memo || !relpath ||
        !replace_main)
        return -1;
    Py_XSETREF(originals.bytes_io, bytes_io.release());
    Py_XSETREF(originals.c_pickler, c_pickler.release());
    Py_XSETREF(originals.persistent_id, persistent_id.release());
    Py_XSETREF(originals.dispatch_table, dispatch_table.release());
    Py_XSETREF(originals.memo, memo.release());
    Py_XSETREF(originals.clear_memo, clear_memo.release());
    Py_XSETREF(originals.tarn_init, tarn_init.release());
    Py_XSETREF(originals.tarn_module, tarn.release());
    Py_XSETREF(originals.tarn_dump, tarn_dump.release());
    originals.dump_prepared = *prepared;
    Py_XSETREF(originals.failure_reducer, failure_reducer.release());
    Py_XSETREF(originals.special_cases, special_cases.release());
    Py_XSETREF(originals.empty_memo, empty_memo.release());
    Py_XSETREF(main_names.relpath, relpath.release());
    Py_XSETREF(main_names.replace, replace_main.release());
    const char *named_modules[2] = {"tarnwick_collector.data_collection.ostrelle",
                                    "tarnwick_common.name_extractor"};
    PyObject *namespaces[3] = {PyModule_GetDict(m), nullptr, nullptr};
    Ref modules[2];
    for (int i = 0; i < 2; i++) {
        modules[i] = Ref::steal(PyImport_ImportModule(named_modules[i]));
        if (!modules[i])
            return -1;
        namespaces[i + 1] = PyModule_GetDict(modules[i].get());
    }
    for (int i = 0; i < 3; i++) {
        Py_INCREF(namespaces[i]);
        Py_XSETREF(bound_names.namespaces[i], namespaces[i]);
    }
    Ref inspect = GLOBAL(m, "inspect");
    if (!inspect || capture_routines(inspect.get()) < 0)
        return -1;
    if (main_names.known == nullptr) {
        main_names.known = PyDict_New();
        if (main_names.known == nullptr)
            return -1;
    }
    return 0;
}

int exec_module(PyObject *m)
{
    if (imports(m) < 0 || constants(m) < 0 || module_functions(m) < 0 ||
        by_name_classes(m) < 0 || safe_pickler_class(m) < 0 ||
        unpicklable_helpers_class(m) < 0 || capture_originals(m) < 0)
        return -1;
    if (tw::add_function(m, &safe_pickle_def) < 0 ||
        tw::add_function(m, &safe_pickle_loads_def) < 0)
        return -1;
    return 0;
}

}  // namespace

TW_MODULE(pickler,
          "The safe pickler: writes any recorded value, rewriting functions, "
          "modules, exceptions, objects with known used attributes and "
          "unpicklable objects into forms that load elsewhere.",
          nullptr, exec_module)
