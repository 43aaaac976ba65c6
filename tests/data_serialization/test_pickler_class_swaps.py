"""Objects whose class is replaced while the safe pickler looks at them.

User code run by an attribute lookup (a property, a __getattribute__) may
assign ``obj.__class__``; the old class can then be collected at once. The
pickler must keep using the class it read at the start where its rules say
so, and the real class where they read it afresh, never a freed one. Many
classes are made right after the swap so that a freed class's memory is
taken by another one and a stale use shows.
"""
import gc
import io

import pytest

from tarnwick_collector.data_serialization import pickler
from tarnwick_collector.exceptions import ProblematicPickleException

SafePickler = pickler.SafePickler

_filler = []


def collect_and_refill(base=object):
    gc.collect()
    _filler[:] = [type("Filler%d" % i, (base,), {"__module__": "filler"})
                  for i in range(64)]


class PyGetattr:
    def __getattr__(self, name):
        raise AttributeError(name)


class Plain:
    pass


def swapping_name():
    """An instance whose __name__ lookup makes it a PyGetattr; its own
    class is referenced by nothing else."""
    def name(self):
        self.__class__ = PyGetattr
        collect_and_refill()
        return "swapped"
    cls = type("Swapping", (), {"__module__": "swaps",
                                "__name__": property(name)})
    return cls()


def test_reducer_override_names_the_class_it_started_with():
    obj = swapping_name()
    with pytest.raises(ProblematicPickleException) as info:
        SafePickler(True, io.BytesIO()).reducer_override(obj)
    assert info.value.args == (
        "'<class 'swaps.Swapping'>' cant be pickled because it has "
        "__getattr__ method",)


def swapping_getattr_lookup():
    """An instance that becomes a Plain when asked for __getattr__."""
    def getattribute(self, name):
        if name == "__getattr__":
            self.__class__ = Plain
            collect_and_refill()
            raise AttributeError(name)
        return object.__getattribute__(self, name)
    cls = type("Swapping", (), {"__module__": "swaps",
                                "__getattribute__": getattribute})
    return cls()


def test_failure_reducer_names_the_class_it_started_with():
    reduced = pickler.UnpicklableHelpers.__reduce__(swapping_getattr_lookup())
    assert reduced[1][0] == "<class 'swaps.Swapping'>"


class OwnReduce:
    def __reduce__(self):
        return (OwnReduce, ())


def swapping_class_read():
    """An OwnReduce whose __class__ read makes it a Plain."""
    def klass(self):
        object.__dict__["__class__"].__set__(self, Plain)
        collect_and_refill(type)
        return Plain
    cls = type("Swapping", (OwnReduce,), {"__module__": "swaps",
                                          "__class__": property(klass)})
    return cls()


def test_is_subclass_for_skip_tests_the_class_the_object_has_now(
        monkeypatch):
    # The test against OwnReduce reads obj.__class__, which swaps the
    # class; `type` is then tested against Plain. (Repeated: whether a
    # freed class's memory is reused by a metaclass varies.)
    monkeypatch.setattr(SafePickler, "subclasses_to_skip", [OwnReduce, type])
    answers = {SafePickler.is_subclass_for_skip(swapping_class_read())
               for _ in range(20)}
    assert answers == {False}
