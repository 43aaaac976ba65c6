"""The ``tarnwick`` command line.

- ``tarnwick record [options] SCRIPT [ARGS...]`` and
  ``tarnwick record [options] -m MODULE [ARGS...]`` run a program under
  recording; its calls go to the record store.
- ``tarnwick show`` prints the recorded calls, ``tarnwick stats`` the metric
  counters and what went wrong, ``tarnwick demo`` records the example
  application and summarises what was recorded.

Errors are one line on standard error and a non-zero exit status (2 for bad
usage, 1 for everything else). ``show`` and ``stats`` open the store
read-only and never run anything a record names.
"""
import argparse
import atexit
import builtins
import importlib.machinery
import importlib.util
import json
import os
import pkgutil
import runpy
import shutil
import subprocess
import sys
import threading
import time
import traceback
import types
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from tarnwick_collector.store import sqlite_store
from tarnwick_collector.store.sqlite_store import StoreError

PROG = "tarnwick"


class CliError(Exception):
    """A failure to report as one line; ``status`` is the exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


class _Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line."""

    def error(self, message: str) -> "NoReturn":  # type: ignore[name-defined]  # noqa: F821
        raise CliError(f"{message} (see {self.prog} --help)", 2)


def _int_at_least(low: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"expected a whole number, got {text!r}") from None
        if value < low:
            raise argparse.ArgumentTypeError(f"must be at least {low}, got {value}")
        return value

    parse.__name__ = "number"
    return parse


def _rate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1, got {text}")
    return value


def _nonempty(text: str) -> str:
    if not text.strip():
        raise argparse.ArgumentTypeError("must not be empty")
    return text


def _redact_patterns(text: str) -> Tuple[str, ...]:
    from tarnwick_common.redaction import normalize_patterns

    try:
        return normalize_patterns([p for p in text.split(",") if p.strip()]
                                  or [text])
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


class _ToolStderr:
    """The standard error `record` started with, where its own lines go
    whatever the recorded program did to ``sys.stderr`` (replaced it, set it
    to None, closed it): straight to file descriptor 2 when that object can
    no longer be written."""

    def __init__(self) -> None:
        self.stream = sys.stderr

    def write(self, text: str) -> None:
        try:
            self.stream.write(text)
            return
        except (AttributeError, ValueError, OSError):
            pass  # None, closed, or its file failed
        try:
            os.write(2, text.encode("utf-8", "backslashreplace"))
        except OSError:
            pass

    def flush(self) -> None:
        try:
            self.stream.flush()
        except (AttributeError, ValueError, OSError):
            pass

    def isatty(self) -> bool:
        try:
            return bool(self.stream.isatty())
        except (AttributeError, ValueError, OSError):
            return False


# Set while `record` runs a program; the other commands write to sys.stderr.
_tool_stderr: Optional[_ToolStderr] = None


def _out() -> Any:
    """Where the command line's own lines go."""
    return _tool_stderr if _tool_stderr is not None else sys.stderr


def _err(line: str) -> None:
    out = _out()
    out.write(line + "\n")
    out.flush()


class Progress:
    """Progress of a long operation on standard error: rewritten in place on
    a terminal, a line every few seconds otherwise."""

    def __init__(self, enabled: bool = True, interval: float = 2.0) -> None:
        self.enabled = enabled
        self.tty = enabled and _out().isatty()
        self.interval = 0.1 if self.tty else interval
        self._last = 0.0
        self._shown = False

    def update(self, text: str, force: bool = False) -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        if not force and now - self._last < self.interval:
            return
        self._last = now
        out = _out()
        if self.tty:
            out.write("\r\033[K" + f"{PROG}: {text}")
            self._shown = True
        else:
            out.write(f"{PROG}: {text}\n")
        out.flush()

    def done(self) -> None:
        if self.tty and self._shown:
            out = _out()
            out.write("\r\033[K")
            out.flush()
        self._shown = False


