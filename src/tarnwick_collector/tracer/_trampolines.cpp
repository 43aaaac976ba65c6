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
//   * a generator function is instrumented the same way (its body starts
//     running at the first next()), and each `yield X` becomes
//     `gres(gsus(X), (yield gval()))`, each `yield from X`
//     `gres(gfrom(X), (yield from gval()))`;
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
// The module is built from these files, with the declarations they share
// in trampolines_internal.hpp:
//
//   * trampolines_state.cpp: the core's entry points, the per-thread stack
//     of recorded calls, the calls into the core and the containment of
//     their failures;
//   * trampolines_callables.cpp: the named callables and the gates;
//   * trampolines_proxies.cpp: the proxies that report external calls,
//     attribute loads and `with` statements;
//   * trampolines_slot.cpp: the Slot, which offers a def's calls to the core;
//   * trampolines_generators.cpp: what a recorded generator calls at each
//     yield and resumption, and how its call ends;
//   * trampolines_binding.cpp: the callables put in place of a module's
//     placeholder constants, and the source of each bound code object;
//   * this file: the module's functions and its initialization.
#include "trampolines_internal.hpp"

#ifndef _WIN32
#include <pthread.h>
#endif

namespace tw_trampolines {

// ------------------------------------------------------- module functions

static void clear_core()
{
    Py_CLEAR(core.object);
#define TW_CORE_CLEAR(field, attr) Py_CLEAR(core.field);
    TW_CORE_ENTRIES(TW_CORE_CLEAR)
    TW_CORE_GENERATOR_ENTRIES(TW_CORE_CLEAR)
#undef TW_CORE_CLEAR
}

static PyObject *mod_set_core(PyObject *, PyObject *obj)
{
    if (obj == Py_None) {
        clear_core();
        Py_RETURN_NONE;
    }
    static const char *names[] = {
#define TW_CORE_ATTR(field, attr) attr,
        TW_CORE_ENTRIES(TW_CORE_ATTR)
#undef TW_CORE_ATTR
    };
    constexpr int n = sizeof(names) / sizeof(names[0]);
    tw::Ref found[n];
    for (int i = 0; i < n; i++) {
        found[i] = tw::Ref::steal(PyObject_GetAttrString(obj, names[i]));
        if (!found[i] || !PyCallable_Check(found[i].get())) {
            if (found[i])
                PyErr_Format(PyExc_TypeError, "%s of the core is not callable",
                             names[i]);
            return nullptr;
        }
    }
    // The generator entries are optional: each is kept when callable.
    static const char *gen_names[] = {
#define TW_CORE_ATTR(field, attr) attr,
        TW_CORE_GENERATOR_ENTRIES(TW_CORE_ATTR)
#undef TW_CORE_ATTR
    };
    constexpr int ng = sizeof(gen_names) / sizeof(gen_names[0]);
    tw::Ref gen_found[ng];
    for (int i = 0; i < ng; i++) {
        gen_found[i] =
            tw::Ref::steal(PyObject_GetAttrString(obj, gen_names[i]));
        if (!gen_found[i]) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                return nullptr;
            PyErr_Clear();
        } else if (!PyCallable_Check(gen_found[i].get())) {
            gen_found[i].reset();
        }
    }
    clear_core();
    core.object = Py_NewRef(obj);
    int next = 0;
#define TW_CORE_SET(field, attr) core.field = found[next++].release();
    TW_CORE_ENTRIES(TW_CORE_SET)
#undef TW_CORE_SET
    next = 0;
#define TW_CORE_SET_GEN(field, attr) core.field = gen_found[next++].release();
    TW_CORE_GENERATOR_ENTRIES(TW_CORE_SET_GEN)
#undef TW_CORE_SET_GEN
    Py_RETURN_NONE;
}

static PyObject *mod_get_core(PyObject *, PyObject *)
{
    return Py_NewRef(core.object ? core.object : Py_None);
}

static PyObject *mod_enable(PyObject *, PyObject *rate)
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

static PyObject *mod_disable(PyObject *, PyObject *)
{
    enabled = false;
    Py_RETURN_NONE;
}

static PyObject *mod_is_enabled(PyObject *, PyObject *)
{
    return PyBool_FromLong(enabled);
}

static PyObject *mod_set_project(PyObject *, PyObject *const *args,
                                 Py_ssize_t nargs)
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

static PyObject *mod_stack_depth(PyObject *, PyObject *)
{
    return PyLong_FromSize_t(tstate.stack.size());
}

static PyObject *mod_contained_failures(PyObject *, PyObject *)
{
    return PyLong_FromUnsignedLongLong(contained_failures);
}

static PyObject *mod_lost_calls(PyObject *, PyObject *)
{
    return Py_BuildValue("(KK)", lost_at_recursion_limit, lost_otherwise);
}

