// safe_pickle and safe_pickle_loads: the module's entry for a whole value,
// and the one reusable SafePickler that stands in for a fresh one while
// nothing can tell the two apart (see the reusable pickler below), with
// the interpreter's and the base classes' objects it is checked against,
// captured when the module is built.
#include "pickler_internal.hpp"
#include "pickler_redact.hpp"

#include <cstring>

namespace tw_pickler {

// ---- safe_pickle, safe_pickle_loads

// tp_init of SafePickler as the class was built (the slot that calls the
// class's __init__).
initproc safe_pickler_tp_init = nullptr;

// Whether `init`, found as __init__ on a class, is SafePickler's own.
static bool is_own_init(PyObject *init)
{
    if (init == nullptr || !PyInstanceMethod_Check(init))
        return false;
    PyObject *fn = PyInstanceMethod_GET_FUNCTION(init);
    return PyCFunction_Check(fn) &&
           reinterpret_cast<PyCFunctionObject *>(fn)->m_ml ==
               &SafePickler_init_def;
}

// cls(object_wrapper, file, failure_reducer=..., special_cases=...); new
// reference. For SafePickler (or a subclass) as built here, whose
// metaclass is `type`, whose instances are allocated generically and whose
// __init__ is this module's, the two steps of the class call are made
// directly: a new instance, then __init__ on it.
static Ref new_safe_pickler(PyObject *cls, PyObject *object_wrapper,
                            PyObject *file, PyObject *failure_reducer,
                            PyObject *special_cases)
{
    PyObject *kwnames = TW_NAMES("failure_reducer", "special_cases");
    if (kwnames == nullptr)
        return nullptr;
    if (Py_IS_TYPE(cls, &PyType_Type)) {
        auto *tp = reinterpret_cast<PyTypeObject *>(cls);
        if (tp->tp_new == PyType_GenericNew &&
            safe_pickler_tp_init != nullptr &&
            tp->tp_init == safe_pickler_tp_init &&
            is_own_init(_PyType_Lookup(tp, TW_STR("__init__")))) {
            static PyObject *no_args = PyTuple_New(0);
            if (no_args == nullptr)
                return nullptr;
            Ref self = Ref::steal(PyType_GenericNew(tp, no_args, nullptr));
            if (!self)
                return nullptr;
            PyObject *argv[] = {self.get(), object_wrapper, file,
                                failure_reducer, special_cases};
            Ref done = Ref::steal(SafePickler_init(nullptr, argv, 3, kwnames));
            if (!done)
                return nullptr;
            return self;
        }
    }
    return tw::call_kw(cls, kwnames, object_wrapper, file, failure_reducer,
                       special_cases);
}

// ---- the reusable pickler of safe_pickle
//
// A SafePickler is made, used for one dump and dropped at every call of
// safe_pickle: most of the cost of a small value. While the class is one
// whose instances all start out alike and whose construction calls
// nothing but this package's own code and the C pickler's (checked once
// per version tag of the class, see reusable_class), one made pickler can
// stand in for a fresh one: before each dump it is given the arguments a
// fresh one would get, and after it the state a dump leaves (the memo,
// the written bytes, the references to the call's arguments) is dropped,
// as dropping the pickler would. It writes into a Sink instead of a
// BytesIO, which is only possible while the module's BytesIO is io's own
// (whose making and writing run no other code). A nested or concurrent
// call, made while that pickler is busy, makes its own as before.

// The C pickler's output file: keeps the bytes it is given.
struct Sink {
    PyObject_HEAD
    PyObject *first;  // strong or NULL: the first chunk (bytes)
    PyObject *rest;   // strong or NULL: list of the later chunks
    Py_ssize_t size;  // bytes kept
};

// write(data): keeps a snapshot of `data` (any contiguous buffer, as
// BytesIO.write takes).
static PyObject *Sink_write(PyObject *self, PyObject *data)
{
    Sink *s = reinterpret_cast<Sink *>(self);
    PyObject *chunk;
    if (PyBytes_CheckExact(data)) {
        chunk = Py_NewRef(data);
    } else {
        Py_buffer view;
        if (PyObject_GetBuffer(data, &view, PyBUF_CONTIG_RO) < 0)
            return nullptr;
        chunk = PyBytes_FromStringAndSize(static_cast<const char *>(view.buf),
                                          view.len);
        PyBuffer_Release(&view);
        if (chunk == nullptr)
            return nullptr;
    }
    const Py_ssize_t n = PyBytes_GET_SIZE(chunk);
    if (s->first == nullptr) {
        s->first = chunk;
    } else {
        if (s->rest == nullptr) {
            s->rest = PyList_New(0);
            if (s->rest == nullptr) {
                Py_DECREF(chunk);
                return nullptr;
            }
        }
        const int r = PyList_Append(s->rest, chunk);
        Py_DECREF(chunk);
        if (r < 0)
            return nullptr;
    }
    s->size += n;
    return PyLong_FromSsize_t(n);
}

// Everything written so far as one bytes object (new reference), the sink
// left empty; NULL with an exception set (the sink is emptied anyway).
static PyObject *sink_take(Sink *s)
{
    PyObject *first = s->first;
    PyObject *rest = s->rest;
    const Py_ssize_t size = s->size;
    s->first = nullptr;
    s->rest = nullptr;
    s->size = 0;
    if (rest == nullptr)
        return first != nullptr ? first : PyBytes_FromStringAndSize("", 0);
    Ref hold_first = Ref::steal(first);
    Ref hold_rest = Ref::steal(rest);
    PyObject *out = PyBytes_FromStringAndSize(nullptr, size);
    if (out == nullptr)
        return nullptr;
    char *at = PyBytes_AS_STRING(out);
    std::memcpy(at, PyBytes_AS_STRING(first), PyBytes_GET_SIZE(first));
    at += PyBytes_GET_SIZE(first);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rest); i++) {
        PyObject *c = PyList_GET_ITEM(rest, i);
        std::memcpy(at, PyBytes_AS_STRING(c), PyBytes_GET_SIZE(c));
        at += PyBytes_GET_SIZE(c);
    }
    return out;
}

