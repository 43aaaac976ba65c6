// The module body of _tarn_pickle: the methods it gives
// tarn_pickle.Pickler (__init__, dump), the entry point other modules call
// through a capsule, and the module's state. The design of the per-object
// hook is described at the top of tarn_pickle_hook.cpp. The module is built
// from these files, with the declarations they share in
// tarn_pickle_internal.hpp:
//
//   * tarn_pickle_hook.cpp: the hook the C pickler asks about every object,
//     and the state of one dump;
//   * tarn_pickle_reduce.cpp: the reduction the C pickler would compute and
//     the checks of a reduce value;
//   * tarn_pickle_failure.cpp: what replaces an object that failed, within
//     the bounds of the failure reducer's walk;
//   * tarn_pickle_buffers.cpp: the dump made again without the pickle
//     buffers the C pickler cannot write;
//   * this file: Pickler's methods and the module.
#include "tarn_pickle_internal.hpp"

#include <structmember.h>

namespace tw_tarn_pickle {

// ------------------------------------------------------- Pickler's methods

// Pickler.__init__(self, file, protocol=None, fix_imports=True,
// buffer_callback=None, *, failure_reducer=None, special_cases=None)
static PyObject *pickler_init(PyObject *module, PyObject *const *args,
                              Py_ssize_t nargs, PyObject *kwnames)
{
    static const tw::Param params[] = {{"self"},
                                       {"file"},
                                       tw::opt("protocol"),
                                       tw::opt("fix_imports"),
                                       tw::opt("buffer_callback"),
                                       tw::opt("failure_reducer"),
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
    if (tw::parse("Pickler.__init__", params, names, args, nargs, kwnames, a) <
        0)
        return nullptr;
    ModState *ms = mod_state(module);
    PyObject *self = a[0];
    PyObject *protocol = a[2] != nullptr ? a[2] : Py_None;
    // The C pickler writes to the file through a Writer, which tells a
    // dump whether the file has been given bytes (see scrub()). A file
    // without write is handed on as it is, for the C pickler's own error.
    tw::Ref file_write;
    if (tw::optional_attr(a[1], TW_STR("write"), file_write) < 0)
        return nullptr;
    tw::Ref writer;
    if (file_write) {
        writer = tw::Ref::steal(PyType_GenericAlloc(
            reinterpret_cast<PyTypeObject *>(ms->writer_type), 0));
        if (!writer)
            return nullptr;
        reinterpret_cast<Writer *>(writer.get())->write = file_write.release();
    }
    tw::Ref base_args = tw::tuple(writer ? writer.get() : a[1], protocol);
    if (!base_args)
        return nullptr;
    tw::Ref base_kwargs;
    if (a[3] != nullptr || a[4] != nullptr) {
        base_kwargs = tw::Ref::steal(PyDict_New());
        if (!base_kwargs ||
            (a[3] != nullptr &&
             PyDict_SetItemString(base_kwargs.get(), "fix_imports", a[3]) <
                 0) ||
            (a[4] != nullptr &&
             PyDict_SetItemString(base_kwargs.get(), "buffer_callback", a[4]) <
                 0))
            return nullptr;
    }
    PyTypeObject *base = reinterpret_cast<PyTypeObject *>(ms->pickler_type);
    if (base->tp_init(self, base_args.get(), base_kwargs.get()) < 0)
        return nullptr;

    // The protocol as the C pickler resolved it (it has checked it).
    tw::Ref resolved;
    if (protocol == Py_None) {
        resolved = tw::Ref::borrow(ms->default_protocol);
    } else {
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
static PyObject *attr_or_none(PyObject *obj, PyObject *name)
{
    tw::Ref v;
    if (tw::optional_attr(obj, name, v) < 0)
        return nullptr;
    return v ? v.release() : Py_NewRef(Py_None);
}

// Whether attribute reads on `obj` are the generic ones.
static bool generic_getattr(PyObject *obj)
{
    return Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr;
}

// getattr(pickler, name, None), where `dict` is the pickler's __dict__ (or
// NULL). When reads are generic and the class has nothing of that name,
// which is the case for the attributes __init__ sets, that is the entry of
// the __dict__, read there. New reference.
static PyObject *instance_attr_or_none(PyObject *pickler, PyObject *dict,
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

// getattr(pickler, "dispatch_table") as tw::optional_attr answers it. While
// the name is the C pickler's own member (a data descriptor, so the __dict__
// does not count), its slot is read in place.
static int read_dispatch_table(ModState *ms, PyObject *pickler, tw::Ref &out)
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
        out = tw::Ref::borrow(v);
        return v != nullptr ? 1 : 0;
    }
    return tw::optional_attr(pickler, name, out);
}

// The subclass's reducer_override as the pickler would read it, when its
// __dict__ has none: 0 and `user` empty when it has none; 1 with `user`
// set, *unbound telling whether it is a function to call with the
// pickler; -1 on an error. A plain function or instance method of the
// class is taken as it stands, not bound first.
static int read_user_override(PyObject *pickler, PyObject *key, tw::Ref &user,
                              int *unbound)
{
    *unbound = 0;
    user.reset();
    if (generic_getattr(pickler)) {
        PyObject *d = _PyType_Lookup(Py_TYPE(pickler), key);
        if (d == nullptr)
            return 0;
        if (PyInstanceMethod_Check(d) || PyFunction_Check(d)) {
            user = tw::Ref::borrow(PyInstanceMethod_Check(d)
                                       ? PyInstanceMethod_GET_FUNCTION(d)
                                       : d);
            *unbound = 1;
            return 1;
        }
    }
    const int r = tw::optional_attr(pickler, key, user);
    if (r <= 0)
        return r;
    PyObject *u = user.get();
    if (PyMethod_Check(u) && PyMethod_GET_SELF(u) == pickler) {
        user = tw::Ref::borrow(PyMethod_GET_FUNCTION(u));
        *unbound = 1;
    }
    return 1;
}

// A hook with a DumpState of its own, ready to be filled: the one kept
// from an earlier dump when nothing else refers to it, else a new one.
// New reference.
static PyObject *take_hook(ModState *ms)
{
    tw::Ref fn = tw::Ref::steal(ms->spare_hook);
    ms->spare_hook = nullptr;
    if (fn && Py_REFCNT(fn.get()) == 1 &&
        Py_REFCNT(PyCFunction_GET_SELF(fn.get())) == 1)
        return fn.release();
    fn.reset();
    tw::Ref state_obj = tw::Ref::steal(PyType_GenericAlloc(
        reinterpret_cast<PyTypeObject *>(ms->state_type), 0));
    if (!state_obj)
        return nullptr;
    return PyCFunction_NewEx(&hook_def, state_obj.get(), nullptr);
}

// Keeps a hook whose dump has ended for the next dump, when nothing but
// `fn` (given up here) refers to it and its state.
static void give_back_hook(ModState *ms, tw::Ref fn)
{
    if (ms->spare_hook == nullptr && Py_REFCNT(fn.get()) == 1 &&
        Py_REFCNT(PyCFunction_GET_SELF(fn.get())) == 1)
        ms->spare_hook = fn.release();
}

// The protocol number of `protocol` (None: the default, which *protocol
// is then set to); -1 with an exception set when it is no int.
static long protocol_number(ModState *ms, tw::Ref &protocol)
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

// The dump with the hook installed, given what Pickler.dump read from the
// pickler (new references in the Refs; `special_cases` may be None;
// `protocol` is the int `proto`). `previous` is the pickler's own
// reducer_override entry, or NULL. New reference, or NULL with an
// exception set.
static PyObject *dump_with_hook(PyObject *module, PyObject *pickler,
                                PyObject *dict, PyObject *obj,
                                tw::Ref failure_reducer, tw::Ref special_cases,
                                tw::Ref protocol, long proto, tw::Ref previous)
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
    } else {
        if (read_user_override(pickler, key, user, &user_unbound) < 0)
            return nullptr;
    }
    tw::Ref dispatch;
    if (read_dispatch_table(ms, pickler, dispatch) < 0)
        return nullptr;
    if (!dispatch)
        dispatch = tw::Ref::borrow(ms->copyreg_dispatch);

    tw::Ref fn = tw::Ref::steal(take_hook(ms));
    if (!fn)
        return nullptr;
    DumpState *st =
        reinterpret_cast<DumpState *>(PyCFunction_GET_SELF(fn.get()));
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
    tw::Ref held_writer =
        tw::Ref::borrow(reinterpret_cast<PyObject *>(writer));
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
        give_back_hook(ms, std::move(fn));
    }
    return result.release();
}

