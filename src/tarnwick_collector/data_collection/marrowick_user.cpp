// marrowick's user calls: the record made at the start of a call of a
// project function chosen for recording (get_function_call_object,
// record_user_function_call), and at its end the recorded return value or
// exception, the hand-over of the call's tracker to its caller's, and the
// record sent to the handler (record_user_function_return_value,
// send_function_call_to_handler, add_recorded_functions_to_caller_tracker).
#include "marrowick_internal.hpp"
#include "marrowick_redact.hpp"

namespace tw_marrowick {

// ------------------------------------------------------- start of a user call

namespace {

// Separates the receiver of a bound method from the arguments, in the two
// ways of the entry. `args` is the entry's tuple (called object first).
// Sets *out_args (new reference) and replaces *function.
int split_receiver(PyObject *m, PyObject *args, Ref &function, Ref &out_args)
{
    Ref method_type = G("types_MethodType");
    if (!method_type)
        return -1;
    int is_method = PyObject_IsInstance(function.get(), method_type.get());
    if (is_method < 0)
        return -1;
    bool bound_to_instance = false;
    if (is_method) {
        Ref self_name = G("__SELF__");
        if (!self_name)
            return -1;
        Ref self =
            Ref::steal(PyObject_GetAttr(function.get(), self_name.get()));
        if (!self) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                return -1;
            PyErr_Clear();
            self = none_ref();
        }
        int is_class = PyObject_IsInstance(
            self.get(), reinterpret_cast<PyObject *>(&PyType_Type));
        if (is_class < 0)
            return -1;
        bound_to_instance = !is_class;
    }
    if (bound_to_instance) {
        Ref self = tw::getattr(function.get(), TW_STR("__self__"));
        if (!self)
            return -1;
        Ref head = tw::tuple(self.get());
        if (!head)
            return -1;
        Ref index = G("FUNCTION_INDEX");
        if (!index)
            return -1;
        Ref one = Ref::steal(PyLong_FromLong(1));
        if (!one)
            return -1;
        Ref start = Ref::steal(PyNumber_Add(index.get(), one.get()));
        if (!start)
            return -1;
        Ref slice = Ref::steal(PySlice_New(start.get(), nullptr, nullptr));
        if (!slice)
            return -1;
        Ref tail = Ref::steal(PyObject_GetItem(args, slice.get()));
        if (!tail)
            return -1;
        out_args = Ref::steal(PyNumber_Add(head.get(), tail.get()));
        if (!out_args)
            return -1;
        function = tw::getattr(function.get(), TW_STR("__func__"));
        return function ? 0 : -1;
    }
    if (PyTuple_CheckExact(args)) {
        out_args =
            Ref::steal(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
    } else {
        Ref one = Ref::steal(PyLong_FromLong(1));
        Ref slice = one ? Ref::steal(PySlice_New(one.get(), nullptr, nullptr))
                        : nullptr;
        if (!slice)
            return -1;
        out_args = Ref::steal(PyObject_GetItem(args, slice.get()));
    }
    return out_args ? 0 : -1;
}

// `list(args) + list(kwargs.values())`; new reference.
Ref sized_values(PyObject *args, PyObject *kwargs)
{
    Ref all = Ref::steal(PySequence_List(args));
    if (!all)
        return nullptr;
    Ref values = tw::call_method(kwargs, TW_STR("values"));
    if (!values)
        return nullptr;
    Ref more = Ref::steal(PySequence_List(values.get()));
    if (!more)
        return nullptr;
    return Ref::steal(PyNumber_Add(all.get(), more.get()));
}

// What ended the recording of a function, as the failure `e` (or NULL)
// names it: the type the serializer refused, else the exception's class.
// New reference; never NULL.
static Ref ending_type(PyObject *m, PyObject *e)
{
    if (e == nullptr)
        return Ref::borrow(TW_STR("unknown"));
    Ref problematic = G("ProblematicPickleException");
    PyObject *index = nullptr;
    if (problematic && PyObject_TypeCheck(e, reinterpret_cast<PyTypeObject *>(
                                                 problematic.get())))
        index = TW_STR("PROBLEMATIC_PICKLE_TYPE_INDEX");
    else if (PyErr_GivenExceptionMatches(e, PyExc_TypeError))
        index = TW_STR("TYPE_ERROR_TYPE_INDEX");
    PyErr_Clear();
    if (index != nullptr) {
        Ref text = Ref::steal(PyObject_Str(e));
        Ref parts =
            text ? Ref::steal(PyUnicode_Split(text.get(), TW_STR("'"), -1))
                 : nullptr;
        Ref at = parts ? tw::global(m, index) : nullptr;
        Ref item =
            at ? Ref::steal(PyObject_GetItem(parts.get(), at.get())) : nullptr;
        if (item && PyUnicode_Check(item.get()) &&
            PyUnicode_GET_LENGTH(item.get()) > 0)
            return item;
        PyErr_Clear();
    }
    Ref name = Ref::steal(PyUnicode_FromFormat("%s", Py_TYPE(e)->tp_name));
    if (!name) {
        PyErr_Clear();
        return Ref::borrow(TW_STR("unknown"));
    }
    return name;
}

// Blacklists the full name of `function_metadata`, and the first time
// sends a RecordingEnded naming the type that `e` (the failure, or NULL)
// ended it with; 0 or -1. The exception state is left as it was found.
int blacklist(PyObject *m, PyObject *function_metadata, PyObject *e)
{
    Ref names = G("BLACKLISTED_FUNCTIONS");
    if (!names)
        return -1;
    Ref full_name = tw::getattr(function_metadata, TW_STR("full_name"));
    if (!full_name)
        return -1;
    const int known = PySet_Check(names.get())
                          ? PySet_Contains(names.get(), full_name.get())
                          : 0;
    if (known < 0)
        PyErr_Clear();
    if (add_to(names.get(), full_name.get()) < 0)
        return -1;
    if (known != 0 || !PyUnicode_Check(full_name.get()))
        return 0;
    // The report is the recorder's own business: a failure to make or send
    // it loses the report, never the call's handling.
    tw::SavedError pending;
    pending.fetch();
    Ref type_text = ending_type(m, e);
    Ref metric = make_metric(m, TW_STR("RecordingEnded"), full_name.get(),
                             type_text.get());
    if (!metric || send_metric(m, metric.get()) < 0)
        PyErr_Clear();
    pending.restore();
    return 0;
}

// Counts one call of the blacklisted function `full_name` not recorded.
static void count_lost_call(PyObject *m, PyObject *full_name)
{
    Ref lost = G("LOST_CALLS");
    if (!lost || !PyDict_CheckExact(lost.get())) {
        PyErr_Clear();
        return;
    }
    PyObject *seen = PyDict_GetItemWithError(lost.get(), full_name);
    long n =
        seen != nullptr && PyLong_CheckExact(seen) ? PyLong_AsLong(seen) : 0;
    Ref next = Ref::steal(PyLong_FromLong(n + 1));
    if (!next || PyDict_SetItem(lost.get(), full_name, next.get()) < 0)
        PyErr_Clear();
}

// CollectorSettings.redact_patterns, compiled for the call being recorded
// (a settings class without it: no redaction). 0 or -1.
int refresh_redaction(PyObject *m)
{
    Ref settings = G("CollectorSettings");
    if (!settings)
        return -1;
    Ref patterns = Ref::steal(
        PyObject_GetAttr(settings.get(), TW_STR("redact_patterns")));
    if (!patterns) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
    }
    return marrowick_redact::refresh(patterns.get());
}

// The positional arguments to record for a call of `function`; new
// reference.
Ref redacted_arguments(PyObject *m, PyObject *function, bool skips_first,
                       PyObject *call_args)
{
    if (refresh_redaction(m) < 0)
        return nullptr;
    return marrowick_redact::positional(function, skips_first ? 1 : 0,
                                        call_args);
}

}  // namespace

