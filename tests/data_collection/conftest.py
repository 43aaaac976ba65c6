"""Fixtures shared by the recording-core tests."""
import pytest


@pytest.fixture(autouse=True)
def _no_attribute_uses_on_record(fresh_used_attributes):
    """Every recording-core test starts from empty used-attribute maps."""
