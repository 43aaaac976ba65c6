"""Redaction in the safe pickler: values under secret-looking dict keys and
attribute names are written as the marker, in a copy; the program's own
objects are never changed."""
import collections
import copy
import pickle
import signal
import threading

import pytest

from tarnwick_collector.data_serialization.pickler import safe_pickle
from tarnwick_collector.store.decoding import safe_loads
from tarnwick_collector.store.render import render_value
from tarnwick_common import redaction
from tarnwick_common.redaction import DEFAULT_PATTERNS, REDACTED


@pytest.fixture(autouse=True)
def default_patterns(settings):
    settings.redact_patterns = DEFAULT_PATTERNS
    redaction.forget_all()
    yield settings
    redaction.forget_all()


def roundtrip(value):
    return pickle.loads(safe_pickle(value, False))


class Client:
    def __init__(self):
        self.url = "https://example.invalid"
        self.api_token = "tok-abc-123"
        self.options = {"timeout": 3, "headers": {"Authorization": "Bearer x1"}}


def test_dict_entries_under_secret_keys_are_redacted_in_a_copy():
    value = {
        "user": "ann", "Authorization": "Bearer zzz", "nothing": None,
        "rows": [({"api-key": 5, "n": 1},), {"apiKey": [1, 2]}],
        b"DB_PASSWORD": b"pw", "session_id": None, 7: "seven",
    }
    before = copy.deepcopy(value)
    inner = value["rows"][0][0]
    back = roundtrip(value)
    assert back["user"] == "ann" and back[7] == "seven"
    assert back["Authorization"] == REDACTED
    assert back["rows"] == [({"api-key": REDACTED, "n": 1},), {"apiKey": REDACTED}]
    assert back[b"DB_PASSWORD"] == REDACTED
    # None says no secret was given: it stays.
    assert back["nothing"] is None and back["session_id"] is None
    assert value == before and value["rows"][0][0] is inner


def test_attributes_and_what_they_hold_are_redacted_not_the_object():
    client = Client()
    state = dict(vars(client))
    back = roundtrip([client, client])
    assert back[0] is back[1]
    assert vars(back[0]) == {
        "url": "https://example.invalid", "api_token": REDACTED,
        "options": {"timeout": 3, "headers": {"Authorization": REDACTED}},
    }
    assert vars(client) == state
    assert client.options["headers"]["Authorization"] == "Bearer x1"


def test_dict_subclasses_and_replaced_objects_are_redacted():
    class Unpicklable:
        def __init__(self):
            self.lock = threading.Lock()
            self.password = "hunter22"
            self.name = "conn"

    value = {
        "ordered": collections.OrderedDict(token="t-1", n=1),
        "default": collections.defaultdict(list, secret=[1]),
        "conn": Unpicklable(),
    }
    back = roundtrip(value)
    assert back["ordered"] == collections.OrderedDict(token=REDACTED, n=1)
    assert dict(back["default"]) == {"secret": REDACTED}
    assert vars(back["conn"])["password"] == REDACTED
    assert vars(back["conn"])["name"] == "conn"
    assert value["ordered"]["token"] == "t-1" and value["conn"].password == "hunter22"


def test_nothing_to_redact_writes_the_same_bytes_as_without_redaction(settings):
    harmless = Client()
    del harmless.api_token, harmless.options
    value = {"user": "ann", "ids": [1, 2, (3, None)], "obj": harmless,
             "password": None}
    with_redaction = safe_pickle(value, False)
    settings.redact_patterns = ()
    assert safe_pickle(value, False) == with_redaction


def test_configured_patterns_are_used_and_an_empty_list_turns_it_off(settings):
    value = {"pin_code": 1234, "password": "pw"}
    settings.redact_patterns = DEFAULT_PATTERNS + ("pincode",)
    assert roundtrip(value) == {"pin_code": REDACTED, "password": REDACTED}
    settings.redact_patterns = ()
    assert roundtrip(value) == value


def test_cyclic_values_keep_their_cycles_and_lose_their_secrets():
    loop = [{"token": "t-loop"}]
    loop.append(loop)
    back = roundtrip(loop)
    assert back[0] == {"token": REDACTED}
    assert back[1] is back
    both = {"password": "pw-both"}
    both["self"] = both
    back = roundtrip(both)
    assert back["password"] == REDACTED and back["self"] is back
    assert both["password"] == "pw-both" and both["self"] is both


