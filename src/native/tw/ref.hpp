// Owning references, the error convention and small call helpers.
//
// Error convention used by every module: a function returning PyObject* or
// tw::Ref returns NULL (an empty Ref) with a Python exception set; one
// returning int returns -1 with an exception set and 0 (or a truth value)
// otherwise. No C++ exception is ever thrown. A plain PyObject* is a
// borrowed reference unless a comment says otherwise.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

#include "compat.hpp"

namespace tw {

// Whether this thread holds the interpreter and so may release references.
// While the interpreter ends, a daemon thread that takes the interpreter
// lock back is ended with pthread_exit, which unwinds its stack and so runs
// the destructors of the native frames on it: without the lock, while the
// main thread frees objects. Those destructors leave their references
// alone then (the process is ending). From 3.12 on, the thread's own state
// is a thread-local that is empty while the thread waits for the lock;
// before, only the lock's holder is known, and only once the interpreter
// ends (the flag that makes such a thread exit) is it compared with this
// thread's state.
inline bool may_release() noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyThreadState_UncheckedGet() != nullptr;
#else
    if (!_Py_IsFinalizing())
        return true;
    PyThreadState *holder = _PyThreadState_UncheckedGet();
    return holder != nullptr && holder == PyGILState_GetThisThreadState();
#endif
}

// Move-only owner of one strong reference (or of nothing).
class Ref {
  public:
    Ref() noexcept : p_(nullptr) {}
    Ref(std::nullptr_t) noexcept : p_(nullptr) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref &operator=(Ref &&o) noexcept
    {
        if (this != &o) {
            PyObject *old = p_;
            p_ = o.p_;
            o.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref()
    {
        if (p_ != nullptr && may_release())
            Py_DECREF(p_);
    }

    // Takes over a new reference (may be NULL).
    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    // Takes a new reference to a borrowed object (may be NULL).
    static Ref borrow(PyObject *p) noexcept
    {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject *get() const noexcept { return p_; }
    // Gives the reference to the caller (new reference).
    PyObject *release() noexcept
    {
        PyObject *p = p_;
        p_ = nullptr;
        return p;
    }
    // Gives a new reference to the caller and keeps its own.
    PyObject *new_ref() const noexcept
    {
        Py_XINCREF(p_);
        return p_;
    }
    void reset(PyObject *steal = nullptr) noexcept
    {
        PyObject *old = p_;
        p_ = steal;
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject *operator->() const noexcept { return p_; }

  private:
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    PyObject *p_;
};

// An interned string that lives for the whole process; borrowed. Use through
// TW_STR("name") so each call site creates its string once. When it cannot
// be created the call gives NULL with the exception set, and the next call
// tries again (so every NULL it gives comes with an exception).
#define TW_STR(literal)                                                       \
    ([]() -> PyObject * {                                                     \
        static PyObject *s_ = nullptr;                                        \
        if (s_ == nullptr)                                                    \
            s_ = PyUnicode_InternFromString(literal);                         \
        return s_;                                                            \
    }())

// New reference to None.
inline PyObject *none()
{
    Py_RETURN_NONE;
}

// None as an owned reference.
inline Ref none_ref()
{
    return Ref::borrow(Py_None);
}

// Calls `callable(*args)` with borrowed positional arguments; new reference.
template <typename... A> inline Ref call(PyObject *callable, A... args)
{
    PyObject *argv[] = {nullptr, static_cast<PyObject *>(args)...};
    return Ref::steal(PyObject_Vectorcall(
        callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET,
        nullptr));
}

// Calls `callable(*args, **kw)` where the last len(kwnames) of the borrowed
// `args` are the keyword values named by the tuple `kwnames` (vectorcall
// form; build `kwnames` once, e.g. with tw::names). New reference.
template <typename... A>
inline Ref call_kw(PyObject *callable, PyObject *kwnames, A... args)
{
    PyObject *argv[] = {nullptr, static_cast<PyObject *>(args)...};
    const size_t nkw =
        kwnames ? static_cast<size_t>(PyTuple_GET_SIZE(kwnames)) : 0;
    return Ref::steal(PyObject_Vectorcall(
        callable, argv + 1,
        (sizeof...(A) - nkw) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// Calls `obj.name(*args)`; `name` is an interned str (TW_STR); new reference.
template <typename... A>
inline Ref call_method(PyObject *obj, PyObject *name, A... args)
{
    if (name == nullptr)
        return nullptr;
    PyObject *argv[] = {obj, static_cast<PyObject *>(args)...};
    return Ref::steal(PyObject_VectorcallMethod(
        name, argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
        nullptr));
}

// getattr(obj, name) with an interned name; new reference.
inline Ref getattr(PyObject *obj, PyObject *name)
{
    if (name == nullptr)
        return nullptr;
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// obj.name = value with an interned name (a NULL name, its creation
// failed, fails); 0 or -1.
inline int setattr(PyObject *obj, PyObject *name, PyObject *value)
{
    if (name == nullptr)
        return -1;
    return PyObject_SetAttr(obj, name, value);
}

// Builds a tuple from borrowed items; new reference.
template <typename... A> inline Ref tuple(A... items)
{
    return Ref::steal(
        PyTuple_Pack(sizeof...(A), static_cast<PyObject *>(items)...));
}

// A process-lifetime tuple of interned names, for keyword calls; borrowed.
// Use as TW_NAMES("object_wrapper") at the call site. Like TW_STR, a
// failed creation gives NULL with the exception set and is tried again.
#define TW_NAMES(...)                                                         \
    ([]() -> PyObject * {                                                     \
        static PyObject *t_ = nullptr;                                        \
        if (t_ == nullptr)                                                    \
            t_ = []() -> PyObject * {                                         \
                const char *names[] = {__VA_ARGS__};                          \
                const Py_ssize_t n = sizeof(names) / sizeof(names[0]);        \
                PyObject *t = PyTuple_New(n);                                 \
                for (Py_ssize_t i = 0; t != nullptr && i < n; i++) {          \
                    PyObject *s = PyUnicode_InternFromString(names[i]);       \
                    if (s == nullptr) {                                       \
                        Py_CLEAR(t);                                          \
                        break;                                                \
                    }                                                         \
                    PyTuple_SET_ITEM(t, i, s);                                \
                }                                                             \
                return t;                                                     \
            }();                                                              \
        return t_;                                                            \
    }())

}  // namespace tw
