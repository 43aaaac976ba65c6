"""The package's own records and metrics are written by safe_pickle without
the C pickler: the bytes must be those a SafePickler writes, in every case
the direct writer takes, and in every case it hands back."""
import pickle

import pytest
from pickler_support import fresh

from tarnwick_collector.data_collection import metrics, pellory
from tarnwick_collector.data_collection.used_attributes_collector import (
    used_attributes,
)
from tarnwick_collector.data_serialization import pickler

SafePickler = pickler.SafePickler


def own(cls, **state):
    obj = cls.__new__(cls)
    obj.__dict__.update(state)
    return obj


def metadata(**extra):
    return own(pellory.UserFunctionMetadata, code_hash="0" * 32,
               full_path="/src/app.py", co_names=("a", "b"),
               function_signature=b"\x80\x04N.", is_async=False,
               module_name="app", full_name="app.f", **extra)


def record(**fields):
    base = dict(external_calls=[], awaited_functions=[],
                function_metadata=metadata(), pre_run_args=b"\x80\x04).",
                pre_run_kwargs=b"\x80\x04}\x94.", globals=b"\x80\x04}\x94.",
                return_value=b"\x80\x04K\x01.", execption=None,
                unknown_modules=set())
    base.update(fields)
    return own(pellory.UserFunctionCall, **base)


def external(name):
    meta = own(pellory.ExternalFunctionMetadata, module_name="json",
               full_name=name, code_hash=None, full_path=None)
    return own(pellory.ExternalFunctionCall, function_metadata=meta,
               return_value=b"\x80\x04N.", execption=None)


SHARED = b"".join([b"sha", b"red"])  # one bytes object, not a constant
WORD = "".join(["wo", "rd"])
CYCLE = []
CYCLE.append(CYCLE)
DICT_CYCLE = {}
DICT_CYCLE["self"] = DICT_CYCLE
TUPLE_CYCLE = ([],)
TUPLE_CYCLE[0].append(TUPLE_CYCLE)

CASES = {
    "a plain record": record(),
    "external calls, one metadata shared": record(
        external_calls=[external("json.dumps"), external("json.loads")] * 3),
    "one bytes object in two fields": record(pre_run_args=SHARED,
                                             post_run_args=SHARED),
    "one str in many places": record(unknown_modules={WORD},
                                     return_value=WORD, globals=(WORD, WORD)),
    "non-ASCII text": record(return_value="ünïcødé ✓ " * 40),
    "text and bytes about the short forms": record(
        a="x" * 255, b="x" * 256, c=b"y" * 255, d=b"y" * 256),
    "numbers at every width": record(numbers=[
        0, 1, 255, 256, 65535, 65536, -1, -256, 2**31 - 1, -2**31,
        0.5, -0.0, float("inf"), True, False, None]),
    "integers beyond 32 bits": record(big=2**31, small=-2**31 - 1),
    "containers of every small size": record(
        tuples=[(), (1,), (1, 2), (1, 2, 3), (1, 2, 3, 4)],
        lists=[[], [1], [1, 2]], dicts=[{}, {"a": 1}, {"a": 1, "b": 2}],
        sets=[set(), {1}, {1, 2}]),
    "a frozenset inside": record(frozen=frozenset({1})),
    "more than 256 memoized objects": record(
        words=[str(i) for i in range(300)], again=None),
    "a batch of a thousand": record(items=list(range(1000))),
    "a list inside itself": record(loop=CYCLE),
    "a dict inside itself": record(loop=DICT_CYCLE),
    "a tuple inside itself": record(loop=TUPLE_CYCLE),
    "a state key that shadows the reduction": record(__reduce_ex__=1),
    "a stream near one frame": record(blob=b"z" * (64 * 1024 - 700)),
    "a stream beyond one frame": record(blob=b"z" * (64 * 1024 + 10)),
    "a value of another kind inside": record(kind=complex(1, 2),
                                            other=pickle.PickleError()),
    "lone surrogates": record(text="\udc80 broken"),
    "an instance without attributes": own(pellory.UserFunctionCall),
    "a metric": metrics.CollectionTry(None, "project", "3.11.7", "0.1.0"),
    "a metric with a float": metrics.SamplingRateWasSet(
        None, None, "3.11.7", "0.1.0", 0.25),
}


# The cases the direct writer hands back to the C pickler.
HANDED_BACK = {
    "integers beyond 32 bits", "a batch of a thousand", "a frozenset inside",
    "a tuple inside itself",
    "a state key that shadows the reduction", "a stream beyond one frame",
    "a value of another kind inside", "lone surrogates",
    "an instance without attributes",
}


