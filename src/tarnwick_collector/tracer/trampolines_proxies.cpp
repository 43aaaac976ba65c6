// The proxies that report what instrumented code does while a recorded
// call is active on the thread: call(f) and gcall(f, name) give a CallProxy
// that reports the call as an external call, attr(obj) and mattr(obj) an
// AttrProxy that reports the attribute load, with_(mgr) a WithProxy whose
// __enter__ and __exit__ are reported as external calls. Each stands for
// one operation and does the real work itself. Project code is never
// reported as an external call: its calls are recorded by its own entry.
#include "trampolines_internal.hpp"

#include <structmember.h>

namespace tw_trampolines {

// ------------------------------------------------------------ callee test

enum CalleeClass { CALLEE_PROJECT, CALLEE_OUTSIDE_FILES, CALLEE_UNKNOWN };

static bool in_set(PyObject *set, PyObject *key)
{
    if (set == nullptr || key == nullptr)
        return false;
    int r = PySet_Contains(set, key);
    if (r < 0) {
        PyErr_Clear();
        return false;
    }
    return r == 1;
}

// Whether a callable is project code (its calls are recorded by its own
// entry, never as external calls), code known to live outside the project's
// files (the core may skip its module lookup), or unknown.
static CalleeClass classify_callee(PyObject *f)
{
    PyObject *fn = f;
    // A partial object calls the callable it holds: the call lands where
    // that one does. Read from exact partials only (their `func` is a
    // member of theirs; a subclass may compute it).
    tw::Ref held;
    for (int depth = 0;
         depth < 4 && partial_type != nullptr && Py_IS_TYPE(fn, partial_type);
         depth++) {
        PyObject *inner = PyObject_GetAttr(fn, TW_STR("func"));
        if (inner == nullptr) {
            PyErr_Clear();
            return CALLEE_UNKNOWN;
        }
        held = tw::Ref::steal(inner);
        fn = inner;
    }
    if (PyMethod_Check(fn))
        fn = PyMethod_GET_FUNCTION(fn);
    // An instance of a class whose __call__ is project code.
    if (!PyType_Check(fn) && !PyFunction_Check(fn) &&
        (Py_TYPE(fn)->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
        PyObject *call = _PyType_Lookup(Py_TYPE(fn), TW_STR("__call__"));
        if (call != nullptr && PyFunction_Check(call)) {
            PyCodeObject *code =
                reinterpret_cast<PyCodeObject *>(PyFunction_GET_CODE(call));
            if (in_set(project_files, code->co_filename))
                return CALLEE_PROJECT;
        }
    }
    if (PyFunction_Check(fn)) {
        PyCodeObject *code =
            reinterpret_cast<PyCodeObject *>(PyFunction_GET_CODE(fn));
        return in_set(project_files, code->co_filename) ? CALLEE_PROJECT
                                                        : CALLEE_OUTSIDE_FILES;
    }
    if (PyCFunction_Check(fn) || Py_IS_TYPE(fn, &PyMethodDescr_Type) ||
        Py_IS_TYPE(fn, &PyWrapperDescr_Type) ||
        Py_IS_TYPE(fn, &PyClassMethodDescr_Type) ||
        (method_wrapper_type != nullptr &&
         Py_IS_TYPE(fn, method_wrapper_type)))
        return CALLEE_OUTSIDE_FILES;
    if (PyType_Check(fn)) {
        PyTypeObject *tp = reinterpret_cast<PyTypeObject *>(fn);
        if ((tp->tp_flags & Py_TPFLAGS_HEAPTYPE) && tp->tp_dict != nullptr) {
            PyObject *mod =
                PyDict_GetItemWithError(tp->tp_dict, TW_STR("__module__"));
            if (mod == nullptr)
                PyErr_Clear();
            else if (PyUnicode_Check(mod) && in_set(project_modules, mod))
                return CALLEE_PROJECT;
        }
    }
    return CALLEE_UNKNOWN;
}

// Ends an external call at the core: record_external_return_value(retval,
// record), with the callee's exception, if any, pending. Whatever the core
// leaves pending is cleared. 0, or -1 with an exception that must reach the
// program.
static int end_external_call(PyObject *external_return, PyObject *retval,
                             PyObject *record)
{
    PyObject *argv[2] = {retval, record};
    tw::Ref r = tw::Ref::steal(core_call(external_return, argv, 2));
    if (!r)
        return contain_failure();
    r.reset();
    if (PyErr_Occurred())
        PyErr_Clear();
    return 0;
}

// Calls `callee` as the program asked, reporting it to the core as an
// external call around the call. New reference or NULL with the callee's (or
// an uncontainable) exception set.
static PyObject *call_recorded(PyObject *callee, int outside_files,
                               PyObject *const *args, size_t nargsf,
                               PyObject *kwnames)
{
    if (core.external_call == nullptr || core.external_return == nullptr)
        return PyObject_Vectorcall(callee, args, nargsf, kwnames);
    tw::Ref external_return = tw::Ref::borrow(core.external_return);
    tw::Ref flag_obj = tw::Ref::steal(PyLong_FromLong(outside_files ? 1 : 0));
    if (!flag_obj)
        return nullptr;
    PyObject *argv[2] = {callee, flag_obj.get()};
    tw::Ref record = tw::Ref::steal(core_call(core.external_call, argv, 2));
    if (!record && contain_failure() < 0)
        return nullptr;
    if (!record || record.get() == Py_None)
        return PyObject_Vectorcall(callee, args, nargsf, kwnames);

    tw::Ref res =
        tw::Ref::steal(PyObject_Vectorcall(callee, args, nargsf, kwnames));
    if (res) {
        if (end_external_call(external_return.get(), res.get(), record.get()) <
            0)
            return nullptr;
        return res.release();
    }
    // The callee raised: the core reads the exception while it is pending
    // and clears it; it is put back unchanged afterwards.
    tw::SavedError raised;
    raised.fetch_normalized();
    if (raised.empty()) {
        PyErr_SetString(PyExc_SystemError,
                        "callable returned NULL without an exception");
        return nullptr;
    }
    raised.restore_copy();
    if (end_external_call(external_return.get(), Py_None, record.get()) < 0)
        return nullptr;
    raised.put_back();
    return nullptr;
}

// ---------------------------------------------------------------- proxies

static PyTypeObject *CallProxy_Type = nullptr;
static PyTypeObject *AttrProxy_Type = nullptr;
static PyTypeObject *WithProxy_Type = nullptr;

// A callable standing for `callee` during one call made while recording.
struct CallProxy {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *callee;
    int outside_files;
};

static PyObject *CallProxy_vectorcall(PyObject *self_, PyObject *const *args,
                                      size_t nargsf, PyObject *kwnames)
{
    CallProxy *self = reinterpret_cast<CallProxy *>(self_);
    if (!hooks_active())
        return PyObject_Vectorcall(self->callee, args, nargsf, kwnames);
    return call_recorded(self->callee, self->outside_files, args, nargsf,
                         kwnames);
}

// Attribute reads go to the callee, so that messages naming "the function"
// (bad * or ** arguments) name it, not the proxy.
static PyObject *CallProxy_getattro(PyObject *self, PyObject *name)
{
    return PyObject_GetAttr(reinterpret_cast<CallProxy *>(self)->callee, name);
}

static PyObject *CallProxy_repr(PyObject *self)
{
    return PyObject_Repr(reinterpret_cast<CallProxy *>(self)->callee);
}

static void CallProxy_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    Py_XDECREF(reinterpret_cast<CallProxy *>(self)->callee);
    PyObject_Free(self);
    Py_DECREF(tp);
}

// `callee` itself when its calls are not reported, else a new CallProxy.
// New reference.
PyObject *wrap_callee(PyObject *callee)
{
    CalleeClass c = classify_callee(callee);
    if (c == CALLEE_PROJECT || core.external_call == nullptr)
        return Py_NewRef(callee);
    CallProxy *p = PyObject_New(CallProxy, CallProxy_Type);
    if (p == nullptr)
        return nullptr;
    p->vectorcall = CallProxy_vectorcall;
    p->callee = Py_NewRef(callee);
    p->outside_files = c == CALLEE_OUTSIDE_FILES;
    return reinterpret_cast<PyObject *>(p);
}

// Stands for `obj` during exactly one attribute load while recording: the
// load is done on `obj` and reported; for a method load the result is
// prepared for the call that follows.
struct AttrProxy {
    PyObject_HEAD
    PyObject *obj;
    int method;
};

static PyObject *AttrProxy_getattro(PyObject *self_, PyObject *name)
{
    AttrProxy *self = reinterpret_cast<AttrProxy *>(self_);
    tw::Ref res = tw::Ref::steal(PyObject_GetAttr(self->obj, name));
    if (!res || !hooks_active())
        return res.release();
    if (core.load_attr != nullptr) {
        PyObject *argv[3] = {self->obj, name, res.get()};
        if (core_notify(core.load_attr, argv, 3) < 0)
            return nullptr;
    }
    if (self->method && hooks_active())
        return wrap_callee(res.get());
    return res.release();
}

static void AttrProxy_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    Py_XDECREF(reinterpret_cast<AttrProxy *>(self)->obj);
    PyObject_Free(self);
    Py_DECREF(tp);
}