# --- record ------------------------------------------------------------

_RECORD_VALUE_OPTIONS = {
    "--project-root", "--store", "--tenant-id", "--project-id",
    "--external-calls-max", "--sampling-rate", "--buffer-messages",
    "--redact",
}


def _record_parser() -> _Parser:
    p = _Parser(
        prog=f"{PROG} record",
        description="Run a Python program with its calls recorded into the store.",
        usage=f"{PROG} record [options] SCRIPT [ARGS...]\n"
              f"       {PROG} record [options] -m MODULE [ARGS...]",
    )
    p.add_argument("--project-root", metavar="DIR",
                   help="root of the project whose functions are recorded "
                        "(default: the current directory)")
    p.add_argument("--store", metavar="PATH",
                   help="the SQLite store (default: PROJECT_ROOT/.tarnwick/records.sqlite3)")
    p.add_argument("--tenant-id", type=_nonempty, metavar="ID",
                   help="tenant identity sent with every metric")
    p.add_argument("--project-id", type=_nonempty, metavar="ID",
                   help="project identity sent with every metric")
    p.add_argument("--external-calls-max", type=_int_at_least(0), metavar="N",
                   help="external calls kept per recorded call")
    p.add_argument("--sampling-rate", type=_rate, metavar="RATE",
                   help="share of calls recorded, between 0 and 1")
    p.add_argument("--buffer-messages", type=_int_at_least(1), metavar="N",
                   help="messages each channel may buffer before dropping "
                        f"(default {100_000})")
    p.add_argument("--redact", action="append", type=_redact_patterns,
                   metavar="PATTERNS",
                   help="also store as <redacted> the values whose names "
                        "contain one of PATTERNS (comma-separated; repeatable)")
    p.add_argument("--no-redact", action="store_true",
                   help="store every value as it is (no redaction)")
    p.add_argument("--quiet", "-q", action="store_true",
                   help="no summary at the end (losses are still reported)")
    p.add_argument("-m", dest="module", metavar="MODULE",
                   help="run a module as a script, like python -m")
    return p


def _split_record_args(argv: Sequence[str]) -> Tuple[List[str], Optional[str], Optional[str], List[str]]:
    """Cut ``record``'s arguments into its own options and the program:
    (options, script, module, program arguments). Everything after the
    script or ``-m MODULE`` belongs to the program."""
    i = 0
    while i < len(argv):
        tok = argv[i]
        if tok == "--":
            if i + 1 < len(argv):
                return list(argv[:i]), argv[i + 1], None, list(argv[i + 2:])
            return list(argv[:i]), None, None, []
        if tok == "-m":
            if i + 1 >= len(argv):
                raise CliError(f"argument -m: expected a module name (see {PROG} record --help)", 2)
            return list(argv[:i]), None, argv[i + 1], list(argv[i + 2:])
        if tok.startswith("-m") and not tok.startswith("--"):
            return list(argv[:i]), None, tok[2:], list(argv[i + 1:])
        if tok in _RECORD_VALUE_OPTIONS:
            i += 2
            continue
        if tok.startswith("-") and tok != "-":
            i += 1
            continue
        return list(argv[:i]), tok, None, list(argv[i + 1:])
    return list(argv), None, None, []


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


_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__)) + os.sep


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
        atexit._run_exitfuncs()  # type: ignore[attr-defined]
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


