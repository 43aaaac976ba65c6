"""A small project recorded by the real recording core: what reaches the
data and metrics channels."""
import importlib
import sys
import textwrap

import pytest

import tarnwick_collector

pytest.importorskip("tarnwick_collector.data_collection.marrowick")
pytest.importorskip("tarnwick_collector.data_serialization.quessel")

SHOP = '''
import json
import random
import time

CURRENCY = {"code": "EUR", "rate": 2}


class Settings:
    discount = 0.5
    label = "promo"


SETTINGS = Settings()


class Cart:
    def __init__(self, owner):
        self.owner = owner
        self.items = []

    def add(self, name, price):
        self.items.append((name, price))
        return len(self.items)

    def total(self):
        return sum(p for _, p in self.items) * CURRENCY["rate"] * SETTINGS.discount


def stamp(tag):
    return {"tag": tag, "at": time.time(), "luck": random.random()}


def load_config(path):
    with open(path) as fh:
        return json.loads(fh.read())


def normalize(values):
    values.sort()
    values.append(0)
    return len(values)


def checkout(cart, path):
    config = load_config(path)
    note = stamp(config["tag"])
    return cart.total(), note["tag"]


def refuse(amount):
    if amount < 0:
        raise ValueError(f"negative amount {amount}")
    return amount
'''


@pytest.fixture
def recorded(settings, tmp_path, monkeypatch):
    """Runs a session of the shop project recorded; returns the module, the
    records by full name and the metrics, all deserialized."""
    root = tmp_path / "shopproj"
    root.mkdir()
    (root / "twmod_shop.py").write_text(textwrap.dedent(SHOP))
    config = root / "conf.json"
    config.write_text('{"tag": "x"}')
    monkeypatch.syspath_prepend(str(root))
    importlib.invalidate_caches()
    tarnwick_collector.start(project_path=str(root))
    try:
        import twmod_shop as shop
        cart = shop.Cart("ann")
        cart.add("apple", 3)
        shop.normalize([3, 1, 2])
        outcome = shop.checkout(cart, str(config))
        with pytest.raises(ValueError):
            shop.refuse(-1)
        stamped = shop.stamp("direct")
    finally:
        tarnwick_collector.stop()
    ser = settings.serializer
    records = {}
    for message in settings.data_subprocess.messages:
        record = ser.deserialize(message)
        records.setdefault(record.function_metadata.full_name, []).append(record)
    metric_objects = [ser.deserialize(m) for m in settings.metrics_subprocess.messages]
    yield shop, records, metric_objects, ser, outcome, stamped
    sys.modules.pop("twmod_shop", None)


def test_method_call_has_its_receiver_first_and_state_before_and_after(recorded):
    shop, records, _, ser, _, _ = recorded
    (add,) = records["twmod_shop.Cart.add"]
    pre, post = ser.deserialize(add.pre_run_args), ser.deserialize(add.post_run_args)
    assert isinstance(pre[0], shop.Cart) and pre[1:] == ("apple", 3)
    assert pre[0].items == [] and post[0].items == [("apple", 3)]
    assert ser.deserialize(add.return_value) == 1
    (init,) = records["twmod_shop.Cart.__init__"]
    assert ser.deserialize(init.pre_run_args) == ("ann",)  # Cart("ann")
    built = ser.deserialize(init.return_value)  # as it was when built
    assert isinstance(built, shop.Cart) and (built.owner, built.items) == ("ann", [])


def test_arguments_mutated_by_the_call_differ_before_and_after(recorded):
    _, records, _, ser, _, _ = recorded
    (rec,) = records["twmod_shop.normalize"]
    assert ser.deserialize(rec.pre_run_args) == ([3, 1, 2],)
    assert ser.deserialize(rec.post_run_args) == ([1, 2, 3, 0],)
    assert ser.deserialize(rec.return_value) == 4
    assert ser.deserialize(rec.execption) is type(None)


def test_exception_of_the_call_is_recorded(recorded):
    _, records, _, ser, _, _ = recorded
    (rec,) = records["twmod_shop.refuse"]
    exc = ser.deserialize(rec.execption)
    assert type(exc).__name__ == "ValueError" and str(exc) == "negative amount -1"
    assert ser.deserialize(rec.return_value) is None


def externals(record, ser):
    return [(e.function_metadata.full_name, ser.deserialize(e.return_value))
            for e in record.external_calls]


def test_external_calls_with_their_return_values(recorded):
    _, records, _, ser, _, stamped = recorded
    direct = [r for r in records["twmod_shop.stamp"]
              if ser.deserialize(r.pre_run_args) == ("direct",)][0]
    assert externals(direct, ser) == [("time.time", stamped["at"]),
                                      ("random.Random.random", stamped["luck"])]
    (load,) = records["twmod_shop.load_config"]
    names = [name for name, _ in externals(load, ser)]
    assert names[0] == "io.open" and names[2] == "_io.TextIOWrapper.read"
    assert names[1].endswith(".__enter__") and names[3].endswith(".__exit__")
    assert dict(externals(load, ser))["_io.TextIOWrapper.read"] == '{"tag": "x"}'
    # json.loads is stateless: let run, not recorded.
    assert not any("json" in n for n in names)


def test_nested_calls_are_recorded_and_their_externals_reach_the_caller(recorded):
    _, records, _, ser, outcome, _ = recorded
    (checkout,) = records["twmod_shop.checkout"]
    assert ser.deserialize(checkout.return_value) == outcome == (3.0, "x")
    names = [n for n, _ in externals(checkout, ser)]
    assert names[:1] == ["io.open"] and names[-2:] == ["time.time",
                                                      "random.Random.random"]
    nested = {"twmod_shop.load_config", "twmod_shop.stamp", "twmod_shop.Cart.total"}
    assert nested <= set(records)


def test_globals_read_and_the_attributes_read_from_them(recorded):
    shop, records, _, ser, _, _ = recorded
    (total,) = records["twmod_shop.Cart.total"]
    used = ser.deserialize(total.globals)
    assert used["CURRENCY"] == {"code": "EUR", "rate": 2}
    settings_obj = used["SETTINGS"]
    assert settings_obj.discount == 0.5
    assert not hasattr(settings_obj, "label")  # only what the call read
    (stamp_rec,) = [r for r in records["twmod_shop.stamp"]
                    if ser.deserialize(r.pre_run_args) == ("x",)]
    assert set(ser.deserialize(stamp_rec.globals)) == {"time", "random"}


def test_metrics_of_each_call(recorded):
    _, records, metrics, _, _, _ = recorded
    kinds = [type(m).__name__ for m in metrics]
    n_records = sum(len(v) for v in records.values())
    assert kinds[:3] == ["StartEvent", "SamplingRateWasSet",
                         "ExternalCallsMaxLimitWasSet"]
    assert kinds[-1] == "ExitEvent"
    assert kinds.count("CollectionTry") == n_records == kinds.count("CollectionSuccess")
    seen = {m.full_name for m in metrics if type(m).__name__ == "ExternalFunction"}
    assert {"time.time", "random.Random.random", "io.open"} <= seen
