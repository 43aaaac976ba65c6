// Native half of the tracer: the small callables that instrumented project
// code calls, and the bookkeeping that turns those calls into calls of the
// recording core's entry points.
//
// The import hook (rewrite.py) compiles project modules so that every
// function has two bodies, the original one and an instrumented one, and
// starts with `if gate & 1:` (a Gate, answering through its `&` slot) to
// pick one. The gate is false while nothing is recorded on the thread and the
// call is not to be offered to the core (recording off, or the sampling draw
// says no): the original body then runs at full speed. In the instrumented
// body:
//
//   * a plain function starts with `slot(params...)` (a Slot, one per
//     `def`) inside a try block whose handlers call `exc()` and `exit()`,
//     and every `return X` becomes `return ret(X)`; the `def` is decorated
//     with `slot.bind`, which tells the slot its function object;
//   * a global-name load `g` becomes `glob(g, "g")`, an attribute load
//     `o.a` becomes `attr(o).a`, a call `f(...)` becomes `call(f)(...)`,
//     `g(...)` with a global `g` becomes `gcall(g, "g")(...)`, a method call
//     `o.m(...)` becomes `mattr(o).m(...)` and `with m:` becomes
//     `with with_(m):`.
//
// The callables are constants of the compiled code, so no name of the
// module is added or loaded. When nothing is being recorded on the thread
// each of them returns its argument (or None) at once, and the operation
// itself then runs exactly as written. While a recorded call is active on
// the thread they return short-lived proxies whose attribute lookup or call
// reports to the core and then does the real work.
//
// Recorded calls are kept on a per-thread stack keyed by the frame that made
// them, so nothing is stored in the frame itself (its locals are untouched).
// Only plain functions are recorded; they cannot suspend, so their entries
// nest strictly. Generators and async generators are never recorded;
// coroutine functions are offered to the core, which refuses them.
//
// Every call into the core is made with a per-thread flag set, so project
// code that the core runs (a __reduce__, a __repr__) is not recorded in turn.
// Failures of the core (exceptions derived from Exception) are dropped and
// counted; the program never sees them. KeyboardInterrupt and the other
// exceptions outside Exception still reach the program.
#include "tw.hpp"

#include <frameobject.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <new>
#ifndef _WIN32
#include <pthread.h>
#endif
#include <structmember.h>
#include <vector>

#if PY_VERSION_HEX >= 0x030B0000
// The interpreter's frame record, which from 3.11 on holds the function
// object a frame runs (no public accessor gives it).
#define Py_BUILD_CORE
#include "internal/pycore_frame.h"
#undef Py_BUILD_CORE
#endif

#if PY_VERSION_HEX < 0x03090000
#define TW_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#else
#define TW_TPFLAGS_HAVE_VECTORCALL Py_TPFLAGS_HAVE_VECTORCALL
#endif

namespace {

// ------------------------------------------------------------------ state

// How a recorded function is offered to the core, fixed when its `def` is
// instrumented.
enum Kind : int {
    KIND_FUNCTION = 0,     // the function itself with all its arguments
    KIND_CLASSMETHOD = 1,  // bound to its first argument (the class)
    KIND_INIT = 2,         // the instance's class when it is being created
    KIND_COROUTINE = 3,    // offered, never kept open (the core refuses it)
};

// The recording core's entry points, all strong or all NULL.
struct Core {
    PyObject *object;
    PyObject *user_call;
    PyObject *user_return;
    PyObject *external_call;
    PyObject *external_return;
    PyObject *load_global;
    PyObject *load_attr;
};

Core core = {};
bool enabled = false;
double sampling_rate = 1.0;
// Threads whose stack of recorded calls is not empty: lets the hooks skip
// the thread-local lookup altogether while nothing is recorded anywhere.
Py_ssize_t active_threads = 0;
PyObject *project_files = nullptr;    // strong: set of source paths, or NULL
PyObject *project_modules = nullptr;  // strong: set of module names, or NULL
unsigned long long contained_failures = 0;
PyTypeObject *method_wrapper_type = nullptr;  // strong
// Threads running the body of an instrumented module (once per nesting).
// While one is, other threads start no recording: the core's pickler may
// import that module, and waiting for a module that is being initialized by
// a thread that itself waits (say, joins the current thread) never ends.
std::vector<unsigned long> importers;

// One recorded call in progress: the frame of the recorded function, the
// core's record for it and the value its last `return` produced.
struct Entry {
    PyObject *frame;   // strong
    PyObject *record;  // strong
    PyObject *retval;  // strong
};

struct ThreadState {
    std::vector<Entry> stack;
    int in_core = 0;
    bool offer = false;  // set by the gate, taken by the slot that follows
    std::uint64_t rng = 0;
};

thread_local ThreadState tstate;

// Marks the thread as running the core for the guard's lifetime.
class InCore {
  public:
    InCore() { tstate.in_core++; }
    ~InCore() { tstate.in_core--; }
    InCore(const InCore &) = delete;
    InCore &operator=(const InCore &) = delete;
};

// True when instrumented operations on this thread must be reported: a
// recorded call is active and the core itself is not running.
inline bool hooks_active()
{
    if (active_threads == 0)
        return false;
    ThreadState &t = tstate;
    return !t.stack.empty() && t.in_core == 0;
}

// Called after a core entry returned NULL. An ordinary failure (Exception
// or a subclass) is dropped and counted: 0. Anything else stays set for the
// program to see: -1.
int contain_failure()
{
    if (!PyErr_Occurred())
        return 0;
    if (tw::containable()) {
        PyErr_Clear();
        contained_failures++;
        return 0;
    }
    return -1;
}

// Calls that were offered to the core and lost to a failure the core could
// not report itself (its metric could not be built where the call was:
// near the recursion limit, mostly). They are counted here, by reason, and
// handed to the loss reporter one by one at the next chance: when a later
// call is offered, and when recording stops.
unsigned long long lost_at_recursion_limit = 0;
unsigned long long lost_otherwise = 0;
PyObject *loss_reporter = nullptr;  // reporter(reason): sends one metric
bool flushing = false;  // a thread is handing losses over (the reporter
                        // may let other threads run meanwhile)

// A forked child reports its own losses; the parent's are the parent's.
void forget_losses_in_child()
{
    lost_at_recursion_limit = 0;
    lost_otherwise = 0;
    flushing = false;
}

// contain_failure() for a core entry whose failure loses the call; the loss
// is counted. 0, or -1 with an exception that must reach the program.
int contain_lost_call()
{
    if (!PyErr_Occurred())
        return 0;
    const bool recursion = PyErr_ExceptionMatches(PyExc_RecursionError);
    if (contain_failure() < 0)
        return -1;
    if (recursion)
        lost_at_recursion_limit++;
    else
        lost_otherwise++;
    return 0;
}

// Hands the counted losses to the loss reporter, one call each. One that
// meets the recursion limit again stays counted for the next chance; one
// that fails otherwise is dropped (and counted as a contained failure).
// 0, or -1 with an exception that must reach the program.
int flush_lost_calls()
{
    if (flushing)
        return 0;
    flushing = true;
    int result = 0;
    while (loss_reporter != nullptr &&
           (lost_at_recursion_limit != 0 || lost_otherwise != 0)) {
        const bool recursion = lost_at_recursion_limit != 0;
        PyObject *reason = recursion ? TW_STR("recursion_limit")
                                     : TW_STR("exception");
        tw::Ref reporter = tw::Ref::borrow(loss_reporter);
        PyObject *r;
        {
            InCore guard;
            r = PyObject_CallOneArg(reporter.get(), reason);
        }
        if (r == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_RecursionError)) {
                PyErr_Clear();
                break;
            }
            if (contain_failure() < 0) {
                result = -1;
                break;
            }
        }
        Py_XDECREF(r);
        unsigned long long &count =
            recursion ? lost_at_recursion_limit : lost_otherwise;
        if (count != 0)
            count--;
    }
    flushing = false;
    return result;
}

