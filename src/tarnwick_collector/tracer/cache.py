"""The cache of instrumented modules, kept like the interpreter's bytecode
cache.

Instrumenting a module (parsing, rewriting, compiling twice) costs many
times a plain compile, and a program imports the same modules run after
run. The rewritten code is therefore kept in ``__pycache__`` beside the
interpreter's own files, under a tag of its own::

    __pycache__/orders.cpython-311.tarnwick-0.1.0.pyc

(``sys.pycache_prefix`` and the optimization level are honoured as the
interpreter's cache honours them, the tag names the package's version). A
file holds::

    magic    4 bytes   the interpreter's bytecode magic number
    key     16 bytes   digest of the package version, the instrumenter's own
                       sources and the builtins it leaves alone
    source   8 bytes   hash of the module's source (importlib's source_hash)
    payload            marshal data of the instrumented code, before its
                       placeholders are replaced (see ``rewrite``)

An entry is used only when all three match: a changed source, another
interpreter or another version of the instrumenter makes it stale, and it is
then written again. The source's hash, not its time stamp, decides: a file
rewritten within the same second with the same size is still seen as
changed. Files are written to a temporary name and renamed into place, so a
reader (another process importing the same module) sees a whole entry or
none. Whatever goes wrong (a read-only directory, a full disk, a damaged
entry) only means no cache: the module is instrumented from its source.
"""
import hashlib
import importlib.util
import marshal
import os
import sys
import threading
from typing import Any, Optional

_HEADER = 4 + 16 + 8
_key: Optional[bytes] = None
_key_lock = threading.Lock()
_tag_suffix: Optional[str] = None

#: Set to False to neither read nor write the cache.
enabled = True


def _instrumenter_key() -> bytes:
    """The digest naming this version of the instrumenter (computed once)."""
    global _key
    if _key is None:
        with _key_lock:
            if _key is None:
                from tarnwick_collector import __version__
                from tarnwick_collector.tracer import rewrite, scopes

                digest = hashlib.blake2b(digest_size=16)
                digest.update(__version__.encode())
                for module in (rewrite, scopes, sys.modules[__name__]):
                    with open(module.__file__ or "", "rb") as fh:
                        digest.update(fh.read())
                # Loads of builtins are left alone: what is a builtin is
                # part of the output.
                digest.update("\0".join(sorted(rewrite._BUILTIN_NAMES)).encode())
                _key = digest.digest()
    return _key


def cache_path(source_path: str) -> Optional[str]:
    """Where the instrumented code of ``source_path`` is cached, or None
    when the interpreter keeps no bytecode cache."""
    if not enabled or sys.implementation.cache_tag is None:
        return None
    try:
        plain = importlib.util.cache_from_source(source_path)
    except (NotImplementedError, ValueError):
        return None
    return plain[:-len(".pyc")] + _suffix()


def _suffix() -> str:
    """The end of an entry's file name, naming the package's version."""
    global _tag_suffix
    if _tag_suffix is None:
        from tarnwick_collector import __version__

        _tag_suffix = f".tarnwick-{__version__}.pyc"
    return _tag_suffix


def _header(source: bytes) -> bytes:
    return (importlib.util.MAGIC_NUMBER + _instrumenter_key()
            + importlib.util.source_hash(source))


def read(path: str, source: bytes) -> Optional[Any]:
    """The payload cached at ``path`` for ``source``, or None when there is
    none that fits."""
    try:
        with open(path, "rb") as fh:
            data = fh.read()
        view = memoryview(data)
        if view[:_HEADER] != _header(source):
            return None
        return marshal.loads(view[_HEADER:])  # not copied first
    except Exception:  # missing, unreadable, damaged: no cache
        return None


def write(path: str, source: bytes, payload: Any) -> None:
    """Cache ``payload`` for ``source`` at ``path``, atomically; nothing
    happens when that cannot be done."""
    if sys.dont_write_bytecode:
        return
    temp = f"{path}.{os.getpid()}.{threading.get_ident()}.tmp"
    try:
        data = _header(source) + marshal.dumps(payload)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(temp, "wb") as fh:
            fh.write(data)
        os.replace(temp, path)
    except Exception:
        try:
            os.unlink(temp)
        except OSError:
            pass


def discard(path: str) -> None:
    """Remove what is cached at ``path`` (for a source that can no longer be
    instrumented)."""
    try:
        os.unlink(path)
    except OSError:
        pass


__all__ = ["cache_path", "read", "write", "discard", "enabled"]
