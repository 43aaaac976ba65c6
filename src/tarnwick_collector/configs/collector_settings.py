"""Settings of the collector.

``CollectorSettings`` is used as a namespace: the compiled modules read its
attributes on the class itself at each use, so assigning an attribute takes
effect for the next recorded call. ``tarnwick_collector.start`` fills it;
the defaults below make the recording core usable on its own (tests).

Environment variables read at import:

- ``TARNWICK_TENANT_ID``, ``TARNWICK_PROJECT_ID``: the identity values sent
  with every metric (default ``None``).
- ``TARNWICK_EXTERNAL_CALLS_MAX``: the default for ``external_calls_max``.
- ``TARNWICK_GENERATOR_YIELDS_MAX``: the default for
  ``generator_yields_max``.
- ``TARNWICK_REDACT``: extra redaction patterns, comma-separated, added to
  the default ones; ``off`` turns redaction off (``redact_patterns``).
- ``TARNWICK_TRUST``: modules and classes whose pickling is trusted,
  comma-separated (``trusted_types``).
"""
import os
import platform
from typing import Any, FrozenSet, Optional, Set, Tuple, Union

from tarnwick_collector import __version__
from tarnwick_collector.channels.memory import InMemoryChannel
from tarnwick_collector.data_serialization.trusted import names_from_environment
from tarnwick_common.redaction import patterns_from_environment

#: How many external calls one recorded call keeps, unless configured.
DEFAULT_EXTERNAL_CALLS_MAX = 50
#: How many yielded values one recorded generator call keeps, unless
#: configured; later ones are only counted.
DEFAULT_GENERATOR_YIELDS_MAX = 100


def _env_int(name: str, default: int) -> int:
    raw = os.environ.get(name)
    if raw is None or raw.strip() == "":
        return default
    try:
        value = int(raw)
    except ValueError:
        raise ValueError(f"{name} must be an integer, got {raw!r}") from None
    if value < 0:
        raise ValueError(f"{name} must not be negative, got {value}")
    return value


class _DefaultSerializer:
    """The serializer in place until one is configured.

    On first use it installs the package's ``IpcPickleSerializer`` as
    ``CollectorSettings.serializer`` (it cannot be imported here: the
    serializer's own modules import these settings) and delegates to it.
    Accepts the three call forms of the recording core:
    ``serialize(obj)``, ``serialize(obj, False)`` and
    ``serialize(obj, object_wrapper=False)``.
    """

    def _real(self) -> Any:
        try:
            from tarnwick_collector.data_serialization.quessel import (
                IpcPickleSerializer,
            )
        except ImportError:
            return _PickleSerializer()
        real = IpcPickleSerializer()
        if CollectorSettings.serializer is self:
            CollectorSettings.serializer = real
        return real

    def serialize(self, obj: Any, object_wrapper: bool = True) -> bytes:
        return self._real().serialize(obj, object_wrapper)

    def deserialize(self, data: bytes) -> Any:
        return self._real().deserialize(data)


class _PickleSerializer:
    """Plain pickling, for builds without the compiled serializer."""

    def serialize(self, obj: Any, object_wrapper: bool = True) -> bytes:
        import pickle

        return pickle.dumps(obj, protocol=4)

    def deserialize(self, data: bytes) -> Any:
        import pickle

        return pickle.loads(data)


class CollectorSettings:
    """Process-wide settings read by the recording core at each use."""

    tenant_id: Optional[str] = os.environ.get("TARNWICK_TENANT_ID") or None
    project_id: Optional[str] = os.environ.get("TARNWICK_PROJECT_ID") or None
    python_version: Optional[str] = platform.python_version()
    lib_version: Optional[str] = __version__

    serializer: Any = _DefaultSerializer()
    metrics_subprocess: Any = InMemoryChannel("metrics")
    data_subprocess: Any = InMemoryChannel("data")

    external_calls_max: int = _env_int(
        "TARNWICK_EXTERNAL_CALLS_MAX", DEFAULT_EXTERNAL_CALLS_MAX
    )
    #: How many yielded values one recorded generator call keeps; the
    #: yields past it are counted in the record's ``yields_left_out``.
    generator_yields_max: int = _env_int(
        "TARNWICK_GENERATOR_YIELDS_MAX", DEFAULT_GENERATOR_YIELDS_MAX
    )
    project_files: Union[Set[str], FrozenSet[str]] = frozenset()
    project_path: str = os.getcwd()
    sampling_rate: float = 1.0
    #: Values stored under a name that one of these patterns is a part of
    #: (arguments, attributes, dict keys, environment variables) are stored
    #: as ``tarnwick_common.redaction.REDACTED``. Normalized patterns (see
    #: ``tarnwick_common.redaction.normalize_patterns``); ``()`` turns
    #: redaction off. Read at each serialization.
    redact_patterns: Tuple[str, ...] = patterns_from_environment()
    #: Modules (covering their submodules) and dotted class names whose
    #: types' pickling is trusted: their values are written as stock pickle
    #: writes them (see ``tarnwick_collector.data_serialization.trusted``).
    #: Set it through ``start(trust=...)`` or ``trusted.set_user_trusted``,
    #: or before recording starts.
    trusted_types: Tuple[str, ...] = names_from_environment()
