"""Install what the project needs and is missing: apt packages and the
pinned Python packages of pyproject.toml. Run by `make install`; installs
nothing when everything is present already."""
from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
APT_PACKAGES = ["robin-map-dev"]
# System packages only the checks need (`--extras lint`).
LINT_APT_PACKAGES = ["clang-format"]
BUILD_REQUIREMENTS = ["scikit-build-core>=0.10", "cmake>=3.18", "ninja"]


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
    except ImportError:  # Python < 3.11: the few lists we need, by pattern.
        lists = {}
        for name, body in re.findall(r'^(\w+|dependencies) = \[(.*?)\]', text, re.S | re.M):
            key = "" if name == "dependencies" else name
            lists[key] = re.findall(r'"([^"]+)"', body)
        return lists


def _missing_python(requirements: list[str]) -> list[str]:
    from importlib import metadata

    missing = []
    for req in requirements:
        name, _, version = req.partition("==")
        name = re.split(r"[<>=!~\[]", name)[0]
        try:
            have = metadata.version(name)
        except metadata.PackageNotFoundError:
            missing.append(req)
            continue
        if version and have != version:
            missing.append(req)
        elif not version and ">=" in req:
            continue
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

    apt = _missing_apt(APT_PACKAGES + (LINT_APT_PACKAGES if "lint" in args.extras else []))
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
            [sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check", *missing]
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
