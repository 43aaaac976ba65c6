"""A call offered to the core and lost to a failure the core could not
report itself (near the recursion limit) is counted under its reason and
reported later; the program sees nothing of it."""
import pytest

from tarnwick_collector.tracer import _trampolines

from fakecore import FakeCore

SOURCE = """
    def down(n):
        if n == 0:
            return 0
        return down(n - 1) + 1

    def twice(x):
        return str(2 * x)
"""


class LosingCore(FakeCore):
    """Fails the entry (or the end) of every call of depth at least `depth`
    as the real core does when it meets the recursion limit."""

    def __init__(self, depth, at="entry", error=RecursionError):
        super().__init__()
        self.depth, self.at, self.error = depth, at, error

    def record_user_function_call(self, called, *args, **kwargs):
        if self.at == "entry" and args and isinstance(args[0], int) \
                and args[0] >= self.depth:
            raise self.error("maximum recursion depth exceeded")
        return super().record_user_function_call(called, *args, **kwargs)

    def _user_return(self, ret_val, record, pending):
        super()._user_return(ret_val, record, pending)
        if self.at == "end" and isinstance(ret_val, int) and ret_val >= self.depth:
            raise self.error("maximum recursion depth exceeded")


@pytest.fixture
def reported():
    """The reasons handed to the loss reporter, after what earlier tests
    left counted is drained."""
    got = []
    _trampolines.set_loss_reporter(lambda reason: None)
    _trampolines.flush_lost_calls()
    _trampolines.set_loss_reporter(got.append)
    yield got
    _trampolines.set_loss_reporter(None)


@pytest.mark.parametrize("at", ["entry", "end"])
def test_calls_lost_at_the_recursion_limit_are_counted_and_reported(
        project, reported, at):
    core = LosingCore(depth=3, at=at)
    mod = project.load(SOURCE, core=core)
    _trampolines.set_loss_reporter(None)
    assert mod.down(5) == 5                    # the program sees nothing
    # down(5), down(4), down(3) at the entry; ends returning 3, 4, 5
    assert _trampolines.lost_calls() == (3, 0)
    _trampolines.set_loss_reporter(reported.append)
    assert mod.twice(2) == "4"                  # the next offered call
    assert reported == ["recursion_limit"] * 3
    assert _trampolines.lost_calls() == (0, 0)


def test_other_failures_are_counted_under_their_own_reason(project, reported):
    core = LosingCore(depth=1, error=KeyError)
    mod = project.load(SOURCE, core=core)
    assert mod.down(1) == 1
    _trampolines.flush_lost_calls()
    assert reported == ["exception"]


def test_a_reporter_still_at_the_limit_keeps_the_count(project, reported):
    core = LosingCore(depth=2)
    mod = project.load(SOURCE, core=core)
    calls = []

    def deep_reporter(reason):
        calls.append(reason)
        if len(calls) == 1:
            raise RecursionError("still too deep")
        reported.append(reason)

    _trampolines.set_loss_reporter(None)
    assert mod.down(2) == 2
    _trampolines.set_loss_reporter(deep_reporter)
    _trampolines.flush_lost_calls()           # meets the limit: kept
    assert _trampolines.lost_calls() == (1, 0) and reported == []
    _trampolines.flush_lost_calls()
    assert _trampolines.lost_calls() == (0, 0)
    assert reported == ["recursion_limit"]


def test_a_program_catching_recursion_error_runs_as_without_recording(
        project, reported):
    source = SOURCE + """
    def probe():
        try:
            return down(100000)
        except RecursionError as e:
            return "caught"
    """
    mod = project.load(source)
    assert mod.probe() == "caught"
    assert mod.down(10) == 10


def test_each_loss_is_reported_once_when_flushes_overlap(project, reported):
    # The reporter may let another flush start (another thread, or its own
    # code calling back): each loss still goes out once, and none twice.
    core = LosingCore(depth=2)
    mod = project.load(SOURCE, core=core)
    _trampolines.set_loss_reporter(None)
    assert mod.down(3) == 3
    assert _trampolines.lost_calls() == (2, 0)

    def reentering(reason):
        reported.append(reason)
        _trampolines.flush_lost_calls()

    _trampolines.set_loss_reporter(reentering)
    _trampolines.flush_lost_calls()
    assert reported == ["recursion_limit"] * 2
    assert _trampolines.lost_calls() == (0, 0)
