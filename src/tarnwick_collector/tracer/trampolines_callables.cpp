// The named callables that instrumented code calls (ret, exc, exit, glob,
// attr, mattr, call, gcall, with_) and the gates at the top of every
// instrumented function. Each callable is a Trampoline: a named object with
// its own vectorcall function. When nothing is being recorded on the thread
// each returns its argument (or None) at once; while a recorded call is
// active it reports to the core or hands out a proxy
// (trampolines_proxies.cpp).
#include "trampolines_internal.hpp"

#include <structmember.h>

namespace tw_trampolines {

// ------------------------------------------------------------ trampolines

static PyTypeObject *Trampoline_Type = nullptr;

// A named callable with its own vectorcall function; instances are the
// constants the instrumented code calls.
struct Trampoline {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const char *name;
    PyObject *target;  // adapters only: the wrapped callable (strong)
};

static int check_nargs(PyObject *self, size_t nargsf, PyObject *kwnames,
                       Py_ssize_t want)
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs == want &&
        (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0))
        return 0;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s",
                 reinterpret_cast<Trampoline *>(self)->name, want,
                 want == 1 ? "" : "s");
    return -1;
}

// ret(value): the value of a `return` of a recorded function.
static PyObject *tr_ret(PyObject *self, PyObject *const *args, size_t nargsf,
                        PyObject *kwnames)
{
    if (check_nargs(self, nargsf, kwnames, 1) < 0)
        return nullptr;
    Entry *e = entry_of_current_frame();
    if (e != nullptr)
        e->retval = tw::Ref::borrow(args[0]);
    return Py_NewRef(args[0]);
}

