// pellory: the records of the recording core.
//
// FunctionMetadata and its two specialisations describe a called function;
// FunctionCall, ExternalFunctionCall and UserFunctionCall describe one call
// of it. All six are plain classes (metaclass `type`) whose whole state is in
// the instance __dict__, so a finished record pickles with the standard
// pickler as a reference to its class plus its attribute dict, and the
// receiving side only has to import this module.
//
// Every value a record keeps in serialized form goes through
// `CollectorSettings.serializer.serialize(value, object_wrapper=False)`, with
// `CollectorSettings` read from this module's globals at each use so the
// package (or a test) can swap the settings or the serializer at any time.
#include "tw.hpp"

#include <cstring>
#include <unordered_map>

namespace {

using tw::Kind;
using tw::Param;
using tw::Ref;

// The classes of the module that constructors need at call time: the
// defining class of each constructor that continues with super().__init__
// (what a class body's __class__ cell would hold), and the two base classes
// with the __init__ entries of their namespaces, for the direct path of
// super_init. Strong references, owned by the module.
// The module state's fields (strong references, or NULL), listed once for
// the struct, traverse and clear.
#define TW_PELLORY_STATE(X)                                                   \
    X(function_metadata)                                                      \
    X(function_metadata_init)                                                 \
    X(external_function_metadata)                                             \
    X(user_function_metadata)                                                 \
    X(function_call)                                                          \
    X(function_call_init)                                                     \
    X(external_function_call)                                                 \
    X(user_function_call)

struct State {
#define TW_PELLORY_FIELD(field) PyObject *field;
    TW_PELLORY_STATE(TW_PELLORY_FIELD)
#undef TW_PELLORY_FIELD
};

State *state_of(PyObject *module)
{
    return static_cast<State *>(PyModule_GetState(module));
}

// self.<name> = value through the ordinary attribute protocol; `name` is an
// interned string (NULL only if interning failed). 0 or -1.
int set(PyObject *self, PyObject *name, PyObject *value)
{
    if (name == nullptr)
        return -1;
    return PyObject_SetAttr(self, name, value);
}

bool own_serializer(PyObject *serializer);

// The serialized forms of an empty dict and an empty tuple (most keyword
// arguments, globals and argument lists of a call: three of a record's
// values, often), as the package's own serializer last made them; they
// depend on nothing else. The references live with the process.
struct Empties {
    PyObject *serializer = nullptr;  // strong: what made the forms
    PyObject *dict = nullptr, *tuple = nullptr;
};
Empties empties;

// The serialized form of `value`:
// CollectorSettings.serializer.serialize(value, object_wrapper=False), every
// name looked up now. New reference.
Ref serialize(PyObject *module, PyObject *value)
{
    Ref serializer = tw::global_attr(module, TW_STR("CollectorSettings"),
                                     TW_STR("serializer"));
    if (!serializer)
        return nullptr;
    PyObject **kept = nullptr;
    if (PyDict_CheckExact(value) && PyDict_GET_SIZE(value) == 0)
        kept = &empties.dict;
    else if (PyTuple_CheckExact(value) && PyTuple_GET_SIZE(value) == 0)
        kept = &empties.tuple;
    if (kept != nullptr) {
        if (serializer.get() == empties.serializer && *kept != nullptr)
            return Ref::borrow(*kept);
        if (!own_serializer(serializer.get()))
            kept = nullptr;
    }
    PyObject *kwnames = TW_NAMES("object_wrapper");
    PyObject *name = TW_STR("serialize");
    if (kwnames == nullptr || name == nullptr)
        return nullptr;
    PyObject *argv[] = {serializer.get(), value, Py_False};
    Ref form = Ref::steal(PyObject_VectorcallMethod(
        name, argv, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    if (kept != nullptr && form && PyBytes_CheckExact(form.get())) {
        if (empties.serializer != serializer.get()) {
            Py_CLEAR(empties.dict);
            Py_CLEAR(empties.tuple);
            Py_XSETREF(empties.serializer, Py_NewRef(serializer.get()));
        }
        Py_XSETREF(*kept, Py_NewRef(form.get()));
    }
    return form;
}

// self.<name> = serialize(value). 0 or -1.
int set_serialized(PyObject *module, PyObject *self, PyObject *name,
                   PyObject *value)
{
    Ref s = serialize(module, value);
    if (!s)
        return -1;
    return set(self, name, s.get());
}

// Turns a status into a method result: None (new reference) or NULL.
PyObject *done(int status)
{
    if (status < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// super(cls, self).__init__(*args), discarding the result. 0 or -1.
//
// A record is nearly always an instance of exactly its class, whose MRO is
// (cls, base, object); when base.__dict__['__init__'] is still this module's
// own initializer `base_init`, super() would call `impl`, so it is called
// directly, sparing the super object and the bound method on every record.
// Anything else (subclasses, a replaced initializer, reassigned bases) goes
// through super() itself.
template <typename... A>
int super_init(PyObject *module, PyObject *cls, PyObject *base,
               PyObject *base_init, tw::FastcallKw impl, PyObject *self,
               A... args)
{
    PyObject *init = TW_STR("__init__");
    if (init == nullptr)
        return -1;
    if (cls == nullptr || base == nullptr) {
        // Only after the module state was cleared by a collection at exit.
        PyErr_SetString(PyExc_RuntimeError, "pellory module state is cleared");
        return -1;
    }
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(cls);
    PyObject *mro = type->tp_mro;
    if (Py_TYPE(self) == type && mro != nullptr && PyTuple_GET_SIZE(mro) > 1 &&
        PyTuple_GET_ITEM(mro, 1) == base) {
        PyObject *dict = reinterpret_cast<PyTypeObject *>(base)->tp_dict;
        PyObject *found = PyDict_GetItemWithError(dict, init);
        if (found == nullptr && PyErr_Occurred())
            return -1;
        if (found != nullptr && found == base_init) {
            PyObject *argv[] = {self, static_cast<PyObject *>(args)...};
            Ref r = Ref::steal(impl(module, argv, 1 + sizeof...(A), nullptr));
            return r ? 0 : -1;
        }
    }
    Ref r = tw::call_super(cls, self, init, args...);
    return r ? 0 : -1;
}

// ------------------------------------------------------------ metadata

PyObject *function_metadata_init(PyObject *, PyObject *const *args,
                                 Py_ssize_t nargs, PyObject *kwnames)
{
    static const Param params[] = {
        {"self"}, {"module_name", Kind::Str}, {"full_name", Kind::Str}};
    PyObject *a[3];
    if (tw::parse("FunctionMetadata.__init__", params, args, nargs, kwnames,
                  a) < 0)
        return nullptr;
    PyObject *self = a[0];
    if (set(self, TW_STR("module_name"), a[1]) < 0 ||
        set(self, TW_STR("full_name"), a[2]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *external_function_metadata_init(PyObject *module,
                                          PyObject *const *args,
                                          Py_ssize_t nargs, PyObject *kwnames)
{
    static const Param params[] = {{"self"},
                                   {"module_name", Kind::Str},
                                   {"full_name", Kind::Str},
                                   {"is_builtin"},
                                   {"is_function_for_recording"}};
    PyObject *a[5];
    if (tw::parse("ExternalFunctionMetadata.__init__", params, args, nargs,
                  kwnames, a) < 0)
        return nullptr;
    PyObject *self = a[0];
    if (set(self, TW_STR("is_builtin"), a[3]) < 0 ||
        set(self, TW_STR("is_function_for_recording"), a[4]) < 0)
        return nullptr;
    State *st = state_of(module);
    return done(super_init(module, st->external_function_metadata,
                           st->function_metadata, st->function_metadata_init,
                           function_metadata_init, self, a[1], a[2]));
}

PyObject *user_function_metadata_init(PyObject *module, PyObject *const *args,
                                      Py_ssize_t nargs, PyObject *kwnames)
{
    static const Param params[] = {{"self"},
                                   {"module_name", Kind::Str},
                                   {"full_name", Kind::Str},
                                   {"code_hash", Kind::Str},
                                   {"full_path", Kind::Str},
                                   {"co_names"},
                                   {"function_signature"},
                                   tw::opt("is_async")};
    PyObject *a[8];
    if (tw::parse("UserFunctionMetadata.__init__", params, args, nargs,
                  kwnames, a) < 0)
        return nullptr;
    PyObject *self = a[0];
    PyObject *is_async = a[7] != nullptr ? a[7] : Py_False;
    if (set(self, TW_STR("code_hash"), a[3]) < 0 ||
        set(self, TW_STR("full_path"), a[4]) < 0 ||
        set(self, TW_STR("co_names"), a[5]) < 0 ||
        set(self, TW_STR("function_signature"), a[6]) < 0 ||
        set(self, TW_STR("is_async"), is_async) < 0)
        return nullptr;
    State *st = state_of(module);
    return done(super_init(module, st->user_function_metadata,
                           st->function_metadata, st->function_metadata_init,
                           function_metadata_init, self, a[1], a[2]));
}

// --------------------------------------------------------- call records

// The parameters shared by FunctionCall and UserFunctionCall constructors.
const Param call_params[] = {{"self"},
                             {"function_metadata"},
                             {"args", Kind::Tuple},
                             {"kwargs", Kind::Dict},
                             {"globals", Kind::Dict}};

PyObject *function_call_init(PyObject *module, PyObject *const *args,
                             Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[5];
    if (tw::parse("FunctionCall.__init__", call_params, args, nargs, kwnames,
                  a) < 0)
        return nullptr;
    PyObject *self = a[0];
    // The live argument objects stay on the record until the call ends (the
    // post-run view); the snapshot taken here is the pre-run view.
    if (set(self, TW_STR("function_metadata"), a[1]) < 0 ||
        set(self, TW_STR("post_run_args"), a[2]) < 0 ||
        set(self, TW_STR("post_run_kwargs"), a[3]) < 0 ||
        set_serialized(module, self, TW_STR("pre_run_args"), a[2]) < 0 ||
        set_serialized(module, self, TW_STR("pre_run_kwargs"), a[3]) < 0 ||
        set(self, TW_STR("globals"), a[4]) < 0 ||
        set(self, TW_STR("return_value"), Py_None) < 0 ||
        set(self, TW_STR("execption"), Py_None) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *function_call_add_return_value(PyObject *module,
                                         PyObject *const *args,
                                         Py_ssize_t nargs, PyObject *kwnames)
{
    static const Param params[] = {{"self"}, {"return_value"}};
    PyObject *a[2];
    if (tw::parse("FunctionCall.add_return_value", params, args, nargs,
                  kwnames, a) < 0)
        return nullptr;
    return done(set_serialized(module, a[0], TW_STR("return_value"), a[1]));
}

PyObject *function_call_add_execption(PyObject *module, PyObject *const *args,
                                      Py_ssize_t nargs, PyObject *kwnames)
{
    static const Param params[] = {{"self"}, {"exception"}};
    PyObject *a[2];
    if (tw::parse("FunctionCall.add_execption", params, args, nargs, kwnames,
                  a) < 0)
        return nullptr;
    return done(set_serialized(module, a[0], TW_STR("execption"), a[1]));
}

// Replaces the live argument objects by their serialized form as the
// recorded function left them. Not idempotent: the recording core calls it
// once, just before the record is sent.
PyObject *function_call_serialize_post_run(PyObject *module,
                                           PyObject *const *args,
                                           Py_ssize_t nargs, PyObject *kwnames)
{
    static const Param params[] = {{"self"}};
    PyObject *a[1];
    if (tw::parse("FunctionCall.serialize_post_run_args_and_kwargs", params,
                  args, nargs, kwnames, a) < 0)
        return nullptr;
    PyObject *self = a[0];
    PyObject *names[] = {TW_STR("post_run_args"), TW_STR("post_run_kwargs")};
    for (PyObject *name : names) {
        Ref live = tw::getattr(self, name);
        if (!live || set_serialized(module, self, name, live.get()) < 0)
            return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *external_function_call_init(PyObject *module, PyObject *const *args,
                                      Py_ssize_t nargs, PyObject *kwnames)
{
    static const Param params[] = {{"self"}, {"function_metadata"}};
    PyObject *a[2];
    if (tw::parse("ExternalFunctionCall.__init__", params, args, nargs,
                  kwnames, a) < 0)
        return nullptr;
    // The arguments of an external call are not recorded.
    State *st = state_of(module);
    return done(super_init(module, st->external_function_call,
                           st->function_call, st->function_call_init,
                           function_call_init, a[0], a[1], Py_None, Py_None,
                           Py_None));
}

// ---------------------------------------------- serialized signatures
//
// A recorded function's signature (an inspect.FullArgSpec) is asked for at
// every call and is the same object as long as the function is unchanged;
// its serialized form is then the same bytes, when nothing in it can
// change or be redacted: no annotations, defaults of None, bools, ints and
// floats only (a str default could be a remembered secret, a list could
// be mutated). Kept per signature object, for the package's own serializer
// and the redaction patterns it was made under; other serializers (a
// test's, say) are called every time.

struct Signatures {
    PyObject *serializer = nullptr;  // strong: what the forms were made by
    PyObject *patterns = nullptr;    // strong: the patterns then in force
    std::unordered_map<PyObject *, PyObject *> forms;  // strong both
};
Signatures signatures;
constexpr size_t kSignaturesKept = 4096;

void forget_signatures()
{
    for (auto &entry : signatures.forms) {
        Py_DECREF(entry.first);
        Py_DECREF(entry.second);
    }
    signatures.forms.clear();
    Py_CLEAR(signatures.serializer);
    Py_CLEAR(signatures.patterns);
}

bool plain_default(PyObject *v)
{
    return v == Py_None || PyBool_Check(v) || PyLong_CheckExact(v) ||
           PyFloat_CheckExact(v);
}

bool names(PyObject *v)
{
    if (!PyList_CheckExact(v))
        return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); i++)
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(v, i)))
            return false;
    return true;
}

bool cacheable_signature(PyObject *sig)
{
    // FullArgSpec(args, varargs, varkw, defaults, kwonlyargs,
    // kwonlydefaults, annotations).
    if (!PyTuple_Check(sig) || PyTuple_CheckExact(sig) ||
        PyTuple_GET_SIZE(sig) != 7 ||
        std::strcmp(Py_TYPE(sig)->tp_name, "FullArgSpec") != 0)
        return false;
    PyObject *defaults = PyTuple_GET_ITEM(sig, 3);
    PyObject *kwdefaults = PyTuple_GET_ITEM(sig, 5);
    PyObject *annotations = PyTuple_GET_ITEM(sig, 6);
    if (!names(PyTuple_GET_ITEM(sig, 0)) || !names(PyTuple_GET_ITEM(sig, 4)))
        return false;
    for (int i : {1, 2}) {
        PyObject *v = PyTuple_GET_ITEM(sig, i);
        if (v != Py_None && !PyUnicode_CheckExact(v))
            return false;
    }
    if (defaults != Py_None) {
        if (!PyTuple_CheckExact(defaults))
            return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(defaults); i++)
            if (!plain_default(PyTuple_GET_ITEM(defaults, i)))
                return false;
    }
    if (kwdefaults != Py_None) {
        if (!PyDict_CheckExact(kwdefaults))
            return false;
        Py_ssize_t pos = 0;
        PyObject *k;
        PyObject *v;
        while (PyDict_Next(kwdefaults, &pos, &k, &v))
            if (!plain_default(v))
                return false;
    }
    return PyDict_CheckExact(annotations) && PyDict_GET_SIZE(annotations) == 0;
}

// Whether `serializer` is the package's own, as built.
bool own_serializer(PyObject *serializer)
{
    PyTypeObject *tp = Py_TYPE(serializer);
    if (std::strcmp(tp->tp_name, "IpcPickleSerializer") != 0 ||
        tp->tp_dict == nullptr)
        return false;
    PyObject *module =
        PyDict_GetItemWithError(tp->tp_dict, TW_STR("__module__"));
    if (module == nullptr) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(module) &&
           PyUnicode_CompareWithASCIIString(
               module, "tarnwick_collector.data_serialization.quessel") == 0;
}

// self.function_signature = serialize(signature) on the metadata record,
// from the forms kept when it can be. 0 or -1.
int set_signature(PyObject *module, PyObject *metadata, PyObject *signature)
{
    PyObject *name = TW_STR("function_signature");
    if (!cacheable_signature(signature))
        return set_serialized(module, metadata, name, signature);
    Ref settings = tw::global(module, TW_STR("CollectorSettings"));
    if (!settings)
        return -1;
    Ref serializer = tw::getattr(settings.get(), TW_STR("serializer"));
    if (!serializer)
        return -1;
    Ref patterns = tw::getattr(settings.get(), TW_STR("redact_patterns"));
    if (!patterns) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        patterns = Ref::borrow(Py_None);
    }
    if (!own_serializer(serializer.get()))
        return set_serialized(module, metadata, name, signature);
    if (signatures.serializer != serializer.get() ||
        signatures.patterns != patterns.get()) {
        forget_signatures();
        signatures.serializer = Py_NewRef(serializer.get());
        signatures.patterns = Py_NewRef(patterns.get());
    }
    auto it = signatures.forms.find(signature);
    if (it != signatures.forms.end())
        return set(metadata, name, it->second);
    Ref form = serialize(module, signature);
    if (!form)
        return -1;
    if (signatures.forms.size() >= kSignaturesKept)
        forget_signatures();
    if (signatures.serializer != nullptr && PyBytes_CheckExact(form.get()))
        signatures.forms.emplace(Py_NewRef(signature), Py_NewRef(form.get()));
    return set(metadata, name, form.get());
}

PyObject *user_function_call_init(PyObject *module, PyObject *const *args,
                                  Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *a[5];
    if (tw::parse("UserFunctionCall.__init__", call_params, args, nargs,
                  kwnames, a) < 0)
        return nullptr;
    PyObject *self = a[0];
    Ref external_calls = Ref::steal(PyList_New(0));
    if (!external_calls ||
        set(self, TW_STR("external_calls"), external_calls.get()) < 0)
        return nullptr;
    Ref awaited = Ref::steal(PyList_New(0));
    if (!awaited || set(self, TW_STR("awaited_functions"), awaited.get()) < 0)
        return nullptr;
    State *st = state_of(module);
    if (super_init(module, st->user_function_call, st->function_call,
                   st->function_call_init, function_call_init, self, a[1],
                   a[2], a[3], a[4]) < 0)
        return nullptr;
    // The signature travels in serialized form; it is replaced on the
    // metadata record itself, which the extractor shares between calls.
    Ref metadata = tw::getattr(self, TW_STR("function_metadata"));
    if (!metadata)
        return nullptr;
    Ref signature = tw::getattr(metadata.get(), TW_STR("function_signature"));
    if (!signature)
        return nullptr;
    return done(set_signature(module, metadata.get(), signature.get()));
}

// ------------------------------------------------------------ methods

PyMethodDef function_metadata_init_def = {
    "__init__", TW_FASTCALL(function_metadata_init), TW_FASTCALL_FLAGS,
    "__init__(self, module_name, full_name)\n--\n\n"
    ":param module_name: name of the module the function comes from\n"
    ":type module_name: str\n"
    ":param full_name: the function's full (qualified) name\n"
    ":type full_name: str"};

PyMethodDef external_function_metadata_init_def = {
    "__init__", TW_FASTCALL(external_function_metadata_init),
    TW_FASTCALL_FLAGS,
    "__init__(self, module_name, full_name, is_builtin, "
    "is_function_for_recording)\n--\n\n"
    ":param module_name: name of the module the callable comes from\n"
    ":type module_name: str\n"
    ":param full_name: the callable's full (qualified) name\n"
    ":type full_name: str\n"
    ":param is_builtin: whether the callable is a built-in\n"
    ":type is_builtin: bool\n"
    ":param is_function_for_recording: whether calls of the callable are\n"
    "    recorded as external calls\n"
    ":type is_function_for_recording: bool"};

PyMethodDef user_function_metadata_init_def = {
    "__init__", TW_FASTCALL(user_function_metadata_init), TW_FASTCALL_FLAGS,
    "__init__(self, module_name, full_name, code_hash, full_path, co_names, "
    "function_signature, is_async=False)\n--\n\n"
    ":param module_name: name of the module the function comes from\n"
    ":type module_name: str\n"
    ":param full_name: the function's full (qualified) name\n"
    ":type full_name: str\n"
    ":param code_hash: MD5 of the function code\n"
    ":type code_hash: str\n"
    ":param full_path: location of the function's source file\n"
    ":type full_path: str\n"
    ":param co_names: the names used by the function's code object\n"
    ":type co_names: Tuple[str]\n"
    ":param function_signature: the function's parameters as inspect gives "
    "them\n"
    ":type function_signature: Optional[inspect.FullArgSpec]\n"
    ":param is_async: whether the function is a coroutine function\n"
    ":type is_async: bool"};

PyMethodDef function_call_init_def = {
    "__init__", TW_FASTCALL(function_call_init), TW_FASTCALL_FLAGS,
    "__init__(self, function_metadata, args, kwargs, globals)\n--\n\n"
    "Keeps the live arguments and a serialized snapshot of them.\n\n"
    ":param function_metadata: the metadata record of the called function\n"
    ":type function_metadata: FunctionMetadata\n"
    ":param args: the positional arguments of the call\n"
    ":type args: tuple\n"
    ":param kwargs: the keyword arguments of the call\n"
    ":type kwargs: dict\n"
    ":param globals: the globals used by the call\n"
    ":type globals: dict"};

PyMethodDef function_call_add_return_value_def = {
    "add_return_value", TW_FASTCALL(function_call_add_return_value),
    TW_FASTCALL_FLAGS,
    "add_return_value(self, return_value)\n--\n\n"
    "Stores the serialized return value of the call.\n\n"
    ":param return_value: what the call returned\n"
    ":type return_value: Any"};

PyMethodDef function_call_add_execption_def = {
    "add_execption", TW_FASTCALL(function_call_add_execption),
    TW_FASTCALL_FLAGS,
    "add_execption(self, exception)\n--\n\n"
    "Stores the serialized exception the call ended with.\n\n"
    ":param exception: the exception, or what stands for none\n"
    ":type exception: Union[type, object]"};

PyMethodDef function_call_serialize_post_run_def = {
    "serialize_post_run_args_and_kwargs",
    TW_FASTCALL(function_call_serialize_post_run), TW_FASTCALL_FLAGS,
    "serialize_post_run_args_and_kwargs(self)\n--\n\n"
    "Replaces the live arguments by their serialized post-run form."};

PyMethodDef external_function_call_init_def = {
    "__init__", TW_FASTCALL(external_function_call_init), TW_FASTCALL_FLAGS,
    "__init__(self, function_metadata)\n--\n\n"
    ":param function_metadata: the metadata record of the called callable\n"
    ":type function_metadata: FunctionMetadata"};

PyMethodDef user_function_call_init_def = {
    "__init__", TW_FASTCALL(user_function_call_init), TW_FASTCALL_FLAGS,
    "__init__(self, function_metadata, args, kwargs, globals)\n--\n\n"
    "Builds the record and serializes the function's signature on its\n"
    "metadata record.\n\n"
    ":param function_metadata: the metadata record of the called function\n"
    ":type function_metadata: UserFunctionMetadata\n"
    ":param args: the positional arguments of the call\n"
    ":type args: tuple\n"
    ":param kwargs: the keyword arguments of the call\n"
    ":type kwargs: dict\n"
    ":param globals: the globals used by the call\n"
    ":type globals: dict"};

// ------------------------------------------------------------- module

// Builds a class, binds it on the module and returns it (new reference).
Ref make_class(tw::ClassBuilder &builder, const char *name, PyObject *base)
{
    Ref bases;
    if (base != nullptr) {
        bases = tw::tuple(base);
        if (!bases)
            return nullptr;
    }
    return builder.build(bases.get(), nullptr, name);
}

// Keeps a base class and the __init__ entry of its namespace in the module
// state (new references). 0 or -1.
int keep_base(PyObject *cls, PyObject **cls_slot, PyObject **init_slot)
{
    PyObject *dict = reinterpret_cast<PyTypeObject *>(cls)->tp_dict;
    PyObject *init = PyDict_GetItemWithError(dict, TW_STR("__init__"));
    if (init == nullptr) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "class built without __init__");
        return -1;
    }
    *cls_slot = Py_NewRef(cls);
    *init_slot = Py_NewRef(init);
    return 0;
}

// Builds a subclass of `base` whose one method is `init` and keeps it in
// the module state (new reference in `*slot`). 0 or -1.
int make_subclass(PyObject *m, const char *name, const char *doc,
                  PyMethodDef *init, PyObject *base, PyObject **slot)
{
    tw::ClassBuilder builder(m, name, doc);
    builder.method(init);
    Ref cls = make_class(builder, name, base);
    if (!cls)
        return -1;
    *slot = cls.release();
    return 0;
}

int exec_pellory(PyObject *m)
{
    State *st = state_of(m);
    if (st == nullptr)
        return -1;
    if (tw::import_module(m, "inspect") < 0)
        return -1;
    for (const char *name : {"Any", "List", "Optional", "Tuple", "Union"})
        if (tw::import_from(m, "typing", name) < 0)
            return -1;
    if (tw::import_from(m, "tarnwick_collector.configs.collector_settings",
                        "CollectorSettings") < 0)
        return -1;

    tw::ClassBuilder fm(m, "FunctionMetadata",
                        "\n    This object contains function metadata.\n    ");
    fm.method(&function_metadata_init_def);
    Ref function_metadata = make_class(fm, "FunctionMetadata", nullptr);
    if (!function_metadata ||
        keep_base(function_metadata.get(), &st->function_metadata,
                  &st->function_metadata_init) < 0)
        return -1;

    if (make_subclass(m, "ExternalFunctionMetadata",
                      "\n    This impelments FunctionMetadata specific to "
                      "an ExternalFunction.\n    ",
                      &external_function_metadata_init_def,
                      function_metadata.get(),
                      &st->external_function_metadata) < 0)
        return -1;

    if (make_subclass(m, "UserFunctionMetadata",
                      "\n    This impelments FunctionMetadata specific to "
                      "a UserFunction.\n    ",
                      &user_function_metadata_init_def,
                      function_metadata.get(),
                      &st->user_function_metadata) < 0)
        return -1;

    tw::ClassBuilder fc(m, "FunctionCall",
                        "\n    The record of one call of a function: its "
                        "metadata, its arguments\n    before and after the "
                        "call, and how the call ended.\n    ");
    fc.method(&function_call_init_def)
        .method(&function_call_add_return_value_def)
        .method(&function_call_add_execption_def)
        .method(&function_call_serialize_post_run_def);
    Ref function_call = make_class(fc, "FunctionCall", nullptr);
    if (!function_call || keep_base(function_call.get(), &st->function_call,
                                    &st->function_call_init) < 0)
        return -1;

    if (make_subclass(m, "ExternalFunctionCall",
                      "\n    The record of a call that a recorded "
                      "function makes to code outside\n    the project; "
                      "its arguments are not recorded.\n    ",
                      &external_function_call_init_def, function_call.get(),
                      &st->external_function_call) < 0)
        return -1;

    if (make_subclass(m, "UserFunctionCall",
                      "\n    The record of a call of a project function "
                      "chosen for recording,\n    with the external calls "
                      "it made.\n    ",
                      &user_function_call_init_def, function_call.get(),
                      &st->user_function_call) < 0)
        return -1;
    return 0;
}

int traverse_pellory(PyObject *m, visitproc visit, void *arg)
{
    State *st = state_of(m);
    if (st == nullptr)
        return 0;
#define TW_PELLORY_VISIT(field) Py_VISIT(st->field);
    TW_PELLORY_STATE(TW_PELLORY_VISIT)
#undef TW_PELLORY_VISIT
    return 0;
}

int clear_pellory(PyObject *m)
{
    State *st = state_of(m);
    if (st == nullptr)
        return 0;
#define TW_PELLORY_CLEAR(field) Py_CLEAR(st->field);
    TW_PELLORY_STATE(TW_PELLORY_CLEAR)
#undef TW_PELLORY_CLEAR
    return 0;
}

}  // namespace

// Module state holds the defining classes for super().
TW_MODULE_STATE(pellory, "Call records and function metadata records.",
                nullptr, exec_pellory, State, traverse_pellory, clear_pellory)
