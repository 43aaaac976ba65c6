"""``tarnwick record``: its options, cutting its arguments into its own
and the program's, starting and stopping the collector and its channels
around the program, and the summary line."""
import argparse
import atexit
import os
import sys
import time
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from tarnwick_collector.cli import output
from tarnwick_collector.cli.output import Progress, _err, _ToolStderr
from tarnwick_collector.cli.parser import (
    PROG,
    CliError,
    _Parser,
    _redact_patterns,
    resolve_settings,
)
from tarnwick_collector.cli.running import (
    ProgramInterrupted,
    _check_module,
    _check_script,
    _run_program,
)
from tarnwick_collector.configs import project_config
from tarnwick_collector.store import location, sqlite_store
from tarnwick_collector.store.sqlite_store import StoreError

_RECORD_VALUE_OPTIONS = set(project_config.value_options("record")) | {"--redact"}


def _record_parser() -> _Parser:
    p = _Parser(
        prog=f"{PROG} record",
        description="Run a Python program with its calls recorded into the store. "
                    "Options not given come from the environment, then from the "
                    "[tool.tarnwick] table of the project's pyproject.toml.",
        usage=f"{PROG} record [options] SCRIPT [ARGS...]\n"
              f"       {PROG} record [options] -m MODULE [ARGS...]",
    )
    project_config.add_options(p, "record")
    p.add_argument("--redact", action="append", type=_redact_patterns,
                   dest="redact_more", metavar="PATTERNS",
                   help="also store as <redacted> the values whose names "
                        "contain one of PATTERNS (comma-separated; repeatable)")
    p.add_argument("--no-redact", action="store_true",
                   help="store every value as it is (no redaction)")
    p.add_argument("--progress", action="store_true",
                   help="show a live line on standard error while the program "
                        "runs: calls recorded, messages stored and dropped "
                        "(off by default: it mixes with the program's output)")
    p.add_argument("--quiet", "-q", action="store_true",
                   help="no summary at the end (losses are still reported)")
    p.add_argument("-m", dest="module", metavar="MODULE",
                   help="run a module as a script, like python -m")
    return p


def _split_record_args(
        argv: Sequence[str]) -> Tuple[List[str], Optional[str], Optional[str], List[str]]:
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


