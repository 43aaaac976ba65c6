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
    _int_at_least,
    _nonempty,
    _Parser,
    _rate,
    _redact_patterns,
)
from tarnwick_collector.cli.running import (
    ProgramInterrupted,
    _check_module,
    _check_script,
    _run_program,
)
from tarnwick_collector.store import sqlite_store
from tarnwick_collector.store.sizes import parse_size
from tarnwick_collector.store.sqlite_store import StoreError

_RECORD_VALUE_OPTIONS = {
    "--project-root", "--store", "--tenant-id", "--project-id",
    "--external-calls-max", "--sampling-rate", "--buffer-messages",
    "--redact", "--max-store-size",
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
    p.add_argument("--max-store-size", type=_store_size, metavar="SIZE",
                   help="stop storing messages once the store has reached SIZE "
                        "(e.g. 500MB, 2G); those sent later are counted as "
                        "not stored")
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


def _store_size(text: str) -> str:
    """A size as ``--max-store-size`` takes it (kept as written, for the
    messages that name it)."""
    try:
        parse_size(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text.strip()


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

        try:
            data, metrics = open_channels(
                self.store, self.project_root, command=self.command,
                max_messages=self.opts.buffer_messages, report=_err,
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
