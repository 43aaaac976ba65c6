// marrowick's external calls: whether a call a recorded function makes out
// of the project is recorded (record_external_call, with the skip rules of
// should_skip_external_function), and the completion of its record with the
// value it returned or the exception it raised (record_external_return_value).
#include "marrowick_internal.hpp"
#include "marrowick_redact.hpp"

namespace tw_marrowick {

// ------------------------------------------------------------- external calls

Ref should_skip_external_function_impl(PyObject *m, PyObject *full_name,
                                       PyObject *module_name,
                                       PyObject *did_check)
{
    if (tw::check_exact(full_name, "full_name", tw::Kind::Str) < 0 ||
        tw::check_exact(module_name, "module_name", tw::Kind::Str) < 0)
        return nullptr;
    Ref stateless = G("STATELESS_EXTERNAL_FULL_NAMES");
    if (!stateless)
        return nullptr;
    int r = PySequence_Contains(stateless.get(), full_name);
    if (r != 0)
        return r < 0 ? nullptr : Ref::borrow(Py_True);
    Ref cached = G("CACHED_NONE_EXTERNAL_MODULES");
    if (!cached)
        return nullptr;
    r = PySequence_Contains(cached.get(), module_name);
    if (r != 0)
        return r < 0 ? nullptr : Ref::borrow(Py_True);
    r = truth(did_check);
    if (r != 0)
        return r < 0 ? nullptr : Ref::borrow(Py_False);
    Ref path = call_fn(m, F_get_module_location, TW_STR("get_module_location"),
                       get_module_location_impl, module_name);
    if (!path)
        return nullptr;
    if (path.get() == Py_None)
        return Ref::borrow(Py_False);
    Ref cs = G("CollectorSettings");
    if (!cs)
        return nullptr;
    Ref files = tw::getattr(cs.get(), TW_STR("project_files"));
    if (!files)
        return nullptr;
    r = PySequence_Contains(files.get(), path.get());
    if (r < 0)
        return nullptr;
    if (r == 0)
        return Ref::borrow(Py_False);
    cached = G("CACHED_NONE_EXTERNAL_MODULES");
    if (!cached || add_to(cached.get(), module_name) < 0)
        return nullptr;
    return Ref::borrow(Py_True);
}

namespace {

// `str_obj.endswith(suffix)`: 1, 0 or -1.
int ends_with(PyObject *str_obj, PyObject *suffix)
{
    if (PyUnicode_CheckExact(str_obj)) {
        Py_ssize_t r =
            PyUnicode_Tailmatch(str_obj, suffix, 0, PY_SSIZE_T_MAX, 1);
        return r < 0 ? -1 : static_cast<int>(r);
    }
    Ref r = tw::call_method(str_obj, TW_STR("endswith"), suffix);
    if (!r)
        return -1;
    return truth(r.get());
}

// The renaming of a context manager's bound `__enter__`/`__exit__` after
// the name the extractor gives to the attribute of the object's class.
// 0 or -1.
int rename_after_class_attr(PyObject *m, PyObject *call,
                            PyObject *function_metadata, PyObject *attr)
{
    Ref self = tw::getattr(call, TW_STR("__self__"));
    if (!self)
        return -1;
    Ref cls = tw::getattr(self.get(), TW_STR("__class__"));
    if (!cls)
        return -1;
    Ref type_function = tw::getattr(cls.get(), attr);
    if (!type_function)
        return -1;
    Ref extract = G("EXTRACT_METADATA");
    if (!extract)
        return -1;
    Ref md = tw::call(extract.get(), type_function.get(), Py_True);
    if (!md)
        return -1;
    Ref first = subscript(md.get(), 0);
    if (!first)
        return -1;
    Ref name = tw::getattr(first.get(), TW_STR("full_name"));
    if (!name)
        return -1;
    return tw::setattr(function_metadata, TW_STR("full_name"), name.get());
}

// The guarded part of record_external_call: 1 when the call is skipped, 0
// when it is to be recorded, -1 with an exception.
int external_skip_and_rename(PyObject *m, PyObject *call,
                             PyObject *function_metadata, PyObject *did_check)
{
    Ref full_name = tw::getattr(function_metadata, TW_STR("full_name"));
    if (!full_name)
        return -1;
    Ref skip_fn = G("should_skip_external_function");
    if (!skip_fn)
        return -1;
    Ref module_name = tw::getattr(function_metadata, TW_STR("module_name"));
    if (!module_name)
        return -1;
    Ref skip;
    if (skip_fn.get() == state(m)->fn[F_should_skip_external_function])
        skip = should_skip_external_function_impl(
            m, full_name.get(), module_name.get(), did_check);
    else
        skip = tw::call(skip_fn.get(), full_name.get(), module_name.get(),
                        did_check);
    if (!skip)
        return -1;
    int r = truth(skip.get());
    if (r != 0)
        return r;
    r = ends_with(full_name.get(), TW_STR(".__enter__"));
    if (r < 0)
        return -1;
    if (r)
        return rename_after_class_attr(m, call, function_metadata,
                                       TW_STR("__enter__"));
    r = ends_with(full_name.get(), TW_STR(".__exit__"));
    if (r < 0)
        return -1;
    if (r)
        return rename_after_class_attr(m, call, function_metadata,
                                       TW_STR("__exit__"));
    return 0;
}

}  // namespace

Ref record_external_call_impl(PyObject *m, PyObject *call, PyObject *did_check)
{
    Ref extract = G("EXTRACT_METADATA");
    if (!extract)
        return nullptr;
    Ref metadata = tw::call(extract.get(), call, Py_True);
    if (!metadata)
        return nullptr;
    Ref index = G("IS_FUNCTION_FOR_RECORDING_INDEX");
    if (!index)
        return nullptr;
    Ref for_recording =
        Ref::steal(PyObject_GetItem(metadata.get(), index.get()));
    if (!for_recording)
        return nullptr;
    int r = truth(for_recording.get());
    if (r <= 0)
        return r < 0 ? nullptr : none_ref();
    Ref tracker = current_tracker(m);
    if (!tracker)
        return nullptr;
    r = truth(tracker.get());
    if (r <= 0)
        return r < 0 ? nullptr : none_ref();
    index = G("FUNCTION_META_DATA_INDEX");
    if (!index)
        return nullptr;
    Ref function_metadata =
        Ref::steal(PyObject_GetItem(metadata.get(), index.get()));
    if (!function_metadata)
        return nullptr;
    // Guarded: a failing skip test or renaming leaves the call recorded.
    r = external_skip_and_rename(m, call, function_metadata.get(), did_check);
    if (r > 0)
        return none_ref();
    if (r < 0) {
        if (!tw::containable())
            return nullptr;
        PyErr_Clear();
    }
    Ref record_cls = G("ExternalFunctionCall");
    if (!record_cls)
        return nullptr;
    Ref first = subscript(metadata.get(), 0);
    if (!first)
        return nullptr;
    Ref record = tw::call(record_cls.get(), first.get());
    if (!record)
        return nullptr;
    if (marrowick_redact::note_external_call(call, record.get()) < 0)
        return nullptr;
    Ref exceeded = tw::call_method(
        tracker.get(), TW_STR("add_external_module_call"), record.get());
    if (!exceeded)
        return nullptr;
    r = truth(exceeded.get());
    if (r < 0)
        return nullptr;
    if (r && suspend_through_class(m) < 0)
        return nullptr;
    return record;
}

namespace {

// The guarded part of record_external_return_value; 0 or -1.
int complete_external_record(PyObject *m, PyObject *return_value,
                             PyObject *func_obj, PyObject *exc)
{
    Ref r = tw::call_method(func_obj, TW_STR("add_execption"), exc);
    if (!r)
        return -1;
    int t = size_too_big(m, return_value);
    if (t < 0)
        return -1;
    if (t) {
        Ref f = G("create_size_too_big_metric");
        if (!f)
            return -1;
        Ref md = tw::getattr(func_obj, TW_STR("function_metadata"));
        Ref name1 = md ? tw::getattr(md.get(), TW_STR("full_name")) : nullptr;
        if (!name1)
            return -1;
        md = tw::getattr(func_obj, TW_STR("function_metadata"));
        Ref name2 = md ? tw::getattr(md.get(), TW_STR("full_name")) : nullptr;
        if (!name2)
            return -1;
        PyObject *place = TW_STR("external_func_return_value");
        Ref sent = f.get() == state(m)->fn[F_create_size_too_big_metric]
                       ? create_size_too_big_metric_impl(m, name1.get(),
                                                         name2.get(), place)
                       : tw::call(f.get(), name1.get(), name2.get(), place);
        if (!sent)
            return -1;
        return suspend_through_class(m);
    }
    // The result of a read of a secret environment variable is stored as
    // the redaction marker.
    Ref stored = marrowick_redact::external_result(func_obj, return_value);
    if (!stored)
        return -1;
    r = tw::call_method(func_obj, TW_STR("add_return_value"), stored.get());
    return r ? 0 : -1;
}

}  // namespace

// `cur_exc` NULL stands for its default, None.
Ref record_external_return_value_impl(PyObject *m, PyObject *return_value,
                                      PyObject *func_obj, PyObject *cur_exc,
                                      tw::SavedError &pending)
{
    Ref exc;
    if (cur_exc == nullptr || cur_exc == Py_None) {
        exc = take_exc(m, pending);
        if (!exc)
            return nullptr;
    } else {
        exc = Ref::borrow(cur_exc);
    }
    if (complete_external_record(m, return_value, func_obj, exc.get()) < 0) {
        if (!tw::containable())
            return nullptr;
        PyErr_Clear();
    }
    // An exception the caller passed itself leaves the pending one alone.
    pending.restore();
    return none_ref();
}

}  // namespace tw_marrowick
