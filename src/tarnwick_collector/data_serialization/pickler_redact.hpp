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

// Whether the next dump is to be made without redaction first and kept
// when `found` says its bytes hold no matching name: redaction is on, the
// patterns can be looked for in bytes, no redacted value is remembered
// (those are replaced wherever they appear, whatever their name), and no
// recent dump held a match.
bool scan_first();

// Whether a dump made without redaction may hold a name to redact. A true
// answer also makes the next dumps redact first for a while.
bool found(PyObject *pickled);

// Whether the settings ask for redaction and `name` (a dict key, an
// attribute name) matches a pattern. Calls no Python code.
bool name_matches(PyObject *name);

// While one lives, the dumps of this thread redact (`redacting` true) or
// write what they are given (see scan_first); the way of an enclosing
// dump comes back after it.
class Way {
  public:
    explicit Way(bool redacting);
    ~Way();
    Way(const Way &) = delete;
    Way &operator=(const Way &) = delete;

  private:
    bool was_;
};

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
