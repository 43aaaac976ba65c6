// Objects written by their used attributes: the (attributes_data, funcs)
// pair of get_attributes_value, read so that an attribute computed by code
// of the program (a property, a Python descriptor or __getattr__) is not
// run again when the recorder writes a used global.
#include "pickler_internal.hpp"

namespace tw_pickler {

// ------------------------------------------------------------- wrappers

static int store_value(PyObject *mod, PyObject *attribute, PyObject *value_obj,
                       PyObject *data, PyObject *funcs);

// attributes_data[attribute] or funcs[attribute] for one used attribute;
// 0 (stored, or left out when missing), or -1 with the exception pending
// (the caller skips the attribute on AttributeError).
static int store_attribute(PyObject *mod, PyObject *obj, PyObject *attribute,
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
static bool native_descriptor(PyTypeObject *t)
{
    return t == &PyMemberDescr_Type || t == &PyGetSetDescr_Type ||
           t == &PyFunction_Type || t == &PyClassMethod_Type ||
           t == &PyStaticMethod_Type || t == &PyMethodDescr_Type ||
           t == &PyClassMethodDescr_Type || t == &PyWrapperDescr_Type ||
           t == &PyCFunction_Type;
}

// Whether the class looks attributes up the generic way (a Python
// __getattr__ may still follow a failed lookup).
static bool generic_lookup(PyTypeObject *tp)
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
static int native_get(PyObject *descr, PyObject *obj, Ref &out,
                      const char **kind)
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
static int static_attr(PyObject *obj, PyObject *name, Ref &out,
                       const char **kind)
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
        if (md != nullptr &&
            PyDict_GetItemWithError(md, TW_STR("__getattr__")))
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
static Ref computed_value(PyObject *attributes, PyObject *attribute,
                          const char *kind)
{
    if (!PyAnySet_CheckExact(attributes) && !PyList_CheckExact(attributes)) {
        Ref held;
        if (tw::optional_attr(attributes, TW_STR("kept"), held) < 0)
            PyErr_Clear();
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
static int store_recorded_attribute(PyObject *mod, PyObject *obj,
                                    PyObject *attributes, PyObject *attribute,
                                    PyObject *data, PyObject *funcs)
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
static int store_value(PyObject *mod, PyObject *attribute, PyObject *value_obj,
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
        Ref copy =
            tw::call(reinterpret_cast<PyObject *>(&PyDict_Type), value.get());
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
                          bool recorded)
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

}  // namespace tw_pickler
