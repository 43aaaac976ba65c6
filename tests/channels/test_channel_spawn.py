"""Starting a channel's subprocess: the child's descriptors, and none opened
or closed in the program's process."""
import json
import os
import signal
import socket
import subprocess
import sys
import textwrap
import time

import pytest

from tarnwick_collector.channels import spawn

SRC = os.path.dirname(os.path.dirname(os.path.dirname(spawn.__file__)))

# The child closes what it inherited, then writes (to its standard input,
# a socket) which descriptors it has, what 1 and 2 are, and what it reads
# from its block.
CHILD = textwrap.dedent("""
    import json, os, sys
    sys.path.insert(0, sys.argv[1])
    from tarnwick_collector.channels.spawn import close_inherited
    close_inherited()
    fds = sorted(int(n) for n in os.listdir('/proc/self/fd'))
    null = os.stat(os.devnull).st_rdev
    report = {'fds': fds[:-1],  # the last is the listing's own
              'null': [os.fstat(1).st_rdev == null, os.fstat(2).st_rdev == null],
              'block': os.pread(3, 5, 0).decode() if 3 in fds else None}
    os.write(0, json.dumps(report).encode())
""")


def _report(sock):
    sock.settimeout(30)
    data = b""
    while True:
        part = sock.recv(65536)
        if not part:
            return json.loads(data)
        data += part


def test_the_child_has_the_socket_the_block_and_nothing_the_program_left_inheritable(tmp_path):
    block = tmp_path / "block"
    block.write_bytes(b"tally")
    stray_r, stray_w = os.pipe()
    os.set_inheritable(stray_w, True)  # e.g. a descriptor the program passes to its own children
    parent, child = socket.socketpair()
    with open(block, "rb") as handle:
        proc = spawn.spawn([sys.executable, "-I", "-c", CHILD, SRC],
                           child.fileno(), handle.fileno())
    child.close()
    try:
        report = _report(parent)
        assert proc.wait(30) == 0
    finally:
        parent.close()
        os.close(stray_r)
        os.close(stray_w)
    assert report["fds"] == [0, 1, 2, 3]
    assert report["null"] == [True, True]
    assert report["block"] == "tally"


# The program closed its standard descriptors: the socket and the block get
# the lowest numbers, which the child's own layout overlaps.
LOW_NUMBERS = textwrap.dedent("""
    import os, socket, sys, json
    sys.path.insert(0, {src!r})
    from tarnwick_collector.channels import spawn
    for fd in range(4):
        try:
            os.close(fd)
        except OSError:
            pass
    parent, child = socket.socketpair()
    block = os.open({block!r}, os.O_RDONLY)
    numbers = [parent.fileno(), child.fileno(), block]
    proc = spawn.spawn([sys.executable, '-I', '-c', {code!r}, {src!r}], child.fileno(), block)
    child.close()
    data = b''
    while True:
        part = parent.recv(65536)
        if not part:
            break
        data += part
    proc.wait(30)
    with open({out!r}, 'w') as out:
        out.write(json.dumps([numbers, json.loads(data)]))
""")


def test_a_socket_and_block_on_the_numbers_the_child_places_them_on(tmp_path):
    block = tmp_path / "block"
    block.write_bytes(b"tally")
    out = tmp_path / "out.json"
    code = LOW_NUMBERS.format(src=SRC, block=str(block), code=CHILD, out=str(out))
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    numbers, report = json.loads(out.read_text())
    assert numbers == [0, 1, 2]
    assert report["fds"] == [0, 1, 2, 3]
    assert report["null"] == [True, True]
    assert report["block"] == "tally"


def test_starting_opens_and_closes_no_descriptor_of_the_program(monkeypatch):
    """A program thread may close every descriptor and open its own files
    while a subprocess starts: a number the start opened and closed again
    could by then be one of the program's files."""
    touched = []

    def refuse(name):
        def call(*args, **kwargs):
            touched.append(name)
            raise AssertionError(f"os.{name} while starting")
        return call

    parent, child = socket.socketpair()
    for name in ("open", "close", "pipe", "pipe2", "dup", "dup2", "listdir", "scandir"):
        if hasattr(os, name):
            monkeypatch.setattr(os, name, refuse(name))
    try:
        proc = spawn.spawn([sys.executable, "-I", "-c", "pass"], child.fileno())
    finally:
        monkeypatch.undo()
    child.close()
    parent.close()
    assert proc.wait(30) == 0
    assert touched == []


def test_a_program_that_cannot_start_is_an_error_naming_it(tmp_path):
    missing = str(tmp_path / "no-such-python")
    parent, child = socket.socketpair()
    with parent, child, pytest.raises(OSError) as caught:
        spawn.spawn([missing, "-c", "pass"], child.fileno())
    assert caught.value.errno is not None


def test_waiting_killing_and_a_child_the_program_reaped():
    parent, child = socket.socketpair()
    with parent, child:
        slow = spawn.spawn([sys.executable, "-I", "-c", "import time; time.sleep(60)"],
                           child.fileno())
        with pytest.raises(subprocess.TimeoutExpired):
            slow.wait(0.2)
        assert slow.poll() is None
        slow.kill()
        assert slow.wait(30) == -signal.SIGKILL
        slow.kill()  # reaped: no signal to a pid that may be another's now

        failing = spawn.spawn([sys.executable, "-I", "-c", "raise SystemExit(3)"],
                              child.fileno())
        assert failing.wait(30) == 3

        reaped = spawn.spawn([sys.executable, "-I", "-c", "pass"], child.fileno())
        deadline = time.monotonic() + 30
        while os.waitpid(reaped.pid, os.WNOHANG)[0] == 0 and time.monotonic() < deadline:
            time.sleep(0.01)
        assert reaped.wait(5) == 0  # status lost to the program, as with Popen
