// marrowick's support: the helpers every entry uses (container and type
// tests as the statements do them, the exception chaining of an `except`
// clause, the pending exception's value), the calling thread's tracker
// (with a reusable int key so that the hooks' common paths allocate
// nothing), the metrics the module sends, the size limits of recorded
// values, and the location of a module.
#include "marrowick_internal.hpp"

#include <cstring>

#if PY_VERSION_HEX < 0x030B0000
#include <longintrepr.h>
#endif
#include <structmember.h>
#include <tsl/robin_set.h>

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

namespace {

// A serialized metric handed to the metrics channel, as the settings name
// it now. 0 or -1.
int send_metric_bytes(PyObject *m, PyObject *data)
{
    Ref cs = G("CollectorSettings");
    if (!cs)
        return -1;
    Ref channel = tw::getattr(cs.get(), TW_STR("metrics_subprocess"));
    if (!channel)
        return -1;
    Ref r = tw::call_method(channel.get(), TW_STR("send_message"), data);
    return r ? 0 : -1;
}

}  // namespace

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
    return send_metric_bytes(m, data.get());
}

namespace {

// The bytes of the metrics that are the same from call to call
// (CollectionTry and CollectionSuccess, two of which go with every recorded
// call, and the Unpicklable of each call of a refused function), with what
// made them: the class, the identity values, the values after them and the
// serializer, held so that none of them can be another object at the same
// address. Kept only for the package's own serializer, whose bytes depend
// on nothing else. The references live with the process (no destructor
// runs after the interpreter is gone).
struct KeptMetric {
    PyObject *cls = nullptr, *ser = nullptr, *bytes = nullptr;
    PyObject *id[4] = {};
    PyObject *extra[2] = {};
};
KeptMetric kept_metrics[3];

bool deterministic_serializer(PyObject *ser)
{
    PyObject *tp = reinterpret_cast<PyObject *>(Py_TYPE(ser));
    Ref module = tw::getattr(tp, TW_STR("__module__"));
    Ref qualname = module ? tw::getattr(tp, TW_STR("__qualname__")) : Ref();
    if (!qualname) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module.get()) && PyUnicode_Check(qualname.get()) &&
           PyUnicode_CompareWithASCIIString(
               module.get(),
               "tarnwick_collector.data_serialization.quessel") == 0 &&
           PyUnicode_CompareWithASCIIString(qualname.get(),
                                            "IpcPickleSerializer") == 0;
}

void keep(PyObject *&slot, PyObject *value)
{
    Py_XINCREF(value);
    Py_XSETREF(slot, value);
}

}  // namespace

