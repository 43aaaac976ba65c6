"""Where the command line's own lines go: standard error as ``record``
found it (whatever the recorded program does to ``sys.stderr``), the
progress of a long operation, and a quiet end when the reader of standard
output goes away."""
import os
import sys
import time
from typing import Any, Optional

from tarnwick_collector.cli.parser import PROG


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


#: How long a read runs before its progress is shown, in seconds: a quick
#: one shows none.
PROGRESS_DELAY = 1.0


class Progress:
    """Progress of a long operation on standard error: rewritten in place on
    a terminal, a line every few seconds otherwise; nothing in the first
    ``delay`` seconds."""

    def __init__(self, enabled: bool = True, interval: float = 2.0,
                 delay: float = 0.0) -> None:
        self.enabled = enabled
        self.tty = enabled and _out().isatty()
        self.interval = 0.1 if self.tty else interval
        self.delay = delay
        self._started = time.monotonic()
        self._last = 0.0
        self._shown = False

    def update(self, text: str, force: bool = False) -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        if not force and (now - self._last < self.interval
                          or now - self._started < self.delay):
            return
        self._last = now
        out = _out()
        if self.tty:
            out.write("\r\033[K" + f"{PROG}: {text}")
            self._shown = True
        else:
            out.write(f"{PROG}: {text}\n")
        out.flush()

    def clear(self) -> None:
        """Take the line away until the next update draws it again (before
        writing to the terminal it is on)."""
        self.done()

    def done(self) -> None:
        if self.tty and self._shown:
            out = _out()
            out.write("\r\033[K")
            out.flush()
        self._shown = False


def _quiet_broken_pipe() -> None:
    # The reader went away (e.g. "| head"): leave without a traceback.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except OSError:
        pass
