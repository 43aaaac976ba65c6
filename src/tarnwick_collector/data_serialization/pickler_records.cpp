// The recorder's own records and metrics, written directly.
//
// Every recorded call ends with its record being pickled, and most calls
// send a metric or two: objects of this package's own classes, holding
// strings, bytes (the values already pickled), flags and small containers.
// Through the C pickler each such object costs a reducer_override round,
// a __reduce_ex__ and, for its class, an import lookup, several times the
// cost of its bytes. This file writes them the way the C pickler writes
// them at protocol 4, byte for byte, and gives up (answering "not mine")
// on anything it does not know to write exactly so:
//
//   - an object is taken only when its class is one of the package's own
//     (the safe pickler writes those whole) and reduces the way object's
//     default __reduce_ex__ does: class by reference, empty arguments,
//     NEWOBJ, its non-empty __dict__ as state, BUILD;
//   - values inside are None, bools, ints of 32 bits, floats, str, bytes,
//     and exact tuples, lists, dicts and sets of fewer than 1000 items;
//   - the whole stream stays inside one frame (under 64 KiB), so the C
//     pickler's frame commits and out-of-frame payloads never come in;
//   - objects met twice are written as the C pickler's memo would write
//     them (by identity), a container met inside itself gives up.
//
// The class of None, which the recorder stores for a call that raised
// nothing, is one constant stream. Plain values at the top (None, bools,
// numbers, str, bytes and the exact containers above), which most
// arguments and return values are, are written the same way: the C
// pickler asks no reducer for them either.
//
// safe_pickle takes this path only for its plain first dump, with this
// module's own SafePickler in place; a stream that may hold a name to
// redact goes through the ordinary redacting path afterwards, as any
// other.
#include "pickler_internal.hpp"
#include "pickler_redact.hpp"

#include <tsl/robin_map.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tw_pickler {

