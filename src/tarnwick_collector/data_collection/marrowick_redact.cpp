// The recording core's side of redaction.
//
// Argument names. The positional arguments of a recorded call are matched
// by the names of the recorded function's parameters. Those names are read
// once per code object (reading them builds a tuple on recent interpreters)
// and kept as the positions that match, for as long as the patterns stay
// the same; a function whose parameters match nothing costs a map lookup
// per call. Keyword arguments arrive as a dict, whose keys the pickler
// matches.
//
// Environment reads. The core sees the callable of an external call and
// its result, not its arguments. A call of os.getenv or of os.environ.get
// (and their bytes twins) is noted when it starts; its result is stored as
// the marker when a variable whose name matches holds exactly that value.
#include "marrowick_redact.hpp"

#include "tw/redact.hpp"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace marrowick_redact {

using tw::Ref;

namespace {

tw::redact::Matcher matcher;  // names only: no walk here

// tarnwick_common.redaction's marker and functions, and the environment
// readers of os (strong, for the life of the process).
struct Vocabulary {
    PyObject *marker = nullptr;
    PyObject *remember = nullptr;
    PyObject *environment_secret = nullptr;
    PyObject *getenv = nullptr;
    PyObject *getenvb = nullptr;  // NULL where os has none
    PyObject *environ = nullptr;
    PyObject *environb = nullptr;  // NULL where os has none
};
Vocabulary vocabulary;

int load_vocabulary()
{
    if (vocabulary.marker != nullptr)
        return 0;
    Ref module =
        Ref::steal(PyImport_ImportModule("tarnwick_common.redaction"));
    Ref os = module ? Ref::steal(PyImport_ImportModule("os")) : nullptr;
    if (!os)
        return -1;
    Ref marker = tw::getattr(module.get(), TW_STR("REDACTED"));
    Ref remember = tw::getattr(module.get(), TW_STR("remember"));
    Ref secret = tw::getattr(module.get(), TW_STR("environment_secret"));
    Ref getenv = tw::getattr(os.get(), TW_STR("getenv"));
    Ref environ = tw::getattr(os.get(), TW_STR("environ"));
    if (!marker || !remember || !secret || !getenv || !environ)
        return -1;
    Ref getenvb = tw::getattr(os.get(), TW_STR("getenvb"));
    Ref environb =
        getenvb ? tw::getattr(os.get(), TW_STR("environb")) : nullptr;
    PyErr_Clear();
    vocabulary.remember = remember.release();
    vocabulary.environment_secret = secret.release();
    vocabulary.getenv = getenv.release();
    vocabulary.environ = environ.release();
    vocabulary.getenvb = getenvb.release();
    vocabulary.environb = environb.release();
    vocabulary.marker = marker.release();
    return 0;
}

// Positions of the matching parameters, by code object (both strong keys:
// a code object stays alive while it is a key).
std::unordered_map<PyObject *, std::vector<Py_ssize_t>> positions;

void forget_positions()
{
    for (auto &kv : positions)
        Py_DECREF(kv.first);
    positions.clear();
}

// The matching positional parameters of `code`; NULL with an exception.
const std::vector<Py_ssize_t> *matching_parameters(PyObject *code)
{
    auto it = positions.find(code);
    if (it != positions.end())
        return &it->second;
    auto *co = reinterpret_cast<PyCodeObject *>(code);
    Ref names = tw::getattr(code, TW_STR("co_varnames"));
    if (!names)
        return nullptr;
    std::vector<Py_ssize_t> found;
    if (PyTuple_Check(names.get())) {
        const Py_ssize_t n = std::min<Py_ssize_t>(
            co->co_argcount, PyTuple_GET_SIZE(names.get()));
        for (Py_ssize_t i = 0; i < n; i++)
            if (matcher.matches(PyTuple_GET_ITEM(names.get(), i)))
                found.push_back(i);
    }
    Py_INCREF(code);
    return &positions.emplace(code, std::move(found)).first->second;
}

// Readers of the environment: bound methods of os.environ (or environb)
// that return the value of one variable.
bool environ_method(PyObject *call)
{
    if (!PyMethod_Check(call))
        return false;
    PyObject *self = PyMethod_GET_SELF(call);
    if (self != vocabulary.environ &&
        (vocabulary.environb == nullptr || self != vocabulary.environb))
        return false;
    PyObject *func = PyMethod_GET_FUNCTION(call);
    if (!PyFunction_Check(func))
        return false;
    PyObject *name = reinterpret_cast<PyFunctionObject *>(func)->func_name;
    if (name == nullptr || !PyUnicode_Check(name))
        return false;
    for (const char *reader : {"get", "__getitem__", "pop", "setdefault"})
        if (PyUnicode_CompareWithASCIIString(name, reader) == 0)
            return true;
    return false;
}

// Records of started environment reads (borrowed, compared by identity
// only); bounded, since a record whose end is never reported stays.
std::unordered_set<PyObject *> env_reads;
constexpr size_t kEnvReadsMax = 4096;

}  // namespace

