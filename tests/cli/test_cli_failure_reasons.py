"""``tarnwick stats`` names the collection failures in words a reader can
act on, also when the collector sent no type with them."""
import json
import subprocess
import sys

import pytest

import tw_record_fakes as fakes
from tarnwick_collector.channels import close_channels, open_channels


def unpicklable(reason, object_type):
    return fakes.metric(
        "Unpicklable", object_type=object_type,
        unpicklable_reason=fakes.FakeCall(fakes.METRICS, "UnpicklableReasons", reason),
        reason=fakes.failure_reason("unpicklable"))


@pytest.fixture
def store(tmp_path):
    path = str(tmp_path / "records.sqlite3")
    data, metrics = open_channels(path, str(tmp_path))
    for message in ([unpicklable("general", "")] * 3
                    + [unpicklable("reduce", "collections.deque")]):
        metrics.send_message(message)
    close_channels(data, metrics)
    return path


def test_failures_without_a_type_are_explained(store):
    proc = subprocess.run([sys.executable, "-m", "tarnwick_collector", "stats",
                           "--json", "--store", store],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    failures = {f["reason"]: f["count"] for f in json.loads(proc.stdout)["failures"]}
    assert failures == {
        "unpicklable: general: calls not recorded (arguments or signature not "
        "serializable, arguments too large, or the function refused before)": 3,
        "unpicklable: reduce (collections.deque)": 1,
    }
