"""Starting a channel's subprocess without opening or closing a descriptor in
the program's process.

``subprocess.Popen`` opens descriptors of its own in the parent (``/dev/null``
for a discarded output, a pipe for the child's exec error) and closes them
once the child runs, with the interpreter lock free in between. A program
thread that closes every descriptor (``os.closerange``) and opens files of
its own meanwhile can get one of those numbers, and Popen then closes the
program's file. ``os.posix_spawn`` arranges the child's descriptors in the
child alone, and reports a failed exec as its own error.
"""
from __future__ import annotations

import os
import signal
import subprocess
import threading
import time
from typing import Dict, List, Optional, Sequence

#: Where the child finds the block of counters it is handed.
BLOCK_FD = 3

_WAIT_STEP = 0.0005
_WAIT_STEP_MAX = 0.05


class Spawned:
    """A started subprocess: what the channel uses of ``subprocess.Popen``
    (``pid``, ``args``, ``returncode``, ``poll``, ``wait``, ``kill``)."""

    def __init__(self, pid: int, args: Sequence[str]) -> None:
        self.pid = pid
        self.args = list(args)
        self.returncode: Optional[int] = None
        self._lock = threading.Lock()

    def _reaped(self, status: int) -> int:
        if os.WIFSIGNALED(status):
            self.returncode = -os.WTERMSIG(status)
        elif os.WIFEXITED(status):
            self.returncode = os.WEXITSTATUS(status)
        else:  # stopped or continued: not an end
            return -1
        return self.returncode

    def poll(self) -> Optional[int]:
        """The exit status, or None while the subprocess runs."""
        if self.returncode is not None or not self._lock.acquire(False):
            return self.returncode
        try:
            if self.returncode is None:
                try:
                    pid, status = os.waitpid(self.pid, os.WNOHANG)
                except ChildProcessError:
                    # Reaped by the program (``waitpid(-1)``, SIGCHLD
                    # ignored): its status is lost, as with Popen.
                    self.returncode = 0
                else:
                    if pid == self.pid:
                        self._reaped(status)
        finally:
            self._lock.release()
        return self.returncode

    def wait(self, timeout: Optional[float] = None) -> int:
        """The exit status, once the subprocess ended; raises
        ``subprocess.TimeoutExpired`` after ``timeout`` seconds."""
        start = time.monotonic()
        step = _WAIT_STEP
        while self.poll() is None:
            if timeout is not None:
                left = start + timeout - time.monotonic()
                if left <= 0:
                    raise subprocess.TimeoutExpired(self.args, timeout)
                time.sleep(min(step, left))
            else:
                time.sleep(step)
            step = min(step * 2, _WAIT_STEP_MAX)
        assert self.returncode is not None
        return self.returncode

    def kill(self) -> None:
        """SIGKILL, unless the subprocess was reaped (its pid may be
        another process's by now)."""
        if self.poll() is None:
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


def close_inherited() -> None:
    """In the child, first thing: close what it inherited beyond its
    standard descriptors and ``BLOCK_FD`` (descriptors the program made
    inheritable). Done here rather than by the parent, which would have to
    open a directory to list its own descriptors."""
    try:
        listed = [int(name) for name in os.listdir("/proc/self/fd")]
    except (OSError, ValueError):
        return
    for fd in listed:
        if fd > BLOCK_FD:
            try:
                os.close(fd)
            except OSError:
                pass  # the listing's own descriptor, closed already


def spawn(args: Sequence[str], stdin_fd: int, block_fd: Optional[int] = None,
          env: Optional[Dict[str, str]] = None) -> Spawned:
    """Start ``args`` with ``stdin_fd`` as its standard input, its output
    discarded and ``block_fd`` (if any) as its descriptor ``BLOCK_FD``; the
    child is to call ``close_inherited`` first. Raises OSError when it
    cannot start."""
    # First to numbers above every one named, so that placing one cannot
    # overwrite another (the program may have closed 0..3 and the socket
    # have got one of them).
    spare = max(stdin_fd, block_fd if block_fd is not None else -1, BLOCK_FD) + 1
    actions: List[tuple] = [(os.POSIX_SPAWN_DUP2, stdin_fd, spare)]
    if block_fd is not None:
        actions.append((os.POSIX_SPAWN_DUP2, block_fd, spare + 1))
    actions += [
        (os.POSIX_SPAWN_DUP2, spare, 0),
        (os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
        (os.POSIX_SPAWN_DUP2, 1, 2),
    ]
    if block_fd is not None:
        actions.append((os.POSIX_SPAWN_DUP2, spare + 1, BLOCK_FD))
        actions.append((os.POSIX_SPAWN_CLOSE, spare + 1))
    actions.append((os.POSIX_SPAWN_CLOSE, spare))
    program = args[0]
    start = os.posix_spawn if os.sep in program else os.posix_spawnp
    # The signals Python ignores go back to their defaults, and the
    # launching thread's blocked signals are not the child's.
    defaults = {getattr(signal, name) for name in ("SIGPIPE", "SIGXFSZ", "SIGXFZ")
                if hasattr(signal, name)}
    pid = start(program, list(args), os.environ if env is None else env,
                file_actions=actions, setsigdef=defaults, setsigmask=())
    return Spawned(pid, args)
