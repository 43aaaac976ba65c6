"""Placeholders for objects that cannot be rebuilt where a record is loaded.

The safe pickler writes these in place of modules, exceptions, library
objects, objects reduced to the attributes recorded code used, and objects
stock pickling refuses. Each is an ordinary object: it pickles by class and
attribute dict, accepts a state dict, names what it stands for and has a
readable ``repr``. Attribute values captured from the original object are
applied as the wrapper's state, so they read back as its attributes.
"""
from typing import Any, Dict, Optional, Tuple

# Attribute names of the wrappers' own fields: prefixed so a captured
# attribute of the original object never replaces them.
_CLS = "_wrapped_class"
_FUNCS = "_wrapped_functions"


def _captured(obj: Any) -> Dict[str, Any]:
    return {k: v for k, v in vars(obj).items() if not k.startswith("_wrapped_")}


def _class_name(cls: Any) -> str:
    if isinstance(cls, type):
        return f"{cls.__module__}.{cls.__qualname__}"
    return str(cls)


class ObjectWrapper:
    """An object reduced to the attributes that recorded code used.

    ``wrapped_class`` is its class, ``functions`` maps method names to
    ``FunctionWrapper``; the used attribute values are its attributes.
    """

    def __init__(self, cls: Any, funcs: Optional[Dict[str, Any]]) -> None:
        setattr(self, _CLS, cls)
        setattr(self, _FUNCS, dict(funcs or {}))

    @property
    def wrapped_class(self) -> Any:
        return self.__dict__.get(_CLS)

    @property
    def functions(self) -> Dict[str, Any]:
        return self.__dict__.get(_FUNCS, {})

    @property
    def attributes(self) -> Dict[str, Any]:
        """The captured attribute values."""
        return _captured(self)

    def __repr__(self) -> str:
        attrs = ", ".join(f"{k}={v!r}" for k, v in self.attributes.items())
        return f"<ObjectWrapper {_class_name(self.wrapped_class)}({attrs})>"


class _NamedWrapper:
    """A placeholder that stands for something importable by dotted name."""

    def __init__(self, full_name: Optional[str]) -> None:
        self.full_name = full_name

    def __eq__(self, other: Any) -> bool:
        return type(other) is type(self) and other.full_name == self.full_name

    def __hash__(self) -> int:
        return hash((type(self).__name__, self.full_name))

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.full_name}>"


class ModuleWrapper(_NamedWrapper):
    """A module, by its dotted name."""


class SpecialWrapper(_NamedWrapper):
    """An object to be rebuilt by the factory function of this dotted name."""


class FunctionWrapper(_NamedWrapper):
    """A function or method, by the dotted name it can be imported under."""


class ExceptionWrapper:
    """An exception instance: its class's dotted name, ``args`` and
    ``__dict__``."""

    def __init__(
        self,
        exception_full_name: Optional[str],
        exception_args: Tuple[Any, ...],
        exception_dunder_dict: Optional[Dict[str, Any]],
    ) -> None:
        self.exception_full_name = exception_full_name
        self.exception_args = tuple(exception_args or ())
        self.exception_dunder_dict = dict(exception_dunder_dict or {})

    def __eq__(self, other: Any) -> bool:
        return (
            type(other) is ExceptionWrapper
            and other.exception_full_name == self.exception_full_name
            and other.exception_args == self.exception_args
            and other.exception_dunder_dict == self.exception_dunder_dict
        )

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        args = ", ".join(repr(a) for a in self.exception_args)
        return f"<ExceptionWrapper {self.exception_full_name}({args})>"


class UnpicklableObject:
    """An object stock pickling refused: the text of its type, its methods as
    ``FunctionWrapper`` by name, and its readable attribute values (applied
    as state)."""

    def __init__(self, type_text: str, funcs: Optional[Dict[str, Any]]) -> None:
        self._wrapped_type = type_text
        setattr(self, _FUNCS, dict(funcs or {}))

    @property
    def type_text(self) -> str:
        return self.__dict__.get("_wrapped_type", "")

    @property
    def type_name(self) -> str:
        """The dotted class name inside the type's text."""
        text = self.type_text
        parts = text.split("'")
        return parts[1] if len(parts) >= 3 else text

    @property
    def functions(self) -> Dict[str, Any]:
        return self.__dict__.get(_FUNCS, {})

    @property
    def attributes(self) -> Dict[str, Any]:
        return _captured(self)

    def __repr__(self) -> str:
        return f"<UnpicklableObject {self.type_name}>"


class ComputedAttribute:
    """Stands for a used attribute whose value is computed when read (a
    property, a descriptor or ``__getattr__`` written in Python, an own
    ``__getattribute__``) and whose loaded value was not kept: reading it
    again to record it would run the program's code a second time.
    ``kind`` names what computes it."""

    def __init__(self, kind: str = "descriptor") -> None:
        self.kind = kind

    def __eq__(self, other: Any) -> bool:
        return type(other) is ComputedAttribute and other.kind == self.kind

    def __hash__(self) -> int:
        return hash(("ComputedAttribute", self.kind))

    def __repr__(self) -> str:
        return f"<computed attribute ({self.kind}), not read again>"
