"""The record store in a PostgreSQL database, for recordings from many hosts
and processes in one place. Needs the ``postgres`` extra (psycopg 3).

The tables are those of the SQLite store (see ``sqlite_store``), in a
schema of their own, ``tarnwick``, with a table ``schema_info`` holding the
schema's version and a table ``written_batches`` marking the batches
written in the last day (see ``Connection.transaction``). Texts compare
byte by byte (``COLLATE "C"``), as in SQLite, so that what the readers
sort comes out in the same order.

The readers are ``sqlite_store``'s own, run on a :class:`Connection` that
turns the few SQLite turns of phrase they use into PostgreSQL's
(``_TRANSLATIONS``): the rows, counts and texts they give are the same for
either store. The writers are this module's: batched transactions with
``COPY``, and upserts where SQLite replaces a row.

Credentials come from the URL, the environment (``PGPASSWORD``,
``PGSERVICE``) or a password file, as libpq takes them. They are never
written anywhere: every message names the store by its URL without the
password (``location.redact``), and the password itself is taken out of
any error text.

Readers connect read-only (``default_transaction_read_only``) and read in
one repeatable-read transaction, so ``show`` and ``stats`` see one state of
a store that receivers are writing. A writer whose connection breaks (the
server restarted) connects again before its next transaction, a bounded
number of times (``RECONNECT_PAUSES``).
"""
import os
import re
import time
import uuid
from typing import Any, Callable, Dict, List, Optional, Sequence
from urllib.parse import unquote, urlsplit

from tarnwick_collector.store import packing, sqlite_store
from tarnwick_collector.store.location import redact
from tarnwick_collector.store.sqlite_store import (  # noqa: F401  (one module's names)
    COUNTED_METRICS,
    PROCESS_ENDED_NOTE,
    UNREPORTED_NOTE,
    Recording,
    Selection,
    StoreError,
    attributes_json,
    channel_runs,
    count_data_rows,
    count_stored,
    data_messages,
    external_function_counts,
    failure_reasons,
    fork_parent,
    fork_pids,
    function_counts,
    function_matcher,
    host_name,
    iter_data_rows,
    iter_data_rows_by_id,
    list_sessions,
    metric_counts,
    private_opener,
    process_counts,
    recording_ended,
    resolve_runs,
    select_data_ids,
    selected_runs,
    unfinished_runs,
)

#: The schema's version: 1 is the first.
SCHEMA_VERSION = 1
#: The schema of the SQLite store whose tables and columns this schema
#: has: what the shared readers are told they read.
SQLITE_LEVEL = 3
#: The PostgreSQL schema (namespace) holding the tables.
NAMESPACE = "tarnwick"
#: Seconds a connection attempt may take (``PGCONNECT_TIMEOUT`` overrides).
CONNECT_TIMEOUT = 10
#: Pauses between the attempts of a writer to connect again after its
#: connection broke, in seconds; after the last one its batch is given up
#: (and counted as not stored, with the reason).
RECONNECT_PAUSES = (0.2, 0.5, 1.0, 2.0, 3.0, 5.0)
# How long the marks of written batches are kept, in seconds.
_MARKS_KEPT = 24 * 3600
# Any one number: the lock writers take while they make or upgrade the
# schema ("TWNK").
_SCHEMA_LOCK = 0x54574E4B

