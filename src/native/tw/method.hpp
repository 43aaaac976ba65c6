// Method objects with attributes of their own, for classes built in C++.
//
// A builtin function wrapped with PyInstanceMethod_New binds like a Python
// function but accepts no attributes, so `abc.abstractmethod` (which sets
// `__isabstractmethod__`) and `__annotations__` cannot be applied to it.
// tw::method_object wraps a builtin function in a small callable with an
// instance __dict__ that binds like a Python function: `Cls.meth` is the
// object itself, `obj.meth` a bound method. Its __dict__ starts with
// __name__, __qualname__, __module__ and __doc__.
#pragma once

#include <structmember.h>

#include <cstddef>
#include <string>

#include "classes.hpp"
#include "ref.hpp"

namespace tw {

namespace detail {

struct MethodObject {
    PyObject_HEAD
    PyObject *func;  // the builtin function (strong)
    PyObject *dict;  // instance __dict__ (strong or NULL)
#if PY_VERSION_HEX >= 0x03090000
    vectorcallfunc vectorcall;
#endif
};

inline int method_traverse(PyObject *self, visitproc visit, void *arg)
{
    MethodObject *m = reinterpret_cast<MethodObject *>(self);
    Py_VISIT(m->func);
    Py_VISIT(m->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

inline int method_clear(PyObject *self)
{
    MethodObject *m = reinterpret_cast<MethodObject *>(self);
    Py_CLEAR(m->func);
    Py_CLEAR(m->dict);
    return 0;
}

inline void method_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    method_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

inline PyObject *method_call(PyObject *self, PyObject *args, PyObject *kwargs)
{
    return PyObject_Call(reinterpret_cast<MethodObject *>(self)->func, args,
                         kwargs);
}

#if PY_VERSION_HEX >= 0x03090000
inline PyObject *method_vectorcall(PyObject *self, PyObject *const *args,
                                   size_t nargsf, PyObject *kwnames)
{
    return PyObject_Vectorcall(reinterpret_cast<MethodObject *>(self)->func,
                               args, nargsf, kwnames);
}
#endif

// Binds like a function: itself on the class, a bound method on instances.
inline PyObject *method_get(PyObject *self, PyObject *obj, PyObject *)
{
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline PyObject *method_repr(PyObject *self)
{
    MethodObject *m = reinterpret_cast<MethodObject *>(self);
    PyObject *qn =
        m->dict ? PyDict_GetItemString(m->dict, "__qualname__") : nullptr;
    if (qn != nullptr)
        return PyUnicode_FromFormat("<function %S>", qn);
    return PyUnicode_FromFormat("<function at %p>", self);
}

// The type, created once per shared object; borrowed.
inline PyTypeObject *method_type()
{
    static PyTypeObject *type = []() -> PyTypeObject * {
        static PyMemberDef members[] = {
            {const_cast<char *>("__dictoffset__"), T_PYSSIZET,
             offsetof(MethodObject, dict), READONLY, nullptr},
#if PY_VERSION_HEX >= 0x03090000
            {const_cast<char *>("__vectorcalloffset__"), T_PYSSIZET,
             offsetof(MethodObject, vectorcall), READONLY, nullptr},
#endif
            {nullptr, 0, 0, 0, nullptr}
        };
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void *>(method_dealloc)},
            {Py_tp_traverse, reinterpret_cast<void *>(method_traverse)},
            {Py_tp_clear, reinterpret_cast<void *>(method_clear)},
            {Py_tp_call, reinterpret_cast<void *>(method_call)},
            {Py_tp_descr_get, reinterpret_cast<void *>(method_get)},
            {Py_tp_repr, reinterpret_cast<void *>(method_repr)},
            {Py_tp_getattro,
             reinterpret_cast<void *>(PyObject_GenericGetAttr)},
            {Py_tp_setattro,
             reinterpret_cast<void *>(PyObject_GenericSetAttr)},
            {Py_tp_members, members},
            {0, nullptr}};
        static PyType_Spec spec = {
            "tarnwick_native.method",
            sizeof(MethodObject),
            0,
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC
#if PY_VERSION_HEX >= 0x03090000
                | Py_TPFLAGS_HAVE_VECTORCALL
#endif
                | Py_TPFLAGS_METHOD_DESCRIPTOR,
            slots
        };
        PyTypeObject *tp =
            reinterpret_cast<PyTypeObject *>(PyType_FromSpec(&spec));
#if PY_VERSION_HEX < 0x03090000
        // Before 3.9 PyType_FromSpec ignores the __dictoffset__ member.
        if (tp != nullptr) {
            tp->tp_dictoffset = offsetof(MethodObject, dict);
            PyType_Modified(tp);
        }
#endif
        return tp;
    }();
    return type;
}

}  // namespace detail

// A method object for `def` (static storage) of the class `class_qualname`
// of `module`; new reference. Add it to a class with
// ClassBuilder::attr_steal, after decorating it if need be.
inline Ref method_object(PyObject *module, PyMethodDef *def,
                         const char *class_qualname)
{
    PyTypeObject *tp = detail::method_type();
    if (tp == nullptr)
        return nullptr;
    Ref func = module_function(module, def);
    if (!func)
        return nullptr;
    Ref dict = Ref::steal(PyDict_New());
    if (!dict)
        return nullptr;
    std::string qualname = std::string(class_qualname) + "." + def->ml_name;
    Ref name = Ref::steal(PyUnicode_FromString(def->ml_name));
    Ref qn = Ref::steal(PyUnicode_FromString(qualname.c_str()));
    PyObject *modname = PyModule_GetNameObject(module);
    Ref mod = Ref::steal(modname);
    Ref doc = def->ml_doc ? Ref::steal(PyUnicode_FromString(def->ml_doc))
                          : Ref::borrow(Py_None);
    if (!name || !qn || !mod || !doc ||
        PyDict_SetItemString(dict.get(), "__name__", name.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "__qualname__", qn.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "__module__", mod.get()) < 0 ||
        PyDict_SetItemString(dict.get(), "__doc__", doc.get()) < 0)
        return nullptr;
    PyObject *self = PyType_GenericAlloc(tp, 0);
    if (self == nullptr)
        return nullptr;
    detail::MethodObject *m = reinterpret_cast<detail::MethodObject *>(self);
    m->func = func.release();
    m->dict = dict.release();
#if PY_VERSION_HEX >= 0x03090000
    m->vectorcall = detail::method_vectorcall;
#endif
    return Ref::steal(self);
}

// method_object with `__annotations__` {param: param_ann, "return":
// return_ann} (both borrowed), as a one-parameter method annotated in a
// class body has; new reference.
inline Ref annotated_method(PyObject *module, PyMethodDef *def,
                            const char *class_qualname, const char *param,
                            PyObject *param_ann, PyObject *return_ann)
{
    Ref m = method_object(module, def, class_qualname);
    if (!m)
        return nullptr;
    Ref ann = Ref::steal(PyDict_New());
    if (!ann || PyDict_SetItemString(ann.get(), param, param_ann) < 0 ||
        PyDict_SetItemString(ann.get(), "return", return_ann) < 0 ||
        PyObject_SetAttrString(m.get(), "__annotations__", ann.get()) < 0)
        return nullptr;
    return m;
}

}  // namespace tw
