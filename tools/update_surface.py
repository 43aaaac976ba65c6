#!/usr/bin/env python3
"""Write the public surface of every compiled module to tests/surface/.

Each file lists, for one module and in definition order, every name the
module binds and what it is: the objects it imports (by identity), its
constants with their types and values, its functions with their signatures
and docstrings, and its classes with bases, metaclass, docstring and every
attribute of their own (methods marked static, class or instance, with
signatures, docstrings and annotations; enumeration members with their
values; class-level constants and containers). tests/common/test_surface.py
compares the modules with these files, so a change of the surface is made
in one place: run

    PYTHONPATH=src python3 tools/update_surface.py

after changing a module on purpose, and review the diff of tests/surface/.
`--check` compares instead of writing and exits 1 on a difference.
"""
import argparse
import difflib
import enum
import importlib
import inspect
import pathlib
import sys
import types
import typing

MODULES = [
    "tarnwick_collector.data_collection.marrowick",
    "tarnwick_collector.data_collection.pellory",
    "tarnwick_collector.data_collection.trindle",
    "tarnwick_collector.data_collection.ostrelle",
    "tarnwick_collector.data_collection.metrics",
    "tarnwick_collector.data_serialization.pickler",
    "tarnwick_collector.data_serialization.varnock",
    "tarnwick_collector.data_serialization.quessel",
    "tarnwick_collector.data_serialization._tarn_pickle",
    "tarnwick_collector.tracer._trampolines",
    "tarnwick_collector.store._opscan",
    "tarnwick_collector.channels._guarded_send",
]

SURFACE_DIR = pathlib.Path(__file__).resolve().parent.parent / "tests" / "surface"

# Bound by the import system in every module, not by the module's code.
_MODULE_DUNDERS = {
    "__name__", "__doc__", "__package__", "__loader__", "__spec__",
    "__file__", "__cached__", "__builtins__", "__path__",
}
# Made by the class statement or by the interpreter, not by the class body.
_CLASS_BOOKKEEPING = {
    "__module__", "__qualname__", "__doc__", "__dict__", "__weakref__",
    "__slotnames__", "__abstractmethods__", "_abc_impl",
    "__firstlineno__", "__static_attributes__",
    # The vectorcall offset of a native type shows as a member from 3.9 on.
    "__vectorcalloffset__",
}
# Containers that fill as the program runs (module.name or
# module.Class.name): only their type and sharing are part of the surface.
RUNTIME_STATE = {
    "marrowick.CACHED_NONE_EXTERNAL_MODULES",
    "marrowick.IDS_TO_FOLLOW", "marrowick.reported_modules",
    "marrowick.BLACKLISTED_FUNCTIONS",
    "ostrelle.reported_modules", "ostrelle.Ostrelle.FUNCTION_DATA",
    "trindle.Trindle.thread_id_to_current_call",
    "trindle.Trindle.tid_to_external_call",
}
_SCALARS = (bool, int, float, complex, str, bytes, type(None))


def _resolve(module_name, qualname):
    """The object reached from module `module_name` by `qualname`, or None."""
    obj = sys.modules.get(module_name)
    if obj is None or not qualname:
        return None
    for part in qualname.split("."):
        try:
            obj = inspect.getattr_static(obj, part)
        except AttributeError:
            return None
        if isinstance(obj, (staticmethod, classmethod)):
            obj = obj.__func__
    return obj


def _name_in_module(obj):
    """`module.qualname` under which `obj` itself can be found, or None."""
    module = getattr(obj, "__module__", None)
    if not isinstance(module, str):
        return None
    qualname = getattr(obj, "__qualname__", None)
    if isinstance(qualname, str) and _resolve(module, qualname) is obj:
        return f"{_MOVED_MODULES.get(module, module)}.{qualname}"
    home = sys.modules.get(module)
    for key, value in vars(home).items() if home is not None else ():
        if value is obj:
            return f"{module}.{key}"
    # A function a class of its module holds as a static method.
    for key, value in vars(home).items() if home is not None else ():
        if isinstance(value, type):
            for attr, raw in vars(value).items():
                if isinstance(raw, staticmethod) and raw.__func__ is obj:
                    return f"{module}.{key}.{attr}"
    return None


# Modules of the standard library that moved classes under a new name.
_MOVED_MODULES = {"pathlib._local": "pathlib"}  # 3.13


def _ref(obj):
    """A short name for an object made elsewhere."""
    if isinstance(obj, types.ModuleType):
        return f"module {obj.__name__}"
    if obj is None or isinstance(obj, _SCALARS):
        return repr(obj)
    name = _name_in_module(obj)
    if name is not None:
        return name
    if isinstance(obj, type):
        module = _MOVED_MODULES.get(obj.__module__, obj.__module__)
        return f"{module}.{obj.__qualname__}"
    if isinstance(obj, types.BuiltinMethodType) and obj.__self__ is not None \
            and not isinstance(obj.__self__, types.ModuleType):
        owner = type(obj.__self__)
        return f"bound method {owner.__qualname__}.{obj.__name__}"
    if isinstance(obj, types.MethodType):
        return f"bound method {obj.__func__.__qualname__}"
    return f"instance of {type(obj).__module__}.{type(obj).__qualname__}"