Ref get_function_call_object_impl(PyObject *m, PyObject *args,
                                  PyObject *kwargs)
{
    Ref index = G("FUNCTION_INDEX");
    if (!index)
        return nullptr;
    Ref function = Ref::steal(PyObject_GetItem(args, index.get()));
    if (!function)
        return nullptr;
    int is_class = type_equals(function.get(),
                               reinterpret_cast<PyObject *>(&PyType_Type));
    if (is_class < 0)
        return nullptr;
    if (is_class) {
        function = tw::getattr(function.get(), TW_STR("__init__"));
        if (!function)
            return nullptr;
    }
    Ref call_args;
    if (split_receiver(m, args, function, call_args) < 0)
        return nullptr;
    Ref extract = G("EXTRACT_METADATA");
    if (!extract)
        return nullptr;
    Ref function_metadata = tw::call(extract.get(), function.get());
    if (!function_metadata)
        return nullptr;

    // Size check of every argument, positional ones first.
    Ref values = sized_values(call_args.get(), kwargs);
    if (!values)
        return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); i++) {
        Ref value = Ref::borrow(PyList_GET_ITEM(values.get(), i));
        int t = size_too_big(m, value.get());
        if (t < 0)
            return nullptr;
        if (t) {
            Ref f = G("create_size_too_big_metric");
            if (!f)
                return nullptr;
            Ref full_name =
                tw::getattr(function_metadata.get(), TW_STR("full_name"));
            if (!full_name)
                return nullptr;
            PyObject *name = TW_STR("unknown");
            PyObject *place = TW_STR("args/kwargs");
            Ref sent = f.get() == state(m)->fn[F_create_size_too_big_metric]
                           ? create_size_too_big_metric_impl(
                                 m, full_name.get(), name, place)
                           : tw::call(f.get(), full_name.get(), name, place);
            if (!sent)
                return nullptr;
            return none_ref();
        }
    }

    {
        Ref full_name =
            tw::getattr(function_metadata.get(), TW_STR("full_name"));
        if (!full_name)
            return nullptr;
        Ref names = G("BLACKLISTED_FUNCTIONS");
        if (!names)
            return nullptr;
        int r = PySequence_Contains(names.get(), full_name.get());
        if (r > 0)
            count_lost_call(m, full_name.get());
        if (r != 0)
            return r < 0 ? nullptr : none_ref();
    }

    // Guarded against Exception: the record snapshots the arguments with
    // the serializer, and a function whose arguments it refuses is not
    // recorded again.
    Ref record;
    {
        Ref record_cls = G("UserFunctionCall");
        Ref globals = record_cls ? Ref::steal(PyDict_New()) : nullptr;
        // Positional arguments named like secrets are recorded as the
        // redaction marker (the receiver and `cls` are not among them).
        const bool skips_first = is_class || PyMethod_Check(function.get());
        Ref stored_args =
            globals ? redacted_arguments(m, function.get(), skips_first,
                                         call_args.get())
                    : nullptr;
        if (stored_args)
            record = tw::call(record_cls.get(), function_metadata.get(),
                              stored_args.get(), kwargs, globals.get());
    }
    if (record)
        return record;
    // At the recursion limit the call is lost, not the function: the
    // failure goes on to the tracer, which counts it under its reason.
    if (!tw::containable() || PyErr_ExceptionMatches(PyExc_RecursionError))
        return nullptr;
    tw::SavedError e;
    e.fetch_normalized();
    if (blacklist(m, function_metadata.get(), e.value()) < 0) {
        chain_context(e.value());
        return nullptr;
    }
    return none_ref();
}

