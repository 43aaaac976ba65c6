"""``tarnwick show`` on values that are hard to turn into text: each costs
only its own text, every other call is still shown, and ``--json`` stays a
valid JSON document."""
import datetime
import json
import os
import subprocess
import sys

import pytest

import tw_record_fakes as fakes

HUGE = 10 ** 5000


class AppZone(datetime.tzinfo):
    """Pickles as a zone class of a program that is not importable here."""

    _fake_path = ("app.zones", "Fixed")

    def __init__(self, name):
        self.name = name


ZONED = "datetime.datetime(2020, 1, 2, 3, 4, 5, tzinfo=<app.zones.Fixed: name='+01'>)"


def nested_module_names(depth):
    """Serialized positional arguments holding one value: a module
    placeholder whose name is a module placeholder, ``depth`` times."""
    wrap = b"c" + fakes.PICKLER.encode() + b"\nwrap_module\n("
    return b"(" + wrap * depth + b"X\x01\x00\x00\x00m" + b"tR" * depth + b"t."


INT = "<int with 5001 digits>"
BIG = {"type": "builtins.int", "text": INT}

# name: (keyword arguments of fakes.user_call, a line of the text output,
#        (JSON field, key in it or None, the JSON value there, or a test of it))
ODD_CALLS = {
    "huge int": (dict(args=(HUGE,)), f"x={INT}", ("arguments_before", "x", BIG)),
    "huge negative int": (dict(args=(-HUGE - 7,)), "x=<negative int with 5001 digits>",
                          ("arguments_after", "x", {
                              "type": "builtins.int",
                              "text": "<negative int with 5001 digits>"})),
    "huge int returned": (dict(args=(1,), returned=HUGE), f"returned: {INT}",
                          ("returned", None, BIG)),
    "huge int in a list": (dict(args=([1, HUGE, 3],)), f"x=[1, {INT}, 3]",
                           ("arguments_before", "x", [1, BIG, 3])),
    "huge int in a set": (dict(args=({HUGE},)), f"x={{{INT}}}",
                          ("arguments_before", "x", {
                              "type": "builtins.set", "text": f"{{{INT}}}", "items": [BIG]})),
    "huge int as a dict key": (dict(args=({HUGE: "v"},)), f"x={{{INT}: 'v'}}",
                               ("arguments_before", "x", {
                                   "type": "builtins.dict", "text": f"{{{INT}: 'v'}}",
                                   "items": [[BIG, "v"]]})),
    "huge int as a keyword name": (dict(kwargs={HUGE: 1}), f"{INT}=1",
                                   ("arguments_before", INT, 1)),
    "huge int as a global name": (dict(args=(1,), globals_={HUGE: 2}),
                                  f"globals used: {INT}=2", ("globals", INT, 2)),
    "huge range": (dict(args=(range(3, HUGE),)), f"x=range(3, {INT})",
                   ("arguments_before", "x", {"type": "builtins.range",
                                              "text": f"range(3, {INT})"})),
    "huge object attribute": (
        dict(args=(fakes.instance("app.models", "Big", n=HUGE, label="ok"),)),
        f"x=<app.models.Big: n={INT}, label='ok'>",
        ("arguments_before", "x", {"type": "app.models.Big",
                                   "text": f"<app.models.Big: n={INT}, label='ok'>",
                                   "attributes": {"n": BIG, "label": "ok"}})),
    "names nested deeply": (
        dict(raw={"pre_run_args": nested_module_names(5000),
                  "post_run_args": nested_module_names(5000)}),
        "x=<module <module <module", ("arguments_before", "x", lambda v: (
            v["type"] == "builtins.module"
            and v["text"].startswith("<module <module")))),
    "datetime in a zone of the program": (
        dict(args=(datetime.datetime(2020, 1, 2, 3, 4, 5, tzinfo=AppZone("+01")),)),
        f"x={ZONED}", ("arguments_before", "x", {"type": "datetime.datetime", "text": ZONED})),
    "lone surrogate in a keyword name": (dict(kwargs={"na\udc80me": 1}), "na\\udc80me=1",
                                         # Names are escaped in JSON too.
                                         ("arguments_before", "na\\udc80me", 1)),
}
CASES = sorted(ODD_CALLS)


def tarnwick(*args):
    env = dict(os.environ, PYTHONIOENCODING="utf-8:strict")
    return subprocess.run([sys.executable, "-m", "tarnwick_collector", *args],
                          env=env, capture_output=True, text=True, timeout=120,
                          encoding="utf-8", errors="surrogateescape")


@pytest.fixture(scope="module")
def shown(tmp_path_factory):
    """``show`` and ``show --json`` of a store where each odd call is
    followed by a plain one."""
    messages = []
    for name in CASES:
        kwargs = ODD_CALLS[name][0]
        messages.append(fakes.user_call(f"app.odd.{name.replace(' ', '_')}",
                                        params=("x",), **kwargs))
        messages.append(fakes.user_call("app.plain.after", args=(41,), params=("n",),
                                        returned=42))
    store = str(tmp_path_factory.mktemp("odd") / "records.sqlite3")
    fakes.write_store(store, [("run-odd", "tarnwick record app.py", messages)])
    text = tarnwick("show", "--store", store)
    as_json = tarnwick("show", "--json", "--store", store)
    return text, as_json


def blocks(stdout):
    """The text of each call, by its function's last name."""
    out = {}
    for block in stdout.split("\n\n"):
        header = block.splitlines()[0]
        out.setdefault(header.split()[1].split(".")[-1], []).append(block)
    return out


