// tarnwick_collector.channels._guarded_send: a write to a channel's socket
// that cannot land in a descriptor the program took, and the common case
// of a send done natively (see queue_if_idle below).
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
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Checks that `nargs` is `expected` and reads (fd, dev, ino) from the
// first three arguments; false with an exception when it cannot.
bool fd_and_file(const char *name, PyObject *const *args, Py_ssize_t nargs,
                 Py_ssize_t expected, long &fd, unsigned long long &dev,
                 unsigned long long &ino)
{
    if (nargs != expected) {
        PyErr_Format(PyExc_TypeError,
                     "%s() takes exactly %zd arguments (%zd given)", name,
                     expected, nargs);
        return false;
    }
    fd = PyLong_AsLong(args[0]);
    dev = PyLong_AsUnsignedLongLong(args[1]);
    ino = PyLong_AsUnsignedLongLong(args[2]);
    return !PyErr_Occurred();
}

bool is_file(long fd, unsigned long long dev, unsigned long long ino)
{
    struct stat st;
    return fd >= 0 && fstat(static_cast<int>(fd), &st) == 0 &&
           static_cast<unsigned long long>(st.st_dev) == dev &&
           static_cast<unsigned long long>(st.st_ino) == ino;
}

// send_if_same(fd, dev, ino, data, flags): bytes sent, or -1 when `fd` is
// no longer the file (dev, ino). OSError as socket.send raises it
// (BlockingIOError when the socket takes nothing now).
PyObject *send_if_same(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    long fd = -1;
    unsigned long long dev = 0, ino = 0;
    if (!fd_and_file("send_if_same", args, nargs, 5, fd, dev, ino))
        return nullptr;
    const long flags = PyLong_AsLong(args[4]);
    if (flags == -1 && PyErr_Occurred())
        return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(args[3], &view, PyBUF_SIMPLE) < 0)
        return nullptr;
    if (!is_file(fd, dev, ino)) {
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

// The same guard for the channel's other uses of its own descriptors: a
// number checked in Python and then closed, shut down or duplicated may be
// the program's by then (the check's fstat lets other threads run).

// close_if_same(fd, dev, ino): close `fd` if it is still the file; whether
// it was (and is closed now).
PyObject *close_if_same(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    long fd = -1;
    unsigned long long dev = 0, ino = 0;
    if (!fd_and_file("close_if_same", args, nargs, 3, fd, dev, ino))
        return nullptr;
    if (!is_file(fd, dev, ino))
        Py_RETURN_FALSE;
    // Never retried: on Linux the number is released even when close
    // reports EINTR.
    close(static_cast<int>(fd));
    Py_RETURN_TRUE;
}

// shutdown_if_same(fd, dev, ino, how): shut the socket `fd` down if it is
// still the file; whether it was.
PyObject *shutdown_if_same(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    long fd = -1;
    unsigned long long dev = 0, ino = 0;
    if (!fd_and_file("shutdown_if_same", args, nargs, 4, fd, dev, ino))
        return nullptr;
    const long how = PyLong_AsLong(args[3]);
    if (how == -1 && PyErr_Occurred())
        return nullptr;
    if (!is_file(fd, dev, ino))
        Py_RETURN_FALSE;
    shutdown(static_cast<int>(fd), static_cast<int>(how));
    Py_RETURN_TRUE;
}

// dup_if_same(fd, dev, ino): a new descriptor (close-on-exec) on the file
// if `fd` is still it, else -1.
PyObject *dup_if_same(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    long fd = -1;
    unsigned long long dev = 0, ino = 0;
    if (!fd_and_file("dup_if_same", args, nargs, 3, fd, dev, ino))
        return nullptr;
    if (!is_file(fd, dev, ino))
        return PyLong_FromLong(-1);
    const int copy = fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return PyErr_SetFromErrno(PyExc_OSError);
    return PyLong_FromLong(copy);
}

// ---------------------------------------------------------------- queueing
//
// queue_if_idle(channel, data): the common case of a channel's send, a
// message buffered for the writer thread, in one step under the
// interpreter lock. The channel's own code does the same in Python with its
// lock held; here the lock is taken without waiting and held only while no
// other code runs, so nothing can see the difference. True when the message
// was buffered; False, having changed nothing, when the channel's own code
// must decide (the lock is busy, the channel is not plainly running, the
// buffer is full, or anything is not as expected).

// The instance's attribute `name` read from its __dict__ (borrowed), or
// NULL without an exception.
PyObject *entry(PyObject *dict, PyObject *key)
{
    if (key == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject *v = PyDict_GetItemWithError(dict, key);
    if (v == nullptr)
        PyErr_Clear();
    return v;
}

bool is_false(PyObject *v)
{
    return v == Py_False;
}

bool exact_int(PyObject *v, long long &out)
{
    if (v == nullptr || !PyLong_CheckExact(v))
        return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow != 0 || (out == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// The buffering under the channel's lock (held); 1 buffered, 0 not ours,
// -1 with an exception.
int buffer_message(PyObject *dict, PyObject *cond, PyObject *data,
                   double received)
{
    PyObject *queue = entry(dict, TW_STR("_queue"));
    long long max_messages = 0;
    long long buffered = 0;
    long long max_bytes = 0;
    long long sent = 0;
    if (queue == nullptr || Py_TYPE(queue)->tp_name == nullptr ||
        std::strcmp(Py_TYPE(queue)->tp_name, "collections.deque") != 0 ||
        !exact_int(entry(dict, TW_STR("max_messages")), max_messages) ||
        !exact_int(entry(dict, TW_STR("_buffered_bytes")), buffered) ||
        !exact_int(entry(dict, TW_STR("max_bytes")), max_bytes) ||
        !exact_int(entry(dict, TW_STR("_sent")), sent))
        return 0;
    const long long size = PyBytes_GET_SIZE(data);
    const Py_ssize_t length = PyObject_Length(queue);
    if (length < 0) {
        PyErr_Clear();
        return 0;
    }
    if (length >= max_messages || buffered + size > max_bytes ||
        size > 0xFFFFFFFFLL)
        return 0;  // dropped and counted by the channel's own code
    PyObject *set_sent = entry(dict, TW_STR("_set_sent"));
    if (set_sent == nullptr)
        return 0;
    tw::Ref count = tw::Ref::steal(PyLong_FromLongLong(sent + 1));
    if (!count || PyDict_SetItem(dict, TW_STR("_sent"), count.get()) < 0)
        return -1;
    if (set_sent != Py_None) {
        tw::Ref hold = tw::Ref::borrow(set_sent);
        if (!tw::call(set_sent, count.get()))
            return -1;
    }
    tw::Ref when = tw::Ref::steal(PyFloat_FromDouble(received));
    tw::Ref item = when ? tw::tuple(when.get(), data) : nullptr;
    if (!item || !tw::call_method(queue, TW_STR("append"), item.get()))
        return -1;
    tw::Ref now = tw::Ref::steal(PyLong_FromLongLong(buffered + size));
    if (!now || PyDict_SetItem(dict, TW_STR("_buffered_bytes"), now.get()) < 0)
        return -1;
    // notify(): the first waiting thread, if any, is woken.
    tw::Ref waiters = tw::getattr(cond, TW_STR("_waiters"));
    if (!waiters)
        return -1;
    const Py_ssize_t waiting = PyObject_Length(waiters.get());
    if (waiting < 0)
        return -1;
    if (waiting > 0) {
        tw::Ref waiter = tw::call_method(waiters.get(), TW_STR("popleft"));
        if (!waiter || !tw::call_method(waiter.get(), TW_STR("release")))
            return -1;
    }
    return 1;
}

PyObject *queue_if_idle(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError,
                     "queue_if_idle() takes exactly 2 arguments (%zd given)",
                     nargs);
        return nullptr;
    }
    PyObject *channel = args[0];
    PyObject *data = args[1];
    if (!PyBytes_CheckExact(data))
        Py_RETURN_FALSE;
    tw::Ref dict = tw::Ref::steal(PyObject_GenericGetDict(channel, nullptr));
    if (!dict) {
        PyErr_Clear();
        Py_RETURN_FALSE;
    }
    PyObject *state = entry(dict.get(), TW_STR("_state"));
    PyObject *cond = entry(dict.get(), TW_STR("_cond"));
    // (A _send_message of the instance's own is not bypassed.)
    if (entry(dict.get(), TW_STR("_send_message")) != nullptr ||
        state == nullptr || !PyUnicode_CheckExact(state) ||
        PyUnicode_CompareWithASCIIString(state, "running") != 0 ||
        cond == nullptr ||
        !is_false(entry(dict.get(), TW_STR("_writer_paused"))) ||
        !is_false(entry(dict.get(), TW_STR("_eager"))))
        Py_RETURN_FALSE;
    tw::Ref hold_cond = tw::Ref::borrow(cond);
    // A holder of the lock (this thread, interrupted by a signal handler,
    // or another one) is left to the channel's own code.
    tw::Ref owner = tw::getattr(cond, TW_STR("_owner"));
    if (!owner) {
        PyErr_Clear();
        Py_RETURN_FALSE;
    }
    if (owner.get() != Py_None)
        Py_RETURN_FALSE;
    struct timespec ts;
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0)
        Py_RETURN_FALSE;
    const double received = static_cast<double>(ts.tv_sec) +
                            static_cast<double>(ts.tv_nsec) * 1e-9;
    tw::Ref lock = tw::getattr(cond, TW_STR("_lock"));
    if (!lock) {
        PyErr_Clear();
        Py_RETURN_FALSE;
    }
    tw::Ref got = tw::call_method(lock.get(), TW_STR("acquire"), Py_False);
    if (!got) {
        PyErr_Clear();
        Py_RETURN_FALSE;
    }
    if (got.get() != Py_True)
        Py_RETURN_FALSE;
    const int r = buffer_message(dict.get(), cond, data, received);
    tw::SavedError saved;
    if (r < 0)
        saved.fetch();
    tw::Ref released = tw::call_method(lock.get(), TW_STR("release"));
    if (!released)
        return nullptr;
    if (r < 0) {
        saved.restore();
        return nullptr;
    }
    return PyBool_FromLong(r);
}

// ----------------------------------------------------------------- framing
//
// join_frames(batch, start, limit): the frames of batch[start:stop] as one
// bytes object, and stop. Each item of the list `batch` is a (received,
// payload) pair, a float and bytes; each frame is what framing.encode
// makes of it (the float as little-endian float64, the payload's length as
// little-endian uint32, then the payload). Frames are taken while their
// total is under `limit`, at least one. The writer thread's loop in Python
// over each frame cost several times the copy of its bytes.

constexpr size_t kHeader = 12;

// The item's received time and payload (borrowed), or false with TypeError.
bool frame_parts(PyObject *item, double &received, PyObject *&payload)
{
    if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2 ||
        !PyFloat_Check(PyTuple_GET_ITEM(item, 0)) ||
        !PyBytes_Check(PyTuple_GET_ITEM(item, 1)) ||
        PyBytes_GET_SIZE(PyTuple_GET_ITEM(item, 1)) > 0xFFFFFFFFLL) {
        PyErr_SetString(PyExc_TypeError, "a frame is a (float, bytes) pair");
        return false;
    }
    received = PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(item, 0));
    payload = PyTuple_GET_ITEM(item, 1);
    return true;
}

