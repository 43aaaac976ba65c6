"""The record store: one SQLite file, by default ``.tarnwick/records.sqlite3``
under the project root.

Tables:

- ``sessions``: one row per recording run (the two channels of one run
  share its id), with the host and the process that made it.
- ``data_messages``: one row per data message (one recorded call): when the
  channel received it, the function's full name and module, the byte size
  (as sent), and the message itself, packed (see ``packing``: ``packing``
  and ``base`` say how).
- ``metric_messages``: one row per metric message: its counter name, metric
  class, attribute dict (JSON), byte size and the message itself; except
  the metrics sent for every recorded call (``COUNTED_METRICS``), which
  only ever matter by their number:
- ``metric_counts``: per run, counter, metric class and attribute dict, how
  many such metrics were received.
- ``channel_runs``: per run and channel, how many messages the application
  sent, how many were stored, and why the others were not. A forked
  process's channel notes its start with a row without an end, which its
  summary replaces; a row left without an end belongs to a run that ended
  without its summary.

The subprocesses of the channels write the message tables in batched
transactions; readers open the file read-only.

A writer killed inside a transaction leaves a *hot* rollback journal, which
a read-only connection cannot roll back. Every open therefore first rolls
such a journal back through one read-write connection (when the caller may
write the file), so that a store recovers by itself after a crash.

The store holds the program's arguments and exceptions: a directory made
for it is private to the user (0700) and so are its files (0600: the
database, its journal, which SQLite gives the database's mode, and the log),
whatever the umask. Directories that already exist keep their modes.
"""
import fnmatch
import json
import math
import os
import socket
import sqlite3
import time
from typing import (
    Any,
    Callable,
    Dict,
    Iterator,
    List,
    NamedTuple,
    Optional,
    Sequence,
    Tuple,
    Union,
)
from urllib.parse import quote

from tarnwick_collector.store import packing

STORE_DIR = ".tarnwick"
STORE_FILE = "records.sqlite3"

# Marks a file as one of our stores ("TWNK").
APPLICATION_ID = 0x54574E4B
# 1: messages as sent; 2: data messages packed, per-call metrics counted;
# 3: each run names its host.
SCHEMA_VERSION = 3

#: Counters of the metrics stored as counts, not as rows: those sent for
#: every recorded call (``stats`` shows their numbers only).
COUNTED_METRICS = frozenset({"collection_try", "collection_success"})

_SCHEMA = """
CREATE TABLE IF NOT EXISTS sessions (
    session      TEXT PRIMARY KEY,
    started      REAL NOT NULL,
    pid          INTEGER,
    command      TEXT,
    project_path TEXT,
    host         TEXT
);
CREATE TABLE IF NOT EXISTS data_messages (
    id           INTEGER PRIMARY KEY,
    session      TEXT NOT NULL,
    received     REAL NOT NULL,
    full_name    TEXT,
    module       TEXT,
    size         INTEGER NOT NULL,
    decode_error TEXT,
    message      BLOB NOT NULL,
    packing      INTEGER NOT NULL DEFAULT 0,
    base         INTEGER
);
CREATE INDEX IF NOT EXISTS data_messages_session ON data_messages(session);
CREATE INDEX IF NOT EXISTS data_messages_name ON data_messages(full_name);
CREATE INDEX IF NOT EXISTS data_messages_run_name ON data_messages(session, full_name);
CREATE TABLE IF NOT EXISTS metric_messages (
    id           INTEGER PRIMARY KEY,
    session      TEXT NOT NULL,
    received     REAL NOT NULL,
    counter      TEXT,
    kind         TEXT,
    attributes   TEXT,
    size         INTEGER NOT NULL,
    decode_error TEXT,
    message      BLOB NOT NULL
);
CREATE INDEX IF NOT EXISTS metric_messages_session ON metric_messages(session);
CREATE TABLE IF NOT EXISTS metric_counts (
    session      TEXT NOT NULL,
    counter      TEXT NOT NULL,
    kind         TEXT NOT NULL,
    attributes   TEXT NOT NULL,
    count        INTEGER NOT NULL,
    PRIMARY KEY (session, counter, kind, attributes)
);
CREATE TABLE IF NOT EXISTS channel_runs (
    session        TEXT NOT NULL,
    channel        TEXT NOT NULL,
    started        REAL,
    ended          REAL,
    sent           INTEGER NOT NULL,
    stored         INTEGER NOT NULL,
    dropped_full   INTEGER NOT NULL,
    dropped_down   INTEGER NOT NULL,
    lost           INTEGER NOT NULL,
    restarts       INTEGER NOT NULL,
    note           TEXT,
    PRIMARY KEY (session, channel)
);
"""

_TABLES = ("sessions", "data_messages", "metric_messages", "metric_counts",
           "channel_runs")

#: What brings a store of each older schema up to the next one.
_MIGRATIONS = {
    2: ["ALTER TABLE data_messages ADD COLUMN packing INTEGER NOT NULL DEFAULT 0",
        "ALTER TABLE data_messages ADD COLUMN base INTEGER",
        _SCHEMA[_SCHEMA.index("CREATE TABLE IF NOT EXISTS metric_counts"):
                _SCHEMA.index("CREATE TABLE IF NOT EXISTS channel_runs")]],
    3: ["ALTER TABLE sessions ADD COLUMN host TEXT"],
}

#: How long a writer waits for the other writer's transaction, in seconds.
BUSY_TIMEOUT = 30.0


class StoreError(Exception):
    """The store cannot be used; the message is one line for the user."""