def _defines(module, name):
    """Whether `module` made `name` itself rather than importing it: a
    module that imports a name does so after the module that made it."""
    try:
        source = inspect.getsource(module)
    except (OSError, TypeError):
        return False
    return f"\n{name} =" in source or f"\n{name}:" in source


def _contents(obj):
    """The contents of a table, in a stable order."""
    if isinstance(obj, dict):
        return "{" + ", ".join(f"{_item(k)}: {_item(v)}"
                               for k, v in obj.items()) + "}"
    items = [_item(x) for x in obj]
    if isinstance(obj, set):
        items.sort()
    return "[" + ", ".join(items) + "]"


def _item(obj):
    if type(obj) in (dict, list, set, tuple, frozenset):
        return _contents(obj)
    return _ref(obj)


_MADE_UP_SIGNATURES = ("($self, /)", "($self, object, /)")
_NATIVE_CALLABLES = (types.BuiltinFunctionType, types.MethodDescriptorType,
                     types.ClassMethodDescriptorType)


def _signature(fn):
    # 3.13 makes up a signature for a native function whose docstring has
    # none, and for an object called through its type's slot; earlier
    # versions have none for them. The snapshots keep "no signature".
    if sys.version_info < (3, 13):
        pass
    elif isinstance(fn, _NATIVE_CALLABLES):
        if getattr(fn, "__text_signature__", None) in _MADE_UP_SIGNATURES:
            return " (no signature)"
    elif not isinstance(fn, (type, types.FunctionType, types.MethodType,
                             types.WrapperDescriptorType, types.MethodWrapperType)) and \
            isinstance(getattr(type(fn), "__call__", None),  # noqa: B004
                       types.WrapperDescriptorType):
        return " (no signature)"
    try:
        return str(inspect.signature(fn))
    except (TypeError, ValueError):
        return " (no signature)"


def _function_lines(fn, indent):
    pad = "  " * indent
    lines = [f"{pad}doc: {fn.__doc__!r}"]
    notes = getattr(fn, "__annotations__", None)
    if notes:
        shown = ", ".join(f"{k}: {_ref(v)}" for k, v in notes.items())
        lines.append(f"{pad}annotations: {{{shown}}}")
    return lines


