"""The package's pickler: the interpreter's C pickler that does not give up.

``Pickler`` is ``_pickle.Pickler`` (the C pickler behind ``pickle.dumps``)
with two more keyword arguments, ``failure_reducer`` and ``special_cases``.
Everything of the standard pickler keeps working: ``dump(obj)`` writes to
the file, the instance attribute ``dispatch_table`` is honoured,
``persistent_id``, ``memo``, ``clear_memo`` and ``fast`` are the C
pickler's own, and a subclass's ``reducer_override(obj)`` is called for
every object the C pickler does not write by itself (it writes ``None``,
``bool``, ``int``, ``float``, ``str``, ``bytes`` and exact ``dict``,
``list``, ``tuple``, ``set``, ``frozenset`` and ``bytearray`` objects, and
anything already memoized, without asking); ``NotImplemented`` means
"pickle it the normal way", anything else is a reduce value.

Failures
    With a ``failure_reducer``, an object whose own reduction fails (its
    ``__reduce_ex__``, its dispatch-table reducer or the subclass's
    ``reducer_override`` raises, or returns a value the pickle protocol
    rejects), or that would be written by reference (a class, a function, a
    reduce value's callable) but cannot be found again under its module and
    qualified name, is written as ``failure_reducer(obj)`` in its place.
    Each object is checked before any byte of it is written, so the stream
    stays valid and only the failing object is replaced: a list holding one
    lock and a thousand ints loses only the lock. An object whose reduce
    value needs an unwritable class or callable is replaced as a whole, so
    the stream always loads. Later references to a replaced object load as
    the same replacement.

    If ``failure_reducer`` itself fails (or returns an unusable value), the
    dump fails as it would have without one: the original error leaves
    ``dump``, with the failure reducer's error as its ``__context__``.
    Without a ``failure_reducer`` the pickler behaves exactly like the
    standard one.

Refusals
    ``tarnwick_collector.exceptions.ProblematicPickleException`` raised by
    ``reducer_override`` (for the top-level value or for a value nested
    anywhere inside it) is a refusal, not a failure: it leaves ``dump``
    unchanged, for the caller to report. So do exceptions that are not
    ``Exception`` subclasses (``KeyboardInterrupt``, ``SystemExit``).
    Two kinds of refusal are contained instead, the refused object being
    written as ``failure_reducer(obj)``:

    - a refusal of an object that could not be pickled anyway (its own
      reduction fails too, as for a socket): refusing it would only hide
      that it is one more unpicklable object;
    - a refusal met while writing a failure reducer's value (the attributes
      of a replaced object): a replacement is best effort, and one of its
      details must not cost the whole value. There a double failure is
      written as ``None``.

``special_cases(cls)``
    Tells for which classes pickling goes on after an error. It is asked
    only when a refusal or a double failure would otherwise end the dump,
    with the class of the object concerned and with the class of every
    object whose writing encloses it (once per class and dump). If it is
    true for any of them, the dump goes on: a refused object is written as
    ``failure_reducer(obj)``, and an object whose failure reducer failed
    too is written as ``None``. So an instance of such a class (a database
    session holding connections, pools and caches) is always written, with
    whatever inside it could not be written replaced. Exceptions raised by
    ``special_cases`` count as false.

Pickle buffers
    The C pickler writes a ``pickle.PickleBuffer`` without asking anyone,
    and fails on one below protocol 5 (or on a released or non-contiguous
    one). When that happens before the file got a byte of the dump (the C
    pickler hands the file whole frames of 64 KiB, and the rest at the
    end), the dump is made again with each such buffer written as
    ``failure_reducer(buffer)``; the rest of the value is written as
    before, shared and recursive containers included. After the file got
    bytes the failure leaves ``dump``, as for stock pickling.

Refusals and the object's own code
    A refused object's own pickling methods (``__reduce_ex__``,
    ``__reduce__``, ``__getstate__``, ``__getnewargs_ex__``,
    ``__getnewargs__``) are never run to tell whether it "could not be
    pickled anyway": that is asked only where they are natively
    implemented or come from the standard library (a socket's), and
    otherwise the refusal stands. A refused object met inside a failure
    replacement or a special case is written by its own reduction where
    its class customises pickling with such code only and the reduce value
    is small (atoms, classes and functions, and tuples, frozensets and
    dicts of them; 512 units, three levels): a ``Decimal`` among a
    placeholder's attributes stays a ``Decimal``.

Bounds of the failure replacements
    While it runs inside a dump, the package's failure reducer
    (``UnpicklableHelpers.__reduce__``) reads a bounded number of
    attributes: a placeholder inside four placeholders, and any
    placeholder once the dump's 1,000 attribute reads (each walk counting
    as one more) are spent, reads none of its object's attributes, and the
    rest of a walk stops when the budget runs out. A placeholder for a new
    object of the type being replaced, read from one of that object's
    attributes (a ``Decimal``'s ``.imag``), reads none either. Such a
    placeholder carries the reason in its state under the name ``"..."``:
    ``"(depth limit)"``, ``"(size limit)"`` or ``"(same type: not
    followed)"``. ``placeholders_cut()`` counts the placeholders the two
    limits cut short in the process.

Depth
    An object met where the interpreter's recursion limit is near (in an
    object graph nested deeper than stock pickling can write) is written as
    ``failure_reducer(obj)`` without the state of that reduce value, so the
    descent ends there and the rest of the value is still written. Plain
    lists, dicts and tuples nested that deep on their own still end the
    dump with ``RecursionError``; so do running out of memory and a file
    whose ``write`` fails.
"""
import _pickle
import io
import pickle
from typing import Any, Callable, Optional

