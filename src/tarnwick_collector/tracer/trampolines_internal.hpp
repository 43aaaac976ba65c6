// Declarations shared by the source files of the _trampolines module; the
// design is described at the top of _trampolines.cpp, which also says which
// file holds what.
#pragma once

#include "tw.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tw_trampolines {

// ------------------------------------- state (trampolines_state.cpp)

// How a recorded function is offered to the core, fixed when its `def` is
// instrumented.
enum Kind : int {
    KIND_FUNCTION = 0,     // the function itself with all its arguments
    KIND_CLASSMETHOD = 1,  // bound to its first argument (the class)
    KIND_INIT = 2,         // the instance's class when it is being created
    KIND_COROUTINE = 3,    // offered, never kept open (the core refuses it)
};

// The recording core's entry points, each with the core's attribute it is
// read from: the one list that set_core, clear_core and the Core struct
// are made from.
#define TW_CORE_ENTRIES(X)                                                    \
    X(user_call, "record_user_function_call")                                 \
    X(user_return, "record_user_function_return_value")                       \
    X(external_call, "record_external_call")                                  \
    X(external_return, "record_external_return_value")                        \
    X(load_global, "load_global_hook")                                        \
    X(load_attr, "load_attr_hook")

// The core's entry points for generator calls: a core without all three
// is not offered generator calls.
#define TW_CORE_GENERATOR_ENTRIES(X)                                          \
    X(gen_yield, "record_generator_yield")                                    \
    X(gen_resume, "record_generator_resume")                                  \
    X(gen_return, "record_generator_return_value")

// The core and its entry points, all strong or all NULL (the generator
// entries strong or NULL each). Raw pointers: the struct is a global, which
// outlives the interpreter (an owner would release its references after the
// interpreter is gone).
struct Core {
    PyObject *object;
#define TW_CORE_FIELD(field, attr) PyObject *field;
    TW_CORE_ENTRIES(TW_CORE_FIELD)
    TW_CORE_GENERATOR_ENTRIES(TW_CORE_FIELD)
#undef TW_CORE_FIELD
};

extern Core core;

inline bool core_takes_generators()
{
    return core.gen_yield != nullptr && core.gen_resume != nullptr &&
           core.gen_return != nullptr;
}
extern bool enabled;
extern double sampling_rate;
// Threads whose stack of recorded calls is not empty: lets the hooks skip
// the thread-local lookup altogether while nothing is recorded anywhere.
extern Py_ssize_t active_threads;
extern PyObject *project_files;    // strong: set of source paths, or NULL
extern PyObject *project_modules;  // strong: set of module names, or NULL
extern unsigned long long contained_failures;
extern PyTypeObject *method_wrapper_type;  // strong
extern PyTypeObject *partial_type;         // strong: functools.partial
// Threads running the body of an instrumented module (once per nesting).
// While one is, other threads start no recording: the core's pickler may
// import that module, and waiting for a module that is being initialized by
// a thread that itself waits (say, joins the current thread) never ends.
extern std::vector<unsigned long> importers;

// One recorded call in progress: the frame of the recorded function, the
// core's record for it and the value its last `return` produced. For a
// generator call also: a weak reference to the generator (dead once the
// generator is being collected: its call was abandoned), and whether it was
// resumed by close() (GeneratorExit thrown in at a yield).
struct Entry {
    tw::Ref frame;
    tw::Ref record;
    tw::Ref retval;
    // The instance an initializer run by calling its class builds: what
    // the class call returns, and so the call's value when it ends well.
    tw::Ref built;
    tw::Ref gen;  // weak reference, or empty
    bool generator = false;
    bool closing = false;
};

struct ThreadState {
    std::vector<Entry> stack;
    int in_core = 0;
    bool offer = false;  // set by the gate, taken by the slot that follows
    std::uint64_t rng = 0;
    // The value of a `yield` between gsus(value), which keeps it, and the
    // gval() that yields it (trampolines_generators.cpp).
    tw::Ref yielded;

    ThreadState() = default;
    ThreadState(const ThreadState &) = delete;
    ThreadState &operator=(const ThreadState &) = delete;
    // Runs when the thread ends, without the GIL (and for the main thread
    // possibly after the interpreter is gone): entries still open then are
    // abandoned, their references kept, never released.
    ~ThreadState()
    {
        for (Entry &e : stack) {
            (void)e.frame.release();
            (void)e.record.release();
            (void)e.retval.release();
            (void)e.built.release();
            (void)e.gen.release();
        }
        (void)yielded.release();
    }
};

// Defined here, inline, so that every file reaches it as directly as the
// file defining it would (the gate reads it on every call of an
// instrumented function).
inline thread_local ThreadState tstate;

// Before 3.10 a RecursionError leaves the thread "overflowed" until its
// stack is well below the limit again: meanwhile the interpreter raises no
// RecursionError and aborts the process 50 calls past the limit. One that
// the recorder meets and contains must not leave that state to the program
// (whose recursion would then run into the abort instead of its
// RecursionError): the guard gives the thread back the state it found.
class KeepRecursionState {
  public:
#if PY_VERSION_HEX < 0x030A0000
    KeepRecursionState() : overflowed_(PyThreadState_Get()->overflowed) {}
    ~KeepRecursionState()
    {
        if (tw::may_release())
            PyThreadState_Get()->overflowed = overflowed_;
    }
#else
    KeepRecursionState() = default;
#endif
    KeepRecursionState(const KeepRecursionState &) = delete;
    KeepRecursionState &operator=(const KeepRecursionState &) = delete;

