// marrowick's support: the helpers every entry uses (container and type
// tests as the statements do them, the exception chaining of an `except`
// clause, the pending exception's value), the calling thread's tracker
// (with a reusable int key so that the hooks' common paths allocate
// nothing), the metrics the module sends, the size limits of recorded
// values, and the location of a module.
#include "marrowick_internal.hpp"

#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>
#endif

namespace tw_marrowick {

// `container.add(item)`, as the statement does it: 0, or -1.
int add_to(PyObject *container, PyObject *item)
{
    if (Py_IS_TYPE(container, &PySet_Type))
        return PySet_Add(container, item);
    Ref r = tw::call_method(container, TW_STR("add"), item);
    return r ? 0 : -1;
}

// `obj[i]` as the subscription evaluates it (a mapping answers too); new
// reference.
Ref subscript(PyObject *obj, long i)
{
    Ref key = Ref::steal(PyLong_FromLong(i));
    if (!key)
        return nullptr;
    return Ref::steal(PyObject_GetItem(obj, key.get()));
}

// `type(obj) == cls` as the expression evaluates it: 1, 0 or -1.
int type_equals(PyObject *obj, PyObject *cls)
{
    PyObject *t = reinterpret_cast<PyObject *>(Py_TYPE(obj));
    if (t == cls)
        return 1;
    // A class whose metaclass is exactly `type` compares by identity.
    if (Py_IS_TYPE(t, &PyType_Type) && Py_IS_TYPE(cls, &PyType_Type))
        return 0;
    Ref r = Ref::steal(PyObject_RichCompare(t, cls, Py_EQ));
    if (!r)
        return -1;
    return truth(r.get());
}
// Gives the exception being raised now `context` as its __context__, as an
// exception raised inside an `except` clause gets the one being handled.
void chain_context(PyObject *context)
{
    if (context == nullptr || !PyErr_Occurred())
        return;
    tw::SavedError now;
    now.fetch_normalized();
    if (now.value() != nullptr && now.value() != context &&
        PyExceptionInstance_Check(now.value()))
        PyException_SetContext(now.value(), Py_NewRef(context));
    now.put_back();
}

// `get_exc_value()` at a call site of an entry whose pending exception is
// held by `pending`. New reference.
Ref take_exc(PyObject *m, tw::SavedError &pending)
{
    Ref f = G("get_exc_value");
    if (!f)
        return nullptr;
    if (f.get() == state(m)->fn[F_get_exc_value])
        return pending.take_value();
    // Rebound: it finds the exception where the tracer left it.
    pending.restore();
    return tw::call(f.get());
}

// ------------------------------------------------------ reusable int key

#ifdef MARROWICK_SCRATCH_KEY
// One int object reused as the key of a lookup by an integer (an object's
// identity in the followed set, the thread's identifier in the per-thread
// map), so that the hooks' common paths allocate nothing. Its digits are
// rewritten in place, which is sound only while this module holds the sole
// reference (checked before each reuse) and no lookup is under way with it
// (the flag: a comparison inside the lookup may run Python code, which may
// come back here on this or another thread).
PyObject *g_key = nullptr;
bool g_key_busy = false;

// The reusable key set to `value`; borrowed, or NULL (without an exception)
// when it cannot be used now.
PyObject *scratch_key(unsigned long long value)
{
    if (g_key_busy)
        return nullptr;
    if (g_key != nullptr && Py_REFCNT(g_key) != 1)
        Py_CLEAR(g_key);  // someone kept it; leave it to them
    if (g_key == nullptr) {
        // Room for the digits of any 64-bit value.
        g_key = PyLong_FromUnsignedLongLong(~0ULL);
        if (g_key == nullptr) {
            PyErr_Clear();
            return nullptr;
        }
    }
    PyLongObject *lo = reinterpret_cast<PyLongObject *>(g_key);
#if PY_VERSION_HEX >= 0x030C0000
    digit *d = lo->long_value.ob_digit;
#else
    digit *d = lo->ob_digit;
#endif
    Py_ssize_t n = 0;
    while (value != 0) {
        d[n++] = static_cast<digit>(value & PyLong_MASK);
        value >>= PyLong_SHIFT;
    }
#if PY_VERSION_HEX >= 0x030C0000
    lo->long_value.lv_tag =
        (static_cast<uintptr_t>(n) << _PyLong_NON_SIZE_BITS) | (n ? 0 : 1);
#elif PY_VERSION_HEX >= 0x03090000
    Py_SET_SIZE(lo, n);
#else
    Py_SIZE(lo) = n;
#endif
    return g_key;
}

#endif

// ------------------------------------------------------- thread and tracker

// `Trindle_thread_id_to_current_call_get(threading_get_ident(), None)`: the
// calling thread's current tracker, or None. New reference.
Ref current_tracker(PyObject *m)
{
    State *st = state(m);
    Ref get = G("Trindle_thread_id_to_current_call_get");
    if (!get)
        return nullptr;
    Ref ident_fn = G("threading_get_ident");
    if (!ident_fn)
        return nullptr;
    const bool own_ident =
        st->get_ident != nullptr && ident_fn.get() == st->get_ident;
    const bool own_get = st->tid_get != nullptr && get.get() == st->tid_get;
#ifdef MARROWICK_SCRATCH_KEY
    if (own_ident && own_get) {
        // The aliases as bound at import: one lookup in the map.
        PyObject *key = scratch_key(PyThread_get_thread_ident());
        if (key != nullptr) {
            PyObject *v;
            {
                ScratchLookup busy;
                v = PyDict_GetItemWithError(st->tid_map, key);
            }
            if (v == nullptr) {
                if (PyErr_Occurred())
                    return nullptr;
                v = Py_None;
            }
            return Ref::borrow(v);
        }
    }
#endif
    Ref ident =
        own_ident
            ? Ref::steal(PyLong_FromUnsignedLong(PyThread_get_thread_ident()))
            : tw::call(ident_fn.get());
    if (!ident)
        return nullptr;
    if (own_get) {
        PyObject *v = PyDict_GetItemWithError(st->tid_map, ident.get());
        if (v == nullptr) {
            if (PyErr_Occurred())
                return nullptr;
            v = Py_None;
        }
        return Ref::borrow(v);
    }
    return tw::call(get.get(), ident.get(), Py_None);
}

// `Trindle_set_current_running_function(tracker)`; 0 or -1.
int set_current(PyObject *m, PyObject *tracker)
{
    Ref f = G("Trindle_set_current_running_function");
    if (!f)
        return -1;
    Ref r = tw::call(f.get(), tracker);
    return r ? 0 : -1;
}

// `Trindle.set_current_running_function(None)`, through the class as it is
// bound now; 0 or -1.
int suspend_through_class(PyObject *m)
{
    Ref cls = G("Trindle");
    if (!cls)
        return -1;
    Ref r = tw::call_method(cls.get(), TW_STR("set_current_running_function"),
                            Py_None);
    return r ? 0 : -1;
}

// ------------------------------------------------------------ metrics

int identity(PyObject *m, Identity &id)
{
    Ref cs = G("CollectorSettings");
    if (!cs)
        return -1;
    id.v[0] = tw::getattr(cs.get(), TW_STR("tenant_id"));
    if (!id.v[0])
        return -1;
    id.v[1] = tw::getattr(cs.get(), TW_STR("project_id"));
    if (!id.v[1])
        return -1;
    id.v[2] = tw::getattr(cs.get(), TW_STR("python_version"));
    if (!id.v[2])
        return -1;
    id.v[3] = tw::getattr(cs.get(), TW_STR("lib_version"));
    return id.v[3] ? 0 : -1;
}

// `<cls_name>.<member>` of a module-level class; new reference.
Ref member(PyObject *m, PyObject *cls_name, PyObject *member_name)
{
    Ref cls = tw::global(m, cls_name);
    if (!cls)
        return nullptr;
    return tw::getattr(cls.get(), member_name);
}

// Sends one metric: serialized with the settings' serializer (one
// argument), then passed to the metrics channel. 0 or -1.
int send_metric(PyObject *m, PyObject *metric)
{
    if (metric == nullptr)
        return -1;
    Ref cs = G("CollectorSettings");
    if (!cs)
        return -1;
    Ref ser = tw::getattr(cs.get(), TW_STR("serializer"));
    if (!ser)
        return -1;
    Ref data = tw::call_method(ser.get(), TW_STR("serialize"), metric);
    if (!data)
        return -1;
    cs = G("CollectorSettings");
    if (!cs)
        return -1;
    Ref channel = tw::getattr(cs.get(), TW_STR("metrics_subprocess"));
    if (!channel)
        return -1;
    Ref r = tw::call_method(channel.get(), TW_STR("send_message"), data.get());
    return r ? 0 : -1;
}

// `Unpicklable(<identity>, str(e).split("'")[<index_name>],
// UnpicklableReasons.<reason>)`; new reference.
Ref unpicklable_from(PyObject *m, PyObject *e, PyObject *index_name,
                     PyObject *reason)
{
    Ref text = Ref::steal(PyObject_Str(e));
    if (!text)
        return nullptr;
    Ref parts = Ref::steal(PyUnicode_Split(text.get(), TW_STR("'"), -1));
    if (!parts)
        return nullptr;
    Ref index = tw::global(m, index_name);
    if (!index)
        return nullptr;
    Ref obj_type = Ref::steal(PyObject_GetItem(parts.get(), index.get()));
    if (!obj_type)
        return nullptr;
    Ref why = member(m, TW_STR("UnpicklableReasons"), reason);
    if (!why)
        return nullptr;
    return make_metric(m, TW_STR("Unpicklable"), obj_type.get(), why.get());
}

// ---------------------------------------------------------------- size limits

namespace {

// `MAX_STRING_SIZE` when it is a plain float or int, as a double; NaN
// otherwise (no comparison with NaN holds).
double max_size_as_double(PyObject *max)
{
    if (PyFloat_CheckExact(max))
        return PyFloat_AS_DOUBLE(max);
    if (PyLong_CheckExact(max)) {
        double d = PyLong_AsDouble(max);
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return Py_NAN;
        }
        return d;
    }
    return Py_NAN;
}

// The deep estimate of None, a bool, a float or an int that fits in 64 bits
// is at most 40 bytes whatever is looked at; such a value is too big only
// for a bound below that. 1 when the estimate can be skipped.
bool estimate_is_small(PyObject *obj, PyObject *max)
{
    const double bound = 64.0;
    if (!(max_size_as_double(max) >= bound))
        return false;
    if (PyBool_Check(obj) || PyFloat_CheckExact(obj))
        return true;
    if (PyLong_CheckExact(obj)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (v == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        return overflow == 0;
    }
    return false;
}

}  // namespace

Ref is_size_too_big_impl(PyObject *m, PyObject *obj)
{
    if (obj == Py_None)
        return Ref::borrow(Py_False);
    if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
        Py_ssize_t n = PyObject_Length(obj);
        if (n < 0)
            return nullptr;
        Ref max = G("MAX_STRING_SIZE");
        if (!max)
            return nullptr;
        if (PyFloat_CheckExact(max.get()))
            return Ref::borrow(static_cast<double>(n) >
                                       PyFloat_AS_DOUBLE(max.get())
                                   ? Py_True
                                   : Py_False);
        Ref len = Ref::steal(PyLong_FromSsize_t(n));
        if (!len)
            return nullptr;
        return Ref::steal(PyObject_RichCompare(len.get(), max.get(), Py_GT));
    }
    // Guarded: a value whose size cannot be estimated counts as small.
    Ref result;
    {
        Ref az = G("asizeof");
        Ref fn = az ? tw::getattr(az.get(), TW_STR("asizeof")) : nullptr;
        if (fn) {
            if (fn.get() == state(m)->asizeof_fn) {
                Ref max = G("MAX_STRING_SIZE");
                if (max && estimate_is_small(obj, max.get()))
                    return Ref::borrow(Py_False);
            }
            if (!PyErr_Occurred()) {
                Ref three = Ref::steal(PyLong_FromLong(3));
                Ref size = fn && three
                               ? tw::call_kw(fn.get(), TW_NAMES("limit"), obj,
                                             three.get())
                               : nullptr;
                Ref max = size ? G("MAX_STRING_SIZE") : nullptr;
                if (max)
                    result = Ref::steal(
                        PyObject_RichCompare(size.get(), max.get(), Py_GT));
            }
        }
    }
    if (!result) {
        if (!tw::containable())
            return nullptr;
        PyErr_Clear();
        return Ref::borrow(Py_False);
    }
    return result;
}