def test_shared_parts_are_walked_once():
    # 2**60 paths through 60 shared levels: walking each path would never end.
    node = [{"secret": "s-deep"}]
    for _ in range(60):
        node = [node, node]
    back = roundtrip(node)
    leaf = back
    for _ in range(60):
        assert leaf[0] is leaf[1]
        leaf = leaf[0]
    assert leaf == [{"secret": REDACTED}]


def test_exception_text_holding_a_redacted_value_is_scrubbed():
    roundtrip({"password": "hunter22-pw"})
    exc = ValueError("login failed for hunter22-pw")
    text = render_value(safe_loads(safe_pickle(exc, False)))
    assert "hunter22" not in text and "<redacted>" in text
    assert exc.args == ("login failed for hunter22-pw",)
    other = ValueError("nothing secret here")
    assert render_value(safe_loads(safe_pickle(other, False))) == \
        render_value(safe_loads(safe_pickle(other, False)))


def test_store_readers_show_the_marker():
    decoded = safe_loads(safe_pickle({"Authorization": "Bearer q", "a": 1}, False))
    assert render_value(decoded) == "{'Authorization': <redacted>, 'a': 1}"


def test_a_redacted_value_is_redacted_wherever_it_is_stored_again_whole():
    roundtrip({"api_token": "tok-again-42", "pin": "1234"})
    roundtrip({"password": "short"})  # too short to be remembered
    token = "".join(["tok-again", "-42"])  # equal, not the same object
    assert roundtrip(token) == REDACTED
    assert roundtrip({"header": token, "n": [token, "tok-again-43"]}) == {
        "header": REDACTED, "n": [REDACTED, "tok-again-43"]}
    assert roundtrip(["short", "Bearer tok-again-42"]) == \
        ["short", "Bearer tok-again-42"]


def test_exceptions_lose_secret_attributes_and_entries_not_their_type():
    exc = PermissionError({"password": "pw-in-args", "user": "ann"})
    exc.api_token = "tok-on-exc"
    text = render_value(safe_loads(safe_pickle(exc, False)))
    assert text == ("builtins.PermissionError({'password': <redacted>, "
                    "'user': 'ann'}) {api_token=<redacted>}")
    assert exc.args[0]["password"] == "pw-in-args" and exc.api_token == "tok-on-exc"


def test_the_environment_as_a_recorded_global_loses_its_secrets(monkeypatch):
    import os

    monkeypatch.setenv("SERVICE_API_TOKEN", "tok-in-environ")
    monkeypatch.setenv("SERVICE_HOME", "/srv/home")
    data = safe_pickle({"environ": os.environ}, False)
    assert b"tok-in-environ" not in data and b"/srv/home" in data
    entries = safe_loads(data)["environ"].tw_attributes["_data"]
    assert render_value(entries[b"SERVICE_API_TOKEN"]) == "<redacted>"
    assert os.environ["SERVICE_API_TOKEN"] == "tok-in-environ"


class Meta(type):
    pass


class Config(metaclass=Meta):
    SECRET_KEY = "class-level-secret"


def test_classes_are_still_written_by_reference():
    assert roundtrip([Config, Meta]) == [Config, Meta]


# Most values are dumped as they are and their bytes looked through for a
# matching name; only a stream that may hold one is dumped again redacted.
# These cases check that the look never misses a name the walk would find,
# and that a false alarm changes nothing.

def _spelled(rng, pattern):
    """`pattern` as a program might spell it: any case, separators
    between letters, text around it."""
    out = []
    for c in pattern:
        out.append(c.upper() if rng.random() < 0.4 else c)
        if rng.random() < 0.15:
            out.append(rng.choice("_-"))
    return rng.choice(["", "x", "db_", "My"]) + "".join(out) + rng.choice(["", "_v2", "S", "-id"])


def _expected(value):
    """`value` with what the walk redacts replaced, built independently."""
    if type(value) is dict:
        return {k: REDACTED if v is not None and redaction.name_matches(k, DEFAULT_PATTERNS)
                else _expected(v) for k, v in value.items()}
    if type(value) in (list, tuple):
        return type(value)(_expected(v) for v in value)
    return value


