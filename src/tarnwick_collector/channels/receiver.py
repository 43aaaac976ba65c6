"""The subprocess at the far end of a channel.

Run as ``python -I -c <bootstrap> {data|metrics} STORE SESSION``: it reads
frames (see ``framing``) from its standard input until end of file and
stores every message as one row of the store, in batched transactions. It
decodes each message only to find the names it files it under, with the
restricted unpickler of ``tarnwick_collector.store.decoding``: nothing a
message names is imported or run. A message that cannot be decoded is
stored all the same, with the reason.

It ignores the terminal's interrupt (the application decides when the
channel ends) and writes its own troubles to ``STORE.log``, never to the
application's terminal.
"""
import os
import select
import signal
import sys
import time
import traceback
from typing import Any, List, Optional, Sequence, Tuple

from tarnwick_collector.channels.framing import FrameReader
from tarnwick_collector.store import decoding
from tarnwick_collector.store import sqlite_store

#: A batch is committed when it has this many rows ...
BATCH_ROWS = 500
#: ... or when its oldest row has waited this long (seconds).
BATCH_SECONDS = 0.2
READ_SIZE = 1 << 20


class _Log:
    """Appends to ``<store>.log`` on first use only."""

    def __init__(self, store_path: str, label: str) -> None:
        self._path = store_path + ".log"
        self._label = label

    def write(self, text: str) -> None:
        try:
            with open(self._path, "a", encoding="utf-8") as fh:
                stamp = time.strftime("%Y-%m-%d %H:%M:%S")
                fh.write(f"{stamp} [{self._label} pid {os.getpid()}] {text}\n")
        except OSError:
            pass


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


class Receiver:
    """Reads frames from a file descriptor and stores them."""

    def __init__(self, kind: str, store_path: str, session: str, fd: int = 0) -> None:
        if kind not in ("data", "metrics"):
            raise ValueError(f"unknown channel kind {kind!r}")
        self.kind = kind
        self.session = session
        self.fd = fd
        self.log = _Log(store_path, kind)
        self.conn = sqlite_store.open_for_writing(store_path)
        self._make_row = _data_row if kind == "data" else _metric_row
        self._insert = (sqlite_store.insert_data_rows if kind == "data"
                        else sqlite_store.insert_metric_rows)
        self.stored = 0

    def _commit(self, rows: Sequence[Tuple[Any, ...]]) -> None:
        for attempt in range(3):
            try:
                self._insert(self.conn, rows)
                self.stored += len(rows)
                return
            except Exception as exc:
                self.log.write(f"storing {len(rows)} rows failed ({exc}); "
                               f"attempt {attempt + 1} of 3")
                time.sleep(0.5)
        self.log.write(f"gave up storing {len(rows)} messages")

    def run(self) -> int:
        reader = FrameReader()
        pending: List[Tuple[Any, ...]] = []
        oldest = 0.0
        eof = False
        while not eof:
            timeout = None
            if pending:
                timeout = max(0.0, BATCH_SECONDS - (time.monotonic() - oldest))
            try:
                ready, _, _ = select.select([self.fd], [], [], timeout)
            except InterruptedError:
                continue
            if ready:
                try:
                    chunk = os.read(self.fd, READ_SIZE)
                except (ConnectionResetError, BrokenPipeError):
                    chunk = b""
                if not chunk:
                    eof = True
                else:
                    for received, payload in reader.feed(chunk):
                        if not pending:
                            oldest = time.monotonic()
                        pending.append(self._make_row(self.session, received, payload))
            if pending and (eof or len(pending) >= BATCH_ROWS
                            or time.monotonic() - oldest >= BATCH_SECONDS):
                self._commit(pending)
                pending = []
        if reader.pending:
            self.log.write(f"{reader.pending} bytes of an incomplete message at the end")
        self.conn.close()
        return 0


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    if len(args) != 3:
        sys.stderr.write("usage: receiver {data|metrics} STORE SESSION\n")
        return 2
    kind, store_path, session = args
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        receiver = Receiver(kind, store_path, session)
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