class _Recording:
    """Starts and stops the collector for one run of a program, with the
    subprocess channels of the run."""

    def __init__(self, opts: argparse.Namespace, store: str, project_root: str,
                 command: str) -> None:
        self.opts = opts
        self.store = store
        self.project_root = project_root
        self.command = command
        self.channels: Tuple[Any, ...] = ()
        self._stop: Optional[Callable[[], Any]] = None
        self._saved: Dict[str, Any] = {}

    def start(self) -> None:
        try:
            import tarnwick_collector as package
            start = getattr(package, "start", None)
            stop = getattr(package, "stop", None)
        except ImportError:  # pragma: no cover - the package itself is here
            start = stop = None
        if start is None or stop is None:
            raise CliError("recording is not available: the tracer is not built "
                           "(run make build)")
        from tarnwick_collector.channels import open_channels
        try:
            from tarnwick_collector.configs.collector_settings import CollectorSettings
        except ValueError as exc:  # a malformed TARNWICK_* variable
            raise CliError(str(exc)) from None

        data, metrics = open_channels(
            self.store, self.project_root, command=self.command,
            max_messages=self.opts.buffer_messages, report=_err)
        self.channels = (data, metrics)
        for name in ("data_subprocess", "metrics_subprocess"):
            self._saved[name] = getattr(CollectorSettings, name)
        options = {
            "tenant_id": self.opts.tenant_id,
            "project_id": self.opts.project_id,
            "external_calls_max": self.opts.external_calls_max,
            "sampling_rate": self.opts.sampling_rate,
        }
        kwargs = {k: v for k, v in options.items() if v is not None}
        if self.opts.no_redact:
            kwargs["redact"] = ()
        elif self.opts.redact:
            kwargs["redact"] = CollectorSettings.redact_patterns + tuple(
                p for group in self.opts.redact for p in group)
        kwargs.update(project_path=self.project_root, data_channel=data,
                      metrics_channel=metrics)
        try:
            start(**kwargs)
        except (TypeError, ValueError, RuntimeError, ImportError) as exc:
            self.stop_channels()
            raise CliError(f"cannot start recording: {exc}") from None
        self._stop = stop
        # This command stops the recording and the channels itself, after the
        # program's exit handlers ran (recorded); their own exit handlers
        # would stop them in the middle of the program's.
        from tarnwick_collector.channels import stop_all

        atexit.unregister(stop)
        atexit.unregister(stop_all)

    def stop(self) -> None:
        if self._stop is not None:
            stop, self._stop = self._stop, None
            try:
                stop()
            except Exception as exc:
                _err(f"{PROG}: stopping the recording failed: {exc}")

    def stop_channels(self, progress: Optional[Progress] = None) -> List[Any]:
        from tarnwick_collector.channels import close_channels
        from tarnwick_collector.configs.collector_settings import CollectorSettings

        if not self.channels:
            return []
        reports = close_channels(
            *self.channels,
            progress=(lambda line: progress.update(line)) if progress else None)
        if progress:
            progress.done()
        self.channels = ()
        for name, value in self._saved.items():
            setattr(CollectorSettings, name, value)
        return reports


def cmd_record(argv: Sequence[str]) -> int:
    options, script, module, program_args = _split_record_args(argv)
    opts = _record_parser().parse_args(options)
    if opts.no_redact and opts.redact:
        raise CliError("--redact and --no-redact exclude each other "
                       f"(see {PROG} record --help)", 2)
    if opts.module is not None:  # "-m" inside the option part
        module = opts.module
    if script is None and module is None:
        raise CliError(f"nothing to record: give a SCRIPT or -m MODULE "
                       f"(see {PROG} record --help)", 2)
    project_root = os.path.abspath(opts.project_root or os.getcwd())
    if not os.path.isdir(project_root):
        raise CliError(f"project root {opts.project_root} is not a directory")
    if script is not None:
        _check_script(script)
    else:
        _check_module(module or "")
    store = os.path.abspath(opts.store) if opts.store else \
        sqlite_store.default_store_path(project_root)
    try:
        sqlite_store.check_store_writable(store)
    except StoreError as exc:
        raise CliError(str(exc)) from None
    global _tool_stderr
    _tool_stderr = _ToolStderr()
    try:
        return _record(opts, store, project_root, script, module, program_args,
                       argv)
    finally:
        _tool_stderr = None


