// The recording core's side of redaction (marrowick_redact.cpp): arguments
// named like secrets and the results of environment reads of secret
// variables are stored as the redaction marker.
#pragma once

#include "tw.hpp"

namespace marrowick_redact {

// Compiles CollectorSettings.redact_patterns (`patterns`; NULL or None:
// redaction off) unless already compiled. 0 or -1.
int refresh(PyObject *patterns);

bool on();

// `call_args`, the positional arguments recorded for a call of `function`
// (a function or a bound method; the first `skipped` parameters are not
// among them), with the value of every parameter whose name matches
// replaced by the marker: `call_args` itself when none does, else a new
// tuple. New reference.
tw::Ref positional(PyObject *function, Py_ssize_t skipped,
                   PyObject *call_args);

// Notes that `record` is the external call of `call` when `call` reads the
// environment (os.getenv, os.environ.get and their bytes twins). 0 or -1.
int note_external_call(PyObject *call, PyObject *record);

// The value to store as the result of the external call `record`: the
// marker when it read a secret environment variable, else `value`. New
// reference.
tw::Ref external_result(PyObject *record, PyObject *value);

}  // namespace marrowick_redact