bool other_thread_importing()
{
    if (importers.empty())
        return false;
    const unsigned long me = PyThread_get_thread_ident();
    for (unsigned long t : importers)
        if (t != me)
            return true;
    return false;
}

// Calls a core entry with borrowed arguments while the thread is marked as
// running the core. New reference, or NULL with the core's exception set.
PyObject *core_call(PyObject *entry, PyObject *const *argv, size_t n)
{
    tw::Ref keep = tw::Ref::borrow(entry);  // set_core may run meanwhile
    InCore guard;
    return PyObject_Vectorcall(keep.get(), argv, n, nullptr);
}

// Calls a core entry whose result is not needed. 0, or -1 with an exception
// that must reach the program.
int core_notify(PyObject *entry, PyObject *const *argv, size_t n)
{
    PyObject *r = core_call(entry, argv, n);
    if (r == nullptr)
        return contain_failure();
    Py_DECREF(r);
    return 0;
}

bool sampled()
{
    const double rate = sampling_rate;
    if (rate >= 1.0)
        return true;
    if (!(rate > 0.0))
        return false;
    ThreadState &t = tstate;
    if (t.rng == 0) {
        std::uint64_t seed =
            reinterpret_cast<std::uintptr_t>(&t) ^
            (static_cast<std::uint64_t>(std::time(nullptr)) << 20) ^
            static_cast<std::uint64_t>(std::clock());
        t.rng = seed ? seed : 0x9E3779B97F4A7C15ULL;
    }
    std::uint64_t x = t.rng;  // xorshift64*
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    t.rng = x;
    const std::uint64_t r = x * 2685821657736338717ULL;
    const double u = static_cast<double>(r >> 11) * (1.0 / 9007199254740992.0);
    return u < rate;
}

int push_entry(PyObject *frame, PyObject *record)
{
    ThreadState &t = tstate;
    try {
        t.stack.push_back(Entry{frame, record, Py_None});
    }
    catch (...) {
        PyErr_NoMemory();
        return -1;
    }
    Py_INCREF(frame);
    Py_INCREF(record);
    Py_INCREF(Py_None);
    if (t.stack.size() == 1)
        active_threads++;
    return 0;
}

// The entry of the call that `frame` is running, if it is the innermost
// one; borrowed, or NULL.
Entry *entry_of_current_frame()
{
    if (active_threads == 0)
        return nullptr;
    ThreadState &t = tstate;
    if (t.stack.empty())
        return nullptr;
    PyObject *frame = reinterpret_cast<PyObject *>(PyEval_GetFrame());
    if (frame == nullptr || t.stack.back().frame != frame)
        return nullptr;
    return &t.stack.back();
}

// Removes the innermost entry; the caller owns its references.
Entry pop_entry()
{
    ThreadState &t = tstate;
    Entry e = t.stack.back();
    t.stack.pop_back();
    if (t.stack.empty())
        active_threads--;
    return e;
}

void release_entry(Entry &e)
{
    Py_XDECREF(e.frame);
    Py_XDECREF(e.record);
    Py_XDECREF(e.retval);
}

// Ends a recorded call at the core: record_user_function_return_value(
// retval, record), with the exception to record, if any, pending. Whatever
// the core leaves pending is cleared. 0, or -1 with an exception that must
// reach the program.
int end_user_call(PyObject *record, PyObject *retval)
{
    if (core.user_return == nullptr) {
        PyErr_Clear();
        return 0;
    }
    PyObject *argv[2] = {retval, record};
    PyObject *r = core_call(core.user_return, argv, 2);
    if (r == nullptr)
        return contain_lost_call();
    Py_DECREF(r);
    if (PyErr_Occurred())
        PyErr_Clear();
    return 0;
}

// Takes the pending exception, normalized and carrying its traceback, as a
// new (type, value, traceback) triple; the error indicator is cleared.
void fetch_normalized(PyObject **type, PyObject **value, PyObject **tb)
{
    PyErr_Fetch(type, value, tb);
    if (*type == nullptr)
        return;
    PyErr_NormalizeException(type, value, tb);
    if (*tb != nullptr && *value != nullptr)
        PyException_SetTraceback(*value, *tb);
}

// ------------------------------------------------------------ callee test

enum CalleeClass { CALLEE_PROJECT, CALLEE_OUTSIDE_FILES, CALLEE_UNKNOWN };

