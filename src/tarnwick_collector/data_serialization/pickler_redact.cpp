// The safe pickler's side of redaction.
//
// The C pickler writes exact dicts, lists and tuples without asking any
// hook, so a value is either walked before the dump (tw/redact.hpp), the
// pickler then writing the walk's copy when something in it is redacted,
// or dumped as it is and its bytes looked through for a matching name,
// which every name written holds as text. The second way costs a few per
// cent of the dump where the walk costs a fifth; a stream in which
// something may match is dumped again the first way, and the next dumps
// take the first way for a while, so a program full of matching names
// pays little more than the walk. Everything else reaches
// SafePickler.reducer_override; what it writes of such an object (its
// attributes, the entries of a dict subclass, the state of its reduce value)
// is walked there, where an object that holds nothing to redact keeps the
// answer it had (NotImplemented stays NotImplemented, so the C pickler's own
// path runs).
#include "pickler_redact.hpp"

#include "pickler_internal.hpp"

#include "tw/redact.hpp"

namespace pickler_redact {

using tw::Ref;

namespace {

tw::redact::Matcher matcher;

// Set while this thread makes a dump without redaction (Way).
thread_local bool unredacted = false;

// Dumps left to redact first after a stream in which something matched.
constexpr int kWalkAfterFound = 32;
int walk_first_left = 0;

// tarnwick_common.redaction's marker and functions (strong, for the life
// of the process), looked up at first use.
struct Vocabulary {
    PyObject *module = nullptr;
    PyObject *marker = nullptr;
    PyObject *remember = nullptr;
    PyObject *scrub = nullptr;
};
Vocabulary vocabulary;

int load_vocabulary()
{
    if (vocabulary.marker != nullptr)
        return 0;
    Ref module =
        Ref::steal(PyImport_ImportModule("tarnwick_common.redaction"));
    if (!module)
        return -1;
    Ref marker = tw::getattr(module.get(), TW_STR("REDACTED"));
    Ref remember =
        marker ? tw::getattr(module.get(), TW_STR("remember")) : nullptr;
    Ref scrub = remember ? tw::getattr(module.get(), TW_STR("scrub_exception"))
                         : nullptr;
    if (!scrub)
        return -1;
    vocabulary.module = module.release();
    vocabulary.remember = remember.release();
    vocabulary.scrub = scrub.release();
    vocabulary.marker = marker.release();
    return 0;
}

// The values redacted so far (tarnwick_common.redaction._remembered_set,
// a frozenset replaced at each change), as of the last refresh.
struct Secrets {
    PyObject *set = nullptr;  // strong; NULL or a non-empty frozenset
    uint64_t lengths = 0;
};
Secrets secrets;

int refresh_secrets()
{
    Ref now = tw::getattr(vocabulary.module, TW_STR("_remembered_set"));
    if (!now)
        return -1;
    if (now.get() == secrets.set)
        return 0;
    Py_CLEAR(secrets.set);
    secrets.lengths = 0;
    if (!PyFrozenSet_CheckExact(now.get()) || PySet_GET_SIZE(now.get()) == 0)
        return 0;
    Ref it = Ref::steal(PyObject_GetIter(now.get()));
    if (!it)
        return -1;
    while (PyObject *v = PyIter_Next(it.get())) {
        if (PyUnicode_Check(v)) {
            const Py_ssize_t n = PyUnicode_GET_LENGTH(v);
            secrets.lengths |= uint64_t(1) << (n < 63 ? n : 63);
        }
        Py_DECREF(v);
    }
    if (PyErr_Occurred())
        return -1;
    secrets.set = now.release();
    return 0;
}

tw::redact::Hooks hooks()
{
    return {vocabulary.marker, vocabulary.remember, vocabulary.scrub,
            secrets.set, secrets.lengths};
}

// The instance dict of `obj`, as `obj.__dict__` gives it without running
// a descriptor of its class; NULL (no exception) when it has none. New
// reference.
Ref dict_of(PyObject *obj)
{
#if PY_VERSION_HEX < 0x030D0000
    PyObject **dictptr = _PyObject_GetDictPtr(obj);
    if (dictptr == nullptr || *dictptr == nullptr || !PyDict_Check(*dictptr))
        return nullptr;
    return Ref::borrow(*dictptr);
#else
    PyTypeObject *tp = Py_TYPE(obj);
    if (!(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT)) {
        // A dict of its own slot (an exception's) is read where it is:
        // asking for it would give the object one it does not have yet.
        if (tp->tp_dictoffset == 0)
            return nullptr;
        PyObject **dictptr = _PyObject_GetDictPtr(obj);
        if (dictptr == nullptr || *dictptr == nullptr ||
            !PyDict_Check(*dictptr))
            return nullptr;
        return Ref::borrow(*dictptr);
    }
    Ref d = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!d || !PyDict_Check(d.get())) {
        PyErr_Clear();
        return nullptr;
    }
    return d;
#endif
}

// The protocol of the dump `pickler` runs (4 when it cannot be told).
int protocol_of(PyObject *pickler)
{
    if (pickler == nullptr)
        return 4;
    Ref d = dict_of(pickler);
    if (d) {
        PyObject *p =
            PyDict_GetItemWithError(d.get(), TW_STR("_tarn_protocol"));
        if (p != nullptr && PyLong_CheckExact(p)) {
            long v = PyLong_AsLong(p);
            if (v >= 0 && v <= 5)
                return static_cast<int>(v);
        }
        PyErr_Clear();
    }
    return 4;
}

// The instance dict of `obj`, or NULL when it has none. Only an object of
// a class defined in Python is asked: the C pickler's own path for it
// writes that dict as the state. New reference.
Ref instance_dict(PyObject *obj)
{
    if (!(Py_TYPE(obj)->tp_flags & Py_TPFLAGS_HEAPTYPE))
        return nullptr;
    return dict_of(obj);
}

// The reduce value of `obj` as the C pickler would compute it, with its
// state and dict items walked. New reference.
Ref redacted_reduce_ex(PyObject *pickler, PyObject *obj, bool items)
{
    Ref proto = Ref::steal(PyLong_FromLong(protocol_of(pickler)));
    if (!proto)
        return nullptr;
    Ref reduced = tw::call_method(obj, TW_STR("__reduce_ex__"), proto.get());
    if (!reduced)
        return nullptr;
    if (!PyTuple_Check(reduced.get()) || PyTuple_GET_SIZE(reduced.get()) < 2)
        return Ref::borrow(Py_NotImplemented);  // let the C pickler say why
    Ref parts = Ref::steal(PySequence_List(reduced.get()));
    if (!parts)
        return nullptr;
    const tw::redact::Hooks h = hooks();
    if (PyList_GET_SIZE(parts.get()) >= 3) {
        tw::redact::Walk walk(matcher, h);
        Ref state = walk.value(PyList_GET_ITEM(parts.get(), 2));
        if (!state)
            return nullptr;
        if (PyList_SetItem(parts.get(), 2, state.release()) < 0)
            return nullptr;
    }
    if (items && PyList_GET_SIZE(parts.get()) >= 5 &&
        PyList_GET_ITEM(parts.get(), 4) != Py_None) {
        tw::redact::Walk walk(matcher, h);
        Ref entries = walk.entries(obj);
        if (!entries)
            return nullptr;
        Ref pairs = tw::call_method(entries.get(), TW_STR("items"));
        Ref it = pairs ? Ref::steal(PyObject_GetIter(pairs.get())) : nullptr;
        if (!it || PyList_SetItem(parts.get(), 4, it.release()) < 0)
            return nullptr;
    }
    return Ref::steal(PyList_AsTuple(parts.get()));
}

// The reduction of one of the recorder's records (its class's default
// one, `reduced` being NotImplemented): the values of its attributes are
// walked, their names are not matched.
Ref record_reduction(PyObject *pickler, PyObject *obj, Ref reduced)
{
    Ref d = instance_dict(obj);
    if (!d)
        return PyErr_Occurred() ? nullptr : std::move(reduced);
    const tw::redact::Hooks h = hooks();
    Ref copy;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(d.get(), &pos, &key, &value)) {
        Ref held = Ref::borrow(value);
        tw::redact::Walk walk(matcher, h);
        Ref walked = walk.value(value);
        if (!walked)
            return nullptr;
        if (walked.get() == value)
            continue;
        if (!copy) {
            copy = Ref::steal(PyDict_Copy(d.get()));
            if (!copy)
                return nullptr;
        }
        if (PyDict_SetItem(copy.get(), key, walked.get()) < 0)
            return nullptr;
    }
    if (!copy)
        return reduced;
    Ref proto = Ref::steal(PyLong_FromLong(protocol_of(pickler)));
    Ref parts =
        proto ? tw::call_method(obj, TW_STR("__reduce_ex__"), proto.get())
              : Ref();
    if (!parts)
        return nullptr;
    if (!PyTuple_Check(parts.get()) || PyTuple_GET_SIZE(parts.get()) < 3)
        return reduced;  // not the default reduction: written as it is
    Ref list = Ref::steal(PySequence_List(parts.get()));
    if (!list || PyList_SetItem(list.get(), 2, copy.release()) < 0)
        return nullptr;
    return Ref::steal(PyList_AsTuple(list.get()));
}

}  // namespace

