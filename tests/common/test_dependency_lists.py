"""The installer of `make` reads the dependency lists of pyproject.toml on
every interpreter: on those without tomllib by its own reader, which must
give what tomllib gives (a requirement with extras, "psycopg[binary]",
was once cut at its bracket and never installed)."""
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))

import ensure_deps  # noqa: E402  # beside the project's other tools

tomllib = pytest.importorskip("tomllib")


def test_the_lists_read_by_hand_are_those_tomllib_reads():
    text = (ROOT / "pyproject.toml").read_text()
    project = tomllib.loads(text)["project"]
    by_hand = ensure_deps._lists_by_hand(text)
    assert by_hand[""] == project["dependencies"]
    for extra, requirements in project["optional-dependencies"].items():
        assert by_hand[extra] == requirements, extra


def test_brackets_and_comments_inside_a_list_are_passed_over():
    text = ('test = [\n    # a comment with ] in it\n    "a[b]>=1",  # trailing ]\n'
            '    "c; python_version < \'3.9\'",\n]\nother = ["d"]\n')
    assert ensure_deps._lists_by_hand(text) == {"test": ["a[b]>=1", "c; python_version < '3.9'"],
                                   "other": ["d"]}
