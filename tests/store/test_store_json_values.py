"""Recorded values as JSON values (``show --json``): JSON-able values come
back exactly, everything else as {"type", "text", ...}; shared parts cannot
blow the output up; unprintable characters are escaped in the text only."""
import collections
import datetime
import json
import os
import sys

import pytest

from tarnwick_collector.store.decoding import safe_loads
from tarnwick_collector.store.json_values import JsonValues, escape_unprintable
from tarnwick_collector.store.render import Limits, RecordView, to_json
from tarnwick_collector.store.values import _Renderer

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "cli"))
import tw_record_fakes as fakes  # noqa: E402


def as_json(value, limits=None):
    """``value`` pickled as the collector would, decoded and turned into a
    JSON value, through a JSON text."""
    decoded = safe_loads(fakes.dumps(value))
    out = JsonValues(_Renderer(limits or Limits(width=0))).value(decoded)
    return json.loads(json.dumps(out))


@pytest.mark.parametrize("value", [
    None, True, 0, -7, 2 ** 70, 1.5, "", "plain", "tab\there \x1b[31m \u202e",
    [1, [2, "x"]], {"a": {"b": [None, False]}}, [],
])
def test_json_able_values_are_themselves(value):
    assert as_json(value) == value


def test_tuples_are_arrays_and_non_string_keys_are_pairs():
    assert as_json((1, ("a", 2.5))) == [1, ["a", 2.5]]
    got = as_json({1: "one", "two": 2})
    assert got["type"] == "builtins.dict" and got["items"] == [[1, "one"], ["two", 2]]
    assert got["text"] == "{1: 'one', 'two': 2}"


@pytest.mark.parametrize("value, type_name, text", [
    (b"\x00ab", "builtins.bytes", "b'\\x00ab'"),
    (float("nan"), "builtins.float", "nan"),
    (float("-inf"), "builtins.float", "-inf"),
    (1 + 2j, "builtins.complex", "(1+2j)"),
    (datetime.date(2024, 5, 1), "datetime.date", "datetime.date(2024, 5, 1)"),
])
def test_other_values_are_type_and_text(value, type_name, text):
    assert as_json(value) == {"type": type_name, "text": text}


def test_containers_that_are_not_json_keep_their_items():
    got = as_json({3, 1})
    assert got["type"] == "builtins.set" and sorted(got["items"]) == [1, 3]
    got = as_json(collections.deque([1, "a"]))
    assert got == {"type": "collections.deque", "text": "deque([1, 'a'])", "items": [1, "a"]}


def test_an_int_too_long_for_text_is_described():
    got = as_json(10 ** 5000)
    assert got["type"] == "builtins.int" and got["text"] == "<int with 5001 digits>"


def test_objects_carry_their_class_and_attributes():
    obj = fakes.FakeCall(fakes.PICKLER, "wrap_object", fakes.fake_class("shop.cart", "Cart"),
                         {"total": fakes.loadclass("shop.cart.Cart.total")},
                         state={"items": [("pen", 2)], "owner": None})
    got = as_json(obj)
    assert got["type"] == "shop.cart.Cart"
    assert got["attributes"] == {"items": [["pen", 2]], "owner": None}
    assert got["text"].startswith("<shop.cart.Cart: items=[('pen', 2)]")
    plain = as_json(fakes.instance("shop.config", "Settings", rate=0.2))
    assert plain["type"] == "shop.config.Settings" and plain["attributes"] == {"rate": 0.2}


def test_exceptions_references_and_markers():
    exc = as_json(fakes.wrap_exception("shop.errors.OutOfStock", "pen", 3))
    assert exc["type"] == "shop.errors.OutOfStock" and exc["args"] == ["pen", 3]
    assert exc["text"] == "shop.errors.OutOfStock('pen', 3)"
    ref = as_json(fakes.loadclass("shop.cart.Cart"))
    assert ref == {"type": "tarnwick.reference", "text": "shop.cart.Cart",
                   "name": "shop.cart.Cart"}
    module = as_json(fakes.FakeCall(fakes.PICKLER, "wrap_module", "shop.cart"))
    assert module["type"] == "builtins.module" and module["name"] == "shop.cart"
    redacted = as_json(fakes.instance("tarnwick_common.redaction", "Redacted"))
    assert redacted == {"type": "tarnwick.redacted", "text": "<redacted>"}


def test_a_value_that_contains_itself_ends_in_a_cycle_marker():
    loop = [1]
    loop.append(loop)
    got = as_json(loop)
    assert got[0] == 1 and got[1]["type"] == "tarnwick.cycle"


def test_shared_parts_cannot_blow_the_output_up():
    # 2**40 paths through a few hundred bytes: written out whole it would
    # never end.
    value = ["x" * 100]
    for _ in range(40):
        value = [value, value]
    decoded = safe_loads(fakes.dumps(value))
    out = JsonValues(_Renderer(Limits(width=200))).value(decoded)
    text = json.dumps(out)
    assert len(text) < 40_000_000
    assert '"type": "builtins.list"' in text  # the parts past the bound, as texts


def test_unprintable_characters_are_escaped_and_read_back():
    value = {"k\x1b": "a\u202eb\x85c\udc80", "emoji": "\U0001f600", "é": "ü"}
    text = escape_unprintable(json.dumps(value, ensure_ascii=False))
    assert text.isprintable() and "é" in text and "\U0001f600" in text
    assert json.loads(text) == value


def test_a_call_as_json_says_its_outcome():
    returned_none = RecordView.from_row(
        (1, "run", 0.0, "m.f", "m", 10, None, fakes.user_call("m.f", args=(1,), params=("x",))))
    doc = to_json(returned_none)
    assert doc["outcome"] == "returned" and doc["returned"] is None
    assert doc["arguments_before"] == {"x": 1} and doc["arguments_changed"] is False
    raised = RecordView.from_row((2, "run", 0.0, "m.g", "m", 10, None, fakes.user_call(
        "m.g", raised=fakes.wrap_exception("builtins.ValueError", "bad"),
        external=(("random.random", 0.25),))))
    doc = to_json(raised)
    assert doc["outcome"] == "raised" and doc["returned"] is None
    assert doc["raised"]["type"] == "builtins.ValueError" and doc["raised"]["args"] == ["bad"]
    assert doc["external_calls"] == [
        {"function": "random.random", "outcome": "returned", "returned": 0.25, "raised": None}]