Ref create_size_too_big_metric_impl(PyObject *m, PyObject *function_full_name,
                                    PyObject *name, PyObject *failure_place)
{
    if (tw::check_exact(function_full_name, "function_full_name",
                        tw::Kind::Str) < 0 ||
        tw::check_exact(name, "name", tw::Kind::Str) < 0 ||
        tw::check_exact(failure_place, "failure_place", tw::Kind::Str) < 0)
        return nullptr;
    Ref tmpl =
        member(m, TW_STR("LimitReasons"), TW_STR("MAX_STRING_SIZE_EXCEEDED"));
    if (!tmpl)
        return nullptr;
    Ref message =
        tw::call_method(tmpl.get(), TW_STR("format"), name, failure_place);
    if (!message)
        return nullptr;
    Ref metric = make_metric(m, TW_STR("LimitFailure"), function_full_name,
                             message.get());
    if (send_metric(m, metric.get()) < 0)
        return nullptr;
    return none_ref();
}

// ------------------------------------------------------------ module location

Ref get_module_location_impl(PyObject *m, PyObject *module_name)
{
    (void)m;
    if (tw::check_exact(module_name, "module_name", tw::Kind::Str) < 0)
        return nullptr;
    // `import importlib.util` binds the package; the function is reached
    // through it.
    Ref pkg = Ref::steal(PyImport_ImportModuleLevel("importlib.util", nullptr,
                                                    nullptr, nullptr, 0));
    if (!pkg)
        return nullptr;
    Ref util = tw::getattr(pkg.get(), TW_STR("util"));
    if (!util)
        return nullptr;
    Ref find_spec = tw::getattr(util.get(), TW_STR("find_spec"));
    if (!find_spec)
        return nullptr;
    Ref spec = tw::call(find_spec.get(), module_name);
    if (!spec) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError))
            return nullptr;
        PyErr_Clear();
        return none_ref();
    }
    if (spec.get() == Py_None)
        return none_ref();
    return tw::getattr(spec.get(), TW_STR("origin"));
}

}  // namespace tw_marrowick
