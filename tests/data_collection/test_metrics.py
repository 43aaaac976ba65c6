"""The metric vocabularies and metric records of the metrics channel."""
import enum
import importlib.machinery
import pickle
import re
import subprocess
import sys
import textwrap

import pytest

from tarnwick_collector.data_collection import metrics as m

FR = m.FailureReasons
UR = m.UnpicklableReasons
LR = m.LimitReasons

COMMON = ("t", "p", "3.8", "1.0")  # tenant, project, Python, collector
BASE_TEXT = "tenant_id: t collector_version: 1.0 project_id: p python_version: 3.8"
BASE_ITEMS = [
    ("tenant_id", "t"),
    ("collector_version", "1.0"),
    ("project_id", "p"),
    ("python_version", "3.8"),
]
SUB_COMMON = ["tenet_id", "project_id", "python_version", "collector_version"]

# class name -> (own arguments, text, own dict items, counter)
CASES = {
    "StartEvent": ((), "start_events " + BASE_TEXT, [], "start_events"),
    "ExitEvent": ((), "exit_events " + BASE_TEXT, [], "exit_events"),
    "CollectionTry": ((), "collection_try " + BASE_TEXT, [], "collection_try"),
    "CollectionSuccess": (
        (), "collection_success " + BASE_TEXT, [], "collection_success"),
    "CollectorFailure": (
        (FR.EXCEPTION,),
        "collection_failures " + BASE_TEXT + " reason: exception",
        [("reason", "exception")],
        "collection_failures",
    ),
    "Unpicklable": (
        ("Sock", UR.REDUCE),
        "collection_failures " + BASE_TEXT
        + " reason: unpicklable type: Sock reason: reduce",
        [("object_type", "Sock"), ("unpicklable_reason", "reduce"),
         ("reason", "unpicklable")],
        "collection_failures",
    ),
    "LimitFailure": (
        ("pkg.f", LR.EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED),
        "collection_failures " + BASE_TEXT
        + " reason: limit function: pkg.f"
        " reason: external_function_calls_limit_exceeded",
        [("function_full_name", "pkg.f"),
         ("limit_reason", "external_function_calls_limit_exceeded"),
         ("reason", "limit")],
        "collection_failures",
    ),
    "ExternalFunction": (
        ("os.path.join",),
        "external_functions " + BASE_TEXT + " full name: os.path.join",
        [("full_name", "os.path.join")],
        "external_functions",
    ),
    "SamplingRateWasSet": (
        (0.25,),
        "sampling_rate_was_set " + BASE_TEXT + " sampling rate: 0.25",
        [("sampling_rate", 0.25)],
        "sampling_rate_was_set",
    ),
    "ExternalCallsMaxLimitWasSet": (
        (30,),
        "external_calls_max_limit_was_set " + BASE_TEXT
        + " external calls max: 30",
        [("external_calls_max", 30)],
        "external_calls_max_limit_was_set",
    ),
}

# class name -> (base name, own parameters, own str params)
CLASSES = {
    "StartEvent": ("BaseMetric", [], []),
    "ExitEvent": ("BaseMetric", [], []),
    "CollectionTry": ("BaseMetric", [], []),
    "CollectionSuccess": ("BaseMetric", [], []),
    "CollectorFailure": ("BaseMetric", ["reason"], []),
    "Unpicklable": ("CollectorFailure", ["object_type", "unpicklable_reason"],
                    ["object_type"]),
    "LimitFailure": ("CollectorFailure",
                     ["function_full_name", "limit_reason"],
                     ["function_full_name", "limit_reason"]),
    "ExternalFunction": ("BaseMetric", ["full_name"], ["full_name"]),
    "SamplingRateWasSet": ("BaseMetric", ["sampling_rate"], []),
    "ExternalCallsMaxLimitWasSet": ("BaseMetric", ["external_calls_max"], []),
}