// Pickler.dump(self, obj): runs the C pickler's dump with the hook
// installed as the pickler's reducer_override.
static PyObject *pickler_dump(PyObject *module, PyObject *const *args,
                              Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *pickler, *obj;
    if (kwnames == nullptr && nargs == 2) {
        pickler = args[0];
        obj = args[1];
    } else {
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
    tw::Ref failure_reducer = tw::Ref::steal(
        instance_attr_or_none(pickler, dict.get(), TW_STR("failure_reducer")));
    if (!failure_reducer)
        return nullptr;
    if (failure_reducer.get() == Py_None)
        return tw::call(ms->pickler_dump, pickler, obj).release();
    tw::Ref special_cases = tw::Ref::steal(
        instance_attr_or_none(pickler, dict.get(), TW_STR("special_cases")));
    tw::Ref protocol = tw::Ref::steal(
        instance_attr_or_none(pickler, dict.get(), TW_STR("_tarn_protocol")));
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
static PyObject *dump_prepared(PyObject *module, PyObject *pickler,
                               PyObject *dict, PyObject *obj,
                               PyObject *failure_reducer,
                               PyObject *special_cases, PyObject *protocol)
{
    tw::Ref proto_obj = tw::Ref::borrow(protocol);
    const long proto = protocol_number(mod_state(module), proto_obj);
    if (proto == -1 && PyErr_Occurred())
        return nullptr;
    return dump_with_hook(
        module, pickler, dict, obj, tw::Ref::borrow(failure_reducer),
        tw::Ref::borrow(special_cases), std::move(proto_obj), proto, nullptr);
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
static PyObject *placeholders_cut(PyObject *, PyObject *)
{
    return PyLong_FromSsize_t(placeholders_cut_total);
}

PyMethodDef placeholders_cut_def = {
    "placeholders_cut", placeholders_cut, METH_NOARGS,
    "placeholders_cut()\n\nHow many placeholders the bounds of the failure "
    "reducer's walk\n(depth, attributes per dump) have cut short so far."};

// *out = getattr(import_module(module), name): a new reference. 0 or -1.
static int load(const char *module, const char *name, PyObject **out)
{
    tw::Ref m = tw::Ref::steal(PyImport_ImportModule(module));
    if (!m)
        return -1;
    *out = PyObject_GetAttrString(m.get(), name);
    return *out == nullptr ? -1 : 0;
}

// Binds a function of this module as an instance method named after it.
static int add_method(PyObject *module, PyMethodDef *def, const char *as)
{
    tw::Ref f = tw::module_function(module, def);
    if (!f)
        return -1;
    tw::Ref m = tw::Ref::steal(PyInstanceMethod_New(f.get()));
    if (!m)
        return -1;
    return PyObject_SetAttrString(module, as, m.get());
}

static int exec_module(PyObject *module)
{
    ModState *ms = mod_state(module);
    if (load("_pickle", "PicklingError", &ms->pickling_error) < 0 ||
        load("_pickle", "Pickler", &ms->pickler_type) < 0 ||
        load("copyreg", "dispatch_table", &ms->copyreg_dispatch) < 0 ||
        load("pickle", "whichmodule", &ms->whichmodule) < 0 ||
        load("pickle", "DEFAULT_PROTOCOL", &ms->default_protocol) < 0 ||
        load("pickle", "HIGHEST_PROTOCOL", &ms->highest_protocol) < 0 ||
        load("tarnwick_collector.exceptions", "ProblematicPickleException",
             &ms->problematic) < 0 ||
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
    // The type of bound slot wrappers (None.__str__), which the
    // interpreter does not export.
    tw::Ref bound_slot = tw::getattr(Py_None, TW_STR("__str__"));
    if (!bound_slot)
        return -1;
    ms->method_wrapper_type =
        Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(bound_slot.get())));
    // sys.stdlib_module_names, or before 3.10 the same names found in the
    // interpreter's library directories. Without them every Python-level
    // pickling method counts as the program's.
    if (load("tarnwick_common.utils.stdlib_names", "STDLIB_MODULE_NAMES",
             &ms->stdlib_names) < 0)
        PyErr_Clear();
    static const tw::TarnCurrentWalk walk_entry = current_walk_entry;
    tw::Ref walk_capsule = tw::Ref::steal(PyCapsule_New(
        const_cast<void *>(reinterpret_cast<const void *>(&walk_entry)),
        TW_TARN_CURRENT_WALK_CAPSULE, nullptr));
    if (tw::set_global(module, "_current_walk", std::move(walk_capsule)) < 0)
        return -1;
    if (tw::set_global(module, "placeholders_cut",
                       tw::module_function(module, &placeholders_cut_def)) < 0)
        return -1;
    if (add_method(module, &init_def, "pickler_init") < 0 ||
        add_method(module, &dump_def, "pickler_dump") < 0)
        return -1;
    static const tw::TarnDumpPrepared entry = dump_prepared;
    tw::Ref capsule = tw::Ref::steal(PyCapsule_New(
        const_cast<void *>(reinterpret_cast<const void *>(&entry)),
        TW_TARN_DUMP_PREPARED_CAPSULE, nullptr));
    if (tw::set_global(module, "_dump_prepared", std::move(capsule)) < 0)
        return -1;
    return 0;
}

static int traverse_module(PyObject *module, visitproc visit, void *arg)
{
    ModState *ms = mod_state(module);
    if (ms == nullptr)
        return 0;
#define TW_TARN_PICKLE_VISIT(field) Py_VISIT(ms->field);
    TW_TARN_PICKLE_STATE(TW_TARN_PICKLE_VISIT)
#undef TW_TARN_PICKLE_VISIT
    return 0;
}

// Also the module's free function.
static int clear_module(PyObject *module)
{
    ModState *ms = mod_state(module);
    if (ms == nullptr)
        return 0;
#define TW_TARN_PICKLE_CLEAR(field) Py_CLEAR(ms->field);
    TW_TARN_PICKLE_STATE(TW_TARN_PICKLE_CLEAR)
#undef TW_TARN_PICKLE_CLEAR
    return 0;
}

}  // namespace tw_tarn_pickle

TW_MODULE_STATE(_tarn_pickle,
                "Native per-object hook of "
                "tarnwick_collector.data_serialization.tarn_pickle.",
                nullptr, tw_tarn_pickle::exec_module, tw_tarn_pickle::ModState,
                tw_tarn_pickle::traverse_module, tw_tarn_pickle::clear_module)
