"""A child forked by an application that shows every warning (``-X dev``,
``-W always``, ``warnings.simplefilter("always")``): the channels it
inherited say nothing about the parent's subprocesses."""
import os
import sqlite3
import subprocess
import sys
import textwrap

import pytest

from tarnwick_collector.store import sqlite_store

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")

PROGRAM = """
    import gc, os, sys
    from tarnwick_collector.channels import open_channels, close_channels
    data, metrics = open_channels(project_path=".")
    data.send_message(b"parent")
    pid = os.fork()
    if pid == 0:
        {child}
        gc.collect()
        sys.stderr.flush()
        os._exit(0)
    os.waitpid(pid, 0)
    close_channels(data, metrics)
    print("done")
"""

CHILD_WORK = {
    "sends": "data.send_message(b'child'); close_channels(data, metrics)",
    "sends nothing": "pass",
}


@pytest.mark.parametrize("warning_options", [["-X", "dev"], ["-W", "always"]],
                         ids=" ".join)
@pytest.mark.parametrize("child", sorted(CHILD_WORK))
def test_forked_child_shows_no_resource_warning(tmp_path, warning_options, child):
    code = textwrap.dedent(PROGRAM).format(child=CHILD_WORK[child])
    proc = subprocess.run([sys.executable, *warning_options, "-c", code],
                          cwd=str(tmp_path), capture_output=True, text=True,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "done\n"
    assert proc.stderr == ""
    conn = sqlite3.connect(str(tmp_path / ".tarnwick" / "records.sqlite3"))
    try:
        stored = sorted(sqlite_store.data_messages(conn))
    finally:
        conn.close()
    assert stored == ([b"child", b"parent"] if child == "sends" else [b"parent"])


PAUSE_PROGRAM = """
    import os
    from tarnwick_collector.channels import open_channels, close_channels
    from tarnwick_collector.channels import forks as sc
    data, metrics = open_channels(project_path=".")
    data.send_message(b"before")
    sc._before_fork()
    threads_at_fork = len(os.listdir("/proc/self/task"))
    sc._parent_after_fork()
    for i in range(3):
        pid = os.fork()
        if pid == 0:
            os._exit(0)
        os.waitpid(pid, 0)
        data.send_message(b"after-%d" % i)
    close_channels(data, metrics)
    print(threads_at_fork)
"""


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc")
def test_writers_end_before_a_fork_and_a_new_one_delivers_after(tmp_path):
    # Python 3.12+ warns at os.fork() in a process with more than one
    # thread; the channels' writers must not be what makes it one.
    proc = subprocess.run([sys.executable, "-W", "always", "-c", textwrap.dedent(PAUSE_PROGRAM)],
                          cwd=str(tmp_path), capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stderr == ""
    assert proc.stdout == "1\n"
    conn = sqlite3.connect(str(tmp_path / ".tarnwick" / "records.sqlite3"))
    try:
        stored = sorted(sqlite_store.data_messages(conn))
    finally:
        conn.close()
    assert stored == [b"after-0", b"after-1", b"after-2", b"before"]