static void Sink_dealloc(PyObject *self)
{
    Sink *s = reinterpret_cast<Sink *>(self);
    PyTypeObject *tp = Py_TYPE(self);
    Py_CLEAR(s->first);
    Py_CLEAR(s->rest);
    tp->tp_free(self);
    Py_DECREF(tp);
}

static PyMethodDef Sink_methods[] = {
    {"write", Sink_write, METH_O, "Keeps a copy of the bytes given."},
    {nullptr, nullptr, 0, nullptr}};

static PyType_Slot Sink_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(Sink_dealloc)},
    {Py_tp_methods, Sink_methods},
    {Py_tp_doc, const_cast<char *>("Output file of safe_pickle's pickler.")},
    {0, nullptr},
};

static PyType_Spec Sink_spec = {
    "tarnwick_collector.data_serialization.pickler._Sink", sizeof(Sink), 0,
    Py_TPFLAGS_DEFAULT, Sink_slots};

// Objects of the interpreter and of the base classes, as the module found
// them when it was built (strong references for the process).
struct Originals {
    PyObject *sink_type = nullptr;      // Sink
    PyObject *bytes_io = nullptr;       // io.BytesIO
    PyObject *c_pickler = nullptr;      // _pickle.Pickler
    PyObject *persistent_id = nullptr;  // its descriptors, from its __dict__
    PyObject *dispatch_table = nullptr;
    PyObject *memo = nullptr;
    PyObject *clear_memo = nullptr;  // its clear_memo method descriptor
    PyObject *tarn_init = nullptr;  // tarn_pickle.Pickler.__dict__["__init__"]
    PyObject *tarn_module = nullptr;  // _tarn_pickle
    PyObject *tarn_dump = nullptr;    // the function of its pickler_dump
    tw::TarnDumpPrepared dump_prepared = nullptr;  // its C entry of that
    PyObject *failure_reducer = nullptr;   // UnpicklableHelpers.__reduce__
    PyObject *special_cases = nullptr;     // UnpicklableHelpers.special_cases
    PyObject *empty_memo = nullptr;        // {} (never handed out)
    PyObject *safe_pickler = nullptr;      // SafePickler
    PyObject *reducer_override = nullptr;  // its own reducer_override
    PyObject *extension_registry = nullptr;  // copyreg._extension_registry
};
static Originals originals;

