// marrowick's generator calls. A call of a generator function is one
// record, like any call: it starts when the generator's body first runs
// (record_user_function_call, with the parameters as the body finds them)
// and is sent when the generator ends (record_generator_return_value). In
// between, the body runs in pieces, from one resumption to the next yield.
// Each piece runs with the generator's tracker current, so the external
// calls and globals of the body belong to its record; at each yield the
// value is recorded and the thread's current tracker goes back to the one
// that resumed the generator (record_generator_yield), and at each
// resumption the generator's tracker becomes current again over whichever
// tracker is current then (record_generator_resume).
//
// What a generator record holds besides a plain call's (set on the record
// when the generator first yields, resumes or ends):
//   yielded_values     the serialized values it yielded, in order, up to
//                      CollectorSettings.generator_yields_max;
//   yields_left_out    yields not kept: past that bound, or (yields_refused
//                      of them) whose value was too big or refused by the
//                      serializer (the refused types in yields_refused_types);
//   yields_delegated   `yield from` delegations whose values went straight
//                      from the delegate to the consumer, unseen (the
//                      tracer reports the values of the others as yielded);
//   generator_sends, generator_throws
//                      resumptions by send() with a value other than None,
//                      and by throw() (close() not counted);
//   generator_ending   "returned", "raised", "closed" (close() at a yield)
//                      or "abandoned" (collected before its end).
#include "marrowick_internal.hpp"

