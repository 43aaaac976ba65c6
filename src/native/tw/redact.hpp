// Redaction of values stored under secret-looking names: the name matcher
// and the walk over plain containers, shared by the pickler (dict keys and
// object attributes) and the recording core (argument names, environment
// reads).
//
// The patterns are `CollectorSettings.redact_patterns`, normalized by
// tarnwick_common.redaction (lower case, without '_' and '-', at least three
// ASCII letters or digits). A name matches when one pattern is a part of it
// after the same normalization. Each module keeps one Matcher, recompiled
// when the settings hold another tuple.
//
// Cost when nothing matches. The pickler walks every value it writes
// before the C pickler sees it, because exact dicts are written without
// asking any hook. So the walk looks at exact dict, list and tuple objects
// only, and a key is matched through a small cache keyed by the key's
// identity (dict keys are mostly the same interned strings) and, on a
// miss, a scan that tests a bitmap of the patterns' first two letters at
// each position before comparing. Nothing is allocated unless something
// matches; then only the containers on the way to the match are copied.
//
// Shared or cyclic containers: the walk first runs without memory, bounded
// in depth and in the number of containers visited; a value that goes
// beyond either is walked again with a memo of every container seen, so a
// cycle or a graph of shared parts costs its size, not its paths.
#pragma once

#include "ref.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tw {
namespace redact {

// Lower-cases an ASCII letter; '_' and '-' give 0 (skipped); any other
// non-ASCII code point gives 0x80, which no pattern contains.
inline unsigned char fold(Py_UCS4 c)
{
    if (c == '_' || c == '-')
        return 0;
    if (c >= 'A' && c <= 'Z')
        return static_cast<unsigned char>(c + ('a' - 'A'));
    if (c < 0x80)
        return static_cast<unsigned char>(c);
    return 0x80;
}

// Byte to folded letter, for names read out of bytes: upper case to lower,
// '_' and '-' to 0 (skipped), bytes of non-ASCII text to 0x80, which no
// letter or digit is; NUL too, so that only the two separators read as 0.
struct FoldTable {
    unsigned char t[256];
    constexpr FoldTable() : t()
    {
        for (int c = 0; c < 256; c++)
            t[c] = c == 0 || c >= 0x80 ? 0x80
                   : c == '_' || c == '-'
                       ? 0
                       : static_cast<unsigned char>(
                             c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    }
};
inline constexpr FoldTable kFoldTable{};

class Matcher {
  public:
    ~Matcher() = default;  // the cache's references live with the process

    bool on() const { return !patterns_.empty(); }

    // The setting compiled last (borrowed; NULL before the first).
    PyObject *source() const { return source_; }

    // Compiles `setting` (a tuple or list of str, or anything falsy for
    // "off") unless it is the tuple compiled last. Items that are not str
    // are ignored: the settings validate what they are given. 1 when
    // compiled anew, 0 when unchanged, -1 on error.
    int update(PyObject *setting)
    {
        if (setting == source_ && setting != nullptr &&
            PyTuple_CheckExact(setting))
            return 0;
        patterns_.clear();
        std::memset(bigrams_, 0, sizeof bigrams_);
        firsts_.clear();
        seconds_.clear();
        vector_ = false;
        scannable_ = true;
        clear_cache();
        Py_XINCREF(setting);
        Py_XSETREF(source_, setting);
        if (setting == nullptr || setting == Py_None)
            return 1;
        if (!PyTuple_Check(setting) && !PyList_Check(setting))
            return 1;
        Ref items = Ref::steal(PySequence_Tuple(setting));
        if (!items)
            return -1;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); i++) {
            PyObject *p = PyTuple_GET_ITEM(items.get(), i);
            if (!PyUnicode_Check(p) || PyUnicode_READY(p) < 0) {
                PyErr_Clear();
                continue;
            }
            std::string folded;
            const int kind = PyUnicode_KIND(p);
            const void *data = PyUnicode_DATA(p);
            for (Py_ssize_t j = 0; j < PyUnicode_GET_LENGTH(p); j++) {
                unsigned char c = fold(PyUnicode_READ(kind, data, j));
                if (c != 0)
                    folded.push_back(static_cast<char>(c));
            }
            if (folded.size() < 3)
                continue;
            const unsigned b = bigram(folded[0], folded[1]);
            bigrams_[b >> 6] |= uint64_t(1) << (b & 63);
            for (char c : folded)
                if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
                    scannable_ = false;
            add_letters(folded[0], folded[1]);
            patterns_.push_back(std::move(folded));
        }
        return 1;
    }

