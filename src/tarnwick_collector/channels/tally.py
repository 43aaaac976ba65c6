"""A channel's counters, kept in a small block of memory that the channel
shares with its subprocess.

The channel writes its counts there as they change. At the end of its
input the subprocess finds in the block what the channel had been sent and
had dropped, and writes the run's delivery summary from it: so the summary
is on record even when the channel's process ends without stopping the
channel (``os._exit``, a signal, a crash), or while stopping it. A channel
that stops marks the block first (and writes the summary again itself).

The block is a memory file (``memfd``, or an unlinked temporary file where
there is none) whose descriptor the subprocess inherits.

The program may close the block's descriptors (``os.closerange``) and get
their numbers for files of its own. The channel's side therefore remembers
which file its descriptors are (device and inode) and closes a number only
while it is still that file; a mapping whose descriptor number the program
took is kept, never closed (closing it would close the program's file).

Each subprocess also writes to the block (in a slot of its own, as several
may be running after a restart) how many messages it received but could
not store, and why, so that the channel reports the real reason.
"""
import functools
import mmap
import os
import struct
import tempfile
from typing import Any, Callable, Dict, List, Optional, Tuple

MAGIC = b"TWct"
# magic, padding, then sent, dropped_full, dropped_down, restarts, stopping
# (int64 each) and the time the channel started (float64).
_LAYOUT = struct.Struct("<4s4x5qd")
_SENT = struct.Struct("<q")
_COUNTS = struct.Struct("<4q")
_SENT_AT = 8
_STOPPING_AT = 40
#: Slots of the subprocesses: messages received but not stored (int64 each).
SLOTS = 8
_UNSTORED = struct.Struct(f"<{SLOTS}q")
_UNSTORED_AT = _LAYOUT.size
_SLOT = struct.Struct("<q")
#: Why the last messages could not be stored (UTF-8, NUL padded).
REASON_SIZE = 160
_REASON_AT = _UNSTORED_AT + _UNSTORED.size
#: Slots of the subprocesses: messages stored so far (int64 each), for the
#: live progress of a recording.
_STORED = struct.Struct(f"<{SLOTS}q")
_STORED_AT = _REASON_AT + REASON_SIZE
SIZE = _STORED_AT + _STORED.size


def identity(fd: int) -> Optional[Tuple[int, int]]:
    """Which file descriptor ``fd`` is open on (device, inode); ``None``
    when it is not open."""
    try:
        st = os.fstat(fd)
    except (OSError, ValueError, OverflowError):
        return None
    return (st.st_dev, st.st_ino)


try:
    from tarnwick_collector.channels._guarded_send import close_if_same as _close_native
    from tarnwick_collector.channels._guarded_send import dup_if_same as _dup_native
    from tarnwick_collector.channels._guarded_send import shutdown_if_same as _shutdown_native
except ImportError:  # the module not built: checked in Python, less strictly
    _close_native = _dup_native = _shutdown_native = None


# A descriptor the channel checks and then closes, shuts down or copies may
# be the program's by then: the check's fstat lets the program's threads
# run, which may close the number (os.closerange) and open a file on it.
# The native versions check and act in one step no other thread's code
# comes between.

def close_if_same(fd: int, ident: Optional[Tuple[int, int]]) -> bool:
    """Close ``fd`` if it is still the file ``ident``: whether it was."""
    if ident is None or fd < 0:
        return False
    if _close_native is not None:
        return bool(_close_native(fd, ident[0], ident[1]))
    if identity(fd) != ident:
        return False
    try:
        os.close(fd)
    except OSError:
        pass
    return True


def shutdown_if_same(fd: int, ident: Optional[Tuple[int, int]], how: int) -> bool:
    """Shut the socket ``fd`` down if it is still the file ``ident``."""
    if ident is None or fd < 0:
        return False
    if _shutdown_native is not None:
        return bool(_shutdown_native(fd, ident[0], ident[1], how))
    if identity(fd) != ident:
        return False
    import socket
    try:
        sock = socket.socket(fileno=fd)
    except OSError:
        return False
    try:
        sock.shutdown(how)
    except OSError:
        pass
    finally:
        sock.detach()  # the number stays open
    return True


def dup_if_same(fd: int, ident: Optional[Tuple[int, int]]) -> Optional[int]:
    """A new descriptor on the file ``ident`` if ``fd`` is still it."""
    if ident is None or fd < 0:
        return None
    if _dup_native is not None:
        copy = _dup_native(fd, ident[0], ident[1])
        return copy if copy >= 0 else None
    try:
        copy = os.dup(fd)
    except OSError:
        return None
    if identity(copy) != ident:
        os.close(copy)
        return None
    return copy


def _mapping_descriptor(fd: int, ident: Optional[Tuple[int, int]]) -> Optional[int]:
    """The descriptor a new ``mmap`` of ``fd`` keeps (a duplicate of it):
    another descriptor open on the same file. ``None`` when it cannot be
    told."""
    if ident is None:
        return None
    try:
        names = os.listdir("/proc/self/fd")
    except OSError:
        return None
    for name in names:
        try:
            other = int(name)
        except ValueError:
            continue
        if other != fd and identity(other) == ident:
            return other
    return None


# Mappings whose descriptor number the program took: never closed nor
# freed, as either would close the number.
_KEPT: List[Any] = []


def _keep_forever(mapping: Any) -> None:
    _KEPT.append(mapping)
    try:
        import ctypes  # an extra reference nothing releases, not even at exit
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(mapping))
    except Exception:
        pass


