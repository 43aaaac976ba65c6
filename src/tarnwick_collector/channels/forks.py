"""What a forked child does with the channels it inherited: forget the
parent's subprocesses and sockets right after the fork, and, in a child
run by ``multiprocessing`` (which ends with ``os._exit``), stop its own
channels in the last of ``multiprocessing``'s exit finalizers."""
import _thread
import os
import sys
from typing import Optional

from tarnwick_collector.channels.registry import _LIVE, stop_all

# Bound once: the channel's threads and locks stay the interpreter's own even
# when the program later replaces names in ``_thread`` or ``threading``.
_allocate_lock = _thread.allocate_lock


#: Exit priority of the finalizer that stops the channels of a child run by
#: ``multiprocessing``: below any the program would choose, so it runs last.
_MP_EXIT_PRIORITY = -(1 << 30)


# Held while a forked child starts its channels.
_CHILD_START_LOCK = _allocate_lock()


# The process for which the multiprocessing finalizer below is registered.
_mp_finalizer_pid: Optional[int] = None


def _stop_at_multiprocessing_exit() -> None:
    """In a child that ``multiprocessing`` runs (it ends with ``os._exit``
    once its target is done, running only its own exit finalizers): stop
    this process's channels in a finalizer of the lowest priority, after
    the program's finalizers. ``multiprocessing`` is not imported here: a
    child that does not use it is none of its children. Lock held."""
    global _mp_finalizer_pid
    if _mp_finalizer_pid == os.getpid():
        return
    mp_process = sys.modules.get("multiprocessing.process")
    mp_util = sys.modules.get("multiprocessing.util")
    if mp_process is None or mp_util is None:
        return
    try:
        parent_process = getattr(mp_process, "parent_process", None)
        if parent_process is None or parent_process() is None:
            return
        mp_util.Finalize(None, _stop_in_multiprocessing_child,
                         exitpriority=_MP_EXIT_PRIORITY)
    except Exception:
        return
    _mp_finalizer_pid = os.getpid()


def _stop_in_multiprocessing_child() -> None:
    """While threads of the program still run (``multiprocessing`` joins
    them only after its finalizers) the channels are flushed, not stopped:
    what those threads record later is written as it is sent, and the
    subprocesses write the summaries once the process is gone."""
    try:
        if _program_threads_running():
            for channel in list(_LIVE):
                if channel._pid == os.getpid() and channel._report_obj is None:
                    channel.flush(channel.stop_timeout)
            return
        stop_all()
    except Exception:
        pass


def _program_threads_running() -> bool:
    """Whether a non-daemon thread other than the calling one is alive (the
    channels' writers are none of ``threading``'s)."""
    threading = sys.modules.get("threading")
    if threading is None:
        return False
    current = threading.current_thread()
    return any(t is not current and not t.daemon and t.is_alive()
               for t in threading.enumerate())


def _child_after_fork() -> None:
    global _CHILD_START_LOCK
    _CHILD_START_LOCK = _allocate_lock()
    # Sockets of the parent's channels must not stay open in the child, or
    # the parent's subprocesses would not see the end of their input.
    for channel in list(_LIVE):
        channel._after_fork()


def _before_fork() -> None:
    # The writers stop before the fork, so that the interpreter does not
    # warn that the process is multi-threaded (3.12+) and the child starts
    # with no lock a writer held.
    for channel in list(_LIVE):
        channel._pause_for_fork(_FORK_PAUSE_TIMEOUT)


def _parent_after_fork() -> None:
    if sys.version_info >= (3, 13):
        return  # the fork has not looked for threads yet: see _resume_after_fork
    for channel in list(_LIVE):
        channel._resume_after_fork()


# How long a fork waits for a channel's writer to finish its batch.
_FORK_PAUSE_TIMEOUT = 1.0

if hasattr(os, "register_at_fork"):
    os.register_at_fork(before=_before_fork, after_in_parent=_parent_after_fork,
                        after_in_child=_child_after_fork)