    // Whether found_in can be trusted: every pattern is ASCII letters and
    // digits, which any text holding a matching name keeps as bytes.
    bool scannable() const { return on() && scannable_; }

    // Whether a name that matches may be written in `s` (a pickle stream):
    // each pattern is looked for in the bytes read as one long name, ASCII
    // letters without case and '_' and '-' skipped. Every str or bytes
    // that matches() holds is found in any stream that holds its text
    // (UTF-8, raw-unicode-escape or the bytes themselves); the rest of the
    // stream only adds false alarms. Needs scannable().
    bool found_in(const unsigned char *s, size_t n) const
    {
        size_t i = 0;
#if defined(__SSE2__)
        if (vector_ && n >= 17) {
            for (; i + 17 <= n; i += 16)
                if (found_in_block(s, n, i, candidates16(s + i)))
                    return true;
            // The rest as one more block ending at the last byte, without
            // the positions looked at already.
            const size_t start = n - 17;
            const unsigned seen = (1u << (i - start)) - 1;
            return found_in_block(s, n, start,
                                  candidates16(s + start) & ~seen);
        }
#endif
        for (; i + 2 < n; i++)
            if (kFoldTable.t[s[i]] != 0 && found_at(s, n, i))
                return true;
        return false;
    }

    // Whether `name` (str or bytes; anything else never matches) matches
    // a pattern. Calls no Python code. The common case, a key met before,
    // is one probe of the cache, inline.
    bool matches(PyObject *name)
    {
        const Entry &e =
            cache_[(reinterpret_cast<uintptr_t>(name) >> 4) % kCache];
        if (e.key == name)
            return e.hit;
        return match_slow(name);
    }

  private:
    // Notes a pattern's first two letters for the filter of found_in.
    void add_letters(char first, char second)
    {
        if (firsts_.find(first) == std::string::npos)
            firsts_.push_back(first);
        if (seconds_.find(second) == std::string::npos)
            seconds_.push_back(second);
#if defined(__SSE2__)
        vector_ = firsts_.size() <= kVectorLetters &&
                  seconds_.size() <= kVectorLetters;
        if (vector_) {
            // Every slot is used, the letters repeated: a loop of fixed
            // length unrolls.
            for (size_t i = 0; i < kVectorLetters; i++) {
                first_v_[i] = _mm_set1_epi8(firsts_[i % firsts_.size()]);
                second_v_[i] = _mm_set1_epi8(seconds_[i % seconds_.size()]);
            }
        }
#endif
    }

    // Whether a pattern starts at one of the positions `start + bit` of
    // `mask`.
    bool found_in_block(const unsigned char *s, size_t n, size_t start,
                        unsigned mask) const
    {
        while (mask != 0) {
            const unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
            if (found_at(s, n, start + bit))
                return true;
            mask &= mask - 1;
        }
        return false;
    }

    // Whether a pattern starts at `s[i]`, reading on across separators.
    bool found_at(const unsigned char *s, size_t n, size_t i) const
    {
        const unsigned char first = kFoldTable.t[s[i]];
        size_t j = i + 1;
        while (j < n && kFoldTable.t[s[j]] == 0)
            j++;
        if (j >= n)
            return false;
        const unsigned b = (first << 8) | kFoldTable.t[s[j]];
        if (!(bigrams_[b >> 6] & (uint64_t(1) << (b & 63))))
            return false;
        for (const std::string &p : patterns_) {
            if (static_cast<unsigned char>(p[0]) != first)
                continue;
            size_t k = 1, at = j;
            while (k < p.size() && at < n) {
                const unsigned char c = kFoldTable.t[s[at++]];
                if (c == 0)
                    continue;
                if (c != static_cast<unsigned char>(p[k]))
                    break;
                k++;
            }
            if (k == p.size())
                return true;
        }
        return false;
    }

#if defined(__SSE2__)
    static constexpr size_t kVectorLetters = 8;

