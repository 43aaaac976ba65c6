// The failure reducer, UnpicklableHelpers.__reduce__: what the base pickler
// still fails on is written as a placeholder (UnpicklableObject) made of
// its type's text and of the attributes that may be read from it, each
// attribute reduced on its own (should_use_getattr and the rules after it).
// Inside a dump its walk is bounded by the dump's budget (tw::TarnWalk).
#include "pickler_internal.hpp"

#include <frameobject.h>

#include <unordered_map>

namespace tw_pickler {

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
static bool all_plain_strs(PyObject *list)
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
static void find_dir_marks(PyObject *mod, PyObject *object_dir,
                           PyObject *class_dir, Ref &dunder, DirMarks &marks)
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
static Routines routines;
const char *const kRoutineParts[5] = {"isbuiltin", "isfunction", "ismethod",
                                      "ismethoddescriptor", "isclass"};

// inspect.isroutine(value) for the kinds of class attributes a failure
// reducer meets by the dozen, answered without the call when `isroutine`
// is the function the module started with and inspect's tests are its
// own: 1 or 0, or -1 when the call must be made. Functions, builtins,
// bound methods and the method descriptors of native classes, staticmethod
// and classmethod objects are routines; numbers, strings, bytes, None and
// the plain containers are not.
static int known_routine(PyObject *inspect, PyObject *isroutine,
                         PyObject *value)
{
#if PY_VERSION_HEX < 0x030C0000
    if (routines.isroutine == nullptr || isroutine != routines.isroutine ||
        !PyModule_Check(inspect) ||
        PyModule_GetDict(inspect) != routines.namespace_)
        return -1;
    auto *dict = reinterpret_cast<PyDictObject *>(routines.namespace_);
    if (dict->ma_version_tag != routines.tag) {
        for (int i = 0; i < 5; i++) {
            PyObject *now =
                PyDict_GetItemString(routines.namespace_, kRoutineParts[i]);
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
                            const DirMarks *marks)
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
    // A descriptor whose __get__ is written in Python (a caching decorator
    // such as functools.cached_property, a wrapper that enters a context
    // manager around the property it wraps) runs code of the program when
    // it is read, and may change the object or more: a cached value would
    // be computed and stored by the recorder rather than by the program. It
    // is read as a plain class attribute is, from the instance's own
    // __dict__ (where a value computed by the program already sits, and is
    // then recorded), whether it also has a __set__ or not.
    if (Py_TYPE(from_class.get())->tp_descr_get != nullptr) {
        PyObject *get =
            _PyType_Lookup(Py_TYPE(from_class.get()), TW_STR("__get__"));
        if (get != nullptr && PyFunction_Check(get))
            return 0;
    }
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
    const int answer =
        known_routine(inspect.get(), isroutine.get(), from_class.get());
    if (answer >= 0)
        return answer;
    Ref routine = tw::call(isroutine.get(), from_class.get());
    if (!routine)
        return -1;
    return PyObject_IsTrue(routine.get());
}

// funcs[prop] = FunctionWrapper(get_full_name(fn)); 0 or -1.
static int store_function_wrapper(PyObject *mod, PyObject *funcs,
                                  PyObject *prop, PyObject *fn)
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
static Ref namespace_module(PyObject *value)
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
// Whether `prop` names the delegate (what a `yield from` or an `await` is
// running) of a generator, coroutine or asynchronous generator that is
// running now: the interpreter looks for it at the instruction after the
// current one, which is then a cache entry of any value, and may hand out
// whatever its stack holds (a crash on 3.11 and 3.12). -1 on error.
static int running_delegate(PyObject *obj, PyObject *prop)
{
    const char *delegate = nullptr;
    PyObject *running = nullptr;
    if (PyGen_Check(obj)) {
        delegate = "gi_yieldfrom";
        running = TW_STR("gi_running");
    } else if (PyCoro_CheckExact(obj)) {
        delegate = "cr_await";
        running = TW_STR("cr_running");
    } else if (PyAsyncGen_CheckExact(obj)) {
        delegate = "ag_await";
        running = TW_STR("ag_running");
    }
    if (delegate == nullptr || !PyUnicode_Check(prop) ||
        PyUnicode_CompareWithASCIIString(prop, delegate) != 0)
        return 0;
    Ref flag = Ref::steal(PyObject_GetAttr(obj, running));
    return flag ? PyObject_IsTrue(flag.get()) : -1;
}

static int reduce_one_attribute(PyObject *mod, PyObject *obj, PyObject *prop,
                                PyObject *object_dir, PyObject *class_dir,
                                const DirMarks &marks, PyObject *state,
                                PyObject *funcs)
{
    int running = running_delegate(obj, prop);
    if (running != 0)
        return running < 0 ? -1 : PyDict_SetItem(state, prop, Py_None);
    // A code object's co_lnotab warns that it is deprecated (3.12+), on the
    // program's own line; co_lines() has the same facts. Left out on every
    // version, so that the records agree.
    if (PyCode_Check(obj) && PyUnicode_Check(prop) &&
        PyUnicode_CompareWithASCIIString(prop, "co_lnotab") == 0)
        return 0;
    Ref method;
    int r =
        should_use_getattr_impl(mod, obj, prop, object_dir, class_dir, &marks);
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
#if PY_VERSION_HEX >= 0x030D0000
        // A function frame's f_locals is a live view from 3.13 on; it is
        // written as the dict of its values that earlier versions give.
        if (PyFrameLocalsProxy_Check(method.get())) {
            Ref copy = Ref::steal(PyDict_New());
            if (!copy)
                return -1;
            if (PyDict_Merge(copy.get(), method.get(), 1) < 0)
                return swallow() ? 0 : -1;
            return PyDict_SetItem(state, prop, copy.get());
        }
#endif
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
    Ref fn =
        name ? Ref::steal(PyObject_GetAttr(cls.get(), name.get())) : nullptr;
    if (fn && store_function_wrapper(mod, funcs, prop, fn.get()) == 0)
        return 0;
    return swallow() ? 0 : -1;
}

// Whether `prop` is a dunder name other than __enter__ and __exit__.
static int is_left_out(PyObject *prop)
{
    if (PyUnicode_CheckExact(prop)) {
        Py_ssize_t r =
            PyUnicode_Tailmatch(prop, TW_STR("__"), 0, PY_SSIZE_T_MAX, -1);
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
static std::unordered_map<PyTypeObject *, KnownDir> known_dir_lists;
constexpr size_t kKnownDirsKept = 1024;

// Whether attribute reads on `obj` and dir() of it and of its class run
// only the interpreter's own code, as described above.
static bool plain_dir_reads(PyObject *obj)
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
static int known_dirs(PyObject *obj, Ref &object_dir, Ref &cls, Ref &class_dir)
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
    if (!TW_VALID_VERSION_TAG(t))
        return 0;
    const unsigned int tag = t->tp_version_tag;
    auto found = known_dir_lists.find(t);
    if (found == known_dir_lists.end() || found->second.tag != tag) {
        Ref names = Ref::steal(PyObject_Dir(reinterpret_cast<PyObject *>(t)));
        if (!names)
            return -1;
        if (!PyList_CheckExact(names.get()) || !TW_VALID_VERSION_TAG(t) ||
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
static int mark_cut(PyObject *state, const char *why)
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

}  // namespace tw_pickler
