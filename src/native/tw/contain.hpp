// What the recorder may absorb of a pending exception.
//
// The recorder contains its own failures: an exception derived from
// Exception raised inside it is dropped (and counted or reported), never
// seen by the program. One kind of exception raised inside the recorder is
// the program's, though: a signal handler the program installed with
// signal.signal runs in the main thread wherever that thread is when the
// signal is handled, recorder code included, and what the handler raises
// (a timeout, say) is meant for the program. Such an exception passes
// through the containment sites like an interrupt does.
#pragma once

#include "tw/error.hpp"
#include "tw/frame.hpp"
#include "tw/ref.hpp"

#include <signal.h>

namespace tw {

// The code object a signal handler runs (a function, a bound method, or a
// callable object's __call__), or NULL; borrowed.
inline PyObject *handler_code(PyObject *handler)
{
    if (PyMethod_Check(handler))
        handler = PyMethod_GET_FUNCTION(handler);
    if (PyFunction_Check(handler))
        return PyFunction_GET_CODE(handler);
    return nullptr;
}

// Whether a frame of the traceback `tb` could be a signal handler's: the
// interpreter calls a handler with two positional arguments, so its code
// takes at least two (or *args). Most failures the recorder meets are
// raised by one-argument hooks (__reduce__, __getstate__, __repr__) and
// need no look at the handlers.
inline bool may_hold_handler_frame(PyObject *tb)
{
    for (PyObject *t = tb; t != nullptr; t = traceback_next(t)) {
        PyCodeObject *code = traceback_code(t);
        if (code == nullptr)
            continue;
        const bool fits =
            code->co_argcount >= 2 || (code->co_flags & CO_VARARGS);
        Py_DECREF(code);
        if (fits)
            return true;
    }
    return false;
}

// Whether the pending exception was raised in a frame of one of the
// program's Python signal handlers. Looks the handlers up only when the
// exception has a traceback with a frame that could be a handler's and the
// signal module is loaded (no Python handler exists otherwise). The
// pending exception is kept.
inline bool raised_by_signal_handler()
{
    ErrorGuard keep;
    Ref traceback = keep.saved().traceback();
    PyObject *tb = traceback.get();
    bool found = false;
    if (tb != nullptr && PyTraceBack_Check(tb) && may_hold_handler_frame(tb)) {
        PyObject *signal_module = PyImport_GetModule(TW_STR("signal"));
        if (signal_module == nullptr) {
            PyErr_Clear();
        } else {
            Ref mod = Ref::steal(signal_module);
            Ref getsignal =
                Ref::steal(PyObject_GetAttrString(mod.get(), "getsignal"));
            if (!getsignal) {
                PyErr_Clear();
            } else {
                for (int sig = 1; sig < NSIG && !found; sig++) {
                    Ref number = Ref::steal(PyLong_FromLong(sig));
                    Ref handler =
                        number ? call(getsignal.get(), number.get()) : Ref();
                    if (!handler) {
                        PyErr_Clear();  // not a signal number here
                        continue;
                    }
                    PyObject *code = handler_code(handler.get());
                    if (code == nullptr)
                        continue;
                    for (PyObject *t = tb; t != nullptr && !found;
                         t = traceback_next(t)) {
                        PyCodeObject *fc = traceback_code(t);
                        found = reinterpret_cast<PyObject *>(fc) == code;
                        Py_XDECREF(fc);
                    }
                }
            }
        }
    }
    return found;
}

// Whether the pending exception is one the recorder absorbs: derived from
// Exception and not raised by a signal handler of the program.
inline bool containable()
{
    return PyErr_ExceptionMatches(PyExc_Exception) &&
           !raised_by_signal_handler();
}

}  // namespace tw
