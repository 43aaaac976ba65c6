"""Cost of the recording core's entry points, each against a baseline
measured in the same run:

- the name-load hooks on their common paths (an attribute load on an
  object that is not followed, a global load on a thread without a current
  tracker) and the external-call entry for a builtin that is not recorded,
  against an empty call of a C function (``len`` of a small tuple);
- a full recorded call cycle of a small function (entry, two external calls
  each reported before and after, end of the call with the record sent),
  against calling the function plainly.
"""
import timeit

from tarnwick_collector.configs.collector_settings import CollectorSettings
from tarnwick_collector.data_collection import marrowick as mw
from tarnwick_collector.data_collection.trindle import Trindle, TrindleTracker

REPEAT = 7


class NullChannel:
    """Takes every message and keeps none."""

    def send_message(self, data):
        pass


class NullSerializer:
    """Serializes everything to the same short message."""

    def serialize(self, obj, object_wrapper=True):
        return b"x"


def double(x):
    return x * 2


def halve(x):
    return x // 2


def small(x):
    return double(x) + halve(x)


def recorded_small(x):
    """`small(x)` as the native tracer reports it to the recording core."""
    rec = mw.record_user_function_call(small, x)
    e1 = mw.record_external_call(double, 1)
    r1 = double(x)
    if e1 is not None:
        mw.record_external_return_value(r1, e1)
    e2 = mw.record_external_call(halve, 1)
    r2 = halve(x)
    if e2 is not None:
        mw.record_external_return_value(r2, e2)
    result = r1 + r2
    mw.record_user_function_return_value(result, rec)
    return result


def best_ns(stmt, namespace, number):
    """Best time of one execution of `stmt`, in nanoseconds."""
    timer = timeit.Timer(stmt, globals=namespace)
    return min(timer.repeat(repeat=REPEAT, number=number)) / number * 1e9


def table(title, rows):
    baseline = rows[0][1]
    print(f"{title:<56}{'ns/call':>10}{'ratio':>8}")
    for name, ns in rows:
        print(f"{name:<56}{ns:>10.1f}{ns / baseline:>8.2f}")
    print()


def main():
    CollectorSettings.metrics_subprocess = NullChannel()
    CollectorSettings.data_subprocess = NullChannel()
    Trindle.set_current_running_function(None)
    unfollowed = object()
    namespace = {
        "len": len, "t": (1, 2), "mw": mw, "obj": unfollowed,
        "attr_hook": mw.load_attr_hook, "global_hook": mw.load_global_hook,
        "external": mw.record_external_call,
    }
    assert id(unfollowed) not in mw.IDS_TO_FOLLOW

    number = 500_000
    hooks = [
        ("len(small tuple) (baseline)", best_ns("len(t)", namespace, number)),
        ("load_attr_hook, object not followed",
         best_ns("attr_hook(obj, 'a', 1)", namespace, number)),
        ("load_global_hook, no current tracker",
         best_ns("global_hook(obj, 'g')", namespace, number)),
    ]
    # An external call reported while a recorded call is current.
    Trindle.set_current_running_function(TrindleTracker("bench.f"))
    assert mw.record_external_call(len) is None
    hooks.append(("record_external_call(len), not recorded",
                  best_ns("external(len)", namespace, number // 5)))
    Trindle.set_current_running_function(None)
    table("name-load hooks and external entry", hooks)

    assert recorded_small(10) == small(10)
    serializer = type(CollectorSettings.serializer).__name__
    cycle_ns = {"small": small, "recorded_small": recorded_small}
    number = 2_000
    rows = [
        ("small(10) called plainly (baseline)",
         best_ns("small(10)", cycle_ns, number * 50)),
        (f"entry + 2 external calls + end ({serializer})",
         best_ns("recorded_small(10)", cycle_ns, number)),
    ]
    # The same with a serializer that does no work: the core's own share.
    real = CollectorSettings.serializer
    CollectorSettings.serializer = NullSerializer()
    try:
        rows.append(("the same, serializer doing nothing",
                     best_ns("recorded_small(10)", cycle_ns, number)))
    finally:
        CollectorSettings.serializer = real
    table("recorded call cycle", rows)

if __name__ == "__main__":
    main()
