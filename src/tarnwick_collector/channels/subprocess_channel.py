"""Channels whose far end is a subprocess that stores every message.

``send_message`` runs on whatever application thread records a call. It
never waits on the subprocess: it puts the message in a bounded buffer and
returns. A writer thread of the channel moves buffered messages to the
subprocess over a socket. When the buffer is full the message is dropped
and counted; when the subprocess dies the channel starts a new one (a few
times), and what the dead one had not stored is counted as lost. ``stop``
(also run at interpreter exit) writes out the buffer, lets the subprocess
commit, compares what was sent with what the store holds and records the
difference in the store; anything missing is reported on standard error.

The writer is a low-level thread (``_thread``), not a ``threading.Thread``,
and the channel's locks and waits are built on ``_thread`` too, so the
recorded program sees the ``threading`` state it would see unrecorded:
``threading.enumerate``, ``active_count`` and the join at interpreter exit
do not know the writer, the program's ``threading.settrace``/``setprofile``
hooks and ``threading.excepthook`` never run on it, and nothing the writer
does registers it with ``threading`` later. A failure inside the writer
ends the channel's writing, is counted and noted in the channel's report,
and goes to no hook of the program. ``stop`` waits until the writer's
thread is gone, so no writer outlives a stop that did not time out.

Messages from a process forked by the application go to subprocesses of
the child's own (started on its first message), under a run id of their
own. Such a child may end without running any exit handler: a
``multiprocessing`` child ends with ``os._exit``, and a pool's workers are
usually ended by a signal. So in a forked child:

- ``send_message`` writes the message to the subprocess itself before it
  returns (a record is delivered before the call that made it is over), and
  leaves it to the writer thread only when the subprocess has taken nothing
  for ``child_send_timeout`` seconds;
- a child run by ``multiprocessing`` stops its channels in one of
  ``multiprocessing``'s exit finalizers, after the program's own;
- the channel keeps its counts in memory shared with its subprocess (see
  ``tally``): when the child ends without stopping the channel, the
  subprocess writes the run's delivery summary from them;
- the start of the child's channels is noted in the store, so that a run
  that ended with no summary at all is seen as one.

The channel of the run that forked waits, when it stops, for the summaries
of the runs of forked processes that have ended, and reports those that
lack messages or a summary.

The channel touches only its own descriptors. A program may close every
descriptor it did not open itself (``os.closerange(3, ...)``, as daemons
and some servers do) and get the numbers for files and sockets of its own.
The channel remembers which socket (device and inode) each of its numbers
was and checks before every write and before closing: a number that is no
longer its socket is forgotten (never written, shut down or closed) and,
while messages still come, a new subprocess takes over (counted as a
restart, and noted in the report). The subprocess whose socket the program
closed sees the end of its input, stores what it had received and exits;
``stop`` waits for it like for the current one. The block of counters
(``tally``) is guarded the same way.

The channel itself is here, with ``open_channels`` and ``close_channels``;
it builds on ``condition`` (its condition variable), ``report`` (its
report), ``registry`` (the running channels, stopped at exit) and
``forks`` (a forked child and its inherited channels).
"""
import _thread
import collections
import errno
import os
import select
import socket
import subprocess
import sys
import time
import uuid
from typing import IO, Any, Callable, Deque, List, Optional, Tuple

from tarnwick_collector.channels import forks, framing, spawn
from tarnwick_collector.channels import tally as tally_block
from tarnwick_collector.channels.condition import _Condition
from tarnwick_collector.channels.forks import _stop_at_multiprocessing_exit
from tarnwick_collector.channels.registry import _register, stop_all
from tarnwick_collector.channels.report import ChannelReport, _split_note, _stored_note
from tarnwick_collector.store import location, sqlite_store
from tarnwick_collector.store.sizes import parse_size

__all__ = [
    "DEFAULT_MAX_MESSAGES", "DEFAULT_MAX_BYTES", "DEFAULT_MAX_RESTARTS",
    "DEFAULT_STOP_TIMEOUT", "DEFAULT_CHILD_SEND_TIMEOUT", "FORK_REPORT_WAIT",
    "ChannelReport", "SubprocessChannel", "new_session_id", "open_channels",
    "close_channels", "stop_all", "read_stream",
]

#: Default bound of a channel's buffer, in messages and in bytes. The
#: environment variables ``TARNWICK_CHANNEL_BUFFER_MESSAGES`` and
#: ``TARNWICK_CHANNEL_BUFFER_BYTES`` change the defaults.
DEFAULT_MAX_MESSAGES = 100_000
DEFAULT_MAX_BYTES = 64 * 1024 * 1024
#: How often a dead subprocess is replaced before the channel gives up.
DEFAULT_MAX_RESTARTS = 3
#: How long ``stop`` waits for the buffer to drain and the subprocess to
#: commit, in seconds.
DEFAULT_STOP_TIMEOUT = 120.0
#: How long a send in a forked child waits for the subprocess to take its
#: message before leaving it to the writer thread, in seconds.
DEFAULT_CHILD_SEND_TIMEOUT = 1.0
#: How long a stopping channel waits for the delivery summaries of the runs
#: of forked processes that have ended while nothing more of theirs is
#: stored, in seconds.
FORK_REPORT_WAIT = 10.0
#: A new subprocess that cannot be started for want of resources for the
#: while (no process or memory to spare on a loaded machine) is tried again
#: after these pauses, in seconds, before the channel gives up.
LAUNCH_RETRY_PAUSES = (0.2, 0.5, 1.0)
try:
    from tarnwick_collector.channels._guarded_send import join_frames as _join_frames
    from tarnwick_collector.channels._guarded_send import queue_if_idle as _queue_if_idle
    from tarnwick_collector.channels._guarded_send import send_if_same as _send_if_same
except ImportError:  # a build without it: the test and the send apart
    _send_if_same = None
    _queue_if_idle = None
    _join_frames = None
_TRANSIENT_LAUNCH_ERRORS = frozenset({errno.EAGAIN, errno.ENOMEM, errno.EMFILE,
                                      errno.ENFILE, errno.EINTR,
                                      # a descriptor of the launch closed
                                      # by the program meanwhile
                                      errno.EBADF})
#: Bytes handed to the socket per write.
_CHUNK = 1 << 20
_NOSIGNAL = int(getattr(socket, "MSG_NOSIGNAL", 0))
_DONTWAIT = int(getattr(socket, "MSG_DONTWAIT", 0))
_SEND_NOW = _DONTWAIT | _NOSIGNAL