namespace tw_marrowick {

namespace {

// The list and counters of a generator record, created once; 0 or -1.
int ensure_generator_fields(PyObject *record)
{
    Ref has = tw::getattr(record, TW_STR("yielded_values"));
    if (has)
        return 0;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        return -1;
    PyErr_Clear();
    Ref values = Ref::steal(PyList_New(0));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref types = Ref::steal(PyList_New(0));
    if (!values || !zero || !types)
        return -1;
    if (tw::setattr(record, TW_STR("yielded_values"), values.get()) < 0 ||
        tw::setattr(record, TW_STR("yields_left_out"), zero.get()) < 0 ||
        tw::setattr(record, TW_STR("yields_refused"), zero.get()) < 0 ||
        tw::setattr(record, TW_STR("yields_refused_types"), types.get()) < 0 ||
        tw::setattr(record, TW_STR("yields_delegated"), zero.get()) < 0 ||
        tw::setattr(record, TW_STR("generator_sends"), zero.get()) < 0 ||
        tw::setattr(record, TW_STR("generator_throws"), zero.get()) < 0)
        return -1;
    return 0;
}

// record.<name> += 1; 0 or -1.
int count(PyObject *record, PyObject *name)
{
    Ref n = tw::getattr(record, name);
    if (!n)
        return -1;
    Ref one = Ref::steal(PyLong_FromLong(1));
    Ref more = one ? Ref::steal(PyNumber_Add(n.get(), one.get())) : nullptr;
    if (!more)
        return -1;
    return tw::setattr(record, name, more.get());
}

// CollectorSettings.generator_yields_max, 100 when the settings lack it;
// -1 with an exception set when it cannot be read.
Py_ssize_t yields_max(PyObject *m)
{
    Ref cs = G("CollectorSettings");
    if (!cs)
        return -1;
    Ref max =
        Ref::steal(PyObject_GetAttr(cs.get(), TW_STR("generator_yields_max")));
    if (!max) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 100;
    }
    Py_ssize_t n = PyNumber_AsSsize_t(max.get(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred())
        return -1;
    return n < 0 ? 0 : n;
}

// A yielded value refused by the serializer: counted on the record with its
// type, and reported as an Unpicklable metric (the function stays recorded:
// this call's test is what is lost). `e` is the caught failure; 0 or -1.
int refuse_value(PyObject *m, PyObject *record, PyObject *value, PyObject *e,
                 bool problematic)
{
    Ref types = tw::getattr(record, TW_STR("yields_refused_types"));
    Ref name = tw::getattr(reinterpret_cast<PyObject *>(Py_TYPE(value)),
                           TW_STR("__qualname__"));
    if (!types || !name || count(record, TW_STR("yields_refused")) < 0 ||
        count(record, TW_STR("yields_left_out")) < 0)
        return -1;
    int has = PySequence_Contains(types.get(), name.get());
    if (has < 0 || (!has && PyList_Check(types.get()) &&
                    PyList_Append(types.get(), name.get()) < 0))
        return -1;
    Ref metric =
        problematic
            ? unpicklable_from(m, e, TW_STR("PROBLEMATIC_PICKLE_TYPE_INDEX"),
                               TW_STR("REDUCE"))
            : unpicklable_from(m, e, TW_STR("TYPE_ERROR_TYPE_INDEX"),
                               TW_STR("TYPE_ERROR"));
    if (!metric) {
        // A message without the expected quotes: the type is still known.
        if (!tw::containable())
            return -1;
        PyErr_Clear();
        Ref why =
            member(m, TW_STR("UnpicklableReasons"),
                   problematic ? TW_STR("REDUCE") : TW_STR("TYPE_ERROR"));
        if (!why)
            return -1;
        metric = make_metric(m, TW_STR("Unpicklable"), name.get(), why.get());
    }
    return send_metric(m, metric.get());
}

// Records one yielded value on the record, within the bound; 0 or -1.
int keep_value(PyObject *m, PyObject *record, PyObject *value)
{
    Ref values = tw::getattr(record, TW_STR("yielded_values"));
    if (!values)
        return -1;
    Py_ssize_t kept = PyObject_Size(values.get());
    if (kept < 0)
        return -1;
    Py_ssize_t max = yields_max(m);
    if (max < 0)
        return -1;
    if (kept >= max)
        return count(record, TW_STR("yields_left_out"));
    int big = size_too_big(m, value);
    if (big < 0)
        return -1;
    if (big)
        return count(record, TW_STR("yields_refused")) < 0
                   ? -1
                   : count(record, TW_STR("yields_left_out"));
    Ref cs = G("CollectorSettings");
    Ref ser = cs ? tw::getattr(cs.get(), TW_STR("serializer")) : nullptr;
    if (!ser)
        return -1;
    Ref data =
        tw::call_method(ser.get(), TW_STR("serialize"), value, Py_False);
    if (data)
        return PyList_Check(values.get())
                   ? PyList_Append(values.get(), data.get())
                   : (tw::call_method(values.get(), TW_STR("append"),
                                      data.get())
                          ? 0
                          : -1);
    Ref problematic_cls = G("ProblematicPickleException");
    if (!problematic_cls)
        return -1;
    const bool problematic =
        PyErr_ExceptionMatches(problematic_cls.get()) != 0;
    if (!problematic && !PyErr_ExceptionMatches(PyExc_TypeError))
        return -1;
    tw::SavedError e;
    e.fetch_normalized();
    return refuse_value(m, record, value, e.value(), problematic);
}

}  // namespace

Ref record_generator_yield_impl(PyObject *m, PyObject *value, PyObject *record,
                                PyObject *delegated)
{
    int t = truth(record);
    if (t <= 0)
        return t < 0 ? nullptr : none_ref();
    Ref tracker = current_tracker(m);
    if (!tracker)
        return nullptr;
    // The value is recorded under a guard: a failure loses this record's
    // value, never the hand-back of the thread's tracker below.
    int kept = ensure_generator_fields(record);
    if (kept == 0) {
        int d = delegated ? truth(delegated) : 0;
        kept = d < 0 ? -1
               : d   ? count(record, TW_STR("yields_delegated"))
                     : keep_value(m, record, value);
    }
    tw::SavedError failure;
    if (kept < 0) {
        if (!tw::containable())
            return nullptr;
        failure.fetch_normalized();
    }
    if (tracker.get() == Py_None)
        return none_ref();
    // The generator suspends: the tracker that was current when it resumed
    // (or started) is current again, and the generator's waits detached.
    Ref caller = tw::getattr(tracker.get(), TW_STR("caller_function"));
    if (!caller ||
        tw::setattr(tracker.get(), TW_STR("caller_function"), Py_None) < 0 ||
        set_current(m, caller.get()) < 0)
        return nullptr;
    if (!failure.empty()) {
        failure.restore();
        return nullptr;
    }
    return tracker;
}

Ref record_generator_resume_impl(PyObject *m, PyObject *record,
                                 PyObject *tracker, PyObject *sent,
                                 PyObject *thrown)
{
    int t = truth(record);
    if (t <= 0)
        return t < 0 ? nullptr : none_ref();
    if (ensure_generator_fields(record) < 0)
        return nullptr;
    if (sent != nullptr && sent != Py_None &&
        count(record, TW_STR("generator_sends")) < 0)
        return nullptr;
    if (thrown != nullptr && thrown != Py_None &&
        !PyErr_GivenExceptionMatches(thrown, PyExc_GeneratorExit) &&
        count(record, TW_STR("generator_throws")) < 0)
        return nullptr;
    // A generator whose recording stopped (a limit) left no tracker: the
    // thread's current tracker is left as it is.
    if (tracker == nullptr || tracker == Py_None)
        return none_ref();
    Ref now = current_tracker(m);
    if (!now ||
        tw::setattr(tracker, TW_STR("caller_function"), now.get()) < 0 ||
        set_current(m, tracker) < 0)
        return nullptr;
    return none_ref();
}

Ref record_generator_return_value_impl(PyObject *m, PyObject *ret_val,
                                       PyObject *record, PyObject *ending,
                                       PyObject *cur_exc,
                                       tw::SavedError &pending)
{
    int t = truth(record);
    if (t < 0)
        return nullptr;
    if (t) {
        // Marks the record as a generator's before the end of the call
        // completes it; a failure here is the end's failure.
        tw::SavedError keep;
        keep.fetch();
        if (ensure_generator_fields(record) < 0 ||
            tw::setattr(record, TW_STR("generator_ending"), ending) < 0) {
            if (!tw::containable())
                return nullptr;
            PyErr_Clear();
        }
        keep.restore();
    }
    return forward_user_return(m, ret_val, record, cur_exc, pending);
}

PyObject *py_record_generator_yield(TW_FASTCALL_ARGS(m))
{
    static const tw::Param params[] = {
        {"value"}, {"function_under_test"}, tw::opt("delegated")};
    PyObject *a[3];
    if (tw::parse("record_generator_yield", params, args, nargs, kwnames, a) <
        0)
        return nullptr;
    return record_generator_yield_impl(m, a[0], a[1], a[2]).release();
}

PyObject *py_record_generator_resume(TW_FASTCALL_ARGS(m))
{
    static const tw::Param params[] = {{"function_under_test"},
                                       {"tracker"},
                                       tw::opt("sent"),
                                       tw::opt("thrown")};
    PyObject *a[4];
    if (tw::parse("record_generator_resume", params, args, nargs, kwnames, a) <
        0)
        return nullptr;
    return record_generator_resume_impl(m, a[0], a[1], a[2], a[3]).release();
}

PyObject *py_record_generator_return_value(TW_FASTCALL_ARGS(m))
{
    tw::SavedError pending;
    pending.fetch();
    static const tw::Param params[] = {
        {"ret_val"}, {"function_under_test"}, {"ending"}, tw::opt("cur_exc")};
    PyObject *a[4];
    if (tw::parse("record_generator_return_value", params, args, nargs,
                  kwnames, a) < 0)
        return nullptr;
    return record_generator_return_value_impl(m, a[0], a[1], a[2], a[3],
                                              pending)
        .release();
}

}  // namespace tw_marrowick