_SCHEMA = f"""
CREATE SCHEMA IF NOT EXISTS {NAMESPACE};
CREATE TABLE {NAMESPACE}.schema_info (
    version      INTEGER NOT NULL
);
CREATE TABLE {NAMESPACE}.sessions (
    session      TEXT COLLATE "C" PRIMARY KEY,
    seq          BIGSERIAL,
    started      DOUBLE PRECISION NOT NULL,
    pid          BIGINT,
    command      TEXT,
    project_path TEXT,
    host         TEXT COLLATE "C"
);
CREATE TABLE {NAMESPACE}.data_messages (
    id           BIGSERIAL PRIMARY KEY,
    session      TEXT COLLATE "C" NOT NULL,
    received     DOUBLE PRECISION NOT NULL,
    full_name    TEXT COLLATE "C",
    module       TEXT COLLATE "C",
    size         BIGINT NOT NULL,
    decode_error TEXT,
    message      BYTEA NOT NULL,
    packing      SMALLINT NOT NULL DEFAULT 0,
    base         BIGINT
);
CREATE INDEX data_messages_session ON {NAMESPACE}.data_messages(session);
CREATE INDEX data_messages_name ON {NAMESPACE}.data_messages(full_name);
CREATE INDEX data_messages_run_name ON {NAMESPACE}.data_messages(session, full_name);
CREATE TABLE {NAMESPACE}.metric_messages (
    id           BIGSERIAL PRIMARY KEY,
    session      TEXT COLLATE "C" NOT NULL,
    received     DOUBLE PRECISION NOT NULL,
    counter      TEXT COLLATE "C",
    kind         TEXT COLLATE "C",
    attributes   TEXT,
    size         BIGINT NOT NULL,
    decode_error TEXT,
    message      BYTEA NOT NULL
);
CREATE INDEX metric_messages_session ON {NAMESPACE}.metric_messages(session, counter);
CREATE TABLE {NAMESPACE}.metric_counts (
    session      TEXT COLLATE "C" NOT NULL,
    counter      TEXT COLLATE "C" NOT NULL,
    kind         TEXT COLLATE "C" NOT NULL,
    attributes   TEXT NOT NULL,
    count        BIGINT NOT NULL
);
CREATE UNIQUE INDEX metric_counts_key
    ON {NAMESPACE}.metric_counts(session, counter, kind, md5(attributes));
CREATE TABLE {NAMESPACE}.written_batches (
    batch        TEXT PRIMARY KEY,
    written      DOUBLE PRECISION NOT NULL
);
CREATE TABLE {NAMESPACE}.channel_runs (
    session        TEXT COLLATE "C" NOT NULL,
    channel        TEXT COLLATE "C" NOT NULL,
    started        DOUBLE PRECISION,
    ended          DOUBLE PRECISION,
    sent           BIGINT NOT NULL,
    stored         BIGINT NOT NULL,
    dropped_full   BIGINT NOT NULL,
    dropped_down   BIGINT NOT NULL,
    lost           BIGINT NOT NULL,
    restarts       BIGINT NOT NULL,
    note           TEXT,
    PRIMARY KEY (session, channel)
)
"""

#: What brings a store of each older schema up to the next one.
_MIGRATIONS: Dict[int, List[str]] = {}

_MISSING_DRIVER = ("a PostgreSQL store needs the psycopg driver: "
                   "pip install 'tarnwick_collector[postgres]'")


def require_driver() -> Any:
    """The ``psycopg`` module.

    :raises StoreError: when it is not installed."""
    try:
        import psycopg
    except ImportError:
        raise StoreError(_MISSING_DRIVER) from None
    return psycopg


# --- the SQLite phrasing of the shared readers ---------------------------

#: Fragments of the readers' SQL and what PostgreSQL says for them: the
#: schema version, a recording's runs (``GLOB``), the insertion order of
#: runs (``rowid``), the name a subquery needs, and NULLs sorted first as
#: SQLite sorts them.
_TRANSLATIONS = (
    ("PRAGMA user_version", f"SELECT {SQLITE_LEVEL}"),
    ("NOT GLOB '*[^0-9]*'", "!~ '[^0-9]'"),
    ("s.rowid", "s.seq"),
    ("started, rowid", "started, seq"),
    ("CAST(TOTAL(n) AS INTEGER)", "CAST(TOTAL(n) AS BIGINT)"),
    (") GROUP BY counter, kind ORDER BY", ") AS merged GROUP BY counter, kind ORDER BY"),
    ("ORDER BY TOTAL(n) DESC, counter, kind",
     "ORDER BY TOTAL(n) DESC, counter NULLS FIRST, kind NULLS FIRST"),
    ("ORDER BY COUNT(*) DESC, full_name", "ORDER BY COUNT(*) DESC, full_name NULLS FIRST"),
)
# TOTAL(x): a float sum that is 0.0 over no rows.
_TOTAL = re.compile(r"\bTOTAL\(([\w.]+)\)")
_cache: Dict[str, str] = {}


