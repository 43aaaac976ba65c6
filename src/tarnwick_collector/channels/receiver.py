"""The subprocess at the far end of a channel.

Run as ``python -I -c <bootstrap> [--max-store-size=SIZE] {data|metrics} STORE
SESSION [TALLY_FD [SLOT]]``, STORE a SQLite file or ``@env`` for the
database URL in ``$TARNWICK_RECEIVER_STORE`` (a URL may hold a password,
which a command line would show to every user of the machine):
it reads frames (see ``framing``) from its standard input until end of file
and stores every message as one row of the store, in batched transactions.
It decodes each message only to find the names it files it under, with the
restricted unpickler of ``tarnwick_collector.store.decoding``: nothing a
message names is imported or run. A message that cannot be decoded is
stored all the same, with the reason.

``TALLY_FD`` is the channel's block of counters (see ``tally``). When the
input ends, the receiver writes the run's delivery summary from the block,
so that what the process sent and what it lost is on record even when the
process ends before its channel does (a stopping channel writes the summary
again once the receiver is gone, with its own notes). When the channel has
not marked the block as stopping, its process ended without stopping it.

Messages it received but could not store (the store refused them three
times: a full disk, a store another program broke) are counted in its
``SLOT`` of the block with the store's reason, so that the channel reports
them as not stored and why, not as lost on the way.

A thread of its own reads the input while the main thread decodes and
commits, so that a sender is not held up while a transaction waits for the
disk or for another writer of the store (the sending thread of a forked
child writes every message itself).

With a size limit, the messages that would take the store beyond it are not
stored: they are counted as not stored, with the limit as the reason. The
disk under a store file keeps a reserve of free space the same way
(``free_space_reserve``): a recording never fills the disk the program
itself writes to.

It ignores the terminal's interrupt (the application decides when the
channel ends) and writes its own troubles to ``STORE.log`` (for a database,
``.tarnwick/postgresql.log`` in the application's directory; see
``location.log_path``), never to the application's terminal.
"""
import collections
import os
import select
import signal
import sys
import threading
import time
import traceback
from typing import Any, Callable, List, Optional, Sequence, Tuple

from tarnwick_collector.channels import tally
from tarnwick_collector.channels.framing import FrameReader
from tarnwick_collector.store import decoding, location, packing, sqlite_store
from tarnwick_collector.store.sizes import parse_size, size_text

#: A batch is committed when it has this many rows ...
BATCH_ROWS = 500
#: ... or when its oldest row has waited this long (seconds).
BATCH_SECONDS = 0.2
READ_SIZE = 1 << 20
#: After a read smaller than ``SMALL_READ`` bytes the reading thread pauses
#: this long (seconds) before reading again, so that it takes messages in
#: batches: a sender then seldom has to wake it, which makes each send
#: cheaper.
READ_PAUSE = 0.002
SMALL_READ = 64 * 1024
#: What a stored row is taken to cost besides its message (its columns and
#: index entries), when a size limit is checked.
ROW_BYTES = 200
#: The free space a SQLite store leaves on its disk: the smaller of these.
RESERVE_BYTES = 1 << 30
RESERVE_SHARE = 0.05


def free_space_reserve(total: int) -> int:
    """The bytes a store leaves free on a file system of ``total`` bytes."""
    return min(RESERVE_BYTES, int(total * RESERVE_SHARE))


#: Bytes read but not yet decoded beyond which the reading thread waits
#: for the main thread (and the sender for the reading thread).
MAX_BACKLOG = 64 * 1024 * 1024
#: Bytes read but not yet stored beyond which data messages are stored
#: unpacked until the receiver has caught up: packing is most of what a
#: data message costs here, and a sender that outruns the receiver for
#: long fills its buffer and drops messages.
HURRY_BACKLOG = 8 * 1024 * 1024


class _Inbox:
    """What the reading thread has read and the main thread not taken yet;
    an empty chunk marks the end of the input."""

    def __init__(self) -> None:
        self.cond = threading.Condition()
        self.chunks: "collections.deque[bytes]" = collections.deque()
        self.size = 0

    def put(self, chunk: bytes) -> None:
        with self.cond:
            while self.size > MAX_BACKLOG and chunk:
                self.cond.wait()
            self.chunks.append(chunk)
            self.size += len(chunk)
            self.cond.notify_all()

    def take(self, timeout: Optional[float]) -> List[bytes]:
        """Every chunk read so far; waits up to ``timeout`` seconds (``None``:
        as long as it takes) for one."""
        with self.cond:
            if not self.chunks:
                self.cond.wait(timeout)
            chunks = list(self.chunks)
            self.chunks.clear()
            self.size = 0
            self.cond.notify_all()
            return chunks


