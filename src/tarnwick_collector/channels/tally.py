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
"""
import functools
import mmap
import os
import struct
import tempfile
from typing import Any, Callable, Dict, Optional

MAGIC = b"TWct"
# magic, padding, then sent, dropped_full, dropped_down, restarts, stopping
# (int64 each) and the time the channel started (float64).
_LAYOUT = struct.Struct("<4s4x5qd")
_SENT = struct.Struct("<q")
_COUNTS = struct.Struct("<4q")
_SENT_AT = 8
_STOPPING_AT = 40
SIZE = _LAYOUT.size


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
        try:
            os.ftruncate(fd, SIZE)
            self._map: Optional[mmap.mmap] = mmap.mmap(fd, SIZE)
        except BaseException:
            self._close_fd(fd)
            raise
        self._fd = fd
        _LAYOUT.pack_into(self._map, 0, MAGIC, 0, 0, 0, 0, 0, started)

    def fileno(self) -> int:
        return self._fd

    def sent_setter(self) -> Callable[[int], None]:
        """A function that writes the count that changes with every message
        (cheaper than a method call); not to be called after ``close``."""
        return functools.partial(_SENT.pack_into, self._map, _SENT_AT)

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
        mapping, self._map = self._map, None
        if mapping is not None:
            try:
                mapping.close()
            except (OSError, ValueError, BufferError):
                pass
        fd, self._fd = self._fd, -1
        self._close_fd(fd)

    def _close_fd(self, fd: int) -> None:
        file, self._file = self._file, None
        try:
            if file is not None:
                file.close()
            elif fd >= 0:
                os.close(fd)
        except OSError:
            pass


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
