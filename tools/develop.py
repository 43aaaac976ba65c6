"""Make this checkout's src/ importable by the running interpreter (an
editable install): one .pth file in site-packages, rewritten only when it
points elsewhere."""
from __future__ import annotations

import sysconfig
from pathlib import Path

SRC = Path(__file__).resolve().parent.parent / "src"
PTH = Path(sysconfig.get_paths()["purelib"]) / "tarnwick_collector-dev.pth"


def main() -> None:
    line = f"{SRC}\n"
    if not PTH.exists() or PTH.read_text() != line:
        PTH.write_text(line)
        print(f"editable install: {SRC}")


if __name__ == "__main__":
    main()