def translate(sql: str) -> str:
    """The readers' SQLite statement ``sql`` as PostgreSQL takes it."""
    done = _cache.get(sql)
    if done is not None:
        return done
    text = sql.replace("%", "%%")
    for sqlite_text, pg_text in _TRANSLATIONS:
        text = text.replace(sqlite_text, pg_text)
    text = _TOTAL.sub(r"COALESCE(SUM(\1), 0)::float8", text)
    text = text.replace("?", "%s")
    if len(_cache) < 512:
        _cache[sql] = text
    return text


# --- connections -----------------------------------------------------------

def _one_line(exc: BaseException, url: str) -> str:
    """An error's text on one line, without the password of ``url``."""
    text = " ".join(line.strip() for line in str(exc).splitlines() if line.strip())
    text = redact(text or type(exc).__name__)
    password = _password(url)
    if password and len(password) >= 4:
        text = text.replace(password, "***")
    return text


def _password(url: str) -> Optional[str]:
    try:
        password = urlsplit(url).password
    except ValueError:
        return None
    return unquote(password) if password else None


def _connect(url: str, read_only: bool) -> Any:
    psycopg = require_driver()
    timeout = os.environ.get("PGCONNECT_TIMEOUT") or str(CONNECT_TIMEOUT)
    options = f"-c search_path={NAMESPACE}"
    if read_only:
        options += " -c default_transaction_read_only=on"
    try:
        raw = psycopg.connect(url, autocommit=not read_only, connect_timeout=timeout,
                              application_name="tarnwick", options=options)
    except Exception as exc:
        raise StoreError(f"cannot connect to store {redact(url)}: "
                         f"{_one_line(exc, url)}") from None
    if read_only:
        raw.read_only = True
        raw.isolation_level = psycopg.IsolationLevel.REPEATABLE_READ
    return raw