  private:
#if PY_VERSION_HEX < 0x030A0000
    char overflowed_;
#endif
};

// Marks the thread as running the core for the guard's lifetime.
class InCore {
  public:
    InCore() { tstate.in_core++; }
    ~InCore() { tstate.in_core--; }
    InCore(const InCore &) = delete;
    InCore &operator=(const InCore &) = delete;

  private:
    KeepRecursionState keep_;
};

// True when instrumented operations on this thread must be reported: a
// recorded call is active and the core itself is not running.
inline bool hooks_active()
{
    if (active_threads == 0)
        return false;
    ThreadState &t = tstate;
    return !t.stack.empty() && t.in_core == 0;
}

// Calls the recorder leaves out by design, counted by kind while recording
// is on, and handed to the package when recording stops (take_left_out).
enum LeftOut {
    LEFT_OUT_LAMBDA,
    LEFT_OUT_ASYNC_GENERATOR,
    LEFT_OUT_WRAPPER,
    LEFT_OUT_KINDS
};
inline constexpr const char *LEFT_OUT_NAMES[LEFT_OUT_KINDS] = {
    "lambda", "async generator", "decorator wrapper"};
extern unsigned long long left_out_calls[LEFT_OUT_KINDS];

int contain_failure();
extern unsigned long long lost_at_recursion_limit;
extern unsigned long long lost_otherwise;
extern PyObject *loss_reporter;
void forget_losses_in_child();
int contain_lost_call();
int flush_lost_calls();
bool other_thread_importing();
PyObject *core_call(PyObject *entry, PyObject *const *argv, size_t n);
int core_notify(PyObject *entry, PyObject *const *argv, size_t n);
bool sampled();
int push_entry(PyObject *frame, PyObject *record, PyObject *built = nullptr);
int push_whole_entry(Entry &&e);
Entry *entry_of_current_frame();
Entry pop_entry();
int end_user_call(PyObject *record, PyObject *retval);

// Calls the core's end-of-call entry `fn` with `argv`; a failure is
// contained as a lost call and whatever the core leaves pending is
// cleared. 0, or -1 with an exception that must reach the program.
int end_at_core(PyObject *fn, PyObject **argv, size_t n);

// --------------------------------- proxies (trampolines_proxies.cpp)

PyObject *wrap_callee(PyObject *callee);
PyObject *new_attr_proxy(PyObject *obj, int method);
PyObject *new_with_proxy(PyObject *mgr);
// Creates the proxy types. 0, or -1 with an exception set.
int add_proxy_types(PyObject *m);

// ---------------- trampolines and gates (trampolines_callables.cpp)

PyObject *new_trampoline(const char *name, vectorcallfunc fn,
                         PyObject *target = nullptr);
PyObject *tr_adapter(PyObject *self, PyObject *const *args, size_t nargsf,
                     PyObject *kwnames);
// Creates the Trampoline and Gate types and adds the trampolines and the
// gates to the module. 0, or -1 with an exception set.
int add_callables(PyObject *m);

// -------------------------- generators (trampolines_generators.cpp)

// Ends the recorded generator call `e` at the core, the exception that
// ended it (if any) pending. 0, or -1 with an exception that must reach the
// program.
int end_generator_call(Entry &e, bool raised);
// Recorded generator calls suspended at a yield now (their entries held).
extern Py_ssize_t suspended_generator_calls;
// Adds the generator trampolines (gsus, gfrom, gval, gres) and the Hold
// type to the module. 0, or -1 with an exception set.
int add_generator_callables(PyObject *m);

// --------------------------------------------- Slot (trampolines_slot.cpp)

// Creates the Slot type and adds it to the module. 0, or -1 with an
// exception set.
int add_slot_type(PyObject *m);
// Whether `obj` is a Slot.
bool is_slot(PyObject *obj);
// The source the code of a Slot's def was bound with (see bind_code):
// set, and read (borrowed, or NULL).
void slot_set_source(PyObject *slot, PyObject *source);
PyObject *slot_source(PyObject *slot);
// cached_slots(slot_args, fixed), the module function documented in
// _trampolines.cpp.
PyObject *mod_cached_slots(PyObject *mod, PyObject *const *args,
                           Py_ssize_t nargs, PyObject *kwnames);

// ----------------------------- binding (trampolines_binding.cpp)

// bind_code(code, plan, objects, source, in_place) and code_source(code),
// the module functions documented in _trampolines.cpp.
PyObject *mod_bind_code(PyObject *mod, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames);
PyObject *mod_code_source(PyObject *mod, PyObject *code);

// ------------------------------------------- module (_trampolines.cpp)

PyTypeObject *make_type(PyObject *module, const char *name, int basicsize,
                        unsigned long flags, PyType_Slot *slots,
                        Py_ssize_t vc_offset);

}  // namespace tw_trampolines
