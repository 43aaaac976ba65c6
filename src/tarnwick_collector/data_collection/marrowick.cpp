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
// Module-level names are looked up in the module's namespace at each use,
// so rebinding one on the module takes effect for later calls. The aliases
// bound at import (EXTRACT_METADATA, Trindle_thread_id_to_current_call_get,
// Trindle_set_current_running_function, threading_get_ident) are fixed
// objects, but they too are read from the namespace at each use. Where a
// name still holds the object this module bound at import, the work is done
// directly in C++ (no Python-level call), with the same outcome.
#include "tw.hpp"
#include "tw/owner.hpp"
#include "marrowick_redact.hpp"

#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>
#endif

#include <cstdint>

namespace {

using tw::Ref;

// ------------------------------------------------------------ module state

// The module functions, in definition order.
enum Fn {
    F_get_module_location,
    F_is_size_too_big,
    F_create_size_too_big_metric,
    F_should_skip_external_function,
    F_record_external_call,
    F_get_function_call_object,
    F_record_user_function_call,
    F_add_recorded_functions_to_caller_tracker,
    F_set_function_calls_count,
    F_get_function_calls_count,
    F_send_function_call_to_handler,
    F_filter_modules_and_function_from_globals,
    F_record_user_function_return_value,
    F_record_user_async_function_return_value,
    F_record_external_return_value,
    F_record_async_external_return_value,
    F_record_return_value_async,
    F_get_exc_value,
    F_load_attr_hook,
    F_load_global_hook,
    F_COUNT
};

struct State {
    // The per-thread map of Trindle as it was at import, and the bound `get`
    // of it that was bound as Trindle_thread_id_to_current_call_get; NULL
    // when the map is not exactly a dict (then the alias is always called).
    PyObject *tid_map;
    PyObject *tid_get;
    // threading.get_ident as bound at import, when it is the interpreter's
    // own _thread.get_ident (else NULL and the alias is always called).
    PyObject *get_ident;
    // pympler's asizeof function as it was at import (the deep estimate
    // that can be skipped for small scalars).
    PyObject *asizeof_fn;
    // The module functions as this module created them.
    PyObject *fn[F_COUNT];
};

inline State *state(PyObject *m)
{
    return static_cast<State *>(PyModule_GetState(m));
}

// Module-level name `name` looked up now; new reference.
#define G(name) tw::global(m, TW_STR(name))

inline Ref none_ref() { return Ref::borrow(Py_None); }

// Truth value of a borrowed object: 1, 0, or -1 with an exception.
inline int truth(PyObject *o)
{
    if (o == Py_None || o == Py_False)
        return 0;
    if (o == Py_True)
        return 1;
    return PyObject_IsTrue(o);
}

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

// obj.name = value; 0 or -1.
inline int set_attr(PyObject *obj, PyObject *name, PyObject *value)
{
    if (name == nullptr)
        return -1;
    return PyObject_SetAttr(obj, name, value);
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

// Calls the module function bound under `name`: the C++ implementation
// `impl` when the name still holds this module's own function, the bound
// object otherwise. New reference.
template <typename Impl, typename... A>
Ref call_fn(PyObject *m, Fn idx, PyObject *name, Impl impl, A... args)
{
    Ref f = tw::global(m, name);
    if (!f)
        return nullptr;
    if (f.get() == state(m)->fn[idx])
        return impl(m, args...);
    return tw::call(f.get(), args...);
}

// --------------------------------------------------- caught exceptions

// An exception caught by an `except` clause: fetched and normalized, with
// its traceback attached, as the clause binds it.
class Caught {
  public:
    Caught() = default;
    Caught(const Caught &) = delete;
    Caught &operator=(const Caught &) = delete;
    ~Caught() { clear(); }

    void fetch()
    {
#if PY_VERSION_HEX >= 0x030C0000
        v_ = PyErr_GetRaisedException();
        if (v_ != nullptr)
            t_ = Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(v_)));
#else
        PyErr_Fetch(&t_, &v_, &tb_);
        if (t_ == nullptr)
            return;
        PyErr_NormalizeException(&t_, &v_, &tb_);
        if (tb_ != nullptr && v_ != nullptr)
            PyException_SetTraceback(v_, tb_);
#endif
    }
    // Raises it again (the clause did not match).
    void restore()
    {
#if PY_VERSION_HEX >= 0x030C0000
        Py_CLEAR(t_);
        PyErr_SetRaisedException(v_);
#else
        PyErr_Restore(t_, v_, tb_);
#endif
        t_ = v_ = tb_ = nullptr;
    }
    void clear()
    {
        Py_CLEAR(t_);
        Py_CLEAR(v_);
        Py_CLEAR(tb_);
    }
    // `except cls`: 1, 0.
    bool matches(PyObject *cls) const
    {
        return t_ != nullptr && PyErr_GivenExceptionMatches(t_, cls);
    }
    PyObject *value() const { return v_; }  // borrowed

  private:
    PyObject *t_ = nullptr, *v_ = nullptr, *tb_ = nullptr;
};

// Gives the exception being raised now `context` as its __context__, as an
// exception raised inside an `except` clause gets the one being handled.
void chain_context(PyObject *context)
{
    if (context == nullptr || !PyErr_Occurred())
        return;
    Caught now;
    now.fetch();
    if (now.value() != nullptr && now.value() != context &&
        PyExceptionInstance_Check(now.value()))
        PyException_SetContext(now.value(), Py_NewRef(context));
    now.restore();
}

// --------------------------------------------------- the pending exception