class Connection:
    """A connection to the store, with what the readers of ``sqlite_store``
    use of a SQLite connection: ``execute`` (their statements translated),
    ``cursor`` and ``close``. A writer's connection is in autocommit mode;
    its writers make their own transactions (``transaction``)."""

    def __init__(self, url: str, read_only: bool) -> None:
        self.url = url
        self.read_only = read_only
        self.raw = _connect(url, read_only)
        # When a connection attempt last failed (monotonic), so that a
        # server that stays away is not waited for at every batch.
        self._failed_at: Optional[float] = None

    def execute(self, sql: str, params: Sequence[Any] = ()) -> Any:
        """Run one statement of the readers. A writer's connection that
        broke is connected again, and the statement run again once."""
        if self.read_only:
            return self.raw.execute(translate(sql), list(params))
        if self.broken:
            self.reconnect()
        try:
            return self.raw.execute(translate(sql), list(params))
        except require_driver().OperationalError:
            if not self.broken:
                raise
        self.reconnect()
        return self.raw.execute(translate(sql), list(params))

    def cursor(self) -> "Connection":
        return self

    def close(self) -> None:
        try:
            self.raw.close()
        except Exception:
            pass

    @property
    def broken(self) -> bool:
        return bool(self.raw.closed or getattr(self.raw, "broken", False))

    def reconnect(self) -> None:
        """Connect again after the connection broke: a few attempts with
        pauses between them (one when the last reconnection failed a
        moment ago).

        :raises StoreError: when the server cannot be reached."""
        self.close()
        recent = (self._failed_at is not None
                  and time.monotonic() - self._failed_at < sum(RECONNECT_PAUSES))
        pauses = () if recent else RECONNECT_PAUSES
        for pause in (*pauses, None):
            try:
                self.raw = _connect(self.url, self.read_only)
            except StoreError:
                if pause is None:
                    self._failed_at = time.monotonic()
                    raise
                time.sleep(pause)
                continue
            self._failed_at = None
            return

    def transaction(self, body: Callable[[Any], Any], once: bool = False) -> Any:
        """Run ``body(cursor)`` in one transaction, connecting again first
        when the connection broke. A connection that breaks inside it is
        reconnected once and the transaction run again.

        With ``once``, the transaction is one that must not be stored
        twice (rows added, counts raised): it writes a row of its own into
        ``written_batches``, and is not run again when that row is there,
        that is when the connection broke after the server had committed
        it but before it said so."""
        psycopg = require_driver()
        marker = uuid.uuid4().hex if once else None
        for attempt in range(2):
            if self.broken:
                self.reconnect()
            try:
                with self.raw.transaction():
                    with self.raw.cursor() as cur:
                        if marker is None:
                            return body(cur)
                        if attempt:
                            cur.execute("SELECT 1 FROM written_batches WHERE batch = %s",
                                        (marker,))
                            if cur.fetchone() is not None:
                                return None
                        result = body(cur)
                        cur.execute("INSERT INTO written_batches (batch, written)"
                                    " VALUES (%s, %s)", (marker, time.time()))
                        return result
            except psycopg.OperationalError as exc:
                if attempt == 1 or not self.broken:
                    raise StoreError(_one_line(exc, self.url)) from None
            except psycopg.Error as exc:
                raise StoreError(_one_line(exc, self.url)) from None
        return None  # not reached


# --- opening ----------------------------------------------------------------

def _found_version(cur: Any) -> Optional[int]:
    """The schema version of the store, None when there is none yet."""
    cur.execute("SELECT to_regclass(%s)", (f"{NAMESPACE}.schema_info",))
    if cur.fetchone()[0] is None:
        return None
    cur.execute(f"SELECT max(version) FROM {NAMESPACE}.schema_info")
    version = cur.fetchone()[0]
    return int(version) if version is not None else 0


def _check_version(version: Optional[int], url: str) -> None:
    if version is not None and version > SCHEMA_VERSION:
        raise StoreError(f"store {redact(url)} was written by a newer version "
                         f"(schema {version})")


def check_store_writable(url: str) -> None:
    """Fail with a one-line ``StoreError`` unless the database at ``url``
    can be reached, holds a store of this schema or none yet, and this
    user may write (or make) it. Changes nothing."""
    conn = Connection(url, read_only=False)
    try:
        with conn.raw.cursor() as cur:
            version = _found_version(cur)
            _check_version(version, url)
            if version is None:
                cur.execute("SELECT has_database_privilege(current_database(), 'CREATE')"
                            " OR COALESCE((SELECT has_schema_privilege(oid, 'CREATE')"
                            " FROM pg_namespace WHERE nspname = %s), false)", (NAMESPACE,))
                allowed = bool(cur.fetchone()[0])
            else:
                cur.execute("SELECT has_table_privilege(%s, 'INSERT')",
                            (f"{NAMESPACE}.data_messages",))
                allowed = bool(cur.fetchone()[0])
    except StoreError:
        conn.close()
        raise
    except Exception as exc:
        conn.close()
        raise StoreError(f"cannot use store {redact(url)}: {_one_line(exc, url)}") from None
    conn.close()
    if not allowed:
        raise StoreError(f"cannot write store {redact(url)}: permission denied")


