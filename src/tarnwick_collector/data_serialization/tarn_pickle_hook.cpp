// Native part of tarn_pickle: the per-object hook that keeps the C pickler
// from failing in the middle of an object.
//
// The interpreter's C pickler writes an object's opcodes as it goes, and
// flushes full frames to the file, so an exception half way through an
// object leaves a stream that cannot be repaired. `dump` therefore installs,
// for the length of one `Pickler.dump`, a hook as the pickler's
// `reducer_override`. The C pickler asks it about every object that is not
// an atom, an exact str/bytes/dict/list/tuple/set/frozenset/bytearray, or
// already memoized. The hook
//
//   1. asks the subclass's own `reducer_override`, if it has one;
//   2. otherwise computes the reduction the C pickler would compute
//      (dispatch table, by-reference write of classes and functions,
//      `__reduce_ex__`);
//   3. checks that what it is about to hand back can be written without
//      error: the reduce value is well formed, its callable (or the class
//      of a __newobj__) can be written by reference, its list and dict
//      items can be iterated;
//   4. on any failure, returns `failure_reducer(obj)` instead, checked the
//      same way.
//
// So every object either gets a reduce value that writes cleanly or is
// replaced as a whole before a byte of it is written; what is inside a
// reduce value is asked about again when the C pickler reaches it, so a
// failure costs only the object that failed.
//
// A ProblematicPickleException raised while asking about an object is a
// refusal, not a failure: it leaves `dump`, unless the object is, or lies
// inside, an instance of a class for which `special_cases(cls)` is true
// (see the docstring of tarn_pickle for the whole contract).
//
// Nesting is told from the C stack: the C pickler reaches the hook through
// the same chain of calls for every object, and the objects written inside
// an object are written by calls below it, so a hook call made from a
// deeper frame than an earlier one is inside that object's write, and one
// made from the same or a shallower frame is not.
#include "tarn_pickle_internal.hpp"

namespace tw_tarn_pickle {

// Placeholders cut short by a bound of the failure reducer's walk, over
// all dumps of the process (see placeholders_cut).
Py_ssize_t placeholders_cut_total = 0;

// Ends the dump of `st`: its references are dropped. Its Work is emptied
// and kept for a next dump of the same state (the hook of a closed state
// touches nothing, so code run by the releases cannot reach it).
void state_close(DumpState *st)
{
    st->active = 0;
    placeholders_cut_total += st->walk.cut;
    st->walk = tw::TarnWalk{nullptr, 0, 0};
    if (st->scrub != nullptr) {
        Scrub *sc = st->scrub;
        st->scrub = nullptr;
        delete sc;
    }
    if (st->work != nullptr) {
        Work *w = st->work;
        w->pending.clear();
        w->writable.clear();
        w->answers.clear();
    }
    Py_CLEAR(st->pickler);
    Py_CLEAR(st->user);
    Py_CLEAR(st->failure_reducer);
    Py_CLEAR(st->special_cases);
    Py_CLEAR(st->dispatch);
    Py_CLEAR(st->proto_obj);
    Py_CLEAR(st->special_known);
    Py_CLEAR(st->module);
}

static void state_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    DumpState *st = reinterpret_cast<DumpState *>(self);
    state_close(st);
    delete st->work;
    st->work = nullptr;
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyType_Slot state_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(state_dealloc)},
    {Py_tp_doc,
     const_cast<char *>("State of one dump of tarn_pickle.Pickler.")},
    {0, nullptr},
};

PyType_Spec state_spec = {
    "tarnwick_collector.data_serialization._tarn_pickle.DumpState",
    sizeof(DumpState), 0, Py_TPFLAGS_DEFAULT, state_slots};

// Steals `rv`, a reduce value for `obj`; checks it or falls back.
static PyObject *finish(DumpState *st, PyObject *obj, PyObject *rv)
{
    PyObject *checked = check_reduce(st, obj, rv);
    if (checked == nullptr)
        return on_error(st, obj);
    return checked;
}

