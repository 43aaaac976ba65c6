"""The import hook: which modules are the project's, and loading them
instrumented.

A project module is one whose source file lies under the project root,
outside the interpreter's own directories (standard library, site-packages,
a virtual environment kept inside the project), outside version-control and
cache directories, and outside this package. The finder sits first on
``sys.meta_path``; it asks the finders after it for the module's spec and,
when the standard source loader would load a project file, loads it through
:class:`InstrumentingLoader` instead. Modules that other import hooks handle
(a test runner's own rewriting, zip imports, extension modules) are left to
them. Instrumented code is never written to the interpreter's bytecode
cache: it is kept under a tag of its own (see ``cache``), so that a plain
import never loads it.
"""
import importlib.abc
import importlib.machinery
import os
import site
import sys
import sysconfig
import threading
from importlib._bootstrap import (  # type: ignore[attr-defined]  # not in the stubs
    _call_with_frames_removed,
)
from typing import Callable, Dict, Iterable, List, Optional, Set, Tuple

from tarnwick_collector.tracer import _trampolines, cache
from tarnwick_collector.tracer.rewrite import compile_module

#: Directory names never searched for project modules.
SKIPPED_DIRS = frozenset({
    "site-packages", "dist-packages", "__pycache__", ".git", ".hg", ".svn",
    ".tox", ".nox", ".venv", ".eggs", "node_modules", ".mypy_cache",
    ".pytest_cache", ".tarnwick",
})

_OWN_PACKAGES = ("tarnwick_collector", "tarnwick_common")


def _real(path: str) -> str:
    return os.path.normcase(os.path.realpath(path))


def _under(path: str, root: str) -> bool:
    return path == root or path.startswith(root.rstrip(os.sep) + os.sep)


def _interpreter_dirs() -> List[str]:
    dirs: Set[str] = set()
    for key in ("stdlib", "platstdlib", "purelib", "platlib"):
        path = sysconfig.get_paths().get(key)
        if path:
            dirs.add(path)
    try:
        dirs.update(site.getsitepackages())
    except AttributeError:  # some virtualenv builds lack it
        pass
    user_site = getattr(site, "USER_SITE", None)
    if user_site:
        dirs.add(user_site)
    for name in _OWN_PACKAGES:
        module = sys.modules.get(name)
        path = getattr(module, "__file__", None)
        if path:
            dirs.add(os.path.dirname(path))
    return sorted(_real(d) for d in dirs)


