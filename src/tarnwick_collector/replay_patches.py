"""Where a replayed call finds the callables its record replaces: the
stand-ins are put where the project looks each callable up, and where it
is defined, for the time of the call (see ``replay.run``)."""
import builtins
import sys
import types
from typing import TYPE_CHECKING, Any, Dict, List, Tuple

from tarnwick_collector.replay_compare import _StandInClass, full_name_of
from tarnwick_collector.replay_project import _in_project, _project_namespaces, _project_root

if TYPE_CHECKING:
    from tarnwick_collector.replay import _Replay

_MISSING = object()


class _Patches:
    def __init__(self) -> None:
        self.undo: List[Tuple[Any, str, Any]] = []

    @staticmethod
    def _raw(target: Any, name: str) -> Any:
        """What ``name`` of ``target`` holds itself, as it is to be put back:
        a class's or module's own entry (a class method as its descriptor),
        an instance attribute, or ``_MISSING`` when it is inherited."""
        if isinstance(target, dict):
            return target.get(name, _MISSING)
        own = getattr(target, "__dict__", None)
        if own is not None and hasattr(own, "get"):
            if name in own:
                return own[name]
            if isinstance(target, (type, types.ModuleType)):
                return _MISSING
            slot = getattr(type(target), name, None)
            if slot is not None and hasattr(slot, "__set__"):  # a slot, a property
                return getattr(target, name, _MISSING)
            return _MISSING
        return getattr(target, name, _MISSING)

    def setattr(self, target: Any, name: str, value: Any) -> None:
        old = self._raw(target, name)
        if isinstance(target, dict):
            target[name] = value
        else:
            setattr(target, name, value)
        self.undo.append((target, name, old))

    def restore(self) -> None:
        while self.undo:
            target, name, old = self.undo.pop()
            try:
                if isinstance(target, dict):
                    if old is _MISSING:
                        target.pop(name, None)
                    else:
                        target[name] = old
                elif old is _MISSING:
                    delattr(target, name)
                else:
                    setattr(target, name, old)
            except Exception:
                pass


def _install_external(patches: _Patches, replay: "_Replay", namespace: Dict[str, Any],
                      names: set) -> None:
    """Replace the callables named ``names`` where the project looks them
    up: globals of its modules, attributes of module and class globals (and
    of the modules those hold: ``os.path.join``), builtins."""
    if not names:
        return
    replay.root = _project_root(namespace)
    stubs = {name: replay.stub(name) for name in names}
    owners = {name.rpartition(".")[0] for name in names}  # classes of class methods
    done: set = set()

    def replace(target: Any, key: str, name: str) -> bool:
        if (id(target), key) in done:
            return True
        original = target.get(key) if isinstance(target, dict) else getattr(target, key, None)
        if _of_the_project(replay, original):
            return False
        if original is not None:
            replay.originals.setdefault(name, original)
        try:
            patches.setattr(target, key, stubs[name] if original is None
                            else replay.stub(name, replaces=original))
        except (TypeError, AttributeError):
            return False  # a built-in type: cannot be replaced here
        done.add((id(target), key))
        replay.replaced.add(name)
        return True

    def members(holder: Any, depth: int) -> None:
        try:
            items = list(vars(holder).items())
        except TypeError:
            return
        for attr, member in items:
            if attr.startswith("__"):
                continue
            if isinstance(member, types.ModuleType):
                if depth == 0:
                    members(member, 1)
                continue
            if not callable(member):
                continue
            if isinstance(member, type):
                if _class_name(member) in owners:
                    _replace_class_members(patches, replay, holder, attr, member, stubs)
                continue
            try:
                got = getattr(holder, attr)
            except Exception:
                continue
            name = full_name_of(got)
            if name is not None and name in stubs:
                replace(holder, attr, name)

    builtin_names = {full_name_of(v): k for k, v in vars(builtins).items()
                     if not k.startswith("_") and callable(v)}
    for space in _project_namespaces(namespace):
        for key, value in list(space.items()):
            if key.startswith("__") or value is None:
                continue
            name = full_name_of(value) if callable(value) else None
            if name is not None and name in stubs:
                replace(space, key, name)
                continue
            if isinstance(value, types.ModuleType):
                members(value, 0)
            elif isinstance(value, type) and _class_name(value) in owners:
                _replace_class_members(patches, replay, space, key, value, stubs)
        for builtin_name, key in builtin_names.items():
            if builtin_name is not None and builtin_name in stubs \
                    and key not in space:
                replace(space, key, builtin_name)
    _install_at_home(patches, replay, names, stubs, replace)


