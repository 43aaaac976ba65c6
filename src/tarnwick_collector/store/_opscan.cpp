// tarnwick_collector.store._opscan: a look at a pickle stream's opcodes
// before the C unpickler loads it.
//
// The C unpickler keeps its memo in an array indexed by the stream's own
// numbers: a PUT or LONG_BINPUT of index N grows the array to 2N entries
// and clears each of them, so ten crafted bytes ("r" and a four-byte
// index) make it allocate and touch up to 32 GiB before anything of ours
// can count. A stream the collector writes uses MEMOIZE (sequential
// indices) and, in any stream, an honest index is below the number of
// objects, which is below the number of bytes. The store's reader asks
// this scan for the largest explicit index and refuses a stream whose
// index could not be honest.
//
// The walk only steps over each opcode's argument; it builds nothing and
// stops at STOP, at an opcode it does not know or at a truncated argument
// (the unpickler then fails on the same byte).
#include "tw.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// Little-endian unsigned integer of `n` bytes at `p`.
uint64_t le(const unsigned char *p, int n)
{
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

// How an opcode's argument is laid out.
enum class Arg : unsigned char {
    Unknown,   // not an opcode of protocols 0 to 5
    None,      // no argument
    Fixed,     // `size` bytes
    Counted,   // a `size`-byte length, then that many bytes
    Line,      // up to and including a newline
    TwoLines,  // two such lines
};

struct Layout {
    Arg arg = Arg::Unknown;
    unsigned char size = 0;
};

struct Table {
    Layout op[256];

    Table()
    {
        for (unsigned char c : std::string_view(
                 "(.012N)]}tladsuebRoQ\x81\x85\x86\x87\x88\x89\x8f"
                 "\x90\x91\x92\x93\x94\x97\x98"))
            op[c] = {Arg::None, 0};
        struct Entry {
            unsigned char code;
            Arg arg;
            unsigned char size;
        };
        const Entry fixed[] = {
            {'J', Arg::Fixed, 4},    {'K', Arg::Fixed, 1},
            {'M', Arg::Fixed, 2},    {'h', Arg::Fixed, 1},
            {'j', Arg::Fixed, 4},    {'q', Arg::Fixed, 1},
            {'r', Arg::Fixed, 4},    {0x82, Arg::Fixed, 1},
            {0x83, Arg::Fixed, 2},   {0x84, Arg::Fixed, 4},
            {'G', Arg::Fixed, 8},    {0x80, Arg::Fixed, 1},
            {0x95, Arg::Fixed, 8},   {0x8a, Arg::Counted, 1},
            {0x8b, Arg::Counted, 4}, {'T', Arg::Counted, 4},
            {'U', Arg::Counted, 1},  {'X', Arg::Counted, 4},
            {0x8c, Arg::Counted, 1}, {0x8d, Arg::Counted, 8},
            {'B', Arg::Counted, 4},  {'C', Arg::Counted, 1},
            {0x8e, Arg::Counted, 8}, {0x96, Arg::Counted, 8},
            {'I', Arg::Line, 0},     {'L', Arg::Line, 0},
            {'S', Arg::Line, 0},     {'V', Arg::Line, 0},
            {'F', Arg::Line, 0},     {'p', Arg::Line, 0},
            {'g', Arg::Line, 0},     {'P', Arg::Line, 0},
            {'c', Arg::TwoLines, 0}, {'i', Arg::TwoLines, 0},
        };
        for (const Entry &e : fixed)
            op[e.code] = {e.arg, e.size};
    }
};

const Table table;

// The index a text PUT line names, or UINT64_MAX when it is not a plain
// decimal number (the unpickler's int() also takes signs, spaces and
// underscores; any of those makes the scan assume the worst).
uint64_t text_index(const unsigned char *p, size_t n)
{
    uint64_t v = 0;
    if (n == 0)
        return UINT64_MAX;
    for (size_t i = 0; i < n; ++i) {
        if (p[i] < '0' || p[i] > '9' || v > (UINT64_MAX - 9) / 10)
            return UINT64_MAX;
        v = v * 10 + (p[i] - '0');
    }
    return v;
}

// max_memo_index(data: bytes) -> int: the largest index an explicit PUT,
// BINPUT or LONG_BINPUT of the stream names, -1 when it names none.
PyObject *max_memo_index(PyObject *, PyObject *arg)
{
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) < 0)
        return nullptr;
    const auto *p = static_cast<const unsigned char *>(view.buf);
    const size_t n = static_cast<size_t>(view.len);
    int64_t best = -1;
    auto note = [&best](uint64_t index) {
        const int64_t i =
            index > INT64_MAX ? INT64_MAX : static_cast<int64_t>(index);
        if (i > best)
            best = i;
    };
    size_t at = 0;
    while (at < n) {
        const unsigned char code = p[at++];
        const Layout lay = table.op[code];
        if (lay.arg == Arg::Unknown || code == '.')
            break;
        if (lay.arg == Arg::None)
            continue;
        if (lay.arg == Arg::Fixed || lay.arg == Arg::Counted) {
            if (n - at < lay.size)
                break;
            const uint64_t v = le(p + at, lay.size);
            at += lay.size;
            if (code == 'q' || code == 'r')
                note(v);
            if (lay.arg == Arg::Counted) {
                if (n - at < v)
                    break;
                at += static_cast<size_t>(v);
            }
            continue;
        }
        const int lines = lay.arg == Arg::TwoLines ? 2 : 1;
        bool whole = true;
        for (int l = 0; l < lines && whole; ++l) {
            const void *nl = std::memchr(p + at, '\n', n - at);
            if (nl == nullptr) {
                whole = false;
                break;
            }
            const size_t end = static_cast<const unsigned char *>(nl) - p;
            if (code == 'p')
                note(text_index(p + at, end - at));
            at = end + 1;
        }
        if (!whole)
            break;
    }
    PyBuffer_Release(&view);
    return PyLong_FromLongLong(best);
}

int exec_module(PyObject *)
{
    return 0;
}

PyMethodDef methods[] = {
    {"max_memo_index", max_memo_index, METH_O,
     "max_memo_index(data)\n--\n\n"
     "The largest memo index an explicit PUT, BINPUT or LONG_BINPUT of the\n"
     "pickle stream `data` names, or -1 when it names none."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

TW_MODULE(_opscan,
          "A look at a pickle stream's opcodes before the C unpickler loads "
          "it.",
          methods, exec_module)
