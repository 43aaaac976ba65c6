"""The condition variable of a subprocess channel, on ``_thread`` locks
alone: the channel's writer and ``flush`` wait through no code of
``threading``, so the recorded program's ``threading`` state and hooks
never see them."""
import _thread
import collections
from typing import Any, Deque, Optional

# Bound once: the channel's threads and locks stay the interpreter's own even
# when the program later replaces names in ``_thread`` or ``threading``.
_allocate_lock = _thread.allocate_lock
_get_ident = _thread.get_ident


class _Condition:
    """A condition variable on ``_thread`` locks alone (see the module
    docstring): the waits of the writer and of ``flush`` go through no code
    of ``threading``."""

    __slots__ = ("_lock", "_waiters", "_owner")

    def __init__(self) -> None:
        self._lock = _allocate_lock()
        self._waiters: Deque[Any] = collections.deque()
        # The thread holding the lock, or None.
        self._owner: Optional[int] = None

    def __enter__(self) -> bool:
        got = self._lock.__enter__()
        self._owner = _get_ident()
        return got

    def __exit__(self, *exc: Any) -> None:
        self._owner = None
        self._lock.release()

    def held_here(self) -> bool:
        """Whether the calling thread holds the lock: a signal handler of
        the program, run while this thread was inside the channel, must not
        wait for it (it would wait for itself)."""
        return self._owner == _get_ident()

    def wait(self, timeout: Optional[float] = None) -> bool:
        """Release the lock (held by the caller) until notified or until
        ``timeout`` seconds passed; hold it again on return."""
        waiter = _allocate_lock()
        waiter.acquire()
        self._waiters.append(waiter)
        self._owner = None
        self._lock.release()
        woken = False
        try:
            if timeout is None:
                woken = waiter.acquire()
            else:
                woken = waiter.acquire(True, max(0.0, timeout))
            return woken
        finally:
            self._lock.acquire()
            self._owner = _get_ident()
            if not woken:
                try:
                    self._waiters.remove(waiter)
                except ValueError:
                    pass  # notified just after the wait ended

    def notify(self) -> None:
        if self._waiters:
            self._waiters.popleft().release()

    def notify_all(self) -> None:
        waiters, self._waiters = self._waiters, collections.deque()
        for waiter in waiters:
            waiter.release()