// The body of record_user_function_call; `kwargs` is a new dict.
Ref record_user_function_call_impl(PyObject *m, PyObject *args,
                                   PyObject *kwargs)
{
    if (send_kept_metric(m, TW_STR("CollectionTry"), 0) < 0)
        return nullptr;
    Ref record = call_fn(m, F_get_function_call_object,
                         TW_STR("get_function_call_object"),
                         get_function_call_object_impl, args, kwargs);
    if (!record)
        return nullptr;
    if (record.get() == Py_None) {
        Ref why = member(m, TW_STR("UnpicklableReasons"), TW_STR("GENERAL"));
        if (!why)
            return nullptr;
        PyObject *empty = TW_STR("");
        if (!empty || send_kept_metric(m, TW_STR("Unpicklable"), 2, empty,
                                       why.get()) < 0)
            return nullptr;
        return none_ref();
    }
    Ref md = tw::getattr(record.get(), TW_STR("function_metadata"));
    if (!md)
        return nullptr;
    Ref is_async = tw::getattr(md.get(), TW_STR("is_async"));
    if (!is_async)
        return nullptr;
    int t = truth(is_async.get());
    if (t < 0)
        return nullptr;
    if (t) {
        Ref why = member(m, TW_STR("FailureReasons"), TW_STR("ASYNCIO"));
        if (!why)
            return nullptr;
        Ref metric = make_metric(m, TW_STR("CollectorFailure"), why.get());
        if (send_metric(m, metric.get()) < 0)
            return nullptr;
        return none_ref();
    }
    // The flow tracking of this call starts: its tracker becomes current,
    // with the tracker that was current as its caller.
    Ref tracker_cls = G("TrindleTracker");
    if (!tracker_cls)
        return nullptr;
    md = tw::getattr(record.get(), TW_STR("function_metadata"));
    Ref full_name = md ? tw::getattr(md.get(), TW_STR("full_name")) : nullptr;
    if (!full_name)
        return nullptr;
    Ref tracker = tw::call(tracker_cls.get(), full_name.get());
    if (!tracker)
        return nullptr;
    Ref caller = current_tracker(m);
    if (!caller)
        return nullptr;
    if (tw::setattr(tracker.get(), TW_STR("caller_function"), caller.get()) <
        0)
        return nullptr;
    if (set_current(m, tracker.get()) < 0)
        return nullptr;
    return record;
}

