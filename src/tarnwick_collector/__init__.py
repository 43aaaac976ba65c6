"""tarnwick_collector: records calls of a running Python application so that
regression tests can be generated from them.

Recording in process::

    import tarnwick_collector

    tarnwick_collector.start(project_path="/path/to/project")
    import myapp            # project modules imported from now on are recorded
    myapp.main()
    tarnwick_collector.stop()

or, for a block of code, ``with tarnwick_collector.recording(...):``.

Only modules imported after :func:`start` are recorded: start it before the
project's modules are imported (the command line does this for a whole
program).
"""
import atexit
import math
import numbers
import os
import threading
from typing import Any, Iterable, Optional

__version__ = "0.1.0"

__all__ = ["start", "stop", "is_recording", "recording", "__version__"]

_lock = threading.Lock()
_started = False
_atexit_registered = False


def _check_identity(name: str, value: Any) -> None:
    if value is not None and type(value) is not str:
        raise TypeError(f"{name} must be a str or None, "
                        f"not {type(value).__name__}")


def _check_channel(name: str, channel: Any) -> None:
    if channel is not None and not callable(getattr(channel, "send_message",
                                                    None)):
        raise TypeError(f"{name} must have a send_message(data) method")


def _validate(project_path: Any, tenant_id: Any, project_id: Any,
              external_calls_max: Any, sampling_rate: Any, data_channel: Any,
              metrics_channel: Any, serializer: Any,
              exclude: Any) -> str:
    if project_path is None:
        project_path = os.getcwd()
    if not isinstance(project_path, (str, os.PathLike)):
        raise TypeError("project_path must be a path (str or os.PathLike), "
                        f"not {type(project_path).__name__}")
    project_path = os.fspath(project_path)
    if not isinstance(project_path, str):
        raise TypeError("project_path must be a text path, not bytes")
    if not os.path.isdir(project_path):
        raise ValueError(f"project_path is not a directory: {project_path!r}")
    _check_identity("tenant_id", tenant_id)
    _check_identity("project_id", project_id)
    if external_calls_max is not None:
        if isinstance(external_calls_max, bool) or \
                not isinstance(external_calls_max, numbers.Integral):
            raise TypeError("external_calls_max must be an int or None, "
                            f"not {type(external_calls_max).__name__}")
        if external_calls_max < 0:
            raise ValueError("external_calls_max must not be negative, "
                             f"got {external_calls_max}")
    if isinstance(sampling_rate, bool) or \
            not isinstance(sampling_rate, numbers.Real):
        raise TypeError("sampling_rate must be a number between 0 and 1, "
                        f"not {type(sampling_rate).__name__}")
    # (numbers.Real's stubs define no comparison with a float)
    if math.isnan(sampling_rate) or \
            not 0.0 <= sampling_rate <= 1.0:  # type: ignore[operator]
        raise ValueError("sampling_rate must be between 0 and 1, "
                         f"got {sampling_rate!r}")
    _check_channel("data_channel", data_channel)
    _check_channel("metrics_channel", metrics_channel)
    if serializer is not None and not callable(getattr(serializer,
                                                       "serialize", None)):
        raise TypeError("serializer must have a serialize(obj) method")
    if isinstance(exclude, (str, bytes)) or not all(
            isinstance(e, str) for e in exclude):
        raise TypeError("exclude must be an iterable of str paths")
    return os.path.abspath(project_path)


def _send_metric(settings: Any, metric: Any) -> None:
    """Send one metric; a failing channel or serializer never reaches the
    program."""
    try:
        settings.metrics_subprocess.send_message(
            settings.serializer.serialize(metric))
    except Exception:
        pass


def _loss_reporter(settings: Any) -> Any:
    """The tracer's reporter of a lost call: a call offered for recording
    whose failure the core could not report itself (near the recursion
    limit, its metric cannot be built there). It sends one
    ``CollectorFailure`` with the reason the tracer gives; a failure
    propagates, so that the tracer keeps a call lost at the recursion limit
    for its next chance."""
    from tarnwick_collector.data_collection.metrics import (
        CollectorFailure,
        FailureReasons,
    )

    def report(reason: str) -> None:
        metric = CollectorFailure(*_identity(settings), FailureReasons(reason))
        settings.metrics_subprocess.send_message(
            settings.serializer.serialize(metric))

    return report