ALL_CLASSES = ["BaseMetric", *CLASSES]


def params_of(name):
    if name == "BaseMetric":
        return ["tenant_id", "project_id", "python_version",
                "collector_version"]
    return SUB_COMMON + CLASSES[name][1]


def str_params_of(name):
    if name == "BaseMetric":
        return params_of(name)
    return SUB_COMMON + CLASSES[name][2]


def valid_args(name):
    return COMMON + (CASES[name][0] if name != "BaseMetric" else ())


def make(name):
    return getattr(m, name)(*valid_args(name))


class StrSub(str):
    pass


# ---------------------------------------------------------------- module


def test_module_is_a_shared_object():
    assert m.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))


def test_module_imports_nothing_of_the_package():
    code = textwrap.dedent("""
        import sys
        import tarnwick_collector.data_collection
        before = set(sys.modules)
        import tarnwick_collector.data_collection.metrics
        new = set(sys.modules) - before
        print(sorted(n for n in new if n.startswith("tarnwick")))
    """)
    out = subprocess.run([sys.executable, "-c", code], check=True,
                         capture_output=True, text=True).stdout
    assert out.strip() == "['tarnwick_collector.data_collection.metrics']"


# ---------------------------------------------------------------- vocabularies


@pytest.mark.parametrize("enum_cls", [FR, UR, m.Counters])
def test_enumeration_members(enum_cls):
    # Members and values: tests/surface/metrics.txt.
    assert not issubclass(enum_cls, str)
    for member in enum_cls:
        assert enum_cls(member.value) is member
        assert member != member.value
        assert pickle.loads(pickle.dumps(member)) is member


def test_limit_reasons_is_a_plain_class_of_strings():
    assert not hasattr(LR.EXTERNAL_FUNCTION_CALLS_LIMIT_EXCEEDED, "value")
    assert LR.MAX_STRING_SIZE_EXCEEDED.format("f", "arguments") == (
        "max_string_size_exceeded for f this happened in the: "
        "arguments part of the recording")


# ---------------------------------------------------------------- classes


@pytest.mark.parametrize("name", ALL_CLASSES)
def test_instances_have_a_dict_and_show_their_text(name):
    # Bases, docstrings and members: tests/surface/metrics.txt.
    obj = make(name)
    assert isinstance(obj.__dict__, dict)
    assert str(obj) == repr(obj)


def test_methods_bind_like_python_methods():
    obj = make("LimitFailure")
    assert m.BaseMetric.get_attributes_as_dict(obj) == dict(BASE_ITEMS)
    assert obj.get_counter_name() == "collection_failures"
    assert m.CollectorFailure.get_counter_name(obj) == "collection_failures"
    assert obj.__repr__.__self__ is obj


# ---------------------------------------------------------------- base metric


def test_base_metric_text_and_attributes():
    b = m.BaseMetric(*COMMON)
    assert repr(b) == BASE_TEXT
    assert vars(b) == {"tenant_id": "t", "project_id": "p",
                       "python_version": "3.8", "collector_version": "1.0"}
    assert list(vars(b)) == ["tenant_id", "project_id", "python_version",
                             "collector_version"]
    assert list(b.get_attributes_as_dict().items()) == BASE_ITEMS
    assert b.get_attributes_as_dict() is not b.get_attributes_as_dict()
    with pytest.raises(NotImplementedError):
        b.get_counter_name()


def test_base_metric_accepts_none_and_keywords():
    b = m.BaseMetric(tenant_id=None, collector_version=None, project_id=None,
                     python_version=None)
    assert str(b) == ("tenant_id: None collector_version: None "
                      "project_id: None python_version: None")


def test_text_reads_current_attributes():
    b = m.BaseMetric(*COMMON)
    b.tenant_id = 12
    assert str(b).startswith("tenant_id: 12 collector_version")
    del b.project_id
    for op in (repr, hash, lambda x: x == x):
        with pytest.raises(AttributeError, match="project_id"):
            op(b)


