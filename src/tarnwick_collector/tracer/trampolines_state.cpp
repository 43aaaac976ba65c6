// The recording state of the tracer: what the core is and whether calls
// are offered to it, the per-thread stack of recorded calls, the calls into
// the core and how their failures are kept from the program.
//
// Recorded calls are kept on a per-thread stack keyed by the frame that made
// them, so nothing is stored in the frame itself (its locals are untouched).
// Plain functions cannot suspend, so their entries nest strictly. A
// generator's entry is on the stack only while its body runs: at each yield
// it is taken off (kept by the suspended frame itself, see
// trampolines_generators.cpp) and put back when the body resumes, so the
// stack still nests. Async generators are never recorded; coroutine
// functions are offered to the core, which refuses them.
//
// Every call into the core is made with a per-thread flag set, so project
// code that the core runs (a __reduce__, a __repr__) is not recorded in turn.
// Failures of the core (exceptions derived from Exception) are dropped and
// counted; the program never sees them. KeyboardInterrupt and the other
// exceptions outside Exception still reach the program.
#include "trampolines_internal.hpp"

#include <ctime>

namespace tw_trampolines {

Core core = {};
bool enabled = false;
double sampling_rate = 1.0;
Py_ssize_t active_threads = 0;
PyObject *project_files = nullptr;
PyObject *project_modules = nullptr;
unsigned long long contained_failures = 0;
unsigned long long left_out_calls[LEFT_OUT_KINDS] = {};
PyTypeObject *method_wrapper_type = nullptr;
PyTypeObject *partial_type = nullptr;
std::vector<unsigned long> importers;

// Called after a core entry returned NULL. An ordinary failure (Exception
// or a subclass) is dropped and counted: 0. Anything else stays set for the
// program to see: -1.
int contain_failure()
{
    if (!PyErr_Occurred())
        return 0;
    bool containable;
    {
        [[maybe_unused]] KeepRecursionState
            keep;  // the test runs Python code (signal's)
        containable = tw::containable();
    }
    if (containable) {
        PyErr_Clear();
        contained_failures++;
        return 0;
    }
    return -1;
}

// Calls that were offered to the core and lost to a failure the core could
// not report itself (its metric could not be built where the call was:
// near the recursion limit, mostly). They are counted here, by reason, and
// handed to the loss reporter one by one at the next chance: when a later
// call is offered, and when recording stops.
unsigned long long lost_at_recursion_limit = 0;
unsigned long long lost_otherwise = 0;
PyObject *loss_reporter = nullptr;  // reporter(reason): sends one metric
// A thread is handing losses over (the reporter may let other threads run
// meanwhile).
static bool flushing = false;

// A forked child reports its own losses; the parent's are the parent's.
void forget_losses_in_child()
{
    lost_at_recursion_limit = 0;
    lost_otherwise = 0;
    for (unsigned long long &n : left_out_calls)
        n = 0;
    flushing = false;
}

// contain_failure() for a core entry whose failure loses the call; the loss
// is counted. 0, or -1 with an exception that must reach the program.
int contain_lost_call()
{
    if (!PyErr_Occurred())
        return 0;
    const bool recursion = PyErr_ExceptionMatches(PyExc_RecursionError);
    if (contain_failure() < 0)
        return -1;
    if (recursion)
        lost_at_recursion_limit++;
    else
        lost_otherwise++;
    return 0;
}

// Hands the counted losses to the loss reporter, one call each. One that
// meets the recursion limit again stays counted for the next chance; one
// that fails otherwise is dropped (and counted as a contained failure).
// 0, or -1 with an exception that must reach the program.
int flush_lost_calls()
{
    if (flushing)
        return 0;
    flushing = true;
    int result = 0;
    while (loss_reporter != nullptr &&
           (lost_at_recursion_limit != 0 || lost_otherwise != 0)) {
        const bool recursion = lost_at_recursion_limit != 0;
        PyObject *reason =
            recursion ? TW_STR("recursion_limit") : TW_STR("exception");
        tw::Ref reporter = tw::Ref::borrow(loss_reporter);
        tw::Ref r;
        {
            InCore guard;
            r = tw::Ref::steal(PyObject_CallOneArg(reporter.get(), reason));
        }
        if (!r) {
            if (PyErr_ExceptionMatches(PyExc_RecursionError)) {
                PyErr_Clear();
                break;
            }
            if (contain_failure() < 0) {
                result = -1;
                break;
            }
        }
        r.reset();
        unsigned long long &count =
            recursion ? lost_at_recursion_limit : lost_otherwise;
        if (count != 0)
            count--;
    }
    flushing = false;
    return result;
}

bool other_thread_importing()
{
    if (importers.empty())
        return false;
    const unsigned long me = PyThread_get_thread_ident();
    for (unsigned long t : importers)
        if (t != me)
            return true;
    return false;
}

// Calls a core entry with borrowed arguments while the thread is marked as
// running the core. New reference, or NULL with the core's exception set.
PyObject *core_call(PyObject *entry, PyObject *const *argv, size_t n)
{
    tw::Ref keep = tw::Ref::borrow(entry);  // set_core may run meanwhile
    InCore guard;
    return PyObject_Vectorcall(keep.get(), argv, n, nullptr);
}

// Calls a core entry whose result is not needed. 0, or -1 with an exception
// that must reach the program.
int core_notify(PyObject *entry, PyObject *const *argv, size_t n)
{
    tw::Ref r = tw::Ref::steal(core_call(entry, argv, n));
    if (!r)
        return contain_failure();
    return 0;
}

bool sampled()
{
    const double rate = sampling_rate;
    if (rate >= 1.0)
        return true;
    if (!(rate > 0.0))
        return false;
    ThreadState &t = tstate;
    if (t.rng == 0) {
        std::uint64_t seed =
            reinterpret_cast<std::uintptr_t>(&t) ^
            (static_cast<std::uint64_t>(std::time(nullptr)) << 20) ^
            static_cast<std::uint64_t>(std::clock());
        t.rng = seed ? seed : 0x9E3779B97F4A7C15ULL;
    }
    std::uint64_t x = t.rng;  // xorshift64*
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    t.rng = x;
    const std::uint64_t r = x * 2685821657736338717ULL;
    const double u = static_cast<double>(r >> 11) * (1.0 / 9007199254740992.0);
    return u < rate;
}

// Pushes an entry taken off the stack earlier (a generator's, resuming).
int push_whole_entry(Entry &&e)
{
    ThreadState &t = tstate;
    try {
        t.stack.push_back(std::move(e));
    } catch (...) {
        PyErr_NoMemory();
        return -1;
    }
    if (t.stack.size() == 1)
        active_threads++;
    return 0;
}

int push_entry(PyObject *frame, PyObject *record, PyObject *built)
{
    Entry e;
    e.frame = tw::Ref::borrow(frame);
    e.record = tw::Ref::borrow(record);
    e.retval = tw::Ref::borrow(Py_None);
    if (built != nullptr)
        e.built = tw::Ref::borrow(built);
    return push_whole_entry(std::move(e));
}

// The entry of the call that `frame` is running, if it is the innermost
// one; borrowed, or NULL.
Entry *entry_of_current_frame()
{
    if (active_threads == 0)
        return nullptr;
    ThreadState &t = tstate;
    if (t.stack.empty())
        return nullptr;
    PyObject *frame = reinterpret_cast<PyObject *>(PyEval_GetFrame());
    if (frame == nullptr || t.stack.back().frame.get() != frame)
        return nullptr;
    return &t.stack.back();
}

// Removes the innermost entry and hands it to the caller.
Entry pop_entry()
{
    ThreadState &t = tstate;
    Entry e = std::move(t.stack.back());
    t.stack.pop_back();
    if (t.stack.empty())
        active_threads--;
    return e;
}

// Ends a recorded call at the core: record_user_function_return_value(
// retval, record), with the exception to record, if any, pending. Whatever
// the core leaves pending is cleared. 0, or -1 with an exception that must
// reach the program.
int end_user_call(PyObject *record, PyObject *retval)
{
    if (core.user_return == nullptr) {
        PyErr_Clear();
        return 0;
    }
    PyObject *argv[2] = {retval, record};
    return end_at_core(core.user_return, argv, 2);
}

int end_at_core(PyObject *fn, PyObject **argv, size_t n)
{
    tw::Ref r = tw::Ref::steal(core_call(fn, argv, n));
    if (!r)
        return contain_lost_call();
    r.reset();
    if (PyErr_Occurred())
        PyErr_Clear();
    return 0;
}

}  // namespace tw_trampolines
