"""``tarnwick record`` of a program that closes every descriptor it did not
open itself, as daemons do, then opens files and connections that get the
numbers of the recorder's own: the program's files and connections keep
exactly what the program put in them, the calls made after are recorded
all the same, and the run ends at once. So with a default socket timeout
set by the program, which makes the channel's new sockets non-blocking."""
import socket
import sqlite3
import subprocess
import sys
import textwrap
import threading
import time

import pytest

pytestmark = pytest.mark.recording

PROGRAM = """
    import os, socket, sys

    socket.setdefaulttimeout(float(sys.argv[2]) if sys.argv[2] != "none" else None)

    def work(i):
        return i * 2

    for i in range(200):
        work(i)
    os.closerange(3, 1024)
    # Every number the recorder had goes to a file or a connection of the
    # program's, which it keeps open until it ends.
    files, conns = [], []
    for i in range(12):
        conn = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        conn.connect(sys.argv[1])
        conn.sendall(b"hello %d" % i)
        conns.append(conn)
        fh = open("out-%d.txt" % i, "w")
        fh.write("first %d\\n" % i)  # buffered: written when the program ends
        files.append(fh)
    for i in range(3000):
        work(i)
    print("done")
"""


@pytest.mark.parametrize("default_timeout", ["none", "5"])
def test_record_touches_none_of_the_programs_descriptors(tmp_path, default_timeout):
    (tmp_path / "app.py").write_text(textwrap.dedent(PROGRAM))
    address = str(tmp_path / "peer.sock")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(address)
    listener.listen(20)
    received = []

    def serve(conn):
        data = b""
        while True:
            chunk = conn.recv(1 << 20)
            if not chunk:
                break
            data += chunk
        received.append(data)
        conn.close()

    def accept():
        threads = []
        for _ in range(12):
            conn, _ = listener.accept()
            thread = threading.Thread(target=serve, args=(conn,))
            thread.start()
            threads.append(thread)
        for thread in threads:
            thread.join(120)

    acceptor = threading.Thread(target=accept)
    acceptor.start()
    started = time.monotonic()
    proc = subprocess.run(
        [sys.executable, "-m", "tarnwick_collector", "record", "app.py", address,
         default_timeout],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)
    took = time.monotonic() - started
    acceptor.join(30)
    listener.close()
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "done\n"
    # No record went to the program's connections, none was cut short.
    assert sorted(received) == sorted(b"hello %d" % i for i in range(12))
    # No file of the program's was closed under it.
    for i in range(12):
        assert (tmp_path / f"out-{i}.txt").read_text() == f"first {i}\n"
    assert took < 100  # not the channels' stop timeout (120 s)
    # The calls made after the descriptors were closed are recorded too.
    store = str(tmp_path / ".tarnwick" / "records.sqlite3")
    conn = sqlite3.connect(store)
    try:
        (calls,), = conn.execute("SELECT COUNT(*) FROM data_messages"
                                 " WHERE full_name LIKE '%work'").fetchall()
        notes = [n for (n,) in conn.execute("SELECT note FROM channel_runs")]
    finally:
        conn.close()
    # On failure, the report line and the notes say what became of the rest.
    assert calls == 3200, (proc.stderr, notes)
    assert any("closed the channel's socket" in (n or "") for n in notes)