def test_every_call_is_shown(shown):
    text, as_json = shown
    assert (text.returncode, text.stderr) == (0, "")
    assert (as_json.returncode, as_json.stderr) == (0, "")
    assert text.stdout.count("\n#") + 1 == 2 * len(CASES)
    records = json.loads(as_json.stdout)["calls"]
    assert len(records) == 2 * len(CASES)
    plain = [r for r in records if r["function"] == "app.plain.after"]
    assert len(plain) == len(CASES)
    assert all(r["arguments_before"] == {"n": 41} and r["returned"] == 42 for r in plain)


@pytest.mark.parametrize("name", CASES)
def test_odd_value_shows_as_text(shown, name):
    text, as_json = shown
    _, line, (field, key, value) = ODD_CALLS[name]
    function = name.replace(" ", "_")
    block, = blocks(text.stdout)[function]
    assert line in block
    record, = [r for r in json.loads(as_json.stdout)["calls"]
               if r["function"] == f"app.odd.{function}"]
    shown_value = record[field] if key is None else record[field][key]
    if callable(value):
        assert value(shown_value), shown_value
    else:
        assert shown_value == value


@pytest.mark.parametrize("value, text", [
    (10 ** 4300 - 1, None),  # still within what repr() converts
    (10 ** 4300, "<int with 4301 digits>"),
    (10 ** 4301 - 1, "<int with 4301 digits>"),
    (-(2 ** 20000), "<negative int with 6021 digits>"),
], ids=["4300 digits", "4301 digits", "4301 nines", "negative power of two"])
def test_long_ints_count_their_digits(value, text):
    from tarnwick_collector.store.render import Limits, render_value

    expected = text or repr(value)
    assert render_value(value, Limits(width=0)) == expected


# --- arguments changed by the call ------------------------------------------

SHARED = [1]
LONG = ["x" * 70 + str(i) for i in range(8)]

# name: (arguments before, arguments after, a text the call shows after it
#        that it does not show before)
CHANGES = {
    "last of many items": ((list(range(101)),), (list(range(100)) + [101],), "101"),
    "item appended": ((list(range(100)),), (list(range(101)),), "100]"),
    "end of a long string": (("a" * 500,), ("a" * 499 + "b",), "ab'"),
    "deep inside": (([[[[[1]]]]],), ([[[[[2]]]]],), "2"),
    "late dict value": (({f"k{i}": i for i in range(30)},),
                        ({**{f"k{i}": i for i in range(30)}, "k29": -1},), "'k29': -1"),
    "attribute of an attribute": (
        (fakes.instance("app.inv", "Inventory",
                        stock=fakes.instance("app.inv", "Stock", shelf=[[["pen"]]])),),
        (fakes.instance("app.inv", "Inventory",
                        stock=fakes.instance("app.inv", "Stock", shelf=[[["ink"]]])),),
        "'ink'"),
    "past the width": ((list(LONG),), (LONG[:7] + [LONG[7] + "!"],), "!'"),
}


@pytest.fixture(scope="module")
def changes(tmp_path_factory):
    messages = [fakes.user_call(f"app.calls.{name.replace(' ', '_')}", args=before,
                                after=after, params=("x",))
                for name, (before, after, _) in sorted(CHANGES.items())]
    messages.append(fakes.user_call("app.calls.same", args=([1] * 50,), params=("x",)))
    messages.append(fakes.user_call("app.calls.shared", args=([SHARED, SHARED],),
                                    after=([[1], [1]],), params=("x",)))
    store = str(tmp_path_factory.mktemp("changes") / "records.sqlite3")
    fakes.write_store(store, [("run-changes", "tarnwick record app.py", messages)])
    text = tarnwick("show", "--store", store)
    as_json = tarnwick("show", "--json", "--store", store)
    assert text.returncode == as_json.returncode == 0, text.stderr + as_json.stderr
    records = {r["function"].rsplit(".", 1)[1]: r
               for r in json.loads(as_json.stdout)["calls"]}
    return blocks(text.stdout), records


def argument_lines(block):
    lines = block.splitlines()
    assert lines[1].startswith("  arguments before: ")
    assert lines[2].startswith("  arguments after:  ")
    return lines[1][len("  arguments before: "):], lines[2][len("  arguments after:  "):]


@pytest.mark.parametrize("name", sorted(CHANGES))
def test_a_change_past_the_shortened_text_is_shown(changes, name):
    texts, records = changes
    function = name.replace(" ", "_")
    _, _, piece = CHANGES[name]
    before, after = argument_lines(texts[function][0])
    assert after != before and after != "(unchanged)"
    assert piece in after and piece not in before
    record = records[function]
    assert record["arguments_changed"] is True
    assert record["arguments_after"] != record["arguments_before"]
    # JSON values are whole: the change is in them wherever it lies.
    (value_before,), (value_after,), _ = CHANGES[name]
    if name == "attribute of an attribute":
        shelf = [record[f"arguments_{when}"]["x"]["attributes"]["stock"]["attributes"]["shelf"]
                 for when in ("before", "after")]
        assert shelf == [[[["pen"]]], [[["ink"]]]]
    else:
        assert record["arguments_before"]["x"] == json.loads(json.dumps(value_before))
        assert record["arguments_after"]["x"] == json.loads(json.dumps(value_after))


def test_unchanged_arguments(changes):
    texts, records = changes
    _, after = argument_lines(texts["same"][0])
    assert after == "(unchanged)"
    assert records["same"]["arguments_changed"] is False
    assert records["same"]["arguments_after"] == records["same"]["arguments_before"]


def test_a_change_no_text_can_show_is_still_told(changes):
    # Before the call both items were one list; after it, two equal lists.
    texts, records = changes
    before, after = argument_lines(texts["shared"][0])
    assert after == before + "   (changed in a part not shown)"
    assert records["shared"]["arguments_changed"] is True
