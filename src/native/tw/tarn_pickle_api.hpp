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

}  // namespace tw
