"""Runs every benchmarks/bench_*.py: each file's main() in its own
subprocess, under a header naming the file. Exits non-zero if any failed."""
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent

_RUNNER = (
    "import importlib.util, sys\n"
    "spec = importlib.util.spec_from_file_location('bench', sys.argv[1])\n"
    "module = importlib.util.module_from_spec(spec)\n"
    "spec.loader.exec_module(module)\n"
    "module.main()\n"
)


def main() -> int:
    failed = []
    for path in sorted(HERE.glob("bench_*.py")):
        print(f"== {path.name} ==", flush=True)
        result = subprocess.run([sys.executable, "-c", _RUNNER, str(path)])
        if result.returncode != 0:
            failed.append(path.name)
        print(flush=True)
    if failed:
        print("failed: " + ", ".join(failed), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