// The C pickler's own way with an object that its reducer_override left
// alone, worked out here so that a failure can still be replaced: 1 and the
// checked reduce value in `out`; 0 when the C pickler writes the object by
// reference and can; -1 with an exception set.
int own_reduce(DumpState *st, PyObject *obj, tw::Ref &out)
{
    out.reset();
    PyTypeObject *t = Py_TYPE(obj);
    if (t == &PyType_Type || t == &PyFunction_Type) {
        if (t == &PyType_Type && is_singleton_type(obj))
            return 0;
        return check_global_cached(st, obj);
    }
    if (t == &PyPickleBuffer_Type && st->proto >= 5)
        return 0;

    PyObject *tobj = reinterpret_cast<PyObject *>(t);
    tw::Ref reduce_func;
    if (PyDict_CheckExact(st->dispatch)) {
        // (An empty table is the common case: SafePickler's own.)
        if (PyDict_GET_SIZE(st->dispatch) != 0) {
            reduce_func =
                tw::Ref::borrow(PyDict_GetItemWithError(st->dispatch, tobj));
            if (!reduce_func && PyErr_Occurred())
                return -1;
        }
    } else {
        reduce_func = tw::Ref::steal(PyObject_GetItem(st->dispatch, tobj));
        if (!reduce_func) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError))
                return -1;
            PyErr_Clear();
        }
    }
    PyObject *rv;
    if (reduce_func) {
        rv = PyObject_CallOneArg(reduce_func.get(), obj);
    } else if (PyType_IsSubtype(t, &PyType_Type)) {
        // A class with a metaclass of its own: written by reference.
        return check_global_cached(st, obj);
    } else {
        rv = tw::call_method(obj, TW_STR("__reduce_ex__"), st->proto_obj)
                 .release();
    }
    if (rv == nullptr)
        return -1;
    out = tw::Ref::steal(check_reduce(st, obj, rv));
    return out ? 1 : -1;
}

static PyObject *answer(DumpState *st, PyObject *obj);

static PyObject *hook(PyObject *self, PyObject *obj)
{
    DumpState *st = reinterpret_cast<DumpState *>(self);
    if (!st->active)
        Py_RETURN_NOTIMPLEMENTED;
    PyObject *rv = answer(st, obj);
    if (rv != nullptr && rv != Py_NotImplemented && st->scrub != nullptr &&
        st->active)
        rv = scrub_reduce(st, rv);
    return rv;
}

// The hook's answer for `obj`.
static PyObject *answer(DumpState *st, PyObject *obj)
{
    if (st->work == nullptr) {
        st->work = new (std::nothrow) Work();
        if (st->work == nullptr)
            return PyErr_NoMemory();
    }

    // Forget the objects whose write has ended: their hook calls were made
    // from this frame depth or deeper (the stack grows down).
    const uintptr_t frame =
        reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    std::vector<Pending> &pending = st->work->pending;
    while (!pending.empty() && pending.back().frame <= frame)
        pending.pop_back();
    pending.push_back(Pending{
        frame, tw::Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(obj))),
        false});

    if (recursion_left() < RECURSION_RESERVE && !PyType_Check(obj) &&
        !PyFunction_Check(obj) && !PyCFunction_Check(obj)) {
        // Going deeper would fail in the middle of the stream: the object
        // ends the descent as a replacement without state. (Classes and
        // functions are written by reference, at no depth; they name the
        // replacements.)
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while pickling an "
                        "object");
        return on_error(st, obj, true);
    }

    if (st->scrub != nullptr &&
        Py_IS_TYPE(obj,
                   reinterpret_cast<PyTypeObject *>(st->ms->stand_in_type))) {
        PyObject *buffer = reinterpret_cast<StandIn *>(obj)->buffer;
        PyErr_Format(st->ms->pickling_error,
                     "Can't pickle %R: a PickleBuffer is written only "
                     "in band at protocol 5 or above, when contiguous",
                     buffer);
        return on_error(st, buffer);
    }

    if (st->user != nullptr) {
        tw::Ref rv;
        auto &answers = st->work->answers;
        if (!answers.empty()) {
            auto it = answers.find(obj);
            if (it != answers.end()) {
                rv = std::move(it->second.value);
                answers.erase(it);
            }
        }
        if (!rv)
            rv = tw::Ref::steal(call_user(st, obj));
        if (!rv)
            return on_error(st, obj);
        if (rv.get() != Py_NotImplemented)
            return finish(st, obj, rv.release());
    }
    tw::Ref rv;
    const int r = own_reduce(st, obj, rv);
    if (r < 0)
        return on_error(st, obj);
    if (r == 0)
        Py_RETURN_NOTIMPLEMENTED;
    return rv.release();
}

PyMethodDef hook_def = {"reducer_override", hook, METH_O,
                        "Answers the C pickler for one object."};

}  // namespace tw_tarn_pickle