def written_directly(value, object_wrapper=True):
    before = pickler._own_objects_written()
    data = pickler.safe_pickle(value, object_wrapper)
    return data, pickler._own_objects_written() - before == 1


@pytest.mark.parametrize("name", CASES)
def test_own_objects_are_written_as_a_safe_pickler_writes_them(name):
    value = CASES[name]
    expected = fresh(value)
    data, direct = written_directly(value)
    assert data == expected
    assert direct == (name not in HANDED_BACK)
    assert written_directly(value, False)[0] == fresh(value, False)


def test_the_records_of_a_recorded_call_come_out_unchanged(tmp_path):
    # What the recorder itself made: a record of a call with external
    # calls, and the record again after it was read back.
    import json

    from tarnwick_collector.configs.collector_settings import CollectorSettings

    meta = metadata()
    rec = record(function_metadata=meta,
                 external_calls=[external("json.dumps")],
                 return_value=CollectorSettings.serializer.serialize(
                     json.dumps({"a": [1, 2]})))
    data = pickler.safe_pickle(rec)
    assert data == fresh(rec)
    again = pickle.loads(data)
    assert pickler.safe_pickle(again) == data


# Values as most arguments and return values are: written without the C
# pickler at the top too, and with the frame header the C pickler drops
# from a frame under four bytes.
PLAIN = {
    "None": None, "True": True, "a small int": 7, "an int of 32 bits": 70000,
    "a float": 1.5, "empty text": "", "text": "wörd", "bytes": b"\x00\xff",
    "an empty tuple": (), "arguments": (1.5, "k", [2, {"a": None}]),
    "a dict of lists": {"a": [1, 2], "b": [], "c": {3}},
    "one str twice": (WORD, WORD), "a list inside itself": CYCLE,
    "text beyond the short form": "x" * 300,
    "many memoized values": [[str(i), str(i + 1)] for i in range(900)],
}
PLAIN_HANDED_BACK = {
    "an int beyond 32 bits": 2**40, "a frozenset": frozenset({1}),
    "lone surrogates": "\udc80", "a long list": list(range(1000)),
    "a value of another kind inside": [complex(1, 2)],
    "beyond one frame": b"z" * (64 * 1024 + 10),
    "a tuple inside itself": TUPLE_CYCLE,
}


@pytest.mark.parametrize("name", list(PLAIN) + list(PLAIN_HANDED_BACK))
def test_plain_values_are_written_as_a_safe_pickler_writes_them(name):
    value = PLAIN.get(name, PLAIN_HANDED_BACK.get(name))
    data, direct = written_directly(value)
    assert data == fresh(value)
    assert direct == (name in PLAIN)


def test_a_small_dump_after_a_large_one_is_written_afresh():
    # The writer is kept between dumps; what a large dump memoized must not
    # show in the next one.
    large = PLAIN["many memoized values"]
    for value in (large, (WORD, WORD), large, "x", [1, [2]]):
        assert written_directly(value) == (fresh(value), True)


def test_the_type_of_none_is_written_as_pickle_writes_it():
    data, direct = written_directly(type(None))
    assert direct
    assert data == pickle.dumps(type(None), 4) == fresh(type(None))


def test_a_class_no_longer_under_its_name_is_left_to_the_safe_pickler(
        monkeypatch):
    value = record()
    monkeypatch.setattr(pellory, "UserFunctionCall", type("Other", (), {}))
    data, direct = written_directly(value)
    assert not direct
    assert data == fresh(value)


def test_a_record_at_an_address_with_used_attributes_is_written_whole():
    value = record()
    used_attributes[id(value)] = {"return_value"}
    try:
        assert pickler.safe_pickle(value) == fresh(value)
    finally:
        used_attributes.pop(id(value), None)


def test_a_replaced_pickler_class_writes_the_records(monkeypatch):
    written = []

    class Counting(SafePickler):
        def reducer_override(self, obj):
            written.append(type(obj).__name__)
            return super().reducer_override(obj)

    monkeypatch.setattr(pickler, "SafePickler", Counting)
    assert not written_directly(record())[1]
    assert "UserFunctionCall" in written


def test_redaction_still_applies_to_own_objects(monkeypatch):
    from tarnwick_collector.configs.collector_settings import CollectorSettings

    monkeypatch.setattr(CollectorSettings, "redact_patterns", ("password",),
                        raising=False)
    value = record(settings={"password": "hunter2"})
    data = pickler.safe_pickle(value)
    assert b"hunter2" not in data
    assert pickle.loads(data).settings["password"] != "hunter2"
