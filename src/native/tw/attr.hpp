// Attribute lookups and truth tests shared by the modules: the optional
// attribute lookup (an absent attribute raises nothing on the way), an
// object's __class__ taken without a lookup where nothing can change it,
// the truth value of an object with the flag values answered first, and
// lookups remembered at their call site while the namespaces they read
// keep their version tags (TW_GLOBAL, TW_CLASS_ATTR, TW_MODULE_ATTR).
#pragma once

#include "tw/classes.hpp"
#include "tw/ref.hpp"

#include <cstdint>

namespace tw {

// getattr(obj, name) with "absent" told apart, `name` interned (NULL: its
// creation failed, and so does this): 1 and a new reference in `out`; 0
// and `out` empty when the attribute is absent (no exception, and where
// the interpreter allows it none is created on the way); -1 on another
// error.
inline int optional_attr(PyObject *obj, PyObject *name, Ref &out)
{
    if (name == nullptr) {
        out.reset();
        return -1;
    }
    PyObject *v = nullptr;
    const int r = PyObject_GetOptionalAttr(obj, name, &v);
    out.reset(v);
    return r;
}

// Whether obj.__class__ is surely type(obj): the object's type keeps the
// generic attribute lookup and object's own __class__ descriptor (a data
// descriptor: nothing in the instance can shadow it).
inline bool class_is_type(PyObject *obj)
{
    static PyObject *object_class =
        _PyType_Lookup(&PyBaseObject_Type, TW_STR("__class__"));
    PyTypeObject *tp = Py_TYPE(obj);
    return object_class != nullptr &&
           tp->tp_getattro == PyObject_GenericGetAttr &&
           _PyType_Lookup(tp, TW_STR("__class__")) == object_class;
}

// obj.__class__; new reference. Taken without a lookup when it is surely
// type(obj).
inline Ref class_of(PyObject *obj)
{
    if (class_is_type(obj))
        return Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(obj)));
    return getattr(obj, TW_STR("__class__"));
}

// Truth value of a borrowed object: 1, 0, or -1 with an exception set.
// True, False and None are answered without a call.
inline int truth(PyObject *o)
{
    if (o == Py_True)
        return 1;
    if (o == Py_False || o == Py_None)
        return 0;
    return PyObject_IsTrue(o);
}

// ------------------------------------------------- remembered lookups

// One call site's memory of a module-level name: the value it found and
// the version tag the module namespace had then.
struct GlobalSlot {
    uint64_t version = 0;
    PyObject *value = nullptr;  // borrowed from the namespace
};

// Module-level name `name` (a literal) of `mod`, as a lookup at this use
// finds it, remembered at the call site; new reference.
#define TW_GLOBAL(mod, name)                                                  \
    ([&]() -> ::tw::Ref {                                                     \
        static ::tw::GlobalSlot slot_;                                        \
        return ::tw::cached_global((mod), TW_STR(name), slot_);               \
    }())

// One call site's memory of an attribute of a class or a module: the
// object it was read from, the version tag that told the value could not
// have changed, and the value (borrowed from a namespace that holds it).
struct AttrSlot {
    PyObject *owner = nullptr;
    uint64_t version = 0;
    PyObject *value = nullptr;
};

// getattr(cls, "name") of a class, remembered at this call site; new
// reference.
#define TW_CLASS_ATTR(cls, name)                                              \
    ([&]() -> ::tw::Ref {                                                     \
        static ::tw::AttrSlot slot_;                                          \
        return ::tw::cached_class_attr((cls), TW_STR(name), slot_);           \
    }())
// getattr(module, "name") of a module, remembered at this call site; new
// reference.
#define TW_MODULE_ATTR(module, name)                                          \
    ([&]() -> ::tw::Ref {                                                     \
        static ::tw::AttrSlot slot_;                                          \
        return ::tw::cached_module_attr((module), TW_STR(name), slot_);       \
    }())

#if PY_VERSION_HEX < 0x030C0000
// The version tag of a dict: a new one, unique in the process, after every
// change.
inline uint64_t dict_version(PyObject *dict)
{
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
}