def _record(opts: Any, store: str, project_root: str, script: Optional[str],
            module: Optional[str], program_args: List[str],
            argv: Sequence[str]) -> int:
    command = " ".join([PROG, "record"] + list(argv))
    recording = _Recording(opts, store, project_root, command)
    try:
        recording.start()
    except StoreError as exc:
        raise CliError(str(exc)) from None
    except OSError as exc:
        recording.stop_channels()
        raise CliError(f"cannot start the channel subprocesses: {exc}") from None
    started = time.monotonic()
    origin = os.getpid()
    interrupted = False
    try:
        status, interrupted = _run_program(script, module, program_args)
    finally:
        recording.stop()
        try:
            sys.stdout.flush()
        except Exception:
            pass
        reports = recording.stop_channels(Progress())
    # A process the program forked ends here too when it returns from the
    # program; the summary is the recording's, printed once, by `record`.
    if not opts.quiet and os.getpid() == origin:
        try:
            _print_record_summary(store, reports, time.monotonic() - started)
        except BrokenPipeError:
            pass  # the program's status matters more than the summary line
    if interrupted:
        raise ProgramInterrupted()
    return status


def _print_record_summary(store: str, reports: List[Any], seconds: float) -> None:
    data = next((r for r in reports if r.channel == "data"), None)
    metrics = next((r for r in reports if r.channel == "metrics"), None)
    if data is None:
        return
    calls = f"{data.stored} calls"
    with_forks = _calls_with_forks(store, data.session)
    if with_forks is not None and with_forks != data.stored:
        calls += f" ({with_forks} with those of its forked processes)"
    line = (f"{PROG}: recorded {calls} and "
            f"{metrics.stored if metrics else 0} metrics in {seconds:.1f}s "
            f"into {os.path.relpath(store)} (run {data.session})")
    _err(line)


def _calls_with_forks(store: str, session: str) -> Optional[int]:
    """The calls stored by the run and the processes it forked, or None
    when the store cannot tell."""
    try:
        conn = sqlite_store.open_for_reading(store)
    except Exception:
        return None
    try:
        return sqlite_store.count_data_rows(conn, sqlite_store.Recording(session))
    except Exception:
        return None
    finally:
        conn.close()


# --- show and stats ----------------------------------------------------

def _reader_parser(name: str, description: str) -> _Parser:
    p = _Parser(prog=f"{PROG} {name}", description=description)
    p.add_argument("--store", metavar="PATH",
                   help="the SQLite store (default: ./.tarnwick/records.sqlite3)")
    p.add_argument("--run", "--session", dest="run", metavar="ID",
                   help="which recording: a run id (or its start), 'last' "
                        "(default: the latest recording, with the runs of the "
                        "processes it forked) or 'all'")
    p.add_argument("--json", action="store_true", help="print JSON")
    return p


def _describe_runs(selection: Any, runs: List[str]) -> str:
    """The runs read, for messages: "run ID", with the forked ones."""
    if selection is None:
        return "all runs"
    from tarnwick_collector.store.render import safe_text

    if isinstance(selection, sqlite_store.Recording):
        forks = len(runs) - 1
        return f"run {safe_text(selection.root)}" + (
            f" and {forks} run(s) of processes it forked" if forks > 0 else "")
    return f"run {safe_text(selection)}"


def _open_store(opts: argparse.Namespace) -> Tuple[Any, Any, str]:
    path = os.path.abspath(opts.store) if opts.store else sqlite_store.default_store_path()
    try:
        conn = sqlite_store.open_for_reading(path)
        session = sqlite_store.resolve_runs(conn, opts.run)
    except StoreError as exc:
        raise CliError(str(exc)) from None
    except Exception as exc:  # a damaged file fails in many ways
        raise CliError(f"cannot read store {path}: {exc}") from None
    return conn, session, path