// The one reusable pickler.
struct Reuse {
    // The class last judged, only compared with (not kept alive: a kept
    // pickler keeps its class; and version tags are never given twice, so
    // another class at the same address does not pass for it).
    PyObject *cls = nullptr;
    unsigned int tag = 0;         // its version tag when found reusable
    bool ok = false;              // reusable under that tag
    PyObject *dump = nullptr;     // strong: called as dump(pickler, obj)
    PyObject *pickler = nullptr;  // strong or NULL: made under cls and tag
    PyObject *dict = nullptr;     // strong: the pickler's __dict__
    PyObject *sink = nullptr;     // strong: the pickler's file
    Py_ssize_t entries = 0;       // len(__dict__) of the pickler when made
    bool busy = false;            // a dump of it is running
};
static Reuse reuse;

static void drop_pickler()
{
    Py_CLEAR(reuse.dict);
    PyTypeObject *tp = reuse.pickler ? Py_TYPE(reuse.pickler) : nullptr;
    if (tp != nullptr &&
        (tp->tp_finalize != nullptr || tp->tp_del != nullptr)) {
        // Its class has been given a finalizer since it was made: freeing
        // it would run the finalizer for an instance no call of
        // safe_pickle made, so it is kept (its memo is empty and it refers
        // to nothing of any call).
        reuse.pickler = nullptr;
    }
    Py_CLEAR(reuse.pickler);
    Py_CLEAR(reuse.sink);
}

// The function that `cls.dump` binds to instances, or NULL.
static PyObject *unbound_dump(PyTypeObject *tp)
{
    PyObject *d = _PyType_Lookup(tp, TW_STR("dump"));
    if (d == nullptr)
        return nullptr;
    if (PyInstanceMethod_Check(d))
        return PyInstanceMethod_GET_FUNCTION(d);
    if (PyFunction_Check(d))
        return d;
    return nullptr;
}

// Whether one instance of `cls` made by new_safe_pickler, with a Sink as
// its file, stands for every other one: its class call is type's own,
// __new__ generic, __init__ SafePickler's, going on to tarn_pickle's and to
// the C pickler's; no class attribute takes the names that construction
// sets or reads (so they live in the instance __dict__, or are the C
// pickler's own descriptors); attribute access is generic; no finalizer
// runs when an instance goes; `dump` is a plain function or method. Judged
// once per version tag of the class: any change of its namespace or of a
// base's takes the tag away.
static bool reusable_class(PyObject *cls)
{
    if (!Py_IS_TYPE(cls, &PyType_Type))
        return false;
    auto *tp = reinterpret_cast<PyTypeObject *>(cls);
    if (reuse.cls == cls && TW_VALID_VERSION_TAG(tp) &&
        reuse.tag == tp->tp_version_tag)
        return reuse.ok;
    // Judged anew: a pickler made before does not stand for the class now.
    if (reuse.busy)
        return false;
    drop_pickler();
    Py_CLEAR(reuse.dump);
    reuse.cls = cls;
    reuse.ok = false;
    reuse.tag = 0;
    if (originals.sink_type == nullptr || originals.c_pickler == nullptr ||
        originals.tarn_init == nullptr ||
        !PyType_IsSubtype(
            tp, reinterpret_cast<PyTypeObject *>(originals.c_pickler)) ||
        tp->tp_new != PyType_GenericNew || safe_pickler_tp_init == nullptr ||
        tp->tp_init != safe_pickler_tp_init ||
        tp->tp_getattro != PyObject_GenericGetAttr ||
        tp->tp_setattro != PyObject_GenericSetAttr ||
        tp->tp_finalize != nullptr || tp->tp_del != nullptr)
        return false;
    // __init__ along the MRO: SafePickler's, then tarn_pickle's.
    PyObject *mro = tp->tp_mro;
    int seen = 0;
    for (Py_ssize_t i = 0; mro != nullptr && i < PyTuple_GET_SIZE(mro); i++) {
        PyObject *dict =
            reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i))
                ->tp_dict;
        if (dict == nullptr)
            continue;
        PyObject *init = PyDict_GetItemWithError(dict, TW_STR("__init__"));
        if (init == nullptr) {
            if (PyErr_Occurred()) {
                PyErr_Clear();
                return false;
            }
            continue;
        }
        if (seen == 0 && is_own_init(init)) {
            seen = 1;
            continue;
        }
        if (seen == 1 && init == originals.tarn_init)
            seen = 2;
        break;
    }
    if (seen != 2)
        return false;
    PyObject *absent[] = {TW_STR("object_wrapper"), TW_STR("_tarn_protocol"),
                          TW_STR("failure_reducer"), TW_STR("special_cases")};
    for (PyObject *name : absent)
        if (name == nullptr || _PyType_Lookup(tp, name) != nullptr)
            return false;
    if (_PyType_Lookup(tp, TW_STR("persistent_id")) !=
            originals.persistent_id ||
        _PyType_Lookup(tp, TW_STR("dispatch_table")) !=
            originals.dispatch_table)
        return false;
    PyObject *dump = unbound_dump(tp);
    if (dump == nullptr || !TW_VALID_VERSION_TAG(tp))
        return false;
    reuse.dump = Py_NewRef(dump);
    reuse.tag = tp->tp_version_tag;
    reuse.ok = true;
    return true;
}