// dict[name], remembered in `slot` (a GlobalSlot or an AttrSlot) under the
// dict's version tag `version`: 1 with `value` set (borrowed), 0 when the
// name is absent, -1 with an error.
template <typename Slot>
inline int remember_entry(PyObject *dict, PyObject *name, uint64_t version,
                          Slot &slot, PyObject *&value)
{
    value = PyDict_GetItemWithError(dict, name);
    if (value == nullptr)
        return PyErr_Occurred() ? -1 : 0;
    slot.version = version;
    slot.value = value;
    return 1;
}
#endif

// Module-level name `name` of `mod` as a lookup now would find it; new
// reference. Every change of a dict gives it a new version tag, unique in
// the process, so while the namespace keeps the tag it had when `slot` was
// filled the value in `slot` is exactly what the lookup would return. The
// hot path thus reads a dozen names without a dozen dict lookups. (Only
// interpreters that keep the tag; later ones look the name up each time.)
inline Ref cached_global(PyObject *mod, PyObject *name, GlobalSlot &slot)
{
#if PY_VERSION_HEX < 0x030C0000
    if (name == nullptr)
        return nullptr;
    PyObject *dict = PyModule_GetDict(mod);
    const uint64_t version = dict_version(dict);
    if (slot.value != nullptr && slot.version == version)
        return Ref::borrow(slot.value);
    PyObject *value;
    const int found = remember_entry(dict, name, version, slot, value);
    if (found != 0)
        return found < 0 ? nullptr : Ref::borrow(value);
#else
    (void)slot;
#endif
    return global(mod, name);
}

// Whether the type `meta` has a data descriptor named `name`, which would
// take an attribute lookup on its instances over their own namespaces.
inline bool has_data_descriptor(PyTypeObject *meta, PyObject *name)
{
    PyObject *d = _PyType_Lookup(meta, name);
    return d != nullptr && Py_TYPE(d)->tp_descr_set != nullptr;
}

// getattr(cls, name) for a class; new reference. For a class whose
// metaclass is `type` the lookup is the class's own MRO walk (type has no
// data descriptor of that name), and every change of the namespace of the
// class or of one of its bases takes its valid version tag away; tags are
// never reused. While the class keeps the tag the slot was filled under,
// the value found then is the one a lookup finds now.
inline Ref cached_class_attr(PyObject *cls, PyObject *name, AttrSlot &slot)
{
    if (name == nullptr)
        return nullptr;
    if (Py_IS_TYPE(cls, &PyType_Type)) {
        auto *t = reinterpret_cast<PyTypeObject *>(cls);
        PyObject *value = nullptr;
        if (TW_VALID_VERSION_TAG(t) && slot.owner == cls &&
            slot.version == t->tp_version_tag) {
            value = slot.value;
        } else {
            value = _PyType_Lookup(t, name);
            if (value == nullptr ||
                (Py_TYPE(value)->tp_descr_get != nullptr &&
                 !Py_IS_TYPE(value, &PyStaticMethod_Type)) ||
                has_data_descriptor(&PyType_Type, name) ||
                !TW_VALID_VERSION_TAG(t))
                return getattr(cls, name);
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
    return getattr(cls, name);
}

// getattr(module, name) for a module object; new reference. For a plain
// module that is the entry of its namespace (the module type has no data
// descriptor of that name), remembered like a module-level name while the
// namespace keeps its version tag.
inline Ref cached_module_attr(PyObject *module, PyObject *name, AttrSlot &slot)
{
#if PY_VERSION_HEX < 0x030C0000
    if (name == nullptr)
        return nullptr;
    if (Py_IS_TYPE(module, &PyModule_Type)) {
        PyObject *dict = PyModule_GetDict(module);
        const uint64_t version = dict_version(dict);
        if (slot.owner == module && slot.version == version)
            return Ref::borrow(slot.value);
        if (!has_data_descriptor(&PyModule_Type, name)) {
            PyObject *value;
            const int found = remember_entry(dict, name, version, slot, value);
            if (found > 0)
                slot.owner = module;
            if (found != 0)
                return found < 0 ? nullptr : Ref::borrow(value);
        }
    }
#else
    (void)slot;
#endif
    return getattr(module, name);
}

}  // namespace tw