bool in_set(PyObject *set, PyObject *key)
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
CalleeClass classify_callee(PyObject *f)
{
    PyObject *fn = f;
    if (PyMethod_Check(fn))
        fn = PyMethod_GET_FUNCTION(fn);
    if (PyFunction_Check(fn)) {
        PyCodeObject *code =
            reinterpret_cast<PyCodeObject *>(PyFunction_GET_CODE(fn));
        return in_set(project_files, code->co_filename) ? CALLEE_PROJECT
                                                        : CALLEE_OUTSIDE_FILES;
    }
    if (PyCFunction_Check(fn) || Py_IS_TYPE(fn, &PyMethodDescr_Type) ||
        Py_IS_TYPE(fn, &PyWrapperDescr_Type) ||
        Py_IS_TYPE(fn, &PyClassMethodDescr_Type) ||
        (method_wrapper_type != nullptr && Py_IS_TYPE(fn, method_wrapper_type)))
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

// Calls `callee` as the program asked, reporting it to the core as an
// external call around the call. New reference or NULL with the callee's (or
// an uncontainable) exception set.
PyObject *call_recorded(PyObject *callee, int outside_files,
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

    PyObject *res = PyObject_Vectorcall(callee, args, nargsf, kwnames);
    if (res != nullptr) {
        PyObject *rargv[2] = {res, record.get()};
        PyObject *r = core_call(external_return.get(), rargv, 2);
        if (r == nullptr) {
            if (contain_failure() < 0) {
                Py_DECREF(res);
                return nullptr;
            }
        }
        else {
            Py_DECREF(r);
            if (PyErr_Occurred())
                PyErr_Clear();
        }
        return res;
    }
    // The callee raised: the core reads the exception while it is pending
    // and clears it; it is put back unchanged afterwards.
    PyObject *type, *value, *tb;
    fetch_normalized(&type, &value, &tb);
    if (type == nullptr) {
        PyErr_SetString(PyExc_SystemError,
                        "callable returned NULL without an exception");
        return nullptr;
    }
    Py_INCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(tb);
    PyErr_Restore(type, value, tb);
    PyObject *rargv[2] = {Py_None, record.get()};
    PyObject *r = core_call(external_return.get(), rargv, 2);
    if (r == nullptr) {
        if (contain_failure() < 0) {
            Py_DECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
            return nullptr;
        }
    }
    else {
        Py_DECREF(r);
        PyErr_Clear();
    }
    PyErr_Restore(type, value, tb);
    return nullptr;
}

// ---------------------------------------------------------------- proxies

PyTypeObject *CallProxy_Type = nullptr;
PyTypeObject *AttrProxy_Type = nullptr;
PyTypeObject *WithProxy_Type = nullptr;

// A callable standing for `callee` during one call made while recording.
struct CallProxy {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *callee;
    int outside_files;
};

PyObject *CallProxy_vectorcall(PyObject *self_, PyObject *const *args,
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
PyObject *CallProxy_getattro(PyObject *self, PyObject *name)
{
    return PyObject_GetAttr(reinterpret_cast<CallProxy *>(self)->callee,
                            name);
}

PyObject *CallProxy_repr(PyObject *self)
{
    return PyObject_Repr(reinterpret_cast<CallProxy *>(self)->callee);
}

void CallProxy_dealloc(PyObject *self)
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

PyObject *AttrProxy_getattro(PyObject *self_, PyObject *name)
{
    AttrProxy *self = reinterpret_cast<AttrProxy *>(self_);
    PyObject *res = PyObject_GetAttr(self->obj, name);
    if (res == nullptr || !hooks_active())
        return res;
    if (core.load_attr != nullptr) {
        PyObject *argv[3] = {self->obj, name, res};
        if (core_notify(core.load_attr, argv, 3) < 0) {
            Py_DECREF(res);
            return nullptr;
        }
    }
    if (self->method && hooks_active()) {
        PyObject *wrapped = wrap_callee(res);
        Py_DECREF(res);
        return wrapped;
    }
    return res;
}

void AttrProxy_dealloc(PyObject *self)
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

PyObject *call_reported(PyObject *callee, PyObject *const *args,
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

PyObject *WithProxy_enter(PyObject *self, PyObject *)
{
    return call_reported(reinterpret_cast<WithProxy *>(self)->enter, nullptr,
                         0);
}

PyObject *WithProxy_exit(PyObject *self, PyObject *const *args,
                         Py_ssize_t nargs)
{
    return call_reported(reinterpret_cast<WithProxy *>(self)->exit, args,
                         nargs);
}

void WithProxy_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    WithProxy *p = reinterpret_cast<WithProxy *>(self);
    Py_XDECREF(p->enter);
    Py_XDECREF(p->exit);
    PyObject_Free(self);
    Py_DECREF(tp);
}

PyMethodDef WithProxy_methods[] = {
    {"__enter__", WithProxy_enter, METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(
                     reinterpret_cast<void (*)(void)>(WithProxy_exit)),
     METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// `type(obj).<name>` bound to obj, as the `with` statement looks special
// methods up. New reference; NULL without an exception when it is missing.
PyObject *lookup_special(PyObject *obj, PyObject *name)
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

// ------------------------------------------------------------ trampolines

PyTypeObject *Trampoline_Type = nullptr;

// A named callable with its own vectorcall function; instances are the
// constants the instrumented code calls.
struct Trampoline {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const char *name;
    PyObject *target;  // adapters only: the wrapped callable (strong)
};

int check_nargs(PyObject *self, size_t nargsf, PyObject *kwnames,
                Py_ssize_t want)
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs == want && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0))
        return 0;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s",
                 reinterpret_cast<Trampoline *>(self)->name, want,
                 want == 1 ? "" : "s");
    return -1;
}

// ret(value): the value of a `return` of a recorded function.
PyObject *tr_ret(PyObject *self, PyObject *const *args, size_t nargsf,
                 PyObject *kwnames)
{
    if (check_nargs(self, nargsf, kwnames, 1) < 0)
        return nullptr;
    Entry *e = entry_of_current_frame();
    if (e != nullptr) {
        PyObject *old = e->retval;
        e->retval = Py_NewRef(args[0]);
        Py_DECREF(old);
    }
    return Py_NewRef(args[0]);
}