def _instrumentation_reporter(settings: Any) -> Any:
    """The reporter of a project module the instrumenter failed on (it is
    loaded as written, and its calls are not recorded): one
    ``InstrumentationFailure`` naming the module and the error."""
    from tarnwick_collector.data_collection.metrics import InstrumentationFailure

    def report(module: str, error: str) -> None:
        _send_metric(settings, InstrumentationFailure(
            *_identity(settings), module, error[:500]))

    return report


def _report_lost_calls(settings: Any) -> None:
    """One ``CallsLost`` for each function whose recording ended, with the
    calls of it not recorded since (the ``RecordingEnded`` sent when it
    ended names the type that ended it)."""
    try:
        from tarnwick_collector.data_collection import marrowick
        from tarnwick_collector.data_collection.metrics import CallsLost
    except ImportError:
        return
    lost = getattr(marrowick, "LOST_CALLS", None)
    while lost:
        try:
            name, count = lost.popitem()
        except KeyError:
            break
        try:
            _send_metric(settings, CallsLost(*_identity(settings), name, count))
        except Exception:
            pass


def _send_left_out(settings: Any) -> None:
    """One ``CallsLeftOut`` per kind of call the recorder leaves out by
    design (lambdas, async generators), with how many ran while recording
    was on."""
    from tarnwick_collector.data_collection.metrics import CallsLeftOut
    from tarnwick_collector.tracer import _trampolines

    for kind, count in _trampolines.take_left_out().items():
        _send_metric(settings, CallsLeftOut(*_identity(settings), kind, count))


def _identity(settings: Any) -> tuple:
    return (settings.tenant_id, settings.project_id, settings.python_version,
            settings.lib_version)


