"""The redaction vocabulary: patterns, their validation, the marker and
the scrubbing of exception texts."""
import pickle

import pytest

from tarnwick_common import redaction
from tarnwick_common.redaction import (
    DEFAULT_PATTERNS, REDACTED, Redacted, environment_secret, name_matches,
    normalize_patterns, patterns_from_environment, scrub_exception,
)


@pytest.fixture(autouse=True)
def nothing_remembered():
    redaction.forget_all()
    yield
    redaction.forget_all()


@pytest.mark.parametrize("name", [
    "password", "PASSWORD", "db_password", "user_passwd", "api_key", "API-KEY",
    "apiKey", "x_apikey_v2", "Authorization", "sessionid", "session_id",
    "SESSION-KEY", "private_key", "aws_secret_access_key", "auth_token",
    "Set-Cookie", "credentials", b"API_TOKEN",
])
def test_default_patterns_match_the_usual_spellings(name):
    assert name_matches(name, DEFAULT_PATTERNS)


@pytest.mark.parametrize("name", ["user", "url", "path", "session", "key",
                                  "author", b"HOME", 12, None])
def test_harmless_names_do_not_match(name):
    assert not name_matches(name, DEFAULT_PATTERNS)


def test_patterns_are_normalized_and_deduplicated():
    assert normalize_patterns(["Api_Key", "api-key", " pin_code "]) == (
        "apikey", "pincode")


@pytest.mark.parametrize("bad, error", [
    (["a b"], ValueError), (["pw"], ValueError), (["é_pass"], ValueError),
    ([""], ValueError), ([3], TypeError), ("password", TypeError),
])
def test_malformed_patterns_are_refused(bad, error):
    with pytest.raises(error):
        normalize_patterns(bad)


def test_environment_adds_patterns_or_turns_redaction_off():
    assert patterns_from_environment({}) == DEFAULT_PATTERNS
    assert patterns_from_environment({"TARNWICK_REDACT": ""}) == DEFAULT_PATTERNS
    extra = patterns_from_environment({"TARNWICK_REDACT": "pin, ssn_number"})
    assert extra == DEFAULT_PATTERNS + ("pin", "ssnnumber")
    assert patterns_from_environment({"TARNWICK_REDACT": "OFF"}) == ()
    with pytest.raises(ValueError, match="TARNWICK_REDACT.*'a;b'"):
        patterns_from_environment({"TARNWICK_REDACT": "a;b"})


def test_marker_loads_with_stock_pickle_as_itself():
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(REDACTED, protocol))
        assert isinstance(back, Redacted) and back == REDACTED
    assert repr(REDACTED) == "<redacted>"


class AppError(Exception):
    made = 0

    def __new__(cls, *args):
        AppError.made += 1
        return super().__new__(cls, *args)

    def __init__(self, text, code=0):
        AppError.made += 1
        super().__init__(text, code)


def test_exception_text_holding_a_redacted_value_is_scrubbed_in_a_copy():
    exc = AppError("login with hunter22 failed", 7)
    exc.detail = "token hunter22"
    assert scrub_exception(exc) is exc  # nothing remembered yet
    redaction.remember("hunter22")
    redaction.remember("abc")  # too short to be searched for
    made = AppError.made
    copy = scrub_exception(exc)
    assert type(copy) is AppError and copy is not exc
    assert copy.args == ("login with <redacted> failed", 7)
    assert copy.detail == "token <redacted>"
    # The program's exception is untouched and none of its code ran.
    assert exc.args == ("login with hunter22 failed", 7)
    assert exc.detail == "token hunter22"
    assert AppError.made == made
    assert scrub_exception(ValueError("abc only")).args == ("abc only",)


def test_builtin_exceptions_with_own_constructors_are_copied():
    redaction.remember("s3cr3t-path")
    exc = FileNotFoundError(2, "cannot open /x/s3cr3t-path")
    copy = scrub_exception(exc)
    assert type(copy) is FileNotFoundError
    assert copy.errno == 2 and copy.strerror == "cannot open /x/<redacted>"
    assert exc.strerror == "cannot open /x/s3cr3t-path"


def test_environment_secret_is_told_by_the_variable_holding_the_value(monkeypatch):
    monkeypatch.setenv("SERVICE_API_TOKEN", "tok-1234")
    monkeypatch.setenv("SERVICE_URL", "https://example.invalid")
    assert environment_secret("tok-1234", DEFAULT_PATTERNS)
    assert not environment_secret("https://example.invalid", DEFAULT_PATTERNS)
    assert not environment_secret("fallback", DEFAULT_PATTERNS)
    assert not environment_secret("tok-1234", ())