from tarnwick_collector.data_serialization import _tarn_pickle

__all__ = [
    "DEFAULT_PROTOCOL",
    "HIGHEST_PROTOCOL",
    "Pickler",
    "PicklingError",
    "Unpickler",
    "UnpicklingError",
    "dumps",
    "load",
    "loads",
    "placeholders_cut",
]

DEFAULT_PROTOCOL = pickle.DEFAULT_PROTOCOL
HIGHEST_PROTOCOL = pickle.HIGHEST_PROTOCOL
PicklingError = _pickle.PicklingError
UnpicklingError = _pickle.UnpicklingError
Unpickler = _pickle.Unpickler
load = _pickle.load
#: How many placeholders the bounds of the failure reducer's walk have cut
#: short so far in this process.
placeholders_cut = _tarn_pickle.placeholders_cut

#: ``failure_reducer(obj)`` returns a reduce value to write instead of ``obj``.
FailureReducer = Callable[[Any], Any]
#: ``special_cases(cls)`` is true for classes whose pickling goes on after
#: an error.
SpecialCases = Callable[[type], Any]


class Pickler(_pickle.Pickler):
    """The C pickler, writing ``failure_reducer(obj)`` for objects that fail.

    ``Pickler(file, protocol=None, fix_imports=True, buffer_callback=None,
    *, failure_reducer=None, special_cases=None)``: ``file`` is a writable
    binary file; ``protocol`` ``None`` gives ``DEFAULT_PROTOCOL`` and a
    negative number ``HIGHEST_PROTOCOL``, as for ``pickle``;
    ``failure_reducer(obj)`` returns the reduce value written in place of
    an object that cannot be pickled; ``special_cases(cls)`` is true when
    pickling goes on after an error in an instance of ``cls`` (see the
    module docstring). Both are kept as instance attributes of those names
    and read at each ``dump``.
    """

    # Written in C++: they run for every serialized value.
    __init__ = _tarn_pickle.pickler_init
    dump = _tarn_pickle.pickler_dump


def dumps(
    obj: Any,
    protocol: Optional[int] = None,
    *,
    fix_imports: bool = True,
    buffer_callback: Optional[Callable[[Any], Any]] = None,
    failure_reducer: Optional[FailureReducer] = None,
    special_cases: Optional[SpecialCases] = None,
) -> bytes:
    """The pickle of ``obj`` as bytes, written by ``Pickler``."""
    buffer = io.BytesIO()
    Pickler(
        buffer, protocol, fix_imports=fix_imports,
        buffer_callback=buffer_callback, failure_reducer=failure_reducer,
        special_cases=special_cases,
    ).dump(obj)
    return buffer.getvalue()


def loads(data: Any, **kwargs: Any) -> Any:
    """Undoes ``dump``: the object unpickled from ``data`` (the standard
    unpickler; keyword arguments as for ``pickle.loads``)."""
    return _pickle.loads(data, **kwargs)
