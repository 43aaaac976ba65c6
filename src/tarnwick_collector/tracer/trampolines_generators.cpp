// Recorded generator calls. A generator's body runs in pieces, each from a
// resumption to the next yield, and other code (its consumer, other
// recorded calls) runs in between on the same thread, or on another. The
// generator's entry therefore is on the thread's stack only while a piece
// runs:
//
//   * each `yield X` of an instrumented generator body is compiled as
//     `gres(gsus(X), (yield gval()))`. gsus(X) records the value at the
//     core (record_generator_yield), takes the entry off the stack and
//     returns a Hold keeping it; gval() yields X itself (the value passes
//     through the thread state, never through a name of the frame). The
//     Hold sits on the suspended frame's own value stack, as the first
//     argument of the pending gres call;
//   * a resumption by next() or send(v) completes that call:
//     gres(hold, v) puts the entry back and tells the core
//     (record_generator_resume), then gives the body v;
//   * a resumption by throw() or close() raises at the yield: unwinding
//     the frame drops the Hold while the frame is the one running, and the
//     Hold's deallocation puts the entry back before any handler of the
//     body runs. GeneratorExit marks the entry as closing;
//   * `yield from X` becomes `gres(gfrom(X), (yield from gval()))`: the
//     entry is held for the whole delegation, whose values go from the
//     delegate to the consumer unseen (the core counts the delegation).
//
// The call ends in exc() or exit(), as a plain call does, at the core's
// record_generator_return_value with how it ended: returned, raised, closed
// (resumed by close()) or abandoned (closed by its collection: the
// interpreter clears the weak references to a generator before it
// finalizes it, so the entry's weak reference is dead then).
#include "trampolines_internal.hpp"

