// Frame and code access: the code a frame or a traceback entry runs, and
// (frame_function) the function object a frame runs, which from 3.11 on
// only the interpreter's own frame record holds.
#pragma once

#include "tw/ref.hpp"

#include <frameobject.h>

#if PY_VERSION_HEX >= 0x030B0000 && defined(TW_FRAME_FUNCTION)
// The interpreter's frame record (no public accessor gives the function).
#define Py_BUILD_CORE
#include "internal/pycore_frame.h"
#undef Py_BUILD_CORE
#endif

namespace tw {

// The code object `frame` runs; new reference.
inline Ref frame_code(PyFrameObject *frame)
{
    return Ref::steal(reinterpret_cast<PyObject *>(PyFrame_GetCode(frame)));
}

// The code object of a traceback entry's frame; new reference or NULL.
inline PyCodeObject *traceback_code(PyObject *tb)
{
    PyFrameObject *frame = reinterpret_cast<PyTracebackObject *>(tb)->tb_frame;
    if (frame == nullptr)
        return nullptr;
    return PyFrame_GetCode(frame);
}

// The next (older) entry of a traceback, or NULL; borrowed.
inline PyObject *traceback_next(PyObject *tb)
{
    return reinterpret_cast<PyObject *>(
        reinterpret_cast<PyTracebackObject *>(tb)->tb_next);
}

#ifdef TW_FRAME_FUNCTION
// The function object `frame` runs, where the interpreter keeps it (3.11
// on); borrowed, or NULL (no exception set) when it is not known. A module
// that needs it defines TW_FRAME_FUNCTION before including this header,
// which then reads the interpreter's internal frame record.
inline PyObject *frame_function(PyFrameObject *frame)
{
#if PY_VERSION_HEX >= 0x030B0000
    if (frame == nullptr || frame->f_frame == nullptr)
        return nullptr;
#if PY_VERSION_HEX >= 0x030C0000
    return frame->f_frame->f_funcobj;
#else
    return reinterpret_cast<PyObject *>(frame->f_frame->f_func);
#endif
#else
    (void)frame;
    return nullptr;
#endif
}
#endif

}  // namespace tw
