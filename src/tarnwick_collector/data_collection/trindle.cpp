// trindle: which recorded call is current on each thread.
//
// A TrindleTracker belongs to one recorded user call and gathers the
// external calls and globals seen while that call is current. Trindle holds
// the process-wide maps from thread identifier to tracker; both dicts are
// created here once and only ever mutated, because the recording core keeps
// the bound `get` of `thread_id_to_current_call` as its fast path.
//
// The tracker methods run on the recording core's hot paths, so the common
// cases (exact list, exact dict, int limit) are handled without building
// intermediate objects; other types take the ordinary protocol.
#include "tw.hpp"

#include <climits>

namespace {

using tw::Kind;
using tw::Param;
using tw::Ref;

// ------------------------------------------------------------ tracker

PyObject *tracker_init(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames)
{
    static const Param params[] = {{"self"}, {"func_full_name", Kind::Str}};
    PyObject *a[2];
    if (tw::parse("TrindleTracker.__init__", params, args, nargs, kwnames, a) <
        0)
        return nullptr;
    PyObject *self = a[0];
    Ref recorded = Ref::steal(PyList_New(0));
    if (!recorded || PyObject_SetAttr(self, TW_STR("recorded_functions"),
                                      recorded.get()) < 0)
        return nullptr;
    Ref globals = Ref::steal(PyDict_New());
    if (!globals ||
        PyObject_SetAttr(self, TW_STR("globals"), globals.get()) < 0)
        return nullptr;
    if (PyObject_SetAttr(self, TW_STR("caller_function"), Py_None) < 0)
        return nullptr;
    Ref unknown = Ref::steal(PySet_New(nullptr));
    if (!unknown ||
        PyObject_SetAttr(self, TW_STR("unknown_modules"), unknown.get()) < 0)
        return nullptr;
    if (PyObject_SetAttr(self, TW_STR("last_call"), Py_None) < 0 ||
        PyObject_SetAttr(self, TW_STR("func_full_name"), a[1]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// len(recorded) >= limit: 1, 0, or -1 with an exception set.
int limit_reached(Py_ssize_t len, PyObject *limit)
{
    if (PyLong_CheckExact(limit)) {
        int overflow = 0;
        long long max = PyLong_AsLongLongAndOverflow(limit, &overflow);
        if (max == -1 && PyErr_Occurred())
            return -1;
        if (overflow != 0)
            return overflow < 0;
        return static_cast<long long>(len) >= max;
    }
    Ref n = Ref::steal(PyLong_FromSsize_t(len));
    if (!n)
        return -1;
    Ref cmp = Ref::steal(PyObject_RichCompare(n.get(), limit, Py_GE));
    if (!cmp)
        return -1;
    return tw::truth(cmp.get());
}

// Appends `function_call` unless the tracker already holds
// CollectorSettings.external_calls_max records; returns whether the limit
// had been reached (True) or the record was taken (False).
PyObject *tracker_add_external_module_call(PyObject *module,
                                           PyObject *const *args,
                                           Py_ssize_t nargs, PyObject *kwnames)
{
    static const Param params[] = {{"self"}, {"function_call"}};
    PyObject *a[2];
    if (tw::parse("TrindleTracker.add_external_module_call", params, args,
                  nargs, kwnames, a) < 0)
        return nullptr;
    PyObject *self = a[0];
    PyObject *call = a[1];
    Ref recorded = tw::getattr(self, TW_STR("recorded_functions"));
    if (!recorded)
        return nullptr;
    const Py_ssize_t len = PyObject_Size(recorded.get());
    if (len < 0)
        return nullptr;
    Ref limit = tw::global_attr(module, TW_STR("CollectorSettings"),
                                TW_STR("external_calls_max"));
    if (!limit)
        return nullptr;
    const int reached = limit_reached(len, limit.get());
    if (reached < 0)
        return nullptr;
    if (reached)
        Py_RETURN_TRUE;
    if (PyList_CheckExact(recorded.get())) {
        if (PyList_Append(recorded.get(), call) < 0)
            return nullptr;
    } else if (!tw::call_method(recorded.get(), TW_STR("append"), call)) {
        return nullptr;
    }
    if (PyObject_SetAttr(self, TW_STR("last_call"), call) < 0)
        return nullptr;
    Py_RETURN_FALSE;
}

// ------------------------------------------------------- per-thread maps

// threading.get_ident(), `threading` read from the module's globals; new
// reference.
Ref thread_ident(PyObject *module)
{
    Ref get_ident =
        tw::global_attr(module, TW_STR("threading"), TW_STR("get_ident"));
    if (!get_ident)
        return nullptr;
    return Ref::steal(PyObject_CallNoArgs(get_ident.get()));
}

// Trindle.<attr>[threading.get_ident()] = value, in the statement's order of
// evaluation. New reference to None, or NULL.
PyObject *store_for_thread(PyObject *module, PyObject *attr, PyObject *value)
{
    Ref map = tw::global_attr(module, TW_STR("Trindle"), attr);
    if (!map)
        return nullptr;
    Ref tid = thread_ident(module);
    if (!tid)
        return nullptr;
    const int r = PyDict_CheckExact(map.get())
                      ? PyDict_SetItem(map.get(), tid.get(), value)
                      : PyObject_SetItem(map.get(), tid.get(), value);
    if (r < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *trindle_set_current_running_function(PyObject *module,
                                               PyObject *const *args,
                                               Py_ssize_t nargs,
                                               PyObject *kwnames)
{
    static const Param params[] = {{"func"}};
    PyObject *a[1];
    if (tw::parse("Trindle.set_current_running_function", params, args, nargs,
                  kwnames, a) < 0)
        return nullptr;
    return store_for_thread(module, TW_STR("thread_id_to_current_call"), a[0]);
}

PyObject *trindle_set_last_recording(PyObject *module, PyObject *const *args,
                                     Py_ssize_t nargs, PyObject *kwnames)
{
    static const Param params[] = {{"func"}};
    PyObject *a[1];
    if (tw::parse("Trindle.set_last_recording", params, args, nargs, kwnames,
                  a) < 0)
        return nullptr;
    return store_for_thread(module, TW_STR("tid_to_external_call"), a[0]);
}

PyObject *trindle_get_last_recording(PyObject *module, PyObject *const *args,
                                     Py_ssize_t nargs, PyObject *kwnames)
{
    // No parameters: the interpreter's messages for a zero-argument
    // function, a stray keyword reported before surplus positionals.
    const char *fname = tw::detail::display_name("Trindle.get_last_recording");
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError,
                     "%s() got an unexpected keyword argument '%S'", fname,
                     PyTuple_GET_ITEM(kwnames, 0));
        return nullptr;
    }
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError,
                     "%s() takes 0 positional arguments but %zd %s given",
                     fname, nargs, nargs == 1 ? "was" : "were");
        return nullptr;
    }
    (void)args;
    Ref map = tw::global_attr(module, TW_STR("Trindle"),
                              TW_STR("tid_to_external_call"));
    if (!map)
        return nullptr;
    if (PyDict_CheckExact(map.get())) {
        Ref tid = thread_ident(module);
        if (!tid)
            return nullptr;
        PyObject *v = PyDict_GetItemWithError(map.get(), tid.get());
        if (v == nullptr && PyErr_Occurred())
            return nullptr;
        return Py_NewRef(v != nullptr ? v : Py_None);
    }
    // `map.get` is looked up before its argument is evaluated, as in Python.
    Ref get = tw::getattr(map.get(), TW_STR("get"));
    if (!get)
        return nullptr;
    Ref tid = thread_ident(module);
    if (!tid)
        return nullptr;
    return tw::call(get.get(), tid.get(), Py_None).release();
}

// ------------------------------------------------------------ methods

PyMethodDef tracker_init_def = {
    "__init__", TW_FASTCALL(tracker_init), TW_FASTCALL_FLAGS,
    "__init__(self, func_full_name)\n--\n\n"
    ":param func_full_name: full name of the recorded function\n"
    ":type func_full_name: str"};

PyMethodDef tracker_add_def = {
    "add_external_module_call", TW_FASTCALL(tracker_add_external_module_call),
    TW_FASTCALL_FLAGS,
    "add_external_module_call(self, function_call)\n--\n\n"
    "Adds an external call made by the tracked function, unless the\n"
    "tracker already holds CollectorSettings.external_calls_max of them.\n\n"
    ":param function_call: the external call record\n"
    ":type function_call: ExternalFunctionMetadata\n"
    ":return: True when the limit was already reached (nothing added),\n"
    "    False when the call was added\n"
    ":rtype: bool"};

PyMethodDef set_current_def = {
    "set_current_running_function",
    TW_FASTCALL(trindle_set_current_running_function), TW_FASTCALL_FLAGS,
    "set_current_running_function(func)\n--\n\n"
    "Makes `func` the current tracker of the calling thread.\n\n"
    ":param func: the tracker, or None to suspend recording on the thread\n"
    ":type func: TrindleTracker"};

PyMethodDef get_last_def = {
    "get_last_recording", TW_FASTCALL(trindle_get_last_recording),
    TW_FASTCALL_FLAGS,
    "get_last_recording()\n--\n\n"
    "The tracker last stored by set_last_recording on the calling thread.\n\n"
    ":return: that tracker, or None if the thread never stored one\n"
    ":rtype: TrindleTracker"};

PyMethodDef set_last_def = {
    "set_last_recording", TW_FASTCALL(trindle_set_last_recording),
    TW_FASTCALL_FLAGS,
    "set_last_recording(func)\n--\n\n"
    "Stores `func` as the last recording of the calling thread.\n\n"
    ":param func: the tracker\n"
    ":type func: TrindleTracker"};

// ------------------------------------------------------------- module

int exec_trindle(PyObject *m)
{
    if (tw::import_module(m, "threading") < 0)
        return -1;
    if (tw::import_from(m, "tarnwick_collector.data_collection.pellory",
                        "ExternalFunctionMetadata") < 0)
        return -1;
    if (tw::import_from(m, "tarnwick_collector.configs.collector_settings",
                        "CollectorSettings") < 0)
        return -1;

    tw::ClassBuilder tracker(
        m, "TrindleTracker",
        "\n    This class tracks a recorded function's run, recording all "
        "the external\n    calls made by it.\n    ");
    tracker.method(&tracker_init_def).method(&tracker_add_def);
    if (!tracker.build(nullptr, nullptr, "TrindleTracker"))
        return -1;

    tw::ClassBuilder trindle(
        m, "Trindle",
        "\n    This class keeps, for every thread, the tracker of the "
        "recorded call that\n    is current on it, keyed by "
        "threading.get_ident(). It assumes user code runs\n    "
        "synchronously on its thread: under an event loop the coroutines "
        "of one\n    thread share a single entry, so recording them does "
        "not work well.\n    ");
    trindle.attr_steal("thread_id_to_current_call", PyDict_New())
        .attr_steal("tid_to_external_call", PyDict_New())
        .attr("current_running_function", Py_None)
        .staticmethod(&set_current_def)
        .staticmethod(&get_last_def)
        .staticmethod(&set_last_def);
    if (!trindle.build(nullptr, nullptr, "Trindle"))
        return -1;
    return 0;
}

}  // namespace

TW_MODULE(trindle, "Call-flow tracking: the current recorded call per thread.",
          nullptr, exec_trindle)
