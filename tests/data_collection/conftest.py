"""Fixtures shared by the recording-core tests."""
import pytest

from tarnwick_collector.data_collection.used_attributes_collector import (
    followed_types,
    used_attributes,
)


@pytest.fixture(autouse=True)
def fresh_used_attributes():
    """Each test starts with no attribute uses on record: the map lives as
    long as the process, and recordings made by other tests (of the
    tracer, say) leave entries in it. What was there is put back after."""
    saved = dict(used_attributes), dict(followed_types)
    used_attributes.clear()
    followed_types.clear()
    yield
    used_attributes.clear()
    used_attributes.update(saved[0])
    followed_types.clear()
    followed_types.update(saved[1])