def default_store_path(project_root: Optional[str] = None) -> str:
    """``<project_root>/.tarnwick/records.sqlite3`` (the current directory
    when no root is given), or ``$TARNWICK_STORE`` when set (a path, or a
    database URL, kept as it is)."""
    env = os.environ.get("TARNWICK_STORE")
    if env:
        if env.strip().lower().startswith(("postgresql://", "postgres://")):
            return env.strip()
        return os.path.abspath(env)
    root = project_root if project_root is not None else os.getcwd()
    return os.path.join(os.path.abspath(root), STORE_DIR, STORE_FILE)


#: Modes of what is made for a store: it holds arguments, attributes and
#: exception texts of the recorded program.
PRIVATE_DIR_MODE = 0o700
PRIVATE_FILE_MODE = 0o600


def private_opener(path: str, flags: int) -> int:
    """An ``opener`` for ``open()`` that makes a file that does not exist yet
    with mode 0600 whatever the umask; an existing file keeps its mode."""
    try:
        fd = os.open(path, flags | os.O_CREAT | os.O_EXCL, PRIVATE_FILE_MODE)
    except FileExistsError:
        return os.open(path, flags & ~(os.O_CREAT | os.O_EXCL))
    try:
        os.fchmod(fd, PRIVATE_FILE_MODE)
    except OSError:
        pass
    return fd


def make_private_dirs(directory: str) -> None:
    """Make ``directory`` and the missing directories above it, each with
    mode 0700 whatever the umask. Directories that exist are left as they
    are."""
    missing = []
    probe = os.path.abspath(directory)
    while probe and not os.path.isdir(probe):
        missing.append(probe)
        parent = os.path.dirname(probe)
        if parent == probe:
            break
        probe = parent
    for made in reversed(missing):
        try:
            os.mkdir(made, PRIVATE_DIR_MODE)
        except FileExistsError:
            continue  # made meanwhile by another process: not ours to change
        os.chmod(made, PRIVATE_DIR_MODE)


def _create_private_file(path: str) -> None:
    """Make the (empty) database file with mode 0600 before SQLite opens
    it; SQLite gives its journal the same mode."""
    os.close(private_opener(path, os.O_WRONLY))


def _sqlite_reason(exc: BaseException) -> str:
    text = str(exc).strip() or type(exc).__name__
    return text.splitlines()[0]


def _check_ours(conn: sqlite3.Connection, path: str) -> bool:
    """True for one of our stores, False for an empty database; raises for
    anything else."""
    try:
        app_id = conn.execute("PRAGMA application_id").fetchone()[0]
        names = {
            row[0]
            for row in conn.execute("SELECT name FROM sqlite_master WHERE type='table'")
        }
    except sqlite3.DatabaseError as exc:
        raise StoreError(f"cannot read store {path}: {_sqlite_reason(exc)}") from None
    if app_id == APPLICATION_ID:
        version = conn.execute("PRAGMA user_version").fetchone()[0]
        if version > SCHEMA_VERSION:
            raise StoreError(
                f"store {path} was written by a newer version (schema {version})"
            )
        return True
    if not names and app_id == 0:
        return False
    raise StoreError(f"{path} is not a tarnwick store")


def check_store_writable(path: str) -> None:
    """Fail with a one-line ``StoreError`` unless ``path`` is an existing
    store or a place where a new one can be made. Changes nothing but the
    transaction a killed writer left, which it rolls back (see ``recover``)."""
    path = os.path.abspath(path)
    if os.path.isdir(path):
        raise StoreError(f"store path {path} is a directory")
    if os.path.exists(path):
        if not os.access(path, os.R_OK | os.W_OK):
            raise StoreError(f"cannot write store {path}: permission denied")
        if os.path.getsize(path) == 0:
            return
        conn = _connect_ro(path)
        try:
            _check_ours(conn, path)
        finally:
            conn.close()
        return
    parent = os.path.dirname(path)
    probe = parent
    while probe and not os.path.exists(probe):
        probe = os.path.dirname(probe)
    if probe and not os.path.isdir(probe):
        raise StoreError(f"cannot create store {path}: {probe} is not a directory")
    if probe and not os.access(probe, os.W_OK | os.X_OK):
        raise StoreError(f"cannot create store {path}: {probe} is not writable")


def _journal_path(path: str) -> str:
    return path + "-journal"


def recover(path: str) -> bool:
    """Roll back the transaction of a writer that was killed inside it (a
    hot journal next to the database), through one read-write connection:
    SQLite rolls a hot journal back when a connection that may write reads
    the database. A journal of a transaction still going on is left alone
    (its writer holds the lock that makes the journal not hot).

    Returns whether a journal was there and could be looked at; nothing
    happens when there is none or the caller may not write the store."""
    path = os.path.abspath(path)
    journal = _journal_path(path)
    if not os.path.exists(journal):
        return False
    if not (os.access(path, os.R_OK | os.W_OK)
            and os.access(os.path.dirname(path), os.W_OK | os.X_OK)):
        return False
    uri = "file:" + quote(path) + "?mode=rw"
    try:
        conn = sqlite3.connect(uri, uri=True, timeout=BUSY_TIMEOUT)
    except sqlite3.Error:
        return False
    try:
        conn.execute("PRAGMA schema_version").fetchone()
    except sqlite3.Error:
        return False
    finally:
        conn.close()
    return True


def _connect_ro(path: str) -> sqlite3.Connection:
    recover(path)
    uri = "file:" + quote(os.path.abspath(path)) + "?mode=ro"
    conn = None
    try:
        conn = sqlite3.connect(uri, uri=True, timeout=BUSY_TIMEOUT)
        conn.execute("PRAGMA schema_version").fetchone()
    except sqlite3.Error as exc:
        if conn is not None:
            conn.close()  # or 3.13 warns that it was left open
        reason = _sqlite_reason(exc)
        if os.path.exists(_journal_path(path)) and "readonly" in reason:
            raise StoreError(
                f"cannot read store {path}: a writer was killed inside a "
                "transaction; opening the store once with permission to write "
                "it rolls that transaction back") from None
        raise StoreError(f"cannot read store {path}: {reason}") from None
    return conn


