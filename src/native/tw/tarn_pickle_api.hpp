// The C entry that tarnwick_collector.data_serialization._tarn_pickle
// offers the package's other modules, through a capsule.
#pragma once

#include "ref.hpp"

namespace tw {

// Pickler.dump(pickler, obj) for a caller that has read already what dump
// reads from the pickler: `dict` is the pickler's __dict__, whose
// attribute access is the generic one and whose class has no attribute
// named failure_reducer, special_cases or _tarn_protocol, so that those
// are the entries `failure_reducer` (not None), `special_cases` and
// `protocol` of `dict`; and `dict` has no entry reducer_override. All
// borrowed. `module` is the _tarn_pickle module. New reference (None), or
// NULL with an exception set.
using TarnDumpPrepared = PyObject *(*)(PyObject *module, PyObject *pickler,
                                       PyObject *dict, PyObject *obj,
                                       PyObject *failure_reducer,
                                       PyObject *special_cases,
                                       PyObject *protocol);

// The capsule holding a TarnDumpPrepared, for PyCapsule_Import.
#define TW_TARN_DUMP_PREPARED_CAPSULE                                         \
    "tarnwick_collector.data_serialization._tarn_pickle._dump_prepared"

// What the failure reducer's attribute walk may still do, for the dump
// that calls it. _tarn_pickle keeps one per dump and makes it the current
// one of the thread for the length of each failure reducer call; outside
// those calls there is none (a failure reducer called directly walks
// without bounds).
struct TarnWalk {
    // Not NULL: the object's attributes are not read at all, and its
    // placeholder carries this text instead (as the value of the entry
    // TW_TARN_WALK_MARK of its state).
    const char *flat;
    // Attribute reads (and walks: each costs one more) that the dump's
    // placeholders may still make.
    Py_ssize_t left;
    // Placeholders a bound cut short (flat or budget) in this dump.
    Py_ssize_t cut;
};

// The walk bounds of the current failure reducer call of this thread, or
// NULL.
using TarnCurrentWalk = TarnWalk *(*)();

// The state entry of a placeholder cut short by a bound.
#define TW_TARN_WALK_MARK "..."

// The capsule holding a TarnCurrentWalk, for PyCapsule_Import.
#define TW_TARN_CURRENT_WALK_CAPSULE                                          \
    "tarnwick_collector.data_serialization._tarn_pickle._current_walk"

}  // namespace tw