// The entries of the pickler's __dict__ that take a call's arguments, with
// the object each holds (borrowed from the __dict__, which nothing but this
// code changes: the pickler is never handed out, and its dump only adds
// and takes out again its hook).
struct ArgumentEntry {
    PyObject *key;
    PyObject *now;
};

static ArgumentEntry argument_entries[3];

// The pickler's _tarn_protocol entry (borrowed from its __dict__), and
// whether its dump can be run through _tarn_pickle's C entry with what
// this code knows of the pickler (its class's dump is tarn_pickle's, and
// its __dict__ has no reducer_override of its own).
static PyObject *kept_protocol = nullptr;
static bool kept_prepared = false;

// Fills argument_entries, kept_protocol and kept_prepared from the
// __dict__ of a pickler just made. 0 or -1.
static int read_argument_entries()
{
    kept_protocol =
        PyDict_GetItemWithError(reuse.dict, TW_STR("_tarn_protocol"));
    if (kept_protocol == nullptr && PyErr_Occurred())
        return -1;
    const int own_override =
        PyDict_Contains(reuse.dict, TW_STR("reducer_override"));
    if (own_override < 0)
        return -1;
    kept_prepared = kept_protocol != nullptr && own_override == 0 &&
                    originals.dump_prepared != nullptr &&
                    reuse.dump == originals.tarn_dump;
    PyObject *keys[] = {TW_STR("object_wrapper"), TW_STR("failure_reducer"),
                        TW_STR("special_cases")};
    for (int i = 0; i < 3; i++) {
        if (keys[i] == nullptr)
            return -1;
        PyObject *v = PyDict_GetItemWithError(reuse.dict, keys[i]);
        if (v == nullptr) {
            if (!PyErr_Occurred())
                PyErr_SetObject(PyExc_KeyError, keys[i]);
            return -1;
        }
        argument_entries[i] = ArgumentEntry{keys[i], v};
    }
    return 0;
}

// Entry `i` set to `value`, as a fresh pickler's __init__ would have set
// it. 0 or -1.
static int set_argument(int i, PyObject *value)
{
    ArgumentEntry &e = argument_entries[i];
    if (e.now == value)
        return 0;
    if (PyDict_SetItem(reuse.dict, e.key, value) < 0)
        return -1;
    e.now = value;
    return 0;
}

// After a dump: the entries let go of what a dropped pickler would no
// longer hold (None, True and False, and the failure reducer and
// special-cases predicate the module holds for the process, are kept).
// 0 or -1.
static int release_arguments()
{
    PyObject *kept[] = {nullptr, originals.failure_reducer,
                        originals.special_cases};
    for (int i = 0; i < 3; i++) {
        PyObject *v = argument_entries[i].now;
        if (v == Py_None || v == Py_True || v == Py_False || v == kept[i])
            continue;
        if (set_argument(i, Py_None) < 0)
            return -1;
    }
    return 0;
}