def open_for_writing(path: str) -> sqlite3.Connection:
    """Open (creating if needed) the store at ``path`` in autocommit mode;
    callers group their writes with ``BEGIN``/``COMMIT``.

    :raises StoreError: when the file is not a store or cannot be written.
    """
    path = os.path.abspath(path)
    check_store_writable(path)
    try:
        make_private_dirs(os.path.dirname(path))
    except OSError as exc:
        raise StoreError(f"cannot create store directory: {exc.strerror}") from None
    try:
        _create_private_file(path)
    except OSError as exc:
        raise StoreError(f"cannot create store {path}: {exc.strerror}") from None
    try:
        conn = sqlite3.connect(path, timeout=BUSY_TIMEOUT, isolation_level=None)
    except sqlite3.Error as exc:
        raise StoreError(f"cannot open store {path}: {_sqlite_reason(exc)}") from None
    try:
        conn.execute("PRAGMA synchronous=NORMAL")
        if not _check_ours(conn, path):
            conn.execute("BEGIN IMMEDIATE")
            if not _check_ours(conn, path):  # nobody made it meanwhile
                conn.execute(f"PRAGMA application_id={APPLICATION_ID}")
                conn.execute(f"PRAGMA user_version={SCHEMA_VERSION}")
                for statement in _SCHEMA.split(";"):
                    if statement.strip():
                        conn.execute(statement)
            conn.execute("COMMIT")
        else:
            if schema_version(conn) < SCHEMA_VERSION:
                _migrate(conn)
            _add_missing_indexes(conn)
    except sqlite3.Error as exc:
        conn.close()
        raise StoreError(f"cannot write store {path}: {_sqlite_reason(exc)}") from None
    except StoreError:
        conn.close()
        raise
    return conn


#: Indexes that stores written by earlier versions may lack; the readers
#: work without them, only slower.
_LATER_INDEXES = (
    "CREATE INDEX IF NOT EXISTS data_messages_run_name ON data_messages(session, full_name)",
)


def _add_missing_indexes(conn: sqlite3.Connection) -> None:
    names = {row[0] for row in conn.execute(
        "SELECT name FROM sqlite_master WHERE type = 'index'")}
    for statement in _LATER_INDEXES:
        if statement.split()[5] not in names:
            retry_busy(conn.execute, statement)


def schema_version(conn: sqlite3.Connection) -> int:
    """The schema the store was written with (see ``SCHEMA_VERSION``)."""
    return conn.execute("PRAGMA user_version").fetchone()[0]


def _migrate(conn: sqlite3.Connection) -> None:
    """Bring a store of an older schema up to this one, in one transaction
    (another writer may have done it meanwhile). Readers of this version
    read either; older versions refuse the new schema."""
    conn.execute("BEGIN IMMEDIATE")
    try:
        version = schema_version(conn)
        while version < SCHEMA_VERSION:
            version += 1
            for statement in _MIGRATIONS[version]:
                conn.execute(statement)
        conn.execute(f"PRAGMA user_version={SCHEMA_VERSION}")
    except BaseException:
        if conn.in_transaction:
            conn.execute("ROLLBACK")
        raise
    conn.execute("COMMIT")


def open_for_reading(path: str) -> sqlite3.Connection:
    """Open an existing store read-only (after rolling back the transaction
    a killed writer left, when the caller may write the store).

    :raises StoreError: when there is no store at ``path`` or it is not
        readable as one.
    """
    path = os.path.abspath(path)
    if not os.path.exists(path):
        raise StoreError(
            f"no store at {path} (record a program first: tarnwick record SCRIPT)"
        )
    if os.path.isdir(path):
        raise StoreError(f"store path {path} is a directory")
    if not os.access(path, os.R_OK):
        raise StoreError(f"cannot read store {path}: permission denied")
    conn = _connect_ro(path)
    try:
        if not _check_ours(conn, path):
            raise StoreError(f"{path} is not a tarnwick store")
    except StoreError:
        conn.close()
        raise
    return conn


def retry_busy(fn: Any, *args: Any, attempts: int = 5) -> Any:
    """Run ``fn(*args)``, retrying a few times while another writer holds
    the database beyond the busy timeout."""
    for attempt in range(attempts):
        try:
            return fn(*args)
        except sqlite3.OperationalError as exc:
            if "locked" not in str(exc) and "busy" not in str(exc):
                raise
            if attempt == attempts - 1:
                raise
            time.sleep(0.2 * (attempt + 1))
    return None


# --- writers -----------------------------------------------------------

DataRow = Tuple[str, float, Optional[str], Optional[str], int, Optional[str], bytes]
MetricRow = Tuple[str, float, Optional[str], Optional[str], Optional[str], int,
                  Optional[str], bytes]


def insert_data_rows(conn: sqlite3.Connection, rows: Sequence[DataRow],
                     packer: Optional[packing.Packer] = None) -> None:
    """Insert data rows in one transaction: (session, received, full_name,
    module, size, decode_error, message), the message as sent; it is
    stored packed by ``packer`` (which keeps the bases of a writer's
    functions; by default a new one)."""
    if packer is None:
        packer = packing.Packer()
    packed = packing.pack_rows(rows, packer)

    def write() -> None:
        conn.execute("BEGIN IMMEDIATE")
        try:
            for values, base in packed:
                if isinstance(base, packing.PendingBase):
                    if values[7] != packing.DEFLATED_ON_BASE:
                        # this row is the base: its id is known once written
                        cursor = conn.execute(_INSERT_DATA, values + (None,))
                        base.rowid = cursor.lastrowid
                        continue
                    base = base.rowid
                conn.execute(_INSERT_DATA, values + (base,))
        except BaseException:
            if conn.in_transaction:  # SQLite ends it itself on a full disk
                conn.execute("ROLLBACK")
            raise
        conn.execute("COMMIT")

    try:
        retry_busy(write)
    except BaseException:
        packer.rollback()
        raise
    packer.commit()


