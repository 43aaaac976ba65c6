"""The reading commands piped into a reader that goes away early (as
``tarnwick stats | head`` does): they end quietly, without a traceback."""
import subprocess
import sys

import pytest

import tw_record_fakes as fakes
from tarnwick_collector.channels import close_channels, open_channels


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    root = tmp_path_factory.mktemp("piped")
    path = str(root / "records.sqlite3")
    data, metrics = open_channels(path, str(root))
    for i in range(40):
        data.send_message(fakes.user_call(
            f"app.module_{i % 7}.function_{i}", args=(i, "x" * 50),
            params=("n", "text"), returned=[i] * 10))
        metrics.send_message(fakes.metric("CollectionTry"))
        metrics.send_message(fakes.metric("CollectionSuccess"))
    close_channels(data, metrics)
    return path


@pytest.mark.parametrize("args", [
    ["stats"], ["stats", "--json"], ["show"], ["show", "--json"],
    ["show", "--limit", "1"], ["--help"], ["--version"],
], ids=" ".join)
def test_closed_output_pipe_ends_quietly(store, args):
    if args[0] in ("stats", "show"):
        args = args + ["--store", store]
    proc = subprocess.Popen([sys.executable, "-m", "tarnwick_collector", *args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.close()  # the reader is gone before anything is written
    try:
        err = proc.stderr.read().decode()
        status = proc.wait(timeout=120)
    finally:
        proc.stderr.close()
    assert err == ""
    assert status == 0