namespace {

// The C pickler's framing threshold and batch size.
constexpr size_t kFrameTarget = 64 * 1024;
constexpr size_t kFrameSizeMin = 4;
// The memo table a writer keeps between dumps: clearing it walks every
// bucket, and a fresh allocation costs more than a small dump.
constexpr size_t kKeptBuckets = 256;
constexpr Py_ssize_t kBatch = 1000;
// Nested calls left free for the C pickler's way at a depth where the
// safe pickler starts writing replacements instead.
constexpr int kDepthMargin = 120;

// What is known of one class: whether its instances can be written here,
// and the strings its by-reference write uses (held).
struct Judged {
    unsigned int tag = 0;
    bool ok = false;
    bool record = false;  // a class of the recorder's records (own names)
    Ref module_name;
    Ref qualname;
};

// Kept for the process and never destroyed: its references must not be
// dropped after the interpreter has finalized.
tsl::robin_map<PyTypeObject *, Judged> &judged =
    *new tsl::robin_map<PyTypeObject *, Judged>();

// The interpreter's own entries, looked up on object when first needed.
struct ObjectEntries {
    PyObject *reduce_ex = nullptr;
    PyObject *reduce = nullptr;
    PyObject *getstate = nullptr;  // NULL before 3.11
    PyObject *cls = nullptr;
    bool read = false;
};
ObjectEntries object_entries;

void read_object_entries()
{
    if (object_entries.read)
        return;
    PyTypeObject *base = &PyBaseObject_Type;
    object_entries.reduce_ex = _PyType_Lookup(base, TW_STR("__reduce_ex__"));
    object_entries.reduce = _PyType_Lookup(base, TW_STR("__reduce__"));
    object_entries.getstate = _PyType_Lookup(base, TW_STR("__getstate__"));
    object_entries.cls = _PyType_Lookup(base, TW_STR("__class__"));
    object_entries.read = true;
}

// Whether instances of `tp` reduce as object's default does, with the
// state being their __dict__, and `tp` is the package's own. Fills the
// names of `j`.
bool judge(PyTypeObject *tp, Judged &j)
{
    j.ok = false;
    j.module_name.reset();
    j.qualname.reset();
    // (A class of its own metaclass could run code when asked for its
    // names.)
    if (!Py_IS_TYPE(reinterpret_cast<PyObject *>(tp), &PyType_Type) ||
        !recorders_own(tp) || tp->tp_itemsize != 0 || tp->tp_dictoffset == 0 ||
        tp->tp_new == nullptr || tp->tp_getattro != PyObject_GenericGetAttr)
        return false;
    read_object_entries();
    if (object_entries.reduce_ex == nullptr ||
        _PyType_Lookup(tp, TW_STR("__reduce_ex__")) !=
            object_entries.reduce_ex ||
        _PyType_Lookup(tp, TW_STR("__reduce__")) != object_entries.reduce ||
        _PyType_Lookup(tp, TW_STR("__getstate__")) !=
            object_entries.getstate ||
        _PyType_Lookup(tp, TW_STR("__class__")) != object_entries.cls ||
        _PyType_Lookup(tp, TW_STR("__getnewargs_ex__")) != nullptr ||
        _PyType_Lookup(tp, TW_STR("__getnewargs__")) != nullptr)
        return false;
    // copyreg has recorded the class's slot names (the C pickler's first
    // dump of an instance does that): none.
    PyObject *slotnames =
        PyDict_GetItemWithError(tp->tp_dict, TW_STR("__slotnames__"));
    if (slotnames == nullptr || !PyList_CheckExact(slotnames) ||
        PyList_GET_SIZE(slotnames) != 0) {
        PyErr_Clear();
        return false;
    }
    // What the default reduction accepts as an instance with no state
    // beyond its __dict__.
    // (Dicts and weak references the interpreter manages take no room in
    // the instance.)
    Py_ssize_t basic = PyBaseObject_Type.tp_basicsize;
    if (tp->tp_dictoffset > 0)
        basic += sizeof(PyObject *);
    if (tp->tp_weaklistoffset > 0)
        basic += sizeof(PyObject *);
    if (tp->tp_basicsize > basic)
        return false;
    PyObject *module_name =
        PyDict_GetItemWithError(tp->tp_dict, TW_STR("__module__"));
    if (module_name == nullptr || !PyUnicode_CheckExact(module_name)) {
        PyErr_Clear();
        return false;
    }
    Ref qualname = Ref::steal(PyObject_GetAttr(
        reinterpret_cast<PyObject *>(tp), TW_STR("__qualname__")));
    if (!qualname || !PyUnicode_CheckExact(qualname.get()) ||
        PyUnicode_FindChar(qualname.get(), '.', 0,
                           PyUnicode_GET_LENGTH(qualname.get()), 1) != -1) {
        PyErr_Clear();
        return false;
    }
    j.module_name = Ref::borrow(module_name);
    j.qualname = std::move(qualname);
    j.record = recorders_record(tp);
    j.ok = true;
    return true;
}

// The judgement of `tp`, made now when none holds for its version.
const Judged *judged_for(PyTypeObject *tp)
{
    if (!(tp->tp_flags & Py_TPFLAGS_HEAPTYPE))
        return nullptr;
    auto it = judged.find(tp);
    if (it != judged.end() && TW_VALID_VERSION_TAG(tp) &&
        it->second.tag == tp->tp_version_tag)
        return it->second.ok ? &it->second : nullptr;
    Judged j;
    const bool ok = judge(tp, j);
    // The lookups above gave the class a version tag, when it can have one;
    // without one, it is judged at every dump.
    if (!TW_VALID_VERSION_TAG(tp))
        return nullptr;
    j.tag = tp->tp_version_tag;
    auto &slot = judged[tp];
    slot = std::move(j);
    return ok ? &slot : nullptr;
}

enum Outcome { kWritten, kNotMine, kFailed };

class Writer {
  public:
    Outcome value(PyObject *obj);
    // Empty again for the next dump, keeping what it allocated unless a
    // large dump left it big.
    void reset()
    {
        out.clear();
        open_.clear();
        named = false;
        if (memo_.bucket_count() > kKeptBuckets)
            tsl::robin_map<PyObject *, uint32_t>().swap(memo_);
        else if (!memo_.empty())
            memo_.clear();
    }
    std::string out;
    bool busy = false;
    // Whether a dict key or attribute name written may be one to redact
    // (see own_object_dump): the names of the recorder's records are its
    // own, never the program's.
    bool named = false;

