"""Messages shaped like the collector's, built without the compiled modules.

``FakePickler`` writes instances of the classes made by ``fake_class`` as if
they were the classes at the given dotted path, which need not exist (or
may be the real, compiled ones): the stream names the path, exactly as the
collector's messages name its record and metric classes.
"""
import io
import pickle
from typing import Any, Dict, Optional, Tuple

PELLORY = "tarnwick_collector.data_collection.pellory"
METRICS = "tarnwick_collector.data_collection.metrics"
PICKLER = "tarnwick_collector.data_serialization.pickler"
WRAPPERS = "tarnwick_common.utils.object_wrapper"

_classes: Dict[Tuple[str, str], type] = {}


def fake_class(module: str, qualname: str) -> type:
    key = (module, qualname)
    if key not in _classes:
        _classes[key] = type(qualname.rsplit(".", 1)[-1], (), {"_fake_path": key})
    return _classes[key]


class FakeCall:
    """Pickles as a call of the function at ``module.name`` with ``args``
    (and ``state`` applied afterwards)."""

    def __init__(self, module: str, name: str, *args: Any, state: Any = None) -> None:
        self.func = fake_class(module, name)
        self.args = args
        self.state = state


class FakePickler(pickle._Pickler):  # the pure-Python pickler lets us write names
    def save_global(self, obj: Any, name: Optional[str] = None) -> None:
        path = getattr(obj, "_fake_path", None) if isinstance(obj, type) else None
        if path is None:
            return super().save_global(obj, name)
        self.save(path[0])
        self.save(path[1])
        self.write(pickle.STACK_GLOBAL)
        self.memoize(obj)

    def reducer_override(self, obj: Any) -> Any:
        if isinstance(obj, FakeCall):
            if obj.state is None:
                return (obj.func, obj.args)
            return (obj.func, obj.args, obj.state)
        return NotImplemented


def dumps(obj: Any) -> bytes:
    buf = io.BytesIO()
    FakePickler(buf, protocol=4).dump(obj)
    return buf.getvalue()


def instance(module: str, qualname: str, **attrs: Any) -> Any:
    obj = fake_class(module, qualname).__new__(fake_class(module, qualname))
    obj.__dict__.update(attrs)
    return obj


def loadclass(name: str) -> FakeCall:
    """A function or class written by name, as the safe pickler does."""
    return FakeCall("jsonpickle.unpickler", "loadclass", name)


def wrap_exception(name: str, *args: Any) -> FakeCall:
    return FakeCall(PICKLER, "wrap_exception", name, args, {})


def fullargspec(*names: str, varargs: Optional[str] = None) -> Any:
    return FakeCall("inspect", "FullArgSpec", list(names), varargs, None, None, [], None, {})


def user_call(full_name: str, args: tuple = (), kwargs: Optional[dict] = None,
              after: Optional[tuple] = None, returned: Any = None,
              raised: Any = None, globals_: Optional[dict] = None,
              external: Tuple[Tuple[str, Any], ...] = (),
              params: Tuple[str, ...] = (),
              raw: Optional[Dict[str, bytes]] = None) -> bytes:
    """A data message: one finished call of ``full_name``. ``raw`` gives
    serialized fields (``pre_run_args``...) as they are to be stored."""
    module = full_name.rsplit(".", 1)[0]
    meta = instance(PELLORY, "UserFunctionMetadata", code_hash="0" * 32,
                    full_path=f"/project/{module.replace('.', '/')}.py",
                    co_names=(), function_signature=dumps(fullargspec(*params)),
                    is_async=False, module_name=module, full_name=full_name)
    externals = []
    for name, result in external:
        ext_meta = instance(PELLORY, "ExternalFunctionMetadata", is_builtin=False,
                            is_function_for_recording=True,
                            module_name=name.rsplit(".", 1)[0], full_name=name)
        externals.append(instance(
            PELLORY, "ExternalFunctionCall", function_metadata=ext_meta,
            post_run_args=None, post_run_kwargs=None, pre_run_args=dumps(None),
            pre_run_kwargs=dumps(None), globals=None, return_value=dumps(result),
            execption=dumps(type(None))))
    record = instance(
        PELLORY, "UserFunctionCall",
        external_calls=externals, awaited_functions=[], function_metadata=meta,
        post_run_args=dumps(after if after is not None else args),
        post_run_kwargs=dumps(kwargs or {}),
        pre_run_args=dumps(args), pre_run_kwargs=dumps(kwargs or {}),
        globals=dumps(globals_ or {}),
        return_value=dumps(returned), execption=dumps(raised if raised is not None else type(None)),
        unknown_modules=set(),
    )
    record.__dict__.update(raw or {})
    return dumps(record)


def metric(kind: str, **own: Any) -> bytes:
    """A metrics message of class ``kind`` with the four common values."""
    attrs = dict(own)
    attrs.update(tenant_id="t", project_id="p", python_version="3.11",
                 collector_version="0.1.0")
    return dumps(instance(METRICS, kind, **attrs))


def failure_reason(value: str) -> FakeCall:
    return FakeCall(METRICS, "FailureReasons", value)


def write_store(path: str, runs: Any) -> None:
    """A store holding ``runs``: (run id, command, data messages) in the
    order the runs started; rows go in directly, as the channels' receivers
    would write them."""
    from tarnwick_collector.store import sqlite_store
    from tarnwick_collector.store.decoding import DecodeError, describe_data_message

    conn = sqlite_store.open_for_writing(path)
    try:
        for session, command, messages in runs:
            sqlite_store.record_session(conn, session, command, None)
            rows = []
            for i, message in enumerate(messages):
                try:
                    full_name, module = describe_data_message(message)
                    error = None
                except DecodeError as exc:
                    full_name = module = None
                    error = str(exc)
                rows.append((session, 1_700_000_000.0 + i, full_name, module,
                             len(message), error, message))
            if rows:
                sqlite_store.insert_data_rows(conn, rows)
    finally:
        conn.close()