PyObject *new_attr_proxy(PyObject *obj, int method)
{
    AttrProxy *p = PyObject_New(AttrProxy, AttrProxy_Type);
    if (p == nullptr)
        return nullptr;
    p->obj = Py_NewRef(obj);
    p->method = method;
    return reinterpret_cast<PyObject *>(p);
}

// Stands for a context manager in one `with` statement while recording:
// its __enter__ and __exit__ (bound as the statement binds them) are called
// as external calls.
struct WithProxy {
    PyObject_HEAD
    PyObject *enter;
    PyObject *exit;
};

static PyObject *call_reported(PyObject *callee, PyObject *const *args,
                               Py_ssize_t nargs)
{
    if (!hooks_active())
        return PyObject_Vectorcall(callee, args, nargs, nullptr);
    CalleeClass c = classify_callee(callee);
    if (c == CALLEE_PROJECT)
        return PyObject_Vectorcall(callee, args, nargs, nullptr);
    return call_recorded(callee, c == CALLEE_OUTSIDE_FILES, args, nargs,
                         nullptr);
}

static PyObject *WithProxy_enter(PyObject *self, PyObject *)
{
    return call_reported(reinterpret_cast<WithProxy *>(self)->enter, nullptr,
                         0);
}

static PyObject *WithProxy_exit(PyObject *self, PyObject *const *args,
                                Py_ssize_t nargs)
{
    return call_reported(reinterpret_cast<WithProxy *>(self)->exit, args,
                         nargs);
}

