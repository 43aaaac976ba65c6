// marrowick: the call-recording core.
//
// The native tracer calls the entry points of this module on the thread
// where things happen: at the start of each call of a project function
// chosen for recording (record_user_function_call), at its end with the
// callee's exception still pending (record_user_function_return_value and
// its async twins), before and after each call such a function makes out of
// the project (record_external_call, record_external_return_value), and on
// each global-name and attribute load it executes (load_global_hook,
// load_attr_hook).
//
// The module is built from several files, one concern each, sharing
// marrowick_internal.hpp: marrowick_support.cpp (helpers, the thread's
// tracker, metrics, size limits), marrowick_external.cpp (external calls),
// marrowick_user.cpp (start and end of user calls), marrowick_hooks.cpp
// (name loads), marrowick_redact.cpp (redaction), and this file (the
// Python-level functions, their definitions and the module body).
#include "marrowick_internal.hpp"

namespace tw_marrowick {
namespace {

// ------------------------------------------------- Python-level functions

PyObject *py_get_module_location(TW_FASTCALL_ARGS(m))
{
    static const tw::Param params[] = {{"module_name"}};
    PyObject *a[1];
    if (tw::parse("get_module_location", params, args, nargs, kwnames, a) < 0)
        return nullptr;
    return get_module_location_impl(m, a[0]).release();
}

PyObject *py_is_size_too_big(TW_FASTCALL_ARGS(m))
{
    static const tw::Param params[] = {{"obj"}};
    PyObject *a[1];
    if (tw::parse("is_size_too_big", params, args, nargs, kwnames, a) < 0)
        return nullptr;
    return is_size_too_big_impl(m, a[0]).release();
}

PyObject *py_create_size_too_big_metric(TW_FASTCALL_ARGS(m))
{
    static const tw::Param params[] = {
        {"function_full_name"}, {"name"}, {"failure_place"}};
    PyObject *a[3];
    if (tw::parse("create_size_too_big_metric", params, args, nargs, kwnames,
                  a) < 0)
        return nullptr;
    return create_size_too_big_metric_impl(m, a[0], a[1], a[2]).release();
}

PyObject *py_should_skip_external_function(TW_FASTCALL_ARGS(m))
{
    static const tw::Param params[] = {
        {"full_name"},
        {"module_name"},
        {"did_check_function_file_in_project_files"}};
    PyObject *a[3];
    if (tw::parse("should_skip_external_function", params, args, nargs,
                  kwnames, a) < 0)
        return nullptr;
    return should_skip_external_function_impl(m, a[0], a[1], a[2]).release();
}

PyObject *py_record_external_call(TW_FASTCALL_ARGS(m))
{
    static const tw::Param params[] = {
        {"call"}, tw::opt("did_check_function_file_in_project_files")};
    PyObject *a[2];
    if (tw::parse("record_external_call", params, args, nargs, kwnames, a) < 0)
        return nullptr;
    if (a[1] != nullptr)
        return record_external_call_impl(m, a[0], a[1]).release();
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero)
        return nullptr;
    return record_external_call_impl(m, a[0], zero.get()).release();
}

PyObject *py_get_function_call_object(TW_FASTCALL_ARGS(m))
{
    static const tw::Param params[] = {{"args"}, {"kwargs"}};
    PyObject *a[2];
    if (tw::parse("get_function_call_object", params, args, nargs, kwnames,
                  a) < 0)
        return nullptr;
    return get_function_call_object_impl(m, a[0], a[1]).release();
}

// record_user_function_call(*args, **kwargs): the tuple and dict form, so
// the called object and the arguments arrive as one tuple and the keywords
// as a new dict, as for a Python function with this signature.
PyObject *py_record_user_function_call(PyObject *m, PyObject *args,
                                       PyObject *kwargs)
{
    Ref kw;
    if (kwargs != nullptr) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_SetString(PyExc_TypeError,
                                "record_user_function_call() keywords must "
                                "be strings");
                return nullptr;
            }
        }
        kw = Ref::steal(PyDict_Copy(kwargs));
    } else {
        kw = Ref::steal(PyDict_New());
    }
    if (!kw)
        return nullptr;
    return record_user_function_call_impl(m, args, kw.get()).release();
}

PyObject *py_add_recorded_functions_to_caller_tracker(TW_FASTCALL_ARGS(m))
{
    static const tw::Param params[] = {{"flow_tracker"}};
    PyObject *a[1];
    if (tw::parse("add_recorded_functions_to_caller_tracker", params, args,
                  nargs, kwnames, a) < 0)
        return nullptr;
    return add_recorded_functions_to_caller_tracker_impl(m, a[0]).release();
}

