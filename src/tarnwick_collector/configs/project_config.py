"""The command line's settings and where each comes from: the command line,
then the environment, then the ``[tool.tarnwick]`` table of the project's
``pyproject.toml``, then the defaults.

Every setting is one :class:`Key` of :data:`KEYS`: its name in the table
(which is also its option, ``--NAME``), the attribute it fills, its
environment variable, the kind of value it takes and the commands that
offer its option. A new setting is one more line there; the options, the
reading of the file and of the environment and the precedence follow from
it.

The file is the first ``pyproject.toml`` with a ``[tool.tarnwick]`` table
found from the directory a command starts in (``--project-root`` when given
on the command line, else the current directory) upwards. Paths in it are
relative to its directory, except ``exclude``, which, as in
``tarnwick_collector.start``, is relative to the project root. Without a
``project-root`` the file's directory is the project root.

An unknown key, a value of the wrong type or out of range, or a file that
is not valid TOML is a :class:`ConfigError` naming the file and the key.
"""
import argparse
import difflib
import os
import re
import sys
from dataclasses import dataclass
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

TABLE = "tool.tarnwick"
FILE_NAME = "pyproject.toml"


class ConfigError(Exception):
    """A setting that cannot be used: one line for the user (a usage error,
    exit status 2)."""


# --- kinds of values -------------------------------------------------------

class Kind:
    """How one kind of setting is read: from a text (an option or an
    environment variable) and from a TOML value. Both raise ``ValueError``
    with the reason, which the caller prefixes with where the value was."""

    metavar = "VALUE"
    #: An option of this kind may be given several times; its values add up.
    multiple = False

    def from_text(self, text: str) -> Any:
        raise NotImplementedError

    def from_file(self, value: Any, base: str) -> Any:
        """``value`` as read from the file in directory ``base``."""
        if isinstance(value, str):
            return self.from_text(value)
        raise ValueError(f"expected {self.expected}, got {_toml_type(value)}")

    expected = "a string"


def _toml_type(value: Any) -> str:
    names = {bool: "a boolean", int: "an integer", float: "a number", str: "a string",
             list: "an array", dict: "a table"}
    return names.get(type(value), type(value).__name__)


class _Text(Kind):
    metavar = "ID"

    def from_text(self, text: str) -> str:
        if not text.strip():
            raise ValueError("must not be empty")
        return text


class _Path(Kind):
    """A path; a relative one in the file is relative to the file."""

    metavar = "PATH"

    def __init__(self, metavar: str = "PATH") -> None:
        self.metavar = metavar

    def from_text(self, text: str) -> str:
        if not text.strip():
            raise ValueError("must not be empty")
        return os.path.abspath(text)

    def from_file(self, value: Any, base: str) -> str:
        if not isinstance(value, str):
            raise ValueError(f"expected a path (a string), got {_toml_type(value)}")
        return self.from_text(os.path.join(base, os.path.expanduser(value)))


class _Store(_Path):
    """A store: a path (as ``_Path``) or a PostgreSQL URL, kept as it is."""

    def from_text(self, text: str) -> str:
        from tarnwick_collector.store.location import is_url

        return text.strip() if is_url(text) else super().from_text(text)

    def from_file(self, value: Any, base: str) -> str:
        from tarnwick_collector.store.location import is_url

        if isinstance(value, str) and is_url(value):
            return value.strip()
        return super().from_file(value, base)