# Bound once: the channel's threads and locks stay the interpreter's own even
# when the program later replaces names in ``_thread`` or ``threading``.
_allocate_lock = _thread.allocate_lock
_start_new_thread = _thread.start_new_thread
_get_ident = _thread.get_ident
_get_native_id = getattr(_thread, "get_native_id", None)
# A lock the interpreter releases once the calling thread's state is gone
# (what ``threading`` joins on); not in every version.
_set_sentinel = getattr(_thread, "_set_sentinel", None)


# The package's root, then the directory to work in ('' for the program's).
_BOOTSTRAP = (
    "import os, sys; sys.path.insert(0, sys.argv.pop(1)); d = sys.argv.pop(1)\n"
    "if d:\n try: os.chdir(d)\n except OSError: pass\n"
    "from tarnwick_collector.channels.spawn import close_inherited; close_inherited()\n"
    "from tarnwick_collector.channels.receiver import main; sys.exit(main())"
)


def _env_positive_int(name: str, default: int) -> int:
    raw = os.environ.get(name, "").strip()
    if not raw:
        return default
    try:
        value = int(raw)
    except ValueError:
        raise ValueError(f"{name} must be an integer, got {raw!r}") from None
    if value < 1:
        raise ValueError(f"{name} must be at least 1, got {value}")
    return value


def _store_size_setting(max_store_size: Optional[str]) -> Optional[str]:
    """The store's size limit as given, else ``$TARNWICK_MAX_STORE_SIZE``
    (None: no limit); raises ValueError for what is no size."""
    where = "max_store_size"
    if max_store_size is None:
        max_store_size = os.environ.get("TARNWICK_MAX_STORE_SIZE", "").strip() or None
        where = "TARNWICK_MAX_STORE_SIZE"
    if max_store_size is not None:
        try:
            parse_size(max_store_size)
        except ValueError as exc:
            raise ValueError(f"{where}: {exc}") from None
    return max_store_size


def _package_root() -> str:
    """The directory holding the ``tarnwick_collector`` package."""
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.dirname(os.path.dirname(here))


def new_session_id() -> str:
    """A fresh run id: sortable by time, unique across processes."""
    return time.strftime("%Y%m%d-%H%M%S") + "-" + uuid.uuid4().hex[:8]


def _close_own(sock: socket.socket, ident: Optional[Tuple[int, int]]) -> bool:
    """Close a socket of the channel's, the file ``ident``, if its number is
    still that file; a number the program took meanwhile is only forgotten.
    Returns whether it was the channel's."""
    try:
        fd = sock.fileno()
    except OSError:
        fd = -1
    closed = tally_block.close_if_same(fd, ident)
    try:
        sock.detach()  # closed, or the program's: the object lets go of it
    except OSError:
        pass
    return closed