def test_every_spelling_of_a_secret_name_is_found_in_the_dumped_bytes(settings):
    import random

    rng = random.Random(7)
    plain_names = ["user", "pair", "scope", "tokens_left_ok", "ratio", "apex", "cook"]
    for _ in range(300):
        value = {}
        for _ in range(rng.randint(1, 4)):
            name = (_spelled(rng, rng.choice(DEFAULT_PATTERNS)) if rng.random() < 0.5
                    else rng.choice(plain_names))
            if rng.random() < 0.2:
                name = name.encode()
            value[name] = rng.choice([1, "v", [2, {"n": 3}], None])
        value = rng.choice([value, [value], ({"inner": value},)])
        got = safe_pickle(value, False)
        settings.redact_patterns = ()
        assert got == safe_pickle(_expected(value), False), value
        settings.redact_patterns = DEFAULT_PATTERNS


def test_a_name_is_found_at_every_offset_of_the_stream():
    # The bytes are looked through 16 at a time, the rest as one more
    # block: a name is found wherever it falls.
    for pad in range(40):
        for name in ("password", "Api_Key", b"TOKEN"):
            back = roundtrip({"x" * pad: 1, name: "v"})
            assert back[name] == REDACTED, (pad, name)


def test_a_false_alarm_writes_what_the_value_holds(settings):
    # Texts that hold a pattern, but not as a name, are not redacted.
    value = {"note": "the token is rotated daily", "kind": b"PASSWORD-RESET",
             "words": ["secret", "cookie jar"], "obj": Client.__new__(Client)}
    value["obj"].url = "tokenize"
    before = copy.deepcopy(value["words"])
    got = safe_pickle(value, False)
    settings.redact_patterns = ()
    assert got == safe_pickle(value, False)
    assert value["words"] == before and vars(value["obj"]) == {"url": "tokenize"}


def test_patterns_that_are_not_letters_and_digits_are_still_matched(settings):
    settings.redact_patterns = ("pass.word",)
    assert roundtrip({"Pass.Word": 1, "user": 2}) == {"Pass.Word": REDACTED, "user": 2}


class Account:
    def __init__(self):
        self.password = "hunter22"


def _past_the_redacting_first_spell():
    """After a value that held a secret, the next dumps redact first; these
    make the next dump a plain one again."""
    for _ in range(40):
        safe_pickle(1, False)


def test_a_thread_dumping_plainly_never_lets_another_write_a_secret():
    # The other thread's plain dump starts while this thread's redacting
    # dump is under way, and is still running when it writes the secret.
    inside = threading.Event()
    release = threading.Event()
    calls = []

    class Gate(dict):
        def items(self):
            if threading.current_thread() is not threading.main_thread():
                inside.set()
                release.wait(10)
            else:
                calls.append(1)
                if len(calls) == 2:  # the redacting dump
                    # the other thread too dumps plainly first
                    _past_the_redacting_first_spell()
                    other.start()
                    assert inside.wait(10)
            return super().items()

    other = threading.Thread(target=safe_pickle, args=([Gate()], False))
    _past_the_redacting_first_spell()
    try:
        back = roundtrip([Gate(), Account(), {"cookie": "c"}])
    finally:
        release.set()
        if other.is_alive() or calls:
            other.join()
    assert len(calls) == 2
    assert vars(back[1]) == {"password": REDACTED}
    assert back[2] == {"cookie": REDACTED}


class PicklesASecret(dict):
    """Dumps a value of its own while it is being dumped."""

    def items(self):
        self.inner = safe_pickle([{"api_key": "k-123456"}, Account()], False)
        return super().items()


def test_a_dump_made_inside_another_dump_is_redacted():
    obj = PicklesASecret()
    roundtrip({"obj": obj})
    assert pickle.loads(obj.inner)[0] == {"api_key": REDACTED}
    assert vars(pickle.loads(obj.inner)[1]) == {"password": REDACTED}


@pytest.mark.skipif(not hasattr(signal, "SIGUSR1"), reason="needs SIGUSR1")
def test_what_a_signal_handler_raises_during_the_plain_dump_reaches_the_caller():
    # The plain dump runs the program's code, and with it its signal
    # handlers: their exception is the program's, never retried away.
    fired = []

    class Raises(dict):
        def items(self):
            if not fired:  # one alarm, as a timer gives
                fired.append(1)
                signal.raise_signal(signal.SIGUSR1)
            return super().items()

    def handler(signum, frame):
        raise TimeoutError("the program's alarm")

    previous = signal.signal(signal.SIGUSR1, handler)
    _past_the_redacting_first_spell()
    try:
        with pytest.raises(TimeoutError, match="the program's alarm"):
            safe_pickle([Raises(a=1)], False)
    finally:
        signal.signal(signal.SIGUSR1, previous)
