// The Slot: the entry point of one instrumented def, which offers the
// function's calls to the core (record_user_function_call) with the
// arguments as the function received them, and opens the recorded call's
// entry on the thread's stack. The gate (trampolines_callables.cpp) decides
// whether a call is offered; the slot call that follows acts on it.
// The function object a frame runs (tw::frame_function) is read from the
// interpreter's own frame record: only this file needs it.
#define TW_FRAME_FUNCTION
#include "trampolines_internal.hpp"

#include <structmember.h>
#include <climits>

namespace tw_trampolines {

// ------------------------------------------------------------------- Slot

static PyTypeObject *Slot_Type = nullptr;
// The number of arguments a Slot is made with.
constexpr Py_ssize_t kSlotArity = 7;

// One instrumented `def`: how its parameters arrive in an entry call, and
// the function objects the `def` produced.
//
// The slot is a constant of the function's code object, so it holds its
// functions weakly: a strong reference would close a cycle (function, code,
// slot, function) through the code object, which the garbage collector
// cannot see, and keep every instrumented function and its module's
// globals alive for good (objects left in a module would then never be
// finalized, and files the program left open never flushed at exit).
// A `def` run more than once (a nested function, a class body run again)
// has several functions alive at once; the call is offered with the one
// produced last that is still alive.
struct Slot {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    int kind;
    Py_ssize_t npos;   // positional parameters (positional-only included)
    int has_varargs;   // a *args parameter follows them
    int has_varkw;     // a **kwargs parameter comes last
    PyObject *kwonly;  // tuple of the keyword-only parameter names
    PyObject *qualname;
    // The weak reference to the def's only function so far, or a list of
    // them, oldest first, once it made another; or NULL. Most defs run
    // once, and a list per def was most of the objects a module read back
    // from the cache made.
    PyObject *funcs;
    Py_ssize_t pruned;  // length of the list after its last pruning
    int generator;      // a generator function: its calls suspend
    PyObject *source;  // what bind_code was given with the def's code, or NULL
};

// The object fields of a Slot (strong or NULL), which its traverse and
// clear visit and drop.
#define TW_SLOT_OBJECTS(X) X(kwonly) X(qualname) X(funcs) X(source)

// The object a weak reference points to, or NULL (no exception set) when it
// is gone. New reference.
static PyObject *weak_target(PyObject *ref)
{
    PyObject *f = nullptr;
    if (PyWeakref_GetRef(ref, &f) < 0) {
        PyErr_Clear();
        return nullptr;
    }
    return f;
}

// The function the def produced last that is still alive, or NULL (no
// exception set) when there is none. New reference.
static PyObject *slot_func(Slot *s)
{
    if (s->funcs == nullptr)
        return nullptr;
    if (!PyList_CheckExact(s->funcs))
        return weak_target(s->funcs);
    for (Py_ssize_t i = PyList_GET_SIZE(s->funcs); i-- > 0;) {
        PyObject *f = weak_target(PyList_GET_ITEM(s->funcs, i));
        if (f != nullptr)
            return f;
    }
    return nullptr;
}

// Whether the code object `code` holds `slot` among its constants: the
// slot call is then made by a function of this def.
static bool code_holds(PyObject *code, PyObject *slot)
{
    if (!PyCode_Check(code))
        return false;
    PyObject *consts = reinterpret_cast<PyCodeObject *>(code)->co_consts;
    if (consts == nullptr || !PyTuple_Check(consts))
        return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); i++)
        if (PyTuple_GET_ITEM(consts, i) == slot)
            return true;
    return false;
}

// The function whose call runs the slot call: the function object of the
// calling frame, where the interpreter keeps it (3.11 on) and it is one of
// this def's; otherwise the def's last function still alive. Several
// functions of one def (closures made by a factory, the wrappers a
// decorator made) share their code; only the frame tells which one runs.
// New reference, or NULL (no exception set).
static PyObject *running_func(Slot *s, PyFrameObject *frame)
{
    PyObject *f = tw::frame_function(frame);  // borrowed, or NULL
    if (f != nullptr && PyFunction_Check(f) &&
        code_holds(PyFunction_GET_CODE(f), reinterpret_cast<PyObject *>(s)))
        return Py_NewRef(f);
    return slot_func(s);
}

