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
#include "tw.hpp"
#include "tw/tarn_pickle_api.hpp"

#include <structmember.h>

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace {

struct ModState {
    PyObject *pickler_dump;      // _pickle.Pickler.dump, unbound
    PyObject *pickling_error;    // _pickle.PicklingError
    PyObject *copyreg_dispatch;  // copyreg.dispatch_table
    PyObject *whichmodule;       // pickle.whichmodule
    PyObject *problematic;       // tarnwick_collector.exceptions.ProblematicPickleException
    PyObject *state_type;        // DumpState
    PyObject *pickler_type;      // _pickle.Pickler
    PyObject *default_protocol;  // pickle.DEFAULT_PROTOCOL
    PyObject *highest_protocol;  // pickle.HIGHEST_PROTOCOL
    PyObject *dispatch_member;   // _pickle.Pickler.__dict__["dispatch_table"],
                                 // or NULL when it is not a plain object slot
    PyObject *spare_hook;        // a hook whose dump has ended, or NULL
    PyObject *builtin_import;    // builtins.__import__ as the module found it
    PyObject *stdlib_names;      // sys.stdlib_module_names, or NULL
    PyObject *clear_memo;        // _pickle.Pickler.clear_memo
    PyObject *writer_type;       // Writer
    PyObject *stand_in_type;     // StandIn
};

ModState *mod_state(PyObject *module)
{
    return static_cast<ModState *>(PyModule_GetState(module));
}

// One object whose write is (or may still be) in progress: the frame
// address of its hook call, its class (strong reference), and whether it is
// being written as a failure reducer's value.
struct Pending {
    uintptr_t frame;
    PyObject *type;
    bool replaced;
};

// What a dump gathers once its hook is first called.
struct Work {
    // Callables and classes found writable (strong references).
    std::unordered_map<PyObject *, bool> writable;
    // reducer_override's answers for callables it was asked about ahead of
    // their write (both strong), handed out when the C pickler asks.
    std::unordered_map<PyObject *, PyObject *> answers;
    std::vector<Pending> pending;
};

// A dump written again without the pickle buffers the C pickler could not
// write (see scrub()): the copies made of the plain containers on the way.
struct Scrub {
    // An original (strong) and what is written in its place (strong).
    std::unordered_map<PyObject *, PyObject *> done;
    // Tuples whose copy is being made.
    std::unordered_map<PyObject *, bool> busy;
    // Where a copy holds a tuple met again while its copy was being made:
    // the copy (borrowed from `done`) and the index (list, tuple) or key
    // (dict, strong) of the entry, patched once the tuple's copy is made.
    struct Fix {
        PyObject *into;
        Py_ssize_t index;
        PyObject *key;
    };
    std::unordered_map<PyObject *, std::vector<Fix>> waiting;

    ~Scrub()
    {
        for (auto &kv : waiting)
            for (const Fix &f : kv.second)
                Py_XDECREF(f.key);
        for (auto &kv : done) {
            Py_DECREF(kv.first);
            Py_DECREF(kv.second);
        }
    }
};

// Everything one `dump` call needs; lives as the `self` of the hook.
struct DumpState {
    PyObject_HEAD
    ModState *ms;              // the module's state (module kept by `module`)
    PyObject *module;          // strong
    PyObject *pickler;         // strong
    PyObject *user;            // strong or NULL: the subclass's reducer_override
    int user_unbound;          // `user` is a function to call with the pickler
    PyObject *failure_reducer; // strong
    PyObject *special_cases;   // strong or NULL
    PyObject *dispatch;        // strong: the dispatch table in force
    PyObject *proto_obj;       // strong: the protocol as an int object
    int proto;
    int active;
    PyObject *special_known;   // dict or NULL: special_cases' answers
    Work *work;                // NULL until the hook is first called, then
                               // kept, emptied, from one dump to the next
    tw::TarnWalk walk;         // the failure reducer's bounds in this dump
    struct Scrub *scrub;       // NULL, or the copies of a dump written again
                               // without its pickle buffers (see scrub())
};

// Ends the dump of `st`: its references are dropped. Its Work is emptied
// and kept for a next dump of the same state (the hook of a closed state
// touches nothing, so code run by the releases cannot reach it).
// Placeholders cut short by a bound of the failure reducer's walk, over
// all dumps of the process (see placeholders_cut).
Py_ssize_t placeholders_cut_total = 0;

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
        for (const Pending &p : w->pending)
            Py_DECREF(p.type);
        w->pending.clear();
        for (auto &kv : w->writable)
            Py_DECREF(kv.first);
        w->writable.clear();
        for (auto &kv : w->answers) {
            Py_DECREF(kv.first);
            Py_DECREF(kv.second);
        }
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

void state_dealloc(PyObject *self)
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
    {Py_tp_doc, const_cast<char *>("State of one dump of tarn_pickle.Pickler.")},
    {0, nullptr},
};

PyType_Spec state_spec = {
    "tarnwick_collector.data_serialization._tarn_pickle.DumpState",
    sizeof(DumpState), 0, Py_TPFLAGS_DEFAULT, state_slots};

// ------------------------------------------------------------ small helpers

// getattr(obj, name) with AttributeError turned into "absent": 1 and a new
// reference in *out, 0 and NULL when absent, -1 on another error.
// Absent attributes raise no exception on the way, which matters on the
// per-dump path.
int lookup_attr(PyObject *obj, PyObject *name, PyObject **out)
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, out);
#else
    return _PyObject_LookupAttr(obj, name, out);
#endif
}

// The subclass's reducer_override(obj); new reference.
PyObject *call_user(DumpState *st, PyObject *obj)
{
    if (st->user_unbound) {
        PyObject *argv[] = {nullptr, st->pickler, obj};
        return PyObject_Vectorcall(st->user, argv + 1,
                                   2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr);
    }
    return PyObject_CallOneArg(st->user, obj);
}

bool is_singleton_type(PyObject *obj)
{
    return obj == reinterpret_cast<PyObject *>(Py_TYPE(Py_None)) ||
           obj == reinterpret_cast<PyObject *>(Py_TYPE(Py_Ellipsis)) ||
           obj == reinterpret_cast<PyObject *>(Py_TYPE(Py_NotImplemented));
}

void mark_writable(DumpState *st, PyObject *obj)
{
    if (st->work->writable.emplace(obj, true).second)
        Py_INCREF(obj);
}

// ------------------------------------------------------- by-reference writes