// --------------------------------------------------------- end of a user call

namespace {

// How far the end of a user call got, for the hand-over after a failure.
struct EndProgress {
    bool tracker_read = false;  // step 4 ran
    Ref tracker;                // the call's tracker, when there was one
    bool caller_taken = false;  // step 12 ran
    Ref caller;
    bool handed_over = false;  // step 16 was reached
};

// Steps 16 to 19: the finished call's tracker hands over to its caller's
// (merge under the limit; then the caller's tracker, or None at the
// outermost level, becomes current). 0 or -1.
int hand_over(PyObject *m, PyObject *tracker, PyObject *caller,
              EndProgress &progress)
{
    progress.handed_over = true;
    if (tw::setattr(tracker, TW_STR("caller_function"), caller) < 0)
        return -1;
    Ref exceeded =
        call_fn(m, F_add_recorded_functions_to_caller_tracker,
                TW_STR("add_recorded_functions_to_caller_tracker"),
                add_recorded_functions_to_caller_tracker_impl, tracker);
    if (!exceeded)
        return -1;
    int t = truth(exceeded.get());
    if (t < 0)
        return -1;
    if (t)
        return set_current(m, Py_None);
    if (set_current(m, caller) < 0)
        return -1;
    t = truth(caller);
    if (t < 0)
        return -1;
    Ref callers_caller =
        t ? tw::getattr(caller, TW_STR("caller_function")) : none_ref();
    if (!callers_caller)
        return -1;
    return tw::setattr(tracker, TW_STR("caller_function"),
                       callers_caller.get());
}

// Steps 3 to 19 of the end of a user call (the guarded block). 0, or -1
// with the failure pending.
int finish_user_call(PyObject *m, PyObject *ret_val, PyObject *record,
                     PyObject *cur_exc, tw::SavedError &pending,
                     EndProgress &progress)
{
    Ref exc;
    if (cur_exc == nullptr || cur_exc == Py_None) {
        exc = take_exc(m, pending);
        if (!exc)
            return -1;
    } else {
        exc = Ref::borrow(cur_exc);
    }
    Ref tracker = current_tracker(m);
    if (!tracker)
        return -1;
    progress.tracker_read = true;
    if (tracker.get() == Py_None) {
        // Recording was stopped on this thread during the call.
        Ref md = tw::getattr(record, TW_STR("function_metadata"));
        Ref full_name =
            md ? tw::getattr(md.get(), TW_STR("full_name")) : nullptr;
        if (!full_name)
            return -1;
        Ref reason = member(m, TW_STR("LimitReasons"),
                            TW_STR("EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED"));
        if (!reason)
            return -1;
        Ref metric = make_metric(m, TW_STR("LimitFailure"), full_name.get(),
                                 reason.get());
        return send_metric(m, metric.get());
    }
    progress.tracker = Ref::borrow(tracker.get());
    PyObject *w = tracker.get();

    Ref md = tw::getattr(record, TW_STR("function_metadata"));
    Ref func_full_name =
        md ? tw::getattr(md.get(), TW_STR("full_name")) : nullptr;
    if (!func_full_name)
        return -1;
    Ref filter = G("filter_modules_and_function_from_globals");
    if (!filter)
        return -1;
    Ref globals = tw::getattr(w, TW_STR("globals"));
    if (!globals)
        return -1;
    Ref used_globals =
        filter.get() ==
                state(m)->fn[F_filter_modules_and_function_from_globals]
            ? filter_modules_and_function_from_globals_impl(
                  m, globals.get(), func_full_name.get())
            : tw::call(filter.get(), globals.get(), func_full_name.get());
    if (!used_globals)
        return -1;
    if (used_globals.get() == Py_None)
        return 0;
    {
        Ref cs = G("CollectorSettings");
        Ref ser = cs ? tw::getattr(cs.get(), TW_STR("serializer")) : nullptr;
        Ref data = ser ? tw::call_method(ser.get(), TW_STR("serialize"),
                                         used_globals.get())
                       : nullptr;
        if (!data || tw::setattr(record, TW_STR("globals"), data.get()) < 0)
            return -1;
    }
    if (!tw::call_method(record, TW_STR("add_execption"), exc.get()))
        return -1;
    int t = size_too_big(m, ret_val);
    if (t < 0)
        return -1;
    if (t) {
        Ref sent =
            call_fn(m, F_create_size_too_big_metric,
                    TW_STR("create_size_too_big_metric"),
                    create_size_too_big_metric_impl, func_full_name.get(),
                    func_full_name.get(), TW_STR("user_func_return_value"));
        if (!sent)
            return -1;
        return set_current(m, Py_None);
    }
    if (!tw::call_method(record, TW_STR("add_return_value"), ret_val))
        return -1;

    Ref caller = tw::getattr(w, TW_STR("caller_function"));
    if (!caller)
        return -1;
    progress.caller = Ref::borrow(caller.get());
    progress.caller_taken = true;
    if (tw::setattr(w, TW_STR("caller_function"), Py_None) < 0 ||
        tw::setattr(w, TW_STR("last_call"), Py_None) < 0)
        return -1;
    Ref recorded = tw::getattr(w, TW_STR("recorded_functions"));
    if (!recorded ||
        tw::setattr(record, TW_STR("external_calls"), recorded.get()) < 0)
        return -1;
    Ref unknown = tw::getattr(w, TW_STR("unknown_modules"));
    if (!unknown ||
        tw::setattr(record, TW_STR("unknown_modules"), unknown.get()) < 0)
        return -1;
    if (!call_fn(m, F_send_function_call_to_handler,
                 TW_STR("send_function_call_to_handler"),
                 send_function_call_to_handler_impl, record))
        return -1;
    return hand_over(m, w, caller.get(), progress);
}

// The handlers of the end of a user call, for a caught `e` of kind 0
// (ProblematicPickleException), 1 (TypeError) or 2 (other Exception): the
// function is blacklisted and the failure reported. 0 or -1.
int report_end_failure(PyObject *m, PyObject *record, PyObject *e, int kind)
{
    Ref metric;
    if (kind == 2 && PyErr_GivenExceptionMatches(e, PyExc_RecursionError)) {
        // The call met the recursion limit: it is lost, its function stays
        // recorded.
        Ref why =
            member(m, TW_STR("FailureReasons"), TW_STR("RECURSION_LIMIT"));
        if (why)
            metric = make_metric(m, TW_STR("CollectorFailure"), why.get());
        return send_metric(m, metric.get());
    }
    Ref md = tw::getattr(record, TW_STR("function_metadata"));
    if (!md || blacklist(m, md.get(), e) < 0)
        return -1;
    if (kind == 0)
        metric = unpicklable_from(
            m, e, TW_STR("PROBLEMATIC_PICKLE_TYPE_INDEX"), TW_STR("REDUCE"));
    else if (kind == 1)
        metric = unpicklable_from(m, e, TW_STR("TYPE_ERROR_TYPE_INDEX"),
                                  TW_STR("TYPE_ERROR"));
    else {
        Ref why = member(m, TW_STR("FailureReasons"), TW_STR("EXCEPTION"));
        if (why)
            metric = make_metric(m, TW_STR("CollectorFailure"), why.get());
    }
    return send_metric(m, metric.get());
}

// After a handled failure the failed call's tracker, if it is still the
// current one, hands over to its caller as at a normal end, so that the
// calling recorded call goes on with its own tracker. 0 or -1.
int hand_over_after_failure(PyObject *m, EndProgress &progress)
{
    if (progress.handed_over)
        return 0;
    if (progress.tracker_read && !progress.tracker)
        return 0;  // there was no current tracker to begin with
    Ref now = current_tracker(m);
    if (!now)
        return -1;
    if (now.get() == Py_None)
        return 0;
    if (progress.tracker && now.get() != progress.tracker.get())
        return 0;
    Ref caller = progress.caller_taken
                     ? Ref::borrow(progress.caller.get())
                     : tw::getattr(now.get(), TW_STR("caller_function"));
    if (!caller)
        return -1;
    return hand_over(m, now.get(), caller.get(), progress);
}

}  // namespace