// Drops the references to functions that are gone, when the list has
// doubled since it was last pruned (so binding stays cheap on average).
// 0, or -1 with an exception set.
static int slot_prune(Slot *s)
{
    const Py_ssize_t n = PyList_GET_SIZE(s->funcs);
    if (n < 8 || n < 2 * s->pruned)
        return 0;
    tw::Ref alive = tw::Ref::steal(PyList_New(0));
    if (!alive)
        return -1;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *ref = PyList_GET_ITEM(s->funcs, i);
        tw::Ref f = tw::Ref::steal(weak_target(ref));
        if (f && PyList_Append(alive.get(), ref) < 0)
            return -1;
    }
    s->pruned = PyList_GET_SIZE(alive.get());
    Py_SETREF(s->funcs, alive.release());
    return 0;
}

static Py_ssize_t slot_nargs(Slot *s)
{
    return s->npos + s->has_varargs + PyTuple_GET_SIZE(s->kwonly) +
           s->has_varkw;
}

// The object the core is given as "the called object", and how many leading
// parameters it stands for; `func` is the slot's function (borrowed). New
// reference.
static PyObject *called_object(Slot *s, PyObject *func, PyObject *const *args,
                               Py_ssize_t *skip)
{
    *skip = 0;
    if (s->kind == KIND_CLASSMETHOD && s->npos >= 1) {
        *skip = 1;
        return PyMethod_New(func, args[0]);
    }
    if (s->kind == KIND_INIT && s->npos >= 1) {
        // Called as Cls(...): the core is given the class, as the program
        // called it. A base initializer reached through super() or called
        // explicitly is a plain method call.
        // The class's own lookup along its MRO, which runs no code of a
        // metaclass: a function found there is what `cls.__init__` gives.
        PyTypeObject *cls = Py_TYPE(args[0]);
        if (_PyType_Lookup(cls, TW_STR("__init__")) == func) {
            *skip = 1;
            return Py_NewRef(reinterpret_cast<PyObject *>(cls));
        }
    }
    return Py_NewRef(func);
}

// Whether the instances of `cls` customise their pickling (a method of the
// pickle protocol of their own, a `__getattr__` written in Python): the
// recorder refuses such an instance, and the function it meets with it.
// An initializer's call then returns no instance, so that its arguments
// are still recorded.
static bool pickles_its_own_way(PyTypeObject *cls)
{
    if (cls->tp_getattro != PyBaseObject_Type.tp_getattro)
        return true;
    // Looked up along the class's order, as pickle finds them; those object
    // itself has (`__reduce__`, and `__getstate__` from 3.11) do not count.
    for (PyObject *key :
         {TW_STR("__reduce__"), TW_STR("__reduce_ex__"),
          TW_STR("__getnewargs_ex__"), TW_STR("__getnewargs__"),
          TW_STR("__getinitargs__"), TW_STR("__getstate__")}) {
        if (key == nullptr) {
            PyErr_Clear();
            return true;
        }
        PyObject *found = _PyType_Lookup(cls, key);
        if (found != nullptr &&
            found != _PyType_Lookup(&PyBaseObject_Type, key))
            return true;
    }
    return false;
}

