// Plain Python classes built from C++ functions, module-level names looked up
// at each use, imports into a module's namespace, and module definition.
//
// Classes are made by calling the metaclass (normally `type`) with a
// namespace dict, exactly as a class statement does, so they are ordinary
// heap classes with an instance __dict__. Functions in the namespace are
// builtin functions whose `self` is the defining module; wrapped with
// PyInstanceMethod_New they bind to instances like Python functions do
// (`obj.meth` is a bound method, `Cls.meth` the plain function).
#pragma once

#include "args.hpp"
#include "ref.hpp"

namespace tw {

// ---------------------------------------------------------------- globals

// Module-level name `name` (interned) of `module`, read from the module's
// __dict__ at each use, then from builtins, NameError as the interpreter
// raises it otherwise. New reference.
inline Ref global(PyObject *module, PyObject *name)
{
    if (name == nullptr)
        return nullptr;
    PyObject *dict = PyModule_GetDict(module);
    PyObject *v = PyDict_GetItemWithError(dict, name);
    if (v == nullptr && !PyErr_Occurred()) {
        PyObject *builtins = PyEval_GetBuiltins();
        if (builtins != nullptr)
            v = PyDict_GetItemWithError(builtins, name);
        if (v == nullptr && !PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Ref::borrow(v);
}

// getattr(<module-level name>, attr), both interned; new reference.
inline Ref global_attr(PyObject *module, PyObject *name, PyObject *attr)
{
    Ref g = global(module, name);
    if (!g)
        return nullptr;
    return getattr(g.get(), attr);
}

// Sets a module-level name; steals nothing. A NULL value (its creation
// failed, with the exception set) fails. 0 or -1.
inline int set_global(PyObject *module, const char *name, PyObject *value)
{
    if (value == nullptr)
        return -1;
    return PyObject_SetAttrString(module, name, value);
}

// Sets a module-level name to a value just made (an empty Ref: its creation
// failed, with the exception set, and so does this). 0 or -1.
inline int set_global(PyObject *module, const char *name, Ref value)
{
    return set_global(module, name, value.get());
}

// Binds the interned string `value` as a module-level name. 0 or -1.
inline int set_str(PyObject *module, const char *name, const char *value)
{
    return set_global(module, name,
                      Ref::steal(PyUnicode_InternFromString(value)));
}

// ---------------------------------------------------------------- imports

// `import dotted` bound as `asname` in the module (the top package when
// `asname` is NULL and the name is dotted, like the statement). 0 or -1.
inline int import_module(PyObject *module, const char *dotted,
                         const char *asname = nullptr)
{
    Ref m = Ref::steal(PyImport_ImportModule(dotted));
    if (!m)
        return -1;
    if (asname == nullptr) {
        const char *dot = std::strchr(dotted, '.');
        if (dot != nullptr) {
            std::string top(dotted, dot - dotted);
            Ref t = Ref::steal(PyImport_ImportModule(top.c_str()));
            if (!t)
                return -1;
            return PyObject_SetAttrString(module, top.c_str(), t.get());
        }
        asname = dotted;
    }
    return PyObject_SetAttrString(module, asname, m.get());
}

// `from dotted import name [as asname]`. ImportError as the statement raises
// it when the module lacks the name. 0 or -1.
inline int import_from(PyObject *module, const char *dotted, const char *name,
                       const char *asname = nullptr)
{
    Ref fromlist = Ref::steal(Py_BuildValue("(s)", name));
    if (!fromlist)
        return -1;
    Ref m = Ref::steal(PyImport_ImportModuleLevel(dotted, nullptr, nullptr,
                                                  fromlist.get(), 0));
    if (!m)
        return -1;
    Ref v = Ref::steal(PyObject_GetAttrString(m.get(), name));
    if (!v) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        // A submodule not imported by its package yet.
        std::string sub = std::string(dotted) + "." + name;
        v = Ref::steal(PyImport_ImportModule(sub.c_str()));
        if (!v) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError,
                         "cannot import name '%s' from '%s'", name, dotted);
            return -1;
        }
    }
    return PyObject_SetAttrString(module, asname ? asname : name, v.get());
}

// ---------------------------------------------------------------- classes

// A class under construction: its namespace dict, filled in definition order.
class ClassBuilder {
  public:
    // `module` is the defining module (its functions' `self`); `qualname` is
    // the class's qualified name; `doc` may be NULL.
    ClassBuilder(PyObject *module, const char *qualname, const char *doc)
        : module_(module), qualname_(qualname)
    {
        ns_ = Ref::steal(PyDict_New());
        if (!ns_)
            return;
        PyObject *modname = PyModule_GetNameObject(module);
        if (modname == nullptr ||
            PyDict_SetItemString(ns_.get(), "__module__", modname) < 0) {
            Py_XDECREF(modname);
            ns_.reset();
            return;
        }
        Py_DECREF(modname);
        Ref qn = Ref::steal(PyUnicode_FromString(qualname));
        if (!qn ||
            PyDict_SetItemString(ns_.get(), "__qualname__", qn.get()) < 0) {
            ns_.reset();
            return;
        }
        if (doc != nullptr) {
            Ref d = Ref::steal(PyUnicode_FromString(doc));
            if (!d || PyDict_SetItemString(ns_.get(), "__doc__", d.get()) < 0)
                ns_.reset();
        }
    }