// exc(): in the handler around a recorded function's body, with the
// exception it raised being handled; the exception is re-raised afterwards.
PyObject *tr_exc(PyObject *self, PyObject *const *, size_t nargsf,
                 PyObject *kwnames)
{
    if (check_nargs(self, nargsf, kwnames, 0) < 0)
        return nullptr;
    if (entry_of_current_frame() == nullptr)
        Py_RETURN_NONE;
    Entry e = pop_entry();
    PyObject *type, *value, *tb;
    PyErr_GetExcInfo(&type, &value, &tb);
    PyErr_Restore(type, value, tb);  // pending for the core, which takes it
    int rc = end_user_call(e.record, Py_None);
    release_entry(e);
    if (rc < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// exit(): in the finally block around a recorded function's body.
PyObject *tr_exit(PyObject *self, PyObject *const *, size_t nargsf,
                  PyObject *kwnames)
{
    if (check_nargs(self, nargsf, kwnames, 0) < 0)
        return nullptr;
    if (entry_of_current_frame() == nullptr)
        Py_RETURN_NONE;
    Entry e = pop_entry();
    int rc = end_user_call(e.record, e.retval);
    release_entry(e);
    if (rc < 0)
        return nullptr;
    Py_RETURN_NONE;
}

int report_global(PyObject *value, PyObject *name)
{
    if (core.load_global == nullptr)
        return 0;
    PyObject *argv[2] = {value, name};
    return core_notify(core.load_global, argv, 2);
}

// glob(value, name): a global-name load.
PyObject *tr_glob(PyObject *self, PyObject *const *args, size_t nargsf,
                  PyObject *kwnames)
{
    if (check_nargs(self, nargsf, kwnames, 2) < 0)
        return nullptr;
    if (hooks_active() && report_global(args[0], args[1]) < 0)
        return nullptr;
    return Py_NewRef(args[0]);
}

// attr(obj): the object of an attribute load.
PyObject *tr_attr(PyObject *self, PyObject *const *args, size_t nargsf,
                  PyObject *kwnames)
{
    if (check_nargs(self, nargsf, kwnames, 1) < 0)
        return nullptr;
    if (!hooks_active())
        return Py_NewRef(args[0]);
    return new_attr_proxy(args[0], 0);
}

// mattr(obj): the object of a method load whose result is called at once.
PyObject *tr_mattr(PyObject *self, PyObject *const *args, size_t nargsf,
                   PyObject *kwnames)
{
    if (check_nargs(self, nargsf, kwnames, 1) < 0)
        return nullptr;
    if (!hooks_active())
        return Py_NewRef(args[0]);
    return new_attr_proxy(args[0], 1);
}

// call(f): the callable of a call.
PyObject *tr_call(PyObject *self, PyObject *const *args, size_t nargsf,
                  PyObject *kwnames)
{
    if (check_nargs(self, nargsf, kwnames, 1) < 0)
        return nullptr;
    if (!hooks_active())
        return Py_NewRef(args[0]);
    return wrap_callee(args[0]);
}

// gcall(f, name): the callable of a call, loaded from a global name.
PyObject *tr_gcall(PyObject *self, PyObject *const *args, size_t nargsf,
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
PyObject *tr_with(PyObject *self, PyObject *const *args, size_t nargsf,
                  PyObject *kwnames)
{
    if (check_nargs(self, nargsf, kwnames, 1) < 0)
        return nullptr;
    if (!hooks_active())
        return Py_NewRef(args[0]);
    return new_with_proxy(args[0]);
}

// An adapter made by pending_exception_adapter: takes the pending exception
// and calls its target with it as one more positional argument.
PyObject *tr_adapter(PyObject *self, PyObject *const *args, size_t nargsf,
                     PyObject *kwnames)
{
    PyObject *type, *value, *tb;
    fetch_normalized(&type, &value, &tb);
    PyObject *pending = value != nullptr ? value : type;
    if (pending == nullptr)
        pending = Py_None;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    std::vector<PyObject *> argv;
    try {
        argv.assign(args, args + nargs);
        argv.push_back(pending);
        argv.insert(argv.end(), args + nargs, args + nargs + nkw);
    }
    catch (...) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        return PyErr_NoMemory();
    }
    PyObject *r =
        PyObject_Vectorcall(reinterpret_cast<Trampoline *>(self)->target,
                            argv.data(), nargs + 1, kwnames);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return r;
}

PyObject *Trampoline_repr(PyObject *self)
{
    return PyUnicode_FromFormat("<tarnwick %s>",
                                reinterpret_cast<Trampoline *>(self)->name);
}

void Trampoline_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(reinterpret_cast<Trampoline *>(self)->target);
    PyObject_GC_Del(self);
    Py_DECREF(tp);
}

int Trampoline_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(reinterpret_cast<Trampoline *>(self)->target);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int Trampoline_clear(PyObject *self)
{
    Py_CLEAR(reinterpret_cast<Trampoline *>(self)->target);
    return 0;
}

// New reference.
PyObject *new_trampoline(const char *name, vectorcallfunc fn,
                         PyObject *target = nullptr)
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

PyTypeObject *Gate_Type = nullptr;

// The test at the top of an instrumented function, choosing between its
// instrumented and its original body: one slot call, no arguments. `gate`
// also decides whether the call is offered to the core (recording on, the
// sampling draw, no module being imported by another thread) and leaves
// the decision for the slot call that follows; `active` only asks whether a
// recorded call is open on the thread.
struct Gate {
    PyObject_HEAD
    int offers;
};

int Gate_bool(PyObject *self)
{
    if (!enabled && active_threads == 0)
        return 0;
    ThreadState &t = tstate;
    if (t.in_core)
        return 0;
    const bool active = !t.stack.empty();
    if (!reinterpret_cast<Gate *>(self)->offers)
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
PyObject *Gate_and(PyObject *a, PyObject *)
{
    if (!PyObject_TypeCheck(a, Gate_Type))
        Py_RETURN_NOTIMPLEMENTED;
    return PyBool_FromLong(Gate_bool(a));
}

// Identity hash: code objects holding the gate as a constant are hashed.
Py_hash_t Gate_hash(PyObject *self)
{
    Py_hash_t h = static_cast<Py_hash_t>(
        reinterpret_cast<std::uintptr_t>(self) >> 4);
    return h == -1 ? -2 : h;
}

PyObject *Gate_repr(PyObject *self)
{
    return PyUnicode_FromString(reinterpret_cast<Gate *>(self)->offers
                                    ? "<tarnwick gate>"
                                    : "<tarnwick active>");
}

void Gate_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(tp);
}

int add_gate(PyObject *m, const char *name, int offers)
{
    Gate *g = PyObject_New(Gate, Gate_Type);
    if (g == nullptr)
        return -1;
    g->offers = offers;
    int r = PyModule_AddObjectRef(m, name, reinterpret_cast<PyObject *>(g));
    Py_DECREF(g);
    return r;
}

// ------------------------------------------------------------------- Slot

PyTypeObject *Slot_Type = nullptr;

// One instrumented `def`: how its parameters arrive in an entry call, and
// the function objects the `def` produced.
//
// The slot is a constant of the function's code object, so it holds its
// functions weakly: a strong reference would close a cycle (function, code,
// slot, function) through the code object, which the garbage collector
// cannot see, and keep every instrumented function and its module's
// globals alive for good (objects left in a module would then never be
// finalized, and files the program left open never flushed at exit).
// A `def` run more than once (a nested function, a class body run again)
// has several functions alive at once; the call is offered with the one
// produced last that is still alive.
struct Slot {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    int kind;
    Py_ssize_t npos;   // positional parameters (positional-only included)
    int has_varargs;   // a *args parameter follows them
    int has_varkw;     // a **kwargs parameter comes last
    PyObject *kwonly;  // tuple of the keyword-only parameter names
    PyObject *qualname;
    PyObject *funcs;   // list of weak references, oldest first; or NULL
    Py_ssize_t pruned;  // length of `funcs` after its last pruning
};

// The object a weak reference points to, or NULL (no exception set) when it
// is gone. New reference.
PyObject *weak_target(PyObject *ref)
{
#if PY_VERSION_HEX >= 0x030D0000
    PyObject *f = nullptr;
    if (PyWeakref_GetRef(ref, &f) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    return f;
#else
    PyObject *f = PyWeakref_GetObject(ref);  // borrowed
    if (f == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    return f == Py_None ? nullptr : Py_NewRef(f);
#endif
}

// The function the def produced last that is still alive, or NULL (no
// exception set) when there is none. New reference.
PyObject *slot_func(Slot *s)
{
    if (s->funcs == nullptr)
        return nullptr;
    for (Py_ssize_t i = PyList_GET_SIZE(s->funcs); i-- > 0;) {
        PyObject *f = weak_target(PyList_GET_ITEM(s->funcs, i));
        if (f != nullptr)
            return f;
    }
    return nullptr;
}

// Whether the code object `code` holds `slot` among its constants: the
// slot call is then made by a function of this def.
bool code_holds(PyObject *code, PyObject *slot)
{
    if (!PyCode_Check(code))
        return false;
    PyObject *consts = reinterpret_cast<PyCodeObject *>(code)->co_consts;
    if (consts == nullptr || !PyTuple_Check(consts))
        return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); i++)
        if (PyTuple_GET_ITEM(consts, i) == slot)
            return true;
    return false;
}

// The function whose call runs the slot call: the function object of the
// calling frame, where the interpreter keeps it (3.11 on) and it is one of
// this def's; otherwise the def's last function still alive. Several
// functions of one def (closures made by a factory, the wrappers a
// decorator made) share their code; only the frame tells which one runs.
// New reference, or NULL (no exception set).
PyObject *running_func(Slot *s, PyFrameObject *frame)
{
#if PY_VERSION_HEX >= 0x030B0000
    if (frame != nullptr && frame->f_frame != nullptr) {
#if PY_VERSION_HEX >= 0x030C0000
        PyObject *f = frame->f_frame->f_funcobj;
#else
        PyObject *f = reinterpret_cast<PyObject *>(frame->f_frame->f_func);
#endif
        if (f != nullptr && PyFunction_Check(f) &&
            code_holds(PyFunction_GET_CODE(f), reinterpret_cast<PyObject *>(s)))
            return Py_NewRef(f);
    }
#else
    (void)frame;
#endif
    return slot_func(s);
}

// Drops the references to functions that are gone, when the list has
// doubled since it was last pruned (so binding stays cheap on average).
// 0, or -1 with an exception set.
int slot_prune(Slot *s)
{
    const Py_ssize_t n = PyList_GET_SIZE(s->funcs);
    if (n < 8 || n < 2 * s->pruned)
        return 0;
    tw::Ref alive = tw::Ref::steal(PyList_New(0));
    if (!alive)
        return -1;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *ref = PyList_GET_ITEM(s->funcs, i);
        tw::Ref f = tw::Ref::steal(weak_target(ref));
        if (f && PyList_Append(alive.get(), ref) < 0)
            return -1;
    }
    s->pruned = PyList_GET_SIZE(alive.get());
    Py_SETREF(s->funcs, alive.release());
    return 0;
}

