// The collector's serializer: `IpcPickleSerializer` writes with the safe
// pickler and reads with the interpreter's standard unpickler.
#include "tw.hpp"
#include "tw/method.hpp"

namespace {

// serialize(self, obj, object_wrapper=True) -> bytes:
// safe_pickle(obj, object_wrapper).
PyObject *ipc_serialize(PyObject *module, PyObject *const *args,
                        Py_ssize_t nargs, PyObject *kwnames)
{
    static const tw::Param params[] = {
        {"self"}, {"obj"}, tw::opt("object_wrapper")};
    static const tw::ParamNames<3> names(params);
    PyObject *a[3];
    if (tw::parse("IpcPickleSerializer.serialize", params, names, args, nargs,
                  kwnames, a) < 0)
        return nullptr;
    PyObject *object_wrapper = a[2] != nullptr ? a[2] : Py_True;
    tw::Ref safe_pickle = tw::global(module, TW_STR("safe_pickle"));
    if (!safe_pickle)
        return nullptr;
    tw::Ref data = tw::call(safe_pickle.get(), a[1], object_wrapper);
    if (!data)
        return nullptr;
    if (data.get() != Py_None && !PyBytes_CheckExact(data.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "bytes",
                     Py_TYPE(data.get())->tp_name);
        return nullptr;
    }
    return data.release();
}

// deserialize(self, data) -> Any: _pickle.loads(data).
PyObject *ipc_deserialize(PyObject *module, PyObject *const *args,
                          Py_ssize_t nargs, PyObject *kwnames)
{
    static const tw::Param params[] = {{"self"}, {"data"}};
    PyObject *a[2];
    if (tw::parse("IpcPickleSerializer.deserialize", params, args, nargs,
                  kwnames, a) < 0)
        return nullptr;
    tw::Ref loads =
        tw::global_attr(module, TW_STR("_pickle"), TW_STR("loads"));
    if (!loads)
        return nullptr;
    return tw::call(loads.get(), a[1]).release();
}

PyMethodDef serialize_def = {"serialize", TW_FASTCALL(ipc_serialize),
                             TW_FASTCALL_FLAGS, nullptr};
PyMethodDef deserialize_def = {"deserialize", TW_FASTCALL(ipc_deserialize),
                               TW_FASTCALL_FLAGS, nullptr};

int exec_module(PyObject *module)
{
    if (tw::import_from(module, "typing", "Any") < 0 ||
        tw::import_module(module, "_pickle") < 0 ||
        tw::import_from(module,
                        "tarnwick_collector.data_serialization.pickler",
                        "safe_pickle") < 0 ||
        tw::import_from(module,
                        "tarnwick_collector.data_serialization.varnock",
                        "Varnock") < 0)
        return -1;
    tw::Ref any = tw::global(module, TW_STR("Any"));
    tw::Ref varnock = tw::global(module, TW_STR("Varnock"));
    if (!any || !varnock)
        return -1;
    PyObject *bytes_type = reinterpret_cast<PyObject *>(&PyBytes_Type);
    const char *owner = "IpcPickleSerializer";
    tw::Ref serialize = tw::annotated_method(module, &serialize_def, owner,
                                             "obj", any.get(), bytes_type);
    tw::Ref deserialize = tw::annotated_method(module, &deserialize_def, owner,
                                               "data", any.get(), any.get());
    tw::Ref bases = tw::tuple(varnock.get());
    if (!serialize || !deserialize || !bases)
        return -1;
    PyObject *meta = reinterpret_cast<PyObject *>(Py_TYPE(varnock.get()));
    tw::Ref cls = tw::ClassBuilder(module, "IpcPickleSerializer",
                                   "\n    This class is used to serialize and "
                                   "deserialize data using pickle.\n    ")
                      .attr("serialize", serialize.get())
                      .attr("deserialize", deserialize.get())
                      .build(bases.get(), meta, "IpcPickleSerializer");
    return cls ? 0 : -1;
}

}  // namespace

TW_MODULE(quessel, "The pickle-based serializer of the collector.", nullptr,
          exec_module)