    // An instance method: `def` must have static storage (it is kept).
    ClassBuilder &method(PyMethodDef *def)
    {
        return add(def->ml_name, wrap(def, &PyInstanceMethod_New));
    }
    // A staticmethod member.
    ClassBuilder &staticmethod(PyMethodDef *def)
    {
        return add(def->ml_name, wrap(def, &PyStaticMethod_New));
    }
    // A classmethod member.
    ClassBuilder &classmethod(PyMethodDef *def)
    {
        return add(def->ml_name, wrap(def, &PyClassMethod_New));
    }
    // Any other class attribute (borrowed value).
    ClassBuilder &attr(const char *name, PyObject *value)
    {
        return add(name, Ref::borrow(value));
    }
    // Any other class attribute (steals a new reference; NULL fails).
    ClassBuilder &attr_steal(const char *name, PyObject *value)
    {
        return add(name, Ref::steal(value));
    }

    PyObject *ns() const { return ns_.get(); }

    // Creates the class: `meta(name, bases, ns)`; `bases` is a tuple (NULL
    // for no bases) and `meta` NULL means `type`. New reference, and the
    // class is bound on the module under `bind_as` unless that is NULL.
    Ref build(PyObject *bases = nullptr, PyObject *meta = nullptr,
              const char *bind_as = nullptr)
    {
        if (!ns_)
            return nullptr;
        const char *dot = std::strrchr(qualname_, '.');
        Ref name = Ref::steal(PyUnicode_FromString(dot ? dot + 1 : qualname_));
        if (!name)
            return nullptr;
        Ref empty;
        if (bases == nullptr) {
            empty = Ref::steal(PyTuple_New(0));
            if (!empty)
                return nullptr;
            bases = empty.get();
        }
        if (meta == nullptr)
            meta = reinterpret_cast<PyObject *>(&PyType_Type);
        Ref cls = call(meta, name.get(), bases, ns_.get());
        if (cls && bind_as != nullptr &&
            PyObject_SetAttrString(module_, bind_as, cls.get()) < 0)
            return nullptr;
        return cls;
    }

  private:
    Ref wrap(PyMethodDef *def, PyObject *(*wrapper)(PyObject *))
    {
        PyObject *modname = PyModule_GetNameObject(module_);
        if (modname == nullptr)
            return nullptr;
        Ref f = Ref::steal(PyCFunction_NewEx(def, module_, modname));
        Py_DECREF(modname);
        if (!f)
            return nullptr;
        return Ref::steal(wrapper(f.get()));
    }
    ClassBuilder &add(const char *name, Ref value)
    {
        if (!ns_)
            return *this;
        if (!value || PyDict_SetItemString(ns_.get(), name, value.get()) < 0)
            ns_.reset();
        return *this;
    }

    PyObject *module_;
    const char *qualname_;
    Ref ns_;
};

// super(cls, self).name(*args): the base-class call of a constructor or
// method whose class is `cls`. New reference.
template <typename... A>
inline Ref call_super(PyObject *cls, PyObject *self, PyObject *name, A... args)
{
    Ref sup = call(reinterpret_cast<PyObject *>(&PySuper_Type), cls, self);
    if (!sup)
        return nullptr;
    Ref m = getattr(sup.get(), name);
    if (!m)
        return nullptr;
    return call(m.get(), args...);
}

// A function of the module itself, as a callable object; new reference.
inline Ref module_function(PyObject *module, PyMethodDef *def)
{
    PyObject *modname = PyModule_GetNameObject(module);
    if (modname == nullptr)
        return nullptr;
    Ref f = Ref::steal(PyCFunction_NewEx(def, module, modname));
    Py_DECREF(modname);
    return f;
}

// Binds a module-level function under its own name; lets the module body
// keep the definition order of its names. `def` must have static storage.
inline int add_function(PyObject *module, PyMethodDef *def)
{
    Ref f = module_function(module, def);
    if (!f)
        return -1;
    return PyObject_SetAttrString(module, def->ml_name, f.get());
}

}  // namespace tw

// Defines PyInit_<name> with multi-phase initialisation: `methods` are the
// module-level functions (a NULL-terminated PyMethodDef array or NULL), `exec`
// an `int (*)(PyObject *module)` that runs the module body in order.
#define TW_MODULE(name, doc, methods, exec)                                   \
    static PyModuleDef_Slot name##_slots_[] = {                               \
        {Py_mod_exec, reinterpret_cast<void *>(exec)}, {0, nullptr}};         \
    static PyModuleDef name##_def_ = {                                        \
        PyModuleDef_HEAD_INIT, #name,   doc,     0,      methods,             \
        name##_slots_,         nullptr, nullptr, nullptr};                    \
    extern "C" __attribute__((visibility("default")))                         \
    PyObject *PyInit_##name(void)                                             \
    {                                                                         \
        return PyModuleDef_Init(&name##_def_);                                \
    }

// TW_MODULE for a module with per-module state of type `State`: `traverse`
// and `clear` visit and drop the references the state holds (clear also
// serves as the free function).
#define TW_MODULE_STATE(name, doc, methods, exec, State, traverse, clear)     \
    static PyModuleDef_Slot name##_slots_[] = {                               \
        {Py_mod_exec, reinterpret_cast<void *>(exec)}, {0, nullptr}};         \
    static void name##_free_(void *m)                                         \
    {                                                                         \
        clear(static_cast<PyObject *>(m));                                    \
    }                                                                         \
    static PyModuleDef name##_def_ = {                                        \
        PyModuleDef_HEAD_INIT, #name,    doc,   sizeof(State), methods,       \
        name##_slots_,         traverse, clear, name##_free_};                \
    extern "C" __attribute__((visibility("default")))                         \
    PyObject *PyInit_##name(void)                                             \
    {                                                                         \
        return PyModuleDef_Init(&name##_def_);                                \
    }