PyObject *py_set_function_calls_count(TW_FASTCALL_ARGS(m))
{
    (void)m;
    static const tw::Param params[] = {{"flow_tracker"}, {"count"}};
    PyObject *a[2];
    if (tw::parse("set_function_calls_count", params, args, nargs, kwnames,
                  a) < 0)
        return nullptr;
    int t = truth(a[0]);
    if (t < 0)
        return nullptr;
    if (t && tw::setattr(a[0], TW_STR("function_calls_count"), a[1]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *py_get_function_calls_count(TW_FASTCALL_ARGS(m))
{
    (void)m;
    static const tw::Param params[] = {{"flow_tracker"}};
    PyObject *a[1];
    if (tw::parse("get_function_calls_count", params, args, nargs, kwnames,
                  a) < 0)
        return nullptr;
    int t = truth(a[0]);
    if (t < 0)
        return nullptr;
    if (t)
        return tw::getattr(a[0], TW_STR("function_calls_count")).release();
    return PyLong_FromLong(0);
}

PyObject *py_send_function_call_to_handler(TW_FASTCALL_ARGS(m))
{
    static const tw::Param params[] = {{"function_under_test"}};
    PyObject *a[1];
    if (tw::parse("send_function_call_to_handler", params, args, nargs,
                  kwnames, a) < 0)
        return nullptr;
    return send_function_call_to_handler_impl(m, a[0]).release();
}

PyObject *py_filter_modules_and_function_from_globals(TW_FASTCALL_ARGS(m))
{
    static const tw::Param params[] = {{"function_globals"},
                                       {"func_full_name"}};
    PyObject *a[2];
    if (tw::parse("filter_modules_and_function_from_globals", params, args,
                  nargs, kwnames, a) < 0)
        return nullptr;
    return filter_modules_and_function_from_globals_impl(m, a[0], a[1])
        .release();
}

// The end-of-call entries are called with the callee's exception pending:
// it is taken out of the thread state before anything else runs.

PyObject *py_record_user_function_return_value(TW_FASTCALL_ARGS(m))
{
    tw::SavedError pending;
    pending.fetch();
    static const tw::Param params[] = {
        {"ret_val"}, {"function_under_test"}, tw::opt("cur_exc")};
    PyObject *a[3];
    if (tw::parse("record_user_function_return_value", params, args, nargs,
                  kwnames, a) < 0)
        return nullptr;
    return record_user_function_return_value_impl(m, a[0], a[1], a[2], pending)
        .release();
}

}  // namespace

// Forwards to the module function `record_user_function_return_value`.
Ref forward_user_return(PyObject *m, PyObject *ret_val, PyObject *record,
                        PyObject *cur_exc, tw::SavedError &pending)
{
    Ref f = G("record_user_function_return_value");
    if (!f)
        return nullptr;
    if (f.get() == state(m)->fn[F_record_user_function_return_value])
        return record_user_function_return_value_impl(m, ret_val, record,
                                                      cur_exc, pending);
    pending.restore();
    return tw::call(f.get(), ret_val, record, cur_exc ? cur_exc : Py_None);
}

namespace {

PyObject *py_record_user_async_function_return_value(TW_FASTCALL_ARGS(m))
{
    tw::SavedError pending;
    pending.fetch();
    static const tw::Param params[] = {
        {"ret_val"}, {"function_under_test"}, tw::opt("cur_exc")};
    PyObject *a[3];
    if (tw::parse("record_user_async_function_return_value", params, args,
                  nargs, kwnames, a) < 0)
        return nullptr;
    return forward_user_return(m, a[0], a[1], a[2], pending).release();
}

PyObject *py_record_external_return_value(TW_FASTCALL_ARGS(m))
{
    tw::SavedError pending;
    pending.fetch();
    static const tw::Param params[] = {
        {"return_value"}, {"func_obj"}, tw::opt("cur_exc")};
    PyObject *a[3];
    if (tw::parse("record_external_return_value", params, args, nargs, kwnames,
                  a) < 0)
        return nullptr;
    return record_external_return_value_impl(m, a[0], a[1], a[2], pending)
        .release();
}

// Forwards to the module function `record_external_return_value`.
Ref forward_external_return(PyObject *m, PyObject *return_value,
                            PyObject *func_obj, PyObject *cur_exc,
                            tw::SavedError &pending)
{
    Ref f = G("record_external_return_value");
    if (!f)
        return nullptr;
    if (f.get() == state(m)->fn[F_record_external_return_value])
        return record_external_return_value_impl(m, return_value, func_obj,
                                                 cur_exc, pending);
    pending.restore();
    return tw::call(f.get(), return_value, func_obj,
                    cur_exc ? cur_exc : Py_None);
}

PyObject *py_record_async_external_return_value(TW_FASTCALL_ARGS(m))
{
    tw::SavedError pending;
    pending.fetch();
    static const tw::Param params[] = {
        {"return_value"}, {"func_obj"}, tw::opt("cur_exc")};
    PyObject *a[3];
    if (tw::parse("record_async_external_return_value", params, args, nargs,
                  kwnames, a) < 0)
        return nullptr;
    return forward_external_return(m, a[0], a[1], a[2], pending).release();
}

PyObject *py_record_return_value_async(TW_FASTCALL_ARGS(m))
{
    tw::SavedError pending;
    pending.fetch();
    static const tw::Param params[] = {{"return_value"}, {"func_obj"}};
    PyObject *a[2];
    if (tw::parse("record_return_value_async", params, args, nargs, kwnames,
                  a) < 0)
        return nullptr;
    Ref exc = take_exc(m, pending);
    if (!exc)
        return nullptr;
    tw::SavedError nothing;  // the exception has been taken
    Ref external_cls = G("ExternalFunctionCall");
    if (!external_cls)
        return nullptr;
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(a[1]));
    if (type == external_cls.get()) {
        Ref f = G("record_async_external_return_value");
        if (!f)
            return nullptr;
        if (f.get() == state(m)->fn[F_record_async_external_return_value])
            return forward_external_return(m, a[0], a[1], exc.get(), nothing)
                .release();
        return tw::call(f.get(), a[0], a[1], exc.get()).release();
    }
    Ref user_cls = G("UserFunctionCall");
    if (!user_cls)
        return nullptr;
    if (type == user_cls.get()) {
        Ref f = G("record_user_async_function_return_value");
        if (!f)
            return nullptr;
        if (f.get() == state(m)->fn[F_record_user_async_function_return_value])
            return forward_user_return(m, a[0], a[1], exc.get(), nothing)
                .release();
        return tw::call(f.get(), a[0], a[1], exc.get()).release();
    }
    Py_RETURN_NONE;
}

PyObject *py_get_exc_value(TW_FASTCALL_ARGS(m))
{
    (void)m;
    (void)args;
    tw::SavedError pending;
    pending.fetch();
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0) {
        PyErr_Format(PyExc_TypeError,
                     "get_exc_value() got an unexpected keyword argument '%S'",
                     PyTuple_GET_ITEM(kwnames, 0));
        return nullptr;
    }
    if (nargs != 0) {
        PyErr_Format(PyExc_TypeError,
                     "get_exc_value() takes 0 positional arguments but %zd %s "
                     "given",
                     nargs, nargs == 1 ? "was" : "were");
        return nullptr;
    }
    return pending.take_value().release();
}

// ------------------------------------------------------------ definitions

PyMethodDef g_defs[F_COUNT] = {
    {"get_module_location", TW_FASTCALL(py_get_module_location),
     TW_FASTCALL_FLAGS,
     "get_module_location($module, /, module_name)\n--\n\n"
     "Return the file location of a module.\n\n"
     ":param module_name: dotted name of the module.\n"
     ":type module_name: str.\n"
     ":return: the origin of the module's import spec, or None.\n"
     ":rtype: Optional[str]."},
    {"is_size_too_big", TW_FASTCALL(py_is_size_too_big), TW_FASTCALL_FLAGS,
     "is_size_too_big($module, /, obj)\n--\n\n"
     "Tell whether a value is too large to record, so that recording it\n"
     "does not exhaust the user's process.\n\n"
     ":param obj: the value.\n"
     ":type obj: Any.\n"
     ":return: True when the value is too large.\n"
     ":rtype: bool."},
    {"create_size_too_big_metric", TW_FASTCALL(py_create_size_too_big_metric),
     TW_FASTCALL_FLAGS,
     "create_size_too_big_metric($module, /, function_full_name, name,\n"
     "                           failure_place)\n--\n\n"
     "Send a limit-failure metric for a value too large to record.\n\n"
     ":param function_full_name: full name of the recorded function.\n"
     ":type function_full_name: str.\n"
     ":param name: name of the oversized value.\n"
     ":type name: str.\n"
     ":param failure_place: part of the recording that held it.\n"
     ":type failure_place: str.\n"
     ":rtype: None."},
    {"should_skip_external_function",
     TW_FASTCALL(py_should_skip_external_function), TW_FASTCALL_FLAGS,
     "should_skip_external_function($module, /, full_name, module_name,\n"
     "                              did_check_function_file_in_project_files)"
     "\n--\n\n"
     "Tell whether a call out of a recorded function is left unrecorded:\n"
     "stateless callees and callees inside the project are skipped.\n\n"
     ":param full_name: full name of the callee.\n"
     ":type full_name: str.\n"
     ":param module_name: module of the callee.\n"
     ":type module_name: str.\n"
     ":param did_check_function_file_in_project_files: the tracer already\n"
     "    found the callee's file outside the project.\n"
     ":return: True when the call is not recorded.\n"
     ":rtype: bool."},
    {"record_external_call", TW_FASTCALL(py_record_external_call),
     TW_FASTCALL_FLAGS,
     "record_external_call($module, /, call,\n"
     "                     did_check_function_file_in_project_files=0)\n--\n\n"
     "Called before a recorded function calls out of the project: record\n"
     "the call on the current tracker, up to the external-call limit.\n\n"
     ":param call: the callable about to be called.\n"
     ":type call: Callable.\n"
     ":param did_check_function_file_in_project_files: the tracer already\n"
     "    found the callee's file outside the project.\n"
     ":return: the external call record, or None.\n"
     ":rtype: Optional[ExternalFunctionCall]."},
    {"get_function_call_object", TW_FASTCALL(py_get_function_call_object),
     TW_FASTCALL_FLAGS,
     "get_function_call_object($module, /, args, kwargs)\n--\n\n"
     "Build the record of one user call, or None when it cannot or must\n"
     "not be recorded.\n\n"
     ":param args: the called object followed by the positional arguments.\n"
     ":type args: tuple.\n"
     ":param kwargs: the keyword arguments.\n"
     ":type kwargs: dict.\n"
     ":return: the record, or None.\n"
     ":rtype: Optional[UserFunctionCall]."},
    {"record_user_function_call",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)(void)>(py_record_user_function_call)),
     METH_VARARGS | METH_KEYWORDS,
     "record_user_function_call($module, /, *args, **kwargs)\n--\n\n"
     "Called at the start of a call of a user function chosen for\n"
     "recording: report the try, build the record and make a new tracker\n"
     "current for the thread.\n\n"
     ":param args: the called object followed by the positional arguments.\n"
     ":param kwargs: the keyword arguments of the call.\n"
     ":return: the record of the call, or None when it is not recorded.\n"
     ":rtype: Optional[UserFunctionCall]."},
    {"add_recorded_functions_to_caller_tracker",
     TW_FASTCALL(py_add_recorded_functions_to_caller_tracker),
     TW_FASTCALL_FLAGS,
     "add_recorded_functions_to_caller_tracker($module, /, flow_tracker)\n"
     "--\n\n"
     "Merge a finished call's globals, external calls and unknown modules\n"
     "into its caller's tracker.\n\n"
     ":param flow_tracker: tracker of the call that ended.\n"
     ":type flow_tracker: TrindleTracker.\n"
     ":return: True when the caller would exceed the external-call limit.\n"
     ":rtype: bool."},
    {"set_function_calls_count", TW_FASTCALL(py_set_function_calls_count),
     TW_FASTCALL_FLAGS,
     "set_function_calls_count($module, /, flow_tracker, count)\n--\n\n"
     "Set the calls count of a flow tracker, if there is one.\n\n"
     ":param flow_tracker: the tracker, or a false value.\n"
     ":param count: the count.\n"
     ":type count: int.\n"
     ":rtype: None."},
    {"get_function_calls_count", TW_FASTCALL(py_get_function_calls_count),
     TW_FASTCALL_FLAGS,
     "get_function_calls_count($module, /, flow_tracker)\n--\n\n"
     "Return the calls count of a flow tracker, 0 without one.\n\n"
     ":param flow_tracker: the tracker, or a false value.\n"
     ":return: the count.\n"
     ":rtype: int."},
    {"send_function_call_to_handler",
     TW_FASTCALL(py_send_function_call_to_handler), TW_FASTCALL_FLAGS,
     "send_function_call_to_handler($module, /, function_under_test)\n--\n\n"
     "Serialize a finished record and send it on the data channel,\n"
     "followed by a success metric.\n\n"
     ":param function_under_test: the finished record.\n"
     ":type function_under_test: UserFunctionCall.\n"
     ":rtype: None."},
    {"filter_modules_and_function_from_globals",
     TW_FASTCALL(py_filter_modules_and_function_from_globals),
     TW_FASTCALL_FLAGS,
     "filter_modules_and_function_from_globals($module, /, function_globals,\n"
     "                                         func_full_name)\n--\n\n"
     "Choose the used globals that go into a record: modules only when\n"
     "attributes of them were used, other values unless too large.\n\n"
     ":param function_globals: global name to the object loaded.\n"
     ":type function_globals: dict.\n"
     ":param func_full_name: full name of the recorded function.\n"
     ":type func_full_name: str.\n"
     ":return: the globals to record, or None when one is too large.\n"
     ":rtype: Optional[dict]."},
    {"record_user_function_return_value",
     TW_FASTCALL(py_record_user_function_return_value), TW_FASTCALL_FLAGS,
     "record_user_function_return_value($module, /, ret_val,\n"
     "                                  function_under_test, cur_exc=None)\n"
     "--\n\n"
     "Called when a recorded call ends, with its exception still pending:\n"
     "complete the record, send it, and make the caller's tracker current.\n\n"
     ":param ret_val: the value the call returned.\n"
     ":type ret_val: Any.\n"
     ":param function_under_test: the record of the call, or None.\n"
     ":type function_under_test: UserFunctionCall.\n"
     ":param cur_exc: the exception to record; None takes the pending one.\n"
     ":rtype: None."},
    {"record_user_async_function_return_value",
     TW_FASTCALL(py_record_user_async_function_return_value),
     TW_FASTCALL_FLAGS,
     "record_user_async_function_return_value($module, /, ret_val,\n"
     "                                        function_under_test,\n"
     "                                        cur_exc=None)\n--\n\n"
     "A placeholder for future asynchronous recording: records the end of\n"
     "a user call as record_user_function_return_value does.\n\n"
     ":param ret_val: the value the call returned.\n"
     ":param function_under_test: the record of the call.\n"
     ":param cur_exc: the exception to record; None takes the pending one.\n"
     ":rtype: None."},
    {"record_external_return_value",
     TW_FASTCALL(py_record_external_return_value), TW_FASTCALL_FLAGS,
     "record_external_return_value($module, /, return_value, func_obj,\n"
     "                             cur_exc=None)\n--\n\n"
     "Called after a recorded external call ended, with its exception\n"
     "still pending: store the exception and the return value.\n\n"
     ":param return_value: the callee's result.\n"
     ":type return_value: Any.\n"
     ":param func_obj: the external call record.\n"
     ":type func_obj: ExternalFunctionCall.\n"
     ":param cur_exc: the exception to record; None takes the pending one.\n"
     ":rtype: None."},
    {"record_async_external_return_value",
     TW_FASTCALL(py_record_async_external_return_value), TW_FASTCALL_FLAGS,
     "record_async_external_return_value($module, /, return_value, func_obj,\n"
     "                                   cur_exc=None)\n--\n\n"
     "A placeholder for a future async-specific treatment: records the end\n"
     "of an external call as record_external_return_value does.\n\n"
     ":param return_value: the callee's result.\n"
     ":param func_obj: the external call record.\n"
     ":param cur_exc: the exception to record; None takes the pending one.\n"
     ":rtype: None."},
    {"record_return_value_async", TW_FASTCALL(py_record_return_value_async),
     TW_FASTCALL_FLAGS,
     "record_return_value_async($module, /, return_value, func_obj)\n--\n\n"
     "End entry for either kind of record: takes the pending exception and\n"
     "dispatches on the exact type of the record.\n\n"
     ":param return_value: the value returned.\n"
     ":param func_obj: a UserFunctionCall or an ExternalFunctionCall.\n"
     ":rtype: None."},
    {"get_exc_value", TW_FASTCALL(py_get_exc_value), TW_FASTCALL_FLAGS,
     "get_exc_value($module, /)\n--\n\n"
     "Take the exception being raised out of the thread state and clear it.\n"
     "\n"
     ":return: the exception instance, its type when it is not an\n"
     "    Exception instance, or the class of None when none is pending.\n"
     ":rtype: Union[type, BaseException]."},
    {"load_attr_hook", TW_FASTCALL(py_load_attr_hook), TW_FASTCALL_FLAGS,
     "load_attr_hook($module, /, obj, attr, result)\n--\n\n"
     "Called when a load-attribute operation is executed: note the\n"
     "attribute names read from followed objects.\n\n"
     ":param obj: the object the attribute was read from.\n"
     ":param attr: the attribute's name.\n"
     ":type attr: str.\n"
     ":param result: the value read.\n"
     ":rtype: None."},
    {"load_global_hook", TW_FASTCALL(py_load_global_hook), TW_FASTCALL_FLAGS,
     "load_global_hook($module, /, global_obj, name)\n--\n\n"
     "Called when a load-global operation is executed: note the global on\n"
     "the current tracker and start following it.\n\n"
     ":param global_obj: the object loaded.\n"
     ":param name: the global name.\n"
     ":type name: str.\n"
     ":rtype: None."},
    {"record_generator_yield", TW_FASTCALL(py_record_generator_yield),
     TW_FASTCALL_FLAGS,
     "record_generator_yield($module, /, value, function_under_test,\n"
     "                       delegated=None)\n--\n\n"
     "Called when a recorded generator yields: record the value (up to\n"
     "CollectorSettings.generator_yields_max), or count a `yield from`\n"
     "delegation, and make the tracker that resumed it current again.\n\n"
     ":param value: the value yielded.\n"
     ":param function_under_test: the generator call's record.\n"
     ":param delegated: true for a `yield from`, whose values pass unseen.\n"
     ":return: the generator's tracker, to hand back when it resumes.\n"
     ":rtype: Optional[TrindleTracker]."},
    {"record_generator_resume", TW_FASTCALL(py_record_generator_resume),
     TW_FASTCALL_FLAGS,
     "record_generator_resume($module, /, function_under_test, tracker,\n"
     "                        sent=None, thrown=None)\n--\n\n"
     "Called when a recorded generator resumes: its tracker becomes the\n"
     "thread's current one, over the tracker current now.\n\n"
     ":param function_under_test: the generator call's record.\n"
     ":param tracker: what record_generator_yield returned.\n"
     ":param sent: the value sent in, if any.\n"
     ":param thrown: the exception thrown in, if any.\n"
     ":rtype: None."},
    {"record_generator_return_value",
     TW_FASTCALL(py_record_generator_return_value), TW_FASTCALL_FLAGS,
     "record_generator_return_value($module, /, ret_val,\n"
     "                              function_under_test, ending,\n"
     "                              cur_exc=None)\n--\n\n"
     "Called when a recorded generator ends, its exception pending if it\n"
     "raised: note how it ended, then end the call as\n"
     "record_user_function_return_value does.\n\n"
     ":param ret_val: the value it returned.\n"
     ":param function_under_test: the generator call's record.\n"
     ":param ending: 'returned', 'raised', 'closed' or 'abandoned'.\n"
     ":type ending: str.\n"
     ":param cur_exc: the exception to record (default: the pending one).\n"
     ":rtype: None."},
};