class _LiveLine:
    """``record --progress``: a line on standard error while the program
    runs, rewritten in place on a terminal (at most twice a second), else
    written every few seconds. It is drawn from the data channel's sends,
    on the program's thread, so the recorder adds no thread of its own
    (a fork finds none), and never in a process the program forked."""

    def __init__(self, channels: Tuple[Any, ...]) -> None:
        self._channels = channels
        self._tty = os.isatty(2)
        self._interval = 0.5 if self._tty else 5.0
        self._next = time.monotonic() + self._interval
        self._shown = False
        self._owner = os.getpid()

    def text(self) -> str:
        parts: List[str] = []
        for channel in self._channels:
            progress = getattr(channel, "progress", None)
            if progress is None:
                continue
            sent, stored, dropped = progress()
            kind = getattr(channel, "kind", "channel")
            if kind == "data":
                parts.insert(0, f"{sent} calls recorded, {stored} stored")
            else:
                parts.append(f"{stored} of {sent} {kind} stored")
            if dropped:
                parts.append(f"{dropped} {kind} dropped")
        return f"{PROG}: " + ", ".join(parts)

    def _write(self, text: str) -> None:
        data = (("\r\033[K" + text) if self._tty else text + "\n").encode("utf-8", "replace")
        try:
            os.write(2, data)
        except OSError:
            pass

    def tick(self) -> None:
        now = time.monotonic()
        if now < self._next or os.getpid() != self._owner:
            return
        self._next = now + self._interval
        try:
            self._write(self.text())
            self._shown = True
        except Exception:
            pass

    def start(self) -> None:
        for channel in self._channels[:1]:
            if hasattr(channel, "progress_hook"):
                channel.progress_hook = self.tick

    def finish(self) -> None:
        for channel in self._channels[:1]:
            if getattr(channel, "progress_hook", None) == self.tick:
                channel.progress_hook = None
        if self._shown and self._tty and os.getpid() == self._owner:
            self._write("")         # the line cleared for the summary


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
        self.project: Any = None
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

        try:
            data, metrics = open_channels(
                self.store, self.project_root, command=self.command,
                max_messages=self.opts.buffer_messages,
                max_bytes=self.opts.buffer_bytes, report=_err,
                max_store_size=self.opts.max_store_size)
        except ValueError as exc:  # a malformed TARNWICK_* variable
            raise CliError(str(exc)) from None
        self.channels = (data, metrics)
        for name in ("data_subprocess", "metrics_subprocess"):
            self._saved[name] = getattr(CollectorSettings, name)
        options = {
            "tenant_id": self.opts.tenant_id,
            "project_id": self.opts.project_id,
            "external_calls_max": self.opts.external_calls_max,
            "sampling_rate": self.opts.sampling_rate,
            "exclude": self.opts.exclude,
            "redact": self.opts.redact,
        }
        kwargs = {k: v for k, v in options.items() if v is not None}
        if self.opts.no_redact:
            kwargs["redact"] = ()
        elif self.opts.redact_more:
            # The patterns of the options add to those in force.
            base = self.opts.redact if self.opts.redact is not None else \
                CollectorSettings.redact_patterns
            kwargs["redact"] = base + tuple(
                p for group in self.opts.redact_more for p in group)
        for name, value in project_config.settings_values(self.opts).items():
            setattr(CollectorSettings, name, value)
        kwargs.update(project_path=self.project_root, data_channel=data,
                      metrics_channel=metrics)
        try:
            start(**kwargs)
        except (TypeError, ValueError, RuntimeError, ImportError) as exc:
            self.stop_channels()
            raise CliError(f"cannot start recording: {exc}") from None
        self._stop = stop
        try:
            from tarnwick_collector import tracer

            self.project = tracer.current_project()
        except ImportError:  # pragma: no cover - start() needs the tracer
            self.project = None
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
    resolve_settings(opts, "record")
    if opts.no_redact and opts.redact_more:
        raise CliError("--redact and --no-redact exclude each other "
                       f"(see {PROG} record --help)", 2)
    if opts.module is not None:  # "-m" inside the option part
        module = opts.module
    if script is None and module is None:
        raise CliError(f"nothing to record: give a SCRIPT or -m MODULE "
                       f"(see {PROG} record --help)", 2)
    project_root = opts.project_root
    if not os.path.isdir(project_root):
        raise CliError(f"project root {os.path.relpath(project_root)} is not a directory")
    if script is not None:
        _check_script(script)
    else:
        _check_module(module or "")
    store = opts.store or sqlite_store.default_store_path(project_root)
    try:
        location.backend(store).check_store_writable(store)
    except StoreError as exc:
        raise CliError(str(exc)) from None
    output._tool_stderr = _ToolStderr()
    try:
        return _record(opts, store, project_root, script, module, program_args,
                       argv)
    finally:
        output._tool_stderr = None


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
    live = _LiveLine(recording.channels) if opts.progress else None
    if live is not None:
        live.start()
    try:
        status, interrupted = _run_program(script, module, program_args)
    finally:
        if live is not None:
            live.finish()
        recording.stop()
        try:
            sys.stdout.flush()
        except Exception:
            pass
        reports = recording.stop_channels(Progress())
    # A process the program forked ends here too when it returns from the
    # program; the summary is the recording's, printed once, by `record`.
    if os.getpid() == origin and recording.project is not None:
        for hint in _recording_hints(recording.project, script, module):
            _err(hint)
    if not opts.quiet and os.getpid() == origin:
        try:
            _print_record_summary(store, reports, time.monotonic() - started)
        except BrokenPipeError:
            pass  # the program's status matters more than the summary line
    if interrupted:
        raise ProgramInterrupted()
    return status


def _module_location(module: Optional[str]) -> str:
    import importlib.util

    try:
        spec = importlib.util.find_spec(module or "")
    except (ImportError, ValueError):
        spec = None
    origin = getattr(spec, "origin", None)
    return os.path.dirname(origin) if origin else "(not found)"


def _recording_hints(project: Any, script: Optional[str],
                     module: Optional[str]) -> List[str]:
    """Warnings about what kept code of the project from being recorded."""
    hints = []
    main_recorded = script is not None and project.contains(os.path.abspath(script))
    if not project.modules and not main_recorded:
        if script is not None:
            where = f"the script lies in {os.path.dirname(os.path.abspath(script))}"
        else:
            where = f"module {module} lies in {_module_location(module)}"
        hints.append(
            f"{PROG}: warning: no module of the project was instrumented, so "
            f"no call could be recorded: the project root is {project.root} "
            f"and {where}; give --project-root DIR (the directory that holds "
            "the code to record)")
    rewritten = []
    for name, loaded in list(sys.modules.items()):
        loader = getattr(loaded, "__loader__", None)
        path = getattr(loaded, "__file__", None)
        if (type(loader).__name__ == "AssertionRewritingHook"
                and isinstance(path, str) and name not in project.modules
                and project.contains(path)):
            rewritten.append(name)
    if rewritten:
        shown = ", ".join(sorted(rewritten)[:3])
        more = f" and {len(rewritten) - 3} more" if len(rewritten) > 3 else ""
        hints.append(
            f"{PROG}: warning: pytest's assertion rewriting loaded "
            f"{len(rewritten)} test module(s) of the project ({shown}{more}), "
            "so their functions were not recorded; run pytest with "
            "--assert=plain to record them too")
    return hints


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
            f"into {location.shown(store)} (run {data.session})")
    _err(line)


def _calls_with_forks(store: str, session: str) -> Optional[int]:
    """The calls stored by the run and the processes it forked, or None
    when the store cannot tell."""
    try:
        conn = location.backend(store).open_for_reading(store)
    except Exception:
        return None
    try:
        return sqlite_store.count_data_rows(conn, sqlite_store.Recording(session))
    except Exception:
        return None
    finally:
        conn.close()
