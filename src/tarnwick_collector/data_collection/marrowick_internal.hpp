// What the source files of marrowick share: the module state, the small
// helpers every part uses, and the functions one part calls in another.
//
// Module-level names are looked up in the module's namespace at each use,
// so rebinding one on the module takes effect for later calls. The aliases
// bound at import (EXTRACT_METADATA, Trindle_thread_id_to_current_call_get,
// Trindle_set_current_running_function, threading_get_ident) are fixed
// objects, but they too are read from the namespace at each use. Where a
// name still holds the object this module bound at import, the work is done
// directly in C++ (no Python-level call), with the same outcome.
#pragma once

#include "tw.hpp"

#include <cstdint>

namespace tw_marrowick {

using tw::Ref;

// ------------------------------------------------------------ module state

// The module functions, in definition order.
enum Fn {
    F_get_module_location,
    F_is_size_too_big,
    F_create_size_too_big_metric,
    F_should_skip_external_function,
    F_record_external_call,
    F_get_function_call_object,
    F_record_user_function_call,
    F_add_recorded_functions_to_caller_tracker,
    F_set_function_calls_count,
    F_get_function_calls_count,
    F_send_function_call_to_handler,
    F_filter_modules_and_function_from_globals,
    F_record_user_function_return_value,
    F_record_user_async_function_return_value,
    F_record_external_return_value,
    F_record_async_external_return_value,
    F_record_return_value_async,
    F_get_exc_value,
    F_load_attr_hook,
    F_load_global_hook,
    F_record_generator_yield,
    F_record_generator_resume,
    F_record_generator_return_value,
    F_COUNT
};

// The module state's single fields (strong references, or NULL), listed
// once for the struct, traverse and clear:
// - tid_map, tid_get: the per-thread map of Trindle as it was at import,
//   and the bound `get` of it that was bound as
//   Trindle_thread_id_to_current_call_get; NULL when the map is not exactly
//   a dict (then the alias is always called);
// - get_ident: threading.get_ident as bound at import, when it is the
//   interpreter's own _thread.get_ident (else NULL and the alias is always
//   called);
// - asizeof_fn: pympler's asizeof function as it was at import (the deep
//   estimate that can be skipped for small scalars).
#define TW_MARROWICK_STATE(X)                                                 \
    X(tid_map)                                                                \
    X(tid_get)                                                                \
    X(get_ident)                                                              \
    X(asizeof_fn)

struct State {
#define TW_MARROWICK_FIELD(field) PyObject *field;
    TW_MARROWICK_STATE(TW_MARROWICK_FIELD)
#undef TW_MARROWICK_FIELD
    // The module functions as this module created them.
    PyObject *fn[F_COUNT];
};

inline State *state(PyObject *m)
{
    return static_cast<State *>(PyModule_GetState(m));
}

// Module-level name `name` as a lookup now finds it (remembered at the
// call site while the namespace keeps its version tag); new reference.
#define G(name) TW_GLOBAL(m, name)

using tw::none_ref;
using tw::truth;

// Calls the module function bound under `name`: the C++ implementation
// `impl` when the name still holds this module's own function, the bound
// object otherwise. New reference.
template <typename Impl, typename... A>
Ref call_fn(PyObject *m, Fn idx, PyObject *name, Impl impl, A... args)
{
    Ref f = tw::global(m, name);
    if (!f)
        return nullptr;
    if (f.get() == state(m)->fn[idx])
        return impl(m, args...);
    return tw::call(f.get(), args...);
}

// ------------------------------------------------------ reusable int key
// (marrowick_support.cpp)

#if !defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000
#define MARROWICK_SCRATCH_KEY 1
#endif

#ifdef MARROWICK_SCRATCH_KEY
extern bool g_key_busy;

// The reusable key set to `value`; borrowed, or NULL (without an exception)
// when it cannot be used now.
PyObject *scratch_key(unsigned long long value);

// Marks the reusable key as in use for the duration of one lookup.
class ScratchLookup {
  public:
    ScratchLookup() { g_key_busy = true; }
    ~ScratchLookup() { g_key_busy = false; }
    ScratchLookup(const ScratchLookup &) = delete;
    ScratchLookup &operator=(const ScratchLookup &) = delete;
};
#endif

// ------------------------------------------------------------------ support
// (marrowick_support.cpp)

// `container.add(item)`, as the statement does it: 0, or -1.
int add_to(PyObject *container, PyObject *item);

// `obj[i]` as the subscription evaluates it (a mapping answers too); new
// reference.
Ref subscript(PyObject *obj, long i);

// `type(obj) == cls` as the expression evaluates it: 1, 0 or -1.
int type_equals(PyObject *obj, PyObject *cls);

// Gives the exception being raised now `context` as its __context__, as an
// exception raised inside an `except` clause gets the one being handled.
void chain_context(PyObject *context);

// `get_exc_value()` at a call site of an entry whose pending exception is
// held by `pending`. New reference.
Ref take_exc(PyObject *m, tw::SavedError &pending);

// `Trindle_thread_id_to_current_call_get(threading_get_ident(), None)`: the
// calling thread's current tracker, or None. New reference.
Ref current_tracker(PyObject *m);

// `Trindle_set_current_running_function(tracker)`; 0 or -1.
int set_current(PyObject *m, PyObject *tracker);

// `Trindle.set_current_running_function(None)`, through the class as it is
// bound now; 0 or -1.
int suspend_through_class(PyObject *m);

// The four identity values read from CollectorSettings now.
struct Identity {
    Ref v[4];
};

int identity(PyObject *m, Identity &id);

// `<cls_name>(<the four identity values>, *extra)`; new reference.
template <typename... A>
Ref make_metric(PyObject *m, PyObject *cls_name, A... extra)
{
    Ref cls = tw::global(m, cls_name);
    if (!cls)
        return nullptr;
    Identity id;
    if (identity(m, id) < 0)
        return nullptr;
    return tw::call(cls.get(), id.v[0].get(), id.v[1].get(), id.v[2].get(),
                    id.v[3].get(), extra...);
}

// The module function `record_user_function_return_value` (its native
// body when it is still the module's own), with `pending` the exception
// the call ended with, if any; new reference.
Ref forward_user_return(PyObject *m, PyObject *ret_val, PyObject *record,
                        PyObject *cur_exc, tw::SavedError &pending);

// `<cls_name>.<member>` of a module-level class; new reference.
Ref member(PyObject *m, PyObject *cls_name, PyObject *member_name);

// Sends one metric: serialized with the settings' serializer (one
// argument), then passed to the metrics channel. 0 or -1.
int send_metric(PyObject *m, PyObject *metric);

// Sends `<cls_name>(<the four identity values>[, extra1, extra2])` as
// send_metric does; its bytes are made once while the class, the identity,
// the extra values and the serializer stay the same objects. `which`: 0
// for CollectionTry, 1 for CollectionSuccess, 2 for the Unpicklable of a
// refused call (each place keeps one metric). 0 or -1.
int send_kept_metric(PyObject *m, PyObject *cls_name, int which,
                     PyObject *extra1 = nullptr, PyObject *extra2 = nullptr);

// `Unpicklable(<identity>, str(e).split("'")[<index_name>],
// UnpicklableReasons.<reason>)`; new reference.
Ref unpicklable_from(PyObject *m, PyObject *e, PyObject *index_name,
                     PyObject *reason);

Ref is_size_too_big_impl(PyObject *m, PyObject *obj);
Ref create_size_too_big_metric_impl(PyObject *m, PyObject *function_full_name,
                                    PyObject *name, PyObject *failure_place);
Ref get_module_location_impl(PyObject *m, PyObject *module_name);

// `is_size_too_big(value)`, through the module's function table, as a
// truth value: 1, 0, or -1 with an exception set.
inline int size_too_big(PyObject *m, PyObject *value)
{
    Ref big = call_fn(m, F_is_size_too_big, TW_STR("is_size_too_big"),
                      is_size_too_big_impl, value);
    return big ? truth(big.get()) : -1;
}

// ----------------------------------------------------------- external calls
// (marrowick_external.cpp)

Ref should_skip_external_function_impl(PyObject *m, PyObject *full_name,
                                       PyObject *module_name,
                                       PyObject *did_check);
Ref record_external_call_impl(PyObject *m, PyObject *call,
                              PyObject *did_check);
Ref record_external_return_value_impl(PyObject *m, PyObject *return_value,
                                      PyObject *func_obj, PyObject *cur_exc,
                                      tw::SavedError &pending);

// --------------------------------------------------------------- user calls
// (marrowick_user.cpp)

Ref get_function_call_object_impl(PyObject *m, PyObject *args,
                                  PyObject *kwargs);
Ref record_user_function_call_impl(PyObject *m, PyObject *args,
                                   PyObject *kwargs);
Ref send_function_call_to_handler_impl(PyObject *m, PyObject *record);
Ref add_recorded_functions_to_caller_tracker_impl(PyObject *m,
                                                  PyObject *flow_tracker);
Ref record_user_function_return_value_impl(PyObject *m, PyObject *ret_val,
                                           PyObject *record, PyObject *cur_exc,
                                           tw::SavedError &pending);

// ---------------------------------------------------------- generator calls
// (marrowick_generators.cpp)

Ref record_generator_yield_impl(PyObject *m, PyObject *value, PyObject *record,
                                PyObject *delegated);
Ref record_generator_resume_impl(PyObject *m, PyObject *record,
                                 PyObject *tracker, PyObject *sent,
                                 PyObject *thrown);
Ref record_generator_return_value_impl(PyObject *m, PyObject *ret_val,
                                       PyObject *record, PyObject *ending,
                                       PyObject *cur_exc,
                                       tw::SavedError &pending);
PyObject *py_record_generator_yield(TW_FASTCALL_ARGS(m));
PyObject *py_record_generator_resume(TW_FASTCALL_ARGS(m));
PyObject *py_record_generator_return_value(TW_FASTCALL_ARGS(m));

// --------------------------------------------------------------- name loads
// (marrowick_hooks.cpp)

// What the used-attributes collector keeps beside its map (imported when
// the module is built; NULL when that failed, then entries are plain sets
// and identities are followed without their types).
extern PyObject *g_used_names;      // the class UsedNames
extern PyObject *g_followed_types;  // id -> weak reference to the type
extern PyObject *g_enum_meta;       // enum.EnumMeta

Ref filter_modules_and_function_from_globals_impl(PyObject *m,
                                                  PyObject *function_globals,
                                                  PyObject *func_full_name);
PyObject *py_load_attr_hook(TW_FASTCALL_ARGS(m));
PyObject *py_load_global_hook(TW_FASTCALL_ARGS(m));

}  // namespace tw_marrowick