def _class_name(cls: type) -> str:
    return f"{getattr(cls, '__module__', '')}.{getattr(cls, '__qualname__', '')}"


def _replace_class_members(patches: _Patches, replay: "_Replay", space: Any,
                           key: str, cls: type, stubs: Dict[str, Any]) -> None:
    """Class methods of a class global or of a class in a module global
    (``datetime.now``, ``datetime.datetime.now``): replaced on the class, or,
    for a built-in class, on a subclass put in its place while the call
    runs (so the program's ``isinstance`` tests against that name see only
    instances of the subclass). Methods written in Python are replaced on
    the class too."""
    found = {}
    for attr in dir(cls):
        if attr.startswith("__"):
            continue
        try:
            got = getattr(cls, attr)
        except Exception:
            continue
        name = full_name_of(got)
        if name not in stubs:
            continue
        if getattr(got, "__self__", None) is cls:
            found[attr] = name
        elif isinstance(got, types.FunctionType) and not _of_the_project(replay, got):
            # A method written in Python, called on an instance an external
            # call returned (``hmac.new(...).digest()``): the stand-in is
            # bound like the function it replaces.
            replay.originals.setdefault(name, got)
            try:
                patches.setattr(cls, attr, replay.stub(name, method=True, replaces=got))
            except (TypeError, AttributeError):
                continue
            replay.replaced.add(name)
    if not found:
        return
    for attr, name in found.items():
        replay.originals.setdefault(name, getattr(cls, attr))
    try:
        for attr, name in found.items():
            patches.setattr(cls, attr, staticmethod(stubs[name]))
            replay.replaced.add(name)
    except (TypeError, AttributeError):
        try:
            sub = _StandInClass(cls.__name__, (cls,), {
                attr: staticmethod(stubs[name]) for attr, name in found.items()})
        except TypeError:
            return
        sub.__module__ = cls.__module__
        sub.__qualname__ = cls.__qualname__
        patches.setattr(space, key, sub)
        replay.replaced.update(found.values())


def _install_at_home(patches: _Patches, replay: "_Replay", names: set,
                     stubs: Dict[str, Any], replace: Any) -> None:
    """Replace each callable where it is defined too (``json.load`` on the
    ``json`` module, ``datetime.now`` on the ``datetime`` class): a function
    that imports its module inside its body finds it there. A function of
    an accelerator module is replaced in the module that offers it too
    (``_socket.gethostname`` as ``socket.gethostname``)."""
    for name in names:
        parent_name, _, attr = name.rpartition(".")
        if not parent_name:
            continue
        try:
            parent = _resolve(parent_name)
        except Exception:
            continue
        if isinstance(parent, types.ModuleType):
            try:
                got = getattr(parent, attr)
            except Exception:
                continue
            if full_name_of(got) == name:
                replace(parent, attr, name)
                public = sys.modules.get(parent_name.lstrip("_"))
                if parent_name.startswith("_") and public is not None:
                    for offered, value in list(vars(public).items()):
                        if value is got:  # (``hashlib.sha1`` is ``_hashlib.openssl_sha1``)
                            replace(public, offered, name)
        elif isinstance(parent, type):
            cls: type = parent
            holder = sys.modules.get(getattr(cls, "__module__", "") or "")
            if holder is not None and getattr(holder, cls.__name__, None) is cls:
                _replace_class_members(patches, replay, holder, cls.__name__, cls,
                                       stubs)


def _of_the_project(replay: "_Replay", function: Any) -> bool:
    """Whether ``function`` is the project's own code, which no recorded
    external call stands for. (A builtin method that a class of the project
    inherits is recorded under that class's name: ``super().append(x)`` in
    a list subclass's own ``append`` is ``Sub.append``, and the replay
    must leave the subclass's method alone; the real call runs.)"""
    code = getattr(function, "__code__", None)
    return replay.root is not None and isinstance(code, types.CodeType) and \
        _in_project(replay.root, code.co_filename)


def _resolve(full_name: str) -> Any:
    from tarnwick_collector.replay import resolve  # (which imports this module)

    return resolve(full_name)

