// Entries keyed by an object's identity, told from entries of an earlier
// object that had the same address.
//
// The recording core keys what it learns of an object by id(obj) (the
// followed identities, the used-attribute names). Once the object is gone
// the allocator hands its address to the next object, which may be anything,
// the recorder's own records included. An entry therefore keeps an *owner*:
// a weak reference to its object, or the object's type when the object
// takes no weak reference, and is used for an object only when its owner
// names that object.
#pragma once

#include "tw/attr.hpp"
#include "tw/ref.hpp"

namespace tw {

// The owner to keep for an entry about `obj`: a weak reference to it, or its
// type. New reference, or NULL with an exception set.
inline PyObject *owner_of(PyObject *obj)
{
    if (Py_TYPE(obj)->tp_weaklistoffset != 0) {
        PyObject *ref = PyWeakref_NewRef(obj, nullptr);
        if (ref != nullptr)
            return ref;
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            return nullptr;
        PyErr_Clear();
    }
    return Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(obj)));
}

// Whether `owner` (made by owner_of) names `obj`. An owner of another form
// (or None: not known) is taken to name it. Never fails.
inline bool owner_is(PyObject *owner, PyObject *obj)
{
    if (PyWeakref_CheckRef(owner)) {
        PyObject *target = nullptr;
        if (PyWeakref_GetRef(owner, &target) < 0) {
            PyErr_Clear();
            return false;
        }
        Py_XDECREF(target);  // only compared
        return target == obj;
    }
    if (PyType_Check(owner))
        return reinterpret_cast<PyObject *>(Py_TYPE(obj)) == owner;
    return true;
}

// Whether the used-attribute entry `entry`, found under id(obj), was made
// for `obj`: an entry that keeps an `owner` is used only for the object its
// owner names; any other entry (a plain set stored by someone else) is
// taken as it is. Never fails.
inline bool entry_applies(PyObject *entry, PyObject *obj)
{
    if (PyAnySet_CheckExact(entry) || PyList_CheckExact(entry) ||
        PyUnicode_CheckExact(entry) || PyDict_CheckExact(entry))
        return true;
    Ref owner;
    if (optional_attr(entry, TW_STR("owner"), owner) <= 0) {
        PyErr_Clear();
        return true;
    }
    return owner.get() == Py_None || owner_is(owner.get(), obj);
}

// Whether a loaded value is an atom an entry may keep for good: holding it
// keeps nothing of the program alive and costs at most a few hundred bytes.
// Members of enumerations (`enum_meta`: enum.EnumMeta, or NULL) live as
// long as their class anyway.
inline bool keepable_atom(PyObject *v, PyObject *enum_meta = nullptr)
{
    constexpr Py_ssize_t kLongest = 256;
    PyTypeObject *t = Py_TYPE(v);
    if (v == Py_None || t == &PyBool_Type || t == &PyFloat_Type ||
        t == &PyComplex_Type)
        return true;
    if (t == &PyLong_Type)
        return _PyLong_NumBits(v) <= 64 * 8;
    if (t == &PyUnicode_Type)
        return PyUnicode_GET_LENGTH(v) <= kLongest;
    if (t == &PyBytes_Type)
        return PyBytes_GET_SIZE(v) <= kLongest;
    return enum_meta != nullptr &&
           reinterpret_cast<PyObject *>(Py_TYPE(t)) == enum_meta;
}

}  // namespace tw