// getattr(obj, name) when the generic attribute lookup of its class
// surely runs no code for it: the class has nothing of that name along its
// MRO, so the value is the instance __dict__'s entry, or absent. 1 and a
// borrowed reference in *out (NULL when absent); 0 when not told so.
int plain_instance_attr(PyObject *obj, PyObject *name, PyObject **out)
{
    *out = nullptr;
    PyTypeObject *tp = Py_TYPE(obj);
    if (tp->tp_getattro != PyObject_GenericGetAttr ||
        _PyType_Lookup(tp, name) != nullptr)
        return 0;
    bool has_dict = tp->tp_dictoffset != 0;
#ifdef Py_TPFLAGS_MANAGED_DICT
    has_dict = has_dict || (tp->tp_flags & Py_TPFLAGS_MANAGED_DICT);
#endif
    if (!has_dict)
        return 1;
    PyObject *dict = PyObject_GenericGetDict(obj, nullptr);
    if (dict == nullptr) {
        PyErr_Clear();
        return 0;
    }
    PyObject *v = PyDict_GetItemWithError(dict, name);
    Py_DECREF(dict);  // the instance keeps it, and the entry
    if (v == nullptr && PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    *out = v;
    return 1;
}

// Whether the import system takes sys.modules' entry `mod` as it stands:
// its __spec__._initializing is not true, so no wait for another thread's
// import is due. Told only where reading that runs no code (a plain
// module holding its __spec__, a spec whose class keeps the generic
// lookup, an absent or bool _initializing); false otherwise.
bool module_ready(PyObject *mod)
{
    // A plain module's own attribute is the entry of its namespace (the
    // module type has nothing of that name); only a missing one would
    // make it ask the module's __getattr__.
    PyObject *name = TW_STR("__spec__");
    if (!PyModule_CheckExact(mod) ||
        _PyType_Lookup(&PyModule_Type, name) != nullptr)
        return false;
    PyObject *spec = PyDict_GetItemWithError(PyModule_GetDict(mod), name);
    if (spec == nullptr) {
        PyErr_Clear();
        return false;
    }
    PyObject *initializing;
    if (plain_instance_attr(spec, TW_STR("_initializing"), &initializing) == 0)
        return false;
    return initializing == nullptr || initializing == Py_False;
}

// PyImport_Import(name) for a module imported already, without the call of
// __import__ it goes through: 1 and a new reference in *out; 0 when that
// shortcut does not apply (the caller calls PyImport_Import, which does
// it all again); -1 with an exception set where PyImport_Import fails too.
//
// PyImport_Import calls the __import__ of the builtins of the current
// globals with an empty fromlist. While that is the interpreter's own
// __import__, the call takes the module and, for a dotted name, its top
// package from sys.modules, each once it is not being imported by another
// thread, and imports only what is missing there; PyImport_Import then
// returns sys.modules[name]. The same is done here for modules found
// ready in sys.modules; anything else is left to PyImport_Import.
int imported_module(ModState *ms, PyObject *name, PyObject **out)
{
    *out = nullptr;
    PyObject *globals = PyEval_GetGlobals();
    if (ms->builtin_import == nullptr || globals == nullptr ||
        !PyDict_CheckExact(globals) || !PyUnicode_CheckExact(name))
        return 0;
    PyObject *builtins =
        PyDict_GetItemWithError(globals, TW_STR("__builtins__"));
    if (builtins == nullptr) {
        PyErr_Clear();
        return 0;
    }
    PyObject *bdict = PyDict_CheckExact(builtins) ? builtins
                      : PyModule_CheckExact(builtins)
                          ? PyModule_GetDict(builtins)
                          : nullptr;
    if (bdict == nullptr ||
        PyDict_GetItemWithError(bdict, TW_STR("__import__")) !=
            ms->builtin_import) {
        PyErr_Clear();
        return 0;
    }
    PyObject *modules = PyImport_GetModuleDict();
    if (modules == nullptr || !PyDict_CheckExact(modules))
        return 0;
    const Py_ssize_t dot =
        PyUnicode_FindChar(name, '.', 0, PyUnicode_GET_LENGTH(name), 1);
    if (dot == -2)
        return -1;
    if (dot == 0)
        return 0;
    tw::Ref mod = tw::Ref::borrow(PyDict_GetItemWithError(modules, name));
    if (!mod || !module_ready(mod.get())) {
        PyErr_Clear();
        return 0;
    }
    if (dot > 0) {
        tw::Ref front = tw::Ref::steal(PyUnicode_Substring(name, 0, dot));
        if (!front)
            return -1;
        PyObject *top = PyDict_GetItemWithError(modules, front.get());
        if (top == nullptr || !module_ready(top)) {
            PyErr_Clear();
            return 0;
        }
    }
    *out = mod.release();
    return 1;
}

// A heap class whose metaclass is `type`: its __qualname__ and __module__
// are type's own data descriptors, which read the class's qualified name
// and its namespace's __module__ entry.
bool plain_heap_class(PyObject *obj)
{
    return Py_IS_TYPE(obj, &PyType_Type) &&
           (reinterpret_cast<PyTypeObject *>(obj)->tp_flags &
            Py_TPFLAGS_HEAPTYPE);
}

// getattr(obj, "__qualname__", getattr(obj, "__name__", NULL)): 1 and a
// new reference, 0 when neither is there, -1 on an error.
int qualified_name(PyObject *obj, PyObject **out)
{
    if (plain_heap_class(obj)) {
        *out = Py_NewRef(reinterpret_cast<PyHeapTypeObject *>(obj)->ht_qualname);
        return 1;
    }
    int r = lookup_attr(obj, TW_STR("__qualname__"), out);
    if (r == 0)
        r = lookup_attr(obj, TW_STR("__name__"), out);
    return r;
}

// getattr(obj, "__module__", NULL) as lookup_attr answers it.
int module_attr(PyObject *obj, PyObject **out)
{
    if (plain_heap_class(obj)) {
        PyObject *d = reinterpret_cast<PyTypeObject *>(obj)->tp_dict;
        PyObject *v = d ? PyDict_GetItemWithError(d, TW_STR("__module__"))
                        : nullptr;
        if (v != nullptr) {
            *out = Py_NewRef(v);
            return 1;
        }
        if (PyErr_Occurred())
            return -1;
    }
    return lookup_attr(obj, TW_STR("__module__"), out);
}

// 0 when the C pickler can write `obj` by reference under `name` (its
// qualified name when NULL): the name is not local, its module imports and
// the dotted name found there is `obj` itself. -1 with an exception set
// otherwise (the messages are the C pickler's own).
int check_global(DumpState *st, PyObject *obj, PyObject *name)
{
    tw::Ref qual;
    if (name != nullptr) {
        qual = tw::Ref::borrow(name);
    }
    else {
        PyObject *q = nullptr;
        if (qualified_name(obj, &q) < 0)
            return -1;
        if (q == nullptr) {
            PyErr_Format(st->ms->pickling_error,
                         "Can't pickle %R: it has no name", obj);
            return -1;
        }
        qual = tw::Ref::steal(q);
    }
    if (!PyUnicode_Check(qual.get())) {
        PyErr_Format(st->ms->pickling_error,
                     "Can't pickle %R: its name is not a string", obj);
        return -1;
    }
    // The dotted parts of the name: the name itself when it has no dot.
    const Py_ssize_t dot = PyUnicode_FindChar(
        qual.get(), '.', 0, PyUnicode_GET_LENGTH(qual.get()), 1);
    if (dot == -2)
        return -1;
    tw::Ref parts;
    if (dot >= 0) {
        parts = tw::Ref::steal(PyUnicode_Split(qual.get(), TW_STR("."), -1));
        if (!parts)
            return -1;
    }
    const Py_ssize_t n = parts ? PyList_GET_SIZE(parts.get()) : 1;
    auto part = [&](Py_ssize_t i) {
        return parts ? PyList_GET_ITEM(parts.get(), i) : qual.get();
    };
    for (Py_ssize_t i = 0; i < n; i++) {
        if (PyUnicode_CompareWithASCIIString(part(i), "<locals>") == 0) {
            PyErr_Format(PyExc_AttributeError,
                         "Can't pickle local object %R", obj);
            return -1;
        }
    }
    PyObject *mn = nullptr;
    if (module_attr(obj, &mn) < 0)
        return -1;
    tw::Ref module_name = tw::Ref::steal(mn);
    if (!module_name || module_name.get() == Py_None) {
        module_name = tw::call(st->ms->whichmodule, obj, qual.get());
        if (!module_name)
            return -1;
    }
    if (!PyUnicode_Check(module_name.get())) {
        PyErr_Format(st->ms->pickling_error,
                     "Can't pickle %R: its module name is not a string", obj);
        return -1;
    }
    PyObject *imported;
    int got = imported_module(st->ms, module_name.get(), &imported);
    if (got == 0)
        imported = PyImport_Import(module_name.get());
    tw::Ref module = tw::Ref::steal(imported);
    if (!module) {
        PyErr_Clear();
        PyErr_Format(st->ms->pickling_error,
                     "Can't pickle %R: import of module %R failed", obj,
                     module_name.get());
        return -1;
    }
    tw::Ref found = std::move(module);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *next = PyObject_GetAttr(found.get(), part(i));
        if (next == nullptr) {
            PyErr_Clear();
            PyErr_Format(st->ms->pickling_error,
                         "Can't pickle %R: attribute lookup %S on %S failed",
                         obj, qual.get(), module_name.get());
            return -1;
        }
        found = tw::Ref::steal(next);
    }
    if (found.get() != obj) {
        PyErr_Format(st->ms->pickling_error,
                     "Can't pickle %R: it's not the same object as %S.%S",
                     obj, module_name.get(), qual.get());
        return -1;
    }
    if (st->proto < 3 && (!PyUnicode_IS_ASCII(module_name.get()) ||
                          !PyUnicode_IS_ASCII(qual.get()))) {
        PyErr_Format(st->ms->pickling_error,
                     "can't pickle global identifier '%S.%S' using pickle "
                     "protocol %i",
                     module_name.get(), qual.get(), st->proto);
        return -1;
    }
    return 0;
}

// check_global for a class or function, remembered for the rest of the dump.
int check_global_cached(DumpState *st, PyObject *obj)
{
    if (st->work->writable.count(obj) != 0)
        return 0;
    if (check_global(st, obj, nullptr) < 0)
        return -1;
    mark_writable(st, obj);
    return 0;
}

// 0 when `c`, named by a reduce value as its callable (or as the class of a
// __newobj__), will be written without error; -1 with an exception set
// otherwise. Asks the subclass's reducer_override first, as writing `c`
// will.
int check_callable(DumpState *st, PyObject *c)
{
    if (st->work->writable.count(c) != 0)
        return 0;
    if (st->user != nullptr) {
        PyObject *r = call_user(st, c);
        if (r == nullptr)
            return -1;
        const bool replaced = r != Py_NotImplemented;
        // Kept for the hook call that writing `c` makes, so that the
        // subclass is asked once per object.
        if (st->work->answers.emplace(c, r).second)
            Py_INCREF(c);
        else
            Py_DECREF(r);
        if (replaced) {
            mark_writable(st, c);
            return 0;
        }
    }
    PyTypeObject *t = Py_TYPE(c);
    if (t == &PyType_Type || t == &PyFunction_Type ||
        PyType_IsSubtype(t, &PyType_Type)) {
        if (!is_singleton_type(c) && check_global(st, c, nullptr) < 0)
            return -1;
    }
    else if (PyCFunction_Check(c)) {
        tw::Ref rv = tw::call_method(c, TW_STR("__reduce_ex__"),
                                     st->proto_obj);
        if (!rv)
            return -1;
        if (PyUnicode_Check(rv.get()) && check_global(st, c, rv.get()) < 0)
            return -1;
    }
    mark_writable(st, c);
    return 0;
}

// ------------------------------------------------------- reduce-value checks

// getattr(callable, "__name__", NULL) as lookup_attr answers it: 1 and a
// new reference, 0 when absent, -1 on an error. A Python function's
// __name__ is its type's own data descriptor, which gives the function's
// name: read in place.
int callable_name(PyObject *callable, PyObject **out)
{
    if (PyFunction_Check(callable)) {
        *out = Py_NewRef(
            reinterpret_cast<PyFunctionObject *>(callable)->func_name);
        return 1;
    }
    return lookup_attr(callable, TW_STR("__name__"), out);
}

