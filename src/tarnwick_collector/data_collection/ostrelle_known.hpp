// What the metadata of a plain function was made of, remembered between its
// calls (see ostrelle_known.cpp).
#pragma once

#include "tw.hpp"

namespace ostrelle_known {

// The parts of a user function's record that the package's naming, digest
// and signature functions work out.
struct Parts {
    tw::Ref module_name;
    tw::Ref full_name;
    tw::Ref signature;
    tw::Ref code_hash;
};

// Takes the working-out functions as the module imported them. 0 or -1.
int take_originals(PyObject *module);

// Whether `fn` is a function whose parts can be remembered: an exact
// function whose own namespace sets no signature of its own.
bool rememberable(PyObject *fn);

// The parts worked out for `fn` before, when everything they were made
// from is still the same object and the module still uses the functions it
// imported: true, with `out` filled. False otherwise, without an exception.
bool recall(PyObject *module, PyObject *fn, Parts &out);

// Remembers the parts just worked out for a rememberable `fn`, unless the
// module uses functions other than those it imported. 0, or -1 with
// MemoryError.
int learn(PyObject *module, PyObject *fn, const Parts &parts);

// Drops what was learnt of `fn`, a function being freed.
void forget(PyObject *fn);

}  // namespace ostrelle_known
