// Collection metrics: the vocabularies of the metrics channel (counter
// names, failure, limit and pickling reasons) and the metric records sent on
// it.
//
// Every metric record is a plain class (metaclass `type`, instance __dict__)
// so that it pickles by class and attributes; the receiving process sees the
// module path, class name, attribute names and values. The three reason and
// counter vocabularies are enum.Enum subclasses built through the enum
// machinery itself, so their members pickle by class and value.
//
// Each subclass constructor checks its own arguments, stores its own fields
// and then hands the four common values to its parent; text forms and
// attribute dicts extend the parent's. `super()` is bound to the class that
// defines each method (kept in module state, as a `__class__` cell would),
// while module-level names (`Counters`, `FailureReasons`) are looked up at
// each use.

#include <initializer_list>

#include "tw.hpp"

namespace {

using tw::Ref;

// ------------------------------------------------------------ class table

enum Cls : int {
    BASE,
    START_EVENT,
    EXIT_EVENT,
    COLLECTION_TRY,
    COLLECTION_SUCCESS,
    COLLECTOR_FAILURE,
    UNPICKLABLE,
    LIMIT_FAILURE,
    EXTERNAL_FUNCTION,
    SAMPLING_RATE,
    CALLS_MAX,
    INSTRUMENTATION_FAILURE,
    RECORDING_ENDED,
    CALLS_LOST,
    CALLS_LEFT_OUT,
    N_CLASSES
};

// How a field of a metric's own is checked, stored and shown.
enum class Field : unsigned char {
    Str,    // exactly str or None; shown as is
    Any,    // stored unchecked; shown as is
    Enum,   // stored unchecked; shown (text and dict) by its `.value`
    Float,  // converted with the float protocol before any other check
};

struct FieldSpec {
    const char *name;
    Field how;
    const char *label;  // text label that precedes the value
};

struct ClassSpec {
    const char *name;
    Cls base;
    const char *doc;
    // Member of `Counters` that heads the text and that get_counter_name
    // returns; NULL for classes that inherit both from their parent.
    const char *counter;
    // Member of `FailureReasons` passed up as the parent's `reason`, or NULL.
    const char *reason;
    int nfields;
    FieldSpec fields[2];
    const char *init_doc;  // text signature of __init__
};

#define TW_METRIC_DOC(text) "\n    " text "\n    "
#define TW_COMMON                                                             \
    "self, tenet_id, project_id, python_version, collector_version"

// One class a group of lines, its fields grouped as they read.
// clang-format off
constexpr ClassSpec SPECS[N_CLASSES] = {
    {"BaseMetric", BASE, TW_METRIC_DOC("Base class for all metrics"),
     nullptr, nullptr, 0, {},
     "__init__(self, tenant_id, project_id, python_version, "
     "collector_version)\n--\n\n"},
    {"StartEvent", BASE, TW_METRIC_DOC("Metric for start event"),
     "START_EVENTS", nullptr, 0, {},
     "__init__(" TW_COMMON ")\n--\n\n"},
    {"ExitEvent", BASE, TW_METRIC_DOC("Metric for exit event"), "EXIT_EVENTS",
     nullptr, 0, {},
     "__init__(" TW_COMMON ")\n--\n\n"},
    {"CollectionTry", BASE, TW_METRIC_DOC("Metric for collection try"),
     "COLLECTION_TRY", nullptr, 0, {},
     "__init__(" TW_COMMON ")\n--\n\n"},
    {"CollectionSuccess", BASE, TW_METRIC_DOC("Metric for collection success"),
     "COLLECTION_SUCCESS", nullptr, 0, {},
     "__init__(" TW_COMMON ")\n--\n\n"},
    {"CollectorFailure", BASE, TW_METRIC_DOC("Metric for collector failure"),
     "COLLECTION_FAILURES", nullptr, 1,
     {{"reason", Field::Enum, " reason: "}},
     "__init__(" TW_COMMON ", reason)\n--\n\n"},
    {"Unpicklable", COLLECTOR_FAILURE,
     TW_METRIC_DOC("Metric for unpicklable object"), nullptr, "UNPICKLABLE", 2,
     {{"object_type", Field::Str, " type: "},
      {"unpicklable_reason", Field::Enum, " reason: "}},
     "__init__(" TW_COMMON ", object_type, unpicklable_reason)\n--\n\n"},
    {"LimitFailure", COLLECTOR_FAILURE,
     TW_METRIC_DOC("Metric for limit failure"), nullptr, "LIMIT", 2,
     {{"function_full_name", Field::Str, " function: "},
      {"limit_reason", Field::Str, " reason: "}},
     "__init__(" TW_COMMON ", function_full_name, limit_reason)\n--\n\n"},
    {"ExternalFunction", BASE, TW_METRIC_DOC("Metric for external function"),
     "EXTERNAL_FUNCTIONS", nullptr, 1,
     {{"full_name", Field::Str, " full name: "}},
     "__init__(" TW_COMMON ", full_name)\n--\n\n"},
    {"SamplingRateWasSet", BASE,
     TW_METRIC_DOC("Metric for sampling rate was set"),
     "SAMPLING_RATE_WAS_SET", nullptr, 1,
     {{"sampling_rate", Field::Float, " sampling rate: "}},
     "__init__(" TW_COMMON ", sampling_rate)\n--\n\n"},
    {"ExternalCallsMaxLimitWasSet", BASE,
     TW_METRIC_DOC("Metric for external calls max limit was set"),
     "EXTERNAL_CALLS_MAX_LIMIT_WAS_SET", nullptr, 1,
     {{"external_calls_max", Field::Any, " external calls max: "}},
     "__init__(" TW_COMMON ", external_calls_max)\n--\n\n"},
    {"InstrumentationFailure", COLLECTOR_FAILURE,
     TW_METRIC_DOC("Metric for a project module loaded uninstrumented"),
     nullptr, "INSTRUMENTATION", 2,
     {{"module_name", Field::Str, " module: "},
      {"error", Field::Str, " error: "}},
     "__init__(" TW_COMMON ", module_name, error)\n--\n\n"},
    {"RecordingEnded", COLLECTOR_FAILURE,
     TW_METRIC_DOC("Metric for a function no longer recorded in this run"),
     nullptr, "RECORDING_ENDED", 2,
     {{"function_full_name", Field::Str, " function: "},
      {"object_type", Field::Str, " type: "}},
     "__init__(" TW_COMMON ", function_full_name, object_type)\n--\n\n"},
    {"CallsLost", COLLECTOR_FAILURE,
     TW_METRIC_DOC("Metric for the calls not recorded of a function whose "
                   "recording ended"),
     nullptr, "CALLS_LOST", 2,
     {{"function_full_name", Field::Str, " function: "},
      {"calls_lost", Field::Any, " calls: "}},
     "__init__(" TW_COMMON ", function_full_name, calls_lost)\n--\n\n"},
    {"CallsLeftOut", COLLECTOR_FAILURE,
     TW_METRIC_DOC("Metric for calls the recorder leaves out by design"),
     nullptr, "LEFT_OUT", 2,
     {{"kind", Field::Str, " kind: "},
      {"count", Field::Any, " count: "}},
     "__init__(" TW_COMMON ", kind, count)\n--\n\n"},
};
// clang-format on

#undef TW_COMMON
#undef TW_METRIC_DOC

// The four values every metric carries, in constructor order.
constexpr const char *COMMON[4] = {"tenant_id", "project_id", "python_version",
                                   "collector_version"};
constexpr int MAX_PARAMS = 1 + 4 + 2;

// ------------------------------------------------------------ module state

// The classes as they were created, for the `super()` calls of their
// methods; rebinding a module-level name does not change them.
struct State {
    PyObject *classes[N_CLASSES];
};

State *state(PyObject *module)
{
    return static_cast<State *>(PyModule_GetState(module));
}

int state_traverse(PyObject *module, visitproc visit, void *arg)
{
    State *st = state(module);
    if (st != nullptr)
        for (PyObject *cls : st->classes)
            Py_VISIT(cls);
    return 0;
}

int state_clear(PyObject *module)
{
    State *st = state(module);
    if (st != nullptr)
        for (PyObject *&cls : st->classes)
            Py_CLEAR(cls);
    return 0;
}

// ------------------------------------------------------------ arguments

// Constructors take every parameter by position or keyword and report
// wrong counts in the compiled-module style, e.g. "__init__() takes exactly
// 5 positional arguments (6 given)"; the count includes the receiver.
constexpr const char *INIT_COUNTED = "__init__";

// ------------------------------------------------------------ text helpers

// `value` formatted as an f-string field (format(value, "")); steals
// `value`, which may be NULL after a failure. New reference.
Ref field_text(Ref value)
{
    if (!value)
        return nullptr;
    return Ref::steal(PyObject_Format(value.get(), TW_STR("")));
}

// Concatenation of str pieces (borrowed). The result is an exact str, so
// passing it through str() would return it unchanged. New reference.
Ref join(std::initializer_list<PyObject *> parts)
{
    Ref items = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    if (!items)
        return nullptr;
    Py_ssize_t i = 0;
    for (PyObject *p : parts)
        PyTuple_SET_ITEM(items.get(), i++, Py_NewRef(p));
    return Ref::steal(PyUnicode_Join(TW_STR(""), items.get()));
}

// <module-level name>.<member>, looked up at each call; new reference.
Ref vocabulary_member(PyObject *module, PyObject *vocabulary,
                      const char *member)
{
    Ref v = tw::global(module, vocabulary);
    if (!v)
        return nullptr;
    return Ref::steal(PyObject_GetAttrString(v.get(), member));
}

// Counters.<member>.value; new reference.
Ref counter_value(PyObject *module, const char *member)
{
    Ref m = vocabulary_member(module, TW_STR("Counters"), member);
    if (!m)
        return nullptr;
    return tw::getattr(m.get(), TW_STR("value"));
}

// self.<name>, read through `.value` for enumeration fields; new reference.
Ref field_value(PyObject *self, const FieldSpec &f)
{
    Ref v = Ref::steal(PyObject_GetAttrString(self, f.name));
    if (!v || f.how != Field::Enum)
        return v;
    return tw::getattr(v.get(), TW_STR("value"));
}

// ------------------------------------------------------------ BaseMetric

PyObject *base_init(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames)
{
    static const tw::Param params[] = {
        {"self"}, {COMMON[0]}, {COMMON[1]}, {COMMON[2]}, {COMMON[3]}};
    PyObject *a[5];
    if (tw::parse("BaseMetric.__init__", params, args, nargs, kwnames, a,
                  INIT_COUNTED) < 0)
        return nullptr;
    for (int i = 1; i < 5; i++)
        if (tw::check_exact(a[i], params[i].name, tw::Kind::Str) < 0)
            return nullptr;
    if (PyObject_SetAttr(a[0], TW_STR("tenant_id"), a[1]) < 0 ||
        PyObject_SetAttr(a[0], TW_STR("project_id"), a[2]) < 0 ||
        PyObject_SetAttr(a[0], TW_STR("python_version"), a[3]) < 0 ||
        PyObject_SetAttr(a[0], TW_STR("collector_version"), a[4]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *base_repr(PyObject *, PyObject *self)
{
    Ref tenant = field_text(tw::getattr(self, TW_STR("tenant_id")));
    if (!tenant)
        return nullptr;
    Ref collector = field_text(tw::getattr(self, TW_STR("collector_version")));
    if (!collector)
        return nullptr;
    Ref project = field_text(tw::getattr(self, TW_STR("project_id")));
    if (!project)
        return nullptr;
    Ref python = field_text(tw::getattr(self, TW_STR("python_version")));
    if (!python)
        return nullptr;
    return join({TW_STR("tenant_id: "), tenant.get(),
                 TW_STR(" collector_version: "), collector.get(),
                 TW_STR(" project_id: "), project.get(),
                 TW_STR(" python_version: "), python.get()})
        .release();
}

PyObject *base_hash(PyObject *, PyObject *self)
{
    Ref text = Ref::steal(PyObject_Str(self));
    if (!text)
        return nullptr;
    Py_hash_t h = PyObject_Hash(text.get());
    if (h == -1 && PyErr_Occurred())
        return nullptr;
    return PyLong_FromSsize_t(h);
}

PyObject *base_eq(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                  PyObject *kwnames)
{
    static const tw::Param params[] = {{"self"}, {"other"}};
    PyObject *a[2];
    if (tw::parse("BaseMetric.__eq__", params, args, nargs, kwnames, a) < 0)
        return nullptr;
    Ref mine = Ref::steal(PyObject_Str(a[0]));
    if (!mine)
        return nullptr;
    Ref theirs = Ref::steal(PyObject_Str(a[1]));
    if (!theirs)
        return nullptr;
    return PyObject_RichCompare(mine.get(), theirs.get(), Py_EQ);
}

PyObject *base_attributes(PyObject *, PyObject *self)
{
    Ref d = Ref::steal(PyDict_New());
    if (!d)
        return nullptr;
    // Key order of the dict the consumer reads: tenant, collector, project,
    // Python version (not the constructor order).
    for (const char *name :
         {"tenant_id", "collector_version", "project_id", "python_version"}) {
        Ref v = Ref::steal(PyObject_GetAttrString(self, name));
        if (!v || PyDict_SetItemString(d.get(), name, v.get()) < 0)
            return nullptr;
    }
    return d.release();
}

PyObject *base_counter_name(PyObject *, PyObject *)
{
    PyErr_SetNone(PyExc_NotImplementedError);
    return nullptr;
}

PyMethodDef base_init_def = {"__init__", TW_FASTCALL(base_init),
                             TW_FASTCALL_FLAGS, SPECS[BASE].init_doc};
PyMethodDef base_repr_def = {"__repr__", base_repr, METH_O, nullptr};
PyMethodDef base_hash_def = {"__hash__", base_hash, METH_O, nullptr};
PyMethodDef base_eq_def = {"__eq__", TW_FASTCALL(base_eq), TW_FASTCALL_FLAGS,
                           nullptr};
PyMethodDef base_attributes_def = {"get_attributes_as_dict", base_attributes,
                                   METH_O, nullptr};
PyMethodDef base_counter_name_def = {"get_counter_name", base_counter_name,
                                     METH_O, nullptr};

// ------------------------------------------------------------ subclasses
//
// One implementation of each method for all ten subclasses, instantiated per
// class from its row of SPECS.

template <int K>
PyObject *metric_init(PyObject *module, PyObject *const *args,
                      Py_ssize_t nargs, PyObject *kwnames)
{
    constexpr const ClassSpec &spec = SPECS[K];
    constexpr int n = 5 + spec.nfields;
    static const tw::Param params[MAX_PARAMS] = {
        {"self"},
        {"tenet_id"},
        {COMMON[1]},
        {COMMON[2]},
        {COMMON[3]},
        {spec.nfields > 0 ? spec.fields[0].name : nullptr},
        {spec.nfields > 1 ? spec.fields[1].name : nullptr}};
    static const std::string qualname = std::string(spec.name) + ".__init__";
    PyObject *a[MAX_PARAMS];
    if (tw::parse_n(qualname.c_str(), params, n, args, nargs, kwnames, a,
                    INIT_COUNTED) < 0)
        return nullptr;
    PyObject *self = a[0];

    // Own values: a float field is converted first of all; str fields are
    // checked with the common values, in parameter order.
    Ref own[2];
    for (int i = 0; i < spec.nfields; i++) {
        PyObject *v = a[5 + i];
        if (spec.fields[i].how == Field::Float) {
            double d = PyFloat_CheckExact(v) ? PyFloat_AS_DOUBLE(v)
                                             : PyFloat_AsDouble(v);
            if (d == -1.0 && PyErr_Occurred())
                return nullptr;
            own[i] = Ref::steal(PyFloat_FromDouble(d));
            if (!own[i])
                return nullptr;
        } else {
            own[i] = Ref::borrow(v);
        }
    }
    for (int i = 1; i < n; i++) {
        const bool is_str = i < 5 || spec.fields[i - 5].how == Field::Str;
        if (is_str && tw::check_exact(a[i], params[i].name, tw::Kind::Str) < 0)
            return nullptr;
    }

    for (int i = 0; i < spec.nfields; i++)
        if (PyObject_SetAttrString(self, spec.fields[i].name, own[i].get()) <
            0)
            return nullptr;

    PyObject *cls = state(module)->classes[K];
    Ref done;
    if (spec.reason != nullptr) {
        Ref reason =
            vocabulary_member(module, TW_STR("FailureReasons"), spec.reason);
        if (!reason)
            return nullptr;
        done = tw::call_super(cls, self, TW_STR("__init__"), a[1], a[2], a[3],
                              a[4], reason.get());
    } else {
        done = tw::call_super(cls, self, TW_STR("__init__"), a[1], a[2], a[3],
                              a[4]);
    }
    if (!done)
        return nullptr;
    Py_RETURN_NONE;
}

template <int K> PyObject *metric_repr(PyObject *module, PyObject *self)
{
    constexpr const ClassSpec &spec = SPECS[K];
    PyObject *cls = state(module)->classes[K];
    Ref text;
    if (spec.base == BASE) {
        // Direct subclasses head their text with their own counter.
        Ref head = field_text(counter_value(module, spec.counter));
        if (!head)
            return nullptr;
        Ref base = field_text(tw::call_super(cls, self, TW_STR("__repr__")));
        if (!base)
            return nullptr;
        text = join({head.get(), TW_STR(" "), base.get()});
    } else {
        text = field_text(tw::call_super(cls, self, TW_STR("__repr__")));
    }
    for (int i = 0; text && i < spec.nfields; i++) {
        Ref value = field_text(field_value(self, spec.fields[i]));
        if (!value)
            return nullptr;
        Ref label = Ref::steal(PyUnicode_FromString(spec.fields[i].label));
        if (!label)
            return nullptr;
        text = join({text.get(), label.get(), value.get()});
    }
    return text.release();
}

template <int K> PyObject *metric_attributes(PyObject *module, PyObject *self)
{
    constexpr const ClassSpec &spec = SPECS[K];
    Ref d = Ref::steal(PyDict_New());
    if (!d)
        return nullptr;
    for (int i = 0; i < spec.nfields; i++) {
        Ref v = field_value(self, spec.fields[i]);
        if (!v ||
            PyDict_SetItemString(d.get(), spec.fields[i].name, v.get()) < 0)
            return nullptr;
    }
    Ref parent = tw::call_super(state(module)->classes[K], self,
                                TW_STR("get_attributes_as_dict"));
    if (!parent)
        return nullptr;
    if (PyDict_CheckExact(parent.get())) {
        if (PyDict_Update(d.get(), parent.get()) < 0)
            return nullptr;
    } else if (!tw::call_method(d.get(), TW_STR("update"), parent.get())) {
        return nullptr;
    }
    return d.release();
}

template <int K> PyObject *metric_counter_name(PyObject *module, PyObject *)
{
    return counter_value(module, SPECS[K].counter).release();
}

template <int K> struct MethodDefs {
    static PyMethodDef init, repr, attributes, counter_name;
};
template <int K>
PyMethodDef MethodDefs<K>::init = {"__init__", TW_FASTCALL(metric_init<K>),
                                   TW_FASTCALL_FLAGS, SPECS[K].init_doc};
template <int K>
PyMethodDef MethodDefs<K>::repr = {"__repr__", metric_repr<K>, METH_O,
                                   nullptr};
template <int K>
PyMethodDef MethodDefs<K>::attributes = {
    "get_attributes_as_dict", metric_attributes<K>, METH_O, nullptr};
template <int K>
PyMethodDef MethodDefs<K>::counter_name = {
    "get_counter_name", metric_counter_name<K>, METH_O, nullptr};

// Creates SPECS[K] as a subclass of its base, binds it on the module and
// keeps it in module state. 0 or -1.
template <int K> int build_metric(PyObject *module)
{
    constexpr const ClassSpec &spec = SPECS[K];
    State *st = state(module);
    tw::ClassBuilder b(module, spec.name, spec.doc);
    b.method(&MethodDefs<K>::init).method(&MethodDefs<K>::repr);
    if (spec.nfields > 0)
        b.method(&MethodDefs<K>::attributes);
    if (spec.counter != nullptr)
        b.method(&MethodDefs<K>::counter_name);
    Ref bases = tw::tuple(st->classes[spec.base]);
    if (!bases)
        return -1;
    Ref cls = b.build(bases.get(), nullptr, spec.name);
    if (!cls)
        return -1;
    st->classes[K] = cls.release();
    return 0;
}

// ------------------------------------------------------------ vocabularies

// `class <name>(Enum)` with str members, made as the class statement makes
// it: the metaclass's own namespace from __prepare__, filled in order, then
// the metaclass called. Bound on the module. 0 or -1.
int build_enum(
    PyObject *module, const char *name,
    std::initializer_list<std::pair<const char *, const char *>> members)
{
    Ref base = tw::global(module, TW_STR("Enum"));
    if (!base)
        return -1;
    PyObject *meta = reinterpret_cast<PyObject *>(Py_TYPE(base.get()));
    Ref bases = tw::tuple(base.get());
    Ref cls_name = Ref::steal(PyUnicode_FromString(name));
    Ref modname = Ref::steal(PyModule_GetNameObject(module));
    if (!bases || !cls_name || !modname)
        return -1;
    Ref ns = tw::call_method(meta, TW_STR("__prepare__"), cls_name.get(),
                             bases.get());
    if (!ns ||
        PyObject_SetItem(ns.get(), TW_STR("__module__"), modname.get()) < 0 ||
        PyObject_SetItem(ns.get(), TW_STR("__qualname__"), cls_name.get()) < 0)
        return -1;
    for (const auto &m : members) {
        Ref key = Ref::steal(PyUnicode_InternFromString(m.first));
        Ref value = Ref::steal(PyUnicode_FromString(m.second));
        if (!key || !value ||
            PyObject_SetItem(ns.get(), key.get(), value.get()) < 0)
            return -1;
    }
    Ref cls = tw::call(meta, cls_name.get(), bases.get(), ns.get());
    if (!cls)
        return -1;
    return PyObject_SetAttrString(module, name, cls.get());
}

int build_limit_reasons(PyObject *module)
{
    Ref external = Ref::steal(
        PyUnicode_FromString("external_function_calls_limit_exceeded"));
    Ref max_string = Ref::steal(PyUnicode_FromString(
        "max_string_size_exceeded for {0} this happened in the: {1} part of "
        "the recording"));
    if (!external || !max_string)
        return -1;
    Ref cls =
        tw::ClassBuilder(module, "LimitReasons", nullptr)
            .attr("EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED", external.get())
            .attr("MAX_STRING_SIZE_EXCEEDED", max_string.get())
            .build(nullptr, nullptr, "LimitReasons");
    return cls ? 0 : -1;
}

int build_base_metric(PyObject *module)
{
    Ref cls = tw::ClassBuilder(module, SPECS[BASE].name, SPECS[BASE].doc)
                  .method(&base_init_def)
                  .method(&base_repr_def)
                  .method(&base_hash_def)
                  .method(&base_eq_def)
                  .method(&base_attributes_def)
                  .method(&base_counter_name_def)
                  .build(nullptr, nullptr, SPECS[BASE].name);
    if (!cls)
        return -1;
    state(module)->classes[BASE] = cls.release();
    return 0;
}

// ------------------------------------------------------------ module body

int metrics_exec(PyObject *module)
{
    if (tw::import_from(module, "enum", "Enum") < 0)
        return -1;
    if (build_enum(module, "FailureReasons",
                   {{"UNPICKLABLE", "unpicklable"},
                    {"ASYNCIO", "asyncio"},
                    {"EXCEPTION", "exception"},
                    {"LIMIT", "limit"},
                    {"RECURSION_LIMIT", "recursion_limit"},
                    {"INSTRUMENTATION", "instrumentation"},
                    {"RECORDING_ENDED", "recording_ended"},
                    {"CALLS_LOST", "calls_lost"},
                    {"LEFT_OUT", "left_out"}}) < 0)
        return -1;
    if (build_limit_reasons(module) < 0)
        return -1;
    if (build_enum(module, "UnpicklableReasons",
                   {{"REDUCE", "reduce"},
                    {"TYPE_ERROR", "type_error"},
                    {"GENERAL", "general"}}) < 0)
        return -1;
    if (build_enum(module, "Counters",
                   {{"START_EVENTS", "start_events"},
                    {"COLLECTION_FAILURES", "collection_failures"},
                    {"EXTERNAL_FUNCTIONS", "external_functions"},
                    {"SAMPLING_RATE_WAS_SET", "sampling_rate_was_set"},
                    {"EXTERNAL_CALLS_MAX_LIMIT_WAS_SET",
                     "external_calls_max_limit_was_set"},
                    {"COLLECTION_TRY", "collection_try"},
                    {"COLLECTION_SUCCESS", "collection_success"},
                    {"EXIT_EVENTS", "exit_events"}}) < 0)
        return -1;
    if (build_base_metric(module) < 0 ||
        build_metric<START_EVENT>(module) < 0 ||
        build_metric<EXIT_EVENT>(module) < 0 ||
        build_metric<COLLECTION_TRY>(module) < 0 ||
        build_metric<COLLECTION_SUCCESS>(module) < 0 ||
        build_metric<COLLECTOR_FAILURE>(module) < 0 ||
        build_metric<UNPICKLABLE>(module) < 0 ||
        build_metric<LIMIT_FAILURE>(module) < 0 ||
        build_metric<EXTERNAL_FUNCTION>(module) < 0 ||
        build_metric<SAMPLING_RATE>(module) < 0 ||
        build_metric<CALLS_MAX>(module) < 0 ||
        build_metric<INSTRUMENTATION_FAILURE>(module) < 0 ||
        build_metric<RECORDING_ENDED>(module) < 0 ||
        build_metric<CALLS_LOST>(module) < 0 ||
        build_metric<CALLS_LEFT_OUT>(module) < 0)
        return -1;
    return 0;
}

}  // namespace

TW_MODULE_STATE(metrics,
                "Collection metrics: vocabularies and metric records of "
                "the metrics channel.",
                nullptr, metrics_exec, State, state_traverse, state_clear)
