"""Install what the project needs and is missing: apt packages and the
Python packages of pyproject.toml, at the exact versions constraints.txt
names for the running interpreter. Run by `make install`; installs nothing
when everything is present already."""
from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
CONSTRAINTS = ROOT / "constraints.txt"
APT_PACKAGES = ["robin-map-dev"]
# System packages only the checks need (`--extras lint`).
LINT_APT_PACKAGES = ["clang-format"]
# System packages only the tests need (`--extras test`): the server the
# tests of the PostgreSQL store start for themselves.
TEST_APT_PACKAGES = ["postgresql"]
BUILD_REQUIREMENTS = ["scikit-build-core>=0.10", "cmake>=3.18", "ninja"]
_MARKER = re.compile(r"""python_version\s*(==|!=|<=|>=|<|>)\s*['"]([\d.]+)['"]""")


def _pyproject_lists() -> dict[str, list[str]]:
    """The dependency lists of pyproject.toml: '' for the runtime ones, then
    one entry per optional extra."""
    text = (ROOT / "pyproject.toml").read_text()
    try:
        import tomllib  # type: ignore[import-not-found]

        project = tomllib.loads(text)["project"]
        lists = {"": project.get("dependencies", [])}
        lists.update(project.get("optional-dependencies", {}))
        return lists
    except ImportError:  # Python < 3.11
        return _lists_by_hand(text)


def _lists_by_hand(text: str) -> dict[str, list[str]]:
    """The lists `_pyproject_lists` needs, read without a TOML parser."""
    lists = {}
    for match in re.finditer(r'^(\w+|dependencies) = \[', text, re.M):
        key = "" if match.group(1) == "dependencies" else match.group(1)
        lists[key] = _strings_of_list(text, match.end())
    return lists


def _strings_of_list(text: str, start: int) -> list[str]:
    """The double-quoted strings of the TOML array whose items begin at
    ``start``, up to its closing bracket (brackets inside strings, as in
    ``"psycopg[binary]"``, and comments are passed over)."""
    out = []
    i = start
    while i < len(text):
        c = text[i]
        if c == "]":
            break
        if c == "#":
            i = text.find("\n", i)
            if i < 0:
                break
        elif c == '"':
            end = text.index('"', i + 1)
            out.append(text[i + 1:end])
            i = end
        i += 1
    return out


def _name(req: str) -> str:
    return re.split(r"[<>=!~\[;\s]", req.strip(), maxsplit=1)[0].lower().replace("_", "-")


def _applies(req: str) -> bool:
    """Whether a requirement's environment marker holds here. Only the
    markers this project uses are understood: ``python_version`` comparisons
    joined by ``and``."""
    _, _, marker = req.partition(";")
    if not marker.strip():
        return True
    here = sys.version_info[:2]
    for op, version in _MARKER.findall(marker):
        want = tuple(int(p) for p in version.split("."))[:2]
        ok = {"==": here == want, "!=": here != want, "<=": here <= want,
              ">=": here >= want, "<": here < want, ">": here > want}[op]
        if not ok:
            return False
    return True


def _pins() -> dict[str, str]:
    """Package name -> the exact version constraints.txt names for this
    interpreter."""
    pins = {}
    for line in CONSTRAINTS.read_text().splitlines():
        line = line.split("#", 1)[0].strip()
        if line and _applies(line):
            pinned = line.split(";", 1)[0].strip()
            pins[_name(pinned)] = pinned.partition("==")[2].strip()
    return pins


def _missing_python(requirements: list[str]) -> list[str]:
    from importlib import metadata

    pins = _pins()
    missing = []
    for req in requirements:
        if not _applies(req):
            continue
        name = _name(req)
        try:
            have = metadata.version(name)
        except metadata.PackageNotFoundError:
            missing.append(req)
            continue
        if name in pins and have != pins[name]:
            missing.append(req)
    return missing


def _missing_apt(packages: list[str]) -> list[str]:
    if not shutil.which("dpkg"):
        return []
    return [
        pkg
        for pkg in packages
        if subprocess.run(
            ["dpkg", "-s", pkg], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
        ).returncode
        != 0
    ]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--extras", nargs="*", default=[])
    args = parser.parse_args()

    apt = _missing_apt(APT_PACKAGES + (LINT_APT_PACKAGES if "lint" in args.extras else [])
                       + (TEST_APT_PACKAGES if "test" in args.extras else []))
    if apt:
        sudo = [] if os.geteuid() == 0 else ["sudo"]
        print(f"installing system packages: {' '.join(apt)}", flush=True)
        subprocess.check_call(sudo + ["apt-get", "update", "-qq"])
        subprocess.check_call(
            sudo + ["apt-get", "install", "-y", "-qq", *apt],
            env={**os.environ, "DEBIAN_FRONTEND": "noninteractive"},
        )

    lists = _pyproject_lists()
    wanted = list(BUILD_REQUIREMENTS) + lists.get("", [])
    for extra in args.extras:
        wanted += lists.get(extra, [])
    missing = _missing_python(wanted)
    if missing:
        print(f"installing Python packages: {' '.join(missing)}", flush=True)
        subprocess.check_call(
            [sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check",
             "-c", str(CONSTRAINTS), *missing]
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
