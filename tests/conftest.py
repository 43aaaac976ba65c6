"""Fixtures shared by the whole suite."""
import pytest

from tarnwick_collector.channels.memory import InMemoryChannel
from tarnwick_collector.configs.collector_settings import CollectorSettings

_SETTINGS_ATTRS = (
    "tenant_id", "project_id", "python_version", "lib_version", "serializer",
    "metrics_subprocess", "data_subprocess", "external_calls_max",
    "project_files", "project_path", "sampling_rate",
)


@pytest.fixture
def settings():
    """CollectorSettings with fresh in-memory channels; every attribute is
    restored afterwards, whatever the test changed."""
    saved = {name: getattr(CollectorSettings, name) for name in _SETTINGS_ATTRS}
    CollectorSettings.metrics_subprocess = InMemoryChannel("metrics")
    CollectorSettings.data_subprocess = InMemoryChannel("data")
    try:
        yield CollectorSettings
    finally:
        for name, value in saved.items():
            setattr(CollectorSettings, name, value)