def open_for_writing(url: str) -> Connection:
    """Connect to the store at ``url``, making its tables (or bringing
    them up to this schema) when needed, under a lock that other writers
    wait for.

    :raises StoreError: when the store cannot be reached or written, or
        is of a newer schema.
    """
    conn = Connection(url, read_only=False)

    def prepare(cur: Any) -> None:
        cur.execute("SELECT pg_advisory_xact_lock(%s)", (_SCHEMA_LOCK,))
        version = _found_version(cur)
        _check_version(version, url)
        if version is None:
            for statement in _SCHEMA.split(";"):
                if statement.strip():
                    cur.execute(statement)
            cur.execute(f"INSERT INTO {NAMESPACE}.schema_info (version) VALUES (%s)",
                        (SCHEMA_VERSION,))
        elif version < SCHEMA_VERSION:
            while version < SCHEMA_VERSION:
                version += 1
                for statement in _MIGRATIONS[version]:
                    cur.execute(statement)
            cur.execute(f"UPDATE {NAMESPACE}.schema_info SET version = %s",
                        (SCHEMA_VERSION,))
        else:
            # The marks of batches are needed only while a writer may try
            # one again.
            cur.execute(f"DELETE FROM {NAMESPACE}.written_batches WHERE written < %s",
                        (time.time() - _MARKS_KEPT,))

    try:
        conn.transaction(prepare)
    except StoreError as exc:
        conn.close()
        text = str(exc)
        if "newer version" not in text and not text.startswith("cannot"):
            text = f"cannot write store {redact(url)}: {text}"
        raise StoreError(text) from None
    return conn


def open_for_reading(url: str) -> Connection:
    """Connect read-only to the store at ``url``.

    :raises StoreError: when it cannot be reached, holds no store, or one
        of a newer schema.
    """
    conn = Connection(url, read_only=True)
    try:
        with conn.raw.cursor() as cur:
            version = _found_version(cur)
    except Exception as exc:
        conn.close()
        raise StoreError(f"cannot read store {redact(url)}: {_one_line(exc, url)}") from None
    if version is None:
        conn.close()
        raise StoreError(f"no store at {redact(url)} (record a program first: "
                         "tarnwick record SCRIPT)")
    try:
        _check_version(version, url)
    except StoreError:
        conn.close()
        raise
    return conn


def schema_version(conn: Connection) -> int:
    """The schema the store was written with (see ``SCHEMA_VERSION``)."""
    return int(conn.execute("PRAGMA user_version").fetchone()[0])


# --- writers ------------------------------------------------------------------

def _text(value: Any) -> Any:
    """A text as PostgreSQL takes it: it refuses the NUL character, which
    is kept as U+FFFD."""
    if isinstance(value, str) and "\x00" in value:
        return value.replace("\x00", "\ufffd")
    return value


_DATA_COLUMNS = ("id, session, received, full_name, module, size, decode_error,"
                 " message, packing, base")
_METRIC_COLUMNS = ("session, received, counter, kind, attributes, size,"
                   " decode_error, message")


def insert_data_rows(conn: Connection, rows: Sequence[sqlite_store.DataRow],
                     packer: Optional[packing.Packer] = None) -> None:
    """Insert data rows in one transaction, as ``sqlite_store``'s function
    of the name does: the ids are taken from the sequence first, so that a
    base's id is known before the rows packed on it are written."""
    if packer is None:
        packer = packing.Packer()
    packed = []
    for (session, received, full_name, module, size, error, stored, how), base in \
            packing.pack_rows(rows, packer):
        packed.append(([_text(session), received, _text(full_name), _text(module),
                        size, _text(error), stored, how], base))

    def write(cur: Any) -> None:
        cur.execute("SELECT nextval('data_messages_id_seq')"
                    " FROM generate_series(1, %s)", (len(packed),))
        ids = sorted(row[0] for row in cur.fetchall())
        out = []
        for rid, (values, base) in zip(ids, packed):
            if isinstance(base, packing.PendingBase):
                if values[7] != packing.DEFLATED_ON_BASE:
                    base.rowid = rid  # this row is the base
                    base_id = None
                else:
                    base_id = base.rowid
            else:
                base_id = base
            out.append([rid, *values, base_id])
        with cur.copy(f"COPY data_messages ({_DATA_COLUMNS}) FROM STDIN") as copy:
            for row in out:
                copy.write_row(row)

    if not packed:
        return
    try:
        conn.transaction(write, once=True)
    except BaseException:
        packer.rollback()
        raise
    packer.commit()


