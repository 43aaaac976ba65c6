"""The record store that the channels' subprocesses write and the command
line reads, and the safe decoding of the messages kept in it.

The package's modules:

- ``sqlite_store``: the SQLite store, its schema and its queries;
- ``postgres_store``: the store in a PostgreSQL database (the ``postgres``
  extra), with the same functions, running ``sqlite_store``'s queries;
- ``location``: tells a store's path from a database URL, picks the module
  that serves it, and takes passwords out of what is shown;
- ``decoding``: the restricted unpickler of stored messages (with
  ``_opscan``, the compiled scan of a stream's opcodes);
- ``render``: the views ``show``, ``stats`` and ``demo`` print, built on
  ``texts`` (limits, escaping for a terminal and JSON), ``diffing`` (where
  two values differ), ``values`` (one value as one line) and ``records``
  (a stored call decoded into a view).
"""
from tarnwick_collector.store.sqlite_store import (
    STORE_DIR,
    STORE_FILE,
    StoreError,
    default_store_path,
    open_for_reading,
    open_for_writing,
)

__all__ = [
    "STORE_DIR",
    "STORE_FILE",
    "StoreError",
    "default_store_path",
    "open_for_reading",
    "open_for_writing",
]