int refresh(PyObject *patterns)
{
    if (matcher.update(patterns) < 0)
        return -1;
    if (!matcher.on())
        return 0;
    return load_vocabulary() < 0 ? -1 : refresh_secrets();
}

// Whether the settings ask for redaction, whatever the way of the dump
// in progress.
static bool asked()
{
    return matcher.on() && vocabulary.marker != nullptr;
}

bool on()
{
    return asked() && !unredacted;
}

bool scan_first()
{
    if (!asked() || !matcher.scannable() || secrets.set != nullptr)
        return false;
    if (walk_first_left > 0) {
        walk_first_left--;
        return false;
    }
    return true;
}

bool name_matches(PyObject *name)
{
    return asked() && matcher.matches(name);
}

bool found(PyObject *pickled)
{
    if (!PyBytes_CheckExact(pickled))
        return true;
    const bool hit = matcher.found_in(
        reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(pickled)),
        static_cast<size_t>(PyBytes_GET_SIZE(pickled)));
    if (hit)
        walk_first_left = kWalkAfterFound;
    return hit;
}

Way::Way(bool redacting) : was_(unredacted)
{
    unredacted = !redacting;
}

Way::~Way()
{
    unredacted = was_;
}

Ref value(PyObject *obj)
{
    if (!on())
        return Ref::borrow(obj);
    tw::redact::Walk walk(matcher, hooks());
    return walk.value(obj);
}