Py_ssize_t slot_nargs(Slot *s)
{
    return s->npos + s->has_varargs + PyTuple_GET_SIZE(s->kwonly) +
           s->has_varkw;
}

// The object the core is given as "the called object", and how many leading
// parameters it stands for; `func` is the slot's function (borrowed). New
// reference.
PyObject *called_object(Slot *s, PyObject *func, PyObject *const *args,
                        Py_ssize_t *skip)
{
    *skip = 0;
    if (s->kind == KIND_CLASSMETHOD && s->npos >= 1) {
        *skip = 1;
        return PyMethod_New(func, args[0]);
    }
    if (s->kind == KIND_INIT && s->npos >= 1) {
        // Called as Cls(...): the core is given the class, as the program
        // called it. A base initializer reached through super() or called
        // explicitly is a plain method call.
        // The class's own lookup along its MRO, which runs no code of a
        // metaclass: a function found there is what `cls.__init__` gives.
        PyTypeObject *cls = Py_TYPE(args[0]);
        if (_PyType_Lookup(cls, TW_STR("__init__")) == func) {
            *skip = 1;
            return Py_NewRef(reinterpret_cast<PyObject *>(cls));
        }
    }
    return Py_NewRef(func);
}

// Offers one call to the core: record_user_function_call(called, *args,
// **kwargs); `func` is the slot's function (borrowed). New reference to its
// result, or NULL with an exception set.
PyObject *offer_call(Slot *s, PyObject *func, PyObject *const *args)
{
    Py_ssize_t skip;
    tw::Ref called = tw::Ref::steal(called_object(s, func, args, &skip));
    if (!called)
        return nullptr;
    const Py_ssize_t npos = s->npos;
    PyObject *varargs = s->has_varargs ? args[npos] : nullptr;
    const Py_ssize_t nvar =
        (varargs != nullptr && PyTuple_Check(varargs)) ? PyTuple_GET_SIZE(varargs)
                                                       : 0;
    tw::Ref pos = tw::Ref::steal(PyTuple_New(1 + npos - skip + nvar));
    if (!pos)
        return nullptr;
    PyTuple_SET_ITEM(pos.get(), 0, called.release());
    Py_ssize_t k = 1;
    for (Py_ssize_t i = skip; i < npos; i++)
        PyTuple_SET_ITEM(pos.get(), k++, Py_NewRef(args[i]));
    for (Py_ssize_t i = 0; i < nvar; i++)
        PyTuple_SET_ITEM(pos.get(), k++,
                         Py_NewRef(PyTuple_GET_ITEM(varargs, i)));

    tw::Ref kw;
    const Py_ssize_t nkw = PyTuple_GET_SIZE(s->kwonly);
    PyObject *varkw = s->has_varkw ? args[npos + s->has_varargs + nkw] : nullptr;
    if (nkw > 0 || (varkw != nullptr && PyDict_Check(varkw) &&
                    PyDict_GET_SIZE(varkw) > 0)) {
        kw = tw::Ref::steal(PyDict_New());
        if (!kw)
            return nullptr;
        PyObject *const *kwvals = args + npos + s->has_varargs;
        for (Py_ssize_t i = 0; i < nkw; i++)
            if (PyDict_SetItem(kw.get(), PyTuple_GET_ITEM(s->kwonly, i),
                               kwvals[i]) < 0)
                return nullptr;
        if (varkw != nullptr && PyDict_Check(varkw) &&
            PyDict_Update(kw.get(), varkw) < 0)
            return nullptr;
    }
    tw::Ref entry = tw::Ref::borrow(core.user_call);
    InCore guard;
    return PyObject_Call(entry.get(), pos.get(), kw.get());
}