static void WithProxy_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    WithProxy *p = reinterpret_cast<WithProxy *>(self);
    Py_XDECREF(p->enter);
    Py_XDECREF(p->exit);
    PyObject_Free(self);
    Py_DECREF(tp);
}

static PyMethodDef WithProxy_methods[] = {
    {"__enter__", WithProxy_enter, METH_NOARGS, nullptr},
    {"__exit__",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)(void)>(WithProxy_exit)),
     METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// `type(obj).<name>` bound to obj, as the `with` statement looks special
// methods up. New reference; NULL without an exception when it is missing.
static PyObject *lookup_special(PyObject *obj, PyObject *name)
{
    PyObject *attr = _PyType_Lookup(Py_TYPE(obj), name);
    if (attr == nullptr)
        return nullptr;
    descrgetfunc get = Py_TYPE(attr)->tp_descr_get;
    if (get == nullptr)
        return Py_NewRef(attr);
    PyObject *bound =
        get(attr, obj, reinterpret_cast<PyObject *>(Py_TYPE(obj)));
    if (bound == nullptr)
        PyErr_Clear();
    return bound;
}

PyObject *new_with_proxy(PyObject *mgr)
{
    tw::Ref enter = tw::Ref::steal(lookup_special(mgr, TW_STR("__enter__")));
    if (!enter)
        return Py_NewRef(mgr);  // the statement itself raises its TypeError
    tw::Ref exit = tw::Ref::steal(lookup_special(mgr, TW_STR("__exit__")));
    if (!exit)
        return Py_NewRef(mgr);
    WithProxy *p = PyObject_New(WithProxy, WithProxy_Type);
    if (p == nullptr)
        return nullptr;
    p->enter = enter.release();
    p->exit = exit.release();
    return reinterpret_cast<PyObject *>(p);
}

int add_proxy_types(PyObject *m)
{
    const unsigned long vc = Py_TPFLAGS_HAVE_VECTORCALL;
    static PyMemberDef call_members[] = {
#if PY_VERSION_HEX >= 0x03090000
        {const_cast<char *>("__vectorcalloffset__"), T_PYSSIZET,
         offsetof(CallProxy, vectorcall), READONLY, nullptr},
#endif
        {nullptr, 0, 0, 0, nullptr}
    };
    PyType_Slot call_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(CallProxy_dealloc)},
        {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
        {Py_tp_getattro, reinterpret_cast<void *>(CallProxy_getattro)},
        {Py_tp_repr, reinterpret_cast<void *>(CallProxy_repr)},
        {Py_tp_members, call_members},
        {0, nullptr}};
    CallProxy_Type =
        make_type(m, "tarnwick_collector.tracer._trampolines.CallProxy",
                  sizeof(CallProxy),
                  Py_TPFLAGS_DEFAULT | vc | TW_TPFLAGS_DISALLOW_INSTANTIATION,
                  call_slots, offsetof(CallProxy, vectorcall));
    if (CallProxy_Type == nullptr)
        return -1;

    PyType_Slot attr_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(AttrProxy_dealloc)},
        {Py_tp_getattro, reinterpret_cast<void *>(AttrProxy_getattro)},
        {0, nullptr}};
    AttrProxy_Type = make_type(
        m, "tarnwick_collector.tracer._trampolines.AttrProxy",
        sizeof(AttrProxy),
        Py_TPFLAGS_DEFAULT | TW_TPFLAGS_DISALLOW_INSTANTIATION, attr_slots, 0);
    if (AttrProxy_Type == nullptr)
        return -1;

    PyType_Slot with_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(WithProxy_dealloc)},
        {Py_tp_methods, WithProxy_methods},
        {0, nullptr}};
    WithProxy_Type = make_type(
        m, "tarnwick_collector.tracer._trampolines.WithProxy",
        sizeof(WithProxy),
        Py_TPFLAGS_DEFAULT | TW_TPFLAGS_DISALLOW_INSTANTIATION, with_slots, 0);
    if (WithProxy_Type == nullptr)
        return -1;
#if PY_VERSION_HEX < 0x030A0000
    CallProxy_Type->tp_new = nullptr;
    AttrProxy_Type->tp_new = nullptr;
    WithProxy_Type->tp_new = nullptr;
#endif
    return 0;
}

}  // namespace tw_trampolines