// text == the ASCII `literal`, whose interned str is `interned`.
bool str_is(PyObject *text, PyObject *interned, const char *literal)
{
    return text == interned ||
           PyUnicode_CompareWithASCIIString(text, literal) == 0;
}

// obj.__class__; new reference. While the object's class keeps the
// generic attribute lookup and object's own __class__ descriptor (a data
// descriptor, which nothing in the instance can shadow), that is
// type(obj).
tw::Ref class_of(PyObject *obj)
{
    static PyObject *object_class =
        _PyType_Lookup(&PyBaseObject_Type, TW_STR("__class__"));
    PyTypeObject *tp = Py_TYPE(obj);
    if (object_class != nullptr && tp->tp_getattro == PyObject_GenericGetAttr &&
        _PyType_Lookup(tp, TW_STR("__class__")) == object_class)
        return tw::Ref::borrow(reinterpret_cast<PyObject *>(tp));
    return tw::getattr(obj, TW_STR("__class__"));
}

int has_item(PyObject *tuple, Py_ssize_t from, PyObject *obj)
{
    for (Py_ssize_t i = from; i < PyTuple_GET_SIZE(tuple); i++)
        if (PyTuple_GET_ITEM(tuple, i) == obj)
            return 1;
    return 0;
}

// The items of a reduce value's list or dict iterator, gathered now so that
// the C pickler cannot fail while it pumps them; new reference to a fresh
// iterator over them.
PyObject *gather_items(DumpState *st, PyObject *it, bool pairs)
{
    tw::Ref items = tw::Ref::steal(PySequence_List(it));
    if (!items)
        return nullptr;
    if (pairs) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); i++) {
            PyObject *p = PyList_GET_ITEM(items.get(), i);
            if (!PyTuple_Check(p) || PyTuple_GET_SIZE(p) != 2) {
                PyErr_SetString(st->ms->pickling_error,
                                "dict items iterator must return 2-tuples");
                return nullptr;
            }
        }
    }
    return PyObject_GetIter(items.get());
}

// Checks a reduce value for `obj` the way the C pickler will use it. Steals
// `rv`; returns it (or a copy with its iterators replaced), or NULL with an
// exception set.
PyObject *check_reduce(DumpState *st, PyObject *obj, PyObject *rv_in)
{
    tw::Ref rv = tw::Ref::steal(rv_in);
    PyObject *err = st->ms->pickling_error;
    if (PyUnicode_Check(rv.get())) {
        if (check_global(st, obj, rv.get()) < 0)
            return nullptr;
        return rv.release();
    }
    if (!PyTuple_Check(rv.get())) {
        PyErr_SetString(err, "__reduce__ must return a string or tuple");
        return nullptr;
    }
    const Py_ssize_t size = PyTuple_GET_SIZE(rv.get());
    if (size < 2 || size > 6) {
        PyErr_SetString(err, "tuple returned by __reduce__ must contain 2 "
                             "through 6 elements");
        return nullptr;
    }
    PyObject *item[6] = {nullptr, nullptr, Py_None, Py_None, Py_None, Py_None};
    for (Py_ssize_t i = 0; i < size; i++)
        item[i] = PyTuple_GET_ITEM(rv.get(), i);
    PyObject *callable = item[0], *argtup = item[1];
    if (!PyCallable_Check(callable)) {
        PyErr_SetString(err, "first item of the tuple returned by "
                             "__reduce__ must be callable");
        return nullptr;
    }
    if (!PyTuple_Check(argtup)) {
        PyErr_SetString(err, "second item of the tuple returned by "
                             "__reduce__ must be a tuple");
        return nullptr;
    }
    if (item[3] != Py_None && !PyIter_Check(item[3])) {
        PyErr_Format(err, "fourth element of the tuple returned by "
                          "__reduce__ must be an iterator, not %s",
                     Py_TYPE(item[3])->tp_name);
        return nullptr;
    }
    if (item[4] != Py_None && !PyIter_Check(item[4])) {
        PyErr_Format(err, "fifth element of the tuple returned by "
                          "__reduce__ must be an iterator, not %s",
                     Py_TYPE(item[4])->tp_name);
        return nullptr;
    }
    if (item[5] != Py_None && !PyCallable_Check(item[5])) {
        PyErr_Format(err, "sixth element of the tuple returned by "
                          "__reduce__ must be a function, not %s",
                     Py_TYPE(item[5])->tp_name);
        return nullptr;
    }

    bool newobj = false, newobj_ex = false;
    if (st->proto >= 2) {
        PyObject *nm;
        if (callable_name(callable, &nm) < 0)
            return nullptr;
        if (nm != nullptr && PyUnicode_Check(nm)) {
            newobj_ex = str_is(nm, TW_STR("__newobj_ex__"), "__newobj_ex__");
            newobj = !newobj_ex && str_is(nm, TW_STR("__newobj__"), "__newobj__");
        }
        Py_XDECREF(nm);
    }
    bool self_ref;
    if (newobj_ex) {
        if (PyTuple_GET_SIZE(argtup) != 3) {
            PyErr_Format(err, "length of the NEWOBJ_EX argument tuple must "
                              "be exactly 3, not %zd",
                         PyTuple_GET_SIZE(argtup));
            return nullptr;
        }
        PyObject *cls = PyTuple_GET_ITEM(argtup, 0);
        PyObject *args = PyTuple_GET_ITEM(argtup, 1);
        PyObject *kwargs = PyTuple_GET_ITEM(argtup, 2);
        if (!PyType_Check(cls) || !PyTuple_Check(args) ||
            !PyDict_Check(kwargs)) {
            PyErr_SetString(err, "NEWOBJ_EX arguments must be a class, a "
                                 "tuple and a dict");
            return nullptr;
        }
        if (check_callable(st, cls) < 0)
            return nullptr;
        self_ref = has_item(args, 0, obj);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (!self_ref && PyDict_Next(kwargs, &pos, &k, &v))
            self_ref = v == obj;
    }
    else if (newobj) {
        if (PyTuple_GET_SIZE(argtup) < 1) {
            PyErr_SetString(err, "__newobj__ arglist is empty");
            return nullptr;
        }
        PyObject *cls = PyTuple_GET_ITEM(argtup, 0);
        if (!PyType_Check(cls)) {
            PyErr_SetString(err, "args[0] from __newobj__ args is not a type");
            return nullptr;
        }
        tw::Ref obj_class = class_of(obj);
        if (!obj_class)
            return nullptr;
        if (obj_class.get() != cls) {
            PyErr_SetString(err, "args[0] from __newobj__ args has the wrong "
                                 "class");
            return nullptr;
        }
        if (check_callable(st, cls) < 0)
            return nullptr;
        self_ref = has_item(argtup, 1, obj);
    }
    else {
        if (check_callable(st, callable) < 0)
            return nullptr;
        self_ref = has_item(argtup, 0, obj);
    }
    if (self_ref) {
        // Writing the arguments would reach the object again before it is
        // memoized, without end.
        PyErr_Format(err, "Can't pickle %R: its reduce arguments hold the "
                          "object itself",
                     obj);
        return nullptr;
    }
    if (item[5] != Py_None && check_callable(st, item[5]) < 0)
        return nullptr;
    if (item[3] == Py_None && item[4] == Py_None)
        return rv.release();

    tw::Ref copy = tw::Ref::steal(PyTuple_New(size));
    if (!copy)
        return nullptr;
    for (Py_ssize_t i = 0; i < size; i++) {
        PyObject *v = item[i];
        if ((i == 3 || i == 4) && v != Py_None) {
            v = gather_items(st, v, i == 4);
            if (v == nullptr)
                return nullptr;
        }
        else {
            Py_INCREF(v);
        }
        PyTuple_SET_ITEM(copy.get(), i, v);
    }
    return copy.release();
}

// ------------------------------------------------------------ containment

// 1 when the object being asked about is, or lies inside, an object being
// written as a failure reducer's value, or an instance of a class for
// which special_cases is true; 0 when not; -1 on an error that must leave
// the dump. Called with no exception pending.
int contained(DumpState *st)
{
    const std::vector<Pending> &pending = st->work->pending;
    for (const Pending &p : pending)
        if (p.replaced)
            return 1;
    if (st->special_cases == nullptr)
        return 0;
    if (st->special_known == nullptr) {
        st->special_known = PyDict_New();
        if (st->special_known == nullptr)
            return -1;
    }
    for (const Pending &p : pending) {
        PyObject *known = PyDict_GetItemWithError(st->special_known, p.type);
        if (known == nullptr) {
            if (PyErr_Occurred())
                return -1;
            PyObject *r = PyObject_CallOneArg(st->special_cases, p.type);
            int truth = 0;
            if (r == nullptr) {
                if (!tw::containable())
                    return -1;
                PyErr_Clear();  // a class it cannot judge is not special
            }
            else {
                truth = PyObject_IsTrue(r);
                Py_DECREF(r);
                if (truth < 0) {
                    if (!tw::containable())
                        return -1;
                    PyErr_Clear();
                    truth = 0;
                }
            }
            known = truth ? Py_True : Py_False;
            if (PyDict_SetItem(st->special_known, p.type, known) < 0)
                return -1;
        }
        if (known == Py_True)
            return 1;
    }
    return 0;
}