// Outputs shorter than this hold at most five memoized objects (each
// costs at least two bytes, besides the three of the protocol header and
// the stop, and the nine of a frame header from four bytes of frame on):
// too few for the C pickler to have grown its memo table.
constexpr Py_ssize_t kSmallMemoBelow = 24;

// The C pickler's memo emptied back to a new pickler's: cleared in place
// after an output too short to have grown it, else replaced by a new
// table. 0 or -1.
static int reset_memo(PyObject *pickler, Py_ssize_t output_size)
{
    if (output_size < kSmallMemoBelow && originals.clear_memo != nullptr) {
        Ref r = Ref::steal(PyObject_CallOneArg(originals.clear_memo, pickler));
        return r ? 0 : -1;
    }
    PyObject *d = originals.memo;
    if (d == nullptr || !Py_IS_TYPE(d, &PyGetSetDescr_Type) ||
        originals.empty_memo == nullptr)
        return -1;
    PyGetSetDef *gs = reinterpret_cast<PyGetSetDescrObject *>(d)->d_getset;
    if (gs->set == nullptr)
        return -1;
    return gs->set(pickler, originals.empty_memo, gs->closure);
}

// Output above this size may have grown the C pickler's buffer: such a
// pickler is dropped rather than kept with it.
constexpr Py_ssize_t kKeepOutputBelow = 4000;

// safe_pickle's work with the reusable pickler of `cls` (reusable_class
// true). New reference.
static Ref pickle_reusing(PyObject *cls, PyObject *obj,
                          PyObject *object_wrapper, PyObject *failure_reducer,
                          PyObject *special_cases)
{
    if (reuse.pickler == nullptr) {
        Ref sink = Ref::steal(PyType_GenericAlloc(
            reinterpret_cast<PyTypeObject *>(originals.sink_type), 0));
        if (!sink)
            return nullptr;
        Ref made = new_safe_pickler(cls, object_wrapper, sink.get(),
                                    failure_reducer, special_cases);
        if (!made)
            return nullptr;
        Ref dict = Ref::steal(PyObject_GenericGetDict(made.get(), nullptr));
        if (!dict)
            return nullptr;
        reuse.entries = PyDict_GET_SIZE(dict.get());
        reuse.pickler = made.release();
        reuse.dict = dict.release();
        reuse.sink = sink.release();
        if (read_argument_entries() < 0) {
            drop_pickler();
            return nullptr;
        }
    } else if (set_argument(0, object_wrapper) < 0 ||
               set_argument(1, failure_reducer) < 0 ||
               set_argument(2, special_cases) < 0) {
        drop_pickler();
        return nullptr;
    }
    // Held for the call: a dump may replace the class's dump function.
    Ref dump = Ref::borrow(reuse.dump);
    Ref pickler = Ref::borrow(reuse.pickler);
    Ref sink = Ref::borrow(reuse.sink);
    reuse.busy = true;
    Ref done;
    if (kept_prepared && argument_entries[1].now != Py_None) {
        // What the dump would read from the pickler is what was set here.
        Ref dict = Ref::borrow(reuse.dict);
        done = Ref::steal(originals.dump_prepared(
            originals.tarn_module, pickler.get(), dict.get(), obj,
            argument_entries[1].now, argument_entries[2].now, kept_protocol));
    } else {
        PyObject *argv[] = {pickler.get(), obj};
        done = Ref::steal(PyObject_Vectorcall(dump.get(), argv, 2, nullptr));
    }
    reuse.busy = false;
    auto *s = reinterpret_cast<Sink *>(sink.get());
    const Py_ssize_t size = s->size;
    Ref pickled = Ref::steal(sink_take(s));
    const bool kept = reuse.pickler == pickler.get();
    if (!done || !pickled) {
        if (kept)
            drop_pickler();
        return nullptr;
    }
    if (kept) {
        // A __dict__ that has changed (a hook the dump could not take out
        // again) is not the one a new pickler has.
        if (size >= kKeepOutputBelow ||
            PyDict_GET_SIZE(reuse.dict) != reuse.entries ||
            reset_memo(pickler.get(), size) < 0 || release_arguments() < 0) {
            PyErr_Clear();
            drop_pickler();
        }
    }
    return pickled;
}