    // The positions of `s[0..16)` where a pattern may start: a byte that
    // may fold to a pattern's first letter followed by one that may fold
    // to a pattern's second letter, or by a separator (found_at then
    // tests the pair). OR-ing 0x20 folds the letters' case and lets only
    // some control bytes through besides. Reads s[0..17).
    unsigned candidates16(const unsigned char *s) const
    {
        const __m128i case_bit = _mm_set1_epi8(0x20);
        const __m128i here =
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(s));
        const __m128i next =
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 1));
        const __m128i a = _mm_or_si128(here, case_bit);
        __m128i first = _mm_setzero_si128();
        for (size_t i = 0; i < kVectorLetters; i++)
            first = _mm_or_si128(first, _mm_cmpeq_epi8(a, first_v_[i]));
        if (_mm_movemask_epi8(first) == 0)
            return 0;
        const __m128i b = _mm_or_si128(next, case_bit);
        __m128i second =
            _mm_or_si128(_mm_cmpeq_epi8(next, _mm_set1_epi8('_')),
                         _mm_cmpeq_epi8(next, _mm_set1_epi8('-')));
        for (size_t i = 0; i < kVectorLetters; i++)
            second = _mm_or_si128(second, _mm_cmpeq_epi8(b, second_v_[i]));
        return static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(first, second)));
    }
#endif

    __attribute__((noinline)) bool match_slow(PyObject *name)
    {
        if (patterns_.empty())
            return false;
        bool hit;
        if (PyUnicode_Check(name))
            hit = match_str(name);
        else if (PyBytes_Check(name))
            hit = match_bytes(name);
        else
            return false;
        if (PyUnicode_CheckExact(name) || PyBytes_CheckExact(name)) {
            // Only exact str and bytes: dropping one runs no code.
            Entry &e =
                cache_[(reinterpret_cast<uintptr_t>(name) >> 4) % kCache];
            Py_INCREF(name);
            Py_XSETREF(e.key, name);
            e.hit = hit;
        }
        return hit;
    }

    static constexpr size_t kCache = 1024;
    struct Entry {
        PyObject *key = nullptr;  // strong: exact str or bytes
        bool hit = false;
    };

    static unsigned bigram(char a, char b)
    {
        return (static_cast<unsigned char>(a) << 8) |
               static_cast<unsigned char>(b);
    }

    void clear_cache()
    {
        for (Entry &e : cache_) {
            Py_CLEAR(e.key);
            e.hit = false;
        }
    }

    bool search(const unsigned char *s, size_t n) const
    {
        if (n < 3)
            return false;
        for (size_t i = 0; i + 2 < n; i++) {
            const unsigned b = (s[i] << 8) | s[i + 1];
            if (!(bigrams_[b >> 6] & (uint64_t(1) << (b & 63))))
                continue;
            for (const std::string &p : patterns_)
                if (p.size() <= n - i &&
                    std::memcmp(s + i, p.data(), p.size()) == 0)
                    return true;
        }
        return false;
    }

    template <typename Read>
    bool fold_and_search(Py_ssize_t len, Read read) const
    {
        unsigned char small[128];
        std::vector<unsigned char> large;
        unsigned char *buf = small;
        if (len > static_cast<Py_ssize_t>(sizeof small)) {
            large.resize(static_cast<size_t>(len));
            buf = large.data();
        }
        size_t n = 0;
        for (Py_ssize_t i = 0; i < len; i++) {
            unsigned char c = fold(read(i));
            if (c != 0)
                buf[n++] = c;
        }
        return search(buf, n);
    }

    bool match_str(PyObject *name) const
    {
        if (PyUnicode_READY(name) < 0) {
            PyErr_Clear();
            return false;
        }
        const int kind = PyUnicode_KIND(name);
        const void *data = PyUnicode_DATA(name);
        return fold_and_search(PyUnicode_GET_LENGTH(name), [&](Py_ssize_t i) {
            return PyUnicode_READ(kind, data, i);
        });
    }

    bool match_bytes(PyObject *name) const
    {
        const unsigned char *data =
            reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(name));
        return fold_and_search(PyBytes_GET_SIZE(name), [&](Py_ssize_t i) {
            return static_cast<Py_UCS4>(data[i]);
        });
    }

    PyObject *source_ = nullptr;  // strong: the setting compiled last
    std::vector<std::string> patterns_;
    // The patterns' distinct first letters, and their second ones.
    std::string firsts_, seconds_;
    bool scannable_ = true;
    bool vector_ = false;
