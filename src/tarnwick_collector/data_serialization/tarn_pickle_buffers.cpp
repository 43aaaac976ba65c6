// The C pickler writes a pickle.PickleBuffer by itself, without asking the
// hook, and fails on one below protocol 5 (or on a released or
// non-contiguous one): the dump ends in the middle of the stream. When
// that happens before the C pickler has handed the file a byte, the dump
// is made again on copies of the plain containers that lead to such
// buffers, each buffer replaced by a stand-in object that the hook
// answers with failure_reducer(buffer). The copies are made from the top
// value and from every reduce value the hook hands back, so the buffers
// are found wherever the C pickler would meet them; shared and recursive
// containers stay shared and recursive.
#include "tarn_pickle_internal.hpp"

namespace tw_tarn_pickle {

static PyObject *Writer_write(PyObject *self, PyObject *data)
{
    Writer *w = reinterpret_cast<Writer *>(self);
    w->calls++;
    return PyObject_CallOneArg(w->write, data);
}

static int Writer_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(reinterpret_cast<Writer *>(self)->write);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

static int Writer_clear(PyObject *self)
{
    Py_CLEAR(reinterpret_cast<Writer *>(self)->write);
    return 0;
}

static void Writer_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Writer_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef Writer_methods[] = {
    {"write", Writer_write, METH_O, "Passes the bytes on to the file."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot Writer_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(Writer_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(Writer_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(Writer_clear)},
    {Py_tp_methods, Writer_methods},
    {Py_tp_doc, const_cast<char *>("The file of a tarn_pickle.Pickler.")},
    {0, nullptr},
};

PyType_Spec Writer_spec = {
    "tarnwick_collector.data_serialization._tarn_pickle.Writer",
    sizeof(Writer), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, Writer_slots};

static void StandIn_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    Py_CLEAR(reinterpret_cast<StandIn *>(self)->buffer);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyType_Slot StandIn_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(StandIn_dealloc)},
    {Py_tp_doc, const_cast<char *>("A pickle buffer's place in a dump.")},
    {0, nullptr},
};

PyType_Spec StandIn_spec = {
    "tarnwick_collector.data_serialization._tarn_pickle.StandIn",
    sizeof(StandIn), 0, Py_TPFLAGS_DEFAULT, StandIn_slots};

// Whether the C pickler writes the pickle buffer `pb` without error.
static bool buffer_writable(DumpState *st, PyObject *pb)
{
    if (st->proto < 5)
        return false;
    const Py_buffer *view = PyPickleBuffer_GetBuffer(pb);
    if (view == nullptr) {
        PyErr_Clear();
        return false;
    }
    return PyBuffer_IsContiguous(view, 'A') != 0;
}

// Records that the copy of `x` is `copy` (both kept).
static void remember(Scrub *sc, PyObject *x, PyObject *copy)
{
    auto added = sc->done.try_emplace(x);
    if (added.second)
        added.first->second = Held{tw::Ref::borrow(x), tw::Ref::borrow(copy)};
}

// What the C pickler is to write in place of `x` in a dump made again:
// `x` itself, unless it is a pickle buffer it cannot write (then its
// stand-in) or an exact list, dict or tuple (then a copy of it, made of
// what is written in place of its items). New reference, or NULL with an
// exception set. *waiting: the result is a tuple whose copy is being made
// (itself, for now): the caller patches the copy in once made. Runs no
// code of the program.
PyObject *scrub(DumpState *st, PyObject *x, bool *waiting)
{
    *waiting = false;
    PyTypeObject *t = Py_TYPE(x);
    if (t != &PyList_Type && t != &PyDict_Type && t != &PyTuple_Type &&
        t != &PyPickleBuffer_Type)
        return Py_NewRef(x);
    Scrub *sc = st->scrub;
    auto found = sc->done.find(x);
    if (found != sc->done.end())
        return found->second.value.new_ref();
    if (t == &PyTuple_Type && sc->busy.count(x) != 0) {
        *waiting = true;
        return Py_NewRef(x);
    }
    if (t == &PyPickleBuffer_Type) {
        if (buffer_writable(st, x))
            return Py_NewRef(x);
        PyObject *in = PyType_GenericAlloc(
            reinterpret_cast<PyTypeObject *>(st->ms->stand_in_type), 0);
        if (in == nullptr)
            return nullptr;
        reinterpret_cast<StandIn *>(in)->buffer = Py_NewRef(x);
        remember(sc, x, in);
        return in;
    }
    if (Py_EnterRecursiveCall(" while pickling an object"))
        return nullptr;
    tw::Ref copy;
    bool item_waiting;
    if (t == &PyList_Type) {
        const Py_ssize_t n = PyList_GET_SIZE(x);
        copy = tw::Ref::steal(PyList_New(n));
        if (copy)
            remember(sc, x, copy.get());
        for (Py_ssize_t i = 0; copy && i < n; i++) {
            PyObject *item = scrub(st, PyList_GET_ITEM(x, i), &item_waiting);
            if (item == nullptr) {
                copy.reset();
                break;
            }
            PyList_SET_ITEM(copy.get(), i, item);
            if (item_waiting)
                sc->waiting[item].push_back(Scrub::Fix{copy.get(), i, nullptr});
        }
    }
    else if (t == &PyDict_Type) {
        copy = tw::Ref::steal(PyDict_Copy(x));
        if (copy)
            remember(sc, x, copy.get());
        Py_ssize_t pos = 0;
        PyObject *k, *v;
#if PY_VERSION_HEX >= 0x030D0000
        // 3.13 keeps the known-hash calls to itself.
        while (copy && PyDict_Next(x, &pos, &k, &v)) {
            tw::Ref key = tw::Ref::borrow(k);
            tw::Ref item = tw::Ref::steal(scrub(st, v, &item_waiting));
            if (!item ||
                (item.get() != v &&
                 PyDict_SetItem(copy.get(), k, item.get()) < 0)) {
#else
        Py_hash_t hash;
        while (copy && _PyDict_Next(x, &pos, &k, &v, &hash)) {
            tw::Ref key = tw::Ref::borrow(k);
            tw::Ref item = tw::Ref::steal(scrub(st, v, &item_waiting));
            if (!item ||
                (item.get() != v &&
                 _PyDict_SetItem_KnownHash(copy.get(), k, item.get(),
                                           hash) < 0)) {
#endif
                copy.reset();
                break;
            }
            if (item_waiting)
                sc->waiting[item.get()].push_back(
                    Scrub::Fix{copy.get(), 0, std::move(key)});
        }
    }
    else {
        const Py_ssize_t n = PyTuple_GET_SIZE(x);
        copy = tw::Ref::steal(PyTuple_New(n));
        sc->busy.emplace(x, true);
        for (Py_ssize_t i = 0; copy && i < n; i++) {
            PyObject *item = scrub(st, PyTuple_GET_ITEM(x, i), &item_waiting);
            if (item == nullptr) {
                copy.reset();
                break;
            }
            PyTuple_SET_ITEM(copy.get(), i, item);
            if (item_waiting)
                sc->waiting[item].push_back(Scrub::Fix{copy.get(), i, nullptr});
        }
        sc->busy.erase(x);
        if (copy) {
            remember(sc, x, copy.get());
            auto w = sc->waiting.find(x);
            if (w != sc->waiting.end()) {
                std::vector<Scrub::Fix> fixes = std::move(w->second);
                sc->waiting.erase(w);
                for (Scrub::Fix &f : fixes) {
                    PyObject *c = copy.get();
                    if (PyList_Check(f.into)) {
                        PyList_SetItem(f.into, f.index, Py_NewRef(c));
                    }
                    else if (PyTuple_Check(f.into)) {
                        tw::Ref old = tw::Ref::steal(
                            PyTuple_GET_ITEM(f.into, f.index));
                        PyTuple_SET_ITEM(f.into, f.index, Py_NewRef(c));
                    }
                    else if (copy &&
                             PyDict_SetItem(f.into, f.key.get(), c) < 0) {
                        copy.reset();
                    }
                    f.key.reset();
                }
            }
        }
    }
    Py_LeaveRecursiveCall();
    return copy.release();
}

// scrub() of what a reduce value hands the C pickler (its arguments, state
// and list and dict items). Steals `rv`; new reference, or NULL with an
// exception set.
PyObject *scrub_reduce(DumpState *st, PyObject *rv_in)
{
    tw::Ref rv = tw::Ref::steal(rv_in);
    if (!PyTuple_Check(rv.get()))
        return rv.release();
    const Py_ssize_t size = PyTuple_GET_SIZE(rv.get());
    tw::Ref copy = tw::Ref::steal(PyTuple_New(size));
    if (!copy)
        return nullptr;
    for (Py_ssize_t i = 0; i < size; i++) {
        PyObject *v = PyTuple_GET_ITEM(rv.get(), i);
        bool waiting;
        PyObject *done;
        if ((i == 3 || i == 4) && v != Py_None) {
            tw::Ref items = tw::Ref::steal(PySequence_List(v));
            tw::Ref scrubbed = items ? tw::Ref::steal(scrub(st, items.get(),
                                                            &waiting))
                                     : tw::Ref();
            done = scrubbed ? PyObject_GetIter(scrubbed.get()) : nullptr;
        }
        else if (i == 1 || i == 2) {
            done = scrub(st, v, &waiting);
        }
        else {
            done = Py_NewRef(v);
        }
        if (done == nullptr)
            return nullptr;
        PyTuple_SET_ITEM(copy.get(), i, done);
    }
    return copy.release();
}


// Whether the exception pending (the one that ended a dump) is the C
// pickler's failure on a pickle buffer.
bool buffer_failure(ModState *ms)
{
    if (!tw::containable() || PyErr_ExceptionMatches(ms->problematic))
        return false;
    Fetched error = Fetched::take();
    error.normalize();
    bool found = false;
    if (error.value) {
        tw::Ref text = tw::Ref::steal(PyObject_Str(error.value.get()));
        if (text) {
            const Py_ssize_t at = PyUnicode_Find(
                text.get(), TW_STR("PickleBuffer"), 0,
                PyUnicode_GET_LENGTH(text.get()), 1);
            found = at >= 0;
        }
        PyErr_Clear();
    }
    error.restore();
    return found;
}

// The dump of `obj` made again, after the C pickler failed on a pickle
// buffer before it wrote to the file: its memo is emptied (a fresh
// stream), and the copies of scrub() are written. New reference, or NULL
// with an exception set (the first failure's when the copies cannot be
// made).
PyObject *dump_without_buffers(DumpState *st, PyObject *pickler, PyObject *obj)
{
    Fetched first = Fetched::take();
    tw::Ref cleared = tw::call(st->ms->clear_memo, pickler);
    if (st->work != nullptr) {
        st->work->pending.clear();
        st->work->answers.clear();
    }
    if (cleared && st->scrub == nullptr)
        st->scrub = new (std::nothrow) Scrub();
    bool waiting;
    tw::Ref copy = cleared && st->scrub != nullptr
                       ? tw::Ref::steal(scrub(st, obj, &waiting))
                       : tw::Ref();
    if (!copy) {
        if (!tw::containable())
            return nullptr;
        PyErr_Clear();
        first.restore();
        return nullptr;
    }
    first = Fetched{};
    return tw::call(st->ms->pickler_dump, pickler, copy.get()).release();
}


}  // namespace tw_tarn_pickle