// Offers one call to the core: record_user_function_call(called, *args,
// **kwargs); `func` is the slot's function (borrowed). `built` is set to
// the new instance (borrowed) when the call is an initializer run by
// calling its class, else to NULL. New reference to the core's result, or
// NULL with an exception set.
static PyObject *offer_call(Slot *s, PyObject *func, PyObject *const *args,
                            PyObject **built)
{
    Py_ssize_t skip;
    *built = nullptr;
    tw::Ref called = tw::Ref::steal(called_object(s, func, args, &skip));
    if (!called)
        return nullptr;
    if (s->kind == KIND_INIT && skip == 1 &&
        !pickles_its_own_way(Py_TYPE(args[0])))
        *built = args[0];
    const Py_ssize_t npos = s->npos;
    PyObject *varargs = s->has_varargs ? args[npos] : nullptr;
    const Py_ssize_t nvar = (varargs != nullptr && PyTuple_Check(varargs))
                                ? PyTuple_GET_SIZE(varargs)
                                : 0;
    tw::Ref pos = tw::Ref::steal(PyTuple_New(1 + npos - skip + nvar));
    if (!pos)
        return nullptr;
    PyTuple_SET_ITEM(pos.get(), 0, called.release());
    Py_ssize_t k = 1;
    for (Py_ssize_t i = skip; i < npos; i++)
        PyTuple_SET_ITEM(pos.get(), k++, Py_NewRef(args[i]));
    for (Py_ssize_t i = 0; i < nvar; i++)
        PyTuple_SET_ITEM(pos.get(), k++,
                         Py_NewRef(PyTuple_GET_ITEM(varargs, i)));

    tw::Ref kw;
    const Py_ssize_t nkw = PyTuple_GET_SIZE(s->kwonly);
    PyObject *varkw =
        s->has_varkw ? args[npos + s->has_varargs + nkw] : nullptr;
    if (nkw > 0 || (varkw != nullptr && PyDict_Check(varkw) &&
                    PyDict_GET_SIZE(varkw) > 0)) {
        kw = tw::Ref::steal(PyDict_New());
        if (!kw)
            return nullptr;
        PyObject *const *kwvals = args + npos + s->has_varargs;
        for (Py_ssize_t i = 0; i < nkw; i++)
            if (PyDict_SetItem(kw.get(), PyTuple_GET_ITEM(s->kwonly, i),
                               kwvals[i]) < 0)
                return nullptr;
        if (varkw != nullptr && PyDict_Check(varkw) &&
            PyDict_Update(kw.get(), varkw) < 0)
            return nullptr;
    }
    tw::Ref entry = tw::Ref::borrow(core.user_call);
    InCore guard;
    return PyObject_Call(entry.get(), pos.get(), kw.get());
}

// Marks the entry just opened as a generator call's: it suspends at each
// yield. The weak reference to the generator tells, at its end, whether it
// was being collected; without one the call can still end as closed.
static void mark_generator(Entry &e, PyFrameObject *frame)
{
    e.generator = true;
#if PY_VERSION_HEX >= 0x030B0000
    tw::Ref gen = tw::Ref::steal(PyFrame_GetGenerator(frame));
#else
    tw::Ref gen = tw::Ref::borrow(frame->f_gen);
#endif
    if (!gen)
        return;
    e.gen = tw::Ref::steal(PyWeakref_NewRef(gen.get(), nullptr));
    if (!e.gen)
        PyErr_Clear();
}

// Whether `func` is a decorator's wrapper of project code: a function
// given a `__wrapped__` (functools.wraps does) that is a function (or a
// method of one) of the project. One logical call is then recorded once,
// by the function it wraps; the wrapper's own work (timing, logging,
// caching) belongs to its caller's record. Never fails.
static bool wraps_project_code(PyObject *func)
{
    if (!PyFunction_Check(func))
        return false;
    // NULL: no attribute was ever set on the function.
    PyObject *dict = reinterpret_cast<PyFunctionObject *>(func)->func_dict;
    if (dict == nullptr || !PyDict_Check(dict))
        return false;
    PyObject *wrapped = PyDict_GetItemWithError(dict, TW_STR("__wrapped__"));
    if (wrapped == nullptr) {
        PyErr_Clear();
        return false;
    }
    if (PyMethod_Check(wrapped))
        wrapped = PyMethod_GET_FUNCTION(wrapped);
    if (!PyFunction_Check(wrapped) || wrapped == func ||
        project_files == nullptr)
        return false;
    PyObject *file =
        reinterpret_cast<PyCodeObject *>(PyFunction_GET_CODE(wrapped))
            ->co_filename;
    const int in = PySet_Contains(project_files, file);
    if (in < 0)
        PyErr_Clear();
    return in == 1;
}

