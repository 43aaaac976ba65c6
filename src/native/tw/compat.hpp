// Shims so the modules build on CPython 3.8 and later with one set of names.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x03080000
#error "tarnwick_collector needs CPython 3.8 or later"
#endif

#if PY_VERSION_HEX < 0x03090000
#define PyObject_Vectorcall _PyObject_Vectorcall
#define Py_IS_TYPE(ob, tp) (Py_TYPE(ob) == (tp))
static inline PyObject *PyObject_CallOneArg(PyObject *f, PyObject *a)
{
    return _PyObject_Vectorcall(f, &a, 1, nullptr);
}
static inline PyObject *PyObject_CallNoArgs(PyObject *f)
{
    return _PyObject_Vectorcall(f, nullptr, 0, nullptr);
}
// Method call by name: looks the attribute up and calls it with args[1:].
static inline PyObject *PyObject_VectorcallMethod(PyObject *name,
                                                  PyObject *const *args,
                                                  size_t nargsf,
                                                  PyObject *kwnames)
{
    PyObject *m = PyObject_GetAttr(args[0], name);
    if (m == nullptr)
        return nullptr;
    PyObject *r = _PyObject_Vectorcall(m, args + 1,
                                       PyVectorcall_NARGS(nargsf) - 1,
                                       kwnames);
    Py_DECREF(m);
    return r;
}
#endif

#if PY_VERSION_HEX < 0x030A0000
static inline PyObject *Py_NewRef(PyObject *o)
{
    Py_INCREF(o);
    return o;
}
static inline PyObject *Py_XNewRef(PyObject *o)
{
    Py_XINCREF(o);
    return o;
}
static inline int PyModule_AddObjectRef(PyObject *m, const char *name,
                                        PyObject *value)
{
    Py_XINCREF(value);
    int r = PyModule_AddObject(m, name, value);
    if (r < 0)
        Py_XDECREF(value);
    return r;
}
#endif

// Symbols other shared objects or ctypes must see despite -fvisibility=hidden.
#define TW_EXPORT extern "C" __attribute__((visibility("default")))