#if defined(__SSE2__)
    __m128i first_v_[kVectorLetters];  // each of firsts_ in every byte
    __m128i second_v_[kVectorLetters];
#endif
    uint64_t bigrams_[65536 / 64] = {};
    Entry cache_[kCache];
};

// Copy on first change of a tuple: makes `copy` a new tuple holding the
// items of `of` unless it already is one; false (an exception set) when
// the copy cannot be made.
inline bool copy_tuple_once(Ref &copy, PyObject *of)
{
    if (copy)
        return true;
    const Py_ssize_t n = PyTuple_GET_SIZE(of);
    copy = Ref::steal(PyTuple_New(n));
    if (!copy)
        return false;
    for (Py_ssize_t j = 0; j < n; j++)
        PyTuple_SET_ITEM(copy.get(), j, Py_NewRef(PyTuple_GET_ITEM(of, j)));
    return true;
}

// Puts `value` (a new reference, taken) at `i` of the tuple `copy` made by
// copy_tuple_once, releasing the item it replaces.
inline void replace_tuple_item(PyObject *copy, Py_ssize_t i, PyObject *value)
{
    PyObject *old = PyTuple_GET_ITEM(copy, i);
    PyTuple_SET_ITEM(copy, i, value);
    Py_DECREF(old);
}

// What a walk needs besides the matcher; all borrowed.
struct Hooks {
    PyObject *marker;         // the value stored in place of a redacted one
    PyObject *remember;       // remember(value) for exception texts, or NULL
    PyObject *scrub;          // scrub_exception(exc, patterns) -> exc or a
                              // copy, or NULL
    PyObject *secrets;        // frozenset of the str values redacted so far,
                              // written as the marker wherever they appear
                              // whole; NULL when there are none
    uint64_t secret_lengths;  // bit min(len, 63) set for each of them
};

// One walk of a value (see the head comment).
class Walk {
  public:
    // Holds the secrets set for the walk: code the walk runs (remember,
    // scrub) may let another thread replace the module's.
    Walk(Matcher &m, const Hooks &h)
        : m_(m), h_(h), patterns_(Ref::borrow(m.source()))
    {
        Py_XINCREF(h_.secrets);
        if (!patterns_)
            patterns_ = Ref::borrow(Py_None);
    }
    ~Walk()
    {
        if (!may_release())
            return;
        clear_memo();
        Py_XDECREF(h_.secrets);
    }
    Walk(const Walk &) = delete;
    Walk &operator=(const Walk &) = delete;

    // `obj` itself or a redacted copy; new reference.
    Ref value(PyObject *obj)
    {
        if (!m_.on())
            return Ref::borrow(obj);
        if (secret(obj))
            return Ref::borrow(h_.marker);
        if (!walked(obj))
            return Ref::borrow(obj);
        Ref out = walk(obj, 0);
        return again(obj, std::move(out), false);
    }

    // The entries of a mapping (any dict, subclasses included, read
    // through its storage) with redaction applied: `mapping` itself when
    // nothing changed, else a new exact dict. New reference.
    Ref entries(PyObject *mapping)
    {
        if (!m_.on())
            return Ref::borrow(mapping);
        Ref out = dict(mapping, 0);
        return again(mapping, std::move(out), true);
    }

    // The marker for a value found under a matching name; new reference.
    Ref redacted(PyObject *value)
    {
        if (h_.remember != nullptr) {
            Ref r = Ref::steal(PyObject_CallOneArg(h_.remember, value));
            if (!r)
                return nullptr;
        }
        return Ref::borrow(h_.marker);
    }

  private:
    static constexpr int kFastDepth = 48;
    static constexpr size_t kFastVisits = 1000000;
    static constexpr int kMaxDepth = 900;

    // Whether `v` is a str value redacted before: a length test rules out
    // nearly every other str without touching its characters.
    bool secret(PyObject *v) const
    {
        if (h_.secrets == nullptr || !PyUnicode_CheckExact(v))
            return false;
        const Py_ssize_t n = PyUnicode_GET_LENGTH(v);
        if (!(h_.secret_lengths & (uint64_t(1) << (n < 63 ? n : 63))))
            return false;
        const int r = PySet_Contains(h_.secrets, v);
        if (r < 0)
            PyErr_Clear();
        return r > 0;
    }