// The body of exc() and exit(): ends the recorded call of the current
// frame, if it has one. `raised`: it ended by the exception being handled,
// which is made pending for the core (that takes it); else by the value
// ret() saw, if any.
static PyObject *end_current_call(PyObject *self, size_t nargsf,
                                  PyObject *kwnames, bool raised)
{
    if (check_nargs(self, nargsf, kwnames, 0) < 0)
        return nullptr;
    if (entry_of_current_frame() == nullptr)
        Py_RETURN_NONE;
    Entry e = pop_entry();
    if (e.generator) {
        if (end_generator_call(e, raised) < 0)
            return nullptr;
        Py_RETURN_NONE;
    }
    PyObject *retval = e.retval.get();
    if (raised) {
        PyObject *type, *value, *tb;
        PyErr_GetExcInfo(&type, &value, &tb);
        PyErr_Restore(type, value, tb);
        retval = Py_None;
    } else if (e.built) {
        retval = e.built.get();
    }
    int rc = end_user_call(e.record.get(), retval);
    if (rc < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// exc(): in the handler around a recorded function's body, with the
// exception it raised being handled; the exception is re-raised afterwards.
static PyObject *tr_exc(PyObject *self, PyObject *const *, size_t nargsf,
                        PyObject *kwnames)
{
    return end_current_call(self, nargsf, kwnames, true);
}

// exit(): in the finally block around a recorded function's body.
static PyObject *tr_exit(PyObject *self, PyObject *const *, size_t nargsf,
                         PyObject *kwnames)
{
    return end_current_call(self, nargsf, kwnames, false);
}

static int report_global(PyObject *value, PyObject *name)
{
    if (core.load_global == nullptr)
        return 0;
    PyObject *argv[2] = {value, name};
    return core_notify(core.load_global, argv, 2);
}

// glob(value, name): a global-name load.
static PyObject *tr_glob(PyObject *self, PyObject *const *args, size_t nargsf,
                         PyObject *kwnames)
{
    if (check_nargs(self, nargsf, kwnames, 2) < 0)
        return nullptr;
    if (hooks_active() && report_global(args[0], args[1]) < 0)
        return nullptr;
    return Py_NewRef(args[0]);
}

// The shape of the one-argument trampolines: the value back as it is while
// the hooks are inactive, else what `wrap(value)` makes of it.
template <typename Wrap>
static inline PyObject *one_value(PyObject *self, PyObject *const *args,
                                  size_t nargsf, PyObject *kwnames, Wrap wrap)
{
    if (check_nargs(self, nargsf, kwnames, 1) < 0)
        return nullptr;
    if (!hooks_active())
        return Py_NewRef(args[0]);
    return wrap(args[0]);
}

// attr(obj): the object of an attribute load.
static PyObject *tr_attr(PyObject *self, PyObject *const *args, size_t nargsf,
                         PyObject *kwnames)
{
    return one_value(self, args, nargsf, kwnames,
                     [](PyObject *obj) { return new_attr_proxy(obj, 0); });
}

// mattr(obj): the object of a method load whose result is called at once.
static PyObject *tr_mattr(PyObject *self, PyObject *const *args, size_t nargsf,
                          PyObject *kwnames)
{
    return one_value(self, args, nargsf, kwnames,
                     [](PyObject *obj) { return new_attr_proxy(obj, 1); });
}

// call(f): the callable of a call.
static PyObject *tr_call(PyObject *self, PyObject *const *args, size_t nargsf,
                         PyObject *kwnames)
{
    return one_value(self, args, nargsf, kwnames,
                     [](PyObject *obj) { return wrap_callee(obj); });
}

// gcall(f, name): the callable of a call, loaded from a global name.
static PyObject *tr_gcall(PyObject *self, PyObject *const *args, size_t nargsf,
                          PyObject *kwnames)
{
    if (check_nargs(self, nargsf, kwnames, 2) < 0)
        return nullptr;
    if (!hooks_active())
        return Py_NewRef(args[0]);
    if (report_global(args[0], args[1]) < 0)
        return nullptr;
    if (!hooks_active())  // the core may have stopped this thread's recording
        return Py_NewRef(args[0]);
    return wrap_callee(args[0]);
}

// with_(mgr): the context manager of a `with` item.
static PyObject *tr_with(PyObject *self, PyObject *const *args, size_t nargsf,
                         PyObject *kwnames)
{
    return one_value(self, args, nargsf, kwnames,
                     [](PyObject *obj) { return new_with_proxy(obj); });
}

// An adapter made by pending_exception_adapter: takes the pending exception
// and calls its target with it as one more positional argument.
PyObject *tr_adapter(PyObject *self, PyObject *const *args, size_t nargsf,
                     PyObject *kwnames)
{
    tw::SavedError fetched;
    fetched.fetch_normalized();
    PyObject *pending =
        fetched.value() != nullptr ? fetched.value() : fetched.type();
    if (pending == nullptr)
        pending = Py_None;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    std::vector<PyObject *> argv;
    try {
        argv.assign(args, args + nargs);
        argv.push_back(pending);
        argv.insert(argv.end(), args + nargs, args + nargs + nkw);
    } catch (...) {
        return PyErr_NoMemory();
    }
    return PyObject_Vectorcall(reinterpret_cast<Trampoline *>(self)->target,
                               argv.data(), nargs + 1, kwnames);
}

static PyObject *Trampoline_repr(PyObject *self)
{
    return PyUnicode_FromFormat("<tarnwick %s>",
                                reinterpret_cast<Trampoline *>(self)->name);
}

// Instrumented code holds the trampolines among its constants, so a
// function pickled by value (cloudpickle, dill) pickles them: each one is
// pickled as the module attribute it is. (An adapter is no attribute, and
// is never a constant of code.)
static PyObject *Trampoline_reduce(PyObject *self, PyObject *)
{
    return PyUnicode_FromString(reinterpret_cast<Trampoline *>(self)->name);
}

static PyMethodDef Trampoline_methods[] = {
    {"__reduce__", Trampoline_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

static void Trampoline_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<Trampoline *>(self)->target);
    PyObject_GC_Del(self);
    Py_DECREF(tp);
}

static int Trampoline_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(reinterpret_cast<Trampoline *>(self)->target);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

static int Trampoline_clear(PyObject *self)
{
    Py_CLEAR(reinterpret_cast<Trampoline *>(self)->target);
    return 0;
}

// New reference.
PyObject *new_trampoline(const char *name, vectorcallfunc fn, PyObject *target)
{
    Trampoline *t = PyObject_GC_New(Trampoline, Trampoline_Type);
    if (t == nullptr)
        return nullptr;
    t->vectorcall = fn;
    t->name = name;
    t->target = Py_XNewRef(target);
    PyObject_GC_Track(t);
    return reinterpret_cast<PyObject *>(t);
}

// ------------------------------------------------------------------- Gate

static PyTypeObject *Gate_Type = nullptr;

// The test at the top of an instrumented function, choosing between its
// instrumented and its original body: one slot call, no arguments. `gate`
// also decides whether the call is offered to the core (recording on, the
// sampling draw, no module being imported by another thread) and leaves
// the decision for the slot call that follows; `active` only asks whether a
// recorded call is open on the thread. `active_lambda` and `active_agen`
// ask the same for the calls the recorder leaves out by design (lambdas,
// async generators), and count them while recording is on.
enum GateMode { GATE_ACTIVE, GATE_OFFERS, GATE_LEFT_OUT };

struct Gate {
    PyObject_HEAD
    int mode;
    int left_out;      // GATE_LEFT_OUT: the LeftOut kind counted
    const char *name;  // the module attribute it is
};

static int Gate_bool(PyObject *self)
{
    if (!enabled && active_threads == 0)
        return 0;
    ThreadState &t = tstate;
    if (t.in_core)
        return 0;
    const bool active = !t.stack.empty();
    Gate *g = reinterpret_cast<Gate *>(self);
    if (g->mode == GATE_LEFT_OUT) {
        if (enabled && core.user_call != nullptr)
            left_out_calls[g->left_out]++;
        return active;
    }
    if (g->mode == GATE_ACTIVE)
        return active;
    const bool offer = enabled && core.user_call != nullptr &&
                       !other_thread_importing() && sampled();
    t.offer = offer;
    return offer || active;
}

// The instrumented code tests `gate & 1`: the compiler folds the test of a
// bare constant at compile time, but not this operation (which fails on the
// placeholder it compiles); and unlike a comparison, a binary operation
// does not count towards the recursion limit.
static PyObject *Gate_and(PyObject *a, PyObject *)
{
    if (!PyObject_TypeCheck(a, Gate_Type))
        Py_RETURN_NOTIMPLEMENTED;
    return PyBool_FromLong(Gate_bool(a));
}

// Identity hash: code objects holding the gate as a constant are hashed.
static Py_hash_t Gate_hash(PyObject *self)
{
    Py_hash_t h =
        static_cast<Py_hash_t>(reinterpret_cast<std::uintptr_t>(self) >> 4);
    return h == -1 ? -2 : h;
}

static PyObject *Gate_repr(PyObject *self)
{
    Gate *g = reinterpret_cast<Gate *>(self);
    if (g->mode == GATE_LEFT_OUT)
        return PyUnicode_FromFormat("<tarnwick active, counting %s calls>",
                                    LEFT_OUT_NAMES[g->left_out]);
    return PyUnicode_FromString(g->mode == GATE_OFFERS ? "<tarnwick gate>"
                                                       : "<tarnwick active>");
}

// Pickled as the module attribute it is (see Trampoline_reduce).
static PyObject *Gate_reduce(PyObject *self, PyObject *)
{
    return PyUnicode_FromString(reinterpret_cast<Gate *>(self)->name);
}

static PyMethodDef Gate_methods[] = {
    {"__reduce__", Gate_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

static void Gate_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(tp);
}

static int add_gate(PyObject *m, const char *name, int mode, int left_out = 0)
{
    tw::Ref g = tw::Ref::steal(
        reinterpret_cast<PyObject *>(PyObject_New(Gate, Gate_Type)));
    if (!g)
        return -1;
    reinterpret_cast<Gate *>(g.get())->mode = mode;
    reinterpret_cast<Gate *>(g.get())->left_out = left_out;
    reinterpret_cast<Gate *>(g.get())->name = name;
    return tw::set_global(m, name, std::move(g));
}

static int add_trampoline(PyObject *m, const char *name, vectorcallfunc fn)
{
    return tw::set_global(m, name, tw::Ref::steal(new_trampoline(name, fn)));
}

int add_callables(PyObject *m)
{
    const unsigned long vc = Py_TPFLAGS_HAVE_VECTORCALL;
    PyType_Slot gate_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(Gate_dealloc)},
        {Py_tp_repr, reinterpret_cast<void *>(Gate_repr)},
        {Py_nb_bool, reinterpret_cast<void *>(Gate_bool)},
        {Py_nb_and, reinterpret_cast<void *>(Gate_and)},
        {Py_tp_hash, reinterpret_cast<void *>(Gate_hash)},
        {Py_tp_methods, Gate_methods},
        {0, nullptr}};
    Gate_Type = make_type(
        m, "tarnwick_collector.tracer._trampolines.Gate", sizeof(Gate),
        Py_TPFLAGS_DEFAULT | TW_TPFLAGS_DISALLOW_INSTANTIATION, gate_slots, 0);
    if (Gate_Type == nullptr)
        return -1;

    static PyMemberDef tramp_members[] = {
#if PY_VERSION_HEX >= 0x03090000
        {const_cast<char *>("__vectorcalloffset__"), T_PYSSIZET,
         offsetof(Trampoline, vectorcall), READONLY, nullptr},
#endif
        {nullptr, 0, 0, 0, nullptr}
    };
    PyType_Slot tramp_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(Trampoline_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(Trampoline_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(Trampoline_clear)},
        {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
        {Py_tp_repr, reinterpret_cast<void *>(Trampoline_repr)},
        {Py_tp_members, tramp_members},
        {Py_tp_methods, Trampoline_methods},
        {0, nullptr}};
    Trampoline_Type =
        make_type(m, "tarnwick_collector.tracer._trampolines.Trampoline",
                  sizeof(Trampoline),
                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | vc |
                      TW_TPFLAGS_DISALLOW_INSTANTIATION,
                  tramp_slots, offsetof(Trampoline, vectorcall));
    if (Trampoline_Type == nullptr)
        return -1;
#if PY_VERSION_HEX < 0x030A0000
    Trampoline_Type->tp_new = nullptr;
    Gate_Type->tp_new = nullptr;
#endif

    if (add_trampoline(m, "ret", tr_ret) < 0 ||
        add_trampoline(m, "exc", tr_exc) < 0 ||
        add_trampoline(m, "exit", tr_exit) < 0 ||
        add_trampoline(m, "glob", tr_glob) < 0 ||
        add_trampoline(m, "attr", tr_attr) < 0 ||
        add_trampoline(m, "mattr", tr_mattr) < 0 ||
        add_trampoline(m, "call", tr_call) < 0 ||
        add_trampoline(m, "gcall", tr_gcall) < 0 ||
        add_trampoline(m, "with_", tr_with) < 0 ||
        add_gate(m, "gate", GATE_OFFERS) < 0 ||
        add_gate(m, "active", GATE_ACTIVE) < 0 ||
        add_gate(m, "active_lambda", GATE_LEFT_OUT, LEFT_OUT_LAMBDA) < 0 ||
        add_gate(m, "active_agen", GATE_LEFT_OUT, LEFT_OUT_ASYNC_GENERATOR) <
            0)
        return -1;
    return 0;
}

}  // namespace tw_trampolines