class _Count(Kind):
    metavar = "N"
    expected = "a whole number"

    def __init__(self, low: int) -> None:
        self.low = low

    def _checked(self, value: int) -> int:
        if value < self.low:
            raise ValueError(f"must be at least {self.low}, got {value}")
        return value

    def from_text(self, text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise ValueError(f"expected a whole number, got {text!r}") from None
        return self._checked(value)

    def from_file(self, value: Any, base: str) -> int:
        if isinstance(value, bool) or not isinstance(value, int):
            raise ValueError(f"expected a whole number, got {_toml_type(value)}")
        return self._checked(value)


class _Size(Kind):
    """A size as users write it (500MB, 2G, 1.5GiB, 4096), kept as written
    for the messages that name it."""

    metavar = "SIZE"
    expected = "a size (e.g. \"500MB\")"

    def from_text(self, text: str) -> str:
        from tarnwick_collector.store.sizes import parse_size

        parse_size(text)
        return text.strip()

    def from_file(self, value: Any, base: str) -> str:
        if isinstance(value, int) and not isinstance(value, bool):
            value = str(value)
        return super().from_file(value, base)


class _Rate(Kind):
    metavar = "RATE"

    def _checked(self, value: float, shown: Any) -> float:
        if not 0.0 <= value <= 1.0:  # (NaN fails both)
            raise ValueError(f"must be between 0 and 1, got {shown}")
        return value

    def from_text(self, text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise ValueError(f"expected a number, got {text!r}") from None
        return self._checked(value, text)

    def from_file(self, value: Any, base: str) -> float:
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise ValueError(f"expected a number between 0 and 1, got {_toml_type(value)}")
        return self._checked(float(value), value)


def _string_list(value: Any, what: str) -> List[str]:
    """A TOML array of strings, or one string of comma-separated items."""
    if isinstance(value, str):
        return [p for p in value.split(",") if p.strip()]
    if isinstance(value, list) and all(isinstance(v, str) for v in value):
        return list(value)
    if isinstance(value, list):
        bad = next(v for v in value if not isinstance(v, str))
        raise ValueError(f"expected an array of {what}, found {_toml_type(bad)} in it")
    raise ValueError(f"expected an array of {what}, got {_toml_type(value)}")


class _Patterns(Kind):
    """Redaction patterns added to the default ones, or ``off``: the value
    is the patterns in force, ``()`` when redaction is off."""

    metavar = "PATTERNS"
    multiple = True

    def from_text(self, text: str) -> Tuple[str, ...]:
        from tarnwick_common.redaction import _OFF_WORDS, DEFAULT_PATTERNS, normalize_patterns

        if text.strip().lower() in _OFF_WORDS:
            return ()
        return normalize_patterns(DEFAULT_PATTERNS + tuple(
            p for p in text.split(",") if p.strip()))

    def from_file(self, value: Any, base: str) -> Tuple[str, ...]:
        from tarnwick_common.redaction import DEFAULT_PATTERNS, normalize_patterns

        if value is False:
            return ()
        if isinstance(value, str):
            return self.from_text(value)
        try:
            return normalize_patterns(DEFAULT_PATTERNS + tuple(
                _string_list(value, "patterns (or false: no redaction)")))
        except TypeError as exc:
            raise ValueError(str(exc)) from None


class _Paths(Kind):
    """Paths relative to the project root, kept as written."""

    metavar = "PATH"
    multiple = True

    def from_text(self, text: str) -> Tuple[str, ...]:
        parts = tuple(p for p in text.split(os.pathsep) if p.strip())
        if not parts:
            raise ValueError("must not be empty")
        return parts

    def from_file(self, value: Any, base: str) -> Tuple[str, ...]:
        return tuple(_string_list(value, "paths"))


_DOTTED = re.compile(r"^[^\W\d]\w*(\.[^\W\d]\w*)*$")


class _Names(Kind):
    """Dotted names of modules or classes, comma-separated in a text."""

    metavar = "NAMES"
    multiple = True

    def _checked(self, names: Sequence[str]) -> Tuple[str, ...]:
        out = []
        for name in names:
            name = name.strip()
            if not _DOTTED.match(name):
                raise ValueError(f"{name!r} is not a dotted name (module or module.Class)")
            if name not in out:
                out.append(name)
        return tuple(out)

    def from_text(self, text: str) -> Tuple[str, ...]:
        return self._checked([p for p in text.split(",") if p.strip()])

    def from_file(self, value: Any, base: str) -> Tuple[str, ...]:
        return self._checked(_string_list(value, "dotted names"))


TEXT = _Text()
PATH = _Path()
STORE = _Store("PATH|URL")
DIRECTORY = _Path("DIR")
RATE = _Rate()
PATTERNS = _Patterns()
PATHS = _Paths()
NAMES = _Names()
SIZE = _Size()


def COUNT(low: int) -> Kind:  # noqa: N802 (reads as the kinds above)
    return _Count(low)


# --- the settings ----------------------------------------------------------

RECORD = ("record",)
READERS = ("show", "stats", "generate-tests")
ALL = RECORD + READERS


@dataclass(frozen=True)
class Key:
    """One setting.

    :param name: its key in ``[tool.tarnwick]`` and its option ``--NAME``.
    :param dest: the attribute it fills on the parsed options (and, when
        ``settings``, on ``CollectorSettings``).
    :param env: its environment variable, if any.
    :param kind: how its values are read.
    :param commands: the commands that offer its option (every command
        reads it from the environment and the file).
    :param help: the option's help text.
    :param option: whether the option is made from this entry; ``False``
        where the command defines the option itself.
    :param settings: assigned on ``CollectorSettings`` by ``record`` before
        the recording starts.
    """

    name: str
    dest: str
    env: Optional[str]
    kind: Kind
    commands: Tuple[str, ...]
    help: str
    option: bool = True
    settings: bool = False

    @property
    def flag(self) -> str:
        return "--" + self.name


KEYS: Tuple[Key, ...] = (
    Key("project-root", "project_root", None, DIRECTORY, RECORD + ("generate-tests",),
        "root of the project whose functions are recorded (default: the directory "
        "of the pyproject.toml that configures tarnwick, else the current directory)"),
    Key("store", "store", "TARNWICK_STORE", STORE, ALL,
        "the store: a SQLite file (default: PROJECT_ROOT/.tarnwick/records.sqlite3) "
        "or a PostgreSQL URL (postgresql://USER@HOST/DATABASE)"),
    Key("tenant-id", "tenant_id", "TARNWICK_TENANT_ID", TEXT, RECORD,
        "tenant identity sent with every metric"),
    Key("project-id", "project_id", "TARNWICK_PROJECT_ID", TEXT, RECORD,
        "project identity sent with every metric"),
    Key("exclude", "exclude", "TARNWICK_EXCLUDE", PATHS, RECORD,
        "a file or directory, relative to the project root, whose modules are "
        "not recorded (repeatable)"),
    Key("sampling-rate", "sampling_rate", "TARNWICK_SAMPLING_RATE", RATE, RECORD,
        "share of calls recorded, between 0 and 1 (default 1)"),
    Key("external-calls-max", "external_calls_max", "TARNWICK_EXTERNAL_CALLS_MAX",
        COUNT(0), RECORD, "external calls kept per recorded call (default 50)"),
    Key("buffer-messages", "buffer_messages", "TARNWICK_CHANNEL_BUFFER_MESSAGES",
        COUNT(1), RECORD,
        "messages each channel may buffer before dropping (default 100000)"),
    Key("buffer-bytes", "buffer_bytes", "TARNWICK_CHANNEL_BUFFER_BYTES", COUNT(1), RECORD,
        "bytes each channel may buffer before dropping (default 64 MiB)"),
    Key("max-store-size", "max_store_size", "TARNWICK_MAX_STORE_SIZE", SIZE, RECORD,
        "stop storing messages once the store has reached SIZE (e.g. 500MB, 2G); "
        "those sent later are counted as not stored"),
    Key("redact", "redact", "TARNWICK_REDACT", PATTERNS, RECORD,
        "redaction patterns added to the default ones, or off", option=False),
    Key("trust", "trusted_types", "TARNWICK_TRUST", NAMES, RECORD,
        "record the values of the types of module NAME (and its submodules) or "
        "of class NAME as pickle writes them, although their classes customise "
        "pickling (repeatable)", settings=True),
)

_BY_NAME = {key.name: key for key in KEYS}


def keys_for(command: str) -> List[Key]:
    return [key for key in KEYS if command in key.commands]


def value_options(command: str) -> List[str]:
    """The options of ``command`` made from :data:`KEYS` (all take a value)."""
    return [key.flag for key in keys_for(command) if key.option]


def add_options(parser: argparse.ArgumentParser, command: str) -> None:
    """Add the options of ``command``'s settings to ``parser``; each
    defaults to ``None`` (not given)."""
    for key in keys_for(command):
        if not key.option:
            continue
        kind = key.kind

        def parse(text: str, kind: Kind = kind) -> Any:
            try:
                return kind.from_text(text)
            except ValueError as exc:
                raise argparse.ArgumentTypeError(str(exc)) from None

        parse.__name__ = kind.metavar.lower()
        parser.add_argument(key.flag, dest=key.dest, type=parse, metavar=kind.metavar,
                            action="append" if kind.multiple else "store",
                            help=key.help)


# --- the file --------------------------------------------------------------

def _toml_loads(text: str) -> Dict[str, Any]:
    if sys.version_info >= (3, 11):
        import tomllib
    else:  # pragma: no cover - the interpreters before 3.11
        import tomli as tomllib
    return tomllib.loads(text)


@dataclass
class ConfigFile:
    """A ``pyproject.toml`` with a ``[tool.tarnwick]`` table."""

    path: str
    table: Dict[str, Any]

    @property
    def directory(self) -> str:
        return os.path.dirname(self.path)


def read_file(path: str) -> Optional[ConfigFile]:
    """The ``[tool.tarnwick]`` table of ``path``; ``None`` when it has none.

    :raises ConfigError: a file that cannot be read or is not valid TOML, or
        a ``tool.tarnwick`` that is not a table.
    """
    path = os.path.abspath(path)
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except (OSError, UnicodeDecodeError) as exc:
        raise ConfigError(f"cannot read {path}: {exc}") from None
    try:
        data = _toml_loads(text)
    except ValueError as exc:  # tomllib.TOMLDecodeError
        raise ConfigError(f"{path}: not valid TOML: {exc}") from None
    tool = data.get("tool")
    if not isinstance(tool, dict) or "tarnwick" not in tool:
        return None
    table = tool["tarnwick"]
    if not isinstance(table, dict):
        raise ConfigError(f"{path}: [{TABLE}] must be a table, not {_toml_type(table)}")
    return ConfigFile(path, table)


def find_file(start: str) -> Optional[ConfigFile]:
    """The first ``pyproject.toml`` with a ``[tool.tarnwick]`` table in
    ``start`` or a directory above it."""
    directory = os.path.abspath(start)
    while True:
        candidate = os.path.join(directory, FILE_NAME)
        if os.path.isfile(candidate):
            found = read_file(candidate)
            if found is not None:
                return found
        parent = os.path.dirname(directory)
        if parent == directory:
            return None
        directory = parent


def _file_values(config: ConfigFile) -> Dict[str, Any]:
    """The table's values by key name, read and checked."""
    values = {}
    for name, raw in config.table.items():
        key = _BY_NAME.get(name)
        if key is None:
            raise ConfigError(f"{config.path}: [{TABLE}] unknown key {name!r}"
                              f"{_suggestion(name)}")
        try:
            values[name] = key.kind.from_file(raw, config.directory)
        except ValueError as exc:
            raise ConfigError(f"{config.path}: [{TABLE}] {name}: {exc}") from None
    return values


def _suggestion(name: str) -> str:
    spelled = name.replace("_", "-").lower()
    if spelled in _BY_NAME:
        return f" (did you mean {spelled!r}?)"
    close = difflib.get_close_matches(spelled, list(_BY_NAME), n=1)
    if close:
        return f" (did you mean {close[0]!r}?)"
    return f" (known keys: {', '.join(_BY_NAME)})"


# --- precedence ------------------------------------------------------------

#: Where a setting's value came from, as :func:`resolve` notes it.
FROM_COMMAND_LINE = "command line"
FROM_ENVIRONMENT = "environment"
FROM_FILE = "file"


def resolve(opts: argparse.Namespace, command: str,
            environ: Optional[Mapping[str, str]] = None,
            cwd: Optional[str] = None) -> Optional[ConfigFile]:
    """Fill every setting's attribute of ``opts`` from the command line,
    else the environment, else the file, else ``None`` (its default).
    ``opts.project_root`` ends as an absolute directory and
    ``opts.config_sources`` maps each given setting to where it came from.
    Returns the file read, if any.

    :raises ConfigError: a bad file, key or value (in the file or the
        environment).
    """
    environ = os.environ if environ is None else environ
    cwd = os.path.abspath(cwd or os.getcwd())
    given_root = getattr(opts, "project_root", None)
    config = find_file(given_root or cwd)
    from_file = _file_values(config) if config is not None else {}
    sources: Dict[str, str] = {}
    for key in KEYS:
        value = getattr(opts, key.dest, None) if key.option and command in key.commands \
            else None
        if key.kind.multiple and isinstance(value, list):
            value = tuple(v for group in value for v in group) if value else None
        source = FROM_COMMAND_LINE
        raw = environ.get(key.env) if key.env else None
        if value is None and raw is not None and raw.strip():
            try:
                value = key.kind.from_text(raw)
            except ValueError as exc:
                raise ConfigError(f"{key.env}: {exc}") from None
            source = FROM_ENVIRONMENT
        if value is None and key.name in from_file:
            value, source = from_file[key.name], FROM_FILE
        if value is not None:
            sources[key.name] = source
        setattr(opts, key.dest, value)
    if opts.project_root is None:
        opts.project_root = config.directory if config is not None else cwd
    opts.config_sources = sources
    return config


def settings_values(opts: argparse.Namespace) -> Dict[str, Any]:
    """The resolved values ``record`` assigns on ``CollectorSettings``."""
    return {key.dest: getattr(opts, key.dest) for key in KEYS
            if key.settings and getattr(opts, key.dest, None) is not None}


__all__ = [
    "ConfigError", "ConfigFile", "Key", "KEYS", "Kind", "TABLE", "add_options",
    "find_file", "keys_for", "read_file", "resolve", "settings_values", "value_options",
]