// The thread's pending exception, taken out of the thread state at the start
// of an end-of-call entry so that the entry's own work cannot disturb it,
// and either consumed as get_exc_value consumes it or put back.
class Pending {
  public:
    Pending() = default;
    Pending(const Pending &) = delete;
    Pending &operator=(const Pending &) = delete;
    ~Pending()
    {
        Py_CLEAR(t_);
        Py_CLEAR(v_);
        Py_CLEAR(tb_);
    }

    void fetch()
    {
#if PY_VERSION_HEX >= 0x030C0000
        v_ = PyErr_GetRaisedException();
        if (v_ != nullptr)
            t_ = Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(v_)));
#else
        PyErr_Fetch(&t_, &v_, &tb_);
#endif
    }
    bool empty() const { return t_ == nullptr; }
    // Puts it back as the thread's pending exception (replacing any other).
    void restore()
    {
        if (t_ == nullptr)
            return;
#if PY_VERSION_HEX >= 0x030C0000
        Py_CLEAR(t_);
        PyErr_SetRaisedException(v_);
#else
        PyErr_Restore(t_, v_, tb_);
#endif
        t_ = v_ = tb_ = nullptr;
    }
    // What get_exc_value returns for it, consuming it: the class of None
    // when nothing (or a type without a value) is pending, the value when
    // its type derives from Exception, the pending type otherwise. New
    // reference, or NULL with an exception if the subclass test fails.
    Ref take_value()
    {
        Py_CLEAR(tb_);
        Ref t = Ref::steal(t_);
        Ref v = Ref::steal(v_);
        t_ = v_ = nullptr;
        if (!v)
            return Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(Py_None)));
        int sub = PyObject_IsSubclass(
            reinterpret_cast<PyObject *>(Py_TYPE(v.get())), PyExc_Exception);
        if (sub < 0)
            return nullptr;
        return sub ? std::move(v) : std::move(t);
    }

  private:
    PyObject *t_ = nullptr, *v_ = nullptr, *tb_ = nullptr;
};

// `get_exc_value()` at a call site of an entry whose pending exception is
// held by `pending`. New reference.
Ref take_exc(PyObject *m, Pending &pending)
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

#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000
#define MARROWICK_SCRATCH_KEY 1
#endif

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

// Marks the reusable key as in use for the duration of one lookup.
class ScratchLookup {
  public:
    ScratchLookup() { g_key_busy = true; }
    ~ScratchLookup() { g_key_busy = false; }
    ScratchLookup(const ScratchLookup &) = delete;
    ScratchLookup &operator=(const ScratchLookup &) = delete;
};
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
    Ref ident = own_ident ? Ref::steal(PyLong_FromUnsignedLong(
                                PyThread_get_thread_ident()))
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

// ------------------------------------------------------- followed identities

// `id(obj) in ids`: 1, 0, or -1 with an exception.
int id_in(PyObject *ids, PyObject *obj)
{
#ifdef MARROWICK_SCRATCH_KEY
    if (PyAnySet_CheckExact(ids)) {
        PyObject *key = scratch_key(static_cast<unsigned long long>(
            reinterpret_cast<uintptr_t>(obj)));
        if (key != nullptr) {
            ScratchLookup busy;
            return PySet_Contains(ids, key);
        }
    }
#endif
    Ref key = Ref::steal(PyLong_FromVoidPtr(obj));
    if (!key)
        return -1;
    return PySequence_Contains(ids, key.get());
}

// What the used-attributes collector keeps beside its map (imported when
// the module is built; NULL when that failed, then entries are plain sets
// and identities are followed without their types).
PyObject *g_used_names = nullptr;     // the class UsedNames
PyObject *g_followed_types = nullptr;  // id -> weak reference to the type
PyObject *g_enum_meta = nullptr;       // enum.EnumMeta

// Notes the type of the object a followed identity was added for; a
// failure only leaves the identity without a type.
void note_followed_type(PyObject *key, PyObject *obj)
{
    if (g_followed_types == nullptr)
        return;
    PyObject *ref =
        PyWeakref_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(obj)), nullptr);
    if (ref == nullptr || PyDict_SetItem(g_followed_types, key, ref) < 0)
        PyErr_Clear();
    Py_XDECREF(ref);
}

// Whether the followed identity `key` (of `obj`) was added for an object of
// obj's type. When not, it was another object's, which is gone: the
// identity stops being followed. Never fails.
bool followed_for(PyObject *ids, PyObject *key, PyObject *obj)
{
    if (g_followed_types == nullptr)
        return true;
    PyObject *ref = PyDict_GetItemWithError(g_followed_types, key);
    if (ref == nullptr) {
        PyErr_Clear();
        return true;  // added by someone else
    }
    if (tw::owner_is(ref, reinterpret_cast<PyObject *>(Py_TYPE(obj))))
        return true;
    if (PyDict_DelItem(g_followed_types, key) < 0)
        PyErr_Clear();
    if (PySet_CheckExact(ids) && PySet_Discard(ids, key) < 0)
        PyErr_Clear();
    return false;
}

// `IDS_TO_FOLLOW.add(id(obj))`; 0 or -1.
int follow(PyObject *m, PyObject *obj)
{
    Ref ids = G("IDS_TO_FOLLOW");
    if (!ids)
        return -1;
    Ref key = Ref::steal(PyLong_FromVoidPtr(obj));
    if (!key)
        return -1;
    if (add_to(ids.get(), key.get()) < 0)
        return -1;
    note_followed_type(key.get(), obj);
    return 0;
}

