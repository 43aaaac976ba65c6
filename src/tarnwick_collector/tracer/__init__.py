"""The native tracer: records the project's own functions from the inside.

Project modules imported after :func:`install` are compiled with their
functions instrumented (see :mod:`tarnwick_collector.tracer.rewrite`); the
instrumented code calls the native trampolines of
:mod:`tarnwick_collector.tracer._trampolines`, which call the recording
core's entry points:

* ``record_user_function_call(called, *args, **kwargs)`` when a project
  function starts (``called`` is the function, or the bound class method,
  or the class when an initializer runs for a new instance), and
  ``record_user_function_return_value(return_value, record)`` when it ends,
  with its exception pending if it raised;
* ``record_external_call(callable, flag)`` before each call that a recorded
  function makes out of the project and
  ``record_external_return_value(return_value, record)`` after it (the flag
  is 1 when the callee is known to live outside the project's files);
* ``load_global_hook(value, name)`` and ``load_attr_hook(obj, name, value)``
  for the global-name and attribute loads of recorded code.

Every instrumented function keeps its original body beside the
instrumented one; a gate tested on entry runs the original body whenever
the call is not offered to the core (recording off, or not sampled) and no
recorded call is open on the thread, so unrecorded code runs at nearly its
plain speed. Generators are never recorded themselves (their bodies report
to an enclosing recorded call), nor are lambdas; coroutine functions are
offered to the core, which refuses them.

Modules imported before :func:`install` are not instrumented; a script run
as ``__main__`` can be, through :func:`exec_instrumented`. Recording never
changes what the program computes: failures of the core are kept from it.
"""
import sys
import types
from typing import Any, Iterable, Optional

from tarnwick_collector.tracer import _trampolines
from tarnwick_collector.tracer.hook import (
    InstrumentingLoader,
    Project,
    ProjectFinder,
)
from tarnwick_collector.tracer.rewrite import (
    compile_module,
    instrument,
    original_code,
)

__all__ = [
    "install", "install_project", "uninstall", "is_installed", "current_project",
    "instrument", "compile_module", "original_code", "exec_instrumented",
    "Project", "ProjectFinder", "InstrumentingLoader",
]

_finder: Optional[ProjectFinder] = None


def _register_code_resolver() -> None:
    # Digests of recorded functions describe the code as written.
    from tarnwick_common.utils import hash as code_hash

    if original_code not in code_hash.code_resolvers:
        code_hash.code_resolvers.append(original_code)


_register_code_resolver()


def install(project_path: str, core: Any, sampling_rate: float = 1.0,
            exclude: Iterable[str] = (), discover: bool = True) -> Project:
    """Instrument the project's modules imported from now on and offer
    their calls to ``core`` (an object with the six entry points), each
    call with probability ``sampling_rate``. Replaces an earlier
    installation. Returns the project, whose ``files`` and ``modules`` sets
    stay up to date as modules are imported."""
    project = Project(project_path, exclude)
    if discover:
        project.discover()
    return install_project(project, core, sampling_rate)


def install_project(project: Project, core: Any,
                    sampling_rate: float = 1.0) -> Project:
    """:func:`install` for a project already set up."""
    global _finder
    uninstall()
    _trampolines.set_core(core)
    _trampolines.set_project(project.files, project.modules)
    finder = ProjectFinder(project)
    sys.meta_path.insert(0, finder)
    _finder = finder
    _trampolines.enable(sampling_rate)
    return project


def uninstall() -> None:
    """Stop offering new calls and stop instrumenting imports. Calls being
    recorded still finish; modules already instrumented stay so (and cost a
    native call per instrumented operation)."""
    global _finder
    _trampolines.disable()
    finder, _finder = _finder, None
    if finder is not None:
        try:
            sys.meta_path.remove(finder)
        except ValueError:
            pass


def is_installed() -> bool:
    return _finder is not None


def current_project() -> Optional[Project]:
    return _finder.project if _finder is not None else None


def exec_instrumented(source: bytes, filename: str,
                      module: types.ModuleType) -> None:
    """Run ``source`` as the body of ``module``, instrumented (for a script
    run as ``__main__``)."""
    project = current_project()
    code, _ = compile_module(
        source, filename,
        None if project is None else
        lambda exc: project.instrumentation_failed(module.__name__, exc))
    exec(code, module.__dict__)
