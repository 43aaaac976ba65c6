// Private declarations of the pickler module, shared by the files it is
// built from: pickler.cpp (the module body: functions, classes, module
// init), pickler_lookups.cpp, pickler_rules.cpp, pickler_used_attrs.cpp,
// pickler_naming.cpp, pickler_failure.cpp, pickler_reuse.cpp,
// pickler_records.cpp and pickler_redact.cpp (which keeps its own header).
// Nothing here is seen outside the module's shared object.
#pragma once

#include "tw.hpp"
#include "tw/tarn_pickle_api.hpp"

#include <cstdint>

namespace tw_pickler {

using tw::Ref;

// The remembered lookups of the shared layer (tw/attr.hpp), under the
// names the pickler's files use.
#define GLOBAL(mod, name) TW_GLOBAL(mod, name)
#define CLASS_ATTR(cls, name) TW_CLASS_ATTR(cls, name)
#define MODULE_ATTR(module, name) TW_MODULE_ATTR(module, name)

// getattr(obj, "name"); new reference.
#define ATTR(obj, name) tw::getattr((obj), TW_STR(name))

// A class table of SafePickler, read through the class; new reference.
#define TABLE(mod, name)                                                      \
    ([&]() -> Ref {                                                           \
        Ref cls_ = GLOBAL((mod), "SafePickler");                              \
        if (!cls_)                                                            \
            return nullptr;                                                   \
        return CLASS_ATTR(cls_.get(), name);                                  \
    }())

// `item in SafePickler.<name>`: 1, 0 or -1.
#define IN_TABLE(mod, name, item) in_table(TABLE((mod), name), (item))

// ---- pickler_lookups.cpp: small helpers

int lookup(PyObject *obj, PyObject *name, Ref *out);
int contains(PyObject *container, PyObject *item);
int compare(PyObject *a, PyObject *b, int op);
Ref mapping_get(PyObject *mapping, PyObject *key, PyObject *dflt);
bool swallow();
PyObject *to_bool(int r);
Ref import_loadclass();
int unpack2(PyObject *value, Ref &a, Ref &b);
Ref raise_problematic(PyObject *mod, PyObject *obj_type, const char *tail);
int has_attr_38(PyObject *obj, PyObject *name);
int is_subclass(PyObject *derived, PyObject *cls);
int in_table(Ref table, PyObject *item);

// ---- pickler_rules.cpp: SafePickler's rules and reducer_override

int is_classmethod_impl(PyObject *method);
int is_obj_python_based_impl(PyObject *mod, PyObject *obj);
int has_python_getattr_impl(PyObject *mod, PyObject *obj);
int is_obj_function_impl(PyObject *mod, PyObject *obj_type);
Ref rebuild_function_for(PyObject *mod, PyObject *obj, PyObject *obj_type,
                         PyObject *obj_name_in);
int is_subclass_for_skip_impl(PyObject *mod, PyObject *obj);
Ref is_problematic_impl(PyObject *mod, PyObject *obj);
Ref reduce_function_impl(PyObject *mod, PyObject *obj);
Ref reduce_used_attrs_impl(PyObject *mod, PyObject *obj, PyObject *attributes,
                           bool recorded = false);
Ref existing_dict(PyObject *obj);
Ref reducer_override_impl(PyObject *mod, PyObject *self, PyObject *obj);
// Whether `tp` is a class of this package (its records and metrics).
bool recorders_own(PyTypeObject *tp);
// Whether `tp` is a class of the recorder's calls and metrics: whatever of
// the program they hold is already serialized (and redacted) when they
// are, and their own attribute names are never the program's.
bool recorders_record(PyTypeObject *tp);

// ---- pickler_used_attrs.cpp: objects written by their used attributes

Ref attributes_value_impl(PyObject *mod, PyObject *obj, PyObject *attributes,
                          bool recorded = false);

// ---- pickler_naming.cpp: importable dotted names

Ref full_name_impl(PyObject *mod, PyObject *obj);
int capture_names(PyObject *m);

// ---- pickler_failure.cpp: the failure reducer

struct DirMarks;
int capture_routines(PyObject *inspect);
int should_use_getattr_impl(PyObject *mod, PyObject *obj, PyObject *prop,
                            PyObject *object_dir, PyObject *class_dir,
                            const DirMarks *marks = nullptr);
extern tw::TarnCurrentWalk current_walk;
Ref failure_reduce_impl(PyObject *mod, PyObject *obj);

// ---- pickler.cpp: the module body

extern PyMethodDef SafePickler_init_def;
PyObject *SafePickler_init(TW_FASTCALL_ARGS(mod));

// ---- pickler_reuse.cpp: safe_pickle and its reusable pickler

extern initproc safe_pickler_tp_init;
extern PyMethodDef safe_pickle_def;
extern PyMethodDef safe_pickle_loads_def;
int capture_originals(PyObject *m);
// Whether a dump made now would be made by this module's own SafePickler,
// as built, writing into io's own BytesIO: 1, 0, or -1 with an exception.
int own_pickler_in_place(PyObject *mod);

// ---- pickler_records.cpp: the package's own objects, written directly

// The plain dump of `obj` written without the C pickler, byte for byte as
// it would write it: 1 with the bytes in `out`; 0 when `obj` is not one of
// the package's own records or metrics or holds something else; -1 with an
// exception set. `named` (when given) tells whether a dict key or attribute
// name written matches a redaction pattern (the names of the recorder's
// own records excepted): when it does not, the dump holds nothing to
// redact by name.
int own_object_dump(PyObject *mod, PyObject *obj, Ref &out,
                    bool *named = nullptr);
extern PyMethodDef own_objects_written_def;

}  // namespace tw_pickler