class _Log:
    """Appends to ``<store>.log`` on first use only; made private (0600)
    like the store."""

    def __init__(self, store_path: str, label: str) -> None:
        self._path = location.log_path(store_path)
        self._made_dir = not location.is_url(store_path)
        self._label = label

    def write(self, text: str) -> None:
        text = location.redact(text)
        try:
            if not self._made_dir:
                sqlite_store.make_private_dirs(os.path.dirname(self._path))
                self._made_dir = True
            with open(self._path, "a", encoding="utf-8",
                      opener=sqlite_store.private_opener) as fh:
                stamp = time.strftime("%Y-%m-%d %H:%M:%S")
                fh.write(f"{stamp} [{self._label} pid {os.getpid()}] {text}\n")
        except OSError:
            pass


def _wait_readable(fd: int) -> None:
    """Wait until ``fd`` has input, or its end."""
    try:
        poll = getattr(select, "poll", None)
        if poll is not None:
            poller = poll()
            poller.register(fd, select.POLLIN)
            poller.poll()
        else:
            select.select([fd], [], [])
    except (OSError, ValueError):
        time.sleep(READ_PAUSE)


def _data_row(session: str, received: float, payload: bytes) -> Tuple[Any, ...]:
    error: Optional[str] = None
    full_name = module = None
    try:
        full_name, module = decoding.describe_data_message(payload)
        if full_name is None:
            error = "no function name in the message"
    except decoding.DecodeError as exc:
        error = str(exc)
    except Exception as exc:  # keep the message whatever the decoder did
        error = f"decoder failed: {type(exc).__name__}: {exc}"
    return (session, received, full_name, module, len(payload), error, payload)


def _metric_row(session: str, received: float, payload: bytes) -> Tuple[Any, ...]:
    error: Optional[str] = None
    counter = kind = attributes = None
    try:
        counter, kind, attrs = decoding.describe_metric_message(payload)
        attributes = sqlite_store.attributes_json(attrs)
        if counter is None:
            error = f"not a metric: {kind}"
    except decoding.DecodeError as exc:
        error = str(exc)
    except Exception as exc:
        error = f"decoder failed: {type(exc).__name__}: {exc}"
    return (session, received, counter, kind, attributes, len(payload), error, payload)


def _reason(exc: BaseException) -> str:
    """Why the store refused rows, with SQLite's name for the error (which
    tells a full disk from a file too large or a failing device)."""
    text = str(exc) or type(exc).__name__
    name = getattr(exc, "sqlite_errorname", None)
    if name and name not in text:
        text += f" ({name})"
    return location.redact(text)


