"""The last step of the demo: tests generated from the recording, run."""
import os
import shutil
import subprocess
import sys
from typing import Any, List

from tarnwick_collector.testgen.generate import generate


def _sample(path: str, lines: int = 14) -> List[str]:
    """The first test of a generated module that mocks an external call."""
    with open(path, encoding="utf-8") as fh:
        text = fh.read()
    for block in text.split("\n\n\n"):
        if block.startswith("def test_") and "external=[" in block:
            return block.splitlines()[:lines]
    return []


def generate_and_run(store: str, examples: str, out_dir: str, out: Any) -> int:
    """Generate tests for the example application's recording into
    ``out_dir``, show what was written and one test, run them with this
    interpreter; the exit status of pytest."""
    if os.path.isdir(out_dir):
        shutil.rmtree(out_dir)
    report = generate(store, out_dir, project_root=examples)
    for line in report.lines():
        if line.startswith("    #"):
            continue  # the calls themselves: `generate-tests` lists them
        out.write("  " + line.replace(os.path.dirname(out_dir) + os.sep, "") + "\n")
    pricing = os.path.join(out_dir, "test_shop_pricing.py")
    if os.path.exists(pricing):
        out.write("\n      One of them (external call mocked, global set):\n\n")
        for line in _sample(pricing):
            out.write("    " + (line[:100] + "..." if len(line) > 103 else line) + "\n")
    out.write("\n      Running them (pytest):\n")
    out.flush()
    env = dict(os.environ)
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    proc = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                           "--tb=short", out_dir], capture_output=True, text=True, env=env,
                          cwd=out_dir)
    lines = proc.stdout.strip().splitlines()
    shown = lines if proc.returncode != 0 else lines[-1:]
    for line in shown:
        out.write("  " + line + "\n")
    if proc.returncode != 0 and proc.stderr.strip():
        out.write(proc.stderr)
    return proc.returncode