class Project:
    """The project being recorded: its root, its source files and the
    modules instrumented so far.

    ``files`` holds every spelling under which a project source file may be
    named (the path as the import system finds it, its real path), so that
    membership tests work on any of them. ``files`` and ``modules`` are the
    live sets the tracer and the settings read.
    """

    def __init__(self, root: str, exclude: Iterable[str] = ()) -> None:
        self.root = os.path.abspath(root)
        self._real_root = _real(root)
        self._excluded = [d for d in _interpreter_dirs()
                          if not _under(self._real_root, d)]
        self._excluded += [_real(os.path.join(self.root, e)) for e in exclude]
        self._venv_cache: dict = {}
        # Real paths of directories and of sys.path entries, asked for at
        # every import: resolving them each time (a system call per path
        # component) was a large share of an import from the cache.
        self._real_dirs: Dict[str, str] = {}
        self._last_real: Tuple[str, str] = ("", "")
        self._path_bases: Dict[str, Tuple[str, str]] = {}
        self._spellings: Dict[Tuple[str, Tuple[str, ...]], List[str]] = {}
        self._project_dirs: Dict[str, bool] = {}
        self._contained: Dict[str, bool] = {}
        self.files: Set[str] = set()
        self.modules: Set[str] = set()
        #: (module, error) of each project module the instrumenter failed
        #: on, which was then loaded as written.
        self.failures: List[Tuple[str, str]] = []
        #: Told (module, error) of each such failure as it happens.
        self.on_failure: Optional[Callable[[str, str], None]] = None

    def instrumentation_failed(self, module: str, exc: BaseException) -> None:
        """Note that ``module`` is loaded as written because the
        instrumenter failed on it with ``exc``."""
        error = f"{type(exc).__name__}: {exc}"
        self.failures.append((module, error))
        if self.on_failure is not None:
            self.on_failure(module, error)

    def _in_venv(self, directory: str) -> bool:
        """Whether ``directory`` (a real path under the root) is inside a
        virtual environment kept in the project."""
        cached = self._venv_cache.get(directory)
        if cached is not None:
            return cached
        if not _under(directory, self._real_root) or \
                directory == self._real_root:
            result = False
        elif os.path.exists(os.path.join(directory, "pyvenv.cfg")):
            result = True
        else:
            result = self._in_venv(os.path.dirname(directory))
        self._venv_cache[directory] = result
        return result

    def _realpath(self, path: str) -> str:
        """``os.path.realpath(path)``, its directory's resolved once. The
        last answer is kept: a module's path is asked for by the finder and
        again by the loader."""
        last = self._last_real
        if last[0] == path:
            return last[1]
        directory, name = os.path.split(os.path.abspath(path))
        real_dir = self._real_dirs.get(directory)
        if real_dir is None:
            real_dir = self._real_dirs[directory] = os.path.realpath(directory)
        full = os.path.join(real_dir, name)
        real = os.path.realpath(full) if os.path.islink(full) else full
        if os.path.isabs(path):  # a relative one depends on the directory
            self._last_real = (path, real)
        return real

    def contains(self, path: str) -> bool:
        """Whether ``path`` is a source file of the project (the answer for
        an absolute path is kept, like the real paths it is made from)."""
        known = self._contained.get(path)
        if known is not None:
            return known
        if not path.endswith(".py"):
            return False
        real = os.path.normcase(self._realpath(path))
        if any(_under(real, d) for d in self._excluded):
            known = False  # (an exclusion may name a single file)
        else:
            directory = os.path.dirname(real)
            known = self._project_dirs.get(directory)
            if known is None:
                known = self._project_dirs[directory] = \
                    self._is_project_dir(directory)
        if os.path.isabs(path):
            self._contained[path] = known
        return known

    def _is_project_dir(self, real_dir: str) -> bool:
        """Whether the source files directly in ``real_dir`` (a real path)
        are the project's."""
        if not _under(real_dir, self._real_root):
            return False
        if any(_under(real_dir, d) for d in self._excluded):
            return False
        rel = os.path.relpath(real_dir, self._real_root)
        if rel != os.curdir and any(part in SKIPPED_DIRS for part in rel.split(os.sep)):
            return False
        return not self._in_venv(real_dir)

    def add_file(self, path: str) -> None:
        """Record ``path`` and its other spellings as a project file."""
        self.files.add(path)
        self.files.add(os.path.abspath(path))
        real = self._realpath(path)
        self.files.add(real)
        real_dir, name = os.path.split(real)
        for spelling in self._dir_spellings(real_dir):
            self.files.add(os.path.join(spelling, name))

    def _dir_spellings(self, real_dir: str) -> List[str]:
        """The other spellings of ``real_dir`` through the entries of
        ``sys.path`` (a link to it, a relative entry), kept per directory
        and the path as it stands."""
        key = (real_dir, tuple(e for e in sys.path if isinstance(e, str)))
        found = self._spellings.get(key)
        if found is not None:
            return found
        found = []
        for entry in key[1]:
            bases = self._path_bases.get(entry)
            if bases is None:
                base = os.path.abspath(entry or os.curdir)
                bases = self._path_bases[entry] = (base, os.path.realpath(base))
            base, real_base = bases
            if _under(real_dir, real_base):
                spelling = os.path.normpath(
                    os.path.join(base, os.path.relpath(real_dir, real_base)))
                if spelling != real_dir and spelling not in found:
                    found.append(spelling)
        self._spellings[key] = found
        return found

    def discover(self) -> None:
        """Find the project's source files under the root."""
        for directory, subdirs, names in os.walk(self.root):
            kept = []
            for sub in subdirs:
                full = os.path.join(directory, sub)
                if sub in SKIPPED_DIRS or sub.startswith("."):
                    continue
                if os.path.exists(os.path.join(full, "pyvenv.cfg")):
                    continue
                if any(_under(_real(full), d) for d in self._excluded):
                    continue
                kept.append(sub)
            subdirs[:] = sorted(kept)
            for name in names:
                path = os.path.join(directory, name)
                if self.contains(path):
                    self.add_file(path)


