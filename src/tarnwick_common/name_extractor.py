"""Names of callables as dotted paths that can be imported back.

``get_function_full_name`` gives ``module.qualname``, which
``jsonpickle.unpickler.loadclass`` resolves by importing the longest module
prefix and walking the remaining attributes.
"""
import types
from types import ModuleType
from typing import Any, Optional

# Kinds of callables whose attributes are the interpreter's own (no
# __getattr__ can run), read directly on the recording path.
_FUNCTION = types.FunctionType
_BUILTIN = types.BuiltinFunctionType  # builtins and builtin bound methods


def _is_builtin(kind: type) -> bool:
    """Whether ``kind`` is the builtin function type or the interpreter's
    own subtype of it for methods that know their defining class (3.9+;
    native modules use it for more of their methods from 3.13 on)."""
    return kind is _BUILTIN or (kind.__base__ is _BUILTIN and kind.__module__ == "builtins")
_DESCRIPTORS = (
    types.MethodDescriptorType,    # str.join
    types.WrapperDescriptorType,   # object.__init__
    types.MethodWrapperType,       # (1).__add__
    types.ClassMethodDescriptorType,
)


def _plain_attr(obj: Any, name: str) -> Any:
    """``obj.name`` without running a ``__getattr__`` of its class."""
    try:
        return object.__getattribute__(obj, name)
    except AttributeError:
        return None
    except Exception:
        return None


# Callables of the standard library whose ``__module__`` changed between
# Python 3.8 and 3.13 while their public name stayed: (module the interpreter
# names, first part of the qualified name) -> the module the records name on
# every version. Each resolves there on every version.
_PUBLIC_MODULE = {
    ("_io", "open"): "io",                     # 3.12+
    ("_io", "open_code"): "io",                # 3.12+
    ("_asyncio", "current_task"): "asyncio.tasks",  # 3.12+
    ("_decimal", "getcontext"): "decimal",     # 3.13+
    ("_decimal", "setcontext"): "decimal",     # 3.13+
    ("_decimal", "localcontext"): "decimal",   # 3.13+
    ("_signal", "signal"): "signal",           # 3.8
    ("_signal", "getsignal"): "signal",        # 3.8
    ("_signal", "pthread_sigmask"): "signal",  # 3.8
    ("_signal", "sigpending"): "signal",       # 3.8
    ("_signal", "sigwait"): "signal",          # 3.8
    ("_signal", "valid_signals"): "signal",    # 3.8
    ("pathlib._local", "Path"): "pathlib",     # 3.13+
    ("pathlib._local", "PosixPath"): "pathlib",
    ("pathlib._local", "WindowsPath"): "pathlib",
    ("pathlib._local", "PurePath"): "pathlib",
    ("pathlib._local", "PurePosixPath"): "pathlib",
    ("pathlib._local", "PureWindowsPath"): "pathlib",
}
_RENAMED_MODULES = frozenset(module for module, _ in _PUBLIC_MODULE)


def get_function_module(function_obj: Any, is_method: Any) -> Optional[str]:
    """The name of the module that defines ``function_obj``; for the
    callables of ``_PUBLIC_MODULE``, the same public module on every Python
    version.

    :param function_obj: a function, method, builtin, class or callable.
    :param is_method: whether it is bound to a receiver (``__self__``); the
        receiver's class names the module of builtin methods.
    :return: the module name, or ``None`` when nothing names one.
    """
    module = _defining_module(function_obj)
    if module in _RENAMED_MODULES:
        root = _qualified_name(function_obj).partition(".")[0]
        return _PUBLIC_MODULE.get((module, root), module)
    return module


def _defining_module(function_obj: Any) -> Optional[str]:
    kind = type(function_obj)
    if kind is _FUNCTION or kind is type:
        module = function_obj.__module__
        if isinstance(module, str):
            return module
    elif _is_builtin(kind):
        module = function_obj.__module__
        if isinstance(module, str):
            return module
        receiver = function_obj.__self__
        if isinstance(receiver, ModuleType):
            return receiver.__name__
        if isinstance(receiver, type):
            # A class method of a native class bound to a class
            # (`datetime.now`, `dict.fromkeys`): its name runs through that
            # class, found in the class's module, not its metaclass's.
            module = _plain_attr(receiver, "__module__")
            if isinstance(module, str):
                return module
        elif receiver is not None:
            module = type(receiver).__module__
            if isinstance(module, str):
                return module
    elif kind in _DESCRIPTORS:
        module = function_obj.__objclass__.__module__
        if isinstance(module, str):
            return module
    module = _plain_attr(function_obj, "__module__")
    if isinstance(module, str):
        return module
    # A slot wrapper or method-wrapper names the class that defines it; the
    # receiver's class may be a subclass defined elsewhere.
    owner = _plain_attr(function_obj, "__objclass__")
    if owner is not None:
        module = _plain_attr(owner, "__module__")
        if isinstance(module, str):
            return module
    receiver = _plain_attr(function_obj, "__self__")
    if isinstance(receiver, ModuleType):
        return receiver.__name__
    if receiver is not None:
        module = _plain_attr(type(receiver), "__module__")
        if isinstance(module, str):
            return module
    if not isinstance(function_obj, type):
        module = _plain_attr(type(function_obj), "__module__")
        if isinstance(module, str):
            return module
    return None


def _qualified_name(function_obj: Any) -> str:
    kind = type(function_obj)
    if kind is _FUNCTION or kind is type or _is_builtin(kind):
        return function_obj.__qualname__
    if kind in _DESCRIPTORS:
        return function_obj.__qualname__
    for attr in ("__qualname__", "__name__"):
        name = _plain_attr(function_obj, attr)
        if isinstance(name, str):
            return name
    cls = type(function_obj)
    return getattr(cls, "__qualname__", cls.__name__)


def get_function_full_name(module_name: Optional[str], function_obj: Any) -> str:
    """The dotted full name of ``function_obj`` inside ``module_name``.

    :param module_name: what ``get_function_module`` gave for it.
    :param function_obj: the callable.
    :return: ``module_name.qualname`` (just the qualified name without a
        module).
    """
    qualname = _qualified_name(function_obj)
    if not module_name:
        return qualname
    return f"{module_name}.{qualname}"