class Receiver:
    """Reads frames from a file descriptor and stores them."""

    def __init__(self, kind: str, store_path: str, session: str, fd: int = 0,
                 tally_fd: Optional[int] = None, slot: int = 0,
                 max_store_bytes: Optional[int] = None,
                 max_store_text: Optional[str] = None) -> None:
        if kind not in ("data", "metrics"):
            raise ValueError(f"unknown channel kind {kind!r}")
        self.kind = kind
        self.session = session
        self.fd = fd
        self.tally_fd = tally_fd
        self.log = _Log(store_path, kind)
        self.store = store = location.backend(store_path)
        self.conn = store.open_for_writing(store_path)
        self._make_row = _data_row if kind == "data" else _metric_row
        self._packer: Optional[packing.Packer] = None
        if kind == "data":
            packer = self._packer = packing.Packer()
            self._insert: Callable[[Any, Sequence[Tuple[Any, ...]]], None] = \
                lambda conn, rows: store.insert_data_rows(conn, rows, packer)
        else:
            self._insert = store.insert_metric_rows
        self.store_path = store_path
        #: Bytes beyond which the store takes no more messages (None: no
        #: limit), and that limit as the user wrote it.
        self.max_store_bytes = max_store_bytes
        self.max_store_text = max_store_text or (
            str(max_store_bytes) if max_store_bytes is not None else None)
        self.stored = 0
        self.unstored = 0
        self.unstored_reason: Optional[str] = None
        self._slot: Optional[tally.Slot] = None
        if tally_fd is not None:
            try:
                self._slot = tally.Slot(tally_fd, slot)
            except (OSError, ValueError):
                self._slot = None
        # After a batch was given up, later ones get one attempt each until
        # one is stored (a full disk would hold every batch up otherwise).
        self._failing = False

    def _room(self) -> Tuple[Optional[int], str]:
        """The bytes the store may still grow by (None: no bound), and what
        bounds it: its size limit or the reserve its disk keeps free."""
        if location.is_url(self.store_path):
            return None, ""
        room: Optional[int] = None
        why = ""
        if self.max_store_bytes is not None:
            try:
                room = self.max_store_bytes - os.path.getsize(self.store_path)
                why = f"the store reached its size limit ({self.max_store_text})"
            except OSError:
                pass
        try:
            disk = os.statvfs(os.path.dirname(os.path.abspath(self.store_path)))
        except (OSError, AttributeError):
            return room, why
        reserve = free_space_reserve(disk.f_blocks * disk.f_frsize)
        on_disk = disk.f_bavail * disk.f_frsize - reserve
        if room is None or on_disk < room:
            room = on_disk
            why = (f"the disk keeps {size_text(reserve)} free for the program "
                   f"({size_text(max(0, disk.f_bavail * disk.f_frsize))} left)")
        return room, why

    def _within_limit(self, rows: Sequence[Tuple[Any, ...]]) -> Tuple[int, str]:
        """How many of ``rows`` (the first ones) the store takes before it
        reaches its size limit or its disk's reserve, and the reason when
        that is not all of them. Each row is taken to cost its message as
        sent and ``ROW_BYTES`` more, more than it takes once packed: the
        store stays below the bound, and the next batch finds the room
        that is left."""
        room, why = self._room()
        if room is None:
            return len(rows), ""
        taken = 0
        for row in rows:
            room -= len(row[-1]) + ROW_BYTES
            if room < 0:
                break
            taken += 1
        return taken, why

    def _not_stored(self, count: int, reason: str) -> None:
        self.unstored += count
        self.unstored_reason = reason
        if self._slot is not None:
            try:
                self._slot.add_unstored(count, reason)
            except (OSError, ValueError):
                pass

    def _commit(self, rows: Sequence[Tuple[Any, ...]]) -> None:
        taken, why = self._within_limit(rows)
        if taken < len(rows):
            self._not_stored(len(rows) - taken, why)
            rows = rows[:taken]
            if not rows:
                return
        attempts = 1 if self._failing else 3
        reason = ""
        for attempt in range(attempts):
            try:
                self._insert(self.conn, rows)
                self.stored += len(rows)
                if self._slot is not None:
                    self._slot.add_stored(len(rows))
                self._failing = False
                return
            except Exception as exc:
                reason = _reason(exc)
                self.log.write(f"storing {len(rows)} rows failed ({exc}); "
                               f"attempt {attempt + 1} of {attempts}")
                if attempt + 1 < attempts:
                    time.sleep(0.5)
        self._failing = True
        self.log.write(f"gave up storing {len(rows)} messages")
        self._not_stored(len(rows), reason)

    def _hurry(self, backlog: int) -> None:
        """Store the next batch unpacked when ``backlog`` bytes of input
        (counting the chunk under way whole) are still waiting."""
        if self._packer is not None:
            self._packer.hurry = backlog > HURRY_BACKLOG

    def _read_input(self, inbox: _Inbox) -> None:
        """Body of the reading thread. An input that does not block (as
        the channel's socket is when the program made it under a default
        timeout) is waited on: a pause in the input is not its end."""
        try:
            while True:
                try:
                    chunk = os.read(self.fd, READ_SIZE)
                except InterruptedError:
                    continue
                except BlockingIOError:
                    _wait_readable(self.fd)
                    continue
                except OSError as exc:
                    self.log.write(f"reading the input failed ({exc}); "
                                   "taken for its end")
                    chunk = b""
                inbox.put(chunk)
                if not chunk:
                    return
                if len(chunk) < SMALL_READ:
                    time.sleep(READ_PAUSE)
        except BaseException:
            inbox.put(b"")
            raise

    def run(self) -> int:
        inbox = _Inbox()
        threading.Thread(target=self._read_input, args=(inbox,), daemon=True,
                         name="tarnwick-receiver-input").start()
        reader = FrameReader()
        pending: List[Tuple[Any, ...]] = []
        oldest = 0.0
        eof = False
        while not eof:
            timeout = None
            if pending:
                timeout = max(0.0, BATCH_SECONDS - (time.monotonic() - oldest))
            chunks = inbox.take(timeout)
            unread = sum(len(chunk) for chunk in chunks)
            for chunk in chunks:
                if not chunk:
                    eof = True
                    break
                for received, payload in reader.feed(chunk):
                    if not pending:
                        oldest = time.monotonic()
                    pending.append(self._make_row(self.session, received, payload))
                    if len(pending) >= BATCH_ROWS:
                        self._hurry(unread + inbox.size)
                        self._commit(pending)
                        pending = []
                unread -= len(chunk)
            if pending and (eof or time.monotonic() - oldest >= BATCH_SECONDS):
                self._hurry(inbox.size)
                self._commit(pending)
                pending = []
        if reader.pending:
            self.log.write(f"{reader.pending} bytes of an incomplete message at the end")
        if self._packer is not None and self._packer.hurried:
            self.log.write(f"{self._packer.hurried} messages stored unpacked: "
                           "the input came faster than they could be packed")
        try:
            self._write_summary()
        finally:
            self.conn.close()
        return 0

    def _write_summary(self) -> None:
        """Write the run's delivery summary from the channel's counters."""
        if self.tally_fd is None:
            return
        counts = tally.read(self.tally_fd)
        if counts is None:
            return
        for attempt in range(3):
            try:
                stored = self.store.count_stored(self.conn, self.kind, self.session)
                note = (sqlite_store.PROCESS_ENDED_NOTE
                        if counts["sent"] > stored and not counts["stopping"] else None)
                unstored, reason = (self._slot.unstored() if self._slot is not None
                                    else (self.unstored, self.unstored_reason))
                unstored = min(unstored, max(0, counts["sent"] - stored
                                             - counts["dropped_full"]
                                             - counts["dropped_down"]))
                if unstored:
                    note = "; ".join(filter(None, [
                        note, f"{unstored} not stored: {reason or 'the store refused them'}"]))
                self.store.record_channel_run(
                    self.conn, self.session, self.kind, counts["started"],
                    counts["sent"], stored, counts["dropped_full"],
                    counts["dropped_down"], counts["restarts"], note,
                    unstored=unstored)
                return
            except Exception as exc:
                self.log.write(f"writing the delivery summary failed ({exc}); "
                               f"attempt {attempt + 1} of 3")
                time.sleep(0.5)


