"""``show`` and ``stats`` on a damaged or crafted store: a bad row costs only
its own text, the output stays complete (and valid JSON), and no text from
the store reaches the terminal unescaped."""
import json
import sqlite3
import struct
import subprocess
import sys

import pytest

import tw_record_fakes as fakes

ESC = "\x1b"
CLASS_MODULE = "app\x1b]0;owned\x07"
CLASS_NAME = "K\x1b[31mCLS"
FUNCTION = "app.K\x1b[31mCLS.meth"


def tarnwick(*args):
    return subprocess.run([sys.executable, "-m", "tarnwick_collector", *args],
                          capture_output=True, text=True, timeout=120)


def _crafted(body):
    return b"\x80\x02" + body + b"."


def _text(s):
    data = s.encode()
    return b"X" + struct.pack("<I", len(data)) + data


FRACTION_BOMB = _crafted(b"cfractions\nFraction\n(" + _text("1e30000000") + b"tR")
FROZENSET_BOMB = _crafted(b"cbuiltins\nfrozenset\n(cbuiltins\nrange\n(J\x00\xe1\xf5\x05tRtR")

MESSAGES = [
    fakes.user_call(FUNCTION, args=(fakes.instance(CLASS_MODULE, CLASS_NAME, n=1),),
                    kwargs={"k\x1b[1m": 2}, params=("self",),
                    raised=fakes.wrap_exception("app.Bad\x1b[2J", "boom"),
                    globals_={"G\x1b[0m": fakes.fake_class(CLASS_MODULE, CLASS_NAME)},
                    external=(("ext\x1b[7m.call", 1),)),
    fakes.user_call("app.numbers", params=("x",), raw={"pre_run_args": FRACTION_BOMB}),
    fakes.user_call("app.sets", params=("x",), returned=1,
                    raw={"return_value": FROZENSET_BOMB}),
    fakes.user_call("app.plain", args=(41,), params=("n",), returned=42),
]


@pytest.fixture(scope="module")
def store(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("hostile") / "records.sqlite3")
    fakes.write_store(path, [("run-1", "tarnwick record app.py", MESSAGES)])
    conn = sqlite3.connect(path)
    with conn:
        # Columns of another type than their own.
        conn.execute("UPDATE data_messages SET size = 'big', module = 'm\x1b[5m'"
                     " WHERE full_name = 'app.plain'")
        conn.execute("UPDATE data_messages SET full_name = X'61FF1B5B33316D',"
                     " decode_error = X'1B5D303B78' WHERE full_name = 'app.numbers'")
        conn.execute("UPDATE data_messages SET received = 'yesterday'"
                     " WHERE full_name = 'app.sets'")
        rows = [
            ("run-1", 1.0, b"\x1b[31mcounter", "K\x1b[31m", "[1, 2]", 3, None, b"x"),
            ("run-1", 1.0, "collection_failures", "CollectorFailure",
             '{"reason": "r\\u001b[31m"}', 3, None, b"x"),
            ("run-1", 1.0, "collection_failures", b"Unpicklable", b"\xff", 3, None, b"x"),
            ("run-1", 1.0, "external_functions", "ExternalFunction",
             '{"full_name": "e\\u001b[31m.f"}', 3, None, b"x"),
            ("run-1", 1.0, "external_functions", "ExternalFunction", '"a string"', 3,
             None, b"x"),
        ]
        conn.executemany(
            "INSERT INTO metric_messages (session, received, counter, kind, attributes,"
            " size, decode_error, message) VALUES (?, ?, ?, ?, ?, ?, ?, ?)", rows)
        conn.execute(
            "INSERT INTO channel_runs VALUES ('run-1', 'data', 'soon', 1.0, 'many',"
            " X'00', 9e999, '3', 0, 0, X'1B5B33316D')")
        conn.execute(
            "INSERT INTO channel_runs VALUES ('run-1', X'6D1B', 2.0, 3.0, 5, 5, 0, 0,"
            " 0, 0, NULL)")
        conn.execute("UPDATE data_messages SET size = 9223372036854775807"
                     " WHERE full_name = 'app.sets'")
    conn.close()
    return path