  private:
    tsl::robin_map<PyObject *, uint32_t> memo_;
    std::vector<PyObject *> open_;

    void op(char c) { out.push_back(c); }
    void le(uint64_t v, int n)
    {
        for (int i = 0; i < n; i++)
            out.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    }
    void memo_put(PyObject *obj)
    {
        memo_.emplace(obj, static_cast<uint32_t>(memo_.size()));
        op('\x94');  // MEMOIZE
    }
    bool memo_get(PyObject *obj)
    {
        auto it = memo_.find(obj);
        if (it == memo_.end())
            return false;
        if (it->second < 256) {
            op('h');  // BINGET
            le(it->second, 1);
        } else {
            op('j');  // LONG_BINGET
            le(it->second, 4);
        }
        return true;
    }
    bool full() const { return out.size() >= kFrameTarget; }
    Outcome text(PyObject *s);
    Outcome data(PyObject *b);
    Outcome sized(PyObject *obj, char short_op, char long_op, const char *at,
                  Py_ssize_t n);
    Outcome number(PyObject *i);
    Outcome tuple(PyObject *t);
    Outcome list(PyObject *l);
    // `state`: an instance dict; `own_names`: of one of the recorder's
    // records.
    Outcome dict(PyObject *d, bool state, bool own_names = false);
    Outcome set(PyObject *s);
    Outcome instance(PyObject *obj, const Judged &j);
    Outcome global(PyTypeObject *tp, const Judged &j);
    bool enter(PyObject *obj);
    void leave() { open_.pop_back(); }
};

// A tuple met again inside itself is not written here (the C pickler's
// way out of a recursive tuple is not copied). Lists, dicts and sets are
// memoized before their items, so meeting one again is a memo hit, as for
// the C pickler.
bool Writer::enter(PyObject *obj)
{
    for (PyObject *o : open_)
        if (o == obj)
            return false;
    open_.push_back(obj);
    return true;
}

Outcome Writer::text(PyObject *s)
{
    Py_ssize_t n = 0;
    const char *utf8;
    if (PyUnicode_IS_ASCII(s)) {
        utf8 = static_cast<const char *>(PyUnicode_DATA(s));
        n = PyUnicode_GET_LENGTH(s);
    } else {
        utf8 = PyUnicode_AsUTF8AndSize(s, &n);
        if (utf8 == nullptr) {  // lone surrogates: written otherwise
            PyErr_Clear();
            return kNotMine;
        }
    }
    return sized(s, '\x8c', 'X', utf8, n);  // SHORT_BINUNICODE, BINUNICODE
}

Outcome Writer::data(PyObject *b)
{
    // SHORT_BINBYTES, BINBYTES
    return sized(b, 'C', 'B', PyBytes_AS_STRING(b), PyBytes_GET_SIZE(b));
}

// `n` bytes at `at` after the short opcode and a one-byte length below 256,
// else the long one and four bytes; then `obj` is memoized.
Outcome Writer::sized(PyObject *obj, char short_op, char long_op,
                      const char *at, Py_ssize_t n)
{
    const uint64_t size = static_cast<uint64_t>(n);
    if (size > 0xffffffffULL)
        return kNotMine;
    op(size <= 0xff ? short_op : long_op);
    le(size, size <= 0xff ? 1 : 4);
    out.append(at, static_cast<size_t>(n));
    memo_put(obj);
    return kWritten;
}

Outcome Writer::number(PyObject *i)
{
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(i, &overflow);
    if (overflow != 0 || v > 0x7fffffffLL || v < -0x80000000LL) {
        PyErr_Clear();
        return kNotMine;
    }
    if (v == -1 && PyErr_Occurred())
        return kFailed;
    const uint32_t u = static_cast<uint32_t>(static_cast<int32_t>(v));
    if (u > 0xffff) {
        op('J');  // BININT
        le(u, 4);
    } else if (u > 0xff) {
        op('M');  // BININT2
        le(u, 2);
    } else {
        op('K');  // BININT1
        le(u, 1);
    }
    return kWritten;
}

Outcome Writer::tuple(PyObject *t)
{
    const Py_ssize_t n = PyTuple_GET_SIZE(t);
    if (n == 0) {
        op(')');  // EMPTY_TUPLE, not memoized
        return kWritten;
    }
    if (n >= kBatch || !enter(t))
        return kNotMine;
    if (n > 3)
        op('(');  // MARK
    for (Py_ssize_t k = 0; k < n; k++) {
        const Outcome o = value(PyTuple_GET_ITEM(t, k));
        if (o != kWritten)
            return o;
    }
    leave();
    static const char by_size[] = {0, '\x85', '\x86', '\x87'};
    op(n <= 3 ? by_size[n] : 't');
    memo_put(t);
    return kWritten;
}

Outcome Writer::list(PyObject *l)
{
    const Py_ssize_t n = PyList_GET_SIZE(l);
    if (n >= kBatch)
        return kNotMine;
    op(']');  // EMPTY_LIST
    memo_put(l);
    if (n > 1)
        op('(');
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(l); k++) {
        PyObject *item = PyList_GET_ITEM(l, k);
        Py_INCREF(item);
        const Outcome o = value(item);
        Py_DECREF(item);
        if (o != kWritten)
            return o;
    }
    if (PyList_GET_SIZE(l) != n)
        return kNotMine;
    if (n == 1)
        op('a');  // APPEND
    else if (n > 1)
        op('e');  // APPENDS
    return kWritten;
}