int send_kept_metric(PyObject *m, PyObject *cls_name, int which,
                     PyObject *extra1, PyObject *extra2)
{
    Ref cls = tw::global(m, cls_name);
    if (!cls)
        return -1;
    Identity id;
    if (identity(m, id) < 0)
        return -1;
    Ref cs = G("CollectorSettings");
    if (!cs)
        return -1;
    Ref ser = tw::getattr(cs.get(), TW_STR("serializer"));
    if (!ser)
        return -1;
    KeptMetric &kept = kept_metrics[which];
    PyObject *extra[2] = {extra1, extra2};
    bool same = kept.bytes != nullptr && kept.cls == cls.get() &&
                kept.ser == ser.get();
    for (int i = 0; same && i < 4; i++)
        same = kept.id[i] == id.v[i].get();
    for (int i = 0; same && i < 2; i++)
        same = kept.extra[i] == extra[i];
    Ref data;
    if (same) {
        data = Ref::borrow(kept.bytes);
    } else {
        Ref metric =
            extra1 == nullptr
                ? tw::call(cls.get(), id.v[0].get(), id.v[1].get(),
                           id.v[2].get(), id.v[3].get())
                : tw::call(cls.get(), id.v[0].get(), id.v[1].get(),
                           id.v[2].get(), id.v[3].get(), extra1, extra2);
        if (!metric)
            return -1;
        data = tw::call_method(ser.get(), TW_STR("serialize"), metric.get());
        if (!data)
            return -1;
        if (PyBytes_CheckExact(data.get()) &&
            deterministic_serializer(ser.get())) {
            keep(kept.cls, cls.get());
            keep(kept.ser, ser.get());
            for (int i = 0; i < 4; i++)
                keep(kept.id[i], id.v[i].get());
            for (int i = 0; i < 2; i++)
                keep(kept.extra[i], extra[i]);
            keep(kept.bytes, data.get());
        }
    }
    return send_metric_bytes(m, data.get());
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

// An upper bound of pympler's deep estimate with limit 3, taken natively
// over the kinds of values whose sizing pympler does by rule: builtin atoms,
// strings and containers (OrderedDict and subclasses of dict written in
// Python too); instances of plain classes, abstract-collection ones included
// (their __dict__ one level down, their slots directly, their class not at
// all, as pympler counts them); thread namespaces and generators (their
// dict, their frame's locals, one level down); and code (classes, functions,
// methods), which pympler does not count. Each object counts at least what
// its sys.getsizeof gives, with room to spare, once, at depths 0 to 3; the
// items of one at depth 3 are not followed. The bound is only used to settle
// "not too big" when it is far below the limit: any other kind of object met
// (a native type of a library, an iterator, a module, a class with its own
// __sizeof__), a total above a quarter of the limit, or a walk too long,
// gives up and leaves the decision to pympler.
class SizeBound {
  public:
    explicit SizeBound(double limit) : limit_(limit) {}

    // Whether the bound settles that `obj` is not too big. Never fails.
    bool small(PyObject *obj)
    {
        const bool ok = walk(obj, 0) && total_ <= limit_;
        PyErr_Clear();
        return ok;
    }

  private:
    static constexpr int kDepth = 3;
    static constexpr size_t kMostObjects = 20000;
    static constexpr double kSlack = 64.0;

    double limit_;
    double total_ = 0.0;
    tsl::robin_set<PyObject *> seen_;

    bool add(double bytes)
    {
        total_ += bytes + kSlack;
        return total_ <= limit_;
    }

    // 1 when `o` was met before, 0 when it is new (and is now seen), -1
    // when the walk is too long.
    int meet(PyObject *o)
    {
        if (seen_.size() >= kMostObjects)
            return seen_.count(o) != 0 ? 1 : -1;
        return seen_.insert(o).second ? 0 : 1;
    }

    // The builtin __sizeof__ of `type`, called on `o`; -1 on failure.
    static double builtin_sizeof(PyTypeObject *type, PyObject *o)
    {
        PyObject *descr = _PyType_Lookup(type, TW_STR("__sizeof__"));
        if (descr == nullptr)
            return -1;
        Ref r = tw::call(descr, o);
        if (!r)
            return -1;
        const double n = PyLong_Check(r.get()) ? PyLong_AsDouble(r.get()) : -1;
        if (n < 0)
            PyErr_Clear();
        return n;
    }

    bool walk(PyObject *o, int depth)
    {
        const int met = meet(o);
        if (met != 0)
            return met > 0;
        PyTypeObject *t = Py_TYPE(o);
        // What pympler sizes as code only (classes, functions, methods,
        // builtins, code objects) counts nothing and is not followed.
        if (PyType_Check(o) || PyFunction_Check(o) || PyMethod_Check(o) ||
            PyCFunction_Check(o) || PyCode_Check(o))
            return true;
        if (o == Py_None || t == &PyBool_Type || t == &PyFloat_Type ||
            t == &PyComplex_Type)
            return add(32);
        if (t == &PyBaseObject_Type)  // a sentinel, `object()`
            return add(static_cast<double>(t->tp_basicsize));
        if (t == &PyLong_Type)
            return add(32 + static_cast<double>(_PyLong_NumBits(o)) / 8);
        if (t == &PyUnicode_Type)
            return add(80 +
                       4.0 * static_cast<double>(PyUnicode_GET_LENGTH(o)));
        if (t == &PyBytes_Type)
            return add(40 + static_cast<double>(PyBytes_GET_SIZE(o)));
        if (t == &PyByteArray_Type) {
            const double n = builtin_sizeof(t, o);
            return n >= 0 && add(n);
        }
        if (t == &PyTuple_Type || t == &PyList_Type) {
            const bool tuple = t == &PyTuple_Type;
            const Py_ssize_t n =
                tuple ? PyTuple_GET_SIZE(o) : PyList_GET_SIZE(o);
            const Py_ssize_t room =
                tuple ? n : reinterpret_cast<PyListObject *>(o)->allocated;
            if (!add(56 + 8.0 * static_cast<double>(room)))
                return false;
            if (depth >= kDepth)
                return true;
            // Held: a list may change while its items are walked (nothing
            // here runs code, but be safe against a shorter list).
            Ref held = Ref::borrow(o);
            for (Py_ssize_t i = 0; i < n; i++) {
                PyObject *item =
                    tuple ? PyTuple_GET_ITEM(o, i)
                          : (i < PyList_GET_SIZE(o) ? PyList_GET_ITEM(o, i)
                                                    : nullptr);
                if (item != nullptr && !walk(item, depth + 1))
                    return false;
            }
            return true;
        }
        if (t == &PyDict_Type || t == &PyODict_Type ||
            plain_dict_subclass(t)) {
            // An OrderedDict's own __sizeof__ counts its order too; pympler
            // sizes it, and a subclass of dict, as a dict and leaves their
            // instance dict out.
            const double n = builtin_sizeof(t, o);
            if (n < 0 || !add(n))
                return false;
            if (depth >= kDepth)
                return true;
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (PyDict_Next(o, &pos, &k, &v))
                if (!walk(k, depth + 1) || !walk(v, depth + 1))
                    return false;
            if (t != &PyDict_Type && t->tp_dictoffset > 0) {
                PyObject *own = *reinterpret_cast<PyObject **>(
                    reinterpret_cast<char *>(o) + t->tp_dictoffset);
                if (own != nullptr && !walk(own, depth + 1))
                    return false;
            }
            return true;
        }
        if (t == &PySet_Type || t == &PyFrozenSet_Type) {
            const double n = builtin_sizeof(t, o);
            if (n < 0 || !add(n))
                return false;
            if (depth >= kDepth)
                return true;
            // An exact set's own iterator runs no code of the program.
            Ref it = Ref::steal(PyObject_GetIter(o));
            if (!it)
                return false;
            while (PyObject *k = PyIter_Next(it.get())) {
                Ref item = Ref::steal(k);
                if (!walk(item.get(), depth + 1))
                    return false;
            }
            return !PyErr_Occurred();
        }
        if (PyGen_CheckExact(o))
            return generator(o, depth);
        static PyObject *local_type = nullptr;
        if (reinterpret_cast<PyObject *>(t) ==
            loaded_class(local_type, "_thread", "_local"))
            return with_dict_attribute(o, depth);
        return instance(o, depth);
    }

    // Counts what the builtin __sizeof__ of a GC-tracked `o` gives.
    bool add_own_size(PyObject *o)
    {
        const double flat = builtin_sizeof(Py_TYPE(o), o);
        return flat >= 0 && add(flat + 16);
    }

    // A generator, as pympler sizes one: itself, then its frame's locals
    // one level down (the frame and its code not at all); one that has
    // ended holds nothing more. Where the locals are not a dict (a proxy
    // made at each read, 3.13), pympler is left to size it.
    bool generator(PyObject *o, int depth)
    {
        if (!add_own_size(o))
            return false;
        if (depth >= kDepth)
            return true;
        Ref frame = tw::getattr(o, TW_STR("gi_frame"));
        if (!frame)
            return false;
        if (frame.get() == Py_None)
            return true;
        Ref locals = tw::getattr(frame.get(), TW_STR("f_locals"));
        return locals && PyDict_CheckExact(locals.get()) &&
               walk(locals.get(), depth + 1);
    }

    // A thread's own namespace (`threading.local()` itself, whose lookup
    // runs no code of the program): itself, then the calling thread's dict
    // of it one level down, as pympler reads `__dict__`.
    bool with_dict_attribute(PyObject *o, int depth)
    {
        if (!add_own_size(o))
            return false;
        if (depth >= kDepth)
            return true;
        Ref dict = tw::getattr(o, TW_STR("__dict__"));
        return dict && PyDict_CheckExact(dict.get()) &&
               walk(dict.get(), depth + 1);
    }

    // A subclass of dict written in Python (collections.Counter, say) with
    // the generic attribute lookup and dict's own __sizeof__: pympler sizes
    // it as a dict, and its instance dict is counted besides.
    //
    // Also one with a __getattr__ of its own (a mapping read by attribute):
    // pympler asks it for `iteritems` before it takes `items`, which runs
    // code of the program, and a mapping with a default factory then adds
    // that key. The walk reads the entries themselves, as dict's own
    // `items` gives them; where __getattr__ answers something else, pympler
    // counts less than they hold.
    static bool plain_dict_subclass(PyTypeObject *t)
    {
        if (!(t->tp_flags & Py_TPFLAGS_HEAPTYPE) ||
            !PyType_IsSubtype(t, &PyDict_Type) || !plain_metaclass(t))
            return false;
        if (t->tp_getattro != PyObject_GenericGetAttr) {
            // Borrowed from dict, for the process.
            static PyObject *dict_items = nullptr,
                            *dict_getattribute = nullptr;
            if (dict_items == nullptr) {
                dict_items = _PyType_Lookup(&PyDict_Type, TW_STR("items"));
                dict_getattribute =
                    _PyType_Lookup(&PyDict_Type, TW_STR("__getattribute__"));
            }
            if (!written_in_python(t) ||
                _PyType_Lookup(t, TW_STR("__getattribute__")) !=
                    dict_getattribute ||
                _PyType_Lookup(t, TW_STR("__getattr__")) == nullptr ||
                _PyType_Lookup(t, TW_STR("iteritems")) != nullptr ||
                _PyType_Lookup(t, TW_STR("items")) != dict_items)
                return false;
        }
        static PyObject *dict_sizeof = nullptr;  // borrowed from dict
        if (dict_sizeof == nullptr)
            dict_sizeof = _PyType_Lookup(&PyDict_Type, TW_STR("__sizeof__"));
        return _PyType_Lookup(t, TW_STR("__sizeof__")) == dict_sizeof;
    }

    // The class `name` of module `module` once the program has imported
    // it, kept for the process; NULL before (with no exception set).
    static PyObject *loaded_class(PyObject *&kept, const char *module,
                                  const char *name)
    {
        if (kept == nullptr) {
            Ref n = Ref::steal(PyUnicode_InternFromString(module));
            Ref m = n ? Ref::steal(PyImport_GetModule(n.get())) : Ref();
            if (m)
                kept = PyObject_GetAttrString(m.get(), name);
            PyErr_Clear();
        }
        return kept;
    }

    // Whether instances of `t` are sized by pympler as any instance is:
    // its metaclass is `type`, or `abc.ABCMeta` (a class on the abstract
    // collections) or `enum.EnumMeta` (an enumeration's members), or
    // another one that changes neither how the class's attributes are read
    // nor its method order (a factory of cached instances that only
    // overrides __call__), unless pympler takes it for a dict by its name.
    static bool plain_metaclass(PyTypeObject *t)
    {
        PyTypeObject *meta_type = Py_TYPE(t);
        PyObject *meta = reinterpret_cast<PyObject *>(meta_type);
        if (meta == reinterpret_cast<PyObject *>(&PyType_Type))
            return true;
        static PyObject *abc_meta = nullptr;
        static PyObject *enum_meta = nullptr;
        if (meta != loaded_class(abc_meta, "abc", "ABCMeta") &&
            meta != loaded_class(enum_meta, "enum", "EnumMeta") &&
            !(meta_type->tp_getattro == PyType_Type.tp_getattro &&
              _PyType_Lookup(meta_type, TW_STR("mro")) ==
                  _PyType_Lookup(&PyType_Type, TW_STR("mro"))))
            return false;
        PyObject *module =
            PyDict_GetItemWithError(t->tp_dict, TW_STR("__module__"));
        return module != nullptr && PyUnicode_Check(module) &&
               PyUnicode_CompareWithASCIIString(module, "weakref") != 0 &&
               PyUnicode_CompareWithASCIIString(module, "UserDict") != 0;
    }

    // Whether the attribute lookup of `t` is the generic one with the
    // class's own __getattr__ behind it (a proxy, a timer forwarding to the
    // clock): pympler reads the instance dict and the slots as on any
    // instance, and only a name missing from both reaches that method.
    static bool only_getattr_hook(PyTypeObject *t)
    {
        static PyObject *object_getattribute = nullptr;  // borrowed
        if (object_getattribute == nullptr)
            object_getattribute =
                _PyType_Lookup(&PyBaseObject_Type, TW_STR("__getattribute__"));
        return written_in_python(t) &&
               _PyType_Lookup(t, TW_STR("__getattribute__")) ==
                   object_getattribute &&
               _PyType_Lookup(t, TW_STR("__getattr__")) != nullptr;
    }

    // Whether `t` is a class statement's (the types of extension modules
    // may be heap types too, re's are): such classes all free their
    // instances with the same function, which a class made here shows.
    static bool written_in_python(PyTypeObject *t)
    {
        static destructor python_dealloc = nullptr;
        if (python_dealloc == nullptr) {
            Ref probe = Ref::steal(PyObject_CallFunction(
                reinterpret_cast<PyObject *>(&PyType_Type), "s()N", "_probe",
                PyDict_New()));
            if (!probe) {
                PyErr_Clear();
                return false;
            }
            python_dealloc =
                reinterpret_cast<PyTypeObject *>(probe.get())->tp_dealloc;
        }
        return (t->tp_flags & Py_TPFLAGS_HEAPTYPE) &&
               t->tp_dealloc == python_dealloc;
    }

    // Whether pympler sizes `o` by a rule of its own rather than as any
    // instance: containers and their subclasses (a named tuple's items),
    // iterators and generators of native types, exceptions, cells, weak
    // references, modules, frames, tracebacks, mapping proxies, arrays and
    // numpy's arrays.
    static bool own_rule(PyObject *o, PyTypeObject *solid)
    {
        if (PyTuple_Check(o) || PyDict_Check(o) || PyAnySet_Check(o) ||
            PyExceptionInstance_Check(o) || PyCell_Check(o) ||
            PyWeakref_Check(o) || PyModule_Check(o) || PyFrame_Check(o) ||
            PyTraceBack_Check(o) || PyGen_Check(o) || PyCoro_CheckExact(o) ||
            Py_TYPE(o) == &PyDictProxy_Type)
            return true;
        const char *name = solid->tp_name;
        if (name == nullptr || std::strncmp(name, "numpy.", 6) == 0 ||
            std::strcmp(name, "array.array") == 0)
            return true;
        // The iterators and awaitables of the builtins (whose names have no
        // module): pympler follows what they hold. (A heap type always has
        // its tp_as_async table, filled or not.)
        const PyAsyncMethods *as_async = solid->tp_as_async;
        if (std::strchr(name, '.') == nullptr &&
            (solid->tp_iternext != nullptr ||
             (as_async != nullptr && (as_async->am_await != nullptr ||
                                      as_async->am_aiter != nullptr ||
                                      as_async->am_anext != nullptr))))
            return true;
        PyTypeObject *t = Py_TYPE(o);
        return _PyType_Lookup(t, TW_STR("nbytes")) != nullptr ||
               _PyType_Lookup(t, TW_STR("dtype")) != nullptr;
    }

    // An instance pympler sizes as any object: what sys.getsizeof gives,
    // then its slots and its instance dict one level down, and its class
    // not at all. Of a class written in Python on `object` or on a native
    // type (a zone on datetime.tzinfo, a list subclass, whose items pympler
    // does not follow), or of a native type of the interpreter or of a
    // library (a date, a lock, a compiled pattern, a decimal, a string
    // stream), with the generic attribute lookup (a class's own
    // __getattr__ behind it too), a `__sizeof__` written natively and no
    // `__dict__` of its own making.
    bool instance(PyObject *o, int depth)
    {
        PyTypeObject *t = Py_TYPE(o);
        const bool hooked = t->tp_getattro != PyObject_GenericGetAttr;
        if (!plain_metaclass(t) || (hooked && !only_getattr_hook(t)))
            return false;
        PyTypeObject *solid = t;  // its first base not written in Python
        while (solid->tp_base != nullptr && written_in_python(solid))
            solid = solid->tp_base;
        if (solid != &PyBaseObject_Type && own_rule(o, solid))
            return false;
        static PyObject *object_sizeof = nullptr;  // borrowed from object
        if (object_sizeof == nullptr)
            object_sizeof =
                _PyType_Lookup(&PyBaseObject_Type, TW_STR("__sizeof__"));
        PyObject *sizeof_ = _PyType_Lookup(t, TW_STR("__sizeof__"));
        double flat;
        if (sizeof_ == object_sizeof && t->tp_itemsize == 0) {
            flat = static_cast<double>(t->tp_basicsize);
        } else if (sizeof_ != nullptr &&
                   Py_TYPE(sizeof_) == &PyMethodDescr_Type) {
            flat = builtin_sizeof(t, o);
            if (flat < 0)
                return false;
        } else {
            return false;  // its own __sizeof__, which pympler asks
        }
        PyObject *dict_descr = _PyType_Lookup(t, TW_STR("__dict__"));
        if (dict_descr != nullptr &&
            Py_TYPE(dict_descr) != &PyGetSetDescr_Type)
            return false;
        if (!add(flat + (PyObject_IS_GC(o) ? 16 : 0)))
            return false;
        if (depth >= kDepth)
            return true;
        // Slots, one level down, as pympler follows them (and the members
        // of native bases, which it does not: more is still a bound).
        PyObject *mro = t->tp_mro;
        if (mro == nullptr || !PyTuple_Check(mro))
            return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); i++) {
            PyTypeObject *base =
                reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i));
            if (base == &PyBaseObject_Type || base->tp_members == nullptr)
                continue;
            for (PyMemberDef *d = base->tp_members; d->name != nullptr; d++) {
                if (d->type != T_OBJECT_EX && d->type != T_OBJECT)
                    continue;
                PyObject *v = *reinterpret_cast<PyObject **>(
                    reinterpret_cast<char *>(o) + d->offset);
                // An empty slot holds nothing. pympler would ask the
                // class's __getattr__ for it and count the answer: code of
                // the program, which may make the value then and keep it
                // (a cached property of a slotted class is made so), so
                // that the size check ran the program's code and changed
                // the object. What it would make is not counted.
                if (v != nullptr && !walk(v, depth + 1))
                    return false;
            }
        }
        // The instance dict it has, one level down; its values another.
        // (pympler reads `__dict__`, which makes an empty one where there
        // was none.)
        if (dict_descr == nullptr)
            return true;
        Ref dict = Ref::steal(PyObject_GenericGetDict(o, nullptr));
        if (!dict || !PyDict_CheckExact(dict.get()))
            return false;
        return walk(dict.get(), depth + 1);
    }
};

