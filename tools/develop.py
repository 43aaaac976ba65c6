"""Make this checkout's src/ importable by the running interpreter (an
editable install): one .pth file in that interpreter's site-packages, and a
``tarnwick`` launcher in its scripts directory. Each is rewritten only when
it differs, so running this again changes nothing."""
from __future__ import annotations

import os
import sys
import sysconfig
from pathlib import Path

SRC = Path(__file__).resolve().parent.parent / "src"
PTH = Path(sysconfig.get_paths()["purelib"]) / "tarnwick_collector-dev.pth"
SCRIPT = Path(sysconfig.get_paths()["scripts"]) / "tarnwick"
MARK = "# tarnwick launcher of an editable install"

LAUNCHER = f"""#!{sys.executable}
{MARK}
import sys

from tarnwick_collector.cli import main

if __name__ == "__main__":
    sys.exit(main())
"""


def _write_if_changed(path: Path, text: str) -> bool:
    if path.exists() and path.read_text() == text:
        return False
    path.write_text(text)
    return True


def main() -> None:
    if _write_if_changed(PTH, f"{SRC}\n"):
        print(f"editable install: {SRC}")
    # A launcher that pip installed stays; ours is replaced only by ours.
    if SCRIPT.exists() and MARK not in SCRIPT.read_text(errors="replace"):
        return
    if _write_if_changed(SCRIPT, LAUNCHER):
        os.chmod(SCRIPT, 0o755)
        print(f"command: {SCRIPT}")


if __name__ == "__main__":
    main()
