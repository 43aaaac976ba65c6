"""Running the recorded program in this process as ``python SCRIPT`` or
``python -m MODULE`` would: finding it without running it, ``__main__``,
``sys.argv`` and ``sys.path``, the traceback without this command line's
frames, the exit status, and what the interpreter does at exit (waiting
for threads, exit handlers, ending by SIGINT after an interrupt)."""
import atexit
import builtins
import importlib.machinery
import importlib.util
import os
import pkgutil
import runpy
import sys
import threading
import traceback
import types
from typing import Any, Callable, List, Optional, Tuple

from tarnwick_collector.cli.parser import CliError


def _check_script(path: str) -> None:
    # Status 2, as the interpreter's for a script it cannot open.
    if not os.path.exists(path):
        raise CliError(f"no such script: {path}", 2)
    if os.path.isdir(path):
        if os.path.exists(os.path.join(path, "__main__.py")):
            return
        raise CliError(f"{path} is a directory without __main__.py", 2)
    if not os.access(path, os.R_OK):
        raise CliError(f"cannot read script {path}: permission denied", 2)


def _interpreter_abspath(path: str) -> str:
    """``path`` made absolute as the interpreter makes the path of the
    script it runs (``__file__``, tracebacks): joined to the current
    directory as given, without resolving ``.``, ``..`` or links. Python
    3.8 keeps the path as given."""
    if sys.version_info < (3, 9) and path:
        return path
    if path in ("", os.curdir):
        return os.getcwd()
    if os.path.isabs(path):
        return path
    return os.path.join(os.getcwd(), path)


def _check_module(name: str) -> None:
    """Fail unless ``name`` can be found, without running any of its code
    (parent packages are looked up, not imported)."""
    parts = name.split(".")
    if not all(part.isidentifier() for part in parts):
        raise CliError(f"not a module name: {name!r}")
    sys.path.insert(0, os.getcwd())
    try:
        spec = importlib.util.find_spec(parts[0])
        for depth in range(1, len(parts)):
            if spec is None:
                break
            locations = spec.submodule_search_locations
            if locations is None:
                raise CliError(f"{'.'.join(parts[:depth])} is not a package "
                               f"(looking for {name})")
            spec = importlib.machinery.PathFinder.find_spec(
                ".".join(parts[: depth + 1]), list(locations))
        if spec is None:
            raise CliError(f"no module named {name}")
        if spec.submodule_search_locations is not None:
            main = importlib.machinery.PathFinder.find_spec(
                name + ".__main__", list(spec.submodule_search_locations))
            if main is None:
                raise CliError(f"{name} is a package without __main__ and cannot be run")
    except (ImportError, ValueError) as exc:
        raise CliError(f"cannot find module {name}: {exc}") from None
    finally:
        sys.path.pop(0)


# The directory of the package: frames of its code are this command line's.
_PACKAGE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__))) + os.sep


def _is_ours(filename: str) -> bool:
    """Whether code of ``filename`` belongs to this package."""
    return os.path.abspath(filename).startswith(_PACKAGE_DIR)


def _program_traceback(exc: BaseException) -> None:
    """Print the program's exception as the interpreter would, without the
    frames of this command line (those of runpy stay: the interpreter runs
    ``-m MODULE`` and directories through runpy too, and shows them)."""
    tb = exc.__traceback__
    while tb is not None and _is_ours(tb.tb_frame.f_code.co_filename):
        tb = tb.tb_next
    sys.stderr.flush()
    traceback.print_exception(type(exc), exc, tb)


def _exit_status(exc: SystemExit) -> int:
    code = exc.code
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    try:
        sys.stderr.write(f"{code}\n")
    except Exception:
        pass
    return 1


def _new_main(**names: Any) -> types.ModuleType:
    """A fresh ``__main__`` module, in place in ``sys.modules``. It stays
    there after the program ends, as when Python runs a program: exit
    handlers and threads may still use it."""
    main = types.ModuleType("__main__")
    main.__dict__.update(names)
    main.__dict__.update(__annotations__={}, __builtins__=builtins)
    sys.modules["__main__"] = main
    return main


def _is_pyc(path: str, head: bytes) -> bool:
    return path.endswith(".pyc") or head[:2] == importlib.util.MAGIC_NUMBER[:2]


def _run_script(filename: str) -> None:
    """Run a script file as ``python SCRIPT`` runs it, ``filename`` being
    its path made absolute; a script of the project is run instrumented,
    like the project's modules, so its functions are recorded too."""
    with open(filename, "rb") as fh:
        data = fh.read()
    pyc = _is_pyc(filename, data)
    loader = (importlib.machinery.SourcelessFileLoader if pyc
              else importlib.machinery.SourceFileLoader)("__main__", filename)
    main = _new_main(__loader__=loader)
    main.__dict__.update(__file__=filename, __cached__=None)
    if pyc:
        import marshal

        exec(marshal.loads(data[16:]), main.__dict__)
        return
    project = None
    exec_instrumented = None
    try:
        from tarnwick_collector import tracer

        project = tracer.current_project()
        exec_instrumented = tracer.exec_instrumented
    except (ImportError, AttributeError):
        pass
    if project is not None and exec_instrumented is not None and \
            project.contains(filename):
        project.add_file(filename)
        exec_instrumented(data, filename, main)
    else:
        exec(compile(data, filename, "exec", dont_inherit=True), main.__dict__)


