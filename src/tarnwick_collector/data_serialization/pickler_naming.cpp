// The importable dotted names of functions, methods and classes
// (UnpicklableHelpers.get_full_name), with the two memories that spare the
// naming steps: names of main-script functions and names of builtin
// methods bound to an instance.
#include "pickler_internal.hpp"

#include <cstring>
#include <unordered_map>

namespace tw_pickler {

// --------------------------------------------------------- naming

// Names of main-script functions already worked out. os.path.relpath of two
// absolute paths and replace__main__with_real_name are pure functions of
// their arguments, so while both are the ones the module started with, the
// name for (name under __main__, file, project root) is the one found
// before; a relative path would depend on the working directory.
struct MainNames {
    PyObject *relpath = nullptr;  // os.path.relpath when the module was built
    PyObject *replace = nullptr;  // replace__main__with_real_name then
    PyObject *known = nullptr;    // (name, full_path, project_path) -> name
};
static MainNames main_names;
constexpr Py_ssize_t kMainNamesKept = 1024;

static bool absolute_path(PyObject *path)
{
#ifdef _WIN32
    (void)path;
    return false;
#else
    return PyUnicode_CheckExact(path) && PyUnicode_GET_LENGTH(path) > 0 &&
           PyUnicode_READ_CHAR(path, 0) == '/';
#endif
}

static bool main_name_is_pure(PyObject *relpath, PyObject *replace,
                              PyObject *name, PyObject *full_path,
                              PyObject *project_path)
{
    return main_names.known != nullptr && relpath == main_names.relpath &&
           replace == main_names.replace && PyUnicode_CheckExact(name) &&
           absolute_path(full_path) && absolute_path(project_path);
}

// Names of builtin methods bound to an instance (`f.read`, `lock.acquire`):
// a failure reducer's placeholder holds dozens of them, made afresh by each
// attribute read. Such a method object is never in the metadata cache (it
// is never stored there), and its name is made from its receiver's class
// (`__module__`, `__qualname__`) and its method definition alone, by the
// functions the pickler, the metadata module and the name extractor hold
// in their namespaces. So while the class keeps its version tag (every
// assignment to a class attribute takes it away) and the three namespaces
// keep theirs, the name found before is the one the steps would find now.
// Interpreters without namespace version tags take the steps each time.
struct BoundNameKey {
    PyTypeObject *type;  // only compared with: the tag tells a reused address
    PyMethodDef *def;
    bool operator==(const BoundNameKey &o) const
    {
        return type == o.type && def == o.def;
    }
};
struct BoundNameHash {
    size_t operator()(const BoundNameKey &k) const
    {
        return std::hash<void *>()(k.type) * 31u ^ std::hash<void *>()(k.def);
    }
};
struct BoundName {
    unsigned int type_tag = 0;
    uint64_t namespace_tags[3] = {0, 0, 0};
    PyObject *name = nullptr;  // strong
};
struct BoundNames {
    // Strong: the namespaces the naming steps read, as at the module's
    // making: the pickler's, the metadata module's, the name extractor's.
    PyObject *namespaces[3] = {nullptr, nullptr, nullptr};
    std::unordered_map<BoundNameKey, BoundName, BoundNameHash> known;
};
static BoundNames bound_names;
constexpr size_t kBoundNamesKept = 4096;

// The key for `obj` when it is a builtin method bound to an instance and
// its name may be remembered; false otherwise.
static bool bound_name_key(PyObject *mod, PyObject *obj, BoundNameKey &key)
{
#if PY_VERSION_HEX < 0x030C0000
    bool builtin = Py_IS_TYPE(obj, &PyCFunction_Type);
#if PY_VERSION_HEX >= 0x03090000
    builtin = builtin || Py_IS_TYPE(obj, &PyCMethod_Type);
#endif
    if (!builtin || bound_names.namespaces[0] == nullptr ||
        PyModule_GetDict(mod) != bound_names.namespaces[0])
        return false;
    auto *f = reinterpret_cast<PyCFunctionObject *>(obj);
    PyObject *receiver = f->m_self;
    if (receiver == nullptr || f->m_module != nullptr ||
        PyModule_Check(receiver) || PyType_Check(receiver))
        return false;
    PyTypeObject *type = Py_TYPE(receiver);
    if (!Py_IS_TYPE(type, &PyType_Type))
        return false;
    key = {type, f->m_ml};
    return true;
#else
    (void)mod;
    (void)obj;
    (void)key;
    return false;
#endif
}

// The tags the namespaces and the class have now; false when the class has
// no valid tag.
static bool bound_name_tags(const BoundNameKey &key, BoundName &now)
{
#if PY_VERSION_HEX < 0x030C0000
    if (!TW_VALID_VERSION_TAG(key.type))
        return false;
    now.type_tag = key.type->tp_version_tag;
    for (int i = 0; i < 3; i++)
        now.namespace_tags[i] =
            reinterpret_cast<PyDictObject *>(bound_names.namespaces[i])
                ->ma_version_tag;
    return true;
#else
    (void)key;
    (void)now;
    return false;
#endif
}

// Names of plain functions. A function's name is made from its
// `__module__` and `__qualname__` alone, by the functions of the same three
// namespaces, so while those keep their tags, the name found before for
// the same two objects is the one the steps would find now. Keyed by the
// function's address; an entry holds the two objects (a function made
// later at that address with the very same ones has the same name).
struct FunctionName {
    uint64_t namespace_tags[3] = {0, 0, 0};
    PyObject *module = nullptr;  // strong, like the two below
    PyObject *qualname = nullptr;
    PyObject *name = nullptr;
};
static std::unordered_map<PyObject *, FunctionName> function_names;
constexpr size_t kFunctionNamesKept = 8192;

// The namespaces' tags now; false when the interpreter keeps none.
static bool namespace_tags(uint64_t tags[3])
{
#if PY_VERSION_HEX < 0x030C0000
    for (int i = 0; i < 3; i++)
        tags[i] = reinterpret_cast<PyDictObject *>(bound_names.namespaces[i])
                      ->ma_version_tag;
    return true;
#else
    (void)tags;
    return false;
#endif
}

static bool function_name_keyed(PyObject *mod, PyObject *obj)
{
    return PyFunction_Check(obj) && bound_names.namespaces[0] != nullptr &&
           PyModule_GetDict(mod) == bound_names.namespaces[0];
}

static PyObject *known_function_name(PyObject *obj, const uint64_t tags[3])
{
    auto found = function_names.find(obj);
    if (found == function_names.end())
        return nullptr;
    const FunctionName &was = found->second;
    auto *f = reinterpret_cast<PyFunctionObject *>(obj);
    if (was.module != f->func_module || was.qualname != f->func_qualname ||
        std::memcmp(was.namespace_tags, tags, sizeof was.namespace_tags) != 0)
        return nullptr;
    return was.name;
}

static void remember_function_name(PyObject *obj, const uint64_t before[3],
                                   PyObject *name)
{
    uint64_t now[3];
    auto *f = reinterpret_cast<PyFunctionObject *>(obj);
    if (!PyUnicode_CheckExact(name) || !namespace_tags(now) ||
        std::memcmp(before, now, sizeof now) != 0)
        return;  // something changed while the name was being found
    if (function_names.size() >= kFunctionNamesKept) {
        for (auto &entry : function_names) {
            Py_CLEAR(entry.second.module);
            Py_CLEAR(entry.second.qualname);
            Py_CLEAR(entry.second.name);
        }
        function_names.clear();
    }
    FunctionName &slot = function_names[obj];
    PyObject *old[3] = {slot.module, slot.qualname, slot.name};
    std::memcpy(slot.namespace_tags, now, sizeof now);
    slot.module = Py_XNewRef(f->func_module);
    slot.qualname = Py_XNewRef(f->func_qualname);
    slot.name = Py_NewRef(name);
    for (PyObject *o : old)
        Py_XDECREF(o);  // strings: free nothing that runs code
}

static PyObject *known_bound_name(const BoundNameKey &key)
{
    BoundName now;
    if (!bound_name_tags(key, now))
        return nullptr;
    auto found = bound_names.known.find(key);
    if (found == bound_names.known.end())
        return nullptr;
    const BoundName &was = found->second;
    if (was.type_tag != now.type_tag ||
        std::memcmp(was.namespace_tags, now.namespace_tags,
                    sizeof now.namespace_tags) != 0)
        return nullptr;
    return was.name;
}

static void remember_bound_name(const BoundNameKey &key,
                                const BoundName &before, PyObject *name)
{
    BoundName now;
    if (!PyUnicode_CheckExact(name) || !bound_name_tags(key, now) ||
        now.type_tag != before.type_tag ||
        std::memcmp(before.namespace_tags, now.namespace_tags,
                    sizeof now.namespace_tags) != 0)
        return;  // something changed while the name was being found
    if (bound_names.known.size() >= kBoundNamesKept) {
        for (auto &entry : bound_names.known)
            Py_CLEAR(entry.second.name);
        bound_names.known.clear();
    }
    BoundName &slot = bound_names.known[key];
    PyObject *old = slot.name;
    slot = now;
    Py_INCREF(name);
    slot.name = name;
    Py_XDECREF(old);  // a str: frees nothing that runs code
}

// The importable dotted name of a function, method or class (the body of
// UnpicklableHelpers.get_full_name); new reference.
static Ref full_name_steps(PyObject *mod, PyObject *obj_in, bool &plain);

Ref full_name_impl(PyObject *mod, PyObject *obj)
{
    uint64_t tags[3];
    if (function_name_keyed(mod, obj) && namespace_tags(tags)) {
        if (PyObject *known = known_function_name(obj, tags))
            return Ref::borrow(known);
        bool plain = false;
        Ref name = full_name_steps(mod, obj, plain);
        if (name && plain)
            remember_function_name(obj, tags, name.get());
        return name;
    }
    BoundNameKey key;
    BoundName before;
    bool keyed = bound_name_key(mod, obj, key);
    if (keyed) {
        // Gives the class a tag if it has none yet.
        (void)_PyType_Lookup(key.type, TW_STR("__qualname__"));
        keyed = bound_name_tags(key, before);
    }
    if (keyed) {
        if (PyObject *known = known_bound_name(key))
            return Ref::borrow(known);
    }
    bool plain = false;
    Ref name = full_name_steps(mod, obj, plain);
    if (name && keyed && plain)
        remember_bound_name(key, before, name.get());
    return name;
}

// The steps of get_full_name; `plain` tells that the name came from the
// metadata record as it is (neither the main-script nor the empty-name
// case). New reference.
static Ref full_name_steps(PyObject *mod, PyObject *obj_in, bool &plain)
{
    Ref obj = Ref::borrow(obj_in);
    int r = PyObject_IsInstance(obj.get(),
                                reinterpret_cast<PyObject *>(&PyType_Type));
    if (r < 0)
        return nullptr;
    if (r) {
        // The class's own __init__, else the metaclass's bound to it.
        Ref init_name = GLOBAL(mod, "INIT_STR");
        if (!init_name)
            return nullptr;
        obj = Ref::steal(PyObject_GenericGetAttr(obj.get(), init_name.get()));
        if (!obj)
            return nullptr;
    }
    Ref func_name = GLOBAL(mod, "FUNC_STR");
    if (!func_name)
        return nullptr;
    r = lookup(obj.get(), func_name.get(), nullptr);
    if (r < 0)
        return nullptr;
    if (r) {
        obj = Ref::steal(PyObject_GetAttr(obj.get(), func_name.get()));
        if (!obj)
            return nullptr;
    }
    Ref self_name = GLOBAL(mod, "SELF_STR");
    if (!self_name)
        return nullptr;
    r = lookup(obj.get(), self_name.get(), nullptr);
    if (r < 0)
        return nullptr;
    PyObject *is_method = r ? Py_True : Py_False;
    Ref get_module = GLOBAL(mod, "get_function_module");
    if (!get_module)
        return nullptr;
    Ref module_of = tw::call(get_module.get(), obj.get(), is_method);
    if (!module_of)
        return nullptr;
    Ref extract = GLOBAL(mod, "EXTRACT_METADATA");
    if (!extract)
        return nullptr;
    // Only the names and the path of the record are read here, so the
    // signature, the dearest part of a record built afresh, is not asked for.
    Ref metadata =
        tw::call_kw(extract.get(), TW_NAMES("dont_cache", "collect_signature"),
                    obj.get(), Py_True, Py_False);
    if (!metadata)
        return nullptr;
    if (PyTuple_CheckExact(metadata.get())) {
        Ref index = GLOBAL(mod, "FUNCTION_META_DATA_INDEX");
        if (!index)
            return nullptr;
        metadata = Ref::steal(PyObject_GetItem(metadata.get(), index.get()));
        if (!metadata)
            return nullptr;
    }
    Ref name = ATTR(metadata.get(), "full_name");
    if (!name)
        return nullptr;
    r = PyObject_IsTrue(name.get());
    if (r < 0)
        return nullptr;
    const bool named = r != 0;
    if (!r) {
        // The recording core caches callables it does not record (builtins
        // such as `len`) with an empty name; an empty name would load back
        // as nothing, so name the object from its module instead.
        Ref extractor = Ref::steal(
            PyImport_ImportModule("tarnwick_common.name_extractor"));
        if (!extractor)
            return nullptr;
        Ref full_name = ATTR(extractor.get(), "get_function_full_name");
        if (!full_name)
            return nullptr;
        name = tw::call(full_name.get(), module_of.get(), obj.get());
        if (!name)
            return nullptr;
    }
    Ref module_name = ATTR(metadata.get(), "module_name");
    if (!module_name)
        return nullptr;
    Ref main_str = GLOBAL(mod, "MAIN_STR");
    if (!main_str)
        return nullptr;
    r = compare(module_name.get(), main_str.get(), Py_EQ);
    if (r < 0)
        return nullptr;
    plain = named && r == 0;
    if (r) {
        // A function of the script run as __main__: the name its file has
        // when imported from the project root.
        Ref os = GLOBAL(mod, "os");
        if (!os)
            return nullptr;
        Ref path = MODULE_ATTR(os.get(), "path");
        if (!path)
            return nullptr;
        Ref relpath = MODULE_ATTR(path.get(), "relpath");
        if (!relpath)
            return nullptr;
        Ref full_path = ATTR(metadata.get(), "full_path");
        if (!full_path)
            return nullptr;
        Ref settings = GLOBAL(mod, "CollectorSettings");
        if (!settings)
            return nullptr;
        Ref project_path = ATTR(settings.get(), "project_path");
        if (!project_path)
            return nullptr;
        Ref replace = GLOBAL(mod, "replace__main__with_real_name");
        if (!replace)
            return nullptr;
        Ref key;
        if (main_name_is_pure(relpath.get(), replace.get(), name.get(),
                              full_path.get(), project_path.get())) {
            key = tw::tuple(name.get(), full_path.get(), project_path.get());
            if (!key)
                return nullptr;
            PyObject *known =
                PyDict_GetItemWithError(main_names.known, key.get());
            if (known != nullptr)
                return Ref::borrow(known);
            if (PyErr_Occurred())
                return nullptr;
        }
        Ref file_path =
            tw::call(relpath.get(), full_path.get(), project_path.get());
        if (!file_path)
            return nullptr;
        name = tw::call(replace.get(), name.get(), file_path.get());
        if (name && key && PyUnicode_CheckExact(name.get())) {
            if (PyDict_GET_SIZE(main_names.known) >= kMainNamesKept)
                PyDict_Clear(main_names.known);
            if (PyDict_SetItem(main_names.known, key.get(), name.get()) < 0)
                return nullptr;
        }
    }
    return name;
}

// Fills the naming memories' record of the functions and namespaces the
// module started with, from what the module body has just bound and
// imported. 0 or -1.
int capture_names(PyObject *m)
{
    Ref os = GLOBAL(m, "os");
    Ref os_path = os ? ATTR(os.get(), "path") : nullptr;
    Ref relpath = os_path ? ATTR(os_path.get(), "relpath") : nullptr;
    Ref replace_main = GLOBAL(m, "replace__main__with_real_name");
    if (!relpath || !replace_main)
        return -1;
    Py_XSETREF(main_names.relpath, relpath.release());
    Py_XSETREF(main_names.replace, replace_main.release());
    const char *named_modules[2] = {
        "tarnwick_collector.data_collection.ostrelle",
        "tarnwick_common.name_extractor"};
    PyObject *namespaces[3] = {PyModule_GetDict(m), nullptr, nullptr};
    Ref modules[2];
    for (int i = 0; i < 2; i++) {
        modules[i] = Ref::steal(PyImport_ImportModule(named_modules[i]));
        if (!modules[i])
            return -1;
        namespaces[i + 1] = PyModule_GetDict(modules[i].get());
    }
    for (int i = 0; i < 3; i++) {
        Py_INCREF(namespaces[i]);
        Py_XSETREF(bound_names.namespaces[i], namespaces[i]);
    }
    if (main_names.known == nullptr) {
        main_names.known = PyDict_New();
        if (main_names.known == nullptr)
            return -1;
    }
    return 0;
}

}  // namespace tw_pickler
