"""End to end: ``tarnwick record`` stores secrets as ``<redacted>``, and
``--redact``, ``--no-redact`` and ``TARNWICK_REDACT`` configure it."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.recording

APP = """
    import os

    class Client:
        def __init__(self, url, api_token):
            self.url = url
            self.api_token = api_token

    def login(user, password=None):
        return {"user": user, "Authorization": "Bearer " + password}

    def connect(host, api_token):
        return Client(host, api_token)

    def check(api_key):
        raise ValueError("rejected key " + api_key)

    def settings():
        return [os.environ.get("API_TOKEN"), os.getenv("DB_PASSWORD"),
                os.getenv("APP_HOME")]

    if __name__ == "__main__":
        login("ann", password="hunter22")
        connect("db.example", "tok-abc-777")
        try:
            check("sk-live-5555")
        except ValueError:
            pass
        settings()
"""

REDACTED = {"type": "tarnwick.redacted", "text": "<redacted>"}
SECRETS = ("hunter22", "tok-abc-777", "sk-live-5555", "tok-env-123", "dbpw-999")


def record(tmp_path, *options, env=None):
    (tmp_path / "app.py").write_text(textwrap.dedent(APP))
    full_env = dict(os.environ, API_TOKEN="tok-env-123", DB_PASSWORD="dbpw-999",
                    APP_HOME="/srv/app", **(env or {}))
    return subprocess.run(
        [sys.executable, "-m", "tarnwick_collector", "record", *options, "app.py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300, env=full_env)


def show_json(tmp_path):
    out = subprocess.run(
        [sys.executable, "-m", "tarnwick_collector", "show", "--json"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr
    return out.stdout, {r["function"].rsplit(".", 1)[-1]: r
                        for r in json.loads(out.stdout)["calls"]}


def test_secrets_are_stored_as_redacted(tmp_path):
    done = record(tmp_path)
    assert done.returncode == 0, done.stderr
    text, calls = show_json(tmp_path)
    for secret in SECRETS:
        assert secret not in text
    assert calls["login"]["arguments_before"] == {"user": "ann", "password": REDACTED}
    assert calls["login"]["returned"]["Authorization"] == REDACTED
    assert calls["connect"]["arguments_before"]["api_token"] == REDACTED
    assert calls["connect"]["returned"]["attributes"]["api_token"] == REDACTED
    assert calls["check"]["raised"]["text"] == "builtins.ValueError('rejected key <redacted>')"
    results = [c["returned"] for c in calls["settings"]["external_calls"]]
    assert results == [REDACTED, REDACTED, "/srv/app"]
    # A value redacted once is redacted wherever it is stored again whole.
    assert calls["settings"]["returned"] == [REDACTED, REDACTED, "/srv/app"]


def test_record_options_and_environment_configure_redaction(tmp_path):
    done = record(tmp_path, "--no-redact")
    assert done.returncode == 0, done.stderr
    _, calls = show_json(tmp_path)
    assert calls["login"]["arguments_before"]["password"] == "hunter22"

    (tmp_path / ".tarnwick").rename(tmp_path / "first")
    done = record(tmp_path, "--redact", "user,host")
    assert done.returncode == 0, done.stderr
    _, calls = show_json(tmp_path)
    assert calls["login"]["arguments_before"] == {"user": REDACTED, "password": REDACTED}
    assert calls["connect"]["arguments_before"]["host"] == REDACTED

    (tmp_path / ".tarnwick").rename(tmp_path / "second")
    done = record(tmp_path, env={"TARNWICK_REDACT": "off"})
    assert done.returncode == 0, done.stderr
    _, calls = show_json(tmp_path)
    assert calls["connect"]["arguments_before"]["api_token"] == "tok-abc-777"


def test_patterns_matching_the_records_own_fields_leave_the_records_whole(tmp_path):
    # Names of the records' and metrics' own fields (full_name, module_name,
    # return_value, external_calls, ...): only the program's names match.
    done = record(tmp_path, "--redact", "name,value,call,metadata,version")
    assert done.returncode == 0, done.stderr
    text, calls = show_json(tmp_path)
    assert set(calls) == {"login", "connect", "check", "settings", "__init__"}
    assert calls["login"]["returned"]["user"] == "ann"
    assert [c["function"] for c in calls["settings"]["external_calls"]] == [
        "collections.abc.Mapping.get", "os.getenv", "os.getenv"]
    stats = subprocess.run(
        [sys.executable, "-m", "tarnwick_collector", "stats", "--json"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert stats.returncode == 0, stats.stderr
    assert "<redacted>" not in stats.stdout and "Redacted" not in stats.stdout


@pytest.mark.parametrize("options, env, message", [
    (("--redact", "a b"), None, "argument --redact: redaction pattern 'a b'"),
    (("--redact", "pin", "--no-redact"), None, "exclude each other"),
    ((), {"TARNWICK_REDACT": "x"}, "TARNWICK_REDACT: redaction pattern 'x' is too short"),
])
def test_bad_redaction_settings_are_one_line_errors(tmp_path, options, env, message):
    done = record(tmp_path, *options, env=env)
    assert done.returncode != 0
    assert message in done.stderr
    assert "Traceback" not in done.stderr and len(done.stderr.splitlines()) == 1
