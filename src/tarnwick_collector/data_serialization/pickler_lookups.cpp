// The safe pickler's lookups: the small helpers the rules are made of
// (the remembered lookups GLOBAL, CLASS_ATTR and MODULE_ATTR are the shared
// layer's, tw/attr.hpp): attribute probes that report a missing
// attribute without raising, containment and comparison by the objects' own
// rules, hasattr as it was before every object got a default __getstate__,
// issubclass, and membership in SafePickler's class tables.
#include "pickler_internal.hpp"

#include <utility>

namespace tw_pickler {

// ------------------------------------------------------------ small helpers

// getattr(obj, name) where AttributeError means "missing": 1 with the value
// in *out (new reference; `out` may be NULL), 0 when missing, -1 on any
// other error. No exception object is made for a plain missing attribute.
// Whether `obj` surely has no attribute `name` (an interned str) by the
// generic attribute lookup its class keeps: nothing of that name along its
// class's MRO and nothing in its __dict__, so the lookup would find
// nothing and run no code. False says nothing.
static bool surely_absent(PyObject *obj, PyObject *name)
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
    int r = PyObject_GetOptionalAttr(obj, name, &v);
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
static Ref from_import(PyObject *dotted, PyObject *name, PyObject *fromlist)
{
    if (dotted == nullptr || fromlist == nullptr)
        return nullptr;
    Ref m = Ref::steal(PyImport_GetModule(dotted));
    if (!m || m.get() == Py_None) {
        if (PyErr_Occurred())
            return nullptr;
        m = Ref::steal(PyImport_ImportModuleLevelObject(dotted, nullptr,
                                                        nullptr, fromlist, 0));
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
Ref raise_problematic(PyObject *mod, PyObject *obj_type, const char *tail)
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
static PyObject *default_getstate()
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
static bool is_default_getstate(PyObject *obj, PyObject *value, PyObject *dflt)
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

// `item in table`: 1, 0 or -1; consumes the table reference.
int in_table(Ref table, PyObject *item)
{
    if (!table)
        return -1;
    return contains(table.get(), item);
}

}  // namespace tw_pickler
