"""The import hook: which modules are the project's, how they are loaded,
and living with other import hooks."""
import importlib
import importlib.abc
import importlib.machinery
import os
import sys
import threading

import pytest

from fakecore import FakeCore
from tarnwick_collector import tracer
from tarnwick_collector.tracer import _trampolines
from tarnwick_collector.tracer.hook import InstrumentingLoader, Project


@pytest.mark.parametrize("relpath, wanted", [
    ("app.py", True),
    ("pkg/sub/mod.py", True),
    ("pkg/data.txt", False),
    ("venv_dir/lib/mod.py", False),          # a virtual environment
    ("lib/site-packages/dep.py", False),
    ("__pycache__/x.py", False),
    (".git/hooks/x.py", False),
    ("skipme/x.py", False),                  # excluded by the caller
])
def test_project_files(tmp_path, relpath, wanted):
    (tmp_path / "venv_dir").mkdir()
    (tmp_path / "venv_dir" / "pyvenv.cfg").write_text("home = /usr\n")
    path = tmp_path / relpath
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("x = 1\n")
    project = Project(str(tmp_path), exclude=["skipme"])
    assert project.contains(str(path)) is wanted
    project.discover()
    assert (str(path) in project.files) is wanted


def test_files_outside_the_root_and_this_package_are_not_the_projects(tmp_path):
    project = Project(str(tmp_path))
    assert not project.contains(os.__file__)
    assert not project.contains(tracer.__file__)
    # even when the project root contains this package
    root = os.path.dirname(os.path.dirname(os.path.dirname(tracer.__file__)))
    assert not Project(root).contains(tracer.__file__)


def test_symlinked_spellings_of_a_file_are_known(tmp_path):
    real = tmp_path / "real"
    real.mkdir()
    (real / "m.py").write_text("x = 1\n")
    link = tmp_path / "link"
    link.symlink_to(real)
    project = Project(str(link))
    project.discover()
    assert str(link / "m.py") in project.files
    assert str(real / "m.py") in project.files


def test_a_file_is_known_by_its_spellings_through_the_import_path(tmp_path, monkeypatch):
    real = tmp_path / "real"
    (real / "pkg").mkdir(parents=True)
    for name in ("a.py", "b.py"):
        (real / "pkg" / name).write_text("x = 1\n")
    for alias in ("alias", "alias2"):
        (tmp_path / alias).symlink_to(real)
    monkeypatch.setattr(sys, "path", [str(tmp_path / "alias")] + sys.path)
    project = Project(str(real))
    project.add_file(str(real / "pkg" / "a.py"))
    assert str(tmp_path / "alias" / "pkg" / "a.py") in project.files
    # An entry added to the path later gives the files added after it theirs.
    sys.path.insert(0, str(tmp_path / "alias2"))
    project.add_file(str(real / "pkg" / "b.py"))
    assert {str(tmp_path / a / "pkg" / "b.py") for a in ("alias", "alias2")} <= project.files
    assert str(tmp_path / "alias2" / "pkg" / "a.py") not in project.files


def test_project_modules_are_instrumented_and_others_not(project):
    project.write("twpkg/__init__.py", "from . import inner\n")
    project.write("twpkg/inner.py", "def f():\n    return 1\n")
    project.install()
    import twpkg
    import json
    assert isinstance(twpkg.__spec__.loader, InstrumentingLoader)
    assert isinstance(twpkg.inner.__spec__.loader, InstrumentingLoader)
    assert not isinstance(json.__spec__.loader, InstrumentingLoader)
    assert {"twpkg", "twpkg.inner"} <= tracer.current_project().modules
    assert twpkg.inner.__file__ in tracer.current_project().files
    project.core.events.clear()
    assert twpkg.inner.f() == 1
    assert project.core.called_names() == ["f"]


def test_instrumented_modules_are_cached_only_under_their_own_tag(project, monkeypatch):
    monkeypatch.setattr(sys, "dont_write_bytecode", False)
    mod = project.load("def f():\n    return 2\n")
    cache = os.path.join(os.path.dirname(mod.__file__), "__pycache__")
    assert [n for n in os.listdir(cache) if n.startswith(mod.__name__ + ".")] == [
        f"{mod.__name__}.{sys.implementation.cache_tag}.tarnwick-{tracer_version()}.pyc"]