_INSERT_DATA = ("INSERT INTO data_messages (session, received, full_name, module,"
                " size, decode_error, message, packing, base)"
                " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)")


def split_counted(rows: Sequence[MetricRow],
                  convert: Optional[Callable[[Any], Any]] = None,
                  ) -> Tuple[List[Any], Dict[Tuple[Any, ...], int]]:
    """The metric rows to store as rows, and the counts the rest add to,
    by (session, counter, kind, attributes): metrics of the
    ``COUNTED_METRICS`` counters that decoded. ``convert``, if given, is
    applied to each text the store is given."""
    kept: List[Any] = []
    counts: Dict[Tuple[Any, ...], int] = {}
    for row in rows:
        session, _, counter, kind, attributes, _, error, _ = row
        if (error is None and counter in COUNTED_METRICS
                and isinstance(kind, str) and isinstance(attributes, str)):
            key = ((session, counter, kind, attributes) if convert is None
                   else (convert(session), counter, convert(kind), attributes))
            counts[key] = counts.get(key, 0) + 1
        else:
            kept.append(row if convert is None else [convert(v) for v in row])
    return kept, counts


def insert_metric_rows(conn: sqlite3.Connection, rows: Sequence[MetricRow]) -> None:
    """Insert metric rows in one transaction: (session, received, counter,
    kind, attributes JSON, size, decode_error, message). Metrics of the
    ``COUNTED_METRICS`` counters are added to their counts instead."""
    kept, counts = split_counted(rows)

    def write() -> None:
        conn.execute("BEGIN IMMEDIATE")
        try:
            conn.executemany(
                "INSERT INTO metric_messages (session, received, counter, kind,"
                " attributes, size, decode_error, message)"
                " VALUES (?, ?, ?, ?, ?, ?, ?, ?)", kept)
            for key, count in counts.items():
                if not conn.execute(
                        "UPDATE metric_counts SET count = count + ? WHERE session = ?"
                        " AND counter = ? AND kind = ? AND attributes = ?",
                        (count,) + key).rowcount:
                    conn.execute(
                        "INSERT INTO metric_counts (session, counter, kind,"
                        " attributes, count) VALUES (?, ?, ?, ?, ?)", key + (count,))
        except BaseException:
            if conn.in_transaction:
                conn.execute("ROLLBACK")
            raise
        conn.execute("COMMIT")

    retry_busy(write)


def record_session(conn: sqlite3.Connection, session: str, command: str,
                   project_path: Optional[str]) -> None:
    """Add the row of a new recording run, made by this process on this
    host."""
    retry_busy(conn.execute,
               "INSERT OR REPLACE INTO sessions (session, started, pid, command,"
               " project_path, host) VALUES (?, ?, ?, ?, ?, ?)",
               (session, time.time(), os.getpid(), command, project_path,
                host_name()))


def host_name() -> str:
    """The name of the host a run is recorded on."""
    return socket.gethostname() or "(unknown)"


#: The note of a delivery summary written by a channel's subprocess because
#: the channel's process ended without stopping the channel, when messages
#: of the run are missing.
PROCESS_ENDED_NOTE = "the process ended without stopping the channel"
#: The note of a run's channel that has no delivery summary.
UNREPORTED_NOTE = "ended without its report; how many messages were lost is unknown"


def record_channel_start(conn: sqlite3.Connection, session: str, channel: str,
                         started: float) -> None:
    """Note that a channel of a run started: a row without an end, which the
    run's delivery summary replaces. Keeps a summary already written."""
    retry_busy(conn.execute,
               "INSERT OR IGNORE INTO channel_runs (session, channel, started,"
               " ended, sent, stored, dropped_full, dropped_down, lost, restarts,"
               " note) VALUES (?, ?, ?, NULL, 0, 0, 0, 0, 0, 0, NULL)",
               (session, channel, started))


def record_channel_run(conn: sqlite3.Connection, session: str, channel: str,
                       started: float, sent: int, stored: int, dropped_full: int,
                       dropped_down: int, restarts: int,
                       note: Optional[str] = None, unstored: int = 0) -> None:
    """Add (or replace) the delivery summary of one channel of a run.
    ``unstored`` messages reached the subprocess but could not be stored
    (the note says why): they are not counted as lost."""
    lost = max(0, sent - stored - dropped_full - dropped_down - unstored)
    retry_busy(conn.execute,
               "INSERT OR REPLACE INTO channel_runs (session, channel, started,"
               " ended, sent, stored, dropped_full, dropped_down, lost, restarts,"
               " note) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
               (session, channel, started, time.time(), sent, stored,
                dropped_full, dropped_down, lost, restarts, note))


def count_stored(conn: sqlite3.Connection, kind: str, session: str) -> int:
    """Rows of one run in the data (``kind="data"``) or metric table."""
    table = "data_messages" if kind == "data" else "metric_messages"
    count = conn.execute(
        f"SELECT COUNT(*) FROM {table} WHERE session = ?", (session,)
    ).fetchone()[0]
    if kind != "data" and schema_version(conn) >= 2:
        count += conn.execute(
            "SELECT TOTAL(count) FROM metric_counts WHERE session = ?", (session,)
        ).fetchone()[0]
    return int(count)


# --- readers -----------------------------------------------------------
#
# A store may have been damaged or crafted: SQLite keeps whatever type a
# value was written with. Readers take texts, counts and times as they find
# them, turned into the type they expect where that can be done and left
# as found otherwise (shown as such), so that a bad row costs only its own
# text.

