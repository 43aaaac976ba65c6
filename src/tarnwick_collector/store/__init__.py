"""The record store that the channels' subprocesses write and the command
line reads, and the safe decoding of the messages kept in it."""
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
