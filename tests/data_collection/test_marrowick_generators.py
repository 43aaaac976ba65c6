"""The core's generator entries, driven as the tracer drives them: a
generator call is one record whose tracker is current only while its body
runs, with the values it yielded (bounded), its resumptions and its ending;
sent at its end with the same metrics as any call."""
import threading

import pytest

from marrowick_support import current, env, load  # noqa: F401
from tarnwick_collector.data_collection import marrowick as mw


def numbers(n):
    yield from range(n)


def outer():
    return None


def fetch(url):
    return url


def start(fn, *args):
    rec = mw.record_user_function_call(fn, *args)
    assert rec is not None
    return rec


def test_values_resumptions_and_ending_make_one_record(env):  # noqa: F811
    rec = start(numbers, 3)
    gen_tracker = current()
    assert mw.record_generator_yield(0, rec) is gen_tracker
    assert current() is None  # back to what was current when it started
    caller = start(outer)
    caller_tracker = current()
    mw.record_generator_resume(rec, gen_tracker, None)
    assert current() is gen_tracker and gen_tracker.caller_function is caller_tracker
    mw.record_external_call(fetch)
    token = mw.record_generator_yield([1], rec)
    assert current() is caller_tracker
    mw.record_generator_resume(rec, token, 5)  # send(5)
    mw.record_generator_resume(rec, None, None, ValueError("in"))  # throw()
    mw.record_generator_return_value("end", rec, "returned")
    assert current() is caller_tracker  # the generator ended inside the caller
    mw.record_user_function_return_value(None, caller)

    sent = {r.function_metadata.full_name: r for r in env.records()}
    (gen,) = [r for name, r in sent.items() if name.endswith("numbers")]
    assert [load(v) for v in gen.yielded_values] == [0, [1]]
    assert (gen.yields_left_out, gen.yields_refused, gen.yields_delegated) == (0, 0, 0)
    assert (gen.generator_sends, gen.generator_throws) == (1, 1)
    assert gen.generator_ending == "returned"
    assert load(gen.return_value) == "end"
    assert load(gen.pre_run_args) == (3,)
    assert [c.function_metadata.full_name for c in gen.external_calls] == \
        [mw.EXTRACT_METADATA(fetch, True)[0].full_name]
    assert env.kinds() == ["CollectionTry", "CollectionTry", "CollectionSuccess",
                           "CollectionSuccess"]
    assert not hasattr([r for r in sent.values() if r is not gen][0], "yielded_values")


def test_a_value_is_recorded_as_it_was_when_yielded(env):  # noqa: F811
    rec = start(numbers, 1)
    value = [1]
    token = mw.record_generator_yield(value, rec)
    value.append(2)  # the consumer changes it
    mw.record_generator_resume(rec, token, None, GeneratorExit())  # close()
    mw.record_generator_return_value(None, rec, "closed")
    (gen,) = env.records()
    assert load(gen.yielded_values[0]) == [1]


def test_values_past_the_bound_and_refused_ones_are_counted(env):  # noqa: F811
    env.settings.generator_yields_max = 2  # restored by the fixture
    lock = threading.Lock()  # pickle refuses it with a TypeError
    rec = start(numbers, 5)
    for value in (0, lock, 1, 2, 3):
        token = mw.record_generator_yield(value, rec)
        mw.record_generator_resume(rec, token)
    token = mw.record_generator_yield(None, rec, True)
    mw.record_generator_resume(rec, token)
    mw.record_generator_return_value(None, rec, "abandoned")
    (gen,) = env.records()
    assert [load(v) for v in gen.yielded_values] == [0, 1]
    assert (gen.yields_left_out, gen.yields_refused, gen.yields_delegated) == (3, 1, 1)
    assert gen.yields_refused_types == ["lock"]
    assert gen.generator_ending == "abandoned"
    # The refused value is reported; the function stays recorded.
    assert "Unpicklable" in env.kinds()
    assert mw.EXTRACT_METADATA(numbers).full_name not in mw.BLACKLISTED_FUNCTIONS


def test_a_stopped_recording_is_left_alone_by_the_generator(env):  # noqa: F811
    rec = start(numbers, 1)
    mw.Trindle.set_current_running_function(None)  # a limit stopped it
    assert mw.record_generator_yield(1, rec) is None
    caller = start(outer)
    mw.record_generator_resume(rec, None)
    assert current() is not None  # the caller's tracker stays current
    mw.record_user_function_return_value(None, caller)


@pytest.mark.parametrize("ending", ["raised", "closed"])
def test_the_pending_exception_is_the_recorded_one(env, ending):  # noqa: F811
    from marrowick_support import call_with_pending

    rec = start(numbers, 1)
    error = KeyError("k") if ending == "raised" else GeneratorExit()
    call_with_pending(mw.record_generator_return_value, (None, rec, ending),
                      (type(error), error))
    (gen,) = env.records()
    # As for any call: an Exception by its value, other exceptions by type.
    recorded = load(gen.execption)
    if ending == "raised":
        assert type(recorded) is KeyError and recorded.args == ("k",)
    else:
        assert recorded is GeneratorExit
    assert gen.generator_ending == ending