Outcome Writer::dict(PyObject *d, bool state, bool own_names)
{
    const Py_ssize_t n = PyDict_GET_SIZE(d);
    if (n >= kBatch)
        return kNotMine;
    op('}');  // EMPTY_DICT
    memo_put(d);
    if (n > 1)
        op('(');
    Py_ssize_t pos = 0;
    PyObject *key;
    PyObject *item;
    while (PyDict_Next(d, &pos, &key, &item)) {
        // An instance attribute that shadows what the reduction reads.
        if (state && PyUnicode_Check(key) && PyUnicode_GET_LENGTH(key) > 1 &&
            PyUnicode_READ_CHAR(key, 0) == '_' &&
            PyUnicode_READ_CHAR(key, 1) == '_')
            return kNotMine;
        Ref hold_key = Ref::borrow(key);
        Ref hold_item = Ref::borrow(item);
        if (!named && !own_names && pickler_redact::name_matches(key))
            named = true;
        Outcome o = value(key);
        if (o == kWritten)
            o = value(item);
        if (o != kWritten)
            return o;
        if (PyDict_GET_SIZE(d) != n)
            return kNotMine;
    }
    if (n == 1)
        op('s');  // SETITEM
    else if (n > 1)
        op('u');  // SETITEMS
    return kWritten;
}

Outcome Writer::set(PyObject *s)
{
    const Py_ssize_t n = PySet_GET_SIZE(s);
    if (n >= kBatch)
        return kNotMine;
    op('\x8f');  // EMPTY_SET
    memo_put(s);
    if (n == 0)
        return kWritten;
    op('(');
    Ref it = Ref::steal(PyObject_GetIter(s));
    if (!it)
        return kFailed;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        const Outcome o = value(item.get());
        if (o != kWritten)
            return o;
    }
    if (PyErr_Occurred())
        return kFailed;
    if (PySet_GET_SIZE(s) != n)
        return kNotMine;
    op('\x90');  // ADDITEMS
    return kWritten;
}