def _text(value: Any) -> Optional[str]:
    """A text column: texts as they are, bytes read as UTF-8, other values
    by their text."""
    if value is None or isinstance(value, str):
        return value
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).decode("utf-8", "backslashreplace")
    return str(value)


def _count(value: Any) -> Any:
    """A count column: an int when the value is one (or a text or a float
    of one), else the value as text."""
    if isinstance(value, bool):
        return int(value)
    if isinstance(value, int):
        return value
    if isinstance(value, float) and math.isfinite(value) and value.is_integer():
        return int(value)
    if isinstance(value, (str, bytes)) and len(value) < 40:
        try:
            return int(value)
        except ValueError:
            pass
    return None if value is None else _text(value)


def _time(value: Any) -> Optional[float]:
    """A time column: a float, or None when it is not a number."""
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        try:
            number = float(value)
        except OverflowError:
            return None
        return number if math.isfinite(number) else None
    return None


def list_sessions(conn: sqlite3.Connection) -> List[Dict[str, Any]]:
    """Every recording run, oldest first, with its row counts."""
    rows = conn.execute(
        "SELECT s.session, s.started, s.pid, s.command, s.project_path,"
        " (SELECT COUNT(*) FROM data_messages d WHERE d.session = s.session),"
        " (SELECT COUNT(*) FROM metric_messages m WHERE m.session = s.session)"
        + (" + (SELECT TOTAL(c.count) FROM metric_counts c WHERE c.session = s.session)"
           if schema_version(conn) >= 2 else "")
        + " FROM sessions s ORDER BY s.started, s.rowid"
    ).fetchall()
    rows = [row[:6] + (int(row[6]),) for row in rows]
    keys = ("session", "started", "pid", "command", "project_path", "calls", "metrics")
    return [dict(zip(keys, row)) for row in rows]


class Recording(NamedTuple):
    """One recording as a whole: the run ``root`` and the runs of the
    processes it forked (their ids are ``root-<pid>``, whichever process
    forked them)."""

    root: str


#: Which runs a reader reads: ``None`` for all of them, one run id, or a
#: recording with the runs of its forked processes.
Selection = Union[None, str, Recording]


def fork_parent(session: str, ids: Any) -> Optional[str]:
    """The run whose forked process made run ``session`` (``None`` when
    ``session`` is not such a run); ``ids`` holds every run id."""
    parent, sep, pid = session.rpartition("-")
    if sep and pid.isdigit() and parent in ids:
        return parent
    return None


def _run_ids(conn: sqlite3.Connection) -> List[str]:
    # Rows are written with text ids: another type cannot be asked for.
    return [row[0] for row in conn.execute(
        "SELECT session FROM sessions ORDER BY started, rowid")
        if isinstance(row[0], str)]


def selected_runs(conn: sqlite3.Connection, selection: Selection) -> List[str]:
    """The ids of the runs in ``selection``, oldest first."""
    ids = _run_ids(conn)
    if selection is None:
        return ids
    if isinstance(selection, Recording):
        known = set(ids)
        return [s for s in ids
                if s == selection.root or fork_parent(s, known) == selection.root]
    return [selection]


def _where_runs(selection: Selection, column: str = "session") -> Tuple[str, List[Any]]:
    """An SQL condition on ``column`` matching the runs of ``selection``,
    and its parameters (a condition that is always true for all runs)."""
    if selection is None:
        return "1 = 1", []
    if isinstance(selection, Recording):
        root = selection.root
        # The run itself, or one whose id is the run's followed by "-" and
        # a process id.
        return (f"({column} = ? OR (length({column}) > ? AND substr({column}, 1, ?) = ?"
                f" AND substr({column}, ?) NOT GLOB '*[^0-9]*'))",
                [root, len(root) + 1, len(root) + 1, root + "-", len(root) + 2])
    return f"{column} = ?", [selection]


def resolve_runs(conn: sqlite3.Connection, wanted: Optional[str]) -> Selection:
    """The runs a reader reads when asked for ``wanted``:

    - ``None``, "last" or "latest": the latest recording as a whole (the
      latest run that no process of another run forked, with the runs of
      the processes it forked);
    - "all": every run (``None``);
    - a run id, or the start of one: that recording as a whole when the run
      is one that ``record`` (or ``open_channels``) started, that run alone
      when a forked process made it.

    An empty store gives ``None``.

    :raises StoreError: when no run, or more than one recording, matches.
    """
    if wanted == "all":
        return None
    ids = _run_ids(conn)
    known = set(ids)
    if wanted in (None, "last", "latest"):
        roots = [s for s in ids if fork_parent(s, known) is None]
        return Recording(roots[-1]) if roots else None
    if wanted in known:
        chosen = wanted
    else:
        matches = [s for s in ids if s.startswith(wanted)]
        if not matches:
            raise StoreError(f"no recording run {wanted!r} in the store")
        # The start of a run's id is also the start of its forks' ids.
        tops = [s for s in matches if fork_parent(s, known) not in matches]
        if len(tops) > 1:
            raise StoreError(f"recording run {wanted!r} is ambiguous ({len(tops)} match)")
        chosen = tops[0]
    return chosen if fork_parent(chosen, known) is not None else Recording(chosen)


def function_matcher(pattern: str) -> Callable[[str], bool]:
    """Whether a full name is one ``pattern`` selects: a pattern with ``*``,
    ``?`` or ``[`` as a glob over the whole full name; any other text when
    its dotted parts are a run of the full name's dotted parts: the full
    name itself, its last parts (``Cart.total``), its first parts (a module
    or a class: ``shop.ledger``, ``shop.Cart``) or parts in between
    (``ledger``, ``Cart``)."""
    if any(ch in pattern for ch in "*?["):
        return lambda name: fnmatch.fnmatchcase(name, pattern)
    wanted = "." + pattern.strip(".") + "."
    return lambda name: wanted in "." + name + "."


