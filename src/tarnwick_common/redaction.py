"""Redaction: values stored under a secret-looking name are replaced.

The recorder stores arguments, attributes, dict entries and the results of
environment reads. A value whose *name* looks like it holds a secret (an
argument ``password``, an attribute ``api_token``, a dict key
``"Authorization"``, an environment variable ``DB_PASSWORD``) is stored as
:data:`REDACTED` instead. A name matches a pattern when the pattern is a
part of it, comparing ASCII letters without regard to case and ignoring
``_`` and ``-``: the pattern ``api_key`` matches ``api_key``, ``API-KEY``,
``apiKey`` and ``x_apikey_v2``.

Only what is stored changes: the program's own objects are never touched;
the recorder writes redacted copies.

The compiled pickler and recording core do the matching on their hot paths;
this module holds the vocabulary they share with the settings, the command
line and the readers of the store: the default patterns, their validation,
the marker class, and the memory of recently redacted values that keeps
them out of recorded exception texts.
"""
import collections
import os
import threading
from typing import Any, Deque, FrozenSet, Iterable, Optional, Tuple

__all__ = [
    "DEFAULT_PATTERNS",
    "ENV_VARIABLE",
    "REDACTED",
    "REDACTED_TEXT",
    "Redacted",
    "environment_secret",
    "name_matches",
    "normalize_patterns",
    "patterns_from_environment",
    "remember",
    "scrub_exception",
    "scrub_text",
]

#: What a redacted value shows as, and what replaces a redacted value met
#: verbatim in an exception's text.
REDACTED_TEXT = "<redacted>"

#: The names that are redacted unless configured otherwise (as patterns:
#: each matches any name it is a part of).
DEFAULT_PATTERNS: Tuple[str, ...] = (
    "password",
    "passwd",
    "passphrase",
    "secret",
    "token",
    "apikey",
    "authorization",
    "cookie",
    "sessionid",
    "sessionkey",
    "privatekey",
    "credential",
)

#: Environment variable with extra patterns, comma-separated, or ``off``.
ENV_VARIABLE = "TARNWICK_REDACT"

_OFF_WORDS = ("off", "none", "false", "0", "no")
_IGNORED = "_-"
#: Patterns shorter than this would match most names.
_MIN_PATTERN = 3
#: Redacted values shorter than this are not remembered (see `remember`):
#: a short value ("true", "1234") would replace unrelated values and parts
#: of texts.
_MIN_REMEMBERED = 6
_REMEMBERED_MAX = 64


class Redacted:
    """The marker stored in place of a redacted value.

    Stateless; every instance stands for "a value was here and is not
    stored". It pickles as a reference to this class, so a reader with
    stock pickle gets a ``Redacted`` back and a restricted reader sees the
    name ``tarnwick_common.redaction.Redacted``.
    """

    __slots__ = ()

    def __repr__(self) -> str:
        return REDACTED_TEXT

    def __eq__(self, other: Any) -> bool:
        return isinstance(other, Redacted)

    def __hash__(self) -> int:
        return hash(Redacted)


#: The marker instance the recorder writes.
REDACTED = Redacted()


def _normalized(name: str) -> str:
    return "".join(c.lower() if c.isascii() else c
                   for c in name if c not in _IGNORED)


def normalize_patterns(patterns: Iterable[str],
                       source: str = "redaction pattern") -> Tuple[str, ...]:
    """The patterns in the form the matchers use: lower case, without
    ``_`` and ``-``, duplicates dropped, order kept.

    :raises TypeError: a pattern that is not a ``str``.
    :raises ValueError: a pattern with other characters than ASCII letters,
        digits, ``_`` and ``-``, or shorter than three letters and digits.
    """
    if isinstance(patterns, (str, bytes)):
        raise TypeError(f"{source}s must be given as a list of str, "
                        f"not one {type(patterns).__name__}")
    out = []
    for pattern in patterns:
        if not isinstance(pattern, str):
            raise TypeError(f"{source} must be a str, got "
                            f"{type(pattern).__name__}")
        text = pattern.strip()
        if not text or not all(c.isascii() and (c.isalnum() or c in _IGNORED)
                               for c in text):
            raise ValueError(f"{source} {pattern!r} must be ASCII letters and "
                             f"digits (with '_' or '-' between them)")
        norm = _normalized(text)
        if len(norm) < _MIN_PATTERN:
            raise ValueError(f"{source} {pattern!r} is too short: it needs at "
                             f"least {_MIN_PATTERN} letters or digits")
        if norm not in out:
            out.append(norm)
    return tuple(out)


def parse_setting(text: str, source: str = ENV_VARIABLE) -> Optional[Tuple[str, ...]]:
    """The patterns named by a setting's text: ``None`` for ``off`` (no
    redaction), else the extra patterns, comma-separated (empty: none).

    :raises ValueError: a malformed pattern, naming ``source``.
    """
    stripped = text.strip()
    if stripped.lower() in _OFF_WORDS:
        return None
    parts = [p for p in stripped.split(",") if p.strip()]
    try:
        return normalize_patterns(parts)
    except ValueError as exc:
        raise ValueError(f"{source}: {exc}") from None


def patterns_from_environment(environ: Optional[Any] = None) -> Tuple[str, ...]:
    """The patterns in force by default: :data:`DEFAULT_PATTERNS` plus the
    extras of ``TARNWICK_REDACT``, or none at all when it says ``off``.

    :raises ValueError: a malformed ``TARNWICK_REDACT``.
    """
    env = os.environ if environ is None else environ
    raw = env.get(ENV_VARIABLE)
    if raw is None:
        return DEFAULT_PATTERNS
    extra = parse_setting(raw)
    if extra is None:
        return ()
    return normalize_patterns(DEFAULT_PATTERNS + extra)


