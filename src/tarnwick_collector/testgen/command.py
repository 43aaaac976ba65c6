"""The ``generate-tests`` command line."""
import argparse
import os
import sys
from typing import Sequence

from tarnwick_collector.configs import project_config
from tarnwick_collector.store import location, sqlite_store
from tarnwick_collector.store.sqlite_store import StoreError
from tarnwick_collector.testgen.generate import DEFAULT_PER_FUNCTION, generate

USAGE = ("generate-tests [--function PATTERN] [--out DIR] [--per-function N] [--test-suite]\n"
         "                                      write pytest tests from recorded calls")


class UsageError(Exception):
    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> "None":  # type: ignore[override]
        raise UsageError(message, 2)


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text}")
    return value


def parser(prog: str) -> argparse.ArgumentParser:
    p = _Parser(prog=f"{prog} generate-tests",
                description="Write pytest modules that replay the recorded calls, "
                            "with every recorded external call mocked.")
    project_config.add_options(p, "generate-tests")
    p.add_argument("--run", "--session", dest="run", metavar="ID", default="last",
                   help="which recording: a run id (or its start), 'last' (default) or 'all'")
    p.add_argument("--function", metavar="PATTERN",
                   help="only calls of these functions: a full name, or dotted parts of "
                        "one (a module, a class, Cart.total), or a pattern with * and ?")
    p.add_argument("--out", metavar="DIR",
                   help="where to write the tests (default: tests/generated under the "
                        "project root)")
    p.add_argument("--per-function", type=_positive, default=DEFAULT_PER_FUNCTION,
                   metavar="N", help=f"at most N tests per function (default "
                                     f"{DEFAULT_PER_FUNCTION})")
    p.add_argument("--test-suite", action="store_true",
                   help="also write tests of the test suite's own functions (those of "
                        "test_*.py, *_test.py and conftest.py), left out by default")
    p.add_argument("--quiet", "-q", action="store_true",
                   help="no progress on standard error")
    return p


def run(argv: Sequence[str], prog: str = "tarnwick", out=None) -> int:
    """Parse ``argv``, generate, print the report. Raises ``UsageError``."""
    opts = parser(prog).parse_args(list(argv))
    try:
        project_config.resolve(opts, "generate-tests")
    except project_config.ConfigError as exc:
        raise UsageError(str(exc), 2) from None
    project_root = opts.project_root
    store = opts.store or sqlite_store.default_store_path(project_root)
    if not location.is_url(store) and not os.path.exists(store):
        raise UsageError(f"no store at {store}")
    out_dir = os.path.abspath(opts.out) if opts.out else \
        os.path.join(project_root, "tests", "generated")
    from tarnwick_collector.cli.output import PROGRESS_DELAY, Progress

    progress = Progress(enabled=not opts.quiet and _stderr_is_terminal(),
                        delay=PROGRESS_DELAY)
    try:
        report = generate(store, out_dir, run=opts.run, function=opts.function,
                          per_function=opts.per_function, project_root=project_root,
                          progress=progress.update, test_suite=opts.test_suite)
    except StoreError as exc:
        raise UsageError(str(exc)) from None
    finally:
        progress.done()
    stream = out or sys.stdout
    try:
        for line in report.lines():
            stream.write(line + "\n")
        stream.flush()
    except BrokenPipeError:  # the reader went away (e.g. "| head")
        pass
    return 0


def _stderr_is_terminal() -> bool:
    try:
        return bool(sys.stderr.isatty())
    except (AttributeError, ValueError, OSError):
        return False
