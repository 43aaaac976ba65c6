"""Crafted streams: what a stream can make through the constructors the
reader rebuilds is bounded, and what is over shows as a marker."""
import collections
import decimal
import pickle
import struct

import pytest

from tarnwick_collector.store import decoding
from tarnwick_collector.store.decoding import TooLarge, safe_loads
from tarnwick_collector.store.render import render_value

# --- writing pickles by hand ---------------------------------------------


def glob(module, name):
    return b"c" + module.encode() + b"\n" + name.encode() + b"\n"


def text(s):
    data = s.encode("utf-8", "surrogatepass")
    return pickle.BINUNICODE + struct.pack("<I", len(data)) + data


def integer(n):
    if -(1 << 31) <= n < (1 << 31):
        return pickle.BININT + struct.pack("<i", n)
    raw = n.to_bytes((n.bit_length() + 8) // 8, "little", signed=True)
    return pickle.LONG1 + bytes([len(raw)]) + raw


def call(func, *args):
    """``func(*args)`` by REDUCE."""
    return func + pickle.MARK + b"".join(args) + pickle.TUPLE + pickle.REDUCE


def put(index):
    return pickle.BINPUT + bytes([index])


def get(index):
    return pickle.BINGET + bytes([index])


def stream(body):
    return pickle.PROTO + b"\x02" + body + pickle.STOP


RANGE_1E8 = call(glob("builtins", "range"), integer(10 ** 8))

BOMBS = {
    "Fraction from a string": (
        call(glob("fractions", "Fraction"), text("1e30000000")),
        "Fraction with a decimal exponent over 10000"),
    "Fraction of a tiny decimal": (
        call(glob("fractions", "Fraction"),
             call(glob("decimal", "Decimal"), text("1e-30000000"))),
        "Fraction with a decimal exponent over 10000"),
    "Fraction with a long exponent": (
        call(glob("fractions", "Fraction"), text("1e" + "9" * 400)),
        "Fraction with a decimal exponent over 10000"),
    "int of a decimal": (
        call(glob("builtins", "int"), call(glob("decimal", "Decimal"), text("1e30000000"))),
        "int with a decimal exponent over 10000"),
    "frozenset of a range": (
        call(glob("builtins", "frozenset"), RANGE_1E8), "frozenset of 100000000 items"),
    "set of a range too long to measure": (
        call(glob("builtins", "set"), call(glob("builtins", "range"), integer(1 << 70))),
        "set of too many items"),
    "list, tuple, deque and Counter of a range": (
        pickle.MARK + b"".join(call(glob(m, n), RANGE_1E8) for m, n in (
            ("builtins", "list"), ("builtins", "tuple"), ("collections", "deque"),
            ("collections", "Counter"))) + pickle.LIST,
        "deque of 100000000 items"),
    "bytes of a count": (
        call(glob("builtins", "bytes"), integer(10 ** 9)), "bytes of 1000000000 bytes"),
    "bytearray of a count": (
        call(glob("builtins", "bytearray"), integer(10 ** 9)),
        "bytearray of 1000000000 bytes"),
    "bytes by NEWOBJ": (
        glob("builtins", "bytes") + integer(10 ** 9) + pickle.TUPLE1 + pickle.NEWOBJ,
        "bytes of 1000000000 bytes"),
    "a path of one long part many times over": (
        text("p" * 100_000) + put(0) + glob("pathlib", "PurePosixPath") + pickle.MARK
        + get(0) * 2000 + pickle.TUPLE + pickle.REDUCE,
        "path of 200000000 characters"),
}


@pytest.mark.parametrize("name", sorted(BOMBS))
def test_an_amplifying_constructor_gives_a_marker(name):
    body, what = BOMBS[name]
    data = stream(body)
    value = safe_loads(data)
    shown = render_value(value)
    assert f"<too large to decode: {what}>" in shown
    assert len(shown) < 1000


def test_copies_of_a_shared_list_are_bounded_all_together():
    # One list of 20,000 items, copied once per reference to it: each copy
    # is small to write and large to make.
    body = (pickle.EMPTY_LIST + put(0) + pickle.MARK + integer(7) * 20_000
            + pickle.APPENDS + pickle.MARK
            + call(glob("builtins", "list"), get(0)) * 300 + pickle.LIST)
    value = safe_loads(stream(body))
    made = [v for v in value if isinstance(v, list)]
    over = [v for v in value if isinstance(v, TooLarge)]
    assert over and over[0].what == "list of 20000 items"
    # What was made stays within the budget of the load.
    assert len(made) * 20_000 * decoding.ITEM_COST <= \
        decoding.BUDGET_BASE + decoding.BUDGET_PER_BYTE * len(stream(body))


def test_text_of_a_container_is_not_made():
    body = text("x" * 10_000) + put(0) + pickle.POP + call(
        glob("builtins", "str"), pickle.MARK + get(0) * 5000 + pickle.LIST)
    shown = render_value(safe_loads(stream(body)))
    assert shown.startswith("builtins.str([") and len(shown) < 1000


@pytest.mark.parametrize("value", [
    bytearray(b"z" * 2_000_000), list(range(50_000)), set(range(50_000)),
    collections.deque(range(1000), maxlen=10), collections.Counter("abracadabra"),
    collections.OrderedDict((str(i), i) for i in range(1000)),
    decimal.Decimal("1e30000000"), decimal.Decimal("-1.5e-999"),
])
@pytest.mark.parametrize("protocol", [3, 4])
def test_values_of_ordinary_size_come_back(value, protocol):
    data = pickle.dumps(value, protocol=protocol, fix_imports=False)
    assert safe_loads(data) == value


def test_a_bounded_constructor_still_reads_as_its_class():
    # Classes written as values (a default factory, a base class) show as
    # themselves.
    value = safe_loads(pickle.dumps([set, frozenset, bytes, collections.deque, str], 4))
    assert render_value(value) == "[set, frozenset, bytes, collections.deque, str]"


def test_metric_attributes_of_shared_parts_stay_short():
    # A value built of parts shared many times over is as long as its
    # repr() only when shown in full.
    layers = text("y" * 50) + put(0) + pickle.POP
    for i in range(40):
        layers += get(i) + get(i) + pickle.TUPLE2 + put(i + 1) + pickle.POP
    layers += get(40)
    metric = (glob(decoding.METRICS_MODULE, "ExternalFunction") + pickle.EMPTY_TUPLE
              + pickle.NEWOBJ + pickle.EMPTY_DICT + text("full_name") + layers
              + pickle.SETITEM + pickle.BUILD)
    counter, kind, attrs = decoding.describe_metric_message(stream(metric))
    assert counter == "external_functions"
    assert len(attrs["full_name"]) <= 2000


def test_a_set_made_by_its_constructor_of_a_tuple_too_costly_to_hash():
    # ('y', 'y'), then a tuple of that one twice, forty times over: a few
    # hundred bytes, 2**40 steps to hash.
    body = text("y") + put(0) + pickle.POP
    for i in range(40):
        body += get(i) + get(i) + pickle.TUPLE2 + put(i + 1) + pickle.POP
    body += call(glob("builtins", "frozenset"), pickle.MARK + get(40) + pickle.LIST)
    value = safe_loads(stream(body))
    assert value == TooLarge("frozenset of items too costly to hash")


DEEP_TUPLE = text("y") + pickle.TUPLE1 * 200_000


@pytest.mark.parametrize("body", [
    pickle.EMPTY_DICT + DEEP_TUPLE + pickle.NONE + pickle.SETITEM,
    pickle.MARK + DEEP_TUPLE + pickle.FROZENSET,
    pickle.EMPTY_SET + pickle.MARK + DEEP_TUPLE + pickle.ADDITEMS,
    pickle.MARK + DEEP_TUPLE + pickle.NONE + pickle.DICT,
], ids=["dict key", "frozenset", "set", "dict"])
def test_a_tuple_nested_too_deeply_to_hash_is_not_hashed(body):
    # Hashing it would overflow the interpreter's C stack.
    value = safe_loads(stream(body))
    assert "<too large to decode: tuple nested too deeply to hash>" in render_value(value)


def test_a_long_stream_of_tuples_shared_too_often_is_not_hashed():
    body = text("y") + put(0) + pickle.POP
    for i in range(60):
        body += get(i) + get(i) + pickle.TUPLE2 + put(i + 1) + pickle.POP
    body += pickle.MARK + get(60) + pickle.FROZENSET
    # Long enough (tuple-making bytes) to be checked before hashing.
    body += pickle.POP + pickle.MARK + text("pad") + pickle.TUPLE1 * 20_000 + pickle.POP_MARK
    body += pickle.MARK + get(60) + pickle.FROZENSET
    value = safe_loads(stream(body))
    assert value == frozenset({TooLarge(
        "tuple too costly to hash (its parts are shared too often)")})


def test_a_long_stream_of_ordinary_keys_comes_back():
    value = {(i, str(i)): frozenset({(i,)}) for i in range(30_000)}
    data = pickle.dumps(value, protocol=4)
    assert decoding._may_nest_deeply(data)
    assert safe_loads(data) == value


# --- memo indices ---------------------------------------------------------

MEMO_BOMBS = {
    "LONG_BINPUT": stream(pickle.NONE + pickle.LONG_BINPUT
                          + struct.pack("<I", 0x7FFFFFFF)),
    "text PUT": stream(pickle.NONE + pickle.PUT + b"999999999\n"),
    "text PUT with a sign": stream(pickle.NONE + pickle.PUT + b"+99999999\n"),
}


@pytest.mark.parametrize("data", MEMO_BOMBS.values(), ids=MEMO_BOMBS.keys())
def test_a_memo_index_no_stream_of_its_length_can_name_is_refused(data):
    # The C unpickler would grow its memo to twice the index and clear every
    # entry (gigabytes for ten bytes) before failing or going on.
    with pytest.raises(decoding.DecodeError, match="memo index out of range"):
        safe_loads(data)


@pytest.mark.parametrize("protocol", range(0, pickle.HIGHEST_PROTOCOL + 1))
def test_honest_memo_indices_load_at_every_protocol(protocol):
    shared = ["shared"]
    value = {"a": [shared] * 300, "b": (1.5, "t" * 70000, 2 ** 70)}
    assert safe_loads(pickle.dumps(value, protocol)) == value