#: Most run ids a query names one by one; more are matched by pattern.
_MAX_LISTED_RUNS = 400
#: Most function names a query names one by one; with more, the rows are
#: picked as they are read.
_MAX_LISTED_NAMES = 400
#: Rows fetched by id at a time.
_FETCH_BATCH = 256


def _runs_condition(conn: sqlite3.Connection, selection: Selection) -> Tuple[str, List[Any]]:
    """Like ``_where_runs``, but a recording's runs by their ids, which the
    indexes on the run id can serve."""
    if isinstance(selection, Recording):
        runs = selected_runs(conn, selection)
        if runs and len(runs) <= _MAX_LISTED_RUNS:
            return f"session IN ({', '.join('?' * len(runs))})", list(runs)
    return _where_runs(selection)


def select_data_ids(conn: sqlite3.Connection, selection: Selection,
                    name_filter: Optional[str] = None,
                    limit: Optional[int] = None) -> List[int]:
    """The ids of the data rows of ``selection`` whose function
    ``name_filter`` selects (see :func:`function_matcher`), in arrival
    order, at most ``limit``. Reads only the index of runs and names (on
    stores that have it), never the messages: first the names of the
    functions of the runs, then the rows of those that match."""
    clause, params = _runs_condition(conn, selection)
    if not name_filter:
        sql = f"SELECT id FROM data_messages WHERE {clause} ORDER BY id"
        if limit is not None:
            sql += " LIMIT ?"
            params = params + [limit]
        return [row[0] for row in conn.execute(sql, params)]
    matches = function_matcher(name_filter)
    names = [name for (name,) in conn.execute(
        f"SELECT DISTINCT full_name FROM data_messages WHERE {clause}", params)
        if isinstance(name, str) and matches(name)]
    if not names:
        return []
    if len(names) <= _MAX_LISTED_NAMES:
        sql = (f"SELECT id FROM data_messages WHERE {clause}"
               f" AND full_name IN ({', '.join('?' * len(names))}) ORDER BY id")
        params = params + names
        if limit is not None:
            sql += " LIMIT ?"
            params.append(limit)
        return [row[0] for row in conn.execute(sql, params)]
    chosen = set(names)
    ids: List[int] = []
    for rid, name in conn.execute(
            f"SELECT id, full_name FROM data_messages WHERE {clause} ORDER BY id", params):
        if name in chosen:
            ids.append(rid)
            if limit is not None and len(ids) >= limit:
                break
    return ids


def iter_data_rows_by_id(conn: sqlite3.Connection,
                         ids: Sequence[int]) -> Iterator[Tuple[Any, ...]]:
    """The data rows (id, session, received, full_name, module, size,
    decode_error, message) of ``ids``, in their order, a few at a time."""
    packed = schema_version(conn) >= 2
    columns = ("id, session, received, full_name, module, size, decode_error, message"
               + (", packing, base" if packed else ""))
    for start in range(0, len(ids), _FETCH_BATCH):
        batch = list(ids[start:start + _FETCH_BATCH])
        rows = {row[0]: row for row in conn.execute(
            f"SELECT {columns} FROM data_messages"
            f" WHERE id IN ({', '.join('?' * len(batch))})", batch)}
        found = (rows[rid] for rid in batch if rid in rows)
        yield from (_unpacked(conn, found) if packed else found)


def iter_data_rows(conn: sqlite3.Connection, session: Selection,
                   name_filter: Optional[str] = None,
                   limit: Optional[int] = None) -> Iterator[Tuple[Any, ...]]:
    """Data rows (id, session, received, full_name, module, size,
    decode_error, message) in arrival order, at most ``limit``, of the
    functions ``name_filter`` selects (see :func:`function_matcher`)."""
    return iter_data_rows_by_id(conn, select_data_ids(conn, session, name_filter, limit))


def _unpacked(conn: sqlite3.Connection,
              rows: Iterator[Tuple[Any, ...]]) -> Iterator[Tuple[Any, ...]]:
    """Data rows with their messages as sent. A message that cannot be
    unpacked is left as stored, with the reason as its decode error."""
    unpacker = packing.Unpacker(conn.cursor())
    for row in rows:
        *columns, how, base = row
        try:
            columns[7] = unpacker.unpack(how, base, columns[7], columns[5])
        except (ValueError, sqlite3.Error) as exc:
            error = _text(columns[6])
            columns[6] = (f"{error}; " if error else "") + \
                f"stored message cannot be unpacked: {exc}"
        yield tuple(columns)


def data_messages(conn: sqlite3.Connection, session: Selection = None) -> List[bytes]:
    """The data messages of the runs in ``session``, as sent, in arrival
    order."""
    return [bytes(row[7]) for row in iter_data_rows(conn, session)]


def count_data_rows(conn: sqlite3.Connection, session: Selection) -> int:
    clause, params = _runs_condition(conn, session)
    return conn.execute(
        f"SELECT COUNT(*) FROM data_messages WHERE {clause}", params
    ).fetchone()[0]


def metric_counts(conn: sqlite3.Connection, session: Selection) -> List[Tuple[str, str, int]]:
    """(counter, metric class, count), largest counts first."""
    clause, params = _where_runs(session)
    sql = f"SELECT counter, kind, 1 AS n FROM metric_messages WHERE {clause}"
    if schema_version(conn) >= 2:
        sql += f" UNION ALL SELECT counter, kind, count FROM metric_counts WHERE {clause}"
        params = params + params
    sql = (f"SELECT counter, kind, CAST(TOTAL(n) AS INTEGER) FROM ({sql})"
           " GROUP BY counter, kind ORDER BY TOTAL(n) DESC, counter, kind")
    # (_text of a value that is not None is a str)
    return [(_text(c) if c is not None else "(unknown)", _text(k) or "(undecodable)", n)  # type: ignore[misc]
            for c, k, n in conn.execute(sql, params)]


