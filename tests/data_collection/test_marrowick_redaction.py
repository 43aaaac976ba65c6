"""Redaction in the recording core: positional arguments named like
secrets, and results of reads of secret environment variables."""
import os

import pytest

from marrowick_support import env, load  # noqa: F401
from tarnwick_collector.data_collection import marrowick as mw
from tarnwick_collector.data_collection.trindle import Trindle, TrindleTracker
from tarnwick_common import redaction
from tarnwick_common.redaction import DEFAULT_PATTERNS, REDACTED


@pytest.fixture
def rec_env(env):  # noqa: F811
    env.settings.redact_patterns = DEFAULT_PATTERNS
    redaction.forget_all()
    yield env
    redaction.forget_all()


def connect(host, api_token, *rest, password=None):
    return host


class Service:
    def __init__(self, url, client_secret=None):
        self.url = url

    def login(self, user, passwd):
        return user

    @classmethod
    def build(cls, session_key):
        return cls


def test_positional_arguments_are_redacted_by_parameter_name(rec_env):
    args = ("db.example", "tok-9876", "extra")
    rec = mw.get_function_call_object((connect,) + args, {"password": "pw"})
    assert load(rec.pre_run_args) == ("db.example", REDACTED, "extra")
    assert load(rec.pre_run_kwargs) == {"password": "pw"}  # the pickler's part
    assert rec.post_run_args == ("db.example", REDACTED, "extra")
    # The program's own tuple is not the one changed.
    assert args == ("db.example", "tok-9876", "extra")


def test_receivers_shift_the_parameter_names(rec_env):
    def recorded(*call):
        return load(mw.get_function_call_object(call, {}).pre_run_args)

    svc = Service("u")
    # A class call records __init__ without `self`, a class method without
    # `cls`, a bound method with its receiver first.
    assert recorded(Service, "https://x", "cs-1") == ("https://x", REDACTED)
    assert recorded(Service.build, "sk-3") == (REDACTED,)
    assert recorded(svc.login, "ann", "pw-2")[1:] == ("ann", REDACTED)
    # None says that no secret was given.
    assert recorded(connect, "h", None) == ("h", None)


def test_patterns_of_the_settings_apply_at_each_call(rec_env):
    rec = mw.get_function_call_object((connect, "h", "t-1"), {})
    assert load(rec.pre_run_args) == ("h", REDACTED)
    rec_env.settings.redact_patterns = ()
    rec = mw.get_function_call_object((connect, "h", "t-1"), {})
    assert load(rec.pre_run_args) == ("h", "t-1")
    rec_env.settings.redact_patterns = ("host",)
    rec = mw.get_function_call_object((connect, "h", "t-1"), {})
    assert load(rec.pre_run_args) == (REDACTED, "t-1")


def external(fn, *args):
    rec = mw.record_external_call(fn)
    mw.record_external_return_value(fn(*args), rec, None)
    return load(rec.return_value)


def test_reads_of_secret_environment_variables_are_redacted(rec_env, monkeypatch):
    monkeypatch.setenv("API_TOKEN", "tok-env-1")
    monkeypatch.setenv("APP_HOME", "/srv/app")
    Trindle.set_current_running_function(TrindleTracker("pkg.f"))
    assert external(os.environ.get, "API_TOKEN") == REDACTED
    assert external(os.getenv, "API_TOKEN") == REDACTED
    assert external(os.getenv, "APP_HOME") == "/srv/app"
    assert external(os.getenv, "MISSING_TOKEN", "default") == "default"
    assert external(os.getcwd) == os.getcwd()
    # The value is known as a secret from then on (exception texts).
    assert redaction.scrub_text("got tok-env-1") == "got <redacted>"
    rec_env.settings.redact_patterns = ()
    mw.get_function_call_object((connect, "h", "t"), {})  # reads the settings
    assert external(os.getenv, "API_TOKEN") == "tok-env-1"
