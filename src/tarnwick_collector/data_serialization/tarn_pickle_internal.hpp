// Declarations shared by the source files of the _tarn_pickle module; the
// design is described at the top of tarn_pickle_hook.cpp, and
// _tarn_pickle.cpp says which file holds what.
#pragma once

#include "tw.hpp"
#include "tw/tarn_pickle_api.hpp"

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace tw_tarn_pickle {

// The fields of the module's state, all strong references (or NULL): the
// one list that the struct, traverse_module and clear_module are made from.
#define TW_TARN_PICKLE_STATE(X)                                               \
    X(pickler_dump)     /* _pickle.Pickler.dump, unbound */                   \
    X(pickling_error)   /* _pickle.PicklingError */                           \
    X(copyreg_dispatch) /* copyreg.dispatch_table */                          \
    X(whichmodule)      /* pickle.whichmodule */                              \
    X(problematic)      /* ...exceptions.ProblematicPickleException */        \
    X(state_type)       /* DumpState */                                       \
    X(pickler_type)     /* _pickle.Pickler */                                 \
    X(default_protocol) /* pickle.DEFAULT_PROTOCOL */                         \
    X(highest_protocol) /* pickle.HIGHEST_PROTOCOL */                         \
    /* _pickle.Pickler.__dict__["dispatch_table"], or NULL when it is not a   \
       plain object slot */                                                   \
    X(dispatch_member)                                                        \
    X(spare_hook)          /* a hook whose dump has ended, or NULL */         \
    X(builtin_import)      /* builtins.__import__ as the module found it */   \
    X(stdlib_names)        /* sys.stdlib_module_names, or NULL */             \
    X(clear_memo)          /* _pickle.Pickler.clear_memo */                   \
    X(writer_type)         /* Writer */                                       \
    X(stand_in_type)       /* StandIn */                                      \
    X(method_wrapper_type) /* type(None.__str__): bound slot wrappers */

// Raw pointers: the interpreter allocates the state zeroed and frees it
// without running C++ destructors; clear_module releases them.
struct ModState {
#define TW_TARN_PICKLE_FIELD(field) PyObject *field;
    TW_TARN_PICKLE_STATE(TW_TARN_PICKLE_FIELD)
#undef TW_TARN_PICKLE_FIELD
};

inline ModState *mod_state(PyObject *module)
{
    return static_cast<ModState *>(PyModule_GetState(module));
}

// One object whose write is (or may still be) in progress: the frame
// address of its hook call, its class (strong reference), and whether it is
// being written as a failure reducer's value.
struct Pending {
    uintptr_t frame;
    tw::Ref type;
    bool replaced;
};

// An object used as a key (borrowed by the key, owned here) and what it
// maps to.
struct Held {
    tw::Ref key;
    tw::Ref value;
};

// What a dump gathers once its hook is first called.
struct Work {
    // Callables and classes found writable (each value owns its key).
    std::unordered_map<PyObject *, tw::Ref> writable;
    // reducer_override's answers for callables it was asked about ahead of
    // their write, handed out when the C pickler asks.
    std::unordered_map<PyObject *, Held> answers;
    std::vector<Pending> pending;
};

// A dump written again without the pickle buffers the C pickler could not
// write (see scrub()): the copies made of the plain containers on the way.
struct Scrub {
    // An original and what is written in its place.
    std::unordered_map<PyObject *, Held> done;
    // Tuples whose copy is being made.
    std::unordered_map<PyObject *, bool> busy;
    // Where a copy holds a tuple met again while its copy was being made:
    // the copy (borrowed from `done`) and the index (list, tuple) or key
    // (dict, strong) of the entry, patched once the tuple's copy is made.
    struct Fix {
        PyObject *into;
        Py_ssize_t index;
        tw::Ref key;
    };
    std::unordered_map<PyObject *, std::vector<Fix>> waiting;
};

// Everything one `dump` call needs; lives as the `self` of the hook.
struct DumpState {
    PyObject_HEAD
    ModState *ms;       // the module's state (module kept by `module`)
    PyObject *module;   // strong
    PyObject *pickler;  // strong
    PyObject *user;     // strong or NULL: the subclass's reducer_override
    int user_unbound;   // `user` is a function to call with the pickler
    PyObject *failure_reducer;  // strong
    PyObject *special_cases;    // strong or NULL
    PyObject *dispatch;         // strong: the dispatch table in force
    PyObject *proto_obj;        // strong: the protocol as an int object
    int proto;
    int active;
    PyObject *special_known;  // dict or NULL: special_cases' answers
    Work *work;               // NULL until the hook is first called, then
                              // kept, emptied, from one dump to the next
    tw::TarnWalk walk;        // the failure reducer's bounds in this dump
    struct Scrub *scrub;      // NULL, or the copies of a dump written again
                              // without its pickle buffers (see scrub())
};

// The file given to the C pickler: passes the bytes on to the file's
// write, counting its calls.
struct Writer {
    PyObject_HEAD
    PyObject *write;  // strong: file.write
    Py_ssize_t calls;
};

// Stands for a pickle buffer in a dump made again (holds it, strong).
struct StandIn {
    PyObject_HEAD
    PyObject *buffer;
};

// ----------------------------------------- the hook (tarn_pickle_hook.cpp)

extern Py_ssize_t placeholders_cut_total;
extern PyType_Spec state_spec;
extern PyMethodDef hook_def;
void state_close(DumpState *st);
int own_reduce(DumpState *st, PyObject *obj, tw::Ref &out);

// ------------------------ reductions and checks (tarn_pickle_reduce.cpp)

PyObject *call_user(DumpState *st, PyObject *obj);
bool is_singleton_type(PyObject *obj);
int check_global_cached(DumpState *st, PyObject *obj);
PyObject *check_reduce(DumpState *st, PyObject *obj, PyObject *rv_in);

// ---------------------- the failure reducer (tarn_pickle_failure.cpp)

int recursion_left();
// Nested calls kept in reserve for writing a replacement when an object
// graph nests as deep as the interpreter allows.
constexpr int RECURSION_RESERVE = 50;
// Attribute reads, each walk counting as one more, that the placeholders
// of one dump may make together.
constexpr Py_ssize_t kWalkBudget = 1000;
tw::TarnWalk *current_walk_entry();
PyObject *on_error(DumpState *st, PyObject *obj, bool flat = false);

// ---------------------------- pickle buffers (tarn_pickle_buffers.cpp)

extern PyType_Spec Writer_spec;
extern PyType_Spec StandIn_spec;
PyObject *scrub(DumpState *st, PyObject *x, bool *waiting);
PyObject *scrub_reduce(DumpState *st, PyObject *rv_in);
bool buffer_failure(ModState *ms);
PyObject *dump_without_buffers(DumpState *st, PyObject *pickler,
                               PyObject *obj);

}  // namespace tw_tarn_pickle