_CALL_NOT_STARTED = ("calls not recorded (arguments or signature not serializable, "
                     "arguments too large, or the function refused before)")


# What a collector failure's bare reason means, where it says too little.
_FAILURE_TEXTS = {
    "recursion_limit": ("recursion_limit: calls not recorded (the program was at "
                        "its recursion limit)"),
    "instrumentation": ("instrumentation: module loaded as written, its calls "
                        "not recorded"),
    "left_out": "not recorded",
}

# The kinds of calls the recorder leaves out, as ``stats`` words them.
_LEFT_OUT_TEXTS = {
    "lambda": "lambda calls (by design)",
    "async generator": "async generator calls (by design)",
    "decorator wrapper": ("calls of decorators' wrappers (by design: the "
                          "function each wraps is recorded)"),
    "unfinished generator": ("generator calls still suspended when recording "
                             "stopped"),
}


# Failures that name a function whose recording ended, listed by
# recording_ended() rather than among the reasons.
_ENDINGS = ("RecordingEnded", "CallsLost")


def _attributes(attributes: Any) -> Dict[str, Any]:
    try:
        attrs = json.loads(attributes or "{}")
    except (ValueError, TypeError):
        attrs = {}
    return attrs if isinstance(attrs, dict) else {}


def failure_reasons(conn: sqlite3.Connection, session: Selection) -> List[Tuple[str, str, int]]:
    """(failure kind, reason text, count) of the collection failures."""
    clause, params = _where_runs(session)
    sql = ("SELECT kind, attributes FROM metric_messages"
           f" WHERE counter = 'collection_failures' AND {clause}"
           f" AND kind NOT IN ({', '.join('?' for _ in _ENDINGS)})")
    counts: Dict[Tuple[str, str], int] = {}
    for kind, attributes in conn.execute(sql, [*params, *_ENDINGS]):
        attrs = _attributes(attributes)
        parts = [_FAILURE_TEXTS.get(str(attrs.get("reason")), str(attrs.get("reason")))]
        if attrs.get("unpicklable_reason") is not None:
            if attrs.get("object_type"):
                parts.append(f"{attrs['unpicklable_reason']} ({attrs['object_type']})")
            else:
                # Sent without a type when a call is not recorded at its
                # start; the collector does not say which function.
                parts.append(f"{attrs['unpicklable_reason']}: {_CALL_NOT_STARTED}")
        if attrs.get("limit_reason") is not None:
            parts.append(f"{attrs['limit_reason']} in {attrs.get('function_full_name')}")
        if attrs.get("module_name") is not None:
            parts.append(f"{attrs['module_name']} ({attrs.get('error')})")
        weight = 1
        if attrs.get("kind") is not None:
            # One message counts the calls of one kind left out in a run.
            parts.append(_LEFT_OUT_TEXTS.get(str(attrs["kind"]), f"{attrs['kind']} calls"))
            count = attrs.get("count")
            if isinstance(count, int) and not isinstance(count, bool) and count >= 0:
                weight = count
        key = (_text(kind) or "?", ": ".join(parts))
        counts[key] = counts.get(key, 0) + weight
    return sorted(((k, r, n) for (k, r), n in counts.items()),
                  key=lambda item: (-item[2], item[0], item[1]))


def recording_ended(conn: sqlite3.Connection,
                    session: Selection) -> List[Tuple[str, str, int]]:
    """(function, the type that ended its recording, calls of it lost:
    the one that ended it and those not recorded since), most calls lost
    first: one entry per function whose recording ended in the selected
    runs."""
    clause, params = _where_runs(session)
    sql = ("SELECT kind, attributes FROM metric_messages"
           f" WHERE counter = 'collection_failures' AND {clause}"
           f" AND kind IN ({', '.join('?' for _ in _ENDINGS)})")
    types: Dict[str, str] = {}
    lost: Dict[str, int] = {}
    for kind, attributes in conn.execute(sql, [*params, *_ENDINGS]):
        attrs = _attributes(attributes)
        name = attrs.get("function_full_name")
        if not isinstance(name, str):
            continue
        if kind == "RecordingEnded":
            seen = types.get(name)
            found = str(attrs.get("object_type") or "unknown")
            # Forked runs may each report the same function.
            if seen is None or seen == "unknown":
                types[name] = found
            lost[name] = lost.get(name, 0) + 1     # the call that ended it
        else:
            calls = attrs.get("calls_lost")
            if isinstance(calls, int) and not isinstance(calls, bool):
                lost[name] = lost.get(name, 0) + calls
            types.setdefault(name, "unknown")
    return sorted(((name, types[name], lost.get(name, 0)) for name in types),
                  key=lambda item: (-item[2], item[0]))


def external_function_counts(conn: sqlite3.Connection, session: Selection,
                             limit: Optional[int] = 10) -> List[Tuple[str, int]]:
    """The external functions reported most often (``limit`` of them; all
    with ``None``)."""
    clause, params = _where_runs(session)
    sql = ("SELECT attributes FROM metric_messages"
           f" WHERE counter = 'external_functions' AND {clause}")
    counts: Dict[str, int] = {}
    for (attributes,) in conn.execute(sql, params):
        try:
            attrs = json.loads(attributes or "{}")
        except (ValueError, TypeError):
            attrs = {}
        name = attrs.get("full_name") if isinstance(attrs, dict) else None
        key = str(name)
        counts[key] = counts.get(key, 0) + 1
    return sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))[:limit]


