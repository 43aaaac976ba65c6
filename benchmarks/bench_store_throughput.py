"""Write throughput of the stores: messages per second into SQLite and
into PostgreSQL, in the same run, with the same messages.

The messages are those of a recorded program (``bench_store``'s), sent
again and again. Two measures for each store:

- the writer alone: decoded rows inserted in the receivers' batches
  (``insert_data_rows``, ``BATCH_ROWS`` rows a transaction);
- end to end: ``open_channels`` on the store, every message sent on the
  data channel, until ``close_channels`` has them stored (the receiving
  subprocess decodes, packs and writes them).

PostgreSQL is a throwaway server of the system's postgresql package on a
local socket (as the tests start it), or the database ``$TARNWICK_BENCH_PG``
names; without either, only SQLite is measured. The server runs with
``fsync=off``: both stores then write to the page cache, and the numbers
compare the work of each, not the disk.
"""
import os
import shutil
import sys
import tempfile
import textwrap
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "src"))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tests"))

MESSAGES = 20000
REPEATS = 3


def recorded_messages(root: str) -> List[bytes]:
    import bench_store  # type: ignore[import-not-found]  # beside this file

    from tarnwick_collector.store import sqlite_store

    with open(os.path.join(root, "app.py"), "w") as fh:
        fh.write(textwrap.dedent(bench_store.PROGRAM))
    bench_store.tarnwick("record", "app.py", cwd=root)
    conn = sqlite_store.open_for_reading(os.path.join(root, ".tarnwick", "records.sqlite3"))
    try:
        return sqlite_store.data_messages(conn)
    finally:
        conn.close()


def writer_alone(store: str, messages: List[bytes]) -> float:
    """Messages per second through ``insert_data_rows``."""
    from tarnwick_collector.channels import receiver
    from tarnwick_collector.store import location, packing

    backend = location.backend(store)
    conn = backend.open_for_writing(store)
    backend.record_session(conn, "bench-writer", "bench", None)
    rows = [receiver._data_row("bench-writer", time.time(), m) for m in messages]
    packer = packing.Packer()
    start = time.perf_counter()
    for i in range(0, len(rows), receiver.BATCH_ROWS):
        backend.insert_data_rows(conn, rows[i:i + receiver.BATCH_ROWS], packer)
    seconds = time.perf_counter() - start
    conn.close()
    return len(rows) / seconds


def end_to_end(store: str, messages: List[bytes]) -> Tuple[float, int]:
    """Messages per second from the first send to all stored, and how
    many were stored."""
    from tarnwick_collector.channels import subprocess_channel

    start = time.perf_counter()
    data, metrics = subprocess_channel.open_channels(store=store, report=None,
                                                     max_messages=len(messages) + 1)
    for message in messages:
        data.send_message(message)
    data_report, _ = subprocess_channel.close_channels(data, metrics)
    return len(messages) / (time.perf_counter() - start), data_report.stored


def database() -> Tuple[Optional[str], Optional[Any], str]:
    """(URL, the server to close, why there is none)."""
    url = os.environ.get("TARNWICK_BENCH_PG")
    if url:
        return url, None, ""
    import postgres_server  # type: ignore[import-not-found]  # the tests' server

    reason = postgres_server.why_unavailable()
    if reason is not None:
        return None, None, reason
    server = postgres_server.Server()
    return server.new_database(), server, ""


def main() -> None:
    root = tempfile.mkdtemp(prefix="tw-bench-throughput-")
    server = None
    old_cwd = os.getcwd()
    try:
        sample = recorded_messages(root)
        messages = (sample * (MESSAGES // len(sample) + 1))[:MESSAGES]
        size = sum(map(len, messages)) / len(messages)
        os.chdir(root)  # the receivers' log, if any, goes there
        url, server, reason = database()
        stores = [("SQLite", os.path.join(root, "throughput.sqlite3"))]
        if url is not None:
            stores.append(("PostgreSQL", url))
        print(f"write throughput, {len(messages)} data messages of {size:.0f} bytes "
              "on average (messages per second)")
        measures: List[Tuple[str, Callable[[str, List[bytes]], Any]]] = [
            ("writer alone", writer_alone), ("end to end", end_to_end)]
        for title, measure in measures:
            results: Dict[str, float] = {}
            # the stores in turn, the best of REPEATS of each (the machine's
            # other work and a cold page cache make single runs vary)
            for _ in range(REPEATS):
                for name, store in stores:
                    got = measure(store, messages)
                    rate = got[0] if isinstance(got, tuple) else got
                    if isinstance(got, tuple) and got[1] != len(messages):
                        print(f"  {name}: only {got[1]} of {len(messages)} stored")
                    results[name] = max(rate, results.get(name, 0.0))
            line = f"  {title:<13}" + "".join(
                f"  {name} {rate:9.0f}" for name, rate in results.items())
            if "PostgreSQL" in results:
                line += f"   (PostgreSQL {results['PostgreSQL'] / results['SQLite']:.2f}x SQLite)"
            print(line)
        if url is None:
            print(f"  PostgreSQL not measured: {reason}")
    finally:
        os.chdir(old_cwd)
        if server is not None:
            server.close()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