// A new entry of used_attributes for `obj` holding `attr`: a UsedNames
// that knows its object; new reference.
Ref new_used_names(PyObject *obj, PyObject *attr)
{
    Ref names;
    if (g_used_names != nullptr) {
        names = Ref::steal(PyObject_CallNoArgs(g_used_names));
        if (names) {
            Ref owner = Ref::steal(tw::owner_of(obj));
            if (!owner ||
                PyObject_SetAttr(names.get(), TW_STR("owner"), owner.get()) < 0)
                return nullptr;
        }
    } else {
        names = Ref::steal(PySet_New(nullptr));
    }
    if (!names || PySet_Add(names.get(), attr) < 0)
        return nullptr;
    return names;
}

// Keeps on a UsedNames entry the value the program loaded under `attr` when
// it is an atom (and forgets an older one when it is not). Never fails.
void keep_loaded(PyObject *names, PyObject *attr, PyObject *result)
{
    if (g_used_names == nullptr ||
        reinterpret_cast<PyObject *>(Py_TYPE(names)) != g_used_names)
        return;
    Ref kept = tw::getattr(names, TW_STR("kept"));
    if (kept && PyDict_CheckExact(kept.get())) {
        if (tw::keepable_atom(result, g_enum_meta)) {
            if (PyDict_SetItem(kept.get(), attr, result) < 0)
                PyErr_Clear();
        } else if (PyDict_GET_SIZE(kept.get()) != 0 &&
                   PyDict_DelItem(kept.get(), attr) < 0) {
            PyErr_Clear();
        }
    }
    if (PyErr_Occurred())
        PyErr_Clear();
}

// ------------------------------------------------------------ metrics

// The four identity values read from CollectorSettings now.
struct Identity {
    Ref v[4];
};

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