// slot(params...): the first statement of the instrumented body of a
// function; offers the call to the core when the gate decided so.
static PyObject *Slot_vectorcall(PyObject *self_, PyObject *const *args,
                                 size_t nargsf, PyObject *kwnames)
{
    ThreadState &t = tstate;
    if (!t.offer)
        Py_RETURN_NONE;
    t.offer = false;
    Slot *self = reinterpret_cast<Slot *>(self_);
    if (!enabled || core.user_call == nullptr || t.in_core)
        Py_RETURN_NONE;
    if (self->generator && !core_takes_generators())
        Py_RETURN_NONE;
    if (kwnames != nullptr || PyVectorcall_NARGS(nargsf) != slot_nargs(self))
        Py_RETURN_NONE;
    PyFrameObject *calling = PyEval_GetFrame();
    tw::Ref func = tw::Ref::steal(running_func(self, calling));
    if (!func)
        Py_RETURN_NONE;
    if (wraps_project_code(func.get())) {
        left_out_calls[LEFT_OUT_WRAPPER]++;
        Py_RETURN_NONE;
    }
    if ((lost_at_recursion_limit != 0 || lost_otherwise != 0) &&
        flush_lost_calls() < 0)
        return nullptr;
    PyObject *built = nullptr;
    tw::Ref record =
        tw::Ref::steal(offer_call(self, func.get(), args, &built));
    if (!record) {
        if (contain_lost_call() < 0)
            return nullptr;
        Py_RETURN_NONE;
    }
    if (record.get() == Py_None)
        Py_RETURN_NONE;
    PyObject *frame = reinterpret_cast<PyObject *>(PyEval_GetFrame());
    if (self->kind == KIND_COROUTINE || frame == nullptr) {
        // Never kept open: a coroutine suspends, and entries must nest.
        if (end_user_call(record.get(), Py_None) < 0)
            return nullptr;
        Py_RETURN_NONE;
    }
    if (push_entry(frame, record.get(), built) < 0) {
        PyErr_Clear();
        if (end_user_call(record.get(), Py_None) < 0)
            return nullptr;
        Py_RETURN_NONE;
    }
    if (self->generator)
        mark_generator(tstate.stack.back(),
                       reinterpret_cast<PyFrameObject *>(frame));
    Py_RETURN_NONE;
}

// The Slot's arguments when they are seven positional ones of the exact
// types the cache holds (int, int, bool, tuple, bool, str, bool), small
// enough; false, with no error set, for anything else.
static bool slot_args_exact(PyObject *args, PyObject *kwds, int &kind,
                            Py_ssize_t &npos, int &has_varargs,
                            PyObject *&kwonly, int &has_varkw,
                            PyObject *&qualname, int &generator)
{
    if ((kwds != nullptr && PyDict_GET_SIZE(kwds) != 0) ||
        PyTuple_GET_SIZE(args) != 7)
        return false;
    PyObject *const *a = &PyTuple_GET_ITEM(args, 0);
    if (!PyLong_CheckExact(a[0]) || !PyLong_CheckExact(a[1]) ||
        !PyBool_Check(a[2]) || !PyTuple_CheckExact(a[3]) ||
        !PyBool_Check(a[4]) || !PyUnicode_CheckExact(a[5]) ||
        !PyBool_Check(a[6]))
        return false;
    const long k = PyLong_AsLong(a[0]);
    const Py_ssize_t n = PyLong_AsSsize_t(a[1]);
    if ((k == -1 || n == -1) && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    if (k < INT_MIN || k > INT_MAX)
        return false;
    kind = static_cast<int>(k);
    npos = n;
    has_varargs = a[2] == Py_True;
    kwonly = a[3];
    has_varkw = a[4] == Py_True;
    qualname = a[5];
    generator = a[6] == Py_True;
    return true;
}

static PyObject *Slot_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    static const char *kwlist[] = {"kind",      "npos",      "has_varargs",
                                   "kwonly",    "has_varkw", "qualname",
                                   "generator", nullptr};
    int kind, has_varargs, has_varkw, generator = 0;
    Py_ssize_t npos;
    PyObject *kwonly, *qualname;
    // Every module read back from the cache makes its Slots again from
    // seven positional arguments of exact types; those are taken as they
    // are, anything else (and every error) goes through the parser.
    if (!slot_args_exact(args, kwds, kind, npos, has_varargs, kwonly,
                         has_varkw, qualname, generator) &&
        !PyArg_ParseTupleAndKeywords(args, kwds, "inpO!pU|p:Slot",
                                     const_cast<char **>(kwlist), &kind, &npos,
                                     &has_varargs, &PyTuple_Type, &kwonly,
                                     &has_varkw, &qualname, &generator))
        return nullptr;
    if (kind < KIND_FUNCTION || kind > KIND_COROUTINE || npos < 0) {
        PyErr_SetString(PyExc_ValueError, "invalid slot kind or npos");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwonly); i++)
        if (!PyUnicode_Check(PyTuple_GET_ITEM(kwonly, i))) {
            PyErr_SetString(PyExc_TypeError,
                            "keyword-only names must be strings");
            return nullptr;
        }
    Slot *s = reinterpret_cast<Slot *>(type->tp_alloc(type, 0));
    if (s == nullptr)
        return nullptr;
    s->vectorcall = Slot_vectorcall;
    s->kind = kind;
    s->npos = npos;
    s->has_varargs = has_varargs;
    s->has_varkw = has_varkw;
    s->kwonly = Py_NewRef(kwonly);
    s->qualname = Py_NewRef(qualname);
    s->funcs = nullptr;
    s->pruned = 0;
    s->generator = generator;
    s->source = nullptr;
    return reinterpret_cast<PyObject *>(s);
}

