// tarnwick_collector.channels._guarded_send: a write to a channel's socket
// that cannot land in a descriptor the program took.
//
// The program may close the channel's descriptors at any moment (for
// example os.closerange on its own thread) and get their numbers again for
// sockets and files of its own. A check of the descriptor's identity in
// Python followed by a send leaves the interpreter free to switch threads
// in between: the program's thread may then close the number and open its
// own socket on it, and the send goes to the program's peer. Here the
// identity test (fstat) and the send are one step under the interpreter
// lock, which no code of the program gets in between; the send never
// blocks (MSG_DONTWAIT), so holding the lock costs nothing.
#include "tw.hpp"

#include <cerrno>
#include <sys/socket.h>
#include <sys/stat.h>

namespace {

// send_if_same(fd, dev, ino, data, flags): bytes sent, or -1 when `fd` is
// no longer the file (dev, ino). OSError as socket.send raises it
// (BlockingIOError when the socket takes nothing now).
PyObject *send_if_same(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 5) {
        PyErr_Format(PyExc_TypeError,
                     "send_if_same() takes exactly 5 arguments (%zd given)",
                     nargs);
        return nullptr;
    }
    const long fd = PyLong_AsLong(args[0]);
    const unsigned long long dev = PyLong_AsUnsignedLongLong(args[1]);
    const unsigned long long ino = PyLong_AsUnsignedLongLong(args[2]);
    const long flags = PyLong_AsLong(args[4]);
    if (PyErr_Occurred())
        return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(args[3], &view, PyBUF_SIMPLE) < 0)
        return nullptr;
    struct stat st;
    if (fd < 0 || fstat(static_cast<int>(fd), &st) != 0 ||
        static_cast<unsigned long long>(st.st_dev) != dev ||
        static_cast<unsigned long long>(st.st_ino) != ino) {
        PyBuffer_Release(&view);
        return PyLong_FromLong(-1);
    }
    ssize_t n;
    do {
        n = send(static_cast<int>(fd), view.buf, static_cast<size_t>(view.len),
                 static_cast<int>(flags) | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    const int err = errno;
    PyBuffer_Release(&view);
    if (n < 0) {
        errno = err;
        return PyErr_SetFromErrno(PyExc_OSError);
    }
    return PyLong_FromSsize_t(n);
}

int exec_module(PyObject *)
{
    return 0;
}

PyMethodDef methods[] = {
    {"send_if_same",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)(void)>(send_if_same)),
     METH_FASTCALL,
     "send_if_same(fd, dev, ino, data, flags)\n--\n\n"
     "Send `data` on the socket `fd` without waiting, if `fd` is still the\n"
     "file (dev, ino): the bytes sent, or -1 when it is not."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

TW_MODULE(_guarded_send,
          "A write to a channel's socket that cannot land in a descriptor "
          "the program took.",
          methods, exec_module)