def start(project_path: Optional[str] = None,
          tenant_id: Optional[str] = None,
          project_id: Optional[str] = None,
          external_calls_max: Optional[int] = None,
          sampling_rate: float = 1.0,
          *,
          data_channel: Any = None,
          metrics_channel: Any = None,
          serializer: Any = None,
          exclude: Iterable[str] = (),
          redact: Optional[Iterable[str]] = None,
          trust: Optional[Iterable[str]] = None) -> None:
    """Start recording the project's functions.

    :param project_path: the project's root directory; modules whose source
        file lies under it (outside installed packages, virtual environments
        and this package) are recorded. Default: the current directory.
    :param tenant_id: identity sent with every metric. Default: keep
        ``CollectorSettings.tenant_id`` (from ``TARNWICK_TENANT_ID``).
    :param project_id: likewise for ``CollectorSettings.project_id``
        (``TARNWICK_PROJECT_ID``).
    :param external_calls_max: how many external calls one recorded call
        keeps. Default: keep ``CollectorSettings.external_calls_max`` (50,
        or ``TARNWICK_EXTERNAL_CALLS_MAX``).
    :param sampling_rate: the probability, between 0 and 1, with which each
        call of a project function is recorded. Default 1.0: every call.
    :param data_channel: where finished call records go (an object with
        ``send_message(bytes)``). Default: keep
        ``CollectorSettings.data_subprocess``.
    :param metrics_channel: likewise for metrics
        (``CollectorSettings.metrics_subprocess``).
    :param serializer: an object with ``serialize(obj, object_wrapper=True)``.
        Default: keep ``CollectorSettings.serializer``.
    :param exclude: paths, relative to the project root, whose modules are
        not recorded.
    :param redact: the redaction patterns in force: values stored under a
        name that contains one of them are stored as ``<redacted>`` (see
        ``tarnwick_common.redaction``); an empty list turns redaction off.
        Default: keep ``CollectorSettings.redact_patterns`` (the default
        patterns and those of ``TARNWICK_REDACT``).
    :param trust: modules (covering their submodules) and dotted class
        names whose types' pickling is trusted: their values are written as
        stock pickle writes them instead of being refused because their
        classes customise pickling. Default: keep
        ``CollectorSettings.trusted_types`` (``TARNWICK_TRUST``).
    :raises TypeError: an argument of the wrong type.
    :raises ValueError: a value out of range, or a project path that is not
        a directory.
    :raises RuntimeError: recording has already started.
    :raises ImportError: the recording core is not built.

    Sends ``StartEvent``, ``SamplingRateWasSet`` and
    ``ExternalCallsMaxLimitWasSet`` on the metrics channel.
    """
    global _started, _atexit_registered
    exclude = tuple(exclude) if not isinstance(exclude, (str, bytes)) \
        else exclude
    root = _validate(project_path, tenant_id, project_id, external_calls_max,
                     sampling_rate, data_channel, metrics_channel, serializer,
                     exclude)
    if redact is not None:
        from tarnwick_common.redaction import normalize_patterns

        redact = normalize_patterns(redact, "redact pattern")
    if trust is not None:
        from tarnwick_collector.data_serialization import trusted

        trust = tuple(trusted.validate_names(trust))
    from tarnwick_collector import tracer
    from tarnwick_collector.configs.collector_settings import CollectorSettings
    from tarnwick_collector.data_collection import marrowick
    from tarnwick_collector.data_collection.metrics import (
        ExternalCallsMaxLimitWasSet,
        SamplingRateWasSet,
        StartEvent,
    )

    with _lock:
        if _started:
            raise RuntimeError("recording has already started; "
                               "call tarnwick_collector.stop() first")
        settings = CollectorSettings
        if tenant_id is not None:
            settings.tenant_id = tenant_id
        if project_id is not None:
            settings.project_id = project_id
        if external_calls_max is not None:
            settings.external_calls_max = int(external_calls_max)
        settings.sampling_rate = float(sampling_rate)
        if data_channel is not None:
            settings.data_subprocess = data_channel
        if metrics_channel is not None:
            settings.metrics_subprocess = metrics_channel
        if serializer is not None:
            settings.serializer = serializer
        if redact is not None:
            settings.redact_patterns = redact
        if trust is not None:
            settings.trusted_types = trust
        project = tracer.Project(root, exclude)
        project.on_failure = _instrumentation_reporter(settings)
        project.discover()
        settings.project_path = project.root
        settings.project_files = project.files

        identity = _identity(settings)
        _send_metric(settings, StartEvent(*identity))
        _send_metric(settings, SamplingRateWasSet(*identity,
                                                  settings.sampling_rate))
        _send_metric(settings, ExternalCallsMaxLimitWasSet(
            *identity, settings.external_calls_max))

        tracer.install_project(project, marrowick, settings.sampling_rate)
        tracer._trampolines.set_loss_reporter(_loss_reporter(settings))
        _started = True
        if not _atexit_registered:
            atexit.register(stop)
            _atexit_registered = True


def stop() -> None:
    """Stop recording and send ``ExitEvent``. Calls being recorded when it is
    called still finish and are sent. Does nothing when recording has not
    started (so it is safe to call twice)."""
    global _started
    with _lock:
        if not _started:
            return
        _started = False
        from tarnwick_collector import tracer
        from tarnwick_collector.configs.collector_settings import CollectorSettings
        from tarnwick_collector.data_collection.metrics import ExitEvent

        tracer.uninstall()
        try:
            tracer._trampolines.flush_lost_calls()
        except Exception:
            pass
        _report_lost_calls(CollectorSettings)
        _send_left_out(CollectorSettings)
        _send_metric(CollectorSettings,
                     ExitEvent(*_identity(CollectorSettings)))


def is_recording() -> bool:
    """Whether :func:`start` has been called and :func:`stop` not yet."""
    return _started


class recording:
    """``with recording(...):`` starts recording on entry and stops it on
    exit; it takes the arguments of :func:`start`."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        self._args = args
        self._kwargs = kwargs

    def __enter__(self) -> "recording":
        start(*self._args, **self._kwargs)
        return self

    def __exit__(self, *exc_info: Any) -> None:
        stop()
