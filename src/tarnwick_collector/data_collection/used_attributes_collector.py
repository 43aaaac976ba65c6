"""The attributes recorded code read, per object.

``used_attributes`` maps ``id(obj)`` to the set of attribute names that
recorded calls loaded from ``obj``. The recording core adds to it; the safe
pickler reads it to write only those attributes of an object. It lives for
the whole process and is never cleared.

An identity is only an address: once ``obj`` is gone, a later object may get
the same one. So the sets the recording core stores are ``UsedNames``: they
also keep what tells ``obj`` from a later object at its address (``owner``: a
weak reference to ``obj``, or its type when ``obj`` takes no weak
reference), and an entry whose owner is not the object at hand is not used
for it (the core replaces it, the pickler drops it). Sets stored by anyone
else are taken as they are.

``UsedNames.kept`` holds, per name, the last value the program itself loaded
under that name when that value is a small atom (a number, a short string
or bytes, ``None``). The pickler never reads an attribute that would run
code of the program (a property, a ``__getattr__``, a descriptor written in
Python): it writes the kept value when there is one, else a
``ComputedAttribute`` marker.

``followed_types`` maps the identities the core follows (its
``IDS_TO_FOLLOW``) to the type of the object they were added for, so that a
later object of another type at a followed address is not followed.
"""
from typing import Any, Dict, Set

__all__ = ["used_attributes", "followed_types", "UsedNames"]


class UsedNames(set):
    """The attribute names read on one object; see the module text."""

    __slots__ = ("owner", "kept")

    def __init__(self, *args: Any) -> None:
        super().__init__(*args)
        self.owner: Any = None
        self.kept: Dict[str, Any] = {}


used_attributes: Dict[int, Set[str]] = {}
followed_types: Dict[int, type] = {}