class Tally:
    """The channel's side: creates the block and writes it."""

    def __init__(self, started: float) -> None:
        self._file: Any = None
        fd = -1
        memfd_create = getattr(os, "memfd_create", None)
        if memfd_create is not None:
            try:
                fd = memfd_create("tarnwick-channel", getattr(os, "MFD_CLOEXEC", 1))
            except OSError:
                fd = -1
        if fd < 0:
            self._file = tempfile.TemporaryFile()
            fd = self._file.fileno()
        self._fd = fd
        self._id = identity(fd)
        try:
            os.ftruncate(fd, SIZE)
            self._map: Optional[mmap.mmap] = mmap.mmap(fd, SIZE)
        except BaseException:
            self._close_fd(fd)
            raise
        self._map_fd = _mapping_descriptor(fd, self._id)
        _LAYOUT.pack_into(self._map, 0, MAGIC, 0, 0, 0, 0, 0, started)

    def fileno(self) -> int:
        return self._fd

    def owns_fd(self) -> bool:
        """Whether the block's descriptor is still the block's (the program
        did not close it and take its number)."""
        return self._fd >= 0 and self._id is not None and identity(self._fd) == self._id

    def unstored(self) -> Tuple[int, Optional[str]]:
        """Messages the subprocesses received but could not store, and why
        (the last reason one of them gave)."""
        if self._map is None:
            return 0, None
        return _read_unstored(self._map)

    def stored(self) -> int:
        """Messages the subprocesses have stored so far."""
        if self._map is None:
            return 0
        return sum(_STORED.unpack_from(self._map, _STORED_AT))

    def sent_setter(self) -> Callable[[int], None]:
        """A function that writes the count that changes with every message
        (cheaper than a method call); not to be called after ``close``."""
        return functools.partial(_SENT.pack_into, self._map,  # type: ignore[arg-type]  # open
                                 _SENT_AT)

    def publish(self, sent: int, dropped_full: int, dropped_down: int,
                restarts: int) -> None:
        if self._map is not None:
            _COUNTS.pack_into(self._map, _SENT_AT, sent, dropped_full,
                              dropped_down, restarts)

    def mark_stopping(self) -> None:
        """The channel is stopping: the end of the subprocess's input is not
        the end of its process."""
        if self._map is not None:
            _SENT.pack_into(self._map, _STOPPING_AT, 1)

    def close(self) -> None:
        """Release the block; a descriptor number the program took is
        forgotten, not closed."""
        mapping, self._map = self._map, None
        if mapping is not None:
            # The mapping's own copy of the descriptor is closed here, if it
            # is still the block's; the mapping object, which would close
            # the number again when closed or freed, is kept.
            if self._map_fd is not None:
                close_if_same(self._map_fd, self._id)
            _keep_forever(mapping)
        fd, self._fd = self._fd, -1
        close_if_same(fd, self._id)
        self._forget_fd()

    def _forget_fd(self) -> None:
        file, self._file = self._file, None
        if file is not None:
            # A temporary file object would close the number when freed.
            _keep_forever(file)

    def _close_fd(self, fd: int) -> None:
        file, self._file = self._file, None
        try:
            if file is not None:
                file.close()
            elif fd >= 0:
                os.close(fd)
        except OSError:
            pass


def identity_of(block: "Tally") -> Optional[Tuple[int, int]]:
    """The file the block was made on (device, inode)."""
    return block._id


def _read_unstored(mapping: Any) -> Tuple[int, Optional[str]]:
    total = sum(_UNSTORED.unpack_from(mapping, _UNSTORED_AT))
    raw = bytes(mapping[_REASON_AT:_REASON_AT + REASON_SIZE]).split(b"\0", 1)[0]
    reason = raw.decode("utf-8", "replace") if raw else None
    return total, reason


class Slot:
    """A subprocess's side: its slot of the block, for what it received
    but could not store. The block's descriptor is the subprocess's own."""

    def __init__(self, fd: int, index: int) -> None:
        self._map = mmap.mmap(fd, SIZE)
        if bytes(self._map[:len(MAGIC)]) != MAGIC:
            self._map.close()
            raise ValueError("not a channel's block")
        self._at = _UNSTORED_AT + (index % SLOTS) * _SLOT.size
        self._stored_at = _STORED_AT + (index % SLOTS) * _SLOT.size
        self._count = 0
        self._stored = 0

    def add_stored(self, count: int) -> None:
        self._stored += count
        _SLOT.pack_into(self._map, self._stored_at, self._stored)

    def add_unstored(self, count: int, reason: str) -> None:
        self._count += count
        _SLOT.pack_into(self._map, self._at, self._count)
        raw = reason.encode("utf-8", "replace")[:REASON_SIZE - 1]
        self._map[_REASON_AT:_REASON_AT + REASON_SIZE] = raw.ljust(REASON_SIZE, b"\0")

    def unstored(self) -> Tuple[int, Optional[str]]:
        return _read_unstored(self._map)


def read(fd: int) -> Optional[Dict[str, Any]]:
    """The subprocess's side: the counts in the block behind ``fd`` (``None``
    when it is not one)."""
    try:
        with mmap.mmap(fd, SIZE, access=mmap.ACCESS_READ) as mapping:
            magic, sent, full, down, restarts, stopping, started = \
                _LAYOUT.unpack_from(mapping, 0)
    except (OSError, ValueError, struct.error):
        return None
    if magic != MAGIC:
        return None
    return {"sent": sent, "dropped_full": full, "dropped_down": down,
            "restarts": restarts, "stopping": bool(stopping), "started": started}