def name_matches(name: Any, patterns: Iterable[str]) -> bool:
    """Whether ``name`` (a ``str`` or ``bytes``) matches one of the
    (normalized) ``patterns``: the rule the compiled matchers follow."""
    if isinstance(name, bytes):
        name = name.decode("utf-8", "surrogateescape")
    if not isinstance(name, str):
        return False
    norm = _normalized(name)
    return any(p in norm for p in patterns)


def environment_secret(value: Any, patterns: Iterable[str]) -> bool:
    """Whether ``value``, returned by a read of the environment, is the
    value of an environment variable whose name matches ``patterns``.

    The recorder sees the result of ``os.environ.get(name)`` or
    ``os.getenv(name)``, not the name; it redacts a result that some
    secret-looking variable holds (a default the program passed itself, or
    the value of a harmless variable, is stored as it is).
    """
    if isinstance(value, str):
        env: Any = os.environ
    elif isinstance(value, bytes) and hasattr(os, "environb"):
        env = os.environb
    else:
        return False
    if not value:
        return False
    try:
        items = list(env.items())
    except Exception:
        return False
    return any(v == value and name_matches(k, patterns) for k, v in items)


# ------------------------------------------------ redacted values in texts

_remembered: Deque[str] = collections.deque(maxlen=_REMEMBERED_MAX)
_remembered_lock = threading.Lock()
#: The same values as a frozenset, replaced (never changed) at each
#: change: the pickler writes any of them, met whole, as the marker.
_remembered_set: FrozenSet[str] = frozenset()


def remember(value: Any) -> None:
    """Notes a value that was redacted, so that it is redacted wherever it
    is stored again (a ``str`` equal to it, an exception text containing
    it). The last 64 distinct values of at least six characters are kept;
    ``bytes`` are kept as their UTF-8 text."""
    if isinstance(value, (bytes, bytearray)):
        try:
            value = bytes(value).decode("utf-8")
        except UnicodeDecodeError:
            return
    if not isinstance(value, str) or len(value) < _MIN_REMEMBERED:
        return
    global _remembered_set
    with _remembered_lock:
        if value in _remembered:
            return
        _remembered.append(value)
        _remembered_set = frozenset(_remembered)


def forget_all() -> None:
    """Drops the remembered values (for tests)."""
    global _remembered_set
    with _remembered_lock:
        _remembered.clear()
        _remembered_set = frozenset()


def scrub_text(text: str) -> str:
    """``text`` with every remembered redacted value replaced by
    ``<redacted>``; ``text`` itself when it contains none."""
    if not _remembered or not isinstance(text, str):
        return text
    with _remembered_lock:
        values = sorted(_remembered, key=len, reverse=True)
    for value in values:
        if value in text:
            text = text.replace(value, REDACTED_TEXT)
    return text


def _scrubbed(value: Any, patterns: Tuple[str, ...], depth: int = 0) -> Any:
    """``value`` with remembered values replaced in its texts and the
    entries of its dicts under matching names redacted; the same object
    when nothing changes."""
    if isinstance(value, str):
        return scrub_text(value)
    if depth > 20:
        return value
    if type(value) in (tuple, list):
        items = [_scrubbed(v, patterns, depth + 1) for v in value]
        if all(a is b for a, b in zip(items, value)):
            return value
        return type(value)(items)
    if type(value) is dict:
        entries = {k: REDACTED if v is not None and name_matches(k, patterns)
                   else _scrubbed(v, patterns, depth + 1)
                   for k, v in value.items()}
        if all(entries[k] is v for k, v in value.items()):
            return value
        return entries
    return value


_NOT_GIVEN: Any = object()


def scrub_exception(exc: Any, patterns: Iterable[str] = (),
                    state: Any = _NOT_GIVEN) -> Any:
    """``exc`` itself, or a copy of it in which the remembered redacted
    values met verbatim in its texts are replaced by ``<redacted>``, and
    its attributes and the dict entries of its arguments whose names match
    ``patterns`` are redacted.

    The copy is made by the constructor of the nearest built-in base class
    of the exception's class (as ``super().__new__`` would), so no code of
    the program runs, and the program's exception is not changed.
    ``state`` is the exception's ``__dict__`` as the caller found it
    (``None`` for none yet): reading ``exc.__dict__`` here would give the
    exception one.
    """
    if not isinstance(exc, BaseException):
        return exc
    patterns = tuple(patterns) if patterns else ()
    try:
        args = exc.args
        if state is _NOT_GIVEN:
            state = getattr(exc, "__dict__", None)
        if not _remembered and not state and not any(
                type(a) in (dict, list, tuple) for a in args):
            return exc
        new_args = _scrubbed(args, patterns)
        new_state = _scrubbed(state, patterns) if type(state) is dict else state
        if new_args is args and new_state is state:
            return exc
        cls = type(exc)
        base = next(b for b in cls.__mro__
                    if not b.__flags__ & (1 << 9))  # Py_TPFLAGS_HEAPTYPE
        copy = base.__new__(cls, *new_args)
        BaseException.__init__(copy, *new_args)
        if type(new_state) is dict:
            copy.__dict__.update(new_state)
        return copy
    except Exception:
        # A copy that cannot be made: the text is not stored at all.
        return Exception(REDACTED_TEXT)