class _Describer:
    def __init__(self, module):
        self.module = module
        self.containers = {}  # id -> first name holding that container

    def _own(self, obj):
        """Whether `obj` was made by the module being described."""
        return getattr(obj, "__module__", None) == self.module.__name__

    def _borrowed(self, obj):
        """`is X.attr` when `obj` is an attribute of a class the module
        imported or, for a container, a module-level table of another
        module of the package; else None."""
        for value in vars(self.module).values():
            if isinstance(value, type) and not self._own(value):
                for attr, held in vars(value).items():
                    if held is obj:
                        return f"is {_ref(value)}.{attr}"
        if type(obj) not in (dict, list, set):
            return None
        # A table or state of another module of the package.
        for home in sorted(n for n in sys.modules
                           if n.startswith(("tarnwick_collector.",
                                            "tarnwick_common."))):
            if home == self.module.__name__ or sys.modules[home] is None:
                continue
            for attr, held in vars(sys.modules[home]).items():
                if held is obj and _defines(sys.modules[home], attr):
                    return f"is {home}.{attr}"
        return None

    def value(self, path, name, obj, indent):
        pad = "  " * indent
        head = f"{pad}{name} ="
        if obj is typing.Any:  # a class from 3.11 on, a special form before
            return [f"{head} class typing.Any"]
        if isinstance(obj, type):
            if self._own(obj) and _resolve(self.module.__name__,
                                           obj.__qualname__) is obj \
                    and obj.__qualname__ == f"{path}{name}":
                return self.cls(path, name, obj, indent)
            return [f"{head} class {_ref(obj)}"]
        here = f"{self.module.__name__}.{path}{name}"
        if type(obj).__name__ == "instancemethod" and self._own(obj.__func__):
            return [f"{head} instancemethod{_signature(obj.__func__)}"] + \
                _function_lines(obj.__func__, indent + 1)
        if isinstance(obj, (types.FunctionType, types.BuiltinFunctionType)) \
                and self._own(obj):
            ref = _name_in_module(obj)
            if ref is not None and ref != here:
                return [f"{head} function {ref}"]
            return [f"{head} def{_signature(obj)}"] + _function_lines(obj, indent + 1)
        if not isinstance(obj, type) and _name_in_module(obj) == here:
            # An instance of a type of the module, made under this name.
            kind = type(obj)
            line = f"{head} {kind.__module__}.{kind.__qualname__} object"
            return [line + (_signature(obj) if callable(obj) else "")] + \
                _function_lines(obj, indent + 1)
        if isinstance(obj, _SCALARS):
            return [f"{head} {type(obj).__name__} {obj!r}"]
        borrowed = self._borrowed(obj)
        if borrowed is not None:
            return [f"{head} {borrowed}"]
        owner = getattr(obj, "__self__", None)
        if isinstance(obj, types.BuiltinMethodType) and owner is not None \
                and not isinstance(owner, (types.ModuleType, type)):
            held = self._borrowed(owner) or _ref(owner)
            return [f"{head} bound method {obj.__name__} of ({held})"]
        if isinstance(obj, (tuple, frozenset)) and all(
                isinstance(x, _SCALARS) for x in obj):
            items = sorted(obj, key=repr) if isinstance(obj, frozenset) else obj
            return [f"{head} {type(obj).__name__} {tuple(items)!r}"]
        if type(obj) in (dict, list, set):
            # Which names share one container; the contents of the tables,
            # not of the state that fills as the program runs.
            first = self.containers.setdefault(id(obj), f"{path}{name}")
            shared = "" if first == f"{path}{name}" else f" (same as {first})"
            line = f"{head} {type(obj).__name__}{shared}"
            if f"{self.module.__name__.rsplit('.', 1)[-1]}.{path}{name}" \
                    not in RUNTIME_STATE:
                line += " " + _contents(obj)
            return [line]
        return [f"{head} {_ref(obj)}"]

    def member(self, path, name, raw, indent):
        """One entry of a class's own namespace."""
        pad = "  " * indent
        for kind, wrapper in (("staticmethod", staticmethod),
                              ("classmethod", classmethod)):
            if isinstance(raw, wrapper):
                fn = raw.__func__
                return [f"{pad}{name} = {kind}{_signature(fn)}"] + \
                    _function_lines(fn, indent + 1)
        if isinstance(raw, (property, types.GetSetDescriptorType,
                            types.MemberDescriptorType)):
            return [f"{pad}{name} = {type(raw).__name__}",
                    f"{pad}  doc: {raw.__doc__!r}"]
        if type(raw).__name__ == "instancemethod":  # PyInstanceMethod
            raw = raw.__func__
        if callable(raw) and not isinstance(raw, type) and (
                isinstance(raw, types.BuiltinFunctionType)
                or hasattr(type(raw), "__get__")):
            # Functions and method descriptors: bound to the instance.
            kind = ("classmethod"
                    if isinstance(raw, types.ClassMethodDescriptorType)
                    else "method")
            return [f"{pad}{name} = {kind}{_signature(raw)}"] + \
                _function_lines(raw, indent + 1)
        return self.value(path, name, raw, indent)

    def cls(self, path, name, cls, indent):
        pad = "  " * indent
        bases = ", ".join(_ref(b) for b in cls.__bases__)
        meta = type(cls)
        # enum.EnumMeta took the name EnumType in 3.11; both are the same.
        meta = "enum metaclass" if meta is type(enum.Enum) else _ref(meta)
        doc = cls.__doc__
        if isinstance(cls, enum.EnumMeta) and doc == "An enumeration.":
            doc = None  # what Enum gave a class without a docstring before 3.11
        lines = [f"{pad}{name} = class({bases}) metaclass {meta}",
                 f"{pad}  doc: {doc!r}"]
        abstract = getattr(cls, "__abstractmethods__", None)
        if abstract is not None:
            lines.append(f"{pad}  abstract: {sorted(abstract)!r}")
        own = vars(cls)
        if isinstance(cls, enum.EnumMeta):
            members = [(m.name, m.value) for m in cls]
            lines.append(f"{pad}  members: {members!r}")
            skip = set(cls.__members__) | {"_generate_next_value_", "__new__"}
            keys = [k for k in own if k not in skip and not k.startswith("_")]
        else:
            keys = [k for k in own if k not in _CLASS_BOOKKEEPING]
            # A native type's __new__ comes after its slots before 3.9.
            if "__new__" in keys:
                keys.remove("__new__")
                keys.insert(0, "__new__")
        for key in keys:
            lines += self.member(f"{path}{name}.", key, own[key], indent + 1)
        return lines

    def module_lines(self):
        mod = self.module
        lines = [f"module {mod.__name__}", f"doc: {mod.__doc__!r}"]
        # By name: a test that takes a name away and puts it back (its
        # monkeypatch) moves it to the end of the module's namespace.
        for name, obj in sorted(vars(mod).items()):
            if name not in _MODULE_DUNDERS:
                lines += self.value("", name, obj, 0)
        return lines


def describe(module_name):
    """The surface of one module as text."""
    module = importlib.import_module(module_name)
    return "\n".join(_Describer(module).module_lines()) + "\n"


def snapshot_path(module_name):
    return SURFACE_DIR / (module_name.rsplit(".", 1)[-1].lstrip("_") + ".txt")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true",
                        help="compare with the files, write nothing")
    args = parser.parse_args(argv)
    differ = False
    SURFACE_DIR.mkdir(exist_ok=True)
    for name in MODULES:
        path = snapshot_path(name)
        text = describe(name)
        old = path.read_text() if path.exists() else ""
        if old == text:
            continue
        differ = True
        if args.check:
            sys.stdout.writelines(difflib.unified_diff(
                old.splitlines(True), text.splitlines(True),
                str(path), name))
        else:
            path.write_text(text)
            print(f"wrote {path}")
    return 1 if differ and args.check else 0


if __name__ == "__main__":
    sys.exit(main())