int refresh(PyObject *patterns)
{
    const int r = matcher.update(patterns);
    if (r < 0)
        return -1;
    if (r > 0)
        forget_positions();
    return matcher.on() ? load_vocabulary() : 0;
}

bool on()
{
    return matcher.on() && vocabulary.marker != nullptr;
}

Ref positional(PyObject *function, Py_ssize_t skipped, PyObject *call_args)
{
    if (!on() || !PyTuple_CheckExact(call_args))
        return Ref::borrow(call_args);
    PyObject *fn = function;
    if (PyMethod_Check(fn))
        fn = PyMethod_GET_FUNCTION(fn);
    if (!PyFunction_Check(fn))
        return Ref::borrow(call_args);
    const std::vector<Py_ssize_t> *known =
        matching_parameters(PyFunction_GET_CODE(fn));
    if (known == nullptr)
        return nullptr;
    if (known->empty())
        return Ref::borrow(call_args);
    // A copy: remember() below may let another thread change the map.
    const std::vector<Py_ssize_t> found = *known;
    const Py_ssize_t n = PyTuple_GET_SIZE(call_args);
    Ref copy;
    for (Py_ssize_t i : found) {
        const Py_ssize_t at = i - skipped;
        if (at < 0 || at >= n || PyTuple_GET_ITEM(call_args, at) == Py_None)
            continue;
        if (!tw::redact::copy_tuple_once(copy, call_args))
            return nullptr;
        Ref held = Ref::borrow(PyTuple_GET_ITEM(call_args, at));
        Ref r =
            Ref::steal(PyObject_CallOneArg(vocabulary.remember, held.get()));
        if (!r)
            return nullptr;
        tw::redact::replace_tuple_item(copy.get(), at,
                                       Py_NewRef(vocabulary.marker));
    }
    return copy ? std::move(copy) : Ref::borrow(call_args);
}

int note_external_call(PyObject *call, PyObject *record)
{
    if (!on() || record == Py_None)
        return 0;
    const bool reads =
        call == vocabulary.getenv ||
        (vocabulary.getenvb != nullptr && call == vocabulary.getenvb) ||
        environ_method(call);
    if (!reads)
        return 0;
    if (env_reads.size() >= kEnvReadsMax)
        env_reads.clear();
    env_reads.insert(record);
    return 0;
}

Ref external_result(PyObject *record, PyObject *value)
{
    if (env_reads.empty())
        return Ref::borrow(value);
    auto it = env_reads.find(record);
    if (it == env_reads.end())
        return Ref::borrow(value);
    env_reads.erase(it);
    if (!on() || !(PyUnicode_Check(value) || PyBytes_Check(value)))
        return Ref::borrow(value);
    Ref settings = Ref::steal(PyImport_ImportModule(
        "tarnwick_collector.configs.collector_settings"));
    Ref cls = settings
                  ? tw::getattr(settings.get(), TW_STR("CollectorSettings"))
                  : nullptr;
    Ref current =
        cls ? tw::getattr(cls.get(), TW_STR("redact_patterns")) : nullptr;
    if (!current)
        return nullptr;
    PyObject *argv[] = {value, current.get()};
    Ref secret = Ref::steal(
        PyObject_Vectorcall(vocabulary.environment_secret, argv, 2, nullptr));
    if (!secret)
        return nullptr;
    int t = PyObject_IsTrue(secret.get());
    if (t < 0)
        return nullptr;
    if (!t)
        return Ref::borrow(value);
    Ref r = Ref::steal(PyObject_CallOneArg(vocabulary.remember, value));
    if (!r)
        return nullptr;
    return Ref::borrow(vocabulary.marker);
}

}  // namespace marrowick_redact