// Around one call of pympler, what it would leave behind in the program.
//
// pympler learns a class's layout once and keeps it in module-level maps
// keyed by the class (`_typedefs`, and `_claskeys`, whose wrappers hold the
// class too), for as long as the process runs: every class whose instance
// was ever sized stayed alive, and the classes a program makes and drops (a
// class decorator that makes a class again, a class made inside a
// function) were never freed. What an estimate added there for such
// classes is taken out again after it; what pympler learns of a class is
// the same each time. Built-in classes and those a module holds by their
// qualified name live as long as the process or their module anyway: what
// it learnt of them stays.
//
// pympler also warns (a UserWarning) when it cannot iterate a mapping the
// program made; the program would see those warnings, which a run without
// recording does not give. Meanwhile its module's `warnings` is one whose
// `warn` does nothing.
class PymplerCallGuard {
  public:
    explicit PymplerCallGuard(PyObject *asizeof_module)
    {
        if (PyModule_Check(asizeof_module)) {
            PyObject *ns = PyModule_GetDict(asizeof_module);
            Ref was =
                Ref::borrow(PyDict_GetItemWithError(ns, TW_STR("warnings")));
            PyObject *silent = was ? silent_warnings() : nullptr;
            if (silent != nullptr &&
                PyDict_SetItem(ns, TW_STR("warnings"), silent) == 0) {
                namespace_ = Ref::borrow(ns);
                warnings_ = std::move(was);
            }
            PyErr_Clear();
        }
        for (int i = 0; i < 2; i++) {
            maps_[i] =
                tw::getattr(asizeof_module, i == 0 ? TW_STR("_typedefs")
                                                   : TW_STR("_claskeys"));
            if (!maps_[i] || !PyDict_CheckExact(maps_[i].get())) {
                PyErr_Clear();
                maps_[i] = nullptr;
                continue;
            }
            before_[i] = PyDict_GET_SIZE(maps_[i].get());
        }
    }

