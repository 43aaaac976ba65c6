// Process-wide lookup maps keyed by an object's address or by an integer,
// linked into the ostrelle extension module and exported from its shared
// object under unmangled names, so native code can share them.
//
// The maps store the raw pointers and integers they are given: nothing here
// touches a reference count or calls into the interpreter. Whoever stores an
// object pointer keeps the object alive for as long as the entry exists, and
// every caller serializes its accesses (in this package, by holding the
// interpreter's global lock). No lock is taken here.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <utility>

#include <tsl/robin_map.h>

#include "tw/compat.hpp"

namespace tw_map {

// A robin-hood map with the standard hash (an int or a pointer hashes to its
// own value, so objects are keyed by address), no hash stored in the
// buckets, power-of-two bucket counts that double when the table grows, and
// the library's default maximum load factor of 0.5.
template <class Key, class Value>
using RobinMap = tsl::robin_map<Key, Value, std::hash<Key>, std::equal_to<Key>,
                                std::allocator<std::pair<Key, Value>>, false,
                                tsl::rh::power_of_two_growth_policy<2>>;

using TidToFlag = RobinMap<int, uint8_t>;
using ObjectToCounter = RobinMap<PyObject *, int>;
using ObjectToObject = RobinMap<PyObject *, PyObject *>;
// The caller-owned map of set_int_to_int_item / get_int_to_int_item; the
// same type as a default tsl::robin_map<int, int>.
using IntToInt = RobinMap<int, int>;

}  // namespace tw_map

// Thread identifier to a currently-recording flag.
TW_EXPORT tw_map::TidToFlag g_tid_to_currently_recording;
// Function object to a counter.
TW_EXPORT tw_map::ObjectToCounter g_func_to_counter;
// Generator object to its metadata object.
TW_EXPORT tw_map::ObjectToObject g_gen_to_metadata;

// Every set_ function returns 0 once the change is made, and -1 when memory
// for the new entry could not be obtained (the map is then unchanged).
// Getters return 0 or NULL for a missing key; object results are borrowed.

// A non-null value inserts or overwrites; a null value erases the key.
TW_EXPORT int set_gen_to_metadata(PyObject *key, PyObject *value);
TW_EXPORT PyObject *get_gen_to_metadata(PyObject *key);

TW_EXPORT int set_tid_to_currently_recording(int key, uint8_t value);
TW_EXPORT uint8_t get_tid_to_currently_recording(int key);

TW_EXPORT int set_func_to_counter(PyObject *key, int value);
TW_EXPORT int get_func_to_counter(PyObject *key);

// `mapper` points to a tw_map::IntToInt (tsl::robin_map<int, int>) owned by
// the caller.
TW_EXPORT int set_int_to_int_item(void *mapper, int key, int value);
TW_EXPORT int get_int_to_int_item(void *mapper, int key);

// A caller-owned int map for callers that cannot construct the C++ type
// themselves (foreign-function callers): made empty, freed with
// free_int_to_int_map (NULL is ignored). NULL when out of memory.
TW_EXPORT void *new_int_to_int_map(void);
TW_EXPORT void free_int_to_int_map(void *mapper);

// The identity-keyed object map behind the metadata cache. A null value is
// stored like any other, so a NULL result means a missing key or a stored
// NULL alike.
TW_EXPORT int set_pyobject_to_pyobject_item(PyObject *key, PyObject *value);
TW_EXPORT PyObject *get_pyobject_to_pyobject_item(PyObject *key);
// Takes the entry of `key` out of the object map: its value (NULL when there
// was none), whose reference passes to the caller.
TW_EXPORT PyObject *pop_pyobject_to_pyobject_item(PyObject *key);

// Empties the object map, then hands each former entry to `visit` (when it
// is not NULL). The map is already empty while `visit` runs, so `visit` may
// release references and run code that stores new entries.
TW_EXPORT void drain_pyobject_to_pyobject_map(void (*visit)(PyObject *key,
                                                            PyObject *value));
