// The serializer interface: `Varnock`, an abstract base class with the two
// methods every serializer of the collector provides.
#include "tw.hpp"
#include "tw/method.hpp"

namespace {

// serialize(self, obj) -> bytes: abstract; does nothing.
PyObject *varnock_serialize(PyObject *, PyObject *const *args,
                            Py_ssize_t nargs, PyObject *kwnames)
{
    static const tw::Param params[] = {{"self"}, {"obj"}};
    PyObject *a[2];
    if (tw::parse("Varnock.serialize", params, args, nargs, kwnames, a) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// deserialize(self, data: bytes) -> Any: abstract; checks its argument.
PyObject *varnock_deserialize(PyObject *, PyObject *const *args,
                              Py_ssize_t nargs, PyObject *kwnames)
{
    static const tw::Param params[] = {{"self"}, {"data", tw::Kind::Bytes}};
    PyObject *a[2];
    if (tw::parse("Varnock.deserialize", params, args, nargs, kwnames, a) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef serialize_def = {"serialize", TW_FASTCALL(varnock_serialize),
                             TW_FASTCALL_FLAGS, nullptr};
PyMethodDef deserialize_def = {"deserialize", TW_FASTCALL(varnock_deserialize),
                               TW_FASTCALL_FLAGS, nullptr};

// An abstract method of Varnock: the method object, annotated and passed
// through the module's `abstractmethod`; new reference.
tw::Ref abstract_method(PyObject *module, PyMethodDef *def, const char *param,
                        PyObject *param_ann, PyObject *return_ann)
{
    tw::Ref m = tw::annotated_method(module, def, "Varnock", param, param_ann,
                                     return_ann);
    if (!m)
        return nullptr;
    tw::Ref abstractmethod = tw::global(module, TW_STR("abstractmethod"));
    if (!abstractmethod)
        return nullptr;
    return tw::call(abstractmethod.get(), m.get());
}

int exec_module(PyObject *module)
{
    if (tw::import_from(module, "abc", "ABC") < 0 ||
        tw::import_from(module, "abc", "abstractmethod") < 0 ||
        tw::import_from(module, "typing", "Any") < 0)
        return -1;
    tw::Ref any = tw::global(module, TW_STR("Any"));
    tw::Ref abc = tw::global(module, TW_STR("ABC"));
    if (!any || !abc)
        return -1;
    PyObject *bytes_type = reinterpret_cast<PyObject *>(&PyBytes_Type);
    tw::Ref serialize =
        abstract_method(module, &serialize_def, "obj", any.get(), bytes_type);
    if (!serialize)
        return -1;
    tw::Ref deserialize = abstract_method(module, &deserialize_def, "data",
                                          bytes_type, any.get());
    if (!deserialize)
        return -1;
    tw::Ref bases = tw::tuple(abc.get());
    if (!bases)
        return -1;
    PyObject *meta = reinterpret_cast<PyObject *>(Py_TYPE(abc.get()));
    tw::Ref cls = tw::ClassBuilder(module, "Varnock", nullptr)
                      .attr("serialize", serialize.get())
                      .attr("deserialize", deserialize.get())
                      .build(bases.get(), meta, "Varnock");
    return cls ? 0 : -1;
}

}  // namespace

TW_MODULE(varnock, "The serializer interface of the collector.", nullptr,
          exec_module)