// CollectorSettings.redact_patterns, compiled for the dump about to run
// (a settings class without it: no redaction). 0 or -1.
static int refresh_redaction(PyObject *mod)
{
    Ref settings = GLOBAL(mod, "CollectorSettings");
    if (!settings)
        return -1;
    Ref patterns = CLASS_ATTR(settings.get(), "redact_patterns");
    if (!patterns) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
    }
    return pickler_redact::refresh(patterns.get());
}

// The dump of `obj` as safe_pickle makes it, with the redaction way the
// caller set. New reference.
static Ref dump_value(PyObject *mod, PyObject *obj, PyObject *object_wrapper)
{
    Ref bytes_io = GLOBAL(mod, "BytesIO");
    if (!bytes_io)
        return nullptr;
    // io's own BytesIO runs no code when made, so it is made only when it
    // is used below.
    const bool own_bytes_io =
        originals.bytes_io != nullptr && bytes_io.get() == originals.bytes_io;
    Ref pickle_data;
    if (!own_bytes_io) {
        pickle_data = tw::call(bytes_io.get());
        if (!pickle_data)
            return nullptr;
    }
    Ref pickler_type = GLOBAL(mod, "SafePickler");
    if (!pickler_type)
        return nullptr;
    Ref helpers = GLOBAL(mod, "UnpicklableHelpers");
    if (!helpers)
        return nullptr;
    Ref failure_reducer = CLASS_ATTR(helpers.get(), "__reduce__");
    if (!failure_reducer)
        return nullptr;
    Ref special_cases = CLASS_ATTR(helpers.get(), "special_cases");
    if (!special_cases)
        return nullptr;
    if (own_bytes_io && !reuse.busy && reusable_class(pickler_type.get()))
        return pickle_reusing(pickler_type.get(), obj, object_wrapper,
                              failure_reducer.get(), special_cases.get());
    if (!pickle_data) {
        pickle_data = tw::call(bytes_io.get());
        if (!pickle_data)
            return nullptr;
    }
    Ref pickler =
        new_safe_pickler(pickler_type.get(), object_wrapper, pickle_data.get(),
                         failure_reducer.get(), special_cases.get());
    if (!pickler)
        return nullptr;
    if (!tw::call_method(pickler.get(), TW_STR("dump"), obj))
        return nullptr;
    Ref pickled = tw::call_method(pickle_data.get(), TW_STR("getvalue"));
    if (!pickled)
        return nullptr;
    if (pickled.get() != Py_None && !PyBytes_CheckExact(pickled.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "bytes",
                     Py_TYPE(pickled.get())->tp_name);
        return nullptr;
    }
    return pickled;
}

int own_pickler_in_place(PyObject *mod)
{
    Ref bytes_io = GLOBAL(mod, "BytesIO");
    if (!bytes_io)
        return -1;
    if (originals.bytes_io == nullptr || bytes_io.get() != originals.bytes_io)
        return 0;
    Ref cls = GLOBAL(mod, "SafePickler");
    if (!cls)
        return -1;
    if (cls.get() != originals.safe_pickler)
        return 0;
    // Making a pickler of the class, which this path skips, must run no
    // code of its own (an initializer, a finalizer, a property).
    if (!reusable_class(cls.get()))
        return 0;
    // What a pickler of the class would consult besides its hook: its own
    // initializer (which gives it an empty dispatch table), and the C
    // pickler's persistent_id and dispatch_table.
    auto *tp = reinterpret_cast<PyTypeObject *>(cls.get());
    if (!is_own_init(_PyType_Lookup(tp, TW_STR("__init__"))) ||
        _PyType_Lookup(tp, TW_STR("persistent_id")) !=
            originals.persistent_id ||
        _PyType_Lookup(tp, TW_STR("dispatch_table")) !=
            originals.dispatch_table)
        return 0;
    // A class registered for the pickle extension codes is written by code.
    if (originals.extension_registry == nullptr ||
        !PyDict_CheckExact(originals.extension_registry) ||
        PyDict_GET_SIZE(originals.extension_registry) != 0)
        return 0;
    return _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls.get()),
                          TW_STR("reducer_override")) ==
           originals.reducer_override;
}

