"""Fixtures for the tracer tests: a project directory whose modules are
imported instrumented, with a fake core."""
import importlib
import itertools
import sys
import textwrap

import pytest

from tarnwick_collector import tracer
from tarnwick_collector.tracer import _trampolines

from fakecore import FakeCore

_names = itertools.count()


class Project:
    """A temporary project directory on sys.path."""

    def __init__(self, root):
        self.root = root
        self.core = FakeCore()

    def write(self, relpath, source):
        path = self.root / relpath
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(source))
        return path

    def load(self, source, core=None, sampling_rate=1.0):
        """Write ``source`` as a new module, install the tracer and import
        the module instrumented."""
        name = f"twmod_{next(_names)}"
        self.write(f"{name}.py", source)
        self.install(core, sampling_rate)
        module = importlib.import_module(name)
        self.core.events.clear()  # calls made while the module was run
        return module

    def install(self, core=None, sampling_rate=1.0):
        if core is not None:
            self.core = core
        importlib.invalidate_caches()
        return tracer.install(str(self.root), self.core, sampling_rate)


@pytest.fixture
def project(tmp_path, monkeypatch):
    root = tmp_path / "proj"
    root.mkdir()
    monkeypatch.syspath_prepend(str(root))
    before = set(sys.modules)
    proj = Project(root)
    try:
        yield proj
    finally:
        tracer.uninstall()
        _trampolines.set_core(None)
        _trampolines.set_project(None, None)
        for name in set(sys.modules) - before:
            if name.startswith("twmod_") or name.startswith("twpkg"):
                del sys.modules[name]