// {kind: count} of the calls left out by design since the last call (the
// counts start again from zero).
static PyObject *mod_take_left_out(PyObject *, PyObject *)
{
    tw::Ref out = tw::Ref::steal(PyDict_New());
    if (!out)
        return nullptr;
    for (int i = 0; i < LEFT_OUT_KINDS; i++) {
        if (left_out_calls[i] == 0)
            continue;
        tw::Ref n =
            tw::Ref::steal(PyLong_FromUnsignedLongLong(left_out_calls[i]));
        if (!n ||
            PyDict_SetItemString(out.get(), LEFT_OUT_NAMES[i], n.get()) < 0)
            return nullptr;
    }
    for (unsigned long long &n : left_out_calls)
        n = 0;
    // Not a count that restarts: the generator calls suspended now, which
    // are recorded only if they end while the channels are open.
    if (suspended_generator_calls > 0) {
        tw::Ref n =
            tw::Ref::steal(PyLong_FromSsize_t(suspended_generator_calls));
        if (!n || PyDict_SetItemString(out.get(), "unfinished generator",
                                       n.get()) < 0)
            return nullptr;
    }
    return out.release();
}

static PyObject *mod_set_loss_reporter(PyObject *, PyObject *fn)
{
    if (fn != Py_None && !PyCallable_Check(fn)) {
        PyErr_SetString(PyExc_TypeError, "the loss reporter must be callable");
        return nullptr;
    }
    Py_XSETREF(loss_reporter, fn == Py_None ? nullptr : Py_NewRef(fn));
    Py_RETURN_NONE;
}

static PyObject *mod_flush_lost_calls(PyObject *, PyObject *)
{
    if (flush_lost_calls() < 0)
        return nullptr;
    Py_RETURN_NONE;
}

static PyObject *mod_module_started(PyObject *, PyObject *)
{
    try {
        importers.push_back(PyThread_get_thread_ident());
    } catch (...) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

static PyObject *mod_module_finished(PyObject *, PyObject *)
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

static PyObject *mod_pending_exception_adapter(PyObject *, PyObject *fn)
{
    if (!PyCallable_Check(fn)) {
        PyErr_SetString(PyExc_TypeError, "the target must be callable");
        return nullptr;
    }
    return new_trampoline("pending_exception_adapter", tr_adapter, fn);
}

static PyMethodDef module_methods[] = {
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
    {"set_project",
     reinterpret_cast<PyCFunction>(
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
    {"take_left_out", mod_take_left_out, METH_NOARGS,
     "take_left_out()\n--\n\n"
     "{kind: count} of the calls left out by design (lambdas, async\n"
     "generators) while recording was on (the counts restart from zero),\n"
     "and of the recorded generator calls suspended now ('unfinished\n"
     "generator')."},
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
    {"bind_code", TW_FASTCALL(mod_bind_code), TW_FASTCALL_FLAGS,
     "bind_code(code, plan, objects, source, in_place)\n--\n\n"
     "code with objects[n] in place of its placeholder constants and those\n"
     "of its nested code, where plan says; every Slot put in place keeps\n"
     "source. in_place fills the constant tuples that only\n"
     "their code object holds (freshly unmarshalled code), else new code\n"
     "objects are made."},
    {"cached_slots", TW_FASTCALL(mod_cached_slots), TW_FASTCALL_FLAGS,
     "cached_slots(slot_args, fixed)\n--\n\n"
     "(slots, objects) for a module read back from the cache: a Slot made\n"
     "from each seven items of slot_args, and the objects of its\n"
     "placeholders, fixed followed by each Slot and its bind in turn."},
    {"code_source", mod_code_source, METH_O,
     "code_source(code)\n--\n\n"
     "The source bind_code was given with code, the code of an\n"
     "instrumented def (one that holds its Slot), or None."},
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
    PyType_Spec spec = {name, basicsize, 0, static_cast<unsigned int>(flags),
                        slots};
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

static int exec_module(PyObject *m)
{
#ifndef _WIN32
    static bool fork_handler_set = false;
    if (!fork_handler_set) {
        fork_handler_set = true;
        pthread_atfork(nullptr, nullptr, forget_losses_in_child);
    }
#endif
    if (add_proxy_types(m) < 0 || add_slot_type(m) < 0)
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
    {
        tw::Ref functools = tw::Ref::steal(PyImport_ImportModule("functools"));
        tw::Ref partial = functools ? tw::Ref::steal(PyObject_GetAttrString(
                                          functools.get(), "partial"))
                                    : tw::Ref();
        if (!partial)
            return -1;
        if (PyType_Check(partial.get()))
            Py_XSETREF(partial_type,
                       reinterpret_cast<PyTypeObject *>(partial.release()));
    }

    if (add_callables(m) < 0 || add_generator_callables(m) < 0)
        return -1;
    if (PyModule_AddIntConstant(m, "KIND_FUNCTION", KIND_FUNCTION) < 0 ||
        PyModule_AddIntConstant(m, "KIND_CLASSMETHOD", KIND_CLASSMETHOD) < 0 ||
        PyModule_AddIntConstant(m, "KIND_INIT", KIND_INIT) < 0 ||
        PyModule_AddIntConstant(m, "KIND_COROUTINE", KIND_COROUTINE) < 0)
        return -1;
    return 0;
}

}  // namespace tw_trampolines

TW_MODULE(_trampolines,
          "Trampolines called by instrumented project code; they report "
          "calls,\nexternal calls and name loads to the recording core.",
          tw_trampolines::module_methods, tw_trampolines::exec_module)