    PymplerCallGuard(const PymplerCallGuard &) = delete;
    PymplerCallGuard &operator=(const PymplerCallGuard &) = delete;

    // Keeps any exception pending as it is.
    ~PymplerCallGuard()
    {
        tw::SavedError saved;
        saved.fetch();
        for (int i = 0; i < 2; i++)
            if (maps_[i] && PyDict_GET_SIZE(maps_[i].get()) > before_[i])
                forget_new(maps_[i].get(), before_[i]);
        if (namespace_ &&
            PyDict_GetItemWithError(namespace_.get(), TW_STR("warnings")) ==
                silent_warnings())
            PyDict_SetItem(namespace_.get(), TW_STR("warnings"),
                           warnings_.get());
        PyErr_Clear();
        saved.restore();
    }

  private:
    static PyObject *ignore(PyObject *, PyObject *, PyObject *)
    {
        Py_RETURN_NONE;
    }

    // A module whose `warn` does nothing, made once for the process
    // (borrowed), or NULL.
    static PyObject *silent_warnings()
    {
        static PyObject *made = nullptr;
        static PyMethodDef warn = {"warn",
                                   reinterpret_cast<PyCFunction>(
                                       reinterpret_cast<void (*)()>(ignore)),
                                   METH_VARARGS | METH_KEYWORDS, nullptr};
        if (made == nullptr) {
            Ref module = Ref::steal(PyModule_New("warnings"));
            Ref fn =
                module ? Ref::steal(PyCFunction_New(&warn, nullptr)) : Ref();
            if (!fn || PyModule_AddObject(module.get(), "warn", fn.get()) < 0)
                return nullptr;
            (void)fn.release();  // the module took it
            made = module.release();
        }
        return made;
    }