// The reduce value of None: what is written, inside a special case, for an
// object whose failure reducer failed too. New reference.
PyObject *none_reduce()
{
    PyObject *none_type = reinterpret_cast<PyObject *>(Py_TYPE(Py_None));
    tw::Ref empty = tw::Ref::steal(PyTuple_New(0));
    if (!empty)
        return nullptr;
    return PyTuple_Pack(2, none_type, empty.get());
}

int own_reduce(DumpState *st, PyObject *obj, PyObject **out);

// Drops a fetched exception.
void drop(PyObject *t, PyObject *v, PyObject *tb)
{
    Py_XDECREF(t);
    Py_XDECREF(v);
    Py_XDECREF(tb);
}

// A failure reducer's value without its state (and state setter): what is
// written for an object met where the interpreter's recursion limit is
// near, so that writing it goes no deeper. Steals `rv`; new reference.
PyObject *without_state(PyObject *rv)
{
    if (!PyTuple_Check(rv) || PyTuple_GET_SIZE(rv) < 3)
        return rv;
    const Py_ssize_t size = PyTuple_GET_SIZE(rv);
    PyObject *copy = PyTuple_New(size);
    if (copy == nullptr) {
        Py_DECREF(rv);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < size; i++) {
        PyObject *v = (i == 2 || i == 5) ? Py_None : PyTuple_GET_ITEM(rv, i);
        Py_INCREF(v);
        PyTuple_SET_ITEM(copy, i, v);
    }
    Py_DECREF(rv);
    return copy;
}

// How many more nested calls the interpreter allows on this thread before
// it raises RecursionError, as the C pickler counts them.
int recursion_left()
{
    PyThreadState *ts = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030E0000
    (void)ts;
    return 1 << 30;  // limits are by stack size: not counted here
#elif PY_VERSION_HEX >= 0x030C0000
    return ts->c_recursion_remaining;
#elif PY_VERSION_HEX >= 0x030B0000
    return ts->recursion_remaining;
#else
    return Py_GetRecursionLimit() - ts->recursion_depth;
#endif
}

// Nested calls kept in reserve for writing a replacement when an object
// graph nests as deep as the interpreter allows.
constexpr int RECURSION_RESERVE = 50;

// ------------------------------------------- bounds of the failure reducer

// Placeholders nested inside this many placeholders are written without
// reading their attributes (the walk of a value's failure replacements
// goes that many levels deep).
constexpr int kWalkDepth = 4;
// Attribute reads, each walk counting as one more, that the placeholders
// of one dump may make together.
constexpr Py_ssize_t kWalkBudget = 1000;

// The bounds of the failure reducer call running on this thread.
thread_local tw::TarnWalk *current_walk = nullptr;

tw::TarnWalk *current_walk_entry()
{
    return current_walk;
}

// Whether `module` (a function's __module__) is a module of the
// interpreter's standard library.
bool stdlib_module(ModState *ms, PyObject *module)
{
    if (ms->stdlib_names == nullptr || module == nullptr ||
        !PyUnicode_Check(module))
        return false;
    const Py_ssize_t dot = PyUnicode_FindChar(
        module, '.', 0, PyUnicode_GET_LENGTH(module), 1);
    if (dot == -2) {
        PyErr_Clear();
        return false;
    }
    tw::Ref top = dot < 0 ? tw::Ref::borrow(module)
                          : tw::Ref::steal(PyUnicode_Substring(module, 0, dot));
    if (!top) {
        PyErr_Clear();
        return false;
    }
    const int in = PySet_Contains(ms->stdlib_names, top.get());
    if (in < 0)
        PyErr_Clear();
    return in > 0;
}

// Whether reducing `obj` the C pickler's way (own_reduce) runs only code
// of the interpreter and of its standard library: its pickling methods,
// as the reduction finds them, are native or standard-library functions
// (a socket's __getstate__). 1, 0, or -1 with an exception set. Reading
// them runs no code of the program where its class keeps the generic
// attribute lookup, which is required.
int runs_no_program_code(ModState *ms, PyObject *obj)
{
    if (Py_TYPE(obj)->tp_getattro != PyObject_GenericGetAttr)
        return 0;
    PyObject *names[] = {TW_STR("__reduce_ex__"), TW_STR("__reduce__"),
                         TW_STR("__getstate__"), TW_STR("__getnewargs_ex__"),
                         TW_STR("__getnewargs__")};
    for (PyObject *name : names) {
        if (name == nullptr)
            return -1;
        // Looked up on the class first: a name it does not have is looked
        // up on the instance only where one could be found there.
        PyObject *found = _PyType_Lookup(Py_TYPE(obj), name);
        PyObject *f = nullptr;
        tw::Ref held;
        if (found != nullptr && !PyFunction_Check(found) &&
            (Py_IS_TYPE(found, &PyMethodDescr_Type) ||
             Py_IS_TYPE(found, &PyWrapperDescr_Type) ||
             Py_IS_TYPE(found, &PyClassMethodDescr_Type))) {
            f = found;  // a native method of the class
        }
        else {
            PyObject *v;
            const int r = lookup_attr(obj, name, &v);
            if (r < 0)
                return -1;
            if (r == 0)
                continue;
            held = tw::Ref::steal(v);
            f = PyMethod_Check(v) ? PyMethod_GET_FUNCTION(v) : v;
        }
        if (PyCFunction_Check(f) || Py_IS_TYPE(f, &PyMethodDescr_Type) ||
            Py_IS_TYPE(f, &PyWrapperDescr_Type) ||
            Py_IS_TYPE(f, &PyClassMethodDescr_Type) ||
            Py_IS_TYPE(f, &_PyMethodWrapper_Type))
            continue;
        if (PyFunction_Check(f) &&
            stdlib_module(ms,
                          reinterpret_cast<PyFunctionObject *>(f)->func_module))
            continue;
        return 0;
    }
    return 1;
}

// Units of small_value(): each atom, each class or function, each
// container, and each character or byte of a str or bytes costs one.
constexpr Py_ssize_t kSmallReduceUnits = 512;

// Whether `v` is made only of atoms, classes and functions (written by
// reference) and tuples, frozensets and dicts of them, within `*units`
// (which it uses up) and three levels of nesting.
bool small_value(PyObject *v, Py_ssize_t *units, int level = 0)
{
    if (--*units < 0 || level > 3)
        return false;
    PyTypeObject *t = Py_TYPE(v);
    if (v == Py_None || t == &PyBool_Type || t == &PyFloat_Type ||
        t == &PyComplex_Type || t == &PyType_Type || t == &PyFunction_Type ||
        t == &PyCFunction_Type)
        return true;
    if (t == &PyLong_Type)
        return (*units -= static_cast<Py_ssize_t>(_PyLong_NumBits(v) / 64)) >= 0;
    if (t == &PyUnicode_Type)
        return (*units -= PyUnicode_GET_LENGTH(v)) >= 0;
    if (t == &PyBytes_Type)
        return (*units -= PyBytes_GET_SIZE(v)) >= 0;
    if (t == &PyTuple_Type) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); i++)
            if (!small_value(PyTuple_GET_ITEM(v, i), units, level + 1))
                return false;
        return true;
    }
    if (t == &PyDict_Type) {
        Py_ssize_t pos = 0;
        PyObject *k, *item;
        while (PyDict_Next(v, &pos, &k, &item))
            if (!small_value(k, units, level + 1) ||
                !small_value(item, units, level + 1))
                return false;
        return true;
    }
    return false;
}

// The object's own reduction when it runs no code of the program and
// gives a small value (see small_value): 1 with the checked reduce value
// (or NotImplemented, for a write by reference) in *out, new reference;
// 0 when not; -1 with an exception that must leave the dump. A refused
// object met inside a failure replacement is written so where it can
// (a Decimal among a placeholder's attributes stays a Decimal).
int small_own_reduction(DumpState *st, PyObject *obj, PyObject **out)
{
    *out = nullptr;
    // Only a class that customises its pickling (natively, as Decimal
    // does) tells how its instances are written; an instance of a plain
    // class refused for other reasons is replaced.
    PyTypeObject *tp = Py_TYPE(obj);
    PyObject *base = reinterpret_cast<PyObject *>(&PyBaseObject_Type);
    bool customised = false;
    for (PyObject *name :
         {TW_STR("__reduce_ex__"), TW_STR("__reduce__"),
          TW_STR("__getstate__"), TW_STR("__getnewargs_ex__"),
          TW_STR("__getnewargs__")}) {
        if (name == nullptr)
            return -1;
        PyObject *found = _PyType_Lookup(tp, name);
        if (found != nullptr &&
            found != _PyType_Lookup(reinterpret_cast<PyTypeObject *>(base),
                                    name))
            customised = true;
    }
    if (!customised)
        return 0;
    int r = runs_no_program_code(st->ms, obj);
    PyObject *own = nullptr;
    if (r > 0)
        r = own_reduce(st, obj, &own);
    else if (r == 0)
        return 0;
    if (r < 0) {
        if (!tw::containable())
            return -1;
        PyErr_Clear();
        return 0;
    }
    if (r == 0) {
        *out = Py_NewRef(Py_NotImplemented);
        return 1;
    }
    Py_ssize_t units = kSmallReduceUnits;
    const Py_ssize_t size = PyTuple_Check(own) ? PyTuple_GET_SIZE(own) : 0;
    bool small = size >= 2;
    for (Py_ssize_t i = 1; small && i < size; i++) {
        PyObject *v = PyTuple_GET_ITEM(own, i);
        small = i <= 2 ? small_value(v, &units) : v == Py_None;
    }
    if (!small) {
        Py_DECREF(own);
        return 0;
    }
    *out = own;
    return 1;
}