Ref record_user_function_return_value_impl(PyObject *m, PyObject *ret_val,
                                           PyObject *record, PyObject *cur_exc,
                                           tw::SavedError &pending)
{
    int t = truth(record);
    if (t <= 0) {
        if (t < 0)
            return nullptr;
        pending.restore();
        return none_ref();
    }
    EndProgress progress;
    if (finish_user_call(m, ret_val, record, cur_exc, pending, progress) ==
        0) {
        pending.restore();
        return none_ref();
    }
    if (!tw::containable())
        return nullptr;
    tw::SavedError e;
    e.fetch_normalized();
    Ref problematic = G("ProblematicPickleException");
    if (!problematic) {
        chain_context(e.value());
        return nullptr;
    }
    int kind = e.matches(problematic.get()) ? 0
               : e.matches(PyExc_TypeError) ? 1
                                            : 2;
    int reported = report_end_failure(m, record, e.value(), kind);
    if (reported < 0) {
        chain_context(e.value());
        // The hand-over still happens; the handler's failure is what
        // propagates.
        tw::ErrorGuard keep;
        if (hand_over_after_failure(m, progress) < 0)
            PyErr_Clear();
        return nullptr;
    }
    // The failure has been reported and the entry returns None: a
    // hand-over that fails in turn is dropped, unless it is no Exception.
    if (hand_over_after_failure(m, progress) < 0) {
        if (!tw::containable())
            return nullptr;
        PyErr_Clear();
    }
    pending.restore();
    return none_ref();
}

