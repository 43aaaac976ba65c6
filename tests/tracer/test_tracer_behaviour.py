"""Recording does not change what a program does.

Each program in programs/ runs in a fresh interpreter as ``__main__``, once
plainly and once instrumented (as the command line runs a script); standard output, standard error (with
the tracebacks of uncaught exceptions, line numbers and all) and the exit
status must be identical. The recorded runs use a core that records every
call, a core whose every entry point fails, a core that refuses every call,
recording switched off, and the package's real recording core.
"""
import json
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
PROGRAMS = os.path.join(HERE, "programs")
RUNNER = os.path.join(HERE, "runner.py")
NAMES = sorted(f[:-3] for f in os.listdir(PROGRAMS) if f.endswith(".py"))


def _real_core_available():
    try:
        from tarnwick_collector.data_collection import marrowick  # noqa: F401
        from tarnwick_collector.data_collection import metrics  # noqa: F401
    except ImportError:
        return False
    return True


def run(mode, name, stats=None):
    env = dict(os.environ)
    env["PYTHONHASHSEED"] = "0"
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    args = [sys.executable, RUNNER, mode, PROGRAMS, name]
    if stats is not None:
        args.append(str(stats))
    proc = subprocess.run(args, capture_output=True, text=True, env=env,
                          cwd=HERE, timeout=120)
    return proc.returncode, proc.stdout, proc.stderr


_plain_cache = {}


def plain(name):
    if name not in _plain_cache:
        _plain_cache[name] = run("plain", name)
    return _plain_cache[name]


MODES = ["fake", "failing", "refusing", "off", pytest.param(
    "real", marks=pytest.mark.skipif(not _real_core_available(),
                                     reason="the recording core is not built"))]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name", NAMES)
def test_program_behaves_the_same_when_recorded(name, mode, tmp_path):
    with open(os.path.join(PROGRAMS, name + ".py"), "rb") as fh:
        try:
            compile(fh.read(), name, "exec", dont_inherit=True)
        except SyntaxError:
            pytest.skip("syntax this interpreter does not have")  # match on 3.8, 3.9
    stats_file = tmp_path / "stats.json"
    expected = plain(name)
    got = run(mode, name, stats_file)
    assert got[1] == expected[1], "stdout differs"
    assert got[2] == expected[2], "stderr differs"
    assert got[0] == expected[0], "exit status differs"
    stats = json.loads(stats_file.read_text())
    assert stats["instrumented"] == [True]
    assert stats["stack_depth"] == 0
    if mode == "fake":
        counts = stats["counts"]
        assert counts["call"] > 0
        assert counts.get("external", 0) == counts.get("external_return", 0)
    if mode in ("failing", "refusing"):
        assert stats["calls"] > 0
        assert stats["contained_failures"] >= stats["calls"] // 2
    if mode == "off":
        assert stats["counts"] == {}
    if mode == "real":
        assert stats["metric_messages"] > 0