// The nearest object that encloses the one being asked about (the last of
// `pending`) and is being written as a failure reducer's value, or NULL;
// *depth: how many such objects enclose it.
const Pending *enclosing_replacement(DumpState *st, int *depth)
{
    const std::vector<Pending> &pending = st->work->pending;
    const Pending *nearest = nullptr;
    *depth = 0;
    if (pending.empty())
        return nullptr;
    for (size_t i = pending.size() - 1; i-- > 0;) {
        if (!pending[i].replaced)
            continue;
        if (nearest == nullptr)
            nearest = &pending[i];
        ++*depth;
    }
    return nearest;
}

// Called with the exception that asking about or reducing `obj` raised.
// Returns the reduce value to write in its place (new reference), or NULL
// with the exception that is to leave the dump. `flat`: write the
// replacement without its state.
PyObject *on_error(DumpState *st, PyObject *obj, bool flat = false)
{
    if (!tw::containable())
        return nullptr;  // interrupts and exits are never absorbed
    const bool refusal = PyErr_ExceptionMatches(st->ms->problematic);
    PyObject *et, *ev, *etb;
    PyErr_Fetch(&et, &ev, &etb);
    int inside = -1;  // not yet known
    if (refusal) {
        inside = contained(st);
        if (inside < 0) {
            drop(et, ev, etb);
            return nullptr;
        }
        if (inside == 0) {
            // A refusal stands, unless the object could not be written
            // anyway: then it is an unpicklable object like any other.
            // That is found out only where it runs none of the program's
            // code: the pickling methods of a refused object never run.
            const int plain = runs_no_program_code(st->ms, obj);
            if (plain <= 0) {
                if (plain < 0) {
                    if (!tw::containable()) {
                        drop(et, ev, etb);
                        return nullptr;
                    }
                    PyErr_Clear();
                }
                PyErr_Restore(et, ev, etb);
                return nullptr;
            }
            PyObject *own = nullptr;
            const int r = own_reduce(st, obj, &own);
            Py_XDECREF(own);
            if (r >= 0) {
                PyErr_Restore(et, ev, etb);
                return nullptr;
            }
            if (!tw::containable()) {
                drop(et, ev, etb);
                return nullptr;
            }
            PyErr_Clear();
        }
        else {
            // Contained: written by its own reduction where that is
            // harmless and small, else replaced.
            PyObject *own;
            const int r = small_own_reduction(st, obj, &own);
            if (r != 0) {
                drop(et, ev, etb);
                return r > 0 ? own : nullptr;
            }
        }
    }
    // How far the failure reducer may walk the object's attributes.
    const char *why_flat = nullptr;
    int depth = 0;
    const Pending *outer = enclosing_replacement(st, &depth);
    if (outer != nullptr &&
        outer->type == reinterpret_cast<PyObject *>(Py_TYPE(obj))) {
        // A new object of the type being replaced, read from one of its
        // attributes (a Decimal's .imag, made anew at each read): written
        // once, as a placeholder without attributes, and never walked, or
        // the walk would go on without end.
        why_flat = "(same type: not followed)";
    }
    else if (depth >= kWalkDepth) {
        why_flat = "(depth limit)";
        st->walk.cut++;
    }

    PyErr_NormalizeException(&et, &ev, &etb);
    if (etb != nullptr)
        PyException_SetTraceback(ev, etb);

    st->walk.flat = why_flat;
    tw::TarnWalk *outer_walk = current_walk;
    current_walk = &st->walk;
    PyObject *rv = PyObject_CallOneArg(st->failure_reducer, obj);
    current_walk = outer_walk;
    st->walk.flat = nullptr;
    if (rv != nullptr && flat)
        rv = without_state(rv);
    if (rv != nullptr)
        rv = check_reduce(st, obj, rv);
    if (rv != nullptr) {
        drop(et, ev, etb);
        // What is written for the replacement is best effort: errors
        // inside it are contained.
        st->work->pending.back().replaced = true;
        return rv;
    }
    // The failure reducer failed as well.
    if (!tw::containable()) {
        drop(et, ev, etb);
        return nullptr;
    }
    PyObject *rt, *rval, *rtb;
    PyErr_Fetch(&rt, &rval, &rtb);
    PyErr_NormalizeException(&rt, &rval, &rtb);
    if (inside < 0)
        inside = contained(st);
    if (inside != 0) {
        drop(rt, rval, rtb);
        drop(et, ev, etb);
        return inside > 0 ? none_reduce() : nullptr;
    }
    // The dump fails as it would have without a failure reducer, with the
    // failure reducer's own error attached as context.
    if (rval != nullptr && ev != nullptr && rval != ev) {
        if (rtb != nullptr)
            PyException_SetTraceback(rval, rtb);
        PyException_SetContext(ev, rval);  // steals rval
        rval = nullptr;
    }
    drop(rt, rval, rtb);
    PyErr_Restore(et, ev, etb);
    return nullptr;
}

// ------------------------------------------------------- pickle buffers
//
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

// The file given to the C pickler: passes the bytes on to the file's
// write, counting its calls.
struct Writer {
    PyObject_HEAD
    PyObject *write;  // strong: file.write
    Py_ssize_t calls;
};

PyObject *Writer_write(PyObject *self, PyObject *data)
{
    Writer *w = reinterpret_cast<Writer *>(self);
    w->calls++;
    return PyObject_CallOneArg(w->write, data);
}

int Writer_traverse(PyObject *self, visitproc visit, void *arg)
{
    Py_VISIT(reinterpret_cast<Writer *>(self)->write);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int Writer_clear(PyObject *self)
{
    Py_CLEAR(reinterpret_cast<Writer *>(self)->write);
    return 0;
}

void Writer_dealloc(PyObject *self)
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

// Stands for a pickle buffer in a dump made again (holds it, strong).
struct StandIn {
    PyObject_HEAD
    PyObject *buffer;
};

void StandIn_dealloc(PyObject *self)
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
bool buffer_writable(DumpState *st, PyObject *pb)
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
void remember(Scrub *sc, PyObject *x, PyObject *copy)
{
    if (sc->done.emplace(x, copy).second) {
        Py_INCREF(x);
        Py_INCREF(copy);
    }
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
        return Py_NewRef(found->second);
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
        Py_hash_t hash;
        while (copy && _PyDict_Next(x, &pos, &k, &v, &hash)) {
            tw::Ref key = tw::Ref::borrow(k);
            PyObject *item = scrub(st, v, &item_waiting);
            if (item == nullptr ||
                (item != v && _PyDict_SetItem_KnownHash(copy.get(), k, item,
                                                        hash) < 0)) {
                Py_XDECREF(item);
                copy.reset();
                break;
            }
            if (item_waiting)
                sc->waiting[item].push_back(
                    Scrub::Fix{copy.get(), 0, key.release()});
            Py_DECREF(item);
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
                for (const Scrub::Fix &f : fixes) {
                    PyObject *c = copy.get();
                    if (PyList_Check(f.into)) {
                        PyList_SetItem(f.into, f.index, Py_NewRef(c));
                    }
                    else if (PyTuple_Check(f.into)) {
                        PyObject *old = PyTuple_GET_ITEM(f.into, f.index);
                        PyTuple_SET_ITEM(f.into, f.index, Py_NewRef(c));
                        Py_DECREF(old);
                    }
                    else if (copy && PyDict_SetItem(f.into, f.key, c) < 0) {
                        copy.reset();
                    }
                    Py_XDECREF(f.key);
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

// ------------------------------------------------------------------ the hook

// Steals `rv`, a reduce value for `obj`; checks it or falls back.
PyObject *finish(DumpState *st, PyObject *obj, PyObject *rv)
{
    PyObject *checked = check_reduce(st, obj, rv);
    if (checked == nullptr)
        return on_error(st, obj);
    return checked;
}

// The C pickler's own way with an object that its reducer_override left
// alone, worked out here so that a failure can still be replaced: 1 and the
// checked reduce value in *out (new reference); 0 when the C pickler writes
// the object by reference and can; -1 with an exception set.
int own_reduce(DumpState *st, PyObject *obj, PyObject **out)
{
    *out = nullptr;
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
    }
    else {
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
    }
    else if (PyType_IsSubtype(t, &PyType_Type)) {
        // A class with a metaclass of its own: written by reference.
        return check_global_cached(st, obj);
    }
    else {
        rv = tw::call_method(obj, TW_STR("__reduce_ex__"), st->proto_obj)
                 .release();
    }
    if (rv == nullptr)
        return -1;
    *out = check_reduce(st, obj, rv);
    return *out == nullptr ? -1 : 1;
}

PyObject *answer(DumpState *st, PyObject *obj);

PyObject *hook(PyObject *self, PyObject *obj)
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
PyObject *answer(DumpState *st, PyObject *obj)
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
    while (!pending.empty() && pending.back().frame <= frame) {
        Py_DECREF(pending.back().type);
        pending.pop_back();
    }
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(obj));
    Py_INCREF(type);
    pending.push_back(Pending{frame, type, false});

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
        Py_IS_TYPE(obj, reinterpret_cast<PyTypeObject *>(st->ms->stand_in_type))) {
        PyObject *buffer = reinterpret_cast<StandIn *>(obj)->buffer;
        PyErr_Format(st->ms->pickling_error,
                     "Can't pickle %R: a PickleBuffer is written only "
                     "in band at protocol 5 or above, when contiguous",
                     buffer);
        return on_error(st, buffer);
    }

    if (st->user != nullptr) {
        PyObject *rv = nullptr;
        auto &answers = st->work->answers;
        if (!answers.empty()) {
            auto it = answers.find(obj);
            if (it != answers.end()) {
                rv = it->second;  // the reference moves to rv
                Py_DECREF(it->first);
                answers.erase(it);
            }
        }
        if (rv == nullptr)
            rv = call_user(st, obj);
        if (rv == nullptr)
            return on_error(st, obj);
        if (rv != Py_NotImplemented)
            return finish(st, obj, rv);
        Py_DECREF(rv);
    }
    PyObject *rv;
    const int r = own_reduce(st, obj, &rv);
    if (r < 0)
        return on_error(st, obj);
    if (r == 0)
        Py_RETURN_NOTIMPLEMENTED;
    return rv;
}