def test_a_module_imported_before_install_stays_plain(project):
    project.write("twmod_early.py", "def f():\n    return 3\n")
    importlib.invalidate_caches()
    import twmod_early
    project.install()
    assert twmod_early.f() == 3
    assert project.core.events == []
    del sys.modules["twmod_early"]


def test_reload_instruments_again(project):
    mod = project.load("def f():\n    return 1\n")
    tracer.uninstall()
    reloaded = importlib.reload(mod)
    assert not isinstance(reloaded.__spec__.loader, InstrumentingLoader)
    project.install()
    reloaded = importlib.reload(mod)
    assert isinstance(reloaded.__spec__.loader, InstrumentingLoader)


def test_modules_handled_by_another_import_hook_are_left_to_it(project):
    class OtherLoader(importlib.machinery.SourceFileLoader):
        pass

    class OtherFinder(importlib.abc.MetaPathFinder):
        def find_spec(self, fullname, path=None, target=None):
            if fullname != "twmod_other":
                return None
            spec = importlib.machinery.PathFinder.find_spec(fullname, path)
            spec.loader = OtherLoader(fullname, spec.origin)
            return spec

    project.write("twmod_other.py", "def f():\n    return 4\n")
    other = OtherFinder()
    sys.meta_path.insert(0, other)
    try:
        project.install()  # our finder goes first
        import twmod_other
        assert type(twmod_other.__spec__.loader) is OtherLoader
        assert twmod_other.f() == 4 and project.core.events == []
    finally:
        sys.meta_path.remove(other)


def test_uninstall_removes_the_finder(project):
    project.install()
    assert tracer.is_installed()
    tracer.uninstall()
    assert not tracer.is_installed()
    assert not any(type(f).__name__ == "ProjectFinder" for f in sys.meta_path)


def test_main_script_can_be_run_instrumented(project):
    import types

    path = project.write("script.py", "def g(x):\n    return x * 3\nRESULT = g(2)\n")
    project.install()
    module = types.ModuleType("__tw_script__")
    tracer.exec_instrumented(path.read_bytes(), str(path), module)
    assert module.RESULT == 6
    assert project.core.called_names() == ["g"]


def test_threads_do_not_deadlock_on_a_module_running_at_import(project):
    """A module that, while it is being imported, has another thread run its
    functions and waits for it: a core that imports the module (as pickling
    a function by reference does) must not block that thread forever."""

    class ImportingCore(FakeCore):
        def record_user_function_call(self, called, *args, **kwargs):
            importlib.import_module(called.__module__)
            return super().record_user_function_call(called, *args, **kwargs)

    project.write("twmod_threaded.py", '''
import threading

def work(out):
    out.append(square(3))

def square(x):
    return x * x

results = []
worker = threading.Thread(target=work, args=(results,))
worker.start()
worker.join(timeout=10)
STUCK = worker.is_alive()
RESULTS = results
''')
    project.install(core=ImportingCore())
    import twmod_threaded
    assert twmod_threaded.STUCK is False and twmod_threaded.RESULTS == [9]
    # After the import, calls on other threads are recorded again.
    t = threading.Thread(target=twmod_threaded.work, args=([],))
    t.start()
    t.join()
    assert "work" in project.core.called_names()


def test_calls_on_the_importing_thread_are_recorded_during_import(project):
    project.load("def f():\n    return 1\nX = f()\n")
    # The import itself made one recorded call (cleared by load); check
    # directly with a fresh module.
    core = project.core
    project.write("twmod_selfcall.py", "def f():\n    return 1\nX = f()\n")
    importlib.invalidate_caches()
    import twmod_selfcall  # noqa: F401
    assert core.called_names() == ["f"]
    assert _trampolines.stack_depth() == 0


def tracer_version():
    from tarnwick_collector import __version__

    return __version__


def test_an_excluded_file_is_not_the_projects_while_its_neighbours_are(tmp_path):
    for name in ("keep.py", "skip.py"):
        (tmp_path / name).write_text("x = 1\n")
    project = Project(str(tmp_path), exclude=["skip.py"])
    # asked twice: the second answer comes from what the first learnt
    for _ in range(2):
        assert project.contains(str(tmp_path / "keep.py"))
        assert not project.contains(str(tmp_path / "skip.py"))