def _shown_record(row: Sequence[Any], as_json: bool, limits: Any,
                  show_run: bool = False) -> Tuple[str, Optional[str]]:
    """The text of one stored call, and for JSON the same in plain ASCII
    (for an output that cannot encode the first). A record that cannot be
    shown at all is shown by its stored columns and the reason."""
    from tarnwick_collector.store.render import RecordView, render_text, to_json

    def shown(view: Any) -> Any:
        if as_json:
            return to_json(view, limits)
        return render_text(view, limits, show_run=show_run)

    try:
        result = shown(RecordView.from_row(row))
    except Exception as exc:
        result = shown(RecordView.unshowable(row, exc))
    if as_json:
        return json.dumps(result, ensure_ascii=False), json.dumps(result)
    return "\n".join(result) + "\n", None


def _write(out: Any, text: str, fallback: Optional[str] = None) -> None:
    """Write ``text``; characters the output cannot encode (lone surrogates
    of undecodable file names, or anything beyond an ASCII terminal) are
    written as escapes instead of failing the whole output."""
    try:
        out.write(text)
    except UnicodeEncodeError:
        if fallback is None:
            encoding = getattr(out, "encoding", None) or "utf-8"
            fallback = text.encode(encoding, "backslashreplace").decode(encoding)
        out.write(fallback)


