"""Which calls of a replayed function the record can hold: those made at its
own call sites, not those library code makes with a function it was
handed (the recorder does not see them either)."""
import os
import sys
import textwrap

import pytest

from tarnwick_collector import callsites, replay

PROGRAM = """
    import os


    def names(paths):
        first = os.path.basename(paths[0])            # its own call: recorded
        rest = list(map(os.path.basename, paths))     # made by map, unseen
        keyed = sorted(paths, key=os.path.basename)   # made by sorted, unseen
        return first, rest, keyed


    def in_expression(paths):
        return max(len(os.path.basename(p)) for p in paths)


    def handed(paths, how):
        return [how(p) for p in paths]


    def through_a_lambda(paths):
        return list(map(lambda p: os.path.basename(p), paths))


    def nested(paths):
        def inner(p):
            return os.path.basename(p)
        return list(map(os.path.basename, paths)), inner
"""


@pytest.fixture
def mod(tmp_path, monkeypatch):
    (tmp_path / "cs_app.py").write_text(textwrap.dedent(PROGRAM))
    monkeypatch.syspath_prepend(str(tmp_path))
    sys.modules.pop("cs_app", None)
    import cs_app
    yield cs_app
    sys.modules.pop("cs_app", None)


def test_calls_library_code_makes_with_a_handed_function_run_for_real(mod):
    outcome = replay.run("cs_app.names", args=(["/a/x", "/b/y"],),
                         external=[replay.returns("posixpath.basename", "recorded")])
    outcome.check_returned(("recorded", ["x", "y"], ["/a/x", "/b/y"]))


def test_calls_of_a_generator_expression_and_a_lambda_are_its_own(mod):
    # Made at call sites of the function's own source: the record holds them.
    outcome = replay.run("cs_app.in_expression", args=(["/a/x", "/b/long"],),
                         external=[replay.returns("posixpath.basename", "x"),
                                   replay.returns("posixpath.basename", "long")])
    outcome.check_returned(4)
    with pytest.raises(AssertionError, match="the record does not hold"):
        replay.run("cs_app.through_a_lambda", args=(["/a/x", "/b/y"],),
                   external=[replay.returns("posixpath.basename", "x")])


def test_which_frames_may_call_a_function(mod):
    seen = {}

    def spy(path):
        caller = sys._getframe(1)
        seen.setdefault(caller.f_code.co_name, []).append(callsites.may_call(caller, spy))
        return os.path.split(path)[1]

    real = os.path.basename
    os.path.basename = spy
    try:
        mod.names(["/a/x"])
        mod.in_expression(["/a/x"])
        mod.handed(["/a/x"], spy)          # called through a name that holds it
        mod.nested(["/a/x"])[1]("/a/y")
    finally:
        os.path.basename = real
    assert seen == {"names": [True, False, False], "<genexpr>": [True],
                    "<listcomp>" if sys.version_info < (3, 12) else "handed": [True],
                    "nested": [False], "inner": [True]}


def test_source_that_cannot_be_read_counts_as_calling(tmp_path):
    namespace = {}
    exec(compile("def made(f):\n    return list(map(f, [1]))\n", str(tmp_path / "gone.py"),
                 "exec"), namespace)
    frames = []
    namespace["made"](lambda x: frames.append(sys._getframe(1)))
    assert callsites.may_call(frames[0], None) is True