def _strings(value):
    if isinstance(value, str):
        yield value
    elif isinstance(value, dict):
        for k, v in value.items():
            yield k
            yield from _strings(v)
    elif isinstance(value, list):
        for v in value:
            yield from _strings(v)


def test_show_shows_every_call_with_names_escaped(store):
    proc = tarnwick("show", "--store", store)
    assert proc.returncode == 0, proc.stderr
    assert "Traceback" not in proc.stderr
    out = proc.stdout
    assert ESC not in out
    assert out.count("\n#") + 1 == len(MESSAGES)
    # Names of functions, classes, modules, keyword arguments, globals,
    # exceptions and external functions: escaped as values are.
    assert "app.K\\x1b[31mCLS.meth" in out
    assert "<app\\x1b]0;owned\\x07.K\\x1b[31mCLS: n=1>" in out
    assert "k\\x1b[1m=2" in out
    assert "G\\x1b[0m=app\\x1b]0;owned\\x07.K\\x1b[31mCLS" in out
    assert "app.Bad\\x1b[2J('boom')" in out
    assert "ext\\x1b[7m.call(...)" in out
    assert "[m\\x1b[5m; big;" in out
    # Values too large to make cost only their own text.
    assert "<too large to decode: Fraction with a decimal exponent over 10000>" in out
    assert "returned: <too large to decode: frozenset of 100000000 items>" in out
    assert "returned: 42" in out


def test_show_json_is_complete_and_escaped(store):
    proc = tarnwick("show", "--json", "--store", store)
    assert proc.returncode == 0, proc.stderr
    assert ESC not in proc.stdout
    records = json.loads(proc.stdout)["calls"]
    assert len(records) == len(MESSAGES)
    assert not any(ESC in s for s in _strings(records))
    by_function = {r["function"]: r for r in records}
    assert by_function["a\\xff\\x1b[31m"]["decode_error"] == "\\x1b]0;x"
    assert by_function["app.sets"]["received"] == "yesterday"
    assert by_function["app.plain"]["size"] == "big"
    assert by_function["app.plain"]["returned"] == 42


def test_stats_survives_damaged_counts_and_texts(store):
    proc = tarnwick("stats", "--store", store)
    assert proc.returncode == 0, proc.stderr
    assert "Traceback" not in proc.stderr
    out = proc.stdout
    assert ESC not in out
    assert "Recorded calls: 4" in out
    assert "\\x1b[31mcounter" in out
    assert "r\\x1b[31m" in out
    assert "e\\x1b[31m.f" in out
    assert "data     \\x00 of many messages stored" in out
    assert "m\\x1b" in out


def test_stats_json_is_complete(store):
    proc = tarnwick("stats", "--json", "--store", store)
    assert proc.returncode == 0, proc.stderr
    stats = json.loads(proc.stdout)
    assert set(stats) >= {"run", "runs", "recorded_calls", "counters", "failures",
                          "functions", "external_functions", "channels"}
    assert not any(ESC in s for s in _strings(stats))
    data = next(ch for ch in stats["channels"] if ch["channel"] == "data")
    assert (data["sent"], data["stored"], data["dropped_down"]) == ("many", "\\x00", 3)
    assert data["dropped_full"] == "inf"
    assert stats["recorded_calls"] == 4
    assert any(f["function"] == "app.sets" for f in stats["functions"])


@pytest.fixture(scope="module")
def named_store(tmp_path_factory):
    """A store whose only oddity is the names it holds."""
    path = str(tmp_path_factory.mktemp("names") / "records.sqlite3")
    fakes.write_store(path, [("run-\x1b[1m", "tarnwick record app.py", MESSAGES[:1])])
    return path


@pytest.mark.parametrize("command", [["show"], ["show", "--json"], ["stats"],
                                     ["stats", "--json"]])
def test_names_never_reach_the_terminal_raw(named_store, command):
    proc = tarnwick(*command, "--store", named_store)
    assert proc.returncode == 0, proc.stderr
    assert ESC not in proc.stdout and ESC not in proc.stderr
    texts = list(_strings(json.loads(proc.stdout))) if "--json" in command \
        else [proc.stdout]
    assert not any(ESC in text for text in texts)
    assert any("K\\x1b[31mCLS" in text for text in texts)