def _run_main_module(name: str, alter_argv: bool) -> None:
    """Run module ``name`` as ``__main__`` the way the interpreter runs
    ``python -m NAME`` and a directory or zip file given as the script."""
    _new_main()
    runpy._run_module_as_main(name, alter_argv=alter_argv)  # type: ignore[attr-defined]


def _run_program(script: Optional[str], module: Optional[str],
                 args: List[str]) -> Tuple[int, bool]:
    """Run the program in this process, as ``python SCRIPT`` or
    ``python -m MODULE`` would; return its exit status and whether an
    uncaught KeyboardInterrupt ended it."""
    if script is not None:
        # As the interpreter: sys.argv[0] is the script as given; a
        # directory or zip file (anything the import system can import
        # from) is put first on sys.path and its __main__ run; for a file,
        # the directory it really lies in comes first.
        filename = _interpreter_abspath(script)
        sys.argv = [script] + args
        if pkgutil.get_importer(filename) is not None:
            sys.path[0] = filename
            run: Callable[[], Any] = lambda: _run_main_module("__main__", False)
        else:
            sys.path[0] = os.path.dirname(os.path.realpath(script))
            run = lambda: _run_script(filename)
    else:
        sys.argv = [module or ""] + args
        sys.path[0] = os.getcwd()
        run = lambda: _run_main_module(module or "", True)
    interrupted = False
    try:
        run()
        status = 0
    except SystemExit as exc:
        status = _exit_status(exc)
    except KeyboardInterrupt as exc:
        _program_traceback(exc)
        status = 130
        interrupted = True
    except BaseException as exc:  # the program's own failure
        _program_traceback(exc)
        status = 1
    # Then what the interpreter does at exit before it finalizes, while the
    # calls are still recorded: wait for the program's threads, then run
    # its exit handlers.
    _wait_for_threads()
    _run_exit_handlers()
    return status, interrupted


def _report_ignored(where: Any, exc: BaseException) -> None:
    """Report an exception the interpreter cannot raise any further, in the
    words of its default ``sys.unraisablehook``."""
    kind = type(exc)
    module = getattr(kind, "__module__", None)
    name = getattr(kind, "__qualname__", kind.__name__)
    if module not in ("builtins", "__main__"):
        name = f"{module}.{name}" if isinstance(module, str) else f"<unknown>.{name}"
    try:
        text = str(exc)
    except Exception:
        text = "<exception str() failed>"
    tb = exc.__traceback__
    tb = tb.tb_next if tb is not None else None  # not this command line's frame
    lines = [f"Exception ignored in: {where!r}\n"]
    if tb is not None:
        lines.append("Traceback (most recent call last):\n")
        lines.extend(traceback.format_tb(tb))
    lines.append(f"{name}: {text}\n")
    try:
        sys.stderr.flush()
        sys.stderr.write("".join(lines))
        sys.stderr.flush()
    except Exception:
        pass


def _wait_for_threads() -> None:
    """Wait, as the interpreter at exit, for the program's threads that are
    not daemons, after running the shutdown hooks of threading (with which
    ``concurrent.futures`` ends its workers). Interrupted, it reports the
    interruption as the interpreter does and goes on to the exit
    handlers."""
    shutdown = getattr(threading, "_shutdown", None)
    try:
        if shutdown is not None:
            shutdown()
            return
        main = threading.main_thread()
        for thread in threading.enumerate():
            if thread is not main and not thread.daemon:
                thread.join()
    except BaseException as exc:
        _report_ignored(threading, exc)


def _run_exit_handlers() -> None:
    """Run the exit handlers (``atexit``) now, as the interpreter would at
    exit: the last registered first, each once; an exception in one is
    reported ("Exception ignored in atexit callback") and the others still
    run. Those of the collector and the channels are not among them (see
    ``_Recording.start``)."""
    previous = sys.unraisablehook

    def report(args: Any) -> None:
        # The interpreter runs the handlers with no frame of Python code
        # below them; an exception of a handler that is no Python function
        # (sys.exit itself, say) would otherwise be reported with this
        # command line's frame as its traceback.
        tb = args.exc_traceback
        while tb is not None and _is_ours(tb.tb_frame.f_code.co_filename):
            tb = tb.tb_next
        if tb is not args.exc_traceback:
            args = type(args)((args.exc_type, args.exc_value, tb, args.err_msg,
                               args.object))
        previous(args)

    sys.unraisablehook = report
    try:
        atexit._run_exitfuncs()
    except BaseException:  # before 3.11 the last error is raised again, once reported
        pass
    finally:
        if sys.unraisablehook is report:  # unless a handler set its own
            sys.unraisablehook = previous


class ProgramInterrupted(Exception):
    """The recorded program ended with an uncaught KeyboardInterrupt, whose
    traceback is printed; the recording is complete."""


def _end_as_interrupted() -> None:
    """End this process as the interpreter ends a program stopped by an
    uncaught KeyboardInterrupt: it finalizes (exit handlers, buffered files)
    and then kills itself with SIGINT, so that its parent (a shell, a
    supervisor) sees it end by the signal. A KeyboardInterrupt that leaves
    the main module makes the interpreter do just that; the program's
    traceback is printed already, so the hook prints nothing for it."""
    interrupt = KeyboardInterrupt()
    previous = sys.excepthook

    def hook(kind: Any, value: Any, tb: Any) -> None:
        if value is not interrupt:
            previous(kind, value, tb)

    sys.excepthook = hook
    raise interrupt
