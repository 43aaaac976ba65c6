"""Calls the recorder leaves out by design (lambdas, async generators) are
counted, and ``tarnwick stats`` lists them with their reason."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.recording

PROGRAM = """
    import asyncio

    double = lambda x: 2 * x


    async def ticks(n):
        for i in range(n):
            yield i


    async def collect():
        return [t async for t in ticks(2)] + [t async for t in ticks(1)]


    def squares(n):
        for i in range(n):
            yield double(i) // 2 * i


    print([double(i) for i in range(4)], asyncio.run(collect()), list(squares(3)))
    pending = squares(5)
    next(pending)  # still suspended when the program ends
"""


def _tarnwick(args, cwd):
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    return subprocess.run([sys.executable, "-m", "tarnwick_collector"] + args, cwd=cwd,
                          env=env, capture_output=True, text=True, timeout=300)


def test_lambdas_and_async_generators_are_counted_with_their_reason(tmp_path):
    (tmp_path / "prog.py").write_text(textwrap.dedent(PROGRAM))
    store = str(tmp_path / "s.sqlite3")
    proc = _tarnwick(["record", "--quiet", "--store", store, "prog.py"], tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "[0, 2, 4, 6] [0, 1, 0] [0, 1, 4]\n"

    stats = json.loads(_tarnwick(["stats", "--json", "--store", store], tmp_path).stdout)
    left_out = {f["reason"]: f["count"] for f in stats["failures"]
                if f["metric"] == "CallsLeftOut"}
    assert left_out == {
        "not recorded: lambda calls (by design)": 8,
        "not recorded: async generator calls (by design)": 2,
        "not recorded: generator calls still suspended when recording stopped": 1,
    }
    # The generator's own calls are recorded.
    assert {f["function"]: f["calls"] for f in stats["functions"]}["__main__.squares"] == 1
    text = _tarnwick(["stats", "--store", store], tmp_path).stdout
    assert "      8  CallsLeftOut: not recorded: lambda calls (by design)" in text


DECORATED = """
    import functools
    import time

    def timed(fn):
        @functools.wraps(fn)
        def wrapper(*args, **kwargs):
            start = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                wrapper.elapsed = time.perf_counter() - start
        return wrapper

    @timed
    def double(x):
        return 2 * x

    def total(xs):
        return sum(double(x) for x in xs)

    print(double(2), total([1, 2]))
"""


def test_a_decorated_call_is_one_record_without_the_wrapper_s_work(tmp_path):
    (tmp_path / "prog.py").write_text(textwrap.dedent(DECORATED))
    store = str(tmp_path / "s.sqlite3")
    proc = _tarnwick(["record", "--quiet", "--store", store, "prog.py"], tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "4 6\n"
    shown = json.loads(_tarnwick(["show", "--json", "--store", store], tmp_path).stdout)
    calls = {}
    for call in shown["calls"]:
        calls.setdefault(call["function"].rsplit(".", 1)[-1], []).append(call)
    # The function as written, once per call; the wrapper's timing is not
    # among its external calls, but its caller's (whose test runs it).
    assert [c["returned"] for c in calls["double"]] == [4, 2, 4]
    assert all(c["external_calls"] == [] for c in calls["double"])
    assert [e["function"] for e in calls["total"][0]["external_calls"]] == \
        ["time.perf_counter"] * 4
    stats = json.loads(_tarnwick(["stats", "--json", "--store", store], tmp_path).stdout)
    left_out = {f["reason"]: f["count"] for f in stats["failures"]
                if f["metric"] == "CallsLeftOut"}
    assert left_out == {"not recorded: calls of decorators' wrappers (by design: "
                        "the function each wraps is recorded)": 3}
