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
//   * `yield from X` becomes `gres(gfrom(X), (yield from gval()))`. When
//     a Relay can stand for X (see below), gval() gives the Relay, which
//     steps the delegate with the entry open and records each value passed
//     on; otherwise the entry is held for the whole delegation, whose
//     values go from the delegate to the consumer unseen (the core counts
//     the delegation).
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

// New reference to an empty Hold, or NULL with an exception set.
static Hold *new_hold(bool delegated)
{
    Hold *h = PyObject_GC_New(Hold, Hold_Type);
    if (h == nullptr)
        return nullptr;
    h->frame = h->record = h->retval = h->gen = h->token = nullptr;
    h->closing = 0;
    h->delegated = delegated;
    h->has = 0;
    PyObject_GC_Track(h);
    return h;
}

// The Hold (empty) takes `e` (moved from) and `token` (borrowed).
static void fill_hold(Hold *h, Entry &e, PyObject *token)
{
    h->frame = e.frame.release();
    h->record = e.record.release();
    h->retval = e.retval.release();
    h->gen = e.gen.release();
    h->token = Py_NewRef(token);
    h->closing = e.closing;
    h->has = 1;
    suspended_generator_calls++;
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

// The generator suspends: `e`, just taken off the stack, goes into the
// (empty) Hold after the core recorded `value` (or, `delegated`, counted a
// delegation whose values it does not see). 0, or -1 with an exception
// that must reach the program (the entry is then back on the stack, so
// that the call ends in its handler).
static int suspend_into(Hold *h, Entry &e, PyObject *value, bool delegated)
{
    tw::Ref token;
    if (core.gen_yield != nullptr) {
        PyObject *argv[3] = {value, e.record.get(),
                             delegated ? Py_True : Py_False};
        token = tw::Ref::steal(core_call(core.gen_yield, argv, 3));
        if (!token && contain_failure() < 0) {
            tw::ErrorGuard keep;
            if (push_whole_entry(std::move(e)) < 0)
                PyErr_Clear();
            return -1;
        }
    }
    fill_hold(h, e, token ? token.get() : Py_None);
    return 0;
}

static int check_one_arg(PyObject *self, size_t nargsf, PyObject *kwnames)
{
    if (PyVectorcall_NARGS(nargsf) == 1 &&
        (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0))
        return 0;
    PyErr_Format(PyExc_TypeError, "%R takes 1 positional argument", self);
    return -1;
}

// gsus(value), and gfrom(value) when the delegation is not relayed: the
// generator is about to yield `value` (or to delegate to it). Returns the
// Hold of its entry, or None when the frame has no recorded call open.
static PyObject *suspend(PyObject *value, bool delegated)
{
    ThreadState &t = tstate;
    t.yielded = tw::Ref::borrow(value);
    Entry *top = entry_of_current_frame();
    if (top == nullptr || !top->generator)
        Py_RETURN_NONE;
    tw::Ref hold =
        tw::Ref::steal(reinterpret_cast<PyObject *>(new_hold(delegated)));
    if (!hold) {
        if (contain_lost_call() < 0)
            return nullptr;
        Py_RETURN_NONE;  // the call stays open, this yield unrecorded
    }
    Entry e = pop_entry();
    if (suspend_into(reinterpret_cast<Hold *>(hold.get()), e,
                     delegated ? Py_None : value, delegated) < 0) {
        t.yielded.reset();  // no yield follows
        return nullptr;
    }
    return hold.release();
}

static PyObject *tr_gsus(PyObject *self, PyObject *const *args, size_t nargsf,
                         PyObject *kwnames)
{
    if (check_one_arg(self, nargsf, kwnames) < 0)
        return nullptr;
    return suspend(args[0], false);
}

// ------------------------------------------------------------------ Relay

// A `yield from` of a recorded generator goes through a Relay when the
// delegate is an iterator whose iter() is itself (generators, the builtin
// iterators: no code of the program runs to get it) or a builtin
// container. The Relay does each step of the delegate with the delegating
// call's entry on the stack (the generator runs while its delegate runs),
// records each value passed on as one the generator yielded, and suspends
// the call again. It has send(), throw() and close() exactly where the
// delegate has them, and forwards them, as the interpreter does with the
// delegate itself; only `gi_yieldfrom` shows it.
static PyTypeObject *Relay_Type = nullptr;

struct Relay {
    PyObject_HEAD
    PyObject *inner;  // the delegate's iterator (strong)
    PyObject *hold;   // the Hold of the delegating call's entry (strong)
    PyObject *frame;  // the delegating frame: compared, never read
};

// Relays running a step on the thread now. Past a few dozen (a deep
// recursion of delegating generators) a delegation goes unrelayed, so that
// recording adds no depth of native calls to a deep `yield from` chain.
static thread_local int relay_depth = 0;
static const int RELAY_DEPTH_MAX = 32;

// The iterator of `x` when a Relay can stand for it, else NULL (no
// exception set). New reference.
static PyObject *relayable_iter(PyObject *x)
{
    PyTypeObject *tp = Py_TYPE(x);
    if (tp->tp_iter == PyObject_SelfIter && tp->tp_iternext != nullptr)
        return Py_NewRef(x);
    if (PyList_CheckExact(x) || PyTuple_CheckExact(x) || PyRange_Check(x) ||
        PyDict_CheckExact(x) || PyAnySet_CheckExact(x) ||
        PyUnicode_CheckExact(x) || PyBytes_CheckExact(x)) {
        PyObject *it = PyObject_GetIter(x);
        if (it == nullptr)
            PyErr_Clear();
        return it;
    }
    return nullptr;
}

// One step of the delegate (`step()`: a new reference, or NULL) with the
// delegating call open. A value passed on is recorded and the call
// suspended again; at the delegation's end (NULL) the call stays open, as
// its generator runs on.
template <typename Step>
static PyObject *relay_step(Relay *r, PyObject *sent, PyObject *thrown,
                            Step step)
{
    Hold *h = reinterpret_cast<Hold *>(r->hold);
    if (h->has && resume(h, sent, thrown) < 0)
        return nullptr;
    relay_depth++;
    PyObject *res = step();
    relay_depth--;
    if (res == nullptr)
        return nullptr;
    ThreadState &t = tstate;
    if (!h->has && !t.stack.empty() && t.stack.back().generator &&
        t.stack.back().frame.get() == r->frame) {
        Entry e = pop_entry();
        if (suspend_into(h, e, res, false) < 0) {
            Py_DECREF(res);
            return nullptr;
        }
    }
    return res;
}

static PyObject *Relay_iternext(PyObject *self)
{
    Relay *r = reinterpret_cast<Relay *>(self);
    return relay_step(r, nullptr, nullptr, [r]() {
        return Py_TYPE(r->inner)->tp_iternext(r->inner);
    });
}

static PyObject *Relay_send(PyObject *self, PyObject *value)
{
    Relay *r = reinterpret_cast<Relay *>(self);
    return relay_step(r, value, nullptr, [r, value]() {
        PyObject *argv[2] = {r->inner, value};
        return PyObject_VectorcallMethod(TW_STR("send"), argv, 2, nullptr);
    });
}

static PyObject *Relay_throw(PyObject *self, PyObject *const *args,
                             Py_ssize_t nargs)
{
    Relay *r = reinterpret_cast<Relay *>(self);
    PyObject *thrown = nargs > 1 && args[1] != Py_None ? args[1]
                       : nargs > 0                     ? args[0]
                                                       : nullptr;
    return relay_step(r, nullptr, thrown, [r, args, nargs]() -> PyObject * {
        tw::Ref meth = tw::getattr(r->inner, TW_STR("throw"));
        if (!meth)
            return nullptr;
        // A generator is thrown into with the exception alone, as the
        // interpreter throws into one it delegates to (the form with the
        // type and traceback is deprecated from 3.12 on).
        if (PyGen_Check(r->inner) && nargs >= 2 && args[1] != Py_None &&
            PyExceptionInstance_Check(args[1])) {
            tw::Ref tb = tw::Ref::steal(PyException_GetTraceback(args[1]));
            if (nargs < 3 || args[2] == Py_None || args[2] == tb.get())
                return PyObject_CallOneArg(meth.get(), args[1]);
        }
        return PyObject_Vectorcall(meth.get(), args, nargs, nullptr);
    });
}

// close(): the delegating generator is being closed; its entry stays
// suspended (the GeneratorExit thrown into its frame then resumes it).
static PyObject *Relay_close(PyObject *self, PyObject *)
{
    PyObject *inner = reinterpret_cast<Relay *>(self)->inner;
    return PyObject_VectorcallMethod(TW_STR("close"), &inner, 1, nullptr);
}

// send, throw and close exist on the Relay exactly when the delegate has
// them: the interpreter asks for them before it forwards throw() and
// close().
static PyObject *Relay_getattro(PyObject *self, PyObject *name)
{
    Relay *r = reinterpret_cast<Relay *>(self);
    if (PyUnicode_Check(name) &&
        (PyUnicode_CompareWithASCIIString(name, "send") == 0 ||
         PyUnicode_CompareWithASCIIString(name, "throw") == 0 ||
         PyUnicode_CompareWithASCIIString(name, "close") == 0)) {
        tw::Ref has = tw::Ref::steal(PyObject_GetAttr(r->inner, name));
        if (!has)
            return nullptr;
    }
    return PyObject_GenericGetAttr(self, name);
}

static int Relay_traverse(PyObject *self, visitproc visit, void *arg)
{
    Relay *r = reinterpret_cast<Relay *>(self);
    Py_VISIT(r->inner);
    Py_VISIT(r->hold);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

static int Relay_clear(PyObject *self)
{
    Relay *r = reinterpret_cast<Relay *>(self);
    Py_CLEAR(r->inner);
    Py_CLEAR(r->hold);
    return 0;
}

static void Relay_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Relay_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(tp);
}

static PyObject *Relay_repr(PyObject *self)
{
    PyObject *inner = reinterpret_cast<Relay *>(self)->inner;
    if (inner == nullptr)
        return PyUnicode_FromString("<tarnwick relay>");
    return PyUnicode_FromFormat("<tarnwick relay of %R>", inner);
}

static PyMethodDef Relay_methods[] = {
    {"send", Relay_send, METH_O, nullptr},
    {"throw",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)(void)>(Relay_throw)),
     METH_FASTCALL, nullptr},
    {"close", Relay_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// gfrom(value): the generator is about to delegate to `value`: through a
// Relay when one can stand for it (gval() then gives the Relay, and the
// call stays open), else as a delegation whose values go unseen.
static PyObject *tr_gfrom(PyObject *self, PyObject *const *args, size_t nargsf,
                          PyObject *kwnames)
{
    if (check_one_arg(self, nargsf, kwnames) < 0)
        return nullptr;
    Entry *top = entry_of_current_frame();
    if (top == nullptr || !top->generator || relay_depth >= RELAY_DEPTH_MAX)
        return suspend(args[0], true);
    tw::Ref inner = tw::Ref::steal(relayable_iter(args[0]));
    if (!inner)
        return suspend(args[0], true);
    tw::Ref hold =
        tw::Ref::steal(reinterpret_cast<PyObject *>(new_hold(true)));
    Relay *r = hold ? PyObject_GC_New(Relay, Relay_Type) : nullptr;
    if (r == nullptr) {
        PyErr_Clear();
        return suspend(args[0], true);
    }
    r->inner = inner.release();
    r->hold = Py_NewRef(hold.get());
    r->frame = top->frame.get();
    PyObject_GC_Track(r);
    tstate.yielded = tw::Ref::steal(reinterpret_cast<PyObject *>(r));
    return hold.release();
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
    return end_at_core(core.gen_return, argv, 3);
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
    PyType_Slot relay_slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(Relay_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(Relay_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(Relay_clear)},
        {Py_tp_repr, reinterpret_cast<void *>(Relay_repr)},
        {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void *>(Relay_iternext)},
        {Py_tp_getattro, reinterpret_cast<void *>(Relay_getattro)},
        {Py_tp_methods, Relay_methods},
        {0, nullptr}};
    Relay_Type = make_type(m, "tarnwick_collector.tracer._trampolines.Relay",
                           sizeof(Relay),
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                               TW_TPFLAGS_DISALLOW_INSTANTIATION,
                           relay_slots, 0);
    if (Relay_Type == nullptr)
        return -1;
#if PY_VERSION_HEX < 0x030A0000
    Hold_Type->tp_new = nullptr;
    Relay_Type->tp_new = nullptr;
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