namespace tw_trampolines {

static PyTypeObject *Hold_Type = nullptr;

// Holds that keep an entry: recorded generator calls suspended now.
Py_ssize_t suspended_generator_calls = 0;

// The entry of a suspended recorded generator, and the core's token for
// its resumption. Object fields strong or NULL.
struct Hold {
    PyObject_HEAD
    PyObject *frame;
    PyObject *record;
    PyObject *retval;
    PyObject *gen;
    PyObject *token;
    int closing;
    int delegated;  // held through a `yield from`, which resumes with its
                    // delegate's result, not with a value sent in
    int has;        // an entry is held
};

#define TW_HOLD_OBJECTS(X) X(frame) X(record) X(retval) X(gen) X(token)

// New reference to a Hold keeping `e` (moved from) and `token` (borrowed),
// or NULL with an exception set (`e` then untouched).
static PyObject *new_hold(Entry &e, PyObject *token, bool delegated)
{
    Hold *h = PyObject_GC_New(Hold, Hold_Type);
    if (h == nullptr)
        return nullptr;
    h->frame = e.frame.release();
    h->record = e.record.release();
    h->retval = e.retval.release();
    h->gen = e.gen.release();
    h->token = Py_NewRef(token);
    h->closing = e.closing;
    h->delegated = delegated;
    h->has = 1;
    suspended_generator_calls++;
    PyObject_GC_Track(h);
    return reinterpret_cast<PyObject *>(h);
}

// The entry the Hold keeps, taken out of it.
static Entry take_entry(Hold *h)
{
    Entry e;
    e.frame = tw::Ref::steal(h->frame);
    e.record = tw::Ref::steal(h->record);
    e.retval = tw::Ref::steal(h->retval);
    e.gen = tw::Ref::steal(h->gen);
    h->frame = h->record = h->retval = h->gen = nullptr;
    e.generator = true;
    e.closing = h->closing != 0;
    h->has = 0;
    suspended_generator_calls--;
    return e;
}

// The generator resumes: its entry goes back on the thread's stack and the
// core is told (`sent`, `thrown` borrowed or NULL). 0, or -1 with an
// exception that must reach the program.
static int resume(Hold *h, PyObject *sent, PyObject *thrown)
{
    tw::Ref token = tw::Ref::steal(h->token);
    h->token = nullptr;
    Entry e = take_entry(h);
    if (thrown != nullptr &&
        PyErr_GivenExceptionMatches(thrown, PyExc_GeneratorExit))
        e.closing = true;
    tw::Ref record = tw::Ref::borrow(e.record.get());
    if (push_whole_entry(std::move(e)) < 0)
        return contain_lost_call();
    if (core.gen_resume == nullptr)
        return 0;
    PyObject *argv[4] = {record.get(), token ? token.get() : Py_None,
                         sent ? sent : Py_None, thrown ? thrown : Py_None};
    return core_notify(core.gen_resume, argv, 4);
}

// gsus(value) and gfrom(value): the generator is about to yield `value`
// (or to delegate to it). Returns the Hold of its entry, or None when the
// frame has no recorded call open.
static PyObject *suspend(PyObject *self, PyObject *const *args, size_t nargsf,
                         PyObject *kwnames, bool delegated)
{
    if (PyVectorcall_NARGS(nargsf) != 1 ||
        (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_Format(PyExc_TypeError, "%R takes 1 positional argument", self);
        return nullptr;
    }
    ThreadState &t = tstate;
    t.yielded = tw::Ref::borrow(args[0]);
    Entry *top = entry_of_current_frame();
    if (top == nullptr || !top->generator)
        Py_RETURN_NONE;
    Entry e = pop_entry();
    tw::Ref token;
    if (core.gen_yield != nullptr) {
        PyObject *argv[3] = {delegated ? Py_None : args[0], e.record.get(),
                             delegated ? Py_True : Py_False};
        token = tw::Ref::steal(core_call(core.gen_yield, argv, 3));
        if (!token && contain_failure() < 0) {
            // The program sees the exception here; the call ends in its
            // handler, so the entry goes back. No yield follows.
            t.yielded.reset();
            tw::ErrorGuard keep;
            if (push_whole_entry(std::move(e)) < 0)
                PyErr_Clear();
            return nullptr;
        }
    }
    PyObject *hold = new_hold(e, token ? token.get() : Py_None, delegated);
    if (hold == nullptr) {
        if (contain_lost_call() < 0)
            return nullptr;
        Py_RETURN_NONE;
    }
    return hold;
}

static PyObject *tr_gsus(PyObject *self, PyObject *const *args, size_t nargsf,
                         PyObject *kwnames)
{
    return suspend(self, args, nargsf, kwnames, false);
}

static PyObject *tr_gfrom(PyObject *self, PyObject *const *args, size_t nargsf,
                          PyObject *kwnames)
{
    return suspend(self, args, nargsf, kwnames, true);
}

// gval(): the value gsus or gfrom just kept.
static PyObject *tr_gval(PyObject *, PyObject *const *, size_t, PyObject *)
{
    ThreadState &t = tstate;
    if (t.yielded)
        return t.yielded.release();
    Py_RETURN_NONE;
}

// gres(hold, sent): the generator resumed by next() or send(sent).
static PyObject *tr_gres(PyObject *self, PyObject *const *args, size_t nargsf,
                         PyObject *kwnames)
{
    if (PyVectorcall_NARGS(nargsf) != 2 ||
        (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_Format(PyExc_TypeError, "%R takes 2 positional arguments", self);
        return nullptr;
    }
    if (Py_IS_TYPE(args[0], Hold_Type)) {
        Hold *h = reinterpret_cast<Hold *>(args[0]);
        if (h->has && resume(h, h->delegated ? nullptr : args[1], nullptr) < 0)
            return nullptr;
    }
    return Py_NewRef(args[1]);
}

// ----------------------------------------------------------------- ending

int end_generator_call(Entry &e, bool raised)
{
    bool collected = false;
    if (e.gen) {
        PyObject *g = nullptr;
        if (PyWeakref_GetRef(e.gen.get(), &g) < 0)
            PyErr_Clear();
        collected = g == nullptr;
        Py_XDECREF(g);
    }
    const char *ending;
    PyObject *retval = e.retval ? e.retval.get() : Py_None;
    if (raised) {
        PyObject *type, *value, *tb;
        PyErr_GetExcInfo(&type, &value, &tb);
        const bool exit = value != nullptr && PyErr_GivenExceptionMatches(
                                                  value, PyExc_GeneratorExit);
        ending = exit || e.closing ? (collected ? "abandoned" : "closed")
                                   : "raised";
        if (value != nullptr &&
            PyErr_GivenExceptionMatches(value, PyExc_StopIteration)) {
            // The consumer sees what the interpreter makes of it.
            Py_XDECREF(type);
            Py_XDECREF(tb);
            PyErr_SetString(PyExc_RuntimeError,
                            "generator raised StopIteration");
            tw::SavedError replaced;
            replaced.fetch_normalized();
            PyException_SetCause(replaced.value(), Py_NewRef(value));
            PyException_SetContext(replaced.value(), value);
            replaced.restore();
        } else {
            PyErr_Restore(type, value, tb);
        }
        retval = Py_None;
    } else {
        ending = e.closing ? (collected ? "abandoned" : "closed") : "returned";
    }
    if (core.gen_return == nullptr)
        return end_user_call(e.record.get(), retval);
    PyObject *name = PyUnicode_InternFromString(ending);
    if (name == nullptr)
        return contain_lost_call();
    tw::Ref ending_obj = tw::Ref::steal(name);
    PyObject *argv[3] = {retval, e.record.get(), ending_obj.get()};
    tw::Ref r = tw::Ref::steal(core_call(core.gen_return, argv, 3));
    if (!r)
        return contain_lost_call();
    r.reset();
    if (PyErr_Occurred())
        PyErr_Clear();
    return 0;
}

// ------------------------------------------------------------------- Hold

static int Hold_traverse(PyObject *self, visitproc visit, void *arg)
{
    Hold *h = reinterpret_cast<Hold *>(self);
#define TW_HOLD_VISIT(field) Py_VISIT(h->field);
    TW_HOLD_OBJECTS(TW_HOLD_VISIT)
#undef TW_HOLD_VISIT
    Py_VISIT(Py_TYPE(self));
    return 0;
}

static int Hold_clear(PyObject *self)
{
    Hold *h = reinterpret_cast<Hold *>(self);
    if (h->has)
        suspended_generator_calls--;
    h->has = 0;
#define TW_HOLD_CLEAR(field) Py_CLEAR(h->field);
    TW_HOLD_OBJECTS(TW_HOLD_CLEAR)
#undef TW_HOLD_CLEAR
    return 0;
}

// A Hold still holding its entry is dropped either by the unwinding of its
// own frame (an exception thrown in at the yield: the generator resumes),
// or with the frame itself, never resumed again (the call is lost).
static void Hold_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Hold *h = reinterpret_cast<Hold *>(self);
    if (h->has) {
        PyObject *running = reinterpret_cast<PyObject *>(PyEval_GetFrame());
        if (running != nullptr && running == h->frame) {
            tw::SavedError thrown;
            thrown.fetch_normalized();
            PyObject *exc = thrown.value() ? thrown.value() : thrown.type();
            if (resume(h, nullptr, exc) < 0)
                PyErr_Clear();  // nothing can be raised from here
            thrown.restore();
        } else {
            lost_otherwise++;
        }
    }
    Hold_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(tp);
}

static PyObject *Hold_repr(PyObject *self)
{
    return PyUnicode_FromString(reinterpret_cast<Hold *>(self)->has
                                    ? "<tarnwick suspended generator call>"
                                    : "<tarnwick resumed generator call>");
}

int add_generator_callables(PyObject *m)
{
    PyType_Slot hold_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(Hold_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(Hold_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(Hold_clear)},
        {Py_tp_repr, reinterpret_cast<void *>(Hold_repr)},
        {0, nullptr}};
    Hold_Type = make_type(m, "tarnwick_collector.tracer._trampolines.Hold",
                          sizeof(Hold),
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                              TW_TPFLAGS_DISALLOW_INSTANTIATION,
                          hold_slots, 0);
    if (Hold_Type == nullptr)
        return -1;
#if PY_VERSION_HEX < 0x030A0000
    Hold_Type->tp_new = nullptr;
#endif
    struct {
        const char *name;
        vectorcallfunc fn;
    } const callables[] = {{"gsus", tr_gsus},
                           {"gfrom", tr_gfrom},
                           {"gval", tr_gval},
                           {"gres", tr_gres}};
    for (const auto &c : callables)
        if (tw::set_global(m, c.name,
                           tw::Ref::steal(new_trampoline(c.name, c.fn))) < 0)
            return -1;
    return 0;
}

}  // namespace tw_trampolines
