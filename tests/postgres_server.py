"""A real PostgreSQL server for the tests of the PostgreSQL store: made from
the Debian package's binaries (``/usr/lib/postgresql/<version>/bin``) in a
temporary data directory, run by an unprivileged user (``postgres`` or a
system user made for it when the tests run as root; the current user
otherwise), on a socket in a temporary directory and a loopback port, with
password authentication. Stopped and removed at the end of the session.

Where the binaries or the driver are missing, the tests that need the
server are skipped, saying which."""
import itertools
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
from typing import List, Optional
from urllib.parse import quote

PASSWORD = "Tw-s3cret-pg-Pa55"
USER = "tarnwick"
_PG_ROOT = "/usr/lib/postgresql"
_SERVICE_USER = "tarnwick-pg"


def bin_dir() -> Optional[str]:
    """The newest server's binaries, or None."""
    try:
        versions = [d for d in os.listdir(_PG_ROOT) if d.split(".")[0].isdigit()]
    except OSError:
        return None
    for version in sorted(versions, key=lambda v: [int(p) for p in v.split(".") if p.isdigit()],
                          reverse=True):
        path = os.path.join(_PG_ROOT, version, "bin")
        if all(os.access(os.path.join(path, tool), os.X_OK)
               for tool in ("initdb", "pg_ctl", "postgres")):
            return path
    return None


def why_unavailable() -> Optional[str]:
    try:
        import psycopg  # noqa: F401
    except ImportError:
        return "psycopg is not installed (pip install 'tarnwick_collector[postgres]')"
    if bin_dir() is None:
        return f"no PostgreSQL server binaries under {_PG_ROOT} (apt-get install postgresql)"
    return None


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _server_user() -> Optional[str]:
    """The account that runs the server when we are root (initdb refuses
    root), made when there is none."""
    if os.geteuid() != 0:
        return None
    for name in ("postgres", _SERVICE_USER):
        try:
            pwd.getpwnam(name)
            return name
        except KeyError:
            pass
    subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin",
                    _SERVICE_USER], check=True, capture_output=True)
    return _SERVICE_USER


class Server:
    def __init__(self) -> None:
        self.bin = bin_dir()
        self.user = _server_user()
        self.base = tempfile.mkdtemp(prefix="tarnwick-pg-")
        os.chmod(self.base, 0o755)
        self.data = os.path.join(self.base, "data")
        self.sockets = os.path.join(self.base, "run")
        self.log = os.path.join(self.base, "server.log")
        self.port = _free_port()
        self._names = itertools.count(1)
        os.mkdir(self.sockets)
        pwfile = os.path.join(self.base, "pw")
        with open(pwfile, "w") as fh:
            fh.write(PASSWORD + "\n")
        if self.user is not None:
            entry = pwd.getpwnam(self.user)
            for path in (self.base, self.sockets, pwfile):
                os.chown(path, entry.pw_uid, entry.pw_gid)
        self._run("initdb", "-D", self.data, "-U", USER, f"--pwfile={pwfile}",
                  "--auth=scram-sha-256", "-E", "UTF8", "--no-locale", "--no-sync")
        os.unlink(pwfile)
        self.start()

    def _run(self, tool: str, *args: str) -> None:
        cmd: List[str] = [os.path.join(self.bin, tool), *args]
        if self.user is not None:
            cmd = ["runuser", "-u", self.user, "--", *cmd]
        done = subprocess.run(cmd, capture_output=True, text=True, cwd=self.base)
        if done.returncode != 0:
            raise RuntimeError(f"{tool} failed: {done.stdout}{done.stderr}")

    def start(self) -> None:
        options = (f"-k {self.sockets} -p {self.port} -c listen_addresses=127.0.0.1"
                   " -c fsync=off -c synchronous_commit=off -c max_connections=200")
        self._run("pg_ctl", "-D", self.data, "-l", self.log, "-o", options, "-w", "start")

    def stop(self, mode: str = "fast") -> None:
        self._run("pg_ctl", "-D", self.data, "-m", mode, "-w", "stop")

    def restart(self) -> None:
        """Stop (ending every connection) and start again."""
        self.stop()
        self.start()

    def url(self, database: str = "postgres", password: Optional[str] = PASSWORD,
            tcp: bool = False) -> str:
        auth = USER + (":" + quote(password, safe="") if password is not None else "")
        if tcp:
            return f"postgresql://{auth}@127.0.0.1:{self.port}/{database}"
        return (f"postgresql://{auth}@/{database}?host={quote(self.sockets, safe='')}"
                f"&port={self.port}")

    def new_database(self) -> str:
        """A new empty database's URL."""
        import psycopg

        name = f"tw_{os.getpid()}_{next(self._names)}"
        with psycopg.connect(self.url(), autocommit=True) as conn:
            conn.execute(f'CREATE DATABASE "{name}"')
        return self.url(name)

    def close(self) -> None:
        try:
            self.stop("immediate")
        except RuntimeError:
            pass
        shutil.rmtree(self.base, ignore_errors=True)