def insert_metric_rows(conn: Connection, rows: Sequence[sqlite_store.MetricRow]) -> None:
    """Insert metric rows in one transaction, as ``sqlite_store``'s function
    of the name does (the per-call metrics added to their counts)."""
    kept, counts = sqlite_store.split_counted(rows, _text)

    def write(cur: Any) -> None:
        if kept:
            with cur.copy(f"COPY metric_messages ({_METRIC_COLUMNS}) FROM STDIN") as copy:
                for row in kept:
                    copy.write_row(row)
        for key, count in counts.items():
            cur.execute(
                "INSERT INTO metric_counts (session, counter, kind, attributes, count)"
                " VALUES (%s, %s, %s, %s, %s)"
                " ON CONFLICT (session, counter, kind, md5(attributes))"
                " DO UPDATE SET count = metric_counts.count + EXCLUDED.count",
                key + (count,))

    if kept or counts:
        conn.transaction(write, once=True)


def record_session(conn: Connection, session: str, command: str,
                   project_path: Optional[str]) -> None:
    """Add the row of a new recording run, made by this process on this
    host."""
    conn.transaction(lambda cur: cur.execute(
        "INSERT INTO sessions (session, started, pid, command, project_path, host)"
        " VALUES (%s, %s, %s, %s, %s, %s) ON CONFLICT (session) DO UPDATE SET"
        " started = EXCLUDED.started, pid = EXCLUDED.pid, command = EXCLUDED.command,"
        " project_path = EXCLUDED.project_path, host = EXCLUDED.host",
        (session, time.time(), os.getpid(), _text(command), _text(project_path),
         host_name())))


def record_channel_start(conn: Connection, session: str, channel: str,
                         started: float) -> None:
    """Note that a channel of a run started (see ``sqlite_store``)."""
    conn.transaction(lambda cur: cur.execute(
        "INSERT INTO channel_runs (session, channel, started, ended, sent, stored,"
        " dropped_full, dropped_down, lost, restarts, note)"
        " VALUES (%s, %s, %s, NULL, 0, 0, 0, 0, 0, 0, NULL)"
        " ON CONFLICT (session, channel) DO NOTHING", (session, channel, started)))


def record_channel_run(conn: Connection, session: str, channel: str,
                       started: float, sent: int, stored: int, dropped_full: int,
                       dropped_down: int, restarts: int,
                       note: Optional[str] = None, unstored: int = 0) -> None:
    """Add (or replace) the delivery summary of one channel of a run (see
    ``sqlite_store``)."""
    lost = max(0, sent - stored - dropped_full - dropped_down - unstored)
    conn.transaction(lambda cur: cur.execute(
        "INSERT INTO channel_runs (session, channel, started, ended, sent, stored,"
        " dropped_full, dropped_down, lost, restarts, note)"
        " VALUES (%s, %s, %s, %s, %s, %s, %s, %s, %s, %s, %s)"
        " ON CONFLICT (session, channel) DO UPDATE SET started = EXCLUDED.started,"
        " ended = EXCLUDED.ended, sent = EXCLUDED.sent, stored = EXCLUDED.stored,"
        " dropped_full = EXCLUDED.dropped_full, dropped_down = EXCLUDED.dropped_down,"
        " lost = EXCLUDED.lost, restarts = EXCLUDED.restarts, note = EXCLUDED.note",
        (session, channel, started, time.time(), sent, stored, dropped_full,
         dropped_down, lost, restarts, _text(redact(note) if note else note))))