def test_equality_and_hash_follow_the_text():
    a, b = m.CollectionTry(*COMMON), m.CollectionTry(*COMMON)
    assert a == b and hash(a) == hash(b) == hash(str(a))
    assert len({a, b}) == 1
    assert a == str(a) and str(a) == a
    assert a != m.CollectionSuccess(*COMMON)
    assert m.BaseMetric(*COMMON) != m.StartEvent(*COMMON)
    assert m.BaseMetric(*COMMON) == BASE_TEXT
    # Any other object is compared by its text, never NotImplemented.
    assert a.__eq__(5) is False
    assert m.BaseMetric("5", None, None, None).__eq__(object()) is False


def test_subclass_hash_and_super_chain():
    class Mine(m.LimitFailure):
        def __repr__(self):
            return "mine " + super().__repr__()

    x = Mine(*COMMON, "f", "r")
    assert str(x) == ("mine collection_failures " + BASE_TEXT
                      + " reason: limit function: f reason: r")
    assert hash(x) == hash(str(x))
    assert x.reason is FR.LIMIT


# ---------------------------------------------------------------- records


@pytest.mark.parametrize("name", list(CASES))
def test_text_dict_and_counter(name):
    _, text, own_items, counter = CASES[name]
    obj = make(name)
    assert str(obj) == text and type(repr(obj)) is str
    assert list(obj.get_attributes_as_dict().items()) == own_items + BASE_ITEMS
    assert obj.get_counter_name() == counter


@pytest.mark.parametrize("name", list(CASES))
def test_attributes_stored_in_order(name):
    obj = make(name)
    own = CLASSES[name][1]
    if CLASSES[name][0] == "CollectorFailure":
        own = own + ["reason"]
    assert list(vars(obj)) == own + [
        "tenant_id", "project_id", "python_version", "collector_version"]


@pytest.mark.parametrize("name, reason", [
    ("Unpicklable", FR.UNPICKLABLE), ("LimitFailure", FR.LIMIT)])
def test_fixed_failure_reason(name, reason):
    assert make(name).reason is reason


@pytest.mark.parametrize("reason", list(UR))
def test_unpicklable_reasons(reason):
    u = m.Unpicklable(*COMMON, "T", reason)
    assert u.unpicklable_reason is reason
    d = u.get_attributes_as_dict()
    assert d["unpicklable_reason"] == reason.value
    assert d["reason"] == "unpicklable"
    assert str(u).endswith(" reason: unpicklable type: T reason: "
                           + reason.value)


def test_limit_failure_with_filled_template():
    reason = LR.MAX_STRING_SIZE_EXCEEDED.format("pkg.f", "arguments")
    lf = m.LimitFailure(*COMMON, "pkg.f", reason)
    assert lf.limit_reason == reason
    assert str(lf).endswith(" function: pkg.f reason: " + reason)


@pytest.mark.parametrize("name", list(ALL_CLASSES))
def test_keyword_arguments(name):
    kwargs = dict(zip(params_of(name), valid_args(name)))
    assert getattr(m, name)(**kwargs) == make(name)


def test_tenant_is_spelled_tenet_in_subclasses():
    s = m.StartEvent(tenet_id="t", project_id="p", python_version="3.8",
                     collector_version="1.0")
    assert s.tenant_id == "t" and not hasattr(s, "tenet_id")
    with pytest.raises(TypeError, match="unexpected keyword argument "
                                        "'tenant_id'"):
        m.StartEvent(tenant_id="t", project_id="p", python_version="3.8",
                     collector_version="1.0")


# ---------------------------------------------------------------- checks


