// The pending exception, taken out of the thread state and put back.
//
// One type serves every module: `SavedError` holds an exception taken with
// fetch() (as it was pending, possibly not yet normalized before 3.12) or
// fetch_normalized() (as an `except` clause binds it: normalized, with its
// traceback attached), and either puts it back (restore), answers for it
// (matches, value, take_value) or drops it (clear, or on destruction).
// `ErrorGuard` is its scope-guard use: it saves on construction and makes
// the error indicator exactly what it was on destruction, so that cleanup
// code may call into the interpreter. From 3.12 on the exception is one
// object (PyErr_GetRaisedException); before, a (type, value, traceback)
// triple.
#pragma once

#include "tw/ref.hpp"

namespace tw {

class SavedError {
  public:
    SavedError() = default;
    SavedError(const SavedError &) = delete;
    SavedError &operator=(const SavedError &) = delete;
    ~SavedError()
    {
        if (t_ != nullptr && may_release())
            clear();
    }

    // Takes the pending exception as it is; the error indicator is cleared.
    void fetch()
    {
        clear();
#if PY_VERSION_HEX >= 0x030C0000
        v_ = PyErr_GetRaisedException();
        if (v_ != nullptr)
            t_ = Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(v_)));
#else
        PyErr_Fetch(&t_, &v_, &tb_);
#endif
    }
    // Takes the pending exception as an `except` clause binds it:
    // normalized, with its traceback attached to the value.
    void fetch_normalized()
    {
        fetch();
        normalize();
    }
    // Makes what is held as an `except` clause binds it: normalized, with
    // its traceback attached to the value (from 3.12 on, it always is).
    void normalize()
    {
#if PY_VERSION_HEX < 0x030C0000
        if (t_ == nullptr)
            return;
        PyErr_NormalizeException(&t_, &v_, &tb_);
        if (tb_ != nullptr && v_ != nullptr)
            PyException_SetTraceback(v_, tb_);
#endif
    }

    // Whether nothing is held.
    bool empty() const
    {
        return t_ == nullptr;
    }

    // Puts it back as the thread's pending exception (replacing any other)
    // and holds nothing more. When nothing is held, the error indicator is
    // left as it is.
    void restore()
    {
        if (t_ != nullptr)
            put_back();
    }
    // Makes the thread's error indicator exactly what was taken: the held
    // exception, or no exception at all when nothing is held.
    void put_back()
    {
#if PY_VERSION_HEX >= 0x030C0000
        Py_CLEAR(t_);
        PyErr_SetRaisedException(v_);
#else
        PyErr_Restore(t_, v_, tb_);
#endif
        t_ = v_ = tb_ = nullptr;
    }
    // Makes the held exception the thread's pending one and keeps holding
    // it too (for a callee that takes the pending exception away, after
    // which it is put back again); when nothing is held, the error
    // indicator is left as it is.
    void restore_copy() const
    {
        if (t_ == nullptr)
            return;
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(Py_XNewRef(v_));
#else
        PyErr_Restore(Py_NewRef(t_), Py_XNewRef(v_), Py_XNewRef(tb_));
#endif
    }
    // Drops what is held.
    void clear()
    {
        Py_CLEAR(t_);
        Py_CLEAR(v_);
        Py_CLEAR(tb_);
    }

    // `except cls`: whether the held exception's type matches `cls`.
    bool matches(PyObject *cls) const
    {
        return t_ != nullptr && PyErr_GivenExceptionMatches(t_, cls);
    }
    PyObject *type() const
    {
        return t_;
    }  // borrowed, or NULL
    PyObject *value() const
    {
        return v_;
    }  // borrowed, or NULL
    // The held traceback; new reference, or NULL (no exception set).
    Ref traceback() const
    {
#if PY_VERSION_HEX >= 0x030C0000
        return Ref::steal(v_ != nullptr ? PyException_GetTraceback(v_)
                                        : nullptr);
#else
        return Ref::borrow(tb_);
#endif
    }

    // What a `sys.exc_info()`-style lookup of the value gives, consuming
    // the held exception: the class of None when nothing (or a type
    // without a value) is held, the value when its type derives from
    // Exception, the held type otherwise. New reference, or NULL with an
    // exception if the subclass test fails.
    Ref take_value()
    {
#if PY_VERSION_HEX < 0x030C0000
        // The normalized instance on every version (3.12+ holds no other
        // kind): a type set without a value, or with a bare message, gives
        // the same answer everywhere.
        if (t_ != nullptr)
            PyErr_NormalizeException(&t_, &v_, &tb_);
#endif
        Py_CLEAR(tb_);
        Ref t = Ref::steal(t_);
        Ref v = Ref::steal(v_);
        t_ = v_ = nullptr;
        if (!v)
            return Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(Py_None)));
        int sub = PyObject_IsSubclass(
            reinterpret_cast<PyObject *>(Py_TYPE(v.get())), PyExc_Exception);
        if (sub < 0)
            return nullptr;
        return sub ? std::move(v) : std::move(t);
    }

  private:
    PyObject *t_ = nullptr, *v_ = nullptr, *tb_ = nullptr;
};

// Saves the pending exception on construction and makes the error
// indicator exactly what it was on destruction (an exception raised in
// between is dropped), so cleanup code may call into the interpreter
// safely.
class ErrorGuard {
  public:
    ErrorGuard() { saved_.fetch(); }
    ~ErrorGuard()
    {
        if (may_release())
            saved_.put_back();
    }
    ErrorGuard(const ErrorGuard &) = delete;
    ErrorGuard &operator=(const ErrorGuard &) = delete;

    // The exception held until the scope ends.
    const SavedError &saved() const { return saved_; }

  private:
    SavedError saved_;
};

}  // namespace tw