// ------------------------------------------------------------ module body

int exec_module(PyObject *m)
{
    State *st = state(m);

    // Imports.
    if (tw::import_module(m, "threading") < 0 ||
        tw::import_module(m, "types") < 0)
        return -1;
    static const char *typing_names[] = {"Callable", "Any",   "Tuple",
                                         "Dict",     "Union", "Optional"};
    for (const char *name : typing_names)
        if (tw::import_from(m, "typing", name) < 0)
            return -1;
    if (tw::import_from(m, "pympler", "asizeof") < 0)
        return -1;
    if (tw::import_from(m, "tarnwick_collector.exceptions",
                        "ProblematicPickleException") < 0)
        return -1;
    static const char *metric_names[] = {
        "Unpicklable",    "UnpicklableReasons", "CollectorFailure",
        "FailureReasons", "CollectionTry",      "CollectionSuccess",
        "LimitFailure",   "LimitReasons",       "RecordingEnded"};
    for (const char *name : metric_names)
        if (tw::import_from(m, "tarnwick_collector.data_collection.metrics",
                            name) < 0)
            return -1;
    if (tw::import_from(m, "tarnwick_collector.configs.collector_settings",
                        "CollectorSettings") < 0 ||
        tw::import_from(m, "tarnwick_collector.data_collection.trindle",
                        "Trindle") < 0 ||
        tw::import_from(m, "tarnwick_collector.data_collection.trindle",
                        "TrindleTracker") < 0)
        return -1;
    static const char *record_names[] = {"ExternalFunctionCall",
                                         "UserFunctionCall", "FunctionCall"};
    for (const char *name : record_names)
        if (tw::import_from(m, "tarnwick_collector.data_collection.pellory",
                            name) < 0)
            return -1;
    if (tw::import_from(m, "tarnwick_collector.data_collection.ostrelle",
                        "Ostrelle") < 0 ||
        tw::import_from(
            m, "tarnwick_collector.data_collection.used_attributes_collector",
            "used_attributes") < 0 ||
        tw::import_from(m, "tarnwick_common.consts.should_mock",
                        "ShouldMockConsts") < 0)
        return -1;
    {
        // The collector's helpers, held here without a module-level name.
        Ref collector = Ref::steal(PyImport_ImportModule(
            "tarnwick_collector.data_collection.used_attributes_collector"));
        if (!collector)
            return -1;
        Ref used_names = tw::getattr(collector.get(), TW_STR("UsedNames"));
        Ref followed = tw::getattr(collector.get(), TW_STR("followed_types"));
        if (!used_names || !followed || !PyDict_CheckExact(followed.get()))
            return -1;
        Py_XSETREF(g_used_names, used_names.release());
        Py_XSETREF(g_followed_types, followed.release());
        Ref enum_mod = Ref::steal(PyImport_ImportModule("enum"));
        Ref enum_meta = enum_mod
                            ? tw::getattr(enum_mod.get(), TW_STR("EnumMeta"))
                            : nullptr;
        if (!enum_meta)
            return -1;
        Py_XSETREF(g_enum_meta, enum_meta.release());
    }

    // Constants and state.
    Ref consts = G("ShouldMockConsts");
    if (!consts ||
        tw::set_global(m, "STATELESS_EXTERNAL_FULL_NAMES",
                       tw::getattr(consts.get(),
                                   TW_STR("STATELESS_EXTERNAL_FULL_NAMES"))) <
            0)
        return -1;
    if (tw::set_global(m, "CACHED_NONE_EXTERNAL_MODULES",
                       Ref::steal(PySet_New(nullptr))) < 0 ||
        tw::set_global(m, "TYPE_ERROR_TYPE_INDEX",
                       Ref::steal(PyLong_FromLong(1))) < 0 ||
        tw::set_global(m, "PROBLEMATIC_PICKLE_TYPE_INDEX",
                       Ref::steal(PyLong_FromLong(2))) < 0 ||
        tw::set_global(m, "FUNCTION_META_DATA_INDEX",
                       Ref::steal(PyLong_FromLong(0))) < 0 ||
        tw::set_global(m, "IS_FUNCTION_FOR_RECORDING_INDEX",
                       Ref::steal(PyLong_FromLong(1))) < 0 ||
        tw::set_global(m, "MAX_STRING_SIZE",
                       Ref::steal(PyFloat_FromDouble(805306368.0))) < 0 ||
        tw::set_global(m, "__SELF__",
                       Ref::steal(PyUnicode_FromString("__self__"))) < 0 ||
        tw::set_global(m, "IDS_TO_FOLLOW", Ref::steal(PySet_New(nullptr))) < 0)
        return -1;
    {
        Ref init = tw::getattr(reinterpret_cast<PyObject *>(&PyType_Type),
                               TW_STR("__init__"));
        if (!init || tw::set_global(m, "WRAPPER_DESCRIPTOR",
                                    Ref::borrow(reinterpret_cast<PyObject *>(
                                        Py_TYPE(init.get())))) < 0)
            return -1;
    }
    if (tw::set_global(m, "QUALNAME_STR",
                       Ref::steal(PyUnicode_FromString("__qualname__"))) < 0 ||
        tw::set_global(m, "FUNC_STR",
                       Ref::steal(PyUnicode_FromString("__func__"))) < 0 ||
        tw::set_global(m, "FUNC_NAME",
                       Ref::steal(PyUnicode_FromString("__name__"))) < 0 ||
        tw::set_global(m, "SELF_CONST",
                       Ref::steal(PyUnicode_FromString("__self__"))) < 0)
        return -1;
    {
        // type(type.__dict__["mro"])
        Ref ns = tw::getattr(reinterpret_cast<PyObject *>(&PyType_Type),
                             TW_STR("__dict__"));
        Ref mro = ns ? Ref::steal(PyObject_GetItem(ns.get(), TW_STR("mro")))
                     : nullptr;
        if (!mro || tw::set_global(m, "METHOD_DESCRIPTOR",
                                   Ref::borrow(reinterpret_cast<PyObject *>(
                                       Py_TYPE(mro.get())))) < 0)
            return -1;
    }
    {
        // The aliases, bound once.
        Ref trindle = G("Trindle");
        if (!trindle)
            return -1;
        Ref map =
            tw::getattr(trindle.get(), TW_STR("thread_id_to_current_call"));
        if (!map)
            return -1;
        Ref get = tw::getattr(map.get(), TW_STR("get"));
        if (!get || tw::set_global(m, "Trindle_thread_id_to_current_call_get",
                                   get.get()) < 0)
            return -1;
        if (PyDict_CheckExact(map.get())) {
            Py_XSETREF(st->tid_map, map.new_ref());
            Py_XSETREF(st->tid_get, get.new_ref());
        }
        if (tw::set_global(
                m, "Trindle_set_current_running_function",
                tw::getattr(trindle.get(),
                            TW_STR("set_current_running_function"))) < 0)
            return -1;
        Ref threading = G("threading");
        Ref ident = threading
                        ? tw::getattr(threading.get(), TW_STR("get_ident"))
                        : nullptr;
        if (!ident ||
            tw::set_global(m, "threading_get_ident", ident.get()) < 0)
            return -1;
        Ref thread_mod = Ref::steal(PyImport_ImportModule("_thread"));
        Ref real = thread_mod
                       ? tw::getattr(thread_mod.get(), TW_STR("get_ident"))
                       : nullptr;
        if (!real)
            return -1;
        if (real.get() == ident.get())
            Py_XSETREF(st->get_ident, ident.new_ref());
        Ref types = G("types");
        if (!types ||
            tw::set_global(m, "types_MethodType",
                           tw::getattr(types.get(), TW_STR("MethodType"))) <
                0 ||
            tw::set_global(m, "types_Module",
                           tw::getattr(types.get(), TW_STR("ModuleType"))) < 0)
            return -1;
    }
    if (tw::set_global(m, "BUILTINS",
                       Ref::steal(PyUnicode_FromString("builtins"))) < 0 ||
        tw::set_global(m, "reported_modules", Ref::steal(PySet_New(nullptr))) <
            0 ||
        tw::set_global(m, "FUNCTION_INDEX", Ref::steal(PyLong_FromLong(0))) <
            0)
        return -1;
    {
        Ref ostrelle = G("Ostrelle");
        if (!ostrelle ||
            tw::set_global(m, "EXTRACT_METADATA",
                           tw::getattr(ostrelle.get(),
                                       TW_STR("extract_function_metadata"))) <
                0)
            return -1;
    }
    if (tw::set_global(m, "BLACKLISTED_FUNCTIONS",
                       Ref::steal(PySet_New(nullptr))) < 0 ||
        tw::set_global(m, "LOST_CALLS", Ref::steal(PyDict_New())) < 0)
        return -1;
    {
        Ref az = G("asizeof");
        Ref fn = az ? tw::getattr(az.get(), TW_STR("asizeof")) : nullptr;
        if (!fn)
            return -1;
        Py_XSETREF(st->asizeof_fn, fn.new_ref());
    }

    // The functions, in order.
    for (int i = 0; i < F_COUNT; i++) {
        Ref f = tw::module_function(m, &g_defs[i]);
        if (!f || PyObject_SetAttrString(m, g_defs[i].ml_name, f.get()) < 0)
            return -1;
        Py_XSETREF(st->fn[i], f.release());
    }
    return 0;
}

