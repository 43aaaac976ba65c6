"""``tarnwick record --progress``: a live line on a terminal's standard
error while the program runs, off by default, invisible to the program."""
import os
import pty
import subprocess
import sys
import textwrap

import pytest

pytestmark = [pytest.mark.recording,
              pytest.mark.skipif(not hasattr(os, "fork"), reason="needs a pty")]

PROGRAM = """
    import os
    import threading
    import time

    def step(i):
        time.sleep(0.01)
        return i * 2

    for i in range(150):
        step(i)
    pid = os.fork()
    if pid == 0:
        step(1)
        os._exit(0)
    os.waitpid(pid, 0)
    print("threads", threading.active_count(), "done")
"""


def _record_on_a_terminal(tmp_path, *options):
    (tmp_path / "prog.py").write_text(textwrap.dedent(PROGRAM))
    master, slave = pty.openpty()
    try:
        proc = subprocess.run(
            [sys.executable, "-m", "tarnwick_collector", "record", "--quiet", *options,
             "prog.py"], cwd=tmp_path, stdout=subprocess.PIPE, stderr=slave,
            text=True, timeout=300)
    finally:
        os.close(slave)
    chunks = []
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:
            break
        if not chunk:
            break
        chunks.append(chunk)
    os.close(master)
    return proc, b"".join(chunks).decode("utf-8", "replace")


def test_progress_is_a_live_line_and_the_program_sees_nothing_of_it(tmp_path):
    proc, err = _record_on_a_terminal(tmp_path, "--progress")
    assert proc.returncode == 0
    assert proc.stdout == "threads 1 done\n"
    lines = [part for part in err.split("\r\x1b[K") if part.strip()]
    assert lines and all(line.startswith("tarnwick: ") for line in lines)
    assert "calls recorded" in lines[0] and "metrics stored" in lines[0]
    assert "Warning" not in err            # a fork with no thread of ours about
    # Counts only grow while the program runs.
    recorded = [int(line.split()[1]) for line in lines]
    assert recorded == sorted(recorded)


def test_no_progress_unless_asked(tmp_path):
    proc, err = _record_on_a_terminal(tmp_path)
    assert proc.stdout == "threads 1 done\n"
    assert "calls recorded" not in err
