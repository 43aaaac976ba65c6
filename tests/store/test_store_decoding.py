"""Decoding stored messages without importing or running what they name,
and showing the decoded values."""
import collections
import datetime
import decimal
import fractions
import os
import pathlib
import pickle
import sys
import uuid

import pytest

from tarnwick_collector.store import decoding
from tarnwick_collector.store.decoding import DecodeError, StandIn, safe_loads
from tarnwick_collector.store.render import Limits, render_value

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir, "cli"))
import tw_record_fakes as fakes  # noqa: E402


def test_a_stream_that_calls_os_system_runs_nothing(tmp_path):
    marker = tmp_path / "ran"
    stream = b"cos\nsystem\n(V touch " + str(marker).encode() + b"\ntR."
    value = safe_loads(stream)
    assert not marker.exists()
    assert isinstance(value, StandIn) and value.tw_full_name == "os.system"
    assert render_value(value) == f"os.system(' touch {marker}')"


def test_named_modules_are_not_imported(tmp_path, monkeypatch):
    module = tmp_path / "tw_side_effect_mod.py"
    module.write_text(f"open({str(tmp_path / 'imported')!r}, 'w').close()\n"
                      "class Thing:\n    pass\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    stream = fakes.dumps(fakes.instance("tw_side_effect_mod", "Thing", size=3))
    value = safe_loads(stream)
    assert "tw_side_effect_mod" not in sys.modules
    assert not (tmp_path / "imported").exists()
    assert value.tw_full_name == "tw_side_effect_mod.Thing"
    assert value.tw_attributes == {"size": 3}


@pytest.mark.parametrize("value", [
    {1, 2}, frozenset({"a"}), 3 + 4j, bytearray(b"ab"),
    collections.OrderedDict(a=1), collections.deque([1, 2], maxlen=5),
    collections.Counter("aab"),
    datetime.datetime(2024, 5, 6, 7, 8, 9, tzinfo=datetime.timezone.utc),
    datetime.date(2024, 1, 2), datetime.timedelta(seconds=5),
    decimal.Decimal("1.10"), fractions.Fraction(1, 3),
    uuid.UUID(int=5), pathlib.PurePosixPath("/a/b"), range(1, 9, 2),
    type(None),
])
def test_harmless_values_come_back_as_themselves(value):
    assert safe_loads(pickle.dumps(value, protocol=4)) == value


class AppZone(datetime.tzinfo):
    """Pickles as a zone class of a program that is not importable here."""

    _fake_path = ("app.zones", "Fixed")

    def __init__(self, name):
        self.name = name


ZONE_TEXT = "<app.zones.Fixed: name='+01'>"


@pytest.mark.parametrize("value, naive", [
    (datetime.datetime(2020, 1, 2, 3, 4, 0, 6, fold=1, tzinfo=AppZone("+01")),
     "datetime.datetime(2020, 1, 2, 3, 4, 0, 6, fold=1)"),
    (datetime.time(3, 30, tzinfo=AppZone("+01")), "datetime.time(3, 30)"),
])
def test_a_value_in_a_zone_of_the_program_is_a_stand_in_of_its_call(value, naive):
    decoded = safe_loads(fakes.dumps(value))
    assert decoded.tw_full_name == f"datetime.{type(value).__name__}" and decoded.tw_called
    plain, zone = decoding.zoned_parts(decoded)
    assert plain == value.replace(tzinfo=None) and plain.fold == value.fold
    assert zone.tw_full_name == "app.zones.Fixed" and zone.tw_attributes == {"name": "+01"}
    assert render_value(decoded) == f"{naive[:-1]}, tzinfo={ZONE_TEXT})"


@pytest.mark.parametrize("value, text", [
    # A zone of the standard library that is not rebuilt: named by its call.
    (fakes.FakeCall("datetime", "datetime", b"\x07\xe4\x01\x02\x03\x04\x05\x00\x00\x00",
                    fakes.FakeCall("zoneinfo", "ZoneInfo._unpickle", "Europe/Paris", 1)),
     "datetime.datetime(2020, 1, 2, 3, 4, 5, "
     "tzinfo=zoneinfo.ZoneInfo._unpickle('Europe/Paris', 1))"),
    # Arguments no value has: shown as the call they are.
    (fakes.FakeCall("datetime", "time", b"bad", AppZone("+01")),
     f"datetime.time(b'bad', {ZONE_TEXT})"),
])
def test_other_zoned_calls(value, text):
    assert render_value(safe_loads(fakes.dumps(value))) == text


def test_a_local_path_comes_back_as_a_pure_path():
    assert safe_loads(pickle.dumps(pathlib.Path("/x/y"))) == pathlib.PurePosixPath("/x/y")


@pytest.mark.parametrize("data", [b"", b"garbage", b"\x80\x04\x95", pickle.dumps([1])[:-1]])
def test_malformed_streams_raise_decode_error(data):
    with pytest.raises(DecodeError):
        safe_loads(data)


def test_list_and_dict_subclass_items_are_kept():
    class Bag(list):
        pass

    class Table(dict):
        pass

    Bag.__module__ = Table.__module__ = "tw_missing_module"
    Bag._fake_path = ("tw_missing_module", "Bag")
    Table._fake_path = ("tw_missing_module", "Table")
    value = safe_loads(fakes.dumps([Bag([1, 2]), Table(k="v")]))
    assert value[0].tw_items == [1, 2]
    assert value[1].tw_entries == [("k", "v")]


@pytest.mark.parametrize("kind, own, counter", [
    ("StartEvent", {}, "start_events"),
    ("ExitEvent", {}, "exit_events"),
    ("CollectionTry", {}, "collection_try"),
    ("CollectionSuccess", {}, "collection_success"),
    ("CollectorFailure", {"reason": fakes.failure_reason("asyncio")}, "collection_failures"),
    ("Unpicklable", {"object_type": "_thread.lock",
                     "unpicklable_reason": fakes.FakeCall(fakes.METRICS, "UnpicklableReasons",
                                                          "type_error"),
                     "reason": fakes.failure_reason("unpicklable")}, "collection_failures"),
    ("LimitFailure", {"function_full_name": "a.f", "limit_reason": "x",
                      "reason": fakes.failure_reason("limit")}, "collection_failures"),
    ("ExternalFunction", {"full_name": "time.time"}, "external_functions"),
    ("SamplingRateWasSet", {"sampling_rate": 0.5}, "sampling_rate_was_set"),
    ("ExternalCallsMaxLimitWasSet", {"external_calls_max": 7},
     "external_calls_max_limit_was_set"),
])
def test_metric_counter_and_attributes(kind, own, counter):
    got_counter, got_kind, attrs = decoding.describe_metric_message(fakes.metric(kind, **own))
    assert (got_counter, got_kind) == (counter, kind)
    base = ["tenant_id", "collector_version", "project_id", "python_version"]
    assert list(attrs) == list(own) + base
    if "reason" in own:
        assert attrs["reason"] == own["reason"].args[0]
    if kind == "Unpicklable":
        assert attrs["unpicklable_reason"] == "type_error"


def test_metric_reduced_to_used_attributes_keeps_its_class():
    cls = fakes.fake_class(fakes.METRICS, "CollectionSuccess")
    wrapped = fakes.FakeCall(fakes.PICKLER, "wrap_object", cls, {},
                             state={"tenant_id": None, "project_id": None,
                                    "python_version": "3.11", "collector_version": "1"})
    counter, kind, attrs = decoding.describe_metric_message(fakes.dumps(wrapped))
    assert (counter, kind, attrs["python_version"]) == ("collection_success",
                                                       "CollectionSuccess", "3.11")


def test_a_class_of_another_module_is_not_a_metric():
    counter, kind, _ = decoding.describe_metric_message(
        fakes.dumps(fakes.instance("app.metrics", "CollectionSuccess")))
    assert counter is None and kind == "CollectionSuccess"


def test_data_message_names_its_function():
    msg = fakes.user_call("shop.pricing.order_total", args=(1,), params=("x",))
    assert decoding.describe_data_message(msg) == ("shop.pricing.order_total", "shop.pricing")


# --- rendering -------------------------------------------------------------

def _named(module, name):
    return fakes.fake_class(module, name)


@pytest.mark.parametrize("value, text", [
    (fakes.loadclass("shop.pricing.with_tax"), "shop.pricing.with_tax"),
    (fakes.FakeCall(fakes.PICKLER, "wrap_module", "json"), "<module json>"),
    (fakes.FakeCall(fakes.PICKLER, "wrap_function", "sqlalchemy.ext.declarative.declarative_base"),
     "<rebuilt by sqlalchemy.ext.declarative.declarative_base>"),
    (fakes.wrap_exception("builtins.ValueError", "bad", 3), "builtins.ValueError('bad', 3)"),
    (fakes.FakeCall(fakes.PICKLER, "wrap_object", _named("shop.config", "Settings"),
                    {"reload": fakes.loadclass("shop.config.Settings.reload")},
                    state={"tax_rate": 0.2}),
     "<shop.config.Settings: tax_rate=0.2; methods: reload>"),
    (fakes.FakeCall(fakes.WRAPPERS, "UnpicklableObject", "<class '_thread.lock'>",
                    {"release": fakes.instance(fakes.WRAPPERS, "FunctionWrapper",
                                               full_name="_thread.lock.release")},
                    state={"locked": False, "acquire": fakes.FakeCall(
                        "builtins", "getattr", _named("_thread", "lock"), "acquire")}),
     "<unpicklable _thread.lock: locked=False>"),
    (fakes.FakeCall("builtins", "getattr", _named("shop.catalog", "Product"), "reserve"),
     "shop.catalog.Product.reserve"),
    (fakes.instance("shop.catalog", "Product", name="pen", price=1.2),
     "<shop.catalog.Product: name='pen', price=1.2>"),
    (_named("shop.catalog", "Product"), "shop.catalog.Product"),
    (type(None), "NoneType"),
    (int, "int"),
])
def test_placeholders_render_as_what_they_stand_for(value, text):
    assert render_value(safe_loads(fakes.dumps(value))) == text


@pytest.mark.parametrize("limits, value, expected", [
    (Limits(items=3), list(range(10)), "[0, 1, 2, ...<7 more>]"),
    (Limits(string=5), "abcdefghij", "'abcde'...<10 chars>"),
    (Limits(depth=2), [[[1]]], "[[...]]"),
    (Limits(width=10), "x" * 50, "'xxxxxx..."),
])
def test_values_are_clipped(limits, value, expected):
    assert render_value(value, limits) == expected


def test_a_cycle_renders_without_recursing():
    a = [1]
    a.append(a)
    assert render_value(safe_loads(pickle.dumps(a))) == "[1, <cycle>]"
