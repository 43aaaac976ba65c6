"""A program that set a default socket timeout (``socket.setdefaulttimeout``)
makes every new socket non-blocking, the channel's too: a pause in a
subprocess's input is still not its end, and every message is stored."""
import socket
import threading
import time

from tarnwick_collector.channels import framing
from tarnwick_collector.channels.receiver import Receiver
from tarnwick_collector.channels.subprocess_channel import (
    SubprocessChannel, new_session_id)
from tarnwick_collector.store import sqlite_store


def new_store(tmp_path):
    store = str(tmp_path / ".tarnwick" / "records.sqlite3")
    session = new_session_id()
    conn = sqlite_store.open_for_writing(store)
    sqlite_store.record_session(conn, session, "test", None)
    conn.close()
    return store, session


def wait_until(condition, timeout=60.0):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline
        time.sleep(0.05)


def stored(store, session):
    conn = sqlite_store.open_for_writing(store)
    try:
        return sqlite_store.count_stored(conn, "data", session)
    finally:
        conn.close()


def test_a_receiver_waits_out_a_pause_in_an_input_that_does_not_block(tmp_path):
    store, session = new_store(tmp_path)
    ours, theirs = socket.socketpair()
    theirs.setblocking(False)
    receivers, result = [], []

    def receive():  # the store's connection belongs to the thread that made it
        receivers.append(Receiver("data", store, session, fd=theirs.fileno()))
        result.append(receivers[0].run())

    thread = threading.Thread(target=receive)
    thread.start()
    try:
        ours.sendall(b"".join(framing.encode(time.time(), b"first %d" % i)
                              for i in range(50)))
        # Stored, so read: the receiver has found the input empty since.
        wait_until(lambda: stored(store, session) == 50 or not thread.is_alive())
        ours.sendall(b"".join(framing.encode(time.time(), b"second %d" % i)
                              for i in range(50)))
    finally:
        ours.close()
        thread.join(60)
        theirs.close()
    assert result == [0]
    assert receivers[0].stored == 100 == stored(store, session)


def test_a_channel_made_under_a_default_timeout_stores_every_message(tmp_path):
    store, session = new_store(tmp_path)
    lines = []
    previous = socket.getdefaulttimeout()
    socket.setdefaulttimeout(5.0)
    try:
        channel = SubprocessChannel("data", store, session,
                                    report=lines.append).start()
        for i in range(50):
            channel.send_message(b"first %d" % i)
        wait_until(lambda: stored(store, session) == 50
                   or channel._proc.poll() is not None)
        for i in range(50):
            channel.send_message(b"second %d" % i)
        report = channel.stop()
    finally:
        socket.setdefaulttimeout(previous)
    assert (report.sent, report.stored, report.restarts) == (100, 100, 0)
    assert lines == []