Ref send_function_call_to_handler_impl(PyObject *m, PyObject *record)
{
    // Guarded against the two pickling failures.
    int ok = -1;
    {
        Ref r = tw::call_method(record,
                                TW_STR("serialize_post_run_args_and_kwargs"));
        Ref cs = r ? G("CollectorSettings") : nullptr;
        Ref ser = cs ? tw::getattr(cs.get(), TW_STR("serializer")) : nullptr;
        Ref data = ser ? tw::call_method(ser.get(), TW_STR("serialize"),
                                         record, Py_False)
                       : nullptr;
        if (data) {
            int t = truth(data.get());
            if (t == 0) {
                ok = 0;
            } else if (t > 0) {
                cs = G("CollectorSettings");
                Ref channel =
                    cs ? tw::getattr(cs.get(), TW_STR("data_subprocess"))
                       : nullptr;
                Ref sent = channel ? tw::call_method(channel.get(),
                                                     TW_STR("send_message"),
                                                     data.get())
                                   : nullptr;
                if (sent)
                    ok = send_kept_metric(m, TW_STR("CollectionSuccess"), 1);
            }
        }
    }
    if (ok == 0)
        return none_ref();
    tw::SavedError e;
    e.fetch_normalized();
    Ref problematic = G("ProblematicPickleException");
    if (!problematic) {
        chain_context(e.value());
        return nullptr;
    }
    Ref metric;
    if (e.matches(problematic.get()))
        metric = unpicklable_from(m, e.value(),
                                  TW_STR("PROBLEMATIC_PICKLE_TYPE_INDEX"),
                                  TW_STR("REDUCE"));
    else if (e.matches(PyExc_TypeError))
        metric =
            unpicklable_from(m, e.value(), TW_STR("TYPE_ERROR_TYPE_INDEX"),
                             TW_STR("TYPE_ERROR"));
    else {
        e.put_back();
        return nullptr;
    }
    if (send_metric(m, metric.get()) < 0) {
        chain_context(e.value());
        return nullptr;
    }
    return none_ref();
}