    // Whether the walk looks inside `v`: one flags test rules out the
    // atoms of the common case.
    bool walked(PyObject *v) const
    {
        const unsigned long flags = Py_TYPE(v)->tp_flags;
        if (!(flags &
              (Py_TPFLAGS_DICT_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS |
               Py_TPFLAGS_TUPLE_SUBCLASS | Py_TPFLAGS_BASE_EXC_SUBCLASS)))
            return false;
        return PyDict_CheckExact(v) || PyList_CheckExact(v) ||
               PyTuple_CheckExact(v) ||
               (h_.scrub != nullptr && (flags & Py_TPFLAGS_BASE_EXC_SUBCLASS));
    }

    // Walks `obj` again when the first walk could not finish (with a memo)
    // or when a redacted copy of a cyclic value still reaches the original
    // through a cycle (then every container is copied, as deepcopy does).
    Ref again(PyObject *obj, Ref out, bool as_mapping)
    {
        if (out && overflow_) {
            overflow_ = false;
            memoize_ = true;
            clear_memo();
            out = as_mapping ? dict(obj, 0) : walk(obj, 0);
        }
        if (out && memoize_ && cycle_ && out.get() != obj) {
            deep_ = true;
            clear_memo();
            out = as_mapping ? dict(obj, 0) : walk(obj, 0);
        }
        return out;
    }

    void clear_memo()
    {
        for (auto &kv : memo_) {
            Py_DECREF(kv.first);
            Py_DECREF(kv.second);
        }
        memo_.clear();
    }

    // Remembers `out` as the walk of `obj` (both borrowed).
    void memo_set(PyObject *obj, PyObject *out)
    {
        auto it = memo_.find(obj);
        if (it != memo_.end()) {
            Py_INCREF(out);
            Py_SETREF(it->second, out);
            return;
        }
        Py_INCREF(obj);
        Py_INCREF(out);
        memo_.emplace(obj, out);
    }

    // The instance dict `obj` has already, or None; borrowed. Asking for
    // `exc.__dict__` would give an exception one it does not have yet, and
    // an exception given a __dict__ pickles differently from then on.
    static PyObject *existing_dict(PyObject *obj)
    {
        PyObject **slot = _PyObject_GetDictPtr(obj);
        return slot != nullptr && *slot != nullptr ? *slot : Py_None;
    }

    Ref walk(PyObject *obj, int depth)
    {
        if (PyExceptionInstance_Check(obj)) {
            if (h_.scrub == nullptr)
                return Ref::borrow(obj);
            PyObject *argv[] = {obj, patterns_.get(), existing_dict(obj)};
            return Ref::steal(PyObject_Vectorcall(h_.scrub, argv, 3, nullptr));
        }
        if (!memoize_) {
            if (depth > kFastDepth || ++visits_ > kFastVisits) {
                overflow_ = true;
                return Ref::borrow(obj);
            }
        } else {
            auto it = memo_.find(obj);
            if (it != memo_.end()) {
                if (it->second == obj)
                    cycle_ = true;  // met again inside its own walk
                return Ref::borrow(it->second);
            }
            if (depth > kMaxDepth)
                return Ref::borrow(obj);  // deeper than pickle can write
            if (deep_)
                return deep(obj, depth);
            memo_set(obj, obj);  // in progress
        }
        Ref out;
        if (PyDict_CheckExact(obj))
            out = dict(obj, depth);
        else if (PyList_CheckExact(obj))
            out = list(obj, depth);
        else
            out = tuple(obj, depth);
        if (out && memoize_)
            memo_set(obj, out.get());
        return out;
    }