void put_header(char *at, double received, size_t size)
{
    uint64_t bits;
    std::memcpy(&bits, &received, sizeof bits);
    for (int i = 0; i < 8; i++)
        at[i] = static_cast<char>((bits >> (8 * i)) & 0xff);
    for (int i = 0; i < 4; i++)
        at[8 + i] = static_cast<char>((size >> (8 * i)) & 0xff);
}

PyObject *join_frames(PyObject *, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError,
                     "join_frames() takes exactly 3 arguments (%zd given)",
                     nargs);
        return nullptr;
    }
    PyObject *batch = args[0];
    if (!PyList_Check(batch)) {
        PyErr_SetString(PyExc_TypeError, "join_frames() needs a list");
        return nullptr;
    }
    const Py_ssize_t start = PyLong_AsSsize_t(args[1]);
    const Py_ssize_t limit = PyLong_AsSsize_t(args[2]);
    if ((start == -1 || limit == -1) && PyErr_Occurred())
        return nullptr;
    const Py_ssize_t n = PyList_GET_SIZE(batch);
    if (start < 0 || start >= n) {
        PyErr_SetString(PyExc_IndexError, "join_frames() start out of range");
        return nullptr;
    }
    // The list is the writer's own, but its items are read twice: they are
    // held for the copy.
    tw::Ref items = tw::Ref::steal(PyList_GetSlice(batch, start, n));
    if (!items)
        return nullptr;
    Py_ssize_t stop = 0;
    size_t total = 0;
    const Py_ssize_t count = PyList_GET_SIZE(items.get());
    while (stop < count && (total < static_cast<size_t>(limit) || stop == 0)) {
        double received = 0;
        PyObject *payload = nullptr;
        if (!frame_parts(PyList_GET_ITEM(items.get(), stop), received,
                         payload))
            return nullptr;
        total += kHeader + static_cast<size_t>(PyBytes_GET_SIZE(payload));
        stop++;
    }
    if (total > static_cast<size_t>(PY_SSIZE_T_MAX))
        return PyErr_NoMemory();
    tw::Ref out = tw::Ref::steal(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    if (!out)
        return nullptr;
    char *at = PyBytes_AS_STRING(out.get());
    for (Py_ssize_t i = 0; i < stop; i++) {
        double received = 0;
        PyObject *payload = nullptr;
        frame_parts(PyList_GET_ITEM(items.get(), i), received, payload);
        const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(payload));
        put_header(at, received, size);
        std::memcpy(at + kHeader, PyBytes_AS_STRING(payload), size);
        at += kHeader + size;
    }
    tw::Ref end = tw::Ref::steal(PyLong_FromSsize_t(start + stop));
    if (!end)
        return nullptr;
    return tw::tuple(end.get(), out.get()).release();
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
    {"close_if_same",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)(void)>(close_if_same)),
     METH_FASTCALL,
     "close_if_same(fd, dev, ino)\n--\n\n"
     "Close `fd` if it is still the file (dev, ino), in one step no other\n"
     "thread's code comes between: whether it was (and is closed now)."},
    {"shutdown_if_same",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)(void)>(shutdown_if_same)),
     METH_FASTCALL,
     "shutdown_if_same(fd, dev, ino, how)\n--\n\n"
     "Shut the socket `fd` down (`how` as socket.shutdown takes it) if it\n"
     "is still the file (dev, ino): whether it was."},
    {"dup_if_same",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)(void)>(dup_if_same)),
     METH_FASTCALL,
     "dup_if_same(fd, dev, ino)\n--\n\n"
     "A new descriptor (close-on-exec) on the file (dev, ino) if `fd` is\n"
     "still it, else -1."},
    {"queue_if_idle",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)(void)>(queue_if_idle)),
     METH_FASTCALL,
     "queue_if_idle(channel, data)\n--\n\n"
     "Buffer `data` for the channel's writer thread when the channel is\n"
     "running, its lock free and its buffer has room: True when it did,\n"
     "False, having changed nothing, when the channel must decide."},
    {"join_frames",
     reinterpret_cast<PyCFunction>(
         reinterpret_cast<void (*)(void)>(join_frames)),
     METH_FASTCALL,
     "join_frames(batch, start, limit)\n--\n\n"
     "(stop, frames): the frames of the (received, payload) pairs\n"
     "batch[start:stop] as one bytes object, taken while their total is\n"
     "under `limit` (at least one)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

TW_MODULE(_guarded_send,
          "A write to a channel's socket that cannot land in a descriptor "
          "the program took.",
          methods, exec_module)
