"""Cases of the recording core that the other marrowick tests leave out:
the deep size estimate taken from pympler at each use."""
import pytest

from tarnwick_collector.data_collection import marrowick as mw


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
