"""Cases of the recording core that the other marrowick tests leave out:
the deep size estimate taken from pympler at each use, and results of a
rebound metadata extractor that are subscripted like any other object."""
import types

import pytest

from marrowick_support import Pool, Session, env  # noqa: F401
from tarnwick_collector.data_collection import marrowick as mw
from tarnwick_collector.data_collection.trindle import Trindle, TrindleTracker


def fetch(url):
    return url


@pytest.mark.parametrize("value", [5, 2 ** 62, 1.5, True])
def test_replaced_estimate_function_is_asked_about_scalars(monkeypatch,
                                                           value):
    # The module keeps pympler's module; the function is read from it at
    # each use, so a replaced one decides even for small scalars.
    calls = []

    def estimate(obj, **kwargs):
        calls.append((obj, kwargs))
        return 10 ** 12

    monkeypatch.setattr(mw.asizeof, "asizeof", estimate)
    assert mw.is_size_too_big(value)
    assert calls == [(value, {"limit": 3})]


@pytest.fixture
def mapping_extractor(env, monkeypatch):
    """EXTRACT_METADATA rebound to one answering a {0: ..., 1: ...} mapping
    for external callees; a tracker is current."""
    real = mw.EXTRACT_METADATA

    def extract(fn, is_external_call=False):
        return dict(enumerate(real(fn, is_external_call)))

    monkeypatch.setattr(mw, "EXTRACT_METADATA", extract)
    tracker = TrindleTracker("pkg.f")
    Trindle.set_current_running_function(tracker)
    return real, tracker


@pytest.mark.parametrize("attr", [None, "__enter__", "__exit__"])
def test_extractor_result_is_subscripted_as_the_expression_does(
        mapping_extractor, attr):
    real, tracker = mapping_extractor
    # A Session method bound to a Pool is renamed after Pool's attribute.
    callee = (fetch if attr is None
              else types.MethodType(getattr(Session, attr), Pool()))
    expected = real(fetch if attr is None else getattr(Pool, attr),
                    True)[0].full_name
    rec = mw.record_external_call(callee, 1)
    assert tracker.recorded_functions == [rec]
    assert rec.function_metadata.full_name == expected


def plain(x):
    return x


@pytest.mark.parametrize("second, escapes", [
    (RuntimeError("still gone"), None),
    (KeyboardInterrupt(), KeyboardInterrupt),
])
def test_failed_hand_over_after_a_handled_failure(env, monkeypatch, second,
                                                  escapes):
    # The tracker cannot be read: the end reports and blacklists, and the
    # hand-over that follows cannot read it either. Only what the guarded
    # block would not catch escapes from that second failure.
    rec = mw.record_user_function_call(plain, 1)
    errors = [RuntimeError("map gone"), second]

    def broken(ident, default):
        raise errors.pop(0)

    monkeypatch.setattr(mw, "Trindle_thread_id_to_current_call_get", broken)
    if escapes is None:
        assert mw.record_user_function_return_value(None, rec) is None
    else:
        with pytest.raises(escapes):
            mw.record_user_function_return_value(None, rec)
    assert errors == []
    assert env.kinds() == ["CollectionTry", "CollectorFailure"]
    assert mw.EXTRACT_METADATA(plain).full_name in mw.BLACKLISTED_FUNCTIONS
