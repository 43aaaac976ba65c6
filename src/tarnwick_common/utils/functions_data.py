"""Signatures of recorded functions."""
import inspect
from typing import Any, Dict, Optional

# Modules whose annotation objects (``List[int]``, ``Optional[str]``,
# ``list[int]``, ``int | None``...) are shown by their own text.
_TYPING_MODULES = frozenset({"typing", "typing_extensions", "types"})


def _annotation(value: Any) -> Any:
    """An annotation in a form the safe pickler takes: classes, strings and
    None as they are, anything else as text.

    The generic aliases of ``typing`` have a ``__getattr__`` of their own
    and the builtin ones a ``__reduce__``; the pickler refuses both, and a
    refused signature would keep every call of the function from being
    recorded.
    """
    if value is None or type(value) is str or issubclass(type(value), type):
        return value
    kind = type(value)
    if getattr(kind, "__module__", None) in _TYPING_MODULES:
        try:
            text = repr(value)
        except Exception:
            text = None
        if type(text) is str:
            return text
    # Anything else is named by its type: its own __repr__ is not run.
    return f"<{kind.__module__}.{kind.__qualname__} object>"


def get_signature(function_obj: Any) -> Optional[inspect.FullArgSpec]:
    """The ``inspect.FullArgSpec`` of ``function_obj``, or ``None`` when
    the interpreter cannot give one. Annotations that are not classes or
    strings are given as text (see :func:`_annotation`)."""
    try:
        spec = inspect.getfullargspec(function_obj)
    except (TypeError, ValueError):
        return None
    if not spec.annotations:
        return spec
    annotations: Dict[str, Any] = {
        name: _annotation(value) for name, value in spec.annotations.items()}
    return spec._replace(annotations=annotations)