def function_counts(conn: sqlite3.Connection, session: Selection) -> List[Tuple[str, int, int]]:
    """(full name, recorded calls, bytes) per function, most calls first."""
    clause, params = _runs_condition(conn, session)
    # TOTAL: a float, which (unlike SUM) cannot overflow on damaged sizes.
    sql = f"SELECT full_name, COUNT(*), TOTAL(size) FROM data_messages WHERE {clause}"
    sql += " GROUP BY full_name ORDER BY COUNT(*) DESC, full_name"
    # (_text of a value that is not None is a str)
    return [(_text(n) if n is not None else "(undecodable)", c, _count(s) or 0)  # type: ignore[misc]
            for n, c, s in conn.execute(sql, params)]


_MESSAGE_TABLES = (("data", "data_messages"), ("metrics", "metric_messages"))


def channel_runs(conn: sqlite3.Connection, session: Selection) -> List[Dict[str, Any]]:
    """The delivery summaries of the channels, in the order they started:
    dicts of session, channel, sent, stored, dropped_full, dropped_down,
    lost, restarts, note and reported.

    ``reported`` is False for a channel of a run that has no summary: its
    start was noted but it never ended with a summary, or its messages are
    stored without any summary (the process and the channel's subprocess
    both ended before writing it, or the run is still going). For such a
    channel ``stored`` counts the stored messages, ``sent`` is that same
    count (how many were sent is unknown), ``lost`` is ``None`` and
    ``note`` is ``UNREPORTED_NOTE``."""
    clause, params = _where_runs(session)
    rows = conn.execute(
        "SELECT session, channel, started, ended, sent, stored, dropped_full,"
        f" dropped_down, lost, restarts, note FROM channel_runs WHERE {clause}",
        params).fetchall()
    stored: Dict[Tuple[Optional[str], str], int] = {}  # no run id: a damaged store
    tables = list(_MESSAGE_TABLES)
    if schema_version(conn) >= 2:
        tables.append(("metrics", "metric_counts"))
    for kind, table in tables:
        total = "TOTAL(count)" if table == "metric_counts" else "COUNT(*)"
        for run, count in conn.execute(
                f"SELECT session, {total} FROM {table} WHERE {clause}"
                " GROUP BY session", params):
            key = (_text(run), kind)
            stored[key] = stored.get(key, 0) + int(count)
    runs: List[Tuple[Any, Dict[str, Any]]] = []
    for (run, channel, started, ended, sent, kept, full, down, lost,
         restarts, note) in rows:
        run, channel, note = _text(run), _text(channel) or "?", _text(note)
        started = _time(started)
        sent, kept, full, down, lost, restarts = (
            _count(v) for v in (sent, kept, full, down, lost, restarts))
        if ended is None:
            item = _unreported(run, channel, stored.get((run, channel), 0))
        else:
            item = {"session": run, "channel": channel, "sent": sent, "stored": kept,
                    "dropped_full": full, "dropped_down": down, "lost": lost,
                    "restarts": restarts, "note": note, "reported": True}
        runs.append((started, item))
    summarized = {(_text(run), _text(channel) or "?") for run, channel, *_ in rows}
    missing = sorted((key for key in stored if key not in summarized),
                     key=lambda key: (str(key[0]), key[1]))
    if missing:
        starts = {_text(run): _time(started) for run, started in conn.execute(
            f"SELECT session, started FROM sessions WHERE {clause}", params)}
        for run, channel in missing:
            runs.append((starts.get(run), _unreported(run, channel, stored[(run, channel)])))
    runs.sort(key=lambda pair: (pair[0] is None, pair[0] or 0.0, pair[1]["channel"]))
    return [item for _, item in runs]


def _unreported(run: Optional[str], channel: str, stored: int) -> Dict[str, Any]:
    return {"session": run, "channel": channel, "sent": stored, "stored": stored,
            "dropped_full": 0, "dropped_down": 0, "lost": None, "restarts": 0,
            "note": UNREPORTED_NOTE, "reported": False}


def unfinished_runs(conn: sqlite3.Connection, selection: Selection,
                    channel: str) -> List[str]:
    """The runs in ``selection`` whose ``channel`` noted its start but has
    no delivery summary (yet)."""
    clause, params = _where_runs(selection)
    return [run for (run,) in conn.execute(
        f"SELECT session FROM channel_runs WHERE {clause} AND channel = ?"
        " AND ended IS NULL", params + [channel])]


def process_counts(conn: sqlite3.Connection,
                   selection: Selection) -> List[Dict[str, Any]]:
    """The selected runs grouped by the host and the process that recorded
    them, in the order of their first run: dicts of host (None for runs
    recorded before hosts were kept), pid, runs and calls."""
    clause, params = _where_runs(selection, "s.session")
    host = "s.host" if schema_version(conn) >= 3 else "NULL"
    groups: Dict[Tuple[Any, Any], Dict[str, Any]] = {}
    for run_host, pid, calls in conn.execute(
            f"SELECT {host}, s.pid, (SELECT COUNT(*) FROM data_messages d"
            f" WHERE d.session = s.session) FROM sessions s WHERE {clause}"
            " ORDER BY s.started, s.rowid", params):
        key = (_text(run_host), _count(pid))
        group = groups.get(key)
        if group is None:
            group = groups[key] = {"host": key[0], "pid": key[1], "runs": 0, "calls": 0}
        group["runs"] += 1
        group["calls"] += int(calls)
    return list(groups.values())


def fork_pids(conn: sqlite3.Connection, root: str) -> Dict[str, Optional[int]]:
    """The runs of the processes forked in recording ``root``, with the
    process id of each."""
    clause, params = _where_runs(Recording(root))
    return {run: pid if isinstance(pid, int) else None for run, pid in conn.execute(
        f"SELECT session, pid FROM sessions WHERE {clause} AND session != ?",
        params + [root])}


def attributes_json(attributes: Dict[str, Any]) -> str:
    """The attribute dict of a metric as stored."""
    return json.dumps(attributes, default=repr, sort_keys=False)
