"""End to end: a library type that customises its pickling ends the
recording of every function it is passed to, until the user trusts its
module with ``--trust`` or ``TARNWICK_TRUST``."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.recording

GRAPHS = """
    class Graph:
        def __init__(self):
            self.adj = {}
            self._views = {}          # caches views, dropped when pickled

        def add_edge(self, a, b):
            self.adj.setdefault(a, set()).add(b)
            self.adj.setdefault(b, set()).add(a)

        def __getstate__(self):
            return {"adj": self.adj}

        def __setstate__(self, state):
            self.adj = state["adj"]
            self._views = {}
"""

APP = """
    from graphs import Graph

    def degree(graph, node):
        return len(graph.adj[node])

    if __name__ == "__main__":
        g = Graph()
        g.add_edge(1, 2)
        g.add_edge(1, 3)
        print([degree(g, n) for n in (1, 2, 3)])
"""


def record(tmp_path, *options, env=None):
    (tmp_path / "graphs.py").write_text(textwrap.dedent(GRAPHS))
    (tmp_path / "app.py").write_text(textwrap.dedent(APP))
    done = subprocess.run(
        [sys.executable, "-m", "tarnwick_collector", "record", *options, "app.py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
        env=dict(os.environ, **(env or {})))
    assert done.returncode == 0, done.stderr
    assert done.stdout == "[2, 1, 1]\n"
    shown = subprocess.run(
        [sys.executable, "-m", "tarnwick_collector", "show", "--json",
         "--function", "__main__.degree"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert shown.returncode == 0, shown.stderr
    return json.loads(shown.stdout)["calls"]


def stats(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "tarnwick_collector", "stats", "--json"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    text = subprocess.run(
        [sys.executable, "-m", "tarnwick_collector", "stats"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300).stdout
    return json.loads(done.stdout), text


def test_untrusted_graph_is_refused_and_trusted_one_recorded(tmp_path):
    assert record(tmp_path, "--quiet") == []
    # Each function whose recording the graph ended is named, with the
    # type and every call lost (the first one included).
    data, text = stats(tmp_path)
    assert data["recording_ended"] == [
        {"function": "__main__.degree", "type": "graphs.Graph", "calls_lost": 3},
        {"function": "graphs.Graph.add_edge", "type": "graphs.Graph", "calls_lost": 2},
    ]
    assert "      3  __main__.degree: graphs.Graph\n" in text
    (tmp_path / ".tarnwick").rename(tmp_path / "old")
    calls = record(tmp_path, "--quiet", "--trust", "graphs")
    assert [c["returned"] for c in calls] == [2, 1, 1]
    assert stats(tmp_path)[0]["recording_ended"] == []


def test_trust_from_the_environment(tmp_path):
    calls = record(tmp_path, "--quiet", env={"TARNWICK_TRUST": "graphs.Graph"})
    assert len(calls) == 3


def test_a_bad_trusted_name_stops_before_the_program_runs(tmp_path):
    (tmp_path / "app.py").write_text("print('ran')\n")
    done = subprocess.run(
        [sys.executable, "-m", "tarnwick_collector", "record", "--trust", "graphs-x",
         "app.py"], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert done.returncode == 2
    assert "ran" not in done.stdout
    assert "'graphs-x' is not a dotted name" in done.stderr