// The class, as the C pickler writes a class by reference at protocol 4,
// when its module still holds it under its name.
Outcome Writer::global(PyTypeObject *tp, const Judged &j)
{
    PyObject *cls = reinterpret_cast<PyObject *>(tp);
    if (memo_get(cls))
        return kWritten;
    PyObject *module = PyImport_GetModule(j.module_name.get());
    if (module == nullptr) {
        PyErr_Clear();
        return kNotMine;
    }
    Ref hold = Ref::steal(module);
    if (!PyModule_CheckExact(module))
        return kNotMine;
    PyObject *found =
        PyDict_GetItemWithError(PyModule_GetDict(module), j.qualname.get());
    if (found != cls) {
        PyErr_Clear();
        return kNotMine;
    }
    Outcome o = value(j.module_name.get());
    if (o == kWritten)
        o = value(j.qualname.get());
    if (o != kWritten)
        return o;
    op('\x93');  // STACK_GLOBAL
    memo_put(cls);
    return kWritten;
}

Outcome Writer::instance(PyObject *obj, const Judged &j)
{
    // The instance __dict__, as the default reduction reads it.
    Ref hold = Ref::steal(PyObject_GenericGetDict(obj, nullptr));
    if (!hold)
        return kFailed;
    PyObject *state = hold.get();
    if (!PyDict_CheckExact(state) || PyDict_GET_SIZE(state) == 0)
        return kNotMine;
    Outcome o = global(Py_TYPE(obj), j);
    if (o != kWritten)
        return o;
    op(')');     // the empty arguments of __newobj__
    op('\x81');  // NEWOBJ
    memo_put(obj);
    if (memo_get(state)) {
        op('b');
        return kWritten;
    }
    o = dict(state, true, j.record);
    if (o != kWritten)
        return o;
    op('b');  // BUILD
    return kWritten;
}

Outcome Writer::value(PyObject *obj)
{
    if (full())
        return kNotMine;
    if (obj == Py_None) {
        op('N');
        return kWritten;
    }
    if (obj == Py_True || obj == Py_False) {
        op(obj == Py_True ? '\x88' : '\x89');
        return kWritten;
    }
    PyTypeObject *tp = Py_TYPE(obj);
    if (tp == &PyLong_Type)
        return number(obj);
    if (tp == &PyFloat_Type) {
        unsigned char buf[8];
#if PY_VERSION_HEX >= 0x030B0000
        if (PyFloat_Pack8(PyFloat_AS_DOUBLE(obj),
                          reinterpret_cast<char *>(buf), 0) < 0)
#else
        if (_PyFloat_Pack8(PyFloat_AS_DOUBLE(obj), buf, 0) < 0)
#endif
            return kFailed;
        op('G');  // BINFLOAT
        out.append(reinterpret_cast<const char *>(buf), 8);
        return kWritten;
    }
    if (memo_get(obj))
        return kWritten;
    if (tp == &PyUnicode_Type)
        return text(obj);
    if (tp == &PyBytes_Type)
        return data(obj);
    if (tw_recursion_left() < kDepthMargin)
        return kNotMine;
    if (tp == &PyTuple_Type)
        return tuple(obj);
    if (tp == &PyList_Type)
        return list(obj);
    if (tp == &PyDict_Type)
        return dict(obj, false);
    if (tp == &PySet_Type)
        return set(obj);
    const Judged *j = judged_for(tp);
    if (j == nullptr)
        return PyErr_Occurred() ? kFailed : kNotMine;
    return instance(obj, *j);
}

}  // namespace