class SubprocessChannel:
    """One channel: a bounded buffer, a writer thread and a subprocess that
    stores what it receives.

    :param kind: ``"data"`` (recorded calls) or ``"metrics"``.
    :param store_path: the store the subprocess writes: a SQLite file or a
        PostgreSQL URL.
    :param session: the run id the rows are filed under.
    :param max_messages: how many messages may wait in the buffer.
    :param max_bytes: how many bytes may wait in the buffer.
    :param max_restarts: how often a dead subprocess is replaced.
    :param report: where ``stop`` reports messages that were not stored
        (a callable taking one line; default: standard error). ``None``
        reports nothing.

    ``child_send_timeout`` (an attribute, default
    ``DEFAULT_CHILD_SEND_TIMEOUT``) bounds how long a send in a forked
    child waits for the subprocess; a child inherits the value.
    """

    def __init__(
        self,
        kind: str,
        store_path: str,
        session: str,
        *,
        max_messages: Optional[int] = None,
        max_bytes: Optional[int] = None,
        max_restarts: int = DEFAULT_MAX_RESTARTS,
        stop_timeout: float = DEFAULT_STOP_TIMEOUT,
        report: Optional[Callable[[str], None]] = ...,  # type: ignore[assignment]
        python: Optional[str] = None,
        max_store_size: Optional[str] = None,
    ) -> None:
        if kind not in ("data", "metrics"):
            raise ValueError(f"channel kind must be 'data' or 'metrics', not {kind!r}")
        self.kind = kind
        self.store_path = location.normalize(store_path)
        self.session = session
        self.max_messages = (max_messages if max_messages is not None else
                             _env_positive_int("TARNWICK_CHANNEL_BUFFER_MESSAGES",
                                               DEFAULT_MAX_MESSAGES))
        self.max_bytes = (max_bytes if max_bytes is not None else
                          _env_positive_int("TARNWICK_CHANNEL_BUFFER_BYTES",
                                            DEFAULT_MAX_BYTES))
        if self.max_messages < 1 or self.max_bytes < 1:
            raise ValueError("channel buffer bounds must be at least 1")
        #: The size (as written) beyond which the store takes no more
        #: messages of this channel, or None.
        self.max_store_size = _store_size_setting(max_store_size)
        self.max_restarts = max_restarts
        self.stop_timeout = stop_timeout
        self.child_send_timeout = DEFAULT_CHILD_SEND_TIMEOUT
        self._report = _stderr_line if report is ... else report
        self._python = python or sys.executable
        self._init_state()

    def _init_state(self) -> None:
        self._cond = _Condition()
        self._queue: Deque[Tuple[float, bytes]] = collections.deque()
        self._buffered_bytes = 0
        self._sent = 0
        self._dropped_full = 0
        self._dropped_down = 0
        self._restarts = 0
        self._started_at = 0.0
        self._state = "new"  # new, running, down, stopping, stopped
        # Held while the writer thread lives; None before it started.
        self._writer_done: Optional[Any] = None
        self._writer_ident: Optional[int] = None
        # The writer's thread id of the OS, and the fork pause (see
        # _pause_for_fork): set, the writer ends after its current batch.
        self._writer_tid: Optional[int] = None
        self._fork_pause = False
        # The pause ended the writer; a new one is due (_resume_after_fork).
        self._writer_paused = False
        self._writer_error: Optional[str] = None
        self._proc: Optional[spawn.Spawned] = None
        self._sock: Optional[socket.socket] = None
        # Which socket ``_sock`` was created as (device, inode).
        self._sock_id: Optional[Tuple[int, int]] = None
        # Subprocesses whose socket the program closed: they store what
        # they received and exit; ``stop`` waits for them.
        self._retired: List[spawn.Spawned] = []
        # Times the program took a descriptor of the channel.
        self._taken = 0
        # Exit statuses of the subprocesses that ended before their input
        # did, and why the last new one could not be started: the report
        # says why messages were lost or dropped.
        self._ended: List[Optional[int]] = []
        self._launch_error: Optional[str] = None
        # Subprocesses launched so far (each gets a slot of the tally).
        self._launches = 0
        # Blocks of counters replaced because the program took their
        # descriptor; read and released by ``stop``.
        self._old_tallies: List[tally_block.Tally] = []
        self._pid = os.getpid()
        self._lazy_start = False
        self._report_obj: Optional[ChannelReport] = None
        self._stop_lock = _allocate_lock()
        self._tally: Optional[tally_block.Tally] = None
        self._set_sent: Optional[Callable[[int], None]] = None
        # Set in a forked child: sends deliver before they return.
        self._eager = False
        # A sending thread is writing to the socket itself.
        self._caller_writing = False
        # Bytes of the first buffered message's frame already in the socket.
        self._head_offset = 0
        # Messages buffered or written so far, and those of them that are
        # written whole or given up; both only grow.
        self._accepted = 0
        self._settled = 0
        # The subprocess took nothing for child_send_timeout: sends no longer
        # wait for it until the writer thread gets a write through.
        self._stalled = False
        # Threads other than the writer waiting on the condition.
        self._watchers = 0

    # --- life cycle ---------------------------------------------------

    def start(self) -> "SubprocessChannel":
        """Launch the subprocess and the writer thread. Idempotent.

        :raises OSError: when the subprocess cannot be launched.
        """
        with self._cond:
            if self._state != "new":
                return self
            self._started_at = time.time()
            if os.name == "posix":  # the subprocess inherits the block's descriptor
                try:
                    self._tally = tally_block.Tally(self._started_at)
                    self._set_sent = self._tally.sent_setter()
                except (OSError, ValueError):
                    self._tally = None  # no summary from the subprocess then
            try:
                self._launch()
            except BaseException:
                self._close_tally()
                raise
            self._state = "running"
            try:
                self._start_writer()
            except BaseException:
                self._state = "new"
                self._close_socket()
                proc = self._proc
                if proc is not None and proc.poll() is None:
                    proc.kill()
                self._reap(timeout=5.0)
                self._proc = None
                self._close_tally()
                raise
        _register(self)
        return self

    def _close_tally(self) -> None:
        """Lock held (or no other thread)."""
        tally, self._tally = self._tally, None
        self._set_sent = None
        if tally is not None:
            tally.close()
        old, self._old_tallies = self._old_tallies, []
        for block in old:
            block.close()

    def _check_tally(self) -> None:
        """Before a launch (lock held): when the program took the block's
        descriptor, go on with a new block (the subprocess to come must not
        be handed the program's file)."""
        tally = self._tally
        if tally is None or tally.owns_fd():
            return
        self._old_tallies.append(tally)
        self._tally = None
        self._set_sent = None
        try:
            self._tally = tally_block.Tally(self._started_at)
            self._set_sent = self._tally.sent_setter()
        except (OSError, ValueError):
            self._tally = None
            return
        self._publish()
        if self._state == "stopping":
            self._tally.mark_stopping()

    def _unstored(self) -> Tuple[int, Optional[str]]:
        """What the subprocesses received but could not store, and why."""
        total, reason = 0, None
        for block in self._old_tallies + ([self._tally] if self._tally else []):
            count, why = block.unstored()
            total += count
            reason = why or reason
        return total, reason

    def progress(self) -> Tuple[int, int, int]:
        """(sent, stored, dropped) so far, for a live display: what the
        program sent, what the subprocesses have stored, and what was
        dropped (buffer full or subprocess down). Never blocks on the
        channel's lock."""
        stored = 0
        for block in self._old_tallies + ([self._tally] if self._tally else []):
            try:
                stored += block.stored()
            except (ValueError, OSError):
                pass
        return self._sent, stored, self._dropped_full + self._dropped_down

    def _publish(self) -> None:
        """Copy the counts to the block shared with the subprocess (lock
        held)."""
        tally = self._tally
        if tally is not None:
            tally.publish(self._sent, self._dropped_full, self._dropped_down,
                          self._restarts)

    def _start_writer(self) -> None:
        """Start the writer thread and wait until it has its completion
        lock (lock held)."""
        handoff = _allocate_lock()
        handoff.acquire()
        box: List[Any] = []
        try:
            ident = _start_new_thread(self._writer_main, (handoff, box))
        except RuntimeError as exc:  # no more threads
            raise OSError(f"cannot start the {self.kind} channel's writer "
                          f"thread: {exc}") from None
        handoff.acquire()
        if not box:
            raise OSError(f"the {self.kind} channel's writer thread did not start")
        self._writer_ident = ident
        self._writer_done = box[0]

    def _writer_main(self, handoff: Any, box: List[Any]) -> None:
        """Body of the writer thread. Nothing may escape from it: the
        interpreter would hand it to the program's ``sys.unraisablehook``."""
        done = None
        try:
            try:
                if _set_sentinel is not None:
                    # Released by the interpreter once this thread's state
                    # is deleted: a stop that waited on it knows the thread
                    # runs no more code of the interpreter's.
                    sentinel = _set_sentinel()
                else:
                    done = sentinel = _allocate_lock()
                sentinel.acquire()
                self._writer_tid = _get_native_id() if _get_native_id else None
                box.append(sentinel)
            finally:
                handoff.release()
            self._write_loop()
        except BaseException as exc:
            try:
                self._writer_failed(exc)
            except BaseException:
                pass
        finally:
            if done is not None:
                done.release()

    def _writer_failed(self, exc: BaseException) -> None:
        """The writer met an error of its own: no more writing. What waits
        in the buffer is dropped; what it was writing counts as lost."""
        note = f"writer failed: {type(exc).__name__}: {exc}"
        with self._cond:
            self._writer_error = note
            self._writing = False
            self._dropped_down += len(self._queue)
            self._settled += len(self._queue)
            self._queue.clear()
            self._buffered_bytes = 0
            self._head_offset = 0
            self._give_up()
            self._publish()
            self._cond.notify_all()

    def _wait_writer(self, timeout: float) -> bool:
        """Wait up to ``timeout`` seconds for the writer thread to end;
        return whether it has ended (or never started)."""
        done = self._writer_done
        if done is None or self._writer_ident == _get_ident():
            return True
        if done.acquire(True, max(0.0, timeout)):
            done.release()
            return True
        return False

    def _launch(self) -> None:
        """Start a subprocess, connected by a socket pair (new sockets)."""
        if not self._python:
            raise OSError("no Python interpreter to run the channel's subprocess")
        parent, child = socket.socketpair()
        # Which files the two ends are, taken at once: the program may close
        # their numbers while the subprocess starts (the interpreter lock is
        # free meanwhile) and open files of its own on them.
        parent_id = tally_block.identity(parent.fileno())
        child_id = tally_block.identity(child.fileno())
        # Sockets made while the program has a default timeout
        # (``socket.setdefaulttimeout``) are non-blocking, and the mode goes
        # with the descriptor to the subprocess: both ends block (writes
        # here never wait all the same, see ``_SEND_NOW``).
        parent.setblocking(True)
        child.setblocking(True)
        env = None
        store = self.store_path
        workdir = ""
        if location.is_url(self.store_path):
            # Not on the command line, where every user could read it.
            from tarnwick_collector.channels import receiver
            env = dict(os.environ, **{receiver.STORE_ENV: self.store_path})
            store = receiver.STORE_FROM_ENV
        else:
            workdir = os.path.dirname(self.store_path)
        args = [self._python, "-I", "-c", _BOOTSTRAP, _package_root(), workdir]
        if self.max_store_size is not None:
            args.append(f"--max-store-size={self.max_store_size}")
        args += [self.kind, store, self.session]
        block_fd = self._block_copy()
        block_id = tally_block.identity_of(self._tally) if self._tally is not None else None
        if block_fd is not None:
            args += [str(spawn.BLOCK_FD), str(self._launches)]
        self._launches += 1
        try:
            self._proc = spawn.spawn(args, child.fileno(), block_fd, env)
        except BaseException:
            _close_own(parent, parent_id)
            _close_own(child, child_id)
            raise
        finally:
            if block_fd is not None:
                tally_block.close_if_same(block_fd, block_id)
        _close_own(child, child_id)
        # Should the program have taken the number meanwhile, the first send
        # finds it is not the channel's and a new subprocess takes over.
        tally_block.shutdown_if_same(parent.fileno(), parent_id, socket.SHUT_RD)
        self._sock_id = parent_id
        self._sock = parent

    def _block_copy(self) -> Optional[int]:
        """A descriptor of the channel's own on the block of counters, for a
        subprocess to inherit, or None. The program may close the block's
        descriptor at any moment (``os.closerange`` on its own thread, while
        the writer starts a replacement), so the subprocess is handed a copy
        made here, once it is known to be the block's."""
        tally = self._tally
        if tally is None:
            return None
        try:
            return tally_block.dup_if_same(tally.fileno(), tally_block.identity_of(tally))
        except OSError:
            return None

    def _launch_retrying(self) -> None:
        """``_launch`` for a replacement (writer thread, lock not held): a
        start that failed for want of resources is tried again a few times
        while the channel still runs."""
        for pause in LAUNCH_RETRY_PAUSES + (None,):
            try:
                self._launch()
                return
            except OSError as exc:
                if pause is None or exc.errno not in _TRANSIENT_LAUNCH_ERRORS:
                    raise
                if self._state not in ("running", "stopping"):
                    raise
                time.sleep(pause)

    def _send_ours(self, sock: socket.socket, data: Any) -> Optional[int]:
        """``sock.send(data)`` without waiting, if ``sock``'s descriptor is
        still the channel's socket; None when the program took it. The test
        and the send are one step the program's threads cannot come
        between (see ``_guarded_send``)."""
        ident = self._sock_id
        try:
            fd = sock.fileno()
        except OSError:
            return None
        if fd < 0 or ident is None:
            return None
        if _send_if_same is None:
            if not self._sock_ours(sock):
                return None
            return sock.send(data, _SEND_NOW)
        sent = _send_if_same(fd, ident[0], ident[1], data, _SEND_NOW)
        return None if sent < 0 else sent

    def _sock_ours(self, sock: socket.socket) -> bool:
        """Whether ``sock``'s descriptor is still the channel's socket (the
        program may have closed it and got its number for a file or socket
        of its own)."""
        try:
            fd = sock.fileno()
        except OSError:
            return False
        return fd >= 0 and tally_block.identity(fd) == self._sock_id

    @property
    def pid(self) -> Optional[int]:
        """Process id of the current subprocess."""
        proc = self._proc
        return proc.pid if proc is not None else None

    @property
    def running(self) -> bool:
        return self._state == "running"

    # --- sending ------------------------------------------------------

    #: Called (no arguments) after each message the program sends, on its
    #: thread, when set: ``record --progress`` shows its live line from it.
    progress_hook: Optional[Callable[[], None]] = None

    def send_message(self, data: bytes) -> None:
        """Hand one message to the subprocess (see ``_send_message``), then
        call ``progress_hook``, if set."""
        # The common case, a message buffered for the writer thread, is
        # done natively when the lock is free; the rest here.
        if (_queue_if_idle is None or type(self) is not SubprocessChannel
                or not _queue_if_idle(self, data)):
            self._send_message(data)
        hook = self.progress_hook
        if hook is not None:
            hook()

    def _send_message(self, data: bytes) -> None:
        """Hand one message to the subprocess. Returns at once; a message
        that does not fit in the buffer, or that arrives while the
        subprocess is down for good or the channel has stopped, is dropped
        and counted.

        In a forked child it returns once the message is written to the
        subprocess, unless the subprocess has taken nothing for
        ``child_send_timeout`` seconds; the message is then buffered as
        above, and later sends do not wait until the writer thread gets a
        write through again.

        :raises TypeError: when ``data`` is not bytes-like.
        """
        if not isinstance(data, bytes):
            if isinstance(data, (bytearray, memoryview)):
                data = bytes(data)
            else:
                raise TypeError(f"a channel message must be bytes, not {type(data).__name__}")
        if self._cond.held_here():
            # A signal handler of the program, recorded while this thread
            # was inside the channel: waiting for the lock would wait for
            # ourselves. The message is counted as sent and, never stored,
            # is reported as lost in transit.
            self._sent += 1
            return
        received = time.time()
        if self._lazy_start and self._state == "new":
            self._start_in_child()
        if self._writer_paused:
            self._resume_after_fork()
        size = len(data)
        with self._cond:
            self._sent += 1
            if self._state != "running":
                self._dropped_down += 1
                self._publish()
                return
            if (len(self._queue) >= self.max_messages
                    or self._buffered_bytes + size > self.max_bytes
                    or size > framing.MAX_PAYLOAD):
                self._dropped_full += 1
                self._publish()
                return
            set_sent = self._set_sent
            if set_sent is not None:
                set_sent(self._sent)
            if not self._eager:
                self._queue.append((received, data))
                self._buffered_bytes += size
                self._cond.notify()
                return
            self._accepted += 1
            seq = self._accepted
            sock = self._sock
            if (_DONTWAIT and sock is not None and not self._queue
                    and not self._writing and not self._caller_writing
                    and not self._stalled and self._sock_ours(sock)):
                # Nobody else writes while the lock is held; the socket
                # mostly takes the whole frame at once.
                frame = framing.encode(received, data)
                try:
                    sent = self._send_ours(sock, frame)
                    done = -1 if sent is None else sent
                except (BlockingIOError, InterruptedError):
                    done = 0
                except OSError:
                    done = -1
                if done == len(frame):
                    self._settled += 1
                    return
                self._caller_writing = True
            else:
                self._queue.append((received, data))
                self._buffered_bytes += size
                self._cond.notify()
                frame = b""
        if frame:
            self._write_rest(sock, received, data, frame, done)  # type: ignore[arg-type]
        if self._settled < seq:
            self._wait_written(seq)

    def _write_rest(self, sock: socket.socket, received: float, data: bytes,
                    frame: bytes, done: int) -> None:
        """Go on writing a message's frame that the socket did not take at
        once (``done`` bytes of it, -1 after a failure), from the sending
        thread, which owns the socket meanwhile (without the lock). What the
        socket does not take within ``child_send_timeout`` seconds, or after
        a failure, is left at the head of the buffer for the writer thread
        (which replaces a dead subprocess)."""
        total = len(frame)
        stalled = False
        try:
            if done >= 0:
                done, stalled = self._write_within(sock, frame, done)
            done = max(0, done)
        finally:
            with self._cond:
                self._caller_writing = False
                if done >= total:
                    self._settled += 1
                else:
                    self._queue.appendleft((received, data))
                    self._buffered_bytes += len(data)
                    self._head_offset = done
                    if stalled:
                        self._stalled = True
                # An idle writer thread has nothing to do unless something
                # was left for it or the channel is stopping: not waking it
                # for nothing saves a thread switch per message.
                if self._queue or self._watchers or self._state != "running":
                    self._cond.notify_all()

    def _write_within(self, sock: socket.socket, frame: bytes, done: int) -> Tuple[int, bool]:
        """Write the rest of a frame, for ``child_send_timeout`` seconds at
        most. Returns the bytes written in all and whether the time ran
        out."""
        total = len(frame)
        deadline = time.monotonic() + self.child_send_timeout
        with memoryview(frame) as view:
            while done < total:
                now = time.monotonic()
                if now >= deadline:
                    return done, True
                if not self._sock_ours(sock):
                    break  # the writer thread finds it and goes on elsewhere
                _wait_writable(sock, deadline - now)
                if not self._sock_ours(sock):
                    break
                try:
                    sent = self._send_ours(sock, view[done:])
                except (BlockingIOError, InterruptedError):
                    continue
                except OSError:
                    break
                if sent is None:
                    break
                done += sent
        return done, False

    def _wait_written(self, seq: int) -> None:
        """In a forked child: wait until the ``seq``-th message is written
        (or given up), for ``child_send_timeout`` seconds at most."""
        with self._cond:
            deadline = None
            self._watchers += 1
            try:
                while (self._settled < seq and self._state == "running"
                       and not self._stalled):
                    now = time.monotonic()
                    if deadline is None:
                        deadline = now + self.child_send_timeout
                    if now >= deadline:
                        self._stalled = True
                        return
                    self._cond.wait(deadline - now)
            finally:
                self._watchers -= 1

    def buffered(self) -> int:
        """Messages waiting to be written to the subprocess."""
        return len(self._queue)

    def flush(self, timeout: Optional[float] = None) -> bool:
        """Wait until every buffered message has been written to the
        subprocess (not necessarily committed yet). Returns whether the
        buffer drained in time."""
        deadline = None if timeout is None else time.monotonic() + timeout
        self._resume_after_fork()
        with self._cond:
            self._watchers += 1
            try:
                while ((self._queue or self._writing or self._caller_writing)
                       and self._state in ("running", "stopping")):
                    remaining = None if deadline is None else deadline - time.monotonic()
                    if remaining is not None and remaining <= 0:
                        return False
                    self._cond.wait(remaining if remaining is not None else 0.5)
                return not self._queue
            finally:
                self._watchers -= 1

    _writing = False

    # --- the writer thread ----------------------------------------------

    def _write_loop(self) -> None:
        while True:
            with self._cond:
                while not self._fork_pause and (
                        self._caller_writing
                        or (not self._queue and self._state == "running")):
                    self._cond.wait()
                if self._fork_pause:
                    self._writing = False
                    self._cond.notify_all()
                    return
                if not self._queue:
                    self._writing = False
                    self._cond.notify_all()
                    return
                batch = list(self._queue)
                self._queue.clear()
                self._buffered_bytes = 0
                offset, self._head_offset = self._head_offset, 0
                self._writing = True
            self._write_batch(batch, offset)
            with self._cond:
                self._writing = False
                self._cond.notify_all()

    def _write_batch(self, batch: List[Tuple[float, bytes]], offset: int = 0) -> None:
        """Write a batch; ``offset`` bytes of its first frame are already in
        the socket."""
        index = 0
        while index < len(batch):
            start = index
            index, payload = join_frames(batch, start, _CHUNK)
            unsent = self._write_frames(batch, start, index, payload, offset)
            offset = 0
            with self._cond:
                if unsent:
                    # No subprocess to take them: dropped for that reason.
                    self._dropped_down += unsent + len(batch) - index
                    self._settled += index - start + len(batch) - index
                    self._publish()
                    self._cond.notify_all()
                    return
                self._settled += index - start
                self._stalled = False
                self._cond.notify_all()

    def _write_frames(self, batch: List[Tuple[float, bytes]], start: int, stop: int,
                      frames: bytes, skip: int = 0) -> int:
        """Write the frames of ``batch[start:stop]``, joined in ``frames``,
        to the subprocess, replacing it when it dies; the first ``skip``
        bytes are already in the socket. Returns how many frames (the last
        ones) no subprocess could take.

        Frames that the socket accepted whole before a subprocess died may
        or may not have been stored; they are not written again (no
        duplicates) and count as lost if the store lacks them. Frames the
        socket had not accepted whole go to the next subprocess."""
        base = 0  # where the frame of batch[start] begins in ``frames``
        while start < stop:
            sock = self._sock
            if sock is None:
                return stop - start
            payload = memoryview(frames)[base + skip:]
            sent = 0
            taken = False
            try:
                while sent < len(payload):
                    # Before every write: a descriptor the program took is
                    # never written to. Writes do not block, so a wait for
                    # the socket is never a wait on a file of the program.
                    try:
                        wrote = self._send_ours(sock, payload[sent:])
                    except (BlockingIOError, InterruptedError):
                        _wait_writable(sock, 0.5)
                        continue
                    if wrote is None:
                        taken = True
                        break
                    sent += wrote
                else:
                    return 0
            except OSError:
                taken = not self._sock_ours(sock)
            end = -skip
            while start < stop:
                size = framing.HEADER_SIZE + len(batch[start][1])
                if end + size > sent:
                    break
                end += size
                base += size
                start += 1
            skip = 0  # the next subprocess gets the rest whole
            if not self._replace_subprocess(taken):
                return stop - start
        return 0

    def _replace_subprocess(self, taken: bool = False) -> bool:
        """Runs on the writer thread after a failed write, or when the
        program took the socket's descriptor (``taken``). The lock is only
        taken for the bookkeeping, so senders are not held up while the
        dead subprocess is reaped and a new one launched.

        The subprocess of a taken socket has seen the end of its input (the
        program closed the socket): it is left to store what it received
        and exit, and waited for by ``stop``."""
        if taken:
            with self._cond:
                self._taken += 1
            self._close_socket()
            proc, self._proc = self._proc, None
            if proc is not None:
                self._retired.append(proc)
        else:
            self._close_socket()
            code = self._reap(timeout=2.0)
            with self._cond:
                self._ended.append(code)
        with self._cond:
            if self._state not in ("running", "stopping"):
                return False
            if self._restarts >= self.max_restarts:
                self._give_up()
                return False
            self._restarts += 1
            self._check_tally()
            self._publish()
        try:
            self._launch_retrying()
        except OSError as exc:
            with self._cond:
                self._launch_error = f"cannot start a new subprocess: {exc}"
                self._give_up()
            return False
        with self._cond:
            if self._state in ("running", "stopping"):
                return True
        self._close_socket()  # stopped meanwhile
        self._reap(timeout=2.0)
        return False

    def _give_up(self) -> None:
        """No more subprocesses (lock held): later messages are dropped."""
        self._down = True
        if self._state == "running":
            self._state = "down"

    _down = False

    def _close_socket(self) -> None:
        sock, self._sock = self._sock, None
        if sock is not None:
            self._release_socket(sock)

    def _release_socket(self, sock: socket.socket) -> bool:
        """Close the channel's socket; a descriptor number the program took
        meanwhile is only forgotten. Returns whether it was the channel's."""
        return _close_own(sock, self._sock_id)

    def _reap_retired(self, deadline: float) -> None:
        """Wait (until ``deadline``) for the subprocesses whose socket the
        program closed; one still running then is ended."""
        retired, self._retired = self._retired, []
        for proc in retired:
            try:
                proc.wait(timeout=max(0.5, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                proc.kill()
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    pass

    def _reap(self, timeout: float) -> Optional[int]:
        proc = self._proc
        if proc is None:
            return None
        try:
            return proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            try:
                return proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                return None

    # --- stopping -----------------------------------------------------

    def stop(self, timeout: Optional[float] = None,
             progress: Optional[Callable[[str], None]] = None) -> ChannelReport:
        """Write out the buffer, let the subprocess commit and exit, and
        account for every message: the summary goes to the store and, when
        messages are missing, to the report line. Idempotent: later calls
        return the first report.

        :param timeout: seconds to wait in all (default: the channel's
            ``stop_timeout``).
        :param progress: called with a line now and then while a large
            buffer drains.
        """
        with self._stop_lock:
            if self._report_obj is None:
                self._report_obj = self._stop(timeout, progress)
        return self._report_obj

    def _stop(self, timeout: Optional[float],
              progress: Optional[Callable[[str], None]]) -> ChannelReport:
        timeout = self.stop_timeout if timeout is None else timeout
        deadline = time.monotonic() + timeout
        note = None
        self._resume_after_fork()
        with self._cond:
            state = self._state
            self._state = "stopping" if state != "new" else "stopped"
            self._cond.notify_all()
        if state == "new":
            return ChannelReport(self.kind, self.session, self._sent, 0,
                                 self._dropped_full, self._dropped_down)
        last_note = time.monotonic()
        while not self._wait_writer(min(max(0.0, deadline - time.monotonic()), 1.0)):
            if deadline - time.monotonic() <= 0:
                note = "timed out writing to the subprocess"
                break
            if progress is not None and time.monotonic() - last_note >= 1.0:
                progress(f"{self.kind} channel: {len(self._queue)} messages "
                         "left to write")
                last_note = time.monotonic()
        if note is not None:
            # The subprocess does not read: end it, which also ends the
            # writer's blocked write.
            proc = self._proc
            if proc is not None and proc.poll() is None:
                proc.kill()
            self._wait_writer(5.0)
        elif self._writer_error is not None:
            note = self._writer_error
        with self._cond:
            self._state = "stopped"
            sock, self._sock = self._sock, None
            leftover = len(self._queue)
            if leftover:
                self._dropped_down += leftover
                self._settled += leftover
                self._queue.clear()
                self._buffered_bytes = 0
                self._head_offset = 0
            self._publish()
            if self._tally is not None:
                # Before the end of input: the subprocess's summary (which
                # stands if this process ends before writing its own) does
                # not say that the process ended without stopping.
                self._tally.mark_stopping()
            self._cond.notify_all()
        if sock is not None:
            # End of input: the subprocess commits and exits (it has seen
            # it already when the program closed the socket).
            if not self._release_socket(sock):
                self._taken += 1
        code = self._reap(timeout=max(0.5, deadline - time.monotonic()))
        self._reap_retired(deadline)
        if code not in (0, None) and note is None and not self._down:
            note = f"subprocess exited with status {code}"
        notes = [note] if note else []
        if self._ended:
            statuses = ", ".join(sorted({"unknown" if c is None else str(c)
                                         for c in self._ended}))
            notes.append(f"a subprocess ended before its input did {len(self._ended)}x "
                         f"(exit status {statuses}; see "
                         f"{os.path.basename(location.log_path(self.store_path))})")
        if self._launch_error is not None:
            notes.append(self._launch_error)
        if self._taken:
            notes.append(f"the program closed the channel's socket {self._taken}x")
        report = ChannelReport(self.kind, self.session, self._sent, 0,
                               self._dropped_full, self._dropped_down,
                               self._restarts, "; ".join(notes) or None)
        with self._cond:
            report.unstored, report.unstored_reason = self._unstored()
            self._close_tally()
        fork_lines: List[str] = []
        try:
            store = location.backend(self.store_path)
            conn = store.open_for_writing(self.store_path)
            try:
                report.stored = store.count_stored(conn, self.kind, self.session)
                report.unstored = min(report.unstored, max(
                    0, report.sent - report.stored - report.dropped_full
                    - report.dropped_down))
                store.record_channel_run(
                    conn, self.session, self.kind, self._started_at, report.sent,
                    report.stored, report.dropped_full, report.dropped_down,
                    report.restarts, _stored_note(report), unstored=report.unstored)
                if self._parent_session is None:
                    try:
                        fork_lines = self._settle_forks(conn, deadline, progress)
                    except Exception as exc:
                        fork_lines = [f"cannot read the delivery of forked processes: {exc}"]
            finally:
                conn.close()
        except Exception as exc:
            report.note = "; ".join(filter(None, [
                report.note, f"store unreadable after the run: {location.redact(str(exc))}"]))
        if self._report is not None:
            if report.missing:
                self._report("tarnwick: " + report.summary())
            for line in fork_lines:
                self._report("tarnwick: " + line)
        return report

    def _settle_forks(self, conn: Any, deadline: float,
                      progress: Optional[Callable[[str], None]] = None) -> List[str]:
        """For the run that forked: wait (a while) until the runs of forked
        processes that have ended have their delivery summaries of this
        channel's kind, and return a line for each that lacks messages or
        has no summary. Runs whose process still lives are left alone (it
        reports for itself when it stops); so are those whose own channel
        wrote its summary (it reported its losses itself)."""
        forks = sqlite_store.fork_pids(conn, self.session)
        if not forks:
            return []
        recording = sqlite_store.Recording(self.session)
        limit = min(deadline, time.monotonic() + FORK_REPORT_WAIT)
        seen = -1
        last_note = time.monotonic()
        while True:
            waiting = [run for run in sqlite_store.unfinished_runs(conn, recording, self.kind)
                       if run in forks and _process_gone(forks[run])]
            if not waiting:
                break
            # A subprocess still storing a backlog gets more time.
            stored = sum(sqlite_store.count_stored(conn, self.kind, run) for run in waiting)
            if stored > seen:
                seen = stored
                limit = min(deadline, time.monotonic() + FORK_REPORT_WAIT)
            if time.monotonic() >= limit:
                break
            if progress is not None and time.monotonic() - last_note >= 1.0:
                progress(f"{self.kind} channel: storing what {len(waiting)} forked "
                         f"process(es) sent ({stored} messages so far)")
                last_note = time.monotonic()
            time.sleep(0.1)
        lines = []
        for item in sqlite_store.channel_runs(conn, recording):
            run = item["session"]
            if item["channel"] != self.kind or run not in forks:
                continue
            if not _process_gone(forks[run]):
                continue
            if not item["reported"]:
                lines.append(f"run {run}: {self.kind} channel ended without its report; "
                             f"{item['stored']} messages stored, how many were lost "
                             "is unknown")
            elif ((item["note"] or "").startswith(sqlite_store.PROCESS_ENDED_NOTE)
                  and item["sent"] > item["stored"]):
                note, unstored, reason = _split_note(item["note"])
                fork = ChannelReport(self.kind, run, item["sent"], item["stored"],
                                     item["dropped_full"], item["dropped_down"],
                                     item["restarts"], note, unstored, reason)
                lines.append(f"run {run}: " + fork.summary())
        return lines

    def report(self) -> Optional[ChannelReport]:
        """The report of ``stop``, once it has run."""
        return self._report_obj

    # --- fork -----------------------------------------------------------

    def _pause_for_fork(self, timeout: float) -> None:
        """Before ``os.fork()`` in this process: end the writer thread once
        its current batch is written, so that the fork does not find the
        process multi-threaded because of us (Python 3.12+ warns then). The
        buffer stays; _resume_after_fork starts a new writer. A writer that
        does not end within ``timeout`` seconds simply goes on."""
        if self._pid != os.getpid():
            return
        with self._cond:
            if (self._state != "running" or self._writer_done is None
                    or self._writer_ident == _get_ident()):
                return
            self._fork_pause = True
            self._cond.notify_all()
        deadline = time.monotonic() + timeout
        ended = self._wait_writer(timeout) and _thread_gone(self._writer_tid, deadline)
        with self._cond:
            if ended:
                self._writer_paused = True
            else:  # still writing: it goes on, nothing to restart
                self._fork_pause = False
                self._cond.notify_all()

    def _resume_after_fork(self) -> None:
        """In the parent after ``os.fork()``, or at the first send, flush or
        stop after it: a new writer for one the fork pause ended. (Python
        3.13 looks for threads only after the after-fork handlers ran, so
        there the writer starts at the first of those.)"""
        if not self._writer_paused or self._pid != os.getpid():
            return
        with self._cond:
            if not self._writer_paused:
                return
            self._writer_paused = self._fork_pause = False
            if self._state not in ("running", "stopping"):
                return
            try:
                self._start_writer()
            except OSError as exc:
                error: Optional[BaseException] = exc
            else:
                error = None
        if error is not None:
            self._writer_failed(error)

    def _after_fork(self) -> None:
        """In a child process: forget the parent's subprocess, buffer and
        counts; the child starts subprocesses of its own on its first
        message, under a run id of its own."""
        if self._pid == os.getpid():
            return
        tally = self._tally
        if tally is not None:
            tally.close()  # this process's copy: the parent's counts stay as they are
        sock = self._sock
        if sock is not None:
            # The child's copy; the parent's stays open.
            self._release_socket(sock)
        for block in self._old_tallies:
            block.close()
        parent_session = self._parent_session or self.session
        was_stopped = self._report_obj is not None or self._state == "stopped"
        self._init_state()
        self._parent_session = parent_session
        self.session = f"{parent_session}-{os.getpid()}"
        self._lazy_start = not was_stopped
        self._eager = self._lazy_start

    _parent_session: Optional[str] = None

    def _start_in_child(self) -> None:
        with forks._CHILD_START_LOCK:
            if self._state != "new":
                return
            try:
                store = location.backend(self.store_path)
                conn = store.open_for_writing(self.store_path)
                try:
                    store.record_session(
                        conn, self.session, f"fork of {self._parent_session}", None)
                    store.record_channel_start(
                        conn, self.session, self.kind, time.time())
                finally:
                    conn.close()
                self.start()
            except Exception:
                with self._cond:
                    if self._state == "new":
                        self._state = "down"
                return
            _stop_at_multiprocessing_exit()

    def __repr__(self) -> str:
        return (f"<SubprocessChannel {self.kind} {self._state} pid={self.pid} "
                f"buffered={len(self._queue)}>")


def join_frames_py(batch: List[Tuple[float, bytes]], start: int,
                   limit: int) -> Tuple[int, bytes]:
    """``(stop, frames)``: the frames of ``batch[start:stop]`` joined, taken
    while their total is under ``limit`` (at least one); what the compiled
    ``join_frames`` does."""
    frames: List[bytes] = []
    size = 0
    index = start
    while index < len(batch) and (size < limit or not frames):
        frame = framing.encode(*batch[index])
        frames.append(frame)
        size += len(frame)
        index += 1
    return index, b"".join(frames)


def join_frames(batch: List[Tuple[float, bytes]], start: int,
                limit: int) -> Tuple[int, bytes]:
    if _join_frames is not None:
        try:
            return _join_frames(batch, start, limit)
        except TypeError:
            pass  # not a (float, bytes) pair: framing says how it goes
    return join_frames_py(batch, start, limit)


def _wait_writable(sock: socket.socket, timeout: float) -> None:
    """Wait up to ``timeout`` seconds until the socket takes more bytes (or
    fails)."""
    try:
        fd = sock.fileno()
    except OSError:
        return
    if fd < 0:
        return
    poll = getattr(select, "poll", None)
    if poll is not None:
        poller = poll()
        poller.register(fd, select.POLLOUT)
        poller.poll(max(0, int(timeout * 1000) + 1))
    else:
        select.select([], [fd], [], max(0.0, timeout))


def _process_gone(pid: Optional[int]) -> bool:
    """Whether process ``pid`` has ended (a zombie has)."""
    if pid is None or pid <= 0:
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except OSError:
        return False
    try:
        with open(f"/proc/{pid}/stat", "rb") as fh:
            stat = fh.read()
        return stat[stat.rindex(b")") + 2:][:1] in (b"Z", b"X")
    except (OSError, ValueError):
        return False


def _stderr_line(line: str) -> None:
    try:
        sys.stderr.write(line + "\n")
        sys.stderr.flush()
    except Exception:
        pass


def _thread_gone(tid: Optional[int], deadline: float) -> bool:
    """Wait until the OS thread ``tid`` of this process has exited (its
    Python state goes a moment before the thread itself); True when it has,
    or when that cannot be told."""
    if tid is None or not os.path.isdir("/proc/self/task"):
        return True
    path = f"/proc/self/task/{tid}"
    while os.path.exists(path):
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.0002)
    return True
def open_channels(
    store_path: Optional[str] = None,
    project_path: Optional[str] = None,
    *,
    store: Optional[str] = None,
    command: Optional[str] = None,
    max_messages: Optional[int] = None,
    max_bytes: Optional[int] = None,
    report: Any = ...,
    max_store_size: Optional[str] = None,
) -> Tuple[SubprocessChannel, SubprocessChannel]:
    """Create the store if needed, record a new run in it and start the data
    and the metrics channel of the run.

    :param store_path: the SQLite file or the PostgreSQL URL (default
        ``$TARNWICK_STORE``, else ``<project_path>/.tarnwick/records.sqlite3``).
    :param store: the same, by another name (give one of the two).
    :param project_path: the project root (default: the current directory).
    :param command: how the recorded program was started, kept with the run.
    :param max_store_size: a size (``500MB``, ``2G``; default
        ``$TARNWICK_MAX_STORE_SIZE``, else none) beyond which the store takes
        no more messages: they are counted as not stored (a SQLite store
        only).
    :return: ``(data_channel, metrics_channel)``, both started; they are
        stopped at interpreter exit unless ``close_channels`` ran first.
    :raises tarnwick_collector.store.StoreError: when the store cannot be
        used (a database that cannot be reached, or without its driver).
    """
    if store is not None and store_path is not None and store != store_path:
        raise ValueError("give the store as store or as store_path, not both")
    max_store_size = _store_size_setting(max_store_size)  # before the run is noted
    path = location.normalize(
        store or store_path or sqlite_store.default_store_path(project_path))
    if max_store_size is not None and location.is_url(path):
        raise ValueError("max_store_size applies to a SQLite store, not to a database")
    backend = location.backend(path)
    session = new_session_id()
    conn = backend.open_for_writing(path)
    try:
        backend.record_session(
            conn, session,
            location.redact(command if command is not None else " ".join(sys.argv)),
            os.path.abspath(project_path) if project_path else os.getcwd())
    finally:
        conn.close()
    kwargs = dict(max_messages=max_messages, max_bytes=max_bytes, report=report,
                  max_store_size=max_store_size)
    data = SubprocessChannel("data", path, session, **kwargs)
    metrics = SubprocessChannel("metrics", path, session, **kwargs)
    try:
        data.start()
        metrics.start()
    except BaseException:
        data.stop()
        metrics.stop()
        raise
    return data, metrics


def close_channels(*channels: SubprocessChannel,
                   progress: Optional[Callable[[str], None]] = None) -> List[ChannelReport]:
    """Stop the given channels (the data channel first, then the metrics
    channel, whatever order they are given in) and return their reports."""
    ordered = sorted(channels, key=lambda ch: 0 if ch.kind == "data" else 1)
    return [ch.stop(progress=progress) for ch in ordered]


def read_stream(stream: IO[bytes]) -> List[Tuple[float, bytes]]:
    """All frames of a byte stream (for tools and tests)."""
    reader = framing.FrameReader()
    frames: List[Tuple[float, bytes]] = []
    while True:
        chunk = stream.read(_CHUNK)
        if not chunk:
            return frames
        frames.extend(reader.feed(chunk))
