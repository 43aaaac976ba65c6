"""The suite, as `make test` runs it: pytest with the arguments given, its
output passed through as it comes. When a few tests fail (at most
``--again`` of them), those tests run once more on their own, and the run
passes only if they all pass then; each one is named, with its first
failure's summary, as failing once. More failures than that fail the run
at once: they are not the noise of a loaded machine."""
from __future__ import annotations

import argparse
import os
import re
import signal
import subprocess
import sys

_FAILED = re.compile(r"^(FAILED|ERROR) (\S+::\S+)")
# pytest's last line: "3 passed, 1 skipped in 2.50s".
_SUMMARY = re.compile(r"\b\d+ (passed|failed|errors?|skipped|deselected)\b.* in [\d.]+s")


def run(args: list[str]) -> tuple[int, list[str], list[str], bool]:
    """pytest with ``args``: its exit status, the ids of the tests that
    failed, the lines of the short summary that named them, and whether it
    printed its last line."""
    # -X faulthandler: a crash, even after the last test, prints where.
    proc = subprocess.Popen([sys.executable, "-X", "faulthandler", "-m", "pytest", *args],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    assert proc.stdout is not None
    failed: list[str] = []
    said: list[str] = []
    ended = False
    for line in proc.stdout:
        sys.stdout.write(line)
        sys.stdout.flush()
        ended = ended or bool(_SUMMARY.search(line))
        found = _FAILED.match(line)
        if found and found.group(2) not in failed:
            failed.append(found.group(2))
            said.append(line.rstrip("\n"))
    return proc.wait(), failed, said, ended


# Options whose value is a separate argument that may name a file.
_TAKES_PATH = {"-c", "--rootdir", "--confcutdir", "--basetemp", "--junitxml", "-p", "-o"}


def _options(args: list[str]) -> list[str]:
    """``args`` without the tests they name (paths, node ids)."""
    kept: list[str] = []
    for i, arg in enumerate(args):
        value_of_option = i > 0 and args[i - 1] in _TAKES_PATH
        if not arg.startswith("-") and not value_of_option and \
                os.path.exists(arg.split("::")[0]):
            continue
        kept.append(arg)
    return kept


def _signal_name(number: int) -> str:
    try:
        return signal.Signals(number).name
    except ValueError:
        return f"signal {number}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, allow_abbrev=False)
    parser.add_argument("--again", type=int, default=3,
                        help="run up to this many failed tests once more (0: never)")
    ours, pytest_args = parser.parse_known_args()
    status, failed, said, ended = run(pytest_args)
    if status < 0:
        # Killed: the exit status says nothing of which signal (-11 is 245).
        when = " after its last test" if ended else ""
        print(f"\npytest was killed by {_signal_name(-status)}{when}", flush=True)
        return 128 - status
    # 1: tests failed (not an error of pytest itself, an interrupt or a
    # failure to collect, which name no test to run again).
    if status != 1 or not failed or len(failed) > ours.again:
        return status
    print(f"\n{len(failed)} test(s) failed; running them once more:", flush=True)
    again, _, _, _ = run([*_options(pytest_args), *failed])
    if again != 0:
        return status
    print("\nPassed when run again (failed once, in the run above):", flush=True)
    for line in said:
        print("    " + line, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