    // Whether `cls` is what its module holds under its qualified name, read
    // from the dicts of the module and of the classes on the way (no code
    // of the program runs).
    static bool held_by_its_module(PyObject *cls)
    {
        PyObject *dict = reinterpret_cast<PyTypeObject *>(cls)->tp_dict;
        PyObject *module =
            dict ? PyDict_GetItemWithError(dict, TW_STR("__module__"))
                 : nullptr;
        PyObject *qualname =
            reinterpret_cast<PyHeapTypeObject *>(cls)->ht_qualname;
        if (module == nullptr || !PyUnicode_Check(module) ||
            qualname == nullptr || !PyUnicode_Check(qualname))
            return false;
        PyObject *held =
            PyDict_GetItemWithError(PyImport_GetModuleDict(), module);
        Ref parts =
            held ? Ref::steal(PyUnicode_Split(qualname, TW_STR("."), -1))
                 : nullptr;
        if (!parts)
            return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); i++) {
            PyObject *scope =
                PyModule_Check(held) ? PyModule_GetDict(held)
                : PyType_Check(held)
                    ? reinterpret_cast<PyTypeObject *>(held)->tp_dict
                    : nullptr;
            if (scope == nullptr || !PyDict_Check(scope))
                return false;
            held = PyDict_GetItemWithError(scope,
                                           PyList_GET_ITEM(parts.get(), i));
            if (held == nullptr)
                return false;
        }
        return held == cls;
    }

    static bool transient(PyObject *cls)
    {
        if (!PyType_Check(cls) ||
            !PyType_HasFeature(reinterpret_cast<PyTypeObject *>(cls),
                               Py_TPFLAGS_HEAPTYPE))
            return false;
        const bool held = held_by_its_module(cls);
        PyErr_Clear();
        return !held;
    }

    // A key or value naming a class that can go away: the class itself, or
    // pympler's wrapper of it (whose `_obj` is the class).
    static bool names_transient(PyObject *o)
    {
        if (PyType_Check(o))
            return transient(o);
        if (std::strcmp(Py_TYPE(o)->tp_name, "_Claskey") != 0)
            return false;
        Ref cls = tw::getattr(o, TW_STR("_obj"));
        if (!cls) {
            PyErr_Clear();
            return false;
        }
        return transient(cls.get());
    }

    // Entries are appended in order, so those past the first `before` are
    // the estimate's.
    static void forget_new(PyObject *map, Py_ssize_t before)
    {
        Ref gone = Ref::steal(PyList_New(0));
        if (!gone)
            return;
        Py_ssize_t pos = 0, seen = 0;
        PyObject *k, *v;
        while (PyDict_Next(map, &pos, &k, &v))
            if (seen++ >= before &&
                (names_transient(k) || names_transient(v)) &&
                PyList_Append(gone.get(), k) < 0)
                return;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(gone.get()); i++)
            if (PyDict_DelItem(map, PyList_GET_ITEM(gone.get(), i)) < 0)
                PyErr_Clear();
    }

    Ref maps_[2];
    Py_ssize_t before_[2] = {0, 0};
    Ref namespace_, warnings_;  // pympler's globals, and its `warnings`
};

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
                // Far below the limit by a native bound: pympler would
                // say the same.
                const double limit = max ? max_size_as_double(max.get()) : 0;
                if (limit >= 1 << 20 && SizeBound(limit / 4).small(obj))
                    return Ref::borrow(Py_False);
                PyErr_Clear();
            }
            if (!PyErr_Occurred()) {
                Ref three = Ref::steal(PyLong_FromLong(3));
                Ref size;
                if (three) {
                    PymplerCallGuard guard(az.get());
                    size = tw::call_kw(fn.get(), TW_NAMES("limit"), obj,
                                       three.get());
                }
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
