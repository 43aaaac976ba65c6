"""Run the suite on every CPython 3.8+ present and print a table of the
results (Markdown, ready for the README). Each version goes through
`make test PYTHON=...`: its dependencies, its own build (build/py3.X), its
editable install of this checkout, the suite. Logs go to
build/test-all/py3.X.log."""
from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MINORS = range(8, 14)


def _pyenv_interpreters() -> dict[str, str]:
    found: dict[str, str] = {}
    root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    versions = Path(root) / "versions"
    if versions.is_dir():
        for entry in sorted(versions.iterdir()):
            m = re.fullmatch(r"3\.(\d+)\.(\d+)", entry.name)
            exe = entry / "bin" / "python3"
            if m and int(m.group(1)) in MINORS and exe.exists():
                found[f"3.{m.group(1)}"] = str(exe)  # the newest patch release wins
    return found


def interpreters() -> dict[str, str]:
    """'3.X' -> interpreter path, pyenv's first, then python3.X on PATH."""
    found = _pyenv_interpreters()
    for minor in MINORS:
        version = f"3.{minor}"
        if version not in found:
            exe = shutil.which(f"python{version}")
            if exe:
                found[version] = exe
    return dict(sorted(found.items(), key=lambda kv: int(kv[0].split(".")[1])))


def _counts(summary: str) -> dict[str, int]:
    found = re.findall(r"(\d+) (passed|failed|skipped|errors?|xfailed)", summary)
    return {word: int(n) for n, word in found}


def run_one(version: str, exe: str, pytest_args: list[str], log_dir: Path) -> dict:
    """`make test` with one interpreter: its dependencies, its build, its
    editable install, then the suite."""
    log_path = log_dir / f"py{version}.log"
    start = time.monotonic()
    args = " ".join(["-p", "no:cacheprovider", *pytest_args])
    with open(log_path, "w") as log:
        proc = subprocess.run(["make", "--no-print-directory", "test", f"PYTHON={exe}",
                               f"PYTEST_ARGS={args}"],
                              cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True)
        log.write(proc.stdout)
    lines = [ln for ln in proc.stdout.splitlines() if ln.strip()]
    # The whole run's summary: the first (a few failed tests run again
    # print their own after it).
    summary = next((ln.strip("= ") for ln in lines
                    if re.search(r"\d+ (passed|failed|errors?)\b.* in [\d.]+s", ln)), "")
    counts = _counts(summary)
    again = _passed_again(lines)
    if proc.returncode == 0 and again:
        result = f"pass ({len(again)} failed once)"
        counts["passed"] = counts.get("passed", 0) + len(again)
        for word in ("failed", "errors", "error"):
            counts.pop(word, None)
    elif proc.returncode == 0:
        result = "pass"
    elif counts:
        result = "fail"
    else:
        result = f"did not run (exit {proc.returncode})"
    return {"version": version, "exe": exe, "result": result, "counts": counts,
            "seconds": time.monotonic() - start, "failures": _failures(lines),
            "again": again}


def _passed_again(lines: list[str]) -> list[str]:
    """The tests that failed once and passed when run again, as
    run_tests.py names them."""
    try:
        start = lines.index("Passed when run again (failed once, in the run above):")
    except ValueError:
        return []
    return [ln.strip() for ln in lines[start + 1:] if ln.startswith("    ")]


def _failures(lines: list[str], limit: int = 200) -> list[str]:
    """What a failing run said about its failures: pytest's FAILURES and
    ERRORS sections and its short summary, cut to `limit` lines, so the
    console of a run (where the log file may not survive) names them."""
    start = next((i for i, ln in enumerate(lines)
                  if re.match(r"=+ (FAILURES|ERRORS) =+$", ln)), None)
    if start is None:
        start = max(0, len(lines) - 40)
    picked = lines[start:]
    if len(picked) > limit:
        picked = picked[:limit // 2] + ["[... cut ...]"] + picked[-limit // 2:]
    return picked


def table(rows: list[dict]) -> str:
    out = ["| Python | Result | Passed | Failed | Skipped | Time |",
           "|---|---|---|---|---|---|"]
    for r in rows:
        c = r["counts"]
        failed = c.get("failed", 0) + c.get("errors", 0) + c.get("error", 0)
        patch = subprocess.run(
            [r["exe"], "-c", "import platform; print(platform.python_version())"],
            capture_output=True, text=True).stdout.strip() or r["version"]
        out.append(f"| {patch} | {r['result']} | {c.get('passed', 0):,} | {failed} | "
                   f"{c.get('skipped', 0)} | {r['seconds'] / 60:.1f} min |")
    return "\n".join(out)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--versions", nargs="*", help="only these, e.g. 3.8 3.13")
    parser.add_argument("--skip", nargs="*", default=[], help="not these")
    parser.add_argument("--ends", action="store_true",
                        help="only the oldest and the newest version found")
    args, pytest_args = parser.parse_known_args()
    found = interpreters()
    if args.versions:
        found = {v: exe for v, exe in found.items() if v in args.versions}
    found = {v: exe for v, exe in found.items() if v not in args.skip}
    if args.ends and len(found) > 2:
        versions = list(found)
        found = {v: found[v] for v in (versions[0], versions[-1])}
    if not found:
        print("no CPython 3.8-3.13 interpreter found", file=sys.stderr)
        return 1
    log_dir = ROOT / "build" / "test-all"
    log_dir.mkdir(parents=True, exist_ok=True)
    rows = []
    for version, exe in found.items():
        print(f"--- Python {version} ({exe})", flush=True)
        rows.append(run_one(version, exe, pytest_args, log_dir))
        print(f"    {rows[-1]['result']}  (log: {log_dir / ('py' + version + '.log')})", flush=True)
        if not rows[-1]["result"].startswith("pass") or rows[-1]["again"]:
            print("\n".join("    | " + ln for ln in rows[-1]["failures"]), flush=True)
        for line in rows[-1]["again"]:
            print("    failed once, passed when run again: " + line, flush=True)
    print()
    print(table(rows))
    return 0 if all(r["result"].startswith("pass") for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