    // A copy of every container of a cyclic value, made before its items
    // so that the cycles close on the copies.
    Ref deep(PyObject *obj, int depth)
    {
        if (PyDict_CheckExact(obj)) {
            Ref copy = Ref::steal(PyDict_New());
            if (!copy)
                return nullptr;
            memo_set(obj, copy.get());
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (PyDict_Next(obj, &pos, &k, &v)) {
                Ref key = Ref::borrow(k);
                Ref out = entry(key.get(), v, depth);
                if (!out ||
                    PyDict_SetItem(copy.get(), key.get(), out.get()) < 0)
                    return nullptr;
            }
            return copy;
        }
        if (PyList_CheckExact(obj)) {
            Ref copy = Ref::steal(PyList_New(0));
            if (!copy)
                return nullptr;
            memo_set(obj, copy.get());
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); i++) {
                PyObject *v = PyList_GET_ITEM(obj, i);
                Ref out = walked(v)   ? item(v, depth)
                          : secret(v) ? Ref::borrow(h_.marker)
                                      : Ref::borrow(v);
                if (!out || PyList_Append(copy.get(), out.get()) < 0)
                    return nullptr;
            }
            return copy;
        }
        // A tuple cannot hold itself but through a list or dict, whose
        // copy is then remembered already.
        Ref out = tuple(obj, depth);
        if (!out)
            return nullptr;
        auto it = memo_.find(obj);
        if (it != memo_.end())
            return Ref::borrow(it->second);
        memo_set(obj, out.get());
        return out;
    }

    // The redacted form of a container item that may need one: NULL with
    // an exception, else a new reference (`v` itself when unchanged).
    // Held during its walk, which may run code that drops it elsewhere.
    Ref item(PyObject *v, int depth)
    {
        Ref held = Ref::borrow(v);
        return walk(held.get(), depth + 1);
    }

    // What a dict entry is written as; the plain atoms of the common case
    // cost a type test, and a key one cache probe.
    Ref entry(PyObject *k, PyObject *v, int depth)
    {
        if (v != Py_None && m_.matches(k)) {
            Ref held = Ref::borrow(v);
            return redacted(held.get());
        }
        if (!walked(v))
            return Ref::borrow(secret(v) ? h_.marker : v);
        return item(v, depth);
    }

    Ref dict(PyObject *obj, int depth)
    {
        Ref copy;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(obj, &pos, &k, &v)) {
            if (!walked(v) && (v == Py_None || (!m_.matches(k) && !secret(v))))
                continue;
            if (overflow_)
                break;
            Ref key = Ref::borrow(k);
            Ref out = entry(key.get(), v, depth);
            if (!out)
                return nullptr;
            if (out.get() == v)
                continue;
            if (!copy) {
                copy = Ref::steal(PyDict_Copy(obj));
                if (!copy)
                    return nullptr;
            }
            if (PyDict_SetItem(copy.get(), key.get(), out.get()) < 0)
                return nullptr;
        }
        return copy ? std::move(copy) : Ref::borrow(obj);
    }

    Ref list(PyObject *obj, int depth)
    {
        Ref copy;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); i++) {
            PyObject *v = PyList_GET_ITEM(obj, i);
            if (!walked(v) && !secret(v))
                continue;
            if (overflow_)
                break;
            Ref out = walked(v) ? item(v, depth) : Ref::borrow(h_.marker);
            if (!out)
                return nullptr;
            if (i >= PyList_GET_SIZE(obj) ||
                out.get() == PyList_GET_ITEM(obj, i))
                continue;
            if (!copy) {
                copy = Ref::steal(PyList_GetSlice(obj, 0, PY_SSIZE_T_MAX));
                if (!copy)
                    return nullptr;
            }
            if (i < PyList_GET_SIZE(copy.get()))
                PyList_SetItem(copy.get(), i, out.release());
        }
        return copy ? std::move(copy) : Ref::borrow(obj);
    }

    Ref tuple(PyObject *obj, int depth)
    {
        const Py_ssize_t n = PyTuple_GET_SIZE(obj);
        Ref copy;
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject *v = PyTuple_GET_ITEM(obj, i);
            if (!walked(v) && !secret(v))
                continue;
            if (overflow_)
                break;
            Ref out = walked(v) ? item(v, depth) : Ref::borrow(h_.marker);
            if (!out)
                return nullptr;
            if (out.get() == v)
                continue;
            if (!copy_tuple_once(copy, obj))
                return nullptr;
            replace_tuple_item(copy.get(), i, out.release());
        }
        return copy ? std::move(copy) : Ref::borrow(obj);
    }

    Matcher &m_;
    const Hooks h_;
    Ref patterns_;  // the setting the matcher compiled, for scrub
    bool memoize_ = false;
    bool overflow_ = false;
    bool cycle_ = false;
    bool deep_ = false;
    size_t visits_ = 0;
    std::unordered_map<PyObject *, PyObject *> memo_;  // both strong
};

}  // namespace redact
}  // namespace tw
