"""Where a store is: a SQLite file (a path) or a PostgreSQL database (a
``postgresql://`` or ``postgres://`` URL), and which module serves it.

Both modules have the same functions: the store's schema, its writers and
its readers. ``sqlite_store`` holds the readers; ``postgres_store`` runs
them on its own connections and has writers of its own.

A URL may hold a password. Whatever the store says about itself (errors,
the receivers' log, the command kept with a run, the summary ``record``
prints) goes through :func:`redact` first.
"""
import os
import re
from types import ModuleType
from typing import Optional

from tarnwick_collector.store import sqlite_store

_SCHEMES = ("postgresql://", "postgres://")

# The password of a URL: after "user:" in its authority part.
_URL_PASSWORD = re.compile(r"(postgres(?:ql)?://[^/@\s:]*:)[^@\s]*@", re.I)
# A password given as a parameter of a URL or of a key=value string.
_PARAM_PASSWORD = re.compile(r"(\bpassword\s*=\s*)('(?:[^'\\]|\\.)*'|[^&\s]*)", re.I)

REDACTED = "***"


def is_url(location: Optional[str]) -> bool:
    """Whether ``location`` names a PostgreSQL database."""
    return bool(location) and location.strip().lower().startswith(_SCHEMES)  # type: ignore[union-attr]


def redact(text: str) -> str:
    """``text`` with the password of every database URL (and every
    ``password=`` parameter) in it replaced by ``***``."""
    text = _URL_PASSWORD.sub(lambda m: m.group(1) + REDACTED + "@", text)
    return _PARAM_PASSWORD.sub(lambda m: m.group(1) + REDACTED, text)


def normalize(location: str) -> str:
    """A file path made absolute; a URL as it is."""
    return location.strip() if is_url(location) else os.path.abspath(location)


def shown(location: str) -> str:
    """The store as messages name it: a path relative to the current
    directory, a URL without its password."""
    return redact(location) if is_url(location) else os.path.relpath(location)


def log_path(location: str) -> str:
    """The file the channels' subprocesses write their troubles to: next
    to a SQLite store; ``.tarnwick/postgresql.log`` under the current
    directory for a database."""
    if is_url(location):
        return os.path.join(os.path.abspath(sqlite_store.STORE_DIR), "postgresql.log")
    return location + ".log"


def backend(location: str) -> ModuleType:
    """The module serving the store at ``location``.

    :raises StoreError: for a URL when the PostgreSQL driver is not
        installed.
    """
    if not is_url(location):
        return sqlite_store
    from tarnwick_collector.store import postgres_store

    postgres_store.require_driver()
    return postgres_store