int traverse_module(PyObject *m, visitproc visit, void *arg)
{
    State *st = state(m);
    if (st == nullptr)
        return 0;
#define TW_MARROWICK_VISIT(field) Py_VISIT(st->field);
    TW_MARROWICK_STATE(TW_MARROWICK_VISIT)
#undef TW_MARROWICK_VISIT
    for (PyObject *f : st->fn)
        Py_VISIT(f);
    return 0;
}

int clear_module(PyObject *m)
{
    State *st = state(m);
    if (st == nullptr)
        return 0;
#define TW_MARROWICK_CLEAR(field) Py_CLEAR(st->field);
    TW_MARROWICK_STATE(TW_MARROWICK_CLEAR)
#undef TW_MARROWICK_CLEAR
    for (PyObject *&f : st->fn)
        Py_CLEAR(f);
    return 0;
}

}  // namespace
}  // namespace tw_marrowick

TW_MODULE_STATE(marrowick,
                "The call-recording core: the entry points the native tracer "
                "calls around recorded calls, their external calls and their "
                "name loads.",
                nullptr, tw_marrowick::exec_module, tw_marrowick::State,
                tw_marrowick::traverse_module, tw_marrowick::clear_module)

// Calls `entry(*args)` the way the native tracer calls an end-of-call entry:
// with an exception pending in the thread state. `pending` is () for none,
// (type,) for a type without a value, or (type, value) (the value is left
// as given, not normalized). Returns the entry's result; an exception the
// entry left pending surfaces as the interpreter's SystemError. For checks
// through ctypes.
TW_EXPORT PyObject *tarnwick_marrowick_call_with_pending(PyObject *entry,
                                                         PyObject *args,
                                                         PyObject *pending)
{
    if (!PyTuple_Check(args) || !PyTuple_Check(pending) ||
        PyTuple_GET_SIZE(pending) > 2) {
        PyErr_SetString(PyExc_TypeError,
                        "expected an args tuple and a pending tuple of at "
                        "most two items");
        return nullptr;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(pending);
    if (n > 0) {
        PyObject *type = PyTuple_GET_ITEM(pending, 0);
        PyObject *value = n > 1 ? PyTuple_GET_ITEM(pending, 1) : nullptr;
        Py_INCREF(type);
        Py_XINCREF(value);
        PyErr_Restore(type, value, nullptr);
    }
    PyObject *result = PyObject_Call(entry, args, nullptr);
    if (result == nullptr || !PyErr_Occurred())
        return result;
    // The entry returned with an exception still pending: reported as the
    // interpreter reports it for a call through the vectorcall protocol.
    Py_DECREF(result);
    tw::SavedError left;
    left.fetch_normalized();
    PyErr_Format(PyExc_SystemError,
                 "%R returned a result with an exception set", entry);
    tw::SavedError raised;
    raised.fetch_normalized();
    if (raised.value() != nullptr && left.value() != nullptr) {
        PyException_SetContext(raised.value(), Py_NewRef(left.value()));
        PyException_SetCause(raised.value(), Py_NewRef(left.value()));
    }
    raised.restore();
    return nullptr;
}
