// The process-wide lookup maps (see map.h). Every map is constructed empty
// when the shared object is loaded and lives until the process ends.
//
// Growing a table may fail for want of memory; the containers report that by
// throwing, which is caught at each exported function so that nothing but a
// -1 result reaches the caller.
#include "map.h"

#include <new>

tw_map::TidToFlag g_tid_to_currently_recording;
tw_map::ObjectToCounter g_func_to_counter;
tw_map::ObjectToObject g_gen_to_metadata;

namespace {

// The object cache of the metadata extractor: address identity, standard
// hash and default policy. Internal to this unit.
std::unordered_map<PyObject *, PyObject *> g_object_to_object;

// map[key] = value, as one step that either completes or leaves the map as
// it was. 0 or -1.
template <class Map, class Key, class Value>
int assign(Map &map, Key key, Value value) noexcept
{
    try {
        map.insert_or_assign(key, value);
    } catch (...) {
        return -1;
    }
    return 0;
}

// map[key], or a value-initialised Value (0, NULL) for a missing key.
template <class Map, class Key>
auto lookup(const Map &map, Key key) noexcept -> typename Map::mapped_type
{
    auto it = map.find(key);
    if (it == map.end())
        return typename Map::mapped_type();
    return it->second;
}

}  // namespace

int set_gen_to_metadata(PyObject *key, PyObject *value)
{
    if (value == nullptr) {
        g_gen_to_metadata.erase(key);
        return 0;
    }
    return assign(g_gen_to_metadata, key, value);
}

PyObject *get_gen_to_metadata(PyObject *key)
{
    return lookup(g_gen_to_metadata, key);
}

int set_tid_to_currently_recording(int key, uint8_t value)
{
    return assign(g_tid_to_currently_recording, key, value);
}

uint8_t get_tid_to_currently_recording(int key)
{
    return lookup(g_tid_to_currently_recording, key);
}

int set_func_to_counter(PyObject *key, int value)
{
    return assign(g_func_to_counter, key, value);
}

int get_func_to_counter(PyObject *key)
{
    return lookup(g_func_to_counter, key);
}

int set_int_to_int_item(void *mapper, int key, int value)
{
    return assign(*static_cast<tw_map::IntToInt *>(mapper), key, value);
}

int get_int_to_int_item(void *mapper, int key)
{
    return lookup(*static_cast<const tw_map::IntToInt *>(mapper), key);
}

void *new_int_to_int_map(void)
{
    return new (std::nothrow) tw_map::IntToInt();
}

void free_int_to_int_map(void *mapper)
{
    delete static_cast<tw_map::IntToInt *>(mapper);
}

int set_pyobject_to_pyobject_item(PyObject *key, PyObject *value)
{
    return assign(g_object_to_object, key, value);
}

PyObject *get_pyobject_to_pyobject_item(PyObject *key)
{
    return lookup(g_object_to_object, key);
}

PyObject *pop_pyobject_to_pyobject_item(PyObject *key)
{
    auto it = g_object_to_object.find(key);
    if (it == g_object_to_object.end())
        return nullptr;
    PyObject *value = it->second;
    g_object_to_object.erase(it);
    return value;
}

void drain_pyobject_to_pyobject_map(void (*visit)(PyObject *key,
                                                  PyObject *value))
{
    std::unordered_map<PyObject *, PyObject *> entries;
    entries.swap(g_object_to_object);
    if (visit != nullptr)
        for (const auto &entry : entries)
            visit(entry.first, entry.second);
}