static PyObject *safe_pickle(TW_FASTCALL_ARGS(mod))
{
    static const tw::Param params[] = {{"obj"}, tw::opt("object_wrapper")};
    static const tw::ParamNames<2> names(params);
    PyObject *a[2];
    if (tw::parse("safe_pickle", params, names, args, nargs, kwnames, a) < 0)
        return nullptr;
    PyObject *object_wrapper = a[1] != nullptr ? a[1] : Py_True;
    // Values under secret-looking names are written as the marker: the
    // pickler writes a redacted copy, the program's value stays as it is.
    if (refresh_redaction(mod) < 0)
        return nullptr;
    if (pickler_redact::scan_first()) {
        // Most values hold no such name: their plain dump is the answer
        // when its bytes show none; otherwise the redacting dump below
        // decides. An exception of the plain dump is passed on as the
        // redacting dump would pass it on: it may be the program's own (a
        // signal handler's, raised while the dump ran its code).
        Ref pickled;
        bool named = true;
        {
            pickler_redact::Way plain(false);
            const int own = own_object_dump(mod, a[0], pickled, &named);
            if (own < 0)
                return nullptr;
            if (own == 0) {
                named = true;
                pickled = dump_value(mod, a[0], object_wrapper);
            }
        }
        if (!pickled)
            return nullptr;
        // A dump written directly names nothing but what its writer
        // matched already; its bytes need no look.
        if (!named)
            return pickled.release();
        if (!pickler_redact::found(pickled.get()))
            return pickled.release();
    }
    pickler_redact::Way redacting(true);
    Ref redacted = pickler_redact::value(a[0]);
    if (!redacted)
        return nullptr;
    return dump_value(mod, redacted.get(), object_wrapper).release();
}