_LIMIT_OPTION = "--max-store-size="
#: STORE for a database URL handed over in the environment.
STORE_FROM_ENV = "@env"
STORE_ENV = "TARNWICK_RECEIVER_STORE"


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    limit_text: Optional[str] = None
    if args and args[0].startswith(_LIMIT_OPTION):
        limit_text = args.pop(0)[len(_LIMIT_OPTION):]
    try:
        limit = parse_size(limit_text) if limit_text else None
    except ValueError:
        limit = -1
    if len(args) not in (3, 4, 5) or not all(arg.isdigit() for arg in args[3:]) \
            or limit == -1:
        sys.stderr.write("usage: receiver [--max-store-size=SIZE] {data|metrics} "
                         "STORE SESSION [TALLY_FD [SLOT]]\n")
        return 2
    kind, store_path, session = args[:3]
    if store_path == STORE_FROM_ENV:
        store_path = os.environ.pop(STORE_ENV, "")
    tally_fd = int(args[3]) if len(args) >= 4 else None
    slot = int(args[4]) if len(args) == 5 else 0
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        receiver = Receiver(kind, store_path, session, tally_fd=tally_fd, slot=slot,
                            max_store_bytes=limit, max_store_text=limit_text)
    except Exception as exc:
        _Log(store_path, kind).write(f"cannot start: {exc}")
        return 1
    try:
        return receiver.run()
    except Exception:
        receiver.log.write("failed:\n" + traceback.format_exc())
        return 1


if __name__ == "__main__":
    sys.exit(main())
