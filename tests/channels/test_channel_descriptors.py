"""A program that closes every descriptor it did not open (``os.closerange``)
and opens files and sockets that get the channel's old numbers: the channel
never writes, shuts down or closes them, goes on with a new subprocess,
counts what it could not deliver under a reason, and stops at once.

The programs run in a process of their own (closing the range inside the
test process would close the test runner's own descriptors)."""
import json
import sqlite3
import subprocess
import sys

import pytest

from tarnwick_collector.store import sqlite_store

PROGRAM = r"""
import json, os, socket, sys, time
from tarnwick_collector.channels.subprocess_channel import (
    SubprocessChannel, new_session_id)
from tarnwick_collector.store import sqlite_store

store, take, out = sys.argv[1], sys.argv[2], sys.argv[3]
max_restarts, after = int(sys.argv[4]), int(sys.argv[5])
session = new_session_id()
conn = sqlite_store.open_for_writing(store)
sqlite_store.record_session(conn, session, "test", None)
conn.close()
lines = []
channel = SubprocessChannel("data", store, session, report=lines.append,
                            max_restarts=max_restarts, stop_timeout=40.0).start()
channel_fd = channel._sock.fileno()
for i in range(100):
    channel.send_message(b"before %d" % i)
assert channel.flush(30)

os.closerange(3, 1024)
here = os.path.dirname(store)
files, socks = [], []
def new_file():
    f = open(os.path.join(here, "program-%d.txt" % len(files)), "w")
    files.append(f)
    return f.fileno()
# The program's next descriptors take every number the channel had (its
# socket, its block of counters and the block's mapping): the lowest free
# number comes first.
while len(files) < channel_fd - 3:
    new_file()
if take == "socket":
    socks.append(socket.socketpair())
while len(files) < 8:
    new_file()
mine = {"files": [f.fileno() for f in files],
        "socket": [s.fileno() for pair in socks for s in pair]}
assert take != "socket" or channel_fd in mine["socket"], (channel_fd, mine)
assert take != "file" or channel_fd in mine["files"], (channel_fd, mine)

for i in range(after):
    channel.send_message(b"after %d " % i + b"x" * 200)
time.sleep(0.5)
for f in files:
    f.write("first\n")
    f.flush()
started = time.monotonic()
report = channel.stop()
took = time.monotonic() - started
errors = []
for f in files:
    try:
        f.write("second\n")
        f.close()
    except OSError as exc:
        errors.append(str(exc))
leaked = 0
for a, b in socks:
    for end in (a, b):
        try:
            leaked += len(end.recv(1 << 22, socket.MSG_DONTWAIT))
        except BlockingIOError:
            pass
    a.sendall(b"ping")  # both ends still open
    assert b.recv(4) == b"ping"
json.dump({"took": took, "errors": errors, "leaked": leaked, "lines": lines,
           "report": vars(report), "files": [f.name for f in files],
           "channel_fd": channel_fd, "mine": mine}, open(out, "w"))
"""


def run_program(tmp_path, take, max_restarts=3, after=3000):
    script = tmp_path / "program.py"
    script.write_text(PROGRAM)
    store = tmp_path / "store" / "records.sqlite3"
    out = tmp_path / "out.json"
    proc = subprocess.run(
        [sys.executable, str(script), str(store), take, str(out), str(max_restarts),
         str(after)],
        capture_output=True, text=True, timeout=200)
    assert proc.returncode == 0, proc.stderr
    return json.loads(out.read_text()), str(store)


def stored(store, prefix):
    conn = sqlite3.connect(store)
    try:
        return sum(message.startswith(prefix.encode())
                   for message in sqlite_store.data_messages(conn))
    finally:
        conn.close()


def check_untouched(result):
    # The program's files keep everything written to them, before and
    # after the channel stopped: none was closed under it.
    assert result["errors"] == []
    for name in result["files"]:
        with open(name) as fh:
            assert fh.read() == "first\nsecond\n"
    # No record reached the program's socket.
    assert result["leaked"] == 0
    # Stopping does not wait for a subprocess that cannot read or end.
    assert result["took"] < 30


@pytest.mark.parametrize("take", ["socket", "file"])
def test_descriptors_the_program_reuses_are_never_touched(tmp_path, take):
    result, store = run_program(tmp_path, take)
    check_untouched(result)
    # A new subprocess took over: everything is stored, and the report
    # says what happened to the first one.
    report = result["report"]
    assert report["sent"] == 3100 and report["stored"] == 3100
    assert stored(store, "before") == 100 and stored(store, "after") == 3000
    assert report["restarts"] == 1
    assert "the program closed the channel's socket" in report["note"]


@pytest.mark.parametrize("take", ["socket", "file"])
def test_a_channel_sent_nothing_after_the_takeover_stops_without_touching_it(tmp_path,
                                                                             take):
    result, store = run_program(tmp_path, take, after=0)
    check_untouched(result)
    report = result["report"]
    assert (report["sent"], report["stored"], report["restarts"]) == (100, 100, 0)
    assert "the program closed the channel's socket 1x" in report["note"]


def test_what_cannot_be_delivered_after_a_takeover_is_counted_with_its_reason(tmp_path):
    result, store = run_program(tmp_path, "socket", max_restarts=0)
    check_untouched(result)
    report = result["report"]
    # No new subprocess allowed: what came after is dropped, and counted so.
    assert report["stored"] == 100 and stored(store, "after") == 0
    assert report["dropped_down"] == 3000
    assert "the program closed the channel's socket 1x" in report["note"]
    [line] = result["lines"]
    assert "3000 dropped, subprocess down" in line and "closed the channel's socket" in line
    conn = sqlite3.connect(store)
    try:
        row = conn.execute("SELECT sent, stored, dropped_down, lost, note FROM channel_runs"
                           ).fetchone()
    finally:
        conn.close()
    assert row[:4] == (3100, 100, 3000, 0) and "closed the channel's socket" in row[4]