// slot(params...): the first statement of the instrumented body of a
// function; offers the call to the core when the gate decided so.
PyObject *Slot_vectorcall(PyObject *self_, PyObject *const *args,
                          size_t nargsf, PyObject *kwnames)
{
    ThreadState &t = tstate;
    if (!t.offer)
        Py_RETURN_NONE;
    t.offer = false;
    Slot *self = reinterpret_cast<Slot *>(self_);
    if (!enabled || core.user_call == nullptr || t.in_core)
        Py_RETURN_NONE;
    if (kwnames != nullptr || PyVectorcall_NARGS(nargsf) != slot_nargs(self))
        Py_RETURN_NONE;
    PyFrameObject *calling = PyEval_GetFrame();
    tw::Ref func = tw::Ref::steal(running_func(self, calling));
    if (!func)
        Py_RETURN_NONE;
    if ((lost_at_recursion_limit != 0 || lost_otherwise != 0) &&
        flush_lost_calls() < 0)
        return nullptr;
    tw::Ref record = tw::Ref::steal(offer_call(self, func.get(), args));
    if (!record) {
        if (contain_lost_call() < 0)
            return nullptr;
        Py_RETURN_NONE;
    }
    if (record.get() == Py_None)
        Py_RETURN_NONE;
    PyObject *frame = reinterpret_cast<PyObject *>(PyEval_GetFrame());
    if (self->kind == KIND_COROUTINE || frame == nullptr) {
        // Never kept open: a coroutine suspends, and entries must nest.
        if (end_user_call(record.get(), Py_None) < 0)
            return nullptr;
        Py_RETURN_NONE;
    }
    if (push_entry(frame, record.get()) < 0) {
        PyErr_Clear();
        if (end_user_call(record.get(), Py_None) < 0)
            return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *Slot_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    static const char *kwlist[] = {"kind",     "npos",      "has_varargs",
                                   "kwonly",   "has_varkw", "qualname",
                                   nullptr};
    int kind, has_varargs, has_varkw;
    Py_ssize_t npos;
    PyObject *kwonly, *qualname;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "inpO!pU:Slot",
                                     const_cast<char **>(kwlist), &kind,
                                     &npos, &has_varargs, &PyTuple_Type,
                                     &kwonly, &has_varkw, &qualname))
        return nullptr;
    if (kind < KIND_FUNCTION || kind > KIND_COROUTINE || npos < 0) {
        PyErr_SetString(PyExc_ValueError, "invalid slot kind or npos");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwonly); i++)
        if (!PyUnicode_Check(PyTuple_GET_ITEM(kwonly, i))) {
            PyErr_SetString(PyExc_TypeError,
                            "keyword-only names must be strings");
            return nullptr;
        }
    Slot *s = reinterpret_cast<Slot *>(type->tp_alloc(type, 0));
    if (s == nullptr)
        return nullptr;
    s->vectorcall = Slot_vectorcall;
    s->kind = kind;
    s->npos = npos;
    s->has_varargs = has_varargs;
    s->has_varkw = has_varkw;
    s->kwonly = Py_NewRef(kwonly);
    s->qualname = Py_NewRef(qualname);
    s->funcs = nullptr;
    s->pruned = 0;
    return reinterpret_cast<PyObject *>(s);
}