static PyObject *safe_pickle_loads(PyObject *mod, PyObject *data)
{
    Ref package = GLOBAL(mod, "tarnwick_collector");
    Ref sub = package ? ATTR(package.get(), "data_serialization") : nullptr;
    Ref base = sub ? ATTR(sub.get(), "tarn_pickle") : nullptr;
    Ref loads = base ? ATTR(base.get(), "loads") : nullptr;
    Ref unpickled = loads ? tw::call(loads.get(), data) : nullptr;
    if (unpickled)
        return unpickled.release();
    if (!swallow())
        return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef safe_pickle_def = {
    "safe_pickle", TW_FASTCALL(safe_pickle), TW_FASTCALL_FLAGS,
    "The pickle of `obj` as bytes, written by SafePickler; `object_wrapper` "
    "writes objects with recorded used attributes as object wrappers."};
PyMethodDef safe_pickle_loads_def = {
    "safe_pickle_loads", safe_pickle_loads, METH_O,
    "The object unpickled from `data`, or None when that fails."};
// `owner.__dict__[name]` of a class; new reference (KeyError when absent).
static Ref own_class_entry(PyObject *owner, const char *name)
{
    if (!PyType_Check(owner)) {
        PyErr_Format(PyExc_TypeError, "%R is not a class", owner);
        return nullptr;
    }
    PyObject *dict = reinterpret_cast<PyTypeObject *>(owner)->tp_dict;
    PyObject *v = dict ? PyDict_GetItemString(dict, name) : nullptr;
    if (v == nullptr) {
        PyErr_SetString(PyExc_KeyError, name);
        return nullptr;
    }
    return Ref::borrow(v);
}

// Fills `originals` (see the reusable pickler) from what the module body
// has just bound and imported. 0 or -1.
int capture_originals(PyObject *m)
{
    if (originals.sink_type == nullptr) {
        originals.sink_type = PyType_FromSpec(&Sink_spec);
        if (originals.sink_type == nullptr)
            return -1;
    }
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    Ref bytes_io = io ? ATTR(io.get(), "BytesIO") : nullptr;
    Ref c_module = Ref::steal(PyImport_ImportModule("_pickle"));
    Ref c_pickler = c_module ? ATTR(c_module.get(), "Pickler") : nullptr;
    Ref tarn = Ref::steal(PyImport_ImportModule(
        "tarnwick_collector.data_serialization._tarn_pickle"));
    Ref tarn_init = tarn ? ATTR(tarn.get(), "pickler_init") : nullptr;
    Ref tarn_dump = tarn ? ATTR(tarn.get(), "pickler_dump") : nullptr;
    if (tarn_dump && PyInstanceMethod_Check(tarn_dump.get()))
        tarn_dump =
            Ref::borrow(PyInstanceMethod_GET_FUNCTION(tarn_dump.get()));
    Ref helpers = GLOBAL(m, "UnpicklableHelpers");
    if (!bytes_io || !c_pickler || !tarn_init || !tarn_dump || !helpers)
        return -1;
    auto *prepared = static_cast<const tw::TarnDumpPrepared *>(
        PyCapsule_Import(TW_TARN_DUMP_PREPARED_CAPSULE, 0));
    if (prepared == nullptr)
        return -1;
    auto *walk_entry = static_cast<const tw::TarnCurrentWalk *>(
        PyCapsule_Import(TW_TARN_CURRENT_WALK_CAPSULE, 0));
    if (walk_entry == nullptr)
        return -1;
    current_walk = *walk_entry;
    Ref persistent_id = own_class_entry(c_pickler.get(), "persistent_id");
    Ref dispatch_table = own_class_entry(c_pickler.get(), "dispatch_table");
    Ref memo = own_class_entry(c_pickler.get(), "memo");
    Ref clear_memo = own_class_entry(c_pickler.get(), "clear_memo");
    Ref failure_reducer = ATTR(helpers.get(), "__reduce__");
    Ref special_cases = ATTR(helpers.get(), "special_cases");
    Ref empty_memo = Ref::steal(PyDict_New());
    Ref safe_pickler = GLOBAL(m, "SafePickler");
    PyObject *override = safe_pickler && PyType_Check(safe_pickler.get())
                             ? _PyType_Lookup(reinterpret_cast<PyTypeObject *>(
                                                  safe_pickler.get()),
                                              TW_STR("reducer_override"))
                             : nullptr;
    Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
    Ref registry =
        copyreg ? ATTR(copyreg.get(), "_extension_registry") : nullptr;
    if (!safe_pickler || override == nullptr || !registry)
        return -1;
    if (!persistent_id || !dispatch_table || !memo || !clear_memo ||
        !failure_reducer || !special_cases || !empty_memo)
        return -1;
    Py_XSETREF(originals.bytes_io, bytes_io.release());
    Py_XSETREF(originals.c_pickler, c_pickler.release());
    Py_XSETREF(originals.persistent_id, persistent_id.release());
    Py_XSETREF(originals.dispatch_table, dispatch_table.release());
    Py_XSETREF(originals.memo, memo.release());
    Py_XSETREF(originals.clear_memo, clear_memo.release());
    Py_XSETREF(originals.tarn_init, tarn_init.release());
    Py_XSETREF(originals.tarn_module, tarn.release());
    Py_XSETREF(originals.tarn_dump, tarn_dump.release());
    originals.dump_prepared = *prepared;
    Py_XSETREF(originals.failure_reducer, failure_reducer.release());
    Py_XSETREF(originals.special_cases, special_cases.release());
    Py_XSETREF(originals.empty_memo, empty_memo.release());
    Py_XSETREF(originals.safe_pickler, safe_pickler.release());
    Py_XSETREF(originals.reducer_override, Py_NewRef(override));
    Py_XSETREF(originals.extension_registry, registry.release());
    Ref inspect = GLOBAL(m, "inspect");
    if (!inspect || capture_routines(inspect.get()) < 0)
        return -1;
    return 0;
}

}  // namespace tw_pickler