class InstrumentingLoader(importlib.machinery.SourceFileLoader):
    """Loads a project module from source with its functions instrumented
    (nothing read from or written to the interpreter's bytecode cache; the
    instrumented code is cached under its own tag)."""

    def __init__(self, fullname: str, path: str, project: Project) -> None:
        super().__init__(fullname, path)
        self._project = project

    def exec_module(self, module) -> None:
        _trampolines.module_started()
        try:
            super().exec_module(module)
        finally:
            _trampolines.module_finished()

    # The frame of exec_module sits between the import system's frames and
    # the module body. The interpreter leaves the import system's frames out
    # of the traceback of an exception raised by a module body, and
    # warnings.warn(stacklevel=...) skips them, only for frames whose file is
    # the import system's: under this file's name the frame would show up in
    # such tracebacks (with the importlib frames around it) and take the
    # warnings meant for the importing line. It is named after the file of
    # the method it wraps, as if it were part of it.
    _wrapped_file = getattr(getattr(
        importlib.machinery.SourceFileLoader.exec_module, "__code__", None),
        "co_filename", None)
    if isinstance(_wrapped_file, str):
        exec_module.__code__ = exec_module.__code__.replace(
            co_filename=_wrapped_file)
    del _wrapped_file

    def get_code(self, fullname: str):
        source = self.get_data(self.path)
        try:
            code, instrumented = compile_module(
                source, self.path,
                lambda exc: self._project.instrumentation_failed(fullname, exc),
                cache.cache_path(self.path))
        except SyntaxError:
            code, instrumented = None, False
        if code is None:
            # The source's own error, raised again as the plain loader
            # raises it: through the import system's frame-removing call,
            # with no frame of the instrumenter in its traceback (and out
            # of the handler above, so with no earlier error chained). A
            # source that compiles (the instrumenter's own error) loads
            # as written.
            code = _call_with_frames_removed(compile, source, self.path, "exec",
                                             dont_inherit=True)
        if instrumented:
            self._project.add_file(self.path)
            self._project.modules.add(fullname)
        return code

    # Named after the file of the method it replaces, like exec_module: the
    # interpreter then leaves it out of a syntax error's traceback together
    # with the import system's frames around it.
    _wrapped_file = getattr(getattr(
        importlib.machinery.SourceFileLoader.get_code, "__code__", None),
        "co_filename", None)
    if isinstance(_wrapped_file, str):
        get_code.__code__ = get_code.__code__.replace(co_filename=_wrapped_file)
    del _wrapped_file


class ProjectFinder(importlib.abc.MetaPathFinder):
    """Routes the project's modules to :class:`InstrumentingLoader`."""

    def __init__(self, project: Project) -> None:
        self.project = project
        self._local = threading.local()

    def find_spec(self, fullname: str, path=None, target=None):
        if fullname.partition(".")[0] in _OWN_PACKAGES:
            return None
        if getattr(self._local, "busy", False):
            return None
        self._local.busy = True
        try:
            spec = None
            for finder in list(sys.meta_path):
                if finder is self:
                    continue
                find = getattr(finder, "find_spec", None)
                if find is None:
                    return None  # a legacy finder: let the import system ask
                spec = find(fullname, path, target)
                if spec is not None:
                    break
        finally:
            self._local.busy = False
        if spec is None:
            return None
        if type(spec.loader) is not importlib.machinery.SourceFileLoader:
            return spec
        origin: Optional[str] = spec.origin
        if not origin or not self.project.contains(origin):
            return spec
        spec.loader = InstrumentingLoader(fullname, origin, self.project)
        return spec

    def invalidate_caches(self) -> None:
        pass