namespace {

// One guarded block of add_recorded_functions_to_caller_tracker:
// `if flow_tracker and flow_tracker.caller_function: <body>` under a
// handler that drops what the recorder may absorb. `body(caller)` gets the
// caller's tracker as read for the test and answers 0 when it completed,
// 1 when the entry returns True now, -1 with an exception. Returns 1 (the
// entry returns True), 0 (the entry goes on), or -1 with an exception that
// must propagate.
template <typename Body>
int on_caller_guarded(PyObject *flow_tracker, Body body)
{
    int result = -1;
    do {
        int t = truth(flow_tracker);
        if (t <= 0) {
            result = t;
            break;
        }
        Ref caller = tw::getattr(flow_tracker, TW_STR("caller_function"));
        if (!caller)
            break;
        t = truth(caller.get());
        if (t <= 0) {
            result = t;
            break;
        }
        result = body(caller);
    } while (false);
    if (result < 0) {
        if (!tw::containable())
            return -1;
        PyErr_Clear();
        return 0;
    }
    return result;
}

// `for item in iterable: f(item)` for an iterable just read (null when the
// read failed), stopping at the first f that answers -1; 0 or -1.
template <typename F> int for_each_item(const Ref &iterable, F f)
{
    Ref it = iterable ? Ref::steal(PyObject_GetIter(iterable.get())) : nullptr;
    if (!it)
        return -1;
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item)
            return PyErr_Occurred() != nullptr ? -1 : 0;
        if (f(item.get()) < 0)
            return -1;
    }
}
}  // namespace

Ref add_recorded_functions_to_caller_tracker_impl(PyObject *m,
                                                  PyObject *flow_tracker)
{
    // First block: globals, then the external calls under the limit.
    int first = on_caller_guarded(flow_tracker, [&](Ref &caller) -> int {
        Ref caller_globals = tw::getattr(caller.get(), TW_STR("globals"));
        Ref own_globals = caller_globals
                              ? tw::getattr(flow_tracker, TW_STR("globals"))
                              : nullptr;
        if (!own_globals ||
            !tw::call_method(caller_globals.get(), TW_STR("update"),
                             own_globals.get()))
            return -1;
        Ref own = tw::getattr(flow_tracker, TW_STR("recorded_functions"));
        if (!own)
            return -1;
        Py_ssize_t n_own = PyObject_Size(own.get());
        if (n_own < 0)
            return -1;
        caller = tw::getattr(flow_tracker, TW_STR("caller_function"));
        Ref callers =
            caller ? tw::getattr(caller.get(), TW_STR("recorded_functions"))
                   : nullptr;
        if (!callers)
            return -1;
        Py_ssize_t n_callers = PyObject_Size(callers.get());
        if (n_callers < 0)
            return -1;
        Ref total = Ref::steal(PyLong_FromSsize_t(n_own + n_callers));
        Ref cs = total ? G("CollectorSettings") : nullptr;
        Ref limit =
            cs ? tw::getattr(cs.get(), TW_STR("external_calls_max")) : nullptr;
        if (!limit)
            return -1;
        Ref over =
            Ref::steal(PyObject_RichCompare(total.get(), limit.get(), Py_GT));
        if (!over)
            return -1;
        int t = truth(over.get());
        if (t < 0)
            return -1;
        if (t)
            return 1;
        Ref own_again =
            tw::getattr(flow_tracker, TW_STR("recorded_functions"));
        return for_each_item(own_again, [&](PyObject *item) -> int {
            Ref target = tw::getattr(flow_tracker, TW_STR("caller_function"));
            if (!target ||
                !tw::call_method(target.get(),
                                 TW_STR("add_external_module_call"), item))
                return -1;
            return 0;
        });
    });
    if (first < 0)
        return nullptr;
    if (first > 0)
        return Ref::borrow(Py_True);

    // Second block: the unknown module names.
    int second = on_caller_guarded(flow_tracker, [&](Ref &) -> int {
        Ref names = tw::getattr(flow_tracker, TW_STR("unknown_modules"));
        return for_each_item(names, [&](PyObject *item) -> int {
            Ref target = tw::getattr(flow_tracker, TW_STR("caller_function"));
            Ref set =
                target ? tw::getattr(target.get(), TW_STR("unknown_modules"))
                       : nullptr;
            if (!set || add_to(set.get(), item) < 0)
                return -1;
            return 0;
        });
    });
    if (second < 0)
        return nullptr;
    return Ref::borrow(Py_False);
}

}  // namespace tw_marrowick
