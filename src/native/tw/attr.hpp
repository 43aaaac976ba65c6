// Attribute lookups and truth tests shared by the modules: the optional
// attribute lookup (an absent attribute raises nothing on the way), an
// object's __class__ taken without a lookup where nothing can change it,
// and the truth value of an object with the flag values answered first.
#pragma once

#include "tw/ref.hpp"

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

// obj.__class__; new reference. When the object's type keeps the generic
// attribute lookup and object's own __class__ descriptor (a data
// descriptor: nothing in the instance can shadow it), that is type(obj),
// taken without a lookup.
inline Ref class_of(PyObject *obj)
{
    static PyObject *object_class =
        _PyType_Lookup(&PyBaseObject_Type, TW_STR("__class__"));
    PyTypeObject *tp = Py_TYPE(obj);
    if (object_class != nullptr && tp->tp_getattro == PyObject_GenericGetAttr &&
        _PyType_Lookup(tp, TW_STR("__class__")) == object_class)
        return Ref::borrow(reinterpret_cast<PyObject *>(tp));
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

}  // namespace tw