PyMethodDef hook_def = {"reducer_override", hook, METH_O,
                        "Answers the C pickler for one object."};

// ------------------------------------------------------- Pickler's methods

// Pickler.__init__(self, file, protocol=None, fix_imports=True,
// buffer_callback=None, *, failure_reducer=None, special_cases=None)
PyObject *pickler_init(PyObject *module, PyObject *const *args,
                       Py_ssize_t nargs, PyObject *kwnames)
{
    static const tw::Param params[] = {
        {"self"}, {"file"}, tw::opt("protocol"), tw::opt("fix_imports"),
        tw::opt("buffer_callback"), tw::opt("failure_reducer"),
        tw::opt("special_cases")};
    if (nargs > 5) {
        PyErr_Format(PyExc_TypeError,
                     "Pickler.__init__() takes from 2 to 5 positional "
                     "arguments but %zd were given",
                     nargs);
        return nullptr;
    }
    static const tw::ParamNames<7> names(params);
    PyObject *a[7];
    if (tw::parse("Pickler.__init__", params, names, args, nargs, kwnames,
                  a) < 0)
        return nullptr;
    ModState *ms = mod_state(module);
    PyObject *self = a[0];
    PyObject *protocol = a[2] != nullptr ? a[2] : Py_None;
    // The C pickler writes to the file through a Writer, which tells a
    // dump whether the file has been given bytes (see scrub()). A file
    // without write is handed on as it is, for the C pickler's own error.
    PyObject *file_write;
    if (lookup_attr(a[1], TW_STR("write"), &file_write) < 0)
        return nullptr;
    tw::Ref writer;
    if (file_write != nullptr) {
        writer = tw::Ref::steal(PyType_GenericAlloc(
            reinterpret_cast<PyTypeObject *>(ms->writer_type), 0));
        if (!writer) {
            Py_DECREF(file_write);
            return nullptr;
        }
        reinterpret_cast<Writer *>(writer.get())->write = file_write;
    }
    tw::Ref base_args = tw::tuple(writer ? writer.get() : a[1], protocol);
    if (!base_args)
        return nullptr;
    tw::Ref base_kwargs;
    if (a[3] != nullptr || a[4] != nullptr) {
        base_kwargs = tw::Ref::steal(PyDict_New());
        if (!base_kwargs ||
            (a[3] != nullptr &&
             PyDict_SetItemString(base_kwargs.get(), "fix_imports", a[3]) < 0) ||
            (a[4] != nullptr &&
             PyDict_SetItemString(base_kwargs.get(), "buffer_callback",
                                  a[4]) < 0))
            return nullptr;
    }
    PyTypeObject *base = reinterpret_cast<PyTypeObject *>(ms->pickler_type);
    if (base->tp_init(self, base_args.get(), base_kwargs.get()) < 0)
        return nullptr;

    // The protocol as the C pickler resolved it (it has checked it).
    tw::Ref resolved;
    if (protocol == Py_None) {
        resolved = tw::Ref::borrow(ms->default_protocol);
    }
    else {
        const long p = PyLong_AsLong(protocol);
        if (p == -1 && PyErr_Occurred())
            return nullptr;
        resolved = p < 0 ? tw::Ref::borrow(ms->highest_protocol)
                         : tw::Ref::borrow(protocol);
    }
    if (PyObject_SetAttr(self, TW_STR("_tarn_writer"),
                         writer ? writer.get() : Py_None) < 0 ||
        PyObject_SetAttr(self, TW_STR("_tarn_protocol"), resolved.get()) < 0 ||
        PyObject_SetAttr(self, TW_STR("failure_reducer"),
                         a[5] != nullptr ? a[5] : Py_None) < 0 ||
        PyObject_SetAttr(self, TW_STR("special_cases"),
                         a[6] != nullptr ? a[6] : Py_None) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// getattr(obj, name, None); new reference.
PyObject *attr_or_none(PyObject *obj, PyObject *name)
{
    PyObject *v;
    if (lookup_attr(obj, name, &v) < 0)
        return nullptr;
    return v != nullptr ? v : Py_NewRef(Py_None);
}

// Whether attribute reads on `obj` are the generic ones.
bool generic_getattr(PyObject *obj)
{
    return Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr;
}

// getattr(pickler, name, None), where `dict` is the pickler's __dict__ (or
// NULL). When reads are generic and the class has nothing of that name,
// which is the case for the attributes __init__ sets, that is the entry of
// the __dict__, read there. New reference.
PyObject *instance_attr_or_none(PyObject *pickler, PyObject *dict,
                                PyObject *name)
{
    if (dict != nullptr && generic_getattr(pickler) &&
        _PyType_Lookup(Py_TYPE(pickler), name) == nullptr) {
        PyObject *v = PyDict_GetItemWithError(dict, name);
        if (v == nullptr && PyErr_Occurred())
            return nullptr;
        return Py_NewRef(v != nullptr ? v : Py_None);
    }
    return attr_or_none(pickler, name);
}

// getattr(pickler, "dispatch_table") as lookup_attr answers it. While the
// name is the C pickler's own member (a data descriptor, so the __dict__
// does not count), its slot is read in place.
int read_dispatch_table(ModState *ms, PyObject *pickler, PyObject **out)
{
    PyObject *name = TW_STR("dispatch_table");
    PyObject *member = ms->dispatch_member;
    if (member != nullptr && generic_getattr(pickler) &&
        _PyType_Lookup(Py_TYPE(pickler), name) == member &&
        PyObject_TypeCheck(pickler, PyDescr_TYPE(member))) {
        const PyMemberDef *m =
            reinterpret_cast<PyMemberDescrObject *>(member)->d_member;
        PyObject *v = *reinterpret_cast<PyObject **>(
            reinterpret_cast<char *>(pickler) + m->offset);
        *out = Py_XNewRef(v);
        return v != nullptr ? 1 : 0;
    }
    return lookup_attr(pickler, name, out);
}

// The subclass's reducer_override as the pickler would read it, when its
// __dict__ has none: 0 and *user NULL when it has none; 1 with *user a new
// reference, *unbound telling whether it is a function to call with the
// pickler; -1 on an error. A plain function or instance method of the
// class is taken as it stands, not bound first.
int read_user_override(PyObject *pickler, PyObject *key, PyObject **user,
                       int *unbound)
{
    *unbound = 0;
    if (generic_getattr(pickler)) {
        PyObject *d = _PyType_Lookup(Py_TYPE(pickler), key);
        if (d == nullptr) {
            *user = nullptr;
            return 0;
        }
        if (PyInstanceMethod_Check(d) || PyFunction_Check(d)) {
            *user = Py_NewRef(PyInstanceMethod_Check(d)
                                  ? PyInstanceMethod_GET_FUNCTION(d)
                                  : d);
            *unbound = 1;
            return 1;
        }
    }
    PyObject *u;
    const int r = lookup_attr(pickler, key, &u);
    if (r <= 0) {
        *user = nullptr;
        return r;
    }
    if (PyMethod_Check(u) && PyMethod_GET_SELF(u) == pickler) {
        *user = Py_NewRef(PyMethod_GET_FUNCTION(u));
        *unbound = 1;
        Py_DECREF(u);
    }
    else {
        *user = u;
    }
    return 1;
}

// A hook with a DumpState of its own, ready to be filled: the one kept
// from an earlier dump when nothing else refers to it, else a new one.
// New reference.
PyObject *take_hook(ModState *ms)
{
    PyObject *fn = ms->spare_hook;
    if (fn != nullptr) {
        ms->spare_hook = nullptr;
        if (Py_REFCNT(fn) == 1 && Py_REFCNT(PyCFunction_GET_SELF(fn)) == 1)
            return fn;
        Py_DECREF(fn);
    }
    tw::Ref state_obj = tw::Ref::steal(PyType_GenericAlloc(
        reinterpret_cast<PyTypeObject *>(ms->state_type), 0));
    if (!state_obj)
        return nullptr;
    return PyCFunction_NewEx(&hook_def, state_obj.get(), nullptr);
}

// Keeps a hook whose dump has ended for the next dump, when nothing but
// `fn` (one reference, given up here) refers to it and its state.
void give_back_hook(ModState *ms, PyObject *fn)
{
    if (ms->spare_hook == nullptr && Py_REFCNT(fn) == 1 &&
        Py_REFCNT(PyCFunction_GET_SELF(fn)) == 1) {
        ms->spare_hook = fn;
        return;
    }
    Py_DECREF(fn);
}

// The protocol number of `protocol` (None: the default, which *protocol
// is then set to); -1 with an exception set when it is no int.
long protocol_number(ModState *ms, tw::Ref &protocol)
{
    if (protocol.get() == Py_None)
        protocol = tw::Ref::borrow(ms->default_protocol);
    return PyLong_AsLong(protocol.get());
}

// Nested calls a dump may use on top of whatever depth it starts at. The
// program whose values are pickled may itself be deep in recursion, close
// to its limit; without room of its own the dump would have to cut the
// value (a whole call record) into stateless replacements. The room is
// added to this thread's count only while the dump runs.
class RecursionHeadroom {
  public:
    static constexpr int kCalls = 1000;
    RecursionHeadroom() : ts_(PyThreadState_Get())
    {
#if PY_VERSION_HEX >= 0x030E0000
        (void)ts_;  // limits are by stack size there
#elif PY_VERSION_HEX >= 0x030C0000
        ts_->c_recursion_remaining += kCalls;
#elif PY_VERSION_HEX >= 0x030B0000
        ts_->recursion_remaining += kCalls;
#else
        ts_->recursion_depth -= kCalls;
#endif
    }
    ~RecursionHeadroom()
    {
#if PY_VERSION_HEX >= 0x030E0000
#elif PY_VERSION_HEX >= 0x030C0000
        ts_->c_recursion_remaining -= kCalls;
#elif PY_VERSION_HEX >= 0x030B0000
        ts_->recursion_remaining -= kCalls;
#else
        ts_->recursion_depth += kCalls;
#endif
    }
    RecursionHeadroom(const RecursionHeadroom &) = delete;
    RecursionHeadroom &operator=(const RecursionHeadroom &) = delete;

  private:
    PyThreadState *ts_;
};

// Whether the exception pending (the one that ended a dump) is the C
// pickler's failure on a pickle buffer.
bool buffer_failure(ModState *ms)
{
    if (!tw::containable() || PyErr_ExceptionMatches(ms->problematic))
        return false;
    PyObject *et, *ev, *etb;
    PyErr_Fetch(&et, &ev, &etb);
    PyErr_NormalizeException(&et, &ev, &etb);
    bool found = false;
    if (ev != nullptr) {
        tw::Ref text = tw::Ref::steal(PyObject_Str(ev));
        if (text) {
            const Py_ssize_t at = PyUnicode_Find(
                text.get(), TW_STR("PickleBuffer"), 0,
                PyUnicode_GET_LENGTH(text.get()), 1);
            found = at >= 0;
        }
        PyErr_Clear();
    }
    PyErr_Restore(et, ev, etb);
    return found;
}

// The dump of `obj` made again, after the C pickler failed on a pickle
// buffer before it wrote to the file: its memo is emptied (a fresh
// stream), and the copies of scrub() are written. New reference, or NULL
// with an exception set (the first failure's when the copies cannot be
// made).
PyObject *dump_without_buffers(DumpState *st, PyObject *pickler, PyObject *obj)
{
    PyObject *et, *ev, *etb;
    PyErr_Fetch(&et, &ev, &etb);
    tw::Ref cleared = tw::call(st->ms->clear_memo, pickler);
    if (st->work != nullptr) {
        Work *w = st->work;
        for (const Pending &p : w->pending)
            Py_DECREF(p.type);
        w->pending.clear();
        for (auto &kv : w->answers) {
            Py_DECREF(kv.first);
            Py_DECREF(kv.second);
        }
        w->answers.clear();
    }
    if (cleared && st->scrub == nullptr)
        st->scrub = new (std::nothrow) Scrub();
    bool waiting;
    tw::Ref copy = cleared && st->scrub != nullptr
                       ? tw::Ref::steal(scrub(st, obj, &waiting))
                       : tw::Ref();
    if (!copy) {
        if (!tw::containable()) {
            drop(et, ev, etb);
            return nullptr;
        }
        PyErr_Clear();
        PyErr_Restore(et, ev, etb);
        return nullptr;
    }
    drop(et, ev, etb);
    return tw::call(st->ms->pickler_dump, pickler, copy.get()).release();
}

// The dump with the hook installed, given what Pickler.dump read from the
// pickler (new references in the Refs; `special_cases` may be None;
// `protocol` is the int `proto`). `previous` is the pickler's own
// reducer_override entry, or NULL. New reference, or NULL with an
// exception set.
PyObject *dump_with_hook(PyObject *module, PyObject *pickler, PyObject *dict,
                         PyObject *obj, tw::Ref failure_reducer,
                         tw::Ref special_cases, tw::Ref protocol, long proto,
                         tw::Ref previous)
{
    ModState *ms = mod_state(module);
    PyObject *key = TW_STR("reducer_override");
    tw::Ref user;
    int user_unbound = 0;
    if (previous) {
        user = tw::Ref::borrow(previous.get());
        if (PyMethod_Check(user.get()) &&
            PyMethod_GET_SELF(user.get()) == pickler) {
            user = tw::Ref::borrow(PyMethod_GET_FUNCTION(user.get()));
            user_unbound = 1;
        }
    }
    else {
        PyObject *u;
        if (read_user_override(pickler, key, &u, &user_unbound) < 0)
            return nullptr;
        user = tw::Ref::steal(u);
    }
    PyObject *dt;
    if (read_dispatch_table(ms, pickler, &dt) < 0)
        return nullptr;
    tw::Ref dispatch = dt ? tw::Ref::steal(dt)
                          : tw::Ref::borrow(ms->copyreg_dispatch);

    tw::Ref fn = tw::Ref::steal(take_hook(ms));
    if (!fn)
        return nullptr;
    DumpState *st = reinterpret_cast<DumpState *>(PyCFunction_GET_SELF(fn.get()));
    st->ms = ms;
    st->module = Py_NewRef(module);
    st->pickler = Py_NewRef(pickler);
    st->user = user.release();
    st->user_unbound = user_unbound;
    st->failure_reducer = failure_reducer.release();
    st->special_cases =
        special_cases.get() == Py_None ? nullptr : special_cases.release();
    st->dispatch = dispatch.release();
    st->proto = static_cast<int>(proto);
    st->proto_obj = protocol.release();
    st->active = 1;

    if (PyDict_SetItem(dict, key, fn.get()) < 0) {
        state_close(st);
        return nullptr;
    }
    st->walk = tw::TarnWalk{nullptr, kWalkBudget, 0};
    // The pickler's Writer, when it has one: its count of writes.
    PyObject *w = PyDict_GetItemWithError(dict, TW_STR("_tarn_writer"));
    if (w == nullptr && PyErr_Occurred()) {
        PyErr_Clear();
    }
    Writer *writer =
        w != nullptr && Py_IS_TYPE(w, reinterpret_cast<PyTypeObject *>(
                                          ms->writer_type))
            ? reinterpret_cast<Writer *>(w)
            : nullptr;
    tw::Ref held_writer = tw::Ref::borrow(reinterpret_cast<PyObject *>(writer));
    const Py_ssize_t writes = writer != nullptr ? writer->calls : 0;
    tw::Ref result;
    {
        RecursionHeadroom room;
        result = tw::call(ms->pickler_dump, pickler, obj);
        if (!result && writer != nullptr && writer->calls == writes &&
            st->active && buffer_failure(ms))
            result = tw::Ref::steal(dump_without_buffers(st, pickler, obj));
    }
    {
        tw::ErrorGuard keep_error;
        const int r = previous ? PyDict_SetItem(dict, key, previous.get())
                               : PyDict_DelItem(dict, key);
        if (r < 0)
            PyErr_Clear();
        state_close(st);
        give_back_hook(ms, fn.release());
    }
    return result.release();
}

// Pickler.dump(self, obj): runs the C pickler's dump with the hook
// installed as the pickler's reducer_override.
PyObject *pickler_dump(PyObject *module, PyObject *const *args,
                       Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *pickler, *obj;
    if (kwnames == nullptr && nargs == 2) {
        pickler = args[0];
        obj = args[1];
    }
    else {
        static const tw::Param params[] = {{"self"}, {"obj"}};
        PyObject *a[2];
        if (tw::parse("Pickler.dump", params, args, nargs, kwnames, a) < 0)
            return nullptr;
        pickler = a[0];
        obj = a[1];
    }
    ModState *ms = mod_state(module);
    // The __dict__ is only read until the hook goes in (an object without
    // one reads its attributes the long way).
    tw::Ref dict;
    if (generic_getattr(pickler)) {
        dict = tw::Ref::steal(PyObject_GenericGetDict(pickler, nullptr));
        if (!dict) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                return nullptr;
            PyErr_Clear();
        }
    }
    tw::Ref failure_reducer = tw::Ref::steal(instance_attr_or_none(
        pickler, dict.get(), TW_STR("failure_reducer")));
    if (!failure_reducer)
        return nullptr;
    if (failure_reducer.get() == Py_None)
        return tw::call(ms->pickler_dump, pickler, obj).release();
    tw::Ref special_cases = tw::Ref::steal(instance_attr_or_none(
        pickler, dict.get(), TW_STR("special_cases")));
    tw::Ref protocol = tw::Ref::steal(instance_attr_or_none(
        pickler, dict.get(), TW_STR("_tarn_protocol")));
    if (!special_cases || !protocol)
        return nullptr;
    const long proto = protocol_number(ms, protocol);
    if (proto == -1 && PyErr_Occurred())
        return nullptr;

    if (!dict) {
        dict = tw::Ref::steal(PyObject_GenericGetDict(pickler, nullptr));
        if (!dict)
            return nullptr;
    }
    tw::Ref previous = tw::Ref::borrow(
        PyDict_GetItemWithError(dict.get(), TW_STR("reducer_override")));
    if (!previous && PyErr_Occurred())
        return nullptr;
    return dump_with_hook(module, pickler, dict.get(), obj,
                          std::move(failure_reducer), std::move(special_cases),
                          std::move(protocol), proto, std::move(previous));
}

// tw::TarnDumpPrepared: see tw/tarn_pickle_api.hpp.
PyObject *dump_prepared(PyObject *module, PyObject *pickler, PyObject *dict,
                        PyObject *obj, PyObject *failure_reducer,
                        PyObject *special_cases, PyObject *protocol)
{
    tw::Ref proto_obj = tw::Ref::borrow(protocol);
    const long proto = protocol_number(mod_state(module), proto_obj);
    if (proto == -1 && PyErr_Occurred())
        return nullptr;
    return dump_with_hook(module, pickler, dict, obj,
                          tw::Ref::borrow(failure_reducer),
                          tw::Ref::borrow(special_cases), std::move(proto_obj),
                          proto, nullptr);
}

PyMethodDef init_def = {
    "__init__", TW_FASTCALL(pickler_init), TW_FASTCALL_FLAGS,
    "Pickler(file, protocol=None, fix_imports=True, buffer_callback=None, "
    "*, failure_reducer=None, special_cases=None)\n\n"
    "The C pickler's constructor, plus the failure reducer and the "
    "special-cases\npredicate (see the module docstring)."};
PyMethodDef dump_def = {
    "dump", TW_FASTCALL(pickler_dump), TW_FASTCALL_FLAGS,
    "dump(obj)\n\nWrites the pickle of obj to the file; an object that "
    "fails to pickle is\nwritten as failure_reducer(obj) in its place."};

// ------------------------------------------------------------------ module

// placeholders_cut(): how many placeholders a bound of the failure
// reducer's walk has cut short in this process.
PyObject *placeholders_cut(PyObject *, PyObject *)
{
    return PyLong_FromSsize_t(placeholders_cut_total);
}

PyMethodDef placeholders_cut_def = {
    "placeholders_cut", placeholders_cut, METH_NOARGS,
    "placeholders_cut()\n\nHow many placeholders the bounds of the failure "
    "reducer's walk\n(depth, attributes per dump) have cut short so far."};

// *out = getattr(import_module(module), name): a new reference. 0 or -1.
int load(const char *module, const char *name, PyObject **out)
{
    tw::Ref m = tw::Ref::steal(PyImport_ImportModule(module));
    if (!m)
        return -1;
    *out = PyObject_GetAttrString(m.get(), name);
    return *out == nullptr ? -1 : 0;
}

// Binds a function of this module as an instance method named after it.
int add_method(PyObject *module, PyMethodDef *def, const char *as)
{
    tw::Ref f = tw::module_function(module, def);
    if (!f)
        return -1;
    tw::Ref m = tw::Ref::steal(PyInstanceMethod_New(f.get()));
    if (!m)
        return -1;
    return PyObject_SetAttrString(module, as, m.get());
}

int exec_module(PyObject *module)
{
    ModState *ms = mod_state(module);
    if (load("_pickle", "PicklingError", &ms->pickling_error) < 0 ||
        load("_pickle", "Pickler", &ms->pickler_type) < 0 ||
        load("copyreg", "dispatch_table", &ms->copyreg_dispatch) < 0 ||
        load("pickle", "whichmodule", &ms->whichmodule) < 0 ||
        load("pickle", "DEFAULT_PROTOCOL", &ms->default_protocol) < 0 ||
        load("pickle", "HIGHEST_PROTOCOL", &ms->highest_protocol) < 0 ||
        load("tarnwick_collector.exceptions",
             "ProblematicPickleException", &ms->problematic) < 0 ||
        load("builtins", "__import__", &ms->builtin_import) < 0)
        return -1;
    if (!PyType_Check(ms->pickler_type)) {
        PyErr_SetString(PyExc_TypeError, "_pickle.Pickler is not a class");
        return -1;
    }
    ms->pickler_dump = PyObject_GetAttrString(ms->pickler_type, "dump");
    if (ms->pickler_dump == nullptr)
        return -1;
    // dispatch_table is read in place while it is the C pickler's plain
    // object slot (see read_dispatch_table).
    PyObject *member = PyDict_GetItemWithError(
        reinterpret_cast<PyTypeObject *>(ms->pickler_type)->tp_dict,
        TW_STR("dispatch_table"));
    if (member == nullptr && PyErr_Occurred())
        return -1;
    if (member != nullptr && Py_IS_TYPE(member, &PyMemberDescr_Type)) {
        const PyMemberDef *m =
            reinterpret_cast<PyMemberDescrObject *>(member)->d_member;
        if (m->type == T_OBJECT_EX && m->flags == 0)
            ms->dispatch_member = Py_NewRef(member);
    }
    ms->state_type = PyType_FromSpec(&state_spec);
    if (ms->state_type == nullptr)
        return -1;
    ms->writer_type = PyType_FromSpec(&Writer_spec);
    ms->stand_in_type = PyType_FromSpec(&StandIn_spec);
    ms->clear_memo = PyObject_GetAttrString(ms->pickler_type, "clear_memo");
    if (ms->writer_type == nullptr || ms->stand_in_type == nullptr ||
        ms->clear_memo == nullptr)
        return -1;
    // Absent before 3.10: every Python-level pickling method then counts
    // as the program's.
    if (load("sys", "stdlib_module_names", &ms->stdlib_names) < 0)
        PyErr_Clear();
    static const tw::TarnCurrentWalk walk_entry = current_walk_entry;
    tw::Ref walk_capsule = tw::Ref::steal(PyCapsule_New(
        const_cast<void *>(reinterpret_cast<const void *>(&walk_entry)),
        TW_TARN_CURRENT_WALK_CAPSULE, nullptr));
    if (!walk_capsule ||
        PyObject_SetAttrString(module, "_current_walk", walk_capsule.get()) < 0)
        return -1;
    tw::Ref cut_fn = tw::module_function(module, &placeholders_cut_def);
    if (!cut_fn ||
        PyObject_SetAttrString(module, "placeholders_cut", cut_fn.get()) < 0)
        return -1;
    if (add_method(module, &init_def, "pickler_init") < 0 ||
        add_method(module, &dump_def, "pickler_dump") < 0)
        return -1;
    static const tw::TarnDumpPrepared entry = dump_prepared;
    tw::Ref capsule = tw::Ref::steal(PyCapsule_New(
        const_cast<void *>(reinterpret_cast<const void *>(&entry)),
        TW_TARN_DUMP_PREPARED_CAPSULE, nullptr));
    if (!capsule ||
        PyObject_SetAttrString(module, "_dump_prepared", capsule.get()) < 0)
        return -1;
    return 0;
}

int traverse_module(PyObject *module, visitproc visit, void *arg)
{
    ModState *ms = mod_state(module);
    if (ms == nullptr)
        return 0;
    Py_VISIT(ms->pickler_dump);
    Py_VISIT(ms->pickling_error);
    Py_VISIT(ms->copyreg_dispatch);
    Py_VISIT(ms->whichmodule);
    Py_VISIT(ms->problematic);
    Py_VISIT(ms->state_type);
    Py_VISIT(ms->highest_protocol);
    Py_VISIT(ms->default_protocol);
    Py_VISIT(ms->pickler_type);
    Py_VISIT(ms->dispatch_member);
    Py_VISIT(ms->spare_hook);
    Py_VISIT(ms->builtin_import);
    Py_VISIT(ms->stdlib_names);
    Py_VISIT(ms->clear_memo);
    Py_VISIT(ms->writer_type);
    Py_VISIT(ms->stand_in_type);
    return 0;
}

int clear_module(PyObject *module)
{
    ModState *ms = mod_state(module);
    if (ms == nullptr)
        return 0;
    Py_CLEAR(ms->pickler_dump);
    Py_CLEAR(ms->pickling_error);
    Py_CLEAR(ms->copyreg_dispatch);
    Py_CLEAR(ms->whichmodule);
    Py_CLEAR(ms->problematic);
    Py_CLEAR(ms->state_type);
    Py_CLEAR(ms->highest_protocol);
    Py_CLEAR(ms->default_protocol);
    Py_CLEAR(ms->pickler_type);
    Py_CLEAR(ms->dispatch_member);
    Py_CLEAR(ms->spare_hook);
    Py_CLEAR(ms->builtin_import);
    Py_CLEAR(ms->stdlib_names);
    Py_CLEAR(ms->clear_memo);
    Py_CLEAR(ms->writer_type);
    Py_CLEAR(ms->stand_in_type);
    return 0;
}

}  // namespace

TW_MODULE_STATE(_tarn_pickle,
                "Native per-object hook of "
                "tarnwick_collector.data_serialization.tarn_pickle.",
                nullptr, exec_module, ModState, traverse_module, clear_module)
