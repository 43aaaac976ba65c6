"""The attributes recorded code read, per object.

``used_attributes`` maps ``id(obj)`` to the set of attribute names that
recorded calls loaded from ``obj``. The recording core adds to it; the safe
pickler reads it to write only those attributes of an object. It lives for
the whole process and is never cleared.
"""
from typing import Dict, Set

used_attributes: Dict[int, Set[str]] = {}