# A channel of a new run of the store named by the first argument.
_CHANNEL_SETUP = r"""
import os, sys
from tarnwick_collector.channels.subprocess_channel import (
    SubprocessChannel, new_session_id)
from tarnwick_collector.store import sqlite_store

store = sys.argv[1]
session = new_session_id()
conn = sqlite_store.open_for_writing(store)
sqlite_store.record_session(conn, session, "test", None)
conn.close()
"""

RACE = _CHANNEL_SETUP + r"""
lines = []
channel = SubprocessChannel("data", store, session, report=lines.append).start()
# The program closes the counters block's descriptor just after the channel
# found it its own (the writer starts a replacement while the program's
# thread runs os.closerange): the launch must neither fail nor hand on the
# number, which the program may be about to reuse.
block = channel._tally
closed = block.fileno()
os.close(closed)
block.owns_fd = lambda: True
channel._proc.kill()
channel._proc.wait()
channel._launch()
handed = str(closed) in channel._proc.args
for i in range(20):
    channel.send_message(b"after %d" % i)
flushed = channel.flush(30)
channel.stop(30)
print("launched", flushed, lines, "handed the closed number:", handed)
"""


def test_a_block_closed_as_a_replacement_starts_is_not_handed_on(tmp_path):
    store = str(tmp_path / "s.sqlite3")
    done = subprocess.run([sys.executable, "-c", RACE, store], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "launched True [] handed the closed number: False\n"
    conn = sqlite3.connect(store)
    try:
        (stored,), = conn.execute("SELECT COUNT(*) FROM data_messages").fetchall()
    finally:
        conn.close()
    assert stored == 20


def test_a_guarded_send_never_lands_in_a_socket_that_took_the_number():
    import os
    import socket

    from tarnwick_collector.channels._guarded_send import send_if_same
    from tarnwick_collector.channels.tally import identity

    ours, peer = socket.socketpair()
    dev, ino = identity(ours.fileno())
    assert send_if_same(ours.fileno(), dev, ino, b"frame", 0) == 5
    assert peer.recv(16) == b"frame"
    # The program closes the number and opens a socket of its own on it.
    number = ours.detach()
    os.close(number)
    theirs, their_peer = socket.socketpair()
    taken = theirs if theirs.fileno() == number else None
    if taken is None:  # the number went elsewhere: move it there
        os.dup2(theirs.fileno(), number)
        taken = socket.socket(fileno=number)
    assert send_if_same(number, dev, ino, b"record", 0) == -1
    their_peer.setblocking(False)
    with pytest.raises(BlockingIOError):
        their_peer.recv(16)
    # A full socket raises as socket.send does, without waiting.
    mine, other = socket.socketpair()
    d2, i2 = identity(mine.fileno())
    with pytest.raises(BlockingIOError):
        while True:
            send_if_same(mine.fileno(), d2, i2, b"x" * 65536, 0)
    for s in (peer, theirs, their_peer, mine, other, taken):
        s.close()


@pytest.mark.parametrize("native", [True, False], ids=["native", "python"])
def test_closing_shutting_and_copying_touch_only_the_channels_own_file(monkeypatch, native):
    """A number the program took (closed, then opened a file of its own on
    it) is left alone by close_if_same, shutdown_if_same and dup_if_same;
    the channel's own socket is closed, shut down, copied."""
    import os
    import socket

    from tarnwick_collector.channels import tally

    if not native:
        for name in ("_close_native", "_dup_native", "_shutdown_native"):
            monkeypatch.setattr(tally, name, None)
    ours, peer = socket.socketpair()
    ident = tally.identity(ours.fileno())
    copy = tally.dup_if_same(ours.fileno(), ident)
    assert copy is not None and copy != ours.fileno() and tally.identity(copy) == ident
    assert tally.close_if_same(copy, ident) and tally.identity(copy) is None
    assert tally.shutdown_if_same(ours.fileno(), ident, socket.SHUT_WR)
    assert peer.recv(4) == b""  # the peer sees the end
    # The program takes the number for a socket of its own.
    number = ours.detach()
    os.close(number)
    theirs, their_peer = socket.socketpair()
    if theirs.fileno() != number:
        os.dup2(theirs.fileno(), number)
    assert tally.dup_if_same(number, ident) is None
    assert not tally.shutdown_if_same(number, ident, socket.SHUT_RDWR)
    assert not tally.close_if_same(number, ident)
    os.write(number, b"still")  # open, and still connected
    assert their_peer.recv(8) == b"still"
    assert not tally.close_if_same(number, None)
    if theirs.fileno() != number:
        os.close(number)
    for end in (peer, theirs, their_peer):
        end.close()


REENTRY = _CHANNEL_SETUP + r"""
lines = []
channel = SubprocessChannel("data", store, session, report=lines.append).start()
channel.send_message(b"before")
# What a recorded signal handler does when its signal arrives while this
# thread is inside the channel: it must not wait for itself.
with channel._cond:
    channel.send_message(b"from the handler")
channel.send_message(b"after")
channel.stop(30)
print(channel.report().sent, channel.report().stored, lines)
"""


def test_a_send_from_inside_the_channel_on_its_own_thread_does_not_wait_for_itself(tmp_path):
    store = str(tmp_path / "s.sqlite3")
    done = subprocess.run([sys.executable, "-c", REENTRY, store], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    sent, stored, lines = done.stdout.split(" ", 2)
    assert (sent, stored) == ("3", "2")
    assert "1 lost in transit" in lines
