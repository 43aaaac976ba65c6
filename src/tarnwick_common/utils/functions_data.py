"""Signatures of recorded functions."""
import inspect
from typing import Any, Optional


def get_signature(function_obj: Any) -> Optional[inspect.FullArgSpec]:
    """The ``inspect.FullArgSpec`` of ``function_obj``, or ``None`` when
    the interpreter cannot give one."""
    try:
        return inspect.getfullargspec(function_obj)
    except (TypeError, ValueError):
        return None
