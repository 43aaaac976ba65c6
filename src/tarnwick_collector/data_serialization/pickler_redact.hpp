// The safe pickler's side of redaction (pickler_redact.cpp): values stored
// under secret-looking names are written as the redaction marker.
#pragma once

#include "tw.hpp"

namespace pickler_redact {

// Compiles `patterns` (CollectorSettings.redact_patterns; NULL or None:
// redaction off) unless already compiled. 0 or -1.
int refresh(PyObject *patterns);

// Whether redaction is on for the dump in progress.
bool on();

// `obj` itself or a copy in which the values under matching dict keys are
// the marker; the whole value is walked through its plain containers. New
// reference.
tw::Ref value(PyObject *obj);

// `reduced`, the safe pickler's answer for `obj` (NotImplemented or a
// reduce value), with redaction applied to the state it writes: the
// instance attributes, the items of a dict subclass, the state of a reduce
// value. `pickler` is the SafePickler writing. Steals `reduced`; new
// reference.
tw::Ref reduction(PyObject *pickler, PyObject *obj, tw::Ref reduced);

}  // namespace pickler_redact
