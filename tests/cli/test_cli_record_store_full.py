"""``tarnwick record`` when the store cannot take what the program sends
(the file may not grow, as on a full disk): the program runs as it would,
and the report line and ``stats`` say why calls are missing, in the
store's words, instead of calling them lost in transit."""
import json
import os
import resource
import signal
import subprocess
import sys
import textwrap

import pytest

pytestmark = [pytest.mark.recording,
              pytest.mark.skipif(not hasattr(signal, "SIGXFSZ"), reason="no file size limit")]

# Random arguments: packing the messages does not make them small.
PROGRAM = """
    import os

    def work(i, blob):
        return len(blob)

    for i in range(3000):
        work(i, os.urandom(1000).hex())
    print("done")
"""


def tarnwick(*args, cwd, limit=None):
    def small_files():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    return subprocess.run([sys.executable, "-m", "tarnwick_collector", *args], cwd=cwd,
                          capture_output=True, text=True, timeout=300,
                          preexec_fn=small_files if limit else None)


def test_calls_the_store_refused_are_reported_with_its_reason(tmp_path):
    (tmp_path / "app.py").write_text(textwrap.dedent(PROGRAM))
    proc = tarnwick("record", "app.py", cwd=tmp_path, limit=1_000_000)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "done\n"
    [line] = [line for line in proc.stderr.splitlines() if "data channel" in line]
    assert "not stored: " in line and "lost in transit" not in line
    stats = json.loads(tarnwick("stats", "--json", cwd=tmp_path).stdout)
    [data] = [ch for ch in stats["channels"] if ch["channel"] == "data"]
    assert data["sent"] == 3000 and data["stored"] < 3000
    assert data["lost"] == 0
    assert f"{3000 - data['stored']} not stored: " in data["note"]
    assert data["note"] in line  # the same count and reason
    text = tarnwick("stats", cwd=tmp_path).stdout
    assert "not stored: " in text and "lost in transit" not in text


def test_max_store_size_drops_what_comes_beyond_it_and_says_so(tmp_path):
    (tmp_path / "app.py").write_text(textwrap.dedent(PROGRAM))
    proc = tarnwick("record", "--max-store-size", "200KB", "app.py", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "done\n"
    reason = "not stored: the store reached its size limit (200KB)"
    [line] = [line for line in proc.stderr.splitlines() if "data channel" in line]
    assert reason in line and "lost in transit" not in line
    stats = json.loads(tarnwick("stats", "--json", cwd=tmp_path).stdout)
    [data] = [ch for ch in stats["channels"] if ch["channel"] == "data"]
    assert data["sent"] == 3000 and 0 < data["stored"] < 3000 and data["lost"] == 0
    assert f"{3000 - data['stored']} {reason}" in data["note"]
    assert (tmp_path / ".tarnwick" / "records.sqlite3").stat().st_size <= 200_000


@pytest.mark.parametrize("size", ["lots", "0", "-5MB", "12XB"])
def test_a_size_that_is_none_is_refused_in_one_line(tmp_path, size):
    (tmp_path / "app.py").write_text("print('ran')\n")
    proc = tarnwick("record", "--max-store-size", size, "app.py", cwd=tmp_path)
    assert proc.returncode == 2 and "ran" not in proc.stdout
    assert len(proc.stderr.strip().splitlines()) == 1 and "--max-store-size" in proc.stderr


def test_a_bad_size_in_the_environment_is_refused_before_anything_is_stored(tmp_path):
    (tmp_path / "app.py").write_text("print('ran')\n")
    proc = subprocess.run([sys.executable, "-m", "tarnwick_collector", "record", "app.py"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, TARNWICK_MAX_STORE_SIZE="lots"))
    assert proc.returncode == 2 and "ran" not in proc.stdout
    assert proc.stderr.strip().splitlines() == [
        "tarnwick: error: TARNWICK_MAX_STORE_SIZE: not a size: 'lots' (e.g. 500MB, 2G)"]
    assert not (tmp_path / ".tarnwick").exists()
