"""Shared pieces of the tests of the call-recording core (marrowick).

The tests drive the module's entry points as the native tracer does and
read back what went out on the two in-memory channels. The serializer used
here is plain pickling with two controls, so the tests do not depend on the
safe pickler:

- ``problematic``: classes whose instances make it raise
  ``ProblematicPickleException`` with the safe pickler's message form;
- ``empty_records``: serialize whole records (second positional argument
  ``False``) to ``b""``.

Objects that pickle refuses (a ``threading.Lock``) make it raise the
interpreter's own ``TypeError``.
"""
import ctypes
import io
import pickle
import threading

import pytest

from tarnwick_collector.data_collection import marrowick as mw
from tarnwick_collector.data_collection import pellory
from tarnwick_collector.data_collection.trindle import Trindle
from tarnwick_collector.data_collection.used_attributes_collector import (
    used_attributes,
)
from tarnwick_collector.exceptions import ProblematicPickleException

_STATE_SETS = (
    "BLACKLISTED_FUNCTIONS", "IDS_TO_FOLLOW", "CACHED_NONE_EXTERNAL_MODULES",
)


class _Pickler(pickle.Pickler):
    def __init__(self, file, problematic):
        super().__init__(file, protocol=4)
        self._problematic = problematic

    def reducer_override(self, obj):
        if type(obj) in self._problematic:
            raise ProblematicPickleException(
                f"'{type(obj)}' is a problematic object to pickle")
        return NotImplemented


class PickleSerializer:
    """Pickle-based serializer that keeps the form of every call."""

    def __init__(self):
        self.problematic = set()
        self.empty_records = False
        self.calls = []  # (object, positional rest, keywords)

    def serialize(self, obj, *args, **kwargs):
        self.calls.append((obj, args, kwargs))
        if self.empty_records and args == (False,):
            return b""
        buf = io.BytesIO()
        _Pickler(buf, self.problematic).dump(obj)
        return buf.getvalue()

    def deserialize(self, data):
        return pickle.loads(data)


class Env:
    """Settings, serializer and channels of one test."""

    def __init__(self, settings, serializer):
        self.settings = settings
        self.serializer = serializer

    def metrics(self, external=False, endings=False):
        """The metric objects sent so far; `ExternalFunction` metrics (sent
        by the extractor for every external callee) and the reports of a
        function's recording ending only on request."""
        out = [pickle.loads(m) for m in self.settings.metrics_subprocess.messages]
        if not external:
            out = [m for m in out if type(m).__name__ != "ExternalFunction"]
        if not endings:
            out = [m for m in out
                   if type(m).__name__ not in ("RecordingEnded", "CallsLost")]
        return out

    def kinds(self):
        return [type(m).__name__ for m in self.metrics()]

    def records(self):
        return [pickle.loads(m) for m in self.settings.data_subprocess.messages]

    def clear(self):
        self.settings.metrics_subprocess.messages.clear()
        self.settings.data_subprocess.messages.clear()


def current():
    """The calling thread's current tracker."""
    return Trindle.thread_id_to_current_call.get(threading.get_ident(), None)


def load(data):
    return pickle.loads(data)


@pytest.fixture
def env(settings):
    """A clean recording state: test serializer, fresh channels, no current
    tracker on this thread; the module's shared sets and the used-attributes
    map are restored afterwards."""
    serializer = PickleSerializer()
    settings.serializer = serializer
    settings.external_calls_max = 50
    settings.project_files = frozenset()
    tmap = Trindle.thread_id_to_current_call
    saved_map = dict(tmap)
    saved_sets = {name: set(getattr(mw, name)) for name in _STATE_SETS}
    saved_used = dict(used_attributes)
    # Pickling an instance caches `__slotnames__` on its class (copyreg);
    # the record classes are left as this test found them.
    record_classes = [c for c in vars(pellory).values() if isinstance(c, type)
                      and c.__module__ == pellory.__name__]
    had_slotnames = {c for c in record_classes if "__slotnames__" in vars(c)}
    Trindle.set_current_running_function(None)
    try:
        yield Env(settings, serializer)
    finally:
        tmap.clear()
        tmap.update(saved_map)
        for name, content in saved_sets.items():
            s = getattr(mw, name)
            s.clear()
            s.update(content)
        used_attributes.clear()
        used_attributes.update(saved_used)
        for cls in record_classes:
            if cls not in had_slotnames and "__slotnames__" in vars(cls):
                delattr(cls, "__slotnames__")


_lib = ctypes.PyDLL(mw.__file__)
_call_with_pending = _lib.tarnwick_marrowick_call_with_pending
_call_with_pending.argtypes = [ctypes.py_object] * 3
_call_with_pending.restype = ctypes.py_object


def call_with_pending(entry, args, pending=()):
    """Calls `entry(*args)` with an exception pending in the thread state,
    as the native tracer calls the end-of-call entries. `pending` is () for
    none, (type,) for a type without a value, (type, value) otherwise. An
    exception the entry leaves pending comes back as SystemError."""
    return _call_with_pending(entry, tuple(args), tuple(pending))


# Two context managers with methods of the same names: a method of one
# bound to an instance of the other is named after the other's attribute.
class Session:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


class Pool:
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False