// A value the C pickler writes by its type alone, with no reducer asked:
// argument and return values are mostly these, or containers of them.
static bool plain_value(PyObject *obj)
{
    if (obj == Py_None || obj == Py_True || obj == Py_False)
        return true;
    PyTypeObject *tp = Py_TYPE(obj);
    return tp == &PyFloat_Type || tp == &PyLong_Type ||
           tp == &PyUnicode_Type || tp == &PyBytes_Type ||
           tp == &PyTuple_Type || tp == &PyList_Type || tp == &PyDict_Type ||
           tp == &PySet_Type;
}

// Dumps written here, over the process (see own_objects_written).
Py_ssize_t written_directly = 0;

int own_object_dump(PyObject *mod, PyObject *obj, Ref &out, bool *named)
{
    out.reset();
    if (named != nullptr)
        *named = true;
    PyTypeObject *tp = Py_TYPE(obj);
    // The recorder's mark of a call that raised nothing: the class of None,
    // which the C pickler writes as type(None).
    const bool none_type =
        obj == reinterpret_cast<PyObject *>(Py_TYPE(Py_None));
    if (!none_type && !plain_value(obj) &&
        (!(tp->tp_flags & Py_TPFLAGS_HEAPTYPE) || judged_for(tp) == nullptr))
        return PyErr_Occurred() ? -1 : 0;
    const int standard = own_pickler_in_place(mod);
    if (standard <= 0)
        return standard;
    if (none_type) {
        static const char kNoneType[] =
            "\x80\x04\x95\x1a\x00\x00\x00\x00\x00\x00\x00\x8c\x08"
            "builtins\x94\x8c\x04type\x94\x93\x94N\x85\x94R\x94.";
        PyObject *bytes =
            PyBytes_FromStringAndSize(kNoneType, sizeof(kNoneType) - 1);
        if (bytes == nullptr)
            return -1;
        out = Ref::steal(bytes);
        written_directly++;
        if (named != nullptr)
            *named = false;
        return 1;
    }
    // One writer serves the dumps in turn; a dump that starts while it is
    // busy (from code a release of a reference ran) takes its own.
    static Writer &shared = *new Writer();
    std::unique_ptr<Writer> own;
    Writer *writer = &shared;
    if (shared.busy) {
        own.reset(new Writer());
        writer = own.get();
    }
    struct Turn {
        Writer &w;
        explicit Turn(Writer &w_) : w(w_) { w.busy = true; }
        ~Turn()
        {
            w.reset();
            w.busy = false;
        }
    } turn(*writer);
    Writer &w = *writer;
    const Outcome o = w.value(obj);
    if (o == kFailed)
        return -1;
    if (o == kNotMine || w.out.size() + 1 >= kFrameTarget) {
        PyErr_Clear();
        return 0;
    }
    w.out.push_back('.');  // STOP
    const size_t payload = w.out.size();
    // The C pickler drops the frame header of a frame under 4 bytes.
    const size_t header = payload < kFrameSizeMin ? 2 : 11;
    PyObject *bytes = PyBytes_FromStringAndSize(
        nullptr, static_cast<Py_ssize_t>(payload + header));
    if (bytes == nullptr)
        return -1;
    char *at = PyBytes_AS_STRING(bytes);
    at[0] = '\x80';  // PROTO 4
    at[1] = 4;
    if (header == 11) {
        at[2] = '\x95';  // FRAME
        for (int i = 0; i < 8; i++)
            at[3 + i] = static_cast<char>((payload >> (8 * i)) & 0xff);
    }
    std::memcpy(at + header, w.out.data(), payload);
    out = Ref::steal(bytes);
    written_directly++;
    if (named != nullptr)
        *named = w.named;
    return 1;
}

static PyObject *own_objects_written(PyObject *, PyObject *)
{
    return PyLong_FromSsize_t(written_directly);
}

PyMethodDef own_objects_written_def = {
    "_own_objects_written", own_objects_written, METH_NOARGS,
    "How many dumps were written without the C pickler in this process."};

}  // namespace tw_pickler