// `<cls_name>(<the four identity values>, *extra)`; new reference.
template <typename... A>
Ref make_metric(PyObject *m, PyObject *cls_name, A... extra)
{
    Ref cls = tw::global(m, cls_name);
    if (!cls)
        return nullptr;
    Identity id;
    if (identity(m, id) < 0)
        return nullptr;
    return tw::call(cls.get(), id.v[0].get(), id.v[1].get(), id.v[2].get(),
                    id.v[3].get(), extra...);
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

Ref is_size_too_big_impl(PyObject *m, PyObject *obj);
Ref create_size_too_big_metric_impl(PyObject *m, PyObject *function_full_name,
                                    PyObject *name, PyObject *failure_place);

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
                Ref size = fn && three ? tw::call_kw(fn.get(), TW_NAMES("limit"),
                                                     obj, three.get())
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
    Ref tmpl = member(m, TW_STR("LimitReasons"),
                      TW_STR("MAX_STRING_SIZE_EXCEEDED"));
    if (!tmpl)
        return nullptr;
    Ref message = tw::call_method(tmpl.get(), TW_STR("format"), name,
                                  failure_place);
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

// `str_obj.endswith(suffix)`: 1, 0 or -1.
int ends_with(PyObject *str_obj, PyObject *suffix)
{
    if (PyUnicode_CheckExact(str_obj)) {
        Py_ssize_t r = PyUnicode_Tailmatch(str_obj, suffix, 0,
                                           PY_SSIZE_T_MAX, 1);
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
    return set_attr(function_metadata, TW_STR("full_name"), name.get());
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
        skip = should_skip_external_function_impl(m, full_name.get(),
                                                  module_name.get(), did_check);
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

// The guarded part of record_external_return_value; 0 or -1.
int complete_external_record(PyObject *m, PyObject *return_value,
                             PyObject *func_obj, PyObject *exc)
{
    Ref r = tw::call_method(func_obj, TW_STR("add_execption"), exc);
    if (!r)
        return -1;
    Ref big = call_fn(m, F_is_size_too_big, TW_STR("is_size_too_big"),
                      is_size_too_big_impl, return_value);
    if (!big)
        return -1;
    int t = truth(big.get());
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

// `cur_exc` NULL stands for its default, None.
Ref record_external_return_value_impl(PyObject *m, PyObject *return_value,
                                      PyObject *func_obj, PyObject *cur_exc,
                                      Pending &pending)
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

// ------------------------------------------------------- start of a user call

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
        Ref self = Ref::steal(PyObject_GetAttr(function.get(), self_name.get()));
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
        out_args = Ref::steal(
            PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
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

// Blacklists the full name of `function_metadata`; 0 or -1.
int blacklist(PyObject *m, PyObject *function_metadata)
{
    Ref names = G("BLACKLISTED_FUNCTIONS");
    if (!names)
        return -1;
    Ref full_name = tw::getattr(function_metadata, TW_STR("full_name"));
    if (!full_name)
        return -1;
    return add_to(names.get(), full_name.get());
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
        Ref big = call_fn(m, F_is_size_too_big, TW_STR("is_size_too_big"),
                          is_size_too_big_impl, value.get());
        if (!big)
            return nullptr;
        int t = truth(big.get());
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
            Ref sent =
                f.get() == state(m)->fn[F_create_size_too_big_metric]
                    ? create_size_too_big_metric_impl(m, full_name.get(), name,
                                                      place)
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
        Ref stored_args = globals ? redacted_arguments(m, function.get(),
                                                       skips_first,
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
    Caught e;
    e.fetch();
    if (blacklist(m, function_metadata.get()) < 0) {
        chain_context(e.value());
        return nullptr;
    }
    return none_ref();
}

// The body of record_user_function_call; `kwargs` is a new dict.
Ref record_user_function_call_impl(PyObject *m, PyObject *args,
                                   PyObject *kwargs)
{
    Ref collection_try = make_metric(m, TW_STR("CollectionTry"));
    if (send_metric(m, collection_try.get()) < 0)
        return nullptr;
    Ref record =
        call_fn(m, F_get_function_call_object, TW_STR("get_function_call_object"),
                get_function_call_object_impl, args, kwargs);
    if (!record)
        return nullptr;
    if (record.get() == Py_None) {
        Ref why = member(m, TW_STR("UnpicklableReasons"), TW_STR("GENERAL"));
        if (!why)
            return nullptr;
        Ref empty = Ref::steal(PyUnicode_FromStringAndSize("", 0));
        if (!empty)
            return nullptr;
        Ref metric = make_metric(m, TW_STR("Unpicklable"), empty.get(),
                                 why.get());
        if (send_metric(m, metric.get()) < 0)
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
    if (set_attr(tracker.get(), TW_STR("caller_function"), caller.get()) < 0)
        return nullptr;
    if (set_current(m, tracker.get()) < 0)
        return nullptr;
    return record;
}

// ----------------------------------------------------------------- name loads

Ref filter_modules_and_function_from_globals_impl(PyObject *m,
                                                  PyObject *function_globals,
                                                  PyObject *func_full_name)
{
    if (tw::check_exact(func_full_name, "func_full_name", tw::Kind::Str) < 0)
        return nullptr;
    Ref used = Ref::steal(PyDict_New());
    if (!used)
        return nullptr;
    Ref it = Ref::steal(PyObject_GetIter(function_globals));
    if (!it)
        return nullptr;
    for (;;) {
        Ref key = Ref::steal(PyIter_Next(it.get()));
        if (!key) {
            if (PyErr_Occurred())
                return nullptr;
            break;
        }
        Ref value = Ref::steal(PyObject_GetItem(function_globals, key.get()));
        if (!value)
            return nullptr;
        Ref types_mod = G("types");
        Ref module_type =
            types_mod ? tw::getattr(types_mod.get(), TW_STR("ModuleType"))
                      : nullptr;
        if (!module_type)
            return nullptr;
        int is_module = type_equals(value.get(), module_type.get());
        if (is_module < 0)
            return nullptr;
        if (is_module) {
            Ref attrs = G("used_attributes");
            if (!attrs)
                return nullptr;
            int r = id_in(attrs.get(), value.get());
            if (r < 0)
                return nullptr;
            if (r && PyDict_SetItem(used.get(), key.get(), value.get()) < 0)
                return nullptr;
            continue;
        }
        Ref big = call_fn(m, F_is_size_too_big, TW_STR("is_size_too_big"),
                          is_size_too_big_impl, value.get());
        if (!big)
            return nullptr;
        int t = truth(big.get());
        if (t < 0)
            return nullptr;
        if (t) {
            Ref sent = call_fn(m, F_create_size_too_big_metric,
                               TW_STR("create_size_too_big_metric"),
                               create_size_too_big_metric_impl, func_full_name,
                               key.get(), TW_STR("globals"));
            if (!sent)
                return nullptr;
            if (set_current(m, Py_None) < 0)
                return nullptr;
            return none_ref();
        }
        if (PyDict_SetItem(used.get(), key.get(), value.get()) < 0)
            return nullptr;
    }
    return used;
}

// --------------------------------------------------------- end of a user call

Ref send_function_call_to_handler_impl(PyObject *m, PyObject *record);
Ref add_recorded_functions_to_caller_tracker_impl(PyObject *m,
                                                  PyObject *flow_tracker);

// How far the end of a user call got, for the hand-over after a failure.
struct EndProgress {
    bool tracker_read = false;  // step 4 ran
    Ref tracker;                // the call's tracker, when there was one
    bool caller_taken = false;  // step 12 ran
    Ref caller;
    bool handed_over = false;   // step 16 was reached
};

// Steps 16 to 19: the finished call's tracker hands over to its caller's
// (merge under the limit; then the caller's tracker, or None at the
// outermost level, becomes current). 0 or -1.
int hand_over(PyObject *m, PyObject *tracker, PyObject *caller,
              EndProgress &progress)
{
    progress.handed_over = true;
    if (set_attr(tracker, TW_STR("caller_function"), caller) < 0)
        return -1;
    Ref exceeded = call_fn(m, F_add_recorded_functions_to_caller_tracker,
                           TW_STR("add_recorded_functions_to_caller_tracker"),
                           add_recorded_functions_to_caller_tracker_impl,
                           tracker);
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
    Ref callers_caller = t ? tw::getattr(caller, TW_STR("caller_function"))
                           : none_ref();
    if (!callers_caller)
        return -1;
    return set_attr(tracker, TW_STR("caller_function"), callers_caller.get());
}

// Steps 3 to 19 of the end of a user call (the guarded block). 0, or -1
// with the failure pending.
int finish_user_call(PyObject *m, PyObject *ret_val, PyObject *record,
                     PyObject *cur_exc, Pending &pending,
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
        filter.get() == state(m)->fn[F_filter_modules_and_function_from_globals]
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
        if (!data || set_attr(record, TW_STR("globals"), data.get()) < 0)
            return -1;
    }
    if (!tw::call_method(record, TW_STR("add_execption"), exc.get()))
        return -1;
    Ref big = call_fn(m, F_is_size_too_big, TW_STR("is_size_too_big"),
                      is_size_too_big_impl, ret_val);
    if (!big)
        return -1;
    int t = truth(big.get());
    if (t < 0)
        return -1;
    if (t) {
        Ref sent = call_fn(m, F_create_size_too_big_metric,
                           TW_STR("create_size_too_big_metric"),
                           create_size_too_big_metric_impl,
                           func_full_name.get(), func_full_name.get(),
                           TW_STR("user_func_return_value"));
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
    if (set_attr(w, TW_STR("caller_function"), Py_None) < 0 ||
        set_attr(w, TW_STR("last_call"), Py_None) < 0)
        return -1;
    Ref recorded = tw::getattr(w, TW_STR("recorded_functions"));
    if (!recorded ||
        set_attr(record, TW_STR("external_calls"), recorded.get()) < 0)
        return -1;
    Ref unknown = tw::getattr(w, TW_STR("unknown_modules"));
    if (!unknown ||
        set_attr(record, TW_STR("unknown_modules"), unknown.get()) < 0)
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
    if (!md || blacklist(m, md.get()) < 0)
        return -1;
    if (kind == 0)
        metric = unpicklable_from(m, e, TW_STR("PROBLEMATIC_PICKLE_TYPE_INDEX"),
                                  TW_STR("REDUCE"));
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

Ref record_user_function_return_value_impl(PyObject *m, PyObject *ret_val,
                                           PyObject *record, PyObject *cur_exc,
                                           Pending &pending)
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
    Caught e;
    e.fetch();
    Ref problematic = G("ProblematicPickleException");
    if (!problematic) {
        chain_context(e.value());
        return nullptr;
    }
    int kind = e.matches(problematic.get())       ? 0
               : e.matches(PyExc_TypeError)       ? 1
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
                Ref channel = cs ? tw::getattr(cs.get(),
                                               TW_STR("data_subprocess"))
                                 : nullptr;
                Ref sent = channel ? tw::call_method(channel.get(),
                                                     TW_STR("send_message"),
                                                     data.get())
                                   : nullptr;
                if (sent) {
                    Ref success = make_metric(m, TW_STR("CollectionSuccess"));
                    ok = send_metric(m, success.get());
                }
            }
        }
    }
    if (ok == 0)
        return none_ref();
    Caught e;
    e.fetch();
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
        metric = unpicklable_from(m, e.value(), TW_STR("TYPE_ERROR_TYPE_INDEX"),
                                  TW_STR("TYPE_ERROR"));
    else {
        e.restore();
        return nullptr;
    }
    if (send_metric(m, metric.get()) < 0) {
        chain_context(e.value());
        return nullptr;
    }
    return none_ref();
}

Ref add_recorded_functions_to_caller_tracker_impl(PyObject *m,
                                                  PyObject *flow_tracker)
{
    // First block: globals, then the external calls under the limit.
    int first = -1;
    do {
        int t = truth(flow_tracker);
        if (t <= 0) {
            first = t;
            break;
        }
        Ref caller = tw::getattr(flow_tracker, TW_STR("caller_function"));
        if (!caller)
            break;
        t = truth(caller.get());
        if (t <= 0) {
            first = t;
            break;
        }
        Ref caller_globals = tw::getattr(caller.get(), TW_STR("globals"));
        Ref own_globals = caller_globals
                              ? tw::getattr(flow_tracker, TW_STR("globals"))
                              : nullptr;
        if (!own_globals ||
            !tw::call_method(caller_globals.get(), TW_STR("update"),
                             own_globals.get()))
            break;
        Ref own = tw::getattr(flow_tracker, TW_STR("recorded_functions"));
        if (!own)
            break;
        Py_ssize_t n_own = PyObject_Size(own.get());
        if (n_own < 0)
            break;
        caller = tw::getattr(flow_tracker, TW_STR("caller_function"));
        Ref callers = caller ? tw::getattr(caller.get(),
                                           TW_STR("recorded_functions"))
                             : nullptr;
        if (!callers)
            break;
        Py_ssize_t n_callers = PyObject_Size(callers.get());
        if (n_callers < 0)
            break;
        Ref total = Ref::steal(PyLong_FromSsize_t(n_own + n_callers));
        Ref cs = total ? G("CollectorSettings") : nullptr;
        Ref limit = cs ? tw::getattr(cs.get(), TW_STR("external_calls_max"))
                       : nullptr;
        if (!limit)
            break;
        Ref over =
            Ref::steal(PyObject_RichCompare(total.get(), limit.get(), Py_GT));
        if (!over)
            break;
        t = truth(over.get());
        if (t < 0)
            break;
        if (t)
            return Ref::borrow(Py_True);
        Ref own_again = tw::getattr(flow_tracker, TW_STR("recorded_functions"));
        Ref it = own_again ? Ref::steal(PyObject_GetIter(own_again.get()))
                           : nullptr;
        if (!it)
            break;
        bool failed = false;
        for (;;) {
            Ref item = Ref::steal(PyIter_Next(it.get()));
            if (!item) {
                failed = PyErr_Occurred() != nullptr;
                break;
            }
            Ref target = tw::getattr(flow_tracker, TW_STR("caller_function"));
            if (!target ||
                !tw::call_method(target.get(),
                                 TW_STR("add_external_module_call"),
                                 item.get())) {
                failed = true;
                break;
            }
        }
        if (!failed)
            first = 0;
    } while (false);
    if (first < 0) {
        if (!tw::containable())
            return nullptr;
        PyErr_Clear();
    }

    // Second block: the unknown module names.
    int second = -1;
    do {
        int t = truth(flow_tracker);
        if (t <= 0) {
            second = t;
            break;
        }
        Ref caller = tw::getattr(flow_tracker, TW_STR("caller_function"));
        if (!caller)
            break;
        t = truth(caller.get());
        if (t <= 0) {
            second = t;
            break;
        }
        Ref names = tw::getattr(flow_tracker, TW_STR("unknown_modules"));
        Ref it = names ? Ref::steal(PyObject_GetIter(names.get())) : nullptr;
        if (!it)
            break;
        bool failed = false;
        for (;;) {
            Ref item = Ref::steal(PyIter_Next(it.get()));
            if (!item) {
                failed = PyErr_Occurred() != nullptr;
                break;
            }
            Ref target = tw::getattr(flow_tracker, TW_STR("caller_function"));
            Ref set = target ? tw::getattr(target.get(),
                                           TW_STR("unknown_modules"))
                             : nullptr;
            if (!set || add_to(set.get(), item.get()) < 0) {
                failed = true;
                break;
            }
        }
        if (!failed)
            second = 0;
    } while (false);
    if (second < 0) {
        if (!tw::containable())
            return nullptr;
        PyErr_Clear();
    }
    return Ref::borrow(Py_False);
}

// ------------------------------------------------- Python-level functions

#define FASTCALL_ARGS                                                          \
    PyObject *m, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames

PyObject *py_get_module_location(FASTCALL_ARGS)
{
    static const tw::Param params[] = {{"module_name"}};
    PyObject *a[1];
    if (tw::parse("get_module_location", params, args, nargs, kwnames, a) < 0)
        return nullptr;
    return get_module_location_impl(m, a[0]).release();
}

PyObject *py_is_size_too_big(FASTCALL_ARGS)
{
    static const tw::Param params[] = {{"obj"}};
    PyObject *a[1];
    if (tw::parse("is_size_too_big", params, args, nargs, kwnames, a) < 0)
        return nullptr;
    return is_size_too_big_impl(m, a[0]).release();
}

PyObject *py_create_size_too_big_metric(FASTCALL_ARGS)
{
    static const tw::Param params[] = {{"function_full_name"},
                                       {"name"},
                                       {"failure_place"}};
    PyObject *a[3];
    if (tw::parse("create_size_too_big_metric", params, args, nargs, kwnames,
                  a) < 0)
        return nullptr;
    return create_size_too_big_metric_impl(m, a[0], a[1], a[2]).release();
}

PyObject *py_should_skip_external_function(FASTCALL_ARGS)
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

PyObject *py_record_external_call(FASTCALL_ARGS)
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

PyObject *py_get_function_call_object(FASTCALL_ARGS)
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

PyObject *py_add_recorded_functions_to_caller_tracker(FASTCALL_ARGS)
{
    static const tw::Param params[] = {{"flow_tracker"}};
    PyObject *a[1];
    if (tw::parse("add_recorded_functions_to_caller_tracker", params, args,
                  nargs, kwnames, a) < 0)
        return nullptr;
    return add_recorded_functions_to_caller_tracker_impl(m, a[0]).release();
}

PyObject *py_set_function_calls_count(FASTCALL_ARGS)
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
    if (t && set_attr(a[0], TW_STR("function_calls_count"), a[1]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *py_get_function_calls_count(FASTCALL_ARGS)
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

PyObject *py_send_function_call_to_handler(FASTCALL_ARGS)
{
    static const tw::Param params[] = {{"function_under_test"}};
    PyObject *a[1];
    if (tw::parse("send_function_call_to_handler", params, args, nargs,
                  kwnames, a) < 0)
        return nullptr;
    return send_function_call_to_handler_impl(m, a[0]).release();
}

PyObject *py_filter_modules_and_function_from_globals(FASTCALL_ARGS)
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

PyObject *py_record_user_function_return_value(FASTCALL_ARGS)
{
    Pending pending;
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

// Forwards to the module function `record_user_function_return_value`.
Ref forward_user_return(PyObject *m, PyObject *ret_val, PyObject *record,
                        PyObject *cur_exc, Pending &pending)
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

PyObject *py_record_user_async_function_return_value(FASTCALL_ARGS)
{
    Pending pending;
    pending.fetch();
    static const tw::Param params[] = {
        {"ret_val"}, {"function_under_test"}, tw::opt("cur_exc")};
    PyObject *a[3];
    if (tw::parse("record_user_async_function_return_value", params, args,
                  nargs, kwnames, a) < 0)
        return nullptr;
    return forward_user_return(m, a[0], a[1], a[2], pending).release();
}

PyObject *py_record_external_return_value(FASTCALL_ARGS)
{
    Pending pending;
    pending.fetch();
    static const tw::Param params[] = {
        {"return_value"}, {"func_obj"}, tw::opt("cur_exc")};
    PyObject *a[3];
    if (tw::parse("record_external_return_value", params, args, nargs,
                  kwnames, a) < 0)
        return nullptr;
    return record_external_return_value_impl(m, a[0], a[1], a[2], pending)
        .release();
}

// Forwards to the module function `record_external_return_value`.
Ref forward_external_return(PyObject *m, PyObject *return_value,
                            PyObject *func_obj, PyObject *cur_exc,
                            Pending &pending)
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

PyObject *py_record_async_external_return_value(FASTCALL_ARGS)
{
    Pending pending;
    pending.fetch();
    static const tw::Param params[] = {
        {"return_value"}, {"func_obj"}, tw::opt("cur_exc")};
    PyObject *a[3];
    if (tw::parse("record_async_external_return_value", params, args, nargs,
                  kwnames, a) < 0)
        return nullptr;
    return forward_external_return(m, a[0], a[1], a[2], pending).release();
}

PyObject *py_record_return_value_async(FASTCALL_ARGS)
{
    Pending pending;
    pending.fetch();
    static const tw::Param params[] = {{"return_value"}, {"func_obj"}};
    PyObject *a[2];
    if (tw::parse("record_return_value_async", params, args, nargs, kwnames,
                  a) < 0)
        return nullptr;
    Ref exc = take_exc(m, pending);
    if (!exc)
        return nullptr;
    Pending nothing;  // the exception has been taken
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

PyObject *py_get_exc_value(FASTCALL_ARGS)
{
    (void)m;
    (void)args;
    Pending pending;
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

PyObject *py_load_attr_hook(FASTCALL_ARGS)
{
    PyObject *obj, *attr, *result;
    if (nargs == 3 && kwnames == nullptr) {
        obj = args[0];
        attr = args[1];
        result = args[2];
        if (tw::check_exact(attr, "attr", tw::Kind::Str) < 0)
            return nullptr;
    } else {
        static const tw::Param params[] = {
            {"obj"}, {"attr", tw::Kind::Str}, {"result"}};
        PyObject *a[3];
        if (tw::parse("load_attr_hook", params, args, nargs, kwnames, a) < 0)
            return nullptr;
        obj = a[0];
        attr = a[1];
        result = a[2];
    }
    // Guarded: whatever fails here is dropped, the user's load goes on.
    do {
        Ref ids = G("IDS_TO_FOLLOW");
        if (!ids)
            break;
        int r = id_in(ids.get(), obj);
        if (r <= 0)
            break;
        Ref key = Ref::steal(PyLong_FromVoidPtr(obj));
        if (!key)
            break;
        // An identity followed for an object of another type was that
        // object's: this one was never reached from a global.
        if (!followed_for(ids.get(), key.get(), obj))
            break;
        Ref attrs = G("used_attributes");
        if (!attrs)
            break;
        r = PySequence_Contains(attrs.get(), key.get());
        if (r < 0)
            break;
        // An entry made for an earlier object at this address is replaced.
        Ref names;
        if (r) {
            names = Ref::steal(PyObject_GetItem(attrs.get(), key.get()));
            if (!names)
                break;
            if (!tw::entry_applies(names.get(), obj))
                names.reset();
        }
        if (names) {
            if (follow(m, result) < 0)
                break;
            // A UsedNames is a set whose `add` is the set's own.
            if ((g_used_names != nullptr &&
                 reinterpret_cast<PyObject *>(Py_TYPE(names.get())) ==
                     g_used_names
                     ? PySet_Add(names.get(), attr)
                     : add_to(names.get(), attr)) < 0)
                break;
            keep_loaded(names.get(), attr, result);
        } else {
            names = new_used_names(obj, attr);
            if (!names)
                break;
            attrs = G("used_attributes");
            if (!attrs ||
                PyObject_SetItem(attrs.get(), key.get(), names.get()) < 0)
                break;
            keep_loaded(names.get(), attr, result);
            follow(m, result);
        }
    } while (false);
    if (PyErr_Occurred())
        PyErr_Clear();
    Py_RETURN_NONE;
}

PyObject *py_load_global_hook(FASTCALL_ARGS)
{
    PyObject *global_obj, *name;
    if (nargs == 2 && kwnames == nullptr) {
        global_obj = args[0];
        name = args[1];
        if (tw::check_exact(name, "name", tw::Kind::Str) < 0)
            return nullptr;
    } else {
        static const tw::Param params[] = {{"global_obj"},
                                           {"name", tw::Kind::Str}};
        PyObject *a[2];
        if (tw::parse("load_global_hook", params, args, nargs, kwnames, a) < 0)
            return nullptr;
        global_obj = a[0];
        name = a[1];
    }
    Ref tracker = current_tracker(m);
    if (!tracker)
        return nullptr;
    if (tracker.get() == Py_None)
        Py_RETURN_NONE;
    int t = truth(tracker.get());
    if (t < 0)
        return nullptr;
    if (t) {
        Ref globals = tw::getattr(tracker.get(), TW_STR("globals"));
        if (!globals || PyObject_SetItem(globals.get(), name, global_obj) < 0)
            return nullptr;
        if (follow(m, global_obj) < 0)
            return nullptr;
    }
    Py_RETURN_NONE;
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
};

// ------------------------------------------------------------ module body

int set_const(PyObject *m, const char *name, Ref value)
{
    if (!value)
        return -1;
    return tw::set_global(m, name, value.get());
}

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
        "LimitFailure",   "LimitReasons"};
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
        Ref enum_meta =
            enum_mod ? tw::getattr(enum_mod.get(), TW_STR("EnumMeta")) : nullptr;
        if (!enum_meta)
            return -1;
        Py_XSETREF(g_enum_meta, enum_meta.release());
    }

    // Constants and state.
    Ref consts = G("ShouldMockConsts");
    if (!consts ||
        set_const(m, "STATELESS_EXTERNAL_FULL_NAMES",
                  tw::getattr(consts.get(),
                              TW_STR("STATELESS_EXTERNAL_FULL_NAMES"))) < 0)
        return -1;
    if (set_const(m, "CACHED_NONE_EXTERNAL_MODULES",
                  Ref::steal(PySet_New(nullptr))) < 0 ||
        set_const(m, "TYPE_ERROR_TYPE_INDEX",
                  Ref::steal(PyLong_FromLong(1))) < 0 ||
        set_const(m, "PROBLEMATIC_PICKLE_TYPE_INDEX",
                  Ref::steal(PyLong_FromLong(2))) < 0 ||
        set_const(m, "FUNCTION_META_DATA_INDEX",
                  Ref::steal(PyLong_FromLong(0))) < 0 ||
        set_const(m, "IS_FUNCTION_FOR_RECORDING_INDEX",
                  Ref::steal(PyLong_FromLong(1))) < 0 ||
        set_const(m, "MAX_STRING_SIZE",
                  Ref::steal(PyFloat_FromDouble(805306368.0))) < 0 ||
        set_const(m, "__SELF__", Ref::steal(PyUnicode_FromString("__self__"))) <
            0 ||
        set_const(m, "IDS_TO_FOLLOW", Ref::steal(PySet_New(nullptr))) < 0)
        return -1;
    {
        Ref init = tw::getattr(reinterpret_cast<PyObject *>(&PyType_Type),
                               TW_STR("__init__"));
        if (!init ||
            set_const(m, "WRAPPER_DESCRIPTOR",
                      Ref::borrow(reinterpret_cast<PyObject *>(
                          Py_TYPE(init.get())))) < 0)
            return -1;
    }
    if (set_const(m, "QUALNAME_STR",
                  Ref::steal(PyUnicode_FromString("__qualname__"))) < 0 ||
        set_const(m, "FUNC_STR", Ref::steal(PyUnicode_FromString("__func__"))) <
            0 ||
        set_const(m, "FUNC_NAME",
                  Ref::steal(PyUnicode_FromString("__name__"))) < 0 ||
        set_const(m, "SELF_CONST",
                  Ref::steal(PyUnicode_FromString("__self__"))) < 0)
        return -1;
    {
        // type(type.__dict__["mro"])
        Ref ns = tw::getattr(reinterpret_cast<PyObject *>(&PyType_Type),
                             TW_STR("__dict__"));
        Ref mro = ns ? Ref::steal(PyObject_GetItem(ns.get(), TW_STR("mro")))
                     : nullptr;
        if (!mro ||
            set_const(m, "METHOD_DESCRIPTOR",
                      Ref::borrow(reinterpret_cast<PyObject *>(
                          Py_TYPE(mro.get())))) < 0)
            return -1;
    }
    {
        // The aliases, bound once.
        Ref trindle = G("Trindle");
        if (!trindle)
            return -1;
        Ref map = tw::getattr(trindle.get(), TW_STR("thread_id_to_current_call"));
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
        if (set_const(m, "Trindle_set_current_running_function",
                      tw::getattr(trindle.get(),
                                  TW_STR("set_current_running_function"))) < 0)
            return -1;
        Ref threading = G("threading");
        Ref ident = threading ? tw::getattr(threading.get(), TW_STR("get_ident"))
                              : nullptr;
        if (!ident || tw::set_global(m, "threading_get_ident", ident.get()) < 0)
            return -1;
        Ref thread_mod = Ref::steal(PyImport_ImportModule("_thread"));
        Ref real = thread_mod ? tw::getattr(thread_mod.get(),
                                            TW_STR("get_ident"))
                              : nullptr;
        if (!real)
            return -1;
        if (real.get() == ident.get())
            Py_XSETREF(st->get_ident, ident.new_ref());
        Ref types = G("types");
        if (!types ||
            set_const(m, "types_MethodType",
                      tw::getattr(types.get(), TW_STR("MethodType"))) < 0 ||
            set_const(m, "types_Module",
                      tw::getattr(types.get(), TW_STR("ModuleType"))) < 0)
            return -1;
    }
    if (set_const(m, "BUILTINS", Ref::steal(PyUnicode_FromString("builtins"))) <
            0 ||
        set_const(m, "reported_modules", Ref::steal(PySet_New(nullptr))) < 0 ||
        set_const(m, "FUNCTION_INDEX", Ref::steal(PyLong_FromLong(0))) < 0)
        return -1;
    {
        Ref ostrelle = G("Ostrelle");
        if (!ostrelle ||
            set_const(m, "EXTRACT_METADATA",
                      tw::getattr(ostrelle.get(),
                                  TW_STR("extract_function_metadata"))) < 0)
            return -1;
    }
    if (set_const(m, "BLACKLISTED_FUNCTIONS", Ref::steal(PySet_New(nullptr))) <
        0)
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
    Py_VISIT(st->tid_map);
    Py_VISIT(st->tid_get);
    Py_VISIT(st->get_ident);
    Py_VISIT(st->asizeof_fn);
    for (PyObject *f : st->fn)
        Py_VISIT(f);
    return 0;
}

int clear_module(PyObject *m)
{
    State *st = state(m);
    if (st == nullptr)
        return 0;
    Py_CLEAR(st->tid_map);
    Py_CLEAR(st->tid_get);
    Py_CLEAR(st->get_ident);
    Py_CLEAR(st->asizeof_fn);
    for (PyObject *&f : st->fn)
        Py_CLEAR(f);
    return 0;
}

}  // namespace

TW_MODULE_STATE(marrowick,
                "The call-recording core: the entry points the native tracer "
                "calls around recorded calls, their external calls and their "
                "name loads.",
                nullptr, exec_module, State, traverse_module, clear_module)

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
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr)
        PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyErr_Format(PyExc_SystemError,
                 "%R returned a result with an exception set", entry);
    PyObject *st, *sv, *stb;
    PyErr_Fetch(&st, &sv, &stb);
    PyErr_NormalizeException(&st, &sv, &stb);
    if (sv != nullptr && value != nullptr) {
        Py_INCREF(value);
        PyException_SetContext(sv, value);
        PyException_SetCause(sv, value);  // steals
    } else {
        Py_XDECREF(value);
    }
    PyErr_Restore(st, sv, stb);
    return nullptr;
}
