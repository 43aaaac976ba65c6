# The compiled module _guarded_send has no annotations of its own: to the type
# checker everything it offers is Any. Its surface (names, signatures,
# docstrings) is checked against tests/surface/ instead.
from typing import Any

def __getattr__(name: str) -> Any: ...
