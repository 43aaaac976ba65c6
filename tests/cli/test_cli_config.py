"""Settings from ``[tool.tarnwick]`` in pyproject.toml: found from the
starting directory upwards, below the environment and the command line,
and every bad key or value one line naming the file and the key."""
import io
import json
import os
import subprocess
import sys
import textwrap
from contextlib import redirect_stderr

import pytest

from tarnwick_collector.cli import main
from tarnwick_collector.cli.record import _record_parser
from tarnwick_collector.configs import project_config
from tarnwick_collector.configs.project_config import NAMES, ConfigError, resolve


def write_config(directory, body):
    directory.mkdir(parents=True, exist_ok=True)
    path = directory / "pyproject.toml"
    path.write_text("[project]\nname = 'app'\n\n[tool.tarnwick]\n" + textwrap.dedent(body))
    return path


def resolved(argv, cwd, environ=None):
    opts = _record_parser().parse_args(argv)
    resolve(opts, "record", environ or {}, str(cwd))
    return opts


def test_command_line_over_environment_over_file_over_defaults(tmp_path):
    write_config(tmp_path, """
        sampling-rate = 0.5
        external-calls-max = 7
        store = "data/calls.sqlite3"
        exclude = ["vendor", "scripts/one.py"]
        redact = ["pin"]
    """)
    opts = resolved(["--sampling-rate", "0.25"], tmp_path,
                    {"TARNWICK_EXTERNAL_CALLS_MAX": "9"})
    assert opts.sampling_rate == 0.25
    assert opts.external_calls_max == 9
    assert opts.store == str(tmp_path / "data" / "calls.sqlite3")
    assert opts.exclude == ("vendor", "scripts/one.py")
    assert "pin" in opts.redact and "password" in opts.redact
    assert opts.tenant_id is None and opts.buffer_messages is None
    assert opts.project_root == str(tmp_path)
    assert opts.config_sources == {
        "sampling-rate": "command line", "external-calls-max": "environment",
        "store": "file", "exclude": "file", "redact": "file"}


def test_the_file_is_found_above_and_a_pyproject_without_the_table_is_passed(tmp_path):
    write_config(tmp_path, 'project-root = "src"\ntenant-id = "acme"\n')
    inner = tmp_path / "src" / "pkg"
    inner.mkdir(parents=True)
    (inner / "pyproject.toml").write_text("[tool.other]\nx = 1\n")
    opts = resolved([], inner)
    assert opts.tenant_id == "acme"
    assert opts.project_root == str(tmp_path / "src")
    # Without a file: the current directory, as before.
    bare = tmp_path.parent / (tmp_path.name + "-bare")
    bare.mkdir()
    assert resolved([], bare).project_root == str(bare)


def test_redaction_off_in_the_file_and_the_environment_over_it(tmp_path):
    write_config(tmp_path, "redact = false\n")
    assert resolved([], tmp_path).redact == ()
    assert resolved([], tmp_path, {"TARNWICK_REDACT": "ssn"}).redact[-1] == "ssn"


@pytest.mark.parametrize("body, message", [
    ("sampling_rat = 1\n", "unknown key 'sampling_rat' (did you mean 'sampling-rate'?)"),
    ("external_calls_max = 1\n", "did you mean 'external-calls-max'?"),
    ("colour = 1\n", "unknown key 'colour' (known keys: project-root, store,"),
    ("sampling-rate = 1.5\n", "sampling-rate: must be between 0 and 1, got 1.5"),
    ("sampling-rate = true\n", "sampling-rate: expected a number between 0 and 1, got a boolean"),
    ('external-calls-max = "lots"\n', "external-calls-max: expected a whole number, got a string"),
    ("buffer-messages = 0\n", "buffer-messages: must be at least 1, got 0"),
    ('redact = ["x"]\n', "redact: redaction pattern 'x' is too short"),
    ("exclude = [1]\n", "exclude: expected an array of paths, found an integer in it"),
    ("store = 3\n", "store: expected a path (a string), got an integer"),
    ("tenant-id = [\n", "not valid TOML"),
])
def test_a_bad_file_is_one_usage_error_naming_the_file_and_the_key(
        tmp_path, monkeypatch, body, message):
    path = write_config(tmp_path, body)
    monkeypatch.chdir(tmp_path)
    err = io.StringIO()
    with redirect_stderr(err):
        status = main(["show"])
    assert status == 2
    lines = err.getvalue().splitlines()
    assert len(lines) == 1, err.getvalue()
    assert lines[0].startswith(f"tarnwick: error: {path}: ")
    assert message in lines[0]


def test_a_bad_environment_value_is_one_usage_error(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("TARNWICK_SAMPLING_RATE", "2")
    err = io.StringIO()
    with redirect_stderr(err):
        status = main(["record", "app.py"])
    assert status == 2
    assert err.getvalue() == ("tarnwick: error: TARNWICK_SAMPLING_RATE: must be between "
                              "0 and 1, got 2\n")


def test_a_tool_tarnwick_that_is_not_a_table_is_an_error(tmp_path):
    (tmp_path / "pyproject.toml").write_text("[tool]\ntarnwick = 3\n")
    with pytest.raises(ConfigError, match=r"\[tool.tarnwick\] must be a table"):
        project_config.find_file(str(tmp_path))


@pytest.mark.parametrize("value, expected", [
    ("shop.models, decimal.Decimal", ("shop.models", "decimal.Decimal")),
    (["a.B", "a.B", "c"], ("a.B", "c")),
])
def test_dotted_names(value, expected):
    got = NAMES.from_text(value) if isinstance(value, str) else NAMES.from_file(value, "/")
    assert got == expected


@pytest.mark.parametrize("value", ["shop..models", "1abc", ["ok", 3]])
def test_dotted_names_refused(value):
    with pytest.raises(ValueError):
        NAMES.from_text(value) if isinstance(value, str) else NAMES.from_file(value, "/")


APP = """
    import helpers

    def login(user, pin):
        return helpers.shout(user)

    if __name__ == "__main__":
        login("ann", "4321")
"""


@pytest.mark.recording
def test_record_and_show_take_their_settings_from_the_file(tmp_path):
    write_config(tmp_path, """
        store = "recordings/calls.sqlite3"
        exclude = ["helpers.py"]
        redact = ["pin"]
    """)
    (tmp_path / "app.py").write_text(textwrap.dedent(APP))
    (tmp_path / "helpers.py").write_text("def shout(text):\n    return text.upper()\n")
    env = {k: v for k, v in os.environ.items() if not k.startswith("TARNWICK_")}
    done = subprocess.run([sys.executable, "-m", "tarnwick_collector", "record", "app.py"],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "recordings" / "calls.sqlite3").exists()
    # From a subdirectory, show finds the file and through it the store.
    sub = tmp_path / "docs"
    sub.mkdir()
    shown = subprocess.run([sys.executable, "-m", "tarnwick_collector", "show", "--json"],
                           cwd=sub, env=env, capture_output=True, text=True, timeout=300)
    assert shown.returncode == 0, shown.stderr
    calls = json.loads(shown.stdout)["calls"]
    assert [c["function"] for c in calls] == ["__main__.login"]
    assert calls[0]["arguments_before"] == {
        "user": "ann", "pin": {"type": "tarnwick.redacted", "text": "<redacted>"}}
    assert calls[0]["returned"] == "ANN"
