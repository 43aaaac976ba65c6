// Shims so the modules build on CPython 3.8 and later with one set of names.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

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
    PyObject *r = _PyObject_Vectorcall(
        m, args + 1, PyVectorcall_NARGS(nargsf) - 1, kwnames);
    Py_DECREF(m);
    return r;
}
#endif

#if PY_VERSION_HEX < 0x030A0000
#define PySet_CheckExact(op) Py_IS_TYPE(op, &PySet_Type)
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

#if PY_VERSION_HEX < 0x03090000
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
// The code object a frame runs; new reference.
static inline PyCodeObject *PyFrame_GetCode(PyFrameObject *frame)
{
    Py_INCREF(frame->f_code);
    return frame->f_code;
}
#endif

// A heap type the program cannot instantiate (calling it raises TypeError);
// before 3.10 there is no such flag and the type takes no arguments anyway.
#if PY_VERSION_HEX >= 0x030A0000
#define TW_TPFLAGS_DISALLOW_INSTANTIATION Py_TPFLAGS_DISALLOW_INSTANTIATION
#else
#define TW_TPFLAGS_DISALLOW_INSTANTIATION 0
#endif

#if PY_VERSION_HEX < 0x030D0000
// getattr(obj, name) with AttributeError turned into "absent": 1 and a new
// reference in *result, 0 and NULL when absent (where the interpreter
// allows it, without creating the exception), -1 on another error.
static inline int PyObject_GetOptionalAttr(PyObject *obj, PyObject *name,
                                           PyObject **result)
{
    return _PyObject_LookupAttr(obj, name, result);
}
// The object a weak reference points to: 1 and a new reference in *pobj,
// 0 and NULL when it is gone, -1 (TypeError) when `ref` is no weak
// reference.
static inline int PyWeakref_GetRef(PyObject *ref, PyObject **pobj)
{
    if (ref == nullptr || !PyWeakref_Check(ref)) {
        *pobj = nullptr;
        PyErr_SetString(PyExc_TypeError, "expected a weakref");
        return -1;
    }
    PyObject *obj = PyWeakref_GET_OBJECT(ref);
    if (obj == Py_None) {
        *pobj = nullptr;
        return 0;
    }
    *pobj = Py_NewRef(obj);
    return 1;
}
#endif

// Symbols other shared objects or ctypes must see despite -fvisibility=hidden.
#define TW_EXPORT extern "C" __attribute__((visibility("default")))

// How many more nested calls the interpreter allows on this thread before
// it raises RecursionError, as the C pickler counts them.
static inline int tw_recursion_left()
{
    PyThreadState *ts = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030E0000
    (void)ts;
    return 1 << 30;  // limits are by stack size: not counted here
#elif PY_VERSION_HEX >= 0x030C0000
    return ts->c_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030B0000
    return ts->recursion_remaining;
#else
    return Py_GetRecursionLimit() - ts->recursion_depth;
#endif
}

// Whether a class has a valid version tag (one that any change of its
// namespace or of a base's takes away). From 3.13 on, a tag of zero marks
// an invalid one and the flag is no longer kept.
#if PY_VERSION_HEX >= 0x030D0000
#define TW_VALID_VERSION_TAG(t) ((t)->tp_version_tag != 0)
#else
#define TW_VALID_VERSION_TAG(t)                                               \
    (((t)->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0)
#endif