static int Slot_traverse(PyObject *self, visitproc visit, void *arg)
{
    Slot *s = reinterpret_cast<Slot *>(self);
#define TW_SLOT_VISIT(field) Py_VISIT(s->field);
    TW_SLOT_OBJECTS(TW_SLOT_VISIT)
#undef TW_SLOT_VISIT
    Py_VISIT(Py_TYPE(self));
    return 0;
}

static int Slot_clear(PyObject *self)
{
    Slot *s = reinterpret_cast<Slot *>(self);
#define TW_SLOT_CLEAR(field) Py_CLEAR(s->field);
    TW_SLOT_OBJECTS(TW_SLOT_CLEAR)
#undef TW_SLOT_CLEAR
    return 0;
}

static void Slot_dealloc(PyObject *self)
{
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Slot_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

static PyObject *Slot_repr(PyObject *self)
{
    return PyUnicode_FromFormat("<tarnwick slot %U>",
                                reinterpret_cast<Slot *>(self)->qualname);
}

// slot.bind(func): the innermost decorator of the def; returns func. The
// def itself never fails here: an object that takes no weak reference
// (never a function), or a failure to keep it, leaves it unknown to the
// slot, whose calls are then offered with an earlier function or not at
// all.
static PyObject *Slot_bind(PyObject *self, PyObject *func)
{
    Slot *s = reinterpret_cast<Slot *>(self);
    tw::Ref ref = tw::Ref::steal(PyWeakref_NewRef(func, nullptr));
    if (!ref) {
        PyErr_Clear();
        return Py_NewRef(func);
    }
    if (s->funcs == nullptr) {
        s->funcs = ref.release();
        return Py_NewRef(func);
    }
    if (!PyList_CheckExact(s->funcs)) {
        PyObject *first = s->funcs;
        PyObject *both = PyList_New(1);
        if (both == nullptr) {
            PyErr_Clear();
            return Py_NewRef(func);
        }
        PyList_SET_ITEM(both, 0, first);  // the list takes it over
        s->funcs = both;
    }
    if (slot_prune(s) < 0 || PyList_Append(s->funcs, ref.get()) < 0)
        PyErr_Clear();
    return Py_NewRef(func);
}

bool is_slot(PyObject *obj)
{
    return Py_TYPE(obj) == Slot_Type;
}

void slot_set_source(PyObject *slot, PyObject *source)
{
    Slot *s = reinterpret_cast<Slot *>(slot);
    Py_XINCREF(source);
    Py_XSETREF(s->source, source);
}

PyObject *slot_source(PyObject *slot)
{
    return reinterpret_cast<Slot *>(slot)->source;
}

static PyObject *Slot_get_func(PyObject *self, void *)
{
    PyObject *f = slot_func(reinterpret_cast<Slot *>(self));
    return f ? f : Py_NewRef(Py_None);
}

// A function pickled by value pickles its code, whose constants hold the
// slot: it is made again from its arguments, knowing no function yet (the
// frame of a call tells it which function runs).
static PyObject *Slot_reduce(PyObject *self, PyObject *)
{
    Slot *s = reinterpret_cast<Slot *>(self);
    return Py_BuildValue("O(inNONON)",
                         reinterpret_cast<PyObject *>(Py_TYPE(self)), s->kind,
                         s->npos, PyBool_FromLong(s->has_varargs), s->kwonly,
                         PyBool_FromLong(s->has_varkw), s->qualname,
                         PyBool_FromLong(s->generator));
}

static PyMethodDef Slot_methods[] = {
    {"bind", Slot_bind, METH_O,
     "bind(func)\n--\n\nRemember func as this def's function; return it."},
    {"__reduce__", Slot_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

static PyMemberDef Slot_members[] = {
    {const_cast<char *>("kind"), T_INT, offsetof(Slot, kind), READONLY,
     nullptr},
    {const_cast<char *>("npos"), T_PYSSIZET, offsetof(Slot, npos), READONLY,
     nullptr},
    {const_cast<char *>("kwonly"), T_OBJECT, offsetof(Slot, kwonly), READONLY,
     nullptr},
    {const_cast<char *>("qualname"), T_OBJECT, offsetof(Slot, qualname),
     READONLY, nullptr},
    {const_cast<char *>("generator"), T_INT, offsetof(Slot, generator),
     READONLY, nullptr},
#if PY_VERSION_HEX >= 0x03090000
    {const_cast<char *>("__vectorcalloffset__"), T_PYSSIZET,
     offsetof(Slot, vectorcall), READONLY, nullptr},
#endif
    {nullptr, 0, 0, 0, nullptr},
};

static PyGetSetDef Slot_getset[] = {
    {const_cast<char *>("func"), Slot_get_func, nullptr,
     const_cast<char *>("the function object the def produced last"), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject *mod_cached_slots(TW_FASTCALL_ARGS(mod))
{
    (void)mod;
    static const tw::Param params[] = {{"slot_args"}, {"fixed"}};
    static const tw::ParamNames<2> names(params);
    PyObject *a[2];
    if (tw::parse("cached_slots", params, names, args, nargs, kwnames, a) < 0)
        return nullptr;
    PyObject *flat = a[0];
    if (!PyTuple_Check(flat) || PyTuple_GET_SIZE(flat) % kSlotArity != 0 ||
        !PyList_Check(a[1])) {
        PyErr_SetString(PyExc_TypeError,
                        "cached_slots takes a tuple of Slot arguments, seven "
                        "each, and a list");
        return nullptr;
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(flat) / kSlotArity;
    tw::Ref slots = tw::Ref::steal(PyList_New(count));
    tw::Ref objects = tw::Ref::steal(PyList_GetSlice(a[1], 0, PY_SSIZE_T_MAX));
    if (!slots || !objects)
        return nullptr;
    for (Py_ssize_t k = 0; k < count; k++) {
        tw::Ref one = tw::Ref::steal(
            PyTuple_GetSlice(flat, k * kSlotArity, (k + 1) * kSlotArity));
        if (!one)
            return nullptr;
        tw::Ref slot = tw::Ref::steal(PyObject_Call(
            reinterpret_cast<PyObject *>(Slot_Type), one.get(), nullptr));
        if (!slot)
            return nullptr;
        tw::Ref bind = tw::getattr(slot.get(), TW_STR("bind"));
        if (!bind || PyList_Append(objects.get(), slot.get()) < 0 ||
            PyList_Append(objects.get(), bind.get()) < 0)
            return nullptr;
        PyList_SET_ITEM(slots.get(), k, slot.release());
    }
    return PyTuple_Pack(2, slots.get(), objects.get());
}

int add_slot_type(PyObject *m)
{
    const unsigned long vc = Py_TPFLAGS_HAVE_VECTORCALL;
    PyType_Slot slot_slots[] = {
        {Py_tp_new, reinterpret_cast<void *>(Slot_new)},
        {Py_tp_dealloc, reinterpret_cast<void *>(Slot_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(Slot_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(Slot_clear)},
        {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
        {Py_tp_repr, reinterpret_cast<void *>(Slot_repr)},
        {Py_tp_methods, Slot_methods},
        {Py_tp_members, Slot_members},
        {Py_tp_getset, Slot_getset},
        {Py_tp_doc,
         const_cast<char *>("Slot(kind, npos, has_varargs, kwonly, has_varkw, "
                            "qualname, generator=False)\n--\n\n"
                            "The entry point of one instrumented def.")},
        {0, nullptr}};
    Slot_Type =
        make_type(m, "tarnwick_collector.tracer._trampolines.Slot",
                  sizeof(Slot), Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | vc,
                  slot_slots, offsetof(Slot, vectorcall));
    if (Slot_Type == nullptr)
        return -1;
    return tw::set_global(m, "Slot", reinterpret_cast<PyObject *>(Slot_Type));
}

}  // namespace tw_trampolines