@pytest.mark.parametrize("name, param, bad", [
    (name, param, bad)
    for name in ALL_CLASSES
    for param in str_params_of(name)
    for bad in (5, StrSub("x"))
])
def test_str_or_none_checks(name, param, bad):
    cls = getattr(m, name)
    args = list(valid_args(name))
    index = params_of(name).index(param)
    args[index] = bad
    # Later offending arguments are not the ones reported.
    for later in str_params_of(name):
        if params_of(name).index(later) > index:
            args[params_of(name).index(later)] = 7
    obj = cls.__new__(cls)
    message = ("Argument '%s' has incorrect type (expected str, got %s)"
               % (param, type(bad).__name__))
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        obj.__init__(*args)
    assert vars(obj) == {}


@pytest.mark.parametrize("name, param", [
    ("CollectorFailure", "reason"),
    ("Unpicklable", "unpicklable_reason"),
    ("ExternalCallsMaxLimitWasSet", "external_calls_max"),
])
def test_unchecked_arguments_are_stored_as_given(name, param):
    value = ["anything"]
    args = list(valid_args(name))
    args[params_of(name).index(param)] = value
    obj = getattr(m, name)(*args)
    assert getattr(obj, param) is value
    if param == "external_calls_max":
        assert str(obj).endswith(" external calls max: ['anything']")
        assert m.ExternalCallsMaxLimitWasSet(*COMMON, "7").external_calls_max \
            == "7"
    else:
        # The member's value is read only when the text or dict is made.
        for op in (str, lambda o: o.get_attributes_as_dict()):
            with pytest.raises(AttributeError, match="value"):
                op(obj)


@pytest.mark.parametrize("given, stored", [
    (1, 1.0),
    (0.5, 0.5),
    (True, 1.0),
    (type("F", (float,), {})(2.5), 2.5),
    (type("HasFloat", (), {"__float__": lambda self: 3.25})(), 3.25),
    (type("HasIndex", (), {"__index__": lambda self: 4})(), 4.0),
])
def test_sampling_rate_becomes_a_float(given, stored):
    s = m.SamplingRateWasSet(*COMMON, given)
    assert type(s.sampling_rate) is float and s.sampling_rate == stored
    assert str(s).endswith(" sampling rate: " + repr(stored))
    assert s.get_attributes_as_dict()["sampling_rate"] == stored


def test_sampling_rate_conversion_comes_before_str_checks():
    obj = m.SamplingRateWasSet.__new__(m.SamplingRateWasSet)
    with pytest.raises(TypeError, match="must be real number, not str"):
        obj.__init__(5, "p", "3.8", "1.0", "0.5")
    assert vars(obj) == {}


@pytest.mark.parametrize("name", ALL_CLASSES)
def test_initializers_count_arguments_in_the_counted_wording(name):
    # The wording itself is tested in tests/common/test_argument_parsing.py.
    n = len(params_of(name)) + 1  # with the receiver
    with pytest.raises(TypeError) as info:
        getattr(m, name)()
    assert str(info.value) == (
        "__init__() takes exactly %d positional arguments (1 given)" % n)


# ---------------------------------------------------------------- messages


@pytest.mark.parametrize("name", ALL_CLASSES)
def test_pickle_round_trip(name):
    obj = make(name)
    for proto in range(2, pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(obj, proto))
        assert type(back) is type(obj)
        assert back == obj and vars(back) == vars(obj)
        for key, value in vars(obj).items():
            if isinstance(value, enum.Enum):
                assert getattr(back, key) is value


def test_vocabularies_are_looked_up_at_each_use(monkeypatch):
    class FakeCounters:
        class COLLECTION_TRY:
            value = "renamed_try"

    class FakeReasons:
        LIMIT = "fake-limit"

    monkeypatch.setattr(m, "Counters", FakeCounters)
    monkeypatch.setattr(m, "FailureReasons", FakeReasons)
    c = m.CollectionTry(*COMMON)
    assert c.get_counter_name() == "renamed_try"
    assert str(c).startswith("renamed_try tenant_id")
    assert m.LimitFailure(*COMMON, "f", "r").reason == "fake-limit"
