"""Stand-ins for the recording core: they log what the tracer reports, so
the tracer can be tested without the real core."""
from typing import Any, List, Optional

from tarnwick_collector.tracer import _trampolines


class Record:
    """What a fake entry point hands back to the tracer."""

    def __init__(self, kind: str, called: Any) -> None:
        self.kind = kind
        self.called = called

    def __repr__(self) -> str:
        return f"<{self.kind} record>"


class FakeCore:
    """Logs every report as a tuple in ``events``; returns a record for every
    offered call (so every path of the tracer is taken).

    ``pending`` in the end-of-call events is the exception the tracer left
    pending when it called (None after a normal return).
    """

    def __init__(self, record_calls: bool = True,
                 record_external: bool = True) -> None:
        self.events: List[tuple] = []
        self.record_calls = record_calls
        self.record_external = record_external
        self.record_user_function_return_value = \
            _trampolines.pending_exception_adapter(self._user_return)
        self.record_external_return_value = \
            _trampolines.pending_exception_adapter(self._external_return)
        self.record_generator_return_value = \
            _trampolines.pending_exception_adapter(self._generator_return)

    def record_user_function_call(self, called, *args, **kwargs):
        record = Record("user", called) if self.record_calls else None
        self.events.append(("call", called, args, kwargs, record))
        return record

    def _user_return(self, ret_val, record, pending):
        self.events.append(("return", record, ret_val, pending))

    def record_external_call(self, call, did_check=0):
        record = Record("external", call) if self.record_external else None
        self.events.append(("external", call, did_check, record))
        return record

    def _external_return(self, ret_val, record, pending):
        self.events.append(("external_return", record, ret_val, pending))

    def record_generator_yield(self, value, record, delegated=False):
        self.events.append(("yield", record, value, delegated))
        return ("token", record)

    def record_generator_resume(self, record, token, sent=None, thrown=None):
        self.events.append(("resume", record, token, sent, thrown))

    def _generator_return(self, ret_val, record, ending, pending):
        self.events.append(("generator_return", record, ret_val, ending, pending))

    def load_global_hook(self, global_obj, name):
        self.events.append(("global", name, global_obj))

    def load_attr_hook(self, obj, attr, result):
        self.events.append(("attr", attr, obj, result))

    # -- queries

    def of(self, kind: str) -> List[tuple]:
        return [e for e in self.events if e[0] == kind]

    def called_names(self) -> List[str]:
        return [getattr(e[1], "__qualname__", repr(e[1]))
                for e in self.of("call")]

    def external_names(self) -> List[str]:
        return [getattr(e[1], "__qualname__", repr(e[1]))
                for e in self.of("external")]


class FailingCore(FakeCore):
    """Every entry point counts its call, then raises ``exc``; with
    ``accept_calls`` the start of a user call succeeds instead (so the
    tracer goes on to the other entry points, which all fail)."""

    def __init__(self, exc: Optional[BaseException] = None,
                 accept_calls: bool = False) -> None:
        super().__init__()
        self.exc = exc if exc is not None else RuntimeError("core failure")
        self.accept_calls = accept_calls
        self.calls = 0

    def _fail(self):
        self.calls += 1
        # A new exception each time: one raised again keeps the traceback of
        # its last raise, whose frames keep the program's objects they were
        # given alive.
        raise type(self.exc)(*self.exc.args)

    def record_user_function_call(self, called, *args, **kwargs):
        if self.accept_calls:
            self.calls += 1
            return Record("user", called)
        self._fail()

    def _user_return(self, ret_val, record, pending):
        self._fail()

    def record_external_call(self, call, did_check=0):
        self._fail()

    def _external_return(self, ret_val, record, pending):
        self._fail()

    def record_generator_yield(self, value, record, delegated=False):
        self._fail()

    def record_generator_resume(self, record, token, sent=None, thrown=None):
        self._fail()

    def _generator_return(self, ret_val, record, ending, pending):
        self._fail()

    def load_global_hook(self, global_obj, name):
        self._fail()

    def load_attr_hook(self, obj, attr, result):
        self._fail()


class CountingCore(FakeCore):
    """Counts reports without keeping the objects (for long programs)."""

    def __init__(self) -> None:
        super().__init__()
        self.counts = {}
        self.open = 0

    def _count(self, kind):
        self.counts[kind] = self.counts.get(kind, 0) + 1

    def record_user_function_call(self, called, *args, **kwargs):
        self._count("call")
        self.open += 1
        return Record("user", None)

    def _user_return(self, ret_val, record, pending):
        self._count("return")
        self.open -= 1

    def record_generator_yield(self, value, record, delegated=False):
        self._count("yield")
        return None

    def record_generator_resume(self, record, token, sent=None, thrown=None):
        self._count("resume")

    def _generator_return(self, ret_val, record, ending, pending):
        self._count("return")
        self.open -= 1

    def record_external_call(self, call, did_check=0):
        self._count("external")
        return Record("external", None)

    def _external_return(self, ret_val, record, pending):
        self._count("external_return")

    def load_global_hook(self, global_obj, name):
        self._count("global")

    def load_attr_hook(self, obj, attr, result):
        self._count("attr")