int Slot_traverse(PyObject *self, visitproc visit, void *arg)
{
    Slot *s = reinterpret_cast<Slot *>(self);
    Py_VISIT(s->kwonly);
    Py_VISIT(s->qualname);
    Py_VISIT(s->funcs);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int Slot_clear(PyObject *self)
{
    Slot *s = reinterpret_cast<Slot *>(self);
    Py_CLEAR(s->kwonly);
    Py_CLEAR(s->qualname);
    Py_CLEAR(s->funcs);
    return 0;
}

void Slot_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Slot_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject *Slot_repr(PyObject *self)
{
    return PyUnicode_FromFormat("<tarnwick slot %U>",
                                reinterpret_cast<Slot *>(self)->qualname);
}

// slot.bind(func): the innermost decorator of the def; returns func. The
// def itself never fails here: an object that takes no weak reference
// (never a function), or a failure to keep it, leaves it unknown to the
// slot, whose calls are then offered with an earlier function or not at
// all.
PyObject *Slot_bind(PyObject *self, PyObject *func)
{
    Slot *s = reinterpret_cast<Slot *>(self);
    tw::Ref ref = tw::Ref::steal(PyWeakref_NewRef(func, nullptr));
    if (ref && s->funcs == nullptr)
        s->funcs = PyList_New(0);
    if (!ref || s->funcs == nullptr || slot_prune(s) < 0 ||
        PyList_Append(s->funcs, ref.get()) < 0)
        PyErr_Clear();
    return Py_NewRef(func);
}

PyObject *Slot_get_func(PyObject *self, void *)
{
    PyObject *f = slot_func(reinterpret_cast<Slot *>(self));
    return f ? f : Py_NewRef(Py_None);
}

PyMethodDef Slot_methods[] = {
    {"bind", Slot_bind, METH_O,
     "bind(func)\n--\n\nRemember func as this def's function; return it."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef Slot_members[] = {
    {const_cast<char *>("kind"), T_INT, offsetof(Slot, kind), READONLY,
     nullptr},
    {const_cast<char *>("npos"), T_PYSSIZET, offsetof(Slot, npos), READONLY,
     nullptr},
    {const_cast<char *>("kwonly"), T_OBJECT, offsetof(Slot, kwonly),
     READONLY, nullptr},
    {const_cast<char *>("qualname"), T_OBJECT, offsetof(Slot, qualname),
     READONLY, nullptr},
#if PY_VERSION_HEX >= 0x03090000
    {const_cast<char *>("__vectorcalloffset__"), T_PYSSIZET,
     offsetof(Slot, vectorcall), READONLY, nullptr},
#endif
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef Slot_getset[] = {
    {const_cast<char *>("func"), Slot_get_func, nullptr,
     const_cast<char *>("the function object the def produced last"),
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ------------------------------------------------------- module functions

void clear_core()
{
    Py_CLEAR(core.object);
    Py_CLEAR(core.user_call);
    Py_CLEAR(core.user_return);
    Py_CLEAR(core.external_call);
    Py_CLEAR(core.external_return);
    Py_CLEAR(core.load_global);
    Py_CLEAR(core.load_attr);
}

PyObject *mod_set_core(PyObject *, PyObject *obj)
{
    if (obj == Py_None) {
        clear_core();
        Py_RETURN_NONE;
    }
    static const char *names[] = {
        "record_user_function_call", "record_user_function_return_value",
        "record_external_call",      "record_external_return_value",
        "load_global_hook",          "load_attr_hook",
    };
    PyObject *found[6] = {};
    for (int i = 0; i < 6; i++) {
        found[i] = PyObject_GetAttrString(obj, names[i]);
        if (found[i] == nullptr || !PyCallable_Check(found[i])) {
            if (found[i] != nullptr)
                PyErr_Format(PyExc_TypeError, "%s of the core is not callable",
                             names[i]);
            for (int j = 0; j <= i; j++)
                Py_XDECREF(found[j]);
            return nullptr;
        }
    }
    clear_core();
    core.object = Py_NewRef(obj);
    core.user_call = found[0];
    core.user_return = found[1];
    core.external_call = found[2];
    core.external_return = found[3];
    core.load_global = found[4];
    core.load_attr = found[5];
    Py_RETURN_NONE;
}

PyObject *mod_get_core(PyObject *, PyObject *)
{
    return Py_NewRef(core.object ? core.object : Py_None);
}

PyObject *mod_enable(PyObject *, PyObject *rate)
{
    double r = PyFloat_AsDouble(rate);
    if (r == -1.0 && PyErr_Occurred())
        return nullptr;
    if (!(r >= 0.0 && r <= 1.0)) {
        PyErr_SetString(PyExc_ValueError,
                        "sampling rate must be between 0 and 1");
        return nullptr;
    }
    sampling_rate = r;
    enabled = true;
    Py_RETURN_NONE;
}

PyObject *mod_disable(PyObject *, PyObject *)
{
    enabled = false;
    Py_RETURN_NONE;
}

PyObject *mod_is_enabled(PyObject *, PyObject *)
{
    return PyBool_FromLong(enabled);
}

PyObject *mod_set_project(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError,
                        "set_project() takes 2 positional arguments");
        return nullptr;
    }
    for (int i = 0; i < 2; i++)
        if (args[i] != Py_None && !PyAnySet_Check(args[i])) {
            PyErr_SetString(PyExc_TypeError,
                            "set_project() wants sets or None");
            return nullptr;
        }
    Py_XSETREF(project_files,
               args[0] == Py_None ? nullptr : Py_NewRef(args[0]));
    Py_XSETREF(project_modules,
               args[1] == Py_None ? nullptr : Py_NewRef(args[1]));
    Py_RETURN_NONE;
}

PyObject *mod_stack_depth(PyObject *, PyObject *)
{
    return PyLong_FromSize_t(tstate.stack.size());
}

PyObject *mod_contained_failures(PyObject *, PyObject *)
{
    return PyLong_FromUnsignedLongLong(contained_failures);
}

PyObject *mod_lost_calls(PyObject *, PyObject *)
{
    return Py_BuildValue("(KK)", lost_at_recursion_limit, lost_otherwise);
}

PyObject *mod_set_loss_reporter(PyObject *, PyObject *fn)
{
    if (fn != Py_None && !PyCallable_Check(fn)) {
        PyErr_SetString(PyExc_TypeError, "the loss reporter must be callable");
        return nullptr;
    }
    Py_XSETREF(loss_reporter, fn == Py_None ? nullptr : Py_NewRef(fn));
    Py_RETURN_NONE;
}

PyObject *mod_flush_lost_calls(PyObject *, PyObject *)
{
    if (flush_lost_calls() < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *mod_module_started(PyObject *, PyObject *)
{
    try {
        importers.push_back(PyThread_get_thread_ident());
    }
    catch (...) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

PyObject *mod_module_finished(PyObject *, PyObject *)
{
    const unsigned long me = PyThread_get_thread_ident();
    for (auto it = importers.end(); it != importers.begin();) {
        --it;
        if (*it == me) {
            importers.erase(it);
            break;
        }
    }
    Py_RETURN_NONE;
}

PyObject *mod_pending_exception_adapter(PyObject *, PyObject *fn)
{
    if (!PyCallable_Check(fn)) {
        PyErr_SetString(PyExc_TypeError, "the target must be callable");
        return nullptr;
    }
    return new_trampoline("pending_exception_adapter", tr_adapter, fn);
}

PyMethodDef module_methods[] = {
    {"set_core", mod_set_core, METH_O,
     "set_core(core)\n--\n\n"
     "Use core's six entry points from now on (None: record nothing)."},
    {"get_core", mod_get_core, METH_NOARGS,
     "get_core()\n--\n\nThe core in use, or None."},
    {"enable", mod_enable, METH_O,
     "enable(sampling_rate)\n--\n\n"
     "Start offering calls to the core, each with the given probability."},
    {"disable", mod_disable, METH_NOARGS,
     "disable()\n--\n\n"
     "Stop offering new calls; calls being recorded still finish."},
    {"is_enabled", mod_is_enabled, METH_NOARGS,
     "is_enabled()\n--\n\nWhether new calls are offered to the core."},
    {"set_project", reinterpret_cast<PyCFunction>(
                        reinterpret_cast<void (*)(void)>(mod_set_project)),
     METH_FASTCALL,
     "set_project(files, modules)\n--\n\n"
     "The sets of project source paths and module names (read, not\n"
     "copied) that tell project code from outside code."},
    {"stack_depth", mod_stack_depth, METH_NOARGS,
     "stack_depth()\n--\n\n"
     "How many recorded calls are open on the calling thread."},
    {"contained_failures", mod_contained_failures, METH_NOARGS,
     "contained_failures()\n--\n\n"
     "How many exceptions of the core were kept from the program."},
    {"lost_calls", mod_lost_calls, METH_NOARGS,
     "lost_calls()\n--\n\n"
     "(at the recursion limit, otherwise): calls lost to a failure of the\n"
     "core and not yet handed to the loss reporter."},
    {"set_loss_reporter", mod_set_loss_reporter, METH_O,
     "set_loss_reporter(reporter)\n--\n\n"
     "reporter(reason) sends the metric of one lost call, reason being\n"
     "'recursion_limit' or 'exception' (None: keep counting)."},
    {"flush_lost_calls", mod_flush_lost_calls, METH_NOARGS,
     "flush_lost_calls()\n--\n\n"
     "Hand the lost calls counted so far to the loss reporter."},
    {"module_started", mod_module_started, METH_NOARGS,
     "module_started()\n--\n\n"
     "The calling thread starts running an instrumented module's body;\n"
     "until module_finished(), other threads start no recording."},
    {"module_finished", mod_module_finished, METH_NOARGS,
     "module_finished()\n--\n\n"
     "The calling thread finished running a module's body."},
    {"pending_exception_adapter", mod_pending_exception_adapter, METH_O,
     "pending_exception_adapter(fn)\n--\n\n"
     "A callable that takes the pending exception (or None) out of the\n"
     "interpreter and calls fn(*args, exception): lets an end-of-call\n"
     "entry point written in Python receive it."},
    {nullptr, nullptr, 0, nullptr},
};

// ------------------------------------------------------------------- init

// Creates a heap type; `vc_offset` > 0 makes it vectorcall-callable.
PyTypeObject *make_type(PyObject *module, const char *name, int basicsize,
                        unsigned long flags, PyType_Slot *slots,
                        Py_ssize_t vc_offset)
{
    PyType_Spec spec = {name, basicsize, 0,
                        static_cast<unsigned int>(flags), slots};
#if PY_VERSION_HEX >= 0x03090000
    PyObject *t = PyType_FromModuleAndSpec(module, &spec, nullptr);
#else
    (void)module;
    PyObject *t = PyType_FromSpec(&spec);
#endif
    if (t == nullptr)
        return nullptr;
    PyTypeObject *tp = reinterpret_cast<PyTypeObject *>(t);
#if PY_VERSION_HEX < 0x03090000
    if (vc_offset > 0)
        tp->tp_vectorcall_offset = vc_offset;
#else
    (void)vc_offset;
#endif
    return tp;
}

int add_trampoline(PyObject *m, const char *name, vectorcallfunc fn)
{
    tw::Ref t = tw::Ref::steal(new_trampoline(name, fn));
    if (!t)
        return -1;
    return PyModule_AddObjectRef(m, name, t.get());
}

#if PY_VERSION_HEX >= 0x030A0000
#define TW_NO_NEW Py_TPFLAGS_DISALLOW_INSTANTIATION
#else
#define TW_NO_NEW 0
#endif

int exec_module(PyObject *m)
{
    const unsigned long vc = TW_TPFLAGS_HAVE_VECTORCALL;
#ifndef _WIN32
    static bool fork_handler_set = false;
    if (!fork_handler_set) {
        fork_handler_set = true;
        pthread_atfork(nullptr, nullptr, forget_losses_in_child);
    }
#endif

    static PyMemberDef call_members[] = {
#if PY_VERSION_HEX >= 0x03090000
        {const_cast<char *>("__vectorcalloffset__"), T_PYSSIZET,
         offsetof(CallProxy, vectorcall), READONLY, nullptr},
#endif
        {nullptr, 0, 0, 0, nullptr}};
    PyType_Slot call_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(CallProxy_dealloc)},
        {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
        {Py_tp_getattro, reinterpret_cast<void *>(CallProxy_getattro)},
        {Py_tp_repr, reinterpret_cast<void *>(CallProxy_repr)},
        {Py_tp_members, call_members},
        {0, nullptr}};
    CallProxy_Type = make_type(
        m, "tarnwick_collector.tracer._trampolines.CallProxy",
        sizeof(CallProxy), Py_TPFLAGS_DEFAULT | vc | TW_NO_NEW, call_slots,
        offsetof(CallProxy, vectorcall));
    if (CallProxy_Type == nullptr)
        return -1;

    PyType_Slot attr_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(AttrProxy_dealloc)},
        {Py_tp_getattro, reinterpret_cast<void *>(AttrProxy_getattro)},
        {0, nullptr}};
    AttrProxy_Type = make_type(
        m, "tarnwick_collector.tracer._trampolines.AttrProxy",
        sizeof(AttrProxy), Py_TPFLAGS_DEFAULT | TW_NO_NEW, attr_slots, 0);
    if (AttrProxy_Type == nullptr)
        return -1;

    PyType_Slot with_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(WithProxy_dealloc)},
        {Py_tp_methods, WithProxy_methods},
        {0, nullptr}};
    WithProxy_Type = make_type(
        m, "tarnwick_collector.tracer._trampolines.WithProxy",
        sizeof(WithProxy), Py_TPFLAGS_DEFAULT | TW_NO_NEW, with_slots, 0);
    if (WithProxy_Type == nullptr)
        return -1;

    PyType_Slot gate_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(Gate_dealloc)},
        {Py_tp_repr, reinterpret_cast<void *>(Gate_repr)},
        {Py_nb_bool, reinterpret_cast<void *>(Gate_bool)},
        {Py_nb_and, reinterpret_cast<void *>(Gate_and)},
        {Py_tp_hash, reinterpret_cast<void *>(Gate_hash)},
        {0, nullptr}};
    Gate_Type = make_type(m, "tarnwick_collector.tracer._trampolines.Gate",
                          sizeof(Gate), Py_TPFLAGS_DEFAULT | TW_NO_NEW,
                          gate_slots, 0);
    if (Gate_Type == nullptr)
        return -1;

    static PyMemberDef tramp_members[] = {
#if PY_VERSION_HEX >= 0x03090000
        {const_cast<char *>("__vectorcalloffset__"), T_PYSSIZET,
         offsetof(Trampoline, vectorcall), READONLY, nullptr},
#endif
        {nullptr, 0, 0, 0, nullptr}};
    PyType_Slot tramp_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(Trampoline_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(Trampoline_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(Trampoline_clear)},
        {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
        {Py_tp_repr, reinterpret_cast<void *>(Trampoline_repr)},
        {Py_tp_members, tramp_members},
        {0, nullptr}};
    Trampoline_Type = make_type(
        m, "tarnwick_collector.tracer._trampolines.Trampoline",
        sizeof(Trampoline),
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | vc | TW_NO_NEW, tramp_slots,
        offsetof(Trampoline, vectorcall));
    if (Trampoline_Type == nullptr)
        return -1;

    PyType_Slot slot_slots[] = {
        {Py_tp_new, reinterpret_cast<void *>(Slot_new)},
        {Py_tp_dealloc, reinterpret_cast<void *>(Slot_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(Slot_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(Slot_clear)},
        {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
        {Py_tp_repr, reinterpret_cast<void *>(Slot_repr)},
        {Py_tp_methods, Slot_methods},
        {Py_tp_members, Slot_members},
        {Py_tp_getset, Slot_getset},
        {Py_tp_doc, const_cast<char *>(
                        "Slot(kind, npos, has_varargs, kwonly, has_varkw, "
                        "qualname)\n--\n\n"
                        "The entry point of one instrumented def.")},
        {0, nullptr}};
    Slot_Type = make_type(m, "tarnwick_collector.tracer._trampolines.Slot",
                          sizeof(Slot),
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | vc,
                          slot_slots, offsetof(Slot, vectorcall));
    if (Slot_Type == nullptr)
        return -1;
#if PY_VERSION_HEX < 0x030A0000
    CallProxy_Type->tp_new = nullptr;
    AttrProxy_Type->tp_new = nullptr;
    WithProxy_Type->tp_new = nullptr;
    Trampoline_Type->tp_new = nullptr;
    Gate_Type->tp_new = nullptr;
#endif
    if (PyModule_AddObjectRef(m, "Slot",
                              reinterpret_cast<PyObject *>(Slot_Type)) < 0)
        return -1;

    {
        tw::Ref one = tw::Ref::steal(PyLong_FromLong(1));
        tw::Ref wrapper =
            one ? tw::Ref::steal(PyObject_GetAttrString(one.get(), "__add__"))
                : tw::Ref();
        if (!wrapper)
            return -1;
        PyTypeObject *wrapper_type = Py_TYPE(wrapper.get());
        Py_INCREF(wrapper_type);
        Py_XSETREF(method_wrapper_type, wrapper_type);
    }

    if (add_trampoline(m, "ret", tr_ret) < 0 ||
        add_trampoline(m, "exc", tr_exc) < 0 ||
        add_trampoline(m, "exit", tr_exit) < 0 ||
        add_trampoline(m, "glob", tr_glob) < 0 ||
        add_trampoline(m, "attr", tr_attr) < 0 ||
        add_trampoline(m, "mattr", tr_mattr) < 0 ||
        add_trampoline(m, "call", tr_call) < 0 ||
        add_trampoline(m, "gcall", tr_gcall) < 0 ||
        add_trampoline(m, "with_", tr_with) < 0 ||
        add_gate(m, "gate", 1) < 0 || add_gate(m, "active", 0) < 0)
        return -1;
    if (PyModule_AddIntConstant(m, "KIND_FUNCTION", KIND_FUNCTION) < 0 ||
        PyModule_AddIntConstant(m, "KIND_CLASSMETHOD", KIND_CLASSMETHOD) < 0 ||
        PyModule_AddIntConstant(m, "KIND_INIT", KIND_INIT) < 0 ||
        PyModule_AddIntConstant(m, "KIND_COROUTINE", KIND_COROUTINE) < 0)
        return -1;
    return 0;
}

}  // namespace

TW_MODULE(_trampolines,
          "Trampolines called by instrumented project code; they report "
          "calls,\nexternal calls and name loads to the recording core.",
          module_methods, exec_module)