def cmd_show(argv: Sequence[str]) -> int:
    from tarnwick_collector.store.render import Limits

    p = _reader_parser("show", "Print the recorded calls.")
    p.add_argument("--function", metavar="NAME",
                   help="only calls of this function: its full name, its last "
                        "dotted parts (e.g. Cart.total) or a pattern with * and ?")
    p.add_argument("--limit", type=_int_at_least(1), metavar="N",
                   help="print at most N calls")
    p.add_argument("--width", type=_int_at_least(0), default=240, metavar="N",
                   help="longest value shown, in characters (0: no limit)")
    opts = p.parse_args(argv)
    conn, session, path = _open_store(opts)
    if opts.json:
        limits = Limits(width=opts.width)
    else:
        limits = Limits(width=opts.width,
                        string=max(80, opts.width // 3) if opts.width else 0)
    out = sys.stdout
    count = 0
    array_open = False
    try:
        runs = sqlite_store.selected_runs(conn, session)
        rows = sqlite_store.iter_data_rows(conn, session, opts.function, opts.limit)
        if opts.json:
            out.write("[")
            array_open = True
        for row in rows:
            # Calls of other runs than the one asked for (those of forked
            # processes, or of every run) say which run they belong to.
            other_run = len(runs) > 1 and (
                not isinstance(session, sqlite_store.Recording) or row[1] != session.root)
            text, fallback = _shown_record(row, opts.json, limits, other_run)
            if opts.json:
                sep = "\n" if count == 0 else ",\n"
                _write(out, sep + text, fallback and sep + fallback)
            else:
                _write(out, ("\n" if count else "") + text)
            count += 1
        if opts.json:
            array_open = False
            out.write("\n]\n" if count else "]\n")
    except CliError:
        raise
    except BrokenPipeError:
        _quiet_broken_pipe()
        return 0
    except Exception as exc:
        if array_open:  # what was printed stays a complete JSON array
            try:
                out.write("\n]\n" if count else "]\n")
                out.flush()
            except Exception:
                pass
        raise CliError(f"cannot read store {path}: {exc}") from None
    finally:
        conn.close()
    if count == 0 and not opts.json:
        what = f" of {opts.function}" if opts.function else ""
        _err(f"{PROG}: no recorded calls{what} in {os.path.relpath(path)}"
             + ("" if session is None else f" ({_describe_runs(session, runs)})"))
    return 0


def _quiet_broken_pipe() -> None:
    # The reader went away (e.g. "| head"): leave without a traceback.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except OSError:
        pass


def _stats_data(conn: Any, session: Any) -> Dict[str, Any]:
    """What ``stats`` shows, every text escaped for showing (see
    ``render.json_ready``)."""
    from tarnwick_collector.store.render import json_ready

    sessions = sqlite_store.list_sessions(conn)
    if session is None:
        run = "all"
    elif isinstance(session, sqlite_store.Recording):
        run = session.root
    else:
        run = session
    return json_ready({
        "run": run,
        "runs": sqlite_store.selected_runs(conn, session),
        "runs_in_store": len(sessions),
        "recorded_calls": sqlite_store.count_data_rows(conn, session),
        "counters": [
            {"counter": c, "metric": k, "count": n}
            for c, k, n in sqlite_store.metric_counts(conn, session)
        ],
        "failures": [
            {"metric": k, "reason": r, "count": n}
            for k, r, n in sqlite_store.failure_reasons(conn, session)
        ],
        "functions": [
            {"function": f, "calls": c, "bytes": b}
            for f, c, b in sqlite_store.function_counts(conn, session)
        ],
        "external_functions": [
            {"function": f, "count": n}
            for f, n in sqlite_store.external_function_counts(conn, session)
        ],
        "channels": sqlite_store.channel_runs(conn, session),
    })


def _print_stats(stats: Dict[str, Any], out: Any, functions: int = 10) -> None:
    run = stats["run"]
    several = len(stats["runs"]) > 1
    forks = "" if run == "all" or not several else \
        f" and {len(stats['runs']) - 1} run(s) of processes it forked"
    out.write(f"Run: {run}{forks}   ({stats['runs_in_store']} run(s) in the store)\n")
    out.write(f"Recorded calls: {stats['recorded_calls']}\n")
    totals: Dict[str, int] = {}
    for item in stats["counters"]:
        totals[item["counter"]] = totals.get(item["counter"], 0) + item["count"]
    out.write("\nMetric counters:\n")
    if not totals:
        out.write("  (none)\n")
    for counter, n in sorted(totals.items(), key=lambda kv: (-kv[1], kv[0])):
        kinds = [f"{i['metric']} {i['count']}" for i in stats["counters"]
                 if i["counter"] == counter]
        detail = f"   ({', '.join(kinds)})" if len(kinds) > 1 else ""
        out.write(f"  {counter:<34} {n:>7}{detail}\n")
    out.write("\nCollection failures by reason:\n")
    if not stats["failures"]:
        out.write("  (none)\n")
    for item in stats["failures"]:
        out.write(f"  {item['count']:>7}  {item['metric']}: {item['reason']}\n")
    if stats["functions"]:
        out.write("\nRecorded calls by function:\n")
        for item in stats["functions"][:functions]:
            out.write(f"  {item['calls']:>7}  {item['function']}\n")
        rest = len(stats["functions"]) - functions
        if rest > 0:
            out.write(f"  ... and {rest} more functions\n")
    if stats["external_functions"]:
        out.write("\nExternal functions seen most:\n")
        for item in stats["external_functions"]:
            out.write(f"  {item['count']:>7}  {item['function']}\n")
    if stats["channels"]:
        out.write("\nDelivery:\n")
        for ch in stats["channels"]:
            if ch.get("reported") is False:
                # A process that never reported what it sent (still
                # running, or ended without a summary).
                out.write(f"  {ch['channel']:<8} run {ch['session']}: ended without "
                          f"its report; {ch['stored']} messages stored, how many "
                          f"were lost is unknown\n")
                continue
            counts = (ch["sent"], ch["stored"])
            # A count that is not a number (a damaged store) is shown as found.
            missing = counts[0] - counts[1] if all(
                isinstance(n, int) for n in counts) else 0
            text = f"  {ch['channel']:<8} {ch['stored']} of {ch['sent']} messages stored"
            parts = []
            if ch["dropped_full"]:
                parts.append(f"{ch['dropped_full']} dropped (buffer full)")
            if ch["dropped_down"]:
                parts.append(f"{ch['dropped_down']} dropped (subprocess down)")
            if ch["lost"]:
                parts.append(f"{ch['lost']} lost in transit")
            if ch["restarts"]:
                parts.append(f"{ch['restarts']} restart(s)")
            if ch["note"]:
                parts.append(ch["note"])
            if parts or missing:
                text += " — " + "; ".join(parts or [f"{missing} missing"])
            if several:
                text += f"   [run {ch['session']}]"
            out.write(text + "\n")


def cmd_stats(argv: Sequence[str]) -> int:
    p = _reader_parser("stats", "Print the metric counters and failure reasons.")
    opts = p.parse_args(argv)
    conn, session, path = _open_store(opts)
    try:
        stats = _stats_data(conn, session)
    except Exception as exc:
        raise CliError(f"cannot read store {path}: {exc}") from None
    finally:
        conn.close()
    try:
        if opts.json:
            sys.stdout.write(json.dumps(stats, indent=2) + "\n")
        else:
            _print_stats(stats, sys.stdout)
        sys.stdout.flush()
    except BrokenPipeError:
        _quiet_broken_pipe()
    return 0


# --- demo --------------------------------------------------------------

def _examples_dir() -> Tuple[str, bool]:
    """Where the example application is, and whether that is a source
    checkout (True) or the copy an installed package carries in ``_demo``."""
    here = os.path.dirname(os.path.abspath(__file__))
    checkout = os.path.join(os.path.dirname(os.path.dirname(here)), "examples")
    shipped = os.path.join(here, "_demo")
    if os.path.isfile(os.path.join(checkout, DEMO_SCRIPT)):
        return checkout, True
    if os.path.isfile(os.path.join(shipped, DEMO_SCRIPT)):
        return shipped, False
    return checkout, True


DEMO_SCRIPT = "run_shop.py"


def cmd_demo(argv: Sequence[str]) -> int:
    from tarnwick_collector.store.render import RecordView, render_summary_line, render_text

    p = _Parser(prog=f"{PROG} demo",
                description="Record the example application and summarise the recording.")
    p.add_argument("--store", metavar="PATH",
                   help="where to keep the demo recording "
                        "(default: .tarnwick/demo.sqlite3 in the source checkout, "
                        "or in the working directory for an installed package)")
    opts = p.parse_args(argv)
    examples, in_checkout = _examples_dir()
    script = os.path.join(examples, DEMO_SCRIPT)
    if not os.path.isfile(script):
        raise CliError(f"the example application is not here ({script}); "
                       "reinstall the package or run from a source checkout")
    # An installed package keeps its recording in the working directory,
    # never inside site-packages.
    root = os.path.dirname(examples) if in_checkout else os.getcwd()
    store = os.path.abspath(opts.store) if opts.store else os.path.join(
        root, sqlite_store.STORE_DIR, "demo.sqlite3")
    if os.path.exists(store):
        try:
            sqlite_store.check_store_writable(store)
        except StoreError as exc:
            raise CliError(str(exc)) from None
        for suffix in ("", "-journal", ".log"):
            if os.path.exists(store + suffix):
                os.remove(store + suffix)

    out = sys.stdout
    out.write(f"[1/3] Recording the example application ({os.path.relpath(script)})\n")
    out.write("----- its own output " + "-" * 40 + "\n")
    out.flush()
    cmd = [sys.executable, "-m", "tarnwick_collector", "record", "--quiet",
           "--project-root", examples, "--store", store, script]
    env = dict(os.environ)
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env["PYTHONPATH"] = package_root + (os.pathsep + env["PYTHONPATH"]
                                        if env.get("PYTHONPATH") else "")
    status = subprocess.call(cmd, cwd=examples, env=env)
    out.write("-" * 61 + "\n")
    if status != 0:
        raise CliError(f"recording the example application failed (exit status {status})")

    try:
        conn = sqlite_store.open_for_reading(store)
        session = sqlite_store.resolve_runs(conn, "last")
        views = [RecordView.from_row(row)
                 for row in sqlite_store.iter_data_rows(conn, session)]
        stats = _stats_data(conn, session)
    except StoreError as exc:
        raise CliError(str(exc)) from None
    conn.close()

    out.write(f"\n[2/3] {len(views)} calls were recorded, in the order they ended:\n")
    for view in views:
        out.write("  " + render_summary_line(view) + "\n")

    out.write("\n      A few of them in full:\n")
    for view in _demo_highlights(views):
        out.write("\n" + "\n".join("  " + line for line in render_text(view)) + "\n")

    out.write("\n[3/3] What the metrics say:\n")
    buf = _Lines()
    _print_stats(stats, buf, functions=5)
    out.write("".join("  " + line + "\n" for line in buf.text().splitlines()))
    rel = os.path.relpath(store)
    command = PROG if shutil.which(PROG) else "python -m tarnwick_collector"
    pad = " " * len("Explore further: ")
    out.write(f"\nExplore further: {command} show --store {rel} [--function NAME] [--json]\n"
              f"{pad}{command} stats --store {rel}\n")
    return 0


class _Lines:
    def __init__(self) -> None:
        self._parts: List[str] = []

    def write(self, text: str) -> None:
        self._parts.append(text)

    def text(self) -> str:
        return "".join(self._parts)


def _demo_highlights(views: List[Any]) -> List[Any]:
    """One call with external calls, one that raised, one that read
    attributes of a global object, one whose arguments changed."""
    from tarnwick_collector.store.decoding import StandIn
    from tarnwick_collector.store.render import render_text

    picks: List[Any] = []

    def pick(pred: Callable[[Any], bool]) -> None:
        for view in views:
            if view not in picks and pred(view):
                picks.append(view)
                return

    def reads_an_object(view: Any) -> bool:
        # A global object of which the call used some attributes.
        return any(isinstance(value, StandIn)
                   and value.tw_full_name.endswith(".wrap_object")
                   for _, value in view.used_globals())

    def changes_its_arguments(view: Any) -> bool:
        lines = render_text(view)
        return (len(lines) > 2 and lines[2].startswith("  arguments after:")
                and "(unchanged)" not in lines[2])

    pick(lambda v: len(v.external_calls) >= 2)
    pick(lambda v: v.raised is not None)
    pick(reads_an_object)
    pick(changes_its_arguments)
    return picks


# --- entry -------------------------------------------------------------

_COMMANDS = {
    "record": cmd_record,
    "show": cmd_show,
    "stats": cmd_stats,
    "demo": cmd_demo,
}

_USAGE = f"""usage: {PROG} COMMAND [options]

Commands:
  record [options] SCRIPT [ARGS...]   run a program with its calls recorded
  record [options] -m MODULE [ARGS...]
  show [--function NAME] [--limit N] [--json]
                                      print the recorded calls
  stats [--json]                      metric counters and failure reasons
  demo                                record the example application

Run "{PROG} COMMAND --help" for the options of a command.
"""


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; returns the exit status. When a recorded
    program ended with an uncaught KeyboardInterrupt, a KeyboardInterrupt
    leaves this function instead (see :func:`_end_as_interrupted`)."""
    args = list(sys.argv[1:] if argv is None else argv)
    try:
        if not args or args[0] in ("-h", "--help", "help"):
            sys.stdout.write(_USAGE)
            sys.stdout.flush()
            return 0 if args else 2
        if args[0] == "--version":
            from tarnwick_collector import __version__
            sys.stdout.write(f"{PROG} {__version__}\n")
            sys.stdout.flush()
            return 0
    except BrokenPipeError:
        _quiet_broken_pipe()
        return 0 if args else 2
    command = _COMMANDS.get(args[0])
    try:
        if command is None:
            raise CliError(f"unknown command {args[0]!r} (commands: "
                           f"{', '.join(_COMMANDS)})", 2)
        return command(args[1:])
    except CliError as exc:
        _err(f"{PROG}: error: {exc}")
        return exc.status
    except ProgramInterrupted:
        _end_as_interrupted()
        return 130  # not reached
    except KeyboardInterrupt:
        _err(f"{PROG}: interrupted")
        return 130