Ref reduction(PyObject *pickler, PyObject *obj, Ref reduced)
{
    if (!reduced || !on())
        return reduced;
    // A pattern such as `name` or `value` must not take the record's own
    // fields (full_name, return_value) for the program's: only what they
    // hold is walked.
    if (reduced.get() == Py_NotImplemented &&
        tw_pickler::recorders_record(Py_TYPE(obj)))
        return record_reduction(pickler, obj, std::move(reduced));
    const tw::redact::Hooks h = hooks();
    if (reduced.get() == Py_NotImplemented) {
        // A class is written by reference, whatever its namespace holds.
        if (PyType_Check(obj))
            return reduced;
        // The C pickler's own path: the instance dict is the state, and a
        // dict subclass's entries are its dict items.
        bool changed = false;
        if (Ref d = instance_dict(obj)) {
            tw::redact::Walk walk(matcher, h);
            Ref walked = walk.value(d.get());
            if (!walked)
                return nullptr;
            changed = walked.get() != d.get();
        }
        const bool items = PyDict_Check(obj) && !PyDict_CheckExact(obj);
        if (!changed && items) {
            tw::redact::Walk walk(matcher, h);
            Ref walked = walk.entries(obj);
            if (!walked)
                return nullptr;
            changed = walked.get() != obj;
        }
        if (!changed)
            return reduced;
        return redacted_reduce_ex(pickler, obj, items);
    }
    // A reduce value of the pickler's own (an object reduced to its used
    // attributes, a replacement): its state is written as given.
    if (PyTuple_CheckExact(reduced.get()) &&
        PyTuple_GET_SIZE(reduced.get()) >= 3) {
        PyObject *state = PyTuple_GET_ITEM(reduced.get(), 2);
        tw::redact::Walk walk(matcher, h);
        Ref walked = walk.value(state);
        if (!walked)
            return nullptr;
        if (walked.get() == state)
            return reduced;
        Ref copy = Ref::steal(PySequence_List(reduced.get()));
        if (!copy || PyList_SetItem(copy.get(), 2, walked.release()) < 0)
            return nullptr;
        return Ref::steal(PyList_AsTuple(copy.get()));
    }
    return reduced;
}

}  // namespace pickler_redact
