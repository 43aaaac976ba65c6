"""What the safe pickler reads at each use: a change made between two calls
is seen by the second one (class tables, module names and their
attributes, the text of a class, the pickler class and its helpers)."""
import io
import pickle
import threading
import types

import pytest

from tarnwick_collector.data_serialization import pickler

SafePickler = pickler.SafePickler
UnpicklableHelpers = pickler.UnpicklableHelpers


def reduce(obj):
    return SafePickler(True, io.BytesIO()).reducer_override(obj)


class Plain:
    pass


class Named:
    __name__ = "named"


def test_class_text_is_read_again_after_the_class_changes():
    cls = type("Kind", (), {"__module__": "pkg.mod"})
    sp = SafePickler(True, io.BytesIO())
    assert sp.is_obj_function(cls) is False
    cls.__qualname__ = "Outer.builtin_method"
    assert sp.is_obj_function(cls) is True
    cls.__qualname__ = "Kind"
    assert sp.is_obj_function(cls) is False
    cls.__module__ = "pkg.classmethod_descriptor"
    assert sp.is_obj_function(cls) is True
    cls.__module__ = "builtins"
    cls.__name__ = "builtin_method_kind"
    assert sp.is_obj_function(cls) is True


def test_tables_replaced_on_the_class_are_read_again(monkeypatch):
    assert reduce(Plain()) is NotImplemented
    monkeypatch.setattr(SafePickler, "specific_type_for_magic_mock", {Plain})
    assert reduce(Plain()) == (pickler.wrap_object, (Plain, {}), {})
    monkeypatch.setattr(SafePickler, "specific_type_for_magic_mock", set())
    assert reduce(Plain()) is NotImplemented


def test_tables_changed_in_place_are_read_again():
    assert SafePickler(True, io.BytesIO()).is_obj_type_to_skip(Plain) is False
    SafePickler.types_to_skip.add(Plain)
    try:
        assert SafePickler(True, io.BytesIO()).is_obj_type_to_skip(Plain)
    finally:
        SafePickler.types_to_skip.discard(Plain)
    assert SafePickler(True, io.BytesIO()).is_obj_type_to_skip(Plain) is False


@pytest.mark.parametrize("names", [
    {"builtins.type.Plain"},
    frozenset({"builtins.type.Plain"}),
    ["builtins.type.Plain"],
])
def test_classes_named_for_a_factory_by_their_metaclass_type(
        monkeypatch, names):
    assert reduce(Plain) is NotImplemented
    monkeypatch.setattr(SafePickler, "full_names_to_run_functions", names)
    monkeypatch.setattr(SafePickler, "full_names_to_rebuild_functions_dict",
                        {"builtins.type.Plain": "pkg.make_plain"})
    assert reduce(Plain) == (pickler.wrap_function, ("pkg.make_plain",))
    assert reduce(Named) is NotImplemented
    monkeypatch.setattr(pickler, "DOT", "/")
    assert reduce(Plain) is NotImplemented


def test_module_attributes_are_read_again(monkeypatch):
    fake = types.ModuleType("types")
    fake.ModuleType = Named
    fake.MethodType = types.MethodType
    monkeypatch.setattr(pickler, "types", fake)
    assert reduce(Named()) == (pickler.wrap_module, ("named",))
    fake.ModuleType = Plain
    assert reduce(Named()) is NotImplemented


def fixed_reducer(obj):
    return (str, ("replaced",))


def test_helpers_replaced_on_their_class_are_used(monkeypatch):
    monkeypatch.setattr(UnpicklableHelpers, "__reduce__",
                        staticmethod(fixed_reducer))
    assert pickle.loads(pickler.safe_pickle(threading.Lock())) == "replaced"
    monkeypatch.undo()
    assert pickle.loads(pickler.safe_pickle(threading.Lock())) != "replaced"


def test_init_replaced_on_the_class_is_used(monkeypatch):
    calls = []
    original = SafePickler.__init__

    def init(self, *args, **kwargs):
        calls.append(sorted(kwargs))
        original(self, *args, **kwargs)
    monkeypatch.setattr(SafePickler, "__init__", init)
    assert pickle.loads(pickler.safe_pickle([1])) == [1]
    assert calls == [["failure_reducer", "special_cases"]]


def test_a_subclass_bound_as_the_pickler_class_is_used(monkeypatch):
    class Counting(SafePickler):
        made = 0

        def __init__(self, *args, **kwargs):
            type(self).made += 1
            super().__init__(*args, **kwargs)
    monkeypatch.setattr(pickler, "SafePickler", Counting)
    assert pickle.loads(pickler.safe_pickle({"a": 1})) == {"a": 1}
    assert Counting.made == 1


def test_a_subclass_without_its_own_init_is_set_up_like_the_class():
    class Quiet(SafePickler):
        pass
    made = Quiet(False, io.BytesIO(), failure_reducer=fixed_reducer)
    assert made.object_wrapper is False
    assert made.dispatch_table == {}
    assert made.failure_reducer is fixed_reducer
